// The batch tool through its command line: arguments, messages and exit
// statuses, the list file, output paths, and files that fail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "test_support.h"

namespace {

const std::string kBadMode =
    "Normalization\xB0\xD1\xBC\xC6\xA4\xA3\xA5\xBF\xBD\x54\xA1\x49\xBD\xD0\xBF\xE9\xA4\x4A"
    "CMN\xA9\xCE"
    "MVNMA\n";
const std::string kUsage = "feature.exe <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>\n";

// A scratch tree with an input directory "in" of recordings and a list.
class Corpus : public ::testing::Test {
 protected:
  void SetUp() override { mkdir((dir / "in").c_str(), 0777); }

  void addRecording(const std::string& name, const std::vector<std::int16_t>& samples) {
    const std::string path = dir / ("in/" + name);
    for (std::size_t slash = path.find('/', dir.path().size() + 4); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0777);
    }
    test::writeSamples(path, samples);
  }

  test::RunResult run(const std::string& list, const std::string& mode,
                      test::RunOptions options = {}) {
    test::writeText(dir / "list", list);
    return test::runTool({dir / "list", dir / "in", dir / "out", mode}, options);
  }

  test::ScratchDir dir;
};

TEST_F(Corpus, EachModeWritesItsExtensionWithTheSameHeader) {
  addRecording("a", test::speechLike(16000, 1));
  const struct {
    const char* mode;
    const char* ext;
  } modes[] = {{"CMN", "mfcKVR0DAZC39"}, {"MVNMA", "mfcKVR0DAC39mvacqx_kvr"}, {"NONE", "mfcKVR0DAC39"}};
  for (const auto& m : modes) {
    const auto result = run("a\n", m.mode);
    EXPECT_EQ(result.status, 0) << m.mode;
    EXPECT_EQ(result.output, "");
    const auto bytes = test::readBytes(dir / (std::string("out/a.") + m.ext));
    ASSERT_EQ(bytes.size(), 12u + 156u * 99u) << m.mode;
    const std::vector<unsigned char> header = {0, 0, 0, 99, 0x00, 0x01, 0x86, 0xA0, 0x00, 0x9C, 0x00, 0x06};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin())) << m.mode;
  }
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"a.mfcKVR0DAC39", "a.mfcKVR0DAC39mvacqx_kvr", "a.mfcKVR0DAZC39"}));
}

// The files hold exactly what the extractor computes for each mode.
TEST_F(Corpus, FilesHoldTheExtractorsVectors) {
  const auto samples = test::speechLike(9000, 2);
  addRecording("u", samples);
  for (int normType : {0, 1, 2}) {
    const char* mode[] = {"CMN", "MVNMA", "NONE"};
    ASSERT_EQ(run("u", mode[normType]).status, 0);
    auto f = test::makeExtractor(normType);
    ASSERT_EQ(f->doExtract((dir / "in/u").c_str(), "u", 0), kExtractOk);
    ASSERT_EQ(f->totalFrame, 55);
    const char* ext[] = {"mfcKVR0DAZC39", "mfcKVR0DAC39mvacqx_kvr", "mfcKVR0DAC39"};
    const auto bytes = test::readBytes(dir / (std::string("out/u.") + ext[normType]));
    ASSERT_EQ(bytes.size(), 12u + 156u * 55u);
    for (std::size_t i = 0; i < f->outData.size(); ++i) {
      ASSERT_EQ(test::floatBits(test::htkValue(bytes, i)), test::floatBits(f->outData[i]))
          << mode[normType] << " value " << i;
    }
    f->doReset();
  }
}

TEST_F(Corpus, ShortRecordingsGiveHeaderOnlyFiles) {
  addRecording("empty", {});
  addRecording("short", test::noise(319, 3, 100));
  addRecording("one", test::noise(320, 3, 100));
  ASSERT_EQ(run("empty short one", "NONE").status, 0);
  EXPECT_EQ(test::readBytes(dir / "out/empty.mfcKVR0DAC39").size(), 12u);
  EXPECT_EQ(test::readBytes(dir / "out/short.mfcKVR0DAC39").size(), 12u);
  EXPECT_EQ(test::readBytes(dir / "out/one.mfcKVR0DAC39").size(), 12u + 156u);
}

