"""Cases at a yaw angle: the full model in a crosswind.

At zero yaw a case models half the vehicle, with a symmetry plane through
its centre line. At a yaw angle the flow is no longer symmetric, so
``full_model`` turns a prepared half-model case into a full one:

* the wind tunnel is mirrored about y = 0 and widened on the downwind side
  by the wake's drift; the refinement boxes follow;
* the symmetry plane becomes a second side, and both sides let the flow
  through (``freestreamVelocity`` / ``freestreamPressure``, ``inletOutlet``
  for k and omega), since the wind now enters through one and leaves
  through the other;
* the inlet velocity is turned by the yaw angle: ``speed`` is the resultant
  air speed relative to the vehicle, ``(cos b, sin b, 0) * speed`` with a
  positive angle meaning wind from the -y side. The road moves under the
  vehicle at the vehicle's own speed, ``speed * cos b`` along x;
* the force coefficients keep the vehicle's axes (drag along x, side force
  along y, yaw moment about z) and use the whole frontal area.

``side_coefficients`` reads the side-force and yaw-moment coefficients
(``Cs``, ``CmYaw``) over the window the drag coefficient was averaged on.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

from .. import rules
from .errors import CfdError

#: The name of the two side patches of the full model.
SIDES = "side"


def _r(values: Any) -> list[float]:
    return [round(float(v), 6) for v in values]


def full_model(
    case: Path,
    *,
    yaw_deg: float,
    speed: float,
    frontal_area: float,
    lo: np.ndarray[Any, Any],
    hi: np.ndarray[Any, Any],
    domain: Any,
) -> dict[str, Any]:
    """Rewrite the half-model case ``case`` (as ``case.configure`` left it,
    with its half ``domain``) as a full model at ``yaw_deg``; returns the
    new domain as ``{"min", "max", "cells"}``. A case that is a full model
    already (no ``symmetry`` patch) keeps its tunnel: only the wind turns."""
    from foamlib import FoamFile

    try:
        rules.check_yaw(yaw_deg)
    except rules.RuleError as exc:
        raise CfdError(str(exc)) from None
    beta = math.radians(yaw_deg)
    block = FoamFile(case / "system" / "blockMeshDict")
    current: Any = block["boundary"]
    if "symmetry" not in [name for name, _ in current]:
        # Already a full model (the template's or the case builder's): only the
        # wind turns and the sides open.
        turn_wind(case, beta, speed)
        given: Any = block["vertices"]
        blocks: Any = block["blocks"]
        corners = np.array(given, dtype=float)
        cells = [int(n) for n in blocks[2]]
        return {"min": _r(corners.min(axis=0)), "max": _r(corners.max(axis=0)), "cells": cells}
    length = float(hi[0] - lo[0])
    width = float(hi[1] - lo[1])
    height = float(hi[2] - lo[2])
    (x0, _, z0), (x1, y1, z1) = domain.lo, domain.hi
    nx, ny, nz = domain.cells
    size = (y1 - 0.0) / ny
    # The wake drifts sideways by tan(b) per unit of downstream length.
    drift = abs(math.tan(beta)) * (x1 - float(hi[0]))
    extra = math.ceil(0.5 * drift / size - 1e-9)
    y_pos, y_neg = y1, y1  # half-widths on the +y and -y sides
    if yaw_deg > 0:
        y_pos += extra * size
    elif yaw_deg < 0:
        y_neg += extra * size
    ny_full = round((y_pos + y_neg) / size)
    vertices = [
        [x0, -y_neg, z0], [x1, -y_neg, z0], [x1, y_pos, z0], [x0, y_pos, z0],
        [x0, -y_neg, z1], [x1, -y_neg, z1], [x1, y_pos, z1], [x0, y_pos, z1],
    ]  # fmt: skip
    block["vertices"] = [_r(v) for v in vertices]
    block["blocks"] = [
        "hex",
        [0, 1, 2, 3, 4, 5, 6, 7],
        [nx, ny_full, nz],
        "simpleGrading",
        [1, 1, 1],
    ]
    boundary = [(name, spec) for name, spec in current if name not in ("side", "symmetry")]
    boundary.append((SIDES, {"type": "patch", "faces": [[3, 7, 6, 2], [0, 1, 5, 4]]}))
    block["boundary"] = boundary

    sideways = math.tan(beta)
    near_lo = (float(lo[0]) - 0.3 * length, float(lo[1]) - 0.3 * width, 0.0)
    near_hi = (float(hi[0]) + 1.0 * length, float(hi[1]) + 0.3 * width, float(hi[2]) + 0.4 * height)
    reach = 3.0 * length
    wake_lo = [float(lo[0]) - 0.6 * length, float(lo[1]) - 0.8 * width, 0.0]
    wake_hi = [float(hi[0]) + reach, float(hi[1]) + 0.8 * width, float(hi[2]) + 1.0 * height]
    if sideways > 0:
        wake_hi[1] = min(y_pos, wake_hi[1] + sideways * reach)
    elif sideways < 0:
        wake_lo[1] = max(-y_neg, wake_lo[1] + sideways * reach)
    snappy = FoamFile(case / "system" / "snappyHexMeshDict")
    snappy["geometry", "nearBox", "min"] = _r(near_lo)
    snappy["geometry", "nearBox", "max"] = _r(near_hi)
    snappy["geometry", "wakeBox", "min"] = _r(wake_lo)
    snappy["geometry", "wakeBox", "max"] = _r(wake_hi)

    control = FoamFile(case / "system" / "controlDict")
    control["functions", "forceCoeffs1", "Aref"] = round(frontal_area, 6)

    turn_wind(case, beta, speed)
    lo_d = (x0, -y_neg, z0)
    hi_d = (x1, y_pos, z1)
    return {"min": _r(lo_d), "max": _r(hi_d), "cells": [nx, ny_full, nz]}


def turn_wind(case: Path, beta: float, speed: float) -> None:
    """The initial fields of a full model with the wind at ``beta`` radians:
    the inlet turned, the road at the car's speed, both sides open."""
    from foamlib import FoamFieldFile

    wind = _r([speed * math.cos(beta), speed * math.sin(beta), 0.0])
    road = _r([speed * math.cos(beta), 0.0, 0.0])
    fields = case / "0.orig"
    u = FoamFieldFile(fields / "U")
    u.internal_field = wind
    u["boundaryField", "inlet", "value"] = wind
    u["boundaryField", "outlet", "value"] = wind
    u["boundaryField", "ground", "value"] = road
    _side(u, {"type": "freestreamVelocity", "freestreamValue": wind})
    p = FoamFieldFile(fields / "p")
    _side(p, {"type": "freestreamPressure", "freestreamValue": 0.0})
    for name in ("k", "omega"):
        f = FoamFieldFile(fields / name)
        value = f.internal_field
        _side(f, {"type": "inletOutlet", "inletValue": value, "value": value})
    nut = FoamFieldFile(fields / "nut")
    _side(nut, {"type": "calculated", "value": 0.0})


