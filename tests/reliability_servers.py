"""Misbehaving "openfoam" template servers for the fault-injection tests.

    python tests/reliability_servers.py MODE TOKEN

MODE is one of:

    die-in-call      a real MCP server whose list_templates kills its own
                     process (SIGKILL) while the call is in flight
    hang-in-call     a real MCP server whose list_templates never returns
    hang-at-start    reads stdin and never writes: the handshake never ends
    garbage          answers every line with bytes that are not JSON-RPC
    wrong-answer     a real MCP server whose list_templates returns a dict
    exit-at-start    exits at once with status 3

TOKEN is ignored; the tests look for it among the running processes to
prove that no server outlives the query.
"""

from __future__ import annotations

import os
import signal
import sys
import time


def real_server(tool):
    from mcp.server import MCPServer

    server = MCPServer("openfoam", log_level="WARNING")
    server.tool(name="list_templates")(tool)
    server.run("stdio")


def main() -> int:
    mode = sys.argv[1]
    if mode == "die-in-call":

        def list_templates() -> list[str]:
            os.kill(os.getpid(), signal.SIGKILL)
            return []

        real_server(list_templates)
    elif mode == "hang-in-call":

        def list_templates() -> list[str]:
            time.sleep(3600)
            return []

        real_server(list_templates)
    elif mode == "wrong-answer":

        def list_templates() -> dict:
            return {"templates": ["hatch", "sedan"], "count": 2}

        real_server(list_templates)
    elif mode == "hang-at-start":
        for _ in sys.stdin:
            pass
        time.sleep(3600)
    elif mode == "garbage":
        out = sys.stdout.buffer
        out.write(b"\x00\xff not json-rpc {{{\n")
        out.flush()
        for _ in sys.stdin.buffer:
            out.write(os.urandom(64).replace(b"\n", b"?") + b"\n")
            out.write(b'{"jsonrpc": "2.0", "id": "x", "result": 42}\n')
            out.flush()
    elif mode == "exit-at-start":
        return 3
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
