"""The tavoq command on the example pumping station: exit codes 0, 2 and 130, the files it
writes, and the same numbers with and without the progress bar."""

import importlib
import io
import json
import math
import os
import resource
import select
import signal
import subprocess
import sys
import time
import tomllib
from pathlib import Path

import pytest

from tavoq_tools import cli
from tavoq_tools.errors import FewRunsWarning
from tavoq_tools.formats.file import load_model, model_from_dict
from tavoq_tools.output.model_text import check_text
from tavoq_tools.results.model_summary import summarize_model
from tavoq_tools.results.summary import FEW_RUNS

from .test_files import fifo_reader

# ASan reserves terabytes of address space and opens files of its own at start: a child
# under an address-space cap or a few file descriptors dies of it before any of our code runs.
NOT_UNDER_ASAN = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's own needs exceed the limits the test sets",
)

# The module, not the function that the package exports under the same name.
simulate_module = importlib.import_module("tavoq_tools.run.simulate")


ROOT = Path(__file__).resolve().parents[3]


STATION = ROOT / "examples" / "pumping_station.toml"


# The console script that `pip install .` puts beside the interpreter.
COMMAND = [str(Path(sys.executable).with_name("tavoq"))]


FILES = [
    "components.csv",
    "curves.csv",
    "cutsets.csv",
    "gates.csv",
    "summary.json",
    "summary.png",
]


