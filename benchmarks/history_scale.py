"""``velmor`` on a product with a long run history.

Builds a copy of the sample workspace whose ``hatch`` product holds 10,000
recorded runs (a runs layer of about 5 MB) and times, in fresh processes and
interleaved round by round, ``show``, ``history`` and ``targets set`` on it
against the same commands on ``sedan:base`` (3 runs). Prints medians and
ratios. Run from the repository root with the package installed::

    python benchmarks/history_scale.py [--runs 10000] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RUN = """        def Scope "run_{i:05d}"
        {{
            string runId = "hatch-{i:05d}"
            string timestamp = "2025-{month:02d}-{day:02d}T10:{minute:02d}:00Z"
            token domain = "aerodynamics"
            string solver = "openfoam"
            string solverVersion = "v2312"
            token status = "completed"
            int meshCells = 9600000
            double wallTimeS = 7410
            double cd = 0.{cd}
            double cl = 0.151
            double cmPitch = 0.018
        }}

"""


def write_runs(path: Path, count: int) -> None:
    header = '#usda 1.0\n(\n    doc = "generated runs"\n)\n\n'
    parts = [header + 'over "Vehicle"\n{\n    def Scope "Simulations"\n    {\n']
    for i in range(count):
        parts.append(
            RUN.format(i=i, month=1 + i % 12, day=1 + i % 28, minute=i % 60, cd=300 + i % 50)
        )
    parts.append("    }\n}\n")
    path.write_text("".join(parts))


def _time(command: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    subprocess.run(
        command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True
    )
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    from velmor_platform.core.workspace import sample_workspace_path

    velmor = shutil.which("velmor", path=os.path.dirname(sys.executable)) or "velmor"
    with tempfile.TemporaryDirectory() as tmp:
        ws = Path(tmp) / "ws"
        shutil.copytree(sample_workspace_path(), ws)
        write_runs(ws / "products/hatch/runs.usda", options.runs)
        env = {**os.environ, "VELMOR_WORKSPACE": str(ws)}
        # As installed, modules load from their byte-code caches: let the
        # warm-up below write them.
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        commands = {}
        for product, label in (("hatch", f"{options.runs} runs"), ("sedan:base", "3 runs")):
            commands[f"show ({label})"] = [velmor, "show", product]
            commands[f"history ({label})"] = [velmor, "history", product]
            commands[f"targets set ({label})"] = [velmor, "targets", "set", product, "--cl", "0.1"]
        # The runs layer parsed alone (as the containment check parses it),
        # against an interpreter that only imports OpenUSD: the part of every
        # command that grows with the runs by design.
        parse = "from pxr import Sdf; Sdf.Layer.FindOrOpen({!r})"
        commands["parse the runs layer (10k)"] = [
            sys.executable, "-c", parse.format(str(ws / "products/hatch/runs.usda"))
        ]  # fmt: skip
        commands["import OpenUSD only"] = [sys.executable, "-c", "from pxr import Sdf"]
        for command in commands.values():  # warm up; the first load also rewrites geometry URIs
            _time(command, env)
        times: dict[str, list[float]] = {name: [] for name in commands}
        for _ in range(options.rounds):
            for name, command in commands.items():
                times[name].append(_time(command, env))
    medians = {name: statistics.median(values) for name, values in times.items()}
    print(f"{options.rounds} rounds, medians:")
    for name, value in medians.items():
        print(f"  {name:28s} {value:6.2f} s")
    for name in ("show", "history", "targets set"):
        many, few = medians[f"{name} ({options.runs} runs)"], medians[f"{name} (3 runs)"]
        print(f"  {name:12s} {options.runs} runs / 3 runs: {many / few:5.2f}x")
    parse = medians["parse the runs layer (10k)"] - medians["import OpenUSD only"]
    many, few = medians[f"targets set ({options.runs} runs)"], medians["targets set (3 runs)"]
    print(f"  parsing the runs layer: {parse:.2f} s")
    print(f"  targets set without that parse: {many - parse:.2f} s against {few:.2f} s")


if __name__ == "__main__":
    main()
