"""A picture of a product, drawn from its USD geometry: body and wheels.

The body is the triangulated ``Body`` (as the simulation meshes it); the
wheels are the ``Wheels`` prims: ``UsdGeom.Cylinder`` prims as cylinders of
their radius, height and axis, mesh prims as their triangles. Everything is
in metres, Z up. The dimensions come from the drawn geometry.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..cfd import geometry


@dataclass(frozen=True)
class Dimensions:
    length: float
    width: float
    height: float
    wheelbase: float | None

    def line(self) -> str:
        text = f"L {self.length:.2f} m x W {self.width:.2f} m x H {self.height:.2f} m"
        if self.wheelbase:
            text += f", wheelbase {self.wheelbase:.2f} m"
        return text


def _poly(triangles: Any) -> Any:
    import pyvista as pv

    points = np.asarray(triangles, dtype=float).reshape(-1, 3)
    n = len(points) // 3
    faces = np.c_[np.full(n, 3), np.arange(3 * n).reshape(n, 3)].ravel()
    return pv.PolyData(points, faces).clean()


def _wheels(usd_path: Path) -> Any | None:
    import pyvista as pv
    from pxr import Usd, UsdGeom

    stage = geometry._open_stage(usd_path)
    wheels = geometry._vehicle(stage, usd_path).GetChild("Wheels")
    if not wheels:
        return None
    to_metres = geometry._stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    parts = []
    for prim in Usd.PrimRange(wheels):
        matrix = np.array(cache.GetLocalToWorldTransform(prim), dtype=np.float64)
        if prim.IsA(UsdGeom.Cylinder):
            cyl = UsdGeom.Cylinder(prim)
            axis = {"X": (1, 0, 0), "Y": (0, 1, 0), "Z": (0, 0, 1)}[str(cyl.GetAxisAttr().Get())]
            mesh = pv.Cylinder(
                center=(0, 0, 0),
                direction=axis,
                radius=float(cyl.GetRadiusAttr().Get()),
                height=float(cyl.GetHeightAttr().Get()),
                resolution=48,
            ).triangulate()
            points = np.asarray(mesh.points, dtype=float)
        elif prim.IsA(UsdGeom.Mesh):
            m = UsdGeom.Mesh(prim)
            points = np.asarray(m.GetPointsAttr().Get() or [], dtype=float).reshape(-1, 3)
            counts = np.asarray(m.GetFaceVertexCountsAttr().Get() or [], dtype=np.int64)
            indices = np.asarray(m.GetFaceVertexIndicesAttr().Get() or [], dtype=np.int64)
            if not len(points) or not len(counts) or counts.sum() != len(indices):
                continue
            mesh = _poly(geometry._fan(points, counts, indices, False))
            points = np.asarray(mesh.points, dtype=float)
        else:
            continue
        world = (np.c_[points, np.ones(len(points))] @ matrix)[:, :3] @ to_metres.T
        mesh = mesh.copy()
        mesh.points = world
        parts.append(mesh)
    if not parts:
        return None
    merged = parts[0]
    for part in parts[1:]:
        merged = merged.merge(part)
    return merged


def product_parts(usd_path: str | os.PathLike[str]) -> dict[str, Any]:
    """The product's body and wheels as pyvista surfaces, in metres."""
    path = Path(usd_path)
    parts = {"body": _poly(geometry.body_triangles(path))}
    wheels = _wheels(path)
    if wheels is not None:
        parts["wheels"] = wheels
    return parts


def dimensions(parts: dict[str, Any], wheelbase: float | None) -> Dimensions:
    b = np.asarray([m.bounds for m in parts.values()], dtype=float)
    lo, hi = b[:, 0::2].min(axis=0), b[:, 1::2].max(axis=0)
    size = hi - lo
    return Dimensions(float(size[0]), float(size[1]), float(size[2]), wheelbase)


def picture(
    usd_path: str | os.PathLike[str],
    target: Path,
    *,
    name: str = "",
    wheelbase: float | None = None,
    size: tuple[int, int] = (800, 450),
) -> Dimensions:
    """Draw the product into the PNG ``target``; returns its dimensions."""
    from . import render

    parts = product_parts(usd_path)
    dims = dimensions(parts, wheelbase)
    label = f"{name}\n{dims.line()}" if name else dims.line()
    render.draw_product(parts, target, label, size)
    return dims
