"""Product files are never lost, never written outside the workspace, never
silently overwritten: full disks, read-only files, links planted in product
folders, concurrent writers, killed writers, moved workspaces and hostile
composition, on real files with real OpenUSD."""

from __future__ import annotations

import errno
import fcntl
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from pxr import Sdf, Usd

from child_process import child_env, stop
from velmor_platform.core import layer_io

HERE = Path(__file__).resolve().parent
LAYERS = {"hatch.usda", "hatch.usdc", "design_intent.usda", "benchmark.usda", "runs.usda"}


def crate(workspace: Path) -> Path:
    """Turn the hatch product's top-level file into a crate file."""
    path = workspace / "products" / "hatch" / "hatch.usda"
    assert Sdf.Layer.OpenAsAnonymous(str(path)).Export(str(path.with_suffix(".usdc")))
    path.unlink()
    return path.with_suffix(".usdc")


def hatch(workspace: Path, suffix: str):
    from velmor_platform.core.product_core import ProductCore

    if suffix == ".usdc":
        crate(workspace)
    return ProductCore.load("hatch")


def listing(directory: Path) -> list[str]:
    return sorted(os.listdir(directory))


def root_value(path: Path, name: str):
    layer = Sdf.Layer.OpenAsAnonymous(str(path))  # held while its attribute is read
    attribute = layer.GetAttributeAtPath(f"/Vehicle.{name}")
    return None if attribute is None else attribute.default


# ---- a failing write leaves the old file byte-identical ----------------------------------


def _fail_on_temp_files(monkeypatch, name: str, code: int) -> list[bool]:
    """Make os.<name> fail with ``code`` on the temporary file of an atomic
    write while the returned flag is set."""
    real = getattr(os, name)
    armed = [True]

    def failing(*args, **kwargs):
        first = args[0]
        target = os.readlink(f"/proc/self/fd/{first}") if isinstance(first, int) else str(first)
        if armed[0] and os.path.basename(target).startswith(layer_io.TEMP_PREFIX):
            raise OSError(code, os.strerror(code))
        return real(*args, **kwargs)

    monkeypatch.setattr(os, name, failing)
    return armed


def _set_targets(workspace, suffix):
    product = hatch(workspace, suffix)
    return product.usd_path, lambda: product.set_targets(cd=0.25)


def _geometry_rewrite(workspace, suffix):
    from velmor_platform.core.geometry_cache import resolve_product_geometry

    path = workspace / "products" / "hatch" / f"hatch{suffix}"
    if suffix == ".usdc":
        layer = Sdf.Layer.OpenAsAnonymous(str(path.with_suffix(".usda")))
        path.with_suffix(".usda").unlink()
        assert layer.Export(str(path))
    return path, lambda: resolve_product_geometry(path.parent)


WRITERS = {"set_targets": _set_targets, "geometry rewrite": _geometry_rewrite}


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
@pytest.mark.parametrize(
    "call, code",
    [
        ("write", errno.ENOSPC),
        ("write", errno.EDQUOT),
        ("fsync", errno.EIO),
        ("replace", errno.ENOSPC),
    ],
)
def test_a_failing_write_leaves_the_old_file(workspace, monkeypatch, writer, suffix, call, code):
    path, write = WRITERS[writer](workspace, suffix)
    before, names = path.read_bytes(), listing(path.parent)
    armed = _fail_on_temp_files(monkeypatch, call, code)
    with pytest.raises(OSError) as info:
        write()
    assert info.value.errno == code and str(path) in str(info.value)
    assert path.read_bytes() == before and listing(path.parent) == names  # no temporary file
    armed[0] = False
    write()  # space again: the write goes through
    assert path.read_bytes() != before


@pytest.fixture
def small_disk(tmp_path, monkeypatch):
    """A copy of the sample workspace on a real 1 MB tmpfs."""
    from conftest import SAMPLE_WORKSPACE

    mount = tmp_path / "disk"
    mount.mkdir()
    proc = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {proc.stderr.strip()}")
    try:
        root = mount / "workspace"
        shutil.copytree(SAMPLE_WORKSPACE, root, ignore=shutil.ignore_patterns("__pycache__"))
        monkeypatch.setenv("VELMOR_WORKSPACE", str(root))
        yield root
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_a_full_disk_leaves_the_old_file(small_disk, suffix):
    product = hatch(small_disk, suffix)
    product.set_targets(cl=0.1)  # the lock file exists from now on
    path = product.usd_path
    before, names = path.read_bytes(), listing(path.parent)
    filler = small_disk.parent / "filler"
    with open(filler, "wb") as f, pytest.raises(OSError):
        while True:
            f.write(b"\0" * 65536)
            f.flush()
    with pytest.raises(OSError) as info:
        product.set_targets(cd=0.25)
    assert info.value.errno == errno.ENOSPC and str(path) in str(info.value)
    assert path.read_bytes() == before and listing(path.parent) == names
    filler.unlink()
    product.set_targets(cd=0.25)
    assert product.targets["cd"] == 0.25


