"""Reading products: the workspace listing, one product, its run history,
two products compared, the range estimate and the export.

Each use case loads what it needs once and returns data: the dicts the
product core returns (what ``--json`` prints and the ``/api/`` twins
return) in a small dataclass with what the faces show beside them. The
tables of result keys, tolerances and units are here so that the faces
show one product the same way.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..formats import UNITS, is_number
from .errors import UserError, describe, user_errors
from .loading import Workspace, core, heading, identifier, layers_kept, load, require_workspace

# Keys shared by targets, benchmarks and current results, in display order,
# with the targets key that holds each one's tolerance.
RESULT_KEYS = ("cd", "cl", "cm_pitch", "lateral_g", "yaw_rate_dps", "roll_angle_deg")
TOLERANCE_KEY = {"cd": "target_cd_tol", "cl": "target_cl_tol", "cm_pitch": "target_cm_tol"}
#: Spec keys that ``show`` lists elsewhere (or not at all).
SPEC_SKIP = ("vehicle_name", "target_", "benchmark_", "current_")


def rounded(value: float) -> float:
    """A difference without float noise: 0.249 - 0.245 reads 0.004."""
    return float(f"{value:.10g}")


def both_numbers(a: Any, b: Any) -> bool:
    return is_number(a) and is_number(b)


#: The current run's half band of each coefficient that has one.
BAND_KEY = {"cd": "cd_band", "cl": "cl_band", "cm_pitch": "cm_band"}


def gate(
    now: Any, target: Any, tol: Any, has_tolerance: bool, band: Any = None, grid: bool = True
) -> str:  # fmt: skip
    """The check of a result against a toleranced target, using the
    result's ``band`` (``core.checks.band_check``): ``ok`` when the whole band
    lies inside the tolerance, ``miss`` when wholly outside, ``undecided``
    otherwise, and "undecided — no grid estimate" when the band is one
    level's iterative band alone (``grid`` False); ``no tol`` when the
    tolerance is missing, else empty. A result without a band is checked
    on its value alone."""
    from ..core.checks import band_check

    if not has_tolerance or not both_numbers(now, target):
        return ""
    if not is_number(tol):
        return "no tol"
    check = band_check(now, band, target, tol, grid)
    if check is None:
        return ""
    return check.label if check.reason else check.status


def current_run(
    path: str | Path, runs: list[dict[str, Any]] | None = None
) -> dict[str, Any] | None:
    """The run the product's current aerodynamic results come from (the
    newest that does not displace a finer or grid-banded one, or the one the
    user chose), with its fidelity mark; None without one."""
    from ..core.checks import band_kind, fidelity
    from ..core.usd_product import current_aero_run

    run = current_aero_run(str(path), runs)
    if run is None:
        return None
    return {**run, "band_kind": band_kind(run), "fidelity": fidelity(run)}


# ------------------------------------------------------------------ listing


@dataclass
class Listing:
    """The workspace's products: one entry each (id, name, path, error)."""

    root: Path
    entries: list[dict[str, Any]]
    skipped: list[str]  # directories that are not products, and why

    @property
    def warnings(self) -> list[str]:
        unreadable = [f"cannot read {e['id']}: {e['error']}" for e in self.entries if "error" in e]
        return self.skipped + unreadable


def list_products(workspace: Workspace) -> Listing:
    """Every product of the workspace, each loaded for its name."""
    product_core = core()
    from ..core.api import list_products as found_products

    root = require_workspace(workspace)
    skipped: list[str] = []
    found = found_products(
        root / "products", lambda path, why: skipped.append(f"skipped {path}: {why}")
    )
    entries = []
    for ident, path in found:
        entry: dict[str, Any] = {"id": ident, "name": None, "path": path}
        try:
            entry["name"] = product_core.load(str(path)).name
        except Exception as exc:  # noqa: BLE001 - one unreadable product does not hide the rest
            entry["error"] = describe(exc)
        entries.append(entry)
    return Listing(root, entries, skipped)


# --------------------------------------------------------------------- show


@dataclass
class Shown:
    """One product: ``data`` is what ``show --json`` prints."""

    heading: str
    data: dict[str, Any]


