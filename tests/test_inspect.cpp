// The inspection command, and what the tool tells a person at a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

test::RunResult inspect(const std::vector<std::string>& args) {
  test::RunOptions options;
  options.program = INSPECT_BINARY;
  return test::runTool(args, options);
}

std::vector<unsigned char> htkFile(std::int32_t count, std::int16_t size, const std::vector<float>& values) {
  std::vector<unsigned char> bytes = {static_cast<unsigned char>(count >> 24), static_cast<unsigned char>(count >> 16),
                                      static_cast<unsigned char>(count >> 8), static_cast<unsigned char>(count),
                                      0x00, 0x01, 0x86, 0xA0,
                                      static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size),
                                      0x00, 0x06};
  for (float v : values) {
    const std::uint32_t bits = test::floatBits(v);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(bits >> shift));
  }
  return bytes;
}

TEST(Inspect, HeaderFramesAndStatistics) {
  test::ScratchDir dir;
  // Two vectors of two values: dimension 0 is 1 and 3, dimension 1 is -2 and -2.
  test::writeBytes(dir / "u.htk", htkFile(2, 8, {1.0f, -2.0f, 3.0f, -2.0f}));
  const auto result = inspect({"--frames", "1", dir / "u.htk"});
  EXPECT_EQ(result.status, 0) << result.errors;
  for (const char* expected : {"HTK parameter file", "vectors: 2", "sample period: 100000 (10 ms)",
                               "bytes per vector: 8 (2 values)", "parameter kind: 6 (MFCC)",
                               "length: 28 bytes, as the header says", "frame 1: 3 -2\n"}) {
    EXPECT_NE(result.output.find(expected), std::string::npos) << expected << "\n" << result.output;
  }
  EXPECT_EQ(result.output.find("frame 0:"), std::string::npos);
  // mean 2, deviation 1, minimum 1, maximum 3; then -2, 0, -2, -2.
  EXPECT_NE(result.output.find("0              2              1              1              3"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("1             -2              0             -2             -2"),
            std::string::npos)
      << result.output;
}

TEST(Inspect, ToolOutputsOfEveryKind) {
  const std::string golden = std::string(GOLDEN_DIR) + "/expected/";
  const auto result = inspect({"--no-stats", "--frames", "0:", golden + "speech_b.C12", golden + "speech_b.ENG",
                               golden + "short/len_0.mfcKVR0DAZC39"});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("frames: 129\n  values per frame: 12"), std::string::npos);
  EXPECT_NE(result.output.find("frames: 129\n  values per frame: 1\n"), std::string::npos);
  EXPECT_NE(result.output.find("frame 128:"), std::string::npos);
  EXPECT_NE(result.output.find("vectors: 0"), std::string::npos);
  EXPECT_EQ(result.output.find("dimension"), std::string::npos);
}

TEST(Inspect, InvalidFilesAreNamedWithTheReason) {
  test::ScratchDir dir;
  test::writeBytes(dir / "short", {0, 0, 1});
  auto cut = htkFile(3, 156, std::vector<float>(39 * 3, 1.0f));
  cut.resize(cut.size() - 5);
  test::writeBytes(dir / "cut", cut);
  test::writeBytes(dir / "odd", htkFile(1, 7, {}));
  test::writeBytes(dir / "x.ENG", {2, 0, 0, 0, 1, 2, 3, 4});
  test::writeBytes(dir / "ok", htkFile(0, 156, {}));
  const auto result = inspect({dir / "short", dir / "cut", dir / "missing", dir / "odd", dir / "x.ENG", dir / "ok"});
  EXPECT_EQ(result.status, 1);
  for (const std::string& expected :
       {dir / "short" + ": not a feature file: shorter than the 12-byte HTK header (3 bytes)",
        dir / "cut" + ": not a feature file: length 475 bytes, but the HTK header promises 12 + 3 x 156 = 480",
        dir / "missing" + ": cannot be opened", dir / "odd" + ": not a feature file: the HTK header gives 7 bytes per vector",
        dir / "x.ENG" + ": not a valid .ENG file: length 8 bytes, but 2 frames of a .ENG file need 4 + 2 x 4 = 12"}) {
    EXPECT_NE(result.errors.find(expected), std::string::npos) << expected << "\n" << result.errors;
  }
  EXPECT_NE(result.output.find(dir / "ok" + ": HTK parameter file"), std::string::npos);
  EXPECT_EQ(inspect({}).status, 2);
  EXPECT_EQ(inspect({"--frames", "x", dir / "ok"}).status, 2);
  EXPECT_EQ(inspect({"--help"}).status, 0);
}

