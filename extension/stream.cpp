// Stream: a continuous acquisition stream that the library runs on an open
// instrument, with its calibration, filter and downsampling settings.
#include "zopy.hpp"

#include <cstdio>

namespace zopy {

namespace {

struct StreamObject {
    PyObject_HEAD
    ZOGenericStream* _stream;      // the library stream; null unless open
    ZOStream<float>* _fstream;     // the same object, for float32 streams
    ZOStream<double>* _dstream;    // the same object, for float64 streams
    PyObject* device;
    PyObject* dtype;
};

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

// The library stream of an open Stream; raises for one that is not open, so
// no call on a closed or never initialised stream reaches the library.
ZOGenericStream* open_stream_of(PyObject* self) {
    ZOGenericStream* stream = as_stream(self)->_stream;
    if (!stream) PyErr_SetString(PyExc_RuntimeError, "Stream is not open");
    return stream;
}

void release_library_stream(StreamObject* self) {
    if (!self->_stream) return;
    zo_close_stream(self->_stream);
    self->_stream = nullptr;
    self->_fstream = nullptr;
    self->_dstream = nullptr;
}

// ---------------------------------------------------------------------------
// Lifecycle

PyObject* stream_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_stream(self)->device = Py_NewRef(Py_None);
    as_stream(self)->dtype = Py_NewRef(Py_None);
    return self;
}

PyArray_Descr* descr_of(int typenum) { return PyArray_DescrFromType(typenum); }

bool check_device_argument(PyObject* device) {
    if (PyObject_TypeCheck(device, &DeviceType)) return true;
    PyErr_Format(PyExc_TypeError, "Argument 'device' has incorrect type (expected %s, got %s)",
                 DeviceType.tp_name, Py_TYPE(device)->tp_name);
    return false;
}

// Opens the library stream for `dtype` (float32 or float64) on `handle`.
bool open_library_stream(StreamObject* self, zo_device* handle, PyArray_Descr* dtype) {
    Ref float32 = Ref::steal(reinterpret_cast<PyObject*>(descr_of(NPY_FLOAT32)));
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(descr_of(NPY_FLOAT64)));
    if (!float32 || !float64) return false;
    bool is_float32 = PyArray_EquivTypes(dtype, reinterpret_cast<PyArray_Descr*>(float32.get()));
    if (!is_float32 && !PyArray_EquivTypes(dtype, reinterpret_cast<PyArray_Descr*>(float64.get()))) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Invalid dtype specified. Only float32 and float64 currently supported");
        return false;
    }
    // A second __init__ replaces the stream: the first one is released.
    release_library_stream(self);
    if (is_float32) {
        self->_fstream = zo_open_stream<float>(handle);
        self->_stream = self->_fstream;
    } else {
        self->_dstream = zo_open_stream<double>(handle);
        self->_stream = self->_dstream;
    }
    if (!self->_stream) {
        raise_library_error();
        return false;
    }
    Py_SETREF(self->dtype, (is_float32 ? float32 : float64).release());
    return true;
}

// The handle of an open Device, or null with RuntimeError.
zo_device* open_handle_of(PyObject* device) {
    zo_device* handle = handle_of(device);
    if (!handle) PyErr_SetString(PyExc_RuntimeError, "Device is not open");
    return handle;
}

constexpr auto kStreamInit = signature("__init__", required("device"), optional("dtype", kNone));

int stream_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Arguments<kStreamInit> a;
    if (!a.parse_tuple(args, kwargs)) return -1;
    PyObject* device = a.get<"device">();
    if (!check_device_argument(device) || !open_handle_of(device)) return -1;
    PyArray_Descr* requested = nullptr;
    if (!PyArray_DescrConverter(a.get<"dtype">(), &requested)) return -1;
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(requested));
    // numpy.dtype() may run Python code (a `dtype` attribute) that closes the
    // device: the handle is read only now.
    zo_device* handle = open_handle_of(device);
    if (!handle || !open_library_stream(as_stream(self), handle, requested)) return -1;
    Py_SETREF(as_stream(self)->device, Py_NewRef(device));
    return 0;
}

