#include "signal.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <mutex>
#include <numbers>
#include <utility>

#if defined(_MSC_VER)
#pragma fp_contract(off)   // no fused multiply-add, as -ffp-contract=off elsewhere
#endif

namespace zo {

namespace model {
double counts_per_uw(bool highgain) { return highgain ? kHighGainCounts : kLowGainCounts; }
double offset_counts(bool balanced) { return balanced ? kOffsetBalanced : kOffsetSingle; }
}  // namespace model

// ------------------------------------------------------------- responsivity

Band responsivity_band(int peak_nm) {
    // InGaAs: usable from about 850 nm, cut off by the band gap near 1700 nm.
    const double peak = peak_nm;
    return {std::min(850.0, peak - 100.0), peak, std::max(1700.0, peak + 50.0)};
}

// Shapes on each side of the peak: (1 - x^q)^r for x from 0 at the peak to 1
// at the band edge. Flat at the peak, zero slope at the edges, broad on the
// short side, steep at the long-wavelength cut-off.
double relative_responsivity(double nm, int peak_nm) {
    const Band b = responsivity_band(peak_nm);
    if (nm <= b.low_nm || nm >= b.high_nm) return 0.0;
    if (nm <= b.peak_nm) {
        double x = (b.peak_nm - nm) / (b.peak_nm - b.low_nm);
        return std::pow(1.0 - x * x * x, 1.5);
    }
    double x = (nm - b.peak_nm) / (b.high_nm - b.peak_nm);
    double x2 = x * x;
    return std::pow(1.0 - x2 * x2, 2.0);
}

// ---------------------------------------------------------------------- PN9

const std::array<uint16_t, kPn9Period>& pn9_words() {
    static const std::array<uint16_t, kPn9Period> words = [] {
        std::array<uint8_t, 14 * kPn9Period> bits{};
        for (size_t k = 0; k < bits.size(); ++k)
            bits[k] = k < 9 ? 1 : bits[k - 9] ^ bits[k - 5];
        std::array<uint16_t, kPn9Period> w{};
        for (int i = 0; i < kPn9Period; ++i)
            for (int j = 0; j < 14; ++j) w[i] = uint16_t((w[i] << 1) | bits[14 * i + j]);
        return w;
    }();
    return words;
}

// -------------------------------------------------------------------- noise

namespace {

// Samples are rendered in blocks aligned to absolute indices; each block
// reads its noise contiguously from the table at an offset hashed from the
// block number and the seed.
constexpr uint32_t kBlock = 2048;
constexpr uint32_t kNoiseSize = 1u << 16;

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double uniform01(uint64_t& state) {
    state = splitmix64(state);
    return double((state >> 11) + 1) * 0x1.0p-53;  // (0, 1]
}

}  // namespace

struct NoiseTable {
    std::vector<float> values;  // kNoiseSize values, then the first kBlock again
};

namespace {

// In-place radix-2 FFT of a power-of-two length (inverse: conjugate in,
// conjugate out, divide by the length).
void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Gaussian draws whose circular spectrum is then made exactly flat (each
// frequency keeps its random phase, all get the same magnitude). Every block
// reads a window of this one table, so a spectrum averaged over many blocks
// converges to the table's own spectrum: flat here, where plain draws would
// leave their periodogram's random ripple of about 1/sqrt(bins averaged) in
// every noise spectrum of the instrument. Zero mean, unit variance.
std::vector<double> gaussian_table() {
    std::vector<std::complex<double>> spectrum(kNoiseSize);
    uint64_t state = 0x6E6F697365ull;
    for (uint32_t i = 0; i < kNoiseSize; i += 2) {
        double r = std::sqrt(-2.0 * std::log(uniform01(state)));
        double a = 2.0 * std::numbers::pi * uniform01(state);
        spectrum[i] = r * std::cos(a);
        spectrum[i + 1] = r * std::sin(a);
    }
    fft(spectrum);
    spectrum[0] = 0.0;
    for (uint32_t k = 1; k < kNoiseSize; ++k) {
        const double magnitude = std::abs(spectrum[k]);
        // A real sequence's Nyquist bin is real; the others pair with their mirror.
        spectrum[k] = magnitude > 0 ? std::conj(spectrum[k] / magnitude) : 1.0;
    }
    fft(spectrum);   // the inverse, up to a conjugate and a scale that the normalising undoes
    std::vector<double> v(kNoiseSize);
    double var = 0;
    for (uint32_t i = 0; i < kNoiseSize; ++i) var += (v[i] = spectrum[i].real()) * v[i];
    const double scale = 1.0 / std::sqrt(var / kNoiseSize);
    for (double& x : v) x *= scale;
    return v;
}

std::shared_ptr<const NoiseTable> pack(const std::vector<double>& v) {
    auto t = std::make_shared<NoiseTable>();
    t->values.resize(kNoiseSize + kBlock);
    for (uint32_t i = 0; i < kNoiseSize + kBlock; ++i) t->values[i] = float(v[i % kNoiseSize]);
    return t;
}

// The raw table run through the one-pole low-pass y += a (x - y), circularly
// (the first lap settles the filter), so its variance is a / (2 - a).
std::vector<double> filtered(const std::vector<double>& raw, double a) {
    std::vector<double> out(raw.size());
    double y = 0;
    for (int lap = 0; lap < 2; ++lap)
        for (size_t i = 0; i < raw.size(); ++i) out[i] = y += a * (raw[i] - y);
    return out;
}

std::shared_ptr<const NoiseTable> noise_table(double filter_a) {
    static const std::vector<double> raw = gaussian_table();
    static std::mutex mutex;
    static std::vector<std::pair<double, std::shared_ptr<const NoiseTable>>> cache;
    std::lock_guard lock(mutex);
    for (auto& [a, table] : cache)
        if (a == filter_a) return table;
    auto table = pack(filter_a >= 1.0 ? raw : filtered(raw, filter_a));
    cache.emplace_back(filter_a, table);
    return table;
}

}  // namespace

// ----------------------------------------------------------------- phasors

struct PhasorTable {
    std::array<float, kBlock> cos_k, sin_k;  // cos/sin of the phase k samples in
};

namespace {

constexpr double kTwoPiOver2To64 = 2.0 * std::numbers::pi / 18446744073709551616.0;

std::shared_ptr<const PhasorTable> phasor_table(uint64_t step) {
    auto t = std::make_shared<PhasorTable>();
    for (uint32_t k = 0; k < kBlock; ++k) {
        double angle = double(uint64_t(k) * step) * kTwoPiOver2To64;
        t->cos_k[k] = float(std::cos(angle));
        t->sin_k[k] = float(std::sin(angle));
    }
    return t;
}

}  // namespace

// ---------------------------------------------------------------- rendering

namespace {

// One block's inner loop: straight-line float arithmetic the compiler
// vectorises. The clamps are written as the SSE min/max instructions read.
template <bool Mod, bool Noise>
void render_run(float base, float a_sin, float a_cos, const float* cos_k, const float* sin_k,
                float sigma, const float* noise, uint16_t bits, uint32_t len, uint16_t* out) {
    for (uint32_t i = 0; i < len; ++i) {
        float x = base;
        if constexpr (Mod) x += a_sin * cos_k[i] + a_cos * sin_k[i];
        if constexpr (Noise) x += sigma * noise[i];
        float y = x + 0.5f;
        y = y > 0.0f ? y : 0.0f;
        y = y < float(model::kAdcMaxCode) ? y : float(model::kAdcMaxCode);
        out[i] = uint16_t(int32_t(y) | bits);
    }
}

}  // namespace

void SignalPlan::render_normal(uint64_t first, uint64_t count, uint16_t* out, uint16_t bits) const {
    const bool mod = mod_amplitude != 0.0f && phasors;
    const bool noisy = noise_sigma != 0.0f && noise;
    for (uint64_t n = first, end = first + count; n < end;) {
        const uint64_t block = n / kBlock;
        const uint32_t k0 = uint32_t(n % kBlock);
        const uint32_t len = uint32_t(std::min<uint64_t>(kBlock - k0, end - n));
        uint16_t* dst = out + (n - first);
        const float* nz = noisy ? noise->values.data() + (splitmix64(block ^ splitmix64(seed)) % kNoiseSize) + k0 : nullptr;
        if (mod) {
            // sin(theta0 + w k) = sin(theta0) cos(w k) + cos(theta0) sin(w k)
            double theta0 = double((block * kBlock) * mod_step) * kTwoPiOver2To64 + mod_phase;
            float a_sin = float(mod_amplitude * std::sin(theta0));
            float a_cos = float(mod_amplitude * std::cos(theta0));
            const float* ck = phasors->cos_k.data() + k0;
            const float* sk = phasors->sin_k.data() + k0;
            if (noisy) render_run<true, true>(base, a_sin, a_cos, ck, sk, noise_sigma, nz, bits, len, dst);
            else render_run<true, false>(base, a_sin, a_cos, ck, sk, 0, nullptr, bits, len, dst);
        } else if (noisy) {
            render_run<false, true>(base, 0, 0, nullptr, nullptr, noise_sigma, nz, bits, len, dst);
        } else {
            render_run<false, false>(base, 0, 0, nullptr, nullptr, 0, nullptr, bits, len, dst);
        }
        n += len;
    }
}

void SignalPlan::render_pattern(uint64_t first, uint64_t count, uint16_t* out, uint16_t bits) const {
    const int64_t since = int64_t(first - pattern_origin);
    if (pattern == Pattern::Pn9) {
        const auto& words = pn9_words();
        int64_t i = ((since % kPn9Period) + kPn9Period) % kPn9Period;
        for (uint64_t k = 0; k < count; ++k) {
            out[k] = uint16_t(words[size_t(i)] | bits);
            if (++i == kPn9Period) i = 0;
        }
    } else if (pattern == Pattern::Checkerboard) {
        uint16_t words[2] = {uint16_t(0x2AAA | bits), uint16_t(0x1555 | bits)};
        for (uint64_t k = 0; k < count; ++k) out[k] = words[(uint64_t(since) + k) & 1];
    } else {
        std::fill(out, out + count, uint16_t((user_word & 0x3FFF) | bits));
    }
}

namespace {

uint16_t constant_bit(const PortSignal& p, uint16_t bit) {
    return p.digital && p.wave.is_constant() && p.wave.level(0) ? bit : 0;
}

}  // namespace

void SignalPlan::or_port_bits(uint64_t first, uint64_t count, uint16_t* out) const {
    if (s.digital && !s.wave.is_constant()) or_level_bits(s.wave, 0x4000, first, count, out);
    if (t.digital && !t.wave.is_constant()) or_level_bits(t.wave, 0x8000, first, count, out);
}

void SignalPlan::render(uint64_t first, uint64_t count, uint16_t* out) const {
    if (count == 0) return;
    const uint16_t bits = constant_bit(s, 0x4000) | constant_bit(t, 0x8000);
    if (pattern == Pattern::Normal) render_normal(first, count, out, bits);
    else render_pattern(first, count, out, bits);
    or_port_bits(first, count, out);
}

// ------------------------------------------------------------------ planning

namespace {

double antialias_coefficient(const PlanInputs& in) {
    const double cutoff = model::kAntialiasFraction * in.base_samplerate;
    return 1.0 - std::exp(-2.0 * std::numbers::pi * cutoff / in.samplerate);
}

// Optical noise as one-sided power spectral densities of the light's power
// (W^2/Hz), white, from the mean power on each photodiode:
//   shot noise of each photodiode   2 h nu P
//   intensity noise                 10^(rin/10) * A^2, with the common-mode
//                                   light A = P1 on a single-diode unit and
//                                   A = P1 - P2 + eps (P1 + P2) / 2 on a
//                                   balanced one, eps = 10^(-cmrr/20)
// Sampled at fs, white noise of density S has the variance S * fs / 2.
double optical_variance_uw2(const PlanInputs& in, double p2_uw) {
    const double p1 = in.p1_uw * 1e-6, p2 = p2_uw * 1e-6;  // W
    const double photon_j = model::kPlanck * model::kLightSpeed / (in.wavelength_nm * 1e-9);
    const double shot = 2.0 * photon_j * (p1 + p2);
    const double eps = std::pow(10.0, -in.cmrr_db / 20.0);
    const double common = in.balanced ? p1 - p2 + eps * (p1 + p2) / 2.0 : p1;
    const double rin = std::pow(10.0, in.rin_db_hz / 10.0) * common * common;
    return (shot + rin) * in.samplerate / 2.0 * 1e12;
}

void plan_light(const PlanInputs& in, SignalPlan& p) {
    const double gain = model::counts_per_uw(in.highgain);
    const double r = relative_responsivity(in.wavelength_nm, in.peak_nm);
    const double p2 = in.balanced ? in.p2_uw : 0.0;
    double base = model::offset_counts(in.balanced) + gain * r * (in.p1_uw - p2);
    double amp = in.modulation_hz > 0 ? gain * r * in.p1_uw * in.modulation_depth : 0.0;
    const double electronic = in.highgain ? model::kNoiseHighGain : model::kNoiseLowGain;
    const double counts_per_uw = gain * r;
    double sigma = std::sqrt(electronic * electronic +
                             counts_per_uw * counts_per_uw * optical_variance_uw2(in, p2));
    if (in.powerdown) {
        base = model::offset_counts(in.balanced);
        amp = 0;
        sigma = model::kNoisePowerdown;
    }
    p.base = float(base);
    p.mod_amplitude = float(amp);
    p.noise_sigma = in.noise ? float(sigma) : 0.0f;
}

// The filter's response at the modulation frequency scales and delays the
// modulation; its noise comes from the filtered table.
void plan_filter(const PlanInputs& in, SignalPlan& p) {
    const double fraction = in.modulation_hz / in.samplerate;
    p.mod_step = phase_of_ratio(in.modulation_hz, in.samplerate);
    const double a = in.antialias ? antialias_coefficient(in) : 1.0;
    if (in.antialias) {
        const double w = 2.0 * std::numbers::pi * (fraction - std::floor(fraction));
        const std::complex<double> h = a / (1.0 - (1.0 - a) * std::polar(1.0, -w));
        p.mod_amplitude = float(p.mod_amplitude * std::abs(h));
        p.mod_phase = std::arg(h);
    }
    if (p.noise_sigma != 0.0f) p.noise = noise_table(a);
    if (p.mod_amplitude != 0.0f && p.mod_step != 0) p.phasors = phasor_table(p.mod_step);
    else p.mod_amplitude = 0.0f;
}

}  // namespace

std::shared_ptr<const SignalPlan> make_plan(const PlanInputs& in) {
    auto p = std::make_shared<SignalPlan>();
    p->samplerate = in.samplerate;
    p->adcclock = in.adcclock;
    p->pattern = in.pattern;
    p->user_word = in.user_word;
    p->pattern_origin = in.pattern_origin;
    p->seed = in.seed;
    p->s = in.s;
    p->t = in.t;
    plan_light(in, *p);
    plan_filter(in, *p);
    return p;
}

}  // namespace zo
