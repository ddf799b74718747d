"""Leak check of every ProductCore member and of _list_openfoam_templates.

Run by tests/test_reliability_leaks.py in a child process (a clean heap, and
a crash cannot take pytest down):

    python tests/reliability_leaks.py --workspace DIR --calls N [--only CASE ...]

Each case calls one member N times on its success path or on one of its
error paths; the first half of the calls warms up (caches, free lists,
interpreter tables that grow once), the second half is measured.  The sibling modules, OpenUSD (``pxr``) and the MCP transport
are replaced by small fakes that return the same objects every time, so the
loop measures the extension's own bookkeeping rather than theirs; two extra
cases run set_targets against the real OpenUSD, next to the same OpenUSD
calls made from Python as a reference (OpenUSD's own caches grow the
resident set by about 300 bytes per open-save-reload cycle, with or without
this module).  Measured across the second half of the calls:

* the memory traced by ``tracemalloc`` (net growth, bytes);
* ``sys.getallocatedblocks()`` (live interpreter blocks);
* the process's resident set size (after ``malloc_trim``);
* the reference counts of every argument, of every object a fake returns,
  of the instance and of None/True/False.

The bounds (constant, not per call, so a leak of one small object per call
exceeds them once N is in the thousands):

    tracemalloc growth   <= 16 KiB
    allocated blocks     <= 256
    RSS growth           <= 2 MiB above the reference (none for the fakes;
                                  not checked under AddressSanitizer)
    reference counts     unchanged  (None/True/False: within 64)

The last line of stdout is a JSON report; the exit status is 0 when every
case is within the bounds.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import sys
import time
import tracemalloc
import types
from pathlib import Path

import velmor_platform.core.api as api_mod
import velmor_platform.core.containment as containment_mod
import velmor_platform.core.geometry_cache as geometry_mod
import velmor_platform.core.layer_io as layer_io_mod
import velmor_platform.core.range_model as range_mod
import velmor_platform.core.usd_product as usd_product_mod
import velmor_platform.mcp.mcp_transport as transport_mod
from velmor_platform.core import product_core as pc
from velmor_platform.core.product_core import ProductCore

TRACED_BOUND = 16 * 1024
BLOCKS_BOUND = 256
RSS_BOUND = 2 * 1024 * 1024
SINGLETON_BOUND = 64

try:
    _libc = ctypes.CDLL("libc.so.6")
except OSError:  # pragma: no cover - not glibc
    _libc = None


def sanitized() -> bool:
    try:
        return "libasan" in Path("/proc/self/maps").read_text()
    except OSError:
        return False


def rss_bytes() -> int:
    if _libc is not None:
        _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --------------------------------------------------------------------------
# Fakes: each returns the same object at every call, so that its reference
# count shows whether the extension keeps references it should drop.

PATH = Path("/w/products/sedan/base/sedan.usda")
VEHICLE = {
    "vehicle_name": "Sedan",
    "mass": 1600,
    "wheelbase": 2.8,
    "target_cd": 0.25,
    "target_cl_tol": 0.01,
    "benchmark_source": "wind tunnel",
    "current_cd": 0.26,
}
RUNS = [{"run_id": "r1", "cd": 0.26}]
DIFF = {"changes": {}, "identical": True}
RANGE = {"range_km": 500.0}
DOMAINS = [
    {"domain": "aerodynamics", "status": "active", "solvers": [{"name": "openfoam"}]},
    {"domain": "dynamics", "status": "active", "solvers": []},
    {"domain": "other", "status": "planned"},
]
DOMAIN = DOMAINS[0]
SOLVER = {"name": "openfoam", "version": "v2406"}
TEMPLATES = ["base", "motorBike", 7]
RAW_RESULT = {"structuredContent": {"result": TEMPLATES}}


def _same(value):
    def fake(*args, **kwargs):
        return value

    return fake


class FakeAttribute:
    def __init__(self):
        self.value = None

    def __bool__(self):
        return True

    def Set(self, value):
        self.value = value
        return True


class FakeLayer:
    def __init__(self):
        self.save_result = True
        self.reloads = 0

    def Save(self):
        return self.save_result

    def Reload(self, *args):
        self.reloads += 1
        return True


ATTRIBUTES = {
    name: FakeAttribute()
    for name in (
        "targetCd",
        "targetCl",
        "targetCmPitch",
        "targetClTolerance",
        "targetCmPitchTolerance",
    )
}


class FakePrim:
    def GetAttribute(self, name):
        return ATTRIBUTES.get(name, False)


LAYER = FakeLayer()
PRIM = FakePrim()


class FakeStage:
    def GetDefaultPrim(self):
        return PRIM

    def GetRootLayer(self):
        return LAYER


STAGE = FakeStage()
FAKE_PXR = types.ModuleType("pxr")
FAKE_PXR.Usd = types.SimpleNamespace(
    Stage=types.SimpleNamespace(Open=_same(STAGE), LoadNone="LoadNone")
)
FAKE_PXR.Sdf = types.SimpleNamespace()


class Session:
    def __init__(self):
        self.fail = None

    async def call_tool(self, name, arguments):
        if self.fail is not None:
            # A new exception each time: re-raising one instance would grow
            # its traceback by a frame per call.
            raise self.fail("tool failed")
        return RAW_RESULT


SESSION = Session()


class Connection:
    swallow = False

    async def __aenter__(self):
        return SESSION

    async def __aexit__(self, *exc_info):
        return self.swallow


def fake_connect(name):
    return Connection()


def failing_connect(name):
    raise ConnectionError("no server")


def fake_parse(result):
    return TEMPLATES


def install_fakes():
    pc.load_product = _same(VEHICLE)
    pc.list_domains = _same(DOMAINS)
    pc.get_domain = _same(DOMAIN)
    pc.default_solver_for = _same(SOLVER)
    usd_product_mod.load_product_history = _same(RUNS)
    usd_product_mod.diff_products = _same(DIFF)
    range_mod.range_competitiveness = _same(RANGE)
    api_mod._find_product_usd = _same(PATH)
    geometry_mod.resolve_product_geometry = _same(None)
    transport_mod.mcp_connect = fake_connect
    transport_mod.parse_tool_result = fake_parse


# --------------------------------------------------------------------------
# Cases: (name, make) where make() returns (call, watched objects, cleanup).


class Derived(ProductCore):
    pass


def product(vehicle=None, path=PATH, cls=ProductCore):
    return cls(path, VEHICLE if vehicle is None else vehicle)


def bare(**attributes):
    obj = ProductCore.__new__(ProductCore)
    for name, value in attributes.items():
        object.__setattr__(obj, name, value)
    return obj


def cases(workspace: Path):
    stl = workspace / "body.stl"
    stl.write_bytes(b"solid body\nendsolid body\n" * 100)
    directory_stl = workspace / "mesh.stl"
    directory_stl.mkdir(exist_ok=True)
    global REAL_PRODUCT
    real_product = REAL_PRODUCT = workspace / "products" / "hatch" / "hatch.usda"
    no_dynamics = {"mass": None}
    odd_name = {"vehicle_name": 42}
    not_a_record = object()
    not_a_path = "plain string"
    other = product()
    stranger = object()
    bad_cd = "fast"
    huge_cd = 10**400
    fmt = "usd"
    bad_fmt = "stl"
    aero = "aerodynamics"
    xlb = "xlb"
    chrono = "chrono"
    conditions = {"speed": 30}
    action = "show"
    wrong_tuple = ("a", "b")
    nan = math.nan
    domains_missing_status = [{"domain": "aerodynamics"}]

    def swap(obj, name, value):
        old = getattr(obj, name)
        setattr(obj, name, value)
        return lambda: setattr(obj, name, old)

    def c(name, make):
        return name, make

    def call(fn, *args, **kwargs):
        def run():
            return fn(*args, **kwargs)

        return run

    def expect(exc_type, fn, *args, **kwargs):
        def run():
            try:
                fn(*args, **kwargs)
            except exc_type:
                return None
            raise AssertionError(f"{fn} did not raise {exc_type.__name__}")

        return run

    def getter(obj, name, exc_type=None):
        if exc_type is None:
            return lambda: getattr(obj, name)

        def run():
            try:
                getattr(obj, name)
            except exc_type:
                return None
            raise AssertionError(f"{name} did not raise {exc_type.__name__}")

        return run

    p = product()
    d = product(cls=Derived)
    out = []
    out += [
        c("__init__ ok", lambda: (call(ProductCore, PATH, VEHICLE), [PATH, VEHICLE], None)),
        c(
            "__init__ error",
            lambda: (
                expect(TypeError, ProductCore, PATH, not_a_record),
                [PATH, not_a_record],
                None,
            ),
        ),
        c("load ok", lambda: (call(ProductCore.load, "sedan:base"), [PATH, VEHICLE], None)),
        c("load ok (file path)", lambda: (call(Derived.load, str(real_product)), [VEHICLE], None)),
        c("load error", lambda: (expect(TypeError, ProductCore.load, PATH), [PATH], None)),
        c("name ok", lambda: (getter(p, "name"), [p, VEHICLE], None)),
        c("name error", lambda: (getter(product(odd_name), "name", TypeError), [odd_name], None)),
        c("specs ok", lambda: (getter(p, "specs"), [p, VEHICLE], None)),
        c(
            "specs error",
            lambda: (getter(bare(_usd_path=PATH), "specs", AttributeError), [PATH], None),
        ),
        c("has_dynamics ok", lambda: (getter(p, "has_dynamics"), [p, VEHICLE], None)),
        c(
            "has_dynamics error",
            lambda: (getter(product({"mass": "x"}), "has_dynamics", TypeError), [], None),
        ),
        c("targets ok", lambda: (getter(p, "targets"), [p, VEHICLE], None)),
        c(
            "targets error",
            lambda: (getter(product(no_dynamics), "targets", TypeError), [no_dynamics], None),
        ),
        c("benchmarks ok", lambda: (getter(p, "benchmarks"), [p, VEHICLE], None)),
        c(
            "benchmarks error",
            lambda: (
                getter(bare(_vehicle=not_a_record), "benchmarks", AttributeError),
                [not_a_record],
                None,
            ),
        ),
        c("current ok", lambda: (getter(p, "current"), [p, VEHICLE], None)),
        c(
            "current error",
            lambda: (getter(product(no_dynamics), "current", TypeError), [no_dynamics], None),
        ),
        c("usd_path ok", lambda: (getter(p, "usd_path"), [p, PATH], None)),
        c("usd_path error", lambda: (getter(bare(), "usd_path", AttributeError), [], None)),
        c("product_dir ok", lambda: (getter(p, "product_dir"), [p, PATH], None)),
        c(
            "product_dir error",
            lambda: (
                getter(product(path=not_a_path), "product_dir", AttributeError),
                [not_a_path],
                None,
            ),
        ),
        c("simulations ok", lambda: (call(p.simulations), [p, RUNS], None)),
        c(
            "simulations error",
            lambda: (
                expect(TypeError, p.simulations),
                [p, wrong_tuple],
                swap(usd_product_mod, "load_product_history", _same(wrong_tuple)),
            ),
        ),
        c("history ok", lambda: (call(d.history), [d, RUNS], None)),
        c(
            "history error",
            lambda: (
                expect(TypeError, d.history),
                [d, wrong_tuple],
                swap(usd_product_mod, "load_product_history", _same(wrong_tuple)),
            ),
        ),
        c("capabilities ok", lambda: (call(p.capabilities), [p, DOMAINS, SOLVER, TEMPLATES], None)),
        c(
            "capabilities error",
            lambda: (
                expect(KeyError, p.capabilities),
                [p, domains_missing_status],
                swap(pc, "list_domains", _same(domains_missing_status)),
            ),
        ),
        c("set_geometry ok", lambda: (call(p.set_geometry, str(stl)), [p], None)),
        c(
            "set_geometry error (missing)",
            lambda: (expect(FileNotFoundError, p.set_geometry, "missing.stl"), [p], None),
        ),
        c(
            "set_geometry error (directory)",
            lambda: (expect(ValueError, p.set_geometry, directory_stl), [p, directory_stl], None),
        ),
        c(
            "set_targets ok",
            lambda: (
                call(p.set_targets, cd=0.25, cl=1, unknown=2),
                [p, VEHICLE, STAGE, LAYER, PRIM],
                fake_pxr(),
            ),
        ),
        c(
            "set_targets error (value)",
            lambda: (
                expect(ValueError, p.set_targets, cd=0.25, cl=bad_cd),
                [p, bad_cd, STAGE],
                fake_pxr(),
            ),
        ),
        c(
            "set_targets error (nan)",
            lambda: (expect(ValueError, p.set_targets, cm_pitch=nan), [p, nan, STAGE], fake_pxr()),
        ),
        c(
            "set_targets error (save)",
            lambda: (
                expect(OSError, p.set_targets, cd=0.3),
                [p, STAGE, LAYER],
                fake_pxr(save=False),
            ),
        ),
        c("export ok", lambda: (call(p.export, fmt), [p, fmt, PATH], None)),
        c("export error", lambda: (expect(ValueError, p.export, bad_fmt), [p, bad_fmt], None)),
        c(
            "_normalise_domain ok",
            lambda: (call(ProductCore._normalise_domain, aero), [aero], None),
        ),
        c(
            "_normalise_domain error",
            lambda: (expect(TypeError, ProductCore._normalise_domain, None), [], None),
        ),
        c("set_solver ok", lambda: (call(p.set_solver, aero, xlb), [p, aero, xlb], None)),
        c(
            "set_solver error",
            lambda: (expect(ValueError, p.set_solver, aero, chrono), [p, aero, chrono], None),
        ),
        c("get_solver_backend ok", lambda: (call(p.get_solver_backend, aero), [p, aero], None)),
        c(
            "get_solver_backend error",
            lambda: (expect(TypeError, p.get_solver_backend, 1), [p], None),
        ),
        c(
            "resolve_dispatch_backend ok",
            lambda: (
                call(
                    p.resolve_dispatch_backend,
                    domain=aero,
                    conditions=conditions,
                    force_physics=conditions,
                ),
                [p, aero, conditions],
                None,
            ),
        ),
        c(
            "resolve_dispatch_backend error",
            lambda: (expect(TypeError, p.resolve_dispatch_backend, aero), [p, aero], None),
        ),
        c("metadata ok", lambda: (call(p.metadata, action), [p, action], None)),
        c("metadata error", lambda: (expect(TypeError, p.metadata, action=None), [p], None)),
        c("solvers ok", lambda: (call(ProductCore.solvers), [DOMAINS], None)),
        c(
            "solvers error",
            lambda: (
                expect(TypeError, ProductCore.solvers),
                [wrong_tuple],
                swap(pc, "list_domains", _same(wrong_tuple)),
            ),
        ),
        c("solver ok", lambda: (call(ProductCore.solver, aero), [aero, DOMAIN], None)),
        c("solver error", lambda: (expect(TypeError, ProductCore.solver, domain=None), [], None)),
        c("diff ok", lambda: (call(p.diff, other), [p, other, DIFF], None)),
        c("diff error", lambda: (expect(AttributeError, p.diff, stranger), [p, stranger], None)),
        c(
            "range_competitiveness ok",
            lambda: (call(p.range_competitiveness, 1), [p, RANGE, VEHICLE], None),
        ),
        c(
            "range_competitiveness error",
            lambda: (expect(TypeError, p.range_competitiveness, bad_cd), [p, bad_cd], None),
        ),
        c(
            "range_competitiveness error (overflow)",
            lambda: (expect(OverflowError, p.range_competitiveness, huge_cd), [p, huge_cd], None),
        ),
        c("_product_identifier ok", lambda: (call(p._product_identifier), [p, PATH], None)),
        c(
            "_product_identifier error",
            lambda: (
                expect(AttributeError, product(path=not_a_path)._product_identifier),
                [not_a_path],
                None,
            ),
        ),
        c("__repr__ ok", lambda: (call(repr, p), [p], None)),
        c("__repr__ error", lambda: (expect(TypeError, repr, product(odd_name)), [odd_name], None)),
        c(
            "_list_openfoam_templates ok",
            lambda: (call(pc._list_openfoam_templates), [TEMPLATES, SESSION, RAW_RESULT], None),
        ),
        c(
            "_list_openfoam_templates error (tool)",
            lambda: (
                call(pc._list_openfoam_templates),
                [SESSION, RuntimeError],
                set_session_failure(RuntimeError),
            ),
        ),
        c(
            "_list_openfoam_templates error (swallowed)",
            lambda: (
                call(pc._list_openfoam_templates),
                [SESSION, RuntimeError],
                set_session_failure(RuntimeError, swallow=True),
            ),
        ),
        c(
            "_list_openfoam_templates error (connect)",
            lambda: (
                call(pc._list_openfoam_templates),
                [ConnectionError, failing_connect],
                swap(transport_mod, "mcp_connect", failing_connect),
            ),
        ),
        c(
            "set_targets ok (OpenUSD)",
            lambda: (
                call(ProductCore(real_product, {}).set_targets, cd=0.27, cl_tolerance=0.02),
                [real_product],
                real_usd(),
            ),
        ),
        c(
            "set_targets error (OpenUSD)",
            lambda: (
                expect(ValueError, ProductCore(real_product, {}).set_targets, cd=0.27, cl=bad_cd),
                [real_product, bad_cd],
                real_usd(),
            ),
        ),
    ]
    return out


def set_session_failure(exc, swallow=False):
    SESSION.fail = exc
    Connection.swallow = swallow

    def undo():
        SESSION.fail = None
        Connection.swallow = False

    return undo


def _fake_save(layer, path):
    if not layer.save_result:
        raise OSError(28, f"cannot write {path}: No space left on device", str(path))


def fake_pxr(save=True):
    """The fake pxr, and the writer's file-system side (product lock, checked
    opening of the layers, atomic save) faked to match."""
    import contextlib

    real = sys.modules.get("pxr")
    sys.modules["pxr"] = FAKE_PXR
    LAYER.save_result = save
    io_saved = (
        layer_io_mod.product_lock,
        layer_io_mod.save_layer,
        containment_mod.open_contained_layers,
        usd_product_mod.open_vehicle_stage,
    )
    layer_io_mod.product_lock = lambda path, timeout=None: contextlib.nullcontext(path)
    layer_io_mod.save_layer = _fake_save
    containment_mod.open_contained_layers = _same([LAYER])
    usd_product_mod.open_vehicle_stage = _same(STAGE)

    def undo():
        sys.modules["pxr"] = real
        LAYER.save_result = True
        (
            layer_io_mod.product_lock,
            layer_io_mod.save_layer,
            containment_mod.open_contained_layers,
            usd_product_mod.open_vehicle_stage,
        ) = io_saved

    return undo


def real_usd():
    saved = pc.load_product
    pc.load_product = usd_product_mod.load_product

    def undo():
        pc.load_product = saved

    return undo


SLOW = ("capabilities", "_list_openfoam_templates", "(OpenUSD)")


def sample(watched):
    gc.collect()
    return {
        "traced": tracemalloc.get_traced_memory()[0],
        "blocks": sys.getallocatedblocks(),
        "rss": rss_bytes(),
        "refs": [sys.getrefcount(o) for o in watched],
        "singletons": [sys.getrefcount(o) for o in (None, True, False)],
    }


def loop(run, calls):
    """Runs ``calls`` calls; the first half warms up, the second half is measured."""
    half = calls // 2
    for _ in range(calls - half):
        run()
    return half


def measure(name, make, calls):
    run, watched, undo = make()
    try:
        reference = REFERENCES.get(name)
        ref_rss = 0
        if reference is not None:
            # The same OpenUSD calls made from Python: OpenUSD's own growth.
            half = loop(reference, calls)
            before = sample([])
            for _ in range(half):
                reference()
            ref_rss = sample([])["rss"] - before["rss"]
        half = loop(run, calls)
        before = sample(watched)
        start = time.perf_counter()
        for _ in range(half):
            run()
        elapsed = time.perf_counter() - start
        after = sample(watched)
    finally:
        if undo is not None:
            undo()
    row = {
        "case": name,
        "calls": calls,
        "measured_calls": half,
        "seconds_per_call": elapsed / max(half, 1),
        "traced_growth": after["traced"] - before["traced"],
        "blocks_growth": after["blocks"] - before["blocks"],
        "rss_growth": after["rss"] - before["rss"],
        "rss_growth_reference": ref_rss if reference is not None else None,
        "refcount_deltas": [a - b for a, b in zip(after["refs"], before["refs"])],
        "singleton_deltas": [a - b for a, b in zip(after["singletons"], before["singletons"])],
    }
    problems = []
    if row["traced_growth"] > TRACED_BOUND:
        problems.append(f"tracemalloc grew by {row['traced_growth']} bytes")
    if row["blocks_growth"] > BLOCKS_BOUND:
        problems.append(f"{row['blocks_growth']} more allocated blocks")
    # OpenUSD's own growth widens the allowance; memory it handed back while
    # the reference ran (a negative growth) must not narrow it below the bound.
    if not sanitized() and row["rss_growth"] - max(ref_rss, 0) > RSS_BOUND:
        problems.append(f"RSS grew by {row['rss_growth']} bytes (reference: {ref_rss})")
    if any(row["refcount_deltas"]):
        problems.append(f"reference counts changed: {row['refcount_deltas']}")
    if any(abs(d) > SINGLETON_BOUND for d in row["singleton_deltas"]):
        problems.append(f"None/True/False reference counts changed: {row['singleton_deltas']}")
    row["problems"] = problems
    return row


def _reference_set_targets():
    from pxr import Usd

    stage = Usd.Stage.Open(str(REAL_PRODUCT))
    prim = stage.GetDefaultPrim()
    for name, value in (("targetCd", 0.27), ("targetClTolerance", 0.02)):
        attribute = prim.GetAttribute(name)
        if attribute:
            attribute.Set(value)
    stage.GetRootLayer().Save()
    return usd_product_mod.load_product(str(REAL_PRODUCT))


def _reference_set_targets_refused():
    from pxr import Usd

    stage = Usd.Stage.Open(str(REAL_PRODUCT))
    prim = stage.GetDefaultPrim()
    for name, value in (("targetCd", 0.27), ("targetCl", "fast")):
        if prim.GetAttribute(name):
            try:
                float(value)
            except ValueError:
                return None
    return None


REAL_PRODUCT = Path()
REFERENCES = {
    "set_targets ok (OpenUSD)": _reference_set_targets,
    "set_targets error (OpenUSD)": _reference_set_targets_refused,
}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workspace", required=True)
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument(
        "--slow-calls",
        type=int,
        default=None,
        help="calls for the event-loop and OpenUSD cases (default: --calls)",
    )
    parser.add_argument("--only", action="append", default=[])
    args = parser.parse_args()

    workspace = Path(args.workspace)
    os.environ["VELMOR_WORKSPACE"] = str(workspace)
    os.chdir(workspace)
    # The real product's geometry URIs are resolved once, as load() would, so
    # that OpenUSD finds the geometry when set_targets opens the whole stage.
    geometry_mod.resolve_product_geometry(workspace / "products" / "hatch")
    tracemalloc.start()
    install_fakes()
    rows = []
    for name, make in cases(workspace):
        if args.only and not any(o in name for o in args.only):
            continue
        n = args.calls
        if args.slow_calls is not None and any(s in name for s in SLOW):
            n = args.slow_calls
        rows.append(measure(name, make, n))
        print(json.dumps(rows[-1]), file=sys.stderr, flush=True)
    report = {
        "calls": sum(r["calls"] for r in rows),
        "cases": rows,
        "bounds": {
            "traced_bytes": TRACED_BOUND,
            "blocks": BLOCKS_BOUND,
            "rss_bytes": RSS_BOUND,
            "singleton_refcounts": SINGLETON_BOUND,
            "rss_checked": not sanitized(),
        },
    }
    print(json.dumps(report))
    return 1 if any(r["problems"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
