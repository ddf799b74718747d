"""Workspaces: choosing one, creating one from the bundled sample, and
checking one with everything it needs (``doctor``)."""

from __future__ import annotations

import time
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .errors import UserError, describe
from .loading import INIT_COMMAND, Workspace, interrupt_deferred


def choose(
    explicit: str | None, environ: Mapping[str, str], cwd: str, *, create_user: bool
) -> Workspace:
    """The workspace to use (``--workspace``, the environment, the enclosing
    one, else the per-user one, created when ``create_user``)."""
    from ..core.workspace import WorkspaceError, choose_workspace, ensure_user_workspace

    try:
        root, how = choose_workspace(explicit, environ, cwd)
    except (WorkspaceError, OSError) as exc:
        raise UserError("unavailable", describe(exc)) from exc
    if how == "the per-user workspace" and create_user:
        ensure_user_workspace(root)
    return Workspace(root, how)


@dataclass
class Created:
    root: Path
    products: list[str]

    @property
    def data(self) -> dict[str, Any]:
        return {"workspace": self.root, "products": self.products}


def init(target: str) -> Created:
    """A new workspace in ``target`` (new or empty), seeded from the sample;
    a folder that holds something already, or a file, is refused (invalid)."""
    from ..core.workspace import seed_workspace

    try:
        root = seed_workspace(target)
    except (FileExistsError, NotADirectoryError) as exc:
        raise UserError("invalid", describe(exc)) from None
    return Created(root, sorted(p.name for p in (root / "products").iterdir() if p.is_dir()))


# ------------------------------------------------------------------- doctor


@dataclass
class Check:
    """One check of ``doctor``: its name, whether it passed, what was found,
    how to fix it, and how long it took."""

    name: str
    ok: bool
    detail: str
    fix: str = ""
    seconds: float | None = None

    @property
    def data(self) -> dict[str, Any]:
        return {k: v for k, v in vars(self).items() if v not in ("", None)}


def doctor(workspace: Workspace | None, workspace_error: str | None = None) -> list[Check]:
    """The workspace, its mcp.json and servers, OpenUSD and the solver programs."""
    checks = _workspace_checks(workspace, workspace_error)
    checks.append(_usd_check())
    checks += _solver_checks()
    if workspace is not None:
        configured = (workspace.root / "cluster.toml").is_file()
        slurm = _slurm_check(workspace.root) if configured else None
        if slurm is None:
            slurm = _slurm_unconfigured()
        if slurm is not None:
            checks.append(slurm)
    return checks


def _slurm_unconfigured() -> Check | None:
    """Slurm installed here while the workspace configures no cluster: how to get one."""
    from ..study.cluster.daemons import installed

    if not installed():
        return None
    return Check(
        "slurm",
        True,
        "installed, but no cluster is configured for this workspace (studies run locally); "
        "'velmor cluster start' starts a one-node cluster here and points cluster.toml at it, "
        "or give an existing cluster's settings in cluster.toml (docs/studies.md)",
    )


def _slurm_check(root: Path) -> Check | None:
    """The Slurm set-up of ``cluster.toml``, when it configures one."""
    from .studies import slurm_report

    start = time.monotonic()
    try:
        report = slurm_report(root)
    except UserError as exc:
        return Check("slurm", False, exc.message, f"correct {root / 'cluster.toml'}")
    if report is None:
        return None
    partitions = ", ".join(
        f"{p.get('partition')} ({p.get('node_state')}, {p.get('cpus')} CPUs)"
        for p in report.get("partitions", [])
    )
    detail = f"{report['controller']}; config {report['slurm_conf']}"
    if partitions:
        detail += f"; partitions: {partitions}"
    fix = report.get("problem") or (
        ""
        if report["ok"]
        else "start slurmctld ('velmor cluster start' for this workspace's own one-node "
        "cluster), or point slurm_conf in cluster.toml at the cluster"
    )
    return Check("slurm", bool(report["ok"]), detail, fix, time.monotonic() - start)


