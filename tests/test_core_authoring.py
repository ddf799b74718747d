"""set_targets (end to end on real USD files, and its exact OpenUSD call
protocol against a recording stand-in for pxr) and set_geometry."""

import math
import os
import re
import stat
import sys
import types
from pathlib import Path

import pytest
from pxr import Usd

USD_PATH = "/w/products/car/car.usda"
ATTRIBUTES = {
    "cd": "targetCd",
    "cl": "targetCl",
    "cm_pitch": "targetCmPitch",
    "cl_tolerance": "targetClTolerance",
    "cm_tolerance": "targetCmPitchTolerance",
}


# ---- the call protocol, with a recording pxr ---------------------------------------------


class FakePxr:
    """Stand-in for pxr: stage, default prim, attributes and root layer record
    every call in ``log``; ``present``, ``set_errors``, ``save_result`` and
    ``save_error`` choose what they do."""

    def __init__(self):
        self.log, self.present, self.set_errors = [], set(ATTRIBUTES.values()), {}
        self.save_result, self.save_error = True, None
        fake = self

        class Attribute:
            def __init__(self, name):
                self.name = name

            def __bool__(self):
                fake.log.append(("bool", self.name))
                return self.name in fake.present

            def Set(self, *args):
                fake.log.append(("Set", self.name) + tuple((a, type(a)) for a in args))
                if self.name in fake.set_errors:
                    raise fake.set_errors[self.name]
                return True

        def save(*args):
            fake.log.append(("Save",) + args)
            if fake.save_error:
                raise fake.save_error
            return fake.save_result

        def recorder(name, result):
            return lambda *args: (fake.log.append((name,) + args), result(*args))[1]

        layer = types.SimpleNamespace(Save=save, Reload=recorder("Reload", lambda: True))
        prim = types.SimpleNamespace(GetAttribute=recorder("GetAttribute", Attribute))
        stage = types.SimpleNamespace(
            GetDefaultPrim=recorder("GetDefaultPrim", lambda: prim),
            GetRootLayer=recorder("GetRootLayer", lambda: layer),
        )
        self.module = types.ModuleType("pxr")
        self.module.Usd = types.SimpleNamespace()
        self.module.Sdf = types.SimpleNamespace()
        self.layer, self.stage = layer, stage


class Number:
    """A value that records when it is converted."""

    def __init__(self, log, keyword, value):
        self.log, self.keyword, self.value = log, keyword, value

    def __float__(self):
        self.log.append(("float", self.keyword))
        return self.value


@pytest.fixture
def pxr(core, monkeypatch):
    fake = FakePxr()
    monkeypatch.setitem(sys.modules, "pxr", fake.module)
    fake.record = {"reloaded": True}

    def load_product(*args):
        fake.log.append(("load_product",) + args)
        return fake.record

    monkeypatch.setattr(core, "load_product", load_product)

    # The writer's file-system side: the product lock, the checked opening
    # of the product's layers and the atomic save.
    from contextlib import contextmanager

    from velmor_platform.core import containment, layer_io, usd_product

    @contextmanager
    def product_lock(path, timeout=None):
        fake.log.append(("lock", path))
        try:
            yield path
        finally:
            fake.log.append(("unlock",))

    def save_layer(layer, path):
        assert layer is fake.layer and path == USD_PATH
        fake.log.append(("Save",))
        if fake.save_error:
            raise fake.save_error

    monkeypatch.setattr(layer_io, "product_lock", product_lock)
    monkeypatch.setattr(layer_io, "save_layer", save_layer)
    monkeypatch.setattr(
        usd_product,
        "open_vehicle_stage",
        lambda layer: (fake.log.append(("open vehicle stage", layer)), fake.stage)[1],
    )
    monkeypatch.setattr(
        containment,
        "open_contained_layers",
        lambda path: (fake.log.append(("open layers", path)), [fake.layer])[1],
    )
    return fake


@pytest.fixture
def p(core):
    return core.ProductCore(Path(USD_PATH), {"old": True})


