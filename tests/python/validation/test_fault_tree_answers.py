"""Galileo and Open-PSA trees of the corpus in tests/python/validation/trees, simulated and held
against exact answers: closed forms written here, a small Markov chain solved with numpy, and,
where stormpy is installed, Storm's exact analysis of the Galileo files (a test-only
dependency: those tests skip without it). Each estimate must lie within 4 standard errors
of the exact value, at a step small enough that the truncation of delays is negligible."""

import itertools
import math
import re
import tomllib
from pathlib import Path

import numpy as np
import pytest

import tavoq_tools as tt
from tavoq_tools import cli
from tavoq_tools.formats.file import load_model, model_from_dict

from .test_exact_answers import expm

TREES = Path(__file__).parent / "trees"
RUNS = 40_000


def at_least(k, probabilities):
    """P(at least k of independent events of these probabilities), by enumeration."""
    n = len(probabilities)
    total = 0.0
    for mask in range(2**n):
        if bin(mask).count("1") >= k:
            p = 1.0
            for i, pi in enumerate(probabilities):
                p *= pi if mask >> i & 1 else 1 - pi
            total += p
    return total


def q(rate, t):
    """The chance that an exponential lifetime of ``rate`` ends before t (t may be an array)."""
    return -np.expm1(-rate * np.asarray(t, dtype=float))


def static_answer(t):
    return 1 - (1 - q(0.2, t)) * (1 - q(0.5, t) * q(0.4, t))


def voting_answer(t):
    sensors = at_least(2, [q(0.3, t), q(0.3, t), q(0.6, t)])
    logic = q(0.1, t) * (1 - (1 - q(0.05, t)) ** 2)
    return 1 - (1 - sensors) * (1 - logic)


def cold_spare_answer(t, rate=0.5):
    # Primary and cold spare of one rate: the pair lasts an Erlang time of 2 phases.
    return 1 - math.exp(-rate * t) * (1 + rate * t)


def fdep_answer(t):
    # The pumps fail on their own or all at once with the power.
    return 1 - (1 - q(0.1, t)) * (1 - q(0.5, t) ** 2)


def phases_answer(t):
    seal = 1 - math.exp(-t) * (1 + t)  # Erlang, 2 phases of rate 1
    return 1 - (1 - seal) * (1 - q(0.2, t))


def demand_answer(t):
    return 1 - (1 - 0.125) * (1 - 0.25 * q(1.0, t))


def repair_answer(t, failure=1.0, repair=10.0):
    """First time both of two repairable units are down: a chain of 0, 1 and 2 units down
    (2 absorbing), solved through the eigenvalues of its generator."""
    generator = np.array(
        [
            [-2 * failure, 2 * failure, 0.0],
            [repair, -(repair + failure), failure],
            [0.0, 0.0, 0.0],
        ]
    )
    values, vectors = np.linalg.eig(generator)
    transition = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    return transition[0, 2]


def simulate(path, *, step, mission_time=None, runs=RUNS, seed=11):
    model = load_model(path, step=step, mission_time=mission_time)
    model = _with_runs(model, runs, seed)
    stats = tt.simulate(model)
    return model, tt.summarize(
        stats,
        component_names=model.component_names,
        step=model.simulation.step,
        repairable=model.repairable,
    )


def _with_runs(model, runs, seed):
    import dataclasses

    return dataclasses.replace(
        model, simulation=dataclasses.replace(model.simulation, runs=runs, seed=seed)
    )


def assert_within_4_se(estimate, exact, runs=RUNS):
    se = math.sqrt(max(exact * (1 - exact), 1e-12) / runs)
    assert abs(estimate - exact) < 4 * se, (estimate, exact, se)


def pand_answer(t, first=1.0, second=0.5):
    """P(the first input fails, then the second, both by t)."""
    both = first + second
    return first / both * -math.expm1(-both * t) - math.exp(-second * t) * -math.expm1(-first * t)


def por_answer(t, first=0.8, others=0.3 + 0.5):
    """P(the first input fails by t, before every other)."""
    return first / (first + others) * -math.expm1(-(first + others) * t)


