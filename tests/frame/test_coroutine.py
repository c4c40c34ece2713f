"""Native coroutine objects behave like the coroutines of `async def` functions.

Each scenario runs twice, against _frametest's coroutine functions and against their Python
transcriptions below, and asserts the same results, exception types and texts, and warnings.
Tokens (`tok`) catch reference-count errors; destructor counters (`census`) catch frames and
awaited objects that are never released.
"""
import asyncio
import collections.abc
import gc
import inspect
import re
import sys
import traceback
import types
import warnings
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

import _frametest as ft

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


# ---- the Python transcriptions ------------------------------------------------------------------
async def noop(value):
    return value


async def await_one(awaitable):
    return await awaitable


async def await_native(depth, awaitable):
    return await (awaitable if depth <= 1 else await_native(depth - 1, awaitable))


async def catch_await(awaitable):
    try:
        return ("ok", await awaitable)
    except Exception as e:
        return ("caught", e)


async def exc_info_in_handler(awaitable):
    try:
        await awaitable
    except Exception:
        return sys.exc_info()[1]


async def ignore_exit(awaitable):
    try:
        await awaitable
    except GeneratorExit:
        pass
    await awaitable


async def sleep_then(seconds, value):
    await asyncio.sleep(seconds)
    return value


class Widget:
    def __init__(self, size=1):
        self.size = size

    async def later(self, awaitable):
        r = await awaitable
        return (self.size, r)


NAMES = ["noop", "await_one", "await_native", "catch_await", "exc_info_in_handler", "ignore_exit",
         "sleep_then", "Widget"]
IMPLS = {"native": SimpleNamespace(**{n: getattr(ft, n) for n in NAMES}),
         "python": SimpleNamespace(**{n: globals()[n] for n in NAMES})}


@pytest.fixture(params=list(IMPLS))
def impl(request):
    return IMPLS[request.param]


# Coroutine functions awaiting one awaitable: how to call each, and its result for the awaited value.
CALLS = {
    "await_one": (lambda m, aw: m.await_one(aw), lambda r: r),
    "await_native-1": (lambda m, aw: m.await_native(1, aw), lambda r: r),
    "await_native-200": (lambda m, aw: m.await_native(200, aw), lambda r: r),
    "catch_await": (lambda m, aw: m.catch_await(aw), lambda r: ("ok", r)),
    "Widget.later": (lambda m, aw: m.Widget(7).later(aw), lambda r: (7, r)),
}


# ---- awaitables and helpers ---------------------------------------------------------------------
def raises(exc_type, text):
    return pytest.raises(exc_type, match="^" + re.escape(text) + "$")


def finish(c):
    with pytest.raises(StopIteration) as ei:
        c.send(None)
    return ei.value.value


@contextmanager
def caught_warnings():
    """(category, text) of the warnings issued in the block, collected garbage included."""
    seen = []
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        yield seen
        gc.collect()
    seen.extend((w.category, str(w.message)) for w in log)


@types.coroutine
def suspend(*values, log, result=None, keep=None):
    """Generator-based awaitable: yields `values` to the driver and logs what comes back."""
    try:
        for v in values:
            log.append(("sent", (yield v)))
    except BaseException as e:
        log.append(("raised", type(e)))
        raise
    finally:
        log.append("finally")
    return result


class Probe:
    """Awaitable iterator with send/throw/close of its own, logging what is forwarded to it."""

    def __init__(self, *values, result=None, recover=False):
        self.values, self.result, self.recover, self.log = list(values), result, recover, []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append(("send", value))
        if self.values:
            return self.values.pop(0)
        raise StopIteration(self.result)

    def throw(self, typ, val=None, tb=None):
        exc = typ if isinstance(typ, BaseException) else val if isinstance(val, BaseException) \
            else typ() if val is None else typ(val)
        self.log.append(("throw", exc))
        if self.recover and self.values:
            return self.values.pop(0)
        raise exc

    def close(self):
        self.log.append(("close",))


class Parked:
    """Awaitable that waits on a future nobody completes."""

    def __init__(self, keep=None):
        self.keep, self.fut = keep, None

    def __await__(self):
        self.fut = asyncio.get_running_loop().create_future()
        return (yield from self.fut)


async def py_sleep_then(seconds, value):
    await asyncio.sleep(seconds)
    return value


