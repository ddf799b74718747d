"""The ``velmor`` command's parser: the shared options, the factories that
command modules build their parsers with (``add_command``, ``add_group``),
and the argument types that apply the value rules (``velmor_platform.rules``).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NoReturn

from .. import rules
from . import render
from .outcome import EXIT_USAGE, Outcome

if TYPE_CHECKING:
    from ..services.simulation import RunOptions

    Subparsers = argparse._SubParsersAction[Any]
else:
    Subparsers = argparse._SubParsersAction

PROG = "velmor"
PRODUCT_HELP = "product identifier (sedan:base, hatch) or path of a product's .usda/.usdc file"
WORKSPACE_HELP = (
    "use the workspace in DIR (else $VELMOR_WORKSPACE, else the enclosing workspace, "
    "else the per-user one)"
)
_HELP_FORMAT = argparse.RawDescriptionHelpFormatter


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line on stderr, exit status 2, with a
    "did you mean" for a mistyped command or option."""

    def error(self, message: str) -> NoReturn:
        self.exit(
            EXIT_USAGE,
            f"{self.prog}: error: {render.clean(message)}{_suggestion(message, self)} "
            f"(see '{self.prog} --help')\n",
        )


def _suggestion(message: str, parser: argparse.ArgumentParser) -> str:
    import difflib
    import re

    choice = re.search(r"invalid choice: '([^']*)' \(choose from (.*)\)", message)
    if choice:
        wrong, known = choice.group(1), re.findall(r"'([^']*)'", choice.group(2))
    else:
        unknown = re.search(r"unrecognized arguments: (\S+)", message)
        if not unknown:
            return ""
        wrong, known = unknown.group(1).split("=")[0], all_options(parser)
    close = difflib.get_close_matches(wrong, known, n=1, cutoff=0.6)
    return f"; did you mean '{close[0]}'?" if close else ""


def subparsers_of(parser: argparse.ArgumentParser) -> Subparsers | None:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action
    return None


def all_options(parser: argparse.ArgumentParser) -> list[str]:
    """Every long option of ``parser`` and its sub-commands."""
    found: set[str] = set()

    def walk(parser: argparse.ArgumentParser) -> None:
        for action in parser._actions:
            found.update(o for o in action.option_strings if o.startswith("--"))
            if isinstance(action, argparse._SubParsersAction):
                for sub in action.choices.values():
                    walk(sub)

    walk(parser)
    return sorted(found)


def examples(*lines: str) -> str:
    return "examples:\n" + "\n".join("  " + line for line in lines)


def _common() -> argparse.ArgumentParser:
    # --json, --workspace and --debug work before or after the command; the
    # copies on the sub-commands default to SUPPRESS so they never undo the
    # global ones.
    common = Parser(add_help=False)
    common.add_argument(
        "--json", action="store_true", default=argparse.SUPPRESS, help="print the result as JSON"
    )
    common.add_argument(
        "--workspace", metavar="DIR", default=argparse.SUPPRESS, help=WORKSPACE_HELP
    )
    common.add_argument(
        "--debug",
        action="store_true",
        default=argparse.SUPPRESS,
        help="on failure, also print the full traceback",
    )
    return common


def add_command(
    commands: Subparsers,
    name: str,
    help: str,
    func: Callable[[argparse.Namespace], Outcome],
    example_lines: Sequence[str],
    description: str | None = None,
) -> argparse.ArgumentParser:
    """A sub-command ``name`` run by ``func``, with the shared options."""
    p: argparse.ArgumentParser = commands.add_parser(
        name,
        help=help,
        description=description or help,
        parents=[_common()],
        formatter_class=_HELP_FORMAT,
        epilog=examples(*example_lines),
    )
    p.set_defaults(func=func)
    return p


def add_group(
    commands: Subparsers, name: str, help: str, description: str, example_lines: Sequence[str]
) -> Subparsers:
    """A command made of actions (``solver set``): the sub-parsers of its actions."""
    group = commands.add_parser(
        name,
        help=help,
        parents=[_common()],
        formatter_class=_HELP_FORMAT,
        description=description,
        epilog=examples(*example_lines),
    )
    actions: Subparsers = group.add_subparsers(
        dest=f"{name}_command", metavar="ACTION", required=True
    )
    return actions


# ------------------------------------------------------------ value types


def _typed(check: Callable[[str], Any]) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            return check(text)
        except rules.RuleError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


def coefficient(key: str) -> Callable[[str], float]:
    """An argparse type applying the value rules for coefficient ``key``."""
    return _typed(lambda text: rules.parse(key, text))


def count(key: str) -> Callable[[str], int]:
    """An argparse type for a whole-number run setting (ranks, iterations)."""
    return _typed(lambda text: rules.parse_count(key, text))


speed = _typed(rules.parse_speed)
yaw = _typed(rules.parse_yaw)


def allow_implausible_option(p: argparse.ArgumentParser) -> None:
    """``--allow-implausible``: let a deliberate value outside the plausible
    range of a road vehicle through (see ``rules.PLAUSIBLE``)."""
    p.add_argument(
        rules.ALLOW_FLAG,
        dest="allow_implausible",
        action="store_true",
        help=(
            f"accept a value a road vehicle hardly has (a speed above {rules.PLAUSIBLE_SPEED:g} "
            "m/s, a cd above 1.5, ...) instead of taking it for a typo"
        ),
    )


def check_plausible(args: argparse.Namespace, keys: tuple[str, ...]) -> None:
    """Refuse (usage error) an implausible value of ``keys`` unless the
    command was given ``--allow-implausible``."""
    if getattr(args, "allow_implausible", False):
        return
    for key in keys:
        value = getattr(args, key, None)
        if value is None:
            continue
        try:
            if key == "speed":
                rules.check_speed(value, allow_implausible=False)
            else:
                rules.check(key, value, allow_implausible=False)
        except rules.RuleError as exc:
            usage_error(args, str(exc))


def case_options(p: argparse.ArgumentParser) -> None:
    """The options of an OpenFOAM case: template, level, speed, ranks, iterations."""
    p.add_argument(
        "--template",
        metavar="NAME",
        help="case template (default: the one named after the product's directory)",
    )
    p.add_argument(
        "--level", choices=rules.LEVELS, default="quick", help="mesh level (default quick)"
    )
    p.add_argument(
        "--speed",
        type=speed,
        metavar="M/S",
        help="free-stream speed in m/s (default: the template's)",
    )
    p.add_argument(
        "--ranks",
        type=count("ranks"),
        default=1,
        metavar="N",
        help="MPI ranks (default 1; more decompose the mesh)",
    )
    p.add_argument(
        "--iterations",
        type=count("iterations"),
        metavar="N",
        help="iteration cap (default: 1000 quick, 1500 standard, 2000 fine)",
    )
    p.add_argument(
        "--yaw",
        type=yaw,
        metavar="DEG",
        help="yaw angle of the wind in degrees (default 0: the half model; any other angle "
        "runs the full model in a crosswind)",
    )
    allow_implausible_option(p)


def run_options(args: argparse.Namespace) -> RunOptions:
    """The run's options from the command's: every field of ``RunOptions``
    the command has an option for (the others keep their defaults)."""
    from ..services import simulation

    names = simulation.RunOptions.model_fields
    return simulation.run_options(**{n: getattr(args, n) for n in names if hasattr(args, n)})


def usage_error(args: argparse.Namespace, message: str) -> NoReturn:
    prog = getattr(args, "_prog", PROG)
    sys.stderr.write(f"{prog}: error: {message} (see '{prog} --help')\n")
    raise SystemExit(EXIT_USAGE)
