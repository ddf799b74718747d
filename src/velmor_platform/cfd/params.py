"""Run parameters of an external-aerodynamics case.

``RunParams`` holds what the user chooses (speed, mesh level, iterations,
ranks, template); ``Reference`` holds what comes from the product (frontal
area, wheelbase, the centre of rotation) and from its body's bounding box.
``MeshLevel`` gives the cell sizes and refinement levels of each level;
the levels form a ladder of constant refinement ratio ``RATIO``.
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


#: Refinement ratio between successive levels of the mesh ladder (base size only).
RATIO = math.sqrt(2.0)
#: The ladder's levels, coarsest first.
LADDER: tuple[Level, ...] = ("quick", "standard", "fine")
#: Kinematic viscosity of air the templates use, m^2/s.
AIR_NU = 1.5e-5


class MeshLevel(BaseModel):
    """Mesh resolution of one level, relative to the body's length.

    The levels form a ladder of similar meshes: only the base (background)
    cell size changes, by ``RATIO`` from one level to the next; refinement
    levels, regions and the number of prism layers are the same on every
    level. The layers' thickness is relative to the surface cells, so the
    first layer's y+ changes by ``RATIO`` from one level to the next
    (about 450, 320 and 230 for the sample hatch at 30 m/s).
    """

    model_config = ConfigDict(frozen=True)

    cells_per_length: float  # background cells along the body's length
    surface: tuple[int, int]  # snappyHexMesh surface refinement (min, max)
    near: int  # refinement level of the box around the body
    wake: int  # refinement level of the wake box
    layers: int  # prism layers on the body
    iterations: int  # default iteration cap


def _level(step: int, iterations: int) -> MeshLevel:
    return MeshLevel(
        cells_per_length=round(8.0 * RATIO**step, 6), surface=(3, 3), near=2, wake=1,
        layers=4, iterations=iterations,
    )  # fmt: skip


# The caps leave room for the convergence test: 150 start-up iterations and
# two windows of at least 200 (more when Cd oscillates slowly).
MESH_LEVELS: dict[str, MeshLevel] = {
    "quick": _level(0, 1000),
    "standard": _level(1, 1500),
    "fine": _level(2, 2000),
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
    #: Relative tolerance of each test of the convergence verdict (window means, drift, 2SE).
    convergence_tolerance: float = Field(default=0.005, gt=0, lt=1)
    #: The road: moving at the free-stream speed (on the road), or fixed (a wind tunnel's floor).
    ground: Literal["moving", "fixed"] = "moving"
    #: Mesh the whole vehicle instead of half of it with a symmetry plane.
    full_model: bool = False

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


#: Inlet turbulence intensity and eddy-viscosity ratio nu_t/nu.
INLET_INTENSITY = 0.01
INLET_VISCOSITY_RATIO = 10.0


def turbulence_inlet(speed: float, length: float) -> tuple[float, float]:
    """Inlet ``(k, omega)`` for 1 % turbulence intensity and an eddy
    viscosity ten times the molecular one (``length`` is kept for callers)."""
    k = 1.5 * (INLET_INTENSITY * speed) ** 2
    omega = k / (INLET_VISCOSITY_RATIO * AIR_NU)
    return k, omega


def friction_velocity(speed: float, length: float) -> float:
    """Friction velocity from a flat plate's skin friction at the body's
    Reynolds number (Cf = 0.026 Re^-1/7), m/s."""
    reynolds = speed * length / AIR_NU
    return speed * math.sqrt(0.026 * reynolds ** (-1 / 7) / 2)


def first_layer_y_plus(
    speed: float, length: float, surface_cell: float, layers: int,
    final: float = 0.5, expansion: float = 1.3,
) -> float:  # fmt: skip
    """Estimated y+ at the centre of the first prism layer: the layers are
    sized relative to the surface cells (the last ``final`` of a cell thick,
    growing by ``expansion``), so y+ scales with the mesh level."""
    first = final * surface_cell / expansion ** (layers - 1)
    return first / 2 * friction_velocity(speed, length) / AIR_NU
