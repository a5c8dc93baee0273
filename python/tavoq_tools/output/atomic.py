"""The all-or-nothing writer: a set of files written so that an error or an interruption
leaves the targets either all as they were or all new.

Each file is written under a temporary name beside its target, and only once all of them are
complete are they renamed into place, with Ctrl-C (and SIGTERM, SIGHUP) held off meanwhile;
a rename that fails puts back the files already renamed. A reader never sees a half-written
file (while the renames go on, a reader may see some of the new files beside old ones).
"""

from __future__ import annotations

import contextlib
import os
import secrets
import signal
import tempfile
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path

__all__ = ["LOCK_NAME", "DirectoryBusyError", "directory_lock", "write_files"]

# The lock of an output directory: inside it, and no part of the set written there.
LOCK_NAME = ".tavoq.lock"


class DirectoryBusyError(BlockingIOError):
    """Another process holds the lock of the directory."""


def _umask() -> int:
    mask = os.umask(0o022)  # reading the mask means setting it; put it straight back
    os.umask(mask)
    return mask


# Ctrl-C, and the signals that end a command from outside (kill, a closed terminal).
HELD_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


@contextmanager
def _interrupts_held() -> Iterator[None]:
    """Ctrl-C, SIGTERM or SIGHUP that arrives inside the block is delivered when it ends.

    Held with a Python handler, not a signal mask: the signal may reach any thread of the
    process (OpenMP's among them), but Python runs its handlers on the main thread."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held: list[int] = []
    previous = {}
    for signum in HELD_SIGNALS:
        # A handler installed outside Python (getsignal gives None) could not be put back;
        # an ignored signal (SIGHUP under nohup) stays ignored.
        if signal.getsignal(signum) not in (None, signal.SIG_IGN):
            previous[signum] = signal.signal(signum, lambda signum, frame: held.append(signum))
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if held:
            # The first one, as it would have been delivered: it ends the program one way
            # or another (an exception, or the default action of SIGTERM).
            signal.raise_signal(held[0])


def _missing_parents(path: Path) -> list[Path]:
    """The directories above ``path`` that do not exist yet, deepest first."""
    missing = []
    for parent in path.parents:
        if parent.exists():
            break
        missing.append(parent)
    return missing


def write_files(
    files: Mapping[Path, bytes] | Mapping[str, bytes] | Mapping[str | Path, bytes],
) -> list[Path]:
    """Write each content to its path, as one set (see the module's docstring); directories
    are created as needed, and removed again when the set could not be written."""
    targets = {Path(path): data for path, data in files.items()}
    for path in targets:
        if path.is_dir():
            raise IsADirectoryError(f"{path}: is a directory")
    created: list[Path] = []
    staged: list[tuple[Path, Path]] = []

    def clean_up() -> None:
        with _interrupts_held():  # a second Ctrl-C must not leave the clean-up half done
            for temporary, _ in staged:
                temporary.unlink(missing_ok=True)
            for directory in sorted(created, key=lambda d: len(d.parts), reverse=True):
                with contextlib.suppress(OSError):
                    directory.rmdir()  # only when it exists and is still empty

    def named(error: OSError, path: Path) -> OSError:
        # The file asked for, not its temporary.
        return OSError(error.errno, f"cannot write {path}: {error.strerror or error}")

    current = Path()
    try:
        for current, data in targets.items():
            # Noted before mkdir, which may fail half-way down the path.
            created += [d for d in _missing_parents(current) if d not in created]
            current.parent.mkdir(parents=True, exist_ok=True)
            fd, name = tempfile.mkstemp(
                dir=current.parent, prefix=f".{current.name}.", suffix=".tmp"
            )
            os.close(fd)
            temporary = Path(name)
            staged.append((temporary, current))
            # mkstemp makes the file private; give it the mode a plain open() would have.
            os.chmod(temporary, 0o666 & ~_umask())
            temporary.write_bytes(data)
            with open(temporary, "rb") as written:
                os.fsync(written.fileno())  # the data is on disk before the name points at it
    except BaseException as error:
        clean_up()
        if isinstance(error, OSError):
            raise named(error, current) from error
        raise

    with _interrupts_held():
        # A second name for each old version, so that a rename that fails half-way through
        # the set (a file made immutable, say) can be undone.
        kept: dict[Path, Path] = {}
        for _, path in staged:
            if path.is_file() and not path.is_symlink():
                backup = path.with_name(f".{path.name}.{secrets.token_hex(6)}.old")
                with contextlib.suppress(OSError):  # no hard links here: no undo
                    os.link(path, backup)
                    kept[path] = backup
        placed: list[Path] = []
        try:
            for temporary, current in staged:
                os.replace(temporary, current)
                placed.append(current)
        except OSError as error:
            for path in placed:
                with contextlib.suppress(OSError):
                    if path in kept:
                        os.replace(kept.pop(path), path)
                    else:
                        path.unlink()
            clean_up()
            raise named(error, current) from error
        finally:
            for backup in kept.values():
                backup.unlink(missing_ok=True)
    return list(targets)


@contextmanager
def directory_lock(directory: str | Path) -> Iterator[None]:
    """Holds the lock of ``directory`` (created if missing) for the block, so that two
    commands writing their sets there cannot leave a mix of both; raises DirectoryBusyError
    at once when another process holds it.

    The lock is an flock on the file LOCK_NAME inside the directory, taken again by the
    kernel if the holder dies. The file is removed as the lock is let go, and the directories
    made for it when they are still empty (a run that wrote nothing leaves nothing)."""
    import fcntl  # POSIX only, as the command is

    directory = Path(directory)
    lock = directory / LOCK_NAME
    created = _missing_parents(lock)
    fd, held = -1, False
    try:
        directory.mkdir(parents=True, exist_ok=True)
        while not held:
            fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise DirectoryBusyError(
                    f"{directory} is being written by another tavoq run"
                ) from None
            # A holder removes the file as it lets go: a lock taken on the file it removed
            # guards nothing, so take the one now at that name.
            with contextlib.suppress(FileNotFoundError):
                held = os.path.samestat(os.fstat(fd), os.stat(lock))
            if not held:
                os.close(fd)
                fd = -1
        yield
    finally:
        with _interrupts_held():
            if held:
                lock.unlink(missing_ok=True)
            if fd >= 0:
                os.close(fd)
            for made in created:  # deepest first; only those still empty
                with contextlib.suppress(OSError):
                    made.rmdir()
