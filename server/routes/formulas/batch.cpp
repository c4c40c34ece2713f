// GET /api/v1/formulas/batch: every requested indicator of one symbol over its bars, computed on a
// worker thread; identical requests within five seconds share one computation.
#include <vector>

#include "routes.hpp"

namespace formulas {

namespace {

constexpr Py_ssize_t CACHE_SWEEP_ABOVE = 64;

Ref failure(Obj error) { return dict_of("success"_id, false, "error"_id, error); }

// await get_bars(SYMBOL, period, count, adjust="none")
Co load_bars(Obj get_bars, Obj symbol, Obj period, Obj count) {
    Ref loading = get_bars(symbol, period, count, kw("adjust"_id, "none"_id));
    Ref frame = co_await awaitable(std::move(loading));
    co_return frame;
}

// One Bar per record with a usable date, in record order.
Ref bars_of(Obj frame, Obj as_epoch) {
    Ref bars = new_list();
    if (frame.is_none() || truthy(frame.attr("empty"_id))) return bars;
    for (Ref d : iterate(frame.method("to_dict"_id, kw("orient"_id, "records"_id)))) {
        Ref ts = as_epoch(get(d, "date"_id));
        if (ts.is_none()) continue;
        // Bar(timestamp=ts, open=d["open"], ...), its arguments read in the order written: a
        // record short of several fields names the first one missing
        Ref bar = G("Bar"_id);
        Ref open = d.item("open"_id), high = d.item("high"_id), low = d.item("low"_id), close = d.item("close"_id);
        Ref volume = get(d, "volume"_id, num(0.0));
        list_append(bars, bar(kw("timestamp"_id, ts), kw("open"_id, open), kw("high"_id, high), kw("low"_id, low),
                              kw("close"_id, close), kw("volume"_id, volume)));
    }
    return bars;
}

// time >= since for the points' time values, with the interpreter's result. Ints compare in C
// as (overflow, value) pairs of PyLong_AsLongLongAndOverflow, beyond 64 bits through int's own
// comparison (which runs no Python code); a float time too while since is within 2**53, where a
// double holds it exactly; anything else goes through the comparison protocol. (The C API here
// reads ints, floats and dict entries in place, a step per point the frame's handles would make a
// call of.)
class AtOrAfter {
public:
    explicit AtOrAfter(Obj since) : since_(since) {
        ints_ = PyLong_CheckExact(since.get());
        if (ints_) value_ = PyLong_AsLongLongAndOverflow(since.get(), &overflow_);
        floats_ = ints_ && !overflow_ && value_ > -(1LL << 53) && value_ < (1LL << 53);
    }
    // time: borrowed, alive until here (what the comparison protocol may run holds its own reference)
    bool operator()(Obj time) const {
        PyObject* t = time.get();
        if (ints_ && PyLong_CheckExact(t)) {
            auto* n = reinterpret_cast<PyLongObject*>(t);
            int overflow = 0;
            long long v = PyUnstable_Long_IsCompact(n) ? PyUnstable_Long_CompactValue(n)
                                                      : PyLong_AsLongLongAndOverflow(t, &overflow);
            if (overflow != overflow_) return overflow > overflow_;
            if (overflow == 0) return v >= value_;
            return PyLong_Type.tp_richcompare(t, since_.get(), Py_GE) == Py_True;
        }
        if (floats_ && PyFloat_CheckExact(t)) return PyFloat_AS_DOUBLE(t) >= static_cast<double>(value_);
        return ge(Ref(time), since_);
    }
    // p.get("time", 0) >= since
    bool point(Obj p, Obj zero) const {
        if (!PyDict_CheckExact(p.get())) return (*this)(get(p, "time"_id, zero));
        // a dict's "time" without a call. Formulas build points with "time" first, as the very
        // interned str: the first entry then is the one a lookup finds, else the lookup runs.
        Py_ssize_t pos = 0;
        PyObject *key, *t;
        if (!PyDict_Next(p.get(), &pos, &key, &t) || key != "time"_id) {
            t = PyDict_GetItemWithError(p.get(), "time"_id);
            if (!t && PyErr_Occurred()) throw_error();
        }
        return (*this)(t ? t : zero.get());
    }
private:
    Obj since_;
    long long value_ = 0;
    int overflow_ = 0;
    bool ints_ = false, floats_ = false;
};

// After a store: past 64 entries, every entry stored before now - TTL goes.
void sweep(Obj cache, Obj now, Obj ttl) {
    if (len(cache) <= CACHE_SWEEP_ABOVE) return;
    Ref cutoff = subtract(now, ttl);
    Ref stale = new_list();
    for (Ref item : iterate(cache.method("items"_id))) {
        auto [key, entry] = unpack<2>(item);
        Ref stored_at = unpack<2>(entry)[0];
        if (lt(stored_at, cutoff)) list_append(stale, key);
    }
    for (Ref key : iterate(stale)) delitem(cache, key);
}

// A list holding the references of `items`, which are left empty.
// (C API: the new list takes the references over, where list_append would add one each.)
Ref list_taking(std::vector<Ref>& items) {
    Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

// The indicators as the response carries them for `since`: copies holding the points at or after
// it. The cached payloads are never narrowed, so a later request gets every point.
Ref points_since(Obj indicators, Obj since) {
    AtOrAfter kept_at(since);
    Ref zero = num(0);
    Ref filtered = new_dict();
    for (Ref item : iterate(indicators.method("items"_id))) {
        auto [key, payload] = unpack<2>(item);
        Ref absent = new_dict();
        Ref plots_of = get(payload, "plots"_id, absent);
        if (plots_of.is(absent.get())) {
            // no plots to filter: the payload as it is
            dict_set(filtered, key.get(), payload);
            continue;
        }
        Ref plots = new_dict();
        for (Ref plot : iterate(plots_of.method("items"_id))) {
            auto [id, points] = unpack<2>(plot);
            std::vector<Ref> kept;
            if (PyList_CheckExact(points.get())) kept.reserve(static_cast<std::size_t>(len(points)));
            for (Ref p : iterate(points))
                if (kept_at.point(p, zero)) kept.push_back(p);
            dict_set(plots, id.get(), list_taking(kept));
        }
        Ref copy = new_dict();
        dict_update(copy, payload);
        dict_set(copy, "plots"_id, plots);
        dict_set(filtered, key.get(), copy);
    }
    return filtered;
}

}  // namespace

Co formula_batch([[maybe_unused]] Obj request, Str symbol, Str period, Int count, Obj ind, Int since) {
    if (!truthy(ind)) co_return failure("no indicators requested"_id);
    if (!truthy(G("_is_stock_symbol"_id)(symbol)))
        co_return failure(concat("formulas only apply to stocks and ETFs: ", symbol));
    Held get_bars = import_from("quorvane.data.loader"_id, "get_bars"_id);
    Held as_epoch = import_from("quorvane.server.kline_cache"_id, "_as_epoch"_id);
    Held upper = symbol.method("upper"_id);

    Outcome loaded = co_await attempt(load_bars(get_bars, upper, period, count));
    if (loaded.failed()) {
        Ref text = to_str(loaded.error().value());
        co_return failure(concat("bars unavailable for ", symbol, ": ", text));
    }
    Held bars = bars_of(loaded.value(), as_epoch);
    if (len(bars) == 0) co_return failure(concat("No bars for ", symbol, " ", period));

    // the indicator spec set, in any order, is one key
    Held key = tuple_of(upper, period, count, tuple_from(G("sorted"_id)(ind)));
    Held now = G("time"_id).method("monotonic"_id);
    Held hit = get(G("_batch_cache"_id), key.get());
    bool stale = hit.is_none();
    if (!stale) {
        Ref age = subtract(now, hit.item(0));
        stale = ge(age, G("_BATCH_TTL"_id));
    }
    Held computed;
    if (stale) {
        Held to_thread = G("asyncio"_id).attr("to_thread"_id);
        Ref computing = to_thread(G("_compute_indicators"_id), bars, ind);
        Ref result = co_await awaitable(std::move(computing));
        auto [indicators, errors] = unpack<2>(result);
        computed = tuple_of(indicators, errors);
        // the cache as it is now: the loop ran other requests while this one computed
        Ref cache = G("_batch_cache"_id);
        cache.setitem(key.get(), tuple_of(now, computed).get());
        sweep(cache, now, G("_BATCH_TTL"_id));
    } else {
        computed = hit.item(1);
    }
    auto [indicators, errors] = unpack<2>(computed);
    if (gt(since, 0)) indicators = points_since(indicators, since);
    co_return dict_of("success"_id, true, "symbol"_id, upper, "period"_id, period, "count"_id, count, "since"_id, since,
                      "indicators"_id, indicators, "errors"_id, errors);
}

}  // namespace formulas
