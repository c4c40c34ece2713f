"""QMT mode of the reference app, served on 127.0.0.1 against the bridge stand-in: the terminal app
as `icli_app`, its pushed assets reaching the app's WebSocket clients, the health route, shutdown."""
import asyncio
import contextlib
import json

import httpx
import pytest
import websockets

from qmtbridge import Bridge, ours, serving, until
from quorvane.__main__ import _parser, broker_modes
from quorvane.brokers.qmt.live import QMTMultiStrategyRunner
from service import closed_url


def test_pushed_assets_reach_the_app_clients(tmp_path, qmt_env, monkeypatch):
    from quorvane.app import create_app
    from quorvane.data import loader

    bridge = Bridge()
    bridge.reply = (200, b'{"data": {"accountId": "P1"}}')

    async def scenario():
        async with serving(bridge.app) as bridge_url:
            qmt_env(bridge_url, "key", poll="30")
            app = create_app(tmp_path, qmt=True)
            async with serving(app) as url:
                ws_url = url.replace("http://", "ws://") + "/ws"
                async with websockets.connect(ws_url) as gone, websockets.connect(ws_url) as client:
                    await gone.close()
                    await until(lambda: bridge.sessions)
                    bridge.push(json.dumps({"type": "asset", "data": {"accountId": "W9", "cash": 3}}))
                    pushed = json.loads(await client.recv())
                    if pushed["data"] == {"accountId": "P1"}:            # the first poll came after we connected
                        pushed = json.loads(await client.recv())
                async with httpx.AsyncClient(base_url=url) as http:
                    health = (await http.get("/api/v1/health")).json()
                assert sum(ours(t) for t in asyncio.all_tasks()) == 2
            await asyncio.sleep(0.05)
            return pushed, health, [t for t in asyncio.all_tasks() if ours(t)], app.state.icli_app
    try:
        pushed, health, left, icli = asyncio.run(asyncio.wait_for(scenario(), 60))
    finally:
        loader.close_cache()
    assert pushed == {"type": "account_snapshot", "data": {"accountId": "W9", "cash": 3}}
    assert (health["ib_connected"], health["account_id"]) == (True, "W9")
    assert bridge.sessions[0][0] == "api_key=key" and bridge.polls[0]["x-api-key"] == "key"
    assert left == [] and icli.connected is False                 # stopped with the app


@pytest.mark.parametrize("status, connected", [(200, True), (404, False), (401, False), (None, False)])
def test_runner_connection_state(status, connected):
    bridge = Bridge()

    async def scenario():
        async with serving(bridge.app) as url:
            if status is None:
                url = closed_url()
            bridge.reply = (status, b"{}")
            runner = QMTMultiStrategyRunner(base_url=url, api_key="", interval=1)
            await runner.start()
            state = runner.is_connected
            await runner.stop()
            return state, runner.is_connected
    assert asyncio.run(asyncio.wait_for(scenario(), 30)) == (connected, False)


@pytest.mark.parametrize("argv, modes", [([], (None, False)), (["--broker", "qmt"], (None, True)),
                                         (["--broker", "ib"], (True, False)), (["--broker", "qmt", "--ib"], None)])
def test_serve_broker_option(argv, modes):
    args = _parser().parse_args(["serve", *argv])
    with pytest.raises(ValueError) if modes is None else contextlib.nullcontext():
        ib, qmt = broker_modes(args, environ={})
        assert (ib and True, qmt) == modes
