"""The pictures of a dynamics run, with matplotlib's Agg backend: lateral
acceleration against road-wheel (and steering-wheel) angle, roll angle
against lateral acceleration, and the path driven."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np

from ..core.layer_io import atomic_write_bytes
from .errors import DynamicsError

GRAVITY = 9.81
PICTURE = "dynamics.png"
DPI = 100


def read_result(folder: Path) -> dict[str, Any]:
    try:
        result = json.loads((folder / "result.json").read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise DynamicsError(f"cannot read the run's result in {folder}: {exc}") from None
    if not isinstance(result, dict):
        raise DynamicsError(f"{folder / 'result.json'} is not a JSON object")
    return result


def render(folder: Path, steering_ratio: float | None = None, target: Path | None = None) -> Path:
    """``target`` (default ``dynamics.png`` in the run folder ``folder``), from its
    ``result.json``."""
    import io

    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    result = read_result(folder)
    steady = [s for s in result.get("steps") or [] if s.get("steady")]
    fig = Figure(figsize=(12.0, 4.0), dpi=DPI)
    steer_ax, roll_ax, path_ax = fig.subplots(1, 3)
    if steady:
        g = np.array([s["lateral_acc"] for s in steady]) / GRAVITY
        delta = np.array([s["road_wheel_angle_deg"] for s in steady])
        steer_ax.plot(g, delta, "o-", color="#1f5fa8")
        if steering_ratio:
            twin = steer_ax.twinx()
            twin.set_ylim(*(v * steering_ratio for v in steer_ax.get_ylim()))
            twin.set_ylabel("steering-wheel angle (deg)")
        roll_ax.plot(g, [s["roll_deg"] for s in steady], "o-", color="#d0542b")
    steer_ax.set_xlabel("lateral acceleration (g)")
    steer_ax.set_ylabel("road-wheel angle (deg)")
    steer_ax.set_title("steering")
    roll_ax.set_xlabel("lateral acceleration (g)")
    roll_ax.set_ylabel("roll angle (deg)")
    roll_ax.set_title("roll")
    series = np.asarray(result.get("series") or [], dtype=float)
    if series.ndim == 2 and len(series):
        path_ax.plot(series[:, 1], series[:, 2], color="#2c8c4a", linewidth=0.8)
    path_ax.set_aspect("equal", adjustable="datalim")
    path_ax.set_xlabel("x (m)")
    path_ax.set_ylabel("y (m)")
    path_ax.set_title("path")
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI, metadata={"Software": None})
    target = target or folder / PICTURE
    target.parent.mkdir(parents=True, exist_ok=True)
    atomic_write_bytes(target, buffer.getvalue())
    return target
