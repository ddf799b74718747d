"""Error bands of a drag coefficient: the convergence verdict on synthetic
force histories, the grid-convergence index against its published worked
example, the band check, and which run is current."""

import math

import numpy as np
import pytest

from velmor_platform.cfd import convergence, gci, record
from velmor_platform.cfd.errors import CfdError
from velmor_platform.core.checks import band_check
from velmor_platform.core.current_run import choose
from velmor_platform.core.product_core import ProductCore

RNG = np.random.default_rng(7)
N = 1500
T = np.arange(1.0, N + 1)
START = 2.0 * np.exp(-T / 30)  # the wild start-up, gone after ~150 iterations


def signal(body):
    return {"Cd": 0.30 + START + body, "Cl": 0.1 + 0 * T}


@pytest.mark.parametrize(
    "body, converged, reason",
    [
        (0.0005 * RNG.standard_normal(N), True, None),  # noise around a settled mean
        (0.3 * 0.019 * T / N, False, "drifts"),  # a monotonic 1.9 % creep
        (0.009 * np.sin(2 * np.pi * T / 450), False, "period"),  # long-period oscillation
        (0.05 * RNG.standard_normal(N), False, "half-width"),  # noise too strong for the run
        (0.003 * np.sin(2 * np.pi * T / 40), True, None),  # short cycles average out
        (0.008 * np.sin(2 * np.pi * T / 50), True, None),  # +-2.7 %, four whole cycles a window
        # a slow start-up decay, settled by the end: not a period growing with the run
        (0.09 * np.exp(-T / 180) + 0.0005 * RNG.standard_normal(N), True, None),
        (np.where(T == 1200, np.nan, 0.0), False, "nan"),  # a NaN fails the tests it reaches
    ],
    ids=["clean", "drift", "long-period", "noise", "short-period", "cycles", "slow-start", "nan"],
)
def test_convergence_verdict_on_synthetic_signals(body, converged, reason):
    columns = signal(body)
    v = convergence.verdict(T, columns)
    assert v.converged is converged, v.message
    if reason:
        assert reason in v.message
    assert v.window >= convergence.MIN_WINDOW
    assert v.stats["Cd"].mean == pytest.approx(np.mean(columns["Cd"][-v.window :]), nan_ok=True)


def _ar1(phi, n, rng, sigma=1.0):
    e = rng.standard_normal(n) * sigma
    x = np.empty(n)
    x[0] = e[0] / math.sqrt(1 - phi**2)
    for i in range(1, n):
        x[i] = phi * x[i - 1] + e[i]
    return x


def test_half_width_holds_the_true_mean_of_correlated_noise():
    # AR(1) with phi 0.95: about 39 iterations per independent sample. Counting
    # iterations as independent would give a band six times too narrow; batch
    # means of 20 effective samples hold the mean about nine times in ten.
    rng = np.random.default_rng(11)
    hits = widths = 0
    for _ in range(200):
        x = _ar1(0.95, 800, rng)
        half, _ = convergence.batch_half_width(x)
        hits += abs(x.mean()) <= half  # an infinite band: the mean is not known yet
        widths += min(half, 10.0)
    # sd of the mean: sqrt(1/(1-phi^2) * (1+phi)/(1-phi) / n) = 0.69
    assert 0.88 <= hits / 200 <= 1.0
    assert 1.96 * 0.69 * 0.8 < widths / 200 < 1.96 * 0.69 * 2.0
    # A short white-noise case: Student's t on the batches' degrees of freedom.
    half, batches = convergence.batch_half_width(np.array([1.0, 3.0] * 8), size=4)
    assert batches == 4 and half == pytest.approx(convergence.t_quantile(3) * 0.0)
    assert convergence.t_quantile(3) == pytest.approx(3.182)


def test_start_up_is_cut_where_the_signal_settles_and_lifts_are_tested():
    rng = np.random.default_rng(3)
    settle = np.r_[np.linspace(5.0, 0.3, 300), np.full(N - 300, 0.3)]
    columns = {"Cd": settle + 0.0005 * rng.standard_normal(N), "Cl": 0.1 + 0 * T}
    v = convergence.verdict(T, columns)
    assert v.converged and 250 <= v.start <= 400, v.message
    columns["Cl(r)"] = 0.05 + 0.05 * T / N  # the rear lift still creeps
    v = convergence.verdict(T, columns)
    assert not v.converged and "Cl(r) drifts" in v.message


