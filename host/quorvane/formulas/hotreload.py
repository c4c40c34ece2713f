"""Loading the custom formulas from their directory, again at every reload.

The directory is ``$QUORVANE_FORMULA_DIR`` when set, else the ``custom`` directory next
to this file (shipped with one example, ``typical.py``). Every ``*.py`` file in it whose
name does not start with "_" is a custom formula file: a plain Python module that declares
its formulas in a module-level dict named ``FORMULAS``, formula name -> formula:

    from quorvane.formulas.presets import closes, line, positive_int, sma

    def SPREAD(bars, n=10, *, emit=True):
        "Close minus its n-bar mean."
        c = closes(bars)
        return line(bars, [x - m if m is not None else None
                           for x, m in zip(c, sma(c, positive_int(n)))], emit=emit)

    FORMULAS = {"SPREAD": SPREAD}

Names are upper-cased; they may hold letters, digits, "_", "." and "-". The formulas
follow the conventions of `quorvane.formulas.presets`.

A reload reads each file afresh (its source, never a cached bytecode) and runs it as a new
module, then registers what it declares, replacing the formulas an earlier reload took from
it. A file that cannot be read or run, or that declares no FORMULAS dict, and a declared
entry that is no formula, uses a preset's name or was declared by an earlier file of the
same reload, is reported in the failures and skipped; the other files and entries load.
A formula whose file is gone stays registered until it is removed.
"""

from __future__ import annotations

import os
import sys
import tokenize
import types
from pathlib import Path

FORMULA_DIR_ENV = "QUORVANE_FORMULA_DIR"
SHIPPED_DIR = Path(__file__).resolve().parent / "custom"


def formula_dir() -> Path:
    """The custom formula directory: ``$QUORVANE_FORMULA_DIR``, else the shipped one."""
    env = os.environ.get(FORMULA_DIR_ENV)
    return Path(env).expanduser() if env else SHIPPED_DIR


def _error_text(e: BaseException) -> str:
    return f"{type(e).__name__}: {e}"


def _run_file(path: Path) -> types.ModuleType:
    with tokenize.open(path) as f:  # honours a coding declaration
        source = f.read()
    name = f"quorvane_custom_formulas.{path.stem}"
    module = types.ModuleType(name)
    module.__file__ = str(path)
    sys.modules[name] = module  # dataclasses and pickling look modules up here
    try:
        exec(compile(source, str(path), "exec"), module.__dict__)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


class FormulaHotReloader:
    """Loads the custom formula files into a registry."""

    @classmethod
    def reload_custom_formulas(cls, registry) -> tuple[int, list[dict]]:
        """Load every custom formula file into `registry`.

        Returns (how many names were not registered before, failures), each failure a dict
        {"file": file name, "error": text}. Raises FileNotFoundError when the directory
        does not exist.
        """
        directory = formula_dir()
        if not directory.is_dir():
            raise FileNotFoundError(f"custom formula directory not found: {directory}")
        new = 0
        failed: list[dict] = []
        declared_by: dict[str, str] = {}
        for path in sorted(directory.glob("*.py")):
            if path.name.startswith("_") or not path.is_file():
                continue
            try:
                module = _run_file(path)
            except (Exception, SystemExit) as e:
                failed.append({"file": path.name, "error": _error_text(e)})
                continue
            formulas = getattr(module, "FORMULAS", None)
            if not isinstance(formulas, dict):
                failed.append({"file": path.name, "error": "declares no FORMULAS dict (name -> formula)"})
                continue
            for name, fn in formulas.items():
                key = name.strip().upper() if isinstance(name, str) else name
                if key in declared_by:
                    failed.append({"file": path.name,
                                   "error": f"{key} is already declared by {declared_by[key]}"})
                    continue
                try:
                    new += registry.register(name, fn, native=False, source=path.name)
                except (TypeError, ValueError) as e:
                    failed.append({"file": path.name, "error": str(e)})
                    continue
                declared_by[key] = path.name
        return new, failed
