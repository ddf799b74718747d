"""Workspaces: ``init`` and ``doctor``."""

from __future__ import annotations

import argparse

from .. import render
from ..outcome import EXIT_ERROR, EXIT_OK, Outcome, quiet_sdk_logs, workspace
from ..parser import PROG, Subparsers, add_command


def register_init(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "init",
        "create a workspace from the bundled sample",
        cmd_init,
        [f"{PROG} init ./my-workspace", f"{PROG} --workspace ./my-workspace init"],
        description=(
            "Create a workspace from the bundled sample in DIR (default: the --workspace\n"
            "directory, "
            "else the current directory). DIR must be new or empty. Commands run inside it (or\n"
            "below it) use it without --workspace."
        ),
    )
    p.add_argument("dir", metavar="DIR", nargs="?")
    p.set_defaults(needs_workspace=False)


def cmd_init(args: argparse.Namespace) -> Outcome:
    from ...services import workspaces

    created = workspaces.init(args.dir if args.dir is not None else (args.workspace or "."))
    root = created.root
    hint = (
        f"created a workspace from the bundled sample; commands run inside it use it, "
        f"elsewhere use '{PROG} --workspace {root} ...' or 'export VELMOR_WORKSPACE={root}'"
    )
    return Outcome(created.data, lambda: [str(root)], note=hint)


def register_doctor(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "doctor",
        "check the workspace, its servers, OpenUSD and the solvers",
        cmd_doctor,
        [f"{PROG} doctor", f"{PROG} --workspace ./my-workspace doctor --json"],
        description=(
            "Check the workspace, its mcp.json, each configured MCP server (started, asked for\n"
            "its tools, timed), the OpenUSD version and the solver programs. One line per check:\n"
            "ok, or the problem and how to fix it. Exit status 1 when any check has a problem."
        ),
    )
    p.set_defaults(needs_workspace=False)


def cmd_doctor(args: argparse.Namespace) -> Outcome:
    quiet_sdk_logs(args)
    from ...services import workspaces

    checks = workspaces.doctor(workspace(args), getattr(args, "workspace_error", None))

    def text() -> list[str]:
        rows = []
        for c in checks:
            detail = c.detail + (f" ({c.seconds:.2f} s)" if c.seconds is not None else "")
            rows.append(
                ["ok" if c.ok else "problem", c.name, detail + (f"; fix: {c.fix}" if c.fix else "")]
            )
        return render.table(["", "CHECK", "RESULT"], rows)[1:]

    status = EXIT_OK if all(c.ok for c in checks) else EXIT_ERROR
    return Outcome([c.data for c in checks], text, status=status)