def pand_repair_answer(t, a=(1.0, 2.0), b=(1.5, 3.0)):
    """pand(A, B) of repairable inputs ((failure, repair) rates), the first time it fails: a
    chain over (A down, B down, in order). A repair forgets that input's failure, so both
    down out of order goes back to one down, from which the other may fail again in order."""
    (la, ma), (lb, mb) = a, b
    # States: none down, A down, B down, both (B first), both in order (absorbing).
    generator = np.array(
        [
            [-(la + lb), la, lb, 0.0, 0.0],
            [ma, -(ma + lb), 0.0, 0.0, lb],
            [mb, 0.0, -(mb + la), la, 0.0],
            [0.0, mb, ma, -(ma + mb), 0.0],
            [0.0, 0.0, 0.0, 0.0, 0.0],
        ]
    )
    values, vectors = np.linalg.eig(generator)
    transition = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    return float(transition[0, 4])


def pand_memory_answer(t, a=(1.0, 2.0), b=(1.5, 3.0)):
    """pand_memory(A, B) of repairable inputs: B failing first makes the gate fail-safe
    until both are working again, even if B is repaired and fails again after A."""
    (la, ma), (lb, mb) = a, b
    # States: none down; A down, A first; B down, B first; both, B first; A down, B first
    # (B repaired); both in order (absorbing).
    generator = np.array(
        [
            [-(la + lb), la, lb, 0.0, 0.0, 0.0],
            [ma, -(ma + lb), 0.0, 0.0, 0.0, lb],
            [mb, 0.0, -(mb + la), la, 0.0, 0.0],
            [0.0, 0.0, ma, -(ma + mb), mb, 0.0],
            [ma, 0.0, 0.0, lb, -(ma + lb), 0.0],
            [0.0, 0.0, 0.0, 0.0, 0.0, 0.0],
        ]
    )
    values, vectors = np.linalg.eig(generator)
    transition = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    return float(transition[0, 5])


def test_a_memory_pand_with_repair_agrees_with_its_chain_and_differs_from_pand():
    # The same two inputs as pand_repair.dft, one time unit a step of 0.001.
    def model(kind):
        text = (
            f'failed_when = "{kind}(a, b)"\n[simulation]\nhorizon = 1000\n'
            f"runs = {RUNS}\nseed = 5\nstep = 0.001\n"
        )
        for name, (fail, repair) in (("a", (1.0, 2.0)), ("b", (1.5, 3.0))):
            text += (
                f'[components.{name}]\nstates = ["up", "down"]\ntransitions = [\n'
                f'  {{ from = "up", to = "down", distribution = "exponential", '
                f"rate = {fail * 0.001} }},\n"
                f'  {{ from = "down", to = "up", distribution = "exponential", '
                f"rate = {repair * 0.001} }},\n]\n"
            )
        stats = tt.simulate(model_from_dict(tomllib.loads(text)))
        return float(np.count_nonzero(np.asarray(stats.first_failure_times) < 1000)) / RUNS

    memory, plain = model("pand_memory"), model("pand")
    assert_within_4_se(memory, pand_memory_answer(1.0))
    assert_within_4_se(plain, pand_repair_answer(1.0))
    assert pand_repair_answer(1.0) - pand_memory_answer(1.0) > 0.01  # the chains differ


def seq_answer(t, first=1.0, second=2.0):
    """P(a first lifetime, then a second one started at its end, are both over by t)."""
    return 1 - (second * math.exp(-first * t) - first * math.exp(-second * t)) / (second - first)


def seq_repair_answer(t, a=(1.0, 2.0), b=(2.0, 1.0)):
    """and(A, B) under seq(A, B) with repair ((failure, repair) rates), the first time both
    are down: B waits until A's first failure, then runs and is repaired on its own."""
    (la, ma), (lb, mb) = a, b
    # States: B waiting; A down, B up; A up, B up; A up, B down; both down (absorbing).
    generator = np.array(
        [
            [-la, la, 0.0, 0.0, 0.0],
            [0.0, -(ma + lb), ma, 0.0, lb],
            [0.0, la, -(la + lb), lb, 0.0],
            [0.0, 0.0, mb, -(mb + la), la],
            [0.0, 0.0, 0.0, 0.0, 0.0],
        ]
    )
    values, vectors = np.linalg.eig(generator)
    transition = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    return float(transition[0, 4])


