"""Measures of the surface actually meshed: projected frontal area, symmetry
about the centre plane, and a key that names the geometry.

* ``projected_area`` rasterises the triangles' projection on the y-z plane
  (the union, so overlapping parts such as wheels under the body count
  once) at ``PIXELS`` pixels across;
* ``asymmetry`` (``core.bodies.symmetry``) compares the body's front and
  plan silhouettes with their mirror images about y = 0: the fraction of
  silhouette the mirror misses (0 for a symmetric body);
* ``geometry_key`` is a short hash of the triangles as meshed (rounded to
  0.1 mm), so runs of the same geometry can be told from others.
"""

from __future__ import annotations

import hashlib
from collections.abc import Sequence

import numpy as np

from ..core.bodies.raster import coverage
from ..core.bodies.symmetry import ASYMMETRY_LIMIT, asymmetry
from ..core.geometry import Triangles

__all__ = ["ASYMMETRY_LIMIT", "PIXELS", "asymmetry", "geometry_key", "projected_area"]

#: Pixels across the larger side of the frontal projection.
PIXELS = 400


def projected_area(triangles: Triangles, pixels: int = PIXELS) -> float:
    """Area of the union of the triangles projected along x, m^2."""
    yz = triangles[:, :, 1:]
    lo = yz.reshape(-1, 2).min(axis=0)
    hi = yz.reshape(-1, 2).max(axis=0)
    size = float(max(hi - lo)) / pixels
    if size <= 0:
        return 0.0
    return float(coverage(yz, lo, hi + size, size).sum() * size * size)


def geometry_key(parts: Sequence[Triangles]) -> str:
    """A short hash naming the meshed geometry."""
    digest = hashlib.sha256()
    for part in parts:
        digest.update(np.round(np.asarray(part, dtype=np.float64), 4).tobytes())
        digest.update(b"|")
    return digest.hexdigest()[:16]
