"""The ``velmor`` command: every use case of the service layer from a terminal.

Each sub-command parses its arguments, asks ``velmor_platform.services``
for one result and renders it, as a readable table or, with ``--json``, as
the data the service returns. Results go to stdout and nothing else does;
progress and errors go to stderr. An error is one line,
``velmor: error: ...``, with exit status 1; a usage error exits with 2; an
interrupt (Ctrl-C) stops the command, writes nothing and exits with 130.

A PRODUCT argument is what ``ProductCore.load`` takes: a product identifier
(``sedan:base``, ``hatch``) looked up in the workspace, or the path of a
product's top-level ``.usda``/``.usdc`` file.

Layout: ``parser`` (shared options and factories), ``outcome`` (what a
command returns, exit statuses), ``render`` (terminal text), and
``commands/`` with one module per group of commands, listed once in
``commands.REGISTRARS``. Handlers take the parsed arguments, whose
``workspace_root`` is the chosen workspace, and return an ``Outcome``.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from . import render
from .outcome import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_STATUS, Outcome
from .parser import PROG, WORKSPACE_HELP, Parser, examples, subparsers_of

__all__ = ["PROG", "Outcome", "build_parser", "main"]


class _Version(argparse.Action):
    """--version, looking the version up only when asked (it costs an import)."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from .. import __version__

        sys.stdout.write(f"{PROG} {__version__}\n")
        parser.exit(0)


def build_parser() -> argparse.ArgumentParser:
    from .commands import REGISTRARS

    parser = Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Work with vehicle-design products stored as OpenUSD files.\n\n"
            "PRODUCT is a product identifier such as sedan:base or hatch, looked up in the\n"
            "workspace, or the path of a product's top-level .usda/.usdc file. The workspace is,\n"
            "in this order: --workspace DIR; $VELMOR_WORKSPACE; the nearest directory at or above\n"
            "the current one that is a workspace (made by 'velmor init'); the per-user workspace\n"
            "(~/.local/share/velmor/workspace on Linux, seeded from the bundled sample on first\n"
            "use)."
        ),
        epilog=examples(
            f"{PROG} products",
            f"{PROG} show sedan:base",
            f"{PROG} range sedan:sport --cd 0.25",
            f"{PROG} --json history hatch",
            f"{PROG} init ./my-workspace && cd my-workspace && {PROG} products",
        ),
    )
    parser.add_argument("--version", action=_Version, help="show the version and exit")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--workspace", metavar="DIR", help=WORKSPACE_HELP)
    parser.add_argument(
        "--debug", action="store_true", help="on failure, also print the full traceback"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for register in REGISTRARS:
        register(commands)
    return parser


# ------------------------------------------------------------------------ main


def _choose_workspace(args: argparse.Namespace) -> None:
    from ..services.errors import UserError
    from ..services.workspaces import choose

    needed = getattr(args, "needs_workspace", True)
    args.workspace_root = None
    try:
        chosen = choose(args.workspace, os.environ, os.getcwd(), create_user=needed)
    except UserError as exc:
        if needed:
            raise
        args.workspace_error = exc.message
        return
    args.workspace_root, args.workspace_source = chosen.root, chosen.how


def _write(stream: Any, lines: Sequence[str]) -> None:
    stream.write("".join(render.clean(line) + "\n" for line in lines))


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmor`` command; returns the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{PROG}: interrupted\n")
        return EXIT_INTERRUPTED


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if args.command is None:
        commands = subparsers_of(parser)
        parser.error("a command is required: " + ", ".join(commands.choices if commands else ()))
    args._prog = f"{PROG} {args.command}"
    args.parser = parser  # for the commands that describe the command line itself
    for group in ("solver_command", "targets_command"):
        if getattr(args, group, None):
            args._prog += f" {getattr(args, group)}"
    from ..services.errors import UserError, describe

    try:
        _choose_workspace(args)
        outcome = _run(args)
        if args.json:
            render.dump_json(outcome.data)
        else:
            _write(sys.stdout, outcome.text())
        sys.stdout.flush()
    except UserError as exc:
        return _fail(args, exc.message, exc, EXIT_STATUS[exc.kind])
    except BrokenPipeError:
        # The reader went away (velmor history x | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except Exception as exc:  # noqa: BLE001 - reported as one line
        return _fail(args, describe(exc), exc, EXIT_ERROR)
    _write(sys.stderr, [f"{PROG}: warning: {warning}" for warning in outcome.warnings])
    if outcome.note and not args.json:
        _write(sys.stderr, [outcome.note])
    return outcome.status


def _run(args: argparse.Namespace) -> Outcome:
    """The command, with the chosen workspace active for the product core."""
    if args.workspace_root is None:
        return args.func(args)  # type: ignore[no-any-return]
    from ..core.workspace import use_workspace

    with use_workspace(args.workspace_root):
        return args.func(args)  # type: ignore[no-any-return]


def _fail(args: argparse.Namespace, message: str, exc: BaseException, status: int) -> int:
    if getattr(args, "debug", False):
        import traceback

        traceback.print_exception(exc)
    _write(sys.stderr, [f"{PROG}: error: {message}"])
    return status


if __name__ == "__main__":
    sys.exit(main())
