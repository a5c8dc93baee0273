"""Keep what the module writes off the terminal.

The runners write "Simulation 0 done." and friends, and the engine its line for a first draw
out of range, from C++ straight to file descriptor 1, below Python's sys.stdout, so
redirect_stdout cannot catch them; the descriptor itself is pointed elsewhere for the
duration of the call.
"""

from __future__ import annotations

import contextlib
import os
import re
import sys
import tempfile
import threading
import warnings
from collections.abc import Iterator
from contextlib import contextmanager

from ..errors import NegativeDelayWarning

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


# The engine's line for a first draw out of range: "<prefix><delay>  <p>".
OUT_OF_RANGE_PREFIX = "Warning: nextTimeDouble is out of bounds: "


@contextmanager
def engine_output_as_warnings() -> Iterator[None]:
    """Run the block with file descriptor 1 captured, then turn the engine's lines about
    negative first draws into one NegativeDelayWarning (per-draw lines would bury a report
    or break --json).

    A first draw past the largest delay (2**31 - 1 time units) is dropped silently: it falls
    beyond any horizon, so "never" is exactly right. Any other line (another thread's print)
    is written back to file descriptor 1, after an error too. Without a temporary directory
    or a descriptor 1, the block runs uncaptured."""
    try:
        sink = tempfile.TemporaryFile()
    except OSError:
        yield
        return
    with sink, _fd1_lock:
        captured, negative = False, list[bytes]()
        try:
            with _fd1_sent_to(sink.fileno()) as captured:
                yield
        finally:
            if captured:
                sink.seek(0)
                negative, others = _sort_engine_lines(sink.read())
                if others:
                    with contextlib.suppress(OSError):
                        os.write(1, others)
        # Only after a batch that ran: one that failed has no result to qualify.
        if negative:
            warnings.warn(
                NegativeDelayWarning(len(negative), negative[0].decode()),
                skip_file_prefixes=(os.path.dirname(__file__), contextlib.__file__),
            )


# A number as the engine's stream writes one (the sign, digits, an exponent, inf or nan).
_NUMBER = re.compile(rb"[-+]?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]?\d+)?)")
# What is left of the engine's lines once two threads' pieces are shuffled: numbers only.
_PIECES = re.compile(rb"[-+0-9.eEinfa \t]*")


def _sort_engine_lines(text: bytes) -> tuple[list[bytes], bytes]:
    """(the negative first draws, the other lines) of what was captured.

    Threads write their lines at the same time, so the pieces of one line (the prefix, the
    delay, the probability) may be shuffled with another's; each piece stays whole. A line
    holding the prefix, or nothing but numbers, is the engine's; of its numbers the
    probabilities are never negative and neither are delays past the largest, so its
    negative numbers are exactly negative first draws. Every other line is somebody else's.
    """
    prefix = OUT_OF_RANGE_PREFIX.encode()
    if prefix not in text:
        return [], text
    engine, others = [], []
    for line in text.splitlines(keepends=True):
        if prefix in line or _PIECES.fullmatch(line.strip()):  # blank: a stray newline
            engine.append(line.replace(prefix, b" "))
        else:
            others.append(line)
    negative = [n for n in _NUMBER.findall(b"".join(engine)) if float(n) < 0.0]
    return negative, b"".join(others)
