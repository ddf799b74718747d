"""Resolving ``velmor-geo:///`` geometry URIs to the workspace's geometry cache.

Product layers name their geometry by URI, independent of where the
workspace lives::

    velmor-geo:///<relative/asset/path>  ->  <workspace>/geometry/<relative/asset/path>

where ``<workspace>`` is the workspace holding the product (see
``workspace.workspace_of``). ``resolve_product_geometry`` rewrites every
such asset path in the USD layers of one product directory to the path of
the cache file relative to the layer that holds it (``../../geometry/...``):
sublayers, references, payloads, asset-valued attributes (time samples
included), variants and asset-valued metadata. A relative path keeps
naming the same cache file when the workspace is moved or copied, and a
copy never reaches the original's files. Absolute paths into a geometry
cache, which earlier versions wrote, are repaired the same way: the part
after ``/geometry/`` names the cache file. Only the ``.usda`` and ``.usdc``
files directly in the directory are product layers; its sub-directories
hold other products (variants) and are left alone.

Guarantees:

* All or nothing before writing: every URI of every layer is checked first.
  A malformed URI, or one that would leave the cache (absolute, "..",
  empty or "." components, backslashes), raises ``ValueError``; one whose
  asset is not in the cache raises ``FileNotFoundError`` naming it. In both
  cases no file has been touched.
* Only layers that resolve, links followed, to regular files inside the
  workspace's products directory are read; any other layer file in the
  directory is refused with ``ValueError`` naming it.
* Rewrites hold the product's lock and re-read the layers under it, and
  each file is replaced with ``layer_io.save_layer`` (atomic, checked to
  stay in the products directory, permission bits kept; a read-only file
  is refused with ``PermissionError`` naming it).
* Idempotent: once resolved, a layer holds no URI and no absolute cache
  path, so another call finds nothing to do and writes nothing (reading
  needs no write access). A ``.usda`` file whose text mentions neither the
  scheme nor an absolute asset path is not even parsed.
* A layer that OpenUSD already holds open in this process is brought in
  line with the rewritten file, so it is never served stale.

Most calls find nothing to do (loading a product resolves its directory
every time), so the process remembers the files, and the directories, it
has found free of URIs, by path, device, inode, size, modification and
change time. A file or directory is looked at again as soon as any of those
differ; one modified so recently that a further change could go unnoticed
within the file system's timestamp granularity is not remembered at all.
An unchanged directory therefore costs one ``stat`` for it and one per
layer.
"""

from __future__ import annotations

import errno
import os
import time
from pathlib import Path
from typing import Any

from pxr import Sdf, Tf

from .containment import SETTLE_NS as _SETTLE_NS  # patched by the tests
from .containment import stat_signature
from .layer_io import product_lock, save_layer, write_root
from .paths import enclosing_workspace
from .usd_product import tf_message
from .workspace import workspace_of

SCHEME = "velmor-geo"
_PREFIX = SCHEME + ":///"
_LAYER_SUFFIXES = (".usda", ".usdc")


def cache_dir(workspace: Path) -> Path:
    """The geometry cache of ``workspace``."""
    return workspace / "geometry"


def _is_geo_uri(asset_path: str) -> bool:
    # URI schemes are case-insensitive.
    return asset_path[: len(SCHEME) + 1].lower() == SCHEME + ":"


def uri_to_cache_path(uri: str, cache: Path) -> Path:
    """The cache path that ``velmor-geo:///<rel>`` stands for.

    Raises ``ValueError`` when the URI is malformed or would reach outside
    ``cache``.
    """
    if uri[: len(_PREFIX)].lower() != _PREFIX:
        raise ValueError(f"malformed geometry URI {uri!r}: expected {_PREFIX}<relative/path>")
    rel = uri[len(_PREFIX) :]
    if not rel or rel.startswith("/"):
        raise ValueError(f"geometry URI {uri!r} must name a path relative to the geometry cache")
    if "\\" in rel or "\0" in rel:
        raise ValueError(f"geometry URI {uri!r} contains a backslash or NUL character")
    parts = rel.split("/")
    if any(part in ("", ".", "..") for part in parts):
        raise ValueError(
            f"geometry URI {uri!r} has an empty, '.' or '..' path component; "
            "it must stay inside the geometry cache"
        )
    return cache.joinpath(*parts)


