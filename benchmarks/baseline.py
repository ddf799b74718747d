"""The product core written the obvious way in plain Python.

The benchmark times each member of the C++ ``ProductCore`` against the member
of the same name here, on the same product, so the ratio shows what the
native module buys over what a user would otherwise write.
"""

from __future__ import annotations

from pathlib import Path

from velmor_platform.core.solver import get_domain, list_domains


class PyProductCore:
    _usd_path: Path
    _vehicle: dict

    def __init__(self, usd_path: Path, vehicle: dict):
        if type(vehicle) is not dict:
            raise TypeError("vehicle must be a dict")
        self._usd_path = usd_path
        self._vehicle = vehicle

    @property
    def name(self) -> str:
        stem = self._usd_path.stem
        return self._vehicle.get("vehicle_name", stem)

    @property
    def specs(self) -> dict:
        return self._vehicle.copy()

    @property
    def has_dynamics(self) -> bool:
        if not self._vehicle.get("mass", 0) > 500:
            return False
        return self._vehicle.get("wheelbase", 0) > 0

    @property
    def targets(self) -> dict:
        v = self._vehicle
        out = {
            "cd": v.get("target_cd"),
            "cl": v.get("target_cl"),
            "cm_pitch": v.get("target_cm"),
            "target_cd_tol": v.get("target_cd_tol"),
            "target_cl_tol": v.get("target_cl_tol"),
            "target_cm_tol": v.get("target_cm_tol"),
        }
        if self.has_dynamics:
            out.update(
                {
                    "lateral_g": v.get("target_lateral_g", 0.8),
                    "yaw_rate_dps": v.get("target_yaw_rate_dps", 15.0),
                    "roll_angle_deg": v.get("target_roll_angle_deg", 3.0),
                }
            )
        return out

    @property
    def benchmarks(self) -> dict:
        v = self._vehicle
        return {
            "cd": v.get("benchmark_cd"),
            "cl": v.get("benchmark_cl"),
            "cm_pitch": v.get("benchmark_cm"),
            "source": v.get("benchmark_source", ""),
        }

    @property
    def current(self) -> dict:
        v = self._vehicle
        out = {
            "cd": v.get("current_cd"),
            "cl": v.get("current_cl"),
            "cm_pitch": v.get("current_cm"),
        }
        if self.has_dynamics:
            out.update(
                {
                    "lateral_g": v.get("current_lateral_g"),
                    "yaw_rate_dps": v.get("current_yaw_rate_dps"),
                    "roll_angle_deg": v.get("current_roll_angle_deg"),
                }
            )
        return out

    @property
    def usd_path(self) -> Path:
        return self._usd_path

    @property
    def product_dir(self) -> Path:
        return self._usd_path.parent

    def _product_identifier(self) -> str:
        parts = []
        cur = self._usd_path.parent
        while cur.name and cur.name != "products":
            parts.append(cur.name)
            cur = cur.parent
        parts.reverse()
        if len(parts) == 1:
            return parts[0]
        if len(parts) >= 2:
            return f"{parts[0]}:{parts[-1]}"
        return self._usd_path.parent.name

    def metadata(self, action: str) -> dict:
        if type(action) is not str:
            raise TypeError("action must be a str")
        return {"product": self.name, "product_id": self._product_identifier(), "action": action}

    def __repr__(self) -> str:
        return f"Velmor({self.name}, cd_target={self.targets['cd']})"

    _DOMAIN_DEFAULT_SOLVER = {"aerodynamics": "openfoam", "aero": "openfoam", "dynamics": "chrono"}
    _DOMAIN_VALID_BACKENDS = {
        "aerodynamics": {"auto", "openfoam", "xlb", "domino"},
        "aero": {"auto", "openfoam", "xlb", "domino"},
        "dynamics": {"auto", "chrono"},
    }

    @staticmethod
    def _normalise_domain(domain: str) -> str:
        if type(domain) is not str:
            raise TypeError("domain must be a str")
        return {"aerodynamics": "aero"}.get(domain, domain)

    def set_solver(self, domain: str = "aerodynamics", backend: str = "openfoam") -> dict:
        if type(domain) is not str or type(backend) is not str:
            raise TypeError("domain and backend must be str")
        if backend == "surrogate":
            backend = "auto"
        valid = self._DOMAIN_VALID_BACKENDS.get(domain)
        if valid is not None and backend not in valid:
            raise ValueError(
                f"Unknown backend {backend!r} for domain {domain!r}. Options: {sorted(valid)}"
            )
        if not hasattr(self, "_solver_backend"):
            self._solver_backend = {}
        self._solver_backend[self._normalise_domain(domain)] = backend
        return {"status": "selected", "domain": domain, "backend": backend, "product": self.name}

    def get_solver_backend(self, domain: str = "aerodynamics") -> str:
        if type(domain) is not str:
            raise TypeError("domain must be a str")
        backends = getattr(self, "_solver_backend", None) or {}
        key = self._normalise_domain(domain)
        fallback = self._DOMAIN_DEFAULT_SOLVER.get(key, "openfoam")
        return backends.get(key, fallback)

    def resolve_dispatch_backend(
        self, *, domain: str, conditions: dict | None = None, force_physics: bool = False
    ) -> tuple[str, object | None]:
        if type(domain) is not str:
            raise TypeError("domain must be a str")
        if conditions is not None and type(conditions) is not dict:
            raise TypeError("conditions must be a dict or None")
        choice = self.get_solver_backend(domain)
        domain_default = self._DOMAIN_DEFAULT_SOLVER.get(domain, "openfoam")
        if choice == "auto":
            return (domain_default, None)
        return (choice, None)

    @staticmethod
    def solvers() -> list[dict]:
        return list_domains()

    @staticmethod
    def solver(domain: str) -> dict | None:
        if type(domain) is not str:
            raise TypeError("domain must be a str")
        return get_domain(domain)

    def export(self, format: str = "usd") -> dict:
        if type(format) is not str:
            raise TypeError("format must be a str")
        if format != "usd":
            raise ValueError(f"Unknown format: {format}. Supported: usd")
        return {"format": "USD", "path": str(self._usd_path)}

    def set_geometry(self, stl_path: str | Path) -> dict:
        path = Path(stl_path)
        if not path.exists():
            raise FileNotFoundError(f"STL not found: {path}")
        if path.suffix.lower() != ".stl":
            raise ValueError(f"Expected .stl file, got: {path.suffix}")
        st = path.stat()
        return {
            "status": "accepted",
            "path": str(path),
            "size_mb": round(st.st_size / 1_000_000, 2),
            "note": "Geometry registered. Run --prepare-cfd to rebuild CFD case.",
        }
