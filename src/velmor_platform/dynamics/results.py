"""The figures of a steady-state circular run, from its measured steps.

In the manner of ISO 4138 (constant radius, speed steps): each steady step
gives a point of lateral acceleration against road-wheel angle, roll and
yaw rate. The figures:

* the largest steady lateral acceleration (g);
* the yaw rate at the reference speed (interpolated between steady steps);
* the roll angle at the reference lateral acceleration (interpolated);
* the understeer gradient: the slope of the front road-wheel angle against
  lateral acceleration over the linear range (deg/g), and the same at the
  steering wheel (times the steering ratio). Beside it, the part of the two
  axles' steer difference (front minus rear road-wheel angle, which on a
  circle is the wheelbase over the radius plus the front minus the rear slip
  angle: the tyres' part) and the rear wheels' own steer with roll (roll
  steer of the rear suspension), which the front angle includes.

A figure the steady steps do not reach is left out and the reason given.
"""

from __future__ import annotations

from typing import Any

import numpy as np

GRAVITY = 9.81


def _interpolate(xs: list[float], ys: list[float], x: float) -> float | None:
    if len(xs) < 2 or not min(xs) <= x <= max(xs):
        return None
    order = np.argsort(xs)
    return float(np.interp(x, np.asarray(xs)[order], np.asarray(ys)[order]))


def summarise(
    steps: list[dict[str, Any]], settings: dict[str, Any], steering_ratio: float
) -> dict[str, Any]:
    """The run's figures and notes from its steps."""
    steady = [s for s in steps if s.get("steady")]
    notes: list[str] = []
    unsteady = sorted(
        (s for s in steps if not s.get("steady")), key=lambda s: float(s["target_lateral_acc"])
    )
    if unsteady:  # the lowest: where the limit was found
        s = unsteady[0]
        notes.append(
            f"step at {s['target_speed']:.1f} m/s ({s['target_lateral_acc']:g} m/s2) not steady: "
            f"{s.get('reason') or 'no reason given'}"
        )
    out: dict[str, Any] = {"steady_steps": len(steady), "notes": notes}
    if not steady:
        notes.insert(0, "no speed step reached steady state")
        return out
    # On a circle of known radius the lateral acceleration is v²/R from the window's mean
    # speed, as the constant-radius method has it. Near the limit the chassis' own mean carries
    # the path's slow wander across the window (1.5 % either way at 7.6 m/s²); below it the
    # two agree within 0.5 %.
    radius = float(settings["radius_m"])
    out["lateral_g"] = max(float(s["speed"]) ** 2 / radius for s in steady) / GRAVITY
    ay = [float(s["lateral_acc"]) for s in steady]
    speeds = [float(s["speed"]) for s in steady]
    ref_speed = float(settings["reference_speed"])
    yaw = _interpolate(speeds, [abs(float(s["yaw_rate_dps"])) for s in steady], ref_speed)
    if yaw is None:
        notes.append(f"the steady steps do not reach the reference speed {ref_speed:g} m/s")
    else:
        out["yaw_rate_dps"] = yaw
    ref_ay = float(settings["reference_lateral_g"]) * GRAVITY
    roll = _interpolate(ay, [float(s["roll_deg"]) for s in steady], ref_ay)
    if roll is None:
        notes.append(
            f"the steady steps do not reach the reference {settings['reference_lateral_g']:g} g"
        )
    else:
        out["roll_angle_deg"] = roll
    linear = [s for s in steady if float(s["lateral_acc"]) <= settings["linear_limit_g"] * GRAVITY]
    if len(linear) >= 2:
        g = np.array([float(s["lateral_acc"]) / GRAVITY for s in linear])
        delta = np.array([float(s["road_wheel_angle_deg"]) for s in linear])
        roll_deg = np.array([float(s["roll_deg"]) for s in linear])
        slope, intercept = np.polyfit(g, delta, 1)
        out["understeer_gradient_deg_per_g"] = float(slope)
        out["understeer_gradient_steering_deg_per_g"] = float(slope * steering_ratio)
        out["ackermann_angle_deg"] = float(intercept)
        out["roll_gradient_deg_per_g"] = float(np.polyfit(g, roll_deg, 1)[0])
        if all("rear_wheel_angle_deg" in s for s in linear):
            rear = np.array([float(s["rear_wheel_angle_deg"]) for s in linear])
            out["understeer_gradient_axles_deg_per_g"] = float(np.polyfit(g, delta - rear, 1)[0])
            out["rear_roll_steer_deg_per_g"] = float(np.polyfit(g, rear, 1)[0])
    else:
        notes.append("fewer than two steady steps in the linear range: no understeer gradient")
    return out
