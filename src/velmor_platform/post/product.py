"""A picture of a product, drawn from its USD geometry: body and wheels.

The body and the wheels are triangulated as the simulation meshes them
(``core.geometry.body_triangles``, ``cfd.wheels.product_wheels``). Everything
is in metres, Z up. The dimensions come from the drawn geometry.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..core import geometry


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
    """The wheels as the simulation meshes them (before they are sunk into the road)."""
    from ..cfd.errors import CfdError
    from ..cfd.wheels import product_wheels

    try:
        wheels = product_wheels(usd_path)
    except CfdError:
        return None  # a wheel the simulation would refuse is left out of the picture
    if not wheels:
        return None
    return _poly(np.concatenate([w.triangles for w in wheels]))


def product_parts(usd_path: str | os.PathLike[str]) -> dict[str, Any]:
    """The product's body and wheels as pyvista surfaces, in metres."""
    from ..core import layer_io
    from ..core.geometry_cache import resolve_product_geometry

    path = Path(usd_path)
    # A product nobody has loaded yet still names its geometry by URI: it is
    # resolved in memory here, and the files are left to their writers.
    with layer_io.read_only():
        resolve_product_geometry(path.parent)
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
