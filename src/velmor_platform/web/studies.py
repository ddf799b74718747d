"""Studies and variants on the web: the studies pages and making a variant from an upload.

* ``/studies``: the stored studies, and a form that starts one (its driver
  runs as a process of its own, so it outlives the server);
* ``/studies/NAME``: the study's cases with their live status (the case
  table is a fragment, ``/studies/NAME/cases``, that the page re-fetches
  every two seconds until the study has ended) and its results chart
  (``/studies/NAME/chart.svg``); a cancel button;
* ``POST /products/PID/variant``: an uploaded geometry file becomes a new
  product made from PID (the upload itself is not kept); the browser goes to
  the new product's card;
* ``/products/PID/remove``: what removing PID would remove, and a form
  that confirms it (``confirm=yes``; ``cases=1`` for its case folders too).

Each has its ``/api/`` twin returning what ``velmor ... --json`` prints.
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import Any

from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from .. import rules
from ..services import studies, variants
from ..services.errors import UserError
from . import answers, forms, views
from .answers import ws
from .context import (
    call,
    call_until_gone,
    is_api,
    page,
    product_url,
    refuse_if_read_only,
    session,
    settings,
)
from .forms import FormError

REFRESH_SECONDS = 2


def _json(data: Any, status: int = 200) -> JSONResponse:
    return JSONResponse(answers.jsonable(data), status_code=status)


def _numbers(text: str, label: str) -> list[float]:
    try:
        return [float(t) for t in text.replace(",", " ").split()]
    except ValueError:
        raise FormError(
            422, f"{label}: give numbers separated by spaces", {label: "not numbers"}
        ) from None


# ------------------------------------------------------------------ variant


def _reference(key: str, text: str | None) -> float | None:
    if text is None or not text.strip():
        return None
    try:
        return rules.check_reference(key, float(text))
    except ValueError as exc:  # not a number, or a RuleError
        field = "frontal_area" if key == "frontal_area" else "length"
        message = getattr(exc, "field_message", f"not a number: {text!r}")
        raise FormError(422, f"{field}: {message}", {field: message}) from None


async def variant_action(request: Request) -> Response:
    refuse_if_read_only(request)
    parent = answers.product_ref(request.path_params["pid"])
    form = await forms.read_upload(request, settings(request).max_upload_bytes)
    try:
        forms.check_csrf(session(request), forms.submitted_token(request, form))
        upload = form.get("geometry")
        if not isinstance(upload, UploadFile) or not upload.filename:
            raise FormError(422, "choose a geometry file to upload", {"geometry": "choose a file"})
        fields = {k: v for k, v in form.items() if isinstance(v, str)}
        name = fields.get("name", "").strip()
        if not name:
            raise FormError(422, "name the new product", {"name": "give a name"})
        scale = forms.number_param("scale", fields.get("scale") or "1") or 1.0
        area = _reference("frontal_area", fields.get("frontal_area"))
        length = _reference("wheelbase", fields.get("length"))
        wheels = fields.get("wheels", "keep")
        if wheels not in ("keep", "none"):
            raise FormError(422, "wheels: keep or none", {"wheels": "keep or none"})
        full = bool(fields.get("full_model"))
        with tempfile.TemporaryDirectory(prefix="velmor-upload-") as folder:
            kept = await call(forms.keep_upload, upload, Path(folder))
            # Refusals name the upload as the browser sent it, not the
            # temporary copy that is gone by the time they are read.
            made = await call_until_gone(
                request,
                lambda gone: variants.make(
                    ws(), parent, name, kept, scale=scale, wheels=wheels, frontal_area=area,
                    length=length, full_model=full, label=upload.filename, cancelled=gone,
                ),
            )  # fmt: skip
    finally:
        await form.close()
    if is_api(request):
        return _json(made, 201)
    session(request).notice.append(
        f"made {made['product']} from {parent}: frontal area {made['frontal_area']:g} m² "
        f"({made['frontal_area_source']}; {made['frontal_area_basis']}), reference length "
        f"{made['length']:g} m ({made['length_source']}); case template {made['template']}"
        + (f"; wheel fit: {made['wheel_fit_text']}" if made["wheel_fit_text"] else "")
        + "".join(f"; {note}" for note in made["notes"])
    )
    return RedirectResponse(product_url(made["product"]), status_code=303)


async def remove_action(request: Request) -> Response:
    """GET: what removing the product would remove, and the form that
    confirms it; POST (with ``confirm``): remove it."""
    pid = answers.product_ref(request.path_params["pid"])
    if request.method == "GET":
        preview = await call(lambda: variants.remove(ws(), pid, cases=True, dry_run=True))
        if is_api(request):
            return _json(preview)
        return views.render(
            "remove.html", page(request, f"Remove {pid}", forms=True, pid=pid, preview=preview)
        )
    refuse_if_read_only(request)
    form = await forms.read_form(request)
    forms.check_csrf(session(request), forms.submitted_token(request, form))
    if form.get("confirm") != "yes":
        raise FormError(422, "confirm the removal", {"confirm": "tick to confirm"})
    cases = form.get("cases") == "1"
    done = await call(lambda: variants.remove(ws(), pid, cases=cases))
    if is_api(request):
        return _json(done)
    session(request).notice.append(f"removed {pid} ({len(done['removed'])} paths)")
    return RedirectResponse("/", status_code=303)


# ------------------------------------------------------------------ studies


async def studies_page(request: Request) -> Response:
    errors: dict[str, str] = {}
    message = None
    if request.method == "POST":
        refuse_if_read_only(request)
        form = await forms.read_form(request)
        forms.check_csrf(session(request), forms.submitted_token(request, form))
        fields = {k: v for k, v in form.items() if isinstance(v, str)}
        try:
            study = _study_from(fields, form.getlist("products"))
            status = await call(studies.start, ws(), study)
        except (FormError, UserError) as exc:
            if is_api(request):
                raise
            message = exc.message
            errors = getattr(exc, "fields", {}) or {"form": exc.message}
        else:
            if is_api(request):
                return _json(status, 202)
            return RedirectResponse(f"/studies/{status['study']}", status_code=303)
    listed = await call(studies.listing, ws())
    if is_api(request):
        return _json(listed)
    summaries = await call(answers.products)
    return views.render(
        "studies.html",
        page(
            request,
            "Studies",
            studies=listed,
            products=[s.entry["id"] for s in summaries],
            levels=rules.LEVELS,
            errors=errors,
            form_message=message,
        ),
        status=422 if errors else 200,
    )


def _study_from(fields: dict[str, str], products: list[Any]) -> Any:
    values: dict[str, Any] = {
        "name": fields.get("name", "").strip(),
        "products": [p for p in products if isinstance(p, str) and p],
        "yaw": _numbers(fields.get("yaw", "0") or "0", "yaw"),
        "levels": [fields.get("level") or "quick"],
        "executor": fields.get("executor") or "local",
    }
    if fields.get("speeds", "").strip():
        values["speeds"] = _numbers(fields["speeds"], "speeds")
    for key in ("ranks", "iterations"):
        if fields.get(key, "").strip():
            try:
                values[key] = rules.parse_count(key, fields[key])
            except rules.RuleError as exc:
                raise FormError(422, f"{key}: {exc}", {key: str(exc)}) from None
    return studies.define(**values)


async def study_page(request: Request) -> Response:
    name = request.path_params["name"]
    status = await call(lambda: studies.status(ws(), name))
    if is_api(request):
        return _json(status)
    return views.render(
        "study.html",
        page(request, f"Study {name}", study=status, refresh=REFRESH_SECONDS),
    )


async def study_cases(request: Request) -> Response:
    status = await call(lambda: studies.status(ws(), request.path_params["name"]))
    return views.render("study_cases.html", {"study": status, "product_url": product_url})


async def study_chart(request: Request) -> Response:
    fmt = request.path_params["fmt"]
    if fmt not in ("svg", "png"):
        raise UserError("not_found", f"no chart format {fmt!r}: svg or png")
    data = await call(lambda: studies.chart(ws(), request.path_params["name"], fmt))
    media = "image/svg+xml" if fmt == "svg" else "image/png"
    return Response(data, media_type=media, headers={"Cache-Control": "no-store"})


async def study_results(request: Request) -> Response:
    return _json(await call(lambda: studies.results(ws(), request.path_params["name"])))


async def study_cancel(request: Request) -> Response:
    refuse_if_read_only(request)
    name = request.path_params["name"]
    form = await forms.read_form(request)
    forms.check_csrf(session(request), forms.submitted_token(request, form))
    done = await call(lambda: studies.cancel(ws(), name))
    if is_api(request):
        return _json(done)
    session(request).notice.append(f"asked to cancel every case of {name}")
    return RedirectResponse(f"/studies/{name}", status_code=303)


def routes() -> list[BaseRoute]:
    out: list[BaseRoute] = []
    for prefix in ("", "/api"):
        out += [
            Route(f"{prefix}/products/{{pid}}/variant", variant_action, methods=["POST"]),
            Route(f"{prefix}/products/{{pid}}/remove", remove_action, methods=["GET", "POST"]),
            Route(f"{prefix}/studies", studies_page, methods=["GET", "POST"]),
            Route(f"{prefix}/studies/{{name}}", study_page),
            Route(f"{prefix}/studies/{{name}}/cancel", study_cancel, methods=["POST"]),
        ]
    out += [
        Route("/studies/{name}/cases", study_cases),
        Route("/studies/{name}/chart.{fmt}", study_chart),
        Route("/api/studies/{name}/results", study_results),
    ]
    return out
