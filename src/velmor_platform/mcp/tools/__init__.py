"""The tools of the OpenFOAM MCP server (``mcp.openfoam_server``): a face
like the command line and the web. Each module has ``register(server,
workspace)``: ``simulation`` (prepare_case, simulate), ``report`` (a run's
pictures and numbers), ``studies`` (variants, studies, and the cases the
``mcp`` study executor runs on this host) and ``dynamics`` (a Chrono
cornering run).

A tool parses its arguments, calls a use case of ``services`` in a worker
thread (``in_thread``) and answers with its data. Every tool is added with
``add_tool`` and every failure reaches the client through ``answering``,
the face's one mapping: the kind of the refusal (a ``UserError``'s, the
package's own error's, or that of a built-in error the services leave as
it is: ``kind_of``) picks its tool error in ``TOOL_ERROR``, which carries
its one line; anything else is a fault, which the SDK reports as one.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from mcp.server.mcpserver.exceptions import ToolError

from ...errors import VelmorError

if TYPE_CHECKING:
    from mcp.server import MCPServer


class Invalid(ToolError):
    """A value or request that cannot be used."""


class NotFound(ToolError):
    """No such product, run, study, file or job."""


class Conflict(ToolError):
    """Another writer or run holds the product."""


class NotAvailable(ToolError):
    """The workspace, a server or a program needed is not there."""


#: The tool error of each kind of refusal: every kind is an error answer
#: (``is_error``) carrying the one line, for the model to read and act on,
#: never a protocol error, since the request itself was well formed.
TOOL_ERROR: dict[str, type[ToolError]] = {
    "invalid": Invalid,
    "not_found": NotFound,
    "conflict": Conflict,
    "unavailable": NotAvailable,
}


def kind_of(exc: BaseException) -> str | None:
    """The kind of a refusal: a ``UserError``'s or the package's own error's;
    a held lock a conflict, a missing file not found, a refused value
    invalid (as the services translate them), another OS error unavailable;
    None for anything else."""
    if isinstance(exc, VelmorError):
        return exc.kind
    for errors, kind in (
        (TimeoutError, "conflict"), (FileNotFoundError, "not_found"),
        (ValueError, "invalid"), (OSError, "unavailable"),
    ):  # fmt: skip
        if isinstance(exc, errors):
            return kind
    return None


def answering(work: Callable[[], Any]) -> Callable[[], Any]:
    """``work`` with its refusals raised as their tool errors (``TOOL_ERROR``)."""

    def call() -> Any:
        try:
            return work()
        except ToolError:
            raise
        except Exception as exc:
            kind = kind_of(exc)
            if kind is None:
                raise
            raise TOOL_ERROR[kind](str(exc) or type(exc).__name__) from exc

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
