// Signal processing building blocks of the virtual instrument's streams.
//
// Everything here works on caller-owned blocks, in place, with no allocation
// per sample, and keeps its state between blocks so that a signal processed
// block by block equals the same signal processed in one go, bit for bit.
//
// Sample type T is float or double. The stream feeds these stages ADC codes
// (whole numbers, exact in either type) and calibrates their output, which
// is the same linear map applied once per output sample instead of once per
// input sample. The recursive filter keeps its state and coefficients in
// double whatever T is: with float, poles a few parts per million from z = 1
// (low cutoffs at a fast input rate) would shift the DC gain and the corner
// frequency visibly (a settled step misses its level by ~1e-3 already at
// cutoff = 1e-3 rate), and the filter's cost is set by its dependency chains
// and block overheads more than by the width of its arithmetic.
#ifndef ZO_VIRTUAL_DSP_HPP
#define ZO_VIRTUAL_DSP_HPP

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>

// SSE2 is part of every x86-64 processor; elsewhere the portable loops run.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define ZO_DSP_SSE2 1
#else
#define ZO_DSP_SSE2 0
#endif

// The per-block helpers of the filter must be inlined into their loops, or
// the call and the passing of results through memory cost more than the
// arithmetic.
#if defined(_MSC_VER)
#define ZO_DSP_INLINE __forceinline
#else
#define ZO_DSP_INLINE inline __attribute__((always_inline))
#endif

namespace zo::dsp {

// One second-order section, normalised so that a0 = 1:
// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;

    // Gain at z = 1, used to start the state at rest on a constant input.
    double dc_gain() const { return (b0 + b1 + b2) / (1.0 + a1 + a2); }
};

enum class Response { lowpass, highpass };

using FourthOrder = std::array<Biquad, 2>;

#if ZO_DSP_SSE2
// Two consecutive samples as doubles.
inline __m128d load_pair(const double* x) { return _mm_loadu_pd(x); }
inline __m128d load_pair(const float* x) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x))));
}
#endif

// The lowest cutoff, as a fraction of the rate, that double coefficients
// still place. 1 + a1 + a2, about (2 pi fc / fs)^2, is what the rounding of a1
// and a2 leaves: at 1e-7 of the rate the corner is off by 5e-4, at 1e-8 by
// percents, and below about 3e-9 the poles land on or past z = 1, so the
// output turns to inf and NaN.
constexpr double kMinCutoffFraction = 1e-7;

// The bilinear transform maps the analog band [0, inf) onto [0, rate/2), so a
// cutoff can be realised only strictly inside that range, and in double only
// from kMinCutoffFraction of the rate up.
inline bool cutoff_is_realisable(double cutoff_hz, double rate_hz) {
    return std::isfinite(cutoff_hz) && std::isfinite(rate_hz) && rate_hz > 0.0 &&
           cutoff_hz >= kMinCutoffFraction * rate_hz && cutoff_hz < rate_hz / 2.0;
}

// Quality factors of the two conjugate pole pairs of the 4th-order
// Butterworth prototype: poles at angles pi/8 and 3pi/8 from the negative
// real axis, Q = 1 / (2 cos(angle)).
inline std::array<double, 2> butterworth4_q() {
    const double pi = std::numbers::pi;
    return {1.0 / (2.0 * std::cos(pi / 8.0)), 1.0 / (2.0 * std::cos(3.0 * pi / 8.0))};
}

// One section from s^2 + s/Q + 1 (cutoff normalised to 1) by the bilinear
// transform, with K = tan(pi fc / fs) placing the cutoff exactly at fc.
//
// The numerator gain b0 is taken from the rounded denominator: for the
// low-pass b0 = K^2 / (1 + K/Q + K^2) = (1 + a1 + a2) / 4 exactly, so the
// section passes DC with a gain of exactly 1. That matters at low cutoffs,
// where 1 + a1 + a2 is tiny and the direct formula is off by parts in 10^8
// (and where the sum is computed without rounding: a1 is near -2, a2 near
// 1). Likewise the high-pass gets exactly unit gain at Nyquist.
inline Biquad bilinear_section(double k, double q, Response response) {
    const double kk = k * k;
    const double norm = 1.0 / (1.0 + k / q + kk);
    Biquad s;
    s.a1 = 2.0 * (kk - 1.0) * norm;
    s.a2 = (1.0 - k / q + kk) * norm;
    if (response == Response::lowpass) {
        s.b0 = (1.0 + s.a1 + s.a2) / 4.0;
        s.b1 = 2.0 * s.b0;
    } else {
        s.b0 = (1.0 - s.a1 + s.a2) / 4.0;
        s.b1 = -2.0 * s.b0;
    }
    s.b2 = s.b0;
    return s;
}

