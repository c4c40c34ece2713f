// A test-only module that exercises the frame's features; built for the tests, never installed.
#include "frame/frame.hpp"

using namespace frame;

namespace {

Ref add3(Obj a, Obj b, Obj c) {
    Ref ab = Ref::steal(PyNumber_Add(a.get(), b.get()));
    return Ref::steal(PyNumber_Add(ab.get(), c.get()));
}

Ref typed(Str s, Int i, Float f, Dict d, List l) { return tuple_of(s, i, f, d, l); }
Ref optional(Obj a, Obj b, Obj c) { return tuple_of(a, b, c); }
Ref maybe(Opt<Float> x) { return Ref(x); }
Ref get_flag() { return G("FLAG"_id); }

void deeper(Int depth, Str message) {
    if (depth.value() <= 0) raise_object(call(PyExc_ValueError, message).get());
    G("_deeper"_id)(depth.value() - 1, message);
}
void raise_deep(Int depth, Str message) { G("_deeper"_id)(depth.value() - 1, message); }

using Counter = Vars<"make_counter", "count">;
Ref counter_step(Counter scope, Obj n) {
    Ref next = Ref::steal(PyNumber_InPlaceAdd(scope.get<"count">().get(), n.get()));
    scope.set<"count">(next);
    return next;
}
Ref make_counter(Obj start) {
    Ref scope = Counter::make();
    Counter(scope).set<"count">(start);
    return nested<&counter_step>(scope, "step", {{"n", 1}});
}

using Unbound = Vars<"make_unbound", "value">;
Ref unbound_peek(Unbound scope) { return scope.get<"value">(); }
Ref make_unbound() { return nested<&unbound_peek>(Unbound::make(), "peek"); }

Co noop(Obj value) { co_return Ref(value); }

Co await_one(Obj aw) {
    Ref result = co_await awaitable(aw);
    co_return result;
}

// a chain of native frames with no Python object in between
Co chain(long long depth, Obj aw) {
    if (depth <= 0) {
        Ref result = co_await awaitable(aw);
        co_return result;
    }
    Ref result = co_await chain(depth - 1, aw);
    co_return result;
}
Co await_native(Int depth, Obj aw) {
    Ref result = co_await chain(depth.value(), aw);
    co_return result;
}

Co catch_await(Obj aw) {
    std::optional<PyError> failure;
    Ref result;
    try {
        Ref got = co_await awaitable(aw);
        result = got;
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        failure = e;
    }
    if (failure) co_return tuple_of("caught"_id, failure->value());
    co_return tuple_of("ok"_id, result);
}

Co exc_info_in_handler(Obj aw) {
    std::optional<PyError> failure;
    try {
        Ref got = co_await awaitable(aw);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        failure = e;
    }
    if (failure) {
        Handling handling(*failure);
        Ref info = import("sys"_id).method("exc_info"_id);
        co_return Ref(Obj(PyTuple_GET_ITEM(info.get(), 1)));
    }
    co_return none();
}

Co ignore_exit(Obj aw) {
    try {
        Ref got = co_await awaitable(aw);
    } catch (PyError& e) {
        if (!e.matches(PyExc_GeneratorExit)) throw;
    }
    Ref again = co_await awaitable(aw);
    co_return none();
}

Co sleep_then(Obj seconds, Obj value) {
    Ref sleep = G("asyncio"_id).method("sleep"_id, seconds);
    Ref slept = co_await awaitable(std::move(sleep));
    co_return Ref(value);
}

// async with manager as value: return (value, await aw)
Co pair_with(Obj value, Obj aw) {
    Ref result = co_await awaitable(aw);
    co_return tuple_of(value, result);
}
Co use_manager(Obj manager, Obj aw) {
    Ref result = co_await async_with(manager, &pair_with, aw);
    co_return result;
}

// out = []; async for item in iterable: out.append(item); return out
Co walk(Obj iterable) {
    Held out = new_list();
    AsyncFor items(iterable);
    for (;;) {
        Ref item = co_await items.next();
        if (item.null()) break;
        list_append(out, item);
    }
    co_return out;
}

// try: return await aw  finally: await cleanup(sys.exc_info()[1])
Co await_body(Obj aw) {
    Ref result = co_await awaitable(aw);
    co_return result;
}
Co cleanup_body(Obj cleanup) {
    Ref handled = Ref::steal_or_null(PyErr_GetHandledException());
    Ref pending = cleanup(handled.null() ? none() : Obj(handled));
    Ref done = co_await awaitable(std::move(pending));
    co_return none();
}
Co guarded(Obj aw, Obj cleanup) {
    Ref result = co_await try_finally(await_body(aw), cleanup_body(cleanup));
    co_return result;
}

// try: return await aw  except Exception as e: return await handler(e)
Co recover(Obj aw, Obj handler) {
    Outcome outcome = co_await attempt(await_body(aw));
    if (!outcome.failed()) co_return outcome.value();
    PyError error = outcome.error();
    Handling handling(error);
    Ref pending = handler(Obj(error.value()));
    Ref result = co_await awaitable(std::move(pending));
    co_return result;
}

void Widget_init(Obj self, Int size) { self.setattr("size"_id, size.get()); }

Ref Widget_grow(Obj self, Int by) {
    Ref size = Ref::steal(PyNumber_InPlaceAdd(self.attr("size"_id).get(), by.get()));
    self.setattr("size"_id, size.get());
    return size;
}

Co Widget_later(Obj self, Obj aw) {
    Ref result = co_await awaitable(aw);
    co_return tuple_of(self.attr("size"_id), result);
}

Co handler(Int x) { co_return dict_of("x"_id, x); }

// keys given as text: each key string lives until its item is stored
Ref text_keys(Obj value) { return dict_of("alpha", value, std::string_view("beta"), 2); }

}  // namespace

