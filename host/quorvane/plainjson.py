"""Plain answers straight to the JSON renderer.

The routes return plain dicts. FastAPI hands such a dict (no response model) to
`fastapi.routing.serialize_response`, which runs `jsonable_encoder` over it, and renders what
that returns with the route's response class, all on the event loop. For a dict made only of
JSON's own types the walk returns an equal copy of the same types, so rendering the dict
itself gives the same bytes; the walk is most of the time of the batch routes.

The hook: `install` replaces the module global `serialize_response`, which FastAPI's request
handler looks up by name at each call, with `_serialize_response`. For an app that serves
through `PlainJSON` (the middleware marks its requests), a content without a response model
that `_plain_nodes` finds plain is returned as it is; anything else goes to FastAPI's own
function. Plain means: a `dict` with `str` keys, none starting "_sa" (`jsonable_encoder`
drops those), a `list`, a `str`, an `int`, a `float`, a `bool`, None; exactly these types,
not subclasses (an `IntEnum` or a `str` enum encodes as its value), not tuples (which the walk
turns into lists); nesting at most `_MAX_DEPTH` deep (deeper, or a cycle, goes to FastAPI's
path and fails there as it always did). A NaN or an infinity fails the rendering on either
path alike (the renderer allows none).

A large plain content is checked and rendered on a worker thread, piece by piece: subtrees
of at most `_PIECE_NODES` nodes go whole to `json.dumps` (which holds the interpreter's lock
throughout) and the pieces are joined, so the event loop gets the lock back between pieces.
The bytes, those of `guards.SurrogateSafeJSON.render`, wait in a context variable of the
request, which that `render` takes when it is handed the very same content.

`install` checks first that the hook is still there: `serialize_response` a coroutine
function taking `field` and `response_content`, called by name from the handler that
`get_request_handler` builds. A FastAPI without it keeps its own path, with a warning.
"""

from __future__ import annotations

import asyncio
import contextvars
import functools
import inspect
import json
import math
import os
import types
from itertools import chain

import fastapi.routing
from loguru import logger

PLAIN_JSON_ENV = "QUORVANE_PLAIN_JSON"
_LOOP_NODES = 10_000  # a content up to this size is checked and rendered on the event loop (1-3 ms)
_PIECE_NODES = 2000  # the largest subtree a worker thread renders with one json.dumps call
_MAX_DEPTH = 64

_ENABLED = contextvars.ContextVar("quorvane_plain_json", default=False)
_RENDERED = contextvars.ContextVar("quorvane_plain_json_rendered", default=None)  # (content, bytes)
_fastapi_serialize_response = None  # FastAPI's own, once `install` replaced it
_DUMPS = {ascii_only: functools.partial(json.dumps, ensure_ascii=ascii_only, allow_nan=False, separators=(",", ":"))
          for ascii_only in (False, True)}
_LEAVES = frozenset({str, int, float, bool, type(None)})
_CONTAINERS = frozenset({dict, list})
_KINDS = _LEAVES | _CONTAINERS
_ON, _OFF = frozenset({"", "1", "true", "yes", "on"}), frozenset({"0", "false", "no", "off"})


class _NotPlain(Exception):
    pass


class _TooLarge(Exception):
    pass


def _plain_nodes(content, limit: float = math.inf) -> int:
    """The nodes of `content` when it is plain but for its floats' values (see the module text);
    raises _NotPlain, or _TooLarge past `limit` nodes. The walk goes level by level, each level's
    types, keys and children gathered by C loops (map, set, chain) rather than a call per node."""
    level, nodes = [content], 0
    for _ in range(_MAX_DEPTH + 1):
        nodes += len(level)
        if nodes > limit:
            raise _TooLarge
        kinds = set(map(type, level))
        if kinds <= _LEAVES:
            return nodes
        if not kinds <= _KINDS:
            raise _NotPlain
        below: list = []
        if dict in kinds:
            dicts = [obj for obj in level if type(obj) is dict]
            for key in set(chain.from_iterable(dicts)):
                if type(key) is not str or key.startswith("_sa"):
                    raise _NotPlain
            below.extend(chain.from_iterable(map(dict.values, dicts)))
        if list in kinds:
            below.extend(chain.from_iterable(obj for obj in level if type(obj) is list))
        level = below
    raise _NotPlain  # deeper than _MAX_DEPTH, or a cycle