Docstring stream_doc("Stream", kStreamInit, Line::plain,
    "    A continuous acquisition stream on an open device.\n"
    "\n"
    "    The library runs the stream: it takes the device's ADC samples and passes them,\n"
    "    in this order, through the filter (:py:attr:`filter`, :py:attr:`cutoff`), the\n"
    "    averaging of every N samples into one (:py:attr:`downsampling`), the keeping of\n"
    "    every M-th average (:py:func:`set_decimation`), and the calibration\n"
    "    (:py:attr:`calibration_mode`, :py:attr:`calibration`,\n"
    "    :py:attr:`calibration_wavelength`, :py:attr:`calibration_units`). Blocks come\n"
    "    from :py:func:`acquire` as `float32` or `float64` arrays; each block continues\n"
    "    exactly where the previous one stopped. With ``getbits=True`` each sample also\n"
    "    has one byte of port bits: bit 0 port \"S\", bit 1 port \"T\".\n"
    "\n"
    "    The stream keeps its device alive. Close it with :py:func:`close` or a ``with``\n"
    "    block; closing the stream leaves the device open.\n"
    "\n"
    "    Args:\n"
    "        device (Device): An open device.\n"
    "        dtype: `float32` or `float64` (the default), or anything `numpy.dtype`\n"
    "            accepts for them.\n"
    "\n"
    "    Raises:\n"
    "        RuntimeError: The device is not open, or `dtype` is neither float32 nor\n"
    "            float64.\n"
    "    ");

PyObject* stream_close(PyObject* self, PyObject*) {
    release_library_stream(as_stream(self));
    Py_RETURN_NONE;
}

Method close_method = Method::no_arguments("close", stream_close, Line::plain,
    "        Closes the stream.\n"
    "\n"
    "        Releases the library stream. The stream's device stays open. Closing a\n"
    "        stream that is already closed does nothing.\n"
    "        ");

int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_stream(self)->device);
    Py_VISIT(as_stream(self)->dtype);
    return 0;
}

int stream_clear(PyObject* self) {
    Py_SETREF(as_stream(self)->device, Py_NewRef(Py_None));
    Py_SETREF(as_stream(self)->dtype, Py_NewRef(Py_None));
    return 0;
}

// Runs once, before destruction and, for a stream in a garbage cycle, before
// the cycle is cleared, so a subclass's close still finds its class and its
// attributes. close is looked up on the object so a subclass's close runs.
void stream_finalize(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* result = PyObject_CallMethodNoArgs(self, state.str_close);
    if (!result) {
        Ref where = Ref::steal(PyUnicode_FromString("zopy.zopy.Stream.__dealloc__"));
        PyErr_WriteUnraisable(where.get());
    }
    Py_XDECREF(result);
    // Whatever close did, the library stream is released exactly once.
    release_library_stream(as_stream(self));
    PyErr_SetRaisedException(pending);
}

void stream_dealloc(PyObject* self) {
    // The finalizer may make the object reachable again (the report of a
    // failing close holds its frame, and the frame the object); it is then
    // destroyed when that last reference goes.
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    release_library_stream(as_stream(self));
    Py_CLEAR(as_stream(self)->device);
    Py_CLEAR(as_stream(self)->dtype);
    Py_TYPE(self)->tp_free(self);
}

// <zopy.Stream float32: calibration auto at 1550 nm in uW, filter lowpass at
// 100000 Hz, downsampling 10, decimation 2, 500000 samples/s>, read from the
// library stream (no Python code runs); a closed stream says so.
PyObject* stream_repr(PyObject* self) {
    StreamObject* s = as_stream(self);
    Ref dtype = Ref::steal(PyObject_Str(s->dtype));
    if (!dtype) return nullptr;
    ZOGenericStream* st = s->_stream;
    if (!st) return PyUnicode_FromFormat("<zopy.Stream %U, closed>", dtype.get());
    char buffer[160];
    std::string text = "calibration " + st->read_calibration_mode();
    if (text != "calibration raw") {
        int units = st->read_calibration_units();
        const char* name = units == -6 ? "uW" : units == -3 ? "mW" : units == 0 ? "W" : nullptr;
        if (name) std::snprintf(buffer, sizeof buffer, " at %g nm in %s", st->read_calibration_wavelength(), name);
        else std::snprintf(buffer, sizeof buffer, " at %g nm in 1e%d W", st->read_calibration_wavelength(), units);
        text += buffer;
    }
    std::string filter = st->read_filter();
    text += ", filter " + filter;
    if (filter != "none") {
        std::snprintf(buffer, sizeof buffer, " at %g Hz", st->read_cutoff());
        text += buffer;
    }
    std::snprintf(buffer, sizeof buffer, ", downsampling %d, decimation %d, %g samples/s",
                  st->read_downsampling(), st->read_decimation(), st->read_samplerate());
    text += buffer;
    Ref settings = Ref::steal(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!settings) return nullptr;
    return PyUnicode_FromFormat("<zopy.Stream %U: %U>", dtype.get(), settings.get());
}

