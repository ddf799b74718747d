"""Building an OpenFOAM case folder for a product from a template.

A case is built in a hidden temporary folder beside its final place
(``<workspace>/cases/<product-id>/<case-id>/`` by default) and renamed into
place only when complete, so a failed or interrupted preparation leaves
nothing behind. Values that depend on the product or the command line are
written into the template's dictionaries with foamlib; the template's files
are never edited in place.

Besides the OpenFOAM dictionaries a case holds ``constant/triSurface/body.stl``
(the body, centred on the symmetry plane y = 0 of the half model, standing on
the ground z = 0), ``Allrun`` (runs every stage by hand), ``job.slurm`` (a
commented batch-job script) and ``velmor-case.json`` (what the case was
built from, read back when its result is recorded).
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import shutil
import tempfile
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import numpy as np

from ..core import geometry
from . import features, launch, yaw
from . import surface as surface_mod
from . import wheels as wheels_mod
from .domain import Domain, mirrored, tunnel
from .errors import CfdError
from .functions import add_function_objects
from .params import (
    AIR_RHO,
    LADDER,
    LAYER_EXPANSION,
    MESH_LEVELS,
    Reference,
    RunParams,
    first_layer_y_plus,
    layer_stack,
    patch_layers,
    turbulence_inlet,
)
from .stages import COPY_FIELDS, STOPPED_AT, stages

#: The file of a case that says what it was built from.
CASE_INFO = "velmor-case.json"
#: Name of the forceCoeffs function object in the templates' controlDict.
FORCE_COEFFS = "forceCoeffs1"
#: Prefix of the function objects of each part's own forces (forceCoeffsBody, ...).
PART_COEFFS = "forceCoeffs"
_REQUIRED = ("system/controlDict", "system/blockMeshDict", "system/snappyHexMeshDict")


def templates_dir(workspace: Path) -> Path:
    return launch.templates_dir(workspace)


def cases_dir(workspace: Path) -> Path:
    return workspace / "cases"


def product_key(identifier: str) -> str:
    """The folder name of a product's cases: its identifier with ':' as '-'."""
    return identifier.replace(":", "-")


def find_template(workspace: Path, name: str) -> Path:
    """The template folder ``name`` of ``workspace``; ``CfdError`` when missing."""
    folder = templates_dir(workspace)
    path = folder / name
    if not path.is_dir():
        try:
            known = sorted(
                p.name for p in folder.iterdir() if p.is_dir() and not p.name.startswith(".")
            )
        except OSError:
            known = []
        listed = ", ".join(known) if known else "none"
        raise CfdError(
            f"no OpenFOAM case template named {name!r} in {folder} (available: {listed}); "
            "choose one with --template NAME"
        )
    for rel in _REQUIRED:
        if not (path / rel).is_file():
            raise CfdError(f"template {path} is incomplete: it has no {rel}")
    return path


def template_speed(template: Path) -> float | None:
    """The inlet speed a template sets (its ``0.orig/U`` internal field), m/s."""
    from foamlib import FoamFieldFile

    try:
        value = FoamFieldFile(template / "0.orig" / "U").internal_field
        speed = float(value[0])  # type: ignore[index]
    except (OSError, ValueError, TypeError, KeyError, IndexError):
        return None  # a template without a readable uniform U: the default speed
    return speed if speed > 0 else None


def domain_for(
    lo: np.ndarray[Any, Any],
    hi: np.ndarray[Any, Any],
    cells_per_length: float,
    *,
    half_area: float | None = None,
    gap: float = 0.0,
) -> Domain:
    """The half wind tunnel around a body with bounding box ``lo``..``hi``
    (``domain.tunnel``), background cells of a ``cells_per_length``-th of
    the body's length in its core."""
    length = float(hi[0] - lo[0])
    if half_area is None:  # a box the size of the bounding box's half section
        half_area = float(hi[1] - lo[1]) * float(hi[2] - lo[2]) / 2
    coarsest = MESH_LEVELS[LADDER[0]].cells_per_length
    return tunnel(
        lo, hi, length / cells_per_length, half_area=half_area, gap=gap,
        gap_base=length / coarsest, surface_level=MESH_LEVELS[LADDER[0]].surface[1],
    )  # fmt: skip


