"""How far a body is from mirror symmetry about the centre plane y = 0."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .raster import coverage

Triangles = npt.NDArray[np.float64]

#: Above this asymmetry a half model misrepresents the body.
ASYMMETRY_LIMIT = 0.02


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
        covered = coverage(view, lo, hi, size)
        if covered.any():
            worst = max(worst, float((covered ^ covered[::-1]).sum() / covered.sum()))
    return worst
