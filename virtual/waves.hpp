// Logic levels of the digital ports over instrument time.
//
// Instrument time is the absolute sample index. A Wave gives the level of a
// port at every index as a pure function of the index, so any range can be
// rendered, and triggers found, in any order and from any thread.
//
// Square waves use a 64-bit phase accumulator: phase(n) = phase0 +
// (n - origin) * step, modulo 2^64, with step = (frequency / samplerate) *
// 2^64. Unsigned wrap-around is exactly the modulo, so the phase never drifts
// and the level at index n is the same however it was reached.
#ifndef ZOPY_VIRTUAL_WAVES_HPP
#define ZOPY_VIRTUAL_WAVES_HPP

#include <cstdint>
#include <optional>

namespace zo {

// Turns a fraction of a cycle in [0, 1] into a 64-bit phase; 1 and above
// saturate to the largest phase.
uint64_t phase_of_fraction(double fraction);

// The phase advance of (num / den) cycles, modulo one cycle, rounded up:
// exact for integers, so waves whose period is a whole number of samples
// change level on exactly the right sample, period after period.
uint64_t phase_step(uint64_t num, uint64_t den);
// The same for real ratios such as frequency / samplerate: exact whenever
// both scale to integers by a small power of two, else rounded up.
uint64_t phase_of_ratio(double num, double den);

class Wave {
public:
    static Wave constant(bool level);
    // High while phase(n) < high_span, low otherwise.
    static Wave square(uint64_t step, uint64_t high_span, uint64_t phase0, uint64_t origin);
    // High on [start, end), low elsewhere.
    static Wave pulse(uint64_t start, uint64_t end);

    bool level(uint64_t n) const;
    bool is_constant() const { return kind_ == Kind::Constant; }

    // The first index m in (n, limit) with level(m) != level(n).
    std::optional<uint64_t> next_change(uint64_t n, uint64_t limit) const;

private:
    enum class Kind { Constant, Square, Pulse };
    uint64_t phase(uint64_t n) const { return phase0_ + (n - origin_) * step_; }
    std::optional<uint64_t> next_square_change(uint64_t n, uint64_t limit) const;

    Kind kind_ = Kind::Constant;
    bool level_ = false;
    uint64_t step_ = 0, span_ = 0, phase0_ = 0, origin_ = 0;  // square
    uint64_t start_ = 0, end_ = 0;                              // pulse
};

// What a trigger mode waits for on its port.
enum class Condition { Always, Rising, Falling, High, Low };

// The first index in [from, limit) where `cond` holds on `wave`. An edge at
// n means level(n) differs from level(n - 1); index 0 is never an edge.
std::optional<uint64_t> find_condition(const Wave& wave, Condition cond, uint64_t from,
                                       uint64_t limit);

// ORs `bit` into out[i] for every i in [0, count) where wave.level(first + i).
void or_level_bits(const Wave& wave, uint16_t bit, uint64_t first, uint64_t count, uint16_t* out);

}  // namespace zo

#endif  // ZOPY_VIRTUAL_WAVES_HPP
