// The instrument's controls: the six analog front-end switches, the digital
// ports and LEDs, the ADC test patterns and reset.
#include "zopy.hpp"

namespace zopy {

namespace {

// ---------------------------------------------------------------------------
// Switches: read_<name>() / set_<name>(enable) / property(read, set)

struct Switch {
    const char* name;
    int (*read)(zo_device*);
    int (*set)(zo_device*, bool);
    bool reads_int;   // highgain reads as the library's int, the others as bool
};

// Not constexpr: the addresses of imported library functions are only known
// at load time on some platforms.
const Switch kSwitches[] = {
    {"highgain", zo_read_highgain, zo_set_highgain, true},
    {"antialias", zo_read_antialias, zo_set_antialias, false},
    {"powerdown", zo_read_powerdown, zo_set_powerdown, false},
    {"adcclock", zo_read_adcclock, zo_set_adcclock, false},
    {"p1_select", zo_read_p1_monitor, zo_set_p1_monitor, false},
    {"p2_select", zo_read_p2_monitor, zo_set_p2_monitor, false},
};

const char* const kSetNames[] = {"set_highgain", "set_antialias", "set_powerdown",
                                 "set_adcclock", "set_p1_select", "set_p2_select"};

template <int I>
PyObject* read_switch(PyObject* self, PyObject*) {
    int value = kSwitches[I].read(handle_of(self));
    if (value < 0) return raise_library_error();
    return kSwitches[I].reads_int ? PyLong_FromLong(value) : PyBool_FromLong(value);
}

template <int I>
PyObject* set_switch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{kSetNames[I], {"enable"}, 1, 1};
    PyObject* enable_arg = nullptr;
    bool enable;
    if (!parse_args(sig, args, nargs, kwnames, &enable_arg) || !to_bool(enable_arg, &enable))
        return nullptr;
    if (kSwitches[I].set(handle_of(self), enable) != 0) return raise_library_error();
    Py_RETURN_NONE;
}

#define ZOPY_SWITCH_DOC(name, description, tail)                                       \
    "bool: Control the `" name "` feature of the KV310\n\n        " description tail \
    "\n\n        Readable and Writeable.\n        "

const char* const kMonitorDocP1 =
    "bool: Control the `p1_select` feature of the KV310 Balanced photodetector. (KV310 "
    "Balanced Photodetector only)\n"
    "\n"
    "        `p1_select` enables the analog power monitor output of the P1 photodiode on\n"
    "        port \"S\" of the balanced photodetector.\n"
    "\n"
    "        When `p1_select` is True, port \"S\" carries an analog signal that monitors the\n"
    "        output of the P1 photodiode.\n"
    "\n"
    "        When `p1_select` is False, port \"S\" is a high-speed digital input, which\n"
    "        :py:func:`zopy.Device.get_raw_data` records, when called with `mask=False`, as\n"
    "        the 15th bit of each sample.\n"
    "\n"
    "        Readable and Writeable.\n"
    "        ";

const char* const kMonitorDocP2 =
    "bool: Control the `p2_select` feature of the KV310 Balanced photodetector. (KV310 "
    "Balanced Photodetector only)\n"
    "\n"
    "        `p2_select` enables the analog power monitor output of the P2 photodiode on\n"
    "        port \"T\" of the balanced photodetector.\n"
    "\n"
    "        When `p2_select` is True, port \"T\" carries an analog signal that monitors the\n"
    "        output of the P2 photodiode.\n"
    "\n"
    "        When `p2_select` is False, port \"T\" is a high-speed digital input, which\n"
    "        :py:func:`zopy.Device.get_raw_data` records, when called with `mask=False`, as\n"
    "        the 16th bit of each sample.\n"
    "\n"
    "        Readable and Writeable.\n"
    "        ";

#define ZOPY_SET_SWITCH_DOC(name)                                                  \
    "set_" name "(enable)\n"                                                         \
    "        Switches the `" name "` feature on or off; see :py:attr:`" name "`.\n" \
    "\n"                                                                             \
    "        Args:\n"                                                                \
    "            enable (bool): True to switch it on, False to switch it off.\n"    \
    "\n"                                                                             \
    "        Raises:\n"                                                              \
    "            Error: An error occured.\n"                                         \
    "        "

#define ZOPY_SWITCH_METHODS(I, name, doc)                                                    \
    {"read_" name, read_switch<I>, METH_NOARGS, doc},                                      \
    {                                                                                      \
        "set_" name, as_cfunction(set_switch<I>),                         \
            METH_FASTCALL | METH_KEYWORDS, ZOPY_SET_SWITCH_DOC(name)                       \
    }

PyMethodDef switch_methods[] = {
    ZOPY_SWITCH_METHODS(0, "highgain",
                        ZOPY_SWITCH_DOC("highgain",
                                        "Controls wether the transimpedance amplifier is in "
                                        "`highgain` mode or `lowgain` mode.",
                                        " :cpp:func:`zo_set_highgain`")),
    ZOPY_SWITCH_METHODS(1, "antialias",
                        ZOPY_SWITCH_DOC("antialias",
                                        "Controls wether the antialiasign filter is enabled.",
                                        " :cpp:func:`zo_set_antialias`")),
    ZOPY_SWITCH_METHODS(2, "powerdown",
                        ZOPY_SWITCH_DOC("powerdown",
                                        "Controls wether the analog circuitry is powered down.",
                                        " :cpp:func:`zo_set_powerdown`")),
    ZOPY_SWITCH_METHODS(3, "adcclock",
                        ZOPY_SWITCH_DOC("adcclock", "Controls wether the ADC clock is enabled.",
                                        " :cpp:func:`zo_set_adcclock`")),
    ZOPY_SWITCH_METHODS(4, "p1_select", kMonitorDocP1),
    ZOPY_SWITCH_METHODS(5, "p2_select", kMonitorDocP2),
};

bool add_switches(ClassBuilder& cls) {
    for (int i = 0; i < 6; ++i) {
        PyMethodDef* read = &switch_methods[2 * i];
        PyMethodDef* set = &switch_methods[2 * i + 1];
        if (!cls.method(read) || !cls.method(set) ||
            !cls.property(kSwitches[i].name, read->ml_name, set->ml_name))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Ports and LEDs

// The library's port for a key of port_lookup; `invalid` raises the
// method's own invalid-port exception.
bool port_value(PyObject* port, PyObject* (*invalid)(), ZO_PORT_t* out) {
    Ref table = Ref::steal(module_global(state.str_port_lookup));
    if (!table) return false;
    int known = PySequence_Contains(table.get(), port);
    if (known < 0) return false;
    if (!known) {
        invalid();
        return false;
    }
    Ref value = Ref::steal(PyObject_GetItem(table.get(), port));
    int code;
    if (!value || !enum_direct(value.get(), "ZO_PORT_t", &code)) return false;
    // port_lookup is an ordinary dict that a program may change: a value
    // that names no port is refused like a key that names none.
    if (code < ZO_PORT_A || code > ZO_LED_B) {
        invalid();
        return false;
    }
    *out = static_cast<ZO_PORT_t>(code);
    return true;
}

PyObject* invalid_port_error() { return raise_module_error("invalid port"); }

PyObject* invalid_port_value_error() {
    PyErr_SetString(PyExc_ValueError, "invalid port");
    return nullptr;
}

PyObject* port_drive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{"port_drive", {"port", "value"}, 2, 2};
    PyObject* p[2] = {};
    ZO_PORT_t port;
    bool level;
    if (!parse_args(sig, args, nargs, kwnames, p) ||
        !port_value(p[0], invalid_port_error, &port) || !to_bool(p[1], &level))
        return nullptr;
    return status_result(zo_port_drive(handle_of(self), port, level));
}

PyObject* port_pwm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{"port_pwm", {"port", "threshold", "period"}, 3, 3};
    PyObject* p[3] = {};
    ZO_PORT_t port;
    uint32_t threshold, period;
    if (!parse_args(sig, args, nargs, kwnames, p) ||
        !port_value(p[0], invalid_port_value_error, &port) || !u32_via_int(p[1], &threshold) ||
        !u32_via_int(p[2], &period))
        return nullptr;
    return status_result(zo_port_pwm(handle_of(self), port, threshold, period));
}

PyObject* port_pulse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{"port_pulse", {"port", "threshold"}, 2, 2};
    PyObject* p[2] = {};
    ZO_PORT_t port;
    uint32_t threshold;
    if (!parse_args(sig, args, nargs, kwnames, p) ||
        !port_value(p[0], invalid_port_error, &port) || !u32_via_int(p[1], &threshold))
        return nullptr;
    return status_result(zo_port_pulse(handle_of(self), port, threshold));
}

