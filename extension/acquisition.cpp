// Raw data acquisition: one block of samples into a new uint16 array or the
// caller's, free-running or started by a trigger on port S or T.
#include "zopy.hpp"

namespace zopy {

namespace {

// obj.lower(), or null with the exception of the attempt set.
PyObject* lowered(PyObject* obj) {
    return call_method(obj, state.str_lower);
}

// The library's trigger mode for (trig_port, trig_mode): 0 for "auto",
// otherwise the entry of _trigger_mode_lookup. Returns a new reference.
PyObject* find_trigger_mode(PyObject* trig_port, PyObject* trig_mode) {
    Ref mode = Ref::steal(lowered(trig_mode));
    if (!mode) return raise_module_error_from_current("invalid trigger mode");
    int is_auto = PyObject_RichCompareBool(mode.get(), state.str_auto, Py_EQ);
    if (is_auto < 0) return nullptr;
    if (is_auto) return PyLong_FromLong(ZO_TRIGGER_AUTO);
    Ref port = Ref::steal(lowered(trig_port));
    if (!port) return raise_module_error_from_current("invalid trigger port");
    Ref key = Ref::steal(PyTuple_Pack(2, port.get(), mode.get()));
    Ref table = Ref::steal(key ? module_global(state.str_trigger_mode_lookup) : nullptr);
    if (!table) return nullptr;
    PyObject* code = PyObject_GetItem(table.get(), key.get());
    if (!code && PyErr_ExceptionMatches(PyExc_KeyError))
        return raise_module_error_from_current("invalid trigger mode or port");
    return code;
}

bool trigger_mode(PyObject* trig_port, PyObject* trig_mode, ZO_TRIGGER_MODE_t* out) {
    Ref code = Ref::steal(find_trigger_mode(trig_port, trig_mode));
    int mode;
    if (!code || !enum_direct(code.get(), "ZO_TRIGGER_MODE_t", &mode)) return false;
    // An altered _trigger_mode_lookup may hold any int: the library gets
    // only a mode it defines.
    if (mode < ZO_TRIGGER_AUTO || mode > ZO_TRIGGER_T_LOW) {
        raise_module_error("invalid trigger mode or port");
        return false;
    }
    *out = static_cast<ZO_TRIGGER_MODE_t>(mode);
    return true;
}

// Which of the three library calls fills the block, with its arguments.
struct RawRequest {
    enum Kind { FreeRunning, Triggered, TriggeredRepeat } kind = FreeRunning;
    uint64_t nsamples = 0;
    ZO_TRIGGER_MODE_t mode = ZO_TRIGGER_AUTO;
    uint64_t arm_time = 0;
    uint64_t samples_per_trigger = 0;
};

bool choose_call(PyObject* trig_mode, PyObject* trig_port, PyObject* samples_per_trigger,
                 RawRequest* request) {
    if (samples_per_trigger != Py_None) {
        request->kind = RawRequest::TriggeredRepeat;
        return u64_via_int(samples_per_trigger, &request->samples_per_trigger) &&
               trigger_mode(trig_port, trig_mode, &request->mode);
    }
    if (trig_mode == Py_None && trig_port == Py_None) {
        request->kind = RawRequest::FreeRunning;
        return true;
    }
    request->kind = RawRequest::Triggered;
    return trigger_mode(trig_port, trig_mode, &request->mode);
}

// The library fills `buffer` with the interpreter lock released. The Device's
// guard keeps the handle alive until the call returns.
int fill_raw(PyObject* self, const RawRequest& r, uint16_t* buffer) {
    auto* device = reinterpret_cast<DeviceObject*>(self);
    return without_interpreter_lock([device, &r, buffer]() noexcept {
        std::lock_guard handle_in_use(*device->guard);
        switch (r.kind) {
            case RawRequest::FreeRunning:
                return zo_get_raw_data(device->_device, r.nsamples, buffer);
            case RawRequest::Triggered:
                return zo_get_raw_data_triggered(device->_device, r.nsamples, buffer, r.mode,
                                                 r.arm_time);
            default:
                return zo_get_raw_data_triggered_repeat(device->_device, r.nsamples, buffer,
                                                        r.mode, r.arm_time, r.samples_per_trigger);
        }
    });
}

PyObject* get_raw_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    RawDataArguments a;
    npy_intp n;
    if (!a.parse(args, nargs, kwnames) || !out_length(a.get<"nsamples">(), &n)) return nullptr;
    PyObject* out = a.get<"out">();
    SampleBlock block;
    bool taken = out == Py_None ? block.make(n, NPY_UINT16, true)
                                : block.take(out, "out", n, NPY_UINT16);
    bool mask;
    if (!taken || !read_codes(self, a, block, n, &mask)) return nullptr;
    if (mask) {
        auto* samples = static_cast<uint16_t*>(block.memory());
        if (!samples) return nullptr;
        mask_to_adc_bits(samples, n);
    }
    return block.release();
}

Method get_raw_data_method(kRawDataSignature, get_raw_data, Line::plain,
    "        Collects raw adc samples from the device.\n"
    "\n"
    "        Args:\n"
    "            nsamples (int): number of samples to collect\n"
    "            mask (bool): If True, zeros the highest 2 bits of the samples, so that only\n"
    "                the 14 bits sampled by the ADC are returned.\n"
    "            trig_mode (str): The trigger mode. Valid values are\n"
    "                \"rising\" (Low to High transition),\n"
    "                \"falling\" (High to Low transition),\n"
    "                \"high\" (port is High),\n"
    "                \"low\" (port is Low).\n"
    "            trig_port (str): The port to trigger on. Valid values are \"S\" and \"T\".\n"
    "            arm_time (int): How many samples to wait in the untriggered state before\n"
    "                allowing triggering. This prevents triggering on noisy edges.\n"
    "            samples_per_trigger (int): Record only this many samples per trigger, then\n"
    "                wait for another trigger, repeating until all `nsamples` samples are\n"
    "                acquired. Requires *trig_mode* and *trig_port* to be specified.\n"
    "            out (numpy.ndarray): Keyword only. A writeable, C-contiguous `uint16` array\n"
    "                of exactly `nsamples` elements (of any shape) to fill in place and\n"
    "                return instead of a new array. It is checked before the device is\n"
    "                asked for anything, and left untouched if it is refused.\n"
    "\n"
    "        Returns:\n"
    "            A numpy array of unsigned 16 bit ints containing the ADC samples measured.\n"
    "\n"
    "        Raises:\n"
    "            Error: An error occured.\n"
    "            TypeError: `out` is not a numpy array of dtype `uint16`.\n"
    "            ValueError: `out` has the wrong size, is not C-contiguous or is read-only.\n"
    "        ");

}  // namespace

// Built for the widest vectors the processor has, where the compiler can do so.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__APPLE__)
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
void mask_to_adc_bits(uint16_t* samples, npy_intp n) {
    for (npy_intp i = 0; i < n; ++i) samples[i] &= kAdcBits;
}

bool read_codes(PyObject* self, const RawDataArguments& a, const SampleBlock& block, npy_intp n,
                bool* mask) {
    RawRequest request;
    request.nsamples = static_cast<uint64_t>(n);
    if (!u64_via_int(a.get<"arm_time">(), &request.arm_time) ||
        !choose_call(a.get<"trig_mode">(), a.get<"trig_port">(), a.get<"samples_per_trigger">(),
                     &request))
        return false;
    auto* codes = static_cast<uint16_t*>(block.memory());
    if (!codes) return false;
    if (fill_raw(self, request, codes) != 0) {
        raise_library_error();
        return false;
    }
    return to_bool(a.get<"mask">(), mask);
}

FastFunction raw_data_function() { return get_raw_data; }

bool add_acquisition_members(ClassBuilder& cls) { return cls.method(get_raw_data_method); }

}  // namespace zopy
