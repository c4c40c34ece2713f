// Builtin function objects, the frame's own function type (methods and route functions), route
// signatures, and the scopes of nested functions.
#include <cstddef>
#include <string>

#include "frame/detail/recursion.hpp"
#include "frame/module.hpp"
#include "state.hpp"

#include <frameobject.h>

namespace frame {

using detail::state;

Param::Param(const char* name, Arg default_value, const char* annotation)
    : name(name), default_value(Obj(default_value.p)), annotation(annotation) {}

// ---------------------------------------------------------------------------------------------
// Builtin function objects

namespace detail {
Ref builtin_function(FunctionInfo& fi, PyObject* self) {
    return Ref::steal(PyCMethod_New(&fi.def, self, state.name, nullptr));
}
}  // namespace detail

// ---------------------------------------------------------------------------------------------
// The frame's function type

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyCFunctionFastWithKeywords impl;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* globals;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* weakrefs;
};

PyObject* fo_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    // a property that calls back into the method it is read by recurses through here
    detail::RecursionGuard depth;
    if (!depth.entered()) return nullptr;
    return f->impl(nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Pickled and copied by reference, as Python functions are: by module and qualified name.
PyObject* fo_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef fo_methods[] = {
    {"__reduce__", fo_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int fo_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    return 0;
}

int fo_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    return 0;
}

void fo_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    fo_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* fo_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fo_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Attributes that may be replaced (the binder keeps its own defaults: writing __defaults__
// does not change what a call uses); deleting one sets None where None is allowed. The closure is
// the interpreter's text for a value of the wrong type.
template <std::size_t Offset, bool AllowNone, PyTypeObject* Type>
int fo_set(PyObject* self, PyObject* value, void* refusal) {
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    if (value == nullptr) value = Py_None;
    if (!(AllowNone && value == Py_None) && !PyObject_TypeCheck(value, Type)) {
        PyErr_SetString(PyExc_TypeError, static_cast<const char*>(refusal));
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
template <std::size_t Offset>
PyObject* fo_get(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}
PyObject* fo_get_closure(PyObject*, void*) { Py_RETURN_NONE; }

#define FO_FIELD(field) offsetof(FunctionObject, field)
#define FO_REFUSAL(text) const_cast<char*>(text)
PyGetSetDef fo_getset[] = {
    {"__name__", fo_get<FO_FIELD(name)>, fo_set<FO_FIELD(name), false, &PyUnicode_Type>, nullptr,
     FO_REFUSAL("__name__ must be set to a string object")},
    {"__qualname__", fo_get<FO_FIELD(qualname)>, fo_set<FO_FIELD(qualname), false, &PyUnicode_Type>, nullptr,
     FO_REFUSAL("__qualname__ must be set to a string object")},
    {"__doc__", fo_get<FO_FIELD(doc)>, fo_set<FO_FIELD(doc), true, &PyBaseObject_Type>, nullptr, nullptr},
    {"__module__", fo_get<FO_FIELD(module)>, fo_set<FO_FIELD(module), true, &PyBaseObject_Type>, nullptr, nullptr},
    {"__defaults__", fo_get<FO_FIELD(defaults)>, fo_set<FO_FIELD(defaults), true, &PyTuple_Type>, nullptr,
     FO_REFUSAL("__defaults__ must be set to a tuple object")},
    {"__kwdefaults__", fo_get<FO_FIELD(kwdefaults)>, fo_set<FO_FIELD(kwdefaults), true, &PyDict_Type>, nullptr,
     FO_REFUSAL("__kwdefaults__ must be set to a dict object")},
    {"__annotations__", fo_get<FO_FIELD(annotations)>, fo_set<FO_FIELD(annotations), true, &PyDict_Type>, nullptr,
     FO_REFUSAL("__annotations__ must be set to a dict object")},
    {"__globals__", fo_get<FO_FIELD(globals)>, nullptr, nullptr, nullptr},
    {"__code__", fo_get<FO_FIELD(code)>, nullptr, nullptr, nullptr},
    {"__closure__", fo_get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fo_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, FO_FIELD(weakrefs), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, FO_FIELD(dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, FO_FIELD(vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#undef FO_REFUSAL
#undef FO_FIELD

PyTypeObject* function_type() {
    if (PyTypeObject* made = state.function_type) return made;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(fo_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(fo_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(fo_clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(fo_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(fo_repr)},
        {Py_tp_getset, fo_getset},
        {Py_tp_members, fo_members},
        {Py_tp_methods, fo_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.native_function", sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    state.function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    return state.function_type;
}

}  // namespace

namespace detail {

Ref function_object(FunctionInfo& fi, PyCFunctionFastWithKeywords impl, Params params,
                    const char* return_annotation) {
    Ref defaults;
    Py_ssize_t ndefaults = static_cast<Py_ssize_t>(fi.names.size()) - fi.nrequired;
    if (ndefaults > 0) {
        defaults = Ref::steal(PyTuple_New(ndefaults));
        for (Py_ssize_t i = 0; i < ndefaults; ++i)
            PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(fi.defaults[fi.nrequired + i]));
    }
    Ref annotations = new_dict();
    for (const Param& p : params)
        if (p.annotation) dict_set(annotations, intern(p.name), str(p.annotation));
    if (return_annotation) dict_set(annotations, "return"_id, str(return_annotation));

    PyTypeObject* type = function_type();
    auto* f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw_error();
    f->vectorcall = fo_vectorcall;
    f->impl = impl;
    f->name = Py_NewRef(fi.name);
    f->qualname = Py_NewRef(fi.qualname);
    f->module = Py_NewRef(state.name);
    f->doc = fi.doc ? PyUnicode_FromString(fi.doc) : Py_NewRef(Py_None);
    f->dict = nullptr;
    f->globals = Py_NewRef(state.dict);
    f->defaults = defaults.null() ? Py_NewRef(Py_None) : defaults.release();
    f->kwdefaults = Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->code = Py_NewRef(fi.code);
    f->weakrefs = nullptr;
    Ref result = Ref::steal_or_null(reinterpret_cast<PyObject*>(f));
    if (!f->doc) throw_error();
    PyObject_GC_Track(f);
    return result;
}

}  // namespace detail

Ref signature(std::span<const SigParam> params, Obj return_annotation) {
    Ref inspect = import("inspect"_id);
    Ref parameter = inspect.attr("Parameter"_id);
    Ref kind = parameter.attr("POSITIONAL_OR_KEYWORD"_id);
    Ref list = new_list();
    for (const SigParam& p : params) {
        Ref name = str(p.name);
        Ref made = p.default_value.get()
                       ? parameter(name, kind, kw("default"_id, p.default_value), kw("annotation"_id, p.annotation))
                       : parameter(name, kind, kw("annotation"_id, p.annotation));
        list_append(list, made);
    }
    if (return_annotation.get()) return inspect.attr("Signature"_id)(list, kw("return_annotation"_id, return_annotation));
    return inspect.attr("Signature"_id)(list);
}

void set_signature(Obj function, Obj signature) {
    function.setattr("__signature__"_id, signature.get());
    Ref inspect = import("inspect"_id);
    inspect.method("markcoroutinefunction"_id, function);
}

// ---------------------------------------------------------------------------------------------
// Scopes of nested functions

namespace {

struct ScopeObject {
    PyObject_VAR_HEAD
    PyObject* slots[1];
};

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<ScopeObject*>(self);
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(s->slots[i]);
    return 0;
}

int scope_clear(PyObject* self) {
    auto* s = reinterpret_cast<ScopeObject*>(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(s->slots[i]);
    return 0;
}

PyTypeObject* scope_type(const char* outer) {
    auto& types = state.scope_types;
    auto found = types.find(outer);
    if (found != types.end()) return found->second;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(detail::clear_and_free<scope_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(scope_clear)},
        {0, nullptr},
    };
    PyType_Spec spec = {"frame.scope", offsetof(ScopeObject, slots), sizeof(PyObject*),
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    Ref qualname = str(std::string(outer) + ".<locals>");
    type.setattr("__qualname__"_id, qualname.get());
    auto* t = reinterpret_cast<PyTypeObject*>(type.release());
    types.emplace(outer, t);
    return t;
}

}  // namespace

Ref new_scope(const char* outer, Py_ssize_t slots) {
    PyTypeObject* type = scope_type(outer);
    auto* s = PyObject_GC_NewVar(ScopeObject, type, slots);
    if (!s) throw_error();
    for (Py_ssize_t i = 0; i < slots; ++i) s->slots[i] = nullptr;
    PyObject_GC_Track(s);
    return Ref::steal(reinterpret_cast<PyObject*>(s));
}

Ref Scope::load(Py_ssize_t slot, PyObject* name) const {
    PyObject* v = reinterpret_cast<ScopeObject*>(this->get())->slots[slot];
    if (!v)
        raise(PyExc_NameError, "free variable '%s' referenced before assignment in enclosing scope",
              PyUnicode_AsUTF8(name));
    return Ref(Obj(v));
}

void Scope::store(Py_ssize_t slot, Obj value) const {
    Py_XSETREF(reinterpret_cast<ScopeObject*>(this->get())->slots[slot], Py_NewRef(value.get()));
}

}  // namespace frame
