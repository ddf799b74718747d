"""Where the workspace lives.

A workspace is a directory holding ``products/`` (one directory tree per
product), ``geometry/`` (the geometry cache that ``velmor-geo:///`` URIs
point into), ``competitors/``, ``templates/`` and ``layers/``.

The workspace root is, in order of precedence:

1. the workspace made active for the current context with
   ``use_workspace(root)`` (the ``velmor`` command does this with the
   workspace it chose; see ``choose_workspace``);
2. the directory named by the ``VELMOR_WORKSPACE`` environment variable
   (``~`` and ``$VARS`` expanded, made absolute with symbolic links
   resolved), used as it is;
3. the per-user workspace (``platformdirs``: ``$XDG_DATA_HOME/velmor/workspace``,
   by default ``~/.local/share/velmor/workspace`` on Linux), which is seeded
   from the sample workspace shipped inside the package the first time it
   is needed. A ``HOME`` that is unset or empty is refused.

A workspace carries a marker file, ``.velmor/workspace``, written when it
is created (and by the command line on its next write to an older one), so
that a command run inside it can find it.

The shipped sample is only ever read; every write goes to a copy.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator, Mapping
from contextvars import ContextVar
from stat import S_ISLNK  # already loaded by os

from ..errors import VelmorError
from .paths import enclosing_workspace

_enclosing_workspace = enclosing_workspace  # the name older callers know

TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path

# pathlib is imported where it is used: this module is imported with the
# product core, which should not have to pay for it up front.

ENV_VAR = "VELMOR_WORKSPACE"
#: The marker file of a workspace, relative to its root.
MARKER = os.path.join(".velmor", "workspace")
_MARKER_TEXT = "velmor workspace\n"

# The workspace chosen for the current context (a thread, a task), as an
# absolute path string; consulted before the environment.
_ACTIVE: ContextVar[str | None] = ContextVar("velmor_workspace", default=None)


class WorkspaceError(VelmorError, RuntimeError):
    """No workspace can be chosen (for instance, HOME is not set)."""

    kind = "unavailable"


@contextlib.contextmanager
def use_workspace(root: str | os.PathLike[str]) -> Iterator[None]:
    """Make ``root`` the active workspace within this context."""
    token = _ACTIVE.set(os.path.abspath(os.fspath(root)))
    try:
        yield
    finally:
        _ACTIVE.reset(token)


def configured_root() -> str | None:
    """The workspace named for this context or by the environment, unresolved."""
    return _ACTIVE.get() or os.environ.get(ENV_VAR) or None


def is_workspace(directory: str | os.PathLike[str]) -> bool:
    """True when ``directory`` carries the workspace marker."""
    return os.path.isfile(os.path.join(directory, MARKER))


def mark_workspace(root: str | os.PathLike[str]) -> None:
    """Write the marker of the workspace ``root`` unless it is there."""
    if is_workspace(root):
        return
    from .layer_io import atomic_write_bytes, state_dir

    state = state_dir(root)
    state.mkdir(exist_ok=True)
    atomic_write_bytes(state / "workspace", _MARKER_TEXT.encode())


def find_enclosing_workspace(start: str | os.PathLike[str]) -> str | None:
    """The nearest directory at or above ``start`` that carries the marker."""
    current = os.path.abspath(start)
    while True:
        if is_workspace(current):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


def choose_workspace(
    explicit: str | None, environ: Mapping[str, str], cwd: str | os.PathLike[str]
) -> tuple[Path, str]:
    """The workspace a command uses, and how it was chosen.

    ``explicit`` (a ``--workspace`` value), else ``VELMOR_WORKSPACE`` from
    ``environ``, else the nearest workspace enclosing ``cwd``, else the
    per-user one (not created here). Raises ``WorkspaceError`` when only the
    per-user workspace is left and it cannot be located.
    """
    from pathlib import Path

    if explicit:
        return Path(os.path.abspath(os.path.expanduser(explicit))), "--workspace"
    configured = environ.get(ENV_VAR)
    if configured:
        return Path(resolve_configured_root(configured)), ENV_VAR
    found = find_enclosing_workspace(cwd)
    if found is not None:
        return Path(found), "the enclosing directory"
    return user_workspace(environ), "the per-user workspace"


# Directories of the shipped sample that are never copied.
_SKIP_NAMES = frozenset({"__pycache__"})


def sample_workspace_path() -> Path:
    """The sample workspace bundled with the package (read-only)."""
    from pathlib import Path

    return Path(__file__).resolve().parent.parent / "sample_workspace"


def user_workspace(environ: Mapping[str, str] | None = None) -> Path:
    """The per-user workspace, by the platform's conventions."""
    environ = os.environ if environ is None else environ
    data_home = environ.get("XDG_DATA_HOME", "")
    home = environ.get("HOME", "")
    # The XDG base-directory rules ignore relative values; without either,
    # the location would be relative to the file system root.
    if os.name == "posix" and not os.path.isabs(data_home) and not os.path.isabs(home):
        raise WorkspaceError(
            "cannot locate the per-user workspace: HOME is "
            + ("not set" if "HOME" not in environ else "empty" if not home else "not absolute")
            + f"; set HOME, or choose a workspace with --workspace DIR or {ENV_VAR}"
        )
    import platformdirs

    return platformdirs.user_data_path("velmor", appauthor=False) / "workspace"


def ensure_user_workspace(root: Path) -> Path:
    """Seed the per-user workspace ``root`` when it does not exist yet."""
    if not root.is_dir():
        _seed_new(root)
    return root


def workspace_root() -> Path:
    """The root directory of the active workspace."""
    from pathlib import Path

    configured = configured_root()
    if configured:
        return Path(resolve_configured_root(configured))
    return ensure_user_workspace(user_workspace())


_workspace_root = workspace_root


def products_dir() -> Path:
    """The ``products`` directory of the active workspace."""
    from pathlib import Path

    return Path(products_dir_str())


def products_dir_str() -> str:
    """``str(products_dir())``, without building the Path."""
    configured = configured_root()
    if configured and workspace_root is _workspace_root:  # not replaced (by a test, say)
        root = resolve_configured_root(configured)
        return root + "/products" if root != "/" else "/products"
    return str(workspace_root() / "products")


def resolve_configured_root(configured: str) -> str:
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
    found = enclosing_workspace(os.path.abspath(path))
    if found is None:
        return workspace_root()
    from pathlib import Path

    return Path(found)


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
    mark_workspace(dest)
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
        mark_workspace(staging)
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
