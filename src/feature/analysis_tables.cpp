// Analysis tables built once per run: the mel filter-bank map, the Hamming
// window, and the tables of the fast frame analysis.
#include <algorithm>
#include <cmath>
#include <utility>

#include "fast_front_end.h"
#include "feature.h"
#include "fft_steps.h"

namespace {

// 31.25 Hz per bin over the 700 Hz of the mel formula, in single precision
// (0.0446428582072258).
constexpr float kBinOver700 = 0.04464286f;

// Angle step of the symmetric 320-point window: 2 * pi / 319 with the
// 15-digit pi, in double precision.
constexpr double kWindowStep = 2.0 * kPi15 / 319.0;

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
    const fft_steps::Stage stage = fft_steps::stageOf(s, 1);
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
  fft_steps::forEachBitReversalExchange(kFftLength, [&](int i, int j) { std::swap(sampleAt[i], sampleAt[j]); });
  for (int k = 1; k <= kFftLength; ++k) t.sampleAt[k] = std::min(sampleAt[k], kFrameLength);
  return t;
}

}  // namespace

void FEATURE::ini_fea_para() {
  SetFilterBanks(filterWeight.data());
  GetHammingWindow();
  fastTables = std::make_shared<const fast_front_end::Tables>(fastTablesOf(*this));
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
