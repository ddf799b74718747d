"""The run pages and the pictures: a run's report in the browser, a product's picture.

* ``/products/{pid}/runs/{run}`` shows the run's report (``?against=RUN``
  compares); while its pictures are being made (in the background, never
  on the request) the page says so and refreshes itself every few seconds,
  with no script. ``/api/...`` answers the numbers, or 202 while making.
* ``/products/{pid}/runs/{run}/pictures/{file}`` serves one picture of a
  made report as a file (ETag, Last-Modified, cached for an hour).
* ``/products/{pid}/picture.png`` is the product's picture; the first
  request waits for it (asynchronously: other pages go on being served).
"""

from __future__ import annotations

from typing import Any
from urllib.parse import quote

import anyio
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import BaseRoute, Route

from ..services import products, reports
from ..services.errors import UserError
from . import answers, context, views

#: How often a page still waiting for its pictures asks again, seconds.
REFRESH_S = 3
#: How long a product picture's first request waits for it, seconds (the
#: page's script asks again after a 503).
PICTURE_WAIT_S = 30.0
CACHE = "public, max-age=3600"


def _pid(request: Request) -> str:
    return answers.product_ref(request.path_params["pid"])


def run_url(pid: str, run: str, suffix: str = "") -> str:
    return context.product_url(pid, f"/runs/{quote(run, safe='')}{suffix}")


async def _find(request: Request) -> tuple[str, reports.FoundRun, reports.FoundRun | None]:
    pid = _pid(request)
    run = request.path_params["run"]
    found = await context.call(reports.find, run, answers.ws(), pid)
    against = request.query_params.get("against") or None
    other = await context.call(reports.find, against, answers.ws()) if against else None
    return pid, found, other


async def run_page(request: Request) -> Response:
    api = context.is_api(request)
    pid, found, other = await _find(request)
    try:
        state, value = await context.call(reports.status, found, other)
    except UserError as exc:
        if api or exc.kind != "not_found":
            raise
        state, value = "absent", exc.message
    made = value if isinstance(value, reports.Report) else None
    if made is not None:  # its pictures are asked for next
        against = request.query_params.get("against") or None
        reports.remember(answers.ws(), pid, request.path_params["run"], against, made)
    if api:
        if made is None:
            return JSONResponse({"state": state, "message": value}, status_code=202)
        return JSONResponse(answers.jsonable(reports.numbers(made)))
    banner = await context.call(products.banner, pid, answers.ws(), "run report")
    suffix = f"?against={quote(other.run_id, safe='')}" if other else ""
    shown = reports.page_view(made) if made is not None else None
    ctx = context.page(
        request,
        f"Run {found.run_id}",
        pid=pid,
        banner=banner,
        section="history",
        run=answers.jsonable(found.run),
        run_id=found.run_id,
        state=state,
        message=value if isinstance(value, str) else None,
        report=shown,
        pictures=run_url(pid, found.run_id, "/pictures/"),
        suffix=suffix,
        against=other.run_id if other else "",
        choices=await context.call(reports.compare_choices, found),
        refresh=REFRESH_S if state == "making" else None,
    )
    response = views.render("run_report.html", ctx)
    if state == "making":
        response.headers["Refresh"] = str(REFRESH_S)  # the browser asks again, no script needed
    return response


async def picture(request: Request) -> Response:
    run, file = request.path_params["run"], request.path_params["file"]
    against = request.query_params.get("against") or None
    path = await context.call(reports.picture, _pid(request), run, against, file, answers.ws())
    return FileResponse(path, media_type="image/png", headers={"Cache-Control": CACHE})


async def product_picture(request: Request) -> Response:
    pid = _pid(request)
    found: Any = None
    # A deadline on the event loop's monotonic clock: the time the lookups
    # take counts, and a lookup still running at the deadline is not waited for.
    with anyio.move_on_after(PICTURE_WAIT_S):
        while found is None or found.state == "making":
            if found is not None:
                await anyio.sleep(0.25)
            found = await context.call_abandoned_on_cancel(
                reports.product_picture, pid, answers.ws()
            )
    if found is not None and found.state == "ready":
        return FileResponse(found.path, media_type="image/png", headers={"Cache-Control": CACHE})
    message = found.message if found is not None else None
    raise UserError("unavailable", message or "the product's picture is being made")


def routes() -> list[BaseRoute]:
    return [
        Route("/products/{pid}/runs/{run}", run_page),
        Route("/api/products/{pid}/runs/{run}", run_page),
        Route("/products/{pid}/runs/{run}/pictures/{file}", picture),
        Route("/products/{pid}/picture.png", product_picture),
    ]
