"""Tool results of an MCP server as plain Python data."""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from ..errors import VelmorError

__all__ = ["ToolCallError", "parse_tool_result"]


class ToolCallError(VelmorError, RuntimeError):
    """The server ran the tool and reported an error."""

    kind = "unavailable"


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
