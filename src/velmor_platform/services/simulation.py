"""The simulation loop's use cases: prepare a case, run a simulation (here
or through the workspace's OpenFOAM MCP server), record a case run elsewhere.

The loop itself is ``velmor_platform.cfd.api``, imported when a use case
runs (``available`` says whether it can). A run's choices are one value,
``RunOptions`` (checked by ``rules`` when a face builds it with
``run_options``), passed on as it stands. The loop's errors become
``UserError``: OpenFOAM missing is ``unavailable``, anything else it
refuses ``invalid``. Progress goes to the ``on_progress`` callback a face
passes, as dicts (stage, iteration, total, cd, elapsed_s).
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ..cfd.params import RunOptions
from .authoring import GeometryUpdate, check_geometry
from .errors import UserError, translated, user_errors
from .loading import Workspace, heading, identifier, load

if TYPE_CHECKING:
    from ..core.product_core import ProductCore

__all__ = ["RunOptions"]  # with the use cases below

#: Exit status of a run by its status: completed 0, cancelled 130, else 1.
RUN_STATUS_CODES = {"completed": 0, "cancelled": 130}

Progress = Callable[[dict[str, Any]], None]


def available() -> bool:
    """Whether the simulation loop can run here: it ships with the package,
    but an install may lack a library it needs."""
    try:
        from ..cfd.api import simulate  # noqa: F401
    except ImportError:
        return False
    return True


def _loop() -> ModuleType:
    if not available():
        raise UserError(
            "unavailable", "simulation is not available: velmor_platform.cfd is not installed"
        )
    from ..cfd import api

    return api


def _workspace_of(product: ProductCore) -> Path:
    from ..core.workspace import workspace_of

    return workspace_of(product.usd_path)


@dataclass
class Prepared:
    """A case folder built for a product."""

    heading: str
    identifier: str
    case_dir: Path

    @property
    def data(self) -> dict[str, Any]:
        return {
            "product": self.identifier,
            "case_dir": self.case_dir,
            "allrun": self.case_dir / "Allrun",
        }


@user_errors
def prepare(
    ref: str,
    workspace: Workspace | None,
    options: RunOptions,
    *,
    output: str | None = None,
    stl: str | None = None,
) -> Prepared:
    """Build an OpenFOAM case for the product (from ``stl`` when given)."""
    return prepare_for(load(ref, workspace), options, output=output, stl=stl)


def prepare_for(
    product: ProductCore,
    options: RunOptions,
    *,
    output: str | None = None,
    stl: str | None = None,
) -> Prepared:
    """``prepare`` for a product already loaded."""
    api = _loop()
    with translated():
        case = api.prepare_case(
            product, options, workspace=_workspace_of(product), output=output, stl=stl
        )
    return Prepared(heading(product), identifier(product), Path(case))


@user_errors
def prepare_from_geometry(
    ref: str,
    workspace: Workspace | None,
    stl: str,
    options: RunOptions,
    *,
    output: str | None = None,
) -> tuple[GeometryUpdate, Prepared]:
    """Check ``stl`` as the product's new geometry, then build a case from it."""
    product = load(ref, workspace)
    reply = check_geometry(product, stl)
    case = prepare_for(product, options, output=output, stl=stl)
    return GeometryUpdate(case.heading, reply), case


@user_errors
def run_options(**values: Any) -> RunOptions:
    """A run's options from a face's values, checked by ``rules``: a refused
    value is ``UserError`` (invalid) naming it."""
    return RunOptions(**values)


@dataclass
class Run:
    """A recorded run: ``record`` is what ``--json`` prints."""

    heading: str
    record: dict[str, Any]

    @property
    def status(self) -> int:
        """0 completed, 130 cancelled, 1 failed or diverged."""
        return RUN_STATUS_CODES.get(str(self.record.get("status")), 1)


@user_errors
def simulate(
    ref: str,
    workspace: Workspace | None,
    options: RunOptions | None = None,
    *,
    domain: str = "aerodynamics",
    backend: str | None = None,
    on_progress: Progress | None = None,
    remote: bool = False,
    dynamics: dict[str, Any] | None = None,
    cancel: threading.Event | None = None,
) -> Run:
    """Run a simulation with ``options`` (the defaults when None) and record
    it: here, or with ``remote`` through the workspace's openfoam MCP
    server; setting ``cancel`` stops a run here (it is recorded as
    cancelled). The dynamics domain runs Chrono here, with the manoeuvre
    settings ``dynamics``."""
    product = load(ref, workspace)
    if domain == "dynamics":
        return Run(
            heading(product), simulate_dynamics(product, backend=backend, **(dynamics or {}))
        )
    options = options or RunOptions()
    with translated():
        if remote:
            _loop().check_backend(product, domain, backend)
            record = _simulate_remote(product, options, on_progress)
        else:
            record = _loop().simulate(
                product, options, workspace=_workspace_of(product), domain=domain,
                backend=backend, on_progress=on_progress, cancel=cancel,
            )  # fmt: skip
    return Run(heading(product), record)


