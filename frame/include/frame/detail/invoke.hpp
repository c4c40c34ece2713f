// The entry of every function: the call's arguments are bound and converted to the body's
// parameter types, the body runs, and its result is given to Python. Module code never names these;
// it defines functions with builtin, function, nested and the Module helpers.
#pragma once
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/detail/coroutine.hpp"
#include "frame/detail/recursion.hpp"

namespace frame::detail {

// ---------------------------------------------------------------------------------------------
// Conversions to the typed parameters

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
// a nested function's body takes its scope first
template <class... Ps> constexpr bool scoped = std::is_base_of_v<Scope, typename First<Ps...>::type>;

// ---------------------------------------------------------------------------------------------
// Step one: bind and convert

// The parameters Qs of a body (its scope apart) bound from a vectorcall's arguments, then
// converted to their types. What binding and conversion make (the *args tuple, an int from a
// float) is held here for the call.
template <class... Qs>
class Arguments {
public:
    static constexpr std::size_t n = sizeof...(Qs);

    Arguments(const FunctionInfo& fi, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : argv_(args) {
        if constexpr (std::is_same_v<typename Last<Qs...>::type, Rest>) {
            // the named parameters, then the positionals past them as a tuple
            constexpr Py_ssize_t named = static_cast<Py_ssize_t>(n) - 1;
            bind(fi, args, nargs, kwnames, bound_);
            Py_ssize_t extra = nargs > named ? nargs - named : 0;
            holds_[named] = Ref::steal(PyTuple_New(extra));
            for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(holds_[named].get(), i, Py_NewRef(args[named + i]));
            bound_[named] = holds_[named].get();
            argv_ = bound_;
        } else if (!in_order(fi, nargs, kwnames, n)) {
            // positionals, then keywords naming the remaining parameters in order, are already the
            // parameters' values in order (vectorcall puts keyword values after positionals);
            // anything else is bound
            bind(fi, args, nargs, kwnames, bound_);
            argv_ = bound_;
        }
    }

    std::tuple<Qs...> convert(const FunctionInfo& fi) { return convert_each(fi, std::index_sequence_for<Qs...>{}); }

    // New references to the converted arguments, for a coroutine object to own.
    void keep(PyObject** kept) {
        for (std::size_t i = 0; i < n; ++i) kept[i] = holds_[i].null() ? Py_NewRef(argv_[i]) : holds_[i].release();
    }

    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

private:
    template <std::size_t... I>
    std::tuple<Qs...> convert_each(const FunctionInfo& fi, std::index_sequence<I...>) {
        // braced initialisation converts left to right, so the first bad argument is the one named
        return std::tuple<Qs...>{Conv<Qs>::from(argv_[I], name_of<Qs>(fi, I), holds_[I])...};
    }

    PyObject* bound_[n + 1];
    PyObject* const* argv_;
    Ref holds_[n + 1];
};

// The Arguments of a body with parameters Ps: all of them, or all past its scope.
template <bool Scoped, class... Ps> struct ArgumentsOf { using type = Arguments<Ps...>; };
template <class S, class... Qs> struct ArgumentsOf<true, S, Qs...> { using type = Arguments<Qs...>; };

// ---------------------------------------------------------------------------------------------
// Step two: run the body and give Python its result

// F on the converted parameters (a nested function's scope, self, first): a coroutine function's
// result is a new coroutine object, which owns every argument for as long as the body may run;
// void gives None, bool a bool.
template <auto F, class R, class... Ps, class A, class... Qs>
PyObject* to_python(R (*)(Ps...), A& arguments, std::tuple<Qs...>&& params, const FunctionInfo& fi, PyObject* self) {
    constexpr bool has_scope = scoped<Ps...>;
    auto body_args = [&] {
        if constexpr (has_scope) {
            using S = typename First<Ps...>::type;
            return std::tuple_cat(std::tuple<S>(S(self)), std::move(params));
        } else {
            return std::move(params);
        }
    };
    if constexpr (std::is_same_v<R, Co>) {
        PyObject** kept;
        Ref coroutine = Ref::steal(new_coroutine(fi, A::n + (has_scope ? 1 : 0), &kept));
        if constexpr (has_scope) *kept++ = Py_NewRef(self);
        arguments.keep(kept);
        start_coroutine(coroutine, std::apply(F, body_args()));
        return coroutine.release();
    } else if constexpr (std::is_void_v<R>) {
        std::apply(F, body_args());
        return Py_NewRef(Py_None);
    } else if constexpr (std::is_same_v<R, bool>) {
        return Py_NewRef(std::apply(F, body_args()) ? Py_True : Py_False);
    } else {
        return std::apply(F, body_args()).release();
    }
}

// The entry of every function: refuses when the thread's stack is nearly used up, binds and
// converts, runs the body (as the running function), and turns a C++ exception into the Python
// error (with the function's traceback entry). A thread the interpreter ends at exit unwinds
// through here untouched.
template <auto F, class R, class... Ps>
PyObject* invoke(R (*f)(Ps...), const FunctionInfo& fi, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    if (stack_exhausted()) return nullptr;
    Running running(&fi);
    try {
        typename ArgumentsOf<scoped<Ps...>, Ps...>::type arguments(fi, args, nargs, kwnames);
        return to_python<F>(f, arguments, arguments.convert(fi), fi, self);
    } catch (...) {
        rethrow_if_thread_ending();
        fail(fi);
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Function definitions

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
}  // namespace frame::detail