def mutex_answer(t, open_=1.0, closed=2.0, alarm=1.0):
    """P(the valve fails open (before it can fail closed) and the alarm fails, by t)."""
    return open_ / (open_ + closed) * -math.expm1(-(open_ + closed) * t) * q(alarm, t)


def pdep_answer(t, surge=1.0, own=0.5, chance=0.3):
    """P(the controller fails on its own, or with the surge at chance, by t)."""
    return 1 - math.exp(-own * t) * (1 - chance * q(surge, t))


def common_cause_answer(events, top):
    """P(top) over independent events, each (members failed by it, its probability)."""
    total = 0.0
    for fired in itertools.product((False, True), repeat=len(events)):
        weight = math.prod(p if f else 1 - p for (_, p), f in zip(events, fired, strict=True))
        failed = set().union(*(m for (m, _), f in zip(events, fired, strict=True) if f))
        total += weight * top(failed)
    return total


def ccf_three_pumps(t, own, pair, triple):
    """Two of three pumps failed by t: each pump on its own, each pair and the three
    together failing at the given rates."""
    pumps = ("A", "B", "C")
    events = [({p}, q(own, t)) for p in pumps]
    events += [(set(x), q(pair, t)) for x in itertools.combinations(pumps, 2)]
    events.append((set(pumps), q(triple, t)))
    return common_cause_answer(events, lambda failed: len(failed) >= 2)


# MGL of three (β 0.1, γ 0.3): Q1 = 0.9 Q, Q2 = β (1 - γ) / 2 Q, Q3 = β γ Q; alpha-factor
# (0.9, 0.06, 0.04), αt = 1.14: Qk = k αk / (C(2, k - 1) αt) Q.
MGL_ANSWER = ccf_three_pumps(1.0, 0.9, 0.1 * 0.7 / 2, 0.1 * 0.3)
ALPHA_ANSWER = ccf_three_pumps(1.0, 0.9 / 1.14, 2 * 0.06 / (2 * 1.14), 3 * 0.04 / 1.14)
# Beta-factor of two valves on demand: each alone with 0.8 * 0.1, both with 0.2 * 0.1.
BETA_ANSWER = common_cause_answer(
    [({"V1"}, 0.08), ({"V2"}, 0.08), ({"V1", "V2"}, 0.02)], lambda failed: len(failed) == 2
)


def non_coherent_answer():
    """The top of non_coherent.xml over every state of its five on-demand events."""
    chance = {"A": 0.3, "B": 0.6, "C": 0.2, "D": 0.5, "E": 0.7}
    total = 0.0
    for bits in itertools.product((False, True), repeat=5):
        a, b, c, d, e = bits
        weight = math.prod(p if x else 1 - p for p, x in zip(chance.values(), bits, strict=True))
        top = (
            (a and not b)
            or (c != d)
            or (not (a or c) and e)
            or (not (b and d) and e and a == d)
            or (not e or b)
        )
        total += weight * top
    return total


def cardinality_answer():
    """The top of cardinality.xml over every state of its five on-demand events: 0.5578,
    where a max read as no bound gives 0.854 and one read one too low 0.101."""
    chance = {"A": 0.3, "B": 0.6, "C": 0.2, "D": 0.5, "E": 0.7}
    total = 0.0
    for bits in itertools.product((False, True), repeat=5):
        a, b, c, d, e = bits
        weight = math.prod(p if x else 1 - p for p, x in zip(chance.values(), bits, strict=True))
        top = 1 <= a + b + c + (d and e) <= 2 and (a + c + e <= 1 or b + c + e == 3)
        total += weight * top
    return total