PyObject* port_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{"port_read", {"port"}, 1, 1};
    PyObject* arg = nullptr;
    ZO_PORT_t port;
    if (!parse_args(sig, args, nargs, kwnames, &arg) ||
        !port_value(arg, invalid_port_error, &port))
        return nullptr;
    int level = zo_port_read(handle_of(self), port);
    if (level < 0) return raise_library_error();
    return PyBool_FromLong(level);
}

PyMethodDef port_methods[] = {
    {"port_drive", as_cfunction(port_drive), METH_FASTCALL | METH_KEYWORDS,
     "port_drive(self, port, value)\n"
     "\n"
     "        Drive a logic signal to a port.\n"
     "\n"
     "        Args:\n"
     "            port: A valid port string\n"
     "            value (bool): Logic level to drive the port at\n"
     "        "},
    {"port_pwm", as_cfunction(port_pwm), METH_FASTCALL | METH_KEYWORDS,
     "port_pwm(self, port, threshold, period)\n"
     "\n"
     "        Drive a square wave on the port.\n"
     "\n"
     "        Args:\n"
     "            port: A valid port string\n"
     "            threshold (int): The length of time during the cycle the port is High, in\n"
     "                ~5 ns clock cycles.\n"
     "            period (int): The period of the square wave, in ~5 ns clock cycles.\n"
     "        "},
    {"port_pulse", as_cfunction(port_pulse), METH_FASTCALL | METH_KEYWORDS,
     "port_pulse(self, port, threshold)\n"
     "\n"
     "        Drive a single pulse on the port.  This drives the port *High* for *threshold*\n"
     "        clock cycles (~5 ns).\n"
     "\n"
     "        Args:\n"
     "            port: A valid port string\n"
     "            threshold (int): The length of time to pulse the port *High*, in ~5 ns\n"
     "                clock cycles.\n"
     "        "},
    {"port_read", as_cfunction(port_read), METH_FASTCALL | METH_KEYWORDS,
     "port_read(self, port)\n"
     "\n"
     "        Read the logic level applied to the port.\n"
     "\n"
     "        Args:\n"
     "            port: A valid port string\n"
     "\n"
     "        Returns:\n"
     "            bool: The measured logic level\n"
     "        "},
};

