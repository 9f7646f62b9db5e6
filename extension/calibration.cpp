// Calibration and responsivity: the instrument's stored calibrations, the
// responsivity curve, and samples calibrated to µW.
#include "zopy.hpp"

namespace zopy {

namespace {

// The library code for a calibration type named by a key of
// calibrationtype_lookup, or an Error for any other key.
bool calibration_code(PyObject* type, int32_t* code) {
    Ref table = Ref::steal(module_global(state.str_calibrationtype_lookup));
    if (!table) return false;
    int known = PySequence_Contains(table.get(), type);
    if (known < 0) return false;
    if (!known) {
        raise_module_error("Invalid calibration type");
        return false;
    }
    Ref value = Ref::steal(PyObject_GetItem(table.get(), type));
    int code_value;
    if (!value || !enum_direct(value.get(), "int32_t", &code_value)) return false;
    *code = code_value;
    return true;
}

// The calibration of `type` from the library: the stored one or, given a
// wavelength (not null), the one at that wavelength. The library's pair of
// zeros raises Error.
bool read_calibration(PyObject* self, PyObject* type, PyObject* wavelength,
                      zo_calibration_t* c) {
    int32_t code;
    double nm = 0.0;
    if (!calibration_code(type, &code) || (wavelength && !to_double(wavelength, &nm)))
        return false;
    *c = wavelength ? zo_get_rel_calibration(handle_of(self), code, nm)
                    : zo_get_calibration(handle_of(self), code);
    if (c->m == 0.0 && c->b == 0.0) {
        raise_library_error();
        return false;
    }
    return true;
}

PyObject* calibration_array(PyObject* self, PyObject* type, PyObject* wavelength) {
    zo_calibration_t c;
    if (!read_calibration(self, type, wavelength, &c)) return nullptr;
    Ref array = Ref::steal(new_zeros(2, NPY_FLOAT64));
    if (!array) return nullptr;
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    values[0] = c.m;
    values[1] = c.b;
    return array.release();
}

constexpr auto kGetCalibration = signature("get_calibration", optional("type", text("auto")));

PyObject* get_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    Arguments<kGetCalibration> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    return calibration_array(self, a.get<"type">(), nullptr);
}

Method get_calibration_method(kGetCalibration, get_calibration, Line::with_self,
    "        Get a stored calibration.\n"
    "\n"
    "        The calibrations are from native detector units (ADC code or Volts) to uW of\n"
    "        power at the peak sensitivity of the photodiode.\n"
    "\n"
    "        Valid calibration types are:\n"
    "\n"
    "        * \"auto\"\n"
    "        * \"digital highgain\" (non-balanced only)\n"
    "        * \"digital lowgain\" (non-balanced only)\n"
    "        * \"analog highgain\" (non-balanced only)\n"
    "        * \"analog lowgain\" (non-balanced only)\n"
    "        * \"balanced\" (balanced only)\n"
    "        * \"balanced digital\" (balanced only)\n"
    "        * \"balanced analog\" (balanced only)\n"
    "        * \"p1 digital\" (balanced only)\n"
    "        * \"p1 analog\" (balanced only)\n"
    "        * \"p2 digital\" (balanced only)\n"
    "        * \"p2 analog\" (balanced only)\n"
    "\n"
    "        The calibration is returned as a two-item numpy array in the format of numpy\n"
    "        polynomials, and can be used with `numpy.poly1d`:\n"
    "        Y = calibration[0]*X + calibration[1].\n"
    "\n"
    "        Args:\n"
    "            type: A valid calibration type\n"
    "\n"
    "        Returns:\n"
    "            array: the calibration\n"
    "        ");

constexpr auto kGetRelCalibration = signature("get_rel_calibration", required("wavelength"),
                                              optional("type", text("auto")));

PyObject* get_rel_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arguments<kGetRelCalibration> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    return calibration_array(self, a.get<"type">(), a.get<"wavelength">());
}

