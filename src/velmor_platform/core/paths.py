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


def list_templates(workspace: str | os.PathLike[str]) -> list[str]:
    """Sorted names of the template directories of ``workspace``.

    A missing templates folder (or a plain file in its place) means no
    templates; any other I/O error propagates.
    """
    folder = templates_dir(workspace)
    try:
        entries = list(os.scandir(folder))
    except (FileNotFoundError, NotADirectoryError):
        return []
    names = []
    for entry in entries:
        if entry.name.startswith("."):
            continue
        try:
            # Follows symbolic links: a linked template folder counts.
            if entry.is_dir():
                names.append(entry.name)
        except OSError:
            continue
    return sorted(names)
