"""Bar loader: the process-wide on-disk bar cache and `get_bars`.

Bars live in a diskcache store (SQLite underneath) in the data directory,
``$QUORVANE_DATA_DIR`` or ``~/.local/share/quorvane``. Two kinds of entries:

* daily bars under ``KlineCache.daily_key(sym)``: ``{"source": str, "bars": [...]}``
  with one dict per session, "date" as ``YYYY-MM-DD`` text;
* one-minute bars under ``KlineCache.intraday_key(sym)``: the list of bar dicts
  of the newest session fetched (pre-market and after-hours included), "date"
  in epoch seconds, written whole by the batch intraday route.

The store is safe to use from several threads at once (diskcache keeps one
SQLite connection per thread), which is what the routes' worker threads do.

Every ``str`` is a key. SQLite keeps text as UTF-8, which a ``str`` holding a lone
surrogate (JSON text may carry "\\ud800") has no form in: such a key is stored as
the bytes of its "surrogatepass" encoding behind a prefix of its own, so it is an
ordinary miss until written, and then round-trips like any other.

Building a DataFrame from the stored bars costs milliseconds, so `get_bars` keeps
the frames it built in memory (`_FrameMemo`, ``$QUORVANE_BAR_MEMO_MB``, 64 MB by
default, 0 to turn it off): a write through the cache drops the written key's
frames, and a frame is rebuilt after `_MEMO_MAX_AGE` seconds anyway, which bounds
how long a write from another process (``quorvane seed-demo`` into the directory of
a running service) goes unseen.
"""

from __future__ import annotations

import asyncio
import math
import os
import sqlite3
import threading
import time
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import diskcache
import pandas as pd

from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache, _as_epoch

DATA_DIR_ENV = "QUORVANE_DATA_DIR"
MEMO_MB_ENV = "QUORVANE_BAR_MEMO_MB"
DEFAULT_MEMO_MB = 64.0
_MEMO_MAX_AGE = 5.0  # seconds
_UNENCODABLE_KEY = b"quorvane:str-key:"  # prefix of a str key that UTF-8 cannot encode
_PROBE_KEY = "quorvane:probe"
_OHLCV = ("open", "high", "low", "close", "volume")


class CacheError(RuntimeError):
    """The bar cache cannot be opened or used (bad path, corrupt database, no access)."""


def default_data_dir() -> Path:
    """``$QUORVANE_DATA_DIR`` when set, else ``$XDG_DATA_HOME/quorvane`` (``~/.local/share/quorvane``)."""
    env = os.environ.get(DATA_DIR_ENV)
    if env:
        return Path(env).expanduser()
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base).expanduser() / "quorvane"


def _finite(value) -> float | None:
    try:
        out = float(value)
    except (TypeError, ValueError):  # None, pandas' NA, text
        return None
    return out if math.isfinite(out) else None


def _store_key(key):
    """The key as the store binds it: a str that UTF-8 cannot encode becomes tagged bytes."""
    if isinstance(key, str) and not key.isascii():
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            return _UNENCODABLE_KEY + key.encode("utf-8", "surrogatepass")
    return key


def _key_text(stored) -> str | None:
    """The str key behind a stored key, None for keys of other types."""
    if isinstance(stored, str):
        return stored
    if isinstance(stored, bytes) and stored.startswith(_UNENCODABLE_KEY):
        return stored[len(_UNENCODABLE_KEY):].decode("utf-8", "surrogatepass")
    return None


def _memo_bytes() -> int:
    text = os.environ.get(MEMO_MB_ENV)
    try:
        mb = float(text) if text else DEFAULT_MEMO_MB
    except ValueError:
        raise CacheError(f"{MEMO_MB_ENV} must be a number of megabytes, got {text!r}") from None
    return max(0, int(mb * 1024 * 1024))


