"""Terminal rendering for the ``velmor`` command: JSON, tables, bar charts,
sparklines and a spinner.

Everything here writes plain text; nothing imports the product core. Values
are formatted by ``velmor_platform.formats`` (shared with the web pages),
whose names are re-exported here for the command modules.
"""

from __future__ import annotations

import itertools
import os
import re
import sys
import unicodedata
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Self, TextIO

from ..formats import (
    FANCY,
    PLAIN,
    change_pairs,
    fmt,
    fmt_count,
    fmt_duration,
    fmt_signed,
    fmt_timestamp,
    geometry_line,
    glyphs,
    is_number,
    jsonable,
    range_summary,
    resolution_line,
    run_results,
    unit,
)

if TYPE_CHECKING:
    import threading

# json, shutil and threading are imported where they are used: every command
# imports this module, and few need all of them.

__all__ = [
    "FANCY",
    "PLAIN",
    "Spinner",
    "bar",
    "change_pairs",
    "clean",
    "dump_json",
    "fmt",
    "fmt_count",
    "fmt_duration",
    "fmt_signed",
    "fmt_timestamp",
    "geometry_line",
    "glyphs",
    "is_number",
    "jsonable",
    "key_values",
    "ljust",
    "range_summary",
    "resolution_line",
    "rjust",
    "run_results",
    "sparkline",
    "table",
    "terminal_width",
    "unit",
    "width",
]

_FANCY = FANCY  # the names the tests and older callers know
_PLAIN = PLAIN


def dump_json(value: Any, stream: TextIO | None = None) -> None:
    stream = stream if stream is not None else sys.stdout
    encoding = (getattr(stream, "encoding", None) or "ascii").lower().replace("-", "")
    import json

    text = json.dumps(jsonable(value), indent=2, ensure_ascii=encoding != "utf8")
    # json escapes C0 controls; DEL and the C1 range (which some terminals
    # obey as escape sequences) can only occur inside strings: escape them too.
    stream.write(_C1.sub(lambda m: f"\\u{ord(m.group()):04x}", text) + "\n")


# ----------------------------------------------------------- text from files

_C1 = re.compile("[\x7f-\x9f]")


def clean(text: str) -> str:
    """``text`` with control characters (escape sequences, carriage
    returns, line breaks, ...) shown as escapes, so that a string read from
    a file cannot move the cursor, clear the screen or fake a line."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _escape(c) for c in text)


def _escape(char: str) -> str:
    code = ord(char)
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


# Characters that take one cell for certain: Latin, Greek, Cyrillic and the
# punctuation, arrows, box-drawing and block characters the tables use.
_ONE_CELL = re.compile("[\x00-\u02ff\u0370-\u0482\u2010-\u20cf\u2100-\u2e7f]*")


def width(text: str) -> int:
    """Terminal cells taken by ``text``: wide (East Asian) characters take
    two, combining marks none."""
    if text.isascii() or _ONE_CELL.fullmatch(text):
        return len(text)
    cells = 0
    for c in text:
        if unicodedata.combining(c):
            continue
        cells += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return cells


def ljust(text: str, cells: int) -> str:
    return text + " " * (cells - width(text))


def rjust(text: str, cells: int) -> str:
    return " " * (cells - width(text)) + text


# -------------------------------------------------------------------- tables


def table(
    headers: Sequence[str],
    rows: Iterable[Sequence[str]],
    *,
    right: Iterable[int] = (),
    indent: str = "",
) -> list[str]:
    """Lines of a plain table: a header row, then the rows, columns two
    spaces apart. Columns whose index is in ``right`` are right-aligned."""
    right = set(right)
    measured = [[(cell, width(cell)) for cell in row] for row in [headers, *rows]]
    widths = [0] * len(headers)
    for row in measured:
        for i, (_, cells) in enumerate(row):
            if cells > widths[i]:
                widths[i] = cells

    def line(row: list[tuple[str, int]]) -> str:
        out = []
        for i, (cell, cells) in enumerate(row):
            pad = " " * (widths[i] - cells)
            out.append(pad + cell if i in right else cell + pad)
        return (indent + "  ".join(out)).rstrip()

    return [line(row) for row in measured]


def key_values(pairs: Iterable[tuple[str, str]], indent: str = "  ") -> list[str]:
    pairs = list(pairs)
    cells = max((width(k) for k, _ in pairs), default=0)
    return [f"{indent}{ljust(k, cells)}  {v}".rstrip() for k, v in pairs]


# ------------------------------------------------------- bars and sparklines


def bar(value: float, lo: float, hi: float, width: int, g: dict[str, str] | None = None) -> str:
    """A horizontal bar for ``value`` on the scale ``lo``..``hi`` spanning
    ``width`` cells, drawn in eighths of a cell where the charset allows."""
    g = g or glyphs()
    if not is_number(value) or width <= 0:
        return ""
    span = hi - lo
    fraction = 1.0 if span <= 0 else min(max((value - lo) / span, 0.0), 1.0)
    blocks = g["blocks"]
    steps = len(blocks) - 1
    eighths = round(fraction * width * steps)
    full, part = divmod(eighths, steps)
    text = blocks[-1] * full
    if part and full < width:
        text += blocks[part]
    return text


def sparkline(values: Sequence[float], g: dict[str, str] | None = None) -> str:
    """One character per value, its height scaled between the smallest and
    the largest value; equal values sit in the middle."""
    g = g or glyphs()
    ticks = g["spark"]
    numbers = [v for v in values if is_number(v)]
    if not numbers:
        return ""
    lo, hi = min(numbers), max(numbers)
    out = []
    for v in values:
        if not is_number(v):
            out.append(" ")
        elif hi == lo:
            out.append(ticks[len(ticks) // 2])
        else:
            out.append(ticks[round((v - lo) / (hi - lo) * (len(ticks) - 1))])
    return "".join(out)


def terminal_width(default: int = 80) -> int:
    import shutil

    return max(40, shutil.get_terminal_size((default, 24)).columns)


# ------------------------------------------------------------------- spinner


class Spinner:
    """A spinner with a message on ``stream`` while a slow call runs.

    It draws only when the stream is a terminal, so redirected or captured
    output never sees it, and it erases its line when done::

        with Spinner("asking the OpenFOAM server"):
            slow_call()
    """

    interval = 0.1

    def __init__(self, message: str, stream: TextIO | None = None) -> None:
        self.message = message
        self.stream = stream if stream is not None else sys.stderr
        self.active = _isatty(self.stream) and os.environ.get("TERM") != "dumb"
        import threading

        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> Self:
        if self.active:
            import threading

            self._thread = threading.Thread(target=self._run, name="velmor-spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            self._write("\r" + " " * (len(self.message) + 2) + "\r")

    def _run(self) -> None:
        frames = itertools.cycle(glyphs(self.stream)["spin"])
        while True:
            self._write(f"\r{next(frames)} {self.message}")
            if self._stop.wait(self.interval):
                return

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self._stop.set()


def _isatty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False
