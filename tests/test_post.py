"""A run's post-processing set, report, pictures and comparison.

The case under tests/data/post_case holds the tail of a real quick run's
output (OpenFOAM v1912); its vehicle surface is made here from the sample
sedan's USD body, with a pressure field whose mean is known.
"""

import base64
import json
import re
import shutil
import subprocess
import sys
from html.parser import HTMLParser

import numpy as np
import pytest

from post_case import DATA, half_body, record_run, sedan_usd, with_surface
from velmor_platform.cfd import api, coefficients, functions
from velmor_platform.core import geometry
from velmor_platform.core.product_core import ProductCore
from velmor_platform.post import report, worker

RUN = {"run_id": "sedan-base-0004", "cd": 0.17609, "cl": -0.04158, "cm_pitch": -0.17506}


def _renderer_problem():
    from velmor_platform.post import render

    return render.renderer_problem()


needs_renderer = pytest.mark.skipif(
    _renderer_problem() is not None, reason=f"no pictures here: {_renderer_problem()}"
)


@pytest.fixture
def case(workspace):
    folder = workspace / "cases" / "sedan-base" / "case"
    shutil.copytree(DATA, folder)
    return folder


class Tables(HTMLParser):
    """The cells of every table of a page, by the table's class."""

    def __init__(self):
        super().__init__()
        self.tables, self._cls, self._row, self._cell = {}, None, None, None

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self._cls = dict(attrs).get("class")
            self.tables.setdefault(self._cls, [])
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._row is not None:
            self._row.append(self._cell)
            self._cell = None
        elif tag == "tr" and self._row is not None:
            self.tables[self._cls].append(self._row)

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data


# ------------------------------------------------------------ the set a case writes


def test_prepared_case_writes_the_post_processing_set(workspace):
    from foamlib import FoamFile

    folder = api.prepare_case(ProductCore.load("hatch"), workspace=workspace)
    control = FoamFile(folder / "system" / "controlDict")
    names = set(control["functions"].keys())
    assert {functions.SURFACES, functions.BINS, functions.FORCES + "body"} <= names
    surfaced = list(control["functions", functions.SURFACES, "surfaces", "body", "patches"])
    assert surfaced == ["body", "frontWheels", "rearWheels"]  # every vehicle patch, wheels too
    # The binned and per-part forces use the same reference values as forceCoeffs1.
    for key in ("magUInf", "Aref", "lRef", "CofR"):
        assert (
            control["functions", functions.BINS, key] == control["functions", "forceCoeffs1", key]
        )
    assert re.search(
        r"checkMesh -latestTime > log.checkMesh 2>&1 \|\| true", (folder / "Allrun").read_text()
    )


def test_vehicle_patches_come_from_the_case(tmp_path):
    (tmp_path / "constant" / "polyMesh").mkdir(parents=True)
    (tmp_path / "constant" / "polyMesh" / "boundary").write_text(
        "4\n(\n inlet { type patch; }\n ground { type wall; }\n body { type wall; }\n"
        " wheels_front { type wall; inGroups 1(wall); }\n)\n"
    )
    assert functions.vehicle_patches(tmp_path) == ["body", "wheels_front"]


# ------------------------------------------------------------ numbers and report


