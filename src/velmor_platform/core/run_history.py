"""A product's runs and its current results, read from its layers.

``usd_product`` opens the product; this module turns what it opened into
records. Runs are read from the prim specs of the root layer stack when
nothing there composes (``_run_specs``: several times faster with
thousands of runs), else from the composed ``Simulations`` prims
(``_read_runs``). The current aerodynamic result is ``current_run``'s
choice among them; the dynamics results come from the newest completed
run reporting any.
"""

from __future__ import annotations

from pxr import Sdf

from .current_run import FIDELITY_KEYS, choose
from .run_fields import CURRENT_AERO_ATTRIBUTE
from .run_fields import RUN_ATTRIBUTES as _RUN_ATTRIBUTES

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: typing costs this module nothing at import
    from collections.abc import Iterable
    from typing import Any

# Every run attribute the recorder writes (``run_fields``): history shows them all.
RUN_ATTRIBUTES: tuple[tuple[str, str], ...] = _RUN_ATTRIBUTES

SIMULATIONS_PRIM = "Simulations"

# (run key, record key) groups: each group's latest values come from one run.
_CURRENT_GROUPS: tuple[tuple[tuple[str, str], ...], ...] = (
    (("cd", "current_cd"), ("cl", "current_cl"), ("cm_pitch", "current_cm")),
    (
        ("lateral_g", "current_lateral_g"),
        ("yaw_rate_dps", "current_yaw_rate_dps"),
        ("roll_angle_deg", "current_roll_angle_deg"),
    ),
)


def _plain(value: Any) -> Any:
    """A USD value as plain Python data."""
    if isinstance(value, (float, int, str)):  # bool is an int
        return value
    if isinstance(value, Sdf.AssetPath):
        return value.path
    if hasattr(value, "__len__") and hasattr(value, "__getitem__"):  # Vt arrays, Gf vectors
        return [_plain(v) for v in value]
    return value


def read_attributes(prim: Any, mapping: Iterable[tuple[str, str]]) -> dict[str, Any]:
    """Record keys for the attributes of ``prim`` that hold a value."""
    out: dict[str, Any] = {}
    get_attribute = prim.GetAttribute
    for attr_name, key in mapping:
        attr = get_attribute(attr_name)
        if attr:
            value = attr.Get()
            if value is not None:
                out[key] = _plain(value)
    return out


def _timestamp_key(run: dict[str, Any]) -> tuple[Any, str, str]:
    from datetime import UTC, datetime  # not needed to import this module

    stamp = run.get("timestamp")
    when = datetime.min
    if isinstance(stamp, str):
        try:
            parsed = datetime.fromisoformat(stamp)
        except ValueError:
            pass
        else:
            # Naive timestamps are taken as UTC so that they compare with
            # zone-qualified ones.
            if parsed.tzinfo is not None:
                parsed = parsed.astimezone(UTC).replace(tzinfo=None)
            when = parsed
    return (when, stamp if isinstance(stamp, str) else "", run["name"])


def _read_runs(vehicle_prim: Any) -> list[dict[str, Any]]:
    simulations = vehicle_prim.GetChild(SIMULATIONS_PRIM)
    if not simulations:
        return []
    runs = []
    for run_prim in simulations.GetChildren():
        run = {"name": run_prim.GetName()}
        run.update(read_attributes(run_prim, RUN_ATTRIBUTES))
        runs.append(run)
    runs.sort(key=_timestamp_key)
    return runs


# Prim metadata that would make a run's composed value differ from the
# strongest opinion in the layer stack: composition arcs, clips, activation,
# instancing.
_COMPOSING_KEYS = frozenset(
    {
        "references",
        "payload",
        "inheritPaths",
        "specializes",
        "variantSetNames",
        "variantSelection",
        "active",
        "clips",
        "clipSets",
        "instanceable",
    }
)


def _plain_spec(spec: Any) -> bool:
    return spec.specifier != Sdf.SpecifierClass and _COMPOSING_KEYS.isdisjoint(spec.ListInfoKeys())


def _plain_vehicle(vehicle_prim: Any) -> bool:
    """No arc, variant or clip on the vehicle's specs or their Simulations prims."""
    for vehicle_spec in vehicle_prim.GetPrimStack():
        if not _plain_spec(vehicle_spec):
            return False
        spec = vehicle_spec.nameChildren.get(SIMULATIONS_PRIM)
        if spec is not None and not _plain_spec(spec):
            return False
    return True


