import gc
import logging
import threading
import tracemalloc

import httpx
import pytest

from quorvane.server import telegram

TOKEN = "7351902:AAH-s3cr3t_T0ken"
URL = f"https://api.telegram.org/bot{TOKEN}/sendMessage"
LOGGER = "quorvane.server.telegram"


def drain():
    """Stop the worker after what is queued, and wait for it."""
    worker = telegram._worker
    telegram.shutdown()
    worker.join(5)
    assert not worker.is_alive()


def too_many(retry_after=None):
    body = {"ok": False, "error_code": 429}
    if retry_after is not None:
        body["parameters"] = {"retry_after": retry_after}
    return httpx.Response(429, json=body)


def unreachable(request):
    raise httpx.ConnectError(f"connection to {request.url} refused", request=request)


def unreachable_chained(request):
    try:
        raise OSError(f"proxy refused CONNECT for {request.url}")
    except OSError as low_level:
        raise httpx.ConnectError("all connection attempts failed", request=request) from low_level


def records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


RETRY = ("WARNING", "telegram send retry")
FAILED = ("ERROR", "telegram send failed")


def test_messages_posted_in_order(bot, caplog):
    telegram.configure(TOKEN, 4242)
    sender = threading.Thread(target=lambda: [telegram.send(f"m{i}") for i in range(60)])
    sender.start()
    sender.join()
    drain()
    assert bot.posted == [{"chat_id": 4242, "text": f"m{i}"} for i in range(60)]
    assert all(list(body) == ["chat_id", "text"] for body in bot.posted)
    assert {(r.method, str(r.url)) for r in bot.requests} == {("POST", URL)}
    assert bot.requests[0].headers["content-type"] == "application/json"
    [(args, kwargs, client)] = bot.clients
    assert args == () and kwargs == {"timeout": 10.0, "proxy": None} and list(kwargs) == ["timeout", "proxy"]
    assert client.is_closed
    assert bot.sleeps == [] and records(caplog) == []


@pytest.mark.parametrize("text, posted", [
    ("x" * 4001, "x" * 4000 + "..."),
    ("y" * 4000, "y" * 4000),
    ("é" * 9000, "é" * 4000 + "..."),                  # characters, not bytes
    ("😀" * 4001, "😀" * 4000 + "..."),                  # characters, not UTF-16 units
    ("a", "a"),
])
def test_truncation(bot, text, posted):
    telegram.configure(TOKEN, 1)
    telegram.send(text)
    drain()
    assert bot.texts == [posted]


def test_dropped_when_empty_or_disabled(bot):
    telegram.send("before configure")
    telegram.shutdown()                                 # unconfigured: nothing happens
    assert telegram._queue.empty() and telegram._worker is None
    telegram.configure(TOKEN, 1)
    telegram.send("")
    telegram.send(text="kept")
    drain()
    assert bot.texts == ["kept"]


@pytest.mark.parametrize("script, posts, sleeps, logged", [
    ([200], 1, [], []),
    ([500, 200], 2, [1], [RETRY]),
    ([unreachable, 200], 2, [1], [RETRY]),
    ([500, 503], 2, [1], [RETRY, FAILED]),
    ([unreachable, unreachable], 2, [1], [RETRY, FAILED]),
    ([too_many(7), 200], 2, [7], []),
    ([too_many(), 200], 2, [1], []),
    ([too_many(7), too_many(3)], 2, [7, 3], []),       # dropped silently
    ([httpx.Response(429, text="slow down"), 200], 2, [1], [RETRY]),   # unreadable body: a failure
    ([too_many(2), 500], 2, [2], [FAILED]),
    ([500, too_many(5)], 2, [1, 5], [RETRY]),
], ids=["ok", "retry", "retry-connect", "fail", "fail-connect", "429", "429-default", "429-twice",
        "429-not-json", "429-then-500", "500-then-429"])
def test_delivery_attempts(bot, caplog, script, posts, sleeps, logged):
    caplog.set_level(logging.INFO, logger=LOGGER)
    bot.script = list(script)
    telegram.configure(TOKEN, 9)
    telegram.send("first")
    telegram.send("second")
    drain()
    assert bot.texts == ["first"] * posts + ["second"]  # the next message always goes out
    assert bot.sleeps == sleeps
    assert records(caplog) == logged
    for record in caplog.records:
        if record.levelname == "ERROR":
            assert record.exc_info and issubclass(record.exc_info[0], httpx.HTTPError)
        else:
            assert not record.exc_info


@pytest.mark.parametrize("failure", [unreachable, unreachable_chained, 500],
                         ids=["connect-error", "chained-cause", "http-500"])
def test_logs_never_show_the_token(bot, caplog, failure):
    # httpx puts the request URL, and with it the bot token, into its error texts.
    caplog.set_level(logging.INFO, logger=LOGGER)
    bot.script = [failure, failure]
    telegram.configure(TOKEN, 9)
    telegram.send("x")
    drain()
    ours = [r for r in caplog.records if r.name == LOGGER]
    assert [(r.levelname, r.getMessage()) for r in ours] == [RETRY, FAILED]
    assert ours[-1].exc_info                             # the traceback is still logged
    for record in ours:
        text = logging.Formatter().format(record)
        assert TOKEN not in text and TOKEN.split(":")[1] not in text


def test_send_and_shutdown_never_wait(bot):
    release = threading.Event()
    bot.script = [lambda request: release.wait(5) and httpx.Response(200, json={"ok": True})]
    telegram.configure(TOKEN, 1)
    telegram.send("slow")
    bot.wait_for(1)                                     # the worker is stuck in the network call
    telegram.send("queued")
    telegram.shutdown()
    telegram.send("after shutdown")
    assert telegram._worker.is_alive()
    release.set()
    telegram._worker.join(5)
    assert bot.texts == ["slow", "queued"]
    assert telegram._queue.get_nowait() == "after shutdown"
    assert bot.clients[0][2].is_closed


