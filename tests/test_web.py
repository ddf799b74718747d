"""The web interface through Starlette's test client, on copies of the sample
workspace: each page and its JSON twin, errors and their statuses, escaping,
form tokens, read-only mode, upload limits and the run panel's event stream."""

import json
import re
import sys
import threading
import urllib.request

import pytest

pytest.importorskip("starlette")
from starlette.testclient import TestClient

from velmor_platform import cli
from velmor_platform.cfd import api
from velmor_platform.core.layer_io import product_lock
from velmor_platform.web.app import create_app
from web_server import serving

BASE_USD = "products/sedan/base/sedan.usda"


def make_client(root, **options):
    return TestClient(create_app(root, allowed_hosts=["testserver"], **options))


@pytest.fixture
def client(workspace):
    return make_client(workspace)


def token(client):
    return client.get("/api/session").json()["csrf_token"]


def velmor_json(capsys, *args):
    capsys.readouterr()
    assert cli.main(["--json", *args]) == 0
    return json.loads(capsys.readouterr().out)


def settled_bytes(client, workspace):
    """The product file's bytes once a first load has rewritten its geometry references."""
    assert client.get("/api/products/sedan:base").status_code == 200
    return (workspace / BASE_USD).read_bytes()


def add_product(ws, name, attributes):
    d = ws / "products" / name
    d.mkdir(parents=True)
    (d / f"{name}.usda").write_text(
        '#usda 1.0\n(\n    defaultPrim = "Vehicle"\n)\n\ndef Xform "Vehicle"\n{\n'
        + attributes
        + "\n}\n"
    )


# ------------------------------------------------------------ same answers


@pytest.mark.parametrize(
    "path, command",
    [
        ("/api/", ["products"]),
        ("/api/products/sedan:base", ["show", "sedan:base"]),
        ("/api/products/sedan:sport/history", ["history", "sedan:sport"]),
        ("/api/products/sedan:base/range", ["range", "sedan:base"]),
        ("/api/products/sedan:base/range?cd=0.23", ["range", "sedan:base", "--cd", "0.23"]),
        ("/api/compare?a=sedan:base&b=hatch", ["diff", "sedan:base", "hatch"]),
        ("/api/products/hatch/export", ["export", "hatch"]),
    ],
)
def test_json_twin_is_what_the_command_prints(client, capsys, path, command):
    response = client.get(path)
    assert response.status_code == 200, response.text
    assert response.json() == velmor_json(capsys, *command)


def test_capabilities_page_and_twin_give_the_command_answer_and_reason(client, capsys):
    assert client.get("/api/products/sedan:sport/capabilities").json() == velmor_json(
        capsys, "capabilities", "sedan:sport"
    )
    html = client.get("/products/sedan:sport/capabilities").text
    assert "lists no case template named &#39;sport&#39;" in html
    # The card shows the report it asked for lately instead of asking again.
    assert "case template named &#39;sport&#39;" in client.get("/products/sedan:sport").text


@pytest.mark.parametrize(
    "path, expected",
    [
        (
            "/",
            [
                "sedan:sport",
                "Velmor Sedan Base",
                "cd 0.249 (22,100,000 cells, no band) against target 0.245 ±0.005: ok",
                "products/sedan/base/sedan.usda",
            ],
        ),
        (
            "/products/sedan:base",
            [
                "<h1>Velmor Sedan Base</h1>",
                "±0.005",
                "+0.004",
                'check ok">ok',
                "Full-scale wind tunnel",
                "dynamics capable",
                "1720 kg",
                'name="cd"',
            ],
        ),
        (
            "/products/sedan:sport/history",
            [
                "sedan-sport-0004",
                "failed",
                "5h14m",
                "cd 0.268",
                "<title>drag coefficient cd by run</title>",
                'aria-label="lift coefficient cl by run"',
                'class="band"',
            ],
        ),
        (
            "/products/sedan:base/range?cd=0.23",
            [
                "497.2 km, rank 2 of 5",
                "▶ Velmor Sedan Base",
                'class="bar mine"',
                "drivetrain_efficiency",
            ],
        ),
        ("/compare?a=sedan:base&b=sedan:sport", ["26 differences", "target_cd_tol", "+0.015"]),
        (
            "/products/sedan:base/solvers",
            [
                "aerodynamics: default openfoam → dispatch backend openfoam",
                "dynamics: default chrono → dispatch backend chrono",
            ],
        ),
    ],
)
def test_pages_show_the_key_values(client, path, expected):
    response = client.get(path)
    assert response.status_code == 200
    for text in expected:
        assert text in response.text


