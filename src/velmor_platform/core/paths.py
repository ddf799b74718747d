"""Where a product file's workspace is, read from the path alone, and where
a workspace keeps its case templates.

A leaf of the core: ``workspace`` (choosing and seeding workspaces) and
``layer_io`` (locks and atomic writes) both need it, and neither imports
the other for it.
"""

from __future__ import annotations

import os
from pathlib import Path

#: Where a workspace keeps its OpenFOAM case templates, relative to its root.
TEMPLATES_FOLDER = ("templates", "openfoam")


def templates_dir(workspace: str | os.PathLike[str]) -> Path:
    """The case templates folder of ``workspace``."""
    return Path(workspace).joinpath(*TEMPLATES_FOLDER)


def enclosing_workspace(absolute: str) -> str | None:
    """The parent of the nearest directory named ``products`` enclosing the
    normalised absolute path ``absolute`` (itself included), or None."""
    index = absolute.rfind("/products")
    while index >= 0:
        end = index + len("/products")
        if end == len(absolute) or absolute[end] == "/":
            return absolute[:index] or "/"
        index = absolute.rfind("/products", 0, index)
    return None
