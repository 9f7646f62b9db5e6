// The instrument's signal model: photodiode, amplifier, antialias filter, ADC
// and the digital port bits, rendered as raw 16-bit sample words.
//
// Raw word at sample index n (normal conversion):
//     code(n) = offset + G * R(lambda) * (P1 * (1 + d * sin(2 pi f n / fs)) - P2)
//               + sigma * noise(n)
// sigma combines the independent white noise terms (electronic, shot noise
// of each photodiode, the laser's intensity noise after the balanced
// subtraction) into one Gaussian of their summed variance, which is exactly
// the distribution of their sum; see noise_sigma() in signal.cpp.
//     word(n) = clamp(round(code(n)), 0, 16383) | S(n) << 14 | T(n) << 15
// G is the amplifier gain in ADC counts per uW at peak responsivity, R the
// relative responsivity, P2 only counts on a balanced unit. With the
// antialias filter on, the modulation passes through the filter's response
// and the noise comes from a filtered copy of the noise table.
//
// Everything is a pure function of n and the settings captured in a
// SignalPlan, so a plan renders any range of indices, from any thread, and
// always gives the same words for the same index.
#ifndef ZOPY_VIRTUAL_SIGNAL_HPP
#define ZOPY_VIRTUAL_SIGNAL_HPP

#include "waves.hpp"
#include "zo.h"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace zo {

// ------------------------------------------------------------ front end model
namespace model {
constexpr int kAdcMaxCode = 16383;             // 14-bit ADC
constexpr double kAdcFullScaleVolts = 2.0;     // input range 0..2 V
constexpr double kCountsPerVolt = 16384.0 / kAdcFullScaleVolts;
constexpr double kTiaHighGain = 10e3;          // V/A
constexpr double kTiaLowGain = 1e3;            // V/A
constexpr double kPeakAmpsPerWatt = 1.0;       // InGaAs at its peak
// ADC counts per uW at peak responsivity: 81.92 (high), 8.192 (low).
constexpr double kHighGainCounts = kPeakAmpsPerWatt * kTiaHighGain * 1e-6 * kCountsPerVolt;
constexpr double kLowGainCounts = kPeakAmpsPerWatt * kTiaLowGain * 1e-6 * kCountsPerVolt;
constexpr double kOffsetSingle = 200.0;        // dark level of a single-diode unit
constexpr double kOffsetBalanced = 8192.0;     // P1 - P2 = 0 sits mid-scale
constexpr double kNoiseHighGain = 2.5;         // counts rms before the filter
constexpr double kNoiseLowGain = 1.5;
constexpr double kNoisePowerdown = 0.5;
constexpr double kMonitorVoltsPerUw = 1e-3;    // P1/P2 monitor outputs: 1 V/mW
constexpr double kAntialiasFraction = 0.1;     // cutoff = base rate / 10
constexpr double kPortClockHz = 200e6;         // port timing clock, 5 ns
constexpr uint64_t kDefaultSeed = 1;
constexpr double kPlanck = 6.62607015e-34;     // J s
constexpr double kLightSpeed = 299792458.0;    // m/s
constexpr double kRinOff = -std::numeric_limits<double>::infinity();  // dB/Hz
constexpr double kDefaultCmrrDb = 30.0;        // balanced units
// The light the model takes. Up to 1 kW on each photodiode (full scale is
// 200 uW in high gain) the mean, the modulation and the noise of every term
// stay far inside float range, so codes clip at full scale instead of turning
// into NaN; shorter than 1 nm, a photon's energy would drive the shot noise
// past that range. RIN above 0 dB/Hz and a negative rejection have no meaning.
constexpr double kMaxPowerUw = 1e9;
constexpr double kMinWavelengthNm = 1.0;
constexpr double kMaxRinDbHz = 0.0;
constexpr double kMinCmrrDb = 0.0;

double counts_per_uw(bool highgain);
double offset_counts(bool balanced);
}  // namespace model

// Relative responsivity of the InGaAs photodiode: 1.0 at peak_nm, a smooth
// rise from the short-wavelength edge and a steep fall at the long one,
// exactly 0 outside the band. `nm` must be finite and positive.
double relative_responsivity(double nm, int peak_nm);
struct Band {
    double low_nm, peak_nm, high_nm;
};
Band responsivity_band(int peak_nm);

// The ADC's PN9 test pattern: 14-bit words cut from the x^9 + x^5 + 1
// sequence (b[k] = 1 for k < 9, b[k] = b[k-9] ^ b[k-5]), word i holding bits
// b[14i] .. b[14i+13], the first bit as bit 13. The words repeat every 73.
constexpr int kPn9Period = 73;
const std::array<uint16_t, kPn9Period>& pn9_words();

// What the ADC puts out.
enum class Pattern { Normal, Pn9, Checkerboard, User };

// Port S or T as the sample bits see it. `digital` false: the port carries
// an analog monitor, its bit is 0 and no trigger on it can fire.
struct PortSignal {
    Wave wave;
    bool digital = true;
};

struct NoiseTable;    // unit-variance noise, raw or filtered
struct PhasorTable;   // cos/sin of the modulation over one render block

// Everything needed to render samples, captured from the instrument's state.
struct SignalPlan {
    uint32_t samplerate = 0;
    bool adcclock = true;
    Pattern pattern = Pattern::Normal;
    uint16_t user_word = 0;
    uint64_t pattern_origin = 0;  // index of PN9 word 0 / first checkerboard word

    float base = 0;          // offset + mean signal, counts
    float mod_amplitude = 0; // counts
    uint64_t mod_step = 0;   // 64-bit phase per sample
    double mod_phase = 0;    // radians, the filter's phase shift
    float noise_sigma = 0;   // counts rms of the table's values
    uint64_t seed = model::kDefaultSeed;
    std::shared_ptr<const NoiseTable> noise;
    std::shared_ptr<const PhasorTable> phasors;

    PortSignal s, t;

    // Raw words for indices [first, first + count).
    void render(uint64_t first, uint64_t count, uint16_t* out) const;

private:
    void render_normal(uint64_t first, uint64_t count, uint16_t* out, uint16_t bits) const;
    void render_pattern(uint64_t first, uint64_t count, uint16_t* out, uint16_t bits) const;
    void or_port_bits(uint64_t first, uint64_t count, uint16_t* out) const;
};

// Inputs of make_plan(): the instrument's optical input and settings.
struct PlanInputs {
    bool balanced = false;
    int peak_nm = 1550;
    uint32_t base_samplerate = 0;
    uint32_t samplerate = 0;
    double p1_uw = 0, p2_uw = 0, wavelength_nm = 1550;
    double modulation_hz = 0, modulation_depth = 0;
    bool noise = true;
    uint64_t seed = model::kDefaultSeed;
    double rin_db_hz = model::kRinOff, cmrr_db = model::kDefaultCmrrDb;
    bool highgain = true, antialias = true, powerdown = false, adcclock = true;
    Pattern pattern = Pattern::Normal;
    uint16_t user_word = 0;
    uint64_t pattern_origin = 0;
    PortSignal s, t;
};

std::shared_ptr<const SignalPlan> make_plan(const PlanInputs& in);

}  // namespace zo

#endif  // ZOPY_VIRTUAL_SIGNAL_HPP