// Files that cannot be read are each named with the reason, and the files
// after them are still checked.
TEST(Inspect, UnreadableFilesAreReportedAndTheRestChecked) {
  test::ScratchDir dir;
  mkdir((dir / "directory").c_str(), 0777);
  test::writeBytes(dir / "good", htkFile(2, 156, std::vector<float>(78, 0.5f)));
  const auto result = inspect({"--no-stats", dir / "directory", "/proc/self/mem", dir / "good"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find(dir / "directory" + ": cannot be read: it is a directory"), std::string::npos)
      << result.errors;
  EXPECT_NE(result.errors.find("/proc/self/mem: cannot be read: Input/output error"), std::string::npos)
      << result.errors;
  EXPECT_NE(result.output.find(dir / "good" + ": HTK parameter file\n  vectors: 2"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("length: 324 bytes, as the header says"), std::string::npos);
}

// A 2 GB file (sparse) with a bad header is refused from its header and
// size alone; a 400 MB one has its statistics and frames read a block at a
// time: memory stays small.
TEST(Inspect, LargeFilesAreReadInBoundedMemory) {
  test::ScratchDir dir;
  const std::int32_t frames = 2600000;  // 406 MB of vectors
  auto header = htkFile(frames, 156, {});
  test::writeBytes(dir / "large", header);
  ASSERT_EQ(truncate((dir / "large").c_str(), 12 + 156LL * frames), 0);
  test::writeBytes(dir / "bad", htkFile(5, 156, {}));
  ASSERT_EQ(truncate((dir / "bad").c_str(), 2000000000LL), 0);
  test::SpawnOptions options;
  options.program = INSPECT_BINARY;
  options.errorsFile = dir / "out";
  const pid_t child = test::spawn({"--frames", "2599999", dir / "bad", dir / "large"}, options).pid;
  const auto [peak, status] = test::waitMeasuringPeak(child);
  EXPECT_EQ(status, 1);
  const auto bytes = test::readBytes(dir / "out");
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("bad: not a feature file: length 2000000000 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("frame 2599999: 0 0 0"), std::string::npos) << text;
  EXPECT_NE(text.find("\u0394\u0394C0              0              0              0              0"), std::string::npos);
  std::printf("feature-inspect over 2 GB and 406 MB files: peak %ld kB\n", peak);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(peak, 20000L);
#endif
}

// What a person asks of it: the version, statistics by dimension name, a
// file that is no feature file called so with the reason (and never called
// an HTK file first), frame ranges that cannot be met, and .C12/.ENG files
// recognised by their content.
TEST(Inspect, SaysWhatItFoundAndWhatItAssumed) {
  test::ScratchDir dir;
  EXPECT_EQ(inspect({"--version"}).output, "feature-inspect 1.0.0\n");

  std::vector<float> values(39 * 361);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 39);
  test::writeBytes(dir / "f.htk", htkFile(361, 156, values));
  const auto stats = inspect({dir / "f.htk"});
  EXPECT_EQ(stats.status, 0);
  for (const std::string row : {"\n         c1              0 ", "\n         C0             12 ",
                                "\n        \u0394c1             13 ", "\n       \u0394\u0394C0             38 "}) {
    EXPECT_NE(stats.output.find(row), std::string::npos) << row << "\n" << stats.output;
  }

  const auto end = inspect({"--no-stats", "--frames", "361", dir / "f.htk"});
  EXPECT_EQ(end.status, 1);
  EXPECT_NE(end.errors.find("frame 361 is out of range: the file has 361 frames (0 to 360)"), std::string::npos)
      << end.errors;
  const auto reversed = inspect({"--frames", "5:2", dir / "f.htk"});
  EXPECT_EQ(reversed.status, 2);
  EXPECT_EQ(reversed.errors, "feature-inspect: --frames 5:2: the last frame comes before the first\n");

  const std::string golden = std::string(GOLDEN_DIR);
  const auto wav = inspect({golden + "/recordings/with_wav_header", dir / "f.htk"});
  EXPECT_EQ(wav.status, 1);
  EXPECT_EQ(wav.output.find("with_wav_header: HTK"), std::string::npos) << wav.output;
  EXPECT_NE(wav.errors.find("with_wav_header: not a feature file: it is a WAV audio file"), std::string::npos);
  test::writeBytes(dir / "noise", {0x13, 0x37, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
  const auto noise = inspect({dir / "noise"});
  EXPECT_EQ(noise.output, "");
  EXPECT_NE(noise.errors.find("noise: not a feature file: the HTK header gives"), std::string::npos) << noise.errors;

  test::writeBytes(dir / "energies", test::readBytes(golden + "/expected/speech_b.ENG"));
  test::writeBytes(dir / "cepstra", test::readBytes(golden + "/expected/speech_b.C12"));
  const auto byContent = inspect({"--no-stats", dir / "energies", dir / "cepstra"});
  EXPECT_EQ(byContent.status, 0);
  EXPECT_NE(byContent.output.find("energies: energy file (.ENG, little-endian, energy in dB a frame)\n"
                                  "  (recognised as a .ENG file by its layout (frame count and length), not by its name)"),
            std::string::npos)
      << byContent.output;
  EXPECT_NE(byContent.output.find("cepstra: cepstrum file (.C12"), std::string::npos);
}

// A picture of a file whose c1 rises frame by frame and whose other
// dimensions are noise: the PNG decodes, has the size stated, and has rows
// (those of c1, at the bottom) whose brightness rises from left to right.
TEST(Inspect, PicturesFollowTheData) {
  test::ScratchDir dir;
  std::vector<float> values(39 * 100);
  const auto noise = test::noise(static_cast<int>(values.size()), 77, 1000);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = i % 39 == 0 ? static_cast<float>(i / 39) : static_cast<float>(noise[i]);
  }
  test::writeBytes(dir / "rising", htkFile(100, 156, values));
  const auto result = inspect({"--no-stats", "--png", dir / "rising.png", dir / "rising"});
  ASSERT_EQ(result.status, 0) << result.errors;
  int statedWidth = 0, statedHeight = 0;
  const std::size_t at = result.output.find("picture: " + dir / "rising.png" + ", ");
  ASSERT_NE(at, std::string::npos) << result.output;
  std::sscanf(result.output.c_str() + at + 9 + (dir / "rising.png").size() + 2, "%d x %d", &statedWidth, &statedHeight);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, (dir / "rising.png").c_str()), 0) << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0) << image.message;
  EXPECT_EQ(static_cast<int>(image.width), statedWidth);
  EXPECT_EQ(static_cast<int>(image.height), statedHeight);

  const auto brightness = [&](int x, int y) {
    const unsigned char* p = &pixels[3 * (static_cast<std::size_t>(y) * image.width + x)];
    return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
  };
  std::vector<int> rising;
  for (int y = 0; y < static_cast<int>(image.height); ++y) {
    bool up = true;
    for (int k = 1; k < 10 && up; ++k) {
      const int x0 = static_cast<int>(image.width) * (20 + 6 * (k - 1)) / 100;
      const int x1 = static_cast<int>(image.width) * (20 + 6 * k) / 100;
      up = brightness(x1, y) > brightness(x0, y);
    }
    if (up) rising.push_back(y);
  }
  ASSERT_GE(rising.size(), 4u) << "no row follows the rising dimension";
  EXPECT_LE(rising.size(), 8u) << "noise should not rise steadily";
  for (const int y : rising) EXPECT_GT(y, static_cast<int>(image.height) / 2) << "c1 is drawn at the bottom";
  // Text above the plot (the title) and right of it (the bars' values):
  // black pixels there, none of which the plot or the bars draw.
  const auto blackIn = [&](int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) n += brightness(x, y) < 1.0;
    }
    return n;
  };
  EXPECT_GT(blackIn(90, static_cast<int>(image.width), 0, 20), 100) << "a title";
  EXPECT_GT(blackIn(static_cast<int>(image.width) - 80, static_cast<int>(image.width), 26, static_cast<int>(image.height) - 46),
            300) << "values beside the colour bars";
  png_image_free(&image);

  // An energy file as a curve, and a file of no frames refused.
  const auto curve = inspect({"--no-stats", "--png", dir / "e.png", std::string(GOLDEN_DIR) + "/expected/speech_b.ENG"});
  EXPECT_EQ(curve.status, 0);
  EXPECT_TRUE(test::fileExists(dir / "e.png"));
  const auto none = inspect({"--no-stats", "--png", dir / "n.png", std::string(GOLDEN_DIR) + "/expected/short/len_0.mfcKVR0DAZC39"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.errors.find("no frames to draw"), std::string::npos);
  EXPECT_FALSE(test::fileExists(dir / "n.png"));
}

