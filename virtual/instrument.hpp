// One attached KV310: its identity, the state a real unit keeps (front-end
// switches, ports and LEDs, ADC test pattern, register file), its optical
// input and port inputs as the bench sets them, and its clock.
//
// Instrument time is the absolute sample index. The clock holds the index of
// the next sample the ADC will deliver; it only moves while the instrument
// acquires or waits for a trigger. The signal at every index is a pure
// function of the index and the current settings (see signal.hpp).
//
// For streams (and anything else that reads samples without the raw-data
// calls), everything here is thread-safe:
//
//     std::shared_ptr<const SignalPlan> plan = inst.plan();  // settings snapshot
//     plan->render(first, count, words);   // raw words of any index range
//     inst.render(first, count, words);    // the same with the current plan
//     inst.clock();                        // where a new stream starts
//     inst.samplerate();                   // current rate (base / divider)
//     inst.calibration(ZO_CALIBRATION_DIGITAL_AUTO);  // current gain's
//     inst.rel_responsivity(nm);           // throws ZoError(PARAMS) if bad
//     inst.realtime();                     // pace acquisition like the real unit
//
// A stream keeps a DeviceLink (registry.hpp) rather than the handle: the link
// answers whether the handle it was opened from is still live.
#ifndef ZOPY_VIRTUAL_INSTRUMENT_HPP
#define ZOPY_VIRTUAL_INSTRUMENT_HPP

#include "signal.hpp"
#include "zo.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zo {

struct Identity {
    std::string serial;
    std::string product = "KV310";
    bool balanced = false;
    uint32_t samplerate = 10'000'000;  // base rate, clock divider 1
    uint8_t adcbits = 14;
    zo_version_t fwversion = {1, 0, 0};
    int usb_speed = 3;
    int peak_nm = 1550;
};

// The light on the photodiodes.
struct Light {
    double p1_uw = 0, p2_uw = 0;
    double wavelength_nm = 1550;
    double modulation_hz = 0, modulation_depth = 0;
    bool noise = true;
    uint64_t seed = model::kDefaultSeed;
    double rin_db_hz = model::kRinOff;         // the laser's relative intensity noise
    double cmrr_db = model::kDefaultCmrrDb;    // balanced units: its rejection
};

// What the bench applies to port S or T from outside: a level, or a square
// wave starting low at `origin`.
struct PortInput {
    bool level = false;
    double frequency_hz = 0;  // 0: constant level
    double duty = 0.5;
    uint64_t origin = 0;
};

// What the instrument drives on a port (outputs, and S/T once driven).
struct PortDrive {
    enum class Mode { Input, Level, Pwm, Pulse };
    Mode mode = Mode::Level;
    bool level = false;
    uint32_t threshold = 0, period = 0;  // port clock cycles
    uint64_t origin = 0;                 // sample index the drive started at
};

enum class Switch { HighGain, Antialias, Powerdown, AdcClock, P1Monitor, P2Monitor };

constexpr int kPortCount = 7;
constexpr int kRegisterCount = 256;
constexpr uint16_t kRegClockDivider = 11;
constexpr uint16_t kRegApply = 255;
constexpr size_t kScratchSize = 1024;   // the loopback buffer of request 200

// Power-on state: what zo_reset_device restores.
struct Settings {
    bool highgain = true, antialias = true, powerdown = false, adcclock = true;
    bool p1_monitor = false, p2_monitor = false;
    std::array<PortDrive, kPortCount> ports = initial_ports();
    Pattern pattern = Pattern::Normal;
    uint16_t user_word = 0;
    uint64_t pattern_origin = 0;
    std::array<uint16_t, kRegisterCount> registers{};
    std::array<std::optional<uint16_t>, kRegisterCount> pending{};
    std::array<uint8_t, kScratchSize> scratch{};

    static std::array<PortDrive, kPortCount> initial_ports();
};

// A port as the bench sees it (sim.port_state).
struct PortState {
    std::string direction;  // "input", "output" or "monitor"
    std::string drive;      // "", "level", "pwm" or "pulse"
    bool level = false;     // at the instrument's current time
    uint32_t threshold = 0, period = 0;
    double frequency_hz = 0, duty = 0;  // input square wave
};

class Instrument {
public:
    explicit Instrument(Identity id);

    const Identity& identity() const { return id_; }

    // ---- identity and calibration
    uint32_t samplerate() const;
    double rel_responsivity(double nm) const;
    zo_calibration_t calibration(int32_t type) const;
    zo_calibration_t rel_calibration(int32_t type, double nm) const;

    // ---- front end
    int read_switch(Switch s) const;
    void set_switch(Switch s, bool on);

    // ---- ports and LEDs (ZO_PORT_t values)
    void port_drive(int port, bool level);
    void port_pwm(int port, uint32_t threshold, uint32_t period);
    void port_pulse(int port, uint32_t threshold);
    int port_read(int port) const;

    // ---- test patterns, reset, requests
    void set_pattern(Pattern p, uint16_t user_word = 0);
    void reset();
    void in_request(uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                    uint16_t length);
    void out_request(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                     uint16_t length);

    // ---- acquisition (acquisition.cpp)
    void acquire(uint64_t nsamples, uint16_t* buffer, int mode, uint64_t arm_time,
                 uint64_t samples_per_trigger);

    // ---- the bench
    void set_light(const Light& light);
    void set_port_input(int port, PortInput input);  // port S or T; origin = now
    PortInput port_input(int port) const;            // port S or T, as last set
    PortState port_state(int port) const;
    Settings settings() const;
    Light light() const;

    // ---- for streams and other readers of samples
    uint64_t clock() const { return clock_.load(std::memory_order_acquire); }
    std::shared_ptr<const SignalPlan> plan() const;
    void render(uint64_t first, uint64_t count, uint16_t* out) const { plan()->render(first, count, out); }
    bool realtime() const;

private:
    void rebuild_plan_locked();
    PortSignal port_signal_locked(int port, bool monitor) const;
    Wave drive_wave_locked(const PortDrive& d) const;
    Wave input_wave_locked(const PortInput& in) const;
    uint32_t samplerate_locked() const;
    void drive_locked(int port, PortDrive drive);
    void apply_pending_locked();

    const Identity id_;
    mutable std::mutex mutex_;  // settings_, light_, inputs_, plan_
    Settings settings_;
    Light light_;
    std::array<PortInput, 2> inputs_{};  // S, T
    std::shared_ptr<const SignalPlan> plan_;
    std::atomic<uint64_t> clock_{0};
    std::mutex acquire_mutex_;  // one acquisition at a time, like the hardware
};

// Bench-wide timing (sim.set_timeout, sim.set_realtime).
namespace bench {
constexpr double kDefaultTimeoutSeconds = 1.0;  // what the library starts with and reset restores
void set_trigger_timeout(double seconds);
double trigger_timeout();
void set_realtime(bool on);
bool realtime();
void reset_timing();
}  // namespace bench

}  // namespace zo

#endif  // ZOPY_VIRTUAL_INSTRUMENT_HPP
