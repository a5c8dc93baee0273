"""The package's layers, read from its imports: each module imports only from its own layer or
those below it, no module imports another's private names, and no imports go round in a
circle. From the bottom: errors, model, formats, results, analysis, run, output, cli, and on top
__main__, the command's entry point. The native core in src/ keeps the same rule for its
includes."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tavoq_tools

PACKAGE = Path(tavoq_tools.__file__).resolve().parent
LAYERS = ["errors", "model", "formats", "results", "analysis", "run", "output", "cli", "__main__"]


def module_name(path):
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    if parts[-1] == "__init__":
        parts = parts[:-1]
    return ".".join(("tavoq_tools", *parts))


MODULES = {module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}


def layer(module):
    """The layer of a module of the package; None for the package itself (its front door)."""
    parts = module.split(".")
    return LAYERS.index(parts[1]) if len(parts) > 1 else None


def imports(text, name, is_package=False):
    """(module, names taken from it) for every import of the package in module ``name``."""
    package = name if is_package else name.rpartition(".")[0]
    found = []
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, ast.ImportFrom):
            target = node.module or ""
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            if not target.startswith("tavoq_tools"):
                continue
            names = [alias.name for alias in node.names]
            # ``from . import logic`` imports the module tavoq_tools.model.logic.
            found += [(f"{target}.{n}", []) for n in names if f"{target}.{n}" in MODULES]
            found.append((target, [n for n in names if f"{target}.{n}" not in MODULES]))
        elif isinstance(node, ast.Import):
            found += [(a.name, []) for a in node.names if a.name.startswith("tavoq_tools")]
    return found


def imports_of(module):
    path = MODULES[module]
    return imports(path.read_text(), module, path.name == "__init__.py")


def problems(module, found):
    """What is wrong with the imports ``found`` in ``module``."""
    wrong = []
    for target, names in found:
        if layer(module) is not None and (layer(target) is None or layer(target) > layer(module)):
            wrong.append(f"{module} imports {target}, a layer above its own")
        private = [n for n in names if n.startswith("_") and n != "__future__"]
        if private and target != module:
            wrong.append(f"{module} takes the private {', '.join(private)} from {target}")
    return wrong


def circle(graph):
    """One import circle of ``graph`` (module -> modules it imports), or None."""
    done, path = set(), []

    def visit(module):
        if module in path:
            return [*path[path.index(module) :], module]
        if module in done:
            return None
        path.append(module)
        for target in sorted(graph.get(module, ())):
            found = visit(target)
            if found:
                return found
        path.pop()
        done.add(module)
        return None

    for module in sorted(graph):
        found = visit(module)
        if found:
            return found
    return None


def graph_of(modules):
    # A subpackage's __init__ gathers its own modules, and the package's front door every
    # layer's; neither is a step of a circle through the modules themselves.
    return {
        m: {
            t
            for t, _ in found
            if t in MODULES and t != "tavoq_tools" and not m.startswith(t + ".")
        }
        for m, found in modules.items()
    }


def test_every_module_has_a_layer():
    assert {m.split(".")[1] for m in MODULES if m != "tavoq_tools"} == set(LAYERS)


@pytest.mark.parametrize("module", sorted(MODULES))
def test_imports_only_from_its_layer_or_below_and_no_private_names(module):
    assert problems(module, imports_of(module)) == []


def test_no_import_circles():
    assert circle(graph_of({m: imports_of(m) for m in MODULES})) is None


def test_the_checks_catch_what_they_look_for():
    model = "tavoq_tools.model.system"
    upward = imports("from ..run.simulate import _progress_bar\n", model)
    assert problems(model, upward) == [
        f"{model} imports tavoq_tools.run.simulate, a layer above its own",
        f"{model} takes the private _progress_bar from tavoq_tools.run.simulate",
    ]
    sideways = imports("from . import logic\nfrom .distributions import KINDS\n", model)
    assert problems(model, sideways) == []
    assert circle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert circle({"a": {"b"}, "b": {"c"}, "c": set()}) is None


def test_the_model_layer_loads_no_file_format():
    # A Python user who builds a Model in code pays for no reader (nor defusedxml).
    code = (
        "import sys, tavoq_tools.model\n"
        "loaded = [m for m in sys.modules if m.startswith('tavoq_tools.formats')\n"
        "          or m.split('.')[0] == 'defusedxml']\n"
        "assert not loaded, loaded\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


# The native core's folders from the bottom: a file includes only from its own folder or
# those below it. The runners are the one folder that sees both engines.
SRC = Path(__file__).resolve().parents[3] / "src"
SRC_LAYERS = [
    "platform",
    "simd",
    "distributions",
    "cutset",
    "logic",
    "simulation",
    "interactions",
    "rare",
    "runners",
    "formats",
    "bindings",
]


def test_no_include_in_the_native_core_runs_up():
    include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.MULTILINE)
    folders = sorted(p.name for p in SRC.iterdir() if p.is_dir())
    assert sorted(SRC_LAYERS) == folders  # a new folder takes its place in the list
    wrong = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        own = path.relative_to(SRC).parts[0]
        for target in include.findall(path.read_text()):
            if SRC_LAYERS.index(target) > SRC_LAYERS.index(own):
                wrong.append(f"{path.relative_to(SRC)} includes {target}/")
    assert not wrong