def _vertices(d: Domain) -> list[list[float]]:
    (x0, y0, z0), (x1, y1, z1) = d.lo, d.hi
    return [
        [x0, y0, z0], [x1, y0, z0], [x1, y1, z0], [x0, y1, z0],
        [x0, y0, z1], [x1, y0, z1], [x1, y1, z1], [x0, y1, z1],
    ]  # fmt: skip


def _r(values: tuple[float, ...] | list[float]) -> list[float]:
    return [round(float(v), 6) for v in values]


def configure(
    case: Path,
    params: RunParams,
    reference: Reference,
    lo: np.ndarray[Any, Any],
    hi: np.ndarray[Any, Any],
    *,
    front: list[wheels_mod.Wheel] | None = None,
    rear: list[wheels_mod.Wheel] | None = None,
    half_area: float | None = None,
    gap: float = 0.0,
) -> Domain:
    """Write the run's values into the dictionaries of ``case`` with foamlib."""
    from foamlib import FoamFieldFile, FoamFile

    mesh = params.mesh
    domain = domain_for(lo, hi, mesh.cells_per_length, half_area=half_area, gap=gap)
    iterations = params.max_iterations
    length = float(hi[0] - lo[0])

    block = FoamFile(case / "system" / "blockMeshDict")
    if params.full_model:  # no symmetry plane: its face joins the slip side walls
        domain = mirrored(domain)
        entries: Any = block["boundary"]
        boundary = [(name, dict(entry)) for name, entry in entries if name != "symmetry"]
        for name, entry in boundary:
            if name == "side":
                entry["faces"] = [[3, 7, 6, 2], [0, 1, 5, 4]]
        block["boundary"] = boundary
    block["vertices"] = _vertices(domain)
    block["blocks"] = [
        "hex",
        [0, 1, 2, 3, 4, 5, 6, 7],
        list(domain.cells),
        "simpleGrading",
        domain.grading_entry(),
    ]

    snappy = FoamFile(case / "system" / "snappyHexMeshDict")
    snappy["geometry", "nearBox", "min"] = _r(domain.near[0])
    snappy["geometry", "nearBox", "max"] = _r(domain.near[1])
    snappy["geometry", "wakeBox", "min"] = _r(domain.wake[0])
    snappy["geometry", "wakeBox", "max"] = _r(domain.wake[1])
    snappy["castellatedMeshControls", "features"] = [
        {"file": f'"{features.emesh_name("body")}"', "level": mesh.edges}
    ]
    snappy["castellatedMeshControls", "refinementSurfaces", "body", "level"] = list(mesh.surface)
    snappy["castellatedMeshControls", "refinementRegions", "nearBox", "levels"] = [
        [1e15, mesh.near]
    ]
    snappy["castellatedMeshControls", "refinementRegions", "wakeBox", "levels"] = [
        [1e15, mesh.wake]
    ]
    if domain.under is not None:
        snappy["geometry", "underBox"] = {
            "type": "box", "min": _r(domain.under[0]), "max": _r(domain.under[1]),
        }  # fmt: skip
        snappy["castellatedMeshControls", "refinementRegions", "underBox"] = {
            "mode": "inside", "levels": [[1e15, domain.under_level]],
        }  # fmt: skip
    snappy["castellatedMeshControls", "locationInMesh"] = _r(domain.inside)
    # The same absolute prism layers on every level (``layer_stack``): the
    # mesh ladder then refines the mesh, not the wall model.
    first, layers = layer_stack(params.speed, length)
    layers = mesh.layers or layers
    layering = snappy["addLayersControls"].as_dict()  # type: ignore[union-attr]
    for relative in ("finalLayerThickness", "thickness"):
        layering.pop(relative, None)
    layering.update(
        relativeSizes=False, firstLayerThickness=round(first, 7),
        expansionRatio=LAYER_EXPANSION, minThickness=round(first / 4, 7),
    )  # fmt: skip
    layering["layers"] = {"body": {"nSurfaceLayers": layers}}
    snappy["addLayersControls"] = layering
    # A wheel's stack fits its own boundary layer, grown over its diameter.
    diameter = 2 * max((w.radius for w in [*(front or []), *(rear or [])]), default=0.0)
    wheel_layers = min(layers, patch_layers(params.speed, diameter, first)) if diameter else 0
    patches = ["body", *wheels_mod.configure(
        case, front or [], rear or [], speed=params.speed, surface=mesh.surface,
        layers=wheel_layers, edges=mesh.edges,
    )]  # fmt: skip

    control = FoamFile(case / "system" / "controlDict")
    control["endTime"] = iterations
    control["writeInterval"] = iterations
    fc = ("functions", FORCE_COEFFS)
    control[(*fc, "patches")] = patches
    control[(*fc, "CofR")] = _r(reference.cofr)
    control[(*fc, "magUInf")] = params.speed
    control[(*fc, "lRef")] = reference.wheelbase
    # A half model holds half the vehicle: half its frontal area.
    area = reference.frontal_area if params.full_model else reference.frontal_area / 2
    control[(*fc, "Aref")] = round(area, 6)
    control[(*fc, "rhoInf")] = AIR_RHO
    # The velmor run stops on its convergence verdict; OpenFOAM's own
    # average condition compares against an absolute tolerance and is not used.
    with contextlib.suppress(KeyError):
        del control["functions", "runTimeControl1"]
    # Nor simpleFoam's residual stop: it can end a run whose mean still drifts,
    # and a longer run would end at the same place, never settled.
    with contextlib.suppress(KeyError):
        del FoamFile(case / "system" / "fvSolution")["SIMPLE", "residualControl"]
    if len(patches) > 1:  # each part's own forces: the body and each axle
        whole = control[fc].as_dict()  # type: ignore[union-attr]
        for patch in patches:
            control["functions", PART_COEFFS + patch[0].upper() + patch[1:]] = {
                **whole, "patches": [patch], "log": False,
            }  # fmt: skip

    ranks = params.ranks
    decompose = FoamFile(case / "system" / "decomposeParDict")
    decompose["numberOfSubdomains"] = ranks
    decompose["hierarchicalCoeffs", "n"] = [ranks, 1, 1]
    decompose["simpleCoeffs", "n"] = [ranks, 1, 1]

    k, omega = turbulence_inlet(params.speed, length)
    fields = case / "0.orig"
    u = [params.speed, 0.0, 0.0]
    f = FoamFieldFile(fields / "U")
    f.internal_field = u
    for patch in ("inlet", "outlet", "ground"):
        f["boundaryField", patch, "value"] = u
    if params.ground == "fixed":  # a wind tunnel's floor
        f["boundaryField", "ground"] = {"type": "noSlip"}
    for name, value in (("k", round(k, 6)), ("omega", round(omega, 6))):
        f = FoamFieldFile(fields / name)
        f.internal_field = value
        f["boundaryField", "inlet", "value"] = value
        f["boundaryField", "outlet", "inletValue"] = value
        f["boundaryField", "outlet", "value"] = value
    return domain


