"""Which files a product's composition may open.

A product's layers compose other layers (sublayers, references, payloads,
value clips), and those compose more. Product files are exchanged between
people, so what they may pull in is confined: every layer must resolve,
symbolic links followed, to a regular file inside the workspace that holds
the product, in its products directory, its geometry cache or its shared
layers. Anything else (a file elsewhere, a FIFO, a device, a socket) is
refused with ``ValueError`` naming the product and the layer before that
layer is opened, so that nothing outside is read and nothing can block.

``open_contained_layers`` walks the composition graph from the top-level
file, checking each layer before opening it, and returns the layers it
opened. Callers keep them while they open the stage, so that the stage
finds them in OpenUSD's layer registry instead of opening the files again.
"""

from __future__ import annotations

import os
import stat
import time
from collections.abc import Callable
from typing import Any

from pxr import Sdf, Tf

#: The folders of a workspace that a product's composition may reach.
CONTAINED_FOLDERS = ("products", "geometry", "layers")

# Prim metadata naming value-clip layers: the clip sets dictionary and the
# older per-prim keys.
_CLIP_KEYS = ("assetPaths", "manifestAssetPath", "templateAssetPath")
_LEGACY_CLIP_KEYS = ("clipAssetPaths", "clipManifestAssetPath", "clipTemplateAssetPath")


def allowed_roots(usd_path: str | os.PathLike[str]) -> tuple[str, tuple[str, ...]]:
    """The workspace of the product file ``usd_path`` and the real folders its
    composition may reach. A file outside any workspace may reach its own
    directory only."""
    from .paths import enclosing_workspace

    absolute = os.path.abspath(os.fspath(usd_path))
    workspace = enclosing_workspace(os.path.dirname(absolute))
    if workspace is None:
        # A file outside any workspace: its own folder, and the geometry
        # cache of the active workspace, where its geometry URIs lead.
        own = _real_folder(os.path.dirname(absolute))
        return own, (own, _real_folder(os.path.join(_active_workspace(), "geometry")))
    return workspace, tuple(
        _real_folder(os.path.join(workspace, name)) for name in CONTAINED_FOLDERS
    )


def _active_workspace() -> str:
    """The active workspace root, without creating the per-user one."""
    from .workspace import configured_root, resolve_configured_root, user_workspace

    configured = configured_root()
    return resolve_configured_root(configured) if configured else os.fspath(user_workspace())


def _real_folder(path: str) -> str:
    try:
        return _locate(path)[0]
    except OSError:
        return os.path.realpath(path)


def _inside(real: str, roots: tuple[str, ...]) -> bool:
    return any(real == root or real.startswith(root + "/") for root in roots)


def _asset_strings(value: Any) -> list[str]:
    if isinstance(value, Sdf.AssetPath):
        return [value.path]
    if isinstance(value, str):
        return [value]
    if hasattr(value, "__iter__"):
        return [s for item in value for s in _asset_strings(item)]
    return []


def _clip_assets(spec: Any, found: list[tuple[str, bool]]) -> None:
    """Append the value-clip layers named on ``spec`` and below it; the flag
    marks a template, whose directory is what can be checked."""
    if spec.HasInfo("clips"):
        for clip_set in dict(spec.GetInfo("clips")).values():
            for key in _CLIP_KEYS:
                if key in clip_set:
                    template = key == "templateAssetPath"
                    found.extend((a, template) for a in _asset_strings(clip_set[key]))
    for key in _LEGACY_CLIP_KEYS:
        if spec.HasInfo(key):
            template = key == "clipTemplateAssetPath"
            found.extend((a, template) for a in _asset_strings(spec.GetInfo(key)))
    for child in spec.nameChildren:
        _clip_assets(child, found)
    for variant_set in spec.variantSets:
        for variant in variant_set.variants:
            _clip_assets(variant.primSpec, found)


def _may_name_clips(real: str) -> bool:
    if real.endswith(".usda"):
        with open(real, "rb") as f:
            return b"clip" in f.read()
    return True


def _composed_assets(layer: Any, real: str) -> list[tuple[str, bool]]:
    found = [(a, False) for a in layer.GetCompositionAssetDependencies() if a]
    if _may_name_clips(real):
        clips: list[tuple[str, bool]] = []
        _clip_assets(layer.pseudoRoot, clips)
        found.extend(clips)
    return found


def _refuse(product: str, problem: str, what: str = "product") -> ValueError:
    return ValueError(f"{what} {product}: {problem}; refusing to open it")


def _locate(path: str) -> tuple[str, os.stat_result]:
    """Where ``path`` leads, links followed, and what it is, found without
    opening it for reading (``O_PATH``), so a FIFO or a device is not
    touched. ``OSError`` when it cannot be reached."""
    fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        try:
            return os.readlink(f"/proc/self/fd/{fd}"), st
        except OSError:  # no /proc here
            return os.path.realpath(path), st
    finally:
        os.close(fd)


