"""The current results of products, remembered by the files their runs come from.

Finding a product's current results reads the light fields of every run;
with thousands of runs that costs more than the rest of a load together.
The answer depends only on the files the runs come from, so it is
remembered under a key of those files and their stat signatures (device,
inode, size, modification and change times; ``key_of``, only from files
settled on disk). Any write of a runs file (always a new inode: writes are
atomic renames), a hand edit, a copy or a move changes the key.

The answer is kept in memory and, for products inside a workspace, in the
workspace's state folder (``.velmor/current/``, one small file a product,
holding its key), so that a fresh process, a command, finds it too.
Nothing is written inside ``layer_io.read_only()`` or when the folder
cannot be written: the answer is then only computed.
A file that cannot be read or parsed is a miss, never an error.
"""

from __future__ import annotations

import hashlib
import json
import os
import time
from pathlib import Path
from typing import Any

Key = tuple[tuple[str, tuple[int, ...] | None], ...]

#: Changes when what the current results hold or how they are chosen changes.
VERSION = 2
_MEMORY: dict[Key, dict[str, Any]] = {}
_MEMORY_LIMIT = 256


def key_of(root: Any, simulations: Any) -> Key | None:
    """The key of the runs of the product whose top-level layer is ``root``
    and whose Simulations prim is at ``simulations``: the top-level layer
    (with its stat signature when it holds that prim) and every file its
    sublayers compose, with theirs. None when a file the runs may come from
    is not settled on disk (changed within the last seconds) or the
    top-level layer is unsaved.

    Only the top-level layer object is touched: the sublayers' files come
    from the containment check's record, since asking OpenUSD for a layer by
    file, or for a spec's layer, keeps Python objects alive per call."""
    from .containment import SETTLE_NS, composed_record, stat_signature

    settled = time.time_ns() - SETTLE_NS

    def signature(file: str) -> tuple[int, ...] | None:
        try:
            sig = stat_signature(os.stat(file))
        except OSError:
            return None
        return sig if sig[3] < settled and sig[4] < settled else None

    if root.dirty or root.anonymous or not root.realPath:
        return None
    key: list[tuple[str, tuple[int, ...] | None]] = [(root.identifier, None)]
    if root.GetPrimAtPath(simulations) is not None:
        own = signature(root.realPath)
        if own is None:
            return None
        key[0] = (root.identifier, own)
    pending = [root.ComputeAbsolutePath(sub) for sub in root.subLayerPaths]
    seen = {root.identifier}
    while pending:
        file = pending.pop()
        if file in seen:
            continue
        seen.add(file)
        sig = signature(file)
        known = composed_record(file, sig) if sig is not None else None
        if known is None:
            return None
        key.append((file, sig))
        pending.extend(known)
    return tuple(key)


def _file(product: str) -> Path | None:
    from .layer_io import state_dir
    from .paths import enclosing_workspace

    absolute = os.path.abspath(product)
    workspace = enclosing_workspace(os.path.dirname(absolute))
    if workspace is None:
        return None
    digest = hashlib.sha256(absolute.encode(errors="surrogateescape")).hexdigest()[:32]
    return state_dir(workspace) / "current" / f"{digest}.json"


def _stored(key: Key, current: dict[str, Any]) -> dict[str, Any]:
    return {"version": VERSION, "key": key, "current": current}


def lookup(key: Key, product: str) -> dict[str, Any] | None:
    """The current results remembered under ``key`` (a new dict), or None."""
    found = _MEMORY.get(key)
    if found is None:
        file = _file(product)
        if file is None:
            return None
        try:
            with open(file, "rb") as handle:
                stored = json.loads(handle.read(1 << 20))
        except (OSError, ValueError):
            return None
        if not isinstance(stored, dict) or not isinstance(stored.get("current"), dict):
            return None
        if stored.get("version") != VERSION or stored.get("key") != json.loads(json.dumps(key)):
            return None  # another state of the runs, or another version's answer
        found = stored["current"]
        _remember_in_memory(key, found)
    return dict(found)


def remember(key: Key, product: str, current: dict[str, Any]) -> None:
    """Keep ``current`` under ``key``, in memory and where it may, on disk."""
    from .layer_io import _real_directory, atomic_write_bytes, writes_refused

    _remember_in_memory(key, dict(current))
    file = _file(product)
    if file is None or writes_refused():
        return
    try:
        data = json.dumps(_stored(key, current)).encode()
        _real_directory(file.parent)
        atomic_write_bytes(file, data)
    except (OSError, TypeError, ValueError):
        pass  # only a cache: the next load computes the answer again


def _remember_in_memory(key: Key, current: dict[str, Any]) -> None:
    if len(_MEMORY) >= _MEMORY_LIMIT:
        _MEMORY.clear()
    _MEMORY[key] = current
