"""Reading what a case's post-processing set wrote, as plain numbers.

Every reader answers ``None`` (or an empty result) when the case does not
hold what it reads: a case recorded from elsewhere gets whatever it has.
Nothing here needs a renderer: the surfaces are located, not loaded.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..cfd import coefficients
from ..cfd import functions as fo
from ..cfd.errors import CfdError

Columns = dict[str, npt.NDArray[np.float64]]
_NUMBER = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")


def _start_time(folder: Path) -> float:
    try:
        return float(folder.name)
    except ValueError:
        return math.inf


def _files(case: Path, name: str, filename: str) -> list[Path]:
    root = case / "postProcessing" / name
    if not root.is_dir():
        return []
    out = []
    for folder in sorted((p for p in root.iterdir() if p.is_dir()), key=_start_time):
        if (folder / filename).is_file():
            out.append(folder / filename)
    return out


def read_table(path: Path) -> Columns:
    """A whitespace table with a ``# Time ...`` header; ``(x y z)`` groups
    are flattened; columns that are not numbers (solver names) are left out."""
    header: list[str] | None = None
    rows: list[list[float]] = []
    keep: list[int] = []
    with path.open(encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("#"):
                words = line[1:].replace("(", " ").replace(")", " ").split()
                if words and words[0] == "Time":
                    header = words
                continue
            if header is None:
                continue
            parts = line.replace("(", " ").replace(")", " ").split()
            if len(parts) != len(header):
                continue
            if not keep:
                keep = [i for i, p in enumerate(parts) if _NUMBER.match(p)]
            try:
                rows.append([float(parts[i]) for i in keep])
            except ValueError:
                continue
    if header is None:
        return {}
    table = np.array(rows, dtype=np.float64).reshape(-1, len(keep))
    return {header[i]: table[:, j] for j, i in enumerate(keep)}


def _merged(paths: list[Path]) -> Columns:
    merged: Columns = {}
    for path in paths:
        part = read_table(path)
        if not part or not len(part.get("Time", [])):
            continue
        if not merged:
            merged = part
            continue
        keep = merged["Time"] < part["Time"][0]
        merged = {n: np.concatenate([merged[n][keep], part[n]]) for n in merged if n in part}
    return merged


# --- forces and coefficients -----------------------------------------------------------


@dataclass(frozen=True)
class Window:
    """The iterations averaged and the band of the mean drag coefficient."""

    first: int
    last: int
    cd: float
    half_width: float  # 95 % half-width of the mean (batch means)
    source: str  # "record" when the run's record gave it

    @property
    def lo(self) -> float:
        return self.cd - self.half_width

    @property
    def hi(self) -> float:
        return self.cd + self.half_width


def coefficient_history(case: Path) -> Columns:
    try:
        return coefficients.read_coefficients(case)
    except CfdError:
        return {}


def _two_se(values: npt.NDArray[np.float64]) -> float:
    """The 95 % half-width of the mean of a correlated series, as the verdict takes it."""
    from ..cfd.convergence import batch_half_width

    half = batch_half_width(values)[0]
    return half if math.isfinite(half) else float("nan")


def window(history: Columns, run: dict[str, Any] | None = None) -> Window | None:
    """The averaging window and the drag band: from the run's record when it
    holds them, else the window the recorder uses, with a batch-means band."""
    run = run or {}
    time = history.get("Time")
    if time is None or not len(time) or "Cd" not in history:
        return None
    cd_rec = run.get("cd")
    first = run.get("window_start") or run.get("cd_window_start")
    last = run.get("window_end") or run.get("cd_window_end")
    half = run.get("cd_band") or run.get("cd_2se") or run.get("cd_half_band")
    summary = coefficients.summarise(history)
    if summary.window is None:
        return None
    lo_it, hi_it = summary.window
    if first is not None and last is not None:
        lo_it, hi_it = int(first), int(last)
    inside = (time >= lo_it) & (time <= hi_it)
    values = history["Cd"][inside]
    if not len(values):
        return None
    cd = float(cd_rec) if isinstance(cd_rec, (int, float)) else float(values.mean())
    source = "record" if half is not None else "computed"
    width = float(half) if half is not None else _two_se(values)
    return Window(lo_it, hi_it, cd, width, source)


@dataclass(frozen=True)
class PartForces:
    """The forces on one part, averaged over the window, full car (both halves)."""

    part: str
    cd_pressure: float
    cd_viscous: float
    cl: float
    cl_front: float
    cl_rear: float
    drag_n: float

    @property
    def cd(self) -> float:
        return self.cd_pressure + self.cd_viscous


@dataclass(frozen=True)
class Reference:
    speed: float
    rho: float
    half_area: float
    wheelbase: float
    frontal_area: float


def reference(case: Path) -> Reference | None:
    from foamlib import FoamFile

    try:
        control = FoamFile(case / "system" / "controlDict")
        fc = ("functions", "forceCoeffs1")
        speed = float(control[(*fc, "magUInf")])  # type: ignore[arg-type]
        rho = float(control[(*fc, "rhoInf")])  # type: ignore[arg-type]
        half = float(control[(*fc, "Aref")])  # type: ignore[arg-type]
        lref = float(control[(*fc, "lRef")])  # type: ignore[arg-type]
    except (OSError, KeyError, ValueError, TypeError):
        return None
    return Reference(speed, rho, half, lref, 2 * half)


def part_names(case: Path) -> list[str]:
    root = case / "postProcessing"
    if not root.is_dir():
        return []
    return sorted(p.name[len(fo.FORCES) :] for p in root.glob(fo.FORCES + "*") if p.is_dir())


def part_forces(case: Path, win: Window | None) -> list[PartForces]:
    """Per part, pressure and viscous drag, lift and front and rear lift,
    averaged over the window (the last iterations when there is none)."""
    ref = reference(case)
    if ref is None:
        return []
    q = 0.5 * ref.rho * ref.speed**2
    out = []
    for part in part_names(case):
        force = _merged(_files(case, fo.FORCES + part, "force.dat"))
        moment = _merged(_files(case, fo.FORCES + part, "moment.dat"))
        if not force or "pressure_x" not in force:
            continue
        time = force["Time"]
        last = time >= time[-1] - 50
        sel = (time >= win.first) & (time <= win.last) if win is not None else last
        if not sel.any():
            sel = np.ones_like(time, dtype=bool)

        def mean(cols: Columns, name: str, sel: npt.NDArray[np.bool_] = sel) -> float:
            return float(cols[name][sel].mean()) if name in cols and len(cols[name]) else 0.0

        qa = q * ref.half_area
        cl = mean(force, "total_z") / qa
        msel = sel if moment and len(moment.get("Time", [])) == len(time) else None
        cm = mean(moment, "total_y", msel) / (qa * ref.wheelbase) if msel is not None else 0.0
        out.append(
            PartForces(
                part=part,
                cd_pressure=mean(force, "pressure_x") / qa,
                cd_viscous=mean(force, "viscous_x") / qa,
                cl=cl,
                cl_front=cl / 2 + cm,
                cl_rear=cl / 2 - cm,
                drag_n=2 * mean(force, "total_x"),
            )
        )
    return out


def cumulative_drag(case: Path, win: Window | None = None) -> tuple[Any, Any] | None:
    """``(x at each bin's end, Cd accumulated from the nose up to x)`` from
    the binned forces, averaged over the writes inside the window."""
    paths = _files(case, fo.BINS, "CdBin.dat")
    if not paths:
        return None
    table = read_table(paths[-1])
    names = [n for n in table if n.endswith(":total")]
    if not names or not len(table["Time"]):
        return None
    time = table["Time"]
    cd = np.stack([table[n] for n in names], axis=1)
    sel = (time >= win.first) & (time <= win.last) if win is not None else time >= time[-1]
    if not sel.any():
        sel = time >= time[-1]
    return _bin_positions(paths[-1], len(names)), cd[sel].mean(axis=0)


def _bin_positions(path: Path, n: int) -> Any:
    with path.open(encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line.startswith("#"):
                break
            if line[1:].lstrip().startswith("x co-ords"):
                values = line.split(":", 1)[1].split()
                if len(values) == n:
                    return np.array([float(v) for v in values])
    return np.arange(1, n + 1, dtype=float)


# --- residuals ---------------------------------------------------------------------------

_RESIDUAL = re.compile(r"Solving for (\w+), Initial residual = ([0-9.eE+-]+)")
_TIME_LINE = re.compile(r"^Time = ([0-9.eE+-]+)\s*$")


def residuals(case: Path) -> Columns:
    """Initial residual per field and iteration, from the solverInfo object
    or else the solver's log."""
    table = _merged(_files(case, fo.SOLVER_INFO, "solverInfo.dat"))
    if table:
        out = {"Time": table["Time"]}
        for name, values in table.items():
            if name.endswith("_initial"):
                out[name[: -len("_initial")]] = values
        if len(out) > 1:
            return out
    log = case / "log.simpleFoam"
    if not log.is_file():
        return {}
    series: dict[str, list[float]] = {}
    times: list[float] = []
    with log.open(encoding="utf-8", errors="replace") as f:
        for line in f:
            m = _TIME_LINE.match(line)
            if m:
                times.append(float(m.group(1)))
                continue
            r = _RESIDUAL.search(line)
            if r and times:
                seen = series.setdefault(r.group(1), [])
                if len(seen) < len(times):  # the first solve of a field in an iteration
                    seen.extend([math.nan] * (len(times) - 1 - len(seen)))
                    seen.append(float(r.group(2)))
    n = len(times)
    cols: Columns = {"Time": np.array(times)}
    for name, found in series.items():
        padded = found + [math.nan] * (n - len(found))
        cols[name] = np.array(padded[:n])
    return cols if series else {}


# --- mesh quality ------------------------------------------------------------------------


@dataclass
class MeshQuality:
    cells: int | None = None
    max_non_orthogonality: float | None = None
    max_skewness: float | None = None
    layer_coverage: float | None = None  # average layers / requested layers, 0..1
    yplus: tuple[float, float, float] | None = None  # min, average, max
    failed_checks: int | None = None
    notes: list[str] = field(default_factory=list)

    def line(self) -> str:
        parts = []
        if self.cells is not None:
            parts.append(f"{self.cells:,} cells")
        if self.layer_coverage is not None:
            parts.append(f"layer coverage {self.layer_coverage:.0%}")
        if self.yplus is not None:
            parts.append(f"y+ {self.yplus[0]:.3g}-{self.yplus[2]:.3g} (mean {self.yplus[1]:.3g})")
        if self.max_non_orthogonality is not None:
            parts.append(f"max non-orthogonality {self.max_non_orthogonality:.1f}°")
        if self.max_skewness is not None:
            parts.append(f"max skewness {self.max_skewness:.2f}")
        if self.failed_checks:
            parts.append(f"{self.failed_checks} failed mesh checks")
        return ", ".join(parts) if parts else "no mesh-quality output in the case"


def mesh_quality(case: Path, patches: list[str] | None = None) -> MeshQuality:
    out = MeshQuality()
    check = case / "log.checkMesh"
    if check.is_file():
        text = check.read_text(errors="replace")
        if m := re.search(r"^\s*cells:\s*(\d+)", text, re.M):
            out.cells = int(m.group(1))
        if m := re.search(r"non-orthogonality Max:? =?\s*([0-9.eE+-]+)", text):
            out.max_non_orthogonality = float(m.group(1))
        if m := re.search(r"Max skewness = ([0-9.eE+-]+)", text):
            out.max_skewness = float(m.group(1))
        if m := re.search(r"Failed (\d+) mesh checks", text):
            out.failed_checks = int(m.group(1))
        elif "Mesh OK" in text:
            out.failed_checks = 0
    if out.cells is None:
        from ..cfd.verdict import mesh_cells

        out.cells = mesh_cells(case)
    out.layer_coverage = _layer_coverage(case, patches)
    out.yplus = _yplus(case, patches)
    return out


def _requested_layers(case: Path) -> int | None:
    try:
        import json

        info = json.loads((case / "velmor-case.json").read_text())
        if isinstance(info.get("layers"), int):
            return int(info["layers"])  # what the case was built with
        level = info["params"]["level"]
        from ..cfd.params import MESH_LEVELS

        return MESH_LEVELS[level].layers  # a case from before cases said so
    except (OSError, ValueError, KeyError, TypeError):
        return None


def _layer_coverage(case: Path, patches: list[str] | None) -> float | None:
    """The faces' average share of the layers their patch asked for."""
    from ..cfd import layers

    requested = _requested_layers(case)
    if not requested:
        return None
    rows = [r for r in layers.coverage(case, requested) if patches is None or r.patch in patches]
    faces = sum(r.faces for r in rows)
    return sum(r.faces * r.coverage for r in rows) / faces if faces else None


def _yplus(case: Path, patches: list[str] | None) -> tuple[float, float, float] | None:
    paths = _files(case, fo.YPLUS, "yPlus.dat")
    if not paths:
        return None
    lows, means, highs = [], [], []
    with paths[-1].open(encoding="utf-8", errors="replace") as f:
        lines = [ln.split() for ln in f if not ln.startswith("#")]
    if not lines:
        return None
    last = lines[-1][0]
    for words in lines:
        if len(words) >= 5 and words[0] == last and (patches is None or words[1] in patches):
            lows.append(float(words[2]))
            highs.append(float(words[3]))
            means.append(float(words[4]))
    if not lows:
        return None
    return min(lows), float(np.mean(means)), max(highs)


# --- surfaces ----------------------------------------------------------------------------


def surface_files(case: Path) -> dict[str, Path]:
    """The latest written VTK file of each sampled surface, by surface name."""
    root = case / "postProcessing" / fo.SURFACES
    if not root.is_dir():
        return {}
    times = sorted((p for p in root.iterdir() if p.is_dir()), key=_start_time)
    if not times:
        return {}
    latest = times[-1]
    out: dict[str, Path] = {}
    for path in sorted(latest.iterdir()):
        if path.suffix in (".vtk", ".vtp"):
            out[path.stem] = path
    return out