def module_repair_answer(t, a=(1.0, 2.0), b=(0.8, 3.0), c=(0.5, 1.0)):
    """csp(A, M), M = or(B, C), cold and repairable ((failure, repair) rates): the first
    time no unit can serve. A chain over (unit in service, A up, B up, C up): only the unit
    in service ages; a repaired unit waits (no switching back); M's parts wait while M does,
    including the one still working when M fails."""
    states = [(s, *up) for s in "AM" for up in itertools.product((1, 0), repeat=3)]
    states = [x for x in states if (x[0] == "A" and x[1]) or (x[0] == "M" and x[2] and x[3])]
    index = {x: i for i, x in enumerate(states)}
    failed = len(states)
    generator = np.zeros((failed + 1, failed + 1))
    rates = (a, b, c)
    for x in states:
        unit, *up = x
        for part, ((fail, repair), working) in enumerate(zip(rates, up, strict=True)):
            serving = (part == 0) == (unit == "A")
            new = list(up)
            if working and serving:
                new[part] = 0
                if unit == "A":
                    target = ("M", *new) if new[1] and new[2] else None
                else:
                    target = ("A", *new) if new[0] else None
                j = failed if target is None else index[target]
                generator[index[x], j] += fail
            elif not working:
                new[part] = 1
                generator[index[x], index[(unit, *new)]] += repair
    np.fill_diagonal(generator, -generator.sum(axis=1))
    values, vectors = np.linalg.eig(generator)
    transition = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    return float(transition[index[("A", 1, 1, 1)], failed])


def warm_phases_answer(t, primary=1.0, rate=1.5, phases=3, dormancy=0.4):
    """spare_phases_warm.dft: a chain over (P up, phases S has completed); S's phases run at
    dormancy x rate while P serves, at rate after; the system fails when P is down and S
    has completed every phase."""
    index = {(up, i): n for n, (up, i) in enumerate(itertools.product((1, 0), range(phases + 1)))}
    generator = np.zeros((len(index), len(index)))
    for (up, i), n in index.items():
        if up:
            generator[n, index[(0, i)]] += primary
        if i < phases:
            generator[n, index[(up, i + 1)]] += rate * (dormancy if up else 1.0)
    np.fill_diagonal(generator, -generator.sum(axis=1))
    return float(expm(generator * t)[index[(1, 0)], index[(0, phases)]])


def spare_demand_answer(t):
    """spare_prob.dft: S is lost on demand (0.3), else it serves for ever; then T, aging at
    0.28 until P fails and at 0.7 after, must fail too."""
    rest = 0.28 - 0.7 + 1.0
    return 0.3 * (-math.expm1(-t) - math.exp(-0.7 * t) * -math.expm1(-rest * t) / rest)


