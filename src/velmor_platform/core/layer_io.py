"""Safe writes of product files: one atomic write and one lock per product.

Every write of a product's USD layers goes through this module:

* ``atomic_write_bytes`` puts new content in place of a file so that a
  reader, a crash, a full disk or a killed process sees either the old file
  or the new one, never a mix: the bytes go to a hidden temporary file with
  an unpredictable name, created exclusively beside the target, flushed and
  ``fsync``ed, given the old file's permission bits through its descriptor,
  renamed over the target, and the directory is ``fsync``ed. Any failure
  removes the temporary file and leaves the target as it was.
* ``save_layer`` serialises an OpenUSD layer (text or crate, as the target's
  suffix says; crate bytes through a scratch folder in the workspace's
  state folder) and writes it with ``atomic_write_bytes``, holding the
  product's lock, after checking at that moment that the file still
  resolves to a writable regular file inside the workspace's products
  directory (``contained_target``) and removing what killed writers left.
* ``product_lock`` serialises the read-modify-write cycles of one product
  across threads and processes with an advisory ``flock`` on a lock file in
  the workspace's hidden state folder. Readers take no lock.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import shutil
import stat
import tempfile
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .paths import enclosing_workspace

#: Hidden folder of a workspace holding its locks, logs and scratch files.
STATE_DIR_NAME = ".velmor"
#: Environment variable overriding how long a writer waits for a product's lock.
LOCK_TIMEOUT_ENV = "VELMOR_LOCK_TIMEOUT"
DEFAULT_LOCK_TIMEOUT = 30.0

#: Temporary files of an atomic write start with this prefix (hidden).
TEMP_PREFIX = ".velmor-tmp-"
# Hidden temporary files that writers of earlier versions left beside a
# product layer (".<file>.<pid>.tmp.usdc", ".<stem>.<hex>.tmp.usda").
_LEGACY_TEMP = re.compile(r"\..+\.[0-9a-f]+\.tmp\.usd[ac]")


def state_dir(workspace: str | os.PathLike[str]) -> Path:
    """The hidden state folder of ``workspace`` (created on demand by callers)."""
    return Path(workspace) / STATE_DIR_NAME


def _real_directory(path: Path) -> Path:
    """Create ``path`` (and its parents) and make sure that it and its parent,
    up to the workspace, are real directories: a planted symbolic link must
    not send lock or scratch files out of the workspace."""
    path.mkdir(parents=True, exist_ok=True)
    for directory in (path, path.parent):
        if not stat.S_ISDIR(os.lstat(directory).st_mode):
            raise PermissionError(
                errno.EPERM, "not a directory of this workspace (a link?)", str(directory)
            )
    return path


def _workspace_and_key(usd_path: str | os.PathLike[str]) -> tuple[Path, str]:
    """The workspace holding the product file and the product's lock key.

    The key is the directory of the file, links resolved, relative to
    ``products/``, with its separators spelled ``%2F`` (and ``%`` as
    ``%25``) so that every product has its own lock file name and a file
    reached through a link takes the same lock as by its own name.
    """
    product_dir = os.path.dirname(os.path.abspath(os.fspath(usd_path)))
    workspace = enclosing_workspace(product_dir)
    if workspace is None:
        # A product file outside any workspace: its directory holds the state.
        return Path(product_dir), "product"
    products = os.path.join(workspace, "products")
    real_dir = os.path.dirname(os.path.realpath(usd_path))
    real_products = os.path.realpath(products)
    if real_dir.startswith(real_products + "/"):
        rel = os.path.relpath(real_dir, real_products)
    else:  # refused when written; the lock is only taken
        rel = os.path.relpath(product_dir, products)
    key = rel.replace("%", "%25").replace("/", "%2F") if rel != "." else "products"
    return Path(workspace), key


def lock_file_for(usd_path: str | os.PathLike[str]) -> Path:
    """The lock file that guards the product whose top-level file is ``usd_path``."""
    workspace, key = _workspace_and_key(usd_path)
    return state_dir(workspace) / "locks" / f"{key}.lock"


def lock_timeout() -> float:
    """The configured lock wait, in seconds (``VELMOR_LOCK_TIMEOUT``, default 30)."""
    raw = os.environ.get(LOCK_TIMEOUT_ENV, "")
    try:
        value = float(raw)
    except ValueError:
        return DEFAULT_LOCK_TIMEOUT
    return value if value >= 0 and value == value else DEFAULT_LOCK_TIMEOUT


# Locks this thread already holds, by lock file, with their depth, so that a
# writer holding a product's lock may call another writer of that product.
_held = threading.local()


def _held_locks() -> dict[str, list[int]]:
    table = getattr(_held, "table", None)
    if table is None:
        table = _held.table = {}
    assert isinstance(table, dict)
    return table


@contextlib.contextmanager
def product_lock(usd_path: str | os.PathLike[str], timeout: float | None = None) -> Iterator[Path]:
    """Hold the advisory lock of the product whose top-level file is ``usd_path``.

    Waits at most ``timeout`` seconds (default: ``lock_timeout()``), then
    raises ``TimeoutError`` naming the product and the lock file. Re-entrant
    within one thread. Yields the lock file's path.
    """
    path = lock_file_for(usd_path)
    key = str(path)
    held = _held_locks()
    entry = held.get(key)
    if entry is not None:
        entry[1] += 1
        try:
            yield path
        finally:
            entry[1] -= 1
        return

    wait = lock_timeout() if timeout is None else timeout
    _real_directory(path.parent)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    try:
        deadline = time.monotonic() + wait
        pause = 0.001
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                now = time.monotonic()
                if now >= deadline:
                    raise TimeoutError(
                        errno.ETIMEDOUT,
                        f"product {os.fspath(usd_path)} is being written by another "
                        f"process: its lock {path} was not free within {wait:g} s",
                        str(path),
                    ) from None
                time.sleep(min(pause, deadline - now))
                pause = min(pause * 2, 0.05)
        held[key] = [fd, 1]
        try:
            yield path
        finally:
            del held[key]
            fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)


def remove_stale_temp_files(directory: str | os.PathLike[str]) -> list[Path]:
    """Remove the temporary files that killed writers left in ``directory``.

    Call only while holding the lock of the product(s) living there.
    """
    removed: list[Path] = []
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return removed
    for entry in entries:
        if entry.name.startswith(TEMP_PREFIX) or _LEGACY_TEMP.fullmatch(entry.name):
            try:
                if entry.is_file(follow_symlinks=False) or entry.is_symlink():
                    os.unlink(entry.path)
                    removed.append(Path(entry.path))
            except OSError:
                pass
    return removed


def fsync_dir(directory: str | os.PathLike[str]) -> None:
    """``fsync`` a directory so that a rename in it is durable."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _refuse_unwritable(st: os.stat_result, path: str) -> None:
    """``PermissionError`` unless ``path`` (whose status is ``st``) may be replaced.

    The permission bits are honoured even for root, who could otherwise
    replace any file: a product file without a write bit is read-only.
    """
    if not stat.S_ISREG(st.st_mode):
        raise PermissionError(errno.EPERM, "not a regular file; refusing to replace it", path)
    if not st.st_mode & 0o222 or not os.access(path, os.W_OK):
        raise PermissionError(errno.EACCES, "read-only file; refusing to replace it", path)


