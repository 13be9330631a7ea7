// The cepstrum and energy files and the auxiliary routines.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "test_support.h"

namespace {

// Standard input from /dev/null for the routines that pause on it.
class NoKeyboard {
 public:
  NoKeyboard() : saved_(dup(0)) { std::freopen("/dev/null", "r", stdin); }
  ~NoKeyboard() {
    dup2(saved_, 0);
    ::close(saved_);
    std::clearerr(stdin);
  }

 private:
  int saved_;
};

std::uint32_t littleEndian32(const std::vector<unsigned char>& bytes, std::size_t offset) {
  return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
         (std::uint32_t{bytes[offset + 3]} << 24);
}

TEST(CepstrumFiles, EmptyUtterance) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  f->cepData.clear();
  ASSERT_EQ(f->OutputFeature("u"), 1);
  const std::vector<unsigned char> zero = {0, 0, 0, 0};
  EXPECT_EQ(test::readBytes(dir / "u.C12"), zero);
  EXPECT_EQ(test::readBytes(dir / "u.ENG"), zero);
}

TEST(CepstrumFiles, TwoFramesWithoutC0InASubdirectory) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  f->totalFrame = 2;
  f->cepData.resize(2 * kCepDim);
  for (int i = 0; i < 2 * kCepDim; ++i) f->cepData[i] = static_cast<float>(i) + 0.25f;
  f->cepData[0] = 1.0f;
  f->frameEng[0] = 1.0f;
  f->frameEng[1] = -25.5f;
  f->frameEng[2] = 99.0f;  // beyond the frame count
  ASSERT_EQ(f->OutputFeature("spk/u"), 1);

  const auto c12 = test::readBytes(dir / "spk/u.C12");
  ASSERT_EQ(c12.size(), 100u);
  EXPECT_EQ(littleEndian32(c12, 0), 2u);
  const std::vector<unsigned char> one = {0x00, 0x00, 0x80, 0x3F};
  EXPECT_TRUE(std::equal(one.begin(), one.end(), c12.begin() + 4));
  for (int t = 0; t < 2; ++t) {
    for (int n = 0; n < 12; ++n) {
      EXPECT_EQ(littleEndian32(c12, 4 + 48 * t + 4 * n), test::floatBits(f->cepData[t * kCepDim + n]))
          << t << " " << n;
    }
  }
  const auto eng = test::readBytes(dir / "spk/u.ENG");
  ASSERT_EQ(eng.size(), 12u);
  EXPECT_EQ(littleEndian32(eng, 0), 2u);
  EXPECT_EQ(littleEndian32(eng, 4), test::floatBits(1.0f));
  EXPECT_EQ(littleEndian32(eng, 8), test::floatBits(-25.5f));
}

TEST(CepstrumFiles, EnergyFileThatCannotBeWrittenAfterTheCepstrumFile) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  mkdir((dir / "u.ENG").c_str(), 0777);  // a directory where the file should go
  f->totalFrame = 1;
  f->cepData.assign(kCepDim, 0.5f);
  test::Console console(*f);
  EXPECT_EQ(f->OutputFeature("u"), 0);
  EXPECT_EQ(console.text(), "open ENG to write ERROR : " + dir.path() + "//u.ENG\n");
  EXPECT_EQ(test::readBytes(dir / "u.C12").size(), 52u);
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"u.C12", "u.ENG/"}));
}

TEST(CepstrumFiles, CepstrumFileThatCannotBeWritten) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  auto f = test::makeExtractor();
  test::writeText(dir / "spk", "in the way");
  f->totalFrame = 0;
  test::Console console(*f);
  EXPECT_EQ(f->OutputFeature("spk/u"), 0);
  EXPECT_EQ(console.text(), "open C12 to write ERROR : " + dir.path() + "//spk/u.C12\n");
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"spk"}));
}

// ---- Long-term-average spectral subtraction ----

TEST(Lta, EdgeCasesOfTheSubtraction) {
  auto f = test::makeExtractor();
  f->totalFrame = 0;
  f->melBand[0][3] = 5.0;
  f->LTA222();
  EXPECT_EQ(f->melBand[0][3], 5.0);

  f->totalFrame = 1;
  for (int k = 1; k <= 24; ++k) f->melBand[0][k] = k - 12.5;
  f->melBand[0][0] = 77.0;
  f->LTA222();
  for (int k = 1; k <= 24; ++k) {
    const double c = k - 12.5;
    EXPECT_EQ(f->melBand[0][k], std::sqrt(0.1 * (c * c))) << k;  // sign lost
  }
  EXPECT_EQ(f->melBand[0][0], 77.0);

  f->totalFrame = 4;
  for (int t = 0; t < 4; ++t) {
    f->melBand[t][1] = 2.0;              // constant: p equals the mean power
    f->melBand[t][2] = t == 0 ? 2.0 : 0.0;  // mean power 1
    f->melBand[t][3] = 0.0;
    f->melBand[t][5] = t + 1.0;          // mean power 7.5
  }
  f->LTA222();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(f->melBand[t][1], std::sqrt(0.4));
    EXPECT_EQ(f->melBand[t][2], t == 0 ? std::sqrt(3.1) : 0.0);
    EXPECT_EQ(f->melBand[t][3], 0.0);
  }
  EXPECT_EQ(f->melBand[0][5], std::sqrt(0.1));
  EXPECT_EQ(f->melBand[3][5], std::sqrt(16.0 - 0.9 * 7.5));
}

