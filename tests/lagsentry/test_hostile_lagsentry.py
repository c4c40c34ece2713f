"""LagSentry under hostile use: a snapshot that re-enters itself, values that are not numbers, a
run task abandoned without being cancelled. The plain-Python LagSentry is the measure."""
import asyncio
import gc
import subprocess
import sys
import weakref

import pytest

from quorvane.server.lagsentry import LagSentry


def test_snapshot_reentered_through_a_property_raises_recursion_error():
    # snapshot reads lag_ms, which is snapshot again; in a child, so that a crash does not end the run
    # (on a thread with a large stack: sanitizer builds use far more stack per level)
    code = (f"import sys, threading; sys.path[:0] = {sys.path!r}\n"
            "from quorvane.server.lagsentry import LagSentry\n"
            "class Loop(LagSentry):\n"
            "    lag_ms = property(LagSentry.snapshot, lambda self, value: None)\n"
            "def main():\n"
            "    try:\n"
            "        Loop().snapshot()\n"
            "    except RecursionError:\n"
            "        print('RecursionError')\n"
            "threading.stack_size(256 << 20)\n"
            "thread = threading.Thread(target=main)\n"
            "thread.start()\n"
            "thread.join()\n")
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                           timeout=60)
    assert (child.returncode, child.stdout) == (0, "RecursionError\n"), child.stderr[-2000:]


@pytest.mark.parametrize("attr", ["lag_ms", "max_lag_ms"])
@pytest.mark.parametrize("value", ["x", None])
def test_snapshot_of_a_value_that_is_not_a_number(attr, value):
    sentry = LagSentry()
    setattr(sentry, attr, value)
    with pytest.raises(TypeError) as native:
        sentry.snapshot()
    with pytest.raises(TypeError) as python:
        round(value, 1)
    assert str(native.value) == str(python.value)


async def twin_run(self):
    """LagSentry.run in Python, as far as it keeps references across its await."""
    loop = asyncio.get_running_loop()
    while True:
        t0 = loop.time()
        await asyncio.sleep(self.interval)
        self.lag_ms = max((loop.time() - t0 - self.interval) * 1000, 0.0)


@pytest.mark.parametrize("run", [LagSentry.run, twin_run], ids=["native", "python"])
def test_abandoned_run_task_releases_the_sentry(run):
    # task -> coroutine -> sleep -> future -> its wake-up callback -> task: a cycle that nothing
    # references once the loop is closed
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)   # "Task was destroyed but it is pending!"
    sentry = LagSentry(interval=60.0)
    task = loop.create_task(run(sentry))
    loop.run_until_complete(asyncio.sleep(0))
    assert not task.done()
    loop.close()
    alive = weakref.ref(sentry)
    del sentry, task, loop
    gc.collect()
    assert alive() is None
