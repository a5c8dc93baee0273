"""The module as Python sees it: registration, names, docstrings, instances and helpers."""

import math
import re

import pytest
from conftest import NO_TRANSITION

import tavoq

DISTRIBUTION_SUBCLASSES = [
    "Normal",
    "Exponential",
    "Uniform",
    "Weibull",
    "Inspection",
    "Maintenance",
    "InstantaneousFailure",
    "Lognormal",
    "Gamma",
    "Constant",
]
CLASSES = ["Distribution", *DISTRIBUTION_SUBCLASSES, "CutsetTree"]
FUNCTIONS = [
    "runnerSingleSim",
    "runnerMultipleSim",
    "runnerParallelSim",
    "reportSIMDSupport",
    "limitOMPThreads",
    "FaultTree",
    "graphWalks",
    "Interactions",
    "RunStatistics",
    "runnerStatistics",
    "runnerImportance",
    "runnerSamples",
    "runnerRareSampling",
    "runnerRareSplitting",
    "GalileoTokens",
    "readPlainOpenPsa",
    "readPlainGalileo",
]

# Constructor arguments that every class accepts.
CTOR_ARGS = {
    "Distribution": (),
    "Normal": (0.0, 1.0),
    "Exponential": (2.0,),
    "Uniform": (1.0, 3.0),
    "Weibull": (1.0, 2.0),
    "Inspection": (10,),
    "Maintenance": ([7],),
    "InstantaneousFailure": (100,),
    "Lognormal": (0.0, 1.0),
    "Gamma": (2.0, 3.0),
    "Constant": (4.0,),
    "CutsetTree": (3,),
}


def make(name):
    return getattr(tavoq, name)(*CTOR_ARGS[name])


# ---------------------------------------------------------------------------
# Module and registration


def test_module_docstring():
    assert tavoq.__doc__ == "Python bindings for the simulator library"


def test_registration_order():
    public = [name for name in vars(tavoq) if not name.startswith("_")]
    assert public == CLASSES + FUNCTIONS


@pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
def test_member_registration_order(name):
    cls = getattr(tavoq, name)
    members = [m for m in vars(cls) if not m.startswith("_") or m == "__init__"]
    if name == "CutsetTree":
        expected = [
            "__init__",
            "insertNode",
            "constructTree",
            "findNode",
            "getRoot",
            "getCutsets",
            "findWithin",
        ]
    else:
        expected = ["__init__", "pdf", "cdf", "quantile"]
    assert members == expected


@pytest.mark.parametrize("name", DISTRIBUTION_SUBCLASSES, ids=DISTRIBUTION_SUBCLASSES)
def test_distribution_subclass_base(name):
    cls = getattr(tavoq, name)
    assert cls.__bases__ == (tavoq.Distribution,)
    assert isinstance(make(name), tavoq.Distribution)
    assert not issubclass(tavoq.Distribution, cls)


@pytest.mark.parametrize(
    "name", ["Distribution", "CutsetTree"], ids=["Distribution", "CutsetTree"]
)
def test_root_classes_have_no_module_base(name):
    cls = getattr(tavoq, name)
    module_classes = {getattr(tavoq, c) for c in CLASSES}
    assert not any(base in module_classes for base in cls.__mro__[1:])


def test_weibull_instance_is_a_distribution():
    assert isinstance(tavoq.Weibull(1.0, 2.0), tavoq.Distribution)


@pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
def test_class_docstring_is_none(name):
    assert getattr(tavoq, name).__doc__ is None


def test_cutset_tree_node_is_not_registered():
    assert not hasattr(tavoq, "CutsetTreeNode")


@pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
def test_classes_can_be_subclassed_in_python(name):
    cls = getattr(tavoq, name)
    sub = type("Sub" + name, (cls,), {})
    obj = sub(*CTOR_ARGS[name])
    assert isinstance(obj, cls)


# ---------------------------------------------------------------------------
# Docstrings


