"""The body surface of a product, as the triangles an OpenFOAM case meshes.

``body_triangles`` reads the ``UsdGeom.Mesh`` prims composed under the
vehicle prim of a product (its ``Body`` and anything else but its
``Wheels``, which ``wheels`` reads as patches of their own) (whatever form its geometry
reference takes: the stage is opened normally, so OpenUSD resolves it),
triangulates every face as a fan, applies each mesh's transform, scales by
the stage's ``metersPerUnit`` and turns a Y-up stage to Z up.

``check_stl`` parses a user's STL file with numpy-stl and refuses, with one
clear error each, anything that is not a usable vehicle surface in metres.
"""

from __future__ import annotations

import os
import stat
import struct
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..errors import CfdError

Triangles = npt.NDArray[np.float64]  # shape (n, 3, 3): triangle, corner, xyz

#: Plausible vehicle extents in metres: (min, max) for length, width, height.
VEHICLE_EXTENTS = {"length": (0.5, 30.0), "width": (0.2, 6.0), "height": (0.2, 6.0)}


def open_stage(usd_path: Path) -> Any:
    from pxr import Tf, Usd

    from .containment import open_contained_layers

    try:
        # Every layer the product composes is checked before the stage opens.
        layers = open_contained_layers(usd_path)
        stage = Usd.Stage.Open(layers[0], Usd.Stage.LoadAll)
    except ValueError as exc:
        raise CfdError(str(exc)) from exc
    except Tf.ErrorException as exc:
        raise CfdError(
            f"OpenUSD cannot open {usd_path}: {' '.join(str(exc).split())[:300]}"
        ) from exc
    if stage is None:
        raise CfdError(f"OpenUSD cannot open {usd_path}")
    return stage


def vehicle_prim(stage: Any, usd_path: Path) -> Any:
    prim = stage.GetDefaultPrim()
    if not prim:
        raise CfdError(f"{usd_path} has no default (vehicle) prim")
    return prim


def stage_to_metres(stage: Any) -> npt.NDArray[np.float64]:
    """A 3x3 matrix taking stage coordinates to metres, Z up."""
    from pxr import UsdGeom

    scale = float(UsdGeom.GetStageMetersPerUnit(stage)) or 1.0
    if UsdGeom.GetStageUpAxis(stage) == UsdGeom.Tokens.y:
        # (x, y, z) Y-up -> (x, -z, y) Z-up, keeping the frame right-handed.
        rotate = np.array([[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 1.0, 0.0]])
    else:
        rotate = np.eye(3)
    return scale * rotate


def body_triangles(usd_path: str | os.PathLike[str]) -> Triangles:
    """The triangles of the product's body, in metres, Z up.

    Raises ``CfdError`` naming the product file when it has no body mesh.
    """
    from pxr import Usd, UsdGeom

    path = Path(usd_path)
    stage = open_stage(path)
    vehicle = vehicle_prim(stage, path)
    body = vehicle.GetChild("Body")
    if not body:
        raise CfdError(f"{path}: the vehicle prim {vehicle.GetPath()} has no Body prim")
    to_metres = stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    chunks: list[Triangles] = []
    # Every mesh under the vehicle is body, but its wheels: they are patches of their own.
    prims = iter(Usd.PrimRange(vehicle))
    for prim in prims:
        if prim.GetParent() == vehicle and prim.GetName() == "Wheels":
            prims.PruneChildren()
            continue
        if prim.IsA(UsdGeom.Mesh):
            chunk = mesh_triangles(prim, cache, to_metres, where=str(path))
            if chunk is not None:
                chunks.append(chunk)
    if not chunks:
        raise CfdError(f"{path}: no mesh geometry under {body.GetPath()}")
    # (the body prim is required; meshes beside it, e.g. mirrors, are body too)
    triangles = np.concatenate(chunks)
    if not np.isfinite(triangles).all():
        raise CfdError(f"{path}: the body mesh has non-finite point coordinates")
    return triangles


def mesh_triangles(
    prim: Any, cache: Any, to_metres: npt.NDArray[np.float64], *, where: str
) -> Triangles | None:
    """The triangles of the mesh ``prim`` in metres, Z up, wound outwards as
    authored; None for an empty mesh. Raises ``CfdError`` (naming ``where``)
    for face data that does not add up."""
    from pxr import UsdGeom

    mesh = UsdGeom.Mesh(prim)
    points = np.asarray(mesh.GetPointsAttr().Get() or [], dtype=np.float64).reshape(-1, 3)
    counts = np.asarray(mesh.GetFaceVertexCountsAttr().Get() or [], dtype=np.int64)
    indices = np.asarray(mesh.GetFaceVertexIndicesAttr().Get() or [], dtype=np.int64)
    if not len(points) or not len(counts):
        return None
    if counts.sum() != len(indices) or (counts < 3).any():
        raise CfdError(f"{where}: mesh {prim.GetPath()} has inconsistent face data")
    if indices.min() < 0 or indices.max() >= len(points):
        raise CfdError(f"{where}: mesh {prim.GetPath()} indexes points it does not have")
    matrix = np.array(cache.GetLocalToWorldTransform(prim), dtype=np.float64)
    homogeneous = np.c_[points, np.ones(len(points))] @ matrix  # row vectors
    world = homogeneous[:, :3] @ to_metres.T
    flip = (mesh.GetOrientationAttr().Get() == UsdGeom.Tokens.leftHanded) != (
        np.linalg.det(matrix[:3, :3]) < 0
    )
    return fan(world, counts, indices, bool(flip))


