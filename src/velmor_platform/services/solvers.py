"""Solvers: the registry's domains, which domains can run on a product
(and why not), and the choice of a solver backend.

``capabilities`` asks the workspace's OpenFOAM MCP server for its case
templates; when the server cannot be asked, the reason is a data field
(``openfoam_server``), and why each unavailable domain is unavailable is
in ``Capabilities.reasons``.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .errors import UserError, describe, user_errors
from .loading import Workspace, core, heading, load

if TYPE_CHECKING:
    from ..core.product_core import ProductCore

#: Where a case template lives, relative to the workspace.
TEMPLATE_FOLDER_HINT = "a template is a directory templates/openfoam/<name>/"


def _unknown_domain(domain: str) -> UserError:
    known = ", ".join(str(d.get("domain")) for d in core().solvers() or [])
    return UserError(
        "invalid", f"unknown domain {domain!r} (known: {known}; 'aero' stands for 'aerodynamics')"
    )


def check_domain(domain: str) -> None:
    """Refuse a domain the solver registry does not know, so that a typo is
    not silently stored as a domain of its own."""
    if core().solver(domain) is None:
        raise _unknown_domain(domain)


def domains() -> list[dict[str, Any]]:
    """Every domain's registry record."""
    return core().solvers() or []


def domain(name: str) -> dict[str, Any]:
    """One domain's registry record."""
    record = core().solver(name)
    if record is None:
        raise _unknown_domain(name)
    return record


