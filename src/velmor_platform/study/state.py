"""The persistent state of a study, so that it survives Ctrl-C, a crash or a reboot.

A study lives in ``<workspace>/studies/<name>/``:

* ``study.json``  the study's definition (as given, with its fingerprint);
* ``state.json``  one entry per case: its case folder, status, executor job,
  times, and once it ended the recorded run and its coefficients; written
  whole and atomically now and then, with
* ``state.journal``  the entries changed since, one JSON line per save
  (appended and synced), so that saving after every change of a large
  study costs the change, not the whole state: the journal is folded into
  ``state.json`` once it has grown as large as it. Each line carries the
  generation of the ``state.json`` it extends; lines of another, and a line
  cut short by a crash, are ignored;
* ``run.lock``    held (``flock``) by the one process driving the study;
  ``status`` tries it to tell whether a driver is attached;
* ``cancel``      present when a cancel was asked for: the driver sees it.

Only the process holding ``run.lock`` writes ``state.json``. Reading needs
no lock, so ``study status`` of a 200-case study is one small JSON read.
This module imports nothing heavy (no OpenUSD, no OpenFOAM tools).
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .errors import StudyError

#: Statuses of a case that will not change any more.
TERMINAL = ("completed", "failed", "diverged", "cancelled", "timeout")
#: Statuses of a case whose job an executor holds.
ACTIVE = ("queued", "running")
#: Every status, in the order a case passes through them.
STATUSES = ("pending", "prepared", *ACTIVE, *TERMINAL)


def studies_dir(workspace: Path) -> Path:
    return workspace / "studies"


def study_dir(workspace: Path, name: str) -> Path:
    return studies_dir(workspace) / name


def _write_json(path: Path, data: Any) -> None:
    from ..core.layer_io import atomic_write_bytes

    atomic_write_bytes(path, (json.dumps(data, indent=1, default=str) + "\n").encode())


def read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise StudyError("invalid", f"cannot read {path}: {exc}") from None


JOURNAL = "state.journal"
#: The journal is folded into ``state.json`` when it is larger than this and
#: than ``state.json``.
JOURNAL_MIN_BYTES = 64 * 1024


def _replay(path: Path, generation: int, cases: dict[str, dict[str, Any]]) -> int:
    """Apply the journal's lines of ``generation`` to ``cases``; its size."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return 0
    except OSError as exc:
        raise StudyError("invalid", f"cannot read {path}: {exc}") from None
    for line in data.split(b"\n"):
        try:
            change = json.loads(line)
        except ValueError:
            break  # a line cut short: nothing after it was synced
        if isinstance(change, dict) and change.get("generation") == generation:
            for key, entry in dict(change.get("cases", {})).items():
                cases[str(key)] = dict(entry)
    return len(data)


