"""A workspace's own one-node Slurm cluster: ``velmor cluster start|status|stop``.

``start`` runs a ``LocalCluster`` under the workspace's state folder
(``.velmor/cluster/slurm/``: its slurm.conf, state, spool and logs), records
what it started (each daemon's PID and start time, in
``.velmor/cluster/cluster.json``) and points the workspace's
``cluster.toml`` at it (``[slurm]`` ``slurm_conf`` and ``partition``; other
settings are kept, comments are not). ``stop`` cancels the cluster's jobs,
ends exactly the daemons the record names (each only while it is still the
process that was started), and puts back the ``cluster.toml`` that was
there before (or removes the one ``start`` wrote) unless it was changed
since. One ``start`` or ``stop`` at a time per workspace.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import shutil
import tomllib
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from ..config import CONFIG_FILE, ClusterConfig
from ..errors import StudyError
from .daemons import PARTITION, LocalCluster

RECORD = "cluster.json"


def _folder(workspace: Path) -> Path:
    from ...core.layer_io import _real_directory, state_dir

    return _real_directory(state_dir(workspace) / "cluster")


@contextlib.contextmanager
def _locked(workspace: Path) -> Iterator[Path]:
    folder = _folder(workspace)
    with open(folder / "lock", "a+b") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield folder


def _read_record(folder: Path) -> dict[str, Any] | None:
    try:
        record = json.loads((folder / RECORD).read_text(encoding="utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise StudyError("invalid", f"{folder / RECORD}: cannot read it: {exc}") from None
    return record if isinstance(record, dict) else None


def _write(path: Path, text: str) -> None:
    from ...core.layer_io import atomic_write_bytes

    atomic_write_bytes(path, text.encode())


def _toml_text(workspace: Path) -> str | None:
    try:
        return (workspace / CONFIG_FILE).read_text(encoding="utf-8")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as exc:
        raise StudyError("invalid", f"{workspace / CONFIG_FILE}: cannot read it: {exc}") from None


def _pointed_at(text: str | None, conf: str) -> str:
    """``cluster.toml``'s text with its Slurm settings pointing at ``conf``."""
    import tomli_w

    try:
        data = tomllib.loads(text or "")
    except tomllib.TOMLDecodeError as exc:
        raise StudyError("invalid", f"{CONFIG_FILE}: cannot read it: {exc}") from None
    slurm = data.setdefault("slurm", {})
    if not isinstance(slurm, dict):
        raise StudyError("invalid", f"{CONFIG_FILE}: slurm is not a table")
    slurm.update(slurm_conf=conf, partition=PARTITION)
    ClusterConfig(**data)  # what load_config will accept
    head = "# [slurm] points at the one-node cluster of 'velmor cluster start'\n"
    return head + tomli_w.dumps(data)


def _restore(folder: Path, record: dict[str, Any]) -> LocalCluster:
    """The recorded cluster; its folder is always the workspace's own."""
    return LocalCluster.restore({**record, "root": str(folder / "slurm")})


def status(workspace: Path) -> dict[str, Any]:
    """Whether the workspace's cluster runs: each daemon, the node's state,
    and whether ``cluster.toml`` points at it."""
    folder = _folder(workspace)
    record = _read_record(folder)
    if record is None:
        return {"running": False, "started": False, "daemons": {}}
    cluster = _restore(folder, record)
    running = cluster.running()
    up = bool(running) and all(running.values())
    text = _toml_text(workspace) or ""
    return {
        "running": up,
        "started": True,
        "daemons": {n: {"pid": cluster.pids[n], "running": r} for n, r in running.items()},
        "slurm_conf": str(cluster.conf),
        "partition": record.get("partition", PARTITION),
        "node": cluster.node,
        "node_state": cluster.node_state() if up else None,
        "configured": tomllib.loads(text).get("slurm", {}).get("slurm_conf") == str(cluster.conf)
        if text
        else False,
        "logs": str(cluster.root / "log"),
    }


def start(workspace: Path) -> dict[str, Any]:
    """Start the workspace's cluster (or find it running) and point
    ``cluster.toml`` at it; its status, with ``already`` when it ran."""
    with _locked(workspace) as folder:
        record = _read_record(folder)
        if record is not None:
            old = _restore(folder, record)
            if old.running() and all(old.running().values()):
                return {**status(workspace), "already": True}
            old.stop()  # what is left of a cluster that died
            (folder / RECORD).unlink(missing_ok=True)
        previous = _toml_text(workspace)
        cluster = LocalCluster(folder / "slurm")
        shutil.rmtree(cluster.root / "state", ignore_errors=True)  # no jobs of a former run
        new_text = None
        cluster.start()
        try:
            new_text = _pointed_at(previous, str(cluster.conf))
            saved = {**cluster.record(), "previous_toml": previous, "written_toml": new_text}
            _write(folder / RECORD, json.dumps(saved, indent=1))
            _write(workspace / CONFIG_FILE, new_text)
        except BaseException:
            cluster.stop()
            (folder / RECORD).unlink(missing_ok=True)
            raise
    return {**status(workspace), "already": False}


def stop(workspace: Path) -> dict[str, Any]:
    """Stop what ``start`` started and put ``cluster.toml`` back."""
    with _locked(workspace) as folder:
        record = _read_record(folder)
        if record is None:
            return {"stopped": [], "cluster_toml": "unchanged", "started": False}
        cluster = _restore(folder, record)
        ended = cluster.stop()
        now = _toml_text(workspace)
        previous = record.get("previous_toml")
        if now != record.get("written_toml"):
            toml = "left as it is (changed since the cluster started)"
        elif previous is None:
            (workspace / CONFIG_FILE).unlink(missing_ok=True)
            toml = "removed (there was none before)"
        else:
            _write(workspace / CONFIG_FILE, str(previous))
            toml = "restored to what it was before"
        (folder / RECORD).unlink(missing_ok=True)
        for sub in ("state", "spool"):
            shutil.rmtree(cluster.root / sub, ignore_errors=True)
    return {"stopped": ended, "cluster_toml": toml, "started": True}
