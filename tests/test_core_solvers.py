"""Domain and backend selection (_normalise_domain, set_solver,
get_solver_backend, resolve_dispatch_backend) and solver discovery
(solvers, solver)."""

from pathlib import Path

import pytest

from velmor_platform.core import solver as registry

AERO_OPTIONS = "['auto', 'domino', 'openfoam', 'xlb']"


@pytest.fixture
def p(core):
    return core.ProductCore(Path("/w/products/sedan/base/sedan.usda"), {"vehicle_name": "Sedan"})


@pytest.mark.parametrize(
    "domain,expected",
    [
        ("aerodynamics", "aero"),
        ("aero", "aero"),
        ("dynamics", "dynamics"),
        ("", ""),
        ("hydro", "hydro"),
        ("Aerodynamics", "Aerodynamics"),
        (" aerodynamics", " aerodynamics"),
    ],
)
def test_normalise_domain(core, p, domain, expected):
    assert (
        core.ProductCore._normalise_domain(domain) == p._normalise_domain(domain=domain) == expected
    )


def test_fresh_instance_and_defaults(p):
    assert [p.get_solver_backend(*d) for d in [(), ("aero",), ("dynamics",), ("hydro",)]] == [
        "openfoam",
        "openfoam",
        "chrono",
        "openfoam",
    ]
    assert p.resolve_dispatch_backend(domain="dynamics") == ("chrono", None)
    assert p.resolve_dispatch_backend(domain="whatever") == ("openfoam", None)
    assert not hasattr(p, "_solver_backend")
    assert list(p.set_solver().items()) == [
        ("status", "selected"),
        ("domain", "aerodynamics"),
        ("backend", "openfoam"),
        ("product", "Sedan"),
    ]
    assert p._solver_backend == {"aero": "openfoam"}
    p.set_solver("aero", "surrogate")
    assert p.resolve_dispatch_backend(domain="aerodynamics") == ("openfoam", None)


@pytest.mark.parametrize(
    "domain,backend,key,stored,resolved",
    [
        ("aero", "surrogate", "aero", "auto", "openfoam"),
        ("aerodynamics", "xlb", "aero", "xlb", "xlb"),
        ("aero", "domino", "aero", "domino", "domino"),
        ("dynamics", "auto", "dynamics", "auto", "chrono"),
        ("dynamics", "surrogate", "dynamics", "auto", "chrono"),
        ("Aero", "anything", "Aero", "anything", "anything"),
        ("hydro", "auto", "hydro", "auto", "openfoam"),
        ("", "", "", "", ""),
    ],
)
def test_set_solver_stores_and_resolves(p, domain, backend, key, stored, resolved):
    assert p.set_solver(domain, backend=backend) == {
        "status": "selected",
        "domain": domain,
        "backend": stored,
        "product": "Sedan",
    }
    assert p._solver_backend == {key: stored} and p.get_solver_backend(domain) == stored
    for conditions, force in ((None, False), ({"speed": 30}, True)):
        assert p.resolve_dispatch_backend(
            domain=domain, conditions=conditions, force_physics=force
        ) == (resolved, None)


@pytest.mark.parametrize(
    "domain,backend,message",
    [
        (
            "dynamics",
            "openfoam",
            "Unknown backend 'openfoam' for domain 'dynamics'. Options: ['auto', 'chrono']",
        ),
        (
            "aerodynamics",
            "chrono",
            f"Unknown backend 'chrono' for domain 'aerodynamics'. Options: {AERO_OPTIONS}",
        ),
        (
            "aero",
            "OpenFOAM",
            f"Unknown backend 'OpenFOAM' for domain 'aero'. Options: {AERO_OPTIONS}",
        ),
        ("aero", "it's", f"Unknown backend \"it's\" for domain 'aero'. Options: {AERO_OPTIONS}"),
    ],
)
def test_set_solver_refuses_unknown_backends_and_stores_nothing(p, domain, backend, message):
    with pytest.raises(ValueError) as info:
        p.set_solver(domain, backend)
    assert info.value.args == (message,) and not hasattr(p, "_solver_backend")
    p.set_solver("dynamics", "chrono")
    with pytest.raises(ValueError):
        p.set_solver(domain, backend)
    assert p._solver_backend == {"dynamics": "chrono"}


def test_argument_types_are_checked_before_anything(p):
    for call in (
        lambda: p.set_solver(None),
        lambda: p.set_solver("aero", None),
        lambda: p.set_solver(b"aero"),
        lambda: p.get_solver_backend(None),
        lambda: p.resolve_dispatch_backend(domain=None),
    ):
        with pytest.raises(TypeError, match="has incorrect type"):
            call()
    assert not hasattr(p, "_solver_backend")


