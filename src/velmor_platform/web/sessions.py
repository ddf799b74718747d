"""Browser sessions held in the server's memory.

A session is named by a random cookie and holds the form token of the
browser (see ``forms.check_csrf``), its solver choices (a choice of backend
lasts as long as the session, as it lasts as long as a loaded product in
the command) and a one-shot notice for the next page. Nothing of it is
written to disk; a restart of the server forgets every session.

A session is created only where one is needed: a page that shows a form,
a form post, ``/api/session``. Requests without a cookie (a static file, a
page without a form, anything another web page makes a browser send) find
none and create none, so they cannot push real sessions out of the store.
"""

from __future__ import annotations

import secrets
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from http.cookies import SimpleCookie

from starlette.datastructures import MutableHeaders
from starlette.types import ASGIApp, Message, Receive, Scope, Send

COOKIE = "velmor_session"
MAX_SESSIONS = 1000


@dataclass
class Session:
    key: str
    csrf_token: str = field(default_factory=lambda: secrets.token_urlsafe(32))
    # (product identifier, domain) -> selected backend
    solvers: dict[tuple[str, str], str] = field(default_factory=dict)
    notice: list[str] = field(default_factory=list)

    def take_notice(self) -> list[str]:
        lines, self.notice = self.notice, []
        return lines


class SessionStore:
    """The newest MAX_SESSIONS sessions, by cookie value."""

    def __init__(self, limit: int = MAX_SESSIONS) -> None:
        self._limit = limit
        self._sessions: OrderedDict[str, Session] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: str | None) -> Session | None:
        if not key:
            return None
        with self._lock:
            session = self._sessions.get(key)
            if session is not None:
                self._sessions.move_to_end(key)
            return session

    def new(self) -> Session:
        session = Session(secrets.token_urlsafe(32))
        with self._lock:
            self._sessions[session.key] = session
            while len(self._sessions) > self._limit:
                self._sessions.popitem(last=False)
        return session


class SessionSlot:
    """The request's session: the one its cookie names, if any, and one
    created on demand (``ensure``), whose cookie the response then sets."""

    def __init__(self, store: SessionStore, key: str | None) -> None:
        self._store = store
        self.session = store.get(key)
        self.created = False

    def ensure(self) -> Session:
        if self.session is None:
            self.session = self._store.new()
            self.created = True
        return self.session


class SessionMiddleware:
    """Puts the request's ``SessionSlot`` in ``scope["session_slot"]``; sets
    the cookie of a session created while handling it."""

    def __init__(self, app: ASGIApp, store: SessionStore, *, secure: bool = False) -> None:
        self.app = app
        self.store = store
        self.secure = secure

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        key = None
        for name, value in scope.get("headers", []):
            if name == b"cookie":
                morsel = SimpleCookie(value.decode("latin-1")).get(COOKIE)
                if morsel is not None:
                    key = morsel.value
        slot = SessionSlot(self.store, key)
        scope["session_slot"] = slot

        async def send_with_cookie(message: Message) -> None:
            if slot.created and message["type"] == "http.response.start":
                assert slot.session is not None
                headers = MutableHeaders(scope=message)
                cookie = f"{COOKIE}={slot.session.key}; Path=/; HttpOnly; SameSite=Strict"
                if self.secure:
                    cookie += "; Secure"
                headers.append("set-cookie", cookie)
            await send(message)

        await self.app(scope, receive, send_with_cookie)
