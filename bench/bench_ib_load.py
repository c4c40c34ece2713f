"""batch-intraday at the design load, through the IB gateway simulator: the native route against
bench/baseline/intraday.py in one run, the sides alternating.

The load: one POST /api/v1/batch-intraday of 100 symbols that neither the cache nor IB mode's
tracked symbols hold, so each is qualified and fetched through IB in batches of 20. The
simulator (`quorvane.ib.sim`, in a process of its own) answers each "1 D" useRTH-false request
with the full extended-hours day: its clock stands at the end of the session day's 20:00 New York
after-hours close, so every answer holds the 960 one-minute bars of 04:00-20:00. (The simulator
keeps trading as in after-hours past 20:00, so BENCH_IB_BARS up to 1,440 gives longer answers.)

Each run starts a fresh app: uvicorn on this module's `make_app` (the app of `quorvane serve --ib`,
uvloop and httptools as uvicorn picks them, the bar cache in an empty directory, the demo symbols
tracked with quotes and live bars), waits until its live bar subscriptions are open, fetches one
batch of 20 other symbols (first-call work out of the way), then times the request. The simulator
runs at the lowest CPU priority: a gateway has a machine of its own, and on a 2-core machine it
would otherwise take the app's CPU in the very bursts measured. It reports per side, as the
median of the runs:
- the time to answer (the POST until its whole body is read) and the route's own part of it;
- peak RSS of the server process while the request runs, and its growth over the RSS before;
- the event loop's longest stall while the route runs (the goal), and while its answer is encoded
  and sent: how late a probe task in the app wakes from its 2 ms sleeps (the measure of the app's
  LagSentry, at a finer interval), with the most CPU time the loop thread itself used between two
  wake-ups (a stall that used less waited: for the GIL, held by the route's pandas work on worker
  threads, or for a CPU); and the slowest of the GET /api/v1/health answers polled meanwhile.

`--profile` runs the native side once more with py-spy (`pip install py-spy`) sampling the
server's event-loop thread during the request and prints the functions that own most of its
samples and those of the other threads, and each stall over 10 ms the probe saw: its time into
the request, how late, and the CPU time of the loop thread and of the whole process meanwhile.

Usage: bench/bench_ib_load.py [--profile]  or  bench/run.py ib-load
Environment: BENCH_IB_RUNS (runs per side, 3), BENCH_IB_BARS (bars per answer, 960),
BENCH_IB_UNPACED=1 (the IB session decodes each socket read whole, as plain ib_async does, instead
of through `quorvane.ib.pacing`).
Everything listens on 127.0.0.1 on free ports; every wait is bounded.
"""
import asyncio
import collections
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

SYMBOLS = [f"L{i:03d}" for i in range(100)]
WARM_UP = [f"W{i:03d}" for i in range(20)]    # one batch fetched before the timed request
RUNS = int(os.environ.get("BENCH_IB_RUNS", "3"))
BARS = int(os.environ.get("BENCH_IB_BARS", "960"))
SIDE_ENV = "BENCH_IB_SIDE"           # "native" or "python": which batch-intraday the app serves
UNPACED_ENV = "BENCH_IB_UNPACED"     # set: the session reads its socket as plain ib_async does
PROBE_TICK = 0.002                   # seconds between the stall probe's wake-ups
STALL_GOAL_MS = 30.0
LOAD_NAME = f"ib-load batch-intraday, {len(SYMBOLS)} uncached IB symbols x {BARS:,} bars through the gateway simulator"
MB = 1024 * 1024