def _allrun(ranks: int) -> str:
    lines = [
        "#!/bin/sh",
        "# Runs this case from scratch with OpenFOAM v1912 (Debian package 'openfoam').",
        "# Usage: ./Allrun    Logs go to log.<stage>; forces to postProcessing/.",
        "# Afterwards record the result: velmor record-cfd PRODUCT <this folder>",
        'cd "$(dirname "$0")" || exit 1',
        *launch.project_dir_shell(),
        "set -e",
        f"RANKS={ranks}  # fixed at preparation: decomposeParDict splits the mesh this many ways",
        *launch.mpirun_shell(),
    ]
    for stage in stages(ranks):
        if stage.name == COPY_FIELDS:
            lines.append(f"rm -f {STOPPED_AT}  # a new solve: any earlier stop is void")
            if ranks > 1:
                lines.append('for d in processor*; do rm -rf "$d/0" && cp -r 0.orig "$d/0"; done')
            else:
                lines.append("rm -rf 0 && cp -r 0.orig 0")
            continue
        command = " ".join(stage.argv)
        if stage.parallel and ranks > 1:
            command = f"$MPIRUN {command} -parallel"
        tail = " || true" if stage.optional else ""
        lines.append(f"echo {stage.name}; {command} > log.{stage.name} 2>&1{tail}")
    return "\n".join(lines) + "\n"


