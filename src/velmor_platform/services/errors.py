"""The one error a use case reports to a person: ``UserError(kind, message)``.

``kind`` says what went wrong, so that each face maps it once: the command
line to its exit status, the web to an HTTP status. The message is one line
that names the product or file concerned. The package's own errors
(``velmor_platform.errors.VelmorError``, whose ``kind`` is one of the same
four) and the built-in errors that mean the same things (a bad value, a
missing file, a product locked by another writer) become ``UserError``
through ``translated``.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Literal, ParamSpec, TypeVar

from ..errors import VelmorError

__all__ = ["KINDS", "Kind", "UserError", "describe", "translated", "user_errors"]

Kind = Literal["invalid", "not_found", "conflict", "unavailable"]
#: invalid: a value or request that cannot be used; not_found: no such product,
#: file or job; conflict: another writer or run holds it; unavailable: the
#: workspace, a server or a program needed is not there.
KINDS: tuple[Kind, ...] = ("invalid", "not_found", "conflict", "unavailable")

P = ParamSpec("P")
T = TypeVar("T")


class UserError(VelmorError):
    """A failure reported to the user as one line, with its kind."""

    def __init__(self, kind: Kind, message: str) -> None:
        if kind not in KINDS:
            raise ValueError(f"unknown kind of user error: {kind!r}")
        super().__init__(message)
        self.kind: Kind = kind
        self.message = message


@contextmanager
def translated() -> Iterator[None]:
    """The errors that a person caused, as ``UserError``: the package's own
    (``VelmorError``) with their kind; of the others, a held lock
    (``TimeoutError``) is a conflict, a missing file is not found, a refused
    value (``ValueError``) is invalid."""
    try:
        yield
    except UserError:
        raise
    except VelmorError as exc:  # the package's own: its kind says what went wrong
        raise UserError(exc.kind, describe(exc)) from exc  # type: ignore[arg-type]
    except TimeoutError as exc:  # the product's lock is held by another writer
        raise UserError("conflict", describe(exc)) from exc
    except FileNotFoundError as exc:
        raise UserError("not_found", describe(exc)) from exc
    except ValueError as exc:
        raise UserError("invalid", describe(exc)) from exc


def user_errors(func: Callable[P, T]) -> Callable[P, T]:
    """``func`` with the core's errors ``translated``."""

    @functools.wraps(func)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> T:
        with translated():
            return func(*args, **kwargs)

    return wrapper


def describe(exc: BaseException) -> str:
    """An exception as one line of text; OpenUSD's own errors as one sentence."""
    if isinstance(exc, UserError):
        return exc.message
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
        if exc.filename is not None:
            text += f": {exc.filename}"
    elif isinstance(exc, KeyError) and len(exc.args) == 1:
        text = f"missing key {exc.args[0]!r}"
    else:
        text = str(exc) or type(exc).__name__
    return _usd_sentence(" ".join(text.split()))


def _usd_sentence(text: str) -> str:
    """OpenUSD's C++ error text ("Error in 'pxrInternal_...::...' at line
    323 in file ... : '<path> is not a valid usda layer'") as one sentence
    naming the file and what is wrong."""
    error = re.search(r"Error in '[^']*' at line \d+ in file \S+ : '(.*)'", text)
    if error is None:
        return text
    files = re.findall(r"(/[^\s:'<>@]+\.usd[ac]?)\b", text)
    detail = re.sub(r"<[^>]*>|@[^@]*@", "", error.group(1)).strip(" .:")
    where = files[0] if files else "a USD file"
    if detail.startswith(("is ", "has ", "does ", "cannot ")):
        return f"{where} {detail} (OpenUSD could not use it)"
    return f"cannot use {where}: {detail or 'OpenUSD could not read it'}"
