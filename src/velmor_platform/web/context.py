"""What every page handler needs: the server's settings, the browser's
session, the common page context, and a way to run blocking calls."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar
from urllib.parse import quote

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request

from .. import __version__
from .forms import DEFAULT_MAX_UPLOAD, FormError
from .sessions import Session, SessionSlot

T = TypeVar("T")

READ_ONLY_MESSAGE = "this server is read-only (started with --read-only): nothing can be changed"


@dataclass(frozen=True)
class Settings:
    workspace: Path
    read_only: bool = False
    max_upload_bytes: int = DEFAULT_MAX_UPLOAD


async def call(func: Callable[..., T], *args: Any) -> T:
    """Run a blocking call of the product core on a worker thread."""
    from . import answers

    def run() -> T:
        with answers.active():
            return func(*args)

    return await run_in_threadpool(run)


async def call_until_gone(request: Request, func: Callable[[Callable[[], bool]], T]) -> T:
    """``call`` ``func(gone)``, where ``gone()`` turns true once the client
    has disconnected, so long work can stop with the request."""
    import asyncio
    import threading

    left = threading.Event()

    async def watch() -> None:
        while not await request.is_disconnected():
            await asyncio.sleep(0.25)
        left.set()

    watcher = asyncio.ensure_future(watch())
    try:
        return await call(func, left.is_set)
    finally:
        watcher.cancel()


async def call_abandoned_on_cancel(func: Callable[..., T], *args: Any) -> T:
    """``call``, but a caller cancelled (a deadline) stops waiting at once;
    the worker finishes on its own and its answer is dropped."""
    import contextvars

    import anyio

    from . import answers

    def run() -> T:
        with answers.active():
            return func(*args)

    context = contextvars.copy_context()
    return await anyio.to_thread.run_sync(context.run, run, abandon_on_cancel=True)


def settings(request: Request) -> Settings:
    value: Settings = request.app.state.settings
    return value


def session(request: Request) -> Session:
    """The browser's session, created (with its cookie) when it has none:
    for what needs one, a form or its post."""
    slot: SessionSlot = request.scope["session_slot"]
    return slot.ensure()


def existing_session(request: Request) -> Session | None:
    """The browser's session if it has one; never creates one."""
    slot: SessionSlot | None = request.scope.get("session_slot")
    return slot.session if slot is not None else None


def is_api(request: Request) -> bool:
    return request.url.path.startswith("/api/")


def refuse_if_read_only(request: Request) -> None:
    if settings(request).read_only:
        raise FormError(403, READ_ONLY_MESSAGE)


def product_url(pid: str, suffix: str = "") -> str:
    return f"/products/{quote(pid, safe=':')}{suffix}"


def page(request: Request, title: str, *, forms: bool = False, **context: Any) -> dict[str, Any]:
    """The context every template gets, plus ``context``. A page that shows
    ``forms`` (and so a form token) gets a session; any other uses the
    browser's own, if it has one."""
    if forms and not settings(request).read_only:
        current: Session | None = session(request)
    else:
        current = existing_session(request)
    return {
        "title": title,
        "read_only": settings(request).read_only,
        "csrf_token": current.csrf_token if current else "",
        "notice": current.take_notice() if current else [],
        "product_url": product_url,
        "version": __version__,
        "banner": None,
        "pid": None,
        "section": "",
        **context,
    }
