"""Executors: where the cases of a study run.

Every executor runs a case the same way: the case's own ``Allrun``, through
a small job script written into the case folder (``velmor-job.sh``) that
sets the environment OpenFOAM and Open MPI need (``WM_PROJECT_DIR``, running
as root), notes the start time in ``velmor-started`` and leaves Allrun's
exit status in ``velmor-exit``. The files let a later ``study run`` judge a
job that ended while no driver was watching.

An executor answers four questions: how many cases may run at once
(``capacity``), ``submit(case, ranks)`` (returns a job handle, a string),
``poll(handles)`` (the state of each) and ``cancel(handle)``.

``LocalExecutor`` runs jobs on this machine, each a detached process in a
session of its own (so Ctrl-C in the client leaves it running, and a
cancel ends every process it started): up to ``cores // ranks`` at once.
``slurm.SlurmExecutor`` submits them with ``sbatch``.
"""

from __future__ import annotations

import contextlib
import os
import shlex
import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from ..cfd.launch import open_mpi_shell, project_dir_shell
from .errors import StudyError

JOB_SCRIPT = "velmor-job.sh"
EXIT_FILE = "velmor-exit"
STARTED_FILE = "velmor-started"
JOB_LOG = "log.Allrun"
#: Exit status of a job that cannot see its case folder.
NOT_VISIBLE = 97


@dataclass
class JobState:
    state: str  # queued, running, done, failed, cancelled, timeout, lost
    exit_code: int | None = None
    message: str = ""
    log: str | None = None


class Executor(Protocol):
    name: str

    def capacity(self, ranks: int) -> int: ...
    def submit(self, case: Path, ranks: int, label: str) -> str: ...
    def poll(self, jobs: dict[str, Path]) -> dict[str, JobState]: ...
    def cancel(self, handle: str) -> None: ...


#: What ends a line for the shell, for sbatch's directive parser or for
#: Python, and NUL: none of them may reach a line of a job script.
_LINE_ENDS = frozenset("\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029\0")


def line_problem(value: str) -> str | None:
    """Why ``value`` cannot stand inside one line of a job script, or None."""
    for char in value:
        if char in _LINE_ENDS:
            return f"it holds a line break or NUL ({char!r})"
    return None


def one_line(value: str, what: str) -> str:
    """``value`` when it fits inside one line of a job script, else ``StudyError``."""
    problem = line_problem(value)
    if problem:
        raise StudyError("invalid", f"{what} {value!r} cannot go into a job script: {problem}")
    return value


def job_body(case: Path, setup: list[str] | None = None) -> str:
    """The shell lines that run ``case``'s Allrun and leave its exit status."""
    folder = shlex.quote(one_line(str(case), "the case folder"))
    for line in setup or []:
        one_line(line, "the set-up line")
    lines = [
        f"CASE={folder}",
        'cd "$CASE" 2>/dev/null && [ -f velmor-case.json ] || {',
        '  echo "velmor: the case folder $CASE is not visible on $(hostname): the cluster must '
        "share the workspace's file system\" >&2",
        f"  exit {NOT_VISIBLE}",
        "}",
        *(setup or []),
        # OpenFOAM's and Open MPI's environment, by the recipe the runner uses.
        *project_dir_shell(),
        *open_mpi_shell(),
        f"rm -f {EXIT_FILE}",
        f"date +%s.%N > {STARTED_FILE}",
        f"./Allrun > {JOB_LOG} 2>&1",
        "code=$?",
        f'echo "$code" > {EXIT_FILE}.tmp && mv -f {EXIT_FILE}.tmp {EXIT_FILE}',
        'exit "$code"',
    ]
    return "\n".join(lines) + "\n"


def read_exit(case: Path) -> int | None:
    try:
        return int((case / EXIT_FILE).read_text().strip())
    except (OSError, ValueError):
        return None


