// zopy._sim: marshals zopy.sim's calls to the bench's control interface
// (bench_control.h). zopy/sim/_control.py holds the documentation, the
// keyword interface and the argument checks, and calls these functions with
// positional arguments; this module only converts values.
#include "sim_convert.hpp"

#include <cmath>
#include <optional>

namespace {

using namespace simpy;
using namespace zopy;

// (serial, port), as the functions on one port of an instrument take them.
template <const auto& sig>
bool serial_and_port(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     control::Serial& serial, int32_t& port) {
    Arguments<sig> a;
    return a.parse(args, nargs, kwnames) && to_serial(a.template get<"serial">(), serial) &&
           i32_via_int(a.template get<"port">(), &port);
}

// ---------------------------------------------------------------- instruments

// An identity as a dict keyed by sim.attach's parameter names.
PyObject* spec_dict(const control::DeviceSpec& d) {
    return Py_BuildValue("{s:s,s:s,s:O,s:k,s:i,s:(iii),s:i,s:i}", "serial", d.serial.c_str(),
                         "product", d.product.c_str(), "balanced", d.balanced ? Py_True : Py_False,
                         "samplerate", (unsigned long)d.samplerate, "adcbits", int(d.adcbits),
                         "fwversion", int(d.fwversion[0]), int(d.fwversion[1]), int(d.fwversion[2]),
                         "usb_speed", d.usb_speed, "peak_responsivity", d.peak_nm);
}

PyObject* reset(PyObject*, PyObject*) {
    return translate([] { control::reset(); return none(); });
}
Method reset_method = Method::no_arguments("reset", reset, Line::plain,
                                           "The default bench again.");

PyObject* default_device(PyObject*, PyObject*) {
    return translate([] { return spec_dict(control::default_device()); });
}
Method default_device_method = Method::no_arguments("default_device", default_device, Line::plain,
                                                    "Identity of the default instrument.");

constexpr auto kIdentity = signature("identity", required("serial"));
PyObject* identity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kIdentity> a;
    control::Serial serial;
    if (!a.parse(args, nargs, kwnames) || !to_serial(a.get<"serial">(), serial)) return nullptr;
    return translate([&] { return spec_dict(control::identity(serial)); });
}
Method identity_method(kIdentity, identity, Line::plain,
                       "An attached instrument's identity, as attach takes it.");

constexpr auto kAttach = signature(
    "attach", required("serial"), required("product"), required("balanced"),
    required("samplerate"), required("adcbits"), required("fwversion"), required("usb_speed"),
    required("peak_responsivity"));
PyObject* attach(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kAttach> a;
    control::DeviceSpec d;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &d.serial) ||
        !utf8_of<"product">(a, &d.product) || !to_bool(a.get<"balanced">(), &d.balanced) ||
        !u32_via_int(a.get<"samplerate">(), &d.samplerate) ||
        !u8_direct(a.get<"adcbits">(), &d.adcbits) ||
        !i32_via_int(a.get<"usb_speed">(), &d.usb_speed) ||
        !i32_via_int(a.get<"peak_responsivity">(), &d.peak_nm))
        return nullptr;
    if (!to_version(a.get<"fwversion">(), d.fwversion)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "fwversion must be three numbers 0..255");
        return nullptr;
    }
    return translate([&] { control::attach(d); return none(); });
}
Method attach_method(kAttach, attach, Line::plain, "Attach an instrument.");

constexpr auto kDetach = signature("detach", required("serial"));
PyObject* detach(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kDetach> a;
    std::string serial;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &serial)) return nullptr;
    return translate([&] { return PyBool_FromLong(control::detach(serial)); });
}
Method detach_method(kDetach, detach, Line::plain, "Detach an instrument by serial.");

PyObject* detach_all(PyObject*, PyObject*) {
    return translate([] { control::detach_all(); return none(); });
}
Method detach_all_method = Method::no_arguments("detach_all", detach_all, Line::plain,
                                                "Detach every instrument.");

