"""Model files of a chosen size, in the shapes whose loading and checking must stay linear
(used by the tests and by bench/bench_load.py)."""

from __future__ import annotations

COMPONENT = """
[components.{name}]
count = {count}
states = ["up", "down"]
transitions = [
  {{ from = "up", to = "down", distribution = "exponential", mttf = 10000 }},
  {{ from = "down", to = "up", distribution = "exponential", mttf = 24 }},
]
"""


def _trigger(when: str, moved: str) -> str:
    return (
        f'\n[[triggers]]\nwhen = "{when}"\nfails = true\n'
        f'move = [{{ components = ["{moved}"], from = ["up"], to = "down" }}]\n'
    )


def _components(count: int) -> tuple[list[str], str]:
    """``count`` components in groups of at most 50,000 (``c0_1``, ...): their names and
    their tables."""
    names, tables = [], ""
    for k, start in enumerate(range(0, count, 50_000)):
        size = min(50_000, count - start)
        names += [f"c{k}_{i}" for i in range(1, size + 1)]
        tables += COMPONENT.format(name=f"c{k}", count=size)
    return names, tables


def gate_chain(depth: int, kind: str = "or", trigger: bool = False) -> str:
    """A chain of ``depth`` named gates, each an ``or`` (or ``and``) of the one below and a
    component of its own; with ``trigger``, the top gate's failure moves the bottom
    component."""
    names, tables = _components(depth + 1)
    gates = [f'g_1 = "{names[0]} {kind} {names[1]}"']
    gates += [f'g_{i} = "g_{i - 1} {kind} {names[i]}"' for i in range(2, depth + 1)]
    text = f'failed_when = "g_{depth}"\n\n[simulation]\nhorizon = 100\n\n[gates]\n'
    text += "\n".join(gates) + "\n" + tables
    if trigger:
        text += _trigger(f"g_{depth}", names[0])
    return text


def flat_tree(kind: str, width: int) -> str:
    """failed_when over ``width`` components: ``and`` or ``or`` of them all."""
    names, tables = _components(width)
    return f'failed_when = "{f" {kind} ".join(names)}"\n\n[simulation]\nhorizon = 100\n' + tables


def layered_triggers(layers: int, width: int) -> str:
    """``layers`` groups of ``width`` components; the failure of each component of one layer
    moves every component of the next (an acyclic cascade whose chains of triggers are
    ``width ** layers`` many)."""
    text = 'failed_when = "l0_1"\n\n[simulation]\nhorizon = 100\n'
    text += "".join(COMPONENT.format(name=f"l{k}", count=width) for k in range(layers))
    for k in range(layers - 1):
        text += "".join(_trigger(f"l{k}_{i}", f"l{k + 1}") for i in range(1, width + 1))
    return text


def trigger_pairs(depth: int, pairs: int) -> str:
    """A chain of ``depth`` gates (``gate_chain``) whose first ``2 * pairs`` components fail
    each other in pairs: ``pairs`` closed chains of two triggers, which settle."""
    text = gate_chain(depth)
    for k in range(pairs):
        a, b = f"c0_{2 * k + 1}", f"c0_{2 * k + 2}"
        text += _trigger(a, b) + _trigger(b, a)
    return text


def group_trigger(members: int) -> str:
    """A trigger that moves a count group of ``members`` components when another fails."""
    return (
        'failed_when = "power or (m_1 and m_2)"\n\n[simulation]\nhorizon = 100\n'
        + COMPONENT.format(name="power", count=1).replace("count = 1\n", "")
        + COMPONENT.format(name="m", count=members)
        + _trigger("power", "m")
    )


def galileo_fdep_cascade(n: int) -> str:
    """A Galileo tree of ``n`` basic events under an ``or``, and ``n - 1`` fdep gates, the
    failure of each event failing the next."""
    events = " ".join(f'"E{i}"' for i in range(n))
    lines = ['toplevel "Top";', f'"Top" or {events};']
    lines += [f'"F{i}" fdep "E{i}" "E{i + 1}";' for i in range(n - 1)]
    lines += [f'"E{i}" lambda=0.001;' for i in range(n)]
    return "\n".join(lines) + "\n"


def galileo_nested_spares(n: int) -> str:
    """A Galileo tree of ``n + 1`` spare gates, each the spare of the one before it."""
    lines = ['toplevel "G0";']
    lines += [f'"G{i}" wsp "P{i}" "G{i + 1}";' for i in range(n)]
    lines += [f'"G{n}" wsp "P{n}" "S";', '"S" lambda=0.001;']
    lines += [f'"P{i}" lambda=0.001;' for i in range(n + 1)]
    return "\n".join(lines) + "\n"


def galileo_value(text: str) -> str:
    """A Galileo tree of one basic event whose rate is ``text``."""
    return f'toplevel "Top";\n"Top" or "E";\n"E" lambda={text};\n'
