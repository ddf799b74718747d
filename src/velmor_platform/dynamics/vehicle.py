"""The Chrono vehicle files of one run, adapted from Chrono's own sedan data.

Chrono reads a wheeled vehicle from JSON files under one data folder. The
run folder gets a copy of the files the sedan uses, changed where the
product and its handling template say: the axles at the product's
wheelbase, the suspension's hard points spread to its track, and the
springs set to the template's axle roll stiffnesses (the suspension's motion
ratio taken from its hard points), and the chassis body's mass and centre of
mass placed so that the whole vehicle has the product's mass, CG height and
the template's weight split.
"""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

from ..core.layer_io import atomic_write_bytes
from .errors import DynamicsError

#: Chrono's sedan files the runner reads, relative to its vehicle data folder.
SEDAN_FILES = (
    "sedan/vehicle/Sedan_Vehicle.json",
    "sedan/chassis/Sedan_Chassis.json",
    "sedan/suspension/Sedan_DoubleWishbone.json",
    "sedan/steering/Sedan_RackPinion.json",
    "sedan/wheel/Sedan_Wheel.json",
    "sedan/brake/Sedan_BrakeSimple.json",
    "sedan/driveline/Sedan_Driveline2WD.json",
    "sedan/powertrain/Sedan_EngineSimpleMap.json",
    "sedan/powertrain/Sedan_AutomaticTransmissionSimpleMap.json",
)
VEHICLE_FILE = "velmor/vehicle.json"
CHASSIS_FILE = "velmor/chassis.json"
#: The bodies of one double-wishbone corner: their masses and centres of mass.
CORNER_BODIES = ("Spindle", "Upright", "Upper Control Arm", "Lower Control Arm")
ENGINE_FILE = "sedan/powertrain/Sedan_EngineSimpleMap.json"
TRANSMISSION_FILE = "sedan/powertrain/Sedan_AutomaticTransmissionSimpleMap.json"
SUSPENSION_FILES = {"double_wishbone": "sedan/suspension/Sedan_DoubleWishbone.json"}
GRAVITY = 9.81


