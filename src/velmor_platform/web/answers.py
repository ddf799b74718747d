"""What the pages are made of: the service layer's answers for this
server's workspace, the HTTP status of each kind of user error, the value
formats of the pages, and two caches.

Every page and its ``/api/`` twin come from one call of
``velmor_platform.services`` (the same call ``velmor ... --json`` makes),
so the JSON twin of a page is exactly what the command prints.

Two answers are cached because they are slow to make afresh: the workspace
listing (loading a product takes milliseconds, and a workspace may hold a
thousand) and the capability report (it asks the OpenFOAM MCP server). A
cached product is reloaded when any file of its directory changes.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import formats
from ..services.errors import UserError, describe
from ..services.loading import Workspace, identifier_only, require_workspace
from ..services.products import TOLERANCE_KEY, current_run, gate

if TYPE_CHECKING:
    from ..services.solvers import Capabilities

__all__ = ["HTTP_STATUS", "UserError", "describe"]

#: The HTTP status of each kind of user error: the one place that decides it.
HTTP_STATUS = {"invalid": 422, "not_found": 404, "conflict": 409, "unavailable": 503}
GLYPHS = formats.FANCY


_WORKSPACE: Workspace | None = None


def use_workspace(root: str | os.PathLike[str]) -> Path:
    """Make ``root`` the workspace every page of this server works in, as
    ``velmor --workspace`` does for one command (nothing is written to the
    environment)."""
    global _WORKSPACE
    path = Path(os.path.abspath(os.path.expanduser(os.fspath(root))))
    _WORKSPACE = Workspace(path, "velmor serve")
    return path


def ws() -> Workspace | None:
    """The server's workspace, for the service calls."""
    return _WORKSPACE


@contextlib.contextmanager
def active() -> Iterator[None]:
    """The server's workspace made active for the product core in this thread."""
    if _WORKSPACE is None:
        yield
        return
    from ..core.workspace import use_workspace as core_use_workspace

    with core_use_workspace(_WORKSPACE.root):
        yield


def workspace() -> Path:
    """The active workspace, refused (503) when unusable."""
    with active():
        if _WORKSPACE is None:
            from ..core.workspace import workspace_root

            return workspace_root()
        return require_workspace(_WORKSPACE)


def product_ref(ref: str) -> str:
    """``ref`` when it is a product identifier; never a path from a request."""
    return identifier_only(ref)


# ------------------------------------------------------------------ formats


def fmt(value: Any) -> str:
    return formats.fmt(value, GLYPHS)


def fmt_signed(value: Any) -> str:
    return formats.fmt_signed(value, GLYPHS)


def fmt_duration(value: Any) -> str:
    return formats.fmt_duration(value, GLYPHS)


def fmt_timestamp(value: Any) -> str:
    return formats.fmt_timestamp(value, GLYPHS)


jsonable = formats.jsonable
is_number = formats.is_number


def run_results(run: dict[str, Any]) -> str:
    """A run's results as the RESULTS column of ``velmor history`` shows them."""
    return formats.run_results(run, GLYPHS)


# ------------------------------------------------------------- cached answers


def _signature(directory: str) -> tuple[tuple[str, int, int], ...]:
    """What changes when any file of a product's directory changes."""
    out = []
    try:
        with os.scandir(directory) as entries:
            for entry in entries:
                if entry.is_file():
                    st = entry.stat()
                    out.append((entry.name, st.st_mtime_ns, st.st_size))
    except OSError:
        return ()
    out.sort()
    return tuple(out)


@dataclass
class Summary:
    """One product of the workspace listing."""

    entry: dict[str, Any]  # what ``velmor --json products`` prints for it
    targets: dict[str, Any] = field(default_factory=dict)
    current: dict[str, Any] = field(default_factory=dict)
    fidelity: str = ""  # how far the current drag figure can be trusted
    band: float | None = None  # its half band
    grid: bool = True  # False when that band is one level's iterative band alone


_summaries: dict[str, tuple[tuple[tuple[str, int, int], ...], Summary]] = {}
_summaries_lock = threading.Lock()


