// Recordings in audio containers (--input-format=audio): the accepted ones
// give the bytes of the raw recordings of the same samples, every other
// kind is refused for its utterance with the reason; and the warnings of raw
// input (a container header read as samples, a recording cut at 90 s) leave
// standard output and the files as they were.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "audio_container.h"
#include "extractor.h"
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
  ASSERT_TRUE(test::writeAudio(path, format | SF_FORMAT_PCM_16, samples)) << sf_strerror(nullptr);
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
  // The command converts that very file, beside it, and says how to convert
  // on the fly instead.
  EXPECT_NE(result.errors.find("  sox '" + dir / "in" + "/rate22050.wav' -r 16000 -c 1 -b 16 -e signed-integer '" +
                               dir / "in" + "/rate22050.16k.wav'\nor convert on the fly with feature-kaldi"),
            std::string::npos) << result.errors;
  EXPECT_EQ(test::listTree(dir / "out").size(), reasons.size());

  // A recording that is missing still stops the run, as in raw mode.
  test::writeText(dir / "missing", "good_after_text\nnot_there\ngood_after_float\n");
  const auto missing = test::runTool({"-q", "--input-format=audio", "--input-extension=wav", dir / "missing",
                                      dir / "in", dir / "out2", "CMN"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.output, "can't open file " + dir / "in" + "/not_there.wav\n");
  EXPECT_EQ(test::listTree(dir / "out2"), std::vector<std::string>{"good_after_text.mfcKVR0DAZC39"});

  // Names of audio files given without their extension: the run stops as
  // before, and standard error names the options that would read them.
  const std::vector<std::pair<std::string, std::string>> hints = {
      {"rate8000", "rate8000.wav exists: did you mean --input-extension=wav --input-format=audio?"},
      {"pcm", "pcm.raw exists: did you mean --input-extension=raw?"}};
  test::writeBytes(dir / "in/pcm.raw", std::vector<unsigned char>(640, 0));
  for (const auto& [name, hint] : hints) {
    test::writeText(dir / "bare", name + "\n");
    const auto bare = test::runTool({"-q", dir / "bare", dir / "in", dir / "out3", "CMN"});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.output, "can't open file " + dir / "in" + "/" + name + "\n");
    EXPECT_NE(bare.errors.find("feature: " + dir / "in" + "/" + hint + "\n"), std::string::npos) << bare.errors;
  }
  // Opus: Debian's sox has no handler for it, so the command decodes it
  // with opusdec to WAV first.
  ASSERT_TRUE(test::writeAudio(dir / "in/speech.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, test::noise(16000, 4, 3000)));
  test::writeText(dir / "opus", "speech\n");
  const auto opus = test::runTool({"-q", "--input-format=audio", "--input-extension=opus", dir / "opus", dir / "in",
                                   dir / "out4", "CMN"});
  EXPECT_EQ(opus.status, 1);
  EXPECT_NE(opus.errors.find("  opusdec --quiet --rate 16000 --force-wav '" + dir / "in" +
                             "/speech.opus' - | sox -t wav - -r 16000 -c 1 -b 16 -e signed-integer '" + dir / "in" +
                             "/speech.16k.wav'\n(opusdec is in Debian's opus-tools)"),
            std::string::npos) << opus.errors;
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

  // MP3: an ID3 tag or an MPEG frame header (sync bits, no reserved field)
  // at the start is warned about; bytes that merely begin with 0xFF are not.
  const std::vector<std::pair<std::vector<unsigned char>, const char*>> starts = {
      {{'I', 'D', '3', 4, 0}, "an MP3 (ID3 tag)"},
      {{0xFF, 0xFB, 0x90, 0x64}, "an MP3 (MPEG audio)"},
      {{0xFF, 0xF3, 0x48, 0xC4}, "an MP3 (MPEG audio)"},
      {{0xFF, 0xE8, 0x90, 0x64}, nullptr},  // reserved version
      {{0xFF, 0xFB, 0xF0, 0x64}, nullptr},  // bit rate 1111
      {{0xFF, 0x7F, 0x00, 0x00}, nullptr},
  };
  std::string mp3List;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    std::vector<unsigned char> bytes = starts[i].first;
    bytes.resize(3200, 0);
    test::writeBytes(dir / ("in/mp3-" + std::to_string(i)), bytes);
    mp3List += "mp3-" + std::to_string(i) + "\n";
  }
  test::writeText(dir / "mp3-list", mp3List);
  const auto mp3 = test::runTool({"-q", dir / "mp3-list", dir / "in", dir / "mp3-out", "NONE"});
  EXPECT_EQ(mp3.status, 0);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::string line = "feature: warning: " + dir / "in" + "/mp3-" + std::to_string(i) + " begins with ";
    if (starts[i].second != nullptr) {
      EXPECT_NE(mp3.errors.find(line + starts[i].second + " header"), std::string::npos) << i << "\n" << mp3.errors;
    } else {
      EXPECT_EQ(mp3.errors.find(line), std::string::npos) << i << "\n" << mp3.errors;
    }
  }
}

