"""The one error type of studies: a kind and a one-line message.

The kinds follow the service layer's: ``invalid`` (bad input), ``not_found``,
``conflict`` (exists already, or busy) and ``unavailable`` (a scheduler or
solver that cannot be reached).
"""

from __future__ import annotations

from ..errors import VelmorError


class StudyError(VelmorError, RuntimeError):
    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind
        self.message = message
