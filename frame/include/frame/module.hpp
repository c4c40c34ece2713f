// Module definition, module globals, imports, log lines and classes.
//
//   FRAME_MODULE(lagsentry, "quorvane.server.lagsentry", "doc") {
//       m.import("asyncio");
//       m.from_import("loguru", "logger");
//       m.set("DEFAULT_INTERVAL_SEC", num(1.0));
//       ...
//   }
//
// Module globals are read from the module dict at every use (G("asyncio"_id)), as Python code
// reads them, so replacing a module attribute takes effect at the next use.
#pragma once
#include <initializer_list>
#include <string>

#include "frame/function.hpp"

namespace frame {

// The module's global `name`, or NameError "name '...' is not defined" (builtins are consulted
// after the module dict, as in Python).
Ref G(PyObject* name);
void set_global(PyObject* name, Obj value);
PyObject* module_dict() noexcept;       // borrowed
PyObject* module_name() noexcept;       // the dotted name, borrowed

// `import a.b` made at call time: the module a.b, through the import system (so a replaced
// module or a missing package is seen where the call is made).
Ref import(PyObject* dotted);
// `from a import b` made at call time.
Ref import_from(PyObject* dotted, PyObject* name);

namespace detail {
PyObject* log_line(PyObject* level, int line);  // borrowed
}

// A log line's level ("info"_id), and the line of the module's source it is written on.
struct LogLevel {
    LogLevel(PyObject* name, int line = __builtin_LINE()) noexcept : name(name), line(line) {}
    PyObject* name;
    int line;
};

// logger.<level>(args...), the module global `logger` read at the call, made as a line of the
// running function: a loguru or logging record names the module (its __name__), the function
// and the line, as the same line in Python would, so a sink filtered by module sees it.
template <class... A>
void log(LogLevel level, A&&... args) {
    call(detail::log_line(level.name, level.line), std::forward<A>(args)...);
}

class Module {
public:
    // import asyncio / import a.b as x
    void import(const char* dotted, const char* as = nullptr);
    // from a import b [as c]
    void from_import(const char* dotted, const char* name, const char* as = nullptr);
    void set(const char* name, Obj value);

    // A route: `@router.<verb>(path)` over the coroutine function F, bound to the global
    // `name`. Each parameter's annotation and default are what the web framework binds by.
    struct RouteParam {
        const char* name;
        const char* annotation_text;  // as written, for __annotations__
        Obj annotation;
        Obj default_value = Obj();
    };
    template <auto F, std::size_t N>
    void route(const char* verb, const char* path, const char* name, const RouteParam (&params)[N],
               int line = __builtin_LINE()) {
        Ref fn = route_function<F>(name, params, line);
        set(name, register_route(fn, verb, path));
    }
    // ... of a route without parameters
    template <auto F>
    void route(const char* verb, const char* path, const char* name, int line = __builtin_LINE()) {
        detail::check_arity<F, 0>();
        auto& fi = detail::prepare<F>(name, Params(), nullptr, line);
        Ref fn = detail::function_object(fi, &detail::entry<F>, Params(), nullptr);
        set_signature(fn, signature(std::span<const SigParam>()));
        set(name, register_route(fn, verb, path));
    }
    // A route function with its signature and coroutine mark, not registered yet (for routes
    // whose decorators the module applies itself).
    template <auto F, std::size_t N>
    Ref route_function(const char* name, const RouteParam (&params)[N], int line = __builtin_LINE()) {
        detail::check_arity<F, N>();
        std::vector<Param> binder;
        std::vector<SigParam> sig;
        for (const RouteParam& p : params) {
            binder.push_back(p.default_value.get() ? Param(p.name, p.default_value, p.annotation_text)
                                                   : Param(p.name, required, p.annotation_text));
            sig.push_back(SigParam{p.name, p.annotation, p.default_value});
        }
        auto& fi = detail::prepare<F>(name, Params(binder), nullptr, line);
        Ref fn = detail::function_object(fi, &detail::entry<F>, Params(binder), nullptr);
        set_signature(fn, signature(std::span<const SigParam>(sig)));
        return fn;
    }

    template <auto F, std::size_t N>
    void def(const char* name, const Param (&params)[N], const char* doc = nullptr, int line = __builtin_LINE()) {
        set(name, builtin<F>(name, params, doc, line));
    }
    template <auto F>
    void def(const char* name, NoParams = {}, const char* doc = nullptr, int line = __builtin_LINE()) {
        set(name, builtin<F>(name, no_params, doc, line));
    }

private:
    // router.<verb>(path)(function): what the decorator returns
    Ref register_route(Obj function, const char* verb, const char* path);
};

// The class statement: metaclass resolution, __mro_entries__, __prepare__, then the namespace
// is filled and the metaclass called.
class ClassDef {
public:
    ClassDef(const char* name, std::initializer_list<Obj> bases = {}, const char* doc = nullptr);
    void set(const char* name, Obj value);
    template <auto F, std::size_t N>
    void method(const char* name, const Param (&params)[N], const char* return_annotation = nullptr,
                const char* doc = nullptr, int line = __builtin_LINE()) {
        set(name, function<F>(qualified(name).c_str(), params, return_annotation, doc, line));
    }
    // Creates the class and stores it as a module global of its name.
    Ref create();
private:
    std::string qualified(const char* name) const;
    Ref name_, bases_, orig_bases_, metaclass_, ns_;
};

namespace detail {
struct ModuleDef {
    const char* short_name;
    const char* dotted_name;
    const char* doc;
    void (*body)(Module&);
    PyObject* init();
};
}  // namespace detail

}  // namespace frame

#define FRAME_MODULE(short_name, dotted_name, doc)                                         \
    static void frame_module_body(::frame::Module& m);                                      \
    static ::frame::detail::ModuleDef frame_module_def{#short_name, dotted_name, doc,        \
                                                       &frame_module_body};                 \
    PyMODINIT_FUNC PyInit_##short_name() { return frame_module_def.init(); }               \
    static void frame_module_body([[maybe_unused]] ::frame::Module& m)