TEST_F(AudioInput, OptionsAreChecked) {
  const auto unknown = test::runTool({"--input-format=wav", "l", "i", "o", "NONE"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.errors.find("unknown input format wav (raw, audio or auto)"), std::string::npos);
  const auto slash = test::runTool({"--input-extension=a/b", "l", "i", "o", "NONE"});
  EXPECT_EQ(slash.status, 1);
  EXPECT_NE(slash.errors.find("--input-extension needs an extension"), std::string::npos);
}

}  // namespace

namespace {

// A WAV file of 16-bit mono samples at 16 kHz whose header carries a LIST
// chunk of bytes of comments before the samples.
std::vector<unsigned char> wavWithComments(const std::vector<std::int16_t>& samples, std::size_t commentBytes) {
  std::vector<unsigned char> out;
  const auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  const auto text = [&](const char* s) { out.insert(out.end(), s, s + 4); };
  const std::uint32_t data = static_cast<std::uint32_t>(2 * samples.size());
  text("RIFF");
  put32(static_cast<std::uint32_t>(4 + 24 + 8 + commentBytes + 8 + data));
  text("WAVE");
  text("fmt ");
  put32(16);
  for (const std::uint32_t v : {0x00010001u, 16000u, 32000u, 0x00100002u}) put32(v);
  text("LIST");
  put32(static_cast<std::uint32_t>(commentBytes));
  text("INFO");
  for (std::size_t i = 4; i < commentBytes; ++i) out.push_back(static_cast<unsigned char>('a' + i % 26));
  text("data");
  put32(data);
  for (const auto s : samples) {
    out.push_back(static_cast<unsigned char>(s & 0xFF));
    out.push_back(static_cast<unsigned char>((s >> 8) & 0xFF));
  }
  return out;
}

}  // namespace

