// zopy._sim: marshals zopy.sim's calls to the bench's control interface
// (bench_control.h). zopy/sim.py holds the documentation, the keyword
// interface and the argument checks; this module only converts values.
#include "sim_convert.hpp"

#include <cmath>
#include <optional>

using namespace simpy;

namespace {

// A list of convert(item) for each of `items`; null with the exception if one fails.
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) {
    PyObject* list = PyList_New(Py_ssize_t(items.size()));
    for (size_t i = 0; list && i < items.size(); ++i) {
        PyObject* item = convert(items[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), item);
    }
    return list;
}

PyObject* py_reset(PyObject*, PyObject*) {
    return translate([] { control::reset(); return none(); });
}

// An identity as a dict keyed by sim.attach's parameter names.
PyObject* spec_dict(const control::DeviceSpec& d) {
    return Py_BuildValue("{s:s,s:s,s:O,s:k,s:i,s:(iii),s:i,s:i}", "serial", d.serial.c_str(),
                         "product", d.product.c_str(), "balanced", d.balanced ? Py_True : Py_False,
                         "samplerate", (unsigned long)d.samplerate, "adcbits", int(d.adcbits),
                         "fwversion", int(d.fwversion[0]), int(d.fwversion[1]), int(d.fwversion[2]),
                         "usb_speed", d.usb_speed, "peak_responsivity", d.peak_nm);
}

PyObject* py_default_device(PyObject*, PyObject*) {
    return translate([] { return spec_dict(control::default_device()); });
}

PyObject* py_identity(PyObject*, PyObject* args) {
    PyObject* serial;
    if (!PyArg_ParseTuple(args, "O", &serial)) return nullptr;
    control::Serial s;
    if (!to_serial(serial, s)) return nullptr;
    return translate([&] { return spec_dict(control::identity(s)); });
}

// attach(serial, product, balanced, samplerate, adcbits, (fw), usb_speed, peak_nm)
PyObject* py_attach(PyObject*, PyObject* args) {
    const char *serial, *product;
    int balanced, adcbits, usb_speed, peak;
    unsigned long samplerate;
    int fw[3];
    if (!PyArg_ParseTuple(args, "sspki(iii)ii", &serial, &product, &balanced, &samplerate, &adcbits,
                          &fw[0], &fw[1], &fw[2], &usb_speed, &peak))
        return nullptr;
    return translate([&] {
        control::DeviceSpec d{serial, product, balanced != 0, uint32_t(samplerate), uint8_t(adcbits),
                              {uint8_t(fw[0]), uint8_t(fw[1]), uint8_t(fw[2])}, usb_speed, peak};
        control::attach(d);
        return none();
    });
}

PyObject* py_detach(PyObject*, PyObject* args) {
    const char* serial;
    if (!PyArg_ParseTuple(args, "s", &serial)) return nullptr;
    return translate([&] { return PyBool_FromLong(control::detach(serial)); });
}

PyObject* py_detach_all(PyObject*, PyObject*) {
    return translate([] { control::detach_all(); return none(); });
}

PyObject* py_devices(PyObject*, PyObject*) {
    return translate([] { return string_list(control::devices()); });
}

// unplug_after(serial, reads)
PyObject* py_unplug_after(PyObject*, PyObject* args) {
    const char* serial;
    unsigned long long reads;
    if (!PyArg_ParseTuple(args, "sK", &serial, &reads)) return nullptr;
    return translate([&] { control::unplug_after(serial, reads); return none(); });
}

PyObject* py_reads_until_unplugged(PyObject*, PyObject* args) {
    const char* serial;
    if (!PyArg_ParseTuple(args, "s", &serial)) return nullptr;
    return translate([&] {
        return PyLong_FromUnsignedLongLong(control::reads_until_unplugged(serial));
    });
}

