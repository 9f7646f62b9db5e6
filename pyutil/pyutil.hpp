// The CPython helpers that the package's extension modules (zopy.zopy,
// zopy._sim, zopy._timing) share: owning references, releasing the
// interpreter lock, argument parsing for METH_FASTCALL | METH_KEYWORDS with
// method records, integer and text conversions with the module's exact
// messages.
//
// Convention: functions returning PyObject* return a new reference or null
// with an exception set; functions returning bool return false with an
// exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace zopy {

// Whether this thread holds the interpreter lock (its thread state is
// attached). It does not while the finalising interpreter ends a daemon
// thread that tried to take the lock back: glibc's pthread_exit then unwinds
// the thread's stack and runs the destructors of the C++ frames on it.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Runs `work` with the interpreter lock released and returns its result.
// `work` must not touch Python objects, and is noexcept so that nothing
// escapes it while the lock is released. The lock is taken back outside any
// handler or destructor: a daemon thread ended there at interpreter exit
// unwinds straight out, and every Ref on its way lets go without touching
// Python.
template <typename Work>
auto without_interpreter_lock(Work&& work) {
    static_assert(std::is_nothrow_invocable_v<Work&>, "work done without the lock must be noexcept");
    PyThreadState* saved = PyEval_SaveThread();
    if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
        work();
        PyEval_RestoreThread(saved);
    } else {
        auto result = work();
        PyEval_RestoreThread(saved);
        return result;
    }
}

