import json
import threading
import time
import types
from queue import Queue

import httpx
import pytest

from quorvane.server import telegram


class FakeBotApi:
    """The Telegram Bot API at the network edge. The worker gets a real httpx.Client whose
    transport answers from `script` (a status code, an httpx.Response, or a callable taking the
    request); once the script is used up every request is answered 200."""

    def __init__(self):
        self.script = []
        self.requests = []
        self.clients = []           # (keyword arguments the worker passed, the client it got)
        self.sleeps = []
        self._seen = threading.Condition()

    def client(self, *args, **kwargs):
        # The proxy is recorded, not used: nothing may leave this machine.
        client = httpx.Client(transport=httpx.MockTransport(self._answer), trust_env=False)
        self.clients.append((args, kwargs, client))
        return client

    def _answer(self, request):
        with self._seen:
            self.requests.append(request)
            self._seen.notify_all()
        answer = self.script.pop(0) if self.script else 200
        if callable(answer):
            return answer(request)
        return answer if isinstance(answer, httpx.Response) else httpx.Response(answer, json={"ok": answer == 200})

    @property
    def posted(self):
        return [json.loads(r.content) for r in self.requests]

    @property
    def texts(self):
        return [body["text"] for body in self.posted]

    def wait_for(self, count):
        with self._seen:
            assert self._seen.wait_for(lambda: len(self.requests) >= count, timeout=5)


@pytest.fixture(autouse=True)
def notifier(monkeypatch):
    """The module in its import-time state, with a fresh queue; any worker is stopped afterwards."""
    for name, value in [("ENABLED", False), ("_TOKEN", ""), ("_CHAT_ID", 0), ("_worker", None),
                        ("_queue", Queue())]:
        monkeypatch.setattr(telegram, name, value)
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    monkeypatch.delenv("https_proxy", raising=False)
    yield telegram
    worker = telegram._worker
    if worker is not None and worker.is_alive():
        telegram._queue.put_nowait(None)
        worker.join(5)
        assert not worker.is_alive()


@pytest.fixture
def bot(monkeypatch):
    api = FakeBotApi()
    shim = types.ModuleType("httpx")
    shim.__dict__.update(vars(httpx))
    shim.Client = api.client
    monkeypatch.setattr(telegram, "httpx", shim)
    # The worker imports `time` when it pauses: pauses are recorded and return at once.
    monkeypatch.setattr(time, "sleep", api.sleeps.append)
    return api

