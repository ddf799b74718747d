import re

import pytest

from velmor_platform.core import solver


def test_domains_and_their_records():
    domains = solver.list_domains()
    assert isinstance(domains, list)
    assert [d["domain"] for d in domains] == ["aerodynamics", "dynamics"]
    for record in domains:
        assert list(record) == ["domain", "kpis", "status", "solvers", "default_solver"]
        assert record["status"] == "active" and all(isinstance(k, str) for k in record["kpis"])
        names = [s["name"] for s in record["solvers"]]
        assert record["default_solver"] in names
        for s in record["solvers"]:
            assert re.fullmatch(r"v?\d+(\.\d+)*", s["version"])
    assert [s["name"] for s in domains[0]["solvers"]] == ["openfoam", "xlb", "domino"]
    assert [s["name"] for s in domains[1]["solvers"]] == ["chrono"]


@pytest.mark.parametrize(
    "alias, canonical, default",
    [
        ("aero", "aerodynamics", "openfoam"),
        ("aerodynamics", "aerodynamics", "openfoam"),
        ("dynamics", "dynamics", "chrono"),
    ],
)
def test_lookups_accept_the_aero_alias(alias, canonical, default):
    assert solver.get_domain(alias)["domain"] == canonical
    assert solver.default_solver_for(alias)["name"] == default
    assert solver.find_solver(alias, default)["name"] == default
    assert solver.find_solver(alias, "chrono" if default == "openfoam" else "openfoam") is None


@pytest.mark.parametrize("domain", ["Aero", "AERODYNAMICS", "thermal", ""])
def test_unknown_domains(domain):
    assert solver.get_domain(domain) is None
    assert solver.default_solver_for(domain) is None
    assert solver.find_solver(domain, "openfoam") is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: solver.list_domains()[0],
        lambda: solver.get_domain("aero"),
        lambda: solver.default_solver_for("aero"),
        lambda: solver.find_solver("aero", "openfoam"),
    ],
)
def test_callers_cannot_corrupt_the_registry(call):
    def wreck(obj):
        for value in list(obj.values() if isinstance(obj, dict) else obj):
            if isinstance(value, (dict, list)):
                wreck(value)
        obj.clear()

    before = solver.list_domains()
    wreck(call())
    assert solver.list_domains() == before
    assert call() == call() and call() is not call()
