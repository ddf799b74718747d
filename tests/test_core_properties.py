"""Views on the vehicle record (specs, has_dynamics, targets, benchmarks,
current) and the run history (simulations, history)."""

from pathlib import Path

import pytest

from velmor_platform.core import usd_product

T6 = ["cd", "cl", "cm_pitch", "target_cd_tol", "target_cl_tol", "target_cm_tol"]
DYN3 = ["lateral_g", "yaw_rate_dps", "roll_angle_deg"]
DYNAMIC = {"mass": 1600, "wheelbase": 2.8}


def product(core, record, cls=None):
    return (cls or core.ProductCore)(Path("/w/products/car/car.usda"), record)


@pytest.mark.parametrize(
    "record,expected",
    [
        ({"mass": 1500, "wheelbase": 2.7}, True),
        ({"mass": 1500.0, "wheelbase": 2.7}, True),
        ({"mass": 501, "wheelbase": 0.001}, True),
        ({"mass": 500, "wheelbase": 2.7}, False),
        ({"mass": 500.0, "wheelbase": 2.7}, False),
        ({"mass": 1500}, False),
        ({"mass": 1500, "wheelbase": 0}, False),
        ({"wheelbase": 2.7}, False),
        ({}, False),
        ({"mass": 100, "wheelbase": None}, False),  # wheelbase is not read for a light vehicle
        ({"mass": 10**30, "wheelbase": 10**-9}, True),
        ({"mass": -(10**30), "wheelbase": 1}, False),
        ({"mass": float("nan"), "wheelbase": 1}, False),
        ({"mass": True, "wheelbase": 1}, False),
        ({"mass": 2**63, "wheelbase": 1}, True),
    ],
)
def test_has_dynamics(core, record, expected):
    assert product(core, record).has_dynamics is expected


@pytest.mark.parametrize(
    "record", [{"mass": None}, {"mass": "1600"}, {"mass": 1600, "wheelbase": "2"}]
)
def test_incomparable_mass_or_wheelbase(core, record):
    p = product(core, record)
    for read in (lambda: p.has_dynamics, lambda: p.targets, lambda: p.current):
        with pytest.raises(TypeError):
            read()


# view, record, expected items in order
VIEWS = [
    ("targets", {}, [(k, None) for k in T6]),
    (
        "targets",
        dict(DYNAMIC),
        [(k, None) for k in T6]
        + [("lateral_g", 0.8), ("yaw_rate_dps", 15.0), ("roll_angle_deg", 3.0)],
    ),
    (
        "targets",
        dict(DYNAMIC, target_lateral_g=None, target_cd=0.24, target_cd_tol=0.01),
        [
            ("cd", 0.24),
            ("cl", None),
            ("cm_pitch", None),
            ("target_cd_tol", 0.01),
            ("target_cl_tol", None),
            ("target_cm_tol", None),
            ("lateral_g", None),
            ("yaw_rate_dps", 15.0),
            ("roll_angle_deg", 3.0),
        ],
    ),
    (
        "targets",
        {"mass": 500, "wheelbase": 2.8, "target_lateral_g": 1.0, "target_cm": -0.01},
        [("cd", None), ("cl", None), ("cm_pitch", -0.01)] + [(k, None) for k in T6[3:]],
    ),
    ("benchmarks", {}, [("cd", None), ("cl", None), ("cm_pitch", None), ("source", "")]),
    (
        "benchmarks",
        dict(DYNAMIC, benchmark_cd=0.25, benchmark_cm=None, benchmark_source="tunnel"),
        [("cd", 0.25), ("cl", None), ("cm_pitch", None), ("source", "tunnel")],
    ),
    ("current", {}, [("cd", None), ("cl", None), ("cm_pitch", None)]),
    (
        "current",
        {"current_lateral_g": 0.9, "current_cl": 0.1},
        [("cd", None), ("cl", 0.1), ("cm_pitch", None)],
    ),
    (
        "current",
        dict(DYNAMIC, current_cd=0.25, current_lateral_g=0.9),
        [
            ("cd", 0.25),
            ("cl", None),
            ("cm_pitch", None),
            ("lateral_g", 0.9),
            ("yaw_rate_dps", None),
            ("roll_angle_deg", None),
        ],
    ),
]


@pytest.mark.parametrize("view,record,items", VIEWS)
def test_views(core, view, record, items):
    result = getattr(product(core, record), view)
    assert list(result.items()) == items
    assert [type(v) for _, v in result.items()] == [type(v) for _, v in items]


