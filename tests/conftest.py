import shutil
from pathlib import Path

import pytest

SAMPLE_WORKSPACE = (
    Path(__file__).resolve().parent.parent / "src" / "velmor_platform" / "sample_workspace"
)


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    """A fresh copy of the sample workspace, made the active workspace."""
    root = tmp_path / "workspace"
    shutil.copytree(SAMPLE_WORKSPACE, root, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.setenv("VELMOR_WORKSPACE", str(root))
    return root


@pytest.fixture
def sample_products():
    """Identifiers of the sample workspace's products."""
    return ["hatch", "sedan:base", "sedan:sport"]


# ---- product_core fixtures ----------------------------------------------------


@pytest.fixture(scope="session")
def core():
    """The native product_core module."""
    import velmor_platform.core.product_core as core

    return core


@pytest.fixture
def make_usd(tmp_path):
    """Write a one-prim product file and return its path.

    ``make_usd("p.usda", targetCd=("Double", 0.3))`` defines a default prim
    /Vehicle carrying the given attributes (type name from
    ``Sdf.ValueTypeNames``, value).
    """
    from pxr import Sdf, Usd

    def make(name="product.usda", directory=None, **attributes):
        path = Path(directory or tmp_path) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        stage = Usd.Stage.CreateNew(str(path))
        prim = stage.DefinePrim("/Vehicle", "Xform")
        stage.SetDefaultPrim(prim)
        for attr_name, (type_name, value) in attributes.items():
            prim.CreateAttribute(attr_name, getattr(Sdf.ValueTypeNames, type_name)).Set(value)
        stage.GetRootLayer().Save()
        return path

    return make


def pytest_collection_modifyitems(items):
    """The reliability harness (tests/test_reliability_*.py) runs under its own
    marker, so `pytest -m "not reliability"` is the fast suite."""
    for item in items:
        if item.path.name.startswith("test_reliability_"):
            item.add_marker(pytest.mark.reliability)


@pytest.fixture
def small_mesh(monkeypatch):
    """The quick level made coarser for the tests that run OpenFOAM: they check
    what a run does and records, not its accuracy (benchmarks/ does that)."""
    from velmor_platform.cfd import params

    small = params.MeshLevel(
        cells_per_length=5.0, surface=(2, 2), near=1, wake=0, layers=2, iterations=1000
    )
    monkeypatch.setitem(params.MESH_LEVELS, "quick", small)
    return small
