#include "timers.hpp"

#include "bench_control.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace timing {

namespace {

using Clock = std::chrono::steady_clock;
namespace control = zo::control;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Keeps the compiler from discarding a call's result.
template <class T>
void keep(const T& value) {
    static volatile unsigned char sink;
    sink = static_cast<unsigned char>(sink + *reinterpret_cast<const volatile unsigned char*>(&value));
}

using Call = std::function<void(zo_device*)>;

const std::unordered_map<std::string, Call>& timed_calls() {
    static const std::unordered_map<std::string, Call> calls = {
        {"zo_version", [](zo_device*) { keep(zo_version()); }},
        {"zo_get_error", [](zo_device*) { keep(zo_get_error()); }},
        {"zo_get_error_string", [](zo_device*) { keep(zo_get_error_string()); }},
        {"zo_get_serial", [](zo_device* d) { keep(zo_get_serial(d)); }},
        {"zo_get_product", [](zo_device* d) { keep(zo_get_product(d)); }},
        {"zo_get_samplerate", [](zo_device* d) { keep(zo_get_samplerate(d)); }},
        {"zo_get_adcbits", [](zo_device* d) { keep(zo_get_adcbits(d)); }},
        {"zo_get_fwversion", [](zo_device* d) { keep(zo_get_fwversion(d)); }},
        {"zo_get_usb_speed", [](zo_device* d) { keep(zo_get_usb_speed(d)); }},
        {"zo_get_peak_responsivity", [](zo_device* d) { keep(zo_get_peak_responsivity(d)); }},
        {"zo_get_rel_responsivity", [](zo_device* d) { keep(zo_get_rel_responsivity(d, 1310.0)); }},
        {"zo_get_calibration", [](zo_device* d) { keep(zo_get_calibration(d, ZO_CALIBRATION_DIGITAL_AUTO)); }},
        {"zo_get_rel_calibration", [](zo_device* d) { keep(zo_get_rel_calibration(d, ZO_CALIBRATION_DIGITAL_AUTO, 1310.0)); }},
        {"zo_read_highgain", [](zo_device* d) { keep(zo_read_highgain(d)); }},
        {"zo_read_antialias", [](zo_device* d) { keep(zo_read_antialias(d)); }},
        {"zo_read_powerdown", [](zo_device* d) { keep(zo_read_powerdown(d)); }},
        {"zo_read_adcclock", [](zo_device* d) { keep(zo_read_adcclock(d)); }},
        {"zo_port_read", [](zo_device* d) { keep(zo_port_read(d, ZO_PORT_S)); }},
        {"zo_get_raw_data", [](zo_device* d) { uint16_t w = 0; keep(zo_get_raw_data(d, 1, &w)); }},
    };
    return calls;
}

// An unclaimed handle on the instrument, released quietly when done.
class UnclaimedHandle {
public:
    explicit UnclaimedHandle(const std::string& serial) : handle_(control::open_unclaimed(serial)) {}
    ~UnclaimedHandle() {
        const control::QuietCalls quiet;
        zo_close_device(handle_);   // fails only when a reset has released it already
    }
    UnclaimedHandle(const UnclaimedHandle&) = delete;
    UnclaimedHandle& operator=(const UnclaimedHandle&) = delete;
    zo_device* get() const { return handle_; }

private:
    zo_device* handle_;
};

double calls_seconds(const Call& call, const std::string& serial, uint64_t n) {
    const UnclaimedHandle handle(serial);
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) call(handle.get());
    return seconds_since(t0) / double(n);
}

// The status of a stream call, as an exception carrying the library's text.
void check(int status) {
    if (status != ZO_SUCCESS) throw std::invalid_argument(zo_get_error_string());
}

struct CloseStream {
    void operator()(ZOGenericStream* stream) const { zo_close_stream(stream); }
};

template <typename T>
double best_acquire_seconds(zo_device* device, const StreamSetup& setup, uint64_t n, int repeats,
                            bool reuse_block) {
    const std::unique_ptr<ZOStream<T>, CloseStream> stream(zo_open_stream<T>(device));
    if (!stream) throw std::invalid_argument(zo_get_error_string());
    check(stream->set_filter(setup.filter));
    if (setup.filter != "none") check(stream->set_cutoff(setup.cutoff_hz));
    check(stream->set_downsampling(setup.downsampling));
    double best = std::numeric_limits<double>::infinity();
    // One block filled once before timing, as a caller's reused array is;
    // otherwise a fresh block each time, as a caller's new array would be.
    std::unique_ptr<T[]> data;
    if (reuse_block) {
        data.reset(new T[n]);
        check(stream->acquire(n, data.get(), nullptr));
    }
    for (int r = 0; r < repeats; ++r) {
        if (!reuse_block) data.reset(new T[n]);
        const auto t0 = Clock::now();
        check(stream->acquire(n, data.get(), nullptr));
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

}  // namespace

double call_seconds(const std::string& name, const std::string& serial, uint64_t n, bool logged) {
    auto it = timed_calls().find(name);
    if (it == timed_calls().end()) throw std::invalid_argument("cannot time '" + name + "'");
    if (n == 0) throw std::invalid_argument("n must be at least 1");
    if (logged) return calls_seconds(it->second, serial, n);
    const control::QuietCalls quiet;
    return calls_seconds(it->second, serial, n);
}

double raw_fill_seconds(const std::string& serial, uint64_t n, int repeats) {
    if (repeats < 1) throw std::invalid_argument("repeats must be at least 1");
    const control::QuietCalls quiet;
    const UnclaimedHandle handle(serial);
    double best = 0;
    for (int r = 0; r < repeats; ++r) {
        std::unique_ptr<uint16_t[]> block(new uint16_t[std::max<uint64_t>(n, 1)]);
        const auto t0 = Clock::now();
        const int status = zo_get_raw_data(handle.get(), n, block.get());
        const double s = seconds_since(t0);
        if (status != ZO_SUCCESS) throw std::runtime_error(zo_get_error_string());
        best = r == 0 ? s : std::min(best, s);
    }
    return best;
}

double render_seconds(const std::string& serial, uint64_t n, int repeats) {
    if (repeats < 1 || n == 0) throw std::invalid_argument("n and repeats must be at least 1");
    const uint64_t clock = control::state(serial).clock;
    std::vector<uint16_t> words(n);
    control::render(serial, clock, n, words.data());  // touch the pages first
    double best = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = Clock::now();
        control::render(serial, clock + uint64_t(r + 1) * n, n, words.data());
        const double s = seconds_since(t0);
        best = r == 0 ? s : std::min(best, s);
    }
    keep(words[n / 2]);
    return best;
}

double stream_acquire_seconds(const std::string& serial, const StreamSetup& setup, uint64_t n,
                              int repeats, bool reuse_block) {
    if (setup.dtype_bytes != 4 && setup.dtype_bytes != 8)
        throw std::invalid_argument("dtype_bytes must be 4 or 8");
    if (n == 0 || repeats < 1) throw std::invalid_argument("nsamples and repeats must be at least 1");
    const control::QuietCalls quiet;
    const UnclaimedHandle handle(serial);
    return setup.dtype_bytes == 4
               ? best_acquire_seconds<float>(handle.get(), setup, n, repeats, reuse_block)
               : best_acquire_seconds<double>(handle.get(), setup, n, repeats, reuse_block);
}

}  // namespace timing
