// Awaiting Python awaitables from bodies, as `await` does (the iterator an await delegates to,
// with the interpreter's texts), and the helpers a body uses for try/except, try/finally,
// async with and async for.
#include "detail/driver.hpp"

namespace frame {

using detail::awaiting_already;
using detail::coroutine_type;

namespace {

bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool flagged = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return flagged;
}

// The iterator an `await` of o delegates to (new reference), or null with the error set.
PyObject* await_iter(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (PyCoro_CheckExact(o) || type == coroutine_type()) {
        // a coroutine suspended in an await of its own is someone else's to resume
        if (awaiting_already(o)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (is_iterable_coroutine(o)) return Py_NewRef(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it) || is_iterable_coroutine(it)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    } else if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
    } else {
        return it;
    }
    Py_DECREF(it);
    return nullptr;
}

// await_iter, with the texts of `async with` and `async for` where the awaitable came from one
PyObject* await_iter(PyObject* o, AwaitFor purpose) {
    PyObject* it = await_iter(o);
    if (it || purpose == AwaitFor::await) return it;
    PyTypeObject* type = Py_TYPE(o);
    if (purpose == AwaitFor::anext) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s", type->tp_name);
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    } else if (!type->tp_as_async || !type->tp_as_async->am_await) {
        PyErr_Format(PyExc_TypeError, "'async with' received an object from __a%s__ that does not implement __await__: %.100s",
                     purpose == AwaitFor::aenter ? "enter" : "exit", type->tp_name);
    }
    return nullptr;
}

}  // namespace

bool PyAwaiter::await_suspend(Co::handle h) {
    // a new object is dropped once its iterator is taken (the iterator keeps what it needs)
    Ref drop = std::move(owned);
    PyObject* it = await_iter(awaitable, purpose);
    awaitable = nullptr;
    if (!it) {
        error.emplace();
        return false;
    }
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &value);
    if (r != PYGEN_NEXT) {
        if (r == PYGEN_RETURN) result = Ref::steal_or_null(value);
        else error.emplace();
        Py_DECREF(it);
        return false;
    }
    detail::Driver* d = h.promise().driver;
    d->leaf = h;
    d->waiting = this;
    d->delegate = Ref::steal_or_null(it);
    d->yielded = Ref::steal_or_null(value);
    return true;
}

Ref PyAwaiter::await_resume() {
    if (error) {
        PyError e = std::move(*error);
        error.reset();
        throw e;
    }
    return std::move(result);
}

// ---------------------------------------------------------------------------------------------
// try/except, try/finally, async with, async for

Outcome OutcomeAwaiter::await_resume() {
    Outcome out;
    auto& p = child.get().promise();
    if (p.error) {
        if (!everything && !p.error->is_exception()) {
            PyError e = std::move(*p.error);
            p.error.reset();
            throw e;
        }
        out.error_ = Ref(Obj(p.error->value()));
        p.error.reset();
    } else {
        out.value_ = std::move(p.result);
    }
    return out;
}

Ref Outcome::get() const {
    if (failed()) throw error();
    return value();
}

Co try_finally(Co body, Co cleanup) {
    Outcome outcome = co_await detail::capture_all(std::move(body));
    std::optional<Handling> handling;
    if (outcome.failed()) handling.emplace(outcome.error());
    Ref done = co_await std::move(cleanup);
    handling.reset();
    co_return outcome.get();
}

namespace detail {

Ref async_enter(Obj manager, Held& exit) {
    Ref enter = lookup_special(manager, "__aenter__"_id);
    if (enter.null())
        raise(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
              manager.type_name());
    Ref found = lookup_special(manager, "__aexit__"_id);
    if (found.null())
        raise(PyExc_TypeError,
              "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)",
              manager.type_name());
    exit = std::move(found);
    return enter();
}

// __aexit__(type, value, traceback) of the outcome's error, or (None, None, None)
namespace {
Ref call_exit(Obj exit, const Outcome& outcome) {
    if (!outcome.failed()) return exit(none(), none(), none());
    PyError e = outcome.error();
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(e.value()));
    return exit(Obj(reinterpret_cast<PyObject*>(Py_TYPE(e.value()))), Obj(e.value()), tb.null() ? none() : Obj(tb));
}
}  // namespace

Co async_exit(Obj exit, Outcome outcome) {
    if (!outcome.failed()) {
        Ref exiting = call_exit(exit, outcome);
        Ref done = co_await awaitable(std::move(exiting), AwaitFor::aexit);
        co_return outcome.value();
    }
    // __aexit__ runs inside the except block: what it raises has the error as its context
    Handling handling(outcome.error());
    Ref exiting = call_exit(exit, outcome);
    Ref suppress = co_await awaitable(std::move(exiting), AwaitFor::aexit);
    if (!truthy(suppress)) outcome.get();
    co_return none();
}

}  // namespace detail

AsyncFor::AsyncFor(Obj iterable) {
    PyTypeObject* type = Py_TYPE(iterable.get());
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
    if (!getter) raise(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", type->tp_name);
    Ref it = Ref::steal(getter(iterable.get()));
    PyTypeObject* it_type = Py_TYPE(it.get());
    if (!it_type->tp_as_async || !it_type->tp_as_async->am_anext)
        raise(PyExc_TypeError, "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
              it_type->tp_name);
    iterator_ = std::move(it);
}

AsyncFor::NextAwaiter AsyncFor::next() {
    PyTypeObject* type = Py_TYPE(iterator_.get());
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_anext : nullptr;
    if (!getter) raise(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s", type->tp_name);
    Ref next = Ref::steal(getter(iterator_.get()));
    NextAwaiter w;
    w.awaitable = next.get();
    w.owned = std::move(next);
    w.purpose = AwaitFor::anext;
    return w;
}

Ref AsyncFor::NextAwaiter::await_resume() {
    if (error && error->matches(PyExc_StopAsyncIteration)) {
        error.reset();
        return Ref();
    }
    return PyAwaiter::await_resume();
}

}  // namespace frame
