"""Exceptions leaving frame functions carry traceback entries that read like Python source."""
import asyncio
import traceback

import pytest

import _frametest as ft

SOURCE = "_frametest.py"


@pytest.mark.parametrize("depth", [1, 3, 10])
def test_native_call_chain(depth):
    with pytest.raises(ValueError) as ei:
        ft.raise_deep(depth, "boom")
    assert ei.value.args == ("boom",)
    entries = traceback.extract_tb(ei.tb)
    assert entries[0].name == "test_native_call_chain"   # the caller's own entry is kept
    tail = entries[-(depth + 1):]
    assert [(e.name, e.filename) for e in tail] == \
        [("raise_deep", SOURCE)] + [("_deeper", SOURCE)] * depth
    assert all(e.lineno > 0 for e in tail)
    text = "".join(traceback.format_exception(ei.value))
    assert f'File "{SOURCE}", line {tail[0].lineno}, in raise_deep\n' in text


def size_object():
    w = ft.Widget()
    w.size = object()
    return w


@pytest.mark.parametrize("call, exc_type, name", [
    (lambda: ft.add3(1, "a", 2), TypeError, "add3"),
    (lambda: ft.make_counter(0)("x"), TypeError, "make_counter.<locals>.step"),
    (lambda: ft.make_unbound()(), NameError, "make_unbound.<locals>.peek"),
    (lambda: size_object().grow(), TypeError, "Widget.grow"),
])
def test_function_body_entry_has_qualified_name(call, exc_type, name):
    with pytest.raises(exc_type) as ei:
        call()
    last = traceback.extract_tb(ei.tb)[-1]
    assert (last.name, last.filename) == (name, SOURCE)


async def failing(exc):
    await asyncio.sleep(0)
    raise exc


@pytest.mark.parametrize("make, name", [
    (lambda aw: ft.await_one(aw), "await_one"),
    (lambda aw: ft.Widget(2).later(aw), "Widget.later"),
    (lambda aw: ft.await_native(3, aw), "await_native"),
])
def test_coroutine_body_entry(make, name):
    exc = KeyError("inner")
    with pytest.raises(KeyError) as ei:
        asyncio.run(make(failing(exc)))
    assert ei.value is exc
    entries = traceback.extract_tb(ei.tb)
    assert entries[-1].name == "failing"
    assert (entries[-2].name, entries[-2].filename) == (name, SOURCE)


def test_exception_caught_inside_keeps_inner_entries():
    exc = KeyError("inner")
    outcome, caught = asyncio.run(ft.catch_await(ft.await_one(failing(exc))))
    assert outcome == "caught" and caught is exc
    names = [e.name for e in traceback.extract_tb(caught.__traceback__)]
    assert names[-2:] == ["await_one", "failing"]
