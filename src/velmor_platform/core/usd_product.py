"""Product reader: a product's USD files as plain Python data.

USD layout of a product (``products/<programme>[/<variant>]/``)::

    <programme>.usda       top-level file; defaultPrim = the vehicle prim;
                           sublayers, strongest first:
        design_intent.usda     design-intent targets and tolerances
        benchmark.usda         benchmark reference values
        runs.usda              recorded simulation runs
    /<Vehicle>             the default prim: vehicle attributes below
    /<Vehicle>/Body        geometry, referenced through velmor-geo:///...
    /<Vehicle>/Simulations one child prim per simulation run

Every value is read as composed over the whole layer stack, so an opinion in
the top-level file (where the targets writer authors) overrides the same
attribute in ``design_intent.usda``.

Vehicle record (``load_product``), from attributes of the default prim:

    vehicleName             vehicle_name            string
    programme, variant      programme, variant      string
    bodyStyle               body_style              token/string
    mass                    mass                    kg
    wheelbase               wheelbase               m
    trackWidth              track_width             m
    cgHeight                cg_height               m
    frontalArea             frontal_area            m^2
    frontalAreaBasis        frontal_area_basis      what the frontal area covers
    batteryCapacityKwh      battery_kwh             usable energy, kWh
    rollingResistance       crr                     rolling-resistance coefficient
    drivetrainEfficiency    drivetrain_efficiency   battery to wheel, 0..1
    targetCd                target_cd
    targetCl                target_cl
    targetCmPitch           target_cm
    targetCdTolerance       target_cd_tol
    targetClTolerance       target_cl_tol
    targetCmPitchTolerance  target_cm_tol
    targetLateralG          target_lateral_g        g
    targetYawRateDps        target_yaw_rate_dps     deg/s
    targetRollAngleDeg      target_roll_angle_deg   deg
    benchmarkCd             benchmark_cd
    benchmarkCl             benchmark_cl
    benchmarkCmPitch        benchmark_cm
    benchmarkSource         benchmark_source        string

Simulation runs (``load_product_history``), from each child prim of
``<Vehicle>/Simulations``; every dict also has ``name``, the prim's name:

    runId -> run_id, timestamp (ISO 8601 string) -> timestamp,
    domain -> domain, solver -> solver, solverVersion -> solver_version,
    status -> status, meshCells -> mesh_cells, wallTimeS -> wall_time_s,
    cd -> cd, cl -> cl, cmPitch -> cm_pitch, lateralG -> lateral_g,
    yawRateDps -> yaw_rate_dps, rollAngleDeg -> roll_angle_deg

Runs are ordered oldest first, by timestamp and then prim name; a run
without a readable timestamp comes first.

The record's latest results come from the runs: ``current_cd``,
``current_cl`` and ``current_cm`` from the current aerodynamic run (the
newest completed one reporting a coefficient, unless it would displace a
finer or grid-banded run of the same geometry, or the user chose another:
``current_run``), and ``current_lateral_g``,
``current_yaw_rate_dps`` and ``current_roll_angle_deg`` from the newest
completed run that reports any dynamics result (a run counts as completed
when its status is "completed" or not authored). Aerodynamic and dynamics
runs are separate simulations, so one kind does not hide the other's
latest results.

An attribute that is not authored, or authored without a value, gives no
key at all: the record never invents a value. Numbers come back as Python
floats, or ints where the USD type is an integer type.
"""

from __future__ import annotations

import errno
import os

from pxr import Sdf, Tf, Usd

from ..errors import VelmorError
from . import current_cache
from .containment import open_contained_layers
from .current_run import choose
from .run_history import (
    _CURRENT_GROUPS,
    SIMULATIONS_PRIM,
    _current_from_specs,
    _current_results,
    _pinned,
    _pinned_from_specs,
    _plain,
    _plain_vehicle,
    _read_runs,
    _run_record,
    _run_specs,
    _timestamp_key,
)
from .run_history import RUN_ATTRIBUTES as RUN_ATTRIBUTES
from .run_history import read_attributes as read_attributes

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: typing costs this module nothing at import
    from typing import Any

