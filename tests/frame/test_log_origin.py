"""A native module's log line names its module, function and line, as the same line in Python would:
an operator's sink filtered by the module's name receives it, and the line is the logging call's."""
import asyncio
import contextlib
import time
from pathlib import Path
from types import SimpleNamespace

import pytest
from loguru import logger

from quorvane.brokers.qmt.termhost import QMTTermhost
from quorvane.server import telegram
from quorvane.server.barwarden import BarwardenManager
from quorvane.server.lagsentry import LagSentry
from quorvane.server.routes import health
from service import free_port

ROOT = Path(__file__).resolve().parents[2]


def batch_intraday_miss(monkeypatch):
    async def unknown(*contracts):
        raise LookupError("no contract")
    monkeypatch.setattr(health, "_get_cache", lambda: SimpleNamespace(get_intraday=lambda sym: None))
    state = SimpleNamespace(icli_app=SimpleNamespace(connected=True, ib=SimpleNamespace(qualifyContractsAsync=unknown)))
    return health.batch_intraday(SimpleNamespace(app=SimpleNamespace(state=state)), SimpleNamespace(symbols=["zz"]))


def termhost_bridge_down(monkeypatch):
    monkeypatch.setenv("QUORVANE_QMT_URL", f"http://127.0.0.1:{free_port()}")
    return QMTTermhost()._account_poll_loop(None)


def telegram_post_fails(monkeypatch):
    class Client(contextlib.nullcontext):
        def __init__(self, **options):
            super().__init__(self)

        def post(self, url, json):
            raise OSError("down")
    monkeypatch.setattr(telegram, "httpx", SimpleNamespace(Client=Client))
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    telegram._queue.put("x")
    telegram._queue.put(None)
    return asyncio.to_thread(telegram._run)              # the worker's body


@pytest.mark.parametrize("name, source, trigger, function, message", [
    ("quorvane.server.barwarden", "server/barwarden.cpp",
     lambda mp: BarwardenManager(None).start(), "start", "barwarden: no icli app"),
    ("quorvane.server.lagsentry", "server/lagsentry.cpp",
     lambda mp: LagSentry(0.0, 0.0).run(), "run", "event loop lag "),
    ("quorvane.server.routes.health", "server/routes/health/batch_intraday.cpp", batch_intraday_miss,
     "_fetch_one", "[bi-req] "),
    ("quorvane.brokers.qmt.termhost", "brokers/qmt/termhost.cpp", termhost_bridge_down,
     "_account_poll_loop", "qmt-bridge not reachable"),
    ("quorvane.server.telegram", "server/telegram.cpp", telegram_post_fails, "_run", "telegram send retry"),
], ids=["barwarden", "lagsentry", "health", "termhost", "telegram-logging"])
def test_records_name_module_function_and_line(monkeypatch, caplog, name, source, trigger, function, message):
    records = []

    async def until_logged():
        task = asyncio.ensure_future(trigger(monkeypatch))
        while not records and not any(r.name == name for r in caplog.records) and not task.done():
            await asyncio.sleep(0.01)
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    sink = logger.add(lambda m: records.append(m.record), level=0, filter=name, catch=False)
    try:
        asyncio.run(asyncio.wait_for(until_logged(), 60))
    finally:
        logger.remove(sink)
    records += [{"name": r.name, "function": r.funcName, "module": r.module, "file": SimpleNamespace(path=r.pathname),
                 "line": r.lineno, "message": r.getMessage()} for r in caplog.records if r.name == name]
    first = records[0]
    assert (first["name"], first["function"], first["module"], first["file"].path) == \
        (name, function, name.rsplit(".", 1)[1], name.replace(".", "/") + ".py")
    assert first["message"].startswith(message)
    assert message in (ROOT / source).read_text().splitlines()[first["line"] - 1]
