"""The package's layers: input rules at the bottom, the one module that calls the extension's
private functions, the tables and command layers (which never import each other), the public
modules on top; no cycles, and no private name taken from another module."""

import ast
import pathlib

import corvane
import pytest

ROOT = pathlib.Path(corvane.__file__).parent
# What each layer may import of the package, besides itself.
ALLOWED = {
    "_optional": set(),
    "_names": set(),
    "_engine": {"_names"},
    "tables": {"_names", "_engine", "_optional"},
    "command": {"_names", "_engine", "_report", "_optional"},
    "_report": {"_names"},
}


def layer(module):
    """'tables' for corvane.tables._read, '_names' for corvane._names; None for a public one."""
    parts = module.split(".")[1:]
    return parts[0] if parts and parts[0] in ALLOWED else None


def modules():
    for path in sorted(ROOT.rglob("*.py")):
        parts = path.relative_to(ROOT).with_suffix("").parts
        name = ".".join(("corvane",) + tuple(p for p in parts if p != "__init__"))
        yield name, path.name == "__init__.py", ast.parse(path.read_text(), str(path))


def imports(name, is_package, tree):
    """(imported corvane module, names taken from it, node) for every import, lazy ones too."""
    package = name if is_package else name.rpartition(".")[0]
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, [], node
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            yield base, [a.name for a in node.names], node


MODULES = list(modules())
NAMES = {name for name, _, _ in MODULES}


@pytest.mark.parametrize("name, is_package, tree", MODULES, ids=[m[0] for m in MODULES])
def test_each_layer_imports_only_the_layers_beneath_it(name, is_package, tree):
    own = layer(name)
    for target, taken, node in imports(name, is_package, tree):
        if target == "_corvane":
            assert name == "corvane._engine" or not any(t.startswith("_") for t in taken), (
                f"{name}:{node.lineno} takes a private name of the extension")
        if not target.startswith("corvane"):
            continue
        # `from . import x` takes modules: judge each as its own import.
        targets = [f"{target}.{t}" for t in taken if f"{target}.{t}" in NAMES] or [target]
        for module in targets:
            theirs = layer(module)
            if own is not None and theirs != own:
                assert theirs in ALLOWED[own], f"{name}:{node.lineno} imports {module}"
            private = [t for t in taken if t.startswith("_") and f"{target}.{t}" not in NAMES]
            assert not private, f"{name}:{node.lineno} takes {private} from {target}"


def test_only_the_engine_module_calls_the_extensions_private_functions():
    for name, _, tree in MODULES:
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                    and node.value.id == "_corvane" and node.attr.startswith("_")):
                assert name == "corvane._engine", f"{name}:{node.lineno} calls _corvane.{node.attr}"


def test_no_import_cycle():
    graph = {name: set() for name in NAMES}
    for name, is_package, tree in MODULES:
        for target, taken, _ in imports(name, is_package, tree):
            for module in [f"{target}.{t}" for t in taken] + [target]:
                if module in NAMES and module != name and not name.startswith(module + "."):
                    graph[name].add(module)
    done, path = set(), []

    def visit(module):
        assert module not in path, "import cycle: " + " -> ".join(path + [module])
        if module in done:
            return
        path.append(module)
        for other in graph[module]:
            visit(other)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)
