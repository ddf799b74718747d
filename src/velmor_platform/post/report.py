"""The report of a run: its numbers, plots and pictures, made once and reused.

``run_report(case, run)`` answers the report of the run whose case folder
is ``case`` (``run`` is its record, as the product core lists it): it makes
the plots and pictures into ``<case>/velmor-post/`` the first time (under
a lock per case, so two callers never draw the same run at once) and
reuses them afterwards, as long as the case's output has not changed.
``write_html`` turns a report into one self-contained HTML file (images
embedded) with the PNGs beside it.

A report is a plain dict (JSON as ``report.json`` beside the pictures):

* ``run``: the record; ``window``: the averaging window and the Cd band;
* ``parts``: per part, pressure and viscous Cd, Cl, front and rear lift,
  with a ``total`` row; ``cd_a``: Cd·A in m²;
* ``mesh``: the mesh-quality figures and their one-line summary;
* ``cumulative``: the accumulated drag curve (x, Cd);
* ``images``: the PNGs (key, file, group, caption); ``renderer``: None,
  or one line saying what the pictures need;
* ``against``: for a comparison, the other run's label, record and
  ``window``.
"""

from __future__ import annotations

import base64
import contextlib
import fcntl
import hashlib
import html
import json
import os
import shutil
import tempfile
import time
from collections.abc import Iterator
from dataclasses import asdict
from pathlib import Path
from typing import Any

from ..cfd.functions import vehicle_patches
from ..core.layer_io import atomic_write_bytes
from . import pictures, readers, worker
from .record import RECORD_ROWS, delta_rows, deltas, fmt, record_rows

__all__ = ["RECORD_ROWS", "record_rows"]

#: The folder of a case that holds its report.
POST_DIR = "velmor-post"
#: Bumped when the pictures change, so older sets are made again.
VERSION = 1
MANIFEST = "report.json"


def post_dir(case: Path) -> Path:
    return case / POST_DIR


def _signature(case: Path, extra: str = "") -> str:
    """Changes when the case's output does: the sizes and times of what the report reads."""
    parts = [f"v{VERSION}", extra]
    for rel in ("postProcessing", "log.simpleFoam", "log.checkMesh"):
        root = case / rel
        paths = [root] if root.is_file() else sorted(root.rglob("*")) if root.is_dir() else []
        for path in paths:
            with contextlib.suppress(OSError):
                st = path.stat()
                parts.append(f"{path.relative_to(case)}:{st.st_size}:{st.st_mtime_ns}")
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:16]


@contextlib.contextmanager
def case_lock(folder: Path, timeout: float = 600.0) -> Iterator[None]:
    """An exclusive lock on a report folder, across processes."""
    folder.mkdir(parents=True, exist_ok=True)
    fd = os.open(folder / ".lock", os.O_RDWR | os.O_CREAT, 0o644)
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"{folder} is locked by another report") from None
                time.sleep(0.1)
        yield
    finally:
        os.close(fd)


_fmt = fmt


def run_label(run: dict[str, Any] | None, case: Path) -> str:
    run = run or {}
    return str(run.get("run_id") or run.get("name") or case.name)


def numbers(case: Path, run: dict[str, Any] | None) -> dict[str, Any]:
    """Every number of the report, from the case's output and the record."""
    run = dict(run or {})
    history = readers.coefficient_history(case)
    win = readers.window(history, run)
    patches = vehicle_patches(case) if (case / "system").is_dir() else None
    parts = readers.part_forces(case, win)
    ref = readers.reference(case)
    table = [asdict(p) | {"cd": p.cd} for p in parts]
    if parts:
        total = {
            "part": "total",
            "cd_pressure": sum(p.cd_pressure for p in parts),
            "cd_viscous": sum(p.cd_viscous for p in parts),
            "cd": sum(p.cd for p in parts),
            "cl": sum(p.cl for p in parts),
            "cl_front": sum(p.cl_front for p in parts),
            "cl_rear": sum(p.cl_rear for p in parts),
            "drag_n": sum(p.drag_n for p in parts),
        }
        table.append(total)
    if ref is not None:
        for row in table:
            row["cd_a"] = row["cd"] * ref.frontal_area
    quality = readers.mesh_quality(case, patches)
    curve = readers.cumulative_drag(case, win)
    cd = run.get("cd")
    return {
        "run": {k: v for k, v in run.items() if _jsonable(v)},
        "label": run_label(run, case),
        "case_dir": str(case),
        "window": None
        if win is None
        else {
            "first": win.first,
            "last": win.last,
            "cd": win.cd,
            "half_width": win.half_width,
            "source": win.source,
        },
        "reference": None if ref is None else asdict(ref),
        "cd_a": None if cd is None or ref is None else float(cd) * ref.frontal_area,
        "parts": table,
        "mesh": asdict(quality) | {"line": quality.line()},
        "cumulative": None
        if curve is None
        else {"x": [float(v) for v in curve[0]], "cd": [float(v) for v in curve[1]]},
    }