def test_solver_choice_lasts_for_the_session(client, capsys, workspace):
    csrf = token(client)
    chosen = client.post(
        "/api/products/sedan:base/solvers",
        data={"csrf_token": csrf, "domain": "aerodynamics", "backend": "xlb"},
    )
    assert chosen.json() == velmor_json(
        capsys, "solver", "set", "sedan:base", "aerodynamics", "xlb"
    )
    resolved = client.get("/api/products/sedan:base/solvers").json()
    assert resolved[0] == velmor_json(
        capsys, "solver", "resolve", "sedan:base", "aerodynamics", "--backend", "xlb"
    )
    other = make_client(workspace).get("/api/products/sedan:base/solvers").json()
    assert other[0]["dispatch_backend"] == "openfoam"


# ------------------------------------------------------------------ errors


@pytest.mark.parametrize(
    "method, path, data, status, message",
    [
        ("get", "/products/coupe", None, 404, "no product named &#39;coupe&#39;"),
        ("get", "/api/products/coupe/history", None, 404, "available products: hatch, sedan:base"),
        ("get", "/api/products/sedan.usda", None, 404, "products are named by identifier"),
        ("get", "/api/products/a:b:c", None, 404, "at most one &#39;:&#39;"),
        ("get", "/api/products/" + "a" * 300, None, 404, "at most 250 bytes"),
        ("get", "/products/sedan:" + "b" * 300 + "/history", None, 404, "at most 250 bytes"),
        (
            "get",
            "/api/products/sedan:base/range?cd=abc",
            None,
            422,
            "cd: not a number: &#39;abc&#39;",
        ),
        (
            "post",
            "/api/products/sedan:base/solvers",
            {"domain": "dynamics", "backend": "openfoam"},
            422,
            "Unknown backend &#39;openfoam&#39; for domain &#39;dynamics&#39;",
        ),
        ("get", "/nowhere", None, 404, "no page at /nowhere"),
    ],
)
def test_errors_carry_the_command_message_and_status(client, method, path, data, status, message):
    if data is not None:
        data = {**data, "csrf_token": token(client)}
    response = getattr(client, method)(path, **({"data": data} if data else {}))
    assert response.status_code == status
    if path.startswith("/api/"):
        assert message.replace("&#39;", "'") in response.json()["error"]
    else:
        assert message in response.text


def test_a_product_being_written_is_409(client, workspace, monkeypatch):
    usd = workspace / BASE_USD
    monkeypatch.setenv("VELMOR_LOCK_TIMEOUT", "0.05")  # the core waits this long
    held, release = threading.Event(), threading.Event()

    def hold():
        with product_lock(usd):
            held.set()
            release.wait(10)

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait(5)
    try:
        response = client.post(
            "/api/products/sedan:base/targets", data={"csrf_token": token(client), "cd": "0.3"}
        )
    finally:
        release.set()
        holder.join()
    assert response.status_code == 409
    assert "is being written by another process" in response.json()["error"]


# ------------------------------------------------------------ writing targets


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("cd", "abc", "not a number: &#39;abc&#39;"),
        ("cd", "nan", "not a finite number"),
        ("cd", "0", "a drag coefficient must be above 0"),
        ("cl_tolerance", "-0.1", "a tolerance must be 0 or more"),
    ],
)
def test_a_bad_target_is_shown_next_to_its_field_and_nothing_is_written(
    client, workspace, field, value, message
):
    before = settled_bytes(client, workspace)
    response = client.post(
        "/products/sedan:base/targets",
        data={"csrf_token": token(client), "cl": "0.5", field: value},
    )
    assert response.status_code == 422
    assert re.search(rf'id="f-{field}"[^>]*aria-invalid="true"', response.text, re.S)
    assert f'<span class="field-error" id="e-{field}">{message}' in response.text
    assert (workspace / BASE_USD).read_bytes() == before


