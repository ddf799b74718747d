"""Fault injection: a template server that dies, hangs or talks nonsense; a
product file that is read-only, deleted or replaced by garbage; a writer
killed in the middle of set_targets; sibling modules that raise or return
the wrong types.  In every case nothing is lost: the product's files are
either untouched or hold a complete old or new version.

VELMOR_SOAK=1 raises the number of kills of the writer.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from child_process import child_env

HERE = Path(__file__).resolve().parent
SOAK = os.environ.get("VELMOR_SOAK") == "1"
LIMIT = 3.0  # template server time limit used here, seconds (server start-up takes ~1.5 s)
STDIO_GRACE = 2.0  # the SDK's wait for a stdio server to exit after its stdin closes


def tree_digest(directory: Path) -> dict:
    return {
        str(p.relative_to(directory)): hashlib.sha256(p.read_bytes()).hexdigest()
        for p in sorted(directory.rglob("*"))
        if p.is_file()
    }


def processes_with(token: str) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if token.encode() in (entry / "cmdline").read_bytes():
                found.append(int(entry.name))
        except OSError:
            continue
    return found


# ---- the template server dies, hangs or answers garbage ------------------------------

CAPABILITIES = """
import json, time
from velmor_platform.core.product_core import ProductCore
product = ProductCore.load("hatch")
start = time.monotonic()
report = product.capabilities()
elapsed = time.monotonic() - start
print(json.dumps({"elapsed": elapsed, "report": report, "has_dynamics": product.has_dynamics}))
"""


@pytest.mark.parametrize(
    "mode, aerodynamics",
    [
        ("healthy", True),  # control: the bundled server lists a "hatch" template
        ("die-in-call", False),
        ("hang-in-call", False),
        ("hang-at-start", False),
        ("garbage", False),
        ("wrong-answer", False),
        ("exit-at-start", False),
    ],
)
def test_capabilities_survives_a_failing_template_server(workspace, mode, aerodynamics):
    from velmor_platform.core.product_core import ProductCore

    token = f"velmor-fault-{uuid.uuid4().hex}"
    if mode != "healthy":
        command = ["python", str(HERE / "reliability_servers.py"), mode, token]
        (workspace / "mcp.json").write_text(
            json.dumps({"servers": {"openfoam": {"command": command}}})
        )
    ProductCore.load("hatch")  # resolves the geometry once, so later loads write nothing
    product_dir = workspace / "products" / "hatch"
    before = tree_digest(product_dir)

    limit = {} if mode == "healthy" else {"VELMOR_MCP_TIMEOUT": str(LIMIT)}
    proc = subprocess.run(
        [sys.executable, "-c", CAPABILITIES],
        cwd=workspace,
        env=child_env(workspace, **limit),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    report = out["report"]
    # Within the time limit (plus the stdio server's exit grace and start-up).
    assert out["elapsed"] < LIMIT + STDIO_GRACE + 3.0, out
    assert report["aerodynamics"]["available"] is aerodynamics, out
    assert (
        report["aerodynamics"]["solver"] == "openfoam"
        and report["aerodynamics"]["solver_count"] == 3
    )
    assert report["dynamics"]["available"] is out["has_dynamics"]
    assert report["dynamics"]["solver"] == "chrono"
    # Nothing lost, nothing left running.
    assert tree_digest(product_dir) == before
    deadline = time.monotonic() + 5
    while processes_with(token) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_with(token) == []


# ---- the product file read-only, deleted or replaced ------------------------------------


def _no_default_prim(path: Path) -> None:
    path.write_text('#usda 1.0\n\ndef Xform "Elsewhere"\n{\n    double targetCd = 0.5\n}\n')


def _directory(path: Path) -> None:
    path.unlink()
    path.mkdir()


FILE_FAULTS = {
    "deleted": lambda path: path.unlink(),
    "random bytes": lambda path: path.write_bytes(random.Random(7).randbytes(4096)),
    "truncated": lambda path: path.write_bytes(path.read_bytes()[: len(path.read_bytes()) // 2]),
    "empty": lambda path: path.write_bytes(b""),
    "no default prim": _no_default_prim,
    "a directory": _directory,
}


def snapshot(path: Path):
    if path.is_dir():
        return "directory"
    if not path.exists():
        return None
    return path.read_bytes()


@pytest.mark.parametrize("fault", sorted(FILE_FAULTS))
def test_set_targets_on_a_damaged_file_fails_clearly_and_writes_nothing(workspace, fault):
    from pxr import Sdf

    from velmor_platform.core.product_core import ProductCore

    product = ProductCore.load("hatch")
    path = product.usd_path
    record = product._vehicle
    original = path.read_bytes()
    FILE_FAULTS[fault](path)
    damaged = snapshot(path)
    listing = sorted(os.listdir(path.parent))

    with pytest.raises(Exception) as info:
        product.set_targets(cd=0.31)
    assert str(info.value).strip(), "the error has a message"
    assert snapshot(path) == damaged  # not rewritten, not recreated
    assert sorted(os.listdir(path.parent)) == listing  # no partial or temporary file
    assert product._vehicle is record

    # Once the file is back, the refused value was not kept anywhere.
    if path.is_dir():
        path.rmdir()
    path.write_bytes(original)
    assert product.set_targets(cl=0.2) == {"status": "updated", "targets": {"cl": 0.2}}
    layer = Sdf.Layer.OpenAsAnonymous(str(path))
    assert layer.GetAttributeAtPath("/Vehicle.targetCd") is None
    assert layer.GetAttributeAtPath("/Vehicle.targetCl").default == 0.2
    assert product.targets["cd"] == 0.3


def _protect(target: Path, on: bool) -> bool:
    """Make ``target`` unwritable (or writable again).

    Permission bits do not bind root, so as root the file or directory is
    made immutable instead (chattr), which refuses writes to everyone.
    Returns False when neither is possible here.
    """
    if os.geteuid() != 0:
        if target.is_dir():
            target.chmod(0o555 if on else 0o755)
        else:
            target.chmod(0o444 if on else 0o644)
        return True
    if shutil.which("chattr") is None:
        return False
    proc = subprocess.run(["chattr", "+i" if on else "-i", str(target)], capture_output=True)
    return proc.returncode == 0


@pytest.mark.parametrize("which", ["file", "directory"])
def test_set_targets_on_a_read_only_product_fails_and_keeps_the_file(workspace, which):
    from velmor_platform.core.product_core import ProductCore

    product = ProductCore.load("hatch")
    path = product.usd_path
    record = product._vehicle
    original = path.read_bytes()
    listing = sorted(os.listdir(path.parent))
    target = path if which == "file" else path.parent
    if not _protect(target, True):
        pytest.skip("cannot make a file unwritable for this user here")
    try:
        with pytest.raises(Exception) as info:
            product.set_targets(cd=0.31)
        message = str(info.value)
        assert str(path) in message or str(path.parent) in message, message
        assert path.read_bytes() == original
        assert sorted(os.listdir(path.parent)) == listing
        assert product._vehicle is record
    finally:
        _protect(target, False)
    # Writable again: the refused value was not kept in memory for a later save.
    assert product.set_targets(cl=0.2)["status"] == "updated"
    assert product.targets["cd"] == 0.3 and product.targets["cl"] == 0.2


# ---- the writer killed during set_targets ----------------------------------------------

KILLS = int(os.environ.get("VELMOR_KILLS", "100" if SOAK else "8"))


def root_targets(path: Path):
    """(targetCd, targetCl) authored in the top-level file, read from disk."""
    from pxr import Sdf

    layer = Sdf.Layer.OpenAsAnonymous(str(path))
    assert layer is not None, f"{path} does not parse"
    values = []
    for name in ("targetCd", "targetCl"):
        attribute = layer.GetAttributeAtPath(f"/Vehicle.{name}")
        values.append(None if attribute is None else attribute.default)
    return tuple(values)


@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_killing_the_writer_leaves_the_old_or_the_new_file(workspace, suffix):
    sys.path.insert(0, str(HERE))
    try:
        from reliability_writer import cd_for
    finally:
        sys.path.remove(str(HERE))
    path = workspace / "products" / "hatch" / "hatch.usda"
    if suffix == ".usdc":
        path = _crate_product(workspace)
    assert root_targets(path) == (None, None)

    rng = random.Random(20240611)
    seen = {(None, None)}
    start = 0
    for _kill in range(KILLS):
        start += 1_000_000
        writer = subprocess.Popen(
            [sys.executable, str(HERE / "reliability_writer.py"), str(path), str(start)],
            cwd=workspace,
            env=child_env(workspace),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            assert writer.stdout.readline().strip() == "ready", writer.stderr.read()
            time.sleep(rng.uniform(0.0, 0.25))
        finally:
            writer.send_signal(signal.SIGKILL)
            writer.wait()
        cd, cl = root_targets(path)  # always parses
        if cl is not None:
            i = int(cl)
            assert cl == i and (i == start or start < i < start + 1_000_000 or (cd, cl) in seen), (
                cd,
                cl,
            )
            assert math.isclose(cd, cd_for(i), abs_tol=1e-12), f"mixed versions: cd={cd} cl={cl}"
        seen.add((cd, cl))
    assert len(seen) > 1, "no write ever completed"
    leftovers = sorted(
        n
        for n in os.listdir(path.parent)
        if n
        not in ("hatch.usda", "hatch.usdc", "design_intent.usda", "benchmark.usda", "runs.usda")
    )
    print(f"{KILLS} kills, {len(seen) - 1} distinct saved versions, leftover files: {leftovers}")


KILLED_BETWEEN_EXPORT_AND_RENAME = """
import os, signal, sys
from velmor_platform.core.product_core import ProductCore
product = ProductCore.load("hatch")
os.replace = lambda *args, **kwargs: os.kill(os.getpid(), signal.SIGKILL)
product.set_targets(cd=0.41)
"""


def _crate_product(workspace: Path) -> Path:
    from pxr import Sdf

    path = workspace / "products" / "hatch" / "hatch.usda"
    layer = Sdf.Layer.FindOrOpen(str(path))
    assert layer.Export(str(path.with_suffix(".usdc")))
    del layer
    path.unlink()
    return path.with_suffix(".usdc")


def _kill_between_export_and_rename(workspace: Path) -> Path:
    """A writer killed after the new crate file was written beside the old
    one and before it was renamed over it."""
    crate = _crate_product(workspace)
    proc = subprocess.run(
        [sys.executable, "-c", KILLED_BETWEEN_EXPORT_AND_RENAME],
        cwd=workspace,
        env=child_env(workspace),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == -signal.SIGKILL, proc.stderr[-3000:]
    return crate


def test_a_crate_writer_killed_before_the_rename_leaves_the_old_product(workspace):
    from velmor_platform.core.product_core import ProductCore

    crate = _kill_between_export_and_rename(workspace)
    assert root_targets(crate) == (None, None)  # the old file, whole
    assert ProductCore.load("hatch").targets["cd"] == 0.3


def test_a_crate_writer_killed_before_the_rename_leaves_no_layer_like_file(workspace):
    crate = _kill_between_export_and_rename(workspace)
    known = {"hatch.usdc", "design_intent.usda", "benchmark.usda", "runs.usda"}
    stray = [
        n
        for n in os.listdir(crate.parent)
        if n not in known and not n.startswith(".") and n.endswith((".usda", ".usdc"))
    ]
    # The geometry resolver and anyone listing the directory take such a file
    # for one of the product's layers.
    assert stray == []


# ---- sibling modules that raise or return the wrong types --------------------------------


class DictSub(dict):
    pass


class ListSub(list):
    pass


SIBLING_FAULTS = [
    # (patched module attribute, fake result, call, expected message)
    (
        "product_core.load_product",
        ["not", "a", "dict"],
        lambda P: P.load("hatch"),
        "Argument 'vehicle' has incorrect type (expected dict, got list)",
    ),
    (
        "product_core.load_product",
        DictSub(),
        lambda P: P.load("hatch"),
        "Argument 'vehicle' has incorrect type (expected dict, got DictSub)",
    ),
    (
        "usd_product.load_product_history",
        ("run",),
        lambda P: P.load("hatch").simulations(),
        "Expected list, got tuple",
    ),
    (
        "usd_product.load_product_history",
        ListSub(),
        lambda P: P.load("hatch").history(),
        "Expected list, got ListSub",
    ),
    (
        "product_core.list_domains",
        ({"domain": "aero"},),
        lambda P: P.solvers(),
        "Expected list, got tuple",
    ),
    ("product_core.get_domain", ["aero"], lambda P: P.solver("aero"), "Expected dict, got list"),
    (
        "usd_product.diff_products",
        [],
        lambda P: P.load("hatch").diff(P.load("sedan:base")),
        "Expected dict, got list",
    ),
    (
        "range_model.range_competitiveness",
        DictSub(),
        lambda P: P.load("hatch").range_competitiveness(0.3),
        "Expected dict, got DictSub",
    ),
    (
        "product_core._list_openfoam_templates",
        ("hatch",),
        lambda P: P.load("hatch").capabilities(),
        "Expected list, got tuple",
    ),
    (
        "product_core.load_product",
        {"vehicle_name": 7},
        lambda P: P.load("hatch").name,
        "Expected str, got int",
    ),
]


def _patch(monkeypatch, target, value):
    import importlib

    module_name, attribute = target.rsplit(".", 1)
    module = importlib.import_module(f"velmor_platform.core.{module_name}")
    monkeypatch.setattr(module, attribute, value)


@pytest.mark.parametrize(
    "target, result, call, message",
    SIBLING_FAULTS,
    ids=[f"{t}->{type(r).__name__}" for t, r, _, _ in SIBLING_FAULTS],
)
def test_a_sibling_returning_the_wrong_type_gives_the_documented_type_error(
    workspace, monkeypatch, target, result, call, message
):
    from velmor_platform.core.product_core import ProductCore

    _patch(monkeypatch, target, lambda *args, **kwargs: result)
    with pytest.raises(TypeError) as info:
        call(ProductCore)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "target, call",
    [
        ("api._find_product_usd", lambda P, hatch, sedan: P.load("hatch")),
        ("geometry_cache.resolve_product_geometry", lambda P, hatch, sedan: P.load("hatch")),
        ("product_core.load_product", lambda P, hatch, sedan: P.load("hatch")),
        ("usd_product.load_product_history", lambda P, hatch, sedan: hatch.simulations()),
        ("usd_product.diff_products", lambda P, hatch, sedan: hatch.diff(sedan)),
        (
            "range_model.range_competitiveness",
            lambda P, hatch, sedan: hatch.range_competitiveness(0.3),
        ),
        ("product_core.list_domains", lambda P, hatch, sedan: hatch.capabilities()),
        ("product_core.default_solver_for", lambda P, hatch, sedan: sedan.capabilities()),
        ("product_core.get_domain", lambda P, hatch, sedan: P.solver("aero")),
    ],
)
def test_a_sibling_raising_propagates_its_own_exception(workspace, monkeypatch, target, call):
    from velmor_platform.core import product_core
    from velmor_platform.core.product_core import ProductCore

    class SiblingFailure(Exception):
        pass

    raised = SiblingFailure("sibling failed")
    calls = []

    def fake(*args, **kwargs):
        calls.append(args)
        raise raised

    hatch, sedan = ProductCore.load("hatch"), ProductCore.load("sedan:base")
    monkeypatch.setattr(product_core, "_list_openfoam_templates", lambda: ["hatch"])
    _patch(monkeypatch, target, fake)
    with pytest.raises(SiblingFailure) as info:
        call(ProductCore, hatch, sedan)
    assert info.value is raised and calls


def test_set_targets_keeps_the_saved_file_when_the_reload_fails(workspace, monkeypatch):
    """A reader failing after the save: the exception propagates, the file holds
    the new value and the instance keeps its old record."""
    from pxr import Sdf

    from velmor_platform.core import product_core
    from velmor_platform.core.product_core import ProductCore

    product = ProductCore.load("hatch")
    record = product._vehicle

    def broken(path):
        raise OSError("reader failed")

    monkeypatch.setattr(product_core, "load_product", broken)
    with pytest.raises(OSError, match="reader failed"):
        product.set_targets(cd=0.33)
    assert product._vehicle is record
    layer = Sdf.Layer.OpenAsAnonymous(str(product.usd_path))
    assert layer.GetAttributeAtPath("/Vehicle.targetCd").default == 0.33
