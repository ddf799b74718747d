"""The rules every value a person or a script types must meet.

One place for them, used by the command line's parser, the web forms, the
run form and the run parameters of the simulation loop:

* a coefficient (``cd``, ``cl``, ``cm_pitch``) or tolerance is a finite
  number; a tolerance (``cl_tolerance``, ...) is 0 or more; ``cd`` is above 0;
  and it is plausible for a road vehicle (``PLAUSIBLE``: ``cd 28`` is a typo);
* a run's mesh level is one of ``LEVELS``; its speed is above 0 and at most
  ``MAX_SPEED`` m/s, and plausible for a road vehicle (at most
  ``PLAUSIBLE_SPEED`` m/s: ``120`` is most likely km/h); its ranks and
  iterations are whole numbers from 1 to ``MAX_RANKS`` and ``MAX_ITERATIONS``;
* a product's name is ``<programme>`` or ``<programme>:<variant>``, each part
  a plain file name without control or invisible characters that does not
  start with "." (``split_product_name``): a name selects a product, never a
  file, and it reaches file names, job scripts and terminals as it stands;
* a reference value of the force coefficients (``frontal_area``, m², and
  the reference length ``wheelbase``, m) is a finite number within
  ``REFERENCE_RANGES``, whether a variant is being made or a case prepared.

A value outside its plausible range is refused unless the caller passes
``allow_implausible=True`` (the command line's ``--allow-implausible``): a
deliberate value goes through, a slip of the finger does not.

Every refusal is a ``RuleError`` (a ``ValueError``) naming the key. Its
``str`` is the sentence the command line prints; ``field_message`` is the
shorter wording shown beside a form's field, where the key is the field's
label. The product core's own Python API keeps its documented behaviour;
these rules are applied before a value reaches it.

This module imports nothing else of the package, so that every layer can use it.
"""

from __future__ import annotations

import math
import os
import unicodedata

from .errors import VelmorError

__all__ = [
    "ALLOW_FLAG",
    "LEVELS",
    "MAX_ITERATIONS",
    "MAX_RANKS",
    "MAX_SPEED",
    "MAX_YAW",
    "PLAUSIBLE",
    "PLAUSIBLE_SPEED",
    "POSITIVE",
    "REFERENCE_RANGES",
    "TARGETS",
    "TOLERANCES",
    "RuleError",
    "check",
    "check_count",
    "check_level",
    "check_reference",
    "check_speed",
    "check_yaw",
    "parse",
    "parse_count",
    "parse_speed",
    "parse_yaw",
    "product_name_problem",
    "split_product_name",
]

#: Keys that are tolerances: zero or more.
TOLERANCES = frozenset({"cd_tolerance", "cl_tolerance", "cm_tolerance"})
#: Keys that must be strictly positive.
POSITIVE = frozenset({"cd"})

#: The design-intent targets a person can set: (keyword, and form field; key
#: under which the product's targets report it; command-line option).
TARGETS: tuple[tuple[str, str, str], ...] = (
    ("cd", "cd", "cd"),
    ("cl", "cl", "cl"),
    ("cm_pitch", "cm_pitch", "cm-pitch"),
    ("cd_tolerance", "target_cd_tol", "cd-tolerance"),
    ("cl_tolerance", "target_cl_tol", "cl-tolerance"),
    ("cm_tolerance", "target_cm_tol", "cm-tolerance"),
)

#: What a road vehicle's coefficients plausibly are: key -> (low, high).
PLAUSIBLE: dict[str, tuple[float, float]] = {
    "cd": (0.05, 1.5),
    "cl": (-2.0, 2.0),
    "cm_pitch": (-1.0, 1.0),
    "cd_tolerance": (0.0, 0.5),
    "cl_tolerance": (0.0, 1.0),
    "cm_tolerance": (0.0, 0.5),
}
#: The highest plausible free-stream speed of a road vehicle, m/s (252 km/h).
PLAUSIBLE_SPEED = 70.0
#: How a person says that an implausible value is meant (the command line's flag).
ALLOW_FLAG = "--allow-implausible"

#: What a road vehicle's reference values may be: key -> (low, high, unit).
#: The frontal area spans the plausible widths times heights (0.2 to 6 m
#: each); the reference length (the wheelbase) is at most a vehicle's length.
REFERENCE_RANGES: dict[str, tuple[float, float, str]] = {
    "frontal_area": (0.04, 36.0, "m²"),
    "wheelbase": (0.1, 30.0, "m"),
}