PyObject* devices(PyObject*, PyObject*) {
    return translate([] { return list_of(control::devices(), from_string); });
}
Method devices_method = Method::no_arguments("devices", devices, Line::plain,
                                             "Serials in attach order.");

constexpr auto kUnplugAfter = signature("unplug_after", required("serial"), required("reads"));
PyObject* unplug_after(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kUnplugAfter> a;
    std::string serial;
    uint64_t reads;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &serial) ||
        !u64_via_int(a.get<"reads">(), &reads))
        return nullptr;
    return translate([&] { control::unplug_after(serial, reads); return none(); });
}
Method unplug_after_method(kUnplugAfter, unplug_after, Line::plain,
                           "Detach an instrument after n more raw reads.");

constexpr auto kReadsUntilUnplugged = signature("reads_until_unplugged", required("serial"));
PyObject* reads_until_unplugged(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Arguments<kReadsUntilUnplugged> a;
    std::string serial;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &serial)) return nullptr;
    return translate([&] {
        return PyLong_FromUnsignedLongLong(control::reads_until_unplugged(serial));
    });
}
Method reads_until_unplugged_method(kReadsUntilUnplugged, reads_until_unplugged, Line::plain,
                                    "Raw reads left before an instrument is detached (0: never).");

// A light as a dict keyed by sim.set_light's parameter names (rin_db_hz None: off).
PyObject* light_dict(const control::LightSpec& l) {
    Ref rin = Ref::steal(std::isinf(l.rin_db_hz) ? none() : PyFloat_FromDouble(l.rin_db_hz));
    if (!rin) return nullptr;
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:O,s:K,s:O,s:d}", "power_uw", l.p1_uw,
                         "p2_power_uw", l.p2_uw, "wavelength_nm", l.wavelength_nm,
                         "modulation_hz", l.modulation_hz, "modulation_depth", l.modulation_depth,
                         "noise", l.noise ? Py_True : Py_False, "seed",
                         (unsigned long long)l.seed, "rin_db_hz", rin.get(), "cmrr_db", l.cmrr_db);
}

// An input of port S or T as a dict keyed by sim.set_port_input's parameter names.
PyObject* port_input_dict(const control::PortInputSpec& in) {
    return Py_BuildValue("{s:O,s:d,s:d}", "level", in.level ? Py_True : Py_False, "frequency_hz",
                         in.frequency_hz, "duty", in.duty);
}

// The identity as spec_dict gives it, with "unplug_after_reads", "light" and
// "inputs" (port S's and T's).
PyObject* description_dict(const control::InstrumentDescription& d) {
    Ref dict = Ref::steal(spec_dict(d.identity));
    Ref s = Ref::steal(port_input_dict(d.s));
    Ref t = Ref::steal(port_input_dict(d.t));
    if (!dict || !s || !t) return nullptr;
    const std::pair<const char*, Ref> items[] = {
        {"unplug_after_reads", Ref::steal(PyLong_FromUnsignedLongLong(d.reads_until_unplugged))},
        {"light", Ref::steal(light_dict(d.light))},
        {"inputs", Ref::steal(PyTuple_Pack(2, s.get(), t.get()))},
    };
    for (const auto& [key, value] : items) {
        if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* instruments(PyObject*, PyObject*) {
    return translate([] { return list_of(control::describe_instruments(), description_dict); });
}
Method instruments_method = Method::no_arguments(
    "instruments", instruments, Line::plain,
    "Every attached instrument: identity, unplug_after_reads, light and inputs (S, T).");

PyObject* started(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::started()); });
}
Method started_method = Method::no_arguments("started", started, Line::plain,
                                             "Whether zo_init has started the library.");

// ------------------------------------------------ call log, overrides, errors

constexpr auto kFunctionKind = signature("function_kind", required("name"));
PyObject* function_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kFunctionKind> a;
    std::string name;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"name">(a, &name)) return nullptr;
    return translate([&] {
        const calllog::Function* f = control::function(name);
        if (!f) return none();
        return Py_BuildValue("(sLL)", kind_name(f->kind), (long long)f->min, (long long)f->max);
    });
}
Method function_kind_method(kFunctionKind, function_kind, Line::plain,
                            "(kind, min, max) of a library function.");