def test_set_targets_call_protocol(pxr, p):
    log = pxr.log
    pxr.present.discard("targetCmPitch")
    tol, cd = Number(log, "cm_tolerance", 0.01), Number(log, "cd", 0.25)
    reply = p.set_targets(cm_tolerance=tol, foo="not a number", cd=cd, cm_pitch="junk", cl="0.1")
    assert log == [
        ("lock", USD_PATH),
        ("open layers", USD_PATH),
        ("Reload",),  # another process may have written the file
        ("open vehicle stage", pxr.layer),  # the checked layer, the vehicle prim alone
        ("GetDefaultPrim",),
        ("GetAttribute", "targetCmPitchTolerance"),
        ("bool", "targetCmPitchTolerance"),
        ("float", "cm_tolerance"),
        ("GetAttribute", "targetCd"),
        ("bool", "targetCd"),
        ("float", "cd"),
        ("GetAttribute", "targetCmPitch"),
        ("bool", "targetCmPitch"),
        ("GetAttribute", "targetCl"),
        ("bool", "targetCl"),
        ("Set", "targetCmPitchTolerance", (0.01, float)),
        ("Set", "targetCd", (0.25, float)),
        ("Set", "targetCl", (0.1, float)),
        ("GetRootLayer",),
        ("Save",),
        ("unlock",),
        ("load_product", USD_PATH),
    ]
    assert type(log[0][1]) is str and type(log[-1][1]) is str
    assert reply == {"status": "updated", "targets": {"cm_tolerance": tol, "cd": cd, "cl": "0.1"}}
    assert list(reply) == ["status", "targets"]
    assert list(reply["targets"]) == ["cm_tolerance", "cd", "cl"]
    assert reply["targets"]["cd"] is cd
    assert p._vehicle is pxr.record


@pytest.mark.parametrize("kwargs", [{}, {"target_cd_tol": 0.01, "lateral_g": 1.0, "targets": 2}])
def test_set_targets_without_mapped_keywords_still_saves_and_reloads(pxr, p, kwargs):
    assert p.set_targets(**kwargs) == {"status": "updated", "targets": {}}
    assert pxr.log == [
        ("lock", USD_PATH),
        ("open layers", USD_PATH),
        ("Reload",),
        ("open vehicle stage", pxr.layer),
        ("GetDefaultPrim",),
        ("GetRootLayer",),
        ("Save",),
        ("unlock",),
        ("load_product", USD_PATH),
    ]


def test_set_targets_reads_the_keyword_table_the_cli_reads(pxr, p, monkeypatch):
    from velmor_platform.core import usd_product

    monkeypatch.setattr(usd_product, "TARGET_ATTRIBUTES", {"cd": "targetCl"})
    assert p.set_targets(cd=0.3, cl=0.1) == {"status": "updated", "targets": {"cd": 0.3}}
    assert ("Set", "targetCl", (0.3, float)) in pxr.log
    monkeypatch.setattr(usd_product, "TARGET_ATTRIBUTES", dict.fromkeys("abcdef", "x"))
    with pytest.raises(TypeError, match="TARGET_ATTRIBUTES must be a dict of at most 5"):
        p.set_targets(cd=0.3)


def fail_set(fake, core, mp):
    fake.set_errors["targetCl"] = RuntimeError("type mismatch")


def save_fails(fake, core, mp):
    fake.save_error = OSError(28, f"cannot write {USD_PATH}: No space left on device", USD_PATH)


def save_raises(fake, core, mp):
    fake.save_error = RuntimeError("disk full")


def reader_fails(fake, core, mp):
    mp.setattr(core, "load_product", lambda path: 1 / 0)


def no_sdf(fake, core, mp):
    del fake.module.Sdf
    mp.delitem(sys.modules, "pxr.Sdf", raising=False)  # else `from pxr import Sdf` finds it there


