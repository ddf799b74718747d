"""The wind-tunnel box around a vehicle and the mesh sizes inside it.

The half tunnel (y >= 0; y = 0 is the symmetry plane, z = 0 the road) is
one hex block with multi-section grading in each direction: a core of
uniform cubes of the base size ``s`` holds every refinement region (so the
refinement levels mean the same cell sizes everywhere in them), and beyond
it cells grow geometrically by at most ``GROWTH`` per cell to the tunnel's
walls, which keeps the big tunnel cheap.

The tunnel is sized by practice for external aerodynamics:

* the inlet ``UPSTREAM`` body lengths ahead of the nose, the outlet
  ``DOWNSTREAM`` lengths behind the tail;
* the cross-section large enough that the (half) frontal area blocks at
  most ``BLOCKAGE`` of it, with side and top at least ``CLEARANCE``
  lengths from the body.

Refinement regions: a ``near`` box around the body and near wake, a
``wake`` box further out, and an ``under`` box filling the gap between
the underbody and the road, refined so that at least ``GAP_CELLS`` cells
span the gap at the coarsest mesh of the ladder. Where that would take
more than ``MAX_GAP_EXTRA`` levels beyond the surface's (a low car), fewer
cells span the gap: its cells stay cubes. Cells flattened next to the road
instead (half their height, twice as many across the gap) put the body's
lower part in stretched cells and raised the hatch's drag by 13 % (0.402
against 0.356), while cubes one level coarser under it, half as many
across the gap, read 0.355 (``ground_split`` stays in the case's record,
always 1).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

Box = tuple[tuple[float, float, float], tuple[float, float, float]]

UPSTREAM = 3.0
DOWNSTREAM = 6.0
CLEARANCE = 1.5
BLOCKAGE = 0.01
GROWTH = 1.2
GAP_CELLS = 8
#: Extra refinement levels beyond the surface's allowed under the body (a cost cap).
MAX_GAP_EXTRA = 2


@dataclass(frozen=True)
class Section:
    length: float
    cells: int
    expansion: float  # last cell over first, in the axis direction


@dataclass(frozen=True)
class Domain:
    """The wind-tunnel box and refinement boxes around a body, in metres."""

    lo: tuple[float, float, float]
    hi: tuple[float, float, float]
    cells: tuple[int, int, int]
    near: Box
    wake: Box
    inside: tuple[float, float, float]  # a point in the air, for snappyHexMesh
    base: float = 0.0  # the core's cell size
    grading: tuple[tuple[Section, ...], ...] = ()
    under: Box | None = None
    under_level: int = 0
    gap: float = 0.0  # underbody clearance, m
    blockage: float = 0.0  # half frontal area over the half tunnel's section
    #: How many times thinner than the core's cells the cells next to the road are.
    ground_split: int = 1

    def grading_entry(self) -> list[Any]:
        """blockMesh's ``simpleGrading`` value (multi-section in each direction)."""
        if not self.grading:
            return [1, 1, 1]
        return [
            [[round(s.length, 6), s.cells, round(s.expansion, 6)] for s in axis]
            for axis in self.grading
        ]

    def gap_cells(self, level: int | None = None) -> float:
        """Cells across the underbody gap at the under box's refinement."""
        lvl = self.under_level if level is None else level
        return self.gap / (self.base / self.ground_split / 2**lvl) if self.base else 0.0


def graded(length: float, first: float, growth: float = GROWTH) -> Section:
    """A section of ``length`` whose cells grow from ``first`` by at most ``growth``."""
    if length <= first * 1.0001:
        return Section(length, 1, 1.0)
    n = math.ceil(math.log(1 + length * (growth - 1) / first) / math.log(growth))
    lo, hi = 1.0, growth
    for _ in range(100):  # the ratio that fills the length exactly with n cells
        g = (lo + hi) / 2
        if first * (g**n - 1) / (g - 1) > length:
            hi = g
        else:
            lo = g
    g = (lo + hi) / 2
    return Section(length, n, g ** (n - 1))


def _reverse(section: Section) -> Section:
    return Section(section.length, section.cells, 1 / section.expansion)


