#include "waves.hpp"

#include <algorithm>
#include <cmath>

namespace zo {

uint64_t phase_of_fraction(double fraction) {
    if (!(fraction > 0.0)) return 0;
    if (fraction >= 1.0) return UINT64_MAX;
    return static_cast<uint64_t>(fraction * 18446744073709551616.0);
}

uint64_t phase_step(uint64_t num, uint64_t den) {
    // Binary long division of (num mod den) * 2^64 by den.
    uint64_t r = num % den, q = 0;
    for (int i = 0; i < 64; ++i) {
        const bool carry = (r >> 63) != 0;
        r <<= 1;
        q <<= 1;
        if (carry || r >= den) {
            r -= den;
            q |= 1;
        }
    }
    return q + (r != 0 ? 1 : 0);
}

uint64_t phase_of_ratio(double num, double den) {
    constexpr double kLimit = 18446744073709551615.0;
    for (int k = 0; k <= 24; ++k) {
        const double n = std::ldexp(num, k), d = std::ldexp(den, k);
        if (d >= 1 && n >= 0 && n < kLimit && d < kLimit && n == std::floor(n) && d == std::floor(d))
            return phase_step(uint64_t(n), uint64_t(d));
    }
    const double f = num / den;
    const uint64_t p = phase_of_fraction(f - std::floor(f));
    return p == UINT64_MAX ? p : p + 1;  // rounded up, as phase_step
}

Wave Wave::constant(bool level) {
    Wave w;
    w.level_ = level;
    return w;
}

Wave Wave::square(uint64_t step, uint64_t high_span, uint64_t phase0, uint64_t origin) {
    // A wave that never moves is a constant: keeps the fast paths simple.
    if (step == 0 || high_span == 0) return constant(step == 0 ? phase0 < high_span : false);
    Wave w;
    w.kind_ = Kind::Square;
    w.step_ = step;
    w.span_ = high_span;
    w.phase0_ = phase0;
    w.origin_ = origin;
    return w;
}

Wave Wave::pulse(uint64_t start, uint64_t end) {
    if (end <= start) return constant(false);
    Wave w;
    w.kind_ = Kind::Pulse;
    w.start_ = start;
    w.end_ = end;
    return w;
}

bool Wave::level(uint64_t n) const {
    switch (kind_) {
    case Kind::Constant: return level_;
    case Kind::Square: return phase(n) < span_;
    case Kind::Pulse: return n >= start_ && n < end_;
    }
    return false;
}

std::optional<uint64_t> Wave::next_change(uint64_t n, uint64_t limit) const {
    switch (kind_) {
    case Kind::Constant: return std::nullopt;
    case Kind::Square: return next_square_change(n, limit);
    case Kind::Pulse: {
        uint64_t m = n < start_ ? start_ : (n < end_ ? end_ : limit);
        if (m >= limit) return std::nullopt;
        return m;
    }
    }
    return std::nullopt;
}

// Steps from event to event: the phase either crosses high_span (high to
// low) or wraps past 2^64 (low to high). When a whole high or low part fits
// between two samples (a wave near or above the sample rate), the level can
// stay the same across an event, so the loop continues until it changes.
std::optional<uint64_t> Wave::next_square_change(uint64_t n, uint64_t limit) const {
    uint64_t ph = phase(n);
    const bool was = ph < span_;
    uint64_t m = n;
    while (m < limit) {
        uint64_t to_wrap = ~ph / step_ + 1;  // first j with ph + j*step >= 2^64
        uint64_t j = to_wrap;
        if (ph < span_) j = std::min(j, (span_ - ph - 1) / step_ + 1);
        if (j >= limit - m) return std::nullopt;
        m += j;
        ph += j * step_;
        if ((ph < span_) != was) return m;
    }
    return std::nullopt;
}

namespace {

bool wanted_level(Condition cond) { return cond == Condition::Rising || cond == Condition::High; }

bool is_edge(Condition cond) { return cond == Condition::Rising || cond == Condition::Falling; }

}  // namespace

std::optional<uint64_t> find_condition(const Wave& wave, Condition cond, uint64_t from,
                                       uint64_t limit) {
    if (from >= limit) return std::nullopt;
    if (cond == Condition::Always) return from;
    const bool want = wanted_level(cond);
    bool now = wave.level(from);
    if (now == want && (!is_edge(cond) || (from > 0 && wave.level(from - 1) != want)))
        return from;
    // Every change point is an edge into the new level.
    uint64_t m = from;
    while (auto next = wave.next_change(m, limit)) {
        m = *next;
        now = !now;
        if (now == want) return m;
    }
    return std::nullopt;
}

void or_level_bits(const Wave& wave, uint16_t bit, uint64_t first, uint64_t count, uint16_t* out) {
    const uint64_t end = first + count;
    uint64_t n = first;
    bool high = wave.level(n);
    while (n < end) {
        uint64_t m = wave.next_change(n, end).value_or(end);
        if (high)
            for (uint64_t i = n; i < m; ++i) out[i - first] |= bit;
        n = m;
        high = !high;
    }
}

}  // namespace zo