def _may_hold_uris(path: Path) -> bool:
    if path.suffix != ".usda":
        return True  # crate files may store strings compressed
    data = path.read_bytes()
    return b"@/" in data or SCHEME.encode() in data.lower()


_CACHE_PART = "/geometry/"


def _repaired(asset_path: str, cache: Path) -> Path | None:
    """The file of ``cache`` that an absolute path into a geometry cache (as
    earlier versions wrote, perhaps of a workspace since moved) names, or
    None when it names none."""
    start = 0
    while (index := asset_path.find(_CACHE_PART, start)) >= 0:
        rel = asset_path[index + len(_CACHE_PART) :]
        start = index + 1
        try:
            target = uri_to_cache_path(_PREFIX + rel, cache)
        except ValueError:
            continue
        if target.is_file():
            return target
    return None


def _relative(target: Path, layer_dir: str) -> str:
    """``target`` relative to the folder of the layer naming it, anchored
    (``./`` or ``../``) so that OpenUSD resolves it against the layer."""
    rel = os.path.relpath(target, layer_dir)
    return rel if rel.startswith("../") else "./" + rel


def _plan(path: Path, cache: Path) -> Any:
    """Open ``path`` detached from the layer registry and rewrite its URIs
    in memory. Returns the rewritten layer, or None when nothing changed."""
    from pxr import UsdUtils  # slow to import; most calls never get here

    try:
        layer = Sdf.Layer.OpenAsAnonymous(str(path))
    except Tf.ErrorException as exc:
        raise ValueError(f"OpenUSD cannot open {path}: {tf_message(exc)}") from exc
    if layer is None:
        raise ValueError(f"OpenUSD cannot open {path}")

    changed = False
    problem: list[BaseException] = []
    layer_dir = os.path.dirname(os.path.abspath(path))

    def rewrite(asset_path: str) -> str:
        nonlocal changed
        if problem:
            return asset_path
        if not _is_geo_uri(asset_path):
            repaired = _repaired(asset_path, cache) if asset_path.startswith("/") else None
            if repaired is None:
                return asset_path
            changed = True
            return _relative(repaired, layer_dir)
        try:
            target = uri_to_cache_path(asset_path, cache)
        except ValueError as exc:
            problem.append(ValueError(f"{exc} (in {path})"))
            return asset_path
        if not target.is_file():
            problem.append(
                FileNotFoundError(
                    f"geometry {asset_path!r} referenced by {path} is not in the "
                    f"geometry cache: {target} does not exist"
                )
            )
            return asset_path
        changed = True
        return _relative(target, layer_dir)

    UsdUtils.ModifyAssetPaths(layer, rewrite)
    if problem:
        raise problem[0]
    return layer if changed else None


def _refresh_registered(path: Path, cache: Path) -> None:
    """Bring a layer this process already has open in line with the file."""
    layer = Sdf.Layer.Find(str(path))
    if layer is None:
        return
    if layer.dirty:
        # Keep the unsaved edits; rewrite the same paths in memory.
        from pxr import UsdUtils

        layer_dir = os.path.dirname(os.path.abspath(path))

        def rewrite(asset_path: str) -> str:
            if not _is_geo_uri(asset_path):
                repaired = _repaired(asset_path, cache) if asset_path.startswith("/") else None
                return asset_path if repaired is None else _relative(repaired, layer_dir)
            try:
                return _relative(uri_to_cache_path(asset_path, cache), layer_dir)
            except ValueError:
                return asset_path  # left for the next resolve to report

        UsdUtils.ModifyAssetPaths(layer, rewrite)
    else:
        layer.Reload(True)


# path -> stat signature of a layer file found to hold no geometry URI.
_CLEAN: dict[str, tuple[int, ...]] = {}
_CLEAN_LIMIT = 65536

# product directory -> (its stat signature, ((layer path, stat signature),
# ...)): directories whose every layer was found free of URIs. While the
# directory's signature holds, it has the same entries (creating, removing
# or renaming one changes its modification time), so stating the layers
# listed is enough.
_SETTLED: dict[str, tuple[tuple[int, ...], tuple[tuple[str, tuple[int, ...]], ...]]] = {}
_SETTLED_LIMIT = 4096

# Errors for which Path.is_dir() and Path.is_file() answer False instead of
# raising.
_ABSENT = frozenset({errno.ENOENT, errno.ENOTDIR, errno.EBADF, errno.ELOOP})