// Runs `body`, which returns a new reference or null with an exception set,
// and turns a C++ exception it throws into Python's: std::invalid_argument
// into ValueError, std::bad_alloc into MemoryError, anything else into
// RuntimeError. For modules over C++ interfaces that report by throwing
// (the virtual bench's). Call without_interpreter_lock outside it: no
// handler may be on the stack when the lock is taken back.
template <typename Body>
PyObject* translate(Body&& body) {
    try {
        return body();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// A move-only owning reference. `Ref::steal` takes over a new reference (as
// returned by most C API calls), `Ref::borrow` takes a borrowed one and
// increments it. A copy can never happen, so no path decrements twice.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // A thread being ended at interpreter exit has no lock to give the
    // reference back with; the process is going away, so it is left alone.
    ~Ref() {
        if (p_ && holds_interpreter_lock()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning it to Python).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that
// PyMethodDef holds (the flags tell CPython its real type).
template <typename F>
PyCFunction as_cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// The most arguments call_method passes on.
constexpr int kMaxParams = 8;

// An interned Python string made once and kept for the life of the process.
PyObject* intern(const char* text);

// ---------------------------------------------------------------------------
// Signatures, argument parsing and method records.
//
// A method's parameters are declared once, as a constexpr Signature beside
// its C function. The parser takes the arguments from it, the function reads
// them by name (`a.get<"mask">()`), and the docstring's first line is written
// from it. The parser's messages are CPython's.

// A parameter's default: as the parser passes it and as the signature line
// writes it.
struct Default {
    enum class Kind { required, py_none, py_true, py_false, integer, text, made };
    Kind kind = Kind::required;
    long integer = 0;
    const char* text = nullptr;
    PyObject* const* made = nullptr;   // a slot the module fills at import
};
inline constexpr Default kNone{Default::Kind::py_none};
inline constexpr Default kTrue{Default::Kind::py_true};
inline constexpr Default kFalse{Default::Kind::py_false};
constexpr Default integer(long value) { return {Default::Kind::integer, value}; }
constexpr Default text(const char* value) { return {Default::Kind::text, 0, value}; }
// An object the module makes at import (an array, say), read from its slot
// at each call; the signature line shows it as "...".
constexpr Default made_at_import(PyObject* const* slot) {
    return {Default::Kind::made, 0, nullptr, slot};
}

struct Param {
    const char* name;
    Default fallback{};
    bool keyword_only = false;
    bool listed = true;   // shown in the docstring's signature line

    // Left out of the signature line, which keeps showing the parameters the
    // method was first documented with (its docstring describes this one).
    constexpr Param unlisted() const {
        Param p = *this;
        p.listed = false;
        return p;
    }
};
constexpr Param required(const char* name) { return {name}; }
constexpr Param optional(const char* name, Default value) { return {name, value}; }
constexpr Param keyword_only(const char* name, Default value) { return {name, value, true}; }

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// The parameters of one function, in order: positional-or-keyword ones
// (required ones first), then keyword-only ones. With `other_keywords`
// (**kwargs) the keywords it does not name are collected for the caller.
template <size_t N>
struct Signature {
    static_assert(N <= 32, "the parser keeps one bit per parameter");
    const char* function;   // as shown in messages, e.g. "get_raw_data"
    std::array<Param, N> params;
    bool other_keywords = false;

    constexpr int required() const {
        int n = 0;
        while (n < int(N) && params[n].fallback.kind == Default::Kind::required) ++n;
        return n;
    }
    constexpr int max_positional() const {
        int n = 0;
        while (n < int(N) && !params[n].keyword_only) ++n;
        return n;
    }
    // The position of the parameter `name`; -1 when there is none.
    constexpr int index(const char* name) const {
        for (int i = 0; i < int(N); ++i) {
            if (same_text(params[i].name, name)) return i;
        }
        return -1;
    }
    constexpr Signature with_other_keywords() const {
        Signature s = *this;
        s.other_keywords = true;
        return s;
    }
};

// The signature of `function`; a parameter list the parser cannot take
// fails to compile.
template <typename... P>
consteval Signature<sizeof...(P)> signature(const char* function, P... params) {
    Signature<sizeof...(P)> sig{function, {params...}};
    for (int i = 0; i < int(sizeof...(P)); ++i) {
        const Param& p = sig.params[i];
        bool has_default = p.fallback.kind != Default::Kind::required;
        if (!has_default && (i >= sig.required())) throw "required parameters come first";
        if (!p.keyword_only && i > sig.max_positional()) throw "keyword-only parameters come last";
        if (sig.index(p.name) != i) throw "parameter names are unique";
    }
    return sig;
}

// A Signature as the parser sees it, with the objects it makes on first use
// and keeps for the life of the process.
struct SignatureView {
    const char* function;
    const Param* params;
    int count;
    int required;
    int max_positional;
    PyObject** interned;   // the parameter names
    PyObject** defaults;   // the integer and text defaults
};

// Fills `values` (borrowed references) from a vectorcall argument vector:
// defaults, positional arguments, keywords matched by identity with the
// interned names first, then by equality. With `other`, keywords not named
// go into a new dict there (left empty when there are none); without it they
// are refused.
bool parse_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** values, Ref* other);
// The same from positional values and a dict of keywords (or null).
bool parse_call(const SignatureView& sig, PyObject* const* positional, Py_ssize_t npositional,
                PyObject* kwargs, PyObject** values);

// A parameter name as a template argument: a.get<"mask">().
template <size_t N>
struct ParamName {
    char text[N]{};
    consteval ParamName(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// The parsed arguments of one call of a function with signature `sig`.
template <const auto& sig>
class Arguments {
public:
    static constexpr int kCount = int(sig.params.size());
    static constexpr int kRequired = sig.required();
    static constexpr int kMaxPositional = sig.max_positional();

    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        requires(!sig.other_keywords) {
        return parse_vectorcall(view(), args, nargs, kwnames, values_.data(), nullptr);
    }
    // `other` receives the keywords the signature does not name.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref& other)
        requires(sig.other_keywords) {
        return parse_vectorcall(view(), args, nargs, kwnames, values_.data(), &other);
    }
    // From positional values and a dict of keywords (or null): tp_init's
    // arguments, or keywords another method passes on.
    bool parse_dict(PyObject* const* positional, Py_ssize_t npositional, PyObject* kwargs)
        requires(!sig.other_keywords) {
        return parse_call(view(), positional, npositional, kwargs, values_.data());
    }
    bool parse_tuple(PyObject* args, PyObject* kwargs) {
        return parse_dict(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs);
    }

    template <ParamName name>
    PyObject* get() const {
        constexpr int i = sig.index(name.text);
        static_assert(i >= 0, "the signature has no parameter of that name");
        return values_[i];
    }

private:
    static SignatureView view() {
        return {sig.function, sig.params.data(), kCount, kRequired, kMaxPositional,
                interned_.data(), defaults_.data()};
    }

    static inline std::array<PyObject*, kCount> interned_{};
    static inline std::array<PyObject*, kCount> defaults_{};
    std::array<PyObject*, kCount> values_{};
};

// How a docstring's first line shows the signature.
enum class Line {
    none,         // the docstring has no signature line
    plain,        // name(a, b=1, *, c=None)
    with_self,    // name(self, a, b=1)
    names_only,   // name(a, b, c): the defaults not shown
};

// A docstring whose first line, when it has one, is written from a
// signature; the rest is `body`. No body: no docstring.
class Docstring {
public:
    template <size_t N>
    Docstring(const char* name, const Signature<N>& sig, Line line, const char* body)
        : name_(name), params_(sig.params.data()), count_(int(N)),
          other_keywords_(sig.other_keywords), line_(line), body_(body) {}
    // Without parameters.
    Docstring(const char* name, Line line, const char* body)
        : name_(name), line_(line), body_(body) {}

    // The text, written on first use and kept for the life of the process:
    // CPython reads it from here whenever __doc__ is asked for.
    const char* text();

private:
    const char* name_;
    const Param* params_ = nullptr;
    int count_ = 0;
    bool other_keywords_ = false;
    Line line_;
    const char* body_;
    std::string text_;
};

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method of one of the module's classes (or a module function), declared
// beside its C function.
class Method {
public:
    template <size_t N>
    Method(const Signature<N>& sig, FastFunction function, Line line, const char* body)
        : def_{sig.function, as_cfunction(function), METH_FASTCALL | METH_KEYWORDS, nullptr},
          doc_(sig.function, sig, line, body) {}
    static Method no_arguments(const char* name, PyCFunction function, Line line,
                               const char* body) {
        return Method(name, function, METH_NOARGS, line, body);
    }
    static Method one_argument(const char* name, PyCFunction function, const char* body) {
        return Method(name, function, METH_O, Line::none, body);
    }

    const char* name() const { return def_.ml_name; }
    // The definition CPython keeps a pointer to, with its docstring written.
    PyMethodDef* definition() {
        def_.ml_doc = doc_.text();
        return &def_;
    }

private:
    Method(const char* name, PyCFunction function, int flags, Line line, const char* body)
        : def_{name, function, flags, nullptr}, doc_(name, line, body) {}

    PyMethodDef def_;
    Docstring doc_;
};

// Makes `method` a function of `module` (its attribute, with the module's
// name as its __module__).
bool bind_function(PyObject* module, Method& method);

// ---------------------------------------------------------------------------
// Integer conversions.
//
// "Through int()": the object passes through Python's int() first (exact ints
// as they are; floats truncate; numeric strings parse), then to the C type.
// "Direct": an int is used as it is, anything else through its __int__ slot
// ("an integer is required" without one), as for C integer arguments.
//
// Out of range: negative for an unsigned type raises OverflowError "can't
// convert negative value to <type>"; above an 8/16-bit range "value too large
// to convert to <type>"; beyond a 32/64-bit range Python's own OverflowError.
bool u64_via_int(PyObject* obj, uint64_t* out);
bool u32_via_int(PyObject* obj, uint32_t* out);
bool u16_via_int(PyObject* obj, uint16_t* out);
bool i32_via_int(PyObject* obj, int32_t* out);

bool u8_direct(PyObject* obj, uint8_t* out);
bool u16_direct(PyObject* obj, uint16_t* out);
bool uint_direct(PyObject* obj, uint32_t* out);   // "unsigned int"
// A C enumeration (a signed int) named `type_name` in messages.
bool enum_direct(PyObject* obj, const char* type_name, int* out);

// Python's float(): floats as they are, numbers through __float__, text parsed.
bool to_double(PyObject* obj, double* out);

// Python truth testing into a C boolean.
bool to_bool(PyObject* obj, bool* out);

// A NUL-terminated UTF-8 text owned by someone else, as a new str (strict).
PyObject* str_from_utf8(const char* text);

// A str argument as its UTF-8 text, as C text parameters take it: TypeError
// "argument <position> must be str, not <type>" for anything else, and
// ValueError for a NUL inside (C code would see the text end there).
bool utf8_argument(PyObject* obj, int position, std::string* out);
// The same for the parameter `name` of a parsed call: utf8_of<"serial">(a, &s).
template <ParamName name, const auto& sig>
bool utf8_of(const Arguments<sig>& a, std::string* out) {
    return utf8_argument(a.template get<name>(), sig.index(name.text) + 1, out);
}

// Calls obj.<name>(*args) with vectorcall; `name` is interned.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* const* args = nullptr,
                      size_t nargs = 0, PyObject* kwnames = nullptr);

// Whether looking `name` up on `self` finds `base`'s own method `function`,
// as attribute lookup does: no class before `base` in the type's MRO defines
// `name` (a subclass may override it), and the instance's __dict__ does not
// shadow it. A type that looks names up its own way (__getattribute__,
// __getattr__) counts as overriding. Returns 1, 0, or -1 with an exception.
int finds_own_method(PyObject* self, PyTypeObject* base, PyObject* name, FastFunction function);

}  // namespace zopy
