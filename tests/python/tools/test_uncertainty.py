"""Parameter uncertainty: the laws' draws, the outer stream apart from the inner runs, a
model without uncertainty giving the ordinary batch, and bad input."""

import json
import math
import tomllib
from pathlib import Path
from statistics import NormalDist

import numpy as np
import pytest

import tavoq_tools as tt
from tavoq_tools import cli
from tavoq_tools.analysis.uncertainty import _Sampler, outer_draws
from tavoq_tools.errors import ModelError
from tavoq_tools.formats.document import Document
from tavoq_tools.formats.uncertain import Uncertain, find_uncertain
from tavoq_tools.run.simulate import uncertainty

MODEL = """
failed_when = "atleast(2, pump_1, pump_2, pump_3) or valve"
[simulation]
horizon = 500
runs = 1000
seed = 4
[components.pump]
count = 3
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = %(pump)s },
  { from = "failed", to = "working", distribution = "exponential", mean = %(repair)s },
]
[components.valve]
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = %(valve)s },
  { from = "failed", to = "working", distribution = "exponential", mean = 10 },
]
"""
UNCERTAIN = {
    "pump": '{ lognormal = 300, error_factor = 3, group = "pumps" }',
    "repair": '{ uniform = [10, 30], group = "pumps" }',
    "valve": "{ gamma = [4, 500] }",
}


def document(**given):
    return Document(tomllib.loads(MODEL % (UNCERTAIN | given)), "model.toml")


def test_an_ordinary_run_takes_each_parameter_at_its_mean():
    model = document().model()
    pump, valve = model.components
    assert pump.transitions[0].params["mttf"] == pytest.approx(
        300 * math.exp((math.log(3) / NormalDist().inv_cdf(0.95)) ** 2 / 2)
    )
    assert pump.transitions[1].params["mean"] == 20
    assert valve.transitions[0].params["mttf"] == 2000


def test_the_laws_draw_their_distributions():
    u = (np.arange(4000) + 0.5) / 4000
    lognormal = Uncertain("x", "lognormal", (300.0, 3.0)).quantile(u)
    assert np.median(lognormal) == pytest.approx(300, rel=1e-3)
    assert np.percentile(lognormal, 95) / 300 == pytest.approx(3, rel=1e-2)
    # Closed forms: gamma of shape 1 is exponential, shape 2 is Erlang; beta(1, b).
    assert Uncertain("x", "gamma", (1.0, 50.0)).quantile(u) == pytest.approx(-50 * np.log1p(-u))
    erlang = Uncertain("x", "gamma", (2.0, 1.0)).quantile(u)
    assert 1 - np.exp(-erlang) * (1 + erlang) == pytest.approx(u, abs=1e-9)
    assert Uncertain("x", "beta", (1.0, 4.0)).quantile(u) == pytest.approx(1 - (1 - u) ** 0.25)
    beta = Uncertain("x", "beta", (2.0, 5.0)).quantile(u)
    assert beta.mean() == pytest.approx(2 / 7, abs=1e-3)
    tri = Uncertain("x", "triangular", (0.0, 1.0, 4.0)).quantile(u)
    assert tri.mean() == pytest.approx(5 / 3, abs=1e-3) and np.all(np.diff(tri) > 0)
    # A normal cut at 0: never below, its mean the cut law's (1 + φ(1) / Φ(1) here).
    cut = Uncertain("x", "normal", (1.0, 1.0))
    normal = cut.quantile(u)
    assert normal.min() >= 0 and np.all(np.diff(normal) > 0)
    assert normal.mean() == pytest.approx(cut.mean, abs=2e-3)
    assert cut.mean == pytest.approx(1 + NormalDist().pdf(1) / NormalDist().cdf(1))
    # A histogram: uniform within each bin, the bins with their weights' odds; an empty
    # bin is never drawn.
    bins = Uncertain("x", "histogram", (0.0, 1.0, 3.0, 4.0, 1.0, 0.0, 3.0))
    drawn = bins.quantile(u)
    assert ((drawn > 1) & (drawn < 3)).sum() == 0 and np.mean(drawn <= 1) == pytest.approx(0.25)
    assert drawn.mean() == pytest.approx(bins.mean) and bins.mean == pytest.approx(2.75)


