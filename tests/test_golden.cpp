// The tool reproduces the committed golden files byte for byte, in every mode.
#include <gtest/gtest.h>

#include <cctype>

#include "test_support.h"

namespace {

const std::string kGolden = GOLDEN_DIR;

// Runs the tool over the golden list and compares every file it wrote.
void expectGoldenOutputs(const std::vector<std::string>& options, const std::string& mode,
                         const std::string& extension) {
  test::ScratchDir out;
  std::vector<std::string> args = options;
  for (const std::string& arg : {kGolden + "/list", kGolden + "/recordings", out.path(), mode}) {
    args.push_back(arg);
  }
  const auto result = test::runTool(args);
  ASSERT_EQ(result.status, 0) << result.output << result.errors;
  const auto names = test::goldenNames();
  ASSERT_EQ(names.size(), 22u);
  for (const auto& name : names) {
    for (const std::string& ext : {extension, std::string("C12"), std::string("ENG")}) {
      const std::string file = name + "." + ext;
      const auto expected = test::readBytes(kGolden + "/expected/" + file);
      ASSERT_FALSE(expected.empty()) << "missing golden file " << file;
      EXPECT_TRUE(test::readBytes(out / file) == expected) << mode << ": " << file << " differs";
    }
  }
}

TEST(Golden, Cmn) { expectGoldenOutputs({"--c12-eng"}, "CMN", "mfcKVR0DAZC39"); }
TEST(Golden, Mvnma) { expectGoldenOutputs({"--c12-eng"}, "MVNMA", "mfcKVR0DAC39mvacqx_kvr"); }
TEST(Golden, None) { expectGoldenOutputs({"--c12-eng"}, "NONE", "mfcKVR0DAC39"); }
TEST(Golden, ThreeWorkers) { expectGoldenOutputs({"-j", "3", "--c12-eng"}, "MVNMA", "mfcKVR0DAC39mvacqx_kvr"); }
TEST(Golden, StraightforwardPath) {
  expectGoldenOutputs({"--front-end=straightforward", "--c12-eng"}, "CMN", "mfcKVR0DAZC39");
}

}  // namespace