def _slurm(ranks: int, case_name: str) -> str:
    project_dir = "\n".join(launch.project_dir_shell())
    return f"""#!/bin/bash
# Slurm batch job for this case. Submit from the case folder:
#     sbatch job.slurm
# Copy the whole folder to the cluster first; it needs nothing else.
#SBATCH --job-name=velmor-{case_name[:40]}
#SBATCH --ntasks={ranks}            # MPI ranks: must match decomposeParDict
#SBATCH --cpus-per-task=1
#SBATCH --mem-per-cpu=2G           # about 2 KiB per cell; raise for fine meshes
#SBATCH --time=04:00:00
#SBATCH --output=slurm-%j.out
# #SBATCH --partition=compute      # set your site's partition and account
# #SBATCH --account=PROJECT

# Load your site's OpenFOAM v1912 (module names vary), or use the Debian package:
# module load openfoam/v1912
{project_dir}
cd "${{SLURM_SUBMIT_DIR:-.}}"
# Allrun uses mpirun; with Slurm's own launcher, replace it by srun.
./Allrun
# Then, on a machine with the product's workspace:
#     velmor record-cfd PRODUCT /path/to/this/case
"""


def new_case_id(level: str) -> str:
    stamp = datetime.now(UTC).strftime("%Y%m%dT%H%M%SZ")
    return f"{stamp}-{level}-{secrets.token_hex(2)}"


def _inside(path: Path, root: Path) -> bool:
    try:
        path.resolve().relative_to(root.resolve())
    except ValueError:
        return False
    return True


