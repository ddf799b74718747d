"""A one-node Slurm cluster of Debian's ``slurm-wlm`` and ``munge`` in a folder.

Run as root without systemd: a munged of its own on its own socket,
slurmctld and slurmd on free ports, every state, spool, pid and log file
under the folder (munged's under a folder of its own in the system's
temporary directory, where the munge user can reach it). ``start()`` waits
until the node is idle; ``stop()`` cancels every job, waits for the queue to
empty and ends the three daemons by their recorded PIDs, each only while it
is the process that was started (its start time in ``/proc`` unchanged; a
daemon that has exited but is not yet reaped, state Z, counts as gone).

Clients find the cluster through ``SLURM_CONF`` (``env``). ``record()`` and
``LocalCluster.restore`` carry a running cluster from one process to the
next (``velmor cluster start`` and ``stop``); the tests use the same class.
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
from collections.abc import Callable
from pathlib import Path
from typing import Any, Self

from ..errors import StudyError

MUNGE_KEY = Path("/etc/munge/munge.key")
BINARIES = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scontrol", "scancel", "sinfo")
#: The daemons, in the order they start (and stop in reverse).
DAEMONS = ("munged", "slurmctld", "slurmd")
#: The partition of the one node.
PARTITION = "debug"
_UNSET = "velmor-munge-unset"


class ClusterUnavailable(StudyError):
    """The cluster cannot start here; the message says why."""

    def __init__(self, message: str) -> None:
        super().__init__("unavailable", message)


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def sbin(name: str) -> str | None:
    """The program ``name`` on PATH or in the system's sbin folders."""
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")


def installed() -> bool:
    """Whether Slurm's client programs are installed here."""
    return all(sbin(name) for name in ("sbatch", "squeue", "scontrol"))


def unavailable_reason() -> str | None:
    """Why a local cluster cannot start here, or None."""
    missing = [name for name in BINARIES if sbin(name) is None]
    if missing:
        return (
            f"Slurm/munge not installed ({', '.join(missing)} missing: "
            "apt-get install slurm-wlm munge)"
        )
    if os.geteuid() != 0:
        return "the local Slurm cluster runs its daemons as root; not root here"
    if not MUNGE_KEY.is_file():
        return f"{MUNGE_KEY} is missing (the munge package makes it)"
    return None


def _stat(pid: int) -> list[str] | None:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None


def start_time(pid: int) -> int | None:
    """The start time of process ``pid`` (clock ticks after boot), None when it is gone."""
    fields = _stat(pid)
    return int(fields[19]) if fields and len(fields) > 19 and fields[0] != "Z" else None


def alive(pid: int, started: int | None = None, name: str | None = None) -> bool:
    """Whether ``pid`` runs (and, given ``started`` and ``name``, is still
    the process of that program started then)."""
    now = start_time(pid)
    if now is None or (started is not None and now != started):
        return False
    if name is None:
        return True
    try:
        return Path(f"/proc/{pid}/comm").read_text().strip() == name
    except OSError:
        return False


