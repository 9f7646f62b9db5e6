// Bench helpers: the cost of bare library calls, measured in a C++ loop so
// that benchmarks can tell the library's share from the module's.
//
// They call the C entry points through a handle of their own (which works
// whether or not the instrument is open elsewhere) inside a QuietScope, so
// nothing they do is logged or consumes a scripted answer.
#include "bench_control.h"

#include "calllog.hpp"
#include "registry.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace zo::control {

namespace {

using Clock = std::chrono::steady_clock;

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

// A bench handle on the instrument, closed when done.
class BenchHandle {
public:
    explicit BenchHandle(const std::string& serial)
        : handle_(Registry::get().open_bench_handle(serial)) {}
    ~BenchHandle() {
        try {
            Registry::get().close(handle_);
        } catch (...) {  // already gone with a reset: nothing to release
        }
    }
    BenchHandle(const BenchHandle&) = delete;
    BenchHandle& operator=(const BenchHandle&) = delete;
    zo_device* get() const { return handle_; }

private:
    zo_device* handle_;
};

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

namespace {

double time_calls(const std::string& name, const std::string& serial, uint64_t n) {
    auto it = timed_calls().find(name);
    if (it == timed_calls().end()) throw std::invalid_argument("cannot time '" + name + "'");
    if (n == 0) throw std::invalid_argument("n must be at least 1");
    const BenchHandle handle(serial);
    const Call& call = it->second;
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) call(handle.get());
    return seconds_since(t0) / double(n);
}

}  // namespace

double time_call(const std::string& name, const std::string& serial, uint64_t n) {
    const calllog::QuietScope quiet;
    return time_calls(name, serial, n);
}

double time_logged_call(const std::string& name, const std::string& serial, uint64_t n) {
    return time_calls(name, serial, n);
}

double time_raw_fill(const std::string& serial, uint64_t n, int repeats) {
    if (repeats < 1) throw std::invalid_argument("repeats must be at least 1");
    const calllog::QuietScope quiet;
    const BenchHandle handle(serial);
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

double time_render(const std::string& serial, uint64_t n, int repeats) {
    if (repeats < 1 || n == 0) throw std::invalid_argument("n and repeats must be at least 1");
    const auto inst = Registry::get().find(std::string_view(serial));
    if (!inst) throw std::invalid_argument("no instrument with serial '" + serial + "'");
    const auto plan = inst->plan();
    std::vector<uint16_t> words(n);
    plan->render(inst->clock(), n, words.data());  // touch the pages first
    double best = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = Clock::now();
        plan->render(inst->clock() + uint64_t(r + 1) * n, n, words.data());
        const double s = seconds_since(t0);
        best = r == 0 ? s : std::min(best, s);
    }
    keep(words[n / 2]);
    return best;
}

}  // namespace zo::control
