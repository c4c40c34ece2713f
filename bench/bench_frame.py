"""Call and coroutine overheads of the frame: `_frametest` against the same functions in Python."""
import _frametest


def add3(a, b, c):
    return a + b + c


async def noop(value):
    return value


def driver(coroutine_function):
    """Create a coroutine and run it to completion, the way a task steps one that never suspends."""
    def drive(value):
        coroutine = coroutine_function(value)
        try:
            coroutine.send(None)
        except StopIteration as done:
            return done.value
    return drive


A, B, C = 1, 2, 3

BENCHMARKS = [
    ("call add3, 3 positional", _frametest.add3, add3, (A, B, C)),
    ("call add3, 3 keyword", _frametest.add3, add3, (), {"a": A, "b": B, "c": C}),
    ("coroutine create+run, no suspension", driver(_frametest.noop), driver(noop), (A,)),
]
