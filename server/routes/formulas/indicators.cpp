// Indicator specs and the formula runs behind the batch route: parsing "NAME(p1,p2,...)", telling
// emitting formulas from snapshot ones, replaying snapshot formulas over bar prefixes, and
// shaping every result kind into {"plots": {plot id: points}}.
#include <cstring>
#include <vector>

#include "routes.hpp"

namespace formulas {

namespace {

// A str's code points, for scanning without building substrings (read in place through the C
// API: a call per character would be the scan's whole cost).
struct Text {
    explicit Text(Obj s)
        : s(s), kind(PyUnicode_KIND(s.get())), data(PyUnicode_DATA(s.get())), size(PyUnicode_GET_LENGTH(s.get())) {}
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool space(Py_ssize_t i) const { return Py_UNICODE_ISSPACE(at(i)); }
    // [begin, end) without the white space str.strip() removes
    void strip(Py_ssize_t& begin, Py_ssize_t& end) const {
        while (begin < end && space(begin)) ++begin;
        while (end > begin && space(end - 1)) --end;
    }
    // s[begin:end], without the slice object and bounds that frame::slice would build for it
    Ref slice(Py_ssize_t begin, Py_ssize_t end) const { return Ref::steal(PyUnicode_Substring(s.get(), begin, end)); }
    Obj s;
    int kind;
    const void* data;
    Py_ssize_t size;
};

bool name_char(Py_UCS4 c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-';
}

// [+-]?\d+ over the whole piece (\d: any Unicode decimal digit, as the regular expression has it)
bool integer_text(const Text& t, Py_ssize_t begin, Py_ssize_t end) {
    if (begin < end && (t.at(begin) == '+' || t.at(begin) == '-')) ++begin;
    if (begin == end) return false;
    for (Py_ssize_t i = begin; i < end; ++i)
        if (!Py_UNICODE_ISDECIMAL(t.at(i))) return false;
    return true;
}

// One parameter: int() of a signed integer, else float(), else the stripped text itself.
Ref param_of(const Text& t, Py_ssize_t begin, Py_ssize_t end) {
    t.strip(begin, end);
    Ref piece = t.slice(begin, end);
    bool integer = integer_text(t, begin, end);
    return try_except([&] { return integer ? int_of(piece) : float_of(piece); }, [&](const PyError&) { return piece; },
                      PyExc_ValueError);
}

// by the type's flags, as the formulas' own isinstance(v, (int, float)) finds them (isinstance()
// through the frame would also consult a __class__ attribute)
bool is_number(Obj v) { return PyLong_Check(v.get()) || PyFloat_Check(v.get()); }

// Whether the list the previous replay step passed, bars[:i] then, can become bars[:i + 1] by
// taking bars[i]: nothing else refers to it (the formula kept no reference) and it still holds
// exactly the first i items of bars as they are now (neither was changed). Then nobody can tell
// it from a fresh slice, and the replay does not copy i references at every bar, the quadratic
// part of its work. (Reference counts and the item arrays are C API only.)
bool extends_to(const Ref& prefix, Obj bars, Py_ssize_t i) {
    return !prefix.null() && Py_REFCNT(prefix.get()) == 1 && PyList_GET_SIZE(prefix.get()) == i &&
           i < PyList_GET_SIZE(bars.get()) &&
           std::memcmp(PySequence_Fast_ITEMS(prefix.get()), PySequence_Fast_ITEMS(bars.get()),
                       static_cast<std::size_t>(i) * sizeof(PyObject*)) == 0;
}

}  // namespace

// The indicator spec grammar is NAME (ASCII letters, digits, "_", "." and "-") optionally followed by one
// parenthesised parameter list without ")" inside, and nothing after it. Scanned by hand: a
// match of ^([A-Za-z0-9_.\-]+)(?:\(([^)]*)\))?$ on the stripped text.
Ref parse_ind(Str spec) {
    Text t(spec);
    Py_ssize_t begin = 0, end = t.size;
    t.strip(begin, end);
    Py_ssize_t name_end = begin;
    while (name_end < end && name_char(t.at(name_end))) ++name_end;
    if (name_end == begin) return Ref(none());
    Py_ssize_t inner_begin = name_end, inner_end = name_end;
    if (name_end < end) {
        if (t.at(name_end) != '(' || t.at(end - 1) != ')') return Ref(none());
        inner_begin = name_end + 1;
        inner_end = end - 1;
        for (Py_ssize_t i = inner_begin; i < inner_end; ++i)
            if (t.at(i) == ')') return Ref(none());
    }
    // the name is ASCII, where str.upper() changes letters only
    Ref name = t.slice(begin, name_end).method("upper"_id);
    t.strip(inner_begin, inner_end);
    Ref params = new_list();
    if (inner_begin < inner_end) {
        Py_ssize_t piece = inner_begin;
        for (Py_ssize_t i = inner_begin; i <= inner_end; ++i) {
            if (i < inner_end && t.at(i) != ',') continue;
            list_append(params, param_of(t, piece, i));
            piece = i + 1;
        }
    }
    return tuple_of(name, tuple_from(params));
}

bool supports_emit(Obj fn) {
    Ref sig = try_except([&] { return G("inspect"_id).method("signature"_id, fn); },
                         [](const PyError&) { return Ref(); }, PyExc_TypeError, PyExc_ValueError);
    if (sig.null()) return false;  // no signature to read
    for (Ref p : iterate(sig.attr("parameters"_id).method("values"_id))) {
        Ref kind = p.attr("kind"_id);
        if (eq(kind, G("inspect"_id).attr("Parameter"_id).attr("VAR_KEYWORD"_id))) return true;
        if (eq(p.attr("name"_id), "emit"_id)) return true;
    }
    return false;
}

bool is_stock_symbol(Str symbol) {
    Ref s = symbol.method("strip"_id).method("upper"_id);
    if (!truthy(s)) return false;
    Ref contract = try_except([&] { return import_from("quorvane.helpers"_id, "contractForName"_id)(s); },
                              [](const PyError&) { return Ref(); });
    if (contract.null()) return false;
    return eq(contract.attr_or_none("secType"_id), "STK"_id);
}

Ref snapshot_series(Obj fn, Obj bars, Tuple params) {
    Ref pts = new_list();
    Py_ssize_t n = len(bars);
    // fn is called through the C API's vectorcall: the prefix goes into a fixed argument array
    // that holds the parameters once for every step
    Py_ssize_t np = PyTuple_GET_SIZE(params.get());
    std::vector<PyObject*> argv(static_cast<std::size_t>(np) + 2);
    for (Py_ssize_t i = 0; i < np; ++i) argv[static_cast<std::size_t>(i) + 2] = PyTuple_GET_ITEM(params.get(), i);
    Ref prefix;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // fn(bars[:i + 1], *params)
        if (PyList_CheckExact(bars.get()) && extends_to(prefix, bars, i))
            list_append(prefix, PyList_GET_ITEM(bars.get(), i));
        else
            prefix = slice(bars, none(), i + 1);
        argv[1] = prefix.get();
        Ref r = Ref::steal(PyObject_Vectorcall(fn.get(), argv.data() + 1,
                                               static_cast<std::size_t>(np + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!PyDict_Check(r.get())) continue;
        Ref v = get(r, "value"_id);
        if (v.is_none() || !is_number(v)) continue;
        // bars[i], read in place from a list
        Ref bar = PyList_CheckExact(bars.get()) && i < PyList_GET_SIZE(bars.get())
                      ? Ref(Obj(PyList_GET_ITEM(bars.get(), i)))
                      : bars.item(i);
        Ref time = int_of(bar.attr("timestamp"_id));
        list_append(pts, dict_of("time"_id, time, "value"_id, v));
    }
    return dict_of("kind"_id, "series"_id, "series"_id, pts);
}

Ref normalize_plots(Dict result) {
    Ref kind = get(result, "kind"_id);
    if (eq(kind, "markers"_id)) return dict_of("plots"_id, dict_of("signal"_id, get(result, "markers"_id, new_list())));
    if (eq(kind, "multi"_id)) return dict_of("plots"_id, get(result, "plots"_id, new_dict()));
    for (PyObject* line : {"series"_id, "histogram"_id, "baseline"_id, "area"_id})
        if (eq(kind, line)) return dict_of("plots"_id, dict_of("value"_id, get(result, "series"_id, new_list())));
    return dict_of("plots"_id, dict_of("value"_id, new_list()));
}

Ref compute_indicators(List bars, List ind) {
    Ref registry = import_from("quorvane.formulas"_id, "registry"_id);
    Ref formula_key = import_from("quorvane.formulas"_id, "formula_key"_id);
    Ref results = new_dict();
    Ref errors = new_dict();
    for (Ref spec : iterate(ind)) {
        Ref parsed = G("_parse_ind"_id)(spec);
        if (parsed.is_none()) {
            errors.setitem(spec.get(), "invalid indicator spec"_id);
            continue;
        }
        // named through references, not bound as [name, params]: the lambda below captures params,
        // and clang 14 cannot capture a structured binding
        std::array<Ref, 2> name_params = unpack<2>(parsed);
        Ref& name = name_params[0];
        Ref& params = name_params[1];
        Ref fn = registry.method("get"_id, name);
        if (fn.is_none()) {
            errors.setitem(spec.get(), concat("Unknown formula: ", name).get());
            continue;
        }
        Ref key = formula_key(name, params);
        try_except(
            [&] {
                Ref res;
                if (truthy(G("_supports_emit"_id)(fn))) {
                    // fn(bars, *params, emit=True)
                    res = call_unpacked(fn, add(list_of(bars), list_from(params)), kw("emit"_id, true));
                } else {
                    res = G("_snapshot_series"_id)(fn, bars, params);
                }
                results.setitem(key.get(), G("_normalize_plots"_id)(res).get());
            },
            [&](const PyError& e) { errors.setitem(key.get(), to_str(e.value()).get()); });
    }
    return tuple_of(results, errors);
}

}  // namespace formulas
