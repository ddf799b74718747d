"""Variants and studies on the faces: the command line, the web pages and doctor."""

import json
import re
import time

import pytest
from starlette.testclient import TestClient

from velmor_platform import cli
from velmor_platform.core import geometry
from velmor_platform.core.product_core import ProductCore
from velmor_platform.study import model, runner
from velmor_platform.web.app import create_app


def run_cli(capsys, *args):
    capsys.readouterr()
    code = cli.main(list(map(str, args)))
    out = capsys.readouterr()
    return code, out.out, out.err


@pytest.fixture
def stored_study(workspace):
    """A stored study with ended and running cases (no jobs behind them)."""
    study = model.from_values(name="sweep", products=["hatch"], yaw=[0, 5, 10])
    state = runner.open_study(workspace, study)
    values = [("completed", 0.31, None), ("completed", 0.33, 0.12), ("running", None, None)]
    for (key, _), (status, cd, cs) in zip(state.cases.items(), values, strict=True):
        state.update(key, status=status, cd=cd, cs=cs, cd_spread=0.004)
    # The running case's folder, as its solver leaves it after 240 iterations.
    case = workspace / "cases" / "hatch" / "running"
    (case / "postProcessing" / "forceCoeffs1" / "0").mkdir(parents=True)
    (case / "velmor-case.json").write_text('{"max_iterations": 1000}')
    (case / "log.simpleFoam").write_text("Time = 240\n")
    (case / "postProcessing/forceCoeffs1/0/coefficient.dat").write_text(
        "# Time Cd Cl\n239 0.3131 0.1\n240 0.31234 0.1\n"
    )
    key = list(state.cases)[2]
    state.update(key, case_dir=str(case), started=time.time() - 75)
    state.update(next(iter(state.cases)), recorded_run="run_0003", recorded_run_id="hatch-0003")
    state.save()
    return "sweep"


@pytest.fixture
def stl_mm(workspace, tmp_path):
    path = tmp_path / "long.stl"
    triangles = geometry.body_triangles(ProductCore.load("hatch").usd_path)
    geometry.write_stl(triangles * 1000.0, path)
    return path


def test_variant_command_and_its_refusal(workspace, capsys, stl_mm):
    code, out, err = run_cli(capsys, "variant", "hatch", "hatch:long", stl_mm, "--scale", "0.001")
    assert code == 0, err
    assert out.startswith("made hatch:long from hatch:") and "long (copied from hatch)" in out
    assert "simulate it with 'velmor simulate hatch:long'" in err
    code, out, err = run_cli(capsys, "variant", "hatch", "hatch:long", stl_mm, "--scale", "0.001")
    assert code == 1 and err.count("\n") == 1 and "already exists" in err
    code, out, _ = run_cli(capsys, "--json", "products")
    assert "hatch:long" in [p["id"] for p in json.loads(out)]
    code, out, err = run_cli(capsys, "remove-variant", "hatch:long")  # no terminal to ask
    assert code == 1 and "give --yes" in out + err and (workspace / "products/hatch/long").is_dir()
    code, out, err = run_cli(capsys, "remove-variant", "hatch:long", "--yes")
    assert code == 0 and out.startswith("hatch:long: removed 3 paths"), err
    assert not (workspace / "products/hatch/long").exists()


def test_study_status_results_list_and_cancel_commands(workspace, capsys, stored_study, tmp_path):
    code, out, _ = run_cli(capsys, "study", "status", "sweep")
    assert code == 0 and out.splitlines()[0] == "study sweep (local): 1 running, 2 completed"
    assert re.search(r"running .* simpleFoam 240/1000  cd 0\.3123  1m\d\ds$", out.splitlines()[4])
    assert "no driver attached: resume it with 'velmor study run sweep'" in out
    code, out, _ = run_cli(capsys, "--json", "study", "results", "sweep", "--chart",
                           tmp_path / "c.svg")  # fmt: skip
    table = json.loads(out)
    assert [r["cd"] for r in table["rows"]] == [0.31, 0.33, None]
    assert b"<svg" in (tmp_path / "c.svg").read_bytes()
    code, out, _ = run_cli(capsys, "--json", "study", "list")
    assert json.loads(out)[0]["counts"] == {"completed": 2, "running": 1}
    code, out, err = run_cli(capsys, "study", "status", "nope")
    assert code == 1 and "no study named 'nope'" in err
    with pytest.raises(SystemExit) as usage:
        run_cli(capsys, "study", "run", "--name", "x", "--products", "hatch", "--yaw", "40")
    assert usage.value.code == 2
    assert "yaw angle must be within -30 and 30 degrees, not 40" in capsys.readouterr().err


