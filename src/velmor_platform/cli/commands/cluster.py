"""The workspace's one-node Slurm cluster: ``cluster start|status|stop``."""

from __future__ import annotations

import argparse
from typing import Any

from .. import render
from ..outcome import EXIT_ERROR, Outcome, workspace
from ..parser import PROG, Subparsers, add_command, add_group


def register_cluster(commands: Subparsers) -> None:
    actions = add_group(
        commands,
        "cluster",
        "a one-node Slurm cluster on this machine for the workspace's studies",
        (
            "Start Debian's Slurm (slurm-wlm) and munge as a one-node cluster for this\n"
            "workspace: its files live in <workspace>/.velmor/cluster/, cluster.toml is pointed\n"
            "at it (so 'study run --executor slurm' uses it), and stop ends exactly the daemons\n"
            "start started (by their recorded PIDs) and puts cluster.toml back. Needs root and\n"
            "the packages slurm-wlm and munge. The tests start their cluster with the same code."
        ),
        [f"{PROG} cluster start", f"{PROG} cluster status", f"{PROG} cluster stop"],
    )
    add_command(actions, "start", "start the cluster and point cluster.toml at it",
                cmd_cluster_start, [f"{PROG} cluster start"])  # fmt: skip
    add_command(actions, "status", "whether the cluster runs, and its node's state",
                cmd_cluster_status, [f"{PROG} cluster status"])  # fmt: skip
    add_command(actions, "stop", "stop what start started and put cluster.toml back",
                cmd_cluster_stop, [f"{PROG} cluster stop"])  # fmt: skip


def _status_lines(found: dict[str, Any]) -> list[str]:
    g = render.glyphs()
    if not found.get("started"):
        return [f"no cluster started for this workspace (start one with '{PROG} cluster start')"]
    head = "running" if found["running"] else "not running (a daemon has ended)"
    lines = [f"cluster {head}: partition {found['partition']}, node {found['node']}"
             + (f" ({found['node_state']})" if found.get("node_state") else "")]  # fmt: skip
    daemons = [
        (name, f"pid {d['pid']}, " + ("running" if d["running"] else "gone"))
        for name, d in found["daemons"].items()
    ]
    toml = (
        "points at it"
        if found["configured"]
        else f"does not point at it {g['arrow']} '{PROG} cluster start' again"
    )
    lines += render.key_values(
        [
            *daemons,
            ("slurm.conf", str(found["slurm_conf"])),
            ("cluster.toml", toml),
            ("logs", str(found["logs"])),
        ]
    )
    return lines


def cmd_cluster_start(args: argparse.Namespace) -> Outcome:
    from ...services import cluster

    found = cluster.start(workspace(args))

    def text() -> list[str]:
        lines = _status_lines(found)
        lines[0] += " (already running)" if found.get("already") else ""
        return lines

    return Outcome(found, text,
                   note=f"studies with executor 'slurm' now run on it; '{PROG} cluster stop' "
                   "ends it")  # fmt: skip


def cmd_cluster_status(args: argparse.Namespace) -> Outcome:
    from ...services import cluster

    found = cluster.status(workspace(args))
    bad = found.get("started") and not found["running"]
    return Outcome(found, lambda: _status_lines(found), status=EXIT_ERROR if bad else 0)


def cmd_cluster_stop(args: argparse.Namespace) -> Outcome:
    from ...services import cluster

    found = cluster.stop(workspace(args))

    def text() -> list[str]:
        if not found["started"]:
            return ["no cluster was started for this workspace: nothing to stop"]
        ended = ", ".join(found["stopped"]) or "none (they had ended already)"
        return [f"cluster stopped: ended {ended}", f"cluster.toml {found['cluster_toml']}"]

    return Outcome(found, text)