def split_doc(doc):
    """Return (signature line, text after the blank line or None)."""
    assert doc.endswith("\n")
    lines = doc[:-1].split("\n")
    if len(lines) == 1:
        return lines[0], None
    assert len(lines) == 3 and lines[1] == "", doc
    return lines[0], lines[2]


def parse_signature(line):
    """Split 'name(a: T, b: U) -> R' into (name, [(param, annotation)], result)."""
    m = re.fullmatch(r"(\w+)\((.*)\) -> (.+)", line)
    assert m, line
    name, params, result = m.groups()
    parts, depth, current = [], 0, ""
    for ch in params:
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        depth += ch in "[("
        depth -= ch in "])"
        current += ch
    if current.strip():
        parts.append(current.strip())
    out = []
    for part in parts:
        pname, _, ann = part.partition(": ")
        out.append((pname, ann))
    return name, out, result


METHOD_TEXT = {
    "pdf": "Probability density function",
    "cdf": "Cumulative distribution function",
    "quantile": "Quantile function",
}
METHOD_PARAM_KINDS = {"pdf": ["float"], "cdf": ["float"], "quantile": ["float", "int"]}


def check_annotation(ann, kind):
    if kind == "int":
        assert "typing.SupportsInt" in ann
        assert "Float" not in ann
    elif kind == "float":
        assert "typing.SupportsFloat" in ann
    else:
        assert ann == kind


@pytest.mark.parametrize(
    "cls_name",
    ["Distribution", *DISTRIBUTION_SUBCLASSES],
    ids=["Distribution", *DISTRIBUTION_SUBCLASSES],
)
@pytest.mark.parametrize("method", ["pdf", "cdf", "quantile"], ids=["pdf", "cdf", "quantile"])
def test_distribution_method_docstring(cls_name, method):
    doc = getattr(getattr(tavoq, cls_name), method).__doc__
    sig, text = split_doc(doc)
    name, params, result = parse_signature(sig)
    assert name == method
    assert result == "float"
    assert params[0] == ("self", f"tavoq.{cls_name}")
    kinds = METHOD_PARAM_KINDS[method]
    assert len(params) == 1 + len(kinds)
    for (pname, ann), kind in zip(params[1:], kinds):
        assert re.fullmatch(r"arg\d+", pname), pname  # generated positional name
        check_annotation(ann, kind)
    if cls_name == "Distribution":
        assert text == METHOD_TEXT[method]
    else:
        assert text is None


def test_distribution_pdf_docstring_has_signature_and_text():
    doc = tavoq.Distribution.pdf.__doc__
    assert doc.startswith("pdf(self: tavoq.Distribution")
    assert "Probability density function" in doc


def test_normal_pdf_docstring_is_signature_only():
    doc = tavoq.Normal.pdf.__doc__
    assert doc.startswith("pdf(self: tavoq.Normal")
    assert doc.count("\n") == 1
    assert "Probability density function" not in doc


CTOR_PARAMS = {
    "Distribution": [],
    "Normal": [("mean", "float"), ("stddev", "float")],
    "Exponential": [("lambda", "float")],
    "Uniform": [("a", "float"), ("b", "float")],
    "Weibull": [("lambda", "float"), ("k", "float")],
    "Inspection": [("inspectionTime", "int")],
    "Maintenance": [("maintenanceTimes", "intseq")],
    "InstantaneousFailure": [("failureTime", "int")],
    "Lognormal": [("mu", "float"), ("sigma", "float")],
    "Gamma": [("shape", "float"), ("scale", "float")],
    "Constant": [("delay", "float")],
    "CutsetTree": [("cutsetSize", "int")],
}