async def py_raise(exc):
    await asyncio.sleep(0)
    raise exc


def later_future(value):
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    loop.call_soon(fut.set_result, value)
    return fut


# ---- running ------------------------------------------------------------------------------------
def test_send_non_none_before_start(impl, tok):
    t = tok()
    c = impl.noop(t)
    with raises(TypeError, "can't send non-None value to a just-started coroutine"):
        c.send(tok())
    assert finish(c) is t   # the refused send left it unstarted


AWAITABLES = {
    "sleep(0)": lambda v: asyncio.sleep(0, v),
    "sleep(0.01)": lambda v: asyncio.sleep(0.01, v),
    "future-set-later": later_future,
    "python-coroutine": lambda v: py_sleep_then(0, v),
    "native-noop": lambda v: ft.noop(v),
    "native-sleep_then": lambda v: ft.sleep_then(0, v),
    "native-chain": lambda v: ft.await_native(3, ft.sleep_then(0, v)),
}


@pytest.mark.parametrize("driver", ["task", "awaited"])
@pytest.mark.parametrize("awaitable", AWAITABLES)
@pytest.mark.parametrize("call", CALLS)
def test_runs_to_completion_in_event_loop(impl, call, awaitable, driver, tok):
    make, expect = CALLS[call]
    t = tok()

    async def main():
        coro = make(impl, AWAITABLES[awaitable](t))
        # as a task's own coroutine it is driven through send/am_send, else by a Python await
        return await (asyncio.create_task(coro) if driver == "task" else coro)

    assert asyncio.run(main()) == expect(t)


def test_concurrent_coroutines_keep_their_own_state(impl, tok):
    ts = [tok() for _ in range(40)]

    async def main():
        return await asyncio.gather(
            *[impl.sleep_then(0.001 * (i % 3), t) for i, t in enumerate(ts[:20])],
            *[impl.await_native(i + 1, impl.sleep_then(0, t)) for i, t in enumerate(ts[20:])])

    assert all(a is b for a, b in zip(asyncio.run(main()), ts, strict=True))


@pytest.mark.parametrize("kind", ["token", "tuple", "empty-tuple", "exception", "stopiteration",
                                  "none"])
def test_result_reaches_caller_as_is(impl, kind, tok):
    t = tok()
    v = {"token": t, "tuple": (t, t), "empty-tuple": (), "exception": ValueError(t),
         "stopiteration": StopIteration(t), "none": None}[kind]
    assert finish(impl.noop(v)) is v

    async def main():
        return await impl.noop(v), await asyncio.create_task(impl.noop(v))

    assert all(r is v for r in asyncio.run(main()))


@pytest.mark.parametrize("via", ["coroutine", "__await__"])
@pytest.mark.parametrize("call", CALLS)
def test_values_pass_between_driver_and_awaited_untouched(impl, call, via, tok):
    make, expect = CALLS[call]
    y1, y2, s1, s2, r, log = tok("y"), tok("y"), tok("s"), tok("s"), tok("r"), []
    c = make(impl, suspend(y1, y2, log=log, result=r))
    it = c if via == "coroutine" else c.__await__()
    assert it.send(None) is y1 and it.send(s1) is y2
    with pytest.raises(StopIteration) as ei:
        it.send(s2)
    assert ei.value.value == expect(r)
    assert log == [("sent", s1), ("sent", s2), "finally"]


def test_await_iterator_is_delegated_to_with_yield_from(impl, tok):
    # the idiom of awaitables that wrap a coroutine: `yield from coro.__await__()`
    y, r, log = tok("y"), tok("r"), []

    class Wrapped:
        def __init__(self, coroutine):
            self.coroutine = coroutine

        def __await__(self):
            return (yield from self.coroutine.__await__())

    it = Wrapped(impl.await_one(suspend(y, log=log, result=r))).__await__()
    assert next(it) is y
    with pytest.raises(StopIteration) as ei:
        next(it)
    assert ei.value.value is r and log == [("sent", None), "finally"]


# ---- throw --------------------------------------------------------------------------------------
def foreign_traceback():
    try:
        raise OSError("elsewhere")
    except OSError as e:
        return e.__traceback__


