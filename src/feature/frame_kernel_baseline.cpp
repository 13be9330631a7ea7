// The fast frame-analysis kernel for the baseline instruction set: two
// frames at a time (SSE2 on x86-64, plain code elsewhere).
#include <cmath>

#include "fast_front_end.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fast_front_end {
namespace baseline {
namespace {

typedef double vd2 __attribute__((vector_size(2 * sizeof(double))));

inline vd2 vsqrt(vd2 x) {
#if defined(__SSE2__)
  return (vd2)_mm_sqrt_pd((__m128d)x);
#else
  return vd2{__builtin_sqrt(x[0]), __builtin_sqrt(x[1])};
#endif
}

}  // namespace
}  // namespace baseline
}  // namespace fast_front_end

#define KERNEL_NAMESPACE baseline
#include "frame_kernel.inc"