def test_report_tables_equal_the_record_and_plots_come_without_a_renderer(
    case, workspace, monkeypatch
):
    # A drawing child that dies as one does without a working OpenGL.
    def broken(job):
        return subprocess.Popen(
            [sys.executable, "-c", "import sys; sys.exit('EGL: no display')"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )

    monkeypatch.setattr(worker, "start", broken)
    run = RUN | {"product": "sedan:base", "level": "quick", "speed": 40.0, "reference_area": 2.28}
    data = report.run_report(with_surface(case, workspace), run)
    assert data["renderer"].startswith("the pictures need pyvista and vtk with an off-screen")
    assert {i["key"] for i in data["images"]} == {"convergence", "cumulative_drag"}
    page = report.write_html(case, data, case / "out" / "report.html").read_text()
    assert "No pictures here" in page and page.count("data:image/png;base64,") == 2
    assert (case / "out" / "convergence.png").is_file()
    tables = Tables()
    tables.feed(page)
    record = dict(tables.tables["record"])
    assert float(record["Cd"].split("±")[0]) == RUN["cd"]
    # What was computed: an aerodynamic run without a yaw angle was straight ahead.
    shown = {k: record[k] for k in ("product", "mesh level", "speed, m/s", "yaw, °")}
    assert shown == {
        "product": "sedan:base",
        "mesh level": "quick",
        "speed, m/s": "40",
        "yaw, °": "0",
    }
    assert record["reference area, m²"] == "2.28"
    assert (float(record["Cl"]), float(record["Cm pitch"])) == (RUN["cl"], RUN["cm_pitch"])
    head, *rows = tables.tables["parts"]
    total = dict(zip(head, rows[-1], strict=True))
    # The parts' forces, averaged over the same window, add up to the forceCoeffs drag.
    history = coefficients.read_coefficients(case)
    win = data["window"]
    inside = (history["Time"] >= win["first"]) & (history["Time"] <= win["last"])
    assert float(total["Cd"]) == pytest.approx(history["Cd"][inside].mean(), abs=1e-4)
    assert float(total["Cd pressure"]) + float(total["Cd viscous"]) == pytest.approx(
        float(total["Cd"]), abs=2e-4
    )
    assert data["mesh"]["line"].startswith("38,776 cells, layer coverage 100%")
    assert "max non-orthogonality 51.6" in data["mesh"]["line"]
    x, cd = data["cumulative"]["x"], data["cumulative"]["cd"]
    assert x == sorted(x) and cd[-1] == pytest.approx(float(total["Cd"]), abs=5e-3)


@pytest.mark.parametrize(
    "other_band, band",
    [(0.004, 0.005), (None, None)],  # 0.003 and 0.004 combined in quadrature
)
def test_a_comparison_gives_the_differences_with_the_two_bands_combined(other_band, band):
    from velmor_platform.post.record import deltas

    mine = {"run": {"cd": 0.30, "cl": 0.1, "cd_band": 0.003, "cl_band": 0.003}}
    other = {"cd": 0.28, "cl": 0.12} | ({"cd_band": other_band} if other_band else {})
    found = deltas(mine | {"against": {"run": other | {"cl_band": 0.004}, "window": None}})
    assert [(d["label"], round(d["delta"], 6)) for d in found] == [("ΔCd", 0.02), ("ΔCl", -0.02)]
    assert found[0]["band"] == (pytest.approx(band) if band else None)
    assert found[1]["band"] == pytest.approx(0.005)


def test_report_is_made_once_and_again_when_the_output_changes(case):
    first = report.run_report(case, RUN, draw=False)
    png = report.post_dir(case) / "convergence.png"
    stamp = png.stat().st_mtime_ns
    assert report.run_report(case, RUN, draw=False) == first
    assert png.stat().st_mtime_ns == stamp
    coeffs = case / "postProcessing/forceCoeffs1/0/coefficient.dat"
    coeffs.write_text(coeffs.read_text() + "224\t0.18 0 0 0 0 0 0 0 0 0 0 0\n")
    assert report.run_report(case, RUN, draw=False)["signature"] != first["signature"]


# ------------------------------------------------------------ pictures


def test_delta_cp_of_a_run_with_itself_is_zero_and_meshes_may_differ(workspace):
    pytest.importorskip("pyvista")
    from velmor_platform.post import compare, render

    body = render.body_coefficients(half_body(workspace), 40.0)
    assert np.abs(compare.delta_cp(body, body).cell_data["dCp"]).max() == 0
    # Another mesh of the same car (split faces), its pressure 0.1 higher.
    other = render.body_coefficients(half_body(workspace).subdivide(1, "linear"), 40.0)
    other.cell_data["Cp"] = np.asarray(other.cell_data["Cp"]) + 0.1
    delta = np.asarray(compare.delta_cp(body, other).cell_data["dCp"])
    assert np.median(delta) == pytest.approx(-0.1, abs=0.02)


def _silhouette(path):
    from PIL import Image

    pixels = np.asarray(Image.open(path).convert("RGB")).astype(int)
    body = np.abs(pixels - 255).sum(axis=2) > 30
    body[int(0.78 * len(body)) :] = False  # the colour bar and its labels
    body[:30] = False  # the label
    rows, cols = np.nonzero(body)
    return body.mean(), (cols.max() - cols.min() + 1) / (rows.max() - rows.min() + 1)


@needs_renderer
def test_pictures_are_not_blank_and_show_the_car(case, workspace):
    from PIL import Image

    with_surface(case, workspace)
    data = report.run_report(case, RUN)
    assert data["renderer"] is None
    files = {i["key"]: report.post_dir(case) / i["file"] for i in data["images"]}
    assert {"cp_side", "cp_top", "cp_front", "cp_rear", "cp_underside", "shear_side"} <= set(files)
    body = half_body(workspace)
    x0, x1, _, y1, z0, z1 = body.bounds
    for key, expected in (("cp_side", (x1 - x0) / (z1 - z0)), ("cp_top", (x1 - x0) / (2 * y1))):
        covered, aspect = _silhouette(files[key])
        assert 0.1 < covered < 0.9, key
        assert aspect == pytest.approx(expected, rel=0.1), key
    side = np.asarray(Image.open(files["cp_side"]).convert("RGB"))
    assert len({tuple(c) for c in side.reshape(-1, 3)[::97]}) > 20  # coloured, not flat
    assert files["cp_side"].read_bytes() != files["cp_underside"].read_bytes()
    against = report.comparison(case, RUN, case, RUN)
    keys = {i["key"] for i in against["against"]["images"]}
    assert {"dcp_side", "cumulative_both"} <= keys


@needs_renderer
def test_a_plane_on_the_road_sits_on_its_colour_bar_without_an_empty_band(tmp_path):
    import pyvista as pv
    from PIL import Image

    from velmor_platform.post import render

    # A centre plane as a case samples it: from the road up, well beyond the car.
    plane = pv.Plane(center=(2, 0, 6), direction=(0, 1, 0), i_size=12, j_size=12)
    plane.cell_data["U/Uinf"] = np.linspace(0.2, 1.2, plane.n_cells)
    body = pv.Box((0, 4, -0.1, 0.1, 0.2, 1.2))
    target = tmp_path / "centre.png"
    bounds = render.crop_bounds(body, 0.3, 1.0, 0.35)
    render.draw(plane, render.SCALES["speed"], {"side": target}, bounds=bounds, grounded=True)
    blank = np.asarray(Image.open(target).convert("L")).min(axis=1) > 250  # nothing drawn
    first_blank = int(np.argmax(blank))  # the plane ends here, on the road
    gap = int(np.argmax(~blank[first_blank:]))  # down to the bar's tick labels
    assert first_blank > 0 and gap < 0.1 * len(blank)  # the bar's own margin


@needs_renderer
def test_product_picture_from_usd_includes_the_wheels(tmp_path, workspace):
    target = tmp_path / "sedan.png"
    usd = sedan_usd()
    dims = worker.draw({"kind": "product", "usd": str(usd), "target": str(target), "name": "Sedan"})
    assert dims["length"] == pytest.approx(4.86, abs=0.01)
    # The wheels (radius 0.334 m, on the ground) reach below the body.
    body_lo, body_hi = geometry.bounds(geometry.body_triangles(usd))
    assert dims["height"] > body_hi[2] - body_lo[2] + 0.1
    covered, _ = _silhouette(target)
    assert 0.05 < covered < 0.8


@needs_renderer
def test_a_product_nobody_loaded_is_drawn_and_its_files_stay_as_they_are(tmp_path, workspace):
    usd = workspace / "products/sedan/base/sedan.usda"
    before = usd.read_bytes()
    assert b"velmor-geo:" in before  # as shipped: geometry named by URI
    target = tmp_path / "sedan.png"
    dims = worker.draw({"kind": "product", "usd": str(usd), "target": str(target)})
    assert dims["length"] == pytest.approx(4.86, abs=0.01) and target.stat().st_size > 0
    assert usd.read_bytes() == before  # the server may be read-only: resolved in memory
    # A file that is not a product is the user's line, not a missing renderer.
    with pytest.raises(worker.DrawError, match="has no default") as failed:
        worker.draw({"kind": "product", "usd": str(usd.parent / "benchmark.usda"), "target": "x"})
    assert "pyvista" not in str(failed.value)


def test_a_server_never_waits_for_a_report(case):
    from velmor_platform.post import background

    assert background.run_status(case, RUN) == ("making", None)
    assert background.run_status(case, RUN) == ("making", None)  # started once
    background.wait()
    state, data = background.run_status(case, RUN)
    assert state == "ready" and "no sampled surfaces" in data["renderer"]
    assert {i["key"] for i in data["images"]} == {"convergence", "cumulative_drag"}


def test_the_template_server_reports_a_run_with_images_and_numbers(case, workspace):
    import anyio
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server

    recorded = record_run(case)

    async def scenario():
        async with Client(build_server(workspace)) as client:
            good = await client.call_tool("report", {"product": "sedan:base"})
            bad = await client.call_tool("report", {"product": "sedan:base", "run": "run_0001"})
            return good, bad

    good, bad = anyio.run(scenario)
    images = [c for c in good.content if c.type == "image"]
    assert images and all(base64.b64decode(c.data)[:8] == b"\x89PNG\r\n\x1a\n" for c in images)
    numbers = good.structured_content
    assert numbers["run"]["run_id"] == recorded["run_id"] and numbers["run"]["cd"] == 0.17609
    assert (
        "(sedan:base, 40 m/s, 0° yaw, reference area 2.28 m², length 2.875 m)"
        in good.content[0].text
    )
    assert numbers["parts"][-1]["part"] == "total" and numbers["window"]["first"] > 0
    assert bad.is_error and "has no case folder here" in bad.content[0].text


def test_velmor_report_writes_the_html_with_its_pictures_beside_it(case, workspace, tmp_path):
    recorded = record_run(case)
    out = tmp_path / "out"
    done = subprocess.run(
        [sys.executable, "-m", "velmor_platform", "--json", "report", recorded["run_id"],
         "--output", str(out)],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert data["html"] == str(out / "report.html") and data["run"]["cd"] == 0.17609
    assert all((out / name).is_file() for name in data["images"])
    page = (out / "report.html").read_text()
    assert page.count("data:image/png;base64,") == len(data["images"]) >= 2
    refused = subprocess.run(
        [sys.executable, "-m", "velmor_platform", "report", "sedan-base-0001"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert refused.returncode == 1 and refused.stderr.count("\n") == 1
    assert "has no case folder here" in refused.stderr


def test_run_page_is_linked_from_the_history_and_serves_its_pictures(case, workspace):
    from starlette.testclient import TestClient

    from velmor_platform.post import background
    from velmor_platform.web.app import create_app

    recorded = record_run(case)
    other = record_run(case, cd=0.18)
    client = TestClient(create_app(workspace, allowed_hosts=["testserver"]))
    url = f"/products/sedan:base/runs/{recorded['run_id']}"
    assert f'href="{url}"' in client.get("/products/sedan:base/history").text
    first = client.get(url)
    assert first.status_code == 200 and first.headers["refresh"] == "3"
    # The compare box offers the product's other runs that have a case folder.
    assert f'<option value="{other["run_id"]}">cd 0.18, 0° yaw</option>' in first.text
    assert client.get("/api" + url).status_code == 202
    background.wait()
    page = client.get(url)
    assert "refresh" not in page.headers
    sources = re.findall(r'<img src="([^"]+)"', page.text)
    assert len(sources) >= 2
    for src in sources:
        picture = client.get(src)
        assert picture.status_code == 200 and picture.headers["content-type"] == "image/png"
        assert "max-age" in picture.headers["cache-control"] and picture.headers["etag"]
    assert client.get(url + "/pictures/..%2Freport.json").status_code == 404
    numbers = client.get("/api" + url).json()
    assert numbers["run"]["cd"] == 0.17609 and numbers["parts"][-1]["part"] == "total"


def test_a_recorded_case_folder_outside_the_workspace_is_never_used(case, workspace, tmp_path):
    from starlette.testclient import TestClient

    from velmor_platform.post import background
    from velmor_platform.services import reports
    from velmor_platform.services.loading import Workspace
    from velmor_platform.web.app import create_app

    elsewhere = tmp_path / "elsewhere"
    shutil.copytree(case, elsewhere)
    (workspace / "cases" / "linked").symlink_to(elsewhere)
    client = TestClient(create_app(workspace, allowed_hosts=["testserver"]))
    for folder in (elsewhere, workspace / "cases" / "linked", workspace / "cases" / ".."):
        recorded = record_run(folder)
        page = client.get(f"/products/sedan:base/runs/{recorded['run_id']}")
        assert page.status_code == 200 and "has no case folder here" in page.text
        found = reports.find(recorded["run_id"], Workspace(workspace))
        assert found.case_dir is None
    background.wait()
    assert not (elsewhere / "velmor-post").exists() and not (workspace / "velmor-post").exists()
    # A read-only server shows a made report and makes none.
    recorded = record_run(case)
    reader = TestClient(create_app(workspace, read_only=True, allowed_hosts=["testserver"]))
    answer = reader.get(f"/api/products/sedan:base/runs/{recorded['run_id']}")
    assert answer.status_code == 202 and "read-only" in answer.json()["message"]
    background.wait()
    assert not (case / "velmor-post").exists()


def test_drawings_wait_in_line_for_a_few_renderers(monkeypatch, tmp_path):
    import threading

    from velmor_platform.post import background, worker

    drawing, most, release = [], [], threading.Event()
    lock = threading.Lock()

    def draw(job):  # the renderer child: the boundary
        with lock:
            drawing.append(job)
            most.append(len(drawing))
        release.wait(30)
        with lock:
            drawing.remove(job)

    monkeypatch.setattr(worker, "draw", draw)
    monkeypatch.setattr(background, "MAX_WAITING", 3)
    asked = [background.run_status(tmp_path / f"c{i}", {"run_id": str(i)}) for i in range(6)]
    assert asked == [("making", None)] * 5 + [("failed", background.BUSY)]
    release.set()
    background.wait()
    assert len(most) == 5 and max(most) == background.MAX_DRAWING


def test_a_product_picture_is_never_served_unfinished_nor_waited_for_past_the_deadline(
    workspace, monkeypatch
):
    import time

    from starlette.testclient import TestClient

    from velmor_platform.post import background
    from velmor_platform.services import reports
    from velmor_platform.web import reports as pages
    from velmor_platform.web.app import create_app

    target = background.product_picture_path(workspace, ProductCore.load("hatch").usd_path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(b"")  # a drawing still being written
    monkeypatch.setattr(background, "_start", lambda key, job: True)
    monkeypatch.setattr(pages, "PICTURE_WAIT_S", 0.3)
    client = TestClient(create_app(workspace, allowed_hosts=["testserver"]))
    assert client.get("/products/hatch/picture.png").status_code == 503
    calls = []

    def slow(pid, ws):
        calls.append(pid)
        time.sleep(1.0)
        return reports.ProductPicture("making")

    monkeypatch.setattr(reports, "product_picture", slow)
    assert client.get("/products/hatch/picture.png").status_code == 503
    assert calls == ["hatch"]  # the lookup's own time counts toward the deadline
