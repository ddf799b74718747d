"""Driving a study: prepare every case, run them on an executor, record each once.

``run_study`` is resumable. The first call stores the study's definition
and prepares every case up front (a case folder each, as ``prepare-cfd``
builds them, at the case's yaw angle). Then, until every case has ended,
it submits cases while the executor has room, polls the jobs and records
each ended case in its product as it ends (``recording``), saving the
study's state after every change. Ctrl-C, a crash or a reboot of the client
leaves the jobs to their executor: calling ``run_study`` again picks up the
jobs still queued or running by their handles, records those that ended
meanwhile and re-runs nothing that finished. A local job whose process
died with the machine, without an exit status, is submitted once more.

``cancel_study`` asks the driver to cancel (a ``cancel`` file it watches);
with no driver attached it becomes the driver for as long as the
cancellation takes. ``status.study_status`` reads the state without any lock.
"""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from ..core.signals import signals_deferred
from .config import load_config, local_cores
from .errors import StudyError
from .executors import Executor, JobState, LocalExecutor
from .model import Study
from .state import ACTIVE, StudyState, study_dir

Event = Callable[[dict[str, Any]], None]
#: Seconds between polls of the executor.
POLL_S = 0.5
#: Times a local job lost with its machine is submitted again.
RESUBMITS = 1


def make_executor(workspace: Path, name: str) -> Executor:
    config = load_config(workspace)
    if name == "local":
        return LocalExecutor(local_cores(config), cases=workspace / "cases")
    if name == "slurm":
        from .slurm import SlurmExecutor

        return SlurmExecutor(config.slurm)
    if name == "mcp":
        from .mcp_executor import McpExecutor

        return McpExecutor(workspace)
    raise StudyError("invalid", f"unknown executor {name!r} (local, slurm or mcp)")


def _close(executor: Executor) -> None:
    close = getattr(executor, "close", None)
    if close is not None:
        close()


def open_study(workspace: Path, study: Study | None, name: str | None = None) -> StudyState:
    """The stored study named by ``study`` (stored now if new) or ``name``."""
    if study is None:
        assert name is not None
        return StudyState.load(workspace, name)
    folder = study_dir(workspace, study.name)
    definition = {**study.model_dump(), "fingerprint": study.fingerprint()}
    try:
        state = StudyState.load(workspace, study.name)
    except StudyError as exc:
        if exc.kind != "not_found":
            raise
        _check_products(workspace, study.products)
        state = StudyState(folder, definition, {})
        for spec in study.cases():
            state.cases[spec.key] = {**spec.model_dump(), "status": "pending"}
        state.save_definition()
        state.save()
        return state
    if state.definition.get("fingerprint") != definition["fingerprint"]:
        raise StudyError(
            "conflict",
            f"a different study named {study.name!r} exists in {folder}; give this one "
            "another name (or run the stored one by its name alone)",
        )
    if state.definition.get("executor") != study.executor:
        state.definition["executor"] = study.executor
        state.save_definition()
    return state


def _check_products(workspace: Path, products: list[str]) -> None:
    from ..core.api import find_product_usd
    from ..core.workspace import use_workspace

    for product in products:
        try:
            with use_workspace(workspace):
                find_product_usd(product)
        except (OSError, ValueError) as exc:
            raise StudyError("not_found", str(exc)) from None


def _prepare(workspace: Path, state: StudyState, emit: Event) -> None:
    from ..cfd import api
    from ..cfd.errors import CfdError
    from ..cfd.params import RunOptions
    from ..core.product_core import ProductCore
    from ..core.workspace import use_workspace

    loaded: dict[str, Any] = {}
    for key, entry in state.cases.items():
        if entry["status"] != "pending":
            continue
        try:
            with use_workspace(workspace):
                product = loaded.get(entry["product"])
                if product is None:
                    product = loaded[entry["product"]] = ProductCore.load(entry["product"])
                options = RunOptions(
                    level=entry["level"], speed=entry["speed"], ranks=entry["ranks"],
                    iterations=entry["iterations"], yaw=entry["yaw"],
                )  # fmt: skip
                case = api.prepare_case(product, options, workspace=workspace)
        except (CfdError, OSError, ValueError, FileNotFoundError) as exc:
            state.update(key, status="failed", message=f"cannot prepare the case: {exc}")
            state.save()
            emit({"case": key, "status": "failed", "message": str(exc)})
            continue
        state.update(key, status="prepared", case_dir=str(case))
        state.save()
        emit({"case": key, "status": "prepared", "case_dir": str(case)})


