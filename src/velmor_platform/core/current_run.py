"""Which aerodynamic run is a product's current result.

Only a headline run can be current: a completed run of the domain that
reports a coefficient, computed straight ahead (no yaw angle, or 0). Yawed
runs stay in the history and in the product's yaw sweep, never in the
headline figures, the target checks or the range model.

Among the headline runs the newest is current, with three exceptions:

* a run does not displace, as current, a run of the same geometry that is
  finer (a higher mesh level; for runs without a level, clearly more
  cells) or that carries a grid-convergence band when it does not;
* an unconverged run does not displace a converged run of the same
  geometry and mesh level;
* the user may choose the current run (``pinned``, a run's prim name);
  the choice holds while that run exists, is completed and is a headline
  run.

Runs recorded without a geometry key are taken to be of the same
geometry as any other run: nothing tells them apart. A run recorded
without a domain counts as aerodynamic, one without a convergence verdict
is neither converged nor unconverged.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

#: Mesh levels from coarsest to finest.
LEVEL_RANK = {"quick": 0, "standard": 1, "fine": 2}
#: Runs without a mesh level: the other must have this many times the cells to be finer.
CELLS_FACTOR = 1.5
#: Run keys the rule reads besides the coefficients.
FIDELITY_KEYS = (
    "status",
    "level",
    "mesh_cells",
    "geometry_key",
    "grid_kind",
    "domain",
    "yaw_deg",
    "converged",
)
#: The domain whose runs give the current aerodynamic results.
AERODYNAMICS = "aerodynamics"


def _completed(run: dict[str, Any]) -> bool:
    return bool(run.get("status", "completed") == "completed")


def straight_ahead(run: dict[str, Any]) -> bool:
    """Whether the run was computed with the flow along the car (yaw 0 or unrecorded)."""
    yaw = run.get("yaw_deg")
    return not isinstance(yaw, (int, float)) or yaw == 0


def headline(run: dict[str, Any], domain: str = AERODYNAMICS) -> bool:
    """Whether ``run`` may give the product's current results of ``domain``:
    completed, of that domain, and straight ahead."""
    return _completed(run) and run.get("domain", domain) == domain and straight_ahead(run)


def grid_banded(run: dict[str, Any]) -> bool:
    return bool(run.get("grid_kind"))


def finer(a: dict[str, Any], b: dict[str, Any]) -> bool:
    """Whether run ``a`` was computed on a finer mesh than run ``b``."""
    la, lb = LEVEL_RANK.get(a.get("level", "")), LEVEL_RANK.get(b.get("level", ""))
    if la is not None and lb is not None:
        return la > lb
    ca, cb = a.get("mesh_cells"), b.get("mesh_cells")
    if isinstance(ca, int) and isinstance(cb, int) and cb > 0:
        return ca > CELLS_FACTOR * cb
    return False


def same_geometry(a: dict[str, Any], b: dict[str, Any]) -> bool:
    ka, kb = a.get("geometry_key"), b.get("geometry_key")
    return not (ka and kb) or ka == kb


def displaces(new: dict[str, Any], current: dict[str, Any]) -> bool:
    """Whether the newer run ``new`` replaces ``current`` as the current result."""
    if not same_geometry(new, current):
        return True
    if finer(current, new):
        return False
    if (
        current.get("converged") is True
        and new.get("converged") is False
        and new.get("level") == current.get("level")
    ):
        return False
    return not (grid_banded(current) and not grid_banded(new))


def choose(
    runs: Sequence[dict[str, Any]],
    keys: Sequence[str],
    pinned: str | None = None,
    domain: str = AERODYNAMICS,
) -> dict[str, Any] | None:
    """The current run among ``runs`` (oldest first) reporting any of ``keys``."""
    candidates = [r for r in runs if headline(r, domain) and any(k in r for k in keys)]
    if pinned:
        for run in candidates:
            if run.get("name") == pinned:
                return run
    current: dict[str, Any] | None = None
    for run in candidates:
        if current is None or displaces(run, current):
            current = run
    return current