@pytest.mark.parametrize("cls_name", CLASSES, ids=CLASSES)
def test_constructor_docstring(cls_name):
    sig, text = split_doc(getattr(tavoq, cls_name).__init__.__doc__)
    name, params, result = parse_signature(sig)
    assert (name, result, text) == ("__init__", "None", None)
    assert params[0] == ("self", f"tavoq.{cls_name}")
    expected = CTOR_PARAMS[cls_name]
    assert [p for p, _ in params[1:]] == [p for p, _ in expected]
    for (_, ann), (_, kind) in zip(params[1:], expected):
        if kind == "intseq":
            assert ann.startswith("collections.abc.Sequence[")
            assert "typing.SupportsInt" in ann
        else:
            check_annotation(ann, kind)


INT = "int"
FLOAT = "float"
INTSEQ = "intseq"
MATRIX = (
    "collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence["
    "tavoq.Distribution]]]"
)
TREE = "tavoq.CutsetTree"

FUNCTION_DOCS = {
    "runnerSingleSim": (
        [("simTime", INT), ("transitionsMatrix", MATRIX), ("cutSetTree", TREE), ("seed", INT)],
        "list[int]",
        "Run a single simulation",
    ),
    "runnerMultipleSim": (
        [
            ("nSimulations", INT),
            ("simTime", INT),
            ("transitionsMatrix", MATRIX),
            ("cutSetTree", TREE),
            ("seed", INT),
        ],
        "list[int]",
        "Run multiple simulations on a single thread",
    ),
    "runnerParallelSim": (
        [
            ("nSimulations", INT),
            ("simTime", INT),
            ("transitionsMatrix", MATRIX),
            ("cutSetTree", TREE),
            ("seed", INT),
        ],
        "list[int]",
        "Run multiple simulations in parallel",
    ),
    "reportSIMDSupport": ([], "None", "Report SIMD support status"),
    "limitOMPThreads": ([("maxThreads", INT)], "None", "Limit the number of OMP threads"),
}


@pytest.mark.parametrize("fname", list(FUNCTION_DOCS), ids=list(FUNCTION_DOCS))
def test_function_docstring(fname):
    expected_params, expected_result, expected_text = FUNCTION_DOCS[fname]
    sig, text = split_doc(getattr(tavoq, fname).__doc__)
    name, params, result = parse_signature(sig)
    assert name == fname
    assert result == expected_result
    assert text == expected_text
    assert [p for p, _ in params] == [p for p, _ in expected_params]
    for (_, ann), (_, kind) in zip(params, expected_params):
        check_annotation(ann, kind)


TREE_METHOD_DOCS = {
    "insertNode": ([("cutset", INTSEQ)], "None", "Insert a new node into the cutset tree"),
    "constructTree": (
        [("cutsets", "intseqseq")],
        "None",
        "Construct the cutset tree from a list of cutsets",
    ),
    "findNode": (
        [("cutset", INTSEQ)],
        "list[int]",
        "Find a node in the cutset tree by its cutset",
    ),
    "getRoot": ([], "CutsetTreeNode", "Get the root node of the cutset tree"),
}


@pytest.mark.parametrize("method", list(TREE_METHOD_DOCS), ids=list(TREE_METHOD_DOCS))
def test_cutset_tree_method_docstring(method):
    expected_params, expected_result, expected_text = TREE_METHOD_DOCS[method]
    sig, text = split_doc(getattr(tavoq.CutsetTree, method).__doc__)
    name, params, result = parse_signature(sig)
    assert (name, result, text) == (method, expected_result, expected_text)
    assert params[0] == ("self", "tavoq.CutsetTree")
    assert [p for p, _ in params[1:]] == [p for p, _ in expected_params]
    for (_, ann), (_, kind) in zip(params[1:], expected_params):
        depth = {"intseq": 1, "intseqseq": 2}[kind]
        assert ann.startswith("collections.abc.Sequence[" * depth)
        assert "typing.SupportsInt" in ann


# ---------------------------------------------------------------------------
# Keyword names


