"""The all-or-nothing writer: a set of files written so that an error or an interruption
leaves the targets either all as they were or all new.

Each file is written under a temporary name beside its target, and only once all of them are
complete are they renamed into place, with Ctrl-C (and SIGTERM, SIGHUP) held off meanwhile;
a rename that fails puts back the files already renamed. A reader never sees a half-written
file (while the renames go on, a reader may see some of the new files beside old ones).

A stream among the targets (/dev/null, a FIFO, /dev/stdout) is written into, never replaced,
once the files are in place. Into a directory held by ``directory_lock``, each step is noted
on disk first, so that a writer killed outright (no handler runs on SIGKILL) leaves what the
next holder of the lock needs to finish or undo its work (``recover``).
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import re
import secrets
import signal
import stat
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path

__all__ = [
    "JOURNAL_NAME",
    "LOCK_NAME",
    "DirectoryBusyError",
    "LockRefusedError",
    "NotAFileError",
    "directory_lock",
    "is_stream",
    "recover",
    "write_files",
]

# The lock of an output directory: inside it, and no part of the set written there.
LOCK_NAME = ".tavoq.lock"
# Beside it while a set is written into the directory: what a killed writer left (recover).
JOURNAL_NAME = ".tavoq.journal"


class DirectoryBusyError(BlockingIOError):
    """Another process holds the lock of the directory."""


class LockRefusedError(OSError):
    """The lock of a directory cannot be taken: a link or another kind of file is planted at
    its name, or the file system has no locks (NFS without its lock manager)."""


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


# A link whose target is an open descriptor's own file: /dev/stdout, /dev/fd/3.
_DESCRIPTOR_LINK = re.compile(r"/proc/[^/]+/fd/\d+|/dev/fd/\d+")


def _through_descriptor(path: Path) -> bool:
    """Whether following the links of ``path`` passes through an open descriptor."""
    current = os.path.abspath(path)
    for _ in range(40):  # as many links as the kernel follows
        if _DESCRIPTOR_LINK.fullmatch(current):
            return True
        if not os.path.islink(current):
            return False
        current = os.path.join(os.path.dirname(current), os.readlink(current))
        current = os.path.normpath(current)
    return False


def is_stream(path: str | Path) -> bool:
    """Whether ``path`` is written in place as a stream rather than replaced by a new file:
    a character device (/dev/null), a FIFO, a link to either, or a link to an open
    descriptor (/dev/stdout, whatever that descriptor is). Raises NotAFileError for the
    other special files, which no output goes to."""
    path = Path(path)
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False  # missing, or a link to nothing: a new file
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode) or _through_descriptor(path):
        return True
    if stat.S_ISBLK(mode) or stat.S_ISSOCK(mode):
        what = "block device" if stat.S_ISBLK(mode) else "socket"
        raise NotAFileError(f"{path} is a {what}: the output goes to a file, a FIFO or a terminal")
    return False


class NotAFileError(OSError):
    """An output path that names a block device or a socket."""


def _write_stream(path: Path, data: bytes) -> None:
    # Appending, never truncating: through /dev/stdout to a file opened with >>, the data
    # goes after what is there, and a terminal, a pipe or /dev/null takes it as it comes.
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NOCTTY | os.O_CLOEXEC)
    with open(fd, "wb") as stream:
        stream.write(data)


class _Journal:
    """What a set being written into a locked directory has made there, one JSON line per
    step, each on disk before the step: a temporary (``stage``), a second name for an old
    version (``keep``), and the moment the renames begin (``place``). Whoever takes the lock
    after a killed writer reads it to finish or undo what was left (``recover``)."""

    def __init__(self, path: Path | None):
        self.path = path
        self.fd = -1

    def note(self, *entry: str) -> None:
        if self.path is None:
            return
        if self.fd < 0:
            self.fd = os.open(
                self.path,
                os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC,
                0o666,
            )
        os.write(self.fd, (json.dumps(entry) + "\n").encode())
        os.fsync(self.fd)

    def close(self) -> None:
        """Called once the set is in place or cleaned up: nothing is left to recover."""
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
            if self.path is not None:
                self.path.unlink(missing_ok=True)


def write_files(
    files: Mapping[Path, bytes] | Mapping[str, bytes] | Mapping[str | Path, bytes],
    *,
    journal: str | Path | None = None,
) -> list[Path]:
    """Write each content to its path, as one set (see the module's docstring); directories
    are created as needed, and removed again when the set could not be written.

    A path that is a stream (``is_stream``: /dev/null, a FIFO, /dev/stdout) is not replaced:
    its content is written into it once the rest of the set is in place, as nothing written
    to a stream can be taken back. A path that is a link to a file is replaced by the new
    file, and put back as the link it was if the set cannot be placed.

    ``journal`` names a file that records each step on disk as it is made (for a set written
    into a directory held by ``directory_lock``, which recovers from it after a kill)."""
    targets = {Path(path): data for path, data in files.items()}
    for path in targets:
        if path.is_dir():
            raise IsADirectoryError(f"{path}: is a directory")
    streams = {path: data for path, data in targets.items() if is_stream(path)}
    log = _Journal(None if journal is None else Path(journal))
    created: list[Path] = []
    staged: list[tuple[Path, Path]] = []

    def clean_up() -> None:
        with _interrupts_held():  # a second Ctrl-C must not leave the clean-up half done
            for temporary, _ in staged:
                temporary.unlink(missing_ok=True)
            log.close()
            for directory in sorted(created, key=lambda d: len(d.parts), reverse=True):
                with contextlib.suppress(OSError):
                    directory.rmdir()  # only when it exists and is still empty

    def named(error: OSError, path: Path) -> OSError:
        # The file asked for, not its temporary.
        return OSError(error.errno, f"cannot write {path}: {error.strerror or error}")

    current = Path()
    try:
        for current, data in targets.items():
            if current in streams:
                continue
            # Noted before mkdir, which may fail half-way down the path.
            created += [d for d in _missing_parents(current) if d not in created]
            current.parent.mkdir(parents=True, exist_ok=True)
            temporary = current.with_name(f".{current.name}.{secrets.token_hex(4)}.tmp")
            log.note("stage", os.path.abspath(temporary), os.path.abspath(current))
            # Made with the mode a plain open() gives (0o666 less the umask), and never over
            # a file already there.
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            staged.append((temporary, current))
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
        # the set (a file made immutable, say) can be undone; a link is kept as a link.
        kept: dict[Path, Path] = {}
        try:
            for _, path in staged:
                link = path.is_symlink()
                if not (link or path.is_file()):
                    continue
                backup = path.with_name(f".{path.name}.{secrets.token_hex(6)}.old")
                log.note("keep", os.path.abspath(backup), os.path.abspath(path))
                with contextlib.suppress(OSError):  # no second name here: no undo
                    if link:
                        os.symlink(os.readlink(path), backup)
                    else:
                        os.link(path, backup)
                    kept[path] = backup
            log.note("place")
        except OSError as error:  # the journal could not be written
            for backup in kept.values():
                backup.unlink(missing_ok=True)
            clean_up()
            raise OSError(error.errno, f"cannot write {log.path}: {error.strerror}") from error
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
            log.close()
    for current, data in streams.items():
        try:
            _write_stream(current, data)
        except OSError as error:
            raise named(error, current) from error
    return list(targets)


def recover(directory: str | Path) -> str | None:
    """Finish or undo what a writer killed in ``directory`` left there (its journal says
    what), and say what was done; None when there was nothing. To be called with the lock of
    the directory held: no live writer is then at work there.

    Killed before its renames began, the writer's temporaries are removed and the old set
    stays; killed during the renames, the rest of its complete set is put in place."""
    journal = Path(directory) / JOURNAL_NAME
    try:
        text = journal.read_bytes().decode("utf-8", "surrogateescape")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeError) as err:
        raise OSError(f"cannot read {journal}, left by a killed run: {err}") from None
    entries = []
    for line in text.splitlines():
        with contextlib.suppress(ValueError):
            entries.append(json.loads(line))  # the last line may be cut short by the kill
    placing = ["place"] in entries
    finished = removed = 0
    for entry in entries:
        if not (isinstance(entry, list) and len(entry) == 3 and entry[0] in ("stage", "keep")):
            continue
        kind, made, target = entry
        if not os.path.lexists(made):
            continue
        if kind == "stage" and placing:
            os.replace(made, target)
            finished += 1
        else:
            os.unlink(made)
            removed += 1
    journal.unlink()
    if placing:
        return (
            "a run killed while putting its files in place here left its set half done: "
            f"the other {_files(finished)} put in place"
        )
    return f"a run killed while writing here left {_files(removed)} unfinished: removed"


def _files(count: int) -> str:
    return f"{count} file{'' if count == 1 else 's'}"


@contextmanager
def directory_lock(directory: str | Path) -> Iterator[str | None]:
    """Holds the lock of ``directory`` (created if missing) for the block, so that two
    commands writing their sets there cannot leave a mix of both; raises DirectoryBusyError
    at once when another process holds it, and LockRefusedError when the lock cannot be
    taken at all (a link or other planted file at its name, a file system without locks).

    The lock is an flock on the file LOCK_NAME inside the directory, taken again by the
    kernel if the holder dies; it is opened without following a link. The file is removed as
    the lock is let go, and the directories made for it when they are still empty (a run
    that wrote nothing, or could not lock, leaves nothing). Once held, what a killed writer
    left there is recovered (``recover``); the block gets its account, or None."""
    import fcntl  # POSIX only, as the command is

    directory = Path(directory)
    lock = directory / LOCK_NAME
    created = _missing_parents(lock)
    fd, held, made = -1, False, False
    try:
        directory.mkdir(parents=True, exist_ok=True)
        while not held:
            fd, made = _open_lock(lock)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                made = False  # another run holds it: its file, not ours to remove
                raise DirectoryBusyError(
                    f"{directory} is being written by another tavoq run"
                ) from None
            except OSError as err:
                raise LockRefusedError(
                    f"cannot lock {lock}: the file system does not support locks "
                    f"({err.strerror or err}); write the files to a local directory"
                ) from None
            # A holder removes the file as it lets go: a lock taken on the file it removed
            # guards nothing, so take the one now at that name.
            with contextlib.suppress(FileNotFoundError):
                held = os.path.samestat(os.fstat(fd), os.stat(lock))
            if not held:
                os.close(fd)
                fd, made = -1, False
        yield recover(directory)
    finally:
        with _interrupts_held():
            if held or made:  # a file this run made, still at its name
                lock.unlink(missing_ok=True)
            if fd >= 0:
                os.close(fd)
            for parent in created:  # deepest first; only those still empty
                with contextlib.suppress(OSError):
                    parent.rmdir()


def _open_lock(lock: Path) -> tuple[int, bool]:
    """A descriptor of the lock file, and whether this call made it. A link at its name is
    not followed, nor anything but a plain file taken."""
    flags = os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK
    while True:
        try:
            fd, made = os.open(lock, flags | os.O_CREAT | os.O_EXCL, 0o666), True
        except FileExistsError:
            try:
                fd, made = os.open(lock, flags), False
            except FileNotFoundError:
                continue  # let go of in between: make it
            except OSError as err:
                if err.errno == errno.ELOOP:
                    raise LockRefusedError(
                        f"{lock} is a symbolic link: tavoq does not follow it; remove it"
                    ) from None
                raise
        if stat.S_ISREG(os.fstat(fd).st_mode):
            return fd, made
        os.close(fd)
        raise LockRefusedError(f"{lock} is not a plain file; remove it")
