"""The simulation loop: ``prepare-cfd``, ``simulate``, ``record-cfd`` and
``current`` (which run is the product's current result).

Heavy modules (numpy, foamlib, OpenUSD) are imported by the service when a
command runs, not here, so the command line starts as fast as before.
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from typing import TYPE_CHECKING, Any, TextIO

from .. import render
from ..outcome import EXIT_OK, Outcome, case_hint, quiet_sdk_logs, workspace
from ..parser import (
    PRODUCT_HELP,
    PROG,
    Subparsers,
    add_command,
    case_options,
    check_plausible,
    run_options,
)

if TYPE_CHECKING:
    from ...services.simulation import Run


def register_prepare_cfd(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "prepare-cfd",
        "build an OpenFOAM case folder for a product",
        cmd_prepare_cfd,
        [
            f"{PROG} prepare-cfd hatch",
            f"{PROG} prepare-cfd sedan:base --level standard --ranks 2",
            f"{PROG} prepare-cfd sedan:sport --template base --output ./sport-case",
        ],
        description=(
            "Build an OpenFOAM v1912 case for a product's body: the template named after the\n"
            "product's directory (or --template), the body as STL, the mesh level, speed, ranks\n"
            "and iterations written into its dictionaries. The case goes to\n"
            "<workspace>/cases/<product>/<case-id>/ (or --output) and holds an Allrun script\n"
            "and a Slurm job script. Prints the case folder; record its result with record-cfd."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    case_options(p)
    p.add_argument("--output", metavar="DIR", help="write the case to DIR (must not exist)")


def register_simulate(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "simulate",
        "run a simulation of a product and record it",
        cmd_simulate,
        [
            f"{PROG} simulate hatch",
            f"{PROG} simulate sedan:base --level standard --ranks 2",
            f"{PROG} --json simulate hatch --iterations 200",
            f"{PROG} simulate hatch --server",
        ],
        description=(
            "Run a simulation of a product and record it in the product's runs layer. The backend\n"
            "is the domain's dispatch backend (or --backend); openfoam prepares a case, meshes it\n"
            "(surfaceFeatureExtract, blockMesh, snappyHexMesh: the body and its wheels), solves\n"
            "it (simpleFoam; decomposePar and MPI with --ranks above 1) until the convergence\n"
            "verdict or the iteration cap, and records the force coefficients averaged over the\n"
            "final window with their iterative band (95 % half-width of the mean); its check\n"
            'against a target is "undecided — no grid estimate". --uncertainty runs the mesh\n'
            "ladder (quick, standard, fine) and records the finest result with its grid band,\n"
            "which decides the check. Progress\n"
            "goes to stderr. Ctrl-C stops the solver and records the run as cancelled. Exit\n"
            "status 1 when the run fails or diverges, 130 when cancelled."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("--domain", default="aerodynamics", help="physics domain (default aerodynamics)")
    p.add_argument(
        "--backend", metavar="BACKEND", help="solver backend (default: the dispatch backend)"
    )
    case_options(p)
    p.add_argument(
        "--server",
        action="store_true",
        help="run through the workspace's openfoam MCP server (mcp.json) instead of here",
    )
    p.add_argument(
        "--uncertainty",
        action="store_true",
        help="run the three mesh levels and record the finest with a grid-convergence band",
    )
    p.add_argument(
        "--full-model",
        action="store_true",
        help="mesh the whole width (no symmetry plane): for a body that is not symmetric",
    )
    dyn = p.add_argument_group("dynamics (--domain dynamics: steady-state circle on Chrono)")
    dyn.add_argument("--radius", type=float, metavar="M", help="circle radius (default 100 m)")
    dyn.add_argument("--friction", type=float, help="road friction coefficient (default 1.0)")
    dyn.add_argument("--time-step", type=float, metavar="S", help="time step (default 0.0005 s)")
    dyn.add_argument("--short", action="store_true", help="two speed steps only (a quick check)")
    dyn.add_argument(
        "--no-aero", action="store_true", help="leave the product's aero loads off the chassis"
    )


def register_current(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "current",
        "show or choose the run that is a product's current aerodynamic result",
        cmd_current,
        [
            f"{PROG} current sedan:base",
            f"{PROG} current sedan:base sedan-base-0001",
            f"{PROG} current sedan:base --clear",
        ],
        description=(
            "The current result (what show checks against the targets and range uses) is the\n"
            "newest completed straight-ahead (yaw 0) aerodynamic run, except that a run never\n"
            "displaces a finer or grid-banded run of the same geometry, and an unconverged run\n"
            "never displaces a converged one of the same geometry and level. Yawed runs stay\n"
            "in the history and the yaw sweep. Name a straight-ahead run (its id or name) to\n"
            "make it the current result instead; --clear undoes that choice."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("run", metavar="RUN", nargs="?", help="the run to make current")
    p.add_argument("--clear", action="store_true", help="undo the choice: the rule decides")


def register_record_cfd(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "record-cfd",
        "record the result of a case run elsewhere",
        cmd_record_cfd,
        [f"{PROG} record-cfd hatch ~/cases/hatch/20250101T120000Z-quick-1a2b"],
        description=(
            "Record the result of a prepared case that was run by hand (./Allrun) or on a cluster\n"
            "(sbatch job.slurm): read its logs and forceCoeffs output, average the coefficients\n"
            "and append the run to the product's runs layer."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("case_dir", metavar="CASE_DIR", help="the case folder")


# ----------------------------------------------------------------- handlers


def cmd_prepare_cfd(args: argparse.Namespace) -> Outcome:
    from ...services import simulation

    check_plausible(args, ("speed",))
    case = simulation.prepare(args.product, workspace(args), run_options(args), output=args.output)
    return Outcome(
        case.data, lambda: [str(case.case_dir)], note=case_hint(case.identifier, case.case_dir)
    )


def cmd_record_cfd(args: argparse.Namespace) -> Outcome:
    from ...services import simulation

    return _run_outcome(simulation.record(args.product, workspace(args), args.case_dir))


def cmd_simulate(args: argparse.Namespace) -> Outcome:
    from ...services import simulation

    check_plausible(args, ("speed",))
    if args.server:
        quiet_sdk_logs(args)
    progress = ProgressLine(sys.stderr, live=sys.stderr.isatty())
    # SIGTERM (a batch system stopping the job) cancels like Ctrl-C: the
    # solver's process group is killed and the run recorded as cancelled.
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        run = simulation.simulate(
            args.product, workspace(args), run_options(args), domain=args.domain,
            backend=args.backend, on_progress=progress, remote=args.server,
            dynamics={
                "radius_m": args.radius, "friction": args.friction, "step_s": args.time_step,
                "short": args.short, "aero": not args.no_aero,
            },
        )  # fmt: skip
    finally:
        signal.signal(signal.SIGTERM, previous)
        progress.close()
    return _run_outcome(run)


def cmd_current(args: argparse.Namespace) -> Outcome:
    from ...services import simulation
    from ..parser import usage_error

    if args.clear and args.run:
        usage_error(args, "give a RUN to choose or --clear to undo the choice, not both")
    found = simulation.choose_current(args.product, workspace(args), args.run, clear=args.clear)

    def text() -> list[str]:
        run = found.current
        if run is None:
            return [f"{found.heading}: no aerodynamic result yet"]
        how = (
            "chosen"
            if found.chosen
            else "by the rule: the newest straight-ahead run, never displacing a finer "
            "or a converged run of the same geometry"
        )
        return [
            f"{found.heading}: current run {run.get('run_id') or run['name']} ({how})",
            f"  {run['fidelity']}; cd {_fmt(run.get('cd'))}",
        ]

    return Outcome(found.data, text)


def _dynamics_lines(run: dict[str, Any]) -> list[str]:
    lines = []
    if run.get("status") == "completed":
        lines.append(
            f"  lateral {_fmt(run.get('lateral_g'))} g  yaw rate {_fmt(run.get('yaw_rate_dps'))}"
            f" deg/s  roll {_fmt(run.get('roll_angle_deg'))} deg  understeer gradient "
            f"{_fmt(run.get('understeer_gradient_deg_per_g'))} deg/g"
        )
    lines.append(f"  handling template {run.get('handling_template')}")
    lines += [f"  {part}" for part in str(run.get("message") or "").split("; ") if part]
    if run.get("case_dir"):
        lines.append(f"  run folder {run['case_dir']}")
    return lines


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _fmt(value: Any) -> str:
    """A figure as show and history print it (up to six significant digits)."""
    return render.fmt(value)


def _run_outcome(found: Run) -> Outcome:
    run = found.record
    status = run.get("status")

    def text() -> list[str]:
        cells = run.get("mesh_cells")
        wall = _fmt(run.get("wall_time_s"))
        head = f"{found.heading}: run {run.get('run_id')} {status} in {wall} s"
        lines = [head + (f", {cells:,} cells" if isinstance(cells, int) else "")]
        if run.get("domain") == "dynamics":
            return lines + _dynamics_lines(run)
        if status == "completed":
            cd, cl, cm = (_fmt(run.get(k)) for k in ("cd", "cl", "cm_pitch"))
            band = run.get("cd_band")
            lines.append(
                f"  cd {cd}" + (f" ±{_fmt(band)}" if band is not None else "")
                + f"  cl {cl}  cm_pitch {cm}"
                f"  ({run.get('level', '?')}; "
                f"{'converged' if run.get('converged') else 'not converged'})"
            )  # fmt: skip
            if run.get("band_method"):
                lines.append(f"  band: {run['band_method']}")
            if run.get("ladder"):
                lines += [f"  {part}" for part in str(run["ladder"]).split("; ")]
        if run.get("message"):
            lines.append(f"  {run['message']}")
        if run.get("log"):
            lines.append(f"  log: {run['log']}")
        lines.append(f"  case: {run.get('case_dir')}")
        return lines

    code = found.status
    warnings = (
        []
        if code == EXIT_OK
        else [f"run {run.get('run_id')} {status}; recorded with no coefficients"]
    )
    return Outcome(run, text, status=code, warnings=warnings)


class ProgressLine:
    """Shows run progress on a stream: one line rewritten in place on a
    terminal, one line per stage otherwise."""

    def __init__(self, stream: TextIO, *, live: bool) -> None:
        self.stream = stream
        self.live = live
        self.stage: str | None = None
        self.shown = False
        self.last = 0.0

    def __call__(self, event: dict[str, Any]) -> None:
        stage = event.get("stage")
        changed = stage != self.stage
        self.stage = stage
        parts = [f"{stage}"]
        if event.get("iteration") is not None:
            total = event.get("total")
            parts.append(f"iteration {event['iteration']}" + (f"/{total}" if total else ""))
        if event.get("cd") is not None:
            parts.append(f"Cd {event['cd']:.4g}")
        elapsed = f"{event.get('elapsed_s', 0):.0f} s"
        # A line per stage names when it started; the live line the time so far.
        parts.append(f"{elapsed} elapsed" if self.live else f"started at {elapsed}")
        line = "  ".join(parts)
        if event.get("cells"):
            # Said once, before the solve: what the mesh came to and how long it may take.
            plan = f"mesh: {event['cells']:,} cells"
            if event.get("estimate_s"):
                plan += (
                    f"; the solve takes up to about {render.fmt_duration(event['estimate_s'])} "
                    "on free cores, if it runs to its cap (longer on a busy machine)"
                )
            self.stream.write(("\r\033[K" if self.live else "") + plan + "\n")
        if self.live:
            now = time.monotonic()
            if not changed and now - self.last < 0.2:
                return
            self.last = now
            self.stream.write("\r\033[K" + line)
            self.shown = True
        elif changed:
            self.stream.write(line + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.live and self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
