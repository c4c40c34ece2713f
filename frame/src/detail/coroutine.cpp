// The Python coroutine object over a chain of C++ coroutine frames.
//
// The chain runs until its innermost frame (the leaf) awaits a Python iterator that does not
// finish at once; the iterator's yielded value then goes up to whoever drives us (an asyncio
// Task, or an `await` in Python code), untouched. Later sends, throws and closes go to that
// iterator first, exactly as `yield from` does, and its outcome resumes the leaf. A frame that
// completes resumes its parent; the root's completion completes the coroutine.
#include <optional>
#include <utility>

#include "detail/driver.hpp"
#include "frame/detail/coroutine.hpp"
#include "frame/detail/recursion.hpp"
#include "state.hpp"

#include <frameobject.h>

namespace frame::detail {

namespace {

// where the body is: not started, suspended in an await, running, or done (or closed)
enum class Phase : char { created, suspended, running, finished };

struct CoroutineObject {
    PyObject_VAR_HEAD
    const FunctionInfo* fi;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    Driver driver;
    _PyErr_StackItem exc_state;  // the exception its body is handling, as an async def frame has
    Phase phase;
    PyObject* args[1];    // ob_size arguments, owned for the body's lifetime
};

CoroutineObject* as_coro(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// While a coroutine runs: its exception state is the thread's innermost (what sys.exc_info()
// and a Handling see, as for an async def frame), the Helds made belong to its driver, its
// function is the running function, and the interpreter's recursion limit counts it. It does not
// run when the thread's stack is nearly used up (RecursionError).
class Activation {
public:
    explicit Activation(CoroutineObject* c) noexcept : c_(c), entered_(depth_.entered() && !stack_exhausted()) {
        if (!entered_) return;
        PyThreadState* ts = depth_.thread();
        c->exc_state.previous_item = ts->exc_info;
        ts->exc_info = &c->exc_state;
        driver_ = std::exchange(running_driver, &c->driver);
        function_ = std::exchange(running_function, c->fi);
    }
    ~Activation() {
        if (!entered_ || !holding_interpreter()) return;
        depth_.thread()->exc_info = c_->exc_state.previous_item;
        c_->exc_state.previous_item = nullptr;
        running_driver = driver_;
        running_function = function_;
    }
    bool entered() const noexcept { return entered_; }
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;
private:
    RecursionGuard depth_;
    CoroutineObject* c_;
    bool entered_;
    Driver* driver_ = nullptr;
    const FunctionInfo* function_ = nullptr;
};

// Releases the chain's frames (their locals) and the awaited iterator; a pending error is kept
// aside meanwhile, since releasing objects may run Python code.
void release_frames(CoroutineObject* c, bool error_pending) {
    Driver& d = c->driver;
    if (!d.root && d.delegate.null()) return;
    std::optional<ErrorGuard> keep;
    if (error_pending) keep.emplace();
    d.leaf = {};
    d.waiting = nullptr;
    if (d.root) Co::destroy_frame(std::exchange(d.root, {}));
    d.delegate = Ref();
}

// An exception thrown into the body gets the exception the body is handling as its context, as
// the interpreter chains one thrown into a coroutine frame.
void chain_thrown(CoroutineObject* c) {
    PyObject* handled = c->exc_state.exc_value;
    if (!handled || handled == Py_None) return;
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

// After the chain ran: the yielded value, the result, or the error.
PySendResult settle(CoroutineObject* c, PyObject** out) {
    Driver& d = c->driver;
    if (!d.root.done()) {
        c->phase = Phase::suspended;
        *out = d.yielded.release();
        return PYGEN_NEXT;
    }
    c->phase = Phase::finished;
    auto& p = d.root.promise();
    PySendResult r;
    if (p.error) {
        p.error->restore();
        p.error.reset();
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, Py_NewRef(cause));
            PyException_SetContext(exc, cause);
            PyErr_SetRaisedException(exc);
        }
        add_traceback(c->fi->traceback_code);
        *out = nullptr;
        r = PYGEN_ERROR;
    } else {
        *out = p.result.null() ? Py_NewRef(Py_None) : p.result.release();
        r = PYGEN_RETURN;
    }
    // the finished frame's locals are released now, as the interpreter clears a finished frame
    release_frames(c, r == PYGEN_ERROR);
    return r;
}

// Resumes frame h, and each parent as its child completes, until the chain suspends again or
// the root completes; then settles.
PySendResult run(CoroutineObject* c, Co::handle h, PyObject** out) {
    for (;;) {
        h.resume();
        if (!h.done() || h == c->driver.root) break;
        h = h.promise().parent;
    }
    return settle(c, out);
}

// Hands the delegate's outcome (r, value: stolen; for an error, the raised exception) to the
// leaf's awaiter, and runs the chain on from the leaf: what every end of an await comes to.
PySendResult resume_leaf(CoroutineObject* c, PySendResult r, PyObject* value, PyObject** out) {
    Driver& d = c->driver;
    PyAwaiter* w = std::exchange(d.waiting, nullptr);
    if (r == PYGEN_RETURN) w->result = Ref::steal_or_null(value);
    else w->error.emplace();  // takes the raised exception before anything else can run
    {
        ErrorGuard keep;
        d.delegate = Ref();
    }
    return run(c, d.leaf, out);
}

PySendResult already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

PySendResult send(CoroutineObject* c, PyObject* arg, PyObject** out) {
    *out = nullptr;
    Driver& d = c->driver;
    switch (c->phase) {
    case Phase::running:
        return already_executing();
    case Phase::finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case Phase::created:
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    case Phase::suspended:
        break;
    }
    Activation active(c);
    if (!active.entered()) return PYGEN_ERROR;
    if (c->phase == Phase::created) {
        c->phase = Phase::running;
        return run(c, d.root, out);
    }
    c->phase = Phase::running;
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(d.delegate.get(), arg, &value);
    if (r == PYGEN_NEXT) {
        c->phase = Phase::suspended;
        *out = value;
        return r;
    }
    return resume_leaf(c, r, value, out);
}

// Raises exc (stolen) inside the body where it is suspended.
PySendResult throw_into_body(CoroutineObject* c, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (c->phase != Phase::suspended) {
        if (c->phase == Phase::created) {
            // raised before the first line: the body never runs
            c->phase = Phase::finished;
            release_frames(c, false);
            PyErr_SetRaisedException(exc);
            add_traceback(c->fi->traceback_code);
            return PYGEN_ERROR;
        }
        // an exhausted coroutine refuses (the thrown exception becomes the context)
        PyErr_SetRaisedException(exc);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    // running before the delegate is dropped: its __del__ may try to re-enter us
    c->phase = Phase::running;
    PyErr_SetRaisedException(exc);
    chain_thrown(c);
    // raised where the body awaits: a StopIteration ends the await with its value, as the
    // interpreter's await ends on one thrown in
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyObject* value = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop)->value);
        Py_DECREF(stop);
        return resume_leaf(c, PYGEN_RETURN, value, out);
    }
    return resume_leaf(c, PYGEN_ERROR, nullptr, out);
}

