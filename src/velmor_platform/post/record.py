"""The record of a run as a report shows it: what was computed (product,
mesh level, speed, yaw angle, reference area and length) and the results,
and, for a comparison, the differences of the coefficients with their band.

A coefficient's band is the run's iterative band over its averaging
window (the mean's 95 % half-width with the step between the two windows;
``cd_band``, the band ``history`` and the checks use; a ladder's grid band
where there is one). Two runs are independent
simulations, so the band of a difference is the two bands combined in
quadrature.
"""

from __future__ import annotations

import math
from typing import Any

#: What the run was computed with: (run key, label).
CONTEXT_ROWS = (
    ("product", "product"),
    ("level", "mesh level"),
    ("speed", "speed, m/s"),
    ("yaw_deg", "yaw, °"),
    ("reference_area", "reference area, m²"),
    ("reference_length", "reference length, m"),
)
#: The results and how they were obtained: (run key, label).
RECORD_ROWS = (
    ("cd", "Cd"),
    ("cl", "Cl"),
    ("cm_pitch", "Cm pitch"),
    ("converged", "converged"),
    ("iterations", "iterations"),
    ("mesh_cells", "mesh cells"),
    ("wall_time_s", "wall time, s"),
    ("solver", "solver"),
    ("solver_version", "solver version"),
    ("status", "status"),
    ("timestamp", "date"),
)
#: Each differenced coefficient: (key, label, the run keys of its band, first found).
DELTAS = (("cd", "ΔCd", ("cd_band", "cd_two_se")), ("cl", "ΔCl", ("cl_band", "cl_two_se")))


def fmt(value: Any, digits: int = 5) -> str:
    if value is None:
        return "—"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{round(value, digits):.{digits}f}".rstrip("0").rstrip(".") or "0"
    return str(value)


def _number(value: Any) -> float | None:
    ok = isinstance(value, (int, float)) and not isinstance(value, bool)
    return float(value) if ok and math.isfinite(value) else None


def context(run: dict[str, Any], reference: dict[str, Any] | None = None) -> dict[str, Any]:
    """What the run was computed with; an aerodynamic run recorded without a
    yaw angle was computed straight ahead. What the record lacks of the
    speed and reference values comes from the case's ``reference`` (its
    forceCoeffs settings), when given."""
    out = {key: run[key] for key, _ in CONTEXT_ROWS if run.get(key) is not None}
    case_values = {
        "speed": "speed",
        "reference_area": "frontal_area",
        "reference_length": "wheelbase",
    }
    for key, field in case_values.items():
        if key not in out and reference and _number(reference.get(field)) is not None:
            out[key] = reference[field]
    if "yaw_deg" not in out and run.get("domain", "aerodynamics") == "aerodynamics":
        out["yaw_deg"] = 0.0
    return out


def context_line(run: dict[str, Any], reference: dict[str, Any] | None = None) -> str:
    """``hatch, quick level, 40 m/s, 0° yaw, reference area 2.2 m², length 2.6 m``."""
    c = context(run, reference)
    parts = [str(c["product"])] if "product" in c else []
    if "level" in c:
        parts.append(f"{c['level']} level")
    if "speed" in c:
        parts.append(f"{fmt(c['speed'], 2)} m/s")
    if "yaw_deg" in c:
        parts.append(f"{fmt(c['yaw_deg'], 2)}° yaw")
    if "reference_area" in c:
        parts.append(f"reference area {fmt(c['reference_area'], 4)} m²")
    if "reference_length" in c:
        parts.append(f"length {fmt(c['reference_length'], 4)} m")
    return ", ".join(parts)


def record_rows(data: dict[str, Any]) -> list[tuple[str, str]]:
    """The record table's rows: (label, text), what the run was computed
    with first, then the results with the band beside Cd."""
    run = data.get("run", {})
    computed = context(run, data.get("reference"))
    rows = [(label, fmt(computed[key])) for key, label in CONTEXT_ROWS if key in computed]
    for key, label in RECORD_ROWS:
        if key not in run:
            continue
        text = fmt(run[key])
        if key == "cd" and data.get("window"):
            w = data["window"]
            if w["half_width"] == w["half_width"]:  # not NaN
                text += f" ± {fmt(w['half_width'])}"
        rows.append((label, text))
    if data.get("cd_a") is not None:
        rows.append(("Cd·A, m²", fmt(data["cd_a"], 4)))
    if data.get("window"):
        w = data["window"]
        rows.append(("window", f"iterations {w['first']}-{w['last']}"))
    return rows


def _band(
    run: dict[str, Any], keys: tuple[str, ...], window: dict[str, Any] | None
) -> float | None:
    for key in keys:
        value = _number(run.get(key))
        if value is not None:
            return value
    if keys[0] == "cd_band" and window:
        return _number(window.get("half_width"))
    return None


def deltas(data: dict[str, Any]) -> list[dict[str, Any]]:
    """This run minus the other, per coefficient both report: ``delta`` and
    its ``band`` (None when either run has none)."""
    against = data.get("against")
    if not against:
        return []
    mine, other = data.get("run", {}), against.get("run", {})
    out = []
    for key, label, band_keys in DELTAS:
        a, b = _number(mine.get(key)), _number(other.get(key))
        if a is None or b is None:
            continue
        band_a = _band(mine, band_keys, data.get("window"))
        band_b = _band(other, band_keys, against.get("window"))
        band = math.hypot(band_a, band_b) if band_a is not None and band_b is not None else None
        out.append({"key": key, "label": label, "delta": a - b, "band": band})
    return out


def delta_rows(data: dict[str, Any]) -> list[tuple[str, str]]:
    """``("ΔCd", "+0.0123 ± 0.0045")``, ...: this run minus the other."""
    rows = []
    for d in deltas(data):
        text = ("+" if d["delta"] > 0 else "") + fmt(d["delta"])
        text += f" ± {fmt(d['band'])}" if d["band"] is not None else " (no band)"
        rows.append((d["label"], text))
    return rows