class _FrameMemo:
    """Bar frames built from the store, by store key and period, least recently used first.

    Bounded by the frames' memory (`max_bytes`; 0 keeps nothing). `invalidate` runs after
    every write of a key and drops that key's frames; a build that overlapped a write is
    not kept, since it may have read the bars from before it.
    """

    def __init__(self, max_bytes: int) -> None:
        self.max_bytes = max_bytes
        self._lock = threading.Lock()
        # store key -> {period variant: (expiry, frame, source, bytes)}
        self._entries: OrderedDict[Any, dict] = OrderedDict()
        self._bytes = 0
        self._writes = 0

    def get(self, store_key, variant, build):
        """`build()`'s (frame, source) or None, from memory when a fresh frame is kept."""
        if self.max_bytes <= 0:
            return build()
        now = time.monotonic()
        with self._lock:
            kept = self._entries.get(store_key, {}).get(variant)
            if kept is not None and kept[0] > now:
                self._entries.move_to_end(store_key)
                return kept[1], kept[2]
            writes = self._writes
        found = build()
        if found is None:
            return None
        size = int(found[0].memory_usage(index=True, deep=True).sum())
        with self._lock:
            if self._writes != writes or size > self.max_bytes:
                return found
            variants = self._entries.setdefault(store_key, {})
            old = variants.pop(variant, None)
            self._bytes += size - (old[3] if old else 0)
            variants[variant] = (now + _MEMO_MAX_AGE, found[0], found[1], size)
            self._entries.move_to_end(store_key)
            while self._bytes > self.max_bytes:
                _, evicted = self._entries.popitem(last=False)
                self._bytes -= sum(entry[3] for entry in evicted.values())
        return found

    def invalidate(self, store_key) -> None:
        with self._lock:
            self._writes += 1
            dropped = self._entries.pop(store_key, None)
            if dropped:
                self._bytes -= sum(entry[3] for entry in dropped.values())


class BarCache:
    """The bar store of one data directory."""

    def __init__(self, directory: str | os.PathLike) -> None:
        self.directory = Path(directory).expanduser()
        self.memo = _FrameMemo(_memo_bytes())
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
            # A store, not a cache that may forget: nothing is ever evicted.
            self._store = diskcache.Cache(str(self.directory), eviction_policy="none")
        except (OSError, sqlite3.Error) as e:
            raise CacheError(f"cannot open the bar cache in {self.directory}: {e}") from e
        try:  # an unwritable or damaged database shows itself here, not at the first request
            self._store.set(_PROBE_KEY, time.time())
            self._store.get(_PROBE_KEY)
            for _ in self._store.iterkeys():
                pass
        except (OSError, sqlite3.Error) as e:
            self._store.close()
            raise CacheError(f"the bar cache in {self.directory} is unusable: {e}") from e

    # -- generic entries ---------------------------------------------------------
    def get(self, key: str, default: Any = None) -> Any:
        return self._store.get(_store_key(key), default)

    def set(self, key: str, value: Any) -> bool:
        """Store `value` under `key`, replacing what was there (blocking disk write)."""
        stored = _store_key(key)
        try:
            return self._store.set(stored, value)
        finally:
            self.memo.invalidate(stored)

    def delete(self, key: str) -> bool:
        stored = _store_key(key)
        try:
            return self._store.delete(stored)
        finally:
            self.memo.invalidate(stored)

    def close(self) -> None:
        self._store.close()

    def symbols(self) -> list[str]:
        """Symbols that have daily or intraday bars, sorted."""
        out = set()
        for stored in self._store.iterkeys():
            key = _key_text(stored)
            if key is None:
                continue
            for prefix in (KlineCache.DAILY_PREFIX, KlineCache.INTRADAY_PREFIX):
                if key.startswith(prefix):
                    out.add(key[len(prefix):])
        return sorted(out)

    def is_empty(self) -> bool:
        """True when no bars of any symbol are stored."""
        return not self.symbols()

    # -- daily bars ----------------------------------------------------------------
    def put_daily(self, sym: str, bars: list[Mapping], source: str) -> None:
        """Replace a symbol's daily bars; each bar has "date" (a date or ISO text) and OHLCV."""
        rows = []
        for b in bars:
            row = {"date": str(pd.Timestamp(b["date"]).date())}
            row.update((k, b.get(k)) for k in _OHLCV)
            rows.append(row)
        self.set(KlineCache.daily_key(sym), {"source": source, "bars": rows})

    def daily(self, sym: str) -> tuple[list[dict], str] | None:
        """(daily bars, source) of a symbol, or None."""
        entry = self.get(KlineCache.daily_key(sym))
        if not isinstance(entry, Mapping) or not entry.get("bars"):
            return None
        return list(entry["bars"]), str(entry.get("source") or "cache")

    # -- one-minute bars -------------------------------------------------------------
    def intraday(self, sym: str) -> list[Mapping] | None:
        """The stored one-minute bar dicts of a symbol as written, or None."""
        entry = self.get(KlineCache.intraday_key(sym))
        if not isinstance(entry, Iterable) or isinstance(entry, (str, bytes, Mapping)):
            return None
        return list(entry) or None

    def get_intraday(self, sym: str, now: float | None = None) -> list[dict] | None:
        """Today's regular-hours one-minute bars of `sym` as {"date": epoch int, "close": float}.

        "Today" is the session of `KlineCache.intraday_session_day`. None when
        nothing is stored for that session (nothing at all, or an older session:
        the caller then fetches afresh). Before the open this is an empty list.
        """
        entries = self.intraday(sym)
        if entries is None:
            return None
        day = KlineCache.intraday_session_day(now)
        bounds = KlineCache.session(day)
        if bounds is None:
            return None
        pre, opens, closes, post = bounds
        out: list[dict] = []
        seen_session = False
        for bar in entries:
            if not isinstance(bar, Mapping):
                continue
            t = _as_epoch(bar.get("date"))
            if t is None or not pre <= t < post:
                continue
            seen_session = True
            close = _finite(bar.get("close"))
            if close is not None and opens <= t < closes:
                out.append({"date": int(t), "close": close})
        return out if seen_session else None


