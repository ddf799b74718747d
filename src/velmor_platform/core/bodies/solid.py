"""Whether a triangle surface bounds a solid, and that solid's outside.

``closed_solid(name, triangles)`` returns the triangles wound outwards
(each closed part turned round if it faced inwards) with a note saying
so, or refuses with ``ValueError`` naming ``name`` and the first fault
found, in this order:

* an edge shared by more than two triangles: the surface is non-manifold;
* an edge of one triangle only: the surface is not closed;
* triangles that cannot all be wound the same way round (a one-sided
  surface): it cannot be oriented;
* a closed part that encloses no volume (coincident opposite triangles,
  a folded sheet);
* two triangles that cross without sharing a corner: the surface
  intersects itself (or it lies on itself so densely, ``near_pairs``, that
  the test would take minutes: it is refused as such).

Corners are welded when their coordinates are equal. The winding is made
consistent with VTK's normal filter; a part faces outwards when its signed
volume is positive. The crossing test is VTK's collision filter between the
surface and itself, less the contacts of neighbouring triangles.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Triangles = npt.NDArray[np.float64]
Faces = npt.NDArray[np.int64]

#: A closed part whose volume is below this fraction of the cube of the
#: surface's largest extent encloses nothing.
MIN_VOLUME = 1e-9
#: The crossing test's work, bounded: at most this many pairs of triangles
#: near each other per triangle (and ``NEAR_PAIRS_BASE`` more) are compared.
#: A vehicle's skin has a few dozen; a surface folded onto itself many times
#: over (every triangle near every other) would take the test minutes.
NEAR_PAIRS_PER_TRIANGLE = 200
NEAR_PAIRS_BASE = 1_000_000
#: Grid cells one triangle's box may cover in that count.
MAX_CELLS = 4096


def weld(triangles: Triangles) -> tuple[npt.NDArray[np.float64], Faces]:
    """Shared corner points and the triangles as indices into them."""
    points, inverse = np.unique(triangles.reshape(-1, 3), axis=0, return_inverse=True)
    return points, inverse.reshape(-1, 3).astype(np.int64)


def _directed(faces: Faces) -> Faces:
    return np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])


def edge_faults(faces: Faces) -> tuple[int, int]:
    """Edges of more than two triangles and edges of one triangle only."""
    edges = np.sort(_directed(faces), axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    return int((counts > 2).sum()), int((counts == 1).sum())


def _parts(faces: Faces) -> npt.NDArray[np.int64]:
    """A label per triangle, equal for triangles joined through edges."""
    n = len(faces)
    edges = np.sort(_directed(faces), axis=1)
    _, key = np.unique(edges, axis=0, return_inverse=True)
    owner = np.tile(np.arange(n), 3)
    order = np.argsort(key, kind="stable")
    # On a closed manifold surface each edge has exactly two triangles.
    pairs = owner[order].reshape(-1, 2)
    label = np.arange(n)
    while True:
        low = np.minimum(label[pairs[:, 0]], label[pairs[:, 1]])
        new = label.copy()
        np.minimum.at(new, pairs[:, 0], low)
        np.minimum.at(new, pairs[:, 1], low)
        new = new[new]  # jump to the label's own label
        if np.array_equal(new, label):
            return label
        label = new


def polydata(points: npt.NDArray[np.float64], faces: Any) -> Any:
    """The triangles as a VTK surface (pyvista ``PolyData``)."""
    import pyvista as pv

    return pv.PolyData.from_regular_faces(points, faces)


def _consistent(points: npt.NDArray[np.float64], faces: Faces) -> Faces:
    surface = polydata(points, faces)
    wound = surface.compute_normals(
        cell_normals=True, point_normals=False, consistent_normals=True,
        auto_orient_normals=False, split_vertices=False, non_manifold_traversal=False,
    )  # fmt: skip
    out = np.asarray(wound.regular_faces, dtype=np.int64)
    if out.shape != faces.shape or not np.array_equal(np.sort(out, axis=1), np.sort(faces, axis=1)):
        return faces  # VTK dropped or reordered triangles: judge them as given
    return out


def _volumes(
    points: npt.NDArray[np.float64], faces: Faces, label: npt.NDArray[np.int64]
) -> npt.NDArray[np.float64]:
    a, b, c = (points[faces[:, k]] for k in range(3))
    signed = np.einsum("ij,ij->i", a, np.cross(b, c)) / 6.0
    return np.asarray(np.bincount(label, weights=signed, minlength=len(faces)), dtype=np.float64)


def _canonical(faces: Faces) -> Faces:
    """Each triangle's corners rotated to start at the lowest: equal rows
    are the same triangle wound the same way."""
    first = np.argmin(faces, axis=1)
    order = (first[:, None] + np.arange(3)) % 3
    return np.take_along_axis(faces, order, axis=1)


def near_pairs(triangles: Triangles) -> int:
    """An upper bound on the pairs of triangles whose boxes share a cell of a
    grid as fine as a typical triangle (what the crossing test compares)."""
    n = len(triangles)
    lo, hi = triangles.min(axis=1), triangles.max(axis=1)
    origin = lo.min(axis=0)
    extent = float((hi.max(axis=0) - origin).max())
    size = max(float(np.median((hi - lo).max(axis=1))), extent / 1024, 1e-9)
    first = np.floor((lo - origin) / size).astype(np.int64)
    span = np.floor((hi - origin) / size).astype(np.int64) - first + 1
    cells = span.prod(axis=1)
    big = cells > MAX_CELLS
    if int(cells[~big].sum()) > NEAR_PAIRS_PER_TRIANGLE * n + NEAR_PAIRS_BASE:
        return n * n
    cells = np.where(big, 0, cells)
    owner = np.repeat(np.arange(n), cells)
    local = np.arange(int(cells.sum())) - np.repeat(np.cumsum(cells) - cells, cells)
    sy, sz = span[owner, 1], span[owner, 2]
    cell = first[owner] + np.stack([local // (sy * sz), (local // sz) % sy, local % sz], axis=1)
    dims = np.floor((hi.max(axis=0) - origin) / size).astype(np.int64) + 2
    _, counts = np.unique(np.ravel_multi_index(cell.T, dims), return_counts=True)
    return int((counts * (counts - 1) // 2).sum()) + int(big.sum()) * n


def collisions(first: Any, second: Any, *, all_contacts: bool) -> Any:
    """VTK's collision filter run on two surfaces in place (``polydata``):
    every contact, or only whether there is one."""
    import vtk

    collide = vtk.vtkCollisionDetectionFilter()
    collide.SetInputData(0, first)
    collide.SetInputData(1, second)
    collide.SetMatrix(0, vtk.vtkMatrix4x4())
    collide.SetMatrix(1, vtk.vtkMatrix4x4())
    if all_contacts:
        collide.SetCollisionModeToAllContacts()
    else:
        collide.SetCollisionModeToFirstContact()
    collide.GenerateScalarsOff()
    collide.Update()
    return collide


def crossings(points: npt.NDArray[np.float64], faces: Faces) -> Faces:
    """Pairs of triangles that touch without sharing a corner."""
    from vtk.util.numpy_support import vtk_to_numpy

    surface = polydata(points, faces)
    collide = collisions(surface, surface, all_contacts=True)
    a = vtk_to_numpy(collide.GetContactCells(0)).astype(np.int64)
    b = vtk_to_numpy(collide.GetContactCells(1)).astype(np.int64)
    shares = (faces[a][:, :, None] == faces[b][:, None, :]).any(axis=(1, 2))
    return np.stack([a[~shares], b[~shares]], axis=1)


def closed_solid(name: str, triangles: Triangles) -> tuple[Triangles, str | None]:
    """The triangles wound outwards, and a note when any were turned round;
    ``ValueError`` naming ``name`` when they do not bound a solid."""
    points, faces = weld(triangles)
    many, single = edge_faults(faces)
    if many:
        raise ValueError(
            f"{name}: the surface is non-manifold ({many} edges shared by more than two "
            "triangles); the body must be one watertight skin"
        )
    if single:
        raise ValueError(
            f"{name}: the surface is not closed ({single} edges of one triangle only); "
            "the body must be watertight"
        )
    wound = _consistent(points, faces)
    _, counts = np.unique(_directed(wound), axis=0, return_counts=True)
    if (counts > 1).any():
        raise ValueError(
            f"{name}: the surface cannot be oriented (its triangles cannot all be wound the "
            "same way round: it is one-sided)"
        )
    label = _parts(wound)
    volume = _volumes(points, wound, label)
    parts = np.unique(label)
    extent = float((points.max(axis=0) - points.min(axis=0)).max())
    empty = parts[np.abs(volume[parts]) <= MIN_VOLUME * extent**3]
    if len(empty):
        which = (
            "the body encloses"
            if len(parts) == 1
            else f"{len(empty)} of its {len(parts)} closed parts enclose"
        )
        raise ValueError(
            f"{name}: {which} no volume (a zero-volume surface, such as coincident opposite "
            "triangles)"
        )
    inward = volume[label] < 0
    wound[inward] = wound[inward][:, [0, 2, 1]]
    near = near_pairs(points[wound])
    if near > NEAR_PAIRS_PER_TRIANGLE * len(wound) + NEAR_PAIRS_BASE:
        raise ValueError(
            f"{name}: the surface lies on itself too densely to be checked ({near:,} pairs of "
            f"triangles near each other, at most {NEAR_PAIRS_PER_TRIANGLE} per triangle): not "
            "a vehicle's skin"
        )
    crossed = crossings(points, wound)
    if len(crossed):
        where = points[wound[crossed[0, 0]]].mean(axis=0)
        raise ValueError(
            f"{name}: the surface intersects itself ({len(crossed) // 2 or 1} pairs of "
            f"triangles cross, one near ({', '.join(f'{v:.3g}' for v in where)}) m)"
        )
    turned = int((_canonical(wound) != _canonical(faces)).any(axis=1).sum())
    note = None
    if turned:
        note = (
            f"{name}: {turned} of {len(faces)} triangles faced inwards and were turned to "
            "face outwards"
        )
    return points[wound], note
