// Coroutine bodies as C++20 coroutines. A body returns `Co`; it awaits Python awaitables with
// `co_await awaitable(obj)` and other bodies with `co_await body(...)`. The Python-visible
// coroutine object (made by the function binder) drives the chain exactly as `yield from` would.
//
// g++ 12 miscompiles some coroutine code. In bodies: one co_await per statement, as the
// initialiser of a declaration (`Ref r = co_await awaitable(x);`); never in a condition, in
// &&, ||, ?:, in a braced initialiser, or next to a lambda or braced temporary; parameters by
// value; no capturing lambdas as coroutines; no co_await inside a catch handler (capture the
// error, leave the handler, then await).
#pragma once
#include <coroutine>
#include <optional>

#include "frame/object.hpp"

namespace frame {

struct Driver;
struct FunctionInfo;

class [[nodiscard]] Co {
public:
    struct promise_type {
        promise_type() noexcept {}
        static void* operator new(std::size_t size);
        static void operator delete(void* p, std::size_t size) noexcept;
        Co get_return_object() noexcept { return Co(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref v) noexcept { result = std::move(v); }
        void unhandled_exception() noexcept;

        Ref result;
        std::optional<PyError> error;
        std::coroutine_handle<promise_type> parent;
        Driver* driver = nullptr;
    };
    using handle = std::coroutine_handle<promise_type>;

    Co(Co&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    Co& operator=(Co&&) = delete;
    ~Co() { destroy(); }

    handle release() noexcept { return std::exchange(h_, nullptr); }
    handle get() const noexcept { return h_; }
    // The body's result; raises what the body raised.
    Ref take_result();

    struct ChildAwaiter;
    ChildAwaiter operator co_await() && noexcept;

    // Destroys a frame (its locals are released: a caller with a pending Python error keeps
    // it aside meanwhile).
    static void destroy_frame(handle h) noexcept;

private:
    explicit Co(handle h) noexcept : h_(h) {}
    void destroy() noexcept { if (h_) destroy_frame(std::exchange(h_, nullptr)); }
    handle h_;
};

// Awaiting another body: it runs inline, and the parent suspends only if the child does.
struct Co::ChildAwaiter {
    Co child;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(handle parent) noexcept;
    Ref await_resume() { return child.take_result(); }
};
inline Co::ChildAwaiter Co::operator co_await() && noexcept { return ChildAwaiter{std::move(*this)}; }

// `co_await awaitable(obj)`: awaits a Python awaitable (a coroutine, a Future, anything with
// __await__), delegating to its iterator as `yield from` does.
struct PyAwaiter {
    // borrowed: the awaiting statement keeps it alive, and an owned reference here would hide
    // it from the garbage collector (the coroutine object owns and visits the iterator instead)
    Obj awaitable;
    Ref result;
    std::optional<PyError> error;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(Co::handle h) noexcept;
    Ref await_resume();
};
inline PyAwaiter awaitable(Obj obj) { return PyAwaiter{obj, Ref(), std::nullopt}; }

// A Python coroutine object for fi with room for nargs arguments (*args, to be filled with new
// references: they stay alive, visited by the garbage collector, for the coroutine's lifetime);
// start_coroutine then gives it the body's frame. Until then it is inert.
PyObject* new_coroutine(const FunctionInfo& fi, Py_ssize_t nargs, PyObject*** args);
void start_coroutine(Obj coroutine, Co body) noexcept;

}  // namespace frame
