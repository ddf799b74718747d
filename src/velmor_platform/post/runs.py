"""A product's recorded runs with everything their records hold.

A report needs everything the recorder wrote for a run (the case folder,
the convergence verdict and band): the product reader's run history holds
it. ``find_run`` picks one run by its run id or prim name.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any


def full_runs(usd_path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """Every run of the product, oldest first, with all its recorded fields."""
    from ..core.usd_product import load_product_history

    return load_product_history(os.fspath(usd_path))


def find_run(usd_path: str | os.PathLike[str], ref: str) -> dict[str, Any] | None:
    """The run whose id or prim name is ``ref``; None when there is none."""
    for run in full_runs(usd_path):
        if ref in (run.get("run_id"), run.get("name")):
            return run
    return None


def case_of(run: dict[str, Any], usd_path: str | os.PathLike[str]) -> Path | None:
    """The run's case folder, links resolved, when it exists under the
    ``cases/`` folder (a dynamics run's: ``dynamics/``) of the workspace that
    holds the product file ``usd_path``; else None. The record is read from
    the product, which may come from anyone: a folder it names elsewhere is
    never read or written."""
    from ..core.paths import enclosing_workspace

    folder = run.get("case_dir")
    workspace = enclosing_workspace(os.path.abspath(usd_path))
    if not folder or workspace is None or not os.path.isabs(str(folder)):
        return None
    cases = Path(workspace, "dynamics" if run.get("domain") == "dynamics" else "cases").resolve()
    path = Path(str(folder)).resolve()
    if path == cases or not path.is_relative_to(cases):
        return None
    return path if path.is_dir() else None


def locate(workspace: str | os.PathLike[str], ref: str) -> tuple[str, Path, dict[str, Any]] | None:
    """``(product identifier, product file, run)`` of the run ``ref`` (a run
    id) among the workspace's products; None when no product has it."""
    from ..core.api import list_products

    products = Path(workspace) / "products"
    found = list_products(products)
    # A run id starts with its product's key: try that product first.
    found.sort(key=lambda item: not ref.startswith(item[0].replace(":", "-") + "-"))
    for ident, usd in found:
        run = find_run(usd, ref)
        if run is not None:
            return ident, usd, run
    return None


def latest_with_case(usd_path: str | os.PathLike[str]) -> dict[str, Any] | None:
    """The product's latest completed aerodynamics run whose case folder exists."""
    recorded: list[dict[str, Any]] = full_runs(usd_path)
    for one in reversed(recorded):
        ok = one.get("status") == "completed" and one.get("domain") == "aerodynamics"
        if ok and case_of(one, usd_path) is not None:
            return dict(one)
    return None
