// The instrument's identity: seven read-only properties, each one library
// call, tested against that call's failure value.
#include "zopy.hpp"

namespace zopy {

namespace {

// The int of the last answer, handed out again while the library keeps
// giving the same value: a read then allocates nothing. (The library is
// still asked every time; only the Python object is reused.)
class LastAnswer {
public:
    PyObject* get(unsigned long long value) {
        if (!object_ || value != value_) {
            PyObject* fresh = PyLong_FromUnsignedLongLong(value);
            if (!fresh) return nullptr;
            Py_XSETREF(object_, fresh);
            value_ = value;
        }
        return Py_NewRef(object_);
    }

private:
    unsigned long long value_ = 0;
    PyObject* object_ = nullptr;
};

LastAnswer last_samplerate;
LastAnswer last_peak_responsivity;

PyObject* text_or_error(const char* text) {
    return text ? str_from_utf8(text) : raise_library_error();
}

PyObject* get_serial(PyObject* self, void*) {
    return text_or_error(zo_get_serial(handle_of(self)));
}

PyObject* get_product(PyObject* self, void*) {
    return text_or_error(zo_get_product(handle_of(self)));
}

PyObject* get_samplerate(PyObject* self, void*) {
    uint32_t rate = zo_get_samplerate(handle_of(self));
    if (rate == UINT32_MAX) return raise_library_error();
    return last_samplerate.get(rate);
}

PyObject* get_adcbits(PyObject* self, void*) {
    uint8_t bits = zo_get_adcbits(handle_of(self));
    if (bits == 255) return raise_library_error();
    return PyLong_FromLong(bits);
}

PyObject* get_fwversion(PyObject* self, void*) {
    zo_version_t v = zo_get_fwversion(handle_of(self));
    if (v.major == 255 && v.minor == 255 && v.patch == 255) return raise_library_error();
    return Py_BuildValue("(iii)", v.major, v.minor, v.patch);
}

PyObject* get_usb_speed(PyObject* self, void*) {
    int code = zo_get_usb_speed(handle_of(self));
    if (code == -1) return raise_library_error();
    Ref key = Ref::steal(PyLong_FromLong(code));
    Ref table = Ref::steal(key ? module_global(state.str_usb_speed_lookup) : nullptr);
    if (!table) return nullptr;
    return PyObject_GetItem(table.get(), key.get());
}

PyObject* get_peak_responsivity(PyObject* self, void*) {
    int wavelength = zo_get_peak_responsivity(handle_of(self));
    if (wavelength < 0) return raise_library_error();
    return last_peak_responsivity.get(static_cast<unsigned long long>(wavelength));
}

PyGetSetDef identity_properties[] = {
    {"serial", get_serial, nullptr,
     "str: The serial number of the device.\n\n        Read only.\n        ", nullptr},
    {"product", get_product, nullptr,
     "str: The product name of the device.\n\n        Read only.\n        ", nullptr},
    {"samplerate", get_samplerate, nullptr,
     "int: The sample rate of the device.\n\n        Read only.\n        ", nullptr},
    {"adcbits", get_adcbits, nullptr,
     "int: The number of ADC sampling bits of the device.\n\n        Read only.\n        ",
     nullptr},
    {"fwversion", get_fwversion, nullptr,
     "tuple: Get the firmware version as a 3-tuple\n\n        Read only.\n        ", nullptr},
    {"usb_speed", get_usb_speed, nullptr,
     "str: The current usb connection speed as a string.\n"
     "\n"
     "        Valid responses are \"unknown\", \"low\", \"full\", \"high\" and \"super\".\n"
     "\n"
     "        Read only.\n"
     "        ",
     nullptr},
    {"peak_responsivity", get_peak_responsivity, nullptr,
     "int: The peak wavelength responsivity (in nm) of the photodiode in the device.\n\n"
     "        Read only.\n        ",
     nullptr},
};

}  // namespace

bool add_identity_members(ClassBuilder& cls) {
    for (PyGetSetDef& def : identity_properties) {
        if (!cls.getset(&def)) return false;
    }
    return true;
}

}  // namespace zopy
