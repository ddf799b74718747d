"""A body's geometry file: what is refused and why, how it is turned
outwards, where its USD composition may reach, and its frontal raster."""

import os

import numpy as np
import pytest
from stl import mesh

from velmor_platform.core import variants
from velmor_platform.core.bodies import raster

# A car-sized box, 4 x 1.8 x 1.4 m, on the ground and centred on y = 0, wound outwards.
_CORNERS = np.array([[x, y, z] for x in (0, 4) for y in (-0.9, 0.9) for z in (0, 1.4)], float)
_QUADS = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]


def box(lo=(0, -0.9, 0), hi=(4, 0.9, 1.4)):
    lo, hi = np.asarray(lo, float), np.asarray(hi, float)
    points = lo + (_CORNERS - _CORNERS.min(0)) / (_CORNERS.max(0) - _CORNERS.min(0)) * (hi - lo)
    tri = [points[[a, b, c]] for a, b, c, d in _QUADS] + [
        points[[a, c, d]] for a, b, c, d in _QUADS
    ]
    return np.asarray(tri)


def volume(tri):
    return float(np.einsum("ij,ij->i", tri[:, 0], np.cross(tri[:, 1], tri[:, 2])).sum() / 6)


def write_stl(path, tri):
    body = mesh.Mesh(np.zeros(len(tri), dtype=mesh.Mesh.dtype))
    body.vectors[:] = tri
    body.save(os.fspath(path))
    return path


def cone(n=1000):
    """A closed cone whose 1000 side triangles all meet at its apex."""
    theta = np.linspace(0, 2 * np.pi, n, endpoint=False)
    ring = np.c_[np.zeros(n), 0.9 * np.cos(theta), 0.7 * np.sin(theta) + 0.7]
    apex, centre = np.array([4, 0, 0.7]), np.array([0, 0, 0.7])
    sides = [[apex, ring[(k + 1) % n], ring[k]] for k in range(n)]
    return np.array(sides + [[centre, ring[k], ring[(k + 1) % n]] for k in range(n)])


SHEET = np.array([[[0, -0.9, 0], [4, 0.9, 0.2], [2, 0.9, 1.4]]], float)

REFUSED = {
    "a sheet and its reverse": (np.concatenate([SHEET, SHEET[:, [0, 2, 1]]]), "encloses no volume"),
    "25 coincident opposite pairs": (
        np.concatenate(
            [[s, s[[0, 2, 1]]] for s in (SHEET[0] + [0, 0, 0.01 * k] for k in range(25))]
        ),
        "enclose no volume",
    ),
    "two boxes on one edge": (
        np.concatenate([box(), box((4, 0.9, 0), (8, 2.7, 1.4))]),
        "non-manifold",
    ),
    "a box without a face": (box()[:-1], "not closed"),
    "a cone of 1000 slivers": (cone(), "lies on itself too densely"),
    "two boxes through each other": (
        np.concatenate([box(), box((1, -0.5, 0.5), (2, 1.5, 1.0))]),
        "intersects itself",
    ),
}


@pytest.mark.parametrize("case", REFUSED)
def test_a_body_that_is_no_solid_is_refused_with_its_reason(tmp_path, case):
    triangles, reason = REFUSED[case]
    path = write_stl(tmp_path / "body.stl", triangles)
    with pytest.raises(variants.VariantError, match=reason):
        variants.read_geometry(path)


@pytest.mark.parametrize("turned", ["all", "one"])
def test_inward_triangles_are_turned_outwards(tmp_path, turned):
    triangles = box()
    flipped = triangles[:, [0, 2, 1]] if turned == "all" else triangles.copy()
    if turned == "one":
        flipped[3] = flipped[3][[0, 2, 1]]
    read = variants.read_geometry(write_stl(tmp_path / "body.stl", flipped))
    assert volume(read) == pytest.approx(4 * 1.8 * 1.4)


def test_a_one_sided_surface_is_refused(tmp_path):
    # The six-vertex projective plane: closed and manifold, but with no outside.
    faces = np.array(
        [[1, 2, 3], [1, 3, 4], [1, 4, 5], [1, 5, 6], [1, 6, 2],
         [2, 3, 5], [3, 4, 6], [4, 5, 2], [5, 6, 3], [6, 2, 4]]
    ) - 1  # fmt: skip
    points = np.random.default_rng(1).uniform([0, -0.9, 0], [4, 0.9, 1.4], (6, 3))
    with pytest.raises(variants.VariantError, match="cannot be oriented"):
        variants.read_geometry(write_stl(tmp_path / "body.stl", points[faces]))


def _usd_body(folder, name="body.usda", arc=""):
    from velmor_platform.core.bodies.reading import mesh_usda

    text = mesh_usda(box(), "body").decode()
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text.replace("#usda 1.0\n(", f"#usda 1.0\n(\n{arc}", 1))
    return path


@pytest.mark.parametrize("where", ["absolute", "parent", "fifo", "link"])
def test_a_usd_body_pulls_nothing_from_outside_its_folder(tmp_path, where):
    outside = _usd_body(tmp_path / "elsewhere", "outside.usda")
    own = tmp_path / "upload"
    own.mkdir()
    target = {"absolute": str(outside), "parent": "../elsewhere/outside.usda"}.get(where)
    if where == "fifo":
        os.mkfifo(own / "pipe.usda")
        target = "./pipe.usda"
    elif where == "link":
        (own / "linked.usda").symlink_to(outside)
        target = "./linked.usda"
    path = _usd_body(own, arc=f"    subLayers = [@{target}@]\n")
    with pytest.raises(variants.VariantError, match="outside the folder|not a regular file"):
        variants.read_geometry(path)


def test_a_usd_body_may_compose_files_beside_it(tmp_path):
    _usd_body(tmp_path, "part.usda")
    path = _usd_body(tmp_path, arc="    subLayers = [@./part.usda@]\n")
    assert len(variants.read_geometry(path)) == 12


def test_the_raster_marks_the_pixel_centres_inside_each_triangle():
    rng = np.random.default_rng(3)
    flat = rng.uniform(0, 1, (6, 3, 2))
    lo, size = np.zeros(2), 0.05
    covered = raster.coverage(flat, lo, np.ones(2), size)
    centres = np.stack(np.meshgrid(*[np.arange(20) * size + size / 2] * 2, indexing="ij"), -1)
    expected = np.zeros((20, 20), bool)
    for a, b, c in flat:
        d = [
            (q - p)[0] * (centres - p)[..., 1] - (q - p)[1] * (centres - p)[..., 0]
            for p, q in ((a, b), (b, c), (c, a))
        ]
        expected |= np.all([x >= 0 for x in d], 0) | np.all([x <= 0 for x in d], 0)
    assert np.array_equal(covered, expected)
    with pytest.raises(raster.RasterCancelled):
        raster.coverage(flat, lo, np.ones(2), size, cancelled=lambda: True)
