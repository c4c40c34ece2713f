// quorvane.server.barwarden: keep-up-to-date IB bar subscriptions whose server updates override
// the forming one-minute bar of the host's aggregators.
#include "frame/frame.hpp"

using namespace frame;

namespace {

// _make_update_handler's variables, which its _on_update closes over
using Handler = Vars<"BarwardenManager._make_update_handler", "self", "symbol">;
// _subscribe_one's variables, which its _on_error closes over
using Request = Vars<"BarwardenManager._subscribe_one", "refused">;

// count >= MAX_SUBS, the limit read at each use
bool pass_full(long long count) {
    return ge(num(count), G("MAX_SUBS"_id));
}

// def _bucket_start_epoch(dt) -> int
Ref bucket_start_epoch(Obj dt) {
    Ref seconds = dt.method("timestamp"_id);
    Ref whole = int_of(floor_divide(seconds, 60));
    return multiply(whole, 60);
}

// def _SymbolSubscription.__init__(self, symbol: str, iticker, bar_list)
void Subscription_init(Obj self, Str symbol, Obj iticker, Obj bar_list) {
    self.setattr("symbol"_id, symbol.get());
    self.setattr("iticker"_id, iticker.get());
    self.setattr("bar_list"_id, bar_list.get());
    self.setattr("last_seen"_id, Ref(num(0.0)).get());
}

void Manager_init(Obj self, Obj icli_app) {
    self.setattr("_app"_id, icli_app.get());
    self.setattr("_subs"_id, new_dict().get());
    self.setattr("_stagger_task"_id, Py_None);
    self.setattr("_bust_warned"_id, new_dict().get());
    self.setattr("_error_handler"_id, Py_None);
    self.setattr("_update_handlers"_id, new_dict().get());
}

Co Manager_start(Obj self) {
    // a pass still running: this start does nothing (no second pass, no second error handler)
    Ref running = self.attr("_stagger_task"_id);
    if (!running.is_none() && !truthy(running.method("done"_id))) co_return none();
    Ref switch_value = G("os"_id).attr("environ"_id).method("get"_id, "QUORVANE_BARWARDEN"_id, "1"_id);
    if (eq(switch_value, "0"_id) || eq(switch_value, "false"_id) || eq(switch_value, "False"_id)) {
        log("info"_id, "barwarden disabled via QUORVANE_BARWARDEN"_id);
        co_return none();
    }
    Ref app = self.attr("_app"_id);
    if (app.is_none()) {
        log("info"_id, "barwarden: no icli app, staying idle"_id);
        co_return none();
    }
    Ref ib = app.attr_or_none("ib"_id);
    if (ib.is_none()) {
        log("info"_id, "barwarden: no ib session, staying idle"_id);
        co_return none();
    }
    if (!truthy(app.attr_or_none("quoteState"_id))) {
        log("info"_id, "barwarden: no tracked tickers yet"_id);
        co_return none();
    }
    self.setattr("_error_handler"_id, self.attr("_on_ib_error"_id).get());
    Ref errors = ib.attr("errorEvent"_id);
    ib.setattr("errorEvent"_id, iadd(errors, self.attr("_error_handler"_id)).get());
    Ref create_task = G("asyncio"_id).attr("create_task"_id);
    self.setattr("_stagger_task"_id, create_task(self.method("_subscribe_all"_id)).get());
    co_return none();
}

// self._subscribe_one(symbol, iticker), awaited (inside the pass's per-ticker guard)
Co subscribe_guarded(Obj self, Obj symbol, Obj iticker) {
    Ref subscribing = self.method("_subscribe_one"_id, symbol, iticker);
    Ref done = co_await awaitable(std::move(subscribing));
    co_return done;
}

Co Manager_subscribe_all(Obj self) {
    Held ib = self.attr("_app"_id).attr_or_none("ib"_id);
    if (ib.is_none() || !truthy(ib.method("isConnected"_id))) co_return none();
    long long count = 0;
    // the tickers as they are now: one added later waits for the next pass
    // (indexed, since the loop awaits: each ticker is Held while its subscription runs)
    Held tickers = list_from(self.attr("_app"_id).attr("quoteState"_id).method("values"_id));
    for (Py_ssize_t i = 0; i < len(tickers); ++i) {
        if (pass_full(count)) break;
        Held iticker = tickers.item(i);
        Held symbol = iticker.attr_or("name"_id, "?"_id);
        if (contains(self.attr("_subs"_id), symbol)) continue;
        Outcome subscribed = co_await attempt(subscribe_guarded(self, symbol, iticker));
        if (subscribed.failed()) {
            log("warning"_id, "barwarden subscribe failed for {}"_id, symbol);
            continue;
        }
        ++count;
        Held sleep = G("asyncio"_id).attr("sleep"_id);
        Ref pausing = sleep(G("STAGGER_SECONDS"_id));
        Ref paused = co_await awaitable(std::move(pausing));
    }
    co_return none();
}

// IB reports on a request without refusing it with the codes ib_async logs as warnings: the
// 2100-2199 family (data farm status, the time-zone notice 2174 that names a historical
// request), 165 (a historical data service message), 10167 (delayed data shown) and order
// messages; and after a bust (10225) ib_async re-requests the subscription itself. ib_async also
// counts 321 a warning, since an order whose modification fails validation stays live; a data
// request that fails validation is refused. Only int codes are IB's. (The code is read through
// the C API: an int by the type's flags, where isinstance() through the frame would also consult
// a __class__ attribute, and its value with the overflow, where as_long would raise past 64 bits.)
bool refuses(Obj code) {
    if (!PyLong_Check(code.get())) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(code.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw_error();
    if (overflow) return true;
    switch (value) {
        case 105: case 110: case 165: case 329: case 399: case 404: case 434: case 492: case 10167: case 10225:
            return false;
        default:
            return value < 2100 || value >= 2200;
    }
}

// _subscribe_one.<locals>._on_error(req_id, error_code, error_string, *_): the first refusal
// of each request while the subscription's request is in flight
void on_error(Request s, Obj req_id, Obj error_code, Obj error_string, Rest) {
    if (refuses(error_code)) s.get<"refused">().method("setdefault"_id, req_id, tuple_of(error_code, error_string));
}

// ib.errorEvent += watcher
void connect_watcher(Obj ib, Obj watcher) {
    Ref errors = ib.attr("errorEvent"_id);
    ib.setattr("errorEvent"_id, iadd(errors, watcher).get());
}

// finally: ib.errorEvent -= watcher
Co release_watcher(Obj ib, Obj watcher) {
    Ref errors = ib.attr("errorEvent"_id);
    ib.setattr("errorEvent"_id, isub(errors, watcher).get());
    co_return none();
}

Co request_bars(Obj ib, Obj contract) {
    Ref requesting = ib.method("reqHistoricalDataAsync"_id, contract, kw("endDateTime"_id, ""_id),
                               kw("durationStr"_id, "1 D"_id), kw("barSizeSetting"_id, "1 min"_id),
                               kw("whatToShow"_id, "TRADES"_id), kw("useRTH"_id, true), kw("formatDate"_id, 2),
                               kw("keepUpToDate"_id, true));
    Ref bar_list = co_await awaitable(std::move(requesting));
    co_return bar_list;
}

// With ib_async's default a refused request returns its (empty) bar list and raises nothing:
// the error IB answered it with is raised here, as ib_async's RequestError would be.
void raise_if_refused(Obj refused, Obj bar_list) {
    if (!truthy(refused)) return;
    Ref req_id = bar_list.attr_or_none("reqId"_id);
    Ref answer = get(refused, req_id.get());
    if (answer.is_none()) return;
    auto [code, text] = unpack<2>(answer);
    Ref request_error = import_from("ib_async"_id, "RequestError"_id);
    raise_object(request_error(req_id, code, text).get());
}

Co Manager_subscribe_one(Obj self, Str symbol, Obj iticker) {
    Held ib = self.attr("_app"_id).attr_or_none("ib"_id);
    if (ib.is_none()) co_return none();
    Held contract = iticker.attr_or_none("ticker"_id).attr_or_none("contract"_id);
    if (contract.is_none()) co_return none();
    // a symbol IB does not know keeps the host's unqualified contract: nothing is requested
    if (!truthy(contract.attr_or("conId"_id, num(0)))) raise(PyExc_LookupError, "IB knows no contract for %U", symbol.get());
    Held scope = Request::make();
    Request(scope).set<"refused">(new_dict());
    Held watcher = nested<&on_error>(scope, "_on_error", {"req_id", "error_code", "error_string", "*_"});
    connect_watcher(ib, watcher);
    Held bar_list = co_await try_finally(request_bars(ib, contract), release_watcher(ib, watcher));
    raise_if_refused(Request(scope).get<"refused">(), bar_list);
    Ref sub = G("_SymbolSubscription"_id)(symbol, iticker, bar_list);
    self.attr("_subs"_id).setitem(symbol.get(), sub.get());
    // bar_list.updateEvent += self._make_update_handler(symbol)
    Ref updates = bar_list.attr("updateEvent"_id);
    Ref handler = self.method("_make_update_handler"_id, symbol);
    bar_list.setattr("updateEvent"_id, iadd(updates, handler).get());
    log("debug"_id, "barwarden subscribed {}"_id, symbol);
    co_return none();
}

// One subscription's teardown in stop(): a failure is logged, and the next one goes on.
void detach(Obj self, Obj ib, Obj symbol, Obj sub) {
    try_except(
        [&] {
            if (truthy(sub.attr("bar_list"_id).attr("updateEvent"_id))) {
                // sub.bar_list.updateEvent -= self._make_update_handler(symbol): the object connected
                Ref bar_list = sub.attr("bar_list"_id);
                Ref updates = bar_list.attr("updateEvent"_id);
                Ref handler = self.method("_make_update_handler"_id, symbol);
                bar_list.setattr("updateEvent"_id, isub(updates, handler).get());
            }
            if (!ib.is_none()) {
                Ref cancel = ib.attr("cancelHistoricalData"_id);
                cancel(sub.attr("bar_list"_id));
            }
        },
        [&](const PyError&) { log("debug"_id, "barwarden teardown issue for {}"_id, symbol); });
}

Co Manager_stop(Obj self) {
    Ref ib = self.attr("_app"_id).attr_or_none("ib"_id);
    Ref task = self.attr("_stagger_task"_id);
    if (!task.is_none()) {
        task.method("cancel"_id);
        self.setattr("_stagger_task"_id, Py_None);
    }
    for (Ref item : iterate(list_from(self.attr("_subs"_id).method("items"_id)))) {
        auto [symbol, sub] = unpack<2>(item);
        detach(self, ib, symbol, sub);
    }
    self.attr("_subs"_id).method("clear"_id);
    if (!ib.is_none() && !self.attr("_error_handler"_id).is_none())
        try_except(
            [&] {
                Ref errors = ib.attr("errorEvent"_id);
                ib.setattr("errorEvent"_id, isub(errors, self.attr("_error_handler"_id)).get());
            },
            [](const PyError&) {});
    self.setattr("_error_handler"_id, Py_None);
    co_return none();
}

// _make_update_handler.<locals>._on_update(bar_list, *_): the library emits (bars, hasNewBar)
void on_update(Handler s, Obj bar_list, Rest) {
    s.get<"self">().method("_pump_authoritative"_id, s.get<"symbol">(), bar_list);
}

Ref Manager_make_update_handler(Obj self, Str symbol) {
    // one handler per symbol for the manager's life: stop() detaches the object start connected
    Ref handlers = self.attr("_update_handlers"_id);
    Ref stored = get(handlers, symbol.get());
    if (!stored.is_none()) return stored;
    Ref scope = Handler::make();
    Handler(scope).set<"self">(self);
    Handler(scope).set<"symbol">(symbol);
    Ref handler = nested<&on_update>(scope, "_on_update", {"bar_list", "*_"});
    handlers.setitem(symbol.get(), handler.get());
    return handler;
}

void pump(Obj self, Obj symbol, Obj bar_list) {
    Ref sub = get(self.attr("_subs"_id), symbol.get());
    if (sub.is_none() || len(bar_list) == 0) return;
    Ref aggregator = get(sub.attr("iticker"_id).attr_or("bars"_id, new_dict()), num(60).get());
    if (aggregator.is_none() || !hasattr(aggregator, "ingest_authoritative_bar"_id)) return;
    Ref last = bar_list.item(-1);
    Ref dt = last.attr("date"_id);
    if (dt.is_none()) return;
    // a naive time is the exchange's wall clock
    if (dt.attr("tzinfo"_id).is_none()) {
        Ref replace = dt.attr("replace"_id);
        dt = replace(kw("tzinfo"_id, G("_EXCHANGE_TZ"_id)));
    }
    Ref bar_type = import_from("quorvane.tinyalgo"_id, "Bar"_id);
    Ref timestamp = float_of(G("_bucket_start_epoch"_id)(dt));
    Ref open = float_of(last.attr("open"_id));
    Ref high = float_of(last.attr("high"_id));
    Ref low = float_of(last.attr("low"_id));
    Ref close = float_of(last.attr("close"_id));
    Ref volume = last.attr("volume"_id);
    volume = truthy(volume) ? float_of(volume) : num(0.0);
    Ref bar = bar_type(kw("timestamp"_id, timestamp), kw("open"_id, open), kw("high"_id, high), kw("low"_id, low),
                       kw("close"_id, close), kw("volume"_id, volume));
    sub.setattr("last_seen"_id, G("time"_id).method("time"_id).get());
    aggregator.method("ingest_authoritative_bar"_id, bar);
}

void Manager_pump_authoritative(Obj self, Str symbol, Obj bar_list) {
    try_except([&] { pump(self, symbol, bar_list); },
               [&](const PyError&) { log("exception"_id, "barwarden pump failed for {}"_id, symbol); });
}

// ib_async forgets a request's contract once its first bars have arrived, so a live
// subscription's errors come without one: the subscription is found by its request id
Ref symbol_of_request(Obj self, Obj req_id) {
    for (Ref item : iterate(list_from(self.attr("_subs"_id).method("items"_id)))) {
        auto [symbol, sub] = unpack<2>(item);
        Ref answers = sub.attr("bar_list"_id).attr_or_none("reqId"_id);
        if (!answers.is_none() && eq(answers, req_id)) return symbol;
    }
    return Ref(Obj("?"_id));
}

void Manager_on_ib_error(Obj self, Obj req_id, Obj error_code, Obj, Obj contract) {
    if (ne(error_code, G("_BUST_ERROR_CODE"_id))) return;
    Ref now = G("time"_id).method("time"_id);
    Ref key = contract.attr_or_none("symbol"_id);
    if (!truthy(key)) key = symbol_of_request(self, req_id);
    Ref warned = self.attr("_bust_warned"_id);
    Ref last = get(warned, key.get(), num(0.0));
    if (!gt(subtract(now, last), 300)) return;
    warned.setitem(key.get(), now.get());
    log("warning"_id,
        "barwarden: bust trade reported for {} (10225); server bars already reflect the correction"_id, key);
}

}  // namespace

FRAME_MODULE(barwarden, "quorvane.server.barwarden",
             "Authoritative 1-minute bar override via IBKR's keepUpToDate feed.\n"
             "\n"
             "The local tick feed is a throttled snapshot feed: about every 250 ms several prints are folded\n"
             "into one update, so 1-minute bars aggregated from it can have too narrow a high/low range and\n"
             "too little volume.\n"
             "\n"
             "A historical-data request with keepUpToDate makes TWS aggregate the full trade stream on the\n"
             "server and refresh the forming bar about every 5 seconds; that bar is authoritative. This\n"
             "module only overrides the forming bar's data source: broadcasting and persistence stay with\n"
             "the host's aggregators.\n"
             "\n"
             "keepUpToDate needs an empty end time and bar sizes of at least 5 seconds; IB reports bust\n"
             "trades as error 10225, after which the server bars already carry the correction.\n") {
    m.import("asyncio");
    m.import("os");
    m.import("time");
    m.from_import("loguru", "logger");
    m.from_import("quorvane.server.kline_cache", "_EXCHANGE_TZ");
    m.set("MAX_SUBS", num(50));
    m.set("STAGGER_SECONDS", num(2.0));
    m.set("_BUST_ERROR_CODE", num(10225));
    m.def<&bucket_start_epoch>("_bucket_start_epoch", {"dt"},
                                "Floor an aware datetime to its UTC minute grid (epoch seconds).\n"
                                "\n"
                                "The 1-minute aggregator aligns its buckets on the plain UTC minute grid: a bar\n"
                                "whose time is not exactly a bucket start would be taken as stale.");

    ClassDef subscription("_SymbolSubscription", {}, "One keepUpToDate BarDataList plus its update wiring.");
    subscription.set("__slots__", tuple_of("bar_list"_id, "iticker"_id, "last_seen"_id, "symbol"_id));
    subscription.method<&Subscription_init>("__init__", {"self", {"symbol", required, "str"}, "iticker", "bar_list"});
    subscription.create();

    ClassDef manager("BarwardenManager", {}, "Owns the keepUpToDate subscription set and pumps overrides downstream.");
    manager.method<&Manager_init>("__init__", {"self", "icli_app"});
    manager.method<&Manager_start>("start", {"self"});
    manager.method<&Manager_stop>("stop", {"self"});
    manager.method<&Manager_subscribe_all>("_subscribe_all", {"self"}, nullptr,
                                           "Subscribe up to MAX_SUBS symbols, staggered to respect pacing.");
    manager.method<&Manager_subscribe_one>("_subscribe_one", {"self", {"symbol", required, "str"}, "iticker"});
    manager.method<&Manager_make_update_handler>("_make_update_handler", {"self", {"symbol", required, "str"}}, nullptr,
                                                 "One closure per symbol; kept here so stop() can detach symmetrically.");
    manager.method<&Manager_pump_authoritative>(
        "_pump_authoritative", {"self", {"symbol", required, "str"}, "bar_list"}, nullptr,
        "Feed the newest forming bar into the ticker's 1m aggregator.\n"
        "\n"
        "Never raises into the update event's emitter: a malformed bar ends in one\n"
        "exception-level log line, and the next update is pumped as usual.");
    manager.method<&Manager_on_ib_error>("_on_ib_error",
                                         {"self", "req_id", "error_code", "error_string", {"contract", none()}});
    manager.create();
}
