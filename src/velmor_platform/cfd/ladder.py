"""A mesh ladder: the same case on three similar meshes, and the grid band it gives.

``run_ladder`` prepares the product's case at the ``LADDER`` levels (only
the base cell size differs, by ``params.RATIO``), runs them (at once when
the machine has the cores for all of them at the requested ranks, else as
many at a time as fit), and records one run: the finest level's result
with a band that combines, in quadrature, the grid-convergence estimate of
the three levels (``gci.three_grid``) and the finest run's iterative band.
The record says how the band was obtained (``band_method``) and lists each
level's result (``ladder``).

When a level fails, or stops at its iteration cap without converging (an
unconverged level's mean is not the level's answer, and its difference
from the next level is not the grid's), the finest completed result is
recorded with its iterative band only and the reason there is no grid
estimate.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import case as case_mod
from . import gci
from .params import LADDER, RATIO

if TYPE_CHECKING:
    from ..core.product_core import ProductCore
    from .runner import Progress

#: Coefficients with a grid estimate: (record key, its iterative band key, band key).
BANDED = (
    ("cd", "cd_two_se", "cd_band"),
    ("cl", "cl_two_se", "cl_band"),
    ("cm_pitch", "cm_two_se", "cm_band"),
)


def concurrency(ranks: int, levels: int = len(LADDER)) -> int:
    """How many levels run at once on this machine at ``ranks`` ranks each."""
    return max(1, min(levels, (os.cpu_count() or 1) // max(1, ranks)))


def grid_fields(levels: list[dict[str, Any]], sizes: list[float]) -> dict[str, Any]:
    """The band fields of the finest of three level results (coarsest first)
    with cell sizes ``sizes``: grid estimate combined with the iterative band."""
    fine = levels[-1]
    out: dict[str, Any] = {}
    estimate: gci.GridEstimate | None = None
    for key, two_se, band in BANDED:
        values = [lv.get(key) for lv in levels]
        if any(v is None for v in values):
            continue
        e = gci.three_grid(values[::-1], sizes[::-1])  # type: ignore[arg-type]
        combined = gci.combine(e.band, fine.get(two_se))
        if combined is not None:
            out[band] = round(combined, 5)
        if key == "cd":
            estimate = e
    if estimate is None:
        return out
    out.update(
        grid_kind=estimate.kind,
        grid_cd_band=round(estimate.band, 5),
        grid_safety_factor=estimate.safety_factor,
        grid_ratio=round(estimate.r21, 4),
    )
    if estimate.order is not None:
        out["grid_order"] = round(estimate.order, 3)
    if estimate.extrapolated is not None:
        out["grid_cd_extrapolated"] = round(estimate.extrapolated, 5)
    out["band_method"] = (
        f"grid: three-grid GCI (Celik et al. 2008) over {'/'.join(LADDER)}, "
        f"r = {estimate.r21:.3f}, {estimate.note}, Fs {estimate.safety_factor:g}"
        + (
            f", Richardson estimate {estimate.extrapolated:.4f}"
            if estimate.extrapolated is not None
            else ""
        )
        + "; combined in quadrature with the finest run's iterative half-width"
    )
    return out


def _summary(level: str, fields: dict[str, Any]) -> str:
    cd = fields.get("cd")
    parts = [level, fields.get("status", "?")]
    if cd is not None:
        parts.append(f"cd {cd:.4f}")
    if fields.get("mesh_cells"):
        parts.append(f"{fields['mesh_cells']} cells")
    if "converged" in fields:
        parts.append("converged" if fields["converged"] else "not converged")
    parts.append(str(fields.get("case_dir", "")))
    return " ".join(str(p) for p in parts)


def run_ladder(
    product: ProductCore,
    *,
    workspace: str | os.PathLike[str],
    prepare: Callable[..., Path],
    run_one: Callable[[Path, str, Progress | None], dict[str, Any]],
    ranks: int = 1,
    on_progress: Progress | None = None,
    cancel: threading.Event | None = None,
) -> dict[str, Any]:
    """Prepare and run every level; returns the fields of the run to record.

    ``prepare(level=...)`` builds a case; ``run_one(case, level, progress)``
    runs it and returns its record fields (``api`` supplies both).
    """
    cases: dict[str, Path] = {level: prepare(level=level) for level in LADDER}

    def one(level: str) -> dict[str, Any]:
        def progress(data: dict[str, Any]) -> None:
            if on_progress is not None:
                on_progress({**data, "level": level})

        if cancel is not None and cancel.is_set():
            return {"status": "cancelled", "case_dir": str(cases[level])}
        return run_one(cases[level], level, progress)

    with ThreadPoolExecutor(max_workers=concurrency(ranks)) as pool:
        results = dict(zip(LADDER, pool.map(one, LADDER), strict=True))
    done = [lv for lv in LADDER if results[lv].get("status") == "completed" and "cd" in results[lv]]
    finest = LADDER[-1]
    fields = dict(results[done[-1]] if done else results[finest])
    fields["level"] = done[-1] if done else finest
    fields["ladder"] = "; ".join(_summary(lv, results[lv]) for lv in LADDER)
    fields["wall_time_s"] = round(
        sum(float(r.get("wall_time_s") or 0) for r in results.values()), 3
    )
    unconverged = [lv for lv in done if results[lv].get("converged") is False]
    if len(done) == len(LADDER) and not unconverged:
        sizes = [
            float(case_mod.read_case_info(cases[lv]).get("base_cell_m") or RATIO**-i)
            for i, lv in enumerate(LADDER)
        ]
        fields.update(grid_fields([results[lv] for lv in LADDER], sizes))
    elif done:
        missing = [lv for lv in LADDER if lv not in done]
        why = [f"{', '.join(missing)} did not complete"] if missing else []
        if unconverged:
            why.append(f"{', '.join(unconverged)} stopped at the cap without converging")
        fields["band_method"] = (
            str(fields.get("band_method", "iterative only"))
            + f"; no grid estimate: {'; '.join(why)}"
        )
    return fields
