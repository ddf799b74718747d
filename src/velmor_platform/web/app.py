"""The web application: routes, one per page, each with its JSON twin.

``/path`` serves HTML and ``/api/path`` the JSON that ``velmor ... --json``
prints for the same job; both are made from the same service answer (see
``answers``). Handlers are async and hand every call of the product core to
a worker thread (the capability report runs its own event loop and must
never run on the server's). A ``UserError`` becomes the HTTP status of its
kind (``answers.HTTP_STATUS``) in ``_error``.
"""

from __future__ import annotations

import json
import logging
import tempfile
from collections.abc import Awaitable, Callable, Sequence
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.datastructures import UploadFile
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import BaseRoute, Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..services import authoring, products, simulation, solvers, variants
from ..services.errors import UserError
from . import answers, charts, context, forms, reports, runs, studies, views
from .answers import ws
from .context import Settings
from .forms import FormError
from .origin import SameOrigin
from .sessions import SessionMiddleware, SessionStore

log = logging.getLogger(__name__)

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1", "[::1]")
_STATIC = Path(__file__).resolve().parent / "static"

Handler = Callable[[Request, bool], Awaitable[Response]]
_page = context.page
call = context.call
product_url = context.product_url
_session = context.session
_settings = context.settings
_refuse_if_read_only = context.refuse_if_read_only


def _json(data: Any, status: int = 200, warnings: Sequence[str] = ()) -> JSONResponse:
    # A header is Latin-1: the warnings go as a JSON list in ASCII.
    headers = {"Velmor-Warnings": json.dumps(list(warnings))} if warnings else None
    return JSONResponse(answers.jsonable(data), status_code=status, headers=headers)


def _ref(request: Request) -> str:
    """The product named in the path: an identifier, never a path."""
    return answers.product_ref(request.path_params["pid"])


# ------------------------------------------------------------------- pages


async def workspace_page(request: Request, api: bool) -> Response:
    summaries = await call(answers.products)
    if api:
        return _json([s.entry for s in summaries])
    root = await call(answers.workspace)
    rows = []
    for s in summaries:
        status, check = answers.status_line(s)
        try:
            shown = str(Path(s.entry["path"]).relative_to(root))
        except ValueError:
            shown = s.entry["path"]
        rows.append({**s.entry, "file": shown, "status": status, "check": check})
    return views.render("workspace.html", _page(request, "Products", products=rows, workspace=root))


async def product_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    show = await call(products.show, pid, ws())
    if api:
        return _json(show.data)
    return views.render("product.html", _card_context(request, pid, show.data))


def _card_context(
    request: Request,
    pid: str,
    show: dict[str, Any],
    *,
    errors: dict[str, str] | None = None,
    entered: dict[str, Any] | None = None,
    shown: dict[str, Any] | None = None,
    form_message: str | None = None,
) -> dict[str, Any]:
    capabilities = answers.cached_capabilities(pid)
    data = answers.jsonable(show)
    return _page(
        request,
        data["metadata"]["product"],
        forms=True,
        pid=pid,
        banner=data["metadata"],
        section="card",
        show=data,
        specs=views.spec_rows(data),
        rows=views.result_rows(data),
        form=entered if entered is not None else views.target_form_values(data),
        shown=shown if shown is not None else views.target_form_values(data),
        target_fields=views.TARGET_FIELDS,
        errors=errors or {},
        form_message=form_message,
        capabilities=answers.jsonable(capabilities.report) if capabilities else None,
        server_problem=capabilities.problem if capabilities else None,
        installed=capabilities.installed if capabilities else {},
        reasons=capabilities.reasons if capabilities else {},
        max_upload_mb=_settings(request).max_upload_bytes / 1e6,
        vehicle_frame=variants.FRAME,
    )


async def capabilities_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    fragment = bool(request.query_params.get("fragment"))
    banner = None if api or fragment else "capabilities"
    found = await call(answers.capabilities, pid, banner)
    if api:
        return _json(found.data)
    ctx = _page(
        request,
        "Capabilities",
        pid=pid,
        capabilities=answers.jsonable(found.report),
        installed=found.installed,
        server_problem=found.problem,
        reasons=found.reasons,
        section="capabilities",
    )
    if fragment:
        return views.render("capabilities_table.html", ctx)
    ctx["banner"] = found.banner
    return views.render("capabilities.html", ctx)


