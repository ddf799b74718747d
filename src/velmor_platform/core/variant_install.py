"""Putting a new variant's files in place all at once, and sweeping what an
interrupted attempt left behind.

Every file or folder a variant adds outside its product folder (its body,
its wheels, its case template) and the product folder itself are first
written under a hidden temporary name beside their place,
``.velmor-<kind>-<pid>-<random>``, and renamed into place together, one
after another, at the end: an attempt killed while it writes (the
template copy takes longest) leaves only temporaries, never a file under
the final name that would make a retry fail with "already exists".

``sweep`` removes the temporaries of attempts whose process has ended (and
the nameless ones older releases left), so leftovers do not pile up.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import tempfile
from collections.abc import Iterable
from pathlib import Path

_TEMPORARY = re.compile(r"^\.velmor-(body|wheels|template|product)-(?:(\d+)-)?")


def temporary(folder: Path, kind: str, suffix: str = "") -> Path:
    """A fresh hidden temporary name in ``folder`` for a ``kind`` of file."""
    return folder / f".velmor-{kind}-{os.getpid()}-{os.urandom(6).hex()}{suffix}"


def temporary_dir(folder: Path, kind: str) -> Path:
    return Path(tempfile.mkdtemp(prefix=f".velmor-{kind}-{os.getpid()}-", dir=folder))


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def sweep(folders: Iterable[Path]) -> list[Path]:
    """Remove the temporaries of ended attempts in ``folders``; returns them."""
    removed = []
    for folder in folders:
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for entry in entries:
            match = _TEMPORARY.match(entry.name)
            if match is None or (match.group(2) and _alive(int(match.group(2)))):
                continue
            path = Path(entry.path)
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(path, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    path.unlink()
            removed.append(path)
    return removed


def move_in(staged: list[tuple[Path, Path]]) -> None:
    """Rename each temporary onto its place, in order; on a failure, the ones
    already moved are taken back out (removed) and the error raised."""
    from .layer_io import fsync_dir

    done: list[Path] = []
    try:
        for source, target in staged:
            if target.exists():
                raise FileExistsError(17, "already exists", str(target))
            os.rename(source, target)
            done.append(target)
        for folder in {target.parent for _, target in staged}:
            fsync_dir(folder)
    except BaseException:
        for target in done:
            if target.is_dir():
                shutil.rmtree(target, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    target.unlink()
        raise
