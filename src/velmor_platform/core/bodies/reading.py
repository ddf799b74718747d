"""Reading a body's geometry file (STL, or USD with meshes) as checked
triangles in metres, and writing triangles as a USD mesh layer.

A USD file is opened only after every layer it composes (sublayers,
references, payloads, clips) is checked to resolve, links followed, to a
regular file in the file's own folder (``containment.own_folder``): a
geometry file brought in by a person or an upload pulls nothing from
elsewhere on the host, and a FIFO or a device is refused unopened.

Refusals raise ``GeometryError`` with one line naming the file (or the
``label`` the caller gives it, e.g. an upload's own file name).
"""

from __future__ import annotations

import math
import os
import stat
import struct
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ...errors import VelmorError
from .solid import closed_solid

Triangles = npt.NDArray[np.float64]
GEOMETRY_SUFFIXES = (".stl", ".usda", ".usdc", ".usd")
#: Plausible vehicle extents in metres: (min, max) for length, width, height.
VEHICLE_EXTENTS = {"length": (0.5, 30.0), "width": (0.2, 6.0), "height": (0.2, 6.0)}


class GeometryError(VelmorError, ValueError):
    """A geometry file is refused; ``kind`` is ``invalid`` or ``not_found``."""

    def __init__(self, message: str, kind: str = "invalid") -> None:
        super().__init__(message)
        self.kind = kind


def _stl_triangles(path: str, name: str) -> Triangles:
    from stl import mesh

    size = os.stat(path).st_size
    with open(path, "rb") as f:
        head = f.read(84)
    ascii_ = head.lstrip().startswith(b"solid") and b"\0" not in head
    binary = len(head) == 84 and size == 84 + 50 * int.from_bytes(head[80:84], "little")
    if not (ascii_ or binary):
        raise GeometryError(
            f"{name}: not a readable STL file (neither ASCII 'solid ...' nor binary STL)"
        )
    try:
        parsed = mesh.Mesh.from_file(path, calculate_normals=False)
    except (ValueError, TypeError, AssertionError, OSError, IndexError, struct.error) as exc:
        raise GeometryError(
            f"{name}: not a readable STL file ({' '.join(str(exc).split())[:200]})"
        ) from None
    return np.asarray(parsed.vectors, dtype=np.float64)


def _usd_triangles(path: str, name: str) -> Triangles:
    from pxr import Tf, Usd, UsdGeom

    from ...errors import CfdError
    from .. import geometry as geo
    from ..containment import open_contained_layers, own_folder

    try:
        held = open_contained_layers(path, confine=own_folder, what="geometry file")
        stage = Usd.Stage.Open(held[0], Usd.Stage.LoadAll)
    except ValueError as exc:
        raise GeometryError(str(exc).replace(path, name)) from None
    except Tf.ErrorException as exc:
        detail = " ".join(str(exc).split())[:200]
        raise GeometryError(f"{name}: OpenUSD cannot open it: {detail}") from None
    if stage is None:
        raise GeometryError(f"{name}: OpenUSD cannot open it")
    to_metres = geo.stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    chunks = []
    try:
        for prim in stage.Traverse():
            if prim.IsA(UsdGeom.Mesh):
                chunk = geo.mesh_triangles(prim, cache, to_metres, where=name)
                if chunk is not None:
                    chunks.append(chunk)
    except CfdError as exc:
        raise GeometryError(str(exc)) from None
    if not chunks:
        raise GeometryError(f"{name}: no mesh geometry in the USD file")
    return np.concatenate(chunks)