def test_outer_draws_fit_their_law_and_groups_move_together():
    parameters = find_uncertain(document().data)
    values = outer_draws(parameters, 3000, seed=11)
    # Kolmogorov-Smirnov against the lognormal: within the 1% critical value.
    sigma = math.log(3) / NormalDist().inv_cdf(0.95)
    x = np.sort(values[:, 0])
    cdf = np.array([NormalDist(math.log(300), sigma).cdf(math.log(v)) for v in x])
    n = len(x)
    d = max(np.max(np.arange(1, n + 1) / n - cdf), np.max(cdf - np.arange(n) / n))
    assert d < 1.63 / math.sqrt(n)
    # One draw per group: the pump's life and repair rise together, the valve apart.
    order = np.argsort(values[:, 0])
    assert np.all(np.diff(values[order, 1]) >= 0)
    assert abs(np.corrcoef(values[:, 0], values[:, 2])[0, 1]) < 0.1
    # The first samples are the same however many follow.
    assert np.array_equal(outer_draws(parameters, 10, seed=11), values[:10])


def test_the_outer_draws_do_not_depend_on_the_inner_runs():
    few = uncertainty(document(), 5, 10, threads=1)
    more = uncertainty(document(), 5, 40, threads=2)
    assert np.array_equal(few.values, more.values)
    assert not np.array_equal(few.results, more.results)


@pytest.mark.parametrize("name", ["fixed parameters", "plant"])
def test_without_uncertain_parameters_the_samples_are_the_ordinary_batch(name):
    # The plant's components act on each other: its samples take the interacting engine.
    if name == "plant":
        fixed = Document.of_file(Path(__file__).resolve().parents[3] / "examples" / "plant.toml")
    else:
        fixed = document(pump="300", repair="20", valve="2000")
    seed, horizon = fixed.model().simulation.seed, fixed.model().simulation.horizon
    result = uncertainty(fixed, 4, 250, threads=2)
    stats = tt.simulate(fixed.model(), 1000, seed, threads=1, points=1)
    down = np.asarray(stats.downtime, dtype=float) / horizon
    assert result.results[:, 0].tolist() == [
        down[j * 250 : (j + 1) * 250].mean() for j in range(4)
    ]
    assert result.mean["mean unavailability"].value == pytest.approx(down.mean(), rel=1e-12)
    assert result.warnings == (
        "the model has no uncertain parameter: every sample is the same model",
    )


def _with_uncertain_repair(path):
    """The plant, its first pump's repair mean uncertain (the plant has a common cause)."""
    data = tomllib.loads(path.read_text())
    transitions = data["components"]["pump_a"]["transitions"]
    repair = next(t for t in transitions if t["from"] == "failed")
    repair["mean"] = {"lognormal": repair["mean"], "error_factor": 2}
    return Document(data, "plant.toml")


@pytest.mark.parametrize(
    ("case", "rows_only"), [("plain", True), ("crew", True), ("common cause", False)]
)
def test_each_sample_runs_as_its_own_model_would(case, rows_only):
    # Samples change only the rows of their components where they can, and are run many to
    # an engine call: each must still be the batch of the model made from its values.
    if case == "common cause":
        sampled = _with_uncertain_repair(
            Path(__file__).resolve().parents[3] / "examples" / "plant.toml"
        )
    elif case == "crew":
        text = MODEL.replace("mean = %(repair)s }", 'mean = %(repair)s, crew = "fitter" }')
        sampled = Document(tomllib.loads(text % UNCERTAIN + "[crews.fitter]\ncount = 1\n"))
    else:
        sampled = document()
    assert _Sampler(sampled, tuple(p.key for p in find_uncertain(sampled.data))).fast is rows_only
    result = uncertainty(sampled, 3, 40, threads=2)
    settings = sampled.model().simulation
    for j in range(3):
        model = sampled.with_values(dict(zip(result.parameters, result.values[j]))).model()
        stats = tt.simulate(model, 40, settings.seed + 40 * j, threads=1, points=1)
        down = np.asarray(stats.downtime, dtype=float) / settings.horizon
        assert result.results[j, 0] == down.mean()
        assert result.results[j, 2] == np.mean(stats.system_failures)


def test_the_ranking_finds_the_parameter_that_matters():
    result = uncertainty(document(), 200, 300, threads=2)
    top = result.ranking["mean unavailability"][0]
    assert top.key == "components.pump.transitions[0].mttf" and top.correlation.upper < -0.5
    p5, p50, p95 = (p.estimate for p in result.percentiles["mean unavailability"])
    assert p5.upper < p50.value < p95.lower
    assert result.inner_share["mean unavailability"] < 0.1


