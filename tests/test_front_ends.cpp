// Every front end this processor can run gives the bits of the
// straightforward one: energies, log filter outputs and cepstra, on many
// random signals and lengths, and whole files through the tool.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

std::vector<FrontEnd> fastFrontEnds() {
  std::vector<FrontEnd> out;
  for (FrontEnd f : {FrontEnd::kBaseline, FrontEnd::kAvx2, FrontEnd::kAvx512}) {
    if (frontEndSupported(f)) out.push_back(f);
  }
  return out;
}

// A random signal of one of several kinds: noise at a random level, a
// clipped tone, sparse clicks, silence with bursts, a constant.
std::vector<std::int16_t> randomSignal(std::mt19937& random, int count) {
  std::vector<std::int16_t> s(count);
  const int kind = static_cast<int>(random() % 5);
  const int level = 1 << (random() % 16);
  std::uniform_int_distribution<int> value(-level, level - 1);
  for (int n = 0; n < count; ++n) {
    switch (kind) {
      case 0: s[n] = static_cast<std::int16_t>(value(random)); break;
      case 1: s[n] = static_cast<std::int16_t>(std::clamp(60000.0 * std::sin(n * 0.05 * (1 + level % 7)), -32768.0, 32767.0)); break;
      case 2: s[n] = random() % 97 == 0 ? static_cast<std::int16_t>(value(random)) : 0; break;
      case 3: s[n] = (n / 700) % 3 == 1 ? static_cast<std::int16_t>(value(random)) : 0; break;
      default: s[n] = static_cast<std::int16_t>(level - 1); break;
    }
  }
  return s;
}

struct Analysis {
  int frames;
  std::vector<float> cep;
  std::vector<float> energies;
  std::vector<double> logs;
};

Analysis analyse(FEATURE& f, const std::string& path) {
  Analysis a;
  a.frames = f.MFCC_shell(path.c_str());
  a.cep = f.cepData;
  a.energies.assign(f.frameEng.begin(), f.frameEng.begin() + std::max(a.frames, 0));
  for (int t = 0; t < a.frames; ++t) a.logs.insert(a.logs.end(), f.melBand[t].begin() + 1, f.melBand[t].end());
  return a;
}

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// One test per SIMD kernel. A kernel this processor cannot run is reported
// as skipped by name, after checking that asking for it falls back to one
// that runs (never an illegal instruction) with the same bits.
class Kernel : public ::testing::TestWithParam<FrontEnd> {};

TEST_P(Kernel, SameBitsAsTheStraightforwardPathOnRandomSignals) {
  test::ScratchDir dir;
  const std::string path = dir / "r.raw";
  auto reference = test::makeExtractor();
  reference->settings.frontEnd = FrontEnd::kStraightforward;
  auto fast = test::makeExtractor();
  fast->settings.frontEnd = GetParam();
  std::mt19937 random(20261208);
  for (int trial = 0; trial < 120; ++trial) {
    // Lengths that fill every lane count exactly and ones that leave a
    // partial group.
    const int frames = trial < 20 ? trial : static_cast<int>(random() % 60);
    const int count = frames == 0 ? static_cast<int>(random() % 320) : 160 * (frames + 1) + static_cast<int>(random() % 160);
    test::writeSamples(path, randomSignal(random, count));
    const Analysis expected = analyse(*reference, path);
    const Analysis got = analyse(*fast, path);
    ASSERT_EQ(got.frames, expected.frames);
    ASSERT_TRUE(sameBits(got.cep, expected.cep)) << "trial " << trial;
    ASSERT_TRUE(sameBits(got.energies, expected.energies)) << "trial " << trial;
    ASSERT_TRUE(sameBits(got.logs, expected.logs)) << "trial " << trial;
  }
  if (!frontEndSupported(GetParam())) {
    GTEST_SKIP() << "this processor cannot run the " << frontEndName(GetParam())
                 << " kernel; asking for it fell back to " << frontEndName(resolveFrontEnd(GetParam()));
  }
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, Kernel,
                         ::testing::Values(FrontEnd::kBaseline, FrontEnd::kAvx2, FrontEnd::kAvx512),
                         [](const ::testing::TestParamInfo<FrontEnd>& info) {
                           return std::string(frontEndName(info.param));
                         });

// What a front end resolves to can always run here; one that can run is
// kept; the fastest is the widest this processor has.
TEST(FrontEnds, ResolvedFrontEndsCanRun) {
  for (FrontEnd f : {FrontEnd::kStraightforward, FrontEnd::kBaseline, FrontEnd::kAvx2, FrontEnd::kAvx512,
                     FrontEnd::kFastest}) {
    const FrontEnd resolved = resolveFrontEnd(f);
    EXPECT_TRUE(frontEndSupported(resolved)) << frontEndName(f);
    EXPECT_NE(resolved, FrontEnd::kFastest);
    if (f != FrontEnd::kFastest && frontEndSupported(f)) {
      EXPECT_EQ(resolved, f);
    }
  }
  const FrontEnd fastest = resolveFrontEnd(FrontEnd::kFastest);
  for (FrontEnd wider : {FrontEnd::kAvx512, FrontEnd::kAvx2, FrontEnd::kBaseline}) {
    if (frontEndSupported(wider)) {
      EXPECT_EQ(fastest, wider);
      break;
    }
  }
}

// The whole tool on the golden recordings with each front end, in every
// mode, byte for byte against the straightforward run.
TEST(FrontEnds, WholeFilesThroughTheTool) {
  const std::string golden = GOLDEN_DIR;
  for (const char* mode : {"CMN", "MVNMA", "NONE"}) {
    test::ScratchDir out;
    ASSERT_EQ(test::runTool({"--front-end=straightforward", "--c12-eng", golden + "/list",
                             golden + "/recordings", out / "straightforward", mode})
                  .status,
              0);
    const auto expected = test::listTree(out / "straightforward");
    ASSERT_EQ(expected.size(), 22u * 3u + 2u);  // three files a name, two directories
    for (FrontEnd frontEnd : fastFrontEnds()) {
      const std::string name = frontEndName(frontEnd);
      ASSERT_EQ(test::runTool({"--front-end=" + name, "--c12-eng", golden + "/list",
                               golden + "/recordings", out / name, mode})
                    .status,
                0);
      ASSERT_EQ(test::listTree(out / name), expected);
      for (const auto& file : expected) {
        if (file.back() == '/') continue;
        EXPECT_TRUE(test::readBytes(out / (name + "/" + file)) ==
                    test::readBytes(out / ("straightforward/" + file)))
            << mode << " " << name << " " << file;
      }
    }
  }
}

TEST(FrontEnds, UnsupportedOrUnknownNamesAreRefused) {
  const auto unknown = test::runTool({"--front-end=sse9", "l", "i", "o", "NONE"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.errors.find("unknown front end"), std::string::npos);
}

}  // namespace