def _workspace_checks(workspace: Workspace | None, error: str | None) -> list[Check]:
    if workspace is None:
        return [
            Check("workspace", False, error or "", "pass --workspace DIR or set VELMOR_WORKSPACE")
        ]
    root, how = workspace.root, workspace.how
    if not (root / "products").is_dir():
        fix = (
            f"{INIT_COMMAND} {root}"
            if not root.exists()
            else "choose a workspace with --workspace DIR"
        )
        return [Check("workspace", False, f"{root} (from {how}) has no products/ directory", fix)]
    checks = [Check("workspace", True, f"{root} (from {how})")]
    from ..core.workspace import use_workspace
    from ..mcp import mcp_config

    try:
        config = mcp_config.read_config(root / mcp_config.CONFIG_FILE)
    except mcp_config.McpConfigError as exc:
        return [
            *checks,
            Check(
                "mcp.json",
                False,
                describe(exc),
                f"correct the file (its JSON Schema is {mcp_config.schema_path()})",
            ),
        ]
    names = sorted(config.entries().keys() | {mcp_config.OPENFOAM})
    exists = (root / mcp_config.CONFIG_FILE).is_file()
    checks.append(
        Check(
            "mcp.json",
            True,
            ("valid; " if exists else "absent (defaults); ") + f"servers: {', '.join(names)}",
        )
    )
    with use_workspace(root):
        checks += [_server_check(root, name) for name in names]
    return checks


def _server_check(root: Path, name: str) -> Check:
    import asyncio

    from ..mcp.mcp_config import log_path
    from ..mcp.mcp_transport import mcp_connect

    async def tools() -> list[str]:
        async with mcp_connect(name) as session:
            listed = await session.list_tools()
        return [str(tool.name) for tool in listed.tools]

    start = time.monotonic()
    try:
        names = asyncio.run(tools())
    except Exception as exc:  # noqa: BLE001 - reported as one line
        log = log_path(root, name)
        hint = (
            f"see {log}" if log.is_file() and log.stat().st_size else "check its entry in mcp.json"
        )
        return Check(f"server {name}", False, describe(exc), hint, time.monotonic() - start)
    return Check(
        f"server {name}",
        True,
        f"tools: {', '.join(names) or 'none'}",
        seconds=time.monotonic() - start,
    )


def _usd_check() -> Check:
    try:
        with interrupt_deferred():
            from pxr import Usd
    except ImportError as exc:
        return Check("OpenUSD", False, describe(exc), "pip install usd-core")
    return Check("OpenUSD", True, "version " + ".".join(str(n) for n in Usd.GetVersion()))


def _solver_checks() -> list[Check]:
    import shutil

    checks = []
    for program in ("simpleFoam", "snappyHexMesh", "blockMesh"):
        found = shutil.which(program)
        checks.append(
            Check(program, True, found)
            if found
            else Check(
                program, False, "not found on PATH", "install OpenFOAM (apt-get install openfoam)"
            )
        )
    if any(c.ok for c in checks):
        checks.append(_environment_check())
    checks.append(_chrono_check())
    return checks


def _chrono_check() -> Check:
    """The Chrono runner of the dynamics domain: its Chrono version and data, or how to get it."""
    from ..dynamics.runner import HOW_TO_GET, about

    found = about()
    if "problem" in found:
        # "what is wrong: how to fix it" splits into the two columns; a runner
        # that is there but does not start says so, and the fix is a reinstall
        what, _, fix = found["problem"].partition(": ")
        return Check("chrono", False, what, fix or HOW_TO_GET)
    where = f"{found['runner']}; vehicle data {found.get('data_dir')}"
    return Check("chrono", True, f"Chrono {found.get('chrono_version')} ({where})")


def _environment_check() -> Check:
    """The OpenFOAM environment velmor will use: WM_PROJECT_DIR as the
    solvers get it (the caller's, or velmor's default when unset)."""
    from ..cfd.runner import openfoam_install

    found = openfoam_install()
    where = "from the environment" if found.from_environment else "velmor's default, as unset"
    version = f", OpenFOAM {found.version}" if found.version else ""
    if found.problem is not None and found.project_dir is not None:
        return Check(
            "WM_PROJECT_DIR", False, f"{found.project_dir} ({where})", found.problem.split(": ")[-1]
        )
    if found.problem is not None:
        return Check("WM_PROJECT_DIR", False, "not set, and no default", found.problem)
    return Check("WM_PROJECT_DIR", True, f"{found.project_dir} ({where}{version})")
