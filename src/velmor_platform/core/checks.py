"""Checking a result against a target with a tolerance, using the result's band.

A result is a value with a half band ``b`` (its uncertainty); a target is
a value ``t`` with a tolerance ``tol``. The check is

* ``ok`` when the whole band ``[v-b, v+b]`` lies inside ``[t-tol, t+tol]``;
* ``miss`` when it lies wholly outside;
* ``undecided`` otherwise: the band straddles a tolerance limit.

A band from one mesh level alone (its iterative part: how well the mean
of the iterations is known) says nothing of the level's grid error, which
on these meshes is many times larger. Such a result is never ``ok`` or
``miss``: it is ``undecided`` with the reason ``no grid estimate``
(``NO_GRID``), and every face shows it as "undecided — no grid estimate".
Only a band with a grid part (a mesh ladder's) decides.

A result recorded without a band (runs recorded before bands existed)
is checked on its value alone and marked ``banded=False``, so a face can
say that the check carries no band.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

OK, MISS, UNDECIDED = "ok", "miss", "undecided"
#: Why a check of a one-level result stays undecided.
NO_GRID = "no grid estimate"


@dataclass(frozen=True)
class Check:
    status: str  # ok, miss or undecided
    low: float  # the result's band
    high: float
    banded: bool  # False when the result carries no band
    reason: str = ""  # why it is undecided whatever the band says (NO_GRID)

    @property
    def label(self) -> str:
        if self.reason:
            return f"{self.status} — {self.reason}"
        return self.status if self.banded else f"{self.status} (no band)"

    def as_dict(self) -> dict[str, object]:
        return {
            "status": self.status, "low": self.low, "high": self.high, "banded": self.banded,
            "grid_estimate": not self.reason, "label": self.label,
        }  # fmt: skip


def _number(value: object) -> bool:
    return (
        isinstance(value, (int, float))
        and not isinstance(value, bool)
        and math.isfinite(float(value))
    )


def band_check(
    value: float | None,
    band: float | None,
    target: float | None,
    tolerance: float | None,
    grid: bool = True,
) -> Check | None:
    """The check of ``value ± band`` against ``target ± tolerance``; None
    when there is no value, target or tolerance to check. ``grid`` is False
    when the band is one level's iterative band alone: then the check is
    undecided, for want of a grid estimate."""
    if not (_number(value) and _number(target) and _number(tolerance)):
        return None
    assert value is not None and target is not None and tolerance is not None
    banded = _number(band)
    half = abs(float(band)) if banded and band is not None else 0.0
    low, high = float(value) - half, float(value) + half
    lower, upper = float(target) - abs(float(tolerance)), float(target) + abs(float(tolerance))
    if low >= lower and high <= upper:
        status = OK
    elif high < lower or low > upper:
        status = MISS
    else:
        status = UNDECIDED
    if banded and not grid:
        return Check(UNDECIDED, low, high, banded, NO_GRID)
    return Check(status, low, high, banded)


def band_kind(run: dict[str, object]) -> str:
    """How a run's band was obtained: ``grid`` (a mesh ladder's GCI with the
    iterative band), ``iterative`` (one level: the mean's 95 % half-width only) or
    ``none`` (recorded before bands existed, or no coefficient)."""
    if not _number(run.get("cd_band")):
        return "none"
    return "grid" if run.get("grid_kind") else "iterative"


def fidelity(run: dict[str, object]) -> str:
    """A short mark of how far a run's figure can be trusted, for tables and
    charts: its mesh level (or cells), and its band and how it was obtained."""
    parts = []
    level = run.get("level")
    cells = run.get("mesh_cells")
    if isinstance(level, str) and level:
        parts.append(level)
    elif isinstance(cells, int) and cells > 0:
        parts.append(f"{cells:,} cells")
    kind = band_kind(run)
    band = run.get("cd_band")
    if kind == "none" or not isinstance(band, (int, float)):
        parts.append("no band")
    else:
        parts.append(
            f"±{float(band):.3g} ({'grid' if kind == 'grid' else 'iterative only, ' + NO_GRID})"
        )
    return ", ".join(parts)
