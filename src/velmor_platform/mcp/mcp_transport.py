"""Client side of the platform's MCP (Model Context Protocol) servers.

``mcp_connect(name)`` returns an asynchronous context manager; entering it
starts (stdio) or reaches (streamable HTTP) the named server, completes the
MCP handshake and yields a session whose ``call_tool(name, arguments)`` is
awaitable. ``parse_tool_result`` turns the tool result into plain Python
data::

    async with mcp_connect("openfoam") as session:
        names = parse_tool_result(await session.call_tool("list_templates", {}))

Configuration
-------------
Servers are configured per workspace in ``<workspace root>/mcp.json``::

    {
      "timeout": 10,
      "servers": {
        "openfoam": {
          "command": ["python", "-m", "velmor_platform.mcp.openfoam_server", "--workspace", "."],
          "env": {"OMP_NUM_THREADS": "1"},
          "cwd": "."
        },
        "remote": {"url": "http://127.0.0.1:8765/mcp", "timeout": 5}
      }
    }

Each server entry has exactly one of

* ``command``: a non-empty list of strings, the server's command line for
  stdio. The program is started directly, never through a shell. A first
  word of exactly ``python`` means the interpreter running this code. A
  first word that is a relative path with a directory part (``./bin/srv``)
  is taken relative to the workspace root, a bare name is looked up on
  ``PATH``. Optional ``env`` (string to string) is added to the minimal
  environment the SDK passes on (plus ``PYTHONPATH`` so this package is
  importable, and ``VELMOR_WORKSPACE`` set to the workspace root). The
  process runs in ``cwd`` (default: the workspace root; relative to it), so
  relative paths among the arguments refer to the workspace.
* ``url``: an ``http://`` or ``https://`` URL of a streamable-HTTP endpoint.

and optionally ``timeout`` (seconds). A missing file, or a file without an
"openfoam" entry, leaves "openfoam" at its default: the bundled server over
stdio, ``[sys.executable, "-m", "velmor_platform.mcp.openfoam_server",
"--workspace", <workspace root>]``. Any other name that is not configured
raises ``UnknownServerError``; a malformed file raises ``McpConfigError``.

Trust: ``mcp.json`` is part of the workspace and is trusted like the rest of
it. Whoever can write it can make this process start any program as the
current user, exactly as whoever can write the workspace's products can
feed it any data. Do not point ``VELMOR_WORKSPACE`` at a directory you would
not run code from.

Time limit
----------
Every connection has a time limit, in seconds: the environment variable
``VELMOR_MCP_TIMEOUT`` if set, else the server entry's ``timeout``, else the
file's top-level ``timeout``, else 10. It bounds the connect plus handshake
(entering the context) and, separately, each ``call_tool``; running over it
raises ``TimeoutError``, so a hung or dead server cannot block the caller
forever. Leaving the context waits for the server to close: a stdio server
gets the SDK's grace of 2 s after its stdin closes before it is terminated,
so a hung stdio server costs at most about the limit plus 2 s. An entry that
times out stops the server before raising.

The SDK's connection lives in a task of its own, so the context can be
entered and left from any task of the running asyncio loop (anyio cancel
scopes must be entered and left in one task, which this arrangement keeps
inside that task).
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import Any, Mapping
from urllib.parse import urlsplit

__all__ = [
    "DEFAULT_TIMEOUT",
    "McpConfigError",
    "McpConnection",
    "McpSession",
    "ServerConfig",
    "ToolCallError",
    "UnknownServerError",
    "mcp_connect",
    "parse_tool_result",
    "resolve_server",
]

CONFIG_FILE = "mcp.json"
TIMEOUT_ENV = "VELMOR_MCP_TIMEOUT"
DEFAULT_TIMEOUT = 10.0
OPENFOAM = "openfoam"

# How long leaving the context waits for an orderly close before cancelling
# the connection: the SDK's 2 s stdio termination grace plus a margin.
_CLOSE_GRACE = 3.0
# After cancelling, the stdio shutdown still runs shielded (terminate, then
# kill); every step of it is bounded, this only caps what we wait for.
_KILL_WAIT = 5.0

# The directory that holds the velmor_platform package.
_PACKAGE_PARENT = Path(__file__).resolve().parents[2]


class McpConfigError(ValueError):
    """The workspace's mcp.json (or VELMOR_MCP_TIMEOUT) is malformed."""


