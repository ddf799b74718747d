"""Which edges of a surface are features: creases turning more than 10 degrees
are, the 10 degree steps of a tessellated rounding are not."""

from pathlib import Path

import numpy as np
import pytest

from velmor_platform.cfd import features

SAMPLE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform" / "sample_workspace"


def slanted_body(slant_deg, length=1.0, height=0.3, width=0.4, radius=0.1, steps=9):
    """A box-like body extruded across y from its side outline: a nose rounded
    in ``steps`` facets (10 degrees each for 9), a roof and a 0.25 m rear slant
    in strips of a few centimetres, as a mesh generator makes them."""
    arc = np.linspace(np.pi, np.pi / 2, steps + 1)
    nose = [(radius + radius * np.cos(a), height - radius + radius * np.sin(a)) for a in arc]
    x_slant = length - 0.25
    drop = 0.25 * np.tan(np.radians(slant_deg))
    roof = [(x, height) for x in np.linspace(radius, x_slant, 14)[1:]]
    rear = [(x, height - (x - x_slant) * drop / 0.25) for x in np.linspace(x_slant, length, 7)[1:]]
    outline = [(0.0, 0.0), (0.0, height - radius), *nose[1:], *roof, *rear, (length, 0.0)]
    pts = np.array(outline)
    n = len(pts)
    y0, y1 = -width / 2, width / 2
    tris = []
    for i in range(n):  # the band of faces around the outline
        a, b = pts[i], pts[(i + 1) % n]
        p = [[a[0], y0, a[1]], [b[0], y0, b[1]], [b[0], y1, b[1]], [a[0], y1, a[1]]]
        tris += [[p[0], p[1], p[2]], [p[0], p[2], p[3]]]
    centre = pts.mean(axis=0)
    for i in range(n):  # the two sides, as fans
        a, b = pts[i], pts[(i + 1) % n]
        tris.append([[centre[0], y0, centre[1]], [b[0], y0, b[1]], [a[0], y0, a[1]]])
        tris.append([[centre[0], y1, centre[1]], [a[0], y1, a[1]], [b[0], y1, b[1]]])
    return np.array(tris, dtype=np.float64), x_slant, height


def _along_y(points, edges, x, z):
    """Edges lying across the body at (x, z)."""
    mid = points[edges].mean(axis=1)
    return int(np.sum((np.abs(mid[:, 0] - x) < 1e-6) & (np.abs(mid[:, 2] - z) < 1e-6)))


@pytest.mark.parametrize("slant", [12.5, 25.0, 35.0])
def test_a_slant_edge_is_a_feature_and_a_tessellated_nose_is_not(slant):
    tri, x_slant, height = slanted_body(slant)
    points, edges = features.feature_edges(tri)
    assert _along_y(points, edges, x_slant, height) == 1  # the roof-to-slant crease
    nose = points[edges].mean(axis=1)
    inside_arc = (nose[:, 0] > 1e-6) & (nose[:, 0] < 0.1 - 1e-6) & (np.abs(nose[:, 1]) < 0.19)
    assert not inside_arc.any()  # none of the arc's 10 degree steps
    assert _along_y(points, edges, 1.0, 0.0) == 1  # the base's bottom corner (90 degrees)


def test_a_turn_under_ten_degrees_is_no_feature():
    tri, x_slant, height = slanted_body(8.0)
    points, edges = features.feature_edges(tri)
    assert _along_y(points, edges, x_slant, height) == 0


@pytest.mark.parametrize("body", ["hatch/body.usda", "sedan/body_base.usda"])
def test_smooth_sample_bodies_get_no_spurious_features(body):
    from pxr import Usd, UsdGeom

    from velmor_platform.core import geometry

    stage = Usd.Stage.Open(str(SAMPLE / "geometry" / body))
    cache = UsdGeom.XformCache()
    meshes = [p for p in stage.Traverse() if p.IsA(UsdGeom.Mesh)]
    tri = np.concatenate([geometry.mesh_triangles(p, cache, np.eye(3), where=body) for p in meshes])
    assert len(tri) > 1000 and len(features.feature_edges(tri)[1]) == 0


def test_the_edges_are_written_as_an_openfoam_edge_mesh(tmp_path):
    from foamlib import FoamFile

    tri, _, _ = slanted_body(25.0)
    path = tmp_path / features.emesh_name("body")
    count = features.write_emesh(tri, path)
    assert count == len(features.feature_edges(tri)[1]) > 0
    text = path.read_text()
    assert "class       featureEdgeMesh;" in text and f"\n{count}\n(" in text
    assert FoamFile(path)  # foamlib reads it as a dictionary file
