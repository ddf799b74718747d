"""Design variants, yaw, and studies on the local executor and on a real Slurm cluster."""

import json
import shutil
import tempfile
import threading
from pathlib import Path

import numpy as np
import pytest
from pxr import Sdf

from velmor_platform.cfd import api
from velmor_platform.core import geometry, variants
from velmor_platform.core.api import list_products
from velmor_platform.core.product_core import ProductCore
from velmor_platform.mcp.openfoam_server import list_templates
from velmor_platform.study import model, recording, results, runner
from velmor_platform.study.cluster import workspace as own_cluster
from velmor_platform.study.cluster.daemons import (
    ClusterUnavailable,
    LocalCluster,
    alive,
    unavailable_reason,
)
from velmor_platform.study.config import SlurmConfig
from velmor_platform.study.errors import StudyError
from velmor_platform.study.executors import JobState, LocalExecutor
from velmor_platform.study.mcp_executor import McpExecutor
from velmor_platform.study.slurm import SlurmExecutor
from velmor_platform.study.state import StudyState

DATA = Path(__file__).resolve().parent / "data" / "cfd_case"
HAVE_OPENFOAM = all(shutil.which(a) for a in ("blockMesh", "snappyHexMesh", "simpleFoam"))


def runs_of(product):
    return ProductCore.load(product).history()


# ------------------------------------------------------------------- variants


@pytest.fixture
def hatch_mm_stl(workspace, tmp_path):
    triangles = geometry.body_triangles(ProductCore.load("hatch").usd_path)
    path = tmp_path / "hatch_mm.stl"
    geometry.write_stl(triangles * 1000.0, path)
    return path


def test_variant_from_a_millimetre_stl_is_a_runnable_product(workspace, hatch_mm_stl):
    made = variants.make_variant(workspace, "hatch", "hatch:long", hatch_mm_stl, scale=0.001)
    assert made["frontal_area"] == pytest.approx(1.92, rel=0.03)  # the parent's stated area
    assert made["body_length"] == pytest.approx(3.42, abs=1e-3)
    assert (
        made["wheel_fit_text"] == "FrontLeft proud by 36 mm, FrontRight proud by 36 mm, "
        "RearLeft proud by 31 mm, RearRight proud by 31 mm"
    )  # the sample hatch's own wheels
    basis = ProductCore.load("hatch:long").specs["frontal_area_basis"]
    assert basis == "body, wheels excluded (computed)"
    assert made["length"] == 2.05 and made["length_source"] == "wheelbase of its wheels"
    assert made["template"] == "long" and made["wheels"] == "kept"
    assert ("hatch:long", Path(made["usd_path"])) in list_products(workspace / "products")
    product = ProductCore.load("hatch:long")
    assert product.history() == [] and product.specs["frontal_area"] == made["frontal_area"]
    # A benchmark measured the parent's body: the variant starts without one.
    assert not any(k.startswith("benchmark_") for k in product.specs)
    assert made["parent_benchmark"] == "Quarter-scale model, fixed ground, 2024-11"
    assert product.name == made["vehicle_name"] == "Velmor Hatch Prototype (long)"
    assert "long" in list_templates(workspace)  # what capabilities ask the template server
    # The body is referenced relatively and read back as the same surface.
    text = Path(made["usd_path"]).read_text()
    assert "@../../../geometry/hatch/long_body.usda@" in text
    assert geometry.body_triangles(product.usd_path).shape == (made["triangles"], 3, 3)
    case = api.prepare_case(product, workspace=workspace)  # its own template, found by name
    assert json.loads((case / "velmor-case.json").read_text())["template"] == "long"


def _open_stl(path):
    triangles = geometry.body_triangles(ProductCore.load("hatch").usd_path)[:-3]
    geometry.write_stl(triangles, path)


def _y_up_stl(path):
    triangles = geometry.body_triangles(ProductCore.load("hatch").usd_path)
    geometry.write_stl(triangles[:, :, [0, 2, 1]] * [1, 1, -1], path)