def run_tavoq(*args, timeout=120):
    return subprocess.run(
        [*COMMAND, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
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
    result = run_tavoq(
        "run", STATION, "--runs", 400, "--seed", 5, "--horizon", 3000, "--out", out, "--plot", png
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no bar: stderr is not a terminal
    assert result.stdout.startswith("Pumping station: ")
    for row in ("pump_1 & pump_2", "control_unit", "mean unavailability"):
        assert row in result.stdout
    expected = FILES if has_matplotlib() else FILES[:-1]
    assert sorted(p.name for p in out.iterdir()) == expected

    summary = json.loads((out / "summary.json").read_text())
    assert (summary["n_runs"], summary["seed"], summary["horizon"]) == (400, 5, 3000)
    # A Python caller gets the command's summary from the model and its run alone.
    model = load_model(STATION)
    stats = simulate_module.simulate(model, runs=400, seed=5, horizon=3000)
    from_python = summarize_model(model, stats).to_dict()
    assert summary == json.loads(json.dumps(from_python, allow_nan=False))
    curves = (out / "curves.csv").read_text().splitlines()
    # 3,000 units in bins of 2 (the default of 2,000 points): a row per bin, not per unit.
    assert len(curves) == 1 + 1500
    assert curves[0].startswith("time,time_end,") and curves[-1].startswith("2998,2999,")
    if has_matplotlib():
        assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


BAD_MODEL = '[simulation]\nhorizon = 10\n\n[components.pump]\nstates = ["up"]\n'


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["run", "{bad}"], "{bad}: components.pump.states: needs at least two states"),
        (["check", "{bad}"], "{bad}: components.pump.states: needs at least two states"),
        (["run", "{missing}"], "{missing}: cannot read the file"),
        (
            ["run", STATION, "--runs", "0"],
            "tavoq run: error: argument --runs: must be a positive integer",
        ),
        (["run", STATION, "--seed", "2147483648"], "argument --seed: must be an integer from"),
        (
            ["run", STATION, "--plot", "{out}/figure.jpg"],
            "--plot {out}/figure.jpg: the figure is a PNG",
        ),
        (
            ["run", STATION, "--plot", "{bad}/x.png"],
            "--plot {bad}/x.png: {bad} is not a directory",
        ),
        (
            ["run", STATION, "--out", "{bad}/deeper"],
            "--out {bad}/deeper: {bad} is not a directory",
        ),
        (["run", STATION, "--out", ""], "--out: give the name of a directory"),
        (["run", STATION, "--out", "{link}"], "--out {link}: {link} is a link to nothing"),
        (["run", STATION, "--out", "{out}/" + "x" * 300], "is too long"),
        (["run", STATION, "--plot", "{tmp}"], "--plot {tmp}: the figure is a PNG"),
        (["run", STATION, "--plot", "{dir_png}"], "--plot {dir_png}: {dir_png} is a directory"),
        (["run", STATION, "--frobnicate"], "tavoq: error: unrecognized arguments: --frobnicate"),
        (["fly", STATION], "tavoq: error: argument COMMAND: invalid choice: 'fly'"),
        (["run", STATION, "--rare"], "--rare takes no --out"),
        (
            ["run", STATION, "--rare", "--importance", "--scheduler", "tcp://127.0.0.1:9"],
            "--scheduler with --importance",
        ),
        (["run", STATION, "--rare", "--bias", "1"], "argument --bias: must be a number in (0, 1)"),
        (["run", STATION, "--bias", "0.3"], "--bias needs --rare"),
        (["run", STATION, "--rare", "split"], "argument --rare: invalid choice: 'split'"),
    ],
)
def test_bad_model_or_arguments_exit_2_with_one_line_and_no_files(tmp_path, args, message):
    bad, missing, out = tmp_path / "bad.toml", tmp_path / "missing.toml", tmp_path / "out"
    bad.write_text(BAD_MODEL)
    link, dir_png = tmp_path / "dangling", tmp_path / "figure.png"
    link.symlink_to(tmp_path / "nowhere")
    dir_png.mkdir()
    names = {
        "bad": bad,
        "missing": missing,
        "out": out,
        "link": link,
        "tmp": tmp_path,
        "dir_png": dir_png,
    }
    args = [str(a).format(**names) for a in args]
    if args[0] == "run" and "--out" not in args:
        args += ["--out", str(out)]
    result = run_tavoq(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1
    assert message.format(**names) in result.stderr
    assert not out.exists()


# Both transitions fall due at once, again and again: the clock never moves.
NO_PROGRESS = """
failed_when = "part"

[simulation]
horizon = 100
runs = 10

[components.part]
transitions = [
  { from = "working", to = "failed", distribution = "fixed", at = 0 },
  { from = "failed", to = "working", distribution = "fixed", at = 0 },
]
"""


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((), "The model makes no progress at time unit 0"),
        # The results of two billion runs do not fit beside the engine's call: refused
        # before any run, by the command's own estimate.
        (("--runs", "2000000000"), "2,000,000,000 runs with curves of 100 points need about"),
        # Curves of a point per unit over the longest horizon, likewise.
        (
            ("--horizon", "2147483647", "--points", "2147483647"),
            "10 runs with curves of 2,147,483,647 points need about",
        ),
    ],
    ids=["no-progress", "memory-runs", "memory-points"],
)
def test_refusals_at_run_time_name_the_model_file(tmp_path, args, message):
    model = tmp_path / "loop.toml"
    model.write_text(NO_PROGRESS)
    result = run_tavoq("run", model, "--out", tmp_path / "out", *args)
    assert result.returncode == 1
    assert result.stderr.startswith(f"tavoq: error: {model}: {message}"), result.stderr
    assert result.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    ("args", "refused"),
    [
        (["--target-ci", "0.5"], True),  # up to 10,000,000 runs, which need about 2 GB
        (["--target-ci", "0.5", "--max-runs", "100000"], False),
        (["--runs", "2000"], False),
    ],
)
def test_the_memory_check_counts_the_runs_a_target_may_reach(
    tmp_path, capsys, monkeypatch, args, refused
):
    from tavoq_tools.run import memory

    monkeypatch.setattr(memory, "available_bytes", lambda: 512 * 2**20)
    out = tmp_path / "out"
    code = cli.main(["run", str(STATION), "--horizon", "100", "--out", str(out), *args])
    err = capsys.readouterr().err
    if refused:
        assert code == 1
        assert err == (
            f"tavoq: error: {STATION}: 10,000,000 runs (the default --max-runs) with curves of "
            "100 points need about 1,907 MiB for their results, and 512 MiB are available: "
            "give a smaller --max-runs or fewer --points\n"
        )
        assert not out.exists()
    else:
        assert code == 0, err


@pytest.mark.parametrize(
    ("failure", "reason"),
    [
        (
            'raise ImportError("libpng16.so.16: failed to map segment from shared object")',
            "ImportError: libpng16.so.16: failed to map segment from shared object",
        ),
        ("raise MemoryError", "MemoryError: not enough memory"),
        ("import kiwisolver_that_is_missing", "No module named 'kiwisolver_that_is_missing'"),
    ],
    ids=["library", "memory", "dependency"],
)
@pytest.mark.parametrize("option", ["--plot", "--out"])
def test_a_matplotlib_that_fails_to_load_fails_the_command_with_its_reason(
    tmp_path, capsys, monkeypatch, failure, reason, option
):
    # Installed, found, and failing as it loads (out of address space, a library gone).
    fake = tmp_path / "site" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text(failure + "\n")
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    target = tmp_path / ("figure.png" if option == "--plot" else "out")
    code = cli.main(["run", str(STATION), "--runs", "20", "--horizon", "100", option, str(target)])
    captured = capsys.readouterr()
    assert code == 1 and captured.out == ""
    assert captured.err.startswith(f"tavoq: error: {option} {target}: the figure cannot be made: ")
    assert reason in captured.err and captured.err.count("\n") == 1
    assert not target.exists()


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
        # The counts come from the engine per component, which the line names.
        assert f"negative (part {count:,})" in warnings[0]
    else:
        assert warnings == []


