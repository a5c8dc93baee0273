"""The summary of a model's run, labelled from the model: what the command reports, and what a
Python caller gets from ``summarize_model(model, stats)`` without naming anything by hand."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ..model.system import Model
from .counts import BatchStatistics
from .summary import DEFAULT_PERCENTILES, Summary, summarize

__all__ = ["summarize_model"]


def summarize_model(
    model: Model,
    stats: Any,
    *,
    confidence: float = 0.95,
    percentiles: Sequence[float] = DEFAULT_PERCENTILES,
) -> Summary:
    """``summarize`` of ``stats`` (a run of ``model``: a BatchStatistics or the native
    RunStatistics) with everything the model names: its components, gates (the top first),
    cut sets (those of a tree whose gates are its cut sets, or the note saying why there is
    no table), crews, time unit and step, and whether anything is ever repaired. A model
    with planned states gets the planned split, as ``summarize`` gives any batch that
    counted them."""
    if not isinstance(model, Model):
        raise TypeError(f"model must be a tavoq_tools Model, got {type(model).__name__}")
    layout = model.logic_layout
    cutset_names: list[str] = []
    if layout.cutset_gates is not None:
        if not isinstance(stats, BatchStatistics):
            stats = BatchStatistics.from_native(stats)
        stats = stats.with_cutsets_from_gates(g for _, g in layout.cutset_gates)
        cutset_names = [label for label, _ in layout.cutset_gates]
    settings = model.simulation
    return summarize(
        stats,
        component_names=model.component_names,
        cutset_names=cutset_names,
        gates=layout.named_gates,
        top_gate=layout.top_gate,
        cutset_note=layout.cutset_note,
        unit=settings.unit,
        step=settings.step,
        repairable=model.repairable,
        confidence=confidence,
        percentiles=percentiles,
        crew_pools=model.crew_pools,
    )
