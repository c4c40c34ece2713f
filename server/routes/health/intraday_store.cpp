// One symbol's fresh one-minute bars -> the full bars stored in the cache (extended hours
// included, for indicators computed later) and the regular-hours sparkline payload.
// Blocking (pandas and a cache write): the batch route runs these on worker threads.
#include "routes.hpp"

namespace health {

// item[key] of a bar dict (dict subclasses answer through their own methods)
static Ref bar_item(Obj item, PyObject* key) {
    if (!PyDict_CheckExact(item.get())) return item.item(key);
    Ref value = dict_get(item, key);
    if (value.null()) raise_object(call(PyExc_KeyError, key).get());
    return value;
}

Ref store_and_slim(Obj cache, Str sym, List bar_dicts) {
    // cache.set(KlineCache.intraday_key(sym), bar_dicts): cache.set is looked up first
    Ref cache_set = cache.attr("set"_id);
    cache_set(G("KlineCache"_id).method("intraday_key"_id, sym), bar_dicts);
    // the regular-hours bars first, every item tested before any is sliced
    Ref rth = new_list();
    for (Ref item : iterate(bar_dicts)) {
        if (!item.is_none() && !PyDict_Check(item.get()))
            raise(PyExc_TypeError, "Expected dict, got %.200s", item.type_name());
        Ref is_rth_bar = G("KlineCache"_id).attr("is_rth_bar"_id);
        if (item.is_none()) item.method("get"_id, "date"_id);  // None has no get: AttributeError
        if (truthy(is_rth_bar(get(item, "date"_id)))) list_append(rth, item);
    }
    Ref bars = new_list();
    for (Ref item : iterate(rth)) {
        // read in the order written: a bar short of both names the date
        Ref date = bar_item(item, "date"_id), close = bar_item(item, "close"_id);
        list_append(bars, dict_of("date"_id, date, "close"_id, close));
    }
    return dict_of("bars"_id, bars);
}

// The bar time as the cache and the aggregators keep it: whole epoch seconds. (One body per
// lambda, each with its own qualified name.)
template <int Which>
Ref epoch_seconds(Obj value) {
    Ref moment = G("_as_datetime"_id)(value);
    return int_of(moment.method("timestamp"_id));
}

// df["date"] = df["date"].apply(lambda v: int(_as_datetime(v).timestamp()))
template <int Which>
void convert_dates(Obj frame, const char* lambda_qualname) {
    Ref convert = builtin<&epoch_seconds<Which>>(lambda_qualname, {"v"});
    frame.setitem("date"_id, frame.item("date"_id).method("apply"_id, convert).get());
}

// pandas builds a frame from dataclass records through dataclasses.asdict, whose deep copy
// costs more than the rest of the normalisation. For a list of flat records (IB's BarData:
// scalar fields) the field dicts give the same frame at a fraction of the cost; anything else
// (other containers, iterators, nested records) goes to pandas untouched. A null Ref: no
// records made. The bars are walked in a tuple of our own: reading a field runs Python code,
// which may change the caller's list.
static Ref records_of_flat_dataclasses(Obj bars) {
    if (!PyList_Check(bars.get()) && !PyTuple_Check(bars.get())) return Ref();
    Ref rows = tuple_from(bars);
    if (len(rows) == 0) return Ref();
    Ref type = type_of(rows.item(0));
    Ref dataclasses = import("dataclasses"_id);
    if (!truthy(dataclasses.method("is_dataclass"_id, type))) return Ref();
    Ref names = new_list();
    for (Ref field : iterate(dataclasses.method("fields"_id, type))) list_append(names, field.attr("name"_id));
    Ref records = new_list();
    for (Ref row : iterate(rows)) {
        if (!type_of(row).is(type.get())) return Ref();
        Ref record = new_dict();
        for (Ref name : iterate(names)) {
            Ref value = row.attr(name.get());
            // nested records and containers are deep-copied by asdict: leave them to pandas
            // (told by the types' flags, as asdict tells them, without running Python code)
            if (PyList_Check(value.get()) || PyTuple_Check(value.get()) || PyDict_Check(value.get()) ||
                hasattr(value, "__dataclass_fields__"_id))
                return Ref();
            dict_set(record, name.get(), value);
        }
        list_append(records, record);
    }
    return records;
}

Ref process_ibkr_bars(Obj cache, Str sym, Obj bars) {
    if (!truthy(bars)) return Ref(none());
    Ref flat = records_of_flat_dataclasses(bars);
    Ref frame = G("pd"_id).attr("DataFrame"_id)(flat.null() ? bars : Obj(flat)).method("convert_dtypes"_id);
    convert_dates<0>(frame, "_process_ibkr_bars.<locals>.<lambda>");
    Ref records = frame.method("to_dict"_id, kw("orient"_id, "records"_id));
    Ref slim = G("_store_and_slim"_id)(cache, sym, records);
    slim.setitem("source"_id, "ibkr"_id);
    return slim;
}

Ref process_yf_hist(Obj cache, Str sym, Obj hist) {
    if (hist.is_none() || truthy(hist.attr("empty"_id))) return Ref(none());
    Ref frame = hist.method("reset_index"_id);
    // the time index becomes the first column: "Datetime", or "index" when it had no name
    Ref first = to_str(frame.attr("columns"_id).item(0));
    Ref names = dict_of(first, "date"_id, "Open"_id, "open"_id, "High"_id, "high"_id, "Low"_id, "low"_id, "Close"_id,
                        "close"_id, "Volume"_id, "volume"_id);
    frame = frame.method("rename"_id, kw("columns"_id, names));
    for (PyObject* dropped : {"Dividends"_id, "Stock Splits"_id}) {
        if (!contains(frame.attr("columns"_id), dropped)) continue;
        frame = frame.method("drop"_id, kw("columns"_id, list_of(dropped)));
    }
    convert_dates<1>(frame, "_process_yf_hist.<locals>.<lambda>");
    Ref records = frame.method("convert_dtypes"_id).method("to_dict"_id, kw("orient"_id, "records"_id));
    Ref slim = G("_store_and_slim"_id)(cache, sym, records);
    slim.setitem("source"_id, "yfinance"_id);
    return slim;
}

}  // namespace health