PyObject* get_device(PyObject* self, void*) { return Py_NewRef(as_stream(self)->device); }
PyObject* get_dtype(PyObject* self, void*) { return Py_NewRef(as_stream(self)->dtype); }

// ---------------------------------------------------------------------------
// Acquisition

PyObject* index_error_axis0() {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    return nullptr;
}

// A subclass may override `dtype`; the library writes one native float per
// sample, so a subarray dtype (more than one value per element) or a
// byte-swapped one is refused. Releases `descr` when it refuses it.
bool check_sample_dtype(PyArray_Descr* descr) {
    if ((descr->type_num == NPY_FLOAT32 || descr->type_num == NPY_FLOAT64) &&
        PyArray_ISNBO(descr->byteorder))
        return true;
    PyErr_Format(PyExc_ValueError,
                 "a stream's dtype must be native float32 or float64, not %R", descr);
    Py_DECREF(descr);
    return false;
}

// A 1-d zero-filled array of n elements of the dtype held in `dtype`.
PyObject* samples_of(PyObject* dtype, npy_intp n) {
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr) || !check_sample_dtype(descr)) return nullptr;
    return PyArray_Zeros(1, &n, descr, 0);   // steals descr
}

// The samples block: the caller's `out`, once checked against the stream's
// dtype, or a new zero-filled array. Returns a new reference.
PyObject* data_block(PyObject* dtype, PyObject* out, npy_intp n) {
    if (out == Py_None) return samples_of(dtype, n);
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr) || !check_sample_dtype(descr)) return nullptr;
    int typenum = descr->type_num;
    Py_DECREF(descr);
    return check_out_array(out, "out", typenum, n) ? Py_NewRef(out) : nullptr;
}

// The bits block when `getbits` is true: the caller's `bits_out`, or a new
// zero-filled uint8 array. bits_out without getbits would never be filled.
PyObject* bits_block(PyObject* bits_out, PyObject* data, npy_intp n) {
    if (bits_out == Py_None) return new_zeros(n, NPY_UINT8);
    if (!check_out_array(bits_out, "bits_out", NPY_UINT8, n)) return nullptr;
    if (share_memory(bits_out, data)) {
        PyErr_SetString(PyExc_ValueError, "out and bits_out must not share memory");
        return nullptr;
    }
    return Py_NewRef(bits_out);
}

// The address of the first element of `array` seen as `typenum`, or null
// with the error a typed buffer view gives.
void* first_element(PyObject* array, int typenum, const char* c_type) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_TYPE(a) != typenum) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'", c_type,
                     PyArray_DESCR(a)->typeobj->tp_name);
        return nullptr;
    }
    if (PyArray_SIZE(a) == 0) {
        index_error_axis0();
        return nullptr;
    }
    return PyArray_DATA(a);
}

// Calls the typed view's acquire; `use_float` follows the library's sample size.
int acquire_into(StreamObject* self, bool use_float, PyObject* data, uint64_t n, uint8_t* bits,
                 bool* ok) {
    *ok = false;
    void* samples = use_float ? first_element(data, NPY_FLOAT32, "float")
                              : first_element(data, NPY_FLOAT64, "double");
    if (!samples) return 0;
    if ((use_float && !self->_fstream) || (!use_float && !self->_dstream)) {
        PyErr_SetString(PyExc_ValueError, "the stream's sample size does not match its dtype");
        return 0;
    }
    *ok = true;
    return use_float ? self->_fstream->acquire(n, static_cast<float*>(samples), bits)
                     : self->_dstream->acquire(n, static_cast<double*>(samples), bits);
}