// close() of the delegate, as `yield from` closes it: 0, or -1 with the error set.
int close_delegate(PyObject* it) {
    PyObject* close;
    if (PyObject_GetOptionalAttr(it, "close"_id, &close) < 0) {
        PyErr_WriteUnraisable(it);
        return 0;
    }
    if (!close) return 0;
    PyObject* r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// The exception a throw(typ, val, tb) raises (new reference), or null with the error set.
PyObject* normalize_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (!v) {
            Py_XDECREF(t);
            Py_XDECREF(b);
            return nullptr;
        }
        exc = v;
        if (b) PyException_SetTraceback(exc, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
        if (tb) PyException_SetTraceback(exc, tb);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    return exc;
}

PySendResult throw_(CoroutineObject* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out);

// throw() forwarded to the delegate it, as `yield from` forwards it (meth: its bound throw, stolen;
// null for a coroutine of ours); its outcome resumes the leaf.
PySendResult throw_into_delegate(CoroutineObject* c, PyObject* it, PyObject* meth, PyObject* typ, PyObject* val,
                                 PyObject* tb, PyObject** out) {
    PyObject* ret = nullptr;
    if (!meth) {
        PySendResult r = throw_(as_coro(it), typ, val, tb, &ret);
        if (r == PYGEN_RETURN) return resume_leaf(c, r, ret, out);
    } else {
        if (PyCoro_CheckExact(it) || PyGen_CheckExact(it)) {
            // the interpreter's own coroutines take the exception as one argument
            PyObject* exc = normalize_thrown(typ, val, tb);
            ret = exc ? PyObject_CallOneArg(meth, exc) : nullptr;
            Py_XDECREF(exc);
        } else {
            ret = PyObject_CallFunctionObjArgs(meth, typ, val, tb, nullptr);
        }
        Py_DECREF(meth);
    }
    if (ret) {
        c->phase = Phase::suspended;
        *out = ret;
        return PYGEN_NEXT;
    }
    // the delegate finished (StopIteration carries its value) or raised
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyObject* value = PyObject_GetAttr(stop, "value"_id);
        Py_DECREF(stop);
        if (value) return resume_leaf(c, PYGEN_RETURN, value, out);
    }
    chain_thrown(c);
    return resume_leaf(c, PYGEN_ERROR, nullptr, out);
}