class StudyState:
    """The definition and case entries of one study, as stored."""

    def __init__(
        self,
        folder: Path,
        definition: dict[str, Any],
        cases: dict[str, dict[str, Any]],
        generation: int = 0,
    ):
        self.folder = folder
        self.definition = definition
        self.cases = cases
        self._generation = generation
        self._changed: set[str] = set()
        self._whole_bytes = -1  # unknown until this object writes state.json
        self._journal_bytes = 0

    @property
    def name(self) -> str:
        return str(self.definition.get("name", self.folder.name))

    # ---- storage ----------------------------------------------------------------------
    @classmethod
    def load(cls, workspace: Path, name: str) -> StudyState:
        folder = study_dir(workspace, name)
        definition = read_json(folder / "study.json")
        if definition is None:
            known = list_studies(workspace)
            raise StudyError(
                "not_found",
                f"no study named {name!r} in {studies_dir(workspace)} "
                f"(known: {', '.join(known) if known else 'none'})",
            )
        data = read_json(folder / "state.json") or {}
        generation = int(data.get("generation", 0))
        cases = {str(k): dict(v) for k, v in data.get("cases", {}).items()}
        _replay(folder / JOURNAL, generation, cases)
        return cls(folder, definition, cases, generation)

    def save(self) -> None:
        """Store the changes since the last save (``update`` marks them)."""
        self.folder.mkdir(parents=True, exist_ok=True)
        journal = self.folder / JOURNAL
        if self._whole_bytes < 0 or self._journal_bytes > max(self._whole_bytes, JOURNAL_MIN_BYTES):
            self._generation += 1
            whole = {"updated": time.time(), "generation": self._generation, "cases": self.cases}
            text = (json.dumps(whole, default=str) + "\n").encode()
            from ..core.layer_io import atomic_write_bytes

            atomic_write_bytes(self.folder / "state.json", text)
            with contextlib.suppress(FileNotFoundError):
                journal.unlink()  # its lines are of the previous generation now
            self._whole_bytes, self._journal_bytes = len(text), 0
        elif self._changed:
            change = {
                "generation": self._generation,
                "cases": {k: self.cases[k] for k in sorted(self._changed) if k in self.cases},
            }
            line = (json.dumps(change, default=str) + "\n").encode()
            fd = os.open(journal, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
            try:
                view = memoryview(line)
                while view:
                    view = view[os.write(fd, view) :]
                os.fsync(fd)
            finally:
                os.close(fd)
            self._journal_bytes += len(line)
        self._changed.clear()

    def save_definition(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        _write_json(self.folder / "study.json", self.definition)

    # ---- views ------------------------------------------------------------------------
    def counts(self) -> dict[str, int]:
        out = dict.fromkeys(STATUSES, 0)
        for entry in self.cases.values():
            out[entry.get("status", "pending")] = out.get(entry.get("status", "pending"), 0) + 1
        return {k: v for k, v in out.items() if v}

    def finished(self) -> bool:
        return all(e.get("status") in TERMINAL for e in self.cases.values())

    def update(self, key: str, **values: Any) -> dict[str, Any]:
        """Change case ``key``'s entry (the next ``save`` stores it)."""
        entry = self.cases[key]
        entry.update(values)
        self._changed.add(key)
        return entry

    # ---- the driver's lock and the cancel request ----------------------------------------
    @contextlib.contextmanager
    def driving(self) -> Iterator[None]:
        """Hold ``run.lock`` for the lifetime of the block; ``StudyError``
        (conflict) when another process drives the study."""
        self.folder.mkdir(parents=True, exist_ok=True)
        path = self.folder / "run.lock"
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "?"
                raise StudyError(
                    "conflict",
                    f"study {self.name!r} is being run by process {holder}; follow it with "
                    "'velmor study status' or stop it with 'velmor study cancel'",
                ) from None
            os.ftruncate(fd, 0)
            os.pwrite(fd, str(os.getpid()).encode(), 0)
            try:
                yield
            finally:
                os.ftruncate(fd, 0)
                fcntl.flock(fd, fcntl.LOCK_UN)
        finally:
            os.close(fd)

    def driver(self) -> int | None:
        """The PID of the process driving the study, or None."""
        path = self.folder / "run.lock"
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            except BlockingIOError:
                text = os.pread(fd, 32, 0).decode(errors="replace").strip()
                return int(text) if text.isdigit() else -1
            fcntl.flock(fd, fcntl.LOCK_UN)
            return None
        finally:
            os.close(fd)

    @property
    def cancel_file(self) -> Path:
        return self.folder / "cancel"

    def request_cancel(self, keys: list[str] | None) -> None:
        """Ask the driver to cancel ``keys`` (every case when None)."""
        current = read_json(self.cancel_file) if self.cancel_file.exists() else None
        wanted: list[str] | None
        if keys is None or current == "all":
            wanted = None
        else:
            wanted = sorted(set(keys) | set(current or []))
        _write_json(self.cancel_file, "all" if wanted is None else wanted)

    def cancel_requests(self) -> set[str]:
        """The cases asked to be cancelled (every case for a whole-study cancel)."""
        try:
            value = read_json(self.cancel_file)
        except StudyError:
            return set()
        if value is None:
            return set()
        if value == "all":
            return set(self.cases)
        return {str(k) for k in value} & set(self.cases)


def list_studies(workspace: Path) -> list[str]:
    folder = studies_dir(workspace)
    try:
        return sorted(
            p.name for p in folder.iterdir() if (p / "study.json").is_file() and p.name[0] != "."
        )
    except OSError:
        return []
