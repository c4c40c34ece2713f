"""LagSentry.snapshot, which the health route calls on every request."""
from baseline import lagsentry as baseline
from quorvane.server import lagsentry


def sentry(cls):
    instance = cls(interval=1.0, warn_ms=250.0)
    instance.lag_ms, instance.max_lag_ms = 12.345, 678.91
    return instance


BENCHMARKS = [
    ("LagSentry.snapshot", sentry(lagsentry.LagSentry).snapshot, sentry(baseline.LagSentry).snapshot),
]
