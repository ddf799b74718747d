"""The ``velmor`` command, driven as a subprocess on copies of the sample
workspace: exit codes, output streams, --json round-trips and error lines."""

import argparse
import io
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmor_platform
from velmor_platform.cli import build_parser, main, render
from velmor_platform.core.product_core import ProductCore

SAMPLE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform" / "sample_workspace"
# The subprocesses import the package from where this process found it
# (an installed wheel or the source tree), whatever their working directory.
PACKAGE_PARENT = str(Path(os.path.abspath(velmor_platform.__file__)).parents[1])


def velmor(*args, workspace=None, env=None, cwd=None):
    """Run ``python -m velmor_platform ARGS``; the workspace comes from the
    environment, as it would for a user."""
    full_env = dict(os.environ)
    full_env.pop("VELMOR_WORKSPACE", None)
    full_env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])
    )
    if workspace is not None:
        full_env["VELMOR_WORKSPACE"] = str(workspace)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "velmor_platform", *map(str, args)],
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=60,
    )


def as_json(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return json.loads(result.stdout)


def plain(value):
    """What a value looks like after a JSON round-trip."""
    return json.loads(json.dumps(render.jsonable(value)))


@pytest.fixture
def ws(tmp_path, monkeypatch):
    root = tmp_path / "ws"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.setenv("VELMOR_WORKSPACE", str(root))  # for the in-process comparisons
    return root


def add_product(ws, name, body):
    d = ws / "products" / name
    d.mkdir(parents=True)
    (d / f"{name}.usda").write_text(
        '#usda 1.0\n(\n    defaultPrim = "Vehicle"\n)\n\ndef Xform "Vehicle"\n{\n' + body + "\n}\n"
    )
    return d / f"{name}.usda"


# ------------------------------------------------------------ JSON round-trips


@pytest.mark.parametrize(
    "args, expected",
    [
        (["history", "sedan:sport"], lambda: ProductCore.load("sedan:sport").history()),
        (["solvers"], lambda: ProductCore.solvers()),
        (["solvers", "aero"], lambda: ProductCore.solver("aero")),
        (
            ["diff", "sedan:base", "hatch"],
            lambda: ProductCore.load("sedan:base").diff(ProductCore.load("hatch")),
        ),
        (
            ["range", "sedan:base", "--cd", "0.27"],
            lambda: ProductCore.load("sedan:base").range_competitiveness(0.27),
        ),
        (["export", "hatch"], lambda: ProductCore.load("hatch").export()),
    ],
)
def test_json_is_what_the_core_returns(ws, args, expected):
    assert as_json(velmor(*args, "--json", workspace=ws)) == plain(expected())


def test_show_json_holds_every_view_of_the_product(ws):
    p = ProductCore.load("sedan:base")
    data = as_json(velmor("show", "sedan:base", "--json", workspace=ws))
    # Additions: the current run and each coefficient's check with its band.
    assert data.pop("current_run")["run_id"] == "sedan-base-0002"
    assert data.pop("yaw_sweep") is None  # no yawed run
    assert data.pop("checks")["cd"] == {
        "status": "ok",
        "low": 0.249,
        "high": 0.249,
        "banded": False,
        "grid_estimate": True,
        "label": "ok (no band)",
    }
    assert data == plain(
        {
            "metadata": p.metadata("show"),
            "usd_path": p.usd_path,
            "has_dynamics": True,
            "specs": p.specs,
            "targets": p.targets,
            "benchmarks": p.benchmarks,
            "current": p.current,
            "default_targets": [],
        }
    )
    assert list(data["targets"]) == list(p.targets)  # key order survives


def test_products_lists_identifiers_names_and_files(ws, sample_products):
    data = as_json(velmor("products", "--json", workspace=ws))
    assert [e["id"] for e in data] == sample_products
    for e in data:
        assert ProductCore.load(e["id"]).usd_path == Path(e["path"])
        assert e["name"] == ProductCore.load(e["id"]).name


def test_global_options_work_before_and_after_the_command(ws, tmp_path):
    after = velmor("export", "hatch", "--json", "--workspace", ws, workspace=tmp_path / "missing")
    before = velmor("--json", "--workspace", ws, "export", "hatch", workspace=tmp_path / "missing")
    assert (
        as_json(after)
        == as_json(before)
        == {"format": "USD", "path": str(ws / "products/hatch/hatch.usda")}
    )


def test_product_can_be_named_by_file_path(ws):
    data = as_json(velmor("show", ws / "products/sedan/sport/sedan.usda", "--json", workspace=ws))
    assert data["metadata"]["product_id"] == "sedan:sport"


def test_capabilities_asks_the_template_server(ws):
    # hatch has a template of its own name but is too light for dynamics.
    data = as_json(velmor("capabilities", "hatch", "--json", workspace=ws))
    installed = data.pop("installed")  # beside the core's records
    assert {d: (e["available"], e["solver"]) for d, e in data.items()} == {
        "aerodynamics": (True, "openfoam"),
        "dynamics": (False, "chrono"),
    }
    # The core says dynamics runs on chrono; installed when the Chrono runner was built.
    from velmor_platform.dynamics.runner import about

    assert installed["dynamics"]["installed"] is ("problem" not in about())
    assert installed["aerodynamics"]["installed"] is bool(shutil.which("simpleFoam"))
    # stderr was empty (checked by as_json): no spinner when it is not a terminal.


def test_solvers_say_which_version_runs_here(ws):
    from velmor_platform.cfd.runner import openfoam_install

    here = (openfoam_install().version or "yes") if shutil.which("simpleFoam") else "no"
    for args, line in ((["solvers"], "aerodynamics"), (["solvers", "aero"], "openfoam *")):
        shown = next(
            x for x in velmor(*args, workspace=ws).stdout.splitlines() if x.startswith(line)
        )
        assert "v2406" in shown and f" {here} " in f"{shown} "  # the registry's, and what runs here


# ------------------------------------------------------------- solver choice


@pytest.mark.parametrize(
    "domain, backend, dispatch",
    [
        ("aerodynamics", "xlb", "xlb"),
        ("aero", "auto", "openfoam"),
        ("dynamics", "auto", "chrono"),
        ("aerodynamics", "surrogate", "openfoam"),
    ],
)
def test_solver_set_shows_selection_and_dispatch_backend(ws, domain, backend, dispatch):
    data = as_json(velmor("solver", "set", "sedan:base", domain, backend, "--json", workspace=ws))
    assert data["status"] == "selected"
    assert data["dispatch_backend"] == dispatch


def test_solver_choice_is_per_command(ws):
    velmor("solver", "set", "sedan:base", "aerodynamics", "domino", workspace=ws)
    data = as_json(
        velmor("solver", "resolve", "sedan:base", "aerodynamics", "--json", workspace=ws)
    )
    assert data["selected"] == data["dispatch_backend"] == "openfoam"
    text = velmor(
        "solver", "resolve", "sedan:base", "aerodynamics", "--backend", "domino", workspace=ws
    ).stdout
    assert text.strip().endswith("dispatch backend domino")


# ------------------------------------------------------------------ authoring


def test_targets_set_writes_the_file_and_reports_old_and_new(ws):
    result = velmor(
        "targets", "set", "sedan:base", "--cd", "0.24", "--cl-tolerance", "0.03", workspace=ws
    )
    assert result.returncode == 0, result.stderr
    assert re.search(r"cd\s+0\.245 \S+ 0\.24\b", result.stdout)
    assert re.search(r"target_cl_tol\s+0\.02 \S+ 0\.03\b", result.stdout)
    assert "targetCd = 0.24" in (ws / "products/sedan/base/sedan.usda").read_text()
    targets = as_json(velmor("show", "sedan:base", "--json", workspace=ws))["targets"]
    assert (targets["cd"], targets["target_cl_tol"], targets["cl"]) == (0.24, 0.03, 0.08)


def test_targets_set_json_is_the_reply(ws):
    data = as_json(
        velmor(
            "--json",
            "targets",
            "set",
            "hatch",
            "--cm-tolerance",
            "0.02",
            "--cm-pitch",
            "-0.01",
            workspace=ws,
        )
    )
    assert data == {"status": "updated", "targets": {"cm_pitch": -0.01, "cm_tolerance": 0.02}}


@pytest.mark.parametrize(
    "option, value, attribute",
    [("--cl", "0.1", "targetCl"), ("--cd-tolerance", "0.01", "targetCdTolerance")],
)
def test_targets_set_makes_a_target_the_product_lacks(ws, option, value, attribute):
    usd = add_product(ws, "coupe", "    double targetCd = 0.3")
    result = velmor("targets", "set", "coupe", "--cd", "0.29", option, value, workspace=ws)
    assert (result.returncode, result.stderr) == (0, "")
    text = usd.read_text()
    assert "targetCd = 0.29" in text and f"double {attribute} = {value}" in text


def test_geometry_accepts_an_stl_and_reports_its_size(ws, tmp_path):
    stl = tmp_path / "Body.STL"
    stl.write_bytes(b"\0" * 1_234_567)
    data = as_json(velmor("geometry", "hatch", stl, "--json", workspace=ws))
    assert (data["status"], data["path"], data["size_mb"]) == ("checked", str(stl), 1.23)
    assert data["stored"] is False and "velmor variant hatch NAME" in data["note"]


def test_init_seeds_a_new_workspace_and_refuses_a_used_one(tmp_path):
    target = tmp_path / "new" / "ws"
    result = velmor("init", target, workspace=tmp_path / "elsewhere")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{target}\n"
    assert "VELMOR_WORKSPACE" in result.stderr  # the hint is not a result
    assert [e["id"] for e in as_json(velmor("--workspace", target, "products", "--json"))] == [
        "hatch",
        "sedan:base",
        "sedan:sport",
    ]
    again = velmor("--workspace", target, "init")
    assert again.returncode == 1 and "not empty" in again.stderr


# ------------------------------------------------------------- text output


def test_show_sets_targets_benchmarks_and_results_side_by_side(ws):
    out = velmor("show", "sedan:base", workspace=ws).stdout
    assert out.startswith("Velmor Sedan Base (sedan:base)\n")
    row = next(line.split() for line in out.splitlines() if line.split()[:1] == ["cd"])
    assert row == ["cd", "0.245", "±0.005", "0.252", "0.249", "no", "band", "+0.004", "ok"]


def test_history_charts_cd_over_the_runs(ws):
    out = velmor("history", "sedan:sport", workspace=ws).stdout
    assert "4 runs" in out.splitlines()[0]
    bars = [
        line.split() for line in out.split("cd by run")[1].splitlines()[1:] if "sedan-sport" in line
    ]
    assert [b[:2] for b in bars] == [["sedan-sport-0001", "0.268"], ["sedan-sport-0002", "0.264"]]
    assert len(bars[0][2]) > len(bars[1][2])  # the bar shrinks with cd
    assert re.search(r"trend \S+\s+0\.268 \S+ 0\.264 \(-0\.004 over 2 runs\)", out)


def test_range_draws_the_field_longest_range_first(ws):
    out = velmor("range", "sedan:base", "--cd", "0.25", workspace=ws).stdout
    rows = [line for line in out.splitlines() if line.endswith(" km")]
    kms = [float(line.split()[-2]) for line in rows]
    bars = [max(line.split(), key=len) for line in rows]
    assert len(rows) == 5 and kms == sorted(kms, reverse=True)
    assert [len(b) for b in bars] == sorted((len(b) for b in bars), reverse=True)
    mine = [line for line in rows if "Velmor Sedan Base" in line]
    assert mine[0].startswith("▶") and rows.index(mine[0]) == 2  # rank 3 of 5
    assert "rank 3 of 5" in out


def test_ascii_terminal_gets_ascii_charts(ws):
    result = velmor("history", "hatch", workspace=ws, env={"PYTHONIOENCODING": "ascii"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.isascii() and "#" in result.stdout


# -------------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "args, message",
    [
        (["show", "coupe"], "no product named 'coupe'"),
        (["show", "products/x.usda"], "no such product file: products/x.usda"),
        (
            ["solver", "set", "hatch", "dynamics", "openfoam"],
            "Unknown backend 'openfoam' for domain 'dynamics'. Options: ['auto', 'chrono']",
        ),
        (["solver", "set", "hatch", "aeor", "xlb"], "unknown domain 'aeor'"),
        (["solvers", "thermal"], "unknown domain 'thermal'"),
        (["export", "hatch", "--format", "stl"], "Unknown format: stl. Supported: usd, usdz"),
        (["geometry", "hatch", "missing.obj"], "STL not found: missing.obj"),
        (["geometry", "hatch", "products/hatch/hatch.usda"], "Expected .stl file, got: .usda"),
        (["--workspace", "nowhere", "products"], "workspace "),
    ],
)
def test_failures_are_one_line_on_stderr_with_status_1(ws, args, message):
    result = velmor(*args, workspace=ws, cwd=ws)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("velmor: error: ") and result.stderr.count("\n") == 1
    assert message in result.stderr


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["bogus"],
        ["show"],
        ["solver", "set", "hatch", "aero"],
        ["targets", "set", "hatch"],
        ["range", "hatch", "--cd", "fast"],
        ["range", "hatch", "--cd", "nan"],
    ],
)
def test_usage_errors_are_one_line_with_status_2(ws, args):
    result = velmor(*args, workspace=ws)
    assert result.returncode == 2
    assert result.stdout == ""
    assert re.fullmatch(r"velmor[a-z ]*: error: .+ \(see 'velmor[a-z ]* --help'\)\n", result.stderr)


