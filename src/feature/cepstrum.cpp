// From the filter-bank outputs of every frame to its cepstral record: the
// natural logarithms, the DCT with the listed cosine table (c1..c12) and the
// sum behind C0, then the sine lifter of c1..c12.
#include <array>
#include <cmath>

#include "feature.h"

void FEATURE::DCT(float* cep) {
  for (int f = 0; f < totalFrame; ++f) {
    std::array<double, kNumFilters + 1>& band = melBand[f];
    for (int k = 1; k <= kNumFilters; ++k) {
      if (band[k] < 1.0) band[k] = 1.0;
      band[k] = std::log(band[k]);
    }

    float* record = cep + static_cast<std::ptrdiff_t>(f) * kCepDim;
    for (int n = 1; n <= kNumCeps; ++n) {
      double sum = 0.0;
      for (int k = 1; k <= kNumFilters; ++k) {
        sum += static_cast<double>(tcos[n][k]) * band[k];
      }
      record[n - 1] = static_cast<float>(sum * static_cast<double>(kDctScale));
    }

    // C0: the sum of the log outputs, rounded to single precision after
    // every addition, then scaled in single precision.
    float c0 = 0.0f;
    for (int k = 1; k <= kNumFilters; ++k) {
      c0 = static_cast<float>(c0 + band[k]);
    }
    record[kNumCeps] = c0 * kDctScale;
  }
}

// c_n *= 1 + 11 sin(n pi / 22) for n = 1..12; the angle in single precision
// from the single-precision pi / 22, the factor in double rounded to single,
// the product in single. C0 is not liftered.
namespace {

// The twelve factors, computed once: the same values for every record.
std::array<float, kNumCeps> lifterFactors() {
  std::array<float, kNumCeps> factor;
  for (int n = 1; n <= kNumCeps; ++n) {
    const float angle = static_cast<float>(n) * kLifterStep;
    factor[n - 1] = static_cast<float>(1.0 + 11.0 * std::sin(static_cast<double>(angle)));
  }
  return factor;
}

}  // namespace

void FEATURE::CEPLIFTER(int count) {
  static const std::array<float, kNumCeps> factor = lifterFactors();
  for (int r = 0; r < count; ++r) {
    float* record = cepData.data() + static_cast<std::ptrdiff_t>(r) * kCepDim;
    for (int n = 0; n < kNumCeps; ++n) record[n] = record[n] * factor[n];
  }
}
