"""A real one-node Slurm cluster in a temporary folder, for tests and benchmarks.

Debian's ``slurm-wlm`` and ``munge``, run as root without systemd: a munged
of our own on its own socket, slurmctld and slurmd on free ports, every
state, spool, pid and log file under the folder. ``LocalCluster.start()``
waits until the node is idle; ``stop()`` cancels every job, waits for the
queue to empty and ends the three daemons by their recorded PIDs (a daemon
that has exited but is not yet reaped, state Z, counts as gone).

Clients find the cluster through ``SLURM_CONF`` (``cluster.env``).
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Self

MUNGE_KEY = Path("/etc/munge/munge.key")
BINARIES = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scontrol", "scancel", "sinfo")


class ClusterUnavailable(RuntimeError):
    """The cluster cannot start here; the message says why."""


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _sbin(name: str) -> str | None:
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")


def unavailable_reason() -> str | None:
    """Why a local cluster cannot start here, or None."""
    missing = [name for name in BINARIES if _sbin(name) is None]
    if missing:
        return f"Slurm/munge not installed ({', '.join(missing)} missing: apt-get install slurm-wlm munge)"
    if os.geteuid() != 0:
        return "the local Slurm cluster runs its daemons as root; not root here"
    if not MUNGE_KEY.is_file():
        return f"{MUNGE_KEY} is missing (the munge package makes it)"
    return None


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state != "Z"


class LocalCluster:
    def __init__(self, root: Path) -> None:
        self.root = root
        self.conf = root / "slurm.conf"
        # munged runs as the munge user: its folder is one of its own under the
        # system's temporary directory, reachable whatever ``root``'s parents allow.
        self.munge_dir = Path(tempfile.gettempdir()) / "velmor-munge-unset"
        self.munge_socket = self.munge_dir / "munge.socket.2"
        self.pids: dict[str, int] = {}
        self.env = dict(os.environ, SLURM_CONF=str(self.conf))

    # -- set-up ---------------------------------------------------------------------------
    def _write_conf(self) -> None:
        node = subprocess.run(
            [_sbin("slurmd") or "slurmd", "-C"], capture_output=True, text=True, timeout=20
        ).stdout.splitlines()[0]
        fields = dict(word.split("=", 1) for word in node.split() if "=" in word)
        self.node = fields["NodeName"]
        fields.pop("RealMemory", None)  # leave memory unconstrained
        node_line = " ".join(f"{k}={v}" for k, v in fields.items())
        host = socket.gethostname().split(".")[0]
        r = self.root
        for sub in ("state", "spool", "log"):
            (r / sub).mkdir(parents=True, exist_ok=True)
        self.conf.write_text(
            f"""ClusterName=velmortest
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={_free_port()}
SlurmdPort={_free_port()}
AuthType=auth/munge
AuthInfo=socket={self.munge_socket}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerParameters=batch_sched_delay=0
SchedulerType=sched/backfill
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc={r}/log/jobcomp.txt
MinJobAge=3600
MailProg=/bin/true
MpiDefault=none
ReturnToService=2
SlurmUser=root
SlurmdUser=root
StateSaveLocation={r}/state
SlurmdSpoolDir={r}/spool
SlurmctldPidFile={r}/slurmctld.pid
SlurmdPidFile={r}/slurmd.pid
SlurmctldLogFile={r}/log/slurmctld.log
SlurmdLogFile={r}/log/slurmd.log
{node_line} NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=debug Nodes={self.node} Default=YES MaxTime=INFINITE State=UP
"""
        )

    def _pid_from(self, path: Path, timeout: float = 10.0) -> int:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError, ValueError):
                return int(path.read_text().strip())
            time.sleep(0.05)
        raise ClusterUnavailable(f"{path} did not appear within {timeout:g} s")

    def _wait(self, what: str, check, timeout: float = 30.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check():
                return
            time.sleep(0.1)
        raise ClusterUnavailable(f"{what} within {timeout:g} s (logs in {self.root / 'log'})")

    def _run(self, *argv: str, timeout: float = 15.0) -> subprocess.CompletedProcess[str]:
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=timeout)

    def start(self) -> Self:
        reason = unavailable_reason()
        if reason:
            raise ClusterUnavailable(reason)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self) -> None:
        self.munge_dir = Path(tempfile.mkdtemp(prefix="velmor-munge-"))
        self.munge_socket = self.munge_dir / "munge.socket.2"
        self._write_conf()
        r = self.root
        munge_dir = self.munge_dir
        munge_dir.chmod(0o755)
        shutil.chown(munge_dir, "munge", "munge")
        subprocess.run(
            [
                "runuser", "-u", "munge", "--", _sbin("munged") or "munged", "--force",
                f"--socket={self.munge_socket}", f"--pid-file={munge_dir}/munged.pid",
                f"--log-file={munge_dir}/munged.log", f"--seed-file={munge_dir}/munged.seed",
            ],
            check=True, timeout=20, capture_output=True,
        )  # fmt: skip
        self.pids["munged"] = self._pid_from(munge_dir / "munged.pid")
        subprocess.run(
            [_sbin("slurmctld") or "slurmctld", "-f", str(self.conf)],
            env=self.env, check=True, timeout=20, capture_output=True,
        )  # fmt: skip
        self.pids["slurmctld"] = self._pid_from(r / "slurmctld.pid")
        self._wait(
            "slurmctld did not answer scontrol ping",
            lambda: "UP" in self._run("scontrol", "ping").stdout,
        )
        subprocess.run(
            [_sbin("slurmd") or "slurmd", "-f", str(self.conf)],
            env=self.env, check=True, timeout=20, capture_output=True,
        )  # fmt: skip
        self.pids["slurmd"] = self._pid_from(r / "slurmd.pid")
        self._wait(
            "the node did not become idle",
            lambda: self._run("sinfo", "-h", "-N", "-o", "%t").stdout.strip() == "idle",
        )

    def stop(self) -> None:
        """Cancel every job, let the queue empty, then end the daemons by PID."""
        if "slurmctld" in self.pids and _alive(self.pids["slurmctld"]):
            with contextlib.suppress(subprocess.SubprocessError, OSError):
                self._run("scancel", "--full", "-u", "root", timeout=10)
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline:
                    out = self._run("squeue", "-h", "-o", "%i", timeout=10).stdout.strip()
                    if not out:
                        break
                    time.sleep(0.2)
        for name in ("slurmd", "slurmctld", "munged"):
            pid = self.pids.pop(name, None)
            if pid is None:
                continue
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + 10
            while _alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            if _alive(pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        if self.munge_dir.name != "velmor-munge-unset":
            shutil.rmtree(self.munge_dir, ignore_errors=True)

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