# Layer file -> (its status signature, the layers it composes, anchored):
# layers checked before are not parsed again while the file is unchanged.
# A file changed within the last few seconds is not remembered, since a
# further change could keep the same timestamps.
_COMPOSED: dict[str, tuple[tuple[int, ...], tuple[tuple[str, bool], ...]]] = {}
_COMPOSED_LIMIT = 4096
# How long a modification must lie in the past before what was learnt from a
# file is remembered: above the timestamp granularity of the file systems in
# use (coarse kernel clock ticks; whole seconds, or two, on some).
SETTLE_NS = 2_000_000_000


def composed_record(identifier: str, signature: tuple[int, ...]) -> list[str] | None:
    """The files the layer ``identifier`` composes, as checked when its file
    had ``signature``; None when it was not checked at that signature."""
    known = _COMPOSED.get(identifier)
    if known is None or known[0] != signature:
        return None
    return [path for path, template in known[1] if not template]


def stat_signature(st: os.stat_result) -> tuple[int, ...]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def _open(product: str, identifier: str) -> Any:
    try:
        layer = Sdf.Layer.FindOrOpen(identifier)
    except Tf.ErrorException as exc:
        text = " ".join(str(exc).split())[:500]
        raise ValueError(f"product {product}: OpenUSD cannot open {identifier}: {text}") from exc
    if layer is None:
        raise ValueError(f"product {product}: OpenUSD cannot open {identifier}")
    return layer


def own_folder(usd_path: str | os.PathLike[str]) -> tuple[str, tuple[str, ...]]:
    """The folder of ``usd_path`` as the only place its composition may reach:
    the rule for a geometry file brought in from outside the workspace."""
    own = _real_folder(os.path.dirname(os.path.abspath(os.fspath(usd_path))))
    return own, (own,)


def open_contained_layers(
    usd_path: str | os.PathLike[str],
    *,
    confine: Callable[[str], tuple[str, tuple[str, ...]]] = allowed_roots,
    what: str = "product",
) -> list[Any]:
    """Check and open every layer that the product file ``usd_path`` composes.

    Returns the layers it opened, the top-level one first (a layer checked
    before and unchanged since is not parsed again). Raises
    ``FileNotFoundError`` when the top-level file is missing and
    ``ValueError`` naming the product and the offending layer when a layer
    resolves outside the workspace or is not a regular file (nothing of it
    is opened) or cannot be parsed. A layer that does not exist is left to
    OpenUSD, which skips it with a warning. ``confine`` gives the folders
    the composition may reach (``own_folder`` for a geometry file); ``what``
    names the file in refusals.
    """
    product = os.path.abspath(os.fspath(usd_path))
    workspace, roots = confine(product)
    place = "the workspace" if confine is allowed_roots else "the folder"
    settled = time.time_ns() - SETTLE_NS
    opened: list[Any] = []
    seen: set[str] = set()
    pending: list[tuple[str, str | None, bool]] = [(product, None, False)]
    while pending:
        identifier, named_by, template = pending.pop()
        where = "" if named_by is None else f" named by {named_by}"
        try:
            real, st = _locate(os.path.dirname(identifier) if template else identifier)
        except FileNotFoundError:
            if named_by is None:
                raise FileNotFoundError(2, "USD file not found", identifier) from None
            continue
        except OSError as exc:
            raise _refuse(
                product, f"layer {identifier}{where} cannot be examined: {exc}", what
            ) from exc
        if real in seen:
            continue
        if not _inside(real, roots):
            raise _refuse(
                product,
                f"layer {identifier}{where} resolves to {real}, outside {place} {workspace}",
                what,
            )
        seen.add(real)
        if template:
            continue  # clip files named by a pattern: their folder is inside
        if not stat.S_ISREG(st.st_mode):
            raise _refuse(product, f"layer {identifier}{where} is not a regular file", what)
        signature = stat_signature(st)
        known = _COMPOSED.get(identifier)
        if known is not None and known[0] == signature:
            composed = known[1]
            if named_by is None:  # the caller gets the top-level layer, opened
                opened.append(_open(product, identifier))
        else:
            layer = _open(product, identifier)
            opened.append(layer)
            composed = tuple(
                (layer.ComputeAbsolutePath(asset), is_template)
                for asset, is_template in _composed_assets(layer, real)
            )
            if signature[3] < settled and signature[4] < settled:
                if len(_COMPOSED) >= _COMPOSED_LIMIT:
                    _COMPOSED.clear()
                _COMPOSED[identifier] = (signature, composed)
        pending.extend((path, identifier, is_template) for path, is_template in composed)
    return opened


_SETTLE_NS = SETTLE_NS  # the name older callers know