# ---- permissions, containment at the moment of writing ----------------------------------


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_a_read_only_product_is_refused_even_for_root(workspace, suffix):
    product = hatch(workspace, suffix)
    path = product.usd_path
    path.chmod(0o444)
    before, names = path.read_bytes(), listing(path.parent)
    with pytest.raises(PermissionError, match="read-only") as info:
        product.set_targets(cd=0.25)
    assert str(path) in str(info.value)
    assert path.read_bytes() == before and listing(path.parent) == names
    assert product.targets["cd"] == 0.3


def _swap_for_link(path: Path, outside: Path, monkeypatch) -> None:
    """Swap the file for a link to ``outside`` after the writer has read it."""
    from velmor_platform.core import containment

    real = containment.open_contained_layers

    def then_swap(usd_path):
        layers = real(usd_path)
        path.unlink()
        path.symlink_to(outside)
        return layers

    monkeypatch.setattr(containment, "open_contained_layers", then_swap)


def _plant_predictable_temp_links(path: Path, outside: Path, monkeypatch) -> None:
    for pid in range(os.getpid() - 50, os.getpid() + 50):
        (path.parent / f".{path.name}.{pid}.tmp.usdc").symlink_to(outside)


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
@pytest.mark.parametrize("plant", [_swap_for_link, _plant_predictable_temp_links])
def test_nothing_outside_the_products_directory_is_written(
    workspace, tmp_path, monkeypatch, suffix, plant
):
    product = hatch(workspace, suffix)
    path = product.usd_path
    outside = tmp_path / f"secret{suffix}"
    shutil.copy(path, outside)
    outside.chmod(0o600)
    before = outside.read_bytes()
    plant(path, outside, monkeypatch)
    if plant is _swap_for_link:  # checked again at the moment of writing
        with pytest.raises(PermissionError, match="outside") as info:
            product.set_targets(cd=0.25)
        assert str(path) in str(info.value)
    else:
        product.set_targets(cd=0.25)
        assert not path.is_symlink() and product.targets["cd"] == 0.25
    assert outside.read_bytes() == before and outside.stat().st_mode & 0o777 == 0o600


def test_leftovers_of_killed_writers_are_removed_by_the_next_locked_write(workspace):
    product = hatch(workspace, ".usda")
    for name in (".velmor-tmp-0123456789abcdef", ".hatch.usdc.4242.tmp.usdc"):
        (product.product_dir / name).write_bytes(b"partial")
    product.set_targets(cd=0.25)
    assert set(listing(product.product_dir)) == LAYERS - {"hatch.usdc"}


