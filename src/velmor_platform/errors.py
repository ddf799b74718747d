"""The package's own errors: what it reports to a person as one line."""

from __future__ import annotations


class CfdError(Exception):
    """A failure to report to the user as one line (names the file or product):
    of the simulation loop, or of the geometry it reads (``core.geometry``)."""