// A file that holds fewer samples than its header promises is refused in
// every container, whatever the size of its header; containers whose length
// cannot be checked are refused with that reason; whole files, FLAC of
// unknown length and with wrong block sizes in its header included, give
// the raw recording's bytes; a FLAC whose
// samples do not match its MD5 signature is refused.
TEST_F(AudioInput, CutOrDamagedFilesAreRefusedInEveryContainer) {
  mkdir((dir / "in").c_str(), 0777);
  mkdir((dir / "raw").c_str(), 0777);
  const auto samples = test::speechLike(12000, 21);
  const std::vector<std::pair<std::string, int>> checked = {
      {"wav", SF_FORMAT_WAV},   {"wavex", SF_FORMAT_WAVEX}, {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},
      {"aiff", SF_FORMAT_AIFF}, {"au", SF_FORMAT_AU},       {"caf", SF_FORMAT_CAF},   {"nist", SF_FORMAT_NIST},
      {"flac", SF_FORMAT_FLAC}};
  const std::vector<std::pair<std::string, int>> unchecked = {
      {"ircam", SF_FORMAT_IRCAM}, {"voc", SF_FORMAT_VOC},       {"paf", SF_FORMAT_PAF}, {"svx", SF_FORMAT_SVX},
      {"mat5", SF_FORMAT_MAT5},   {"mpc2k", SF_FORMAT_MPC2K}, {"avr", SF_FORMAT_AVR}, {"pvf", SF_FORMAT_PVF}};
  std::string list;
  std::vector<std::string> whole, refused;
  const auto add = [&](const std::string& name, const std::vector<unsigned char>& bytes, bool good) {
    test::writeBytes(dir / ("in/" + name), bytes);
    list += name + "\n";
    (good ? whole : refused).push_back(name);
    if (good) test::writeSamples(dir / ("raw/" + name), samples);
  };
  for (const auto& [name, format] : checked) {
    writeWithLibsndfile(dir / ("whole." + name), format, samples);
    const auto bytes = test::readBytes(dir / ("whole." + name));
    add(name, bytes, true);
    for (const std::size_t cut : {std::size_t{1}, std::size_t{2}, bytes.size() / 2}) {
      add(name + "-cut" + std::to_string(cut), std::vector<unsigned char>(bytes.begin(), bytes.end() - cut), false);
    }
  }
  for (const auto& [name, format] : unchecked) {
    writeWithLibsndfile(dir / ("whole." + name), format, samples);
    add(name, test::readBytes(dir / ("whole." + name)), false);
  }
  const auto commented = wavWithComments(samples, 2400);
  add("comments", commented, true);
  add("comments-cut", std::vector<unsigned char>(commented.begin(), commented.end() - 10), false);
  // FLAC: STREAMINFO is bytes 8..41; total samples in the low 36 bits of
  // bytes 21..25, the MD5 signature in bytes 26..41.
  auto flac = test::readBytes(dir / "whole.flac");
  auto unknownLength = flac;
  unknownLength[21] &= 0xF0;
  std::fill(unknownLength.begin() + 22, unknownLength.begin() + 26, 0);
  add("flac-unknown-length", unknownLength, true);
  auto badSignature = flac;
  badSignature[30] ^= 0x01;
  add("flac-md5", badSignature, false);
  // Wrong block sizes in STREAMINFO: the frames say their own, and the
  // samples decoded match the signature.
  auto badBlockSizes = flac;
  badBlockSizes[8] = badBlockSizes[10] = 0;
  badBlockSizes[9] = badBlockSizes[11] = 16;
  add("flac-blocksizes", badBlockSizes, true);
  test::writeText(dir / "list", list);
  std::string wholeList;
  for (const auto& name : whole) wholeList += name + "\n";
  test::writeText(dir / "whole", wholeList);

  ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "whole", dir / "raw", dir / "expected", "NONE"}).status, 0);
  const auto run = test::runTool({"-q", "--c12-eng", "--input-format=audio", dir / "list", dir / "in", dir / "out", "NONE"});
  EXPECT_EQ(run.status, 1);
  for (const auto& name : whole) {
    for (const std::string ext : {".mfcKVR0DAC39", ".C12", ".ENG"}) {
      EXPECT_TRUE(test::fileExists(dir / ("out/" + name + ext)) &&
                  test::readBytes(dir / ("out/" + name + ext)) == test::readBytes(dir / ("expected/" + name + ext)))
          << name << ext << "\n" << run.errors;
    }
  }
  EXPECT_EQ(test::listTree(dir / "out").size(), 3 * whole.size()) << run.errors;
  for (const auto& name : refused) {
    EXPECT_NE(run.errors.find("feature: refused " + dir / "in" + "/" + name + ": "), std::string::npos)
        << name << "\n" << run.errors;
  }
  for (const auto& [name, format] : unchecked) {
    EXPECT_NE(run.errors.find(name + ": a " ), std::string::npos) << name;
  }
  EXPECT_NE(run.errors.find("whose length cannot be checked"), std::string::npos);
  EXPECT_NE(run.errors.find("flac-md5: its samples do not match the MD5 signature"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("comments-cut: its header promises more samples than the file holds"), std::string::npos);
}

// Workers open, refuse and read audio files exactly as one thread does: the
// same files and the same reasons on standard error, in every run.
TEST_F(AudioInput, WorkersReadAndRefuseAsOneThread) {
  mkdir((dir / "in").c_str(), 0777);
  const auto samples = test::speechLike(1600, 5);
  writeWithLibsndfile(dir / "good.wav", SF_FORMAT_WAV, samples);
  const auto good = test::readBytes(dir / "good.wav");
  const std::vector<unsigned char> cutHeader(good.begin(), good.begin() + 30);
  std::string list;
  for (int i = 0; i < 600; ++i) {
    const std::string name = "u" + std::to_string(i);
    list += name + "\n";
    if (i % 2 == 0) {
      test::writeBytes(dir / ("in/" + name), good);
    } else if (i % 4 == 1) {
      test::writeText(dir / ("in/" + name), "not a sound " + name + "\n");
    } else {
      test::writeBytes(dir / ("in/" + name), cutHeader);
    }
  }
  test::writeText(dir / "list", list);
  const auto one = test::runTool({"-q", "--input-format=audio", dir / "list", dir / "in", dir / "one", "CMN"});
  ASSERT_EQ(one.status, 1);
  const auto files = test::listTree(dir / "one");
  ASSERT_EQ(files.size(), 300u);
  for (int round = 0; round < 3; ++round) {
    const std::string out = dir / ("four" + std::to_string(round));
    const auto four = test::runTool({"-q", "-j", "4", "--input-format=audio", dir / "list", dir / "in", out, "CMN"});
    EXPECT_EQ(four.status, 1);
    EXPECT_EQ(four.output, one.output);
    EXPECT_EQ(four.errors, one.errors);
    ASSERT_EQ(test::listTree(out), files);
    for (const auto& file : files) {
      EXPECT_TRUE(test::readBytes(out + "/" + file) == test::readBytes(dir / ("one/" + file))) << file;
    }
  }
}

