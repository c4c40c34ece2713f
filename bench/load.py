"""The served app under load: `quorvane serve` (or uvicorn on the app factory) on loopback, driven
by wrk (Debian's package; `make load` and `make soak` install it) or by an async client.

Each comparison runs both sides in one run, on the same machine state:

  peak-rss        peak RSS of the worst batch-intraday request the app accepts (1,000 copies of a
                  demo symbol, the symbol cap) against 10,000 copies with the cap lifted
  stack           GET /api/v1/health and /api/v1/info req/s and latency, uvicorn on asyncio + h11
                  against uvloop + httptools
  mixed           the soak's rotation through `quorvane serve` for a timed run at c=1 and at c=16
                  after a warm-up: req/s, p50/p99, non-2xx, and the highest loop lag health answered
                  with, the plain-JSON encoding off (FastAPI's own) and on
  snapshots       GET /api/v1/snapshots of 2 demo symbols req/s without and with the loader's frame
                  memo, and one cached get_bars call in process
  metrics         GET /api/v1/health latency at c=1, alone and while wrk scrapes GET /metrics at c=16,
                  with the loop's max lag and the scrapes' req/s
  shared-cache    POST /api/v1/batch-intraday of 3 demo symbols req/s, 1 and 2 workers, over the
                  on-disk cache and over one Redis server (Debian's redis-server on a free port)
                  whose bars another process wrote
  soak            N mixed requests (default 10**6) over the routes that need no network: req/s,
                  p50/p99, RSS after warm-up and at the end, the loop's max lag

Usage: bench/load.py [peak-rss|stack|mixed|snapshots|metrics|shared-cache|soak ...]   (default: all but soak)
Environment: SOAK_REQUESTS (soak's request count), LOAD_SECONDS (length of each timed run, 10).
Every request goes to 127.0.0.1; every run is bounded in requests and in time.
"""
import asyncio
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import httpx
import psutil

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))
from service import Service, closed_url  # noqa: E402

SECONDS = float(os.environ.get("LOAD_SECONDS", "10"))
PLAIN_JSON_ENV = "QUORVANE_PLAIN_JSON"
MB = 1024 * 1024
MIXED = [  # the soak's rotation: routes that answer without network from the seeded demo bars
    ("GET", "/api/v1/health", None), ("GET", "/api/v1/info", None), ("GET", "/api/v1/health", None),
    ("GET", "/api/v1/market-status", None), ("GET", "/api/v1/snapshots?symbols=AAPL,MSFT", None),
    ("POST", "/api/v1/batch-intraday", {"symbols": ["AAPL", "SPY", "nvda"]}),
    ("GET", "/api/v1/formulas/batch?symbol=AAPL&ind=MA(5)&ind=RSI(14)", None),
    ("GET", "/api/v1/formulas", None), ("GET", "/api/v1/market-status?exchange=XLON", None),
    ("GET", "/api/v1/snapshots?symbols=spy", None),
]


class Server(Service):
    """`quorvane serve` over the bars in data_dir (or `uvicorn_args`, uvicorn on the app factory),
    Yahoo Finance behind a proxy that does not exist, so a request for it fails at once."""

    def __init__(self, data_dir, *serve_args, uvicorn_args=None, env=None):
        env = {"HTTPS_PROXY": closed_url(), "QUORVANE_DATA_DIR": str(data_dir), **(env or {})}
        if uvicorn_args is None:
            super().__init__("--data-dir", data_dir, "--no-seed", "--log-level", "warning", *serve_args, env=env)
        else:
            super().__init__("--log-level", "warning", *uvicorn_args, env=env,
                             command=[sys.executable, "-m", "uvicorn", "--factory", "quorvane.app:create_app"])

    def start(self) -> "Server":
        super().start()
        self.ps = psutil.Process(self.proc.pid)
        return self

    def rss_mb(self) -> float:
        return self.ps.memory_info().rss / MB

    def loop_lag(self) -> dict:
        return httpx.get(f"{self.base}/api/v1/health", timeout=30).json()["loop_lag"]


def seeded_dir() -> Path:
    path = Path(tempfile.mkdtemp(prefix="quorvane-load-"))
    subprocess.run([sys.executable, "-m", "quorvane", "seed-demo", "--data-dir", str(path)], check=True,
                   capture_output=True)
    return path


