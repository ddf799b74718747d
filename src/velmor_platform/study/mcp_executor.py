"""The study executor ``mcp``: cases run by the OpenFOAM MCP server on its solver host.

The workspace's ``mcp.json`` names the server (``openfoam``). Its machine
must share the workspace (the case folders are prepared here and run there
in place); the server's ``start_case``, ``case_states`` and ``cancel_case``
tools (``mcp.tools.studies``) run them with its own local executor, so a job
keeps running when the client goes away and is found again by its handle.
"""

from __future__ import annotations

import asyncio
import contextlib
import threading
from pathlib import Path
from typing import Any

from .errors import StudyError
from .executors import JobState

SERVER = "openfoam"


class McpExecutor:
    """One MCP session, kept open on a thread of its own for the executor's life."""

    name = "mcp"
    poll_s = 1.0

    def __init__(self, workspace: Path, server: str = SERVER, slots: int = 2) -> None:
        self.workspace = workspace
        self.server = server
        self.slots = slots
        self._loop: asyncio.AbstractEventLoop | None = None
        self._connection: Any = None
        self._session: Any = None

    async def _open(self) -> Any:
        from ..core.workspace import use_workspace
        from ..mcp.mcp_transport import mcp_connect

        if self._session is None:
            with use_workspace(self.workspace):
                connection = mcp_connect(self.server)
                self._session = await connection.__aenter__()
            self._connection = connection
        return self._session

    async def _request(self, tool: str, arguments: dict[str, Any]) -> Any:
        from ..mcp.mcp_transport import parse_tool_result

        session = await self._open()
        try:
            result = await session.call_tool(tool, arguments)
        except BaseException:
            await self._aclose()
            raise
        if getattr(result, "is_error", False) or getattr(result, "isError", False):
            content = getattr(result, "content", None) or []
            text = " ".join(getattr(c, "text", "") for c in content).strip()
            raise StudyError("unavailable", f"MCP server {self.server!r}: {text}")
        return parse_tool_result(result)

    async def _aclose(self) -> None:
        connection, self._connection, self._session = self._connection, None, None
        if connection is not None:
            with contextlib.suppress(Exception):
                await connection.__aexit__(None, None, None)

    def _call(self, tool: str, arguments: dict[str, Any]) -> Any:
        if self._loop is None:
            self._loop = asyncio.new_event_loop()
            threading.Thread(target=self._loop.run_forever, daemon=True).start()
        future = asyncio.run_coroutine_threadsafe(self._request(tool, arguments), self._loop)
        try:
            return future.result()
        except StudyError:
            raise
        except Exception as exc:  # noqa: BLE001 - any transport failure is one line
            raise StudyError(
                "unavailable", f"MCP server {self.server!r} cannot run cases: {exc}"
            ) from None

    def close(self) -> None:
        loop, self._loop = self._loop, None
        if loop is None:
            return
        with contextlib.suppress(Exception):
            asyncio.run_coroutine_threadsafe(self._aclose(), loop).result(timeout=10)
        loop.call_soon_threadsafe(loop.stop)

    def capacity(self, ranks: int) -> int:
        return max(1, self.slots // max(1, ranks))

    def submit(self, case: Path, ranks: int, label: str) -> str:
        result = self._call("start_case", {"case_dir": str(case), "ranks": ranks, "label": label})
        return str(result["job"])

    def poll(self, jobs: dict[str, Path]) -> dict[str, JobState]:
        if not jobs:
            return {}
        result = self._call("case_states", {"jobs": {h: str(c) for h, c in jobs.items()}})
        return {h: JobState(**result[h]) for h in jobs if h in result}

    def cancel(self, handle: str) -> None:
        self._call("cancel_case", {"job": handle})
