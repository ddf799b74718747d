"""The plots of a run, with matplotlib's Agg backend (no display, no system library)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from .readers import Columns, Window

DPI = 100
_COLOURS = ("#1f5fa8", "#d0542b", "#2c8c4a", "#7b3fa0")


def _figure(height: float = 4.2, rows: int = 1) -> Any:
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9.6, height), dpi=DPI)
    axes = fig.subplots(rows, 1, sharex=rows > 1, squeeze=False)[:, 0]
    return fig, axes


def _save(fig: Any, target: Path) -> Path:
    target.parent.mkdir(parents=True, exist_ok=True)
    fig.tight_layout()
    fig.savefig(target, dpi=DPI, metadata={"Software": None})
    return target


def _limits(values: Any, window: Window | None, time: Any) -> tuple[float, float] | None:
    """Y limits that show the settled part: the wild first iterations are clipped."""
    values = np.asarray(values, dtype=float)
    finite = np.isfinite(values)
    if window is not None:
        later = finite & (time >= max(0, window.first - (window.last - window.first)))
    else:
        later = finite & (time >= time[len(time) // 3] if len(time) else finite)
    if not later.any():
        return None
    lo, hi = float(values[later].min()), float(values[later].max())
    pad = max(0.05 * abs(hi), 0.25 * (hi - lo), 1e-3)
    return lo - pad, hi + pad


def convergence(
    history: Columns, window: Window | None, residuals: Columns, target: Path
) -> Path | None:
    """Cd and Cl per iteration with the averaging window and the band;
    residuals below on a log scale."""
    time = history.get("Time")
    if time is None or not len(time):
        return None
    fig, (top, mid, bottom) = _figure(8.4, 3)
    for ax, name, colour in ((top, "Cd", _COLOURS[0]), (mid, "Cl", _COLOURS[1])):
        if name not in history:
            continue
        ax.plot(time, history[name], color=colour, lw=1.0, label=name)
        limits = _limits(history[name], window, time)
        if limits:
            ax.set_ylim(*limits)
        ax.set_ylabel(name)
        ax.grid(alpha=0.3)
        if window is not None:
            ax.axvspan(window.first, window.last, color="#999999", alpha=0.18, lw=0)
    if window is not None:
        top.axhline(window.cd, color="black", lw=0.9)
        if np.isfinite(window.half_width):
            top.axhspan(window.lo, window.hi, color=_COLOURS[0], alpha=0.18, lw=0)
            band = f"Cd {window.cd:.4f} ± {window.half_width:.4f} (95 % of the mean)"
        else:
            band = f"Cd {window.cd:.4f}"
        top.set_title(
            f"{band}, averaged over iterations {window.first}-{window.last} (shaded)", fontsize=10
        )
    shown = False
    for i, (name, values) in enumerate(sorted(residuals.items())):
        if name == "Time":
            continue
        values = np.asarray(values, dtype=float)
        positive = np.where(values > 0, values, np.nan)
        bottom.semilogy(residuals["Time"], positive, lw=0.9, label=name, color=f"C{i % 10}")
        shown = True
    bottom.set_ylabel("initial residual")
    bottom.set_xlabel("iteration")
    bottom.grid(alpha=0.3, which="both")
    if shown:
        bottom.legend(loc="upper right", fontsize=8, ncol=5)
    return _save(fig, target)


def cumulative_drag(
    curves: list[tuple[str, Any, Any]], target: Path, extent: tuple[float, float] | None = None
) -> Path | None:
    """Drag accumulated from the nose along the car, one line per run."""
    curves = [c for c in curves if c[1] is not None and len(c[1])]
    if not curves:
        return None
    fig, (ax,) = _figure(4.2)
    for i, (label, x, cd) in enumerate(curves):
        ax.plot(x, cd, marker="o", ms=2.5, lw=1.4, color=_COLOURS[i % len(_COLOURS)], label=label)
        ax.annotate(
            f"{cd[-1]:.3f}",
            (x[-1], cd[-1]),
            textcoords="offset points",
            xytext=(4, 0),
            fontsize=8,
            color=_COLOURS[i % len(_COLOURS)],
        )
    ax.axhline(0, color="black", lw=0.6)
    if extent is not None:
        ax.axvspan(extent[0], extent[1], color="#999999", alpha=0.1, lw=0)
    ax.set_xlabel("x from the nose, m (flow from left to right)")
    ax.set_ylabel("Cd accumulated up to x")
    ax.grid(alpha=0.3)
    ax.legend(loc="best", fontsize=9)
    return _save(fig, target)
