#include "pyutil.hpp"

#include <span>

namespace zopy {

PyObject* intern(const char* text) {
    // Interned strings are immortal in 3.12; the reference is kept anyway so
    // the pointer stays valid whatever the interpreter does with it.
    return PyUnicode_InternFromString(text);
}

bool bind_function(PyObject* module, Method& method) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref function = Ref::steal(PyCMethod_New(method.definition(), module, name.get(), nullptr));
    return function && PyObject_SetAttrString(module, method.name(), function.get()) == 0;
}

// ---------------------------------------------------------------------------
// Argument parsing

namespace {

// The interned name of parameter i, made on first use and kept.
PyObject* interned_name(const SignatureView& sig, int i) {
    if (!sig.interned[i]) sig.interned[i] = PyUnicode_InternFromString(sig.params[i].name);
    return sig.interned[i];
}

// The default of parameter i (borrowed). Integers and texts are made on
// first use and kept; what the module makes at import is read from its slot
// each time, since a failed import that was retried has replaced it.
PyObject* default_value(const SignatureView& sig, int i) {
    const Default& d = sig.params[i].fallback;
    switch (d.kind) {
        case Default::Kind::py_none: return Py_None;
        case Default::Kind::py_true: return Py_True;
        case Default::Kind::py_false: return Py_False;
        case Default::Kind::made: return *d.made;
        case Default::Kind::integer:
            if (!sig.defaults[i]) sig.defaults[i] = PyLong_FromLong(d.integer);
            return sig.defaults[i];
        case Default::Kind::text:
            if (!sig.defaults[i]) sig.defaults[i] = PyUnicode_InternFromString(d.text);
            return sig.defaults[i];
        case Default::Kind::required: break;
    }
    return nullptr;
}

// The positional arguments, then the defaults of the parameters after them.
bool place_positional(const SignatureView& sig, PyObject* const* positional, Py_ssize_t n,
                      PyObject** values, uint32_t* given) {
    if (n > sig.max_positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)",
                     sig.function, sig.required < sig.max_positional ? "at most" : "exactly",
                     sig.max_positional, sig.max_positional == 1 ? "" : "s", n);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (i < n) {
            values[i] = positional[i];
            *given |= 1u << i;
        } else if (i >= sig.required && !(values[i] = default_value(sig, i))) {
            return false;
        }
    }
    return true;
}

// Index of the parameter named `key`, -1 if none, -2 on error.
int find_keyword(const SignatureView& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return -2;
    }
    for (int i = 0; i < sig.count; ++i) {
        PyObject* name = interned_name(sig, i);
        if (!name) return -2;
        if (name == key) return i;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Compare(sig.interned[i], key) == 0) return i;
        if (PyErr_Occurred()) return -2;
    }
    return -1;
}

bool place_keyword(const SignatureView& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   PyObject** values, uint32_t* given, Ref* other) {
    int i = find_keyword(sig, key);
    if (i == -2) return false;
    if (i == -1) {
        if (other) {
            if (!*other && !(*other = Ref::steal(PyDict_New()))) return false;
            return PyDict_SetItem(other->get(), key, value) == 0;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.function, key);
        return false;
    }
    if (i < nargs || (*given & (1u << i))) {
        PyErr_Format(PyExc_TypeError,
                     "argument for %s() given by name ('%U') and position (%d)",
                     sig.function, key, i + 1);
        return false;
    }
    values[i] = value;
    *given |= 1u << i;
    return true;
}

bool check_required(const SignatureView& sig, uint32_t given) {
    for (int i = 0; i < sig.required; ++i) {
        if (!(given & (1u << i))) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)",
                         sig.function, sig.params[i].name, i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** values, Ref* other) {
    nargs = PyVectorcall_NARGS(nargs);
    uint32_t given = 0;
    if (!place_positional(sig, args, nargs, values, &given)) return false;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, values,
                           &given, other))
            return false;
    }
    return check_required(sig, given);
}

bool parse_call(const SignatureView& sig, PyObject* const* positional, Py_ssize_t npositional,
                PyObject* kwargs, PyObject** values) {
    uint32_t given = 0;
    if (!place_positional(sig, positional, npositional, values, &given)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, npositional, values, &given, nullptr))
                return false;
        }
    }
    return check_required(sig, given);
}

// ---------------------------------------------------------------------------
// Docstrings

namespace {

std::string shown(const Default& d) {
    switch (d.kind) {
        case Default::Kind::py_none: return "None";
        case Default::Kind::py_true: return "True";
        case Default::Kind::py_false: return "False";
        case Default::Kind::integer: return std::to_string(d.integer);
        case Default::Kind::text: return std::string("\"") + d.text + "\"";
        case Default::Kind::made: return "...";
        case Default::Kind::required: break;
    }
    return "";
}

}  // namespace

const char* Docstring::text() {
    if (!body_) return nullptr;
    if (!text_.empty()) return text_.c_str();
    if (line_ != Line::none) {
        std::string parts;
        auto add = [&parts](const std::string& part) {
            parts += parts.empty() ? part : ", " + part;
        };
        if (line_ == Line::with_self) add("self");
        bool marked_keyword_only = false;
        for (const Param& p : std::span(params_, count_)) {
            if (!p.listed) continue;
            if (p.keyword_only && !std::exchange(marked_keyword_only, true)) add("*");
            bool has_default = p.fallback.kind != Default::Kind::required;
            add(has_default && line_ != Line::names_only ? p.name + ("=" + shown(p.fallback))
                                                         : p.name);
        }
        if (other_keywords_) add("**kwargs");
        text_ = std::string(name_) + "(" + parts + ")\n";
    }
    text_ += body_;
    return text_.c_str();
}

