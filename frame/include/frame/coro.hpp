// Coroutine bodies as C++20 coroutines. A body returns `Co`; it awaits Python awaitables with
// `co_await awaitable(obj)` and other bodies with `co_await body(...)`. The Python-visible
// coroutine object (made by the function binder) drives the chain exactly as `yield from` would.
//
// Rules that keep a body right (docs/ARCHITECTURE.md says why):
// - One co_await per statement, as the initialiser of a declaration (`Ref r = co_await ...;`);
//   never in a condition, in &&, ||, ?:, in a braced initialiser, or next to a lambda or
//   braced temporary: g++ 12 miscompiles those.
// - Parameters by value, and borrowed (Obj, Str, ...): the coroutine object owns the arguments.
//   No capturing lambdas as coroutines.
// - No co_await inside a catch handler: use try_except (no await in the handler), attempt()
//   (the handler awaits), try_finally, async_with.
// - Whatever a body keeps across an await is a Held (or an argument): the garbage collector sees
//   those and nothing else of the frame. Make the awaitable in the statement before and move it
//   in (temporaries of the awaiting statement live in the frame until it resumes):
//     Ref sleeping = G("asyncio"_id).method("sleep"_id, 1);
//     Ref slept = co_await awaitable(std::move(sleeping));
#pragma once
#include <coroutine>
#include <optional>
#include <type_traits>

#include "frame/object.hpp"

namespace frame {

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
        void return_value(const Held& v) noexcept { result = Ref(Obj(v)); }
        void unhandled_exception();  // keeps the error; lets a thread's forced unwinding through

        Ref result;
        std::optional<PyError> error;
        std::coroutine_handle<promise_type> parent;
        detail::Driver* driver = nullptr;
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
    bool await_suspend(handle parent);
    Ref await_resume() { return child.take_result(); }
};
inline Co::ChildAwaiter Co::operator co_await() && noexcept { return ChildAwaiter{std::move(*this)}; }

// What an awaited Python awaitable is for: the interpreter words its errors by it.
enum class AwaitFor : char { await, aenter, aexit, anext };

// `co_await awaitable(obj)`: awaits a Python awaitable (a coroutine, a Future, anything with
// __await__), delegating to its iterator as `yield from` does. A new object is moved in and
// dropped once its iterator is taken, as the interpreter drops it: the coroutine object owns
// that iterator, where the garbage collector sees it.
struct PyAwaiter {
    PyObject* awaitable;
    Ref owned;
    AwaitFor purpose = AwaitFor::await;
    Ref result;
    std::optional<PyError> error;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(Co::handle h);
    Ref await_resume();
};
inline PyAwaiter awaitable(Ref&& obj, AwaitFor purpose = AwaitFor::await) {
    PyObject* p = obj.get();
    return PyAwaiter{p, std::move(obj), purpose, Ref(), std::nullopt};
}
// An argument or a Held: it stays where the collector sees it.
inline PyAwaiter awaitable(Obj obj, AwaitFor purpose = AwaitFor::await) {
    return PyAwaiter{obj.get(), Ref(), purpose, Ref(), std::nullopt};
}
inline PyAwaiter awaitable(const Held& obj, AwaitFor purpose = AwaitFor::await) { return awaitable(Obj(obj), purpose); }
// A Ref local would keep the object in the frame, hidden from the collector: move it in.
PyAwaiter awaitable(const Ref&, AwaitFor = AwaitFor::await) = delete;
PyAwaiter awaitable(Ref&, AwaitFor = AwaitFor::await) = delete;

// ---------------------------------------------------------------------------------------------
// try/except, try/finally, async with, async for in bodies

// How an awaited body ended: its result, or the exception it raised.
class Outcome {
public:
    bool failed() const noexcept { return !error_.null(); }
    PyError error() const { return PyError(Py_NewRef(error_.get())); }
    Ref value() const { return Ref(Obj(value_)); }
    // the result, or raises the error again (traceback kept)
    Ref get() const;
private:
    Held value_, error_;
    friend struct OutcomeAwaiter;
};

struct OutcomeAwaiter : Co::ChildAwaiter {
    bool everything;
    Outcome await_resume();
};

// try: <body>  except Exception: <handler that may await>
//   Outcome r = co_await attempt(fetch(s, sym));
//   if (r.failed()) { ... r.error() ... }
// What is not an Exception (cancellation, exit) goes on up from the co_await.
inline OutcomeAwaiter attempt(Co body) { return OutcomeAwaiter{{std::move(body)}, false}; }

// try: <body>  finally: <cleanup>
//   Ref r = co_await try_finally(work(a, b), tidy(a));
// The cleanup runs however the body ends: a result, an exception, cancellation, close(); while
// it runs the body's exception is being handled. The body's outcome stands unless the cleanup
// raises.
Co try_finally(Co body, Co cleanup);

namespace detail {
// type(manager).__aenter__(manager) (the awaitable), with __aexit__ bound into exit: the
// interpreter's lookups and texts
Ref async_enter(Obj manager, Held& exit);
// awaits __aexit__ for the outcome: the body's result, None when the error was suppressed
Co async_exit(Obj exit, Outcome outcome);
inline OutcomeAwaiter capture_all(Co body) { return OutcomeAwaiter{{std::move(body)}, true}; }
template <class T>
constexpr bool borrowed_arg = !std::is_same_v<std::remove_cvref_t<T>, Ref>;
}  // namespace detail

// async with manager as value: body(value, args...)
//   Ref r = co_await async_with(client, &poll, self);
// __aexit__ is awaited as the interpreter awaits it: on a normal end, on an exception (inside
// the except block) and on cancellation. The result is the body's, or None when __aexit__
// suppressed the body's error.
template <class... P, class... A>
Co async_with(Obj manager, Co (*body)(Obj, P...), A... args) {
    static_assert((detail::borrowed_arg<A> && ...), "pass the body's arguments as Obj or Held");
    Held exit;
    Held entering = detail::async_enter(manager, exit);
    Held value = co_await awaitable(entering, AwaitFor::aenter);
    Obj entered = value;
    Outcome outcome = co_await detail::capture_all(body(entered, args...));
    Ref result = co_await detail::async_exit(exit, outcome);
    co_return result;
}

// async for item in iterable:
//   AsyncFor rows(iterable);
//   for (;;) {
//       Ref row = co_await rows.next();
//       if (row.null()) break;
//       ...
//   }
class AsyncFor {
public:
    explicit AsyncFor(Obj iterable);
    struct NextAwaiter : PyAwaiter {
        Ref await_resume();  // null at StopAsyncIteration
    };
    NextAwaiter next();
private:
    Held iterator_;
};

}  // namespace frame