constexpr auto kOverride = signature("override", required("name"), required("result"),
                                     required("times"), required("error_code"),
                                     required("error_text"));
PyObject* override_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kOverride> a;
    std::string name, text;
    int32_t times;
    std::optional<int32_t> code;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"name">(a, &name) ||
        !i32_via_int(a.get<"times">(), &times) || !bytes_of<"error_text">(a, text))
        return nullptr;
    if (a.get<"error_code">() != Py_None && !i32_via_int(a.get<"error_code">(), &code.emplace()))
        return nullptr;
    return translate([&]() -> PyObject* {
        const calllog::Function* f = control::function(name);
        if (!f) throw std::invalid_argument("unknown library function: " + name);
        calllog::Script script;
        if (!to_script(a.get<"result">(), f->kind, script)) {
            if (!PyErr_Occurred()) throw std::invalid_argument("result of the wrong kind for " + name);
            return nullptr;
        }
        std::optional<calllog::ScriptedError> error;
        if (code) error = calllog::ScriptedError{*code, std::move(text)};
        control::add_override(name, std::move(script), std::move(error), times);
        return none();
    });
}
Method override_method(kOverride, override_, Line::plain,
                       "Script a function's next answers (error_code None: no error).");

constexpr auto kSetError = signature("set_error", required("code"), required("text"));
PyObject* set_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetError> a;
    int32_t code;
    std::string text;
    if (!a.parse(args, nargs, kwnames) || !i32_via_int(a.get<"code">(), &code) ||
        !bytes_of<"text">(a, text))
        return nullptr;
    return translate([&] { control::set_error(code, text); return none(); });
}
Method set_error_method(kSetError, set_error, Line::plain,
                        "Set the calling thread's last error.");

PyObject* last_error(PyObject*, PyObject*) {
    return translate([] {
        const auto [code, text] = control::last_error();
        return Py_BuildValue("(iy#)", int(code), text.data(), Py_ssize_t(text.size()));
    });
}
Method last_error_method = Method::no_arguments(
    "last_error", last_error, Line::plain, "The calling thread's last error (code, bytes).");

PyObject* calls(PyObject*, PyObject*) {
    return translate([] { return list_of(control::calls(), from_call); });
}
Method calls_method = Method::no_arguments("calls", calls, Line::plain, "The call log.");

PyObject* clear_calls(PyObject*, PyObject*) {
    return translate([] { control::clear_calls(); return none(); });
}
Method clear_calls_method = Method::no_arguments("clear_calls", clear_calls, Line::plain,
                                                 "Empty the call log.");

constexpr auto kSetLogging = signature("set_logging", required("on"));
PyObject* set_logging(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetLogging> a;
    bool on;
    if (!a.parse(args, nargs, kwnames) || !to_bool(a.get<"on">(), &on)) return nullptr;
    return translate([&] { control::set_logging(on); return none(); });
}
Method set_logging_method(kSetLogging, set_logging, Line::plain,
                          "Switch the call log on or off.");

PyObject* logging(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::logging()); });
}
Method logging_method = Method::no_arguments("logging", logging, Line::plain,
                                             "Whether the call log is on.");

// (name, result, times, error_code or None, error_text bytes), as override() takes them.
PyObject* override_tuple(const calllog::PendingOverride& p) {
    Ref result = Ref::steal(from_script(p.result));
    Ref code = Ref::steal(p.error ? PyLong_FromLong(p.error->code) : none());
    if (!result || !code) return nullptr;
    const std::string text = p.error ? p.error->text : std::string();
    return Py_BuildValue("(s#OiOy#)", p.name.data(), Py_ssize_t(p.name.size()), result.get(),
                         p.remaining, code.get(), text.data(), Py_ssize_t(text.size()));
}

