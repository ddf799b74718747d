"""The wheels of a product, read from its USD files.

``product_wheels`` reads every ``UsdGeom.Gprim`` child of the vehicle's
``Wheels`` prim (what the product composes, the variant's own wheel set
included), ``file_wheels`` those of a wheel-set file: a ``Cylinder`` is
tessellated from its radius, height and axis, a ``Mesh`` is
fan-triangulated; each gets the transform, unit scale and up axis the
body gets. A wheel's centre, axis, radius and width come from that
geometry.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ...errors import CfdError
from ..geometry import Triangles, fan, open_stage, stage_to_metres, vehicle_prim

#: Segments around a tessellated cylinder.
SEGMENTS = 48
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
    path = Path(usd_path)
    stage = open_stage(path)
    return _wheels_under(stage, vehicle_prim(stage, path).GetChild(WHEELS_PRIM), path)


def file_wheels(usd_path: str | os.PathLike[str]) -> list[Wheel]:
    """The wheels of a wheel-set file (its default prim holds them), in metres, Z up."""
    path = Path(usd_path)
    stage = open_stage(path)
    return _wheels_under(stage, vehicle_prim(stage, path), path)


def _wheels_under(stage: Any, wheels: Any, path: Path) -> list[Wheel]:
    from pxr import Usd, UsdGeom

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