def _read(data_dir: Path, name: str) -> dict[str, Any]:
    try:
        value = json.loads((data_dir / name).read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise DynamicsError(f"cannot read Chrono's {name}: {exc}") from None
    if not isinstance(value, dict):
        raise DynamicsError(f"Chrono's {name} is not a JSON object")
    return value


def _write(folder: Path, name: str, value: dict[str, Any]) -> None:
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    atomic_write_bytes(path, (json.dumps(value, indent=2) + "\n").encode())


def _scale_y(value: Any, factor: float) -> Any:
    """Every 3-vector's lateral coordinate times ``factor``."""
    if isinstance(value, dict):
        return {k: _scale_y(v, factor) for k, v in value.items()}
    if (
        isinstance(value, list)
        and len(value) == 3
        and all(isinstance(v, int | float) for v in value)
    ):
        return [value[0], value[1] * factor, value[2]]
    return value


def half_track(suspension: dict[str, Any]) -> float:
    """The lateral position of the wheel centre (half the track)."""
    return float(suspension["Spindle"]["COM"][1])


def spring_geometry(suspension: dict[str, Any]) -> tuple[float, float]:
    """(motion ratio, cosine of the spring's inclination) of a double wishbone:
    the spring's travel per unit of wheel travel along the lower arm, and how
    much of its force acts vertically."""
    arm = suspension["Lower Control Arm"]
    axis_y = 0.5 * (arm["Location Chassis Front"][1] + arm["Location Chassis Back"][1])
    spring = suspension["Spring"]
    lever = spring["Location Arm"][1] - axis_y
    wheel = half_track(suspension) - axis_y
    d = [a - b for a, b in zip(spring["Location Chassis"], spring["Location Arm"], strict=True)]
    length = math.sqrt(sum(c * c for c in d))
    return lever / wheel, abs(d[2]) / length


def spring_length(suspension: dict[str, Any]) -> float:
    spring = suspension["Spring"]
    d = [a - b for a, b in zip(spring["Location Chassis"], spring["Location Arm"], strict=True)]
    return math.sqrt(sum(c * c for c in d))


def axle_roll_stiffness_to_spring(
    roll_nm_per_deg: float, track: float, motion_ratio: float, cosine: float
) -> float:
    """The spring rate (N/m) giving an axle ``roll_nm_per_deg`` of roll stiffness."""
    k_roll = roll_nm_per_deg * 180.0 / math.pi
    wheel_rate = 2.0 * k_roll / (track * track)
    return wheel_rate / (motion_ratio * cosine) ** 2


def _corner_moments(
    suspension: dict[str, Any], location: list[float], wheel_mass: float
) -> tuple[float, float, float]:
    """(mass, first moment in x, in z) of both corners of an axle, wheels and tyres included."""
    mass = mx = mz = 0.0
    for name in CORNER_BODIES:
        body = suspension[name]
        m = float(body["Mass"])
        com = body["COM"]
        mass += 2 * m
        mx += 2 * m * (location[0] + com[0])
        mz += 2 * m * (location[2] + com[2])
    spindle = suspension["Spindle"]["COM"]
    mass += 2 * wheel_mass
    mx += 2 * wheel_mass * (location[0] + spindle[0])
    mz += 2 * wheel_mass * (location[2] + spindle[2])
    return mass, mx, mz


def place_chassis(
    chassis: dict[str, Any],
    axles: list[tuple[dict[str, Any], list[float]]],
    others: tuple[float, float, float],
    values: dict[str, Any],
    spec: dict[str, float],
) -> dict[str, float]:
    """Set the chassis component's mass, inertia and centre of mass (in place) so
    that the vehicle has the product's mass and CG height and the template's
    weight split; returns the static geometry the runner starts from."""
    wheel_mass = float(values["wheel_mass_kg"]) + float(values["tyre_mass_kg"])
    mass, mx, mz = others
    for suspension, location in axles:
        m, x, z = _corner_moments(suspension, location, wheel_mass)
        mass, mx, mz = mass + m, mx + x, mz + z
    total = float(spec["mass"])
    body = total - mass
    if body < 0.5 * total:
        raise DynamicsError(
            f"mass {total:g} kg leaves the body {body:.0f} kg after wheels and suspension"
        )
    radius = float(values["tyre_rim_diameter_m"]) / 2 + float(values["tyre_width_m"]) * float(
        values["tyre_aspect_ratio"]
    )
    deflection = total * GRAVITY / 4 / float(values["tyre_vertical_stiffness_n_per_m"])
    centres = [loc[2] + susp["Spindle"]["COM"][2] for susp, loc in axles]
    xs = [loc[0] + susp["Spindle"]["COM"][0] for susp, loc in axles]
    wheelbase = xs[0] - xs[1]
    pitch = math.atan2(centres[0] - centres[1], wheelbase)
    cg_x = xs[1] + float(values["front_weight_share"]) * wheelbase
    # The ground under the CG, in the chassis frame, with the body pitched to sit on all four.
    ground = centres[1] + (cg_x - xs[1]) * math.tan(pitch) - (radius - deflection) / math.cos(pitch)
    cg_z = ground + float(spec["cg_height"])
    component = chassis["Components"][0]
    old_mass = float(component["Mass"])
    component["Mass"] = body
    component["Moments of Inertia"] = [v * body / old_mass for v in component["Moments of Inertia"]]
    component["Centroidal Frame"]["Location"] = [
        (total * cg_x - mx) / body,
        0.0,
        (total * cg_z - mz) / body,
    ]
    return {
        "init_height_m": radius - deflection - (centres[1] - xs[1] * math.tan(pitch)) + 0.005,
        "init_pitch_rad": pitch,
        "body_mass_kg": body,
    }


def build(
    chrono_data: Path, folder: Path, values: dict[str, Any], spec: dict[str, float]
) -> dict[str, Any]:
    """Write the run's vehicle files into ``folder`` (a Chrono vehicle data
    folder); returns what was derived (spring rates, motion ratios)."""
    kind = str(values["suspension"])
    if kind not in SUSPENSION_FILES:
        raise DynamicsError(
            f"suspension {kind!r} is not one this runner builds ({', '.join(SUSPENSION_FILES)})"
        )
    for name in SEDAN_FILES:  # verbatim: Chrono's reader takes comments plain JSON does not
        try:
            data = (chrono_data / name).read_bytes()
        except OSError as exc:
            raise DynamicsError(f"cannot read Chrono's {name}: {exc.strerror or exc}") from None
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        atomic_write_bytes(folder / name, data)
    vehicle = _read(chrono_data, "sedan/vehicle/Sedan_Vehicle.json")
    base = _read(chrono_data, SUSPENSION_FILES[kind])
    wheelbase = float(spec["wheelbase"])
    track = float(spec["track_width"])
    scaled = _scale_y(base, track / (2.0 * half_track(base)))
    ratio, cosine = spring_geometry(scaled)
    length = spring_length(scaled)
    sprung_share = float(values["sprung_mass_share"])
    front_share = float(values["front_weight_share"])
    derived: dict[str, Any] = {"motion_ratio": ratio, "spring_cosine": cosine}
    axles = vehicle["Axles"]
    for index, (end, share) in enumerate((("front", front_share), ("rear", 1.0 - front_share))):
        rate = axle_roll_stiffness_to_spring(
            float(values[f"roll_stiffness_{end}_nm_per_deg"]), track, ratio, cosine
        )
        # Preload for the static corner load, so the car sits at its design height.
        corner = float(spec["mass"]) * GRAVITY * share * sprung_share / 2.0
        spring_force = corner / (ratio * cosine)
        susp = json.loads(json.dumps(scaled))
        susp["Name"] = f"Velmor {end} double wishbone"
        susp["Spring"]["Spring Coefficient"] = rate
        susp["Spring"]["Free Length"] = length + spring_force / rate
        name = f"velmor/suspension_{end}.json"
        _write(folder, name, susp)
        axles[index]["Suspension Input File"] = name
        derived[f"spring_rate_{end}_n_per_m"] = rate
    steer_offset = (
        vehicle["Steering Subsystems"][0]["Location"][0] - axles[0]["Suspension Location"][0]
    )
    axles[0]["Suspension Location"][0] = wheelbase / 2.0
    axles[1]["Suspension Location"][0] = -wheelbase / 2.0
    vehicle["Steering Subsystems"][0]["Location"][0] = wheelbase / 2.0 + steer_offset
    vehicle["Wheelbase"] = wheelbase
    vehicle["Name"] = "Velmor sedan-class vehicle"
    chassis = _read(chrono_data, "sedan/chassis/Sedan_Chassis.json")
    steering = _read(chrono_data, "sedan/steering/Sedan_RackPinion.json")
    wheel = _read(chrono_data, "sedan/wheel/Sedan_Wheel.json")
    values = {**values, "wheel_mass_kg": float(wheel["Mass"])}
    link = float(steering["Steering Link"]["Mass"])
    location = vehicle["Steering Subsystems"][0]["Location"]
    fronts = [
        json.loads((folder / f"velmor/suspension_{end}.json").read_text())
        for end in ("front", "rear")
    ]
    derived.update(
        place_chassis(
            chassis,
            [
                (fronts[0], axles[0]["Suspension Location"]),
                (fronts[1], axles[1]["Suspension Location"]),
            ],
            (link, link * location[0], link * location[2]),
            values,
            spec,
        )
    )
    chassis["Name"] = "Velmor chassis"
    _write(folder, CHASSIS_FILE, chassis)
    vehicle["Chassis"]["Input File"] = CHASSIS_FILE
    _write(folder, VEHICLE_FILE, vehicle)
    return derived
