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


#: Targets the product core's set_targets has no keyword for: keyword -> the
#: attribute written through the same locked, checked write path.
EXTRA_TARGET_ATTRIBUTES = {"cd_tolerance": "targetCdTolerance"}


def _target_attributes() -> dict[str, str]:
    from ..core.usd_product import TARGET_ATTRIBUTES

    return {**TARGET_ATTRIBUTES, **EXTRA_TARGET_ATTRIBUTES}


@user_errors
def set_targets(
    ref: str,
    workspace: Workspace | None,
    values: Mapping[str, float],
    *,
    only_changed: bool = False,
    shown: Mapping[str, float | None] | None = None,
    allow_implausible: bool = False,
) -> TargetsUpdate:
    """Write ``values`` (keyed by the keywords of ``TARGET_FIELDS``), each
    checked by the value rules, into the product's top-level USD file. With
    ``only_changed``, the values equal to the product's are left out, and
    when none is left nothing is written (``reply`` is empty).

    ``shown`` holds what a form showed for its fields when it was rendered:
    only the fields the person changed from that are written, and when one
    of them has changed in the product since (another writer), nothing is
    written (a ``conflict``): no one's change is lost unseen.
    """
    known = [kw for kw, _, _ in TARGET_FIELDS]
    unknown = sorted(set(values) - set(known))
    if unknown or not values:
        raise UserError("invalid", "give at least one of " + ", ".join(sorted(known)))
    checked = {
        kw: rules.check(kw, values[kw], allow_implausible=allow_implausible)
        for kw in known
        if kw in values
    }
    keys = {kw: key for kw, key, _ in TARGET_FIELDS}
    if shown is not None:  # the person's edits only
        checked = {kw: v for kw, v in checked.items() if kw not in shown or shown[kw] != v}
    with layers_kept(ref):  # read once for loading, writing and re-reading
        product = load(ref, workspace)
        from ..core.layer_io import product_lock

        # Compared and written under one hold of the product's lock.
        with product_lock(product.usd_path):
            if shown is not None:
                product = load(ref, workspace)  # as it is now
            before = product.targets
            if shown is not None:
                _refuse_changed_since_shown(product, before, checked, shown, keys)
            if only_changed:
                checked = {kw: v for kw, v in checked.items() if before.get(keys[kw]) != v}
            if not checked:
                return TargetsUpdate(heading(product), product.usd_path, {}, [])
            if all(_holds(product, kw) for kw in checked):
                reply = product.set_targets(**checked)
            else:
                # The core writes only the attributes a product has: a target or
                # tolerance it lacks (or has no keyword for) is made here, in the
                # same single atomic save under the lock.
                reply = _write_creating(product, checked)
                product = load(ref, workspace)
        after = product.targets
    mark_enclosing_workspace(product.usd_path)
    written = reply.get("targets", {})
    warnings = [
        f"{identifier(product)}: {_target_attributes()[kw]} was not written"
        for kw in checked
        if kw not in written
    ]
    changes = [
        (key, before.get(key), after.get(key)) for kw, key, _ in TARGET_FIELDS if kw in written
    ]
    return TargetsUpdate(heading(product), product.usd_path, reply, changes, warnings)


def _refuse_changed_since_shown(
    product: Any,
    now: Mapping[str, Any],
    edits: Mapping[str, float],
    shown: Mapping[str, float | None],
    keys: Mapping[str, str],
) -> None:
    changed = [kw for kw in edits if kw in shown and now.get(keys[kw]) != shown[kw]]
    if changed:
        what = "; ".join(
            f"{keys[kw]} is now {now.get(keys[kw])!r}, the form showed {shown[kw]!r}"
            for kw in changed
        )
        raise UserError(
            "conflict",
            f"{identifier(product)} was changed since this form was shown ({what}): "
            "nothing was written; reload it and enter the change again",
        )


def _holds(product: Any, kw: str) -> bool:
    """Whether the product core can write ``kw``: it has a keyword for it
    and the product holds the attribute (with a value)."""
    from ..core.usd_product import TARGET_ATTRIBUTES, VEHICLE_ATTRIBUTES

    record_key = dict(VEHICLE_ATTRIBUTES)
    return kw in TARGET_ATTRIBUTES and record_key[TARGET_ATTRIBUTES[kw]] in product.specs


def _write_creating(product: Any, values: Mapping[str, float]) -> dict[str, Any]:
    """Write every one of ``values``, making the attributes the product
    lacks; the reply ``set_targets`` gives."""
    from ..core.usd_product import set_vehicle_attributes

    written = set_vehicle_attributes(
        product.usd_path, {_target_attributes()[kw]: v for kw, v in values.items()}, create=True
    )
    targets = {kw: v for kw, v in values.items() if _target_attributes()[kw] in written}
    return {"status": "updated", "targets": targets}


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
