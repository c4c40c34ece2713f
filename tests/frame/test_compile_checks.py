"""Mistakes in module code that must not compile: a parameter list that does not match the body,
a scope variable that does not exist, an awaited local hidden from the garbage collector."""
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

FRAME = Path(__file__).resolve().parents[2] / "frame" / "include"
CXX = shutil.which("g++") or shutil.which("clang++")

# case: (source, what the compiler must say; None: it compiles)
CASES = {
    "ok": ("Ref two(Obj a, Obj b) { return tuple_of(a, b); }\n"
           "void define() { builtin<&two>(\"two\", {\"a\", \"b\"}); }", None),
    "too many names": ("Ref two(Obj a, Obj b) { return tuple_of(a, b); }\n"
                       "void define() { builtin<&two>(\"two\", {\"a\", \"b\", \"c\"}); }", "each parameter"),
    "too few names": ("Ref two(Obj a, Obj b) { return tuple_of(a, b); }\n"
                      "void define() { builtin<&two>(\"two\", {\"a\"}); }", "each parameter"),
    "unknown scope variable": ("using S = Vars<\"outer\", \"x\">;\n"
                               "Ref peek(S s) { return s.get<\"y\">(); }", "no variable of that name"),
    "awaited Ref local": ("Co wait(Obj aw) { Ref pending(aw); Ref r = co_await awaitable(pending); co_return r; }",
                          "deleted"),
}


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
@pytest.mark.parametrize("case", CASES)
def test_compiles_only_when_right(case, tmp_path):
    source = tmp_path / "case.cpp"
    code, complaint = CASES[case]
    source.write_text('#include "frame/frame.hpp"\nusing namespace frame;\nnamespace {\n' + code + "\n}\n")
    run = subprocess.run([CXX, "-std=c++20", "-fsyntax-only", f"-I{FRAME}", f"-I{sysconfig.get_paths()['include']}",
                          str(source)], capture_output=True, text=True)
    assert (run.returncode == 0) == (complaint is None), run.stderr[-1500:]
    assert complaint is None or complaint in run.stderr
