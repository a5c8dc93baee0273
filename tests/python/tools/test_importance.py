"""Importance measures: what holds whatever the numbers (nodes that always or never matter),
what common random numbers buy, the plant's holds, bad input and the command's outputs. The
exact values are in tests/python/validation (a static tree, a repairable 2-out-of-3)."""

import json
import math
import tomllib
from pathlib import Path

import pytest

import tavoq_tools as tt
from tavoq_tools import cli
from tavoq_tools.analysis.conditioned import Held
from tavoq_tools.analysis.importance import BASES, FROM_BASE_RUN, importance, per_run
from tavoq_tools.analysis.paired import mean_difference
from tavoq_tools.formats.file import model_from_dict
from tavoq_tools.model.system import ModelError
from tavoq_tools.run.simulate import batch_of

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"


def unit(name, mttf, mttr):
    return f"""
[components.{name}]
transitions = [
  {{ from = "working", to = "failed", distribution = "exponential", mttf = {mttf} }},
  {{ from = "failed", to = "working", distribution = "exponential", mean = {mttr} }},
]
"""


# The supply is in every cut set; the spare is in none.
MODEL = (
    """
failed_when = "supply and (pump_a or pump_b)"
[simulation]
horizon = 500
runs = 4000
seed = 9
"""
    + unit("supply", 100, 20)
    + unit("pump_a", 80, 10)
    + unit("pump_b", 120, 10)
    + unit("spare", 50, 5)
)


def model_of(text):
    return model_from_dict(tomllib.loads(text))


def test_nodes_that_always_or_never_matter_get_their_exact_measures():
    result = tt.importance(model_of(MODEL), threads=2, cutset_form=True)
    nodes = {node.name: node for node in result.nodes}
    for basis in BASES:
        supply = nodes["supply"].measures[basis]
        # Working, the supply keeps the system up in every run: RRW is infinite, and every
        # failed cut set contains it.
        assert (supply.rrw.value, supply.rrw.lower) == (math.inf, math.inf)
        assert supply.fussell_vesely.value == supply.fussell_vesely.lower == 1.0
        assert supply.fussell_vesely_reduction.value == 1.0
        spare = nodes["spare"].measures[basis]
        # Outside the logic the spare changes nothing in any run.
        assert spare.birnbaum.value == spare.birnbaum.lower == spare.birnbaum.upper == 0.0
        for measure in (spare.raw, spare.rrw):
            assert measure.value == measure.lower == measure.upper == 1.0
        assert spare.fussell_vesely.value == 0.0
    ranked = [n.measures[BASES[0]].birnbaum.value for n in result.nodes]
    assert ranked == sorted(ranked, reverse=True)


def test_common_random_numbers_narrow_the_interval_of_a_difference():
    # Q - Q(motor_a working) in the cooling system, the numerator of motor_a's criticality:
    # from held runs on the base runs' draws, and from the same held batch made on seeds
    # apart (independent runs). The paired runs differ only while motor_a is critical,
    # so pairing removes nearly all of their spread.
    model = tt.load_model(EXAMPLES / "cooling_system.toml")
    motor = model.component_names.index("motor_a")
    runs, seed = 4000, 9

    def batch(held, batch_seed):
        stats = batch_of(held, runs, batch_seed, threads=2)
        return per_run(stats)[0]

    base = batch(model, seed)
    held = Held(model, motor, False, True)
    same, apart = batch(held, seed), batch(held, seed + 10**6)
    paired = mean_difference(base, same)
    independent = 1.96 * math.sqrt(base.var(ddof=1) / runs + apart.var(ddof=1) / runs)
    assert abs(paired.value - (base.mean() - apart.mean())) < 3 * independent / 1.96
    assert (paired.upper - paired.lower) / 2 < independent / 10, (paired, independent)
    [node] = tt.importance(model, ["motor_a"], runs, seed, threads=2).nodes
    criticality = node.measures[BASES[0]].criticality
    assert criticality.value == pytest.approx(paired.value / base.mean())


