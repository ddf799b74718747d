"""Making a design variant: a new product from an existing one and a geometry file.

The work is ``velmor_platform.core.variants.make_variant``; here its
refusals become ``UserError`` (their kind kept) and the reply gains the new
product's heading.
"""

from __future__ import annotations

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
) -> dict[str, Any]:
    """Make the product ``name`` from ``parent`` and ``geometry``; returns what was made."""
    from ..core.variants import VariantError, make_variant

    root = _root(workspace)
    try:
        made = make_variant(
            root, parent, name, geometry, scale=scale, wheels=wheels,
            frontal_area_m2=frontal_area, length_m=length, vehicle_name=vehicle_name,
        )  # fmt: skip
    except VariantError as exc:
        raise UserError(exc.kind, str(exc)) from None  # type: ignore[arg-type]
    return made
