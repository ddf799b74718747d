"""Client side of the platform's MCP (Model Context Protocol) servers.

``mcp_connect(name)`` returns an asynchronous context manager; entering it
starts (stdio) or reaches (streamable HTTP) the named server, completes the
MCP handshake and yields a session whose ``call_tool(name, arguments)`` is
awaitable. ``parse_tool_result`` turns the tool result into plain Python
data::

    async with mcp_connect("openfoam") as session:
        names = parse_tool_result(await session.call_tool("list_templates", {}))

The pieces live in three modules: ``mcp_config`` (the workspace's
``mcp.json`` as a pydantic model, and the resolution of a server entry),
``mcp_connection`` (starting, bounding and stopping a connection) and
``mcp_results`` (tool results as plain data). This module is the interface
the product core and the command line use.

Every connection has a time limit (``VELMOR_MCP_TIMEOUT``, else the entry's
or the file's ``timeout``, else 10 s) bounding the connect plus handshake
and, separately, each ``call_tool``; running over it raises
``TimeoutError``. An unknown server name raises ``UnknownServerError`` and
a malformed mcp.json ``McpConfigError``, both from ``mcp_connect`` itself.

Trust: ``mcp.json`` is part of the workspace and is trusted like the rest of
it. Whoever can write it can make this process start any program as the
current user. Do not point ``VELMOR_WORKSPACE`` at a directory you would
not run code from.
"""

from __future__ import annotations

from .mcp_config import (
    CONFIG_FILE,
    DEFAULT_TIMEOUT,
    OPENFOAM,
    TIMEOUT_ENV,
    McpConfigError,
    ServerConfig,
    UnknownServerError,
    resolve_server,
)
from .mcp_connection import McpConnection, McpSession, note_failure, record_failures
from .mcp_results import ToolCallError, parse_tool_result

__all__ = [
    "CONFIG_FILE",
    "DEFAULT_TIMEOUT",
    "OPENFOAM",
    "TIMEOUT_ENV",
    "McpConfigError",
    "McpConnection",
    "McpSession",
    "ServerConfig",
    "ToolCallError",
    "UnknownServerError",
    "mcp_connect",
    "parse_tool_result",
    "record_failures",
    "resolve_server",
]


def mcp_connect(server_name: str) -> McpConnection:
    """An asynchronous context manager for a session with ``server_name``.

    The configuration is read now (an unknown name or a malformed mcp.json
    raises here); the server is started or reached on entry.
    """
    try:
        server = resolve_server(server_name)
    except Exception as exc:
        note_failure(exc)
        raise
    return McpConnection(server)