def test_plant_holds_repeat_on_any_thread_count_and_differ_from_the_base_runs():
    model = tt.load_model(EXAMPLES / "plant.toml")
    one = tt.importance(model, ["pump_a", "level_1"], 2000, threads=1)
    two = tt.importance(model, ["pump_a", "level_1"], 2000, threads=2)
    assert one.to_dict() == two.to_dict()
    assert {n.method for n in one.nodes} == {"held in the plant, same seeds"}
    pump = next(n for n in one.nodes if n.name == "pump_a").measures[BASES[0]]
    assert pump.raw.lower > 1 and pump.birnbaum.lower > 0


@pytest.mark.parametrize(
    ("text", "names", "message"),
    [
        (MODEL, ["pump_c"], 'unknown component or gate "pump_c"'),
        (MODEL, ["pumpa"], 'did you mean "pump_a"'),
        (
            (EXAMPLES / "plant.toml").read_text(),
            ["no_level"],
            "a gate is held only in the logic of a model without interactions",
        ),
    ],
)
def test_a_name_that_cannot_be_held_is_refused_by_name(text, names, message):
    with pytest.raises(ModelError, match=message.replace("(", r"\(")):
        tt.importance(model_of(text), names, 10)


def test_a_base_batch_of_other_runs_is_refused():
    model = model_of(MODEL)
    base = tt.simulate(model, 100, 9)
    with pytest.raises(ValueError, match="base must be runs 0..199 seeded 9"):
        tt.importance(model, runs=200, seed=9, base=base)


def run_command(args, capsys):
    code = cli.main(["run", *map(str, args)])
    out, err = capsys.readouterr()
    return code, out, err


def test_the_command_reports_and_writes_the_measures(tmp_path, capsys):
    path = tmp_path / "model.toml"
    path.write_text(MODEL)
    out_dir = tmp_path / "out"
    code, out, err = run_command(
        [path, "--runs", 500, "--importance", "pump_a,supply", "--fv-cutsets", "--out", out_dir],
        capsys,
    )
    assert code == 0, err
    assert "Ranked by Birnbaum importance for the mean unavailability" in out
    assert "Fussell-Vesely  the cut-set form" in out
    rows = (out_dir / "importance.csv").read_text().splitlines()
    assert rows[0].startswith("name,kind,held,basis,birnbaum,birnbaum_lower")
    assert len(rows) == 1 + 2 * len(BASES)
    summary = json.loads((out_dir / "summary.json").read_text())
    entries = {c["name"]: c for c in summary["components"]}
    rrw = entries["supply"]["importance"][BASES[0]]["rrw"]  # JSON has no infinity
    assert (rrw["value"], rrw["lower"], rrw["upper"]) == ("inf", "inf", "inf")
    assert "importance" not in entries["pump_b"]
    fv = entries["pump_a"]["importance"][BASES[0]]["fussell_vesely"]
    assert 0 < fv["lower"] < fv["value"] < fv["upper"] < 1
    assert (out_dir / "importance.png").read_bytes()[:4] == b"\x89PNG"

    code, out, _ = run_command([path, "--runs", 200, "--importance", "--json"], capsys)
    document = json.loads(out)
    # One pass over the base runs gives every node: no held batch.
    assert code == 0 and document["importance_runs"]["held_batches"] == 0
    assert {c["importance"]["held"] for c in document["components"]} == {FROM_BASE_RUN}


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--importance", "--target-ci", "0.1"], "--importance takes no --target-ci"),
        (["--importance", "nothing"], 'unknown component or gate "nothing"'),
        (["--importance", "top:x"], "give top:N with N a positive integer"),
        (["--fv-cutsets"], "--fv-cutsets goes with --importance"),
        (["--rare", "--importance", "top:2"], "with --rare name the components and gates"),
    ],
)
def test_the_command_refuses_importance_it_cannot_give(tmp_path, capsys, options, message):
    path = tmp_path / "model.toml"
    path.write_text(MODEL)
    code, _, err = run_command([path, "--runs", 50, *options], capsys)
    assert code == 2 and message in err, err


