"""How each module built on the frame is linked and loaded, and calls that only C code can make."""
import builtins
import ctypes
import importlib
import importlib.machinery
import importlib.util
import re
import shutil
import subprocess
import sys

import pytest

import _frametest as ft

DELIVERABLES = [
    "quorvane.server.routes.health",
    "quorvane.server.routes.formulas",
    "quorvane.server.routes.billing",
    "quorvane.server.barwarden",
    "quorvane.server.lagsentry",
    "quorvane.server.telegram",
    "quorvane.brokers.qmt.termhost",
]


def _built(dotted):
    try:
        spec = importlib.util.find_spec(dotted)
    except ModuleNotFoundError:
        return False
    return spec is not None and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)


@pytest.fixture(params=["_frametest", *DELIVERABLES])
def module(request):
    """Each module of this build that links the frame, imported."""
    if request.param != "_frametest" and not _built(request.param):
        pytest.skip(f"{request.param} is not built yet")
    return importlib.import_module(request.param)


# Instantiations of the standard library's templates may stay visible: they are the same code in
# every module, so binding one module's copy to another's does no harm. So may the constant
# objects behind string template arguments (the names of "x"_id), which clang exports whatever
# the visibility: read-only text, identical wherever it is bound.
_STANDARD = re.compile(r"std::|__gnu_cxx::|__cxxabiv1::|operator (?:new|delete)")
_OURS = re.compile(r"frame::|health::|\(anonymous namespace\)")


def _standard(symbol):
    """Whether a demangled symbol is the standard library's (or a template argument's text)."""
    if symbol.startswith("template parameter object for "):
        return True
    return bool(_STANDARD.search(symbol)) and not _OURS.search(symbol)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_init_export_is_visible(module):
    # Every module links its own copy of the frame. A frame symbol left visible would be bound by
    # the dynamic linker to whichever module was loaded first, and its statics (interned names,
    # the recorded interpreter, the coroutine type) shared with it.
    listing = subprocess.run(["nm", "-DC", "--defined-only", module.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split(maxsplit=2)[2] for line in listing.splitlines() if line.strip()]
    ours = [name for name in exported if not _standard(name) and name not in ("_init", "_fini")]
    assert ours == ["PyInit_" + module.__name__.rpartition(".")[2]]


def test_loaded_like_a_python_module(module):
    name = module.__name__
    spec = importlib.util.find_spec(name)
    assert sys.modules[name] is module and importlib.import_module(name) is module
    assert module.__file__ == spec.origin
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__loader__.name == name
    assert module.__package__ == name.rpartition(".")[0]
    assert not hasattr(module, "__path__")
    assert module.__builtins__ is builtins
    assert module.__test__ == {}
    assert isinstance(module.__doc__, str) and module.__doc__


def _vectorcall():
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    return call


@pytest.mark.parametrize("kwnames, text", [
    ((3,), "add3() keywords must be strings"),
    ((b"c",), "add3() keywords must be strings"),
    (("c",), None),
])
def test_keyword_names_from_a_c_caller(kwnames, text):
    # Python code cannot pass a keyword name that is not a str (the interpreter refuses
    # `f(**{3: 4})` before the call); a C caller's vectorcall reaches the frame's binder with one.
    args = (ctypes.py_object * 3)(1, 2, 3)
    if text is None:
        assert _vectorcall()(ft.add3, args, 2, kwnames) == 6
        return
    with pytest.raises(TypeError) as raised:
        _vectorcall()(ft.add3, args, 2, kwnames)
    assert str(raised.value) == text