def simulate_dynamics(
    product: ProductCore, *, backend: str | None = None, **settings: Any
) -> dict[str, Any]:
    """A dynamics run of a loaded product (``velmor_platform.dynamics``), recorded."""
    from ..dynamics import api
    from ..dynamics.errors import ChronoMissingError, DynamicsError

    try:
        return api.simulate(product, workspace=_workspace_of(product), backend=backend, **settings)
    except ChronoMissingError as exc:
        raise UserError("unavailable", str(exc)) from None
    except DynamicsError as exc:
        raise UserError("invalid", str(exc)) from None


def _simulate_remote(
    product: ProductCore, options: RunOptions, on_progress: Progress | None
) -> dict[str, Any]:
    import asyncio
    import json

    from ..cfd.errors import CfdError

    arguments: dict[str, Any] = {"product": str(product.usd_path), **options.arguments()}

    async def call() -> Any:
        from ..mcp.mcp_transport import mcp_connect, parse_tool_result

        async def progress(value: float, total: float | None, message: str | None) -> None:
            if on_progress is not None:
                with contextlib.suppress(ValueError):
                    on_progress(json.loads(message or "{}"))

        async with mcp_connect("openfoam") as session:
            # A run takes minutes: no time limit on this one call.
            result = await session.client.call_tool(
                "simulate", arguments, progress_callback=progress
            )
            if getattr(result, "is_error", False) or getattr(result, "isError", False):
                content = getattr(result, "content", None) or []
                text = " ".join(getattr(c, "text", "") for c in content).strip()
                raise CfdError(f"the openfoam MCP server failed the run: {text or 'no detail'}")
            return parse_tool_result(result)

    run = asyncio.run(call())
    if not isinstance(run, dict):
        raise CfdError(f"the openfoam MCP server returned {type(run).__name__}, not a run record")
    return run


@user_errors
def record(ref: str, workspace: Workspace | None, case_dir: str) -> Run:
    """Record the result of a prepared case that was run elsewhere."""
    product = load(ref, workspace)
    with translated():
        run = _loop().record_case(product, case_dir, workspace=_workspace_of(product))
    return Run(heading(product), run)


@dataclass
class CurrentChoice:
    """The product's current aerodynamic run after a choice (or its undoing)."""

    heading: str
    chosen: str | None  # the run the user chose, None when the newest-run rule decides
    current: dict[str, Any] | None  # the current run, with its fidelity mark

    @property
    def data(self) -> dict[str, Any]:
        return {"chosen": self.chosen, "current": self.current}


@user_errors
def choose_current(
    ref: str, workspace: Workspace | None, run: str | None, *, clear: bool = False
) -> CurrentChoice:
    """Make ``run`` (a run id or name) the product's current aerodynamic
    result; ``clear`` undoes the choice; neither only reports it."""
    from ..cfd import record as recorder
    from .products import current_run

    product = load(ref, workspace)
    runs = product.history() or []
    chosen: str | None = None
    with translated():
        if clear or run is not None:
            chosen = recorder.set_current(Path(product.usd_path), None if clear else run, runs=runs)
        else:
            from ..core.usd_product import load_pinned_run

            chosen = load_pinned_run(str(product.usd_path))
    return CurrentChoice(heading(product), chosen, current_run(product.usd_path))


# ------------------------------------------------------------ background jobs


def run_job(
    ref: str,
    workspace: Path,
    settings: dict[str, Any],
    *,
    options: RunOptions | None = None,
    action: str = "run",
    on_progress: Progress,
    cancel: threading.Event,
) -> Any:
    """One job of a long-lived face (the web's run panel): ``run`` simulates
    with ``options`` and records, ``prepare`` builds the case only;
    ``settings`` holds the domain, the backend and a dynamics run's
    settings. Raises ``UserError`` when the loop cannot prepare."""
    if settings.get("domain") == "dynamics" and action == "run":
        chosen = {k: v for k, v in settings.items() if k in ("short", "radius_m", "friction")}
        return simulate_dynamics(
            load(ref, None), backend=settings.get("backend"), cancel=cancel, **chosen
        )
    api = _loop()
    product = load(ref, None)
    options = options or RunOptions()
    if action == "prepare":
        return api.prepare_case(product, options, workspace=workspace)
    return api.simulate(
        product, options, workspace=workspace, domain=settings.get("domain", "aerodynamics"),
        backend=settings.get("backend"), on_progress=on_progress, cancel=cancel,
    )  # fmt: skip


def templates(workspace: Workspace) -> list[str]:
    """The workspace's OpenFOAM case templates, read from its folder now;
    ``UserError`` when the folder cannot be read."""
    from ..core.paths import list_templates, templates_dir

    try:
        return list_templates(workspace.root)
    except OSError as exc:
        raise UserError(
            "unavailable",
            f"cannot read the templates folder {templates_dir(workspace.root)}: "
            f"{exc.strerror or exc}",
        ) from exc


def template_names(workspace: Path) -> list[str]:
    """The workspace's OpenFOAM case templates (read from its folder), [] when unreadable."""
    try:
        return templates(Workspace(workspace))
    except UserError:
        return []