def test_doctor_reports_a_configured_slurm_that_is_not_there(workspace, capsys, tmp_path):
    (workspace / "cluster.toml").write_text(f'[slurm]\nslurm_conf = "{tmp_path}/none.conf"\n')
    _, out, _ = run_cli(capsys, "--json", "doctor")
    slurm = [c for c in json.loads(out) if c["name"] == "slurm"]
    assert slurm and not slurm[0]["ok"] and "does not exist" in slurm[0]["detail"]


# -------------------------------------------------------------------- web


@pytest.fixture
def client(workspace):
    return TestClient(create_app(workspace, allowed_hosts=["testserver"]))


def token(client):
    return client.get("/api/session").json()["csrf_token"]


def test_study_pages_show_live_cases_and_the_chart(client, stored_study):
    assert client.get("/api/studies").json()[0]["study"] == "sweep"
    page = client.get("/studies/sweep")
    assert page.status_code == 200 and 'data-refresh="/studies/sweep/cases"' in page.text
    assert "hatch-quick-vdefault-y5" in page.text and "/studies/sweep/chart.svg" in page.text
    fragment = client.get("/studies/sweep/cases").text
    assert "1 running, 2 completed" in fragment and "data-finished" not in fragment
    assert "simpleFoam 240/1000  cd 0.3123  1m1" in fragment
    assert '<a href="/products/hatch/runs/hatch-0003"><code>hatch-0003</code></a>' in fragment
    chart = client.get("/studies/sweep/chart.svg")
    assert chart.headers["content-type"].startswith("image/svg+xml")
    assert client.get("/api/studies/sweep").json()["counts"] == {"completed": 2, "running": 1}
    assert client.get("/api/studies/nope").status_code == 404


def test_an_upload_makes_a_variant_and_leads_to_it(client, workspace, stl_mm):
    response = client.post(
        "/products/hatch/variant",
        data={"csrf_token": token(client), "name": "hatch:web", "scale": "0.001"},
        files={"geometry": ("long.stl", stl_mm.read_bytes())},
        follow_redirects=False,
    )
    assert response.status_code == 303, response.text
    assert response.headers["location"] == "/products/hatch:web"
    card = client.get("/products/hatch:web")
    assert "made hatch:web from hatch" in card.text
    assert not list((workspace / ".velmor").rglob("*long.stl"))  # the upload is not kept
    again = client.post(
        "/api/products/hatch/variant",
        data={"csrf_token": token(client), "name": "hatch:web"},
        files={"geometry": ("long.stl", stl_mm.read_bytes())},
    )
    assert again.status_code == 409 and "already exists" in again.json()["error"]
    # A refusal names the file as uploaded, not the temporary copy already deleted.
    flat = client.post(
        "/api/products/hatch/variant",
        data={"csrf_token": token(client), "name": "hatch:flat"},
        files={"geometry": ("flat.stl", stl_mm.read_bytes())},
    )
    assert flat.status_code == 422 and flat.json()["error"].startswith("flat.stl: bounding box")
    # Removing it: a page says what would go, and only a confirmed post removes it.
    preview = client.get("/products/hatch:web/remove")
    assert preview.status_code == 200 and "web_body.usda" in preview.text
    data = {"csrf_token": token(client)}
    assert client.post("/products/hatch:web/remove", data=data).status_code == 422
    gone = client.post(
        "/products/hatch:web/remove", data={**data, "confirm": "yes"}, follow_redirects=False
    )
    assert gone.status_code == 303 and not (workspace / "products/hatch/web").exists()


@pytest.mark.parametrize("path", ["/products/hatch/variant", "/api/products/hatch/variant"])
def test_a_variant_name_with_a_newline_is_refused_cleanly(client, workspace, stl_mm, path):
    response = client.post(
        path,
        data={"csrf_token": token(client), "name": "hatch:a\nb", "scale": "0.001"},
        files={"geometry": ("long.stl", stl_mm.read_bytes())},
        follow_redirects=False,
    )
    assert response.status_code == 422 and "invalid product name" in response.text
    assert not (workspace / "products" / "hatch" / "a\nb").exists()


def test_a_resumed_driver_says_at_once_what_it_found(workspace, stored_study):
    state = runner.open_study(workspace, None, "sweep")
    said = "resumed: 1 running, 0 queued, 0 to prepare, 0 to submit, 2 ended"
    assert runner.resumed_summary(state) == said
    fresh = model.from_values(name="fresh", products=["hatch"])
    assert runner.resumed_summary(runner.open_study(workspace, fresh)) is None