def test_views_pass_stored_objects_through(core):
    sources = [
        "target_cd",
        "target_cl",
        "target_cm",
        "target_cd_tol",
        "target_cl_tol",
        "target_cm_tol",
        "target_lateral_g",
        "target_yaw_rate_dps",
        "target_roll_angle_deg",
        "benchmark_cd",
        "benchmark_source",
        "current_cd",
        "current_roll_angle_deg",
    ]
    values = {k: object() for k in sources}
    p = product(core, dict(DYNAMIC, **values))
    assert list(p.targets.values()) == [values[k] for k in sources[:9]]
    assert all(a is b for a, b in zip(p.targets.values(), [values[k] for k in sources[:9]]))
    assert (
        p.benchmarks["cd"] is values["benchmark_cd"]
        and p.benchmarks["source"] is values["benchmark_source"]
    )
    assert (
        p.current["cd"] is values["current_cd"]
        and p.current["roll_angle_deg"] is values["current_roll_angle_deg"]
    )


def test_specs_is_a_fresh_shallow_copy(core):
    nested = [1, 2]
    record = {"mass": 1600, "runs": nested}
    p = product(core, record)
    a, b = p.specs, p.specs
    assert a == b == record and a is not b and a is not record
    assert list(a) == list(record) and a["runs"] is nested
    a["extra"] = 1
    assert "extra" not in b and "extra" not in record


def test_views_are_new_each_time_and_track_the_record(core):
    record = {"target_cd": 0.3}
    p = product(core, record)
    for name in ("targets", "benchmarks", "current", "specs"):
        first = getattr(p, name)
        first["cd"] = "changed"
        assert getattr(p, name) is not first and record == {"target_cd": 0.3}
    record.update(DYNAMIC, target_cd=0.2)
    assert p.targets["cd"] == 0.2 and len(p.targets) == 9
    p._vehicle = {}
    assert p.targets["cd"] is None and len(p.current) == 3


def test_has_dynamics_override_drives_the_views(core):
    class Dyn(core.ProductCore):
        has_dynamics = True

    class NoDyn(core.ProductCore):
        has_dynamics = property(lambda self: 0)

    assert list(product(core, {}, Dyn).targets) == T6 + DYN3
    assert list(product(core, {}, Dyn).current)[3:] == DYN3
    assert list(product(core, dict(DYNAMIC), NoDyn).targets) == T6
    assert len(product(core, dict(DYNAMIC), NoDyn).current) == 3

    class Intercepting(core.ProductCore):
        def __getattribute__(self, name):
            return False if name == "has_dynamics" else super().__getattribute__(name)

    assert list(product(core, dict(DYNAMIC), Intercepting).targets) == T6


# ---- simulations and history ----------------------------------------------------------------


class RunList(list):
    pass


@pytest.mark.parametrize(
    "value,refused",
    [
        ([], None),
        ([{"run_id": "r1"}, {"run_id": "r2"}], None),
        (None, None),
        (({},), "tuple"),
        (RunList(), "RunList"),
        ({"runs": []}, "dict"),
    ],
)
def test_simulations_and_history(core, monkeypatch, value, refused):
    calls = []
    monkeypatch.setattr(
        usd_product, "load_product_history", lambda path: calls.append(path) or value
    )
    p = product(core, {})
    for call in (p.simulations, p.history):
        if refused:
            with pytest.raises(TypeError, match=rf"^Expected list, got {refused}$"):
                call()
        else:
            assert call() is value
    assert calls == ["/w/products/car/car.usda"] * 2 and all(type(c) is str for c in calls)


