"""The tavoq command on the example pumping station: exit codes 0, 2 and 130, the files it
writes, and the same numbers with and without the progress bar."""

import importlib
import io
import json
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tavoq
from tavoq_tools import cli
from tavoq_tools.model.file import load_model

# The module, not the function that the package exports under the same name.
simulate_module = importlib.import_module("tavoq_tools.run.simulate")

ROOT = Path(__file__).resolve().parents[2]
STATION = ROOT / "examples" / "pumping_station.toml"
# The console script that `pip install .` puts beside the interpreter.
COMMAND = [str(Path(sys.executable).with_name("tavoq"))]
FILES = ["components.csv", "curves.csv", "cutsets.csv", "summary.json", "summary.png"]


def run_tavoq(*args, timeout=120):
    return subprocess.run(
        [*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=timeout,
        check=False,
    )


def has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def test_run_prints_the_report_and_writes_every_file(tmp_path):
    out, png = tmp_path / "out", tmp_path / "figures" / "station.png"
    result = run_tavoq("run", STATION, "--runs", 400, "--seed", 5, "--horizon", 3000,
                   "--out", out, "--plot", png)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no bar: stderr is not a terminal
    assert result.stdout.startswith("Pumping station: ")
    for row in ("pump_1 & pump_2", "control_unit", "mean unavailability"):
        assert row in result.stdout
    expected = FILES if has_matplotlib() else FILES[:-1]
    assert sorted(p.name for p in out.iterdir()) == expected

    summary = json.loads((out / "summary.json").read_text())
    stats = simulate_module.simulate(load_model(STATION), runs=400, seed=5, horizon=3000)
    assert (summary["n_runs"], summary["seed"], summary["horizon"]) == (400, 5, 3000)
    assert summary["downtime"] == int(stats.downtime.sum())
    assert summary["system_failures"] == int(stats.system_failures.sum())
    curves = (out / "curves.csv").read_text().splitlines()
    assert len(curves) == 1 + 3000
    if has_matplotlib():
        assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


BAD_MODEL = '[simulation]\nhorizon = 10\n\n[components.pump]\nstates = ["up"]\n'


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["run", "{bad}"], "{bad}: components.pump.states: needs at least two states"),
        (["check", "{bad}"], "{bad}: components.pump.states: needs at least two states"),
        (["run", "{missing}"], "{missing}: cannot read the file"),
        (["run", STATION, "--runs", "0"], "tavoq run: error: argument --runs: must be a "
         "positive integer"),
        (["run", STATION, "--seed", "2147483648"], "argument --seed: must be an integer from"),
        (["run", STATION, "--plot", "{out}/figure.jpg"], "--plot {out}/figure.jpg: the figure "
         "is a PNG"),
        (["run", STATION, "--plot", "{bad}/x.png"],
         "--plot {bad}/x.png: {bad} is not a directory"),
        (["run", STATION, "--out", "{bad}/deeper"],
         "--out {bad}/deeper: {bad} is not a directory"),
        (["run", STATION, "--out", ""], "--out: give the name of a directory"),
        (["run", STATION, "--out", "{link}"], "--out {link}: {link} is a link to nothing"),
        (["run", STATION, "--out", "{out}/" + "x" * 300], "is too long"),
        (["run", STATION, "--plot", "{tmp}"], "--plot {tmp}: the figure is a PNG"),
        (["run", STATION, "--plot", "{dir_png}"], "--plot {dir_png}: {dir_png} is a directory"),
        (["run", STATION, "--frobnicate"], "tavoq: error: unrecognized arguments: --frobnicate"),
        (["fly", STATION], "tavoq: error: argument COMMAND: invalid choice: 'fly'"),
    ],
)
def test_bad_model_or_arguments_exit_2_with_one_line_and_no_files(tmp_path, args, message):
    bad, missing, out = tmp_path / "bad.toml", tmp_path / "missing.toml", tmp_path / "out"
    bad.write_text(BAD_MODEL)
    link, dir_png = tmp_path / "dangling", tmp_path / "figure.png"
    link.symlink_to(tmp_path / "nowhere")
    dir_png.mkdir()
    names = {"bad": bad, "missing": missing, "out": out, "link": link, "tmp": tmp_path,
             "dir_png": dir_png}
    args = [str(a).format(**names) for a in args]
    if args[0] == "run" and "--out" not in args:
        args += ["--out", str(out)]
    result = run_tavoq(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1
    assert message.format(**names) in result.stderr
    assert not out.exists()


SPREAD_OUT = """
failed_when = "part"

[simulation]
horizon = 50
runs = 400

[components.part]
states = ["up", "down"]
transitions = [
  {{ from = "up", to = "down", distribution = "{failure}", {parameters} }},
  {{ from = "down", to = "up", distribution = "exponential", mean = 5 }},
]
"""


@pytest.mark.parametrize(
    ("failure", "parameters", "warned"),
    [
        ("normal", "mean = 1, stddev = 100", True),  # about half the first draws are negative
        ("exponential", "rate = 1e-9", False),  # first draws past 2**31 - 1: simply never
    ],
)
def test_first_draws_out_of_range_never_reach_stdout(tmp_path, failure, parameters, warned):
    model = tmp_path / "spread.toml"
    model.write_text(SPREAD_OUT.format(failure=failure, parameters=parameters))
    result = run_tavoq("run", model, "--json", "--threads", 2)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("{"), (result.stdout, result.stderr)
    summary = json.loads(result.stdout)
    assert summary["n_runs"] == 400
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    if warned:
        assert len(warnings) == 1
        count = int(warnings[0].split("tavoq: warning: ")[1].split()[0].replace(",", ""))
        assert 100 < count < 300  # one first draw a run, negative with probability 0.496
        assert "negative" in warnings[0] and "never happening" in warnings[0]
    else:
        assert warnings == []


def test_engine_lines_shuffled_by_two_threads_are_still_counted():
    from tavoq_tools.run import native_output as console

    prefix = console.OUT_OF_RANGE_PREFIX.encode()
    # Two threads' lines cut into their pieces and interleaved; one draw past the largest;
    # another thread's lines, one with a negative number, which are not draws.
    text = (prefix + prefix + b"-49.9163-33.656  0.364461\n0.25\n" + prefix
            + b"2.30882e+09  0.9\nline B: temperature -40.5\n" + prefix + b"-inf  0\n"
            + b"-7 degrees\n")
    negative, others = console._sort_engine_lines(text)
    assert negative == [b"-49.9163", b"-33.656", b"-inf"]
    assert others == b"line B: temperature -40.5\n-7 degrees\n"
    assert console._sort_engine_lines(prefix + b"2.30882e+09  0.9\n") == ([], b"")
    assert console._sort_engine_lines(b"-3 somebody else's\n") == ([], b"-3 somebody else's\n")


def test_engine_output_is_given_back_and_warned_about_once(capfd):
    from tavoq_tools.run import native_output as console

    prefix = console.OUT_OF_RANGE_PREFIX.encode()
    with pytest.warns(console.NegativeDelayWarning, match="^2 first draws .* -1.5") as caught:
        with console.engine_output_as_warnings():
            os.write(1, prefix + b"-1.5  0.2\nsomebody else's line\n" + prefix + b"-2  0.1\n")
    assert [w.message.count for w in caught] == [2]
    # After an error the other lines still come back, and no warning qualifies a failed batch.
    with pytest.raises(KeyError):
        with console.engine_output_as_warnings():
            os.write(1, prefix + b"-1.5  0.2\nlast words\n")
            raise KeyError("the batch failed")
    assert capfd.readouterr().out == "somebody else's line\nlast words\n"


def test_runs_without_a_stdout(tmp_path, monkeypatch):
    # Daemons and cron jobs may have no stdout at all, or a closed descriptor 1.
    model = tmp_path / "spread.toml"
    model.write_text(SPREAD_OUT.format(failure="normal", parameters="mean = 1, stddev = 100"))
    out = tmp_path / "out"
    closed = subprocess.run(
        ["bash", "-c", 'exec "$0" run "$1" --out "$2" >&-', COMMAND[0], str(model), str(out)],
        capture_output=True, text=True, timeout=120, check=False,
    )
    assert closed.returncode == 0, closed.stderr  # Python drops prints without a stdout
    assert "tavoq: warning:" in closed.stderr and "Traceback" not in closed.stderr
    assert (out / "summary.json").exists()
    monkeypatch.setattr(sys, "stdout", None)
    with pytest.warns(Warning):
        stats = simulate_module.simulate(load_model(model), runs=50)
    assert stats.n_runs == 50


def test_engine_output_captures_nest(capfd):
    # A signal handler that runs inside a native call may run another batch: the inner
    # capture must neither wait on the outer one nor lose what either caught.
    import threading

    from tavoq_tools.run import native_output as console

    def nested():
        with console.engine_output_as_warnings():
            with console.engine_output_as_warnings():
                os.write(1, b"inner\n")
            os.write(1, b"outer\n")

    worker = threading.Thread(target=nested, daemon=True)
    worker.start()
    worker.join(30)
    assert not worker.is_alive(), "the nested capture waited on the outer one"
    assert capfd.readouterr().out == "inner\nouter\n"


def test_a_reader_that_stops_early_does_not_cost_the_files(tmp_path, monkeypatch):
    # tavoq run ... | head: every print after the reader has gone fails.
    class Closed(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

        def fileno(self):
            return 1

    out = tmp_path / "out"
    monkeypatch.setattr(sys, "stdout", Closed())
    monkeypatch.setattr(cli.os, "dup2", lambda *args: None)  # keep the real stdout alive
    code = cli.main(["run", str(STATION), "--runs", "50", "--horizon", "500", "--out", str(out)])
    assert code == cli.EXIT_FAILED
    expected = FILES if has_matplotlib() else FILES[:-1]
    assert sorted(p.name for p in out.iterdir()) == expected


def test_a_run_without_a_thread_count_uses_all_cores_after_one_with_it(capfd):
    def threads_in_use():
        capfd.readouterr()
        tavoq.runnerParallelSim(0, 1, [], None, 0)
        first = capfd.readouterr().out.splitlines()[0]
        return int(first.rsplit(" ", 1)[1])

    if simulate_module.default_threads() == 1:
        pytest.skip("one core: the two counts cannot be told apart")
    model = load_model(STATION)
    try:
        simulate_module.simulate(model, runs=10, horizon=50, threads=1)
        assert threads_in_use() == 1
        simulate_module.simulate(model, runs=10, horizon=50)
        assert threads_in_use() == simulate_module.default_threads()
    finally:
        tavoq.limitOMPThreads(simulate_module.default_threads())


def test_check_lists_components_and_minimal_cutsets():
    result = run_tavoq("check", STATION)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "  pump_1, pump_2, pump_3 (count = 3): states running, failed" in lines
    assert "    stuck -> working: inspection every 730 h" in lines
    cutsets = lines[lines.index("Minimal cut sets (5):") + 1:]
    assert cutsets == ["  1. valve", "  2. control_unit", "  3. pump_1 & pump_2",
                       "  4. pump_1 & pump_3", "  5. pump_2 & pump_3"]


def test_ctrl_c_stops_a_long_batch_with_130_and_no_files(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [*COMMAND, "run", str(STATION), "--runs", "3000000", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        # The model paragraph is printed (and flushed) just before the runs start.
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        assert ready, "the command printed nothing within 60 s"
        assert proc.stdout.readline().startswith("Pumping station")
        time.sleep(0.5)
        assert proc.poll() is None, "the batch ended before it could be interrupted"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130
    assert err == "tavoq: interrupted\n"
    assert not out.exists()


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_changes_no_number(monkeypatch, capsys):
    monkeypatch.setattr(simulate_module, "PROGRESS_DELAY_S", 0)  # draw even a short batch
    outputs, bars = [], []
    for stderr in (io.StringIO(), _Terminal()):
        monkeypatch.setattr(sys, "stderr", stderr)
        assert cli.main(["run", str(STATION), "--runs", "3000", "--json"]) == 0
        outputs.append(json.loads(capsys.readouterr().out))
        bars.append(stderr.getvalue())
    assert "run/s]" not in bars[0]
    assert "run/s]" in bars[1]  # the bar was drawn
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("chunk_runs", [1, 7, 64])
def test_chunks_give_the_batch_of_one_call(chunk_runs):
    model = load_model(STATION)
    whole = simulate_module.simulate(model, runs=150, seed=-3, horizon=2500)
    chunked = simulate_module.simulate(
        model, runs=150, seed=-3, horizon=2500, chunk_runs=chunk_runs
    )
    for name in ("failed_runs", "first_failures", "system_failures", "downtime",
                 "component_downtime", "component_failures", "triggered_failures",
                 "cutset_failures"):
        np.testing.assert_array_equal(getattr(chunked, name), getattr(whole, name))
    assert whole.failed_runs.sum() > 0


def test_chunk_seeds_wrap_like_the_engine():
    # Run i is seeded seed + i modulo 2**32, so chunks that start past the largest seed wrap.
    model = load_model(STATION)
    top = 2**31 - 1
    chunked = simulate_module.simulate(model, runs=10, seed=top, horizon=2000, chunk_runs=4)
    matrix, tree = model.build()
    whole = tavoq.runnerStatistics(10, 2000, matrix, tree, top)
    np.testing.assert_array_equal(chunked.downtime, whole.downtime)
    np.testing.assert_array_equal(chunked.failed_runs, whole.failedRuns)
    assert whole.downtime.sum() > 0