PyObject* overrides(PyObject*, PyObject*) {
    return translate([] { return list_of(control::overrides(), override_tuple); });
}
Method overrides_method = Method::no_arguments("overrides", overrides, Line::plain,
                                               "Pending overrides, in the order given.");

constexpr auto kSetLogCapacity = signature("set_log_capacity", required("calls"));
PyObject* set_log_capacity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    Arguments<kSetLogCapacity> a;
    uint64_t calls;
    if (!a.parse(args, nargs, kwnames) || !u64_via_int(a.get<"calls">(), &calls)) return nullptr;
    return translate([&] { control::set_log_capacity(calls); return none(); });
}
Method set_log_capacity_method(kSetLogCapacity, set_log_capacity, Line::plain,
                               "Keep at most n calls in the log.");

PyObject* log_capacity(PyObject*, PyObject*) {
    return translate([] { return PyLong_FromUnsignedLongLong(control::log_capacity()); });
}
Method log_capacity_method = Method::no_arguments("log_capacity", log_capacity, Line::plain,
                                                  "How many calls the log keeps.");

PyObject* dropped_calls(PyObject*, PyObject*) {
    return translate([] { return PyLong_FromUnsignedLongLong(control::dropped_calls()); });
}
Method dropped_calls_method = Method::no_arguments(
    "dropped_calls", dropped_calls, Line::plain,
    "Calls dropped from the log since it was cleared.");

// ------------------------------------------------------ light, ports, timing

constexpr auto kSetLight = signature(
    "set_light", required("serial"), required("power_uw"), required("p2_power_uw"),
    required("wavelength_nm"), required("modulation_hz"), required("modulation_depth"),
    required("noise"), required("seed"), required("rin_db_hz"), required("cmrr_db"));
PyObject* set_light(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetLight> a;
    control::Serial serial;
    control::LightSpec l;
    if (!a.parse(args, nargs, kwnames) || !to_serial(a.get<"serial">(), serial) ||
        !to_double(a.get<"power_uw">(), &l.p1_uw) ||
        !to_double(a.get<"p2_power_uw">(), &l.p2_uw) ||
        !to_double(a.get<"wavelength_nm">(), &l.wavelength_nm) ||
        !to_double(a.get<"modulation_hz">(), &l.modulation_hz) ||
        !to_double(a.get<"modulation_depth">(), &l.modulation_depth) ||
        !to_bool(a.get<"noise">(), &l.noise) || !u64_via_int(a.get<"seed">(), &l.seed) ||
        !to_double(a.get<"rin_db_hz">(), &l.rin_db_hz) ||
        !to_double(a.get<"cmrr_db">(), &l.cmrr_db))
        return nullptr;
    return translate([&] { control::set_light(serial, l); return none(); });
}
Method set_light_method(kSetLight, set_light, Line::plain,
                        "Set an instrument's optical input (serial None: the first attached; "
                        "rin_db_hz -inf: off).");

constexpr auto kSetPortInput = signature("set_port_input", required("serial"), required("port"),
                                         required("level"), required("frequency_hz"),
                                         required("duty"));
PyObject* set_port_input(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetPortInput> a;
    control::Serial serial;
    int32_t port;
    bool level;
    double frequency_hz, duty;
    if (!a.parse(args, nargs, kwnames) || !to_serial(a.get<"serial">(), serial) ||
        !i32_via_int(a.get<"port">(), &port) || !to_bool(a.get<"level">(), &level) ||
        !to_double(a.get<"frequency_hz">(), &frequency_hz) ||
        !to_double(a.get<"duty">(), &duty))
        return nullptr;
    return translate([&] {
        control::set_port_input(serial, port, level, frequency_hz, duty);
        return none();
    });
}
Method set_port_input_method(kSetPortInput, set_port_input, Line::plain,
                             "Apply a level or square wave to S or T.");

