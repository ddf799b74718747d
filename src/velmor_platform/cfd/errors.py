"""The one error type of the simulation loop."""

from __future__ import annotations


class CfdError(Exception):
    """A failure to report to the user as one line (names the file or product)."""


class OpenFoamMissingError(CfdError):
    """The OpenFOAM binaries cannot be found."""
