"""Importance measures as ``tavoq run --importance`` shows them: a ranked table per basis
with the methods' definitions, importance.csv, the entries added to summary.json, and the
figure that ranks the nodes by RAW and by Birnbaum importance."""

from __future__ import annotations

import csv
import io
import math
import sys
from typing import Any

from ..analysis.importance import (
    BASES,
    IN_LOGIC,
    MEASURE_NAMES,
    RARE,
    Importance,
    ImportanceResult,
)
from ..results.summary import Estimate
from .numbers import estimate_cell, number

__all__ = [
    "MEASURES",
    "add_importance",
    "importance_csv",
    "importance_png",
    "importance_report",
]

#: (attribute of Importance, heading) in the order the table shows them.
MEASURES = (
    ("birnbaum", "Birnbaum"),
    ("criticality", "criticality"),
    ("fussell_vesely", "Fussell-Vesely"),
    ("raw", "RAW"),
    ("rrw", "RRW"),
)

DEFINITIONS = """\
Definitions (Q: the measure of the system; Q(c down), Q(c up): with c held failed or working
throughout, over the same runs and seeds as the base runs):
  Birnbaum        Q(c down) - Q(c up): the chance that c is critical.
  criticality     I_B q_c / Q, taken as (Q - Q(c up)) / Q, equal to it when c fails independently
                  of the rest (Rausand & Hoyland, System Reliability Theory, sec. 5.4).
  Fussell-Vesely  {fv}
  RAW             Q(c down) / Q, the risk achievement worth.
  RRW             Q / Q(c up), the risk reduction worth: inf when c in every cut set.
Intervals: 95%, {intervals}."""

FUSSELL_VESELY = (
    "the cut-set form, P(a failed minimal cut set contains c) / Q, where the cut sets\n"
    "                  are listed (--fv-cutsets with the base runs' critical time). Marked *: the\n"
    "                  reduction form (Q - Q(c up)) / Q, for gates (in no cut set) and the rest.\n"
    "                  PSA codes compute the reduction form from cut sets; the two agree under\n"
    "                  the rare-event approximation. The files give both where both are made."
)


def _fv(m: Importance) -> tuple[Estimate | None, bool]:
    """The Fussell-Vesely figure shown, and whether it is the reduction form."""
    if m.fussell_vesely is not None:
        return m.fussell_vesely, False
    return m.fussell_vesely_reduction, True


def _cell(e: Estimate | None, digits: int = 3) -> str:
    return estimate_cell(e, digits)


def importance_report(result: ImportanceResult) -> str:
    """The ranked tables, one per basis, and the definitions."""
    held = {node.method for node in result.nodes}
    how = " and ".join(sorted(held)) or IN_LOGIC
    cost = (
        f"{result.batches} held batches of {result.runs:,} runs beside the base runs"
        if result.batches
        else f"one more pass over the {result.runs:,} base runs"
    )
    lines = [f"Importance of {len(result.nodes)} components and gates ({how}): {cost}."]
    for basis in [b for b in BASES if b in result.base]:
        base = result.base.get(basis, math.nan)
        lines += ["", f"Ranked by Birnbaum importance for the {basis} (Q = {number(base)}):"]
        rows = []
        ranked = sorted(result.nodes, key=lambda n: -n.measures[basis].birnbaum.value)
        for node in ranked:
            m = node.measures[basis]
            fv, reduced = _fv(m)
            cells = [
                _cell(m.birnbaum),
                _cell(m.criticality),
                _cell(fv) + ("*" if reduced and fv is not None else ""),
                _cell(m.raw),
                _cell(m.rrw),
            ]
            rows.append([node.name, node.kind, *cells])
        header = ["name", "kind", *(heading for _, heading in MEASURES)]
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        for row in [header, *rows]:
            lines.append(
                "  " + "  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip()
            )
        if base == 0:
            lines.append("  The system never failed in the base runs: only Birnbaum has a value.")
    intervals = (
        "the three estimates (base, held failed, held working) combined as independent ones "
        "(delta method): holding a node changes the biased runs"
        if held == {RARE}
        else "over the paired runs (t for Birnbaum, delta method for the ratios)"
    )
    lines += ["", DEFINITIONS.format(fv=FUSSELL_VESELY, intervals=intervals)]
    return "\n".join(lines)


