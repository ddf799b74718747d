"""The wheels of a product, as separate rotating wall patches of its case.

The wheels are read by ``core.bodies.wheels`` (``product_wheels``).

In the case each wheel is sunk by ``SINK`` of its radius into the road, so
the tyre meets it through a small flat contact patch rather than a line
snappyHexMesh cannot resolve. Wheels ahead of the mid-wheelbase form the
patch ``frontWheels``, the others ``rearWheels``; each patch rotates at
road speed about its axle (``rotatingWallVelocity``: the contact line
moves with the ground). On each axle the wheels share their axis line, so
one condition serves both wheels of a full model.
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..core.bodies.wheels import WHEELS_PRIM, Wheel, file_wheels, product_wheels
from ..core.geometry import Triangles
from .features import emesh_name

#: How deep each tyre is sunk into the road, as a fraction of its radius.
SINK = 0.015
#: The patch names of the two axles, front first.
PATCHES = ("frontWheels", "rearWheels")
__all__ = [
    "PATCHES", "SINK", "WHEELS_PRIM", "Wheel", "axles", "configure", "file_wheels",
    "mid_wheelbase", "place", "product_wheels", "rolling", "sink",
]  # fmt: skip


def sink(wheels: Sequence[Wheel], fraction: float = SINK) -> list[Wheel]:
    """The wheels lowered by ``fraction`` of their radius (their contact patches)."""
    return [w.shifted(np.array([0.0, 0.0, -fraction * w.radius])) for w in wheels]


def axles(wheels: Sequence[Wheel]) -> tuple[list[Wheel], list[Wheel]]:
    """Front (upstream) and rear wheels, split at the mid-wheelbase."""
    if not wheels:
        return [], []
    xs = [w.centre[0] for w in wheels]
    mid = (min(xs) + max(xs)) / 2
    front = [w for w in wheels if w.centre[0] <= mid]
    rear = [w for w in wheels if w.centre[0] > mid]
    return front, rear


def mid_wheelbase(wheels: Sequence[Wheel]) -> float | None:
    if not wheels:
        return None
    xs = [w.centre[0] for w in wheels]
    return (min(xs) + max(xs)) / 2


def rolling(axle: Sequence[Wheel], speed: float) -> dict[str, Any]:
    """The ``rotatingWallVelocity`` condition of one axle at road speed ``speed``."""
    first = axle[0]
    centre = np.mean([w.centre for w in axle], axis=0)
    rolling_radius = float(np.mean([w.centre[2] for w in axle]))  # centre above the road
    return {
        "type": "rotatingWallVelocity",
        "origin": [round(float(v), 6) for v in centre],
        "axis": [round(float(v), 6) for v in first.axis],
        "omega": round(speed / rolling_radius, 6),
        "value": [0.0, 0.0, 0.0],
    }


def configure(
    case: Path,
    front: Sequence[Wheel],
    rear: Sequence[Wheel],
    *,
    speed: float,
    surface: tuple[int, int],
    layers: int,
    edges: int,
) -> list[str]:
    """Add the wheel patches to the case's dictionaries and fields; returns
    the names of the patches added (their STL files are already written)."""
    from foamlib import FoamFieldFile, FoamFile

    added = [name for name, axle in zip(PATCHES, (front, rear), strict=True) if axle]
    if not added:
        return []
    snappy = FoamFile(case / "system" / "snappyHexMeshDict")
    features = list(snappy["castellatedMeshControls", "features"])  # type: ignore[arg-type]
    fields = case / "0.orig"
    for name in added:
        snappy["geometry", f"{name}.stl"] = {"type": "triSurfaceMesh", "name": name}
        snappy["castellatedMeshControls", "refinementSurfaces", name] = {
            "level": list(surface),
            "patchInfo": {"type": "wall"},
        }
        features.append({"file": f'"{emesh_name(name)}"', "level": edges})
        snappy["addLayersControls", "layers", name] = {"nSurfaceLayers": layers}
    snappy["castellatedMeshControls", "features"] = features
    for field in ("p", "k", "omega", "nut"):
        f = FoamFieldFile(fields / field)
        body = f["boundaryField", "body"].as_dict()  # type: ignore[union-attr]
        for name in added:
            f["boundaryField", name] = body
    u = FoamFieldFile(fields / "U")
    for name, axle in zip(PATCHES, (front, rear), strict=True):
        if axle:
            u["boundaryField", name] = rolling(axle, speed)
    return added


def place(body: Triangles, wheels: Sequence[Wheel]) -> tuple[Triangles, list[Wheel]]:
    """Body and wheels moved together so the vehicle is centred on y = 0 and
    nothing is below the road z = 0; then each tyre sunk into the road."""
    parts = [body] + [w.triangles for w in wheels]
    flat = np.concatenate([p.reshape(-1, 3) for p in parts])
    lo, hi = flat.min(axis=0), flat.max(axis=0)
    shift = np.array([0.0, -(lo[1] + hi[1]) / 2, max(0.0, -lo[2])])
    return np.asarray(body + shift, dtype=np.float64), sink([w.shifted(shift) for w in wheels])
