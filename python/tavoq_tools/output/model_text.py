"""The text about a model: the paragraph at the head of every report (``describe_model``) and
the listing of ``tavoq check`` (``check_text``). Both name the components by their states,
the interactions and the failure logic in the same words."""

from __future__ import annotations

from typing import Any

from ..model import distributions
from ..model.system import Component, Model

__all__ = ["CHECK_CUTSETS", "DESCRIBED_GATES", "check_text", "describe_model"]

# describe_model spells out the gates of a model that names no more than this many.
DESCRIBED_GATES = 8
# tavoq check lists this many of the smallest minimal cut sets unless told.
CHECK_CUTSETS = 20


def _plural(count: int, word: str) -> str:
    return f"{word}{'' if count == 1 else 's'}"


def _time_unit(model: Model) -> str:
    unit = model.simulation.unit
    return f" {unit}" if unit else " time units"


def describe_model(model: Model) -> str:
    """The model in one paragraph: components and states, failure logic, run settings."""
    sim = model.simulation
    parts = []
    for c in model.components:
        who = c.name if c.count is None else f"{c.names[0]}..{c.names[-1]}"
        parts.append(f"{who} [{' / '.join(c.state_labels)}]")
    logic_text = (
        f"failed when {model.failed_when.strip()}"
        if model.failed_when is not None
        else "failed when any cut set has failed"
    )
    count = model.cutset_count
    plural = "" if count.exact == 1 else "s"
    title = f"{model.name}: " if model.name else ""
    about = f"{model.description.strip()} " if model.description.strip() else ""
    gates = ""
    if model.gates and len(model.gates) <= DESCRIBED_GATES:
        named = "; ".join(f"{g} = {e.strip()}" for g, e in model.gates.items())
        gates = f", with the gates {named}"
    elif model.gates:
        gates = f", with {len(model.gates):,} named gates"
    return (
        f"{title}{about}Components: {'; '.join(parts)}. {_interaction_sentences(model)}"
        f"The system is {logic_text}{gates} "
        f"({count.describe()} minimal cut set{plural}). Horizon {sim.horizon}{_time_unit(model)}, "
        f"{sim.runs} runs, seed {sim.seed}."
    )


def _interaction_sentences(model: Model) -> str:
    """A sentence per kind of interaction the model has ("" for none)."""
    said = []
    if model.standby:
        said.append(
            "Standby groups: "
            + "; ".join(f"{g.name} = {', '.join(g.units)}" for g in model.standby)
            + "."
        )
    if model.common_causes:
        said.append(
            "Common causes: "
            + "; ".join(
                f"{c.name} ({'beta ' + format(c.beta, 'g') if c.beta is not None else c.distribution}"
                f" on {', '.join(c.members)})"
                for c in model.common_causes
            )
            + "."
        )
    if model.crews:
        said.append(
            "Repair crews: " + ", ".join(f"{p.name} ({p.count})" for p in model.crews) + "."
        )
    if model.triggers:
        said.append(f"Triggers: {len(model.triggers)}.")
    return "".join(f"{s} " for s in said)


def check_text(model: Model, file: str, cutsets: int = CHECK_CUTSETS) -> str:
    """What ``tavoq check`` prints for a valid model, listing up to ``cutsets`` of the
    smallest minimal cut sets."""
    sim = model.simulation
    threads = "all cores" if sim.threads is None else f"{sim.threads} threads"
    title = f' "{model.name}"' if model.name else ""
    lines = [
        f"{file}: valid model{title}",
        f"Simulation: horizon {sim.horizon}{_time_unit(model)}, "
        f"{sim.runs} runs, seed {sim.seed}, {threads}",
        f"Components ({len(model.component_names)}; the first state of each is its working "
        "state):",
    ]
    # The lines of the transitions, made once per tuple of them: a fault tree's events
    # share a few.
    described: dict[Any, list[str]] = {}
    for c in model.components:
        lines.extend(_component_lines(c, sim.unit, described))
    lines.extend(_interaction_lines(model))
    if model.gates:
        lines.append(f"Gates ({len(model.gates)}):")
        lines.extend(f"  {g} = {' '.join(e.split())}" for g, e in model.gates.items())
    if model.failed_when is not None:
        lines.append(f"Failed when: {' '.join(model.failed_when.split())}")
    graph = model.logic_graph
    lines.append(
        f"Logic: {graph.n_gates} {_plural(graph.n_gates, 'gate')} in all, depth {graph.depth}"
    )
    lines.extend(_cutset_lines(model, cutsets))
    return "\n".join(lines)


