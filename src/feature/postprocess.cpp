// Post-processing of the cepstral records: cepstral mean normalisation,
// delta regression, assembly of the 39-value vectors, and mean-variance
// normalisation with ARMA smoothing.
#include <cmath>

#include "feature.h"

// Means in double over all rows, differences rounded to single. C0 is
// normalised like c1..c12.
void FEATURE::CMN_New(float* cep, int n) {
  if (n <= 0) return;
  std::array<double, kCepDim> mean{};
  for (int j = 0; j < kCepDim; ++j) {
    double sum = 0.0;
    for (int t = 0; t < n; ++t) sum += cep[t * kCepDim + j];
    mean[j] = sum / n;
  }
  for (int t = 0; t < n; ++t) {
    for (int j = 0; j < kCepDim; ++j) {
      float& value = cep[t * kCepDim + j];
      value = static_cast<float>(value - mean[j]);
    }
  }
}

// delta[t] = (1 (x[t+1] - x[t-1]) + 2 (x[t+2] - x[t-2])) / 10 in single
// precision, each product and sum rounded, the lag-1 term first; indices
// outside 0..n-1 are clamped to the first or last row.
void FEATURE::getDeltaCep_New(int n, const float* in, float* out) {
  for (int t = 0; t < n; ++t) {
    for (int j = 0; j < kCepDim; ++j) {
      float sum = 0.0f;
      for (int k = 1; k <= 2; ++k) {
        const int lower = t - k < 0 ? 0 : t - k;
        const int upper = t + k > n - 1 ? n - 1 : t + k;
        const float difference = in[upper * kCepDim + j] - in[lower * kCepDim + j];
        sum = sum + static_cast<float>(k) * difference;
      }
      out[t * kCepDim + j] = sum / 10.0f;
    }
  }
}

int FEATURE::AssignCepToOutData() {
  for (int t = 0; t < totalFrame; ++t) {
    float* row = outData.data() + t * kOutDim;
    for (int j = 0; j < kCepDim; ++j) {
      row[j] = cepData[t * kCepDim + j];
      row[kCepDim + j] = deltaData[t * kCepDim + j];
      row[2 * kCepDim + j] = accData[t * kCepDim + j];
    }
  }
  return 1;
}

// Statistics in double over all n rows (squares rounded to single before
// they are summed; population variance as mean square minus squared mean),
// the standard deviation rounded to single. A column whose deviation is not
// positive (0, or NaN from a slightly negative computed variance) is only
// centred, so that no vector holds NaN or infinity.
//
// Smoothing, for n >= 5, in place with t rising: y[t] = (y[t-2] + y[t-1] +
// y[t] + y[t+1] + y[t+2]) / 5, where y[t-2] and y[t-1] are already smoothed.
// The four neighbours are summed in double in the order t+1, t-1, t+2, t-2
// and rounded to single; the rest is single precision.
void FEATURE::MVN(float* out, int n) {
  if (n <= 0) return;
  for (int d = 0; d < kOutDim; ++d) {
    double sum = 0.0;
    double sumOfSquares = 0.0;
    for (int t = 0; t < n; ++t) {
      const float x = out[t * kOutDim + d];
      const float square = x * x;
      sum += x;
      sumOfSquares += square;
    }
    const double mean = sum / n;
    const double variance = sumOfSquares / n - mean * mean;
    const float deviation = static_cast<float>(std::sqrt(variance));

    for (int t = 0; t < n; ++t) {
      float& value = out[t * kOutDim + d];
      const double centred = value - mean;
      value = deviation > 0.0f ? static_cast<float>(centred / deviation)
                               : static_cast<float>(centred);
    }

    if (n <= 4) continue;
    for (int t = 2; t <= n - 3; ++t) {
      const auto y = [&](int frame) -> float& { return out[frame * kOutDim + d]; };
      const double neighbours = ((static_cast<double>(y(t + 1)) + y(t - 1)) + y(t + 2)) + y(t - 2);
      const float rounded = static_cast<float>(neighbours);
      y(t) = (rounded + y(t)) / 5.0f;
    }
  }
}