constexpr auto kPortInput = signature("port_input", required("serial"), required("port"));
PyObject* port_input(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    control::Serial serial;
    int32_t port;
    if (!serial_and_port<kPortInput>(args, nargs, kwnames, serial, port)) return nullptr;
    return translate([&] { return port_input_dict(control::port_input(serial, port)); });
}
Method port_input_method(kPortInput, port_input, Line::plain,
                         "The input applied to port S or T.");

constexpr auto kSetTimeout = signature("set_timeout", required("seconds"));
PyObject* set_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetTimeout> a;
    double seconds;
    if (!a.parse(args, nargs, kwnames) || !to_double(a.get<"seconds">(), &seconds)) return nullptr;
    return translate([&] { control::set_timeout(seconds); return none(); });
}
Method set_timeout_method(kSetTimeout, set_timeout, Line::plain,
                          "Trigger timeout, seconds of instrument time.");

PyObject* timeout(PyObject*, PyObject*) {
    return translate([] { return PyFloat_FromDouble(control::timeout()); });
}
Method timeout_method = Method::no_arguments("timeout", timeout, Line::plain,
                                             "The trigger timeout.");

constexpr auto kSetRealtime = signature("set_realtime", required("on"));
PyObject* set_realtime(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kSetRealtime> a;
    bool on;
    if (!a.parse(args, nargs, kwnames) || !to_bool(a.get<"on">(), &on)) return nullptr;
    return translate([&] { control::set_realtime(on); return none(); });
}
Method set_realtime_method(kSetRealtime, set_realtime, Line::plain,
                           "Pace acquisitions like the real unit.");

PyObject* realtime(PyObject*, PyObject*) {
    return translate([] { return PyBool_FromLong(control::realtime()); });
}
Method realtime_method = Method::no_arguments("realtime", realtime, Line::plain,
                                              "Whether acquisitions are paced.");

// ---------------------------------------------------------------- inspection

constexpr auto kPortState = signature("port_state", required("serial"), required("port"));
PyObject* port_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    control::Serial serial;
    int32_t port;
    if (!serial_and_port<kPortState>(args, nargs, kwnames, serial, port)) return nullptr;
    return translate([&] {
        const control::PortStateOut p = control::port_state(serial, port);
        return Py_BuildValue("{s:s,s:s,s:O,s:k,s:k,s:d,s:d}", "direction", p.direction.c_str(),
                             "drive", p.drive.c_str(), "level", p.level ? Py_True : Py_False,
                             "threshold", (unsigned long)p.threshold, "period", (unsigned long)p.period,
                             "frequency_hz", p.frequency_hz, "duty", p.duty);
    });
}
Method port_state_method(kPortState, port_state, Line::plain, "What drives a port.");

PyObject* registers_tuple(const std::array<uint16_t, 256>& regs) {
    Ref t = Ref::steal(PyTuple_New(256));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < 256; ++i) {
        PyObject* v = PyLong_FromLong(regs[size_t(i)]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, v);   // the tuple owns it from here
    }
    return t.release();
}

constexpr auto kState = signature("state", required("serial"));
PyObject* state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kState> a;
    control::Serial serial;
    if (!a.parse(args, nargs, kwnames) || !to_serial(a.get<"serial">(), serial)) return nullptr;
    return translate([&]() -> PyObject* {
        const control::InstrumentState st = control::state(serial);
        Ref regs = Ref::steal(registers_tuple(st.registers));
        Ref light = Ref::steal(light_dict(st.light));
        if (!regs || !light) return nullptr;
        const auto b = [](bool v) { return v ? Py_True : Py_False; };
        return Py_BuildValue(
            "{s:s,s:O,s:k,s:i,s:O,s:K,s:k,s:O,s:O,s:O,s:O,s:O,s:O,s:s,s:i,s:K,s:O,s:O}",
            "serial", st.serial.c_str(), "balanced", b(st.balanced), "base_samplerate",
            (unsigned long)st.base_samplerate, "peak_responsivity", st.peak_nm, "open", b(st.open),
            "clock", (unsigned long long)st.clock, "samplerate", (unsigned long)st.samplerate,
            "highgain", b(st.highgain), "antialias", b(st.antialias), "powerdown", b(st.powerdown),
            "adcclock", b(st.adcclock), "p1_monitor", b(st.p1_monitor), "p2_monitor",
            b(st.p2_monitor), "pattern", st.pattern.c_str(), "user_word", int(st.user_word),
            "pattern_origin", (unsigned long long)st.pattern_origin, "registers", regs.get(),
            "light", light.get());
    });
}
Method state_method(kState, state, Line::plain, "An instrument's settings and clock.");