# -- wrk --------------------------------------------------------------------------------------------
def lua_string(text: str) -> str:
    return json.dumps(text)  # a JSON string literal is a valid Lua string literal for ASCII text


def wrk(base, requests, connections, seconds=SECONDS, total=None):
    """wrk over the rotation `requests` ((method, path, json body or None), ...): stops after
    `seconds`, or after `total` responses when given. Returns req/s, latency percentiles in ms,
    the count and the non-2xx/3xx and socket error counts."""
    if shutil.which("wrk") is None:
        sys.exit("wrk is not installed: `make load` installs it (apt-get install wrk)")
    threads = 1 if connections == 1 else 2
    formats = []
    for method, path, body in requests:
        if body is None:
            formats.append(f"wrk.format({lua_string(method)}, {lua_string(path)})")
        else:
            formats.append(f"wrk.format({lua_string(method)}, {lua_string(path)}, "
                           f"{{[\"Content-Type\"] = \"application/json\"}}, {lua_string(json.dumps(body))})")
    per_thread = -1 if total is None else max(1, total // threads)
    marker = tempfile.NamedTemporaryFile(suffix=".done", delete=False)
    marker.close()
    # A thread that has its count stops itself, but wrk's main thread sleeps out the whole -d
    # duration; each stopped thread leaves a line in `marker`, and wrk's SIGINT handler ends the
    # sleep once all of them have.
    script = textwrap.dedent(f"""
        local reqs, i, count, limit = nil, 0, 0, {per_thread}
        function init(args)
          reqs = {{ {", ".join(formats)} }}
          i = math.random(#reqs) - 1
        end
        function request()
          i = i % #reqs + 1
          return reqs[i]
        end
        function response(status, headers, body)
          count = count + 1
          if count == limit then
            local f = io.open({lua_string(marker.name)}, "a")
            f:write("done\\n")
            f:close()
            wrk.thread:stop()
          end
        end
        function done(s, latency, requests)
          local e = s.errors
          io.write(string.format('WRK {{"requests": %d, "seconds": %f, "p50": %f, "p99": %f, "max": %f, ' ..
            '"bad_status": %d, "socket_errors": %d}}\\n', s.requests, s.duration / 1e6,
            latency:percentile(50) / 1e3, latency:percentile(99) / 1e3, latency.max / 1e3,
            e.status, e.connect + e.read + e.write + e.timeout))
        end
    """)
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(script)
    try:
        proc = subprocess.Popen(["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds:.0f}s",
                                 "--timeout", "30s", "-s", f.name, base], stdout=subprocess.PIPE, text=True)
        deadline = time.monotonic() + seconds + 120
        while proc.poll() is None:
            if total is not None and Path(marker.name).read_text().count("done") >= threads:
                proc.send_signal(signal.SIGINT)
                break
            if time.monotonic() > deadline:
                proc.kill()
                raise RuntimeError("wrk did not finish")
            time.sleep(0.05)
        out = proc.communicate(timeout=60)[0]
    finally:
        os.unlink(f.name)
        os.unlink(marker.name)
    result = json.loads(re.search(r"^WRK (.*)$", out, re.M).group(1))
    result["rps"] = result["requests"] / result["seconds"]
    return result


def fmt(r) -> str:
    errors = f", {r['bad_status']} non-2xx" if r["bad_status"] else ""
    errors += f", {r['socket_errors']} socket errors" if r["socket_errors"] else ""
    return f"{r['rps']:8.0f} req/s  p50 {r['p50']:7.2f} ms  p99 {r['p99']:8.2f} ms{errors}"


# -- the comparisons ----------------------------------------------------------------------------------
def peak_rss(data_dir):
    """Peak RSS over the server's idle RSS while one batch-intraday request of `n` demo symbols runs."""
    def one(server, n):
        done = threading.Event()
        peak = [server.rss_mb()]

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], server.rss_mb())
                time.sleep(0.005)

        before = server.rss_mb()
        sampler = threading.Thread(target=sample)
        sampler.start()
        t0 = time.perf_counter()
        try:
            reply = httpx.post(f"{server.base}/api/v1/batch-intraday", json={"symbols": ["AAPL"] * n}, timeout=600)
        finally:
            done.set()
            sampler.join()
        return reply.status_code, peak[0] - before, time.perf_counter() - t0

    print("peak-rss: one batch-intraday request of N copies of a cached demo symbol")
    with Server(data_dir) as capped:
        for n in (1000, 10_000):
            status, grew, took = one(capped, n)
            print(f"  capped   (1,000)  N={n:>6,}: status {status}, peak RSS +{grew:7.1f} MB, {took:6.2f} s")
    with Server(data_dir, "--max-batch-symbols", "100000") as uncapped:
        status, grew, took = one(uncapped, 10_000)
        print(f"  uncapped          N={10_000:>6,}: status {status}, peak RSS +{grew:7.1f} MB, {took:6.2f} s")


