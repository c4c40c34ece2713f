"""Bar loader: the process-wide bar cache and `get_bars`.

Bars live in one of two stores. By default an embedded diskcache store (SQLite
underneath) in the data directory, ``$QUORVANE_DATA_DIR`` or
``~/.local/share/quorvane``; when ``$QUORVANE_CACHE_URL`` names a Redis server
(``redis://host:port/db``), that server, so that several service processes share
one set of bars. Two kinds of entries:

* daily bars under ``KlineCache.daily_key(sym)``: ``{"source": str, "bars": [...]}``
  with one dict per session, "date" as ``YYYY-MM-DD`` text;
* one-minute bars under ``KlineCache.intraday_key(sym)``: the list of bar dicts
  of the newest session fetched (pre-market and after-hours included), "date"
  in epoch seconds, written whole by the batch intraday route; the live bar
  flusher of IB mode merges its minutes into it, each marked "source" "live"
  (`LIVE_SOURCE`).

Either store is safe to use from several threads at once (diskcache keeps one
SQLite connection per thread, redis-py a pool of connections), which is what the
routes' worker threads do, and from several processes.

Every ``str`` is a key. SQLite keeps text as UTF-8, which a ``str`` holding a lone
surrogate (JSON text may carry "\\ud800") has no form in: such a key is stored as
the bytes of its "surrogatepass" encoding behind a prefix of its own, so it is an
ordinary miss until written, and then round-trips like any other. Redis keys are
bytes: every key is stored in that encoding there.

Building a DataFrame from the stored bars costs milliseconds, and so does reading
and filtering a stored session, so `get_bars` keeps the frames it built and
`BarCache.get_intraday` the session bars it filtered in memory (`_ReadMemo`,
``$QUORVANE_BAR_MEMO_MB``, 64 MB by default, 0 to turn it off). Every write of a key
also writes a new random version token of the key, in the same transaction; a kept
result is served only while the key's version is still the one it was built at, so a
write by any process (another worker, ``quorvane seed-demo`` into the store of a
running service) is seen at the next read.

Redis errors become `CacheError`: a server that went away fails the reads and
writes that need it with the reason (after one immediate retry on a fresh
connection, and within `_REDIS_TIMEOUT` seconds when it stops answering), and the
store serves again once the server is back.
"""

from __future__ import annotations

import asyncio
import functools
import math
import os
import pickle
import sqlite3
import sys
import threading
import time
import urllib.parse
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterable, Mapping
from pathlib import Path
from typing import Any, NamedTuple, Protocol

import diskcache
import pandas as pd

from quorvane.environment import setting
from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache, _as_epoch

DATA_DIR_ENV = "QUORVANE_DATA_DIR"
CACHE_URL_ENV = "QUORVANE_CACHE_URL"
MEMO_MB_ENV = "QUORVANE_BAR_MEMO_MB"
DEFAULT_MEMO_MB = 64.0
_UNENCODABLE_KEY = b"quorvane:str-key:"  # prefix of a str key that UTF-8 cannot encode
_VERSION_KEY = "quorvane:version:"  # prefix of a key's version token (no symbol's key starts so)
_PROBE_KEY = "quorvane:probe"
_REDIS_BARS = b"quorvane:bars:"  # prefix of every bar entry in Redis (the database may be shared)
_REDIS_VERSIONS = b"quorvane:version:"
_REDIS_TIMEOUT = 5.0  # seconds to connect, and to wait for one answer
_OHLCV = ("open", "high", "low", "close", "volume")
LIVE_SOURCE = "live"  # the "source" of a one-minute bar that the live bar flusher wrote
# memory of one kept get_intraday bar: its dict, an int and a float (and its slot in the list)
_SESSION_BAR_BYTES = sys.getsizeof({"date": 0, "close": 0.0}) + sys.getsizeof(2**40) + sys.getsizeof(0.0)
_LIST_SLOT_BYTES = 8


class CacheError(RuntimeError):
    """The bar cache cannot be opened or used (bad path, corrupt database, no access)."""


class DailyBars(NamedTuple):
    """A symbol's stored daily bars, oldest first, and where they came from."""

    bars: list[dict]
    source: str


class _Kept(NamedTuple):
    """A result `_ReadMemo` keeps: the key's version it was built at, and its memory."""

    version: bytes | None
    result: Any
    nbytes: int