def build_case(
    *,
    workspace: Path,
    product_id: str,
    usd_path: Path,
    template: Path,
    triangles: geometry.Triangles,
    reference: Reference,
    params: RunParams,
    output: Path | None = None,
    source: str = "product body",
    wheels: list[wheels_mod.Wheel] | None = None,
) -> Path:
    """Build a complete case and return its folder.

    ``triangles`` is the body (everything but the wheels); ``wheels`` are
    meshed as the rotating patches of their axles. ``output`` (a folder
    that must not exist yet) overrides the default place
    ``<workspace>/cases/<product-id>/<case-id>/``. Nothing is left behind
    when this fails.
    """
    products = workspace / "products"
    if params.yaw and not params.full_model:
        # A turned wind is not symmetric about the car: yawed runs model the whole of it.
        params = params.model_copy(update={"full_model": True})
    if output is None:
        final = cases_dir(workspace) / product_key(product_id) / new_case_id(params.level)
    else:
        final = Path(os.path.abspath(output))
    if _inside(final, products) or _inside(final, template):
        raise CfdError(
            f"refusing to write a case into {final}: cases never go inside products/ or a template"
        )
    if final.exists() or final.is_symlink():
        raise CfdError(f"{final} already exists; choose another output folder")
    parent = final.parent
    parent.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(prefix=".velmor-case-", dir=parent))
    try:
        shutil.copytree(template, tmp, dirs_exist_ok=True, symlinks=False)
        placed, placed_wheels = wheels_mod.place(triangles, wheels or [])
        front, rear = wheels_mod.axles(placed_wheels)
        everything = [placed] + [w.triangles for w in placed_wheels]
        whole = np.concatenate(everything)
        lo, hi = geometry.bounds(whole)
        lo[2] = max(0.0, float(lo[2]))  # sunk tyres do not lower the tunnel's road
        surfaces = tmp / "constant" / "triSurface"
        surfaces.mkdir(parents=True, exist_ok=True)
        geometry.write_stl(placed, surfaces / "body.stl")
        edges = {"body": features.write_emesh(placed, surfaces / features.emesh_name("body"))}
        for name, axle in zip(wheels_mod.PATCHES, (front, rear), strict=True):
            if axle:
                parts = np.concatenate([w.triangles for w in axle])
                geometry.write_stl(parts, surfaces / f"{name}.stl", name=name)
                edges[name] = features.write_emesh(parts, surfaces / features.emesh_name(name))
        projected = surface_mod.projected_area(whole)
        asymmetry = surface_mod.asymmetry(whole)
        if asymmetry > surface_mod.ASYMMETRY_LIMIT and not params.full_model:
            raise CfdError(
                f"{product_id}: the surface is not symmetric about its centre plane "
                f"({asymmetry:.1%} of its silhouette differs from its mirror image) and a half "
                "model would mirror it: run the whole vehicle with --full-model"
            )
        # The air between the underbody and the road (on wheels or supports).
        gap = float(geometry.bounds(placed)[0][2])
        gap = gap if gap > 0.01 * float(hi[2] - lo[2]) else 0.0
        domain = configure(
            tmp, params, reference, lo, hi, front=front, rear=rear,
            half_area=projected if params.full_model else projected / 2, gap=gap,
        )  # fmt: skip
        add_function_objects(tmp, lo, hi)  # the post-processing set of the run's report
        length = float(hi[0] - lo[0])
        first, layers = layer_stack(params.speed, length)
        allrun = tmp / "Allrun"
        allrun.write_text(_allrun(params.ranks))
        allrun.chmod(0o755)
        (tmp / "job.slurm").write_text(_slurm(params.ranks, final.name))
        info = {
            "product": product_id,
            "usd_path": str(usd_path),
            "template": template.name,
            "geometry": source,
            "created": datetime.now(UTC).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "params": params.model_dump(),
            "max_iterations": params.max_iterations,
            "reference": reference.model_dump(),
            "body_bounds_m": [_r(list(lo)), _r(list(hi))],
            "triangles": int(sum(len(t) for t in everything)),
            "domain": {"min": _r(domain.lo), "max": _r(domain.hi), "cells": list(domain.cells)},
            "half_model": not params.full_model,
            "yaw_deg": params.yaw,
            "layers": params.mesh.layers or layers,
            "geometry_key": surface_mod.geometry_key(everything),
            "projected_area": round(projected, 5),
            "asymmetry": round(asymmetry, 5),
            "blockage": round(domain.blockage, 5),
            "base_cell_m": round(domain.base, 6),
            "underbody": {
                "gap_m": round(gap, 5),
                "level": domain.under_level,
                "cells_across": round(domain.gap_cells(), 2),
                "ground_split": domain.ground_split,
            },
            "first_layer_m": round(first, 7),
            "first_layer_y_plus": round(first_layer_y_plus(params.speed, length, first), 1),
            "feature_edges": edges,
            "edge_level": params.mesh.edges,
            "wheels": [
                {
                    "name": w.name, "patch": patch, "centre": _r(list(w.centre)),
                    "axis": _r(list(w.axis)), "radius": round(w.radius, 5),
                }
                for patch, axle in zip(wheels_mod.PATCHES, (front, rear), strict=True)
                for w in axle
            ],
        }  # fmt: skip
        if params.yaw:
            info.update(yaw.apply(tmp, params, reference, lo, hi, domain))
        (tmp / CASE_INFO).write_text(json.dumps(info, indent=2) + "\n")
        tmp.chmod(0o755)
        os.rename(tmp, final)
    except BaseException as exc:
        shutil.rmtree(tmp, ignore_errors=True)
        if isinstance(exc, OSError):
            raise CfdError(f"cannot prepare the case in {parent}: {exc.strerror or exc}") from exc
        raise
    with contextlib.suppress(OSError):
        from ..core.layer_io import fsync_dir

        fsync_dir(parent)
    return final


def read_case_info(case: Path) -> dict[str, Any]:
    """What ``case`` was built from (its ``velmor-case.json``)."""
    path = case / CASE_INFO
    try:
        data = json.loads(path.read_text())
    except FileNotFoundError:
        raise CfdError(f"{case} is not a case prepared by velmor: it has no {CASE_INFO}") from None
    except (OSError, ValueError) as exc:
        raise CfdError(f"cannot read {path}: {exc}") from None
    if not isinstance(data, dict):
        raise CfdError(f"{path} is malformed")
    return data