TEST_F(Corpus, ListNamesAreSeparatedByAnyWhiteSpace) {
  for (const char* name : {"a", "b", "c", "d", "e"}) addRecording(name, test::noise(400, 1, 50));
  const auto result = run("\n\n  a\tb   c\n\n\r\nd\t\t\n e \n\n \t", "NONE");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"a.mfcKVR0DAC39", "b.mfcKVR0DAC39", "c.mfcKVR0DAC39",
                                      "d.mfcKVR0DAC39", "e.mfcKVR0DAC39"}));
}

TEST_F(Corpus, EmptyListWritesNothing) {
  for (const char* list : {"", "\n \n\t"}) {
    const auto result = run(list, "CMN");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(test::fileExists(dir / "out"));
  }
}

TEST_F(Corpus, WrongArgumentsPrintUsageOrTheModeMessage) {
  test::writeText(dir / "list", "");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {dir / "list", dir / "in", dir / "out"}, {dir / "list", dir / "in", dir / "out", "CMN", "x"}}) {
    const auto result = test::runTool(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kUsage);
  }
  for (const char* mode : {"cmn", "Cmn", "CMNX", "CMN ", "", "NONE\n"}) {
    const auto result = test::runTool({dir / "list", dir / "in", dir / "out", mode});
    EXPECT_EQ(result.status, 1) << mode;
    EXPECT_EQ(result.output, kBadMode) << mode;
  }
  // The mode is checked before the list is opened.
  const auto missingList = test::runTool({dir / "nothing", dir / "in", dir / "out", "MVN"});
  EXPECT_EQ(missingList.output, kBadMode);
  EXPECT_FALSE(test::fileExists(dir / "out"));
}

TEST_F(Corpus, MissingListFile) {
  for (const std::string& list : {dir / "nothing", dir / "in"}) {  // a directory is no list either
    const auto result = test::runTool({list, dir / "in", dir / "out", "NONE"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "cant open LST file : " + list + "\n");
  }
}

TEST_F(Corpus, MissingRecordingStopsTheRun) {
  addRecording("first", test::noise(800, 1, 50));
  addRecording("last", test::noise(800, 2, 50));
  mkdir((dir / "in/adir").c_str(), 0777);
  for (const char* missing : {"gone", "adir"}) {
    const auto result = run(std::string("first ") + missing + " last", "NONE");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "can't open file " + dir / "in" + "/" + missing + "\n");
    EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"first.mfcKVR0DAC39"}));
  }
}

TEST_F(Corpus, NamesWithDirectoriesAndShellCharacters) {
  // (White space separates names in a list, so no name holds a blank.)
  const std::vector<std::string> names = {"spk1/utt1", "a;touch${IFS}b/u1", "x$(touch${IFS}y)/`touch${IFS}z`&'q\""};
  std::string list;
  for (const auto& name : names) {
    addRecording(name, test::noise(500, 4, 60));
    list += name + "\n";
  }
  test::RunOptions inScratch;
  inScratch.cwd = dir.path();  // where a shell would have created b, y and z
  const auto result = run(list, "CMN", inScratch);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"a;touch${IFS}b/", "a;touch${IFS}b/u1.mfcKVR0DAZC39", "spk1/",
                                      "spk1/utt1.mfcKVR0DAZC39", "x$(touch${IFS}y)/",
                                      "x$(touch${IFS}y)/`touch${IFS}z`&'q\".mfcKVR0DAZC39"}));
  EXPECT_FALSE(test::fileExists(dir / "b"));
  EXPECT_FALSE(test::fileExists(dir / "y"));
  EXPECT_FALSE(test::fileExists(dir / "z"));
}

TEST_F(Corpus, OutputDirectoryEndingInASlash) {
  addRecording("s/u", test::noise(500, 4, 60));
  test::writeText(dir / "list", "s/u");
  const auto result = test::runTool({dir / "list", dir / "in/", dir / "out/", "NONE"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(test::fileExists(dir / "out/s/u.mfcKVR0DAC39"));
}

// An utterance whose file cannot be written costs only that utterance: "Error",
// one character read, the next name, and status 1 at the end.
TEST_F(Corpus, UnwritableOutputPrintsErrorAndGoesOn) {
  addRecording("blocked/u", test::noise(800, 5, 60));
  addRecording("fine", test::noise(800, 6, 60));
  mkdir((dir / "out").c_str(), 0777);
  test::writeText(dir / "out/blocked", "a file where a directory should be");
  const std::string keys = "xy";
  test::RunOptions options;
  options.input = &keys;
  const auto result = run("blocked/u fine blocked/u", "NONE", options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Error\nError\n");
  EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"blocked", "fine.mfcKVR0DAC39"}));
}

