import asyncio
import gc
import inspect
import re
import sys
import time
import tracemalloc
import traceback
from fractions import Fraction

import pytest
from loguru import logger

from quorvane.server import lagsentry
from quorvane.server.lagsentry import LagSentry


def warning(lag_ms, max_ms):
    return f"event loop lag {lag_ms}ms (max {max_ms}ms) — something is blocking the loop"


class ClockRanOut(Exception):
    pass


class ScriptedAsyncio:
    """Stands in for the module's `asyncio`: the running loop's clock returns scripted
    readings and sleep returns at once, so each cycle's lag is exactly what the script says."""

    def __init__(self, lags_ms, interval, start=5000.0):
        self.readings = []
        for lag in lags_ms:
            self.readings += [start, start + interval + lag / 1000]
            start = self.readings[-1]
        self.loops_taken = 0
        self.sleeps = []

    def get_running_loop(self):
        self.loops_taken += 1
        return self

    def time(self):
        if not self.readings:
            raise ClockRanOut
        return self.readings.pop(0)

    async def sleep(self, delay):
        self.sleeps.append(delay)


def run_cycles(monkeypatch, sentry, lags_ms, stop=ClockRanOut):
    fake = ScriptedAsyncio(lags_ms, sentry.interval)
    monkeypatch.setattr(lagsentry, "asyncio", fake)
    with pytest.raises(stop) as caught:
        asyncio.run(sentry.run())                         # one task step: the fake sleep never suspends
    return fake, caught.value


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    monkeypatch.delenv("QUORVANE_LAGSENTRY_SEC", raising=False)
    monkeypatch.delenv("QUORVANE_LOOP_WARN_MS", raising=False)


@pytest.mark.parametrize("lags, warn_ms, snapshot, warnings", [
    ([100, 400, 50], None, (50.0, 400.0), [(400, 400)]),
    ([980.2, 312.4], None, (312.4, 980.2), [(980, 980), (312, 980)]),   # whole milliseconds
    ([123.456], None, (123.5, 123.5), []),
    ([-5.0], None, (0.0, 0.0), []),                      # early wake-up
    ([0.0], None, (0.0, 0.0), []),                       # exactly on time
    ([30, -5, 0], None, (0.0, 30.0), []),                # the maximum survives quiet cycles
    ([250], None, (250.0, 250.0), [(250, 250)]),         # the threshold is "at least"
    ([249.9], None, (249.9, 249.9), []),
    ([125, 125], 125, (125.0, 125.0), [(125, 125), (125, 125)]),  # no rate limit
    ([300, 700], 1000, (700.0, 700.0), []),
])
def test_cycles(monkeypatch, log_records, lags, warn_ms, snapshot, warnings):
    sentry = LagSentry(interval=1.0, warn_ms=warn_ms)
    fake, _ = run_cycles(monkeypatch, sentry, lags)
    assert fake.loops_taken == 1
    assert fake.sleeps == [1.0] * len(lags)
    assert sentry.snapshot() == {"lag_ms": snapshot[0], "max_lag_ms": snapshot[1]}
    assert type(sentry.lag_ms) is float and type(sentry.max_lag_ms) is float
    assert sentry.lag_ms == pytest.approx(max(lags[-1], 0.0), abs=1e-6)
    assert log_records.levels_and_messages() == [("WARNING", warning(*w)) for w in warnings]