def _side(field: Any, spec: dict[str, Any]) -> None:
    boundary = field["boundaryField"]
    if "symmetry" in boundary:
        del field["boundaryField", "symmetry"]
    field["boundaryField", SIDES] = spec


def side_coefficients(case: Path, window: tuple[int, int] | None) -> dict[str, float]:
    """Mean side-force (``cs``) and yaw-moment (``cm_yaw``) coefficients over
    the iterations ``window`` (first, last) the drag was averaged on."""
    from .coefficients import read_coefficients

    if window is None:
        return {}
    columns = read_coefficients(case)
    time = columns["Time"]
    chosen = (time >= window[0]) & (time <= window[1])
    out: dict[str, float] = {}
    for column, key in (("Cs", "cs"), ("CmYaw", "cm_yaw")):
        if column in columns and chosen.any():
            value = float(columns[column][chosen].mean())
            if math.isfinite(value):
                out[key] = round(value, 5)
    return out


def apply(
    case: Path, params: Any, reference: Any, lo: np.ndarray[Any, Any], hi: np.ndarray[Any, Any],
    domain: Any,
) -> dict[str, Any]:  # fmt: skip
    """The case builder's hook: the full model at ``params.yaw``; returns what
    the case's ``velmor-case.json`` records of it."""
    full = full_model(
        case, yaw_deg=float(params.yaw), speed=float(params.speed),
        frontal_area=float(reference.frontal_area), lo=lo, hi=hi, domain=domain,
    )  # fmt: skip
    return {"half_model": False, "yaw_deg": float(params.yaw), "domain": full}
