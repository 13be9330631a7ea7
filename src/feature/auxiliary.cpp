// Auxiliary routines of the extractor that the batch pipeline does not call:
// long-term-average spectral subtraction, band energy contour and energy
// deltas, the earlier delta and mean routines, and two utilities.
#include <cmath>

#include "feature.h"

namespace {

// Two-frame regression inside the track, one-step differences toward the
// inside at both ends, in single precision. get(t) reads value t of the
// input; set(t, v) writes value t of the output. n >= 3.
template <typename Get, typename Set>
void edgeDifferenceDeltas(int n, Get get, Set set) {
  set(0, get(1) - get(0));
  set(1, get(2) - get(1));
  if (n >= 5) {
    for (int t = 2; t <= n - 3; ++t) {
      float sum = 0.0f;
      sum += get(t + 1) - get(t - 1);
      sum += 2.0f * (get(t + 2) - get(t - 2));
      set(t, sum / 10.0f);
    }
  }
  // Written last: for n = 3 and 4 these replace the values above.
  set(n - 2, get(n - 2) - get(n - 3));
  set(n - 1, get(n - 1) - get(n - 2));
}

// The earlier routines read one character per value from standard input,
// whatever it is (the pause after "Error" reads only from a terminal).
void waitForKey() { readOneCharacter(); }

}  // namespace

// Each filter loses 0.9 times its mean power over the utterance, floored at
// 0.1 times the frame's own power; the values are magnitudes (square roots
// of powers). All in double precision.
void FEATURE::LTA222() {
  const int n = totalFrame;
  std::array<double, kNumFilters + 1> meanPower{};
  for (int k = 1; k <= kNumFilters; ++k) {
    double sum = 0.0;
    for (int t = 0; t < n; ++t) sum += melBand[t][k] * melBand[t][k];
    meanPower[k] = sum / static_cast<double>(n);
  }
  for (int t = 0; t < n; ++t) {
    for (int k = 1; k <= kNumFilters; ++k) {
      const double c = melBand[t][k];
      const double power = c * c;
      melBand[t][k] = power > meanPower[k] ? std::sqrt(power - 0.9 * meanPower[k])
                                           : std::sqrt(0.1 * power);
    }
  }
}

// Filters 6..24 only; no floor (a zero sum gives minus infinity).
void FEATURE::EnergyContour(float* result, const double* row) {
  double sum = 0.0;
  for (int k = 6; k <= kNumFilters; ++k) sum += row[k];
  *result = static_cast<float>(std::log10(sum)) * 10.0f;
}

void FEATURE::getDDEng(int n, const float* e, float* d, float* a) {
  edgeDifferenceDeltas(n, [e](int t) { return e[t]; }, [d](int t, float v) { d[t] = v; });
  a[0] = d[1] - d[0];
  for (int t = 1; t <= n - 2; ++t) a[t] = d[t + 1] - d[t - 1];
  a[n - 1] = d[n - 1] - d[n - 2];
}

void FEATURE::getDeltaCep(int n, const float* in, float* out) {
  for (int j = 0; j < kNumCeps; ++j) {
    edgeDifferenceDeltas(
        n, [in, j](int t) { return in[t * kCepDim + j]; },
        [out, j](int t, float v) { out[t * kCepDim + j] = v; });
  }
  for (int t = 0; t < n; ++t) {
    for (int j = 0; j < kNumCeps; ++j) {
      say("t=%d D=%d f=%f\n", t, j, static_cast<double>(out[t * kCepDim + j]));
      waitForKey();
    }
  }
}

// The means come from rows first..end-1 and are divided by the divisor,
// converted to single precision and then to double; they are subtracted
// from rows 0..divisor+63 whatever the range.
void FEATURE::CMN(float* cep, int first, int end, int divisor) {
  std::array<double, kNumCeps> mean{};
  const double count = static_cast<double>(static_cast<float>(divisor));
  for (int j = 0; j < kNumCeps; ++j) {
    double sum = 0.0;
    for (int t = first; t < end; ++t) sum += cep[t * kCepDim + j];
    mean[j] = sum / count;
  }
  for (int t = 0; t <= divisor + 63; ++t) {
    for (int j = 0; j < kNumCeps; ++j) {
      float& value = cep[t * kCepDim + j];
      value = static_cast<float>(value - mean[j]);
      waitForKey();
    }
  }
}

std::int32_t FEATURE::filesize(std::FILE* stream) {
  const long position = std::ftell(stream);
  std::fseek(stream, 0, SEEK_END);
  const long length = std::ftell(stream);
  std::fseek(stream, position, SEEK_SET);
  return static_cast<std::int32_t>(length);
}
