"""Keep the module's progress lines off the terminal.

The runners write "Simulation 0 done." and friends from C++ straight to file descriptor 1,
below Python's sys.stdout, so redirect_stdout cannot catch them; the descriptor itself is
pointed at /dev/null for the duration of the call.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
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
