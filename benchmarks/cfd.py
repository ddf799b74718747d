"""Benchmark of the OpenFOAM simulation loop (not part of the test suite).

Measures, each simulation in a fresh process on a temporary copy of the
sample workspace:

- time to a converged drag coefficient for each sample product at the given
  mesh levels on 1 and 2 ranks: wall time per stage, cells, iterations, peak
  memory of the OpenFOAM processes, and the speed-up of 2 ranks over 1
  (a ratio within the same benchmark run);
- the time to prepare a case (median of repeats), per product and level;
- with ``--ahmed``: the Ahmed body with a 25 degree slant (Ahmed, Ramm and
  Faltin 1984: Cd 0.285 at 40 m/s), generated here, and the error of its Cd;
- with ``--to-cap DIR``: each product run on to its iteration cap whatever the
  verdict, its case kept in DIR for ``verdict_replay.py`` (an experiment: the
  time it gives is the cap's, not the verdict's).

Usage, from the repository root::

    python benchmarks/cfd.py                                  # quick level, 1 and 2 ranks
    python benchmarks/cfd.py --levels quick standard --ahmed
    python benchmarks/cfd.py --products hatch --levels standard --ranks 1 2

Results are printed and written to ``benchmarks/cfd_results.json``. The load
average is recorded before and after each run: on a shared machine every
figure here grows with the other work it does.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "src" / "velmor_platform" / "sample_workspace"
AHMED_CD = 0.285  # Ahmed, Ramm and Faltin (1984), 25 degree slant


def _workspace(tmp: Path) -> Path:
    root = tmp / "workspace"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns("__pycache__"))
    return root


# ------------------------------------------------------------------ one run


def _template(product: str) -> str | None:
    """The case template: the sport variant is meshed from its base's."""
    return "base" if product == "sedan:sport" else None


def run_to_cap(product: str, level: str, ranks: int, keep: Path) -> dict[str, Any]:
    """One product run on to its iteration cap, the case copied into ``keep``."""
    from velmor_platform.cfd import api, case, coefficients, runner
    from velmor_platform.core.product_core import ProductCore

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp:
        root = _workspace(Path(tmp))
        os.environ["VELMOR_WORKSPACE"] = str(root)
        template = _template(product)
        folder = api.prepare_case(
            ProductCore.load(product), workspace=root, level=level, ranks=ranks, template=template
        )
        cap = case.read_case_info(folder).get("max_iterations")
        result = runner.run_case(folder, ranks=ranks, total=cap, converged=lambda c: False)
        shutil.copytree(folder, keep / f"{product.replace(':', '-')}-{level}", symlinks=True)
        out: dict[str, Any] = {"product": product, "level": level, "ranks": ranks, "to_cap": True,
                               "status": result.status, "wall_s": round(result.wall_time_s, 1),
                               "stage_s": result.stage_times, "cells": api.mesh_cells(folder)}  # fmt: skip
        if result.status == "completed":
            s = coefficients.summarise(coefficients.read_coefficients(folder))
            out.update(cd=s.cd, cd_two_se=s.two_se("Cd"), converged=s.converged,
                       iterations=s.iterations, message=s.reason)  # fmt: skip
        return out


def run_product(product: str, level: str, ranks: int) -> dict[str, Any]:
    from velmor_platform.cfd import api
    from velmor_platform.core.product_core import ProductCore

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp:
        root = _workspace(Path(tmp))
        os.environ["VELMOR_WORKSPACE"] = str(root)
        loaded = ProductCore.load(product)
        template = _template(product)
        prep = []
        for _ in range(2):
            start = time.perf_counter()
            case = api.prepare_case(
                loaded, workspace=root, level=level, ranks=ranks, template=template
            )
            prep.append(time.perf_counter() - start)
            shutil.rmtree(case)
        load_before = os.getloadavg()[0]
        run = api.simulate(loaded, workspace=root, level=level, ranks=ranks, template=template)
        return {
            "product": product,
            "level": level,
            "ranks": ranks,
            "prepare_s": round(statistics.median(prep), 3),
            "status": run["status"],
            "converged": run.get("converged"),
            "iterations": run.get("iterations"),
            "cells": run.get("mesh_cells"),
            "wall_s": run.get("wall_time_s"),
            "stage_s": run.get("stage_times"),
            "peak_rss_mb": run.get("peak_rss_mb"),
            "cd": run.get("cd"),
            "cd_spread": run.get("cd_spread"),
            "cd_band": run.get("cd_band"),
            "cd_two_se": run.get("cd_two_se"),
            "cl": run.get("cl"),
            "cl_two_se": run.get("cl_two_se"),
            "window": [run.get("window_start"), run.get("window_end")],
            "cd_parts": [run.get(k) for k in ("cd_body", "cd_front_wheels", "cd_rear_wheels")],
            "message": run.get("message"),
            "load_before": round(load_before, 2),
            "load_after": round(os.getloadavg()[0], 2),
        }


