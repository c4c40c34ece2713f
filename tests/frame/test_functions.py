"""Module functions, nested functions, classes and function objects made by the frame."""
import asyncio
import gc
import inspect
import re
import types

import fastapi
import httpx
import pytest

import _frametest as ft


def raises(exc_type, text):
    return pytest.raises(exc_type, match="^" + re.escape(text) + "$")


@pytest.mark.parametrize("call, text", [
    (lambda: ft.add3(1, 2), "add3() takes exactly 3 positional arguments (2 given)"),
    (lambda: ft.add3(1, 2, 3, 4), "add3() takes exactly 3 positional arguments (4 given)"),
    (lambda: ft.optional(), "optional() takes at least 1 positional argument (0 given)"),
    (lambda: ft.optional(b=2), "optional() takes at least 1 positional argument (0 given)"),
    (lambda: ft.optional(1, 2, 3, 4), "optional() takes at most 3 positional arguments (4 given)"),
    (lambda: ft.add3(1, 2, 3, d=4), "add3() got an unexpected keyword argument 'd'"),
    (lambda: ft.add3(1, 2, c=3, d=4), "add3() got an unexpected keyword argument 'd'"),
    (lambda: ft.optional(1, a=2), "optional() got multiple values for keyword argument 'a'"),
    (lambda: ft.optional(1, 2, b=3), "optional() got multiple values for keyword argument 'b'"),
])
def test_argument_binding_errors(call, text):
    with raises(TypeError, text):
        call()


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings$"):
        ft.add3(1, 2, **{3: 4})


@pytest.mark.parametrize("call, expected", [
    (lambda: ft.add3(c=3, a=1, b=2), 6),
    (lambda: ft.add3("a", c="c", b="b"), "abc"),
    (lambda: ft.add3(1, **{"b": 2, "c": 3}), 6),
    (lambda: ft.optional(1), (1, None, None)),
    (lambda: ft.optional(1, c=3), (1, None, 3)),
    (lambda: ft.optional(a=1, b=2), (1, 2, None)),
])
def test_arguments_bound_by_position_and_keyword(call, expected):
    assert call() == expected


class Str(str):
    pass


class Dict(dict):
    pass


class List(list):
    pass


class IndexOnly:
    def __index__(self):
        return 7


class IntOnly:
    def __int__(self):
        return 8


def typed_args(**over):
    return {"s": "s", "i": 1, "f": 2.0, "d": {"k": 1}, "l": [1]} | over


@pytest.mark.parametrize("by", ["position", "keyword"])
@pytest.mark.parametrize("name, value, got", [
    ("s", 1, "int"), ("s", Str("x"), "Str"), ("s", None, "NoneType"), ("s", b"x", "bytes"),
    ("i", "7", "str"), ("i", None, "NoneType"), ("i", [1], "list"),
    ("f", "x", "str"), ("f", None, "NoneType"),
    ("d", None, "NoneType"), ("d", Dict(), "Dict"), ("d", [], "list"),
    ("l", None, "NoneType"), ("l", List(), "List"), ("l", (), "tuple"),
])
def test_typed_argument_refused(name, value, got, by):
    expected = {"s": "str", "i": "int", "f": "float", "d": "dict", "l": "list"}[name]
    args = typed_args(**{name: value})
    with raises(TypeError, f"Argument '{name}' has incorrect type (expected {expected}, got {got})"):
        ft.typed(*args.values()) if by == "position" else ft.typed(**args)


@pytest.mark.parametrize("name, value, expected", [
    ("i", IndexOnly(), 7), ("i", IntOnly(), 8), ("i", 3.9, 3), ("i", True, 1), ("i", 2**80, 2**80),
    ("f", 3, 3.0), ("f", 2.5, 2.5),
])
def test_typed_numbers_converted_to_exact_types(name, value, expected):
    res = dict(zip("sifdl", ft.typed(**typed_args(**{name: value}))))
    assert res[name] == expected and type(res[name]) is type(expected)


def test_typed_passes_containers_through():
    s, d, lst = "text", {"k": object()}, [object()]
    res = ft.typed(s, 1, 2.0, d, lst)
    assert res[0] is s and res[3] is d and res[4] is lst


