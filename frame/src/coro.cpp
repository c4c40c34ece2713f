// The Python coroutine object over a chain of C++ coroutine frames.
//
// The chain runs until its innermost frame (the leaf) awaits a Python iterator that does not
// finish at once; the iterator's yielded value then goes up to whoever drives us (an asyncio
// Task, or an `await` in Python code), untouched. Later sends, throws and closes go to that
// iterator first, exactly as `yield from` does, and its outcome resumes the leaf. A frame that
// completes resumes its parent; the root's completion completes the coroutine.
#include <utility>

#include "frame/function.hpp"
#include "state.hpp"

#include <frameobject.h>

namespace frame {

struct Driver {
    Co::handle root;
    Co::handle leaf;                 // innermost frame, suspended on `delegate`
    PyAwaiter* waiting = nullptr;    // the leaf's awaiter, which receives the delegate's outcome
    Ref delegate;                    // the iterator being awaited (cr_await)
    Ref yielded;                     // what the delegate yielded, on its way up
    Held* held = nullptr;            // the chain's Held locals, for the garbage collector
};

namespace {
// The driver whose chain this thread is running: Helds made now belong to it. (Initial-exec: a
// pointer of static TLS per module, read without a call on every resume.)
[[gnu::tls_model("initial-exec")]] thread_local Driver* running_driver = nullptr;
}  // namespace

void Held::link() noexcept {
    Driver* d = running_driver;
    if (!d) return;
    owner_ = d;
    next_ = d->held;
    if (next_) next_->prev_ = this;
    d->held = this;
}

void Held::unlink() noexcept {
    if (!owner_) return;
    if (prev_) prev_->next_ = next_;
    else owner_->held = next_;
    if (next_) next_->prev_ = prev_;
    owner_ = nullptr;
}

int Held::traverse(Held* first, visitproc visit, void* arg) {
    for (Held* h = first; h; h = h->next_) Py_VISIT(h->p_);
    return 0;
}

void Co::promise_type::unhandled_exception() {
    try {
        throw;
    } catch (PyError& e) {
        error.emplace(std::move(e));
    } catch (...) {
        rethrow_if_thread_ending();  // no Python work any more
        set_error_from_current();
        error.emplace();
    }
}

Ref Co::take_result() {
    auto& p = h_.promise();
    if (p.error) {
        PyError e = std::move(*p.error);
        p.error.reset();
        throw e;
    }
    return std::move(p.result);
}

void Co::destroy_frame(handle h) noexcept { h.destroy(); }

// Coroutine frames come and go with every call: freed frames are kept for reuse, by size
// class. Only touched with the interpreter lock held. (Sanitizer builds use plain new and
// delete, so that use-after-free stays visible.)
namespace {
constexpr std::size_t FRAME_GRAIN = 64, FRAME_CLASSES = 32, FRAME_KEEP = 64;
struct FreeFrames {
    void* head[FRAME_CLASSES] = {};
    std::size_t count[FRAME_CLASSES] = {};
} free_frames;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool reuse_frames = false;
#else
constexpr bool reuse_frames = true;
#endif
}  // namespace

void* Co::promise_type::operator new(std::size_t size) {
    std::size_t k = (size + FRAME_GRAIN - 1) / FRAME_GRAIN;
    if (!reuse_frames || k >= FRAME_CLASSES) return ::operator new(size);
    if (void* p = free_frames.head[k]) {
        free_frames.head[k] = *static_cast<void**>(p);
        --free_frames.count[k];
        return p;
    }
    return ::operator new(k * FRAME_GRAIN);
}

void Co::promise_type::operator delete(void* p, std::size_t size) noexcept {
    std::size_t k = (size + FRAME_GRAIN - 1) / FRAME_GRAIN;
    if (!reuse_frames || k >= FRAME_CLASSES || free_frames.count[k] >= FRAME_KEEP) {
        ::operator delete(p);
        return;
    }
    *static_cast<void**>(p) = free_frames.head[k];
    free_frames.head[k] = p;
    ++free_frames.count[k];
}

bool Co::ChildAwaiter::await_suspend(handle parent) {
    // run the child inline; the parent is linked (and suspends) only if the child suspended
    auto& p = child.h_.promise();
    p.parent = parent;
    p.driver = parent.promise().driver;
    child.h_.resume();
    return !child.h_.done();
}

// ---------------------------------------------------------------------------------------------
// Awaiting Python awaitables

static bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool flagged = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return flagged;
}

static PyTypeObject* coroutine_type();
static bool awaiting_already(PyObject* coroutine);

