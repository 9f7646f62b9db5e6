// Built without floating-point contraction: each element rounds after the
// multiplication and again after the addition, exactly as numpy's
// `raw * m + b` does in two steps, so both give the same bits.
#include "zopy.hpp"

#if defined(_MSC_VER)
#pragma fp_contract(off)   // no fused multiply-add, as -ffp-contract=off elsewhere
#endif

namespace zopy {

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__APPLE__)
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
void calibrate_uint16(const uint16_t* raw, double* out, npy_intp n, double m, double b) {
    for (npy_intp i = 0; i < n; ++i) {
        double product = static_cast<double>(raw[i]) * m;
        out[i] = product + b;
    }
}

}  // namespace zopy
