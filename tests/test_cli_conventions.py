"""What a user of ``velmor`` sees when things go wrong or come from
elsewhere: broken server configurations, Ctrl-C, workspace discovery, value
rules, messages. Every case runs the command as a subprocess."""

import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from child_process import stop
from test_cli import PACKAGE_PARENT, SAMPLE, add_product, velmor


@pytest.fixture
def ws(tmp_path):
    import shutil

    root = tmp_path / "ws"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns("__pycache__"))
    return root


def configure(ws, config):
    (ws / "mcp.json").write_text(config if isinstance(config, str) else json.dumps(config))


def one_line(stderr):
    return stderr.count("\n") == 1


# ------------------------------------------------------------- server failures

HUNG = {"command": "python", "args": ["-c", "import time; time.sleep(60)"], "timeout": 1.5}


@pytest.mark.parametrize(
    "config, reason",
    [
        ('{"servers": {"openfoam": {"command": ["python"],}}}', "mcp.json is not valid JSON"),
        ({"servers": {"openfoam": {"command": ["python"], "shell": True}}}, "unknown key 'shell'"),
        (
            {"mcpServers": {"openfoam": {"command": "velmor-no-such-server"}}},
            "cannot start MCP server 'openfoam'",
        ),
        (
            {"mcpServers": {"openfoam": {"url": "http://127.0.0.1:9/mcp", "timeout": 20}}},
            "cannot reach MCP server 'openfoam' at http://127.0.0.1:9/mcp",
        ),
        ({"mcpServers": {"openfoam": HUNG}}, "did not complete the handshake within 1.5 s"),
    ],
    ids=["trailing-comma", "unknown-key", "missing-binary", "unreachable-url", "hung"],
)
def test_a_failed_template_query_names_its_reason(ws, config, reason):
    configure(ws, config)
    text = velmor("capabilities", "hatch", workspace=ws)
    assert text.returncode == 1
    assert text.stderr.startswith("velmor: warning: openfoam server: ") and one_line(text.stderr)
    assert reason in text.stderr
    assert "lists no case template" not in text.stdout and "could not be asked" in text.stdout
    data = json.loads(velmor("--json", "capabilities", "hatch", workspace=ws).stdout)
    assert reason in data.pop("openfoam_server")["error"]
    assert set(data) == {"aerodynamics", "dynamics", "installed"}  # installed: beside the records
    assert data["aerodynamics"]["available"] is False


def test_host_form_config_works_and_server_stderr_goes_to_a_log(ws):
    configure(
        ws,
        {
            "mcpServers": {
                "openfoam": {
                    "command": "python",
                    "args": ["-m", "velmor_platform.mcp.openfoam_server"],
                    "env": {"X": "1"},
                }
            }
        },
    )
    data = json.loads(velmor("--json", "capabilities", "hatch", workspace=ws).stdout)
    assert data["aerodynamics"]["available"] is True
    # A server writing garbage: one line for the user, its stderr in the log.
    garbage = "import sys\nfor i in range(1000):\n print(i)\n print('oops', i, file=sys.stderr)"
    configure(
        ws,
        {"mcpServers": {"openfoam": {"command": "python", "args": ["-c", garbage], "timeout": 5}}},
    )
    result = velmor("capabilities", "hatch", workspace=ws)
    assert result.returncode == 1 and one_line(result.stderr)
    log = ws / ".velmor" / "logs" / "mcp-openfoam.log"
    assert f"(server log: {log})" in result.stderr
    assert "oops 999" in log.read_text()


# ------------------------------------------------------------------- Ctrl-C


def _interrupt_when(ws, args, ready, sigint=signal.SIG_DFL):
    # The child gets Ctrl-C as a terminal would give it (`sigint`), whatever
    # this process inherited: a shell's background job starts with it ignored.
    proc = subprocess.Popen(
        [sys.executable, "-m", "velmor_platform", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "VELMOR_WORKSPACE": str(ws), "PYTHONPATH": PACKAGE_PARENT},
        preexec_fn=lambda: signal.signal(signal.SIGINT, sigint),
    )
    try:
        deadline = time.monotonic() + 30
        while not ready(proc) and time.monotonic() < deadline:
            time.sleep(0.002)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        stop(proc)
    return proc.returncode, out, err, time.monotonic() - sent


def _openusd_loading(proc):
    try:
        with open(f"/proc/{proc.pid}/maps") as maps:
            return "libusd_" in maps.read()
    except OSError:
        return True


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc to see OpenUSD load")
@pytest.mark.parametrize("sigint", [signal.SIG_DFL, signal.SIG_IGN], ids=["default", "ignored"])
def test_ctrl_c_while_openusd_loads_writes_nothing(ws, sigint):
    usd = ws / "products/sedan/base/sedan.usda"
    before = usd.read_bytes()
    code, out, err, _ = _interrupt_when(
        ws, ["targets", "set", "sedan:base", "--cd", "0.2"], _openusd_loading, sigint
    )
    if sigint is signal.SIG_IGN:  # a background job: the write goes through
        assert code == 0 and "targetCd = 0.2" in usd.read_text()
        return
    assert (code, out, err.strip()) == (130, "", "velmor: interrupted")
    assert usd.read_bytes() == before