# -- inside the app's process ----------------------------------------------------------------------
class StallProbe:
    """A task on the event loop that sleeps PROBE_TICK at a time and keeps, before and after
    `mark` (the route's return: what follows is the encoding and sending of its answer), the
    longest lateness of a wake-up and the most CPU time the loop thread used between two wake-ups
    (a stall that used little of it waited: for the GIL, or for a CPU on a busy machine); and
    every wake-up over 10 ms late as (s since the last `take`, ms late, ms of the loop thread's CPU,
    ms of the process's CPU)."""

    def __init__(self) -> None:
        self.task = None
        self._reset()

    def _reset(self) -> None:
        self.since, self.marked, self.late, self.cpu, self.stalls = time.perf_counter(), None, [0.0, 0.0], [0.0, 0.0], []

    def mark(self) -> None:
        self.marked = time.perf_counter()

    async def _run(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            t0, c0, p0 = loop.time(), time.thread_time(), time.process_time()
            await asyncio.sleep(PROBE_TICK)
            late, cpu = (loop.time() - t0 - PROBE_TICK) * 1e3, (time.thread_time() - c0) * 1e3
            phase = self.marked is not None
            self.late[phase], self.cpu[phase] = max(self.late[phase], late), max(self.cpu[phase], cpu)
            if late > 10:
                self.stalls.append((round(time.perf_counter() - self.since - late / 1e3, 3), round(late), round(cpu),
                                    round((time.process_time() - p0) * 1e3)))

    def take(self) -> dict:
        """The figures since the last call (the probe starts at the first), then starts afresh."""
        if self.task is None:
            self.task = asyncio.get_running_loop().create_task(self._run())
        out = {"route_ms": round(self.late[0], 1), "answer_ms": round(self.late[1], 1),
               "route_cpu_ms": round(self.cpu[0], 1), "answer_cpu_ms": round(self.cpu[1], 1),
               "route_s": None if self.marked is None else round(self.marked - self.since, 3),
               "stalls": self.stalls, "thread": threading.get_native_id()}
        self._reset()
        return out


router = None    # make_app's router in the app's process: the batch-intraday under test, then health's


def make_app():
    """uvicorn's factory: the app of `quorvane serve --ib` (IB mode from the QUORVANE_IB_*
    variables, the cache from QUORVANE_DATA_DIR) whose batch-intraday is the native route, or the
    baseline's when $BENCH_IB_SIDE is "python", called through a wrapper that marks its return
    for the stall probe; and GET /bench/probe. The route comes first in this module's `router`,
    which stands in the app's list of route modules for the health module and includes its router."""
    global router
    from fastapi import APIRouter, Request

    from quorvane import app as app_module
    from quorvane import guards
    from quorvane.ib import IBConfig
    from quorvane.server.routes import health

    if os.environ.get(SIDE_ENV) == "python":
        from baseline import intraday as module
    else:
        module = health
    route, model = module.batch_intraday, module.BatchIntradayRequest
    probe = StallProbe()

    async def batch_intraday(request: Request, req: model):
        try:
            return await route(request, req)
        finally:
            probe.mark()

    if os.environ.get(UNPACED_ENV):
        import ib_async

        from quorvane.ib import terminal

        terminal.IB = ib_async.IB
    router = APIRouter()
    router.post(guards.BATCH_INTRADAY_PATH)(batch_intraday)
    router.include_router(health.router)
    app_module.ROUTERS = [__name__ if name == health.__name__ else name for name in app_module.ROUTERS]
    app = app_module.create_app(ib=IBConfig.resolve(enable=True))

    @app.get("/bench/probe")
    async def bench_probe():
        manager = getattr(app.state, "barwarden", None)
        task = getattr(manager, "_stagger_task", None)
        return {**probe.take(), "subscribed": task is not None and task.done()}

    return app


# -- the simulator's process -------------------------------------------------------------------------
def serve_sim(bars: int) -> None:
    """Runs the simulator until standard input closes; prints its port first. Its clock stands
    `bars` minutes after the session day's pre-market start, so "1 D" answers hold `bars` bars."""
    from loguru import logger

    from quorvane.data.demo import DEMO_SYMBOLS
    from quorvane.ib.sim import GatewaySim
    from quorvane.server.kline_cache import KlineCache

    pre = KlineCache.session(KlineCache.intraday_session_day())[0]
    offset = pre + bars * 60 - 30 - time.time()    # 30 s into the last minute: it is the forming bar
    os.nice(19)    # a gateway runs on a machine of its own: here it takes only the CPU the app leaves
    logger.remove()
    logger.add(sys.stderr, level="WARNING")

    async def main():
        sim = GatewaySim(symbols=(*DEMO_SYMBOLS, *WARM_UP, *SYMBOLS), clock=lambda: time.time() + offset)
        await sim.start()
        print(sim.port, flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
        await sim.stop()

    asyncio.run(main())


# -- the bench's own process --------------------------------------------------------------------------
def start_sim():
    proc = subprocess.Popen([sys.executable, __file__, "--sim", str(BARS)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.strip().isdigit():
        proc.kill()
        raise RuntimeError(f"the simulator did not start: {line!r}")
    return proc, int(line)


def stop_sim(proc) -> None:
    proc.stdin.close()
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class App:
    """One fresh app process on `side`'s route, IB mode against the simulator on `sim_port`."""

    def __init__(self, side: str, sim_port: int, data_dir: str):
        from service import Service

        env = {SIDE_ENV: side, "QUORVANE_DATA_DIR": data_dir, "QUORVANE_IB_PORT": str(sim_port),
               "QUORVANE_LAGSENTRY_SEC": "0.1", "HTTPS_PROXY": "http://127.0.0.1:9"}
        self.service = Service("--log-level", "warning", env=env, command=[
            sys.executable, "-m", "uvicorn", "--factory", "bench_ib_load:make_app", "--app-dir", str(HERE)])

    def __enter__(self):
        import httpx
        import psutil

        self.service.start()
        self.base = self.service.base
        self.ps = psutil.Process(self.service.proc.pid)
        deadline = time.monotonic() + 60
        while not httpx.get(f"{self.base}/bench/probe", timeout=30).json()["subscribed"]:
            if time.monotonic() > deadline:
                raise RuntimeError("the live bar subscriptions did not open within 60 s")
            time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        self.service.stop()


def measure(app: App, on_request=None) -> dict:
    """One batch-intraday request of SYMBOLS: its figures (see the module's docstring)."""
    import httpx

    done = threading.Event()
    rss_before = app.ps.memory_info().rss
    peak = [rss_before]
    health = []

    def sample_rss():
        while not done.is_set():
            peak[0] = max(peak[0], app.ps.memory_info().rss)
            time.sleep(0.005)

    def poll_health():
        with httpx.Client(base_url=app.base, timeout=60) as client:
            while not done.is_set():
                t0 = time.perf_counter()
                client.get("/api/v1/health").raise_for_status()
                health.append(time.perf_counter() - t0)
                time.sleep(0.02)

    threads = [threading.Thread(target=sample_rss), threading.Thread(target=poll_health)]
    warm = httpx.post(f"{app.base}/api/v1/batch-intraday", json={"symbols": WARM_UP}, timeout=300).json()
    assert warm["errors"] is None, warm["errors"]
    httpx.get(f"{app.base}/bench/probe", timeout=30)    # the probe's figures start now
    for thread in threads:
        thread.start()
    try:
        if on_request is not None:
            on_request()
        t0 = time.perf_counter()
        reply = httpx.post(f"{app.base}/api/v1/batch-intraday", json={"symbols": SYMBOLS}, timeout=300)
        wall = time.perf_counter() - t0
        probe = httpx.get(f"{app.base}/bench/probe", timeout=30).json()
    finally:
        done.set()
        for thread in threads:
            thread.join()
    reply.raise_for_status()
    body = reply.json()
    assert body["errors"] is None and sorted(body["intraday"]) == SYMBOLS, body["errors"]
    assert all(entry["source"] == "ibkr" and entry["bars"] for entry in body["intraday"].values())
    return {"wall": wall, "rss": peak[0] / MB, "grew": (peak[0] - rss_before) / MB, "stall": probe["route_ms"],
            "answer_stall": probe["answer_ms"], "route_s": probe["route_s"], "cpu": probe["route_cpu_ms"],
            "answer_cpu": probe["answer_cpu_ms"],
            "health": max(health, default=0.0) * 1e3, "stalls": probe["stalls"], "thread": probe["thread"],
            "rth_bars": statistics.median(len(e["bars"]) for e in body["intraday"].values())}


def summary(results: list[dict]) -> dict:
    return {key: statistics.median(r[key] for r in results) for key in ("wall", "route_s", "rss", "grew", "stall", "cpu", "answer_stall", "answer_cpu", "health")}


def print_load_figure() -> None:
    runs = {"native": [], "python": []}
    sim, port = start_sim()
    try:
        for _ in range(RUNS):
            for side in runs:    # alternating, so drift of the machine hits both
                with tempfile.TemporaryDirectory(prefix="quorvane-ib-load-") as data_dir, \
                        App(side, port, data_dir) as app:
                    runs[side].append(measure(app))
    finally:
        stop_sim(sim)
    med = {side: summary(results) for side, results in runs.items()}
    rth = statistics.median(r["rth_bars"] for r in runs["native"])
    reading = "unpaced, as plain ib_async" if os.environ.get(UNPACED_ENV) else "paced"
    print(f"{LOAD_NAME} (median of {RUNS} runs per side; {rth:.0f} regular-hours bars per symbol answered; "
          f"IB socket decoding {reading})")
    for side, m in med.items():
        print(f"  {side:6}: answer {m['wall']:5.2f} s (route {m['route_s']:5.2f} s), peak RSS {m['rss']:6.1f} MB "
              f"(+{m['grew']:5.1f}); longest loop stall in the route {m['stall']:6.1f} ms (goal < {STALL_GOAL_MS:.0f}; "
              f"loop CPU {m['cpu']:5.1f} ms), encoding the answer {m['answer_stall']:6.1f} ms (loop CPU "
              f"{m['answer_cpu']:5.1f} ms); slowest health {m['health']:6.1f} ms")
    print(f"  ratio python/native: answer {med['python']['wall'] / med['native']['wall']:.2f}, "
          f"longest stall in the route {med['python']['stall'] / max(med['native']['stall'], 0.1):.2f}; "
          f"route stalls by run (ms late, ms of loop CPU): "
          + "; ".join(f"{side} {[(r['stall'], r['cpu']) for r in results]}" for side, results in runs.items()),
          flush=True)


def print_profile(rate: int = 1000) -> None:
    """One native run with py-spy sampling the app: where the event-loop thread spends the request."""
    import shutil
    import signal

    spy = shutil.which("py-spy") or str(Path(sys.executable).with_name("py-spy"))
    raw = tempfile.NamedTemporaryFile(suffix=".txt", delete=False).name
    sim, port = start_sim()
    try:
        with tempfile.TemporaryDirectory(prefix="quorvane-ib-load-") as data_dir, App("native", port, data_dir) as app:
            procs = []

            def attach():    # sampling without pausing the process, so the sampler adds no stall
                procs.append(subprocess.Popen([spy, "record", "--pid", str(app.ps.pid), "--rate", str(rate),
                                               "--format", "raw", "--threads", "--nonblocking", "--gil", "-o", raw],
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                time.sleep(1.0)

            result = measure(app, on_request=attach)
            procs[0].send_signal(signal.SIGINT)
            procs[0].wait(timeout=60)
    finally:
        stop_sim(sim)
    inclusive, own, total, workers = collections.Counter(), collections.Counter(), 0, collections.Counter()
    for line in Path(raw).read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        frames = stack.split(";")
        if not frames[0].startswith(f"thread ({result['thread']})"):
            for frame in set(frames[2:]):
                workers[frame] += int(count)
            continue
        total += int(count)
        for frame in set(frames[2:]):
            inclusive[frame] += int(count)
        own[frames[-1]] += int(count)
    os.unlink(raw)
    print(f"profile: one native run, answer {result['wall']:.2f} s (route {result['route_s']:.2f} s), longest stall "
          f"in the route {result['stall']:.1f} ms, after it {result['answer_stall']:.1f} ms; "
          f"the loop thread's stalls over 10 ms (s into the request, ms): {result['stalls']}")
    for title, counts, n in ((f"{total} samples of the loop thread at {rate}/s; most inclusive", inclusive, 40),
                             ("the loop thread, most own", own, 15),
                             ("the other threads (worker threads), most inclusive", workers, 25)):
        print(f"  {title}:")
        for frame, count in counts.most_common(n):
            print(f"  {count / rate * 1e3:7.0f} ms  {frame}")


BENCHMARKS: list = []    # bench/run.py's per-call entries: this file has its load figure only

if __name__ == "__main__" and sys.argv[1:2] == ["--sim"]:
    serve_sim(int(sys.argv[2]))
elif __name__ == "__main__" and sys.argv[1:2] == ["--profile"]:
    print_profile()
elif __name__ == "__main__" or sys.argv[0].endswith("run.py"):
    _filters = sys.argv[1:]
    if not _filters or any(f in LOAD_NAME for f in _filters):
        print_load_figure()