def test_a_lock_held_too_long_times_out_naming_product_and_lock(workspace, monkeypatch):
    product = hatch(workspace, ".usda")
    lock = layer_io.lock_file_for(product.usd_path)
    lock.parent.mkdir(parents=True, exist_ok=True)
    monkeypatch.setenv("VELMOR_LOCK_TIMEOUT", "0.2")
    before = product.usd_path.read_bytes()
    with open(lock, "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # another open file: another writer
        with pytest.raises(TimeoutError) as info:
            product.set_targets(cd=0.25)
    assert str(product.usd_path) in str(info.value) and str(lock) in str(info.value)
    assert product.usd_path.read_bytes() == before


# ---- contained composition ----------------------------------------------------------------


def _add(text: str, where: str, what: str) -> str:
    marker = {"sublayer": "subLayers = [", "prim": 'def Xform "Vehicle" ('}[where]
    return text.replace(marker, marker + "\n" + what, 1)


COMPOSITION = {
    "payload outside": lambda out: ("prim", f"    prepend payload = @{out / 'decoy.usda'}@"),
    "value clip outside": lambda out: (
        "prim",
        "    clips = {\n        dictionary default = {\n"
        "            double2[] active = [(0, 0)]\n"
        f"            asset[] assetPaths = [@{out / 'decoy.usda'}@]\n        }}\n    }}",
    ),
    "FIFO sublayer": lambda out: ("sublayer", "        @./fifo.usda@,"),
    "FIFO payload": lambda out: ("prim", "    prepend payload = @./fifo.usda@"),
    "device sublayer": lambda out: ("sublayer", "        @./zero.usda@,"),
}


@pytest.mark.parametrize("kind", sorted(COMPOSITION))
@pytest.mark.parametrize("how", ["load", "set_targets"])
def test_composition_leaving_the_workspace_is_refused_before_opening(
    workspace, tmp_path, kind, how
):
    from velmor_platform.core.product_core import ProductCore

    product = ProductCore.load("hatch")
    (tmp_path / "decoy.usda").write_text(
        '#usda 1.0\n(\n    defaultPrim = "Vehicle"\n)\n'
        'def Xform "Vehicle" { double targetCd = 0.99 }\n'
    )
    os.mkfifo(product.product_dir / "fifo.usda")
    (product.product_dir / "zero.usda").symlink_to("/dev/zero")
    where, what = COMPOSITION[kind](tmp_path)
    path = product.usd_path
    path.write_text(_add(path.read_text(), where, what))
    before = path.read_bytes()
    signal.alarm(30)  # a FIFO opened by mistake would block forever
    try:
        with pytest.raises(ValueError, match=r"outside the workspace|not a regular file") as info:
            ProductCore.load("hatch") if how == "load" else product.set_targets(cd=0.25)
    finally:
        signal.alarm(0)
    assert str(path) in str(info.value)
    assert path.read_bytes() == before


# ---- relocatable workspaces, reading without write access --------------------------------


def _body_composes(path: Path) -> bool:
    stage = Usd.Stage.Open(str(path))
    return stage.GetPrimAtPath("/Vehicle/Body/Shell").GetTypeName() == "Mesh"


@pytest.mark.parametrize("how", ["moved", "copied", "old absolute paths"])
def test_a_moved_or_copied_workspace_keeps_its_geometry(workspace, tmp_path, monkeypatch, how):
    from velmor_platform.core.product_core import ProductCore

    top = workspace / "products" / "hatch" / "hatch.usda"
    if how == "old absolute paths":  # as an earlier version wrote them, elsewhere
        top.write_text(
            top.read_text().replace("velmor-geo:///", "/home/someone/old-place/geometry/")
        )
    else:
        ProductCore.load("hatch")
    moved = tmp_path / "elsewhere" / "workspace"
    moved.parent.mkdir()
    (shutil.move if how != "copied" else shutil.copytree)(workspace, moved)
    if how == "copied":
        shutil.rmtree(workspace)  # the copy must not need the original
    monkeypatch.setenv("VELMOR_WORKSPACE", str(moved))
    product = ProductCore.load("hatch")
    assert str(tmp_path) not in product.usd_path.read_text()
    assert "../../geometry/hatch/body.usda" in product.usd_path.read_text()
    assert _body_composes(Path(product.export("usd")["path"]))
    assert product.set_targets(cd=0.25)["status"] == "updated"


def _tree(root: Path) -> dict:
    return {str(p): p.lstat().st_mtime_ns for p in sorted(root.rglob("*"))}


@pytest.fixture
def read_only(tmp_path):
    """Make a directory tree read-only for everyone, root included (a
    read-only bind mount); skips where mounting is not allowed."""
    mounted = []

    def make(directory: Path) -> None:
        for args in (
            ["--bind", str(directory), str(directory)],
            ["-o", "remount,bind,ro", str(directory)],
        ):
            proc = subprocess.run(["mount", *args], capture_output=True, text=True)
            if proc.returncode != 0:
                pytest.skip(f"cannot make a read-only mount here: {proc.stderr.strip()}")
            if not mounted:
                mounted.append(directory)

    yield make
    for directory in mounted:
        subprocess.run(["umount", str(directory)], check=True)


def test_reading_a_resolved_product_writes_nothing(workspace, read_only):
    from velmor_platform.core.product_core import ProductCore

    ProductCore.load("hatch")
    ProductCore.load("sedan:base")
    before = _tree(workspace)
    read_only(workspace)
    env = child_env(workspace)
    for args in (["products"], ["show", "hatch"], ["history", "sedan:base"]):
        proc = subprocess.run(
            [sys.executable, "-m", "velmor_platform", *args],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
    assert _tree(workspace) == before  # no temporary file, no changed time, no state folder
    # sedan:sport was never resolved: it is read as repaired, and left as it is.
    assert ProductCore.load("sedan:sport").specs["variant"] == "sport"
    assert _tree(workspace) == before


# ---- listing survives bad entries --------------------------------------------------------


def test_listing_skips_bad_entries_with_one_warning_each(workspace, monkeypatch, capsys):
    from velmor_platform.cli import main

    products = workspace / "products"
    (products / "loop").symlink_to(products / "loop")
    (products / "dangling").symlink_to(workspace / "nothing")
    (products / "locked").mkdir()
    real_scandir = os.scandir

    def scandir(path="."):
        if os.fspath(path).endswith("/locked"):
            raise PermissionError(errno.EACCES, "Permission denied", os.fspath(path))
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)  # root reads every folder
    assert main(["products"]) == 0
    out, err = capsys.readouterr()
    assert [line.split()[0] for line in out.splitlines()[1:4]] == [
        "hatch",
        "sedan:base",
        "sedan:sport",
    ]
    warned = [line for line in err.splitlines() if "warning" in line]
    assert len(warned) == 3 and all(
        any(n in w for w in warned) for n in ("/loop", "/dangling", "/locked")
    )
    assert main(["show", "nope"]) == 1
    assert "available products: hatch, sedan:base, sedan:sport" in capsys.readouterr().err


# ---- concurrent writers, killed writers ------------------------------------------------------

WRITER = """
import os, sys, time
from velmor_platform.core.product_core import ProductCore
key, process, go = sys.argv[1], int(sys.argv[2]), sys.argv[3]
product = ProductCore.load("hatch")
while not os.path.exists(go):
    time.sleep(0.005)
for i in range(50):
    assert product.set_targets(**{key: process * 1000 + i})["status"] == "updated"
"""
KEYS = {
    "cd": "targetCd",
    "cl": "targetCl",
    "cm_pitch": "targetCmPitch",
    "cl_tolerance": "targetClTolerance",
    "cm_tolerance": "targetCmPitchTolerance",
}


def test_concurrent_writers_lose_no_update(workspace, tmp_path):
    """8 processes x 50 set_targets on one product. The writer has five keys,
    so processes 5-7 share a key with processes 0-2."""
    from velmor_platform.core.product_core import ProductCore

    ProductCore.load("hatch")
    go = tmp_path / "go"
    keys = sorted(KEYS)
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, keys[p % 5], str(p), str(go)],
            env=child_env(workspace),
            stderr=subprocess.PIPE,
            text=True,
        )
        for p in range(8)
    ]
    try:
        time.sleep(1.0)
        go.touch()
        for proc in procs:
            assert proc.wait(timeout=120) == 0, proc.stderr.read()
    finally:
        for proc in procs:
            stop(proc)
    path = workspace / "products" / "hatch" / "hatch.usda"
    for k, key in enumerate(keys):
        owners = [p for p in range(8) if p % 5 == k]
        assert root_value(path, KEYS[key]) in [p * 1000 + 49 for p in owners], key