def _finish(workspace: Path, state: StudyState, key: str, job: JobState, emit: Event) -> None:
    from .recording import record_case_outcome

    entry = state.cases[key]
    run = record_case_outcome(workspace, Path(entry["case_dir"]), job, study=state.name)
    values = {
        k: run.get(k)
        for k in ("status", "cd", "cd_band", "cl", "cm_pitch", "cs", "cm_yaw", "cd_spread",
                  "converged", "message", "log", "mesh_cells", "wall_time_s", "iterations")
    }  # fmt: skip
    state.update(
        key, **{k: v for k, v in values.items() if v is not None},
        recorded_run=run.get("name"), recorded_run_id=run.get("run_id"), ended=time.time(),
    )  # fmt: skip
    state.save()
    emit({"case": key, **state.cases[key]})


def _cancel_unstarted(state: StudyState, keys: set[str], emit: Event) -> None:
    for key in sorted(keys):
        entry = state.cases[key]
        if entry["status"] in ("pending", "prepared"):
            state.update(key, status="cancelled", message="cancelled before it started")
            emit({"case": key, "status": "cancelled"})
    state.save()


def resumed_summary(state: StudyState) -> str | None:
    """What a driver taking over a stored study finds, in one line
    (``resumed: 2 running, 0 queued, 0 to prepare, 1 to submit, 3 ended``),
    or None for a study that has not started."""
    statuses = [e["status"] for e in state.cases.values()]
    if all(s == "pending" for s in statuses):
        return None
    count = statuses.count
    ended = sum(1 for s in statuses if s not in ("pending", "prepared", *ACTIVE))
    return (
        f"resumed: {count('running')} running, {count('queued')} queued, "
        f"{count('pending')} to prepare, {count('prepared')} to submit, {ended} ended"
    )


def drive(
    workspace: Path,
    state: StudyState,
    executor: Executor,
    *,
    on_event: Event | None = None,
    stop: threading.Event | None = None,
    poll_s: float = POLL_S,
) -> StudyState:
    """Run ``state``'s cases to the end on ``executor`` (the caller holds the
    driver's lock). Returns when every case has ended or ``stop`` is set."""

    def emit(event: dict[str, Any]) -> None:
        if on_event is not None:
            event.setdefault("counts", state.counts())
            on_event(event)

    poll_s = max(poll_s, float(getattr(executor, "poll_s", 0.0)))
    resumed = resumed_summary(state)
    if resumed:
        emit({"event": "resumed", "message": resumed})
    # A site's ranks per case decide the decomposition the cases are prepared with.
    ranks = getattr(executor, "ranks_per_case", None)
    if ranks:
        for entry in state.cases.values():
            if entry["status"] == "pending":
                entry["ranks"] = int(ranks)  # stored once the case is prepared
    _prepare(workspace, state, emit)
    cancelled: set[str] = set()
    while True:
        wanted = state.cancel_requests() - cancelled
        if wanted:
            _cancel_unstarted(state, wanted, emit)
            for key in sorted(wanted):
                entry = state.cases[key]
                if entry["status"] in ACTIVE and entry.get("job"):
                    executor.cancel(entry["job"])
                    state.update(key, cancel_requested=True)
            cancelled |= wanted
            state.save()
        active = {
            e["job"]: key
            for key, e in state.cases.items()
            if e["status"] in ACTIVE and e.get("job")
        }
        if active:
            states = executor.poll({h: Path(state.cases[k]["case_dir"]) for h, k in active.items()})
            for handle, job in states.items():
                key = active[handle]
                entry = state.cases[key]
                if job.state in ("queued", "running"):
                    if entry["status"] != job.state:
                        state.update(key, status=job.state)
                        if job.state == "running":
                            entry["started"] = time.time()
                        state.save()
                        emit({"case": key, "status": job.state})
                    continue
                if (
                    job.state == "lost"
                    and not entry.get("cancel_requested")
                    and entry.get("attempts", 1) <= RESUBMITS
                ):
                    state.update(key, status="prepared", job=None)
                    state.save()
                    emit({"case": key, "status": "prepared", "message": job.message})
                    continue
                if entry.get("cancel_requested") and job.state in ("failed", "lost"):
                    job = JobState("cancelled", job.exit_code, "cancelled", job.log)
                _finish(workspace, state, key, job, emit)
        running = sum(1 for e in state.cases.values() if e["status"] in ACTIVE)
        ranks = max((e["ranks"] for e in state.cases.values()), default=1)
        room = executor.capacity(ranks) - running
        for key, entry in state.cases.items():
            if room <= 0:
                break
            if entry["status"] != "prepared":
                continue
            # A job submitted must be in the saved state: Ctrl-C waits for both.
            with signals_deferred(signal.SIGINT, signal.SIGTERM):
                label = f"{state.name}-{key}"
                handle = executor.submit(Path(entry["case_dir"]), entry["ranks"], label)
                state.update(
                    key, status="queued", job=handle, executor=executor.name,
                    submitted=time.time(), attempts=entry.get("attempts", 0) + 1,
                )  # fmt: skip
                state.save()
            emit({"case": key, "status": "queued", "job": handle})
            room -= 1
        if state.finished():
            with contextlib.suppress(FileNotFoundError):
                state.cancel_file.unlink()
            emit({"event": "finished", "status": "finished"})
            return state
        if stop is not None and stop.wait(poll_s):
            return state
        if stop is None:
            time.sleep(poll_s)