def _jsonable(value: Any) -> bool:
    return isinstance(value, (str, int, float, bool)) or value is None


def _make(case: Path, folder: Path, run: dict[str, Any] | None, draw: bool) -> dict[str, Any]:
    # The pictures are drawn in a child process while this one makes the plots.
    child = None
    problem: str | None = "pictures were not asked for"
    if draw and readers.surface_files(case).get("body"):
        child = worker.start({"kind": "run", "case": str(case), "folder": str(folder)})
    elif draw:
        problem = "the case holds no sampled surfaces (postProcessing/velmorSurfaces)"
    data = numbers(case, run)
    images, _ = pictures.plot_set(case, folder, run)
    if child is not None:
        try:
            images += worker.finish(child)
            problem = None
        except worker.DrawError as exc:
            problem = str(exc)
    data["images"] = images
    data["renderer"] = problem
    return dict(json.loads(json.dumps(data)))  # as a cached report reads back


def _run_signature(case: Path, run: dict[str, Any] | None, draw: bool) -> str:
    return _signature(case, json.dumps([run or {}, draw], sort_keys=True, default=str))


def run_report(
    case: Path,
    run: dict[str, Any] | None = None,
    *,
    draw: bool = True,
) -> dict[str, Any]:
    """The report of a run, made the first time and reused while the case's
    output and the record stay the same."""
    case = Path(case)
    folder = post_dir(case)
    signature = _run_signature(case, run, draw)
    cached = _cached(folder, signature)
    if cached is not None:
        return cached
    with case_lock(folder):
        cached = _cached(folder, signature)  # made meanwhile by another caller
        if cached is not None:
            return cached
        scratch = Path(tempfile.mkdtemp(prefix=".make-", dir=folder))
        try:
            data = _make(case, scratch, run, draw)
            data["signature"] = signature
            _publish(scratch, folder, data)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    return data


def cached_report(
    case: Path,
    run: dict[str, Any] | None,
    against: tuple[Path, dict[str, Any] | None] | None = None,
) -> dict[str, Any] | None:
    """The report (or comparison) when it is already made, else None; never draws."""
    base = _cached(post_dir(Path(case)), _run_signature(Path(case), run, True))
    if base is None or against is None:
        return base
    other, other_run = against
    folder, signature = _against_folder(Path(case), base, Path(other), other_run)
    extra = _cached(folder, signature)
    if extra is None:
        return None
    return _combined(base, numbers(Path(other), other_run), extra, folder)


def _cached(folder: Path, signature: str) -> dict[str, Any] | None:
    try:
        data = json.loads((folder / MANIFEST).read_text())
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or data.get("signature") != signature:
        return None
    if not all((folder / i["file"]).is_file() for i in data.get("images", [])):
        return None
    return data


def _publish(scratch: Path, folder: Path, data: dict[str, Any]) -> None:
    for image in data["images"]:
        os.replace(scratch / image["file"], folder / image["file"])
    atomic_write_bytes(folder / MANIFEST, (json.dumps(data, indent=1) + "\n").encode())


def _against_folder(
    case: Path, base: dict[str, Any], other: Path, other_run: dict[str, Any] | None
) -> tuple[Path, str]:
    key = hashlib.sha256(str(other.resolve()).encode()).hexdigest()[:8]
    other_signature = _signature(other, json.dumps(other_run or {}, sort_keys=True, default=str))
    return post_dir(case) / f"against-{key}", _signature(case, base["signature"] + other_signature)


def _labels(base: dict[str, Any], other_label: str, same: bool) -> tuple[str, str]:
    this_label = base["label"]
    if other_label == this_label and not same:
        other_label += " (other)"
    return this_label, other_label


def _combined(
    base: dict[str, Any], other: dict[str, Any], extra: dict[str, Any], folder: Path
) -> dict[str, Any]:
    out = dict(base)
    out["against"] = {
        "label": extra.get("other_label", other["label"]),
        "run": other["run"],
        "window": other["window"],
        "parts": other["parts"],
        "folder": folder.name,
        "images": extra["images"],
    }
    return out


