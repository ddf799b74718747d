"""The run history read from the layers gives what the composed stage gives."""

import pytest

from velmor_platform.core import usd_product

RUN = 'def Scope "{name}" {{\n string timestamp = "{stamp}"\n double cd = {cd}\n}}\n'


def _product(tmp_path, root_extra, runs_extra):
    (tmp_path / "runs.usda").write_text(
        '#usda 1.0\nover "Vehicle" {\n def Scope "Simulations" {\n'
        + RUN.format(name="r1", stamp="2025-01-01T00:00:00Z", cd=0.3)
        + RUN.format(name="r2", stamp="2025-02-01T00:00:00Z", cd=0.29)
        + runs_extra
        + "}\n}\n"
    )
    path = tmp_path / "p.usda"
    path.write_text(
        '#usda 1.0\n(\n defaultPrim = "Vehicle"\n subLayers = [@./runs.usda@]\n)\n'
        'def Xform "Vehicle" {\n double mass = 900\n over "Simulations" {\n' + root_extra + "}\n}\n"
    )
    return str(path)


@pytest.mark.parametrize(
    "root_extra, runs_extra, from_layers",
    [
        ('over "r2" {\n double cd = 0.2\n}\n', "", True),  # a stronger opinion wins
        ('over "r3" {\n double cd = 0.1\n}\n', "", True),  # "over" alone is no run
        ("", 'def Scope "r4" {\n double cd = None\n}\n', True),  # a blocked value
        ('over "r1" (active = false) {\n}\n', "", False),  # composition decides
        ('over "r2" (references = @./runs.usda@</Vehicle/Simulations/r1>) {\n}\n', "", False),
    ],
)
def test_layer_reading_matches_the_composed_stage(tmp_path, root_extra, runs_extra, from_layers):
    path = _product(tmp_path, root_extra, runs_extra)
    _stage, prim = usd_product._open_default_prim(path)
    composed = usd_product._read_runs(prim)
    record = usd_product._read_attributes(prim, usd_product.VEHICLE_ATTRIBUTES)
    record.update(usd_product._current_results(composed))
    assert usd_product.load_product_history(path) == composed
    assert usd_product.load_product(path) == record
    _stage, vehicle = usd_product._open_default_prim(path, with_runs=False)
    assert (usd_product._run_specs(vehicle) is not None) == from_layers
