"""MCP transport and the "openfoam" template server, end to end.

Servers run as real subprocesses (stdio) or on a loopback HTTP port; every
server started here is stopped by the test that started it.
"""

from __future__ import annotations

import asyncio
import json
import os
import select
import socket
import subprocess
import sys
import time
from pathlib import Path

import mcp.types as mt
import pytest

from child_process import mcp_post, start_template_server, stop
from velmor_platform.mcp import mcp_transport as transport
from velmor_platform.mcp import openfoam_server
from velmor_platform.mcp.mcp_transport import (
    McpConfigError,
    ToolCallError,
    UnknownServerError,
    mcp_connect,
    parse_tool_result,
    resolve_server,
)

SRC = Path(openfoam_server.__file__).resolve().parents[2]
SAMPLE = SRC / "velmor_platform" / "sample_workspace"
LIMIT = 1.5  # time limit set by the timeout tests
GRACE = 2.0  # the SDK's stdio termination grace


async def _query(server_name="openfoam"):
    """The template query's protocol, step by step, as the product core makes it."""
    cm = mcp_connect(server_name)
    session = await type(cm).__aenter__(cm)
    try:
        parsed = parse_tool_result(await session.call_tool("list_templates", {}))
        value = [str(x) for x in parsed] if isinstance(parsed, list) else []
    except BaseException as exc:
        if not await type(cm).__aexit__(cm, type(exc), exc, exc.__traceback__):
            raise
        return None
    await type(cm).__aexit__(cm, None, None, None)
    return value


def best_effort(server_name="openfoam"):
    """What the product core's query returns: the names, or [] on any failure."""
    try:
        return asyncio.run(_query(server_name))
    except Exception:  # noqa: BLE001 - the core's query answers [] on any failure
        return []


def make_workspace(root: Path, templates=(), config=None) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    for name in templates:
        (root / "templates" / "openfoam" / name).mkdir(parents=True)
    if config is not None:
        (root / "mcp.json").write_text(json.dumps(config))
    return root


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    """Makes a fresh workspace active; call it to fill the workspace."""
    monkeypatch.setenv("VELMOR_WORKSPACE", str(tmp_path / "ws"))
    monkeypatch.delenv(transport.TIMEOUT_ENV, raising=False)
    return lambda templates=(), config=None: make_workspace(tmp_path / "ws", templates, config)


@pytest.fixture
def http_server(tmp_path):
    """The template server on a free loopback port; yields (url, its workspace)."""
    root = make_workspace(tmp_path / "served", ["zeta", "alpha", ".git"])
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "velmor_platform.mcp.openfoam_server",
            "--workspace",
            str(root),
            "--http",
            "--port",
            "0",
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONPATH": str(SRC)},
    )
    try:
        assert select.select([proc.stderr], [], [], 20)[0], "server printed no URL"
        line = proc.stderr.readline()
        assert "http://127.0.0.1:" in line, line
        yield line[line.index("http://") :].strip(), root
    finally:
        stop(proc)


def _text(*texts):
    return [mt.TextContent(type="text", text=t) for t in texts]


@pytest.mark.parametrize(
    "result, expected",
    [
        (
            mt.CallToolResult(content=_text("x"), structured_content={"result": ["a", "b"]}),
            ["a", "b"],
        ),
        (
            mt.CallToolResult(content=[], structured_content={"result": 1, "more": 2}),
            {"result": 1, "more": 2},
        ),
        (mt.CallToolResult(content=_text('["a", "b"]')), ["a", "b"]),
        (mt.CallToolResult(content=_text("motorBike")), "motorBike"),
        # One text item per element: how a server without structured output sends a list.
        (mt.CallToolResult(content=_text("base", "7")), ["base", 7]),
        (
            mt.CallToolResult(
                content=[mt.ImageContent(type="image", data="AA==", mime_type="image/png")]
            ),
            None,
        ),
        (mt.CallToolResult(content=[]), None),
        ({"content": [], "structuredContent": {"result": ["m"]}}, ["m"]),
        (mt.CallToolResult(content=_text("folder unreadable"), is_error=True), ToolCallError),
        (
            {"isError": True, "content": [], "structuredContent": {"result": ["stale"]}},
            ToolCallError,
        ),
    ],
)
def test_parse_tool_result(result, expected):
    if expected is ToolCallError:
        with pytest.raises(ToolCallError):
            parse_tool_result(result)
    else:
        assert parse_tool_result(result) == expected


