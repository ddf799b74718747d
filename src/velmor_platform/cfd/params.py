"""Run parameters of an external-aerodynamics case.

``RunParams`` holds what the user chooses (speed, mesh level, iterations,
ranks, template); ``Reference`` holds what comes from the product (frontal
area, wheelbase, the centre of rotation) and from its body's bounding box.
``MeshLevel`` gives the cell sizes and refinement levels of each level.
"""

from __future__ import annotations

import math
from typing import Literal

from pydantic import BaseModel, ConfigDict, Field, ValidationInfo, field_validator

from .. import rules

Level = Literal["quick", "standard", "fine"]  # rules.LEVELS

#: Free-stream speed when the user gives none, m/s (108 km/h).
DEFAULT_SPEED = 30.0
#: Density of air used for the forces, kg/m^3.
AIR_RHO = 1.225
#: Largest number of MPI ranks accepted.
MAX_RANKS = rules.MAX_RANKS


class MeshLevel(BaseModel):
    """Mesh resolution of one level, relative to the body's length."""

    model_config = ConfigDict(frozen=True)

    cells_per_length: int  # background cells along the body's length
    surface: tuple[int, int]  # snappyHexMesh surface refinement (min, max)
    near: int  # refinement level of the box around the body
    wake: int  # refinement level of the wake box
    layers: int  # prism layers on the body
    iterations: int  # default iteration cap


MESH_LEVELS: dict[str, MeshLevel] = {
    "quick": MeshLevel(
        cells_per_length=8, surface=(3, 3), near=2, wake=1, layers=3, iterations=400
    ),
    "standard": MeshLevel(
        cells_per_length=10, surface=(3, 4), near=2, wake=1, layers=3, iterations=800
    ),
    "fine": MeshLevel(
        cells_per_length=12, surface=(4, 4), near=3, wake=2, layers=3, iterations=1500
    ),
}


class RunParams(BaseModel):
    """What the user chooses for one run."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    level: Level = "quick"
    speed: float = DEFAULT_SPEED  # bounds: rules.check_speed
    iterations: int | None = None  # bounds: rules.check_count
    ranks: int = 1
    template: str | None = None
    #: Yaw angle of the wind, degrees; any other than 0 needs the full model (see ``yaw``).
    yaw: float = 0.0  # bounds: rules.check_yaw
    #: Relative variation of Cd over the final window below which a run counts as converged.
    convergence_tolerance: float = Field(default=0.02, gt=0, lt=1)

    @field_validator("speed")
    @classmethod
    def _speed(cls, value: float) -> float:
        return rules.check_speed(value)

    @field_validator("yaw")
    @classmethod
    def _yaw(cls, value: float) -> float:
        return rules.check_yaw(value)

    @field_validator("ranks", "iterations")
    @classmethod
    def _count(cls, value: int | None, info: ValidationInfo) -> int | None:
        return None if value is None else rules.check_count(str(info.field_name), value)

    @field_validator("template")
    @classmethod
    def _template_name(cls, value: str | None) -> str | None:
        if value is not None and (
            not value or value.startswith(".") or "/" in value or "\\" in value or "\0" in value
        ):
            raise ValueError(f"template name {value!r} must be a plain directory name")
        return value

    @property
    def mesh(self) -> MeshLevel:
        return MESH_LEVELS[self.level]

    @property
    def max_iterations(self) -> int:
        return self.iterations if self.iterations is not None else self.mesh.iterations


class Reference(BaseModel):
    """Reference values of the force coefficients, from the product."""

    model_config = ConfigDict(frozen=True)

    frontal_area: float = Field(gt=0)  # m^2, whole vehicle
    wheelbase: float = Field(gt=0)  # m
    cofr: tuple[float, float, float]  # centre of rotation, m: mid-wheelbase on the ground


def turbulence_inlet(speed: float, length: float) -> tuple[float, float]:
    """Inlet ``(k, omega)`` for 1 % turbulence intensity and a mixing length of
    a tenth of the body's length."""
    k = 1.5 * (0.01 * speed) ** 2
    omega = math.sqrt(k) / (0.09**0.25 * 0.1 * length)
    return k, omega