CASES = [
    # file, mission time (None: the file's own), step, exact unreliability
    ("static.dft", 1.0, 0.01, static_answer(1.0)),
    ("static.xml", 1.0, 0.01, static_answer(1.0)),
    ("static.dft", 3.0, 0.5, static_answer(3.0)),  # no delay starts late: any step is exact
    ("voting.dft", 2.0, 0.01, voting_answer(2.0)),
    ("voting.xml", 2.0, 0.001, voting_answer(2.0)),
    ("demand.dft", 2.0, 0.01, demand_answer(2.0)),
    ("demand.xml", None, 0.01, demand_answer(2.0)),  # the file gives mission time 2
    ("repair.dft", 1.0, 0.001, repair_answer(1.0)),
    ("spare.dft", 1.0, 0.001, cold_spare_answer(1.0)),
    ("spare.dft", 2.0, 0.001, cold_spare_answer(2.0)),
    ("spare_phases.dft", 2.0, 0.001, 1 - math.exp(-2.0) * (1 + 2.0 + 2.0**2 / 2)),
    ("spare_module.dft", 1.0, 0.001, cold_spare_answer(1.0, rate=1.0)),  # trains of rate 1
    ("spare_prob.dft", 1.0, 0.001, spare_demand_answer(1.0)),
    ("spare_phases_warm.dft", 2.0, 0.001, warm_phases_answer(2.0)),
    ("module_repair.dft", 1.0, 0.001, module_repair_answer(1.0)),
    ("module_repair.dft", 3.0, 0.001, module_repair_answer(3.0)),
    ("fdep.dft", 1.0, 0.01, fdep_answer(1.0)),
    ("phases.dft", 1.5, 0.5, phases_answer(1.5)),  # one delay from time 0: any step is exact
    ("pand.dft", 1.0, 0.001, pand_answer(1.0)),
    ("por.dft", 1.0, 0.001, por_answer(1.0)),
    ("pand_shared.dft", 1.0, 0.001, por_answer(1.0, 1.0, 1.0)),  # A before B
    ("pand_repair.dft", 1.0, 0.001, pand_repair_answer(1.0)),
    ("non_coherent.xml", 10.0, 1.0, non_coherent_answer()),  # fixed at time 0: any step
    ("cardinality.xml", 10.0, 1.0, cardinality_answer()),
    ("constants.xml", 10.0, 1.0, 1 - (1 - 0.1) * (1 - 0.5 * 0.4)),
    ("seq.dft", 1.0, 0.001, seq_answer(1.0)),
    ("seq_repair.dft", 1.0, 0.001, seq_repair_answer(1.0)),
    ("mutex.dft", 1.0, 0.001, mutex_answer(1.0)),
    ("pdep.dft", 1.0, 0.001, pdep_answer(1.0)),
    ("ccf_mgl.xml", 1.0, 0.001, MGL_ANSWER),
    ("ccf_alpha.xml", 1.0, 0.001, ALPHA_ANSWER),
    ("ccf_beta.xml", 1.0, 1.0, BETA_ANSWER),
]


@pytest.mark.parametrize(("name", "mission_time", "step", "exact"), CASES)
def test_unreliability_agrees_with_the_exact_answer(name, mission_time, step, exact):
    _, summary = simulate(TREES / name, step=step, mission_time=mission_time)
    assert_within_4_se(summary.failure_probability.value, exact)


def test_an_exclusive_priority_gate_refuses_the_simultaneous_failures_the_inclusive_takes():
    # In pand_shared, A's failure fails both inputs at once: the inclusive gate fails then
    # (whenever A fails before B), the exclusive one never can.
    _, inclusive = simulate(TREES / "pand_shared.dft", step=0.001, mission_time=1.0)
    _, exclusive = simulate(TREES / "pand_shared_exclusive.dft", step=0.001, mission_time=1.0)
    assert inclusive.runs_failed > RUNS // 3
    assert exclusive.runs_failed == 0


def test_the_step_biases_repairs_as_the_docs_say():
    # Truncated repairs are shorter by up to a step, so the pair is down together less and
    # fails later: with a step of a tenth of the mean repair time the bias is far outside
    # the interval, at a hundredth of it well inside.
    exact = repair_answer(1.0)
    _, coarse = simulate(TREES / "repair.dft", step=0.01, mission_time=1.0)
    _, fine = simulate(TREES / "repair.dft", step=0.0005, mission_time=1.0)
    se = math.sqrt(exact * (1 - exact) / RUNS)
    assert exact - coarse.failure_probability.value > 4 * se
    assert abs(fine.failure_probability.value - exact) < 4 * se


def test_mean_time_to_failure_when_every_run_fails():
    # static.dft fails by t = 60 in every run (the chance of a run that does not is below
    # 1e-5), so the report gives its mean time to failure, and leads with it.
    _, summary = simulate(TREES / "static.dft", step=0.001, mission_time=60.0, runs=4000)
    assert summary.runs_failed == 4000
    estimate = summary.mean_time_to_failure
    # min(valve, max(pump A, pump B)) of rates 0.2, 0.5 and 0.4: the mean of the minimum of
    # the valve and the pair, from the survival 1 - F(t) integrated.
    t = np.linspace(0.0, 60.0, 600_001)
    mttf = np.trapezoid(1 - static_answer(t), t)
    assert abs(estimate.value * 0.001 - mttf) < (estimate.upper - estimate.lower) * 0.001 * 1.05
    text = tt.format_report(summary)
    lines = text.splitlines()
    first = lines.index("System") + 2
    assert lines[first].startswith("  unreliability at mission time H")
    assert lines[first + 1].startswith("  mean time to failure ")
    assert "n/a" not in lines[first + 1]


