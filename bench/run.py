"""Runs every bench/bench_*.py and prints, per benchmark, the native and the plain-Python time per call.

A benchmark file defines BENCHMARKS, a list of entries
    (name, native_callable, python_callable)                 called with no arguments, or
    (name, native_callable, python_callable, args[, kwargs]) called as f(*args, **kwargs),
where the arguments are bound as names in the timed statement itself, so argument passing
costs what it costs in ordinary code (no star-call in the loop).

Each side is calibrated to about TARGET seconds per repeat; native and python repeats
alternate, so drift of the machine hits both; the median of the repeats is reported.

Usage: bench/run.py [substring ...]   (only benchmarks whose name contains one of them)
A benchmark file may set REPEATS, its own number of repeats (for benchmarks whose one call is long),
SIDES, the names of its two sides when they are not native and plain Python (the line then also
gives the second side's cost over the first in percent), and STATISTIC, what it reports of the
repeats instead of their median (`min` for a difference of a few per cent on a busy machine, where
interference only ever adds time).

Environment: QUORVANE_TESTMODS (directory of the test-only modules), BENCH_REPEATS, BENCH_TARGET_MS.
"""
import importlib.util
import os
import statistics
import sys
import timeit
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPEATS = int(os.environ.get("BENCH_REPEATS", "7"))
TARGET = float(os.environ.get("BENCH_TARGET_MS", "20")) / 1000


def timer(fn, args=(), kwargs=None):
    kwargs = kwargs or {}
    names = {f"a{i}": value for i, value in enumerate(args)}
    for key, value in kwargs.items():
        names[f"k_{key}"] = value
    call = ", ".join([*(f"a{i}" for i in range(len(args))), *(f"{key}=k_{key}" for key in kwargs)])
    fn(*args, **kwargs)                                  # fail here, not inside timeit
    return timeit.Timer(f"fn({call})", globals={"fn": fn, **names})


def loops_for(t):
    number = 1
    while True:
        elapsed = t.timeit(number)
        if elapsed >= TARGET / 5:
            return max(1, int(number * TARGET / elapsed))
        number *= 10 if elapsed < TARGET / 100 else 2


def measure(native, python, repeats=REPEATS, statistic=statistics.median):
    """Seconds per call of each side: the median of the repeats, or `statistic` of them."""
    n_loops, p_loops = loops_for(native), loops_for(python)
    n_times, p_times = [], []
    for _ in range(repeats):
        n_times.append(native.timeit(n_loops) / n_loops)
        p_times.append(python.timeit(p_loops) / p_loops)
    return statistic(n_times), statistic(p_times)


def fmt(seconds):
    us = seconds * 1e6
    return f"{us:.3f}" if us < 10 else f"{us:.1f}"


def load(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return (module.BENCHMARKS, getattr(module, "REPEATS", REPEATS), getattr(module, "SIDES", None),
            getattr(module, "STATISTIC", statistics.median))


def main(filters):
    sys.path.insert(0, str(HERE))                        # the plain-Python baselines: `baseline.*`
    testmods = os.environ.get("QUORVANE_TESTMODS")
    if testmods:
        sys.path.insert(0, os.path.abspath(testmods))    # `_frametest`
    failed = False
    for path in sorted(HERE.glob("bench_*.py")):
        try:
            entries, repeats, sides, statistic = load(path)
        except Exception:
            print(f"{path.name}: could not load\n{traceback.format_exc()}", file=sys.stderr)
            failed = True
            continue
        for name, native, python, *call in entries:
            if filters and not any(f in name for f in filters):
                continue
            try:
                n, p = measure(timer(native, *call), timer(python, *call), repeats, statistic)
            except Exception:
                print(f"{name}: failed\n{traceback.format_exc()}", file=sys.stderr)
                failed = True
                continue
            if sides is None:
                print(f"{name}: native {fmt(n)} µs, python {fmt(p)} µs, ratio {p / n:.2f}", flush=True)
            else:
                print(f"{name}: {sides[0]} {fmt(n)} µs, {sides[1]} {fmt(p)} µs, ratio {p / n:.3f} "
                      f"({(p / n - 1) * 100:+.1f}%)", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
