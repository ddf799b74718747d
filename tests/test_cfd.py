"""The simulation loop: case building, STL checks, coefficient averaging,
run recording and the CLI, without OpenFOAM; plus one real run when it is
installed."""

import json
import math
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from stl import mesh as stl_mesh

from velmor_platform.cfd import api, case, coefficients, layers, record, runner
from velmor_platform.cfd.errors import CfdError
from velmor_platform.core import geometry
from velmor_platform.core.product_core import ProductCore

DATA = Path(__file__).resolve().parent / "data" / "cfd_case"
HAVE_OPENFOAM = all(shutil.which(a) for a in ("blockMesh", "snappyHexMesh", "simpleFoam"))


def velmor(*args, workspace, env=None):
    full_env = dict(os.environ, VELMOR_WORKSPACE=str(workspace), **(env or {}))
    return subprocess.run(
        [sys.executable, "-m", "velmor_platform", *map(str, args)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
    )


def put(path, data):
    path.write_bytes(data)
    return path


def write_stl(path, triangles):
    body = stl_mesh.Mesh(np.zeros(len(triangles), dtype=stl_mesh.Mesh.dtype))
    body.vectors[:] = triangles
    body.save(str(path))
    return path


# ------------------------------------------------------------------- geometry


def projected_area(triangles, n=300):
    """Area of the union of the triangles projected on the y-z plane."""
    yz = triangles[:, :, 1:]
    lo, hi = yz.reshape(-1, 2).min(0), yz.reshape(-1, 2).max(0)
    ys, zs = np.meshgrid(np.linspace(lo[0], hi[0], n), np.linspace(lo[1], hi[1], n))
    pts = np.c_[ys.ravel(), zs.ravel()]
    covered = np.zeros(len(pts), bool)
    a, b, c = yz[:, 0], yz[:, 1], yz[:, 2]
    for i in range(len(yz)):
        d = (b[i, 1] - c[i, 1]) * (a[i, 0] - c[i, 0]) + (c[i, 0] - b[i, 0]) * (a[i, 1] - c[i, 1])
        if abs(d) < 1e-12:
            continue
        l1 = (
            (b[i, 1] - c[i, 1]) * (pts[:, 0] - c[i, 0])
            + (c[i, 0] - b[i, 0]) * (pts[:, 1] - c[i, 1])
        ) / d
        l2 = (
            (c[i, 1] - a[i, 1]) * (pts[:, 0] - c[i, 0])
            + (a[i, 0] - c[i, 0]) * (pts[:, 1] - c[i, 1])
        ) / d
        covered |= (l1 >= 0) & (l2 >= 0) & (l1 + l2 <= 1)
    return covered.mean() * (hi[0] - lo[0]) * (hi[1] - lo[1])


@pytest.mark.parametrize("product", ["hatch", "sedan:base", "sedan:sport"])
def test_sample_bodies_are_closed_car_sized_with_the_products_frontal_area(workspace, product):
    loaded = ProductCore.load(product)
    tri = geometry.body_triangles(loaded.usd_path)
    assert 2000 <= len(tri) <= 20000
    assert geometry.open_edges(tri) == 0
    lo, hi = geometry.bounds(tri)
    assert 3 < hi[0] - lo[0] < 6 and lo[2] > 0.05  # stands clear of the ground
    assert projected_area(tri) == pytest.approx(loaded.specs["frontal_area"], rel=0.05)


def test_body_is_converted_to_metres_and_z_up(tmp_path):
    # A 2 x 1 x 0.5 m box authored in centimetres with Y up.
    (tmp_path / "body.usda").write_text("""#usda 1.0
(
    defaultPrim = "Body"
    metersPerUnit = 0.01
    upAxis = "Y"
)
def Xform "Body" {
def Mesh "Shell" {
  int[] faceVertexCounts = [4, 4, 4, 4, 4, 4]
  int[] faceVertexIndices = [0, 3, 2, 1, 4, 5, 6, 7, 0, 1, 5, 4, 1, 2, 6, 5, 2, 3, 7, 6, 3, 0, 4, 7]
  point3f[] points = [(0,0,0), (200,0,0), (200,0,-100), (0,0,-100),
                      (0,50,0), (200,50,0), (200,50,-100), (0,50,-100)]
}
}
""")
    (tmp_path / "car.usda").write_text("""#usda 1.0
(
    defaultPrim = "Vehicle"
    metersPerUnit = 0.01
    upAxis = "Y"
)
def Xform "Vehicle" {
    def Xform "Body" (prepend references = @./body.usda@) {
    }
}
""")
    tri = geometry.body_triangles(tmp_path / "car.usda")
    assert len(tri) == 12 and geometry.open_edges(tri) == 0
    lo, hi = geometry.bounds(tri)
    np.testing.assert_allclose(hi - lo, [2.0, 1.0, 0.5], atol=1e-6)  # y depth -> width, y up -> z


def _box(size=(4.0, 1.8, 1.4), lift=0.15):
    lx, ly, lz = size
    p = np.array([[x, y, z] for z in (lift, lift + lz) for y in (-ly / 2, ly / 2) for x in (0, lx)])
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    return np.array([p[[a, b, c]] for a, b, c, d in quads] + [p[[a, c, d]] for a, b, c, d in quads])


_SHEET = np.array([[[0, -0.9, 0], [4, 0.9, 0.2], [2, 0.9, 1.4]]])


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: d / "missing.stl", "no such file"),
        (lambda d: (d / "dir.stl").mkdir() or d / "dir.stl", "not a regular file"),
        (lambda d: put(d / "e.stl", b""), "empty file"),
        (lambda d: put(d / "g.stl", b"hello\nworld\n"), "not a readable STL"),
        (lambda d: put(d / "n.stl", b"solid x\nendsolid x\n"), "no triangles"),
        (lambda d: write_stl(d / "nan.stl", np.where(_box() > 1, np.nan, _box())), "non-finite"),
        (lambda d: write_stl(d / "open.stl", _box()[1:]), "not closed"),
        (lambda d: write_stl(d / "mm.stl", _box() * 1000), "is it in millimetres"),
        (lambda d: write_stl(d / "two.stl", np.r_[_SHEET, _SHEET[:, [0, 2, 1]]]),
         "encloses no volume"),
    ],
)  # fmt: skip
def test_stl_refusals_are_one_clear_error(tmp_path, make, message):
    path = make(tmp_path)
    with pytest.raises(CfdError, match=message) as info:
        geometry.check_stl(path)
    assert str(path) in str(info.value) and "\n" not in str(info.value)


