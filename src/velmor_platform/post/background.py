"""Making reports and product pictures without keeping anyone waiting.

A server asks ``run_status(case, run)``: "ready" with the report when it
exists, else "making" (and the report is started, once per case, in a
child process watched by a thread) or "failed" with one line. Nothing here
blocks the caller: the drawing happens in children, the per-case lock of
``report`` keeps two processes from drawing the same run.

At most ``MAX_DRAWING`` children draw at once, whoever asks: the others
wait in line on their threads, and beyond ``MAX_WAITING`` waiting a new
drawing is not started but answered "failed" (busy), not remembered, so
that it is started when asked again.

Product pictures are cached under the workspace's state folder by the
signature of the files the product's geometry comes from; a picture is
ready only once its PNG is whole (it is written under a temporary name and
renamed into place).
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
import time
from pathlib import Path
from typing import Any

from . import report, worker

_lock = threading.Lock()
_jobs: dict[str, threading.Thread] = {}
_failed: dict[str, tuple[str, float]] = {}  # key -> (line, time.monotonic() of the failure)
#: A failed drawing is tried again when asked this long after (a busy
#: machine's timeout passes; a broken renderer costs one child a minute).
RETRY_AFTER_S = 60.0
#: Drawing children running at once, in this process.
MAX_DRAWING = 2
#: Drawings waiting for a free child before a new one is refused as busy.
MAX_WAITING = 32
_drawing = threading.BoundedSemaphore(MAX_DRAWING)
BUSY = "the pictures are busy: too many drawings wait; ask again shortly"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _key(*parts: Any) -> str:
    return hashlib.sha256(json.dumps(parts, sort_keys=True, default=str).encode()).hexdigest()[:20]


def _start(key: str, job: dict[str, Any]) -> bool:
    """Start drawing ``job`` (once per ``key``); False when too many wait."""

    def run() -> None:
        try:
            with _drawing:
                worker.draw(job)
        except worker.DrawError as exc:
            with _lock:
                _failed[key] = (str(exc), time.monotonic())
        finally:
            with _lock:
                _jobs.pop(key, None)

    with _lock:
        if key in _jobs:
            return True
        if len(_jobs) >= MAX_DRAWING + MAX_WAITING:
            return False
        _failed.pop(key, None)
        thread = threading.Thread(target=run, name=f"velmor-post-{key[:8]}", daemon=True)
        _jobs[key] = thread
    thread.start()
    return True


def _known(key: str) -> tuple[str, str | None] | None:
    """``("making", None)`` while ``key`` is drawn, ``("failed", line)`` after a
    recent failure, else None (it may be started)."""
    with _lock:
        if key in _jobs:
            return "making", None
        failed = _failed.get(key)
        if failed is not None and time.monotonic() - failed[1] < RETRY_AFTER_S:
            return "failed", failed[0]
    return None


def run_status(
    case: Path,
    run: dict[str, Any] | None,
    against: tuple[Path, dict[str, Any] | None] | None = None,
) -> tuple[str, dict[str, Any] | str | None]:
    """``("ready", report)``, ``("making", None)`` or ``("failed", line)``."""
    case = Path(case)
    data = report.cached_report(case, run, against)
    if data is not None:
        return "ready", data
    key = _key(str(case), run, None if against is None else (str(against[0]), against[1]))
    known = _known(key)
    if known is not None:
        return known
    job: dict[str, Any] = {"kind": "report", "case": str(case), "run": run}
    if against is not None:
        job.update(other=str(against[0]), other_run=against[1])
    return ("making", None) if _start(key, job) else ("failed", BUSY)


def wait(timeout: float = 600.0) -> None:
    """Wait for every job started here (tests, and a server shutting down)."""
    with _lock:
        threads = list(_jobs.values())
    for thread in threads:
        thread.join(timeout)


# --- product pictures ------------------------------------------------------------------


def _geometry_signature(usd_path: Path) -> str:
    """Changes when any layer the product composes changes."""
    from ..core.containment import open_contained_layers

    parts = [str(usd_path)]
    try:
        layers = open_contained_layers(usd_path)
    except (ValueError, OSError):
        layers = []
    for layer in layers:
        path = getattr(layer, "realPath", "") or ""
        try:
            st = os.stat(path)
        except OSError:
            continue
        parts.append(f"{path}:{st.st_size}:{st.st_mtime_ns}")
    return _key(parts, report.VERSION)


def product_picture_path(workspace: Path, usd_path: Path) -> Path:
    from ..core.layer_io import state_dir

    return state_dir(workspace) / "pictures" / f"product-{_geometry_signature(usd_path)}.png"


def product_status(
    workspace: Path, usd_path: Path, name: str = "", wheelbase: float | None = None
) -> tuple[str, Path | str | None]:
    """``("ready", png)``, ``("making", None)`` or ``("failed", line)`` for a
    product's picture."""
    target = product_picture_path(workspace, Path(usd_path))
    if _whole_png(target):
        return "ready", target
    key = _key("product", str(target))
    known = _known(key)
    if known is not None:
        return known
    target.parent.mkdir(parents=True, exist_ok=True)
    started = _start(
        key,
        {
            "kind": "product",
            "usd": str(usd_path),
            "target": str(target),
            "name": name,
            "wheelbase": wheelbase,
        },
    )
    return ("making", None) if started else ("failed", BUSY)


def _whole_png(path: Path) -> bool:
    """True for a PNG file that is there whole (at least its signature)."""
    try:
        with open(path, "rb") as f:
            return f.read(len(PNG_SIGNATURE)) == PNG_SIGNATURE
    except OSError:
        return False
