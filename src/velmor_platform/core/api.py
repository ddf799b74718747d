"""Finding products in the workspace by name.

A product is named by its identifier, ``<programme>`` or
``<programme>:<variant>``, and its top-level USD file is found by one fixed
rule below the workspace's products directory::

    "<programme>"            -> products/<programme>/<programme>.usda
    "<programme>:<variant>"  -> products/<programme>/<variant>/<programme>.usda

with ``.usdc`` tried when there is no ``.usda``. The file is always named
after the programme; the other files of the directory are its sublayers.
The rule is the inverse of the product identifier, which is built from the
directories between a product's file and the enclosing ``products``
directory: ``products/<programme>/<file>`` gives ``programme`` and
``products/<programme>/<variant>/<file>`` gives ``programme:variant``.

Finding a product looks at its two candidate files and nothing else, so the
cost does not grow with the number of products; only when the product is
missing is the products directory listed, for the error message.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from pathlib import Path
from stat import S_ISDIR, S_ISREG  # already loaded by os

from .. import rules
from . import workspace as _workspace
from .workspace import products_dir as _products_dir
from .workspace import products_dir_str

_workspace_products_dir = _products_dir

_SUFFIXES = (".usda", ".usdc")


# The rule of a product name is the one every face checks names with.
_split_identifier = rules.split_product_name
_component_problem = rules.product_name_problem


def _top_level_file(directory: Path, programme: str) -> Path | None:
    for suffix in _SUFFIXES:
        candidate = directory / (programme + suffix)
        if candidate.is_file():
            return candidate
    return None


def _inside(path: Path, root: Path) -> bool:
    return path.resolve().is_relative_to(root.resolve())


# Errors that make Path.is_file() answer False instead of raising.
_NOT_THERE = frozenset({errno.ENOENT, errno.ENOTDIR, errno.EBADF, errno.ELOOP})


def _lstat_mode(path: str) -> int | None:
    """The ``lstat`` mode of ``path``; None where ``Path.is_file()`` would
    say False because of an error."""
    try:
        return os.lstat(path).st_mode
    except OSError as exc:
        if exc.errno in _NOT_THERE:
            return None
        raise


def _is_real_directory(path: str) -> bool:
    """True for a directory that is not a symbolic link."""
    mode = _lstat_mode(path)
    return mode is not None and S_ISDIR(mode)


# Products found before: (name, configured workspace) -> (every directory from
# the file system root down to the product's, its top-level file, the Path
# returned). Kept only for a plain absolute workspace path, and used only
# while each of those directories is still a directory and not a link and
# the file a regular file: then the lookup below would give the same Path.
_FOUND: dict[tuple[str, str | None], tuple[tuple[str, ...], str, Path]] = {}
_FOUND_LIMIT = 4096


def _find_product_usd(name: str) -> Path:
    """Return the top-level USD file of the product named ``name``.

    Raises ``ValueError`` for a malformed name or one whose file resolves
    outside the products directory, and ``FileNotFoundError`` (listing the
    products that do exist) when there is no such product.
    """
    if (
        name.__class__ is str
        and _products_dir is _workspace_products_dir
        and _workspace.workspace_root is _workspace._workspace_root
    ):
        key = (name, _workspace.configured_root())
        known = _FOUND.get(key)
        if known is not None:
            lstat = os.lstat
            try:
                for directory in known[0]:
                    if not S_ISDIR(lstat(directory).st_mode):
                        break
                else:
                    if S_ISREG(lstat(known[1]).st_mode):
                        return known[2]
            except (OSError, ValueError):
                pass
            _FOUND.pop(key, None)
        found = _look_up(name)
        _remember(key, found)
        return found
    return _look_up(name)


def _remember(key: tuple[str, str | None], found: Path) -> None:
    configured = key[1]
    text = str(found)
    if (
        configured is None
        or "$" in configured
        or not configured.startswith("/")
        or configured.startswith("//")
        or os.path.normpath(configured) != configured
        or not text.startswith(configured + "/")
        or not text.endswith(".usda")
    ):
        return
    directories = []
    end = 0
    while (end := text.find("/", end + 1)) > 0:
        directories.append(text[:end])
    if len(_FOUND) >= _FOUND_LIMIT:
        _FOUND.clear()
    _FOUND[key] = (tuple(directories), text, found)


def _look_up(name: str) -> Path:
    programme, variant = _split_identifier(name)
    # Plain strings and lstat: when neither the file nor a directory between
    # it and the products directory is a symbolic link, the file is a regular
    # file physically inside the products directory, which is exactly what
    # the resolve()-based checks below would conclude, at a fraction of the
    # cost. Anything else (a link anywhere below the products directory)
    # takes those checks.
    if _products_dir is _workspace_products_dir:
        root_str = products_dir_str()
    else:  # replaced, e.g. by a test
        root_str = os.fspath(_products_dir())
    programme_dir = os.path.join(root_str, programme)
    directory_str = programme_dir if variant is None else programme_dir + "/" + variant
    for suffix in _SUFFIXES:
        candidate = directory_str + "/" + programme + suffix
        mode = _lstat_mode(candidate)
        if mode is None or S_ISDIR(mode):
            continue
        if (
            S_ISREG(mode)
            and _is_real_directory(programme_dir)
            and (variant is None or _is_real_directory(directory_str))
        ):
            return Path(candidate)
        break  # a link or a special file somewhere: the careful way
    root = Path(root_str)
    directory = root / programme if variant is None else root / programme / variant
    found = _top_level_file(directory, programme)
    if found is None:
        known = [ident for ident, _ in list_products(root)]
        raise FileNotFoundError(
            f"no product named {name!r}: neither {programme}.usda nor {programme}.usdc "
            f"exists in {directory};{_did_you_mean(name, known)} available products: "
            + (", ".join(known) or "none")
        )
    if not _inside(found, root):
        raise ValueError(f"product {name!r} resolves outside the products directory {root}")
    return found


def _did_you_mean(name: str, known: list[str]) -> str:
    """`` did you mean 'x'?`` for the known identifiers closest to ``name``."""
    import difflib

    close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
    if not close:  # a mistyped programme: its products
        programmes = difflib.get_close_matches(
            name.split(":")[0], {ident.split(":")[0] for ident in known}, n=1, cutoff=0.6
        )
        close = [ident for ident in known if ident.split(":")[0] in programmes][:3]
    return f" did you mean {' or '.join(repr(c) for c in close)}?" if close else ""


def split_identifier(name: str) -> tuple[str, str | None]:
    """``(programme, variant)`` of a product identifier; ``ValueError`` when malformed."""
    return _split_identifier(name)


def find_product_usd(name: str) -> Path:
    """The top-level USD file of the product named ``name`` in the active
    workspace (``ValueError`` for a malformed name, ``FileNotFoundError``
    when there is no such product)."""
    return _find_product_usd(name)


def list_products(
    products_dir: str | os.PathLike[str] | None = None,
    on_skip: Callable[[Path, str], None] | None = None,
) -> list[tuple[str, Path]]:
    """The products below ``products_dir`` (default: the active workspace's),
    as ``(identifier, top-level USD path)`` pairs sorted by identifier.

    These are the products ``_find_product_usd`` finds by the rule above;
    directories whose names the rule refuses (hidden ones, names with
    control characters) are left out. An entry that
    cannot be examined (a link loop, a dangling link, a folder that cannot
    be read) is skipped, and ``on_skip`` is called with it and the reason.
    """
    root = Path(products_dir) if products_dir is not None else _products_dir()
    skip = on_skip if on_skip is not None else _ignore
    found: list[tuple[str, Path]] = []
    for programme_dir in _subdirectories(root, skip):
        programme = programme_dir.name
        top = _contained_top_level_file(programme_dir, programme, root, skip)
        if top is not None:
            found.append((programme, top))
        for variant_dir in _subdirectories(programme_dir, skip):
            top = _contained_top_level_file(variant_dir, programme, root, skip)
            if top is not None:
                found.append((f"{programme}:{variant_dir.name}", top))
    found.sort()
    return found


def _ignore(path: Path, reason: str) -> None:
    pass


def _contained_top_level_file(
    directory: Path, programme: str, root: Path, skip: Callable[[Path, str], None]
) -> Path | None:
    try:
        top = _top_level_file(directory, programme)
        return top if top is not None and _inside(top, root) else None
    except (OSError, RuntimeError) as exc:  # RuntimeError: a link loop seen by resolve()
        skip(directory, str(exc))
        return None


def _subdirectories(directory: Path, skip: Callable[[Path, str], None]) -> list[Path]:
    """Sub-directories whose names are valid identifier components."""
    try:
        entries = list(os.scandir(directory))
    except (FileNotFoundError, NotADirectoryError):
        return []
    except OSError as exc:
        skip(directory, f"cannot be read: {exc.strerror or exc}")
        return []
    found = []
    for entry in entries:
        if ":" in entry.name or _component_problem(entry.name):
            continue
        try:
            is_dir = entry.is_dir()
        except OSError as exc:
            skip(Path(entry.path), f"cannot be examined: {exc.strerror or exc}")
            continue
        if is_dir:
            found.append(Path(entry.path))
        elif entry.is_symlink() and not os.path.lexists(os.path.realpath(entry.path)):
            skip(Path(entry.path), "a symbolic link to nothing")
    return found
