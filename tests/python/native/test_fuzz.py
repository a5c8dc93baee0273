"""Random bad arguments to every native entry point.

Every generated call either succeeds or raises one of the exceptions its entry documents, and
never takes the interpreter down. A call with an argument that cannot be converted at all
(wrong type, an int outside 32 bits, an instance whose C++ object was never constructed, the
wrong number of arguments) raises TypeError before any native code runs, so it writes nothing.

The calls run in a child interpreter, a batch per example: a crash there is reported with the
call that caused it instead of ending the test run. Each call is Python source, so a failure
shows exactly what to type to reproduce it.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest
from conftest import INT32_MAX, INT32_MIN
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import tavoq

# What each kind of entry may raise for arguments that do convert.
ALLOWED = {
    "runner": {"ValueError", "MemoryError", "RuntimeError"},
    "constructor": {"ValueError"},
    "pdf": set(),
    "cdf": set(),
    "quantile": {"IndexError", "OverflowError"},
    "tree": set(),
    "threads": set(),
}

# Under ASan a failed operator new is a fatal report, not std::bad_alloc, so allocations that
# are meant to fail are left to the plain run (where the child's address space is capped).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ADDRESS_SPACE_LIMIT = 3 << 30

CHILD = r"""
import gc, json, os, resource, sys
limit = int(sys.argv[3])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
protocol = os.fdopen(os.dup(1), "w")
for fd, path in ((1, sys.argv[1]), (2, sys.argv[2])):
    target = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    os.dup2(target, fd)
    os.close(target)

import tavoq
D = tavoq.Distribution
nan, inf = float("nan"), float("inf")

class SubW(tavoq.Weibull):
    pass

class SubTree(tavoq.CutsetTree):
    pass

class Index:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        return self.value

class IntOnly:
    def __int__(self):
        return 3

class Floaty:
    def __float__(self):
        return 0.25

def uninit(cls):
    return cls.__new__(cls)

def make_tree(size, cutsets):
    tree = tavoq.CutsetTree(size)
    tree.constructTree(cutsets)
    return tree

names = dict(globals())
for i, (function, args) in enumerate(json.load(sys.stdin)):
    protocol.write(json.dumps(["start", i]) + "\n")
    protocol.flush()
    scope = dict(names)
    # The arguments are built first: building a tree may write its own warnings.
    function = eval(function, scope)
    args = [eval(a, scope) for a in args]
    sizes = [os.fstat(1).st_size, os.fstat(2).st_size]
    try:
        function(*args)
        outcome = "ok"
    except Exception as error:
        outcome = type(error).__name__
    del function, args, scope
    # Objects made by the call die here, so a fault in freeing them shows at this call.
    gc.collect()
    wrote = [os.fstat(1).st_size > sizes[0], os.fstat(2).st_size > sizes[1]]
    protocol.write(json.dumps(["done", i, outcome, wrote]) + "\n")
    protocol.flush()
