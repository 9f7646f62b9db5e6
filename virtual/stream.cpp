// Continuous acquisition streams: ZOGenericStream, ZOStream<float/double>,
// zo_open_stream and zo_close_stream (behaviour described in stream.hpp).
#include "stream.hpp"

#include "api_support.hpp"
#include "dsp.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The base class's key function: its vtable and type information live here.
ZOGenericStream::~ZOGenericStream() = default;

// Emit both stream types from the library (exported on Windows too).
template class ZOStream<float>;
template class ZOStream<double>;

namespace zo {
namespace {

// Input samples per pass through the pipeline: the scratch buffers of a
// stream (words, values, bits) stay in the processor's second-level cache.
constexpr std::size_t kChunk = 8192;

using Pair = std::pair<double, double>;

// ------------------------------------------------------------------- names

enum class CalibrationMode { Auto, Custom, Raw };
enum class FilterKind { None, Lowpass, Highpass };

template <class E>
struct Named {
    const char* name;
    E value;
};

constexpr Named<CalibrationMode> kModes[] = {
    {"auto", CalibrationMode::Auto}, {"custom", CalibrationMode::Custom}, {"raw", CalibrationMode::Raw}};
constexpr Named<FilterKind> kFilters[] = {
    {"none", FilterKind::None}, {"lowpass", FilterKind::Lowpass}, {"highpass", FilterKind::Highpass}};

template <class E, std::size_t N>
std::string list_names(const Named<E> (&table)[N]) {
    std::string out;
    for (const Named<E>& e : table) out += (out.empty() ? "" : ",") + std::string(e.name);
    return out;
}

template <class E, std::size_t N>
std::string name_of(const Named<E> (&table)[N], E value) {
    for (const Named<E>& e : table)
        if (e.value == value) return e.name;
    return "";
}

// A caller's text as it can appear in an error text: printable ASCII, any
// other byte shown as '?', so the error text stays valid UTF-8.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c < 0x20 || c > 0x7E) c = '?';
    return out;
}

template <class E, std::size_t N>
E parse_name(const Named<E> (&table)[N], const std::string& name, const char* what) {
    for (const Named<E>& e : table)
        if (name == e.name) return e.value;
    fail(ZO_ERROR_PARAMS, std::string("unknown ") + what + " '" + printable(name) + "' (known: " +
                              list_names(table) + ")");
}

std::string number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", x);
    return text;
}

// -------------------------------------------------------------- calibration

// Pairs map ADC codes to uW. The instrument's own pair is read at peak
// responsivity and divided by the relative responsivity at the calibration
// wavelength, as the instrument's relative calibrations are.
class Calibration {
public:
    explicit Calibration(const Instrument& inst) : wavelength_(inst.identity().peak_nm) {
        reread(inst);
        custom_ = automatic();
    }

    void reread(const Instrument& inst) {
        base_ = inst.calibration(ZO_CALIBRATION_DIGITAL_AUTO);
        responsivity_ = checked_responsivity(inst, wavelength_);
    }

    void set_wavelength(const Instrument& inst, double nm) {
        responsivity_ = checked_responsivity(inst, nm);
        wavelength_ = nm;
    }

    void set_units(int power_of_ten) {
        if (power_of_ten != -6 && power_of_ten != -3 && power_of_ten != 0)
            fail(ZO_ERROR_PARAMS, "calibration units " + std::to_string(power_of_ten) +
                                      " not supported (-6 uW, -3 mW, 0 W)");
        units_ = power_of_ten;
    }

    void set_custom(double m, double b) {
        if (!std::isfinite(m) || !std::isfinite(b))
            fail(ZO_ERROR_PARAMS, "custom calibration (" + number(m) + ", " + number(b) +
                                      ") is not finite");
        custom_ = {m, b};
        mode_ = CalibrationMode::Custom;
    }

    void set_mode(CalibrationMode mode) { mode_ = mode; }
    CalibrationMode mode() const { return mode_; }
    Pair custom() const { return custom_; }
    double wavelength() const { return wavelength_; }
    int units() const { return units_; }
    Pair automatic() const { return {base_.m / responsivity_, base_.b / responsivity_}; }

    Pair in_effect() const {
        switch (mode_) {
        case CalibrationMode::Auto: return automatic();
        case CalibrationMode::Custom: return custom_;
        case CalibrationMode::Raw: break;
        }
        return {1.0, 0.0};
    }

