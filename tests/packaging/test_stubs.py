"""The native modules' stubs, as installed beside each .so, against the modules themselves.

mypy's stubtest compares what it can see: the public names, the signatures that the runtime
exposes (routes and methods), async or not, defaults. What it skips is checked here: private
names, class members and instance attributes, the parameters of module functions (compiled
functions carry no signature; their argument binder's errors name them), the annotations
against the runtime's own texts, and the docstrings.
"""
import ast
import importlib
import inspect
import subprocess
import sys
import types
from pathlib import Path

import pytest

MODULES = ["quorvane.server.routes.health", "quorvane.server.routes.formulas",
           "quorvane.server.routes.billing", "quorvane.server.barwarden", "quorvane.server.lagsentry",
           "quorvane.server.telegram", "quorvane.brokers.qmt.termhost"]
HERE = Path(__file__).parent
# A made instance of each class, for its instance attributes.
INSTANCES = {"_SymbolSubscription": lambda cls: cls("AAPL", None, None),
             "BarwardenManager": lambda cls: cls(None), "LagSentry": lambda cls: cls(),
             "QMTTermhost": lambda cls: cls()}


def test_stubtest():
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(HERE.parents[1] / "pyproject.toml"),
         "--allowlist", str(HERE / "stubtest-allowlist.txt"), *MODULES],
        capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


def members(body):
    """Name -> node of what a stub body defines (functions, classes, variables, re-exports)."""
    found = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            found[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            found[node.target.id] = node
        elif isinstance(node, ast.Assign):
            found.update((target.id, node) for target in node.targets)
        elif isinstance(node, ast.ImportFrom):
            found.update((alias.asname, node) for alias in node.names if alias.asname == alias.name)
    return found


def own_names(namespace):
    """What the module (or class) binds itself: no imported modules, no dunders but the ones
    that are its interface."""
    return {name for name, value in namespace.items()
            if not isinstance(value, types.ModuleType)
            and (not name.startswith("__") or name in ("__version__", "__init__", "__slots__"))}


def same_annotation(runtime, stub):
    """The stub's annotation is the runtime's text, or subscripts it (`dict` -> `dict[str, Any]`)."""
    if runtime is inspect.Parameter.empty:
        return True
    text = runtime if isinstance(runtime, str) else getattr(runtime, "__name__", None) or str(runtime)
    stub = ast.unparse(stub) if stub else ""
    return stub == text or stub.startswith(text + "[")


def check_function(runtime, node):
    assert inspect.iscoroutinefunction(runtime) == isinstance(node, ast.AsyncFunctionDef), node.name
    if ast.get_docstring(node):
        assert inspect.cleandoc(runtime.__doc__).startswith(ast.get_docstring(node)), node.name
    try:
        signature = inspect.signature(runtime)
    except ValueError:  # a compiled module function: its binder knows the parameters
        names = [arg.arg for arg in node.args.args]
        with pytest.raises(TypeError, match=rf"^{node.name}\(\) takes exactly {len(names)} positional argument"):
            runtime(*[object()] * (len(names) + 1))
        with pytest.raises(TypeError, match=rf"^{node.name}\(\) got an unexpected keyword argument 'zz_unknown'$"):
            runtime(**dict.fromkeys(names, object()), zz_unknown=0)
        return
    stub_args = {arg.arg: arg.annotation for arg in node.args.args}
    defaults = dict(zip([arg.arg for arg in node.args.args][::-1], node.args.defaults[::-1]))
    for name, param in signature.parameters.items():
        assert same_annotation(param.annotation, stub_args[name]), (node.name, name)
        if param.default is not param.empty:  # `...` stands for a default that is no literal
            stub_default = ast.literal_eval(defaults[name])
            assert stub_default is Ellipsis or stub_default == param.default, (node.name, name)
    assert same_annotation(signature.return_annotation, node.returns), node.name


def check_class(cls, node):
    stub = members(node.body)
    assert (cls.__doc__ or None) == ast.get_docstring(node), node.name
    annotations = cls.__dict__.get("__annotations__", {})
    runtime = {name for name, value in vars(cls).items() if callable(value) or isinstance(value, property)}
    runtime = own_names(dict.fromkeys(runtime)) | set(annotations) | set(cls.__dict__.get("__slots__", ()))
    if node.name in INSTANCES:
        runtime |= set(getattr(INSTANCES[node.name](cls), "__dict__", {}))
    assert runtime - stub.keys() == set(), f"{node.name}: not in the stub"
    if "__slots__" in stub:
        assert ast.literal_eval(stub["__slots__"].value) == cls.__slots__
    for name, text in annotations.items():
        assert ast.unparse(stub[name].annotation) == text, (node.name, name)
    for name, value in vars(cls).items():
        if isinstance(value, property):
            check_function(value.fget, stub[name])
        elif isinstance(stub.get(name), (ast.FunctionDef, ast.AsyncFunctionDef)):
            check_function(value, stub[name])


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module(name)
    tree = ast.parse(Path(module.__file__).with_name(name.rpartition(".")[2] + ".pyi").read_text())
    stub = members(tree.body)
    assert own_names(vars(module)) - stub.keys() == set(), "not in the stub"
    assert inspect.cleandoc(module.__doc__).startswith(ast.get_docstring(tree))
    for attr, node in stub.items():
        value = getattr(module, attr, None)
        if isinstance(node, ast.ClassDef):
            check_class(value, node)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            check_function(value, node)