PySendResult throw_(CoroutineObject* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
    *out = nullptr;
    if (c->phase == Phase::running) return already_executing();
    Activation active(c);
    if (!active.entered()) return PYGEN_ERROR;
    if (c->phase == Phase::suspended && !c->driver.delegate.null()) {
        Ref it = c->driver.delegate;
        c->phase = Phase::running;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            int err = close_delegate(it.get());
            c->phase = Phase::suspended;
            if (err < 0) return throw_into_body(c, PyErr_GetRaisedException(), out);
        } else {
            PyObject* meth = nullptr;
            bool ours = Py_TYPE(it.get()) == coroutine_type();
            if (!ours && PyObject_GetOptionalAttr(it.get(), "throw"_id, &meth) < 0) {
                c->phase = Phase::suspended;
                return PYGEN_ERROR;
            }
            if (ours || meth) return throw_into_delegate(c, it.get(), meth, typ, val, tb, out);
            c->phase = Phase::suspended;  // a delegate without throw(): raised where the body awaits
        }
    }
    PyObject* exc = normalize_thrown(typ, val, tb);
    if (!exc) return PYGEN_ERROR;
    return throw_into_body(c, exc, out);
}

PyObject* result_of(PySendResult r, PyObject* value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_ERROR) return nullptr;
    // finished: StopIteration carries the value (an instance when the value could be taken for
    // the exception's arguments)
    if (PyTuple_Check(value) || PyExceptionInstance_Check(value)) {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    } else {
        PyErr_SetObject(PyExc_StopIteration, value);
    }
    Py_DECREF(value);
    return nullptr;
}

PyObject* co_send(PyObject* self, PyObject* arg) {
    PyObject* value;
    PySendResult r = send(as_coro(self), arg, &value);
    return result_of(r, value);
}

PyObject* co_iternext(PyObject* self) {
    PyObject* value;
    PySendResult r = send(as_coro(self), Py_None, &value);
    if (r == PYGEN_RETURN && value == Py_None) {
        Py_DECREF(value);
        return nullptr;
    }
    return result_of(r, value);
}

PySendResult co_am_send(PyObject* self, PyObject* arg, PyObject** out) { return send(as_coro(self), arg, out); }

PyObject* co_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1) PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
        else PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* value;
    PySendResult r = throw_(as_coro(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, &value);
    return result_of(r, value);
}

PyObject* co_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coro(self);
    switch (c->phase) {
    case Phase::created:
        c->phase = Phase::finished;
        release_frames(c, false);
        Py_RETURN_NONE;
    case Phase::finished:
        Py_RETURN_NONE;
    case Phase::running:
        already_executing();
        return nullptr;
    case Phase::suspended:
        break;
    }
    Activation active(c);
    if (!active.entered()) return nullptr;
    int err = 0;
    if (!c->driver.delegate.null()) {
        Ref it = c->driver.delegate;
        c->phase = Phase::running;
        err = close_delegate(it.get());
        c->phase = Phase::suspended;
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* value;
    PySendResult r = throw_into_body(c, PyErr_GetRaisedException(), &value);
    if (r == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) return value;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// `await` takes the coroutine itself (as the interpreter does for its own coroutines); what
// __await__() returns to Python code is the iterator over it, which `yield from` accepts.
// `await coro` in Python code: refused while the coroutine is suspended in an await of its own
PyObject* co_await_self(PyObject* self) {
    if (as_coro(self)->phase == Phase::suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

struct AwaitIterator {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* wrapped(PyObject* self) { return reinterpret_cast<AwaitIterator*>(self)->coroutine; }
PyObject* ai_send(PyObject* self, PyObject* arg) { return co_send(wrapped(self), arg); }
PyObject* ai_iternext(PyObject* self) { return co_iternext(wrapped(self)); }
PySendResult ai_am_send(PyObject* self, PyObject* arg, PyObject** out) { return co_am_send(wrapped(self), arg, out); }
PyObject* ai_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) { return co_throw(wrapped(self), args, nargs); }
PyObject* ai_close(PyObject* self, PyObject*) { return co_close(wrapped(self), nullptr); }

int ai_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self));
    return 0;
}

int ai_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AwaitIterator*>(self)->coroutine);
    return 0;
}