// Whether the library stream's samples are float32 (its samplesize is 4);
// -1 with an exception.
int samples_are_float(PyObject* self) {
    Ref samplesize = Ref::steal(PyObject_GetAttr(self, state.str_samplesize));
    Ref four = Ref::steal(samplesize ? PyLong_FromLong(4) : nullptr);
    return four ? PyObject_RichCompareBool(samplesize.get(), four.get(), Py_EQ) : -1;
}

// The caller's array (None: nothing to do) once more, at the dtype it has
// now: acquire_into refuses a retyped `out`, and any n-element array holds
// the n bytes of bits.
bool still_fits(PyObject* out, const char* name, npy_intp n) {
    return out == Py_None ||
           out_still_fits(out, name, PyArray_TYPE(reinterpret_cast<PyArrayObject*>(out)), n);
}

constexpr auto kAcquire =
    signature("acquire", required("nsamples"), optional("getbits", kFalse),
              keyword_only("out", kNone), keyword_only("bits_out", kNone));

PyObject* stream_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    Arguments<kAcquire> a;
    npy_intp n;
    if (!a.parse(args, nargs, kwnames) || !open_stream_of(self) ||
        !out_length(a.get<"nsamples">(), &n))
        return nullptr;
    PyObject* out = a.get<"out">();
    PyObject* bits_out = a.get<"bits_out">();
    Ref dtype = Ref::steal(PyObject_GetAttr(self, state.str_dtype));
    Ref data = Ref::steal(dtype ? data_block(dtype.get(), out, n) : nullptr);
    bool getbits;
    if (!data || !to_bool(a.get<"getbits">(), &getbits)) return nullptr;
    if (!getbits && bits_out != Py_None) {
        PyErr_SetString(PyExc_ValueError, "bits_out is only filled when getbits is true");
        return nullptr;
    }
    Ref bits;
    uint8_t* bits_ptr = nullptr;
    if (getbits) {
        bits = Ref::steal(bits_block(bits_out, data.get(), n));
        if (!bits) return nullptr;
        if (!(bits_ptr = static_cast<uint8_t*>(first_element(bits.get(), NPY_UINT8, "uint8_t"))))
            return nullptr;
    }
    int use_float = samples_are_float(self);
    if (use_float < 0 || !open_stream_of(self)) return nullptr;
    // Reading samplesize runs Python code, which may have resized the
    // caller's arrays: the pointers are taken again.
    if (!still_fits(out, "out", n) || !still_fits(bits_out, "bits_out", n)) return nullptr;
    if (bits) bits_ptr = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(bits.get())));
    bool called;
    int status = acquire_into(as_stream(self), use_float, data.get(), static_cast<uint64_t>(n),
                              bits_ptr, &called);
    if (!called) return nullptr;
    if (status != 0) return raise_library_error();
    if (!to_bool(a.get<"getbits">(), &getbits)) return nullptr;
    // Bits that were not asked for the first time are None in the pair.
    return getbits ? PyTuple_Pack(2, data.get(), bits ? bits.get() : Py_None) : data.release();
}

Method acquire_method(kAcquire, stream_acquire, Line::plain,
    "        Takes the next block of processed samples from the stream.\n"
    "\n"
    "        Each call continues exactly where the previous one stopped: however a run is\n"
    "        split into calls, the samples are the same. With `downsampling` N and\n"
    "        decimation M, a block of `nsamples` samples consumes ``nsamples * N * M`` ADC\n"
    "        samples. The call holds the interpreter lock until the block is complete.\n"
    "\n"
    "        Args:\n"
    "            nsamples (int): Number of samples to take.\n"
    "            getbits (bool): Also return one byte of port bits per sample: bit 0 holds\n"
    "                port \"S\", bit 1 port \"T\", as sampled at the last ADC sample that went\n"
    "                into that sample.\n"
    "            out (numpy.ndarray): Keyword only. A writeable, C-contiguous array of the\n"
    "                stream's :py:attr:`dtype` with exactly `nsamples` elements (of any shape),\n"
    "                filled in place and returned instead of a new array.\n"
    "            bits_out (numpy.ndarray): Keyword only, with `getbits` true. A writeable,\n"
    "                C-contiguous `uint8` array of exactly `nsamples` elements for the bits.\n"
    "\n"
    "        Returns:\n"
    "            A numpy array of the stream's :py:attr:`dtype` holding the samples, or with\n"
    "            `getbits` the tuple (samples, bits). `out` and `bits_out` are checked before\n"
    "            the stream is asked for anything and left untouched if refused.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library failed to deliver the block.\n"
    "            IndexError: `nsamples` is 0.\n"
    "            TypeError: `out` or `bits_out` is not a numpy array of the right dtype.\n"
    "            ValueError: `out` or `bits_out` has the wrong size, is not C-contiguous or is\n"
    "                read-only; `bits_out` without `getbits`.\n"
    "        ");

