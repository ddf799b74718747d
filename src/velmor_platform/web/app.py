"""The web application: routes, one per page, each with its JSON twin.

``/path`` serves HTML and ``/api/path`` the JSON that ``velmor ... --json``
prints for the same job; both are made from the same answer of ``bridge``.
Handlers are async and hand every call of the product core to a worker
thread (the capability report runs its own event loop and must never run
on the server's).
"""

from __future__ import annotations

import json
import logging
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

from ..core.layer_io import state_dir
from . import bridge, charts, context, forms, runs, views
from .bridge import BridgeError
from .context import Settings
from .forms import FormError
from .sessions import Session, SessionMiddleware, SessionStore

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
    return JSONResponse(data, status_code=status, headers=headers)


async def _banner(pid: str, action: str) -> dict[str, Any]:
    """The product's banner for ``action`` (the card's answer carries it for 'show')."""
    return await call(bridge.banner, pid, action)


# ------------------------------------------------------------------- pages


async def workspace_page(request: Request, api: bool) -> Response:
    summaries = await call(bridge.products)
    if api:
        return _json([s.entry for s in summaries])
    root = await call(bridge.workspace)
    rows = []
    for s in summaries:
        status, check = bridge.status_line(s)
        try:
            shown = str(Path(s.entry["path"]).relative_to(root))
        except ValueError:
            shown = s.entry["path"]
        rows.append({**s.entry, "file": shown, "status": status, "check": check})
    return views.render("workspace.html", _page(request, "Products", products=rows, workspace=root))


async def product_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    show = await call(bridge.show, pid)
    if api:
        return _json(show.data)
    return views.render("product.html", _card_context(request, pid, show))


def _card_context(
    request: Request,
    pid: str,
    show: bridge.Answer,
    *,
    errors: dict[str, str] | None = None,
    entered: dict[str, Any] | None = None,
    form_message: str | None = None,
) -> dict[str, Any]:
    capabilities = bridge.cached_capabilities(pid)
    data = show.data
    return _page(
        request,
        data["metadata"]["product"],
        pid=pid,
        banner=data["metadata"],
        section="card",
        show=data,
        specs=views.spec_rows(data),
        rows=views.result_rows(data),
        form=entered if entered is not None else views.target_form_values(data),
        target_fields=bridge.TARGET_FIELDS,
        errors=errors or {},
        form_message=form_message,
        capabilities=capabilities.data if capabilities else None,
        reasons=bridge.capability_reasons(capabilities) if capabilities else {},
        max_upload_mb=_settings(request).max_upload_bytes / 1e6,
    )


async def capabilities_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    answer = await call(bridge.capabilities, pid)
    if api:
        return _json(answer.data)
    ctx = _page(
        request,
        "Capabilities",
        pid=pid,
        capabilities=answer.data,
        reasons=bridge.capability_reasons(answer),
        section="capabilities",
    )
    if request.query_params.get("fragment"):
        return views.render("capabilities_table.html", ctx)
    ctx["banner"] = await _banner(pid, "capabilities")
    return views.render("capabilities.html", ctx)


async def history_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    answer = await call(bridge.history, pid)
    if api:
        return _json(answer.data)
    show = await call(bridge.show, pid)
    targets = show.data["targets"]
    return views.render(
        "history.html",
        _page(
            request,
            "Run history",
            pid=pid,
            banner=await _banner(pid, "history"),
            section="history",
            runs=answer.data,
            charts=charts.history_charts(answer.data, targets),
            targets=targets,
        ),
    )


async def range_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    cd = forms.number_param("cd", request.query_params.get("cd"))
    answer = await call(bridge.range_, pid, cd)
    if api:
        return _json(answer.data)
    report = answer.data
    return views.render(
        "range.html",
        _page(
            request,
            "Range",
            pid=pid,
            banner=await _banner(pid, "range"),
            section="range",
            report=report,
            chart=charts.range_chart(report),
            given_cd=cd,
            summary=answer.lines()[:2],
        ),
    )


async def compare_page(request: Request, api: bool) -> Response:
    a, b = request.query_params.get("a", ""), request.query_params.get("b", "")
    answer = await call(bridge.diff, a, b) if a and b else None
    if api:
        if answer is None:
            raise FormError(422, "give two products to compare: ?a=PRODUCT&b=PRODUCT")
        return _json(answer.data)
    summaries = await call(bridge.products)
    rows = []
    if answer is not None:
        rows = [{"key": k, **c} for k, c in (answer.data.get("changes") or {}).items()]
    return views.render(
        "compare.html",
        _page(
            request,
            "Compare",
            products=[s.entry for s in summaries],
            a=a,
            b=b,
            diff=answer.data if answer else None,
            rows=rows,
        ),
    )


def _session_solvers(pid: str, session: Session) -> list[bridge.Answer]:
    """``velmor solver resolve`` for each domain, after the session's choice."""
    out = []
    for record in bridge.solvers().data:
        domain = str(record.get("domain"))
        chosen = session.solvers.get((pid, domain))
        out.append(bridge.solver_resolve(pid, domain, chosen))
    return out


