"""The dynamics domain on Chrono: refusals, the figures of a run, and a short real run."""

import json
from pathlib import Path

import pytest

from velmor_platform.dynamics import api, results, runner
from velmor_platform.services import simulation
from velmor_platform.services.errors import UserError

CHRONO = runner.about()
needs_chrono = pytest.mark.skipif(
    "problem" in CHRONO, reason=f"Chrono runner absent: {CHRONO.get('problem')}"
)


def _override(workspace, values):
    folder = workspace / "products" / "sedan" / "base"
    (folder / "handling.json").write_text(json.dumps({"values": values}))


@pytest.mark.parametrize(
    ("values", "given", "named"),
    [
        ({"roll_stiffness_front_nm_per_deg": -800}, {}, "roll_stiffness_front_nm_per_deg = -800"),
        ({"tyre_friction": 2.4}, {}, "tyre_friction = 2.4"),
        ({"suspension": "leaf_spring"}, {}, "suspension = 'leaf_spring'"),
        ({}, {"friction": 2.5}, "friction = 2.5"),
    ],
)
def test_implausible_values_are_refused_naming_them(workspace, values, given, named):
    _override(workspace, values)
    with pytest.raises(UserError) as info:
        simulation.simulate("sedan:base", None, domain="dynamics", dynamics=given)
    assert named in info.value.message and "\n" not in info.value.message


def test_a_cg_above_the_roof_is_refused(workspace):
    from pxr import Sdf

    layer = Sdf.Layer.FindOrOpen(str(workspace / "products/sedan/base/sedan.usda"))
    layer.GetAttributeAtPath("/Vehicle.cgHeight").default = 1.7
    layer.Save()
    with pytest.raises(UserError, match=r"cg_height = 1\.7 \(product record\)"):
        simulation.simulate("sedan:base", None, domain="dynamics")


@pytest.mark.parametrize("face", ["cli", "web job"])
def test_a_product_without_dynamics_is_refused_in_one_line(workspace, face):
    import threading

    with pytest.raises(UserError, match="^hatch has no dynamics capability"):
        if face == "cli":
            simulation.simulate("hatch", None, domain="dynamics")
        else:
            settings = {"domain": "dynamics", "backend": None, "short": True}
            simulation.run_job(
                "hatch", workspace, settings, on_progress=print, cancel=threading.Event()
            )


def test_the_mcp_tool_refuses_a_product_without_dynamics_with_its_reason(workspace):
    import anyio
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server

    async def scenario():
        async with Client(build_server(workspace)) as client:
            return await client.call_tool("simulate_dynamics", {"product": "hatch"})

    result = anyio.run(scenario)
    assert result.is_error and "hatch has no dynamics capability" in result.content[0].text


def test_figures_come_from_steady_steps_and_an_unsteady_step_says_why():
    def step(ay, speed, delta, rear, roll, steady=True, reason=""):
        return {
            "target_lateral_acc": ay, "target_speed": speed, "lateral_acc": ay, "speed": speed,
            "yaw_rate_dps": speed / 100 * 57.2958, "roll_deg": roll,
            "road_wheel_angle_deg": delta, "rear_wheel_angle_deg": rear, "steady": steady,
            "reason": reason,
        }  # fmt: skip

    steps = [
        step(1.0, 10.0, 1.70, -0.05, 0.3),
        step(3.0, 17.3, 1.90, -0.15, 0.9),
        {**step(6.0, 24.5, 2.4, -0.3, 1.8), "lateral_acc": 6.2},  # the chassis' own mean
        step(7.0, 26.5, 9.0, -0.4, 2.5, False, "off the circle: 0.9 m"),
    ]
    settings = {
        "reference_speed": 20.0, "reference_lateral_g": 0.4, "linear_limit_g": 0.4,
        "radius_m": 100.0,
    }  # fmt: skip
    out = results.summarise(steps, settings, steering_ratio=15.0)
    assert out["lateral_g"] == pytest.approx(24.5**2 / 100 / 9.81)  # v²/R of the highest
    assert out["understeer_gradient_deg_per_g"] == pytest.approx(0.2 * 9.81 / 2, rel=1e-6)
    assert out["understeer_gradient_steering_deg_per_g"] == pytest.approx(15 * 0.981, rel=1e-6)
    # The rear wheels' roll steer (out of the turn) is split from the axles' steer difference.
    assert out["rear_roll_steer_deg_per_g"] == pytest.approx(-0.05 * 9.81, rel=1e-6)
    assert out["understeer_gradient_axles_deg_per_g"] == pytest.approx(0.15 * 9.81, rel=1e-6)
    assert out["yaw_rate_dps"] == pytest.approx(20 / 100 * 57.2958, rel=1e-3)
    assert "not steady: off the circle: 0.9 m" in out["notes"][0]
    assert "the steady steps do not reach" not in " ".join(out["notes"])