@pytest.mark.parametrize(
    "name",
    [
        "static.dft",
        "voting.xml",
        "demand.dft",
        "repair.dft",
        "shared_spares.dft",
        "module_with_spare.dft",
        "spare_prob.dft",
        "spare_phases_warm.dft",
        "module_repair.dft",
        "fdep.dft",
        "phases.dft",
        "pand_fdep.dft",
        "seq_repair.dft",
        "mutex.dft",
        "pdep_pumps.dft",
        "non_coherent.xml",
        "ccf_mgl.xml",
        "ccf_beta.xml",
    ],
)
def test_a_converted_file_runs_bit_for_bit_as_the_original(tmp_path, name):
    out = tmp_path / "tree.toml"
    assert (
        cli.main(
            ["convert", str(TREES / name), "-o", str(out), "--mission-time", "2", "--step", "0.01"]
        )
        == 0
    )
    original = load_model(TREES / name, step=0.01, mission_time=2.0)
    converted = load_model(out)
    assert converted == original
    a = tt.simulate(_with_runs(original, 3000, 5))
    b = tt.simulate(_with_runs(converted, 3000, 5))
    for field in (
        "failed_runs",
        "first_failures",
        "system_failures",
        "downtime",
        "component_failures",
        "gate_downtime",
        "negative_delays",
    ):
        if hasattr(a, field):
            np.testing.assert_array_equal(getattr(a, field), getattr(b, field))


# -- Storm's exact analysis of the Galileo files -------------------------------------------------


def storm_answers(path, mission_time, folder):
    stormpy = pytest.importorskip("stormpy")
    dft_module = pytest.importorskip("stormpy.dft")
    # Storm wants names without white space, and no comments: the same tree so.
    text = re.sub(r"/\*.*?\*/|//[^\n]*", "", path.read_text(), flags=re.S)
    text = re.sub(r'"([^"]*)"', lambda m: '"' + m.group(1).replace(" ", "_") + '"', text)
    text = re.sub(r";\s*", ";\n", text)  # and one statement a line
    # and an fdep (or pdep) of one dependent each, which is the same dependency.
    text = re.sub(
        r'^("[^"]*") (fdep|pdep=[^ ]*) ("[^"]*") (.*);$',
        lambda m: "\n".join(
            f'"{m.group(1)[1:-1]}_{i}" {m.group(2)} {m.group(3)} {d};'
            for i, d in enumerate(m.group(4).split())
        ),
        text,
        flags=re.M,
    )
    plain = folder / path.name
    plain.write_text(text)
    dft = dft_module.load_dft_galileo_file(str(plain))
    # Shared spares make Storm's model nondeterministic (who takes the spare when two claim
    # it at once, which has probability 0 in continuous time): min and max agree then.
    properties = stormpy.parse_properties(
        f'Pmin=? [F<={mission_time} "failed"]; Tmin=? [F "failed"]; '
        f'Pmax=? [F<={mission_time} "failed"]'
    )
    return dft_module.analyze_dft(dft, [p.get_raw_formula() for p in properties])


CLOSED_FORMS = {
    "static.dft": static_answer,
    "voting.dft": voting_answer,
    "spare.dft": cold_spare_answer,
    "fdep.dft": fdep_answer,
}