async def solvers_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    session = _session(request)
    if request.method == "POST":
        form = await forms.read_form(request)
        forms.check_csrf(session, forms.submitted_token(request, form))
        domain, backend = str(form.get("domain", "")), str(form.get("backend", ""))
        answer = await call(bridge.solver_set, pid, domain, backend)
        session.solvers[(pid, domain)] = backend
        if api:
            return _json(answer.data)
        session.notice.append(
            f"{domain}: backend set to {backend} for this browser session; "
            f"dispatch backend: {answer.data['dispatch_backend']}"
        )
        return RedirectResponse(product_url(pid, "/solvers"), status_code=303)
    resolved = await call(_session_solvers, pid, session)
    if api:
        return _json([answer.data for answer in resolved])
    records = await call(bridge.solvers)
    return views.render(
        "solvers.html",
        _page(
            request,
            "Solvers",
            pid=pid,
            banner=await _banner(pid, "solvers"),
            section="solvers",
            resolved=[answer.data for answer in resolved],
            records=records.data,
            said=[line for answer in resolved for line in answer.lines()],
        ),
    )


async def targets_action(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    _refuse_if_read_only(request)
    form = await forms.read_form(request)
    forms.check_csrf(_session(request), forms.submitted_token(request, form))
    bridge.product_ref(pid)
    try:
        values = forms.target_values(form)
    except FormError as exc:
        if api:
            raise
        show = await call(bridge.show, pid)
        entered = {kw: form.get(kw, "") for kw, _ in bridge.TARGET_FIELDS}
        ctx = _card_context(
            request, pid, show, errors=exc.fields, entered=entered, form_message=exc.message
        )
        return views.render("product.html", ctx, status=exc.status)
    session = _session(request)
    if not api:
        # The form sends every field: write only what was changed in it.
        values = views.changed_targets((await call(bridge.show, pid)).data, values)
        if not values:
            session.notice.append("no target was changed: nothing was written")
            return RedirectResponse(product_url(pid) + "#targets", status_code=303)
    answer = await call(bridge.set_targets, pid, values)
    status = 422 if answer.failed else 200
    if api:
        return _json(answer.data, status, answer.warnings)
    session.notice.extend(answer.lines())
    session.notice.extend(f"warning: {w}" for w in answer.warnings)
    return RedirectResponse(product_url(pid) + "#targets", status_code=303)


async def geometry_action(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    _refuse_if_read_only(request)
    settings = _settings(request)
    form = await forms.read_upload(request, settings.max_upload_bytes)
    try:
        forms.check_csrf(_session(request), forms.submitted_token(request, form))
        bridge.product_ref(pid)
        upload = form.get("stl")
        if not isinstance(upload, UploadFile) or not upload.filename:
            raise FormError(422, "choose an STL file to upload", {"stl": "choose an STL file"})
        folder = state_dir(settings.workspace) / "uploads"
        kept = await call(forms.keep_upload, upload, folder)
        try:
            answer = await call(bridge.set_geometry, pid, kept)
        except BridgeError:
            kept.unlink(missing_ok=True)
            raise
    finally:
        await form.close()
    if api:
        return _json(answer.data)
    _session(request).notice.extend(answer.lines())
    return RedirectResponse(product_url(pid) + "#geometry", status_code=303)


async def export_page(request: Request, api: bool) -> Response:
    pid = request.path_params["pid"]
    if api:
        answer = await call(bridge.export, pid)
        return _json(answer.data)
    path = await call(bridge.product_file, pid)
    return FileResponse(path, filename=path.name, media_type="application/octet-stream")


async def session_info(request: Request) -> Response:
    """The session's form token, for scripts that post to the ``/api`` twins."""
    return _json(
        {"csrf_token": _session(request).csrf_token, "read_only": _settings(request).read_only}
    )


# ------------------------------------------------------------------ errors


async def _error(request: Request, exc: Exception) -> Response:
    if isinstance(exc, (BridgeError, FormError)):
        status, message = exc.status, exc.message
        fields = exc.fields if isinstance(exc, FormError) else {}
    else:
        log.exception("unexpected failure on %s", request.url.path, exc_info=exc)
        status, message, fields = 500, f"internal error: {bridge.describe(exc)}", {}
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
    root = bridge.use_workspace(workspace)
    settings = Settings(root, read_only, max_upload_bytes)
    routes: list[BaseRoute] = [
        *_twin("/", workspace_page),
        *_twin("/products/{pid}", product_page),
        *_twin("/products/{pid}/capabilities", capabilities_page),
        *_twin("/products/{pid}/history", history_page),
        *_twin("/products/{pid}/range", range_page),
        *_twin("/products/{pid}/solvers", solvers_page, ("GET", "POST")),
        *_twin("/products/{pid}/targets", targets_action, ("POST",)),
        *_twin("/products/{pid}/geometry", geometry_action, ("POST",)),
        *_twin("/products/{pid}/export", export_page),
        *_twin("/compare", compare_page),
        *runs.routes(),
        Route("/api/session", session_info),
        Mount("/static", StaticFiles(directory=_STATIC), name="static"),
    ]
    app = Starlette(
        routes=routes,
        middleware=[
            Middleware(SecurityHeaders),
            Middleware(TrustedHostMiddleware, allowed_hosts=list(allowed_hosts)),
            Middleware(SessionMiddleware, store=SessionStore()),
        ],
        exception_handlers={
            BridgeError: _error,
            FormError: _error,
            404: _not_found,
            Exception: _error,
        },
    )
    app.state.settings = settings
    app.state.jobs = runs.Jobs()
    return app
