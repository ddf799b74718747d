"""Appending a simulation run to a product's runs layer.

The runs layer is the product's sublayer named ``runs.usda`` (or
``runs.usdc``); each run is a ``Scope`` under ``<Vehicle>/Simulations``
named ``run_NNNN`` with the attributes of ``core.run_fields`` (what the
product reader returns): identity, status, cells and wall time, the
coefficients with their bands, what the run was computed with and its
convergence verdict. Only a completed run carries coefficients.

``set_current`` records which run the user chose as the product's current
aerodynamic result (or clears the choice).

The read-modify-write happens under the product's lock and the layer is
written atomically (``velmor_platform.core.layer_io``), so two runs
finishing at once are both recorded.
"""

from __future__ import annotations

import math
import re
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

from ..core.current_run import straight_ahead
from ..core.run_fields import CURRENT_AERO_ATTRIBUTE, RUN_FIELDS
from .errors import CfdError

#: Record key -> (USD attribute, value type name): the product reader's table.
FIELDS: tuple[tuple[str, str, str], ...] = RUN_FIELDS
COEFFICIENTS = ("cd", "cl", "cm_pitch", "cs", "cm_yaw")
STATUSES = ("completed", "failed", "diverged", "cancelled", "timeout")
_RUN_NAME = re.compile(r"^run_(\d+)$")


