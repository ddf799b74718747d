"""Changing a product: its design-intent targets and its geometry."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .. import rules
from .errors import UserError, user_errors
from .loading import Workspace, heading, identifier, layers_kept, load

#: The targets that can be written (see ``rules.TARGETS``).
TARGET_FIELDS = rules.TARGETS


@dataclass
class TargetsUpdate:
    """What ``targets set`` wrote: ``reply`` is what ``--json`` prints."""

    heading: str
    usd_path: Path
    reply: dict[str, Any]
    changes: list[tuple[str, Any, Any]]  # (targets key, before, after) of each value written
    warnings: list[str] = field(default_factory=list)  # values the product could not take


def mark_enclosing_workspace(usd_path: Path) -> None:
    """After a write, mark the workspace holding the product, so that
    commands run inside it find it."""
    from ..core.paths import enclosing_workspace
    from ..core.workspace import mark_workspace

    root = enclosing_workspace(os.path.abspath(usd_path))
    if root is not None:
        # The marker is a convenience; the write itself has succeeded.
        with contextlib.suppress(OSError):
            mark_workspace(root)


@user_errors
def set_targets(
    ref: str,
    workspace: Workspace | None,
    values: Mapping[str, float],
    *,
    only_changed: bool = False,
) -> TargetsUpdate:
    """Write ``values`` (keyed by the keywords of ``TARGET_FIELDS``), each
    checked by the value rules, into the product's top-level USD file. With
    ``only_changed``, the values equal to the product's are left out, and
    when none is left nothing is written (``reply`` is empty)."""
    known = [kw for kw, _, _ in TARGET_FIELDS]
    unknown = sorted(set(values) - set(known))
    if unknown or not values:
        raise UserError("invalid", "give at least one of " + ", ".join(sorted(known)))
    checked = {kw: rules.check(kw, values[kw]) for kw in known if kw in values}
    with layers_kept(ref):  # read once for loading, writing and re-reading
        product = load(ref, workspace)
        before = product.targets
        if only_changed:
            keys = {kw: key for kw, key, _ in TARGET_FIELDS}
            checked = {kw: v for kw, v in checked.items() if before.get(keys[kw]) != v}
            if not checked:
                return TargetsUpdate(heading(product), product.usd_path, {}, [])
        reply = product.set_targets(**checked)
        after = product.targets
    mark_enclosing_workspace(product.usd_path)
    written = reply.get("targets", {})
    from ..core.usd_product import TARGET_ATTRIBUTES

    warnings = [
        f"{identifier(product)} has no {TARGET_ATTRIBUTES[kw]} attribute; {kw} was not written"
        for kw in checked
        if kw not in written
    ]
    changes = [
        (key, before.get(key), after.get(key)) for kw, key, _ in TARGET_FIELDS if kw in written
    ]
    return TargetsUpdate(heading(product), product.usd_path, reply, changes, warnings)


@dataclass
class GeometryUpdate:
    """What ``geometry`` checked: ``reply`` is what ``--json`` prints."""

    heading: str
    reply: dict[str, Any]


@user_errors
def set_geometry(ref: str, workspace: Workspace | None, stl: str) -> GeometryUpdate:
    """Check the STL file ``stl`` for the product (nothing is stored)."""
    product = load(ref, workspace)
    return GeometryUpdate(heading(product), check_geometry(product, stl))


def check_geometry(product: Any, stl: str) -> dict[str, Any]:
    """The core's reply to ``set_geometry``; a file it refuses for not being
    an STL file (its suffix, or a directory) is explained in full."""
    try:
        reply: dict[str, Any] = product.set_geometry(stl)
    except ValueError as exc:
        path = Path(stl)
        if path.suffix.lower() == ".stl" and not path.is_dir():
            raise
        raise UserError(
            "invalid",
            f"Expected .stl file, got: {path.suffix or 'a name without an extension'} ({stl}); "
            "geometry accepts STL files, named *.stl in any letter case",
        ) from exc
    # Say plainly what happened: the file was checked and nothing was stored.
    # A product with this geometry is a variant (``velmor variant``).
    reply = dict(reply)
    reply.update(
        status="checked",
        stored=False,
        note=(
            "Nothing was stored: the product's files are unchanged. To make a product with "
            f"this geometry: velmor variant {identifier(product)} NAME {stl}"
        ),
    )
    return reply
