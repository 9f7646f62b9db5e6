// Built without floating-point contraction: each element rounds after the
// multiplication and again after the addition, exactly as numpy's
// `raw * m + b` does in two steps, so both give the same bits.
#include "zopy.hpp"

#include <cstring>

#if defined(_MSC_VER)
#pragma fp_contract(off)   // no fused multiply-add, as -ffp-contract=off elsewhere
#endif

namespace zopy {

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__APPLE__)
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
void calibrate_uint16(const uint16_t* raw, double* out, npy_intp n, double m, double b,
                      uint16_t keep) {
    for (npy_intp i = 0; i < n; ++i) {
        double product = static_cast<double>(raw[i] & keep) * m;
        out[i] = product + b;
    }
}

// The codes of indices [m, n), with m = ceil(n / 4), lie in bytes [2m, 2n),
// below the bytes [8m, 8n) of their results and above the codes still
// waiting: one forward pass does them, and what remains is the same problem
// for the first m codes. A last handful is set aside and done at once.
void calibrate_uint16_in_place(double* buffer, npy_intp n, double m, double b, uint16_t keep) {
    const auto* codes = reinterpret_cast<const uint16_t*>(buffer);
    constexpr npy_intp kLast = 16;
    while (n > kLast) {
        npy_intp done_below = (n + 3) / 4;
        calibrate_uint16(codes + done_below, buffer + done_below, n - done_below, m, b, keep);
        n = done_below;
    }
    uint16_t last[kLast];
    std::memcpy(last, codes, static_cast<size_t>(n) * sizeof(uint16_t));
    calibrate_uint16(last, buffer, n, m, b, keep);
}

}  // namespace zopy
