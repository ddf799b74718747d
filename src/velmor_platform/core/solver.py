"""Solver registry: the physics domains and the solvers that serve them.

Domain record keys: ``domain`` (name), ``kpis`` (the quantities a run of the
domain reports, as run-history keys), ``status``, ``solvers`` (every
eligible solver record) and ``default_solver`` (the name of the solver used
when the user picks none).

Solver record keys: ``name``, ``version``, ``kind``, ``description``.

Domain names are case-sensitive; "aero" is accepted wherever
"aerodynamics" is. Every function returns new records, so callers may
change what they receive without affecting the registry.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    Record = dict[str, Any]

# Every record is built afresh from the literals below at each call (cheaper
# than copying a shared template, and nothing shared can be handed out).


def _aerodynamics_solvers() -> list[Record]:
    return [
        {
            "name": "openfoam",
            "version": "v2406",
            "kind": "finite-volume RANS",
            "description": "OpenFOAM simpleFoam, k-omega SST, on a snappyHexMesh grid",
        },
        {
            "name": "xlb",
            "version": "0.2.1",
            "kind": "lattice Boltzmann",
            "description": "XLB lattice-Boltzmann solver on GPU, for fast design sweeps",
        },
        {
            "name": "domino",
            "version": "1.1.0",
            "kind": "neural operator",
            "description": "DoMINO surface and volume field predictor trained on RANS data",
        },
    ]


def _dynamics_solvers() -> list[Record]:
    return [
        {
            "name": "chrono",
            "version": "9.0.1",
            "kind": "multibody dynamics",
            "description": "Project Chrono::Vehicle with a tyre model, steady-state cornering",
        },
    ]


def _aerodynamics() -> Record:
    return {
        "domain": "aerodynamics",
        "kpis": ["cd", "cl", "cm_pitch"],
        "status": "active",
        "solvers": _aerodynamics_solvers(),
        "default_solver": "openfoam",
    }


def _dynamics() -> Record:
    return {
        "domain": "dynamics",
        "kpis": ["lateral_g", "yaw_rate_dps", "roll_angle_deg"],
        "status": "active",
        "solvers": _dynamics_solvers(),
        "default_solver": "chrono",
    }


# Domain name -> (record builder, solver list builder, default solver), in
# registry order.
_DOMAINS = {
    "aerodynamics": (_aerodynamics, _aerodynamics_solvers, "openfoam"),
    "dynamics": (_dynamics, _dynamics_solvers, "chrono"),
}

_ALIASES = {"aero": "aerodynamics"}


def _lookup(
    domain: str,
) -> tuple[Callable[[], Record], Callable[[], list[Record]], str] | None:
    return _DOMAINS.get(_ALIASES.get(domain, domain))


def list_domains() -> list[Record]:
    """Every domain record, in registry order."""
    return [_aerodynamics(), _dynamics()]


def get_domain(domain: str) -> Record | None:
    """The record of ``domain`` ("aero" and "aerodynamics" alike), or None."""
    entry = _lookup(domain)
    return entry[0]() if entry is not None else None


def find_solver(domain: str, name: str) -> Record | None:
    """The record of solver ``name`` in ``domain``, or None."""
    entry = _lookup(domain)
    if entry is None:
        return None
    for solver in entry[1]():
        if solver["name"] == name:
            return solver
    return None


def default_solver_for(domain: str) -> Record | None:
    """The record of the default solver of ``domain``, or None."""
    entry = _lookup(domain)
    if entry is None:
        return None
    for solver in entry[1]():
        if solver["name"] == entry[2]:
            return solver
    return None
