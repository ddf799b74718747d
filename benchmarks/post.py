"""Benchmark of a run's post-processing set and report (not part of the test suite).

Measures, on a quick case of the sample sedan meshed once:

- what the post-processing set costs the solve: simpleFoam with the case's
  function objects against the same case with them removed, the same
  number of iterations (the automatic stop is off), runs alternated,
  medians of CPU seconds (on a shared machine wall time measures the
  neighbours); plus the checkMesh stage; as a fraction of the solve and of
  the whole run (meshing included);
- the time to make the report of that run from nothing (pictures and
  plots, the HTML written), wall and CPU seconds of every process, and its
  size;
- the time to answer the report once it exists (the cache).

Usage, from the repository root::

    python benchmarks/post.py                 # 200 iterations, 2 repeats
    python benchmarks/post.py --iterations 300 --repeats 3

Results are printed and written to ``benchmarks/post_results.json``. The
load average is recorded: on a shared machine every figure grows with the
other work it does; the ratios are taken between runs interleaved in time.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "src" / "velmor_platform" / "sample_workspace"


def cpu_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_all() -> float:
    mine = resource.getrusage(resource.RUSAGE_SELF)
    return mine.ru_utime + mine.ru_stime + cpu_children()


def sh(argv: list[str], cwd: Path, log: str) -> float:
    """Run an OpenFOAM program; its CPU seconds (wall time on a shared machine
    measures the neighbours as much as the program)."""
    env = dict(os.environ)
    env.setdefault("WM_PROJECT_DIR", "/usr/share/openfoam")
    start = cpu_children()
    with (cwd / f"log.{log}").open("wb") as out:
        subprocess.run(argv, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT, check=True)
    return cpu_children() - start


def strip_post(case: Path) -> None:
    from foamlib import FoamFile

    from velmor_platform.cfd import functions

    control = FoamFile(case / "system" / "controlDict")
    with control:
        for name in list(control["functions"].keys()):  # type: ignore[union-attr]
            if name.startswith(functions.PREFIX):
                del control["functions", name]


def no_auto_stop(case: Path) -> None:
    from foamlib import FoamFile

    control = FoamFile(case / "system" / "controlDict")
    # Cases stop on velmor's verdict (the runner's); OpenFOAM's own stop is gone.
    with contextlib.suppress(KeyError):
        del control["functions", "runTimeControl1"]


def solve(case: Path) -> float:
    for old in case.iterdir():
        if old.name.replace(".", "").isdigit() and old.name != "0":
            shutil.rmtree(old)
    shutil.rmtree(case / "postProcessing", ignore_errors=True)
    shutil.rmtree(case / "0", ignore_errors=True)
    shutil.copytree(case / "0.orig", case / "0")
    return sh(["simpleFoam"], case, "simpleFoam")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--output", default=str(ROOT / "benchmarks" / "post_results.json"))
    args = parser.parse_args()

    from velmor_platform.cfd import api
    from velmor_platform.core.product_core import ProductCore
    from velmor_platform.post import report

    tmp = Path(tempfile.mkdtemp(prefix="velmor-post-bench-"))
    try:
        workspace = tmp / "workspace"
        shutil.copytree(SAMPLE, workspace, ignore=shutil.ignore_patterns("__pycache__"))
        os.environ["VELMOR_WORKSPACE"] = str(workspace)
        product = ProductCore.load("sedan:base")
        with_post = api.prepare_case(
            product, workspace=workspace, iterations=args.iterations, output=tmp / "with"
        )
        no_auto_stop(with_post)
        load_before = os.getloadavg()
        meshing = sum(
            sh(argv, with_post, argv[0])
            for argv in (
                ["surfaceFeatureExtract"],
                ["blockMesh"],
                ["snappyHexMesh", "-overwrite"],
            )
        )
        without = tmp / "without"
        shutil.copytree(with_post, without)
        strip_post(without)
        times: dict[str, list[float]] = {"with": [], "without": []}
        for _ in range(args.repeats):
            times["without"].append(solve(without))
            times["with"].append(solve(with_post))
        check = sh(["checkMesh", "-latestTime"], with_post, "checkMesh")
        solve_with = statistics.median(times["with"])
        solve_without = statistics.median(times["without"])
        added = solve_with - solve_without + check
        run = {"run_id": "bench-0001", "status": "completed"}
        made, made_cpu, sizes = [], [], []
        for _ in range(args.repeats):
            shutil.rmtree(report.post_dir(with_post), ignore_errors=True)
            start, start_cpu = time.monotonic(), cpu_all()
            data = report.run_report(with_post, run)
            page = report.write_html(with_post, data, tmp / "report" / "report.html")
            made.append(time.monotonic() - start)
            made_cpu.append(cpu_all() - start_cpu)
            sizes.append(page.stat().st_size)
        start = time.monotonic()
        for _ in range(20):
            report.run_report(with_post, run)
        cached = (time.monotonic() - start) / 20
        results: dict[str, Any] = {
            "iterations": args.iterations,
            "cells": api.mesh_cells(with_post),
            "meshing_cpu_s": round(meshing, 2),
            "solve_with_post_cpu_s": [round(t, 2) for t in times["with"]],
            "solve_without_post_cpu_s": [round(t, 2) for t in times["without"]],
            "check_mesh_cpu_s": round(check, 2),
            "added_cpu_s": round(added, 2),
            "added_fraction_of_solve": round(added / solve_without, 4),
            "added_fraction_of_run": round(added / (solve_without + meshing), 4),
            "post_processing_set_bytes": sum(
                f.stat().st_size
                for f in (with_post / "postProcessing").rglob("*")
                if f.is_file() and "forceCoeffs1" not in f.parts
            ),
            "report_make_wall_s": [round(t, 2) for t in made],
            "report_make_cpu_s": [round(t, 2) for t in made_cpu],
            "report_html_bytes": max(sizes),
            "report_pictures": len(data["images"]),
            "renderer": data["renderer"],
            "report_cached_ms": round(cached * 1000, 2),
            "load_before": [round(v, 2) for v in load_before],
            "load_after": [round(v, 2) for v in os.getloadavg()],
            "cpus": os.cpu_count(),
            "python": sys.version.split()[0],
        }
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    text = json.dumps(results, indent=2)
    print(text)
    Path(args.output).write_text(text + "\n")


if __name__ == "__main__":
    main()