@pytest.mark.parametrize(
    ("name", "make", "scale", "kind", "message", "options"),
    [
        ("sedan:base", None, 1.0, "conflict", "already exists", {}),
        ("hatch:x", None, 1.0, "invalid", "--scale 0.001", {}),
        ("hatch:x", _open_stl, 1.0, "invalid", "not closed", {}),
        ("hatch:x", "body.obj", 1.0, "invalid", "unknown geometry format", {}),
        ("nowhere:x", None, 0.001, "not_found", "no programme 'nowhere'", {}),
        ("bad/name", None, 0.001, "invalid", "invalid product name", {}),
        ("hatch:x", None, 0.001, "invalid", "between 0.04 and 36", {"frontal_area_m2": 1e308}),
        ("hatch:x", None, 0.001, "invalid", "between 0.1 and 30", {"length_m": 1e308}),
        ("hatch:x", None, 0.001, "invalid", "give it with --length", {"wheels": "none"}),
        # sedan:base's folder is "base": the template "base" is found by that name.
        ("hatch:base", None, 0.001, "conflict", "share the case template 'base'", {}),
        ("hatch:x", None, 0.001, "invalid", r"front is at x = -0.8 m.*--origin -0.8,0,0",
         {"origin": (0.8, 0, 0)}),
        ("hatch:x", None, 0.001, "invalid", r"centred on y = 0.3 m.*--origin 0,0.3,0",
         {"origin": (0, -0.3, 0)}),
        ("hatch:x", _y_up_stl, 1.0, "invalid", "drawn with y up.*give --up y", {}),
        ("hatch:x", None, 0.001, "invalid", "was cancelled", {"cancelled": lambda: True}),
    ],
)  # fmt: skip
def test_variant_refusals_are_one_line_and_write_nothing(
    workspace, hatch_mm_stl, tmp_path, name, make, scale, kind, message, options
):
    geometry_file = hatch_mm_stl
    if callable(make):
        geometry_file = tmp_path / "open.stl"
        make(geometry_file)
    elif make:
        geometry_file = tmp_path / make
        geometry_file.write_text("o body\n")
    before = sorted(p.relative_to(workspace) for p in workspace.rglob("*"))
    with pytest.raises(variants.VariantError, match=message) as caught:
        variants.make_variant(workspace, "hatch", name, geometry_file, scale=scale, **options)
    assert "\n" not in str(caught.value) and caught.value.kind == kind
    after = sorted(p.relative_to(workspace) for p in workspace.rglob("*"))
    assert [p for p in after if p not in before and ".velmor" not in p.parts] == []


_KILLED = """
import shutil, sys, time
from pathlib import Path
from velmor_platform.core import variants

def stalled(src, dst, **kw):
    Path(sys.argv[2]).write_text("copying")
    time.sleep(60)

shutil.copytree = stalled
variants.make_variant(sys.argv[1], "hatch", "hatch:long", sys.argv[3], scale=0.001)
"""


def test_a_killed_variant_leaves_no_name_behind_and_a_retry_works(workspace, hatch_mm_stl):
    import os
    import signal
    import subprocess
    import sys
    import time

    marker = hatch_mm_stl.with_name("copying")
    child = subprocess.Popen([sys.executable, "-c", _KILLED, workspace, marker, hatch_mm_stl])
    try:
        deadline = time.monotonic() + 60
        while not marker.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert marker.exists(), "the child never reached the template copy"
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    templates = workspace / "templates" / "openfoam"
    assert list(templates.glob(".velmor-template-*"))  # what the kill left
    assert not (workspace / "geometry" / "hatch" / "long_body.usda").exists()
    made = variants.make_variant(workspace, "hatch", "hatch:long", hatch_mm_stl, scale=0.001)
    assert made["template_source"] == "hatch"
    assert not list(templates.glob(".velmor-*"))
    assert not list((workspace / "geometry" / "hatch").glob(".velmor-*"))


def test_variant_from_usd_with_replaced_and_removed_wheels(workspace):
    ProductCore.load("sedan:sport")  # resolves its geometry URIs
    sport_body = workspace / "geometry" / "sedan" / "body_sport.usda"
    wheels = workspace / "geometry" / "sedan" / "wheels_20in.usda"
    made = variants.make_variant(
        workspace, "sedan:base", "sedan:gt", sport_body, wheels=str(wheels), frontal_area_m2=2.3
    )
    assert made["frontal_area"] == 2.3 and made["frontal_area_source"] == "given"
    assert geometry.wheel_centre_x(made["usd_path"]) is not None
    assert ProductCore.load("sedan:gt").specs["wheelbase"] == 2.875  # its own wheels'
    bare = variants.make_variant(
        workspace, "sedan:base", "coupe", sport_body, wheels="none", length_m=2.7
    )
    assert geometry.wheel_centre_x(bare["usd_path"]) is None
    assert ProductCore.load("coupe").specs["programme"] == "coupe"
    assert ProductCore.load("coupe").specs["wheelbase"] == 2.7


