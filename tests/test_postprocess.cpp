// Deltas, vector assembly, CMN and MVN.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_support.h"

namespace {

std::vector<float> randomRows(int rows, int width, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> value(0.0f, 5.0f);
  std::vector<float> out(static_cast<std::size_t>(rows) * width);
  for (float& v : out) v = value(random);
  return out;
}

// Column 0 of each case holds 1, 2, 4, 8, 16 (cut to n rows); the deltas
// were worked out by hand with the edges clamped, e.g. n = 5, t = 1:
// (1 (x2 - x0) + 2 (x3 - x0)) / 10 = (3 + 14) / 10. The other columns are
// constant, so their deltas are 0.
TEST(Deltas, ClampedEdgesWorkedByHand) {
  const std::vector<std::vector<float>> expected = {
      {0.0f},
      {0.3f, 0.3f},
      {0.7f, 0.9f, 0.8f},
      {0.7f, 1.7f, 2.0f, 1.6f},
      {0.7f, 1.7f, 3.6f, 4.0f, 3.2f},
  };
  auto f = test::makeExtractor();
  for (const auto& deltas : expected) {
    const int n = static_cast<int>(deltas.size());
    std::vector<float> in(n * kCepDim, 5.0f);
    for (int t = 0; t < n; ++t) in[t * kCepDim] = static_cast<float>(1 << t);
    std::vector<float> out(in.size(), -1.0f);
    f->getDeltaCep_New(n, in.data(), out.data());
    for (int t = 0; t < n; ++t) {
      EXPECT_EQ(test::floatBits(out[t * kCepDim]), test::floatBits(deltas[t])) << "n " << n << " t " << t;
      for (int j = 1; j < kCepDim; ++j) EXPECT_EQ(out[t * kCepDim + j], 0.0f) << "n " << n << " t " << t;
    }
  }
}

TEST(Deltas, ShortUtterances) {
  auto f = test::makeExtractor();
  std::vector<float> out(3 * kCepDim, 9.0f);
  f->getDeltaCep_New(0, nullptr, out.data());
  for (float v : out) EXPECT_EQ(v, 9.0f);

  std::vector<float> one(kCepDim, 3.5f);
  f->getDeltaCep_New(1, one.data(), out.data());
  for (int j = 0; j < kCepDim; ++j) EXPECT_EQ(out[j], 0.0f);

  std::vector<float> two(2 * kCepDim);
  for (int j = 0; j < kCepDim; ++j) {
    two[j] = 1.0f;
    two[kCepDim + j] = 1.0f + j;
  }
  f->getDeltaCep_New(2, two.data(), out.data());
  for (int j = 0; j < kCepDim; ++j) {
    const float d = static_cast<float>(j);
    EXPECT_EQ(out[j], (d + 2.0f * d) / 10.0f);
    EXPECT_EQ(out[kCepDim + j], out[j]);
  }
  std::vector<float> acc(2 * kCepDim, 9.0f);
  f->getDeltaCep_New(2, out.data(), acc.data());
  for (float v : acc) EXPECT_EQ(v, 0.0f);

  std::vector<float> three(3 * kCepDim);
  for (int t = 0; t < 3; ++t) three[t * kCepDim] = static_cast<float>(t * t);  // 0, 1, 4
  f->getDeltaCep_New(3, three.data(), out.data());
  EXPECT_EQ(out[kCepDim], (4.0f + 2.0f * 4.0f) / 10.0f);
}

TEST(Deltas, RampAndConstant) {
  auto f = test::makeExtractor();
  const int n = 8;
  std::vector<float> in(n * kCepDim, 2.75f);
  for (int t = 0; t < n; ++t) in[t * kCepDim + 4] = 3.0f * t;  // step a = 3
  std::vector<float> delta(in.size()), acc(in.size());
  f->getDeltaCep_New(n, in.data(), delta.data());
  f->getDeltaCep_New(n, delta.data(), acc.data());
  const float expected[n] = {1.5f, 2.4f, 3.0f, 3.0f, 3.0f, 3.0f, 2.4f, 1.5f};
  for (int t = 0; t < n; ++t) {
    EXPECT_FLOAT_EQ(delta[t * kCepDim + 4], expected[t]) << t;
    for (int j = 0; j < kCepDim; ++j) {
      if (j == 4) continue;
      EXPECT_EQ(delta[t * kCepDim + j], 0.0f);
      EXPECT_EQ(acc[t * kCepDim + j], 0.0f);
    }
  }
}

TEST(Assembly, RecordDeltasAndAccelerationsSideBySide) {
  auto f = test::makeExtractor();
  f->totalFrame = 3;
  f->cepData = randomRows(3, kCepDim, 1);
  f->deltaData = randomRows(3, kCepDim, 2);
  f->accData = randomRows(3, kCepDim, 3);
  f->outData.assign(3 * kOutDim, 0.0f);
  EXPECT_EQ(f->AssignCepToOutData(), 1);
  for (int t = 0; t < 3; ++t) {
    for (int j = 0; j < kCepDim; ++j) {
      EXPECT_EQ(f->outData[t * kOutDim + j], f->cepData[t * kCepDim + j]);
      EXPECT_EQ(f->outData[t * kOutDim + 13 + j], f->deltaData[t * kCepDim + j]);
      EXPECT_EQ(f->outData[t * kOutDim + 26 + j], f->accData[t * kCepDim + j]);
    }
  }
}

TEST(Cmn, RemovesTheMeanOfEveryColumn) {
  auto f = test::makeExtractor();
  auto cep = randomRows(50, kCepDim, 4);
  for (int t = 0; t < 50; ++t) cep[t * kCepDim + 7] = 1.1f;  // constant column
  const auto before = cep;
  f->CMN_New(cep.data(), 50);
  for (int j = 0; j < kCepDim; ++j) {
    double sum = 0.0;
    double mean = 0.0;
    for (int t = 0; t < 50; ++t) mean += before[t * kCepDim + j];
    mean /= 50;
    for (int t = 0; t < 50; ++t) {
      const float v = cep[t * kCepDim + j];
      EXPECT_EQ(v, static_cast<float>(before[t * kCepDim + j] - mean));
      sum += v;
    }
    EXPECT_NEAR(sum / 50, 0.0, 1e-5) << j;
  }
  for (int t = 0; t < 50; ++t) EXPECT_EQ(cep[t * kCepDim + 7], 0.0f);
}

TEST(Cmn, OneFrameBecomesZeroAndNoFramesIsUntouched) {
  auto f = test::makeExtractor();
  auto one = randomRows(1, kCepDim, 5);
  f->CMN_New(one.data(), 1);
  for (float v : one) EXPECT_EQ(v, 0.0f);
  std::vector<float> none(kCepDim, 4.0f);
  f->CMN_New(none.data(), 0);
  for (float v : none) EXPECT_EQ(v, 4.0f);
}

TEST(Mvn, TwoFramesNormaliseWithoutSmoothing) {
  auto f = test::makeExtractor();
  std::vector<float> out(2 * kOutDim);
  for (int d = 0; d < kOutDim; ++d) {
    out[d] = 1.0f;
    out[kOutDim + d] = 3.0f;
  }
  f->MVN(out.data(), 2);
  for (int d = 0; d < kOutDim; ++d) {
    EXPECT_EQ(out[d], -1.0f);
    EXPECT_EQ(out[kOutDim + d], 1.0f);
  }
}

// Normalisation only, written out from the statistics.
std::vector<float> normalised(const std::vector<float>& x, int n) {
  std::vector<float> y(x);
  for (int d = 0; d < kOutDim; ++d) {
    double sum = 0.0, squares = 0.0;
    for (int t = 0; t < n; ++t) {
      const float v = x[t * kOutDim + d];
      sum += v;
      squares += static_cast<float>(v * v);
    }
    const double mean = sum / n;
    const float deviation = static_cast<float>(std::sqrt(squares / n - mean * mean));
    for (int t = 0; t < n; ++t) {
      y[t * kOutDim + d] = static_cast<float>((x[t * kOutDim + d] - mean) / deviation);
    }
  }
  return y;
}

TEST(Mvn, SmoothsTheInnerFramesFromAlreadySmoothedPredecessors) {
  auto f = test::makeExtractor();
  for (int n : {3, 4, 5, 6, 11}) {
    const auto x = randomRows(n, kOutDim, 40 + n);
    auto y = x;
    f->MVN(y.data(), n);
    auto expected = normalised(x, n);
    if (n > 4) {
      for (int d = 0; d < kOutDim; ++d) {
        for (int t = 2; t <= n - 3; ++t) {
          const auto e = [&](int row) { return expected[row * kOutDim + d]; };
          const float neighbours = static_cast<float>(
              ((static_cast<double>(e(t + 1)) + e(t - 1)) + e(t + 2)) + e(t - 2));
          expected[t * kOutDim + d] = (neighbours + e(t)) / 5.0f;
        }
      }
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
      ASSERT_EQ(test::floatBits(y[i]), test::floatBits(expected[i])) << "n " << n << " at " << i;
    }
    if (n == 5) {
      for (int d = 0; d < kOutDim; ++d) EXPECT_NEAR(y[2 * kOutDim + d], 0.0, 1e-6);
    }
  }
}

// A dimension with no spread (one frame, a constant column, a column of
// zeros) is only centred: zeros, never NaN or infinity.
TEST(Mvn, ColumnsWithoutSpreadBecomeZeros) {
  auto f = test::makeExtractor();
  std::vector<float> one = randomRows(1, kOutDim, 6);
  f->MVN(one.data(), 1);
  for (float v : one) EXPECT_EQ(v, 0.0f);

  for (int n : {2, 7, 300}) {
    auto x = randomRows(n, kOutDim, 7);
    for (int t = 0; t < n; ++t) {
      x[t * kOutDim + 0] = 0.0f;
      x[t * kOutDim + 20] = 0.1f;  // squares round: the variance may come out negative
      x[t * kOutDim + 38] = -3.3f;
    }
    f->MVN(x.data(), n);
    for (int t = 0; t < n; ++t) {
      EXPECT_EQ(x[t * kOutDim + 0], 0.0f);
      EXPECT_EQ(x[t * kOutDim + 20], 0.0f);
      EXPECT_EQ(x[t * kOutDim + 38], 0.0f);
    }
    for (float v : x) ASSERT_TRUE(std::isfinite(v));
  }
  std::vector<float> none(kOutDim, 2.0f);
  f->MVN(none.data(), 0);
  for (float v : none) EXPECT_EQ(v, 2.0f);
}

}  // namespace