def result_rows(data: dict[str, Any]) -> list[dict[str, Any]]:
    """Targets, benchmarks and latest results side by side, key by key,
    with the tolerance, the difference and the check (from ``show``'s data)."""
    targets, benchmarks, current = data["targets"], data["benchmarks"], data["current"]
    from ..core.checks import band_kind

    run = data.get("current_run") or {}
    grid = band_kind(run) != "iterative"
    rows = []
    for key in RESULT_KEYS:
        if key not in targets and key not in current and key not in benchmarks:
            continue
        target, now = targets.get(key), current.get(key)
        tol_key = TOLERANCE_KEY.get(key)
        tol = targets.get(tol_key) if tol_key else None
        band = run.get(BAND_KEY[key]) if key in BAND_KEY else None
        rows.append(
            {
                "key": key,
                "target": target,
                "tol": tol,
                "benchmark": benchmarks.get(key),
                "current": now,
                "band": band if is_number(band) else None,
                # A coefficient recorded without a band (runs from before bands).
                "no_band": key in BAND_KEY and is_number(now) and not is_number(band),
                "delta": rounded(now - target) if both_numbers(now, target) else None,
                "check": gate(now, target, tol, tol_key is not None, band, grid),
                "grid_estimate": grid if is_number(band) else None,
                "unit": UNITS.get(key, ""),
                "default": key in data.get("default_targets", ()),
            }
        )
    return rows


def checks(data: dict[str, Any]) -> dict[str, dict[str, Any]]:
    """Each toleranced coefficient's check against its target, with the band
    it used (``show --json``'s ``checks``)."""
    from ..core.checks import band_check

    out = {}
    for row in result_rows(data):
        grid = row["grid_estimate"] is not False
        check = band_check(row["current"], row["band"], row["target"], row["tol"], grid)
        if check is not None and row["key"] in TOLERANCE_KEY:
            out[row["key"]] = check.as_dict()
    return out


def spec_items(data: dict[str, Any]) -> list[tuple[str, Any, str]]:
    """The specification as ``show`` lists it: key, value and unit."""
    return [
        (k, v, UNITS.get(k, "")) for k, v in data["specs"].items() if not k.startswith(SPEC_SKIP)
    ]


@user_errors
def show(ref: str, workspace: Workspace | None) -> Shown:
    product = load(ref, workspace)
    data = {
        "metadata": product.metadata("show"),
        "usd_path": product.usd_path,
        "has_dynamics": product.has_dynamics,
        "specs": product.specs,
        "targets": product.targets,
        "benchmarks": product.benchmarks,
        "current": product.current,
    }
    from ..core.sweeps import latest_yaw_sweep

    runs = product.history() or []
    data["current_run"] = current_run(product.usd_path, runs)
    data["yaw_sweep"] = latest_yaw_sweep(runs)
    data["checks"] = checks(data)
    # Dynamics targets the product does not set: the core shows its fallbacks.
    targets, specs = product.targets, product.specs
    data["default_targets"] = [
        key for key in DYNAMICS_TARGETS if key in targets and f"target_{key}" not in specs
    ]
    return Shown(heading(product), data)


#: The dynamics targets, for which the product core shows fallback values
#: when the product sets none.
DYNAMICS_TARGETS = ("lateral_g", "yaw_rate_dps", "roll_angle_deg")


@user_errors
def banner(ref: str, workspace: Workspace | None, action: str) -> dict[str, Any]:
    """The product's ``metadata`` banner for ``action``."""
    found: dict[str, Any] = load(ref, workspace).metadata(action)
    return found


# ------------------------------------------------------------------ history


@dataclass
class History:
    """A product's runs (what ``history --json`` prints) and its targets."""

    heading: str
    runs: list[dict[str, Any]]
    targets: dict[str, Any]
    banner: dict[str, Any] | None = None
    current: str | None = None  # the name of the current aerodynamic run
    chosen: str | None = None  # the run the user chose as current, None: the rule decides


@user_errors
def history(ref: str, workspace: Workspace | None, *, banner: str | None = None) -> History:
    """The runs, read with the product in one parse; with ``banner``, also
    the product's banner for that action."""
    with layers_kept(ref):
        product = load(ref, workspace)
        runs = product.history()
    from ..core.usd_product import load_pinned_run

    runs = runs if runs is not None else []
    now = current_run(product.usd_path, runs)
    return History(
        heading(product),
        runs,
        product.targets,
        product.metadata(banner) if banner else None,
        now["name"] if now else None,
        load_pinned_run(str(product.usd_path)),
    )


def fidelity_mark(run: dict[str, Any]) -> str:
    """How far a run's figure can be trusted, in a few words (level or
    cells; band and how it was obtained, or ``no band``)."""
    from ..core.checks import fidelity

    return fidelity(run)


def run_marks(run: dict[str, Any]) -> dict[str, Any]:
    """A run's level, cells, convergence and band as the history shows them,
    with its speed and yaw angle (an aerodynamic run recorded without one
    was computed straight ahead)."""
    from ..core.checks import band_kind

    kind = band_kind(run)
    yaw = run.get("yaw_deg")
    if yaw is None and run.get("domain", "aerodynamics") == "aerodynamics":
        yaw = 0.0
    return {
        "speed": run.get("speed"),
        "yaw": yaw,
        "level": run.get("level"),
        "cells": run.get("mesh_cells"),
        "converged": run.get("converged"),
        "band": run.get("cd_band") if kind != "none" else None,
        "band_kind": kind,
    }


