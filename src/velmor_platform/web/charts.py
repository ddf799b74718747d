"""Charts as inline SVG, drawn here from the command's answers.

Each chart scales to the width of its container (``viewBox`` and
``width=100%``), names itself with ``<title>`` and ``aria-label`` and a
``<desc>`` giving its figures in words, and takes its colours from the
stylesheet through class names. Every piece of text is escaped.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import Any

from markupsafe import Markup, escape

from ..services.products import BAND_KEY, TOLERANCE_KEY, fidelity_mark
from . import answers

# Coefficients charted over runs: key, label.
SERIES = (
    ("cd", "drag coefficient cd"),
    ("cl", "lift coefficient cl"),
    ("cm_pitch", "pitching moment coefficient cm_pitch"),
)


def _num(value: Any) -> float | None:
    return float(value) if answers.is_number(value) else None


def _n(value: float) -> str:
    return f"{value:.1f}"


def _ticks(lo: float, hi: float, count: int = 4) -> list[float]:
    """Round tick values covering lo..hi."""
    span = hi - lo
    raw = span / count
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)
    first = math.ceil(lo / step - 1e-9) * step
    out = []
    value = first
    while value <= hi + step * 1e-9:
        out.append(round(value, 12))
        value += step
    return out


def _svg(label: str, desc: str, width: int, height: int, body: Iterable[str]) -> Markup:
    text = escape(label)
    return Markup(
        f'<svg class="chart" viewBox="0 0 {width} {height}" width="100%" role="img" '
        f'aria-label="{text}" preserveAspectRatio="xMidYMid meet">'
        f"<title>{text}</title><desc>{escape(desc)}</desc>{''.join(body)}</svg>"
    )


#: The smallest span of a coefficient chart's axis.
MIN_SPAN = 0.02
#: The longest vehicle name the range chart writes out (the rest is in its tooltip).
NAME_CHARS = 24


def _yaw(run: dict[str, Any]) -> float:
    """The run's yaw angle; a run recorded without one was straight ahead."""
    return _num(run.get("yaw_deg")) or 0.0


def _shortened(name: str) -> str:
    return name if len(name) <= NAME_CHARS else name[: NAME_CHARS - 1] + "…"


def run_chart(
    key: str, label: str, runs: Sequence[dict[str, Any]], targets: dict[str, Any]
) -> Markup | None:
    """One coefficient over the runs that report it, with the target band."""
    charted = [r for r in runs if answers.is_number(r.get(key))]
    points = [(str(r.get("run_id") or r.get("name", "")), r[key]) for r in charted]
    if not points:
        return None
    # Each figure's band (an error bar) and fidelity (in its tooltip).
    bands = [_num(r.get(BAND_KEY[key])) if key in BAND_KEY else None for r in charted]
    marks = [fidelity_mark(r) for r in charted]
    target = _num(targets.get(key))
    tol_key = TOLERANCE_KEY.get(key)
    tol = _num(targets.get(tol_key)) if tol_key else None
    values = [float(v) for _, v in points]
    lo = min(v - (b or 0.0) for v, b in zip(values, bands, strict=True))
    hi = max(v + (b or 0.0) for v, b in zip(values, bands, strict=True))
    if target is not None:
        band = tol if tol is not None else 0.0
        lo, hi = min(lo, target - band), max(hi, target + band)
    if hi - lo < MIN_SPAN:
        # Differences far below a coefficient's scale are drawn flat, not as cliffs.
        mid = (hi + lo) / 2
        lo, hi = mid - MIN_SPAN / 2, mid + MIN_SPAN / 2
    pad = (hi - lo) * 0.15
    lo, hi = lo - pad, hi + pad

    width, height = 560, 230
    left, right, top, bottom = 70, 16, 14, 44
    plot_w, plot_h = width - left - right, height - top - bottom

    def x(i: int) -> float:
        return left + (plot_w / 2 if len(points) == 1 else plot_w * i / (len(points) - 1))

    def y(v: float) -> float:
        return top + plot_h * (hi - v) / (hi - lo)

    body: list[str] = []
    # Run ids share the product's prefix: the axis names it once, each point its number.
    stems = {r.rpartition("-")[0] for r, _ in points}
    prefix = f"{stems.pop()}-" if len(points) > 1 and len(stems) == 1 and "" not in stems else ""
    for tick in _ticks(lo, hi):
        ty = y(tick)
        body.append(
            f'<line class="grid" x1="{left}" x2="{width - right}" y1="{_n(ty)}" y2="{_n(ty)}"/>'
        )
        body.append(
            f'<text class="tick" x="{left - 6}" y="{_n(ty + 4)}" text-anchor="end">'
            f"{escape(answers.fmt(tick))}</text>"
        )
    if target is not None:
        if tol is not None and tol > 0:
            y0, y1 = y(target + tol), y(target - tol)
            band_title = f"target {answers.fmt(target)} ±{answers.fmt(tol)}"
            body.append(
                f'<rect class="band" x="{left}" y="{_n(y0)}" width="{plot_w}" '
                f'height="{_n(y1 - y0)}"><title>{escape(band_title)}</title></rect>'
            )
        ty = y(target)
        body.append(
            f'<line class="target" x1="{left}" x2="{width - right}" y1="{_n(ty)}" y2="{_n(ty)}"/>'
        )
        body.append(
            f'<text class="tick" x="{width - right}" y="{_n(ty - 4)}" text-anchor="end">'
            f"target {escape(answers.fmt(target))}</text>"
        )
    # One line per yaw angle: a crosswind run is not a step in the straight-ahead trend.
    yaws = [_yaw(r) for r in charted]
    for angle in sorted(set(yaws), key=abs):
        members = [i for i, a in enumerate(yaws) if a == angle]
        path = " ".join(
            f"{'M' if n == 0 else 'L'}{_n(x(i))},{_n(y(values[i]))}" for n, i in enumerate(members)
        )
        body.append(f'<path class="line{" yawed" if angle else ""}" d="{path}"/>')
        if angle and len(set(yaws)) > 1:
            last = members[-1]
            body.append(
                f'<text class="tick" x="{_n(x(last) - 7)}" y="{_n(y(values[last]) - 6)}" '
                f'text-anchor="end">{escape(answers.fmt(angle))}°</text>'
            )
    for i, (run_id, v) in enumerate(points):
        half = bands[i]
        if half is not None and half > 0:
            body.append(
                f'<line class="errorbar" x1="{_n(x(i))}" x2="{_n(x(i))}" '
                f'y1="{_n(y(v + half))}" y2="{_n(y(v - half))}"/>'
            )
        body.append(
            f'<circle class="point{"" if half is not None else " noband"}" cx="{_n(x(i))}" '
            f'cy="{_n(y(v))}" r="4"><title>{escape(run_id)}: {escape(key)} '
            f"{escape(answers.fmt(v))} at {escape(answers.fmt(yaws[i]))}° yaw "
            f"({escape(marks[i])})</title></circle>"
        )
        anchor = (
            "middle"
            if len(points) > 1 and 0 < i < len(points) - 1
            else ("start" if i == 0 else "end")
        )
        if len(points) == 1:
            anchor = "middle"
        body.append(
            f'<text class="tick" x="{_n(x(i))}" y="{height - bottom + 18}" text-anchor="{anchor}">'
            f"{escape(run_id[len(prefix) :])}</text>"
        )
    if prefix:
        body.append(
            f'<text class="tick" x="{left + plot_w / 2:.1f}" y="{height - 4}" '
            f'text-anchor="middle">run {escape(prefix)}…</text>'
        )
    band_text = ""
    if target is not None:
        band_text = f"; target {answers.fmt(target)}" + (
            f" ±{answers.fmt(tol)}" if answers.is_number(tol) else ""
        )
    desc = (
        ", ".join(
            f"{run_id} {answers.fmt(v)}"
            + (f" at {answers.fmt(a)}° yaw" if a else "")
            + f" ({mark})"
            for (run_id, v), mark, a in zip(points, marks, yaws, strict=True)
        )
        + band_text
    )
    return _svg(f"{label} by run", desc, width, height, body)


