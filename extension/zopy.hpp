// Declarations shared by the units of zopy.zopy: the module's native state,
// the object layouts of Device and Stream, and what each unit contributes.
#pragma once

#include "pyutil.hpp"

#include <mutex>

// numpy's C API table is defined in module.cpp and shared by the other units.
#ifndef ZOPY_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "zo.h"

namespace zopy {

// The module lives once per process (see module.cpp), so its native state is
// plain process-wide data. References here are owned and never released:
// they live as long as the module, which lives as long as the process.
struct ModuleState {
    PyObject* module = nullptr;        // the one module object
    PyObject* module_dict = nullptr;   // borrowed from `module`
    bool body_ran = false;             // the module body ran for `module`
    int initialized = 0;               // init() has called zo_init

    // Builtins taken once at import.
    PyObject* builtin_print = nullptr;
    PyObject* builtin_property = nullptr;

    PyObject* error_class = nullptr;          // Error
    PyObject* no_device_error_class = nullptr;  // NoDeviceError

    PyObject* numpy = nullptr;
    PyObject* numpy_zeros = nullptr;
    PyObject* empty_uint8 = nullptr;   // default data of _DDevice.out_request

    // Constants made once at import: default argument values and the
    // keyword-name tuples of the module's own vectorcalls.
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* kw_serial = nullptr;
    PyObject* kw_dtype = nullptr;
    PyObject* kw_index_value = nullptr;
    PyObject* kw_index_length = nullptr;

