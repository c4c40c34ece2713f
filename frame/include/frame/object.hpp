// Owning and borrowed handles over Python objects, Python errors as C++ exceptions, interned
// names, calls through vectorcall and the few conversions module code needs.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

namespace frame {

class Ref;
class Obj;
class Held;
namespace detail {
struct Driver;
}

// At exit the interpreter ends its daemon threads by unwinding their C++ frames without the
// interpreter lock, and destructors must then leave Python objects alone. No thread is ended
// that way before the exit handlers have run (interpreter_exiting, set by one of them).
[[gnu::visibility("hidden")]] extern bool interpreter_exiting;
inline bool holding_interpreter() noexcept { return !interpreter_exiting || PyThreadState_GetUnchecked() != nullptr; }
// For a catch (...) handler: that unwinding (pthread_exit's, a foreign exception) must go on, and
// it is the only exception that reaches a handler on a thread without the interpreter. Told by
// that condition, not caught as abi::__forced_unwind&, which binds a reference to no object.
inline void rethrow_if_thread_ending() {
    if (!holding_interpreter()) throw;
}
void drop_while_exiting(PyObject* p) noexcept;
inline void drop(PyObject* p) noexcept {
    if (!p) return;
    if (__builtin_expect(interpreter_exiting, 0)) drop_while_exiting(p);
    else Py_DECREF(p);
}

// ---------------------------------------------------------------------------------------------
// Errors

// A raised Python exception travelling as a C++ exception. It owns the exception object, so the
// interpreter's error indicator is never left set while C++ code runs.
class PyError {
public:
    PyError();                                   // takes the interpreter's raised exception
    explicit PyError(PyObject* exc) noexcept;    // steals exc
    PyError(const PyError& o) noexcept;
    PyError(PyError&& o) noexcept : exc_(std::exchange(o.exc_, nullptr)) {}
    PyError& operator=(PyError o) noexcept { std::swap(exc_, o.exc_); return *this; }
    ~PyError();

    PyObject* value() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_, type); }
    // True for exceptions a Python `except Exception` would catch (not cancellation, exit, ...).
    bool is_exception() const noexcept { return matches(PyExc_Exception); }
    void restore() noexcept;                     // hands the exception back to the interpreter
private:
    PyObject* exc_;
};

[[noreturn]] void throw_error();                                  // raises what the interpreter has set
[[noreturn]] void raise(PyObject* type, const char* format, ...);  // PyErr_Format, then throw
[[noreturn]] void raise_object(PyObject* exc);                     // raises an exception instance

inline PyObject* check(PyObject* p) { if (!p) throw_error(); return p; }
inline int check(int rc) { if (rc < 0) throw_error(); return rc; }

// Converts the C++ exception being handled into the interpreter's error indicator (inside catch (...)).
void set_error_from_current() noexcept;

// Makes a caught exception "being handled" for Python (sys.exc_info(), logger.exception,
// __context__ chaining) for the lifetime of the guard, as an except block does: the handled
// exception of the innermost running coroutine (or of the thread) is set, and put back after.
// Inside a coroutine body the guard may live across an await: each coroutine object keeps its
// own handled exception, which the thread sees only while the coroutine runs.
class Handling {
public:
    explicit Handling(const PyError& e) noexcept : Handling(e.value()) {}
    explicit Handling(PyObject* exc) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
private:
    _PyErr_StackItem* item_;
    PyObject* saved_;
};

// Sets a pending Python exception aside for a scope (for destructors that may run Python code).
class ErrorGuard {
public:
    ErrorGuard() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~ErrorGuard() { if (exc_ && holding_interpreter()) PyErr_SetRaisedException(exc_); }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;
private:
    PyObject* exc_;
};

// ---------------------------------------------------------------------------------------------
// Interned names: "symbols"_id is interned once per process, on first use.

PyObject* intern(const char* text);

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { for (std::size_t i = 0; i < N; ++i) text[i] = s[i]; }
};

template <Literal L>
PyObject* operator""_id() {
    static PyObject* const name = intern(L.text);
    return name;
}

// ---------------------------------------------------------------------------------------------
// Handles

