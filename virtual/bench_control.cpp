#include "bench_control.h"

#include "errors.hpp"
#include "registry.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
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

// A bound as a person reads it: 1e+09, 1, 0.
std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
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

// Messages name the parameter as zopy.sim does and the bound it broke.
void check_light(const LightSpec& l) {
    const auto power = [](double v) { return v >= 0 && v <= model::kMaxPowerUw; };  // NaN fails
    if (!power(l.p1_uw) || !power(l.p2_uw))
        throw std::invalid_argument("optical power must be between 0 and " +
                                    number(model::kMaxPowerUw) + " uW");
    if (!std::isfinite(l.wavelength_nm) || l.wavelength_nm < model::kMinWavelengthNm)
        throw std::invalid_argument("wavelength must be finite and at least " +
                                    number(model::kMinWavelengthNm) + " nm");
    if (!std::isfinite(l.modulation_hz) || l.modulation_hz < 0)
        throw std::invalid_argument("modulation frequency must be finite and not negative");
    if (!(l.modulation_depth >= 0 && l.modulation_depth <= 1))
        throw std::invalid_argument("modulation depth must be between 0 and 1");
    if (!(l.rin_db_hz <= model::kMaxRinDbHz))  // -inf is off; NaN fails the comparison
        throw std::invalid_argument("relative intensity noise must be at most " +
                                    number(model::kMaxRinDbHz) + " dB/Hz (or off)");
    if (!std::isfinite(l.cmrr_db) || l.cmrr_db < model::kMinCmrrDb)
        throw std::invalid_argument("common-mode rejection must be finite and at least " +
                                    number(model::kMinCmrrDb) + " dB");
}

}  // namespace

// ---------------------------------------------------------------- instruments

DeviceSpec default_device() { return spec_of(default_identity()); }
DeviceSpec attach_defaults() { return spec_of(Identity{}); }

Limits limits() {
    return {bench::kDefaultTimeoutSeconds, model::kDefaultCmrrDb, model::kDefaultSeed,
            calllog::kLogCapacity,         calllog::kMaxLogCapacity, model::kMaxPowerUw,
            model::kMinWavelengthNm,       model::kMaxRinDbHz,      model::kMinCmrrDb};
}

ModelConstants model_constants() {
    return {model::kHighGainCounts, model::kLowGainCounts, model::kOffsetSingle,
            model::kOffsetBalanced, model::kPortClockHz};
}

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

std::vector<InstrumentDescription> describe_instruments() {
    std::vector<InstrumentDescription> out;
    const auto attached = Registry::get().instruments();
    out.reserve(attached.size());
    for (const auto& [inst, reads_left] : attached) {
        const Light l = inst->light();
        const PortInput s = inst->port_input(ZO_PORT_S), t = inst->port_input(ZO_PORT_T);
        out.push_back({spec_of(inst->identity()), reads_left,
                       {l.p1_uw, l.p2_uw, l.wavelength_nm, l.modulation_hz, l.modulation_depth,
                        l.noise, l.seed, l.rin_db_hz, l.cmrr_db},
                       {s.level, s.frequency_hz, s.duty},
                       {t.level, t.frequency_hz, t.duty}});
    }
    return out;
}

// ------------------------------------------------- call log, overrides, errors

std::vector<calllog::Call> calls() { return calllog::calls(); }
void clear_calls() { calllog::clear_calls(); }
void set_logging(bool enabled) { calllog::set_logging(enabled); }
bool logging() { return calllog::g_logging.load(std::memory_order_relaxed); }
std::vector<calllog::PendingOverride> overrides() { return calllog::pending_overrides(); }
void set_log_capacity(uint64_t calls) {
    if (calls > calllog::kMaxLogCapacity)
        throw std::invalid_argument("the log capacity must be at most " +
                                    std::to_string(calllog::kMaxLogCapacity) + " calls");
    calllog::set_capacity(std::size_t(calls));
}
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

// ----------------------------------------------- timing from outside the library

QuietCalls::QuietCalls() noexcept { ++calllog::t_quiet; }
QuietCalls::~QuietCalls() { --calllog::t_quiet; }

zo_device* open_unclaimed(const std::string& serial) {
    return Registry::get().open_unclaimed(serial);
}

void render(const std::string& serial, uint64_t first, uint64_t n, uint16_t* words) {
    instrument(serial)->plan()->render(first, n, words);
}

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