// 4th-order Butterworth as two cascaded sections. The caller checks the
// cutoff with cutoff_is_realisable first.
inline FourthOrder design_butterworth4(double cutoff_hz, double rate_hz, Response response) {
    const double k = std::tan(std::numbers::pi * cutoff_hz / rate_hz);
    const auto q = butterworth4_q();
    return {bilinear_section(k, q[0], response), bilinear_section(k, q[1], response)};
}

// Two biquads in transposed direct form II, with state (z1, z2) per section.
//
// Two ways through it:
// - process() filters sample by sample, one loop over both sections so that
//   their dependency chains overlap in the processor;
// - advance() runs a block of up to kBlock samples and returns only the sum of
//   the block's outputs, which is all an averaging stage needs. The cascade
//   is linear, so over a block of L samples from state s
//       s'     = Phi[L] s + sum_i Kin[L - i] x[i]
//       sum y  = G[L] . s + sum_i Hsum[L - i] x[i]
//   with tables built once per design by running the recursion on unit
//   states and a unit impulse. The per-sample work is then five independent
//   multiply-adds instead of a chain of dependent ones: with downsampling
//   by 10 about twice as fast as filtering every sample, more for longer
//   groups.
//
// Working point. With poles close to z = 1 (cutoffs far below the rate) the
// recursion adds increments far smaller than its state, so rounding leaves a
// dead band around the true output of about eps * |state| * (rate/cutoff)^2:
// 1e-5 of the signal level at cutoff = 1e-6 rate. The signals here sit on a
// large, slowly moving level, so the cascade filters x - ref and adds the DC
// gain times ref back: the state, and with it the dead band, then scales
// with how far the signal strays from ref. ref follows the signal: it is
// moved to the current input every kRecenter samples (counted from the
// start, so the points do not depend on how the input is split into calls),
// the state absorbing the step exactly as it would a constant input.
class Cascade4 {
public:
    static constexpr std::size_t kBlock = 32;
    static constexpr std::uint64_t kRecenter = 4096;
    using State = std::array<double, 4>;  // z1, z2 of section 0, then of section 1

    // New coefficients; the state restarts at rest on the next input sample.
    void configure(const FourthOrder& sections);

    template <typename T>
    void process(T* x, std::size_t n);

    // Consumes len <= kBlock samples and returns the sum of their outputs.
    template <typename T>
    double advance(const T* x, std::size_t len);

    // advance() for `groups` consecutive blocks of len samples each, the
    // output sum of block g going to sums[g]; the same arithmetic, faster.
    template <typename T>
    void sum_groups(const T* x, std::size_t groups, std::size_t len, double* sums);

    // A filter fed exact zeros decays into subnormal numbers, which are two
    // orders of magnitude slower on common processors; callers of advance()
    // snap them to zero now and then (process() does it itself).
    void flush_subnormals();

private:
    static double step(const FourthOrder& s, State& z, double v);
    void build_block_tables();
    void recenter_if_due(double v);
    template <typename T>
    void process_run(T* x, std::size_t n);
    template <typename T>
    ZO_DSP_INLINE std::array<double, 5> input_terms(const T* x, std::size_t len) const;
    ZO_DSP_INLINE double finish_block(std::size_t len, const std::array<double, 5>& in, State& z) const;

    FourthOrder s_{};
    double dc_gain_ = 1.0;  // of the whole cascade: exactly 1 (low-pass) or 0 (high-pass)
    State z_{};
    double ref_ = 0.0;
    std::uint64_t count_ = 0;       // samples since configure()
    std::uint64_t next_center_ = 0; // count_ at which ref_ moves next
    std::array<std::array<double, 16>, kBlock + 1> phi_{};  // row-major 4x4
    std::array<State, kBlock + 1> g_{};
    // input_[r][kBlock - t]: what a sample t samples before the block's end
    // adds to state r (r < 4) and to the block's output sum (r = 4).
    std::array<std::array<double, kBlock>, 5> input_{};
};

inline double Cascade4::step(const FourthOrder& s, State& z, double v) {
    const Biquad &c = s[0], &d = s[1];
    const double y = c.b0 * v + z[0];
    z[0] = c.b1 * v - c.a1 * y + z[1];
    z[1] = c.b2 * v - c.a2 * y;
    const double w = d.b0 * y + z[2];
    z[2] = d.b1 * y - d.a1 * w + z[3];
    z[3] = d.b2 * y - d.a2 * w;
    return w;
}

