"""A recorded run with a real case's output, for the tests of reports and run pages.

tests/data/post_case holds the tail of a real quick run's output (OpenFOAM
v1912); its vehicle surface is made from the sample sedan's USD body, with a
pressure field whose pattern is known.
"""

import shutil
from pathlib import Path

import numpy as np

from velmor_platform.cfd import functions, record
from velmor_platform.core import geometry
from velmor_platform.core.product_core import ProductCore

DATA = Path(__file__).resolve().parent / "data" / "post_case"


def sedan_usd():
    """The sample sedan of the active workspace (loaded, so its geometry resolves)."""
    return ProductCore.load("sedan:base").usd_path


def half_body(workspace, speed=40.0):
    """The sedan's body as the case meshes it (y >= 0), with kinematic p and
    wall shear; Cp is 1 at the nose falling to -0.5 at the tail."""
    import pyvista as pv

    tris = geometry.place_on_centre_line(geometry.body_triangles(sedan_usd()))
    tris = tris[tris[:, :, 1].mean(axis=1) >= 0]
    n = len(tris)
    faces = np.c_[np.full(n, 3), np.arange(3 * n).reshape(n, 3)].ravel()
    mesh = pv.PolyData(tris.reshape(-1, 3), faces)
    x = mesh.cell_centers().points[:, 0]
    cp = 1.0 - 1.5 * (x - x.min()) / np.ptp(x)
    mesh.cell_data["p"] = cp * 0.5 * speed**2
    shear = np.zeros((n, 3))
    shear[:, 0] = -0.002 * 0.5 * speed**2
    mesh.cell_data["wallShearStress"] = shear
    return mesh


def with_surface(case, workspace):
    target = case / "postProcessing" / functions.SURFACES / "223"
    target.mkdir(parents=True, exist_ok=True)
    half_body(workspace).save(target / "body.vtp")
    return case


def copy_case(folder):
    shutil.copytree(DATA, folder)
    return folder


def record_run(case, product="sedan:base", cd=0.17609):
    """Record a completed run of ``product`` whose case folder is ``case``."""
    usd = ProductCore.load(product).usd_path
    fields = {"domain": "aerodynamics", "solver": "openfoam", "solver_version": "v1912"}
    fields |= {"status": "completed", "mesh_cells": 38776, "wall_time_s": 60.8}
    return record.append_run(
        Path(usd), fields | {"cd": cd, "cl": -0.04158, "case_dir": str(case)}, product_id=product
    )
