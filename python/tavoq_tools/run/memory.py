"""What a run needs on the Python side beside the engine, and what the process can get.

The engine checks its own call before allocating (MemoryError naming both figures). The
command then holds the results a second and third time: the copy in BatchStatistics, the
merge of the chunks, the summary's float arrays, the files and the figure. Those grow with
the runs and the points of the curves (never with the horizon: the curves are binned), so
they are estimated from those two numbers and checked before any run starts.
"""

from __future__ import annotations

import contextlib
from pathlib import Path

__all__ = ["BYTES_PER_BIN", "BYTES_PER_RUN", "available_bytes", "python_side_bytes"]

# Per run: the native per-run arrays copied (3 x 8 bytes), the merged copy, and the float64
# arrays summarize makes of them (failures, downtime, centred, uptime, residuals), with room.
BYTES_PER_RUN = 200
# Per entry of the curves: the copies of the two count arrays, the merge's sums, the two
# curves' value and band, summarize's temporaries, a CSV row and the figure's path vertices.
BYTES_PER_BIN = 1_000


def python_side_bytes(runs: int, bins: int) -> int:
    """An upper estimate of what the command holds beside the engine's call."""
    return BYTES_PER_RUN * max(runs, 0) + BYTES_PER_BIN * max(bins, 0)


def _read_int(path: Path) -> int | None:
    with contextlib.suppress(OSError, ValueError):
        text = path.read_text().strip()
        return None if text == "max" else int(text)
    return None


def available_bytes() -> int | None:
    """MemAvailable, or the memory cgroup's remaining room when that is smaller; None when
    neither can be read (not Linux)."""
    figures = []
    with contextlib.suppress(OSError, ValueError, IndexError):
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemAvailable:"):
                figures.append(int(line.split()[1]) * 1024)
    with contextlib.suppress(OSError):
        for line in Path("/proc/self/cgroup").read_text().splitlines():
            _, controllers, group = line.split(":", 2)
            if controllers == "":  # cgroup v2
                base = Path("/sys/fs/cgroup") / group.lstrip("/")
                limit, used = _read_int(base / "memory.max"), _read_int(base / "memory.current")
            elif "memory" in controllers.split(","):  # cgroup v1
                base = Path("/sys/fs/cgroup/memory") / group.lstrip("/")
                limit = _read_int(base / "memory.limit_in_bytes")
                used = _read_int(base / "memory.usage_in_bytes")
            else:
                continue
            if limit is not None and used is not None:
                figures.append(max(limit - used, 0))
    return min(figures) if figures else None
