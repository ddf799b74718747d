"""Environment for the child interpreters the tests start, and their stopping."""

import os
import subprocess
from pathlib import Path


def child_env(workspace: Path | None = None, **extra: str) -> dict:
    """This process's environment, with the same velmor_platform importable
    first, `workspace` as the workspace, and `extra` on top."""
    import velmor_platform

    env = dict(os.environ)
    package_parent = str(Path(velmor_platform.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")]).rstrip(
        os.pathsep
    )
    if workspace is not None:
        env["VELMOR_WORKSPACE"] = str(workspace)
    if "libasan" not in env.get("LD_PRELOAD", ""):  # ASan reports crashes better itself
        env["PYTHONFAULTHANDLER"] = "1"
    env.update(extra)
    return env


def stop(proc: subprocess.Popen, timeout: float = 10) -> None:
    """End the child `proc` by its PID: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def start_template_server(workspace: Path, *args: str, env: dict | None = None):
    """The workspace's MCP template server over HTTP on a free port, as a
    child process; returns (process, its URL). Stop it with ``stop``."""
    import select
    import sys

    proc = subprocess.Popen(
        [sys.executable, "-m", "velmor_platform.mcp.openfoam_server", "--workspace",
         str(workspace), "--http", "--port", "0", *args],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=env if env is not None else child_env(),
    )  # fmt: skip
    try:
        if not select.select([proc.stderr], [], [], 30)[0]:
            raise AssertionError("the server printed no URL")
        line = proc.stderr.readline()
        if "http://" not in line:
            raise AssertionError(line)
    except BaseException:
        stop(proc)
        raise
    return proc, line[line.index("http://") :].strip()


def mcp_post(url: str, message: dict, session: str | None = None, headers: dict | None = None):
    """POST one JSON-RPC message to an MCP server; returns the open
    http.client connection and response (the caller reads and closes)."""
    import http.client
    import json
    from urllib.parse import urlsplit

    parts = urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    sent = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
    if session:
        sent |= {"Mcp-Session-Id": session, "Mcp-Protocol-Version": "2025-06-18"}
    conn.request("POST", parts.path, json.dumps(message), sent | (headers or {}))
    return conn, conn.getresponse()


def mcp_session(url: str) -> str:
    """Initialise an MCP session over HTTP; returns its id."""
    conn, response = mcp_post(
        url,
        {"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {},
            "clientInfo": {"name": "tests", "version": "0"}}},
    )  # fmt: skip
    session = response.getheader("mcp-session-id")
    response.read()
    conn.close()
    conn, response = mcp_post(
        url, {"jsonrpc": "2.0", "method": "notifications/initialized"}, session
    )
    response.read()
    conn.close()
    assert session, "no session id"
    return session