def test_setting_a_target_shows_the_new_value_and_check(client):
    form = {"csrf_token": token(client), "cd": "0.24", "cl": "0.08", "cm_pitch": "-0.015"}
    form |= {"shown_cd": "0.245", "shown_cl": "0.08", "shown_cm_pitch": "-0.015"}
    response = client.post("/products/sedan:base/targets", data=form)
    assert response.status_code == 200 and response.url.path == "/products/sedan:base"
    assert (
        "cd  0.245 → 0.24" in response.text and "0.08 → 0.08" not in response.text
    )  # only what changed
    row = re.search(r'<tr id="row-cd">.*?</tr>', response.text, re.S).group(0)
    assert ">0.24<" in row and "+0.009" in row and 'check miss">miss' in row
    assert client.get("/api/products/sedan:base").json()["targets"]["cd"] == 0.24


@pytest.mark.parametrize(
    "headers, data", [({}, {}), ({}, {"csrf_token": "forged"}), ({"x-csrf-token": "forged"}, {})]
)
def test_writes_without_the_session_token_are_refused(client, workspace, headers, data):
    before = settled_bytes(client, workspace)
    client.get("/")
    response = client.post(
        "/api/products/sedan:base/targets", data={**data, "cd": "0.3"}, headers=headers
    )
    assert response.status_code == 403 and "token" in response.json()["error"]
    assert (workspace / BASE_USD).read_bytes() == before


@pytest.mark.parametrize("origin", ["http://evil.example", "null", "http://testserver.evil"])
@pytest.mark.parametrize(
    "path, extra",
    [
        ("/products/sedan:base/targets", {"shown_cd": "0.245"}),
        ("/api/products/sedan:base/targets", {}),
        ("/products/sedan:base/current", {"run": "run_0001"}),
    ],
)
def test_posts_from_another_origin_are_refused(client, workspace, origin, path, extra):
    before = settled_bytes(client, workspace)
    data = {"csrf_token": token(client), "cd": "0.3", **extra}
    response = client.post(path, data=data, headers={"origin": origin})
    assert response.status_code == 403 and "another site" in response.text
    assert (workspace / BASE_USD).read_bytes() == before
    same = client.post(path, data=data, headers={"origin": "http://testserver"})
    assert same.status_code != 403


def test_a_targets_form_without_what_it_showed_is_stale(client, workspace):
    before = settled_bytes(client, workspace)
    form = {"csrf_token": token(client), "cd": "0.3", "cl": "0.5", "shown_cd": "0.245"}
    response = client.post("/products/sedan:base/targets", data=form)
    assert response.status_code == 409 and "reload the page" in response.text
    assert (workspace / BASE_USD).read_bytes() == before


def test_read_only_hides_and_refuses_every_write(workspace):
    products = sorted((workspace / "products").rglob("*.usda"))
    before = [p.read_bytes() for p in products]  # geometry references not yet rewritten
    client = make_client(workspace, read_only=True)
    card = client.get("/products/sedan:base").text
    assert "Save targets" not in card and 'type="file"' not in card and "read-only" in card
    assert 'name="backend"' not in client.get("/products/sedan:base/solvers").text
    csrf = token(client)
    choice = {"csrf_token": csrf, "domain": "aerodynamics", "backend": "xlb"}
    for path, kwargs in [
        ("/products/sedan:base/targets", {"data": {"csrf_token": csrf, "cd": "0.3"}}),
        ("/api/products/sedan:base/targets", {"data": {"csrf_token": csrf, "cd": "0.3"}}),
        (
            "/api/products/sedan:base/geometry",
            {"data": {"csrf_token": csrf}, "files": {"stl": ("b.stl", b"x")}},
        ),
        ("/api/products/sedan:base/run", {"data": {"csrf_token": csrf}}),
        ("/products/sedan:base/solvers", {"data": choice}),
        ("/api/products/sedan:base/solvers", {"data": choice}),
    ]:
        assert client.post(path, **kwargs).status_code == 403
    for pid in ("hatch", "sedan:sport"):  # first loads: read as repaired, written never
        assert client.get(f"/api/products/{pid}/history").status_code == 200
    assert [p.read_bytes() for p in products] == before
    assert not (workspace / ".velmor" / "locks").exists()