// A light as a dict keyed by sim.set_light's parameter names (rin_db_hz None: off).
PyObject* light_dict(const control::LightSpec& l) {
    PyObject* rin = std::isinf(l.rin_db_hz) ? Py_NewRef(Py_None) : PyFloat_FromDouble(l.rin_db_hz);
    if (!rin) return nullptr;
    // "N" hands the reference over, also when building the dict fails.
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:O,s:K,s:N,s:d}", "power_uw", l.p1_uw,
                         "p2_power_uw", l.p2_uw, "wavelength_nm", l.wavelength_nm,
                         "modulation_hz", l.modulation_hz, "modulation_depth", l.modulation_depth,
                         "noise", l.noise ? Py_True : Py_False, "seed",
                         (unsigned long long)l.seed, "rin_db_hz", rin, "cmrr_db", l.cmrr_db);
}

// An input of port S or T as a dict keyed by sim.set_port_input's parameter names.
PyObject* port_input_dict(const control::PortInputSpec& in) {
    return Py_BuildValue("{s:O,s:d,s:d}", "level", in.level ? Py_True : Py_False, "frequency_hz",
                         in.frequency_hz, "duty", in.duty);
}

// The identity as spec_dict gives it, with "unplug_after_reads", "light" and
// "inputs" (port S's and T's).
PyObject* description_dict(const control::InstrumentDescription& d) {
    PyObject* dict = spec_dict(d.identity);
    if (!dict) return nullptr;
    const std::pair<const char*, PyObject*> items[] = {
        {"unplug_after_reads", PyLong_FromUnsignedLongLong(d.reads_until_unplugged)},
        {"light", light_dict(d.light)},
        {"inputs", Py_BuildValue("(NN)", port_input_dict(d.s), port_input_dict(d.t))},
    };
    bool ok = true;
    for (const auto& [key, value] : items) {  // every value is released, also after a failure
        ok = ok && value && PyDict_SetItemString(dict, key, value) == 0;
        Py_XDECREF(value);
    }
    if (!ok) Py_CLEAR(dict);
    return dict;
}

PyObject* py_instruments(PyObject*, PyObject*) {
    return translate([] { return list_of(control::describe_instruments(), description_dict); });
}

PyObject* py_started(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::started()); });
}

// ------------------------------------------------ call log, overrides, errors

PyObject* py_function_kind(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    return translate([&] {
        const calllog::Function* f = control::function(name);
        if (!f) return none();
        return Py_BuildValue("(sLL)", kind_name(f->kind), (long long)f->min, (long long)f->max);
    });
}

// override(name, result, times, error_code or None, error_text bytes)
PyObject* py_override(PyObject*, PyObject* args) {
    const char* name;
    PyObject *result, *code;
    const char* text;
    Py_ssize_t text_len;
    int times;
    if (!PyArg_ParseTuple(args, "sOiOy#", &name, &result, &times, &code, &text, &text_len))
        return nullptr;
    return translate([&]() -> PyObject* {
        const calllog::Function* f = control::function(name);
        if (!f) throw std::invalid_argument(std::string("unknown library function: ") + name);
        calllog::Script script;
        if (!to_script(result, f->kind, script)) {
            if (!PyErr_Occurred()) throw std::invalid_argument(std::string("result of the wrong kind for ") + name);
            return nullptr;
        }
        std::optional<calllog::ScriptedError> error;
        if (code != Py_None) {
            const long c = PyLong_AsLong(code);
            if (c == -1 && PyErr_Occurred()) return nullptr;
            error = calllog::ScriptedError{int32_t(c), std::string(text, size_t(text_len))};
        }
        control::add_override(name, std::move(script), std::move(error), times);
        return none();
    });
}

PyObject* py_set_error(PyObject*, PyObject* args) {
    int code;
    const char* text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, "iy#", &code, &text, &len)) return nullptr;
    return translate([&] { control::set_error(code, std::string(text, size_t(len))); return none(); });
}

PyObject* py_last_error(PyObject*, PyObject*) {
    return translate([] {
        const auto [code, text] = control::last_error();
        return Py_BuildValue("(iy#)", int(code), text.data(), Py_ssize_t(text.size()));
    });
}

PyObject* py_calls(PyObject*, PyObject*) {
    return translate([] { return list_of(control::calls(), from_call); });
}

PyObject* py_clear_calls(PyObject*, PyObject*) {
    return translate([] { control::clear_calls(); return none(); });
}

