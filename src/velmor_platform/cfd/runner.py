"""Running the OpenFOAM stages of a prepared case.

Each stage runs in a process group of its own (``start_new_session``), its
output in ``log.<stage>`` in the case folder, so that cancelling kills the
application and every MPI rank it started at once: SIGTERM to the group,
SIGKILL half a second later. Progress (stage, iteration out of the cap,
latest drag coefficient, elapsed time) is read from the logs and the
forceCoeffs output while the stage runs.

How a stage is launched (the project directory, mpirun and its flags) is
``launch``'s recipe, the same one the case's ``Allrun`` script spells.
"""

from __future__ import annotations

import contextlib
import os
import re
import resource
import shutil
import signal
import subprocess
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .coefficients import latest_cd
from .errors import OpenFoamMissingError
from .launch import DEFAULT_PROJECT_DIR, mpirun_here, openfoam_env
from .stages import COPY_FIELDS, STOPPED_AT, Stage, stages
from .verdict import RunResult, judge

#: How often a running stage is polled for cancel and progress, seconds.
POLL = 0.1
#: How often the convergence test runs while the solver does, seconds.
CHECK_EVERY = 2.0
#: Grace between SIGTERM and SIGKILL when cancelling, seconds.
KILL_GRACE = 0.5

Progress = Callable[[dict[str, Any]], None]

_TIME = re.compile(rb"^Time = ([0-9.eE+-]+)\s*$", re.M)
_BUILD = re.compile(r"^Build\s*:\s*(.*)$", re.M)


@dataclass(frozen=True)
class OpenFoamInstall:
    """The OpenFOAM set-up the children get: what ``doctor`` reports and what
    ``simulate`` checks before it records anything."""

    project_dir: str | None  # WM_PROJECT_DIR as the children get it
    from_environment: bool  # set by the caller's environment, not velmor's default
    version: str | None  # e.g. "v1912", from the installation's etc/bashrc
    problem: str | None  # why the binaries would not run, or None


_VERSION = re.compile(r"^\s*export\s+WM_PROJECT_VERSION=([^\s;#]+)", re.M)


def _project_version(project_dir: str) -> str | None:
    try:
        with open(os.path.join(project_dir, "etc", "bashrc"), encoding="utf-8") as f:
            m = _VERSION.search(f.read(65536))
    except (OSError, UnicodeDecodeError):
        return None
    return m.group(1).strip("'\"") if m else None


def openfoam_install(env: dict[str, str] | None = None) -> OpenFoamInstall:
    """What velmor will use to run OpenFOAM, with the problem that would
    stop it (binaries missing, ``WM_PROJECT_DIR`` unusable), if any."""
    base = dict(os.environ if env is None else env)
    given = base.get("WM_PROJECT_DIR") or None
    project = openfoam_env(base).get("WM_PROJECT_DIR") or None
    missing = [n for n in ("blockMesh", "snappyHexMesh", "simpleFoam") if not _which(n, base)]
    problem = None
    if missing:
        problem = (
            f"OpenFOAM is not installed ({', '.join(missing)} not found on PATH): install the "
            "Debian package 'openfoam' (apt-get install openfoam) or source an OpenFOAM environment"
        )
    elif project is None:
        problem = (
            f"WM_PROJECT_DIR is not set and {DEFAULT_PROJECT_DIR} does not exist: source the "
            "OpenFOAM environment the binaries on PATH belong to"
        )
    elif not os.path.isfile(os.path.join(project, "etc", "controlDict")):
        problem = (
            f"WM_PROJECT_DIR={project} (from the environment) is not an OpenFOAM installation "
            "(it has no etc/controlDict), so the OpenFOAM binaries would stop at once: "
            + (
                f"unset it (velmor then uses {DEFAULT_PROJECT_DIR})"
                if os.path.isdir(DEFAULT_PROJECT_DIR)
                else "point it at the installation"
            )
        )
    version = _project_version(project) if project else None
    return OpenFoamInstall(project, given is not None, version, problem)


def _which(name: str, env: dict[str, str]) -> str | None:
    return shutil.which(name, path=env.get("PATH", os.defpath))


