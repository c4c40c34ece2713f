"""The billing proxy under load: 500 concurrent requests through the proxy to a backend stand-in,
over real sockets on 127.0.0.1, with the backend stopped half-way; the native module against
bench/baseline/billing.py.

Three processes besides this one: the backend stand-in (standins/billing_backend.py) and one
uvicorn app per side (standins/billing_proxy.py), identical but for the billing router. A round
opens 500 client connections at once, each a GET of /api/v1/billing/wallet?id=N; once the
proxy has made half of its backend connections, the backend stops listening (connections it has
are served to the end, later ones are refused), and it listens again after the round. Every answer is checked: the backend's own (its status, its JSON
naming this very request, both set-cookie lines, its marker header) or the proxy's 503/504 JSON
error naming the target; anything else, or a request without an answer, fails the benchmark.
The figure is the time of one round (500 requests); the tally of answers is printed at exit.

The second benchmark runs the route in this process: 40 concurrent calls of `proxy_billing`,
each with a request as the framework makes it, to the same backend stand-in, with a ticker task
on the loop that records the longest time it waited for its next turn (the loop's longest
stall). The figure is the time of one round (40 requests); time per request and the stalls are
printed at exit. The round that made the process's TLS context is reported apart: that context
is made once, on first use, and loading its CA bundle stalls the loop once.

Each request's proxy makes an httpx client of its own (one TLS context shared by all), and the
client's work is most of a request's cost on either side, so the two sides stay close; the
rounds are short, but the load round is long, so this file runs fewer repeats than the others.
"""
import asyncio
import atexit
import collections
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

from starlette.requests import Request

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from baseline import billing as baseline  # noqa: E402
from quorvane.server.routes import billing as native  # noqa: E402
from service import Service  # noqa: E402

REQUESTS = 500
PATH = "/api/v1/billing/wallet"
_tally = collections.Counter()


def _command(proc, line, answer):
    proc.stdin.write(line + "\n")
    proc.stdin.flush()
    got = proc.stdout.readline().strip()
    if got != answer:
        raise RuntimeError(f"backend answered {got!r} to {line!r}")


def _stop_all():
    for proxy in PROXIES.values():
        proxy.stop()
    backend.kill()
    backend.wait()


