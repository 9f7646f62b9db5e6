// Raw acquisition: free-running, triggered and re-armed blocks.
//
// An acquisition walks instrument time from the clock: for each trigger it
// skips `arm_time` samples, searches the trigger condition on port S or T,
// records up to `samples_per_trigger` samples from the trigger on, and
// repeats until `nsamples` are recorded. Every skipped or recorded sample
// moves the clock. Waiting is simulated (instant) unless the bench runs in
// real time, in which case the call takes as long as the real unit would,
// sleeping in short chunks while holding only this instrument's acquisition
// lock.
#include "errors.hpp"
#include "instrument.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace zo {

// --------------------------------------------------------------- bench timing
namespace bench {
namespace {
std::atomic<double> g_timeout{1.0};
std::atomic<bool> g_realtime{false};
}  // namespace

void set_trigger_timeout(double seconds) { g_timeout.store(seconds); }
double trigger_timeout() { return g_timeout.load(); }
void set_realtime(bool on) { g_realtime.store(on); }
bool realtime() { return g_realtime.load(); }
void reset_timing() {
    g_timeout.store(1.0);
    g_realtime.store(false);
}
}  // namespace bench

namespace {

struct Trigger {
    int port;  // ZO_PORT_S or ZO_PORT_T
    Condition condition;
};

Trigger decode_mode(int mode) {
    switch (mode) {
    case ZO_TRIGGER_AUTO: return {ZO_PORT_S, Condition::Always};
    case ZO_TRIGGER_S_RISING: return {ZO_PORT_S, Condition::Rising};
    case ZO_TRIGGER_S_FALLING: return {ZO_PORT_S, Condition::Falling};
    case ZO_TRIGGER_S_HIGH: return {ZO_PORT_S, Condition::High};
    case ZO_TRIGGER_S_LOW: return {ZO_PORT_S, Condition::Low};
    case ZO_TRIGGER_T_RISING: return {ZO_PORT_T, Condition::Rising};
    case ZO_TRIGGER_T_FALLING: return {ZO_PORT_T, Condition::Falling};
    case ZO_TRIGGER_T_HIGH: return {ZO_PORT_T, Condition::High};
    case ZO_TRIGGER_T_LOW: return {ZO_PORT_T, Condition::Low};
    default: fail(ZO_ERROR_PARAMS, "invalid trigger mode " + std::to_string(mode));
    }
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Keeps an acquisition in step with the wall clock when the bench runs in
// real time: sample index i is due (i - start) / samplerate after the start.
class Pacer {
public:
    Pacer(uint64_t start, uint32_t samplerate)
        : on_(bench::realtime()), start_(start), rate_(samplerate),
          t0_(std::chrono::steady_clock::now()) {}

    // Samples per chunk: about 10 ms of data between sleeps.
    uint64_t chunk() const { return on_ ? std::max<uint64_t>(rate_ / 100, 1) : UINT64_MAX; }

    void wait_until_due(uint64_t index) const {
        if (!on_) return;
        const double seconds = double(index - start_) / rate_;
        std::this_thread::sleep_until(t0_ + std::chrono::duration<double>(seconds));
    }

private:
    bool on_;
    uint64_t start_;
    uint32_t rate_;
    std::chrono::steady_clock::time_point t0_;
};

}  // namespace

namespace {

// Moves the clock through [from, to) without recording, in real time if on.
void idle(std::atomic<uint64_t>& clock, const Pacer& pacer, uint64_t from, uint64_t to) {
    for (uint64_t n = from; n < to;) {
        n += std::min(pacer.chunk(), to - n);
        pacer.wait_until_due(n);
        clock.store(n, std::memory_order_release);
    }
}

void record(std::atomic<uint64_t>& clock, const Pacer& pacer, const SignalPlan& plan,
            uint64_t first, uint64_t count, uint16_t* out) {
    for (uint64_t done = 0; done < count;) {
        const uint64_t len = std::min(pacer.chunk(), count - done);
        plan.render(first + done, len, out + done);
        done += len;
        pacer.wait_until_due(first + done);
        clock.store(first + done, std::memory_order_release);
    }
}

uint64_t timeout_samples(uint32_t samplerate) {
    const double n = std::round(std::max(0.0, bench::trigger_timeout()) * samplerate);
    return n >= 1.8e19 ? UINT64_MAX : std::max<uint64_t>(1, uint64_t(n));
}

}  // namespace

void Instrument::acquire(uint64_t nsamples, uint16_t* buffer, int mode, uint64_t arm_time,
                         uint64_t samples_per_trigger) {
    const Trigger trigger = decode_mode(mode);
    if (samples_per_trigger == 0) fail(ZO_ERROR_PARAMS, "samples_per_trigger must be at least 1");
    if (nsamples > 0 && buffer == nullptr) fail(ZO_ERROR_PARAMS, "null sample buffer");
    if (nsamples == 0) return;

    std::lock_guard busy(acquire_mutex_);
    const std::shared_ptr<const SignalPlan> plan = this->plan();
    const PortSignal& port = trigger.port == ZO_PORT_S ? plan->s : plan->t;
    const bool can_fire = trigger.condition == Condition::Always || port.digital;
    const uint64_t window = timeout_samples(plan->samplerate);
    uint64_t index = clock();
    const Pacer pacer(index, plan->samplerate);

    if (!plan->adcclock) {
        idle(clock_, pacer, index, saturating_add(index, window));
        fail(ZO_ERROR_USB_TIMEOUT, "no samples: the ADC clock is off");
    }
    for (uint64_t done = 0; done < nsamples;) {
        // Arming counts towards the timeout, so every wait stays bounded.
        const uint64_t deadline = saturating_add(index, window);
        const uint64_t armed = saturating_add(index, arm_time);
        std::optional<uint64_t> at;
        if (can_fire) at = find_condition(port.wave, trigger.condition, armed, deadline);
        if (!at) {
            idle(clock_, pacer, index, deadline);
            fail(ZO_ERROR_USB_TIMEOUT, "timed out waiting for the trigger");
        }
        idle(clock_, pacer, index, *at);
        const uint64_t take = std::min(samples_per_trigger, nsamples - done);
        record(clock_, pacer, *plan, *at, take, buffer + done);
        done += take;
        index = *at + take;
    }
}

}  // namespace zo