def comparison(
    case: Path,
    run: dict[str, Any] | None,
    other: Path,
    other_run: dict[str, Any] | None,
    *,
    draw: bool = True,
) -> dict[str, Any]:
    """The report of ``case`` against ``other``: this run's report plus ΔCp
    pictures on this run's surface and both accumulated drag curves. The
    other run's folder is only read."""
    case, other = Path(case), Path(other)
    base = run_report(case, run, draw=draw)
    other_numbers = numbers(other, other_run)
    same = other.resolve() == case.resolve()
    this_label, other_label = _labels(base, other_numbers["label"], same)
    folder, signature = _against_folder(case, base, other, other_run)
    cached = _cached(folder, signature)
    if cached is None:
        with case_lock(folder):
            cached = _cached(folder, signature)
            if cached is None:
                scratch = Path(tempfile.mkdtemp(prefix=".make-", dir=folder))
                try:
                    wins = (_window(base), _window(other_numbers))
                    images = pictures.cumulative_pair(
                        case, other, scratch, (this_label, other_label), wins
                    )
                    if draw and base["renderer"] is None:
                        with contextlib.suppress(worker.DrawError):
                            images += worker.draw(
                                {
                                    "kind": "delta",
                                    "case": str(case),
                                    "other": str(other),
                                    "folder": str(scratch),
                                    "labels": [this_label, other_label],
                                }
                            )
                    cached = {
                        "images": images,
                        "signature": signature,
                        "other_label": other_label,
                    }
                    _publish(scratch, folder, cached)
                finally:
                    shutil.rmtree(scratch, ignore_errors=True)
    return _combined(base, other_numbers, cached, folder)


def _window(data: dict[str, Any]) -> readers.Window | None:
    w = data.get("window")
    if not w:
        return None
    return readers.Window(w["first"], w["last"], w["cd"], w["half_width"], w["source"])


def image_paths(case: Path, data: dict[str, Any]) -> list[tuple[dict[str, str], Path]]:
    """Every image of a report with its file."""
    folder = post_dir(case)
    out = [(i, folder / i["file"]) for i in data.get("images", [])]
    against = data.get("against")
    if against:
        out += [(i, folder / against["folder"] / i["file"]) for i in against["images"]]
    return out


# --- HTML ------------------------------------------------------------------------------

_GROUPS = (
    ("convergence", "Convergence"),
    ("pressure", "Surface pressure (whole car: the half model mirrored)"),
    ("shear", "Wall shear"),
    ("flow", "Centre-line velocity"),
    ("wake", "Wake"),
    ("drag", "Drag along the car"),
    ("compare", "Comparison"),
)

_CSS = """
body{font-family:system-ui,sans-serif;margin:1.5em auto;max-width:1000px;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #ccc}
table{border-collapse:collapse;margin:.5em 0}td,th{padding:.2em .6em;text-align:right;
border-bottom:1px solid #e4e4e4}th{background:#f3f3f3}td:first-child,th:first-child{text-align:left}
figure{margin:.6em 0}figure img{max-width:100%;border:1px solid #ddd}
figcaption{font-size:.9em;color:#555}.note{background:#fff6d6;padding:.4em .7em}
.pics{display:grid;grid-template-columns:1fr 1fr;gap:.6em}
"""

PART_COLUMNS = (
    ("part", "part"),
    ("cd_pressure", "Cd pressure"),
    ("cd_viscous", "Cd viscous"),
    ("cd", "Cd"),
    ("cd_a", "Cd·A, m²"),
    ("cl", "Cl"),
    ("cl_front", "Cl front"),
    ("cl_rear", "Cl rear"),
    ("drag_n", "drag, N"),
)


def _e(text: Any) -> str:
    return html.escape(str(text), quote=True)


def _record_table(data: dict[str, Any], rows: list[tuple[str, str]] | None = None) -> str:
    rows = record_rows(data) if rows is None else rows
    body = "".join(f"<tr><td>{_e(k)}</td><td>{_e(v)}</td></tr>" for k, v in rows)
    return f'<table class="record">{body}</table>'


def parts_table(parts: list[dict[str, Any]]) -> str:
    if not parts:
        return "<p>No per-part forces in this case.</p>"
    head = "".join(f"<th>{_e(label)}</th>" for _, label in PART_COLUMNS)
    rows = []
    for part in parts:
        cells = "".join(
            f"<td>{_e(_fmt(part.get(key), 1 if key == 'drag_n' else 4))}</td>"
            for key, _ in PART_COLUMNS
        )
        rows.append(f"<tr>{cells}</tr>")
    return f'<table class="parts"><tr>{head}</tr>{"".join(rows)}</table>'


def _figure(src: str, image: dict[str, str]) -> str:
    return (
        f'<figure><img src="{_e(src)}" alt="{_e(image["caption"])}">'
        f"<figcaption>{_e(image['caption'])}</figcaption></figure>"
    )


