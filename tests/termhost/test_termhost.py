"""QMTTermhost against the QMT bridge stand-in: the asset polls, the trade WebSocket, start and stop.
Its waits run a hundred times faster (the `clock` fixture), so the 5-second reconnect is 50 ms."""
import asyncio
import contextlib
import json
from types import SimpleNamespace

import pytest
import websockets

from qmtbridge import Bridge, Streamer, ours, serving, until
from quorvane.brokers.qmt.termhost import QMTTermhost
from service import free_port

POLL_ERROR = ("ERROR", "qmt account poll error")
CONNECTED = ("INFO", "Connected to qmt-bridge trade WS")


def run(scenario):
    return asyncio.run(asyncio.wait_for(scenario(), 60))


@contextlib.asynccontextmanager
async def polled(bridge, qmt_env, key=None):
    """A terminal app polling the bridge; at exit it is stopped and must leave nothing running."""
    async with serving(bridge.app) as url:
        qmt_env(url, key)
        host, streamer = QMTTermhost(), Streamer()
        host.start_account_polling(streamer)
        try:
            yield host, streamer
        finally:
            host.stop()
            await until(lambda: not any(ours(t) for t in asyncio.all_tasks()))


@pytest.mark.parametrize("key", ["s3cret", None])
def test_polls_and_listens_with_and_without_a_key(clock, qmt_env, key, log_records):
    bridge = Bridge()

    async def scenario():
        async with polled(bridge, qmt_env, key):
            await until(lambda: len(bridge.polls) >= 3 and bridge.sessions)
    run(scenario)
    assert [p.get("x-api-key") for p in bridge.polls[:3]] == [key] * 3
    assert bridge.sessions[0][0] == "api_key=" + (key or "")
    assert {(type(s), s) for s in clock.sleeps} == {(int, 1)}          # the poll interval, as an int
    assert log_records.levels_and_messages().count(CONNECTED) == 1


def test_https_bridge_down(clock, qmt_env, monkeypatch, log_records):
    urls = []

    def connect(url):
        urls.append(url)
        raise OSError("refused")
    monkeypatch.setattr(websockets, "connect", connect)
    port = free_port()
    qmt_env(f"https://127.0.0.1:{port}/b/", "k y")

    async def scenario():
        host = QMTTermhost()
        host.start_account_polling(Streamer())
        await until(lambda: len(urls) >= 2 and len(log_records) >= 2)
        host.stop()
        await until(lambda: not any(ours(t) for t in asyncio.all_tasks()))
    run(scenario)
    assert urls[0] == f"wss://127.0.0.1:{port}/b//ws/trade?api_key=k y"
    assert 5 in clock.sleeps                                      # the listener's retry, silent
    assert {m for m in log_records.levels_and_messages()} == {("DEBUG", "qmt-bridge not reachable (account poll skipped)")}


BIG = {"blob": "x" * (4 << 20), "accountId": "BIG"}


@pytest.mark.parametrize("body, status, account_id, log", [
    ({"data": {"account_id": 123, "cash": 5}}, {"account_id": 123, "cash": 5}, "123", None),
    ({"data": {}, "accountId": "A1"}, {"data": {}, "accountId": "A1"}, "A1", None),
    ({"accountId": "A2", "cash": 1}, {"accountId": "A2", "cash": 1}, "A2", None),
    ({"data": {"account_id": "", "accountId": 0, "cash": 2}}, {"account_id": "", "accountId": 0, "cash": 2}, "_qmt_", None),
    ({"data": BIG}, BIG, "BIG", None),                            # oversized: passed on as received
    ({"data": [1, 2]}, None, "_qmt_", None),                     # truthy data that is not a dict
    ([1, 2], None, "_qmt_", POLL_ERROR),
    ("text", None, "_qmt_", POLL_ERROR),
    (b"not json", None, "_qmt_", POLL_ERROR),
    (b"\xff\xfe{", None, "_qmt_", POLL_ERROR),
    (b"[" * 100_000 + b"]" * 100_000, None, "_qmt_", POLL_ERROR),
], ids=["data", "empty-data", "no-data", "no-id", "big", "data-list", "list", "str", "junk", "bytes", "deep"])
def test_poll_answers(clock, qmt_env, log_records, body, status, account_id, log):
    bridge = Bridge()
    bridge.reply = (200, body if isinstance(body, bytes) else json.dumps(body).encode())

    async def scenario():
        async with polled(bridge, qmt_env) as (host, streamer):
            await until(lambda: len(bridge.polls) >= 2)
            seen = (host.accountStatus or None, host.accountId, list(streamer.sent))
            bridge.reply = (200, b'{"data": {"accountId": "NEXT"}}')    # the loop goes on
            await until(lambda: host.accountId == "NEXT")
            return seen
    got_status, got_id, sent = run(scenario)
    assert (got_status, got_id) == (status, account_id)
    if status is not None:
        assert sent[0] == {"type": "account_snapshot", "data": status} and list(sent[0]) == ["type", "data"]
    errors = [r for r in log_records if r["level"].name != "INFO"]
    assert [(r["level"].name, r["message"]) for r in errors][:1] == ([log] if log else [])
    assert all(r["exception"] is not None for r in errors)        # logged with the traceback


