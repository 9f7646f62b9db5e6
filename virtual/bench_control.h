// The bench's control interface: what zopy.sim (through the extension
// zopy._sim) uses to attach instruments, set their light and port inputs,
// script the library's answers and read the call log.
//
// This is C++ exported from libzo beside the C interface of zo.h. Nothing
// here is logged, and nothing here changes whether the library is started.
// Invalid arguments throw std::invalid_argument.
#ifndef ZOPY_VIRTUAL_BENCH_CONTROL_H
#define ZOPY_VIRTUAL_BENCH_CONTROL_H

#include "calllog.hpp"
#include "zo.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zo::control {

// An instrument's identity as zopy.sim passes it; attach_defaults() gives
// the values of an instrument attached without them.
struct DeviceSpec {
    std::string serial, product;
    bool balanced = false;
    uint32_t samplerate = 0;
    uint8_t adcbits = 0;
    std::array<uint8_t, 3> fwversion = {0, 0, 0};
    int usb_speed = 0;
    int peak_nm = 0;
};

// The light as zopy.sim passes it: every field is always given.
struct LightSpec {
    double p1_uw = 0, p2_uw = 0, wavelength_nm = 0;
    double modulation_hz = 0, modulation_depth = 0;
    bool noise = true;
    uint64_t seed = 0;
    double rin_db_hz = 0, cmrr_db = 0;
};

struct PortStateOut {
    std::string direction, drive;
    bool level = false;
    uint32_t threshold = 0, period = 0;
    double frequency_hz = 0, duty = 0;
};

// What the bench applies to port S or T (sim.set_port_input).
struct PortInputSpec {
    bool level = false;
    double frequency_hz = 0;  // 0: the constant level
    double duty = 0.5;
};

struct InstrumentState {
    std::string serial;
    bool balanced = false;
    uint32_t base_samplerate = 0;
    int peak_nm = 0;
    bool open = false;
    uint64_t clock = 0;
    uint32_t samplerate = 0;
    bool highgain, antialias, powerdown, adcclock, p1_monitor, p2_monitor;
    std::string pattern;  // "normal", "pn9", "checkerboard" or "user"
    uint16_t user_word = 0;
    uint64_t pattern_origin = 0;
    std::array<uint16_t, 256> registers{};
    LightSpec light;
};

using Serial = std::optional<std::string>;  // nullopt: the first attached

// The bench's defaults and the ranges it takes: zopy.sim and the bench files
// read them from here, so they check exactly what the library accepts.
struct Limits {
    double default_timeout_s;
    double default_cmrr_db;
    uint64_t default_seed;
    uint64_t default_log_capacity;
    uint64_t max_log_capacity;
    double max_power_uw;       // on each photodiode
    double min_wavelength_nm;
    double max_rin_db_hz;
    double min_cmrr_db;
};
ZO_API Limits limits();

// The signal model's constants that a bench script computes with.
struct ModelConstants {
    double counts_per_uw_high, counts_per_uw_low;  // ADC counts per uW at peak responsivity
    double offset_single, offset_balanced;         // dark codes
    double port_clock_hz;
};
ZO_API ModelConstants model_constants();

// An attached instrument as a bench file gives it.
struct InstrumentDescription {
    DeviceSpec identity;
    uint64_t reads_until_unplugged = 0;
    LightSpec light;
    PortInputSpec s, t;
};

// ---- instruments
ZO_API DeviceSpec default_device();
ZO_API DeviceSpec attach_defaults();
ZO_API void reset();
ZO_API void attach(const DeviceSpec& spec);
ZO_API bool detach(const std::string& serial);
ZO_API void detach_all();
ZO_API std::vector<std::string> devices();
ZO_API DeviceSpec identity(const Serial& serial);
// Detach an instrument once `reads` more raw-data reads reached it (0: never).
ZO_API void unplug_after(const std::string& serial, uint64_t reads);
ZO_API uint64_t reads_until_unplugged(const std::string& serial);
// Every attached instrument in attach order, in one pass (linear in their number).
ZO_API std::vector<InstrumentDescription> describe_instruments();
ZO_API bool started();

// ---- call log, overrides, errors
ZO_API std::vector<calllog::Call> calls();
ZO_API void clear_calls();
ZO_API void set_logging(bool enabled);
ZO_API bool logging();
ZO_API void set_log_capacity(uint64_t calls);
ZO_API uint64_t log_capacity();
ZO_API uint64_t dropped_calls();
ZO_API const calllog::Function* function(const std::string& name);  // null if unknown
ZO_API void add_override(const std::string& name, calllog::Script result,
                         std::optional<calllog::ScriptedError> error, int times);
ZO_API void set_error(int32_t code, const std::string& text);  // calling thread
ZO_API std::pair<int32_t, std::string> last_error();           // calling thread
ZO_API std::vector<calllog::PendingOverride> overrides();  // not yet used up, in order
ZO_API double bad_double();

// ---- light, inputs, timing
ZO_API void set_light(const Serial& serial, const LightSpec& light);
ZO_API void set_port_input(const Serial& serial, int port, bool level, double frequency_hz,
                           double duty);
ZO_API PortInputSpec port_input(const Serial& serial, int port);
ZO_API void set_timeout(double seconds);
ZO_API double timeout();
ZO_API void set_realtime(bool on);
ZO_API bool realtime();

// ---- inspection
ZO_API PortStateOut port_state(const Serial& serial, int port);
ZO_API InstrumentState state(const Serial& serial);

// ---- for timing the library from outside it (zopy._timing)

// While one exists, the library calls this thread makes are neither logged
// nor overridden, and its raw reads do not count toward unplug_after.
class ZO_API QuietCalls {
public:
    QuietCalls() noexcept;
    ~QuietCalls();
    QuietCalls(const QuietCalls&) = delete;
    QuietCalls& operator=(const QuietCalls&) = delete;
};
// A handle on the instrument that does not claim it: it works whether or
// not the instrument is open elsewhere. zo_close_device releases it.
ZO_API zo_device* open_unclaimed(const std::string& serial);
// Renders the raw words of samples first .. first + n - 1 of the
// instrument's signal, with its settings in effect, into `words`: the signal
// generator alone, which moves no clock and logs nothing.
ZO_API void render(const std::string& serial, uint64_t first, uint64_t n, uint16_t* words);

}  // namespace zo::control

#endif  // ZOPY_VIRTUAL_BENCH_CONTROL_H