// ---------------------------------------------------------------------------
// Settings: thin wrappers over the library stream's operations.

PyObject* ascii_text(const std::string& text) {
    return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

template <typename Read>
PyObject* read_setting(PyObject* self, Read read) {
    ZOGenericStream* stream = open_stream_of(self);
    return stream ? read(stream) : nullptr;
}

// A reader: read_<setting>() from the library stream, as a Python value.
#define ZOPY_STREAM_READER(fname, to_python, line, body)                              \
    PyObject* fname(PyObject* self, PyObject*) {                                     \
        return read_setting(self, [](ZOGenericStream* s) { return to_python; });     \
    }                                                                                \
    Method fname##_method = Method::no_arguments(#fname, fname, line, body);

ZOPY_STREAM_READER(read_samplerate, PyFloat_FromDouble(s->read_samplerate()), Line::none,
    "Returns the sample rate of the stream, in samples per second.\n"
    "\n"
    "        :type samplerate: float\n"
    "\n"
    "        Read only.\n"
    "        ")

ZOPY_STREAM_READER(read_samplesize, PyLong_FromLong(s->read_samplesize()), Line::none,
    "Returns the number of bytes each sample in the stream is stored in.\n"
    "\n"
    "        :type samplesize: int\n"
    "\n"
    "        Read only.\n"
    "        ")

ZOPY_STREAM_READER(read_calibration_mode, ascii_text(s->read_calibration_mode()), Line::none,
    "\n"
    "        :type calibration_mode: str\n"
    "\n"
    "        Read and Write.\n"
    "        ")

ZOPY_STREAM_READER(read_calibration_wavelength, PyFloat_FromDouble(s->read_calibration_wavelength()), Line::plain,
    "        Returns the wavelength, in nm, at which \"auto\" calibrates.\n"
    "\n"
    "        Returns:\n"
    "            float: the wavelength. Read and Write as :py:attr:`calibration_wavelength`.\n"
    "        ")

ZOPY_STREAM_READER(read_calibration_units, PyLong_FromLong(s->read_calibration_units()), Line::plain,
    "        Returns the unit of calibrated samples as a power of ten of a watt.\n"
    "\n"
    "        -6 means uW (the default), -3 mW and 0 W; \"raw\" samples stay ADC codes.\n"
    "\n"
    "        Returns:\n"
    "            int: the power of ten. Read and Write as :py:attr:`calibration_units`.\n"
    "        ")

ZOPY_STREAM_READER(read_cutoff, PyFloat_FromDouble(s->read_cutoff()), Line::plain,
    "        Returns the cutoff frequency of the stream's filter, in Hz.\n"
    "\n"
    "        Returns:\n"
    "            float: the cutoff. Read and Write as :py:attr:`cutoff`.\n"
    "        ")

ZOPY_STREAM_READER(read_filter, ascii_text(s->read_filter()), Line::plain,
    "        Returns the name of the stream's filter.\n"
    "\n"
    "        Returns:\n"
    "            str: the filter (\"none\", \"lowpass\", ...). Read and Write as :py:attr:`filter`.\n"
    "        ")

ZOPY_STREAM_READER(read_downsampling, PyLong_FromLong(s->read_downsampling()), Line::plain,
    "        Returns the downsampling factor N.\n"
    "\n"
    "        Returns:\n"
    "            int: N. Read and Write as :py:attr:`downsampling`.\n"
    "        ")

PyObject* read_calibration(PyObject* self, PyObject*) {
    ZOGenericStream* stream = open_stream_of(self);
    if (!stream) return nullptr;
    std::pair<double, double> c = stream->read_calibration();
    Ref pair = Ref::steal(Py_BuildValue("(dd)", c.first, c.second));
    Ref dtype = Ref::steal(pair ? PyObject_GetAttr(self, state.str_dtype) : nullptr);
    PyArray_Descr* descr = nullptr;
    if (!dtype || !PyArray_DescrConverter(dtype.get(), &descr)) return nullptr;
    return PyArray_FromAny(pair.get(), descr, 0, 0, NPY_ARRAY_ENSURECOPY, nullptr);
}

Method read_calibration_method = Method::no_arguments("read_calibration", read_calibration, Line::plain,
    "        Returns the calibration in effect, from ADC code to uW.\n"
    "\n"
    "        The pair [m, b] maps an uncalibrated value X to m*X + b, in the numpy\n"
    "        polynomial format of :py:func:`Device.get_calibration`.\n"
    "\n"
    "        Returns:\n"
    "            array: [m, b] in the stream's :py:attr:`dtype`. Read and Write as\n"
    "            :py:attr:`calibration`.\n"
    "        ");

PyObject* update_auto_calibration(PyObject* self, PyObject*) {
    ZOGenericStream* stream = open_stream_of(self);
    return stream ? status_result(stream->update_auto_calibration()) : nullptr;
}

Method update_auto_calibration_method = Method::no_arguments("update_auto_calibration",
                                                             update_auto_calibration, Line::plain,
    "        Reads the instrument's calibration again for the \"auto\" mode.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library failed.\n"
    "        ");

// The text-argument rule of the stream settings: exact bytes as they are,
// anything else through x.encode('ascii').
bool text_argument(PyObject* obj, std::string* out) {
    Ref bytes;
    if (Py_IS_TYPE(obj, &PyBytes_Type)) {
        bytes = Ref::borrow(obj);
    } else {
        PyObject* arg = state.str_ascii;
        bytes = Ref::steal(call_method(obj, state.str_encode, &arg, 1));
        if (!bytes) return false;
        if (!PyBytes_Check(bytes.get())) {
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found",
                         Py_TYPE(bytes.get())->tp_name);
            return false;
        }
    }
    out->assign(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    return true;
}

// One-argument setters: parse, convert by kind, call, test the status.
template <const auto& sig, ParamName param, typename Value, bool (*Convert)(PyObject*, Value*),
          typename Call>
PyObject* set_setting(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Call call, bool check_status) {
    Arguments<sig> a;
    Value value{};
    if (!a.parse(args, nargs, kwnames) || !open_stream_of(self) ||
        !Convert(a.template get<param>(), &value))
        return nullptr;
    // The conversion may run Python code (__float__, __int__, encode) that
    // closes the stream: take the library stream only now.
    ZOGenericStream* stream = open_stream_of(self);
    if (!stream) return nullptr;
    int status = call(stream, value);
    if (!check_status) Py_RETURN_NONE;
    return status_result(status);
}

// set_<setting>(param) and its record. `check_status` is false only for the
// cutoff, whose answer is not looked at.
#define ZOPY_STREAM_SETTER(fname, param, Value, convert, check_status, body)                  \
    constexpr auto k_##fname = signature(#fname, required(param));                           \
    PyObject* fname(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        return set_setting<k_##fname, param, Value, convert>(                                 \
            self, args, nargs, kw,                                                            \
            [](ZOGenericStream* s, const Value& v) { return s->fname(v); }, check_status);    \
    }                                                                                         \
    Method fname##_method(k_##fname, fname, Line::plain, body);