def _run_specs(vehicle_prim: Any) -> dict[str, list[Any]] | None:
    """Each run's prim specs in the root layer stack, strongest first.

    Reading the layers' specs rather than composed prims is several times
    faster with thousands of runs, and gives the composed answer for what
    products hold: run prims defined directly in the layers. Anything that
    composition would change (an arc, variant or clip on the vehicle, its
    Simulations prim or a run; a deactivated or abstract run) gives None,
    and the caller composes the stage instead.
    """
    simulations_specs = []
    # The vehicle's specs, strongest first. (Going through the prim rather
    # than the stage's layer list also keeps OpenUSD from holding on to a
    # Python object per layer and call.)
    for vehicle_spec in vehicle_prim.GetPrimStack():
        if not _plain_spec(vehicle_spec):
            return None
        children = vehicle_spec.nameChildren
        if SIMULATIONS_PRIM in children:
            spec = children[SIMULATIONS_PRIM]
            if not _plain_spec(spec):
                return None
            simulations_specs.append(spec)
    if not any(spec.specifier == Sdf.SpecifierDef for spec in simulations_specs):
        return None if simulations_specs else {}
    runs: dict[str, list[Any]] = {}
    for spec in simulations_specs:
        for child in spec.nameChildren:
            runs.setdefault(child.name, []).append(child)
    defined = {}
    for name, specs in runs.items():
        if not all(_plain_spec(spec) for spec in specs):
            return None
        # "over" alone defines nothing.
        if any(spec.specifier == Sdf.SpecifierDef for spec in specs):
            defined[name] = specs
    return defined


def _run_record(
    name: str, specs: list[Any], mapping: Iterable[tuple[str, str]] = RUN_ATTRIBUTES
) -> dict[str, Any]:
    """The run's record from its specs: the strongest authored default wins."""
    run: dict[str, Any] = {"name": name}
    tables = [spec.attributes for spec in specs]
    for attr_name, key in mapping:
        for attrs in tables:
            attr = attrs.get(attr_name)  # one call: faster than "in" and [] for many runs
            if attr is None:
                continue
            value = attr.default
            if value is None:
                continue  # declared without a value here: a weaker layer may hold one
            if not isinstance(value, Sdf.ValueBlock):
                run[key] = _plain(value)
            break
    return run


_ORDER_ATTRIBUTES = (("timestamp", "timestamp"), ("status", "status"))
_USD_NAME = {key: attr_name for attr_name, key in _RUN_ATTRIBUTES}
_FIDELITY_ATTRIBUTES = tuple((_USD_NAME[key], key) for key in FIDELITY_KEYS)


def _pinned_from_specs(vehicle_prim: Any) -> str | None:
    """The run the user chose as current, from the strongest Simulations spec holding it."""
    for vehicle_spec in vehicle_prim.GetPrimStack():
        simulations = vehicle_spec.nameChildren.get(SIMULATIONS_PRIM)
        if simulations is None:
            continue
        attr = simulations.attributes.get(CURRENT_AERO_ATTRIBUTE)
        if attr is not None and attr.default is not None:
            value = attr.default
            return value if isinstance(value, str) and value else None
    return None


def _pinned(vehicle_prim: Any) -> str | None:
    simulations = vehicle_prim.GetChild(SIMULATIONS_PRIM)
    attr = simulations.GetAttribute(CURRENT_AERO_ATTRIBUTE) if simulations else None
    value = attr.Get() if attr else None
    return value if isinstance(value, str) and value else None


def _take(current: dict[str, Any], run: dict[str, Any] | None, group: Any) -> None:
    if run is not None:
        for run_key, record_key in group:
            if run_key in run:
                current[record_key] = run[run_key]


def _current_from_specs(
    run_specs: dict[str, list[Any]], pinned: str | None = None
) -> dict[str, Any]:
    """``_current_results`` of the runs, reading in full only the runs it
    looks at: the light fields of every run, then the chosen ones."""
    aero, *others = _CURRENT_GROUPS
    light = [
        (_run_record(name, specs, _ORDER_ATTRIBUTES + _FIDELITY_ATTRIBUTES), specs)
        for name, specs in run_specs.items()
    ]
    light.sort(key=lambda entry: _timestamp_key(entry[0]))
    current: dict[str, Any] = {}
    names = [_USD_NAME[run_key] for run_key, _ in aero]
    flagged = []
    for record, specs in light:
        if any(name in spec.attributes for spec in specs for name in names):
            flagged.append({**record, **{run_key: None for run_key, _ in aero}})
    chosen = choose(flagged, [run_key for run_key, _ in aero], pinned)
    if chosen is not None:
        _take(current, _run_record(chosen["name"], run_specs[chosen["name"]]), aero)
    for group in others:
        names = [_USD_NAME[run_key] for run_key, _ in group]
        for record, specs in reversed(light):
            if record.get("status", "completed") != "completed":
                continue
            if not any(name in spec.attributes for spec in specs for name in names):
                continue  # none of the group's attributes: skip the full read
            run = _run_record(record["name"], specs)
            if any(run_key in run for run_key, _ in group):
                _take(current, run, group)
                break
    return current


def _current_results(runs: list[dict[str, Any]], pinned: str | None = None) -> dict[str, Any]:
    aero, *others = _CURRENT_GROUPS
    current: dict[str, Any] = {}
    _take(current, choose(runs, [run_key for run_key, _ in aero], pinned), aero)
    for group in others:
        for run in reversed(runs):
            if run.get("status", "completed") != "completed":
                continue
            if any(run_key in run for run_key, _ in group):
                _take(current, run, group)
                break
    return current
