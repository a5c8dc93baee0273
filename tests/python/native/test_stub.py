"""The checked-in stub python/tavoq.pyi names what the built module holds, so that it cannot
go stale silently when the module gains or loses a class, function or method."""

import ast
from pathlib import Path

import pytest

import tavoq

STUB = Path(__file__).resolve().parents[3] / "python" / "tavoq.pyi"


def stub_names():
    tree = ast.parse(STUB.read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)} | {
                n.target.id
                for n in node.body
                if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
            }
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
    return names


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_stub_names_the_public_names_of_the_module():
    assert set(stub_names()) == public(dir(tavoq))


@pytest.mark.parametrize("name", sorted(n for n, v in stub_names().items() if v is not None))
def test_stub_names_the_public_members_of_each_class(name):
    assert public(stub_names()[name]) == public(vars(getattr(tavoq, name)))
