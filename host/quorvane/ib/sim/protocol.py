"""The TWS API socket protocol as the gateway side speaks it: framing, requests, answers.

Everything on the wire after the handshake is a frame: a 4-byte big-endian length, then that many
bytes of text fields, each ended by a NUL. The client opens with ``API\\0`` and one frame holding
its version range (``v157..178``, without a trailing NUL); the gateway answers with a frame of two
fields, its server version and the connection time. From then on every frame is one message whose
first field is its message id.

Field orders here are the ones ib_async 2.x writes (client.py) and reads (decoder.py) at
`SERVER_VERSION`: requests are decoded into plain dicts by `decode_request`, answers are built as
complete frames by the `msg_*` functions.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator
from datetime import datetime
from zoneinfo import ZoneInfo

SERVER_VERSION = 178          # ib_async's MaxClientVersion: errors carry the JSON field (>= 166)
HANDSHAKE_PREFIX = b"API\0"
MAX_FRAME = 1 << 20           # no request comes near this; a longer prefix means a broken stream
NEW_YORK = ZoneInfo("America/New_York")


class ProtocolError(ValueError):
    """The byte stream cannot be framed any further: the session must end."""


class BadMessage(ValueError):
    """One framed message that cannot be decoded: it is dropped, the session goes on."""


# --- framing -----------------------------------------------------------------------------------

def _text(value) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def frame(*fields) -> bytes:
    """One message: the length prefix, then every field as text ended by a NUL."""
    payload = "".join(_text(f) + "\0" for f in fields).encode()
    return struct.pack(">I", len(payload)) + payload


class FrameReader:
    """Cuts a byte stream into frames; `feed` returns the complete ones, keeps the rest."""

    def __init__(self) -> None:
        self._buffer = b""

    @property
    def pending(self) -> int:
        """Bytes received that do not make a complete frame yet."""
        return len(self._buffer)

    def feed(self, data: bytes) -> list[bytes]:
        self._buffer += data
        out = []
        while len(self._buffer) >= 4:
            (size,) = struct.unpack(">I", self._buffer[:4])
            if size > MAX_FRAME:
                raise ProtocolError(f"frame length {size} exceeds {MAX_FRAME}")
            if len(self._buffer) < 4 + size:
                break
            out.append(self._buffer[4:4 + size])
            self._buffer = self._buffer[4 + size:]
        return out


def fields_of(payload: bytes) -> list[str]:
    """The text fields of one frame (the empty piece after the last NUL dropped)."""
    fields = payload.decode(errors="backslashreplace").split("\0")
    if fields and fields[-1] == "":
        fields.pop()
    return fields


def parse_version_range(payload: bytes) -> tuple[int, int]:
    """The client's ``vMIN..MAX[ options]`` handshake frame."""
    text = payload.decode(errors="backslashreplace").rstrip("\0").split(" ", 1)[0]
    try:
        low, high = text.removeprefix("v").split("..")
        return int(low), int(high)
    except ValueError:
        raise ProtocolError(f"not a version range: {text!r}") from None


# --- requests ----------------------------------------------------------------------------------

CONTRACT_FIELDS = ("conId", "symbol", "secType", "lastTradeDateOrContractMonth", "strike", "right",
                   "multiplier", "exchange", "primaryExchange", "currency", "localSymbol",
                   "tradingClass")
_INT_FIELDS = frozenset({"reqId", "clientId", "conId", "useRTH", "formatDate", "keepUpToDate",
                         "snapshot", "regulatorySnapshot", "includeExpired", "marketDataType",
                         "numIds", "subscribe", "apiOnly", "autoBind"})
_CONTRACT = "<contract>"   # the 12 contract fields, in place
_VERSION = "<version>"     # a version field: read past, not kept

# message id -> (name, field layout after the id), as ib_async's client.py sends them
REQUESTS: dict[int, tuple[str, tuple[str, ...]]] = {
    1: ("reqMktData", (_VERSION, "reqId", _CONTRACT, "deltaNeutral", "genericTickList", "snapshot",
                       "regulatorySnapshot", "mktDataOptions")),
    2: ("cancelMktData", (_VERSION, "reqId")),
    5: ("reqOpenOrders", (_VERSION,)),
    6: ("reqAccountUpdates", (_VERSION, "subscribe", "acctCode")),
    7: ("reqExecutions", (_VERSION, "reqId", "clientId", "acctCode", "time", "symbol", "secType",
                          "exchange", "side")),
    8: ("reqIds", (_VERSION, "numIds")),
    9: ("reqContractDetails", (_VERSION, "reqId", _CONTRACT, "includeExpired", "secIdType", "secId")),
    15: ("reqAutoOpenOrders", (_VERSION, "autoBind")),
    16: ("reqAllOpenOrders", (_VERSION,)),
    17: ("reqManagedAccts", (_VERSION,)),
    20: ("reqHistoricalData", ("reqId", _CONTRACT, "includeExpired", "endDateTime", "barSizeSetting",
                               "durationStr", "useRTH", "whatToShow", "formatDate", "keepUpToDate",
                               "chartOptions")),
    25: ("cancelHistoricalData", (_VERSION, "reqId")),
    49: ("reqCurrentTime", (_VERSION,)),
    59: ("reqMarketDataType", (_VERSION, "marketDataType")),
    61: ("reqPositions", (_VERSION,)),
    64: ("cancelPositions", (_VERSION,)),
    71: ("startApi", (_VERSION, "clientId", "optCapab")),
    76: ("reqAccountUpdatesMulti", (_VERSION, "reqId", "account", "modelCode", "ledgerAndNLV")),
    77: ("cancelAccountUpdatesMulti", (_VERSION, "reqId")),
    99: ("reqCompletedOrders", ("apiOnly",)),
}


