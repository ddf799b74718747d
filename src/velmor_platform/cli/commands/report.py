"""``velmor report``: the pictures, plots and numbers of a simulation run."""

from __future__ import annotations

import argparse
from pathlib import Path

from ..outcome import Outcome, workspace
from ..parser import PROG, Subparsers, add_command


def register_report(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "report",
        "write the report of a simulation run (pictures, plots, forces)",
        cmd_report,
        [
            f"{PROG} report sedan-base-0004",
            f"{PROG} report sedan-sport-0005 --against sedan-base-0004",
            f"{PROG} report hatch-0003 --output ./hatch-report",
        ],
        description=(
            "Write the report of a recorded aerodynamics run as one self-contained HTML file\n"
            "(pictures embedded; it opens offline) with the PNGs beside it: the record with its\n"
            "drag band, the convergence plot, surface pressure from five sides, wall shear, the\n"
            "centre-line and wake planes, the drag accumulated along the car, the forces by\n"
            "part and the mesh quality. --against adds the pressure difference to another run\n"
            "on this run's surface and both drag curves. The pictures are made once, from the\n"
            "run's case folder, and reused. A dynamics run's report holds its record and a\n"
            "picture of lateral acceleration against steering, roll against lateral acceleration\n"
            "and the path. Prints the HTML file."
        ),
    )
    p.add_argument("run", metavar="RUN", help="run id, as 'velmor history' lists it")
    p.add_argument("--against", metavar="OTHER", help="another run id, to compare with")
    p.add_argument("--product", metavar="PRODUCT", help="look for RUN in this product only")
    p.add_argument(
        "--output",
        metavar="DIR",
        help="write report.html and its PNGs into DIR (default: beside the run's pictures, "
        "in <case>/velmor-post/)",
    )


def cmd_report(args: argparse.Namespace) -> Outcome:
    from ...services import reports

    where = workspace(args)
    found = reports.find(args.run, where, args.product)
    other = reports.find(args.against, where) if args.against else None
    made = reports.make(found, other)
    target = Path(args.output) / "report.html" if args.output else reports.default_output(made)
    html = reports.write_html(made, target)
    data = reports.numbers(made) | {"html": str(html)}
    warnings = [f"no pictures: {made.data['renderer']}"] if made.data.get("renderer") else []
    note = None
    if other is not None:
        from ...post.record import delta_rows

        shown = ", ".join(f"{label} {text}" for label, text in delta_rows(made.data))
        note = f"{found.run_id} minus {other.run_id}: {shown or 'no coefficient to compare'}"
    return Outcome(data, lambda: [str(html)], warnings=warnings, note=note)
