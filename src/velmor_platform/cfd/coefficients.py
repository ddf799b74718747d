"""Reading and averaging the force coefficients of a case.

OpenFOAM v1912's forceCoeffs function object writes
``postProcessing/<name>/<startTime>/coefficient.dat``: comment lines, then a
header ``# Time Cd Cs Cl CmRoll CmPitch ...`` (tab separated) and one row per
iteration. A restart writes a new start-time folder, so the columns are
found by name and the folders merged, a later start replacing the rows from
its start time on.

The first iterations of a run are wild (|Cd| in the hundreds is normal and
one run passed through -1.6e9 before settling), so the result is the mean
over a final window that leaves them out. Whether the run has converged,
and how well the mean is known (a 95 % half-width by batch means), is
``convergence.verdict``'s judgement.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from . import convergence
from .errors import CfdError

#: Fewer iterations than this in the window cannot show convergence.
MIN_WINDOW = 20
#: A mean |Cd| above this is not a vehicle's drag: the run diverged.
IMPLAUSIBLE = 100.0

Columns = dict[str, npt.NDArray[np.float64]]


def _start_time(folder: Path) -> float:
    try:
        return float(folder.name)
    except ValueError:
        return math.inf


def _parse(path: Path) -> Columns:
    header: list[str] | None = None
    rows: list[list[float]] = []
    with path.open(encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("#"):
                words = line[1:].split()
                if words and words[0] == "Time":
                    header = words
                continue
            if header is None:
                continue
            parts = line.split()
            if len(parts) != len(header):
                continue  # a row still being written
            try:
                rows.append([float(p) for p in parts])
            except ValueError:
                continue
    if header is None:
        raise CfdError(f"{path}: no '# Time ...' column header; not a forceCoeffs output file")
    table = np.array(rows, dtype=np.float64).reshape(-1, len(header))
    return {name: table[:, i] for i, name in enumerate(header)}


def coefficient_files(case: Path, function_object: str = "forceCoeffs1") -> list[Path]:
    """The coefficient files of ``case``, oldest start time first."""
    root = case / "postProcessing" / function_object
    if not root.is_dir():
        return []
    found = []
    for folder in sorted((p for p in root.iterdir() if p.is_dir()), key=_start_time):
        for name in ("coefficient.dat", "forceCoeffs.dat"):
            if (folder / name).is_file():
                found.append(folder / name)
                break
    return found


def read_coefficients(case: Path, function_object: str = "forceCoeffs1") -> Columns:
    """Every coefficient column of ``case`` by name, restarts merged.

    Raises ``CfdError`` when the case has no forceCoeffs output.
    """
    files = coefficient_files(case, function_object)
    if not files:
        raise CfdError(f"{case}: no forceCoeffs output in postProcessing/{function_object}/")
    merged: Columns | None = None
    for path in files:
        part = _parse(path)
        if merged is None:
            merged = part
            continue
        if not len(part["Time"]):
            continue
        keep = merged["Time"] < part["Time"][0]
        names = [n for n in merged if n in part]
        merged = {n: np.concatenate([merged[n][keep], part[n]]) for n in names}
    assert merged is not None
    return merged


@dataclass(frozen=True)
class Summary:
    iterations: int  # the last iteration written
    cd: float | None
    cl: float | None
    cm_pitch: float | None
    cd_spread: float | None  # max - min of Cd over the window
    cd_relative_spread: float | None
    window: tuple[int, int] | None  # first and last iteration averaged
    converged: bool
    diverged: bool
    reason: str
    #: The convergence verdict: means and 95 % half-widths over the window.
    verdict: convergence.Verdict | None = None

    def two_se(self, name: str) -> float | None:
        stat = self.verdict.stats.get(name) if self.verdict else None
        return stat.two_se if stat is not None and math.isfinite(stat.two_se) else None

    def mean(self, name: str) -> float | None:
        stat = self.verdict.stats.get(name) if self.verdict else None
        return stat.mean if stat is not None else None


def with_axle_lift(columns: Columns) -> Columns:
    """``columns`` plus front and rear lift (``Cl(f)``, ``Cl(r)``) when absent:
    ``Cl/2 ± CmPitch`` about a centre of rotation at mid-wheelbase, with
    the wheelbase as reference length."""
    if "Cl" in columns and "CmPitch" in columns and "Cl(f)" not in columns:
        columns = dict(columns)
        columns["Cl(f)"] = columns["Cl"] / 2 + columns["CmPitch"]
        columns["Cl(r)"] = columns["Cl"] / 2 - columns["CmPitch"]
    return columns


def summarise(columns: Columns, *, tolerance: float = convergence.TOLERANCE) -> Summary:
    """The averaged coefficients over the final window, and the verdict
    (``convergence.verdict`` on Cd, each test within ``tolerance``)."""
    time = columns.get("Time", np.empty(0))
    n = len(time)
    if not n:
        return Summary(0, None, None, None, None, None, None, False, False, "no iterations written")
    last = int(time[-1])
    for name in ("Cd", "Cl", "CmPitch"):
        if name in columns and not np.isfinite(columns[name]).all():
            bad = int(time[~np.isfinite(columns[name])][0])
            return Summary(
                last, None, None, None, None, None, None, False, True,
                f"{name} is not finite from iteration {bad}",
            )  # fmt: skip
    if "Cd" not in columns:
        raise CfdError("the forceCoeffs output has no Cd column")
    wanted = {k: v for k, v in with_axle_lift(columns).items() if k != "Time"}
    verdict = convergence.verdict(time, wanted, tolerance=tolerance)
    size = verdict.window
    window = slice(n - size, n)
    cd = columns["Cd"][window]
    mean = float(cd.mean())

    def avg(name: str) -> float | None:
        return float(columns[name][window].mean()) if name in columns else None

    spread = float(cd.max() - cd.min())
    relative = spread / abs(mean) if mean else math.inf
    span = verdict.span
    if abs(mean) > IMPLAUSIBLE:
        return Summary(
            last, None, None, None, spread, relative, span, False, True,
            f"mean Cd {mean:.3g} over iterations {span[0]}-{span[1]} is not physical",
        )  # fmt: skip
    if size < MIN_WINDOW:
        reason = f"{verdict.message}; only {size} averaged: too few to judge convergence"
        return Summary(
            last, mean, avg("Cl"), avg("CmPitch"), spread, relative, span, False, False,
            reason, verdict,
        )  # fmt: skip
    return Summary(
        last, mean, avg("Cl"), avg("CmPitch"), spread, relative, span, verdict.converged, False,
        verdict.message, verdict,
    )  # fmt: skip


def latest_cd(case: Path, function_object: str = "forceCoeffs1") -> tuple[int, float] | None:
    """The last ``(iteration, Cd)`` written so far, cheaply (for progress)."""
    files = coefficient_files(case, function_object)
    if not files:
        return None
    path = files[-1]
    try:
        with path.open("rb") as f:
            f.seek(0, 2)
            size = f.tell()
            f.seek(max(0, size - 4096))
            tail = f.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return None
    for line in reversed(tail[1:] if len(tail) > 1 else tail):
        parts = line.split()
        if len(parts) > 2 and not line.startswith("#"):
            try:
                return int(float(parts[0])), float(parts[1])
            except ValueError:
                continue
    return None