def test_ctrl_c_during_the_template_query_stops_at_once(ws):
    configure(ws, {"mcpServers": {"openfoam": dict(HUNG, timeout=30)}})
    started = time.monotonic()
    code, out, err, after = _interrupt_when(
        ws, ["capabilities", "hatch"], lambda p: time.monotonic() - started > 2.5
    )
    assert (code, out, err.strip()) == (130, "", "velmor: interrupted")
    assert after < 2.0  # cancelled well within the 30 s limit (0.5 s plus a loaded machine)


# -------------------------------------------------------------- workspaces


def test_workspace_found_from_a_subdirectory(tmp_path):
    env = {"HOME": str(tmp_path / "home"), "XDG_DATA_HOME": ""}
    assert velmor("init", tmp_path / "mine", env=env).returncode == 0
    inside = tmp_path / "mine" / "products" / "sedan"
    listed = json.loads(velmor("--json", "products", cwd=inside, env=env).stdout)
    assert listed[0]["path"].startswith(str(tmp_path / "mine"))
    assert velmor("targets", "set", "hatch", "--cd", "0.3", cwd=inside, env=env).returncode == 0
    assert "targetCd = 0.3" in (tmp_path / "mine/products/hatch/hatch.usda").read_text()
    assert not (tmp_path / "home").exists()  # the per-user workspace was never touched


def test_an_older_workspace_is_marked_on_its_next_write(ws):
    assert not (ws / ".velmor" / "workspace").exists()
    assert velmor("targets", "set", "hatch", "--cd", "0.3", workspace=ws).returncode == 0
    assert (ws / ".velmor" / "workspace").is_file()


@pytest.mark.parametrize(
    "env, message",
    [
        ({"HOME": "", "XDG_DATA_HOME": ""}, "HOME is empty"),
        ({"VELMOR_WORKSPACE": "{file}"}, "(from VELMOR_WORKSPACE) is not a directory"),
    ],
)
def test_workspace_that_cannot_be_used_is_one_clear_line(tmp_path, env, message):
    (tmp_path / "file").write_text("x")
    env = {k: v.format(file=tmp_path / "file") for k, v in env.items()}
    result = velmor("products", env=env, cwd=tmp_path)
    assert result.returncode == 1 and one_line(result.stderr) and message in result.stderr
    assert not os.path.exists("/.local/share/velmor")


# -------------------------------------------------------------- value rules


@pytest.mark.parametrize(
    "args, message",
    [
        (["targets", "set", "hatch", "--cd", "-5"], "cd must be greater than 0"),
        (["targets", "set", "hatch", "--cd", "0"], "cd must be greater than 0"),
        (["targets", "set", "hatch", "--cl", "inf"], "cl must be a finite number"),
        (["targets", "set", "hatch", "--cl-tolerance", "-1"], "must be 0 or more"),
        (["range", "hatch", "--cd", "-1"], "cd must be greater than 0"),
    ],
)
def test_values_follow_one_set_of_rules(ws, args, message):
    before = (ws / "products/hatch/hatch.usda").read_bytes()
    result = velmor(*args, workspace=ws)
    assert result.returncode == 2 and one_line(result.stderr) and message in result.stderr
    assert (ws / "products/hatch/hatch.usda").read_bytes() == before


# ----------------------------------------------------------------- messages


@pytest.mark.parametrize(
    "args, expected",
    [
        (["shwo", "hatch"], "did you mean 'show'?"),
        (["show", "hatch", "--jsno"], "did you mean '--json'?"),
        (["--frob", "products"], "unrecognized arguments: --frob"),
    ],
)
def test_usage_errors_suggest_the_near_miss(ws, args, expected):
    result = velmor(*args, workspace=ws)
    assert result.returncode == 2 and one_line(result.stderr) and expected in result.stderr


def test_strings_from_files_cannot_drive_the_terminal(ws):
    add_product(
        ws,
        "evil",
        '    string vehicleName = "\\x1b[2J\\rfake line\\nvelmor: ok"\n    double mass = 900',
    )
    for args in (["show", "evil"], ["products"]):
        out = velmor(*args, workspace=ws).stdout
        assert "\x1b" not in out and "\r" not in out
        assert "\\x1b[2J\\x0dfake line\\x0avelmor: ok" in out


