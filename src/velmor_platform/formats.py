"""Values as people read them: the glyph sets, numbers, durations and
timestamps as table cells, and any result as valid JSON.

Shared by the faces (the command line's tables, the web's pages), so a value
reads the same on both, and so do the few sentences both faces say about a
result (``range_summary``, ``resolution_line``, ``geometry_line``,
``change_lines``). When a stream cannot encode the block and box
characters (an ASCII locale), ``PLAIN`` stand-ins are used instead of
``FANCY``. This module imports nothing else of the package.
"""

from __future__ import annotations

import math
import sys
from pathlib import PurePath
from typing import Any, TextIO

# ------------------------------------------------------------------ characters

FANCY = {
    "none": "—",
    "arrow": "→",
    "pm": "±",
    "mark": "▶",
    "blocks": " ▏▎▍▌▋▊▉█",
    "spark": "▁▂▃▄▅▆▇█",
    "spin": "⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏",
    "delta": "Δ",
    "deg": "°",
}
PLAIN = {
    "none": "-",
    "arrow": "->",
    "pm": "+/-",
    "mark": ">",
    "blocks": " ########",  # whole cells only
    "spark": "_.-~=*#@",
    "spin": "|/-\\",
    "delta": "d",
    "deg": " deg",
}


def glyphs(stream: TextIO | None = None) -> dict[str, str]:
    """The character set that ``stream`` (default: stdout) can encode."""
    stream = stream if stream is not None else sys.stdout
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        "".join(FANCY.values()).encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return PLAIN
    return FANCY


# ---------------------------------------------------------------------- JSON


def jsonable(value: Any) -> Any:
    """``value`` with paths as strings, tuples and sets as lists, and
    non-finite floats as null, so that it is valid JSON."""
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, (set, frozenset)):
        return sorted(jsonable(v) for v in value)
    if isinstance(value, PurePath):
        return str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


# ------------------------------------------------------------------- numbers


def fmt(value: Any, g: dict[str, str] | None = None) -> str:
    """A value as a table cell: None as a dash, whole floats without ".0",
    other floats with up to six significant digits."""
    g = g or glyphs()
    if value is None:
        return g["none"]
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        if not math.isfinite(value):
            return str(value)
        if value.is_integer() and abs(value) < 1e15:
            return str(int(value))
        return f"{value:.6g}"
    if isinstance(value, (list, tuple)):
        return ", ".join(fmt(v, g) for v in value)
    return str(value)


def fmt_signed(value: Any, g: dict[str, str] | None = None) -> str:
    if isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0:
        return "+" + fmt(value, g)
    return fmt(value, g)


def fmt_count(value: Any, g: dict[str, str] | None = None) -> str:
    """A large count compactly: 18400000 -> 18.4M."""
    if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
            if abs(value) >= scale:
                return f"{value / scale:.3g}{suffix}"
    return fmt(value, g)


def fmt_duration(seconds: Any, g: dict[str, str] | None = None) -> str:
    """Seconds as 4h07m, 6m52s or 12s."""
    if (
        not isinstance(seconds, (int, float))
        or isinstance(seconds, bool)
        or not math.isfinite(seconds)
    ):
        return fmt(seconds, g)
    total = round(seconds)
    hours, rest = divmod(total, 3600)
    minutes, secs = divmod(rest, 60)
    if hours:
        return f"{hours}h{minutes:02d}m"
    if minutes:
        return f"{minutes}m{secs:02d}s"
    return f"{secs}s"


def progress_text(progress: dict[str, Any] | None, g: dict[str, str] | None = None) -> str:
    """A running case's progress as ``simulate`` shows it:
    ``simpleFoam 240/1000  cd 0.3123  12m30s`` (what is known of it)."""
    if not progress:
        return ""
    parts = []
    stage = progress.get("stage")
    iteration, cap = progress.get("iteration"), progress.get("iterations")
    if iteration is not None:
        parts.append(f"{stage or 'iteration'} {iteration}" + (f"/{cap}" if cap else ""))
    elif stage:
        parts.append(str(stage))
    if is_number(progress.get("cd")):
        parts.append(f"cd {progress['cd']:.4g}")
    if is_number(progress.get("elapsed_s")):
        parts.append(fmt_duration(progress["elapsed_s"], g))
    return "  ".join(parts)


def fmt_timestamp(stamp: Any, g: dict[str, str] | None = None) -> str:
    """An ISO 8601 timestamp as "YYYY-MM-DD HH:MM"; anything else as it is."""
    if isinstance(stamp, str):
        from datetime import datetime

        try:
            return datetime.fromisoformat(stamp).strftime("%Y-%m-%d %H:%M")
        except ValueError:
            return stamp
    return fmt(stamp, g)


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


# --------------------------------------------------------------------- units

UNITS = {
    "mass": "kg",
    "wheelbase": "m",
    "track_width": "m",
    "cg_height": "m",
    "frontal_area": "m²",
    "battery_kwh": "kWh",
    "lateral_g": "g",
    "yaw_rate_dps": "deg/s",
    "roll_angle_deg": "deg",
}
_ASCII_UNITS = {"m²": "m^2"}
#: A run's results as a history lists them: key and short label.
RUN_RESULTS = (
    ("cd", "cd"),
    ("cl", "cl"),
    ("cm_pitch", "cm"),
    ("lateral_g", "lat"),
    ("yaw_rate_dps", "yaw"),
    ("roll_angle_deg", "roll"),
)


def unit(key: str, g: dict[str, str] | None = None) -> str:
    """The unit of ``key`` in the glyph set ``g`` (m^2 for m² in plain ASCII)."""
    found = UNITS.get(key, "")
    return _ASCII_UNITS.get(found, found) if (g or glyphs()) is PLAIN else found


def run_results(run: dict[str, Any], g: dict[str, str] | None = None) -> str:
    """A run's results, each with its short label and unit."""
    parts = []
    for key, label in RUN_RESULTS:
        if key in run:
            u = unit(key, g)
            parts.append(f"{label} {fmt(run[key], g)}{(' ' + u) if u else ''}")
    return "  ".join(parts) or fmt(None, g)


# ----------------------------------------------------------------- sentences


def range_summary(
    report: dict[str, Any], source: str, g: dict[str, str] | None = None
) -> list[str]:
    """A range estimate in two sentences."""
    return [
        f"{report['product']}: highway range at {fmt(report['speed_kmh'], g)} km/h "
        f"with cd {fmt(report['cd'], g)} ({source})",
        f"{report['range_km']:.1f} km, rank {report['rank']} of {report['field_size']}",
    ]


def resolution_line(
    heading: str, data: dict[str, Any], selected: bool, g: dict[str, str] | None = None
) -> str:
    """A domain's selected (or default) backend and the dispatch backend it resolves to."""
    how = "selected" if selected else "default"
    return (
        f"{heading}: {data['domain']}: {how} {data['selected']} {(g or glyphs())['arrow']} "
        f"dispatch backend {data['dispatch_backend']}"
    )


def geometry_line(heading: str, reply: dict[str, Any]) -> str:
    """A checked geometry: its status, file and size."""
    return f"{heading}: geometry {reply['status']}: {reply['path']} ({reply['size_mb']:.2f} MB)"


def change_pairs(
    changes: list[tuple[str, Any, Any]], g: dict[str, str] | None = None
) -> list[tuple[str, str]]:
    """(key, "old → new") for each changed value."""
    arrow = (g or glyphs())["arrow"]
    return [(key, f"{fmt(before, g)} {arrow} {fmt(after, g)}") for key, before, after in changes]
