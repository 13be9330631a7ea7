// The online extractor: whatever the chunks, the vectors, records and
// energies that become ready, joined, are the tool's; frames are ready
// exactly when the definition makes them final; misuse is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "extractor.h"
#include "online_extractor.h"
#include "test_support.h"

namespace {

using feature::Normalisation;
using feature::OnlineExtractor;

struct Joined {
  std::vector<float> vectors, records, energies;
};

// Feeds samples in chunks of the given sizes (cycled; 0 draws a random size
// of 1 to 2,000), collecting what becomes ready as it does, and popping it.
Joined feed(const std::vector<std::int16_t>& samples, Normalisation mode, const std::vector<int>& chunks,
            std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> size(1, 2000);
  OnlineExtractor online(mode);
  Joined joined;
  int vectors = 0;
  int records = 0;
  int energies = 0;
  const auto collect = [&] {
    for (; records < online.numRecordsReady(); ++records) {
      joined.records.insert(joined.records.end(), online.record(records), online.record(records) + 13);
    }
    for (; energies < online.numEnergiesReady(); ++energies) joined.energies.push_back(online.energy(energies));
    for (; vectors < online.numFramesReady(); ++vectors) {
      joined.vectors.insert(joined.vectors.end(), online.frame(vectors), online.frame(vectors) + 39);
    }
    // Records and energies are popped with the vectors: keep them until
    // they were collected.
    online.pop(std::min({vectors, records, energies}));
  };
  std::size_t at = 0;
  for (std::size_t k = 0; at < samples.size(); ++k) {
    const int wanted = chunks[k % chunks.size()];
    const std::size_t n = std::min<std::size_t>(wanted > 0 ? wanted : size(random), samples.size() - at);
    online.acceptWaveform(samples.data() + at, n);
    at += n;
    collect();
  }
  online.inputFinished();
  collect();
  return joined;
}

std::vector<std::vector<std::int16_t>> randomRecordings() {
  std::mt19937 random(2026);
  std::uniform_int_distribution<int> length(0, 100000);
  std::vector<std::vector<std::int16_t>> all;
  for (int i = 0; i < 40; ++i) {
    const int n = i < 3 ? std::vector<int>{0, 319, 480}[i] : length(random);
    switch (i % 4) {
      case 0: all.push_back(std::vector<std::int16_t>(n, 0)); break;                       // silence
      case 1: all.push_back(std::vector<std::int16_t>(n, i % 8 == 1 ? -32768 : 32767)); break;  // full scale
      case 2: all.push_back(test::noise(n, 7 + i, 20000)); break;
      default: {
        auto s = test::speechLike(n, 3 + i);  // silent stretches inside, silent tail
        std::fill(s.begin() + s.size() * 3 / 4, s.end(), 0);
        all.push_back(s);
      }
    }
  }
  return all;
}

// Golden recordings against their committed files; example and random
// recordings against the library's extract (itself the tool's bytes).
TEST(Online, AnyChunksGiveTheToolsVectorsRecordsAndEnergies) {
  struct Case {
    std::string name;
    std::vector<std::int16_t> samples;
    bool golden;
  };
  std::vector<Case> cases;
  for (const auto& name : test::goldenNames()) {
    cases.push_back({name, test::samplesOf(test::readBytes(std::string(GOLDEN_DIR) + "/recordings/" + name)), true});
  }
  for (const char* name : {"speaker1/fox", "speaker1/features", "speaker2/numbers", "speaker2/stella"}) {
    cases.push_back({name, test::samplesOf(test::readBytes(std::string(EXAMPLES_DIR) + "/recordings/" + name)), false});
  }
  int r = 0;
  for (auto& samples : randomRecordings()) cases.push_back({"random " + std::to_string(r++), samples, false});

  const std::vector<std::vector<int>> schemes = {{1}, {159}, {160}, {161}, {320}, {1000}, {0}, {7, 0, 1, 3000}};
  feature::Extractor extractor;
  for (const char* modeName : {"CMN", "MVNMA", "NONE"}) {
    const Normalisation mode = feature::normalisationNamed(modeName);
    for (const Case& c : cases) {
      const feature::Utterance u = extractor.extract(c.samples.data(), c.samples.size(), mode);
      const std::string file = std::string(GOLDEN_DIR) + "/expected/" + c.name + "." + feature::extensionOf(mode);
      const std::vector<float> expected = c.golden ? test::bigEndianFloats(test::readBytes(file), 12) : u.vectors;
      ASSERT_EQ(expected.size(), u.vectors.size()) << c.name;
      for (std::size_t s = 0; s < schemes.size(); ++s) {
        // One sample at a time only for the shorter recordings (it is slow).
        if (schemes[s][0] == 1 && c.samples.size() > 20000) continue;
        const Joined j = feed(c.samples, mode, schemes[s], static_cast<std::uint32_t>(s));
        EXPECT_TRUE(test::sameBits(j.vectors, expected)) << modeName << " " << c.name << " scheme " << s;
        EXPECT_TRUE(test::sameBits(j.records, u.records)) << modeName << " " << c.name << " scheme " << s;
        EXPECT_TRUE(test::sameBits(j.energies, u.energies)) << modeName << " " << c.name << " scheme " << s;
      }
    }
  }
}

// In NONE, after exactly n samples, max(0, n / 160 - 5) vectors are ready
// and n / 160 - 1 records, before the input is finished.
TEST(Online, FramesAreReadyAsSoonAsTheyAreFinal) {
  const auto samples = test::speechLike(40000, 9);
  OnlineExtractor online(Normalisation::None);
  std::mt19937 random(5);
  std::uniform_int_distribution<int> step(1, 700);
  for (std::size_t n = 0; n < samples.size();) {
    const std::size_t k = n < 3000 ? 1 : std::min<std::size_t>(step(random), samples.size() - n);
    online.acceptWaveform(samples.data() + n, k);
    n += k;
    const int blocks = static_cast<int>(n / 160);
    ASSERT_EQ(online.numFramesReady(), std::max(0, blocks - 5)) << n;
    ASSERT_EQ(online.numRecordsReady(), std::max(0, blocks - 1)) << n;
    ASSERT_FALSE(online.isLastFrame(online.numRecordsReady() - 1));
  }
  online.inputFinished();
  EXPECT_EQ(online.numFramesReady(), 249);
  EXPECT_TRUE(online.isLastFrame(248));
  // CMN and MVNMA: records at once, vectors only at the end.
  for (Normalisation mode : {Normalisation::CMN, Normalisation::MVNMA}) {
    OnlineExtractor whole(mode);
    whole.acceptWaveform(samples.data(), samples.size());
    EXPECT_EQ(whole.numRecordsReady(), 249);
    EXPECT_EQ(whole.numFramesReady(), 0);
    whole.inputFinished();
    EXPECT_EQ(whole.numFramesReady(), 249);
  }
}

// Past 90 s: NONE goes on (its first 8,995 frames are the tool's file of
// the first 90 s), CMN and MVNMA refuse the chunk unless truncating, and
// truncation gives the tool's file of a longer recording.
TEST(Online, NinetySeconds) {
  const auto samples = test::speechLike(feature::kMaxSamples + 32000, 4);
  feature::Extractor extractor;
  const auto cut = extractor.extract(samples.data(), samples.size(), Normalisation::None, true);
  OnlineExtractor none(Normalisation::None);
  none.acceptWaveform(samples.data(), samples.size());
  none.inputFinished();
  EXPECT_EQ(none.numFramesReady(), static_cast<int>(samples.size() / 160) - 1);
  EXPECT_EQ(std::memcmp(none.frame(0), cut.vectors.data(), 4 * 39 * 8995), 0);
  EXPECT_NE(std::memcmp(none.frame(8995), &cut.vectors[39 * 8995], 4 * 39), 0);

  for (Normalisation mode : {Normalisation::CMN, Normalisation::MVNMA}) {
    OnlineExtractor strict(mode);
    strict.acceptWaveform(samples.data(), feature::kMaxSamples - 10);
    EXPECT_THROW(strict.acceptWaveform(samples.data(), 11), feature::TooLong);
    strict.acceptWaveform(samples.data(), 10);  // the refused chunk took nothing
    EXPECT_EQ(strict.samplesAccepted(), static_cast<std::int64_t>(feature::kMaxSamples));
  }
  for (Normalisation mode : {Normalisation::CMN, Normalisation::MVNMA, Normalisation::None}) {
    const auto u = extractor.extract(samples.data(), samples.size(), mode, true);
    OnlineExtractor truncating(mode, true);
    for (std::size_t at = 0; at < samples.size(); at += 48000) {
      truncating.acceptWaveform(samples.data() + at, std::min<std::size_t>(48000, samples.size() - at));
    }
    truncating.inputFinished();
    EXPECT_EQ(truncating.samplesIgnored(), 32000);
    ASSERT_EQ(truncating.numFramesReady(), u.frames);
    EXPECT_EQ(std::memcmp(truncating.frame(0), u.vectors.data(), 4 * u.vectors.size()), 0);
  }
}

// Misuse is an exception that says what is wrong, never an abort.
TEST(Online, MisuseIsRefusedWithTheIndex) {
  const auto samples = test::noise(3200, 1, 1000);
  OnlineExtractor online(Normalisation::None);
  online.acceptWaveform(samples.data(), samples.size());  // 19 records, 15 vectors
  const auto says = [](const std::function<void()>& call, const std::string& words) {
    try {
      call();
      ADD_FAILURE() << "no exception; expected: " << words;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  };
  says([&] { online.frame(15); }, "frame 15 is not available: only frames before 15 are final so far");
  says([&] { online.frame(-1); }, "frame -1 is not available: frames count from 0");
  says([&] { online.pop(16); }, "pop(16): only frames before 15");
  online.pop(10);
  says([&] { online.frame(9); }, "frame 9 is not available: frames before 10 were popped");
  says([&] { online.record(3); }, "record 3 is not available: frames before 10 were popped");
  EXPECT_NO_THROW(online.record(18));
  says([&] { online.record(19); }, "record 19 is not available");
  online.inputFinished();
  online.inputFinished();
  says([&] { online.frame(19); }, "frame 19 is not available: the stream ended with 19 frames");
  says([&] { online.acceptWaveform(samples.data(), 1); }, "acceptWaveform after inputFinished");
  // Moved from, an extractor throws instead of reading through null.
  OnlineExtractor moved(std::move(online));
  says([&] { online.numFramesReady(); }, "used after being moved from");
  says([&] { online.acceptWaveform(samples.data(), 1); }, "used after being moved from");
  online = std::move(moved);
  EXPECT_TRUE(online.isLastFrame(18));
  EXPECT_EQ(online.numFramesReady(), 19);
}

}  // namespace