def stack(data_dir):
    print("stack: uvicorn on the app factory, wrk for", SECONDS, "s per line")
    for name, args in (("asyncio + h11     ", ["--loop", "asyncio", "--http", "h11"]),
                       ("uvloop + httptools", ["--loop", "uvloop", "--http", "httptools"])):
        with Server(data_dir, uvicorn_args=args) as server:
            for path in ("/api/v1/health", "/api/v1/info"):
                wrk(server.base, [("GET", path, None)], 8, seconds=2)  # warm-up
                for c in (1, 64):
                    print(f"  {name} GET {path:<15} c={c:<3} {fmt(wrk(server.base, [('GET', path, None)], c))}")


def mixed(data_dir):
    """The rotation MIXED through `quorvane serve`: FastAPI's own encoding of the answers against the
    app's plain-JSON encoding, each after a warm-up, at c=1 and c=16."""
    print(f"mixed: `quorvane serve`, {len(MIXED)} routes in rotation, wrk for {SECONDS} s per line after a "
          "3 s warm-up at c=16; loop max lag as health answers it, start-up included")
    for name, value in (("FastAPI encoding", "0"), ("plain JSON      ", "1")):
        with Server(data_dir, env={PLAIN_JSON_ENV: value}) as server:
            wrk(server.base, MIXED, 16, seconds=3)
            for c in (1, 16):
                run = wrk(server.base, MIXED, c)
                print(f"  {name} c={c:<3} {fmt(run)}; loop max lag {server.loop_lag()['max_lag_ms']:6.1f} ms")


def snapshots(data_dir):
    path = "/api/v1/snapshots?symbols=AAPL,MSFT"
    print(f"snapshots: GET {path}, wrk for {SECONDS} s per line")
    for name, mb in (("no memo", "0"), ("memo   ", "64")):
        with Server(data_dir, env={"QUORVANE_BAR_MEMO_MB": mb}) as server:
            wrk(server.base, [("GET", path, None)], 4, seconds=2)
            for c in (1, 16):
                print(f"  {name} c={c:<3} {fmt(wrk(server.base, [('GET', path, None)], c))}")
    # one cached symbol's get_bars in process, on an event loop (the worker-thread hop included)
    os.environ["QUORVANE_DATA_DIR"] = str(data_dir)
    from quorvane.data import loader

    loop = asyncio.new_event_loop()
    for name, mb in (("no memo", "0"), ("memo   ", "64")):
        os.environ["QUORVANE_BAR_MEMO_MB"] = mb
        loader.open_cache(data_dir)
        for period, count in (("day", 3), ("1min", 390)):
            loop.run_until_complete(loader.get_bars("AAPL", period, count))
            n, t0 = 200, time.perf_counter()
            for _ in range(n):
                loop.run_until_complete(loader.get_bars("AAPL", period, count))
            print(f"  {name} get_bars('AAPL', {period!r}, {count}): {(time.perf_counter() - t0) / n * 1e3:.3f} ms")
    loader.close_cache()
    loop.close()