def open_fails(fake, core, mp):
    from velmor_platform.core import usd_product

    mp.setattr(usd_product, "open_vehicle_stage", lambda *args: 1 / 0)


# kwargs, setup, error, message pattern, (Set/Save/load_product events), rolled back
FAILURES = [
    (dict(cd=0.25, cl="abc", cm_pitch=0.0), None, ValueError, None, [], False),
    (dict(cd=0.25, cl=None), None, TypeError, None, [], False),
    (dict(cd=0.25, cl=[0.1]), None, TypeError, None, [], False),
    (dict(cd=0.25, cl=""), None, ValueError, None, [], False),
    (dict(cl=0.1, cd=math.nan), None, ValueError, "cd", [], False),
    (dict(cl=0.1, cd=1e309), None, ValueError, "cd", [], False),
    (dict(cl=0.1, cm_tolerance="inf"), None, ValueError, "cm_tolerance", [], False),
    (dict(cl=0.1, cm_pitch="-Infinity"), None, ValueError, "cm_pitch", [], False),
    (
        dict(cd=0.2, cl=0.1, cm_pitch=0.0),
        fail_set,
        RuntimeError,
        "type mismatch",
        ["Set targetCd", "Set targetCl"],
        True,
    ),
    (dict(cd=0.2), save_fails, OSError, re.escape(USD_PATH), ["Set targetCd", "Save"], True),
    (dict(cd=0.2), save_raises, RuntimeError, "disk full", ["Set targetCd", "Save"], True),
    (dict(cd=0.2), reader_fails, ZeroDivisionError, None, ["Set targetCd", "Save"], False),
    (dict(cd=0.2), no_sdf, ImportError, "Sdf", [], False),
    (dict(cd=0.2), open_fails, ZeroDivisionError, None, [], False),
]


@pytest.mark.parametrize("kwargs,setup,error,message,events,rolled_back", FAILURES)
def test_set_targets_failures(
    core, pxr, p, monkeypatch, kwargs, setup, error, message, events, rolled_back
):
    if setup:
        setup(pxr, core, monkeypatch)
    before = p._vehicle
    with pytest.raises(error, match=message):
        p.set_targets(**kwargs)
    seen = [
        " ".join(e[:2]) if e[0] == "Set" else e[0]
        for e in pxr.log
        if e[0] in ("Set", "Save", "load_product")
    ]
    assert seen == events and p._vehicle is before
    locking = [e for e in pxr.log if e[0] in ("lock", "unlock")]
    assert locking in ([], [("lock", USD_PATH), ("unlock",)])  # released whatever failed
    if rolled_back:  # the in-memory edits are dropped after the failure
        assert [e for e in pxr.log if e not in locking][-1] == ("Reload",)
    if setup is no_sdf:
        assert pxr.log == []


# ---- end to end on real files ---------------------------------------------------------------


def read_target(path, name):
    stage = Usd.Stage.Open(str(path))
    attr = stage.GetDefaultPrim().GetAttribute(name)
    return attr.Get() if attr else "absent"


def test_set_targets_on_a_sample_product(core, workspace):
    p = core.ProductCore.load("sedan:base")
    intent = p.product_dir / "design_intent.usda"
    intent_before = intent.read_bytes()
    old_record = p._vehicle
    reply = p.set_targets(cd=0.25, cl_tolerance="0.03", cm_tolerance=0.015)
    assert reply == {
        "status": "updated",
        "targets": {"cd": 0.25, "cl_tolerance": "0.03", "cm_tolerance": 0.015},
    }
    assert p._vehicle is not old_record
    t = p.targets
    assert (t["cd"], t["target_cl_tol"], t["target_cm_tol"]) == (0.25, 0.03, 0.015)
    assert t["cl"] == 0.08 and t["target_cd_tol"] == 0.005
    assert "targetCd = 0.25" in p.usd_path.read_text()
    assert intent.read_bytes() == intent_before  # the top-level file overrides the sublayer
    assert core.ProductCore.load("sedan:base").targets["cd"] == 0.25
    assert repr(p).endswith("cd_target=0.25)")