inline void Cascade4::configure(const FourthOrder& sections) {
    s_ = sections;
    dc_gain_ = s_[0].dc_gain() * s_[1].dc_gain();
    z_ = {};
    count_ = next_center_ = 0;
    build_block_tables();
}

// Row t of each table describes a block of t samples (t = 1..kBlock).
inline void Cascade4::build_block_tables() {
    for (std::size_t c = 0; c < 4; ++c) {  // zero input from unit state c
        State z{};
        z[c] = 1.0;
        double sum = 0.0;
        for (std::size_t t = 1; t <= kBlock; ++t) {
            sum += step(s_, z, 0.0);
            g_[t][c] = sum;
            for (std::size_t r = 0; r < 4; ++r) phi_[t][4 * r + c] = z[r];
        }
    }
    State z{};  // unit impulse from rest
    double sum = 0.0;
    for (std::size_t t = 1; t <= kBlock; ++t) {
        sum += step(s_, z, t == 1 ? 1.0 : 0.0);
        for (std::size_t r = 0; r < 4; ++r) input_[r][kBlock - t] = z[r];
        input_[4][kBlock - t] = sum;
    }
}

// Moves ref to v when due. Feeding x - v instead of x - ref is feeding an
// extra constant d = ref - v, so the state takes on each section's rest
// state for d (output g d, z1 = g d - b0 d, z2 = b2 d - a2 g d). The first
// call, from rest, simply starts the filter at rest on v.
inline void Cascade4::recenter_if_due(double v) {
    if (count_ < next_center_) return;
    double d = count_ == 0 ? 0.0 : ref_ - v;
    for (std::size_t i = 0; i < 2; ++i) {
        const Biquad& c = s_[i];
        const double y = c.dc_gain() * d;
        z_[2 * i] += y - c.b0 * d;
        z_[2 * i + 1] += c.b2 * d - c.a2 * y;
        d = y;
    }
    ref_ = v;
    next_center_ = (count_ / kRecenter + 1) * kRecenter;
}

inline void Cascade4::flush_subnormals() {
    for (double& z : z_) {
        if (std::fabs(z) < 1e-200) z = 0.0;
    }
}

template <typename T>
void Cascade4::process(T* x, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        recenter_if_due(static_cast<double>(x[i]));
        const std::size_t len = std::size_t(std::min<std::uint64_t>(n - i, next_center_ - count_));
        process_run(x + i, len);
        count_ += len;
        i += len;
    }
    flush_subnormals();
}

template <typename T>
void Cascade4::process_run(T* x, std::size_t n) {
    // Locals keep coefficients and state in registers across the loop.
    const Biquad c = s_[0], d = s_[1];
    const double ref = ref_, level = dc_gain_ * ref_;
    double p1 = z_[0], p2 = z_[1], q1 = z_[2], q2 = z_[3];
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(x[i]) - ref;
        const double y = c.b0 * v + p1;
        p1 = c.b1 * v - c.a1 * y + p2;
        p2 = c.b2 * v - c.a2 * y;
        const double w = d.b0 * y + q1;
        q1 = d.b1 * y - d.a1 * w + q2;
        q2 = d.b2 * y - d.a2 * w;
        x[i] = static_cast<T>(w + level);
    }
    z_ = {p1, p2, q1, q2};
}

template <typename T>
double Cascade4::advance(const T* x, std::size_t len) {
    if (len == 0) return 0.0;
    double sum;
    sum_groups(x, 1, len, &sum);
    return sum;
}

// The state lives in a local across the loop, so that the one dependency
// chain from block to block (state -> Phi * state -> state) stays in
// registers rather than going through memory.
template <typename T>
void Cascade4::sum_groups(const T* x, std::size_t groups, std::size_t len, double* sums) {
    State z = z_;
    for (std::size_t g = 0; g < groups; ++g, x += len) {
        if (count_ >= next_center_) {
            z_ = z;
            recenter_if_due(static_cast<double>(x[0]));
            z = z_;
        }
        count_ += len;
        const double level = static_cast<double>(len) * dc_gain_ * ref_;
        sums[g] = finish_block(len, input_terms(x, len), z) + level;
    }
    z_ = z;
}

