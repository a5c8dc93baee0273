"""The text report of a Summary: readable tables that fit 100 columns, methods named."""

from __future__ import annotations

import textwrap
from collections.abc import Sequence

import numpy as np

from ..results import summary as s
from ..results.summary import ComponentRow, Estimate, GateRow, Summary
from .numbers import Format, distinct_digits, number, percent

WIDTH = 100
CURVE_ROWS = 8  # time points shown from the unavailability and reliability curves
MAX_CUTSET_ROWS = 15

# What each method name in the report stands for, printed once under the tables.
METHOD_NOTES = {
    s.BINOMIAL: "runs are independent, so a count of runs is binomial; the exact "
    "Clopper-Pearson interval where the count or its complement is at most 10 (where Wilson's "
    "covers too little), the Wilson score interval above",
    s.WILSON_BOUNDED: "per-run fractions in [0, 1] with mean m vary by at most m(1-m); only "
    "their sum over runs is known (no sums of squares in this batch), so the interval is "
    "conservative",
    s.WILSON_FAILURES: "share of the system failures, taken as independent trials (approximate "
    "when runs fail more than once)",
    s.T_RUNS: "a mean of one value per run (for components and gates, from the sums of each "
    "run's value and its square); runs are independent",
    s.RATIO: "ratio of two sums over runs; interval from the per-run residuals (for a share "
    "of the system failures: from each run's count and its failures)",
    s.ORDER: "ranks of the runs' first-failure times bracketing the percentile (normal "
    "approximation to the binomial)",
    s.POISSON: "the total count over all runs taken as Poisson (exact for counts up to 30)",
    s.T_SMALL_COUNT: "a mean of one value per run that few runs carry (at most "
    f"{s.FEW_EFFECTIVE_RUNS} in effect, (sum x)^2 / sum x^2): the hull of the Student t "
    "interval over runs and the binomial interval of that many runs, scaled to the mean",
    s.RATIO_SMALL_COUNT: "share of the system failures, with few failures in or out of it (at "
    f"most {s.EXACT_COUNTS}): the hull of the delta-method interval over runs and the Wilson "
    "interval over the failures",
    s.ORDER_ONE_SIDED: "a percentile not reached within the horizon: the lower end of a "
    "one-sided interval from the ranks of the runs' first-failure times",
    s.NONE_SEEN: "nothing seen in n runs: exact upper bound on the chance that a run shows it",
    s.POISSON_NONE_SEEN: "nothing counted in n runs: exact Poisson upper bound on the mean",
    s.HORIZON_ZERO: "nothing can happen within a horizon of 0",
}


_num, _pct = number, percent


class _Formatter:
    def __init__(self, summary: Summary) -> None:
        self.summary = summary
        self.unit = summary.unit
        self.methods: list[str] = []

    def time(self, x: float | None, digits: int = 5) -> str:
        """A time given in time units, shown in ``unit`` (a unit lasts ``step`` of it)."""
        if x is None:
            return "-"
        return f"{_num(x * self.summary.step, digits)} {self.unit}".rstrip()

    def time_number(self, x: float | None, digits: int = 5) -> str:
        """A time as ``time`` shows it, without the unit."""
        return "-" if x is None else _num(x * self.summary.step, digits)

    def shown(
        self, e: Estimate, fmt: Format, digits: int, bound_digits: int | None = None
    ) -> tuple[str, str]:
        """The estimate and its interval as text: the bounds at ``bound_digits`` (``digits``
        if not given), both widened until the estimate and its bounds that differ from it,
        and from each other, print apart."""
        bound_digits = digits if bound_digits is None else bound_digits
        wide = distinct_digits((e.lower, e.value, e.upper), fmt, bound_digits)
        value = fmt(e.value, max(digits, wide))
        if e.lower is None and e.upper is None:
            return value, "(no interval)"
        upper = fmt(e.upper, wide) if e.upper is not None else "beyond horizon"
        return value, f"[{fmt(e.lower, wide)}, {upper}]"

    def method(self, e: Estimate) -> str:
        base = e.method.split(";")[0]
        if base not in self.methods:
            self.methods.append(base)
        return e.method


def _row(label: str, value: str, interval: str, method: str) -> list[str]:
    line = f"  {label:<36} {value:>11}  {interval:<24} {method}".rstrip()
    if len(line) <= WIDTH:
        return [line]
    # The method moves to its own line when the row would be too wide.
    return [line[: len(line) - len(method)].rstrip(), f"{'':>40}method: {method}"]


