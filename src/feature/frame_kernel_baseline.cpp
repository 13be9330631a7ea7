// The fast frame-analysis kernel for the baseline instruction set: two
// frames at a time (SSE2 on x86-64, plain code elsewhere).
#include <time.h>

#include <cmath>

#include "fast_front_end.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fast_front_end {
namespace baseline {
namespace {

typedef double vd __attribute__((vector_size(kLanes * sizeof(double))));
typedef float vf __attribute__((vector_size(kLanes * sizeof(float))));

inline vd vsqrt(vd x) {
#if defined(__SSE2__)
  return (vd)_mm_sqrt_pd((__m128d)x);
#else
  return vd{__builtin_sqrt(x[0]), __builtin_sqrt(x[1])};
#endif
}

inline vd widen(vf x) { return __builtin_convertvector(x, vd); }
inline vf narrow(vd x) { return __builtin_convertvector(x, vf); }

}  // namespace
}  // namespace baseline
}  // namespace fast_front_end

#define KERNEL_LANES 2
#define KERNEL_NAMESPACE baseline
#include "frame_kernel.inc"
