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

constexpr const char* kSetNames[] = {"set_highgain", "set_antialias", "set_powerdown",
                                     "set_adcclock", "set_p1_select", "set_p2_select"};

template <int I>
PyObject* read_switch(PyObject* self, PyObject*) {
    int value = kSwitches[I].read(handle_of(self));
    if (value < 0) return raise_library_error();
    return kSwitches[I].reads_int ? PyLong_FromLong(value) : PyBool_FromLong(value);
}

template <int I>
constexpr auto kSetSwitch = signature(kSetNames[I], required("enable"));

template <int I>
PyObject* set_switch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetSwitch<I>> a;
    bool enable;
    if (!a.parse(args, nargs, kwnames) || !to_bool(a.template get<"enable">(), &enable))
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
    "        Switches the `" name "` feature on or off; see :py:attr:`" name "`.\n" \
    "\n"                                                                             \
    "        Args:\n"                                                                \
    "            enable (bool): True to switch it on, False to switch it off.\n"    \
    "\n"                                                                             \
    "        Raises:\n"                                                              \
    "            Error: An error occured.\n"                                         \
    "        "

#define ZOPY_SWITCH_METHODS(I, name, doc)                                              \
    Method::no_arguments("read_" name, read_switch<I>, Line::none, doc),              \
        Method(kSetSwitch<I>, set_switch<I>, Line::plain, ZOPY_SET_SWITCH_DOC(name))

// read_<name> and set_<name> of each switch, in the order of kSwitches.
Method switch_methods[] = {
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
        Method& read = switch_methods[2 * i];
        Method& set = switch_methods[2 * i + 1];
        if (!cls.method(read) || !cls.method(set) ||
            !cls.property(kSwitches[i].name, read.name(), set.name()))
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

constexpr auto kPortDrive = signature("port_drive", required("port"), required("value"));

PyObject* port_drive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kPortDrive> a;
    ZO_PORT_t port;
    bool level;
    if (!a.parse(args, nargs, kwnames) ||
        !port_value(a.get<"port">(), invalid_port_error, &port) ||
        !to_bool(a.get<"value">(), &level))
        return nullptr;
    return status_result(zo_port_drive(handle_of(self), port, level));
}

Method port_drive_method(kPortDrive, port_drive, Line::with_self,
    "\n"
    "        Drive a logic signal to a port.\n"
    "\n"
    "        Args:\n"
    "            port: A valid port string\n"
    "            value (bool): Logic level to drive the port at\n"
    "        ");

constexpr auto kPortPwm =
    signature("port_pwm", required("port"), required("threshold"), required("period"));

PyObject* port_pwm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kPortPwm> a;
    ZO_PORT_t port;
    uint32_t threshold, period;
    if (!a.parse(args, nargs, kwnames) ||
        !port_value(a.get<"port">(), invalid_port_value_error, &port) ||
        !u32_via_int(a.get<"threshold">(), &threshold) || !u32_via_int(a.get<"period">(), &period))
        return nullptr;
    return status_result(zo_port_pwm(handle_of(self), port, threshold, period));
}

Method port_pwm_method(kPortPwm, port_pwm, Line::with_self,
    "\n"
    "        Drive a square wave on the port.\n"
    "\n"
    "        Args:\n"
    "            port: A valid port string\n"
    "            threshold (int): The length of time during the cycle the port is High, in\n"
    "                ~5 ns clock cycles.\n"
    "            period (int): The period of the square wave, in ~5 ns clock cycles.\n"
    "        ");

constexpr auto kPortPulse = signature("port_pulse", required("port"), required("threshold"));

PyObject* port_pulse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kPortPulse> a;
    ZO_PORT_t port;
    uint32_t threshold;
    if (!a.parse(args, nargs, kwnames) ||
        !port_value(a.get<"port">(), invalid_port_error, &port) ||
        !u32_via_int(a.get<"threshold">(), &threshold))
        return nullptr;
    return status_result(zo_port_pulse(handle_of(self), port, threshold));
}

