"""Connections to MCP servers: start or reach one, keep the session bounded
in time, and stop it.

``McpConnection`` is an asynchronous context manager; entering it starts a
stdio server (or reaches an HTTP one), completes the MCP handshake and
yields an ``McpSession`` whose requests are bounded by the server's time
limit. Leaving it waits for the server to close: a stdio server gets the
SDK's grace of 2 s after its stdin closes before it is terminated. When the
caller is cancelled (Ctrl-C reaching ``asyncio.run``), the server is
terminated at once instead.

A stdio server's stderr goes to a log file in the workspace's state folder
(``.velmor/logs/mcp-<name>.log``), at most ``LOG_LIMIT`` bytes per run; the
previous log is kept as ``.log.1`` when the file has grown past the limit.

``record_failures()`` lets a caller that only sees a best-effort result (the
product core's template query answers ``[]`` on any failure) learn why: every
failure of a connection made inside it is appended to the list it yields.

The SDK's connection lives in a task of its own, so the context can be
entered and left from any task of the running asyncio loop (anyio cancel
scopes must be entered and left in one task, which this arrangement keeps
inside that task).
"""

from __future__ import annotations

import asyncio
import contextlib
import io
import os
import subprocess
import threading
from collections.abc import Iterator, Mapping
from contextvars import ContextVar
from pathlib import Path
from types import TracebackType
from typing import Any, BinaryIO

from .mcp_config import ServerConfig

__all__ = ["LOG_LIMIT", "McpConnection", "McpSession", "record_failures"]

# How long leaving the context waits for an orderly close before cancelling
# the connection: the SDK's 2 s stdio termination grace plus a margin.
_CLOSE_GRACE = 3.0
# After cancelling, the stdio shutdown still runs shielded (terminate, then
# kill); every step of it is bounded, this only caps what we wait for.
_KILL_WAIT = 5.0
#: Bytes of a stdio server's stderr kept per run.
LOG_LIMIT = 256 * 1024

_failures: ContextVar[list[BaseException] | None] = ContextVar("velmor_mcp_failures", default=None)


@contextlib.contextmanager
def record_failures() -> Iterator[list[BaseException]]:
    """Collect the failures of the connections made in this context."""
    sink: list[BaseException] = []
    token = _failures.set(sink)
    try:
        yield sink
    finally:
        _failures.reset(token)


def note_failure(exc: BaseException) -> None:
    sink = _failures.get()
    if sink is not None and isinstance(exc, Exception):
        sink.append(exc)


