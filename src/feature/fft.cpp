// The radix-2 FFT that frame analysis runs on every frame.
#include <cmath>
#include <utility>

#include "feature.h"
#include "fft_steps.h"

namespace fft_steps {

int log2OfPowerOfTwo(int n) {
  if (n < 1 || (n & (n - 1)) != 0) return -1;
  int stages = 0;
  while ((1 << stages) < n) ++stages;
  return stages;
}

Stage stageOf(int s, int direction) {
  Stage stage;
  stage.span = static_cast<int>(std::pow(2.0, s));
  stage.h = static_cast<int>(stage.span * 0.5);
  const double theta = kPi15 / stage.h;
  stage.wr = std::cos(theta);
  stage.wi = -direction * std::sin(theta);
  return stage;
}

}  // namespace fft_steps

// Decimation in time on x[1..n]: bit-reversal reordering, then log2(n)
// butterfly stages (nine for the 512 points of frame analysis). The twiddle
// factors come from a recurrence that starts at (1, 0) in every stage and is
// advanced by one complex multiplication per butterfly group, with the angle
// from the 15-digit pi: both are part of the result's last bits.
void FEATURE::fft(int direction, int n, Complex_* x) {
  const int stages = fft_steps::log2OfPowerOfTwo(n);
  if (stages < 0) return;
  fft_steps::forEachBitReversalExchange(n, [x](int i, int j) { std::swap(x[i], x[j]); });

  for (int s = 1; s <= stages; ++s) {
    const fft_steps::Stage stage = fft_steps::stageOf(s, direction);
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