Method get_rel_calibration_method(kGetRelCalibration, get_rel_calibration, Line::with_self,
    "        Get a stored calibration, but adjusted to uW of power at a specific wavelength.\n"
    "\n"
    "        The calibration is returned in the same format as :py:func:`get_calibration`.\n"
    "\n"
    "        Args:\n"
    "            type: A valid calibration type\n"
    "            wavelength (float): wavelength (in nm) to calculate the calibration at\n"
    "\n"
    "        Returns:\n"
    "            array: the calibration\n"
    "        ");

constexpr auto kGetRelResponsivity = signature("get_rel_responsivity", required("wavelength"));

PyObject* get_rel_responsivity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    Arguments<kGetRelResponsivity> a;
    double wavelength;
    if (!a.parse(args, nargs, kwnames) || !to_double(a.get<"wavelength">(), &wavelength))
        return nullptr;
    double responsivity = zo_get_rel_responsivity(handle_of(self), wavelength);
    if (responsivity == ZO_BAD_DOUBLE) return raise_library_error();
    return PyFloat_FromDouble(responsivity);
}

Method get_rel_responsivity_method(kGetRelResponsivity, get_rel_responsivity, Line::none,
    " Get the relative responsivity from the peak responsivity for a given wavelength.\n"
    "\n"
    "        Args:\n"
    "            wavelength (float): Wavelength to calculate relative responsivity at (in nm)\n"
    "\n"
    "        Returns:\n"
    "            float: relative responsivity, between 0 and 1.\n"
    "        ");

// ---------------------------------------------------------------------------
// get_calibrated_data through attribute lookup: the methods lookup finds on
// the object (a subclass's, an instance attribute) called as Python calls
// them, and numpy's arithmetic for whatever they return.

// A plain, aligned, native-order ndarray of `typenum` that numpy would treat
// no differently from our one-pass kernel.
PyArrayObject* plain_array(PyObject* obj, int typenum) {
    if (!PyArray_CheckExact(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(array) != typenum || !PyArray_ISCARRAY_RO(array) ||
        !PyArray_ISNOTSWAPPED(array))
        return nullptr;
    return array;
}

// The coefficients of a calibration that is the plain two-element float64
// array the module itself makes; null otherwise.
const double* plain_pair(PyObject* calibration_obj) {
    PyArrayObject* calibration = plain_array(calibration_obj, NPY_FLOAT64);
    if (!calibration || PyArray_NDIM(calibration) != 1 || PyArray_DIM(calibration, 0) != 2)
        return nullptr;
    return static_cast<const double*>(PyArray_DATA(calibration));
}

// raw * calibration[0] + calibration[1] in one pass, when both are the plain
// arrays the module itself makes; null without an exception otherwise.
PyObject* calibrate_fast(PyObject* raw_obj, PyObject* calibration_obj) {
    PyArrayObject* raw = plain_array(raw_obj, NPY_UINT16);
    const double* c = plain_pair(calibration_obj);
    if (!raw || !c || PyArray_NDIM(raw) == 0) return nullptr;
    PyObject* out = PyArray_EMPTY(PyArray_NDIM(raw), PyArray_DIMS(raw), NPY_FLOAT64, 0);
    if (!out) return nullptr;
    calibrate_uint16(static_cast<const uint16_t*>(PyArray_DATA(raw)),
                     static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))),
                     PyArray_SIZE(raw), c[0], c[1], kAllBits);
    return out;
}

// raw * calibration[0] + calibration[1], indexed as Python's obj[i] does.
PyObject* calibrate_with_numpy(PyObject* raw, PyObject* calibration) {
    Ref gain = Ref::steal(PyObject_GetItem(calibration, state.int_0));
    Ref scaled = Ref::steal(gain ? PyNumber_Multiply(raw, gain.get()) : nullptr);
    Ref offset = Ref::steal(scaled ? PyObject_GetItem(calibration, state.int_1) : nullptr);
    if (!offset) return nullptr;
    return PyNumber_Add(scaled.get(), offset.get());
}