def add_importance(summary: dict[str, Any], result: ImportanceResult) -> dict[str, Any]:
    """``summary`` (a Summary.to_dict()) with each component's and gate's measures in its
    entry, under "importance", and what they cost under "importance_runs"."""
    from ..results.summary import json_safe

    by_name = {(node.kind, node.name): node for node in result.nodes}
    for key, kind in (("components", "component"), ("gates", "gate")):
        for entry in summary.get(key) or []:
            node = by_name.get((kind, entry.get("name")))
            if node is not None:
                entry["importance"] = json_safe(
                    {"held": node.method}
                    | {basis: m.to_dict() for basis, m in node.measures.items()}
                )
    summary["importance_runs"] = {
        "runs": result.runs,
        "seed": result.seed,
        "held_batches": result.batches,
        "base": json_safe(result.base),
    }
    return summary


def importance_csv(result: ImportanceResult) -> str:
    """One row per node and basis: each measure's value and bounds."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    names = MEASURE_NAMES
    writer.writerow(
        ["name", "kind", "held", "basis"]
        + [f"{n}{part}" for n in names for part in ("", "_lower", "_upper")]
    )
    for node in result.nodes:
        for basis, m in node.measures.items():
            cells: list[object] = [node.name, node.kind, node.method, basis]
            for n in names:
                e = getattr(m, n)
                cells += ["", "", ""] if e is None else [e.value, e.lower, e.upper]
            writer.writerow(["" if c is None else c for c in cells])
    return buffer.getvalue()


def importance_png(result: ImportanceResult, limit: int = 20) -> bytes | None:
    """A PNG ranking the nodes by RAW and by Birnbaum importance for the mean
    unavailability (the unreliability in rare mode), each with its interval (at most ``limit`` nodes each). None when
    matplotlib is missing (said on stderr, as for the summary's figure)."""
    from .figures import load_matplotlib

    Figure = load_matplotlib()
    if Figure is None:
        print("matplotlib is not installed: no importance figure written", file=sys.stderr)
        return None
    basis = next(b for b in BASES if b in result.base)
    fig = Figure(figsize=(11, 0.5 + 0.3 * min(limit, max(1, len(result.nodes)))))
    for k, (attr, title) in enumerate((("raw", "RAW"), ("birnbaum", "Birnbaum"))):
        ax = fig.add_subplot(1, 2, k + 1)
        shown = [
            (node.name, getattr(node.measures[basis], attr))
            for node in result.nodes
            if getattr(node.measures[basis], attr) is not None
        ]
        shown = [(n, e) for n, e in shown if math.isfinite(e.value)]
        shown.sort(key=lambda item: item[1].value)
        shown = shown[-limit:]
        y = range(len(shown))
        values = [e.value for _, e in shown]
        low = [e.value - (e.lower if e.lower is not None else e.value) for _, e in shown]
        high = [
            (e.upper if e.upper is not None and math.isfinite(e.upper) else e.value) - e.value
            for _, e in shown
        ]
        ax.barh(list(y), values, xerr=[low, high], color="tab:blue", ecolor="black", capsize=2)
        ax.set_yticks(list(y), [n for n, _ in shown])
        ax.set_title(f"{title} ({basis})", fontsize=10)
        # Log scales: the measures span orders of magnitude (RAW from 1 to hundreds).
        if values and min(values) > 0:
            ax.set_xscale("log")
        if attr == "raw":
            ax.axvline(1.0, color="grey", linewidth=0.8)
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    return buffer.getvalue()