# -- the process-wide cache ------------------------------------------------------------
_cache: BarCache | None = None
_cache_lock = threading.Lock()


def open_cache(directory: str | os.PathLike | None = None) -> BarCache:
    """Open the cache in `directory` (default: `default_data_dir`) and make it the process-wide one.

    Raises `CacheError` with the reason when the directory cannot serve as a cache.
    """
    global _cache
    new = BarCache(default_data_dir() if directory is None else directory)
    with _cache_lock:
        old, _cache = _cache, new
    if old is not None and old is not new:
        old.close()
    return new


def close_cache() -> None:
    """Close the process-wide cache; the next `_get_cache` opens it again."""
    global _cache
    with _cache_lock:
        old, _cache = _cache, None
    if old is not None:
        old.close()


def _get_cache() -> BarCache:
    """The process-wide bar cache, opened on first use."""
    global _cache
    cache = _cache
    if cache is not None:
        return cache
    with _cache_lock:
        if _cache is None:
            _cache = BarCache(default_data_dir())
        return _cache


# -- get_bars --------------------------------------------------------------------------------
_DAY_PERIODS = {"day": None, "1d": None, "daily": None,
                "week": "W", "1wk": "W", "weekly": "W",
                "month": "M", "1mo": "M", "monthly": "M"}
_MINUTE_PERIODS = {"1min": 1, "1m": 1, "minute": 1, "5min": 5, "5m": 5, "15min": 15, "15m": 15,
                   "30min": 30, "30m": 30, "60min": 60, "1h": 60, "hour": 60}
_RTH_OPEN_MINUTE = 9 * 60 + 30  # minute bars are grouped from the 09:30 open


def _frame(rows: list[dict]) -> pd.DataFrame:
    df = pd.DataFrame(rows, columns=["date", *_OHLCV])
    for col in _OHLCV:
        df[col] = pd.to_numeric(df[col], errors="coerce").astype("float64")
    return df


