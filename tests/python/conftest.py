"""Shared fixtures and helpers for the tavoq Python tests."""

import os
import subprocess
import sys
import textwrap

import pytest

import tavoq

# The sanitized pass (scripts/test-sanitizers.sh) runs the property tests again with a
# fraction of their examples: the full counts have run on the plain build already, and the
# instrumented one looks for memory faults, which the first examples reach as well.
EXAMPLES_DIVISOR = max(1, int(os.environ.get("TAVOQ_EXAMPLES_DIVISOR", "1")))


def examples(n):
    """``n`` hypothesis examples, or the sanitized pass's share of them."""
    return max(1, n // EXAMPLES_DIVISOR)


def pytest_addoption(parser):
    parser.addoption(
        "--thorough",
        action="store_true",
        help="also run the tests marked thorough (long statistical checks)",
    )


def pytest_collection_modifyitems(config, items):
    if config.getoption("--thorough"):
        return
    skip = pytest.mark.skip(reason="a long statistical check: run with --thorough")
    for item in items:
        if "thorough" in item.keywords:
            item.add_marker(skip)


# The no-transition value: the largest signed 32-bit integer, as a double.
NO_TRANSITION = 2147483647.0

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def wrap32(value):
    """Reduce a Python int to a signed 32-bit value with two's-complement wrap-around."""
    value &= 0xFFFFFFFF
    return value - 2**32 if value >= 2**31 else value


def worked_example_matrix():
    """One component with two states.

    0 -> 1 is an instantaneous failure at time 3, 1 -> 0 an inspection every 5 time
    units, and the diagonal entries never fire.  No random draw influences the run.
    """
    return [
        [
            [tavoq.Distribution(), tavoq.InstantaneousFailure(3)],
            [tavoq.Inspection(5), tavoq.Distribution()],
        ]
    ]


def single_component_tree():
    """A tree whose only cut set is component 0 of a one-component system."""
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    return tree


# The component fails at 3, is restored at 5 and fails again at once (its failure
# delay is then 3 - 5 = -2, which fires at the current time unit); it stays failed.
WORKED_EXAMPLE_STATES = [0, 0, 0, 1, 1, 1, 1, 1]
WORKED_EXAMPLE_SIM_TIME = len(WORKED_EXAMPLE_STATES)


class WorkedExample:
    """The worked example: a matrix, its tree and the expected per-time-unit states."""

    def __init__(self):
        self.matrix = worked_example_matrix()
        self.tree = single_component_tree()
        self.sim_time = WORKED_EXAMPLE_SIM_TIME
        self.expected = list(WORKED_EXAMPLE_STATES)


@pytest.fixture
def worked_example():
    return WorkedExample()


@pytest.fixture
def tree_1():
    return single_component_tree()


@pytest.fixture
def omp_threads_restored(capfd):
    """Read the current OpenMP thread count and put it back after the test.

    A parallel batch of zero runs builds no simulation, so it accepts an empty matrix and
    no tree; it only writes its thread line and its closing lines.
    """
    tavoq.runnerParallelSim(0, 0, [], None, 0)
    out = capfd.readouterr().out
    first = out.splitlines()[0]
    prefix = "Numero de threads disponiveis: "
    assert first.startswith(prefix)
    original = int(first[len(prefix) :])
    yield original
    tavoq.limitOMPThreads(original)


def run_python(code, timeout=120, env=None):
    """Run a snippet in a fresh interpreter, with ``env`` added to the environment; return
    the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=None if env is None else {**os.environ, **env},
    )


def run_capped(code, megabytes=300, cpu_seconds=60):
    """Run a snippet in a fresh interpreter that may map ``megabytes`` MiB more than it has
    once the snippet's imports (its lines up to the first blank one) are done, and use
    ``cpu_seconds`` of CPU: far more than a linear algorithm needs on the inputs the tests give
    it, far less than a quadratic one. Return the CompletedProcess."""
    code = textwrap.dedent(code)
    imports, _, rest = code.partition("\n\n")
    cap = f"""
import resource
with open("/proc/self/status") as f:
    mapped = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
cap = mapped + ({megabytes} << 20)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
resource.setrlimit(resource.RLIMIT_CPU, ({cpu_seconds}, {cpu_seconds}))
"""
    return run_python(imports + "\n" + cap + "\n" + rest, timeout=10 * cpu_seconds)
