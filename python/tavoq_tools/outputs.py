"""The files of a summary: summary.json, curves.csv, components.csv, cutsets.csv, summary.png.

Every file is written under a temporary name in the same directory and renamed into place,
so a reader (or a crash, or Ctrl-C) never sees a half-written file: each one is either the old
version, the complete new one, or absent. All file contents are rendered before the first file
is written, so an error in the summary leaves the directory untouched.
"""

from __future__ import annotations

import csv
import io
import json
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from .summary import Estimate, Summary

FILES = ("summary.json", "curves.csv", "components.csv", "cutsets.csv", "summary.png")


def _umask() -> int:
    mask = os.umask(0o022)  # reading the mask means setting it; put it straight back
    os.umask(mask)
    return mask


@contextmanager
def atomic_target(path: str | Path) -> Iterator[Path]:
    """Yield a temporary path beside ``path``; on leaving without error it becomes ``path``.

    On an error the temporary file is removed and ``path`` is left as it was.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, name = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    os.close(fd)
    temporary = Path(name)
    # mkstemp makes the file private; give it the mode a plain open() would have.
    os.chmod(temporary, 0o666 & ~_umask())
    try:
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())  # the data is on disk before the name points at it
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def write_text_atomic(path: str | Path, text: str) -> Path:
    path = Path(path)
    with atomic_target(path) as temporary:
        temporary.write_text(text, encoding="utf-8", newline="")
    return path


def _csv(header: list[str], rows: list[list[object]]) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)
    return buffer.getvalue()


def _cells(e: Estimate | None) -> list[object]:
    # Empty cells for what is not available; floats as their shortest exact repr.
    if e is None:
        return ["", "", ""]
    return [e.value, "" if e.lower is None else e.lower, "" if e.upper is None else e.upper]


def curves_csv(summary: Summary) -> str:
    u, r = summary.unavailability, summary.reliability
    columns = [range(summary.horizon), u.value.tolist(), u.lower.tolist(), u.upper.tolist(),
               r.value.tolist(), r.lower.tolist(), r.upper.tolist()]
    header = ["time", "unavailability", "unavailability_lower", "unavailability_upper",
              "reliability", "reliability_lower", "reliability_upper"]
    return _csv(header, [list(row) for row in zip(*columns, strict=True)])


def components_csv(summary: Summary) -> str:
    header = ["name", "downtime", "failures", "triggered",
              "unavailability", "unavailability_lower", "unavailability_upper",
              "failures_per_run", "failures_per_run_lower", "failures_per_run_upper",
              "criticality", "criticality_lower", "criticality_upper"]
    rows = [
        [c.name, c.downtime, c.failures, c.triggered, *_cells(c.unavailability),
         *_cells(c.failures_per_run), *_cells(c.criticality)]
        for c in summary.components
    ]
    return _csv(header, rows)


def cutsets_csv(summary: Summary) -> str:
    header = ["rank", "index", "name", "failures", "share", "share_lower", "share_upper"]
    rows = [
        [rank, c.index, c.name, c.failures, *_cells(c.share)]
        for rank, c in enumerate(summary.cutsets, start=1)
    ]
    return _csv(header, rows)


def write_outputs(summary: Summary, out_dir: str | Path, *, figure: bool = True) -> list[Path]:
    """Write the summary's files into ``out_dir`` (created if needed); return the paths written.

    summary.json is ``summary.to_dict()`` (the curves are in curves.csv). The figure is left
    out when ``figure`` is false or matplotlib is missing (a message on stderr says so).
    """
    out_dir = Path(out_dir)
    contents = {
        "summary.json": json.dumps(summary.to_dict(), indent=2, allow_nan=False) + "\n",
        "curves.csv": curves_csv(summary),
        "components.csv": components_csv(summary),
        "cutsets.csv": cutsets_csv(summary),
    }
    written = [write_text_atomic(out_dir / name, text) for name, text in contents.items()]
    if figure:
        from .plot import plot_summary

        png = plot_summary(summary, out_dir / "summary.png")
        if png is not None:
            written.append(png)
    return written
