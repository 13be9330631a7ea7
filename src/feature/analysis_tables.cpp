// Analysis tables built once per run (mel filter-bank map, Hamming window)
// and the radix-2 FFT that frame analysis runs on every frame.
#include <algorithm>
#include <cmath>
#include <utility>

#include "feature.h"

namespace {

// 31.25 Hz per bin over the 700 Hz of the mel formula, in single precision
// (0.0446428582072258).
constexpr float kBinOver700 = 0.04464286f;

// Angle step of the symmetric 320-point window: 2 * pi / 319 with the
// 15-digit pi, in double precision.
constexpr double kWindowStep = 2.0 * kPi15 / 319.0;

// log2(n) for a power of two n >= 1, or -1 for any other n.
int log2OfPowerOfTwo(int n) {
  if (n < 1 || (n & (n - 1)) != 0) return -1;
  int stages = 0;
  while ((1 << stages) < n) ++stages;
  return stages;
}

// Calls exchange(i, j) for every exchange of the FFT's bit-reversal
// reordering of elements 1..n, in the order the usual counter pair drives
// them: 0-based position p trades places with p's bits reversed.
template <typename Exchange>
void forEachBitReversalExchange(int n, Exchange exchange) {
  if (n <= 1) return;
  const int half = static_cast<int>(n * 0.5);
  int j = 1;
  for (int i = 1;;) {
    int m = half;
    while (m < j) {
      j -= m;
      m = static_cast<int>(m * 0.5);
    }
    ++i;
    if (i == n) break;
    j += m;
    if (j > i) exchange(i, j);
  }
}

// Step factor of the twiddle recurrence of stage s: the angle pi / h from
// the 15-digit pi, h = 2^s / 2.
struct Stage {
  int span;
  int h;
  double wr;
  double wi;

  // The next butterfly group's twiddle factor: one complex multiplication
  // by the step factor, both parts from the old values.
  void advance(double& ur, double& ui) const {
    const double nextUr = wr * ur - wi * ui;
    const double nextUi = wi * ur + wr * ui;
    ur = nextUr;
    ui = nextUi;
  }
};

Stage fftStage(int s, int direction) {
  Stage stage;
  stage.span = static_cast<int>(std::pow(2.0, s));
  stage.h = static_cast<int>(stage.span * 0.5);
  const double theta = kPi15 / stage.h;
  stage.wr = std::cos(theta);
  stage.wi = -direction * std::sin(theta);
  return stage;
}

// The fast frame analysis reads the same tables, and the twiddle factors and
// bit-reversal positions that the FFT derives on every call, computed here
// once by the very same recurrence and exchanges.
fast_front_end::Tables fastTablesOf(const FEATURE& f) {
  fast_front_end::Tables t{};
  for (int i = 0; i < kFrameLength; ++i) t.hamWin[i] = f.hamWin[i];
  for (int k = 0; k < kFftBins; ++k) {
    t.filterIdx[k] = f.filterIdx[k];
    t.filterWeight[k] = f.filterWeight[k];
  }
  for (int n = 0; n < kCepDim; ++n) {
    for (int k = 0; k <= kNumFilters; ++k) t.tcos[n][k] = FEATURE::tcos[n][k];
  }

  for (int s = 1; s <= 9; ++s) {
    const Stage stage = fftStage(s, 1);
    double ur = 1.0;
    double ui = 0.0;
    for (int j = 1; j <= stage.h; ++j) {
      t.twiddleRe[stage.h - 2 + j] = ur;
      t.twiddleIm[stage.h - 2 + j] = ui;
      stage.advance(ur, ui);
    }
  }

  std::array<int, kFftLength + 1> sampleAt{};  // which sample each element holds
  for (int k = 1; k <= kFftLength; ++k) sampleAt[k] = k - 1;
  forEachBitReversalExchange(kFftLength, [&](int i, int j) { std::swap(sampleAt[i], sampleAt[j]); });
  for (int k = 1; k <= kFftLength; ++k) t.sampleAt[k] = std::min(sampleAt[k], kFrameLength);
  return t;
}

}  // namespace

void FEATURE::ini_fea_para() {
  SetFilterBanks(filterWeight.data());
  GetHammingWindow();
  fastTables = fastTablesOf(*this);
}

void FEATURE::doInitial() { ini_fea_para(); }

// mel(f) = 1127 ln(1 + f / 700) for f = (k - 1) * 31.25 Hz: the ratio and the
// sum in single precision, the logarithm and the scaling in double.
float FEATURE::Mel(int k) {
  const float ratio = static_cast<float>(k - 1) * kBinOver700;
  const float arg = ratio + 1.0f;
  return static_cast<float>(1127.0 * std::log(static_cast<double>(arg)));
}

// Filter j (1..24) is the triangle centred on boundary m[j] with feet m[j-1]
// and m[j+1]; the 25 boundaries split 0..8000 Hz evenly on the mel scale.
// Each bin feeds the two filters whose centres bracket it.
void FEATURE::SetFilterBanks(double* weight) {
  const float melMax = Mel(kFftBins + 1);
  std::array<float, kNumFilters + 2> bound{};  // m[0] = 0 .. m[25] = melMax
  for (int j = 1; j <= kNumFilters + 1; ++j) {
    bound[j] = (static_cast<float>(j) / 25.0f) * melMax;
  }

  int j = 0;
  for (int k = 0; k < kFftBins; ++k) {
    const float b = Mel(k + 1);
    // Bins are never more than one boundary spacing apart, so the index
    // advances by at most one step per bin. The comparison is strict: a bin
    // on a boundary stays with the lower index.
    if (b > bound[j + 1]) ++j;
    filterIdx[k] = j;
    float share;
    if (j >= 1) {
      share = (bound[j + 1] - b) / (bound[j + 1] - bound[j]);
    } else {
      share = (bound[1] - b) / bound[1];
    }
    weight[k] = share;
  }
}

// Symmetric Hamming window 0.54 - 0.46 cos(2 pi i / 319), each value rounded
// to single precision.
void FEATURE::GetHammingWindow() {
  for (int i = 0; i < kFrameLength; ++i) {
    const double w = 0.54 - 0.46 * std::cos(i * kWindowStep);
    hamWin[i] = static_cast<float>(w);
  }
}

// Decimation in time on x[1..n]: bit-reversal reordering, then log2(n)
// butterfly stages (nine for the 512 points of frame analysis). The twiddle
// factors come from a recurrence that starts at (1, 0) in every stage and is
// advanced by one complex multiplication per butterfly group, with the angle
// from the 15-digit pi: both are part of the result's last bits.
void FEATURE::fft(int direction, int n, Complex_* x) {
  const int stages = log2OfPowerOfTwo(n);
  if (stages < 0) return;
  forEachBitReversalExchange(n, [x](int i, int j) { std::swap(x[i], x[j]); });

  for (int s = 1; s <= stages; ++s) {
    const Stage stage = fftStage(s, direction);
    double ur = 1.0;
    double ui = 0.0;
    for (int j = 1; j <= stage.h; ++j) {
      for (int i = j; i <= n; i += stage.span) {
        const int p = i + stage.h;
        const double tr = x[p].re * ur - x[p].im * ui;
        const double ti = x[p].re * ui + x[p].im * ur;
        x[p].re = x[i].re - tr;
        x[p].im = x[i].im - ti;
        x[i].re = x[i].re + tr;
        x[i].im = x[i].im + ti;
      }
      stage.advance(ur, ui);
    }
  }

  if (direction == -1) {
    const double scale = n;
    for (int i = 1; i <= n; ++i) {
      x[i].re /= scale;
      x[i].im /= scale;
    }
  }
}