template <class Self>
class ObjectApi {
public:
    Ref attr(PyObject* name) const;
    Ref attr_or_none(PyObject* name) const;      // getattr(o, name, None)
    Ref attr_or(PyObject* name, Obj fallback) const;  // getattr(o, name, fallback)
    void setattr(PyObject* name, PyObject* value) const;
    Ref item(PyObject* key) const;
    template <std::integral I>
    Ref item(I index) const;                     // o[index]
    void setitem(PyObject* key, PyObject* value) const;
    template <class... A> Ref operator()(A&&... args) const;
    template <class... A> Ref method(PyObject* name, A&&... args) const;
    bool is(PyObject* o) const noexcept { return ptr() == o; }
    bool is_none() const noexcept { return ptr() == Py_None; }
    const char* type_name() const noexcept { return Py_TYPE(ptr())->tp_name; }
private:
    PyObject* ptr() const noexcept { return static_cast<const Self*>(this)->get(); }
};

// A borrowed reference: valid while its owner keeps the object alive.
class Obj : public ObjectApi<Obj> {
public:
    Obj() noexcept = default;
    Obj(PyObject* p) noexcept : p_(p) {}
    Obj(const Ref& r) noexcept;
    Obj(const Held& h) noexcept;
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept = delete;  // truth is truthy(); presence is get()
private:
    PyObject* p_ = nullptr;
};

// An owning reference.
class Ref : public ObjectApi<Ref> {
public:
    Ref() noexcept = default;
    Ref(Obj o) noexcept : p_(o.get()) { Py_XINCREF(p_); }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { drop(p_); }

    static Ref steal(PyObject* p) { return Ref(check(p), 0); }          // a new reference; null raises
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p, 0); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    bool null() const noexcept { return p_ == nullptr; }
    explicit operator bool() const noexcept = delete;
