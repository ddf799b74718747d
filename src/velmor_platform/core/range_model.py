"""Highway range estimate, set against competitor vehicles.

Model: the vehicle cruises on level road at a constant highway speed with
no wind. The battery supplies the road load through the drivetrain plus a
constant auxiliary load::

    P_road    = 0.5 * rho * cd * A * v**3  +  crr * m * g * v      [W]
    P_battery = P_road / drivetrain_efficiency + P_aux               [W]
    range     = E_battery / (P_battery / v)                          [m]

with E_battery = battery_kwh * 3.6e6 J, all of it usable.

Constants:

    SPEED_KMH = 120 km/h (v = 33.333 m/s)   typical motorway cruise
    AIR_DENSITY = 1.225 kg/m^3              ISA sea level, 15 degC
    GRAVITY = 9.81 m/s^2
    AUXILIARY_POWER_W = 500 W               climate control, lighting, electronics

Vehicle record keys used, with the default applied when a key is missing
(or None):

    mass                   1800 kg
    frontal_area           2.3 m^2
    battery_kwh            75 kWh
    crr                    0.009
    drivetrain_efficiency  0.9

Competitors are the USD files ``<workspace>/competitors/*.usda`` (and
``.usdc``), where ``<workspace>`` holds the product. Each file's default
prim carries ``vehicleName``, ``cd`` (or, lacking a measured figure,
``targetCd``), and the attributes that the product reader maps to the keys
above (``mass``, ``frontalArea``, ``batteryCapacityKwh``,
``rollingResistance``, ``drivetrainEfficiency``); missing ones take the same
defaults. A competitor file that cannot be read, or gives no drag
coefficient, raises ``ValueError`` naming it.
"""

from __future__ import annotations

import math
import os
from numbers import Real
from pathlib import Path
from typing import Any

from .usd_product import VEHICLE_ATTRIBUTES, open_default_prim, read_attributes
from .workspace import workspace_of

SPEED_KMH = 120.0
SPEED_MS = SPEED_KMH / 3.6
AIR_DENSITY = 1.225
GRAVITY = 9.81
AUXILIARY_POWER_W = 500.0

DEFAULTS = {
    "mass": 1800.0,
    "frontal_area": 2.3,
    "battery_kwh": 75.0,
    "crr": 0.009,
    "drivetrain_efficiency": 0.9,
}

COMPETITORS_DIR = "competitors"
_COMPETITOR_ATTRIBUTES = (*VEHICLE_ATTRIBUTES, ("cd", "cd"))


def highway_range_km(
    cd: float,
    *,
    mass: float,
    frontal_area: float,
    battery_kwh: float,
    crr: float,
    drivetrain_efficiency: float,
) -> float:
    """Range in km at ``SPEED_KMH``, unrounded."""
    v = SPEED_MS
    road_power = 0.5 * AIR_DENSITY * cd * frontal_area * v**3 + crr * mass * GRAVITY * v
    battery_power = road_power / drivetrain_efficiency + AUXILIARY_POWER_W
    energy_j = battery_kwh * 3.6e6
    return energy_j / (battery_power / v) / 1000.0


def _positive_number(value: Any, what: str, *, allow_zero: bool = False) -> float:
    ok = isinstance(value, Real) and not isinstance(value, bool) and math.isfinite(value)
    if ok:
        value = float(value)
        ok = value >= 0 if allow_zero else value > 0
    if not ok:
        bound = "a finite number >= 0" if allow_zero else "a finite positive number"
        raise ValueError(f"{what} must be {bound}, got {value!r}")
    return float(value)


def _inputs(record: dict[str, Any], source: str) -> dict[str, float]:
    values: dict[str, float] = {}
    for key, default in DEFAULTS.items():
        value = record.get(key)
        value = default if value is None else value
        values[key] = _positive_number(value, f"{key} of {source}", allow_zero=(key == "crr"))
    if values["drivetrain_efficiency"] > 1:
        raise ValueError(
            f"drivetrain_efficiency of {source} must not exceed 1, "
            f"got {values['drivetrain_efficiency']!r}"
        )
    return values


def _competitor_files(workspace: Path) -> list[Path]:
    folder = workspace / COMPETITORS_DIR
    if not folder.is_dir():
        return []
    return sorted(
        p
        for p in folder.iterdir()
        if p.suffix in (".usda", ".usdc") and not p.name.startswith(".") and p.is_file()
    )


def _competitor(path: Path) -> dict[str, Any]:
    _stage, prim = open_default_prim(path, with_runs=False)
    record = read_attributes(prim, _COMPETITOR_ATTRIBUTES)
    cd = record.get("cd", record.get("target_cd"))
    if cd is None:
        raise ValueError(f"competitor {path} has no drag coefficient (cd or targetCd)")
    cd = _positive_number(cd, f"cd of competitor {path}")
    name = record.get("vehicle_name") or path.stem
    range_km = highway_range_km(cd, **_inputs(record, f"competitor {path}"))
    return {"name": name, "cd": cd, "range_km": range_km}


def range_competitiveness(vehicle: dict[str, Any], usd_path: Any, cd: Any) -> dict[str, Any]:
    """Highway range of the product at drag coefficient ``cd``, ranked
    against the workspace's competitors.

    Returns ``{"product", "cd", "speed_kmh", "range_km", "inputs",
    "competitors": [{"name", "cd", "range_km"}, ...] (longest range first),
    "rank", "field_size"}``. ``rank`` is 1-based among the product and its
    competitors by range, a tie going to the product. Ranges are in km,
    rounded to 0.1 km.
    """
    cd = _positive_number(cd, "cd")
    name = vehicle.get("vehicle_name") or Path(os.fspath(usd_path)).stem
    inputs = _inputs(vehicle, f"product {name!r}")
    own_range = highway_range_km(cd, **inputs)

    competitors = [_competitor(p) for p in _competitor_files(workspace_of(usd_path))]
    competitors.sort(key=lambda c: (-c["range_km"], c["name"]))
    rank = 1 + sum(1 for c in competitors if c["range_km"] > own_range)
    for c in competitors:
        c["range_km"] = round(c["range_km"], 1)

    return {
        "product": name,
        "cd": cd,
        "speed_kmh": SPEED_KMH,
        "range_km": round(own_range, 1),
        "inputs": inputs,
        "competitors": competitors,
        "rank": rank,
        "field_size": len(competitors) + 1,
    }
