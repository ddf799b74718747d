"""A workspace's one-node Slurm cluster (``study.cluster``), as use cases:
``start``, ``status`` and ``stop``, each returning what ``--json`` prints."""

from __future__ import annotations

from typing import Any

from .errors import UserError, translated
from .loading import Workspace
from .studies import _root


def start(workspace: Workspace | None) -> dict[str, Any]:
    from ..study.cluster import workspace as cluster

    root = _root(workspace)
    with translated():
        try:
            return cluster.start(root)
        except OSError as exc:
            raise UserError("unavailable", f"cannot start the cluster: {exc}") from None


def status(workspace: Workspace | None) -> dict[str, Any]:
    from ..study.cluster import workspace as cluster

    root = _root(workspace)
    with translated():
        return cluster.status(root)


def stop(workspace: Workspace | None) -> dict[str, Any]:
    from ..study.cluster import workspace as cluster

    root = _root(workspace)
    with translated():
        try:
            return cluster.stop(root)
        except OSError as exc:
            raise UserError("unavailable", f"cannot stop the cluster: {exc}") from None
