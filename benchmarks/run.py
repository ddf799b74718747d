"""Benchmark suite: the C++ product core against a plain Python baseline.

Run from the repository root, with the package installed::

    python benchmarks/run.py [--quick] [--json benchmarks/results.json]

Every figure is measured in this one run on this machine, interleaving the
two implementations so that drift affects both alike.  Per-call timings are the
fastest of several repeats of a timeit loop, less the loop's own cost, in
nanoseconds per call; one-off operations (set_targets, capabilities) report
medians.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def seed(dest: Path) -> Path:
    from velmor_platform.core.workspace import seed_workspace

    return seed_workspace(dest)


def interleaved(
    stmts: dict[str, str], env: dict, repeat: int, target_s: float, loop_free: bool = False
) -> dict[str, float]:
    """ns per call of each statement, measured round-robin.

    Each figure is the fastest of the repeats, as timeit's documentation
    advises: on a shared machine, interference only ever adds time.  With
    `loop_free`, an empty statement is timed in the same rounds and its
    time (the cost of timeit's own loop) is taken off every figure, so each
    figure is the statement alone.
    """
    if loop_free:
        stmts = {**stmts, "\0loop": "pass"}
    timers = {k: timeit.Timer(s, globals=env) for k, s in stmts.items()}
    loops = {}
    for k, t in timers.items():
        n, _ = t.autorange()
        took = t.timeit(n)
        loops[k] = max(1, int(n * target_s / max(took, 1e-9)))
    samples: dict[str, list[float]] = {k: [] for k in stmts}
    for _ in range(repeat):
        for k, t in timers.items():
            samples[k].append(t.timeit(loops[k]) / loops[k] * 1e9)
    best = {k: min(v) for k, v in samples.items()}
    if loop_free:
        loop = best.pop("\0loop")
        best = {k: v - loop for k, v in best.items()}
    return best


HOT = {
    # member: statement (p / P: the product and class of either implementation)
    "name": "p.name",
    "specs": "p.specs",
    "has_dynamics": "p.has_dynamics",
    "targets": "p.targets",
    "benchmarks": "p.benchmarks",
    "current": "p.current",
    "usd_path": "p.usd_path",
    "product_dir": "p.product_dir",
    "_product_identifier": "p._product_identifier()",
    "metadata": "p.metadata('show')",
    "__repr__": "repr(p)",
    "_normalise_domain": "P._normalise_domain('aerodynamics')",
    "set_solver": "p.set_solver('aero', 'xlb')",
    "get_solver_backend": "p.get_solver_backend('aero')",
    "resolve_dispatch_backend": "p.resolve_dispatch_backend(domain='aero')",
    "solvers": "P.solvers()",
    "solver": "P.solver('aero')",
    "export": "p.export()",
    "set_geometry": "p.set_geometry(stl)",
}


def bench_members(ws: Path, repeat: int, target_s: float) -> list[dict]:
    from baseline import PyProductCore

    from velmor_platform.core.product_core import ProductCore

    cpp = ProductCore.load("sedan:base")
    py = PyProductCore(cpp.usd_path, dict(cpp.specs))
    stl = ws / "body.stl"
    stl.write_bytes(b"solid body\nendsolid body\n")
    rows = []
    for member, stmt in HOT.items():
        env = {"p": cpp, "P": ProductCore, "q": py, "Q": PyProductCore, "stl": str(stl)}
        py_stmt = stmt.replace("p.", "q.").replace("P.", "Q.").replace("(p)", "(q)")
        got = interleaved({"cpp": stmt, "py": py_stmt}, env, repeat, target_s, loop_free=True)
        rows.append(
            {
                "member": member,
                "cpp_ns": got["cpp"],
                "py_ns": got["py"],
                "ratio": got["py"] / got["cpp"],
            }
        )
    return rows


def bench_load(repeat: int) -> dict:
    from velmor_platform.core.product_core import ProductCore
    from velmor_platform.core.usd_product import load_product

    path = str(ProductCore.load("sedan:base").usd_path)
    env = {"P": ProductCore, "load_product": load_product, "path": path}
    got = interleaved(
        {"load": "P.load('sedan:base')", "load_product": "load_product(path)"},
        env,
        repeat * 4,
        0.05,
    )  # short rounds: both meet the same phases
    return {
        "load_ns": got["load"],
        "load_product_ns": got["load_product"],
        "ratio": got["load"] / got["load_product"],
    }


def bench_set_targets(repeat: int) -> dict:
    from velmor_platform.core.product_core import ProductCore

    p = ProductCore.load("sedan:base")
    times = []
    for i in range(repeat * 3):
        t0 = time.perf_counter()
        p.set_targets(cd=0.24 + (i % 5) * 0.001)
        times.append(time.perf_counter() - t0)
    return {"median_ms": statistics.median(times) * 1e3, "min_ms": min(times) * 1e3}


def bench_import(repeat: int) -> dict:
    """Import times in fresh interpreters, ms.

    pxr.Usd is imported first and timed on its own; what the module adds is
    then timed in the same process, so the large start-to-start variation of
    the OpenUSD import does not blur the increment.  The module binds Path and
    Optional/Self at import, so pathlib and typing are part of any import of
    it; the same increment for them alone shows what that part costs.
    """

    def run(code: str) -> list[float]:
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        )
        return [float(x) for x in out.stdout.split()]

    def timed(then: str) -> str:
        return (
            "import time; t0=time.perf_counter(); import pxr.Usd; t1=time.perf_counter(); "
            f"{then}; t2=time.perf_counter(); print(t1-t0, t2-t1)"
        )

    pxr, module, floor = [], [], []
    for _ in range(repeat):
        a, b = run(timed("import velmor_platform.core.product_core"))
        pxr.append(a)
        module.append(b)
        floor.append(run(timed("import pathlib, typing"))[1])
    ms = lambda v: statistics.median(v) * 1e3  # noqa: E731
    return {
        "pxr_usd_ms": ms(pxr),
        "added_ms": ms(module),
        "added_min_ms": min(module) * 1e3,
        "pathlib_typing_ms": ms(floor),
    }


def make_workspace(root: Path, count: int) -> Path:
    """A workspace with `count` generated products (copies of one sample)."""
    seed(root)
    products = root / "products"
    source = products / "hatch"
    for i in range(count - 3):
        dest = products / f"gen{i:05d}"
        dest.mkdir()
        for f in source.iterdir():
            if f.is_file():
                target = dest / (f"gen{i:05d}.usda" if f.name == "hatch.usda" else f.name)
                os.link(f, target) if f.name != "hatch.usda" else shutil.copyfile(f, target)
    return root


def bench_scaling(tmp: Path, repeat: int) -> dict:
    code = (
        "import sys, timeit, statistics\n"
        "from velmor_platform.core.product_core import ProductCore as P\n"
        "P.load('hatch')\n"
        "t = timeit.Timer(\"P.load('hatch')\", globals={'P': P})\n"
        f"print(min(t.repeat({repeat}, 50)) / 50)\n"
    )
    out = {}
    for count in (10, 10_000):
        ws = make_workspace(tmp / f"ws{count}", count)
        env = dict(os.environ, VELMOR_WORKSPACE=str(ws))
        res = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
        )
        out[f"load_{count}_ms"] = float(res.stdout) * 1e3
    out["ratio"] = out["load_10000_ms"] / out["load_10_ms"]
    return out


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def bench_capabilities(ws: Path, repeat: int) -> dict:
    from velmor_platform.core.product_core import ProductCore

    p = ProductCore.load("sedan:base")
    p.capabilities()  # client-side imports out of the way
    result = {}
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        caps = p.capabilities()
        times.append(time.perf_counter() - t0)
    assert caps["aerodynamics"]["available"], caps
    result["stdio_median_ms"] = statistics.median(times) * 1e3

    port = free_port()
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "velmor_platform.mcp.openfoam_server",
            "--workspace",
            str(ws),
            "--http",
            "--port",
            str(port),
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    config = ws / "mcp.json"
    saved = config.read_text() if config.exists() else None
    try:
        config.write_text(
            json.dumps(
                {"timeout": 10, "servers": {"openfoam": {"url": f"http://127.0.0.1:{port}/mcp"}}}
            )
        )
        deadline = time.time() + 30
        while True:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            if time.time() > deadline:
                raise RuntimeError("HTTP template server did not start")
            time.sleep(0.1)
        p.capabilities()
        times = []
        for _ in range(repeat * 3):
            t0 = time.perf_counter()
            caps = p.capabilities()
            times.append(time.perf_counter() - t0)
        assert caps["aerodynamics"]["available"], caps
        result["http_median_ms"] = statistics.median(times) * 1e3
    finally:
        server.terminate()
        server.wait(10)
        if saved is None:
            config.unlink()
        else:
            config.write_text(saved)
    return result


def machine() -> dict:
    from importlib import metadata

    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(
                line.split(":", 1)[1].strip() for line in f if line.startswith("model name")
            )
    except (OSError, StopIteration):
        pass
    versions = {}
    for dist in ("usd-core", "mcp"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = None
    return {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "processor": model,
        "cpus": os.cpu_count(),
        **versions,
    }


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats (a rough look)")
    ap.add_argument("--json", default=str(HERE / "results.json"), help="where to write results")
    args = ap.parse_args(argv)
    repeat = 3 if args.quick else 9
    target = 0.02 if args.quick else 0.05

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp_name:
        tmp = Path(tmp_name)
        ws = seed(tmp / "ws")
        os.environ["VELMOR_WORKSPACE"] = str(ws)
        results = {"machine": machine()}
        m = results["machine"]
        print(
            f"{m['processor']}, {m['cpus']} CPUs; Python {m['python']}, usd-core "
            f"{m['usd-core']}, mcp {m['mcp']}\n"
        )
        rows = bench_members(ws, repeat * 5 // 3, target)
        results["members"] = rows
        results["geometric_mean_ratio"] = math.exp(
            sum(math.log(r["ratio"]) for r in rows) / len(rows)
        )
        print(f"{'member':<26}{'C++ ns':>10}{'Python ns':>12}{'Py/C++':>9}")
        for r in rows:
            print(f"{r['member']:<26}{r['cpp_ns']:>10.1f}{r['py_ns']:>12.1f}{r['ratio']:>8.2f}x")
        print(f"{'geometric mean':<48}{results['geometric_mean_ratio']:>8.2f}x\n")

        results["load"] = bench_load(repeat * 5 // 3)
        print(
            "load('sedan:base') {load_ns:.0f} ns vs load_product {load_product_ns:.0f} ns: "
            "{ratio:.3f}x".format(**results["load"])
        )
        results["set_targets"] = bench_set_targets(repeat)
        print("set_targets(cd=...) median {median_ms:.2f} ms".format(**results["set_targets"]))
        results["import"] = bench_import(repeat * 5 // 3)
        print(
            "import: pxr.Usd {pxr_usd_ms:.1f} ms, product_core after it adds {added_ms:.1f} ms "
            "(fastest {added_min_ms:.1f} ms); pathlib and typing alone add "
            "{pathlib_typing_ms:.1f} ms".format(**results["import"])
        )
        results["scaling"] = bench_scaling(tmp, repeat)
        print(
            "load by name: 10 products {load_10_ms:.3f} ms, 10,000 products "
            "{load_10000_ms:.3f} ms: {ratio:.3f}x".format(**results["scaling"])
        )
        results["capabilities"] = bench_capabilities(ws, 5 if args.quick else 9)
        print(
            "capabilities(): stdio median {stdio_median_ms:.0f} ms, HTTP median "
            "{http_median_ms:.0f} ms".format(**results["capabilities"])
        )

    Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    print(f"\nwritten: {args.json}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
