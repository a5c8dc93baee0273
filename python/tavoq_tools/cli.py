"""The ``tavoq`` command: ``tavoq run MODEL`` simulates a model file and reports,
``tavoq check MODEL`` validates it and shows what it describes.

Exit codes: 0 done; 1 the run failed (the engine refused to go on, a file could not be
written); 2 a bad model or bad arguments; 130 interrupted (Ctrl-C); 143 and 129 stopped by
SIGTERM and SIGHUP, which are taken as Ctrl-C is. Every error is one line on stderr. Nothing
is written until the runs are complete, so a bad model, a failed run or an interruption leaves
no output files behind.

The progress bar is tqdm's: a small library with one purpose, already a dependency of the
package, that writes to stderr (stdout stays clean for the report or --json) and stays silent
when stderr is not a terminal. The bar only counts the chunks of the batch; run i is seeded
seed + i in any chunk, so the numbers are the same with and without it.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import logging
import os
import signal
import sys
import textwrap
import threading
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from .errors import (
    INT32_MAX,
    INT32_MIN,
    DaskMissingError,
    FewRunsWarning,
    ModelError,
    NegativeDelayWarning,
    check_integer,
)

# The rest of the package is imported where it is used: within main, a Ctrl-C while numpy
# and the engine load ends in one line instead of a traceback.
if TYPE_CHECKING:
    from .analysis.importance import ImportanceResult
    from .model.system import Model
    from .results.counts import BatchStatistics
    from .results.summary import Summary

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# A scheduler that does not answer within this time is taken as unreachable.
CONNECT_TIMEOUT_S = 10
# How long a run on a cluster waits for a worker when it has none (--worker-timeout).
WORKER_TIMEOUT_S = 600.0

RUN_EXAMPLE = """\
example:
  tavoq run examples/pumping_station.toml --runs 200000 --out build/station --plot station.png

  tavoq run examples/pumping_station.toml --target-ci 0.05 --max-runs 5000000
  tavoq run examples/pumping_station.toml --scheduler tcp://host:8786

Options override the model's [simulation] settings. With --out DIR the command writes
summary.json, curves.csv, components.csv, cutsets.csv and summary.png into DIR. A cluster
gives the same numbers as this machine (docs/scale-out.md).
"""

SWEEP_EXAMPLE = """\
example:
  tavoq sweep examples/cooling_system.toml --set "components.pump_a.transitions[0].scale=2000:16000:4:log"
  tavoq sweep examples/plant.toml --set crews.mechanic.count=1,2,3 --runs 20000
  tavoq sweep examples/cooling_system.toml --tornado 20% --out build/tornado

KEY is a path into the model file as written (for a Galileo or Open-PSA tree, into the TOML
model tavoq convert writes for it). Every point runs the same runs on the same seeds, so a
point equals a separate run of its model bit for bit. --out DIR writes sweep.csv (or
tornado.csv), the same as JSON and the figure.
"""

CHECK_EXAMPLE = """\
example:
  tavoq check examples/pumping_station.toml
  tavoq check examples/cooling_system.toml --cutsets 50

Prints the components with their states and transitions, the gates of the failure logic and
its depth, the number of minimal cut sets and the smallest of them (--cutsets N, 20 unless
told; a large tree is counted within a bounded amount of work, so the number may be a lower
bound: see docs/model-format.md). Exit code 2 and a one-line message naming the file and key
on a bad model.
"""

CONVERT_EXAMPLE = """\
example:
  tavoq convert tree.dft -o tree.toml --step 0.1 --mission-time 1000

