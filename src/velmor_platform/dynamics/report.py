"""The report of a dynamics run: its record, its steps and its picture.

The picture is drawn once into ``<run folder>/velmor-post/dynamics.png`` (as a
CFD run's pictures are) and redrawn when the run's result is newer. The
report's data has the shape the run page and ``velmor report`` use: ``label``,
``run``, ``images`` (file, caption, group, key) and ``record`` rows.
"""

from __future__ import annotations

import base64
import html
import json
from pathlib import Path
from typing import Any

from ..core.layer_io import atomic_write_bytes
from . import pictures

POST_DIR = "velmor-post"
CAPTION = (
    "Steady-state circle: road-wheel angle (steering-wheel angle on the right axis) and roll "
    "angle against lateral acceleration, and the path driven"
)
_ROWS = (
    ("status", "status", None),
    ("lateral_g", "largest steady lateral acceleration", "g"),
    ("yaw_rate_dps", "yaw rate at the reference speed", "deg/s"),
    ("roll_angle_deg", "roll angle at the reference lateral acceleration", "deg"),
    ("understeer_gradient_deg_per_g", "understeer gradient (front road wheels)", "deg/g"),
    ("understeer_gradient_axles_deg_per_g", "of which the axles' steer difference", "deg/g"),
    ("rear_roll_steer_deg_per_g", "and the rear wheels' roll steer", "deg/g"),
    ("roll_gradient_deg_per_g", "roll gradient", "deg/g"),
    ("solver_version", "Chrono", None),
    ("handling_template", "handling template", None),
    ("aero_run", "aero", None),
    ("wall_time_s", "wall time", "s"),
)


def _text(value: Any, unit: str | None) -> str:
    if isinstance(value, float):
        value = f"{value:.4g}"
    return f"{value} {unit}" if unit else str(value)


def record_rows(run: dict[str, Any]) -> list[tuple[str, str]]:
    rows = [(label, _text(run[key], unit)) for key, label, unit in _ROWS if key in run]
    try:
        settings = json.loads(str(run.get("dynamics_settings") or "{}"))
    except ValueError:
        settings = {}
    if settings:
        rows.append((
            "manoeuvre",
            f"{settings.get('radius_m')} m circle, friction {settings.get('friction')}, "
            f"step {settings.get('step_s')} s; reference {settings.get('reference_speed')} m/s "
            f"and {settings.get('reference_lateral_g')} g",
        ))  # fmt: skip
    if run.get("message") and run["message"] != run.get("aero_run"):  # not the aero row again
        rows.append(("notes", str(run["message"])))
    return rows


def report_data(folder: Path, run: dict[str, Any]) -> dict[str, Any]:
    """The report of the dynamics run ``run`` whose run folder is ``folder``."""
    target = folder / POST_DIR / pictures.PICTURE
    result = folder / "result.json"
    if not target.is_file() or target.stat().st_mtime < result.stat().st_mtime:
        try:
            ratio = json.loads(str(run.get("handling_values") or "{}"))["steering_ratio"]["value"]
        except (ValueError, KeyError, TypeError):
            ratio = None
        pictures.render(folder, ratio, target)
    image = {"file": pictures.PICTURE, "caption": CAPTION, "group": "dynamics", "key": "dynamics"}
    label = str(run.get("run_id") or run.get("name"))
    return {"label": label, "run": run, "images": [image], "renderer": None}


def view(data: dict[str, Any]) -> dict[str, Any]:
    """The sections of the run page."""
    return {
        "record": record_rows(data["run"]),
        "renderer": None,
        "groups": [{"group": "dynamics", "name": "Steady-state circular driving",
                    "images": [dict(i, against=False) for i in data["images"]]}],
        "part_columns": [],
        "parts": [],
        "mesh": "",
        "against": None,
    }  # fmt: skip


def write_html(folder: Path, data: dict[str, Any], target: Path) -> Path:
    """One self-contained HTML file (the picture embedded), the PNG beside it."""
    target.parent.mkdir(parents=True, exist_ok=True)
    figures = []
    for image in data["images"]:
        raw = (folder / POST_DIR / image["file"]).read_bytes()
        if target.parent.resolve() != (folder / POST_DIR).resolve():
            atomic_write_bytes(target.parent / image["file"], raw)
        src = "data:image/png;base64," + base64.b64encode(raw).decode()
        figures.append(
            f'<figure><img src="{src}" alt="{html.escape(image["caption"])}" width="1200">'
            f"<figcaption>{html.escape(image['caption'])}</figcaption></figure>"
        )
    rows = "".join(
        f"<tr><td>{html.escape(k)}</td><td>{html.escape(v)}</td></tr>"
        for k, v in record_rows(data["run"])
    )
    title = html.escape(f"Run {data['label']}")
    page = (
        f"<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>{title}</title>"
        "<style>body{font-family:system-ui,sans-serif;margin:1.5em auto;max-width:1250px}"
        "td{padding:.2em .6em;border-bottom:1px solid #e4e4e4}img{max-width:100%}</style>"
        f"</head><body><h1>{title}</h1><table>{rows}</table>{''.join(figures)}</body></html>\n"
    )
    atomic_write_bytes(target, page.encode())
    return target
