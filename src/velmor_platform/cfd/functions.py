"""The post-processing set a case writes while it solves.

``add_function_objects`` puts OpenFOAM v1912 function objects into a
case's ``system/controlDict`` beside the template's ``forceCoeffs1``:

* ``velmorWallShear`` and ``velmorYPlus``: wall-shear stress and y+ on the
  vehicle patches, computed once, at the final write;
* ``velmorSurfaces``: the vehicle patches (p, wallShearStress), a plane
  just off the symmetry plane (the centre line) and wake planes behind the
  car (p, U), as VTK files, at the final write;
* ``velmorForces_<part>``: forces per part (every vehicle patch), split into
  pressure and viscous, every iteration, so that they average over the
  same window as the drag coefficient;
* ``velmorBins``: the drag coefficient in bins along the car's length,
  accumulated from the nose, every few iterations;
* ``velmorSolverInfo``: initial residuals per iteration.

The vehicle patches are read from the case (its mesh's boundary file once
meshed, else the surfaces snappyHexMesh refines), never assumed. Everything
here costs little against the solve: the fields and pictures are written
once, the per-iteration objects are surface sums.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any

#: Prefix of every function object added here (and so of their postProcessing folders).
PREFIX = "velmor"
SURFACES = f"{PREFIX}Surfaces"
BINS = f"{PREFIX}Bins"
FORCES = f"{PREFIX}Forces_"
SOLVER_INFO = f"{PREFIX}SolverInfo"
YPLUS = f"{PREFIX}YPlus"
WALL_SHEAR = f"{PREFIX}WallShear"
#: Bins of the accumulated drag along the car.
N_BINS = 40
#: Iterations between two writes of the binned drag.
BIN_INTERVAL = 10
#: Wake planes, in body lengths behind the rear of the car.
WAKE_OFFSETS = (0.1, 0.5, 1.0)
#: Patches of a case that are never the vehicle.
_TUNNEL = re.compile(
    r"^(inlet|outlet|ground|top|side|sides|symmetry\w*|frontAndBack|lowerWall|upperWall|procBoundary.*)$"
)


def vehicle_patches(case: Path) -> list[str]:
    """The wall patches of the vehicle in ``case``, in the case's order.

    From ``constant/polyMesh/boundary`` once the mesh exists (wall patches
    that are not the tunnel's); before that, from the surfaces (and their
    named regions) snappyHexMesh refines.
    """
    boundary = case / "constant" / "polyMesh" / "boundary"
    if boundary.is_file():
        found = _walls_from_boundary(boundary)
        if found:
            return found
    return _walls_from_snappy(case / "system" / "snappyHexMeshDict")


def _walls_from_boundary(path: Path) -> list[str]:
    text = path.read_text(errors="replace")
    out = []
    for m in re.finditer(r"^\s*([A-Za-z_][\w.:-]*)\s*\{([^{}]*)\}", text, re.M):
        name, body = m.group(1), m.group(2)
        if re.search(r"\btype\s+wall\s*;", body) and not _TUNNEL.match(name):
            out.append(name)
    return out


def _walls_from_snappy(path: Path) -> list[str]:
    from foamlib import FoamFile

    try:
        surfaces: Any = FoamFile(path)["castellatedMeshControls", "refinementSurfaces"]
    except (OSError, KeyError, ValueError):
        return ["body"]
    out: list[str] = []
    for name, entry in dict(surfaces).items():
        regions = entry.get("regions") if isinstance(entry, Mapping) else None
        if isinstance(regions, Mapping) and regions:
            for region, spec in regions.items():
                named = spec.get("name") if isinstance(spec, Mapping) else None
                out.append(str(named or f"{name}_{region}"))
        else:
            out.append(str(name))
    return out or ["body"]


def _r(values: Any) -> list[float]:
    return [round(float(v), 6) for v in values]


def function_objects(
    *,
    patches: list[str],
    speed: float,
    cofr: tuple[float, float, float],
    wheelbase: float,
    half_area: float,
    rho: float,
    body_lo: Any,
    body_hi: Any,
) -> dict[str, dict[str, Any]]:
    """The post-processing function objects of a case, by name."""
    lo = [float(v) for v in body_lo]
    hi = [float(v) for v in body_hi]
    length = hi[0] - lo[0]
    # Planes are cut only near the car: the whole tunnel would be most of the files.
    centre_box = (
        _r((lo[0] - 0.5 * length, -1.0, 0.0)),
        _r((hi[0] + 1.5 * length, 1.0, hi[2] + 1.0 * length)),
    )
    wake_box = (
        _r((lo[0] - 1.0, 0.0, 0.0)),
        _r((hi[0] + 2 * length, 3.0 * hi[1] + 0.2 * length, 2.2 * hi[2] + 0.2 * length)),
    )
    once = {"executeControl": "writeTime", "writeControl": "writeTime"}
    planes: dict[str, Any] = {
        "body": {"type": "patch", "patches": list(patches), "interpolate": False},
        # Just off the symmetry plane: a cut through the boundary faces is empty.
        "centre": {
            "type": "cuttingPlane",
            "planeType": "pointAndNormal",
            "pointAndNormalDict": {
                "point": _r((0.0, max(1e-3, 0.002 * length), 0.0)),
                "normal": [0, 1, 0],
            },
            "bounds": centre_box,
            "interpolate": True,
        },
    }
    for i, offset in enumerate(WAKE_OFFSETS):
        planes[f"wake{i + 1}"] = {
            "type": "cuttingPlane",
            "planeType": "pointAndNormal",
            "pointAndNormalDict": {
                "point": _r((float(body_hi[0]) + offset * length, 0.0, 0.0)),
                "normal": [1, 0, 0],
            },
            "bounds": wake_box,
            # Cell values: point interpolation smears the symmetry plane's edge.
            "interpolate": False,
        }
    objects: dict[str, dict[str, Any]] = {
        WALL_SHEAR: {
            "type": "wallShearStress",
            "libs": ["fieldFunctionObjects"],
            "patches": list(patches),
            "log": False,
            **once,
        },
        YPLUS: {"type": "yPlus", "libs": ["fieldFunctionObjects"], "log": False, **once},
        SURFACES: {
            "type": "surfaces",
            "libs": ["sampling"],
            **once,
            "surfaceFormat": "vtk",
            "fields": ["p", "U", "wallShearStress"],
            "interpolationScheme": "cellPoint",
            "surfaces": planes,
        },
        SOLVER_INFO: {
            "type": "solverInfo",
            "libs": ["utilityFunctionObjects"],
            "fields": ["U", "p", "k", "omega"],
            "writeControl": "timeStep",
            "writeInterval": 1,
        },
        BINS: {
            "type": "forceCoeffs",
            "libs": ["forces"],
            # The bins are written whenever they are computed: every few iterations.
            "executeControl": "timeStep",
            "executeInterval": BIN_INTERVAL,
            "writeControl": "timeStep",
            "writeInterval": BIN_INTERVAL,
            "log": False,
            "patches": list(patches),
            "rho": "rhoInf",
            "rhoInf": rho,
            "liftDir": [0, 0, 1],
            "dragDir": [1, 0, 0],
            "pitchAxis": [0, 1, 0],
            "CofR": _r(cofr),
            "magUInf": speed,
            "lRef": wheelbase,
            "Aref": half_area,
            "binData": {
                "nBin": N_BINS,
                "direction": [1, 0, 0],
                "cumulative": True,
            },
        },
    }
    for patch in patches:
        objects[FORCES + patch] = {
            "type": "forces",
            "libs": ["forces"],
            "writeControl": "timeStep",
            "writeInterval": 1,
            "log": False,
            "patches": [patch],
            "rho": "rhoInf",
            "rhoInf": rho,
            "CofR": _r(cofr),
        }
    return objects


def add_function_objects(case: Path, body_lo: Any, body_hi: Any) -> list[str]:
    """Add the post-processing function objects to ``case``'s controlDict,
    with the reference values its ``forceCoeffs1`` holds; returns their names."""
    from foamlib import FoamFile

    control = FoamFile(case / "system" / "controlDict")
    fc = ("functions", "forceCoeffs1")
    objects = function_objects(
        patches=vehicle_patches(case),
        speed=float(control[(*fc, "magUInf")]),  # type: ignore[arg-type]
        cofr=tuple(control[(*fc, "CofR")]),  # type: ignore[arg-type]
        wheelbase=float(control[(*fc, "lRef")]),  # type: ignore[arg-type]
        half_area=float(control[(*fc, "Aref")]),  # type: ignore[arg-type]
        rho=float(control[(*fc, "rhoInf")]),  # type: ignore[arg-type]
        body_lo=body_lo,
        body_hi=body_hi,
    )
    with control:
        for name, entries in objects.items():
            control["functions", name] = entries
    return list(objects)
