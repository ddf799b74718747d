"""Which pixels a set of 2-D triangles covers: the silhouette behind the
frontal area, the projected area of a case and the symmetry check.

A pixel counts as covered when its centre lies inside (or on the edge of)
a triangle. The work is done row by row: for every triangle and every
pixel row it spans, the run of pixel centres it covers is found from the
triangle's edges, and the runs are filled at once through a difference
array. The cost grows with the rows the triangles span, not with the
pixels of their bounding boxes, and it is done in blocks of a bounded
number of (triangle, row) pairs, so neither time nor memory explodes on a
few large triangles. ``MAX_SPANS`` bounds the whole: a surface needing
more is refused rather than rasterised for minutes. A ``cancelled``
callable is asked between blocks, so a caller whose request has gone can
stop the work.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from ...errors import VelmorError

#: (triangle, pixel row) pairs handled in one block.
BLOCK = 200_000
#: At most this many (triangle, pixel row) pairs in one raster.
MAX_SPANS = 50_000_000


class RasterCancelled(Exception):
    """The caller no longer wants the raster."""


class RasterTooLarge(VelmorError, ValueError):
    """The triangles span more pixel rows than ``MAX_SPANS``."""


def _rows(
    tri: npt.NDArray[np.float64], first: npt.NDArray[np.int64], count: npt.NDArray[np.int64]
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Row, first and one-past-last column of the covered run of each
    (triangle, row) pair of the triangles ``tri`` (pixel units)."""
    which = np.repeat(np.arange(len(tri)), count)
    row = first[which] + (np.arange(count.sum()) - np.repeat(np.cumsum(count) - count, count))
    z = row + 0.5
    t = tri[which]  # (m, 3, 2)
    a, b = t, t[:, [1, 2, 0]]
    za, zb = a[:, :, 1], b[:, :, 1]
    zc = z[:, None]
    crosses = (np.minimum(za, zb) <= zc) & (zc <= np.maximum(za, zb))
    flat = za == zb
    with np.errstate(divide="ignore", invalid="ignore"):
        y = a[:, :, 0] + (zc - za) / (zb - za) * (b[:, :, 0] - a[:, :, 0])
    # An edge lying along the row contributes both its ends.
    lo_y = np.where(crosses, np.where(flat, np.minimum(a[:, :, 0], b[:, :, 0]), y), np.inf)
    hi_y = np.where(crosses, np.where(flat, np.maximum(a[:, :, 0], b[:, :, 0]), y), -np.inf)
    start = np.ceil(lo_y.min(axis=1) - 0.5).astype(np.int64)
    stop = np.floor(hi_y.max(axis=1) - 0.5).astype(np.int64) + 1
    return row, start, stop


def coverage(
    flat: npt.NDArray[np.float64],
    lo: npt.NDArray[np.float64],
    hi: npt.NDArray[np.float64],
    size: float,
    *,
    cancelled: Callable[[], bool] | None = None,
) -> npt.NDArray[np.bool_]:
    """Which pixels of side ``size`` over ``lo``..``hi`` the 2-D triangles
    ``flat`` (n, 3, 2) cover; indexed [first axis, second axis]."""
    n0, n1 = (max(1, int(np.ceil(v / size - 1e-9))) for v in hi - lo)
    tri = (np.asarray(flat, dtype=np.float64) - lo) / size  # pixel units
    # Rows are along the first axis (the scan runs over the second).
    tri = tri[:, :, ::-1]
    first = np.maximum(np.ceil(tri[:, :, 1].min(axis=1) - 0.5), 0).astype(np.int64)
    last = np.minimum(np.floor(tri[:, :, 1].max(axis=1) - 0.5), n0 - 1).astype(np.int64)
    count = np.maximum(last - first + 1, 0)
    if int(count.sum()) > MAX_SPANS:
        raise RasterTooLarge(
            f"the surface's projection needs {int(count.sum()):,} pixel rows of triangles "
            f"(at most {MAX_SPANS:,})"
        )
    diff = np.zeros(n0 * (n1 + 1), dtype=np.int64)
    ends = np.cumsum(count)
    begin = 0
    while begin < len(tri):
        if cancelled is not None and cancelled():
            raise RasterCancelled
        done = int(np.searchsorted(ends, ends[begin] - count[begin] + BLOCK, side="right"))
        end = max(done, begin + 1)
        row, start, stop = _rows(tri[begin:end], first[begin:end], count[begin:end])
        start, stop = np.clip(start, 0, n1), np.clip(stop, 0, n1)
        keep = stop > start
        base = row[keep] * (n1 + 1)
        diff += np.bincount(base + start[keep], minlength=len(diff))
        diff -= np.bincount(base + stop[keep], minlength=len(diff))
        begin = end
    return np.asarray(np.cumsum(diff.reshape(n0, n1 + 1), axis=1)[:, :n1] > 0)


def frontal_area(
    triangles: npt.NDArray[np.float64],
    cell: float,
    *,
    cancelled: Callable[[], bool] | None = None,
) -> float:
    """Area of the union of the triangles projected on the y-z plane, m^2,
    on a raster of ``cell``-sized pixels."""
    yz = triangles[:, :, 1:]
    lo = yz.reshape(-1, 2).min(axis=0)
    hi = yz.reshape(-1, 2).max(axis=0)
    covered = coverage(yz, lo, hi + cell, cell, cancelled=cancelled)
    return float(covered.sum()) * cell * cell