ZOPY_STREAM_SETTER(set_calibration_mode, "mode", std::string, text_argument, true,
    "        Selects how the stream calibrates its samples.\n"
    "\n"
    "        The modes are the library's; the virtual instrument knows \"auto\" (the\n"
    "        instrument's calibration at the :py:attr:`calibration_wavelength`), \"custom\" (the\n"
    "        pair set with :py:func:`set_custom_calibration`) and \"raw\" (ADC codes).\n"
    "\n"
    "        Args:\n"
    "            mode (str): ASCII name of the mode.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the mode.\n"
    "        ")

ZOPY_STREAM_SETTER(set_calibration_wavelength, "wavelength", double, to_double, true,
    "        Sets the wavelength, in nm, at which \"auto\" calibrates.\n"
    "\n"
    "        Args:\n"
    "            wavelength (float): wavelength of the input light, in nm.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the wavelength.\n"
    "        ")

ZOPY_STREAM_SETTER(set_calibration_units, "power_of_ten", int32_t, i32_via_int, true,
    "        Sets the unit of calibrated samples as a power of ten of a watt.\n"
    "\n"
    "        Args:\n"
    "            power_of_ten (int): -6 for uW, -3 for mW, 0 for W.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the unit.\n"
    "        ")

ZOPY_STREAM_SETTER(set_cutoff, "cutoff", double, to_double, false,
    "        Sets the cutoff frequency of the stream's filter, in Hz.\n"
    "\n"
    "        The filter runs at the instrument's sample rate, before averaging. The\n"
    "        library's answer is not examined: read it back with :py:func:`read_cutoff`.\n"
    "\n"
    "        Args:\n"
    "            cutoff (float): cutoff frequency in Hz.\n"
    "        ")