    // What the samples are multiplied by and offset with: the pair in effect
    // rescaled from uW to the output units (raw codes stay as they are).
    Pair applied() const {
        if (mode_ == CalibrationMode::Raw) return {1.0, 0.0};
        const double scale = units_ == -6 ? 1.0 : (units_ == -3 ? 1e-3 : 1e-6);
        const Pair p = in_effect();
        return {p.first * scale, p.second * scale};
    }

private:
    static double checked_responsivity(const Instrument& inst, double nm) {
        if (!std::isfinite(nm)) fail(ZO_ERROR_PARAMS, "calibration wavelength must be finite");
        const double r = inst.rel_responsivity(nm);  // refuses nm <= 0 itself
        if (!(r > 0.0)) {
            const Band band = responsivity_band(inst.identity().peak_nm);
            fail(ZO_ERROR_PARAMS, "calibration wavelength " + number(nm) + " nm is outside the band " +
                                      number(band.low_nm) + "-" + number(band.high_nm) + " nm");
        }
        return r;
    }

    CalibrationMode mode_ = CalibrationMode::Auto;
    zo_calibration_t base_{1.0, 0.0};
    double wavelength_;
    double responsivity_ = 1.0;
    Pair custom_{1.0, 0.0};
    int units_ = -6;
};

// ----------------------------------------------------------------- pipeline

std::string cutoff_problem(double cutoff, double rate) {
    return "filter cutoff " + number(cutoff) + " Hz cannot be realised: it must be at least " +
           number(dsp::kMinCutoffFraction * rate) + " Hz and below " + number(rate / 2) +
           " Hz, the Nyquist frequency of the stream's input";
}

// Filter, averaging and decimation with their state, and the stream's
// scratch buffers for values and port bits.
template <typename T>
class Pipeline {
public:
    explicit Pipeline(double rate) : cutoff_(rate / 10.0), values_(kChunk), bits_(kChunk) {}

    FilterKind filter() const { return filter_; }
    double cutoff() const { return cutoff_; }
    std::uint32_t downsampling() const { return averager_.factor(); }
    std::uint32_t decimation() const { return decimator_.factor(); }

    void set_filter(FilterKind kind) {
        filter_ = kind;
        designed_rate_ = 0.0;
    }
    void set_cutoff(double hz) {
        cutoff_ = hz;
        designed_rate_ = 0.0;
    }
    void set_downsampling(std::uint32_t n) { averager_.set_factor(n); }
    void set_decimation(std::uint32_t m) { decimator_.set_factor(m); }

    void prepare(double rate);
    std::uint64_t inputs_for(std::uint64_t outputs) const;
    std::size_t chunk_capacity() const;
    std::size_t run(const std::uint16_t* words, std::size_t len, Pair gain_offset, T* out,
                    std::uint8_t* out_bits);

private:
    FilterKind filter_ = FilterKind::None;
    double cutoff_;
    double designed_rate_ = 0.0;  // input rate of the current design; 0: none yet
    dsp::Cascade4 cascade_;
    dsp::Averager<T> averager_;
    dsp::Decimator<T> decimator_;
    std::vector<T> values_;
    std::vector<std::uint8_t> bits_;
};

// Checks the filter for this input rate and designs it anew when the rate,
// cutoff or kind changed since the last design.
template <typename T>
void Pipeline<T>::prepare(double rate) {
    if (filter_ == FilterKind::None) return;
    if (!dsp::cutoff_is_realisable(cutoff_, rate)) fail(ZO_ERROR_PARAMS, cutoff_problem(cutoff_, rate));
    if (rate == designed_rate_) return;
    const auto response = filter_ == FilterKind::Lowpass ? dsp::Response::lowpass : dsp::Response::highpass;
    cascade_.configure(dsp::design_butterworth4(cutoff_, rate, response));
    designed_rate_ = rate;
}

// Input samples that complete exactly `outputs` more output samples, given
// the unfinished averaging group and decimation group carried over.
template <typename T>
std::uint64_t Pipeline<T>::inputs_for(std::uint64_t outputs) const {
    if (outputs == 0) return 0;
    const std::uint64_t n = averager_.factor(), m = decimator_.factor();
    const std::uint64_t first = (n - averager_.pending()) + (m - 1 - decimator_.pending()) * n;
    return dsp::saturating_add(first, dsp::saturating_mul(outputs - 1, dsp::saturating_mul(n, m)));
}