// A disk that fills part way through a file: nothing under the final name,
// no temporary left behind, the run goes on.
TEST_F(Corpus, FileCutShortByAFullDiskIsNeverLeftBehind) {
  addRecording("big", test::speechLike(48000, 7));   // 299 frames: 46,656 bytes
  addRecording("small", test::noise(480, 8, 60));     // 2 frames: 324 bytes
  test::RunOptions options;
  options.fileSizeLimit = 20000;
  const auto result = run("big small", "MVNMA", options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Error\n");
  EXPECT_NE(result.errors.find("big.mfcKVR0DAC39mvacqx_kvr"), std::string::npos) << result.errors;
  EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"small.mfcKVR0DAC39mvacqx_kvr"}));
}

TEST_F(Corpus, OverlongArgumentsAndNamesAreRefused) {
  addRecording("ok", test::noise(800, 9, 60));
  test::writeText(dir / "list", "ok");
  const std::string longDir = dir.path() + "/" + std::string(300, 'd');
  auto result = test::runTool({dir / "list", longDir, dir / "out", "NONE"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("input directory"), std::string::npos);
  result = test::runTool({dir / "list", dir / "in", longDir, "NONE"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("output directory"), std::string::npos);
  EXPECT_FALSE(test::fileExists(dir / "out"));

  // A name of 600 characters is skipped; the others are written.
  result = run(std::string(600, 'n') + "\nok\n", "NONE");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("longer than 511"), std::string::npos);
  EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"ok.mfcKVR0DAC39"}));
}

// --c12-eng: the cepstrum and energy files beside every HTK file, from the
// liftered cepstra before normalisation.
TEST_F(Corpus, CepstrumAndEnergyFilesOnRequest) {
  addRecording("spk/u", test::speechLike(8000, 11));
  test::writeText(dir / "list", "spk/u");
  auto result = test::runTool({"--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"spk/", "spk/u.C12", "spk/u.ENG", "spk/u.mfcKVR0DAZC39"}));

  auto f = test::makeExtractor(0);
  ASSERT_EQ(f->MFCC_shell((dir / "in/spk/u").c_str()), 49);
  f->CEPLIFTER(f->totalFrame);
  const auto c12 = test::readBytes(dir / "out/spk/u.C12");
  const auto eng = test::readBytes(dir / "out/spk/u.ENG");
  ASSERT_EQ(c12.size(), 4u + 48u * 49u);
  ASSERT_EQ(eng.size(), 4u + 4u * 49u);
  std::vector<float> values(49 * 12), energies(49);
  std::memcpy(values.data(), c12.data() + 4, values.size() * 4);
  std::memcpy(energies.data(), eng.data() + 4, energies.size() * 4);
  for (int t = 0; t < 49; ++t) {
    for (int n = 0; n < 12; ++n) {
      ASSERT_EQ(test::floatBits(values[t * 12 + n]), test::floatBits(f->cepData[t * kCepDim + n]));
    }
    ASSERT_EQ(test::floatBits(energies[t]), test::floatBits(f->frameEng[t]));
  }

  // Without the option nothing but the HTK file is written.
  result = run("spk/u", "NONE");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(test::listTree(dir / "out").size(), 5u);
}

TEST_F(Corpus, CepstrumFileFailureCountsAsAFailedUtterance) {
  addRecording("u", test::noise(800, 12, 100));
  addRecording("v", test::noise(800, 13, 100));
  mkdir((dir / "out").c_str(), 0777);
  mkdir((dir / "out/u.ENG").c_str(), 0777);
  test::writeText(dir / "list", "u v");
  const auto result = test::runTool({"--c12-eng", dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "open ENG to write ERROR : " + dir / "out" + "//u.ENG\n");
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"u.C12", "u.ENG/", "u.mfcKVR0DAC39", "v.C12", "v.ENG",
                                      "v.mfcKVR0DAC39"}));
}

