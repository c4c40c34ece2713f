// Functions: builtin function objects (module-level and nested functions) and the frame's own
// function type (methods and route functions). Their parameters: frame/params.hpp.
#pragma once
#include <initializer_list>
#include <span>

#include "frame/coro.hpp"
#include "frame/detail/invoke.hpp"
#include "frame/params.hpp"

namespace frame {

PyObject* module_object() noexcept;  // the module (borrowed): module-level functions are bound to it

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