The TOML model has rates per step and a horizon of mission time / step; see
docs/model-format.md for how the step biases the answer.
"""


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (the usage stays available through --help)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _integer(low: int, high: int = INT32_MAX) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value: object
        try:
            value = int(text)
        except ValueError:
            value = text  # refused below, shown as given
        return check_integer("", value, low, high, error=_argument_error)

    return parse


def _argument_error(_name: str, message: str) -> Exception:
    return argparse.ArgumentTypeError(message)


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = None
    if value is None or not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number such as 0.1, got {text!r}")
    return value


def _probability(text: str) -> float:
    value = _fraction(text)
    if value >= 1.0:
        raise argparse.ArgumentTypeError(f"must be a number in (0, 1) such as 0.5, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    from .model.cutsets import MAX_LISTED
    from .output.model_text import CHECK_CUTSETS

    parser = _Parser(
        prog="tavoq",
        description="Monte Carlo simulation of the failures of systems made of components.",
        epilog="example:\n  tavoq run examples/pumping_station.toml\n\n"
        "The model file format is described in docs/model-format.md.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser(
        "run",
        help="simulate a model file and print its summary",
        description="Simulate a model file; print the model, the summary with its 95% "
        "intervals,\nand the component and cut-set tables.",
        epilog=RUN_EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _run_options(run)

    check = commands.add_parser(
        "check",
        help="validate a model file and show its components and minimal cut sets",
        description="Validate a model file and print its components, states, transitions "
        "and minimal cut sets.",
        epilog=CHECK_EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _model_file_arguments(check)
    check.add_argument(
        "--cutsets",
        type=_integer(0, MAX_LISTED),
        default=CHECK_CUTSETS,
        metavar="N",
        help=f"list the N smallest minimal cut sets (default {CHECK_CUTSETS})",
    )

    sweep = commands.add_parser(
        "sweep",
        help="run a model over a grid of parameter values, or a tornado of its parameters",
        description="Run a model at every point of a grid of parameter values (--set), or "
        "each parameter low and high\n(--tornado), all on the same runs and seeds: the "
        "changes between points come with\nintervals over the paired runs.",
        epilog=SWEEP_EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _sweep_options(sweep)

    convert = commands.add_parser(
        "convert",
        help="write a Galileo or Open-PSA fault tree as a TOML model file",
        description="Write the TOML model of a Galileo (.dft) or Open-PSA (.xml) fault tree, "
        "to edit it further;\nrunning it gives the same numbers as running the original.",
        epilog=CONVERT_EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert.add_argument(
        "model", metavar="IN", help="fault tree file (Galileo .dft, Open-PSA .xml)"
    )
    convert.add_argument(
        "-o", "--output", metavar="OUT", required=True, help="the TOML file to write"
    )
    _fault_tree_options(convert)
    return parser


def _run_options(run: argparse.ArgumentParser) -> None:
    """The model file and options of ``tavoq run``."""
    _model_file_arguments(run)
    run.add_argument("--runs", type=_integer(1), metavar="N", help="number of runs")
    run.add_argument(
        "--seed", type=_integer(INT32_MIN), metavar="S", help="seed: run i is seeded S + i"
    )
    run.add_argument("--threads", type=_integer(1), metavar="T", help="threads to run on")
    run.add_argument("--horizon", type=_integer(1), metavar="H", help="time units to simulate")
    run.add_argument(
        "--points",
        type=_integer(1),
        metavar="N",
        help="entries of the unavailability and R(t) curves (default 2000; a longer horizon "
        "is binned, every other figure stays exact)",
    )
    run.add_argument("--out", metavar="DIR", help="write the summary files into DIR")
    run.add_argument("--plot", metavar="FILE", help="write the figure to FILE (PNG)")
    run.add_argument(
        "--json", action="store_true", help="print the summary as JSON instead of text"
    )
    run.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786 "
        "(needs pip install tavoq[dask]; same numbers as on this machine)",
    )
    run.add_argument(
        "--worker-timeout",
        type=_fraction,
        metavar="SECONDS",
        help="with --scheduler, give up (exit 1) once the cluster has had no worker for this "
        f"long (default {WORKER_TIMEOUT_S:g})",
    )
    run.add_argument(
        "--target-ci",
        type=_fraction,
        metavar="F",
        help="run until the 95%% interval of the mean unavailability is within +-F of it "
        "(0.1 for +-10%%); --runs is then the first round",
    )
    run.add_argument(
        "--rare",
        nargs="?",
        const="",
        choices=("", "auto", "sampling", "splitting"),  # model.system.RARE_METHODS
        metavar="METHOD",
        help="rare-event mode: the probability that the system fails within the horizon, for "
        "systems that crude runs almost never see fail (models without interactions): "
        "sampling (failure biasing), splitting (RESTART splitting), or auto (the "
        "default: picks one and says why); --target-ci then bounds the relative half-width; "
        "the model file's [rare] table gives the settings not given here",
    )
    run.add_argument(
        "--bias",
        type=_probability,
        metavar="P",
        help="with --rare: the probability the biased runs give to each next failure "
        "(default 0.5)",
    )
    run.add_argument(
        "--importance",
        nargs="?",
        const="",
        metavar="NAMES",
        help="importance measures (Birnbaum, criticality, Fussell-Vesely, RAW, RRW) of the "
        "components and named gates NAMES (comma-separated; default all; top:N for the N "
        "components that triggered the most system failures), from held runs on the same "
        "seeds: two more batches per name",
    )
    run.add_argument(
        "--fv-cutsets",
        action="store_true",
        help="with --importance: also the cut-set form of Fussell-Vesely where the minimal "
        "cut sets are listed (one more batch per component)",
    )
    run.add_argument(
        "--uncertainty",
        type=_integer(2),
        metavar="N",
        help="parameter uncertainty: N samples of the parameters given as distributions, "
        "each with --inner-runs runs; the mean and percentiles of the results over them",
    )
    run.add_argument(
        "--inner-runs",
        type=_integer(1),
        metavar="M",
        help="with --uncertainty: runs per sample (default 1000)",
    )
    run.add_argument(
        "--max-runs",
        type=_integer(1),
        metavar="N",
        help="with --target-ci, stop after N runs at most (default 10,000,000, whose results "
        "need about 2 GB)",
    )


def _sweep_options(sweep: argparse.ArgumentParser) -> None:
    _model_file_arguments(sweep)
    sweep.add_argument(
        "--set",
        action="append",
        default=[],
        metavar="KEY=VALUES",
        help="a model-file key path and its values: a list (500,1000,2000) or a range "
        "start:stop:count[:log]; repeat for a grid",
    )
    sweep.add_argument(
        "--tornado",
        metavar="SPREAD",
        help="vary each parameter of each law (or those of --vary) by +-SPREAD (20%% or 0.2) "
        "in turn, and rank them by the change",
    )
    sweep.add_argument(
        "--vary",
        action="append",
        default=[],
        metavar="KEY[=LOW:HIGH]",
        help="with --tornado: a parameter to vary (all of them unless given), with its own "
        "range if given",
    )
    sweep.add_argument(
        "--measure",
        choices=("unavailability", "unreliability", "failures"),
        default="unavailability",
        help="with --tornado: rank by the change in the mean unavailability (default), the "
        "unreliability at the horizon or the failures per run",
    )
    sweep.add_argument("--runs", type=_integer(1), metavar="N", help="runs at every point")
    sweep.add_argument(
        "--seed", type=_integer(INT32_MIN), metavar="S", help="seed: run i is seeded S + i"
    )
    sweep.add_argument("--threads", type=_integer(1), metavar="T", help="threads to run on")
    sweep.add_argument(
        "--scheduler", metavar="ADDRESS", help="run the points on this Dask cluster"
    )
    sweep.add_argument("--out", metavar="DIR", help="write sweep.csv, sweep.json, sweep.png")
    sweep.add_argument("--plot", metavar="FILE", help="write the figure to FILE (PNG)")
    sweep.add_argument("--json", action="store_true", help="print the points as JSON")


def _model_file_arguments(command: argparse.ArgumentParser) -> None:
    """The model file of a command that reads any of the three formats, and its fault-tree
    options."""
    command.add_argument(
        "model", metavar="MODEL", help="model file (TOML, Galileo .dft, Open-PSA .xml)"
    )
    _fault_tree_options(command)


def _fault_tree_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--step",
        type=_fraction,
        metavar="S",
        help="for .dft and .xml files: one time unit lasts S of the file's time (default 1); "
        "each delay is cut by up to one step",
    )
    command.add_argument(
        "--mission-time",
        type=_fraction,
        metavar="T",
        help="for .dft and .xml files: the horizon in the file's time (a whole number of steps)",
    )
    command.add_argument(
        "--top", metavar="NAME", help="for .xml files with several top gates: the top one"
    )


def _load(args: argparse.Namespace, *, any_horizon: bool = False) -> Model:
    return _read(args, any_horizon=any_horizon)[0]


def _read(
    args: argparse.Namespace, *, any_horizon: bool = False
) -> tuple[Model, list[tuple[str, str]]]:
    from .formats.file import read_model_and_laws

    model, renamed, _ = read_model_and_laws(
        args.model,
        step=args.step,
        mission_time=args.mission_time,
        top=args.top,
        any_horizon=any_horizon,
    )
    return model, renamed


class _UsageError(Exception):
    """Bad arguments found after parsing: exit code 2."""


class _Refused(RuntimeError):
    """The runs of a model could not be made (exit code 1); the text names the model file."""


@contextlib.contextmanager
def _naming(file: str) -> Iterator[None]:
    """What refuses a loaded model at run time names its file too, as a load error does: the
    engine's refusals (too little memory, a model that makes no progress) and the limits of
    the failure logic found only when the runs need it."""
    try:
        yield
    except ModelError as err:
        raise (err if err.file else err.in_file(file)) from None
    except (RuntimeError, MemoryError) as err:
        raise _Refused(f"{file}: {_said(err)}") from None


def _with_overrides(model: Model, args: argparse.Namespace) -> Model:
    changes = {
        name: getattr(args, name)
        for name in ("runs", "seed", "threads", "horizon")
        if getattr(args, name) is not None
    }
    if not changes:
        return model
    return dataclasses.replace(model, simulation=dataclasses.replace(model.simulation, **changes))


def _writable_place(option: str, value: str, directory: Path, names: Sequence[str]) -> None:
    """Refuse ``directory`` (to be created if missing) when it cannot take the files
    ``names``. A name that is a stream (/dev/null, a FIFO, /dev/stdout) is written into as
    it is, wherever it lies."""
    from .output.atomic import NotAFileError, is_stream

    try:
        names = [name for name in names if not is_stream(directory / name)]
    except NotAFileError as err:
        raise _UsageError(f"{option} {value}: {err}") from None
    if not names:
        return
    too_long = [p for p in (*directory.parts, *names) if len(os.fsencode(p)) > 255]
    if too_long:
        raise _UsageError(f"{option} {value}: the name {too_long[0][:40]}... is too long")
    existing = next((d for d in (directory, *directory.parents) if os.path.lexists(d)), Path("."))
    if existing.is_symlink() and not existing.exists():
        raise _UsageError(f"{option} {value}: {existing} is a link to nothing")
    if not existing.is_dir():
        raise _UsageError(f"{option} {value}: {existing} is not a directory")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise _UsageError(f"{option} {value}: cannot write in {existing}")
    for name in names:
        if (directory / name).is_dir():
            raise _UsageError(f"{option} {value}: {directory / name} is a directory")


def _check_outputs(args: argparse.Namespace) -> None:
    """Refuse output paths that cannot work before running, not after."""
    from .run.precise import check_max_runs

    try:
        check_max_runs(args.target_ci, args.max_runs, names=("--target-ci", "--max-runs"))
    except ValueError as err:
        raise _UsageError(str(err)) from None
    if args.worker_timeout is not None and args.scheduler is None:
        raise _UsageError(
            "--worker-timeout: the time a cluster may be without workers; give --scheduler too"
        )
    if args.out is not None:
        if not args.out.strip():
            raise _UsageError("--out: give the name of a directory")
        from .output.files import FILES

        extra = ("importance.csv", "importance.png") if args.importance is not None else ()
        _writable_place("--out", args.out, Path(args.out), [*FILES, *extra])
    if args.plot is not None:
        plot = Path(args.plot)
        if plot.suffix.lower() != ".png":
            raise _UsageError(f"--plot {args.plot}: the figure is a PNG; name a .png file")
        _writable_place("--plot", args.plot, plot.parent, [plot.name])
    if args.out is not None or args.plot is not None:
        # Loaded now, so that a matplotlib that fails to load stops the command before the
        # runs rather than costing them: a figure asked for and not made is a failure.
        from .output.figures import FigureError, load_matplotlib

        option = f"--plot {args.plot}" if args.plot is not None else f"--out {args.out}"
        try:
            found = load_matplotlib()
        except FigureError as err:
            raise _Refused(f"{option}: the figure cannot be made: {err}") from None
        if found is None and args.plot is not None:
            raise _UsageError("--plot needs matplotlib: pip install matplotlib")


def _write_files(
    args: argparse.Namespace, summary: Summary, ranked: ImportanceResult | None = None
) -> list[Path]:
    """The --out files and the --plot figure, written as one set (all or none)."""
    if args.out is None and args.plot is None:
        return []
    from .output.atomic import JOURNAL_NAME, write_files
    from .output.files import render_outputs

    files: dict[Path, bytes] = {}
    if args.out is not None:
        files.update(
            {Path(args.out) / name: data for name, data in render_outputs(summary).items()}
        )
        if ranked is not None:
            from .output.importance_text import add_importance, importance_csv, importance_png

            out = Path(args.out)
            document = add_importance(summary.to_dict(), ranked)
            files[out / "summary.json"] = (
                json.dumps(document, indent=2, allow_nan=False) + "\n"
            ).encode()
            files[out / "importance.csv"] = importance_csv(ranked).encode()
            png = importance_png(ranked)
            if png is not None:
                files[out / "importance.png"] = png
    if args.plot is not None:
        png = files.get(Path(args.out) / "summary.png") if args.out is not None else None
        if png is None:
            from .output.figures import figure_png

            png = figure_png(summary)
        if png is not None:
            files[Path(args.plot)] = png
    # Into a locked --out directory, each step is noted there, for the next run to recover
    # from should this one be killed.
    return write_files(files, journal=None if args.out is None else Path(args.out) / JOURNAL_NAME)


def _importance(
    args: argparse.Namespace,
    model: Model,
    stats: BatchStatistics,
    client: object,
    report: TextIO,
    out: _Reader,
) -> ImportanceResult:
    """The importance of the names --importance asks for, on the base runs' seeds."""
    from .analysis.importance import asked_names
    from .run.simulate import importance

    names: list[str] | None = [n.strip() for n in args.importance.split(",") if n.strip()] or None
    if names and len(names) == 1 and names[0].startswith("top:"):
        try:
            names = asked_names(names[0], model, stats)
        except ValueError as err:
            raise _UsageError(f"--{err}") from None
    start = time.perf_counter()
    ranked = importance(
        model,
        names,
        stats.n_runs,
        stats.seed,
        horizon=stats.sim_time,
        client=client,
        base=stats,
        cutset_form=args.fv_cutsets,
    )
    elapsed = time.perf_counter() - start
    out.print(
        f"Ran {ranked.batches} held batches for the importance in {elapsed:.2f} s.",
        file=report,
        flush=True,
    )
    return ranked