def test_server_entries(workspace, monkeypatch):
    root = workspace()
    monkeypatch.setenv("WM_PROJECT_DIR", "/opt/openfoam")  # a sourced OpenFOAM environment
    default = resolve_server("openfoam")
    assert default.command == (
        sys.executable,
        "-m",
        "velmor_platform.mcp.openfoam_server",
        "--workspace",
        str(root),
    )
    # The bundled server inherits the environment; a configured one gets only what it names.
    assert default.env["WM_PROJECT_DIR"] == "/opt/openfoam"
    workspace(
        config={
            "servers": {
                "py": {"command": ["python", "-m", "x"], "env": {"A": "1"}, "cwd": "sub"},
                "local": {"command": ["./bin/srv", "arg"]},
                "remote": {"url": "https://solver.example:8443/mcp"},
            }
        }
    )
    py = resolve_server("py")
    assert (
        py.command == (sys.executable, "-m", "x") and py.cwd == root / "sub" and py.env["A"] == "1"
    )
    assert "WM_PROJECT_DIR" not in py.env
    assert resolve_server("local").command == (str(root / "bin" / "srv"), "arg")
    assert resolve_server("remote").url == "https://solver.example:8443/mcp"
    with pytest.raises(UnknownServerError, match="'xlb'.*'local', 'openfoam', 'py', 'remote'"):
        mcp_connect("xlb")
    assert best_effort("xlb") == []


@pytest.mark.parametrize(
    "entry",
    [
        {"command": ["python"], "url": "http://127.0.0.1:1/mcp"},
        {"command": "python -m server"},
        {"command": ["python", 3]},
        {"url": "file:///etc/passwd"},
        {"url": "http:///no-host"},
        {"command": ["python"], "shell": True},
    ],
)
def test_malformed_entries_are_refused(workspace, entry):
    workspace(config={"servers": {"openfoam": entry}})
    with pytest.raises(McpConfigError):
        mcp_connect("openfoam")


@pytest.mark.parametrize(
    "env, top, entry, expected",
    [
        (None, None, None, 10.0),
        (None, 4, None, 4.0),
        (None, 4, 2.5, 2.5),
        ("1.5", 4, 2.5, 1.5),
        ("0", None, None, McpConfigError),
        ("nan", None, None, McpConfigError),
        (None, True, None, McpConfigError),
    ],
)
def test_timeout_precedence(workspace, monkeypatch, env, top, entry, expected):
    server = {"command": ["python"]} if entry is None else {"command": ["python"], "timeout": entry}
    workspace(config={"servers": {"openfoam": server}} | ({} if top is None else {"timeout": top}))
    if env is not None:
        monkeypatch.setenv(transport.TIMEOUT_ENV, env)
    if expected is McpConfigError:
        with pytest.raises(McpConfigError):
            resolve_server("openfoam")
    else:
        assert resolve_server("openfoam").timeout == expected


def test_template_folder_rules(tmp_path):
    assert openfoam_server.list_templates(tmp_path) == []
    folder = openfoam_server.templates_dir(
        make_workspace(tmp_path, ["motorBike", "base", "Hatch", ".cache"])
    )
    (folder / "README").write_text("not a template")
    (tmp_path / "elsewhere").mkdir()
    (folder / "linked").symlink_to(tmp_path / "elsewhere")
    (folder / "dangling").symlink_to(tmp_path / "missing")
    assert openfoam_server.list_templates(tmp_path) == ["Hatch", "base", "linked", "motorBike"]


@pytest.mark.parametrize("host", ["0.0.0.0", "192.168.1.10", "example.org"])
def test_server_refuses_remote_host_without_flag(host, capsys):
    with pytest.raises(SystemExit) as info:
        openfoam_server.main(["--http", "--host", host])
    assert info.value.code == 2 and "--allow-remote" in capsys.readouterr().err


