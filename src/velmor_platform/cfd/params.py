"""Run parameters of an external-aerodynamics case.

``RunOptions`` is what the user chooses for one run (mesh level, ranks,
iterations, speed, template, yaw, the mesh ladder, the full model), checked
by ``rules`` when it is built: each face builds it and the loop takes it as
it stands. ``RunParams`` is what a case is built with: the options with the
speed settled (the template's own when none was chosen) and the solver's
settings; ``Reference`` holds what comes from the product (frontal
area, wheelbase, the centre of rotation) and from its body's bounding box.
``MeshLevel`` gives the cell sizes and refinement levels of each level;
the levels form a ladder of constant refinement ratio ``RATIO``.
"""

from __future__ import annotations

import math
from typing import Any, Literal

from pydantic import (
    BaseModel,
    ConfigDict,
    Field,
    ValidationError,
    ValidationInfo,
    field_validator,
)

from .. import rules
from .errors import CfdError

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
    levels and regions are the same on every level, the body's feature
    edges snapped to at its surface's level. The prism layers are the same
    on every level too (``layer_stack``: an absolute first-layer height
    and count from the body's length and the speed), so the ladder changes
    the mesh, not the wall treatment.
    """

    model_config = ConfigDict(frozen=True)

    cells_per_length: float  # background cells along the body's length
    surface: tuple[int, int]  # snappyHexMesh surface refinement (min, max)
    near: int  # refinement level of the box around the body
    wake: int  # refinement level of the wake box
    layers: int | None  # prism layers on the body; None: ``layer_stack``'s count
    iterations: int  # default iteration cap

    @property
    def edges(self) -> int:
        """Refinement level along the body's feature edges: the surface's.
        The edges are snapped to and their cells kept at the surface level on
        every level; one level more put the 35 degree Ahmed body on its
        high-drag branch at the standard level (Cd 0.39-0.41 against 0.287
        without it, published 0.257), the same flip an earlier experiment saw."""
        return self.surface[1]


def _level(step: int, iterations: int) -> MeshLevel:
    return MeshLevel(
        cells_per_length=round(8.0 * RATIO**step, 6), surface=(3, 3), near=2, wake=1,
        layers=None, iterations=iterations,
    )  # fmt: skip


# The caps leave room for the convergence test: a start-up the verdict cuts
# off, then two windows of at least 150 iterations (more when Cd
# oscillates slowly or its batch means stay correlated).
MESH_LEVELS: dict[str, MeshLevel] = {
    "quick": _level(0, 1000),
    "standard": _level(1, 1500),
    "fine": _level(2, 2000),
}


def one_line(exc: ValidationError) -> str:
    """A refused parameter as one line naming it (its first error)."""
    first = exc.errors()[0]
    where = ".".join(str(p) for p in first["loc"]) or "parameters"
    return f"invalid {where}: {first['msg']}"


class _Checked(BaseModel):
    """The choices a run and its case share, each checked by ``rules``; a
    refused one is a ``CfdError`` naming it."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    level: Level = "quick"
    iterations: int | None = None  # bounds: rules.check_count
    ranks: int = 1
    template: str | None = None
    #: Yaw angle of the wind, degrees; any other than 0 needs the full model (see ``yaw``).
    yaw: float = 0.0  # bounds: rules.check_yaw
    #: Mesh the whole vehicle instead of half of it with a symmetry plane.
    full_model: bool = False

    def __init__(self, **values: Any) -> None:
        try:
            super().__init__(**values)
        except ValidationError as exc:
            raise CfdError(one_line(exc)) from None

    @field_validator("yaw", mode="before")
    @classmethod
    def _no_yaw(cls, value: object) -> object:
        return 0.0 if value is None else value  # straight ahead

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


class RunOptions(_Checked):
    """What the user chooses for one run: built once by a face (the command
    line, the web form, an MCP tool, a study's case) and passed on as it
    stands to the loop, or to a template server's ``simulate`` tool
    (``arguments``). ``speed`` None is the template's own speed."""

    speed: float | None = None  # bounds: rules.check_speed
    #: Run the mesh ladder (every level) and record the finest with its grid band.
    uncertainty: bool = False

    @field_validator("speed")
    @classmethod
    def _speed(cls, value: float | None) -> float | None:
        return None if value is None else rules.check_speed(value)

    def arguments(self) -> dict[str, Any]:
        """The options not left at their defaults, as a remote ``simulate``
        tool's arguments (the server's defaults are the same, and an older
        server lacks the newer options, so one not asked for is not sent)."""
        return self.model_dump(exclude_defaults=True)

    def params(self, speed: float | None = None) -> RunParams:
        """The case's parameters: these options at ``speed`` when they
        choose none (else ``DEFAULT_SPEED``)."""
        chosen = self.model_dump(exclude={"speed", "uncertainty"})
        return RunParams(**chosen, speed=self.speed or speed or DEFAULT_SPEED)


class RunParams(_Checked):
    """What a case is built with: the user's choices, the speed settled."""

    speed: float = DEFAULT_SPEED  # bounds: rules.check_speed
    #: Relative tolerance of each test of the convergence verdict (window means, drift, half-width).
    convergence_tolerance: float = Field(default=0.005, gt=0, lt=1)
    #: The road: moving at the free-stream speed (on the road), or fixed (a wind tunnel's floor).
    ground: Literal["moving", "fixed"] = "moving"

    @field_validator("speed")
    @classmethod
    def _speed(cls, value: float) -> float:
        return rules.check_speed(value)

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


#: Estimated y+ at the centre of the first prism layer. Spalding's wall
#: function (the templates' ``nutUSpaldingWallFunction``) holds from the
#: viscous sublayer through the log layer, so the stated range is wide:
#: the estimate for the whole body, not for every face, is what is set.
FIRST_LAYER_Y_PLUS = 50.0
#: Growth of the prism layers from the wall outwards.
LAYER_EXPANSION = 1.2
#: Share of the flat-plate boundary layer's thickness at the tail that the
#: layers may fill, and of the finest level's surface cell the last layer may take.
LAYER_STACK_SHARE = 0.8
LAST_LAYER_SHARE = 0.5
MIN_LAYERS = 3


def first_layer_height(speed: float, length: float, y_plus: float = FIRST_LAYER_Y_PLUS) -> float:
    """Height of the first prism layer whose centre sits at ``y_plus``, m."""
    return 2 * y_plus * AIR_NU / friction_velocity(speed, length)


def boundary_layer_thickness(speed: float, length: float) -> float:
    """Turbulent flat-plate boundary layer thickness at the tail, m (0.37 L Re^-1/5)."""
    reynolds: float = speed * length / AIR_NU
    return 0.37 * length * math.pow(reynolds, -0.2)


def layer_stack(speed: float, length: float) -> tuple[float, int]:
    """``(first layer height, number of layers)``, the same on every level:
    as many layers growing by ``LAYER_EXPANSION`` as fit within
    ``LAYER_STACK_SHARE`` of the boundary layer at the tail, with the last
    layer at most ``LAST_LAYER_SHARE`` of the finest level's surface cell."""
    first = first_layer_height(speed, length)
    finest = MESH_LEVELS[LADDER[-1]]
    cell = length / finest.cells_per_length / 2 ** finest.surface[1]
    r = LAYER_EXPANSION
    by_last = 1 + math.log(max(LAST_LAYER_SHARE * cell / first, 1.0)) / math.log(r)
    return first, max(MIN_LAYERS, min(patch_layers(speed, length, first), math.floor(by_last)))


def patch_layers(speed: float, run: float, first: float) -> int:
    """How many layers of ``first`` metres growing by ``LAYER_EXPANSION`` fit
    within ``LAYER_STACK_SHARE`` of the boundary layer a surface grows over
    ``run`` metres of flow: the body's length, or a wheel's diameter. Given
    the body's stack (about four times their own boundary layer), the hatch's
    tyres were left with inverted cells ahead of them at the standard level."""
    stack = LAYER_STACK_SHARE * boundary_layer_thickness(speed, run)
    r = LAYER_EXPANSION
    return max(1, math.floor(math.log(1 + stack * (r - 1) / first) / math.log(r)))


def first_layer_y_plus(speed: float, length: float, first: float) -> float:
    """Estimated y+ at the centre of a first prism layer ``first`` metres high."""
    return first / 2 * friction_velocity(speed, length) / AIR_NU