    // Interned names used on hot paths.
    PyObject* str_module_key = nullptr;
    PyObject* str_init = nullptr;
    PyObject* str_open = nullptr;
    PyObject* str_close = nullptr;
    PyObject* str_serial = nullptr;
    PyObject* str_product = nullptr;
    PyObject* str_encode = nullptr;
    PyObject* str_ascii = nullptr;
    PyObject* str_lower = nullptr;
    PyObject* str_auto = nullptr;
    PyObject* str_dtype = nullptr;
    PyObject* str_samplesize = nullptr;
    PyObject* str_get_raw_data = nullptr;
    PyObject* str_get_calibration = nullptr;
    PyObject* str_get_rel_calibration = nullptr;
    PyObject* str_in_request = nullptr;
    PyObject* str_out_request = nullptr;
    PyObject* str_port_lookup = nullptr;
    PyObject* str_calibrationtype_lookup = nullptr;
    PyObject* str_trigger_mode_lookup = nullptr;
    PyObject* str_usb_speed_lookup = nullptr;
};

extern ModuleState state;

// Looks a name up in the module namespace (then builtins), as the module's
// own code does at each use. Returns a new reference.
PyObject* module_global(PyObject* name);

// The with-statement protocol of the module's types: __enter__ returns the
// object; __exit__(exc_type, exc_value, traceback) calls its close method
// through attribute lookup, so a subclass's close runs, and returns False
// so that an exception raised in the block propagates.
inline constexpr auto kExitSignature = signature(
    "__exit__", optional("exc_type", kNone), optional("exc_value", kNone),
    optional("traceback", kNone));
PyObject* context_enter(PyObject* self, PyObject* unused);
PyObject* context_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// ---------------------------------------------------------------------------
// Device: one handle to one instrument.
//
// `guard` serialises the uses of the handle that happen without the
// interpreter lock (acquisition) against closing it, so a handle is never
// released while the library still works with it.
struct DeviceObject {
    PyObject_HEAD
    zo_device* _device;
    std::mutex* guard;
};

extern PyTypeObject DeviceType;
extern PyTypeObject DDeviceType;
extern PyTypeObject StreamType;

inline zo_device* handle_of(PyObject* self) {
    return reinterpret_cast<DeviceObject*>(self)->_device;
}

// Holds a Device's guard; waits for it with the interpreter lock released
// when another thread is inside an acquisition on the same Device.
class DeviceGuard {
public:
    explicit DeviceGuard(PyObject* device);
    ~DeviceGuard();
    DeviceGuard(const DeviceGuard&) = delete;
    DeviceGuard& operator=(const DeviceGuard&) = delete;

private:
    std::mutex* mutex_;
};

// Closes the Device's handle if it holds one (waiting for an acquisition in
// flight); never raises.
void close_handle(PyObject* device);

// ---------------------------------------------------------------------------
// Errors (errors.cpp)

// Raises Error for a library failure: its text carries the library's code
// and error text. Always returns null, for `return raise_library_error();`.
PyObject* raise_library_error();
// None for a library command's status 0, Error for any other status.
PyObject* status_result(int status);
// Raises Error (or a subclass) with a message of the module's own.
PyObject* raise_module_error(const char* message, PyObject* cls = nullptr);
// As raise_module_error, with the exception being handled as its context.
PyObject* raise_module_error_from_current(const char* message);
// Creates Error and NoDeviceError in the module.
bool add_error_classes(PyObject* module);

// ---------------------------------------------------------------------------
// Adds methods, properties and values to a class, in the order they are given.
class ClassBuilder {
public:
    explicit ClassBuilder(PyTypeObject* type) : type_(type) {}
    bool method(Method& method);
    template <size_t N>
    bool methods(Method* const (&list)[N]) {
        for (Method* m : list) {
            if (!method(*m)) return false;
        }
        return true;
    }
    bool getset(PyGetSetDef* def);
    // property(read, set) from two methods already added (set may be null).
    bool property(const char* name, const char* read, const char* set);
    bool value(const char* name, PyObject* value);   // steals `value`

private:
    PyTypeObject* type_;
};

bool add_device_members(ClassBuilder& cls);          // device.cpp
bool add_acquisition_members(ClassBuilder& cls);     // acquisition.cpp
FastFunction raw_data_function();                    // Device.get_raw_data's C function
bool add_calibration_members(ClassBuilder& cls);     // calibration.cpp
bool add_identity_members(ClassBuilder& cls);        // identity.cpp
bool add_frontend_members(ClassBuilder& cls);        // frontend.cpp
bool add_stream_opening_member(ClassBuilder& cls);   // stream.cpp
bool add_stream_members(ClassBuilder& cls);          // stream.cpp
bool add_diagnostics_members(ClassBuilder& cls);     // diagnostics.cpp
bool add_pickling_refusal(ClassBuilder& cls);        // device.cpp

bool add_tables(PyObject* module);                   // tables.cpp

// The classes' docstrings, whose first lines are written from __init__'s
// signature; set before the types are readied.
const char* device_class_doc();                      // device.cpp
const char* stream_class_doc();                      // stream.cpp

// numpy set-up shared by the units (module.cpp).
bool import_numpy_api();
// A 1-d zero-filled array (also every sample block the module allocates).
PyObject* new_zeros(npy_intp n, int typenum);
// Whether a sample count can be an array's length; raises numpy's own
// ValueError for one that cannot.
bool fits_array_length(uint64_t n);

// (raw & keep) * m + b into float64, one pass (calibrated_kernel.cpp).
void calibrate_uint16(const uint16_t* raw, double* out, npy_intp n, double m, double b,
                      uint16_t keep);
// The same where the n codes lie in the first 2n bytes of `buffer` itself.
void calibrate_uint16_in_place(double* buffer, npy_intp n, double m, double b, uint16_t keep);

// ---------------------------------------------------------------------------
// Raw acquisition (acquisition.cpp), shared with get_calibrated_data, which
// parses the keywords it passes on with get_raw_data's signature.

constexpr uint16_t kAdcBits = 0x3FFF;   // the 14 bits the ADC samples
constexpr uint16_t kAllBits = 0xFFFF;

inline constexpr auto kRawDataSignature = signature(
    "get_raw_data", required("nsamples"), optional("mask", kTrue), optional("trig_mode", kNone),
    optional("trig_port", kNone), optional("arm_time", integer(10)),
    optional("samples_per_trigger", kNone), keyword_only("out", kNone).unlisted());
using RawDataArguments = Arguments<kRawDataSignature>;

class SampleBlock;

// get_raw_data's steps from the trigger arguments on: converts them, has the
// library fill the first n uint16 of `block` with the interpreter lock
// released (Error for its failure), then tells whether `mask` asks for the
// codes to be masked to the ADC bits.
bool read_codes(PyObject* self, const RawDataArguments& a, const SampleBlock& block, npy_intp n,
                bool* mask);
// Keeps the ADC bits of n codes, in place.
void mask_to_adc_bits(uint16_t* samples, npy_intp n);

// ---------------------------------------------------------------------------
// The caller's arrays (arrays.cpp)

// Whether `obj` can take a block of n elements of `typenum` in place: an
// ndarray of exactly that native dtype and size, C-contiguous, aligned and
// writeable. Otherwise raises TypeError or ValueError naming the argument
// `name` and what is wrong.
bool check_out_array(PyObject* obj, const char* name, int typenum, npy_intp n);
// The caller's array (None: nothing to do), already checked as `typenum`,
// once more: Python code that ran since may have resized or retyped it, or
// made it read-only.
bool out_still_fits(PyObject* out, const char* name, int typenum, npy_intp n);
// A sample count through int() that can also be an array's length.
bool out_length(PyObject* nsamples, npy_intp* n);
// A 1-d array of n elements of `typenum` over the start of `array`'s memory,
// keeping `array` alive; the caller knows the memory is large enough.
PyObject* view_as(PyObject* array, int typenum, npy_intp n);
// Whether the memory of two arrays overlaps.
bool share_memory(PyObject* a, PyObject* b);

// The array an acquisition writes into: a new one of the module's own, or
// the caller's `out`, checked when taken and again before each write.
class SampleBlock {
public:
    // A new 1-d array of n elements of `typenum`; not zero-filled when
    // every element is written before the caller sees it.
    bool make(npy_intp n, int typenum, bool zero_filled);
    // The caller's array, once check_out_array accepts it.
    bool take(PyObject* out, const char* name, npy_intp n, int typenum);
    // Its memory; for the caller's array only while it still fits, since
    // Python code run since may have resized or retyped it.
    void* memory() const;
    PyObject* array() const { return array_.get(); }
    int typenum() const { return typenum_; }
    PyObject* release() { return array_.release(); }

private:
    Ref array_;
    const char* name_ = nullptr;   // the caller's argument; null for our own array
    int typenum_ = NPY_NOTYPE;
    npy_intp n_ = 0;
};

}  // namespace zopy
