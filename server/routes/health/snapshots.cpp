// GET /api/v1/snapshots: one quote snapshot per symbol. Online (terminal app connected) the app's
// live quotes, enriched with regular-hours reference fields from the cached daily bars; offline
// snapshots from the cached daily bars, with Yahoo Finance as the fall-back per symbol.
#include "routes.hpp"

namespace health {
namespace {

// the nested functions the other nested functions call
using Snapshots = Vars<"snapshots", "_fetch_yfinance", "_snap_from_bars">;
using FetchYfinance = Vars<"snapshots.<locals>._fetch_yfinance", "sym">;

PyObject* str_type() { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }

// Runs on a worker thread: the Yahoo Finance quote of one symbol.
Ref sync(FetchYfinance s) {
    Ref sym = s.get<"sym">();
    Ref yf = import("yfinance"_id);
    Ref proxy = G("os"_id).attr("environ"_id).method("get"_id, "HTTPS_PROXY"_id);
    if (truthy(proxy)) {
        // package-wide: every later Yahoo request of the process goes through it
        Ref proxies = dict_of("https"_id, proxy, "http"_id, proxy);
        yf.attr("config"_id).attr("network"_id).setattr("proxy"_id, proxies.get());
    }
    return try_except(
        [&] {
        Ref info = yf.attr("Ticker"_id)(sym).attr("info"_id);
        if (!truthy(info)) info = new_dict();
        Ref bid = info.method("get"_id, "bid"_id);
        Ref ask = info.method("get"_id, "ask"_id);
        Ref last = info.method("get"_id, "regularMarketPrice"_id);
        if (!truthy(last)) last = info.method("get"_id, "previousClose"_id);
        Ref close = info.method("get"_id, "previousClose"_id);
        Ref high = info.method("get"_id, "regularMarketDayHigh"_id);
        Ref low = info.method("get"_id, "regularMarketDayLow"_id);
        Ref volume = info.method("get"_id, "volume"_id);
        Ref change = info.method("get"_id, "regularMarketChange"_id);
        Ref change_pct = info.method("get"_id, "regularMarketChangePercent"_id);
        Ref name = info.method("get"_id, "longName"_id);
        if (!truthy(name)) name = info.method("get"_id, "shortName"_id);
        return dict_of("symbol"_id, sym, "bid"_id, bid, "ask"_id, ask, "last"_id, last, "close"_id, close, "high"_id,
                       high, "low"_id, low, "volume"_id, volume, "change"_id, change, "changePercent"_id, change_pct,
                       "name"_id, name, "source"_id, "yfinance"_id);
        },
        [&](const PyError& e) {
            return dict_of("symbol"_id, sym, "error"_id, to_str(e.value()), "source"_id, "yfinance"_id);
        });
}

Co fetch_yfinance(Snapshots, Str sym) {
    Held scope = FetchYfinance::make();
    FetchYfinance(scope).set<"sym">(sym);
    Held sync_fn = nested<&sync>(scope, "_sync");
    Ref pending = G("asyncio"_id).method("to_thread"_id, sync_fn);
    Ref result = co_await awaitable(std::move(pending));
    co_return result;
}

// The snapshot of the newest complete daily bar against the one before it, or None when the
// cache has too few bars; raises what reading the cache raises.
Co daily_snapshot(Str sym) {
    Ref pending = G("get_bars"_id)(sym, "day"_id, 3);
    Ref df = co_await awaitable(std::move(pending));
    Ref cutoff = G("KlineCache"_id).method("_last_complete_trading_day"_id);
    // compared as text: a date with a time part sorts after the bare cutoff date
    Ref dates = df.item("date"_id).method("astype"_id, str_type());
    Ref day = cutoff.method("isoformat"_id);
    Ref complete = rich_compare(dates, day, Py_LE);
    df = df.item(complete.get());
    if (len(df) < 2) co_return none();
    Ref closes = df.item("close"_id).attr("iloc"_id);
    Ref last = float_of(closes.item(-1));
    Ref prev = float_of(closes.item(-2));
    double l = as_double(last), p = as_double(prev);
    if (p == 0) co_return none();
    Ref high = float_of(df.item("high"_id).attr("iloc"_id).item(-1));
    Ref low = float_of(df.item("low"_id).attr("iloc"_id).item(-1));
    Ref change_pct = round_to(num((l - p) / p * 100), 2);
    Ref source = df.attr("attrs"_id).method("get"_id, "source"_id, "cache"_id);
    co_return dict_of("symbol"_id, sym, "bid"_id, none(), "ask"_id, none(), "last"_id, last, "close"_id, prev,
                      "high"_id, high, "low"_id, low, "volume"_id, none(), "change"_id, num(l - p),
                      "changePercent"_id, change_pct, "source"_id, source);
}

// ... or None when the cache cannot give one at all
Co snap_from_bars(Snapshots, Str sym) {
    Outcome snap = co_await attempt(daily_snapshot(sym));
    co_return snap.failed() ? Ref(none()) : snap.value();
}

void clear_rth(Obj out) {
    dict_set(out, "prevClose"_id, none());
    dict_set(out, "rthChange"_id, none());
    dict_set(out, "rthChangePercent"_id, none());
}

// options have no daily bars of their own
bool option_quote(Obj quote) {
    Ref sec_type = quote.method("get"_id, "secType"_id);
    return eq(sec_type, "OPT"_id) || eq(sec_type, "FOP"_id);
}

// A live quote with the regular-hours reference fields from the cached daily bars.
Co merge_rth(Snapshots s, Str sym, Dict d) {
    // out = dict(d)
    Held out = new_dict();
    dict_update(out, d);
    if (option_quote(out)) {
        clear_rth(out);
        co_return out;
    }
    Ref pending = s.get<"_snap_from_bars">()(sym);
    Ref snap = co_await awaitable(std::move(pending));
    if (snap.is_none()) {
        clear_rth(out);
    } else {
        dict_set(out, "prevClose"_id, snap.item("close"_id));
        dict_set(out, "rthChange"_id, snap.item("change"_id));
        dict_set(out, "rthChangePercent"_id, snap.item("changePercent"_id));
    }
    co_return out;
}

Co snap(Snapshots s, Str sym) {
    Ref cached = s.get<"_snap_from_bars">()(sym);
    Held q = co_await awaitable(std::move(cached));
    if (!q.is_none()) co_return q;
    Ref fetched = s.get<"_fetch_yfinance">()(sym);
    Ref result = co_await awaitable(std::move(fetched));
    co_return result;
}

// asyncio.gather(*(_merge_rth(sym, d) for sym, d in items)) over the app's live quotes: those of
// the symbols asked for, or every one when none is
Ref gather_merged(Obj scope, Obj icli, Obj sym_list) {
    Ref merge_fn = nested<&merge_rth>(scope, "_merge_rth", {"sym", "d"});
    Ref items = new_list();
    if (len(sym_list) > 0) {
        for (Ref sym : iterate(sym_list)) {
            Ref it = icli.attr("quoteState"_id).method("get"_id, sym);
            if (truthy(it)) list_append(items, tuple_of(sym, it.method("to_dict"_id)));
        }
    } else {
        for (Ref pair : iterate(icli.attr("quoteState"_id).method("items"_id))) {
            auto [sym, quote] = unpack<2>(pair);
            list_append(items, tuple_of(sym, quote.method("to_dict"_id)));
        }
    }
    Ref gather = G("asyncio"_id).attr("gather"_id);
    Ref coros = new_list();
    for (Ref pair : iterate(items)) list_append(coros, merge_fn(pair.item(0), pair.item(1)));
    return call_unpacked(gather, coros);
}

}  // namespace

Co snapshots(Obj request, Str symbols) {
    Held icli = request.attr("app"_id).attr("state"_id).attr_or_none("icli_app"_id);
    bool online = truthy(icli) && truthy(icli.attr("connected"_id));

    Held sym_list = new_list();
    for (Ref item : iterate(symbols.method("split"_id, ","_id))) {
        Ref piece = item.method("strip"_id);
        if (truthy(piece)) list_append(sym_list, piece.method("upper"_id));
    }

    Held scope = Snapshots::make();
    Snapshots(scope).set<"_fetch_yfinance">(nested<&fetch_yfinance>(scope, "_fetch_yfinance", {"sym"}));
    Snapshots(scope).set<"_snap_from_bars">(nested<&snap_from_bars>(scope, "_snap_from_bars", {"sym"}));

    if (online && truthy(icli)) {
        Ref pending = gather_merged(scope, icli, sym_list);
        Ref quotes = co_await awaitable(std::move(pending));
        co_return dict_of("success"_id, true, "online"_id, true, "count"_id, len(quotes), "quotes"_id, quotes);
    }

    if (len(sym_list) == 0) {
        co_return dict_of("success"_id, true, "online"_id, false, "count"_id, 0, "quotes"_id, new_list(), "error"_id,
                          "No symbols provided for offline mode"_id);
    }
    Ref pending = gather_each(nested<&snap>(scope, "_snap", {"sym"}), sym_list, true);
    Ref results = co_await awaitable(std::move(pending));

    Ref quotes = new_list();
    Ref errors = new_list();
    for (Ref r : iterate(results)) {
        // isinstance(r, dict) by the type's flags, which runs no code: the results are our own
        // coroutines' dicts and what they raised
        if (PyDict_Check(r.get())) {
            if (contains(r, "error"_id))
                list_append(errors, r);
            else
                list_append(quotes, r);
        } else if (isinstance(r, PyExc_Exception)) {
            list_append(errors, to_str(r));
        }
    }
    Ref payload = dict_of("success"_id, true, "online"_id, false, "count"_id, len(quotes), "quotes"_id, quotes);
    if (len(errors) > 0) dict_set(payload, "errors"_id, errors);
    co_return payload;
}

}  // namespace health
