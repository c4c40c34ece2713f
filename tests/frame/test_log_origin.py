"""A native module's log line names its module, function and line, as the same line in Python would:
an operator's sink filtered by the module's name receives it, and the line is the logging call's."""
import asyncio
import contextlib
import logging
import time
from pathlib import Path
from types import SimpleNamespace

import pytest
from loguru import logger

from service import free_port

ROOT = Path(__file__).resolve().parents[2]


async def logged(records):
    while not records:
        await asyncio.sleep(0.01)


async def cancelled(task):
    task.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await task


async def barwarden_without_app(monkeypatch, records):
    from quorvane.server.barwarden import BarwardenManager
    await BarwardenManager(None).start()


async def lagsentry_over_threshold(monkeypatch, records):
    from quorvane.server.lagsentry import LagSentry
    task = asyncio.create_task(LagSentry(interval=0.0, warn_ms=0.0).run())
    await logged(records)
    await cancelled(task)


async def batch_intraday_miss(monkeypatch, records):
    from quorvane.server.routes import health

    class IB:
        async def qualifyContractsAsync(self, *contracts):
            raise LookupError("no contract")
    monkeypatch.setattr(health, "_get_cache", lambda: SimpleNamespace(get_intraday=lambda sym: None))
    state = SimpleNamespace(icli_app=SimpleNamespace(connected=True, ib=IB()))
    await health.batch_intraday(SimpleNamespace(app=SimpleNamespace(state=state)), SimpleNamespace(symbols=["zz"]))


async def termhost_bridge_down(monkeypatch, records):
    from quorvane.brokers.qmt.termhost import QMTTermhost
    monkeypatch.setenv("QUORVANE_QMT_URL", f"http://127.0.0.1:{free_port()}")
    task = asyncio.create_task(QMTTermhost()._account_poll_loop(None))
    await logged(records)
    await cancelled(task)


async def telegram_post_fails(monkeypatch, records):
    from quorvane.server import telegram

    class Client:
        def __init__(self, **options):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return None

        def post(self, url, json):
            raise OSError("down")
    monkeypatch.setattr(telegram, "httpx", SimpleNamespace(Client=Client))
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    telegram._queue.put("x")
    telegram._queue.put(None)
    telegram._run()                                      # the worker's body, on this thread


class Handler(logging.Handler):
    def __init__(self, records):
        super().__init__(0)
        self.records = records

    def emit(self, r):
        self.records.append({"name": r.name, "function": r.funcName, "module": r.module, "path": r.pathname,
                             "line": r.lineno, "message": r.getMessage()})


@pytest.mark.parametrize("name, source, trigger, function, message", [
    ("quorvane.server.barwarden", "server/barwarden.cpp", barwarden_without_app, "start", "barwarden: no icli app"),
    ("quorvane.server.lagsentry", "server/lagsentry.cpp", lagsentry_over_threshold, "run", "event loop lag "),
    ("quorvane.server.routes.health", "server/routes/health/batch_intraday.cpp", batch_intraday_miss, "_fetch_one",
     "[bi-req] "),
    ("quorvane.brokers.qmt.termhost", "brokers/qmt/termhost.cpp", termhost_bridge_down, "_account_poll_loop",
     "qmt-bridge not reachable"),
    ("quorvane.server.telegram", "server/telegram.cpp", telegram_post_fails, "_run", "telegram send retry"),
], ids=["barwarden", "lagsentry", "health", "termhost", "telegram-logging"])
def test_records_name_module_function_and_line(monkeypatch, name, source, trigger, function, message):
    records = []
    sink = logger.add(lambda m: records.append({**m.record, "path": m.record["file"].path}), level=0, filter=name,
                      catch=False)
    handler = Handler(records)
    logging.getLogger(name).addHandler(handler)
    try:
        asyncio.run(asyncio.wait_for(trigger(monkeypatch, records), 60))
    finally:
        logger.remove(sink)
        logging.getLogger(name).removeHandler(handler)
    first = records[0]
    leaf = name.rsplit(".", 1)[1]
    assert (first["name"], first["function"], first["module"], first["path"]) == \
        (name, function, leaf, name.replace(".", "/") + ".py")
    assert first["message"].startswith(message)
    assert message in (ROOT / source).read_text().splitlines()[first["line"] - 1]