def installed_solvers(records: list[dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """By solver name, whether it can run here and the version found
    (``installed_here``): the registry names the version it was written for,
    the machine may have another (Debian's OpenFOAM is v1912). Beside the
    records, never inside them: ``--json`` stays what the core returns."""
    names = {str(s.get("name")) for r in records for s in r.get("solvers") or []}
    return {name: installed_here(name) for name in sorted(names)}


# ------------------------------------------------------------- capabilities


@dataclass
class Capabilities:
    """Which domains can run on a product."""

    heading: str
    report: dict[str, Any]  # the core's records, by domain
    problem: dict[str, str] | None  # why the OpenFOAM server could not be asked
    reasons: dict[str, str] = field(default_factory=dict)  # by unavailable domain
    banner: dict[str, Any] | None = None
    # by domain: whether its default solver is installed here, and its version
    installed: dict[str, dict[str, Any]] = field(default_factory=dict)

    @property
    def data(self) -> dict[str, Any]:
        """What ``capabilities --json`` prints: the records, and beside them
        (never inside) ``installed`` and ``openfoam_server`` when the server failed."""
        data: dict[str, Any] = dict(self.report)
        if self.installed:
            data["installed"] = self.installed
        if self.problem is not None:
            data["openfoam_server"] = self.problem
        return data

    @property
    def warnings(self) -> list[str]:
        if self.problem is None:
            return []
        log = f" (server log: {self.problem['log']})" if self.problem.get("log") else ""
        return [f"openfoam server: {self.problem['error']}{log}"]


@user_errors
def capabilities(
    ref: str, workspace: Workspace | None, *, banner: str | None = None
) -> Capabilities:
    """The capability report (asks the MCP server: call from a worker
    thread, never from async code)."""
    from ..mcp.mcp_transport import record_failures

    product = load(ref, workspace)
    started = time.time()
    with record_failures() as failures:
        report = product.capabilities()
    root = workspace.root if workspace is not None else None
    problem = _server_problem(failures, root, started)
    reasons: dict[str, str] = {}
    for name, entry in report.items():
        if name in ("aerodynamics", "aero") and not entry.get("available"):
            if problem is not None:
                reasons[name] = (
                    "the workspace's OpenFOAM server could not be asked for its case templates"
                )
            else:
                reasons[name] = (
                    "the workspace's OpenFOAM server lists no case template named "
                    f"{product.product_dir.name!r}"
                )
            break
    if "dynamics" in report and not report["dynamics"].get("available"):
        reasons["dynamics"] = "needs a mass above 500 kg and a wheelbase"
    return Capabilities(
        heading(product),
        report,
        problem,
        reasons,
        product.metadata(banner) if banner else None,
        {name: installed_here(str(entry.get("solver"))) for name, entry in report.items()},
    )


def installed_here(solver: str) -> dict[str, Any]:
    """Whether ``solver`` can run on this machine (``simulate`` runs only a
    local OpenFOAM), the version found, and why not."""
    from ..cfd.api import backend_installed
    from ..cfd.runner import openfoam_install

    if solver == "chrono":
        from ..dynamics.runner import about

        chrono = about()
        if "problem" in chrono:
            return {"installed": False, "reason": chrono["problem"]}
        return {"installed": True, "version": str(chrono.get("chrono_version", ""))}
    ok, why = backend_installed(solver)
    found: dict[str, Any] = {"installed": ok}
    if solver == "openfoam":
        version = openfoam_install().version
        if version:
            found["version"] = version
    if not ok:
        found["reason"] = why
    return found


def _server_problem(
    failures: list[BaseException], root: Path | None, since: float
) -> dict[str, str] | None:
    """Why the template query failed, and the server's log when the server
    wrote to it (after ``since``)."""
    if not failures:
        return None
    problem = {"error": describe(failures[0])}
    if root is not None:
        from ..mcp.mcp_config import log_path

        log = log_path(root, "openfoam")
        try:
            status = log.stat()
            if status.st_size > 0 and status.st_mtime >= since - 1:
                problem["log"] = str(log)
        except OSError:
            pass
    return problem


# ------------------------------------------------------------ solver choice


@dataclass
class Resolution:
    """A domain's backend for one product: ``data`` is what ``--json`` prints."""

    heading: str
    data: dict[str, Any]


@user_errors
def set_solver(ref: str, workspace: Workspace | None, domain: str, backend: str) -> Resolution:
    """Select ``backend`` for ``domain`` (held in memory by the loaded
    product only) and the dispatch backend it resolves to."""
    check_domain(domain)
    product = load(ref, workspace)
    selection = product.set_solver(domain, backend)
    dispatch, _ = product.resolve_dispatch_backend(domain=domain)
    return Resolution(heading(product), dict(selection, dispatch_backend=dispatch))


@user_errors
def resolve_solver(
    ref: str, workspace: Workspace | None, domain: str, backend: str | None = None
) -> Resolution:
    """The backend a dispatch for ``domain`` would use, after selecting
    ``backend`` when given."""
    check_domain(domain)
    return _resolution(load(ref, workspace), domain, backend)


def _resolution(product: ProductCore, domain: str, backend: str | None) -> Resolution:
    """Select ``backend`` for ``domain`` on ``product`` when given, then resolve it."""
    if backend is not None:
        product.set_solver(domain, backend)
    selected = product.get_solver_backend(domain)
    dispatch, _ = product.resolve_dispatch_backend(domain=domain)
    data = {
        "product": product.name,
        "domain": domain,
        "selected": selected,
        "dispatch_backend": dispatch,
    }
    return Resolution(heading(product), data)


@dataclass
class Resolutions:
    """Every domain's backend for one product, loaded once (a page's view)."""

    resolved: list[Resolution]
    banner: dict[str, Any] | None = None


@user_errors
def resolve_solvers(
    ref: str,
    workspace: Workspace | None,
    choices: dict[str, str],
    *,
    banner: str | None = None,
) -> Resolutions:
    """``resolve_solver`` for every domain of the registry on one loaded
    product, after selecting the backend ``choices`` names for a domain."""
    product = load(ref, workspace)
    resolved = []
    for record in domains():
        domain = str(record.get("domain"))
        resolved.append(_resolution(product, domain, choices.get(domain)))
    return Resolutions(resolved, product.metadata(banner) if banner else None)