PyObject* py_set_logging(PyObject*, PyObject* args) {
    int on;
    if (!PyArg_ParseTuple(args, "p", &on)) return nullptr;
    return translate([&] { control::set_logging(on != 0); return none(); });
}

PyObject* py_logging(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::logging()); });
}

// (name, result, times, error_code or None, error_text bytes), as override() takes them.
PyObject* override_tuple(const calllog::PendingOverride& p) {
    PyObject* result = from_script(p.result);
    if (!result) return nullptr;
    PyObject* code = p.error ? PyLong_FromLong(p.error->code) : none();
    if (!code) {
        Py_DECREF(result);
        return nullptr;
    }
    const std::string text = p.error ? p.error->text : std::string();
    // "N" hands both references over, also when building the tuple fails.
    return Py_BuildValue("(s#NiNy#)", p.name.data(), Py_ssize_t(p.name.size()), result, p.remaining,
                         code, text.data(), Py_ssize_t(text.size()));
}

PyObject* py_overrides(PyObject*, PyObject*) {
    return translate([] { return list_of(control::overrides(), override_tuple); });
}

PyObject* py_set_log_capacity(PyObject*, PyObject* args) {
    unsigned long long calls;
    if (!PyArg_ParseTuple(args, "K", &calls)) return nullptr;
    return translate([&] { control::set_log_capacity(calls); return none(); });
}

PyObject* py_log_capacity(PyObject*, PyObject*) {
    return translate([] { return PyLong_FromUnsignedLongLong(control::log_capacity()); });
}

PyObject* py_dropped_calls(PyObject*, PyObject*) {
    return translate([] { return PyLong_FromUnsignedLongLong(control::dropped_calls()); });
}

// ------------------------------------------------------ light, ports, timing

// set_light(serial or None, p1, p2, wavelength, mod_hz, mod_depth, noise, seed,
//           rin_db_hz (-inf: off), cmrr_db)
PyObject* py_set_light(PyObject*, PyObject* args) {
    PyObject* serial;
    control::LightSpec l;
    int noise;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "OdddddpKdd", &serial, &l.p1_uw, &l.p2_uw, &l.wavelength_nm,
                          &l.modulation_hz, &l.modulation_depth, &noise, &seed, &l.rin_db_hz,
                          &l.cmrr_db))
        return nullptr;
    control::Serial s;
    if (!to_serial(serial, s)) return nullptr;
    l.noise = noise != 0;
    l.seed = seed;
    return translate([&] { control::set_light(s, l); return none(); });
}

// set_port_input(serial or None, port, level, frequency_hz, duty)
PyObject* py_set_port_input(PyObject*, PyObject* args) {
    PyObject* serial;
    int port, level;
    double freq, duty;
    if (!PyArg_ParseTuple(args, "Oipdd", &serial, &port, &level, &freq, &duty)) return nullptr;
    control::Serial s;
    if (!to_serial(serial, s)) return nullptr;
    return translate([&] { control::set_port_input(s, port, level != 0, freq, duty); return none(); });
}

// (serial or None, port number), as the inspection functions take them.
bool serial_and_port(PyObject* args, control::Serial& s, int& port) {
    PyObject* serial;
    return PyArg_ParseTuple(args, "Oi", &serial, &port) && to_serial(serial, s);
}

PyObject* py_port_input(PyObject*, PyObject* args) {
    control::Serial s;
    int port;
    if (!serial_and_port(args, s, port)) return nullptr;
    return translate([&] { return port_input_dict(control::port_input(s, port)); });
}

PyObject* py_set_timeout(PyObject*, PyObject* args) {
    double seconds;
    if (!PyArg_ParseTuple(args, "d", &seconds)) return nullptr;
    return translate([&] { control::set_timeout(seconds); return none(); });
}

PyObject* py_timeout(PyObject*, PyObject*) {
    return translate([] { return PyFloat_FromDouble(control::timeout()); });
}

PyObject* py_set_realtime(PyObject*, PyObject* args) {
    int on;
    if (!PyArg_ParseTuple(args, "p", &on)) return nullptr;
    return translate([&] { control::set_realtime(on != 0); return none(); });
}

