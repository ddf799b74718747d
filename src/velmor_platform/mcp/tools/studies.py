"""The OpenFOAM MCP server's study tools.

For an assistant in an MCP host, so that it can drive a study:

* ``make_variant(parent, name, geometry, scale?, wheels?, frontal_area?, length?)``
  makes a design variant from a geometry file on the server's machine;
* ``start_study(name, products, speeds?, yaw?, levels?, ladder?, ranks?,
  iterations?, executor?)`` stores the study and starts its driver as a
  process of its own (it outlives the server), returning the study's cases;
* ``follow_study(name, timeout_s?)`` sends a progress notification whenever
  a case changes (progress: cases ended, total: cases; the message is JSON
  ``{"case", "status", "counts"}``) and returns the status once every case
  has ended or ``timeout_s`` has passed (call it again to keep following);
* ``study_results(name)`` returns the results table.

And for the study executor ``mcp`` (``mcp_executor``), which runs prepared
cases on the server's machine (the solver host; its workspace is shared
with the client's): ``start_case(case_dir)``, ``case_states(jobs)`` and
``cancel_case(job)``, a thin layer over the local executor there.

Every tool calls ``services.studies`` or ``services.variants``.
"""

# No "from __future__ import annotations": the SDK reads the Context
# parameter's annotation to inject the request context.

import json
from pathlib import Path
from typing import TYPE_CHECKING, Any

from mcp.server.mcpserver import Context

from . import add_tool, in_thread

if TYPE_CHECKING:
    from mcp.server import MCPServer


def register(server: "MCPServer", workspace: "str | Path") -> None:
    from ...services import studies, variants
    from ...services.loading import Workspace

    where = Workspace(Path(workspace).resolve())

    # ---- for an assistant ------------------------------------------------------------
    async def make_variant(
        parent: str,
        name: str,
        geometry: str,
        scale: float = 1.0,
        wheels: str = "keep",
        frontal_area: float | None = None,
        length: float | None = None,
        full_model: bool = False,
    ) -> dict[str, Any]:
        def work() -> dict[str, Any]:
            return variants.make(
                where, parent, name, geometry, scale=scale, wheels=wheels,
                frontal_area=frontal_area, length=length, full_model=full_model,
            )  # fmt: skip

        return await in_thread(work)  # type: ignore[no-any-return]

    async def start_study(
        name: str,
        products: list[str],
        speeds: list[float] | None = None,
        yaw: list[float] | None = None,
        levels: list[str] | None = None,
        ladder: bool = False,
        ranks: int = 1,
        iterations: int | None = None,
        executor: str = "local",
    ) -> dict[str, Any]:
        def work() -> dict[str, Any]:
            study = studies.define(
                name=name, products=products, speeds=speeds, yaw=yaw, levels=levels,
                ladder=ladder, ranks=ranks, iterations=iterations, executor=executor,
            )  # fmt: skip
            return studies.started(where, study)

        return await in_thread(work)  # type: ignore[no-any-return]

    async def follow_study(ctx: Context, name: str, timeout_s: float = 600.0) -> dict[str, Any]:
        import anyio

        seen: dict[str, str] = {}
        waited = 0.0
        while True:
            status = await in_thread(lambda: studies.status(where, name))
            total = len(status["cases"])
            ended = studies.ended(status)
            for case in status["cases"]:
                if seen.get(case["key"]) != case["status"]:
                    seen[case["key"]] = case["status"]
                    message = {"case": case["key"], "status": case["status"],
                               "counts": status["counts"]}  # fmt: skip
                    await ctx.report_progress(float(ended), float(total), json.dumps(message))
            if status["finished"] or waited >= timeout_s:
                return status  # type: ignore[no-any-return]
            await anyio.sleep(1.0)
            waited += 1.0

    async def study_results(name: str) -> dict[str, Any]:
        return await in_thread(lambda: studies.results(where, name))  # type: ignore[no-any-return]

    # ---- for the mcp executor: cases on this solver host ---------------------------------
    async def start_case(case_dir: str, ranks: int = 1, label: str = "case") -> dict[str, Any]:
        return await in_thread(  # type: ignore[no-any-return]
            lambda: studies.start_case(where, case_dir, ranks, label)
        )

    async def case_states(jobs: dict[str, str]) -> dict[str, Any]:
        return await in_thread(lambda: studies.case_states(where, jobs))  # type: ignore[no-any-return]

    async def cancel_case(job: str) -> dict[str, Any]:
        return await in_thread(lambda: studies.cancel_case(where, job))  # type: ignore[no-any-return]

    for function, title, description, read_only in (
        (make_variant, "Make a design variant",
         "Make a new product (programme or programme:variant) from an existing one and a "
         "geometry file (STL or USD with meshes) on the server's machine: design intent "
         "copied, no benchmark (the parent's measured another body), empty run history, frontal "
         "area computed unless given, length (the reference length, the wheelbase) from the "
         "wheels unless given (needed with wheels none); scale 0.001 for a millimetre file; "
         "wheels: keep, none or a USD file. The file's frame: metres, x from the body's front "
         "(x = 0) rearwards, y left, z up, ground z = 0, symmetric about y = 0 unless "
         "full_model.", False),
        (start_study, "Start a study",
         "Store a study (products x speeds x yaw angles x mesh levels; ladder for quick, standard "
         "and fine) and start running it on the workspace's executor (local, slurm or mcp); "
         "returns its case keys. Starting a stored study again resumes it.", False),
        (follow_study, "Follow a study",
         "Send a progress notification whenever a case of the study changes (progress: cases "
         "ended, total: cases; message JSON: case, status, counts); returns the study's status "
         "once every case has ended or after timeout_s seconds.", True),
        (study_results, "Read a study's results",
         "The results table of a study: per case product, level, speed, yaw, status, cd, cl, "
         "cs (side force), cm_yaw, cd_spread, converged.", True),
        (start_case, "Start a prepared case",
         "Run a prepared case folder of the workspace on this solver host (its Allrun, "
         "detached); returns a job handle for case_states and cancel_case.", False),
        (case_states, "States of started cases",
         "The states of jobs started with start_case, given as {job: case_dir}.", True),
        (cancel_case, "Cancel a started case",
         "Cancel a job started with start_case (every process it started).", False),
    ):  # fmt: skip
        add_tool(server, function, name=function.__name__, title=title, description=description,
                 read_only=read_only)  # fmt: skip