def test_the_command_takes_the_components_that_triggered_most(tmp_path, capsys):
    path = tmp_path / "model.toml"
    path.write_text(MODEL)
    code, out, err = run_command([path, "--runs", 300, "--importance", "top:2", "--json"], capsys)
    assert code == 0, err
    document = json.loads(out)
    measured = {c["name"] for c in document["components"] if "importance" in c}
    stats = tt.simulate(model_of(MODEL), 300)
    names = model_of(MODEL).component_names
    ranked = sorted(names, key=lambda n: -int(stats.triggered_failures[names.index(n)]))
    assert measured == set(ranked[:2])


def test_simulate_gives_the_importance_of_its_own_runs():
    model = model_of(MODEL)
    stats, ranked = tt.simulate(model, 300, 9, importance="top:2")
    assert stats == tt.simulate(model, 300, 9)
    alone = tt.importance(model, [n.name for n in ranked.nodes], 300, 9, base=stats)
    assert ranked.to_dict() == alone.to_dict() and len(ranked.nodes) == 2
    everything = tt.simulate(model, 300, 9, importance=True).importance
    assert {n.name for n in everything.nodes} >= {"supply", "pump_a", "pump_b", "spare"}
    assert tt.simulate(model, 300, 9, importance="spare").importance.nodes[0].name == "spare"
    with pytest.raises(ValueError, match="give top:N with N a positive integer"):
        tt.simulate(model, 30, 9, importance="top:0")
    with pytest.raises(TypeError, match="importance must be True, a name"):
        tt.simulate(model, 30, 9, importance=3)


# Component c reaches the top by two paths at once: with a and b working it is critical,
# though neither path alone would say so.
SHARED = """
failed_when = "(c or a) and (c or b) and atleast(2, a, b, d)"
[simulation]
horizon = 300
runs = 10
seed = 1
""" + "".join(unit(n, 30, 10) for n in "abcd")


@pytest.mark.parametrize("name", ["cooling_system", "shared input"])
def test_the_base_runs_critical_time_gives_the_held_batches_measures_exactly(name):
    # One pass over the base runs against two held batches per node: the held runs draw as
    # the base runs do, so every per-run figure, and so every measure, is the same.
    if name == "shared input":
        model = model_of(SHARED)
    else:
        model = tt.load_model(EXAMPLES / f"{name}.toml")
    runs, seed = 2000, 3

    def run_batch(held):
        return batch_of(held, runs, seed, threads=2)

    base = run_batch(model)
    by_batches = importance(model, run_batch=run_batch, base=base)
    assert by_batches.batches > 0
    from_base = tt.importance(model, None, runs, seed, threads=1, base=base)
    assert from_base.batches == 0
    for a, b in zip(by_batches.nodes, from_base.nodes, strict=True):
        assert a.name == b.name
        for basis in BASES:
            x, y = a.measures[basis], b.measures[basis]
            for name in ("birnbaum", "criticality", "raw", "rrw"):
                assert getattr(x, name) == getattr(y, name), (a.name, basis, name)


def test_the_command_gives_the_importance_in_rare_mode(tmp_path, capsys):
    path = tmp_path / "model.toml"
    path.write_text(MODEL)
    code, out, err = run_command(
        [path, "--runs", 2000, "--rare", "--importance", "pump_a"], capsys
    )
    assert code == 0, err
    assert "Ranked by Birnbaum importance for the unreliability at the horizon" in out
    assert (
        "combined as independent ones" in out
        and "mean unavailability" not in out.split("Importance of")[1]
    )
    code, out, _ = run_command([path, "--runs", 2000, "--rare", "--importance", "--json"], capsys)
    document = json.loads(out)
    assert code == 0 and {n["name"] for n in document["importance"]["nodes"]} == set(
        model_of(MODEL).component_names
    )
