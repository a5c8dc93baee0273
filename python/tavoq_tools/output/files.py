"""The files of a summary: summary.json, curves.csv, components.csv, gates.csv, cutsets.csv,
summary.png.

All file contents are rendered before the first file is written, so an error in the summary
leaves the directory untouched; they are then written as one set (``atomic.write_files``).
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Sequence
from pathlib import Path

from ..results.summary import ComponentRow, Estimate, GateRow, Summary
from .atomic import write_files
from .figures import figure_png

FILES = (
    "summary.json",
    "curves.csv",
    "components.csv",
    "gates.csv",
    "cutsets.csv",
    "summary.png",
)


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
    # One row per bin: its first unit and, when a bin holds several units, its last (the
    # unavailability is the mean over the bin, R(t) its value at the last unit).
    binned = summary.bin_width > 1
    columns = [
        summary.bin_starts.tolist(),
        *([summary.bin_ends.tolist()] if binned else []),
        u.value.tolist(),
        u.lower.tolist(),
        u.upper.tolist(),
        r.value.tolist(),
        r.lower.tolist(),
        r.upper.tolist(),
    ]
    header = [
        "time",
        *(["time_end"] if binned else []),
        "unavailability",
        "unavailability_lower",
        "unavailability_upper",
        "reliability",
        "reliability_lower",
        "reliability_upper",
    ]
    if summary.step != 1:
        # A unit lasts ``step`` of the model's own time (a converted fault tree's hours, say):
        # the same bins in that time, beside the unit numbers.
        columns[1 + binned : 1 + binned] = [(summary.bin_starts * summary.step).tolist()]
        header[1 + binned : 1 + binned] = ["model_time"]
    if summary.planned is not None:
        # The part of the unavailability that is planned stops only.
        planned = summary.planned.curve
        columns += [planned.value.tolist(), planned.lower.tolist(), planned.upper.tolist()]
        header += ["planned", "planned_lower", "planned_upper"]
    return _csv(header, [list(row) for row in zip(*columns, strict=True)])


def components_csv(summary: Summary) -> str:
    return _items_csv(summary.components)


def gates_csv(summary: Summary) -> str:
    """The named gates, in file order, with the columns of components.csv."""
    return _items_csv(summary.gates)


def _items_csv(items: Sequence[ComponentRow | GateRow]) -> str:
    header = [
        "name",
        "downtime",
        "failures",
        "triggered",
        "unavailability",
        "unavailability_lower",
        "unavailability_upper",
        "failures_per_run",
        "failures_per_run_lower",
        "failures_per_run_upper",
        "criticality",
        "criticality_lower",
        "criticality_upper",
    ]
    rows = [
        [
            c.name,
            c.downtime,
            c.failures,
            c.triggered,
            *_cells(c.unavailability),
            *_cells(c.failures_per_run),
            *_cells(c.criticality),
        ]
        for c in items
    ]
    return _csv(header, rows)


def cutsets_csv(summary: Summary) -> str:
    header = ["rank", "index", "name", "failures", "share", "share_lower", "share_upper"]
    rows = [
        [rank, c.index, c.name, c.failures, *_cells(c.share)]
        for rank, c in enumerate(summary.cutsets, start=1)
    ]
    return _csv(header, rows)


def render_outputs(summary: Summary, *, figure: bool = True) -> dict[str, bytes]:
    """The files of ``summary`` by name, rendered. The figure is left out when ``figure`` is
    false or matplotlib is missing (a message on stderr says so)."""
    contents = {
        "summary.json": json.dumps(summary.to_dict(), indent=2, allow_nan=False) + "\n",
        "curves.csv": curves_csv(summary),
        "components.csv": components_csv(summary),
        "gates.csv": gates_csv(summary),
        "cutsets.csv": cutsets_csv(summary),
    }
    rendered = {name: text.encode("utf-8") for name, text in contents.items()}
    if figure:
        png = figure_png(summary)
        if png is not None:
            rendered["summary.png"] = png
    return rendered


def write_outputs(summary: Summary, out_dir: str | Path, *, figure: bool = True) -> list[Path]:
    """Write the summary's files into ``out_dir`` (created if needed) as one set; return the
    paths written.

    summary.json is ``summary.to_dict()`` (the curves are in curves.csv). The figure is left
    out when ``figure`` is false or matplotlib is missing (a message on stderr says so).
    """
    out_dir = Path(out_dir)
    rendered = render_outputs(summary, figure=figure)
    return write_files({out_dir / name: data for name, data in rendered.items()})