# ------------------------------------------------------------------ uploads


@pytest.mark.parametrize(
    "name, size, status, message",
    [
        ("body.stl", 500, 200, None),
        ("body.obj", 500, 422, "Expected .stl file, got: .obj"),
        ("body.stl", 5000, 413, "upload too large"),
    ],
)
def test_geometry_upload_checks_and_size_limit(workspace, name, size, status, message):
    client = make_client(workspace, max_upload_bytes=2000)
    response = client.post(
        "/api/products/sedan:base/geometry",
        data={"csrf_token": token(client)},
        files={"stl": (name, b"s" * size)},
    )
    assert response.status_code == status, response.text
    kept = list((workspace / ".velmor" / "uploads").glob("*")) if status != 413 else []
    if status == 200:
        assert response.json()["status"] == "checked" and response.json()["size_mb"] == 0.0
    else:
        assert message in response.json()["error"]
    assert kept == []  # checked, never kept


def test_an_upload_without_a_declared_length_is_cut_at_the_limit(workspace):
    client = make_client(workspace, max_upload_bytes=2000)
    boundary = "b0undary"
    body = (
        f'--{boundary}\r\nContent-Disposition: form-data; name="csrf_token"\r\n\r\n'
        f"{token(client)}\r\n"
        f'--{boundary}\r\nContent-Disposition: form-data; name="stl"; filename="b.stl"\r\n\r\n'
    ).encode()
    chunks = [body] + [b"s" * 1000] * 5 + [f"\r\n--{boundary}--\r\n".encode()]
    response = client.post(
        "/api/products/sedan:base/geometry",
        content=iter(chunks),
        headers={"content-type": f"multipart/form-data; boundary={boundary}"},
    )
    assert response.status_code == 413
    assert not any((workspace / ".velmor" / "uploads").glob("*"))


def test_export_downloads_the_whole_product_or_its_file(client, workspace, tmp_path):
    from pxr import Usd

    response = client.get("/products/hatch/export")
    assert response.status_code == 200
    assert 'filename="hatch.usdz"' in response.headers["content-disposition"]
    (tmp_path / "hatch.usdz").write_bytes(response.content)
    stage = Usd.Stage.Open(str(tmp_path / "hatch.usdz"))  # on its own, away from the workspace
    assert stage.GetPrimAtPath("/Vehicle/Body").GetChildren()
    response = client.get("/products/hatch/export?format=usd")
    assert "attachment" in response.headers["content-disposition"]
    assert response.content == (workspace / "products/hatch/hatch.usda").read_bytes()


# ------------------------------------------------------------------ safety


def test_names_from_files_are_escaped(workspace):
    add_product(
        workspace,
        "evil",
        '    string vehicleName = "<script>alert(1)</script>"\n    double targetCd = 0.3',
    )
    client = make_client(workspace)
    for path in ("/", "/products/evil", "/products/evil/range?cd=0.3", "/compare?a=evil&b=hatch"):
        text = client.get(path).text
        assert "<script>alert" not in text and "&lt;script&gt;alert(1)" in text, path


def test_unknown_host_names_are_refused(client):
    assert client.get("/", headers={"host": "attacker.example"}).status_code == 400


# --------------------------------------------------------------- run panel


@pytest.mark.parametrize("field, value", [("iterations", "0"), ("ranks", "x"), ("ranks", "999")])
def test_the_run_form_and_the_command_refuse_with_the_same_words(
    client, workspace, capsys, field, value
):
    refused = client.post(
        "/api/products/hatch/run", data={"csrf_token": token(client), field: value}
    )
    assert refused.status_code == 422
    capsys.readouterr()
    with pytest.raises(SystemExit) as usage:
        cli.main(["prepare-cfd", "hatch", f"--{field}", value])
    assert usage.value.code == 2
    assert f"--{field}: {refused.json()['fields'][field]} (see" in capsys.readouterr().err