// A picture never takes the place of a feature file, a device or a fifo,
// and a failed write leaves what stood under the picture's name.
TEST(Inspect, PicturesReplaceNothingButPictures) {
  test::ScratchDir dir;
  const std::string golden = std::string(GOLDEN_DIR) + "/expected/";
  for (const std::string name : {"speech_a.mfcKVR0DAZC39", "speech_b.mfcKVR0DAZC39"}) {
    test::writeBytes(dir / name, test::readBytes(golden + name));
  }
  mkfifo((dir / "fifo").c_str(), 0600);
  test::writeText(dir / "old.png", "an earlier picture");
  const struct {
    std::vector<std::string> args;
    const char* says;
  } refused[] = {
      {{"--png", dir / "speech_a.mfcKVR0DAZC39", dir / "speech_b.mfcKVR0DAZC39"}, "is a feature file (HTK parameter file"},
      {{"--png", dir / "fifo", dir / "speech_b.mfcKVR0DAZC39"}, "exists and is not a regular file"},
      {{"--png", dir.path(), dir / "speech_b.mfcKVR0DAZC39"}, "exists and is not a regular file"},
      {{"--png=", dir / "speech_b.mfcKVR0DAZC39"}, "--png needs the name of the picture"},
      {{"--png", "", dir / "speech_b.mfcKVR0DAZC39"}, "--png needs the name of the picture"}};
  for (const auto& c : refused) {
    const auto result = inspect(c.args);
    EXPECT_EQ(result.status, 2) << c.says;
    EXPECT_NE(result.errors.find(c.says), std::string::npos) << result.errors;
  }
  EXPECT_TRUE(test::readBytes(dir / "speech_a.mfcKVR0DAZC39") == test::readBytes(golden + "speech_a.mfcKVR0DAZC39"));
  struct stat info;
  EXPECT_TRUE(stat((dir / "fifo").c_str(), &info) == 0 && S_ISFIFO(info.st_mode));

  test::RunOptions limited;
  limited.program = INSPECT_BINARY;
  limited.fileSizeLimit = 2000;  // standard error, too, goes to a file
  const auto failed = test::runTool({"--png", dir / "old.png", dir / "speech_b.mfcKVR0DAZC39"}, limited);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.errors.find("cannot write " + dir / "old.png"), std::string::npos) << failed.errors;
  EXPECT_EQ(test::listTree(dir.path()), (std::vector<std::string>{"fifo", "old.png", "speech_a.mfcKVR0DAZC39",
                                                                  "speech_b.mfcKVR0DAZC39"}));
  const auto old = test::readBytes(dir / "old.png");
  EXPECT_EQ(std::string(old.begin(), old.end()), "an earlier picture");
  EXPECT_EQ(inspect({"--no-stats", "--png", dir / "old.png", dir / "speech_b.mfcKVR0DAZC39"}).status, 0);
  EXPECT_GT(test::readBytes(dir / "old.png").size(), 1000u);
}

