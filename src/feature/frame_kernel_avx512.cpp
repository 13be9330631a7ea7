// The fast frame-analysis kernel for AVX-512: eight frames at a time.
// Compiled with -mavx512f (never with FMA contraction); called only where
// the processor has AVX-512F.
#include <immintrin.h>

#include <cmath>

#include "fast_front_end.h"

namespace fast_front_end {
namespace avx512 {
namespace {

typedef double vd8 __attribute__((vector_size(8 * sizeof(double))));

// (The masked form with every lane selected avoids an undefined source
// operand that draws a warning from the compiler's own header.)
inline vd8 vsqrt(vd8 x) { return (vd8)_mm512_mask_sqrt_pd((__m512d)x, 0xFF, (__m512d)x); }

}  // namespace
}  // namespace avx512
}  // namespace fast_front_end

#define KERNEL_NAMESPACE avx512
#include "frame_kernel.inc"