def _check_python_memory(args: argparse.Namespace, model: Model) -> None:
    """Refuse, before any run, a command whose results would not fit beside the engine's
    call (which checks itself): what the Python side holds grows with the runs and the
    points of the curves (see tavoq_tools.run.memory)."""
    from .run.memory import available_bytes
    from .run.plan import plan_run
    from .run.precise import most_runs

    sim = model.simulation
    # With --target-ci, the most the rounds may reach, given or not.
    runs = most_runs(sim.runs, args.target_ci, args.max_runs)
    plan = plan_run(sim.horizon, args.points)
    bins = plan.bins
    need, room = plan.python_bytes(runs), available_bytes()
    if room is not None and need > room:
        fewer = "fewer --runs" if args.target_ci is None else "a smaller --max-runs"
        default = " (the default --max-runs)" if runs != sim.runs and args.max_runs is None else ""
        raise _Refused(
            f"{args.model}: {runs:,} runs{default} with curves of {bins:,} points need about "
            f"{need / 2**20:,.0f} MiB for their results, and {room / 2**20:,.0f} MiB are "
            f"available: give {fewer} or fewer --points"
        )


def _say_warnings(caught: list[warnings.WarningMessage]) -> None:
    """One line on stderr for all the chunks' and rounds' warnings of a run."""
    found = [w.message for w in caught if isinstance(w.message, NegativeDelayWarning)]
    if found:
        total = NegativeDelayWarning(sum(w.count for w in found), found[0].where)
        print(f"tavoq: warning: {total}", file=sys.stderr)
    for w in caught:
        if isinstance(w.message, FewRunsWarning):
            print(f"tavoq: warning: {w.message}", file=sys.stderr)