def body_html(
    data: dict[str, Any], src: Any, *, heading: str = "h1", title: str | None = None
) -> str:
    """The report's body; ``src(image, against)`` gives each image's URL."""
    parts = [f"<{heading}>{_e(title or 'Run ' + data['label'])}</{heading}>"]
    parts.append(_record_table(data))
    against = data.get("against")
    if against and delta_rows(data):
        parts.append(
            f"<p>This run minus run {_e(against['label'])}, with the two bands combined:</p>"
        )
        parts.append(_record_table(data, delta_rows(data)))
    if data.get("renderer"):
        parts.append(f'<p class="note">No pictures here: {_e(data["renderer"])}.</p>')
    images = [(i, False) for i in data.get("images", [])]
    if against:
        images += [(i, True) for i in against["images"]]
    for group, name in _GROUPS:
        chosen = [(i, a) for i, a in images if i["group"] == group]
        if group == "drag":
            parts.append(f"<h2>{_e(name)}</h2>")
            parts += [_figure(src(i, a), i) for i, a in chosen]
            parts.append("<h2>Forces by part</h2>")
            parts.append(
                "<p>Averaged over the window; coefficients of the whole car (the half "
                "model's forces doubled); front and rear lift at the axles.</p>"
            )
            parts.append(parts_table(data.get("parts", [])))
            continue
        if not chosen:
            continue
        parts.append(f"<h2>{_e(name)}</h2>")
        if group == "compare" and against:
            parts.append(f"<p>Against run {_e(against['label'])}.</p>")
            parts.append(_record_table({"run": against["run"], "window": against["window"]}))
        grid = len(chosen) > 1 and group not in ("convergence",)
        figs = "".join(_figure(src(i, a), i) for i, a in chosen)
        parts.append(f'<div class="pics">{figs}</div>' if grid else figs)
    parts.append("<h2>Mesh quality</h2>")
    parts.append(f'<p class="mesh">{_e(data["mesh"]["line"])}</p>')
    return "\n".join(parts)


def write_html(case: Path, data: dict[str, Any], target: Path) -> Path:
    """One self-contained HTML file (images embedded), the PNGs beside it."""
    target = Path(target)
    out_dir = target.parent
    out_dir.mkdir(parents=True, exist_ok=True)
    embedded: dict[str, str] = {}
    for _image, path in image_paths(case, data):
        raw = path.read_bytes()
        embedded[path.name] = "data:image/png;base64," + base64.b64encode(raw).decode()
        if path.parent.resolve() != out_dir.resolve():
            atomic_write_bytes(out_dir / path.name, raw)

    def src(image: dict[str, str], _against: bool) -> str:
        return embedded[image["file"]]

    page = (
        "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
        f"<title>{_e('Run ' + data['label'])}</title><style>{_CSS}</style></head><body>"
        + body_html(data, src)
        + "</body></html>\n"
    )
    atomic_write_bytes(target, page.encode())
    return target


#: The pictures an assistant is shown first, in order.
KEY_IMAGES = ("cp_side", "cp_top", "dcp_side", "convergence", "cumulative_drag", "cumulative_both")


def key_images(case: Path, data: dict[str, Any], limit: int = 4) -> list[tuple[str, bytes]]:
    """The key pictures of a report as ``(caption, PNG bytes)``, at most ``limit``."""
    found = {image["key"]: (image, path) for image, path in image_paths(case, data)}
    out: list[tuple[str, bytes]] = []
    for key in KEY_IMAGES:
        if key in found and len(out) < limit:
            image, path = found[key]
            out.append((image["caption"], path.read_bytes()))
    return out


def summary(data: dict[str, Any]) -> dict[str, Any]:
    """The numbers of a report without its pictures: the structured part of an answer."""
    out = {
        k: data.get(k)
        for k in ("label", "run", "window", "cd_a", "parts", "renderer", "cumulative")
    }
    out["mesh"] = data.get("mesh", {}).get("line")
    against = data.get("against")
    if against:
        out["against"] = {k: against.get(k) for k in ("label", "run", "window", "parts")}
        out["deltas"] = deltas(data)
    return out


def view(data: dict[str, Any]) -> dict[str, Any]:
    """A report as the sections of a page (values as text, images by file):
    what a web page renders with its own template."""
    images = [(i, False) for i in data.get("images", [])]
    against = data.get("against")
    if against:
        images += [(i, True) for i in against["images"]]
    groups = []
    for group, name in _GROUPS:
        chosen = [dict(i, against=a) for i, a in images if i["group"] == group]
        if chosen or group == "drag":
            groups.append({"group": group, "name": name, "images": chosen})
    parts = [
        [_fmt(p.get(key), 1 if key == "drag_n" else 4) for key, _ in PART_COLUMNS]
        for p in data.get("parts", [])
    ]
    return {
        "record": record_rows(data),
        "renderer": data.get("renderer"),
        "groups": groups,
        "part_columns": [label for _, label in PART_COLUMNS],
        "parts": parts,
        "mesh": data.get("mesh", {}).get("line", ""),
        "against": None
        if not against
        else {
            "label": against["label"],
            "record": record_rows({"run": against["run"], "window": against["window"]}),
            "deltas": delta_rows(data),
        },
    }
