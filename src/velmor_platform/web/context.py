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
from .sessions import Session

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


def settings(request: Request) -> Settings:
    value: Settings = request.app.state.settings
    return value


def session(request: Request) -> Session:
    value: Session = request.scope["session_state"]
    return value


def is_api(request: Request) -> bool:
    return request.url.path.startswith("/api/")


def refuse_if_read_only(request: Request) -> None:
    if settings(request).read_only:
        raise FormError(403, READ_ONLY_MESSAGE)


def product_url(pid: str, suffix: str = "") -> str:
    return f"/products/{quote(pid, safe=':')}{suffix}"


def page(request: Request, title: str, **context: Any) -> dict[str, Any]:
    """The context every template gets, plus ``context``."""
    current: Session | None = request.scope.get("session_state")
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