// Input samples per chunk: whole averaging groups when they fit; longer
// groups in pieces of kChunk (a multiple of the filter's block) and a last
// piece up to the group's end. Chunks, and with them the filter's blocks,
// then fall on the same sample indices however the stream is read.
template <typename T>
std::size_t Pipeline<T>::chunk_capacity() const {
    const std::size_t n = averager_.factor();
    if (n <= kChunk) return kChunk / n * n;
    return std::min<std::size_t>(kChunk, n - averager_.pending());
}

// One chunk of len <= kChunk raw words through every stage; writes the
// finished output samples (and their bits) and returns how many. The stages
// run on ADC codes and the calibration, being linear, comes last, once per
// output sample: a filter passes a constant offset with its DC gain (1 for
// the low-pass, 0 for the high-pass), averaging passes it unchanged.
template <typename T>
std::size_t Pipeline<T>::run(const std::uint16_t* words, std::size_t len, Pair gain_offset, T* out,
                             std::uint8_t* out_bits) {
    T* y = values_.data();
    std::uint8_t* tags = out_bits ? bits_.data() : nullptr;
    std::size_t k;
    if (filter_ == FilterKind::None) {
        k = averager_.process_codes(words, y, tags, len);
    } else {
        dsp::copy_codes(words, y, tags, len);
        k = averager_.process_filtered(cascade_, y, tags, len);
    }
    k = decimator_.process(y, tags, k);
    const double offset = filter_ == FilterKind::Highpass ? 0.0 : gain_offset.second;
    dsp::calibrate(y, out, k, gain_offset.first, offset);
    if (tags) std::copy_n(tags, k, out_bits);
    return k;
}

// Keeps an acquisition in step with the wall clock when the bench runs in
// real time: input sample i is due i / rate seconds after the start.
class Pacer {
public:
    explicit Pacer(double rate)
        : on_(bench::realtime()), rate_(rate), t0_(std::chrono::steady_clock::now()) {}

    void wait_for(std::uint64_t consumed) const {
        if (!on_) return;
        std::this_thread::sleep_until(t0_ + std::chrono::duration<double>(double(consumed) / rate_));
    }

private:
    bool on_;
    double rate_;
    std::chrono::steady_clock::time_point t0_;
};

// ------------------------------------------------------------------- stream

template <typename T>
constexpr const char* kAcquireName = "";
template <>
constexpr const char* kAcquireName<float> = "ZOStream<float>::acquire";
template <>
constexpr const char* kAcquireName<double> = "ZOStream<double>::acquire";

// Every operation logs itself, takes a scripted answer if one is pending,
// then checks that the device handle is still open, all under the stream's
// lock and inside a guard: failures become the last error plus a status
// (commands) or a neutral value (readers: 0, "" or (0, 0)). The stream
// keeps its share of the instrument, so a closed handle is an error, never
// a dangling pointer.
template <typename T>
class VirtualStream final : public ZOStream<T> {
public:
    explicit VirtualStream(DeviceLink link)
        : link_(std::move(link)), cursor_(link_.instrument().clock()),
          calibration_(link_.instrument()), pipeline_(link_.instrument().samplerate()),
          words_(kChunk) {}

