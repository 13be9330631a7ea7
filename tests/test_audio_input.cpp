// Recordings in audio containers (--input-format=audio): the accepted ones
// give the bytes of the raw recordings of the same samples, every other
// kind is refused for its utterance with the reason; and the warnings of raw
// input (a container header read as samples, a recording cut at 90 s) leave
// standard output and the files as they were.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace {

const std::string kExamples = std::string(GOLDEN_DIR) + "/../../examples/recordings";
const std::string kGolden = GOLDEN_DIR;

void sox(const std::string& arguments) {
  const std::string command = "sox " + arguments + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string rawInput(const std::string& path) { return "-t raw -r 16000 -e signed -b 16 -c 1 -L '" + path + "'"; }

// Writes samples as a container of libsndfile's (for the kinds sox does not
// write: WAVEX and RF64 holding 16-bit mono).
void writeWithLibsndfile(const std::string& path, int format, const std::vector<std::int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = format | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  ASSERT_EQ(sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size())),
            static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

std::vector<std::int16_t> samplesOf(const std::string& path) {
  const auto bytes = test::readBytes(path);
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

class AudioInput : public ::testing::Test {
 protected:
  test::ScratchDir dir;
};

// Every example recording and the short and odd golden ones, in five
// containers (WAV, FLAC and AIFF written by sox; WAVEX and RF64 by
// libsndfile), in every mode with --c12-eng: the same files as from raw.
TEST_F(AudioInput, ContainersGiveTheBytesOfRawRecordings) {
  const std::vector<std::pair<std::string, std::string>> recordings = {
      {"features", kExamples + "/speaker1/features"}, {"fox", kExamples + "/speaker1/fox"},
      {"numbers", kExamples + "/speaker2/numbers"},   {"stella", kExamples + "/speaker2/stella"},
      {"clipped", kGolden + "/recordings/clipped"},   {"len_320", kGolden + "/recordings/short/len_320"},
      {"len_481", kGolden + "/recordings/short/len_481"}, {"len_1", kGolden + "/recordings/short/len_1"}};
  const std::vector<std::string> extensions = {"wav", "flac", "aiff", "wavex", "rf64"};
  std::string list;
  mkdir((dir / "raw").c_str(), 0777);
  for (const auto& ext : extensions) mkdir((dir / ext).c_str(), 0777);
  for (const auto& [name, path] : recordings) {
    list += name + "\n";
    const auto samples = samplesOf(path);
    test::writeSamples(dir / ("raw/" + name), samples);
    for (const std::string ext : {"wav", "flac", "aiff"}) {
      sox(rawInput(dir / ("raw/" + name)) + " '" + dir / (ext + "/" + name + "." + ext) + "'");
    }
    writeWithLibsndfile(dir / ("wavex/" + name + ".wavex"), SF_FORMAT_WAVEX, samples);
    writeWithLibsndfile(dir / ("rf64/" + name + ".rf64"), SF_FORMAT_RF64, samples);
  }
  test::writeText(dir / "list", list);
  for (const char* mode : {"CMN", "MVNMA", "NONE"}) {
    const std::string expected = dir / (std::string("out/raw-") + mode);
    ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "list", dir / "raw", expected, mode}).status, 0);
    const auto files = test::listTree(expected);
    ASSERT_EQ(files.size(), 3 * recordings.size());
    for (const auto& ext : extensions) {
      const std::string out = dir / ("out/" + ext + "-" + mode);
      const auto run = test::runTool({"-q", "-j", "2", "--c12-eng", "--input-format=audio", "--input-extension=" + ext,
                                      dir / "list", dir / ext, out, mode});
      ASSERT_EQ(run.status, 0) << ext << "\n" << run.errors;
      ASSERT_EQ(test::listTree(out), files) << ext;
      for (const auto& file : files) {
        EXPECT_TRUE(test::readBytes(out + "/" + file) == test::readBytes(expected + "/" + file))
            << ext << " " << mode << " " << file;
      }
    }
  }
}

