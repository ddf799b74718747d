"""A product's latest yaw sweep: its aerodynamic runs at several yaw angles.

The headline results come from straight-ahead runs only
(``current_run``); yawed runs are read together, as a sweep. The latest
sweep is the set of completed aerodynamic runs that belong with the newest
yawed run: those of the same study when it was part of one, else those of
the same geometry, mesh level and speed. Each angle is represented by its
newest run, the straight-ahead one included when there is one.
"""

from __future__ import annotations

from typing import Any

from .current_run import AERODYNAMICS, straight_ahead

#: What a point of the sweep carries from its run.
POINT_KEYS = ("run_id", "name", "cd", "cl", "cs", "cm_yaw", "cd_band", "converged", "speed")


def _aero(run: dict[str, Any]) -> bool:
    return (
        run.get("status", "completed") == "completed"
        and run.get("domain", AERODYNAMICS) == AERODYNAMICS
        and isinstance(run.get("cd"), (int, float))
    )


def _together(run: dict[str, Any], newest: dict[str, Any]) -> bool:
    if newest.get("study"):
        return bool(run.get("study") == newest["study"])
    return all(run.get(k) == newest.get(k) for k in ("geometry_key", "level", "speed"))


def latest_yaw_sweep(runs: list[dict[str, Any]]) -> dict[str, Any] | None:
    """The latest sweep of ``runs`` (oldest first): its study (or None),
    level and speed, and one point per yaw angle, by angle; None when no
    run was yawed."""
    aero = [r for r in runs if _aero(r)]
    yawed = [r for r in aero if not straight_ahead(r)]
    if not yawed:
        return None
    newest = yawed[-1]
    by_angle: dict[float, dict[str, Any]] = {}
    for run in aero:
        if _together(run, newest):
            yaw = float(run.get("yaw_deg") or 0.0)
            by_angle[yaw] = {"yaw_deg": yaw, **{k: run[k] for k in POINT_KEYS if k in run}}
    return {
        "study": newest.get("study"),
        "level": newest.get("level"),
        "speed": newest.get("speed"),
        "points": [by_angle[a] for a in sorted(by_angle)],
    }
