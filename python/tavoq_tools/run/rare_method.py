"""Rare-event mode's choice of method, and its one entry: failure biasing
(tavoq_tools.run.rare) or RESTART splitting (tavoq_tools.run.splitting), as the settings
say, "auto" choosing by the model and saying why (docs/rare-events.md)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import replace
from typing import Any

from ..errors import ModelError
from ..model.system import Model, RareSettings
from .rare import RareEstimate, life_chance, rare_lives, rare_unreliability
from .rare_chunks import dask_calls
from .splitting import rare_splitting
from .static_rare import static_tree

__all__ = ["choose_method", "rare_estimate"]


def _not_exponential(model: Model) -> list[str]:
    """The components whose transitions out of their working state are not all exponential:
    failure biasing leaves them as they are."""
    return [
        component.names[0]
        for component in model.components
        if not all(
            t.distribution == "exponential"
            for t in component.transitions
            if t.source == component.states[0]
        )
    ]


def _on_demand(model: Model) -> list[str]:
    """The components that fail on demand at the start of a run."""
    return [
        component.names[0]
        for component in model.components
        if any(t.distribution == "demand" for t in component.transitions)
    ]


def choose_method(model: Model, horizon: int | None = None) -> tuple[str, str]:
    """The method "auto" takes for ``model``, and why: failure biasing where the system
    fails with at most two component failures, each exponential, where some component fails
    on demand (at the start, which splitting cannot reach), where the lives that are not
    exponential are of laws it can force and rarer within the horizon than the chance it
    forces them to (rare_lives, life_chance; with exponential ones beside them, where the
    system fails with at most two failures), or where the logic has non-coherent gates,
    whose distance to failure splitting cannot count; RESTART splitting
    otherwise, and always for a model with interactions, which failure biasing does not
    take. Order gates count as their threshold (a pand as an and) in either method."""
    import tavoq

    matrix, tree, interactions = model.build()
    horizon = model.simulation.horizon if horizon is None else horizon
    try:
        failures = int(
            tavoq.runnerRareSplitting(0, horizon, matrix, tree, 0, interactions=interactions)[
                "levels"
            ][-1]
        )
    except ValueError:
        if model.has_interactions:
            raise ModelError(
                "rare",
                "a model with interactions runs in rare mode by splitting, which takes logic of "
                "or, and, atleast and order gates: with non-coherent gates (not, nand, nor, "
                "xor, iff), the distance to failure does not say how near a failure is",
            ) from None
        return "sampling", (
            "the logic has non-coherent gates, whose nearness to failure splitting cannot "
            "count; failure biasing is unbiased for any logic"
        )
    if static_tree(model) is not None:
        return "sampling", (
            "every component fails on demand at the start (a static tree): runs drawn over "
            "its minimal cut sets each fail, and keep the relative error bounded however rare "
            "the failure"
        )
    if model.has_interactions:
        return "splitting", (
            "the components act on each other (standby groups, crews, triggers, common causes "
            "or planned states), which failure biasing does not follow; splitting runs them "
            "as they are"
        )
    demand = _on_demand(model)
    if demand:
        return "sampling", (
            f"{demand[0]} fails on demand at the start, before splitting could copy any run; "
            "failure biasing draws the failures on demand more often and weighs them back"
        )
    other = _not_exponential(model)
    lives = rare_lives(model, horizon)
    # Each such life must be rarer than the chance it would be forced to: a life that is
    # not is drawn as its law says, and failure biasing would gain nothing on it.
    forced = life_chance(model, matrix, tree, horizon) if lives else 0.0
    if (
        other
        and set(other) <= lives.keys()
        and max(lives[name] for name in other) < forced
        and (len(other) == len(model.components) or failures <= 2)
    ):
        name = other[0]
        return "sampling", (
            f"{name}'s life ends within the horizon with chance {lives[name]:.2g}, by a law "
            "that is not exponential: failure biasing makes such rare lives end within the "
            "run more often and weighs them back, which keeps the relative error bounded "
            "however rare they are, where splitting waits for each"
        )
    if other:
        return "splitting", (
            f"{other[0]} fails by a law that is not exponential, which failure biasing leaves "
            "as it is; splitting keeps every law and still multiplies the runs near a failure"
        )
    if failures <= 2:
        return "sampling", (
            f"the system fails with {failures} component failure"
            f"{'s' if failures != 1 else ''}, all exponential, where failure biasing keeps "
            "its relative error bounded as the rates fall"
        )
    return "splitting", (
        f"the system fails only after {failures} component failures, and on such paths the "
        "weights of failure biasing spread over orders of magnitude; splitting follows them "
        "level by level"
    )


def rare_estimate(
    model: Model,
    settings: RareSettings | None = None,
    runs: int | None = None,
    seed: int | None = None,
    *,
    horizon: int | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
    client: Any = None,
    worker_timeout: float | None = None,
    on_waiting: Callable[[], None] | None = None,
) -> RareEstimate:
    """P(``model``'s system fails within the horizon) by the method of ``settings`` (default:
    the model's [rare] table), "auto" choosing by choose_method. ``target_ci`` and
    ``max_runs`` override the settings'.

    ``client`` (a ``dask.distributed.Client``) runs the chunks of runs or roots as tasks on
    its cluster (tavoq_tools.run.rare_chunks), with the same numbers as here; the pilot of
    splitting and a static tree's runs stay here. While the cluster has no worker, the chunks
    wait for one, ``on_waiting`` called as that begins, and NoWorkersError is raised after
    ``worker_timeout`` seconds without one."""
    settings = settings or model.rare or RareSettings()
    calls = None if client is None else dask_calls(client, model, worker_timeout, on_waiting)
    target_ci = settings.target_ci if target_ci is None else target_ci
    max_runs = settings.max_runs if max_runs is None else max_runs
    method, reason = settings.method, "asked for"
    if method == "auto":
        method, reason = choose_method(model, horizon)
    if method == "splitting":
        result = rare_splitting(
            model,
            runs,
            seed,
            levels=settings.levels,
            splits=settings.splits,
            horizon=horizon,
            target_ci=target_ci,
            max_runs=max_runs,
            calls=calls,
        )
    else:
        result = rare_unreliability(
            model,
            runs,
            seed,
            bias=settings.bias,
            horizon=horizon,
            target_ci=target_ci,
            max_runs=max_runs,
            calls=calls,
        )
    return replace(result, reason=reason if settings.method == "auto" else result.reason)
