#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>

namespace audio {

namespace {

constexpr double kPi = 3.141592653589793;  // the double nearest pi
constexpr double kBeta = 6.2;              // the Kaiser window's shape: about 65 dB down
// Every phase's taps are kept while they fit this many; beyond (rates whose
// ratio to 16 kHz has a large denominator, as 44,101 Hz with 16,000
// phases), each output's taps are computed as it needs them.
constexpr std::size_t kMostTableTaps = std::size_t{1} << 20;

// sin(pi r) = r (c0 + r^2 (c1 + r^2 (c2 + ...))) and cos(pi r) = d0 + r^2
// (d1 + ...) for |r| <= 1/4: the Taylor coefficients (-1)^k pi^(2k+1) /
// (2k+1)! and (-1)^k pi^(2k) / (2k)!, each the double nearest its exact
// value.
constexpr double kSinCoefficients[10] = {3.141592653589793,     -5.16771278004997,      2.5501640398773455,
                                         -0.5992645293207921,   0.08214588661112823,    -0.0073704309457143504,
                                         0.00046630280576761255, -2.1915353447830217e-05, 7.952054001475513e-07,
                                         -2.2948428997269873e-08};
constexpr double kCosCoefficients[10] = {1.0,                    -4.934802200544679,     4.0587121264167685,
                                         -1.3352627688545895,    0.2353306303588932,     -0.02580689139001406,
                                         0.0019295743094039231,  -0.0001046381049248457, 4.303069587032947e-06,
                                         -1.3878952462213771e-07};

double horner(const double (&c)[10], double r2) {
  double p = c[9];
  for (int k = 8; k >= 0; --k) p = p * r2 + c[k];
  return p;
}

struct Design {
  double c = 0;   // cut-off, cycles per input sample
  double half = 0;  // H, input samples
};

Design designFor(int rate) {
  Design d;
  double df;
  if (rate > kTargetRate) {
    d.c = 7500.0 / rate;
    df = 1000.0 / rate;
  } else {
    d.c = 0.46875;
    df = 0.0625;
  }
  d.half = 57.05 / (9.14 * kPi * df);
  return d;
}

std::uint64_t gcd(std::uint64_t a, std::uint64_t b) { return std::gcd(a, b); }

}  // namespace

double sinPi(double x) {
  // x = 2m + r exactly, r in [-1, 1]; then r folded into [-1/2, 1/2]
  // (sin(pi r) = sin(pi (1 - r))), all exact in double.
  double r = x - 2.0 * std::nearbyint(x * 0.5);
  if (r > 0.5) {
    r = 1.0 - r;
  } else if (r < -0.5) {
    r = -1.0 - r;
  }
  const double a = std::fabs(r);
  if (a <= 0.25) return r * horner(kSinCoefficients, r * r);
  const double s = 0.5 - a;  // sin(pi a) = cos(pi (1/2 - a)), exact
  const double v = horner(kCosCoefficients, s * s);
  return r < 0 ? -v : v;
}

double besselI0(double x) {
  // The sum of ((x/2)^k / k!)^2 for k = 0 .. 31, in that order; each term
  // from the one before it.
  const double q = x * x * 0.25;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k < 32; ++k) {
    term = term * q / static_cast<double>(k * k);
    sum += term;
  }
  return sum;
}

namespace {

// h(u) for a design, with I0(beta) given (the same value whoever computes it).
double tap(const Design& d, double i0Beta, double u) {
  if (std::fabs(u) >= d.half) return 0.0;
  const double twoC = 2.0 * d.c;
  const double y = twoC * u;
  const double sinc = y == 0.0 ? 1.0 : sinPi(y) / (kPi * y);
  const double r = u / d.half;
  const double window = besselI0(kBeta * std::sqrt(1.0 - r * r)) / i0Beta;
  return twoC * sinc * window;
}

}  // namespace

double tapFunction(int rate, double u) { return tap(designFor(rate), besselI0(kBeta), u); }

void dotStraightforward(const float* const* x, const float* const* h, int taps, int count, float* out) {
  for (int j = 0; j < count; ++j) {
    float s[8] = {};
    for (int i = 0; i < taps; ++i) {
      const float product = x[j][i] * h[j][i];
      s[i % 8] = s[i % 8] + product;
    }
    out[j] = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  }
}

Resampler::Resampler(int rate, DotKernel kernel) : rate_(rate), kernel_(kernel != nullptr ? kernel : dotStraightforward) {
  if (rate < kLowestRate || rate > kHighestRate || rate == kTargetRate) {
    throw std::invalid_argument("a rate of " + std::to_string(rate) + " Hz, where 8000 to 192000 Hz (not 16000) is converted");
  }
  const std::uint64_t g = gcd(static_cast<std::uint64_t>(rate), kTargetRate);
  up_ = kTargetRate / g;
  down_ = static_cast<std::uint64_t>(rate) / g;
  const Design d = designFor(rate);
  half_ = static_cast<int>(std::ceil(d.half));
  taps_ = (2 * half_ + 1 + 7) / 8 * 8;
  if (up_ * static_cast<std::uint64_t>(taps_) > kMostTableTaps) return;
  // A corpus is mostly of one or a few rates: their tables are made once.
  static std::mutex made;
  static std::map<int, std::shared_ptr<const std::vector<float>>> tables;
  const std::lock_guard<std::mutex> lock(made);
  std::shared_ptr<const std::vector<float>>& shared = tables[rate];
  if (!shared) {
    auto table = std::make_shared<std::vector<float>>(up_ * static_cast<std::uint64_t>(taps_));
    for (std::uint64_t p = 0; p < up_; ++p) computeTaps(p, table->data() + p * static_cast<std::uint64_t>(taps_));
    shared = std::move(table);
  }
  table_ = shared;
}