VEHICLE_ATTRIBUTES: tuple[tuple[str, str], ...] = (
    ("vehicleName", "vehicle_name"),
    ("programme", "programme"),
    ("variant", "variant"),
    ("bodyStyle", "body_style"),
    ("mass", "mass"),
    ("wheelbase", "wheelbase"),
    ("trackWidth", "track_width"),
    ("cgHeight", "cg_height"),
    ("frontalArea", "frontal_area"),
    ("frontalAreaBasis", "frontal_area_basis"),
    ("batteryCapacityKwh", "battery_kwh"),
    ("rollingResistance", "crr"),
    ("drivetrainEfficiency", "drivetrain_efficiency"),
    ("targetCd", "target_cd"),
    ("targetCl", "target_cl"),
    ("targetCmPitch", "target_cm"),
    ("targetCdTolerance", "target_cd_tol"),
    ("targetClTolerance", "target_cl_tol"),
    ("targetCmPitchTolerance", "target_cm_tol"),
    ("targetLateralG", "target_lateral_g"),
    ("targetYawRateDps", "target_yaw_rate_dps"),
    ("targetRollAngleDeg", "target_roll_angle_deg"),
    ("benchmarkCd", "benchmark_cd"),
    ("benchmarkCl", "benchmark_cl"),
    ("benchmarkCmPitch", "benchmark_cm"),
    ("benchmarkSource", "benchmark_source"),
)

# set_targets keyword -> the attribute of the default prim it writes.  The
# product core and the CLI both read this table; it holds at most five entries.
TARGET_ATTRIBUTES: dict[str, str] = {
    "cd": "targetCd",
    "cl": "targetCl",
    "cm_pitch": "targetCmPitch",
    "cl_tolerance": "targetClTolerance",
    "cm_tolerance": "targetCmPitchTolerance",
}

# A prim name no product authors: masking it composes a prim without children.
_NO_CHILD = "__velmor_no_children__"


# --------------------------------------------------------------------------
# Opening


def open_default_prim(path: str | os.PathLike[str], *, with_runs: bool = True) -> tuple[Any, Any]:
    """Open the stage of ``path`` and return ``(stage, default prim)``.

    Only the default prim (and, with ``with_runs``, its Simulations subtree)
    is populated, so geometry below the vehicle is never composed. Every
    layer the product composes is checked to lie inside the workspace
    before it is opened (``containment.open_contained_layers``). The stage
    must be kept alive while the prim is used.
    """
    stage, prim, _root = _open_stage_and_root(path, with_runs=with_runs)
    return stage, prim