@pytest.mark.parametrize("host", ["127.0.0.1", "127.0.0.2", "LOCALHOST"])
def test_loopback_server_serves_only_loopback_names(tmp_path, host):
    """No DNS rebinding: a foreign Host or Origin is refused on every loopback bind."""
    proc, url = start_template_server(
        make_workspace(tmp_path / "served", ["alpha"]), "--host", host
    )
    initialize = {"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {
        "protocolVersion": "2025-06-18", "capabilities": {},
        "clientInfo": {"name": "tests", "version": "0"}}}  # fmt: skip

    def status(headers):
        conn, response = mcp_post(url, initialize, headers=headers)
        response.read()
        conn.close()
        return response.status

    try:
        port = url.rsplit(":", 1)[1].split("/")[0]
        assert status({"Host": f"rebound.example:{port}"}) == 421
        assert status({"Origin": "http://rebound.example"}) == 403
        assert status({"Origin": f"http://localhost:{port}"}) == 200
        assert status({}) == 200
    finally:
        stop(proc)


def test_stdio_default_server(workspace):
    workspace(["sedan", "hatch", ".hidden", "base"])
    assert best_effort() == ["base", "hatch", "sedan"]


def test_stdio_sample_workspace_out_of_the_box(monkeypatch, tmp_path):
    monkeypatch.setenv("VELMOR_WORKSPACE", str(SAMPLE))
    monkeypatch.delenv(transport.TIMEOUT_ENV, raising=False)
    monkeypatch.chdir(tmp_path)  # its relative "--workspace ." must not depend on our directory
    names = asyncio.run(_query())
    assert "hatch" in names and "motorBike" in names and "sedan" not in names


def test_http_server_rereads_the_folder(workspace, http_server):
    url, served = http_server
    workspace(config={"servers": {"openfoam": {"url": url}}})
    assert best_effort() == ["alpha", "zeta"]
    (served / "templates" / "openfoam" / "mid").mkdir()
    assert best_effort() == ["alpha", "mid", "zeta"]


@pytest.mark.parametrize("kind", ["stdio", "http"])
def test_server_that_never_answers_times_out(workspace, monkeypatch, kind):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never answers
        if kind == "stdio":
            entry, cleanup = {"command": ["python", "-c", "import time; time.sleep(60)"]}, GRACE
        else:
            entry, cleanup = {"url": f"http://127.0.0.1:{silent.getsockname()[1]}/mcp"}, 0.0
        workspace(config={"servers": {"openfoam": entry}})
        monkeypatch.setenv(transport.TIMEOUT_ENV, str(LIMIT))
        start = time.monotonic()
        with pytest.raises(TimeoutError, match="within 1.5 s"):
            asyncio.run(_query())
        assert LIMIT - 0.1 <= time.monotonic() - start < LIMIT + cleanup + 1.5
        start = time.monotonic()
        assert best_effort() == []
        assert time.monotonic() - start < LIMIT + cleanup + 1.5


def test_tool_that_hangs_times_out_and_exit_is_bounded(workspace, tmp_path):
    # The server's limit covers its handshake too: a Python server that imports the
    # SDK can take longer than LIMIT to start on a loaded machine.
    limit = 4.0
    script = tmp_path / "slow_server.py"
    script.write_text(
        "import time\nfrom mcp.server import MCPServer\n"
        "server = MCPServer('openfoam', log_level='WARNING')\n"
        "@server.tool()\ndef list_templates() -> list[str]:\n    time.sleep(60)\n    return []\n"
        "server.run('stdio')\n"
    )
    workspace(
        config={"timeout": limit, "servers": {"openfoam": {"command": ["python", str(script)]}}}
    )

    async def scenario():
        cm = mcp_connect("openfoam")
        session = await type(cm).__aenter__(cm)
        start = time.monotonic()
        with pytest.raises(TimeoutError) as info:
            await session.call_tool("list_templates", {})
        call_time, start = time.monotonic() - start, time.monotonic()
        swallowed = await type(cm).__aexit__(cm, TimeoutError, info.value, info.value.__traceback__)
        return call_time, time.monotonic() - start, swallowed

    call_time, exit_time, swallowed = asyncio.run(scenario())
    assert limit - 0.1 <= call_time < limit + 1.0
    assert exit_time < GRACE + 1.5
    assert not swallowed  # the query must see the failure, not a silent None


