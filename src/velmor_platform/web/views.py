"""Server-rendered HTML: the templates, the rows they show and the
sentences of the notices.

The rows are built from the service layer's data (the same dicts the
``/api/...`` twins return), following ``velmor show``'s layout. Templates
are Jinja2 with autoescaping on for every file, so names read from product
files are shown as text, never as markup.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from jinja2 import Environment, PackageLoader, StrictUndefined, select_autoescape
from starlette.responses import HTMLResponse

from .. import formats, rules
from ..services import products
from . import answers
from .answers import fmt, fmt_signed, is_number

if TYPE_CHECKING:
    from ..services.authoring import GeometryUpdate, TargetsUpdate
    from ..services.solvers import Resolution

#: Fields of the targets form: (field = keyword, key under which targets reports it).
TARGET_FIELDS: tuple[tuple[str, str], ...] = tuple((kw, key) for kw, key, _ in rules.TARGETS)


def _environment() -> Environment:
    env = Environment(
        loader=PackageLoader("velmor_platform.web", "templates"),
        autoescape=select_autoescape(default=True, default_for_string=True),
        undefined=StrictUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
    )
    env.filters["fmt"] = fmt
    env.filters["signed"] = fmt_signed
    env.filters["duration"] = answers.fmt_duration
    env.filters["timestamp"] = answers.fmt_timestamp
    env.filters["run_results"] = answers.run_results
    env.filters["run_marks"] = products.run_marks
    env.filters["compact"] = lambda n: formats.fmt_count(n, answers.GLYPHS)
    env.filters["progress"] = lambda p: formats.progress_text(p, answers.GLYPHS)
    return env


_env = _environment()


def render(name: str, context: dict[str, Any], status: int = 200) -> HTMLResponse:
    return HTMLResponse(_env.get_template(name).render(**context), status_code=status)


def spec_rows(show: dict[str, Any]) -> list[tuple[str, str]]:
    """The specification as ``velmor show`` lists it: key and value with unit."""
    rows = [
        (key, f"{fmt(value)} {unit}".rstrip()) for key, value, unit in products.spec_items(show)
    ]
    rows.append(("dynamics capable", fmt(show["has_dynamics"])))
    return rows


def result_rows(show: dict[str, Any]) -> list[dict[str, Any]]:
    """Targets, benchmarks and latest results side by side, with the check."""
    return [dict(row, delta=fmt_signed(row["delta"])) for row in products.result_rows(show)]


def target_form_values(show: dict[str, Any]) -> dict[str, str]:
    """The current value of each field of the targets form, in full (the
    shortest text that reads back as the same number, so that saving the
    form unchanged writes nothing)."""
    values = {}
    for kw, key in TARGET_FIELDS:
        value = show["targets"].get(key)
        values[kw] = repr(value) if is_number(value) else ""
    return values


# ------------------------------------------------------------------ notices


def targets_notice(found: TargetsUpdate) -> list[str]:
    """What was written: the file, then each target's old and new value."""
    pairs = formats.change_pairs(found.changes, answers.GLYPHS)
    width = max((len(key) for key, _ in pairs), default=0)
    return [f"{found.heading}: design-intent targets updated in {found.usd_path}"] + [
        f"  {key.ljust(width)}  {text}" for key, text in pairs
    ]


def geometry_notice(found: GeometryUpdate) -> list[str]:
    return [formats.geometry_line(found.heading, found.reply), found.reply["note"]]


def resolution_line(found: Resolution, selected: bool) -> str:
    """A domain's selected backend and the dispatch backend it resolves to."""
    return formats.resolution_line(found.heading, found.data, selected, answers.GLYPHS)


def range_summary(report: dict[str, Any], source: str) -> list[str]:
    """The range estimate in two sentences."""
    return formats.range_summary(report, source, answers.GLYPHS)
