// What the frame knows of each function (names, parameters, code objects), the argument binder,
// and the error exit of every function entry. Module code never names these.
#pragma once
#include <vector>

#include "frame/params.hpp"

namespace frame::detail {

struct FunctionInfo {
    PyObject* name = nullptr;          // "grow"
    PyObject* qualname = nullptr;      // "Widget.grow"
    std::vector<PyObject*> names;      // parameter names, interned
    std::vector<PyObject*> defaults;   // null for required parameters
    Py_ssize_t nrequired = 0;
    PyObject* rest = nullptr;          // the name of a *args parameter ("*_" in the list), if any
    PyObject* code = nullptr;            // __code__ and cr_code
    PyObject* traceback_code = nullptr;  // the same, named by the qualified name
    const char* doc = nullptr;
    bool coroutine = false;
    PyMethodDef def{};                 // for builtin function objects

    void init(const char* qualname, Params params, bool coroutine, int line, const char* doc);
    bool ready() const noexcept { return name != nullptr; }
};

// Binds vectorcall arguments to parameters (interpreter texts on failure); out[i] borrowed.
void bind(const FunctionInfo& fi, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Sets the error for the C++ exception being handled and adds fi's traceback entry.
void fail(const FunctionInfo& fi) noexcept;

// Adds a traceback entry (code's qualified name, line and the module's source path) to the
// pending exception.
void add_traceback(PyObject* code) noexcept;

[[noreturn]] void raise_arg_type(PyObject* argname, const char* expected, PyObject* given);

// The function whose body this thread runs: the innermost native entry, or the coroutine being
// resumed (null in the module body). Log lines name it. (Initial-exec: static TLS per module.)
[[gnu::tls_model("initial-exec")]] extern constinit thread_local const FunctionInfo* running_function;

// Makes fi the running function for a scope.
class Running {
public:
    explicit Running(const FunctionInfo* fi) noexcept : outer_(running_function) { running_function = fi; }
    ~Running() { running_function = outer_; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
private:
    const FunctionInfo* outer_;
};

}  // namespace frame::detail
