"""Recording the outcome of a study's case in its product, exactly once.

A case is recorded when its job has ended: completed (read back like
``record-cfd`` does, so a run that did not converge or diverged says so),
failed (the stage that failed and its log), cancelled or timed out. Each
record carries the case folder and the study's name; before appending, the
product's runs layer is searched, under the product's lock, for a run with
the same case folder, so a driver that crashed between recording and
saving its state never records a case twice.
"""

from __future__ import annotations

import re
import time
from pathlib import Path
from typing import Any

from .executors import EXIT_FILE, JOB_LOG, STARTED_FILE, JobState

_CLOCK = re.compile(r"ClockTime\s*=\s*([0-9.eE+-]+)\s*s")


def _recorded_run(usd_path: Path, case: Path) -> dict[str, Any] | None:
    """The run of the product whose caseDir is ``case``, or None."""
    from ..cfd.record import fresh_runs_layer, runs_layer_path

    layer = fresh_runs_layer(runs_layer_path(usd_path))
    if layer is None:
        return None
    wanted = str(case)
    for prim in layer.rootPrims:
        sims = prim.nameChildren.get("Simulations")
        if sims is None:
            continue
        for run in sims.nameChildren:
            attr = run.attributes.get("caseDir")
            if attr is not None and attr.default == wanted:
                out = {"name": run.name}
                for key, name in (("status", "status"), ("cd", "cd"), ("run_id", "runId")):
                    if name in run.attributes:
                        out[key] = run.attributes[name].default
                return out
    return None


def _failed_stage(case: Path, ranks: int) -> tuple[str | None, Path | None]:
    from ..cfd.stages import stages

    last: tuple[str | None, Path | None] = (None, None)
    for stage in stages(ranks):
        log = case / f"log.{stage.name}"
        if log.is_file():
            last = (stage.name, log)
    return last


def outcome_fields(case: Path, job: JobState, info: dict[str, Any]) -> dict[str, Any]:
    """The run record of ``case`` after its job ended as ``job`` says."""
    from ..cfd import api
    from ..cfd.runner import RunResult, _fatal_line, solver_version, tail_text

    ranks = int(info.get("params", {}).get("ranks", 1))
    stage, log = _failed_stage(case, ranks)
    solver_log = case / "log.simpleFoam"
    finished = solver_log.is_file() and bool(
        re.search(r"^End\s*$", tail_text(solver_log, 4000), re.M)
    )
    if job.state == "done" and finished:
        result = RunResult(status="completed")
    elif job.state in ("cancelled", "timeout"):
        what = "cancelled" if job.state == "cancelled" else "timed out"
        result = RunResult(
            status=job.state,
            message=job.message or f"{what} during {stage or 'start-up'}",
            stage=stage,
            log=Path(job.log) if job.log and Path(job.log).exists() else log,
        )
    else:
        text = tail_text(log) if log else tail_text(case / JOB_LOG)
        solving = stage in ("potentialFoam", "simpleFoam")
        diverged = solving and bool(
            re.search(r"Floating point exception|sigFpe|\bnan\b", text, re.I)
        )
        how = f"exit status {job.exit_code}" if job.exit_code is not None else "no exit status"
        message = job.message or (
            f"{stage or 'the job'} {'diverged' if diverged else 'failed'} ({how}): "
            f"{_fatal_line(text)}"
        )
        result = RunResult(
            status="diverged" if diverged else "failed",
            message=message,
            stage=stage,
            log=log or (Path(job.log) if job.log else case / JOB_LOG),
        )
    result.solver_version = solver_version(solver_log) if solver_log.is_file() else None
    result.wall_time_s = _wall_time(case)
    return api._record_fields(None, case, result, info)  # type: ignore[arg-type]


def _wall_time(case: Path) -> float:
    try:
        started = float((case / STARTED_FILE).read_text().strip())
    except (OSError, ValueError):
        return 0.0
    try:
        ended = (case / EXIT_FILE).stat().st_mtime
    except OSError:
        ended = time.time()
    return round(max(0.0, ended - started), 1)


def record_case_outcome(
    workspace: Path, case: Path, job: JobState, *, study: str
) -> dict[str, Any]:
    """Record ``case`` in its product once; returns the run (the one recorded
    before, when there is one)."""
    from ..cfd import case as case_mod
    from ..cfd import record
    from ..core.api import find_product_usd
    from ..core.layer_io import product_lock
    from ..core.workspace import use_workspace

    info = case_mod.read_case_info(case)
    product = str(info["product"])
    with use_workspace(workspace):
        usd_path = find_product_usd(product)
    with product_lock(usd_path):
        before = _recorded_run(usd_path, case)
        if before is not None:
            before["already_recorded"] = True
            return before
        fields = outcome_fields(case, job, info)
        fields["study"] = study
        return record.append_run(usd_path, fields, product_id=product)
