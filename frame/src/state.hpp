// The module this copy of the frame serves (one module per shared object, one interpreter).
#pragma once
#include <vector>

#include "frame/object.hpp"

namespace frame::detail {

struct State {
    PyObject* module = nullptr;    // set while the module exists; the exec step's guard
    PyObject* dict = nullptr;
    PyObject* name = nullptr;      // "quorvane.server.telegram"
    PyObject* filename = nullptr;  // "quorvane/server/telegram.py"
    PyObject* builtins = nullptr;  // the builtins module's dict
    PyObject* builtin_import = nullptr;  // builtins.__import__ as it was at load
};
extern State state;

// A code object for a function: its names, parameters and first line.
PyObject* make_code(PyObject* name, PyObject* qualname, const std::vector<PyObject*>& params, int line,
                    bool coroutine);

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
