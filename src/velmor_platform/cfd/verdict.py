"""The verdict on a finished case, and the fields its run is recorded with.

Whoever ran the case (``simulate`` here, a study's job, ``./Allrun`` by
hand before ``record-cfd``) hands over what it knows of how it ended: the
exit status of the stage or job (None when nobody saw it), the stage at
fault when it knows it, and whether the run was stopped from outside
(cancelled, timed out). ``judge`` reads the rest from the case's logs, by
one rule for every path:

* stopped from outside: ``cancelled`` or ``timeout``;
* the solver's log ends with ``End`` and the exit status is 0 or unknown:
  ``completed``;
* otherwise, a solving stage whose log shows a floating-point exception
  or a ``nan``/``inf`` value: ``diverged``;
* otherwise ``failed`` (a cut-off or empty log, a stage that stopped).

``record_fields`` then reads the coefficients of a completed case; a run
whose coefficients are missing or ran away is recorded as failed or
diverged after all.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import case as case_mod
from . import coefficients, layers, record
from . import yaw as yaw_mod
from .errors import CfdError
from .stages import COPY_FIELDS, STOPPED_AT, stages

SOLVER_LOG = "log.simpleFoam"
SOLVING = ("potentialFoam", "simpleFoam")
STOPPED = {"cancelled": "cancelled", "timeout": "timed out"}
#: A floating-point trap, or a residual or coefficient printed as nan or inf.
#: Every log's header says "Floating point exception trapping enabled (FOAM_SIGFPE)":
#: not that.
DIVERGED = re.compile(
    r"Floating point exception(?! trapping)|\bsigFpe\b|[=:]\s*[-+]?(?:nan|inf)\b", re.I
)
_FINISHED = re.compile(r"^End\s*$", re.M)
_MESHING = ("surfaceFeatureExtract", "blockMesh", "decomposePar", "snappyHexMesh")
_CELLS = re.compile(rb"nCells:\s*(\d+)")
_ILLEGAL = re.compile(r"Finished meshing with (\d+) illegal faces")


@dataclass
class RunResult:
    status: str  # completed, failed, diverged, cancelled or timeout
    message: str = ""
    stage: str | None = None  # the stage that failed or was stopped
    log: Path | None = None  # its log file
    solver_version: str | None = None
    wall_time_s: float = 0.0
    stage_times: dict[str, float] = field(default_factory=dict)
    peak_rss_mb: float | None = None


def tail_text(log: Path, size: int = 20000) -> str:
    try:
        with log.open("rb") as f:
            f.seek(0, 2)
            f.seek(max(0, f.tell() - size))
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def fatal_line(text: str) -> str:
    """The FOAM FATAL line of a log and the two after it, else its last line."""
    lines = [ln.strip() for ln in text.splitlines() if ln.strip()]
    for i, line in enumerate(lines):
        if "FOAM FATAL" in line:
            detail = " ".join(lines[i + 1 : i + 3])
            return f"{line} {detail}".strip()
    return lines[-1] if lines else "no output"


def last_stage(case: Path, ranks: int = 1) -> tuple[str | None, Path | None]:
    """The last stage (not the optional post-processing) that left a log."""
    last: tuple[str | None, Path | None] = (None, None)
    for stage in stages(ranks):
        log = case / f"log.{stage.name}"
        if stage.name != COPY_FIELDS and not stage.optional and log.is_file():
            last = (stage.name, log)
    return last


def solver_finished(case: Path) -> bool:
    """Whether the solver's log ends as a finished run does (``End``)."""
    return bool(_FINISHED.search(tail_text(case / SOLVER_LOG, 4000)))


def _how(exit_code: int | None) -> str:
    if exit_code is None:
        return "no exit status"
    if exit_code < 0:
        return f"killed by signal {-exit_code}"
    return f"exit status {exit_code}"