@pytest.mark.parametrize("period", [21.0, 37.0])
def test_a_lift_swinging_more_than_the_drag_is_averaged_over_whole_cycles(period):
    # The rear lift swings six times as far as the drag, in step with it: a
    # window ending part-way through a cycle would put its mean outside its band.
    wave = np.sin(2 * np.pi * T / period)
    columns = {
        "Cd": 0.3 + START + 0.001 * wave,
        "Cl(r)": 0.054 + 0.006 * np.sin(2 * np.pi * T / period + 1),
    }
    first = next(
        v
        for n in range(300, N + 1)
        if (v := convergence.verdict(T[:n], {k: c[:n] for k, c in columns.items()})).converged
    )
    rear = first.stats["Cl(r)"]
    assert abs(rear.mean - 0.054) <= max(rear.two_se, 1e-5), first.message


def test_oscillation_sets_the_window_to_two_periods():
    v = convergence.verdict(T, signal(0.004 * np.sin(2 * np.pi * T / 160)))
    assert v.period == pytest.approx(160, rel=0.1)
    assert v.window >= 2 * 150


def test_gci_reproduces_the_published_worked_example():
    # Celik et al. (2008), Table 1, first column: 2-D meshes of 18000, 8000 and 4500 cells.
    h = [gci.cell_size(n, dim=2) for n in (18000, 8000, 4500)]
    e = gci.three_grid([6.063, 5.972, 5.863], h)
    assert (e.kind, round(e.r21, 3), round(e.r32, 3)) == ("monotonic", 1.5, 1.333)
    assert e.order == pytest.approx(1.53, abs=0.005)
    assert e.extrapolated == pytest.approx(6.1685, abs=5e-5)
    assert (round(e.ea21, 3), round(e.eext21, 3), round(e.gci_fine, 3)) == (0.015, 0.017, 0.022)
    assert e.safety_factor == 1.25 and e.band == pytest.approx(e.gci_fine * 6.063)
    # The third column oscillates: no Richardson estimate, a conservative band.
    osc = gci.three_grid([6.0042, 5.9624, 6.0909], h)
    assert osc.kind == "oscillatory" and osc.extrapolated is None
    assert osc.band == pytest.approx(3 * (6.0909 - 5.9624))


@pytest.mark.parametrize(
    "values, kind",
    [
        ([1.0, 1.1, 1.0], "oscillatory"),
        ([1.0, 1.01, 1.05], "monotonic"),
        ([1.0, 1.05, 1.06], "divergent"),
    ],
)
def test_gci_classifies_the_set(values, kind):
    e = gci.three_grid(values, [1.0, math.sqrt(2), 2.0])
    assert e.kind == kind and e.band > 0
    assert gci.combine(e.band, 0.0) == pytest.approx(e.band)


@pytest.mark.parametrize(
    "value, band, status",
    [(0.245, 0.002, "ok"), (0.245, 0.006, "undecided"), (0.26, 0.004, "miss"), (0.249, None, "ok")],
)
def test_band_check(value, band, status):
    check = band_check(value, band, 0.245, 0.005)
    assert check.status == status and check.banded is (band is not None)
    assert band_check(value, band, None, 0.005) is None
    # One level's iterative band alone never decides, however narrow.
    alone = band_check(value, band, 0.245, 0.005, grid=False)
    if band is not None:
        assert alone.status == "undecided" and alone.label == "undecided — no grid estimate"


def _run(name, **fields):
    return {"name": name, "status": "completed", "cd": 0.3, **fields}


def test_a_coarse_run_does_not_displace_a_finer_or_grid_banded_one():
    production = _run("run_1", mesh_cells=22_000_000)
    quick = _run("run_2", mesh_cells=90_000, level="quick", geometry_key="a")
    assert choose([production, quick], ["cd"])["name"] == "run_1"
    ladder = _run("run_3", level="fine", geometry_key="a", grid_kind="monotonic")
    fine = _run("run_4", level="fine", geometry_key="a")
    assert choose([quick, ladder, fine], ["cd"])["name"] == "run_3"
    other = _run("run_5", level="quick", geometry_key="b")  # the wheels changed
    assert choose([quick, ladder, other], ["cd"])["name"] == "run_5"
    assert choose([quick, ladder, other], ["cd"], pinned="run_2")["name"] == "run_2"