"""


@dataclass(frozen=True)
class Arg:
    source: str
    converts: bool
    refused: bool = False  # converts, and the entry refuses it with TypeError (None as self)
    # As the receiver of __init__: the object exists already, so pybind11 ignores the call
    # before it looks at the other arguments.
    ignores_rest: bool = False


@dataclass(frozen=True)
class Call:
    kind: str
    function: str
    args: tuple[str, ...]
    type_error: bool  # some argument is refused before any native code runs

    @property
    def source(self) -> str:
        return f"{self.function}({', '.join(self.args)})"


def sample(*sources: str, converts: bool = True) -> st.SearchStrategy[Arg]:
    return st.sampled_from([Arg(s, converts) for s in sources])


def literal(values: st.SearchStrategy) -> st.SearchStrategy[Arg]:
    return values.map(lambda v: Arg(repr(v), True))


def listed(
    items: st.SearchStrategy[Arg], min_size: int = 0, max_size: int | None = None
) -> st.SearchStrategy[Arg]:
    return st.lists(items, min_size=min_size, max_size=max_size).map(
        lambda xs: Arg("[" + ", ".join(x.source for x in xs) + "]", all(x.converts for x in xs))
    )


@dataclass(frozen=True)
class Param:
    """The values of one parameter: what the entry expects, what converts but is outside that
    (negative sizes, NaN, None cells, ragged matrices...), and what does not convert."""

    valid: st.SearchStrategy[Arg]
    odd: st.SearchStrategy[Arg]
    wrong: st.SearchStrategy[Arg]

    def values(self) -> st.SearchStrategy[Arg]:
        # Mostly valid, so that most calls reach native code with one or two odd values.
        return st.sampled_from(["valid"] * 10 + ["odd"] * 7 + ["wrong"] * 2).flatmap(
            lambda tier: getattr(self, tier)
        )


NOT_AN_INT = sample(
    "2**31",
    "-2**31-1",
    "2**63",
    "-2**64",
    "10**30",
    "10.0",
    "1.5",
    "nan",
    "inf",
    "'8'",
    "b'8'",
    "None",
    "[8]",
    "3+0j",
    "Index(2**31)",
    "D()",
    converts=False,
)
INT_LIKE = sample("True", "False", "Index(3)", "IntOnly()")
ANY_INT32 = st.integers(INT32_MIN, INT32_MAX)
INT32_ENDS = st.sampled_from([INT32_MIN, INT32_MIN + 1, -1, 0, INT32_MAX - 1, INT32_MAX])


def int_param(valid: st.SearchStrategy[int], odd: st.SearchStrategy[int]) -> Param:
    return Param(literal(valid), st.one_of(literal(odd), INT_LIKE), NOT_AN_INT)


FLOAT = Param(
    literal(st.floats(-1e3, 1e3)),
    st.one_of(
        literal(st.floats()),
        literal(st.integers(-(2**70), 2**70)),
        sample("True", "Index(2)", "Floaty()", "5e-324", "-0.0", "1e-300"),
    ),
    sample("None", "'1.0'", "b'1'", "[1.0]", "10**400", "1j", "D()", converts=False),
)
INT32 = int_param(st.integers(-100, 100), st.one_of(ANY_INT32, INT32_ENDS))
# No large positive run count: a valid model would make that a long batch, not a bad argument.
RUNS = int_param(st.integers(0, 4), st.one_of(st.integers(-3, -1), st.just(INT32_MIN)))
# Under ASan a failed operator new is a fatal report, not std::bad_alloc, so horizons that
# cannot be allocated are left to the plain run (where the child's address space is capped).
HUGE_HORIZONS = [] if UNDER_ASAN else [2**30, INT32_MAX]
HORIZON = int_param(
    st.integers(0, 12),
    st.one_of(st.integers(-3, -1), st.sampled_from([INT32_MIN, *HUGE_HORIZONS])),
)
SEED = int_param(ANY_INT32, INT32_ENDS)
BIN_WIDTH = int_param(st.integers(1, 13), st.one_of(st.integers(-3, 0), st.just(INT32_MIN)))

# ---------------------------------------------------------------------------
# Models

VALID_CELLS = sample(
    "D()",
    "D()",
    "tavoq.Exponential(0.3)",
    "tavoq.Weibull(2.0, 1.5)",
    "SubW(1.0, 1.0)",
    "tavoq.InstantaneousFailure(2)",
    "tavoq.Inspection(3)",
    "tavoq.Uniform(0.0, 2.0)",
    "tavoq.Normal(3.0, 1.0)",
    "tavoq.Maintenance([1, 4])",
)
ODD_CELLS = st.one_of(
    VALID_CELLS,
    sample(
        "None",
        "tavoq.Exponential(0.0)",
        "tavoq.Exponential(-1.0)",
        "tavoq.InstantaneousFailure(0)",
        "tavoq.Inspection(-1)",
        "tavoq.Inspection(0)",
        "tavoq.Uniform(-5.0, -1.0)",
        "tavoq.Normal(nan, inf)",
        "tavoq.Normal(0.0, 0.0)",
        "tavoq.Maintenance([-4])",
        "tavoq.Maintenance([2**31 - 1])",
    ),
)
WRONG_CELLS = st.one_of(
    ODD_CELLS,
    sample(
        "0",
        "1.5",
        "'x'",
        "[]",
        "(D(),)",
        "uninit(tavoq.Weibull)",
        "uninit(D)",
        "uninit(SubW)",
        "uninit(tavoq.Exponential)",
        "tavoq.CutsetTree(1)",
        converts=False,
    ),
)


def square(cells: st.SearchStrategy[Arg], components: int, states: int) -> st.SearchStrategy[Arg]:
    row = listed(cells, states, states)
    return listed(listed(row, states, states), components, components)


def matrix_param(components: int) -> Param:
    return Param(
        st.integers(1, 3).flatmap(lambda states: square(VALID_CELLS, components, states)),
        st.one_of(
            st.integers(1, 3).flatmap(lambda states: square(ODD_CELLS, components, states)),
            listed(listed(listed(ODD_CELLS, 0, 3), 0, 3), 0, 3),  # ragged, empty rows
            sample(
                "[]",
                "[[]]",
                "[[], [[D()]]]",
                "[[[D()]], []]",
                "([[D(), D()], [D(), D()]] for _ in range(2))",
                "({'c': [[D()]]}).values()",
            ),
        ),
        st.one_of(
            st.integers(1, 3).flatmap(lambda states: square(WRONG_CELLS, components, states)),
            sample(
                "None",
                "3",
                "'abc'",
                "b'abc'",
                "{0: 1}",
                "[D()]",
                "[[D()]]",
                "[[[D(), 1]]]",
                "[['ab']]",
                "[[{0: D()}]]",
                "[[iter([D()])]]",
                converts=False,
            ),
        ),
    )


def cutset_param(size: int) -> Param:
    return Param(
        listed(literal(st.integers(0, 1)), size, size),
        st.one_of(
            listed(literal(st.integers(-2, 3)), 0, size + 2),
            listed(literal(st.one_of(st.integers(0, 1), INT32_ENDS)), 0, 4),
            sample(
                "(1, 0, 1)",
                "range(3)",
                "bytearray([1, 0, 1])",
                "{1: 'a', 0: 'b'}.keys()",
                "[True, False]",
                "[Index(1)]",
            ),
        ),
        sample(
            "'101'",
            "b'\\x01\\x00'",
            "{0: 1}",
            "None",
            "101",
            "1.0",
            "[1, 2**31]",
            "[1, '0']",
            "[1.5]",
            "[[1]]",
            "iter([1, 0])",
            "[None]",
            converts=False,
        ),
    )


def cutsets_param(size: int) -> Param:
    one = cutset_param(size)
    return Param(
        listed(one.valid, 0, 3),
        listed(st.one_of(one.valid, one.odd), 0, 4),
        st.one_of(
            listed(one.values(), 1, 4).filter(lambda a: not a.converts),
            sample("'101'", "[1, 0, 1]", "None", "7", converts=False),
        ),
    )


def tree_param(components: int) -> Param:
    def built(size: int, cutsets: Arg) -> Arg:
        return Arg(f"make_tree({size}, {cutsets.source})", True)

    return Param(
        cutsets_param(components).valid.map(lambda c: built(components, c)),
        st.one_of(
            st.tuples(st.integers(-1, 5), cutsets_param(components).odd).map(lambda t: built(*t)),
            sample("tavoq.CutsetTree(0)", "SubTree(1)", "None"),
        ),
        sample(
            "3",
            "'tree'",
            "[[1]]",
            "D()",
            "uninit(tavoq.CutsetTree)",
            "uninit(SubTree)",
            converts=False,
        ),
    )


# ---------------------------------------------------------------------------
# Calls


def slipped(
    args: st.SearchStrategy[list[Arg]], optional_last: bool = False
) -> st.SearchStrategy[list[Arg]]:
    """The arguments, or now and then one too few or one too many (which never convert). A
    last argument with a default can go missing without a TypeError."""

    def slip(pair: tuple[list[Arg], str]) -> list[Arg]:
        xs, how = pair
        if how == "missing" and xs:
            return xs[:-1] + [Arg("", optional_last)]
        if how == "extra":
            return xs + [Arg("0", False)]
        return xs

    return st.tuples(args, st.sampled_from(["as-is"] * 18 + ["missing", "extra"])).map(slip)


def entry_calls(
    kind: str, function: str, params: list[Param], optional_last: bool = False
) -> st.SearchStrategy[Call]:
    def build(xs: list[Arg]) -> Call:
        looked_at = xs[:1] if xs and xs[0].ignores_rest else xs
        return Call(
            kind,
            function,
            tuple(a.source for a in xs if a.source),
            any(not a.converts or a.refused for a in looked_at),
        )

    return slipped(st.tuples(*[p.values() for p in params]).map(list), optional_last).map(build)


BATCH_RUNNERS = ["runnerMultipleSim", "runnerParallelSim"]


def runner_calls(components: int) -> st.SearchStrategy[Call]:
    model = [matrix_param(components), tree_param(components), SEED]
    return st.one_of(
        entry_calls("runner", "tavoq.runnerSingleSim", [HORIZON, *model]),
        *[
            entry_calls("runner", f"tavoq.{name}", [RUNS, HORIZON, *model])
            for name in BATCH_RUNNERS
        ],
        entry_calls(
            "runner",
            "tavoq.runnerStatistics",
            [RUNS, HORIZON, *model, BIN_WIDTH],
            optional_last=True,
        ),
    )


RUNNER_CALLS = st.integers(1, 3).flatmap(runner_calls)

CONSTRUCTORS = {
    "Distribution": [],
    "Normal": [FLOAT, FLOAT],
    "Exponential": [FLOAT],
    "Uniform": [FLOAT, FLOAT],
    "Weibull": [FLOAT, FLOAT],
    "Inspection": [INT32],
    "InstantaneousFailure": [INT32],
    "Lognormal": [FLOAT, FLOAT],
    "Gamma": [FLOAT, FLOAT],
    "Constant": [FLOAT],
    "Maintenance": [
        Param(
            listed(INT32.valid, 1, 4),
            st.one_of(listed(INT32.values(), 0, 4), sample("{7}", "range(2, 4)")),
            sample("None", "'12'", "5", "[[1]]", "[1, 2**31]", converts=False),
        )
    ],
    "CutsetTree": [INT32],
}

# Objects for the receiver of a method called through its class: the module's class each is
# an instance of (None: none), and whether its C++ object exists.
RECEIVERS = {
    "D()": ("Distribution", True),
    "tavoq.Normal(0.0, 1.0)": ("Normal", True),
    "tavoq.Exponential(0.5)": ("Exponential", True),
    "tavoq.Uniform(0.0, 1.0)": ("Uniform", True),
    "tavoq.Weibull(1.0, 2.0)": ("Weibull", True),
    "SubW(1.0, 2.0)": ("Weibull", True),
    "tavoq.Inspection(4)": ("Inspection", True),
    "tavoq.Maintenance([3])": ("Maintenance", True),
    "tavoq.InstantaneousFailure(5)": ("InstantaneousFailure", True),
    "tavoq.Lognormal(0.0, 1.0)": ("Lognormal", True),
    "tavoq.Gamma(0.5, 2.0)": ("Gamma", True),
    "tavoq.Constant(3.0)": ("Constant", True),
    "tavoq.CutsetTree(2)": ("CutsetTree", True),
    "SubTree(2)": ("CutsetTree", True),
    "make_tree(2, [[1, 0], [0, 1]])": ("CutsetTree", True),
    "uninit(tavoq.Normal)": ("Normal", False),
    "uninit(SubW)": ("Weibull", False),
    "uninit(D)": ("Distribution", False),
    "uninit(tavoq.Inspection)": ("Inspection", False),
    "uninit(tavoq.CutsetTree)": ("CutsetTree", False),
    "uninit(SubTree)": ("CutsetTree", False),
    "3": (None, False),
    "'x'": (None, False),
    "[D()]": (None, False),
}


def receiver(cls: str, method: str) -> Param:
    def belongs(source: str) -> bool:
        owner, constructed = RECEIVERS[source]
        # __init__ builds the C++ object (and does nothing when it already exists).
        return (
            owner is not None
            and issubclass(getattr(tavoq, owner), getattr(tavoq, cls))
            and (constructed or method == "__init__")
        )

    def left_out(source: str) -> bool:
        # pybind11 aborts the process on Distribution.__init__ given an instance of one of
        # the module's subclasses (reported; see test_runner_safety.py) instead of refusing.
        owner = RECEIVERS[source][0]
        return (
            method == "__init__"
            and cls == "Distribution"
            and owner not in (None, "Distribution", "CutsetTree")
        )

    sources = sorted(s for s in RECEIVERS if not left_out(s))
    mine = [
        Arg(s, True, ignores_rest=method == "__init__" and RECEIVERS[s][1])
        for s in sources
        if belongs(s)
    ]
    others = [s for s in sources if not belongs(s)]
    # None converts (to a null instance) and the method itself refuses it; the constructor
    # refuses it before anything else.
    return Param(
        st.sampled_from(mine),
        st.just(Arg("None", method == "__init__", refused=True)),
        sample(*others, converts=False),
    )


DISTRIBUTIONS = [name for name in CONSTRUCTORS if name != "CutsetTree"]
METHODS = {"pdf": [FLOAT], "cdf": [FLOAT], "quantile": [FLOAT, INT32]}
TREE_METHODS = {
    "insertNode": [cutset_param(2)],
    "constructTree": [cutsets_param(2)],
    "findNode": [cutset_param(2)],
    **({"getCutsets": []} if hasattr(tavoq.CutsetTree, "getCutsets") else {}),
    **({"findWithin": [cutset_param(2)]} if hasattr(tavoq.CutsetTree, "findWithin") else {}),
}

DISTRIBUTION_CALLS = st.one_of(
    *[
        entry_calls("constructor", f"tavoq.{name}", params)
        for name, params in CONSTRUCTORS.items()
    ],
    *[
        entry_calls(method, f"tavoq.{cls}.{method}", [receiver(cls, method), *params])
        for cls in DISTRIBUTIONS
        for method, params in METHODS.items()
    ],
    *[
        entry_calls("constructor", f"tavoq.{cls}.__init__", [receiver(cls, "__init__"), *params])
        for cls, params in CONSTRUCTORS.items()
    ],
)

TREE_CALLS = st.one_of(
    *[
        entry_calls(
            "tree", f"tavoq.CutsetTree.{method}", [receiver("CutsetTree", method), *params]
        )
        for method, params in TREE_METHODS.items()
    ],
    entry_calls(
        "threads",
        "tavoq.limitOMPThreads",
        [int_param(st.integers(1, 2), st.one_of(st.integers(-3, 0), st.just(INT32_MIN)))],
    ),
)


def run_child(calls: list[tuple[str, list[str]]]) -> tuple[int | str, list, str, str]:
    """Run the calls in a child interpreter: (status, events, native stdout, native stderr)."""
    with tempfile.TemporaryDirectory() as scratch:
        out, err = Path(scratch, "out"), Path(scratch, "err")
        env = dict(os.environ, OMP_NUM_THREADS="2")
        if UNDER_ASAN:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
        limit = 0 if UNDER_ASAN else ADDRESS_SPACE_LIMIT
        try:
            proc = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(CHILD), str(out), str(err), str(limit)],
                input=json.dumps(calls),
                capture_output=True,
                text=True,
                timeout=300,
                env=env,
            )
            protocol, status = proc.stdout, proc.returncode
        except subprocess.TimeoutExpired as stuck:
            protocol = stuck.stdout.decode() if isinstance(stuck.stdout, bytes) else stuck.stdout
            status = "timeout"
        events = [json.loads(line) for line in (protocol or "").splitlines()]
        read = lambda path: path.read_text(errors="replace") if path.exists() else ""
        return status, events, read(out), read(err)


def run_batch(calls: list[Call]) -> None:
    status, events, _, stderr = run_child([(c.function, list(c.args)) for c in calls])
    if status != 0:
        started = [e[1] for e in events if e[0] == "start"]
        culprit = calls[started[-1]].source if started else "(before the first call)"
        pytest.fail(
            f"the interpreter did not survive ({status}) the call\n    {culprit}\n{stderr[-4000:]}"
        )
    done = [e for e in events if e[0] == "done"]
    assert len(done) == len(calls)
    for _, i, outcome, (wrote_out, wrote_err) in done:
        c = calls[i]
        if c.type_error:
            assert outcome == "TypeError", c.source
            assert not (wrote_out or wrote_err), f"wrote before refusing: {c.source}"
        else:
            assert outcome in {"ok"} | ALLOWED[c.kind], f"{c.source} raised {outcome}"


# Each example starts an interpreter, so examples are few and batches long. No shrinking: the
# failure names the very call, and shrinking would start hundreds of interpreters.
FUZZ = settings(
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=12,
    phases=[Phase.explicit, Phase.generate],
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@FUZZ
@given(st.lists(RUNNER_CALLS, min_size=20, max_size=40))
def test_runners_with_bad_arguments(calls):
    run_batch(calls)


@FUZZ
@given(st.lists(DISTRIBUTION_CALLS, min_size=30, max_size=60))
def test_distributions_with_bad_arguments(calls):
    run_batch(calls)


@FUZZ
@given(st.lists(TREE_CALLS, min_size=30, max_size=60))
def test_cutset_trees_with_bad_arguments(calls):
    run_batch(calls)


def test_child_reports_each_outcome_and_output():
    # The harness itself: what each call raised, and whether it wrote, must come back.
    status, events, out, err = run_child(
        [
            ("tavoq.runnerSingleSim", ["3", "[[[uninit(tavoq.Weibull)]]]", "None", "1"]),
            ("tavoq.runnerMultipleSim", ["1", "2", "[[[D()]]]", "make_tree(1, [[1]])", "1"]),
            ("tavoq.Normal(0.0, 1.0).quantile", ["2.0", "0"]),
            ("tavoq.CutsetTree(2).findNode", ["[]"]),
        ]
    )
    assert status == 0
    done = [e[2:] for e in events if e[0] == "done"]
    assert done == [
        ["TypeError", [False, False]],
        ["ok", [True, False]],
        ["IndexError", [False, False]],
        ["ok", [False, True]],
    ]
    assert out.endswith("All Simulations Done.\n")
    assert err == "cutset size wrong.\n"


def test_a_crash_is_reported_with_its_call():
    calls = [Call("pdf", "D().pdf", ("1.0",), False), Call("pdf", "os.abort", (), False)]
    with pytest.raises(pytest.fail.Exception, match=r"(?s)did not survive.*os\.abort\(\)"):
        run_batch(calls)