def history_charts(
    runs: Sequence[dict[str, Any]], targets: dict[str, Any]
) -> list[tuple[str, Markup]]:
    """(caption, chart) for each coefficient that some run reports."""
    out = []
    for key, label in SERIES:
        chart = run_chart(key, label, runs, targets)
        if chart is not None:
            out.append((f"{label[0].upper()}{label[1:]} by run", chart))
    return out


def range_chart(report: dict[str, Any]) -> Markup:
    """Range of each vehicle of the field as a bar, this product highlighted."""
    field = [(c["name"], c["cd"], c["range_km"], False) for c in report.get("competitors", [])]
    field.insert(report["rank"] - 1, (report["product"], report["cd"], report["range_km"], True))
    top = max((km for _, _, km, _ in field if answers.is_number(km)), default=1.0) or 1.0
    row, width = 32, 520
    left, right = 180, 84
    height = row * len(field) + 10
    body: list[str] = []
    for i, (name, cd, km, mine) in enumerate(field):
        y0 = 5 + i * row
        bar_w = (width - left - right) * (km / top if answers.is_number(km) else 0)
        cls = "bar mine" if mine else "bar"
        label = f"{'▶ ' if mine else ''}{_shortened(name)}"
        body.append(
            f'<text class="label{" mine" if mine else ""}" x="{left - 8}" y="{y0 + 19}" '
            f'text-anchor="end"><title>{escape(name)}</title>{escape(label)}</text>'
        )
        body.append(
            f'<rect class="{cls}" x="{left}" y="{y0 + 4}" width="{_n(bar_w)}" height="{row - 8}">'
            f"<title>{escape(name)}: cd {escape(answers.fmt(cd))}, {km:.1f} km</title></rect>"
        )
        body.append(
            f'<text class="value" x="{_n(left + bar_w + 6)}" y="{y0 + 19}">{km:.1f} km</text>'
        )
    desc = "; ".join(f"{name} cd {answers.fmt(cd)} {km:.1f} km" for name, cd, km, _ in field)
    title = (
        f"Highway range at {answers.fmt(report.get('speed_kmh'))} km/h: "
        f"{report['product']} rank {report['rank']} of {report['field_size']}"
    )
    return _svg(title, desc, width, height, body)
