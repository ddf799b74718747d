"""The report of a simulation run, and the picture of a product.

A run is named by its run id (``sedan-base-0004``, as ``history`` lists it)
anywhere in the workspace, or by a product and the run's id or prim name.
Its report needs the run's case folder (the record's ``case_dir``); the
pictures and plots are made once into ``<case>/velmor-post/`` and reused
(``velmor_platform.post``).

* ``find(ref, workspace, product=None)``: the run, its product and case;
  ``latest(product, workspace)``: the newest run of the product with a report;
* ``make(...)``: the report, made now if it is not yet (the command line);
* ``status(...)``: the report when it is made, else "making" (it is started
  in the background) or "failed": a server never waits for pictures, and a
  read-only one never makes them;
* ``write_html(found, output)``: the self-contained HTML and its PNGs;
* ``picture_file(found, name)``: one image of a made report, by file name;
  ``picture(...)``: one image of the report a page showed (``remember``),
  without finding the run again;
* ``product_picture(ref, workspace)``: the product's picture from its USD
  geometry, "making" until it exists.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .errors import UserError, user_errors
from .loading import Workspace, identifier, load, require_workspace


@dataclass
class FoundRun:
    product: str  # the product's identifier
    name: str  # the product's name
    usd_path: Path
    run: dict[str, Any]  # every recorded field of the run
    case_dir: Path | None  # None when the case folder is not here

    @property
    def run_id(self) -> str:
        return str(self.run.get("run_id") or self.run.get("name"))


@dataclass
class Report:
    found: FoundRun
    data: dict[str, Any]  # see velmor_platform.post.report
    against: FoundRun | None = None
    images: list[dict[str, str]] = field(default_factory=list)


def _root(workspace: Workspace | None) -> Path:
    if workspace is None:
        raise UserError("unavailable", "no workspace to look for runs in")
    return require_workspace(workspace)


@user_errors
def find(ref: str, workspace: Workspace | None, product: str | None = None) -> FoundRun:
    """The run ``ref`` (a run id; or, with ``product``, its id or prim name)."""
    from ..post import runs

    if product is not None:
        loaded = load(product, workspace)
        run = runs.find_run(loaded.usd_path, ref)
        if run is None:
            raise UserError("not_found", f"{identifier(loaded)} has no run {ref!r}")
        ident, usd, name = identifier(loaded), Path(loaded.usd_path), str(loaded.name)
    else:
        located = runs.locate(_root(workspace), ref)
        if located is None:
            raise UserError(
                "not_found", f"no run {ref!r} in the workspace (run ids as 'velmor history' lists)"
            )
        ident, usd, run = located
        name = str(load(ident, workspace).name)
    # The record says which product it is of, so that every face shows it.
    return FoundRun(ident, name, usd, {**run, "product": ident}, runs.case_of(run, usd))


def compare_choices(found: FoundRun) -> list[tuple[str, str]]:
    """The product's other completed aerodynamic runs that have a case
    folder here, newest first, as (run id, what it was): what a run can be
    compared with at a glance."""
    from ..post import record, runs

    out = []
    for run in reversed(runs.full_runs(found.usd_path)):
        run_id = str(run.get("run_id") or run.get("name"))
        if run_id == found.run_id or run.get("status", "completed") != "completed":
            continue
        if run.get("domain", "aerodynamics") != "aerodynamics" or "cd" not in run:
            continue
        if runs.case_of(run, found.usd_path) is None:
            continue
        out.append((run_id, f"cd {record.fmt(run['cd'], 4)}, {record.context_line(run)}"))
    return out


@user_errors
def latest(product: str, workspace: Workspace | None) -> FoundRun:
    """The product's latest completed aerodynamics run whose case folder is here."""
    from ..post import runs

    loaded = load(product, workspace)
    usd = Path(loaded.usd_path)
    run = runs.latest_with_case(usd)
    if run is None:
        raise UserError(
            "not_found",
            f"{identifier(loaded)} has no completed aerodynamics run with a case folder",
        )
    ident = identifier(loaded)
    return FoundRun(ident, str(loaded.name), usd, {**run, "product": ident}, runs.case_of(run, usd))