def find_openfoam(ranks: int = 1) -> None:
    """Raise ``OpenFoamMissingError`` (one line) when the binaries are missing
    or their environment would stop them."""
    needed = [s.argv[0] for s in stages(ranks) if s.argv]
    if ranks > 1:
        needed.append("mpirun")
    missing = [name for name in needed if shutil.which(name) is None]
    if missing:
        raise OpenFoamMissingError(
            f"OpenFOAM is not installed ({', '.join(missing)} not found on PATH): install the "
            "Debian package 'openfoam' (apt-get install openfoam) or source an OpenFOAM environment"
        )
    problem = openfoam_install().problem
    if problem:
        raise OpenFoamMissingError(problem)


def command(stage: Stage, ranks: int) -> list[str]:
    if stage.parallel and ranks > 1:
        return [*mpirun_here(ranks), *stage.argv, "-parallel"]
    return list(stage.argv)


def solver_version(log: Path) -> str | None:
    """The OpenFOAM version a log was written by, e.g. ``v1912``."""
    try:
        with log.open(encoding="utf-8", errors="replace") as f:
            head = f.read(4096)
    except OSError:
        return None
    m = _BUILD.search(head)
    if not m:
        return None
    build = m.group(1).strip()
    numbered = re.search(r"OPENFOAM=(\d+)", build)
    if numbered:
        return "v" + numbered.group(1)
    word = build.split()[0] if build.split() else ""
    return word.split("-")[0] or None


def _kill_group(proc: subprocess.Popen[bytes]) -> None:
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    with contextlib.suppress(subprocess.TimeoutExpired):
        proc.wait(timeout=KILL_GRACE)
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()


def _stop_now(case: Path, iteration: int | None) -> None:
    """Ask a running solver to write its fields and stop at the next iteration,
    and note the iteration the verdict was met at: the record judges the run
    on those iterations, not on the few the solver adds while it stops."""
    from foamlib import FoamFile

    from ..core.layer_io import atomic_write_bytes

    if iteration is not None:
        atomic_write_bytes(case / STOPPED_AT, f"{iteration}\n".encode())
    FoamFile(case / "system" / "controlDict")["stopAt"] = "writeNow"


def _copy_fields(case: Path) -> None:
    """Fresh initial fields from ``0.orig``: into ``0``, or into every
    processor folder of a decomposed case."""
    (case / STOPPED_AT).unlink(missing_ok=True)  # a new solve: any earlier stop is void
    targets = [p / "0" for p in sorted(case.glob("processor[0-9]*"))] or [case / "0"]
    for target in targets:
        if target.exists():
            shutil.rmtree(target)
        shutil.copytree(case / "0.orig", target)


