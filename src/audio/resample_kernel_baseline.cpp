// The resampler's sums in the target's base vectors.
#define DOT_NAME dotBaseline
#include "resample_kernel.inc"