def test_set_targets_composes_the_vehicle_prim_alone(core, workspace, monkeypatch):
    """Neither the body mesh nor the run prims are composed for a write, and
    the record it re-reads is the fresh one."""
    from velmor_platform.core import containment, usd_product

    monkeypatch.setattr(containment, "SETTLE_NS", 0)  # what was checked is remembered at once
    p = core.ProductCore.load("sedan:sport")
    stages = []
    real = usd_product.open_vehicle_stage
    monkeypatch.setattr(
        usd_product,
        "open_vehicle_stage",
        lambda *a, **k: stages.append(real(*a, **k)) or stages[-1],
    )
    p.set_targets(cd=0.25)  # its own stage comes first, then the re-read record's
    used = {Path(x.identifier).name for x in stages[0].GetUsedLayers() if not x.anonymous}
    assert used == {"sedan.usda", "design_intent.usda", "benchmark.usda", "runs.usda"}
    assert [prim.GetName() for prim in stages[0].Traverse()] == ["Vehicle"]
    assert p.targets["cd"] == 0.25 and p.current["cd"] == 0.264


def test_set_targets_skips_attributes_the_prim_lacks(core, make_usd):
    path = make_usd(targetCd=("Double", 0.3))
    p = core.ProductCore.load(str(path))
    before = path.read_bytes()
    assert p.set_targets(cl=0.1, cm_pitch="junk") == {"status": "updated", "targets": {}}
    assert read_target(path, "targetCl") == "absent" and path.read_bytes() == before
    assert p.targets["cl"] is None


@pytest.mark.parametrize("bad", [{"cl": "abc"}, {"cl": float("nan")}, {"cm_pitch": "inf"}])
def test_refused_call_leaves_the_file_and_record_alone(core, make_usd, bad):
    path = make_usd(
        targetCd=("Double", 0.3), targetCl=("Double", 0.1), targetCmPitch=("Double", -0.01)
    )
    p = core.ProductCore.load(str(path))
    held = Usd.Stage.Open(str(path))  # keeps the layer registered between calls
    before, record = path.read_bytes(), p._vehicle
    with pytest.raises(ValueError):
        p.set_targets(cd=0.9, **bad)
    assert path.read_bytes() == before and p._vehicle is record
    assert not held.GetRootLayer().dirty
    p.set_targets(cl=0.2)
    assert read_target(path, "targetCd") == 0.3 and read_target(path, "targetCl") == 0.2


def test_failed_set_is_rolled_back_in_memory(core, make_usd):
    # targetCl holds a string, so writing a float to it fails after targetCd was set.
    path = make_usd(
        targetCd=("Double", 0.3), targetCl=("String", "n/a"), targetCmPitch=("Double", -0.01)
    )
    p = core.ProductCore.load(str(path))
    held = Usd.Stage.Open(str(path))
    before = path.read_bytes()
    with pytest.raises(Exception):
        p.set_targets(cd=0.4, cl=0.1)
    assert path.read_bytes() == before
    assert not held.GetRootLayer().dirty
    assert held.GetDefaultPrim().GetAttribute("targetCd").Get() == 0.3
    p.set_targets(cm_pitch=0.0)
    assert read_target(path, "targetCd") == 0.3 and read_target(path, "targetCmPitch") == 0.0
    assert p.targets["cd"] == 0.3


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_save_replaces_the_file_atomically(core, make_usd, tmp_path, suffix):
    path = make_usd(
        f"car{suffix}", directory=tmp_path / "products" / "car", targetCd=("Double", 0.3)
    )
    p = core.ProductCore.load(str(path))
    old_copy = tmp_path / f"old{suffix}"
    os.link(path, old_copy)  # a second name for the old file's inode
    old_bytes, old_inode = path.read_bytes(), path.stat().st_ino
    p.set_targets(cd=0.27)
    assert path.stat().st_ino != old_inode
    assert old_copy.read_bytes() == old_bytes  # the old file was never written in place
    assert sorted(os.listdir(path.parent)) == [path.name]
    assert read_target(path, "targetCd") == 0.27 and p.targets["cd"] == 0.27
    p.set_targets(cd=0.26)
    assert core.ProductCore.load(str(path)).targets["cd"] == 0.26


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_save_keeps_the_file_mode_and_writes_through_links(core, make_usd, tmp_path, suffix):
    # A link that stays inside the products directory (one leaving it is refused).
    real = make_usd(
        f"real{suffix}", directory=tmp_path / "products" / "shared", targetCd=("Double", 0.3)
    )
    os.chmod(real, 0o640)
    link = tmp_path / "products" / "car" / f"car{suffix}"
    link.parent.mkdir(parents=True)
    link.symlink_to(real)
    p = core.ProductCore(link, core.load_product(str(link)))
    p.set_targets(cd=0.21)
    assert link.is_symlink() and link.resolve() == real
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert read_target(real, "targetCd") == 0.21 and p.targets["cd"] == 0.21


