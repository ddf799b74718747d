"""The OpenFOAM MCP server's simulation tools.

``register(server, workspace)`` adds two tools to the server:

* ``prepare_case(product, template?, level?, speed?, ranks?, iterations?)``
  builds a case folder in the workspace and returns ``{"case_dir": ...}``;
* ``simulate(product, level?, ranks?, iterations?, speed?, template?)``
  prepares, runs and records a run and returns the recorded run. While it
  runs it sends MCP progress notifications (when the client asked for them):
  progress is the iteration, total the iteration cap, and the message a JSON
  object ``{"stage", "iteration", "total", "cd", "elapsed_s"}``. A client
  that cancels the request, ends its session or closes the HTTP response
  stream (goes away) stops the solver.

``product`` is a product identifier of the server's workspace (``hatch``,
``sedan:base``) or the path of a product file inside its ``products/``.
The tools call ``services.simulation``. Nothing heavy is imported until a
tool is called, so the server starts as fast as before.
"""

# No "from __future__ import annotations": the SDK reads the Context
# parameter's annotation to inject the request context.

import contextlib
import json
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

from mcp.server.mcpserver import Context

from . import add_tool, answering, in_thread, plain, product_file

if TYPE_CHECKING:
    from mcp.server import MCPServer


#: How often a running simulation looks for its HTTP client, seconds.
DISCONNECT_POLL_S = 0.25


async def _stop_when_disconnected(request: Any, cancel: threading.Event) -> None:
    """Set ``cancel`` once the HTTP request's connection has closed."""
    import anyio

    while not cancel.is_set():
        if await request.is_disconnected():
            cancel.set()
            return
        await anyio.sleep(DISCONNECT_POLL_S)


def register(server: "MCPServer", workspace: "str | Path") -> None:
    """Add the ``prepare_case`` and ``simulate`` tools to ``server``."""
    from ...services.loading import Workspace

    root = Path(workspace).resolve()
    where = Workspace(root)

    async def prepare_case(
        product: str,
        template: str | None = None,
        level: str = "quick",
        speed: float | None = None,
        ranks: int = 1,
        iterations: int | None = None,
        yaw: float | None = None,
        full_model: bool = False,
    ) -> dict[str, Any]:
        from ...services import simulation

        def work() -> dict[str, Any]:
            path = product_file(root, product)
            options = simulation.run_options(
                template=template, level=level, speed=speed, ranks=ranks, iterations=iterations,
                yaw=yaw, full_model=full_model,
            )  # fmt: skip
            prepared = simulation.prepare(path, where, options)
            return {"product": prepared.identifier, "case_dir": prepared.case_dir}

        return await in_thread(work)  # type: ignore[no-any-return]

    async def simulate(
        ctx: Context,
        product: str,
        level: str = "quick",
        ranks: int = 1,
        iterations: int | None = None,
        speed: float | None = None,
        template: str | None = None,
        yaw: float | None = None,
        uncertainty: bool = False,
        full_model: bool = False,
    ) -> dict[str, Any]:
        import anyio
        import anyio.from_thread

        from ...services import simulation

        cancel = threading.Event()

        # A ladder's levels report at once, from their own threads: the
        # progress sent is their sum, so that it does not jump between them.
        levels: dict[str, tuple[float, float]] = {}
        lock = threading.Lock()

        def progress(event: dict[str, Any]) -> None:
            with lock:
                levels[str(event.get("level", ""))] = (
                    float(event.get("iteration") or 0), float(event.get("total") or 0),
                )  # fmt: skip
                done = sum(d for d, _ in levels.values())
                total = sum(t for _, t in levels.values())
            # A client that went away must not stop the run here.
            with contextlib.suppress(Exception):
                anyio.from_thread.run(
                    ctx.report_progress, done, float(total) if total else None, json.dumps(event)
                )

        def work() -> dict[str, Any]:
            path = product_file(root, product)
            options = simulation.run_options(
                level=level, ranks=ranks, iterations=iterations, speed=speed, template=template,
                yaw=yaw, uncertainty=uncertainty, full_model=full_model,
            )  # fmt: skip
            run = simulation.simulate(path, where, options, on_progress=progress, cancel=cancel)
            return dict(plain(run.record))

        run: dict[str, Any] = {}
        failure: Exception | None = None
        try:
            async with anyio.create_task_group() as watchers:
                # Over HTTP, the client going away closes the response stream;
                # the session (and this request) would otherwise live on.
                request = getattr(ctx.request_context, "request", None)
                if callable(getattr(request, "is_disconnected", None)):
                    watchers.start_soon(_stop_when_disconnected, request, cancel)
                try:
                    run = await anyio.to_thread.run_sync(answering(work), abandon_on_cancel=True)
                except Exception as exc:  # noqa: BLE001 - raised below, not as a group
                    failure = exc
                finally:
                    watchers.cancel_scope.cancel()
        except anyio.get_cancelled_exc_class():
            cancel.set()
            raise
        if failure is not None:
            raise failure
        return run

    add_tool(
        server, prepare_case, name="prepare_case", title="Prepare an OpenFOAM case",
        description=(
            "Build an OpenFOAM case folder for a product of the workspace; returns its path. "
            "level: quick, standard or fine; speed in m/s; ranks: MPI ranks; yaw: degrees "
            "(any but 0 builds the full model in a crosswind); full_model: mesh the whole width "
            "(no symmetry plane), for a body that is not symmetric."
        ),
    )  # fmt: skip
    add_tool(
        server, simulate, name="simulate", title="Run and record an OpenFOAM simulation",
        description=(
            "Prepare, run and record an OpenFOAM simulation of a product; returns the recorded run "
            "(status, cd, cl, cm_pitch, mesh_cells, wall_time_s, case_dir; cs and cm_yaw at a "
            "yaw angle). uncertainty: run the mesh ladder (quick, standard, fine) and record the "
            "finest result with its grid-convergence band; full_model: no symmetry plane. "
            "Sends progress "
            "notifications whose message is JSON: stage, iteration, total, cd, elapsed_s."
        ),
    )  # fmt: skip
