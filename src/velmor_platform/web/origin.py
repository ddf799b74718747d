"""Refusing writes that a page of another site makes the browser send.

A browser names the page that makes a request in its ``Origin`` header on
every POST (``null`` for an opaque origin: a sandboxed frame, a ``data:``
page). A POST (or any other writing method) whose ``Origin`` is present and
is not this server, as the browser's ``Host`` header names it, is refused
with 403 before any handler runs. A request without ``Origin`` (a script,
``curl``) goes on to the form token's check, which stays the defence; this
one is cheap depth behind it and the ``SameSite`` cookie.
"""

from __future__ import annotations

from urllib.parse import urlsplit

from starlette.responses import JSONResponse, PlainTextResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

SAFE_METHODS = frozenset({"GET", "HEAD", "OPTIONS"})
MESSAGE = "refused: this request comes from a page of another site (Origin {origin})"


def foreign_origin(scope: Scope) -> str | None:
    """The ``Origin`` of a writing request when it is not this server, else None."""
    if scope["type"] != "http" or scope["method"] in SAFE_METHODS:
        return None
    headers: dict[bytes, bytes] = dict(scope.get("headers") or [])
    origin = headers.get(b"origin")
    if origin is None:
        return None
    text = origin.decode("latin-1")
    host = headers.get(b"host", b"").decode("latin-1").lower()
    parts = urlsplit(text)
    if parts.scheme in ("http", "https") and host and parts.netloc.lower() == host:
        return None
    return text


class SameOrigin:
    """The middleware: 403 for a writing request from another origin."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        origin = foreign_origin(scope)
        if origin is None:
            await self.app(scope, receive, send)
            return
        message = MESSAGE.format(origin=origin[:200])
        response: Response
        if str(scope.get("path", "")).startswith("/api/"):
            response = JSONResponse({"error": message}, status_code=403)
        else:
            response = PlainTextResponse(message, status_code=403)
        await response(scope, receive, send)
