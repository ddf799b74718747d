"""The one place where the web interface calls the ``velmor`` command.

Every answer a page shows comes from the command function that ``velmor
... --json`` runs, so the JSON twin of a page is exactly what the command
prints. The command's failures become ``BridgeError`` with the command's
own message and the matching HTTP status. Everything this package needs of
the command's internals (its functions, tables and helpers) is named here
and nowhere else.

Two answers are cached because they are slow to make afresh: the workspace
listing (loading a product takes milliseconds, and a workspace may hold a
thousand) and the capability report (it asks the OpenFOAM MCP server). A
cached product is reloaded when any file of its directory changes.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .. import _cli_render as render
from .. import cli as _cli

log = logging.getLogger(__name__)

# The command's tables, as the pages need them.
RESULT_KEYS: tuple[str, ...] = tuple(_cli._RESULT_KEYS)
TOLERANCE_KEY: Mapping[str, str] = dict(_cli._TOLERANCE_KEY)
UNITS: Mapping[str, str] = dict(_cli._UNITS)
#: Fields of ``velmor targets set``: (form field = keyword, key under which targets reports it).
TARGET_FIELDS: tuple[tuple[str, str], ...] = tuple((kw, key) for _, kw, key in _cli._TARGET_OPTIONS)
_GLYPHS: dict[str, str] = render._FANCY
#: What a command returns and the error it reports as one line (for ``velmor serve``).
Outcome = _cli.Outcome
CliError = _cli.CliError


class BridgeError(Exception):
    """A failure of a command, with the HTTP status that matches it."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


@dataclass(frozen=True)
class Answer:
    """A command's result: ``data`` as ``--json`` prints it, the warnings it
    writes to stderr, and whether its exit status was not 0."""

    data: Any
    warnings: tuple[str, ...] = ()
    failed: bool = False
    lines: Callable[[], list[str]] = field(default=list, repr=False, compare=False)


_ROOT: Path | None = None


def use_workspace(root: str | os.PathLike[str]) -> Path:
    """Make ``root`` the workspace every page of this server works in, as
    ``velmor --workspace`` does for one command (nothing is written to the
    environment)."""
    global _ROOT
    _ROOT = Path(os.path.abspath(os.path.expanduser(os.fspath(root))))
    return _ROOT


@contextlib.contextmanager
def active() -> Iterator[None]:
    """The server's workspace made active for the product core in this thread."""
    if _ROOT is None:
        yield
        return
    from ..core.workspace import use_workspace as core_use_workspace

    with core_use_workspace(_ROOT):
        yield


def _args(**fields: Any) -> argparse.Namespace:
    return argparse.Namespace(
        json=True,
        workspace=None,
        workspace_root=_ROOT,
        workspace_source="velmor serve",
        **fields,
    )


def require_workspace(args: argparse.Namespace) -> Path:
    """The workspace the command line chose, refused when unusable."""
    return _cli._require_workspace(args)


def workspace() -> Path:
    """The active workspace, refused with the command's message when unusable."""
    try:
        with active():
            if _ROOT is None:
                from ..core.workspace import workspace_root

                return workspace_root()
            return _cli._require_workspace(_args())
    except _cli.CliError as exc:
        raise BridgeError(500, str(exc)) from None


def describe(exc: BaseException) -> str:
    return _cli._describe(exc)


def fmt(value: Any) -> str:
    return render.fmt(value, _GLYPHS)


def fmt_signed(value: Any) -> str:
    return render.fmt_signed(value, _GLYPHS)


def fmt_duration(value: Any) -> str:
    return render.fmt_duration(value, _GLYPHS)


def fmt_timestamp(value: Any) -> str:
    return render.fmt_timestamp(value, _GLYPHS)


def render_jsonable(value: Any) -> Any:
    """``value`` as ``--json`` prints it (paths as strings, no NaN)."""
    return render.jsonable(value)


def is_number(value: Any) -> bool:
    return render.is_number(value)


def run_results(run: dict[str, Any]) -> str:
    """The RESULTS column of ``velmor history`` for one run."""
    return _cli._results(run, _GLYPHS)


def check(now: Any, target: Any, tol: Any, has_tolerance: bool) -> str:
    """``ok``, ``off``, ``no tol`` or empty: the CHECK column of ``velmor show``."""
    return _cli._gate(now, target, tol, has_tolerance)


def rounded(value: float) -> float:
    return _cli._round(value)


# ------------------------------------------------------------------ identifiers


def product_ref(ref: str) -> str:
    """``ref`` when it is a product identifier; never a path from a request."""
    from ..core.api import _split_identifier

    if not ref or _cli._looks_like_path(ref):
        raise BridgeError(404, f"no product named {ref!r}: products are named by identifier")
    try:
        _split_identifier(ref)
    except (TypeError, ValueError) as exc:
        raise BridgeError(404, str(exc)) from None
    return ref


# --------------------------------------------------------------------- running


def _run(func: Callable[[argparse.Namespace], Any], **fields: Any) -> Answer:
    args = _args(**fields)
    try:
        with active():
            outcome = func(args)
    except BridgeError:
        raise
    except TimeoutError as exc:  # the product's lock is held by another writer
        raise BridgeError(409, describe(exc)) from None
    except FileNotFoundError as exc:
        raise BridgeError(404, describe(exc)) from None
    except (_cli.CliError, ValueError) as exc:
        raise BridgeError(422, describe(exc)) from None
    except SystemExit as exc:  # a usage error: the command wrote its line to stderr
        raise BridgeError(422, f"refused by {func.__name__} (usage error {exc.code})") from None
    except Exception as exc:
        log.exception("%s failed", func.__name__)
        raise BridgeError(500, describe(exc)) from exc
    return Answer(
        data=render.jsonable(outcome.data),
        warnings=tuple(outcome.warnings),
        failed=outcome.status != 0,
        lines=outcome.text,
    )


