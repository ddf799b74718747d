"""Reading products: ``products``, ``show``, ``history``, ``diff``, ``range``, ``export``."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import render
from ..outcome import Outcome, workspace
from ..parser import PRODUCT_HELP, PROG, Subparsers, add_command, coefficient

if TYPE_CHECKING:
    from ...services.products import History, RangeEstimate

unit = render.unit
run_results = render.run_results


def register_products(commands: Subparsers) -> None:
    add_command(
        commands,
        "products",
        "list the workspace's products",
        cmd_products,
        [f"{PROG} products", f"{PROG} --workspace ./ws products --json"],
    )


def cmd_products(args: argparse.Namespace) -> Outcome:
    from ...services import products

    ws = workspace(args)
    assert ws is not None  # products needs a workspace: main chose one
    listing = products.list_products(ws)
    root, entries = listing.root, listing.entries

    def text() -> list[str]:
        g = render.glyphs()
        if not entries:
            return [f"no products in {root / 'products'}"]
        rows = []
        for e in entries:
            try:
                shown = Path(e["path"]).relative_to(root)
            except ValueError:
                shown = e["path"]
            name = e["name"] if "error" not in e else "(unreadable, see below)"
            rows.append([e["id"], render.fmt(name, g), str(shown)])
        return [*render.table(["PRODUCT", "NAME", "FILE"], rows), "", f"workspace: {root}"]

    return Outcome(entries, text, warnings=listing.warnings)


def register_show(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "show",
        "show a product: specification, targets, benchmarks, latest results",
        cmd_show,
        [f"{PROG} show sedan:base", f"{PROG} show ./products/hatch/hatch.usda --json"],
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)


def cmd_show(args: argparse.Namespace) -> Outcome:
    from ...services import products

    shown = products.show(args.product, workspace(args))
    data = shown.data

    def text() -> list[str]:
        g = render.glyphs()
        banner = data["metadata"]
        lines = [f"{banner['product']} ({banner['product_id']})", str(data["usd_path"]), ""]
        spec_pairs = [
            (k, f"{render.fmt(v, g)} {unit(k, g)}".rstrip())
            for k, v, _ in products.spec_items(data)
        ]
        spec_pairs.append(("dynamics capable", render.fmt(data["has_dynamics"], g)))
        lines += ["Specification", *render.key_values(spec_pairs), ""]
        rows = [
            [
                r["key"],
                render.fmt(r["target"], g) + (" (default)" if r["default"] else ""),
                g["pm"] + render.fmt(r["tol"], g) if r["tol"] is not None else render.fmt(None, g),
                render.fmt(r["benchmark"], g),
                render.fmt(r["current"], g),
                _band(r, g),
                render.fmt_signed(r["delta"], g),
                r["check"],
                unit(r["key"], g),
            ]
            for r in products.result_rows(data)
        ]
        lines.append("Targets, benchmarks and latest results")
        lines += render.table(
            ["KEY", "TARGET", "TOL", "BENCHMARK", "CURRENT", "BAND", "CUR-TGT", "CHECK", "UNIT"],
            rows,
            right=(1, 2, 3, 4, 5, 6),
            indent="  ",
        )
        run = data.get("current_run")
        if run:
            lines += ["", f"current run: {run.get('run_id') or run['name']} ({run['fidelity']})"]
        lines += _sweep_lines(data.get("yaw_sweep"), g)
        if data["benchmarks"].get("source"):
            lines += ["", f"benchmark source: {data['benchmarks']['source']}"]
        if data["default_targets"]:
            lines += [
                "",
                "(default): the product sets no such target; the core's fallback is shown",
            ]
        return lines

    return Outcome(data, text)


def _sweep_lines(sweep: dict[str, Any] | None, g: dict[str, str]) -> list[str]:
    """The latest yaw sweep: one row per angle (never the headline results)."""
    if not sweep:
        return []
    what = [f"study {sweep['study']}" if sweep.get("study") else "one geometry"]
    what += [f"{sweep['level']} level"] if sweep.get("level") else []
    what += [_unit(sweep.get("speed"), " m/s", g)] if render.is_number(sweep.get("speed")) else []
    rows = [
        [
            _unit(p["yaw_deg"], g["deg"], g),
            render.fmt(p.get("cd"), g),
            g["pm"] + render.fmt(p["cd_band"], g) if "cd_band" in p else render.fmt(None, g),
            render.fmt(p.get("cl"), g),
            render.fmt(p.get("cs"), g),
            render.fmt(p.get("converged"), g),
            str(p.get("run_id") or p.get("name", "")),
        ]
        for p in sweep["points"]
    ]
    return [
        "",
        f"Latest yaw sweep ({', '.join(what)}; not the headline results)",
        *render.table(
            ["YAW", "CD", "BAND", "CL", "CS", "CONV", "RUN"],
            rows,
            right=(0, 1, 2, 3, 4),
            indent="  ",
        ),
    ]


def _band(row: dict[str, Any], g: dict[str, str]) -> str:
    """A result's half band, ``no band`` for one recorded without."""
    if row["band"] is not None:
        return g["pm"] + render.fmt(row["band"], g)
    return "no band" if row["no_band"] else ""


