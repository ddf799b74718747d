"""The dynamics domain's refusals."""

from __future__ import annotations


class DynamicsError(Exception):
    """A dynamics run refused or impossible; the message is one line for the user."""


class ChronoMissingError(DynamicsError):
    """The Chrono runner is not installed."""