def _open_stage_and_root(path: str | os.PathLike[str], *, with_runs: bool) -> tuple[Any, Any, Any]:
    """``open_default_prim``, and the top-level layer."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "USD file not found", path)
    if os.path.isdir(path):
        raise ValueError(f"not a USD file but a directory: {path}")
    # The checked layers are held until the stage has opened, so that it
    # uses them instead of opening the files again.
    layers = open_contained_layers(path)
    stage = open_vehicle_stage(layers[0], with_runs=with_runs)
    prim = stage.GetDefaultPrim()
    if not prim:
        raise ValueError(f"USD file {path}: default prim {layers[0].defaultPrim!r} is not defined")
    return stage, prim, layers[0]


def open_vehicle_stage(layer: Any, *, with_runs: bool = False) -> Any:
    """A stage of the root ``layer`` that composes its default prim and, with
    ``with_runs``, the Simulations subtree, and nothing else below it: not
    the geometry, which may be large, nor (without ``with_runs``) one prim
    per run. The prim's attributes may be set through it.

    Raises ``ValueError`` when the layer names no valid default prim or
    OpenUSD cannot open it.
    """
    path = layer.identifier
    prim_name = layer.defaultPrim
    if not prim_name:
        raise ValueError(f"USD file {path} has no default prim")
    prim_path = Sdf.Path(prim_name if prim_name.startswith("/") else "/" + prim_name)
    if not prim_path.IsPrimPath():
        raise ValueError(f"USD file {path} names an invalid default prim {prim_name!r}")
    # A mask includes the ancestors of its paths: a child that is never
    # authored keeps the default prim's own children (geometry, runs) out.
    masked = prim_path.AppendChild(SIMULATIONS_PRIM if with_runs else _NO_CHILD)
    try:
        stage = Usd.Stage.OpenMasked(layer, Usd.StagePopulationMask([masked]), Usd.Stage.LoadNone)
    except Tf.ErrorException as exc:
        raise ValueError(f"OpenUSD cannot open {path}: {tf_message(exc)}") from exc
    if stage is None:
        raise ValueError(f"OpenUSD cannot open {path}")
    return stage


def tf_message(exc: Exception) -> str:
    text = " ".join(str(exc).split())
    return text[:500]


# --------------------------------------------------------------------------
# Reading values: the runs and the current result are ``run_history``'s


# --------------------------------------------------------------------------
# Public interface


def load_product(path: str) -> dict[str, Any]:
    """The vehicle record of the product whose top-level USD file is ``path``.

    Raises ``FileNotFoundError`` for a missing file and ``ValueError`` for
    one that OpenUSD cannot open or that has no default prim.
    """
    _stage, prim, root = _open_stage_and_root(path, with_runs=False)  # the stage outlives the prim
    record = read_attributes(prim, VEHICLE_ATTRIBUTES)
    # Runs held plainly in the root layer stack: their files say whether they
    # changed (a run made unplain changes its file too).
    simulations = prim.GetPath().AppendChild(SIMULATIONS_PRIM)
    key = current_cache.key_of(root, simulations) if _plain_vehicle(prim) else None
    current = current_cache.lookup(key, path) if key is not None else None
    if current is None:
        run_specs = _run_specs(prim)
        if run_specs is None:
            _stage, prim = open_default_prim(path)
            record.update(_current_results(_read_runs(prim), _pinned(prim)))
            return record
        current = _current_from_specs(run_specs, _pinned_from_specs(prim))
        if key is not None:
            current_cache.remember(key, path, current)
    record.update(current)
    return record


def load_product_history(path: str) -> list[dict[str, Any]]:
    """The product's recorded simulation runs, oldest first, one new dict each."""
    _stage, prim = open_default_prim(path, with_runs=False)
    run_specs = _run_specs(prim)
    if run_specs is None:
        _stage, prim = open_default_prim(path)
        return _read_runs(prim)
    runs = [_run_record(name, specs) for name, specs in run_specs.items()]
    runs.sort(key=_timestamp_key)
    return runs


class ChangedSinceRead(VelmorError, ValueError):
    """The product changed since the caller read the values it meant to replace."""


def set_vehicle_attributes(
    path: str | os.PathLike[str],
    values: dict[str, float],
    *,
    expected: dict[str, Any] | None = None,
    create: bool = False,
) -> dict[str, float]:
    """Write ``values`` (attribute name -> finite number) into the top-level
    layer of the product ``path`` as opinions on its vehicle prim, the way
    ``ProductCore.set_targets`` writes targets: under the product's lock,
    every layer checked (``containment``), the file re-read, the vehicle
    prim composed alone, all values converted and checked before the first
    is set, one atomic save. Attributes the prim does not have are skipped,
    or with ``create`` made as ``double`` attributes (the type of every
    target, tolerance and reference value); returns what was written.

    ``expected`` maps attribute names to the composed values the caller
    last read (None: not authored). When any of them differs now, nothing
    is written and ``ChangedSinceRead`` names them: another writer's change
    is never overwritten unseen.
    """
    import math

    from .layer_io import product_lock, save_layer

    target = os.fspath(path)
    numbers = {}
    for name, value in values.items():
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{name} must be a finite number, got {number!r}")
        numbers[name] = number
    with product_lock(target):
        layers = open_contained_layers(target)
        root = layers[0]
        root.Reload()  # another process may have written it
        stage = open_vehicle_stage(root)
        prim = stage.GetDefaultPrim()
        if not prim:
            raise ValueError(f"USD file {target}: its default prim is not defined")
        if expected:
            now = {name: _plain(prim.GetAttribute(name).Get()) for name in expected}
            changed = [name for name in expected if not _same(now[name], expected[name])]
            if changed:
                shown = ", ".join(f"{n} is now {now[n]!r}" for n in changed)
                raise ChangedSinceRead(f"{target} changed since it was read: {shown}")
        written = {}
        try:
            for name, number in numbers.items():
                attribute = prim.GetAttribute(name)
                if not attribute and create:
                    attribute = prim.CreateAttribute(name, Sdf.ValueTypeNames.Double)
                if attribute:
                    attribute.Set(number)
                    written[name] = number
            save_layer(root, target)
        except BaseException:
            root.Reload(True)  # nothing half-done stays in memory
            raise
    return written