async def history_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    found = await call(lambda: products.history(pid, ws(), banner=None if api else "history"))
    if api:
        return _json(found.runs)
    runs_data = answers.jsonable(found.runs)
    targets = answers.jsonable(found.targets)
    return views.render(
        "history.html",
        _page(
            request,
            "Run history",
            pid=pid,
            banner=found.banner,
            section="history",
            runs=runs_data,
            charts=charts.history_charts(runs_data, targets),
            targets=targets,
            current=found.current,
            chosen=found.chosen,
        ),
    )


async def current_action(request: Request, api: bool) -> Response:
    """Choose the run that is the product's current result, or undo the choice."""
    _refuse_if_read_only(request)
    form = await forms.read_form(request)
    forms.check_csrf(_session(request), forms.submitted_token(request, form))
    pid = _ref(request)
    run = str(form.get("run") or "") or None
    clear = bool(form.get("clear"))
    found = await call(lambda: simulation.choose_current(pid, ws(), run, clear=clear))
    if api:
        return _json(found.data)
    now = found.current
    _session(request).notice.append(
        "the newest-run rule chooses the current result again"
        if clear
        else f"current result: {now.get('run_id') or now['name']}"
        if now
        else "no aerodynamic result"
    )
    return RedirectResponse(product_url(pid) + "/history", status_code=303)


async def range_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    cd = forms.number_param("cd", request.query_params.get("cd"))
    found = await call(
        lambda: products.range_estimate(pid, ws(), cd, banner=None if api else "range")
    )
    if api:
        return _json(found.report)
    report = answers.jsonable(found.report)
    return views.render(
        "range.html",
        _page(
            request,
            "Range",
            pid=pid,
            banner=found.banner,
            section="range",
            report=report,
            chart=charts.range_chart(report),
            given_cd=cd,
            summary=views.range_summary(report, found.source),
        ),
    )


async def compare_page(request: Request, api: bool) -> Response:
    a, b = request.query_params.get("a", ""), request.query_params.get("b", "")
    found = None
    if a and b:
        a, b = answers.product_ref(a), answers.product_ref(b)
        found = await call(products.compare, a, b, ws())
    if api:
        if found is None:
            raise FormError(422, "give two products to compare: ?a=PRODUCT&b=PRODUCT")
        return _json(found.report)
    summaries = await call(answers.products)
    report = answers.jsonable(found.report) if found else None
    rows = [{"key": k, **c} for k, c in (report.get("changes") or {}).items()] if report else []
    return views.render(
        "compare.html",
        _page(
            request,
            "Compare",
            products=[s.entry for s in summaries],
            a=a,
            b=b,
            diff=report,
            rows=rows,
        ),
    )


async def solvers_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    if request.method == "POST":
        _refuse_if_read_only(request)  # a choice changes what a run would use
        session = _session(request)
        form = await forms.read_form(request)
        forms.check_csrf(session, forms.submitted_token(request, form))
        domain, backend = str(form.get("domain", "")), str(form.get("backend", ""))
        found = await call(solvers.set_solver, pid, ws(), domain, backend)
        session.solvers[(pid, domain)] = backend
        if api:
            return _json(found.data)
        session.notice.append(
            f"{domain}: backend set to {backend} for this browser session; "
            f"dispatch backend: {found.data['dispatch_backend']}"
        )
        return RedirectResponse(product_url(pid, "/solvers"), status_code=303)
    held = context.existing_session(request)  # choices only a session that has one holds
    choices = held.solvers.items() if held is not None else []
    chosen = {domain: backend for (p, domain), backend in choices if p == pid}
    view = await call(
        lambda: solvers.resolve_solvers(pid, ws(), chosen, banner=None if api else "solvers")
    )
    if api:
        return _json([r.data for r in view.resolved])
    records = await call(solvers.domains)
    installed = await call(solvers.installed_solvers, records)
    return views.render(
        "solvers.html",
        _page(
            request,
            "Solvers",
            forms=True,
            pid=pid,
            banner=view.banner,
            section="solvers",
            resolved=[r.data for r in view.resolved],
            records=answers.jsonable(records),
            installed=installed,
            said=[views.resolution_line(r, r.data["domain"] in chosen) for r in view.resolved],
        ),
    )


