"""Start-up time of the ``velmor`` command, as a user feels it.

Times, in fresh processes and interleaved round by round so that machine
load falls on all alike:

* ``velmor --help`` (the console script);
* ``velmor show sedan:base`` on a copy of the sample workspace;
* ``python -c "import pxr.Usd"``, the floor under any command that reads a
  product.

Prints the medians and ``show`` minus the OpenUSD import. Run from the
repository root with the package installed::

    python benchmarks/cli_startup.py [--rounds 21]
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


def _time(command: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    subprocess.run(
        command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True
    )
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=21)
    rounds = parser.parse_args().rounds
    from velmor_platform.core.workspace import sample_workspace_path

    velmor = shutil.which("velmor", path=os.path.dirname(sys.executable)) or "velmor"
    with tempfile.TemporaryDirectory() as tmp:
        ws = Path(tmp) / "ws"
        shutil.copytree(sample_workspace_path(), ws)
        env = {**os.environ, "VELMOR_WORKSPACE": str(ws)}
        # As installed, modules load from their byte-code caches: let the
        # warm-up below write them.
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        commands = {
            "velmor --help": [velmor, "--help"],
            "velmor show sedan:base": [velmor, "show", "sedan:base"],
            "python -c 'import pxr.Usd'": [sys.executable, "-c", "import pxr.Usd"],
        }
        for command in commands.values():  # warm the file cache
            _time(command, env)
        times: dict[str, list[float]] = {name: [] for name in commands}
        for _ in range(rounds):
            for name, command in commands.items():
                times[name].append(_time(command, env))
    medians = {name: statistics.median(values) for name, values in times.items()}
    print(f"{rounds} rounds, medians:")
    for name, value in medians.items():
        print(f"  {name:30s} {value * 1000:7.1f} ms")
    extra = medians["velmor show sedan:base"] - medians["python -c 'import pxr.Usd'"]
    print(f"  show beyond the OpenUSD import {extra * 1000:7.1f} ms")


if __name__ == "__main__":
    main()
