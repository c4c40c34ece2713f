// Functions: the argument binder, typed parameters, builtin function objects (module-level and
// nested functions) and the frame's own function type (methods and route functions).
//
// A body is a plain C++ function whose parameter types say how arguments are checked:
//   Obj        any object                    Str, Dict, List, Tuple   exactly that builtin type
//   Int        int, or converted from a number (float 12.0 -> 12)
//   Float      float, or converted from a number (int 2 -> 2.0)
//   Opt<T>     T or None                     Rest    *args (last; its name written "*args")
//   Vars<...>  (first parameter of a nested function) the enclosing function's variables
// It returns Ref (the result), void (None), bool or Co (a coroutine function).
#pragma once
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/coro.hpp"

namespace frame {

// ---------------------------------------------------------------------------------------------
// Parameters

struct Required {};
inline constexpr Required required{};
// The parameter list of a function without parameters.
struct NoParams {};
inline constexpr NoParams no_params{};

struct Param {
    Param(const char* name) : name(name) {}
    Param(const char* name, Arg default_value, const char* annotation = nullptr);
    Param(const char* name, Required, const char* annotation) : name(name), annotation(annotation) {}
    const char* name;
    Ref default_value;                   // null: required
    const char* annotation = nullptr;    // the annotation as written, e.g. "float | None"
};

using Params = std::span<const Param>;

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

PyObject* module_object() noexcept;  // the module (borrowed): module-level functions are bound to it

// Binds vectorcall arguments to parameters (interpreter texts on failure); out[i] borrowed.
void bind(const FunctionInfo& fi, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Sets the error for the C++ exception being handled and adds fi's traceback entry.
void fail(const FunctionInfo& fi) noexcept;

// Adds a traceback entry (code's qualified name, line and the module's source path) to the
// pending exception.
void add_traceback(PyObject* code) noexcept;

[[noreturn]] void raise_arg_type(PyObject* argname, const char* expected, PyObject* given);

// ---------------------------------------------------------------------------------------------
// Typed parameters

struct Str : Obj { using Obj::Obj; std::string_view view() const { return as_utf8(*this); } };
struct Dict : Obj { using Obj::Obj; };
struct List : Obj { using Obj::Obj; };
struct Tuple : Obj { using Obj::Obj; };
// *args: the positional arguments past the named ones, as a tuple (last parameter; named "*name")
struct Rest : Obj { using Obj::Obj; };
struct Int : Obj { using Obj::Obj; long long value() const { return as_long(*this); } };
struct Float : Obj { using Obj::Obj; double value() const { return as_double(*this); } };
template <class T>
struct Opt : Obj {
    using Obj::Obj;
    T value() const { return T(get()); }
};

// The variables of an enclosing function that its nested functions read and write. Each
// enclosing function has its own scope type, named "<outer>.<locals>", which also makes the
// nested builtins' __qualname__ read "outer.<locals>.inner". Module code names its variables
// through Vars, below.
class Scope : public Obj {
public:
    using Obj::Obj;
    Ref load(Py_ssize_t slot, PyObject* name) const;  // NameError while unassigned
    void store(Py_ssize_t slot, Obj value) const;
};
// A scope object for the variables of the function whose qualified name is outer.
Ref new_scope(const char* outer, Py_ssize_t slots);

// The variables of the function Outer that its nested functions share, each named once:
//   using Batch = Vars<"batch_intraday", "icli", "cache">;
//   Held scope = Batch::make();
//   Batch(scope).set<"icli">(icli);
//   Ref fetch = nested<&fetch_one>(scope, "_fetch_one", {"sym"});  // batch_intraday.<locals>._fetch_one
//   Co fetch_one(Batch s, Str sym) { Ref ib = s.get<"icli">().attr("ib"_id); ... }
// A name the scope does not have does not compile.
template <Literal Outer, Literal... Names>
class Vars : public Scope {
public:
    using Scope::Scope;
    static constexpr const char* outer() noexcept { return Outer.text; }
    static Ref make() { return new_scope(outer(), sizeof...(Names)); }
    template <Literal Name>
    Ref get() const { return load(slot<Name>(), operator""_id<Name>()); }
    template <Literal Name>
    void set(Obj value) const { store(slot<Name>(), value); }
private:
    template <Literal Name>
    static constexpr Py_ssize_t slot() {
        constexpr Py_ssize_t found = [] {
            Py_ssize_t i = 0, at = -1;
            ((std::string_view(Names.text) == std::string_view(Name.text) ? at = i : 0, ++i), ...);
            return at;
        }();
        static_assert(found >= 0, "the scope has no variable of that name");
        return found;
    }
};

namespace detail {
template <class T> struct Conv;
template <> struct Conv<Obj> {
    static Obj from(PyObject* o, PyObject*, Ref&) { return o; }
};
template <class T, PyTypeObject* Type>
struct ExactConv {
    static T from(PyObject* o, PyObject* name, Ref&) {
        if (Py_TYPE(o) != Type) raise_arg_type(name, Type->tp_name, o);
        return T(o);
    }
};
template <> struct Conv<Str> : ExactConv<Str, &PyUnicode_Type> {};
template <> struct Conv<Dict> : ExactConv<Dict, &PyDict_Type> {};
template <> struct Conv<List> : ExactConv<List, &PyList_Type> {};
template <> struct Conv<Tuple> : ExactConv<Tuple, &PyTuple_Type> {};
template <> struct Conv<Rest> {
    static Rest from(PyObject* o, PyObject*, Ref&) { return Rest(o); }
};
PyObject* to_int(PyObject* o, PyObject* name, Ref& hold);
PyObject* to_float(PyObject* o, PyObject* name, Ref& hold);
template <> struct Conv<Int> {
    static Int from(PyObject* o, PyObject* name, Ref& hold) { return Int(to_int(o, name, hold)); }
};
template <> struct Conv<Float> {
    static Float from(PyObject* o, PyObject* name, Ref& hold) { return Float(to_float(o, name, hold)); }
};
template <class T> struct Conv<Opt<T>> {
    static Opt<T> from(PyObject* o, PyObject* name, Ref& hold) {
        if (o == Py_None) return Opt<T>(o);
        return Opt<T>(Conv<T>::from(o, name, hold).get());
    }
};

// the name a conversion error gives: the parameter's (for *args: its name after the star)
template <class P>
PyObject* name_of(const FunctionInfo& fi, std::size_t i) {
    if constexpr (std::is_same_v<P, Rest>) return fi.rest;
    else return fi.names[i];
}

template <class... Ps, std::size_t... I>
std::tuple<Ps...> convert(std::index_sequence<I...>, PyObject* const* bound, const FunctionInfo& fi, Ref* holds) {
    // braced initialisation converts left to right, so the first bad argument is the one named
    return std::tuple<Ps...>{Conv<Ps>::from(bound[I], name_of<Ps>(fi, I), holds[I])...};
}

inline bool in_order(const FunctionInfo& fi, Py_ssize_t nargs, PyObject* kwnames, std::size_t n) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != static_cast<Py_ssize_t>(n)) return false;
    for (Py_ssize_t j = 0; j < nkw; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) != fi.names[nargs + j]) return false;
    return true;
}

