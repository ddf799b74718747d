"""What the server accepts from a form: its token, its values and its upload.

* Every form carries the session's token (``csrf_token``); a submission
  without the right one is refused before anything else is looked at.
* Values follow ``velmor_platform.rules``, as the command line's do: a
  target is a finite number, a tolerance 0 or more, a drag coefficient
  above 0; the run settings are checked there too.
* An upload is read as a stream, counted as it arrives and refused as soon
  as it passes the size limit; its file part is spooled to a temporary file,
  never held whole in memory.
"""

from __future__ import annotations

import hmac
import os
import re
import shutil
from collections.abc import AsyncGenerator, Mapping
from pathlib import Path

from starlette.datastructures import FormData, UploadFile
from starlette.formparsers import MultiPartException, MultiPartParser
from starlette.requests import Request

from .. import rules
from .sessions import Session

#: Largest urlencoded form accepted (targets, solver choice, run settings).
MAX_FORM_BYTES = 64 * 1024
#: Default largest upload (a whole multipart request), in bytes.
DEFAULT_MAX_UPLOAD = 100 * 1000 * 1000


class FormError(Exception):
    """A refused submission: HTTP status, message and per-field messages."""

    def __init__(self, status: int, message: str, fields: Mapping[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.fields = dict(fields or {})


def check_csrf(session: Session, submitted: str | None) -> None:
    if not submitted or not hmac.compare_digest(submitted, session.csrf_token):
        raise FormError(403, "the form's token is missing or stale: reload the page and try again")


def submitted_token(request: Request, form: FormData | None) -> str | None:
    value = form.get("csrf_token") if form is not None else None
    if isinstance(value, str):
        return value
    return request.headers.get("x-csrf-token")


# -------------------------------------------------------------------- values


def target_value(name: str, text: str) -> float | str:
    """The value of target field ``name``, or the message saying what is wrong."""
    try:
        return rules.parse(name, text, allow_implausible=False)
    except rules.RuleError as exc:
        return exc.field_message


def shown_values(form: Mapping[str, object]) -> dict[str, float | None] | None:
    """What the targets form showed for each field when it was rendered (its
    ``shown_<field>`` inputs; "" for a target not set), or None when it
    carries none (a script posting values)."""
    shown: dict[str, float | None] = {}
    for name, _key, _option in rules.TARGETS:
        raw = form.get(f"shown_{name}")
        if not isinstance(raw, str):
            continue
        try:
            shown[name] = float(raw) if raw.strip() else None
        except ValueError:
            raise FormError(400, f"malformed form: shown_{name} is {raw!r}") from None
    return shown or None


def shown_for(form: Mapping[str, object], values: Mapping[str, float]) -> dict[str, float | None]:
    """What the targets form showed for each of ``values``; FormError (409)
    when it does not say (a stale page, or a post made up elsewhere): then
    nothing is written, rather than every field over whatever is there."""
    shown = shown_values(form) or {}
    missing = sorted(set(values) - set(shown))
    if missing:
        raise FormError(
            409,
            "nothing was written: the form does not say what it showed for "
            f"{', '.join(missing)}; reload the page and try again",
        )
    return shown


def target_values(form: Mapping[str, object]) -> dict[str, float]:
    """The target fields filled in, checked; FormError (422) naming each bad field."""
    values: dict[str, float] = {}
    errors: dict[str, str] = {}
    for name, _key, _option in rules.TARGETS:
        raw = form.get(name)
        if not isinstance(raw, str) or not raw.strip():
            continue
        checked = target_value(name, raw.strip())
        if isinstance(checked, str):
            errors[name] = checked
        else:
            values[name] = checked
    if errors:
        raise FormError(422, "nothing was written: correct the values marked", errors)
    if not values:
        raise FormError(422, "nothing was written: fill in at least one target")
    return values


def number_param(name: str, text: str | None) -> float | None:
    """An optional coefficient from a query parameter, by the value rules (422 otherwise)."""
    if text is None or not text.strip():
        return None
    try:
        return rules.parse(name, text.strip())
    except rules.RuleError as exc:
        raise FormError(422, f"{name}: {exc.field_message}") from None


# -------------------------------------------------------------------- bodies


def _declared_length(request: Request) -> int | None:
    try:
        return int(request.headers["content-length"])
    except (KeyError, ValueError):
        return None


async def read_form(request: Request) -> FormData:
    """A small urlencoded or multipart form without files."""
    declared = _declared_length(request)
    if declared is not None and declared > MAX_FORM_BYTES:
        raise FormError(413, f"form too large: more than {MAX_FORM_BYTES} bytes")
    try:
        return await request.form(max_files=0, max_fields=50, max_part_size=MAX_FORM_BYTES)
    except MultiPartException as exc:
        raise FormError(400, f"malformed form: {exc.message}") from None


async def _limited(request: Request, limit: int) -> AsyncGenerator[bytes, None]:
    received = 0
    async for chunk in request.stream():
        received += len(chunk)
        if received > limit:
            raise FormError(413, f"upload too large: the limit is {limit / 1e6:g} MB")
        yield chunk


async def read_upload(request: Request, limit: int) -> FormData:
    """A multipart form with one file, counted against ``limit`` bytes while
    it arrives (the file part is spooled to a temporary file)."""
    declared = _declared_length(request)
    if declared is not None and declared > limit:
        raise FormError(413, f"upload too large: the limit is {limit / 1e6:g} MB")
    if not request.headers.get("content-type", "").startswith("multipart/form-data"):
        raise FormError(400, "an upload must be sent as multipart/form-data")
    parser = MultiPartParser(
        request.headers, _limited(request, limit), max_files=1, max_fields=10, max_part_size=4096
    )
    try:
        return await parser.parse()
    except MultiPartException as exc:
        raise FormError(400, f"malformed upload: {exc.message}") from None


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def keep_upload(upload: UploadFile, directory: Path) -> Path:
    """Copy an uploaded file into ``directory`` under a fresh name that keeps
    the client's file name (made safe) and so its extension."""
    name = _UNSAFE.sub("_", os.path.basename(upload.filename or "upload")).lstrip(".") or "upload"
    directory.mkdir(parents=True, exist_ok=True)
    target = directory / f"{os.urandom(6).hex()}-{name}"
    upload.file.seek(0)
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    with os.fdopen(fd, "wb") as out:
        shutil.copyfileobj(upload.file, out)
    return target