class _Reader:
    """Prints that outlive their reader: once it has gone (``tavoq run ... | head``), what is
    left to print is dropped, and the command still finishes its runs and files."""

    def __init__(self) -> None:
        self.gone = False

    def print(self, *values: object, file: TextIO | None = None, flush: bool = False) -> None:
        stream = sys.stdout if file is None else file
        try:
            print(*values, file=stream, flush=flush)
        except BrokenPipeError:
            self.gone = True
            # Python must not complain either, flushing the stream at exit.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, stream.fileno())
            os.close(devnull)


def _run(args: argparse.Namespace) -> int:

    model = _with_overrides(_load(args), args)
    _check_outputs(args)
    if args.inner_runs is not None and args.uncertainty is None:
        raise _UsageError("--inner-runs goes with --uncertainty")
    if args.uncertainty is not None:
        return _run_uncertainty(args)
    if args.rare is not None or args.bias is not None:
        return _run_rare(args, model)
    if args.fv_cutsets and args.importance is None:
        raise _UsageError("--fv-cutsets goes with --importance")
    if args.importance is not None and args.target_ci is not None:
        raise _UsageError("--importance takes no --target-ci: its held runs repeat the base runs")
    if args.out is None:
        return _run_model(args, model)
    from .output.atomic import DirectoryBusyError, LockRefusedError, directory_lock

    # Held from before the runs to the last file, so that a second run into the same
    # directory is told at once rather than after its runs, and no mix of two sets is left.
    try:
        with directory_lock(args.out) as recovered:
            if recovered is not None:
                print(f"tavoq: --out {args.out}: {recovered}", file=sys.stderr, flush=True)
            return _run_model(args, model)
    except (DirectoryBusyError, LockRefusedError) as err:  # only the lock raises them
        raise _UsageError(f"--out {args.out}: {err}") from None


