"""The rules every coefficient given by a person or a script must meet.

One place for them, used by the ``velmor`` command (and by anything else
that takes coefficients from outside: a form, a request):

* every value is a finite number;
* a tolerance (``cl_tolerance``, ``cm_tolerance``, ``cd_tolerance``) is >= 0;
* a drag coefficient (``cd``) is > 0.

``check(key, value)`` returns the value as a float or raises ``ValueError``
with a one-line message; ``parse(key, text)`` does the same for text. The
product core's own Python API keeps its documented behaviour; these rules
are applied before a value reaches it.
"""

from __future__ import annotations

import math

__all__ = ["POSITIVE", "TOLERANCES", "check", "parse"]

#: Keys that are tolerances: zero or more.
TOLERANCES = frozenset({"cd_tolerance", "cl_tolerance", "cm_tolerance"})
#: Keys that must be strictly positive.
POSITIVE = frozenset({"cd"})


def check(key: str, value: object) -> float:
    """``value`` as a float when it meets the rules for ``key``."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{key} must be a number, not {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{key} must be a finite number, not {number!r}")
    if key in TOLERANCES and number < 0:
        raise ValueError(f"{key} is a tolerance and must be 0 or more, not {number:g}")
    if key in POSITIVE and number <= 0:
        raise ValueError(f"{key} must be greater than 0, not {number:g}")
    return number


def parse(key: str, text: str) -> float:
    """The number written in ``text``, when it meets the rules for ``key``."""
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{key} must be a number, not {text!r}") from None
    return check(key, value)