def metrics_scrapes(data_dir):
    print(f"metrics: GET /api/v1/health at c=1 for {SECONDS} s, alone and while wrk scrapes GET /metrics at c=16")
    with Server(data_dir) as server:
        wrk(server.base, [("GET", "/metrics", None)], 4, seconds=2)  # warm-up
        for name, scrapers in (("alone         ", 0), ("scraped, c=16 ", 16)):
            scraped = {}
            thread = threading.Thread(target=lambda: scraped.update(
                wrk(server.base, [("GET", "/metrics", None)], scrapers, seconds=SECONDS)))
            if scrapers:
                thread.start()
            latencies, stop = [], time.monotonic() + SECONDS
            with httpx.Client(base_url=server.base, timeout=60) as client:
                while time.monotonic() < stop:
                    t0 = time.perf_counter()
                    client.get("/api/v1/health").raise_for_status()
                    latencies.append((time.perf_counter() - t0) * 1e3)
                    time.sleep(0.005)
            if scrapers:
                thread.join()
            latencies.sort()
            also = f"; /metrics {fmt(scraped)}" if scrapers else ""
            print(f"  {name} health p50 {latencies[len(latencies) // 2]:6.2f} ms, "
                  f"p99 {latencies[int(len(latencies) * 0.99)]:7.2f} ms; loop max lag so far "
                  f"{server.loop_lag()['max_lag_ms']:6.1f} ms{also}")


def shared_cache(data_dir):
    import redisserver

    if redisserver.MISSING:
        print(f"shared-cache: SKIPPED, {redisserver.MISSING}")
        return
    symbols = ["AAPL", "SPY", "NVDA"]
    request = [("POST", "/api/v1/batch-intraday", {"symbols": symbols})]
    print(f"shared-cache: POST /api/v1/batch-intraday {symbols}, wrk for {SECONDS} s per line; "
          "the Redis bars written by `quorvane seed-demo`, a process of its own")
    with tempfile.TemporaryDirectory(prefix="quorvane-redis-") as directory:
        server = redisserver.RedisServer(directory).start()
        try:
            subprocess.run([sys.executable, "-m", "quorvane", "seed-demo", "--cache-url", server.url], check=True,
                           capture_output=True)
            for name, args in (("disk,  1 worker ", []), ("disk,  2 workers", ["--workers", "2"]),
                               ("Redis, 1 worker ", ["--cache-url", server.url]),
                               ("Redis, 2 workers", ["--workers", "2", "--cache-url", server.url])):
                with Server(data_dir, *args) as service:
                    for _ in range(8):  # fresh connections, so every worker answers some: all from the cache
                        answer = httpx.post(f"{service.base}/api/v1/batch-intraday", json={"symbols": symbols},
                                            timeout=60).json()
                        assert answer["errors"] is None and all(
                            answer["intraday"][s]["source"] == "cache" for s in symbols), answer
                    wrk(service.base, request, 4, seconds=2)
                    for c in (1, 16):
                        print(f"  {name} c={c:<3} {fmt(wrk(service.base, request, c))}")
        finally:
            server.stop()


def soak(data_dir):
    total = int(float(os.environ.get("SOAK_REQUESTS", "1e6")))
    warm = max(1000, total // 20)
    print(f"soak: `quorvane serve`, {total:,} mixed requests over {len(MIXED)} routes, wrk c=16")
    with Server(data_dir) as server:
        warmup = wrk(server.base, MIXED, 16, seconds=warm / 50 + 60, total=warm)
        rss_warm, lag_warm = server.rss_mb(), server.loop_lag()["max_lag_ms"]
        print(f"  warm-up {warm:,}: {fmt(warmup)}; RSS {rss_warm:.1f} MB, loop max lag {lag_warm:.1f} ms")
        run = wrk(server.base, MIXED, 16, seconds=total / 50 + 120, total=total)
        rss_end, lag = server.rss_mb(), server.loop_lag()
        print(f"  run {run['requests']:,} in {run['seconds']:.0f} s: {fmt(run)}, max {run['max']:.1f} ms")
        print(f"  RSS {rss_warm:.1f} MB after warm-up, {rss_end:.1f} MB at the end "
              f"({(rss_end / rss_warm - 1) * 100:+.2f}%); loop max lag {lag['max_lag_ms']:.1f} ms")


COMMANDS = {"peak-rss": peak_rss, "stack": stack, "mixed": mixed, "snapshots": snapshots,
            "metrics": metrics_scrapes, "shared-cache": shared_cache, "soak": soak}


def main(names):
    unknown = [n for n in names if n not in COMMANDS]
    if unknown:
        sys.exit(f"unknown: {', '.join(unknown)} (known: {', '.join(COMMANDS)})")
    data_dir = seeded_dir()
    try:
        for name in names or [n for n in COMMANDS if n != "soak"]:
            COMMANDS[name](data_dir)
    finally:
        shutil.rmtree(data_dir, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