@needs_chrono
def test_a_short_run_is_recorded_beside_the_aero_runs(workspace):
    from velmor_platform.core.product_core import ProductCore
    from velmor_platform.services import reports

    run = simulation.simulate("sedan:base", None, domain="dynamics", dynamics={"short": True})
    record = run.record
    assert record["status"] == "completed", record.get("message")
    assert 0.1 < record["lateral_g"] < 0.4 and record["solver_version"] == CHRONO["chrono_version"]
    assert "aero from run sedan-base-0002" in record["aero_run"]
    assert json.loads(record["handling_values"])["steering_ratio"]["source"]
    product = ProductCore.load(str(workspace / "products/sedan/base/sedan.usda"))
    current = product.current
    assert current["lateral_g"] == pytest.approx(record["lateral_g"])
    assert current["cd"] == 0.249  # the aero result stays current
    mine = [r for r in product.history() if r.get("run_id") == record["run_id"]]
    assert mine[0]["domain"] == "dynamics" and mine[0]["handling_template"] == "sedan"
    # The axles' part of the understeer gradient and the rear wheels' roll steer are kept.
    assert mine[0]["understeer_gradient_axles_deg_per_g"] > 0 > mine[0]["rear_roll_steer_deg_per_g"]
    made = reports.make(reports.find(record["run_id"], None, "sedan:base"))
    html = reports.write_html(made, workspace / "out" / "report.html").read_text()
    assert "largest steady lateral acceleration" in html and "data:image/png;base64," in html
    assert reports.page_view(made)["groups"][0]["images"][0]["file"] == "dynamics.png"


@needs_chrono
def test_a_step_that_does_not_settle_records_why(workspace):
    given = {"short": True, "band_yaw_rate_dps": 1e-4}
    run = simulation.simulate("sedan:base", None, domain="dynamics", dynamics=given)
    assert run.record["status"] == "failed"
    assert "not steady: yaw rate not settled:" in run.record["message"]
    assert "(band 0.0001 deg/s)" in run.record["message"]
    # It was held and measured again before it was given up.
    steps = json.loads((Path(run.record["case_dir"]) / "result.json").read_text())["steps"]
    assert steps[0]["extra_windows"] == api.DEFAULTS["extra_windows"]


def test_a_crash_of_the_runner_records_a_failed_run(workspace, tmp_path, monkeypatch):
    fake = tmp_path / "velmor-chrono"
    fake.write_text(
        "#!/bin/sh\n"
        'if [ "$1" = --about ]; then echo \'{"chrono_version": "0", "data_dir": "'
        + str(tmp_path)
        + "\"}'; exit 0; fi\n"
        "kill -SEGV $$\n"
    )
    fake.chmod(0o755)
    monkeypatch.setattr(runner, "runner_path", lambda: fake)
    monkeypatch.setattr("velmor_platform.dynamics.vehicle.build", lambda *a: {
        "init_height_m": 0.3, "init_pitch_rad": 0.0})  # fmt: skip
    run = simulation.simulate("sedan:base", None, domain="dynamics", dynamics={"short": True})
    assert run.record["status"] == "failed" and "Chrono crashed (SIGSEGV)" in run.record["message"]
    assert run.status == 1


@needs_chrono
def test_doctor_and_solvers_name_the_installed_chrono():
    from velmor_platform.services import solvers, workspaces

    assert solvers.installed_here("chrono") == {
        "installed": True, "version": CHRONO["chrono_version"],
    }  # fmt: skip
    check = workspaces._chrono_check()
    assert check.ok and check.detail.startswith(f"Chrono {CHRONO['chrono_version']} (")


def test_doctor_says_what_is_missing_once_and_how_to_get_it(monkeypatch):
    from velmor_platform.dynamics import runner
    from velmor_platform.services import workspaces

    monkeypatch.setattr(runner, "runner_path", lambda: None)
    check = workspaces._chrono_check()
    assert (check.ok, check.detail) == (False, "the Chrono runner is not installed")
    assert check.fix == runner.HOW_TO_GET


def test_a_variant_gets_a_copy_of_its_parents_handling_template(workspace, tmp_path):
    from velmor_platform.core import geometry, variants
    from velmor_platform.core.product_core import ProductCore
    from velmor_platform.dynamics.template import load_handling

    stl = tmp_path / "sedan.stl"
    geometry.write_stl(geometry.body_triangles(ProductCore.load("sedan:base").usd_path), stl)
    made = variants.make_variant(workspace, "sedan:base", "sedan:wide", stl)
    copied = workspace / "templates" / "chrono" / "wide"
    assert made["handling_template"] == "wide" and (copied / "handling.json").is_file()
    assert "Copied from `sedan` (of sedan:base)" in (copied / "README.md").read_text()
    handling = load_handling(workspace, workspace / "products" / "sedan" / "wide", "sedan")
    assert handling.template == "wide"