@pytest.mark.parametrize(
    "field, value, said",
    [("level", "quik", "must be one of"), ("backend", "openfom", "not a backend of"),
     ("template", "nope", "no such case template"), ("speed", "120", "432 km/h"),
     ("yaw", "95", "within -")],
)  # fmt: skip
def test_the_run_form_offers_the_choices_and_refuses_a_typo(client, field, value, said):
    page = client.get("/products/hatch/run").text
    assert '<option value="openfoam"' in page and "<option>fine</option>" in page
    assert "<option>motorBike</option>" in page and 'name="speed"' in page and 'name="yaw"' in page
    refused = client.post(
        "/api/products/hatch/run", data={"csrf_token": token(client), field: value}
    )
    assert refused.status_code == 422 and said in refused.json()["fields"][field]
    assert client.get("/api/products/hatch/run").json()["jobs"] == []  # nothing started


def test_an_unusable_workspace_is_503_on_the_web_and_status_1_on_the_command_line(tmp_path, capsys):
    message = "is not a velmor workspace: it has no products/ directory"
    response = make_client(tmp_path).get("/api/")
    assert response.status_code == 503 and message in response.json()["error"]
    assert cli.main(["--workspace", str(tmp_path), "products"]) == 1
    assert message in capsys.readouterr().err


def test_run_panel_without_the_simulation_module(client, monkeypatch):
    monkeypatch.setitem(sys.modules, "velmor_platform.cfd.api", None)
    assert "Simulation is not available" in client.get("/products/hatch/run").text
    response = client.post("/api/products/hatch/run", data={"csrf_token": token(client)})
    assert response.status_code == 501 and "not available" in response.json()["error"]


def test_run_panel_streams_progress_from_the_simulation(client, workspace, monkeypatch):
    calls = []

    def simulate(product, options, *, workspace, domain, backend, on_progress, cancel):
        calls.append(
            (product.name, workspace, domain, backend, options.level, options.ranks,
             options.iterations)
        )  # fmt: skip
        for i in (1, 2, 3):
            on_progress(
                {"stage": "solve", "iteration": i, "total": 3, "cd": 0.3 - i / 100, "elapsed_s": i}
            )
        return {"status": "completed", "cd": 0.27}

    monkeypatch.setattr(api, "simulate", simulate)  # the loop: OpenFOAM's side of the boundary

    bad = client.post("/products/hatch/run", data={"csrf_token": token(client), "iterations": "0"})
    assert bad.status_code == 422 and "must be 1 or more" in bad.text
    started = client.post(
        "/api/products/hatch/run",
        data={"csrf_token": token(client), "domain": "aerodynamics", "iterations": "3"},
    )
    assert started.status_code == 202
    with client.stream("GET", started.json()["events"]) as stream:
        body = "".join(stream.iter_text())
    events = [
        (m.group(1), json.loads(m.group(2)))
        for m in re.finditer(r"event: (\w+)\ndata: (.*)\n", body)
    ]
    assert [e for e, _ in events] == ["progress"] * 3 + ["done"]
    assert events[2][1] == {
        "stage": "solve",
        "iteration": 3,
        "total": 3,
        "cd": 0.27,
        "elapsed_s": 3,
    }
    assert events[3][1]["result"] == {"status": "completed", "cd": 0.27}
    assert calls == [("Velmor Hatch Prototype", workspace, "aerodynamics", None, "quick", 1, 3)]
    job = client.get(f"/jobs/{started.json()['job']}").text
    assert "finished" in job and "0.27" in job


# ------------------------------------------------------------------- serve


def test_serve_prints_its_url_and_answers_there(workspace):
    with serving(workspace, "--read-only") as url, urllib.request.urlopen(url + "api/") as response:
        assert [p["id"] for p in json.load(response)] == ["hatch", "sedan:base", "sedan:sport"]


def test_serve_refuses_another_host_without_the_explicit_flag(workspace, capsys):
    assert cli.main(["serve", "--host", "0.0.0.0"]) == 1
    assert "needs --allow-remote" in capsys.readouterr().err