private:
    Ref(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An owning reference that a coroutine body keeps across awaits. While the body is suspended,
// the references in its C++ frame are invisible to the garbage collector, so a local that lives
// across an await must be a Held: made inside a running body, it is listed with the coroutine
// object, whose tp_traverse visits it and whose tp_clear drops it with the frame. (Outside a
// coroutine body it is a plain owning reference.)
class Held : public ObjectApi<Held> {
public:
    Held() noexcept { link(); }
    Held(Ref r) noexcept : p_(r.release()) { link(); }
    Held(const Held& o) noexcept : p_(Py_XNewRef(o.p_)) { link(); }
    Held& operator=(Ref r) noexcept {
        PyObject* old = std::exchange(p_, r.release());
        drop(old);
        return *this;
    }
    Held& operator=(const Held& o) noexcept { return *this = Ref(Obj(o)); }
    ~Held() {
        unlink();
        drop(p_);
    }
    PyObject* get() const noexcept { return p_; }
    bool null() const noexcept { return p_ == nullptr; }
    explicit operator bool() const noexcept = delete;
    // visits every Held of a coroutine's driver (for its tp_traverse)
    static int traverse(Held* first, visitproc visit, void* arg);
    Held* next() const noexcept { return next_; }
private:
    void link() noexcept;
    void unlink() noexcept;
    PyObject* p_ = nullptr;
    detail::Driver* owner_ = nullptr;
    Held* prev_ = nullptr;
    Held* next_ = nullptr;
};

inline Obj::Obj(const Ref& r) noexcept : p_(r.get()) {}
inline Obj::Obj(const Held& h) noexcept : p_(h.get()) {}

inline Obj none() noexcept { return Py_None; }
inline bool truthy(Obj o) { return check(PyObject_IsTrue(o.get())) != 0; }

// ---------------------------------------------------------------------------------------------
// Conversions

Ref str(std::string_view utf8);
Ref num(double v);
Ref num(long long v);
inline Ref num(int v) { return num(static_cast<long long>(v)); }
inline Ref num(long v) { return num(static_cast<long long>(v)); }
inline Ref boolean(bool v) { return Ref(Obj(v ? Py_True : Py_False)); }
double as_double(Obj o);
long long as_long(Obj o);
std::string_view as_utf8(Obj o);    // valid while o lives
Ref to_str(Obj o);                  // str(o)
Ref repr(Obj o);
Ref float_of(Obj o);                // float(o)
Ref round_to(Obj x, int ndigits);   // round(x, ndigits)
Py_ssize_t len(Obj o);

// Call arguments: objects pass through, C++ values are converted.
struct Arg {
    Arg(PyObject* p) noexcept : p(p) {}
    Arg(Obj o) noexcept : p(o.get()) {}
    Arg(const Ref& r) noexcept : p(r.get()) {}
    Arg(const Held& h) noexcept : p(h.get()) {}
    Arg(double v) : hold(num(v)), p(hold.get()) {}
    Arg(int v) : hold(num(v)), p(hold.get()) {}
    Arg(long v) : hold(num(v)), p(hold.get()) {}
    Arg(long long v) : hold(num(v)), p(hold.get()) {}
    Arg(bool v) : p(v ? Py_True : Py_False) {}
    Arg(const char* s) : hold(str(s)), p(hold.get()) {}
    Arg(std::string_view s) : hold(str(s)), p(hold.get()) {}
    Ref hold;
    PyObject* p;
};

// A keyword argument: call(f, a, kw("timeout"_id, 10.0)). Keywords come after positionals.
struct Kw {
    Kw(PyObject* name, Arg value) : name(name), value(std::move(value)) {}
    PyObject* name;
    Arg value;
};
inline Kw kw(PyObject* name, Arg value) { return Kw(name, std::move(value)); }

namespace detail {
template <class T> constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, Kw>;
// argv holds the positional arguments followed by the keyword values; argv[-1] is scratch space
// (PY_VECTORCALL_ARGUMENTS_OFFSET), which bound methods use to avoid a copy.
Ref vectorcall(PyObject* callable, PyObject** argv, std::size_t npos, const Kw* kws, std::size_t nkw);
Ref vectorcall_method(PyObject* name, PyObject** argv, std::size_t npos, const Kw* kws, std::size_t nkw);

template <class... A>
struct Packed {
    static constexpr std::size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    static constexpr std::size_t npos = sizeof...(A) - nkw;
};
template <class T>
void place(T&& a, PyObject** pos, PyObject** kwvals, std::size_t& ip, Kw* kws, std::size_t& ik, Arg* holds) {
    if constexpr (is_kw<T>) {
        new (&kws[ik]) Kw(std::forward<T>(a));
        kwvals[ik] = kws[ik].value.p;
        ++ik;
    } else {
        new (&holds[ip]) Arg(std::forward<T>(a));
        pos[ip] = holds[ip].p;
        ++ip;
    }
}
template <class F, class... A>
Ref pack_call(F&& invoke, PyObject* first, A&&... args) {
    using P = Packed<A...>;
    alignas(Arg) unsigned char hold_mem[sizeof(Arg) * (P::npos + 1)];
    alignas(Kw) unsigned char kw_mem[sizeof(Kw) * (P::nkw + 1)];
    Arg* holds = reinterpret_cast<Arg*>(hold_mem);
    Kw* kws = reinterpret_cast<Kw*>(kw_mem);
    PyObject* argv[P::npos + P::nkw + 2];
    argv[0] = nullptr;
    argv[1] = first;
    std::size_t ip = 0, ik = 0;
    struct Cleanup {
        Arg* h; std::size_t& n; Kw* k; std::size_t& m;
        ~Cleanup() { for (std::size_t i = 0; i < n; ++i) h[i].~Arg(); for (std::size_t i = 0; i < m; ++i) k[i].~Kw(); }
    } cleanup{holds, ip, kws, ik};
    (place(std::forward<A>(args), argv + 2, argv + 2 + P::npos, ip, kws, ik, holds), ...);
    return invoke(argv, P::nkw ? kws : nullptr);
}
}  // namespace detail

// call(f, a, b, kw("x"_id, v)): f(a, b, x=v)
template <class... A>
Ref call(Obj fn, A&&... args) {
    return detail::pack_call(
        [&](PyObject** argv, const Kw* kws) {
            using P = detail::Packed<A...>;
            return detail::vectorcall(fn.get(), argv + 2, P::npos, kws, P::nkw);
        },
        nullptr, std::forward<A>(args)...);
}

namespace detail {
Ref call_unpacked(PyObject* fn, PyObject* items, const Kw* kws, std::size_t nkw);
}
// fn(*items, name=value, ...): items is any iterable (a list of coroutines for gather, say).
template <class... K>
Ref call_unpacked(Obj fn, Obj items, K&&... kws) {
    static_assert((detail::is_kw<K> && ...), "call_unpacked takes keywords after the items");
    const Kw list[sizeof...(K) + 1] = {std::forward<K>(kws)..., Kw(nullptr, Arg(Py_None))};
    return detail::call_unpacked(fn.get(), items.get(), list, sizeof...(K));
}

template <class Self>
template <class... A>
Ref ObjectApi<Self>::operator()(A&&... args) const {
    return call(Obj(ptr()), std::forward<A>(args)...);
}

template <class Self>
template <class... A>
Ref ObjectApi<Self>::method(PyObject* name, A&&... args) const {
    return detail::pack_call(
        [&](PyObject** argv, const Kw* kws) {
            using P = detail::Packed<A...>;
            return detail::vectorcall_method(name, argv + 1, P::npos + 1, kws, P::nkw);
        },
        ptr(), std::forward<A>(args)...);
}

template <class Self>
Ref ObjectApi<Self>::attr(PyObject* name) const { return Ref::steal(PyObject_GetAttr(ptr(), name)); }

template <class Self>
Ref ObjectApi<Self>::attr_or_none(PyObject* name) const { return attr_or(name, Py_None); }

template <class Self>
Ref ObjectApi<Self>::attr_or(PyObject* name, Obj fallback) const {
    PyObject* out;
    check(PyObject_GetOptionalAttr(ptr(), name, &out));
    return out ? Ref::steal(out) : Ref(fallback);
}

template <class Self>
void ObjectApi<Self>::setattr(PyObject* name, PyObject* value) const { check(PyObject_SetAttr(ptr(), name, value)); }

template <class Self>
Ref ObjectApi<Self>::item(PyObject* key) const { return Ref::steal(PyObject_GetItem(ptr(), key)); }

template <class Self>
template <std::integral I>
Ref ObjectApi<Self>::item(I index) const {
    Ref key = Ref::steal(PyLong_FromLongLong(index));
    return item(key.get());
}

template <class Self>
void ObjectApi<Self>::setitem(PyObject* key, PyObject* value) const { check(PyObject_SetItem(ptr(), key, value)); }

// a == b, a != b, a < b, a <= b, a > b, a >= b: the truth of the comparison, as an if statement
// takes it (identity first for == and !=, as the interpreter's own comparisons of items do)
inline bool eq(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_EQ)) != 0; }
inline bool ne(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_NE)) != 0; }
inline bool lt(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_LT)) != 0; }
inline bool le(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_LE)) != 0; }
inline bool gt(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_GT)) != 0; }
inline bool ge(Obj a, Arg b) { return check(PyObject_RichCompareBool(a.get(), b.p, Py_GE)) != 0; }

