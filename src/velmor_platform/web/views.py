"""Server-rendered HTML: the templates and the rows they show.

The rows are built from the command's JSON answers (the same dicts the
``/api/...`` twins return), following ``velmor show``'s layout. Templates
are Jinja2 with autoescaping on for every file, so names read from product
files are shown as text, never as markup.
"""

from __future__ import annotations

from typing import Any

from jinja2 import Environment, PackageLoader, StrictUndefined, select_autoescape
from starlette.responses import HTMLResponse

from . import bridge

_SKIP_SPEC = ("vehicle_name", "target_", "benchmark_", "current_")


def _environment() -> Environment:
    env = Environment(
        loader=PackageLoader("velmor_platform.web", "templates"),
        autoescape=select_autoescape(default=True, default_for_string=True),
        undefined=StrictUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
    )
    env.filters["fmt"] = bridge.fmt
    env.filters["signed"] = bridge.fmt_signed
    env.filters["duration"] = bridge.fmt_duration
    env.filters["timestamp"] = bridge.fmt_timestamp
    return env


_env = _environment()


def render(name: str, context: dict[str, Any], status: int = 200) -> HTMLResponse:
    return HTMLResponse(_env.get_template(name).render(**context), status_code=status)


def spec_rows(show: dict[str, Any]) -> list[tuple[str, str]]:
    """The specification as ``velmor show`` lists it: key and value with unit."""
    rows = []
    for key, value in show["specs"].items():
        if key.startswith(_SKIP_SPEC):
            continue
        unit = bridge.UNITS.get(key, "")
        rows.append((key, f"{bridge.fmt(value)} {unit}".rstrip()))
    rows.append(("dynamics capable", bridge.fmt(show["has_dynamics"])))
    return rows


def result_rows(show: dict[str, Any]) -> list[dict[str, Any]]:
    """Targets, benchmarks and latest results side by side, with the check."""
    targets, benchmarks, current = show["targets"], show["benchmarks"], show["current"]
    rows = []
    for key in bridge.RESULT_KEYS:
        if key not in targets and key not in current and key not in benchmarks:
            continue
        target, now = targets.get(key), current.get(key)
        tol_key = bridge.TOLERANCE_KEY.get(key)
        tol = targets.get(tol_key) if tol_key else None
        both = bridge.is_number(now) and bridge.is_number(target)
        rows.append(
            {
                "key": key,
                "target": target,
                "tol": tol,
                "benchmark": benchmarks.get(key),
                "current": now,
                "delta": bridge.fmt_signed(bridge.rounded(now - target))
                if both
                else bridge.fmt(None),
                "check": bridge.check(now, target, tol, tol_key is not None),
                "unit": bridge.UNITS.get(key, ""),
            }
        )
    return rows


def target_form_values(show: dict[str, Any]) -> dict[str, str]:
    """The current value of each field of the targets form, in full (the
    shortest text that reads back as the same number, so that saving the
    form unchanged writes nothing)."""
    values = {}
    for kw, key in bridge.TARGET_FIELDS:
        value = show["targets"].get(key)
        values[kw] = repr(value) if bridge.is_number(value) else ""
    return values


def changed_targets(show: dict[str, Any], values: dict[str, float]) -> dict[str, float]:
    """The submitted target values that differ from the product's."""
    current = show["targets"]
    return {
        kw: v
        for kw, key in bridge.TARGET_FIELDS
        if kw in values
        for v in [values[kw]]
        if current.get(key) != v
    }


def run_results(run: dict[str, Any]) -> str:
    """A run's results as the RESULTS column of ``velmor history`` shows them."""
    return bridge.run_results(run)


_env.filters["run_results"] = run_results
