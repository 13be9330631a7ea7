// What a person at a terminal sees: the progress line out of the way of
// every message and within the width, a summary that fits 80 columns with
// its counts, usage mistakes explained, and the pause after "Error" saying
// what it waits for.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

namespace {

class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "in").c_str(), 0777);
    mkdir((dir / "out").c_str(), 0777);
  }

  // n names u0.. of a short recording each, the outputs of those in blocked
  // made impossible by a file where a directory should be; a missing
  // recording named "missing" after them, then two more names.
  std::string corpus(int n, const std::vector<int>& blocked) {
    test::writeSamples(dir / "recording", test::noise(8000, 31, 2000));
    std::string list;
    for (int i = 0; i < n; ++i) {
      const bool isBlocked = std::find(blocked.begin(), blocked.end(), i) != blocked.end();
      const std::string name = (isBlocked ? "b" + std::to_string(i) + "/" : std::string()) + "u" + std::to_string(i);
      if (isBlocked) {
        mkdir((dir / ("in/b" + std::to_string(i))).c_str(), 0777);
        test::writeText(dir / ("out/b" + std::to_string(i)), "in the way");
      }
      link((dir / "recording").c_str(), (dir / ("in/" + name)).c_str());
      list += name + "\n";
    }
    return list + "missing\nu0\nu1\n";
  }

  test::ScratchDir dir;
};

// At 50 and 80 columns, with messages on both streams from failing outputs
// and a missing recording, with one worker and with three: no screen line
// holds progress and a message together, no line is left behind by the
// progress line, and every line fits the width.
TEST_F(Terminal, ProgressLineNeverMixesWithMessagesAndFitsTheWidth) {
  test::writeText(dir / "list", corpus(300, {40, 41, 150, 299}));
  for (const int columns : {50, 80}) {
    for (const char* jobs : {"1", "3"}) {
      const auto result = test::runToolOnTerminal({"-j", jobs, dir / "list", dir / "in", dir / "out", "NONE"}, columns);
      EXPECT_EQ(result.status, 1);
      const auto screen = test::terminalScreen(result.output, columns);
      std::vector<std::string> expected;
      for (const int blocked : {40, 41, 150, 299}) {
        expected.push_back("feature: cannot create " + dir / "out" + "//b" + std::to_string(blocked) + "/u" +
                           std::to_string(blocked) + ".mfcKVR0DAC39: Not a directory");
        expected.push_back("Error");
        // Standard input is no terminal here: no pause, said once.
        if (blocked == 40) {
          expected.push_back("feature: no pause after \"Error\": standard input is not a terminal, so nobody can "
                             "press a key (nothing is read from it)");
        }
      }
      expected.push_back("can't open file " + dir / "in" + "/missing");
      expected.push_back("feature: cannot read the recording " + dir / "in" + "/missing: No such file or directory");
      expected.push_back("feature: the run stops at missing; 2 names of the list were not tried");
      expected.push_back("feature: 301 utterances, 5 failed, 2 not tried");
      // Long messages wrap as any terminal wraps them; what is compared is
      // the text, joined again.
      std::vector<std::string> joined;
      for (std::size_t i = 0; i < screen.size(); ++i) {
        if (i > 0 && screen[i - 1].size() == static_cast<std::size_t>(columns)) {
          joined.back() += screen[i];
        } else {
          joined.push_back(screen[i]);
        }
      }
      ASSERT_EQ(joined.size(), expected.size() + 1) << columns << " columns, -j " << jobs << "\n" << result.output;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(joined[i], expected[i]) << columns << " columns, -j " << jobs;
      }
      EXPECT_EQ(joined.back().rfind("feature: ", 0), 0u);
      EXPECT_NE(joined.back().find(" of audio in "), std::string::npos);
      // Every drawing of the progress line ("\r", its text, ESC [ K, with
      // no line break) fits one column short of the width.
      int drawings = 0;
      for (std::size_t end = 0; (end = result.output.find("\033[K", end)) != std::string::npos; end += 3) {
        const std::size_t start = result.output.rfind('\r', end);
        ASSERT_NE(start, std::string::npos);
        const std::string text = result.output.substr(start + 1, end - start - 1);
        if (text.empty() || text.find('\n') != std::string::npos) continue;
        EXPECT_LT(text.size(), static_cast<std::size_t>(columns)) << text;
        ++drawings;
      }
      EXPECT_GE(drawings, 5) << "the line is drawn again after each message";
    }
  }
}

