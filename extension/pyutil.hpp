// Helpers that carry what every unit of the extension repeats: owning
// references, argument parsing for METH_FASTCALL | METH_KEYWORDS, integer and
// text conversions with the module's exact messages.
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

// An interned Python string made once and kept for the life of the process.
PyObject* intern(const char* text);

// Looks a name up in the module namespace (then builtins), as the module's
// own code does at each use. Returns a new reference.
PyObject* module_global(PyObject* name);

// ---------------------------------------------------------------------------
// Argument parsing.
//
// A Signature names a function's parameters in order; `required` leading ones
// have no default. parse() fills `out` (borrowed references) from a vectorcall
// argument vector; slots not given keep what the caller put there, which is
// how defaults are expressed. Keywords are matched by identity with the
// interned names first, then by equality. The messages are CPython's.
constexpr int kMaxParams = 8;

struct Signature {
    const char* function;                 // as shown in messages, e.g. "get_raw_data"
    std::array<const char*, kMaxParams> names;
    int count;                            // number of parameters
    int required;                         // leading parameters without default
    int max_positional = -1;              // -1: all parameters may be positional
    std::array<PyObject*, kMaxParams> interned{};  // filled on first keyword use
};

bool parse_args(Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out, PyObject** extra_kwargs = nullptr);

// The same for tp_init's (args tuple, kwargs dict) form.
bool parse_tuple_args(Signature& sig, PyObject* args, PyObject* kwargs,
                      PyObject** out);

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

// The text-argument rule of the stream settings: exact bytes as they are,
// anything else through x.encode('ascii').
bool text_argument(PyObject* obj, std::string* out);

// Calls obj.<name>(*args) with vectorcall; `name` is interned.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* const* args = nullptr,
                      size_t nargs = 0, PyObject* kwnames = nullptr);

// The with-statement protocol of the module's types: __enter__ returns the
// object; __exit__(exc_type, exc_value, traceback) calls its close method
// through attribute lookup, so a subclass's close runs, and returns False
// so that an exception raised in the block propagates.
PyObject* context_enter(PyObject* self, PyObject* unused);
PyObject* context_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

}  // namespace zopy