def register_history(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "history",
        "list a product's simulation runs and how cd moved over them",
        cmd_history,
        [f"{PROG} history sedan:sport", f"{PROG} history hatch --json"],
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)


def cmd_history(args: argparse.Namespace) -> Outcome:
    from ...services import products

    found = products.history(args.product, workspace(args))
    runs = found.runs

    def text() -> list[str]:
        g = render.glyphs()
        count = len(runs)
        lines = [f"{found.heading}: {count} run{'s' if count != 1 else ''}"]
        if not runs:
            return lines
        rows = []
        for run in runs:
            solver = " ".join(str(x) for x in (run.get("solver"), run.get("solver_version")) if x)
            marks = products.run_marks(run)
            aero = run.get("domain") == "aerodynamics"
            band = marks["band"]
            rows.append(
                [
                    str(run.get("run_id") or run.get("name", ""))
                    + (" *" if run.get("name") == found.current else ""),
                    render.fmt_timestamp(run.get("timestamp"), g)[:10],
                    render.fmt(run.get("domain"), g),
                    solver or render.fmt(None, g),
                    render.fmt(run.get("status", "completed"), g),
                    _unit(marks["speed"], " m/s", g),
                    _unit(marks["yaw"], g["deg"], g),
                    render.fmt(marks["level"], g),
                    render.fmt_count(marks["cells"], g),
                    render.fmt(marks["converged"], g),
                    (g["pm"] + render.fmt(band, g))
                    if band is not None
                    else ("no band" if aero and "cd" in run else render.fmt(None, g)),
                    render.fmt_duration(run.get("wall_time_s"), g),
                    run_results(run, g),
                ]
            )
        lines += [
            "",
            *render.table(
                [
                    "RUN",
                    "DATE",
                    "DOMAIN",
                    "SOLVER",
                    "STATUS",
                    "SPEED",
                    "YAW",
                    "LEVEL",
                    "CELLS",
                    "CONV",
                    "BAND",
                    "WALL",
                    "RESULTS",
                ],
                rows,
                right=(5, 6, 8, 10, 11),
            ),
        ]
        if found.current:
            lines.append(
                "* the current aerodynamic result (velmor current PRODUCT RUN chooses another)"
            )
        return lines + _cd_chart(found, g)

    return Outcome(runs, text)


def _unit(value: Any, suffix: str, g: dict[str, str]) -> str:
    return render.fmt(value, g) + suffix if render.is_number(value) else render.fmt(None, g)


def _cd_chart(found: History, g: dict[str, str]) -> list[str]:
    """A bar per run that reports cd, and a sparkline of the whole trend."""
    from ...services.products import cd_points, rounded

    points = cd_points(found.runs)
    target_cd: Any = found.targets.get("cd")
    if not points:
        return []
    values = [cd for _, cd in points]
    lo, hi = min(values), max(values)
    if render.is_number(target_cd):
        lo, hi = min(lo, target_cd), max(hi, target_cd)
    # Start the scale below the smallest value so that every bar shows.
    lo = lo - (hi - lo) * 0.5 if hi > lo else lo * 0.9
    heading = "cd by run" + (
        f" (target {render.fmt(target_cd, g)})" if render.is_number(target_cd) else ""
    )
    from ...core.checks import fidelity

    marks = {str(r.get("run_id") or r.get("name", "")): fidelity(r) for r in found.runs}
    rows: list[list[str]] = []
    previous = None
    for run_id, cd in points:
        change = render.fmt_signed(rounded(cd - previous), g) if previous is not None else ""
        rows.append(
            [
                run_id,
                render.fmt(cd, g),
                render.bar(cd, lo, hi, 24, g),
                change,
                marks.get(run_id, ""),
            ]
        )
        previous = cd
    lines = [
        "",
        heading,
        *render.table(["RUN", "CD", "", g["delta"], "FIDELITY"], rows, right=(1, 3), indent="  ")[
            1:
        ],
    ]
    first, last = render.fmt(values[0], g), render.fmt(values[-1], g)
    trend = f"trend {render.sparkline(values, g)}  {first} {g['arrow']} {last}"
    if len(values) > 1:
        trend += (
            f" ({render.fmt_signed(rounded(values[-1] - values[0]), g)} over {len(values)} runs)"
        )
    lines.append("  " + trend)
    if any(render.is_number(r.get("yaw_deg")) and r["yaw_deg"] for r in found.runs):
        lines.append("  (straight-ahead runs only: show PRODUCT lists the latest yaw sweep)")
    return lines


