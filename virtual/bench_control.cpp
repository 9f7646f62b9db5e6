#include "bench_control.h"

#include "errors.hpp"
#include "registry.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

namespace zo::control {

namespace {

std::shared_ptr<Instrument> instrument(const Serial& serial) {
    auto inst = Registry::get().find(serial ? std::optional<std::string_view>(*serial) : std::nullopt);
    if (!inst)
        throw std::invalid_argument(serial ? "no instrument with serial '" + *serial + "'"
                                           : std::string("no instrument attached"));
    return inst;
}

DeviceSpec spec_of(const Identity& id) {
    return {id.serial, id.product, id.balanced, id.samplerate, id.adcbits,
            {id.fwversion.major, id.fwversion.minor, id.fwversion.patch}, id.usb_speed, id.peak_nm};
}

const char* pattern_name(Pattern p) {
    switch (p) {
    case Pattern::Normal: return "normal";
    case Pattern::Pn9: return "pn9";
    case Pattern::Checkerboard: return "checkerboard";
    case Pattern::User: return "user";
    }
    return "normal";
}

void check_light(const LightSpec& l) {
    auto finite_nonneg = [](double v) { return std::isfinite(v) && v >= 0; };
    if (!finite_nonneg(l.p1_uw) || !finite_nonneg(l.p2_uw))
        throw std::invalid_argument("optical power must be finite and not negative");
    if (!std::isfinite(l.wavelength_nm) || l.wavelength_nm <= 0)
        throw std::invalid_argument("wavelength must be a positive number of nm");
    if (!finite_nonneg(l.modulation_hz))
        throw std::invalid_argument("modulation frequency must be finite and not negative");
    if (!(l.modulation_depth >= 0 && l.modulation_depth <= 1))
        throw std::invalid_argument("modulation depth must be between 0 and 1");
    if (!(l.rin_db_hz <= 0))  // -inf is off; NaN fails the comparison
        throw std::invalid_argument("relative intensity noise must be at most 0 dB/Hz (or off)");
    if (!std::isfinite(l.cmrr_db) || l.cmrr_db < 0)
        throw std::invalid_argument("common-mode rejection must be finite and not negative");
}

}  // namespace

// ---------------------------------------------------------------- instruments

DeviceSpec default_device() { return spec_of(default_identity()); }

void reset() {
    Registry::get().reset();
    calllog::clear_overrides();
    calllog::clear_calls();
    calllog::set_capacity(calllog::kLogCapacity);
    calllog::set_logging(true);
    bench::reset_timing();
}

void attach(const DeviceSpec& s) {
    Identity id{s.serial, s.product, s.balanced, s.samplerate, s.adcbits,
                {s.fwversion[0], s.fwversion[1], s.fwversion[2]}, s.usb_speed, s.peak_nm};
    Registry::get().attach(std::move(id));
}

bool detach(const std::string& serial) { return Registry::get().detach(serial); }
void detach_all() { Registry::get().detach_all(); }
std::vector<std::string> devices() { return Registry::get().serials(); }
bool started() { return Registry::get().started(); }

DeviceSpec identity(const Serial& serial) { return spec_of(instrument(serial)->identity()); }

void unplug_after(const std::string& serial, uint64_t reads) {
    Registry::get().unplug_after(serial, reads);
}

uint64_t reads_until_unplugged(const std::string& serial) {
    return Registry::get().reads_until_unplugged(serial);
}

// ------------------------------------------------- call log, overrides, errors

std::vector<calllog::Call> calls() { return calllog::calls(); }
void clear_calls() { calllog::clear_calls(); }
void set_logging(bool enabled) { calllog::set_logging(enabled); }
bool logging() { return calllog::g_logging.load(std::memory_order_relaxed); }
std::vector<calllog::PendingOverride> overrides() { return calllog::pending_overrides(); }
void set_log_capacity(uint64_t calls) { calllog::set_capacity(std::size_t(calls)); }
uint64_t log_capacity() { return calllog::capacity(); }
uint64_t dropped_calls() { return calllog::dropped(); }
const calllog::Function* function(const std::string& name) { return calllog::find_function(name); }

void add_override(const std::string& name, calllog::Script result,
                  std::optional<calllog::ScriptedError> error, int times) {
    calllog::add_override(name, std::move(result), std::move(error), times);
}

void set_error(int32_t code, const std::string& text) { set_last_error(code, text); }
std::pair<int32_t, std::string> last_error() { return {last_error_code(), last_error_text()}; }
double bad_double() { return ZO_BAD_DOUBLE; }

// ----------------------------------------------------- light, inputs, timing

void set_light(const Serial& serial, const LightSpec& l) {
    check_light(l);
    instrument(serial)->set_light(
        Light{l.p1_uw, l.p2_uw, l.wavelength_nm, l.modulation_hz, l.modulation_depth, l.noise, l.seed,
              l.rin_db_hz, l.cmrr_db});
}

void set_port_input(const Serial& serial, int port, bool level, double frequency_hz, double duty) {
    if (!std::isfinite(frequency_hz) || frequency_hz < 0)
        throw std::invalid_argument("frequency must be finite and not negative");
    if (!(duty >= 0 && duty <= 1)) throw std::invalid_argument("duty must be between 0 and 1");
    instrument(serial)->set_port_input(port, PortInput{level, frequency_hz, duty, 0});
}

PortInputSpec port_input(const Serial& serial, int port) {
    const PortInput in = instrument(serial)->port_input(port);
    return {in.level, in.frequency_hz, in.duty};
}

void set_timeout(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds))
        throw std::invalid_argument("timeout must be finite and not negative");
    bench::set_trigger_timeout(seconds);
}

double timeout() { return bench::trigger_timeout(); }
void set_realtime(bool on) { bench::set_realtime(on); }
bool realtime() { return bench::realtime(); }

// ---------------------------------------------------------------- inspection

PortStateOut port_state(const Serial& serial, int port) {
    const PortState p = instrument(serial)->port_state(port);
    return {p.direction, p.drive, p.level, p.threshold, p.period, p.frequency_hz, p.duty};
}

InstrumentState state(const Serial& serial) {
    const auto inst = instrument(serial);
    const Settings s = inst->settings();
    const Light l = inst->light();
    InstrumentState st;
    st.serial = inst->identity().serial;
    st.balanced = inst->identity().balanced;
    st.base_samplerate = inst->identity().samplerate;
    st.peak_nm = inst->identity().peak_nm;
    st.open = Registry::get().is_open(inst->identity().serial);
    st.clock = inst->clock();
    st.samplerate = inst->samplerate();
    st.highgain = s.highgain;
    st.antialias = s.antialias;
    st.powerdown = s.powerdown;
    st.adcclock = s.adcclock;
    st.p1_monitor = s.p1_monitor;
    st.p2_monitor = s.p2_monitor;
    st.pattern = pattern_name(s.pattern);
    st.user_word = s.user_word;
    st.pattern_origin = s.pattern_origin;
    st.registers = s.registers;
    st.light = {l.p1_uw, l.p2_uw, l.wavelength_nm, l.modulation_hz, l.modulation_depth,
                l.noise, l.seed, l.rin_db_hz, l.cmrr_db};
    return st;
}

}  // namespace zo::control
