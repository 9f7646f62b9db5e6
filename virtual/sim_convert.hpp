// Value conversions between Python objects and the bench's control
// interface, for the extension zopy._sim (sim_module.cpp), over the shared
// helpers of pyutil.hpp.
#ifndef ZOPY_VIRTUAL_SIM_CONVERT_HPP
#define ZOPY_VIRTUAL_SIM_CONVERT_HPP

#include "pyutil.hpp"

#include "bench_control.h"

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace simpy {

using namespace zo;
using zopy::Ref;

inline PyObject* none() { return Py_NewRef(Py_None); }

// ------------------------------------------------------------- conversions

// None (the first attached instrument) or a serial as str.
inline bool to_serial(PyObject* o, control::Serial& out) {
    if (o == Py_None) return true;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = std::string(s, size_t(n));
    return true;
}

inline bool to_real(PyObject* o, double& out) {
    if (!PyFloat_Check(o) && !PyLong_Check(o)) return false;
    out = PyFloat_AsDouble(o);
    return !PyErr_Occurred();
}

// A Python integer as int64; false (with ValueError set) when it is not one.
inline bool to_int64(PyObject* o, int64_t& out) {
    int overflow = 0;
    if (!PyLong_Check(o)) return false;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) PyErr_SetString(PyExc_ValueError, "integer result out of range");
    return !overflow && !PyErr_Occurred();
}

inline bool to_bytes(PyObject* o, std::string& out) {
    if (!PyBytes_Check(o)) return false;
    out.assign(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)));
    return true;
}

// The bytes argument `name` of a parsed call (text the bench keeps as it is);
// TypeError for anything else.
template <zopy::ParamName name, const auto& sig>
bool bytes_of(const zopy::Arguments<sig>& a, std::string& out) {
    PyObject* o = a.template get<name>();
    if (to_bytes(o, out)) return true;
    PyErr_Format(PyExc_TypeError, "argument %d must be bytes, not %.50s",
                 sig.index(name.text) + 1, o == Py_None ? "None" : Py_TYPE(o)->tp_name);
    return false;
}

inline bool to_pair(PyObject* o, std::pair<double, double>& out) {
    return PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2 &&
           to_real(PyTuple_GET_ITEM(o, 0), out.first) && to_real(PyTuple_GET_ITEM(o, 1), out.second);
}

inline bool to_version(PyObject* o, std::array<uint8_t, 3>& out) {
    if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        int64_t v = 0;
        if (!to_int64(PyTuple_GET_ITEM(o, i), v) || v < 0 || v > 255) return false;
        out[size_t(i)] = uint8_t(v);
    }
    return true;
}

// The scripted result of a function of kind `kind`; false if it does not fit.
inline bool to_script(PyObject* o, calllog::Kind kind, calllog::Script& out) {
    using calllog::Kind;
    std::string text;
    switch (kind) {
    case Kind::Int: { int64_t v; if (!to_int64(o, v)) return false; out = v; return true; }
    case Kind::Double: { double v; if (!to_real(o, v)) return false; out = v; return true; }
    case Kind::Pair: { std::pair<double, double> v; if (!to_pair(o, v)) return false; out = v; return true; }
    case Kind::Version: { std::array<uint8_t, 3> v; if (!to_version(o, v)) return false; out = v; return true; }
    case Kind::Text: if (o == Py_None) { out = calllog::Null{}; return true; } [[fallthrough]];
    case Kind::ErrorText:
    case Kind::String: if (!to_bytes(o, text)) return false; out = std::move(text); return true;
    case Kind::Pointer: out = calllog::Null{}; return o == Py_None;
    }
    return false;
}

// A scripted result as override() takes it: text as bytes, a null pointer as None.
inline PyObject* from_script(const calllog::Script& s) {
    return std::visit(
        [](const auto& x) -> PyObject* {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, calllog::Null>) return none();
            else if constexpr (std::is_same_v<T, int64_t>) return PyLong_FromLongLong(x);
            else if constexpr (std::is_same_v<T, double>) return PyFloat_FromDouble(x);
            else if constexpr (std::is_same_v<T, std::pair<double, double>>)
                return Py_BuildValue("(dd)", x.first, x.second);
            else if constexpr (std::is_same_v<T, std::array<uint8_t, 3>>)
                return Py_BuildValue("(iii)", int(x[0]), int(x[1]), int(x[2]));
            else return PyBytes_FromStringAndSize(x.data(), Py_ssize_t(x.size()));
        },
        s);
}

inline PyObject* from_value(const calllog::Value& v) {
    return std::visit(
        [](const auto& x) -> PyObject* {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, calllog::None>) return none();
            else if constexpr (std::is_same_v<T, bool>) return PyBool_FromLong(x);
            else if constexpr (std::is_same_v<T, int64_t>) return PyLong_FromLongLong(x);
            else if constexpr (std::is_same_v<T, uint64_t>) return PyLong_FromUnsignedLongLong(x);
            else if constexpr (std::is_same_v<T, double>) return PyFloat_FromDouble(x);
            else {
                // Text is logged as str; bytes that are not UTF-8 stay bytes.
                PyObject* s = PyUnicode_DecodeUTF8(x.data(), Py_ssize_t(x.size()), "strict");
                if (s || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return s;
                PyErr_Clear();
                return PyBytes_FromStringAndSize(x.data(), Py_ssize_t(x.size()));
            }
        },
        v);
}

// A logged call as (name, *args).
inline PyObject* from_call(const calllog::Call& c) {
    Ref t = Ref::steal(PyTuple_New(Py_ssize_t(c.args.size() + 1)));
    if (!t) return nullptr;
    PyObject* name = PyUnicode_FromStringAndSize(c.name.data(), Py_ssize_t(c.name.size()));
    if (!name) return nullptr;
    PyTuple_SET_ITEM(t.get(), 0, name);   // the tuple owns it from here
    for (size_t i = 0; i < c.args.size(); ++i) {
        PyObject* v = from_value(c.args[i]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), Py_ssize_t(i + 1), v);
    }
    return t.release();
}

// A list of convert(item) for each of `items`; null with the exception if one fails.
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = convert(items[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);   // the list owns it from here
    }
    return list.release();
}

inline PyObject* from_string(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

inline const char* kind_name(calllog::Kind k) {
    using calllog::Kind;
    switch (k) {
    case Kind::Int: return "int";
    case Kind::Double: return "float";
    case Kind::Pair: return "pair";
    case Kind::Version: return "version";
    case Kind::Text: return "text";
    case Kind::ErrorText: return "error_text";
    case Kind::String: return "string";
    case Kind::Pointer: return "pointer";
    }
    return "?";
}

}  // namespace simpy

#endif  // ZOPY_VIRTUAL_SIM_CONVERT_HPP
