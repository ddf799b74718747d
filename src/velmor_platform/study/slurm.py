"""Running a study's cases on a Slurm cluster: one ``sbatch`` job per case.

The job script (``velmor-job.slurm`` in the case folder) carries the
workspace's options (``cluster.toml``: partition, account, time limit,
extra ``#SBATCH`` lines, modules and set-up lines, environment) and runs
the case's own Allrun with the environment OpenFOAM and Open MPI need (see
``executors.job_body``); ``--ntasks`` is the case's ranks, since Open MPI
takes its slots from it. The cluster's file system must share the
workspace: the job runs in the case folder under the same path, and one
that cannot see it ends with a clear message and is recorded as failed.

States come from ``squeue`` while a job is known to the controller, then
from ``scontrol show job`` (``JobState`` and ``ExitCode``) and, where the
job-completion log or accounting exists, ``sacct``; the job's
``velmor-exit`` file is the last resort. Before anything else
``scontrol ping`` checks the controller: a controller that is down is one
clear line within seconds (the other commands retry for 9 s to a minute).
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path
from typing import Any

from .config import SlurmConfig
from .errors import StudyError
from .executors import (
    JOB_LOG,
    NOT_VISIBLE,
    JobState,
    job_body,
    one_line,
    read_exit,
    reset_case,
)

JOB_SCRIPT = "velmor-job.slurm"
PING_TIMEOUT = 5.0
COMMAND_TIMEOUT = 30.0
_LIVE = {
    "PENDING": "queued", "CONFIGURING": "queued", "REQUEUED": "queued", "RESV_DEL_HOLD": "queued",
    "REQUEUE_HOLD": "queued", "REQUEUE_FED": "queued", "SUSPENDED": "running",
    "RUNNING": "running", "COMPLETING": "running", "STAGE_OUT": "running", "SIGNALING": "running",
    "RESIZING": "running",
}  # fmt: skip
_ENDED = {
    "COMPLETED": "done", "FAILED": "failed", "NODE_FAIL": "failed", "BOOT_FAIL": "failed",
    "OUT_OF_MEMORY": "failed", "DEADLINE": "timeout", "TIMEOUT": "timeout",
    "CANCELLED": "cancelled", "PREEMPTED": "cancelled", "REVOKED": "cancelled",
}  # fmt: skip


class SlurmExecutor:
    name = "slurm"

    def __init__(self, config: SlurmConfig | None = None) -> None:
        self.config = config or SlurmConfig()
        self.env = dict(os.environ)
        if self.config.slurm_conf:
            self.env["SLURM_CONF"] = self.config.slurm_conf
        self._checked = False
        self.poll_s = self.config.poll_s
        #: Ranks every case is prepared and submitted with, when the site sets them.
        self.ranks_per_case = self.config.ranks_per_case

    # ---- the controller -----------------------------------------------------------------
    def _run(
        self, *argv: str, timeout: float = COMMAND_TIMEOUT
    ) -> subprocess.CompletedProcess[str]:
        try:
            return subprocess.run(
                argv, env=self.env, capture_output=True, text=True, timeout=timeout,
                stdin=subprocess.DEVNULL,
            )  # fmt: skip
        except FileNotFoundError:
            raise StudyError(
                "unavailable",
                f"Slurm's {argv[0]} is not installed here (Debian: apt-get install slurm-client)",
            ) from None
        except subprocess.TimeoutExpired:
            raise StudyError(
                "unavailable", f"{argv[0]} did not answer within {timeout:g} s"
            ) from None

    def check(self) -> str:
        """One line about the controller; ``StudyError`` (unavailable) when it is down."""
        conf = self.env.get("SLURM_CONF")
        if conf and not os.path.isfile(conf):
            raise StudyError(
                "unavailable", f"Slurm configuration {conf} (SLURM_CONF) does not exist"
            )
        if shutil.which("scontrol", path=self.env.get("PATH")) is None:
            raise StudyError(
                "unavailable", "Slurm is not installed here (scontrol not found on PATH)"
            )
        done = self._run("scontrol", "ping", timeout=PING_TIMEOUT)
        text = " ".join((done.stdout + done.stderr).split())
        if done.returncode != 0 or "is UP" not in text:
            raise StudyError(
                "unavailable", f"the Slurm controller is not responding: {text or 'no answer'}"
            )
        self._checked = True
        return text

    def _ensure(self) -> None:
        if not self._checked:
            self.check()

    # ---- executor -------------------------------------------------------------------------
    def capacity(self, ranks: int) -> int:
        return 1 << 30  # Slurm queues; it honours the cores itself

    def script(self, case: Path, ranks: int, label: str) -> str:
        """The job script of ``case``. Every value of an ``#SBATCH`` line is one
        line and one word for sbatch (double-quoted); every value of a shell
        line is quoted for the shell."""
        c = self.config
        one_line(label, "the job name")
        output = one_line(str(case), "the case folder").replace("%", "%%") + "/slurm-%j.out"
        lines = [
            "#!/bin/bash",
            f"# velmor study job: {label}",
            f"#SBATCH --job-name={_word('velmor-' + label[:60])}",
            f"#SBATCH --ntasks={int(ranks)}",
            "#SBATCH --cpus-per-task=1",
            f"#SBATCH --output={_word(output)}",
        ]
        for option, value in (
            ("partition", c.partition), ("account", c.account), ("time", c.time_limit)
        ):  # fmt: skip
            if value:
                lines.append(f"#SBATCH --{option}={_word(one_line(value, option))}")
        lines += [f"#SBATCH {one_line(extra, 'extra_sbatch')}" for extra in c.extra_sbatch]
        setup = [f"module load {_quote(m)}" for m in c.modules]
        setup += list(c.setup)
        setup += [f"export {k}={_quote(v)}" for k, v in c.env.items()]
        return "\n".join(lines) + "\n" + job_body(case, setup)

    def submit(self, case: Path, ranks: int, label: str) -> str:
        self._ensure()
        path = case / JOB_SCRIPT
        path.write_text(self.script(case, ranks, label))
        path.chmod(0o755)
        reset_case(case)
        done = self._run("sbatch", "--parsable", f"--chdir={case}", str(path))
        if done.returncode != 0:
            raise StudyError(
                "unavailable", f"sbatch refused {case.name}: {' '.join(done.stderr.split())}"
            )
        return done.stdout.strip().split(";")[0]

    def poll(self, jobs: dict[str, Path]) -> dict[str, JobState]:
        if not jobs:
            return {}
        self._ensure()
        out: dict[str, JobState] = {}
        done = self._run("squeue", "-h", "-o", "%i %T", "-j", ",".join(jobs))
        if done.returncode != 0 and "Invalid job id" not in done.stderr:
            # Not a job the controller forgot: is the controller gone? Then stop
            # here (one line) rather than judge running jobs as lost.
            self.check()
            raise StudyError("unavailable", f"squeue failed: {' '.join(done.stderr.split())}")
        if done.returncode == 0:
            for line in done.stdout.splitlines():
                parts = line.split()
                if len(parts) == 2 and parts[0] in jobs and parts[1] in _LIVE:
                    out[parts[0]] = JobState(_LIVE[parts[1]])
        for handle, case in jobs.items():
            if handle not in out:
                out[handle] = self._ended(handle, case)
        return out

    def _ended(self, handle: str, case: Path) -> JobState:
        state, code = self._scontrol(handle)
        if state is None:
            state, code = self._sacct(handle)
        exit_file = read_exit(case)
        log = str(case / f"slurm-{handle}.out")
        if state is None:
            if exit_file is None:
                return JobState("lost", message=f"Slurm no longer knows job {handle}", log=log)
            return JobState("done" if exit_file == 0 else "failed", exit_file, log=log)
        if state in _LIVE:
            return JobState(_LIVE[state])
        kind = _ENDED.get(state, "failed")
        if code is None:
            code = exit_file
        message = ""
        if code == NOT_VISIBLE:
            message = (
                f"the job could not see the case folder {case}: the cluster must share "
                "the workspace's file system"
            )
        elif kind == "timeout":
            message = f"Slurm job {handle} reached its time limit"
        elif kind == "cancelled":
            message = f"Slurm job {handle} was cancelled"
        elif kind == "failed" and state != "FAILED":
            message = f"Slurm job {handle} ended {state}"
        return JobState(kind, code, message, log if kind != "done" else str(case / JOB_LOG))

    def _scontrol(self, handle: str) -> tuple[str | None, int | None]:
        done = self._run("scontrol", "show", "job", "-o", handle)
        if done.returncode != 0:
            return None, None
        fields = dict(w.split("=", 1) for w in done.stdout.split() if "=" in w)
        state = fields.get("JobState")
        code = fields.get("ExitCode", "").split(":")[0]
        return state, int(code) if code.isdigit() else None

    def _sacct(self, handle: str) -> tuple[str | None, int | None]:
        if shutil.which("sacct", path=self.env.get("PATH")) is None:
            return None, None
        done = self._run("sacct", "-c", "-j", handle, "-n", "-P", "-o", "state,exitcode")
        lines = [ln for ln in done.stdout.splitlines() if ln.strip()]
        if done.returncode != 0 or not lines:
            return None, None
        state, _, code = lines[0].partition("|")
        number = code.split(":")[0]
        return state.split()[0], int(number) if number.isdigit() else None

    def cancel(self, handle: str) -> None:
        self._ensure()
        self._run("scancel", handle)


def _quote(value: str) -> str:
    import shlex

    return shlex.quote(one_line(value, "the value"))


def _word(value: str) -> str:
    """``value`` as one argument of an ``#SBATCH`` line: sbatch reads a
    double-quoted word with backslash escapes, spaces and all."""
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def describe(workspace: Path) -> dict[str, Any] | None:
    """The workspace's Slurm set-up for ``doctor``: None when ``cluster.toml``
    configures no Slurm, else what is configured, whether the controller
    answers and the partitions it offers."""
    from .config import load_config

    config = load_config(workspace).slurm
    if config is None:
        return None
    executor = SlurmExecutor(config)
    report: dict[str, Any] = {
        "configured": config.model_dump(exclude_defaults=True),
        "slurm_conf": executor.env.get("SLURM_CONF") or "Slurm's default (/etc/slurm/slurm.conf)",
    }
    try:
        report["controller"] = executor.check()
        report["ok"] = True
    except StudyError as exc:
        report["controller"] = exc.message
        report["ok"] = False
        return report
    done = executor._run("sinfo", "-h", "-o", "%P %a %D %t %c")
    report["partitions"] = [
        dict(zip(("partition", "state", "nodes", "node_state", "cpus"), line.split(), strict=False))
        for line in done.stdout.splitlines()
        if line.strip()
    ]
    if config.partition and not any(
        p["partition"].rstrip("*") == config.partition for p in report["partitions"]
    ):
        report["ok"] = False
        report["problem"] = f"partition {config.partition!r} is not offered by the cluster"
    return report
