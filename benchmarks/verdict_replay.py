"""Replay the force history of finished cases through the convergence verdict.

For each case folder (or a folder holding a case's ``forceCoeffs1`` output),
the first iteration at which the verdict would have stopped the run, the
mean Cd and band it would have recorded, the mean the whole history gives
(the verdict's mean at its last iteration) and whether that lies inside the
band recorded at the stop, the same for each lift the verdict tests (Cl and
the front and rear axles'), with this tree's verdict and, given
``--against REV``, with the verdict of an older commit (read from git,
nothing checked out)::

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

from velmor_platform.cfd import coefficients, convergence
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


Stop = tuple[int, dict[str, tuple[float, float]]]
LIFTS = ("Cl", "Cl(f)", "Cl(r)")


def first_stop(
    module: ModuleType, time: np.ndarray, columns: dict[str, np.ndarray], start: int = 150
) -> Stop | None:
    """``(iteration, {coefficient: (mean, band)})`` where ``module``'s verdict first stops."""
    for n in range(start, len(time) + 1):
        v = module.verdict(time[:n], {k: c[:n] for k, c in columns.items()})
        if v.converged:
            return int(time[n - 1]), {k: (x.mean, x.two_se) for k, x in v.stats.items()}
    return None


def _stop(stop: Stop | None, final: dict[str, float]) -> str:
    """The stop's iteration, Cd and band, Cd's distance from the final mean, and whether each
    lift's mean at the stop lies inside its own band about the final mean."""
    if stop is None:
        return "never | — | — | —"
    it, stats = stop
    mean, band = stats["Cd"]
    inside = "yes" if abs(mean - final["Cd"]) <= band else "no"
    share = f", {abs(mean - final['Cd']) / band:.2f} of it" if band else ""
    lifts = [
        f"{k} {'yes' if abs(stats[k][0] - final[k]) <= stats[k][1] else 'no'}"
        for k in LIFTS
        if k in stats and k in final
    ]
    return (
        f"{it} | {mean:.5f} ± {band:.5f} | {mean - final['Cd']:+.5f} ({inside}{share}) "
        f"| {', '.join(lifts) or '—'}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", type=Path)
    parser.add_argument("--against", metavar="REV", help="also replay the verdict of REV")
    parser.add_argument("--synthetic", action="store_true")
    args = parser.parse_args()
    histories = []
    for folder in args.cases:
        if (folder / "forceCoeffs1").is_dir() and not (folder / "postProcessing").is_dir():
            kept = Path(tempfile.mkdtemp(prefix="velmor-replay-"))  # a kept forceCoeffs1 alone
            (kept / "postProcessing").mkdir()
            (kept / "postProcessing" / "forceCoeffs1").symlink_to(
                (folder / "forceCoeffs1").resolve()
            )
            columns = coefficients.read_coefficients(kept)
        else:
            columns = readers.coefficient_history(folder)
        if "Time" not in columns:
            print(f"{folder}: no force history", file=sys.stderr)
            continue
        columns = coefficients.with_axle_lift(columns)
        t = np.asarray(columns.pop("Time"))
        wanted = {k: np.asarray(columns[k]) for k in ("Cd", "Cl", "Cl(f)", "Cl(r)") if k in columns}
        histories.append((f"{folder.parent.name}/{folder.name}", t, wanted))
    if args.synthetic:
        t = np.arange(1.0, 2001)
        cd = 0.279 + 0.09 * np.exp(-t / 180) + 2 * np.exp(-t / 30)
        cd += 0.0006 * np.random.default_rng(1).standard_normal(len(t))
        histories.append(("synthetic slow start", t, {"Cd": cd}))
    old = older(args.against) if args.against else None
    print(
        "| history | iterations | stops at | Cd there ± band | from the final mean (inside) "
        "| lifts inside |" + (f" {args.against} |" if old else "")
    )
    print("|---|---:|---:|---|---|---|" + ("---|" if old else ""))
    for name, t, columns in histories:
        final = {k: x.mean for k, x in convergence.verdict(t, columns).stats.items()}
        row = f"| {name} | {len(t)} | {_stop(first_stop(convergence, t, columns), final)} |"
        if old:
            stop = first_stop(old, t, {"Cd": columns["Cd"]})
            then = "never" if stop is None else f"{stop[0]} ({stop[1]['Cd'][0]:.4f})"
            row += f" {then} |"
        print(row)


if __name__ == "__main__":
    main()