class LocalCluster:
    def __init__(self, root: Path, name: str = "velmor") -> None:
        self.root = Path(root)
        self.name = name
        self.conf = self.root / "slurm.conf"
        self.munge_dir = Path(tempfile.gettempdir()) / _UNSET
        self.munge_socket = self.munge_dir / "munge.socket.2"
        self.node = ""
        self.pids: dict[str, int] = {}
        self.started: dict[str, int] = {}
        self.env = dict(os.environ, SLURM_CONF=str(self.conf))

    # -- carried between processes -------------------------------------------------------
    def record(self) -> dict[str, Any]:
        """What ``restore`` needs to find and stop this cluster."""
        return {
            "root": str(self.root),
            "name": self.name,
            "conf": str(self.conf),
            "node": self.node,
            "partition": PARTITION,
            "munge_dir": str(self.munge_dir),
            "pids": dict(self.pids),
            "started": dict(self.started),
        }

    @classmethod
    def restore(cls, record: dict[str, Any]) -> LocalCluster:
        cluster = cls(Path(record["root"]), str(record.get("name", "velmor")))
        cluster.munge_dir = Path(record["munge_dir"])
        cluster.munge_socket = cluster.munge_dir / "munge.socket.2"
        cluster.node = str(record.get("node", ""))
        cluster.pids = {str(k): int(v) for k, v in record.get("pids", {}).items()}
        cluster.started = {str(k): int(v) for k, v in record.get("started", {}).items()}
        return cluster

    def running(self) -> dict[str, bool]:
        """Each daemon started: whether that very process still runs."""
        return {n: alive(pid, self.started.get(n), n) for n, pid in self.pids.items()}

    # -- set-up ---------------------------------------------------------------------------
    def _write_conf(self) -> None:
        node = subprocess.run(
            [sbin("slurmd") or "slurmd", "-C"], capture_output=True, text=True, timeout=20
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
            f"""ClusterName={self.name}
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
PartitionName={PARTITION} Nodes={self.node} Default=YES MaxTime=INFINITE State=UP
"""
        )

    def _pid_from(self, name: str, path: Path, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError, ValueError):
                pid = int(path.read_text().strip())
                self.pids[name] = pid
                self.started[name] = start_time(pid) or 0
                return
            time.sleep(0.05)
        raise ClusterUnavailable(f"{path} did not appear within {timeout:g} s")

    def _wait(self, what: str, check: Callable[[], bool], timeout: float = 30.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check():
                return
            time.sleep(0.1)
        raise ClusterUnavailable(f"{what} within {timeout:g} s (logs in {self.root / 'log'})")

    def run(self, *argv: str, timeout: float = 15.0) -> subprocess.CompletedProcess[str]:
        """A Slurm client program against this cluster."""
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=timeout)

    def node_state(self) -> str:
        """The node's state as sinfo gives it (``idle``, ``alloc``, ...), or why not."""
        try:
            done = self.run("sinfo", "-h", "-N", "-o", "%t", timeout=10)
        except (subprocess.SubprocessError, OSError) as exc:
            return f"sinfo failed: {exc}"
        return done.stdout.strip() or (done.stderr.strip().splitlines() or ["no answer"])[-1]

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
        self.root.mkdir(parents=True, exist_ok=True)
        self.munge_dir = Path(tempfile.mkdtemp(prefix="velmor-munge-"))
        self.munge_socket = self.munge_dir / "munge.socket.2"
        self._write_conf()
        r = self.root
        munge_dir = self.munge_dir
        munge_dir.chmod(0o755)
        shutil.chown(munge_dir, "munge", "munge")
        try:
            subprocess.run(
                [
                    "runuser", "-u", "munge", "--", sbin("munged") or "munged", "--force",
                    f"--socket={self.munge_socket}", f"--pid-file={munge_dir}/munged.pid",
                    f"--log-file={munge_dir}/munged.log", f"--seed-file={munge_dir}/munged.seed",
                ],
                check=True, timeout=20, capture_output=True,
            )  # fmt: skip
            self._pid_from("munged", munge_dir / "munged.pid")
            subprocess.run(
                [sbin("slurmctld") or "slurmctld", "-f", str(self.conf)],
                env=self.env, check=True, timeout=20, capture_output=True,
            )  # fmt: skip
            self._pid_from("slurmctld", r / "slurmctld.pid")
            self._wait(
                "slurmctld did not answer scontrol ping",
                lambda: "UP" in self.run("scontrol", "ping").stdout,
            )
            subprocess.run(
                [sbin("slurmd") or "slurmd", "-f", str(self.conf)],
                env=self.env, check=True, timeout=20, capture_output=True,
            )  # fmt: skip
            self._pid_from("slurmd", r / "slurmd.pid")
        except subprocess.CalledProcessError as exc:
            said = (exc.stderr or b"").decode(errors="replace").strip().splitlines()
            raise ClusterUnavailable(
                f"{Path(exc.cmd[0]).name} did not start: {said[-1] if said else exc}"
                f" (logs in {self.root / 'log'})"
            ) from None
        self._wait("the node did not become idle", lambda: self.node_state() == "idle")

    def stop(self) -> list[str]:
        """Cancel every job, let the queue empty, then end the daemons this
        cluster started, by PID; returns the names of those it ended."""
        if alive(self.pids.get("slurmctld", 0), self.started.get("slurmctld"), "slurmctld"):
            with contextlib.suppress(subprocess.SubprocessError, OSError):
                self.run("scancel", "--full", "-u", "root", timeout=10)
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline:
                    if not self.run("squeue", "-h", "-o", "%i", timeout=10).stdout.strip():
                        break
                    time.sleep(0.2)
        ended = []
        for name in reversed(DAEMONS):
            pid = self.pids.pop(name, None)
            started = self.started.pop(name, None)
            if pid is None or not alive(pid, started, name):
                continue  # gone, or the number now names another process
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + 10
            while alive(pid, started) and time.monotonic() < deadline:
                time.sleep(0.05)
            if alive(pid, started):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            ended.append(name)
        own = self.munge_dir.parent == Path(tempfile.gettempdir()) and self.munge_dir.name
        if own and own.startswith("velmor-munge-") and own != _UNSET:
            shutil.rmtree(self.munge_dir, ignore_errors=True)
        return ended

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