// a + b, a - b, a * b, a / b, a // b, a % b (a + b of two strs is their concatenation)
inline Ref add(Obj a, Arg b) { return Ref::steal(PyNumber_Add(a.get(), b.p)); }
inline Ref subtract(Obj a, Arg b) { return Ref::steal(PyNumber_Subtract(a.get(), b.p)); }
inline Ref multiply(Obj a, Arg b) { return Ref::steal(PyNumber_Multiply(a.get(), b.p)); }
inline Ref divide(Obj a, Arg b) { return Ref::steal(PyNumber_TrueDivide(a.get(), b.p)); }
inline Ref floor_divide(Obj a, Arg b) { return Ref::steal(PyNumber_FloorDivide(a.get(), b.p)); }
inline Ref modulo(Obj a, Arg b) { return Ref::steal(PyNumber_Remainder(a.get(), b.p)); }

inline bool contains(Obj container, Arg item) { return check(PySequence_Contains(container.get(), item.p)) != 0; }  // item in container
inline bool isinstance(Obj o, Obj type) { return check(PyObject_IsInstance(o.get(), type.get())) != 0; }
inline bool hasattr(Obj o, PyObject* name) { return check(PyObject_HasAttrWithError(o.get(), name)) != 0; }
// o[start:stop], with none() for an end left out: o[:n] is slice(o, none(), n)
inline Ref slice(Obj o, Arg start, Arg stop) {
    Ref bounds = Ref::steal(PySlice_New(start.p, stop.p, nullptr));
    return o.item(bounds.get());
}
inline Ref int_of(Obj o) { return Ref::steal(PyNumber_Long(o.get())); }          // int(o)
inline Ref tuple_from(Obj iterable) { return Ref::steal(PySequence_Tuple(iterable.get())); }  // tuple(iterable)
inline Ref list_from(Obj iterable) { return Ref::steal(PySequence_List(iterable.get())); }    // list(iterable)
inline Ref formatted(Obj o) { return Ref::steal(PyObject_Format(o.get(), nullptr)); }         // f"{o}"
inline Ref type_of(Obj o) { return Ref(Obj(reinterpret_cast<PyObject*>(Py_TYPE(o.get())))); }  // type(o)
// a <op> b as the object the comparison gives, not its truth (a pandas Series compares item by
// item): rich_compare(dates, day, Py_LE) is dates <= day
inline Ref rich_compare(Obj a, Arg b, int op) { return Ref::steal(PyObject_RichCompare(a.get(), b.p, op)); }

