#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "frame/object.hpp"
#include "state.hpp"

namespace frame {

bool interpreter_exiting = false;

void drop_while_exiting(PyObject* p) noexcept {
    if (holding_interpreter()) Py_DECREF(p);
}

PyError::PyError() : exc_(PyErr_GetRaisedException()) {
    if (!exc_) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc_ = PyErr_GetRaisedException();
    }
}
PyError::PyError(PyObject* exc) noexcept : exc_(exc) {}
PyError::PyError(const PyError& o) noexcept : exc_(Py_XNewRef(o.exc_)) {}
PyError::~PyError() { drop(exc_); }

void PyError::restore() noexcept { PyErr_SetRaisedException(Py_NewRef(exc_)); }

void throw_error() { throw PyError(); }

void raise(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyError();
}

void raise_object(PyObject* exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw PyError();
}

Handling::Handling(PyObject* exc) noexcept : item_(PyThreadState_Get()->exc_info), saved_(item_->exc_value) {
    item_->exc_value = Py_NewRef(exc);
}

Handling::~Handling() {
    if (!holding_interpreter()) return;
    PyObject* handled = std::exchange(item_->exc_value, saved_);
    Py_XDECREF(handled);
}

PyError current_error() {
    try {
        throw;
    } catch (PyError& e) {
        return e;
    } catch (...) {
        rethrow_if_thread_ending();
        set_error_from_current();
        return PyError();
    }
}

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

PyObject* intern(const char* text) {
    // kept for the life of the process: interned names are never released
    return check(PyUnicode_InternFromString(text));
}

Ref str(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
Ref num(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref num(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

double as_double(Obj o) {
    double v = PyFloat_AsDouble(o.get());
    if (v == -1.0 && PyErr_Occurred()) throw_error();
    return v;
}

long long as_long(Obj o) {
    long long v = PyLong_AsLongLong(o.get());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

std::string_view as_utf8(Obj o) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o.get(), &n);
    if (!s) throw_error();
    return {s, static_cast<std::size_t>(n)};
}

Ref to_str(Obj o) { return Ref::steal(PyObject_Str(o.get())); }
Ref repr(Obj o) { return Ref::steal(PyObject_Repr(o.get())); }

Ref float_of(Obj o) {
    if (PyFloat_CheckExact(o.get())) return Ref(o);
    return Ref::steal(PyNumber_Float(o.get()));
}

Ref round_to(Obj x, int ndigits) {
    if (PyFloat_CheckExact(x.get()) && ndigits >= 0 && ndigits <= 17) {
        double v = PyFloat_AS_DOUBLE(x.get());
        if (!std::isfinite(v)) return Ref(x);
        // printf rounds the exact binary value correctly (ties to even), as round() does
        char text[400];
        std::snprintf(text, sizeof text, "%.*f", ndigits, v);
        return num(std::strtod(text, nullptr));
    }
    // round(x, ndigits): type(x).__round__, with the interpreter's text when there is none
    Ref method = lookup_special(x, "__round__"_id);
    if (method.null()) raise(PyExc_TypeError, "type %.100s doesn't define __round__ method", x.type_name());
    return method(ndigits);
}

Py_ssize_t len(Obj o) {
    Py_ssize_t n = PyObject_Length(o.get());
    if (n < 0) throw_error();
    return n;
}

Ref lookup_special(Obj o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o.get());
    Ref method(Obj{_PyType_Lookup(type, name)});
    if (method.null()) return method;
    descrgetfunc get = Py_TYPE(method.get())->tp_descr_get;
    if (!get) return method;
    return Ref::steal(get(method.get(), o.get(), reinterpret_cast<PyObject*>(type)));
}

namespace detail {

void unpack(Obj iterable, Ref* out, std::size_t n) {
    PyObject* it = PyObject_GetIter(iterable.get());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(iterable.get())->tp_iter &&
            !PySequence_Check(iterable.get())) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", iterable.type_name());
        }
        throw_error();
    }
    Ref iter = Ref::steal(it);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = next_item(iter);
        if (out[i].null())
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
    }
    if (!next_item(iter).null()) raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
}