@pytest.mark.parametrize(
    ("given", "key", "message"),
    [
        ({"valve": "{ gamma = 4 }"}, "gamma", "takes [a, b]"),
        ({"valve": "{ lognormal = 300 }"}, "error_factor", "needs error_factor > 1"),
        ({"valve": "{ normal = [0, 2] }"}, "normal", "needs mean > 0 and sd > 0"),
        ({"valve": "{ histogram = [1, 5], weights = [1, 2] }"}, "weights", "one weight >= 0 per"),
        ({"valve": "{ histogram = [5, 1], weights = [1] }"}, "histogram", "increasing"),
        ({"valve": "{ gamma = [1, 2], weights = [1] }"}, "weights", "goes with histogram"),
        ({"valve": "{ normale = [1, 2] }"}, "mttf", "names one law"),
        ({"valve": "{ uniform = [5, 1] }"}, "uniform", "needs low <= high"),
        ({"valve": "{ uniform = [1, 5], group = 3 }"}, "group", "must be a name"),
    ],
)
def test_a_bad_uncertain_parameter_is_named(given, key, message):
    with pytest.raises(ModelError, match=re_escape(message)) as err:
        document(**given).model()
    assert err.value.key.startswith("components.valve.transitions[0].mttf")
    assert err.value.key.endswith(key)


def re_escape(text):
    import re

    return re.escape(text)


def test_a_sample_that_breaks_the_model_is_named():
    broken = document(valve="{ uniform = [-10, 100] }")  # valid at its mean, 45
    with pytest.raises(ModelError, match=r"in sample \d+: .*components\.valve"):
        uncertainty(broken, 50, 1)


def test_the_command_reports_and_writes_the_samples(tmp_path, capsys):
    path = tmp_path / "model.toml"
    path.write_text(MODEL % UNCERTAIN)
    code = cli.main(
        [
            "run",
            str(path),
            "--uncertainty",
            "20",
            "--inner-runs",
            "50",
            "--out",
            str(tmp_path / "out"),
        ]
    )
    out, err = capsys.readouterr()
    assert code == 0, err
    assert "95th percentile" in out and "Spearman" in out
    rows = (tmp_path / "out" / "uncertainty.csv").read_text().splitlines()
    assert len(rows) == 21 and rows[0].startswith("sample,components.pump.transitions[0].mttf")
    assert json.loads((tmp_path / "out" / "uncertainty.json").read_text())["samples"] == 20
    code = cli.main(["run", str(path), "--uncertainty", "20", "--runs", "5"])
    assert code == 2 and "--uncertainty takes no --runs" in capsys.readouterr().err
    code = cli.main(["run", str(path), "--inner-runs", "5"])
    assert code == 2 and "--inner-runs goes with --uncertainty" in capsys.readouterr().err


# Events A and B share the rate lam, a lognormal given by its mean (Open-PSA's form); C fails
# on demand with a probability of a lognormal of its own.
OPEN_PSA = """<?xml version="1.0"?>
<opsa-mef><define-fault-tree name="FT">
<define-gate name="T"><or><basic-event name="A"/><basic-event name="B"/><basic-event name="C"/></or></define-gate>
<define-parameter name="lam"><lognormal-deviate><float value="2e-3"/><float value="3"/><float value="0.95"/></lognormal-deviate></define-parameter>
<define-basic-event name="A"><exponential><parameter name="lam"/><float value="10"/></exponential></define-basic-event>
<define-basic-event name="B"><exponential><parameter name="lam"/><float value="10"/></exponential></define-basic-event>
<define-basic-event name="C"><lognormal-deviate><float value="0.1"/><float value="2"/><float value="0.9"/></lognormal-deviate></define-basic-event>
</define-fault-tree></opsa-mef>
"""