PyObject* py_realtime(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::realtime()); });
}

// ---------------------------------------------------------------- inspection

PyObject* py_port_state(PyObject*, PyObject* args) {
    control::Serial s;
    int port;
    if (!serial_and_port(args, s, port)) return nullptr;
    return translate([&] {
        const control::PortStateOut p = control::port_state(s, port);
        return Py_BuildValue("{s:s,s:s,s:O,s:k,s:k,s:d,s:d}", "direction", p.direction.c_str(),
                             "drive", p.drive.c_str(), "level", p.level ? Py_True : Py_False,
                             "threshold", (unsigned long)p.threshold, "period", (unsigned long)p.period,
                             "frequency_hz", p.frequency_hz, "duty", p.duty);
    });
}

PyObject* registers_tuple(const std::array<uint16_t, 256>& regs) {
    PyObject* t = PyTuple_New(256);
    for (Py_ssize_t i = 0; t && i < 256; ++i) {
        PyObject* v = PyLong_FromLong(regs[size_t(i)]);
        if (!v) { Py_DECREF(t); return nullptr; }
        PyTuple_SET_ITEM(t, i, v);
    }
    return t;
}

PyObject* py_state(PyObject*, PyObject* args) {
    PyObject* serial;
    if (!PyArg_ParseTuple(args, "O", &serial)) return nullptr;
    control::Serial s;
    if (!to_serial(serial, s)) return nullptr;
    return translate([&]() -> PyObject* {
        const control::InstrumentState st = control::state(s);
        PyObject* regs = registers_tuple(st.registers);
        if (!regs) return nullptr;
        PyObject* light = light_dict(st.light);
        if (!light) {
            Py_DECREF(regs);
            return nullptr;
        }
        const auto b = [](bool v) { return v ? Py_True : Py_False; };
        return Py_BuildValue(
            "{s:s,s:O,s:k,s:i,s:O,s:K,s:k,s:O,s:O,s:O,s:O,s:O,s:O,s:s,s:i,s:K,s:N,s:N}",
            "serial", st.serial.c_str(), "balanced", b(st.balanced), "base_samplerate",
            (unsigned long)st.base_samplerate, "peak_responsivity", st.peak_nm, "open", b(st.open), "clock", (unsigned long long)st.clock, "samplerate",
            (unsigned long)st.samplerate, "highgain", b(st.highgain), "antialias", b(st.antialias),
            "powerdown", b(st.powerdown), "adcclock", b(st.adcclock), "p1_monitor", b(st.p1_monitor),
            "p2_monitor", b(st.p2_monitor), "pattern", st.pattern.c_str(), "user_word",
            int(st.user_word), "pattern_origin", (unsigned long long)st.pattern_origin, "registers",
            regs, "light", light);
    });
}