def test_a_closed_vehicle_sized_stl_is_accepted_and_wound_outwards(tmp_path):
    assert len(geometry.check_stl(write_stl(tmp_path / "ok.stl", _box()))) == 12
    notes: list[str] = []
    turned = geometry.check_stl(write_stl(tmp_path / "in.stl", _box()[:, [0, 2, 1]]), notes)
    volume = np.einsum("ij,ij->i", turned[:, 0], np.cross(turned[:, 1], turned[:, 2])).sum()
    assert volume > 0 and notes and "12 of 12 triangles faced inwards" in notes[0]


# ---------------------------------------------------------------- case building


def test_prepared_case_carries_the_product_and_command_line_values(workspace):
    from foamlib import FoamFieldFile, FoamFile

    product = ProductCore.load("hatch")
    folder = api.prepare_case(
        product, workspace=workspace, level="standard", ranks=2, iterations=321
    )
    assert folder.parent == workspace / "cases" / "hatch"
    assert [p.name for p in folder.parent.iterdir()] == [folder.name]  # no temp folder left
    control = FoamFile(folder / "system" / "controlDict")
    coeffs = control["functions", "forceCoeffs1"]
    assert coeffs["Aref"] == pytest.approx(1.92 / 2)  # half model
    assert coeffs["lRef"] == pytest.approx(2.05)
    assert coeffs["magUInf"] == pytest.approx(30)  # the hatch template's speed
    assert coeffs["CofR"][2] == 0 and 0 < coeffs["CofR"][0] < 3.42
    assert control["endTime"] == 321
    assert FoamFile(folder / "system" / "decomposeParDict")["numberOfSubdomains"] == 2
    vertices = np.array(FoamFile(folder / "system" / "blockMeshDict")["vertices"])
    stl = geometry.check_stl(folder / "constant" / "triSurface" / "body.stl")
    lo, hi = geometry.bounds(stl)
    assert lo[1] == pytest.approx(-hi[1]) and vertices[:, 1].min() == 0  # symmetry plane
    assert (vertices.min(0)[[0, 2]] <= lo[[0, 2]]).all() and (vertices.max(0) > hi).all()
    allrun = (folder / "Allrun").read_text()
    assert os.access(folder / "Allrun", os.X_OK)
    assert allrun.index("decomposePar -force") < allrun.index(
        "$MPIRUN snappyHexMesh -overwrite -parallel"
    )
    assert "#SBATCH --ntasks=2" in (folder / "job.slurm").read_text()
    assert json.loads((folder / case.CASE_INFO).read_text())["product"] == "hatch"
    # The wheels' stack fits their own, thinner boundary layer, not the body's.
    asked = layers.requested_layers(folder)
    assert 0 < asked["frontWheels"] == asked["rearWheels"] < asked["body"]

    fast = api.prepare_case(product, workspace=workspace, speed=45)
    u = FoamFieldFile(fast / "0.orig" / "U")
    assert list(u.internal_field) == [45, 0, 0] and list(u.boundary_field["ground"]["value"]) == [
        45,
        0,
        0,
    ]