def test_removing_a_variant_removes_what_was_made_for_it_alone(workspace, hatch_mm_stl, tmp_path):
    from velmor_platform.core.variant_removal import remove_variant

    made = variants.make_variant(workspace, "hatch", "hatch:long", hatch_mm_stl, scale=0.001)
    folder, body = Path(made["usd_path"]).parent, Path(made["geometry"])
    shutil.copytree(folder, folder.with_name("twin"))  # names the same body file
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_text("not the workspace's")
    (workspace / "cases").mkdir()
    (workspace / "cases" / "hatch-long").symlink_to(outside)
    with pytest.raises(ValueError, match="holds other products"):
        remove_variant(workspace, "hatch")
    preview = remove_variant(workspace, "hatch:long", dry_run=True)
    assert folder.is_dir() and preview["removed"] == [
        str(folder),
        str(workspace / "templates/openfoam/long"),
    ]
    done = remove_variant(workspace, "hatch:long", cases=True)
    assert not folder.exists() and not (workspace / "templates/openfoam/long").exists()
    assert (
        body.is_file() and {"path": str(body), "reason": "another product uses it"} in done["kept"]
    )
    assert (outside / "keep.txt").is_file() and not (workspace / "cases" / "hatch-long").exists()
    assert "hatch:long" not in dict(list_products(workspace / "products"))
    remove_variant(workspace, "hatch:twin")
    assert not body.exists() and (workspace / "templates/openfoam/hatch").is_dir()
    with pytest.raises(FileNotFoundError):
        remove_variant(workspace, "hatch:long")


# ------------------------------------------------------------------------ yaw


def test_a_yawed_case_is_a_full_model_with_the_wind_turned(workspace):
    from foamlib import FoamFieldFile, FoamFile

    case = api.prepare_case(ProductCore.load("hatch"), workspace=workspace, speed=30, yaw=10)
    info = json.loads((case / "velmor-case.json").read_text())
    assert info["half_model"] is False and info["yaw_deg"] == 10
    lo, hi = info["domain"]["min"], info["domain"]["max"]
    assert lo[1] < -1.0 and hi[1] >= -lo[1]  # both sides of the car, open to the turned wind
    patches = dict(FoamFile(case / "system" / "blockMeshDict")["boundary"])
    assert "symmetry" not in patches and len(patches["side"]["faces"]) == 2
    u = FoamFieldFile(case / "0.orig" / "U")
    inlet = np.array(u["boundaryField"]["inlet"]["value"])
    assert np.degrees(np.arctan2(inlet[1], inlet[0])) == pytest.approx(10, abs=1e-3)
    assert u["boundaryField"]["side"]["type"] == "freestreamVelocity"
    control = FoamFile(case / "system" / "controlDict")
    assert control["functions"]["forceCoeffs1"]["Aref"] == pytest.approx(1.92)


def test_a_yawed_run_records_side_force_and_yaw_moment(workspace, tmp_path):
    case = tmp_path / "case"
    shutil.copytree(DATA, case)
    info = json.loads((case / "velmor-case.json").read_text())
    info.update(half_model=False, yaw_deg=10.0)
    (case / "velmor-case.json").write_text(json.dumps(info))
    run = api.record_case(ProductCore.load("hatch"), case)
    assert run["yaw_deg"] == 10.0 and {"cs", "cm_yaw"} <= run.keys()
    straight = api.record_case(ProductCore.load("hatch"), DATA)
    assert "cs" not in straight and "yaw_deg" not in straight


# ---------------------------------------------------------------- study model


def test_study_expands_and_refuses_in_one_line(tmp_path):
    path = tmp_path / "sweep.toml"
    path.write_text('products = ["hatch", "sedan:base"]\nyaw = [0, 5]\nladder = true\n')
    study = model.load(path)
    keys = [c.key for c in study.cases()]
    assert len(keys) == 12 and len(set(keys)) == 12 and "sedan-base-fine-vdefault-y5" in keys
    path.write_text('products = ["hatch"]\nyaw = [45]\n')
    with pytest.raises(StudyError, match=r"yaw angle must be within -30 and 30 degrees") as caught:
        model.load(path)
    assert caught.value.kind == "invalid"


