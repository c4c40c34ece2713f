// Making the Python coroutine object of a call to a coroutine function (the function entry does).
#pragma once
#include "frame/coro.hpp"
#include "frame/detail/function_info.hpp"

namespace frame::detail {

// A Python coroutine object for fi with room for nargs arguments (*args, to be filled with new
// references: they stay alive, visited by the garbage collector, for the coroutine's lifetime);
// start_coroutine then gives it the body's frame. Until then it is inert.
PyObject* new_coroutine(const FunctionInfo& fi, Py_ssize_t nargs, PyObject*** args);
void start_coroutine(Obj coroutine, Co body) noexcept;

}  // namespace frame::detail