// ---------------------------------------------------------------------------
// Integer conversions

namespace {

bool negative_to(const char* type_name) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
    return false;
}

bool too_large_for(const char* type_name) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    return false;
}

// Python's int() of obj (new reference).
PyObject* python_int(PyObject* obj) {
    if (PyLong_CheckExact(obj)) return Py_NewRef(obj);
    return PyNumber_Long(obj);
}

// An int as it is, anything else through its __int__ slot.
PyObject* integer_direct(PyObject* obj) {
    if (PyLong_Check(obj)) return Py_NewRef(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* result = nb->nb_int(obj);
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

// An unsigned value of at most 64 bits from an int; `name` for messages.
bool unsigned_from_int(PyObject* value, const char* name, uint64_t max, bool small_type,
                       uint64_t* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) return negative_to(name);
    unsigned long long u;
    if (overflow == 0) {
        u = static_cast<unsigned long long>(v);
    } else if (small_type) {
        return too_large_for(name);
    } else {
        u = PyLong_AsUnsignedLongLong(value);   // raises Python's own OverflowError
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    }
    if (u > max) {
        if (small_type) return too_large_for(name);
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned long");
        return false;
    }
    *out = u;
    return true;
}

template <typename T>
bool unsigned_via(PyObject* (*to_int)(PyObject*), PyObject* obj, const char* name, T* out) {
    Ref value = Ref::steal(to_int(obj));
    if (!value) return false;
    uint64_t u;
    constexpr bool small = sizeof(T) <= 2;
    if (!unsigned_from_int(value.get(), name, static_cast<uint64_t>(T(~T(0))), small, &u))
        return false;
    *out = static_cast<T>(u);
    return true;
}

}  // namespace

bool u64_via_int(PyObject* obj, uint64_t* out) {
    return unsigned_via(python_int, obj, "uint64_t", out);
}
bool u32_via_int(PyObject* obj, uint32_t* out) {
    return unsigned_via(python_int, obj, "uint32_t", out);
}
bool u16_via_int(PyObject* obj, uint16_t* out) {
    return unsigned_via(python_int, obj, "uint16_t", out);
}
bool u8_direct(PyObject* obj, uint8_t* out) {
    return unsigned_via(integer_direct, obj, "uint8_t", out);
}
bool u16_direct(PyObject* obj, uint16_t* out) {
    return unsigned_via(integer_direct, obj, "uint16_t", out);
}
bool uint_direct(PyObject* obj, uint32_t* out) {
    return unsigned_via(integer_direct, obj, "unsigned int", out);
}

namespace {

// A signed 32-bit value from `to_int(obj)`; `type_name` null gives Python's
// own overflow message, otherwise "value too large to convert to <type>".
bool signed32_via(PyObject* (*to_int)(PyObject*), PyObject* obj, const char* type_name,
                  int32_t* out) {
    Ref value = Ref::steal(to_int(obj));
    if (!value) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        if (type_name) return too_large_for(type_name);
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool i32_via_int(PyObject* obj, int32_t* out) {
    return signed32_via(python_int, obj, nullptr, out);
}

bool enum_direct(PyObject* obj, const char* type_name, int* out) {
    int32_t value;
    if (!signed32_via(integer_direct, obj, type_name, &value)) return false;
    *out = value;
    return true;
}

bool to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    Ref value = Ref::steal(PyNumber_Float(obj));
    if (!value) return false;
    *out = PyFloat_AS_DOUBLE(value.get());
    return true;
}

bool to_bool(PyObject* obj, bool* out) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
}

PyObject* str_from_utf8(const char* text) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

bool utf8_argument(PyObject* obj, int position, std::string* out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument %d must be str, not %.50s", position,
                     obj == Py_None ? "None" : Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    if (std::strlen(text) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    out->assign(text, static_cast<size_t>(size));
    return true;
}

PyObject* call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs,
                      PyObject* kwnames) {
    // Vectorcall wants the receiver in front of the arguments.
    PyObject* stack[kMaxParams + 1];
    stack[0] = obj;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    for (size_t i = 0; i < nargs + nkw; ++i) stack[i + 1] = args[i];
    return PyObject_VectorcallMethod(name, stack, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames);
}

int finds_own_method(PyObject* self, PyTypeObject* base, PyObject* name, FastFunction function) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
    // Comparing names may run Python code that gives the type a new MRO.
    Ref mro = Ref::borrow(type->tp_mro);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        if (cls == base) break;
        Ref dict = Ref::steal(PyType_GetDict(cls));
        int defines = dict ? PyDict_Contains(dict.get(), name) : -1;
        if (defines != 0) return defines < 0 ? -1 : 0;
    }
    if (type->tp_dictoffset == 0) return 1;   // instances without a __dict__
    Ref found = Ref::steal(PyObject_GenericGetAttr(self, name));
    if (!found) return -1;
    return PyCFunction_Check(found.get()) && PyCFunction_GET_SELF(found.get()) == self &&
           PyCFunction_GET_FUNCTION(found.get()) == as_cfunction(function);
}

}  // namespace zopy
