// Parameters: the parameter lists of functions, the typed parameters a body declares, and the
// variables an enclosing function shares with its nested functions.
//
// A body is a plain C++ function whose parameter types say how arguments are checked:
//   Obj        any object                    Str, Dict, List, Tuple   exactly that builtin type
//   Int        int, or converted from a number (float 12.0 -> 12)
//   Float      float, or converted from a number (int 2 -> 2.0)
//   Opt<T>     T or None                     Rest    *args (last; its name written "*args")
//   Vars<...>  (first parameter of a nested function) the enclosing function's variables
// It returns Ref (the result), void (None), bool or Co (a coroutine function).
#pragma once
#include <span>
#include <string_view>

#include "frame/object.hpp"

namespace frame {

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

}  // namespace frame