def judge(
    case: Path,
    *,
    exit_code: int | None = None,
    stage: str | None = None,
    log: Path | None = None,
    stopped: str | None = None,
    message: str = "",
    ranks: int = 1,
) -> RunResult:
    """How the run of ``case`` ended (see the module's rule). ``stage`` and
    ``log`` default to the last stage that left a log; ``message``, when
    given, replaces the one read from the log."""
    if stage is None:
        stage, found = last_stage(case, ranks)
        log = log or found
    elif log is None and (case / f"log.{stage}").is_file():
        log = case / f"log.{stage}"
    if stopped is not None:
        if stopped not in STOPPED:
            raise ValueError(f"a run is stopped by {', '.join(STOPPED)}, not {stopped!r}")
        where = f"during {stage}" if stage else "during start-up"
        return RunResult(stopped, message or f"{STOPPED[stopped]} {where}", stage, log)
    if exit_code in (0, None) and solver_finished(case):
        return RunResult("completed")
    text = tail_text(log) if log is not None else ""
    diverged = stage in SOLVING and bool(DIVERGED.search(text))
    status = "diverged" if diverged else "failed"
    said = message or f"{stage or 'the job'} {status} ({_how(exit_code)}): {fatal_line(text)}"
    if stage in SOLVING and (bad := illegal_faces(case)):
        said += (
            f"; snappyHexMesh left {bad} illegal faces in the mesh (log.snappyHexMesh), "
            "the likely cause"
        )
    return RunResult(status, said, stage, log)


def _judged(case: Path) -> coefficients.Columns:
    """The coefficients the run is judged on: up to the iteration the verdict
    stopped the solver at, when it did. The few iterations the solver adds
    while it stops would otherwise judge a run anew, and one that stopped
    because it had converged could be recorded as not converged."""
    columns = coefficients.read_coefficients(case)
    try:
        stop = int((case / STOPPED_AT).read_text().strip())
    except (OSError, ValueError):
        return columns
    keep = columns["Time"] <= stop
    return {name: values[keep] for name, values in columns.items()}


def illegal_faces(case: Path) -> int:
    """How many faces snappyHexMesh said it could not make legal (inverted or
    concave cells), 0 when it finished without errors or left no log."""
    found = _ILLEGAL.search(tail_text(case / "log.snappyHexMesh", 4000))
    return int(found.group(1)) if found else 0


def mesh_cells(case: Path) -> int | None:
    """The cell count of the case's mesh, from the polyMesh headers (summed
    over the processor folders of a decomposed case)."""
    parts = sorted(case.glob("processor[0-9]*")) or [case]
    total = 0
    for part in parts:
        try:
            with (part / "constant" / "polyMesh" / "owner").open("rb") as f:
                head = f.read(2048)
        except OSError:
            return None
        m = _CELLS.search(head)
        if not m:
            return None
        total += int(m.group(1))
    return total