THROW_FORMS = {   # (arguments for the thrown exception e, issues the deprecation warning)
    "instance": (lambda e: (e,), False),
    "type": (lambda e: (ValueError,), False),
    "type-value-None": (lambda e: (ValueError, e, None), True),
    "type-value-tb": (lambda e: (ValueError, e, foreign_traceback()), True),
    "type-arg": (lambda e: (ValueError, "text"), True),
}
DEPRECATED_THROW = (DeprecationWarning, "the (type, exc, tb) signature of throw() is deprecated, "
                                        "use the single-arg signature instead.")


@pytest.mark.parametrize("target", ["generator", "iterator"])
@pytest.mark.parametrize("form", THROW_FORMS)
def test_throw_reaches_the_awaited_iterator(impl, form, target, tok):
    args, deprecated = THROW_FORMS[form]
    t, exc, log = tok(), ValueError("thrown"), []
    aw = suspend(t, log=log) if target == "generator" else Probe(t)
    c = impl.catch_await(aw)
    assert c.send(None) is t
    with caught_warnings() as seen:
        with pytest.raises(StopIteration) as ei:
            c.throw(*args(exc))
    outcome, caught = ei.value.value
    assert outcome == "caught" and type(caught) is ValueError
    assert caught is exc if form.startswith("type-value") or form == "instance" else \
        caught.args == {"type": (), "type-arg": ("text",)}[form]
    assert seen == ([DEPRECATED_THROW] if deprecated else [])
    if target == "iterator":
        assert [e[0] for e in aw.log] == ["send", "throw"] and aw.log[1][1] is caught
        return
    assert log == [("raised", ValueError), "finally"]
    names = [e.name for e in traceback.extract_tb(caught.__traceback__)]
    assert ("foreign_traceback" in names) == (form == "type-value-tb")   # a given tb is kept


@pytest.mark.parametrize("call", CALLS)
def test_throw_handled_by_awaited_iterator_resumes(impl, call, tok):
    make, expect = CALLS[call]
    y1, y2, r, exc = tok(), tok(), tok(), KeyError("k")
    probe = Probe(y1, y2, result=r, recover=True)
    c = make(impl, probe)
    assert c.send(None) is y1 and c.throw(exc) is y2
    assert finish(c) == expect(r)
    assert probe.log == [("send", None), ("throw", exc), ("send", None)]


def test_throw_into_unstarted_coroutine(impl, tok):
    probe = Probe(tok())
    with caught_warnings() as seen:
        c = impl.catch_await(probe)
        with raises(ValueError, "early"):   # raised before the body's try: not caught
            c.throw(ValueError("early"))
        with raises(RuntimeError, "cannot reuse already awaited coroutine"):
            c.send(None)
        del c
    assert seen == [] and probe.log == []


@pytest.mark.parametrize("outer", ["none", "handled"])
@pytest.mark.parametrize("source", ["thrown", "raised-by-awaited", "future-exception"])
def test_handled_exception_visible_in_handler(impl, source, outer, tok):
    exc = LookupError(tok())

    async def main():
        if source == "future-exception":
            fut = asyncio.get_running_loop().create_future()
            fut.set_exception(exc)
            return await impl.exc_info_in_handler(fut)
        return await impl.exc_info_in_handler(py_raise(exc))

    def run():
        if source != "thrown":
            return asyncio.run(main())
        c = impl.exc_info_in_handler(suspend(tok(), log=[]))
        c.send(None)
        with pytest.raises(StopIteration) as ei:
            c.throw(exc)
        return ei.value.value

    if outer == "none":
        assert run() is exc and sys.exception() is None
        return
    try:
        raise OSError("outer")
    except OSError as handled:
        assert run() is exc
        assert sys.exception() is handled   # the driver's own handled exception is back


# ---- cancellation and close ---------------------------------------------------------------------
@pytest.mark.parametrize("when", ["suspended", "before-start"])
@pytest.mark.parametrize("call", CALLS)
def test_task_cancel_propagates(impl, call, when, tok, census):
    make, _ = CALLS[call]
    parked = Parked(keep=(census.item(), tok()))

    async def main():
        task = asyncio.create_task(make(impl, parked))
        if when == "suspended":
            await asyncio.sleep(0)
            assert not task.done()
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError) as ei:
            await task
        assert task.cancelled()
        return ei.value.args

    assert asyncio.run(main()) == ("stop",)   # catch_await lets it through: not an Exception
    assert (parked.fut is None) if when == "before-start" else parked.fut.cancelled()
    del parked
    gc.collect()
    assert census.alive == 0


