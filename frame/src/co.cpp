// Coroutine bodies: the promise, the C++ frames' free list, awaiting a native child, and the
// Held locals a suspended body keeps where the garbage collector sees them.
#include "detail/driver.hpp"
#include "frame/detail/recursion.hpp"
#include "state.hpp"

namespace frame {

using detail::Driver;
using detail::FRAME_CLASSES;
using detail::FRAME_GRAIN;
using detail::FRAME_KEEP;
using detail::running_driver;
using detail::state;

[[gnu::tls_model("initial-exec")]] constinit thread_local Driver* detail::running_driver = nullptr;

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

// Freed frames are kept for reuse (state.free_frames). Sanitizer builds use plain new and delete,
// so that use-after-free stays visible.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool reuse_frames = false;
#else
constexpr bool reuse_frames = true;
#endif

void* Co::promise_type::operator new(std::size_t size) {
    auto& free_frames = state.free_frames;
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
    auto& free_frames = state.free_frames;
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
    // a chain of native awaits recurses on the C stack as deep as it is long: RecursionError at
    // the await once the stack is nearly used up
    if (detail::stack_exhausted()) throw PyError();
    // run the child inline; the parent is linked (and suspends) only if the child suspended
    auto& p = child.h_.promise();
    p.parent = parent;
    p.driver = parent.promise().driver;
    child.h_.resume();
    return !child.h_.done();
}

}  // namespace frame