def _is_file(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_file()
    except OSError as exc:
        if exc.errno in _ABSENT:
            return False
        raise


def _not_found(product_dir: str) -> FileNotFoundError:
    return FileNotFoundError(f"product directory not found: {product_dir}")


def resolve_product_geometry(product_dir: str | os.PathLike[str]) -> list[Path]:
    """Rewrite the ``velmor-geo:///`` URIs of the layers in ``product_dir``.

    Returns the files that were rewritten (empty when there was nothing
    to do).
    """
    given = os.fspath(product_dir)
    known = _SETTLED.get(given) if given.__class__ is str else None
    if known is not None:
        stat = os.stat
        try:
            if stat_signature(stat(given)) == known[0]:
                for path, signature in known[1]:
                    if stat_signature(stat(path)) != signature:
                        break
                else:
                    return []
        except (OSError, ValueError):
            pass
        _SETTLED.pop(given, None)
    return _resolve(os.path.abspath(given), given)


def _resolve(product_dir: str, given: object) -> list[Path]:
    settled = time.time_ns() - _SETTLE_NS
    try:
        directory_signature = stat_signature(os.stat(product_dir))
        it = os.scandir(product_dir)
    except (OSError, ValueError) as exc:
        if isinstance(exc, ValueError) or exc.errno in _ABSENT:
            raise _not_found(product_dir) from None
        raise
    # Hidden files are skipped: they include the temporary files of a
    # rewrite in progress.
    with it:
        named = [
            entry
            for entry in it
            if entry.name.endswith(_LAYER_SUFFIXES) and not entry.name.startswith(".")
        ]
    entries = sorted((entry for entry in named if _is_file(entry)), key=_entry_name)
    workspace = enclosing_workspace(product_dir)
    cache = cache_dir(Path(workspace) if workspace is not None else workspace_of(product_dir))

    planned, clean = _scan(entries, cache, settled)
    if planned:
        # Read again under the product's lock, so that no write made since
        # the first reading is lost, and write.
        current = planned[0][0]
        try:
            with product_lock(current):
                planned, clean = _scan(entries, cache, settled)
                for current, layer in planned:
                    save_layer(layer, current)
                    _refresh_registered(current, cache)
        except OSError as exc:
            if exc.errno in _READ_ONLY:
                raise PermissionError(
                    exc.errno,
                    f"the geometry references of {current} must be rewritten to load it, "
                    f"but it cannot be written: it is read-only ({exc})",
                    str(current),
                ) from exc
            raise
    # Remembered only once every layer has passed its checks.
    if len(_CLEAN) >= _CLEAN_LIMIT:
        _CLEAN.clear()
    _CLEAN.update(clean)
    if planned:
        return [path for path, _ in planned]
    if (
        workspace is not None
        and given == product_dir
        and len(clean) == len(named)  # a link to no file could become one
        and directory_signature[3] < settled
        and directory_signature[4] < settled
    ):
        if len(_SETTLED) >= _SETTLED_LIMIT:
            _SETTLED.clear()
        _SETTLED[product_dir] = (directory_signature, tuple(clean))
    return []


def _scan(
    entries: list[os.DirEntry[str]], cache: Path, settled: int
) -> tuple[list[tuple[Path, Any]], list[tuple[str, tuple[int, ...]]]]:
    """The layers to rewrite, as (path, rewritten layer), and the layers
    found clean, as (path, stat signature)."""
    planned: list[tuple[Path, Any]] = []
    clean: list[tuple[str, tuple[int, ...]]] = []
    for entry in entries:
        path_str = entry.path
        signature = stat_signature(entry.stat())
        if _CLEAN.get(path_str) == signature:
            clean.append((path_str, signature))
            continue
        _check_contained(path_str)
        path = Path(path_str)
        if _may_hold_uris(path):
            layer = _plan(path, cache)
            if layer is not None:
                planned.append((path, layer))
                continue
        if signature[3] < settled and signature[4] < settled:
            clean.append((path_str, signature))
    return planned, clean


def _check_contained(path: str) -> None:
    """Refuse a layer file that resolves outside the products directory."""
    real = os.path.realpath(path)
    root = write_root(path)
    if not real.startswith(root + "/"):
        raise ValueError(
            f"layer {path} resolves to {real}, outside the workspace's products "
            f"directory {root}; refusing to read it"
        )


_READ_ONLY = frozenset({errno.EACCES, errno.EPERM, errno.EROFS})


def _entry_name(entry: os.DirEntry[str]) -> str:
    return entry.name