def test_unreadable_product_does_not_hide_the_others(ws):
    (ws / "products/broken").mkdir()
    (ws / "products/broken/broken.usda").write_text("not usd\n")
    result = velmor("products", workspace=ws)
    assert result.returncode == 0
    assert "sedan:sport" in result.stdout and "unreadable" in result.stdout
    assert result.stderr.startswith("velmor: warning: cannot read broken: ")


# --------------------------------------------------- help, version, packaging


def _command_paths(parser, prefix=()):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                yield (*prefix, name)
                yield from _command_paths(sub, (*prefix, name))


def test_every_command_has_help_with_examples(capsys):
    paths = [(), *_command_paths(build_parser())]
    assert ("solver", "resolve") in paths and ("targets", "set") in paths
    for path in paths:
        with pytest.raises(SystemExit) as exit_:
            main([*path, "--help"])
        assert exit_.value.code == 0
        assert "examples:" in capsys.readouterr().out, path


def test_version():
    result = velmor("--version")
    assert (result.returncode, result.stdout) == (0, "velmor 0.1.0\n")


def test_console_script_is_declared():
    from importlib import metadata

    try:
        dist = metadata.distribution("velmor_platform")
    except metadata.PackageNotFoundError:
        pytest.skip("velmor_platform is not installed")
    scripts = {ep.name: ep.value for ep in dist.entry_points if ep.group == "console_scripts"}
    assert scripts.get("velmor") == "velmor_platform.cli:main"


