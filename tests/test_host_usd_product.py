from pathlib import Path

import pytest
from pxr import Usd

from velmor_platform.core.usd_product import diff_products, load_product, load_product_history


def _write(path, body, header='defaultPrim = "Vehicle"'):
    path.write_text(f"#usda 1.0\n(\n    {header}\n)\n\n{body}\n")
    return str(path)


def _product(tmp_path, attrs="", runs=""):
    sims = f'def Scope "Simulations" {{\n{runs}\n}}' if runs else ""
    return _write(tmp_path / "p.usda", f'def Xform "Vehicle" {{\n{attrs}\n{sims}\n}}')


def _run(name, **attrs):
    lines = "\n".join(
        f'string {k} = "{v}"' if isinstance(v, str) else f"double {k} = {v}"
        for k, v in attrs.items()
    )
    return f'def Scope "{name}" {{\n{lines}\n}}'


def _sample(workspace, rel):
    return str(workspace / "products" / rel)


def test_sample_record_maps_composed_attributes(workspace):
    rec = load_product(_sample(workspace, "sedan/base/sedan.usda"))
    # one key from each layer, and every design-intent and current-result key
    expected = {
        "vehicle_name": "Velmor Sedan Base",
        "variant": "base",
        "mass": 1720.0,
        "crr": 0.0085,
        "target_cd": 0.245,
        "target_cl": 0.08,
        "target_cm": -0.015,
        "target_cd_tol": 0.005,
        "target_cl_tol": 0.02,
        "target_cm_tol": 0.01,
        "target_lateral_g": 0.85,
        "target_yaw_rate_dps": 18.0,
        "target_roll_angle_deg": 3.2,
        "benchmark_cm": -0.012,
        "current_cd": 0.249,
        "current_cl": 0.087,
        "current_cm": -0.017,
        "current_lateral_g": 0.83,
        "current_yaw_rate_dps": 17.4,
        "current_roll_angle_deg": 3.4,
    }
    assert {k: rec.get(k) for k in expected} == expected
    assert all(type(v) in (float, str) for v in rec.values())


@pytest.mark.parametrize(
    "rel, dynamics",
    [
        ("hatch/hatch.usda", False),
        ("sedan/base/sedan.usda", True),
        ("sedan/sport/sedan.usda", True),
    ],
)
def test_sample_products_dynamics_capability(workspace, rel, dynamics):
    rec = load_product(_sample(workspace, rel))
    assert (rec.get("mass", 0) > 500 and rec.get("wheelbase", 0) > 0) is dynamics


def test_hatch_lacks_what_is_not_authored(workspace):
    rec = load_product(_sample(workspace, "hatch/hatch.usda"))
    for key in (
        "target_cd_tol",
        "variant",
        "target_lateral_g",
        "benchmark_cm",
        "current_lateral_g",
    ):
        assert key not in rec
    stage = Usd.Stage.Open(_sample(workspace, "hatch/hatch.usda"), Usd.Stage.LoadNone)
    prim = stage.GetDefaultPrim()  # what the targets writer relies on
    for name in (
        "targetCd",
        "targetCl",
        "targetCmPitch",
        "targetClTolerance",
        "targetCmPitchTolerance",
    ):
        assert prim.GetAttribute(name)


def test_top_level_opinion_overrides_sublayer_and_each_read_is_fresh(workspace):
    path = _sample(workspace, "sedan/sport/sedan.usda")
    assert load_product(path)["target_cl_tol"] == 0.015
    stage = Usd.Stage.Open(path)
    stage.GetDefaultPrim().GetAttribute("targetClTolerance").Set(0.025)
    stage.GetRootLayer().Save()
    del stage
    assert load_product(path)["target_cl_tol"] == 0.025
    assert "0.015" in (workspace / "products/sedan/sport/design_intent.usda").read_text()


def test_nothing_is_invented(tmp_path):
    path = _product(tmp_path, 'string vehicleName = "Bare"\ndouble targetCd\nint mass = 1500')
    assert load_product(path) == {"vehicle_name": "Bare", "mass": 1500}
    assert type(load_product(path)["mass"]) is int
    assert load_product_history(path) == []


@pytest.mark.parametrize(
    "content, match",
    [
        ("this is not usd", "cannot open"),
        ('#usda 1.0\n\ndef Xform "Vehicle" {}\n', "no default prim"),
        ('#usda 1.0\n(\n    defaultPrim = "Missing"\n)\n\ndef Xform "Vehicle" {}\n', "not defined"),
    ],
)
def test_unreadable_files_raise_value_error_naming_them(tmp_path, content, match):
    path = tmp_path / "broken.usda"
    path.write_text(content)
    for reader in (load_product, load_product_history):
        with pytest.raises(ValueError, match=match) as info:
            reader(str(path))
        assert str(path) in str(info.value)


def test_missing_file_and_directory(tmp_path):
    with pytest.raises(FileNotFoundError, match="gone.usda"):
        load_product(str(tmp_path / "gone.usda"))
    with pytest.raises(ValueError, match="directory"):
        load_product(str(tmp_path))


