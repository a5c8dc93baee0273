"""Sweeps and tornado charts: each point is the batch a separate run of its model makes,
common random numbers narrow the changes, key paths and values are checked before any
runs, and the command writes what it says."""

import json
import math
import re
import tomllib
from pathlib import Path

import pytest

import tavoq_tools as tt
from tavoq_tools import cli
from tavoq_tools.analysis.sweep import PAIRED, grid_values
from tavoq_tools.errors import ModelError
from tavoq_tools.formats.document import Document, numeric_parameters
from tavoq_tools.results.model_summary import summarize_model
from tavoq_tools.run.simulate import sweep, tornado

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"
COOLING = EXAMPLES / "cooling_system.toml"
PUMP_SCALE = "components.pump_a.transitions[0].scale"


def test_every_point_is_the_batch_of_a_separate_run_and_changes_are_narrower():
    document = Document.of_file(COOLING)
    result = sweep(COOLING, {PUMP_SCALE: [4000, 5000]}, runs=3000, seed=7, threads=2)
    for point in result.points:
        model = document.with_value(PUMP_SCALE, point.values[0]).model()
        alone = summarize_model(model, tt.simulate(model, 3000, 7, threads=1))
        assert point.estimates["mean unavailability"] == alone.mean_unavailability
        assert point.estimates["MTBF"] == alone.mtbf
    first, second = result.points
    assert all(d.value == 0 for d in first.differences.values())
    # A Model sweeps over its TOML form, which runs as its file does.
    of_model = sweep(tt.load_model(COOLING), {PUMP_SCALE: [4000, 5000]}, runs=3000, seed=7)
    assert of_model.to_dict() == result.to_dict()
    for name in PAIRED:
        a, b = first.estimates[name], second.estimates[name]
        # Independent runs would give the change the two points' half-widths in quadrature.
        independent = math.hypot(a.upper - a.lower, b.upper - b.lower) / 2
        change = second.differences[name]
        assert change.value == pytest.approx(b.value - a.value)
        # 0.23, 0.48 and 0.47 of it here (a 25% longer pump life changes few runs).
        narrower = 1 / 3 if name == "mean unavailability" else 0.6
        assert (change.upper - change.lower) / 2 < narrower * independent, name


def test_a_grid_runs_every_combination_with_the_last_key_fastest():
    keys = {PUMP_SCALE: [4000, 8000], "simulation.horizon": [1000, 2000, 3000]}
    result = sweep(COOLING, keys, runs=200)
    assert [p.values for p in result.points] == [
        (a, h) for a in (4000, 8000) for h in (1000, 2000, 3000)
    ]
    rows = result.rows()
    assert list(rows[0])[:3] == [PUMP_SCALE, "simulation.horizon", "mean unavailability"]
    assert json.loads(json.dumps(result.to_dict()))["points"][5]["values"] == [8000, 3000]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("500,1000,2000", ([500.0, 1000.0, 2000.0], False)),
        ("1:3:3", ([1.0, 2.0, 3.0], False)),
        ("10:1000:3:log", ([10.0, 100.0, 1000.0], True)),
        ("7:9:1", ([7.0], False)),
    ],
)
def test_values_are_lists_or_ranges(text, expected):
    values, log = grid_values(text)
    assert values == pytest.approx(expected[0]) and log == expected[1]


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("", "no values"),
        ("1:5:0", "an empty range"),
        ("1:5", "a range is start:stop:count"),
        ("0:5:3:log", "a log range needs start and stop above 0"),
        ("1,x", "'x' is not a number"),
        ("1:2:3:lin", "a range is start:stop:count"),
        ("nan", "not a finite number"),
    ],
)
def test_bad_values_are_refused(text, message):
    with pytest.raises(ValueError, match=message):
        grid_values(text)


@pytest.mark.parametrize(
    ("key", "message"),
    [
        ("components.pump_a.transitions[0].mttf", 'no key "mttf" (there: distribution, from'),
        ("components.pumpa.transitions[0].scale", 'did you mean "pump_a"?'),
        ("components.pump_a.transitions[9].scale", "has no item [9] (it has 2)"),
        ("components.pump_a.transitions[0].distribution", "not a number to vary"),
        ("components..x", "is not a key path"),
    ],
)
def test_a_key_is_checked_with_a_suggestion(key, message):
    with pytest.raises(ModelError, match=re.escape(message)) as err:
        sweep(COOLING, {key: [1.0]}, runs=10)
    assert err.value.file == str(COOLING) and err.value.key == key


def test_a_value_that_breaks_the_model_names_its_grid_point():
    with pytest.raises(ModelError, match=r"at the grid point components\.sensor") as err:
        sweep(COOLING, {"components.sensor.transitions[1].interval": [168, 0.5]}, runs=10)
    assert err.value.key == "components.sensor.transitions[1].interval"


