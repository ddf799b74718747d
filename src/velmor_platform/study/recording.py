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


def outcome_fields(case: Path, job: JobState, info: dict[str, Any]) -> dict[str, Any]:
    """The run record of ``case`` after its job ended as ``job`` says."""
    from ..cfd.runner import solver_version
    from ..cfd.verdict import SOLVER_LOG, judge, last_stage, record_fields

    stage, log = last_stage(case, int(info.get("params", {}).get("ranks", 1)))
    stopped = job.state if job.state in ("cancelled", "timeout") else None
    if stopped and job.log and Path(job.log).exists():
        log = Path(job.log)
    # A job that ended well but left no exit status is taken at its word.
    code = 0 if job.state == "done" and job.exit_code is None else job.exit_code
    result = judge(
        case, exit_code=code, stage=stage, log=log or case / JOB_LOG, stopped=stopped,
        message=job.message,
    )  # fmt: skip
    solver_log = case / SOLVER_LOG
    result.solver_version = solver_version(solver_log) if solver_log.is_file() else None
    result.wall_time_s = _wall_time(case)
    return record_fields(case, result, info)


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