_MEASURES = {
    "unavailability": "mean unavailability",
    "unreliability": "P(failure by the horizon)",
    "failures": "failures per run",
}


def _sweep_settings(args: argparse.Namespace) -> tuple[dict[str, list[float]], dict[str, bool]]:
    from .analysis.sweep import grid_values

    settings: dict[str, list[float]] = {}
    logs: dict[str, bool] = {}
    for given in args.set:
        key, sep, values = given.partition("=")
        if not sep or not key.strip():
            raise _UsageError(f"--set {given}: give KEY=VALUES")
        key = key.strip()
        if key in settings:
            raise _UsageError(f"--set {key}: given twice")
        try:
            settings[key], logs[key] = grid_values(values)
        except ValueError as err:
            raise _UsageError(f"--set {key}: {err}") from None
    return settings, logs


def _tornado_plan(
    args: argparse.Namespace,
) -> tuple[float | None, list[str] | None, dict[str, tuple[float, float]]]:
    text = args.tornado.strip()
    spread: float | None
    try:
        spread = float(text[:-1]) / 100 if text.endswith("%") else float(text)
    except ValueError:
        raise _UsageError(f"--tornado {args.tornado}: give a spread such as 20% or 0.2") from None
    if not 0 < spread < 1:
        raise _UsageError(f"--tornado {args.tornado}: the spread must lie between 0 and 100%")
    keys: list[str] = []
    ranges: dict[str, tuple[float, float]] = {}
    for given in args.vary:
        key, sep, span = given.partition("=")
        key = key.strip()
        keys.append(key)
        if sep:
            low, colon, high = span.partition(":")
            try:
                if not colon:
                    raise ValueError
                ranges[key] = (float(low), float(high))
            except ValueError:
                raise _UsageError(f"--vary {given}: give KEY or KEY=LOW:HIGH") from None
    return spread, keys or None, ranges


def _sweep(args: argparse.Namespace) -> int:
    from .formats.document import Document
    from .output.sweep_text import (
        sweep_png,
        sweep_report,
        tornado_png,
        tornado_report,
    )
    from .run.simulate import sweep, tornado

    if (args.tornado is None) == (not args.set):
        raise _UsageError("give --set KEY=VALUES (a grid) or --tornado SPREAD, one of them")
    if args.vary and args.tornado is None:
        raise _UsageError("--vary goes with --tornado")
    if args.out is not None:
        _writable_place("--out", args.out, Path(args.out), ["sweep.csv", "sweep.json"])
    if args.plot is not None and Path(args.plot).suffix.lower() != ".png":
        raise _UsageError(f"--plot {args.plot}: the figure is a PNG; name a .png file")
    document = Document.of_file(args.model, step=args.step, mission_time=args.mission_time)
    document.model()  # a bad model file stops here, named as run names it
    report = sys.stderr if args.json else sys.stdout
    start = time.perf_counter()
    with _cluster(args.scheduler) as client:
        options = {"runs": args.runs, "seed": args.seed, "threads": args.threads}
        if args.tornado is not None:
            spread, keys, ranges = _tornado_plan(args)
            result: Any = tornado(
                document,
                spread,
                keys=keys,
                ranges=ranges,
                measure=_MEASURES[args.measure],
                client=client,
                **options,
            )
            name, text = "tornado", tornado_report(result)
            png: Callable[[Any], bytes | None] = tornado_png
        else:
            settings, logs = _sweep_settings(args)
            result = sweep(document, settings, log_scale=logs, client=client, **options)
            name, text, png = "sweep", sweep_report(result), sweep_png
    elapsed = time.perf_counter() - start
    print(f"Ran in {elapsed:.2f} s.", file=report, flush=True)
    return _analysis_outputs(args, name, result, text, png, report)