ZOPY_STREAM_SETTER(set_filter, "filter", std::string, text_argument, true,
    "        Selects the stream's filter.\n"
    "\n"
    "        The filter runs first, on every ADC sample, so a low-pass filter is also the\n"
    "        anti-alias filter of the downsampling. The names are the library's; the virtual\n"
    "        instrument knows \"none\", \"lowpass\" and \"highpass\".\n"
    "\n"
    "        Args:\n"
    "            filter (str): ASCII name of the filter.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the filter.\n"
    "        ")

ZOPY_STREAM_SETTER(set_downsampling, "downsampling", int32_t, i32_via_int, true,
    "        Averages each group of N filtered ADC samples into one sample.\n"
    "\n"
    "        Averaging lowers the noise; compare :py:func:`set_decimation`, which drops\n"
    "        samples.\n"
    "\n"
    "        Args:\n"
    "            downsampling (int): N, at least 1.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the factor.\n"
    "        ")

ZOPY_STREAM_SETTER(set_decimation, "decimation", int32_t, i32_via_int, true,
    "        Keeps only every M-th averaged sample.\n"
    "\n"
    "        Decimation runs after the averaging of :py:func:`set_downsampling` and drops\n"
    "        the samples in between, without averaging them. There is no reader.\n"
    "\n"
    "        Args:\n"
    "            decimation (int): M, at least 1.\n"
    "\n"
    "        Raises:\n"
    "            Error: The library refused the factor.\n"
    "        ")

constexpr auto kSetCustomCalibration = signature("set_custom_calibration", required("calibration"));

PyObject* set_custom_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    Arguments<kSetCustomCalibration> a;
    if (!a.parse(args, nargs, kwnames) || !open_stream_of(self)) return nullptr;
    PyObject* calibration = a.get<"calibration">();
    Py_ssize_t length = PyObject_Length(calibration);
    if (length < 0) return nullptr;
    if (length != 2) {
        PyErr_SetString(PyExc_ValueError, "Expected 'calibration' to be a length 2 array");
        return nullptr;
    }
    // Indexed as Python's calibration[i]: a mapping {0: m, 1: b} works too.
    Ref first = Ref::steal(PyObject_GetItem(calibration, state.int_0));
    double m, b;
    if (!first || !to_double(first.get(), &m)) return nullptr;
    Ref second = Ref::steal(PyObject_GetItem(calibration, state.int_1));
    if (!second || !to_double(second.get(), &b)) return nullptr;
    // len(), indexing and float() may run Python code that closes the stream.
    ZOGenericStream* stream = open_stream_of(self);
    return stream ? status_result(stream->set_custom_calibration(m, b)) : nullptr;
}

Method set_custom_calibration_method(kSetCustomCalibration, set_custom_calibration, Line::plain,
    "        Sets the pair that the \"custom\" calibration mode uses.\n"
    "\n"
    "        Args:\n"
    "            calibration: Two numbers [m, b], indexed as calibration[0] and\n"
    "                calibration[1]: a list, tuple, numpy array or mapping {0: m, 1: b}.\n"
    "\n"
    "        Raises:\n"
    "            ValueError: `calibration` does not have two items.\n"
    "            Error: The library refused the pair.\n"
    "        ");