class UnknownServerError(LookupError):
    """No server of that name is configured for the workspace."""

    def __init__(self, name: str, known: list[str], config_path: Path) -> None:
        self.name = name
        self.known = known
        listed = ", ".join(repr(k) for k in known) if known else "none"
        super().__init__(f"unknown MCP server {name!r} (configured in {config_path}: {listed})")

    def __str__(self) -> str:  # LookupError would otherwise repr() a KeyError-style message
        return str(self.args[0])


class ToolCallError(RuntimeError):
    """The server ran the tool and reported an error."""


@dataclass(frozen=True)
class ServerConfig:
    """One resolved server entry: a stdio command line or an HTTP URL."""

    name: str
    command: tuple[str, ...] | None = None
    url: str | None = None
    env: Mapping[str, str] = field(default_factory=dict)
    cwd: Path | None = None
    timeout: float = DEFAULT_TIMEOUT


# ---------------------------------------------------------------- configuration


def _workspace_root() -> Path:
    try:
        from ..core.workspace import workspace_root
    except ModuleNotFoundError as exc:  # the host package is incomplete
        if exc.name not in ("velmor_platform.core", "velmor_platform.core.workspace"):
            raise
        configured = os.environ.get("VELMOR_WORKSPACE")
        if configured:
            return Path(os.path.expandvars(configured)).expanduser().resolve()
        return Path(__file__).resolve().parent.parent / "sample_workspace"
    return Path(workspace_root())


def _timeout_value(value: Any, where: str) -> float:
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            raise McpConfigError(f"{where}: timeout must be a number of seconds, not {value!r}") from None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise McpConfigError(f"{where}: timeout must be a number of seconds, not {value!r}")
    value = float(value)
    if not (value > 0 and math.isfinite(value)):
        raise McpConfigError(f"{where}: timeout must be a positive number of seconds, not {value!r}")
    return value


def _read_config(path: Path) -> dict[str, Any]:
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return {}
    except OSError as exc:
        raise McpConfigError(f"cannot read {path}: {exc}") from exc
    try:
        data = json.loads(text)
    except ValueError as exc:
        raise McpConfigError(f"{path} is not valid JSON: {exc}") from exc
    if not isinstance(data, dict):
        raise McpConfigError(f"{path}: the top level must be a JSON object")
    servers = data.get("servers", {})
    if not isinstance(servers, dict) or not all(isinstance(v, dict) for v in servers.values()):
        raise McpConfigError(f"{path}: 'servers' must map server names to objects")
    return data


def _default_openfoam(root: Path) -> dict[str, Any]:
    return {"command": ["python", "-m", "velmor_platform.mcp.openfoam_server", "--workspace", str(root)]}


def _resolve_command(command: Any, root: Path, where: str) -> tuple[str, ...]:
    if not isinstance(command, list) or not command or not all(isinstance(w, str) and w for w in command):
        raise McpConfigError(f"{where}: 'command' must be a non-empty list of non-empty strings")
    program = command[0]
    if program == "python":
        program = sys.executable
    elif os.sep in program or (os.altsep and os.altsep in program):
        program = str(root / Path(program).expanduser())  # an absolute path stays as it is
    return (program, *command[1:])


def _resolve_url(url: Any, where: str) -> str:
    if not isinstance(url, str):
        raise McpConfigError(f"{where}: 'url' must be a string")
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise McpConfigError(f"{where}: 'url' must be an http:// or https:// URL with a host, not {url!r}")
    return url