# -------------------------------------------------------------- Ahmed body


def ahmed_triangles(slant_deg: float = 25.0, n: int = 12) -> np.ndarray:
    """The Ahmed body (1.044 x 0.389 x 0.288 m, front edges rounded with
    0.1 m, a 0.222 m rear slant), 0.05 m above the ground, without stilts.

    Cross-sections are rectangles: half-width from the plan view, bottom
    and top from the side view (the body is the intersection of the two
    extruded outlines), closed by flat front and base faces.
    """
    length, width, height, radius, slant, clearance = 1.044, 0.389, 0.288, 0.1, 0.222, 0.05
    slope = np.radians(slant_deg)
    x_slant = length - slant * np.cos(slope)
    front = radius * (1 - np.cos(np.linspace(0, np.pi / 2, 10)))
    # Rounded so that stations meant to coincide do (STL stores float32).
    stations = np.r_[front, np.linspace(radius, x_slant, 24), np.linspace(x_slant, length, 8)]
    xs = np.unique(np.round(stations, 6))

    def rounded(x: float) -> float:  # how far a front edge is cut back at x
        return radius - np.sqrt(max(0.0, radius**2 - (radius - x) ** 2)) if x < radius else 0.0

    def section(x: float) -> tuple[float, float, float]:
        cut = rounded(x)
        top = clearance + height - cut
        if x > x_slant:
            top = clearance + height - (x - x_slant) * np.tan(slope)
        return width / 2 - cut, clearance + cut, top

    def ring(x: float) -> np.ndarray:
        w, zb, zt = section(x)
        t = np.linspace(0, 1, n, endpoint=False)
        sides = [
            np.c_[-w + 2 * w * t, np.full(n, zb)],  # bottom, -y to +y
            np.c_[np.full(n, w), zb + (zt - zb) * t],  # +y side, up
            np.c_[w - 2 * w * t, np.full(n, zt)],  # top, +y to -y
            np.c_[np.full(n, -w), zt - (zt - zb) * t],  # -y side, down
        ]
        yz = np.concatenate(sides)
        return np.c_[np.full(len(yz), x), yz]

    rings = [ring(float(x)) for x in xs]
    m = len(rings[0])
    tris = []
    for a, b in itertools.pairwise(rings):
        for k in range(m):
            k1 = (k + 1) % m
            tris.append([a[k], a[k1], b[k1]])
            tris.append([a[k], b[k1], b[k]])
    for r, flip in ((rings[0], True), (rings[-1], False)):
        centre = r.mean(axis=0)
        for k in range(m):
            k1 = (k + 1) % m
            tris.append([centre, r[k1], r[k]] if flip else [centre, r[k], r[k1]])
    tri = np.array(tris)
    volume = np.einsum("ij,ij->i", tri[:, 0], np.cross(tri[:, 1], tri[:, 2])).sum()
    return tri if volume > 0 else tri[:, [0, 2, 1]]