def _dynamics(found: FoundRun) -> bool:
    return found.run.get("domain") == "dynamics"


def _dynamics_report(found: FoundRun, against: FoundRun | None) -> Report:
    """The report of a dynamics run (its record, steps and picture), made now if needed."""
    from ..dynamics import report
    from ..dynamics.errors import DynamicsError

    if against is not None:
        raise UserError("invalid", f"run {found.run_id} is a dynamics run: it has no comparison")
    if found.case_dir is None:
        raise UserError("not_found", f"run {found.run_id} has no run folder here")
    try:
        data = report.report_data(found.case_dir, found.run)
    except (DynamicsError, OSError) as exc:
        raise UserError("unavailable", f"cannot make the report of {found.run_id}: {exc}") from exc
    return Report(found, data, None, list(data["images"]))


def _reportable(found: FoundRun) -> Path:
    if found.run.get("domain") not in (None, "aerodynamics"):
        raise UserError(
            "invalid", f"run {found.run_id} is a {found.run.get('domain')} run: reports are of "
            "aerodynamics runs",
        )  # fmt: skip
    if found.case_dir is None:
        where = found.run.get("case_dir")
        raise UserError(
            "not_found",
            f"run {found.run_id} of {found.product} has no case folder here"
            + (f" ({where})" if where else " (none recorded)")
            + ": its report is made from the case's output",
        )
    return found.case_dir


def make(found: FoundRun, against: FoundRun | None = None) -> Report:
    """The run's report (with ``against``, the comparison), made now if needed."""
    from ..post import report

    if _dynamics(found):
        return _dynamics_report(found, against)
    case = _reportable(found)
    try:
        if against is None:
            data = report.run_report(case, found.run)
        else:
            data = report.comparison(case, found.run, _reportable(against), against.run)
    except TimeoutError as exc:
        raise UserError("conflict", str(exc)) from exc
    except OSError as exc:
        raise UserError("unavailable", f"cannot make the report of {found.run_id}: {exc}") from exc
    return Report(found, data, against, [i for i, _ in report.image_paths(case, data)])


def status(found: FoundRun, against: FoundRun | None = None) -> tuple[str, Report | str | None]:
    """``("ready", report)``, ``("making", None)`` (started in the
    background) or ``("failed", one line)``; never waits for pictures.
    Inside ``layer_io.read_only()`` (a read-only server) nothing is made."""
    from ..core.layer_io import writes_refused
    from ..post import background, report

    if _dynamics(found):  # one small picture: made at once
        return "ready", _dynamics_report(found, against)
    case = _reportable(found)
    other = None if against is None else (_reportable(against), against.run)
    value: dict[str, Any] | str | None
    if writes_refused():  # a read-only server shows a made report, never makes one
        value = report.cached_report(case, found.run, other)
        if value is None:
            return "failed", (
                f"the report of run {found.run_id} is not made, and this server is read-only: "
                f"make it with 'velmor report {found.run_id}'"
            )
        state: str = "ready"
    else:
        state, value = background.run_status(case, found.run, other)
    if state == "ready" and isinstance(value, dict):
        images = [i for i, _ in report.image_paths(case, value)]
        return state, Report(found, value, against, images)
    return state, value if isinstance(value, str) else None


def write_html(made: Report, output: Path) -> Path:
    """The report as one self-contained HTML file ``output`` (PNGs beside it)."""
    from ..post import report

    assert made.found.case_dir is not None
    try:
        if _dynamics(made.found):
            from ..dynamics import report as dynamics_report

            return dynamics_report.write_html(made.found.case_dir, made.data, output)
        return report.write_html(made.found.case_dir, made.data, output)
    except OSError as exc:
        raise UserError("unavailable", f"cannot write {output}: {exc}") from exc


def default_output(made: Report) -> Path:
    """Where ``velmor report`` writes by default: beside the run's pictures."""
    from ..post import report

    assert made.found.case_dir is not None
    name = "report.html"
    if made.against is not None:
        name = f"report-against-{made.against.run_id}.html"
    return report.post_dir(made.found.case_dir) / name


