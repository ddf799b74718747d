"""A study's results: a table, and a chart of Cd against yaw per product.

``results_table`` gives one row per case (product, level, speed, yaw,
status and the recorded coefficients). ``chart`` draws Cd against yaw, one
line per product (its finest mesh level), with a band: the spread of Cd
over the averaging window of each case, widened by the other mesh levels'
values where the study ran a ladder. The side-force coefficient goes on a
second panel when the study has yawed cases (zero at zero yaw, where
the half model's symmetry leaves none). matplotlib's Agg backend
draws SVG or PNG off-screen.
"""

from __future__ import annotations

import io
from collections import defaultdict
from pathlib import Path
from typing import Any

from .errors import StudyError
from .model import LADDER
from .state import StudyState

COLUMNS = ("key", "product", "level", "speed", "yaw", "status", "cd", "cl", "cs", "cm_yaw",
           "cd_spread", "converged", "wall_time_s", "recorded_run")  # fmt: skip


def results_table(workspace: str | Path, name: str) -> dict[str, Any]:
    state = StudyState.load(Path(workspace).resolve(), name)
    rows = [
        {c: ({"key": key} | entry).get(c) for c in COLUMNS} for key, entry in state.cases.items()
    ]
    return {"study": state.name, "columns": list(COLUMNS), "rows": rows, "counts": state.counts()}


def _series(rows: list[dict[str, Any]], column: str) -> dict[str, dict[str, list[float]]]:
    """Per product: yaw, value (finest level) and the band's low and high."""
    by: dict[str, dict[float, list[tuple[int, float, float]]]] = defaultdict(
        lambda: defaultdict(list)
    )
    for row in rows:
        value = row.get(column)
        if column == "cs" and value is None and not row.get("yaw"):
            value = 0.0  # the half model at zero yaw: no side force, by symmetry
        if row.get("status") != "completed" or value is None:
            continue
        spread = float(row.get("cd_spread") or 0.0) if column == "cd" else 0.0
        rank = LADDER.index(row["level"]) if row.get("level") in LADDER else 0
        by[row["product"]][float(row["yaw"])].append((rank, float(value), spread))
    out: dict[str, dict[str, list[float]]] = {}
    for product, points in sorted(by.items()):
        series: dict[str, list[float]] = {"yaw": [], "value": [], "low": [], "high": []}
        for yaw in sorted(points):
            found = sorted(points[yaw])
            value = found[-1][1]
            series["yaw"].append(yaw)
            series["value"].append(value)
            series["low"].append(min(v - s / 2 for _, v, s in found))
            series["high"].append(max(v + s / 2 for _, v, s in found))
        out[product] = series
    return out


def chart(workspace: str | Path, name: str, fmt: str = "svg") -> bytes:
    """The study's chart as SVG or PNG bytes."""
    if fmt not in ("svg", "png"):
        raise StudyError("invalid", f"chart format {fmt!r}: choose svg or png")
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    table = results_table(workspace, name)
    rows = table["rows"]
    cd = _series(rows, "cd")
    cs = _series(rows, "cs") if any(r.get("yaw") for r in rows) else {}
    panels = 2 if cs else 1
    fig = Figure(figsize=(6.4, 3.6 * panels), dpi=100)
    axes = fig.subplots(panels, 1, squeeze=False)[:, 0]
    for ax, series, label in zip(axes, (cd, cs), ("Cd", "Cs (side force)"), strict=False):
        for product, s in series.items():
            (line,) = ax.plot(s["yaw"], s["value"], marker="o", label=product)
            ax.fill_between(s["yaw"], s["low"], s["high"], color=line.get_color(), alpha=0.2)
        ax.set_xlabel("yaw angle (deg)")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
        if series:
            ax.legend(loc="best", fontsize="small")
        else:
            ax.text(0.5, 0.5, "no completed cases yet", ha="center", va="center",
                    transform=ax.transAxes)  # fmt: skip
    axes[0].set_title(f"study {table['study']}: {label_counts(table['counts'])}")
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format=fmt, metadata={"Date": None} if fmt == "svg" else None)
    return buffer.getvalue()


def label_counts(counts: dict[str, int]) -> str:
    return ", ".join(f"{n} {status}" for status, n in counts.items())