@pytest.mark.parametrize("token, chat_id", [("", 5), (TOKEN, 0)])
def test_unusable_configuration(bot, token, chat_id):
    threads = threading.active_count()
    telegram.configure(token, chat_id)
    assert (telegram.ENABLED, telegram._TOKEN, telegram._CHAT_ID) == (False, token, chat_id)
    assert telegram._worker is None and threading.active_count() == threads
    telegram.send("x")
    telegram.shutdown()
    assert telegram._queue.empty()


def test_reconfigure_keeps_worker_and_switches_chat(bot):
    telegram.configure(TOKEN, 1)
    worker = telegram._worker
    telegram.send("one")
    bot.wait_for(1)
    telegram.configure("other:token", 2)                # the running worker keeps its URL
    assert telegram._worker is worker and worker.is_alive()
    telegram.send("two")
    drain()
    assert bot.posted == [{"chat_id": 1, "text": "one"}, {"chat_id": 2, "text": "two"}]
    assert [str(r.url) for r in bot.requests] == [URL, URL] and len(bot.clients) == 1


def test_disabling_keeps_draining_the_queue(bot):
    release = threading.Event()
    bot.script = [lambda request: release.wait(5) and httpx.Response(200, json={"ok": True})]
    telegram.configure(TOKEN, 1)
    telegram.send("first")
    telegram.send("queued")
    bot.wait_for(1)
    telegram.configure("", 1)
    telegram.send("dropped")
    release.set()
    bot.wait_for(2)
    assert bot.texts == ["first", "queued"] and telegram._worker.is_alive()


def test_new_worker_after_the_old_one_ended(bot):
    telegram.configure(TOKEN, 1)
    telegram.send("a")
    old = telegram._worker
    drain()
    telegram.configure(TOKEN, 1)
    assert telegram._worker is not old and telegram._worker.is_alive()
    assert telegram._worker.daemon
    telegram.send("b")
    drain()
    assert bot.texts == ["a", "b"]
    assert len(bot.clients) == 2 and all(client.is_closed for _, _, client in bot.clients)


@pytest.mark.parametrize("env, proxy", [
    ({"HTTPS_PROXY": "http://proxy-a:3128"}, "http://proxy-a:3128"),
    ({"https_proxy": "http://proxy-b:8080"}, "http://proxy-b:8080"),
    ({"HTTPS_PROXY": "", "https_proxy": "http://proxy-b:8080"}, "http://proxy-b:8080"),
    ({"HTTPS_PROXY": "http://proxy-a:3128", "https_proxy": "http://proxy-b:8080"}, "http://proxy-a:3128"),
])
def test_proxy_from_environment(bot, monkeypatch, env, proxy):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    telegram.configure(TOKEN, 1)
    drain()
    assert bot.clients[0][1] == {"timeout": 10.0, "proxy": proxy}


@pytest.mark.parametrize("call, args, kwargs, text", [
    ("configure", (TOKEN, "5"), {}, "Argument 'chat_id' has incorrect type (expected int, got str)"),
    ("configure", (None, 5), {}, "Argument 'token' has incorrect type (expected str, got NoneType)"),
    ("configure", (), {"token": TOKEN, "chat_id": None},
     "Argument 'chat_id' has incorrect type (expected int, got NoneType)"),
    ("configure", (TOKEN,), {}, "configure() takes exactly 2 positional arguments (1 given)"),
    ("send", (None,), {}, "Argument 'text' has incorrect type (expected str, got NoneType)"),
    ("send", (), {"text": b"x"}, "Argument 'text' has incorrect type (expected str, got bytes)"),
])
def test_argument_errors(call, args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        getattr(telegram, call)(*args, **kwargs)
    assert str(caught.value) == text
    assert (telegram.ENABLED, telegram._TOKEN, telegram._CHAT_ID, telegram._worker) == (False, "", 0, None)


@pytest.mark.parametrize("chat_id, stored", [(12.0, 12), (-1001234567890, -1001234567890)])
def test_chat_id_is_stored_as_int(bot, chat_id, stored):
    telegram.configure(token=TOKEN, chat_id=chat_id)
    assert telegram._CHAT_ID == stored and type(telegram._CHAT_ID) is int
    telegram.send("hi")
    drain()
    [body] = bot.posted
    assert body["chat_id"] == stored and type(body["chat_id"]) is int


def test_module_surface():
    assert telegram.__doc__ == "Telegram notification — fire-and-forget from any thread via background worker."
    assert telegram.logger is logging.getLogger(LOGGER)
    names = [k for k in vars(telegram) if not k.startswith("__")]
    assert names[:11] == ["logging", "os", "threading", "Queue", "httpx", "logger", "ENABLED", "_TOKEN",
                          "_CHAT_ID", "_queue", "_worker"]
    assert sorted(names[11:]) == ["_run", "_start_worker", "configure", "send", "shutdown"]


def test_no_leaks(bot):
    def round_trip():
        telegram.configure(TOKEN, 1)
        for _ in range(300):
            telegram.send("z" * 4100)                     # truncated: a new string per message
        drain()
        assert len(bot.requests) == 300
        bot.requests.clear(), bot.clients.clear()

    round_trip()                                          # warms httpx and logging caches up
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        round_trip(), round_trip()
        gc.collect()                                      # httpx leaves request/response cycles
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 300_000                                # 600 leaked messages would be 2.4 MB