class _Frame(NamedTuple):
    """The bar frame `get_bars` built for a key and period, and the bars' source."""

    frame: pd.DataFrame
    source: str


class BarStore(Protocol):
    """What `BarCache` needs of a store of its entries (the data directory's or Redis's): every
    write of a key also gives the key a new version."""

    location: str  # the directory or the password-free URL, for messages

    def get(self, key: str, default: Any) -> Any: ...
    def set(self, key: str, value: Any) -> bool: ...
    def delete(self, key: str) -> bool: ...
    def version(self, key: str) -> bytes | None: ...
    def keys(self) -> Iterable[str]: ...
    def close(self) -> None: ...


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
    """The key as diskcache binds it: a str that UTF-8 cannot encode becomes tagged bytes."""
    if isinstance(key, str) and not key.isascii():
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            return _UNENCODABLE_KEY + key.encode("utf-8", "surrogatepass")
    return key


def _key_text(stored) -> str | None:
    """The str key behind a key diskcache holds, None for keys of other types."""
    if isinstance(stored, str):
        return stored
    if isinstance(stored, bytes) and stored.startswith(_UNENCODABLE_KEY):
        return stored[len(_UNENCODABLE_KEY):].decode("utf-8", "surrogatepass")
    return None


def _memo_bytes() -> int:
    mb = setting(MEMO_MB_ENV, float, DEFAULT_MEMO_MB, invalid="{name} must be a number of megabytes, got {text!r}",
                 error=CacheError)
    return max(0, int(mb * 1024 * 1024))


def _new_version() -> bytes:
    # random rather than counted: a store emptied and refilled (a Redis server restarted
    # without its data) never hands out a version that a kept frame still carries
    return os.urandom(8)


class _ReadMemo:
    """What reads of the store built, by key and variant, least recently used first: `get_bars`'
    frames (variant: the period) and `BarCache.get_intraday`'s session bars (variant: the
    session day).

    Bounded by the kept results' memory (`max_bytes`; 0 keeps nothing). A result is kept with
    the key's version as `version(key)` read it before the build read the store, and served
    only while the store still has that version, so a write by any process makes the next read
    build afresh; a build that overlapped a write carries the older version and is rebuilt
    at the next read. `invalidate` runs after each write of a key in this process and frees
    that key's results at once. `lookups` counts the results served ("hit") and built ("miss").
    """

    def __init__(self, max_bytes: int, version: Callable[[str], bytes | None]) -> None:
        self.max_bytes = max_bytes
        self._version = version
        self._lock = threading.Lock()
        self._entries: OrderedDict[str, dict[Hashable, _Kept]] = OrderedDict()  # key -> {variant: kept}
        self._bytes = 0
        self.lookups = {"hit": 0, "miss": 0}

    def get[R](self, key: str, variant: Hashable, build: Callable[[], R | None], size: Callable[[R], int]) -> R | None:
        """`build()`'s result, from memory when the kept one is current; `size(result)` is its
        bytes. A None result is not kept."""
        if self.max_bytes <= 0:
            return build()
        version = self._version(key)
        with self._lock:
            kept = self._entries.get(key, {}).get(variant)
            if kept is not None and kept.version == version:
                self._entries.move_to_end(key)
                self.lookups["hit"] += 1
                return kept.result
            self.lookups["miss"] += 1
        found = build()
        if found is None:
            return None
        nbytes = size(found)
        with self._lock:
            if nbytes > self.max_bytes:
                return found
            variants = self._entries.setdefault(key, {})
            old = variants.pop(variant, None)
            self._bytes += nbytes - (old.nbytes if old else 0)
            variants[variant] = _Kept(version, found, nbytes)
            self._entries.move_to_end(key)
            while self._bytes > self.max_bytes:
                _, evicted = self._entries.popitem(last=False)
                self._bytes -= sum(kept.nbytes for kept in evicted.values())
        return found

    def invalidate(self, key: str) -> None:
        with self._lock:
            dropped = self._entries.pop(key, None)
            if dropped:
                self._bytes -= sum(kept.nbytes for kept in dropped.values())