@pytest.mark.parametrize(
    ("toml", "said"),
    [
        ('products = ["hatch"]\nranks = true\n', "ranks: not a whole number: True"),
        (
            f"products = ['hatch']\nspeeds = {list(range(10, 110))}\nyaw = {list(range(-30, 31))}\n",
            r"a study has at most 2000 cases; this one has 6100 \(1 products x 1 levels x 100 "
            r"speeds x 61 yaw angles\)",
        ),
    ],
)
def test_study_size_and_whole_numbers_are_checked(tmp_path, toml, said):
    path = tmp_path / "big.toml"
    path.write_text(toml)
    with pytest.raises(StudyError, match=said) as caught:
        model.load(path)
    assert caught.value.kind == "invalid" and "\n" not in caught.value.message


def test_saving_a_large_study_writes_changes_not_the_whole_state(workspace, monkeypatch):
    from velmor_platform.core import layer_io

    written = []
    atomic = layer_io.atomic_write_bytes

    def counted(target, data, **kw):
        if Path(target).name == "state.json":
            written.append(len(data))
        atomic(target, data, **kw)

    def prepare_case(product, options, *, workspace):  # OpenFOAM's part: the boundary
        folder = workspace / "cases" / f"c{options.speed:g}-{options.yaw:g}"
        folder.mkdir(parents=True)
        return folder

    monkeypatch.setattr(layer_io, "atomic_write_bytes", counted)
    monkeypatch.setattr(api, "prepare_case", prepare_case)
    study = model.from_values(name="big", products=["hatch"], speeds=list(range(10, 30)),
                              yaw=list(range(-5, 5)))  # fmt: skip
    state = runner.open_study(workspace, study)
    runner._prepare(workspace, state, lambda event: None)
    assert {e["status"] for e in state.cases.values()} == {"prepared"}
    assert StudyState.load(workspace, "big").cases == state.cases  # state.json + journal
    assert sum(written) < 4 * written[-1]


class ScriptedExecutor(LocalExecutor):
    """The local executor with OpenFOAM's Allrun replaced per case (the boundary)."""

    scripts = {
        "v25": f"sleep 1; cp -r {DATA}/postProcessing {DATA}/log.simpleFoam .; exit 0",
        "v30": "echo '--> FOAM FATAL ERROR: cannot read the mesh' > log.blockMesh; exit 1",
        "v35": "exec sleep 60",
    }

    def submit(self, case, ranks, label):
        speed = label.split("-")[-2]
        (case / "Allrun").write_text("#!/bin/sh\n" + self.scripts[speed] + "\n")
        return super().submit(case, ranks, label)


def test_local_study_survives_its_client_cancels_and_records_each_case_once(workspace):
    study = model.from_values(name="t", products=["hatch"], speeds=[25, 30, 35], iterations=5)
    stop = threading.Event()
    submitted = []

    def until_all_submitted(event):
        if event.get("status") == "queued":
            submitted.append(event["case"])
        if len(submitted) == 3:
            stop.set()  # the client goes away with every job still running

    runner.run_study(workspace, study, executor=ScriptedExecutor(3), on_event=until_all_submitted,
                     stop=stop, poll_s=0.1)  # fmt: skip
    assert len(submitted) == 3
    runner.cancel_study(workspace, "t", ["hatch-quick-v35-y0"], executor=ScriptedExecutor(3))
    again = []
    state = runner.run_study(workspace, name="t", executor=ScriptedExecutor(3),
                             on_event=again.append, poll_s=0.1)  # fmt: skip
    assert not [e for e in again if e.get("status") == "queued"]  # nothing re-run
    statuses = {k: e["status"] for k, e in state.cases.items()}
    assert statuses == {
        "hatch-quick-v25-y0": "completed",
        "hatch-quick-v30-y0": "failed",
        "hatch-quick-v35-y0": "cancelled",
    }
    assert "cannot read the mesh" in state.cases["hatch-quick-v30-y0"]["message"]
    recorded = [r for r in runs_of("hatch") if r["status"] in statuses.values()][2:]
    assert sorted(r["status"] for r in recorded) == ["cancelled", "completed", "failed"]
    # Run again, or record again after a crash: nothing more is recorded.
    runner.run_study(workspace, name="t", executor=ScriptedExecutor(3), poll_s=0.1)
    case = Path(state.cases["hatch-quick-v25-y0"]["case_dir"])
    assert recording.record_case_outcome(workspace, case, JobState("done", 0), study="t")[
        "already_recorded"
    ]
    assert len(runs_of("hatch")) == 5
    table = results.results_table(workspace, "t")
    assert [r["status"] for r in table["rows"]] == ["completed", "failed", "cancelled"]
    assert results.chart(workspace, "t", "png").startswith(b"\x89PNG")
    assert b"<svg" in results.chart(workspace, "t", "svg")