# ------------------------------------------------------------- rendering


@pytest.mark.parametrize(
    "value, lo, hi, width, expected",
    [
        (10, 0, 10, 4, "████"),
        (0, 0, 10, 4, ""),
        (5, 0, 10, 4, "██"),
        (1, 0, 16, 4, "▎"),  # a quarter of one cell
        (50, 0, 10, 4, "████"),  # clipped to the scale
        (3, 3, 3, 4, "████"),  # a one-value scale fills the bar
    ],
)
def test_bar(value, lo, hi, width, expected):
    assert render.bar(value, lo, hi, width, render._FANCY) == expected


def test_sparkline_spans_lowest_to_highest():
    assert render.sparkline([0.3, 0.2, 0.25], render._FANCY) == "█▁▅"
    assert render.sparkline([0.3, 0.3], render._FANCY) == "▅▅"


def test_json_values_are_valid_json():
    assert render.jsonable(
        {"p": Path("/a/b"), "t": ("x", None), "n": float("nan"), "s": {"b", "a"}}
    ) == {"p": "/a/b", "t": ["x", None], "n": None, "s": ["a", "b"]}


class _Terminal(io.StringIO):
    encoding = "utf-8"

    def isatty(self):
        return True


def test_spinner_draws_only_on_a_terminal_and_clears_its_line():
    term, pipe = _Terminal(), io.StringIO()
    for stream in (term, pipe):
        with render.Spinner("waiting", stream):
            pass
    assert pipe.getvalue() == ""
    drawn = term.getvalue()
    assert "waiting" in drawn and drawn.endswith("\r" + " " * len("  waiting") + "\r")


