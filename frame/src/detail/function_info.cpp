// What the frame knows of each function, the argument binder (with the interpreter's texts),
// the typed parameters' conversions, and the error exit of every function entry.
#include <string>
#include <string_view>

#include "frame/detail/invoke.hpp"
#include "state.hpp"

#include <frameobject.h>

namespace frame::detail {

[[gnu::tls_model("initial-exec")]] constinit thread_local const FunctionInfo* running_function = nullptr;

void FunctionInfo::init(const char* qual, Params params, bool is_coroutine, int line, const char* docstring) {
    std::string_view q(qual);
    auto dot = q.rfind('.');
    std::string short_name(dot == std::string_view::npos ? q : q.substr(dot + 1));
    qualname = intern(qual);
    doc = docstring;
    coroutine = is_coroutine;
    names.clear();
    defaults.clear();
    nrequired = 0;
    std::vector<PyObject*> code_names;  // as the signature reads: "*args" included
    for (const Param& p : params) {
        code_names.push_back(intern(p.name));
        if (p.name[0] == '*') {
            rest = intern(p.name + 1);
            continue;
        }
        names.push_back(intern(p.name));
        // the defaults are kept for the life of the process, with the function's other constants
        defaults.push_back(Py_XNewRef(p.default_value.get()));
        if (p.default_value.null()) nrequired = static_cast<Py_ssize_t>(names.size());
    }
    PyObject* short_id = intern(short_name.c_str());
    code = make_code(short_id, qualname, code_names, line, coroutine);
    // tracebacks print co_name: their entries carry the qualified name there
    traceback_code = make_code(qualname, qualname, code_names, line, coroutine);
    def.ml_name = PyUnicode_AsUTF8(short_id);  // interned names live as long as the process
    def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def.ml_doc = docstring;
    name = short_id;
}

// ---------------------------------------------------------------------------------------------
// The argument binder, with the interpreter's texts

[[noreturn]] static void argtuple_error(const FunctionInfo& fi, Py_ssize_t found) {
    Py_ssize_t max = static_cast<Py_ssize_t>(fi.names.size());
    Py_ssize_t min = fi.nrequired;
    const char* more_or_less;
    Py_ssize_t expected;
    if (found < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (min == max && !fi.rest) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", PyUnicode_AsUTF8(fi.name),
          more_or_less, expected, expected == 1 ? "" : "s", found);
}

static Py_ssize_t param_index(const FunctionInfo& fi, PyObject* key) {
    Py_ssize_t n = static_cast<Py_ssize_t>(fi.names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (fi.names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(fi.names[i], key);
        if (eq == -1 && PyErr_Occurred()) throw_error();
        if (eq == 0) return i;
    }
    return -1;
}

static PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return kwvalues[j];
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (PyUnicode_Compare(key, name) == 0) return kwvalues[j];
    }
    return nullptr;
}

void bind(const FunctionInfo& fi, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    Py_ssize_t np = static_cast<Py_ssize_t>(fi.names.size());
    if (nargs > np && !fi.rest) argtuple_error(fi, nargs);  // with *args the rest goes there
    for (Py_ssize_t i = 0; i < np; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, j)))
                raise(PyExc_TypeError, "%.200s() keywords must be strings", PyUnicode_AsUTF8(fi.name));
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < np; ++i) {
            out[i] = find_keyword(kwnames, kwvalues, fi.names[i]);
            if (out[i]) ++used;
            else if (i < fi.nrequired) argtuple_error(fi, i);
        }
        if (used < nkw) {
            for (Py_ssize_t j = 0; j < nkw; ++j) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, j);
                Py_ssize_t p = param_index(fi, key);
                if (p >= nargs) continue;
                if (p >= 0)
                    raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                          PyUnicode_AsUTF8(fi.name), key);
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", PyUnicode_AsUTF8(fi.name), key);
            }
        }
    } else if (nargs < fi.nrequired) {
        argtuple_error(fi, nargs);
    }
    for (Py_ssize_t i = nargs; i < np; ++i)
        if (!out[i]) out[i] = fi.defaults[i];
}

void raise_arg_type(PyObject* argname, const char* expected, PyObject* given) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          PyUnicode_AsUTF8(argname), expected, Py_TYPE(given)->tp_name);
}

PyObject* to_int(PyObject* o, PyObject* name, Ref& hold) {
    if (PyLong_CheckExact(o)) return o;
    if (o == Py_None || PyUnicode_Check(o) || !PyNumber_Check(o)) raise_arg_type(name, "int", o);
    hold = Ref::steal(PyNumber_Long(o));
    return hold.get();
}

PyObject* to_float(PyObject* o, PyObject* name, Ref& hold) {
    if (PyFloat_CheckExact(o)) return o;
    if (o == Py_None || PyUnicode_Check(o) || !PyNumber_Check(o)) raise_arg_type(name, "float", o);
    hold = Ref::steal(PyNumber_Float(o));
    return hold.get();
}

// ---------------------------------------------------------------------------------------------
// Tracebacks

void add_traceback(PyObject* code) noexcept {
    if (!code || !PyErr_Occurred()) return;
    PyObject* exc = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       state.dict, nullptr);
    if (!frame) {
        // no entry rather than losing the exception being reported
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void fail(const FunctionInfo& fi) noexcept {
    set_error_from_current();
    add_traceback(fi.traceback_code);
}

}  // namespace frame::detail