// (a < b, a <= b, a == b, a != b, a > b, a >= b), in that order
Ref compare(Obj a, Obj b) {
    Ref out = new_list();
    for (auto op : {lt, le, eq, ne, gt, ge}) list_append(out, op(a, b));
    return tuple_from(out);
}
// the same comparisons' own results
Ref compare_objects(Obj a, Obj b) {
    Ref out = new_list();
    for (int op : {Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE}) list_append(out, rich_compare(a, b, op));
    return tuple_from(out);
}
Ref arithmetic(Obj a, Obj b) {
    Ref out = new_list();
    for (auto op : {add, subtract, multiply, divide, floor_divide, modulo}) list_append(out, op(a, b));
    return tuple_from(out);
}
// (item in o, isinstance(o, type), o[1:3], o[:-1], tuple(o), f"<{o}>", type(o)), in that order
Ref sequence_ops(Obj o, Obj item, Obj type) {
    Ref out = list_of(contains(o, item));
    list_append(out, isinstance(o, type));
    list_append(out, slice(o, 1, 3));
    list_append(out, slice(o, none(), -1));
    list_append(out, tuple_from(o));
    list_append(out, concat("<", formatted(o), ">"));
    list_append(out, type_of(o));
    return tuple_from(out);
}
// [each(x) or x for x in iterable]
Ref collect(Obj iterable, Obj each) {
    Ref out = new_list();
    for (Ref x : iterate(iterable)) {
        each(x);
        list_append(out, x);
    }
    return out;
}

FRAME_MODULE(_frametest, "_frametest", "Frame test module.") {
    m.import("asyncio");
    m.set("FLAG", str("flag"));
    m.def<&add3>("add3", {"a", "b", "c"});
    m.def<&typed>("typed", {"s", "i", "f", "d", "l"});
    m.def<&optional>("optional", {"a", {"b", none()}, {"c", none()}});
    m.def<&maybe>("maybe", {{"x", none()}});
    m.def<&get_flag>("get_flag");
    m.def<&raise_deep>("raise_deep", {"depth", "message"});
    m.def<&deeper>("_deeper", {"depth", "message"});
    m.def<&make_counter>("make_counter", {"start"});
    m.def<&make_unbound>("make_unbound");
    m.def<&noop>("noop", {"value"});
    m.def<&await_one>("await_one", {"awaitable"});
    m.def<&await_native>("await_native", {"depth", "awaitable"});
    m.def<&catch_await>("catch_await", {"awaitable"});
    m.def<&exc_info_in_handler>("exc_info_in_handler", {"awaitable"});
    m.def<&ignore_exit>("ignore_exit", {"awaitable"});
    m.def<&sleep_then>("sleep_then", {"seconds", "value"});
    m.def<&use_manager>("use_manager", {"manager", "awaitable"});
    m.def<&walk>("walk", {"iterable"});
    m.def<&guarded>("guarded", {"awaitable", "cleanup"});
    m.def<&recover>("recover", {"awaitable", "handler"});
    m.def<&text_keys>("text_keys", {"value"});
    m.def<&compare>("compare", {"a", "b"});
    m.def<&compare_objects>("compare_objects", {"a", "b"});
    m.def<&arithmetic>("arithmetic", {"a", "b"});
    m.def<&sequence_ops>("sequence_ops", {"o", "item", "type"});
    m.def<&collect>("collect", {"iterable", "each"});

    ClassDef widget("Widget", {}, "A widget.");
    widget.set("kind", str("widget"));
    widget.method<&Widget_init>("__init__", {"self", {"size", 1, "int"}}, "None");
    widget.method<&Widget_grow>("grow", {"self", {"by", 1, "int"}}, "int");
    widget.method<&Widget_later>("later", {"self", "awaitable"}, "tuple");
    widget.create();

    Ref route = function<&handler>("handler", {{"x", 5, "int"}}, "dict");
    set_signature(route, signature({{"x", reinterpret_cast<PyObject*>(&PyLong_Type), num(5)}},
                                   reinterpret_cast<PyObject*>(&PyDict_Type)));
    m.set("handler", route);
}