PyObject* calibrate_new(PyObject* raw, PyObject* calibration) {
    PyObject* result = calibrate_fast(raw, calibration);
    if (result || PyErr_Occurred()) return result;
    return calibrate_with_numpy(raw, calibration);
}

// Stores what numpy computed in the caller's float64 array `out` of n
// elements, element by element in C order.
bool store_into(PyObject* out, npy_intp n, PyObject* computed) {
    Ref result = Ref::steal(PyArray_FROM_O(computed));
    if (!result) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(result.get());
    if (PyArray_SIZE(array) != n) {
        PyErr_Format(PyExc_ValueError, "out has %zd elements but the calibrated data %zd",
                     static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(PyArray_SIZE(array)));
        return false;
    }
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
    if (!float64) return false;
    if (!PyArray_CanCastTypeTo(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get()),
                               NPY_SAME_KIND_CASTING)) {
        PyErr_Format(PyExc_TypeError, "the calibrated data of dtype %S cannot be stored in out",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return false;
    }
    Ref source = Ref::steal(PyArray_Ravel(array, NPY_CORDER));
    Ref target = Ref::steal(source ? view_as(out, NPY_FLOAT64, n) : nullptr);
    return target && PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(target.get()),
                                      reinterpret_cast<PyArrayObject*>(source.get())) == 0;
}

// raw * calibration[0] + calibration[1] into the caller's float64 array
// `out` of n elements. The plain case runs the one-pass kernel straight
// into `out`, also when the codes already lie in its memory; anything else
// is computed by numpy and then stored.
PyObject* calibrate_into(PyObject* raw_obj, PyObject* calibration, PyObject* out, npy_intp n) {
    // get_calibration runs Python code, which may have resized `out`.
    if (!out_still_fits(out, "out", NPY_FLOAT64, n)) return nullptr;
    PyArrayObject* raw = plain_array(raw_obj, NPY_UINT16);
    const double* c = plain_pair(calibration);
    auto* target = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
    if (raw && c && PyArray_SIZE(raw) == n) {
        const void* codes = PyArray_DATA(raw);
        if (codes == target) {
            calibrate_uint16_in_place(target, n, c[0], c[1], kAllBits);
            return Py_NewRef(out);
        }
        if (!share_memory(raw_obj, out)) {
            calibrate_uint16(static_cast<const uint16_t*>(codes), target, n, c[0], c[1], kAllBits);
            return Py_NewRef(out);
        }
    }
    Ref computed = Ref::steal(calibrate_with_numpy(raw_obj, calibration));
    if (!computed || !store_into(out, n, computed.get())) return nullptr;
    return Py_NewRef(out);
}

PyObject* fetch_calibration(PyObject* self, PyObject* wavelength) {
    if (wavelength == Py_None) {
        PyObject* arg = state.str_auto;
        return call_method(self, state.str_get_calibration, &arg, 1);
    }
    PyObject* args[2] = {wavelength, state.str_auto};
    return call_method(self, state.str_get_rel_calibration, args, 2);
}

// method(nsamples, **kwargs); the method gets a copy of the keywords.
PyObject* call_get_raw_data(PyObject* method, PyObject* nsamples, PyObject* kwargs) {
    Ref args = Ref::steal(PyTuple_Pack(1, nsamples));
    Ref keywords = Ref::steal(args && kwargs ? PyDict_Copy(kwargs) : nullptr);
    if (!args || (kwargs && !keywords)) return nullptr;
    return PyObject_Call(method, args.get(), keywords.get());
}

// The calibration found by lookup applied to `raw` (the codes as get_raw_data
// returned them), into `out` when it is given.
PyObject* calibrate_by_lookup(PyObject* self, PyObject* raw, PyObject* wavelength, PyObject* out,
                              npy_intp n) {
    Ref calibration = Ref::steal(fetch_calibration(self, wavelength));
    if (!calibration) return nullptr;
    if (out == Py_None) return calibrate_new(raw, calibration.get());
    return calibrate_into(raw, calibration.get(), out, n);
}