def _estimate_rows(f: _Formatter) -> list[str]:
    sm = f.summary
    pct = f"{sm.confidence * 100:g}%"
    lines = [f"  {'estimate':<36} {'value':>11}  {pct + ' interval':<24} method"]

    def add(label: str, e: Estimate | None, fmt: Format, why: str) -> None:
        if e is None:
            lines.append(f"  {label:<36} {'n/a':>11}  {why}".rstrip())
        else:
            # Times show a digit more than the other figures.
            value, interval = f.shown(e, fmt, 5 if fmt == f.time else 4)
            lines.extend(_row(label, value, interval, f.method(e)))

    none_failed = "no system failure occurred"
    if not sm.repairable:
        # Nothing is ever restored: the question is whether, and when, the system fails.
        add("unreliability at mission time H", sm.failure_probability, _num, "")
        add(
            "mean time to failure",
            sm.mean_time_to_failure,
            f.time,
            "not every run failed within H",
        )
        add("mean time to failure, min(T,H)", sm.restricted_mean_time_to_failure, f.time, "")
        add("mean unavailability", sm.mean_unavailability, _num, "horizon 0")
        if sm.planned is not None:
            add("  for failures (unplanned)", sm.planned.unplanned, _num, "horizon 0")
            add("  for planned stops only", sm.planned.planned, _num, "horizon 0")
    else:
        add("mean unavailability", sm.mean_unavailability, _num, "horizon 0")
        if sm.planned is not None:
            add("  for failures (unplanned)", sm.planned.unplanned, _num, "horizon 0")
            add("  for planned stops only", sm.planned.planned, _num, "horizon 0")
        add("P(system failure within horizon)", sm.failure_probability, _num, "")
        add("mean time to first failure, min(T,H)", sm.restricted_mean_time_to_failure, f.time, "")
        add(
            "mean time to first failure",
            sm.mean_time_to_failure,
            f.time,
            "not every run failed (see the line above)",
        )
    for p in sm.time_to_failure_percentiles:
        label = f"time to first failure, {p.percent:g}th pct."
        if p.estimate is None and p.at_least is not None:
            # Beyond the horizon: what can be said is a lower bound.
            if s.ORDER_ONE_SIDED not in f.methods:
                f.methods.append(s.ORDER_ONE_SIDED)
            lines.extend(
                _row(label, "> horizon", f"at least {f.time(p.at_least)}", s.ORDER_ONE_SIDED)
            )
            continue
        add(label, p.estimate, f.time, "not reached within the horizon")
    add("system failures per run", sm.failures_per_run, _num, "")
    add("MTBF (uptime / failures)", sm.mtbf, f.time, none_failed)
    add("mean down time per failure", sm.mean_down_time, f.time, none_failed)
    return lines


def _curve_rows(f: _Formatter) -> list[str]:
    sm = f.summary
    if sm.horizon == 0:
        return ["  (horizon 0: no time units simulated)"]
    u, r = sm.unavailability, sm.reliability
    bins = np.unique(np.linspace(0, len(u) - 1, CURVE_ROWS).round().astype(int))
    ends = sm.bin_ends
    for curve in (u, r):
        if curve.method not in f.methods:
            f.methods.append(curve.method)
    head = f"  {'time':>12}  {'unavailability':>14}  {'interval':<22}  {'R(t)':>10}  interval"
    lines = [head]
    if sm.bin_width > 1:
        lines.insert(
            0,
            f"  (bins of {f.time(float(sm.bin_width))}: unavailability is the bin's mean up to "
            "the time shown, R(t) its value there)",
        )
    for b in bins:
        uv, ui = f.shown(Estimate(u.value[b], u.lower[b], u.upper[b], u.method), _num, 4, 3)
        rv, ri = f.shown(Estimate(r.value[b], r.lower[b], r.upper[b], r.method), _num, 4, 3)
        lines.append(f"  {f.time(float(ends[b])):>12}  {uv:>14}  {ui:<22}  {rv:>10}  {ri}")
    return lines


def _component_rows(f: _Formatter) -> list[str]:
    if not f.summary.components:
        return ["  (no components)"]
    return _item_rows(f, f.summary.components, "component")