WithExit enter_with(Obj manager, Ref& value) {
    Ref enter = lookup_special(manager, "__enter__"_id);
    if (enter.null()) raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol", manager.type_name());
    Ref exit = lookup_special(manager, "__exit__"_id);
    if (exit.null())
        raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
              manager.type_name());
    value = enter();
    return WithExit{std::move(exit)};
}

bool WithExit::operator()(const PyError* error) const {
    if (!error) {
        exit(none(), none(), none());
        return false;
    }
    // __exit__ runs inside the except block: what it raises has the error as its context
    Handling handling(*error);
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(error->value()));
    Ref suppress = exit(Obj(reinterpret_cast<PyObject*>(Py_TYPE(error->value()))), Obj(error->value()),
                        tb.null() ? none() : Obj(tb));
    return truthy(suppress);
}

}  // namespace detail

Ref new_dict() { return Ref::steal(PyDict_New()); }
Ref new_list(Py_ssize_t size) { return Ref::steal(PyList_New(size)); }
void dict_set(Obj d, PyObject* key, Arg value) { check(PyDict_SetItem(d.get(), key, value.p)); }
Ref dict_get(Obj d, PyObject* key) {
    PyObject* out;
    check(PyDict_GetItemRef(d.get(), key, &out));
    return Ref::steal_or_null(out);
}
Ref get(Obj mapping, PyObject* key, Obj fallback) {
    if (!PyDict_CheckExact(mapping.get()))
        return fallback.is_none() ? mapping.method("get"_id, key) : mapping.method("get"_id, key, fallback);
    Ref value = dict_get(mapping, key);
    return value.null() ? Ref(fallback) : value;
}

void list_append(Obj l, Arg value) { check(PyList_Append(l.get(), value.p)); }

namespace detail {

// The keyword-name tuple of a call. A call site passes the same names every time, so tuples are
// kept in a small direct-mapped table (state.kwnames), as the interpreter keeps them among a
// function's constants (a kept tuple holds its names, so their addresses stay theirs).
static Ref kwnames_of(const Kw* kws, std::size_t nkw) {
    if (nkw == 0) return Ref();
    std::size_t h = nkw;
    for (std::size_t i = 0; i < nkw; ++i) h = h * 31 + (reinterpret_cast<std::uintptr_t>(kws[i].name) >> 4);
    PyObject*& slot = state.kwnames[h % KWNAMES_SLOTS];
    if (slot && PyTuple_GET_SIZE(slot) == static_cast<Py_ssize_t>(nkw)) {
        std::size_t i = 0;
        while (i < nkw && PyTuple_GET_ITEM(slot, i) == kws[i].name) ++i;
        if (i == nkw) return Ref(Obj(slot));
    }
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
    for (std::size_t i = 0; i < nkw; ++i) PyTuple_SET_ITEM(names.get(), i, Py_NewRef(kws[i].name));
    Py_XSETREF(slot, Py_NewRef(names.get()));
    return names;
}

Ref vectorcall(PyObject* callable, PyObject** argv, std::size_t npos, const Kw* kws, std::size_t nkw) {
    Ref names = kwnames_of(kws, nkw);
    return Ref::steal(PyObject_Vectorcall(callable, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref vectorcall_method(PyObject* name, PyObject** argv, std::size_t npos, const Kw* kws, std::size_t nkw) {
    Ref names = kwnames_of(kws, nkw);
    return Ref::steal(PyObject_VectorcallMethod(name, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref call_unpacked(PyObject* fn, PyObject* items, const Kw* kws, std::size_t nkw) {
    Ref args = Ref::steal(PySequence_Tuple(items));
    Ref kwargs;
    if (nkw) {
        kwargs = new_dict();
        for (std::size_t i = 0; i < nkw; ++i) dict_set(kwargs, kws[i].name, kws[i].value.p);
    }
    return Ref::steal(PyObject_Call(fn, args.get(), kwargs.get()));
}

}  // namespace detail
}  // namespace frame