def _nodes(obj, large: set) -> int:
    """The nodes of a plain `obj`; `large` collects the ids of the containers of more than _PIECE_NODES."""
    kind = type(obj)
    if kind not in _CONTAINERS:
        return 1
    nodes = 1 + sum(_nodes(value, large) if type(value) in _CONTAINERS else 1
                    for value in (obj.values() if kind is dict else obj))
    if nodes > _PIECE_NODES:
        large.add(id(obj))
    return nodes


def _pieces(obj, large: set, dumps, out: list) -> None:
    if id(obj) not in large:
        out.append(dumps(obj))
        return
    if type(obj) is dict:
        out.append("{")
        for i, (key, value) in enumerate(obj.items()):
            out.append(f"{',' if i else ''}{dumps(key)}:")
            _pieces(value, large, dumps, out)
        out.append("}")
    else:
        out.append("[")
        for i, value in enumerate(obj):
            if i:
                out.append(",")
            _pieces(value, large, dumps, out)
        out.append("]")


def _render_large(content) -> bytes | None:
    """On a worker thread: SurrogateSafeJSON's bytes of a plain `content`, else None (not plain,
    or a float that JSON has no form for: FastAPI's path then fails it as it always did)."""
    try:
        _plain_nodes(content)
    except _NotPlain:
        return None
    large: set[int] = set()
    _nodes(content, large)
    for ascii_only in (False, True):  # UTF-8, else (a lone surrogate) ASCII escapes
        out: list[str] = []
        try:
            _pieces(content, large, _DUMPS[ascii_only], out)
            return "".join(out).encode("utf-8")
        except UnicodeEncodeError:
            continue
        except ValueError:  # NaN or an infinity
            return None
    raise AssertionError("ASCII text always encodes")


async def _serialize_response(*, field=None, response_content, **kwargs):
    if field is None and _ENABLED.get():
        try:
            _plain_nodes(response_content, _LOOP_NODES)
            return response_content  # plain and small: the response class renders it on the loop
        except _NotPlain:
            pass
        except _TooLarge:
            body = await asyncio.to_thread(_render_large, response_content)
            if body is not None:
                _RENDERED.set((response_content, body))
                return response_content
    return await _fastapi_serialize_response(field=field, response_content=response_content, **kwargs)


def rendered(content) -> bytes | None:
    """The bytes rendered off the loop for this very `content` in this request, once; else None."""
    kept = _RENDERED.get()
    if kept is None or kept[0] is not content:
        return None
    _RENDERED.set(None)
    return kept[1]


def hook_present() -> bool:
    """FastAPI still serialises a route's content through the module global the hook replaces."""
    function = _fastapi_serialize_response or getattr(fastapi.routing, "serialize_response", None)
    if not inspect.iscoroutinefunction(function):
        return False
    if not {"field", "response_content"} <= inspect.signature(function).parameters.keys():
        return False
    code = getattr(getattr(fastapi.routing, "get_request_handler", None), "__code__", None)
    return code is not None and any(isinstance(inner, types.CodeType) and "serialize_response" in inner.co_names
                                    for inner in code.co_consts)


def enabled(environ=None) -> bool:
    """Whether ``$QUORVANE_PLAIN_JSON`` leaves the plain-JSON path on (unset: on); ValueError for a
    value that is neither on nor off."""
    text = (os.environ if environ is None else environ).get(PLAIN_JSON_ENV, "").strip().lower()
    if text in _ON:
        return True
    if text in _OFF:
        return False
    raise ValueError(f"{PLAIN_JSON_ENV} must be 1 or 0, got {text!r}")


class PlainJSON:
    """Pure ASGI middleware: the app's HTTP requests take the plain-JSON path (see `install`)."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        enabled, rendered_ = _ENABLED.set(True), _RENDERED.set(None)
        try:
            await self.app(scope, receive, send)
        finally:
            _RENDERED.reset(rendered_)
            _ENABLED.reset(enabled)


def install(app, enabled: bool) -> bool:
    """Serve `app`'s plain answers through the hook when `enabled` and FastAPI still has it
    (otherwise FastAPI's own path, with a warning); True when it does."""
    global _fastapi_serialize_response
    if not enabled:
        return False
    if not hook_present():
        logger.warning("plain-JSON encoding off: this FastAPI does not serialise answers through "
                       "fastapi.routing.serialize_response; every answer takes FastAPI's own path")
        return False
    if _fastapi_serialize_response is None:
        _fastapi_serialize_response = fastapi.routing.serialize_response
        fastapi.routing.serialize_response = _serialize_response
    app.add_middleware(PlainJSON)
    return True
