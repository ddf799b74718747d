"""The feature edges of a surface: the creases snappyHexMesh snaps to and refines.

An edge is a feature when the surface turns there by more than ``ANGLE``
degrees and the turn is concentrated at the edge: the faces within two
rings of the edge's corners lie on one side or the other of the crease,
none carrying the turn on beyond it. That is what separates the roof-to-slant
edge of a hatchback (a 12.5 degree turn between two flat faces) from a
rounded nose tessellated in 10 degree steps, where every ring of faces
turns as much as the last. A turn of ``ALWAYS`` degrees or more is a
feature whatever its neighbours do (a coarsely tessellated corner is a
corner to the mesh), and so is an open or non-manifold edge.

The rule reads only the triangles, so a user's geometry gets the same
treatment as the sample bodies. ``write_emesh`` writes the edges as an
OpenFOAM edge mesh for the case's ``castellatedMeshControls.features``.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

#: Smallest turn of the surface, degrees, that can make an edge a feature.
ANGLE = 10.0
#: A turn this large, degrees, is a feature however its neighbours turn.
ALWAYS = 30.0
#: A neighbouring face that turns on beyond the crease by this share of the
#: edge's own turn means the turn is spread over a curve, not a crease.
SPREAD = 0.5

_HEADER = """FoamFile
{{
    version     2.0;
    format      ascii;
    class       featureEdgeMesh;
    location    "constant/triSurface";
    object      {name};
}}
"""


def _mesh(triangles: npt.NDArray[np.float64]) -> tuple[Any, Any]:
    """Shared vertices and faces as vertex indices (float32 as STL stores them)."""
    corners = np.asarray(triangles, dtype=np.float32).reshape(-1, 3)
    points, faces = np.unique(corners, axis=0, return_inverse=True)
    return points.astype(np.float64), faces.reshape(-1, 3)


def feature_edges(
    triangles: npt.NDArray[np.float64], angle: float = ANGLE
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """``(points, edges)`` of the feature edges of ``triangles`` (n, 3, 3)."""
    points, faces = _mesh(triangles)
    tri = points[faces]
    normals = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    length = np.linalg.norm(normals, axis=1)
    good = length > 0
    normals[good] /= length[good, None]

    # Every face's three edges, as sorted vertex pairs; the faces of each edge.
    half = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    owner = np.tile(np.arange(len(faces)), 3)
    key = np.sort(half, axis=1)
    edges, inverse, counts = np.unique(key, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(inverse, kind="stable")
    starts = np.r_[0, np.cumsum(counts)[:-1]]

    chosen = counts != 2  # open and non-manifold edges
    two = np.flatnonzero(counts == 2)
    f1 = owner[order[starts[two]]]
    f2 = owner[order[starts[two] + 1]]
    n1, n2 = normals[f1], normals[f2]
    turn = np.degrees(np.arccos(np.clip(np.einsum("ij,ij->i", n1, n2), -1.0, 1.0)))
    chosen[two[turn >= ALWAYS]] = True
    candidates = (turn > angle) & (turn < ALWAYS)
    if candidates.any():
        # The faces around each vertex, to look at the neighbourhood of each candidate.
        vertex_faces: list[list[int]] = [[] for _ in range(len(points))]
        for f, corner in enumerate(faces):
            for v in corner:
                vertex_faces[v].append(f)
        for i in np.flatnonzero(candidates):
            e = two[i]
            a, b = edges[e]
            axis = points[b] - points[a]
            axis /= np.linalg.norm(axis) or 1.0
            near = {*vertex_faces[a], *vertex_faces[b]}
            around = {g for f in near for v in faces[f] for g in vertex_faces[v]}
            crease = _concentrated(normals[sorted(around)], n1[i], n2[i], axis)
            if crease:
                chosen[e] = True
    picked = edges[chosen]
    used, remap = np.unique(picked, return_inverse=True)
    return points[used], remap.reshape(-1, 2).astype(np.int64)


def _concentrated(
    around: npt.NDArray[np.float64],
    n1: npt.NDArray[np.float64],
    n2: npt.NDArray[np.float64],
    axis: npt.NDArray[np.float64],
) -> bool:
    """Whether the turn from ``n1`` to ``n2`` about ``axis`` stops at the edge:
    no face around it turns on past either side by more than ``SPREAD`` of it."""
    # Angles of the normals about the edge, in the plane across it, from n1.
    u = n1 - axis * (n1 @ axis)
    u /= np.linalg.norm(u) or 1.0
    w = np.cross(axis, u)
    turn = np.arctan2(n2 @ w, n2 @ u)
    if turn < 0:  # measure in the sense the surface turns at this edge
        w, turn = -w, -turn
    across = around - np.outer(around @ axis, axis)
    size = np.linalg.norm(across, axis=1)
    seen = size > 0.5  # faces that turn mostly about another axis say nothing here
    phi = np.arctan2(across[seen] @ w, across[seen] @ u)
    slack = SPREAD * turn
    return bool(np.all((phi > -slack) & (phi < turn + slack)))


def emesh_name(surface: str) -> str:
    """The file name of a surface's feature edges in ``constant/triSurface``."""
    return f"{surface}.features.eMesh"


def write_emesh(triangles: npt.NDArray[np.float64], path: Path) -> int:
    """Write the feature edges of ``triangles`` to ``path``; returns their number."""
    points, edges = feature_edges(triangles)
    lines = [_HEADER.format(name=path.name), str(len(points)), "("]
    lines += [f"({x:.9g} {y:.9g} {z:.9g})" for x, y, z in points]
    lines += [")", "", str(len(edges)), "("]
    lines += [f"({a} {b})" for a, b in edges]
    lines += [")", ""]
    path.write_text("\n".join(lines))
    return len(edges)