def test_the_study_chart_band_is_the_runs_two_se_band_and_marks_unconverged_cases():
    rows = [
        {"product": "p", "yaw": 0, "level": "quick", "status": "completed", "cd": 0.30,
         "cd_band": 0.003, "cd_spread": 0.0158, "converged": True},
        {"product": "p", "yaw": 10, "level": "quick", "status": "completed", "cd": 0.40,
         "cd_band": 0.01, "cd_spread": 0.05, "converged": False},
    ]  # fmt: skip
    series = results._series(rows, "cd")["p"]
    assert series["low"] == pytest.approx([0.297, 0.39])
    assert series["high"] == pytest.approx([0.303, 0.41])
    assert series["converged"] == [True, False]


def test_a_study_is_driven_by_one_process_at_a_time(workspace):
    study = model.from_values(name="busy", products=["hatch"])
    state = runner.open_study(workspace, study)
    with state.driving():
        with pytest.raises(StudyError, match="being run by process") as caught:
            runner.run_study(workspace, name="busy", executor=LocalExecutor(1))
        assert caught.value.kind == "conflict" and state.driver() is not None
    other = model.from_values(name="busy", products=["sedan:base"])
    with pytest.raises(StudyError, match="different study named 'busy'"):
        runner.open_study(workspace, other)
    with pytest.raises(StudyError, match="no product named 'nope'") as caught:
        runner.open_study(workspace, model.from_values(name="n", products=["hatch", "nope"]))
    assert caught.value.kind == "not_found" and not (workspace / "studies" / "n").exists()


# ------------------------------------------------------------- a real Slurm cluster


@pytest.fixture(scope="session")
def slurm_cluster():
    root = Path(tempfile.mkdtemp(prefix="velmor-slurm-"))
    cluster = LocalCluster(root)
    try:
        cluster.start()
    except (ClusterUnavailable, OSError, ValueError) as exc:
        shutil.rmtree(root, ignore_errors=True)
        pytest.skip(f"no local Slurm cluster: {exc}")
    try:
        yield cluster
    finally:
        cluster.stop()
        shutil.rmtree(root, ignore_errors=True)


@pytest.mark.parametrize("before", [None, "[local]\ncores = 1  # kept\n"])
def test_the_workspace_cluster_starts_serves_a_study_and_stops_what_it_started(workspace, before):
    from velmor_platform.services.loading import Workspace
    from velmor_platform.services.workspaces import doctor
    from velmor_platform.study.config import load_config

    if unavailable_reason():
        pytest.skip(f"no local Slurm cluster: {unavailable_reason()}")
    toml = workspace / "cluster.toml"
    if before:
        toml.write_text(before)
    slurm = [c for c in doctor(Workspace(workspace, "test")) if c.name == "slurm"]
    assert (
        "no cluster is configured" in slurm[0].detail and "velmor cluster start" in slurm[0].detail
    )
    try:
        up = own_cluster.start(workspace)
        assert up["running"] and up["configured"] and up["node_state"] == "idle"
        assert own_cluster.start(workspace)["already"]
        config = load_config(workspace)
        assert config.local.cores == (1 if before else None)
        assert "UP" in SlurmExecutor(config.slurm).check()
    finally:
        down = own_cluster.stop(workspace)
    assert sorted(down["stopped"]) == ["munged", "slurmctld", "slurmd"]
    assert not any(alive(d["pid"]) for d in up["daemons"].values())
    assert (toml.read_text() if before else toml.exists()) == (before or False)
    assert own_cluster.status(workspace) == {"running": False, "started": False, "daemons": {}}


