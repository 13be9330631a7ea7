// The steps of the radix-2 FFT that the fast frame analysis takes over as
// tables: the bit-reversal exchanges and each stage's twiddle recurrence.
// The FFT and the tables use this one description, so their bits agree.
#ifndef FEATURE_FFT_STEPS_H
#define FEATURE_FFT_STEPS_H

namespace fft_steps {

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

// The step factor of stage s (1-based) for direction 1 (forward) or -1.
Stage stageOf(int s, int direction);

// log2(n) for a power of two n >= 1, or -1 for any other n.
int log2OfPowerOfTwo(int n);

}  // namespace fft_steps

#endif  // FEATURE_FFT_STEPS_H