// The summary: plural forms, the counts that apply, no speed without audio,
// and lines within 80 columns.
TEST_F(Terminal, SummaryCountsAndFits) {
  test::writeSamples(dir / "in/one", test::noise(16000, 32, 1000));
  test::writeText(dir / "single", "one\n");
  const auto single = test::runTool({dir / "single", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(single.errors.rfind("feature: 1 utterance, 0 failed\nfeature: 1.0 s of audio in ", 0), 0u)
      << single.errors;
  EXPECT_NE(single.errors.find("x real time\n"), std::string::npos);

  test::writeText(dir / "empty", "");
  const auto empty = test::runTool({dir / "empty", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.errors.rfind("feature: 0 utterances, 0 failed\nfeature: 0.0 s of audio in ", 0), 0u) << empty.errors;
  EXPECT_EQ(empty.errors.find("real time"), std::string::npos) << empty.errors;

  std::string many = corpus(20, {3});
  test::writeText(dir / "list", many);
  const auto result = test::runTool({dir / "list", dir / "in", dir / "out", "MVNMA"});
  const std::size_t summary = result.errors.find("feature: 21 utterances, 2 failed, 2 not tried\n");
  ASSERT_NE(summary, std::string::npos) << result.errors;
  const std::size_t second = result.errors.find('\n', summary) + 1;
  EXPECT_EQ(result.errors.find("feature: 10.0 s of audio in ", second), second) << result.errors;
  EXPECT_LE(result.errors.size() - second, 81u) << result.errors.substr(second);
}

// Usage mistakes: the usage line or the mode message stays on standard
// output, and standard error says what was wrong.
TEST_F(Terminal, UsageMistakesAreExplained) {
  const std::string usage = "feature.exe <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>\n";
  const struct {
    std::vector<std::string> args;
    std::string output;
    std::string errors;
  } cases[] = {
      {{"--frobnicate", "l", "i", "o"}, "", "feature: unknown option --frobnicate\n"},
      {{"l", "i", "o", "CMN", "-q"}, usage, "feature: the option -q must come before the four arguments\n"},
      {{"--front-end", "avx2", "l", "i", "o", "CMN"}, "", "feature: --front-end needs =VALUE, as in --front-end=avx2\n"},
      {{"l", "i", "o"}, usage,
       "feature: 3 arguments given; 4 needed: list file, IN_WAV_DIR, OUT_DIR, mode\n"},
      {{"l", "i", "o", "cmn"}, "", "feature: unknown mode 'cmn' (did you mean CMN?); modes: CMN, MVNMA, NONE\n"},
      {{"-qz", "l", "i", "o", "CMN"}, "", "feature: unknown option -z in -qz\n"},
  };
  for (const auto& c : cases) {
    const auto result = test::runTool(c.args);
    EXPECT_EQ(result.status, 1) << c.args[0];
    if (!c.output.empty()) {
      EXPECT_EQ(result.output, c.output) << c.args[0];
    }
    EXPECT_EQ(result.errors, c.errors + "Try 'feature --help'\n") << c.args[0];
  }
  // The mode message itself stays as it was.
  EXPECT_EQ(test::runTool({"l", "i", "o", "cmn"}).output.rfind("Normalization", 0), 0u);
  // Grouped short options work.
  test::writeSamples(dir / "in/u", test::noise(1600, 33, 1000));
  test::writeText(dir / "list", "u\n");
  const auto grouped = test::runTool({"-qj", "2", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(grouped.status, 0);
  EXPECT_EQ(grouped.errors, "");
  EXPECT_TRUE(test::fileExists(dir / "out/u.mfcKVR0DAZC39"));
  const auto glued = test::runTool({"-qj2", dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(glued.status, 0);
  EXPECT_TRUE(test::fileExists(dir / "out/u.mfcKVR0DAC39"));
}

// On a terminal, the pause after "Error" says what it waits for; the key
// typed ends it and the run goes on.
TEST_F(Terminal, PauseExplainsItselfOnATerminal) {
  test::writeText(dir / "list", corpus(3, {1}));
  test::writeText(dir / "short", "u0\nb1/u1\nu2\n");
  const std::string keys = "\n";
  const auto result = test::runToolOnTerminal({"-q", dir / "short", dir / "in", dir / "out", "CMN"}, 80, &keys);
  EXPECT_EQ(result.status, 1);
  const auto screen = test::terminalScreen(result.output, 80);
  const auto hint = std::find(screen.begin(), screen.end(),
                              "feature: press Enter to go on (batch jobs: give standard input from /dev/null)");
  ASSERT_NE(hint, screen.end()) << result.output;
  EXPECT_EQ(*(hint - 1), "Error");
  EXPECT_TRUE(test::fileExists(dir / "out/u2.mfcKVR0DAZC39"));
  // Off a terminal there is no such line.
  const auto off = test::runTool({"-q", dir / "short", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(off.errors.find("press Enter"), std::string::npos);
}

}  // namespace