// The iterator an `await` of o delegates to (new reference), or null with the error set.
static PyObject* await_iter(PyObject* o) {
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
static PyObject* await_iter(PyObject* o, AwaitFor purpose) {
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
    Driver* d = h.promise().driver;
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
static Ref call_exit(Obj exit, const Outcome& outcome) {
    if (!outcome.failed()) return exit(none(), none(), none());
    PyError e = outcome.error();
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(e.value()));
    return exit(Obj(reinterpret_cast<PyObject*>(Py_TYPE(e.value()))), Obj(e.value()), tb.null() ? none() : Obj(tb));
}

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

// ---------------------------------------------------------------------------------------------
// The coroutine object

namespace {

enum class State : char { created, suspended, running, finished };

struct CoroutineObject {
    PyObject_VAR_HEAD
    const FunctionInfo* fi;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    Driver driver;
    _PyErr_StackItem exc_state;  // the exception its body is handling, as an async def frame has
    State state;
    PyObject* args[1];    // ob_size arguments, owned for the body's lifetime
};

CoroutineObject* as_coro(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// While a coroutine runs: its exception state is the thread's innermost (what sys.exc_info()
// and a Handling see, as for an async def frame), the Helds made belong to its driver, and the
// interpreter's recursion limit counts it.
class Activation {
public:
    explicit Activation(CoroutineObject* c) noexcept : c_(c) {
        if (!depth_.entered()) return;
        PyThreadState* ts = depth_.thread();
        c->exc_state.previous_item = ts->exc_info;
        ts->exc_info = &c->exc_state;
        driver_ = std::exchange(running_driver, &c->driver);
    }
    ~Activation() {
        if (!depth_.entered() || !holding_interpreter()) return;
        depth_.thread()->exc_info = c_->exc_state.previous_item;
        c_->exc_state.previous_item = nullptr;
        running_driver = driver_;
    }
    bool entered() const noexcept { return depth_.entered(); }
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;
private:
    RecursionGuard depth_;
    CoroutineObject* c_;
    Driver* driver_ = nullptr;
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

// Resumes frame h, and each parent as its child completes, until the chain suspends again or
// the root completes.
void run(CoroutineObject* c, Co::handle h) {
    for (;;) {
        h.resume();
        if (!h.done() || h == c->driver.root) return;
        h = h.promise().parent;
    }
}

// Hands the delegate's outcome (r, value) to the leaf's awaiter.
void deliver(CoroutineObject* c, PySendResult r, PyObject* value) {
    Driver& d = c->driver;
    PyAwaiter* w = std::exchange(d.waiting, nullptr);
    if (r == PYGEN_RETURN) w->result = Ref::steal_or_null(value);
    else w->error.emplace();  // takes the raised exception before anything else can run
    ErrorGuard keep;
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
        c->state = State::suspended;
        *out = d.yielded.release();
        return PYGEN_NEXT;
    }
    c->state = State::finished;
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

PySendResult already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

PySendResult send(CoroutineObject* c, PyObject* arg, PyObject** out) {
    *out = nullptr;
    Driver& d = c->driver;
    switch (c->state) {
    case State::running:
        return already_executing();
    case State::finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case State::created:
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    case State::suspended:
        break;
    }
    Activation active(c);
    if (!active.entered()) return PYGEN_ERROR;
    if (c->state == State::created) {
        c->state = State::running;
        run(c, d.root);
        return settle(c, out);
    }
    c->state = State::running;
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(d.delegate.get(), arg, &value);
    if (r == PYGEN_NEXT) {
        c->state = State::suspended;
        *out = value;
        return r;
    }
    deliver(c, r, value);
    run(c, d.leaf);
    return settle(c, out);
}

// Raises exc (stolen) inside the body where it is suspended.
PySendResult throw_into_body(CoroutineObject* c, PyObject* exc, PyObject** out) {
    *out = nullptr;
    Driver& d = c->driver;
    if (c->state != State::suspended) {
        if (c->state == State::created) {
            // raised before the first line: the body never runs
            c->state = State::finished;
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
    c->state = State::running;
    PyErr_SetRaisedException(exc);
    chain_thrown(c);
    // raised where the body awaits: a StopIteration ends the await with its value, as the
    // interpreter's await ends on one thrown in
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyObject* value = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop)->value);
        Py_DECREF(stop);
        deliver(c, PYGEN_RETURN, value);
    } else {
        deliver(c, PYGEN_ERROR, nullptr);
    }
    run(c, d.leaf);
    return settle(c, out);
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

PySendResult throw_(CoroutineObject* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
    *out = nullptr;
    Driver& d = c->driver;
    if (c->state == State::running) return already_executing();
    Activation active(c);
    if (!active.entered()) return PYGEN_ERROR;
    if (c->state == State::suspended && !d.delegate.null()) {
        Ref it = d.delegate;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            c->state = State::running;
            int err = close_delegate(it.get());
            c->state = State::suspended;
            if (err < 0) return throw_into_body(c, PyErr_GetRaisedException(), out);
        } else {
            PyObject* ret = nullptr;
            c->state = State::running;
            if (Py_TYPE(it.get()) == coroutine_type()) {
                PySendResult r = throw_(as_coro(it.get()), typ, val, tb, &ret);
                if (r == PYGEN_RETURN) {
                    deliver(c, r, ret);
                    run(c, d.leaf);
                    return settle(c, out);
                }
            } else {
                PyObject* meth;
                if (PyObject_GetOptionalAttr(it.get(), "throw"_id, &meth) < 0) {
                    c->state = State::suspended;
                    return PYGEN_ERROR;
                }
                if (!meth) {
                    c->state = State::suspended;
                    goto throw_here;
                }
                if (PyCoro_CheckExact(it.get()) || PyGen_CheckExact(it.get())) {
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
                c->state = State::suspended;
                *out = ret;
                return PYGEN_NEXT;
            }
            // the delegate finished (StopIteration carries its value) or raised
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject* stop = PyErr_GetRaisedException();
                PyObject* value = PyObject_GetAttr(stop, "value"_id);
                Py_DECREF(stop);
                if (value) {
                    deliver(c, PYGEN_RETURN, value);
                    run(c, d.leaf);
                    return settle(c, out);
                }
            }
            chain_thrown(c);
            deliver(c, PYGEN_ERROR, nullptr);
            run(c, d.leaf);
            return settle(c, out);
        }
    }
throw_here:
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
    switch (c->state) {
    case State::created:
        c->state = State::finished;
        release_frames(c, false);
        Py_RETURN_NONE;
    case State::finished:
        Py_RETURN_NONE;
    case State::running:
        already_executing();
        return nullptr;
    case State::suspended:
        break;
    }
    Activation active(c);
    if (!active.entered()) return nullptr;
    int err = 0;
    if (!c->driver.delegate.null()) {
        Ref it = c->driver.delegate;
        c->state = State::running;
        err = close_delegate(it.get());
        c->state = State::suspended;
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
    if (as_coro(self)->state == State::suspended) {
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
    static PyTypeObject* type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(detail::clear_and_free<ai_clear>)},
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
        return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    }();
    return type;
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
    if (c->state == State::finished) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (c->state == State::created) {
        c->state = State::finished;
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
    c->state = State::finished;
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
    if (c->state != State::finished) {  // a finished coroutine has nothing to finalise
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
int set_text(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_coro(self)->*Field, Py_NewRef(value));
    return 0;
}
PyObject* get_await(PyObject* self, void*) {
    PyObject* d = as_coro(self)->driver.delegate.get();
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::suspended); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_coro(self)->fi->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
// A frame while the coroutine can still run (inspect.getcoroutinestate tells CORO_CREATED from
// CORO_CLOSED by it), at the function's first line; None once it is closed.
PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coro(self);
    if (c->state == State::finished) Py_RETURN_NONE;
    return reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->fi->code),
                                                   detail::state.dict, nullptr));
}

PyGetSetDef co_getset[] = {
    {"__name__", get_name, set_text<&CoroutineObject::name>, nullptr, nullptr},
    {"__qualname__", get_qualname, set_text<&CoroutineObject::qualname>, nullptr, nullptr},
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

// True while the coroutine is suspended in an await (its cr_await is set): the interpreter
// refuses to await it a second time.
static bool awaiting_already(PyObject* coroutine) {
    if (Py_TYPE(coroutine) == coroutine_type()) return as_coro(coroutine)->state == State::suspended;
    PyObject* awaited = PyObject_GetAttr(coroutine, "cr_await"_id);  // the interpreter's getter: cannot fail
    bool suspended = awaited && awaited != Py_None;
    Py_XDECREF(awaited);
    return suspended;
}

static PyTypeObject* coroutine_type() {
    static PyTypeObject* type = [] {
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
        return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    }();
    return type;
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
    c->state = State::finished;  // inert until it has a body
    for (Py_ssize_t i = 0; i < nargs; ++i) c->args[i] = nullptr;
    *args = c->args;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

void start_coroutine(Obj coroutine, Co body) noexcept {
    CoroutineObject* c = as_coro(coroutine.get());
    c->driver.root = body.release();
    c->driver.root.promise().driver = &c->driver;
    c->state = State::created;
}

}  // namespace frame