@pytest.mark.parametrize("status, body, log", [
    (404, "no such account", None),
    (500, "é" * 150 + "x" * 150, ("WARNING", "qmt-bridge asset poll 500: " + "é" * 150 + "x" * 50)),
    (401, "", ("WARNING", "qmt-bridge asset poll 401: ")),
])
def test_error_statuses(clock, qmt_env, log_records, status, body, log):
    bridge = Bridge()
    bridge.reply = (status, body.encode())

    async def scenario():
        async with polled(bridge, qmt_env) as (host, streamer):
            await until(lambda: len(bridge.polls) >= 2)
            return host.accountStatus, streamer.sent
    assert run(scenario) == ({}, [])
    lines = [m for m in log_records.levels_and_messages() if m != CONNECTED]
    assert lines[:1] == ([log] if log else [])


ASSET = json.dumps({"type": "asset", "data": {"accountId": "W1", "cash": 1.5}})


@pytest.mark.parametrize("frame, ends", [
    (json.dumps({"type": "asset", "data": [1]}), False),
    (json.dumps({"type": "other", "data": {"accountId": "X"}}), False),
    (json.dumps({"type": ["asset"], "data": {}}), False),
    (json.dumps({"data": {"accountId": "X"}}), False),
    ("not json", True),
    ("[1]", True),
    ("5", True),
    (b"\xff\xfe", True),
    ("[" * 100_000 + "]" * 100_000, True),
    ("x" * (2 << 20), True),                                      # past the client's frame limit
], ids=["data-list", "other-type", "list-type", "no-type", "junk", "list", "number", "bytes", "deep", "huge"])
def test_trade_messages(clock, qmt_env, log_records, frame, ends):
    bridge = Bridge()
    bridge.reply = (404, b"")                                     # the polls stay silent

    async def scenario():
        async with polled(bridge, qmt_env) as (host, streamer):
            await until(lambda: bridge.sessions)
            bridge.push(frame)
            if ends:
                await until(lambda: len(bridge.sessions) == 2)
            bridge.push(ASSET)
            await until(lambda: streamer.sent)
            return host, streamer.sent
    host, sent = run(scenario)
    assert sent == [{"type": "account_snapshot", "data": {"accountId": "W1", "cash": 1.5}}]
    assert (host.accountStatus, host.accountId) == ({"accountId": "W1", "cash": 1.5}, "W1")
    assert (len(bridge.sessions), clock.sleeps.count(5)) == ((2, 1) if ends else (1, 0))
    assert log_records.levels_and_messages() == [CONNECTED] * len(bridge.sessions)


def test_failing_streamer(clock, qmt_env, log_records):
    bridge = Bridge()

    async def scenario():
        async with polled(bridge, qmt_env) as (host, streamer):
            streamer.fail = RuntimeError("streamer gone")
            await until(lambda: bridge.sessions and len(bridge.polls) >= 2)
            bridge.push(ASSET)                                    # the failing broadcast ends the connection
            await until(lambda: len(bridge.sessions) == 2)
            streamer.fail = None
            bridge.push(ASSET)
            await until(lambda: streamer.sent)
    run(scenario)
    assert POLL_ERROR in log_records.levels_and_messages()


def test_start_twice_stop_and_restart(clock, qmt_env, tok):
    bridge = Bridge()
    host = QMTTermhost()
    assert host.connected is False
    runner = SimpleNamespace(is_connected=tok("up"))
    host.set_runner(runner)
    assert host.connected is runner.is_connected

    async def scenario():
        async with serving(bridge.app) as url:
            qmt_env(url)
            streamer = Streamer()
            host.start_account_polling(streamer)
            first = host._poll_task
            host.start_account_polling(streamer)
            assert host._poll_task is first
            await until(lambda: bridge.sessions)
            assert sum(ours(t) for t in asyncio.all_tasks()) == 2       # the loop and its listener
            host.stop()
            assert (host._poll_task, host.connected) == (None, False)
            await until(lambda: not any(ours(t) for t in asyncio.all_tasks()))
            host.start_account_polling(streamer)
            await until(lambda: len(bridge.sessions) == 2)
            host.stop()
            await until(lambda: not any(ours(t) for t in asyncio.all_tasks()))
    run(scenario)
    del runner


def test_unusable_poll_interval(clock, qmt_env):
    bridge = Bridge()

    async def scenario():
        async with serving(bridge.app) as url:
            qmt_env(url, poll="2.5")
            host = QMTTermhost()
            host.start_account_polling(Streamer())
            with pytest.raises(ValueError):
                await host._poll_task
            await asyncio.sleep(0.05)
            return [t for t in asyncio.all_tasks() if ours(t)]
    assert run(scenario) == [] and bridge.polls == bridge.sessions == []
