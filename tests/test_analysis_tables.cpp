// The analysis tables (mel filter-bank map, bin shares, Hamming window, the
// listed cosine table) and the FFT.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <complex>

#include "test_support.h"

namespace {

TEST(MelScale, BandEdgesAndOffsetByOneBin) {
  auto f = test::makeExtractor();
  EXPECT_EQ(f->Mel(1), 0.0f);             // bin 0, 0 Hz
  EXPECT_EQ(f->Mel(257), 2840.0378f);     // bin 256, 8000 Hz
  // mel(1000 Hz) = 1127 ln(1 + 1000/700) ~ 999.99; bin 32 is exactly 1000 Hz.
  EXPECT_NEAR(f->Mel(33), 1000.0, 0.05);
}

TEST(FilterBankMap, FirstBinOfEveryIndexAsTabulated) {
  auto f = test::makeExtractor();
  const int firstBin[25] = {0,  3,  6,  8,  12, 15,  19,  23,  28,  34,  39,  46, 53,
                            61, 70, 80, 90, 102, 116, 130, 146, 164, 184, 206, 230};
  for (int index = 0; index <= 24; ++index) {
    const int start = firstBin[index];
    const int end = index < 24 ? firstBin[index + 1] : kFftBins;
    for (int k = start; k < end; ++k) EXPECT_EQ(f->filterIdx[k], index) << "bin " << k;
  }
}

TEST(FilterBankMap, SampleSharesAndTheirPrecision) {
  auto f = test::makeExtractor();
  EXPECT_EQ(f->filterWeight[0], 1.0);
  const struct {
    int bin;
    double share;
  } tabulated[] = {{1, 0.5667158}, {2, 0.1515649}, {3, 0.7530923},
                   {5, 0.0011686}, {32, 0.1973821}, {255, 0.0356986}};
  for (const auto& entry : tabulated) {
    EXPECT_NEAR(f->filterWeight[entry.bin], entry.share, 6e-8) << "bin " << entry.bin;
  }
  for (int k = 0; k < kFftBins; ++k) {
    const double w = f->filterWeight[k];
    EXPECT_EQ(w, static_cast<double>(static_cast<float>(w))) << "bin " << k << " not single";
    EXPECT_GE(w, 0.0);
    EXPECT_LE(w, 1.0);
  }
}

// The shares against the same triangles computed in double precision from the
// mel formula: they agree to single-precision accuracy (1e-5 allows for the
// single-precision boundaries and mel values the table is defined by).
TEST(FilterBankMap, SharesFollowTheTriangles) {
  auto f = test::makeExtractor();
  const auto mel = [](double hz) { return 1127.0 * std::log(1.0 + hz / 700.0); };
  const double melMax = mel(8000.0);
  for (int k = 0; k < kFftBins; ++k) {
    const double b = mel(k * 31.25);
    const int j = f->filterIdx[k];
    const double upper = (j + 1) * melMax / 25.0;
    const double lower = j * melMax / 25.0;
    EXPECT_NEAR(f->filterWeight[k], (upper - b) / (upper - lower), 1e-5) << "bin " << k;
    EXPECT_LE(lower - 1e-3, b) << "bin " << k;
    EXPECT_LE(b, upper + 1e-3) << "bin " << k;
  }
}

TEST(HammingWindow, EndsPeakAndSymmetry) {
  auto f = test::makeExtractor();
  EXPECT_EQ(f->hamWin[0], static_cast<double>(0.08f));
  EXPECT_EQ(f->hamWin[319], static_cast<double>(0.08f));
  EXPECT_NEAR(f->hamWin[159], 0.9999777, 5e-8);
  EXPECT_EQ(f->hamWin[159], f->hamWin[160]);
  for (int i = 0; i < kFrameLength; ++i) {
    EXPECT_EQ(f->hamWin[i], f->hamWin[319 - i]) << i;
    EXPECT_EQ(f->hamWin[i], static_cast<double>(static_cast<float>(f->hamWin[i]))) << i;
    EXPECT_NEAR(f->hamWin[i], 0.54 - 0.46 * std::cos(2.0 * M_PI * i / 319.0), 1e-7) << i;
  }
}

TEST(CosineTable, ListedValuesNotComputedOnes) {
  int offByOneUnit = 0;
  for (int n = 0; n <= 12; ++n) {
    for (int k = 0; k <= 24; ++k) {
      const float listed = FEATURE::tcos[n][k];
      if (n == 0 || k == 0) {
        EXPECT_EQ(listed, 0.0f);
        continue;
      }
      const double exact = std::cos(M_PI * n * (k - 0.5) / 24.0);
      EXPECT_NEAR(listed, exact, 2e-6) << n << "," << k;
      // The correctly rounded six-decimal value, as a single-precision float.
      const float rounded = static_cast<float>(std::round(exact * 1e6) / 1e6);
      if (listed != rounded && !(rounded == 0.0f && listed == 0.0f)) ++offByOneUnit;
    }
  }
  EXPECT_EQ(offByOneUnit, 58);
  EXPECT_EQ(FEATURE::tcos[1][9], 0.442289f);
  EXPECT_EQ(FEATURE::tcos[1][15], -0.321440f);  // correctly rounded: -0.321439
  EXPECT_EQ(FEATURE::tcos[8][20], -0.000001f);
}

// ---- FFT ----

std::vector<Complex_> oneBased(int n) { return std::vector<Complex_>(n + 2, Complex_{0.0, 0.0}); }

TEST(Fft, ImpulseGivesExactOnes) {
  auto f = test::makeExtractor();
  auto x = oneBased(512);
  x[1].re = 1.0;
  f->fft(1, 512, x.data());
  for (int k = 1; k <= 512; ++k) {
    EXPECT_EQ(x[k].re, 1.0) << k;
    EXPECT_EQ(x[k].im, 0.0) << k;
  }
}

TEST(Fft, OnesGiveExactDcAndZeros) {
  auto f = test::makeExtractor();
  auto x = oneBased(512);
  for (int k = 1; k <= 512; ++k) x[k].re = 1.0;
  f->fft(1, 512, x.data());
  EXPECT_EQ(x[1].re, 512.0);
  EXPECT_EQ(x[1].im, 0.0);
  for (int k = 2; k <= 512; ++k) {
    EXPECT_EQ(x[k].re, 0.0) << k;
    EXPECT_EQ(x[k].im, 0.0) << k;
  }
}

TEST(Fft, ElementZeroAndElementsBeyondNAreNeverTouched) {
  auto f = test::makeExtractor();
  for (int n : {512, 64, 8, 2, 1, 0, 3, 100, 511, -4}) {
    auto x = oneBased(std::max(n, 0) + 1);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = Complex_{k + 0.5, -1.0 * k};
    const auto before = x;
    f->fft(1, n, x.data());
    EXPECT_EQ(x[0].re, before[0].re) << n;
    EXPECT_EQ(x[0].im, before[0].im) << n;
    const std::size_t last = x.size() - 1;  // the element after n
    EXPECT_EQ(x[last].re, before[last].re) << n;
    EXPECT_EQ(x[last].im, before[last].im) << n;
    const bool powerOfTwo = n >= 1 && (n & (n - 1)) == 0;
    if (!powerOfTwo) {
      for (std::size_t k = 0; k < x.size(); ++k) {
        EXPECT_EQ(x[k].re, before[k].re) << "length " << n << " changed element " << k;
      }
    }
  }
}

// Against a direct DFT in long double: the 15-digit pi and the twiddle
// recurrence keep the difference around 1e-12 for inputs of magnitude 1.
TEST(Fft, AgreesWithADirectTransformAtEveryPowerOfTwo) {
  auto f = test::makeExtractor();
  for (int n = 1; n <= 512; n *= 2) {
    for (int direction : {1, -1}) {
      auto x = oneBased(n);
      std::vector<std::complex<long double>> input(n);
      for (int m = 0; m < n; ++m) {
        input[m] = {std::sin(0.37 * m + 0.1 * n), std::cos(1.3 * m * m)};
        x[m + 1] = Complex_{static_cast<double>(input[m].real()), static_cast<double>(input[m].imag())};
      }
      f->fft(direction, n, x.data());
      for (int k = 0; k < n; ++k) {
        std::complex<long double> sum = 0;
        for (int m = 0; m < n; ++m) {
          const long double angle = -direction * 2.0L * M_PIl * k * m / n;
          sum += input[m] * std::complex<long double>(std::cos(angle), std::sin(angle));
        }
        if (direction == -1) sum /= static_cast<long double>(n);
        EXPECT_NEAR(x[k + 1].re, static_cast<double>(sum.real()), 1e-10) << n << " " << k;
        EXPECT_NEAR(x[k + 1].im, static_cast<double>(sum.imag()), 1e-10) << n << " " << k;
      }
    }
  }
}

TEST(Fft, ForwardThenInverseRestoresTheInput) {
  auto f = test::makeExtractor();
  auto x = oneBased(512);
  for (int m = 1; m <= 512; ++m) x[m] = Complex_{std::sin(0.1 * m * m), std::cos(0.7 * m) - 0.5};
  const auto original = x;
  f->fft(1, 512, x.data());
  f->fft(-1, 512, x.data());
  for (int m = 1; m <= 512; ++m) {
    EXPECT_NEAR(x[m].re, original[m].re, 3e-14) << m;
    EXPECT_NEAR(x[m].im, original[m].im, 3e-14) << m;
  }
}

TEST(Fft, FiveCycleCosine) {
  auto f = test::makeExtractor();
  auto x = oneBased(512);
  for (int m = 0; m < 512; ++m) x[m + 1].re = std::cos(2.0 * M_PI * 5.0 * m / 512.0);
  f->fft(1, 512, x.data());
  for (int k = 1; k <= 512; ++k) {
    const double magnitude = std::hypot(x[k].re, x[k].im);
    if (k == 6 || k == 508) {
      EXPECT_NEAR(x[k].re, 256.0, 1e-9) << k;
    } else {
      EXPECT_LT(magnitude, 1e-11) << k;
    }
  }
}

}  // namespace
