// Guards of native recursion: the interpreter's recursion limit, and the running thread's stack.
//
// The limit counts levels, while a native level takes a kilobyte or two of C stack (more under
// AddressSanitizer): a re-entrant call chain (a handler whose callee fires the handler again) on a
// thread with a small stack would run off its end long before the limit. So every native entry
// also refuses, with RecursionError, once the stack is used up to a margin, which leaves room for
// the error to be raised, unwound through and handled.
#pragma once
#include "frame/object.hpp"

namespace frame::detail {

// The lowest address at which this thread's native entries still run (its stack's end plus the
// margin); null until the thread's first entry finds it from the thread's attributes.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local const char* stack_floor;
const char* find_stack_floor() noexcept;
// RecursionError for an entry at `here`, below the floor: true, unless `here` is not on the
// thread's own stack at all (code running on a stack of its own is not refused).
bool refuse_below_floor(const char* here) noexcept;

// True, with RecursionError set, when too little of the thread's stack is left for a native entry.
[[gnu::always_inline]] inline bool stack_exhausted() noexcept {
    const char* floor = stack_floor;
    if (__builtin_expect(floor == nullptr, 0)) floor = find_stack_floor();
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (__builtin_expect(here >= floor, 1)) return false;
    return refuse_below_floor(here);
}

// Counts a call of ours against the interpreter's recursion limit, as Py_EnterRecursiveCall
// does (inline: the thread state is read once); past the limit RecursionError is set and
// entered() is false.
class RecursionGuard {
public:
    RecursionGuard() noexcept : ts_(PyThreadState_Get()) {
        if (ts_->c_recursion_remaining > 0) --ts_->c_recursion_remaining;
        else entered_ = Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    ~RecursionGuard() {
        if (entered_ && holding_interpreter()) ++ts_->c_recursion_remaining;  // Py_LeaveRecursiveCall
    }
    bool entered() const noexcept { return entered_; }
    PyThreadState* thread() const noexcept { return ts_; }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
private:
    PyThreadState* ts_;
    bool entered_ = true;
};

}  // namespace frame::detail