@pytest.mark.parametrize("op", ["close", "throw-GeneratorExit"])
@pytest.mark.parametrize("target", ["generator", "iterator"])
@pytest.mark.parametrize("call", CALLS)
def test_close_suspended_closes_awaited(impl, call, target, op, tok):
    make, _ = CALLS[call]
    log = []
    aw = suspend(tok(), log=log) if target == "generator" else Probe(tok())
    c = make(impl, aw)
    c.send(None)
    if op == "close":
        assert c.close() is None
    else:
        with pytest.raises(GeneratorExit):
            c.throw(GeneratorExit())
    assert c.cr_await is None
    assert (log if target == "generator" else aw.log) == (
        [("raised", GeneratorExit), "finally"] if target == "generator" else
        [("send", None), ("close",)])
    with raises(RuntimeError, "cannot reuse already awaited coroutine"):
        c.send(None)
    assert c.close() is None


@pytest.mark.parametrize("op", ["send", "throw", "close", "await"])
def test_finished_coroutine_cannot_be_reused(impl, op, tok):
    c = impl.noop(tok())
    finish(c)
    if op == "close":
        assert c.close() is None
        return
    with raises(RuntimeError, "cannot reuse already awaited coroutine"):
        if op == "send":
            c.send(None)
        elif op == "throw":
            c.throw(ValueError("late"))
        else:
            asyncio.run(await_one(c))


def test_ignored_generator_exit(impl, tok):
    t1, t2 = tok(), tok()
    probe = Probe(t1, t2)
    c = impl.ignore_exit(probe)
    assert c.send(None) is t1
    with raises(RuntimeError, "coroutine ignored GeneratorExit"):
        c.close()   # the second await yielded t2
    assert finish(c) is None
    assert probe.log == [("send", None), ("close",), ("send", None), ("send", None)]


class Reenter:
    """An awaited object that calls back into the coroutine awaiting it."""

    def __init__(self, op, payload):
        self.op, self.payload, self.coro, self.running = op, payload, None, None

    def __await__(self):
        return self

    def __next__(self):
        self.running = self.coro.cr_running
        return {"send": lambda: self.coro.send(None), "close": self.coro.close,
                "throw": lambda: self.coro.throw(KeyError("inner"))}[self.op]()


@pytest.mark.parametrize("op", ["send", "throw", "close"])
@pytest.mark.parametrize("fn", ["await_one", "catch_await"])
def test_reentry_while_executing(impl, fn, op, tok):
    r = Reenter(op, tok())
    c = r.coro = getattr(impl, fn)(r)   # a cycle through the coroutine's frame
    if fn == "await_one":
        with raises(ValueError, "coroutine already executing"):
            c.send(None)
    else:
        outcome, e = finish(c)
        assert (outcome, type(e), str(e)) == ("caught", ValueError, "coroutine already executing")
    assert r.running is True and c.cr_running is False


# ---- warnings and lifetime ----------------------------------------------------------------------
QUALNAMES = {
    "noop": (lambda m, t: m.noop(t), "noop", "noop"),
    "sleep_then": (lambda m, t: m.sleep_then(0, t), "sleep_then", "sleep_then"),
    "Widget.later": (lambda m, t: m.Widget().later(t), "later", "Widget.later"),
}


@pytest.mark.parametrize("fn", QUALNAMES)
def test_never_awaited_warning(impl, fn, tok):
    make, _, qualname = QUALNAMES[fn]
    with caught_warnings() as seen:
        c = make(impl, tok())
        del c
    assert seen == [(RuntimeWarning, f"coroutine '{qualname}' was never awaited")]


@pytest.mark.parametrize("end", ["completed", "closed-unstarted", "closed-suspended",
                                 "thrown-unstarted", "run-by-asyncio"])
