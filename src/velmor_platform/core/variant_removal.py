"""Removing a product made as a variant, and what was made for it alone.

``remove_variant(workspace, name, cases=False, dry_run=False)`` removes:

* the product's folder (``products/<programme>[/<variant>]``), first moved
  aside under a hidden name, so that it disappears at once and whole;
* the geometry files its top-level layer names in the workspace's
  ``geometry/`` folder (the body and wheels ``velmor variant`` wrote),
  unless another product's top-level layer names them too;
* the case template and the handling template ``velmor variant`` copied
  for it (their README says they were made for this product), unless
  another product's folder bears the template's name and so uses it;
* with ``cases``, its case folders (``cases/<programme>-<variant>``).

Nothing outside the workspace is touched: every path is checked, links
resolved, to lie in the workspace's folder it belongs in, and links
themselves are removed, never followed. A product whose folder holds
other products (a programme's top-level product with variants) is
refused. The writes are made under the product's lock. Refusals raise
``ValueError`` (``FileNotFoundError`` for no such product) with one line.
"""

from __future__ import annotations

import contextlib
import os
import shutil
from pathlib import Path
from typing import Any


def _inside(path: Path, folder: Path) -> bool:
    real = os.path.realpath(path.parent) + os.sep + path.name
    root = os.path.realpath(folder)
    return real.startswith(root + os.sep)


def _geometry_named(usd_path: Path, geometry: Path) -> set[Path]:
    """The files in ``geometry`` that the top-level layer ``usd_path`` names."""
    from pxr import Sdf, Tf

    try:
        layer = Sdf.Layer.OpenAsAnonymous(str(usd_path))
    except Tf.ErrorException:
        return set()
    if layer is None:
        return set()
    from .geometry_cache import SCHEME

    named: set[Path] = set()
    for asset in layer.GetCompositionAssetDependencies():
        if asset.startswith(f"{SCHEME}:///"):  # the cache's URI of a file in geometry/
            target = Path(os.path.normpath(geometry / asset[len(SCHEME) + 4 :]))
        elif not asset or ":" in asset.split("/")[0] or os.path.isabs(asset):
            continue  # other URIs and absolute paths: never ours to remove
        else:
            target = Path(os.path.normpath(usd_path.parent / asset))
        if target.is_relative_to(geometry) and _inside(target, geometry):
            named.add(target)
    return named


def _made_for(template: Path, name: str) -> bool:
    readme = template / "README.md"
    try:
        return f"for {name} by velmor" in readme.read_text(encoding="utf-8")
    except OSError:
        return False


def _remove(path: Path) -> None:
    if path.is_symlink() or not path.is_dir():
        with contextlib.suppress(FileNotFoundError):
            path.unlink()
    else:
        shutil.rmtree(path)


def remove_variant(
    workspace: str | os.PathLike[str], name: str, *, cases: bool = False, dry_run: bool = False
) -> dict[str, Any]:
    """Remove the product ``name`` and what was made for it alone; returns
    what was (or, with ``dry_run``, would be) removed and what was kept."""
    from .api import list_products, split_identifier
    from .layer_io import product_lock
    from .paths import templates_dir
    from .variant_install import temporary

    root = Path(workspace).resolve()
    programme, variant = split_identifier(name)
    folder = root / "products" / programme
    if variant is not None:
        folder = folder / variant
    products = dict(list_products(root / "products"))
    usd_path = products.get(name)
    if usd_path is None or usd_path.parent != folder:
        raise FileNotFoundError(2, "no such product", name)
    if not _inside(folder, root / "products") or folder.is_symlink():
        raise ValueError(f"{name}: its folder {folder} is not a folder of the workspace's products")
    others = {k: v for k, v in products.items() if k != name}
    inside = sorted(k for k, v in others.items() if folder in v.parents)
    if inside:
        raise ValueError(f"{name} holds other products ({', '.join(inside)}): remove them first")
    geometry = root / "geometry"
    used = set().union(*(_geometry_named(v, geometry) for v in others.values()))
    mine = _geometry_named(usd_path, geometry)
    template_shared = any(v.parent.name == folder.name for v in others.values())
    removed: list[Path] = [folder]
    kept: list[dict[str, str]] = []
    for path in sorted(mine):
        if path in used:
            kept.append({"path": str(path), "reason": "another product uses it"})
        elif path.exists() or path.is_symlink():
            removed.append(path)
    # Its case template and its handling template (for Chrono), both found by folder name.
    for kind in (templates_dir(root), root / "templates" / "chrono"):
        template = kind / folder.name
        if not template.is_dir() or template.is_symlink():
            continue
        if not _made_for(template, name):
            kept.append({"path": str(template), "reason": "not copied for this product"})
        elif template_shared:
            kept.append({"path": str(template), "reason": "another product uses it"})
        elif _inside(template, kind):
            removed.append(template)
    case_folder = root / "cases" / name.replace(":", "-")
    if cases and (case_folder.exists() or case_folder.is_symlink()):
        if _inside(case_folder, root / "cases"):
            removed.append(case_folder)
    elif case_folder.exists():
        kept.append({"path": str(case_folder), "reason": "case folders kept (ask for them)"})
    if not dry_run:
        with product_lock(usd_path):
            aside = temporary(folder.parent, "product")
            os.rename(folder, aside)
            for path in removed[1:]:
                _remove(path)
            shutil.rmtree(aside, ignore_errors=True)
    return {
        "product": name,
        "dry_run": dry_run,
        "removed": [str(p) for p in removed],
        "kept": kept,
    }