Method port_pulse_method(kPortPulse, port_pulse, Line::with_self,
    "\n"
    "        Drive a single pulse on the port.  This drives the port *High* for *threshold*\n"
    "        clock cycles (~5 ns).\n"
    "\n"
    "        Args:\n"
    "            port: A valid port string\n"
    "            threshold (int): The length of time to pulse the port *High*, in ~5 ns\n"
    "                clock cycles.\n"
    "        ");

constexpr auto kPortRead = signature("port_read", required("port"));

PyObject* port_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kPortRead> a;
    ZO_PORT_t port;
    if (!a.parse(args, nargs, kwnames) || !port_value(a.get<"port">(), invalid_port_error, &port))
        return nullptr;
    int level = zo_port_read(handle_of(self), port);
    if (level < 0) return raise_library_error();
    return PyBool_FromLong(level);
}

Method port_read_method(kPortRead, port_read, Line::with_self,
    "\n"
    "        Read the logic level applied to the port.\n"
    "\n"
    "        Args:\n"
    "            port: A valid port string\n"
    "\n"
    "        Returns:\n"
    "            bool: The measured logic level\n"
    "        ");

Method* const port_methods[] = {&port_drive_method, &port_pwm_method, &port_pulse_method,
                                &port_read_method};

// ---------------------------------------------------------------------------
// ADC test patterns and reset. The pattern commands' answers are not looked
// at: the instrument reports nothing useful for them.

int (*const kPatterns[])(zo_device*) = {zo_test_pn9, zo_test_checkerboard, zo_test_normal};

template <int I>
PyObject* test_pattern(PyObject* self, PyObject*) {
    kPatterns[I](handle_of(self));
    Py_RETURN_NONE;
}

Method test_pn9_method = Method::no_arguments("test_pn9", test_pattern<0>, Line::plain,
    "        Makes the ADC deliver its PN9 pseudo-random test pattern instead of samples.\n"
    "\n"
    "        :py:func:`test_normal` returns to samples.\n"
    "        ");

Method test_checkerboard_method = Method::no_arguments("test_checkerboard", test_pattern<1>,
                                                        Line::plain,
    "        Makes the ADC deliver its checkerboard test pattern instead of samples.\n"
    "\n"
    "        :py:func:`test_normal` returns to samples.\n"
    "        ");

Method test_normal_method = Method::no_arguments("test_normal", test_pattern<2>, Line::plain,
    "        Makes the ADC deliver samples again, after a test pattern.\n"
    "        ");

constexpr auto kTestUser = signature("test_user", required("sample"));

PyObject* test_user(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kTestUser> a;
    uint16_t sample;
    if (!a.parse(args, nargs, kwnames) || !u16_via_int(a.get<"sample">(), &sample)) return nullptr;
    zo_test_user(handle_of(self), sample);
    Py_RETURN_NONE;
}

Method test_user_method(kTestUser, test_user, Line::plain,
    "        Makes the ADC deliver one fixed word instead of samples.\n"
    "\n"
    "        :py:func:`test_normal` returns to samples.\n"
    "\n"
    "        Args:\n"
    "            sample (int): the word the ADC repeats, 0 to 65535.\n"
    "        ");

PyObject* reset(PyObject* self, PyObject*) {
    return status_result(zo_reset_device(handle_of(self)));
}

Method reset_method =
    Method::no_arguments("reset", reset, Line::none, "Resets the attached device.");

Method* const maintenance_methods[] = {&test_pn9_method, &test_checkerboard_method,
                                       &test_normal_method, &test_user_method, &reset_method};

}  // namespace

bool add_frontend_members(ClassBuilder& cls) {
    return add_switches(cls) && cls.methods(port_methods) && cls.methods(maintenance_methods);
}

}  // namespace zopy
