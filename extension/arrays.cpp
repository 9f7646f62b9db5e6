// The caller's own arrays: what an `out` argument must be for the library to
// fill it in place, and views of its memory.
#include "zopy.hpp"

namespace zopy {

namespace {

bool refuse(PyObject* kind, const char* name, const char* what) {
    PyErr_Format(kind, "%s must be %s", name, what);
    return false;
}

}  // namespace

bool check_out_array(PyObject* obj, const char* name, int typenum, npy_intp n) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyArray_TYPE(array) != typenum || !PyArray_ISNOTSWAPPED(array)) {
        Ref wanted = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
        if (!wanted) return false;
        PyErr_Format(PyExc_TypeError, "%s must have dtype %S, not %S", name, wanted.get(),
                     reinterpret_cast<PyObject*>(descr));
        return false;
    }
    if (PyArray_SIZE(array) != n) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd elements, not %zd", name,
                     static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(PyArray_SIZE(array)));
        return false;
    }
    if (!PyArray_IS_C_CONTIGUOUS(array)) return refuse(PyExc_ValueError, name, "C-contiguous");
    if (!PyArray_ISALIGNED(array)) return refuse(PyExc_ValueError, name, "aligned");
    if (!PyArray_ISWRITEABLE(array)) return refuse(PyExc_ValueError, name, "writeable");
    return true;
}

bool out_still_fits(PyObject* out, const char* name, int typenum, npy_intp n) {
    return out == Py_None || check_out_array(out, name, typenum, n);
}

bool out_length(PyObject* nsamples, npy_intp* n) {
    uint64_t count;
    if (!u64_via_int(nsamples, &count) || !fits_array_length(count)) return false;
    *n = static_cast<npy_intp>(count);
    return true;
}

PyObject* view_as(PyObject* array, int typenum, npy_intp n) {
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (!descr) return nullptr;
    Ref view = Ref::steal(PyArray_NewFromDescr(
        &PyArray_Type, descr, 1, &n, nullptr,
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), NPY_ARRAY_CARRAY, nullptr));
    if (!view || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                                       Py_NewRef(array)) < 0)
        return nullptr;
    return view.release();
}

bool SampleBlock::make(npy_intp n, int typenum, bool zero_filled) {
    array_ = Ref::steal(zero_filled ? new_zeros(n, typenum) : PyArray_EMPTY(1, &n, typenum, 0));
    typenum_ = typenum;
    n_ = n;
    return bool(array_);
}

bool SampleBlock::take(PyObject* out, const char* name, npy_intp n, int typenum) {
    if (!check_out_array(out, name, typenum, n)) return false;
    array_ = Ref::borrow(out);
    name_ = name;
    typenum_ = typenum;
    n_ = n;
    return true;
}

void* SampleBlock::memory() const {
    if (name_ && !check_out_array(array_.get(), name_, typenum_, n_)) return nullptr;
    return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get()));
}

bool share_memory(PyObject* a, PyObject* b) {
    auto range = [](PyObject* obj) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        const char* start = static_cast<const char*>(PyArray_DATA(array));
        return std::pair{start, start + PyArray_NBYTES(array)};
    };
    auto [a0, a1] = range(a);
    auto [b0, b1] = range(b);
    return a0 < b1 && b0 < a1;
}

}  // namespace zopy