@pytest.mark.parametrize(
    "factory, check",
    [
        (lambda: tavoq.Normal(mean=2.0, stddev=3.0), lambda d: d.quantile(0.5, 0) == 2.0),
        (lambda: tavoq.Normal(stddev=3.0, mean=2.0), lambda d: d.quantile(0.5, 0) == 2.0),
        (lambda: tavoq.Uniform(b=3.0, a=1.0), lambda d: d.quantile(0.0, 0) == 1.0),
        (lambda: tavoq.Exponential(**{"lambda": 2.0}), lambda d: d.pdf(0.0) == 2.0),
        (
            lambda: tavoq.Weibull(k=2.0, **{"lambda": 10.0}),
            lambda d: math.isclose(d.quantile(1.0 - math.exp(-1.0), 0), 10.0, rel_tol=1e-12),
        ),
        (lambda: tavoq.Inspection(inspectionTime=10), lambda d: d.quantile(0.5, 3) == 7.0),
        (lambda: tavoq.Maintenance(maintenanceTimes=[7]), lambda d: d.quantile(0.5, 3) == 7.0),
        (
            lambda: tavoq.InstantaneousFailure(failureTime=100),
            lambda d: d.quantile(0.3, 40) == 60.0,
        ),
    ],
    ids=[
        "Normal",
        "Normal-reordered",
        "Uniform-reordered",
        "Exponential-lambda-mapping",
        "Weibull-lambda-mapping",
        "Inspection",
        "Maintenance",
        "InstantaneousFailure",
    ],
)
def test_constructor_keywords(factory, check):
    assert check(factory())


def test_cutset_tree_keywords():
    tree = tavoq.CutsetTree(cutsetSize=3)
    assert tree.insertNode(cutset=[1, 0, 0]) is None
    assert tree.constructTree(cutsets=[[0, 1, 0]]) is None
    assert tree.findNode(cutset=[1, 1, 0]) == [1, 0, 0]
    assert tree.findNode(cutset=[0, 1, 1]) == [0, 1, 0]


@pytest.mark.parametrize(
    "call",
    [
        lambda: tavoq.Normal(mu=0.0, sigma=1.0),
        lambda: tavoq.Normal(0.0, stddev=1.0, mean=0.0),
        lambda: tavoq.Exponential(rate=1.0),
        lambda: tavoq.Weibull(**{"lambda": 1.0, "shape": 2.0}),
        lambda: tavoq.Inspection(interval=3),
        lambda: tavoq.CutsetTree(size=3),
        lambda: tavoq.CutsetTree(3).findNode(query=[1, 0, 0]),
        lambda: tavoq.limitOMPThreads(threads=2),
    ],
    ids=[
        "Normal",
        "Normal-duplicate",
        "Exponential",
        "Weibull",
        "Inspection",
        "CutsetTree",
        "findNode",
        "limitOMPThreads",
    ],
)
def test_unknown_keywords_rejected(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "cls_name, method, kwargs",
    [
        (cls_name, method, kwargs)
        for cls_name in ["Distribution", *DISTRIBUTION_SUBCLASSES]
        for method, kwargs in [
            ("pdf", {"x": 1.0}),
            ("pdf", {"arg0": 1.0}),
            ("cdf", {"x": 1.0}),
            ("cdf", {"arg0": 1.0}),
            ("quantile", {"p": 0.5, "currentTime": 0}),
            ("quantile", {"arg0": 0.5, "arg1": 0}),
        ]
    ],
    ids=lambda v: v if isinstance(v, str) else "-".join(v),
)
def test_positional_only_methods_reject_keywords(cls_name, method, kwargs):
    obj = make(cls_name)
    with pytest.raises(TypeError):
        getattr(obj, method)(**kwargs)