def test_prepare_and_cancel_reach_the_simulation_module(client, monkeypatch):
    seen = {}

    def prepare_case(product, options, *, workspace):
        seen["prepare"] = options.level
        return {"case": "ready"}

    def simulate(product, options, *, workspace, on_progress=None, cancel=None, **where):
        on_progress({"stage": "mesh", "iteration": 0, "total": 10, "cd": None, "elapsed_s": 0.1})
        seen["cancelled"] = cancel.wait(10)
        return {"status": "cancelled"}

    monkeypatch.setattr(api, "simulate", simulate)
    monkeypatch.setattr(api, "prepare_case", prepare_case)
    csrf = token(client)

    prepared = client.post(
        "/api/products/hatch/run", data={"csrf_token": csrf, "action": "prepare"}
    )
    with client.stream("GET", prepared.json()["events"]) as stream:
        assert '"case": "ready"' in "".join(stream.iter_text())
    assert seen["prepare"] == "quick"

    job = client.post("/api/products/hatch/run", data={"csrf_token": csrf}).json()["job"]
    assert client.post("/api/products/hatch/run", data={"csrf_token": csrf}).status_code == 409
    assert client.post(f"/api/jobs/{job}/cancel", data={"csrf_token": csrf}).json()["cancelled"]
    with client.stream("GET", f"/api/jobs/{job}/events") as stream:
        body = "".join(stream.iter_text())
    assert "event: progress" in body and '"stage": "mesh"' in body and "event: done" in body
    assert seen["cancelled"] is True


@pytest.mark.parametrize(
    "edit, status, cl_after", [({"cd": "0.3"}, 303, 0.2), ({"cl": "0.5"}, 409, 0.2)]
)
def test_a_stale_targets_form_loses_no_one_elses_change(workspace, edit, status, cl_after):
    """A loads the card, B sets cl through the API, A submits the form."""
    a, b = make_client(workspace), make_client(workspace)
    card = a.get("/products/sedan:base").text
    fields = dict(re.findall(r'<input[^>]*?name="([a-z_]+)"[^>]*?value="([^"]*)"', card))
    assert fields["shown_cl"] == fields["cl"] == "0.08"
    b.post("/api/products/sedan:base/targets", data={"csrf_token": token(b), "cl": "0.2"})
    form = {**fields, **edit, "csrf_token": token(a)}
    response = a.post("/products/sedan:base/targets", data=form, follow_redirects=False)
    assert response.status_code == status
    targets = b.get("/api/products/sedan:base").json()["targets"]
    assert targets["cl"] == cl_after and targets["cd"] == (0.3 if status == 303 else 0.245)


def test_requests_without_a_cookie_create_no_session(workspace):
    app = create_app(workspace, allowed_hosts=["testserver"])
    mine, strangers = TestClient(app), TestClient(app)
    csrf = token(mine)
    for i in range(1001):  # more than the store holds
        response = strangers.get("/static/style.css" if i % 2 else "/products/sedan:base/history")
        assert "set-cookie" not in response.headers
        strangers.cookies.clear()
    assert "set-cookie" in strangers.get("/products/sedan:base").headers  # a page with forms
    post = mine.post("/api/products/sedan:base/targets", data={"csrf_token": csrf, "cl": "0.09"})
    assert post.status_code == 200, post.text


def test_a_failing_template_server_is_asked_once_and_shown_as_such(workspace, tmp_path):
    starts = tmp_path / "starts"
    config = {"servers": {"openfoam": {"command": ["sh", "-c", f"echo x >> {starts}; exit 3"]}}}
    (workspace / "mcp.json").write_text(json.dumps(config))
    app = create_app(workspace, allowed_hosts=["testserver"])
    pages = ["/products/sedan:base/capabilities", "/products/sedan:base/capabilities?fragment=1"]
    results = []

    def get(path):
        results.append(TestClient(app).get(path))

    threads = [threading.Thread(target=get, args=(pages[i % 2],)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    card = TestClient(app).get("/products/sedan:base")
    assert [r.status_code for r in results] + [card.status_code] == [200] * 9
    assert all("could not be asked for its case templates" in r.text for r in [*results, card])
    assert starts.read_text().count("x") == 1
