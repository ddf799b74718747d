import os

import pytest
from pxr import Sdf, Usd

from velmor_platform.core.geometry_cache import resolve_product_geometry


def _snapshot(directory):
    return {p.name: (p.read_bytes(), p.stat().st_ino) for p in directory.iterdir() if p.is_file()}


@pytest.fixture
def product(workspace):
    """An empty product directory in the sample workspace, geometry cache at hand."""
    d = workspace / "products" / "coupe"
    d.mkdir()
    (workspace / "geometry" / "coupe").mkdir()
    for name in ("body.usda", "wheels.usda", "sub.usda", "tex.usda"):
        (workspace / "geometry" / "coupe" / name).write_text(
            '#usda 1.0\n(\n    defaultPrim = "G"\n)\ndef Xform "G" {}\n'
        )
    return d


def _layer(path, body, header=""):
    path.write_text(f"#usda 1.0\n(\n{header}\n)\n\n{body}\n")


@pytest.mark.parametrize(
    "rel", ["hatch/hatch.usda", "sedan/base/sedan.usda", "sedan/sport/sedan.usda"]
)
def test_sample_products_resolve_once(workspace, rel):
    top = workspace / "products" / rel
    directory = top.parent
    assert resolve_product_geometry(directory) == [top]
    assert not any("velmor-geo" in p.read_text() for p in directory.iterdir())
    # Relative to the layer, so that the workspace may move.
    assert "/geometry/" in top.read_text() and str(workspace) not in top.read_text()
    stage = Usd.Stage.Open(str(top))
    assert stage.GetPrimAtPath("/Vehicle/Body/Shell").GetTypeName() == "Mesh"

    before = _snapshot(directory)
    mtimes = {p: p.stat().st_mtime_ns for p in directory.iterdir()}
    assert resolve_product_geometry(directory) == []
    assert _snapshot(directory) == before
    assert {p: p.stat().st_mtime_ns for p in directory.iterdir()} == mtimes


def test_every_kind_of_asset_path_is_rewritten(product, workspace):
    cache = "../../geometry/coupe"
    _layer(
        product / "coupe.usda",
        """
def Xform "V" (
    prepend references = @velmor-geo:///coupe/body.usda@
    prepend payload = @velmor-geo:///coupe/wheels.usda@
    customData = { asset src = @VELMOR-GEO:///coupe/tex.usda@ }
)
{
    asset tex = @velmor-geo:///coupe/tex.usda@
    asset[] texs = [@velmor-geo:///coupe/tex.usda@, @relative/other.png@]
    asset timed.timeSamples = { 1: @velmor-geo:///coupe/tex.usda@ }
    string label = "velmor-geo:///not/an/asset"
}""",
        "    subLayers = [@velmor-geo:///coupe/sub.usda@, @./local.usda@]",
    )
    resolve_product_geometry(product)
    layer = Sdf.Layer.OpenAsAnonymous(str(product / "coupe.usda"))
    prim = layer.GetPrimAtPath("/V")
    assert list(layer.subLayerPaths) == [f"{cache}/sub.usda", "./local.usda"]
    assert prim.referenceList.prependedItems[0].assetPath == f"{cache}/body.usda"
    assert prim.payloadList.prependedItems[0].assetPath == f"{cache}/wheels.usda"
    assert prim.customData["src"].path == f"{cache}/tex.usda"
    assert prim.attributes["tex"].default.path == f"{cache}/tex.usda"
    assert [a.path for a in prim.attributes["texs"].default] == [
        f"{cache}/tex.usda",
        "relative/other.png",
    ]
    assert layer.QueryTimeSample("/V.timed", 1).path == f"{cache}/tex.usda"
    assert prim.attributes["label"].default == "velmor-geo:///not/an/asset"