def _item_rows(f: _Formatter, rows: Sequence[ComponentRow | GateRow], label: str) -> list[str]:
    """The table of components or gates: unavailability, failures per run, criticality."""
    cells = []
    for c in rows:
        u = c.unavailability
        crit = c.criticality
        cells.append(
            (
                c.name,
                "n/a" if u is None else " ".join(f.shown(u, _num, 4, 3)),
                " ".join(f.shown(c.failures_per_run, _num, 4, 3)),
                "n/a" if crit is None else " ".join(f.shown(crit, _pct, 3)),
            )
        )
        for e in (u, c.failures_per_run, crit):
            if e is not None:
                f.method(e)
    heads = (label, "unavailability", "failures per run", "criticality")
    widths = [max(len(h), *(len(row[i]) for row in cells)) for i, h in enumerate(heads)]
    name_w = widths[0]
    rest_w = sum(widths[1:]) + 6
    if 2 + name_w + 2 + rest_w > WIDTH:
        name_w = 0  # long names get a line of their own
    lines = []

    def fmt(row: tuple[str, ...]) -> str:
        return (f"  {row[0]:<{name_w}}  " if name_w else "    ") + "  ".join(
            f"{cell:<{w}}" for cell, w in zip(row[1:], widths[1:], strict=True)
        ).rstrip()

    lines.append(fmt(heads))
    for row in cells:
        if not name_w:
            lines.append(f"  {row[0]}")
        lines.append(fmt(row))
    return lines


def _crew_rows(f: _Formatter) -> list[str]:
    """The crew pools: utilisation, mean wait per request, longest queue of a run."""
    cells = []
    for c in f.summary.crews:
        u, w, q = c.utilisation, c.mean_wait, c.longest_queue
        cells.append(
            (
                c.name,
                str(c.crews) if c.crews else "?",
                "n/a" if u is None else " ".join(f.shown(u, _pct, 3)),
                "no requests" if w is None else _wait(f, w),
                " ".join(f.shown(q, _num, 3)),
            )
        )
        for e in (u, w, q):
            if e is not None:
                f.method(e)
    heads = ("pool", "crews", "utilisation", "mean wait per request", "longest queue")
    widths = [max(len(h), *(len(row[i]) for row in cells)) for i, h in enumerate(heads)]
    if 2 + sum(widths) + 2 * (len(widths) - 1) > WIDTH:
        # Long pool names get a line of their own, as in the component table.
        lines = []
        for row in (heads, *cells):
            rest = "  ".join(f"{c:<{w}}" for c, w in zip(row[1:], widths[1:], strict=True))
            lines += [f"  {row[0]}", f"    {rest}".rstrip()]
        return lines
    return [
        "  " + "  ".join(f"{cell:<{w}}" for cell, w in zip(row, widths, strict=True)).rstrip()
        for row in (heads, *cells)
    ]


def _saturation_rows(f: _Formatter) -> list[str]:
    """Per pool whose saturation was counted: the share of the system failures that began
    while every crew was busy and a repair waited."""
    pools = [c for c in f.summary.crews if c.saturated_share is not None]
    if not pools:
        return []
    head = "share of the system failures begun while saturated"
    width = max(len("pool"), *(len(c.name) for c in pools))
    rows = []
    for c in pools:
        assert c.saturated_share is not None
        f.method(c.saturated_share)
        shown = " ".join(f.shown(c.saturated_share, _pct, 3))
        rows.append((c.name, f"{shown} ({c.saturated_failures:,} failures)"))
    if 4 + width + max(len(head), *(len(r) for _, r in rows)) > WIDTH:
        # Long pool names get a line of their own, as in the crew table.
        return [f"  pool\n    {head}", *(f"  {name}\n    {r}" for name, r in rows)]
    return [f"  {name:<{width}}  {r}".rstrip() for name, r in (("pool", head), *rows)]


def _wait(f: _Formatter, w: Estimate) -> str:
    """A mean wait with its unit after the value and its interval in the same time."""
    value, interval = f.shown(w, f.time_number, 3)
    unit = f" {f.unit}" if f.unit else ""
    return f"{value}{unit} {interval}"


def _cutset_rows(f: _Formatter) -> list[str]:
    sm = f.summary
    if not sm.cutsets:
        if sm.cutset_note:
            return textwrap.wrap(
                f"No cut-set table: {sm.cutset_note}; the gates above say where the failures "
                "come from.",
                WIDTH,
                initial_indent="  ",
                subsequent_indent="  ",
            )
        return ["  (no cut sets)"]
    lines = [f"  {'rank':>4}  {'failures':>9}  {'share':>7}  {'interval':<17}  cut set"]
    for rank, c in enumerate(sm.cutsets[:MAX_CUTSET_ROWS], start=1):
        share, interval = ("n/a", "") if c.share is None else f.shown(c.share, _pct, 3)
        if c.share is not None:
            f.method(c.share)
        start = f"  {rank:>4}  {c.failures:>9}  {share:>7}  {interval:<17}  "
        name_lines = textwrap.wrap(c.name, WIDTH - len(start)) or [""]
        lines.append(start + name_lines[0])
        lines.extend(" " * len(start) + more for more in name_lines[1:])
    hidden = len(sm.cutsets) - MAX_CUTSET_ROWS
    if hidden > 0:
        lines.append(f"  ... and {hidden} more cut sets (all are in cutsets.csv)")
    return lines