TEST_F(Corpus, HelpVersionAndOptionsBeforeTheArguments) {
  for (const char* flag : {"--help", "-h"}) {
    const auto help = test::runTool({flag});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--c12-eng"), std::string::npos);
    EXPECT_NE(help.output.find("MVNMA"), std::string::npos);
  }
  const auto version = test::runTool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("feature ", 0), 0u);
  // After the options exactly four arguments must remain.
  const auto tooFew = test::runTool({"--c12-eng", dir / "list", dir / "in", dir / "out"});
  EXPECT_EQ(tooFew.status, 1);
  EXPECT_EQ(tooFew.output, kUsage);
  // A word that is not an option is the list file, as it always was.
  const auto notAnOption = test::runTool({"--bogus", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(notAnOption.status, 1);
  EXPECT_EQ(notAnOption.output, "cant open LST file : --bogus\n");
}

// With several workers the messages, the pauses after "Error" and the exit
// status are those of one worker, in list order.
TEST_F(Corpus, WorkersKeepTheMessagesInListOrder) {
  mkdir((dir / "out").c_str(), 0777);
  std::string list;
  for (int i = 0; i < 40; ++i) {
    const bool blocked = i % 7 == 3;
    const std::string name = (blocked ? "blocked" + std::to_string(i) + "/u" : "u") + std::to_string(i);
    // The first blocked one is long, so that with workers the later ones
    // fail before it does.
    addRecording(name, test::speechLike(i == 3 ? 600000 : 800 + 400 * (i % 5), 30 + i));
    if (blocked) test::writeText(dir / ("out/blocked" + std::to_string(i)), "a file in the way");
    list += name + (i % 3 ? " " : "\n");
  }
  list += std::string(600, 'x') + "\n";  // refused: too long
  const std::string keys(10, 'k');
  test::RunOptions options;
  options.input = &keys;
  test::writeText(dir / "list", list);
  const auto one = test::runTool({"-q", dir / "list", dir / "in", dir / "out", "CMN"}, options);
  const auto oneTree = test::listTree(dir / "out");
  ASSERT_EQ(one.status, 1);
  ASSERT_EQ(one.output, "Error\nError\nError\nError\nError\nError\n");
  for (const char* jobs : {"2", "5", "0"}) {
    const auto many = test::runTool({"-q", "-j", jobs, dir / "list", dir / "in", dir / "out", "CMN"}, options);
    EXPECT_EQ(many.status, 1) << jobs;
    EXPECT_EQ(many.output, one.output) << jobs;
    EXPECT_EQ(many.errors, one.errors) << jobs;
    EXPECT_EQ(test::listTree(dir / "out"), oneTree) << jobs;
  }
}

TEST_F(Corpus, WorkersStopAtARecordingThatCannotBeOpened) {
  std::string list;
  for (int i = 0; i < 30; ++i) {
    const std::string name = "u" + std::to_string(i);
    if (i != 17) addRecording(name, test::noise(2000, 50 + i, 3000));
    list += name + "\n";
  }
  const auto result = test::runTool({"--jobs=3", (test::writeText(dir / "list", list), dir / "list"),
                                     dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "can't open file " + dir / "in" + "/u17\n");
  // Exactly what one worker writes: everything before the missing recording
  // and nothing after it.
  std::vector<std::string> expected;
  for (int i = 0; i < 17; ++i) expected.push_back("u" + std::to_string(i) + ".mfcKVR0DAC39");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(test::listTree(dir / "out"), expected);
}

TEST_F(Corpus, WorkerCountsAreChecked) {
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"-j", "x"}, {"-j", "-1"}, {"--jobs=2000"}, {"-j"}}) {
    std::vector<std::string> args = bad;
    const auto result = test::runTool(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("worker"), std::string::npos) << result.errors;
  }
}