def test_failed_preparation_leaves_nothing(workspace, monkeypatch):
    sport = ProductCore.load("sedan:sport")
    with pytest.raises(CfdError, match="no OpenFOAM case template named 'sport'"):
        api.prepare_case(sport, workspace=workspace)

    def broken(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(geometry, "write_stl", broken)
    with pytest.raises(CfdError, match="No space left"):
        api.prepare_case(sport, workspace=workspace, template="base")
    assert list((workspace / "cases").rglob("*")) == [workspace / "cases" / "sedan-sport"]


def test_cases_never_go_inside_products(workspace):
    with pytest.raises(CfdError, match="never go inside products"):
        api.prepare_case(
            ProductCore.load("hatch"),
            workspace=workspace,
            output=workspace / "products" / "hatch" / "case",
        )


# --------------------------------------------------------------- coefficients


def test_restarts_are_merged_by_column_name():
    columns = coefficients.read_coefficients(DATA)
    assert list(columns["Time"]) == list(range(1, 259))  # 200-220 taken once, from the restart
    assert abs(columns["Cd"][5]) > 1  # the wild start is kept in the data...
    summary = coefficients.summarise(columns)
    first, last = summary.window  # ...but never averaged: the start-up is cut where it ends
    assert last == 258 and first > summary.verdict.start >= 30
    assert summary.cd == pytest.approx(columns["Cd"][first - 1 :].mean())
    assert 0.2 < summary.cd < 0.3 and summary.cl == pytest.approx(columns["Cl"][first - 1 :].mean())
    # 258 iterations are too few for two windows of 100 after the start-up.
    assert not summary.converged and "fewer than the two windows" in summary.reason


@pytest.mark.parametrize(
    "cd, converged, diverged",
    [
        (
            np.r_[np.linspace(500, -300, 150), np.full(400, 0.3) + 0.001 * np.sin(np.arange(400))],
            True,
            False,
        ),
        (
            np.r_[np.full(150, 1.0), 0.3 + 0.05 * np.sin(np.arange(400) * 2 * np.pi / 300)],
            False,
            False,
        ),  # still oscillating slowly
        (np.r_[np.full(200, 0.3), [np.nan]], False, True),
        (np.full(250, 1e6), False, True),
        (np.full(15, 0.3), False, False),  # too short to judge
    ],
)
def test_convergence_and_divergence(cd, converged, diverged):
    n = len(cd)
    summary = coefficients.summarise({"Time": np.arange(1.0, n + 1), "Cd": cd, "Cl": cd * 0})
    assert (summary.converged, summary.diverged) == (converged, diverged)
    assert (summary.cd is None) == diverged


# ------------------------------------------------------------------ recording


def test_record_case_appends_a_run_that_current_and_history_show(workspace):
    product = ProductCore.load("hatch")
    before = product.history()
    run = api.record_case(product, DATA)
    assert run["run_id"] == "hatch-0003" and run["status"] == "completed"
    assert run["solver_version"] == "v1912" and run["mesh_cells"] == 53537
    again = ProductCore.load("hatch")
    assert len(again.history()) == len(before) + 1
    assert again.current == {"cd": run["cd"], "cl": run["cl"], "cm_pitch": run["cm_pitch"]}
    assert again.history()[-1]["mesh_cells"] == 53537


@pytest.mark.parametrize("status", ["failed", "diverged", "cancelled"])
def test_unsuccessful_runs_are_recorded_without_coefficients(workspace, status):
    product = ProductCore.load("sedan:base")
    current = product.current
    run = record.append_run(
        product.usd_path,
        {
            "status": status,
            "domain": "aerodynamics",
            "solver": "openfoam",
            "cd": 0.1,
            "log": "/x/log",
        },
        product_id="sedan:base",
    )
    last = ProductCore.load("sedan:base").history()[-1]
    assert last["status"] == status and "cd" not in last and "cd" not in run
    assert ProductCore.load("sedan:base").current == current  # never shown as a result


def test_concurrent_records_are_serialised_by_the_lock(workspace):
    path = ProductCore.load("hatch").usd_path
    names = []
    threads = [
        threading.Thread(
            target=lambda: names.append(
                record.append_run(path, {"status": "completed", "cd": 0.3}, product_id="hatch")[
                    "name"
                ]
            )
        )
        for _ in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(names) == ["run_0003", "run_0004", "run_0005", "run_0006"]
    assert len(ProductCore.load("hatch").history()) == 6


# ------------------------------------------------------------ runner and CLI


def fake_binaries(bin_dir, body):
    bin_dir.mkdir()
    for name in (
        "surfaceFeatureExtract",
        "blockMesh",
        "snappyHexMesh",
        "decomposePar",
        "potentialFoam",
        "simpleFoam",
        "mpirun",
    ):
        script = bin_dir / name
        script.write_text(f"#!/bin/sh\n{body}\n")
        script.chmod(0o755)
    project = bin_dir / "project"  # what WM_PROJECT_DIR must hold
    (project / "etc").mkdir(parents=True)
    (project / "etc" / "controlDict").write_text("")
    return f"{bin_dir}{os.pathsep}{os.environ['PATH']}"


@pytest.fixture
def fake_openfoam(tmp_path, monkeypatch):
    """Stand-ins for the OpenFOAM binaries: each starts a grandchild and waits."""
    path = fake_binaries(tmp_path / "bin", f"sleep 60 &\necho $! > {tmp_path}/grandchild\nwait")
    monkeypatch.setenv("PATH", path)
    monkeypatch.setenv("WM_PROJECT_DIR", str(tmp_path / "bin" / "project"))
    return tmp_path


def test_cancel_kills_the_whole_process_group_within_a_second(tmp_path, fake_openfoam):
    cancel = threading.Event()
    threading.Timer(0.3, cancel.set).start()
    started = time.monotonic()
    result = runner.run_case(tmp_path, cancel=cancel)
    assert time.monotonic() - started < 1.5
    assert (result.status, result.stage) == ("cancelled", "surfaceFeatureExtract")
    grandchild = int((fake_openfoam / "grandchild").read_text())
    time.sleep(0.1)
    stat = Path(f"/proc/{grandchild}/stat")
    # Gone, or a zombie waiting for an init that does not reap.
    assert not stat.exists() or stat.read_text().split(") ")[1][0] == "Z"


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["simulate", "sedan:base", "--backend", "xlb"],
            "backend 'xlb' (aerodynamics) has no configured server",
        ),
        (["simulate", "hatch", "--domain", "dynamics"], "hatch has no dynamics capability"),
        (["prepare-cfd", "sedan:sport"], "no OpenFOAM case template named 'sport'"),
        (["record-cfd", "hatch", "."], "not a case prepared by velmor"),
    ],
)
def test_cli_errors_are_one_line(workspace, args, message):
    result = velmor(*args, workspace=workspace)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith("velmor: error: ") and message in result.stderr
    assert result.stderr.count("\n") == 1


