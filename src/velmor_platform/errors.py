"""The package's own errors: one root, ``VelmorError``, for everything the
package reports to a person as one line.

``kind`` says what went wrong, in the service layer's words (``KINDS``):
``invalid`` (a value or request that cannot be used), ``not_found``,
``conflict`` (another writer or run holds it) and ``unavailable`` (the
workspace, a server or a program needed is not there). Each face maps the
kind once: the command line to an exit status, the web to an HTTP status,
the MCP tools to a tool error. Errors of this package keep the built-in
base they always had (``ValueError``, ``RuntimeError``, ...) beside the
root, so existing handlers still catch them.
"""

from __future__ import annotations

KINDS = ("invalid", "not_found", "conflict", "unavailable")


class VelmorError(Exception):
    """A failure of this package to report to a person as one line."""

    kind: str = "invalid"


class CfdError(VelmorError):
    """A failure to report to the user as one line (names the file or product):
    of the simulation loop, or of the geometry it reads (``core.geometry``)."""
