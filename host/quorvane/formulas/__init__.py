"""The formula registry: preset formulas and the custom formulas loaded by the hot reloader.

`registry` maps upper-case formula names to formula callables (see `presets` for how a
formula is called and what it returns). It is read from the formula routes' worker threads
while the catalogue routes change it on the event loop, so every access takes its lock.

Preset formulas are registered when this module is imported; no custom formula can replace
one and they cannot be removed. Custom formulas come from `hotreload.FormulaHotReloader`,
and can be reloaded and removed.
"""

from __future__ import annotations

import inspect
import re
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass

from quorvane.formulas.presets import PRESETS

NAME = re.compile(r"[A-Z0-9_.\-]+")  # what an indicator spec can name, upper-cased


@dataclass(frozen=True, slots=True)
class _Entry:
    fn: Callable
    native: bool
    info: dict


def _describe(name: str, fn: Callable, native: bool, kind: str | None, source: str | None) -> dict:
    params, emit = [], False
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        sig = None
    if sig is not None:
        for i, p in enumerate(sig.parameters.values()):
            if p.kind is p.VAR_KEYWORD or p.name == "emit":
                emit = True
            elif i > 0 and p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD):
                default = None if p.default is p.empty else p.default
                if not isinstance(default, (int, float, str, type(None))):
                    default = repr(default)
                params.append({"name": p.name, "default": default})
    doc = inspect.getdoc(fn) or ""
    return {"name": name, "kind": kind, "params": params, "emit": emit, "preset": native,
            "source": source, "doc": doc.splitlines()[0] if doc else ""}


class FormulaRegistry:
    """Thread-safe mapping of upper-case formula names to formulas."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[str, _Entry] = {}

    @classmethod
    def with_presets(cls) -> FormulaRegistry:
        """A registry holding the preset formulas."""
        out = cls()
        for name, (fn, kind) in PRESETS.items():
            out.register(name, fn, native=True, kind=kind)
        return out

    def register(self, name: str, fn: Callable, native: bool = False, *,
                 kind: str | None = None, source: str | None = None) -> bool:
        """Register `fn` under `name` (upper-cased); True when the name was not registered before.

        `kind` is the kind of result the formula returns and `source` where it came from
        (a custom formula's file name); both only describe it in `catalog`. Raises
        ValueError for a name an indicator spec cannot carry, and for a custom formula
        (native false) under a preset's name; TypeError when `fn` is not callable.
        """
        if not isinstance(name, str) or not NAME.fullmatch(name.strip().upper()):
            raise ValueError(f"invalid formula name {name!r}: use letters, digits, '_', '.' and '-'")
        if not callable(fn):
            raise TypeError(f"formula {name} is not callable: {fn!r}")
        name = name.strip().upper()
        entry = _Entry(fn, bool(native), _describe(name, fn, bool(native), kind, source))
        with self._lock:
            old = self._entries.get(name)
            if old is not None and old.native and not native:
                raise ValueError(f"{name} is a preset formula and cannot be replaced")
            self._entries[name] = entry
        return old is None

    def get(self, name: str) -> Callable | None:
        """The formula registered under the upper-case `name`, or None."""
        with self._lock:
            entry = self._entries.get(name)
        return None if entry is None else entry.fn

    def is_native(self, name: str) -> bool:
        """True when `name` is a preset formula."""
        with self._lock:
            entry = self._entries.get(name)
        return entry is not None and entry.native

    def remove(self, name: str) -> bool:
        """Unregister the custom formula `name`; False when it is a preset or not registered."""
        with self._lock:
            entry = self._entries.get(name)
            if entry is None or entry.native:
                return False
            del self._entries[name]
        return True

    def catalog(self) -> list[dict]:
        """One description per formula, by name: name, kind (None when not declared),
        params (name and default of each parameter after the bars), emit (whether it
        returns a whole result in one call), preset, source (custom formulas' file name)
        and doc (the first line of its docstring)."""
        with self._lock:
            infos = [dict(e.info, params=[dict(p) for p in e.info["params"]]) for e in self._entries.values()]
        return sorted(infos, key=lambda info: info["name"])

    def list(self) -> list[str]:
        """The registered names, sorted."""
        with self._lock:
            return sorted(self._entries)


def formula_key(name: str, params: Iterable = ()) -> str:
    """The results key of one computed indicator: the name, then the parameters in parentheses.

    "MA" without parameters, "MA(5,10)", "BOLL(20,2.5)"; each parameter is written as its
    Python repr, so text parameters are quoted and never mistaken for numbers:
    formula_key("X", ("a", "", 1)) is "X('a','',1)".
    """
    params = tuple(params)
    return f"{name}({','.join(map(repr, params))})" if params else str(name)


registry = FormulaRegistry.with_presets()