// ---------------------------------------------------------------- the module

Method* const functions[] = {
    &reset_method,         &default_device_method,   &attach_method,
    &detach_method,        &detach_all_method,       &devices_method,
    &identity_method,      &unplug_after_method,     &reads_until_unplugged_method,
    &started_method,       &instruments_method,      &function_kind_method,
    &override_method,      &set_error_method,        &last_error_method,
    &calls_method,         &clear_calls_method,      &set_logging_method,
    &logging_method,       &overrides_method,        &set_log_capacity_method,
    &log_capacity_method,  &dropped_calls_method,    &set_light_method,
    &set_port_input_method, &port_input_method,      &set_timeout_method,
    &timeout_method,       &set_realtime_method,     &realtime_method,
    &port_state_method,    &state_method,
};

// The library's defaults, ranges and model constants as module constants:
// zopy.sim and its bench files take every default from here.
bool add_constants(PyObject* m) {
    const control::Limits l = control::limits();
    const control::ModelConstants k = control::model_constants();
    const std::pair<const char*, Ref> constants[] = {
        {"BAD_DOUBLE", Ref::steal(PyFloat_FromDouble(control::bad_double()))},
        {"DEFAULT_TIMEOUT", Ref::steal(PyFloat_FromDouble(l.default_timeout_s))},
        {"DEFAULT_CMRR_DB", Ref::steal(PyFloat_FromDouble(l.default_cmrr_db))},
        {"DEFAULT_SEED", Ref::steal(PyLong_FromUnsignedLongLong(l.default_seed))},
        {"DEFAULT_LOG_CAPACITY", Ref::steal(PyLong_FromUnsignedLongLong(l.default_log_capacity))},
        {"MAX_LOG_CAPACITY", Ref::steal(PyLong_FromUnsignedLongLong(l.max_log_capacity))},
        {"MAX_POWER_UW", Ref::steal(PyFloat_FromDouble(l.max_power_uw))},
        {"MIN_WAVELENGTH_NM", Ref::steal(PyFloat_FromDouble(l.min_wavelength_nm))},
        {"MAX_RIN_DB_HZ", Ref::steal(PyFloat_FromDouble(l.max_rin_db_hz))},
        {"MIN_CMRR_DB", Ref::steal(PyFloat_FromDouble(l.min_cmrr_db))},
        {"COUNTS_PER_UW_HIGH", Ref::steal(PyFloat_FromDouble(k.counts_per_uw_high))},
        {"COUNTS_PER_UW_LOW", Ref::steal(PyFloat_FromDouble(k.counts_per_uw_low))},
        {"OFFSET_SINGLE", Ref::steal(PyFloat_FromDouble(k.offset_single))},
        {"OFFSET_BALANCED", Ref::steal(PyFloat_FromDouble(k.offset_balanced))},
        {"PORT_CLOCK_HZ", Ref::steal(PyFloat_FromDouble(k.port_clock_hz))},
        {"ATTACH_DEFAULTS", Ref::steal(spec_dict(control::attach_defaults()))},
    };
    for (const auto& [name, value] : constants) {
        if (!value || PyModule_AddObjectRef(m, name, value.get()) < 0) return false;
    }
    return true;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_sim", "Control of the virtual KV310 bench.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__sim(void) {
    zopy::Ref module = zopy::Ref::steal(PyModule_Create(&module_def));
    if (!module || !add_constants(module.get())) return nullptr;
    for (zopy::Method* function : functions) {
        if (!zopy::bind_function(module.get(), *function)) return nullptr;
    }
    return module.release();
}
