"""Handling templates: what the dynamics run takes where the product record is silent.

A template is ``templates/chrono/<name>/handling.json`` in the workspace:
``{"values": {key: {"value": v, "source": "where it comes from"}}}``. A
product's template is the one named after its folder (``variant`` copies the
parent's), else the one named after its body style. A product may override
any value with a ``handling.json`` of the same shape in its own folder.

Every value, the product's own (mass, wheelbase, track width, CG height) and
the manoeuvre's included, is checked against a plausible range; the first
one outside is refused in one line that names it.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .errors import DynamicsError

TEMPLATES_DIR = Path("templates") / "chrono"
TEMPLATE_FILE = "handling.json"
OVERRIDES_FILE = "handling.json"

#: Numeric values: (lowest, highest, unit) of what is plausible.
RANGES: dict[str, tuple[float, float, str]] = {
    "tyre_width_m": (0.125, 0.40, "m"),
    "tyre_aspect_ratio": (0.25, 0.85, ""),
    "tyre_rim_diameter_m": (0.30, 0.60, "m"),
    "tyre_nominal_load_n": (2000.0, 15000.0, "N"),
    "tyre_pressure_ratio": (0.5, 1.5, ""),
    "tyre_vertical_stiffness_n_per_m": (100e3, 600e3, "N/m"),
    "tyre_friction": (0.3, 2.0, ""),
    "tyre_mass_kg": (4.0, 30.0, "kg"),
    "roll_stiffness_front_nm_per_deg": (200.0, 10000.0, "N·m/deg"),
    "roll_stiffness_rear_nm_per_deg": (200.0, 10000.0, "N·m/deg"),
    "front_weight_share": (0.3, 0.7, ""),
    "sprung_mass_share": (0.7, 0.97, ""),
    "steering_ratio": (8.0, 25.0, ""),
    "max_wheel_angle_deg": (15.0, 45.0, "deg"),
    # The product's own values.
    "mass": (600.0, 4000.0, "kg"),
    "wheelbase": (1.8, 4.0, "m"),
    "track_width": (1.2, 2.0, "m"),
    "cg_height": (0.25, 1.0, "m (a sedan-class roof is below 1.5 m)"),
    # The manoeuvre's.
    "radius_m": (20.0, 500.0, "m"),
    "friction": (0.1, 2.0, ""),
    "step_s": (1e-4, 5e-3, "s"),
}
CHOICES: dict[str, tuple[str, ...]] = {
    "chrono_model": ("sedan",),
    "suspension": ("double_wishbone",),
    "tyre_model": ("tmeasy",),
}
PRODUCT_KEYS = ("mass", "wheelbase", "track_width", "cg_height")


@dataclass
class Handling:
    """A product's handling values with their sources, and which template gave them."""

    template: str
    template_dir: Path
    values: dict[str, Any]
    sources: dict[str, str] = field(default_factory=dict)

    def used(self) -> dict[str, dict[str, Any]]:
        return {k: {"value": v, "source": self.sources.get(k, "")} for k, v in self.values.items()}


def check_value(key: str, value: Any, where: str) -> Any:
    """``value`` when plausible for ``key``; otherwise ``DynamicsError`` naming it."""
    if key in CHOICES:
        if value not in CHOICES[key]:
            raise DynamicsError(
                f"{key} = {value!r} ({where}) is not supported: {', '.join(CHOICES[key])}"
            )
        return value
    if key not in RANGES:
        raise DynamicsError(f"{key} ({where}) is not a handling value")
    lo, hi, unit = RANGES[key]
    if isinstance(value, bool) or not isinstance(value, int | float) or value != value:
        raise DynamicsError(f"{key} = {value!r} ({where}) must be a number")
    if not lo <= float(value) <= hi:
        raise DynamicsError(
            f"{key} = {value:g} ({where}) is outside its plausible range {lo:g} to {hi:g}"
            + (f" {unit}" if unit else "")
        )
    return float(value)


def _read_values(path: Path) -> dict[str, Any]:
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except OSError as exc:
        raise DynamicsError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise DynamicsError(f"{path} is not JSON: {exc}") from None
    values = data.get("values") if isinstance(data, dict) else None
    if not isinstance(values, dict):
        raise DynamicsError(f'{path} has no "values" object')
    return values


def _inside(path: Path, root: Path) -> bool:
    real, base = os.path.realpath(path), os.path.realpath(root)
    return real == base or real.startswith(base + os.sep)


def find_template(workspace: Path, product_dir: Path, body_style: str | None) -> Path:
    """The folder of the product's handling template."""
    base = workspace / TEMPLATES_DIR
    names = [product_dir.name] + ([body_style] if body_style else [])
    for name in names:
        folder = base / name
        if (folder / TEMPLATE_FILE).is_file() and _inside(folder / TEMPLATE_FILE, workspace):
            return folder
    raise DynamicsError(
        f"no handling template for this product: add {base / names[-1] / TEMPLATE_FILE}"
    )


def load_handling(workspace: Path, product_dir: Path, body_style: str | None) -> Handling:
    """The product's handling values: its template's, then its own overrides, all checked."""
    folder = find_template(workspace, product_dir, body_style)
    handling = Handling(folder.name, folder, {})
    layers = [(folder / TEMPLATE_FILE, f"template {folder.name}")]
    own = product_dir / OVERRIDES_FILE
    if own.is_file():
        if not _inside(own, workspace):
            raise DynamicsError(f"{own} lies outside the workspace")
        layers.append((own, f"{own.name} of the product"))
    for path, where in layers:
        for key, entry in _read_values(path).items():
            value, source = (
                (entry.get("value"), str(entry.get("source", "")))
                if isinstance(entry, dict)
                else (entry, "")
            )
            handling.values[key] = check_value(key, value, where)
            handling.sources[key] = source or where
    missing = sorted(
        (set(RANGES) - set(PRODUCT_KEYS) - MANOEUVRE_KEYS | set(CHOICES)) - set(handling.values)
    )
    if missing:
        raise DynamicsError(f"template {folder.name} lacks {', '.join(missing)}")
    return handling


MANOEUVRE_KEYS = {"radius_m", "friction", "step_s"}
