// The fast frame-analysis kernel for AVX2: four frames at a time. Compiled
// with -mavx2 (never with FMA contraction); called only where the processor
// has AVX2.
#include <immintrin.h>

#include <time.h>

#include <cmath>

#include "fast_front_end.h"

namespace fast_front_end {
namespace avx2 {
namespace {

typedef double vd __attribute__((vector_size(kLanes * sizeof(double))));
typedef float vf __attribute__((vector_size(kLanes * sizeof(float))));

inline vd vsqrt(vd x) { return (vd)_mm256_sqrt_pd((__m256d)x); }
inline vd widen(vf x) { return (vd)_mm256_cvtps_pd((__m128)x); }
inline vf narrow(vd x) { return (vf)_mm256_cvtpd_ps((__m256d)x); }

}  // namespace
}  // namespace avx2
}  // namespace fast_front_end

#define KERNEL_LANES 4
#define KERNEL_NAMESPACE avx2
#include "frame_kernel.inc"