TEST(Lta, FiltersAreIndependent) {
  auto f = test::makeExtractor();
  f->totalFrame = 6;
  for (int t = 0; t < 6; ++t) {
    for (int k = 1; k <= 24; ++k) f->melBand[t][k] = std::fabs(std::sin(t * 3.0 + k));
  }
  auto g = test::makeExtractor();
  g->totalFrame = 6;
  g->melBand = f->melBand;
  for (int t = 0; t < 6; ++t) g->melBand[t][7] = 1000.0 * t;
  f->LTA222();
  g->LTA222();
  for (int t = 0; t < 6; ++t) {
    for (int k = 1; k <= 24; ++k) {
      if (k == 7) continue;
      EXPECT_EQ(f->melBand[t][k], g->melBand[t][k]) << t << " " << k;
    }
  }
}

// ---- Energy contour and energy deltas ----

TEST(EnergyContour, SumsFiltersSixToTwentyFour) {
  auto f = test::makeExtractor();
  double row[25];
  for (double& v : row) v = 1.0;
  float result = 0.0f;
  f->EnergyContour(&result, row);
  EXPECT_EQ(result, static_cast<float>(std::log10(19.0)) * 10.0f);
  EXPECT_NEAR(result, 12.78754, 1e-5);
  for (int k = 0; k <= 5; ++k) row[k] = 1e9 * (k + 1);
  float changed = 0.0f;
  f->EnergyContour(&changed, row);
  EXPECT_EQ(changed, result);
  for (int k = 6; k <= 24; ++k) row[k] = 0.0;
  f->EnergyContour(&changed, row);
  EXPECT_EQ(changed, -INFINITY);
}

TEST(EnergyDeltas, ShortTracksAndRegression) {
  auto f = test::makeExtractor();
  const float e3[3] = {1.0f, 4.0f, 9.5f};
  float d[8], a[8];
  f->getDDEng(3, e3, d, a);
  EXPECT_EQ(d[0], 3.0f);
  EXPECT_EQ(d[1], 3.0f);  // the backward difference wins
  EXPECT_EQ(d[2], 5.5f);
  EXPECT_EQ(a[0], 0.0f);
  EXPECT_EQ(a[1], 2.5f);
  EXPECT_EQ(a[2], 2.5f);

  const float e4[4] = {0.0f, 1.0f, 3.0f, 7.0f};
  f->getDDEng(4, e4, d, a);
  EXPECT_EQ(d[1], 2.0f);
  EXPECT_EQ(d[2], 2.0f);
  EXPECT_EQ(d[3], 4.0f);

  const float e5[5] = {0.5f, -1.0f, 2.0f, 8.0f, 3.0f};
  f->getDDEng(5, e5, d, a);
  EXPECT_EQ(d[2], ((8.0f - -1.0f) + 2.0f * (3.0f - 0.5f)) / 10.0f);
  EXPECT_EQ(d[0], -1.5f);
  EXPECT_EQ(d[4], -5.0f);
  EXPECT_EQ(a[2], d[3] - d[1]);

  float ramp[8];
  for (int t = 0; t < 8; ++t) ramp[t] = static_cast<float>(t);
  f->getDDEng(8, ramp, d, a);
  for (int t = 0; t < 8; ++t) {
    EXPECT_EQ(d[t], 1.0f) << t;
    EXPECT_EQ(a[t], 0.0f) << t;
  }
  const float flat[6] = {4.0f, 4.0f, 4.0f, 4.0f, 4.0f, 4.0f};
  f->getDDEng(6, flat, d, a);
  for (int t = 0; t < 6; ++t) EXPECT_EQ(d[t] + a[t], 0.0f);
}

// ---- Earlier delta and mean routines ----

TEST(EarlierDeltas, ThreeRowsAndTheTrace) {
  auto f = test::makeExtractor();
  std::vector<float> in(3 * kCepDim), out(3 * kCepDim, 42.0f);
  for (int t = 0; t < 3; ++t) {
    for (int j = 0; j < kCepDim; ++j) in[t * kCepDim + j] = static_cast<float>(t * t) * 0.5f + j;
  }
  NoKeyboard noKeys;
  test::Console console(*f);
  f->getDeltaCep(3, in.data(), out.data());
  std::string expected;
  for (int t = 0; t < 3; ++t) {
    const double d = t < 2 ? 0.5 : 1.5;  // d0 = d1 = c1 - c0, d2 = c2 - c1
    for (int j = 0; j < 12; ++j) {
      EXPECT_EQ(out[t * kCepDim + j], static_cast<float>(d)) << t << " " << j;
      char line[64];
      std::snprintf(line, sizeof line, "t=%d D=%d f=%f\n", t, j, d);
      expected += line;
    }
    EXPECT_EQ(out[t * kCepDim + 12], 42.0f) << "C0 column written";
  }
  EXPECT_EQ(console.text(), expected);
  EXPECT_NE(expected.find("t=0 D=0 f=0.500000\n"), std::string::npos);
}

