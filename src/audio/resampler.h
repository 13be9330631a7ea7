// The conversion of a recording at another sample rate to 16 kHz, defined
// bit for bit so that every machine, C library and front end gives the same
// samples (the README's "Conversion of recordings" states it for another
// implementation to follow):
//
//   T = 16000, g = gcd(S, T), L = T / g, M = S / g.
//   Cut-off fc and transition width df: for S > T, fc = 7500 Hz and
//   df = 1000 Hz; for S < T, fc = 0.46875 S and df = 0.0625 S. In cycles
//   per input sample c = fc / S, d = df / S (doubles).
//   Half-length H = 57.05 / (9.14 pi d) input samples, C = ceil(H), and K =
//   2 C + 1 rounded up to a multiple of 8 taps.
//   Tap i (0 <= i < K) of phase p (0 <= p < L): u = p / L + (C - i); zero
//   when |u| >= H, else h = 2c sinc(2c u) I0(beta sqrt(1 - (u / H)^2)) /
//   I0(beta), beta = 6.2, all in double (sinc and I0 evaluated as
//   tapFunction states), rounded once to single precision.
//   Output k (0 <= k < ceil(N T / S) for N input samples): q = k M,
//   p = q mod L, n0 = floor(q / L) - C; y = the sum over i of
//   x[n0 + i] h_p[i] (x zero outside 0 .. N - 1), in single precision: each
//   product rounded, and added in increasing i into partial sum i mod 8
//   (each starting at 0); then ((s0 + s1) + (s2 + s3)) + ((s4 + s5) +
//   (s6 + s7)).
//
// The input values are floats in the 16-bit scale (see ChannelReader); the
// outputs are the floats y, rounded to 16 bits by toInt16.
#ifndef AUDIO_RESAMPLER_H
#define AUDIO_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace audio {

constexpr int kTargetRate = 16000;
constexpr int kLowestRate = 8000;
constexpr int kHighestRate = 192000;

// sin(pi x) and I0(x), by the project's own evaluation (argument reduction
// and fixed polynomials or series in double, no library function): the
// same bits on every machine.
double sinPi(double x);
double besselI0(double x);

// The tap function h(u) of a conversion from rate (u in input samples).
double tapFunction(int rate, double u);

// A value of the 16-bit scale to 16 bits: to nearest, ties to even,
// clipped to -32768 .. 32767 (clipped counts the clipped ones).
inline std::int16_t toInt16(double value, std::uint64_t& clipped) {
  // Rounded first, to nearest with ties to even, then clipped: 32767.4 is
  // 32767 and -32768.5 is -32768, neither of them clipped. Within +-2^51,
  // adding 1.5 * 2^52 leaves an integer of the same parity, rounded as
  // nearbyint rounds in the default mode (without its call).
  constexpr double kShift = 6755399441055744.0;
  const double rounded = value > -65536.0 && value < 65536.0 ? (value + kShift) - kShift : value;
  if (!(rounded >= -32768.0)) {  // NaN clips too
    ++clipped;
    return -32768;
  }
  if (rounded > 32767.0) {
    ++clipped;
    return 32767;
  }
  return static_cast<std::int16_t>(rounded);
}


// The kernels that sum products of taps and samples (8 partial sums, as
// defined above) for count <= kDotGroup outputs: out[j] from x[j] and h[j],
// taps a multiple of 8. Every kernel gives the same bits.
constexpr int kDotGroup = 4;
using DotKernel = void (*)(const float* const* x, const float* const* h, int taps, int count, float* out);
void dotStraightforward(const float* const* x, const float* const* h, int taps, int count, float* out);
void dotBaseline(const float* const* x, const float* const* h, int taps, int count, float* out);
void dotAvx2(const float* const* x, const float* const* h, int taps, int count, float* out);

class Resampler {
 public:
  // rate: 8000 .. 192000, not 16000. kernel: null for the straightforward
  // one. Throws std::invalid_argument for a rate out of range.
  explicit Resampler(int rate, DotKernel kernel = nullptr);

  int rate() const { return rate_; }
  // Output samples of n input samples: ceil(n T / S).
  std::uint64_t outputCount(std::uint64_t n) const;
  // The first input sample output k reads (it reads taps() of them).
  std::int64_t firstInput(std::uint64_t k) const;
  int taps() const { return taps_; }
  // How many outputs, from the first, read only input samples below n.
  std::uint64_t outputsWithin(std::int64_t n) const;

  // Outputs k0 .. k1 - 1 of a recording of total input samples, from the
  // inputs x[0 .. count - 1] that stand for samples start .. start + count
  // - 1; they must cover every sample these outputs read that lies in
  // 0 .. total - 1 (those outside are zero). Appended to out.
  void convert(const float* x, std::int64_t start, std::size_t count, std::int64_t total, std::uint64_t k0,
               std::uint64_t k1, std::vector<float>& out) const;

 private:
  const float* phaseTaps(std::uint64_t p, std::vector<float>& scratch) const;
  void computeTaps(std::uint64_t p, float* taps) const;

  int rate_;
  std::uint64_t up_ = 1, down_ = 1;  // L and M
  int half_ = 0;                     // C
  int taps_ = 0;                     // K
  // Every phase's taps when they fit kMostTableTaps, made once per rate
  // in a process and shared; otherwise each output's taps are computed by
  // the same rule as it needs them.
  std::shared_ptr<const std::vector<float>> table_;
  DotKernel kernel_;
};

// The streaming form: samples of any chunking in, the same outputs as
// Resampler::convert of the whole recording out, each as soon as every
// sample it reads is in.
// It may begin at any output: outputs first, first + 1, ... from the input
// samples from firstInput(first) on (from 0 when that is negative).
class StreamResampler {
 public:
  explicit StreamResampler(int rate, DotKernel kernel = nullptr, std::uint64_t first = 0);
  // The index of the first input sample it is to be given.
  std::int64_t inputStart() const { return keptStart_; }
  void accept(const float* x, std::size_t count, std::vector<float>& out);
  // No more input: the outputs that read past its end.
  void finish(std::vector<float>& out);
  std::uint64_t outputs() const { return next_; }  // the next output
  std::uint64_t outputCount(std::uint64_t n) const { return resampler_.outputCount(n); }

 private:
  Resampler resampler_;
  std::vector<float> kept_;   // input samples from kept start on
  std::int64_t keptStart_ = 0;
  std::int64_t received_ = 0;
  std::uint64_t next_ = 0;    // the next output
};

}  // namespace audio

#endif  // AUDIO_RESAMPLER_H
