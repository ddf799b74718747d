import os
from pathlib import Path

import pytest
from pxr import Sdf

from velmor_platform.core.api import _find_product_usd, list_products


def _identifier(usd_path: Path) -> str:
    """The <programme>[:variant] identifier of a file below a products dir."""
    parts = []
    d = usd_path.parent
    while d.name and d.name != "products":
        parts.append(d.name)
        d = d.parent
    parts.reverse()
    return parts[0] if len(parts) == 1 else f"{parts[0]}:{parts[-1]}"


@pytest.mark.parametrize(
    "name, rel",
    [
        ("hatch", "hatch/hatch.usda"),
        ("sedan:base", "sedan/base/sedan.usda"),
        ("sedan:sport", "sedan/sport/sedan.usda"),
    ],
)
def test_finds_sample_products(workspace, name, rel):
    found = _find_product_usd(name)
    assert found == workspace / "products" / rel
    assert _identifier(found) == name


def test_usdc_is_found_when_there_is_no_usda(workspace):
    coupe = workspace / "products" / "coupe"
    coupe.mkdir()
    Sdf.Layer.CreateNew(str(coupe / "coupe.usdc")).Save()
    assert _find_product_usd("coupe") == coupe / "coupe.usdc"
    (coupe / "coupe.usda").write_text("#usda 1.0\n")
    assert _find_product_usd("coupe") == coupe / "coupe.usda"


def test_success_path_does_not_list_directories(workspace, monkeypatch):
    def refuse(*args):
        raise AssertionError("the products directory was scanned")

    monkeypatch.setattr(os, "scandir", refuse)
    monkeypatch.setattr(os, "listdir", refuse)
    assert _find_product_usd("sedan:sport").name == "sedan.usda"


@pytest.mark.parametrize(
    "name",
    [
        "",
        ":",
        "sedan:",
        ":base",
        "a:b:c",
        ".",
        "..",
        "sedan:..",
        "../hatch",
        "sedan/base",
        "sedan\\base",
        "/etc/passwd",
        "sedan:/abs",
        "hat\0ch",
    ],
)
def test_malformed_names_are_refused(workspace, name):
    with pytest.raises(ValueError, match="invalid product name"):
        _find_product_usd(name)


@pytest.mark.parametrize("name", ["coupe", "sedan", "sedan:gt", "hatch:base"])
def test_missing_product_names_it_and_lists_what_exists(workspace, name):
    with pytest.raises(FileNotFoundError) as info:
        _find_product_usd(name)
    message = str(info.value)
    assert repr(name) in message
    assert "hatch, sedan:base, sedan:sport" in message


@pytest.mark.parametrize("link", ["directory", "file"])
def test_symlink_leaving_products_dir_is_refused(workspace, tmp_path, link):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "evil.usda").write_text("#usda 1.0\n")
    if link == "directory":
        (workspace / "products" / "evil").symlink_to(outside)
    else:
        (workspace / "products" / "evil").mkdir()
        (workspace / "products" / "evil" / "evil.usda").symlink_to(outside / "evil.usda")
    with pytest.raises(ValueError, match="outside the products directory"):
        _find_product_usd("evil")
    assert "evil" not in [ident for ident, _ in list_products()]


def test_list_products_matches_the_finder(workspace):
    (workspace / "products" / ".staging").mkdir()
    (workspace / "products" / ".staging" / ".staging.usda").write_text("#usda 1.0\n")
    (workspace / "products" / "sedan" / "notes").mkdir()  # no sedan.usda inside
    listed = list_products()
    assert [ident for ident, _ in listed] == ["hatch", "sedan:base", "sedan:sport"]
    for ident, path in listed:
        assert _find_product_usd(ident) == path
        assert _identifier(path) == ident
    assert list_products(workspace / "products") == listed
    assert list_products(workspace / "nowhere") == []


# ---- products found before ------------------------------------------------------------


def test_a_product_found_before_is_found_again_as_it_now_is(workspace, tmp_path):
    coupe = workspace / "products" / "coupe"
    coupe.mkdir()
    Sdf.Layer.CreateNew(str(coupe / "coupe.usdc")).Save()
    (coupe / "coupe.usda").write_text("#usda 1.0\n")
    assert _find_product_usd("coupe") == coupe / "coupe.usda"
    (coupe / "coupe.usda").unlink()
    assert _find_product_usd("coupe") == coupe / "coupe.usdc"
    (coupe / "coupe.usdc").unlink()
    with pytest.raises(FileNotFoundError, match="coupe"):
        _find_product_usd("coupe")


def test_a_product_found_before_then_moved_outside_is_refused(workspace, tmp_path):
    coupe = workspace / "products" / "coupe"
    coupe.mkdir()
    (coupe / "coupe.usda").write_text("#usda 1.0\n")
    assert _find_product_usd("coupe") == coupe / "coupe.usda"
    coupe.rename(tmp_path / "outside")
    coupe.symlink_to(tmp_path / "outside")
    with pytest.raises(ValueError, match="outside the products directory"):
        _find_product_usd("coupe")


def test_a_workspace_path_that_becomes_a_link_is_resolved_again(workspace, tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    workspace.rename(tmp_path / "a" / "ws")
    monkeypatch.setenv("VELMOR_WORKSPACE", str(tmp_path / "a" / "ws"))
    assert _find_product_usd("hatch") == tmp_path / "a/ws/products/hatch/hatch.usda"
    (tmp_path / "a").rename(tmp_path / "b")
    (tmp_path / "a").symlink_to(tmp_path / "b")
    assert _find_product_usd("hatch") == tmp_path / "b/ws/products/hatch/hatch.usda"


@pytest.mark.parametrize(
    "name, error, message",
    [
        ("a" * 251, ValueError, "at most 250 bytes"),
        ("sedan:" + "é" * 126, ValueError, "at most 250 bytes"),
        ("sedn", FileNotFoundError, "did you mean 'sedan:base' or 'sedan:sport'?"),
        ("hatc", FileNotFoundError, "did you mean 'hatch'?"),
    ],
)
def test_long_and_mistyped_names(workspace, name, error, message):
    with pytest.raises(error, match=message):
        _find_product_usd(name)