PROXIES = {}
backend = subprocess.Popen([sys.executable, HERE / "standins" / "billing_backend.py"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
atexit.register(_stop_all)
ready, backend_port = backend.stdout.readline().split()
assert ready == "ready"
BACKEND_URL = f"http://127.0.0.1:{backend_port}"
TARGET = BACKEND_URL + PATH
for side in ("native", "python"):
    PROXIES[side] = Service(command=[sys.executable, HERE / "standins" / "billing_proxy.py", side],
                            env={"QUORVANE_BACKEND_URL": BACKEND_URL}).start()
ERRORS = {503: {"success": False, "error": {"code": "BACKEND_UNAVAILABLE", "message": "Backend unreachable: " + TARGET}},
          504: {"success": False, "error": {"code": "PROXY_TIMEOUT", "message": "Backend timeout: " + TARGET}}}


async def _one(port, n):
    """One request on its own connection: its (status, header lines, body)."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(f"GET {PATH}?id={n}&id=x HTTP/1.1\r\nhost: 127.0.0.1\r\nconnection: close\r\n\r\n".encode())
    raw = await reader.read()
    writer.close()
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
    return int(lines[0].split(" ")[1]), headers, body


def _check(n, status, headers, body):
    """The answer's kind ("backend", 503, 504); raises for anything else."""
    if status == 200:
        lines = [(k.lower(), v) for k, v in headers]
        assert json.loads(body)["target"] == f"{PATH}?id={n}&id=x", body[:200]
        assert ("set-cookie", "a=1; Path=/") in lines and ("set-cookie", "b=2; Path=/") in lines, lines
        assert ("x-backend", "stand-in") in lines and dict(lines)["content-length"] == str(len(body)), lines
        return "backend"
    assert status in ERRORS and json.loads(body) == ERRORS[status], (status, body[:200])
    return status


async def _round(port):
    async def request(n):
        return n, await _one(port, n)

    answers = await asyncio.gather(*(request(n) for n in range(REQUESTS)))   # an exception: a lost answer
    kinds = collections.Counter(_check(n, *answer) for n, answer in answers)
    assert sum(kinds.values()) == REQUESTS
    return kinds


def _side(side):
    port = PROXIES[side].port

    def run():
        _command(backend, f"stop-after {REQUESTS // 2}", "armed")
        try:
            kinds = asyncio.run(asyncio.wait_for(_round(port), 300))
        finally:
            _command(backend, "start", "started")
        for kind, count in kinds.items():
            _tally[side, kind] += count
        _tally[side, "rounds"] += 1
    return run


CONCURRENT = 40
_rounds = collections.defaultdict(list)   # side: (seconds, longest loop stalls) of each in-process round


def _request(n):
    """The request of the n-th call as the framework hands it to the route."""
    scope = {"type": "http", "http_version": "1.1", "method": "GET", "scheme": "http", "path": PATH,
             "raw_path": PATH.encode(), "root_path": "", "query_string": f"id={n}".encode(),
             "server": ("127.0.0.1", 80), "client": ("127.0.0.1", 50000 + n),
             "headers": [(b"host", b"127.0.0.1"), (b"accept", b"*/*"), (b"x-forwarded-for", b"10.0.0.1"),
                         (b"x-forwarded-for", b"10.0.0.2"), (b"connection", b"keep-alive")]}

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}
    return Request(scope, receive)


async def _in_process_round(module):
    """The longest stall of the loop in one round: wall-clock and this thread's CPU time (on a busy
    machine the wall-clock figure also holds the time the process waited for a core)."""
    longest, done = [0.0, 0.0], False

    async def ticker():
        last = time.perf_counter(), time.thread_time()
        while not done:
            await asyncio.sleep(0)                # back at the end of the loop's ready queue
            now = time.perf_counter(), time.thread_time()
            longest[:] = [max(most, t - t0) for most, t, t0 in zip(longest, now, last)]
            last = now

    ticking = asyncio.create_task(ticker())
    await asyncio.sleep(0)
    try:
        answers = await asyncio.gather(*(module.proxy_billing(_request(n)) for n in range(CONCURRENT)))
    finally:
        done = True
        await ticking
    for n, answer in enumerate(answers):
        assert answer.status_code == 200 and json.loads(answer.body)["target"] == f"{PATH}?id={n}", answer.body[:200]
    return longest


def _in_process(side, module):
    module.BACKEND_URL = BACKEND_URL

    def run():
        t0 = time.perf_counter()
        stall = asyncio.run(_in_process_round(module))
        _rounds[side].append((time.perf_counter() - t0, stall))
    return run


def _report():
    for side, rounds in _rounds.items():
        (_, first), *rest = rounds
        per_request = statistics.median(seconds for seconds, _ in rounds) / CONCURRENT
        wall, cpu = (max((stall[i] for _, stall in rest), default=0) * 1e3 for i in (0, 1))
        print(f"billing in process, {side}: {len(rounds)} rounds of {CONCURRENT}, {per_request * 1e3:.2f} ms per "
              f"request, longest loop stall {wall:.1f} ms (CPU {cpu:.1f} ms); the first round, which made the TLS "
              f"context: {first[0] * 1e3:.1f} ms (CPU {first[1] * 1e3:.1f} ms)")
    for side in PROXIES:
        rounds = _tally[side, "rounds"]
        if rounds:
            print(f"billing load, {side}: {rounds} rounds of {REQUESTS}, answers: backend {_tally[side, 'backend']}, "
                  f"503 {_tally[side, 503]}, 504 {_tally[side, 504]}, garbled or lost 0")


atexit.register(_report)

REPEATS = 3
BENCHMARKS = [(f"billing proxy, {REQUESTS} concurrent requests, backend stopped half-way (one round)",
               _side("native"), _side("python")),
              (f"billing route in process, {CONCURRENT} concurrent requests (one round)",
               _in_process("native", native), _in_process("python", baseline))]
