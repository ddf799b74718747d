"""The ``velmor`` command: every job of the product core from a terminal.

Each sub-command loads what it needs, asks ``ProductCore`` (or the workspace
helpers) for one result and prints it, as a readable table or, with
``--json``, as the dicts the core returns. Results go to stdout and nothing
else does; progress and errors go to stderr. An error is one line,
``velmor: error: ...``, with exit status 1; a usage error exits with 2.

A PRODUCT argument is what ``ProductCore.load`` takes: a product identifier
(``sedan:base``, ``hatch``) looked up in the workspace, or the path of a
product's top-level ``.usda``/``.usdc`` file.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, NoReturn, Sequence

from . import __version__
from . import _cli_render as render
from .cfd import cli as cfd_cli

if TYPE_CHECKING:
    from .core.product_core import ProductCore

PROG = "velmor"

# Keys shared by targets, benchmarks and current results, in display order,
# with the targets key that holds each one's tolerance.
_RESULT_KEYS = ("cd", "cl", "cm_pitch", "lateral_g", "yaw_rate_dps", "roll_angle_deg")
_TOLERANCE_KEY = {"cd": "target_cd_tol", "cl": "target_cl_tol", "cm_pitch": "target_cm_tol"}
_UNITS = {
    "mass": "kg",
    "wheelbase": "m",
    "track_width": "m",
    "cg_height": "m",
    "frontal_area": "m²",
    "battery_kwh": "kWh",
    "lateral_g": "g",
    "yaw_rate_dps": "deg/s",
    "roll_angle_deg": "deg",
}
_ASCII_UNITS = {"m²": "m^2"}

# targets set: option -> (keyword of set_targets, key under which targets reports it)
_TARGET_OPTIONS = (
    ("cd", "cd", "cd"),
    ("cl", "cl", "cl"),
    ("cm-pitch", "cm_pitch", "cm_pitch"),
    ("cl-tolerance", "cl_tolerance", "target_cl_tol"),
    ("cm-tolerance", "cm_tolerance", "target_cm_tol"),
)
_USD_ATTRIBUTE = {
    "cd": "targetCd",
    "cl": "targetCl",
    "cm_pitch": "targetCmPitch",
    "cl_tolerance": "targetClTolerance",
    "cm_tolerance": "targetCmPitchTolerance",
}


class CliError(Exception):
    """A failure reported to the user as one line, with exit status 1."""


@dataclass
class Outcome:
    """What a command produced: ``data`` for --json, ``text`` (built only
    when needed) for people, and the exit status."""

    data: Any
    text: Callable[[], list[str]]
    status: int = 0
    warnings: list[str] = field(default_factory=list)
    note: str | None = None  # a hint for people, on stderr, not with --json


# --------------------------------------------------------------------- helpers


def _workspace_root() -> Path:
    from .core.workspace import workspace_root

    return workspace_root()


def _require_workspace() -> Path:
    root = _workspace_root()
    if not root.is_dir():
        raise CliError(f"workspace {root} does not exist; create it with '{PROG} init {root}'")
    if not (root / "products").is_dir():
        raise CliError(f"{root} is not a velmor workspace: it has no products/ directory")
    return root


def _looks_like_path(ref: str) -> bool:
    return os.sep in ref or (os.altsep is not None and os.altsep in ref) or ref.endswith((".usda", ".usdc"))


def load(ref: str) -> "ProductCore":
    """The product named by ``ref``, as ``ProductCore.load`` finds it."""
    from .core.product_core import ProductCore

    if _looks_like_path(ref):
        path = Path(ref)
        if not path.exists():
            raise CliError(f"no such product file: {ref}")
        if path.is_dir():
            raise CliError(f"{ref} is a directory; name the product's top-level .usda or .usdc file")
        if path.suffix not in (".usda", ".usdc"):
            raise CliError(f"{ref} is not a USD file (expected .usda or .usdc)")
    else:
        _require_workspace()
    return ProductCore.load(ref)


def _ident(product: "ProductCore") -> str:
    return product._product_identifier()


def _heading(product: "ProductCore") -> str:
    return f"{product.name} ({_ident(product)})"


def _unit(key: str, g: dict[str, str]) -> str:
    unit = _UNITS.get(key, "")
    return _ASCII_UNITS.get(unit, unit) if g is render._PLAIN else unit


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


# -------------------------------------------------------------------- commands


def cmd_products(args: argparse.Namespace) -> Outcome:
    from .core.api import list_products
    from .core.product_core import ProductCore

    root = _require_workspace()
    entries = []
    for ident, path in list_products(root / "products"):
        entry: dict[str, Any] = {"id": ident, "name": None, "path": path}
        try:
            entry["name"] = ProductCore.load(str(path)).name
        except Exception as exc:  # one unreadable product does not hide the rest
            entry["error"] = _describe(exc)
        entries.append(entry)

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
        return render.table(["PRODUCT", "NAME", "FILE"], rows) + ["", f"workspace: {root}"]

    warnings = [f"cannot read {e['id']}: {e['error']}" for e in entries if "error" in e]
    return Outcome(entries, text, warnings=warnings)


def cmd_show(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    banner = product.metadata("show")
    specs = product.specs
    targets = product.targets
    benchmarks = product.benchmarks
    current = product.current
    data = {
        "metadata": banner,
        "usd_path": product.usd_path,
        "has_dynamics": product.has_dynamics,
        "specs": specs,
        "targets": targets,
        "benchmarks": benchmarks,
        "current": current,
    }

    def text() -> list[str]:
        g = render.glyphs()
        lines = [f"{banner['product']} ({banner['product_id']})", str(product.usd_path), ""]
        skip = ("vehicle_name", "target_", "benchmark_", "current_")
        spec_pairs = [
            (k, f"{render.fmt(v, g)} {_unit(k, g)}".rstrip())
            for k, v in specs.items()
            if not k.startswith(skip)
        ]
        spec_pairs.append(("dynamics capable", render.fmt(product.has_dynamics, g)))
        lines += ["Specification"] + render.key_values(spec_pairs) + [""]

        rows = []
        for key in _RESULT_KEYS:
            if key not in targets and key not in current and key not in benchmarks:
                continue
            target: Any = targets.get(key)
            now: Any = current.get(key)
            tol_key = _TOLERANCE_KEY.get(key)
            tol = targets.get(tol_key) if tol_key else None
            delta = render.fmt_signed(_round(now - target), g) if _both(now, target) else render.fmt(None, g)
            rows.append([
                key,
                render.fmt(target, g),
                g["pm"] + render.fmt(tol, g) if tol is not None else render.fmt(None, g),
                render.fmt(benchmarks.get(key), g),
                render.fmt(now, g),
                delta,
                _gate(now, target, tol, tol_key is not None),
                _unit(key, g),
            ])
        lines.append("Targets, benchmarks and latest results")
        lines += render.table(
            ["KEY", "TARGET", "TOL", "BENCHMARK", "CURRENT", "CUR-TGT", "CHECK", "UNIT"],
            rows, right=(1, 2, 3, 4, 5), indent="  ",
        )
        if benchmarks.get("source"):
            lines += ["", f"benchmark source: {benchmarks['source']}"]
        return lines

    return Outcome(data, text)


def _both(a: Any, b: Any) -> bool:
    return render.is_number(a) and render.is_number(b)


def _round(value: float) -> float:
    # 0.249 - 0.245 reads 0.004, not 0.0040000000000000036.
    return float(f"{value:.10g}")


def _gate(now: Any, target: Any, tol: Any, has_tolerance: bool) -> str:
    """ok / off when a result can be held against a toleranced target."""
    if not has_tolerance or not _both(now, target):
        return ""
    if not render.is_number(tol):
        return "no tol"
    return "ok" if abs(now - target) <= tol + 1e-12 else "off"


def cmd_history(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    runs = product.history()
    runs = runs if runs is not None else []
    target_cd = product.targets.get("cd")

    def text() -> list[str]:
        g = render.glyphs()
        count = len(runs)
        lines = [f"{_heading(product)}: {count} run{'s' if count != 1 else ''}"]
        if not runs:
            return lines
        rows = []
        for run in runs:
            solver = " ".join(str(x) for x in (run.get("solver"), run.get("solver_version")) if x)
            rows.append([
                str(run.get("run_id") or run.get("name", "")),
                render.fmt_timestamp(run.get("timestamp"), g)[:10],
                render.fmt(run.get("domain"), g),
                solver or render.fmt(None, g),
                render.fmt(run.get("status", "completed"), g),
                render.fmt_duration(run.get("wall_time_s"), g),
                _results(run, g),
            ])
        lines += [""] + render.table(["RUN", "DATE", "DOMAIN", "SOLVER", "STATUS", "WALL", "RESULTS"],
                                     rows, right=(5,))
        return lines + _cd_chart(runs, target_cd, g)

    return Outcome(runs, text)


def _cd_chart(runs: list[dict], target_cd: Any, g: dict[str, str]) -> list[str]:
    """A bar per run that reports cd, and a sparkline of the whole trend."""
    points = [(str(r.get("run_id") or r.get("name", "")), r["cd"]) for r in runs if render.is_number(r.get("cd"))]
    if not points:
        return []
    values = [cd for _, cd in points]
    lo, hi = min(values), max(values)
    if render.is_number(target_cd):
        lo, hi = min(lo, target_cd), max(hi, target_cd)
    # Start the scale below the smallest value so that every bar shows.
    lo = lo - (hi - lo) * 0.5 if hi > lo else lo * 0.9
    heading = "cd by run" + (f" (target {render.fmt(target_cd, g)})" if render.is_number(target_cd) else "")
    rows, previous = [], None
    for run_id, cd in points:
        change = render.fmt_signed(_round(cd - previous), g) if previous is not None else ""
        rows.append([run_id, render.fmt(cd, g), render.bar(cd, lo, hi, 24, g), change])
        previous = cd
    lines = ["", heading] + render.table(["RUN", "CD", "", g["delta"]], rows, right=(1, 3), indent="  ")[1:]
    trend = f"trend {render.sparkline(values, g)}  {render.fmt(values[0], g)} {g['arrow']} {render.fmt(values[-1], g)}"
    if len(values) > 1:
        trend += f" ({render.fmt_signed(_round(values[-1] - values[0]), g)} over {len(values)} runs)"
    return lines + ["  " + trend]


def _results(run: dict, g: dict[str, str]) -> str:
    parts = []
    for key, label in (("cd", "cd"), ("cl", "cl"), ("cm_pitch", "cm"),
                       ("lateral_g", "lat"), ("yaw_rate_dps", "yaw"), ("roll_angle_deg", "roll")):
        if key in run:
            unit = _unit(key, g)
            parts.append(f"{label} {render.fmt(run[key], g)}{(' ' + unit) if unit else ''}")
    return "  ".join(parts) or render.fmt(None, g)


def cmd_solvers(args: argparse.Namespace) -> Outcome:
    from .core.product_core import ProductCore

    if args.domain is None:
        domains = ProductCore.solvers() or []

        def text() -> list[str]:
            g = render.glyphs()
            rows = [
                [
                    str(d.get("domain")),
                    render.fmt(d.get("status"), g),
                    render.fmt(d.get("default_solver"), g),
                    ", ".join(_solver_label(s) for s in d.get("solvers") or []) or render.fmt(None, g),
                    render.fmt(d.get("kpis"), g),
                ]
                for d in domains
            ]
            return render.table(["DOMAIN", "STATUS", "DEFAULT", "SOLVERS", "KPIS"], rows)

        return Outcome(domains, text)

    record = ProductCore.solver(args.domain)
    if record is None:
        known = ", ".join(str(d.get("domain")) for d in ProductCore.solvers() or [])
        raise CliError(f"unknown domain {args.domain!r} (known: {known}; 'aero' stands for 'aerodynamics')")

    def detail() -> list[str]:
        g = render.glyphs()
        default = record.get("default_solver")
        lines = [
            f"{record.get('domain')}: {render.fmt(record.get('status'), g)}",
            f"kpis: {render.fmt(record.get('kpis'), g)}",
            "",
        ]
        rows = [
            [
                str(s.get("name")) + (" *" if s.get("name") == default else ""),
                render.fmt(s.get("version"), g),
                render.fmt(s.get("kind"), g),
                render.fmt(s.get("description"), g),
            ]
            for s in record.get("solvers") or []
        ]
        return lines + render.table(["SOLVER", "VERSION", "KIND", "DESCRIPTION"], rows) + ["", "* default solver"]

    return Outcome(record, detail)


def _solver_label(solver: dict) -> str:
    return " ".join(str(x) for x in (solver.get("name"), solver.get("version")) if x)


def cmd_capabilities(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    with render.Spinner("asking the OpenFOAM server for its case templates"):
        report = product.capabilities()

    def text() -> list[str]:
        g = render.glyphs()
        rows = [
            [
                domain,
                render.fmt(entry.get("available"), g),
                render.fmt(entry.get("solver"), g),
                render.fmt(entry.get("version"), g),
                render.fmt(entry.get("status"), g),
                render.fmt(entry.get("solver_count"), g),
            ]
            for domain, entry in report.items()
        ]
        lines = [_heading(product), ""]
        lines += render.table(["DOMAIN", "AVAILABLE", "DEFAULT SOLVER", "VERSION", "STATUS", "SOLVERS"],
                              rows, right=(5,))
        directory = product.product_dir.name
        for domain, entry in report.items():
            if domain in ("aerodynamics", "aero") and not entry.get("available"):
                lines += ["", f"{domain}: the workspace's OpenFOAM server lists no case template named {directory!r}",
                          f"{' ' * len(domain)}  (a template is a directory templates/openfoam/<name>/)"]
                break
        if "dynamics" in report and not report["dynamics"].get("available"):
            lines += ["", "dynamics: needs a mass above 500 kg and a wheelbase"]
        return lines

    return Outcome(report, text)


def _check_domain(domain: str) -> None:
    """Refuse a domain the solver registry does not know, so that a typo is
    not silently stored as a domain of its own."""
    from .core.product_core import ProductCore

    if ProductCore.solver(domain) is None:
        known = ", ".join(str(d.get("domain")) for d in ProductCore.solvers() or [])
        raise CliError(f"unknown domain {domain!r} (known: {known}; 'aero' stands for 'aerodynamics')")


def cmd_solver_set(args: argparse.Namespace) -> Outcome:
    _check_domain(args.domain)
    product = load(args.product)
    selection = product.set_solver(args.domain, args.backend)
    backend, _ = product.resolve_dispatch_backend(domain=args.domain)
    data = dict(selection, dispatch_backend=backend)

    def text() -> list[str]:
        return [
            f"{_heading(product)}: {selection['domain']} backend set to {selection['backend']} "
            "(held in memory for this command only)",
            f"dispatch backend: {backend}",
        ]

    return Outcome(data, text)


def cmd_solver_resolve(args: argparse.Namespace) -> Outcome:
    _check_domain(args.domain)
    product = load(args.product)
    if args.backend is not None:
        product.set_solver(args.domain, args.backend)
    selected = product.get_solver_backend(args.domain)
    backend, _ = product.resolve_dispatch_backend(domain=args.domain)
    data = {"product": product.name, "domain": args.domain, "selected": selected, "dispatch_backend": backend}

    def text() -> list[str]:
        g = render.glyphs()
        how = "default" if args.backend is None else "selected"
        return [f"{_heading(product)}: {args.domain}: {how} {selected} {g['arrow']} dispatch backend {backend}"]

    return Outcome(data, text)


def cmd_targets_set(args: argparse.Namespace) -> Outcome:
    values = {kw: getattr(args, kw) for _, kw, _ in _TARGET_OPTIONS if getattr(args, kw) is not None}
    if not values:
        usage_error(args, "give at least one of --cd, --cl, --cm-pitch, --cl-tolerance, --cm-tolerance")
    product = load(args.product)
    before = product.targets
    reply = product.set_targets(**values)
    after = product.targets
    written = reply.get("targets", {})
    warnings = [
        f"{_ident(product)} has no {_USD_ATTRIBUTE[kw]} attribute; {kw} was not written"
        for kw in values if kw not in written
    ]

    def text() -> list[str]:
        g = render.glyphs()
        lines = [f"{_heading(product)}: design-intent targets updated in {product.usd_path}"]
        pairs = []
        for _, kw, key in _TARGET_OPTIONS:
            if kw in written:
                pairs.append((key, f"{render.fmt(before.get(key), g)} {g['arrow']} {render.fmt(after.get(key), g)}"))
        return lines + render.key_values(pairs)

    return Outcome(reply, text, status=1 if warnings else 0, warnings=warnings)


def cmd_geometry(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    reply = product.set_geometry(args.stl)
    if getattr(args, "prepare_cfd", False):
        return cfd_cli.geometry_prepare(args, product, reply)

    def text() -> list[str]:
        return [
            f"{_heading(product)}: geometry {reply['status']}: {reply['path']} ({reply['size_mb']:.2f} MB)",
            reply["note"],
        ]

    return Outcome(reply, text)


def cmd_diff(args: argparse.Namespace) -> Outcome:
    a, b = load(args.a), load(args.b)
    report = a.diff(b)

    def text() -> list[str]:
        g = render.glyphs()
        lines = render.table(["", "", ""], [["A", _heading(a), str(a.usd_path)],
                                            ["B", _heading(b), str(b.usd_path)]])[1:] + [""]
        changes = report.get("changes") or {}
        if not changes:
            return lines + ["identical: no differences"]
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
        return lines + ["", f"{n} difference{'s' if n != 1 else ''}"]

    return Outcome(report, text)


def cmd_range(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    cd, source = args.cd, "given"
    if cd is None:
        for source, values in (("latest result", product.current), ("design target", product.targets)):
            if render.is_number(values.get("cd")):
                cd = values["cd"]
                break
        else:
            raise CliError(f"{_ident(product)} has neither a drag result nor a drag target; give --cd")
    report = product.range_competitiveness(cd)

    def text() -> list[str]:
        g = render.glyphs()
        field = [(c["name"], c["cd"], c["range_km"], False) for c in report.get("competitors", [])]
        field.insert(report["rank"] - 1, (report["product"], report["cd"], report["range_km"], True))
        top = max((r for _, _, r, _ in field), default=0.0)
        name_w = max(len(n) for n, _, _, _ in field) + len(g["mark"]) + 3
        cd_w = max(len(render.fmt(c, g)) for _, c, _, _ in field)
        km_w = max(len(f"{r:.1f}") for _, _, r, _ in field)
        bar_w = max(10, render.terminal_width() - name_w - cd_w - km_w - 12)
        lines = [
            f"{report['product']}: highway range at {render.fmt(report['speed_kmh'], g)} km/h "
            f"with cd {render.fmt(report['cd'], g)} ({source})",
            f"{report['range_km']:.1f} km, rank {report['rank']} of {report['field_size']}",
            "",
        ]
        for name, c, km, mine in field:
            label = (g["mark"] + " " if mine else " " * (len(g["mark"]) + 1)) + name
            lines.append(
                f"{label.ljust(name_w)}cd {render.fmt(c, g).rjust(cd_w)}  "
                f"{render.bar(km, 0.0, top, bar_w, g).ljust(bar_w)}  {f'{km:.1f}'.rjust(km_w)} km"
            )
        return lines

    return Outcome(report, text)


def cmd_export(args: argparse.Namespace) -> Outcome:
    product = load(args.product)
    reply = product.export(args.format)
    return Outcome(reply, lambda: [reply["path"]])


def cmd_init(args: argparse.Namespace) -> Outcome:
    from .core.workspace import seed_workspace

    target = args.dir if args.dir is not None else (args.workspace or ".")
    root = seed_workspace(target)
    products = sorted(p.name for p in (root / "products").iterdir() if p.is_dir())
    data = {"workspace": root, "products": products}
    hint = (
        f"created a workspace from the bundled sample; use it with "
        f"'{PROG} --workspace {root} ...' or 'export VELMOR_WORKSPACE={root}'"
    )
    return Outcome(data, lambda: [str(root)], note=hint)


# ---------------------------------------------------------------------- parser


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line on stderr, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


_HELP_FORMAT = argparse.RawDescriptionHelpFormatter
_PRODUCT_HELP = "product identifier (sedan:base, hatch) or path of a product's .usda/.usdc file"


def _examples(*lines: str) -> str:
    return "examples:\n" + "\n".join("  " + line for line in lines)


def build_parser() -> argparse.ArgumentParser:
    # --json and --workspace work before or after the command; the copies on
    # the sub-commands default to SUPPRESS so they never undo the global one.
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print the result as JSON")
    common.add_argument("--workspace", metavar="DIR", default=argparse.SUPPRESS,
                        help="use the workspace in DIR for this command (overrides VELMOR_WORKSPACE)")

    parser = _Parser(
        prog=PROG,
        formatter_class=_HELP_FORMAT,
        description=(
            "Work with vehicle-design products stored as OpenUSD files.\n\n"
            "PRODUCT is a product identifier such as sedan:base or hatch, looked up in the\n"
            "workspace, or the path of a product's top-level .usda/.usdc file. The workspace\n"
            "is --workspace DIR, else $VELMOR_WORKSPACE, else ~/.local/share/velmor/workspace\n"
            "(seeded from the bundled sample on first use)."
        ),
        epilog=_examples(
            f"{PROG} products",
            f"{PROG} show sedan:base",
            f"{PROG} range sedan:sport --cd 0.25",
            f"{PROG} --json history hatch",
            f"{PROG} init ./my-workspace && {PROG} --workspace ./my-workspace products",
        ),
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--workspace", metavar="DIR",
                        help="use the workspace in DIR for this command (overrides VELMOR_WORKSPACE)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add(sub, name: str, help: str, func, examples: Sequence[str], description: str | None = None):
        p = sub.add_parser(
            name, help=help, description=description or help, parents=[common],
            formatter_class=_HELP_FORMAT, epilog=_examples(*examples),
        )
        p.set_defaults(func=func)
        return p

    add(commands, "products", "list the workspace's products", cmd_products,
        [f"{PROG} products", f"{PROG} --workspace ./ws products --json"])

    p = add(commands, "show", "show a product: specification, targets, benchmarks, latest results", cmd_show,
            [f"{PROG} show sedan:base", f"{PROG} show ./products/hatch/hatch.usda --json"])
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)

    p = add(commands, "history", "list a product's simulation runs and how cd moved over them", cmd_history,
            [f"{PROG} history sedan:sport", f"{PROG} history hatch --json"])
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)

    p = add(commands, "solvers", "list the physics domains and their solvers", cmd_solvers,
            [f"{PROG} solvers", f"{PROG} solvers aerodynamics", f"{PROG} solvers dynamics --json"])
    p.add_argument("domain", metavar="DOMAIN", nargs="?",
                   help="show one domain's solvers (aerodynamics, aero or dynamics)")

    p = add(commands, "capabilities", "report which physics domains can run on a product", cmd_capabilities,
            [f"{PROG} capabilities sedan:base", f"{PROG} capabilities sedan:sport --json"],
            description=(
                "Report which physics domains can run on a product, against each domain's default\n"
                "solver. Aerodynamics is available when the workspace's OpenFOAM MCP server lists a\n"
                "case template named after the product's directory; dynamics when the product has\n"
                "a mass above 500 kg and a wheelbase. Asking the server takes a moment."
            ))
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)

    solver = commands.add_parser(
        "solver", help="choose and resolve a solver backend", parents=[common], formatter_class=_HELP_FORMAT,
        description=(
            "Choose a solver backend for a physics domain and see which backend a simulation\n"
            "dispatch would use. The choice is held in memory by the loaded product and is not\n"
            "written to its USD files, so it lasts for this one command: each command shows\n"
            "the selection and the dispatch backend it resolves to. 'auto' resolves to the\n"
            "domain's default (openfoam for aerodynamics, chrono for dynamics)."
        ),
        epilog=_examples(f"{PROG} solver set sedan:base aerodynamics xlb",
                         f"{PROG} solver resolve sedan:base dynamics"),
    )
    solver_commands = solver.add_subparsers(dest="solver_command", metavar="ACTION", required=True)
    p = add(solver_commands, "set", "select a backend for a domain and show the dispatch backend",
            cmd_solver_set,
            [f"{PROG} solver set sedan:base aerodynamics xlb", f"{PROG} solver set hatch aero auto --json"],
            description=(
                "Select a backend for a domain and show the backend a dispatch resolves to. The\n"
                "selection lives in memory for this command only; nothing is written to the product.\n"
                "Backends: openfoam, xlb, domino (aerodynamics); chrono (dynamics); auto (the domain's default)."
            ))
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument("backend", metavar="BACKEND", help="openfoam, xlb, domino, chrono or auto")
    p = add(solver_commands, "resolve", "show the backend a simulation dispatch would use", cmd_solver_resolve,
            [f"{PROG} solver resolve sedan:base aerodynamics",
             f"{PROG} solver resolve sedan:base dynamics --backend auto"])
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument("--backend", metavar="BACKEND", help="select this backend first (as 'solver set' does)")

    targets = commands.add_parser(
        "targets", help="change a product's design-intent targets", parents=[common],
        formatter_class=_HELP_FORMAT, description="Change a product's design-intent targets.",
        epilog=_examples(f"{PROG} targets set sedan:base --cd 0.24 --cl-tolerance 0.025"),
    )
    target_commands = targets.add_subparsers(dest="targets_command", metavar="ACTION", required=True)
    p = add(target_commands, "set", "write new design-intent targets into the product's top-level USD file",
            cmd_targets_set,
            [f"{PROG} targets set sedan:base --cd 0.24",
             f"{PROG} targets set hatch --cl 0.1 --cl-tolerance 0.02 --json"],
            description=(
                "Write new design-intent targets into the product's top-level USD file, where they\n"
                "override the design-intent layer. Only targets the product declares can be written;\n"
                "a missing one is reported and the command exits with status 1."
            ))
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    for option, kw, key in _TARGET_OPTIONS:
        p.add_argument(f"--{option}", dest=kw, metavar="VALUE", type=_finite_float,
                       help=f"new value of {key}")

    p = add(commands, "geometry", "register an STL file as a product's new geometry", cmd_geometry,
            [f"{PROG} geometry sedan:base body.stl"],
            description=(
                "Register an STL file as a product's new geometry. The file must exist and end in\n"
                ".stl; it is checked, not copied, and the product's files are not changed."
            ))
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("stl", metavar="FILE.stl")
    cfd_cli.add_geometry_options(p)
    cfd_cli.register(commands, add)

    p = add(commands, "diff", "compare two products", cmd_diff,
            [f"{PROG} diff sedan:base sedan:sport", f"{PROG} diff sedan:base hatch --json"])
    p.add_argument("a", metavar="PRODUCT_A", help=_PRODUCT_HELP)
    p.add_argument("b", metavar="PRODUCT_B", help=_PRODUCT_HELP)

    p = add(commands, "range", "estimate highway range and chart it against the competitors", cmd_range,
            [f"{PROG} range sedan:base", f"{PROG} range sedan:base --cd 0.23"],
            description=(
                "Estimate a product's highway range at a drag coefficient and chart it against the\n"
                "workspace's competitors. Without --cd the latest cd result is used, else the cd target."
            ))
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("--cd", type=_finite_float, metavar="CD", help="drag coefficient to estimate the range at")

    p = add(commands, "export", "print the path of a product's export", cmd_export,
            [f"{PROG} export sedan:base", f"cp \"$({PROG} export hatch)\" /tmp/"])
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("--format", default="usd", metavar="FORMAT", help="export format (default and only: usd)")

    p = add(commands, "init", "create a workspace from the bundled sample", cmd_init,
            [f"{PROG} init ./my-workspace", f"{PROG} --workspace ./my-workspace init"],
            description=(
                "Create a workspace from the bundled sample in DIR (default: the --workspace directory,\n"
                "else the current directory). DIR must be new or empty."
            ))
    p.add_argument("dir", metavar="DIR", nargs="?")
    return parser


def usage_error(args: argparse.Namespace, message: str) -> NoReturn:
    prog = getattr(args, "_prog", PROG)
    sys.stderr.write(f"{prog}: error: {message} (see '{prog} --help')\n")
    raise SystemExit(2)


# ------------------------------------------------------------------------ main


def _describe(exc: BaseException) -> str:
    """An exception as one line of text."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
        if exc.filename is not None:
            text += f": {exc.filename}"
    elif isinstance(exc, KeyError) and len(exc.args) == 1:
        text = f"missing key {exc.args[0]!r}"
    else:
        text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmor`` command; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    args._prog = f"{PROG} {args.command}"
    if getattr(args, "solver_command", None):
        args._prog += f" {args.solver_command}"
    if getattr(args, "targets_command", None):
        args._prog += f" {args.targets_command}"
    if args.workspace is not None:
        os.environ["VELMOR_WORKSPACE"] = os.path.abspath(os.path.expanduser(args.workspace))

    try:
        outcome = args.func(args)
        if args.json:
            render.dump_json(outcome.data)
        else:
            lines = outcome.text()
            sys.stdout.write("".join(line + "\n" for line in lines))
        sys.stdout.flush()
    except CliError as exc:
        return _fail(str(exc))
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # The reader went away (velmor history x | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:
        return _fail(_describe(exc))
    for warning in outcome.warnings:
        sys.stderr.write(f"{PROG}: warning: {warning}\n")
    if outcome.note and not args.json:
        sys.stderr.write(outcome.note + "\n")
    return outcome.status


def _fail(message: str) -> int:
    sys.stderr.write(f"{PROG}: error: {message}\n")
    return 1


if __name__ == "__main__":
    sys.exit(main())
