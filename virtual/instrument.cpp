#include "instrument.hpp"

#include "errors.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zo {

namespace {

bool is_input_port(int port) { return port == ZO_PORT_S || port == ZO_PORT_T; }

void check_port(int port) {
    if (port < 0 || port >= kPortCount)
        fail(ZO_ERROR_PARAMS, "invalid port " + std::to_string(port) + " (ports are 0..6)");
}

}  // namespace

std::array<PortDrive, kPortCount> Settings::initial_ports() {
    std::array<PortDrive, kPortCount> ports{};
    ports[ZO_PORT_S].mode = PortDrive::Mode::Input;
    ports[ZO_PORT_T].mode = PortDrive::Mode::Input;
    return ports;
}

Instrument::Instrument(Identity id) : id_(std::move(id)) {
    light_.wavelength_nm = id_.peak_nm;
    std::lock_guard lock(mutex_);
    rebuild_plan_locked();
}

// ------------------------------------------------------------------ identity

uint32_t Instrument::samplerate_locked() const {
    const uint32_t divider = uint32_t(settings_.registers[kRegClockDivider]) + 1;
    return std::max<uint32_t>(1, id_.samplerate / divider);
}

uint32_t Instrument::samplerate() const {
    std::lock_guard lock(mutex_);
    return samplerate_locked();
}

double Instrument::rel_responsivity(double nm) const {
    if (!std::isfinite(nm) || nm <= 0)
        fail(ZO_ERROR_PARAMS, "wavelength must be a positive number of nm");
    return relative_responsivity(nm, id_.peak_nm);
}

// ---------------------------------------------------------------- front end

namespace {

template <class S>  // Settings or const Settings
auto& switch_ref(S& s, Switch sw) {
    switch (sw) {
    case Switch::HighGain: return s.highgain;
    case Switch::Antialias: return s.antialias;
    case Switch::Powerdown: return s.powerdown;
    case Switch::AdcClock: return s.adcclock;
    case Switch::P1Monitor: return s.p1_monitor;
    case Switch::P2Monitor: return s.p2_monitor;
    }
    throw std::logic_error("unknown switch");
}

bool is_monitor(Switch s) { return s == Switch::P1Monitor || s == Switch::P2Monitor; }

}  // namespace

int Instrument::read_switch(Switch s) const {
    if (is_monitor(s) && !id_.balanced)
        fail(ZO_ERROR_NOT_IMPLEMENTED, "power monitors exist on the balanced KV310 only");
    std::lock_guard lock(mutex_);
    return switch_ref(settings_, s) ? 1 : 0;
}

void Instrument::set_switch(Switch s, bool on) {
    if (is_monitor(s) && !id_.balanced)
        fail(ZO_ERROR_NOT_IMPLEMENTED, "power monitors exist on the balanced KV310 only");
    std::lock_guard lock(mutex_);
    switch_ref(settings_, s) = on;
    rebuild_plan_locked();
}

// -------------------------------------------------------------------- ports

namespace {

constexpr uint64_t kPortClock = uint64_t(model::kPortClockHz);

// Samples k = 0, 1, ... of a pulse `cycles` long: those with
// k * clock / samplerate < cycles, i.e. ceil(cycles * samplerate / clock).
uint64_t samples_within(uint32_t cycles, uint32_t samplerate) {
    const uint64_t whole = cycles / kPortClock, rest = cycles % kPortClock;
    return whole * samplerate + (rest * samplerate + kPortClock - 1) / kPortClock;
}

}  // namespace

Wave Instrument::drive_wave_locked(const PortDrive& d) const {
    const uint32_t rate = samplerate_locked();
    switch (d.mode) {
    case PortDrive::Mode::Input:
    case PortDrive::Mode::Level: return Wave::constant(d.level);
    case PortDrive::Mode::Pwm: {
        // High for `threshold` of every `period` cycles, starting high. A
        // sample advances clock / samplerate cycles: (clock / (rate * period))
        // of a period.
        if (d.threshold >= d.period) return Wave::constant(true);
        const uint64_t step = phase_step(kPortClock, uint64_t(rate) * d.period);
        return Wave::square(step, phase_step(d.threshold, d.period), 0, d.origin);
    }
    case PortDrive::Mode::Pulse:
        return Wave::pulse(d.origin, d.origin + samples_within(d.threshold, rate));
    }
    return Wave::constant(false);
}

Wave Instrument::input_wave_locked(const PortInput& in) const {
    if (in.frequency_hz <= 0) return Wave::constant(in.level);
    if (in.duty <= 0) return Wave::constant(false);
    if (in.duty >= 1) return Wave::constant(true);
    // A hair more than `duty` of the cycle high, so that a duty that is not
    // exact in binary (0.3) still rises on the sample it should.
    const uint64_t span = std::min(phase_of_fraction(in.duty), UINT64_MAX - 8192) + 4096;
    // Starting at phase `span` puts the first (1 - duty) of a period low.
    return Wave::square(phase_of_ratio(in.frequency_hz, samplerate_locked()), span, span,
                        in.origin);
}

PortSignal Instrument::port_signal_locked(int port, bool monitor) const {
    if (monitor) return {Wave::constant(false), false};
    const PortDrive& d = settings_.ports[size_t(port)];
    if (d.mode != PortDrive::Mode::Input) return {drive_wave_locked(d), true};
    return {input_wave_locked(inputs_[size_t(port - ZO_PORT_S)]), true};
}

void Instrument::drive_locked(int port, PortDrive drive) {
    const bool routed = (port == ZO_PORT_S && settings_.p1_monitor) ||
                        (port == ZO_PORT_T && settings_.p2_monitor);
    if (routed) fail(ZO_ERROR_DEVICE_SETTINGS, "the port carries a power monitor");
    drive.origin = clock();
    settings_.ports[size_t(port)] = drive;
    rebuild_plan_locked();
}