// The block's input terms: five dot products of x - ref with the tables'
// last len entries. Even and odd samples go to separate sums (the two lanes
// of a vector register where there are any), so that consecutive samples do
// not wait on each other; both code paths round identically: an odd last
// sample joins the even sum, then even + odd.
template <typename T>
ZO_DSP_INLINE std::array<double, 5> Cascade4::input_terms(const T* x, std::size_t len) const {
    const std::size_t off = kBlock - len, pairs = len / 2 * 2;
    const double tail = len > pairs ? static_cast<double>(x[pairs]) - ref_ : 0.0;
    std::array<double, 5> out;
#if ZO_DSP_SSE2
    const __m128d ref = _mm_set1_pd(ref_);
    __m128d acc[5] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(),
                      _mm_setzero_pd()};
    for (std::size_t i = 0; i < pairs; i += 2) {
        const __m128d v = _mm_sub_pd(load_pair(x + i), ref);
        for (std::size_t r = 0; r < 5; ++r)
            acc[r] = _mm_add_pd(acc[r], _mm_mul_pd(_mm_loadu_pd(&input_[r][off + i]), v));
    }
    for (std::size_t r = 0; r < 5; ++r) {
        double even = _mm_cvtsd_f64(acc[r]);
        if (len > pairs) even += input_[r][off + pairs] * tail;
        out[r] = even + _mm_cvtsd_f64(_mm_unpackhi_pd(acc[r], acc[r]));
    }
#else
    std::array<double, 5> even{}, odd{};
    for (std::size_t i = 0; i < pairs; i += 2) {
        const double v = static_cast<double>(x[i]) - ref_, w = static_cast<double>(x[i + 1]) - ref_;
        for (std::size_t r = 0; r < 5; ++r) {
            even[r] += input_[r][off + i] * v;
            odd[r] += input_[r][off + i + 1] * w;
        }
    }
    for (std::size_t r = 0; r < 5; ++r) {
        if (len > pairs) even[r] += input_[r][off + pairs] * tail;
        out[r] = even[r] + odd[r];
    }
#endif
    return out;
}

// Adds the state's share to a block's input terms: returns the block's
// output sum and moves z to the state after the block.
ZO_DSP_INLINE double Cascade4::finish_block(std::size_t len, const std::array<double, 5>& in, State& z) const {
    const State& g = g_[len];
    const double* p = phi_[len].data();
    const State now = z;
    for (std::size_t r = 0; r < 4; ++r, p += 4) {
        z[r] = ((p[0] * now[0] + p[1] * now[1]) + (p[2] * now[2] + p[3] * now[3])) + in[r];
    }
    return in[4] + ((g[0] * now[0] + g[1] * now[1]) + (g[2] * now[2] + g[3] * now[3]));
}

// Raw instrument words: bits 0-13 the ADC code, bit 14 port S, bit 15 port T.
constexpr std::uint16_t kCodeMask = 0x3FFF;

inline std::uint8_t port_bits(std::uint16_t word) { return static_cast<std::uint8_t>(word >> 14); }

// The codes of n raw words as numbers, and their port bits when wanted.
template <typename T>
std::size_t copy_codes(const std::uint16_t* words, T* y, std::uint8_t* tags, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<T>(words[i] & kCodeMask);
    if (tags) {
        for (std::size_t i = 0; i < n; ++i) tags[i] = port_bits(words[i]);
    }
    return n;
}

// Averages each group of `factor` consecutive samples into one, keeping an
// unfinished group for the next block. Alongside the values it carries one
// tag byte per sample (the port bits), taking the tag of the group's last
// sample.
//
// The samples are ADC codes (the stream calibrates after averaging, which
// is the same linear map), so unfiltered groups are summed exactly as
// integers; sums are carried in double, exact for any factor up to 2^31.
template <typename T>
class Averager {
public:
    void set_factor(std::uint32_t factor) {
        factor_ = factor;
        reset();
    }
    std::uint32_t factor() const { return factor_; }
    std::uint32_t pending() const { return count_; }
    void reset() {
        sum_ = 0.0;
        count_ = 0;
    }