@pytest.mark.parametrize(
    "later, current",
    [
        (_run("yawed", yaw_deg=10.0, converged=False), "straight"),  # a crosswind case
        (_run("yawed_conv", yaw_deg=-5.0, converged=True), "straight"),
        (_run("unconv", converged=False, level="quick", geometry_key="a"), "straight"),
        (_run("unconv_std", converged=False, level="standard", geometry_key="a"), "unconv_std"),
        (_run("unconv_other", converged=False, level="quick", geometry_key="b"), "unconv_other"),
        (_run("newer", converged=True, level="quick", geometry_key="a", yaw_deg=0.0), "newer"),
        (_run("dyn", domain="dynamics"), "straight"),
    ],
)
def test_only_straight_ahead_runs_are_current_and_converged_ones_hold(later, current):
    straight = _run("straight", converged=True, level="quick", geometry_key="a")
    assert choose([straight, later], ["cd"])["name"] == current
    if current == "straight" and "yaw_deg" in later:
        assert choose([straight, later], ["cd"], pinned=later["name"])["name"] == "straight"


def test_a_crosswind_run_never_becomes_the_headline_result(workspace, capsys):
    from velmor_platform.cli import main

    product = ProductCore.load("sedan:base")
    study = {"status": "completed", "domain": "aerodynamics", "level": "quick", "study": "cw"}
    record.append_run(product.usd_path, {**study, "cd": 0.3, "converged": True}, product_id="p")
    yawed = {**study, "cd": 0.4, "cs": 0.3, "yaw_deg": 10.0, "converged": False}
    done = record.append_run(product.usd_path, yawed, product_id="p")
    again = ProductCore.load("sedan:base")
    assert again.current["cd"] == 0.3
    with pytest.raises(CfdError, match="straight-ahead"):
        record.set_current(product.usd_path, done["run_id"], runs=again.history())
    assert main(["history", "sedan:base"]) == 0
    assert " 10°  quick" in capsys.readouterr().out
    assert main(["show", "sedan:base"]) == 0
    shown = capsys.readouterr().out
    assert "Latest yaw sweep (study cw, quick level; not the headline results)" in shown
    assert [
        line.split()[:2] for line in shown.split("\n") if line.endswith(("p-0004", "p-0005"))
    ] == [
        ["0°", "0.3"],
        ["10°", "0.4"],
    ]


def test_user_chooses_and_clears_the_current_run(workspace):
    product = ProductCore.load("sedan:base")
    runs = product.history()
    assert product.current["cd"] == 0.249
    record.set_current(product.usd_path, "sedan-base-0001", runs=runs)
    assert ProductCore.load("sedan:base").current["cd"] == 0.262
    record.set_current(product.usd_path, None, runs=runs)
    assert ProductCore.load("sedan:base").current["cd"] == 0.249
    with pytest.raises(CfdError, match="no aerodynamic result"):
        record.set_current(product.usd_path, "sedan-base-0003", runs=runs)


# ------------------------------------------------------------ the whole car