def atomic_write_bytes(
    target: str | os.PathLike[str], data: bytes, *, mode: int | None = None
) -> None:
    """Replace ``target`` by ``data`` atomically.

    The temporary file keeps ``target``'s permission bits (or ``mode`` for a
    new file, default 0o644). A target without any write bit is refused with
    ``PermissionError`` even for root. Failures raise ``OSError`` naming
    ``target`` and leave it byte-identical.
    """
    target_str = os.fspath(target)
    directory = os.path.dirname(os.path.abspath(target_str))
    try:
        st = os.stat(target_str)
    except FileNotFoundError:
        st = None
    if st is not None:
        _refuse_unwritable(st, target_str)
        permissions = stat.S_IMODE(st.st_mode)
    else:
        permissions = 0o644 if mode is None else mode

    fd = -1
    tmp = ""
    for _ in range(100):
        tmp = os.path.join(directory, f"{TEMP_PREFIX}{os.urandom(8).hex()}")
        try:
            fd = os.open(
                tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600
            )
            break
        except FileExistsError:
            continue
        except OSError as exc:
            raise OSError(
                exc.errno, f"cannot write {target_str}: {exc.strerror}", target_str
            ) from exc
    else:  # pragma: no cover - 100 collisions of 64 random bits
        raise OSError(
            errno.EEXIST, f"cannot create a temporary file beside {target_str}", target_str
        )
    try:
        try:
            view = memoryview(data)
            while view:
                written = os.write(fd, view)
                view = view[written:]
            os.fchmod(fd, permissions)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, target_str)
    except BaseException as exc:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        if isinstance(exc, OSError) and exc.filename != target_str:
            raise OSError(
                exc.errno, f"cannot write {target_str}: {exc.strerror or exc}", target_str
            ) from exc
        raise
    with contextlib.suppress(OSError):
        fsync_dir(directory)


def write_root(path: str | os.PathLike[str]) -> str:
    """The directory that a write to ``path`` must stay inside, links resolved:
    the products directory of the workspace holding ``path``, or, for a file
    outside any workspace, the file's own directory."""
    absolute = os.path.abspath(os.fspath(path))
    workspace = enclosing_workspace(os.path.dirname(absolute))
    if workspace is None:
        return os.path.realpath(os.path.dirname(absolute))
    return os.path.realpath(os.path.join(workspace, "products"))


