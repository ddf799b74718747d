"""The wheels of a product, as separate rotating wall patches of its case.

``product_wheels`` reads every ``UsdGeom.Gprim`` child of the vehicle's
``Wheels`` prim (what the product composes, the variant's own wheel set
included): a ``Cylinder`` is tessellated from its radius, height and axis,
a ``Mesh`` is fan-triangulated; each gets the transform, unit scale and
up axis the body gets. A wheel's centre, axis, radius and width come from
that geometry.

In the case each wheel is sunk by ``SINK`` of its radius into the road, so
the tyre meets it through a small flat contact patch rather than a line
snappyHexMesh cannot resolve. Wheels ahead of the mid-wheelbase form the
patch ``frontWheels``, the others ``rearWheels``; each patch rotates at
road speed about its axle (``rotatingWallVelocity``: the contact line
moves with the ground). On each axle the wheels share their axis line, so
one condition serves both wheels of a full model.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..core.geometry import Triangles, fan, open_stage, stage_to_metres, vehicle_prim
from .errors import CfdError

#: How deep each tyre is sunk into the road, as a fraction of its radius.
SINK = 0.015
#: Segments around a tessellated cylinder.
SEGMENTS = 48
#: The patch names of the two axles, front first.
PATCHES = ("frontWheels", "rearWheels")
WHEELS_PRIM = "Wheels"


@dataclass(frozen=True)
class Wheel:
    name: str
    centre: tuple[float, float, float]  # metres, Z up
    axis: tuple[float, float, float]  # unit vector of the axle
    radius: float
    width: float
    triangles: Triangles

    def shifted(self, offset: npt.NDArray[np.float64]) -> Wheel:
        centre = tuple(float(c) for c in np.asarray(self.centre) + offset)
        return Wheel(
            self.name, (centre[0], centre[1], centre[2]), self.axis, self.radius, self.width,
            np.asarray(self.triangles + offset, dtype=np.float64),
        )  # fmt: skip


def _cylinder(radius: float, height: float, axis: str) -> Triangles:
    """A closed cylinder about the local ``axis`` (X, Y or Z), centred at the origin."""
    theta = np.linspace(0.0, 2 * np.pi, SEGMENTS, endpoint=False)
    ring = np.c_[radius * np.cos(theta), radius * np.sin(theta)]
    lo = np.c_[ring, np.full(SEGMENTS, -height / 2)]
    hi = np.c_[ring, np.full(SEGMENTS, height / 2)]
    tris = []
    for k in range(SEGMENTS):
        k1 = (k + 1) % SEGMENTS
        tris += [[lo[k], lo[k1], hi[k1]], [lo[k], hi[k1], hi[k]]]
        tris += [[np.array([0.0, 0.0, -height / 2]), lo[k1], lo[k]]]
        tris += [[np.array([0.0, 0.0, height / 2]), hi[k], hi[k1]]]
    tri = np.array(tris, dtype=np.float64)
    # Local Z is the axis: a cyclic permutation to the cylinder's axis keeps handedness.
    return np.asarray(tri[..., {"X": [2, 0, 1], "Y": [1, 2, 0], "Z": [0, 1, 2]}[axis]])


def _transform(points: npt.NDArray[np.float64], matrix: Any, to_metres: Any) -> Any:
    flat = points.reshape(-1, 3)
    homogeneous = np.c_[flat, np.ones(len(flat))] @ matrix
    return (homogeneous[:, :3] @ to_metres.T).reshape(points.shape)


def _from_triangles(name: str, tri: Triangles, axis_hint: Any = None) -> Wheel:
    flat = tri.reshape(-1, 3)
    lo, hi = flat.min(axis=0), flat.max(axis=0)
    centre = (lo + hi) / 2
    extent = hi - lo
    if axis_hint is None:
        axis_hint = np.eye(3)[int(np.argmin(extent))]
    axis = np.asarray(axis_hint, dtype=np.float64)
    axis /= np.linalg.norm(axis)
    # Rolling forwards on a road moving at +x: the axle points to -y.
    if np.cross(axis, [0.0, 0.0, -1.0])[0] < 0:
        axis = -axis
    width = float(abs(extent @ np.abs(axis)))
    radius = float(np.max(np.delete(extent, int(np.argmax(np.abs(axis))))) / 2)
    c = tuple(float(v) for v in centre)
    a = tuple(float(v) + 0.0 for v in axis)
    return Wheel(name, (c[0], c[1], c[2]), (a[0], a[1], a[2]), radius, width, tri)


def product_wheels(usd_path: str | os.PathLike[str]) -> list[Wheel]:
    """The wheels the product composes, in metres, Z up; [] without a Wheels prim."""
    from pxr import Usd, UsdGeom

    path = Path(usd_path)
    stage = open_stage(path)
    wheels = vehicle_prim(stage, path).GetChild(WHEELS_PRIM)
    if not wheels:
        return []
    to_metres = stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    out = []
    for prim in Usd.PrimRange(wheels):
        if not prim.IsA(UsdGeom.Gprim) or prim == wheels:
            continue
        matrix = np.array(cache.GetLocalToWorldTransform(prim), dtype=np.float64)
        if prim.IsA(UsdGeom.Cylinder):
            cyl = UsdGeom.Cylinder(prim)
            radius = float(cyl.GetRadiusAttr().Get())
            height = float(cyl.GetHeightAttr().Get())
            axis = str(cyl.GetAxisAttr().Get() or "Z")
            if not (radius > 0 and height > 0):
                raise CfdError(f"{path}: wheel {prim.GetPath()} has no positive radius and height")
            local = _cylinder(radius, height, axis)
            hint = np.eye(3)["XYZ".index(axis)]
            world_axis = _transform(np.array([hint, np.zeros(3)]), matrix, to_metres)
            hint = world_axis[0] - world_axis[1]
        elif prim.IsA(UsdGeom.Mesh):
            mesh = UsdGeom.Mesh(prim)
            points = np.asarray(mesh.GetPointsAttr().Get() or [], dtype=np.float64).reshape(-1, 3)
            counts = np.asarray(mesh.GetFaceVertexCountsAttr().Get() or [], dtype=np.int64)
            indices = np.asarray(mesh.GetFaceVertexIndicesAttr().Get() or [], dtype=np.int64)
            if not len(points) or not len(counts) or counts.sum() != len(indices):
                continue
            local = fan(points, counts, indices, False)
            hint = None
        else:
            continue
        tri = _transform(local, matrix, to_metres)
        if np.linalg.det(matrix[:3, :3]) < 0:
            tri = tri[:, [0, 2, 1]]
        out.append(_from_triangles(prim.GetName(), np.asarray(tri, dtype=np.float64), hint))
    return out


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
) -> list[str]:
    """Add the wheel patches to the case's dictionaries and fields; returns
    the names of the patches added (their STL files are already written)."""
    from foamlib import FoamFieldFile, FoamFile

    added = [name for name, axle in zip(PATCHES, (front, rear), strict=True) if axle]
    if not added:
        return []
    snappy = FoamFile(case / "system" / "snappyHexMeshDict")
    features = list(snappy["castellatedMeshControls", "features"])  # type: ignore[arg-type]
    extract = FoamFile(case / "system" / "surfaceFeatureExtractDict")
    body_extract = extract["body.stl"].as_dict()  # type: ignore[union-attr]
    fields = case / "0.orig"
    for name in added:
        snappy["geometry", f"{name}.stl"] = {"type": "triSurfaceMesh", "name": name}
        snappy["castellatedMeshControls", "refinementSurfaces", name] = {
            "level": list(surface),
            "patchInfo": {"type": "wall"},
        }
        features.append({"file": f'"{name}.eMesh"', "level": surface[1]})
        snappy["addLayersControls", "layers", name] = {"nSurfaceLayers": layers}
        extract[f"{name}.stl"] = body_extract
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