class McpSession:
    """An initialised session; every request is bounded by the time limit."""

    def __init__(self, connection: McpConnection, client: Any) -> None:
        self._connection = connection
        self.client = client  # the SDK's mcp.Client, for anything not wrapped here

    @property
    def server(self) -> ServerConfig:
        return self._connection.server

    async def call_tool(self, name: str, arguments: Mapping[str, Any] | None = None) -> Any:
        """Call tool ``name``; returns the SDK's ``CallToolResult``."""
        return await self._bounded(
            f"tool {name!r}", self.client.call_tool(name, dict(arguments or {}))
        )

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
        self._log: _ServerLog | None = None

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
        self._task = asyncio.get_running_loop().create_task(
            self._own(), name=f"mcp:{self.server.name}"
        )
        try:
            with anyio.move_on_after(self.server.timeout):
                await self._ready.wait()
        except BaseException as exc:
            note_failure(exc)
            await self._stop(urgent=not isinstance(exc, Exception))
            raise
        if self._client is not None:
            return McpSession(self, self._client)
        timed_out = not self._ready.is_set()
        await self._stop()
        if timed_out:
            error: BaseException = TimeoutError(
                f"MCP server {self.server.name!r} did not complete the handshake "
                f"within {self.server.timeout:g} s"
            )
        else:
            error = self._error or ConnectionError(
                f"the connection to MCP server {self.server.name!r} ended"
            )
        note_failure(error)
        raise error

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> bool:
        # Never swallows the caller's exception, and never raises a close-down
        # failure over a result the caller already has.
        if exc is not None:
            note_failure(exc)
        if self._task is not None:
            await self._stop(urgent=exc is not None and not isinstance(exc, Exception))
        return False

    async def _own(self) -> None:
        """The connection's task: enters and leaves the SDK client."""
        try:
            with self._scope:
                async with self._make_client() as client:
                    self._client = client
                    self._ready.set()
                    await self._closing.wait()
        except Exception as exc:  # noqa: BLE001 - kept for the caller, raised on entry
            self._error = self._explain(_plain(exc))
        finally:
            if self._log is not None:
                self._log.close()
            self._ready.set()
            self._done.set()

    def _explain(self, exc: BaseException) -> BaseException:
        """Name the server in a failure to start or reach it."""
        if self._client is not None or isinstance(exc, TimeoutError):
            return exc
        if self.server.command and isinstance(exc, OSError) and exc.errno:
            what = str(exc.filename or self.server.command[0])
            explained: BaseException = type(exc)(
                exc.errno, f"cannot start MCP server {self.server.name!r}: {exc.strerror}", what
            )
        elif self.server.url is not None:
            explained = ConnectionError(
                f"cannot reach MCP server {self.server.name!r} at {self.server.url}: {exc}"
            )
        else:
            explained = ConnectionError(
                f"MCP server {self.server.name!r} ({(self.server.command or ('?',))[0]}) "
                f"ended the connection before the handshake: {exc}"
            )
        explained.__cause__ = exc
        return explained

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
        self._log = _ServerLog.open(self.server.log_path)
        return Client(stdio_client(params, errlog=self._log.stream), client_info=info)

    async def _stop(self, urgent: bool = False) -> None:
        """Close the connection and wait (bounded) for its task to end.

        An open connection is asked to close in order first; one that never
        came up is cancelled at once. ``urgent`` (the caller is being
        cancelled) terminates a stdio server without the SDK's grace.
        """
        import anyio

        self._closing.set()
        with anyio.CancelScope(shield=True), _without_grace(urgent):
            if self._client is not None and not urgent:
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
            raise ConnectionError(
                f"the connection to MCP server {self.server.name!r} has closed"
            ) from self._error


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
            self._client = Client(
                streamable_http_client(self._url, http_client=self._http), client_info=self._info
            )
            return await self._client.__aenter__()
        except BaseException:
            await self._http.aclose()
            raise

    async def __aexit__(self, *exc_info: Any) -> Any:  # noqa: PYI036 - passed on as given
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


@contextlib.contextmanager
def _without_grace(urgent: bool) -> Iterator[None]:
    """While an urgent stop runs, the SDK terminates a stdio server at once
    instead of waiting for it to exit after its stdin closes."""
    if not urgent:
        yield
        return
    from mcp.client import stdio

    saved = stdio.PROCESS_TERMINATION_TIMEOUT, stdio._WRITER_FLUSH_TIMEOUT
    stdio.PROCESS_TERMINATION_TIMEOUT, stdio._WRITER_FLUSH_TIMEOUT = 0.05, 0.05
    try:
        yield
    finally:
        stdio.PROCESS_TERMINATION_TIMEOUT, stdio._WRITER_FLUSH_TIMEOUT = saved


class _ServerLog:
    """A stdio server's stderr: a pipe whose reader keeps the first
    ``LOG_LIMIT`` bytes in the log file and discards the rest."""

    def __init__(self, stream: Any, reader: threading.Thread | None = None) -> None:
        self.stream = stream
        self._reader = reader

    @classmethod
    def open(cls, path: Path | None) -> _ServerLog:
        if path is None:
            return cls(subprocess.DEVNULL)
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            if path.exists() and path.stat().st_size > LOG_LIMIT:
                os.replace(path, path.with_name(path.name + ".1"))
            log = open(path, "ab")  # noqa: SIM115 - closed by the reader thread
        except OSError:
            return cls(subprocess.DEVNULL)
        read_fd, write_fd = os.pipe()
        reader = threading.Thread(
            target=_copy_bounded,
            args=(os.fdopen(read_fd, "rb"), log),
            name="mcp-server-log",
            daemon=True,
        )
        reader.start()
        return cls(os.fdopen(write_fd, "w"), reader)

    def close(self) -> None:
        """Close our end of the pipe; the reader ends when the server's does."""
        if self._reader is not None:
            with contextlib.suppress(OSError):
                self.stream.close()


def _copy_bounded(source: io.BufferedReader, log: BinaryIO) -> None:
    kept = 0
    with source, log:
        while chunk := source.read1(65536):
            if kept < LOG_LIMIT:
                log.write(chunk[: LOG_LIMIT - kept])
                log.flush()
                kept += len(chunk)
