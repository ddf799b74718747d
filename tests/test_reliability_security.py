"""Security: what the platform refuses, as docs/SECURITY.md describes it.

Product names that try to leave the products directory, symbolic links in
the products tree that point outside it, USD layers that reference files
outside the workspace, geometry URIs that leave the geometry cache, and the
MCP server command line that the transport runs from the workspace's
mcp.json.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from pathlib import Path

import pytest


@pytest.fixture
def outside(tmp_path):
    """A directory beside the workspace holding a product-shaped decoy."""
    root = tmp_path / "outside"
    decoy = root / "decoy"
    decoy.mkdir(parents=True)
    (decoy / "decoy.usda").write_text(
        '#usda 1.0\n(\n    defaultPrim = "Vehicle"\n)\n\n'
        'def Xform "Vehicle"\n{\n    string vehicleName = "OUTSIDE SECRET"\n    double targetCd = 0.99\n'
        "    double targetCdTolerance = 0.99\n}\n"
    )
    return root


def tree_state(directory: Path) -> dict:
    return {str(p): (p.stat().st_mtime_ns, p.stat().st_size) for p in sorted(directory.rglob("*"))}


# ---- product names ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "name",
    [
        "..",
        "../decoy",
        "../../outside/decoy",
        "sedan:..",
        "..:base",
        "sedan:../../outside",
        "/etc/passwd",
        "/tmp",
        "sedan/base",
        "sedan:base/../../x",
        "a\\b",
        "hatch\x00",
        ".",
        "",
        "sedan:",
        ":base",
        "a:b:c",
        "~",
        "~root/x",
    ],
)
def test_product_names_cannot_leave_the_products_directory(workspace, outside, name):
    from velmor_platform.core.product_core import ProductCore

    before = tree_state(outside)
    with pytest.raises((ValueError, FileNotFoundError)) as info:
        ProductCore.load(name)
    if isinstance(info.value, FileNotFoundError):
        # Only a well-formed name that names no product gets this far.
        assert "available products: hatch, sedan:base, sedan:sport" in str(info.value)
    assert tree_state(outside) == before


@pytest.mark.parametrize("bad", ["ev\nrm -rf ~", "ev\r", "ev\x1b[2J", "ev\u2028x", ".hidden"])
def test_names_with_control_characters_or_a_leading_dot_are_refused_everywhere(
    workspace, sample_products, bad
):
    from velmor_platform.core.api import list_products
    from velmor_platform.core.product_core import ProductCore
    from velmor_platform.core.variants import VariantError, make_variant
    from velmor_platform.mcp.tools import product_file
    from velmor_platform.services.errors import UserError

    hatch = workspace / "products" / "hatch"
    (workspace / "products" / bad).mkdir()
    shutil.copy(hatch / "hatch.usda", workspace / "products" / bad / f"{bad}.usda")
    (hatch / bad).mkdir()
    shutil.copy(hatch / "hatch.usda", hatch / bad / "hatch.usda")
    assert [ident for ident, _ in list_products()] == sample_products
    for name in (bad, f"hatch:{bad}"):
        with pytest.raises(ValueError, match="invalid product name"):
            ProductCore.load(name)
    with pytest.raises(VariantError, match="invalid product name"):
        make_variant(workspace, "hatch", f"hatch:{bad}x", workspace / "none.stl")
    with pytest.raises(UserError, match="not a product file"):  # an MCP tool's product file
        product_file(workspace, str(hatch / bad / "hatch.usda"))


# ---- symbolic links in the products tree -----------------------------------------------------


def _link_programme(workspace, outside):
    os.symlink(outside / "decoy", workspace / "products" / "decoy")
    return "decoy"


def _link_variant(workspace, outside):
    shutil.copy(outside / "decoy" / "decoy.usda", outside / "decoy" / "sedan.usda")
    os.symlink(outside / "decoy", workspace / "products" / "sedan" / "decoy")
    return "sedan:decoy"


def _link_top_level_file(workspace, outside):
    top = workspace / "products" / "hatch" / "hatch.usda"
    top.unlink()
    os.symlink(outside / "decoy" / "decoy.usda", top)
    return "hatch"


def _link_products_directory(workspace, outside):
    products = workspace / "products"
    shutil.move(products / "hatch", outside / "hatch")
    os.symlink(outside / "hatch", products / "hatch")
    return "hatch"


ESCAPES = {
    "programme directory": _link_programme,
    "variant directory": _link_variant,
    "top-level file": _link_top_level_file,
    "moved programme": _link_products_directory,
}


@pytest.mark.parametrize("kind", sorted(ESCAPES))
def test_symbolic_links_out_of_the_products_tree_are_refused(workspace, outside, kind):
    from velmor_platform.core.api import list_products
    from velmor_platform.core.product_core import ProductCore

    name = ESCAPES[kind](workspace, outside)
    before = tree_state(outside)
    with pytest.raises(ValueError, match="resolves outside the products directory"):
        ProductCore.load(name)
    assert name not in [ident for ident, _ in list_products()]
    assert tree_state(outside) == before  # nothing outside was rewritten


def test_symbolic_links_inside_the_products_tree_are_followed(workspace):
    from velmor_platform.core.product_core import ProductCore

    products = workspace / "products"
    os.symlink(products / "hatch", products / "hatchling")
    (products / "hatch" / "hatchling.usda").symlink_to(products / "hatch" / "hatch.usda")
    product = ProductCore.load("hatchling")
    assert product.targets["cd"] == 0.3


# ---- USD layers that reference files outside the workspace ----------------------------------


def _sublayer(layer_text: str, asset: str) -> str:
    return layer_text.replace("subLayers = [", f"subLayers = [\n        @{asset}@,", 1)


def _reference(layer_text: str, asset: str) -> str:
    return layer_text.replace(
        'def Xform "Vehicle" (', f'def Xform "Vehicle" (\n    prepend references = @{asset}@', 1
    )


LAYER_ESCAPES = {
    "absolute sublayer": lambda text, out: _sublayer(text, str(out / "decoy" / "decoy.usda")),
    "relative sublayer": lambda text, out: _sublayer(text, "../../../outside/decoy/decoy.usda"),
    "reference": lambda text, out: _reference(text, str(out / "decoy" / "decoy.usda")),
}


def _symlinked_sublayer(workspace, outside):
    layer = workspace / "products" / "hatch" / "design_intent.usda"
    layer.unlink()
    os.symlink(outside / "decoy" / "decoy.usda", layer)


@pytest.mark.parametrize("kind", [*sorted(LAYER_ESCAPES), "symlinked sublayer"])
def test_layers_referencing_files_outside_the_workspace_are_refused(workspace, outside, kind):
    from velmor_platform.core.product_core import ProductCore

    top = workspace / "products" / "hatch" / "hatch.usda"
    if kind == "symlinked sublayer":
        _symlinked_sublayer(workspace, outside)
    else:
        top.write_text(LAYER_ESCAPES[kind](top.read_text(), outside))
    with pytest.raises(ValueError, match="outside the workspace"):
        product = ProductCore.load("hatch")
        pytest.fail(
            f"loaded, with target_cd_tol={product.targets['target_cd_tol']} read from outside"
        )


def test_geometry_uris_cannot_leave_the_geometry_cache(workspace, outside):
    from velmor_platform.core.product_core import ProductCore

    top = workspace / "products" / "hatch" / "hatch.usda"
    text = top.read_text()
    for uri in (
        "velmor-geo:///../../outside/decoy/decoy.usda",
        "velmor-geo:////etc/passwd",
        "velmor-geo:///hatch/./body.usda",
    ):
        top.write_text(text.replace("velmor-geo:///hatch/body.usda", uri))
        before = top.read_bytes()
        with pytest.raises(ValueError, match="geometry"):
            ProductCore.load("hatch")
        assert top.read_bytes() == before  # refused before anything was rewritten


# ---- the MCP server command line from mcp.json ---------------------------------------------

RECORDER = (
    "import json, os, sys; "
    "open(sys.argv[1], 'w').write(json.dumps({'argv': sys.argv[2:], 'env': dict(os.environ), "
    "'cwd': os.getcwd()}))"
)


def _configure(workspace, entry):
    (workspace / "mcp.json").write_text(json.dumps({"servers": {"openfoam": entry}}))


def test_the_server_command_runs_without_a_shell_and_without_our_environment(
    workspace, monkeypatch
):
    from velmor_platform.core import product_core

    record = workspace / "argv.json"
    marker = workspace / "PWNED"
    monkeypatch.setenv("VELMOR_TEST_SECRET", "s3cr3t")
    monkeypatch.setenv("VELMOR_MCP_TIMEOUT", "5")
    hostile = [f"$(touch {marker})", f"; touch {marker}", "`id`", "*", "a b"]
    _configure(workspace, {"command": ["python", "-c", RECORDER, str(record), *hostile]})
    assert product_core._list_openfoam_templates() == []  # the recorder is no MCP server
    seen = json.loads(record.read_text())
    assert seen["argv"] == hostile  # passed as they are: no shell expanded them
    assert not marker.exists()
    assert "VELMOR_TEST_SECRET" not in seen["env"]  # only a minimal environment is passed on
    assert seen["env"]["VELMOR_WORKSPACE"] == str(workspace)
    assert Path(seen["cwd"]).resolve() == workspace.resolve()


@pytest.mark.parametrize(
    "entry",
    [
        {"command": 'python -c \'open("PWNED", "w")\''},  # a shell string is not a command line
        {"command": []},
        {"command": ["python", 7]},
        {"command": [""]},
        {"command": ["python"], "url": "http://127.0.0.1:1/mcp"},
        {"command": ["python"], "shell": True},
        {"command": ["python"], "env": {"X": 1}},
        {"url": "file:///etc/passwd"},
        {"url": "ftp://127.0.0.1/mcp"},
        {"url": "http:///no-host"},
    ],
    ids=lambda e: json.dumps(e)[:40],
)
def test_malformed_server_entries_are_refused_and_nothing_runs(workspace, monkeypatch, entry):
    from velmor_platform.core import product_core
    from velmor_platform.mcp.mcp_transport import McpConfigError, resolve_server

    monkeypatch.chdir(workspace)
    _configure(workspace, entry)
    with pytest.raises(McpConfigError):
        resolve_server("openfoam")
    assert product_core._list_openfoam_templates() == []
    assert not (workspace / "PWNED").exists()


def test_only_the_workspace_root_configures_servers(workspace, monkeypatch):
    """An mcp.json inside a product directory (data anyone may ship) is not read."""
    from velmor_platform.mcp.mcp_transport import resolve_server

    (workspace / "products" / "hatch" / "mcp.json").write_text(
        json.dumps({"servers": {"openfoam": {"command": ["python", "-c", "open('PWNED','w')"]}}})
    )
    monkeypatch.chdir(workspace / "products" / "hatch")
    server = resolve_server("openfoam")
    assert server.command[0] == sys.executable
    assert "velmor_platform.mcp.openfoam_server" in server.command
