"""A study's status: the stored state, read without any lock.

Kept apart from the runner so that ``study status`` imports nothing but the
state (no pydantic, no OpenUSD): the status of a 200-case study is one small
JSON read, and for each running case a look at its folder (``progress``:
stage, iteration, latest Cd, elapsed time). With ``live``, and no driver
attached, the executor is asked about the jobs still queued or running.
"""

from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Any

from .errors import StudyError
from .state import ACTIVE, StudyState


def study_status(workspace: str | Path, name: str, *, live: bool = False) -> dict[str, Any]:
    """The study's cases and counts as stored (``live``: ask the executor about
    queued and running jobs when no driver is attached)."""
    root = Path(workspace).resolve()
    state = StudyState.load(root, name)
    driver = state.driver()
    cases = [{"key": k, **e} for k, e in state.cases.items()]
    if live and driver is None:
        active = {e["job"]: e for e in cases if e["status"] in ACTIVE and e.get("job")}
        if active:
            from .runner import _close, make_executor

            executor = make_executor(root, str(state.definition.get("executor", "local")))
            try:
                with contextlib.suppress(StudyError):
                    jobs = {h: Path(e["case_dir"]) for h, e in active.items()}
                    for handle, job in executor.poll(jobs).items():
                        active[handle]["live"] = job.state
            finally:
                _close(executor)
    from .progress import add_progress

    add_progress(root, cases)
    return {
        "study": state.name,
        "definition": state.definition,
        "driver": driver,
        "finished": state.finished(),
        "counts": state.counts(),
        "cases": cases,
    }