#: Mesh levels of a run, coarsest first.
LEVELS: tuple[str, ...] = ("quick", "standard", "fine")
#: Largest free-stream speed accepted, m/s.
MAX_SPEED = 150.0
#: Largest number of MPI ranks accepted.
MAX_RANKS = 256
#: Largest iteration cap accepted.
MAX_ITERATIONS = 100_000
#: Largest yaw angle accepted either way, degrees.
MAX_YAW = 30.0
#: Largest value of each whole-number setting.
COUNT_LIMITS = {"ranks": MAX_RANKS, "iterations": MAX_ITERATIONS}


class RuleError(VelmorError, ValueError):
    """A value refused by a rule: ``key``, the sentence (``str``) and the
    field's wording (``field_message``)."""

    def __init__(self, key: str, message: str, field_message: str | None = None) -> None:
        super().__init__(message)
        self.key = key
        self.field_message = field_message if field_message is not None else message


# ------------------------------------------------------------- coefficients


def check(key: str, value: object, *, allow_implausible: bool = True) -> float:
    """``value`` as a float when it meets the rules for coefficient ``key``
    (and, unless ``allow_implausible``, is plausible for a vehicle)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RuleError(key, f"{key} must be a number, not {value!r}", f"not a number: {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise RuleError(
            key,
            f"{key} must be a finite number, not {number!r}",
            f"not a finite number: {number!r}",
        )
    if key in TOLERANCES and number < 0:
        raise RuleError(
            key,
            f"{key} is a tolerance and must be 0 or more, not {number:g}",
            "a tolerance must be 0 or more",
        )
    if key in POSITIVE and number <= 0:
        raise RuleError(
            key,
            f"{key} must be greater than 0, not {number:g}",
            "a drag coefficient must be above 0",
        )
    bounds = PLAUSIBLE.get(key)
    if not allow_implausible and bounds is not None and not bounds[0] <= number <= bounds[1]:
        raise RuleError(
            key,
            f"{key} {number:g} is not plausible for a vehicle (expected {bounds[0]:g} to "
            f"{bounds[1]:g}); if it is meant, give it with {ALLOW_FLAG}",
            f"not plausible for a vehicle (expected {bounds[0]:g} to {bounds[1]:g})",
        )
    return number


def parse(key: str, text: str, *, allow_implausible: bool = True) -> float:
    """The number written in ``text``, when it meets the rules for ``key``."""
    try:
        value = float(text)
    except ValueError:
        raise RuleError(
            key, f"{key} must be a number, not {text!r}", f"not a number: {text!r}"
        ) from None
    if not math.isfinite(value):
        # The form quotes what was typed ("nan"), the sentence the number.
        try:
            return check(key, value)
        except RuleError as exc:
            raise RuleError(key, str(exc), f"not a finite number: {text!r}") from None
    return check(key, value, allow_implausible=allow_implausible)


def check_reference(key: str, value: object) -> float:
    """A reference value (``frontal_area``, ``wheelbase``) as a float when it
    is a finite number within its ``REFERENCE_RANGES``."""
    low, high, unit = REFERENCE_RANGES[key]
    number = math.nan
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        number = float(value)
    if not low <= number <= high:
        shown = "not set" if value is None else f"{value!r}"
        raise RuleError(
            key,
            f"the {key.replace('_', ' ')} is {shown}: a force coefficient's reference value "
            f"must be a finite number between {low:g} and {high:g} {unit}",
            f"expected {low:g} to {high:g} {unit}",
        )
    return number


# ------------------------------------------------------------- run settings


def check_level(value: object) -> str:
    """A mesh level's name."""
    if value not in LEVELS:
        raise RuleError("level", f"level must be one of {', '.join(LEVELS)}, not {value!r}")
    return str(value)


def _speed_refused(shown: str) -> RuleError:
    return RuleError("speed", f"speed must be above 0 and at most {MAX_SPEED:g} m/s, not {shown}")


def _implausible_speed(number: float, shown: str) -> RuleError:
    return RuleError(
        "speed",
        f"speed {shown} m/s is {number * 3.6:.0f} km/h, not a plausible road speed: the speed "
        f"is in m/s (did you mean {shown} km/h, that is {number / 3.6:.1f} m/s?); if "
        f"{shown} m/s is meant, give it with {ALLOW_FLAG}",
        f"{shown} m/s is {number * 3.6:.0f} km/h: the speed is in m/s "
        f"({shown} km/h is {number / 3.6:.1f} m/s)",
    )