def resolve_server(server_name: str, workspace: str | os.PathLike[str] | None = None) -> ServerConfig:
    """The configuration of ``server_name`` for ``workspace`` (default: the active workspace)."""
    if not isinstance(server_name, str):
        raise TypeError(f"server name must be a str, not {type(server_name).__name__}")
    root = Path(workspace).resolve() if workspace is not None else _workspace_root()
    path = root / CONFIG_FILE
    data = _read_config(path)
    servers = dict(data.get("servers", {}))
    servers.setdefault(OPENFOAM, _default_openfoam(root))
    entry = servers.get(server_name)
    if entry is None:
        raise UnknownServerError(server_name, sorted(servers), path)

    where = f"{path}: server {server_name!r}"
    unknown = set(entry) - {"command", "url", "env", "cwd", "timeout"}
    if unknown:
        raise McpConfigError(f"{where}: unknown key(s) {', '.join(sorted(unknown))}")
    if ("command" in entry) == ("url" in entry):
        raise McpConfigError(f"{where}: give exactly one of 'command' (stdio) or 'url' (HTTP)")

    env_timeout = os.environ.get(TIMEOUT_ENV)
    if env_timeout:
        timeout = _timeout_value(env_timeout, TIMEOUT_ENV)
    elif "timeout" in entry:
        timeout = _timeout_value(entry["timeout"], where)
    elif "timeout" in data:
        timeout = _timeout_value(data["timeout"], str(path))
    else:
        timeout = DEFAULT_TIMEOUT

    if "url" in entry:
        if "env" in entry or "cwd" in entry:
            raise McpConfigError(f"{where}: 'env' and 'cwd' only apply to a 'command'")
        return ServerConfig(server_name, url=_resolve_url(entry["url"], where), timeout=timeout)

    env = entry.get("env", {})
    if not isinstance(env, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in env.items()):
        raise McpConfigError(f"{where}: 'env' must map strings to strings")
    if "cwd" in entry:
        if not isinstance(entry["cwd"], str):
            raise McpConfigError(f"{where}: 'cwd' must be a string")
        cwd: Path | None = root / Path(entry["cwd"]).expanduser()
    else:
        cwd = root if root.is_dir() else None
    return ServerConfig(
        server_name,
        command=_resolve_command(entry["command"], root, where),
        env=_child_env(root, env),
        cwd=cwd,
        timeout=timeout,
    )


def _child_env(root: Path, configured: Mapping[str, str]) -> dict[str, str]:
    """Extra environment for a stdio server, on top of the SDK's minimal one."""
    pythonpath = [str(_PACKAGE_PARENT)]
    if os.environ.get("PYTHONPATH"):
        pythonpath.append(os.environ["PYTHONPATH"])
    return {"PYTHONPATH": os.pathsep.join(pythonpath), "VELMOR_WORKSPACE": str(root), **configured}


# ------------------------------------------------------------------- connection


def mcp_connect(server_name: str) -> "McpConnection":
    """An asynchronous context manager for a session with ``server_name``.

    The configuration is read now (an unknown name or a malformed mcp.json
    raises here); the server is started or reached on entry.
    """
    return McpConnection(resolve_server(server_name))


class McpSession:
    """An initialised session; every request is bounded by the time limit."""

    def __init__(self, connection: "McpConnection", client: Any) -> None:
        self._connection = connection
        self.client = client  # the SDK's mcp.Client, for anything not wrapped here

    @property
    def server(self) -> ServerConfig:
        return self._connection.server

    async def call_tool(self, name: str, arguments: Mapping[str, Any] | None = None) -> Any:
        """Call tool ``name``; returns the SDK's ``CallToolResult``."""
        return await self._bounded(f"tool {name!r}", self.client.call_tool(name, dict(arguments or {})))

    async def list_tools(self) -> Any:
        return await self._bounded("tools/list", self.client.list_tools())

    async def _bounded(self, what: str, request: Any) -> Any:
        import anyio

        self._connection._check_alive()
        limit = self.server.timeout
        try:
            with anyio.fail_after(limit):
                return await request
        except TimeoutError:
            raise TimeoutError(
                f"MCP server {self.server.name!r} did not answer {what} within {limit:g} s"
            ) from None


