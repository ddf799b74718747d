"""The one error type of the simulation loop."""

from __future__ import annotations

from ..errors import CfdError

__all__ = ["CfdError", "OpenFoamMissingError"]


class OpenFoamMissingError(CfdError):
    """The OpenFOAM binaries cannot be found."""

    kind = "unavailable"