void Resampler::computeTaps(std::uint64_t p, float* taps) const {
  const Design d = designFor(rate_);
  const double i0Beta = besselI0(kBeta);
  for (int i = 0; i < taps_; ++i) {
    const double u = static_cast<double>(p) / static_cast<double>(up_) + static_cast<double>(half_ - i);
    taps[i] = static_cast<float>(tap(d, i0Beta, u));
  }
}

const float* Resampler::phaseTaps(std::uint64_t p, std::vector<float>& scratch) const {
  if (table_) return table_->data() + p * static_cast<std::uint64_t>(taps_);
  scratch.resize(static_cast<std::size_t>(taps_));
  computeTaps(p, scratch.data());
  return scratch.data();
}

std::uint64_t Resampler::outputCount(std::uint64_t n) const { return (n * up_ + down_ - 1) / down_; }

std::uint64_t Resampler::outputsWithin(std::int64_t n) const {
  // Output k reads up to floor(k M / L) - C + K - 1, which is below n while
  // floor(k M / L) <= a = n + C - K, that is while k M < (a + 1) L.
  const std::int64_t a = n + half_ - taps_;
  if (a < 0) return 0;
  return ((static_cast<std::uint64_t>(a) + 1) * up_ + down_ - 1) / down_;
}

std::int64_t Resampler::firstInput(std::uint64_t k) const {
  return static_cast<std::int64_t>(k * down_ / up_) - half_;
}

void Resampler::convert(const float* x, std::int64_t start, std::size_t count, std::int64_t total, std::uint64_t k0,
                        std::uint64_t k1, std::vector<float>& out) const {
  // Outputs in groups of kDotGroup, each with its taps and its inputs (in
  // place, or copied with the zeros outside the recording).
  std::vector<float> taps[kDotGroup], windows[kDotGroup];
  const std::int64_t end = start + static_cast<std::int64_t>(count);
  const std::size_t first = out.size();
  out.resize(first + static_cast<std::size_t>(k1 - k0));
  const float* in[kDotGroup];
  const float* h[kDotGroup];
  // q = k M as its quotient and remainder by L, stepped from output to
  // output (the same integers as the divisions).
  std::uint64_t whole = k0 * down_ / up_, phase = k0 * down_ % up_;
  const float* const table = table_ ? table_->data() : nullptr;
  const std::uint64_t wholeStep = down_ / up_, phaseStep = down_ % up_;
  for (std::uint64_t k = k0; k < k1; k += kDotGroup) {
    const int group = static_cast<int>(std::min<std::uint64_t>(kDotGroup, k1 - k));
    for (int j = 0; j < group; ++j) {
      h[j] = table != nullptr ? table + phase * static_cast<std::uint64_t>(taps_) : phaseTaps(phase, taps[j]);
      const std::int64_t n0 = static_cast<std::int64_t>(whole) - half_;
      whole += wholeStep;
      phase += phaseStep;
      if (phase >= up_) {
        phase -= up_;
        ++whole;
      }
      if (n0 >= start && n0 + taps_ <= end && n0 >= 0 && n0 + taps_ <= total) {
        in[j] = x + (n0 - start);
        continue;
      }
      std::vector<float>& window = windows[j];
      window.resize(static_cast<std::size_t>(taps_));
      for (int i = 0; i < taps_; ++i) {
        const std::int64_t n = n0 + i;
        if (n < 0 || n >= total) {
          window[static_cast<std::size_t>(i)] = 0.0f;
        } else if (n < start || n >= end) {
          throw std::logic_error("Resampler::convert: sample " + std::to_string(n) + " is not among the inputs");
        } else {
          window[static_cast<std::size_t>(i)] = x[n - start];
        }
      }
      in[j] = window.data();
    }
    kernel_(in, h, taps_, group, out.data() + first + (k - k0));
  }
}

StreamResampler::StreamResampler(int rate, DotKernel kernel, std::uint64_t first)
    : resampler_(rate, kernel),
      keptStart_(std::max<std::int64_t>(0, resampler_.firstInput(first))),
      received_(keptStart_),
      next_(first) {}

void StreamResampler::accept(const float* x, std::size_t count, std::vector<float>& out) {
  kept_.insert(kept_.end(), x, x + count);
  received_ += static_cast<std::int64_t>(count);
  // Outputs whose every sample is in (and that a recording of this length
  // already has).
  const std::uint64_t known = resampler_.outputCount(static_cast<std::uint64_t>(received_));
  const std::uint64_t last = std::max(next_, std::min(known, resampler_.outputsWithin(received_)));
  if (last > next_) {
    resampler_.convert(kept_.data(), keptStart_, kept_.size(), received_, next_, last, out);
    next_ = last;
  }
  // What no later output reads is let go (in large steps).
  const std::int64_t needed = std::max<std::int64_t>(0, resampler_.firstInput(next_));
  if (needed - keptStart_ > static_cast<std::int64_t>(kept_.size() / 2) && needed > keptStart_) {
    kept_.erase(kept_.begin(), kept_.begin() + (needed - keptStart_));
    keptStart_ = needed;
  }
}

void StreamResampler::finish(std::vector<float>& out) {
  const std::uint64_t last = resampler_.outputCount(static_cast<std::uint64_t>(received_));
  if (last > next_) resampler_.convert(kept_.data(), keptStart_, kept_.size(), received_, next_, last, out);
  next_ = last;
  kept_.clear();
}

}  // namespace audio
