// The fast front end: the frame analysis of MelBandMagnitude and the DCT for
// several frames at once, one frame per SIMD lane. Every lane performs
// exactly the operations of the straightforward path, in the same order and
// with the same roundings, so the results are the same bits; the speed comes
// from the lanes, from twiddle factors and bit-reversal positions computed
// once instead of per frame, and from leaving out operations whose operand
// is known to be exactly zero where that cannot change a non-zero result.
#ifndef FEATURE_FAST_FRONT_END_H
#define FEATURE_FAST_FRONT_END_H

#include <cstdint>

#include "analysis_constants.h"
#include "resampler.h"

enum class FrontEnd;

namespace fast_front_end {

constexpr int kTwiddles = 511;  // stage with half-span h: entries h-1 .. 2h-2

// Everything the kernel reads, built once from the extractor's tables.
struct Tables {
  double hamWin[kFrameLength];
  std::int32_t filterIdx[kFftBins];
  double filterWeight[kFftBins];
  // The FFT's twiddle factors, exactly as its recurrence produces them for
  // the forward transform: stage s (half-span h = 2^(s-1)), butterfly group
  // j = 1..h uses entry h - 2 + j.
  double twiddleRe[kTwiddles];
  double twiddleIm[kTwiddles];
  // The frame sample that one-based FFT element k holds after the
  // bit-reversal reordering, or 320 for the zero padding (elements whose
  // sample would be 320..511).
  std::int32_t sampleAt[kFftLength + 1];
  float tcos[kCepDim][kNumFilters + 1];
};

// Seconds spent in each step of the kernel, for the benchmark.
struct StepTimes {
  enum Step { kLoad, kEnergy, kPrepare, kFft, kFilterBank, kCepstra, kSteps };
  double seconds[kSteps] = {};
};

// Analyses frames first .. first + count - 1 of the samples (count at most
// the kernel's lane count): for each, the sum of squares of its samples into
// energySums[i], the natural logarithms of its 24 filter outputs (floored at
// 0) into slots 1..24 of melBand[i], and its record c1..c12, C0 (not
// liftered) into cep[13 i ..]. With times given, adds the time of each step.
using KernelFunction = void(const Tables& tables, const std::int16_t* samples, int first, int count,
                            double* energySums, double (*melBand)[kNumFilters + 1], float* cep, StepTimes* times);
using Kernel = KernelFunction*;

// The kernels of the instruction sets, each built from frame_kernel.inc.
namespace baseline {
constexpr int kLanes = 2;
KernelFunction analyseFrames;
}  // namespace baseline
namespace avx2 {
constexpr int kLanes = 4;
KernelFunction analyseFrames;
}  // namespace avx2
namespace avx512 {
constexpr int kLanes = 8;
KernelFunction analyseFrames;
}  // namespace avx512

// A row of the front-end table: its name and help for --front-end, and the
// kernel with its lane count (null for kFastest, which resolves to another
// row, and for the straightforward path).
struct FrontEndChoice {
  FrontEnd frontEnd;
  const char* name;
  const char* help;
  Kernel kernel;
  int lanes;
  audio::DotKernel resample;  // the resampler's sums (the same bits on every row)
};
// The row that runs for frontEnd on this processor (resolved: never kFastest,
// never a kernel the processor lacks).
const FrontEndChoice& frontEndChoice(FrontEnd frontEnd);
// The kernel for a group of count frames, fewer than chosen's lanes: the
// narrowest supported one no wider than chosen that takes them in one call
// (a wide kernel costs as much for one frame as for all its lanes).
const FrontEndChoice& kernelForGroup(const FrontEndChoice& chosen, int count);

}  // namespace fast_front_end

#endif  // FEATURE_FAST_FRONT_END_H