@pytest.mark.parametrize(
    "product, radius", [("hatch", 0.279), ("sedan:base", 0.334), ("sedan:sport", 0.343)]
)
def test_wheels_are_rotating_patches_touching_the_road(workspace, product, radius):
    from foamlib import FoamFieldFile, FoamFile

    from velmor_platform.cfd import api, case
    from velmor_platform.core import geometry

    template = "base" if product == "sedan:sport" else None
    folder = api.prepare_case(ProductCore.load(product), workspace=workspace, template=template)
    info = case.read_case_info(folder)
    surfaces = folder / "constant" / "triSurface"
    u = FoamFieldFile(folder / "0.orig" / "U")
    speed = info["params"]["speed"]
    centres = {}
    for patch in ("frontWheels", "rearWheels"):
        tyres = geometry.bounds(geometry.check_stl(surfaces / f"{patch}.stl"))
        # Sunk 1.5 % of the radius: a contact patch, not a line.
        assert tyres[0][2] == pytest.approx(-0.015 * radius, abs=1e-4)
        bc = u["boundaryField", patch]
        assert bc["type"] == "rotatingWallVelocity" and list(bc["axis"]) == [0, -1, 0]
        assert bc["omega"] == pytest.approx(speed / (0.985 * radius), rel=1e-3)
        centres[patch] = bc["origin"][0]
        assert (
            FoamFile(folder / "system" / "snappyHexMeshDict")[
                "castellatedMeshControls", "refinementSurfaces", patch, "patchInfo", "type"
            ]
            == "wall"
        )
    assert geometry.bounds(geometry.check_stl(surfaces / "body.stl"))[0][2] > 0.1  # no wheels in it
    control = FoamFile(folder / "system" / "controlDict")
    assert list(control["functions", "forceCoeffs1", "patches"]) == [
        "body",
        "frontWheels",
        "rearWheels",
    ]
    assert control["functions", "forceCoeffs1", "CofR"][0] == pytest.approx(
        (centres["frontWheels"] + centres["rearWheels"]) / 2
    )
    assert "runTimeControl1" not in control["functions"]
    assert "residualControl" not in FoamFile(folder / "system" / "fvSolution")["SIMPLE"]
    # 8 across the gap (to rounding); the low sport variant gets half as many, still
    # cubes: flattened cells by the road moved the drag far more than fewer cubes.
    across = 3.9 if product == "sedan:sport" else 7.9
    assert info["blockage"] <= 0.0101 and info["underbody"]["cells_across"] >= across
    assert info["underbody"]["ground_split"] == 1
    lo = info["domain"]["min"][0]
    assert (
        info["body_bounds_m"][0][0] - lo
        >= 3 * (info["body_bounds_m"][1][0] - info["body_bounds_m"][0][0]) - 1e-6
    )


def test_current_run_carries_its_band_and_pin(workspace):
    from velmor_platform.core import usd_product

    product = ProductCore.load("sedan:base")
    path = str(product.usd_path)
    assert usd_product.current_aero_run(path)["run_id"] == "sedan-base-0002"
    record.set_current(product.usd_path, "run_0001", runs=product.history())
    assert usd_product.load_pinned_run(path) == "run_0001"
    assert usd_product.current_aero_run(path)["cd"] == 0.262


@pytest.mark.parametrize("failed", [None, "fine", "quick-capped"])
def test_ladder_records_the_finest_result_with_the_grid_band(tmp_path, failed):
    import json

    from velmor_platform.cfd import ladder
    from velmor_platform.cfd.case import CASE_INFO

    cds = {"quick": 0.33, "standard": 0.31, "fine": 0.30}

    def prepare(level):
        folder = tmp_path / level
        folder.mkdir()
        size = {"quick": 0.4, "standard": 0.4 / math.sqrt(2), "fine": 0.2}[level]
        (folder / CASE_INFO).write_text(json.dumps({"base_cell_m": size}))
        return folder

    def run_one(case, level, progress):
        if level == failed:
            return {"status": "failed", "case_dir": str(case)}
        converged = f"{level}-capped" != failed
        return {"status": "completed", "cd": cds[level], "cd_two_se": 0.001,
                "converged": converged, "case_dir": str(case)}  # fmt: skip

    fields = ladder.run_ladder(None, workspace=tmp_path, prepare=prepare, run_one=run_one)
    if failed == "fine":
        assert fields["level"] == "standard" and "no grid estimate: fine" in fields["band_method"]
        return
    if failed:  # an unconverged level never feeds the grid estimate
        assert fields["level"] == "fine" and "grid_kind" not in fields
        assert "no grid estimate: quick stopped at the cap" in fields["band_method"]
        return
    expected = gci.three_grid([0.30, 0.31, 0.33], [0.2, 0.4 / math.sqrt(2), 0.4])
    assert fields["level"] == "fine" and fields["grid_kind"] == "monotonic"
    assert fields["cd_band"] == pytest.approx(math.hypot(expected.band, 0.001), abs=1e-5)
    assert "GCI" in fields["band_method"] and fields["ladder"].count("cd ") == 3


@pytest.mark.parametrize(
    "run, mark",
    [
        ({"level": "fine", "cd_band": 0.004, "grid_kind": "monotonic"}, "fine, ±0.004 (grid)"),
        (
            {"level": "quick", "cd_band": 0.0012},
            "quick, ±0.0012 (iterative only, no grid estimate)",
        ),
        ({"mesh_cells": 22100000}, "22,100,000 cells, no band"),
    ],
)
def test_fidelity_marks(run, mark):
    from velmor_platform.core.checks import fidelity

    assert fidelity(run) == mark