@pytest.mark.parametrize("args, expected", [((3,), 3.0), ((2.5,), 2.5), ((None,), None), ((), None)])
def test_optional_float(args, expected):
    res = ft.maybe(*args)
    assert res == expected and type(res) is type(expected)


def test_optional_float_refuses_text():
    with pytest.raises(TypeError, match=r"^Argument 'x' has incorrect type \(expected float.*got str\)$"):
        ft.maybe("x")


def test_module_global_read_at_each_call(monkeypatch):
    assert ft.get_flag() == "flag"
    new = object()
    monkeypatch.setattr(ft, "FLAG", new)
    assert ft.get_flag() is new
    monkeypatch.delattr(ft, "FLAG")
    with raises(NameError, "name 'FLAG' is not defined"):
        ft.get_flag()


def test_nested_counter():
    one, two = ft.make_counter(10), ft.make_counter(100)
    assert [one(), one(5), one(n=2), two(), one()] == [11, 16, 18, 101, 19]
    assert isinstance(one, types.BuiltinFunctionType) and not hasattr(one, "__code__")
    assert (one.__name__, one.__qualname__) == ("step", "make_counter.<locals>.step")


def test_augmented_assignment_is_in_place():
    start = [1]
    step = ft.make_counter(start)
    assert step([2]) is start and start == [1, 2]   # `count += n` extends the list itself
    with raises(TypeError, "unsupported operand type(s) for +=: 'int' and 'str'"):
        ft.make_counter(0)("x")


class Acc:
    """A counter value pointing back at its counter: scope -> Acc -> step -> scope."""

    def __init__(self, keep):
        self.total, self.keep = 0, keep

    def __add__(self, n):
        self.total += n
        return self


def test_nested_scope_collected_in_cycle(census):
    acc = Acc(census.item())
    acc.step = ft.make_counter(acc)
    assert acc.step(3) is acc and acc.total == 3
    del acc
    gc.collect()
    assert census.alive == 0


def test_free_variable_before_assignment():
    with raises(NameError, "free variable 'value' referenced before assignment in enclosing scope"):
        ft.make_unbound()()


@pytest.mark.parametrize("name", [
    "add3", "typed", "optional", "maybe", "get_flag", "raise_deep", "make_counter", "make_unbound",
    "noop", "await_one", "await_native", "catch_await", "exc_info_in_handler", "ignore_exit",
    "sleep_then"])
def test_module_functions_are_builtin_functions(name):
    fn = getattr(ft, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "_frametest")
    assert not hasattr(fn, "__code__")


# ---- classes ------------------------------------------------------------------------------------
def test_widget_class():
    W = ft.Widget
    assert type(W) is type and W.__bases__ == (object,)
    assert (W.__module__, W.__name__, W.__qualname__, W.__doc__) == \
        ("_frametest", "Widget", "Widget", "A widget.")
    w = W()
    assert (W.kind, w.kind, w.size, w.grow(), w.grow(3), w.grow(by=-5)) == \
        ("widget", "widget", 1, 2, 5, 0)
    assert (W(4).grow(), W(size=6).size, W.grow(w, 10), vars(w)) == (5, 6, 10, {"size": 10})
    assert isinstance(w.grow, types.MethodType) and w.grow.__self__ is w
    assert w.grow.__func__ is W.grow and W.__dict__["grow"] is W.grow


@pytest.mark.parametrize("call, text", [
    (lambda: ft.Widget("big"), "Argument 'size' has incorrect type (expected int, got str)"),
    (lambda: ft.Widget().grow("x"), "Argument 'by' has incorrect type (expected int, got str)"),
])
def test_method_argument_types_checked(call, text):
    with raises(TypeError, text):
        call()


def test_subclass_from_python():
    calls = []

    class Big(ft.Widget):
        kind = "big"

        def __init__(self, size=2):
            super().__init__(size)
            calls.append("init")

        def grow(self, by=1):
            return super().grow(by * 10)

    b = Big()
    assert isinstance(b, ft.Widget) and calls == ["init"] and Big.__mro__ == (Big, ft.Widget, object)
    assert (b.size, b.grow(), b.grow(2), b.kind, ft.Widget.kind) == (2, 12, 32, "big", "widget")
    assert asyncio.run(b.later(ft.noop("r"))) == (32, "r")


