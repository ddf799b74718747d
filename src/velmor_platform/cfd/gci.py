"""Discretisation uncertainty from three systematically refined meshes.

The three-grid procedure of Celik, Ghia, Roache, Freitas, Coleman and Raad,
"Procedure for Estimation and Reporting of Uncertainty Due to
Discretization in CFD Applications", J. Fluids Eng. 130 (2008) 078001,
which follows Roache's Grid Convergence Index:

* ``h`` is the representative cell size of each mesh (finest first),
  ``r21 = h2/h1`` and ``r32 = h3/h2`` the refinement ratios;
* ``e21 = phi2 - phi1`` and ``e32 = phi3 - phi2``; their ratio tells the
  kind of convergence: ``0 < e21/e32 < 1`` monotonic, ``< 0`` oscillatory,
  ``> 1`` divergent;
* the observed order ``p`` solves
  ``p = |ln|e32/e21| + ln((r21^p - s)/(r32^p - s))| / ln r21`` with
  ``s = sign(e32/e21)`` (fixed-point iteration);
* the Richardson estimate ``phi_ext = (r21^p phi1 - phi2)/(r21^p - 1)`` and
  the fine-grid index ``GCI = Fs |e21/phi1| / (r21^p - 1)``.

The safety factor ``Fs`` is 1.25 when the observed order is plausible
(between ``MIN_ORDER`` and ``formal + 1``); otherwise the order is clipped
into ``[MIN_ORDER, formal]`` and ``Fs`` is 3 (Roache). Oscillatory and
divergent sets give no Richardson estimate: their band is three times the
range of the three values (Eca and Hoekstra's conservative rule), and the
estimate says so.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import asdict, dataclass

#: Lowest observed order accepted as plausible.
MIN_ORDER = 0.5
#: Safety factor with a plausible observed order from three grids.
FS_PLAUSIBLE = 1.25
#: Safety factor otherwise.
FS_CONSERVATIVE = 3.0


@dataclass(frozen=True)
class GridEstimate:
    kind: str  # monotonic, oscillatory, divergent or flat
    value: float  # the finest mesh's value
    band: float  # absolute half width of the discretisation band around ``value``
    order: float | None  # observed order p (None when it cannot be defined)
    order_used: float | None  # the order the index was computed with
    extrapolated: float | None  # Richardson estimate
    safety_factor: float
    ea21: float | None  # relative change fine-medium
    eext21: float | None  # relative difference fine-extrapolated
    gci_fine: float | None  # relative GCI of the fine mesh
    r21: float
    r32: float
    note: str

    def as_dict(self) -> dict[str, object]:
        return asdict(self)


def cell_size(cells: float, volume: float = 1.0, dim: int = 3) -> float:
    """Representative cell size ``(volume/cells)^(1/dim)``."""
    return float((volume / cells) ** (1.0 / dim))


def observed_order(
    e21: float, e32: float, r21: float, r32: float, *, iterations: int = 200
) -> float:
    """The observed order of the three-grid set (Celik et al. 2008, eq. 3)."""
    s = math.copysign(1.0, e32 / e21)
    ratio = abs(e32 / e21)
    p = abs(math.log(ratio)) / math.log(r21)  # first guess: equal ratios
    for _ in range(iterations):
        a, b = r21**p - s, r32**p - s
        q = math.log(a / b) if a > 0 and b > 0 else 0.0
        new = abs(math.log(ratio) + q) / math.log(r21)
        if abs(new - p) < 1e-12:
            return new
        p = new
    return p


def three_grid(
    values: Sequence[float],
    sizes: Sequence[float],
    *,
    formal_order: float = 2.0,
) -> GridEstimate:
    """The discretisation estimate of ``values`` on meshes of cell size
    ``sizes``, both ordered finest first."""
    phi1, phi2, phi3 = (float(v) for v in values)
    h1, h2, h3 = (float(h) for h in sizes)
    if not (0 < h1 < h2 < h3):
        raise ValueError("cell sizes must be positive and grow from the finest mesh")
    r21, r32 = h2 / h1, h3 / h2
    e21, e32 = phi2 - phi1, phi3 - phi2
    spread = max(phi1, phi2, phi3) - min(phi1, phi2, phi3)
    scale = max(abs(phi1), 1e-300)

    def crude(kind: str, note: str) -> GridEstimate:
        return GridEstimate(
            kind, phi1, FS_CONSERVATIVE * spread, None, None, None, FS_CONSERVATIVE,
            abs(e21) / scale, None, FS_CONSERVATIVE * spread / scale, r21, r32, note,
        )  # fmt: skip

    if e21 == 0 and e32 == 0:
        return GridEstimate(
            "flat", phi1, 0.0, None, None, phi1, FS_CONSERVATIVE, 0.0, 0.0, 0.0, r21, r32,
            "identical values on the three meshes",
        )  # fmt: skip
    if e32 == 0 or e21 == 0:
        return crude("oscillatory", "one change is zero: no observed order; band is 3x the range")
    ratio = e21 / e32
    if ratio < 0:
        return crude("oscillatory", "the value oscillates across the meshes: band is 3x the range")
    if ratio >= 1:
        return crude(
            "divergent", "the changes grow on refinement: no grid convergence; band is 3x the range"
        )
    p = observed_order(e21, e32, r21, r32)
    if MIN_ORDER <= p <= formal_order + 1:
        used, fs, note = p, FS_PLAUSIBLE, f"monotonic, observed order {p:.2f}"
    else:
        used = min(max(p, MIN_ORDER), formal_order)
        fs = FS_CONSERVATIVE
        note = f"monotonic, observed order {p:.2f} implausible: order {used:.2f} and Fs 3 used"
    factor = r21**used - 1
    extrapolated = (r21**used * phi1 - phi2) / factor
    ea21 = abs(e21) / scale
    eext21 = abs((extrapolated - phi1) / extrapolated) if extrapolated else math.inf
    gci = fs * ea21 / factor
    return GridEstimate(
        "monotonic", phi1, gci * abs(phi1), p, used, extrapolated, fs, ea21, eext21, gci,
        r21, r32, note,
    )  # fmt: skip


def combine(grid_band: float | None, iterative_band: float | None) -> float | None:
    """Grid and iterative half bands combined in quadrature (either may be missing)."""
    parts = [b for b in (grid_band, iterative_band) if b is not None and math.isfinite(b)]
    if not parts:
        return None
    return math.sqrt(sum(b * b for b in parts))
