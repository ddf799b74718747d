"""Changing a product: ``targets set`` and ``geometry`` (with ``--prepare-cfd``)."""

from __future__ import annotations

import argparse

from ... import rules
from .. import render
from ..outcome import EXIT_ERROR, EXIT_OK, Outcome, case_hint, workspace
from ..parser import (
    PRODUCT_HELP,
    PROG,
    Subparsers,
    add_command,
    add_group,
    allow_implausible_option,
    check_plausible,
    coefficient,
    count,
    run_options,
    speed,
    usage_error,
)


def register_targets(commands: Subparsers) -> None:
    targets = add_group(
        commands,
        "targets",
        "change a product's design-intent targets",
        description="Change a product's design-intent targets.",
        example_lines=[f"{PROG} targets set sedan:base --cd 0.24 --cl-tolerance 0.025"],
    )
    p = add_command(
        targets,
        "set",
        "write new design-intent targets into the product's top-level USD file",
        cmd_targets_set,
        [
            f"{PROG} targets set sedan:base --cd 0.24",
            f"{PROG} targets set hatch --cl 0.1 --cl-tolerance 0.02 --json",
        ],
        description=(
            "Write new design-intent targets into the product's top-level USD file, where they\n"
            "override the design-intent layer. Only targets the product declares can be written;\n"
            "a missing one is reported and the command exits with status 1. Values must be\n"
            "finite; cd must be greater than 0 and tolerances 0 or more, and each plausible for a\n"
            f"vehicle (cd 0.05 to 1.5, ...) unless {rules.ALLOW_FLAG} is given. --cd-tolerance\n"
            "writes the drag tolerance through the same locked write."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    for kw, key, option in rules.TARGETS:
        p.add_argument(
            f"--{option}",
            dest=kw,
            metavar="VALUE",
            type=coefficient(kw),
            help=f"new value of {key}",
        )
    allow_implausible_option(p)


def cmd_targets_set(args: argparse.Namespace) -> Outcome:
    from ...services import authoring

    values = {kw: getattr(args, kw) for kw, _, _ in rules.TARGETS if getattr(args, kw) is not None}
    if not values:
        options = ", ".join(f"--{option}" for _, _, option in rules.TARGETS)
        usage_error(args, f"give at least one of {options}")
    check_plausible(args, tuple(values))
    found = authoring.set_targets(
        args.product, workspace(args), values, allow_implausible=args.allow_implausible
    )

    def text() -> list[str]:
        lines = [f"{found.heading}: design-intent targets updated in {found.usd_path}"]
        return lines + render.key_values(render.change_pairs(found.changes))

    status = EXIT_ERROR if found.warnings else EXIT_OK
    return Outcome(found.reply, text, status=status, warnings=found.warnings)


def register_geometry(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "geometry",
        "check an STL file for a product (nothing is stored; see variant)",
        cmd_geometry,
        [f"{PROG} geometry sedan:base body.stl"],
        description=(
            "Check an STL file for a product: it must exist and end in .stl (any letter case).\n"
            "Nothing is stored: the file is not copied and the product's files are not changed.\n"
            "To make a product with new geometry, use 'velmor variant PARENT NAME FILE'. With\n"
            "--prepare-cfd the surface is also parsed and an OpenFOAM case is built from it."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("stl", metavar="FILE.stl")
    p.add_argument(
        "--prepare-cfd",
        action="store_true",
        help="check the STL surface and build an OpenFOAM case from it",
    )
    p.add_argument("--template", metavar="NAME", help="with --prepare-cfd: case template")
    p.add_argument(
        "--level", choices=rules.LEVELS, default="quick", help="with --prepare-cfd: mesh level"
    )
    p.add_argument("--speed", type=speed, metavar="M/S", help="with --prepare-cfd: speed in m/s")
    p.add_argument(
        "--ranks", type=count("ranks"), default=1, metavar="N", help="with --prepare-cfd: MPI ranks"
    )
    p.add_argument("--output", metavar="DIR", help="with --prepare-cfd: write the case to DIR")
    allow_implausible_option(p)


def cmd_geometry(args: argparse.Namespace) -> Outcome:
    from ...services import authoring

    if args.prepare_cfd:
        return _prepare(args)
    found = authoring.set_geometry(args.product, workspace(args), args.stl)
    reply = found.reply

    def text() -> list[str]:
        return [render.geometry_line(found.heading, reply), reply["note"]]

    return Outcome(reply, text)


def _prepare(args: argparse.Namespace) -> Outcome:
    """``geometry PRODUCT FILE --prepare-cfd``: check the STL, then build a case from it."""
    from ...services import simulation

    check_plausible(args, ("speed",))
    found, case = simulation.prepare_from_geometry(
        args.product, workspace(args), args.stl, run_options(args), output=args.output
    )
    data = dict(found.reply)
    data["case_dir"] = case.case_dir

    def text() -> list[str]:
        return [
            f"{found.heading}: geometry {found.reply['status']}: {found.reply['path']}",
            str(case.case_dir),
        ]

    return Outcome(data, text, note=case_hint(case.identifier, case.case_dir))
