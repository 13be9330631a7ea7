// The fast frame-analysis kernel for AVX-512: eight frames at a time.
// Compiled with -mavx512f (never with FMA contraction); called only where
// the processor has AVX-512F.
#include <immintrin.h>

#include <time.h>

#include <cmath>

#include "fast_front_end.h"

namespace fast_front_end {
namespace avx512 {
namespace {

typedef double vd __attribute__((vector_size(kLanes * sizeof(double))));
typedef float vf __attribute__((vector_size(kLanes * sizeof(float))));

// (The masked forms with every lane selected avoid an undefined source
// operand that draws a warning from the compiler's own header.)
inline vd vsqrt(vd x) { return (vd)_mm512_mask_sqrt_pd((__m512d)x, 0xFF, (__m512d)x); }
inline vd widen(vf x) { return (vd)_mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, (__m256)x); }
inline vf narrow(vd x) {
  return (vf)_mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, (__m512d)x);
}

}  // namespace
}  // namespace avx512
}  // namespace fast_front_end

#define KERNEL_LANES 8
#define KERNEL_NAMESPACE avx512
#include "frame_kernel.inc"