// a += b, a -= b: the in-place operators; the result is what the statement assigns back
// (o.x += v reads o.x, then evaluates v, then stores the result in o.x)
inline Ref iadd(Obj a, Obj b) { return Ref::steal(PyNumber_InPlaceAdd(a.get(), b.get())); }
inline Ref isub(Obj a, Obj b) { return Ref::steal(PyNumber_InPlaceSubtract(a.get(), b.get())); }

inline Ref iter(Obj o) { return Ref::steal(PyObject_GetIter(o.get())); }
// next(it), or a null Ref once the iterator is exhausted
inline Ref next_item(Obj it) {
    PyObject* item = PyIter_Next(it.get());
    if (!item && PyErr_Occurred()) throw_error();
    return Ref::steal_or_null(item);
}

// for x in iterable: for (Ref x : iterate(iterable)). The range keeps the iterable (or its
// iterator) and the current item alive through the loop body, so the body may call out freely;
// what iter() or next() raises comes out of the loop as a PyError. The range holds plain
// references: a loop whose body awaits iterates with AsyncFor or over Held items instead.
class Iterate {
public:
    explicit Iterate(Obj iterable) : list_(PyList_CheckExact(iterable.get())) {
        source_ = list_ ? Ref(iterable) : iter(iterable);
    }
    Iterate(const Iterate&) = delete;
    Iterate& operator=(const Iterate&) = delete;

    struct End {};
    class Cursor {
    public:
        explicit Cursor(Iterate& range) noexcept : range_(&range) {}
        const Ref& operator*() const noexcept { return range_->item_; }
        Cursor& operator++() { range_->advance(); return *this; }
        bool operator!=(End) const noexcept { return !range_->item_.null(); }
    private:
        Iterate* range_;
    };
    Cursor begin() { advance(); return Cursor(*this); }
    End end() const noexcept { return {}; }
private:
    void advance() {
        if (!list_) {
            item_ = next_item(source_);
        } else if (index_ < PyList_GET_SIZE(source_.get())) {
            // what the list iterator does, without the iterator: the size is read at every step
            item_ = Ref(Obj(PyList_GET_ITEM(source_.get(), index_++)));
        } else {
            item_ = Ref();
        }
    }
    bool list_;
    Py_ssize_t index_ = 0;
    Ref source_;
    Ref item_;
};
inline Iterate iterate(Obj iterable) { return Iterate(iterable); }

// type(o).<name> bound to o, as the interpreter looks up special methods (null Ref: none).
Ref lookup_special(Obj o, PyObject* name);

// The C++ exception being handled (inside a catch handler) as a PyError.
PyError current_error();

// try: body()  except Exception: handler(error); with exception types given, except (T1, T2):
// handler(error). The handler runs while the error is being handled (sys.exc_info(),
// logger.exception, the __context__ of what it raises); what it does not catch (for Exception:
// cancellation, KeyboardInterrupt, SystemExit) goes on up untouched.
template <class Body, class Handler, class... Types>
auto try_except(Body&& body, Handler&& handler, Types... types) -> decltype(body()) {
    std::optional<PyError> failure;
    try {
        return body();
    } catch (PyError& e) {
        bool caught = sizeof...(Types) == 0 ? e.is_exception() : (e.matches(types) || ...);
        if (!caught) throw;
        failure.emplace(std::move(e));
    }
    Handling handling(*failure);
    return handler(std::as_const(*failure));
}