// get_calibrated_data with a get_raw_data of the object's own, `method`,
// called exactly as without `out`.
PyObject* calibrated_through_lookup(PyObject* self, PyObject* method, PyObject* nsamples,
                                    PyObject* wavelength, PyObject* kwargs, PyObject* out) {
    npy_intp n = 0;
    if (out != Py_None &&
        (!out_length(nsamples, &n) || !check_out_array(out, "out", NPY_FLOAT64, n)))
        return nullptr;
    Ref raw = Ref::steal(call_get_raw_data(method, nsamples, kwargs));
    if (!raw) return nullptr;
    return calibrate_by_lookup(self, raw.get(), wavelength, out, n);
}

// ---------------------------------------------------------------------------
// get_calibrated_data with Device's own get_raw_data: one parse, the codes
// read straight into the result (or the caller's `out`), and with Device's
// own calibration too, widened there in place, the mask applied on the way.
// The library calls, their order, the errors and the results are those of
// calling the methods through lookup.

constexpr auto kCalibratedData =
    signature("get_calibrated_data", required("nsamples"), optional("wavelength", kNone),
              keyword_only("out", kNone).unlisted())
        .with_other_keywords();
using CalibratedArguments = Arguments<kCalibratedData>;

// Whether lookup on `self` finds Device's own method for the calibration
// get_calibrated_data asks for at `wavelength`.
int finds_own_calibration(PyObject* self, PyObject* wavelength) {
    if (wavelength == Py_None)
        return finds_own_method(self, &DeviceType, state.str_get_calibration, get_calibration);
    return finds_own_method(self, &DeviceType, state.str_get_rel_calibration,
                            get_rel_calibration);
}

// Whether lookup on `self` finds Device's own get_raw_data. Types that look
// names up their own way are asked, as calling the method would: `found`
// then holds what they give, which is called unless it is Device's own.
int finds_own_get_raw_data(PyObject* self, Ref* found) {
    int own = finds_own_method(self, &DeviceType, state.str_get_raw_data, raw_data_function());
    if (own != 0) return own;
    *found = Ref::steal(PyObject_GetAttr(self, state.str_get_raw_data));
    if (!*found) return -1;
    PyObject* method = found->get();
    return PyCFunction_Check(method) && PyCFunction_GET_SELF(method) == self &&
           PyCFunction_GET_FUNCTION(method) == as_cfunction(raw_data_function());
}

// A new block for the codes: float64 when Device's own calibration will
// widen them in place into the result, otherwise the zero-filled uint16
// array get_raw_data returns.
bool make_block(PyObject* self, PyObject* wavelength, npy_intp n, SampleBlock* block) {
    int own = finds_own_calibration(self, wavelength);
    if (own < 0) return false;
    return own ? block->make(n, NPY_FLOAT64, false) : block->make(n, NPY_UINT16, true);
}

// The masked codes as get_raw_data returns them, for a calibration found by
// lookup: the uint16 block itself, or a view of the caller's `out`, or for
// codes at the start of a new float64 block an array of their own.
PyObject* codes_as_returned(SampleBlock& block, npy_intp n, bool mask, PyObject* out) {
    auto* codes = static_cast<uint16_t*>(block.memory());
    if (!codes) return nullptr;
    if (mask) mask_to_adc_bits(codes, n);
    if (block.typenum() == NPY_UINT16) return block.release();
    Ref view = Ref::steal(view_as(block.array(), NPY_UINT16, n));
    if (!view || out != Py_None) return view.release();
    return PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(view.get()), NPY_CORDER);
}

