"""Cleaning a product's case folders (``<workspace>/cases/<product>/``).

Cases pile up: a quick run leaves about 9 MB of meshes and fields. For a
case whose run is recorded, ``clean_cases`` keeps what the records and
reports still read: ``velmor-case.json`` and the other ``velmor-*`` files,
every ``log.*`` and Slurm output, ``postProcessing/`` (the coefficients)
and the ``system/`` and ``constant/`` dictionaries with the body surface;
it removes the mesh (``constant/polyMesh``, the feature edges), the
processor folders and the solution's time folders. With ``unrecorded`` it
also removes case folders that no run records (prepared and never run, or
whose run failed before it was recorded), whole.

It never touches a case that is still in use: one that an unfinished study
holds (any status but ended), one that a process is working in (a process
whose working directory is inside it, as every OpenFOAM stage's is), and one
changed within the last ``quiet_s`` seconds.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import time
from pathlib import Path
from typing import Any

from .state import TERMINAL, StudyState, list_studies

_TIME_DIR = re.compile(r"^(\d+(\.\d+)?([eE][+-]?\d+)?)$")
#: A case changed more recently than this is left alone, seconds.
QUIET_S = 600.0


def _size(path: Path) -> int:
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            with contextlib.suppress(OSError):
                total += os.lstat(os.path.join(root, name)).st_size
    return total


def _busy_dirs() -> set[str]:
    """Working directories of the processes this user can see."""
    out = set()
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                out.add(os.readlink(f"/proc/{entry.name}/cwd"))
            except OSError:
                continue
    return out


def _recorded_cases(usd_path: Path) -> set[str]:
    from pxr import Sdf

    from ..cfd.record import runs_layer_path

    layer = Sdf.Layer.FindOrOpen(str(runs_layer_path(usd_path)))
    found: set[str] = set()
    if layer is None:
        return found
    for prim in layer.rootPrims:
        sims = prim.nameChildren.get("Simulations")
        for run in sims.nameChildren if sims is not None else []:
            attr = run.attributes.get("caseDir")
            if attr is not None and attr.default:
                found.add(os.path.realpath(str(attr.default)))
    return found


def _study_cases(workspace: Path) -> set[str]:
    held = set()
    for name in list_studies(workspace):
        try:
            state = StudyState.load(workspace, name)
        except Exception:  # noqa: BLE001 - an unreadable study holds nothing we know of
            continue
        for entry in state.cases.values():
            if entry.get("status") not in TERMINAL and entry.get("case_dir"):
                held.add(os.path.realpath(entry["case_dir"]))
    return held


def _slim(case: Path) -> list[Path]:
    """The heavy parts of a recorded case."""
    heavy = [p for p in case.iterdir() if p.is_dir() and p.name.startswith("processor")]
    heavy += [p for p in case.iterdir() if p.is_dir() and _TIME_DIR.match(p.name) and p.name != "0"]
    heavy += [case / "0"] if (case / "0").is_dir() else []
    for sub in ("polyMesh", "extendedFeatureEdgeMesh"):
        if (case / "constant" / sub).is_dir():
            heavy.append(case / "constant" / sub)
    if (case / "constant" / "triSurface" / "body.eMesh").exists():
        heavy.append(case / "constant" / "triSurface" / "body.eMesh")
    return heavy


def clean_cases(
    workspace: str | Path,
    product: str,
    *,
    unrecorded: bool = False,
    dry_run: bool = False,
    quiet_s: float = QUIET_S,
) -> dict[str, Any]:
    """Clean the case folders of ``product``; returns what was (or would be) removed."""
    from ..cfd.case import cases_dir, product_key
    from ..core.api import find_product_usd
    from ..core.workspace import use_workspace

    root = Path(workspace).resolve()
    with use_workspace(root):
        usd_path = find_product_usd(product)
    folder = cases_dir(root) / product_key(product)
    recorded = _recorded_cases(usd_path)
    held = _study_cases(root)
    busy = _busy_dirs()
    now = time.time()
    report: dict[str, Any] = {
        "product": product, "folder": str(folder), "dry_run": dry_run,
        "slimmed": [], "removed": [], "kept": [], "freed_bytes": 0,
    }  # fmt: skip
    try:
        cases = sorted(p for p in folder.iterdir() if p.is_dir() and not p.name.startswith("."))
    except FileNotFoundError:
        cases = []
    for case in cases:
        real = os.path.realpath(case)
        reason = None
        if real in held:
            reason = "an unfinished study uses it"
        elif any(b == real or b.startswith(real + "/") for b in busy):
            reason = "a process is working in it"
        elif now - max(case.stat().st_mtime, _newest(case)) < quiet_s:
            reason = "changed in the last minutes"
        if reason:
            report["kept"].append({"case": str(case), "reason": reason})
            continue
        if real in recorded:
            parts = _slim(case)
            if not parts:
                continue
            freed = sum(_size(p) if p.is_dir() else p.stat().st_size for p in parts)
            if not dry_run:
                for part in parts:
                    if part.is_dir():
                        shutil.rmtree(part, ignore_errors=True)
                    else:
                        part.unlink(missing_ok=True)
            report["slimmed"].append({"case": str(case), "freed_bytes": freed})
            report["freed_bytes"] += freed
        elif unrecorded:
            freed = _size(case)
            if not dry_run:
                shutil.rmtree(case, ignore_errors=True)
            report["removed"].append({"case": str(case), "freed_bytes": freed})
            report["freed_bytes"] += freed
        else:
            report["kept"].append({"case": str(case), "reason": "no run records it"})
    return report


def _newest(case: Path) -> float:
    """The latest change among the case's top-level entries (logs, outputs)."""
    newest = 0.0
    for entry in os.scandir(case):
        try:
            newest = max(newest, entry.stat(follow_symlinks=False).st_mtime)
        except OSError:
            continue
    return newest