Method enter_method = Method::no_arguments("__enter__", context_enter, Line::plain,
    "        Returns the stream itself, for use in a ``with`` block.\n"
    "\n"
    "        ``with dev.open_stream() as s:`` closes the stream, not its device, when the\n"
    "        block ends, however it ends.\n"
    "\n"
    "        Returns:\n"
    "            Stream: this stream.\n"
    "        ");

Method exit_method(kExitSignature, context_exit, Line::names_only,
    "        Closes the stream at the end of a ``with`` block.\n"
    "\n"
    "        Calls :py:func:`close` (a subclass's own, if it has one); the device stays open.\n"
    "        An exception raised in the block propagates.\n"
    "\n"
    "        Returns:\n"
    "            bool: False.\n"
    "        ");

Method* const stream_methods[] = {
    &close_method, &acquire_method, &read_samplerate_method, &read_samplesize_method,
    &read_calibration_mode_method, &set_calibration_mode_method, &update_auto_calibration_method,
    &read_calibration_method, &set_custom_calibration_method,
    &read_calibration_wavelength_method, &set_calibration_wavelength_method,
    &read_calibration_units_method, &set_calibration_units_method, &read_cutoff_method,
    &set_cutoff_method, &read_filter_method, &set_filter_method, &read_downsampling_method,
    &set_downsampling_method, &set_decimation_method, &enter_method, &exit_method,
};

struct PropertySpec { const char* name; const char* read; const char* set; };

const PropertySpec stream_properties[] = {
    {"samplerate", "read_samplerate", nullptr},
    {"samplesize", "read_samplesize", nullptr},
    {"calibration_mode", "read_calibration_mode", "set_calibration_mode"},
    {"calibration", "read_calibration", "set_custom_calibration"},
    {"calibration_wavelength", "read_calibration_wavelength", "set_calibration_wavelength"},
    {"calibration_units", "read_calibration_units", "set_calibration_units"},
    {"cutoff", "read_cutoff", "set_cutoff"},
    {"filter", "read_filter", "set_filter"},
    {"downsampling", "read_downsampling", "set_downsampling"},
};

PyGetSetDef stream_attributes[] = {
    {"device", get_device, nullptr,
     "Device: The device the stream was opened from. Read only.", nullptr},
    {"dtype", get_dtype, nullptr,
     "numpy.dtype: float32 or float64, the dtype of every sample array. Read only.", nullptr},
    {nullptr},
};

constexpr auto kOpenStream = signature("open_stream", optional("dtype", kNone));

PyObject* open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kOpenStream> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    PyObject* call_args[2] = {self, a.get<"dtype">()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&StreamType), call_args, 1,
                               state.kw_dtype);
}

Method open_stream_method(kOpenStream, open_stream, Line::plain,
    "        Opens a continuous acquisition stream on this device.\n"
    "\n"
    "        The library processes the stream's samples (filter, averaging, decimation,\n"
    "        calibration); see :py:class:`Stream`. The device stays open while the stream\n"
    "        exists.\n"
    "\n"
    "        Args:\n"
    "            dtype: `float32` or `float64` (the default), or anything `numpy.dtype`\n"
    "                accepts for them.\n"
    "\n"
    "        Returns:\n"
    "            Stream: the new stream, the same as ``Stream(self, dtype=dtype)``.\n"
    "\n"
    "        Raises:\n"
    "            RuntimeError: The device is not open, or `dtype` is neither float32 nor\n"
    "                float64.\n"
    "        ");

}  // namespace

bool add_stream_opening_member(ClassBuilder& cls) { return cls.method(open_stream_method); }

bool add_stream_members(ClassBuilder& cls) {
    if (!cls.methods(stream_methods)) return false;
    for (const PropertySpec& p : stream_properties) {
        if (!cls.property(p.name, p.read, p.set)) return false;
    }
    return true;
}

const char* stream_class_doc() { return stream_doc.text(); }

PyTypeObject StreamType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zopy.zopy.Stream",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = stream_dealloc,
    .tp_repr = stream_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = stream_traverse,
    .tp_clear = stream_clear,
    .tp_getset = stream_attributes,
    .tp_init = stream_init,
    .tp_new = stream_new,
    .tp_finalize = stream_finalize,
};

}  // namespace zopy