// Each kind that is not 16-bit integer samples at 16 kHz in one channel is
// refused for its utterance: standard error names the file and what it is,
// no file stands for it, the next utterance is written, the status is 1.
TEST_F(AudioInput, OtherKindsAreRefusedWithTheReason) {
  mkdir((dir / "in").c_str(), 0777);
  const std::string source = dir / "source.raw";
  test::writeSamples(source, test::speechLike(16000, 7));
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"rate22050", "-r 22050"}, {"rate8000", "-r 8000"}, {"stereo", "-c 2"},
      {"bits8", "-b 8"},         {"bits24", "-b 24"},     {"float", "-e floating-point -b 32"},
      {"mulaw", "-e mu-law"}};
  std::string list;
  for (const auto& [name, effect] : kinds) {
    sox(rawInput(source) + " " + effect + " '" + dir / ("in/" + name + ".wav") + "'");
    list += name + "\ngood_after_" + name + "\n";
    sox(rawInput(source) + " '" + dir / ("in/good_after_" + name + ".wav") + "'");
  }
  sox(rawInput(source) + " '" + dir / "whole.wav" + "'");
  auto header = test::readBytes(dir / "whole.wav");
  header.resize(30);
  test::writeBytes(dir / "in/cut_header.wav", header);
  auto cutData = test::readBytes(dir / "whole.wav");
  cutData.resize(cutData.size() / 2);
  test::writeBytes(dir / "in/cut_data.wav", cutData);
  test::writeText(dir / "in/text.wav", "these are not the samples you are looking for\n");
  for (const std::string name : {"cut_header", "cut_data", "text"}) {
    list += name + "\ngood_after_" + name + "\n";
    sox(rawInput(source) + " '" + dir / ("in/good_after_" + name + ".wav") + "'");
  }
  test::writeText(dir / "list", list);

  const auto result = test::runTool({"-q", "--input-format=audio", "--input-extension=wav", dir / "list",
                                     dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  const std::vector<std::pair<std::string, std::string>> reasons = {
      {"rate22050", "22050 Hz, 1 channel, Signed 16 bit PCM"},
      {"rate8000", "8000 Hz, 1 channel, Signed 16 bit PCM"},
      {"stereo", "16000 Hz, 2 channels, Signed 16 bit PCM"},
      {"bits8", "16000 Hz, 1 channel, Unsigned 8 bit PCM"},
      {"bits24", "16000 Hz, 1 channel, Signed 24 bit PCM"},
      {"float", "16000 Hz, 1 channel, 32 bit float"},
      {"mulaw", "16000 Hz, 1 channel, U-Law"},
      {"cut_header", "not an audio file that can be read"},
      {"cut_data", "its header promises more samples than the file holds"},
      {"text", "not an audio file that can be read (Format not recognised.)"}};
  for (const auto& [name, reason] : reasons) {
    const std::string expected = "feature: refused " + dir / "in" + "/" + name + ".wav: " + reason;
    EXPECT_NE(result.errors.find(expected), std::string::npos) << expected << "\n" << result.errors;
    EXPECT_FALSE(test::fileExists(dir / ("out/" + name + ".mfcKVR0DAZC39"))) << name;
    EXPECT_TRUE(test::fileExists(dir / ("out/good_after_" + name + ".mfcKVR0DAZC39"))) << name;
  }
  EXPECT_NE(result.errors.find("sox '" + dir / "in" + "/rate22050.wav' -r 16000 -c 1 -b 16 -e signed-integer"),
            std::string::npos);
  EXPECT_EQ(test::listTree(dir / "out").size(), reasons.size());

  // A recording that is missing still stops the run, as in raw mode.
  test::writeText(dir / "missing", "good_after_text\nnot_there\ngood_after_float\n");
  const auto missing = test::runTool({"-q", "--input-format=audio", "--input-extension=wav", dir / "missing",
                                      dir / "in", dir / "out2", "CMN"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.output, "can't open file " + dir / "in" + "/not_there.wav\n");
  EXPECT_EQ(test::listTree(dir / "out2"), std::vector<std::string>{"good_after_text.mfcKVR0DAZC39"});
}

// Raw input keeps its defined output: a file that begins with a container
// header is analysed from its first byte and one longer than 90 s is cut
// there, each with a warning on standard error only; the summary counts the
// recordings cut.
TEST_F(AudioInput, RawInputWarnsButKeepsItsOutput) {
  mkdir((dir / "in").c_str(), 0777);
  std::string list;
  const std::vector<std::pair<std::string, std::string>> signatures = {
      {"riff", std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16)},
      {"rf64", std::string("RF64\xff\xff\xff\xffWAVEds64", 16)},
      {"flac", std::string("fLaC\x00\x00\x00\x22\x10\x00\x10\x00", 12)},
      {"ogg", std::string("OggS\x00\x02\x00\x00\x00\x00\x00\x00", 12)},
      {"aiff", std::string("FORM\x00\x00\x10\x00" "AIFFCOMM", 16)}};
  for (const auto& [name, head] : signatures) {
    auto bytes = std::vector<unsigned char>(head.begin(), head.end());
    const auto body = test::noise(4000, 8, 3000);
    for (const auto sample : body) {
      bytes.push_back(static_cast<unsigned char>(sample & 0xFF));
      bytes.push_back(static_cast<unsigned char>((sample >> 8) & 0xFF));
    }
    test::writeBytes(dir / ("in/" + name), bytes);
    list += name + "\n";
  }
  auto longRecording = test::noise(kMaxSamples + 40000, 9, 2000);  // 92.5 s
  test::writeSamples(dir / "in/long", longRecording);
  longRecording.resize(kMaxSamples);
  test::writeSamples(dir / "in/first90", longRecording);
  test::writeText(dir / "list", list + "long\n");
  test::writeText(dir / "plain", "first90\n");

  const auto result = test::runTool({dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "");
  for (const auto& [name, kind] : std::vector<std::pair<std::string, std::string>>{
           {"riff", "a WAV"}, {"rf64", "an RF64"}, {"flac", "a FLAC"}, {"ogg", "an Ogg"}, {"aiff", "an AIFF"}}) {
    const std::string expected = "feature: warning: " + dir / "in" + "/" + name + " begins with " + kind +
                                 " header, which is read as samples (--input-format=audio reads the file as audio)";
    EXPECT_NE(result.errors.find(expected), std::string::npos) << expected << "\n" << result.errors;
  }
  EXPECT_NE(result.errors.find("feature: warning: " + dir / "in" + "/long is longer than 90 s; its last 2.50 s are ignored"),
            std::string::npos)
      << result.errors;
  EXPECT_NE(result.errors.find("feature: 6 utterances, 0 failed, 1 cut at 90 s"),
            std::string::npos)
      << result.errors;

  // The same bytes as without any warning: the first 90 seconds, and the
  // golden file of a recording that begins with a WAV header.
  ASSERT_EQ(test::runTool({"-q", dir / "plain", dir / "in", dir / "out", "NONE"}).status, 0);
  EXPECT_TRUE(test::readBytes(dir / "out/long.mfcKVR0DAC39") == test::readBytes(dir / "out/first90.mfcKVR0DAC39"));
  test::writeText(dir / "golden", "with_wav_header\n");
  const auto golden = test::runTool({"-q", dir / "golden", kGolden + "/recordings", dir / "golden-out", "CMN"});
  EXPECT_EQ(golden.status, 0);
  EXPECT_EQ(golden.output, "");
  EXPECT_NE(golden.errors.find("begins with a WAV header"), std::string::npos);
  EXPECT_TRUE(test::readBytes(dir / "golden-out/with_wav_header.mfcKVR0DAZC39") ==
              test::readBytes(kGolden + "/expected/with_wav_header.mfcKVR0DAZC39"));
}

TEST_F(AudioInput, OptionsAreChecked) {
  const auto unknown = test::runTool({"--input-format=wav", "l", "i", "o", "NONE"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.errors.find("unknown input format wav (raw or audio)"), std::string::npos);
  const auto slash = test::runTool({"--input-extension=a/b", "l", "i", "o", "NONE"});
  EXPECT_EQ(slash.status, 1);
  EXPECT_NE(slash.errors.find("--input-extension needs an extension"), std::string::npos);
}

}  // namespace
