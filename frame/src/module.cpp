#include <string>

#include "frame/detail/function_info.hpp"
#include "frame/module.hpp"
#include "state.hpp"

namespace frame {

namespace detail {

State state;

PyObject* make_code(PyObject* name, PyObject* qualname, const std::vector<PyObject*>& params, int line,
                    bool coroutine, const char* body) {
    // A real (trivial) code object compiled at the function's line, renamed: the interpreter
    // then reports the right line, and inspect reads the parameters from it.
    std::string source(line > 1 ? static_cast<std::size_t>(line - 1) : 0, '\n');
    source += coroutine ? "async def f(" : "def f(";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i) source += ", ";
        source += PyUnicode_AsUTF8(params[i]);
    }
    source += "): ";
    source += body;
    source += "\n";
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), PyUnicode_AsUTF8(state.filename), Py_file_input));
    Ref consts = module_code.attr("co_consts"_id);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        Obj item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item.get()))
            return item.method("replace"_id, kw("co_name"_id, name), kw("co_qualname"_id, qualname)).release();
    }
    raise(PyExc_SystemError, "no code object compiled for %U", qualname);
}

// `def <function>(*args): logger.<level>(*args)` on the line, with the module's globals: the
// frame a logging library takes for its caller's then names the module, the function and the line.
PyObject* log_line(PyObject* level, int line) {
    const FunctionInfo* fi = running_function;
    PyObject*& made = state.log_lines[{fi, line, level}];
    if (made) return made;
    std::string body = std::string("logger.") + PyUnicode_AsUTF8(level) + "(*args)";
    PyObject* name = fi ? fi->name : "<module>"_id;
    Ref code = Ref::steal(make_code(name, fi ? fi->qualname : name, {"*args"_id}, line, false, body.c_str()));
    // kept for the life of the process, with the function's code objects
    made = check(PyFunction_New(code.get(), state.dict));
    return made;
}

}  // namespace detail

using detail::state;

PyObject* module_dict() noexcept { return state.dict; }
PyObject* module_object() noexcept { return state.module; }
PyObject* module_name() noexcept { return state.name; }

Ref G(PyObject* name) {
    PyObject* value;
    if (check(PyDict_GetItemRef(state.dict, name, &value))) return Ref::steal(value);
    if (check(PyDict_GetItemRef(state.builtins, name, &value))) return Ref::steal(value);
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

void set_global(PyObject* name, Obj value) { check(PyDict_SetItem(state.dict, name, value.get())); }

Ref import(PyObject* dotted) {
    // through builtins.__import__ when something replaced it, as the interpreter imports; else
    // straight into the import system (which answers a loaded module from sys.modules)
    PyObject* hook = PyDict_GetItemWithError(state.builtins, "__import__"_id);
    if (!hook || hook != state.builtin_import) return Ref::steal(PyImport_Import(dotted));
    if (!state.leaf_fromlist) state.leaf_fromlist = check(Py_BuildValue("(O)", "__name__"_id));
    return Ref::steal(PyImport_ImportModuleLevelObject(dotted, state.dict, nullptr, state.leaf_fromlist, 0));
}

Ref import_from(PyObject* dotted, PyObject* name) {
    Ref module = import(dotted);
    PyObject* value;
    check(PyObject_GetOptionalAttr(module.get(), name, &value));
    if (value) return Ref::steal(value);
    // a package's missing name may be a submodule not imported yet: import it, as the import
    // system does for a fromlist, where only the module's own absence is passed over
    if (check(PyObject_HasAttrWithError(module.get(), "__path__"_id))) {
        Ref sub = Ref::steal(PyUnicode_FromFormat("%U.%U", dotted, name));
        PyObject* loaded = PyImport_Import(sub.get());
        if (loaded) return Ref::steal(loaded);
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw_error();
        Ref absent = Ref::steal(PyErr_GetRaisedException());
        if (!eq(absent.attr_or_none("name"_id), sub)) {
            PyErr_SetRaisedException(absent.release());
            throw_error();
        }
    }
    // the interpreter's own error: the module's name, where it was loaded from, and the name
    // asked for (ImportError's name, path and name_from)
    Ref module_name = module.attr_or_none("__name__"_id);
    if (!PyUnicode_Check(module_name.get())) module_name = Ref(none());
    Ref shown = module_name.is_none() ? str("<unknown module name>") : module_name;
    Ref path;
    if (PyModule_Check(module.get())) {
        PyObject* file = PyModule_GetFilenameObject(module.get());
        if (!file && !PyErr_ExceptionMatches(PyExc_SystemError)) throw_error();
        PyErr_Clear();
        if (file && PyUnicode_Check(file)) path = Ref::steal(file);
        else Py_XDECREF(file);
    }
    Ref message = path.null()
        ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown.get()))
        : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown.get(), path.get()));
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ImportError, message.get()));
    check(PyObject_SetAttrString(error.get(), "name", module_name.get()));
    if (!path.null()) check(PyObject_SetAttrString(error.get(), "path", path.get()));
    check(PyObject_SetAttrString(error.get(), "name_from", name));
    raise_object(error.get());
}

// ---------------------------------------------------------------------------------------------
// Module body helpers

void Module::import(const char* dotted, const char* as) {
    Ref name = str(dotted);
    if (as) {
        set(as, frame::import(name.get()));
        return;
    }
    // `import a.b` binds the top-level package a
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), state.dict, nullptr, nullptr, 0));
    std::string_view d(dotted);
    set(std::string(d.substr(0, d.find('.'))).c_str(), top);
}

void Module::from_import(const char* dotted, const char* name, const char* as) {
    set(as ? as : name, frame::import_from(intern(dotted), intern(name)));
}

void Module::set(const char* name, Obj value) { set_global(intern(name), value); }