def record_fields(case: Path, result: RunResult, info: dict[str, Any]) -> dict[str, Any]:
    """The fields the run of ``case`` is recorded with, from ``result`` and
    the case's ``velmor-case.json`` (``info``): a completed run carries its
    coefficients, bands and verdict on convergence."""
    fields: dict[str, Any] = {
        "timestamp": record.utc_now(),
        "domain": "aerodynamics",
        "solver": "openfoam",
        "solver_version": result.solver_version,
        "status": result.status,
        # A mesh that was not finished has no cell count worth recording.
        "mesh_cells": None if result.stage in _MESHING else mesh_cells(case),
        "wall_time_s": result.wall_time_s,
        "case_dir": str(case),
        **_computed_with(info),
    }
    yaw_deg = float(info.get("yaw_deg") or 0.0)
    if yaw_deg:
        fields["yaw_deg"] = yaw_deg
    if result.status != "completed":
        fields["message"] = result.message
        fields["log"] = str(result.log) if result.log else None
        return fields
    tolerance = float(info.get("params", {}).get("convergence_tolerance", 0.005))
    try:
        summary = coefficients.summarise(_judged(case), tolerance=tolerance)
    except CfdError as exc:
        fields.update(status="failed", message=str(exc), log=str(case / SOLVER_LOG))
        return fields
    fields["iterations"] = summary.iterations
    if summary.diverged:
        fields.update(status="diverged", message=summary.reason, log=str(case / SOLVER_LOG))
        return fields
    fields.update(
        cd=_round(summary.cd),
        cl=_round(summary.cl),
        cm_pitch=_round(summary.cm_pitch),
        cd_spread=_round(summary.cd_spread),
        converged=summary.converged,
        message=summary.reason,
    )
    fields.update(_band_fields(case, summary, info))
    line, poor = layers.summary(layers.coverage(case, int(info.get("layers") or 0)))
    if line:
        fields["layers"] = line
    if poor:
        fields["warnings"] = "; ".join(filter(None, [fields.get("warnings"), *poor]))
    if not info.get("half_model", True):
        fields.update(yaw_mod.side_coefficients(case, summary.window))
    return fields


def _computed_with(info: dict[str, Any]) -> dict[str, Any]:
    """What a case was computed with, from its ``velmor-case.json``."""
    params = info.get("params", {})
    reference = info.get("reference", {})
    out = {
        "level": params.get("level"),
        "ranks": params.get("ranks"),
        "speed": params.get("speed"),
        "geometry_source": info.get("geometry"),
        "geometry_key": info.get("geometry_key"),
        "reference_area": reference.get("frontal_area"),
        "reference_length": reference.get("wheelbase"),
        "projected_area": info.get("projected_area"),
        "half_model": info.get("half_model"),
        "asymmetry": info.get("asymmetry"),
    }
    return {k: v for k, v in out.items() if v is not None}


def _band_fields(case: Path, summary: coefficients.Summary, info: dict[str, Any]) -> dict[str, Any]:
    """The iterative band, window, lift per axle, each part's drag and Cd*A of a run."""
    out: dict[str, Any] = {}
    if summary.window is not None:
        out["window_start"], out["window_end"] = summary.window
    two_se = {
        "cd_two_se": summary.two_se("Cd"),
        "cl_two_se": summary.two_se("Cl"),
        "cm_two_se": summary.two_se("CmPitch"),
        "cl_front": summary.mean("Cl(f)"),
        "cl_front_two_se": summary.two_se("Cl(f)"),
        "cl_rear": summary.mean("Cl(r)"),
        "cl_rear_two_se": summary.two_se("Cl(r)"),
    }
    out.update({k: _round(v) for k, v in two_se.items() if v is not None})
    for key, name in (("cd_band", "cd_two_se"), ("cl_band", "cl_two_se"), ("cm_band", "cm_two_se")):
        if name in out:
            out[key] = out[name]
    if "cd_band" in out and summary.window is not None:
        lo, hi = summary.window
        out["band_method"] = (
            f"iterative: 95 % half-width of the mean by batch means over iterations {lo}-{hi}; "
            "no grid estimate"
        )
    area = info.get("reference", {}).get("frontal_area")
    if summary.cd is not None and isinstance(area, (int, float)):
        out["cd_a"] = _round(summary.cd * area)
    if summary.window is not None:
        first = summary.window[0]
        parts = (
            ("cd_body", "Body"), ("cd_front_wheels", "FrontWheels"),
            ("cd_rear_wheels", "RearWheels"),
        )  # fmt: skip
        for key, patch in parts:
            try:
                part = coefficients.read_coefficients(case, case_mod.PART_COEFFS + patch)
            except CfdError:
                continue
            keep = part["Time"] >= first
            if keep.any() and "Cd" in part:
                out[key] = _round(float(part["Cd"][keep].mean()))
    return out


def _round(value: float | None) -> float | None:
    return None if value is None else round(value, 5)