def check_body(name: str, triangles: Triangles) -> tuple[Triangles, str | None]:
    """The triangles wound outwards (and a note when some were turned) when
    they are a closed, vehicle-sized solid; ``GeometryError`` otherwise."""
    if len(triangles) == 0:
        raise GeometryError(f"{name}: the geometry holds no triangles")
    if not np.isfinite(triangles).all():
        raise GeometryError(f"{name}: the geometry has non-finite coordinates")
    flat = triangles.reshape(-1, 3)
    lo, hi = flat.min(axis=0), flat.max(axis=0)
    for (label, (low, high)), value in zip(VEHICLE_EXTENTS.items(), hi - lo, strict=True):
        if not low <= value <= high:
            dims = " x ".join(f"{v:.3g}" for v in hi - lo)
            raise GeometryError(
                f"{name}: bounding box {dims} m is not plausible for a vehicle ({label} "
                f"{value:.3g} m, expected {low:g} to {high:g} m); a millimetre file needs "
                "--scale 0.001"
            )
    try:
        return closed_solid(name, triangles)
    except ValueError as exc:
        raise GeometryError(str(exc)) from None


def read_geometry(
    path: str | os.PathLike[str],
    *,
    scale: float = 1.0,
    label: str | None = None,
    transform: Callable[[Triangles], Triangles] | None = None,
) -> tuple[Triangles, str | None]:
    """The triangles of an STL or USD geometry file in metres, times
    ``scale`` (then ``transform``ed), checked to be a closed, vehicle-sized
    solid and wound outwards; with a note when some triangles were turned.
    Messages name the file as ``label`` (default: its path)."""
    real = os.fspath(path)
    name = label or real
    if not (scale > 0 and math.isfinite(scale)):
        raise GeometryError(f"scale {scale!r} must be a positive number")
    suffix = Path(real).suffix.lower()
    if suffix not in GEOMETRY_SUFFIXES:
        raise GeometryError(
            f"{name}: unknown geometry format {suffix or '(no suffix)'!r}; "
            "expected an STL file or a USD file with meshes (.usda, .usdc, .usd)"
        )
    try:
        st = os.stat(real)
    except OSError:
        raise GeometryError(f"{name}: no such file", "not_found") from None
    if not stat.S_ISREG(st.st_mode):
        raise GeometryError(f"{name}: not a regular file")
    if st.st_size == 0:
        raise GeometryError(f"{name}: empty file")
    triangles = _stl_triangles(real, name) if suffix == ".stl" else _usd_triangles(real, name)
    triangles = triangles * scale
    if transform is not None:
        triangles = transform(triangles)
    return check_body(name, triangles)


def mesh_usda(triangles: Triangles, doc: str) -> bytes:
    """A USD text layer with one ``Body`` prim holding the triangles as a
    mesh (points shared between triangles), metres, Z up."""
    from pxr import Gf, Usd, UsdGeom, Vt

    flat = triangles.reshape(-1, 3)
    points, inverse = np.unique(np.round(flat, 7), axis=0, return_inverse=True)
    stage = Usd.Stage.CreateInMemory()
    UsdGeom.SetStageMetersPerUnit(stage, 1.0)
    UsdGeom.SetStageUpAxis(stage, UsdGeom.Tokens.z)
    body = UsdGeom.Xform.Define(stage, "/Body")
    stage.SetDefaultPrim(body.GetPrim())
    mesh = UsdGeom.Mesh.Define(stage, "/Body/Shell")
    mesh.CreatePointsAttr(Vt.Vec3fArray.FromNumpy(points.astype(np.float32)))
    mesh.CreateFaceVertexCountsAttr(Vt.IntArray([3] * len(triangles)))
    mesh.CreateFaceVertexIndicesAttr(Vt.IntArray.FromNumpy(inverse.reshape(-1).astype(np.int32)))
    mesh.CreateSubdivisionSchemeAttr(UsdGeom.Tokens.none)
    lo, hi = points.min(axis=0), points.max(axis=0)
    mesh.CreateExtentAttr(Vt.Vec3fArray([Gf.Vec3f(*map(float, lo)), Gf.Vec3f(*map(float, hi))]))
    layer = stage.GetRootLayer()
    layer.documentation = doc
    return str(layer.ExportToString()).encode("utf-8")
