"""Pressure differences between two runs on one surface.

The two meshes need not match: every face of this run's vehicle surface
takes the pressure coefficient of the nearest face of the other run's
(``vtkStaticCellLocator``), so ΔCp = Cp(this) - Cp(other) lives on this
run's surface. A run compared with itself gives exactly zero.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def sample_onto(target: Any, source: Any, field: str) -> Any:
    """``source``'s cell field ``field`` at the cells of ``target`` nearest
    to each of ``target``'s cell centres."""
    import vtk

    locator = vtk.vtkStaticCellLocator()
    locator.SetDataSet(source)
    locator.BuildLocator()
    centres = np.asarray(target.cell_centers().points, dtype=float)
    values = np.asarray(source.cell_data[field])
    found = np.empty(len(centres), dtype=np.int64)
    closest = [0.0, 0.0, 0.0]
    cell = vtk.reference(0)
    sub = vtk.reference(0)
    dist = vtk.reference(0.0)
    for i, point in enumerate(centres):
        locator.FindClosestPoint(point.tolist(), closest, cell, sub, dist)
        found[i] = int(cell)
    return values[found]


def delta_cp(this: Any, other: Any) -> Any:
    """This run's surface with ``dCp`` = Cp(this) - Cp(other) as cell data."""
    out = this.copy()
    out.cell_data["dCp"] = np.asarray(this.cell_data["Cp"]) - sample_onto(this, other, "Cp")
    return out
