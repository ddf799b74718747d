"""Finding the workspace and loading a product, for every use case.

``Workspace`` is the workspace a face chose and how it chose it;
``load(ref, workspace)`` is the product a reference names, refused with a
``UserError`` before the product core is asked when the reference cannot
work. The product core (and with it OpenUSD) is imported on first use.
"""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..core.signals import signals_deferred
from .errors import UserError

if TYPE_CHECKING:
    from ..core.product_core import ProductCore

#: The command that creates a workspace, named in the messages that need one.
INIT_COMMAND = "velmor init"


@dataclass(frozen=True)
class Workspace:
    """The workspace a face works in, and how it was chosen (for messages)."""

    root: Path
    how: str = ""


def interrupt_deferred() -> AbstractContextManager[None]:
    """Hold back Ctrl-C while the block runs and raise it right after.

    OpenUSD's import swallows an interrupt that arrives while it runs (and
    prints its own tracebacks); here the interrupt waits for the import to
    finish and then stops the command as usual.
    """
    return signals_deferred(signal.SIGINT)


def core() -> type[ProductCore]:
    """The product core's class, imported on first use (it brings in OpenUSD)."""
    module = sys.modules.get("velmor_platform.core.product_core")
    if module is None:
        with interrupt_deferred():
            from ..core import product_core as module
    found: type[ProductCore] = module.ProductCore  # type: ignore[union-attr]
    return found


def require_workspace(workspace: Workspace) -> Path:
    """The workspace's root when it is a usable workspace, else ``UserError``."""
    root = workspace.root
    origin = f" (from {workspace.how})" if workspace.how else ""
    if root.exists() and not root.is_dir():
        raise UserError("unavailable", f"workspace {root}{origin} is not a directory")
    if not root.is_dir():
        raise UserError(
            "unavailable",
            f"workspace {root}{origin} does not exist; create it with '{INIT_COMMAND} {root}'",
        )
    if not (root / "products").is_dir():
        raise UserError(
            "unavailable",
            f"{root}{origin} is not a velmor workspace: it has no products/ directory",
        )
    return root


def looks_like_path(ref: str) -> bool:
    """True when ``ref`` names a file rather than a product identifier."""
    return (
        os.sep in ref
        or (os.altsep is not None and os.altsep in ref)
        or ref.endswith((".usda", ".usdc"))
    )


def load(ref: str, workspace: Workspace | None) -> ProductCore:
    """The product named by ``ref``, as ``ProductCore.load`` finds it."""
    if looks_like_path(ref):
        path = Path(ref)
        if not path.exists():
            raise UserError("not_found", f"no such product file: {ref}")
        if path.is_dir():
            raise UserError(
                "invalid", f"{ref} is a directory; name the product's top-level .usda or .usdc file"
            )
        if path.suffix not in (".usda", ".usdc"):
            raise UserError("invalid", f"{ref} is not a USD file (expected .usda or .usdc)")
    elif workspace is not None:
        require_workspace(workspace)
    return core().load(ref)


def identifier_only(ref: str) -> str:
    """``ref`` when it is a product identifier, never a path (for requests
    that must stay inside the workspace)."""
    from ..core.api import split_identifier

    if not ref or looks_like_path(ref):
        raise UserError("not_found", f"no product named {ref!r}: products are named by identifier")
    try:
        split_identifier(ref)
    except (TypeError, ValueError) as exc:
        raise UserError("not_found", str(exc)) from None
    return ref


@contextmanager
def layers_kept(ref: str) -> Iterator[None]:
    """Keep the product's layers open while the block runs.

    OpenUSD parses a layer file once while something holds it, so the
    several reads of one use case (load, history; load, write, re-read)
    share one parse instead of parsing a long run history each time.
    Anything that goes wrong here is left to the reads themselves to report.
    """
    core()  # OpenUSD, imported with Ctrl-C held back
    from pxr import Tf

    from ..core.api import find_product_usd
    from ..core.containment import open_contained_layers

    kept: list[Any] = []
    try:
        path = os.path.abspath(ref) if looks_like_path(ref) else str(find_product_usd(ref))
        # Opened only once every layer the product composes has been checked.
        kept = open_contained_layers(path)
    except (OSError, ValueError, Tf.ErrorException):
        pass
    try:
        yield
    finally:
        kept.clear()


def identifier(product: ProductCore) -> str:
    """The product's identifier (``sedan:base``), as the core reconstructs it."""
    return product._product_identifier()


def heading(product: ProductCore) -> str:
    """The product as its results name it: ``Velmor Sedan Base (sedan:base)``."""
    return f"{product.name} ({identifier(product)})"