// The n codes at the start of `block`, masked with `mask`, into power with
// the "auto" calibration, at `wavelength` unless it is None. A float64 block
// is widened in place while lookup still finds Device's own calibration
// (Python code run during the acquisition may have given the object one).
PyObject* calibrate_codes(PyObject* self, PyObject* wavelength, SampleBlock& block, npy_intp n,
                          bool mask, PyObject* out) {
    int own = block.typenum() == NPY_FLOAT64 ? finds_own_calibration(self, wavelength) : 0;
    if (own < 0) return nullptr;
    if (!own) {
        Ref raw = Ref::steal(codes_as_returned(block, n, mask, out));
        return raw ? calibrate_by_lookup(self, raw.get(), wavelength, out, n) : nullptr;
    }
    zo_calibration_t c;
    if (!read_calibration(self, state.str_auto, wavelength == Py_None ? nullptr : wavelength, &c))
        return nullptr;
    auto* values = static_cast<double*>(block.memory());
    if (!values) return nullptr;
    calibrate_uint16_in_place(values, n, c.m, c.b, mask ? kAdcBits : kAllBits);
    return block.release();
}

// get_raw_data's steps and the calibration's, in the order of calling the
// methods through lookup: with `out`, the count and `out` are checked before
// get_raw_data parses its keywords; without, its block is made after.
PyObject* calibrated_from_own_codes(PyObject* self, const CalibratedArguments& a,
                                    PyObject* raw_keywords) {
    PyObject* nsamples = a.get<"nsamples">();
    PyObject* wavelength = a.get<"wavelength">();
    PyObject* out = a.get<"out">();
    npy_intp n = 0;
    SampleBlock block;
    if (out != Py_None && (!out_length(nsamples, &n) || !block.take(out, "out", n, NPY_FLOAT64)))
        return nullptr;
    RawDataArguments raw;
    if (!raw.parse_dict(&nsamples, 1, raw_keywords) ||
        (out == Py_None && (!out_length(nsamples, &n) || !make_block(self, wavelength, n, &block))))
        return nullptr;
    bool mask;
    if (!read_codes(self, raw, block, n, &mask)) return nullptr;
    return calibrate_codes(self, wavelength, block, n, mask, out);
}

PyObject* get_calibrated_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    CalibratedArguments a;
    Ref raw_keywords;   // the keywords it does not name, for get_raw_data
    Ref method;         // a get_raw_data of the object's own
    if (!a.parse(args, nargs, kwnames, raw_keywords)) return nullptr;
    int own = finds_own_get_raw_data(self, &method);
    if (own < 0) return nullptr;
    if (own) return calibrated_from_own_codes(self, a, raw_keywords.get());
    return calibrated_through_lookup(self, method.get(), a.get<"nsamples">(),
                                     a.get<"wavelength">(), raw_keywords.get(), a.get<"out">());
}

Method get_calibrated_data_method(kCalibratedData, get_calibrated_data, Line::with_self,
    "        Collect samples from the device, calibrated to units of uW.\n"
    "\n"
    "        If `wavelength` is given, the internal photodiode response curve is used to\n"
    "        calibrate the power at that wavelength; otherwise the power is calibrated at\n"
    "        peak responsivity.\n"
    "\n"
    "        Args:\n"
    "            nsamples (int): Number of samples to Collect\n"
    "            wavelength (int or None): Wavelength (in nm) of input light used to\n"
    "                calibrate power.\n"
    "            **kwargs: Additional named arguments to pass to :py:func:`get_raw_data`\n"
    "                internally.\n"
    "            out (numpy.ndarray): Keyword only. A writeable, C-contiguous `float64` array\n"
    "                of exactly `nsamples` elements (of any shape) to fill in place and\n"
    "                return instead of a new array; the raw samples are read into its own\n"
    "                memory, so nothing of the size of the block is allocated. It is\n"
    "                checked before the device is asked for anything, and left untouched\n"
    "                if it is refused.\n"
    "\n"
    "        Returns:\n"
    "            array: A numpy array of calibrated samples, with units uW.\n"
    "        ");

Method* const calibration_methods[] = {&get_calibration_method, &get_rel_calibration_method,
                                       &get_rel_responsivity_method, &get_calibrated_data_method};

}  // namespace

bool add_calibration_members(ClassBuilder& cls) { return cls.methods(calibration_methods); }

}  // namespace zopy