def test_one_map_per_instance_overwritten_per_domain(p):
    p.set_solver("aerodynamics", "xlb")
    backends = p._solver_backend
    p.set_solver("aero", "domino")
    p.set_solver("dynamics", "auto")
    assert p._solver_backend is backends and backends == {"aero": "domino", "dynamics": "auto"}
    assert p.get_solver_backend("aero") == p.get_solver_backend("aerodynamics") == "domino"


def test_backend_map_edge_cases(core, p):
    for falsy in (None, {}, 0):
        p._solver_backend = falsy
        assert p.get_solver_backend("dynamics") == "chrono"
    p._solver_backend = {"aero": 42}
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        p.get_solver_backend()

    class Guarded(core.ProductCore):
        _solver_backend = property(lambda self: 1 / 0)

    with pytest.raises(ZeroDivisionError):  # only a missing attribute means "no map yet"
        Guarded(Path("/p/x.usda"), {}).set_solver()
    q = core.ProductCore("/a/plain/string.usda", {})
    with pytest.raises(AttributeError):  # the reply's name fails after the choice is stored
        q.set_solver("dynamics", "chrono")
    assert q._solver_backend == {"dynamics": "chrono"}


def test_tables_and_members_are_reached_through_the_instance(core):
    calls = []

    class Product(core.ProductCore):
        _DOMAIN_DEFAULT_SOLVER = {"aero": "xlb", "dynamics": "chrono"}
        _DOMAIN_VALID_BACKENDS = {"aero": {"auto", "xlb"}}

        @staticmethod
        def _normalise_domain(domain):
            calls.append(domain)
            return domain.upper()

    p = Product(Path("/p/x.usda"), {})
    assert p.get_solver_backend("aero") == "openfoam"  # key "AERO" is in no table
    with pytest.raises(ValueError, match=r"Options: \['auto', 'xlb'\]$"):
        p.set_solver("aero", "openfoam")
    p.set_solver("aerodynamics", "chrono")  # no entry for the long name here
    assert p._solver_backend == {"AERODYNAMICS": "chrono"} and calls == ["aero", "aerodynamics"]

    q = core.ProductCore(Path("/p/x.usda"), {})
    q._DOMAIN_DEFAULT_SOLVER = {"aerodynamics": "domino", "aero": "xlb"}
    q.set_solver("aero", "auto")
    assert q.resolve_dispatch_backend(domain="aerodynamics") == ("domino", None)
    assert q.resolve_dispatch_backend(domain="aero") == ("xlb", None)

    class Picky(core.ProductCore):
        def get_solver_backend(self, domain="aerodynamics"):
            return "auto" if domain == "dynamics" else "custom"

    r = Picky(Path("/p/x.usda"), {})
    assert r.resolve_dispatch_backend(domain="aero") == ("custom", None)
    assert r.resolve_dispatch_backend(domain="dynamics") == ("chrono", None)


# ---- solver discovery --------------------------------------------------------------


class Records(list):
    pass


@pytest.mark.parametrize(
    "value,refused",
    [
        ([{"domain": "x"}], None),
        (None, None),
        ((), "tuple"),
        (Records(), "Records"),
        ({}, "dict"),
    ],
)
def test_solvers(core, monkeypatch, p, value, refused):
    monkeypatch.setattr(core, "list_domains", lambda: value)
    for call in (core.ProductCore.solvers, p.solvers):
        if refused:
            with pytest.raises(TypeError, match=rf"^Expected list, got {refused}$"):
                call()
        else:
            assert call() is value


def test_solver_passes_the_domain_unchanged(core, monkeypatch, p):
    calls, record = [], {"domain": "aerodynamics"}
    monkeypatch.setattr(
        core,
        "get_domain",
        lambda d: calls.append(d) or {"aerodynamics": record, "aero": None}.get(d, "wrong"),
    )
    assert core.ProductCore.solver("aerodynamics") is record
    assert p.solver(domain="aero") is None
    with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
        core.ProductCore.solver("other")
    with pytest.raises(TypeError, match="Argument 'domain'"):
        core.ProductCore.solver(None)
    assert calls == ["aerodynamics", "aero", "other"]


def test_discovery_against_the_real_registry(core):
    assert core.ProductCore.solvers() == registry.list_domains()
    assert core.ProductCore.solver("aero") == registry.get_domain("aerodynamics")
    assert core.ProductCore.solver("nothing") is None
