"""The ``velmor`` command: every job of the product core from a terminal.

Each sub-command loads what it needs, asks ``ProductCore`` (or the workspace
helpers) for one result and prints it, as a readable table or, with
``--json``, as the dicts the core returns. Results go to stdout and nothing
else does; progress and errors go to stderr. An error is one line,
``velmor: error: ...``, with exit status 1; a usage error exits with 2; an
interrupt (Ctrl-C) stops the command, writes nothing and exits with 130.

A PRODUCT argument is what ``ProductCore.load`` takes: a product identifier
(``sedan:base``, ``hatch``) looked up in the workspace, or the path of a
product's top-level ``.usda``/``.usdc`` file.

Every command registers its own arguments beside its handler, through a
``register_<command>(commands)`` function listed in ``_REGISTRARS``. A
subpackage adds commands the same way: a module with ``register(commands)``
(``commands`` is the argparse sub-parsers object; ``add_command`` and
``add_group`` below build parsers with the shared options), named in
``COMMAND_MODULES``. Handlers take the parsed arguments, whose
``workspace_root`` is the chosen workspace, and return an ``Outcome``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from . import _cli_render as render
from . import value_rules

if TYPE_CHECKING:
    from .core.product_core import ProductCore

PROG = "velmor"

# Modules of other subpackages that add commands: each has register(commands).
COMMAND_MODULES: tuple[str, ...] = ("velmor_platform.cfd.cli", "velmor_platform.web.cli")

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


class CliError(Exception):
    """A failure reported to the user as one line, with exit status 1."""


class Outcome:
    """What a command produced: ``data`` for --json, ``text`` (built only
    when needed) for people, and the exit status. (A plain class: the
    dataclasses machinery costs every command a few milliseconds.)"""

    __slots__ = ("data", "note", "status", "text", "warnings")

    def __init__(
        self,
        data: Any,
        text: Callable[[], list[str]],
        status: int = 0,
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


# --------------------------------------------------------------------- helpers


@contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Hold back Ctrl-C while the block runs and raise it right after.

    OpenUSD's import swallows an interrupt that arrives while it runs (and
    prints its own tracebacks); here the interrupt waits for the import to
    finish and then stops the command as usual.
    """
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


def _core() -> type[ProductCore]:
    """The product core's class, imported on first use (it brings in OpenUSD)."""
    module = sys.modules.get("velmor_platform.core.product_core")
    if module is None:
        with _interrupt_deferred():
            from .core import product_core as module
    core: type[ProductCore] = module.ProductCore  # type: ignore[union-attr]
    return core


def _require_workspace(args: argparse.Namespace) -> Path:
    root: Path = args.workspace_root
    how = getattr(args, "workspace_source", "")
    origin = f" (from {how})" if how else ""
    if root.exists() and not root.is_dir():
        raise CliError(f"workspace {root}{origin} is not a directory")
    if not root.is_dir():
        raise CliError(
            f"workspace {root}{origin} does not exist; create it with '{PROG} init {root}'"
        )
    if not (root / "products").is_dir():
        raise CliError(f"{root}{origin} is not a velmor workspace: it has no products/ directory")
    return root


def _looks_like_path(ref: str) -> bool:
    return (
        os.sep in ref
        or (os.altsep is not None and os.altsep in ref)
        or ref.endswith((".usda", ".usdc"))
    )


def load(args: argparse.Namespace, ref: str) -> ProductCore:
    """The product named by ``ref``, as ``ProductCore.load`` finds it."""
    if _looks_like_path(ref):
        path = Path(ref)
        if not path.exists():
            raise CliError(f"no such product file: {ref}")
        if path.is_dir():
            raise CliError(
                f"{ref} is a directory; name the product's top-level .usda or .usdc file"
            )
        if path.suffix not in (".usda", ".usdc"):
            raise CliError(f"{ref} is not a USD file (expected .usda or .usdc)")
    else:
        _require_workspace(args)
    return _core().load(ref)


@contextmanager
def _layers_kept(args: argparse.Namespace, ref: str) -> Iterator[None]:
    """Keep the product's layers open while the block runs.

    OpenUSD parses a layer file once while something holds it, so the
    several reads of one command (load, history; load, write, re-read) share
    one parse instead of parsing a long run history each time. Anything that
    goes wrong here is left to the reads themselves to report.
    """
    _core()  # OpenUSD, imported with Ctrl-C held back
    from pxr import Tf

    from .core.containment import open_contained_layers

    kept: list[Any] = []
    try:
        if _looks_like_path(ref):
            path = os.path.abspath(ref)
        else:
            from .core.api import _find_product_usd

            path = str(_find_product_usd(ref))
        # Opened only once every layer the product composes has been checked.
        kept = open_contained_layers(path)
    except (OSError, ValueError, Tf.ErrorException):
        pass
    try:
        yield
    finally:
        kept.clear()


def _mark_enclosing_workspace(usd_path: Path) -> None:
    """After a write, mark the workspace holding the product, so that
    commands run inside it find it."""
    from .core.workspace import _enclosing_workspace, mark_workspace

    root = _enclosing_workspace(os.path.abspath(usd_path))
    if root is not None:
        # The marker is a convenience; the write itself has succeeded.
        with contextlib.suppress(OSError):
            mark_workspace(root)


