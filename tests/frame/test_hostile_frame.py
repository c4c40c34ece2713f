"""Native coroutines and functions under hostile use, against the `async def` twins of
test_coroutine.py: awaited objects that call back into the coroutine as it drops them, abandoned
tasks in reference cycles, state introspection, pickling and copying, recursion on small thread
stacks."""
import asyncio
import copy
import gc
import inspect
import pickle
import threading

import pytest

import _frametest as ft
from quorvane.server.lagsentry import LagSentry
from quorvane.server.routes import health
from test_coroutine import impl  # noqa: F401  (the fixture: _frametest, then the async def twins)


class Reentering:
    """Awaitable whose iterator has neither throw nor close and yields None (a task steps again at
    once). Released, the iterator sends into `coro` (once set) and records what that raised."""

    def __init__(self):
        self.coro, self.seen = None, []

    def __await__(self):
        return Bare(self)


class Bare:
    def __init__(self, owner):
        self.owner = owner

    def __iter__(self):
        return self

    def __next__(self):
        return None

    def __del__(self):
        if self.owner.coro is not None:
            try:
                self.owner.coro.send(None)
            except Exception as e:
                self.owner.seen.append((type(e), str(e)))


@pytest.mark.parametrize("op", ["throw", "close", "task-cancel"])
@pytest.mark.parametrize("fn", ["await_one", "catch_await"])
def test_awaited_iterator_released_while_coroutine_runs(isolated, impl, fn, op):
    if not isolated():
        return
    aw = Reentering()
    c = aw.coro = getattr(impl, fn)(aw)
    if op == "task-cancel":
        async def main():
            task = asyncio.create_task(c)
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
    else:
        assert c.send(None) is None
        if op == "close":
            assert c.close() is None
        else:
            with pytest.raises((ValueError, StopIteration)):   # raised, or returned by catch_await
                c.throw(ValueError("x"))
    assert aw.seen == [(ValueError, "coroutine already executing")]
    assert c.cr_await is None and not c.cr_running


def test_coroutine_state(impl):
    c = impl.await_one(Reentering())
    created = inspect.getcoroutinestate(c)
    c.send(None)
    suspended = inspect.getcoroutinestate(c)
    c.close()
    assert (created, suspended, inspect.getcoroutinestate(c)) == \
        (inspect.CORO_CREATED, inspect.CORO_SUSPENDED, inspect.CORO_CLOSED)


@pytest.mark.parametrize("fn, result", [("await_one", "s"), ("catch_await", ("ok", "s"))])
def test_stopiteration_thrown_at_iterator_without_throw(impl, fn, result):
    # raised where the await is suspended, a StopIteration ends that await with its value
    c = getattr(impl, fn)(Reentering())
    c.send(None)
    with pytest.raises(StopIteration) as ei:
        c.throw(StopIteration("s"))
    assert ei.value.value == result


ABANDONED = {
    "sleep_then": lambda m, box: m.sleep_then(10, box),
    "Widget.later(sleep_then)": lambda m, box: m.Widget(2).later(m.sleep_then(10, box)),
    "await_one(future)": lambda m, box: m.await_one(box.future),
}


@pytest.mark.parametrize("call", ABANDONED)
def test_abandoned_task_is_collected(impl, call, census):
    # task -> coroutine -> ... -> future -> its wake-up callback -> task, and box -> task: a cycle
    # that nothing references once the loop is closed
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)   # "Task was destroyed but it is pending!"
    box = census.item()
    box.future = loop.create_future()
    box.task = loop.create_task(ABANDONED[call](impl, box))
    loop.run_until_complete(asyncio.sleep(0))
    assert not box.task.done()
    loop.close()
    del box, loop
    gc.collect()
    assert census.alive == 0


@pytest.mark.parametrize("fn", [ft.Widget.grow, LagSentry.snapshot, health.health],
                         ids=["Widget.grow", "LagSentry.snapshot", "health.health"])
@pytest.mark.parametrize("how", ["pickle", "deepcopy", "copy"])
def test_functions_pickle_and_copy_by_qualified_name(fn, how):
    again = {"pickle": lambda f: pickle.loads(pickle.dumps(f)), "deepcopy": copy.deepcopy,
             "copy": copy.copy}[how](fn)
    assert again is fn


def test_dict_keys_given_as_text(tok):
    t = tok()
    assert list(ft.text_keys(t).items()) == [("alpha", t), ("beta", 2)]


class Again:
    """A counter value whose += calls the counter again, as an aggregator whose ingest fires the
    update handler again: native, Python, native, ..."""

    def __iadd__(self, n):
        return self.step(n)


def reenter_through_python():
    again = Again()
    again.step = ft.make_counter(again)
    again.step(1)


class Pending:
    def __await__(self):
        yield


DEEP = {
    "native calls": lambda: ft.raise_deep(10**6, "bottom"),
    "native calls through Python": reenter_through_python,
    "native awaits": lambda: ft.await_native(10**6, Pending()).send(None),
}


@pytest.mark.parametrize("stack_kib", [256, 1024])
@pytest.mark.parametrize("recursion", DEEP)
def test_deep_recursion_on_a_small_thread_stack_raises_recursion_error(isolated, recursion, stack_kib):
    # the recursion limit counts levels, not the kilobytes a native level takes
    if not isolated():
        return
    raised = []

    def run():
        try:
            DEEP[recursion]()
        except RecursionError as e:
            raised.append(type(e))

    threading.stack_size(stack_kib << 10)
    thread = threading.Thread(target=run)
    thread.start()
    threading.stack_size(0)
    thread.join()
    assert raised == [RecursionError]