template <class... Ps> struct First { using type = void; };
template <class P, class... Ps> struct First<P, Ps...> { using type = P; };
template <class... Ps> struct Last { using type = void; };
template <class P> struct Last<P> { using type = P; };
template <class P, class... Ps> struct Last<P, Ps...> : Last<Ps...> {};
template <class... Ps> constexpr bool scoped = std::is_base_of_v<Scope, typename First<Ps...>::type>;

// The entry of every function: binds and converts the arguments, runs the body, and turns a
// C++ exception into the Python error (with the function's traceback entry). A thread the
// interpreter ends at exit unwinds through here untouched.
template <auto F, class R, class... Ps>
PyObject* invoke(R (*)(Ps...), const FunctionInfo& fi, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    constexpr bool scoped = detail::scoped<Ps...>;
    try {
        auto call_with = [&]<class... Qs>(std::tuple<Qs...>*) -> PyObject* {
            constexpr std::size_t n = sizeof...(Qs);
            PyObject* bound[n + 1];
            PyObject* const* argv = args;
            Ref holds[n + 1];
            if constexpr (std::is_same_v<typename Last<Qs...>::type, Rest>) {
                // the named parameters, then the positionals past them as a tuple
                constexpr Py_ssize_t named = static_cast<Py_ssize_t>(n) - 1;
                bind(fi, args, nargs, kwnames, bound);
                Py_ssize_t extra = nargs > named ? nargs - named : 0;
                holds[named] = Ref::steal(PyTuple_New(extra));
                for (Py_ssize_t i = 0; i < extra; ++i)
                    PyTuple_SET_ITEM(holds[named].get(), i, Py_NewRef(args[named + i]));
                bound[named] = holds[named].get();
                argv = bound;
            } else if (!in_order(fi, nargs, kwnames, n)) {
                // positionals, then keywords naming the remaining parameters in order, are
                // already the parameters' values in order (vectorcall puts keyword values after
                // positionals); anything else is bound
                bind(fi, args, nargs, kwnames, bound);
                argv = bound;
            }
            auto params = convert<Qs...>(std::index_sequence_for<Qs...>{}, argv, fi, holds);
            auto full = [&] {
                if constexpr (scoped) {
                    using S = typename First<Ps...>::type;
                    return std::tuple_cat(std::tuple<S>(S(self)), std::move(params));
                } else {
                    return std::move(params);
                }
            }();
            if constexpr (std::is_same_v<R, Co>) {
                // the coroutine object owns every argument for as long as the body may run
                PyObject** kept;
                Ref coroutine = Ref::steal(new_coroutine(fi, n + (scoped ? 1 : 0), &kept));
                if constexpr (scoped) *kept++ = Py_NewRef(self);
                for (std::size_t i = 0; i < n; ++i) kept[i] = holds[i].null() ? Py_NewRef(argv[i]) : holds[i].release();
                start_coroutine(coroutine, std::apply(F, std::move(full)));
                return coroutine.release();
            } else if constexpr (std::is_void_v<R>) {
                std::apply(F, std::move(full));
                return Py_NewRef(Py_None);
            } else if constexpr (std::is_same_v<R, bool>) {
                return Py_NewRef(std::apply(F, std::move(full)) ? Py_True : Py_False);
            } else {
                return std::apply(F, std::move(full)).release();
            }
        };
        if constexpr (scoped) {
            return [&]<class S, class... Qs>(void (*)(S, Qs...)) {
                return call_with(static_cast<std::tuple<Qs...>*>(nullptr));
            }(static_cast<void (*)(Ps...)>(nullptr));
        } else {
            return call_with(static_cast<std::tuple<Ps...>*>(nullptr));
        }
    } catch (...) {
        rethrow_if_thread_ending();
        fail(fi);
        return nullptr;
    }
}