class McpConnection:
    """The context manager returned by ``mcp_connect``; single use."""

    def __init__(self, server: ServerConfig) -> None:
        self.server = server
        self._task: asyncio.Task[None] | None = None
        self._client: Any = None
        self._error: BaseException | None = None

    def __repr__(self) -> str:
        target = self.server.url or " ".join(self.server.command or ())
        return f"<McpConnection {self.server.name!r} {target}>"

    async def __aenter__(self) -> McpSession:
        import anyio

        if self._task is not None:
            raise RuntimeError("an MCP connection can be entered only once")
        self._ready = anyio.Event()
        self._closing = anyio.Event()
        self._done = anyio.Event()
        self._scope = anyio.CancelScope()
        self._task = asyncio.get_running_loop().create_task(self._own(), name=f"mcp:{self.server.name}")
        try:
            with anyio.move_on_after(self.server.timeout):
                await self._ready.wait()
        except BaseException:
            await self._stop()
            raise
        if self._client is not None:
            return McpSession(self, self._client)
        timed_out = not self._ready.is_set()
        await self._stop()
        if timed_out:
            raise TimeoutError(
                f"MCP server {self.server.name!r} did not complete the handshake "
                f"within {self.server.timeout:g} s"
            )
        raise self._error or ConnectionError(f"the connection to MCP server {self.server.name!r} ended")

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> bool:
        # Never swallows the caller's exception, and never raises a close-down
        # failure over a result the caller already has.
        if self._task is not None:
            await self._stop()
        return False

    async def _own(self) -> None:
        """The connection's task: enters and leaves the SDK client."""
        try:
            with self._scope:
                async with self._make_client() as client:
                    self._client = client
                    self._ready.set()
                    await self._closing.wait()
        except Exception as exc:
            self._error = self._explain(_plain(exc))
        finally:
            self._ready.set()
            self._done.set()

    def _explain(self, exc: BaseException) -> BaseException:
        """Name the server in a failure to start its process."""
        if self._client is None and self.server.command and isinstance(exc, OSError) and exc.errno:
            what = str(exc.filename or self.server.command[0])
            explained = type(exc)(exc.errno, f"cannot start MCP server {self.server.name!r}: {exc.strerror}", what)
            explained.__cause__ = exc
            return explained
        return exc

    def _make_client(self) -> Any:
        from mcp import Client, StdioServerParameters
        from mcp.client.stdio import stdio_client
        from mcp.types import Implementation

        from .. import __version__

        info = Implementation(name="velmor_platform", version=str(__version__))
        if self.server.url is not None:
            return _HttpClient(self.server.url, info)
        program, *args = self.server.command or ()
        params = StdioServerParameters(
            command=program,
            args=args,
            env=dict(self.server.env),
            cwd=self.server.cwd,
        )
        return Client(stdio_client(params, errlog=_errlog()), client_info=info)

    async def _stop(self) -> None:
        """Close the connection and wait (bounded) for its task to end.

        An open connection is asked to close in order first; one that never
        came up is cancelled at once.
        """
        import anyio

        self._closing.set()
        with anyio.CancelScope(shield=True):
            if self._client is not None:
                with anyio.move_on_after(_CLOSE_GRACE):
                    await self._done.wait()
            if not self._done.is_set():
                self._scope.cancel()
                with anyio.move_on_after(_KILL_WAIT):
                    await self._done.wait()

    def _check_alive(self) -> None:
        if self._client is None:
            raise RuntimeError("the MCP connection is not open")
        if self._done.is_set():
            raise ConnectionError(f"the connection to MCP server {self.server.name!r} has closed") from self._error