#: Reports a page was answered with, by (workspace, product, run, comparison)
#: as the page named them, with their manifests' modification times: the page's
#: pictures are checked against its report without finding the run again.
_SHOWN: OrderedDict[tuple[str, str, str, str], tuple[Report, tuple[int, ...]]] = OrderedDict()
_SHOWN_MAX = 64
_SHOWN_LOCK = threading.Lock()


def _stamp(made: Report) -> tuple[int, ...]:
    """When the report's manifests (its own, a comparison's) last changed."""
    from ..post import report

    assert made.found.case_dir is not None
    folders = sorted({p.parent for _, p in report.image_paths(made.found.case_dir, made.data)})
    out = []
    for folder in folders:
        try:
            out.append((folder / report.MANIFEST).stat().st_mtime_ns)
        except OSError:
            out.append(-1)
    return tuple(out)


def _shown_key(
    workspace: Workspace | None, product: str, run: str, against: str | None
) -> tuple[str, str, str, str]:
    return (str(workspace.root) if workspace else "", product, run, against or "")


def remember(
    workspace: Workspace | None, product: str, run: str, against: str | None, made: Report
) -> None:
    """Keep the report a page of ``run`` was answered with, for its pictures."""
    key, value = _shown_key(workspace, product, run, against), (made, _stamp(made))
    with _SHOWN_LOCK:
        _SHOWN[key] = value
        _SHOWN.move_to_end(key)
        while len(_SHOWN) > _SHOWN_MAX:
            _SHOWN.popitem(last=False)


def picture(
    product: str, run: str, against: str | None, name: str, workspace: Workspace | None
) -> Path:
    """The image ``name`` of the report a page of ``run`` shows: checked against
    the report that page was answered with while its manifests are unchanged,
    else found and checked afresh."""
    key = _shown_key(workspace, product, run, against)
    with _SHOWN_LOCK:
        entry = _SHOWN.get(key)
    if entry is not None and _stamp(entry[0]) == entry[1]:
        return picture_file(entry[0], name)
    found = find(run, workspace, product)
    other = find(against, workspace) if against else None
    _state, value = status(found, other)
    if not isinstance(value, Report):
        raise UserError("not_found", f"the pictures of run {found.run_id} are not made yet")
    remember(workspace, product, run, against, value)
    return picture_file(value, name)


def picture_file(made: Report, name: str) -> Path:
    """The image file ``name`` of a made report (only its own images)."""
    from ..post import report

    assert made.found.case_dir is not None
    for image, path in report.image_paths(made.found.case_dir, made.data):
        if image["file"] == name and path.is_file():
            return path
    raise UserError("not_found", f"run {made.found.run_id} has no picture {name!r}")


def numbers(made: Report) -> dict[str, Any]:
    """The report's numbers without its pictures (the ``--json`` answer)."""
    from ..post import report

    return report.summary(made.data) | {
        "product": made.found.product,
        "images": [i["file"] for i in made.images],
    }


def page_view(made: Report) -> dict[str, Any]:
    """The report's sections for a page: record rows, image groups, the parts table."""
    from ..post import report

    if _dynamics(made.found):
        from ..dynamics import report as dynamics_report

        return dynamics_report.view(made.data)
    return report.view(made.data)


@dataclass
class ProductPicture:
    state: str  # ready, making or failed
    path: Path | None = None
    message: str | None = None


@user_errors
def product_picture(ref: str, workspace: Workspace | None) -> ProductPicture:
    """The product's picture (body and wheels from its USD geometry)."""
    from ..post import background

    loaded = load(ref, workspace)
    root = _root(workspace)
    wheelbase = loaded.specs.get("wheelbase")
    state, value = background.product_status(
        root,
        Path(loaded.usd_path),
        str(loaded.name),
        float(wheelbase) if isinstance(wheelbase, (int, float)) else None,
    )
    if state == "ready" and isinstance(value, Path):
        return ProductPicture(state, path=value)
    return ProductPicture(state, message=value if isinstance(value, str) else None)