def test_history_is_ordered_by_time_not_by_name(tmp_path):
    runs = "\n".join(
        [
            _run("a_latest", timestamp="2025-01-01T09:30:00Z", cd=0.30),
            _run("b_offset", timestamp="2025-01-01T10:00:00+02:00", cd=0.31),  # 08:00 UTC
            _run("c_undated", cd=0.32),
            _run("d_naive", timestamp="2025-01-01T09:00:00", cd=0.33),
        ]
    )
    history = load_product_history(_product(tmp_path, runs=runs))
    assert [r["name"] for r in history] == ["c_undated", "b_offset", "d_naive", "a_latest"]
    assert history[-1] == {"name": "a_latest", "timestamp": "2025-01-01T09:30:00Z", "cd": 0.30}
    assert history[0] is not load_product_history(str(tmp_path / "p.usda"))[0]


def test_current_results_come_from_latest_completed_run_of_each_kind(tmp_path):
    runs = "\n".join(
        [
            _run(
                "r1",
                timestamp="2025-01-01T00:00:00Z",
                status="completed",
                cd=0.30,
                cl=0.1,
                cmPitch=0.01,
            ),
            _run("r2", timestamp="2025-01-02T00:00:00Z", status="completed", cd=0.29),
            _run("r3", timestamp="2025-01-03T00:00:00Z", lateralG=0.9, yawRateDps=20),
            _run("r4", timestamp="2025-01-04T00:00:00Z", status="failed", cd=0.99),
        ]
    )
    rec = load_product(_product(tmp_path, runs=runs))
    current = {k: v for k, v in rec.items() if k.startswith("current_")}
    # r2 reported cd only: cl and cm are absent rather than taken from r1
    assert current == {"current_cd": 0.29, "current_lateral_g": 0.9, "current_yaw_rate_dps": 20.0}


def test_sample_sport_ignores_its_failed_last_run(workspace):
    path = _sample(workspace, "sedan/sport/sedan.usda")
    assert [r["status"] for r in load_product_history(path)][-1] == "failed"
    assert load_product(path)["current_cd"] == 0.264


@pytest.mark.parametrize("same_file", [True, False])
def test_diff_of_identical_products_is_empty(workspace, tmp_path, same_file):
    a = _sample(workspace, "hatch/hatch.usda")
    b = (
        a
        if same_file
        else _write(tmp_path / "copy.usda", "", f'subLayers = [@{a}@]\n    defaultPrim = "Vehicle"')
    )
    result = diff_products(a, b)
    assert result["changes"] == {} and result["identical"] is True
    assert result["a"] == {"path": a, "name": "Velmor Hatch Prototype"}


def test_diff_reports_added_removed_and_changed(workspace, tmp_path):
    a = _product(tmp_path, 'string vehicleName = "A"\ndouble mass = 1500\ndouble targetCd = 0.30')
    b = _write(
        tmp_path / "b.usda",
        'def Xform "Vehicle" {\nstring vehicleName = "B"\ndouble mass = 1500\n'
        "double targetCd = 0.28\ndouble wheelbase = 2.7\n}",
    )
    changes = diff_products(a, b)["changes"]
    assert list(changes) == ["target_cd", "vehicle_name", "wheelbase"]
    assert changes["target_cd"] == {"change": "changed", "a": 0.30, "b": 0.28, "delta": -0.02}
    assert changes["vehicle_name"] == {"change": "changed", "a": "A", "b": "B"}
    assert changes["wheelbase"] == {"change": "added", "a": None, "b": 2.7}
    reverse = diff_products(b, a)["changes"]
    assert reverse["wheelbase"]["change"] == "removed" and reverse["target_cd"]["delta"] == 0.02


def test_current_results_are_read_once_while_the_runs_files_are_unchanged(workspace, monkeypatch):
    from velmor_platform.cfd import record
    from velmor_platform.core import containment, current_cache, layer_io, usd_product
    from velmor_platform.core.product_core import ProductCore

    monkeypatch.setattr(containment, "SETTLE_NS", 0)  # every file counts as settled
    path = _sample(workspace, "sedan/base/sedan.usda")
    reads = []
    real = usd_product._current_from_specs
    monkeypatch.setattr(usd_product, "_current_from_specs", lambda *a: reads.append(1) or real(*a))
    with layer_io.read_only():
        load_product(path)
    assert not (workspace / ".velmor/current").exists()  # a read-only reader writes nothing
    current_cache._MEMORY.clear()
    first = load_product(path)
    current_cache._MEMORY.clear()  # as in a fresh process: the workspace's file answers
    product = ProductCore.load("sedan:base")
    product.set_targets(cd=0.25)  # writes the top-level file, re-reads the record
    assert len(reads) == 2 and product.current == ProductCore.load("sedan:base").current
    fields = {"domain": "aerodynamics", "status": "completed", "cd": 0.2}
    record.append_run(Path(path), fields, product_id="sedan:base")
    assert load_product(path)["current_cd"] == 0.2 != first["current_cd"] and len(reads) == 3