def test_no_warning_once_started_or_closed(impl, end, tok):
    with caught_warnings() as seen:
        c = impl.await_one(Probe(tok(), result=tok()))
        if end == "run-by-asyncio":
            c.close()
            asyncio.run(impl.await_one(impl.sleep_then(0, tok())))
        elif end == "thrown-unstarted":
            with pytest.raises(KeyError):
                c.throw(KeyError())
        elif end != "closed-unstarted":
            c.send(None)
        if end == "completed":
            finish(c)
        elif end.startswith("closed"):
            c.close()
        del c
    assert seen == []


def test_unawaited_argument_released_while_raising(impl, tok):
    # the failing frame drops its never-awaited argument with the exception pending
    with caught_warnings() as seen:
        c = impl.sleep_then("bad", impl.noop(tok()))
        with raises(TypeError, "'<=' not supported between instances of 'str' and 'int'"):
            c.send(None)
        del c
    assert seen == [(RuntimeWarning, "coroutine 'noop' was never awaited")]


@pytest.mark.parametrize("how", ["completed", "closed", "thrown", "dropped-suspended",
                                 "dropped-in-cycle", "dropped-while-handling"])
@pytest.mark.parametrize("call", CALLS)
def test_frames_and_awaited_objects_released(impl, call, how, tok, census):
    make, _ = CALLS[call]
    log, keep = [], census.item()
    c = make(impl, suspend(tok(), log=log, result=census.item(), keep=(keep, tok())))
    c.send(None)
    if how == "completed":
        finish(c)
    elif how == "closed":
        c.close()
    elif how == "thrown":
        with pytest.raises(asyncio.CancelledError):
            c.throw(asyncio.CancelledError())
    elif how == "dropped-in-cycle":
        keep.cycle = c   # coroutine -> its frame -> awaited generator -> keep -> coroutine
    elif how == "dropped-while-handling":
        try:
            raise OSError("handled")
        except OSError as handled:
            del c
            gc.collect()
            assert sys.exception() is handled
    c = keep = None
    gc.collect()
    assert census.alive == 0
    ended = {"completed": ("sent", None), "thrown": ("raised", asyncio.CancelledError)}
    assert log[-2:] == [ended.get(how, ("raised", GeneratorExit)), "finally"]


# ---- introspection ------------------------------------------------------------------------------
@pytest.mark.parametrize("call", ["await_one", "catch_await", "Widget.later"])
def test_cr_await_and_cr_running(impl, call, tok):
    make, expect = CALLS[call]
    r = tok()
    probe = Probe(tok(), result=r)
    c = make(impl, probe)
    assert c.cr_await is None and c.cr_running is False
    c.send(None)
    assert c.cr_await is probe and c.cr_running is False
    assert finish(c) == expect(r) and c.cr_await is None
    assert hasattr(c, "cr_code") and hasattr(c, "cr_frame")


@pytest.mark.parametrize("fn", QUALNAMES)
def test_coroutine_identity(impl, fn, tok):
    make, name, qualname = QUALNAMES[fn]
    c = make(impl, tok())
    try:
        assert (c.__name__, c.__qualname__) == (name, qualname)
        assert asyncio.iscoroutine(c) and inspect.isawaitable(c)
        assert isinstance(c, collections.abc.Coroutine)
    finally:
        c.close()


class BadAwait:
    def __await__(self):
        return 5


NOT_AWAITABLE = {
    "int": (lambda: 5, "object int can't be used in 'await' expression"),
    "None": (lambda: None, "object NoneType can't be used in 'await' expression"),
    "generator": (lambda: (x for x in ()), "object generator can't be used in 'await' expression"),
    "bad-__await__": (BadAwait, "__await__() returned non-iterator of type 'int'"),
}


@pytest.mark.parametrize("obj", NOT_AWAITABLE)
def test_await_of_non_awaitable(impl, obj):
    make, text = NOT_AWAITABLE[obj]
    with raises(TypeError, text):
        impl.await_one(make()).send(None)
    outcome, e = finish(impl.catch_await(make()))
    assert (outcome, type(e), str(e)) == ("caught", TypeError, text)


@pytest.mark.parametrize("inner", list(IMPLS))
def test_suspended_coroutine_cannot_be_awaited_again(impl, inner, tok):
    t = tok()
    held = IMPLS[inner].await_one(suspend(t, log=[]))
    assert held.send(None) is t
    with raises(RuntimeError, "coroutine is being awaited already"):
        impl.await_one(held).send(None)
    assert held.cr_await is not None   # left suspended where it was
    held.close()
