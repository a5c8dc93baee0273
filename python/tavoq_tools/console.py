"""Keep what the module writes off the terminal.

The runners write "Simulation 0 done." and friends, and the engine its line for a first draw
out of range, from C++ straight to file descriptor 1, below Python's sys.stdout, so
redirect_stdout cannot catch them; the descriptor itself is pointed elsewhere for the
duration of the call.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import threading
import warnings
from collections.abc import Iterator
from typing import IO
from contextlib import contextmanager


@contextmanager
def native_stdout_silenced(path: str = os.devnull) -> Iterator[None]:
    """Send whatever is written to file descriptor 1 inside the block to `path`
    (/dev/null by default; another file is truncated first)."""
    sys.stdout.flush()  # what Python printed before the block must not be lost
    saved = os.dup(1)
    devnull = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


# The engine's line for a first draw out of range: "<prefix><delay>  <p>".
OUT_OF_RANGE_PREFIX = "Warning: nextTimeDouble is out of bounds: "

# File descriptor 1 belongs to the whole process: one capture at a time. Reentrant: a signal
# handler that runs inside a native call may start a capture of its own on the same thread.
_capture_lock = threading.RLock()


class NegativeDelayWarning(UserWarning):
    """Some first draws of a transition in a run were negative and counted as never happening
    in that run (a negative draw later in a run happens at once)."""


@contextmanager
def engine_output_as_warnings() -> Iterator[None]:
    """Run the block with file descriptor 1 captured, then turn what the engine wrote there
    into one NegativeDelayWarning (per-draw lines would bury a report or break --json).

    A first draw past the largest delay (2**31 - 1 time units) is dropped silently: it falls
    beyond any horizon, so "never" is exactly right. Lines that are not the engine's are
    written back to file descriptor 1."""
    with _capture_lock, tempfile.TemporaryFile() as sink:
        sys.stdout.flush()
        saved = os.dup(1)
        try:
            os.dup2(sink.fileno(), 1)
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        _report_engine_lines(sink)  # not after an error: the batch has no result to qualify


# A number as the engine's stream writes one (the sign, digits, an exponent, inf or nan).
_NUMBER = re.compile(rb"[-+]?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]?\d+)?)")


def _report_engine_lines(sink: IO[bytes]) -> None:
    text = sink.read()
    prefix = OUT_OF_RANGE_PREFIX.encode()
    if prefix not in text:
        if text:
            os.write(1, text)  # somebody else's: give it back
        return
    # Threads write their lines at the same time, so the pieces of one line (the prefix, the
    # delay, the probability) may be shuffled with another's; each piece stays whole. Of the
    # numbers, the probabilities are never negative and neither are delays past the largest,
    # so the negative numbers are exactly the negative first draws.
    negative = [n for n in _NUMBER.findall(text.replace(prefix, b" ")) if float(n) < 0.0]
    if negative:
        count, example = len(negative), negative[0].decode()
        warnings.warn(
            NegativeDelayWarning(
                f"{count:,} first draw{'s' if count != 1 else ''} of a transition in a run "
                f"{'were' if count != 1 else 'was'} negative (for example {example}) "
                "and counted as never happening in that run; a negative draw later in a run "
                "happens at once. A distribution that can give negative delays, such as a "
                "normal with a large spread, is better replaced or truncated."
            ),
            stacklevel=3,
        )