@pytest.mark.parametrize(
    "command",
    [["./no-such-server"], ["velmor-no-such-mcp-server"], ["python", "-c", "raise SystemExit(3)"]],
    ids=["missing-relative", "missing-on-path", "exits-at-once"],
)
def test_missing_or_dead_server_fails_fast(workspace, command):
    workspace(config={"servers": {"openfoam": {"command": command}}})
    start = time.monotonic()
    with pytest.raises(Exception) as info:
        asyncio.run(_query())
    assert time.monotonic() - start < 3.0
    if command[0] != "python":
        assert isinstance(info.value, FileNotFoundError) and "'openfoam'" in str(info.value)
    assert best_effort() == []


def test_server_tool_metadata_and_errors_over_stdio(workspace):
    root = workspace()
    folder = openfoam_server.templates_dir(root)
    folder.parent.mkdir(parents=True)
    folder.symlink_to(folder)  # a loop: reading it fails with ELOOP

    async def scenario():
        async with mcp_connect("openfoam") as session:
            tools = (await session.list_tools()).tools
            return tools, await session.call_tool("list_templates", {})

    tools, result = asyncio.run(scenario())
    by_name = {tool.name: tool for tool in tools}
    assert set(by_name) == {
        "list_templates", "prepare_case", "simulate", "report",  # templates, runs, reports
        "make_variant", "start_study", "follow_study", "study_results",  # an assistant's study
        "start_case", "case_states", "cancel_case",  # the mcp study executor
        "simulate_dynamics",  # a Chrono cornering run
    }  # fmt: skip
    for each in tools:  # every tool titled, described, annotated, with clean schema names
        assert each.title and each.description and each.annotations is not None
        assert not each.input_schema["title"].startswith("_")
    assert {"uncertainty", "full_model"} <= set(by_name["simulate"].input_schema["properties"])
    tool = by_name["list_templates"]
    assert tool.title == "List OpenFOAM case templates"
    assert tool.annotations.read_only_hint is True and tool.annotations.destructive_hint is False
    assert tool.input_schema["title"] == "ListTemplatesArguments"
    assert tool.output_schema["title"] == "ListTemplatesOutput"
    assert result.is_error
    with pytest.raises(
        ToolCallError, match=f"cannot read the templates folder {folder}: Too many levels"
    ):
        parse_tool_result(result)


def test_host_form_config_and_its_shipped_schema(workspace):
    from velmor_platform.mcp import mcp_config

    assert json.loads(mcp_config.schema_path().read_text()) == mcp_config.config_schema()
    root = workspace(
        config={
            "$schema": "mcp.schema.json",
            "servers": {"mine": {"type": "stdio", "command": "./bin/srv", "args": ["-v"]}},
            "mcpServers": {
                "openfoam": {
                    "command": "python",
                    "args": ["-m", "m"],
                    "env": {"A": "1"},
                    "timeout": 3,
                }
            },
        }
    )
    assert resolve_server("mine").command == (str(root / "bin" / "srv"), "-v")
    server = resolve_server("openfoam")
    assert (server.command, server.env["A"], server.timeout) == (
        (sys.executable, "-m", "m"),
        "1",
        3.0,
    )
    for entry, message in [
        ({"command": "python -m server"}, "put its arguments in 'args'"),
        ({"command": ["python"], "args": ["-m"]}, "'args' goes with a one-word 'command'"),
        ({"type": "http", "command": "python"}, "does not match"),
    ]:
        workspace(config={"mcpServers": {"openfoam": entry}})
        with pytest.raises(McpConfigError, match=message):
            resolve_server("openfoam")


def test_failures_of_a_best_effort_query_are_recorded(workspace):
    workspace(config={"servers": {"openfoam": {"command": ["velmor-no-such-mcp-server"]}}})
    with transport.record_failures() as failures:
        assert best_effort() == []
    assert len(failures) == 1 and "cannot start MCP server 'openfoam'" in str(failures[0])