void Instrument::port_drive(int port, bool level) {
    check_port(port);
    std::lock_guard lock(mutex_);
    drive_locked(port, {PortDrive::Mode::Level, level, 0, 0, 0});
}

void Instrument::port_pwm(int port, uint32_t threshold, uint32_t period) {
    check_port(port);
    if (period == 0) fail(ZO_ERROR_PARAMS, "a square wave needs a period of at least 1 cycle");
    std::lock_guard lock(mutex_);
    drive_locked(port, {PortDrive::Mode::Pwm, false, threshold, period, 0});
}

void Instrument::port_pulse(int port, uint32_t threshold) {
    check_port(port);
    std::lock_guard lock(mutex_);
    drive_locked(port, {PortDrive::Mode::Pulse, false, threshold, 0, 0});
}

int Instrument::port_read(int port) const {
    check_port(port);
    std::lock_guard lock(mutex_);
    const bool routed = (port == ZO_PORT_S && settings_.p1_monitor) ||
                        (port == ZO_PORT_T && settings_.p2_monitor);
    if (routed) fail(ZO_ERROR_DEVICE_SETTINGS, "the port carries a power monitor");
    if (is_input_port(port)) return port_signal_locked(port, false).wave.level(clock()) ? 1 : 0;
    return drive_wave_locked(settings_.ports[size_t(port)]).level(clock()) ? 1 : 0;
}

// ----------------------------------------------------- patterns, reset, plan

void Instrument::set_pattern(Pattern p, uint16_t user_word) {
    std::lock_guard lock(mutex_);
    settings_.pattern = p;
    settings_.user_word = user_word;
    settings_.pattern_origin = clock();
    rebuild_plan_locked();
}

void Instrument::reset() {
    std::lock_guard lock(mutex_);
    settings_ = Settings{};
    rebuild_plan_locked();
}

void Instrument::rebuild_plan_locked() {
    PlanInputs in;
    in.balanced = id_.balanced;
    in.peak_nm = id_.peak_nm;
    in.base_samplerate = id_.samplerate;
    in.samplerate = samplerate_locked();
    in.p1_uw = light_.p1_uw;
    in.p2_uw = light_.p2_uw;
    in.wavelength_nm = light_.wavelength_nm;
    in.modulation_hz = light_.modulation_hz;
    in.modulation_depth = light_.modulation_depth;
    in.noise = light_.noise;
    in.seed = light_.seed;
    in.rin_db_hz = light_.rin_db_hz;
    in.cmrr_db = light_.cmrr_db;
    in.highgain = settings_.highgain;
    in.antialias = settings_.antialias;
    in.powerdown = settings_.powerdown;
    in.adcclock = settings_.adcclock;
    in.pattern = settings_.pattern;
    in.user_word = settings_.user_word;
    in.pattern_origin = settings_.pattern_origin;
    in.s = port_signal_locked(ZO_PORT_S, settings_.p1_monitor);
    in.t = port_signal_locked(ZO_PORT_T, settings_.p2_monitor);
    plan_ = make_plan(in);
}

std::shared_ptr<const SignalPlan> Instrument::plan() const {
    std::lock_guard lock(mutex_);
    return plan_;
}

bool Instrument::realtime() const { return bench::realtime(); }

// -------------------------------------------------------------------- bench

void Instrument::set_light(const Light& light) {
    std::lock_guard lock(mutex_);
    light_ = light;
    rebuild_plan_locked();
}

void Instrument::set_port_input(int port, PortInput input) {
    if (!is_input_port(port)) throw std::invalid_argument("only ports S and T take inputs");
    std::lock_guard lock(mutex_);
    input.origin = clock();
    inputs_[size_t(port - ZO_PORT_S)] = input;
    rebuild_plan_locked();
}

PortInput Instrument::port_input(int port) const {
    if (!is_input_port(port)) throw std::invalid_argument("only ports S and T take inputs");
    std::lock_guard lock(mutex_);
    return inputs_[size_t(port - ZO_PORT_S)];
}

Settings Instrument::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

Light Instrument::light() const {
    std::lock_guard lock(mutex_);
    return light_;
}

namespace {

const char* drive_name(PortDrive::Mode m) {
    switch (m) {
    case PortDrive::Mode::Input: return "";
    case PortDrive::Mode::Level: return "level";
    case PortDrive::Mode::Pwm: return "pwm";
    case PortDrive::Mode::Pulse: return "pulse";
    }
    return "";
}

}  // namespace

PortState Instrument::port_state(int port) const {
    if (port < 0 || port >= kPortCount) throw std::invalid_argument("no such port");
    std::lock_guard lock(mutex_);
    const PortDrive& d = settings_.ports[size_t(port)];
    const bool monitor = (port == ZO_PORT_S && settings_.p1_monitor) ||
                         (port == ZO_PORT_T && settings_.p2_monitor);
    PortState st;
    st.direction = monitor ? "monitor" : (d.mode == PortDrive::Mode::Input ? "input" : "output");
    st.drive = drive_name(d.mode);
    st.threshold = d.threshold;
    st.period = d.period;
    if (is_input_port(port)) {
        const PortInput& in = inputs_[size_t(port - ZO_PORT_S)];
        st.frequency_hz = in.frequency_hz;
        st.duty = in.duty;
        st.level = port_signal_locked(port, monitor).wave.level(clock());
    } else {
        st.level = drive_wave_locked(d).level(clock());
    }
    return st;
}

}  // namespace zo
