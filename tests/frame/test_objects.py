"""The object API (comparisons, arithmetic, sequences, range-for iteration) against Python's own operators."""
import operator

import pytest

import _frametest as ft


class RaisingLt:
    def __lt__(self, other):
        raise KeyError("lt")


class Named:
    """Comparisons that answer with their own names, as a pandas Series answers with a Series."""

    __lt__ = lambda self, other: "lt"
    __le__ = lambda self, other: "le"
    __eq__ = lambda self, other: "eq"
    __ne__ = lambda self, other: "ne"
    __gt__ = lambda self, other: "gt"
    __ge__ = lambda self, other: "ge"


class RaisingIter:
    def __iter__(self):
        raise KeyError("iter")


class RaisingNext:
    def __init__(self):
        self.n = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.n += 1
        if self.n > 2:
            raise KeyError("next")
        return self.n


class Echo:
    """A sequence that answers each subscript with the key it was given (the slice object)."""

    def __getitem__(self, key):
        return key

    def __iter__(self):
        return iter("xy")

    def __contains__(self, item):
        return True

    def __format__(self, spec):
        return "echo"


def py_compare(a, b):
    return (a < b, a <= b, a == b, a != b, a > b, a >= b)


def py_arithmetic(a, b):
    return (a + b, a - b, a * b, a / b, a // b, a % b)


def py_sequence_ops(o, item, type_):
    return (item in o, isinstance(o, type_), o[1:3], o[:-1], tuple(o), f"<{o}>", type(o))


def py_collect(iterable, each):
    out = []
    for x in iterable:
        each(x)
        out.append(x)
    return out


def run(fn, args):
    try:
        return fn(*args)
    except Exception as e:
        return (type(e), str(e))


@pytest.mark.parametrize("name, make_args", [
    ("compare", lambda: (1, 2.5)),
    ("compare", lambda: ("b", "a")),
    ("compare", lambda: (float("nan"), float("nan"))),
    ("compare", lambda: (1, "a")),
    ("compare", lambda: (RaisingLt(), 1)),
    ("compare_objects", lambda: (Named(), 1)),
    ("compare_objects", lambda: (1, "a")),
    ("arithmetic", lambda: (7, 2)),
    ("arithmetic", lambda: (-7.5, 2)),
    ("arithmetic", lambda: (1, 0)),
    ("arithmetic", lambda: ("a", "b")),
    ("sequence_ops", lambda: ([1, 2, 3, 4], 3, list)),
    ("sequence_ops", lambda: ("hello", "ell", (int, str))),
    ("sequence_ops", lambda: (range(5), 9, tuple)),
    ("sequence_ops", lambda: (Echo(), 0, Echo)),
    ("sequence_ops", lambda: (5, 1, int)),
    ("sequence_ops", lambda: ([1], 1, 3)),
    ("collect", lambda: ((x for x in "abc"), id)),
    ("collect", lambda: (RaisingIter(), id)),
    ("collect", lambda: (RaisingNext(), id)),
    ("collect", lambda: ({"k": 1, "j": 2}, id)),
    ("collect", lambda: ([1, 2], lambda x: 1 / 0)),
])
def test_operations_match_python(name, make_args):
    python = {"compare": py_compare, "compare_objects": py_compare, "arithmetic": py_arithmetic,
              "sequence_ops": py_sequence_ops, "collect": py_collect}[name]
    assert run(getattr(ft, name), make_args()) == run(python, make_args())


@pytest.mark.parametrize("mutator", [
    lambda items: lambda x: len(items) < 6 and items.append(x * 10),
    lambda items: lambda x: items and items.pop(),
    lambda items: lambda x: items.clear(),
])
def test_list_mutated_during_iteration(mutator):
    native, python = [1, 2, 3], [1, 2, 3]
    assert ft.collect(native, mutator(native)) == py_collect(python, mutator(python))
    assert native == python