async def targets_action(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    _refuse_if_read_only(request)
    form = await forms.read_form(request)
    forms.check_csrf(_session(request), forms.submitted_token(request, form))
    pid = _ref(request)
    try:
        values = forms.target_values(form)
    except FormError as exc:
        if api:
            raise
        show = await call(products.show, pid, ws())
        entered = {kw: form.get(kw, "") for kw, _ in views.TARGET_FIELDS}
        # What the form showed first stays what the edits are compared with.
        was = {kw: form.get(f"shown_{kw}") for kw, _ in views.TARGET_FIELDS}
        ctx = _card_context(
            request, pid, show.data, errors=exc.fields, entered=entered,
            shown=was if all(isinstance(v, str) for v in was.values()) else None,
            form_message=exc.message,
        )  # fmt: skip
        return views.render("product.html", ctx, status=exc.status)
    session = _session(request)
    # The form sends every field and what it showed in each: only the fields
    # changed from that are written, and not over another writer's change. A
    # page's post without what it showed is stale; a script's may leave it out.
    shown = forms.shown_values(form) if api else forms.shown_for(form, values)
    found = await call(lambda: authoring.set_targets(pid, ws(), values, shown=shown))
    status = 422 if found.warnings else 200
    if api:
        return _json(found.reply, status, found.warnings)
    if not found.reply:
        session.notice.append("no target was changed: nothing was written")
        return RedirectResponse(product_url(pid) + "#targets", status_code=303)
    session.notice.extend(views.targets_notice(found))
    session.notice.extend(f"warning: {w}" for w in found.warnings)
    return RedirectResponse(product_url(pid) + "#targets", status_code=303)


async def geometry_action(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    _refuse_if_read_only(request)
    settings = _settings(request)
    form = await forms.read_upload(request, settings.max_upload_bytes)
    try:
        forms.check_csrf(_session(request), forms.submitted_token(request, form))
        pid = _ref(request)
        upload = form.get("stl")
        if not isinstance(upload, UploadFile) or not upload.filename:
            raise FormError(422, "choose an STL file to upload", {"stl": "choose an STL file"})
        # Checked, then dropped: nothing is stored (a variant keeps geometry).
        with tempfile.TemporaryDirectory(prefix="velmor-upload-") as folder:
            kept = await call(forms.keep_upload, upload, Path(folder) / "check")
            found = await call(authoring.set_geometry, pid, ws(), str(kept))
    finally:
        await form.close()
    if api:
        return _json(found.reply)
    _session(request).notice.extend(views.geometry_notice(found))
    return RedirectResponse(product_url(pid) + "#geometry", status_code=303)


async def export_page(request: Request, api: bool) -> Response:
    pid = _ref(request)
    if api:
        return _json(await call(products.export, pid, ws()))
    if request.query_params.get("format") == "usd":  # the top-level layer alone
        path = await call(products.product_file, pid, answers.ws())
        return FileResponse(path, filename=path.name, media_type="application/octet-stream")
    # By default the whole product, self-contained: it opens anywhere.
    name, data = await call(products.package_download, pid, ws())
    return Response(
        data,
        media_type="model/vnd.usdz+zip",
        headers={"Content-Disposition": f'attachment; filename="{name}"'},
    )


async def session_info(request: Request) -> Response:
    """The session's form token, for scripts that post to the ``/api`` twins."""
    return _json(
        {"csrf_token": _session(request).csrf_token, "read_only": _settings(request).read_only}
    )


# ------------------------------------------------------------------ errors


async def _error(request: Request, exc: Exception) -> Response:
    if isinstance(exc, FormError):
        status, message, fields = exc.status, exc.message, exc.fields
    elif isinstance(exc, UserError):
        status, message, fields = answers.HTTP_STATUS[exc.kind], exc.message, {}
    else:
        log.exception("unexpected failure on %s", request.url.path, exc_info=exc)
        status, message, fields = 500, f"internal error: {answers.describe(exc)}", {}
    if context.is_api(request):
        body: dict[str, Any] = {"error": message}
        if fields:
            body["fields"] = fields
        return JSONResponse(body, status_code=status)
    ctx = _page(request, f"Error {status}", status=status, message=message, fields=fields)
    return views.render("error.html", ctx, status=status)


async def _not_found(request: Request, exc: Exception) -> Response:
    return await _error(request, FormError(404, f"no page at {request.url.path}"))


# ------------------------------------------------------------------ assembly


def _twin(path: str, handler: Handler, methods: Sequence[str] = ("GET",)) -> list[BaseRoute]:
    async def html(request: Request) -> Response:
        return await handler(request, False)

    async def api(request: Request) -> Response:
        return await handler(request, True)

    html.__name__ = api.__name__ = handler.__name__
    return [
        Route(path, html, methods=list(methods)),
        Route("/api" + path, api, methods=list(methods)),
    ]


class SecurityHeaders:
    """Headers that keep pages from being framed, sniffed or fed foreign scripts."""

    HEADERS = (
        (
            b"content-security-policy",
            b"default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
            b"frame-ancestors 'none'; form-action 'self'; base-uri 'none'",
        ),
        (b"x-content-type-options", b"nosniff"),
        (b"referrer-policy", b"same-origin"),
    )

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                message.setdefault("headers", [])
                message["headers"] = list(message["headers"]) + list(self.HEADERS)
            await send(message)

        await self.app(scope, receive, send_with_headers if scope["type"] == "http" else send)


class ReadingOnly:
    """Every request of a read-only server runs inside ``layer_io.read_only()``:
    nothing it calls writes a file or takes a lock (a product whose geometry
    references need a rewrite is read as repaired, and left as it is)."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        from ..core.layer_io import read_only

        with read_only():  # the worker threads of the request inherit it
            await self.app(scope, receive, send)


def create_app(
    workspace: str | Path,
    *,
    read_only: bool = False,
    max_upload_bytes: int = forms.DEFAULT_MAX_UPLOAD,
    allowed_hosts: Sequence[str] = LOOPBACK_HOSTS,
) -> Starlette:
    """The application serving the workspace in ``workspace``.

    ``allowed_hosts`` are the names the browser may use for the server (the
    Host header); the loopback names by default, which also stops a web page
    from reaching the server through a re-bound DNS name.
    """
    root = answers.use_workspace(workspace)
    settings = Settings(root, read_only, max_upload_bytes)
    routes: list[BaseRoute] = [
        *_twin("/", workspace_page),
        *_twin("/products/{pid}", product_page),
        *_twin("/products/{pid}/capabilities", capabilities_page),
        *_twin("/products/{pid}/history", history_page),
        *_twin("/products/{pid}/current", current_action, ("POST",)),
        *_twin("/products/{pid}/range", range_page),
        *_twin("/products/{pid}/solvers", solvers_page, ("GET", "POST")),
        *_twin("/products/{pid}/targets", targets_action, ("POST",)),
        *_twin("/products/{pid}/geometry", geometry_action, ("POST",)),
        *_twin("/products/{pid}/export", export_page),
        *_twin("/compare", compare_page),
        *runs.routes(),
        *reports.routes(),
        *studies.routes(),
        Route("/api/session", session_info),
        Mount("/static", StaticFiles(directory=_STATIC), name="static"),
    ]
    app = Starlette(
        routes=routes,
        middleware=[
            Middleware(SecurityHeaders),
            Middleware(TrustedHostMiddleware, allowed_hosts=list(allowed_hosts)),
            Middleware(SameOrigin),
            Middleware(SessionMiddleware, store=SessionStore()),
            *([Middleware(ReadingOnly)] if read_only else []),
        ],
        exception_handlers={
            UserError: _error,
            FormError: _error,
            404: _not_found,
            Exception: _error,
        },
    )
    app.state.settings = settings
    app.state.jobs = runs.Jobs()
    return app
