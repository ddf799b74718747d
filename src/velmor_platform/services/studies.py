"""Studies: many runs of many designs (``velmor_platform.study``), as use cases.

``define`` builds a study from a TOML file and/or values; ``run`` drives it
here (resuming a stored one), ``start`` leaves it to a detached driver
process (for the web and MCP hosts); ``status``, ``cancel``, ``results``,
``chart`` and ``listing`` read or change a stored one; ``clean`` tidies a
product's case folders. The study package's ``StudyError`` becomes
``UserError`` with the same kind.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .errors import UserError, translated
from .loading import Workspace, require_workspace


def _root(workspace: Workspace | None) -> Path:
    if workspace is None:
        raise UserError("unavailable", "no workspace: pass --workspace DIR or set VELMOR_WORKSPACE")
    return require_workspace(workspace)


if TYPE_CHECKING:
    from ..study.model import Study

Event = Callable[[dict[str, Any]], None]


def define(path: str | None = None, **values: Any) -> Study:
    """A study from the TOML file ``path`` (if given) and ``values`` (which win)."""
    from ..study import model

    with translated():
        if path is not None:
            return model.load(path, **values)
        if not values.get("name"):
            raise UserError("invalid", "name the study (--name NAME) or give a study file")
        if not values.get("products"):
            raise UserError("invalid", "give the study's products (--products P [P ...])")
        return model.from_values(**values)


def run(
    workspace: Workspace | None,
    study: Study | None = None,
    *,
    name: str | None = None,
    on_event: Event | None = None,
    stop: threading.Event | None = None,
) -> dict[str, Any]:
    """Run (or resume) a study here until its cases have ended; returns its status."""
    from ..study import runner
    from ..study.status import study_status

    root = _root(workspace)
    with translated():
        state = runner.run_study(root, study, name=name, on_event=on_event, stop=stop)
        return study_status(root, state.name)


def started(workspace: Workspace | None, study: Study) -> dict[str, Any]:
    """Store ``study`` and start its driver as a process of its own (unless one
    runs or every case has ended); returns its name, the driver's PID and its
    case keys."""
    from ..study import runner

    root = _root(workspace)
    with translated():
        state = runner.open_study(root, study)
        driver = state.driver()
        if driver is None and not state.finished():
            driver = runner.start_driver(root, state.name)
        return {"study": state.name, "driver": driver, "cases": sorted(state.cases)}


def start(workspace: Workspace | None, study: Study) -> dict[str, Any]:
    """``started``, answered with the study's status."""
    from ..study.status import study_status

    name = started(workspace, study)["study"]
    with translated():
        return study_status(_root(workspace), name)


def status(workspace: Workspace | None, name: str, *, live: bool = False) -> dict[str, Any]:
    from ..study.status import study_status

    root = _root(workspace)
    with translated():
        return study_status(root, name, live=live)


def ended(status: dict[str, Any]) -> int:
    """How many cases of a study's ``status`` have ended (whatever the outcome)."""
    from ..study.state import TERMINAL

    return sum(1 for case in status["cases"] if case["status"] in TERMINAL)


def listing(workspace: Workspace | None) -> list[dict[str, Any]]:
    """Every stored study: name, executor, counts, finished, driver."""
    from ..study.state import StudyState, list_studies

    root = _root(workspace)
    out = []
    with translated():
        for name in list_studies(root):
            state = StudyState.load(root, name)
            out.append(
                {
                    "study": name,
                    "executor": state.definition.get("executor", "local"),
                    "cases": len(state.cases),
                    "counts": state.counts(),
                    "finished": state.finished(),
                    "driver": state.driver(),
                }
            )
    return out


def cancel(workspace: Workspace | None, name: str, keys: list[str] | None = None) -> dict[str, Any]:
    from ..study import runner

    root = _root(workspace)
    with translated():
        return runner.cancel_study(root, name, keys or None)


def results(workspace: Workspace | None, name: str) -> dict[str, Any]:
    from ..study.results import results_table

    root = _root(workspace)
    with translated():
        return results_table(root, name)


def chart(workspace: Workspace | None, name: str, fmt: str = "svg") -> bytes:
    from ..study.results import chart as draw

    root = _root(workspace)
    with translated():
        return draw(root, name, fmt)


def clean(
    workspace: Workspace | None, product: str, *, unrecorded: bool = False, dry_run: bool = False
) -> dict[str, Any]:
    """Clean ``product``'s case folders (``study.housekeeping``)."""
    from ..study.housekeeping import clean_cases

    root = _root(workspace)
    with translated():
        try:
            return clean_cases(root, product, unrecorded=unrecorded, dry_run=dry_run)
        except FileNotFoundError as exc:
            raise UserError("not_found", str(exc)) from None
        except ValueError as exc:
            raise UserError("invalid", str(exc)) from None


# ---- the cases a study's mcp executor runs on this host (the solver host)


def _case_folder(root: Path, case_dir: str) -> Path:
    """``case_dir`` when it lies under the workspace's ``cases/``, links resolved."""
    cases = root / "cases"
    real = Path(case_dir).resolve()
    if not real.is_relative_to(cases.resolve()):
        raise UserError("invalid", f"{case_dir} is not a case folder of the workspace {cases}")
    return real


def _local_executor(root: Path) -> Any:
    from ..study.config import load_config, local_cores
    from ..study.executors import LocalExecutor

    return LocalExecutor(local_cores(load_config(root)), cases=root / "cases")


def start_case(
    workspace: Workspace | None, case_dir: str, ranks: int = 1, label: str = "case"
) -> dict[str, Any]:
    """Run a prepared case of the workspace here, detached; its job handle."""
    root = _root(workspace)
    with translated():
        return {"job": _local_executor(root).submit(_case_folder(root, case_dir), ranks, label)}


def case_states(workspace: Workspace | None, jobs: dict[str, str]) -> dict[str, Any]:
    """The state of each job started here (``{handle: case_dir}``)."""
    root = _root(workspace)
    with translated():
        cases = {h: _case_folder(root, c) for h, c in jobs.items()}
        return {h: vars(s) for h, s in _local_executor(root).poll(cases).items()}


def cancel_case(workspace: Workspace | None, job: str) -> dict[str, Any]:
    """Cancel a job started here (every process it started)."""
    root = _root(workspace)
    with translated():
        _local_executor(root).cancel(job)
    return {"job": job, "cancelled": True}


def slurm_report(root: Path) -> dict[str, Any] | None:
    """The workspace's Slurm set-up (None when none is configured), for doctor."""
    from ..study.slurm import describe

    with translated():
        return describe(root)