def test_simulations_errors(core, monkeypatch):
    monkeypatch.setattr(usd_product, "load_product_history", lambda path: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        product(core, {}).history()
    monkeypatch.delattr(usd_product, "load_product_history")
    with pytest.raises(ImportError, match="load_product_history"):
        product(core, {}).simulations()


def test_history_calls_simulations_through_the_instance(core, monkeypatch):
    runs = [{"run_id": "own"}]
    monkeypatch.setattr(
        usd_product, "load_product_history", lambda path: pytest.fail("reader used")
    )
    Own = type("Own", (core.ProductCore,), {"simulations": lambda self: runs})
    Bad = type("Bad", (core.ProductCore,), {"simulations": lambda self: ("tuple",)})
    assert product(core, {}, Own).history() is runs
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        product(core, {}, Bad).history()


def test_sample_product_views(core, workspace):
    sedan, hatch = core.ProductCore.load("sedan:base"), core.ProductCore.load("hatch")
    assert sedan.has_dynamics is True and hatch.has_dynamics is False
    assert sedan.targets == {
        "cd": 0.245,
        "cl": 0.08,
        "cm_pitch": -0.015,
        "target_cd_tol": 0.005,
        "target_cl_tol": 0.02,
        "target_cm_tol": 0.01,
        "lateral_g": 0.85,
        "yaw_rate_dps": 18,
        "roll_angle_deg": 3.2,
    }
    assert list(hatch.targets) == T6 and list(hatch.current) == ["cd", "cl", "cm_pitch"]
    assert sedan.benchmarks["source"] == "Full-scale wind tunnel, moving ground, 2025-02"
    runs = sedan.simulations()
    assert runs == sedan.history() == usd_product.load_product_history(str(sedan.usd_path))
    assert [r["run_id"] for r in runs][:3] == [
        "sedan-base-0001",
        "sedan-base-0002",
        "sedan-base-0003",
    ]


A = Path("/w/products/a/b/x.usda")


def _change_record_in_place(p, P):
    p._vehicle["vehicle_name"] = "Changed"
    return ("Changed", A, 0.3, "openfoam", "a:b")


def _rebind_record(p, P):
    p._vehicle = {"vehicle_name": "Changed", "target_cd": 0.5}
    return ("Changed", A, 0.5, "openfoam", "a:b")


def _replace_instance_dict(p, P):
    p.__dict__ = {"_usd_path": Path("/w/products/c/d/e.usda"), "_vehicle": {}}
    return ("e", Path("/w/products/c/d/e.usda"), None, "openfoam", "c:d")


def _data_descriptor_on_a_subclass(p, P):
    class Sub(P):
        _vehicle = property(lambda self: {"vehicle_name": "FromProperty"})

    p.__class__ = Sub
    return ("FromProperty", A, None, "openfoam", "a:b")


def _class_attribute_after_instance_attribute_removed(p, P):
    class Sub(P):
        _vehicle = {"vehicle_name": "FromClass"}

    p.__class__ = Sub
    del p.__dict__["_vehicle"]
    return ("FromClass", A, None, "openfoam", "a:b")


def _getattr_hook(p, P):
    class Sub(P):
        def __getattribute__(self, name):
            if name == "_usd_path":
                return Path("/w/products/hook/hook.usda")
            return object.__getattribute__(self, name)

    p.__class__ = Sub
    return ("First", Path("/w/products/hook/hook.usda"), 0.3, "openfoam", "hook")


def _table_on_the_instance(p, P):
    p._DOMAIN_DEFAULT_SOLVER = {"aero": "xlb"}
    return ("First", A, 0.3, "xlb", "a:b")


def _table_on_the_class_later(p, P):
    class Sub(P):
        pass

    p.__class__ = Sub
    p.get_solver_backend("aero")
    Sub._DOMAIN_DEFAULT_SOLVER = {"aero": "domino"}
    return ("First", A, 0.3, "domino", "a:b")


@pytest.mark.parametrize(
    "change",
    [
        _change_record_in_place,
        _rebind_record,
        _replace_instance_dict,
        _data_descriptor_on_a_subclass,
        _class_attribute_after_instance_attribute_removed,
        _getattr_hook,
        _table_on_the_instance,
        _table_on_the_class_later,
    ],
)
def test_repeated_reads_follow_every_change(core, change):
    """Members read the same instance again and again; each change shows at once."""
    p = core.ProductCore(A, {"vehicle_name": "First", "target_cd": 0.3})
    probe = lambda: (  # noqa: E731
        p.name,
        p.usd_path,
        p.targets["cd"],
        p.get_solver_backend("aero"),
        p._product_identifier(),
    )
    for _ in range(3):  # the same reads, warm
        assert probe() == ("First", A, 0.3, "openfoam", "a:b")
    expected = change(p, core.ProductCore)
    assert probe() == expected
    assert probe() == expected


@pytest.mark.parametrize("where", ["instance", "class"])
def test_members_called_through_the_instance_follow_late_overrides(core, where):
    """Overrides made after many calls are used by the very next call."""

    class Sub(core.ProductCore):
        pass

    p = Sub(A, {"vehicle_name": "First", "target_cd": 0.3, "mass": 1600, "wheelbase": 2.8})
    for _ in range(3):
        assert p.resolve_dispatch_backend(domain="aero") == ("openfoam", None)
        assert p.metadata("m")["product_id"] == "a:b"
        assert repr(p) == "Velmor(First, cd_target=0.3)"
    target = p if where == "instance" else Sub
    target._normalise_domain = staticmethod(lambda d: "dynamics")
    target.get_solver_backend = (
        (lambda d="aero": "xlb") if where == "instance" else (lambda self, d="aero": "xlb")
    )
    target._product_identifier = (lambda: "X") if where == "instance" else (lambda self: "X")
    if where == "class":
        Sub.targets = property(lambda self: {"cd": "late"})
        Sub.name = property(lambda self: "Late")
    assert p.resolve_dispatch_backend(domain="aero") == ("xlb", None)
    assert p.metadata("m")["product_id"] == "X"
    assert p.set_solver("aero", "xlb")["backend"] == "xlb" and p._solver_backend == {
        "dynamics": "xlb"
    }
    if where == "class":
        assert repr(p) == "Velmor(Late, cd_target=late)"
        assert p.metadata("m")["product"] == "Late"