@pytest.mark.parametrize(
    "args, status, said, cd_tol",
    [
        (["targets", "set", "sedan:base", "--cd", "28"], 2, "cd 28 is not plausible", 0.005),
        (["targets", "set", "sedan:base", "--cd", "2.8", "--allow-implausible"], 0, "2.8", 0.005),
        (["targets", "set", "sedan:base", "--cd-tolerance", "0.004"], 0, "0.005 → 0.004", 0.004),
        (["targets", "set", "sedan:base", "--cd-tolerance", "-1"], 2, "0 or more", 0.005),
        (["prepare-cfd", "sedan:base", "--speed", "120"], 2, "432 km/h", 0.005),
    ],
)
def test_mistyped_values_are_refused_and_deliberate_ones_pass(
    workspace, args, status, said, cd_tol
):
    result = velmor(*args, workspace=workspace)
    assert result.returncode == status, result.stderr
    assert said in (result.stdout if status == 0 else result.stderr)
    shown = json.loads(velmor("--json", "show", "sedan:base", workspace=workspace).stdout)
    assert shown["targets"]["target_cd_tol"] == cd_tol


def test_fallback_dynamics_targets_are_marked_as_defaults(ws):
    add_product(
        ws, "van", "    double mass = 2100\n    double wheelbase = 3.2\n    double targetCd = 0.3"
    )
    data = as_json(velmor("show", "van", "--json", workspace=ws))
    assert data["default_targets"] == ["lateral_g", "yaw_rate_dps", "roll_angle_deg"]
    text = velmor("show", "van", workspace=ws).stdout
    assert "0.8 (default)" in text and "the core's fallback is shown" in text