def _component_lines(c: Component, unit: str, described: dict[Any, list[str]]) -> list[str]:
    """The lines of ``c``; ``described`` keeps the lines of each tuple of transitions (by
    its id: the components hold them while the text is made) and the labels of each tuple
    of states with its kinds."""
    names = c.name if c.count is None else f"{', '.join(c.names)} (count = {c.count})"
    shape = (id(c.states), tuple(c.kinds.items()))
    labels = described.get(shape)
    if labels is None:
        labels = described[shape] = [", ".join(c.state_labels)]
    lines = [f"  {names}: states {labels[0]}"]
    if c.standby_pairs:
        pairs = ", ".join(f"{run} / {wait}" for run, wait in c.standby_pairs.items())
        lines.append(f"    in a standby group, also runs / waits as {pairs}")
    if not c.transitions:
        lines.append("    no transitions: never changes state")
    found = described.get(id(c.transitions))
    if found is None:
        found = [f"    {t.source} -> {t.target}: {t.describe(unit)}" for t in c.transitions]
        described[id(c.transitions)] = found
    lines += found
    return lines


def _cutset_lines(model: Model, cutsets: int) -> list[str]:
    count = model.cutset_count
    listed, complete = model.smallest_cutsets(cutsets) if cutsets else ([], True)
    if count.none_because:
        return [f"Minimal cut sets: none, since {count.none_because}."]
    shown = count.describe()
    if count.exact is None:
        shown += (
            f" (those of up to {count.order} components; counting the rest would take too long)"
            if count.order
            else " (too many to count within the work budget)"
        )
    if listed and count.exact != len(listed):
        shown += f"; the {len(listed)} smallest" + ("" if complete else " found")
    lines = [f"Minimal cut sets ({shown}):"]
    width = len(str(len(listed)))
    lines.extend(f"  {i:>{width}}. {' & '.join(c)}" for i, c in enumerate(listed, start=1))
    return lines


def _interaction_lines(model: Model) -> list[str]:
    """The crews, standby groups, common causes and triggers, a line each."""
    lines = []
    if model.crews:
        lines.append(f"Repair crews ({len(model.crews)}):")
        lines.extend(f"  {p.name}: {p.count} {_plural(p.count, 'crew')}" for p in model.crews)
    if model.standby:
        lines.append(f"Standby groups ({len(model.standby)}):")
        for g in model.standby:
            switch = (
                f", switch-over fails with p = {g.switch_failure:g} (to {g.switch_failed})"
                if g.switch_failure
                else ""
            )
            lines.append(
                f"  {g.name}: {', '.join(g.units)} (in this order); active {g.active}, "
                f"standby {g.standby}{switch}; {'reverts' if g.revert else 'does not revert'}"
                " to a preferred unit"
            )
        layout = model.interaction_layout
        names, n = model.logic_names, len(model.component_names)
        for name, (_, parts, _, _, inner) in zip(layout.module_names, layout.modules, strict=True):
            held = [names[c] for c in parts] + [f"group {names[n + g]}" for g in inner]
            lines.append(f"  spare module {name}: {', '.join(held)}")
    if model.common_causes:
        lines.append(f"Common causes ({len(model.common_causes)}):")
        for c in model.common_causes:
            if c.beta is not None:
                how = f"beta {c.beta:g} of the members' failure rate"
            else:
                how = distributions.describe(c.distribution or "", c.params, model.simulation.unit)
            lines.append(f"  {c.name}: {', '.join(c.members)} -> {c.target}; {how}")
    if model.triggers:
        lines.append(f"Triggers ({len(model.triggers)}, in the order they fire):")
        for t in model.triggers:
            lines.append(f"  when {t.when} {'fails' if t.on_failure else 'is restored'}:")
            lines.extend(
                f"    move {', '.join(m.components)} from {', '.join(m.source)} to {m.target}"
                for m in t.moves
            )
    return lines