class Logged(LagSentry):
    """Logs each read of its four values into `reads` (and the fake clock logs "time" there)."""

    def __getattribute__(self, name):
        if name in ("interval", "warn_ms", "lag_ms", "max_lag_ms"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


def snapshot(monkeypatch, sentry):
    sentry.snapshot()


def one_warning_cycle(monkeypatch, sentry):
    fake = ScriptedAsyncio([300], 1.0)
    clock = fake.time
    fake.time = lambda: (sentry.reads.append("time"), clock())[1]
    monkeypatch.setattr(lagsentry, "asyncio", fake)
    with pytest.raises(ClockRanOut):
        asyncio.run(sentry.run())


@pytest.mark.parametrize("use, reads", [
    (snapshot, ["lag_ms", "max_lag_ms"]),
    # (loop.time() - t0 - self.interval), the maximum from lag_ms, the test, the warning's two values
    (one_warning_cycle, ["time", "interval", "time", "interval", "max_lag_ms", "lag_ms", "lag_ms", "warn_ms",
                         "lag_ms", "max_lag_ms", "time"]),
], ids=["snapshot", "run"])
def test_values_are_read_in_the_order_written(monkeypatch, use, reads):
    sentry = Logged(1.0)
    sentry.reads = []
    use(monkeypatch, sentry)
    assert sentry.reads == reads


def test_logger_failure_ends_run_and_keeps_values(monkeypatch):
    class BrokenLogger:
        def warning(self, *args):
            raise RuntimeError("sink down")

    monkeypatch.setattr(lagsentry, "logger", BrokenLogger())
    sentry = LagSentry(1.0)
    fake, error = run_cycles(monkeypatch, sentry, [300, 10], stop=RuntimeError)
    assert str(error) == "sink down"
    assert sentry.snapshot() == {"lag_ms": 300.0, "max_lag_ms": 300.0}
    assert len(fake.readings) == 2                       # the second cycle never started
    ours = [f for f in traceback.extract_tb(error.__traceback__)
            if f.filename.endswith("quorvane/server/lagsentry.py")]
    assert ours and ours[0].name.endswith("run")


def test_real_loop_blocked_by_callback(log_records):
    async def main():
        sentry = LagSentry(interval=0.02, warn_ms=100)
        task = asyncio.create_task(sentry.run())
        samples = []

        async def sample(seconds, until=lambda: False):
            end = time.monotonic() + seconds
            while time.monotonic() < end and not until():
                samples.append((sentry.lag_ms, sentry.max_lag_ms))
                await asyncio.sleep(0.003)

        await sample(0.1)
        asyncio.get_running_loop().call_soon(time.sleep, 0.15)
        await sample(0.2)
        # a loaded machine can starve the loop on its own for a while: wait (bounded) for a quiet cycle
        await sample(3.0, until=lambda: sentry.lag_ms < sentry.max_lag_ms)
        last = sentry.snapshot()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        assert sentry.snapshot() == last
        return sentry, samples

    sentry, samples = asyncio.run(main())
    assert all(0.0 <= lag <= peak for lag, peak in samples)
    peaks = [peak for _, peak in samples]
    assert peaks == sorted(peaks)
    # The loop was blocked 150 ms while the sentry slept 20 ms: it woke at least 130 ms late.
    assert 120.0 <= sentry.max_lag_ms < 3000.0
    assert sentry.lag_ms < sentry.max_lag_ms             # later cycles were quiet again
    shown = [re.fullmatch(r"event loop lag (\d+)ms \(max (\d+)ms\) — something is blocking the loop",
                          r["message"]) for r in log_records]
    assert shown and all(shown) and all(r["level"].name == "WARNING" for r in log_records)
    assert max(int(m[1]) for m in shown) >= 100
    assert int(shown[-1][2]) == round(sentry.max_lag_ms)


@pytest.mark.parametrize("env, args, interval, warn_ms", [
    ({}, {}, 1.0, 250.0),
    ({"QUORVANE_LAGSENTRY_SEC": "", "QUORVANE_LOOP_WARN_MS": ""}, {}, 1.0, 250.0),
    ({"QUORVANE_LAGSENTRY_SEC": "0.5"}, {}, 0.5, 250.0),
    ({"QUORVANE_LOOP_WARN_MS": "75"}, {}, 1.0, 75.0),
    ({"QUORVANE_LAGSENTRY_SEC": "0.5", "QUORVANE_LOOP_WARN_MS": "75"}, {"interval": 2}, 2.0, 75.0),
    ({"QUORVANE_LAGSENTRY_SEC": "junk", "QUORVANE_LOOP_WARN_MS": "junk"},
     {"interval": 0.1, "warn_ms": 5}, 0.1, 5.0),       # explicit arguments never read the environment
    ({}, {"interval": Fraction(1, 4), "warn_ms": 7}, 0.25, 7.0),
])
def test_configuration(monkeypatch, env, args, interval, warn_ms):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    sentry = LagSentry(**args)
    assert (sentry.interval, sentry.warn_ms, sentry.lag_ms, sentry.max_lag_ms) == (interval, warn_ms, 0.0, 0.0)
    assert all(type(getattr(sentry, a)) is float for a in ("interval", "warn_ms", "lag_ms", "max_lag_ms"))
    assert sentry.snapshot() == {"lag_ms": 0.0, "max_lag_ms": 0.0}


@pytest.mark.parametrize("name", ["QUORVANE_LAGSENTRY_SEC", "QUORVANE_LOOP_WARN_MS"])
def test_bad_environment_raises_value_error(monkeypatch, log_records, name):
    monkeypatch.setenv(name, "fast")
    with pytest.raises(ValueError, match="could not convert string to float: 'fast'"):
        LagSentry()
    assert log_records == []


@pytest.mark.parametrize("args, kwargs, text", [
    (("0.5",), {}, "Argument 'interval' has incorrect type (expected float, got str)"),
    ((None, [1]), {}, "Argument 'warn_ms' has incorrect type (expected float, got list)"),
    ((), {"warn_ms": b"9"}, "Argument 'warn_ms' has incorrect type (expected float, got bytes)"),
])
def test_bad_argument_raises_type_error(args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        LagSentry(*args, **kwargs)
    assert str(caught.value) == text


def test_snapshot_is_a_new_dict_each_call(monkeypatch):
    sentry = LagSentry(1.0)
    run_cycles(monkeypatch, sentry, [12.34])
    first, second = sentry.snapshot(), sentry.snapshot()
    assert list(first) == ["lag_ms", "max_lag_ms"] and first == {"lag_ms": 12.3, "max_lag_ms": 12.3}
    assert first is not second
    first["lag_ms"] = -1
    assert sentry.snapshot()["lag_ms"] == 12.3


def test_module_surface():
    assert lagsentry.__doc__.splitlines()[0] == "Event-loop scheduling-lag watchdog."
    assert [k for k in vars(lagsentry) if not k.startswith("__")] == \
        ["asyncio", "os", "logger", "DEFAULT_INTERVAL_SEC", "LagSentry"]
    assert lagsentry.asyncio is asyncio and lagsentry.logger is logger
    assert lagsentry.DEFAULT_INTERVAL_SEC == 1.0 and type(lagsentry.DEFAULT_INTERVAL_SEC) is float
    assert LagSentry.__bases__ == (object,)
    assert [k for k in vars(LagSentry) if not k.startswith("__") or k == "__init__"] == \
        ["__init__", "run", "snapshot"]
    assert LagSentry.__init__.__annotations__ == \
        {"interval": "float | None", "warn_ms": "float | None", "return": "None"}
    assert LagSentry.run.__annotations__ == {"return": "None"}
    assert LagSentry.snapshot.__annotations__ == {"return": "dict[str, float]"}
    assert LagSentry.__init__.__defaults__ == (None, None)
    assert LagSentry.snapshot.__qualname__ == "LagSentry.snapshot"
    assert inspect.iscoroutinefunction(LagSentry.run)
    assert not inspect.iscoroutinefunction(LagSentry.snapshot)


def test_subclass(monkeypatch):
    class Tagged(LagSentry):
        def __init__(self, tag):
            super().__init__(warn_ms=10)
            self.tag = tag

        def snapshot(self):
            return {**super().snapshot(), "tag": self.tag}

    sentry = Tagged("api")
    run_cycles(monkeypatch, sentry, [20])
    assert sentry.snapshot() == {"lag_ms": 20.0, "max_lag_ms": 20.0, "tag": "api"}
    assert isinstance(sentry, LagSentry) and sentry.interval == 1.0


def test_no_leaks(monkeypatch):
    sentry = LagSentry(1.0, warn_ms=1e9)
    refs = sys.getrefcount(sentry)
    run_cycles(monkeypatch, sentry, [5.0] * 300)
    tracemalloc.start()
    try:
        for _ in range(3):                                # the first round warms caches up
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(20000):
                sentry.snapshot()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20000                                  # a leaked dict per call would be megabytes
    gc.collect()                                          # the ended coroutine sits in a traceback cycle
    assert sys.getrefcount(sentry) == refs