def _ident(product: ProductCore) -> str:
    return product._product_identifier()


def _heading(product: ProductCore) -> str:
    return f"{product.name} ({_ident(product)})"


def _unit(key: str, g: dict[str, str]) -> str:
    unit = _UNITS.get(key, "")
    return _ASCII_UNITS.get(unit, unit) if g is render._PLAIN else unit


def _rule(key: str) -> Callable[[str], float]:
    """An argparse type applying the value rules for ``key``."""

    def parse(text: str) -> float:
        try:
            return value_rules.parse(key, text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


# -------------------------------------------------------------------- commands


def register_products(commands: Subparsers) -> None:
    add_command(
        commands,
        "products",
        "list the workspace's products",
        cmd_products,
        [f"{PROG} products", f"{PROG} --workspace ./ws products --json"],
    )


def cmd_products(args: argparse.Namespace) -> Outcome:
    ProductCore = _core()
    from .core.api import list_products

    root = _require_workspace(args)
    entries = []
    skipped: list[str] = []
    found = list_products(
        root / "products", lambda path, why: skipped.append(f"skipped {path}: {why}")
    )
    for ident, path in found:
        entry: dict[str, Any] = {"id": ident, "name": None, "path": path}
        try:
            entry["name"] = ProductCore.load(str(path)).name
        except Exception as exc:  # noqa: BLE001 - one unreadable product does not hide the rest
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
        return [*render.table(["PRODUCT", "NAME", "FILE"], rows), "", f"workspace: {root}"]

    warnings = [f"cannot read {e['id']}: {e['error']}" for e in entries if "error" in e]
    return Outcome(entries, text, warnings=skipped + warnings)


def register_show(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "show",
        "show a product: specification, targets, benchmarks, latest results",
        cmd_show,
        [f"{PROG} show sedan:base", f"{PROG} show ./products/hatch/hatch.usda --json"],
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)


def cmd_show(args: argparse.Namespace) -> Outcome:
    product = load(args, args.product)
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
        lines += ["Specification", *render.key_values(spec_pairs), ""]

        rows = []
        for key in _RESULT_KEYS:
            if key not in targets and key not in current and key not in benchmarks:
                continue
            target: Any = targets.get(key)
            now: Any = current.get(key)
            tol_key = _TOLERANCE_KEY.get(key)
            tol = targets.get(tol_key) if tol_key else None
            delta = (
                render.fmt_signed(_round(now - target), g)
                if _both(now, target)
                else render.fmt(None, g)
            )
            rows.append(
                [
                    key,
                    render.fmt(target, g),
                    g["pm"] + render.fmt(tol, g) if tol is not None else render.fmt(None, g),
                    render.fmt(benchmarks.get(key), g),
                    render.fmt(now, g),
                    delta,
                    _gate(now, target, tol, tol_key is not None),
                    _unit(key, g),
                ]
            )
        lines.append("Targets, benchmarks and latest results")
        lines += render.table(
            ["KEY", "TARGET", "TOL", "BENCHMARK", "CURRENT", "CUR-TGT", "CHECK", "UNIT"],
            rows,
            right=(1, 2, 3, 4, 5),
            indent="  ",
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


def register_history(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "history",
        "list a product's simulation runs and how cd moved over them",
        cmd_history,
        [f"{PROG} history sedan:sport", f"{PROG} history hatch --json"],
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)


def cmd_history(args: argparse.Namespace) -> Outcome:
    with _layers_kept(args, args.product):  # read once for the product and its history
        product = load(args, args.product)
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
            rows.append(
                [
                    str(run.get("run_id") or run.get("name", "")),
                    render.fmt_timestamp(run.get("timestamp"), g)[:10],
                    render.fmt(run.get("domain"), g),
                    solver or render.fmt(None, g),
                    render.fmt(run.get("status", "completed"), g),
                    render.fmt_duration(run.get("wall_time_s"), g),
                    _results(run, g),
                ]
            )
        lines += [
            "",
            *render.table(
                ["RUN", "DATE", "DOMAIN", "SOLVER", "STATUS", "WALL", "RESULTS"], rows, right=(5,)
            ),
        ]
        return lines + _cd_chart(runs, target_cd, g)

    return Outcome(runs, text)


def _cd_chart(runs: list[dict[str, Any]], target_cd: Any, g: dict[str, str]) -> list[str]:
    """A bar per run that reports cd, and a sparkline of the whole trend."""
    points = [
        (str(r.get("run_id") or r.get("name", "")), r["cd"])
        for r in runs
        if render.is_number(r.get("cd"))
    ]
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
    rows, previous = [], None
    for run_id, cd in points:
        change = render.fmt_signed(_round(cd - previous), g) if previous is not None else ""
        rows.append([run_id, render.fmt(cd, g), render.bar(cd, lo, hi, 24, g), change])
        previous = cd
    lines = [
        "",
        heading,
        *render.table(["RUN", "CD", "", g["delta"]], rows, right=(1, 3), indent="  ")[1:],
    ]
    first, last = render.fmt(values[0], g), render.fmt(values[-1], g)
    trend = f"trend {render.sparkline(values, g)}  {first} {g['arrow']} {last}"
    if len(values) > 1:
        trend += (
            f" ({render.fmt_signed(_round(values[-1] - values[0]), g)} over {len(values)} runs)"
        )
    return [*lines, "  " + trend]


def _results(run: dict[str, Any], g: dict[str, str]) -> str:
    parts = []
    for key, label in (
        ("cd", "cd"),
        ("cl", "cl"),
        ("cm_pitch", "cm"),
        ("lateral_g", "lat"),
        ("yaw_rate_dps", "yaw"),
        ("roll_angle_deg", "roll"),
    ):
        if key in run:
            unit = _unit(key, g)
            parts.append(f"{label} {render.fmt(run[key], g)}{(' ' + unit) if unit else ''}")
    return "  ".join(parts) or render.fmt(None, g)


def register_solvers(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "solvers",
        "list the physics domains and their solvers",
        cmd_solvers,
        [f"{PROG} solvers", f"{PROG} solvers aerodynamics", f"{PROG} solvers dynamics --json"],
    )
    p.add_argument(
        "domain",
        metavar="DOMAIN",
        nargs="?",
        help="show one domain's solvers (aerodynamics, aero or dynamics)",
    )
    p.set_defaults(needs_workspace=False)


def cmd_solvers(args: argparse.Namespace) -> Outcome:
    ProductCore = _core()

    if args.domain is None:
        domains = ProductCore.solvers() or []

        def text() -> list[str]:
            g = render.glyphs()
            rows = [
                [
                    str(d.get("domain")),
                    render.fmt(d.get("status"), g),
                    render.fmt(d.get("default_solver"), g),
                    ", ".join(_solver_label(s) for s in d.get("solvers") or [])
                    or render.fmt(None, g),
                    render.fmt(d.get("kpis"), g),
                ]
                for d in domains
            ]
            return render.table(["DOMAIN", "STATUS", "DEFAULT", "SOLVERS", "KPIS"], rows)

        return Outcome(domains, text)

    record = ProductCore.solver(args.domain)
    if record is None:
        known = ", ".join(str(d.get("domain")) for d in ProductCore.solvers() or [])
        raise CliError(
            f"unknown domain {args.domain!r} (known: {known}; 'aero' stands for 'aerodynamics')"
        )

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
        return (
            lines
            + render.table(["SOLVER", "VERSION", "KIND", "DESCRIPTION"], rows)
            + ["", "* default solver"]
        )

    return Outcome(record, detail)


def _solver_label(solver: dict[str, Any]) -> str:
    return " ".join(str(x) for x in (solver.get("name"), solver.get("version")) if x)


def register_capabilities(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "capabilities",
        "report which physics domains can run on a product",
        cmd_capabilities,
        [f"{PROG} capabilities sedan:base", f"{PROG} capabilities sedan:sport --json"],
        description=(
            "Report which physics domains can run on a product, against each domain's default\n"
            "solver. Aerodynamics is available when the workspace's OpenFOAM MCP server lists a\n"
            "case template named after the product's directory; dynamics when the product has\n"
            "a mass above 500 kg and a wheelbase. Asking the server takes a moment. When the\n"
            "server cannot be asked, the reason is printed on stderr (with --json, in the field\n"
            "openfoam_server) and the exit status is 1."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)


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


def cmd_capabilities(args: argparse.Namespace) -> Outcome:
    quiet_sdk_logs(args)
    from .mcp.mcp_transport import record_failures

    product = load(args, args.product)
    started = time.time()
    with (
        record_failures() as failures,
        render.Spinner("asking the OpenFOAM server for its case templates"),
    ):
        report = product.capabilities()
    problem = _server_problem(failures, args.workspace_root, started)
    data: dict[str, Any] = dict(report)
    warnings = []
    if problem is not None:
        # Beside the core's records, never inside them.
        data["openfoam_server"] = problem
        warnings.append(
            f"openfoam server: {problem['error']}"
            + (f" (server log: {problem['log']})" if problem.get("log") else "")
        )

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
        lines += render.table(
            ["DOMAIN", "AVAILABLE", "DEFAULT SOLVER", "VERSION", "STATUS", "SOLVERS"],
            rows,
            right=(5,),
        )
        directory = product.product_dir.name
        for domain, entry in report.items():
            if domain in ("aerodynamics", "aero") and not entry.get("available"):
                if problem is not None:
                    lines += [
                        "",
                        f"{domain}: the workspace's OpenFOAM server could not be asked for its "
                        "case templates (the reason is on stderr)",
                    ]
                else:
                    lines += [
                        "",
                        f"{domain}: the workspace's OpenFOAM server lists no case template named "
                        f"{directory!r}",
                        " " * len(domain)
                        + "  (a template is a directory templates/openfoam/<name>/)",
                    ]
                break
        if "dynamics" in report and not report["dynamics"].get("available"):
            lines += ["", "dynamics: needs a mass above 500 kg and a wheelbase"]
        return lines

    return Outcome(data, text, status=1 if problem else 0, warnings=warnings)


def _server_problem(
    failures: list[BaseException], root: Path | None, since: float
) -> dict[str, str] | None:
    """Why the template query failed, and the server's log when the server
    wrote to it (after ``since``)."""
    if not failures:
        return None
    problem = {"error": _describe(failures[0])}
    if root is not None:
        from .mcp.mcp_config import log_path

        log = log_path(root, "openfoam")
        try:
            status = log.stat()
            if status.st_size > 0 and status.st_mtime >= since - 1:
                problem["log"] = str(log)
        except OSError:
            pass
    return problem


def _check_domain(domain: str) -> None:
    """Refuse a domain the solver registry does not know, so that a typo is
    not silently stored as a domain of its own."""
    ProductCore = _core()

    if ProductCore.solver(domain) is None:
        known = ", ".join(str(d.get("domain")) for d in ProductCore.solvers() or [])
        raise CliError(
            f"unknown domain {domain!r} (known: {known}; 'aero' stands for 'aerodynamics')"
        )


def register_solver(commands: Subparsers) -> None:
    solver = add_group(
        commands,
        "solver",
        "choose and resolve a solver backend",
        description=(
            "Choose a solver backend for a physics domain and see which backend a simulation\n"
            "dispatch would use. The choice is held in memory by the loaded product and is not\n"
            "written to its USD files, so it lasts for this one command: each command shows\n"
            "the selection and the dispatch backend it resolves to. 'auto' resolves to the\n"
            "domain's default (openfoam for aerodynamics, chrono for dynamics)."
        ),
        examples=[
            f"{PROG} solver set sedan:base aerodynamics xlb",
            f"{PROG} solver resolve sedan:base dynamics",
        ],
    )
    p = add_command(
        solver,
        "set",
        "select a backend for a domain and show the dispatch backend",
        cmd_solver_set,
        [
            f"{PROG} solver set sedan:base aerodynamics xlb",
            f"{PROG} solver set hatch aero auto --json",
        ],
        description=(
            "Select a backend for a domain and show the backend a dispatch resolves to. The\n"
            "selection lives in memory for this command only; nothing is written to the product.\n"
            "Backends: openfoam, xlb, domino (aerodynamics); chrono (dynamics);\n"
            "auto (the domain's default)."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument("backend", metavar="BACKEND", help="openfoam, xlb, domino, chrono or auto")
    p = add_command(
        solver,
        "resolve",
        "show the backend a simulation dispatch would use",
        cmd_solver_resolve,
        [
            f"{PROG} solver resolve sedan:base aerodynamics",
            f"{PROG} solver resolve sedan:base dynamics --backend auto",
        ],
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument(
        "--backend", metavar="BACKEND", help="select this backend first (as 'solver set' does)"
    )


def cmd_solver_set(args: argparse.Namespace) -> Outcome:
    _check_domain(args.domain)
    product = load(args, args.product)
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
    product = load(args, args.product)
    if args.backend is not None:
        product.set_solver(args.domain, args.backend)
    selected = product.get_solver_backend(args.domain)
    backend, _ = product.resolve_dispatch_backend(domain=args.domain)
    data = {
        "product": product.name,
        "domain": args.domain,
        "selected": selected,
        "dispatch_backend": backend,
    }

    def text() -> list[str]:
        g = render.glyphs()
        how = "default" if args.backend is None else "selected"
        return [
            f"{_heading(product)}: {args.domain}: {how} {selected} {g['arrow']} "
            f"dispatch backend {backend}"
        ]

    return Outcome(data, text)


def register_targets(commands: Subparsers) -> None:
    targets = add_group(
        commands,
        "targets",
        "change a product's design-intent targets",
        description="Change a product's design-intent targets.",
        examples=[f"{PROG} targets set sedan:base --cd 0.24 --cl-tolerance 0.025"],
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
            "finite; cd must be greater than 0 and tolerances 0 or more."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    for option, kw, key in _TARGET_OPTIONS:
        p.add_argument(
            f"--{option}", dest=kw, metavar="VALUE", type=_rule(kw), help=f"new value of {key}"
        )


def cmd_targets_set(args: argparse.Namespace) -> Outcome:
    values = {
        kw: getattr(args, kw) for _, kw, _ in _TARGET_OPTIONS if getattr(args, kw) is not None
    }
    if not values:
        usage_error(
            args, "give at least one of --cd, --cl, --cm-pitch, --cl-tolerance, --cm-tolerance"
        )
    with _layers_kept(args, args.product):  # read once for loading, writing and re-reading
        product = load(args, args.product)
        before = product.targets
        reply = product.set_targets(**values)
        after = product.targets
    _mark_enclosing_workspace(product.usd_path)
    written = reply.get("targets", {})
    from .core.usd_product import TARGET_ATTRIBUTES

    warnings = [
        f"{_ident(product)} has no {TARGET_ATTRIBUTES[kw]} attribute; {kw} was not written"
        for kw in values
        if kw not in written
    ]

    def text() -> list[str]:
        g = render.glyphs()
        lines = [f"{_heading(product)}: design-intent targets updated in {product.usd_path}"]
        pairs = []
        for _, kw, key in _TARGET_OPTIONS:
            if kw in written:
                pairs.append(
                    (
                        key,
                        f"{render.fmt(before.get(key), g)} {g['arrow']} "
                        f"{render.fmt(after.get(key), g)}",
                    )
                )
        return lines + render.key_values(pairs)

    return Outcome(reply, text, status=1 if warnings else 0, warnings=warnings)


def register_geometry(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "geometry",
        "register an STL file as a product's new geometry",
        cmd_geometry,
        [f"{PROG} geometry sedan:base body.stl"],
        description=(
            "Register an STL file as a product's new geometry. The file must exist and end in\n"
            ".stl (any letter case); it is checked, not copied, and the product's files are not\n"
            "changed."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("stl", metavar="FILE.stl")


def cmd_geometry(args: argparse.Namespace) -> Outcome:
    product = load(args, args.product)
    try:
        reply = product.set_geometry(args.stl)
    except ValueError as exc:
        if not str(exc).startswith("Expected .stl file, got:"):
            raise
        suffix = Path(args.stl).suffix
        raise CliError(
            f"Expected .stl file, got: {suffix or 'a name without an extension'} ({args.stl}); "
            "geometry accepts STL files, named *.stl in any letter case"
        ) from exc
    if getattr(args, "prepare_cfd", False):
        from .cfd import cli as cfd_cli

        return cfd_cli.geometry_prepare(args, product, reply)

    def text() -> list[str]:
        return [
            f"{_heading(product)}: geometry {reply['status']}: {reply['path']} "
            f"({reply['size_mb']:.2f} MB)",
            reply["note"],
        ]

    return Outcome(reply, text)


def register_diff(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "diff",
        "compare two products",
        cmd_diff,
        [f"{PROG} diff sedan:base sedan:sport", f"{PROG} diff sedan:base hatch --json"],
    )
    p.add_argument("a", metavar="PRODUCT_A", help=_PRODUCT_HELP)
    p.add_argument("b", metavar="PRODUCT_B", help=_PRODUCT_HELP)


def cmd_diff(args: argparse.Namespace) -> Outcome:
    a, b = load(args, args.a), load(args, args.b)
    report = a.diff(b)

    def text() -> list[str]:
        g = render.glyphs()
        lines = [
            *render.table(
                ["", "", ""],
                [["A", _heading(a), str(a.usd_path)], ["B", _heading(b), str(b.usd_path)]],
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
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument(
        "--cd",
        type=_rule("cd"),
        metavar="CD",
        help="drag coefficient to estimate the range at (> 0)",
    )


def cmd_range(args: argparse.Namespace) -> Outcome:
    product = load(args, args.product)
    cd, source = args.cd, "given"
    if cd is None:
        for source, values in (  # noqa: B007 - source names the value found
            ("latest result", product.current),
            ("design target", product.targets),
        ):
            if render.is_number(values.get("cd")):
                cd = values["cd"]
                break
        else:
            raise CliError(
                f"{_ident(product)} has neither a drag result nor a drag target; give --cd"
            )
    report = product.range_competitiveness(cd)

    def text() -> list[str]:
        g = render.glyphs()
        field = [(c["name"], c["cd"], c["range_km"], False) for c in report.get("competitors", [])]
        field.insert(
            report["rank"] - 1, (report["product"], report["cd"], report["range_km"], True)
        )
        top = max((r for _, _, r, _ in field), default=0.0)
        name_w = max(render.width(n) for n, _, _, _ in field) + len(g["mark"]) + 3
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
                f"{render.ljust(label, name_w)}cd {render.fmt(c, g).rjust(cd_w)}  "
                f"{render.bar(km, 0.0, top, bar_w, g).ljust(bar_w)}  {f'{km:.1f}'.rjust(km_w)} km"
            )
        return lines

    return Outcome(report, text)


def register_export(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "export",
        "print the path of a product's export",
        cmd_export,
        [f"{PROG} export sedan:base", f'cp "$({PROG} export hatch)" /tmp/'],
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument(
        "--format", default="usd", metavar="FORMAT", help="export format (default and only: usd)"
    )


def cmd_export(args: argparse.Namespace) -> Outcome:
    product = load(args, args.product)
    reply = product.export(args.format)
    return Outcome(reply, lambda: [reply["path"]])


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
    from .core.workspace import seed_workspace

    target = args.dir if args.dir is not None else (args.workspace or ".")
    root = seed_workspace(target)
    products = sorted(p.name for p in (root / "products").iterdir() if p.is_dir())
    data = {"workspace": root, "products": products}
    hint = (
        f"created a workspace from the bundled sample; commands run inside it use it, "
        f"elsewhere use '{PROG} --workspace {root} ...' or 'export VELMOR_WORKSPACE={root}'"
    )
    return Outcome(data, lambda: [str(root)], note=hint)


# ---------------------------------------------------------------------- doctor


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


class _Check:
    """One line of ``doctor``: a check, whether it passed, and how to fix it."""

    def __init__(
        self, name: str, ok: bool, detail: str, fix: str = "", seconds: float | None = None
    ) -> None:
        self.name = name
        self.ok = ok
        self.detail = detail
        self.fix = fix
        self.seconds = seconds


def cmd_doctor(args: argparse.Namespace) -> Outcome:
    quiet_sdk_logs(args)
    checks = _workspace_checks(args)
    checks.append(_usd_check())
    checks += _solver_checks()
    data = [{k: v for k, v in vars(c).items() if v not in ("", None)} for c in checks]

    def text() -> list[str]:
        rows = []
        for c in checks:
            detail = c.detail + (f" ({c.seconds:.2f} s)" if c.seconds is not None else "")
            rows.append(
                ["ok" if c.ok else "problem", c.name, detail + (f"; fix: {c.fix}" if c.fix else "")]
            )
        return render.table(["", "CHECK", "RESULT"], rows)[1:]

    return Outcome(data, text, status=0 if all(c.ok for c in checks) else 1)


def _workspace_checks(args: argparse.Namespace) -> list[_Check]:
    root = getattr(args, "workspace_root", None)
    if root is None:
        return [
            _Check(
                "workspace",
                False,
                args.workspace_error,
                "pass --workspace DIR or set VELMOR_WORKSPACE",
            )
        ]
    how = args.workspace_source
    if not (root / "products").is_dir():
        fix = (
            f"{PROG} init {root}"
            if not root.exists()
            else "choose a workspace with --workspace DIR"
        )
        return [_Check("workspace", False, f"{root} (from {how}) has no products/ directory", fix)]
    checks = [_Check("workspace", True, f"{root} (from {how})")]
    from .core.workspace import use_workspace
    from .mcp import mcp_config

    try:
        config = mcp_config.read_config(root / mcp_config.CONFIG_FILE)
    except mcp_config.McpConfigError as exc:
        return [
            *checks,
            _Check(
                "mcp.json",
                False,
                _describe(exc),
                f"correct the file (its JSON Schema is {mcp_config.schema_path()})",
            ),
        ]
    names = sorted(config.entries().keys() | {mcp_config.OPENFOAM})
    exists = (root / mcp_config.CONFIG_FILE).is_file()
    checks.append(
        _Check(
            "mcp.json",
            True,
            ("valid; " if exists else "absent (defaults); ") + f"servers: {', '.join(names)}",
        )
    )
    with use_workspace(root):
        checks += [_server_check(root, name) for name in names]
    return checks


def _server_check(root: Path, name: str) -> _Check:
    import asyncio

    from .mcp.mcp_config import log_path
    from .mcp.mcp_transport import mcp_connect

    async def tools() -> list[str]:
        async with mcp_connect(name) as session:
            listed = await session.list_tools()
        return [str(tool.name) for tool in listed.tools]

    start = time.monotonic()
    try:
        names = asyncio.run(tools())
    except Exception as exc:  # noqa: BLE001 - reported as one line
        log = log_path(root, name)
        hint = (
            f"see {log}" if log.is_file() and log.stat().st_size else "check its entry in mcp.json"
        )
        return _Check(f"server {name}", False, _describe(exc), hint, time.monotonic() - start)
    return _Check(
        f"server {name}",
        True,
        f"tools: {', '.join(names) or 'none'}",
        seconds=time.monotonic() - start,
    )


def _usd_check() -> _Check:
    try:
        with _interrupt_deferred():
            from pxr import Usd
    except ImportError as exc:
        return _Check("OpenUSD", False, _describe(exc), "pip install usd-core")
    return _Check("OpenUSD", True, "version " + ".".join(str(n) for n in Usd.GetVersion()))


def _solver_checks() -> list[_Check]:
    import shutil

    checks = []
    for program in ("simpleFoam", "snappyHexMesh", "blockMesh"):
        found = shutil.which(program)
        checks.append(
            _Check(program, True, found)
            if found
            else _Check(
                program, False, "not found on PATH", "install OpenFOAM (apt-get install openfoam)"
            )
        )
    if any(c.ok for c in checks) and not os.environ.get("WM_PROJECT_DIR"):
        checks.append(
            _Check(
                "WM_PROJECT_DIR",
                False,
                "not set",
                "export WM_PROJECT_DIR=/usr/share/openfoam (Debian's OpenFOAM)",
            )
        )
    return checks


# ------------------------------------------------------------------ completion


def register_completion(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "completion",
        "print a shell completion script (bash or zsh)",
        cmd_completion,
        [f'eval "$({PROG} completion bash)"', f"{PROG} completion zsh > ~/.zfunc/_{PROG}"],
        description="Print a completion script for bash or zsh; source it at shell start-up.",
    )
    p.add_argument("shell", choices=("bash", "zsh"), metavar="SHELL", help="bash or zsh")
    p.set_defaults(needs_workspace=False)


def cmd_completion(args: argparse.Namespace) -> Outcome:
    tree: dict[str, list[str]] = {}

    def walk(parser: argparse.ArgumentParser, path: str) -> None:
        words = [o for a in parser._actions for o in a.option_strings if o.startswith("--")]
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for name, sub in action.choices.items():
                    words.append(name)
                    walk(sub, f"{path} {name}".strip())
        tree[path] = sorted(set(words))

    walk(build_parser(), "")
    cases = "\n".join(
        f'        "{path}") words="{" ".join(words)}" ;;' for path, words in sorted(tree.items())
    )
    script = f"""_{PROG}_complete() {{
    local cur="${{COMP_WORDS[COMP_CWORD]}}" path="" word words
    for word in "${{COMP_WORDS[@]:1:COMP_CWORD-1}}"; do
        case "$word" in -*) continue ;; esac
        case " $(_{PROG}_words "$path") " in *" $word "*) path="${{path:+$path }}$word" ;; esac
    done
    COMPREPLY=($(compgen -W "$(_{PROG}_words "$path")" -- "$cur"))
    [ ${{#COMPREPLY[@]}} -eq 0 ] && COMPREPLY=($(compgen -f -- "$cur"))
}}
_{PROG}_words() {{
    case "$1" in
{cases}
        *) words="" ;;
    esac
    echo "$words"
}}
complete -o filenames -F _{PROG}_complete {PROG}"""
    if args.shell == "zsh":
        script = "autoload -U +X bashcompinit && bashcompinit\n" + script
    return Outcome({"shell": args.shell, "script": script}, lambda: script.splitlines())


# ---------------------------------------------------------------------- parser

if TYPE_CHECKING:
    Subparsers = argparse._SubParsersAction[Any]
else:
    Subparsers = argparse._SubParsersAction


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line on stderr, exit status 2, with a
    "did you mean" for a mistyped command or option."""

    def error(self, message: str) -> NoReturn:
        self.exit(
            2,
            f"{self.prog}: error: {render.clean(message)}{_suggestion(message)} "
            f"(see '{self.prog} --help')\n",
        )


def _suggestion(message: str) -> str:
    import difflib
    import re

    choice = re.search(r"invalid choice: '([^']*)' \(choose from (.*)\)", message)
    if choice:
        wrong, known = choice.group(1), re.findall(r"'([^']*)'", choice.group(2))
    else:
        unknown = re.search(r"unrecognized arguments: (\S+)", message)
        if not unknown:
            return ""
        wrong, known = unknown.group(1).split("=")[0], _all_options()
    close = difflib.get_close_matches(wrong, known, n=1, cutoff=0.6)
    return f"; did you mean '{close[0]}'?" if close else ""


def _all_options() -> list[str]:
    found: set[str] = set()

    def walk(parser: argparse.ArgumentParser) -> None:
        for action in parser._actions:
            found.update(o for o in action.option_strings if o.startswith("--"))
            if isinstance(action, argparse._SubParsersAction):
                for sub in action.choices.values():
                    walk(sub)

    walk(build_parser())
    return sorted(found)


_HELP_FORMAT = argparse.RawDescriptionHelpFormatter
_PRODUCT_HELP = "product identifier (sedan:base, hatch) or path of a product's .usda/.usdc file"
_WORKSPACE_HELP = (
    "use the workspace in DIR (else $VELMOR_WORKSPACE, else the enclosing workspace, "
    "else the per-user one)"
)


def _examples(*lines: str) -> str:
    return "examples:\n" + "\n".join("  " + line for line in lines)


def _common() -> argparse.ArgumentParser:
    # --json, --workspace and --debug work before or after the command; the
    # copies on the sub-commands default to SUPPRESS so they never undo the
    # global ones.
    common = _Parser(add_help=False)
    common.add_argument(
        "--json", action="store_true", default=argparse.SUPPRESS, help="print the result as JSON"
    )
    common.add_argument(
        "--workspace", metavar="DIR", default=argparse.SUPPRESS, help=_WORKSPACE_HELP
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
    examples: Sequence[str],
    description: str | None = None,
) -> argparse.ArgumentParser:
    """A sub-command ``name`` run by ``func``, with the shared options."""
    p: argparse.ArgumentParser = commands.add_parser(
        name,
        help=help,
        description=description or help,
        parents=[_common()],
        formatter_class=_HELP_FORMAT,
        epilog=_examples(*examples),
    )
    p.set_defaults(func=func)
    return p


def add_group(
    commands: Subparsers, name: str, help: str, description: str, examples: Sequence[str]
) -> Subparsers:
    """A command made of actions (``solver set``): the sub-parsers of its actions."""
    group = commands.add_parser(
        name,
        help=help,
        parents=[_common()],
        formatter_class=_HELP_FORMAT,
        description=description,
        epilog=_examples(*examples),
    )
    actions: Subparsers = group.add_subparsers(
        dest=f"{name}_command", metavar="ACTION", required=True
    )
    return actions


_REGISTRARS: tuple[Callable[[Subparsers], None], ...] = (
    register_products,
    register_show,
    register_history,
    register_solvers,
    register_capabilities,
    register_solver,
    register_targets,
    register_geometry,
    register_diff,
    register_range,
    register_export,
    register_init,
    register_doctor,
    register_completion,
)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        formatter_class=_HELP_FORMAT,
        description=(
            "Work with vehicle-design products stored as OpenUSD files.\n\n"
            "PRODUCT is a product identifier such as sedan:base or hatch, looked up in the\n"
            "workspace, or the path of a product's top-level .usda/.usdc file. The workspace is,\n"
            "in this order: --workspace DIR; $VELMOR_WORKSPACE; the nearest directory at or above\n"
            "the current one that is a workspace (made by 'velmor init'); the per-user workspace\n"
            "(~/.local/share/velmor/workspace on Linux, seeded from the bundled sample on first\n"
            "use)."
        ),
        epilog=_examples(
            f"{PROG} products",
            f"{PROG} show sedan:base",
            f"{PROG} range sedan:sport --cd 0.25",
            f"{PROG} --json history hatch",
            f"{PROG} init ./my-workspace && cd my-workspace && {PROG} products",
        ),
    )
    parser.add_argument("--version", action=_Version, help="show the version and exit")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--workspace", metavar="DIR", help=_WORKSPACE_HELP)
    parser.add_argument(
        "--debug", action="store_true", help="on failure, also print the full traceback"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for register in _REGISTRARS:
        register(commands)
    import importlib

    for module in COMMAND_MODULES:
        importlib.import_module(module).register(commands)
    return parser


class _Version(argparse.Action):
    """--version, looking the version up only when asked (it costs an import)."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from . import __version__

        sys.stdout.write(f"{PROG} {__version__}\n")
        parser.exit(0)


def usage_error(args: argparse.Namespace, message: str) -> NoReturn:
    prog = getattr(args, "_prog", PROG)
    sys.stderr.write(f"{prog}: error: {message} (see '{prog} --help')\n")
    raise SystemExit(2)


# ------------------------------------------------------------------------ main


def _describe(exc: BaseException) -> str:
    """An exception as one line of text; OpenUSD's own errors as one sentence."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
        if exc.filename is not None:
            text += f": {exc.filename}"
    elif isinstance(exc, KeyError) and len(exc.args) == 1:
        text = f"missing key {exc.args[0]!r}"
    else:
        text = str(exc) or type(exc).__name__
    return _usd_sentence(" ".join(text.split()))


def _usd_sentence(text: str) -> str:
    """OpenUSD's C++ error text ("Error in 'pxrInternal_...::...' at line
    323 in file ... : '<path> is not a valid usda layer'") as one sentence
    naming the file and what is wrong."""
    import re

    error = re.search(r"Error in '[^']*' at line \d+ in file \S+ : '(.*)'", text)
    if error is None:
        return text
    files = re.findall(r"(/[^\s:'<>@]+\.usd[ac]?)\b", text)
    detail = re.sub(r"<[^>]*>|@[^@]*@", "", error.group(1)).strip(" .:")
    where = files[0] if files else "a USD file"
    if detail.startswith(("is ", "has ", "does ", "cannot ")):
        return f"{where} {detail} (OpenUSD could not use it)"
    return f"cannot use {where}: {detail or 'OpenUSD could not read it'}"


def _choose_workspace(args: argparse.Namespace) -> None:
    from .core.workspace import WorkspaceError, choose_workspace, ensure_user_workspace

    args.workspace_root = None
    try:
        root, how = choose_workspace(args.workspace, os.environ, os.getcwd())
    except (WorkspaceError, OSError) as exc:
        if getattr(args, "needs_workspace", True):
            raise CliError(_describe(exc)) from exc
        args.workspace_error = _describe(exc)
        return
    if how == "the per-user workspace" and getattr(args, "needs_workspace", True):
        ensure_user_workspace(root)
    args.workspace_root, args.workspace_source = root, how


def _write(stream: Any, lines: Sequence[str]) -> None:
    stream.write("".join(render.clean(line) + "\n" for line in lines))


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmor`` command; returns the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{PROG}: interrupted\n")
        return 130


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if args.command is None:
        parser.error("a command is required: " + ", ".join(_command_names(parser)))
    args._prog = f"{PROG} {args.command}"
    for group in ("solver_command", "targets_command"):
        if getattr(args, group, None):
            args._prog += f" {getattr(args, group)}"
    try:
        _choose_workspace(args)
        outcome = _run(args)
        if args.json:
            render.dump_json(outcome.data)
        else:
            _write(sys.stdout, outcome.text())
        sys.stdout.flush()
    except CliError as exc:
        return _fail(args, str(exc), exc)
    except BrokenPipeError:
        # The reader went away (velmor history x | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:  # noqa: BLE001 - reported as one line
        return _fail(args, _describe(exc), exc)
    _write(sys.stderr, [f"{PROG}: warning: {warning}" for warning in outcome.warnings])
    if outcome.note and not args.json:
        _write(sys.stderr, [outcome.note])
    return outcome.status


def _command_names(parser: argparse.ArgumentParser) -> list[str]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return list(action.choices)
    return []


def _run(args: argparse.Namespace) -> Outcome:
    """The command, with the chosen workspace active for the product core."""
    if args.workspace_root is None:
        return args.func(args)  # type: ignore[no-any-return]
    from .core.workspace import use_workspace

    with use_workspace(args.workspace_root):
        return args.func(args)  # type: ignore[no-any-return]


def _fail(args: argparse.Namespace, message: str, exc: BaseException) -> int:
    if getattr(args, "debug", False):
        import traceback

        traceback.print_exception(exc)
    _write(sys.stderr, [f"{PROG}: error: {message}"])
    return 1


if __name__ == "__main__":
    sys.exit(main())
