"""Benchmark of studies (not part of the test suite).

Measures, each on a temporary copy of the sample workspace:

- ``local``: two one-rank quick cases run one after the other (the local
  executor with one core) and in parallel (two cores): the throughput ratio
  serial time / parallel time, within the same run;
- ``slurm``: on a one-node Slurm cluster started here (velmor_platform.study.cluster),
  the overhead per case: submit to start plus end (the job's exit file) to
  recorded, over cases whose Allrun only sleeps;
- ``status``: ``study_status`` of a stored 200-case study, in process, in a
  fresh interpreter, and as the command ``velmor study status`` (wall and CPU
  time, medians of 7, next to ``velmor --help`` as the floor of any command);
- ``state``: the bytes written (``wchar`` of ``/proc/self/io``) and the time
  of saving a 2,000-case study's state after each of 2,000 case changes,
  against the size of the whole state;
- ``yaw``: a yaw sweep (0, 5, 10, 15 degrees) of one sample product at the
  quick level on the local Slurm cluster: its wall time, Cd and side force
  against yaw, and the chart (``benchmarks/yaw_sweep.svg``).

Usage, from the repository root::

    python benchmarks/studies.py local slurm status state
    python benchmarks/studies.py yaw --product hatch --iterations 400

Results are printed and written to ``benchmarks/studies_results.json``. The
load average is recorded before and after each part: the machine is shared,
and every figure here grows with the other work it does.
"""

from __future__ import annotations

import argparse
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

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "src" / "velmor_platform" / "sample_workspace"


def _workspace(tmp: Path) -> Path:
    root = tmp / "workspace"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns("__pycache__"))
    return root


def _load() -> float:
    return round(os.getloadavg()[0], 2)


# ------------------------------------------------------------------ local


def bench_local(tmp: Path, product: str, iterations: int) -> dict[str, Any]:
    from velmor_platform.study import model, runner
    from velmor_platform.study.executors import LocalExecutor

    out: dict[str, Any] = {"product": product, "iterations": iterations, "load_before": _load()}
    for label, cores in (("serial", 1), ("parallel", 2)):
        ws = _workspace(tmp / label)
        study = model.from_values(
            name=label, products=[product], speeds=[29, 31], iterations=iterations
        )
        runner.open_study(ws, study)
        runner._prepare(ws, runner.StudyState.load(ws, label), lambda e: None)
        start = time.monotonic()
        state = runner.run_study(ws, name=label, executor=LocalExecutor(cores), poll_s=0.2)
        out[f"{label}_s"] = round(time.monotonic() - start, 2)
        out[f"{label}_statuses"] = sorted(e["status"] for e in state.cases.values())
    out["throughput_ratio"] = round(out["serial_s"] / out["parallel_s"], 2)
    out["load_after"] = _load()
    return out


# ------------------------------------------------------------------ slurm overhead


def bench_slurm(tmp: Path, cases: int) -> dict[str, Any]:
    from velmor_platform.study import model, runner
    from velmor_platform.study.cluster.daemons import LocalCluster
    from velmor_platform.study.config import SlurmConfig
    from velmor_platform.study.slurm import SlurmExecutor

    ws = _workspace(tmp / "slurm")
    overheads = []
    with LocalCluster(tmp / "cluster") as cluster:
        executor = SlurmExecutor(SlurmConfig(slurm_conf=str(cluster.conf), poll_s=0.2))
        executor.check()
        for i in range(cases):
            name = f"o{i}"
            study = model.from_values(name=name, products=["hatch"], speeds=[20 + i])
            state = runner.open_study(ws, study)
            runner._prepare(ws, state, lambda e: None)
            state = runner.StudyState.load(ws, name)
            entry = next(iter(state.cases.values()))
            case = Path(entry["case_dir"])
            (case / "Allrun").write_text("#!/bin/sh\nsleep 1\nexit 1\n")
            state = runner.run_study(ws, name=name, executor=executor, poll_s=0.2)
            entry = next(iter(state.cases.values()))
            started = float((case / "velmor-started").read_text())
            ended = (case / "velmor-exit").stat().st_mtime
            overheads.append(
                {
                    "submit_to_start_s": round(started - entry["submitted"], 3),
                    "end_to_recorded_s": round(entry["ended"] - ended, 3),
                }
            )
    per_case = [o["submit_to_start_s"] + o["end_to_recorded_s"] for o in overheads]
    return {
        "cases": overheads,
        "overhead_median_s": round(statistics.median(per_case), 3),
        "overhead_max_s": round(max(per_case), 3),
        "first_case_s": round(per_case[0], 3),
        "load": _load(),
    }


# ------------------------------------------------------------------ status