def cd_points(runs: list[dict[str, Any]]) -> list[tuple[str, float]]:
    """(run id, cd) of each straight-ahead run that reports a drag
    coefficient: a yawed run is not a step in the trend."""
    from ..core.current_run import straight_ahead

    return [
        (str(r.get("run_id") or r.get("name", "")), r["cd"])
        for r in runs
        if is_number(r.get("cd")) and straight_ahead(r)
    ]


# ------------------------------------------------------------------ compare


@dataclass
class Comparison:
    a: tuple[str, Path]  # heading and file of each product
    b: tuple[str, Path]
    report: dict[str, Any]  # what ``diff --json`` prints


@user_errors
def compare(a: str, b: str, workspace: Workspace | None) -> Comparison:
    first, second = load(a, workspace), load(b, workspace)
    report = first.diff(second)
    return Comparison((heading(first), first.usd_path), (heading(second), second.usd_path), report)


# -------------------------------------------------------------------- range


@dataclass
class RangeEstimate:
    report: dict[str, Any]  # what ``range --json`` prints
    source: str  # where cd came from: given, latest result, design target
    banner: dict[str, Any] | None = None
    field_rows: list[tuple[str, float, float, bool]] = field(default_factory=list)


@user_errors
def range_estimate(
    ref: str, workspace: Workspace | None, cd: float | None, *, banner: str | None = None
) -> RangeEstimate:
    """The range at ``cd`` (else the latest cd result, else the cd target)
    against the workspace's competitors."""
    product = load(ref, workspace)
    source = "given"
    if cd is None:
        for source, values in (
            ("latest result", product.current),
            ("design target", product.targets),
        ):
            if is_number(values.get("cd")):
                cd = values["cd"]
                if source == "latest result":  # how far the figure can be trusted
                    run = current_run(product.usd_path)
                    source += f": {run['fidelity']}" if run else ""
                break
        else:
            raise UserError(
                "invalid",
                f"{identifier(product)} has neither a drag result nor a drag target; give --cd",
            )
    report = product.range_competitiveness(cd)
    rows = [(c["name"], c["cd"], c["range_km"], False) for c in report.get("competitors", [])]
    rows.insert(report["rank"] - 1, (report["product"], report["cd"], report["range_km"], True))
    return RangeEstimate(report, source, product.metadata(banner) if banner else None, rows)


# ------------------------------------------------------------------- export


@user_errors
def export(ref: str, workspace: Workspace | None, fmt: str = "usd") -> dict[str, Any]:
    product = load(ref, workspace)
    if fmt not in ("usd", PACKAGE_FORMAT):
        # The core knows only its own file; the package is made here (``package``).
        raise UserError("invalid", f"Unknown format: {fmt}. Supported: usd, {PACKAGE_FORMAT}")
    reply: dict[str, Any] = product.export(fmt)
    return reply


#: The self-contained format: the product's layer stack and geometry in one file.
PACKAGE_FORMAT = "usdz"


def package_name(product: Any) -> str:
    """The file name of a product's package: ``sedan-base.usdz``."""
    import re

    stem = re.sub(r"[^A-Za-z0-9._-]+", "-", identifier(product)).strip(".-") or "product"
    return f"{stem}.{PACKAGE_FORMAT}"


@user_errors
def package(ref: str, workspace: Workspace | None, output: str | None = None) -> dict[str, Any]:
    """Write the product, its layer stack and geometry, as one USDZ file
    (``output``, default ``<product>.usdz`` in the current folder)."""
    from ..core.package import package_product

    product = load(ref, workspace)
    destination = Path(output) if output else Path.cwd() / package_name(product)
    reply = package_product(product.usd_path, destination)
    return {"product": identifier(product), **reply}


@user_errors
def package_download(ref: str, workspace: Workspace | None) -> tuple[str, bytes]:
    """The product's USDZ package as (file name, bytes), writing nothing."""
    from ..core.package import package_bytes

    product = load(ref, workspace)
    data, _names = package_bytes(product.usd_path)
    return package_name(product), data


@user_errors
def product_file(ref: str, workspace: Workspace) -> Path:
    """The product's top-level USD file, as ``export`` names it, checked to
    lie inside the workspace (for a download)."""
    path = Path(export(ref, workspace)["path"]).resolve()
    root = require_workspace(workspace).resolve()
    if not path.is_relative_to(root / "products") or not path.is_file():
        raise UserError("not_found", f"export of {ref} is not a file of the workspace: {path}")
    return path