def test_method_function_attributes(monkeypatch):
    grow, later, init = ft.Widget.grow, ft.Widget.later, ft.Widget.__init__
    assert (grow.__name__, grow.__qualname__, grow.__module__) == ("grow", "Widget.grow", "_frametest")
    assert (later.__name__, later.__qualname__, init.__qualname__) == \
        ("later", "Widget.later", "Widget.__init__")
    assert (grow.__doc__, grow.__defaults__, grow.__kwdefaults__, later.__defaults__) == \
        (None, (1,), None, None)
    assert grow.__annotations__ == {"by": "int", "return": "int"}
    assert init.__annotations__ == {"size": "int", "return": "None"}
    assert later.__annotations__ == {"return": "tuple"}
    assert grow.__globals__ is vars(ft) and grow.__closure__ is None
    assert isinstance(grow.__code__, types.CodeType) and grow.__code__.co_filename == "_frametest.py"
    monkeypatch.setattr(grow, "note", "set from Python", raising=False)
    assert grow.__dict__["note"] == "set from Python"
    assert inspect.isroutine(grow) and not inspect.iscoroutinefunction(grow)
    assert inspect.iscoroutinefunction(later)


def test_method_signature():
    sig = inspect.signature(ft.Widget.grow)
    assert list(sig.parameters) == ["self", "by"] and sig.parameters["by"].default == 1
    assert list(inspect.signature(ft.Widget(2).grow).parameters) == ["by"]
    assert list(inspect.signature(ft.Widget.later).parameters) == ["self", "awaitable"]


def plain(by=1):
    return by


async def plain_coroutine(value):
    return value


DELETE = object()
TEXT_ATTRS = [(attr, value, f"{attr} must be set to a string object")
              for attr in ("__name__", "__qualname__") for value in (5, DELETE)]


# the same texts from the interpreter's function and coroutine
@pytest.mark.parametrize("kind, attr, value, text", [
    *(("function", *row) for row in TEXT_ATTRS),
    *(("coroutine", *row) for row in TEXT_ATTRS),
    ("function", "__defaults__", 5, "__defaults__ must be set to a tuple object"),
    ("function", "__kwdefaults__", [], "__kwdefaults__ must be set to a dict object"),
    ("function", "__annotations__", (), "__annotations__ must be set to a dict object"),
])
def test_attribute_of_wrong_type_refused(kind, attr, value, text):
    targets = [ft.Widget.grow, plain] if kind == "function" else [ft.noop(1), plain_coroutine(1)]
    for target in targets:
        before = getattr(target, attr)
        with raises(TypeError, text):
            delattr(target, attr) if value is DELETE else setattr(target, attr, value)
        assert getattr(target, attr) is before
        if kind == "coroutine":
            target.close()


@pytest.mark.parametrize("attr, value", [("__defaults__", (100,)), ("__kwdefaults__", {"by": 100})])
def test_writing_defaults_does_not_change_them(monkeypatch, attr, value):
    monkeypatch.setattr(ft.Widget.grow, attr, value)
    assert getattr(ft.Widget.grow, attr) == value
    assert ft.Widget(1).grow() == 2


# ---- route-style function -----------------------------------------------------------------------
def test_handler_is_a_coroutine_function_with_signature():
    h = ft.handler
    assert inspect.isroutine(h) and inspect.iscoroutinefunction(h)
    sig = inspect.signature(h)
    assert sig == inspect.Signature(
        [inspect.Parameter("x", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=5, annotation=int)],
        return_annotation=dict)
    assert sig.parameters["x"].annotation is int and sig.return_annotation is dict
    assert asyncio.run(h(3)) == {"x": 3} and asyncio.run(h()) == {"x": 5}


def test_handler_served_by_fastapi():
    router = fastapi.APIRouter()
    router.get("/h")(ft.handler)
    app = fastapi.FastAPI()
    app.include_router(router)

    async def main():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app),
                                     base_url="http://test") as client:
            return [await client.get("/h", params=p) for p in ({"x": 3}, {}, {"x": "three"})]

    given, default, bad = asyncio.run(main())
    assert (given.status_code, given.json()) == (200, {"x": 3})
    assert (default.status_code, default.json()) == (200, {"x": 5})
    assert bad.status_code == 422 and bad.json()["detail"][0]["loc"] == ["query", "x"]