class _DiskStore:
    """The diskcache store of a data directory."""

    def __init__(self, directory: Path) -> None:
        self.location = str(directory)
        try:
            directory.mkdir(parents=True, exist_ok=True)
            # A store, not a cache that may forget: nothing is ever evicted.
            self._store = diskcache.Cache(str(directory), eviction_policy="none")
        except (OSError, sqlite3.Error) as e:
            raise CacheError(f"cannot open the bar cache in {directory}: {e}") from e
        try:  # an unwritable or damaged database shows itself here, not at the first request
            self._store.set(_PROBE_KEY, time.time())
            self._store.get(_PROBE_KEY)
            for _ in self._store.iterkeys():
                pass
        except (OSError, sqlite3.Error) as e:
            self._store.close()
            raise CacheError(f"the bar cache in {directory} is unusable: {e}") from e

    @staticmethod
    def _version_key(stored):
        return (_VERSION_KEY.encode() if isinstance(stored, bytes) else _VERSION_KEY) + stored

    def get(self, key: str, default: Any) -> Any:
        return self._store.get(_store_key(key), default)

    def set(self, key: str, value: Any) -> bool:
        stored = _store_key(key)
        with self._store.transact():
            done = self._store.set(stored, value)
            self._store.set(self._version_key(stored), _new_version())
        return done

    def delete(self, key: str) -> bool:
        stored = _store_key(key)
        with self._store.transact():
            done = self._store.delete(stored)
            self._store.set(self._version_key(stored), _new_version())
        return done

    def version(self, key: str) -> bytes | None:
        return self._store.get(self._version_key(_store_key(key)))

    def keys(self) -> Iterable[str]:
        return (key for key in map(_key_text, self._store.iterkeys()) if key is not None)

    def close(self) -> None:
        self._store.close()