def _analysis_outputs(
    args: argparse.Namespace,
    name: str,
    result: Any,
    text: str,
    png: Callable[[Any], bytes | None],
    report: TextIO,
) -> int:
    """An analysis's files (NAME.csv of its rows, NAME.json, NAME.png into --out; the figure
    to --plot), written as one set, then its text or JSON."""
    from .output.atomic import write_files
    from .output.sweep_text import rows_csv

    files: dict[Path, bytes] = {}
    figure = png(result) if args.out is not None or args.plot is not None else None
    if args.out is not None:
        out = Path(args.out)
        files[out / f"{name}.csv"] = rows_csv(result.rows()).encode()
        files[out / f"{name}.json"] = (
            json.dumps(result.to_dict(), indent=2, allow_nan=False) + "\n"
        ).encode()
        if figure is not None:
            files[out / f"{name}.png"] = figure
    if args.plot is not None and figure is not None:
        files[Path(args.plot)] = figure
    written = write_files(files, journal=None) if files else []
    print(json.dumps(result.to_dict(), indent=2, allow_nan=False) if args.json else text)
    for path in written:
        print(f"Wrote {path}", file=report)
    return EXIT_OK


def _run_uncertainty(args: argparse.Namespace) -> int:
    from .formats.document import Document
    from .output.uncertainty_text import uncertainty_png, uncertainty_report
    from .run.simulate import uncertainty

    taken = [
        option
        for option, value in (
            ("--rare", args.rare),
            ("--importance", args.importance),
            ("--target-ci", args.target_ci),
            ("--scheduler", args.scheduler),
            ("--points", args.points),
            ("--runs", args.runs),
        )
        if value is not None
    ]
    if taken:
        raise _UsageError(
            f"--uncertainty takes no {' or '.join(taken)} (--inner-runs sets the runs)"
        )
    document = Document.of_file(args.model, step=args.step, mission_time=args.mission_time)
    report = sys.stderr if args.json else sys.stdout
    start = time.perf_counter()
    with _naming(args.model):
        result = uncertainty(
            document,
            args.uncertainty,
            args.inner_runs,
            args.seed,
            threads=args.threads,
            progress=sys.stderr.isatty(),
        )
    elapsed = time.perf_counter() - start
    print(f"Ran {result.samples * result.inner_runs:,} runs in {elapsed:.2f} s.", file=report)
    return _analysis_outputs(
        args, "uncertainty", result, uncertainty_report(result), uncertainty_png, report
    )


def _run_rare(args: argparse.Namespace, model: Model) -> int:
    if args.rare is None:
        raise _UsageError("--bias needs --rare")
    taken = [
        option
        for option, value in (
            ("--out", args.out),
            ("--plot", args.plot),
            ("--points", args.points),
        )
        if value is not None
    ]
    if args.fv_cutsets:
        taken.append("--fv-cutsets")
    if args.importance is not None and args.scheduler is not None:
        taken.append("--scheduler with --importance")
    if taken:
        raise _UsageError(f"--rare takes no {' or '.join(taken)}")
    names = None
    if args.importance is not None:
        names = [n.strip() for n in args.importance.split(",") if n.strip()] or None
        if names and any(n.startswith("top:") for n in names):
            raise _UsageError(
                "--importance top:N ranks by the crude runs' failures; with --rare name the "
                "components and gates, or give none for all"
            )
    # Connect first: an unreachable scheduler is a bad argument, reported before any output.
    with _cluster(args.scheduler) as client:
        return _rare_run(args, model, names, client)


def _rare_run(args: argparse.Namespace, model: Model, names: list[str] | None, client: Any) -> int:
    """--rare once its arguments are checked: the estimate, on ``client``'s cluster if any."""
    from .model.system import RareSettings
    from .output.model_text import describe_model
    from .output.rare_text import rare_report
    from .run.rare import rare_importance
    from .run.rare_method import rare_estimate

    report = sys.stderr if args.json else sys.stdout
    print(textwrap.fill(describe_model(model), width=100), file=report, flush=True)
    # The command's options over the model's [rare] table, over the defaults.
    table = model.rare or RareSettings()
    settings = dataclasses.replace(
        table,
        method=args.rare or table.method,
        bias=table.bias if args.bias is None else args.bias,
        target_ci=table.target_ci if args.target_ci is None else args.target_ci,
        max_runs=table.max_runs if args.max_runs is None else args.max_runs,
    )
    start = time.perf_counter()
    ranked = None
    with _naming(args.model):
        if args.importance is None:
            waited = _worker_timeout(args)
            result = rare_estimate(
                model,
                settings,
                client=client,
                worker_timeout=waited,
                on_waiting=_waiting_note(args.scheduler, waited),
            )
        else:
            if settings.method == "splitting":
                raise _UsageError(
                    "--rare --importance runs failure biasing: give sampling or auto"
                )
            result, ranked = rare_importance(
                model,
                names,
                bias=settings.bias,
                target_ci=settings.target_ci,
                max_runs=settings.max_runs,
            )
    elapsed = time.perf_counter() - start
    unit = "roots" if result.levels else "runs"
    speed = f", {result.runs / elapsed:,.0f} {unit}/s" if elapsed > 0 else ""
    held = f" and {ranked.batches} held batches" if ranked is not None else ""
    print(f"Ran {result.runs:,} {unit}{held} in {elapsed:.2f} s{speed}.", file=report, flush=True)
    if args.json:
        document = result.to_dict()
        if ranked is not None:
            document["importance"] = ranked.to_dict()
        print(json.dumps(document, indent=2))
    else:
        print(rare_report(result, settings.target_ci))
        if ranked is not None:
            from .output.importance_text import importance_report

            print()
            print(importance_report(ranked))
    return EXIT_OK


