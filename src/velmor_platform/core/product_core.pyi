"""Core product mixin — identity, USD access, properties, discovery."""

import os
from pathlib import Path
from typing import Any, ClassVar, Self

def _list_openfoam_templates() -> list[str]:
    """Return the OpenFOAM solver's available case templates via MCP.

    An empty list when the server cannot be reached or the query fails.
    """

class ProductCore:
    """Identity, USD paths, properties, and discovery methods."""

    _usd_path: Path
    _vehicle: dict[str, Any]
    # Created by the first ``set_solver``; absent until then.
    _solver_backend: dict[str, str]

    _DOMAIN_DEFAULT_SOLVER: ClassVar[dict[str, str]]
    _DOMAIN_VALID_BACKENDS: ClassVar[dict[str, set[str]]]

    def __init__(self, usd_path: Path, vehicle: dict[str, Any]) -> None: ...
    @classmethod
    def load(cls, name_or_path: str) -> Self:
        """Load a vehicle by name or USD file path."""

    # Identity and paths
    @property
    def name(self) -> str: ...
    @property
    def usd_path(self) -> Path:
        """Path to the product's top-level USD file."""

    @property
    def product_dir(self) -> Path:
        """Directory containing the product's USD file."""

    def _product_identifier(self) -> str:
        """Reconstruct the ``<programme>[:variant]`` id from the USD path."""

    def metadata(self, action: str) -> dict[str, str]:
        """Return a metadata banner dict for CLI/UI display."""

    # Vehicle properties
    @property
    def specs(self) -> dict[str, Any]:
        """Full vehicle spec dict from USD (read-only copy)."""

    @property
    def has_dynamics(self) -> bool:
        """True if the product has vehicle dynamics capability."""

    @property
    def targets(self) -> dict[str, Any]:
        """Design intent targets (all domains)."""

    @property
    def benchmarks(self) -> dict[str, Any]:
        """Benchmark reference values (from benchmark layer)."""

    @property
    def current(self) -> dict[str, Any]:
        """Latest simulation results from USD."""

    def simulations(self) -> list[dict[str, Any]]:
        """History of all simulation runs from the USD prototype layer."""

    def history(self) -> list[dict[str, Any]]:
        """All previous simulation runs with full metadata."""

    # Solver selection and discovery
    @staticmethod
    def _normalise_domain(domain: str) -> str:
        """Canonical short name for a domain."""

    def set_solver(self, domain: str = "aerodynamics", backend: str = "openfoam") -> dict[str, str]:
        """Select solver backend for a physics domain."""

    def get_solver_backend(self, domain: str = "aerodynamics") -> str:
        """Return the currently-selected backend for a domain."""

    def resolve_dispatch_backend(
        self,
        *,
        domain: str,
        conditions: dict[str, Any] | None = None,
        force_physics: bool = False,
    ) -> tuple[str, object | None]:
        """Resolve the solver backend for a simulation dispatch."""

    @staticmethod
    def solvers() -> list[dict[str, Any]]:
        """List registered solver domains (per-solver schema)."""

    @staticmethod
    def solver(domain: str) -> dict[str, Any] | None:
        """Get the per-domain record for a physics domain (per-solver schema)."""

    def capabilities(self) -> dict[str, dict[str, Any]]:
        """What physics domains can run on this product."""

    # Authoring
    def set_targets(self, **targets: float | str) -> dict[str, Any]:
        """Update design intent targets in USD."""

    def set_geometry(self, stl_path: str | os.PathLike[str]) -> dict[str, Any]:
        """Register new geometry for this product."""

    # Analysis and export
    def diff(self, other: ProductCore) -> dict[str, Any]:
        """Compare this vehicle against another."""

    def range_competitiveness(self, cd: float) -> dict[str, Any]:
        """Estimate highway range and compare against USD competitors."""

    def export(self, format: str = "usd") -> dict[str, str]:
        """Export product data in a specified format."""