@pytest.mark.parametrize(
    ("name", "mission_time"),
    [
        ("static.dft", 1.0),
        ("voting.dft", 2.0),
        ("spare.dft", 2.0),
        ("shared_spares.dft", 1.0),
        ("spare_module.dft", 1.0),
        ("nested_spares.dft", 1.0),
        ("module_with_spare.dft", 1.0),
        ("shared_module.dft", 1.0),
        ("fdep.dft", 1.0),
    ],
)
def test_storm_and_the_simulation_agree(tmp_path, name, mission_time):
    unreliability, mttf, _ = storm_answers(TREES / name, mission_time, tmp_path)
    _, summary = simulate(TREES / name, step=0.001, mission_time=mission_time)
    assert_within_4_se(summary.failure_probability.value, unreliability)
    # The closed forms above agree with Storm too, so both are what they claim.
    if name in CLOSED_FORMS:
        assert unreliability == pytest.approx(CLOSED_FORMS[name](mission_time), rel=1e-9)
    # Every run fails within a long mission: the mean time to failure, against Storm's.
    long_mission = 200.0
    _, every = simulate(TREES / name, step=0.001, mission_time=long_mission, runs=4000)
    assert every.runs_failed == 4000
    estimate = every.mean_time_to_failure
    assert estimate is not None
    # The summary counts time units of 0.001; 4 standard errors are about twice the 95%
    # half-width, and the truncation takes half a step off on average.
    value, half_width = estimate.value * 0.001, (estimate.upper - estimate.lower) / 2 * 0.001
    assert abs(value - mttf) < 2.05 * half_width + 0.0005, (value, mttf)


@pytest.mark.parametrize(
    ("name", "closed_form"),
    [
        ("pand.dft", pand_answer(1.0)),
        ("por.dft", por_answer(1.0)),
        ("pand_shared.dft", por_answer(1.0, 1.0, 1.0)),
        ("pand_fdep.dft", None),
        ("seq.dft", seq_answer(1.0)),
        ("mutex.dft", mutex_answer(1.0)),
        ("pdep.dft", pdep_answer(1.0)),
        ("pdep_pumps.dft", None),
    ],
)
def test_storm_and_the_simulation_agree_on_order_dependent_gates(tmp_path, name, closed_form):
    low, _, high = storm_answers(TREES / name, 1.0, tmp_path)
    _, summary = simulate(TREES / name, step=0.001, mission_time=1.0)
    if closed_form is not None:
        assert low == pytest.approx(closed_form, rel=1e-9) and high == pytest.approx(low)
    elif name == "pand_fdep.dft":
        # Storm orders the pumps' simultaneous failures of pand_fdep either way (the
        # bounds); the inclusive pand takes them as in order, so it meets the upper bound.
        assert high > low + 0.05
    assert_within_4_se(summary.failure_probability.value, high)


def test_a_galileo_tree_in_rare_mode_meets_its_exact_unreliability(tmp_path):
    # Two trains, each a pump or a valve, both down at once: about 2e-7 over the mission,
    # which crude runs would see a few times in ten million.
    from tavoq_tools.run.rare import rare_unreliability

    from .test_exact_answers import units_chain

    path = tmp_path / "trains.dft"
    path.write_text(
        'toplevel "Sys";\n"Sys" and "TrainA" "TrainB";\n"TrainA" or "P1" "V1";\n'
        '"TrainB" or "P2" "V2";\n"P1" lambda=1e-6 repair=0.05;\n"P2" lambda=1e-6 repair=0.05;\n'
        '"V1" lambda=2e-6 repair=0.1;\n"V2" lambda=2e-6 repair=0.1;\n'
    )
    result = rare_unreliability(load_model(path, mission_time=1000), runs=100_000, seed=4)
    rates = [(1e-6, 0.05), (2e-6, 0.1), (1e-6, 0.05), (2e-6, 0.1)]  # P1, V1, P2, V2

    def down(s):
        return "down" in s[:2] and "down" in s[2:]

    exact = units_chain(rates).unreliability(down, 1000)[-1]
    e = result.unreliability
    assert e.lower <= exact <= e.upper and result.relative_half_width < 0.15, (exact, result)