def _aggregate(df: pd.DataFrame, keys) -> pd.DataFrame:
    out = df.groupby(keys, sort=True).agg(
        date=("date", "first"), open=("open", "first"), high=("high", "max"),
        low=("low", "min"), close=("close", "last"), volume=("volume", "sum"))
    return out.reset_index(drop=True)


def _daily_frame(cache: BarCache, sym: str, rule: str | None) -> tuple[pd.DataFrame, str] | None:
    found = cache.daily(sym)
    if found is None:
        return None
    rows, source = found
    df = _frame(rows)
    df["date"] = pd.to_datetime(df["date"], errors="coerce")
    df = df.dropna(subset=["date", "close"]).drop_duplicates("date", keep="last").sort_values("date")
    if rule is not None:
        df = _aggregate(df, df["date"].dt.to_period(rule))
    return df, source


def _minute_frame(cache: BarCache, sym: str, minutes: int) -> tuple[pd.DataFrame, str] | None:
    entries = cache.intraday(sym)
    if entries is None:
        return None
    rows = []
    for bar in entries:
        if isinstance(bar, Mapping):
            t = _as_epoch(bar.get("date"))
            if t is not None:
                rows.append({"date": t, **{k: bar.get(k) for k in _OHLCV}})
    df = _frame(rows).dropna(subset=["close"])
    df["date"] = pd.to_datetime(df["date"].astype("float64"), unit="s", utc=True).dt.tz_convert(_EXCHANGE_TZ)
    df = df.drop_duplicates("date", keep="last").sort_values("date")
    if minutes > 1:
        local = df["date"].dt
        bucket = (local.hour * 60 + local.minute - _RTH_OPEN_MINUTE) // minutes
        df = _aggregate(df, [local.date, bucket])
    return df, "cache"


def _load_bars(symbol: str, period: str, count: int) -> pd.DataFrame | None:
    sym = str(symbol).strip().upper()
    key = str(period).strip().lower()
    count = int(count)
    if count <= 0:
        raise ValueError(f"bar count must be positive, got {count}")
    if key in _DAY_PERIODS:
        store_key, variant, build = KlineCache.daily_key(sym), _DAY_PERIODS[key], _daily_frame
    elif key in _MINUTE_PERIODS:
        store_key, variant, build = KlineCache.intraday_key(sym), _MINUTE_PERIODS[key], _minute_frame
    else:
        known = ", ".join([*_DAY_PERIODS, *_MINUTE_PERIODS])
        raise ValueError(f"unknown bar period {period!r} (known: {known})")
    cache = _get_cache()

    def frame():
        found = build(cache, sym, variant)
        if found is None or found[0].empty:
            return None
        return found[0].reset_index(drop=True)[["date", *_OHLCV]], found[1]

    found = cache.memo.get(_store_key(store_key), variant, frame)
    if found is None:
        return None
    df, source = found
    # pandas copies on write, so what the caller does to its frame never reaches the memo's
    df = df.iloc[-count:].reset_index(drop=True)
    df.attrs["source"] = source
    return df


async def get_bars(symbol: str, period: str = "day", count: int = 250, adjust: str = "none") -> pd.DataFrame | None:
    """The newest `count` bars of `symbol`, oldest first, from the bar cache, or None.

    Columns "date", "open", "high", "low", "close", "volume"; ``attrs["source"]``
    tells where the bars came from. Periods: "day", "week", "month" (from the
    daily bars; "date" is the session date, naive) and "1min", "5min", "15min",
    "30min", "60min" (from the stored one-minute bars of the newest session;
    "date" in New York time). The stored bars are unadjusted; `adjust` is
    accepted for callers that ask for a kind of adjustment and changes nothing.
    The disk read and the frame building run on a worker thread.
    """
    del adjust
    return await asyncio.to_thread(_load_bars, symbol, period, count)