def utc_now() -> str:
    return datetime.now(UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


def runs_layer_path(usd_path: Path) -> Path:
    """The runs layer among the product's sublayers (``runs.usda`` beside it by default)."""
    from pxr import Sdf

    root = Sdf.Layer.FindOrOpen(str(usd_path))
    if root is None:
        raise CfdError(f"OpenUSD cannot open {usd_path}")
    for sub in root.subLayerPaths:
        if Path(sub).stem == "runs":
            path = Path(sub)
            return path if path.is_absolute() else (usd_path.parent / path).resolve()
    raise CfdError(f"{usd_path} has no runs layer (a sublayer named runs.usda) to record runs in")


def fresh_runs_layer(runs_path: Path) -> Any:
    """The runs layer as it is on disk now (another process may have recorded
    since OpenUSD cached it), or None when there is none."""
    from pxr import Sdf

    layer = Sdf.Layer.Find(str(runs_path))
    if layer is not None:
        layer.Reload(True)
        return layer
    return Sdf.Layer.FindOrOpen(str(runs_path))


def _runs_layer_to_write(runs_path: Path) -> Any:
    """``fresh_runs_layer``, or a new one in memory when there is none (the
    file itself comes from the caller's atomic save); ``CfdError`` when
    OpenUSD cannot read it. The caller holds the product's lock."""
    from pxr import Sdf, Tf

    from ..core.usd_product import tf_message

    try:
        layer = fresh_runs_layer(runs_path)
    except Tf.ErrorException as exc:
        raise CfdError(f"OpenUSD cannot open {runs_path}: {tf_message(exc)}") from exc
    return layer if layer is not None else Sdf.Layer.CreateAnonymous(".usda")


def _vehicle_path(usd_path: Path) -> Any:
    from pxr import Sdf

    root = Sdf.Layer.FindOrOpen(str(usd_path))
    name = root.defaultPrim if root is not None else ""
    if not name:
        raise CfdError(f"{usd_path} has no default (vehicle) prim")
    return Sdf.Path("/" + name.lstrip("/"))


def _clean(record: dict[str, Any]) -> dict[str, Any]:
    status = record.get("status")
    if status not in STATUSES:
        raise CfdError(f"run status {status!r} is not one of {', '.join(STATUSES)}")
    out = {k: v for k, v in record.items() if v is not None}
    out.setdefault("timestamp", utc_now())
    if status != "completed":
        for key in COEFFICIENTS:
            out.pop(key, None)
    for key in COEFFICIENTS:
        if key in out and not math.isfinite(float(out[key])):
            raise CfdError(f"refusing to record a non-finite {key} ({out[key]})")
    return out


def append_run(usd_path: Path, record: dict[str, Any], *, product_id: str) -> dict[str, Any]:
    """Append ``record`` as a new run of the product; returns it with its
    ``name`` and ``run_id`` filled in."""
    from ..core.layer_io import product_lock, save_layer

    record = _clean(record)
    runs_path = runs_layer_path(usd_path)
    vehicle = _vehicle_path(usd_path)
    with product_lock(usd_path):
        layer = _runs_layer_to_write(runs_path)
        try:
            name, number = _add_run_prim(layer, vehicle, record, product_id)
            save_layer(layer, runs_path)
        except BaseException:
            layer.Reload(True)  # leave no half-made edit in memory
            raise
    out = dict(record)
    out["name"] = name
    out.setdefault("run_id", f"{product_id.replace(':', '-')}-{number:04d}")
    return out


def _add_run_prim(
    layer: Any, vehicle: Any, record: dict[str, Any], product_id: str
) -> tuple[str, int]:
    from pxr import Sdf

    simulations_path = vehicle.AppendChild("Simulations")
    vehicle_spec = layer.GetPrimAtPath(vehicle) or Sdf.CreatePrimInLayer(layer, vehicle)
    simulations = layer.GetPrimAtPath(simulations_path)
    if simulations is None:
        simulations = Sdf.PrimSpec(vehicle_spec, "Simulations", Sdf.SpecifierDef, "Scope")
    used = [
        int(m.group(1)) for child in simulations.nameChildren if (m := _RUN_NAME.match(child.name))
    ]
    number = max(used, default=0) + 1
    name = f"run_{number:04d}"
    spec = Sdf.PrimSpec(simulations, name, Sdf.SpecifierDef, "Scope")
    values = dict(record)
    values.setdefault("run_id", f"{product_id.replace(':', '-')}-{number:04d}")
    for key, attribute, type_name in FIELDS:
        if key not in values:
            continue
        value = values[key]
        attr = Sdf.AttributeSpec(spec, attribute, getattr(Sdf.ValueTypeNames, type_name))
        if type_name == "Int":
            value = int(value)
        elif type_name == "Double":
            value = float(value)
        elif type_name == "Bool":
            value = bool(value)
        else:
            value = str(value)
        attr.default = value
    return name, number


def set_current(usd_path: Path, run: str | None, *, runs: list[dict[str, Any]]) -> str | None:
    """Choose ``run`` (a run's name or run id, among ``runs`` of the product)
    as the current aerodynamic result; None clears the choice. Returns the
    run's prim name, or None."""
    from pxr import Sdf

    from ..core.layer_io import product_lock, save_layer

    name: str | None = None
    if run is not None:
        found = [r for r in runs if run in (r.get("name"), r.get("run_id"))]
        if not found:
            raise CfdError(f"no run {run!r} in the history of {usd_path}")
        chosen = found[0]
        if chosen.get("status", "completed") != "completed" or not any(
            k in chosen for k in COEFFICIENTS
        ):
            raise CfdError(
                f"run {run!r} has no aerodynamic result to make current (status "
                f"{chosen.get('status', 'completed')})"
            )
        if not straight_ahead(chosen):
            raise CfdError(
                f"run {run!r} was computed at {chosen['yaw_deg']:g}° yaw; the current result "
                "comes only from straight-ahead runs (yaw 0): see the yaw sweep instead"
            )
        name = str(chosen["name"])
    runs_path = runs_layer_path(usd_path)
    vehicle = _vehicle_path(usd_path)
    with product_lock(usd_path):
        layer = _runs_layer_to_write(runs_path)
        try:
            vehicle_spec = layer.GetPrimAtPath(vehicle) or Sdf.CreatePrimInLayer(layer, vehicle)
            simulations = layer.GetPrimAtPath(vehicle.AppendChild("Simulations"))
            if simulations is None:
                simulations = Sdf.PrimSpec(vehicle_spec, "Simulations", Sdf.SpecifierDef, "Scope")
            attr = simulations.attributes.get(CURRENT_AERO_ATTRIBUTE)
            if name is None:
                if attr is not None:
                    simulations.RemoveProperty(attr)
            else:
                if attr is None:
                    attr = Sdf.AttributeSpec(
                        simulations, CURRENT_AERO_ATTRIBUTE, Sdf.ValueTypeNames.String
                    )
                attr.default = name
            save_layer(layer, runs_path)
        except BaseException:
            layer.Reload(True)
            raise
    return name