def decode_request(fields: list[str]) -> tuple[str, dict]:
    """(message name, its fields by name) of one client message.

    Raises BadMessage for an unknown message id, a missing field or a number that is not one.
    Fields past the known layout (newer versions' additions) are ignored.
    """
    if not fields:
        raise BadMessage("empty message")
    try:
        msg_id = int(fields[0])
    except ValueError:
        raise BadMessage(f"message id {fields[0]!r} is not a number") from None
    if msg_id not in REQUESTS:
        raise BadMessage(f"unknown message id {msg_id}")
    name, layout = REQUESTS[msg_id]
    values: Iterator[str] = iter(fields[1:])
    out: dict = {}
    try:
        for key in layout:
            if key == _VERSION:
                next(values)
            elif key == _CONTRACT:
                out.update((k, next(values)) for k in CONTRACT_FIELDS)
                if out["secType"] == "BAG":
                    raise BadMessage(f"{name}: combo contracts are not simulated")
            elif key == "deltaNeutral":
                if next(values) not in ("", "0"):
                    raise BadMessage(f"{name}: delta-neutral contracts are not simulated")
            else:
                out[key] = next(values)
    except StopIteration:
        raise BadMessage(f"{name}: {len(fields)} fields, too few") from None
    for key in _INT_FIELDS.intersection(out):
        try:
            out[key] = int(out[key] or 0)
        except ValueError:
            raise BadMessage(f"{name}: {key} {out[key]!r} is not a number") from None
    return name, out


# --- answers -----------------------------------------------------------------------------------

def msg_handshake_reply(now: float) -> bytes:
    stamp = datetime.fromtimestamp(now, NEW_YORK).strftime("%Y%m%d %H:%M:%S %Z")
    return frame(SERVER_VERSION, stamp)


def msg_error(req_id: int, code: int, text: str) -> bytes:
    return frame(4, 2, req_id, code, text, "")


def msg_managed_accounts(accounts: str) -> bytes:
    return frame(15, 1, accounts)


def msg_next_valid_id(order_id: int) -> bytes:
    return frame(9, 1, order_id)


def msg_current_time(now: float) -> bytes:
    return frame(49, 1, int(now))


def msg_position_end() -> bytes:
    return frame(62, 1)


def msg_account_download_end(account: str) -> bytes:
    return frame(54, 1, account)


def msg_account_update_multi_end(req_id: int) -> bytes:
    return frame(74, 1, req_id)


def msg_exec_details_end(req_id: int) -> bytes:
    return frame(55, 1, req_id)


def msg_open_order_end() -> bytes:
    return frame(53, 1)


def msg_completed_orders_end() -> bytes:
    return frame(102)


def msg_contract_details(req_id: int, c: dict) -> bytes:
    """contractData (10) of a stock at server version >= 164 (no version field)."""
    return frame(
        10, req_id, c["symbol"], "STK", "", 0.0, "", "SMART", "USD", c["symbol"], "NMS",
        c["symbol"], c["conId"], 0.01,
        "", "ACTIVETIM,AD,ADJUST,ALERT,ALGO,LMT,MKT,STP,TRAIL", f"SMART,{c['primaryExchange']}", 1,
        0, c["longName"], c["primaryExchange"], "", c["industry"], "", "", "US/Eastern", "", "",
        "", "", 0,                                     # evRule, evMultiplier, no secIds
        1, "", "", "26,1", "", "COMMON", 1, 1, 100)    # aggGroup .. suggestedSizeIncrement


def msg_contract_details_end(req_id: int) -> bytes:
    return frame(52, 1, req_id)


def msg_market_data_type(req_id: int, data_type: int = 1) -> bytes:
    return frame(58, 1, req_id, data_type)


def msg_tick_req_params(req_id: int) -> bytes:
    return frame(81, req_id, 0.01, "9c0001", 3)


def msg_tick_price(req_id: int, tick_type: int, price: float, size: float = 0) -> bytes:
    return frame(1, 6, req_id, tick_type, price, _size(size), 0)


def msg_tick_size(req_id: int, tick_type: int, size: float) -> bytes:
    return frame(2, 6, req_id, tick_type, _size(size))


def _size(size: float) -> str:
    return str(int(size)) if float(size).is_integer() else str(size)


def bar_date(epoch: int, format_date: int) -> str:
    """A bar's time as the request's formatDate asks: 2 epoch seconds, else New York time."""
    if format_date == 2:
        return str(epoch)
    return datetime.fromtimestamp(epoch, NEW_YORK).strftime("%Y%m%d %H:%M:%S US/Eastern")


def msg_historical_data(req_id: int, bars: list[dict], format_date: int, start: int,
                        end: int) -> bytes:
    """historicalData (17): the whole answer in one message, as the gateway sends it."""
    fields: list = [17, req_id, bar_date(start, 1), bar_date(end, 1), len(bars)]
    for b in bars:
        fields += [bar_date(b["date"], format_date), b["open"], b["high"], b["low"], b["close"],
                   _size(b["volume"]), b["wap"], b["count"]]
    return frame(*fields)


def msg_historical_data_update(req_id: int, b: dict, format_date: int) -> bytes:
    """historicalDataUpdate (90): note the order, close before high and low, WAP before volume."""
    return frame(90, req_id, b["count"], bar_date(b["date"], format_date), b["open"], b["close"],
                 b["high"], b["low"], b["wap"], _size(b["volume"]))
