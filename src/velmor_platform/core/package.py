"""A product as one self-contained file, to hand to someone else.

The product's top-level file names its sublayers and geometry by relative
paths, so that file alone is useless elsewhere. ``package_product`` writes a
USDZ package (OpenUSD's zip format, which every USD tool opens as one
stage) holding the whole product: its layer stack, the geometry its layers
reference and any other asset they name. Each file keeps its path relative
to the folder that holds them all (``products/sedan/sport/sedan.usda``,
``geometry/sedan/body_sport.usda``), with the top-level layer first, so the
relative references between them resolve inside the package unchanged.

Every file packaged must lie, links followed, inside the product's
workspace, as for opening it (``containment``): an asset path naming
anything else is refused with ``ValueError`` before anything is written.
The package is written atomically (``layer_io.atomic_write_bytes``).
"""

from __future__ import annotations

import os
import stat
import tempfile
from pathlib import Path
from typing import Any

#: File name suffix of a package.
SUFFIX = ".usdz"


def _refuse(product: str, what: str) -> ValueError:
    return ValueError(f"product {product}: {what}; refusing to package it")


def package_files(usd_path: str | os.PathLike[str]) -> list[tuple[str, Any]]:
    """The files of the product's package, top-level layer first, as
    ``(name in the package, layer or None)`` with the real path as name
    base; see ``package_product``."""
    from pxr import Sdf, UsdUtils

    from .containment import _inside, _locate, allowed_roots, open_contained_layers

    product = os.path.abspath(os.fspath(usd_path))
    # Checked first, and held, so that the dependency walk reads these layers
    # (and any repair made in memory) rather than opening the files again.
    held = open_contained_layers(product)
    layers, assets, unresolved = UsdUtils.ComputeAllDependencies(Sdf.AssetPath(product))
    del held
    if unresolved:
        raise _refuse(product, f"{unresolved[0]} cannot be resolved")
    _, roots = allowed_roots(product)
    found: list[tuple[str, Any]] = []
    for item in [*layers, *assets]:
        layer = item if not isinstance(item, str) else None
        where = layer.realPath if layer is not None else item
        try:
            real, st = _locate(where)
        except OSError as exc:
            raise _refuse(product, f"{where} cannot be examined: {exc}") from exc
        if not _inside(real, roots):
            raise _refuse(product, f"{where} resolves to {real}, outside the workspace")
        if not stat.S_ISREG(st.st_mode):
            raise _refuse(product, f"{where} is not a regular file")
        if all(real != seen for seen, _ in found):
            found.append((real, layer))
    return found


def package_bytes(usd_path: str | os.PathLike[str]) -> tuple[bytes, list[str]]:
    """The USDZ package of the product (see ``package_product``) as bytes,
    with the names of the files inside. Writes nothing but scratch files."""
    from pxr import Sdf

    found = package_files(usd_path)
    base = os.path.commonpath([os.path.dirname(real) for real, _ in found])
    names = [os.path.relpath(real, base) for real, _ in found]
    with tempfile.TemporaryDirectory(prefix="velmor-package-") as scratch:
        writer = Sdf.ZipFileWriter.CreateNew(os.path.join(scratch, "package" + SUFFIX))
        for index, ((real, layer), name) in enumerate(zip(found, names, strict=True)):
            source = real
            if layer is not None and layer.dirty:
                # Edits this process holds in memory (a repair it may not
                # write): packaged as read.
                source = os.path.join(scratch, f"{index}{Path(real).suffix}")
                layer.Export(source)
            if not writer.AddFile(source, name):
                raise OSError(f"cannot add {real} to the package")
        writer.Save()
        return Path(scratch, "package" + SUFFIX).read_bytes(), names


def package_product(
    usd_path: str | os.PathLike[str], destination: str | os.PathLike[str]
) -> dict[str, Any]:
    """Write the product whose top-level file is ``usd_path`` as one USDZ
    package to ``destination``.

    Returns ``{"format": "usdz", "path", "files", "size_bytes"}``, ``files``
    being the names inside the package. Raises ``ValueError`` when a file
    the product names lies outside its workspace or cannot be resolved.
    """
    from .layer_io import atomic_write_bytes

    data, names = package_bytes(usd_path)
    atomic_write_bytes(destination, data)
    return {
        "format": "usdz",
        "path": os.path.abspath(os.fspath(destination)),
        "files": names,
        "size_bytes": len(data),
    }