// Chunk sizes near 2^64 end the walk through a container's chunks with the
// reason, instead of wrapping to a chunk that never moves on.
TEST(AudioContainers, ChunkSizesThatWrapAreRefused) {
  // A walk that wraps never ends: the alarm ends the test instead.
  alarm(60);
  for (const std::uint64_t size : {~std::uint64_t{0}, ~std::uint64_t{0} - 3, ~std::uint64_t{0} - 7, ~std::uint64_t{0} - 11}) {
    // Wave64: a 40-byte header, then a chunk (16-byte GUID, 64-bit size).
    std::vector<unsigned char> w64(40, 0);
    w64.insert(w64.end(), {'j', 'u', 'n', 'k'});
    w64.resize(56, 0);
    for (int i = 0; i < 8; ++i) w64.push_back(static_cast<unsigned char>(size >> (8 * i)));
    w64.resize(200, 0);
    // CAF: an 8-byte header, then a chunk (4-byte type, 64-bit big-endian size).
    std::vector<unsigned char> caf = {'c', 'a', 'f', 'f', 0, 1, 0, 0, 'j', 'u', 'n', 'k'};
    for (int i = 7; i >= 0; --i) caf.push_back(static_cast<unsigned char>(size >> (8 * i)));
    caf.resize(200, 0);
    for (const auto& [format, bytes] : {std::make_pair(SF_FORMAT_W64, w64), std::make_pair(SF_FORMAT_CAF, caf)}) {
      const audio::ByteSource source{std::vector<unsigned char>(bytes)};
      const audio::SampleData data = audio::promisedSampleData(format, source);
      EXPECT_EQ(data.problem, "its header chunk at byte " + std::to_string(format == SF_FORMAT_W64 ? 40 : 8) +
                                  " runs past the end of the file")
          << std::hex << size;
    }
  }
  alarm(0);
}

namespace {

std::uint64_t loadNumber(const std::vector<unsigned char>& b, std::size_t at, int size, bool bigEndian) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) v |= std::uint64_t{b[at + i]} << (bigEndian ? 8 * (size - 1 - i) : 8 * i);
  return v;
}

void storeNumber(std::vector<unsigned char>& b, std::size_t at, int size, bool bigEndian, std::uint64_t v) {
  for (int i = 0; i < size; ++i) b[at + i] = static_cast<unsigned char>(v >> (bigEndian ? 8 * (size - 1 - i) : 8 * i));
}

std::size_t find(const std::vector<unsigned char>& b, const std::string& text, std::size_t from = 0) {
  const std::vector<unsigned char> what(text.begin(), text.end());
  const auto at = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), what.begin(), what.end());
  return at == b.end() ? std::string::npos : static_cast<std::size_t>(at - b.begin());
}

// Where a container states how much it holds: the field, its width, its
// byte order, and whether it counts bytes (else samples).
struct SizeField {
  std::size_t at;
  int width;
  bool bigEndian;
  bool bytes;
};

SizeField sizeFieldOf(int format, const std::vector<unsigned char>& b) {
  switch (format) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX: return {find(b, "data") + 4, 4, false, true};
    case SF_FORMAT_RF64: return {find(b, "ds64") + 16, 8, false, true};
    case SF_FORMAT_W64: return {find(b, std::string("data\xF3\xAC\xD3\x11", 8)) + 16, 8, false, true};
    case SF_FORMAT_AU: return {8, 4, true, true};
    case SF_FORMAT_CAF: return {find(b, "data", 8) + 4, 8, true, true};
    case SF_FORMAT_AIFF: return {find(b, "COMM") + 10, 4, true, false};
    default: return {0, 0, false, false};
  }
}

}  // namespace