def register_diff(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "diff",
        "compare two products",
        cmd_diff,
        [f"{PROG} diff sedan:base sedan:sport", f"{PROG} diff sedan:base hatch --json"],
    )
    p.add_argument("a", metavar="PRODUCT_A", help=PRODUCT_HELP)
    p.add_argument("b", metavar="PRODUCT_B", help=PRODUCT_HELP)


def cmd_diff(args: argparse.Namespace) -> Outcome:
    from ...services import products

    found = products.compare(args.a, args.b, workspace(args))
    report = found.report

    def text() -> list[str]:
        g = render.glyphs()
        lines = [
            *render.table(
                ["", "", ""],
                [["A", found.a[0], str(found.a[1])], ["B", found.b[0], str(found.b[1])]],
            )[1:],
            "",
        ]
        changes = report.get("changes") or {}
        if not changes:
            return [*lines, "identical: no differences"]
        rows = [
            [
                key,
                render.fmt(c.get("a"), g),
                render.fmt(c.get("b"), g),
                render.fmt_signed(c["delta"], g) if "delta" in c else "",
                str(c.get("change", "")),
            ]
            for key, c in changes.items()
        ]
        lines += render.table(["KEY", "A", "B", "B-A", "CHANGE"], rows, right=(1, 2, 3))
        n = len(changes)
        return [*lines, "", f"{n} difference{'s' if n != 1 else ''}"]

    return Outcome(report, text)


def register_range(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "range",
        "estimate highway range and chart it against the competitors",
        cmd_range,
        [f"{PROG} range sedan:base", f"{PROG} range sedan:base --cd 0.23"],
        description=(
            "Estimate a product's highway range at a drag coefficient and chart it against the\n"
            "workspace's competitors. Without --cd the latest cd result is used, else the cd\n"
            "target."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument(
        "--cd",
        type=coefficient("cd"),
        metavar="CD",
        help="drag coefficient to estimate the range at (> 0)",
    )


def cmd_range(args: argparse.Namespace) -> Outcome:
    from ...services import products

    found = products.range_estimate(args.product, workspace(args), args.cd)
    return Outcome(found.report, lambda: _range_text(found))


def _range_text(found: RangeEstimate) -> list[str]:
    g = render.glyphs()
    report, rows = found.report, found.field_rows
    top = max((r for _, _, r, _ in rows), default=0.0)
    name_w = max(render.width(n) for n, _, _, _ in rows) + len(g["mark"]) + 3
    cd_w = max(len(render.fmt(c, g)) for _, c, _, _ in rows)
    km_w = max(len(f"{r:.1f}") for _, _, r, _ in rows)
    bar_w = max(10, render.terminal_width() - name_w - cd_w - km_w - 12)
    lines = [*render.range_summary(report, found.source, g), ""]
    for name, c, km, mine in rows:
        label = (g["mark"] + " " if mine else " " * (len(g["mark"]) + 1)) + name
        lines.append(
            f"{render.ljust(label, name_w)}cd {render.fmt(c, g).rjust(cd_w)}  "
            f"{render.bar(km, 0.0, top, bar_w, g).ljust(bar_w)}  {f'{km:.1f}'.rjust(km_w)} km"
        )
    return lines


def register_export(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "export",
        "print the path of a product's export",
        cmd_export,
        [
            f"{PROG} export sedan:base",
            f'cp "$({PROG} export hatch)" /tmp/',
            f"{PROG} export sedan:sport --format usdz --output /tmp/sport.usdz",
        ],
        description=(
            "Print the path of a product's export. The product already lives in a USD file, so\n"
            "--format usd (the default) names that file; its sublayers and geometry are other\n"
            "files beside it. --format usdz writes one self-contained USDZ package of the whole\n"
            "product (its layer stack and geometry) that opens anywhere, to --output (default\n"
            "<product>.usdz in the current folder), and prints its path."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument(
        "--format", default="usd", metavar="FORMAT", help="usd (default) or usdz (self-contained)"
    )
    p.add_argument("--output", metavar="FILE", help="with --format usdz: the package to write")


def cmd_export(args: argparse.Namespace) -> Outcome:
    from ...services import products

    if args.format == products.PACKAGE_FORMAT:
        packaged = products.package(args.product, workspace(args), args.output)
        return Outcome(packaged, lambda: [packaged["path"]])
    reply = products.export(args.product, workspace(args), args.format)
    return Outcome(reply, lambda: [reply["path"]])
