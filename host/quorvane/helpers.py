"""Small helpers shared by the routes: symbol notations to contracts."""

from __future__ import annotations

import re
from dataclasses import dataclass
from datetime import datetime

FIAT = frozenset("USD EUR JPY GBP CHF CAD AUD NZD HKD CNH CNY SGD SEK NOK DKK MXN ZAR KRW INR "
                 "ILS PLN CZK HUF TRY".split())
CRYPTO_QUOTES = frozenset({"USD", "USDT", "USDC", "EUR", "BTC", "ETH"})

_INDEX = re.compile(r"(?:\^|I:)([A-Z0-9.]{1,10})")
_OCC = re.compile(r"(?:O:)?([A-Z]{1,6}\d?) *(\d{6})([CP])(\d{8})")
_OPTION_SHORT = re.compile(r"([A-Z]{1,6}\d?) +(\d{6})([CP])(\d+(?:\.\d+)?)")
_FUTURE = re.compile(r"/([A-Z0-9]{1,4}?)(?:[FGHJKMNQUVXZ]\d{1,2})?"   # /ES, /ESZ24
                     r"|([A-Z]{1,3})[FGHJKMNQUVXZ]\d{1,2}"            # ESZ4
                     r"|([A-Z0-9]{1,4})=F")                             # ES=F
_FX_PAIR = re.compile(r"([A-Z]{3})[./]?([A-Z]{3})")
_FX_YAHOO = re.compile(r"([A-Z]{3})?([A-Z]{3})=X")  # "JPY=X" is USD/JPY
_CRYPTO = re.compile(r"X:([A-Z0-9]{2,10}?)(USDT|USDC|USD|EUR|BTC|ETH)|([A-Z0-9]{2,10})[-/]([A-Z]{3,4})")
_STOCK = re.compile(r"([A-Z]{1,5})(?:[.\-][A-Z]{1,2})?")


@dataclass(frozen=True, slots=True)
class Contract:
    """What a symbol names, in Interactive Brokers' terms.

    `symbol` is the underlying (the root of an option or future, the base currency of a pair),
    `localSymbol` the notation as given (normalised), `currency` the quote currency; options
    also carry expiry (YYYYMMDD), strike and right ("C" or "P").
    """

    symbol: str
    secType: str
    localSymbol: str
    currency: str = "USD"
    lastTradeDateOrContractMonth: str = ""
    strike: float = 0.0
    right: str = ""


def _option(text: str, root: str, yymmdd: str, right: str, strike: float) -> Contract:
    try:
        expiry = datetime.strptime(yymmdd, "%y%m%d").strftime("%Y%m%d")
    except ValueError:
        raise ValueError(f"bad option expiry {yymmdd!r} in {text!r}") from None
    return Contract(root, "OPT", text, lastTradeDateOrContractMonth=expiry, strike=strike, right=right)


def contractForName(symbol: str) -> Contract:
    """The contract a symbol notation names; ValueError when it names none.

    The symbol is stripped and upper-cased first. Notations, tried in this order:

    IND     "^" or "I:" before an index name: ^SPX, ^GSPC, I:NDX.
    OPT     OCC option symbol: root (1-6 letters, optionally a digit), expiry YYMMDD, C or P,
            strike x 1000 in 8 digits; blanks may pad the root and "O:" may lead:
            AAPL240119C00150000, "AAPL  240119P00150500", O:SPY241220P00500000.
            Or root, blank(s), YYMMDD, C or P, strike in dollars: "AAPL 240119C150",
            "SPY 241220P502.5". The expiry must be a real date.
    FUT     "/" and a root of 1-4 letters or digits, optionally a month code and a 1-2 digit
            year: /ES, /6E, /ESZ24; a root of 1-3 letters with month code and year: ESZ4;
            Yahoo's "=F": ES=F. Month codes are F G H J K M N Q U V X Z.
    CASH    two known fiat codes (USD EUR JPY GBP CHF CAD AUD NZD HKD CNH CNY SGD SEK NOK DKK
            MXN ZAR KRW INR ILS PLN CZK HUF TRY) joined, or with ".", "/" or "-" between:
            EURUSD, EUR.USD, EUR/USD, EUR-USD; Yahoo's "=X": EURUSD=X, JPY=X (USD/JPY).
    CRYPTO  a coin, "-" or "/", a quote of USD, USDT, USDC, EUR, BTC or ETH: BTC-USD, ETH/USDT;
            "X:" and coin and quote joined: X:BTCUSD.
    STK     1-5 letters, optionally a share class of 1-2 letters after "." or "-": AAPL, SPY,
            BRK.B, BF-B. ETFs are stocks here.

    Anything else (bonds, CFDs, combos, unknown forms) raises ValueError.
    """
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be str, not {type(symbol).__name__}")
    text = symbol.strip().upper()
    if not text:
        raise ValueError("empty symbol")
    if m := _INDEX.fullmatch(text):
        return Contract(m[1], "IND", text)
    if m := _OCC.fullmatch(text):
        return _option(text, m[1], m[2], m[3], int(m[4]) / 1000)
    if m := _OPTION_SHORT.fullmatch(text):
        return _option(text, m[1], m[2], m[3], float(m[4]))
    if m := _FUTURE.fullmatch(text):
        return Contract(m[1] or m[2] or m[3], "FUT", text)
    if m := _FX_PAIR.fullmatch(text) or _FX_YAHOO.fullmatch(text):
        base, quote = m[1] or "USD", m[2]
        if base in FIAT and quote in FIAT and base != quote:
            return Contract(base, "CASH", text, currency=quote)
    if m := _CRYPTO.fullmatch(text):
        base, quote = (m[1], m[2]) if m[1] else (m[3], m[4])
        if base in FIAT and quote in FIAT:
            return Contract(base, "CASH", text, currency=quote)
        if quote in CRYPTO_QUOTES:
            return Contract(base, "CRYPTO", text, currency=quote)
    if _STOCK.fullmatch(text):
        return Contract(text, "STK", text)
    raise ValueError(f"unrecognised symbol {symbol!r}")