// Output kind 2: the name, then per frame a tab, its index, a colon and the
// 39 values as " %f". Silence gives zeros throughout (worked by hand); for
// noise, every printed value is the HTK file's value to six decimals.
TEST(TextOutput, PrintsFramesAsText) {
  test::ScratchDir dir;
  test::OutputDirectory out(dir.path());
  test::writeSamples(dir / "silence", std::vector<std::int16_t>(640, 0));
  test::writeSamples(dir / "noise", test::noise(960, 10, 300));
  auto f = test::makeExtractor(2);
  {
    test::Console console(*f);
    ASSERT_EQ(f->doExtract((dir / "silence").c_str(), "spk/u", 2), kExtractOk);
    std::string zeros;
    for (int d = 0; d < kOutDim; ++d) zeros += " 0.000000";
    EXPECT_EQ(console.text(), "spk/u\n\t0:" + zeros + "\n\t1:" + zeros + "\n\t2:" + zeros + "\n");
  }
  std::string text;
  {
    test::Console console(*f);
    ASSERT_EQ(f->doExtract((dir / "noise").c_str(), "n", 2), kExtractOk);
    text = console.text();
  }
  f->doReset();
  std::snprintf(f->outExt, sizeof f->outExt, "%s", "htk");
  ASSERT_EQ(f->doExtract((dir / "noise").c_str(), "n", 1), kExtractOk);
  const auto file = test::readBytes(dir / "n.htk");
  ASSERT_EQ(file.size(), 12u + 5u * 156u);
  std::istringstream lines(text);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "n");
  for (int t = 0; t < 5; ++t) {
    ASSERT_TRUE(std::getline(lines, line));
    const std::string prefix = "\t" + std::to_string(t) + ":";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    std::istringstream values(line.substr(prefix.size()));
    for (int d = 0; d < kOutDim; ++d) {
      std::string value;
      ASSERT_TRUE(values >> value);
      ASSERT_EQ(value.size() - value.find('.'), 7u) << value;  // six decimals
      EXPECT_NEAR(std::stod(value), test::htkValue(file, t * kOutDim + d), 5.000001e-7) << t << " " << d;
    }
    EXPECT_FALSE(values >> line);
  }
  EXPECT_FALSE(std::getline(lines, line));
}

}  // namespace

namespace {

// --pairs: a list of sources and targets (an HTK script file). The files
// are the tool's for the same recordings, under the targets' names exactly,
// with paths relative to the working directory (". .") or absolute ("/ /"),
// with workers, parts and resuming; an entry without a target is refused.
TEST(Pairs, SourcesAndTargetsAsHtkScriptFilesHaveThem) {
  test::ScratchDir dir;
  const std::string examples = std::string(EXAMPLES_DIR) + "/recordings";
  ASSERT_EQ(test::runTool({"-q", std::string(EXAMPLES_DIR) + "/list.txt", examples, dir / "plain", "MVNMA"}).status, 0);
  mkdir((dir / "data").c_str(), 0777);
  const std::vector<std::string> names = {"speaker1/fox", "speaker1/features", "speaker2/numbers", "speaker2/stella"};
  std::string relative, absolute;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string source = "data/r" + std::to_string(i) + ".raw";
    test::writeBytes(dir / source, test::readBytes(examples + "/" + names[i]));
    relative += source + " feats/" + names[i] + (i % 2 ? ".mfc" : "") + "\n";
    absolute += dir / source + "\t" + dir / ("abs/" + names[i] + ".htk") + "\n";
  }
  test::writeText(dir / "rel.scp", relative);
  test::writeText(dir / "abs.scp", absolute);
  const auto expect = [&](const std::string& file, const std::string& name, const std::string& why) {
    EXPECT_TRUE(test::readBytes(file) == test::readBytes(dir / ("plain/" + name + ".mfcKVR0DAC39mvacqx_kvr")))
        << why << ": " << file;
  };
  test::RunOptions here;
  here.cwd = dir.path();
  for (const char* jobs : {"1", "2"}) {
    ASSERT_EQ(test::runTool({"-q", "--pairs", "-j", jobs, "rel.scp", ".", ".", "MVNMA"}, here).status, 0);
    ASSERT_EQ(test::runTool({"-q", "--pairs", "-j", jobs, dir / "abs.scp", "/", "/", "MVNMA"}).status, 0);
    for (std::size_t i = 0; i < names.size(); ++i) {
      expect(dir / ("feats/" + names[i] + (i % 2 ? ".mfc" : "")), names[i], std::string("relative -j ") + jobs);
      expect(dir / ("abs/" + names[i] + ".htk"), names[i], std::string("absolute -j ") + jobs);
    }
  }
  EXPECT_EQ(test::listTree(dir / "feats").size(), 6u);  // 4 files, 2 directories: no extension added
  // Parts take whole entries; resuming counts the targets.
  test::ScratchDir parts;
  for (const char* part : {"0/2", "1/2"}) {
    ASSERT_EQ(test::runTool({"-q", "--pairs", "--part", part, dir / "abs.scp", "/", parts.path(), "MVNMA"}).status, 0);
  }
  EXPECT_EQ(test::listTree(parts / dir.path() + "/abs").size(), 6u);
  const auto again = test::runTool({"--pairs", "--skip-existing", dir / "abs.scp", "/", "/", "MVNMA"});
  EXPECT_NE(again.errors.find("4 utterances, 0 failed, 4 skipped (done before)"), std::string::npos) << again.errors;
  // A last entry without its target, and --input-extension, are refused.
  test::writeText(dir / "odd.scp", relative + "data/r0.raw\n");
  const auto odd = test::runTool({"-q", "--pairs", "odd.scp", ".", ".", "MVNMA"}, here);
  EXPECT_EQ(odd.status, 1);
  EXPECT_EQ(odd.errors, "feature: skipped line 5 of the list: one name where a source and its target are needed\n");
  const auto both = test::runTool({"--pairs", "--input-extension=raw", "rel.scp", ".", ".", "MVNMA"}, here);
  EXPECT_EQ(both.status, 1);
  EXPECT_NE(both.errors.find("--input-extension does not go with --pairs"), std::string::npos) << both.errors;
}

}  // namespace