@pytest.fixture
def fork_writer(workspace):
    server = subprocess.Popen(
        [sys.executable, str(HERE / "reliability_fork_writer.py")],
        cwd=HERE,
        env=child_env(
            workspace,
            VELMOR_URI_TEMPLATE=(workspace / "products" / "hatch" / "hatch.usda").read_text(),
        ),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        yield server
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=30)
        finally:
            stop(server)


KILLS = int(os.environ.get("VELMOR_KILLS", "200"))


@pytest.mark.parametrize("kind", ["targets", "geometry"])
def test_writers_killed_at_random_moments_leave_an_intact_product(workspace, fork_writer, kind):
    from reliability_writer import cd_for
    from velmor_platform.core.product_core import ProductCore

    if kind == "targets":
        ProductCore.load("hatch")
    path = workspace / "products" / "hatch" / "hatch.usda"
    rng = random.Random(1207)
    completed = set()
    for kill in range(KILLS):
        start = kill * 1_000_000
        fork_writer.stdin.write(f"{kind} {path} {start}\n")
        fork_writer.stdin.flush()
        pid = int(fork_writer.stdout.readline().split()[1])
        time.sleep(rng.uniform(0.0, 0.08))
        os.kill(pid, signal.SIGKILL)
        assert fork_writer.stdout.readline().split() == ["done", str(signal.SIGKILL)]
        layer = Sdf.Layer.OpenAsAnonymous(str(path))  # parses: the old or the new file
        assert layer is not None
        if kind == "targets":
            cd, cl = root_value(path, "targetCd"), root_value(path, "targetCl")
            if cl is not None:
                assert cd == pytest.approx(cd_for(int(cl)), abs=1e-12)  # one version, not a mix
                completed.add(cl)
        else:
            mass = layer.GetAttributeAtPath("/Vehicle.mass").default
            body = layer.GetPrimAtPath("/Vehicle/Body").referenceList.prependedItems[0].assetPath
            assert body in ("velmor-geo:///hatch/body.usda", "../../geometry/hatch/body.usda")
            if body.startswith("../"):
                completed.add(mass)
        visible = {n for n in os.listdir(path.parent) if not n.startswith(".")}
        assert visible == LAYERS - {"hatch.usdc"}, visible
    assert completed, "no write ever completed"
    print(f"{KILLS} kills of {kind} writers, {len(completed)} distinct completed writes")
    product = ProductCore.load("hatch")  # composes whatever version is there
    product.set_targets(cd=0.25)
    assert set(listing(path.parent)) == LAYERS - {"hatch.usdc"}  # hidden leftovers removed


def test_a_product_reached_through_a_link_takes_the_same_lock(workspace):
    products = workspace / "products"
    (products / "hatchling").symlink_to(products / "hatch")
    assert layer_io.lock_file_for(products / "hatchling" / "hatch.usda") == (
        layer_io.lock_file_for(products / "hatch" / "hatch.usda")
    )
