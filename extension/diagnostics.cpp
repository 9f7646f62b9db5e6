// _DDevice: a Device that also sends raw control requests to the instrument,
// and sets the ADC clock divider with them.
#include "zopy.hpp"

namespace zopy {

namespace {

constexpr npy_intp kMaxOutData = 1024;

struct RequestHeader {
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
};

// request, value and index of a request's arguments.
template <typename Parsed>
bool convert_header(const Parsed& a, RequestHeader* h) {
    return u8_direct(a.template get<"request">(), &h->request) &&
           u16_direct(a.template get<"value">(), &h->value) &&
           u16_direct(a.template get<"index">(), &h->index);
}

// What numpy.zeros gave in_request (it is looked up once, at import, and a
// program may have replaced it by then) must be a buffer the library can fill.
bool check_in_data(PyObject* data) {
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    if (PyArray_Check(data) && PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == NPY_UINT8 &&
        PyArray_ISCARRAY(array))
        return true;
    PyErr_Format(PyExc_TypeError, "numpy.zeros gave a %.200s, not a writable 1-d uint8 array",
                 Py_TYPE(data)->tp_name);
    return false;
}

constexpr auto kInRequest =
    signature("in_request", required("request"), optional("value", integer(0)),
              optional("index", integer(0)), optional("length", integer(0)),
              optional("timeout", integer(1000)));

PyObject* in_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kInRequest> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    // numpy.zeros(length, dtype=numpy.uint8): numpy sees the length first,
    // so its own errors for it come before ours.
    Ref uint8 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT8)));
    if (!uint8) return nullptr;
    PyObject* zeros_args[2] = {a.get<"length">(), uint8.get()};
    Ref data = Ref::steal(PyObject_Vectorcall(state.numpy_zeros, zeros_args, 1, state.kw_dtype));
    if (!data || !check_in_data(data.get())) return nullptr;
    RequestHeader h;
    uint16_t length;
    uint32_t timeout;
    if (!convert_header(a, &h) || !u16_direct(a.get<"length">(), &length) ||
        !uint_direct(a.get<"timeout">(), &timeout))
        return nullptr;
    // numpy sized the array through __index__, the conversion went through
    // __int__: the library must never be told of more bytes than it holds.
    auto* array = reinterpret_cast<PyArrayObject*>(data.get());
    if (length != PyArray_SIZE(array)) {
        PyErr_SetString(PyExc_ValueError, "length does not match the size of the data array");
        return nullptr;
    }
    uint8_t* buffer = length > 0 ? static_cast<uint8_t*>(PyArray_DATA(array)) : nullptr;
    if (zo_in_request(handle_of(self), h.request, h.value, h.index, buffer, length, timeout) != 0)
        return raise_library_error();
    return data.release();
}

// `data` as a 1-d uint8 ndarray (or None, refused later by len()).
bool check_out_data(PyObject* data) {
    if (data == Py_None) return true;
    if (!PyArray_Check(data)) {
        PyErr_Format(PyExc_TypeError, "Argument 'data' has incorrect type (expected numpy.ndarray, got %s)",
                     Py_TYPE(data)->tp_name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)",
                     PyArray_NDIM(array));
        return false;
    }
    if (PyArray_TYPE(array) != NPY_UINT8) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'uint8_t' but got '%s'",
                     PyArray_DESCR(array)->typeobj->tp_name);
        return false;
    }
    return true;
}

// len(data) of a valid out_request data array, in the order of the checks
// the method makes: the type, len() (None fails here), then the size limit.
bool out_data_length(PyObject* data, Py_ssize_t* length) {
    if (!check_out_data(data)) return false;
    *length = PyObject_Length(data);
    if (*length < 0) return false;
    if (*length > kMaxOutData) {
        PyErr_SetString(PyExc_RuntimeError, "data too large");
        return false;
    }
    // An ndarray subclass may report a len() other than its size; the
    // library reads `length` bytes, which must all lie inside the array.
    if (*length != PyArray_SIZE(reinterpret_cast<PyArrayObject*>(data))) {
        PyErr_SetString(PyExc_ValueError, "len(data) does not match the size of the array");
        return false;
    }
    return true;
}