def test_a_fault_tree_sweeps_over_its_converted_paths():
    tree = Path(__file__).resolve().parents[1] / "validation" / "trees" / "static.dft"
    document = Document.of_file(tree, step=0.01, mission_time=1.0)
    assert next(iter(numeric_parameters(document))) == "components.Valve.transitions[0].rate"
    # Rates are per unit of 0.01 h in the converted model: 0.2 per hour is 0.002.
    result = sweep(document, {"components.Valve.transitions[0].rate": [0.002, 0.001]}, runs=2000)
    change = result.points[1].differences["P(failure by the horizon)"]
    assert change.upper < 0  # a slower valve fails less


def test_tornado_ranks_by_the_change_and_keeps_ends_valid():
    result = tornado(EXAMPLES / "plant.toml", 0.3, runs=1000, seed=3)
    changes = [abs(bar.change["mean unavailability"].value) for bar in result.bars]
    assert changes == sorted(changes, reverse=True)
    bars = {bar.key: bar for bar in result.bars}
    beta = bars["common_cause.level_ccf.beta"]
    assert beta.low == pytest.approx(0.07) and beta.high == pytest.approx(0.13)
    assert len(bars) == len(list(numeric_parameters(Document.of_file(EXAMPLES / "plant.toml"))))
    by_key = tornado(COOLING, keys=["components.sensor.transitions[1].interval"], runs=200)
    [interval] = by_key.bars
    assert (interval.low, interval.high) == (134, 202)  # whole units, rounded outwards
    ranged = tornado(COOLING, None, runs=200, ranges={PUMP_SCALE: (1000.0, 9000.0)})
    assert [(b.key, b.low, b.high) for b in ranged.bars] == [(PUMP_SCALE, 1000.0, 9000.0)]


def run(args, capsys):
    code = cli.main(["sweep", *map(str, args)])
    out, err = capsys.readouterr()
    return code, out, err


def test_the_command_writes_the_points(tmp_path, capsys):
    out_dir = tmp_path / "out"
    code, out, err = run(
        [COOLING, "--set", f"{PUMP_SCALE}=2000:8000:2:log", "--runs", 300, "--out", out_dir],
        capsys,
    )
    assert code == 0, err
    assert "change from the first point" in out
    assert (out_dir / "sweep.csv").read_text().count("\n") == 3
    assert json.loads((out_dir / "sweep.json").read_text())["log_scale"] == [True]
    assert (out_dir / "sweep.png").read_bytes()[:4] == b"\x89PNG"
    code, out, _ = run([COOLING, "--tornado", "10%", "--vary", PUMP_SCALE, "--json"], capsys)
    assert code == 0 and json.loads(out)["bars"][0]["key"] == PUMP_SCALE


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ([], "give --set KEY=VALUES (a grid) or --tornado SPREAD"),
        (["--set", "x"], "--set x: give KEY=VALUES"),
        (["--set", f"{PUMP_SCALE}=1:2:0"], "an empty range"),
        (["--set", "simulation.horizn=5"], 'did you mean "horizon"?'),
        (["--tornado", "150%"], "the spread must lie between 0 and 100%"),
        (["--tornado", "20%", "--vary", "a=1"], "--vary a=1: give KEY or KEY=LOW:HIGH"),
        (["--set", f"{PUMP_SCALE}=1", "--vary", "a"], "--vary goes with --tornado"),
    ],
)
def test_the_command_refuses_bad_sweeps_with_exit_2(args, message, capsys):
    code, _, err = run([COOLING, "--runs", 10, *args], capsys)
    assert code == 2 and message in err, err


def test_to_frame_gives_the_rows_as_a_data_frame():
    pd = pytest.importorskip("pandas")
    grid = sweep(COOLING, {PUMP_SCALE: [4000, 8000]}, runs=20)
    ranked = tornado(COOLING, 0.2, runs=20, keys=[PUMP_SCALE])
    text = COOLING.read_text().replace(
        "scale = 4000", "scale = { lognormal = 4000, error_factor = 2 }", 1
    )
    assert "lognormal" in text
    drawn = tt.uncertainty(Document(tomllib.loads(text)), 3, 10)
    for result in (grid, ranked, drawn):
        frame = result.to_frame()
        assert isinstance(frame, pd.DataFrame)
        assert frame.to_dict("records") == result.rows()


def test_to_frame_needs_pandas_and_says_so(monkeypatch):
    result = sweep(COOLING, {PUMP_SCALE: [4000]}, runs=20)
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)
    with pytest.raises(ImportError, match="to_frame needs pandas: pip install pandas"):
        result.to_frame()