def test_crate_layers_are_rewritten_and_stay_crate(product, workspace):
    layer = Sdf.Layer.CreateNew(str(product / "coupe.usdc"))
    layer.subLayerPaths.append("velmor-geo:///coupe/sub.usda")
    layer.Save()
    del layer
    assert resolve_product_geometry(product) == [product / "coupe.usdc"]
    assert (product / "coupe.usdc").read_bytes().startswith(b"PXR-USDC")
    assert list(Sdf.Layer.FindOrOpen(str(product / "coupe.usdc")).subLayerPaths) == [
        "../../geometry/coupe/sub.usda"
    ]
    assert resolve_product_geometry(product) == []


@pytest.mark.parametrize(
    "uri, error",
    [
        ("velmor-geo:///coupe/missing.usda", FileNotFoundError),
        ("velmor-geo:///../products/hatch/hatch.usda", ValueError),
        ("velmor-geo:///coupe/../../secret.usda", ValueError),
        ("velmor-geo:////etc/hosts", ValueError),
        ("velmor-geo://host/coupe/body.usda", ValueError),
        ("velmor-geo:///coupe//body.usda", ValueError),
    ],
)
def test_bad_reference_leaves_every_file_as_it_was(product, uri, error):
    # a.usda sorts first and is valid, so it would be rewritten if checks ran late
    _layer(product / "a.usda", 'def "A" (references = @velmor-geo:///coupe/body.usda@) {}')
    _layer(product / "b.usda", f'def "B" (references = @{uri}@) {{}}')
    before = _snapshot(product)
    with pytest.raises(error, match="velmor-geo"):
        resolve_product_geometry(product)
    assert _snapshot(product) == before
    assert sorted(os.listdir(product)) == ["a.usda", "b.usda"]


def test_replacement_keeps_mode_and_leaves_no_temporary_files(product):
    _layer(product / "coupe.usda", 'def "V" (references = @velmor-geo:///coupe/body.usda@) {}')
    os.chmod(product / "coupe.usda", 0o640)
    inode = (product / "coupe.usda").stat().st_ino
    resolve_product_geometry(product)
    st = (product / "coupe.usda").stat()
    assert st.st_ino != inode  # renamed into place, not rewritten in place
    assert st.st_mode & 0o777 == 0o640
    assert os.listdir(product) == ["coupe.usda"]


def test_variant_subdirectories_are_not_touched(workspace):
    programme = workspace / "products" / "sedan"
    before = {rel: _snapshot(programme / rel) for rel in ("base", "sport")}
    assert resolve_product_geometry(programme) == []
    assert {rel: _snapshot(programme / rel) for rel in ("base", "sport")} == before


@pytest.mark.parametrize("dirty", [False, True])
def test_layers_open_in_this_process_are_not_served_stale(workspace, dirty):
    path = workspace / "products" / "hatch" / "hatch.usda"
    held = Sdf.Layer.FindOrOpen(str(path))
    if dirty:
        held.GetAttributeAtPath("/Vehicle.mass").default = 490.0
    resolve_product_geometry(path.parent)
    stage = Usd.Stage.Open(str(path))
    refs = stage.GetRootLayer().GetPrimAtPath("/Vehicle/Body").referenceList.prependedItems
    assert refs[0].assetPath == "../../geometry/hatch/body.usda"
    assert stage.GetPrimAtPath("/Vehicle/Body/Shell")
    assert stage.GetPrimAtPath("/Vehicle").GetAttribute("mass").Get() == (490.0 if dirty else 480.0)


# ---- layers found clean before -------------------------------------------------------

from velmor_platform.core import geometry_cache  # noqa: E402

CLEAN = 'def "V" (references = @velmor-gex:///coupe/body.usda@) {}'  # same length as a URI
DIRTY = 'def "V" (references = @velmor-geo:///coupe/body.usda@) {}'


@pytest.fixture(params=["just written", "settled"])
def memory(request, monkeypatch):
    """A fresh memory of clean layers; "settled" counts every file as last
    changed long ago, so that whatever is found clean is remembered."""
    monkeypatch.setattr(geometry_cache, "_CLEAN", {})
    monkeypatch.setattr(geometry_cache, "_SETTLED", {})
    if request.param == "settled":
        monkeypatch.setattr(geometry_cache, "_SETTLE_NS", -3600 * 10**9)
    return request.param