def run_study(
    workspace: str | Path,
    study: Study | None = None,
    *,
    name: str | None = None,
    executor: Executor | None = None,
    on_event: Event | None = None,
    stop: threading.Event | None = None,
    poll_s: float = POLL_S,
) -> StudyState:
    """Run (or resume) a study until its cases have ended; see the module's text."""
    root = Path(workspace).resolve()
    state = open_study(root, study, name)
    chosen = executor or make_executor(root, str(state.definition.get("executor", "local")))
    check = getattr(chosen, "check", None)
    if check is not None:
        check()
    try:
        with state.driving():
            state = StudyState.load(root, state.name)  # as stored, now that it is ours
            return drive(root, state, chosen, on_event=on_event, stop=stop, poll_s=poll_s)
    finally:
        _close(chosen)


def cancel_study(
    workspace: str | Path,
    name: str,
    keys: list[str] | None = None,
    *,
    executor: Executor | None = None,
    wait: bool = True,
) -> dict[str, Any]:
    """Cancel the study's cases (``keys``, default all). An attached driver does
    the cancelling; otherwise this call drives until the cancelled jobs ended."""
    root = Path(workspace).resolve()
    state = StudyState.load(root, name)
    unknown = sorted(set(keys or []) - set(state.cases))
    if unknown:
        raise StudyError("not_found", f"study {name!r} has no case {unknown[0]!r}")
    state.request_cancel(keys)
    driver = state.driver()
    if driver is not None:
        return {"study": name, "requested": keys or "all", "driver": driver}
    chosen = executor or make_executor(root, str(state.definition.get("executor", "local")))
    try:
        with state.driving():
            state = StudyState.load(root, name)
            _drive_subset(root, state, chosen, state.cancel_requests(), wait=wait)
    finally:
        _close(chosen)
    return {"study": name, "requested": keys or "all", "counts": state.counts()}


def _drive_subset(
    root: Path, state: StudyState, executor: Executor, keys: set[str], *, wait: bool = True
) -> None:
    """Cancel ``keys`` and (``wait``) record them as they end; the other cases
    wait for the study's next run."""

    def emit(event: dict[str, Any]) -> None:
        return None

    _cancel_unstarted(state, keys, emit)
    for key in sorted(keys):
        entry = state.cases[key]
        if entry["status"] in ACTIVE and entry.get("job"):
            executor.cancel(entry["job"])
            state.update(key, cancel_requested=True)
    state.save()
    if not wait:
        return
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        active = {
            state.cases[k]["job"]: k
            for k in keys
            if state.cases[k]["status"] in ACTIVE and state.cases[k].get("job")
        }
        if not active:
            return
        states = executor.poll({h: Path(state.cases[k]["case_dir"]) for h, k in active.items()})
        for handle, job in states.items():
            if job.state in ("queued", "running"):
                continue
            if job.state in ("failed", "lost"):
                job = JobState("cancelled", job.exit_code, "cancelled", job.log)
            _finish(root, state, active[handle], job, emit)
        time.sleep(POLL_S)


def start_driver(workspace: Path, name: str) -> int:
    """Start ``python -m velmor_platform.study NAME`` detached; returns its PID."""
    log = workspace / "studies" / name / "driver.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    with open(log, "ab") as out:
        proc = subprocess.Popen(
            [sys.executable, "-m", "velmor_platform.study", "run", name, "--workspace",
             str(workspace)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            start_new_session=True, env=dict(os.environ),
        )  # fmt: skip
    return proc.pid