def run_case(
    case: Path,
    *,
    ranks: int = 1,
    total: int | None = None,
    on_progress: Progress | None = None,
    cancel: threading.Event | None = None,
    converged: Callable[[Path], bool] | None = None,
) -> RunResult:
    """Run every stage of ``case``; returns how it ended (never raises for a
    failed stage; raises ``OpenFoamMissingError`` before starting when the
    binaries are missing).

    ``converged(case)``, polled every few seconds while simpleFoam runs,
    ends the run early when it answers True: the solver is told to write
    and stop (``stopAt writeNow`` in controlDict, re-read at run time).
    """
    find_openfoam(ranks)
    env = openfoam_env()
    started = time.monotonic()
    result = RunResult(status="completed")

    def report(
        stage: str, iteration: int | None = None, cd: float | None = None, **more: Any
    ) -> None:
        if on_progress is not None:
            on_progress(
                {
                    "stage": stage,
                    "iteration": iteration,
                    "total": total if stage == "simpleFoam" else None,
                    "cd": cd,
                    "elapsed_s": round(time.monotonic() - started, 1),
                    **more,
                }
            )

    for stage in stages(ranks):
        if cancel is not None and cancel.is_set():
            before = f"cancelled before {stage.name}"
            ended = judge(case, stage=stage.name, stopped="cancelled", message=before)
            break
        if stage.name == "simpleFoam":
            report(stage.name, **solve_estimate(case, total, ranks))
        else:
            report(stage.name)
        stage_start = time.monotonic()
        if stage.name == COPY_FIELDS:
            _copy_fields(case)
            result.stage_times[stage.name] = round(time.monotonic() - stage_start, 2)
            continue
        log = case / f"log.{stage.name}"
        with log.open("wb") as out:
            proc = subprocess.Popen(
                command(stage, ranks),
                cwd=case,
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
            check = converged if stage.name == "simpleFoam" else None
            cancelled = _watch(proc, stage, case, log, cancel, report, check)
        result.stage_times[stage.name] = round(time.monotonic() - stage_start, 2)
        if stage.name == "simpleFoam" or result.solver_version is None:
            result.solver_version = solver_version(log)
        if cancelled:
            ended = judge(case, stage=stage.name, log=log, stopped="cancelled")
            break
        if proc.returncode != 0 and not stage.optional:
            ended = judge(case, exit_code=proc.returncode, stage=stage.name, log=log)
            break
    else:
        ended = judge(case, exit_code=0, ranks=ranks)
    result.status, result.message = ended.status, ended.message
    result.stage, result.log = ended.stage, ended.log
    result.wall_time_s = round(time.monotonic() - started, 2)
    peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    result.peak_rss_mb = round(peak_kb / 1024, 1)
    return result


#: CPU seconds of simpleFoam per cell and iteration on one core (OpenFOAM v1912,
#: k-omega SST, measured: a quick case of 348,760 cells ran 863 iterations in
#: 474 s of CPU on each of 2 ranks). A machine busy with other work takes longer.
SOLVE_S_PER_CELL_ITERATION = 3.2e-6


def solve_estimate(case: Path, iterations: int | None, ranks: int) -> dict[str, Any]:
    """The meshed case's ``cells`` and, with its iteration cap, ``estimate_s``:
    about how long the solve takes on ``ranks`` free cores."""
    from .verdict import mesh_cells

    cells = mesh_cells(case)
    if cells is None:
        return {}
    found: dict[str, Any] = {"cells": cells}
    if iterations:
        found["estimate_s"] = round(cells * iterations * SOLVE_S_PER_CELL_ITERATION / max(1, ranks))
    return found


def _watch(
    proc: subprocess.Popen[bytes],
    stage: Stage,
    case: Path,
    log: Path,
    cancel: threading.Event | None,
    report: Callable[[str, int | None, float | None], None],
    converged: Callable[[Path], bool] | None = None,
) -> bool:
    """Wait for ``proc``, reporting progress; True when it was cancelled
    (by ``cancel`` or by Ctrl-C in this process)."""
    try:
        return _poll(proc, stage, case, log, cancel, report, converged)
    except KeyboardInterrupt:
        _kill_group(proc)
        return True
    except BaseException:
        _kill_group(proc)
        raise


def _poll(
    proc: subprocess.Popen[bytes],
    stage: Stage,
    case: Path,
    log: Path,
    cancel: threading.Event | None,
    report: Callable[[str, int | None, float | None], None],
    converged: Callable[[Path], bool] | None,
) -> bool:
    solving = stage.name == "simpleFoam"
    offset = 0
    iteration: int | None = None
    last_report = 0.0
    last_check = time.monotonic()
    stopping = False
    while True:
        try:
            proc.wait(timeout=POLL)
            return False
        except subprocess.TimeoutExpired:
            pass
        if cancel is not None and cancel.is_set():
            _kill_group(proc)
            return True
        if not solving:
            continue
        try:
            with log.open("rb") as f:
                f.seek(offset)
                chunk = f.read()
        except OSError:
            chunk = b""
        cut = chunk.rfind(b"\n") + 1
        offset += cut
        found = _TIME.findall(chunk[:cut])
        if found:
            with contextlib.suppress(ValueError):
                iteration = int(float(found[-1]))
        now = time.monotonic()
        if iteration is not None and now - last_report >= 0.5:
            last_report = now
            latest = latest_cd(case)
            report(stage.name, iteration, latest[1] if latest else None)
        if converged is not None and not stopping and now - last_check >= CHECK_EVERY:
            last_check = now
            if converged(case):
                stopping = True
                latest = latest_cd(case)
                _stop_now(case, latest[0] if latest else None)