template <auto F> FunctionInfo& info() {
    static FunctionInfo fi;
    return fi;
}

template <auto F>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<F>(F, info<F>(), self, args, nargs, kwnames);
}

template <auto F>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return invoke<F>(F, info<F>(), self, nullptr, 0, nullptr);
}

template <class R, class... Ps> constexpr bool returns_co(R (*)(Ps...)) { return std::is_same_v<R, Co>; }
template <class R, class... Ps> constexpr bool takes_scope(R (*)(Ps...)) { return scoped<Ps...>; }
template <class R, class... Ps> constexpr std::size_t arity(R (*)(Ps...)) { return sizeof...(Ps) - (scoped<Ps...> ? 1 : 0); }
template <class R, class... Ps> auto scope_of(R (*)(Ps...)) -> typename First<Ps...>::type;

// Checked where a function is defined: one parameter name for each parameter of its body.
template <auto F, std::size_t N>
constexpr void check_arity() {
    static_assert(arity(F) == N, "the parameter list must name each parameter of the body, no more, no fewer");
}

template <auto F>
FunctionInfo& prepare(const char* qualname, Params params, const char* doc, int line) {
    FunctionInfo& fi = info<F>();
    if (!fi.ready()) {
        fi.init(qualname, params, returns_co(F), line, doc);
        if constexpr (arity(F) == 0) {
            // a function without parameters takes no arguments at all (METH_NOARGS)
            fi.def.ml_flags = METH_NOARGS;
            fi.def.ml_meth = &noargs_entry<F>;
        } else {
            fi.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>));
        }
    }
    return fi;
}

