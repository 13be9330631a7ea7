// What the tool prints on standard output and its exit status, over the
// golden and example corpora in every mode and in the failures a batch run
// meets (a recording that cannot be opened, files that cannot be written,
// wrong arguments), compared with the committed transcript. Paths are
// relative to the working directory, so the transcript holds no scratch
// names. FEATURE_CONSOLE_TOOL=PATH runs another build of the tool instead;
// FEATURE_CONSOLE_RECORD=FILE writes the transcript there instead of
// comparing (how the committed one was made).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace {

struct Scenario {
  std::vector<std::string> args;
  std::string setup;  // what the scratch directory needs first (see prepare)
};

void prepare(const test::ScratchDir& dir, const std::string& setup) {
  if (setup == "blocked") {
    // out/speaker1 is a file, so nothing below it can be written.
    mkdir((dir / "blocked").c_str(), 0777);
    test::writeText(dir / "blocked/speaker1", "");
  } else if (setup == "c12-blocked") {
    mkdir((dir / "c12").c_str(), 0777);
    mkdir((dir / "c12/speaker2").c_str(), 0777);
    mkdir((dir / "c12/speaker2/numbers.C12").c_str(), 0777);
  }
}

TEST(ConsoleTranscript, StdoutAndStatusOverTheCorpora) {
  test::ScratchDir dir;
  ASSERT_EQ(symlink(GOLDEN_DIR, (dir / "golden").c_str()), 0);
  ASSERT_EQ(symlink(EXAMPLES_DIR, (dir / "examples").c_str()), 0);
  test::writeText(dir / "missing-list", "all_silent clipped\nno_such_recording\ndc_offset\n");

  std::vector<Scenario> scenarios;
  for (const std::string mode : {"CMN", "MVNMA", "NONE"}) {
    scenarios.push_back({{"golden/list", "golden/recordings", "out-" + mode, mode}, ""});
    scenarios.push_back({{"--c12-eng", "-j", "3", "golden/list", "golden/recordings", "out-" + mode, mode}, ""});
    scenarios.push_back({{"examples/list.txt", "examples/recordings", "ex-" + mode, mode}, ""});
    scenarios.push_back({{"-j", "2", "missing-list", "golden/recordings", "miss-" + mode, mode}, ""});
  }
  scenarios.push_back({{"examples/list.txt", "examples/recordings", "blocked", "CMN"}, "blocked"});
  scenarios.push_back({{"-j", "3", "examples/list.txt", "examples/recordings", "blocked", "NONE"}, "blocked"});
  scenarios.push_back({{"--c12-eng", "examples/list.txt", "examples/recordings", "c12", "MVNMA"}, "c12-blocked"});
  scenarios.push_back({{}, ""});
  scenarios.push_back({{"golden/list", "golden/recordings", "out"}, ""});
  scenarios.push_back({{"golden/list", "golden/recordings", "out", "cmn"}, ""});
  scenarios.push_back({{"golden/list", "golden/recordings", "out", "MVN"}, ""});
  scenarios.push_back({{"no-such-list", "golden/recordings", "out", "NONE"}, ""});

  test::RunOptions options;
  options.cwd = dir.path();
  if (const char* tool = std::getenv("FEATURE_CONSOLE_TOOL")) options.program = tool;
  std::string transcript;
  for (const Scenario& s : scenarios) {
    prepare(dir, s.setup);
    const test::RunResult result = test::runTool(s.args, options);
    transcript += "$ feature";
    for (const std::string& arg : s.args) transcript += " " + arg;
    transcript += "\n" + result.output + "status " + std::to_string(result.status) + "\n";
  }

  const std::string committed = std::string(GOLDEN_DIR) + "/console-transcript";
  if (const char* record = std::getenv("FEATURE_CONSOLE_RECORD")) {
    std::ofstream(record, std::ios::binary) << transcript;
    return;
  }
  const auto expected = test::readBytes(committed);
  EXPECT_EQ(transcript, std::string(expected.begin(), expected.end()));
}

}  // namespace