def test_openusd_and_geometry_errors_are_one_sentence(ws, tmp_path):
    (ws / "products/junk").mkdir()
    (ws / "products/junk/junk.usda").write_text("garbage {{{\n")
    result = velmor("show", "junk", workspace=ws)
    assert one_line(result.stderr) and "pxrInternal" not in result.stderr
    assert f"{ws}/products/junk/junk.usda is not a valid usda layer" in result.stderr
    assert "Traceback" in velmor("--debug", "show", "junk", workspace=ws).stderr
    (tmp_path / "body").write_bytes(b"solid")
    result = velmor("geometry", "hatch", tmp_path / "body", workspace=ws)
    assert "a name without an extension" in result.stderr and "*.stl" in result.stderr


# --------------------------------------------------------- doctor, completion


def test_doctor_reports_each_check(ws):
    result = velmor("--json", "doctor", workspace=ws)
    checks = {c["name"]: c for c in json.loads(result.stdout)}
    assert checks["workspace"]["ok"] and checks["mcp.json"]["ok"] and checks["OpenUSD"]["ok"]
    assert (
        checks["server openfoam"]["ok"] and "list_templates" in checks["server openfoam"]["detail"]
    )
    configure(ws, {"servers": {"openfoam": {"command": ["python"], "url": "http://x/mcp"}}})
    text = velmor("doctor", workspace=ws)
    assert text.returncode == 1
    assert any(
        line.startswith("problem  mcp.json") and "fix:" in line for line in text.stdout.splitlines()
    )


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_completion_script(shell):
    script = velmor("completion", shell).stdout
    assert (
        "complete -o filenames -F _velmor_complete velmor" in script
        and '"solver") words="' in script
    )
    if shell == "bash" and subprocess.run(["bash", "-n"], input=script, text=True).returncode != 0:
        pytest.fail("bash rejects the completion script")


def test_http_server_failures_are_one_line():
    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", "velmor_platform.mcp.openfoam_server", *args],
            capture_output=True,
            text=True,
            timeout=60,
            env={**os.environ, "PYTHONPATH": PACKAGE_PARENT},
        )

    with socket.create_server(("127.0.0.1", 0)) as busy:
        port = str(busy.getsockname()[1])
        for args, message in [
            (["--workspace", str(SAMPLE), "--http", "--port", port], "is in use"),
            (
                [
                    "--workspace",
                    str(SAMPLE),
                    "--http",
                    "--host",
                    "nosuch.invalid",
                    "--allow-remote",
                ],
                "cannot serve",
            ),
            (["--workspace", "/nonexistent/ws"], "does not exist"),
        ]:
            result = run(*args)
            assert result.returncode == 1 and one_line(result.stderr) and message in result.stderr


def test_tables_align_by_display_width():
    from velmor_platform.cli import render

    rows = [["日本車", "0.3"], ["Kestrel", "0.29"], ["Zoe\u0301", "0.31"]]
    lines = render.table(["NAME", "CD"], rows)
    assert [render.width(line[: line.rindex(" ") + 1]) for line in lines] == [9] * 4


@pytest.mark.parametrize(
    "identifier, case",
    [("hatch", "/w/cases/hatch/x"), ("it's", "/w/cases/it's/x y"), ("a$(touch b)", "/w/`id`/c")],
)
def test_case_commands_are_shell_quoted(identifier, case):
    import shlex

    from velmor_platform.cli.outcome import case_commands, case_hint

    commands = case_commands(identifier, Path(case))
    assert shlex.split(commands["run"]) == [f"{case}/Allrun"]
    assert shlex.split(commands["slurm"]) == ["cd", case, "&&", "sbatch", "job.slurm"]
    assert shlex.split(commands["record"]) == ["velmor", "record-cfd", identifier, case]
    assert commands["record"] in case_hint(identifier, Path(case))


def test_sparkline_is_bounded_and_stage_lines_say_when_they_started():
    import io

    from velmor_platform.cli.commands.simulation import ProgressLine
    from velmor_platform.cli.render import SPARK_WIDTH, sparkline

    line = sparkline([i / 10_000 for i in range(10_000)])
    assert len(line) == SPARK_WIDTH and line == "".join(sorted(line))  # rising, 40 wide
    assert len(sparkline([0.3, 0.2])) == 2
    out = io.StringIO()
    progress = ProgressLine(out, live=False)
    progress({"stage": "blockMesh", "elapsed_s": 12.4})
    assert out.getvalue() == "blockMesh  started at 12 s\n"
    progress({"stage": "simpleFoam", "elapsed_s": 300, "cells": 236288, "estimate_s": 756})
    assert out.getvalue().splitlines()[1:] == [
        "mesh: 236,288 cells; the solve takes up to about 12m36s on free cores, if it runs to "
        "its cap (longer on a busy machine)",
        "simpleFoam  started at 300 s",
    ]
