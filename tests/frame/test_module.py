"""Loading a frame module: one module object, one interpreter, no re-initialisation."""
import builtins
import importlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _frametest as ft

_interpreters = pytest.importorskip("_interpreters")

ONE_INTERPRETER = ("Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")


def test_import_twice_returns_same_module():
    assert importlib.import_module("_frametest") is ft
    import _frametest as again
    assert again is ft and sys.modules["_frametest"] is ft


def test_exec_step_again_refused():
    spec = importlib.util.find_spec("_frametest")
    m = importlib.util.module_from_spec(spec)
    assert m is ft   # the create step hands back the existing module
    with pytest.raises(RuntimeError) as ei:
        spec.loader.exec_module(m)
    assert str(ei.value) == ("Module '_frametest' has already been imported. "
                             "Re-initialisation is not supported.")
    assert ft.get_flag() == "flag" and ft.__test__ == {}   # the module still works


def test_module_attributes():
    spec = importlib.util.find_spec("_frametest")
    assert ft.__doc__ == "Frame test module."
    assert ft.__test__ == {}
    assert ft.__name__ == "_frametest" and ft.__file__ == spec.origin
    assert Path(ft.__file__).name.startswith("_frametest.") and Path(ft.__file__).is_file()
    assert isinstance(ft.__loader__, importlib.machinery.ExtensionFileLoader)
    assert ft.__package__ == "" and not hasattr(ft, "__path__")
    assert ft.__builtins__ is builtins
    assert ft.FLAG == "flag"


EXERCISE = """
import asyncio, _frametest as ft
ft.add3(1, 2, 3); ft.typed("s", 1, 2.0, {}, []); ft.make_counter(0)(); ft.make_unbound()
ft.Widget(1).grow(); asyncio.run(ft.Widget(1).later(ft.await_native(3, ft.sleep_then(0, 1))))
try: ft.raise_deep(2, "x")
except ValueError: pass
asyncio.run(ft.handler())
"""


def test_loading_and_using_issues_no_warnings():
    # e.g. a type of the frame created without a module name warns on first use
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-W", "error", "-c", EXERCISE], env=env,
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "")


def import_in_subinterpreter(config, name, path):
    """Imports `name` in a new subinterpreter; returns the error text ("" when it loaded)."""
    interp = _interpreters.create(_interpreters.new_config(config))
    try:
        code = f"import sys; sys.path.insert(0, {str(path)!r}); import {name}"
        try:
            snapshot = _interpreters.exec(interp, code)
        except Exception as e:   # raised instead of returned: the snapshot rides along
            snapshot = getattr(e, "excinfo", None)
            if snapshot is None:
                return f"{type(e).__name__}: {e}"
        if snapshot is None:
            return ""
        return f"{snapshot.type.__name__}: {snapshot.msg}"
    finally:
        _interpreters.destroy(interp)


def test_second_interpreter_refused():
    text = import_in_subinterpreter("legacy", "_frametest", Path(ft.__file__).parent)
    assert text == f"ImportError: {ONE_INTERPRETER}"
    assert ft.get_flag() == "flag"


def test_isolated_interpreter_refused_by_cpython():
    # The module must not claim support for a per-interpreter GIL.
    text = import_in_subinterpreter("isolated", "_frametest", Path(ft.__file__).parent)
    assert text == "ImportError: module _frametest does not support loading in subinterpreters"


def test_shipped_module_refuses_second_interpreter():
    try:
        importlib.import_module("quorvane.server.lagsentry")
    except ImportError as e:
        pytest.skip(f"quorvane.server.lagsentry not importable: {e}")
    import quorvane
    root = Path(quorvane.__file__).parent.parent
    text = import_in_subinterpreter("legacy", "quorvane.server.lagsentry", root)
    assert text == f"ImportError: {ONE_INTERPRETER}"