def bench_status(tmp: Path, n: int = 200) -> dict[str, Any]:
    from velmor_platform.study import model, runner
    from velmor_platform.study.state import StudyState
    from velmor_platform.study.status import study_status

    ws = _workspace(tmp / "status")
    study = model.from_values(
        name="big", products=["hatch", "sedan:base"], speeds=[20, 25, 30, 35, 40],
        yaw=[float(y) for y in range(-10, 10)],
    )  # fmt: skip
    runner.open_study(ws, study)
    state = StudyState.load(ws, "big")
    statuses = ["completed", "running", "queued", "failed", "prepared"]
    for i, (key, _) in enumerate(list(state.cases.items())[:n]):
        state.update(key, status=statuses[i % 5], case_dir=f"/x/{key}", job=str(1000 + i), cd=0.3)
    state.cases = dict(list(state.cases.items())[:n])
    state.save()
    times = []
    for _ in range(20):
        start = time.perf_counter()
        study_status(ws, "big")
        times.append(time.perf_counter() - start)
    fresh = []
    code = (
        "import sys; from velmor_platform.study.status import study_status; "
        f"s = study_status({str(ws)!r}, 'big'); print(len(s['cases']))"
    )
    for _ in range(5):
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        fresh.append(time.perf_counter() - start)
        assert done.stdout.strip() == str(n), done.stderr
    import resource

    def timed(argv: list[str]) -> tuple[float, float]:
        """Wall and CPU (user + system) seconds of one child process."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        done = subprocess.run(argv, capture_output=True, text=True)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        assert done.returncode == 0, done.stderr
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return wall, cpu

    velmor = [sys.executable, "-m", "velmor_platform", "--workspace", str(ws)]
    status_runs = [timed([*velmor, "study", "status", "big"]) for _ in range(7)]
    help_runs = [timed([*velmor, "--help"]) for _ in range(7)]
    return {
        "cases": n,
        "in_process_ms": round(min(times) * 1000, 2),
        "fresh_process_s": round(statistics.median(fresh), 3),
        "velmor_study_status_wall_s": round(statistics.median(w for w, _ in status_runs), 3),
        "velmor_study_status_cpu_s": round(statistics.median(c for _, c in status_runs), 3),
        "velmor_help_wall_s": round(statistics.median(w for w, _ in help_runs), 3),
        "velmor_help_cpu_s": round(statistics.median(c for _, c in help_runs), 3),
        "load": _load(),
    }


# ------------------------------------------------------------------ state writes


def _written() -> int:
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("wchar:")).split()[1])


def bench_state(tmp: Path) -> dict[str, Any]:
    from velmor_platform.study import model, runner

    ws = _workspace(tmp / "state")
    study = model.from_values(
        name="big", products=["hatch", "sedan:base"], speeds=list(range(21, 41)),
        yaw=[float(y) for y in range(-25, 25)],
    )  # fmt: skip
    state = runner.open_study(ws, study)
    before, start = _written(), time.perf_counter()
    for key in state.cases:
        state.update(key, status="prepared", case_dir=str(ws / "cases" / key))
        state.save()
    seconds, written = time.perf_counter() - start, _written() - before
    whole = (state.folder / "state.json").stat().st_size
    return {
        "cases": len(state.cases), "saves": len(state.cases),
        "written_mb": round(written / 1e6, 2), "whole_state_kb": round(whole / 1e3, 1),
        "written_per_save_kb": round(written / len(state.cases) / 1e3, 2),
        "seconds": round(seconds, 2), "load": _load(),
    }  # fmt: skip


# ------------------------------------------------------------------ yaw sweep


def bench_yaw(tmp: Path, product: str, iterations: int | None) -> dict[str, Any]:
    from velmor_platform.study import model, results, runner
    from velmor_platform.study.cluster.daemons import LocalCluster
    from velmor_platform.study.config import SlurmConfig
    from velmor_platform.study.slurm import SlurmExecutor

    ws = _workspace(tmp / "yaw")
    study = model.from_values(
        name="yaw", products=[product], yaw=[0, 5, 10, 15], levels=["quick"],
        iterations=iterations, executor="slurm",
    )  # fmt: skip
    load_before = _load()
    with LocalCluster(tmp / "cluster") as cluster:
        executor = SlurmExecutor(SlurmConfig(slurm_conf=str(cluster.conf)))
        start = time.monotonic()
        state = runner.run_study(ws, study, executor=executor)
        wall = time.monotonic() - start
    rows = [
        {
            k: e.get(k)
            for k in (
                "yaw",
                "status",
                "cd",
                "cs",
                "cm_yaw",
                "mesh_cells",
                "iterations",
                "wall_time_s",
                "converged",
            )
        }
        for e in state.cases.values()
    ]
    chart = ROOT / "benchmarks" / "yaw_sweep.svg"
    chart.write_bytes(results.chart(ws, "yaw", "svg"))
    return {
        "product": product, "iterations": iterations, "wall_s": round(wall, 1),
        "rows": rows, "chart": str(chart.relative_to(ROOT)),
        "load_before": load_before, "load_after": _load(),
    }  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("parts", nargs="+", choices=["local", "slurm", "status", "state", "yaw"])
    parser.add_argument("--product", default="hatch")
    parser.add_argument("--iterations", type=int, default=None)
    parser.add_argument("--local-iterations", type=int, default=60)
    parser.add_argument("--slurm-cases", type=int, default=5)
    args = parser.parse_args()
    os.environ.setdefault("WM_PROJECT_DIR", "/usr/share/openfoam")
    out_path = ROOT / "benchmarks" / "studies_results.json"
    try:
        saved = json.loads(out_path.read_text())
    except (OSError, ValueError):
        saved = {}
    saved["machine"] = f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs"
    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp_name:
        tmp = Path(tmp_name)
        for part in args.parts:
            if part == "local":
                result = bench_local(tmp, args.product, args.local_iterations)
            elif part == "slurm":
                result = bench_slurm(tmp, args.slurm_cases)
            elif part == "status":
                result = bench_status(tmp)
            elif part == "state":
                result = bench_state(tmp)
            else:
                result = bench_yaw(tmp, args.product, args.iterations)
            result["measured"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
            saved[part] = result
            print(part, json.dumps(result, indent=1))
            out_path.write_text(json.dumps(saved, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