    double read_samplerate() override {
        return query("ZOGenericStream::read_samplerate", 0.0, [&] {
            return double(instrument().samplerate()) / pipeline_.downsampling() / pipeline_.decimation();
        });
    }
    int read_samplesize() override {
        return describe("ZOGenericStream::read_samplesize", 0, [] { return int(sizeof(T)); });
    }
    std::string read_calibration_mode() override {
        return query("ZOGenericStream::read_calibration_mode", std::string(),
                     [&] { return name_of(kModes, calibration_.mode()); });
    }
    std::string list_calibration_modes() override {
        return describe("ZOGenericStream::list_calibration_modes", std::string(),
                        [] { return list_names(kModes); });
    }
    int set_calibration_mode(std::string mode) override {
        return command("ZOGenericStream::set_calibration_mode", [&] {
            calibration_.set_mode(parse_name(kModes, mode, "calibration mode"));
        }, mode);
    }
    int update_auto_calibration() override {
        return command("ZOGenericStream::update_auto_calibration",
                       [&] { calibration_.reread(instrument()); });
    }
    std::pair<double, double> read_calibration() override {
        return query("ZOGenericStream::read_calibration", Pair{0.0, 0.0},
                     [&] { return calibration_.in_effect(); });
    }
    int set_custom_calibration(double m, double b) override {
        return command("ZOGenericStream::set_custom_calibration",
                       [&] { calibration_.set_custom(m, b); }, m, b);
    }
    std::pair<double, double> read_custom_calibration() override {
        return query("ZOGenericStream::read_custom_calibration", Pair{0.0, 0.0},
                     [&] { return calibration_.custom(); });
    }
    double read_calibration_wavelength() override {
        return query("ZOGenericStream::read_calibration_wavelength", 0.0,
                     [&] { return calibration_.wavelength(); });
    }
    int set_calibration_wavelength(double nm) override {
        return command("ZOGenericStream::set_calibration_wavelength",
                       [&] { calibration_.set_wavelength(instrument(), nm); }, nm);
    }
    int read_calibration_units() override {
        return query("ZOGenericStream::read_calibration_units", 0, [&] { return calibration_.units(); });
    }
    int set_calibration_units(int power_of_ten) override {
        return command("ZOGenericStream::set_calibration_units",
                       [&] { calibration_.set_units(power_of_ten); }, power_of_ten);
    }
    std::string read_filter() override {
        return query("ZOGenericStream::read_filter", std::string(),
                     [&] { return name_of(kFilters, pipeline_.filter()); });
    }
    int set_filter(std::string filter) override {
        return command("ZOGenericStream::set_filter", [&] {
            pipeline_.set_filter(parse_name(kFilters, filter, "filter"));
        }, filter);
    }
    double read_cutoff() override {
        return query("ZOGenericStream::read_cutoff", 0.0, [&] { return pipeline_.cutoff(); });
    }
    int set_cutoff(double hz) override {
        return command("ZOGenericStream::set_cutoff", [&] { apply_cutoff(hz); }, hz);
    }
    int read_downsampling() override {
        return query("ZOGenericStream::read_downsampling", 0,
                     [&] { return int(pipeline_.downsampling()); });
    }
    int set_downsampling(int n) override {
        return command("ZOGenericStream::set_downsampling",
                       [&] { pipeline_.set_downsampling(checked_factor(n, "downsampling")); }, n);
    }
    int set_decimation(int m) override {
        return command("ZOGenericStream::set_decimation",
                       [&] { pipeline_.set_decimation(checked_factor(m, "decimation")); }, m);
    }
    int read_decimation() override {
        return query("ZOGenericStream::read_decimation", 0, [&] { return int(pipeline_.decimation()); });
    }
    std::string list_filters() override {
        return describe("ZOGenericStream::list_filters", std::string(), [] { return list_names(kFilters); });
    }
    int acquire(std::uint64_t nsamples, T* data, std::uint8_t* bits) override {
        return command(kAcquireName<T>, [&] { acquire_blocks(nsamples, data, bits); }, nsamples,
                       calllog::buffer(data, nsamples), calllog::buffer(bits, nsamples));
    }

private:
    template <class R, class Op, class... Args>
    R query(const char* name, R neutral, Op&& op, const Args&... args) noexcept;
    template <class R, class Op>
    R describe(const char* name, R neutral, Op&& op) noexcept;
    template <class Op, class... Args>
    int command(const char* name, Op&& op, const Args&... args) noexcept;

    Instrument& instrument() const {
        if (!link_.valid())
            fail(ZO_ERROR_INVALID_DEVICE, "the stream's device handle has been closed or is no longer valid");
        return link_.instrument();
    }
    static std::uint32_t checked_factor(int n, const char* what) {
        if (n < 1) fail(ZO_ERROR_PARAMS, std::string(what) + " must be at least 1, not " + std::to_string(n));
        return std::uint32_t(n);
    }
    void apply_cutoff(double hz);
    void acquire_blocks(std::uint64_t nsamples, T* data, std::uint8_t* bits);

    DeviceLink link_;
    std::mutex mutex_;
    std::uint64_t cursor_;  // instrument time of the next input sample
    Calibration calibration_;
    Pipeline<T> pipeline_;
    std::vector<std::uint16_t> words_;
};