def test_a_controller_that_is_down_is_one_line_within_seconds(slurm_cluster, tmp_path):
    conf = tmp_path / "slurm.conf"
    text = slurm_cluster.conf.read_text()
    conf.write_text(text.replace("SlurmctldPort=", "SlurmctldPort=1").replace("\n#", "\n#"))
    executor = SlurmExecutor(SlurmConfig(slurm_conf=str(conf)))
    with pytest.raises(StudyError, match="controller is not responding") as caught:
        executor.check()
    assert caught.value.kind == "unavailable" and "\n" not in caught.value.message
    missing = SlurmExecutor(SlurmConfig(slurm_conf=str(tmp_path / "none.conf")))
    with pytest.raises(StudyError, match="does not exist"):
        missing.check()


def test_doctor_report_of_the_slurm_set_up(slurm_cluster, workspace):
    from velmor_platform.study.slurm import describe

    assert describe(workspace) is None  # nothing configured
    toml = workspace / "cluster.toml"
    toml.write_text(f'[slurm]\nslurm_conf = "{slurm_cluster.conf}"\npartition = "debug"\n')
    report = describe(workspace)
    assert report["ok"] and "UP" in report["controller"]
    assert report["partitions"][0]["partition"] == "debug*"
    toml.write_text(f'[slurm]\nslurm_conf = "{slurm_cluster.conf}"\npartition = "gpu"\n')
    assert "not offered" in describe(workspace)["problem"]


def test_a_job_in_a_folder_with_a_space_and_a_quoted_name_runs_as_written(slurm_cluster, tmp_path):
    case = tmp_path / "work space" / "cases" / "c 1"
    case.mkdir(parents=True)
    (case / "velmor-case.json").write_text("{}")
    (case / "Allrun").write_text("#!/bin/sh\necho ran\n")
    (case / "Allrun").chmod(0o755)
    config = SlurmConfig(slurm_conf=str(slurm_cluster.conf), partition="debug", poll_s=0.2)
    executor = SlurmExecutor(config)
    label = 'sweep-my "car\'s" body'
    handle = executor.submit(case, 1, label)
    state = executor.poll({handle: case})[handle]
    for _ in range(300):
        if state.state not in ("queued", "running"):
            break
        threading.Event().wait(0.2)
        state = executor.poll({handle: case})[handle]
    assert state.state == "done", state
    assert (case / f"slurm-{handle}.out").is_file() and (case / "log.Allrun").read_text() == "ran\n"
    shown = executor._run("scontrol", "show", "job", handle).stdout
    assert f"JobName=velmor-{label}\n" in shown and "NumTasks=1 " in shown
    with pytest.raises(StudyError, match="cannot go into a job script"):
        executor.script(case, 1, "sweep\n#SBATCH --partition=other\nrm -rf ~")


@pytest.mark.parametrize(
    ("entry", "said"),
    [
        ('partition = "debug\\nrm -rf ~"', "slurm.partition: .*line break"),
        ('account = "aero --wrap=id"', "slurm.account: .*not one word"),
        ('account = "--wrap=id"', "slurm.account: .*not one word"),
        ('extra_sbatch = ["--mem=1G", "--wrap=id"]', "slurm.extra_sbatch: .*--wrap"),
        ('extra_sbatch = ["--mem=1G --wra=id"]', "slurm.extra_sbatch: .*--wrap"),
        ('extra_sbatch = ["mem=1G"]', "slurm.extra_sbatch: .*not an sbatch option"),
        ('modules = ["openfoam; id"]', "slurm.modules: .*not one word"),
        ('setup = ["source a\\nid"]', "slurm.setup: .*line break"),
        ('[slurm.env]\n"A;id" = "x"', "slurm.env: .*not a variable name"),
        ('[slurm.env]\nA = "x\\nid"', "slurm.env: .*line break"),
    ],
)
def test_cluster_toml_values_that_would_change_the_job_script_are_refused(workspace, entry, said):
    from velmor_platform.study.config import load_config

    (workspace / "cluster.toml").write_text(f"[slurm]\n{entry}\n")
    with pytest.raises(StudyError, match=said) as caught:
        load_config(workspace)
    assert caught.value.kind == "invalid" and "\n" not in caught.value.message


