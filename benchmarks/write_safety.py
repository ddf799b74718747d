"""What the safety of product writes costs: the product lock, the fsyncs and
the composition check, in set_targets and in load.

Run from the repository root, with the package installed::

    python benchmarks/write_safety.py [--rounds 40] [--per-round 5]

In one process, on a fresh copy of the sample workspace, the same calls are
timed round-robin with parts of the safety switched off by replacing them
in this process only:

* ``real``: everything as shipped;
* ``no lock, no fsync``: ``layer_io.product_lock`` does nothing and
  ``os.fsync`` returns at once (the atomic rename stays);
* ``no composition check``: the layers are opened without checking where
  they lead;
* ``whole stage`` (set_targets only): the stage set_targets edits composes
  the whole product, geometry and runs included, as it once did, instead
  of the vehicle prim alone.

Medians per call in microseconds, and each variant's ratio to ``real``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any


@contextlib.contextmanager
def _no_lock_no_fsync() -> Iterator[None]:
    from velmor_platform.core import layer_io

    real_lock, real_fsync = layer_io.product_lock, os.fsync

    @contextlib.contextmanager
    def no_lock(usd_path: Any, timeout: float | None = None) -> Iterator[Path]:
        yield Path(os.fspath(usd_path))

    layer_io.product_lock = no_lock  # type: ignore[assignment]
    os.fsync = lambda fd: None
    try:
        yield
    finally:
        layer_io.product_lock = real_lock
        os.fsync = real_fsync


@contextlib.contextmanager
def _no_composition_check() -> Iterator[None]:
    from pxr import Sdf

    from velmor_platform.core import containment, usd_product

    real = containment.open_contained_layers

    def unchecked(path: Any) -> list[Any]:
        return [Sdf.Layer.FindOrOpen(os.fspath(path))]

    containment.open_contained_layers = unchecked  # type: ignore[assignment]
    usd_product.open_contained_layers = unchecked  # type: ignore[assignment]
    try:
        yield
    finally:
        containment.open_contained_layers = real
        usd_product.open_contained_layers = real


@contextlib.contextmanager
def _whole_stage() -> Iterator[None]:
    from pxr import Usd

    from velmor_platform.core import usd_product

    real = usd_product.open_vehicle_stage

    def whole(layer: Any, *, with_runs: bool = False) -> Any:
        return Usd.Stage.Open(layer, Usd.Stage.LoadNone)

    usd_product.open_vehicle_stage = whole  # type: ignore[assignment]
    try:
        yield
    finally:
        usd_product.open_vehicle_stage = real


VARIANTS: dict[str, Callable[[], contextlib.AbstractContextManager[None]]] = {
    "real": contextlib.nullcontext,
    "no lock, no fsync": _no_lock_no_fsync,
    "no composition check": _no_composition_check,
    "whole stage": _whole_stage,
}
# Variants that only make sense for some calls.
ONLY_FOR = {"whole stage": "set_targets"}


def measure(
    label: str, call: Callable[[], object], rounds: int, per_round: int
) -> dict[str, float]:
    """Median microseconds per call of each variant, timed round-robin."""
    variants = {n: v for n, v in VARIANTS.items() if ONLY_FOR.get(n, label) == label}
    samples: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(rounds):
        for name, variant in variants.items():
            with variant():
                for _ in range(per_round):
                    start = time.perf_counter()
                    call()
                    samples[name].append((time.perf_counter() - start) * 1e6)
    return {name: statistics.median(values) for name, values in samples.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--per-round", type=int, default=5)
    args = parser.parse_args()

    from velmor_platform.core.workspace import seed_workspace

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as tmp:
        workspace = seed_workspace(Path(tmp) / "workspace")
        os.environ["VELMOR_WORKSPACE"] = str(workspace)
        from velmor_platform.core.product_core import ProductCore

        product = ProductCore.load("hatch")  # geometry resolved once
        counter = iter(range(10**9))
        calls: dict[str, Callable[[], object]] = {
            "set_targets": lambda: product.set_targets(cd=0.2 + next(counter) % 100 * 1e-4),
            "load": lambda: ProductCore.load("hatch"),
        }
        print(
            f"Python {sys.version.split()[0]}; medians of {args.rounds} x {args.per_round} "
            f"calls per variant, round-robin; workspace on {tmp}"
        )
        print(f"{'call':<12} {'variant':<22} {'median us':>10} {'real / variant':>15}")
        for label, call in calls.items():
            call()  # warm up
            medians = measure(label, call, args.rounds, args.per_round)
            for name, median in medians.items():
                ratio = medians["real"] / median
                print(f"{label:<12} {name:<22} {median:>10.1f} {ratio:>14.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
