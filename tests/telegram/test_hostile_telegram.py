"""The Telegram worker under hostile conditions: the interpreter exiting while it posts, and odd
exceptions from the client. Each scenario runs in a child interpreter whose `telegram.httpx` is a
shim: its client's `post` sleeps 10 ms (releasing the interpreter lock, as a network call does)
and raises `Failure` for the message "bad". Nothing touches the network."""
import inspect
import json
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from quorvane.server import telegram

PRELUDE = f"""
import json, logging, os, sys, time, types
sys.path[:0] = {sys.path!r}
from quorvane.server import telegram
posted, logged, masked = [], [], []
class Recorder(logging.Handler):
    def emit(self, record): logged.append([record.levelname, record.getMessage()])
logging.getLogger("quorvane.server.telegram").addHandler(Recorder())
logging.getLogger("quorvane.server.telegram").setLevel(logging.INFO)
pause = time.sleep
time.sleep = lambda seconds: pause(min(seconds, 0.01))    # the worker's retry pause, shortened
class Client:
    def __init__(self, *args, **kwargs): pass
    def __enter__(self): return self
    def __exit__(self, *exc): return False
    def post(self, url, json):
        posted.append(json["text"])
        pause(0.01)
        if json["text"] == "bad": raise Failure(f"POST {{url}} refused")
        return types.SimpleNamespace(status_code=200, raise_for_status=lambda: None)
telegram.httpx = types.SimpleNamespace(Client=Client)
telegram.configure("7351902:AAH-s3cr3t_T0ken", 42)
"""

FAILURES = {
    "args-is-a-list": """
class Failure(Exception):
    @property
    def args(self): return [f"{self}"]
    @args.setter
    def args(self, value): masked.append([str(a) for a in value])
""",
    "unhashable": """
class Failure(Exception):
    __hash__ = None
    def __eq__(self, other): return self is other
""",
    "endless-context": """
class Failure(Exception):
    @property
    def __context__(self): return Failure("context")    # a new exception at every look
    @__context__.setter
    def __context__(self, value): pass
""",
}


def child(code, timeout):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                          timeout=timeout)


def test_exit_while_the_worker_posts():
    # the main thread ends with messages queued and the daemon worker inside `post`
    code = PRELUDE + "for text in ('one', 'two', 'three'): telegram.send(text)\n"
    with ThreadPoolExecutor(6) as pool:       # 24 runs, 6 at a time, each within 30 s
        runs = list(pool.map(lambda _: child(code, 30), range(24)))
    failed = [(r.returncode, r.stderr[:300]) for r in runs if r.returncode or "Fatal Python error" in r.stderr]
    assert failed == [], f"{len(failed)} of {len(runs)} runs failed"


@pytest.mark.parametrize("failure", FAILURES)
def test_worker_survives_odd_exceptions(failure):
    code = PRELUDE + FAILURES[failure] + """
telegram.send("bad")
telegram.send("good")
telegram.shutdown()
telegram._worker.join(2)
print(json.dumps([telegram._worker.is_alive(), posted, logged, masked]), flush=True)
os._exit(0)   # a worker that is still running must not hold the exit up
"""
    run = child(code, 30)
    assert run.returncode == 0, run.stderr[-2000:]
    alive, posted, logged, masked = json.loads(run.stdout)
    assert (alive, posted) == (False, ["bad", "bad", "good"])
    assert logged == [["WARNING", "telegram send retry"], ["ERROR", "telegram send failed"]]
    # the token is masked in the arguments, whatever sequence they come as
    text = "POST https://api.telegram.org/bot***/sendMessage refused"
    assert masked == ([[text]] * 2 if failure == "args-is-a-list" else [])


@pytest.mark.parametrize("name, params", [("configure", ["token", "chat_id"]), ("send", ["text"]),
                                          ("shutdown", []), ("_run", [])])
def test_module_functions_are_bound_to_the_module(name, params):
    fn = getattr(telegram, name)
    assert fn.__self__ is telegram
    try:
        shown = list(inspect.signature(fn).parameters)
    except ValueError:     # as for CPython's own module functions without a text signature
        shown = params
    assert shown == params