@NOT_UNDER_ASAN
@pytest.mark.parametrize("outputs", [False, True], ids=["report", "out-and-plot"])
def test_a_horizon_of_ten_million_units_runs_in_a_gibibyte(tmp_path, outputs):
    # Every curve held an entry per time unit (110 bytes a unit, 700 with --out), so 10^7
    # units were killed in 1 GiB. The curves have 2,000 points now, whatever the horizon.
    out, png = tmp_path / "out", tmp_path / "plot.png"
    extra = ["--out", str(out), "--plot", str(png)] if outputs else []

    def one_gibibyte():
        resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))

    result = subprocess.run(
        [*COMMAND, "run", str(STATION), "--horizon", "10000000", "--runs", "20", *extra],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=one_gibibyte,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert "(bins of 5000 h:" in result.stdout
    if outputs:
        assert len((out / "curves.csv").read_text().splitlines()) == 1 + 2000


@NOT_UNDER_ASAN
def test_json_stays_json_with_few_file_descriptors(tmp_path):
    # Under ulimit -n 4 the capture of the engine's lines could not open its file, so the
    # lines went to stdout and --json printed invalid JSON with exit 0. The engine counts
    # those draws now; nothing is captured, and stdout holds the JSON alone.
    model = tmp_path / "spread.toml"
    model.write_text(SPREAD_OUT.format(failure="normal", parameters="mean = 1, stddev = 100"))

    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))

    result = subprocess.run(
        [*COMMAND, "run", str(model), "--json", "--threads", "2"],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=few_descriptors,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["n_runs"] == 400
    assert "nextTimeDouble" not in result.stdout + result.stderr
    [line] = [line for line in result.stderr.splitlines() if "warning" in line]
    assert "negative (part " in line


def test_runs_without_a_stdout(tmp_path, monkeypatch):
    # Daemons and cron jobs may have no stdout at all, or a closed descriptor 1.
    model = tmp_path / "spread.toml"
    model.write_text(SPREAD_OUT.format(failure="normal", parameters="mean = 1, stddev = 100"))
    out = tmp_path / "out"
    closed = subprocess.run(
        ["bash", "-c", 'exec "$0" run "$1" --out "$2" >&-', COMMAND[0], str(model), str(out)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert closed.returncode == 0, closed.stderr  # Python drops prints without a stdout
    assert "tavoq: warning:" in closed.stderr and "Traceback" not in closed.stderr
    assert (out / "summary.json").exists()
    monkeypatch.setattr(sys, "stdout", None)
    with pytest.warns(Warning):
        stats = simulate_module.simulate(load_model(model), runs=50)
    assert stats.n_runs == 50


@pytest.mark.parametrize(
    ("args", "code"),
    [
        (["run", STATION, "--runs", 50, "--horizon", 500, "--out", "{out}"], 0),
        (["run", "{bad}", "--out", "{out}"], 2),
        (["check", STATION], 0),
    ],
)
def test_runs_without_a_stderr(tmp_path, args, code):
    # 2>&-: the messages go nowhere, the exit code says it all, and no file opened later takes
    # descriptor 2 (the engine's or Python's last words would land in it).
    out, bad = tmp_path / "out", tmp_path / "bad.toml"
    bad.write_text(BAD_MODEL)
    args = [str(a).format(out=out, bad=bad) for a in args]
    closed = subprocess.run(
        ["bash", "-c", 'exec "$@" 2>&-', "bash", *COMMAND, *args],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert closed.returncode == code and closed.stderr == ""
    if "--out" in args and code == 0:
        expected = FILES if has_matplotlib() else FILES[:-1]
        assert sorted(p.name for p in out.iterdir()) == expected
        assert json.loads((out / "summary.json").read_text())["n_runs"] == 50
    else:
        assert not out.exists()


# Loads what `tavoq check` needs, then caps the address space at what is mapped plus the given
# MiB: the reading of the model file asked for 64 MiB at once, whatever its size.
UNDER_A_CAP = """
import resource, sys
import numpy, tavoq, tomllib
import tavoq_tools.model.cutsets, tavoq_tools.formats.file, tavoq_tools.model.system
from tavoq_tools.cli import main

room = int(sys.argv.pop(1)) << 20
with open("/proc/self/status") as f:
    mapped = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (mapped + room, mapped + room))
sys.exit(main(sys.argv[1:]))
"""


@NOT_UNDER_ASAN
@pytest.mark.parametrize(("room", "code"), [(0, 1), (32, 0)])
def test_a_tight_address_space_is_named_or_enough(room, code):
    result = subprocess.run(
        [sys.executable, "-c", UNDER_A_CAP, str(room), "check", str(STATION)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == code, result.stderr
    if code:
        assert result.stderr == (
            "tavoq: error: not enough memory: the machine's memory or the process's "
            "address-space limit (ulimit -v) is used up\n"
        )
    else:
        assert "Minimal cut sets (5)" in result.stdout


def test_a_library_that_fails_to_map_is_one_line_naming_memory(capsys, monkeypatch):
    # numpy wraps the loader's error in a page of advice; the first line of the cause is it.
    def failing_load(args, **options):
        try:
            raise ImportError("libx.so: failed to map segment from shared object")
        except ImportError as cause:
            raise ImportError("IMPORTANT: PLEASE READ THIS\n\nmany lines") from cause

    monkeypatch.setattr(cli, "_load", failing_load)
    assert cli.main(["check", str(STATION)]) == 1
    assert capsys.readouterr().err == (
        "tavoq: error: cannot load a module the command needs: libx.so: failed to map "
        "segment from shared object: not enough memory, or the address-space limit "
        "(ulimit -v) reached\n"
    )


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


@NOT_UNDER_ASAN
def test_an_endless_model_file_is_refused_with_exit_2():
    def limited():  # a reader without bound dies of this instead of filling the machine
        resource.setrlimit(resource.RLIMIT_AS, (4 * 2**30, 4 * 2**30))

    result = subprocess.run(
        [*COMMAND, "check", "/dev/zero"],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=limited,
        check=False,
    )
    assert result.returncode == 2, result.stderr
    assert result.stderr == "/dev/zero: the file is larger than 64 MiB: not a model file\n"


# Many comments ahead of the text, once told apart by a pattern that tried every way of
# splitting them: 161 bytes took forever.
@pytest.mark.parametrize(
    ("text", "code", "said"),
    [
        ("/**/" * 60 + "\n[simulation]\n", 2, "TOML syntax"),
        (
            "/* a */ // b\n" * 40
            + 'toplevel "T";\n"T" or "A" "B";\n"A" lambda=0.1;\n"B" lambda=0.1;\n',
            0,
            "valid model",
        ),
    ],
    ids=["toml-after-comments", "galileo-after-comments"],
)
def test_a_model_without_extension_is_told_apart_in_one_pass(tmp_path, text, code, said):
    model = tmp_path / "model"
    model.write_text(text)
    # Read through a pipe, as <(...) gives it: no extension, and no second reading.
    result = subprocess.run(
        ["bash", "-c", 'exec "$0" check <(cat "$1")', COMMAND[0], str(model)],
        capture_output=True,
        text=True,
        timeout=120,  # a guard only: the answer is the assertion
        check=False,
    )
    assert result.returncode == code, result.stderr
    assert said in (result.stdout if code == 0 else result.stderr)


def test_check_lists_components_and_minimal_cutsets():
    result = run_tavoq("check", STATION)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "  pump_1, pump_2, pump_3 (count = 3): states running, failed" in lines
    assert "    stuck -> working: inspection every 730 h" in lines
    cutsets = lines[lines.index("Minimal cut sets (5):") + 1 :]
    assert cutsets == [
        "  1. valve",
        "  2. control_unit",
        "  3. pump_1 & pump_2",
        "  4. pump_1 & pump_3",
        "  5. pump_2 & pump_3",
    ]


STOPS = [
    (signal.SIGINT, 130, "tavoq: interrupted\n"),
    (signal.SIGTERM, 143, "tavoq: stopped by SIGTERM\n"),
    (signal.SIGHUP, 129, "tavoq: stopped by SIGHUP\n"),
]


@pytest.mark.parametrize(("signum", "code", "said"), STOPS, ids=["ctrl-c", "sigterm", "sighup"])
def test_a_signal_stops_a_long_batch_with_its_exit_code_and_no_files(tmp_path, signum, code, said):
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [*COMMAND, "run", str(STATION), "--runs", "3000000", "--out", str(out)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # The model paragraph is printed (and flushed) just before the runs start.
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        assert ready, "the command printed nothing within 60 s"
        assert proc.stdout.readline().startswith("Pumping station")
        time.sleep(0.5)
        assert proc.poll() is None, "the batch ended before it could be interrupted"
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == code
    assert err == said
    assert not out.exists()


def test_a_second_run_into_the_same_directory_is_refused_while_the_first_runs(tmp_path):
    out = tmp_path / "out"
    first = subprocess.Popen(
        [*COMMAND, "run", str(STATION), "--runs", "3000000", "--out", str(out)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        ready, _, _ = select.select([first.stdout], [], [], 60)
        assert ready and first.stdout.readline().startswith("Pumping station")
        second = run_tavoq("run", STATION, "--runs", 50, "--horizon", 500, "--out", out)
        assert first.poll() is None, "the first run ended before the second started"
        first.send_signal(signal.SIGINT)
        first.communicate(timeout=10)
    finally:
        if first.poll() is None:
            first.kill()
            first.wait()
    assert second.returncode == 2
    assert second.stderr == f"--out {out}: {out} is being written by another tavoq run\n"
    assert first.returncode == 130
    assert not out.exists()  # made for the lock, and removed with it: nothing was written
    again = run_tavoq("run", STATION, "--runs", 50, "--horizon", 500, "--out", out)
    assert again.returncode == 0, again.stderr
    assert ".tavoq.lock" not in [p.name for p in out.iterdir()]


@pytest.mark.parametrize("planted", ["link", "no-locks"])
def test_an_out_directory_that_cannot_be_locked_is_refused_and_left_as_it_was(
    tmp_path, capsys, monkeypatch, planted
):
    import errno
    import fcntl

    out, elsewhere = tmp_path / "out", tmp_path / "elsewhere"
    if planted == "link":
        out.mkdir()
        (out / ".tavoq.lock").symlink_to(elsewhere)
        said = f"{out}/.tavoq.lock is a symbolic link: tavoq does not follow it; remove it"
    else:

        def no_locks(fd, operation):
            raise OSError(errno.ENOLCK, os.strerror(errno.ENOLCK))

        monkeypatch.setattr(fcntl, "flock", no_locks)
        said = "the file system does not support locks (No locks available)"
    code = cli.main(["run", str(STATION), "--runs", "20", "--horizon", "100", "--out", str(out)])
    err = capsys.readouterr().err
    assert code == 2
    assert err.startswith(f"--out {out}: ") and said in err and err.count("\n") == 1
    assert not elsewhere.exists()
    assert (
        [p.name for p in out.iterdir()] == [".tavoq.lock"]
        if planted == "link"
        else not out.exists()
    )


@pytest.mark.parametrize("command", ["convert", "run"])
def test_a_stream_output_is_written_into_and_never_replaced(tmp_path, command):
    # /dev/stdout is a link to the descriptor: written through, as /dev/null or a FIFO are.
    # The figure goes into a FIFO through a link to it, read as it comes.
    if command == "convert":
        link, made = tmp_path / "tree.toml", ["tree.dft", "tree.toml"]
        link.symlink_to("/dev/stdout")
        tree = tmp_path / "tree.dft"
        tree.write_text('toplevel "T";\n"T" or "A" "B";\n"A" lambda=0.1;\n"B" lambda=0.2;\n')
        args = ["convert", tree, "-o", link, "--mission-time", "10"]
    else:
        if not has_matplotlib():
            pytest.skip("the figure needs matplotlib")
        link, made = tmp_path / "figure.png", ["figure.png", "pipe"]
        os.mkfifo(tmp_path / "pipe")
        link.symlink_to(tmp_path / "pipe")
        read = fifo_reader(tmp_path / "pipe")
        args = ["run", STATION, "--runs", 20, "--horizon", 100, "--plot", link]
    result = subprocess.run(
        [*COMMAND, *map(str, args)], capture_output=True, timeout=120, check=False
    )
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and sorted(p.name for p in tmp_path.iterdir()) == made
    if command == "convert":
        assert result.stderr == f"Wrote {link}\n".encode()
        model = model_from_dict(tomllib.loads(result.stdout.decode()))
        assert model == load_model(tmp_path / "tree.dft", mission_time=10)
    else:
        assert read().startswith(b"\x89PNG\r\n\x1a\n")
        assert f"Wrote {link}".encode() in result.stdout


# The console script's own lines, with Ctrl-C arriving as the given module starts to load
# (the finder is a plain class: importlib.abc would load typing before the command does).
CTRL_C_AT_IMPORT = """
import os, signal, sys

module = sys.argv.pop(1)

class CtrlC:
    def find_spec(self, name, path=None, target=None):
        if name == module:
            sys.meta_path.remove(self)
            os.kill(os.getpid(), signal.SIGINT)
        return None

sys.meta_path.insert(0, CtrlC())
from tavoq_tools.__main__ import main
sys.exit(main())
"""


def test_check_ends_the_process_at_once_yet_says_everything(tmp_path, capsys):
    # The console script ends without freeing the model: what is still buffered, far more
    # than a pipe holds, must be written first; and a reader that goes away early is exit
    # code 1 without a traceback, as before.
    tree = tmp_path / "wide.dft"
    events = [f"e{i}" for i in range(3000)]
    tree.write_text(
        f"toplevel top;\ntop or {' '.join(events)};\n"
        + "".join(f"{e} lambda=1e-4;\n" for e in events)
    )
    argv = ["check", str(tree), "--mission-time", "10"]
    assert cli.main(argv) == cli.EXIT_OK
    said = capsys.readouterr().out
    buffered = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    result = subprocess.run(
        [*COMMAND, *argv], capture_output=True, text=True, check=False, env=buffered
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == said and len(said) > 100_000
    with subprocess.Popen(
        [*COMMAND, *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=buffered
    ) as reader:
        assert reader.stdout is not None and reader.stderr is not None
        reader.stdout.read(10)
        reader.stdout.close()
        assert reader.wait(timeout=120) == cli.EXIT_FAILED
        assert reader.stderr.read() == b""


@pytest.mark.parametrize(
    "module",
    [
        # What the command's module loads as it is imported ...
        "tavoq_tools.cli",
        "typing",
        "argparse",
        "tavoq_tools.errors",
        # ... and what it loads within its own handling of Ctrl-C.
        "numpy",
        "tavoq",
        "tomllib",
        "tavoq_tools.model.system",
    ],
)
def test_ctrl_c_while_the_command_starts_is_one_line_and_130(module):
    result = subprocess.run(
        [sys.executable, "-c", CTRL_C_AT_IMPORT, module, "run", str(STATION), "--runs", "10"],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (result.returncode, result.stderr) == (130, "tavoq: interrupted\n")


# Sends a signal to the command itself at the second file it stages (its data written, not yet
# in place) or at its first rename, then lets the writer go on.
SIGNAL_WHILE_WRITING = """
import os, sys
from tavoq_tools import cli

moment, signum, *args = sys.argv[1:]
calls = []

def signalling(name, real):
    def call(*a):
        result = real(*a)
        calls.append(name)
        if calls.count(name) == (2 if name == "fsync" else 1) and name == moment:
            os.kill(os.getpid(), int(signum))
        return result
    return call

os.fsync = signalling("fsync", os.fsync)
os.replace = signalling("replace", os.replace)
sys.exit(cli.main(args))
"""


@pytest.mark.parametrize("moment", ["fsync", "replace"], ids=["staging", "renames"])
@pytest.mark.parametrize(("signum", "code", "said"), STOPS[1:], ids=["sigterm", "sighup"])
def test_a_signal_while_the_files_are_written_leaves_one_whole_set(
    tmp_path, moment, signum, code, said
):
    out, plot = tmp_path / "out", tmp_path / "figures" / "new" / "station.png"
    out.mkdir()
    expected = FILES if has_matplotlib() else FILES[:-1]
    for name in expected:
        (out / name).write_text("old\n")
    # Runs enough not to be warned of: stderr holds the signal's line alone.
    args = ["run", STATION, "--runs", FEW_RUNS, "--horizon", 500, "--out", out, "--plot", plot]
    result = subprocess.run(
        [sys.executable, "-c", SIGNAL_WHILE_WRITING, moment, str(int(signum)), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (result.returncode, result.stderr) == (code, said)
    assert sorted(p.name for p in out.iterdir()) == expected  # no staged or kept copies
    contents = {(out / name).read_bytes() for name in expected}
    if moment == "fsync":  # before any rename: the old set, and no new directory
        assert contents == {b"old\n"}
        assert not plot.parent.parent.exists()
    else:  # the renames had begun: they all went through
        assert b"old\n" not in contents
        assert json.loads((out / "summary.json").read_text())["n_runs"] == FEW_RUNS
        assert [p.name for p in plot.parent.iterdir()] == [plot.name] or not has_matplotlib()


@pytest.mark.parametrize(
    ("moment", "said"),
    [
        ("fsync", "a run killed while writing here left 1 file unfinished: removed"),
        (
            "replace",
            "a run killed while putting its files in place here left its set half done: the "
            "other {rest} files put in place",
        ),
    ],
    ids=["staging", "renames"],
)
def test_the_run_after_a_killed_one_cleans_up_and_says_so(tmp_path, moment, said):
    out = tmp_path / "out"
    args = ["run", STATION, "--runs", 100, "--horizon", 500, "--out", out]
    killer = SIGNAL_WHILE_WRITING.replace('(2 if name == "fsync" else 1)', "3")
    killed = subprocess.run(
        [sys.executable, "-c", killer, moment, str(int(signal.SIGKILL)), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    expected = FILES if has_matplotlib() else FILES[:-1]
    assert sorted(p.name for p in out.iterdir()) != expected  # leftovers
    again = run_tavoq(*args)
    assert again.returncode == 0, again.stderr
    said = said.format(rest=len(expected) - 3)  # three renames made before the kill
    assert again.stderr.startswith(f"tavoq: --out {out}: {said}"), again.stderr
    assert again.stderr.count("\n") == 1
    assert sorted(p.name for p in out.iterdir()) == expected
    assert json.loads((out / "summary.json").read_text())["n_runs"] == 100


COOLING = ROOT / "examples" / "cooling_system.toml"


def test_check_shows_the_gates_the_depth_and_the_smallest_cutsets():
    result = run_tavoq("check", COOLING, "--cutsets", "3")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[lines.index("Gates (6):") + 1] == "  power = grid and diesel"
    assert "Logic: 7 gates in all, depth 4" in lines
    listed = lines[lines.index("Minimal cut sets (15; the 3 smallest):") + 1 :]
    assert listed == ["  1. heat_exchanger", "  2. controller", "  3. pump_a & pump_b"]
    bad = run_tavoq("check", COOLING, "--cutsets", "-1")
    assert bad.returncode == 2 and "--cutsets" in bad.stderr


def test_order_gates_in_a_toml_model_run_and_say_why_there_are_no_cutsets(tmp_path):
    path = tmp_path / "backup.toml"
    path.write_text(
        'failed_when = "lost or not(alarm)"\n[simulation]\nhorizon = 500\nruns = 400\n'
        '[gates]\nlost = "pand(pump, backup)"\n'
        '[components.pump]\nstates = ["up", "down"]\n'
        'transitions = [{ from = "up", to = "down", distribution = "exponential", mttf = 300 }]\n'
        '[components.backup]\nstates = ["up", "down"]\n'
        'transitions = [{ from = "up", to = "down", distribution = "exponential", mttf = 600 }]\n'
        '[components.alarm]\nstates = ["armed", "dead"]\n'
    )
    check = run_tavoq("check", path)
    assert check.returncode == 0, check.stderr
    assert "Minimal cut sets: none, since the logic is order-dependent (pand)" in check.stdout
    out = tmp_path / "out"
    result = run_tavoq("run", path, "--out", out)
    assert result.returncode == 0, result.stderr
    assert "No cut-set table: the logic is order-dependent (pand)" in result.stdout
    summary = json.loads((out / "summary.json").read_text())
    # not(alarm) holds from the start, the alarm never failing: down all the time, one
    # failure per run at unit 0, caused by no component.
    assert summary["failure_probability"]["value"] == 1
    assert summary["mean_unavailability"]["value"] == 1
    assert summary["failures_per_run"]["value"] == 1
    assert all(c["criticality"]["value"] == 0 for c in summary["components"])


def series_of_groups(groups, size):
    gates = "\n".join(
        f'g{g} = "{" or ".join(f"c{g}_{i}" for i in range(1, size + 1))}"' for g in range(groups)
    )
    comps = "".join(f"[components.c{g}]\ncount = {size}\n" for g in range(groups))
    top = " and ".join(f"g{g}" for g in range(groups))
    return f'failed_when = "{top}"\n[simulation]\nhorizon = 10\n[gates]\n{gates}\n{comps}'


@pytest.mark.parametrize(
    ("text", "count"),
    [
        (series_of_groups(11, 3), 3**11),
        (series_of_groups(3, 50), 50**3),
        (
            'failed_when = "atleast(5, '
            + ", ".join(f"c_{i}" for i in range(1, 31))
            + ')"\n[simulation]\nhorizon = 10\n[components.c]\ncount = 30\n',
            math.comb(30, 5),
        ),
    ],
    ids=["11-groups-of-3", "3-trains-of-50", "atleast-5-of-30"],
)
def test_check_counts_what_expansion_refused(tmp_path, text, count):
    path = tmp_path / "big.toml"
    path.write_text(text)
    lines = check_text(load_model(path), str(path), 2).splitlines()
    header = lines.index(f"Minimal cut sets ({count:,}; the 2 smallest):")
    assert len(lines) == header + 3


def plant(groups, per_group, gate_kind="or", top="and", horizon=2000):
    """Independent groups of repairable causes, each group a named gate, under one top."""
    lines = ['failed_when = "' + f" {top} ".join(f"g{k}" for k in range(groups)) + '"', ""]
    lines += ["[simulation]", f"horizon = {horizon}", "runs = 50", "seed = 3", "", "[gates]"]
    for k in range(groups):
        names = f" {gate_kind} ".join(f"c_{k * per_group + i + 1}" for i in range(per_group))
        lines.append(f'g{k} = "{names}"')
    lines += ["", "[components.c]", f"count = {groups * per_group}", 'states = ["up", "down"]']
    lines += [
        "transitions = [",
        '  { from = "up", to = "down", distribution = "exponential", mttf = 300 },',
        '  { from = "down", to = "up", distribution = "exponential", mttf = 24 },',
        "]",
    ]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize(
    ("text", "cutsets"),  # the minimal cut sets, once refused past 100,000
    [
        (plant(11, 3), "177,147"),  # 11 groups of 3 redundant causes: 3^11
        (plant(3, 50), "125,000"),  # three trains, each failed by any of 50 causes
        (plant(1, 20_000, top="or"), "20,000"),  # 20,000 components in series
    ],
    ids=["11-groups-of-3", "three-trains-of-50", "series-20000"],
)
def test_fault_trees_past_the_cutset_table_run(tmp_path, capsys, text, cutsets):
    path = tmp_path / "plant.toml"
    path.write_text(text)
    out = tmp_path / "out"
    assert cli.main(["run", str(path), "--out", str(out), "--threads", "1"]) == 0
    report = capsys.readouterr().out
    assert "Gates (intermediate events" in report
    assert "No cut-set table:" in report
    assert f"{cutsets} minimal cut sets" in report
    gates = (out / "gates.csv").read_text().splitlines()
    summary = json.loads((out / "summary.json").read_text())
    assert (
        len(gates) - 1
        == len(summary["gates"])
        == len(text.split("[gates]")[1].split("[")[0].strip().splitlines())
    )
    assert summary["cutsets"] == [] and summary["cutset_note"]


@pytest.mark.parametrize("runs", [FEW_RUNS - 1, FEW_RUNS])
def test_a_batch_of_few_runs_is_warned_of_in_one_line(tmp_path, runs):
    model = tmp_path / "few.toml"
    model.write_text(SPREAD_OUT.format(failure="exponential", parameters="mttf = 50"))
    result = run_tavoq("run", model, "--json", "--runs", runs)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["n_runs"] == runs
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    if runs < FEW_RUNS:
        assert warnings == [f"tavoq: warning: {FewRunsWarning(runs, FEW_RUNS)}"]
    else:
        assert warnings == []


RARE_MODEL = """
failed_when = "atleast(2, unit_1, unit_2, unit_3)"

[simulation]
horizon = 1000
runs = 20000
seed = 3

[components.unit]
count = 3
transitions = [
  { from = "working", to = "failed", distribution = "exponential", rate = 6e-8 },
  { from = "failed", to = "working", distribution = "exponential", rate = 0.02 },
]
"""


def test_rare_mode_estimates_what_crude_runs_never_see(tmp_path):
    model = tmp_path / "trains.toml"
    model.write_text(RARE_MODEL)
    result = run_tavoq("run", model, "--rare", "--json")
    assert result.returncode == 0, result.stderr
    estimate = json.loads(result.stdout)
    value = estimate["unreliability"]
    # Near 1e-9 (the exact answer is held to its interval in test_exact_answers).
    assert value["lower"] < value["value"] < value["upper"] < 2e-9
    assert value["value"] > 1e-9 / 2 and estimate["runs"] == 20000 and estimate["hits"] > 1000
    text = run_tavoq("run", model, "--rare", "--target-ci", "0.05").stdout
    assert "P(system failed by unit 1000) = " in text and "Target +-5.0%: met" in text
    # Components that act on each other run by splitting, and auto says so; failure biasing
    # does not take them, which is said, not guessed.
    plant = ROOT / "examples" / "plant.toml"
    text = run_tavoq("run", plant, "--rare", "--runs", "200", "--horizon", "500").stdout
    assert "RESTART splitting" in text and "act on each other" in text
    # Its transmitters' common cause takes the system one level nearer failure, no more:
    # splitting divides it, so it is drawn as its law says.
    assert "drawn x" not in text
    refused = run_tavoq("run", plant, "--rare", "sampling")
    assert refused.returncode == 2 and "failure biasing takes models without" in refused.stderr