# ---- set_geometry ---------------------------------------------------------------------------

NOTE = "Geometry registered. Run --prepare-cfd to rebuild CFD case."


@pytest.mark.parametrize(
    "size,mb",
    [
        (0, 0.0),
        (1_234_567, 1.23),
        (2_345_678, 2.35),
        (15_000, 0.01),
        (999_999_999, 1000.0),
        (1_005_000, 1.0),
        (4_999, 0.0),
    ],
)
def test_set_geometry_size(core, tmp_path, size, mb):
    stl = tmp_path / "body.stl"
    with open(stl, "wb") as f:
        f.truncate(size)
    record = core.ProductCore.__new__(core.ProductCore).set_geometry(
        str(stl)
    )  # no product state read
    assert list(record.items()) == [
        ("status", "accepted"),
        ("path", str(stl)),
        ("size_mb", mb),
        ("note", NOTE),
    ]
    assert type(record["size_mb"]) is float


@pytest.mark.parametrize(
    "name,given",
    [
        ("body.STL", "body.STL"),
        ("body.Stl", "body.Stl"),
        ("parts.tar.stl", "parts.tar.stl"),
        ("parts/body.stl", "./parts/body.stl"),
        ("parts/body.stl", "parts//body.stl"),
        ("real.bin", "link.stl"),
    ],
)
def test_set_geometry_accepts(core, tmp_path, monkeypatch, name, given):
    monkeypatch.chdir(tmp_path)
    Path(name).parent.mkdir(exist_ok=True)
    Path(name).write_bytes(b"x" * 20_000)
    if given == "link.stl":
        Path(given).symlink_to(tmp_path / name)
    p = core.ProductCore(Path("/p/x.usda"), {"a": 1})
    for arg in (given, Path(given), tmp_path / given):
        assert p.set_geometry(stl_path=arg) == {
            "status": "accepted",
            "path": str(Path(arg)),
            "size_mb": 0.02,
            "note": NOTE,
        }
    assert vars(p) == {"_usd_path": Path("/p/x.usda"), "_vehicle": {"a": 1}}


