// POST /api/v1/batch-intraday: today's one-minute sparklines of many symbols, from the cache,
// else Interactive Brokers in batches of 20, else Yahoo Finance.
#include "routes.hpp"

namespace health {

namespace {

// the request's variables the nested coroutines share
enum Slot : Py_ssize_t { ICLI, CACHE, RESULT, ERRORS, SLOTS };

constexpr Py_ssize_t IB_BATCH = 20;

void add_error(Scope s, Obj sym, Obj suffix) {
    list_append(s.load(ERRORS, "errors"_id), Ref::steal(PyUnicode_Concat(sym.get(), suffix.get())));
}

// "SYM: <the exception's text>"
void add_failure(Scope s, Obj sym, const PyError& e) {
    Ref text = Ref::steal(PyObject_Format(e.value(), ""_id));
    Ref suffix = Ref::steal(PyUnicode_Concat(": "_id, text.get()));
    add_error(s, sym, suffix);
}

// _read_cache.<locals>._get: the cached bars as the slim cache payload, or None
Ref read_cache_get(Scope s) {
    Ref stored = s.load(1, "cache"_id).method("get_intraday"_id, s.load(0, "sym"_id));
    if (stored.is_none()) return stored;
    Ref bars = new_list();
    for_each(stored, [&](Obj item) {
        list_append(bars, dict_of("date"_id, item.item("date"_id), "close"_id, item.item("close"_id)));
    });
    return dict_of("bars"_id, bars, "source"_id, "cache"_id);
}

Co read_cache(Scope s, Str sym) {
    Ref inner = new_scope("batch_intraday.<locals>._read_cache.<locals>", 2);
    Scope(inner).store(0, sym);
    Scope(inner).store(1, s.load(CACHE, "cache"_id));
    Ref get = nested<&read_cache_get>(inner, "batch_intraday.<locals>._read_cache.<locals>._get");
    Ref reading = G("asyncio"_id).method("to_thread"_id, get);
    Ref payload = co_await awaitable(reading);
    co_return tuple_of(sym, payload);
}

// Normalises one symbol's fresh bars on a worker thread (processor: _process_ibkr_bars or
// _process_yf_hist); the payload goes into result, nothing usable into a ": no data" line.
Co keep_processed(Scope s, Str sym, Obj processor, Obj bars) {
    Ref processing = G("asyncio"_id).method("to_thread"_id, processor, s.load(CACHE, "cache"_id), sym, bars);
    Ref entry = co_await awaitable(processing);
    if (entry.is_none()) add_error(s, sym, ": no data"_id);
    else s.load(RESULT, "result"_id).setitem(sym.get(), entry.get());
    co_return none();
}

Co fetch_one(Scope s, Str sym) {
    std::optional<PyError> failure;
    try {
        G("logger"_id).method("info"_id, "[bi-req] {}"_id, sym);
        Ref stock = import_from("ib_async"_id, "Stock"_id);
        Ref contract = stock(sym, "SMART"_id, "USD"_id);
        Ref ib = s.load(ICLI, "icli"_id).attr("ib"_id);
        Ref qualifying = ib.method("qualifyContractsAsync"_id, contract);
        Ref qualified = co_await awaitable(qualifying);
        // ib_async answers an unknown symbol with [None]: no contract either
        Ref first = truthy(qualified) ? qualified.item(num(0).get()) : Ref(none());
        if (!truthy(first)) {
            add_error(s, sym, ": contract not found"_id);
            co_return none();
        }
        Ref requesting = ib.method("reqHistoricalDataAsync"_id, first, kw("endDateTime"_id, ""_id),
                                   kw("durationStr"_id, "1 D"_id), kw("barSizeSetting"_id, "1 min"_id),
                                   kw("whatToShow"_id, "TRADES"_id), kw("useRTH"_id, false), kw("formatDate"_id, 2),
                                   kw("keepUpToDate"_id, false), kw("timeout"_id, 60));
        Ref bars = co_await awaitable(requesting);
        Ref processor = G("_process_ibkr_bars"_id);
        Ref kept = co_await keep_processed(s, sym, processor, bars);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        failure = e;
    }
    if (failure) add_failure(s, sym, *failure);
    co_return none();
}

// _yf_one.<locals>._get: the one-minute history frame of today
Ref yf_history(Scope s) {
    Ref ticker = s.load(1, "yf"_id).attr("Ticker"_id)(s.load(0, "sym"_id));
    return ticker.method("history"_id, kw("period"_id, "1d"_id), kw("interval"_id, "1m"_id), kw("auto_adjust"_id, false));
}

Co yf_one(Scope s, Str sym) {
    std::optional<PyError> failure;
    try {
        Ref yf = import("yfinance"_id);
        Ref proxy = G("os"_id).attr("environ"_id).method("get"_id, "HTTPS_PROXY"_id);
        if (truthy(proxy))
            yf.attr("config"_id).attr("network"_id).setattr("proxy"_id, dict_of("https"_id, proxy, "http"_id, proxy).get());
        Ref inner = new_scope("batch_intraday.<locals>._yf_one.<locals>", 2);
        Scope(inner).store(0, sym);
        Scope(inner).store(1, yf);
        Ref get = nested<&yf_history>(inner, "batch_intraday.<locals>._yf_one.<locals>._get");
        Ref downloading = G("asyncio"_id).method("to_thread"_id, get);
        Ref hist = co_await awaitable(downloading);
        Ref processor = G("_process_yf_hist"_id);
        Ref kept = co_await keep_processed(s, sym, processor, hist);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        failure = e;
    }
    if (failure) add_failure(s, sym, *failure);
    co_return none();
}

Ref response(Obj result, Obj errors) {
    return dict_of("success"_id, true, "intraday"_id, result, "errors"_id,
                   PyList_GET_SIZE(errors.get()) ? errors : none());
}

}  // namespace

Ref gather_each(Obj fn, Obj symbols, bool return_exceptions) {
    Ref coros = new_list();
    for_each(symbols, [&](Obj sym) { list_append(coros, fn(sym)); });
    return call_unpacked(G("asyncio"_id).attr("gather"_id), coros, kw("return_exceptions"_id, return_exceptions));
}

Co batch_intraday(Obj request, Obj req) {
    Ref icli = request.attr("app"_id).attr("state"_id).attr_or_none("icli_app"_id);
    bool online = truthy(icli) && truthy(icli.attr("connected"_id));
    Ref cache = G("_get_cache"_id)();
    Ref symbols = new_list();
    for_each(req.attr("symbols"_id), [&](Obj item) { list_append(symbols, item.method("upper"_id)); });

    Ref result = new_dict();
    Ref errors = new_list();
    Ref to_fetch = new_list();
    Ref scope = new_scope("batch_intraday.<locals>", SLOTS);
    Scope shared(scope);
    shared.store(ICLI, icli);
    shared.store(CACHE, cache);
    shared.store(RESULT, result);
    shared.store(ERRORS, errors);

    // cache pass: every symbol, in request order; a failure here fails the request
    Ref read = nested<&read_cache>(scope, "batch_intraday.<locals>._read_cache", {"sym"});
    Ref reads = gather_each(read, symbols, false);
    Ref pairs = co_await awaitable(reads);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        Obj pair = PyList_GET_ITEM(pairs.get(), i);
        Obj sym = PyTuple_GET_ITEM(pair.get(), 0), payload = PyTuple_GET_ITEM(pair.get(), 1);
        if (payload.is_none()) list_append(to_fetch, sym);
        else dict_set(result, sym.get(), payload);
    }
    if (PyList_GET_SIZE(to_fetch.get()) == 0) co_return response(result, errors);

    if (online && truthy(icli)) {
        // Interactive Brokers: batches of 20 in flight, one batch after the other
        Ref fetch = nested<&fetch_one>(scope, "batch_intraday.<locals>._fetch_one", {"sym"});
        for (Py_ssize_t start = 0; start < PyList_GET_SIZE(to_fetch.get()); start += IB_BATCH) {
            Ref batch = Ref::steal(PyList_GetSlice(to_fetch.get(), start, start + IB_BATCH));
            Ref fetches = gather_each(fetch, batch, true);
            Ref done = co_await awaitable(fetches);
        }
    } else {
        Ref fetch = nested<&yf_one>(scope, "batch_intraday.<locals>._yf_one", {"sym"});
        Ref fetches = gather_each(fetch, to_fetch, true);
        Ref done = co_await awaitable(fetches);
    }
    co_return response(result, errors);
}

}  // namespace health
