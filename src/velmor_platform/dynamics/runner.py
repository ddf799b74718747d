"""The Chrono runner program: where it is, what it reports, running it.

``velmor-chrono`` is built with the package where Project Chrono is found
(see the README). It runs as a child process, so a crash inside Chrono
ends the child only: ``run`` then returns a failed result that says how.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sysconfig
import threading
import time
from functools import lru_cache
from pathlib import Path
from typing import Any

from .errors import ChronoMissingError

RUNNER = "velmor-chrono"
#: How often a running child is checked for a cancel or its time limit, seconds.
POLL_S = 0.25
HOW_TO_GET = (
    "install Project Chrono (its conda package, or a build from source with the vehicle "
    "module) and reinstall velmor with CHRONO_DIR=<its install prefix>"
)


def runner_path() -> Path | None:
    """The runner program, or None where the package was built without Chrono."""
    here = Path(__file__).resolve().parent
    candidates = [
        here / "bin" / RUNNER,
        Path(sysconfig.get_paths()["platlib"]) / "velmor_platform" / "dynamics" / "bin" / RUNNER,
    ]
    for path in candidates:
        if path.is_file() and os.access(path, os.X_OK):
            return path
    return None


@lru_cache(maxsize=1)
def _about(path: str) -> dict[str, Any]:
    try:
        done = subprocess.run(
            [path, "--about"], capture_output=True, text=True, timeout=30, check=False
        )
        about = json.loads(done.stdout) if done.returncode == 0 else None
    except (OSError, ValueError, subprocess.TimeoutExpired):
        about = None
    if not isinstance(about, dict):
        return {"problem": f"{path} does not start (exit status or output unreadable)"}
    return about


def about() -> dict[str, Any]:
    """``{"runner", "chrono_version", "data_dir"}``, or ``{"problem"}`` saying what is missing."""
    path = runner_path()
    if path is None:
        return {"problem": f"the Chrono runner is not installed: {HOW_TO_GET}"}
    found = dict(_about(str(path)))
    found["runner"] = str(path)
    return found


def require() -> dict[str, Any]:
    """``about()`` of a working runner; ``ChronoMissingError`` otherwise."""
    found = about()
    if "problem" in found:
        raise ChronoMissingError(found["problem"])
    return found


def run(
    input_path: Path,
    output_path: Path,
    *,
    timeout: float,
    cancel: threading.Event | None = None,
) -> dict[str, Any]:
    """Run the runner on ``input_path``; its result, or a failed (timed-out,
    cancelled) one saying why. ``cancel`` set stops the child."""
    path = require()["runner"]
    log = output_path.with_suffix(".log")
    deadline = time.monotonic() + timeout
    try:
        with log.open("wb") as out:
            child = subprocess.Popen(
                [path, str(input_path), str(output_path)], stdout=out, stderr=subprocess.STDOUT
            )
            try:
                while True:
                    try:
                        child.wait(timeout=POLL_S)
                        break
                    except subprocess.TimeoutExpired:
                        pass
                    if cancel is not None and cancel.is_set():
                        child.kill()
                        child.wait()
                        return {"status": "cancelled", "message": "the run was cancelled"}
                    if time.monotonic() > deadline:
                        child.kill()
                        child.wait()
                        return {
                            "status": "timeout",
                            "message": f"Chrono ran longer than {timeout:g} s",
                        }
            except BaseException:
                child.kill()
                child.wait()
                raise
    except OSError as exc:
        return {"status": "failed", "message": f"cannot start {path}: {exc.strerror or exc}"}
    result: Any = None
    try:
        result = json.loads(output_path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        result = None
    if child.returncode < 0:
        name = signal.Signals(-child.returncode).name
        return {"status": "failed", "message": f"Chrono crashed ({name}); its log: {log}"}
    if not isinstance(result, dict):
        return {
            "status": "failed",
            "message": f"Chrono ended with status {child.returncode} and no result; its log: {log}",
        }
    return result