def test_open_psa_normal_and_histogram_deviates_become_tables_that_draw_them(tmp_path):
    # A rate by a normal (cut at 0), a probability by a histogram of two bins; written as
    # TOML by convert, they read back to the same laws.
    path = tmp_path / "tree.xml"
    path.write_text(
        OPEN_PSA.replace(
            '<lognormal-deviate><float value="2e-3"/><float value="3"/><float '
            'value="0.95"/></lognormal-deviate>',
            '<normal-deviate><float value="2e-3"/><float value="1e-3"/></normal-deviate>',
        ).replace(
            '<lognormal-deviate><float value="0.1"/><float value="2"/><float value="0.9"/>'
            "</lognormal-deviate>",
            '<histogram><float value="0"/><bin><float value="0.1"/><float value="3"/></bin>'
            '<bin><float value="0.5"/><float value="1"/></bin></histogram>',
        )
    )
    parameters = find_uncertain(Document.of_file(path).data)
    assert [p.law for p in parameters] == ["normal", "normal", "histogram"]
    assert parameters[2].values == (0.0, 0.1, 0.5, 3.0, 1.0)
    values = outer_draws(parameters, 4000, seed=3)
    assert values[:, 0].min() >= 0 and np.mean(values[:, 2] <= 0.1) == pytest.approx(
        0.75, abs=0.03
    )
    written = tmp_path / "tree.toml"
    assert cli.main(["convert", str(path), "-o", str(written)]) == 0
    again = find_uncertain(Document.of_file(written).data)
    assert [(p.law, p.values) for p in again] == [(p.law, p.values) for p in parameters]


def test_an_open_psa_parameter_is_one_draw_for_the_events_that_name_it(tmp_path):
    path = tmp_path / "tree.xml"
    path.write_text(OPEN_PSA)
    parameters = find_uncertain(Document.of_file(path).data)
    assert [p.key for p in parameters] == [
        "components.A.transitions[0].rate",
        "components.B.transitions[0].rate",
        "components.C.transitions[0].probability",
    ]
    values = outer_draws(parameters, 500, seed=3)
    assert np.array_equal(values[:, 0], values[:, 1])
    assert abs(np.corrcoef(values[:, 0], values[:, 2])[0, 1]) < 0.15


def test_uncertainty_of_an_open_psa_file_draws_its_deviates(tmp_path, capsys):
    path = tmp_path / "tree.xml"
    path.write_text(OPEN_PSA)
    result = tt.uncertainty(path, 600, 100, seed=5, threads=2)
    keys = list(result.parameters)
    # C's draws follow the lognormal of mean 0.1 whose 90th percentile is twice its median
    # (Kolmogorov-Smirnov, within the 1% critical value).
    sigma = math.log(2) / NormalDist().inv_cdf(0.9)
    law = NormalDist(math.log(0.1) - sigma**2 / 2, sigma)
    c = result.values[:, keys.index("components.C.transitions[0].probability")]
    x = np.sort(c)
    cdf = np.array([law.cdf(math.log(v)) for v in x])
    n = len(x)
    assert max(np.max(np.arange(1, n + 1) / n - cdf), np.max(cdf - np.arange(n) / n)) < 1.63 / (
        math.sqrt(n)
    )
    # Each sample runs its drawn values: the system fails by the mission time unless C
    # holds and neither A nor B fails at rate lam for 10 units.
    lam = result.values[:, keys.index("components.A.transitions[0].rate")]
    expected = 1 - (1 - c) * np.exp(-2 * lam * 10)
    observed = result.results[:, 1]
    noise = math.sqrt(np.mean(expected * (1 - expected)) / (100 * 600))
    assert abs(observed.mean() - expected.mean()) < 5 * noise
    assert result.ranking["P(failure by the horizon)"][0].key.endswith(
        "C.transitions[0].probability"
    )
    # The command reads the file the same way.
    code = cli.main(["run", str(path), "--uncertainty", "5", "--inner-runs", "10"])
    assert code == 0, capsys.readouterr().err
    assert "components.C.transitions[0].probability" in capsys.readouterr().out


def test_the_samples_do_not_depend_on_how_they_are_split_into_calls(monkeypatch):
    import tavoq
    from tavoq_tools.analysis import uncertainty as analysis

    whole = uncertainty(document(), 5, 30, threads=2)
    sizes = []
    run_samples = tavoq.runnerSamples

    def counted(runs, horizon, matrices, *rest):
        sizes.append(len(matrices))
        return run_samples(runs, horizon, matrices, *rest)

    # The model has 4 components: at most 2 samples' matrices a call.
    monkeypatch.setattr(analysis, "COMPONENTS_PER_CALL", 8)
    monkeypatch.setattr(tavoq, "runnerSamples", counted)
    split = uncertainty(document(), 5, 30, threads=2)
    assert sizes == [2, 2, 1]
    assert np.array_equal(split.results, whole.results)
