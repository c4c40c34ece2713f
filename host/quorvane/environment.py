"""Settings the service reads from its environment."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping


def setting[T](name: str, convert: Callable[[str], T], default: T, *, environ: Mapping[str, str] | None = None,
               invalid: str | None = None, error: type[Exception] = ValueError) -> T:
    """The environment variable `name` (of `environ`, default the process's) as `convert` makes
    its stripped text, `default` when it is unset or blank.

    A text that `convert` refuses with ValueError raises `error`: its message is `invalid` with
    ``{name}`` and ``{text}`` (the value as set) filled in, else "$<name>: <convert's reason>".
    """
    text = (os.environ if environ is None else environ).get(name, "")
    if not text.strip():
        return default
    try:
        return convert(text.strip())
    except ValueError as e:
        raise error(f"${name}: {e}" if invalid is None else invalid.format(name=name, text=text)) from None