def check_speed(value: object, *, allow_implausible: bool = True) -> float:
    """A free-stream speed in m/s: a finite number above 0, at most
    ``MAX_SPEED`` (and, unless ``allow_implausible``, ``PLAUSIBLE_SPEED``)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RuleError("speed", f"not a number: {value!r}")
    number = float(value)
    if not (math.isfinite(number) and 0 < number <= MAX_SPEED):
        raise _speed_refused(f"{number:g}")
    if not allow_implausible and number > PLAUSIBLE_SPEED:
        raise _implausible_speed(number, f"{number:g}")
    return number


def parse_speed(text: str, *, allow_implausible: bool = True) -> float:
    """The speed written in ``text`` (refusals quote the text as typed)."""
    try:
        value = float(text)
    except ValueError:
        raise RuleError("speed", f"not a number: {text!r}") from None
    if not (math.isfinite(value) and 0 < value <= MAX_SPEED):
        raise _speed_refused(text)
    if not allow_implausible and value > PLAUSIBLE_SPEED:
        raise _implausible_speed(value, text)
    return value


def check_count(key: str, value: object) -> int:
    """A whole-number setting (``ranks``, ``iterations``) from 1 to its limit."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise RuleError(key, f"not a whole number: {value!r}")
    if value < 1:
        raise RuleError(key, f"must be 1 or more, not {value}")
    limit = COUNT_LIMITS.get(key)
    if limit is not None and value > limit:
        raise RuleError(key, f"must be at most {limit}, not {value}")
    return value


def parse_count(key: str, text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise RuleError(key, f"not a whole number: {text!r}") from None
    return check_count(key, value)


def _yaw_refused(shown: str) -> RuleError:
    return RuleError(
        "yaw", f"yaw angle must be within -{MAX_YAW:g} and {MAX_YAW:g} degrees, not {shown}"
    )


def check_yaw(value: object) -> float:
    """A yaw angle in degrees: a finite number within +-``MAX_YAW``."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RuleError("yaw", f"not a number: {value!r}")
    number = float(value)
    if not (math.isfinite(number) and -MAX_YAW <= number <= MAX_YAW):
        raise _yaw_refused(f"{number:g}")
    return number


def parse_yaw(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise RuleError("yaw", f"not a number: {text!r}") from None
    if not (math.isfinite(value) and -MAX_YAW <= value <= MAX_YAW):
        raise _yaw_refused(text)
    return value


# ------------------------------------------------------------- product names

#: The longest programme or variant name: its directory, and "<programme>.usda",
#: must fit the file-name limit of the file systems in use (255 bytes).
LONGEST_NAME = 255 - len(".usda")
#: Unicode categories refused in a name: control characters (a newline ends a
#: line of a job script), surrogates (bytes that are no text), line and
#: paragraph separators, and invisible format characters.
_REFUSED_CATEGORIES = frozenset({"Cc", "Cs", "Zl", "Zp", "Cf"})
_EXPECTED = "(expected '<programme>' or '<programme>:<variant>')"


def product_name_problem(part: str) -> str | None:
    """What is wrong with ``part`` as a programme or variant name, or None."""
    if not part:
        return "empty programme or variant name"
    if part in (".", ".."):
        return f"{part!r} is not a name"
    if "/" in part or "\\" in part:
        return "path separators are not allowed"
    if "\0" in part:
        return "NUL characters are not allowed"
    for char in part:
        if unicodedata.category(char) in _REFUSED_CATEGORIES:
            return f"control or invisible characters such as {char!r} are not allowed"
    if part.startswith("."):
        return "a name starting with '.' is hidden and is not allowed"
    if os.path.isabs(part):
        return "absolute paths are not allowed"
    if len(part.encode("utf-8")) > LONGEST_NAME:
        return f"a programme or variant name is at most {LONGEST_NAME} bytes long"
    return None


def split_product_name(name: object) -> tuple[str, str | None]:
    """``(programme, variant)`` of the product name ``name``; ``RuleError``
    (key ``product``) when it is malformed, ``TypeError`` for a non-string."""
    if not isinstance(name, str):
        raise TypeError(f"product name must be a str, not {type(name).__name__}")
    parts = name.split(":")
    if len(parts) > 2:
        raise RuleError(
            "product", f"invalid product name {name!r}: at most one ':' is allowed {_EXPECTED}"
        )
    for part in parts:
        problem = product_name_problem(part)
        if problem:
            raise RuleError("product", f"invalid product name {name!r}: {problem} {_EXPECTED}")
    return parts[0], parts[1] if len(parts) == 2 else None