def test_missing_openfoam_names_the_debian_package(workspace, tmp_path):
    result = velmor("simulate", "hatch", workspace=workspace, env={"PATH": str(tmp_path)})
    assert result.returncode == 1 and "Debian package 'openfoam'" in result.stderr
    assert not (workspace / "cases").exists()


@pytest.mark.parametrize("server", [[], ["--server"]])
def test_a_broken_openfoam_environment_is_an_error_not_a_run(workspace, tmp_path, server):
    path = fake_binaries(tmp_path / "bin", "echo '--> FOAM FATAL ERROR: etc entry'; exit 1")
    env = {"PATH": path, "WM_PROJECT_DIR": str(tmp_path / "old-install")}
    result = velmor("simulate", "hatch", *server, workspace=workspace, env=env)
    assert result.returncode == 1 and "WM_PROJECT_DIR" in result.stderr, result.stderr
    assert len(ProductCore.load("hatch").history()) == 2 and not (workspace / "cases").exists()


def test_prepare_cfd_prints_only_the_case_folder(workspace, tmp_path):
    result = velmor("prepare-cfd", "sedan:sport", "--template", "base", workspace=workspace)
    folder = Path(result.stdout.strip())
    assert result.returncode == 0 and (folder / "Allrun").is_file(), result.stderr
    assert "record-cfd sedan:sport" in result.stderr
    stl = write_stl(tmp_path / "mine.stl", _box())
    result = velmor("--json", "geometry", "hatch", stl, "--prepare-cfd", workspace=workspace)
    data = json.loads(result.stdout)
    assert json.loads((Path(data["case_dir"]) / case.CASE_INFO).read_text())["geometry"] == str(stl)