def reset_case(case: Path) -> None:
    """Forget a previous attempt's exit and start marks before a (re)submission."""
    for name in (EXIT_FILE, STARTED_FILE):
        with contextlib.suppress(FileNotFoundError):
            (case / name).unlink()


def _start_time(pid: int) -> str | None:
    """The kernel's start time of ``pid`` (clock ticks since boot), or None when
    it is gone or a zombie: with the PID it names one process for good."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    if fields[0] == "Z":
        return None
    return fields[19]


def _runs_job_script(pid: int, cases: Path) -> bool:
    """True when ``pid`` leads its own process group and runs a job script
    (``/bin/sh .../velmor-job.sh``) of a case folder under ``cases``."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            argv = f.read().split(b"\0")
        leads = os.getpgid(pid) == pid
    except (OSError, ValueError):
        return False
    if not leads or len(argv) < 2 or argv[0] != b"/bin/sh":
        return False
    script = Path(os.fsdecode(argv[1]))
    real = script.resolve()
    return script.name == JOB_SCRIPT and real.parent.is_relative_to(cases.resolve())


class LocalExecutor:
    """Cases as detached processes on this machine, ``cores // ranks`` at once.

    With ``cases`` (the template server's executor), ``cancel`` ends only a
    job this executor started or a process running a job script of a case
    folder under ``cases``: a handle is a PID and could name any process
    group of the user."""

    name = "local"

    def __init__(self, cores: int, cases: Path | None = None) -> None:
        self.cores = max(1, cores)
        self.cases = cases
        self._children: dict[int, subprocess.Popen[bytes]] = {}

    def capacity(self, ranks: int) -> int:
        return max(1, self.cores // max(1, ranks))

    def submit(self, case: Path, ranks: int, label: str) -> str:
        script = case / JOB_SCRIPT
        one_line(label, "the job name")
        script.write_text("#!/bin/sh\n# velmor study job: " + label + "\n" + job_body(case))
        script.chmod(0o755)
        reset_case(case)
        with open(case / "velmor-job.out", "wb") as out:
            proc = subprocess.Popen(
                ["/bin/sh", str(script)],
                cwd=case,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        self._children[proc.pid] = proc
        return f"{proc.pid}:{_start_time(proc.pid) or '0'}"

    def _alive(self, handle: str) -> bool:
        pid_text, _, start = handle.partition(":")
        pid = int(pid_text)
        child = self._children.get(pid)
        if child is not None:
            if child.poll() is not None:
                del self._children[pid]
                return False
            return True
        return _start_time(pid) == start

    def poll(self, jobs: dict[str, Path]) -> dict[str, JobState]:
        out = {}
        for handle, case in jobs.items():
            code = read_exit(case)
            if code is not None and not self._alive(handle):
                out[handle] = JobState("done" if code == 0 else "failed", code)
            elif self._alive(handle):
                started = (case / STARTED_FILE).exists()
                out[handle] = JobState("running" if started else "queued")
            else:
                out[handle] = JobState(
                    "lost", message="the job's process ended without an exit status"
                )
        return out

    def cancel(self, handle: str) -> None:
        pid_text, _, start = handle.partition(":")
        if not (pid_text.isdigit() and start.isdigit() and int(pid_text) > 1):
            raise StudyError("invalid", f"{handle!r} is not a job handle (PID:START)")
        pid = int(pid_text)
        if not self._alive(handle):
            return
        if (
            self.cases is not None
            and pid not in self._children
            and not _runs_job_script(pid, self.cases)
        ):
            raise StudyError(
                "invalid",
                f"job {handle} is not a case of this workspace: only the job script of a "
                f"case folder under {self.cases} is cancelled",
            )
        with contextlib.suppress(ProcessLookupError):
            os.killpg(pid, signal.SIGTERM)
        deadline = time.monotonic() + 2.0
        while self._alive(handle) and time.monotonic() < deadline:
            time.sleep(0.05)
        if self._alive(handle):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(pid, signal.SIGKILL)
        child = self._children.pop(pid, None)
        if child is not None:
            child.wait()