def format_report(summary: Summary) -> str:
    """A plain-text report of ``summary``; no line is wider than 100 columns."""
    f = _Formatter(summary)
    sm = summary
    out = _heading(f, sm)
    out += ["", "System"] + _estimate_rows(f)
    if sm.gates:
        out += [
            "",
            "Gates (intermediate events; criticality: share of system failures at which it failed)",
        ]
        out += _item_rows(f, sm.gates_top_down(), "gate")
    out += ["", "Point unavailability and reliability R(t) over time"] + _curve_rows(f)
    out += ["", "Components (criticality: share of system failures triggered)"]
    out += _component_rows(f)
    if sm.crews:
        out += [
            "",
            "Repair crews (utilisation: share of the crews' time at work; queue: of a run)",
        ]
        out += _crew_rows(f)
        saturated = _saturation_rows(f)
        if saturated:
            out += ["", "Crew pools saturated (every crew busy and a repair waiting)"] + saturated
    out += ["", "Cut sets, by share of the system failures they completed"] + _cutset_rows(f)
    out += ["", "Notes"]
    for note in _notes(sm):
        out += textwrap.wrap(note, WIDTH, initial_indent="  - ", subsequent_indent="    ")
    # The methods the tables above used, each once.
    out += ["", "Methods"]
    for method in f.methods:
        text = f"{method}: {METHOD_NOTES.get(method, '')}".rstrip(": ")
        out += textwrap.wrap(
            text,
            WIDTH,
            initial_indent="  - ",
            subsequent_indent="    ",
            break_on_hyphens=False,  # keeps "Clopper-Pearson" whole
        )
    return "\n".join(out)


def _step_text(sm: Summary) -> str:
    """How long a time unit lasts: ``0.1 h``."""
    return f"{sm.step:g}{' ' + sm.unit if sm.unit else ''}"


def _heading(f: _Formatter, sm: Summary) -> list[str]:
    """The batch (runs, horizon, seed, confidence) and its totals, wrapped."""
    horizon = f.time(sm.horizon)
    span = f" (time units 0..{sm.horizon - 1})" if sm.horizon else ""
    if sm.step != 1.0:
        span = f" ({sm.horizon} time units of {_step_text(sm)})"
    head = (
        f"{sm.n_runs} runs over a horizon of {horizon}{span}, seed {sm.seed}"
        + (f" (runs from index {sm.first_run})" if sm.first_run else "")
        + f"; {sm.confidence * 100:g}% intervals."
    )
    totals = (
        f"Runs with a system failure: {sm.runs_failed}; system failures: {sm.system_failures}; "
        f"time down, all runs: {f.time(sm.downtime, 12)}"
        + (
            f" (for planned stops only: {f.time(sm.planned.planned_downtime, 12)})."
            if sm.planned is not None
            else "."
        )
    )
    return textwrap.wrap(head, WIDTH) + textwrap.wrap(totals, WIDTH)


def _notes(sm: Summary) -> list[str]:
    """What the reader needs to read the tables of ``sm`` right, one paragraph each."""
    notes = [
        "T is the time unit at which a run's system is first seen failed; runs that never "
        "failed count as H (the horizon) in min(T, H), which equals the sum of R(t) over the "
        "time units.",
        "Down time still running at the horizon is cut there.",
    ]
    if sm.step != 1.0:
        notes.append(
            f"Times are time units of {_step_text(sm)}. Every "
            "delay is truncated to whole units, so each is cut by up to one unit: failures "
            "come early by up to a unit for each delay on the way."
        )
    if sm.planned is not None:
        notes.append(
            "Unavailability counts the time down for planned stops (the system down with "
            "every failed state read as working: planned states alone bring it down) with "
            "the time down for failures (some failed state needed). System failures, R(t), "
            "the time to first failure, the down time per failure and the criticality count "
            "only failures; a planned stop that turns into a failure counts one there. The "
            "MTBF's uptime leaves out all time down, planned stops included."
        )
    if sm.crews:
        notes.append(
            "A repair waits for a free crew of its pool; the mean wait is over all requests, "
            "those served at once included."
        )
    if sm.top_gate is not None:
        notes.append(
            f"The top of the fault tree is the gate {sm.top_gate}, listed first among the "
            "gates; its numbers are the system's."
        )
    if len(sm.cutsets) > 1:
        notes.append(
            "One transition can complete several cut sets, so the shares of the cut "
            "sets can add up to more than 100%."
        )
    return notes
