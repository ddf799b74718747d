"""What a command produced, and the exit statuses.

A command returns an ``Outcome``: ``data`` for ``--json``, ``text`` (built
only when needed) for people, the exit status, warnings and a note for
stderr. ``EXIT_STATUS`` maps each kind of ``UserError`` to a status, the one
place where that is decided.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ..services.loading import Workspace

EXIT_OK = 0
#: A failure reported as one line (any kind of user error, or an unexpected one).
EXIT_ERROR = 1
#: A usage error: the command line itself is wrong.
EXIT_USAGE = 2
#: Interrupted (Ctrl-C), or a run cancelled.
EXIT_INTERRUPTED = 130

#: Every kind exits 1 (the README says why they collapse); the web's HTTP statuses
#: tell the kinds apart (web.answers.HTTP_STATUS), the MCP tools answer each kind
#: as a tool error with its line (mcp.tools.TOOL_ERROR).
EXIT_STATUS: dict[str, int] = {
    "invalid": EXIT_ERROR,
    "not_found": EXIT_ERROR,
    "conflict": EXIT_ERROR,
    "unavailable": EXIT_ERROR,
}


class Outcome:
    """What a command produced: ``data`` for --json, ``text`` (built only
    when needed) for people, and the exit status. (A plain class: the
    dataclasses machinery costs every command a few milliseconds.)"""

    __slots__ = ("data", "note", "status", "text", "warnings")

    def __init__(
        self,
        data: Any,
        text: Callable[[], list[str]],
        status: int = EXIT_OK,
        warnings: list[str] | None = None,
        note: str | None = None,  # a hint for people, on stderr, not with --json
    ) -> None:
        self.data = data
        self.text = text
        self.status = status
        self.warnings = warnings if warnings is not None else []
        self.note = note

    def __repr__(self) -> str:
        return f"Outcome(status={self.status}, data={self.data!r})"


def workspace(args: argparse.Namespace) -> Workspace | None:
    """The workspace ``main`` chose for this command (None when none could be)."""
    from ..services.loading import Workspace

    root = getattr(args, "workspace_root", None)
    return Workspace(root, getattr(args, "workspace_source", "")) if root is not None else None


def case_commands(identifier: str, case: Path) -> dict[str, str]:
    """The shell commands that run a prepared case by hand, submit it to
    Slurm and record its result, every word quoted for a POSIX shell."""
    import shlex

    folder = shlex.quote(str(case))
    return {
        "run": shlex.quote(str(case / "Allrun")),
        "slurm": f"cd {folder} && sbatch job.slurm",
        "record": shlex.join(["velmor", "record-cfd", identifier, str(case)]),
    }


def case_hint(identifier: str, case: Path) -> str:
    """How to run a prepared case by hand and record its result."""
    commands = case_commands(identifier, case)
    return (
        f"run it by hand with: {commands['run']}  (on a Slurm cluster: {commands['slurm']}); "
        f"then record the result with: {commands['record']}"
    )


def quiet_sdk_logs(args: argparse.Namespace) -> None:
    """Keep the MCP SDK's and asyncio's log lines off the terminal (unless --debug).

    The SDK logs a traceback per unreadable line a server writes, and asyncio
    a line for a server process reaped after its loop closed; the reason
    reaches the user once, in the command's message. Called by the commands
    that talk to a server, so the others do not pay for importing logging.
    """
    if getattr(args, "debug", False):
        return
    import logging

    for name in ("mcp", "asyncio"):
        logging.getLogger(name).addHandler(logging.NullHandler())
        logging.getLogger(name).propagate = False