def test_runner_keywords_and_positional_order(worked_example, capfd):
    ex = worked_example
    single = tavoq.runnerSingleSim(
        seed=1, cutSetTree=ex.tree, transitionsMatrix=ex.matrix, simTime=ex.sim_time
    )
    assert single == ex.expected
    multiple = tavoq.runnerMultipleSim(
        seed=1,
        cutSetTree=ex.tree,
        transitionsMatrix=ex.matrix,
        simTime=ex.sim_time,
        nSimulations=2,
    )
    parallel = tavoq.runnerParallelSim(
        seed=1,
        cutSetTree=ex.tree,
        transitionsMatrix=ex.matrix,
        simTime=ex.sim_time,
        nSimulations=2,
    )
    assert multiple == parallel == [2 * s for s in ex.expected]
    # positional: nSimulations first, then simTime
    assert tavoq.runnerMultipleSim(3, 4, ex.matrix, ex.tree, 1) == [3 * s for s in ex.expected[:4]]
    assert tavoq.runnerParallelSim(3, 4, ex.matrix, ex.tree, 1) == [3 * s for s in ex.expected[:4]]
    assert tavoq.runnerSingleSim(5, ex.matrix, ex.tree, 1) == ex.expected[:5]
    capfd.readouterr()


# ---------------------------------------------------------------------------
# Instances


@pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
@pytest.mark.parametrize(
    "attr",
    ["foo", "mean", "lambda_", "root", "cutsetSize"],
    ids=["foo", "mean", "lambda_", "root", "cutsetSize"],
)
def test_no_attribute_assignment(name, attr):
    obj = make(name)
    with pytest.raises(AttributeError):
        setattr(obj, attr, 1)
    assert not hasattr(obj, attr)


@pytest.mark.parametrize(
    "name, field",
    [
        ("Normal", "mean"),
        ("Normal", "stddev"),
        ("Uniform", "a"),
        ("Uniform", "b"),
        ("Weibull", "k"),
        ("Exponential", "lambda"),
        ("Inspection", "inspectionTime"),
        ("Maintenance", "maintenanceTimes"),
        ("InstantaneousFailure", "failureTime"),
        ("Lognormal", "sigma"),
        ("Gamma", "shape"),
        ("Constant", "delay"),
    ],
    ids=lambda v: v,
)
def test_fields_not_exposed(name, field):
    assert not hasattr(make(name), field)


def test_no_instance_dict():
    assert not hasattr(tavoq.Normal(0.0, 1.0), "__dict__")


def test_base_method_dispatches_to_subclass():
    n = tavoq.Normal(0.0, 1.0)
    assert tavoq.Distribution.pdf(n, 0.0) == pytest.approx(1.0 / math.sqrt(2.0 * math.pi))
    assert tavoq.Distribution.cdf(n, 0.0) == 0.5
    assert tavoq.Distribution.quantile(tavoq.Normal(2.0, 3.0), 0.5, 7) == 2.0
    assert tavoq.Distribution.quantile(tavoq.Inspection(10), 0.5, 3) == 7.0
    # Maintenance does not override pdf: the base value comes back through both paths.
    m = tavoq.Maintenance([7])
    assert tavoq.Distribution.pdf(m, 7.0) == tavoq.Maintenance.pdf(m, 7.0) == NO_TRANSITION


# ---------------------------------------------------------------------------
# getRoot


def test_get_root_raises_and_tree_stays_usable(capfd):
    tree = tavoq.CutsetTree(3)
    tree.insertNode([1, 0, 0])
    with pytest.raises(TypeError) as info:
        tree.getRoot()
    cause = info.value.__cause__
    assert isinstance(cause, TypeError)
    assert str(cause) == "Unregistered type : CutsetTreeNode"
    # Unchanged and still usable.
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    tree.insertNode([0, 1, 0])
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    with pytest.raises(TypeError):
        tree.getRoot()
    assert capfd.readouterr().err == ""


def test_get_root_on_new_tree():
    tree = tavoq.CutsetTree(3)
    with pytest.raises(TypeError):
        tree.getRoot()
    assert tree.findNode([1, 1, 1]) == []


# ---------------------------------------------------------------------------
# Runtime controls