def run_ahmed(level: str, ranks: int) -> dict[str, Any]:
    from velmor_platform.cfd import api, case, coefficients, runner
    from velmor_platform.cfd.params import Reference, RunParams
    from velmor_platform.core import geometry

    tri = ahmed_triangles()
    assert geometry.open_edges(tri) == 0
    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp:
        root = _workspace(Path(tmp))
        lo, hi = geometry.bounds(tri)
        frontal = 0.389 * 0.288
        params = RunParams(level=level, speed=40.0, ranks=ranks, template="motorBike")
        folder = case.build_case(
            workspace=root, product_id="ahmed", usd_path=root / "ahmed.usda",
            template=case.find_template(root, "motorBike"), triangles=tri,
            reference=Reference(frontal_area=frontal, wheelbase=1.044, cofr=(0.522, 0, 0)),
            params=params, source="Ahmed body, 25 degree slant",
        )  # fmt: skip
        result = runner.run_case(
            folder, ranks=ranks, total=params.max_iterations,
            converged=lambda c: api._settled(c, params.convergence_tolerance),
        )  # fmt: skip
        out: dict[str, Any] = {
            "body": "Ahmed 25 deg", "level": level, "ranks": ranks, "status": result.status,
            "wall_s": result.wall_time_s, "stage_s": result.stage_times,
            "cells": api.mesh_cells(folder), "triangles": len(tri),
            "frontal_area_m2": round(frontal, 4), "bounds": [lo.tolist(), hi.tolist()],
        }  # fmt: skip
        if result.status == "completed":
            s = coefficients.summarise(coefficients.read_coefficients(folder))
            out.update(
                cd=s.cd, cd_spread=s.cd_spread, converged=s.converged, iterations=s.iterations,
                reference_cd=AHMED_CD,
                error_pct=round(100 * (s.cd - AHMED_CD) / AHMED_CD, 1) if s.cd else None,
            )  # fmt: skip
        else:
            out["message"] = result.message
        return out


# ------------------------------------------------------------------ driver


def _one(kind: str, name: str, level: str, ranks: int, to_cap: str | None = None) -> dict[str, Any]:
    """Run one configuration in a fresh interpreter (its own peak memory)."""
    cmd = [sys.executable, __file__, "--one", kind, name, level, str(ranks)]
    cmd += ["--to-cap", to_cap] if to_cap else []
    proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        return {"kind": kind, "name": name, "level": level, "ranks": ranks,
                "error": proc.stderr.strip().splitlines()[-1:]}  # fmt: skip
    return dict(json.loads(proc.stdout.strip().splitlines()[-1]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--products", nargs="*", default=["hatch", "sedan:base", "sedan:sport"])
    parser.add_argument("--levels", nargs="*", default=["quick"])
    parser.add_argument("--ranks", nargs="*", type=int, default=[1, 2])
    parser.add_argument("--ahmed", action="store_true", help="also run the Ahmed body")
    parser.add_argument("--out", default=str(ROOT / "benchmarks" / "cfd_results.json"))
    parser.add_argument(
        "--to-cap", metavar="DIR", help="run each product to its cap, keep it in DIR"
    )
    parser.add_argument("--one", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        kind, name, level, ranks = args.one
        run = run_ahmed if kind == "ahmed" else lambda lv, r: run_product(name, lv, r)
        if args.to_cap and kind == "product":
            Path(args.to_cap).mkdir(parents=True, exist_ok=True)
            run = lambda lv, r: run_to_cap(name, lv, r, Path(args.to_cap).resolve())  # noqa: E731
        print(json.dumps(run(level, int(ranks))))
        return

    results: list[dict[str, Any]] = []
    jobs = [("product", p, lv) for lv in args.levels for p in args.products]
    if args.ahmed:
        jobs += [("ahmed", "ahmed", lv) for lv in args.levels]
    for kind, name, level in jobs:
        for ranks in args.ranks:
            entry = _one(kind, name, level, ranks, args.to_cap if kind == "product" else None)
            results.append(entry)
            print(json.dumps(entry), flush=True)
        same = [r for r in results[-len(args.ranks) :] if "wall_s" in r]
        by_ranks = {r["ranks"]: r["wall_s"] for r in same}
        if 1 in by_ranks and 2 in by_ranks:
            print(f"  {name} {level}: 2 ranks {by_ranks[1] / by_ranks[2]:.2f}x faster than 1")
    report = {
        "machine": {
            "cpus": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform(), "load_at_end": os.getloadavg(),
            "note": "shared machine: other jobs ran at the same time (see load_before/after)",
        },
        "results": results,
    }  # fmt: skip
    Path(args.out).write_text(json.dumps(report, indent=2) + "\n")
    print(f"written {args.out}")


if __name__ == "__main__":
    main()