// ---- Progress and summary ----

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "in").c_str(), 0777);
    std::string list;
    for (int i = 0; i < 6; ++i) {
      test::writeSamples(dir / ("in/u" + std::to_string(i)), test::noise(i == 5 ? 100 : 16000, i, 500));
      list += "u" + std::to_string(i) + "\n";
    }
    test::writeText(dir / "list", list);
  }
  test::ScratchDir dir;
};

TEST_F(Run, SummaryOnStandardErrorUnlessQuiet) {
  const auto result = test::runTool({dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors.rfind("feature: 6 utterances, 0 failed, 1 too short\nfeature: 5.0 s of audio in ", 0), 0u)
      << result.errors;
  EXPECT_NE(result.errors.find("5.0 s of audio"), std::string::npos) << result.errors;
  EXPECT_EQ(result.errors.find('\r'), std::string::npos) << "no progress line off a terminal";
  const auto quiet = test::runTool({"--quiet", dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.errors, "");
}

TEST_F(Run, ProgressLineOnATerminalIsClearedAtTheEnd) {
  const auto result = test::runToolOnTerminal({dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find("\r1/6 utterances, 1.0 s of audio"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("\r\033[K"), std::string::npos) << "the line is cleared";
  const std::size_t summary = result.output.find("feature: 6 utterances, 0 failed");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_GT(summary, result.output.find("\r\033[K"));
  const auto quiet = test::runToolOnTerminal({"-q", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(quiet.output, "");
}

}  // namespace