template <typename T>
template <class R, class Op, class... Args>
R VirtualStream<T>::query(const char* name, R neutral, Op&& op, const Args&... args) noexcept {
    return guarded(neutral, [&]() -> R {
        std::lock_guard lock(mutex_);
        calllog::log(name, args...);
        if (auto o = calllog::overridden<R>(name)) return *o;
        instrument();
        return op();
    });
}

// What the stream is rather than what it does (its sample size, the names it
// knows) needs no instrument and is answered even after the handle closed:
// the module picks the acquisition path by the sample size, and a wrong one
// would hide the real failure behind a buffer type mismatch.
template <typename T>
template <class R, class Op>
R VirtualStream<T>::describe(const char* name, R neutral, Op&& op) noexcept {
    return guarded(neutral, [&]() -> R {
        calllog::log(name);
        if (auto o = calllog::overridden<R>(name)) return *o;
        return op();
    });
}

template <typename T>
template <class Op, class... Args>
int VirtualStream<T>::command(const char* name, Op&& op, const Args&... args) noexcept {
    try {
        std::lock_guard lock(mutex_);
        calllog::log(name, args...);
        if (auto o = calllog::overridden<int>(name)) return *o;
        instrument();
        op();
        return ZO_SUCCESS;
    } catch (...) {
        record_current_exception();
    }
    return api::failure_status();
}

// The cutoff is kept even when it cannot be realised, so that acquisition
// keeps failing (rather than silently using an older cutoff) until it is
// fixed; the status reports the problem as early as it can be seen.
template <typename T>
void VirtualStream<T>::apply_cutoff(double hz) {
    pipeline_.set_cutoff(hz);
    const double rate = instrument().samplerate();
    if (!dsp::cutoff_is_realisable(hz, rate)) fail(ZO_ERROR_PARAMS, cutoff_problem(hz, rate));
}

template <typename T>
void VirtualStream<T>::acquire_blocks(std::uint64_t nsamples, T* data, std::uint8_t* bits) {
    if (nsamples == 0) return;
    if (!data) fail(ZO_ERROR_PARAMS, "null sample buffer");
    const std::shared_ptr<const SignalPlan> plan = instrument().plan();
    if (!plan->adcclock) fail(ZO_ERROR_USB_TIMEOUT, "no samples: the ADC clock is off");
    pipeline_.prepare(plan->samplerate);
    const Pair gain_offset = calibration_.applied();
    const Pacer pacer(plan->samplerate);
    std::uint64_t consumed = 0;
    for (std::uint64_t done = 0; done < nsamples;) {
        const std::uint64_t wanted = pipeline_.inputs_for(nsamples - done);
        const std::size_t len = std::size_t(std::min<std::uint64_t>(pipeline_.chunk_capacity(), wanted));
        plan->render(cursor_, len, words_.data());
        done += pipeline_.run(words_.data(), len, gain_offset, data + done, bits ? bits + done : nullptr);
        cursor_ += len;
        pacer.wait_for(consumed += len);
    }
}

// ---------------------------------------------------------- open and close

template <typename T>
ZOStream<T>* open_stream(const char* name, zo_device* device) noexcept {
    return guarded(static_cast<ZOStream<T>*>(nullptr), [&]() -> ZOStream<T>* {
        const Resolved r = Registry::get().resolve(device);
        calllog::log(name, r.serial);
        if (auto o = calllog::overridden<ZOStream<T>*>(name)) return *o;
        api::live_instrument(r);
        return new VirtualStream<T>(DeviceLink(r.session));
    });
}

}  // namespace
}  // namespace zo

using namespace zo;

template <>
ZO_API ZOStream<float>* zo_open_stream<float>(zo_device* device) {
    return open_stream<float>("zo_open_stream<float>", device);
}

template <>
ZO_API ZOStream<double>* zo_open_stream<double>(zo_device* device) {
    return open_stream<double>("zo_open_stream<double>", device);
}

ZO_API ZOGenericStream* zo_close_stream(ZOGenericStream* stream) {
    return guarded(static_cast<ZOGenericStream*>(nullptr), [&]() -> ZOGenericStream* {
        calllog::log("zo_close_stream");
        // A scripted answer replaces only the result: the stream is still
        // released, since the caller will not hand it back again.
        (void)calllog::overridden<ZOGenericStream*>("zo_close_stream");
        delete stream;
        return nullptr;
    });
}