// A header that promises one unit more than the file holds is refused with
// the whole reason; one unit less is read, exactly the promised samples
// (the bytes after them are the container's, left alone). The unit is a
// byte where the header counts bytes, a sample where it counts samples
// (AIFF, NIST SPHERE). FLAC's count is checked against the samples decoded:
// one more and one less are both refused.
TEST_F(AudioInput, HeadersThatPromiseOneMoreOrOneLess) {
  const std::vector<std::int16_t> samples = test::speechLike(4000, 31);
  feature::Extractor extractor;
  const auto read = [&](const std::string& path) {
    return extractor.readRecording(path, feature::InputFormat::Audio);
  };
  const auto refusal = [&](const std::string& path) -> std::string {
    try {
      read(path);
    } catch (const feature::RefusedRecording& e) {
      return e.what();
    }
    return "(read)";
  };
  const std::string cutShort = "its header promises more samples than the file holds (";
  const std::string cutShortEnd = "): cut short, or written to a pipe; check it, or save it again with sox";
  for (const auto& [name, format] : std::vector<std::pair<std::string, int>>{
           {"wav", SF_FORMAT_WAV}, {"wavex", SF_FORMAT_WAVEX}, {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},
           {"au", SF_FORMAT_AU}, {"caf", SF_FORMAT_CAF}, {"aiff", SF_FORMAT_AIFF}, {"nist", SF_FORMAT_NIST}}) {
    SCOPED_TRACE(name);
    const std::string whole = dir / ("whole." + name);
    writeWithLibsndfile(whole, format, samples);
    ASSERT_EQ(read(whole), samples);
    const std::vector<unsigned char> bytes = test::readBytes(whole);
    const SizeField field = sizeFieldOf(format, bytes);
    const std::uint64_t stated = format == SF_FORMAT_NIST ? 4000 : loadNumber(bytes, field.at, field.width, field.bigEndian);
    for (const int delta : {+1, -1}) {
      std::vector<unsigned char> edited = bytes;
      if (format == SF_FORMAT_NIST) {
        const std::size_t at = find(bytes, "sample_count -i 4000") + 16;
        const std::string count = std::to_string(4000 + delta);
        std::copy(count.begin(), count.end(), edited.begin() + static_cast<std::ptrdiff_t>(at));
      } else {
        storeNumber(edited, field.at, field.width, field.bigEndian, stated + static_cast<std::uint64_t>(delta));
      }
      const std::string path = dir / (name + (delta > 0 ? ".more" : ".less"));
      test::writeBytes(path, edited);
      if (delta < 0) {
        // One byte less of 16-bit samples: one sample less.
        EXPECT_EQ(read(path), std::vector<std::int16_t>(samples.begin(), samples.end() - 1));
        continue;
      }
      const std::string why = refusal(path);
      if (format == SF_FORMAT_NIST) {
        EXPECT_EQ(why, "refused " + path + ": " + cutShort + "8002 bytes of samples from byte 1024, in a file of " +
                           std::to_string(bytes.size()) + " bytes" + cutShortEnd);
        continue;
      }
      if (!field.bytes) {
        EXPECT_EQ(why, "refused " + path + ": " + cutShort + "8002 bytes of samples from byte " +
                           std::to_string(find(bytes, "SSND") + 16) + ", in a file of " + std::to_string(bytes.size()) +
                           " bytes" + cutShortEnd);
        continue;
      }
      const std::uint64_t offset = format == SF_FORMAT_AU ? loadNumber(bytes, 4, 4, true)
                                   : format == SF_FORMAT_CAF ? field.at + 8 + 4
                                   : format == SF_FORMAT_W64 ? field.at + 8
                                   : format == SF_FORMAT_RF64 ? find(bytes, "data") + 8
                                                              : field.at + 4;
      const std::uint64_t promised = stated + 1 - (format == SF_FORMAT_CAF ? 4 : format == SF_FORMAT_W64 ? 24 : 0);
      EXPECT_EQ(why, "refused " + path + ": " + cutShort + std::to_string(promised) + " bytes of samples from byte " +
                         std::to_string(offset) + ", in a file of " + std::to_string(bytes.size()) + " bytes" +
                         cutShortEnd);
    }
  }
  // FLAC: the total in STREAMINFO (the low 36 bits of bytes 21..25).
  writeWithLibsndfile(dir / "whole.flac", SF_FORMAT_FLAC, samples);
  const std::vector<unsigned char> flac = test::readBytes(dir / "whole.flac");
  ASSERT_EQ(loadNumber(flac, 22, 4, true), 4000u);
  for (const int delta : {+1, -1}) {
    std::vector<unsigned char> edited = flac;
    storeNumber(edited, 22, 4, true, static_cast<std::uint64_t>(4000 + delta));
    const std::string path = dir / (delta > 0 ? "flac.more" : "flac.less");
    test::writeBytes(path, edited);
    EXPECT_EQ(refusal(path), "refused " + path + ": its header promises " + std::to_string(4000 + delta) +
                                 " samples, but the file holds 4000: cut short or damaged; check it with flac -t");
  }
}