TEST(EarlierDeltas, FourRowsAndARamp) {
  auto f = test::makeExtractor();
  NoKeyboard noKeys;
  test::Console console(*f);
  std::vector<float> in(9 * kCepDim), out(9 * kCepDim);
  for (int t = 0; t < 9; ++t) {
    for (int j = 0; j < kCepDim; ++j) in[t * kCepDim + j] = j == 3 ? static_cast<float>(t * t) : t;
  }
  f->getDeltaCep(4, in.data(), out.data());
  EXPECT_EQ(out[1 * kCepDim + 3], 3.0f);  // both c2 - c1
  EXPECT_EQ(out[2 * kCepDim + 3], 3.0f);
  f->getDeltaCep(9, in.data(), out.data());
  for (int t = 0; t < 9; ++t) EXPECT_EQ(out[t * kCepDim + 0], 1.0f) << t;
  const std::string trace = console.text();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 12 * 13);
}

TEST(EarlierMean, RangesAndDivisor) {
  auto f = test::makeExtractor();
  NoKeyboard noKeys;
  const int divisor = 4;
  std::vector<float> cep(70 * kCepDim);
  for (std::size_t i = 0; i < cep.size(); ++i) cep[i] = static_cast<float>(i % 17);
  const auto before = cep;
  f->CMN(cep.data(), 0, divisor, divisor);
  for (int j = 0; j < 13; ++j) {
    double mean = 0;
    for (int t = 0; t < divisor; ++t) mean += before[t * kCepDim + j];
    mean /= divisor;
    for (int t = 0; t < 70; ++t) {
      const float was = before[t * kCepDim + j];
      const float expected = j == 12 || t > divisor + 63 ? was : static_cast<float>(was - mean);
      EXPECT_EQ(cep[t * kCepDim + j], expected) << t << " " << j;
    }
  }

  cep = before;
  f->CMN(cep.data(), 5, 5, 3);  // an empty range: every mean 0
  EXPECT_TRUE(cep == before);
  f->CMN(cep.data(), 0, 10, -64);  // no row at all
  EXPECT_TRUE(cep == before);
  f->CMN(cep.data(), 2, 6, 4);  // rows 2..5 summed, divided by 4
  double mean0 = 0;
  for (int t = 2; t < 6; ++t) mean0 += before[t * kCepDim];
  EXPECT_EQ(cep[0], static_cast<float>(before[0] - mean0 / 4.0));
}

// CMN reads one character per value it changes, 12 (divisor + 64) in all.
TEST(EarlierMean, PausesOncePerValue) {
  test::ScratchDir dir;
  const int divisor = 2;
  test::writeText(dir / "keys", std::string(12 * (divisor + 64) + 3, 'k'));
  const int saved = dup(0);
  ASSERT_NE(std::freopen((dir / "keys").c_str(), "r", stdin), nullptr);
  auto f = test::makeExtractor();
  std::vector<float> cep(66 * kCepDim, 1.0f);
  f->CMN(cep.data(), 0, 2, divisor);
  std::string rest;
  for (int c = std::getchar(); c != EOF; c = std::getchar()) rest.push_back(static_cast<char>(c));
  dup2(saved, 0);
  close(saved);
  std::clearerr(stdin);
  EXPECT_EQ(rest, "kkk");
}

TEST(Utilities, FileSizeKeepsThePosition) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  test::writeText(dir / "empty", "");
  std::FILE* empty = std::fopen((dir / "empty").c_str(), "rb");
  EXPECT_EQ(f->filesize(empty), 0);
  std::fclose(empty);

  test::writeText(dir / "ten", "0123456789");
  std::FILE* ten = std::fopen((dir / "ten").c_str(), "rb");
  char head[5];
  ASSERT_EQ(std::fread(head, 1, 5, ten), 5u);
  EXPECT_EQ(f->filesize(ten), 10);
  EXPECT_EQ(std::fgetc(ten), '5');
  std::fclose(ten);
}

TEST(Utilities, FrameCountOfASampleCount) {
  auto f = test::makeExtractor();
  const struct {
    std::int32_t samples, frames;
  } cases[] = {{0, 0},   {1, 0},   {159, 0}, {160, 0},       {319, 0},
               {320, 1}, {479, 1}, {480, 2}, {1440000, 8999}};
  for (const auto& c : cases) EXPECT_EQ(f->getTotalFrame(c.samples), c.frames) << c.samples;
}

}  // namespace
