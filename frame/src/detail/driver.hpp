// The driver of a coroutine object's chain of C++ frames, shared by the promise and the Held list
// (co.cpp), the awaiters of Python awaitables (await.cpp) and the coroutine type (coroutine.cpp).
#pragma once
#include "frame/coro.hpp"

namespace frame::detail {

struct Driver {
    Co::handle root;
    Co::handle leaf;                 // innermost frame, suspended on `delegate`
    PyAwaiter* waiting = nullptr;    // the leaf's awaiter, which receives the delegate's outcome
    Ref delegate;                    // the iterator being awaited (cr_await)
    Ref yielded;                     // what the delegate yielded, on its way up
    Held* held = nullptr;            // the chain's Held locals, for the garbage collector
};

// The driver whose chain this thread is running: Helds made now belong to it. (Initial-exec: a
// pointer of static TLS per module, read without a call on every resume.)
[[gnu::tls_model("initial-exec")]] extern constinit thread_local Driver* running_driver;

// The frame's coroutine type.
PyTypeObject* coroutine_type();
// True while a coroutine (ours or the interpreter's) is suspended in an await (its cr_await is
// set): the interpreter refuses to await it a second time.
bool awaiting_already(PyObject* coroutine);

}  // namespace frame::detail
