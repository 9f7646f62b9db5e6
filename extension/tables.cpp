// The library's codes as Python data: constants, the class `errors` and the
// lookup tables, built in this order at import.
#include "zopy.hpp"

namespace zopy {

namespace {

bool add_int(PyObject* target, const char* name, long value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number && PyObject_SetAttrString(target, name, number.get()) == 0;
}

// The value of the module constant `name`, as it stands now.
PyObject* constant(PyObject* module, const char* name) {
    return PyObject_GetAttrString(module, name);
}

bool set_item(PyObject* dict, PyObject* key, long value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return key && number && PyDict_SetItem(dict, key, number.get()) == 0;
}

bool set_text_items(PyObject* dict, std::initializer_list<std::pair<const char*, long>> items) {
    for (const auto& [text, value] : items) {
        Ref key = Ref::steal(PyUnicode_FromString(text));
        if (!set_item(dict, key.get(), value)) return false;
    }
    return true;
}

// Each constant's current value maps to itself.
bool set_constant_items(PyObject* module, PyObject* dict, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        Ref key = Ref::steal(constant(module, name));
        if (!key || PyDict_SetItem(dict, key.get(), key.get()) < 0) return false;
    }
    return true;
}

bool add_dict(PyObject* module, const char* name, PyObject* dict) {
    Ref owned = Ref::steal(dict);
    return owned && PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

bool add_errors_class(PyObject* module) {
    Ref ns = Ref::steal(PyDict_New());
    Ref qualname = Ref::steal(PyUnicode_FromString("errors"));
    Ref doc = Ref::steal(PyUnicode_FromString(
        "The `libzo` error codes, as :py:attr:`Error.err` carries them.\n    "));
    if (!ns || !qualname || !doc ||
        PyDict_SetItemString(ns.get(), "__module__", state.str_module_key) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return false;
    const std::pair<const char*, long> codes[] = {
        {"ZO_SUCCESS", ZO_SUCCESS},
        {"ZO_ERROR", ZO_ERROR},
        {"ZO_ERROR_PARAMS", ZO_ERROR_PARAMS},
        {"ZO_ERROR_MEMORY", ZO_ERROR_MEMORY},
        {"ZO_ERROR_INVALID_DEVICE", ZO_ERROR_INVALID_DEVICE},
        {"ZO_ERROR_BAD_CHECKSUM", ZO_ERROR_BAD_CHECKSUM},
        {"ZO_ERROR_DEVICE_SETTINGS", ZO_ERROR_DEVICE_SETTINGS},
        {"ZO_ERROR_NOT_IMPLEMENTED", ZO_ERROR_NOT_IMPLEMENTED},
        {"ZO_ERROR_FIRMWARE", ZO_ERROR_FIRMWARE},
        {"ZO_ERROR_DATALOSS", ZO_ERROR_DATALOSS},
        {"ZO_ERROR_USB", ZO_ERROR_USB},
        {"ZO_ERROR_USB_TIMEOUT", ZO_ERROR_USB_TIMEOUT},
        {"ZO_ERROR_USB_SPEED", ZO_ERROR_USB_SPEED},
    };
    for (const auto& [name, value] : codes) {
        Ref number = Ref::steal(PyLong_FromLong(value));
        if (!number || PyDict_SetItemString(ns.get(), name, number.get()) < 0) return false;
    }
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                               "errors", &PyBaseObject_Type, ns.get()));
    return cls && PyModule_AddObjectRef(module, "errors", cls.get()) == 0;
}

PyObject* usb_speed_table() {
    Ref dict = Ref::steal(PyDict_New());
    const char* words[] = {"unknown", "low", "full", "high", "super"};
    for (long code = 0; code < 5; ++code) {
        Ref key = Ref::steal(PyLong_FromLong(code));
        Ref word = Ref::steal(PyUnicode_FromString(words[code]));
        if (!dict || !key || !word || PyDict_SetItem(dict.get(), key.get(), word.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

bool add_port_table(PyObject* module) {
    if (!add_int(module, "PORT_A", ZO_PORT_A) || !add_int(module, "PORT_B", ZO_PORT_B) ||
        !add_int(module, "PORT_S", ZO_PORT_S) || !add_int(module, "PORT_T", ZO_PORT_T))
        return false;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_constant_items(module, dict.get(), {"PORT_A", "PORT_B", "PORT_S", "PORT_T"}) ||
        !set_text_items(dict.get(), {{"A", ZO_PORT_A}, {"B", ZO_PORT_B}, {"S", ZO_PORT_S},
                                     {"T", ZO_PORT_T}, {"LEDR", ZO_LED_R}, {"LEDG", ZO_LED_G},
                                     {"LEDB", ZO_LED_B}}))
        return false;
    return add_dict(module, "port_lookup", dict.release());
}

bool add_calibration_table(PyObject* module) {
    const char* constants[] = {"CALIBRATION_DIGITAL_HIGHGAIN", "CALIBRATION_DIGITAL_LOWGAIN",
                               "CALIBRATION_ANALOG_HIGHGAIN", "CALIBRATION_ANALOG_LOWGAIN",
                               "CALIBRATION_DIGITAL_AUTO"};
    for (long code = 0; code < 5; ++code) {
        if (!add_int(module, constants[code], code)) return false;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_constant_items(module, dict.get(), {constants[0], constants[1], constants[2],
                                                          constants[3], constants[4]}))
        return false;
    if (!set_text_items(dict.get(), {{"digital highgain", 0}, {"digital lowgain", 1},
                                     {"analog highgain", 2}, {"analog lowgain", 3},
                                     {"balanced", 5}, {"balanced digital", 5},
                                     {"balanced analog", 6}, {"p1 digital", 7}, {"p1 analog", 8},
                                     {"p2 digital", 9}, {"p2 analog", 10}, {"auto", 4}}))
        return false;
    return add_dict(module, "calibrationtype_lookup", dict.release());
}

PyObject* trigger_mode_table() {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const char* ports[] = {"s", "t"};
    const char* modes[] = {"rising", "falling", "high", "low"};
    long code = ZO_TRIGGER_S_RISING;
    for (const char* port : ports) {
        for (const char* mode : modes) {
            Ref key = Ref::steal(Py_BuildValue("(ss)", port, mode));
            if (!set_item(dict.get(), key.get(), code++)) return nullptr;
        }
    }
    return dict.release();
}

}  // namespace

bool add_tables(PyObject* module) {
    return add_dict(module, "error_lookup", PyDict_New()) && add_errors_class(module) &&
           add_dict(module, "usb_speed_lookup", usb_speed_table()) && add_port_table(module) &&
           add_calibration_table(module) &&
           add_dict(module, "_trigger_mode_lookup", trigger_mode_table());
}

}  // namespace zopy