def _run_model(args: argparse.Namespace, model: Model) -> int:
    from .output.model_text import describe_model
    from .results.model_summary import summarize_model
    from .run.simulate import simulate

    report = sys.stderr if args.json else sys.stdout
    waited = _worker_timeout(args)
    out = _Reader()
    _check_python_memory(args, model)
    # Connect first: an unreachable scheduler is a bad argument, reported before any output.
    with _cluster(args.scheduler) as client:
        out.print(textwrap.fill(describe_model(model), width=100), file=report, flush=True)
        start = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught, _naming(args.model):
            warnings.simplefilter("always", NegativeDelayWarning)
            stats = simulate(
                model,
                progress=sys.stderr.isatty(),
                client=client,
                target_ci=args.target_ci,
                max_runs=args.max_runs,
                points=args.points,
                worker_timeout=waited,
                on_waiting=_waiting_note(args.scheduler, waited),
            )
        elapsed = time.perf_counter() - start
        ranked = None
        if args.importance is not None:
            ranked = _importance(args, model, stats, client, report, out)
    _say_warnings(caught)
    speed = f", {stats.n_runs / elapsed:,.0f} runs/s" if elapsed > 0 else ""
    where = f" on {args.scheduler}" if args.scheduler else ""
    out.print(
        f"Ran {stats.n_runs} runs{where} in {elapsed:.2f} s{speed}.", file=report, flush=True
    )
    if args.target_ci is not None:
        from .run.precise import PreciseResult

        verdict = PreciseResult.of(stats, args.target_ci, args.max_runs).describe()
        out.print(f"{verdict}.", file=report, flush=True)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FewRunsWarning)
        summary = summarize_model(model, stats)
    _say_warnings(caught)
    # The files before the report: an interrupt while a slow reader holds up the report
    # must not cost them.
    written = _write_files(args, summary, ranked)
    if args.json:
        document = summary.to_dict()
        if ranked is not None:
            from .output.importance_text import add_importance

            document = add_importance(document, ranked)
        out.print(json.dumps(document, indent=2, allow_nan=False))
    else:
        from .output.report import format_report

        out.print()
        out.print(format_report(summary))
        if ranked is not None:
            from .output.importance_text import importance_report

            out.print()
            out.print(importance_report(ranked))
    for path in written:
        out.print(f"Wrote {path}", file=report)
    return EXIT_FAILED if out.gone else EXIT_OK


def _worker_timeout(args: argparse.Namespace) -> float:
    return WORKER_TIMEOUT_S if args.worker_timeout is None else float(args.worker_timeout)


def _waiting_note(address: str | None, waited: float) -> Callable[[], None]:
    """What the command says when the cluster has no worker to take the runs."""

    def note() -> None:
        print(
            f"tavoq: the Dask cluster at {address} has no worker; waiting up to "
            f"{waited:g} s for one (--worker-timeout)",
            file=sys.stderr,
            flush=True,
        )

    return note


@contextlib.contextmanager
def _cluster(address: str | None) -> Iterator[Any]:
    """A Dask client connected to ``address`` for the duration of the runs, or None."""
    if address is None:
        yield None
        return
    from .run.dask_cluster import import_distributed

    try:
        distributed = import_distributed()
    except DaskMissingError as err:
        raise _UsageError(f"--scheduler {address}: {err}") from None
    # Dask logs what goes wrong with its connection (a page of traceback when the scheduler
    # goes away), through handlers of its own on several loggers; the command says it in
    # its own one line, and logs nothing itself.
    disabled = logging.root.manager.disable
    logging.disable(logging.CRITICAL)
    try:
        try:
            client = distributed.Client(address, timeout=CONNECT_TIMEOUT_S)
        except (OSError, ValueError, TypeError) as err:
            raise _UsageError(
                f"--scheduler {address}: cannot reach a Dask scheduler there ({err})"
            ) from None
        try:
            yield client
        finally:
            client.close()
    finally:
        logging.disable(disabled)


def _check(args: argparse.Namespace, keep: list[object] | None = None) -> int:
    from .formats.file import paused_collection
    from .output.model_text import check_text

    model = _load(args, any_horizon=True)
    if keep is not None:
        keep.append(model)
    # The model lives until the command ends: a cyclic collection would only walk its
    # millions of objects again (half the time of the matrix of a 100,000-event tree).
    with paused_collection():
        # The native objects accept it too.
        if model.has_interactions:
            model.build()
        else:
            model.matrix()
        _print_in_parts(check_text(model, args.model, args.cutsets))
    return EXIT_OK


def _print_in_parts(text: str, part: int = 1 << 20) -> None:
    """Print ``text`` a mebibyte at a time: the check of a large tree is tens of megabytes,
    which printed at once would be encoded whole beside it."""
    for start in range(0, len(text), part):
        sys.stdout.write(text[start : start + part])
    sys.stdout.write("\n")