    // Reads n raw words, writes the averages of the finished groups' codes
    // to y (and their port bits to tags, when given) and returns how many.
    std::size_t process_codes(const std::uint16_t* words, T* y, std::uint8_t* tags, std::size_t n) {
        if (factor_ == 1) return copy_codes(words, y, tags, n);
        std::size_t out = 0;
        for (std::size_t i = 0; i < n;) {
            const std::size_t len = std::min<std::size_t>(n - i, factor_ - count_);
            std::uint64_t sum = 0;
            for (std::size_t j = 0; j < len; ++j) sum += words[i + j] & kCodeMask;
            sum_ += static_cast<double>(sum);
            count_ += static_cast<std::uint32_t>(len);
            i += len;
            if (count_ < factor_) break;
            y[out] = static_cast<T>(sum_ / static_cast<double>(factor_));
            if (tags) tags[out] = port_bits(words[i - 1]);
            ++out;
            reset();
        }
        return out;
    }

    // The same for the samples as `filter` would output them, computed a
    // block at a time without forming each filtered sample. The result does
    // not depend on how the input is split between calls as long as every
    // call ends at the end of a group or at a multiple of Cascade4::kBlock
    // samples into one.
    std::size_t process_filtered(Cascade4& filter, T* x, std::uint8_t* tags, std::size_t n) {
        if (factor_ == 1) {
            filter.process(x, n);
            return n;
        }
        std::size_t out = 0, i = 0;
        if (count_ == 0 && factor_ <= Cascade4::kBlock) out = whole_groups(filter, x, tags, n, i);
        while (i < n) {
            // Blocks start at fixed offsets within the group, so the rounding
            // is the same however the input was split into calls.
            const std::size_t room = std::min<std::size_t>(factor_ - count_, Cascade4::kBlock - count_ % Cascade4::kBlock);
            const std::size_t len = std::min(n - i, room);
            sum_ += filter.advance(x + i, len);
            count_ += static_cast<std::uint32_t>(len);
            i += len;
            if (count_ == factor_) emit(x, tags, out++, i - 1);
        }
        filter.flush_subnormals();
        return out;
    }

private:
    // The common case of short groups starting at x[0]: every whole group in
    // one pass of the filter, then their averages. Advances i past them.
    std::size_t whole_groups(Cascade4& filter, T* x, std::uint8_t* tags, std::size_t n, std::size_t& i) {
        constexpr std::size_t kBatch = 256;
        double sums[kBatch];
        const std::size_t groups = n / factor_;
        std::size_t out = 0;
        for (std::size_t first = 0; first < groups; first += kBatch) {
            const std::size_t k = std::min(kBatch, groups - first);
            filter.sum_groups(x + i, k, factor_, sums);
            for (std::size_t j = 0; j < k; ++j) {
                i += factor_;
                sum_ = sums[j];
                emit(x, tags, out++, i - 1);
            }
        }
        return out;
    }

    // Writes the finished group's average at `out`; the group ended at input
    // `last`, whose tag it takes. out <= last, so in-place writing is safe.
    void emit(T* x, std::uint8_t* tags, std::size_t out, std::size_t last) {
        x[out] = static_cast<T>(sum_ / static_cast<double>(factor_));
        if (tags) tags[out] = tags[last];
        sum_ = 0.0;
        count_ = 0;
    }

    std::uint32_t factor_ = 1;
    double sum_ = 0.0;
    std::uint32_t count_ = 0;
};

// Keeps the last of every `factor` samples (the factor-th, 2*factor-th, ...),
// carrying the position within the current group between blocks.
template <typename T>
class Decimator {
public:
    void set_factor(std::uint32_t factor) {
        factor_ = factor;
        reset();
    }
    std::uint32_t factor() const { return factor_; }
    std::uint32_t pending() const { return phase_; }
    void reset() { phase_ = 0; }

    std::size_t process(T* x, std::uint8_t* tags, std::size_t n) {
        if (factor_ == 1) return n;
        std::size_t out = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (++phase_ < factor_) continue;
            phase_ = 0;
            x[out] = x[i];
            if (tags) tags[out] = tags[i];
            ++out;
        }
        return out;
    }

private:
    std::uint32_t factor_ = 1;
    std::uint32_t phase_ = 0;
};

// out = gain * y + offset in the stream's sample type: the coefficients are
// rounded to T once, so a float stream does float arithmetic here.
template <typename T>
void calibrate(const T* y, T* out, std::size_t n, double gain, double offset) {
    const T g = static_cast<T>(gain), o = static_cast<T>(offset);
    for (std::size_t i = 0; i < n; ++i) out[i] = y[i] * g + o;
}

// a * b, or the largest uint64 if that overflows.
inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return a * b;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;
    return s < a ? std::numeric_limits<std::uint64_t>::max() : s;
}

}  // namespace zo::dsp

#endif  // ZO_VIRTUAL_DSP_HPP