def contained_target(target: str | os.PathLike[str]) -> str:
    """The file that a write to the product file ``target`` replaces.

    That is ``target`` with every symbolic link resolved; it must be a
    regular file (or not exist yet) inside ``write_root(target)``, else
    ``PermissionError`` naming ``target``. Checked at the moment of writing,
    so a file swapped for a link after it was found is still refused.
    """
    target_str = os.fspath(target)
    real = os.path.realpath(target_str)
    root = write_root(target_str)
    if os.path.commonpath([real, root]) != root:
        raise PermissionError(
            errno.EPERM,
            f"product file resolves to {real}, outside {root}; refusing to write it",
            target_str,
        )
    try:
        st = os.stat(real)
    except FileNotFoundError:
        return real
    _refuse_unwritable(st, target_str)
    return real


# Errors OpenUSD reports only as text when it cannot write a file.
_EXPORT_ERRNOS = (errno.ENOSPC, errno.EDQUOT, errno.EIO, errno.EROFS, errno.EACCES)


def _export_error(layer: Any, exc: Exception) -> OSError:
    text = " ".join(str(exc).split())
    code = next((c for c in _EXPORT_ERRNOS if os.strerror(c) in text), errno.EIO)
    return OSError(code, f"OpenUSD could not serialise {layer.identifier}: {text[:300]}")


_SCRATCH_PREFIX = "export-"
# A scratch folder this old was left by a killed writer: no export takes so long.
_ABANDONED_S = 3600.0


def _remove_abandoned_scratch(parent: str) -> None:
    """Remove the scratch folders that killed writers left in ``parent``
    (shared by all products of a workspace, so only old ones)."""
    limit = time.time() - _ABANDONED_S
    with contextlib.suppress(OSError), os.scandir(parent) as entries:
        for entry in entries:
            with contextlib.suppress(OSError):
                if (
                    entry.name.startswith(_SCRATCH_PREFIX)
                    and entry.is_dir(follow_symlinks=False)
                    and entry.stat(follow_symlinks=False).st_mtime < limit
                ):
                    shutil.rmtree(entry.path, ignore_errors=True)


def layer_bytes(
    layer: Any, suffix: str, scratch_parent: str | os.PathLike[str] | None = None
) -> bytes:
    """The bytes of ``layer`` in the file format of ``suffix`` (``.usda`` or ``.usdc``).

    Crate bytes exist only as a file: the layer is exported into a private
    scratch folder made inside ``scratch_parent`` (the system's temporary
    directory when None) and read back.
    """
    if suffix == ".usda":
        text = layer.ExportToString()
        return text.encode("utf-8")  # type: ignore[no-any-return]
    parent = None if scratch_parent is None else os.fspath(_real_directory(Path(scratch_parent)))
    if parent is not None:
        _remove_abandoned_scratch(parent)
    scratch = tempfile.mkdtemp(prefix=_SCRATCH_PREFIX, dir=parent)
    try:
        out = os.path.join(scratch, "layer" + suffix)
        try:
            exported = layer.Export(out)
        except RuntimeError as exc:  # pxr.Tf.ErrorException
            raise _export_error(layer, exc) from exc
        if not exported:
            raise OSError(errno.EIO, f"OpenUSD could not serialise {layer.identifier}")
        with open(out, "rb") as f:
            return f.read()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def save_layer(layer: Any, target: str | os.PathLike[str]) -> None:
    """Write ``layer`` to the product file ``target`` atomically, in the format
    ``target``'s suffix names.

    Holds the product's lock (re-entrant: callers doing a read-modify-write
    take it first), checks that ``target`` still resolves inside the
    workspace's products directory and is writable (``contained_target``),
    removes what killed writers left in its directory, then replaces the
    file. A layer registered for ``target`` is then re-read from the new
    file, so that it is clean again. Failures raise ``OSError`` naming
    ``target`` and leave the file as it was.
    """
    target_str = os.fspath(target)
    suffix = os.path.splitext(target_str)[1].lower()
    with product_lock(target_str) as lock_path:
        real = contained_target(target_str)
        remove_stale_temp_files(os.path.dirname(real))
        try:
            data = layer_bytes(layer, suffix, lock_path.parent.parent / "scratch")
        except OSError as exc:
            raise OSError(
                exc.errno, f"cannot write {target_str}: {exc.strerror or exc}", target_str
            ) from exc
        atomic_write_bytes(real, data)
    if getattr(layer, "realPath", None) and os.path.realpath(layer.realPath) == real:
        layer.Reload(True)