@pytest.mark.skipif(not HAVE_OPENFOAM, reason="OpenFOAM is not installed (Debian 'openfoam')")
def test_real_study_on_slurm_completes_cancels_fails_and_resumes(
    slurm_cluster, workspace, small_mesh
):
    executor = SlurmExecutor(SlurmConfig(slurm_conf=str(slurm_cluster.conf), poll_s=0.5))
    study = model.from_values(
        name="slurm", products=["hatch"], speeds=[25, 30, 35, 40], iterations=8, executor="slurm"
    )
    stop = threading.Event()
    queued = []

    def on_event(event):
        if event.get("status") == "prepared" and "-v30-" in event["case"]:
            # A broken mesh: blockMesh cannot read its dictionary.
            Path(event["case_dir"], "system", "blockMeshDict").write_text("broken {\n")
        if event.get("status") == "queued":
            queued.append(event["case"])
            if len(queued) == 4:
                stop.set()  # the client goes away; the jobs stay with Slurm

    runner.run_study(workspace, study, executor=executor, on_event=on_event, stop=stop,
                     poll_s=0.3)  # fmt: skip
    runner.cancel_study(workspace, "slurm", ["hatch-quick-v35-y0"], executor=executor)
    resumed = []
    state = runner.run_study(workspace, name="slurm", executor=executor, on_event=resumed.append,
                             poll_s=0.5)  # fmt: skip
    assert not [e for e in resumed if e.get("status") == "queued"]
    statuses = {k.split("-")[2]: e["status"] for k, e in state.cases.items()}
    assert statuses == {"v25": "completed", "v30": "failed", "v35": "cancelled", "v40": "completed"}
    failed = state.cases["hatch-quick-v30-y0"]
    assert failed["message"].startswith("blockMesh failed") and failed["log"].endswith(
        "log.blockMesh"
    )
    study_runs = [r for r in runs_of("hatch") if r.get("mesh_cells") or r["status"] != "completed"]
    assert sorted(r["status"] for r in study_runs[-4:]) == [
        "cancelled", "completed", "completed", "failed",
    ]  # fmt: skip
    layer = Sdf.Layer.FindOrOpen(str(Path(ProductCore.load("hatch").usd_path).parent / "runs.usda"))
    layer.Reload(True)
    dirs = [
        p.attributes["caseDir"].default
        for p in layer.GetPrimAtPath("/Vehicle/Simulations").nameChildren
        if "caseDir" in p.attributes
    ]
    assert len(dirs) == len(set(dirs)) == 4  # each case exactly once
    assert StudyState.load(workspace, "slurm").finished()


# ------------------------------------------------------------------ MCP server


class ScriptedMcpExecutor(McpExecutor):
    """Cases run by a real stdio OpenFOAM MCP server, OpenFOAM's Allrun replaced."""

    def submit(self, case, ranks, label):
        speed = label.split("-")[-2]
        (case / "Allrun").write_text("#!/bin/sh\n" + ScriptedExecutor.scripts[speed] + "\n")
        return super().submit(case, ranks, label)


def test_cases_run_on_the_solver_host_through_the_mcp_server(workspace):
    study = model.from_values(name="m", products=["hatch"], speeds=[25, 35], executor="mcp")
    stop = threading.Event()
    queued = []

    def on_event(event):
        if event.get("status") == "queued":
            queued.append(event["case"])
            if len(queued) == 2:
                stop.set()

    executor = ScriptedMcpExecutor(workspace)
    runner.run_study(workspace, study, executor=executor, on_event=on_event, stop=stop)
    runner.cancel_study(workspace, "m", ["hatch-quick-v35-y0"], executor=executor)
    state = runner.run_study(workspace, name="m", executor=executor)
    assert {k: e["status"] for k, e in state.cases.items()} == {
        "hatch-quick-v25-y0": "completed",
        "hatch-quick-v35-y0": "cancelled",
    }


