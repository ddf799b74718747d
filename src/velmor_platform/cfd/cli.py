"""The ``velmor`` sub-commands of the simulation loop.

``register(commands, add)`` adds ``prepare-cfd``, ``simulate`` and
``record-cfd`` to the CLI's sub-parsers (``add`` is the CLI's factory for a
sub-command with the common options); ``add_geometry_options`` adds
``--prepare-cfd`` and its options to ``geometry``, whose handler calls
``geometry_prepare``. Heavy modules (numpy, foamlib, OpenUSD) are imported
by the handlers, not here, so the CLI starts as fast as before.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:
    from ..cli import Outcome
    from ..core.product_core import ProductCore

PROG = "velmor"
_PRODUCT_HELP = "product identifier (sedan:base, hatch) or path of a product's .usda/.usdc file"
_LEVELS = ("quick", "standard", "fine")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _speed(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value <= 150:
        raise argparse.ArgumentTypeError(f"speed must be above 0 and at most 150 m/s, not {text}")
    return value


def _case_options(p: argparse.ArgumentParser, *, template: bool = True) -> None:
    if template:
        p.add_argument(
            "--template",
            metavar="NAME",
            help="case template (default: the one named after the product's directory)",
        )
    p.add_argument("--level", choices=_LEVELS, default="quick", help="mesh level (default quick)")
    p.add_argument(
        "--speed",
        type=_speed,
        metavar="M/S",
        help="free-stream speed in m/s (default: the template's)",
    )
    p.add_argument(
        "--ranks",
        type=_positive_int,
        default=1,
        metavar="N",
        help="MPI ranks (default 1; more decompose the mesh)",
    )
    p.add_argument(
        "--iterations",
        type=_positive_int,
        metavar="N",
        help="iteration cap (default: 400 quick, 800 standard, 1500 fine)",
    )


def register(commands: Any) -> None:
    """Add the simulation commands to the CLI's sub-parsers, and ``--prepare-cfd``
    to its ``geometry`` command."""
    from ..cli import add_command as add

    add_geometry_options(commands.choices["geometry"])
    p = add(
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
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    _case_options(p)
    p.add_argument("--output", metavar="DIR", help="write the case to DIR (must not exist)")

    p = add(
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
            "(surfaceFeatureExtract, blockMesh, snappyHexMesh), solves it (potentialFoam,\n"
            "simpleFoam; decomposePar and MPI with --ranks above 1) and averages the force\n"
            "coefficients over the final iterations. Progress goes to stderr. Ctrl-C stops the\n"
            "solver and records the run as cancelled. Exit status 1 when the run fails or\n"
            "diverges, 130 when cancelled."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("--domain", default="aerodynamics", help="physics domain (default aerodynamics)")
    p.add_argument(
        "--backend", metavar="BACKEND", help="solver backend (default: the dispatch backend)"
    )
    _case_options(p)
    p.add_argument(
        "--server",
        action="store_true",
        help="run through the workspace's openfoam MCP server (mcp.json) instead of here",
    )

    p = add(
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
    p.add_argument("product", metavar="PRODUCT", help=_PRODUCT_HELP)
    p.add_argument("case_dir", metavar="CASE_DIR", help="the case folder")


def add_geometry_options(p: argparse.ArgumentParser) -> None:
    """``--prepare-cfd`` and its case options on the ``geometry`` command."""
    p.add_argument(
        "--prepare-cfd",
        action="store_true",
        help="check the STL surface and build an OpenFOAM case from it",
    )
    p.add_argument("--template", metavar="NAME", help="with --prepare-cfd: case template")
    p.add_argument(
        "--level", choices=_LEVELS, default="quick", help="with --prepare-cfd: mesh level"
    )
    p.add_argument("--speed", type=_speed, metavar="M/S", help="with --prepare-cfd: speed in m/s")
    p.add_argument(
        "--ranks", type=_positive_int, default=1, metavar="N", help="with --prepare-cfd: MPI ranks"
    )
    p.add_argument("--output", metavar="DIR", help="with --prepare-cfd: write the case to DIR")


# ----------------------------------------------------------------- handlers


def _workspace(product: ProductCore) -> Path:
    from ..core.workspace import workspace_of

    return workspace_of(product.usd_path)


def _heading(product: ProductCore) -> str:
    return f"{product.name} ({product._product_identifier()})"


def _run_hint(product: ProductCore, case: Path) -> str:
    ident = product._product_identifier()
    return (
        f"run it by hand with '{case}/Allrun' (or 'sbatch job.slurm' from the folder on a Slurm "
        f"cluster), then record the result with '{PROG} record-cfd {ident} {case}'"
    )


def _errors() -> tuple[type[Exception], ...]:
    from .errors import CfdError

    return (CfdError,)


def _call(fn: Callable[[], Any]) -> Any:
    """Run ``fn``, turning the loop's own errors into one-line CLI errors."""
    from ..cli import CliError

    try:
        return fn()
    except _errors() as exc:
        raise CliError(str(exc)) from None


def cmd_prepare_cfd(args: argparse.Namespace) -> Outcome:
    from ..cli import Outcome, load
    from . import api

    product = load(args, args.product)
    case = _call(lambda: api.prepare_case(
        product, workspace=_workspace(product), template=args.template, level=args.level,
        speed=args.speed, ranks=args.ranks, iterations=args.iterations, output=args.output,
    ))  # fmt: skip
    data = {"product": product._product_identifier(), "case_dir": case, "allrun": case / "Allrun"}
    return Outcome(data, lambda: [str(case)], note=_run_hint(product, case))


