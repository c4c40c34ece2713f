"""async with, async for, try/finally and try/except in native bodies, against async def twins:
results, exception types, texts and contexts, what the handlers saw, and cancellation at every
await."""
import asyncio
import gc
import sys

import pytest

import _frametest as ft


async def use_manager(manager, awaitable):
    async with manager as value:
        return (value, await awaitable)


async def walk(iterable):
    out = []
    async for item in iterable:
        out.append(item)
    return out


async def guarded(awaitable, cleanup):
    try:
        return await awaitable
    finally:
        await cleanup(sys.exc_info()[1])


async def recover(awaitable, handler):
    try:
        return await awaitable
    except Exception as e:
        return await handler(e)


IMPLS = {"native": ft, "python": sys.modules[__name__]}


def describe(exc):
    """What a test compares of an exception: type, text and the chain's types."""
    chain, e = [], exc
    while e is not None and len(chain) < 5:
        chain.append((type(e).__name__, str(e)))
        e = e.__cause__ or e.__context__
    return chain


class Halt(BaseException):
    """Not an Exception: except Exception lets it through."""


class Manager:
    def __init__(self, log, suppress=False, exit_raises=None):
        self.log, self.suppress, self.exit_raises = log, suppress, exit_raises

    async def __aenter__(self):
        self.log.append("enter")
        await asyncio.sleep(0)
        return "value"

    async def __aexit__(self, typ, exc, tb):
        self.log.append(("exit", typ and typ.__name__, str(exc) if exc else None,
                         type(sys.exc_info()[1]).__name__, tb is not None))
        await asyncio.sleep(0)
        if self.exit_raises:
            raise self.exit_raises
        return self.suppress


async def ticks(n, value=None, exc=None):
    for _ in range(n):
        await asyncio.sleep(0)
    if exc:
        raise exc
    return value


async def agen(log):
    try:
        for i in range(3):
            await asyncio.sleep(0)
            yield i
    finally:
        log.append("agen closed")


def scenario(name, log):
    """(coroutine function name, arguments) of each scenario; log collects side effects."""
    async def cleanup(exc):
        log.append(("cleanup", type(exc).__name__))
        await asyncio.sleep(0)

    async def handler(exc):
        log.append(("handler", str(exc), type(sys.exc_info()[1]).__name__))
        await asyncio.sleep(0)
        return "recovered"

    return {
        "with-ok": lambda: ("use_manager", Manager(log), ticks(2, "v")),
        "with-raise": lambda: ("use_manager", Manager(log), ticks(1, exc=KeyError("k"))),
        "with-suppress": lambda: ("use_manager", Manager(log, suppress=True), ticks(1, exc=ValueError("s"))),
        "with-exit-raises": lambda: ("use_manager", Manager(log, exit_raises=OSError("x")), ticks(1, exc=ValueError("v"))),
        "for-agen": lambda: ("walk", agen(log)),
        "finally-ok": lambda: ("guarded", ticks(2, "v"), cleanup),
        "finally-raise": lambda: ("guarded", ticks(1, exc=ValueError("f")), cleanup),
        "except-ok": lambda: ("recover", ticks(1, "v"), handler),
        "except-raise": lambda: ("recover", ticks(1, exc=ValueError("e")), handler),
        "except-base": lambda: ("recover", ticks(1, exc=Halt("h")), handler),
    }[name]()


def outcome(impl, name, cancel_after=None):
    log = []

    async def main():
        fn, *args = scenario(name, log)
        task = asyncio.ensure_future(getattr(IMPLS[impl], fn)(*args))
        if cancel_after is not None:
            for _ in range(cancel_after):
                await asyncio.sleep(0)
            task.cancel()
        try:
            return ("ok", await task)
        except BaseException as e:
            return ("raised", describe(e))

    return asyncio.run(main()), log


SCENARIOS = ["with-ok", "with-raise", "with-suppress", "with-exit-raises", "for-agen", "finally-ok",
             "finally-raise", "except-ok", "except-raise", "except-base"]


@pytest.mark.parametrize("name", SCENARIOS)
def test_like_async_def(name):
    assert outcome("native", name) == outcome("python", name)


@pytest.mark.filterwarnings("ignore:coroutine 'ticks' was never awaited")
@pytest.mark.parametrize("name", SCENARIOS)
def test_cancelled_at_every_await(name):
    for steps in range(7):
        assert outcome("native", name, steps) == outcome("python", name, steps), f"cancelled after {steps}"


class AenterOnly:
    async def __aenter__(self):
        return 1


class SyncEnter:
    def __aenter__(self):
        return 1

    def __aexit__(self, *exc):
        return 1


class BadAiter:
    def __aiter__(self):
        return object()


class BadAnext:
    def __aiter__(self):
        return self

    def __anext__(self):
        return 1


@pytest.mark.parametrize("call", [
    lambda m: m.use_manager(object(), ticks(0)),
    lambda m: m.use_manager(AenterOnly(), ticks(0)),
    lambda m: m.use_manager(SyncEnter(), ticks(0)),
    lambda m: m.walk(object()),
    lambda m: m.walk(BadAiter()),
    lambda m: m.walk(BadAnext()),
], ids=["no-protocol", "no-aexit", "aenter-not-awaitable", "no-aiter", "aiter-no-anext", "anext-not-awaitable"])
def test_protocol_errors(call):
    def run(impl):
        with pytest.raises(TypeError) as caught:
            asyncio.run(call(IMPLS[impl]))
        return describe(caught.value)
    assert run("native") == run("python")


def test_held_references_released(tok, census):
    """Values kept across awaits by the helpers are released once the coroutines end."""
    async def main():
        item = census.item()
        for impl in IMPLS.values():
            await impl.use_manager(Manager([]), ticks(1, tok()))
            await impl.guarded(ticks(1, tok()), lambda exc: ticks(1))
            await impl.recover(ticks(1, exc=ValueError(tok())), lambda exc: ticks(1, item))
    asyncio.run(main())
    gc.collect()
    assert census.alive == 0
