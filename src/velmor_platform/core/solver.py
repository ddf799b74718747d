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

import copy

_DOMAINS: tuple[dict, ...] = (
    {
        "domain": "aerodynamics",
        "kpis": ["cd", "cl", "cm_pitch"],
        "status": "active",
        "solvers": [
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
        ],
        "default_solver": "openfoam",
    },
    {
        "domain": "dynamics",
        "kpis": ["lateral_g", "yaw_rate_dps", "roll_angle_deg"],
        "status": "active",
        "solvers": [
            {
                "name": "chrono",
                "version": "9.0.1",
                "kind": "multibody dynamics",
                "description": "Project Chrono::Vehicle with a tyre model, steady-state cornering",
            },
        ],
        "default_solver": "chrono",
    },
)

_ALIASES = {"aero": "aerodynamics"}


def _lookup(domain: str) -> dict | None:
    name = _ALIASES.get(domain, domain)
    for record in _DOMAINS:
        if record["domain"] == name:
            return record
    return None


def list_domains() -> list[dict]:
    """Every domain record, in registry order."""
    return copy.deepcopy(list(_DOMAINS))


def get_domain(domain: str) -> dict | None:
    """The record of ``domain`` ("aero" and "aerodynamics" alike), or None."""
    record = _lookup(domain)
    return copy.deepcopy(record) if record is not None else None


def find_solver(domain: str, name: str) -> dict | None:
    """The record of solver ``name`` in ``domain``, or None."""
    record = _lookup(domain)
    if record is None:
        return None
    for solver in record["solvers"]:
        if solver["name"] == name:
            return dict(solver)
    return None


def default_solver_for(domain: str) -> dict | None:
    """The record of the default solver of ``domain``, or None."""
    record = _lookup(domain)
    if record is None:
        return None
    return find_solver(record["domain"], record["default_solver"])
