// Every frame of an utterance: its energy, mean removal, pre-emphasis,
// Hamming window, 512-point FFT and mel filter bank, on the straightforward
// path one operation after another, on the fast path several frames at once
// in SIMD lanes.
#include <algorithm>
#include <cmath>

#include "energy_track.h"
#include "fast_front_end.h"
#include "feature.h"

float frameEnergyDb(double sumOfSquares) {
  const float lg = static_cast<float>(std::log10(sumOfSquares / 320.0));
  return lg * 10.0f;
}

namespace {

// Writes the energies the track gives into frameEng.
struct FillEnergies {
  float* energies;
  void operator()(int from, int to, float energy) const { std::fill(energies + from, energies + to, energy); }
};

}  // namespace

void FEATURE::FastFrameAnalysis(const std::int16_t* samples, float* cep,
                                fast_front_end::StepTimes* times) {
  const fast_front_end::FrontEndChoice& choice = fast_front_end::frontEndChoice(
      settings.frontEnd == FrontEnd::kStraightforward ? FrontEnd::kBaseline : settings.frontEnd);
  const int lanes = choice.lanes;
  static_assert(sizeof(melBand[0]) == sizeof(double[kNumFilters + 1]), "rows of 25 doubles");
  std::array<double, fast_front_end::avx512::kLanes> sums;
  EnergyTrack energies;
  const FillEnergies fill{frameEng.data()};
  for (int first = 0; first < totalFrame; first += lanes) {
    const int count = std::min(lanes, totalFrame - first);
    const fast_front_end::Kernel kernel = fast_front_end::kernelForGroup(choice, count).kernel;
    double(*rows)[kNumFilters + 1] = reinterpret_cast<double(*)[kNumFilters + 1]>(melBand[first].data());
    kernel(*fastTables, samples, first, count, sums.data(), rows,
           cep + static_cast<std::ptrdiff_t>(first) * kCepDim, times);
    for (int l = 0; l < count; ++l) energies.add(first + l, sums[l], fill);
  }
  energies.finish(totalFrame, fill);
}

int FEATURE::MelBandMagnitude(const std::int16_t* samples) {
  if (totalFrame <= 0) return 1;
  std::array<float, kFrameLength> frame;
  std::array<Complex_, kFftLength + 1> spectrum;  // element 0 unused
  EnergyTrack energies;
  const FillEnergies fill{frameEng.data()};

  for (int i = 0; i < totalFrame; ++i) {
    const std::int16_t* in = samples + static_cast<std::ptrdiff_t>(i) * kFrameShift;
    for (int j = 0; j < kFrameLength; ++j) frame[j] = in[j];

    energies.add(i, sumOfSquares(frame.data()), fill);
    SubDC(frame.data());
    PreEmphasis(frame.data());
    Haming_window(frame.data());
    frameSpectrum(frame.data(), spectrum.data());
    melBandsOfSpectrum(spectrum.data(), melBand[i].data());
  }

  energies.finish(totalFrame, fill);
  return 1;
}

// Energy of the raw samples: squares in single precision, summed in double.
double FEATURE::sumOfSquares(const float* frame) const {
  double sum = 0.0;
  for (int j = 0; j < kFrameLength; ++j) {
    const float square = frame[j] * frame[j];
    sum += square;
  }
  return sum;
}

// The frame, zero-padded to 512 points, through the FFT (one-based).
void FEATURE::frameSpectrum(const float* frame, Complex_* spectrum) {
  for (int k = 1; k <= kFftLength; ++k) spectrum[k] = Complex_{0.0, 0.0};
  for (int j = 0; j < kFrameLength; ++j) spectrum[j + 1].re = frame[j];
  fft(1, kFftLength, spectrum);
}

// Bins 1..255 (not DC, not 8 kHz, not the mirror half) split their
// magnitude between filters idx and idx + 1; the share toward the
// non-existent filters 0 and 25 is dropped. Sums of linear magnitudes, in
// double, in increasing bin order.
void FEATURE::melBandsOfSpectrum(const Complex_* spectrum, double* band) const {
  std::fill(band + 1, band + kNumFilters + 1, 0.0);
  for (int k = 1; k < kFftBins; ++k) {
    const double re = spectrum[k + 1].re;
    const double im = spectrum[k + 1].im;
    const float magnitude = static_cast<float>(std::sqrt(re * re + im * im));
    const int idx = filterIdx[k];
    const float lower = static_cast<float>(magnitude * filterWeight[k]);
    if (idx > 0) band[idx] += lower;
    if (idx < kNumFilters) band[idx + 1] += magnitude - lower;
  }
}

// Mean removal: the mean in double, each difference rounded to single.
void FEATURE::SubDC(float* frame) {
  double sum = 0.0;
  for (int j = 0; j < kFrameLength; ++j) sum += frame[j];
  const double mean = sum / 320.0;
  for (int j = 0; j < kFrameLength; ++j) {
    frame[j] = static_cast<float>(frame[j] - mean);
  }
}

// y[j] = x[j] - 0.95 x[j-1] in single precision, from the end backwards so
// that x[j-1] is still unchanged; y[0] = x[0] (1 - 0.95).
void FEATURE::PreEmphasis(float* frame) {
  for (int j = kFrameLength - 1; j >= 1; --j) {
    const float previous = frame[j - 1] * kPreEmphasis;
    frame[j] = frame[j] - previous;
  }
  frame[0] = frame[0] * kFirstSampleEmphasis;
}

// Products formed in double, rounded to single.
void FEATURE::Haming_window(float* frame) {
  for (int j = 0; j < kFrameLength; ++j) {
    frame[j] = static_cast<float>(frame[j] * hamWin[j]);
  }
}