namespace {

// --part K/N takes exactly the entries at positions K, K + N, ... (from 0):
// of six names, part 0/3 is the first and the fourth, in the tool (names
// and pairs) and in feature-kaldi.
TEST(Shares, EachPartHoldsExactlyItsMembers) {
  test::ScratchDir dir;
  std::string names, pairs, scp;
  for (int i = 0; i < 6; ++i) {
    const std::string n = "n" + std::to_string(i);
    test::writeSamples(dir / (n + ".raw"), test::noise(800, static_cast<std::uint32_t>(i), 1000));
    names += n + "\n";
    pairs += n + ".raw " + n + ".htk\n";
    scp += n + " " + dir / (n + ".raw") + "\n";
  }
  test::writeText(dir / "names", names);
  test::writeText(dir / "pairs", pairs);
  test::writeText(dir / "wav.scp", scp);
  for (int k = 0; k < 3; ++k) {
    const std::string part = std::to_string(k) + "/3";
    const std::string first = "n" + std::to_string(k), second = "n" + std::to_string(k + 3);
    const std::string out = dir / ("out" + std::to_string(k));
    ASSERT_EQ(test::runTool({"-q", "--part", part, "--input-extension=raw", dir / "names", dir.path(), out, "NONE"}).status, 0);
    EXPECT_EQ(test::listTree(out), (std::vector<std::string>{first + ".mfcKVR0DAC39", second + ".mfcKVR0DAC39"}));
    test::RunOptions here;
    here.cwd = dir.path();
    ASSERT_EQ(test::runTool({"-q", "--pairs", "--part", part, "pairs", ".", "pairs-" + std::to_string(k), "NONE"}, here).status, 0);
    EXPECT_EQ(test::listTree(dir / ("pairs-" + std::to_string(k))), (std::vector<std::string>{first + ".htk", second + ".htk"}));
    test::RunOptions kaldi;
    kaldi.program = KALDI_BINARY;
    const auto run = test::runTool({"-q", "--input-format=raw", "--part", part, "--write-num-frames=ark,t:" + out + ".frames",
                                    "scp:" + dir / "wav.scp", "ark:" + out + ".ark", "NONE"}, kaldi);
    ASSERT_EQ(run.status, 0) << run.errors;
    const auto frames = test::readBytes(out + ".frames");
    EXPECT_EQ(std::string(frames.begin(), frames.end()), first + " 4\n" + second + " 4\n");
  }
}

}  // namespace
