"""The plain-JSON path (quorvane.plainjson): the same bytes as FastAPI's own, or FastAPI's own path."""
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


class Colour(enum.StrEnum):
    RED = "r"


class Level(enum.IntEnum):
    HIGH = 3


class Text(str):
    pass


def fastapi_bytes(payload):
    """What FastAPI answers for a route's `payload` with the app's response class: bytes, or the
    type of the exception that fails the answer."""
    try:
        return SurrogateSafeJSON(jsonable_encoder(payload)).body
    except Exception as e:
        return type(e)


def deep(n):
    payload = []
    for _ in range(n):
        payload = [payload]
    return payload


BARS = {"intraday": {f"S{i}": {"bars": [{"date": 1_700_000_000 + 60 * j, "close": j / 7} for j in range(400)],
                               "source": "cache"} for i in range(12)}, "errors": ["X: \u00e9 no data"]}

# (payload, whether it takes the plain path)
PAYLOADS = [
    ({"b": 1, "a": [True, False, None, 0.1, -0.0, 1e300, 10**30, "é\u2028"], "": {}, "l": []}, True),
    ({"error": "Unknown exchange '\ud800': no"}, True),  # a lone surrogate: ASCII escapes
    (BARS, True),
    ({**BARS, "errors": ["\udfff"]}, True),
    ({"t": (1, 2)}, False),  # jsonable_encoder makes a tuple a list
    ({"_sa_state": 1, "_s": 2}, False),  # and drops keys starting "_sa"
    ({1: "a", None: "b"}, False),
    ({"e": Colour.RED, "n": Level.HIGH, "s": Text("x")}, False),
    ({"f": float("nan")}, True),  # fails to render on either path
    ({"f": [float("inf")] * 20_000}, False),  # found out on the worker thread: FastAPI's path fails it
    ({"a": list(range(20_000)), "t": (1,)}, False),
    ({"s": {1, 2}}, False),
    (deep(70), False),
]


def run_hook(monkeypatch, payload):
    """The content the hook hands the response class, the bytes that renders, and the threads
    that rendered off the loop."""
    threads = []
    render_large = plainjson._render_large

    def spy(content):
        threads.append(threading.current_thread())
        return render_large(content)

    monkeypatch.setattr(plainjson, "_render_large", spy)
    monkeypatch.setattr(plainjson, "_fastapi_serialize_response",
                        plainjson._fastapi_serialize_response or fastapi.routing.serialize_response)

    async def serve():
        plainjson._ENABLED.set(True)  # as the middleware does, in this run's own context
        content = await plainjson._serialize_response(field=None, response_content=payload)
        try:
            return content, SurrogateSafeJSON(content).body
        except Exception as e:
            return content, type(e)

    return *asyncio.run(serve()), threads


@pytest.mark.parametrize("pieces", [plainjson._PIECE_NODES, 3])
@pytest.mark.parametrize("payload, plain", PAYLOADS, ids=range(len(PAYLOADS)))
def test_answers_are_fastapis_bytes(monkeypatch, payload, plain, pieces):
    monkeypatch.setattr(plainjson, "_PIECE_NODES", pieces)
    content, body, threads = run_hook(monkeypatch, payload)
    assert body == fastapi_bytes(payload)
    assert (content is payload) == plain
    # a large content is checked and rendered on a worker thread, never on the loop's
    assert bool(threads) >= (plain and plainjson._plain_nodes(payload) > plainjson._LOOP_NODES)
    assert threading.main_thread() not in threads


@pytest.mark.parametrize("env, breaks_hook, on, warned", [
    ({}, False, True, False),
    ({plainjson.PLAIN_JSON_ENV: "0"}, False, False, False),
    ({}, True, False, True),  # a FastAPI whose handler no longer calls serialize_response
])
def test_the_switch_and_the_start_up_check(tmp_path, monkeypatch, log_records, env, breaks_hook, on, warned):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if breaks_hook:
        monkeypatch.setattr(fastapi.routing, "get_request_handler", lambda *args, **kwargs: None)
    app = create_app(tmp_path)
    loader.close_cache()
    assert any(m.cls is plainjson.PlainJSON for m in app.user_middleware) == on
    assert any("plain-JSON encoding off" in message for _, message in log_records.levels_and_messages()) == warned


def test_a_bad_switch_value_is_refused(monkeypatch):
    monkeypatch.setenv(plainjson.PLAIN_JSON_ENV, "maybe")
    with pytest.raises(ValueError, match="QUORVANE_PLAIN_JSON must be 1 or 0, got 'maybe'"):
        plainjson.enabled()