def _summary(ident: str, path: Path) -> Summary:
    from ..services.loading import core

    key = str(path)
    directory = os.path.dirname(key)
    signature = _signature(directory)
    cached = _summaries.get(key)
    if cached is not None and cached[0] == signature and cached[1].entry["id"] == ident:
        return cached[1]
    entry: dict[str, Any] = {"id": ident, "name": None, "path": key}
    summary = Summary(entry)
    try:
        product = core().load(key)
        entry["name"] = product.name
        summary.targets = jsonable(product.targets)
        summary.current = jsonable(product.current)
        run = current_run(key)
        if run is not None:
            summary.fidelity = run["fidelity"]
            summary.band = run.get("cd_band") if is_number(run.get("cd_band")) else None
            summary.grid = run["band_kind"] != "iterative"
    except Exception as exc:  # noqa: BLE001 - one unreadable product does not hide the rest
        entry["error"] = describe(exc)
    # Loading may rewrite geometry references: take the signature afterwards.
    with _summaries_lock:
        _summaries[key] = (_signature(directory), summary)
    return summary


def products() -> list[Summary]:
    """The workspace's products as ``velmor products`` lists them, from a
    cache that reloads a product when its files change."""
    from ..core.api import list_products

    root = workspace()
    return [_summary(ident, path) for ident, path in list_products(root / "products")]


def status_line(summary: Summary) -> tuple[str, str]:
    """One line on the latest drag result against its target, and its check."""
    if "error" in summary.entry:
        return "unreadable: " + summary.entry["error"], "error"
    now, target = summary.current.get("cd"), summary.targets.get("cd")
    tol = summary.targets.get(TOLERANCE_KEY["cd"])
    if not is_number(now):
        return "no drag result yet" + (f" (target {fmt(target)})" if is_number(target) else ""), ""
    if not is_number(target):
        return f"cd {fmt(now)}, no drag target", ""
    check = gate(now, target, tol, True, summary.band, summary.grid)
    band = f" {GLYPHS['pm']}{fmt(tol)}" if is_number(tol) else ""
    mark = f" ({summary.fidelity})" if summary.fidelity else ""
    return f"cd {fmt(now)}{mark} against target {fmt(target)}{band}: {check}", check


_capabilities: dict[str, tuple[float, tuple[Any, ...], Capabilities]] = {}
CAPABILITIES_MAX_AGE = 120.0
#: How long a failed template query is reused before the server is asked again.
FAILED_QUERY_MAX_AGE = 15.0
# One template query at a time, whatever the product: a page that any web page
# can make a browser load must not start a server process per request.
_query_lock = threading.Lock()


def _capability_key() -> tuple[Any, ...]:
    """What the template query depends on besides the product."""
    root = workspace()
    stamps: list[tuple[int, int] | None] = []
    for path in (root / "mcp.json", root / "templates" / "openfoam"):
        try:
            st = path.stat()
            stamps.append((st.st_mtime_ns, st.st_size))
        except OSError:
            stamps.append(None)
    return tuple(stamps)


def capabilities(ref: str, banner: str | None = None) -> Capabilities:
    """``velmor capabilities`` (asks the MCP server: call from a worker
    thread, never from async code). The answer is kept for a while and
    reused; while one query runs, other requests wait for it (single flight)."""
    import dataclasses

    from ..services import products, solvers

    ident = product_ref(ref)
    with _query_lock:
        answer = cached_capabilities(ident)
        if answer is None:
            answer = solvers.capabilities(ident, ws())
            _capabilities[ident] = (time.monotonic(), _capability_key(), answer)
    if banner is not None:
        answer = dataclasses.replace(answer, banner=products.banner(ident, ws(), banner))
    return answer


def cached_capabilities(ref: str) -> Capabilities | None:
    """The capability report of ``ref`` asked for lately, if still fresh."""
    held = _capabilities.get(product_ref(ref))
    if held is None:
        return None
    stamp, key, answer = held
    max_age = FAILED_QUERY_MAX_AGE if answer.problem is not None else CAPABILITIES_MAX_AGE
    if time.monotonic() - stamp > max_age or key != _capability_key():
        return None
    return answer