// a nested function's info, qualified by its scope's function
template <auto F>
FunctionInfo& prepare_nested(const char* name, Params params, const char* doc, int line) {
    static_assert(takes_scope(F), "a nested function's body takes its scope's Vars first");
    FunctionInfo& fi = info<F>();
    if (fi.ready()) return fi;
    using S = decltype(scope_of(F));
    std::string qualname = std::string(S::outer()) + ".<locals>." + name;
    return prepare<F>(qualname.c_str(), params, doc, line);
}

Ref builtin_function(FunctionInfo& fi, PyObject* self);
Ref function_object(FunctionInfo& fi, PyCFunctionFastWithKeywords impl, Params params,
                    const char* return_annotation);
}  // namespace detail

// A module-level builtin function object, bound to the module (not yet stored as a module
// global: see Module::def). The parameter names are checked against the body's parameters.
template <auto F, std::size_t N>
Ref builtin(const char* name, const Param (&params)[N], const char* doc = nullptr, int line = __builtin_LINE()) {
    detail::check_arity<F, N>();
    return detail::builtin_function(detail::prepare<F>(name, Params(params), doc, line), module_object());
}
// ... of a body without parameters
template <auto F>
Ref builtin(const char* name, NoParams = {}, const char* doc = nullptr, int line = __builtin_LINE()) {
    detail::check_arity<F, 0>();
    return detail::builtin_function(detail::prepare<F>(name, Params(), doc, line), module_object());
}

// A function object of the frame's own type, for methods (qualname "Class.name") and route
// functions: binds as a method, has __code__, __defaults__, __annotations__ (texts) ...
template <auto F, std::size_t N>
Ref function(const char* qualname, const Param (&params)[N], const char* return_annotation = nullptr,
             const char* doc = nullptr, int line = __builtin_LINE()) {
    detail::check_arity<F, N>();
    auto& fi = detail::prepare<F>(qualname, Params(params), doc, line);
    return detail::function_object(fi, &detail::entry<F>, Params(params), return_annotation);
}

// ---------------------------------------------------------------------------------------------
// Nested functions

// A nested function bound to scope, named `name` inside the scope's function (qualified name
// "outer.<locals>.name").
template <auto F, std::size_t N>
Ref nested(Obj scope, const char* name, const Param (&params)[N], const char* doc = nullptr,
           int line = __builtin_LINE()) {
    detail::check_arity<F, N>();
    return detail::builtin_function(detail::prepare_nested<F>(name, Params(params), doc, line), scope.get());
}
template <auto F>
Ref nested(Obj scope, const char* name, NoParams = {}, const char* doc = nullptr, int line = __builtin_LINE()) {
    detail::check_arity<F, 0>();
    return detail::builtin_function(detail::prepare_nested<F>(name, Params(), doc, line), scope.get());
}

// A parameter of a route function's signature: its annotation object and default (none: no
// default), as the web framework reads them.
struct SigParam {
    const char* name;
    Obj annotation;
    Obj default_value = Obj();
};
// inspect.Signature of positional-or-keyword parameters.
Ref signature(std::span<const SigParam> params, Obj return_annotation = Obj());
inline Ref signature(std::initializer_list<SigParam> params, Obj return_annotation = Obj()) {
    return signature(std::span<const SigParam>(params.begin(), params.size()), return_annotation);
}

// Marks a route function for the web framework: its __signature__ (an inspect.Signature) and
// the coroutine mark, both read once at registration.
void set_signature(Obj function, Obj signature);

}  // namespace frame