PyMethodDef ai_methods[] = {
    {"send", ai_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ai_throw)), METH_FASTCALL, nullptr},
    {"close", ai_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* await_iterator_type() {
    if (PyTypeObject* made = state.await_iterator_type) return made;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(clear_and_free<ai_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(ai_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(ai_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(ai_iternext)},
        {Py_tp_methods, ai_methods},
        {Py_am_send, reinterpret_cast<void*>(ai_am_send)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.native_coroutine_wrapper", sizeof(AwaitIterator), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    state.await_iterator_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    return state.await_iterator_type;
}

PyObject* co_await_iterator(PyObject* self, PyObject*) {
    PyTypeObject* type;
    try {
        type = await_iterator_type();
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
    auto* it = PyObject_GC_New(AwaitIterator, type);
    if (!it) return nullptr;
    it->coroutine = Py_NewRef(self);
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

void co_finalize(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    if (c->phase == Phase::finished) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (c->phase == Phase::created) {
        c->phase = Phase::finished;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", c->qualname) < 0)
            PyErr_WriteUnraisable(self);
        release_frames(c, false);
    } else {
        PyObject* r = co_close(self, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(exc);
}

int co_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(c->args[i]);
    Py_VISIT(c->driver.delegate.get());
    Py_VISIT(c->exc_state.exc_value);
    return Held::traverse(c->driver.held, visit, arg);
}

// Breaks a reference cycle through a coroutine whose close() did not end it: its frames (and
// their Helds), the awaited iterator and the arguments are dropped; it counts as finished.
int co_clear(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    c->phase = Phase::finished;
    release_frames(c, false);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(c->args[i]);
    Py_CLEAR(c->exc_state.exc_value);
    return 0;
}

void co_dealloc(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    if (c->phase != Phase::finished) {  // a finished coroutine has nothing to finalise
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    release_frames(c, true);
    c->driver.~Driver();
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(c->args[i]);
    Py_CLEAR(c->exc_state.exc_value);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* co_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
template <PyObject* CoroutineObject::*Field>
int set_text(PyObject* self, PyObject* value, void* attr) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(attr));
        return -1;
    }
    Py_SETREF(as_coro(self)->*Field, Py_NewRef(value));
    return 0;
}
PyObject* get_await(PyObject* self, void*) {
    PyObject* d = as_coro(self)->driver.delegate.get();
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->phase == Phase::running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->phase == Phase::suspended); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_coro(self)->fi->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
// A frame while the coroutine can still run (inspect.getcoroutinestate tells CORO_CREATED from
// CORO_CLOSED by it), at the function's first line; None once it is closed.
PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coro(self);
    if (c->phase == Phase::finished) Py_RETURN_NONE;
    return reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->fi->code),
                                                   state.dict, nullptr));
}

PyGetSetDef co_getset[] = {
    {"__name__", get_name, set_text<&CoroutineObject::name>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_qualname, set_text<&CoroutineObject::qualname>, nullptr, const_cast<char*>("__qualname__")},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef co_methods[] = {
    {"send", co_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(co_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or "
     "raise StopIteration."},
    {"close", co_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    // in place of the slot's own __await__, which would hand Python code the coroutine itself
    {"__await__", co_await_iterator, METH_NOARGS | METH_COEXIST, "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef co_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

bool awaiting_already(PyObject* coroutine) {
    if (Py_TYPE(coroutine) == coroutine_type()) return as_coro(coroutine)->phase == Phase::suspended;
    PyObject* awaited = PyObject_GetAttr(coroutine, "cr_await"_id);  // the interpreter's getter: cannot fail
    bool suspended = awaited && awaited != Py_None;
    Py_XDECREF(awaited);
    return suspended;
}

PyTypeObject* coroutine_type() {
    if (PyTypeObject* made = state.coroutine_type) return made;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(co_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(co_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(co_clear)},
        {Py_tp_finalize, reinterpret_cast<void*>(co_finalize)},
        {Py_tp_iternext, reinterpret_cast<void*>(co_iternext)},
        {Py_tp_repr, reinterpret_cast<void*>(co_repr)},
        {Py_tp_methods, co_methods},
        {Py_tp_getset, co_getset},
        {Py_tp_members, co_members},
        {Py_am_await, reinterpret_cast<void*>(co_await_self)},
        {Py_am_send, reinterpret_cast<void*>(co_am_send)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.native_coroutine", offsetof(CoroutineObject, args), sizeof(PyObject*),
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    state.coroutine_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    return state.coroutine_type;
}

PyObject* new_coroutine(const FunctionInfo& fi, Py_ssize_t nargs, PyObject*** args) {
    auto* c = PyObject_GC_NewVar(CoroutineObject, coroutine_type(), nargs);
    if (!c) throw_error();
    new (&c->driver) Driver();
    c->fi = &fi;
    c->name = Py_NewRef(fi.name);
    c->qualname = Py_NewRef(fi.qualname);
    c->weakrefs = nullptr;
    c->exc_state = {nullptr, nullptr};
    c->phase = Phase::finished;  // inert until it has a body
    for (Py_ssize_t i = 0; i < nargs; ++i) c->args[i] = nullptr;
    *args = c->args;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

void start_coroutine(Obj coroutine, Co body) noexcept {
    CoroutineObject* c = as_coro(coroutine.get());
    c->driver.root = body.release();
    c->driver.root.promise().driver = &c->driver;
    c->phase = Phase::created;
}

}  // namespace frame::detail
