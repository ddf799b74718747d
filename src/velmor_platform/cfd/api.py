"""The entry points of the simulation loop, for the CLI, the MCP server and the web UI.

* ``prepare_case(product, options, workspace=...)`` builds a case folder and
  returns it;
* ``simulate(product, options, workspace=...)`` prepares, runs and records a
  run and returns the recorded run;
* ``record_case(product, case_dir, workspace=...)`` records a case that ran
  elsewhere (by hand, on a cluster).

``product`` is a loaded ``ProductCore``; ``options`` the user's choices
(``params.RunOptions``, already checked), or its fields as keywords when
called by hand. Every failure before a run starts
raises ``CfdError`` with one line naming the product or file; a run that
fails, diverges or is cancelled is recorded with that status and returned.
"""

from __future__ import annotations

import errno
import json
import os
import re
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..core import geometry
from . import case as case_mod
from . import coefficients, convergence, record
from . import wheels as wheels_mod
from .errors import CfdError
from .params import Reference, RunOptions
from .runner import Progress, find_openfoam, run_case, solver_version
from .verdict import RunResult, judge, record_fields, tail_text
from .verdict import mesh_cells as mesh_cells  # the cell count, for reports and benchmarks

if TYPE_CHECKING:
    from ..core.product_core import ProductCore

#: Backends that run in this process; the others need a server of their own.
LOCAL_BACKENDS = ("openfoam",)
STATUS_FILE = "velmor-status.json"
_CLOCK = re.compile(r"ClockTime\s*=\s*([0-9.eE+-]+)\s*s")


def _ident(product: ProductCore) -> str:
    return str(product._product_identifier())


def _options(options: RunOptions | None, settings: dict[str, Any]) -> RunOptions:
    """The run's options: ``options``, or built from keyword ``settings``."""
    if options is None:
        return RunOptions(**settings)
    if settings:
        raise TypeError(f"give the run's options or {', '.join(settings)}, not both")
    return options


#: The attribute holding each reference value; the range each may take is
#: ``rules.REFERENCE_RANGES``, the same that making a variant applies.
REFERENCE_VALUES = {"frontal_area": "frontalArea", "wheelbase": "wheelbase"}


def reference_values(product: ProductCore) -> dict[str, float]:
    """The product's frontal area and wheelbase, checked; ``CfdError``
    naming the attribute when one is missing, not finite or implausible."""
    from .. import rules

    specs = product.specs
    values = {}
    for key, attr in REFERENCE_VALUES.items():
        value = specs.get(key)
        try:
            values[key] = rules.check_reference(key, value)
        except rules.RuleError:
            low, high, unit = rules.REFERENCE_RANGES[key]
            shown = "not set" if value is None else f"{value!r}"
            raise CfdError(
                f"{_ident(product)} ({product.usd_path}) has {attr} {shown}: the force "
                f"coefficients need a finite {key.replace('_', ' ')} between {low:g} and "
                f"{high:g} {unit} as a reference value"
            ) from None
    return values


def reference_for(
    values: dict[str, float],
    triangles: geometry.Triangles,
    wheels: list[wheels_mod.Wheel] | None = None,
) -> Reference:
    """Reference area and length (the product's ``reference_values``); the
    centre of rotation (mid-wheelbase on the road) from the surface meshed:
    the wheels meshed, or the middle of the body's length without them."""
    centre = wheels_mod.mid_wheelbase(wheels or [])
    if centre is None:
        lo, hi = geometry.bounds(triangles)
        centre = float(lo[0] + hi[0]) / 2
    return Reference(
        frontal_area=values["frontal_area"],
        wheelbase=values["wheelbase"],
        cofr=(round(centre, 6), 0.0, 0.0),
    )


def prepare_case(
    product: ProductCore,
    options: RunOptions | None = None,
    *,
    workspace: str | os.PathLike[str],
    output: str | os.PathLike[str] | None = None,
    stl: str | os.PathLike[str] | None = None,
    **settings: Any,
) -> Path:
    """Build a case for ``product`` and return its folder.

    The body is the product's USD body geometry, or the checked STL file
    ``stl``. The template is the options' or the one named after the
    product's directory (the rule the capabilities follow).
    """
    options = _options(options, settings)
    values = reference_values(product)  # before anything is read or built
    return _prepare(product, options, Path(workspace).resolve(), values, output=output, stl=stl)


def _prepare(
    product: ProductCore,
    options: RunOptions,
    root: Path,
    values: dict[str, float],
    *,
    output: str | os.PathLike[str] | None = None,
    stl: str | os.PathLike[str] | None = None,
) -> Path:
    """``prepare_case`` with the product's reference values already checked."""
    name = options.template or Path(product.product_dir).name
    template_dir = case_mod.find_template(root, name)
    default = None if options.speed is not None else case_mod.template_speed(template_dir)
    params = options.params(default)
    wheels: list[wheels_mod.Wheel] = []
    if stl is not None:
        notes: list[str] = []
        triangles = geometry.check_stl(stl, notes)
        source = "; ".join([os.path.abspath(stl), *notes])
    else:
        triangles = geometry.body_triangles(product.usd_path)
        wheels = wheels_mod.product_wheels(product.usd_path)
        source = "product body and wheels" if wheels else "product body"
    return case_mod.build_case(
        workspace=root,
        product_id=_ident(product),
        usd_path=Path(product.usd_path),
        template=template_dir,
        triangles=triangles,
        reference=reference_for(values, triangles, wheels),
        params=params,
        output=Path(output) if output is not None else None,
        source=source,
        wheels=wheels,
    )


