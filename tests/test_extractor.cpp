// The library's in-memory way in gives, bit for bit, what the tool writes:
// the vectors of its HTK files, the records of its .C12 files (c1..c12) and
// the energies of its .ENG files, for the golden and example recordings in
// every mode and for random recordings of random lengths.
#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>

#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "extractor.h"
#include "test_support.h"

namespace {

// The tool's files for the names of a list, against the extractor.
void expectToolFilesMatch(const std::string& list, const std::string& recordings, const std::vector<std::string>& names) {
  feature::Extractor extractor;
  for (const char* mode : {"CMN", "MVNMA", "NONE"}) {
    test::ScratchDir out;
    ASSERT_EQ(test::runTool({"-q", "--c12-eng", list, recordings, out.path(), mode}).status, 0);
    const auto normalisation = feature::normalisationNamed(mode);
    for (const auto& name : names) {
      const auto samples = test::samplesOf(test::readBytes(recordings + "/" + name));
      const auto u = extractor.extract(samples.data(), samples.size(), normalisation, true);
      const auto htk = test::readBytes(out / (name + "." + feature::extensionOf(normalisation)));
      EXPECT_TRUE(test::sameBits(u.vectors, test::bigEndianFloats(htk, 12))) << mode << " " << name;
      std::vector<float> c12;
      for (int t = 0; t < u.frames; ++t) c12.insert(c12.end(), &u.records[13 * t], &u.records[13 * t] + 12);
      EXPECT_TRUE(test::sameBits(c12, test::littleEndianFloats(test::readBytes(out / (name + ".C12")), 4))) << name;
      EXPECT_TRUE(test::sameBits(u.energies, test::littleEndianFloats(test::readBytes(out / (name + ".ENG")), 4))) << name;
      EXPECT_EQ(static_cast<std::size_t>(u.frames) * 39, u.vectors.size());
    }
  }
}

TEST(Extractor, GoldenAndExampleRecordingsGiveTheToolsBytes) {
  const std::string golden = GOLDEN_DIR;
  std::vector<std::string> names;
  std::istringstream list(std::string(reinterpret_cast<const char*>(test::readBytes(golden + "/list").data()),
                                      test::readBytes(golden + "/list").size()));
  for (std::string name; list >> name;) names.push_back(name);
  expectToolFilesMatch(golden + "/list", golden + "/recordings", names);
  const std::string examples = golden + "/../../examples";
  expectToolFilesMatch(examples + "/list.txt", examples + "/recordings",
                       {"speaker1/features", "speaker1/fox", "speaker2/numbers", "speaker2/stella"});
}

// Random recordings of 0 to 100,000 samples: silence, full scale, noise at
// random levels, speech-like; the tool's files of the same samples.
TEST(Extractor, RandomRecordingsGiveTheToolsBytes) {
  test::ScratchDir dir;
  mkdir((dir / "in").c_str(), 0777);
  std::mt19937 random(20261208);
  std::string list;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    const int count = i < 4 ? std::vector<int>{0, 319, 320, 100000}[i] : static_cast<int>(random() % 100001);
    std::vector<std::int16_t> s;
    switch (i % 4) {
      case 0: s.assign(count, 0); break;
      case 1:
        s.resize(count);
        for (int n = 0; n < count; ++n) s[n] = (n / 37) % 2 ? 32767 : -32768;
        break;
      case 2: s = test::noise(count, static_cast<std::uint32_t>(random()), 1 << (random() % 15)); break;
      default: s = test::speechLike(count, static_cast<std::uint32_t>(random())); break;
    }
    const std::string name = "r" + std::to_string(i);
    test::writeSamples(dir / ("in/" + name), s);
    list += name + "\n";
    names.push_back(name);
  }
  test::writeText(dir / "list", list);
  expectToolFilesMatch(dir / "list", dir / "in", names);
}

TEST(Extractor, LimitsAndErrorsAreReported) {
  feature::Extractor extractor;
  std::vector<std::int16_t> long_(feature::kMaxSamples + 1, 100);
  EXPECT_THROW(extractor.extract(long_.data(), long_.size(), feature::Normalisation::CMN), feature::TooLong);
  const auto cut = extractor.extract(long_.data(), long_.size(), feature::Normalisation::CMN, true);
  EXPECT_EQ(cut.frames, 8999);
  const auto none = extractor.extract(long_.data(), 300, feature::Normalisation::MVNMA);
  EXPECT_EQ(none.frames, 0);
  EXPECT_TRUE(none.vectors.empty());
  EXPECT_THROW(feature::normalisationNamed("cmn"), std::invalid_argument);
  // Errors are values: the kind, the errno and the path, not printed text.
  try {
    extractor.readRecording("/nonexistent/recording");
    FAIL() << "no exception";
  } catch (const feature::UnreadableRecording& e) {
    EXPECT_EQ(std::string(e.what()), "cannot read the recording /nonexistent/recording: No such file or directory");
    EXPECT_EQ(e.error(), ENOENT);
    EXPECT_EQ(e.path(), "/nonexistent/recording");
  }
  try {
    extractor.readRecording("/", feature::InputFormat::Audio);
    FAIL() << "no exception";
  } catch (const feature::UnreadableRecording& e) {
    EXPECT_EQ(e.error(), EISDIR);
  }
  test::ScratchDir dir;
  test::writeText(dir / "text.wav", "no sound here\n");
  try {
    extractor.readRecording(dir / "text.wav", feature::InputFormat::Audio);
    FAIL() << "no exception";
  } catch (const feature::RefusedRecording& e) {
    EXPECT_EQ(std::string(e.what()), "refused " + dir / "text.wav" + ": not an audio file that can be read (Format not recognised.)");
  }
  // A NUL byte would cut the path short: another file would be written.
  EXPECT_THROW(feature::writeHtk(dir / std::string("a.htk\0.txt", 9), cut.vectors.data(), 1), std::invalid_argument);
  EXPECT_THROW(extractor.readRecording(dir / std::string("text.wav\0x", 10)), std::invalid_argument);
  EXPECT_FALSE(test::fileExists(dir / "a.htk"));
  try {
    feature::writeHtk("/nonexistent/dir/x.htk", cut.vectors.data(), 1);
    FAIL() << "no exception";
  } catch (const feature::FileError& e) {
    EXPECT_EQ(e.error(), ENOENT);
    EXPECT_EQ(e.path(), "/nonexistent/dir/x.htk");
  }
}

// Extractors on several threads at once give the bytes of one alone.
TEST(Extractor, ThreadsEachWithTheirOwnExtractor) {
  const auto samples = test::speechLike(48000, 9);
  const auto expected = feature::Extractor().extract(samples.data(), samples.size(), feature::Normalisation::MVNMA);
  std::vector<std::thread> threads;
  std::vector<int> same(4, 0);
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      feature::Extractor extractor;
      for (int r = 0; r < 20; ++r) {
        const auto u = extractor.extract(samples.data(), samples.size(), feature::Normalisation::MVNMA);
        same[k] += test::sameBits(u.vectors, expected.vectors) ? 1 : 0;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(same, std::vector<int>(4, 20));
}

}  // namespace
