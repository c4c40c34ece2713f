"""Calling frame functions and running frame coroutines many times leaks nothing.

Each case runs N times after a warm-up. Live objects, allocated memory blocks and the references to
the token passed around must stay flat, and so must the process RSS, except in the sanitizer run
(RSS is meaningless there, and N is smaller because everything is slower).
"""
import asyncio
import gc
import inspect
import sys
import types
import warnings

import psutil
import pytest

import _frametest as ft

T = object()   # a non-immortal value passed through everything
MAX_OBJECTS, MAX_BLOCKS, MAX_RSS = 2_000, 2_000, 20 * 2**20


def snapshot():
    gc.collect()
    return (len(gc.get_objects()), sys.getallocatedblocks(), psutil.Process().memory_info().rss,
            sys.getrefcount(T))


def measure(run, n, sanitized):
    """run(count) repeats a case; asserts that repeating it n times more leaves nothing behind."""
    run(1_000)
    before = snapshot()
    run(n)
    objects, blocks, rss, refs = (a - b for a, b in zip(snapshot(), before))
    assert refs == 0, f"token references changed by {refs}"
    assert objects < MAX_OBJECTS, f"{objects} more live objects"
    assert blocks < MAX_BLOCKS, f"{blocks} more allocated memory blocks"
    if not sanitized:
        assert rss < MAX_RSS, f"RSS grew by {rss / 2**20:.1f} MB"


@pytest.fixture
def n(sanitized):
    return 5_000 if sanitized else 100_000


@types.coroutine
def yield_once(value):
    return (yield value)


class IntLike:
    def __index__(self):
        return 3


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{exc_type.__name__} not raised")


def finish(c, value=None):
    expect(StopIteration, c.send, value)


def suspended(make):
    c = make(yield_once(T))
    c.send(None)
    return c


def missing_flag():
    del ft.FLAG
    try:
        expect(NameError, ft.get_flag)
    finally:
        ft.FLAG = "flag"


class Twice:
    def __await__(self):   # each await yields once
        yield T


def ignored_exit():
    c = ft.ignore_exit(Twice())
    c.send(None)
    expect(RuntimeError, c.close)
    finish(c)


def reused():
    c = ft.noop(T)
    finish(c)
    expect(RuntimeError, c.send, None)


SYNC = {
    "add3": lambda: ft.add3("a", "b", "c"),
    "add3-keywords": lambda: ft.add3(1, c=3, b=2),
    "optional": lambda: ft.optional(T, c=T),
    "typed": lambda: ft.typed("s", IntLike(), 2, {"k": T}, [T]),
    "maybe": lambda: ft.maybe(3),
    "get_flag": ft.get_flag,
    "counter": lambda: ft.make_counter(1.5)(T is T),
    "widget": lambda: ft.Widget(5).grow(2),
    "method-attributes": lambda: (ft.Widget.grow.__annotations__, ft.Widget.grow.__defaults__,
                                  ft.Widget.grow.__code__, ft.Widget(1).grow),
    "handler-signature": lambda: inspect.signature(ft.handler),
    "error-arity": lambda: expect(TypeError, ft.add3, T, T),
    "error-keyword": lambda: expect(TypeError, ft.add3, 1, 2, 3, d=T),
    "error-multiple": lambda: expect(TypeError, ft.optional, T, a=T),
    "error-type": lambda: expect(TypeError, ft.typed, "s", "i", 1.0, {}, []),
    "error-missing-global": missing_flag,
    "error-unbound": lambda: expect(NameError, ft.make_unbound()),
    "error-raise_deep": lambda: expect(ValueError, ft.raise_deep, 3, "boom"),
    "error-method": lambda: expect(TypeError, ft.Widget(1).grow, "x"),
    # coroutines driven by hand
    "noop": lambda: finish(ft.noop(T)),
    "await_one": lambda: finish(suspended(ft.await_one), T),
    "await_native-5": lambda: finish(suspended(lambda aw: ft.await_native(5, aw)), T),
    "Widget.later": lambda: finish(suspended(ft.Widget(1).later), T),
    "handler": lambda: finish(ft.handler(3)),
    "throw-caught": lambda: expect(StopIteration, suspended(ft.catch_await).throw, ValueError(T)),
    "throw-exc_info": lambda: expect(StopIteration, suspended(ft.exc_info_in_handler).throw,
                                     KeyError(T)),
    "throw-uncaught": lambda: expect(KeyError, suspended(ft.await_one).throw, KeyError(T)),
    "throw-unstarted": lambda: expect(ValueError, ft.noop(T).throw, ValueError(T)),
    "close-suspended": lambda: suspended(ft.await_one).close(),
    "close-unstarted": lambda: ft.noop(T).close(),
    "send-non-none": lambda: expect(TypeError, ft.noop(T).send, T),
    "reuse": reused,
    "ignore_exit": ignored_exit,
    "never-awaited": lambda: ft.noop(T),
    "dropped-suspended": lambda: suspended(ft.await_one),
    "await-non-awaitable": lambda: expect(TypeError, ft.await_one(T).send, None),
}


@pytest.mark.parametrize("case", SYNC)
def test_calls_and_coroutines_driven_by_hand(case, n, sanitized):
    fn = SYNC[case]

    def run(count):
        for _ in range(count):
            fn()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # the never-awaited ones, on purpose
        measure(run, n, sanitized)


async def py_raise():
    raise ValueError(T)


async def cancelled():
    task = asyncio.ensure_future(ft.await_native(3, ft.sleep_then(60, T)))
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


IN_LOOP = {   # (awaitable maker, slowdown: how much fewer rounds for the ones costing a loop turn)
    "noop": (lambda: ft.noop(T), 1),
    "await_one": (lambda: ft.await_one(ft.noop(T)), 1),
    "await_native-5": (lambda: ft.await_native(5, ft.noop(T)), 1),
    "Widget.later": (lambda: ft.Widget(2).later(ft.noop(T)), 1),
    "catch_await": (lambda: ft.catch_await(py_raise()), 1),
    "handler": (lambda: ft.handler(3), 1),
    "sleep_then": (lambda: ft.sleep_then(0, T), 10),
    "task-cancel": (cancelled, 10),
}


@pytest.mark.parametrize("case", IN_LOOP)
def test_coroutines_in_event_loop(case, n, sanitized):
    make, slowdown = IN_LOOP[case]

    async def rounds(count):
        for _ in range(count):
            await make()

    loop = asyncio.new_event_loop()   # one loop for the warm-up and all the rounds
    try:
        measure(lambda count: loop.run_until_complete(rounds(count)), n // slowdown, sanitized)
    finally:
        loop.close()
