"""How far a running case has got, read from its folder: what ``simulate``'s
progress line shows (the stage, the iteration of its cap, the latest drag
coefficient, the time since the case started).

The stage is the newest ``log.<stage>`` the case's ``Allrun`` wrote; the
iteration and drag coefficient the last line of its forceCoeffs output.
Only case folders under the workspace's ``cases/`` are read.
"""

from __future__ import annotations

import json
import time
from pathlib import Path
from typing import Any

#: Logs that are not a stage of the case.
_NOT_STAGES = ("Allrun",)


def _stage(case: Path) -> str | None:
    newest: tuple[float, str] | None = None
    for log in case.glob("log.*"):
        name = log.name[4:]
        if name in _NOT_STAGES:
            continue
        try:
            mtime = log.stat().st_mtime
        except OSError:
            continue
        if newest is None or mtime > newest[0]:
            newest = (mtime, name)
    return newest[1] if newest else None


def case_progress(case: Path, since: float | None, now: float | None = None) -> dict[str, Any]:
    """The case's stage, ``iteration`` (of ``iterations``), latest ``cd`` and
    ``elapsed_s`` since ``since``, each only when known."""
    progress: dict[str, Any] = {}
    if since is not None:
        progress["elapsed_s"] = round(max(0.0, (now or time.time()) - float(since)), 1)
    stage = _stage(case)
    if stage is not None:
        progress["stage"] = stage
    if (case / "postProcessing" / "forceCoeffs1").is_dir():
        from ..cfd.coefficients import latest_cd

        latest = latest_cd(case)
        if latest is not None:
            progress["iteration"], progress["cd"] = latest
    try:
        cap = json.loads((case / "velmor-case.json").read_text()).get("max_iterations")
    except (OSError, ValueError, AttributeError):
        cap = None
    if isinstance(cap, int):
        progress["iterations"] = cap
    return progress


def add_progress(workspace: Path, cases: list[dict[str, Any]]) -> None:
    """Give each running case of ``cases`` (the study status's) its ``progress``."""
    cases_root = (workspace / "cases").resolve()
    now = time.time()
    for entry in cases:
        if (entry.get("live") or entry.get("status")) != "running" or not entry.get("case_dir"):
            continue
        folder = Path(entry["case_dir"]).resolve()
        if not folder.is_relative_to(cases_root) or not folder.is_dir():
            continue
        since = entry.get("started") or entry.get("submitted")
        entry["progress"] = case_progress(
            folder, since if isinstance(since, (int, float)) else None, now
        )