Ref Module::register_route(Obj function, const char* verb, const char* path) {
    Ref decorator = G("router"_id).method(intern(verb), path);
    return decorator(function);
}

// ---------------------------------------------------------------------------------------------
// Classes

ClassDef::ClassDef(const char* name, std::initializer_list<Obj> bases, const char* doc) : name_(str(name)) {
    orig_bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (Obj b : bases) PyTuple_SET_ITEM(orig_bases_.get(), i++, Py_NewRef(b.get()));

    // bases that are not classes may stand for others (__mro_entries__, e.g. Generic[T])
    Ref resolved = new_list();
    bool changed = false;
    for (Obj b : bases) {
        PyObject* entries_fn;
        if (!PyType_Check(b.get()) && check(PyObject_GetOptionalAttr(b.get(), "__mro_entries__"_id, &entries_fn))) {
            Ref fn = Ref::steal(entries_fn);
            Ref entries = fn(orig_bases_);
            if (!PyTuple_Check(entries.get())) raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(entries.get()); ++k)
                list_append(resolved, PyTuple_GET_ITEM(entries.get(), k));
            changed = true;
        } else {
            list_append(resolved, b);
        }
    }
    bases_ = Ref::steal(PyList_AsTuple(resolved.get()));

    // the most derived metaclass of the bases
    PyObject* meta = PyTuple_GET_SIZE(bases_.get()) ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases_.get(), 0)))
                                                    : reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(bases_.get()); ++k) {
        auto* t = Py_TYPE(PyTuple_GET_ITEM(bases_.get(), k));
        auto* winner = reinterpret_cast<PyTypeObject*>(meta);
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            meta = reinterpret_cast<PyObject*>(t);
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    metaclass_ = Ref(Obj(meta));

    PyObject* prepare;
    if (check(PyObject_GetOptionalAttr(meta, "__prepare__"_id, &prepare))) {
        Ref fn = Ref::steal(prepare);
        ns_ = fn(name_, bases_);
    } else {
        ns_ = new_dict();
    }
    ns_.setitem("__module__"_id, state.name);
    ns_.setitem("__qualname__"_id, name_.get());
    if (doc) ns_.setitem("__doc__"_id, str(doc).get());
    if (changed) ns_.setitem("__orig_bases__"_id, orig_bases_.get());
}

std::string ClassDef::qualified(const char* name) const {
    return std::string(as_utf8(name_)) + "." + name;
}

void ClassDef::set(const char* name, Obj value) { ns_.setitem(intern(name), value.get()); }

Ref ClassDef::create() {
    Ref cls = metaclass_(name_, bases_, ns_);
    set_global(intern(std::string(as_utf8(name_)).c_str()), cls);
    return cls;
}

// ---------------------------------------------------------------------------------------------
// Loading: multi-phase initialisation

namespace detail {

// An exit handler that sets interpreter_exiting: Python-level exit handlers run before the
// interpreter starts ending daemon threads (the low-level ones only after).
static void note_exit() {
    static PyMethodDef def = {"_note_exit",
                              [](PyObject*, PyObject*) -> PyObject* {
                                  interpreter_exiting = true;
                                  Py_RETURN_NONE;
                              },
                              METH_NOARGS, nullptr};
    Ref handler = Ref::steal(PyCFunction_New(&def, nullptr));
    import("atexit"_id).method("register"_id, handler);
}

static int copy_spec(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value;
    int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found <= 0) return found;
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return rc;
}

static PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.main_interpreter == -1) {
        state.main_interpreter = current;
        if (current == -1) return nullptr;
    } else if (state.main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

static int exec(PyObject* module) {
    ModuleDef& def = *state.def;
    if (state.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", def.short_name);
        return -1;
    }
    state.module = Py_NewRef(module);
    state.dict = PyModule_GetDict(module);
    try {
        state.name = intern(def.dotted_name);
        std::string path(def.dotted_name);
        for (char& c : path)
            if (c == '.') c = '/';
        state.filename = intern((path + ".py").c_str());
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        state.builtins = PyModule_GetDict(builtins.get());
        // kept for the process: while it is alive no other object can take its address
        state.builtin_import = Py_XNewRef(PyDict_GetItemWithError(state.builtins, "__import__"_id));
        note_exit();
        set_global("__builtins__"_id, builtins);
        int runtime_major = (Py_Version >> 24) & 0xff, runtime_minor = (Py_Version >> 16) & 0xff;
        if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION)
            check(PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                   PY_MAJOR_VERSION, PY_MINOR_VERSION, def.dotted_name, "does not match",
                                   runtime_major, runtime_minor));
        PyObject* modules = PyImport_GetModuleDict();
        if (!check(PyDict_Contains(modules, state.name))) check(PyDict_SetItem(modules, state.name, module));
        Module m;
        def.body(m);
        set_global("__test__"_id, new_dict());
        return 0;
    } catch (...) {
        set_error_from_current();
        std::string entry = std::string("init ") + def.dotted_name;
        if (state.filename && PyErr_Occurred()) {
            PyObject* exc = PyErr_GetRaisedException();
            PyObject* code = nullptr;
            try {
                Ref name = str(entry);
                code = make_code(name.get(), name.get(), {}, 1, false);
            } catch (...) {
                // no entry rather than a different error
            }
            PyErr_SetRaisedException(exc);
            add_traceback(code);
            Py_XDECREF(code);
        }
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, entry.c_str());
        Py_CLEAR(state.module);
        state.dict = nullptr;
        return -1;
    }
}

PyObject* ModuleDef::init() {
    state.def = this;
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static PyModuleDef module_def = {
        PyModuleDef_HEAD_INIT, short_name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&module_def);
}

}  // namespace detail
}  // namespace frame
