"""Where the workspace lives.

A workspace is a directory holding ``products/`` (one directory tree per
product), ``geometry/`` (the geometry cache that ``velmor-geo:///`` URIs
point into), ``competitors/``, ``templates/`` and ``layers/``.

The workspace root is, in order of precedence:

1. the directory named by the ``VELMOR_WORKSPACE`` environment variable
   (``~`` and ``$VARS`` expanded, made absolute with symbolic links
   resolved), used as it is;
2. the per-user workspace ``$XDG_DATA_HOME/velmor/workspace`` (by default
   ``~/.local/share/velmor/workspace``), which is seeded from the sample
   workspace shipped inside the package the first time it is needed.

The shipped sample is only ever read; every write goes to a copy.
"""

from __future__ import annotations

import os
from stat import S_ISLNK  # already loaded by os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path

# pathlib is imported where it is used: this module is imported with the
# product core, which should not have to pay for it up front.

ENV_VAR = "VELMOR_WORKSPACE"

# Directories of the shipped sample that are never copied.
_SKIP_NAMES = frozenset({"__pycache__"})


def sample_workspace_path() -> Path:
    """The sample workspace bundled with the package (read-only)."""
    from pathlib import Path

    return Path(__file__).resolve().parent.parent / "sample_workspace"


def _user_workspace() -> Path:
    from pathlib import Path

    data_home = os.environ.get("XDG_DATA_HOME", "")
    # The XDG base-directory rules ignore relative values.
    base = Path(data_home) if os.path.isabs(data_home) else Path.home() / ".local" / "share"
    return base / "velmor" / "workspace"


def workspace_root() -> Path:
    """The root directory of the active workspace."""
    from pathlib import Path

    configured = os.environ.get(ENV_VAR)
    if configured:
        return Path(_configured_root(configured))
    root = _user_workspace()
    if not root.is_dir():
        _seed_new(root)
    return root


_workspace_root = workspace_root


def products_dir() -> Path:
    """The ``products`` directory of the active workspace."""
    from pathlib import Path

    return Path(_products_dir_str())


def _products_dir_str() -> str:
    """``str(products_dir())``, without building the Path."""
    configured = os.environ.get(ENV_VAR)
    if configured and workspace_root is _workspace_root:  # not replaced (by a test, say)
        root = _configured_root(configured)
        return root + "/products" if root != "/" else "/products"
    return str(workspace_root() / "products")


def _configured_root(configured: str) -> str:
    """``Path(expandvars(configured)).expanduser().resolve()``, as a string.

    Called on every product lookup, so the common case (no ``~``) skips
    pathlib and resolves with as few system calls as it can.
    """
    expanded = os.path.expandvars(configured) if "$" in configured else configured
    if expanded[:1] == "~":
        from pathlib import Path

        return str(Path(expanded).expanduser().resolve())
    return _realpath(expanded)


def _realpath(path: str) -> str:
    """What ``str(Path(path).resolve())`` gives, symlink loops included.

    When no component of the absolute path is a symbolic link (the usual
    case) the answer is the normalised path itself, confirmed with one
    ``lstat`` per component; anything else goes the long way round.
    """
    absolute = os.path.abspath(path)
    if "/.." in path or path.startswith("..") or absolute.startswith("//"):
        # ".." must be applied after symlinks are resolved, not textually.
        return _resolve_slowly(path)
    end = 0
    while True:
        end = absolute.find("/", end + 1)
        prefix = absolute if end < 0 else absolute[:end]
        try:
            mode = os.lstat(prefix).st_mode
        except (OSError, ValueError):
            return _resolve_slowly(path)
        if S_ISLNK(mode):
            return _resolve_slowly(path)
        if end < 0:
            return absolute


def _resolve_slowly(path: str) -> str:
    from pathlib import Path

    return str(Path(path).resolve())


def workspace_of(path: str | os.PathLike[str]) -> Path:
    """The workspace that holds the product file or directory ``path``.

    That is the parent of the nearest enclosing directory named exactly
    ``products``; when there is none, the active workspace root.
    """
    found = _enclosing_workspace(os.path.abspath(path))
    if found is None:
        return workspace_root()
    from pathlib import Path

    return Path(found)


def _enclosing_workspace(absolute: str) -> str | None:
    """The parent of the nearest directory named ``products`` enclosing the
    normalised absolute path ``absolute`` (itself included), or None."""
    index = absolute.rfind("/products")
    while index >= 0:
        end = index + len("/products")
        if end == len(absolute) or absolute[end] == "/":
            return absolute[:index] or "/"
        index = absolute.rfind("/products", 0, index)
    return None


def seed_workspace(dest: str | os.PathLike[str]) -> Path:
    """Copy the sample workspace into ``dest`` and return its absolute path.

    ``dest`` may be missing (it is created, with its parents) or an empty
    directory. A non-empty directory is refused with ``FileExistsError``
    and a path that is not a directory with ``NotADirectoryError``.
    """
    from pathlib import Path

    dest = Path(os.path.abspath(Path(dest).expanduser()))
    if not dest.exists():
        _seed_new(dest)
        if not _is_seeded(dest):
            # Someone else created a directory here in the meantime.
            raise FileExistsError(f"cannot create workspace: {dest} appeared while seeding it")
        return dest
    if not dest.is_dir():
        raise NotADirectoryError(f"cannot create workspace: {dest} exists and is not a directory")
    if any(dest.iterdir()):
        raise FileExistsError(
            f"cannot create workspace: directory {dest} is not empty; "
            "choose a new or empty directory"
        )
    _copy_tree(sample_workspace_path(), dest)
    return dest


def _is_seeded(root: Path) -> bool:
    return (root / "products").is_dir()


def _seed_new(root: Path) -> None:
    """Create ``root`` as a copy of the sample, atomically.

    The copy is assembled in a hidden directory beside ``root`` and renamed
    into place, so a reader never sees a half-copied workspace. When several
    processes race, the first rename wins and the others discard their copy.
    """
    import shutil

    root.parent.mkdir(parents=True, exist_ok=True)
    # A unique name made by hand rather than by mkdtemp, so that the
    # directory gets the user's umask instead of mode 0700.
    staging = root.parent / f".{root.name}.{os.getpid()}.{os.urandom(6).hex()}.tmp"
    staging.mkdir()
    try:
        _copy_tree(sample_workspace_path(), staging)
        try:
            os.rename(staging, root)
        except OSError:
            if root.is_dir():
                return  # lost the race to another process: use its copy
            if root.exists():
                raise NotADirectoryError(
                    f"cannot create workspace: {root} exists and is not a directory"
                ) from None
            raise
    finally:
        if staging.exists():
            shutil.rmtree(staging, ignore_errors=True)


def _copy_tree(src: Path, dst: Path) -> None:
    """Copy file contents only: the copy is owned and writable by the user
    even when the installed package is read-only."""
    import shutil

    for dirpath, dirnames, filenames in os.walk(src):
        dirnames[:] = sorted(d for d in dirnames if d not in _SKIP_NAMES)
        target = dst / os.path.relpath(dirpath, src)
        target.mkdir(exist_ok=True)
        for name in filenames:
            shutil.copyfile(os.path.join(dirpath, name), target / name)
