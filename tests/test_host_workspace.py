import os
import threading
from pathlib import Path

import pytest

from velmor_platform.core import workspace as ws


def _tree(root: Path) -> set[str]:
    """The files of a workspace, without its state folder (which holds the marker)."""
    return {
        p.relative_to(root).as_posix()
        for p in root.rglob("*")
        if "__pycache__" not in p.parts and ".velmor" not in p.parts
    }


@pytest.fixture
def user_home(tmp_path, monkeypatch):
    monkeypatch.delenv("VELMOR_WORKSPACE", raising=False)
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    return tmp_path / "data" / "velmor" / "workspace"


def test_env_var_is_expanded_and_resolved(tmp_path, monkeypatch):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    monkeypatch.setenv("WS_BASE", str(tmp_path))
    monkeypatch.setenv("VELMOR_WORKSPACE", "$WS_BASE/link/../link")
    assert ws.workspace_root() == (tmp_path / "real").resolve()
    assert ws.products_dir() == (tmp_path / "real").resolve() / "products"


def test_user_workspace_is_seeded_once_from_the_sample(user_home):
    root = ws.workspace_root()
    assert root == user_home
    assert _tree(root) == _tree(ws.sample_workspace_path())
    marker = root / "products" / "hatch" / "hatch.usda"
    marker.write_text("edited")
    assert ws.workspace_root() == root
    assert marker.read_text() == "edited"  # not re-seeded over the user's work


@pytest.mark.parametrize("xdg", [None, "relative/data"])
def test_user_workspace_defaults_to_local_share(xdg, tmp_path, monkeypatch):
    monkeypatch.delenv("VELMOR_WORKSPACE", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    if xdg is None:
        monkeypatch.delenv("XDG_DATA_HOME", raising=False)
    else:
        monkeypatch.setenv("XDG_DATA_HOME", xdg)  # relative values are ignored
    assert ws.workspace_root() == tmp_path / ".local" / "share" / "velmor" / "workspace"


def test_racing_first_uses_seed_one_complete_workspace(user_home):
    barrier = threading.Barrier(8)
    results, errors = [], []

    def first_use():
        barrier.wait()
        try:
            results.append(ws.workspace_root())
        except Exception as exc:  # noqa: BLE001  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=first_use) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and set(results) == {user_home}
    assert _tree(user_home) == _tree(ws.sample_workspace_path())
    assert os.listdir(user_home.parent) == ["workspace"]  # no staging left behind


def test_seeded_copy_is_writable_even_from_a_read_only_sample(tmp_path, monkeypatch):
    sample = tmp_path / "sample"
    (sample / "products").mkdir(parents=True)
    (sample / "products" / "p.usda").write_text("#usda 1.0\n")
    for p in (sample / "products" / "p.usda", sample / "products", sample):
        p.chmod(0o555 if p.is_dir() else 0o444)
    monkeypatch.setattr(ws, "sample_workspace_path", lambda: sample)
    dest = ws.seed_workspace(tmp_path / "new")
    assert (dest / "products").stat().st_mode & 0o200
    assert (dest / "products" / "p.usda").stat().st_mode & 0o200


@pytest.mark.parametrize("state", ["missing", "nested-missing", "empty"])
def test_seed_workspace_into_new_or_empty_directory(tmp_path, state):
    dest = tmp_path / ("a/b/ws" if state == "nested-missing" else "ws")
    if state == "empty":
        dest.mkdir()
    assert ws.seed_workspace(dest) == dest
    assert _tree(dest) == _tree(ws.sample_workspace_path())
    assert ws.is_workspace(dest)


def test_seed_workspace_refuses_non_empty_directory_and_files(tmp_path):
    (tmp_path / "ws").mkdir()
    (tmp_path / "ws" / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="not empty"):
        ws.seed_workspace(tmp_path / "ws")
    assert os.listdir(tmp_path / "ws") == ["notes.txt"]
    (tmp_path / "file").write_text("x")
    with pytest.raises(NotADirectoryError):
        ws.seed_workspace(tmp_path / "file")


@pytest.mark.parametrize(
    "rel, expected",
    [
        ("w/products/sedan/base/sedan.usda", "w"),
        ("w/products/hatch", "w"),
        ("outer/products/inner/products/x/x.usda", "outer/products/inner"),  # nearest wins
        ("w/Products/x/x.usda", None),  # exact name only
        ("elsewhere/x.usda", None),
    ],
)
def test_workspace_of(rel, expected, tmp_path, monkeypatch):
    monkeypatch.setenv("VELMOR_WORKSPACE", str(tmp_path / "active"))
    want = tmp_path / expected if expected else (tmp_path / "active").resolve()
    assert ws.workspace_of(tmp_path / rel) == want