def _rewrite_in_place(path, text):
    """Same inode, same size, same modification time: only the change time moves."""
    st = path.stat()
    data = text.encode()
    assert len(data) == st.st_size
    with open(path, "r+b") as f:
        f.write(data)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert (path.stat().st_ino, path.stat().st_mtime_ns) == (st.st_ino, st.st_mtime_ns)


def _refs(path):
    layer = Sdf.Layer.OpenAsAnonymous(str(path))
    return [r.assetPath for r in layer.GetPrimAtPath("/V").referenceList.explicitItems]


def test_unchanged_layers_are_not_read_again(product, memory, monkeypatch):
    _layer(product / "coupe.usda", CLEAN)
    assert resolve_product_geometry(product) == []
    if memory == "settled":
        monkeypatch.setattr(
            geometry_cache, "_may_hold_uris", lambda path: pytest.fail(f"{path} read again")
        )
    assert resolve_product_geometry(product) == []


def test_a_layer_changed_in_place_is_checked_again(product, workspace, memory):
    layer = product / "coupe.usda"
    _layer(layer, CLEAN)
    assert resolve_product_geometry(product) == []
    _rewrite_in_place(layer, layer.read_text().replace(CLEAN, DIRTY))
    assert resolve_product_geometry(product) == [layer]
    assert _refs(layer) == ["../../geometry/coupe/body.usda"]


def test_a_replaced_crate_layer_is_checked_again(product, workspace, memory):
    path = product / "coupe.usdc"
    Sdf.Layer.CreateNew(str(path)).Save()
    assert resolve_product_geometry(product) == []
    layer = Sdf.Layer.FindOrOpen(str(path))
    layer.subLayerPaths.append("velmor-geo:///coupe/sub.usda")
    layer.Save()
    del layer
    assert resolve_product_geometry(product) == [path]
    assert list(Sdf.Layer.FindOrOpen(str(path)).subLayerPaths) == ["../../geometry/coupe/sub.usda"]


def test_a_layer_added_to_a_clean_directory_is_checked(product, memory):
    _layer(product / "coupe.usda", CLEAN)
    assert resolve_product_geometry(product) == []
    _layer(product / "bad.usda", 'def "B" (references = @velmor-geo:///coupe/none.usda@) {}')
    with pytest.raises(FileNotFoundError, match="none.usda"):
        resolve_product_geometry(product)
    (product / "bad.usda").unlink()
    _layer(product / "extra.usda", DIRTY)
    assert resolve_product_geometry(product) == [product / "extra.usda"]


def test_a_linked_layer_whose_target_changes_is_checked_again(product, memory):
    target = product.parent / "elsewhere.usda"
    _layer(target, CLEAN)
    (product / "coupe.usda").symlink_to(target)
    assert resolve_product_geometry(product) == []
    _rewrite_in_place(target, target.read_text().replace(CLEAN, DIRTY))
    assert resolve_product_geometry(product) == [product / "coupe.usda"]


@pytest.mark.parametrize("how", ["read_only()", "read-only files"])
def test_reading_writes_nothing_and_reads_the_repair(workspace, how):
    import contextlib

    from velmor_platform.core import layer_io
    from velmor_platform.core.product_core import ProductCore

    directory = workspace / "products" / "hatch"
    if how == "read-only files":
        for path in directory.iterdir():
            path.chmod(0o444)
    before = _snapshot(directory)
    reading = layer_io.read_only() if how == "read_only()" else contextlib.nullcontext()
    with reading:
        for _ in range(2):
            top = ProductCore.load("hatch").usd_path
            stage = Usd.Stage.Open(str(top))
            assert stage.GetPrimAtPath("/Vehicle/Body/Shell").GetTypeName() == "Mesh"
    assert _snapshot(directory) == before
    if how == "read_only()":
        assert not (workspace / ".velmor" / "locks").exists()
        assert resolve_product_geometry(directory) == [directory / "hatch.usda"]  # may write now
