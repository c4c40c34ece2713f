// What this copy of the frame keeps for the module it serves (one module per shared object, one
// interpreter): the module, the types the frame makes, and its caches. Touched only with the
// interpreter lock held.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "frame/object.hpp"

namespace frame::detail {

struct ModuleDef;
struct FunctionInfo;

// Coroutine frames come and go with every call: freed frames are kept for reuse, by size class of
// FRAME_GRAIN bytes, up to FRAME_KEEP per class (co.cpp).
constexpr std::size_t FRAME_GRAIN = 64, FRAME_CLASSES = 32, FRAME_KEEP = 64;
// Slots of the keyword-name tuple cache (object.cpp).
constexpr std::size_t KWNAMES_SLOTS = 128;

struct State {
    // the module
    ModuleDef* def = nullptr;               // what PyInit_<name> passed
    std::int64_t main_interpreter = -1;     // the one interpreter the module may be loaded into
    PyObject* module = nullptr;    // set while the module exists; the exec step's guard
    PyObject* dict = nullptr;
    PyObject* name = nullptr;      // "quorvane.server.telegram"
    PyObject* filename = nullptr;  // "quorvane/server/telegram.py"
    PyObject* builtins = nullptr;  // the builtins module's dict
    PyObject* builtin_import = nullptr;  // builtins.__import__ as it was at load
    PyObject* leaf_fromlist = nullptr;   // ("__name__",): an import's fromlist that returns the leaf module

    // the types the frame makes, created at first use and kept for the process
    PyTypeObject* function_type = nullptr;
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* await_iterator_type = nullptr;
    std::map<std::string, PyTypeObject*> scope_types;  // by the enclosing function's qualified name

    // caches
    struct FreeFrames {
        void* head[FRAME_CLASSES] = {};
        std::size_t count[FRAME_CLASSES] = {};
    } free_frames;
    // the keyword-name tuples of call sites, direct-mapped by their names' addresses
    PyObject* kwnames[KWNAMES_SLOTS] = {};
    // the Python functions that make the log lines, by function, line and level (module.cpp). The
    // function is keyed as a plain address: clang exports a standard template's instantiation
    // over a type of ours (the map iterator's operator==), which would bind across modules.
    std::map<std::tuple<const void*, int, PyObject*>, PyObject*> log_lines;
};
extern State state;

// A code object for a function: its names, parameters and first line, and the one-line body
// (Python source) on that line.
PyObject* make_code(PyObject* name, PyObject* qualname, const std::vector<PyObject*>& params, int line,
                    bool coroutine, const char* body = "pass");

// tp_dealloc of a collected type of ours whose tp_clear drops everything an instance holds.
template <int (*clear)(PyObject*)>
void clear_and_free(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace frame::detail