class _HttpClient:
    """``mcp.Client(url)``, on an HTTP client made here rather than by the SDK.

    The same settings as the SDK's own (its 30 s / 300 s read timeouts, the
    environment's proxies and certificate settings), except that the TLS
    context is made once per process instead of once per connection:
    loading the certificate store costs tens of milliseconds, more than a
    whole exchange with a local server. The HTTP client is closed after the
    SDK client that uses it.
    """

    def __init__(self, url: str, info: Any) -> None:
        self._url = url
        self._info = info
        self._http: Any = None

    async def __aenter__(self) -> Any:
        import httpx2
        from mcp import Client
        from mcp.client.streamable_http import streamable_http_client

        self._http = httpx2.AsyncClient(
            timeout=httpx2.Timeout(_HTTP_TIMEOUT, read=_HTTP_READ_TIMEOUT), verify=_tls_context()
        )
        try:
            await self._http.__aenter__()
            self._client = Client(streamable_http_client(self._url, http_client=self._http), client_info=self._info)
            return await self._client.__aenter__()
        except BaseException:
            await self._http.aclose()
            raise

    async def __aexit__(self, *exc_info: Any) -> Any:
        try:
            return await self._client.__aexit__(*exc_info)
        finally:
            await self._http.aclose()


# The SDK's defaults for its own HTTP client: a server may hold a response
# stream open, hence the long read timeout. The time limit above is what
# bounds a request.
_HTTP_TIMEOUT = 30.0
_HTTP_READ_TIMEOUT = 300.0

# (SSL_CERT_FILE, SSL_CERT_DIR) -> the TLS context httpx would make for them.
_TLS_CONTEXTS: dict[tuple[str | None, str | None], Any] = {}


def _tls_context() -> Any:
    """The certificate-verifying TLS context of a default HTTP client."""
    key = (os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR"))
    context = _TLS_CONTEXTS.get(key)
    if context is None:
        import httpx2

        context = _TLS_CONTEXTS[key] = httpx2.create_ssl_context()
    return context


def _plain(exc: BaseException) -> BaseException:
    """The single error inside (nested) exception groups, else ``exc`` itself."""
    while isinstance(exc, BaseExceptionGroup) and len(exc.exceptions) == 1:
        exc = exc.exceptions[0]
    return exc


def _errlog() -> Any:
    """Where a stdio server's stderr goes: ours, if it is a real file."""
    try:
        sys.stderr.fileno()
    except (AttributeError, OSError, ValueError):
        return subprocess.DEVNULL
    return sys.stderr


# ---------------------------------------------------------------------- results


def _get(obj: Any, *names: str) -> Any:
    for name in names:
        if isinstance(obj, Mapping):
            if name in obj:
                return obj[name]
        elif hasattr(obj, name):
            return getattr(obj, name)
    return None


def _decode(text: str) -> Any:
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_tool_result(result: Any) -> Any:
    """A tool result as plain Python data.

    Accepts the SDK's ``CallToolResult`` or its JSON form (a mapping with
    ``isError``, ``structuredContent``, ``content``).

    * An error result raises ``ToolCallError`` with the error text.
    * Structured content wins; ``{"result": X}``, the SDK's wrapping of a
      value that is not an object, gives ``X``.
    * Otherwise the text content: one text item is JSON-decoded, or taken as
      it is when it is not JSON. Several text items (how a server without
      structured output sends a list, one item per element) give a list of
      the items, each decoded the same way.
    * No text content gives None.
    """
    content = _get(result, "content") or []
    texts = [
        text
        for item in content
        if _get(item, "type") == "text" and isinstance(text := _get(item, "text"), str)
    ]
    if _get(result, "is_error", "isError"):
        raise ToolCallError("; ".join(texts) or "the MCP tool reported an error")
    structured = _get(result, "structured_content", "structuredContent")
    if structured is not None:
        if isinstance(structured, Mapping) and len(structured) == 1 and "result" in structured:
            return structured["result"]
        return structured
    if not texts:
        return None
    if len(texts) == 1:
        return _decode(texts[0])
    return [_decode(t) for t in texts]
