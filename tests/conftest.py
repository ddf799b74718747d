import shutil
from pathlib import Path

import pytest

SAMPLE_WORKSPACE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform" / "sample_workspace"


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
