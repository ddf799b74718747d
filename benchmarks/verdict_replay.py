"""Replay the force history of finished cases through the convergence verdict.

For each case folder, the first iteration at which the verdict would have
stopped the run, and the mean Cd it would have recorded, with this tree's
verdict and, given ``--against REV``, with the verdict of an older commit
(read from git, nothing checked out)::

    python benchmarks/verdict_replay.py CASE... [--against 0c3c8c3]
    python benchmarks/verdict_replay.py --synthetic --against 0c3c8c3

``--synthetic`` adds a slow start-up (Cd falling from 0.37 to 0.279 with a
time constant of 180 iterations, as the 35-degree Ahmed body's fine level
did) with a little noise, 2,000 iterations long.
"""

from __future__ import annotations

import argparse
import importlib.util
import subprocess
import sys
import tempfile
from pathlib import Path
from types import ModuleType

import numpy as np

from velmor_platform.cfd import convergence
from velmor_platform.post import readers

ROOT = Path(__file__).resolve().parent.parent


def older(rev: str) -> ModuleType:
    """The convergence module as it was at ``rev``."""
    text = subprocess.run(
        ["git", "-C", str(ROOT), "show", f"{rev}:src/velmor_platform/cfd/convergence.py"],
        capture_output=True, text=True, check=True,
    ).stdout  # fmt: skip
    name = f"convergence_{rev}"
    with tempfile.TemporaryDirectory() as folder:
        source = Path(folder) / f"{name}.py"
        source.write_text(text)
        spec = importlib.util.spec_from_file_location(name, source)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up
        spec.loader.exec_module(module)
    return module


def first_stop(module: ModuleType, time: np.ndarray, cd: np.ndarray, start: int = 350) -> str:
    for n in range(start, len(cd) + 1):
        v = module.verdict(time[:n], {"Cd": cd[:n]})
        if v.converged:
            return f"{int(time[n - 1])} ({v.stats['Cd'].mean:.4f})"
    return "never"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", type=Path)
    parser.add_argument("--against", metavar="REV", help="also replay the verdict of REV")
    parser.add_argument("--synthetic", action="store_true")
    args = parser.parse_args()
    histories = []
    for folder in args.cases:
        history = readers.coefficient_history(folder)
        name = f"{folder.parent.name}/{folder.name}"
        histories.append((name, np.asarray(history["Time"]), np.asarray(history["Cd"])))
    if args.synthetic:
        t = np.arange(1.0, 2001)
        cd = 0.279 + 0.09 * np.exp(-t / 180) + 2 * np.exp(-t / 30)
        cd += 0.0006 * np.random.default_rng(1).standard_normal(len(t))
        histories.append(("synthetic slow start", t, cd))
    old = older(args.against) if args.against else None
    print("| history | iterations | this tree |" + (f" {args.against} |" if old else ""))
    print("|---|---:|---|" + ("---|" if old else ""))
    for name, t, cd in histories:
        row = f"| {name} | {len(cd)} | {first_stop(convergence, t, cd)} |"
        print(row + (f" {first_stop(old, t, cd)} |" if old else ""))


if __name__ == "__main__":
    main()
