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
std::atomic<double> g_timeout{kDefaultTimeoutSeconds};
std::atomic<bool> g_realtime{false};
}  // namespace

void set_trigger_timeout(double seconds) { g_timeout.store(seconds); }
double trigger_timeout() { return g_timeout.load(); }
void set_realtime(bool on) { g_realtime.store(on); }
bool realtime() { return g_realtime.load(); }
void reset_timing() {
    g_timeout.store(kDefaultTimeoutSeconds);
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
        using Clock = std::chrono::steady_clock;
        const std::chrono::duration<double> due(double(index - start_) / rate_);
        std::this_thread::sleep_until(t0_ + std::chrono::duration_cast<Clock::duration>(due));
    }

private:
    bool on_;
    uint64_t start_;
    uint32_t rate_;
    std::chrono::steady_clock::time_point t0_;
};

uint64_t timeout_samples(uint32_t samplerate) {
    const double n = std::round(std::max(0.0, bench::trigger_timeout()) * samplerate);
    return n >= 1.8e19 ? UINT64_MAX : std::max<uint64_t>(1, uint64_t(n));
}

// One acquisition's walk through instrument time, from the clock on.
class Run {
public:
    Run(std::atomic<uint64_t>& clock, std::shared_ptr<const SignalPlan> plan, Trigger trigger)
        : clock_(clock), plan_(std::move(plan)), trigger_(trigger),
          port_(trigger.port == ZO_PORT_S ? plan_->s : plan_->t),
          window_(timeout_samples(plan_->samplerate)), index_(clock.load()),
          pacer_(index_, plan_->samplerate) {}

    // Without an ADC clock nothing comes: wait out the timeout and fail.
    void require_adc_clock() {
        if (plan_->adcclock) return;
        idle_until(saturating_add(index_, window_));
        fail(ZO_ERROR_USB_TIMEOUT, "no samples: the ADC clock is off");
    }

    // Arms, waits for the trigger and records `count` samples at `out`.
    // Arming counts towards the timeout, so every wait stays bounded.
    void block(uint64_t arm_time, uint64_t count, uint16_t* out) {
        const uint64_t deadline = saturating_add(index_, window_);
        const bool can_fire = trigger_.condition == Condition::Always || port_.digital;
        std::optional<uint64_t> at;
        if (can_fire)
            at = find_condition(port_.wave, trigger_.condition, saturating_add(index_, arm_time),
                                deadline);
        if (!at) {
            idle_until(deadline);
            fail(ZO_ERROR_USB_TIMEOUT, "timed out waiting for the trigger");
        }
        idle_until(*at);
        record(count, out);
    }

private:
    // Moves the clock on without recording, in real time if on.
    void idle_until(uint64_t to) {
        while (index_ < to) {
            index_ += std::min(pacer_.chunk(), to - index_);
            pacer_.wait_until_due(index_);
            clock_.store(index_, std::memory_order_release);
        }
    }

    void record(uint64_t count, uint16_t* out) {
        for (uint64_t done = 0; done < count;) {
            const uint64_t len = std::min(pacer_.chunk(), count - done);
            plan_->render(index_, len, out + done);
            done += len;
            index_ += len;
            pacer_.wait_until_due(index_);
            clock_.store(index_, std::memory_order_release);
        }
    }

    std::atomic<uint64_t>& clock_;
    const std::shared_ptr<const SignalPlan> plan_;
    const Trigger trigger_;
    const PortSignal& port_;
    const uint64_t window_;
    uint64_t index_;
    const Pacer pacer_;
};

}  // namespace

void Instrument::acquire(uint64_t nsamples, uint16_t* buffer, int mode, uint64_t arm_time,
                         uint64_t samples_per_trigger) {
    const Trigger trigger = decode_mode(mode);
    if (samples_per_trigger == 0) fail(ZO_ERROR_PARAMS, "samples_per_trigger must be at least 1");
    if (nsamples > 0 && buffer == nullptr) fail(ZO_ERROR_PARAMS, "null sample buffer");
    if (nsamples == 0) return;

    std::lock_guard busy(acquire_mutex_);
    Run run(clock_, plan(), trigger);
    run.require_adc_clock();
    for (uint64_t done = 0; done < nsamples;) {
        const uint64_t take = std::min(samples_per_trigger, nsamples - done);
        run.block(arm_time, take, buffer + done);
        done += take;
    }
}

}  // namespace zo
