"""Several threads calling the in-memory members at once (run in a child
process by tests/test_reliability_threads.py).

    python tests/reliability_threads.py --workspace DIR --seconds S --threads N

Half of the threads share one product, the others have one each.  The
interpreter switches threads every microsecond.  Every result is compared
with the one computed beforehand on a single thread; on the shared product,
threads also select backends (each under a domain name of its own, plus all
of them under "aero"), and one thread swaps the product's record between two
versions and adds and removes unrelated keys in it, so the views must come
out equal to one of the two versions.  The template query runs on its own
event loop in each thread, against a fake transport.

The last line of stdout is a JSON report; the exit status is 0 when no
result was wrong and no call raised.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import copy
import json
import os
import random
import sys
import threading
import time
import traceback

import velmor_platform.mcp.mcp_transport as transport_mod
from velmor_platform.core import product_core as pc
from velmor_platform.core.product_core import ProductCore

AERO_BACKENDS = ("openfoam", "xlb", "domino", "auto")
TEMPLATES = ["base", "hatch", "motorBike"]


class Session:
    async def call_tool(self, name, arguments):
        await asyncio.sleep(0)
        return {"structuredContent": {"result": TEMPLATES}}


class Connection:
    async def __aenter__(self):
        await asyncio.sleep(0)
        return Session()

    async def __aexit__(self, *exc_info):
        await asyncio.sleep(0)
        return False


def record_versions(base: dict) -> tuple[dict, dict]:
    """Two records that differ in every value the views show, both with dynamics."""
    a = dict(
        base,
        mass=1500,
        wheelbase=2.7,
        vehicle_name="Version A",
        target_cd=0.25,
        benchmark_source="tunnel A",
        current_cd=0.26,
    )
    b = dict(
        base,
        mass=1700,
        wheelbase=2.9,
        vehicle_name="Version B",
        target_cd=0.31,
        benchmark_source="tunnel B",
        current_cd=0.33,
    )
    return a, b


VIEWS = ("name", "targets", "benchmarks", "current", "has_dynamics", "usd_path", "product_dir")


def expected_views(product: ProductCore) -> dict:
    return {
        "name": product.name,
        "targets": product.targets,
        "benchmarks": product.benchmarks,
        "current": product.current,
        "has_dynamics": product.has_dynamics,
        "usd_path": product.usd_path,
        "product_dir": product.product_dir,
        "_product_identifier": product._product_identifier(),
        "metadata": product.metadata("run"),
        "repr": repr(product),
        "export": product.export(),
    }


class Worker(threading.Thread):
    def __init__(self, index, product, shared, expected_sets, stop, seed):
        super().__init__(name=f"worker-{index}", daemon=True)
        self.index = index
        self.product = product
        self.shared = shared
        self.expected_sets = expected_sets  # list of acceptable expectation dicts
        self.stop = stop
        self.rng = random.Random(seed)
        self.calls = collections.Counter()
        self.problems: list[str] = []
        self.own_domain = f"domain-{index}"
        self.own_backend = None

    def check(self, what, value, key=None):
        key = key or what

        def matches(expected):
            if isinstance(expected, frozenset):
                return value in expected
            return expected == value

        if not any(matches(exp[key]) for exp in self.expected_sets):
            self.problems.append(f"{self.name} {what}: {value!r:.300}")

    def step(self):
        p = self.product
        choice = self.rng.randrange(16)
        if choice == 0:
            for view in VIEWS:
                self.check(view, getattr(p, view))
            self.calls["views"] += len(VIEWS)
        elif choice == 1:
            specs = p.specs
            if not any(
                all(specs.get(k) == v for k, v in exp["specs"].items())
                for exp in self.expected_sets
            ):
                self.problems.append(f"{self.name} specs: {specs!r:.300}")
            self.calls["specs"] += 1
        elif choice == 2:
            self.check("_product_identifier", p._product_identifier())
            self.check("metadata", p.metadata("run"))
            self.check("repr", repr(p))
            self.check("export", p.export())
            self.calls["identity"] += 4
        elif choice == 3:
            backend = self.rng.choice(AERO_BACKENDS + ("surrogate",))
            reply = p.set_solver(self.own_domain, backend)
            self.own_backend = "auto" if backend == "surrogate" else backend
            if reply["backend"] != self.own_backend or reply["domain"] != self.own_domain:
                self.problems.append(f"{self.name} set_solver reply: {reply!r}")
            got = p.get_solver_backend(self.own_domain)
            if got != self.own_backend:
                self.problems.append(f"{self.name} own backend {got!r} != {self.own_backend!r}")
            resolved = p.resolve_dispatch_backend(domain=self.own_domain)
            want = "openfoam" if self.own_backend == "auto" else self.own_backend
            if resolved != (want, None):
                self.problems.append(f"{self.name} resolve: {resolved!r} != {(want, None)!r}")
            self.calls["set_solver"] += 1
            self.calls["get_solver_backend"] += 1
            self.calls["resolve_dispatch_backend"] += 1
        elif choice == 4:
            p.set_solver("aerodynamics", self.rng.choice(AERO_BACKENDS))
            got = p.get_solver_backend("aero")
            if got not in AERO_BACKENDS:
                self.problems.append(f"{self.name} aero backend {got!r}")
            resolved = p.resolve_dispatch_backend(
                domain="aero", conditions={"v": 1}, force_physics=True
            )
            if resolved[0] not in AERO_BACKENDS[:3] or resolved[1] is not None:
                self.problems.append(f"{self.name} aero resolve {resolved!r}")
            self.calls["set_solver"] += 1
            self.calls["get_solver_backend"] += 1
            self.calls["resolve_dispatch_backend"] += 1
        elif choice == 5:
            try:
                p.set_solver("dynamics", "xlb")
            except ValueError as exc:
                if "Options: ['auto', 'chrono']" not in str(exc):
                    self.problems.append(f"{self.name} set_solver message {exc}")
            else:
                self.problems.append(f"{self.name} set_solver accepted xlb for dynamics")
            self.calls["set_solver"] += 1
        elif choice == 6:
            if ProductCore._normalise_domain("aerodynamics") != "aero":
                self.problems.append("normalise")
            solvers = ProductCore.solvers()
            if [d["domain"] for d in solvers] != ["aerodynamics", "dynamics"]:
                self.problems.append(f"solvers {solvers!r:.200}")
            if ProductCore.solver("aero")["domain"] != "aerodynamics":
                self.problems.append("solver")
            self.calls["statics"] += 3
        elif choice == 7:
            result = pc._list_openfoam_templates()
            if result != TEMPLATES:
                self.problems.append(f"{self.name} templates {result!r}")
            self.calls["_list_openfoam_templates"] += 1
        elif choice == 8:
            try:
                p.export("stl")
            except ValueError as exc:
                if str(exc) != "Unknown format: stl. Supported: usd":
                    self.problems.append(f"export message {exc}")
            try:
                p.metadata(None)
            except TypeError:
                pass
            else:
                self.problems.append("metadata accepted None")
            self.calls["errors"] += 2
        else:
            for view in ("targets", "current", "benchmarks"):
                self.check(view, getattr(p, view))
            self.calls["views"] += 3

    def run(self):
        try:
            while not self.stop.is_set():
                self.step()
        except BaseException:  # noqa: BLE001 - reported
            self.problems.append(f"{self.name} raised:\n{traceback.format_exc()}")


class Mutator(threading.Thread):
    """Swaps the shared product's record between two versions and churns an
    unrelated key in the current one."""

    def __init__(self, product, versions, stop):
        super().__init__(name="mutator", daemon=True)
        self.product, self.versions, self.stop = product, versions, stop
        self.swaps = 0
        self.problems: list[str] = []

    def run(self):
        try:
            i = 0
            while not self.stop.is_set():
                i += 1
                record = self.versions[i % 2]
                self.product._vehicle = record
                record[f"scratch_{i % 7}"] = i
                record.pop(f"scratch_{(i + 3) % 7}", None)
                self.swaps += 1
        except BaseException:  # noqa: BLE001
            self.problems.append(traceback.format_exc())


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workspace", required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    os.environ["VELMOR_WORKSPACE"] = args.workspace

    transport_mod.mcp_connect = lambda name: Connection()
    transport_mod.parse_tool_result = lambda result: result["structuredContent"]["result"]

    names = ["hatch", "sedan:base", "sedan:sport"]
    _loaded = [ProductCore.load(n) for n in names]  # held for the whole run
    # The shared product flips between two versions of the sedan's record.
    shared = ProductCore.load("sedan:base")
    version_a, version_b = record_versions(shared._vehicle)
    expectations = []
    for version in (version_a, version_b):
        probe = ProductCore(shared.usd_path, copy.deepcopy(version))
        exp = expected_views(probe)
        exp["specs"] = dict(version)
        expectations.append(exp)
    # repr reads the name and then the targets: a swap in between may pair
    # one version's name with the other's drag target.
    reprs = frozenset(
        f"Velmor({x['name']}, cd_target={y['targets']['cd']})"
        for x in expectations
        for y in expectations
    )
    for exp in expectations:
        exp["repr"] = reprs
    shared._vehicle = version_a

    stop = threading.Event()
    workers = []
    for i in range(args.threads):
        if i % 2 == 0:
            workers.append(Worker(i, shared, shared, expectations, stop, seed=i))
        else:
            own = ProductCore.load(names[i % 3])
            exp = expected_views(own)
            exp["specs"] = dict(own._vehicle)
            workers.append(Worker(i, own, shared, [exp], stop, seed=i))
    mutator = Mutator(shared, (version_a, version_b), stop)

    sys.setswitchinterval(1e-6)
    for t in (*workers, mutator):
        t.start()
    time.sleep(args.seconds)
    stop.set()
    for t in (*workers, mutator):
        t.join(timeout=60)
    sys.setswitchinterval(0.005)

    alive = [t.name for t in (*workers, mutator) if t.is_alive()]
    calls = collections.Counter()
    for w in workers:
        calls.update(w.calls)
    problems = [p for w in workers for p in w.problems] + mutator.problems
    if alive:
        problems.append(f"threads still running: {alive}")
    # The shared product's backend map ends with every thread's own choice.
    backends = getattr(shared, "_solver_backend", {})
    for w in workers:
        if (
            w.product is shared
            and w.own_backend is not None
            and backends.get(w.own_domain) != w.own_backend
        ):
            problems.append(f"{w.own_domain}: {backends.get(w.own_domain)!r} != {w.own_backend!r}")
    report = {
        "threads": args.threads,
        "seconds": args.seconds,
        "calls": sum(calls.values()),
        "by_kind": dict(calls),
        "record_swaps": mutator.swaps,
        "problems": problems[:50],
    }
    print(json.dumps(report))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
