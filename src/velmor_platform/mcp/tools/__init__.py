"""The tools of the OpenFOAM MCP server (``mcp.openfoam_server``): a face
like the command line and the web. Each module has ``register(server,
workspace)``: ``simulation`` (prepare_case, simulate), ``report`` (a run's
pictures and numbers), ``studies`` (variants, studies, and the cases the
``mcp`` study executor runs on this host) and ``dynamics`` (a Chrono
cornering run).

A tool parses its arguments, calls a use case of ``services`` in a worker
thread (``in_thread``) and answers with its data. Every tool is added with
``add_tool`` and every failure reaches the client through ``tool_error``,
the face's one mapping: a ``UserError`` (and what the services leave
untranslated: an OS error, a refused value, a held lock) becomes a tool
error carrying its one line.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from mcp.server import MCPServer

#: What a tool answers as a tool error with its message: the services' refusals,
#: and the errors a use case leaves as they are.
REFUSALS: tuple[type[BaseException], ...] = (OSError, ValueError, TimeoutError)


def tool_error(exc: BaseException) -> Exception:
    """The tool error the client sees for ``exc``: its one line."""
    from mcp.server.mcpserver.exceptions import ToolError

    return ToolError(str(exc) or type(exc).__name__)


def _refusals() -> tuple[type[BaseException], ...]:
    from ...services.errors import UserError

    return (UserError, *REFUSALS)


def answering(work: Callable[[], Any]) -> Callable[[], Any]:
    """``work`` with its refusals raised as tool errors (``tool_error``)."""

    def call() -> Any:
        try:
            return work()
        except _refusals() as exc:
            raise tool_error(exc) from exc

    return call


def plain(value: Any) -> Any:
    """``value`` as JSON data (paths and other objects as their text)."""
    return json.loads(json.dumps(value, default=str))


async def in_thread(work: Callable[[], Any]) -> Any:
    """Run ``work`` in a worker thread (the product core must not run in
    the event loop); its answer as JSON data, its refusals as tool errors."""
    import anyio

    return await anyio.to_thread.run_sync(answering(lambda: plain(work())))


def add_tool(
    server: MCPServer,
    function: Callable[..., Any],
    *,
    name: str,
    title: str,
    description: str,
    read_only: bool = False,
) -> None:
    """Add ``function`` to ``server`` as the tool ``name``. The function is
    renamed after the tool (``prepare_case``: ``PrepareCase``), which titles
    its input and output schemas; a read-only tool is also idempotent, and
    no tool destroys anything or reaches outside the workspace."""
    from mcp.types import ToolAnnotations

    function.__name__ = function.__qualname__ = "".join(p.title() for p in name.split("_"))
    annotations = ToolAnnotations(
        title=title, read_only_hint=read_only, destructive_hint=False,
        idempotent_hint=read_only, open_world_hint=False,
    )  # fmt: skip
    server.tool(name=name, title=title, description=description, annotations=annotations)(function)


def product_file(root: Path, ref: str) -> str:
    """The product file a tool's ``product`` argument names: an identifier of
    the server's workspace, or a product file inside its ``products/``
    (anything else is refused, ``UserError``)."""
    from ...core.api import list_products
    from ...services.errors import UserError

    products = (root / "products").resolve()
    if ref.endswith((".usda", ".usdc")) or "/" in ref:
        path = (Path(ref) if Path(ref).is_absolute() else root / ref).resolve()
        # One the listing shows: inside products/, named by the name rule.
        if path not in {p.resolve() for _, p in list_products(products)}:
            raise UserError("invalid", f"{ref} is not a product file of the workspace {root}")
        return str(path)
    found = dict(list_products(products))
    if ref not in found:
        raise UserError(
            "not_found",
            f"no product {ref!r} in the workspace {root} (known: {', '.join(sorted(found))})",
        )
    return str(found[ref])