// The default data is one empty array, made at import and never written.
constexpr auto kOutRequest =
    signature("out_request", required("request"), optional("value", integer(0)),
              optional("index", integer(0)), optional("data", made_at_import(&state.empty_uint8)),
              optional("timeout", integer(1000)));

PyObject* out_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kOutRequest> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    PyObject* data = a.get<"data">();
    Py_ssize_t length;
    if (!out_data_length(data, &length)) return nullptr;
    RequestHeader h;
    uint32_t timeout;
    if (!convert_header(a, &h) || !uint_direct(a.get<"timeout">(), &timeout)) return nullptr;
    // The conversions may run Python code (__int__) that resizes or retypes
    // the array: it is checked again, and its memory taken, only now.
    Py_ssize_t length_now;
    if (!out_data_length(data, &length_now)) return nullptr;
    if (length_now != length) {
        PyErr_SetString(PyExc_ValueError, "data changed size while the request was prepared");
        return nullptr;
    }
    // A strided or reversed view is sent as the bytes it shows, in order; a
    // base-class array, so no subclass code runs from here on.
    Ref contiguous = Ref::steal(PyArray_FromArray(reinterpret_cast<PyArrayObject*>(data), nullptr,
                                                  NPY_ARRAY_IN_ARRAY | NPY_ARRAY_ENSUREARRAY));
    if (!contiguous) return nullptr;
    const uint8_t* buffer =
        length > 0 ? static_cast<const uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(contiguous.get())))
                   : nullptr;
    return status_result(zo_out_request(handle_of(self), h.request, h.value, h.index, buffer,
                                        static_cast<uint16_t>(length), timeout));
}

constexpr auto kSetClockDivide = signature("set_clock_divide", required("divide"));

PyObject* set_clock_divide(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    Arguments<kSetClockDivide> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    PyObject* divide = a.get<"divide">();
    bool valid = false;
    for (long allowed : {1L, 2L, 4L}) {
        Ref number = Ref::steal(PyLong_FromLong(allowed));
        int eq = number ? PyObject_RichCompareBool(divide, number.get(), Py_EQ) : -1;
        if (eq < 0) return nullptr;
        if ((valid = eq)) break;
    }
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "Invalid clock divide");
        return nullptr;
    }
    PyObject* one = state.int_1;
    Ref v = Ref::steal(PyNumber_Subtract(divide, one));
    Ref c192 = Ref::steal(PyLong_FromLong(192));
    Ref c194 = Ref::steal(PyLong_FromLong(194));
    Ref c11 = Ref::steal(PyLong_FromLong(11));
    Ref c255 = Ref::steal(PyLong_FromLong(255));
    if (!v || !c192 || !c194 || !c11 || !c255) return nullptr;
    PyObject* write_divider[3] = {c192.get(), c11.get(), v.get()};
    PyObject* apply[3] = {c192.get(), c255.get(), one};
    PyObject* read_back[3] = {c194.get(), c11.get(), one};
    if (!Ref::steal(call_method(self, state.str_out_request, write_divider, 1, state.kw_index_value)) ||
        !Ref::steal(call_method(self, state.str_out_request, apply, 1, state.kw_index_value)))
        return nullptr;
    Ref data = Ref::steal(call_method(self, state.str_in_request, read_back, 1, state.kw_index_length));
    Ref first = Ref::steal(data ? PyObject_GetItem(data.get(), state.int_0) : nullptr);
    int differs = first ? PyObject_RichCompareBool(first.get(), v.get(), Py_NE) : -1;
    if (differs < 0) return nullptr;
    if (differs) {
        PyErr_SetString(PyExc_RuntimeError, "clock divide unable to be set");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The diagnostic methods carry no docstrings.
Method in_request_method(kInRequest, in_request, Line::none, nullptr);
Method out_request_method(kOutRequest, out_request, Line::none, nullptr);
Method set_clock_divide_method(kSetClockDivide, set_clock_divide, Line::none, nullptr);

Method* const diagnostics_methods[] = {&in_request_method, &out_request_method,
                                       &set_clock_divide_method};

}  // namespace

bool add_diagnostics_members(ClassBuilder& cls) {
    // The default data of out_request: one empty array, made once, never written.
    Py_XSETREF(state.empty_uint8, new_zeros(0, NPY_UINT8));   // replaces a failed import's
    return state.empty_uint8 && cls.methods(diagnostics_methods);
}

}  // namespace zopy
