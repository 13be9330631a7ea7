// The fast frame-analysis kernel for AVX2: four frames at a time. Compiled
// with -mavx2 (never with FMA contraction); called only where the processor
// has AVX2.
#include <immintrin.h>

#include <cmath>

#include "fast_front_end.h"

namespace fast_front_end {
namespace avx2 {
namespace {

typedef double vd4 __attribute__((vector_size(4 * sizeof(double))));

inline vd4 vsqrt(vd4 x) { return (vd4)_mm256_sqrt_pd((__m256d)x); }

}  // namespace
}  // namespace avx2
}  // namespace fast_front_end

#define KERNEL_NAMESPACE avx2
#include "frame_kernel.inc"