def _redacted(url: str) -> str:
    """`url` with its password, if it has one, shown as ***."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{parts.username or ''}:***@{host}"))


def _redis_name(key: str) -> bytes:
    if not isinstance(key, str):
        raise TypeError(f"bar cache keys are str, got {type(key).__name__}")
    return key.encode("utf-8", "surrogatepass")


class _RedisStore:
    """The bars of a Redis database, which every process that names it shares.

    Values are pickled, as diskcache pickles them: the server is to be trusted like the
    data directory. Each entry is ``quorvane:bars:<key>``, its version ``quorvane:version:<key>``,
    both written in one MULTI/EXEC transaction.
    """

    def __init__(self, url: str) -> None:
        import redis
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        self.location = _redacted(url)
        self._failures = redis.RedisError
        parts = urllib.parse.urlsplit(url)
        database = parts.path.strip("/")
        if parts.scheme not in ("redis", "rediss", "unix") or (
                parts.scheme != "unix" and database and not database.isdigit()):
            raise CacheError(f"{CACHE_URL_ENV} must name a Redis server as redis://host:port/db, "
                             f"got {self.location!r}")
        try:
            self._client = redis.Redis.from_url(
                url, socket_timeout=_REDIS_TIMEOUT, socket_connect_timeout=_REDIS_TIMEOUT,
                # a pooled connection the server dropped (it restarted) is replaced once, at once;
                # a server that does not answer fails after the timeout, without a second wait
                retry=Retry(NoBackoff(), 1, supported_errors=(redis.ConnectionError,)))
        except ValueError as e:
            raise CacheError(f"{CACHE_URL_ENV} is not a usable Redis URL ({self.location}): {e}") from None
        try:
            self._client.set(_PROBE_KEY, time.time())
            self._client.get(_PROBE_KEY)
        except redis.RedisError as e:
            self._client.close()
            raise CacheError(f"cannot use the Redis bar cache at {self.location}: {e}") from e

    def _call(self, fn, *args):
        try:
            return fn(*args)
        except self._failures as e:
            raise CacheError(f"the Redis bar cache at {self.location} is unavailable: {e}") from e

    def _write(self, entry_op, name: bytes, *args) -> list:
        pipe = self._client.pipeline(transaction=True)
        entry_op(pipe, _REDIS_BARS + name, *args)
        pipe.set(_REDIS_VERSIONS + name, _new_version())
        return self._call(pipe.execute)

    def get(self, key: str, default: Any) -> Any:
        raw = self._call(self._client.get, _REDIS_BARS + _redis_name(key))
        return default if raw is None else pickle.loads(raw)

    def set(self, key: str, value: Any) -> bool:
        payload = pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
        return bool(self._write(type(self._client).set, _redis_name(key), payload)[0])

    def delete(self, key: str) -> bool:
        return bool(self._write(type(self._client).delete, _redis_name(key))[0])

    def version(self, key: str) -> bytes | None:
        return self._call(self._client.get, _REDIS_VERSIONS + _redis_name(key))

    def keys(self) -> Iterable[str]:
        names = self._call(lambda: list(self._client.scan_iter(match=_REDIS_BARS + b"*", count=1000)))
        return (name[len(_REDIS_BARS):].decode("utf-8", "surrogatepass") for name in names)

    def close(self) -> None:
        self._client.close()


_MISSING = object()


class BarCache:
    """The bar store of one data directory, or of the Redis server that `url` names."""

    def __init__(self, directory: str | os.PathLike | None = None, url: str | None = None) -> None:
        memo_bytes = _memo_bytes()
        if url:
            self.directory = None
            self._store: BarStore = _RedisStore(url)
        else:
            self.directory = Path(default_data_dir() if directory is None else directory).expanduser()
            self._store = _DiskStore(self.directory)
        self.location = self._store.location  # the directory or the (password-free) URL, for messages
        self.memo = _ReadMemo(memo_bytes, self._store.version)
        self._reads_lock = threading.Lock()
        self._reads = {"hit": 0, "miss": 0}

    # -- generic entries ---------------------------------------------------------
    def get(self, key: str, default: Any = None) -> Any:
        value = self._store.get(key, _MISSING)
        found = value is not _MISSING
        with self._reads_lock:
            self._reads["hit" if found else "miss"] += 1
        return value if found else default

    def set(self, key: str, value: Any) -> bool:
        """Store `value` under `key`, replacing what was there (a blocking write)."""
        try:
            return self._store.set(key, value)
        finally:
            self.memo.invalidate(key)

    def delete(self, key: str) -> bool:
        try:
            return self._store.delete(key)
        finally:
            self.memo.invalidate(key)

    def close(self) -> None:
        self._store.close()

    def stats(self) -> dict[str, dict[str, int]]:
        """Outcomes so far of the store's reads ("reads") and of `get_bars`' frame memo ("memo"),
        each {"hit": n, "miss": n}."""
        with self._reads_lock:
            reads = dict(self._reads)
        return {"reads": reads, "memo": dict(self.memo.lookups)}

    def symbols(self) -> list[str]:
        """Symbols that have daily or intraday bars, sorted."""
        out = set()
        for key in self._store.keys():
            for prefix in (KlineCache.DAILY_PREFIX, KlineCache.INTRADAY_PREFIX):
                if key.startswith(prefix):
                    out.add(key[len(prefix):])
        return sorted(out)

    def is_empty(self) -> bool:
        """True when no bars of any symbol are stored."""
        return not self.symbols()

    # -- daily bars ----------------------------------------------------------------
    def put_daily(self, sym: str, bars: Iterable[Mapping], source: str) -> None:
        """Replace a symbol's daily bars; each bar has "date" (a date or ISO text) and OHLCV."""
        rows = []
        for b in bars:
            row: dict[str, Any] = {"date": str(pd.Timestamp(b["date"]).date())}
            row.update((k, b.get(k)) for k in _OHLCV)
            rows.append(row)
        self.set(KlineCache.daily_key(sym), {"source": source, "bars": rows})

    def daily(self, sym: str) -> DailyBars | None:
        """The daily bars of a symbol and their source, or None."""
        entry = self.get(KlineCache.daily_key(sym))
        if not isinstance(entry, Mapping) or not entry.get("bars"):
            return None
        return DailyBars(list(entry["bars"]), str(entry.get("source") or "cache"))

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
        nothing usable is stored for that session, and the caller then fetches
        the day afresh: nothing at all, an older session, or an entry whose
        earliest bar of the session (04:00 to the end of after-hours) the live
        bar flusher wrote ("source" `LIVE_SOURCE`). Such an entry holds only the
        minutes since the service started, while a day fetched whole (IB's
        extended hours, Yahoo's regular hours) or seeded starts with the first
        minute its source traded, whichever minute that is; live minutes merged
        into a fetched day later leave it usable. Before the open this is an
        empty list. The list is kept in the memo while the stored entry stays as it is, and
        shared by the callers: they must not change it.
        """
        day = KlineCache.intraday_session_day(now)
        return self.memo.get(KlineCache.intraday_key(sym), ("session", day),
                             lambda: self._session_bars(sym, day), _session_bytes)

    def _session_bars(self, sym: str, day) -> list[dict] | None:
        """`get_intraday`'s bars of the session of `day`, read and filtered from the store."""
        entries = self.intraday(sym)
        if entries is None:
            return None
        bounds = KlineCache.session(day)
        if bounds is None:
            return None
        pre, opens, closes, post = bounds
        out: list[dict] = []
        first: float | None = None  # the time of the session's earliest bar
        first_source = None
        for bar in entries:
            if not isinstance(bar, Mapping):
                continue
            t = _as_epoch(bar.get("date"))
            if t is None or not pre <= t < post:
                continue
            if first is None or t < first:
                first, first_source = t, bar.get("source")
            close = _finite(bar.get("close"))
            if close is not None and opens <= t < closes:
                out.append({"date": int(t), "close": close})
        return None if first is None or first_source == LIVE_SOURCE else out


def _session_bytes(bars: list[dict]) -> int:
    return (_LIST_SLOT_BYTES + _SESSION_BAR_BYTES) * len(bars)


# -- the process-wide cache ------------------------------------------------------------
_cache: BarCache | None = None
_cache_lock = threading.Lock()


def cache_url() -> str | None:
    """``$QUORVANE_CACHE_URL``, None when unset or empty."""
    return os.environ.get(CACHE_URL_ENV) or None


def open_cache(directory: str | os.PathLike | None = None, url: str | None = None) -> BarCache:
    """Open the cache and make it the process-wide one: the Redis server of `url` (default:
    `cache_url()`) when there is one, else the directory `directory` (default: `default_data_dir`).

    Raises `CacheError` with the reason when the directory cannot serve as a cache, the URL is
    not a Redis URL or its server cannot be used.
    """
    global _cache
    new = BarCache(directory, url=cache_url() if url is None else url)
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
            _cache = BarCache(url=cache_url())
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


def _daily_frame(cache: BarCache, sym: str, rule: str | None) -> _Frame | None:
    found = cache.daily(sym)
    if found is None:
        return None
    df = _frame(found.bars)
    df["date"] = pd.to_datetime(df["date"], errors="coerce")
    df = df.dropna(subset=["date", "close"]).drop_duplicates("date", keep="last").sort_values("date")
    if rule is not None:
        df = _aggregate(df, df["date"].dt.to_period(rule))
    return _Frame(df, found.source)


def _minute_frame(cache: BarCache, sym: str, minutes: int) -> _Frame | None:
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
    return _Frame(df, "cache")


def _frame_bytes(found: _Frame) -> int:
    return int(found.frame.memory_usage(index=True, deep=True).sum())


def _load_bars(symbol: str, period: str, count: int) -> pd.DataFrame | None:
    sym = str(symbol).strip().upper()
    key = str(period).strip().lower()
    count = int(count)
    if count <= 0:
        raise ValueError(f"bar count must be positive, got {count}")
    variant: Hashable  # the period's rule or minutes, by which the memo tells the frames of a key apart
    if key in _DAY_PERIODS:
        store_key, variant = KlineCache.daily_key(sym), _DAY_PERIODS[key]
        build = functools.partial(_daily_frame, rule=_DAY_PERIODS[key])
    elif key in _MINUTE_PERIODS:
        store_key, variant = KlineCache.intraday_key(sym), _MINUTE_PERIODS[key]
        build = functools.partial(_minute_frame, minutes=_MINUTE_PERIODS[key])
    else:
        known = ", ".join([*_DAY_PERIODS, *_MINUTE_PERIODS])
        raise ValueError(f"unknown bar period {period!r} (known: {known})")
    cache = _get_cache()

    def frame() -> _Frame | None:
        found = build(cache, sym)
        if found is None or found.frame.empty:
            return None
        return _Frame(found.frame.reset_index(drop=True)[["date", *_OHLCV]], found.source)

    found = cache.memo.get(store_key, variant, frame, _frame_bytes)
    if found is None:
        return None
    # pandas copies on write, so what the caller does to its frame never reaches the memo's
    df = found.frame.iloc[-count:].reset_index(drop=True)
    df.attrs["source"] = found.source
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
