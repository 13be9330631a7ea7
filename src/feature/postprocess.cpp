// Post-processing of the cepstral records: cepstral mean normalisation,
// delta regression, assembly of the 39-value vectors, and mean-variance
// normalisation with ARMA smoothing.
#include <cmath>
#include <vector>

#include "feature.h"

// Means in double over all rows, differences rounded to single. C0 is
// normalised like c1..c12.
void FEATURE::CMN_New(float* cep, int n) { removeColumnMeans(cep, n, kCepDim); }

void FEATURE::removeColumnMeans(float* rows, int n, int columns) {
  if (n <= 0) return;
  std::vector<double> mean(static_cast<std::size_t>(columns));
  for (int j = 0; j < columns; ++j) {
    double sum = 0.0;
    for (int t = 0; t < n; ++t) sum += rows[t * columns + j];
    mean[static_cast<std::size_t>(j)] = sum / n;
  }
  for (int t = 0; t < n; ++t) {
    for (int j = 0; j < columns; ++j) {
      float& value = rows[t * columns + j];
      value = static_cast<float>(value - mean[static_cast<std::size_t>(j)]);
    }
  }
}

// delta[t] = (1 (x[t+1] - x[t-1]) + 2 (x[t+2] - x[t-2])) / 10 in single
// precision, each product and sum rounded, the lag-1 term first; indices
// outside 0..n-1 are clamped to the first or last row.
void FEATURE::getDeltaCep_New(int n, const float* in, float* out) { deltaRegression(n, kCepDim, in, out); }

void FEATURE::deltaRegression(int n, int columns, const float* in, float* out) {
  for (int t = 0; t < n; ++t) {
    for (int j = 0; j < columns; ++j) {
      float sum = 0.0f;
      for (int k = 1; k <= 2; ++k) {
        const int lower = t - k < 0 ? 0 : t - k;
        const int upper = t + k > n - 1 ? n - 1 : t + k;
        const float difference = in[upper * columns + j] - in[lower * columns + j];
        sum = sum + static_cast<float>(k) * difference;
      }
      out[t * columns + j] = sum / 10.0f;
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
//
// The 39 columns are independent, so each loop walks the rows once and
// advances all columns together; within a column the operations and their
// order are exactly those of one column at a time.
void FEATURE::MVN(float* out, int n) {
  if (n <= 0) return;
  const auto row = [out](int t) { return out + static_cast<std::ptrdiff_t>(t) * kOutDim; };

  std::array<double, kOutDim> sum{};
  std::array<double, kOutDim> sumOfSquares{};
  for (int t = 0; t < n; ++t) {
    const float* x = row(t);
    for (int d = 0; d < kOutDim; ++d) {
      const float square = x[d] * x[d];
      sum[d] += x[d];
      sumOfSquares[d] += square;
    }
  }
  // A column without spread is divided by 1, which leaves it exactly as
  // centred.
  std::array<double, kOutDim> mean;
  std::array<double, kOutDim> divisor;
  for (int d = 0; d < kOutDim; ++d) {
    mean[d] = sum[d] / n;
    const double variance = sumOfSquares[d] / n - mean[d] * mean[d];
    const float deviation = static_cast<float>(std::sqrt(variance));
    divisor[d] = deviation > 0.0f ? deviation : 1.0;
  }

  for (int t = 0; t < n; ++t) {
    float* y = row(t);
    for (int d = 0; d < kOutDim; ++d) {
      const double centred = y[d] - mean[d];
      y[d] = static_cast<float>(centred / divisor[d]);
    }
  }

  if (n <= 4) return;
  for (int t = 2; t <= n - 3; ++t) {
    const float* before2 = row(t - 2);
    const float* before1 = row(t - 1);
    const float* after1 = row(t + 1);
    const float* after2 = row(t + 2);
    float* y = row(t);
    for (int d = 0; d < kOutDim; ++d) {
      const double neighbours =
          ((static_cast<double>(after1[d]) + before1[d]) + after2[d]) + before2[d];
      const float rounded = static_cast<float>(neighbours);
      y[d] = (rounded + y[d]) / 5.0f;
    }
  }
}