def show(ref: str) -> Answer:
    """``velmor show``."""
    return _run(_cli.cmd_show, product=product_ref(ref))


def history(ref: str) -> Answer:
    """``velmor history``."""
    return _run(_cli.cmd_history, product=product_ref(ref))


def diff(a: str, b: str) -> Answer:
    """``velmor diff``."""
    return _run(_cli.cmd_diff, a=product_ref(a), b=product_ref(b))


def range_(ref: str, cd: float | None) -> Answer:
    """``velmor range [--cd CD]``."""
    return _run(_cli.cmd_range, product=product_ref(ref), cd=cd)


def solvers() -> Answer:
    """``velmor solvers``."""
    return _run(_cli.cmd_solvers, domain=None)


def solver_set(ref: str, domain: str, backend: str) -> Answer:
    """``velmor solver set``."""
    return _run(_cli.cmd_solver_set, product=product_ref(ref), domain=domain, backend=backend)


def solver_resolve(ref: str, domain: str, backend: str | None) -> Answer:
    """``velmor solver resolve [--backend B]``."""
    return _run(_cli.cmd_solver_resolve, product=product_ref(ref), domain=domain, backend=backend)


def set_targets(ref: str, values: Mapping[str, float]) -> Answer:
    """``velmor targets set``: ``values`` keyed by the fields of TARGET_FIELDS."""
    known = {kw for kw, _ in TARGET_FIELDS}
    unknown = sorted(set(values) - known)
    if unknown or not values:
        raise BridgeError(422, "give at least one of " + ", ".join(sorted(known)))
    fields = {kw: values.get(kw) for kw in known}
    return _run(_cli.cmd_targets_set, product=product_ref(ref), **fields)


def set_geometry(ref: str, stl: Path) -> Answer:
    """``velmor geometry``."""
    return _run(_cli.cmd_geometry, product=product_ref(ref), stl=str(stl))


def export(ref: str) -> Answer:
    """``velmor export``."""
    return _run(_cli.cmd_export, product=product_ref(ref), format="usd")


def banner(ref: str, action: str) -> dict[str, Any]:
    """The product's ``metadata`` banner for ``action``."""
    answer = _run(
        lambda args: _cli.Outcome(_cli.load(args, args.product).metadata(action), list),
        product=product_ref(ref),
    )
    data: dict[str, Any] = answer.data
    return data


def products_cli() -> Answer:
    """``velmor products``, loading every product (see ``products`` for the cached listing)."""
    return _run(_cli.cmd_products)


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


_summaries: dict[str, tuple[tuple[tuple[str, int, int], ...], Summary]] = {}
_summaries_lock = threading.Lock()


def _summary(ident: str, path: Path) -> Summary:
    from ..core.product_core import ProductCore

    key = str(path)
    directory = os.path.dirname(key)
    signature = _signature(directory)
    cached = _summaries.get(key)
    if cached is not None and cached[0] == signature and cached[1].entry["id"] == ident:
        return cached[1]
    entry: dict[str, Any] = {"id": ident, "name": None, "path": key}
    summary = Summary(entry)
    try:
        product = ProductCore.load(key)
        entry["name"] = product.name
        summary.targets = render.jsonable(product.targets)
        summary.current = render.jsonable(product.current)
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
    gate = check(now, target, tol, True)
    band = f" {_GLYPHS['pm']}{fmt(tol)}" if is_number(tol) else ""
    return f"cd {fmt(now)} against target {fmt(target)}{band}: {gate}", gate


_capabilities: dict[str, tuple[float, tuple[Any, ...], Answer]] = {}
CAPABILITIES_MAX_AGE = 120.0


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


def capabilities(ref: str) -> Answer:
    """``velmor capabilities`` (asks the MCP server: call from a worker
    thread, never from async code). The answer is kept for a while."""
    ident = product_ref(ref)
    answer = _run(_cli.cmd_capabilities, product=ident)
    _capabilities[ident] = (time.monotonic(), _capability_key(), answer)
    return answer


def cached_capabilities(ref: str) -> Answer | None:
    """The capability report of ``ref`` asked for lately, if still fresh."""
    held = _capabilities.get(product_ref(ref))
    if held is None:
        return None
    stamp, key, answer = held
    if time.monotonic() - stamp > CAPABILITIES_MAX_AGE or key != _capability_key():
        return None
    return answer


def capability_reasons(answer: Answer) -> dict[str, str]:
    """Why a domain is unavailable, in the command's words, by domain."""
    reasons: dict[str, str] = {}
    lines = answer.lines()
    try:
        start = lines.index("", 2)  # the blank line after the table
    except ValueError:
        return reasons
    domain = None
    for line in lines[start + 1 :]:
        if not line:
            domain = None
            continue
        if not line[0].isspace() and ":" in line:
            domain, text = line.split(":", 1)
            reasons[domain] = text.strip()
        elif domain is not None:
            reasons[domain] += " " + line.strip()
    return reasons


def product_file(ref: str) -> Path:
    """The product's top-level USD file, as ``velmor export`` names it,
    checked to lie inside the workspace."""
    answer = export(ref)
    path = Path(answer.data["path"]).resolve()
    root = workspace().resolve()
    if not path.is_relative_to(root / "products") or not path.is_file():
        raise BridgeError(404, f"export of {ref} is not a file of the workspace: {path}")
    return path