def test_an_assistant_makes_a_variant_and_follows_a_study(workspace, hatch_mm_stl):
    import anyio
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server

    state = runner.open_study(workspace, model.from_values(name="done", products=["hatch"]))
    state.update("hatch-quick-vdefault-y0", status="completed", cd=0.3)
    state.save()
    notes = []

    async def progress(value, total, message):
        notes.append((value, total, json.loads(message)))

    async def scenario():
        async with Client(build_server(workspace)) as client:
            made = await client.call_tool(
                "make_variant",
                {"parent": "hatch", "name": "hatch:mm", "geometry": str(hatch_mm_stl),
                 "scale": 0.001},
            )  # fmt: skip
            followed = await client.call_tool(
                "follow_study", {"name": "done"}, progress_callback=progress
            )
            table = await client.call_tool("study_results", {"name": "done"})
            return made, followed, table

    made, followed, table = anyio.run(scenario)
    assert made.structured_content["product"] == "hatch:mm"
    assert followed.structured_content["finished"] is True
    assert notes == [(1.0, 1.0, {"case": "hatch-quick-vdefault-y0", "status": "completed",
                                  "counts": {"completed": 1}})]  # fmt: skip
    assert table.structured_content["rows"][0]["cd"] == 0.3


# --------------------------------------------------------------- housekeeping


def test_cleaning_keeps_what_records_need_and_never_touches_a_case_in_use(workspace):
    from velmor_platform.study.housekeeping import clean_cases

    cases = workspace / "cases" / "hatch"
    made = {}
    for name in ("recorded", "unrecorded", "in-study"):
        made[name] = case = cases / name
        shutil.copytree(DATA, case)
        (case / "processor0" / "constant").mkdir(parents=True)
        (case / "processor0" / "constant" / "big").write_bytes(b"x" * 4096)
        (case / "200").mkdir()
    api.record_case(ProductCore.load("hatch"), made["recorded"])
    state = runner.open_study(workspace, model.from_values(name="hold", products=["hatch"]))
    state.update("hatch-quick-vdefault-y0", status="running", case_dir=str(made["in-study"]))
    state.save()
    report = clean_cases(workspace, "hatch", quiet_s=0)
    assert [s["case"] for s in report["slimmed"]] == [str(made["recorded"])]
    recorded = made["recorded"]
    assert not (recorded / "processor0").exists() and not (recorded / "constant/polyMesh").exists()
    assert not (recorded / "200").exists()
    assert (recorded / "postProcessing").is_dir() and (recorded / "log.simpleFoam").is_file()
    assert api.record_case(ProductCore.load("hatch"), recorded)["cd"]  # still readable
    kept = {k["case"]: k["reason"] for k in report["kept"]}
    assert kept == {str(made["in-study"]): "an unfinished study uses it",
                    str(made["unrecorded"]): "no run records it"}  # fmt: skip
    report = clean_cases(workspace, "hatch", quiet_s=0, unrecorded=True)
    assert not made["unrecorded"].exists() and (made["in-study"] / "processor0").exists()


def test_the_mcp_server_cancels_only_jobs_of_the_workspace(workspace):
    import subprocess

    import anyio
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server
    from velmor_platform.study.executors import _start_time

    stranger = subprocess.Popen(["sleep", "60"], start_new_session=True)
    try:
        handles = [f"{stranger.pid}:{_start_time(stranger.pid)}", "0:0", "-1:5", "1:x"]

        async def scenario():
            async with Client(build_server(workspace)) as client:
                return [await client.call_tool("cancel_case", {"job": h}) for h in handles]

        answers = anyio.run(scenario)
        assert all(a.is_error for a in answers)
        assert "not a case of this workspace" in answers[0].content[0].text
        assert stranger.poll() is None
    finally:
        stranger.kill()
        stranger.wait()


def test_a_job_script_gives_openfoam_the_environment_the_runner_gives_it(tmp_path):
    import subprocess

    from velmor_platform.cfd.launch import DEFAULT_PROJECT_DIR, openfoam_env
    from velmor_platform.study.executors import job_body

    lines = job_body(tmp_path).splitlines()
    setup = [ln for ln in lines if "WM_PROJECT_DIR" in ln or ln.startswith("export OMPI")]
    shown = subprocess.run(["sh", "-c", "\n".join([*setup, "env"])], env={},
                           capture_output=True, text=True, check=True).stdout  # fmt: skip
    env = dict(line.split("=", 1) for line in shown.splitlines() if "=" in line)
    wanted = openfoam_env({"WM_PROJECT_DIR": DEFAULT_PROJECT_DIR})
    assert {k: env.get(k) for k in wanted} == wanted