def geometry_prepare(
    args: argparse.Namespace, product: ProductCore, reply: dict[str, Any]
) -> Outcome:
    """``geometry PRODUCT FILE --prepare-cfd``: check the STL, then build a case from it."""
    from ..cli import Outcome
    from . import api

    case = _call(lambda: api.prepare_case(
        product, workspace=_workspace(product), template=args.template, level=args.level,
        speed=args.speed, ranks=args.ranks, output=args.output, stl=args.stl,
    ))  # fmt: skip
    data = dict(reply)
    data["case_dir"] = case

    def text() -> list[str]:
        return [f"{_heading(product)}: geometry {reply['status']}: {reply['path']}", str(case)]

    return Outcome(data, text, note=_run_hint(product, case))


def cmd_record_cfd(args: argparse.Namespace) -> Outcome:
    from ..cli import load
    from . import api

    product = load(args, args.product)
    run = _call(lambda: api.record_case(product, args.case_dir, workspace=_workspace(product)))
    return _run_outcome(product, run)


def cmd_simulate(args: argparse.Namespace) -> Outcome:
    import signal

    from ..cli import load

    product = load(args, args.product)
    progress = ProgressLine(sys.stderr, live=sys.stderr.isatty())
    # SIGTERM (a batch system stopping the job) cancels like Ctrl-C: the
    # solver's process group is killed and the run recorded as cancelled.
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        if args.server:
            run = _call(lambda: _simulate_remote(product, args, progress))
        else:
            run = _call(lambda: _simulate_local(product, args, progress))
    finally:
        signal.signal(signal.SIGTERM, previous)
        progress.close()
    return _run_outcome(product, run)


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _simulate_local(
    product: ProductCore, args: argparse.Namespace, progress: ProgressLine
) -> dict[str, Any]:
    from . import api

    return api.simulate(
        product, workspace=_workspace(product), domain=args.domain, backend=args.backend,
        level=args.level, ranks=args.ranks, iterations=args.iterations, speed=args.speed,
        template=args.template, on_progress=progress,
    )  # fmt: skip


def _simulate_remote(
    product: ProductCore, args: argparse.Namespace, progress: ProgressLine
) -> dict[str, Any]:
    """Run through the workspace's openfoam MCP server, showing its progress."""
    import asyncio

    from . import api
    from .errors import CfdError

    api.check_backend(product, args.domain, args.backend)
    arguments = {
        "product": str(product.usd_path), "level": args.level, "ranks": args.ranks,
        "iterations": args.iterations, "speed": args.speed, "template": args.template,
    }  # fmt: skip
    arguments = {k: v for k, v in arguments.items() if v is not None}

    import json

    from ..cli import quiet_sdk_logs

    quiet_sdk_logs(args)

    async def call() -> Any:
        from ..mcp.mcp_transport import mcp_connect, parse_tool_result

        async def on_progress(value: float, total: float | None, message: str | None) -> None:
            with contextlib.suppress(ValueError):
                progress(json.loads(message or "{}"))

        async with mcp_connect("openfoam") as session:
            # A run takes minutes: no time limit on this one call.
            result = await session.client.call_tool(
                "simulate", arguments, progress_callback=on_progress
            )
            if getattr(result, "is_error", False) or getattr(result, "isError", False):
                content = getattr(result, "content", None) or []
                text = " ".join(getattr(c, "text", "") for c in content).strip()
                raise CfdError(f"the openfoam MCP server failed the run: {text or 'no detail'}")
            return parse_tool_result(result)

    run = asyncio.run(call())
    if not isinstance(run, dict):
        raise CfdError(f"the openfoam MCP server returned {type(run).__name__}, not a run record")
    return run


def _fmt(value: Any) -> str:
    return "—" if value is None else f"{value:.4g}" if isinstance(value, float) else str(value)


def _run_outcome(product: ProductCore, run: dict[str, Any]) -> Outcome:
    from ..cli import Outcome

    status = run.get("status")
    code = {"completed": 0, "cancelled": 130}.get(str(status), 1)

    def text() -> list[str]:
        cells = run.get("mesh_cells")
        wall = _fmt(run.get("wall_time_s"))
        head = f"{_heading(product)}: run {run.get('run_id')} {status} in {wall} s"
        lines = [head + (f", {cells:,} cells" if isinstance(cells, int) else "")]
        if status == "completed":
            cd, cl, cm = (_fmt(run.get(k)) for k in ("cd", "cl", "cm_pitch"))
            lines.append(
                f"  cd {cd}  cl {cl}  cm_pitch {cm}"
                f"  (cd spread {_fmt(run.get('cd_spread'))} over the final window; "
                f"{'converged' if run.get('converged') else 'not converged'})"
            )
        if run.get("message"):
            lines.append(f"  {run['message']}")
        if run.get("log"):
            lines.append(f"  log: {run['log']}")
        lines.append(f"  case: {run.get('case_dir')}")
        return lines

    warnings = (
        [] if code == 0 else [f"run {run.get('run_id')} {status}; recorded with no coefficients"]
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
        parts.append(f"{event.get('elapsed_s', 0):.0f} s")
        line = "  ".join(parts)
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
