"""The plain-JSON path (quorvane.plainjson): FastAPI's own bytes, or FastAPI's own path."""
import asyncio
import enum
import threading

import fastapi.routing
import pytest
from fastapi.encoders import jsonable_encoder

from quorvane import plainjson
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.guards import SurrogateSafeJSON


def render(content):
    """The app's response class's bytes of `content`, or the type of what fails it."""
    try:
        return SurrogateSafeJSON(content).body
    except Exception as e:
        return type(e)


def deep(n):
    return [deep(n - 1)] if n else []


BARS = {"intraday": {f"S{i}": {"bars": [{"date": 1_700_000_000 + 60 * j, "close": j / 7} for j in range(400)],
                               "source": "cache"} for i in range(12)}, "errors": ["X: \u00e9 no data"]}


@pytest.mark.parametrize("pieces", [plainjson._PIECE_NODES, 3])
@pytest.mark.parametrize("payload, plain", [  # plain: the hook hands the content over as it is
    ({"b": 1, "a": [True, False, None, 0.1, -0.0, 1e300, 10**30, "é\u2028"], "": {}, "l": []}, True),
    ({"error": "Unknown exchange '\ud800': no"}, True),  # a lone surrogate: ASCII escapes
    (BARS, True),  # large: on a worker thread
    ({**BARS, "errors": ["\udfff"]}, True),
    ({"f": float("nan")}, True),  # fails to render on either path
    ({"f": [float("inf")] * 20_000}, False),  # found out on the worker thread
    ({"a": list(range(20_000)), "t": (1,)}, False),  # jsonable_encoder makes a tuple a list
    ({"_sa_state": 1, "_s": 2}, False),  # and drops keys starting "_sa"
    ({1: "a", None: "b"}, False),
    ({"e": enum.StrEnum("E", {"R": "r"}).R, "n": enum.IntEnum("L", {"H": 3}).H}, False),
    ({"s": {1, 2}}, False),
    (deep(70), False),
], ids=range(12))
def test_answers_are_fastapis_bytes(monkeypatch, payload, plain, pieces):
    threads, render_large = [], plainjson._render_large
    monkeypatch.setattr(plainjson, "_PIECE_NODES", pieces)
    monkeypatch.setattr(plainjson, "_render_large", lambda c: threads.append(threading.current_thread()) or
                        render_large(c))
    monkeypatch.setattr(plainjson, "_fastapi_serialize_response",
                        plainjson._fastapi_serialize_response or fastapi.routing.serialize_response)

    async def serve():
        plainjson._ENABLED.set(True)  # as the middleware does, in this run's own context
        content = await plainjson._serialize_response(field=None, response_content=payload)
        return content, render(content)

    content, body = asyncio.run(serve())
    assert body == render(jsonable_encoder(payload))
    assert (content is payload) == plain
    # a large content is checked and rendered on a worker thread, never on the loop's
    assert bool(threads) >= (plain and plainjson._plain_nodes(payload) > plainjson._LOOP_NODES)
    assert threading.main_thread() not in threads


@pytest.mark.parametrize("env, breaks_hook, on", [("1", False, True), ("0", False, False), ("1", True, False)])
def test_the_switch_and_the_start_up_check(tmp_path, monkeypatch, log_records, env, breaks_hook, on):
    monkeypatch.setenv(plainjson.PLAIN_JSON_ENV, env)
    if breaks_hook:  # a FastAPI whose handler no longer calls serialize_response
        monkeypatch.setattr(fastapi.routing, "get_request_handler", lambda *args, **kwargs: None)
    app = create_app(tmp_path)
    loader.close_cache()
    assert any(m.cls is plainjson.PlainJSON for m in app.user_middleware) == on
    assert any("plain-JSON encoding off" in m for _, m in log_records.levels_and_messages()) == breaks_hook
