// The numbers of the analysis, fixed for every run: frame geometry,
// capacities and the constants whose single- or double-precision value is
// part of the output. The straightforward path and every SIMD kernel read
// them from here.
#ifndef FEATURE_ANALYSIS_CONSTANTS_H
#define FEATURE_ANALYSIS_CONSTANTS_H

// Frame geometry and capacities, fixed for every run.
constexpr int kSampleRate = 16000;
constexpr int kFrameLength = 320;    // 20 ms at 16 kHz
constexpr int kFrameShift = 160;     // 10 ms at 16 kHz
constexpr int kFftLength = 512;      // frame zero-padded; bins of 31.25 Hz
constexpr int kFftBins = 256;        // lower half of the spectrum, bins 0..255
constexpr int kNumFilters = 24;      // triangular mel filters, numbered 1..24
constexpr int kNumCeps = 12;         // c1..c12
constexpr int kCepDim = 13;          // c1..c12, then C0
constexpr int kOutDim = 39;          // record, deltas, delta-deltas
constexpr int kMaxSamples = 1440000; // 90 s; later samples are ignored
constexpr int kMaxFrames = 9000;     // capacity of melBand (8,999 used at most)
constexpr int kEnergyCapacity = 27000;
constexpr int kPathCapacity = 512;   // path and name buffers: 511 characters
constexpr int kDirCapacity = 256;    // directory strings: 255 characters

// The 15-digit value of pi used by the FFT and the Hamming window. It is not
// M_PI, and the difference shows in the last bits of every spectrum.
constexpr double kPi15 = 3.14159265358979;

// Pre-emphasis y[j] = x[j] - 0.95 x[j-1], in single precision; the first
// sample of a frame is multiplied by 1 - 0.95 evaluated in single precision
// (0.050000011920928955), as if it were preceded by itself.
constexpr float kPreEmphasis = 0.95f;
constexpr float kFirstSampleEmphasis = 1.0f - 0.95f;

// sqrt(2 / 24) as a single-precision constant; the cepstra use it widened to
// double (0.28867512941360474), C0 in single precision.
constexpr float kDctScale = 0.28867513f;

// pi / 22 rounded to single precision (0.14279966056346893): the lifter's
// angles are formed in single precision from this value.
constexpr float kLifterStep = 0.14279966f;

#endif  // FEATURE_ANALYSIS_CONSTANTS_H
