"""A study's results: a table, and a chart of Cd against yaw per product.

``results_table`` gives one row per case (product, level, speed, yaw,
status and the recorded coefficients). ``chart`` draws Cd against yaw, one
line per product (its finest mesh level), with each case's band: Cd ± two
standard errors of its mean over the averaging window (``cd_band``, the
band ``history``, ``show`` and the reports use), widened by the other mesh
levels' values where the study ran a ladder; a case that did not converge
is an open marker. The side-force coefficient goes on a
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

COLUMNS = ("key", "product", "level", "speed", "yaw", "status", "cd", "cd_band", "cl", "cs",
           "cm_yaw", "cd_spread", "converged", "wall_time_s", "recorded_run",
           "recorded_run_id")  # fmt: skip


def results_table(workspace: str | Path, name: str) -> dict[str, Any]:
    state = StudyState.load(Path(workspace).resolve(), name)
    rows = [
        {c: ({"key": key} | entry).get(c) for c in COLUMNS} for key, entry in state.cases.items()
    ]
    return {"study": state.name, "columns": list(COLUMNS), "rows": rows, "counts": state.counts()}


def _series(rows: list[dict[str, Any]], column: str) -> dict[str, dict[str, list[Any]]]:
    """Per product: yaw, value (finest level), the band's low and high, and
    whether that value converged."""
    by: dict[str, dict[float, list[tuple[int, float, float, bool]]]] = defaultdict(
        lambda: defaultdict(list)
    )
    for row in rows:
        value = row.get(column)
        if column == "cs" and value is None and not row.get("yaw"):
            value = 0.0  # the half model at zero yaw: no side force, by symmetry
        if row.get("status") != "completed" or value is None:
            continue
        band = float(row.get("cd_band") or 0.0) if column == "cd" else 0.0
        rank = LADDER.index(row["level"]) if row.get("level") in LADDER else 0
        converged = row.get("converged") is not False
        by[row["product"]][float(row["yaw"])].append((rank, float(value), band, converged))
    out: dict[str, dict[str, list[Any]]] = {}
    for product, points in sorted(by.items()):
        series: dict[str, list[Any]] = {
            "yaw": [], "value": [], "low": [], "high": [], "converged": []
        }  # fmt: skip
        for yaw in sorted(points):
            found = sorted(points[yaw])
            series["yaw"].append(yaw)
            series["value"].append(found[-1][1])
            series["converged"].append(found[-1][3])
            series["low"].append(min(v - b for _, v, b, _ in found))
            series["high"].append(max(v + b for _, v, b, _ in found))
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
    unconverged = False
    fig = Figure(figsize=(6.4, 3.6 * panels), dpi=100)
    axes = fig.subplots(panels, 1, squeeze=False)[:, 0]
    for ax, series, label in zip(axes, (cd, cs), ("Cd", "Cs (side force)"), strict=False):
        for product, s in series.items():
            (line,) = ax.plot(s["yaw"], s["value"], marker="o", label=product)
            ax.fill_between(s["yaw"], s["low"], s["high"], color=line.get_color(), alpha=0.2)
            open_ = [i for i, ok in enumerate(s["converged"]) if not ok]
            if open_:
                ax.plot([s["yaw"][i] for i in open_], [s["value"][i] for i in open_],
                        linestyle="none", marker="o", markerfacecolor="white",
                        markeredgecolor=line.get_color(), zorder=3)  # fmt: skip
                unconverged = True
        ax.set_xlabel("yaw angle (deg)")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
        if series:
            ax.legend(loc="best", fontsize="small")
        else:
            ax.text(0.5, 0.5, "no completed cases yet", ha="center", va="center",
                    transform=ax.transAxes)  # fmt: skip
    axes[0].set_title(f"study {table['study']}: {label_counts(table['counts'])}")
    note = "band: Cd ± 95 % of the mean over each case's window"
    if unconverged:
        note += "; open marker: not converged"
    fig.text(0.01, 0.005, note, fontsize="x-small", color="0.35", va="bottom")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    buffer = io.BytesIO()
    fig.savefig(buffer, format=fmt, metadata={"Date": None} if fmt == "svg" else None)
    return buffer.getvalue()


def label_counts(counts: dict[str, int]) -> str:
    return ", ".join(f"{n} {status}" for status, n in counts.items())