@pytest.mark.parametrize(("method", "runs"), [("splitting", 20_000), ("sampling", 100_000)])
def test_a_pand_in_rare_mode_meets_its_exact_unreliability(tmp_path, method, runs):
    # Three units that never come back must fail in their listed order, ties within a unit
    # counting as in order: P(d_A <= d_B <= d_C < T) for geometric whole-unit delays, about
    # 1.3e-6. A split copy keeps the order its parent saw; failure biasing weighs each draw.
    from tavoq_tools.model.system import RareSettings
    from tavoq_tools.run.rare_method import rare_estimate

    lam, horizon = 2e-5, 1000
    path = tmp_path / "pand3.dft"
    path.write_text(
        'toplevel "Sys";\n"Sys" pand "A" "B" "C";\n'
        + "".join(f'"{n}" lambda={lam};\n' for n in "ABC")
    )
    q = math.exp(-lam)
    unit = q ** np.arange(horizon) * (1 - q)
    exact = float(np.sum(unit * np.cumsum(unit * np.cumsum(unit))))
    model = load_model(path, mission_time=horizon)
    result = rare_estimate(model, RareSettings(method=method), runs=runs, seed=7)
    e = result.unreliability
    assert result.method.lower().startswith("restart" if method == "splitting" else "failure")
    se = (e.upper - e.lower) / 3.92
    assert abs(e.value - exact) <= 4 * se and result.relative_half_width < 0.3, (exact, e)


DEMAND_TREE = """
failed_when = "valve or (pump_a and pump_b)"
[simulation]
horizon = 1
runs = 40000
seed = 3
[components.valve]
transitions = [{ from = "working", to = "failed", distribution = "demand", probability = 0.1 }]
[components.pump_a]
transitions = [{ from = "working", to = "failed", distribution = "demand", probability = 0.3 }]
[components.pump_b]
transitions = [{ from = "working", to = "failed", distribution = "demand", probability = 0.4 }]
"""


def valve_and_pumps(v, a, b):
    """The unreliability of "valve or (pump_a and pump_b)", and per node the unreliability
    with it held failed and held working."""
    held = {
        "valve": (1.0, a * b),
        "pump_a": (1 - (1 - v) * (1 - b), v),
        "pump_b": (1 - (1 - v) * (1 - a), v),
        "both_pumps": (1.0, v),
        "no_flow": (1.0, 0.0),  # the top: held working, the system never fails
    }
    return 1 - (1 - v) * (1 - a * b), held


@pytest.mark.parametrize(
    "name", ["static.dft", "static.xml", "demand on a static tree", "rare demands"]
)
def test_importance_of_a_static_tree_meets_the_exact_answer(name):
    if name == "rare demands":  # about 2e-9: rare mode, over the held logic's cut sets
        from tavoq_tools.run.rare import rare_importance

        chances = (1e-9, 3e-5, 4e-5)
        text = DEMAND_TREE
        for old, new in zip(("0.1 }", "0.3 }", "0.4 }"), chances, strict=True):
            text = text.replace(old, f"{new!r} }}")
        model = model_from_dict(tomllib.loads(text))
        base, held = valve_and_pumps(*chances)
        del held["both_pumps"], held["no_flow"]
        estimate, result = rare_importance(model, runs=20_000, seed=5)
        assert estimate.cut_set_sum is not None
        e = estimate.unreliability
        assert abs(e.value - base) <= 4 * (e.upper - e.lower) / 3.92
    elif name.startswith("demand"):
        model = model_from_dict(tomllib.loads(DEMAND_TREE))
        base, held = valve_and_pumps(0.1, 0.3, 0.4)
        del held["both_pumps"], held["no_flow"]  # no named gate in this file
    else:
        model = _with_runs(load_model(TREES / name, step=0.01, mission_time=1.0), RUNS, 3)
        base, held = valve_and_pumps(q(0.2, 1.0), q(0.5, 1.0), q(0.4, 1.0))
    if name != "rare demands":
        result = tt.importance(model, threads=2)
    assert {node.name.lower() for node in result.nodes} == set(held)
    for node in result.nodes:
        down, up = held[node.name.lower()]
        m = node.measures["unreliability at the horizon"]
        for measure, exact in (
            ("birnbaum", down - up),
            ("raw", down / base),
            ("rrw", base / up if up else math.inf),
        ):
            e = getattr(m, measure)
            if math.isinf(exact):
                assert e.value == e.lower == math.inf, (node.name, measure, e)
                continue
            se = (e.upper - e.lower) / 2 / 1.96
            assert abs(e.value - exact) <= 4 * se, (node.name, measure, e, exact)
