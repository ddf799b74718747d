"""The dynamics domain's refusals."""

from __future__ import annotations

from ..errors import VelmorError


class DynamicsError(VelmorError):
    """A dynamics run refused or impossible; the message is one line for the user."""


class ChronoMissingError(DynamicsError):
    """The Chrono runner is not installed."""

    kind = "unavailable"