def test_a_failed_mesh_is_recorded_with_its_log_through_the_server(workspace, tmp_path):
    path = fake_binaries(tmp_path / "bin", "echo '--> FOAM FATAL ERROR: cannot mesh'; exit 1")
    project = str(tmp_path / "bin" / "project")
    env = {"PATH": path, "WM_PROJECT_DIR": project}
    result = velmor("simulate", "hatch", "--server", workspace=workspace, env=env)
    assert result.returncode == 1 and "recorded with no coefficients" in result.stderr
    assert "surfaceFeatureExtract failed (exit status 1): --> FOAM FATAL ERROR" in result.stdout
    last = ProductCore.load("hatch").history()[-1]
    assert last["status"] == "failed" and "cd" not in last


def test_mcp_server_prepares_cases(workspace):
    import anyio
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server

    async def scenario():
        async with Client(build_server(workspace)) as client:
            names = {t.name for t in (await client.list_tools()).tools}
            result = await client.call_tool("prepare_case", {"product": "hatch", "level": "quick"})
            return names, result

    names, result = anyio.run(scenario)
    assert {"list_templates", "prepare_case", "simulate"} <= names
    assert Path(result.structured_content["case_dir"]).parent == workspace / "cases" / "hatch"


def test_mcp_simulate_stops_when_its_http_client_goes_away(workspace, fake_openfoam):
    from child_process import child_env, mcp_post, mcp_session, start_template_server, stop

    proc, url = start_template_server(workspace, env=child_env(workspace))
    try:
        call = {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {
            "name": "simulate", "arguments": {"product": "hatch"}}}  # fmt: skip
        conn, response = mcp_post(url, call, mcp_session(url))
        assert response.status == 200
        started = fake_openfoam / "grandchild"
        for _ in range(200):  # the first stage is running
            if started.exists():
                break
            time.sleep(0.1)
        conn.close()  # no cancel, no DELETE: the connection just closes
        for _ in range(100):
            history = ProductCore.load("hatch").history()
            if len(history) > 2:
                break
            time.sleep(0.1)
        assert history[-1]["status"] == "cancelled"
    finally:
        stop(proc)


# ------------------------------------------------------------- real OpenFOAM


