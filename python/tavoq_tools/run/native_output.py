"""Keep what the batch runners of failed runs per time unit write off the terminal.

runnerMultipleSim and runnerParallelSim write "Simulation 0 done." and friends, and a line
for each first draw out of range, from C++ straight to file descriptor 1, below Python's
sys.stdout, so redirect_stdout cannot catch them; the descriptor itself is pointed elsewhere
for the duration of the call. runnerStatistics, which tavoq_tools runs, writes nothing: it
counts those draws instead, so nothing of the package captures its output.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager

# File descriptor 1 belongs to the whole process: one redirection at a time, undone in the
# order it was made. Reentrant: a signal handler that runs inside a native call may start a
# batch, and so a redirection, of its own on the same thread.
_fd1_lock = threading.RLock()


def _flush_stdout() -> None:
    # What Python printed before a redirection must go where it was meant to. There may be
    # no sys.stdout at all (a daemon), or a closed one.
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stdout.flush()


@contextmanager
def _fd1_sent_to(target: int) -> Iterator[bool]:
    """File descriptor 1 points at ``target`` inside the block; yields False, changing
    nothing, when the process has no descriptor 1 to redirect."""
    with _fd1_lock:
        _flush_stdout()
        try:
            saved = os.dup(1)
        except OSError:  # stdout closed (>&-): the engine's writes go nowhere anyway
            yield False
            return
        try:
            os.dup2(target, 1)
            yield True
        finally:
            _flush_stdout()
            os.dup2(saved, 1)
            os.close(saved)


@contextmanager
def native_stdout_silenced(path: str = os.devnull) -> Iterator[None]:
    """Send whatever is written to file descriptor 1 inside the block to `path`
    (/dev/null by default; another file is truncated first)."""
    target = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        with _fd1_sent_to(target):
            yield
    finally:
        os.close(target)
