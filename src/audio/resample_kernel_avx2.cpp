// The resampler's sums in AVX2 lanes (compiled with -mavx2; called only
// where the processor has AVX2).
#define DOT_NAME dotAvx2
#include "resample_kernel.inc"