def tunnel(
    lo: Any,
    hi: Any,
    base: float,
    *,
    half_area: float,
    gap: float,
    gap_base: float,
    surface_level: int,
) -> Domain:
    """The half tunnel around a body with bounding box ``lo``..``hi`` (its
    nose at ``lo[0]``, standing on z = 0), core cells of size ``base``.

    ``half_area`` is the frontal area inside the half model; ``gap`` the
    underbody clearance; ``gap_base`` the base size of the coarsest mesh
    of the ladder, from which the under box's level is chosen.
    """
    length, width, height = (float(v) for v in (hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]))
    s = base
    near: Box = (
        (float(lo[0]) - 0.3 * length, 0.0, 0.0),
        (float(hi[0]) + 1.0 * length, float(hi[1]) + 0.3 * width, float(hi[2]) + 0.4 * height),
    )
    wake: Box = (
        (float(lo[0]) - 0.6 * length, 0.0, 0.0),
        (float(hi[0]) + 3.0 * length, float(hi[1]) + 0.8 * width, float(hi[2]) + 1.0 * height),
    )
    # The uniform core: whole cells around the wake box, starting at the symmetry plane and road.
    cx0 = float(lo[0]) - math.ceil(0.6 * length / s - 1e-9) * s
    ncx = math.ceil((wake[1][0] - cx0) / s - 1e-9)
    ncy = math.ceil(wake[1][1] / s - 1e-9)
    ncz = math.ceil(wake[1][2] / s - 1e-9)
    cx1, cy1, cz1 = cx0 + ncx * s, ncy * s, ncz * s
    # The tunnel's walls.
    x0 = float(lo[0]) - UPSTREAM * length
    x1 = float(hi[0]) + DOWNSTREAM * length
    side = max(math.sqrt(half_area / BLOCKAGE), float(hi[1]) + CLEARANCE * length)
    top = max(math.sqrt(half_area / BLOCKAGE), float(hi[2]) + CLEARANCE * length)
    y1, z1 = max(side, cy1 + s), max(top, cz1 + s)
    x_axis = (
        _reverse(graded(cx0 - x0, s)),
        Section(cx1 - cx0, ncx, 1.0),
        graded(x1 - cx1, s),
    )
    y_axis = (Section(cy1, ncy, 1.0), graded(y1 - cy1, s))
    z_axis: tuple[Section, ...] = (Section(cz1, ncz, 1.0), graded(z1 - cz1, s))
    # Under the body: whole gap, a little ahead and behind, out to the body's side.
    level = 0
    under: Box | None = None
    if gap > 0:
        wanted = math.ceil(math.log2(GAP_CELLS * gap_base / gap) - 0.02)
        level = max(surface_level, min(surface_level + MAX_GAP_EXTRA, wanted))
        under = (
            (float(lo[0]) - 0.05 * length, 0.0, 0.0),
            (float(hi[0]) + 0.1 * length, float(hi[1]), 1.1 * gap),
        )
    cells = tuple(sum(sec.cells for sec in axis) for axis in (x_axis, y_axis, z_axis))
    # Off any cell face: a fraction of a cell that no refinement level hits.
    inside = (cx1 - 0.37 * length - 0.1234 * s, cy1 * 0.8 + 0.1357 * s, cz1 * 0.8 + 0.1111 * s)
    return Domain(
        lo=(x0, 0.0, 0.0),
        hi=(x1, y1, z1),
        cells=(int(cells[0]), int(cells[1]), int(cells[2])),
        near=near,
        wake=wake,
        inside=inside,
        base=s,
        grading=(x_axis, y_axis, z_axis),
        under=under,
        under_level=level,
        gap=gap,
        blockage=half_area / (y1 * z1),
    )


def mirrored(domain: Domain) -> Domain:
    """The whole tunnel of a full model: ``domain`` and its mirror image in y = 0."""

    def box(b: Box | None) -> Box | None:
        return None if b is None else ((b[0][0], -b[1][1], b[0][2]), b[1])

    x_axis, y_axis, z_axis = domain.grading
    core, outer = y_axis
    y_full = (_reverse(outer), Section(2 * core.length, 2 * core.cells, 1.0), outer)
    near, wake = box(domain.near), box(domain.wake)
    assert near is not None and wake is not None
    return Domain(
        lo=(domain.lo[0], -domain.hi[1], domain.lo[2]),
        hi=domain.hi,
        cells=(domain.cells[0], 2 * domain.cells[1], domain.cells[2]),
        near=near,
        wake=wake,
        inside=domain.inside,
        base=domain.base,
        grading=(x_axis, y_full, z_axis),
        under=box(domain.under),
        under_level=domain.under_level,
        gap=domain.gap,
        blockage=domain.blockage,
        ground_split=domain.ground_split,
    )
