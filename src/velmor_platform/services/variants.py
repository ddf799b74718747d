"""Making a design variant: a new product from an existing one and a geometry file.

The work is ``velmor_platform.core.variants.make_variant``; here its
refusals become ``UserError`` (their kind kept) and the reply gains the new
product's heading.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import Any

from .errors import UserError, user_errors
from .loading import Workspace, require_workspace


def _root(workspace: Workspace | None) -> Path:
    if workspace is None:
        raise UserError("unavailable", "no workspace: pass --workspace DIR or set VELMOR_WORKSPACE")
    return require_workspace(workspace)


#: The command that makes a variant, named where a face points to it.
VARIANT_COMMAND = "velmor variant"
#: The frame a geometry file must use, as the faces state it.
FRAME = (
    "metres; x along the car from the front of the body (x = 0) rearwards, y to the left, "
    "z up; the ground is z = 0 and the body is symmetric about y = 0"
)


@user_errors
def make(
    workspace: Workspace | None,
    parent: str,
    name: str,
    geometry: str | Path,
    *,
    scale: float = 1.0,
    wheels: str = "keep",
    frontal_area: float | None = None,
    length: float | None = None,
    vehicle_name: str | None = None,
    full_model: bool = False,
    up: str = "z",
    origin: tuple[float, float, float] = (0.0, 0.0, 0.0),
    label: str | None = None,
    cancelled: Callable[[], bool] | None = None,
) -> dict[str, Any]:
    """Make the product ``name`` from ``parent`` and ``geometry``; returns what
    was made. ``label`` names the geometry file in messages (an upload's own
    name); ``cancelled`` is asked during the long measurements."""
    from ..core.variants import VariantError, make_variant

    root = _root(workspace)
    try:
        made = make_variant(
            root, parent, name, geometry, scale=scale, wheels=wheels,
            frontal_area_m2=frontal_area, length_m=length, vehicle_name=vehicle_name,
            full_model=full_model, up=up, origin=origin, label=label, cancelled=cancelled,
        )  # fmt: skip
    except VariantError as exc:
        raise UserError(exc.kind, str(exc)) from None  # type: ignore[arg-type]
    return made


@user_errors
def remove(
    workspace: Workspace | None, name: str, *, cases: bool = False, dry_run: bool = False
) -> dict[str, Any]:
    """Remove the product ``name``, the geometry and template made for it
    alone and, with ``cases``, its case folders; returns what went and what stayed."""
    from ..core.variant_removal import remove_variant

    return remove_variant(_root(workspace), name, cases=cases, dry_run=dry_run)