class _Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, taken as Ctrl-C is: the runs stop, no file is left half-written and
    an output set is left as it was or whole."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _stop_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP raise _Stopped within the block, where they would otherwise end the
    process on the spot (a partial file and new directories left behind). A signal that is
    ignored (SIGHUP under nohup) or has its own handler is left to it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, _frame: object) -> None:
        raise _Stopped(signum)

    previous = {
        signum: signal.signal(signum, stop)
        for signum in (signal.SIGTERM, signal.SIGHUP)
        if signal.getsignal(signum) is signal.SIG_DFL
    }
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _convert(args: argparse.Namespace) -> int:
    from .errors import one_line
    from .formats.fault_tree import quoted
    from .formats.toml_writer import model_to_toml
    from .output.atomic import is_stream, write_files

    if not args.output.strip():
        raise _UsageError("--output: give the name of the TOML file to write")
    output = Path(args.output)
    _writable_place("--output", args.output, output.parent, [output.name])
    source = Path(args.model)
    if output.exists() and source.exists() and output.resolve() == source.resolve():
        raise _UsageError(f"--output {args.output}: that is the file being read")
    if source.suffix.lower() == ".toml":
        raise _UsageError(
            f"{args.model}: already a TOML model (convert reads Galileo .dft and Open-PSA "
            ".xml files)"
        )
    from .formats.file import read_model_and_laws

    model, renamed, laws = read_model_and_laws(
        args.model, step=args.step, mission_time=args.mission_time, top=args.top
    )
    sim = model.simulation
    heading = [
        f"Converted by tavoq convert from {one_line(source.name)}.",
        f"One time unit is a step of {sim.step:g} of the file's time; the horizon is the "
        f"mission time, {sim.horizon} steps. Rates are per step.",
    ]
    if renamed:
        heading.append("Names changed from the file (tavoq names are letters, digits and _):")
        heading += [f"  {quoted(old)} -> {new}" for old, new in renamed]
    if laws:
        heading.append(
            "The values the file gives as distributions are uncertain parameters here, at "
            "their means in an ordinary run."
        )
    text = model_to_toml(model, heading, laws)
    _reads_back(text, model, args.model)
    stream = is_stream(output)
    write_files({output: text.encode("utf-8")})
    # Into /dev/stdout the model is the whole of stdout: the note goes beside it.
    print(f"Wrote {output}", file=sys.stderr if stream else sys.stdout)
    return EXIT_OK


def _reads_back(text: str, model: Model, file: str) -> None:
    """Refuse to write a converted model that would not load as the same model: the writer
    escapes whatever it writes, and this holds it to that."""
    import tomllib

    from .formats.file import model_from_dict

    try:
        same = model_from_dict(tomllib.loads(text)) == model
        problem = "it loads as another model"
    except (tomllib.TOMLDecodeError, ModelError) as err:
        same, problem = False, str(err)
    if not same:
        raise _Refused(f"{file}: the TOML model written for it does not read back ({problem})")


def _open_standard_streams() -> None:
    """A descriptor 0, 1 or 2 that the command was started without (``2>&-``) is opened on
    /dev/null: what would be written there then goes nowhere, rather than into the first
    file the command opens, which would take its number; and Python gets a stream for it,
    so that a message to it is dropped instead of failing."""
    for fd, name, mode in ((0, "stdin", "r"), (1, "stdout", "w"), (2, "stderr", "w")):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            if getattr(sys, name) is None:
                setattr(sys, name, open(fd, mode, closefd=False))


def _said(err: BaseException) -> str:
    """The text of an error, never empty: a MemoryError usually has none."""
    if isinstance(err, MemoryError) and not str(err):
        return (
            "not enough memory: the machine's memory or the process's address-space limit "
            "(ulimit -v) is used up"
        )
    if isinstance(err, ImportError):
        # The reason is the first line of the innermost error (numpy wraps it in a page).
        root: BaseException = err
        while root.__cause__ is not None:
            root = root.__cause__
        reason = (str(root).strip().splitlines() or [type(root).__name__])[0]
        if "failed to map segment" in reason or "annot allocate memory" in reason:
            reason += ": not enough memory, or the address-space limit (ulimit -v) reached"
        return f"cannot load {err.name or 'a module the command needs'}: {reason}"
    return str(err) or type(err).__name__


def main(argv: Sequence[str] | None = None, keep: list[object] | None = None) -> int:
    """The command with ``argv`` (sys.argv's when None); its exit code. ``keep``, when given,
    receives the model that ``check`` loaded, for a caller that ends the process right
    after without freeing it (see __main__)."""
    _open_standard_streams()
    try:
        with _stop_signals():
            args = build_parser().parse_args(argv)
            if args.command == "convert":
                return _convert(args)
            if args.command == "sweep":
                return _sweep(args)
            return _run(args) if args.command == "run" else _check(args, keep)
    except _Stopped as stopped:
        print(f"tavoq: stopped by {signal.Signals(stopped.signum).name}", file=sys.stderr)
        return 128 + stopped.signum
    except KeyboardInterrupt:
        print("tavoq: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`tavoq run ... | head`): nothing more to say, and Python must
        # not complain while flushing stdout at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except (ModelError, _UsageError) as err:
        print(err, file=sys.stderr)
        return EXIT_USAGE
    except (RuntimeError, MemoryError, OSError, ValueError, ImportError) as err:
        print(f"tavoq: error: {_said(err)}", file=sys.stderr)
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