@pytest.mark.parametrize(
    "existing,given,error,message",
    [
        (None, "body.obj", FileNotFoundError, "STL not found: body.obj"),
        (None, "./gone/body.stl", FileNotFoundError, "STL not found: gone/body.stl"),
        ("dangling", "body.stl", FileNotFoundError, "STL not found: body.stl"),
        ("body.obj", "body.obj", ValueError, "Expected .stl file, got: .obj"),
        ("body.OBJ", "body.OBJ", ValueError, "Expected .stl file, got: .OBJ"),
        ("body", "body", ValueError, "Expected .stl file, got: "),
        (".stl", ".stl", ValueError, "Expected .stl file, got: "),
        ("body.stl.bak", "body.stl.bak", ValueError, "Expected .stl file, got: .bak"),
        (None, "", ValueError, "Expected .stl file, got: "),
        ("directory", "mesh.stl", ValueError, None),
        ("link to directory", "mesh.stl", ValueError, None),
    ],
)
def test_set_geometry_refusals(core, tmp_path, monkeypatch, existing, given, error, message):
    monkeypatch.chdir(tmp_path)
    if existing == "dangling":
        Path(given).symlink_to(tmp_path / "nothing")
    elif existing == "directory":
        Path(given).mkdir()
    elif existing == "link to directory":
        (tmp_path / "d").mkdir()
        Path(given).symlink_to(tmp_path / "d")
    elif existing:
        Path(existing).write_bytes(b"solid x\n")
    with pytest.raises(error) as info:
        core.ProductCore(Path("/p/x.usda"), {}).set_geometry(given)
    assert type(info.value) is error and len(info.value.args) == 1
    if message is None:  # a directory is named in the refusal
        assert str(info.value).startswith("Expected .stl file, got: ") and given in str(info.value)
    else:
        assert info.value.args == (message,)
    if error is FileNotFoundError:
        assert info.value.errno is None and info.value.filename is None


def test_set_geometry_path_handling(core, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(core, "Path", lambda arg: seen.append(arg) or Path(arg))
    stl = tmp_path / "b.stl"
    stl.write_bytes(b"")
    core.ProductCore(None, {}).set_geometry(str(stl))
    assert seen == [str(stl)]  # the module-level name is used
    for bad in (None, 3, 1.5):
        with pytest.raises(TypeError):
            core.ProductCore(None, {}).set_geometry(bad)


def _outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001 - the outcome itself is compared
        return (type(e).__name__, e.args)


def test_set_geometry_str_and_path_arguments_agree(core, tmp_path, monkeypatch):
    """A str is handled as Path(str) would be, for every spelling of a path."""
    import itertools

    monkeypatch.chdir(tmp_path)
    Path("a/b").mkdir(parents=True)
    for name in ("a/b/x.stl", "x.STL", "a/.stl", "a/b/p.tar.stl", "y.obj", "z"):
        Path(name).write_bytes(b"abc")
    pieces = [
        "",
        "/",
        "//",
        ".",
        "..",
        "a",
        "x.stl",
        "x.STL",
        ".stl",
        "p.tar.stl",
        "y.obj",
        "z",
        "./",
        "/./",
        "\x00",
        "\udcff.stl",
    ]
    p = core.ProductCore(Path("/p/x.usda"), {})
    spellings = {"".join(c) for n in (1, 2, 3) for c in itertools.product(pieces, repeat=n)}
    differ = [
        s
        for s in sorted(spellings)
        if _outcome(lambda: p.set_geometry(s)) != _outcome(lambda: p.set_geometry(Path(s)))
    ]
    assert differ == []


@pytest.mark.parametrize(
    "expected, written",
    [
        (None, {"targetCdTolerance": 0.004}),
        ({"targetCdTolerance": 0.005, "targetCl": 0.08}, {"targetCdTolerance": 0.004}),
        ({"targetCdTolerance": 0.003}, None),  # changed since read: nothing is written
        ({"noSuchAttribute": 1.0}, None),
    ],
)
def test_set_vehicle_attributes_writes_only_over_what_was_read(core, workspace, expected, written):
    from velmor_platform.core.usd_product import ChangedSinceRead, set_vehicle_attributes

    p = core.ProductCore.load("sedan:base")
    before = p.usd_path.read_bytes()
    values = {"targetCdTolerance": 0.004, "noSuchAttribute": 2.0}
    if written is None:
        with pytest.raises(ChangedSinceRead, match="changed since it was read"):
            set_vehicle_attributes(p.usd_path, values, expected=expected)
        assert p.usd_path.read_bytes() == before
    else:
        assert set_vehicle_attributes(p.usd_path, values, expected=expected) == written
        assert core.ProductCore.load("sedan:base").targets["target_cd_tol"] == 0.004