def check_backend(product: ProductCore, domain: str, backend: str | None) -> str:
    """The dispatch backend for ``domain``; ``CfdError`` unless it runs here."""
    try:
        if backend is not None:
            product.set_solver(domain, backend)
        chosen, _ = product.resolve_dispatch_backend(domain=domain)
    except (ValueError, KeyError) as exc:
        raise CfdError(str(exc).strip("'\"")) from None
    if chosen not in LOCAL_BACKENDS:
        raise CfdError(
            f"backend {chosen!r} ({domain}) has no configured server or local install: add an MCP "
            f"server named {chosen!r} to the workspace's mcp.json, or run aerodynamics with "
            "--backend openfoam"
        )
    return str(chosen)


def backend_installed(backend: str) -> tuple[bool, str]:
    """Whether ``simulate`` can run ``backend`` on this machine; when not, why."""
    from .runner import openfoam_install

    if backend not in LOCAL_BACKENDS:
        return False, f"{backend} is not installed here: simulate runs only openfoam"
    problem = openfoam_install().problem
    return problem is None, problem or ""


def _settled(case: Path, tolerance: float) -> bool:
    """True once the convergence verdict says so (each test within ``tolerance``)."""
    try:
        columns = coefficients.read_coefficients(case)
    except CfdError:
        return False
    if len(columns["Time"]) < convergence.needed_iterations():
        return False
    return coefficients.summarise(columns, tolerance=tolerance).converged


def _write_status(case: Path, data: dict[str, Any]) -> None:
    from ..core.layer_io import atomic_write_bytes

    atomic_write_bytes(
        case / STATUS_FILE, (json.dumps(data, indent=2, default=str) + "\n").encode()
    )


def simulate(
    product: ProductCore,
    options: RunOptions | None = None,
    *,
    workspace: str | os.PathLike[str],
    domain: str = "aerodynamics",
    backend: str | None = None,
    on_progress: Progress | None = None,
    cancel: threading.Event | None = None,
    **settings: Any,
) -> dict[str, Any]:
    """Prepare, run and record one simulation of ``product``; returns the
    recorded run (plus ``stage_times``, ``peak_rss_mb`` and ``case_dir``).

    With the ``uncertainty`` option the product runs at every level of the
    mesh ladder (``level`` is then ignored) and the finest result is
    recorded with its grid-convergence band (``ladder.run_ladder``).
    """
    options = _options(options, settings)
    check_backend(product, domain, backend)
    values = reference_values(product)
    find_openfoam(options.ranks)
    root = Path(workspace).resolve()

    def prepare(level: str) -> Path:
        return _prepare(product, options.model_copy(update={"level": level}), root, values)

    def run_one(case: Path, level: str, progress: Progress | None) -> dict[str, Any]:
        fields, result = _run_prepared(product, case, options.ranks, progress, cancel)
        fields["stage_times"] = result.stage_times
        fields["peak_rss_mb"] = result.peak_rss_mb
        return fields

    if options.uncertainty:
        from .ladder import run_ladder

        fields = run_ladder(
            product, workspace=workspace, prepare=prepare, run_one=run_one, ranks=options.ranks,
            on_progress=on_progress, cancel=cancel,
        )  # fmt: skip
    else:
        fields = run_one(prepare(options.level), options.level, on_progress)
    extras = {k: fields.pop(k, None) for k in ("stage_times", "peak_rss_mb")}
    recorded = record.append_run(Path(product.usd_path), fields, product_id=_ident(product))
    recorded.update(extras)
    return recorded


def _run_prepared(
    product: ProductCore,
    case: Path,
    ranks: int,
    on_progress: Progress | None,
    cancel: threading.Event | None,
) -> tuple[dict[str, Any], RunResult]:
    """Run a prepared case and return its record fields (not yet recorded)."""
    info = case_mod.read_case_info(case)
    try:
        tolerance = float(info["params"]["convergence_tolerance"])
        result = run_case(
            case, ranks=ranks, total=int(info["max_iterations"]), on_progress=on_progress,
            cancel=cancel, converged=lambda c: _settled(c, tolerance),
        )  # fmt: skip
        fields = record_fields(case, result, info)
        _write_status(case, fields)
    except OSError as exc:
        if exc.errno == errno.ENOSPC:
            _note_disk_full(case)
            raise CfdError(
                f"disk full while running {case}: nothing was recorded for {_ident(product)}"
            ) from None
        raise
    return fields, result


def _note_disk_full(case: Path) -> None:
    try:
        with (case / "velmor-status.txt").open("a") as f:
            f.write("disk full during the run: the result was not recorded\n")
    except OSError:
        pass


def record_case(
    product: ProductCore,
    case_dir: str | os.PathLike[str],
    *,
    workspace: str | os.PathLike[str] | None = None,
) -> dict[str, Any]:
    """Record the result of a case that ran elsewhere (``./Allrun``, Slurm)."""
    case = Path(case_dir).resolve()
    if not case.is_dir():
        raise CfdError(f"{case_dir}: no such case folder")
    info = case_mod.read_case_info(case)
    ident = _ident(product)
    if info.get("product") not in (None, ident):
        raise CfdError(f"{case} was prepared for {info.get('product')}, not for {ident}")
    solver_log = case / "log.simpleFoam"
    if not solver_log.is_file():
        raise CfdError(f"{case} has not been run: it has no log.simpleFoam (run ./Allrun first)")
    clock = 0.0
    for log in sorted(case.glob("log.*")):
        times = _CLOCK.findall(tail_text(log, 4000))
        if times:
            clock += float(times[-1])
    result = judge(case, ranks=int(info.get("params", {}).get("ranks") or 1))
    result.solver_version = solver_version(solver_log)
    result.wall_time_s = clock
    fields = record_fields(case, result, info)
    return record.append_run(Path(product.usd_path), fields, product_id=ident)