@pytest.mark.skipif(
    not HAVE_OPENFOAM, reason="OpenFOAM is not installed (Debian package 'openfoam')"
)
def test_real_run_on_the_hatch(workspace, small_mesh):
    events = []
    product = ProductCore.load("hatch")
    run = api.simulate(
        product, workspace=workspace, level="quick", iterations=60, on_progress=events.append
    )
    assert run["status"] == "completed", run.get("message")
    assert run["solver_version"].startswith("v") and run["mesh_cells"] > 10000
    assert all(math.isfinite(run[k]) for k in ("cd", "cl", "cm_pitch"))
    # Too short to converge, but recorded with its iterative band and why it is not converged.
    assert run["converged"] is False and "fewer than the two windows" in run["message"]
    assert run["cd_band"] > 0 and "no grid estimate" in run["band_method"]
    assert run["level"] == "quick" and run["geometry_source"] == "product body and wheels"
    assert run["cd_a"] == pytest.approx(run["cd"] * 1.92, abs=1e-4)
    assert {"cd_body", "cd_front_wheels", "cd_rear_wheels"} <= run.keys()
    assert ProductCore.load("hatch").history()[-1]["cd_band"] == run["cd_band"]
    assert {e["stage"] for e in events} >= {"snappyHexMesh", "simpleFoam", "checkMesh"}
    assert any(e["iteration"] and e["total"] == 60 for e in events)
    # Before the solve: what the mesh came to and about how long the solve takes.
    planned = [e for e in events if e.get("cells")]
    assert planned[0]["stage"] == "simpleFoam" and planned[0]["cells"] == run["mesh_cells"]
    assert planned[0]["estimate_s"] >= 0
    # The post-processing set of the run's report.
    post = Path(run["case_dir"]) / "postProcessing"
    assert any((post / "velmorSurfaces").glob("*/body.vtp"))
    assert (post / "velmorForces_body" / "0" / "force.dat").is_file()
    assert "non-orthogonality Max" in (Path(run["case_dir"]) / "log.checkMesh").read_text()
    assert ProductCore.load("hatch").current == {
        "cd": run["cd"],
        "cl": run["cl"],
        "cm_pitch": run["cm_pitch"],
    }


@pytest.mark.parametrize(
    "attr, value", [("frontalArea", math.inf), ("frontalArea", math.nan), ("frontalArea", 1e6),
                    ("wheelbase", -2.0), ("wheelbase", 1e300)]
)  # fmt: skip
def test_implausible_reference_values_build_no_case(workspace, attr, value):
    from pxr import Usd

    path = workspace / "products/hatch/hatch.usda"
    stage = Usd.Stage.Open(str(path))
    stage.GetDefaultPrim().GetAttribute(attr).Set(value)
    stage.GetRootLayer().Save()
    with pytest.raises(CfdError, match=f"has {attr} .*between"):
        api.prepare_case(ProductCore.load("hatch"), workspace=workspace)
    assert not (workspace / "cases").exists()


@pytest.mark.parametrize(
    "ranks, root, cores, extra",
    [
        (2, False, 4, []),
        (2, True, 4, ["--allow-run-as-root"]),
        (8, False, 4, ["--oversubscribe"]),
    ],
)
def test_one_launch_recipe_for_the_runner_and_the_allrun_script(ranks, root, cores, extra):
    from velmor_platform.cfd import launch

    argv = launch.mpirun_argv(ranks, root=root, cores=cores)
    fixed = ["mpirun", "-np", str(ranks), *launch.MPIRUN_OPTIONS]
    assert argv == fixed + extra
    # The script sets the same fixed options; each conditional flag is guarded by sh.
    script = case._allrun(ranks)
    assert 'MPIRUN="' + " ".join(fixed).replace(str(ranks), "$RANKS", 1) + '"' in script
    assert all(f'MPIRUN="$MPIRUN {flag}"' in script for flag, _, _ in launch.MPIRUN_CONDITIONAL)
    assert f"WM_PROJECT_DIR:={launch.DEFAULT_PROJECT_DIR}" in script


@pytest.mark.skipif(
    not HAVE_OPENFOAM, reason="OpenFOAM is not installed (Debian package 'openfoam')"
)
@pytest.mark.parametrize(
    "value, status, line",
    [(None, 0, r"ok +WM_PROJECT_DIR +/usr/share/openfoam \(velmor's default, as unset"),
     ("/opt/old-openfoam", 1, r"problem +WM_PROJECT_DIR +/opt/old-openfoam \(from the environment")],
)  # fmt: skip
def test_doctor_reports_the_openfoam_environment_velmor_uses(workspace, value, status, line):
    env = dict(os.environ, VELMOR_WORKSPACE=str(workspace), VELMOR_MCP_TIMEOUT="60")
    env.pop("WM_PROJECT_DIR", None)
    env.update({"WM_PROJECT_DIR": value} if value else {})
    result = subprocess.run(
        [sys.executable, "-m", "velmor_platform", "doctor"], env=env, capture_output=True, text=True
    )
    # Any other check with a problem (a machine without Chrono) also gives status 1.
    others = [ln for ln in result.stdout.splitlines() if "WM_PROJECT_DIR" not in ln]
    status = status or int(any(ln.startswith("problem") for ln in others))
    assert result.returncode == status and re.search(line, result.stdout), result.stdout