namespace detail {
struct WithExit {
    Ref exit;
    // calls __exit__ for the body's outcome (error: null when it returned); true: the error
    // was suppressed
    bool operator()(const PyError* error) const;
};
WithExit enter_with(Obj manager, Ref& value);
}  // namespace detail

namespace detail {
void unpack(Obj iterable, Ref* out, std::size_t n);
}
// a, b = iterable: exactly N values, with the interpreter's errors otherwise
template <std::size_t N>
std::array<Ref, N> unpack(Obj iterable) {
    std::array<Ref, N> out;
    detail::unpack(iterable, out.data(), N);
    return out;
}

// The with statement: with manager as value: body(value)
template <class F>
void with(Obj manager, F&& body) {
    Ref value;
    detail::WithExit exit = detail::enter_with(manager, value);
    std::optional<PyError> failure;
    try {
        body(Obj(value));
    } catch (...) {
        failure.emplace(current_error());
    }
    if (!exit(failure ? &*failure : nullptr) && failure) throw *failure;
}

// ---------------------------------------------------------------------------------------------
// Containers

Ref new_dict();
Ref new_list(Py_ssize_t size = 0);
void dict_set(Obj d, PyObject* key, Arg value);
Ref dict_get(Obj d, PyObject* key);            // null Ref when absent
// mapping.get(key, fallback): a dict answers directly, anything else through its own get
Ref get(Obj mapping, PyObject* key, Obj fallback = none());
void list_append(Obj l, Arg value);
inline void delitem(Obj o, Arg key) { check(PyObject_DelItem(o.get(), key.p)); }  // del o[key]
inline void dict_update(Obj d, Obj mapping) { check(PyDict_Update(d.get(), mapping.get())); }  // d.update(mapping): a dict's items, else mapping.keys() and mapping[key]
inline Ref new_set() { return Ref::steal(PySet_New(nullptr)); }
inline void set_add(Obj s, Arg value) { check(PySet_Add(s.get(), value.p)); }

namespace detail {
// both arguments live until the item is stored (a key given as text is a temporary string)
inline void dict_put(Obj d, Arg key, Arg value) { check(PyDict_SetItem(d.get(), key.p, value.p)); }
template <class T, std::size_t... I>
void dict_put_pairs(Obj d, T&& kv, std::index_sequence<I...>) {
    (dict_put(d, std::get<2 * I>(std::move(kv)), std::get<2 * I + 1>(std::move(kv))), ...);
}
}  // namespace detail

// dict_of("a"_id, x, "b"_id, y): {"a": x, "b": y} in that key order.
template <class... A>
Ref dict_of(A&&... kv) {
    static_assert(sizeof...(A) % 2 == 0, "dict_of takes key, value pairs");
    // sized for its keys up front, as the interpreter builds a dict display
    Ref d = Ref::steal(_PyDict_NewPresized(sizeof...(A) / 2));
    detail::dict_put_pairs(d, std::forward_as_tuple(std::forward<A>(kv)...), std::make_index_sequence<sizeof...(A) / 2>{});
    return d;
}

template <class... A>
Ref list_of(A&&... items) {
    Ref l = new_list(sizeof...(A));
    Py_ssize_t i = 0;
    auto put = [&](Arg a) { PyList_SET_ITEM(l.get(), i++, Py_NewRef(a.p)); };
    (put(Arg(std::forward<A>(items))), ...);
    return l;
}

template <class... A>
Ref tuple_of(A&&... items) {
    Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    auto put = [&](Arg a) { PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(a.p)); };
    (put(Arg(std::forward<A>(items))), ...);
    return t;
}

// "".join((a, b, ...)) of strs and texts: concat("No bars for ", symbol)
template <class... A>
Ref concat(A&&... pieces) {
    Ref parts = tuple_of(std::forward<A>(pieces)...);
    return Ref::steal(PyUnicode_Join(""_id, parts.get()));
}

}  // namespace frame

using frame::operator""_id;
