"""What a study is: products (or variants) x speeds x yaw angles x mesh levels.

A study is a small TOML file or the same values given on the command line::

    name = "crosswind"
    products = ["sedan:base", "sedan:sport"]
    speeds = [30.0]            # m/s; empty: each template's own speed
    yaw = [0, 5, 10, 15]       # degrees
    levels = ["quick"]         # or ladder = true for quick, standard and fine
    ranks = 1                  # MPI ranks per case
    iterations = 200           # iteration cap per case (default: the level's)
    executor = "local"         # local, slurm or mcp

``Study.cases()`` expands it into ``CaseSpec`` entries, each with a stable
key (``<product>-<level>-v<speed>-y<yaw>``) that names it in the study's
state and on the command line. A study has at most ``MAX_CASES`` cases
(refused before any is made); ``ranks`` and ``iterations`` are whole
numbers (``ranks = true`` is not 1).
"""

from __future__ import annotations

import hashlib
import itertools
import json
import re
import tomllib
from pathlib import Path
from typing import Literal

from pydantic import (
    BaseModel,
    ConfigDict,
    Field,
    ValidationError,
    ValidationInfo,
    field_validator,
    model_validator,
)

from .. import rules
from .errors import StudyError

Level = Literal["quick", "standard", "fine"]
LADDER: tuple[Level, ...] = ("quick", "standard", "fine")
_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]{0,63}$")
#: The most cases a study may have (products x levels x speeds x yaw angles).
MAX_CASES = 2000


class CaseSpec(BaseModel):
    """One case of a study."""

    model_config = ConfigDict(frozen=True)

    key: str
    product: str
    level: Level
    speed: float | None
    yaw: float
    ranks: int
    iterations: int | None


def _num(value: float) -> str:
    return f"{value:g}".replace("-", "m")


class Study(BaseModel):
    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    products: list[str] = Field(min_length=1)
    speeds: list[float] = Field(default_factory=list)
    yaw: list[float] = Field(default_factory=lambda: [0.0])
    levels: list[Level] = Field(default_factory=lambda: list[Level](["quick"]))
    ladder: bool = False
    ranks: int = 1  # bounds: rules.check_count
    iterations: int | None = None
    executor: Literal["local", "slurm", "mcp"] = "local"

    @field_validator("name")
    @classmethod
    def _name(cls, value: str) -> str:
        if not _NAME.match(value):
            raise ValueError(
                f"study name {value!r} must be letters, digits, '.', '_' or '-' (at most 64)"
            )
        return value

    @field_validator("speeds")
    @classmethod
    def _speeds(cls, values: list[float]) -> list[float]:
        return [rules.check_speed(v) for v in values]

    @field_validator("yaw")
    @classmethod
    def _yaw(cls, values: list[float]) -> list[float]:
        if not values:
            raise ValueError("give at least one yaw angle (0 for straight ahead)")
        return [rules.check_yaw(v) for v in values]

    @field_validator("ranks", "iterations", mode="before")
    @classmethod
    def _count(cls, value: object, info: ValidationInfo) -> int | None:
        return None if value is None else rules.check_count(str(info.field_name), value)

    @model_validator(mode="after")
    def _size(self) -> Study:
        sizes = (
            len(set(self.products)),
            len(self.all_levels()),
            len(set(self.speeds)) or 1,
            len(set(self.yaw)),
        )
        total = sizes[0] * sizes[1] * sizes[2] * sizes[3]
        if total > MAX_CASES:
            raise ValueError(
                f"a study has at most {MAX_CASES} cases; this one has {total} ({sizes[0]} "
                f"products x {sizes[1]} levels x {sizes[2]} speeds x {sizes[3]} yaw angles): "
                "split it into smaller studies"
            )
        return self

    def all_levels(self) -> list[Level]:
        return list(LADDER) if self.ladder else list(dict.fromkeys(self.levels))

    def cases(self) -> list[CaseSpec]:
        speeds: list[float | None] = list(dict.fromkeys(self.speeds)) or [None]
        grid = itertools.product(
            dict.fromkeys(self.products), self.all_levels(), speeds, dict.fromkeys(self.yaw)
        )
        out = []
        for product, level, speed, yaw in grid:
            v = "vdefault" if speed is None else f"v{_num(speed)}"
            out.append(
                CaseSpec(
                    key=f"{product.replace(':', '-')}-{level}-{v}-y{_num(yaw)}",
                    product=product,
                    level=level,
                    speed=speed,
                    yaw=float(yaw),
                    ranks=self.ranks,
                    iterations=self.iterations,
                )
            )
        return out

    def fingerprint(self) -> str:
        """A digest of what the cases are (not of the executor)."""
        data = self.model_dump(exclude={"executor"})
        return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).hexdigest()[:16]


def _first_error(exc: ValidationError, where: str) -> StudyError:
    first = exc.errors()[0]
    loc = ".".join(str(p) for p in first["loc"])
    message = str(first["msg"]).removeprefix("Value error, ")
    return StudyError("invalid", f"{where}: {loc}: {message}" if loc else f"{where}: {message}")


def from_values(**values: object) -> Study:
    """A study from keyword values (the command line); ``StudyError`` when invalid."""
    given = {k: v for k, v in values.items() if v is not None}
    try:
        return Study(**given)  # type: ignore[arg-type]
    except ValidationError as exc:
        raise _first_error(exc, "study") from None


def load(path: str | Path, **overrides: object) -> Study:
    """A study from a TOML file (values in ``overrides`` win)."""
    p = Path(path)
    try:
        data = tomllib.loads(p.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise StudyError("not_found", f"{p}: no such study file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise StudyError("invalid", f"{p}: cannot read it: {exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise StudyError("invalid", f"{p}: not valid TOML: {exc}") from None
    data.setdefault("name", p.stem)
    data.update({k: v for k, v in overrides.items() if v is not None})
    try:
        return Study(**data)
    except ValidationError as exc:
        raise _first_error(exc, str(p)) from None