// ---------------------------------------------------------------------------
// ADC test patterns and reset. The pattern commands' answers are not looked
// at: the instrument reports nothing useful for them.

int (*const kPatterns[])(zo_device*) = {zo_test_pn9, zo_test_checkerboard, zo_test_normal};

template <int I>
PyObject* test_pattern(PyObject* self, PyObject*) {
    kPatterns[I](handle_of(self));
    Py_RETURN_NONE;
}

PyObject* test_user(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Signature sig{"test_user", {"sample"}, 1, 1};
    PyObject* arg = nullptr;
    uint16_t sample;
    if (!parse_args(sig, args, nargs, kwnames, &arg) || !u16_via_int(arg, &sample)) return nullptr;
    zo_test_user(handle_of(self), sample);
    Py_RETURN_NONE;
}

PyObject* reset(PyObject* self, PyObject*) {
    return status_result(zo_reset_device(handle_of(self)));
}

PyMethodDef maintenance_methods[] = {
    {"test_pn9", test_pattern<0>, METH_NOARGS,
     "test_pn9()\n"
     "        Makes the ADC deliver its PN9 pseudo-random test pattern instead of samples.\n"
     "\n"
     "        :py:func:`test_normal` returns to samples.\n"
     "        "},
    {"test_checkerboard", test_pattern<1>, METH_NOARGS,
     "test_checkerboard()\n"
     "        Makes the ADC deliver its checkerboard test pattern instead of samples.\n"
     "\n"
     "        :py:func:`test_normal` returns to samples.\n"
     "        "},
    {"test_normal", test_pattern<2>, METH_NOARGS,
     "test_normal()\n"
     "        Makes the ADC deliver samples again, after a test pattern.\n"
     "        "},
    {"test_user", as_cfunction(test_user), METH_FASTCALL | METH_KEYWORDS,
     "test_user(sample)\n"
     "        Makes the ADC deliver one fixed word instead of samples.\n"
     "\n"
     "        :py:func:`test_normal` returns to samples.\n"
     "\n"
     "        Args:\n"
     "            sample (int): the word the ADC repeats, 0 to 65535.\n"
     "        "},
    {"reset", reset, METH_NOARGS, "Resets the attached device."},
};

}  // namespace

bool add_frontend_members(ClassBuilder& cls) {
    if (!add_switches(cls)) return false;
    for (PyMethodDef& def : port_methods) {
        if (!cls.method(&def)) return false;
    }
    for (PyMethodDef& def : maintenance_methods) {
        if (!cls.method(&def)) return false;
    }
    return true;
}

}  // namespace zopy
