"""The frontal-area raster on a hostile upload: 25 vehicle-sized triangles,
each with a coincident twin facing the other way (a 2.6 KB binary STL that
passes the closed-edge test). Prints the time and peak memory of the raster
``velmor variant`` uses, over 3 repeats.

    python benchmarks/raster.py [--old COMMIT-ISH]

With ``--old`` the raster is also timed as it stood at that commit (its
``core/variants.py`` read with ``git show``), for a before/after figure.
"""

from __future__ import annotations

import argparse
import subprocess
import time
import tracemalloc
import types
from pathlib import Path

import numpy as np

from velmor_platform.core.bodies import raster

ROOT = Path(__file__).resolve().parent.parent


def hostile(pairs: int = 25) -> np.ndarray:
    rng = np.random.default_rng(7)
    tri = []
    for _ in range(pairs):
        # As large as the plausible-extent check lets through: 30 x 6 x 6 m.
        a = [0.0, -3.0 + rng.uniform(0, 0.05), 0.0]
        b = [30.0, 3.0 - rng.uniform(0, 0.05), 0.1]
        c = [15.0, 3.0, 6.0 - rng.uniform(0, 0.05)]
        tri += [[a, b, c], [a, c, b]]
    return np.asarray(tri, dtype=np.float64)


def measure(label: str, func: object, triangles: np.ndarray) -> None:
    times = []
    for _ in range(3):
        tracemalloc.start()
        start = time.perf_counter()
        area = func(triangles)  # type: ignore[operator]
        times.append(time.perf_counter() - start)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    print(f"{label}: area {area:.4f} m2, best {min(times):.3f} s, peak {peak / 1e6:.0f} MB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", help="also time the raster of this commit")
    args = parser.parse_args()
    triangles = hostile()
    print(f"{len(triangles)} triangles, {84 + 50 * len(triangles)} bytes as binary STL")
    measure("now", lambda t: raster.frontal_area(t, 0.004), triangles)
    if args.old:
        source = subprocess.run(
            ["git", "show", f"{args.old}:src/velmor_platform/core/variants.py"],
            cwd=ROOT, check=True, capture_output=True, text=True,
        ).stdout  # fmt: skip
        old = types.ModuleType("old_variants")
        old.__dict__["__name__"] = "velmor_platform.core.old_variants"
        old.__dict__["__package__"] = "velmor_platform.core"
        exec(compile(source, "old_variants.py", "exec"), old.__dict__)
        measure(f"at {args.old}", old.frontal_area, triangles)


if __name__ == "__main__":
    main()
