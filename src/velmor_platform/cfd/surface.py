"""Measures of the surface actually meshed: projected frontal area, symmetry
about the centre plane, and a key that names the geometry.

* ``projected_area`` rasterises the triangles' projection on the y-z plane
  (the union, so overlapping parts such as wheels under the body count
  once) at ``PIXELS`` pixels across;
* ``asymmetry`` compares the body's front and plan silhouettes with their
  mirror images about y = 0: the fraction of silhouette the mirror misses
  (0 for a symmetric body);
* ``geometry_key`` is a short hash of the triangles as meshed (rounded to
  0.1 mm), so runs of the same geometry can be told from others.
"""

from __future__ import annotations

import hashlib
from collections.abc import Sequence

import numpy as np

from ..core.geometry import Triangles

#: Pixels across the larger side of the frontal projection.
PIXELS = 400
#: Above this asymmetry a half model misrepresents the body.
ASYMMETRY_LIMIT = 0.02


def _raster(flat: Triangles, lo: np.ndarray, hi: np.ndarray, size: float) -> np.ndarray:
    """Which pixels of size ``size`` over ``lo``..``hi`` the 2-D triangles
    ``flat`` (n, 3, 2) cover (pixel centres inside a triangle)."""
    n0, n1 = (max(1, int(np.ceil(v / size - 1e-9))) for v in hi - lo)
    covered = np.zeros((n0, n1), dtype=bool)
    c0 = lo[0] + (np.arange(n0) + 0.5) * size
    c1 = lo[1] + (np.arange(n1) + 0.5) * size
    a, b, c = flat[:, 0], flat[:, 1], flat[:, 2]
    det = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (c[:, 0] - a[:, 0]) * (b[:, 1] - a[:, 1])
    tlo = np.floor((flat.min(axis=1) - lo) / size).astype(int)
    thi = np.ceil((flat.max(axis=1) - lo) / size).astype(int)
    for i in np.flatnonzero(np.abs(det) > 1e-18):
        y0, z0 = max(tlo[i][0], 0), max(tlo[i][1], 0)
        y1, z1 = min(thi[i][0], n0), min(thi[i][1], n1)
        if y1 <= y0 or z1 <= z0:
            continue
        py, pz = np.meshgrid(c0[y0:y1], c1[z0:z1], indexing="ij")
        u = ((py - a[i, 0]) * (c[i, 1] - a[i, 1]) - (c[i, 0] - a[i, 0]) * (pz - a[i, 1])) / det[i]
        v = ((b[i, 0] - a[i, 0]) * (pz - a[i, 1]) - (py - a[i, 0]) * (b[i, 1] - a[i, 1])) / det[i]
        covered[y0:y1, z0:z1] |= (u >= 0) & (v >= 0) & (u + v <= 1)
    return covered


def projected_area(triangles: Triangles, pixels: int = PIXELS) -> float:
    """Area of the union of the triangles projected along x, m^2."""
    yz = triangles[:, :, 1:]
    lo = yz.reshape(-1, 2).min(axis=0)
    hi = yz.reshape(-1, 2).max(axis=0)
    size = float(max(hi - lo)) / pixels
    if size <= 0:
        return 0.0
    return float(_raster(yz, lo, hi + size, size).sum() * size * size)


def asymmetry(triangles: Triangles, pixels: int = 200) -> float:
    """How far the body is from mirror symmetry about y = 0: the fraction of
    its front (y-z) and plan (x-y) silhouettes that its mirror image misses."""
    flat = triangles.reshape(-1, 3)
    reach = float(np.abs(flat[:, 1]).max())
    worst = 0.0
    for axes in ((1, 2), (1, 0)):  # y first in both: mirroring flips the first index
        view = triangles[:, :, list(axes)]
        other = view[:, :, 1]
        lo = np.array([-reach, float(other.min())])
        hi = np.array([reach, float(other.max())])
        size = float(max(hi - lo)) / pixels
        if size <= 0:
            continue
        # Pixels across y: an even count centred on y = 0, so the mirror is a flip.
        half = int(np.ceil(reach / size))
        lo[0], hi[0] = -half * size, half * size
        covered = _raster(view, lo, hi, size)
        if covered.any():
            worst = max(worst, float((covered ^ covered[::-1]).sum() / covered.sum()))
    return worst


def geometry_key(parts: Sequence[Triangles]) -> str:
    """A short hash naming the meshed geometry."""
    digest = hashlib.sha256()
    for part in parts:
        digest.update(np.round(np.asarray(part, dtype=np.float64), 4).tobytes())
        digest.update(b"|")
    return digest.hexdigest()[:16]