def load_pinned_run(path: str) -> str | None:
    """The name of the run the user chose as the product's current
    aerodynamic result, or None when the newest-run rule decides."""
    _stage, prim = open_default_prim(path, with_runs=False)
    run_specs = _run_specs(prim)
    if run_specs is None:
        _stage, prim = open_default_prim(path)
        return _pinned(prim)
    return _pinned_from_specs(prim)


def current_aero_run(path: str, runs: list[dict[str, Any]] | None = None) -> dict[str, Any] | None:
    """The run the product's current aerodynamic results come from (with
    its band and everything else it recorded), or None."""
    history = load_product_history(path) if runs is None else runs
    aero = [run_key for run_key, _ in _CURRENT_GROUPS[0]]
    return choose(history, aero, load_pinned_run(path))


def _is_number(value: Any) -> bool:
    from numbers import Real

    return isinstance(value, Real) and not isinstance(value, bool)


def _same(a: Any, b: Any) -> bool:
    if a == b:
        return True
    import math

    # Two NaNs are the same stored value, not a change.
    return isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b)


def _delta(a: Any, b: Any) -> Any:
    d = b - a
    if isinstance(d, float):
        # Twelve significant digits: 0.3 - 0.28 reads 0.02, not 0.019999999999999962.
        d = float(f"{d:.12g}")
    return d


def diff_products(a: str, b: str) -> dict[str, Any]:
    """Compare the vehicle records of two products.

    Returns ``{"a": {"path", "name"}, "b": {"path", "name"}, "changes": {...},
    "identical": bool}``. ``changes`` maps every key whose value differs,
    sorted, to ``{"change": "added" | "removed" | "changed", "a": ..., "b":
    ...}`` ("added": only in b; "removed": only in a; the missing side is
    None), with ``"delta"`` (b - a) when both values are numbers.
    """
    record_a = load_product(a)
    record_b = load_product(b)
    changes: dict[str, dict[str, Any]] = {}
    for key in sorted(record_a.keys() | record_b.keys()):
        in_a, in_b = key in record_a, key in record_b
        va, vb = record_a.get(key), record_b.get(key)
        if in_a and in_b:
            if _same(va, vb):
                continue
            entry = {"change": "changed", "a": va, "b": vb}
            if _is_number(va) and _is_number(vb):
                entry["delta"] = _delta(va, vb)
        else:
            entry = {"change": "added" if in_b else "removed", "a": va, "b": vb}
        changes[key] = entry
    return {
        "a": _side(a, record_a),
        "b": _side(b, record_b),
        "changes": changes,
        "identical": not changes,
    }


def _side(path: str, record: dict[str, Any]) -> dict[str, Any]:
    from pathlib import Path

    p = Path(os.path.abspath(path))
    return {"path": str(p), "name": record.get("vehicle_name", p.stem)}


# The names older callers know.
_open_default_prim = open_default_prim
_read_attributes = read_attributes