PyMethodDef methods[] = {
    {"reset", py_reset, METH_NOARGS, "The default bench again."},
    {"default_device", py_default_device, METH_NOARGS, "Identity of the default instrument."},
    {"attach", py_attach, METH_VARARGS, "Attach an instrument."},
    {"detach", py_detach, METH_VARARGS, "Detach an instrument by serial."},
    {"detach_all", py_detach_all, METH_NOARGS, "Detach every instrument."},
    {"devices", py_devices, METH_NOARGS, "Serials in attach order."},
    {"identity", py_identity, METH_VARARGS, "An attached instrument's identity, as attach takes it."},
    {"unplug_after", py_unplug_after, METH_VARARGS, "Detach an instrument after n more raw reads."},
    {"reads_until_unplugged", py_reads_until_unplugged, METH_VARARGS,
     "Raw reads left before an instrument is detached (0: never)."},
    {"started", py_started, METH_NOARGS, "Whether zo_init has started the library."},
    {"instruments", py_instruments, METH_NOARGS,
     "Every attached instrument: identity, unplug_after_reads, light and inputs (S, T)."},
    {"function_kind", py_function_kind, METH_VARARGS, "(kind, min, max) of a library function."},
    {"override", py_override, METH_VARARGS, "Script a function's next answers."},
    {"set_error", py_set_error, METH_VARARGS, "Set the calling thread's last error."},
    {"last_error", py_last_error, METH_NOARGS, "The calling thread's last error (code, bytes)."},
    {"calls", py_calls, METH_NOARGS, "The call log."},
    {"clear_calls", py_clear_calls, METH_NOARGS, "Empty the call log."},
    {"set_logging", py_set_logging, METH_VARARGS, "Switch the call log on or off."},
    {"logging", py_logging, METH_NOARGS, "Whether the call log is on."},
    {"overrides", py_overrides, METH_NOARGS, "Pending overrides, in the order given."},
    {"set_log_capacity", py_set_log_capacity, METH_VARARGS, "Keep at most n calls in the log."},
    {"log_capacity", py_log_capacity, METH_NOARGS, "How many calls the log keeps."},
    {"dropped_calls", py_dropped_calls, METH_NOARGS, "Calls dropped from the log since it was cleared."},
    {"set_light", py_set_light, METH_VARARGS, "Set an instrument's optical input."},
    {"set_port_input", py_set_port_input, METH_VARARGS, "Apply a level or square wave to S or T."},
    {"port_input", py_port_input, METH_VARARGS, "The input applied to port S or T."},
    {"set_timeout", py_set_timeout, METH_VARARGS, "Trigger timeout, seconds of instrument time."},
    {"timeout", py_timeout, METH_NOARGS, "The trigger timeout."},
    {"set_realtime", py_set_realtime, METH_VARARGS, "Pace acquisitions like the real unit."},
    {"realtime", py_realtime, METH_NOARGS, "Whether acquisitions are paced."},
    {"port_state", py_port_state, METH_VARARGS, "What drives a port."},
    {"state", py_state, METH_VARARGS, "An instrument's settings and clock."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_sim", "Control of the virtual KV310 bench.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

// The library's defaults, ranges and model constants as module constants:
// zopy.sim and its bench files take every default from here.
bool add_constants(PyObject* m) {
    const control::Limits l = control::limits();
    const control::ModelConstants k = control::model_constants();
    const struct {
        const char* name;
        PyObject* value;
    } constants[] = {
        {"BAD_DOUBLE", PyFloat_FromDouble(control::bad_double())},
        {"DEFAULT_TIMEOUT", PyFloat_FromDouble(l.default_timeout_s)},
        {"DEFAULT_CMRR_DB", PyFloat_FromDouble(l.default_cmrr_db)},
        {"DEFAULT_SEED", PyLong_FromUnsignedLongLong(l.default_seed)},
        {"DEFAULT_LOG_CAPACITY", PyLong_FromUnsignedLongLong(l.default_log_capacity)},
        {"MAX_LOG_CAPACITY", PyLong_FromUnsignedLongLong(l.max_log_capacity)},
        {"MAX_POWER_UW", PyFloat_FromDouble(l.max_power_uw)},
        {"MIN_WAVELENGTH_NM", PyFloat_FromDouble(l.min_wavelength_nm)},
        {"MAX_RIN_DB_HZ", PyFloat_FromDouble(l.max_rin_db_hz)},
        {"MIN_CMRR_DB", PyFloat_FromDouble(l.min_cmrr_db)},
        {"COUNTS_PER_UW_HIGH", PyFloat_FromDouble(k.counts_per_uw_high)},
        {"COUNTS_PER_UW_LOW", PyFloat_FromDouble(k.counts_per_uw_low)},
        {"OFFSET_SINGLE", PyFloat_FromDouble(k.offset_single)},
        {"OFFSET_BALANCED", PyFloat_FromDouble(k.offset_balanced)},
        {"PORT_CLOCK_HZ", PyFloat_FromDouble(k.port_clock_hz)},
        {"ATTACH_DEFAULTS", spec_dict(control::attach_defaults())},
    };
    bool ok = true;
    for (const auto& c : constants) {  // every value is released, also after a failure
        ok = ok && c.value && PyModule_AddObjectRef(m, c.name, c.value) == 0;
        Py_XDECREF(c.value);
    }
    return ok;
}

}  // namespace

PyMODINIT_FUNC PyInit__sim(void) {
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    if (!add_constants(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