def fan(
    points: npt.NDArray[np.float64],
    counts: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int64],
    flip: bool,
) -> Triangles:
    """Fan-triangulate polygons given by ``counts`` and ``indices``."""
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    n_tri = counts - 2
    face = np.repeat(np.arange(len(counts)), n_tri)
    k = np.arange(n_tri.sum()) - np.repeat(np.cumsum(n_tri) - n_tri, n_tri)
    first = indices[starts[face]]
    second = indices[starts[face] + k + 1]
    third = indices[starts[face] + k + 2]
    if flip:
        second, third = third, second
    return np.stack([points[first], points[second], points[third]], axis=1)


def wheel_centre_x(usd_path: str | os.PathLike[str]) -> float | None:
    """Mid-wheelbase along x, in metres, from the vehicle's ``Wheels`` prims.

    None when the product has no wheel prims with a position.
    """
    from pxr import Usd, UsdGeom

    path = Path(usd_path)
    stage = open_stage(path)
    wheels = vehicle_prim(stage, path).GetChild("Wheels")
    if not wheels:
        return None
    to_metres = stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    xs = []
    for prim in wheels.GetChildren():
        if prim.IsA(UsdGeom.Gprim):
            origin = np.array(cache.GetLocalToWorldTransform(prim).ExtractTranslation())
            xs.append(float((to_metres @ origin)[0]))
    if not xs:
        return None
    return (min(xs) + max(xs)) / 2


def place_on_centre_line(triangles: Triangles) -> Triangles:
    """Shift the body so that its bounding box is centred on y = 0 (the
    symmetry plane of the half model) and nothing is below the ground z = 0."""
    lo = triangles.reshape(-1, 3).min(axis=0)
    hi = triangles.reshape(-1, 3).max(axis=0)
    shift = np.array([0.0, -(lo[1] + hi[1]) / 2, max(0.0, -lo[2])])
    return np.asarray(triangles + shift, dtype=np.float64)


def bounds(triangles: Triangles) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    flat = triangles.reshape(-1, 3)
    return flat.min(axis=0), flat.max(axis=0)


def write_stl(triangles: Triangles, target: str | os.PathLike[str], name: str = "body") -> None:
    """Write ``triangles`` as an ASCII STL solid called ``name``."""
    from stl import Mode, mesh

    # OpenFOAM names the surface's region after the solid.
    body = mesh.Mesh(np.zeros(len(triangles), dtype=mesh.Mesh.dtype), name=name)
    body.vectors[:] = triangles
    body.update_normals()
    body.save(os.fspath(target), mode=Mode.ASCII, update_normals=False)


def open_edges(triangles: Triangles) -> int:
    """How many edges are not shared by exactly two triangles."""
    flat = triangles.reshape(-1, 3)
    _, vertex = np.unique(flat, axis=0, return_inverse=True)
    vertex = vertex.reshape(-1, 3)
    edges = np.concatenate([vertex[:, [0, 1]], vertex[:, [1, 2]], vertex[:, [2, 0]]])
    edges.sort(axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    return int((counts != 2).sum())


def check_stl_layout(name: str, size: int) -> None:
    """Refuse a file that is neither ASCII STL nor a binary STL of consistent size."""
    try:
        with open(name, "rb") as f:
            head = f.read(84)
    except OSError as exc:
        raise CfdError(f"{name}: cannot read it: {exc.strerror}") from None
    if head.lstrip().startswith(b"solid") and b"\0" not in head:
        return
    if len(head) == 84 and size == 84 + 50 * int.from_bytes(head[80:84], "little"):
        return
    raise CfdError(f"{name}: not a readable STL file (neither ASCII 'solid ...' nor binary STL)")


def check_stl(path: str | os.PathLike[str], notes: list[str] | None = None) -> Triangles:
    """Parse and check a vehicle STL file; returns its triangles in metres,
    wound outwards (a note saying so appended to ``notes`` when some faced
    inwards).

    Each refusal is a ``CfdError`` naming the file and what is wrong.
    """
    from stl import mesh

    name = os.fspath(path)
    try:
        st = os.stat(name)
    except FileNotFoundError:
        raise CfdError(f"{name}: no such file") from None
    except OSError as exc:
        raise CfdError(f"{name}: cannot read it: {exc.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        raise CfdError(f"{name}: not a regular file")
    if st.st_size == 0:
        raise CfdError(f"{name}: empty file, not an STL surface")
    check_stl_layout(name, st.st_size)
    try:
        parsed = mesh.Mesh.from_file(name, calculate_normals=False)
    except (ValueError, TypeError, AssertionError, OSError, IndexError, struct.error) as exc:
        raise CfdError(
            f"{name}: not a readable STL file ({' '.join(str(exc).split())[:200]})"
        ) from None
    triangles = np.asarray(parsed.vectors, dtype=np.float64)
    if len(triangles) == 0:
        raise CfdError(f"{name}: the STL file holds no triangles")
    if not np.isfinite(triangles).all():
        raise CfdError(f"{name}: the STL file has non-finite (NaN or infinite) coordinates")
    lo, hi = bounds(triangles)
    size = hi - lo
    for (label, (low, high)), value in zip(VEHICLE_EXTENTS.items(), size, strict=True):
        if not low <= value <= high:
            dims = " x ".join(f"{v:.3g}" for v in size)
            raise CfdError(
                f"{name}: bounding box {dims} m is not plausible for a vehicle in metres "
                f"({label} {value:.3g} m, expected {low:g} to {high:g} m; is it in millimetres?)"
            )
    from .bodies.solid import closed_solid

    try:
        triangles, turned = closed_solid(name, triangles)
    except ValueError as exc:
        raise CfdError(str(exc)) from None
    if turned is not None and notes is not None:
        notes.append(turned)
    return triangles
