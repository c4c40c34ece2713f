// POST /api/v1/batch-intraday: today's one-minute sparklines of many symbols, from the cache,
// else Interactive Brokers in batches of 20, else Yahoo Finance.
#include "routes.hpp"

namespace health {

namespace {

// the request's variables the nested coroutines share
using Batch = Vars<"batch_intraday", "icli", "cache", "result", "errors">;
using ReadCache = Vars<"batch_intraday.<locals>._read_cache", "sym", "cache">;
using YfOne = Vars<"batch_intraday.<locals>._yf_one", "sym", "yf">;

constexpr Py_ssize_t IB_BATCH = 20;

void add_error(Batch s, Obj sym, Obj suffix) { list_append(s.get<"errors">(), concat(sym, suffix)); }

// f"{sym}: {e}"
void add_failure(Batch s, Obj sym, const PyError& e) { add_error(s, sym, concat(": ", formatted(e.value()))); }

// _read_cache.<locals>._get: the cached bars as the slim cache payload, or None
Ref read_cache_get(ReadCache s) {
    Ref stored = s.get<"cache">().method("get_intraday"_id, s.get<"sym">());
    if (stored.is_none()) return stored;
    Ref bars = new_list();
    for (Ref item : iterate(stored)) {
        // read in the order written: a row short of both names the date
        Ref date = item.item("date"_id), close = item.item("close"_id);
        list_append(bars, dict_of("date"_id, date, "close"_id, close));
    }
    return dict_of("bars"_id, bars, "source"_id, "cache"_id);
}

Co read_cache(Batch s, Str sym) {
    Held inner = ReadCache::make();
    ReadCache(inner).set<"sym">(sym);
    ReadCache(inner).set<"cache">(s.get<"cache">());
    Held get = nested<&read_cache_get>(inner, "_get");
    Ref reading = G("asyncio"_id).method("to_thread"_id, get);
    Held payload = co_await awaitable(std::move(reading));
    co_return tuple_of(sym, payload);
}

// Normalises one symbol's fresh bars on a worker thread (processor: _process_ibkr_bars or
// _process_yf_hist); the payload goes into result, nothing usable into a ": no data" line.
Co keep_processed(Batch s, Str sym, Obj processor, Obj bars) {
    Ref processing = G("asyncio"_id).method("to_thread"_id, processor, s.get<"cache">(), sym, bars);
    Held entry = co_await awaitable(std::move(processing));
    if (entry.is_none()) add_error(s, sym, ": no data"_id);
    else s.get<"result">().setitem(sym.get(), entry.get());
    co_return none();
}

// The guarded part of _fetch_one: contract, bars, normalisation.
Co fetch_bars(Batch s, Str sym) {
    log("info"_id, "[bi-req] {}"_id, sym);
    Held contract = import_from("ib_async"_id, "Stock"_id)(sym, "SMART"_id, "USD"_id);
    Ref qualifying = s.get<"icli">().attr("ib"_id).method("qualifyContractsAsync"_id, contract);
    Held qualified = co_await awaitable(std::move(qualifying));
    // ib_async answers an unknown symbol with [None]: no contract either
    Held first = truthy(qualified) ? qualified.item(0) : Ref(none());
    if (!truthy(first)) {
        add_error(s, sym, ": contract not found"_id);
        co_return none();
    }
    // icli.ib is read again, as written
    Ref requesting = s.get<"icli">().attr("ib"_id).method(
        "reqHistoricalDataAsync"_id, first, kw("endDateTime"_id, ""_id), kw("durationStr"_id, "1 D"_id),
        kw("barSizeSetting"_id, "1 min"_id), kw("whatToShow"_id, "TRADES"_id), kw("useRTH"_id, false),
        kw("formatDate"_id, 2), kw("keepUpToDate"_id, false), kw("timeout"_id, 60));
    Held bars = co_await awaitable(std::move(requesting));
    Held processor = G("_process_ibkr_bars"_id);
    Ref kept = co_await keep_processed(s, sym, processor, bars);
    co_return none();
}

// _yf_one.<locals>._get: the one-minute history frame of today
Ref yf_history(YfOne s) {
    Ref ticker = s.get<"yf">().attr("Ticker"_id)(s.get<"sym">());
    return ticker.method("history"_id, kw("period"_id, "1d"_id), kw("interval"_id, "1m"_id), kw("auto_adjust"_id, false));
}

// The guarded part of _yf_one: download and normalisation.
Co yf_bars(Batch s, Str sym) {
    Held yf = import("yfinance"_id);
    Held proxy = G("os"_id).attr("environ"_id).method("get"_id, "HTTPS_PROXY"_id);
    if (truthy(proxy))
        yf.attr("config"_id).attr("network"_id).setattr("proxy"_id, dict_of("https"_id, proxy, "http"_id, proxy).get());
    Held inner = YfOne::make();
    YfOne(inner).set<"sym">(sym);
    YfOne(inner).set<"yf">(yf);
    Held get = nested<&yf_history>(inner, "_get");
    Ref downloading = G("asyncio"_id).method("to_thread"_id, get);
    Held hist = co_await awaitable(std::move(downloading));
    Held processor = G("_process_yf_hist"_id);
    Ref kept = co_await keep_processed(s, sym, processor, hist);
    co_return none();
}

// _fetch_one and _yf_one: one symbol's fetch, whose failure becomes its "SYM: <error>" line
template <Co (*Fetch)(Batch, Str)>
Co fetch_guarded(Batch s, Str sym) {
    Outcome fetched = co_await attempt(Fetch(s, sym));
    if (fetched.failed()) add_failure(s, sym, fetched.error());
    co_return none();
}

Ref response(Obj result, Obj errors) {
    return dict_of("success"_id, true, "intraday"_id, result, "errors"_id,
                   len(errors) ? errors : none());
}

}  // namespace

Ref gather_each(Obj fn, Obj symbols, bool return_exceptions) {
    Ref gather = G("asyncio"_id).attr("gather"_id);
    Ref coros = new_list();
    for (Ref sym : iterate(symbols)) list_append(coros, fn(sym));
    if (!return_exceptions) return call_unpacked(gather, coros);
    return call_unpacked(gather, coros, kw("return_exceptions"_id, true));
}

Co batch_intraday(Obj request, Obj req) {
    Held icli = request.attr("app"_id).attr("state"_id).attr_or_none("icli_app"_id);
    bool online = truthy(icli) && truthy(icli.attr("connected"_id));
    Held cache = G("_get_cache"_id)();
    Held symbols = new_list();
    for (Ref item : iterate(req.attr("symbols"_id))) list_append(symbols, item.method("upper"_id));

    Held result = new_dict();
    Held errors = new_list();
    Held to_fetch = new_list();
    Held scope = Batch::make();
    Batch shared(scope);
    shared.set<"icli">(icli);
    shared.set<"cache">(cache);
    shared.set<"result">(result);
    shared.set<"errors">(errors);

    // cache pass: every symbol, in request order; a failure here fails the request
    Held read = nested<&read_cache>(scope, "_read_cache", {"sym"});
    Ref reads = gather_each(read, symbols, false);
    Held pairs = co_await awaitable(std::move(reads));
    // whatever gather gives back is walked as any iterable of (symbol, payload) pairs
    for (Ref pair : iterate(pairs)) {
        Ref sym = pair.item(0), payload = pair.item(1);
        if (payload.is_none()) list_append(to_fetch, sym);
        else result.setitem(sym.get(), payload.get());
    }
    if (len(to_fetch) == 0) co_return response(result, errors);

    if (online && truthy(icli)) {
        // Interactive Brokers: batches of 20 in flight, one batch after the other
        Held fetch = nested<&fetch_guarded<&fetch_bars>>(scope, "_fetch_one", {"sym"});
        for (Py_ssize_t start = 0; start < len(to_fetch); start += IB_BATCH) {
            Held batch = slice(to_fetch, start, start + IB_BATCH);
            Ref fetches = gather_each(fetch, batch, true);
            Ref done = co_await awaitable(std::move(fetches));
        }
    } else {
        Held fetch = nested<&fetch_guarded<&yf_bars>>(scope, "_yf_one", {"sym"});
        Ref fetches = gather_each(fetch, to_fetch, true);
        Ref done = co_await awaitable(std::move(fetches));
    }
    co_return response(result, errors);
}

}  // namespace health
