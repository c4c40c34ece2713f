// The running thread's stack bounds, found once per thread.
#include <algorithm>
#include <cstddef>

#include <pthread.h>

#include "frame/detail/recursion.hpp"

namespace frame::detail {

[[gnu::tls_model("initial-exec")]] constinit thread_local const char* stack_floor = nullptr;

namespace {

[[gnu::tls_model("initial-exec")]] constinit thread_local const char* stack_low = nullptr;

// What raising RecursionError, unwinding the C++ and Python frames above it and handling it there
// takes of the stack (a traceback entry per level, the unwinder's own frames, an except block
// logging the error), with room to spare; sanitizer builds have far larger frames. A quarter of
// a smaller stack at most, so that even a thread with a tiny stack can call us.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t STACK_MARGIN = 128 << 10;
#else
constexpr std::size_t STACK_MARGIN = 64 << 10;
#endif

}  // namespace

const char* find_stack_floor() noexcept {
    void* low = nullptr;
    std::size_t size = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &low, &size) != 0) low = nullptr;
        pthread_attr_destroy(&attr);
    }
    if (!low || size == 0) {
        stack_floor = reinterpret_cast<const char*>(1);  // bounds unknown: nothing is refused
        return stack_floor;
    }
    stack_low = static_cast<const char*>(low);
    stack_floor = stack_low + std::min(STACK_MARGIN, size / 4);
    return stack_floor;
}

bool refuse_below_floor(const char* here) noexcept {
    if (here < stack_low) return false;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return true;
}

}  // namespace frame::detail
