// feature-kaldi: every matrix of the archive is the tool's vectors for the
// same samples, through paths and pipes, whole recordings and segments of
// long ones (cut here by the rules, independently); the index points at
// each entry; failing entries are left out, named, and make the status 1.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "data_directory.h"
#include "extractor.h"
#include "test_support.h"

namespace {

struct Entry {
  std::string key;
  std::size_t offset = 0;  // of the \0B
  std::vector<float> values;
  int rows = 0;
};

// The entries of a binary archive, read here byte by byte.
std::vector<Entry> parseArchive(const std::vector<unsigned char>& bytes) {
  std::vector<Entry> entries;
  std::size_t at = 0;
  while (at < bytes.size()) {
    Entry e;
    while (at < bytes.size() && bytes[at] != ' ') e.key += static_cast<char>(bytes[at++]);
    ++at;
    e.offset = at;
    EXPECT_EQ(std::string(bytes.begin() + at, bytes.begin() + at + 5), std::string("\0BFM ", 5)) << e.key;
    const auto int32At = [&](std::size_t p) {
      return static_cast<int>(bytes[p] | bytes[p + 1] << 8 | bytes[p + 2] << 16 | bytes[p + 3] << 24);
    };
    EXPECT_EQ(bytes[at + 5], 4);
    EXPECT_EQ(bytes[at + 10], 4);
    e.rows = int32At(at + 6);
    EXPECT_EQ(int32At(at + 11), 39) << e.key;
    at += 15;
    e.values = test::littleEndianFloats(std::vector<unsigned char>(bytes.begin() + at, bytes.begin() + at + 156 * e.rows), 0);
    at += 156 * static_cast<std::size_t>(e.rows);
    entries.push_back(e);
  }
  return entries;
}

std::vector<float> toolVectors(const std::vector<std::int16_t>& samples, feature::Normalisation mode) {
  static feature::Extractor extractor;
  return extractor.extract(samples.data(), samples.size(), mode, true).vectors;
}

class Kaldi : public ::testing::Test {
 protected:
  void writeWav(const std::string& name, const std::vector<std::int16_t>& samples, int channels = 1, int rate = 16000) {
    ASSERT_TRUE(test::writeAudio(dir / name, SF_FORMAT_WAV | SF_FORMAT_PCM_16, samples, channels, rate));
  }
  test::RunResult kaldi(const std::vector<std::string>& args) {
    test::RunOptions options;
    options.program = KALDI_BINARY;
    return test::runTool(args, options);
  }
  test::ScratchDir dir;
};

// Golden and example recordings as WAV files, through their paths, cat and
// sox pipes, in every mode: each matrix is the tool's file; the index and
// utt2num_frames agree with the archive; ark:- is the archive file.
TEST_F(Kaldi, RecordingsThroughPathsAndPipesGiveTheToolsVectors) {
  std::map<std::string, std::vector<std::int16_t>> samples;
  std::map<std::string, std::string> goldenName;  // key -> name in the golden list
  std::string scp;
  int n = 0;
  const auto add = [&](std::string key, const std::string& raw) {
    std::replace(key.begin(), key.end(), '/', '-');
    samples[key] = test::samplesOf(test::readBytes(raw));
    writeWav(key + ".wav", samples[key]);
    const std::string wav = dir / (key + ".wav");
    const std::string how[] = {wav, "cat '" + wav + "' |", "sox '" + wav + "' -t wav - |"};
    scp += key + " " + how[n++ % 3] + "\n";
  };
  for (const auto& name : test::goldenNames()) {
    std::string key = "g-" + name;
    std::replace(key.begin(), key.end(), '/', '-');
    goldenName[key] = name;
    add(key, std::string(GOLDEN_DIR) + "/recordings/" + name);
  }
  for (const char* name : {"speaker1/fox", "speaker1/features", "speaker2/numbers", "speaker2/stella"}) {
    add(std::string("e-") + name, std::string(EXAMPLES_DIR) + "/recordings/" + name);
  }
  test::writeText(dir / "wav.scp", scp);

  for (const char* modeName : {"CMN", "MVNMA", "NONE"}) {
    const auto mode = feature::normalisationNamed(modeName);
    const std::string out = dir / modeName;
    const auto run = kaldi({"-q", "-j", "2", "--write-num-frames=ark,t:" + out + ".frames", "scp:" + dir / "wav.scp",
                            "ark,scp:" + out + ".ark," + out + ".scp", modeName});
    // The recordings shorter than one frame fail, and only they.
    EXPECT_EQ(run.status, 1);
    const auto entries = parseArchive(test::readBytes(out + ".ark"));
    std::string index, frames;
    std::size_t checked = 0;
    for (const auto& [key, x] : samples) {
      if (x.size() >= 320) continue;
      EXPECT_NE(run.errors.find("no features for " + key + ": " + std::to_string(x.size()) + " samples, shorter than one frame"),
                std::string::npos) << run.errors;
    }
    for (const Entry& e : entries) {
      ASSERT_TRUE(samples.count(e.key)) << e.key;
      EXPECT_TRUE(test::sameBits(e.values, toolVectors(samples[e.key], mode))) << modeName << " " << e.key;
      if (goldenName.count(e.key)) {  // and the committed golden file itself
        const auto file = std::string(GOLDEN_DIR) + "/expected/" + goldenName[e.key] + "." + feature::extensionOf(mode);
        EXPECT_TRUE(test::sameBits(e.values, test::bigEndianFloats(test::readBytes(file), 12))) << e.key;
      }
      index += e.key + " " + out + ".ark:" + std::to_string(e.offset) + "\n";
      frames += e.key + " " + std::to_string(e.rows) + "\n";
      ++checked;
    }
    EXPECT_EQ(checked, samples.size() - 4);  // 0, 1, 159 and 319 samples
    EXPECT_EQ(test::readBytes(out + ".scp"), std::vector<unsigned char>(index.begin(), index.end()));
    EXPECT_EQ(test::readBytes(out + ".frames"), std::vector<unsigned char>(frames.begin(), frames.end()));
    if (mode == feature::Normalisation::None) {
      const auto piped = kaldi({"-q", "scp:" + dir / "wav.scp", "ark:-", modeName});
      EXPECT_TRUE(std::vector<unsigned char>(piped.output.begin(), piped.output.end()) == test::readBytes(out + ".ark"));
      EXPECT_EQ(piped.errors, run.errors);
    }
  }
}

// The rules of a cut, written out here: the length as a float quotient, an
// end of -1 or past it becomes it, indices rounded half up from the double
// product, the end index cut to the recording, then 90 s at most.
std::vector<std::int16_t> cutHere(const std::vector<std::int16_t>& interleaved, int channels, double start, double end,
                                  int channel) {
  const std::int64_t n = static_cast<std::int64_t>(interleaved.size()) / channels;
  const float length = static_cast<float>(n) / 16000.0f;
  if (end < 0 || end > length) end = length;
  const std::int64_t first = static_cast<std::int64_t>(start * 16000.0f + 0.5f);
  const std::int64_t last = std::min<std::int64_t>(static_cast<std::int64_t>(end * 16000.0f + 0.5f), n);
  std::vector<std::int16_t> out;
  for (std::int64_t i = first; i < last && out.size() < 1440000; ++i) out.push_back(interleaved[i * channels + channel]);
  return out;
}

// Long recordings (three of several minutes, one in stereo) cut by an
// unsorted segments file: every matrix is the tool's vectors of the samples
// the rules select; the bad lines and out-of-range segments fail, named,
// and the rest is written; workers change nothing.
TEST_F(Kaldi, SegmentsOfLongRecordingsAreCutAsKaldiCutsThem) {
  std::map<std::string, std::vector<std::int16_t>> recordings;
  std::map<std::string, int> channels;
  // Long recordings made by joining the example and golden recordings, in
  // an order of their own for each, to the length asked for.
  std::vector<std::vector<std::int16_t>> pieces;
  for (const char* name : {"speaker1/fox", "speaker1/features", "speaker2/numbers", "speaker2/stella"}) {
    pieces.push_back(test::samplesOf(test::readBytes(std::string(EXAMPLES_DIR) + "/recordings/" + name)));
  }
  for (const auto& name : test::goldenNames()) {
    pieces.push_back(test::samplesOf(test::readBytes(std::string(GOLDEN_DIR) + "/recordings/" + name)));
  }
  const auto longRecording = [&pieces](int seconds, std::uint32_t seed) {
    std::vector<std::int16_t> x;
    for (std::size_t k = seed; x.size() < static_cast<std::size_t>(seconds) * 16000 + 1234; k += 3) {
      const auto& piece = pieces[k % pieces.size()];
      x.insert(x.end(), piece.begin(), piece.end());
    }
    x.resize(static_cast<std::size_t>(seconds) * 16000 + 1234);
    return x;
  };
  recordings["long1"] = longRecording(200, 1);
  recordings["long2"] = longRecording(150, 2);
  recordings["long3"] = longRecording(181, 3);
  std::vector<std::int16_t> left = longRecording(60, 4), right = test::noise(60 * 16000 + 1234, 5, 3000);
  for (std::size_t i = 0; i < left.size(); ++i) {
    recordings["stereo"].push_back(left[i]);
    recordings["stereo"].push_back(right[i]);
  }
  std::string scp;
  for (auto& [id, x] : recordings) {
    channels[id] = id == "stereo" ? 2 : 1;
    // long3 as FLAC: its windows begin inside a block.
    const std::string file = id + (id == "long3" ? ".flac" : ".wav");
    ASSERT_TRUE(test::writeAudio(dir / file, (id == "long3" ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16, x,
                                 channels[id], 16000));
    scp += id + " " + (id == "long2" ? "cat " + dir / file + " |" : dir / file) + "\n";
  }
  test::writeText(dir / "wav.scp", scp);

  struct Line {
    std::string text;
    bool fails;
    std::string says;
  };
  // long1: 200.0771 s, long2: 150.0771 s, long3: 181.0771 s, stereo: 60.0771 s.
  const std::vector<Line> lines = {
      {"u01 long2 10.00 12.53", false, ""},
      {"u02 long1 0 3.2", false, ""},
      {"u03 long3 170.5 -1", false, ""},                 // to the end
      {"u04 long1 199.5 200.4", false, ""},              // 0.32 s past the end: cut to it
      {"u05 stereo 1.234567 5.5 1", false, ""},          // the right channel
      {"u06 stereo 1.234567 5.5 0", false, ""},
      {"u07 long2 20 115.25", false, ""},                // 95 s: its first 90 s, a warning
      {"u08 long1 0.00003 0.21", false, ""},             // indices rounded half up
      {"u09 long3 200 201", true, "is past the recording's"},
      {"u10 long1 190 201", true, "by more than 0.5"},
      {"u11 long2 5 5.05", true, "shorter than 0.1"},
      {"u12 stereo 1 2", true, "has 2 channels and the segment names none"},
      {"u13 stereo 1 2 2", true, "channel 2 of a recording of 2 channels"},
      {"u14 nowhere 1 2", true, "no recording nowhere in the wav.scp"},
      {"u15 long1 3 2", true, "an empty or invalid segment"},
      {"u16 long1 3", true, "a line of 3 fields"},
      {"u17 long1 x 2", true, "a start that is no number"},
      {"u18 long2 100 101.5", false, ""},
  };
  std::string segments;
  for (const Line& l : lines) segments += l.text + "\n";
  test::writeText(dir / "segments", segments);

  const std::string out = dir / "seg";
  const auto run = kaldi({"-q", "--segments=" + dir / "segments", "--write-num-frames=ark,t:" + out + ".frames",
                          "--write-utt2dur=ark,t:" + out + ".dur", "scp:" + dir / "wav.scp",
                          "ark,scp:" + out + ".ark," + out + ".scp", "MVNMA"});
  EXPECT_EQ(run.status, 1);
  std::map<std::string, Entry> written;
  for (const Entry& e : parseArchive(test::readBytes(out + ".ark"))) written[e.key] = e;
  for (const Line& l : lines) {
    std::istringstream f(l.text);
    std::string key, id;
    double start = 0, end = 0;
    int channel = 0;
    f >> key >> id >> start >> end;
    if (!(f >> channel)) channel = 0;
    if (l.fails) {
      EXPECT_EQ(written.count(key), 0u) << key;
      EXPECT_NE(run.errors.find("no features for " + key + ": "), std::string::npos) << key << "\n" << run.errors;
      EXPECT_NE(run.errors.find(l.says), std::string::npos) << l.says << "\n" << run.errors;
      continue;
    }
    ASSERT_EQ(written.count(key), 1u) << key << "\n" << run.errors;
    const auto expected = toolVectors(cutHere(recordings[id], channels[id], start, end, channel),
                                      feature::Normalisation::MVNMA);
    EXPECT_TRUE(test::sameBits(written[key].values, expected)) << key;
  }
  EXPECT_NE(run.errors.find("feature-kaldi: warning: u07 is longer than 90 s; its last 5.25 s are ignored"),
            std::string::npos) << run.errors;
  // Grouped by recording, in the order of their first segments.
  const auto scpText = test::readBytes(out + ".scp");
  std::string order;
  for (const auto& line : std::vector<std::string>{"u01", "u07", "u18", "u02", "u04", "u08", "u03", "u05", "u06"}) {
    order += line + " ";
  }
  std::string got;
  std::istringstream scpLines(std::string(scpText.begin(), scpText.end()));
  for (std::string key, where; scpLines >> key >> where;) got += key + " ";
  EXPECT_EQ(got, order);
  const auto durations = test::readBytes(out + ".dur");
  EXPECT_NE(std::string(durations.begin(), durations.end()).find("u01 2.53\n"), std::string::npos);

  // Workers and parts: the same archive, and parts that cover it.
  const auto workers = kaldi({"-q", "-j", "3", "--segments=" + dir / "segments", "scp:" + dir / "wav.scp",
                              "ark:" + out + "3.ark", "MVNMA"});
  EXPECT_EQ(workers.errors, run.errors);
  EXPECT_TRUE(test::readBytes(out + "3.ark") == test::readBytes(out + ".ark"));
  std::size_t inParts = 0;
  for (int k = 0; k < 2; ++k) {
    kaldi({"-q", "--part", std::to_string(k) + "/2", "--segments=" + dir / "segments", "scp:" + dir / "wav.scp",
           "ark:" + out + "p.ark", "MVNMA"});
    inParts += parseArchive(test::readBytes(out + "p.ark")).size();
  }
  EXPECT_EQ(inParts, written.size());
}

// Entries that fail are left out and named; the rest is written; a bad
// command line writes nothing; nothing stands under the output names when
// the output cannot be written.
TEST_F(Kaldi, FailuresAreNamedAndTheRestIsWritten) {
  writeWav("good.wav", test::noise(32000, 1, 3000));  // 2 s: 31 kB of features
  writeWav("rate8k.wav", test::noise(8000, 2, 3000), 1, 8000);
  writeWav("stereo.wav", test::noise(16000, 3, 3000), 2);
  test::writeText(dir / "text.wav", "not audio at all, but long enough to be taken for some\n");
  mkdir((dir / "directory").c_str(), 0777);
  test::writeText(dir / "wav.scp", "a " + dir / "good.wav" + "\n" +
                                       "b false |\n" +
                                       "c " + dir / "missing.wav" + "\n" +
                                       "d " + dir / "rate8k.wav" + "\n" +
                                       "e " + dir / "stereo.wav" + "\n" +
                                       "f " + dir / "text.wav" + "\n" +
                                       "g " + dir / "directory" + "\n" +
                                       "h\n" +
                                       "i kill -9 $$ |\n" +
                                       "j cat " + dir / "good.wav" + " |\n");
  const auto run = kaldi({"scp:" + dir / "wav.scp", "ark,scp:" + dir / "x.ark," + dir / "x.scp", "CMN"});
  EXPECT_EQ(run.status, 1);
  const std::vector<std::pair<std::string, std::string>> said = {
      {"b", "the command exited with status 1"},
      {"c", "cannot read " + dir / "missing.wav" + ": No such file or directory"},
      {"d", "8000 Hz, 1 channel"},
      {"e", "it has 2 channels"},
      {"f", "not an audio file that can be read"},
      {"g", "Is a directory"},
      {"h", "line 8 of the wav.scp holds no file after the recording id"},
      {"i", "the command was killed by signal 9"},
  };
  for (const auto& [key, words] : said) {
    const std::size_t at = run.errors.find("feature-kaldi: no features for " + key + ": ");
    ASSERT_NE(at, std::string::npos) << key << "\n" << run.errors;
    EXPECT_NE(run.errors.substr(at, run.errors.find('\n', at) - at).find(words), std::string::npos)
        << words << "\n" << run.errors;
  }
  EXPECT_NE(run.errors.find("feature-kaldi: 10 utterances, 8 failed"), std::string::npos) << run.errors;
  const auto entries = parseArchive(test::readBytes(dir / "x.ark"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "a");
  EXPECT_EQ(entries[1].key, "j");
  EXPECT_TRUE(entries[0].values == entries[1].values);

  // Mistakes on the command line: a message, status 1, nothing written.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"ark:" + dir / "wav.scp", "ark:" + dir / "y.ark", "CMN"},
           {"scp:" + dir / "wav.scp", "ark,x:" + dir / "y.ark", "CMN"},
           {"scp:" + dir / "wav.scp", "ark:" + dir / "y.ark", "cmn"},
           {"scp:" + dir / "nothing", "ark:" + dir / "y.ark", "CMN"},
           {"--segments=" + dir / "nothing", "scp:" + dir / "wav.scp", "ark:" + dir / "y.ark", "CMN"},
           {"--segments=", "scp:" + dir / "wav.scp", "ark:" + dir / "y.ark", "CMN"},  // an unset variable
           {"--part", "1/3junk", "scp:" + dir / "wav.scp", "ark:" + dir / "y.ark", "CMN"}}) {
    const auto refused = kaldi(args);
    EXPECT_EQ(refused.status, 1) << args[0];
    EXPECT_NE(refused.errors.find("feature-kaldi: "), std::string::npos);
    EXPECT_FALSE(test::fileExists(dir / "y.ark")) << args[1];
  }
  // An archive that cannot be written whole leaves nothing behind, also
  // when the caller left SIGXFSZ to end the process.
  test::RunOptions limited;
  limited.program = KALDI_BINARY;
  limited.fileSizeLimit = 20000;
  limited.ignoreFileSizeSignal = false;
  const auto full = test::runTool({"-q", "scp:" + dir / "wav.scp", "ark,scp:" + dir / "z.ark," + dir / "z.scp", "CMN"},
                                  limited);
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.errors.find("File too large"), std::string::npos) << full.errors;
  for (const auto& file : test::listTree(dir.path())) EXPECT_EQ(file.find("z."), std::string::npos) << file;
}

// Entries that would take more memory than a recording's 90 s fail alone
// with their reason, in a process limited to 1 GiB of address space, on one
// worker and on two: a FLAC whose header promises 2^36 samples, a sparse
// 60 GB raw file read whole (its first 90 s) and cut by segments (only the
// span of the segments is read, at most 1 GiB of it).
TEST_F(Kaldi, HostileEntriesFailAloneInBoundedMemory) {
  const std::vector<std::int16_t> speech = test::speechLike(16000, 7);
  writeWav("good.wav", speech);
  ASSERT_TRUE(test::writeAudio(dir / "huge.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, speech));
  std::vector<unsigned char> flac = test::readBytes(dir / "huge.flac");
  ASSERT_EQ(std::string(flac.begin(), flac.begin() + 4), "fLaC");
  flac[21] |= 0x0F;  // the 36 bits of the total number of samples, all ones
  for (int i = 22; i < 26; ++i) flac[i] = 0xFF;
  test::writeBytes(dir / "huge.flac", flac);
  test::writeSamples(dir / "good.raw", speech);
  {
    std::FILE* sparse = std::fopen((dir / "sparse.raw").c_str(), "wb");
    ASSERT_NE(sparse, nullptr);
    ASSERT_EQ(ftruncate(fileno(sparse), std::int64_t{60} << 30), 0);
    std::fclose(sparse);
  }
  test::writeText(dir / "audio.scp", "a " + dir / "good.wav\nb " + dir / "huge.flac\nc " + dir / "good.wav\n");
  test::writeText(dir / "raw.scp", "r " + dir / "good.raw\ns " + dir / "sparse.raw\n");
  test::writeText(dir / "sparse.scp", "near " + dir / "sparse.raw\nall " + dir / "sparse.raw\n");
  test::writeText(dir / "segments", "u1 near 2000000 2000001\nu2 all 0 -1\nu3 near 2000002 2000002.5\n");
  test::RunOptions limited;
  limited.program = KALDI_BINARY;
#if !defined(__SANITIZE_ADDRESS__)  // its shadow memory needs the whole address space
  limited.inChild = [] {
    const rlimit bytes{std::uint64_t{1} << 30, std::uint64_t{1} << 30};
    setrlimit(RLIMIT_AS, &bytes);
  };
#endif
  for (const char* jobs : {"1", "2"}) {
    const auto audio = test::runTool({"-q", "-j", jobs, "scp:" + dir / "audio.scp", "ark:" + dir / "a.ark", "NONE"}, limited);
    EXPECT_EQ(audio.status, 1);
    EXPECT_EQ(audio.errors, "feature-kaldi: no features for b: refused " + dir / "huge.flac" +
                                ": its header promises 68719476735 samples, but the file holds 16000: cut short or "
                                "damaged; check it with flac -t\n");
    const auto entries = parseArchive(test::readBytes(dir / "a.ark"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(test::sameBits(entries[1].values, toolVectors(speech, feature::Normalisation::None)));

    const auto raw = test::runTool({"-q", "-j", jobs, "--input-format=raw", "scp:" + dir / "raw.scp",
                                    "ark:" + dir / "r.ark", "NONE"}, limited);
    EXPECT_EQ(raw.status, 0) << raw.errors;
    EXPECT_EQ(raw.errors, "feature-kaldi: warning: s is longer than 90 s; its last 2013175.92 s are ignored\n");
    EXPECT_EQ(parseArchive(test::readBytes(dir / "r.ark")).size(), 2u);

    const auto cut = test::runTool({"-q", "-j", jobs, "--input-format=raw", "--segments=" + dir / "segments",
                                    "scp:" + dir / "sparse.scp", "ark:" + dir / "s.ark", "NONE"}, limited);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.errors, "feature-kaldi: no features for u2: the segments of recording all span 2013265.9 s of 1 "
                          "channel, more than the 1 GiB of samples held at once: split its segments into runs of "
                          "shorter spans\n");
    const auto segments = parseArchive(test::readBytes(dir / "s.ark"));
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].key, "u1");
    EXPECT_EQ(segments[1].key, "u3");
    EXPECT_TRUE(test::sameBits(segments[0].values, toolVectors(std::vector<std::int16_t>(16000), feature::Normalisation::None)));
  }
  for (const auto& file : test::listTree(dir.path())) EXPECT_EQ(file.find(".feature-"), std::string::npos) << file;
}

// A segment can never select samples outside its recording: where the
// start, compared with the single-precision length, still rounds to an
// index past the last sample (recordings over 2^23 samples), the cut is
// empty, and feature-kaldi says the segment is shorter than one frame.
TEST_F(Kaldi, SegmentsNeverLeaveTheRecording) {
  kaldi_data::CutLimits limits;
  limits.minSegmentLength = 0.0f;
  int pastTheEnd = 0;
  std::int64_t example = 0;
  for (std::int64_t n = (1 << 23) - 50; n < (1 << 25); n += 9973) {
    kaldi_data::Segment s;
    s.start = static_cast<double>(static_cast<float>(n) / 16000.0f);  // the start at the length itself
    s.end = -1.0;
    const kaldi_data::Cut cut = kaldi_data::cutSegment(s, n, 1, 16000.0f, limits);
    ASSERT_TRUE(cut.problem.empty()) << n;
    EXPECT_LE(0, cut.first);
    EXPECT_LE(cut.first, cut.end) << n;
    EXPECT_LE(cut.end, n) << n;
    // Where the rounded start lies past the last sample, as Kaldi's rule puts it.
    if (static_cast<std::int64_t>(s.start * 16000.0f + 0.5f) > n) {
      ++pastTheEnd;
      example = n;
    }
  }
  ASSERT_GT(pastTheEnd, 0);
  // The same through the program, on a sparse raw recording of that length.
  std::FILE* raw = std::fopen((dir / "long.raw").c_str(), "wb");
  ASSERT_NE(raw, nullptr);
  ASSERT_EQ(ftruncate(fileno(raw), example * 2), 0);
  std::fclose(raw);
  char start[64];
  std::snprintf(start, sizeof start, "%.17g", static_cast<double>(static_cast<float>(example) / 16000.0f));
  test::writeText(dir / "wav.scp", "long " + dir / "long.raw\n");
  test::writeText(dir / "segments", std::string("end long ") + start + " -1\n");
  const auto run = kaldi({"-q", "--input-format=raw", "--min-segment-length=0", "--segments=" + dir / "segments",
                          "scp:" + dir / "wav.scp", "ark:" + dir / "x.ark", "NONE"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "feature-kaldi: no features for end: 0 samples, shorter than one frame (320)\n");
}

// Ids that Kaldi's readers cannot take (a control byte, a NUL) and ids on
// two lines fail for their own entry, naming the lines; the rest is
// written.
TEST_F(Kaldi, IdsKaldiCannotReadAndRepeatedIdsFailAlone) {
  writeWav("x.wav", test::speechLike(8000, 2));
  const std::string x = dir / "x.wav";
  test::writeText(dir / "wav.scp", std::string("a\vb ") + x + "\nc\fd " + x + "\ne\x01 " + x + "\n" +
                                       std::string("f\0g ", 4) + x + "\ngood " + x + "\ngood " + x + "\nother " + x + "\n");
  const auto run = kaldi({"-q", "scp:" + dir / "wav.scp", "ark,scp:" + dir / "x.ark," + dir / "x.scp", "NONE"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "feature-kaldi: no features for a\\x0Bb: line 1 of the wav.scp holds an id with a control byte, which "
            "Kaldi cannot read: 'a\\x0Bb'\n"
            "feature-kaldi: no features for c\\x0Cd: line 2 of the wav.scp holds an id with a control byte, which "
            "Kaldi cannot read: 'c\\x0Cd'\n"
            "feature-kaldi: no features for e\\x01: line 3 of the wav.scp holds an id with a control byte, which "
            "Kaldi cannot read: 'e\\x01'\n"
            "feature-kaldi: no features for f\\0g: line 4 of the wav.scp holds an id with a control byte, which "
            "Kaldi cannot read: 'f\\0g'\n"
            "feature-kaldi: no features for good: line 6 of the wav.scp holds the recording id good, already on "
            "line 5\n");
  const auto entries = parseArchive(test::readBytes(dir / "x.ark"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "good");
  EXPECT_EQ(entries[1].key, "other");
  // Segments: a repeated utterance id, and a recording id on two lines.
  test::writeText(dir / "segments", "u good 0 0.3\nu good 0.1 0.4\nv twice 0 0.3\nw other 0 0.3\n");
  test::writeText(dir / "wav2.scp", "good " + x + "\ntwice " + x + "\ntwice " + x + "\nother " + x + "\n");
  const auto cut = kaldi({"-q", "--segments=" + dir / "segments", "scp:" + dir / "wav2.scp", "ark:" + dir / "y.ark", "NONE"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.errors,
            "feature-kaldi: no features for u: segment on line 2: the utterance id u, already on line 1\n"
            "feature-kaldi: no features for v: the recording id twice is on lines 2 and 3 of the wav.scp\n");
  EXPECT_EQ(parseArchive(test::readBytes(dir / "y.ark")).size(), 2u);
}

// Signals the caller ignored stay ignored (nohup, a background job): a hang-up
// does not end the run, which writes everything. A command whose output
// passes 1 GiB is stopped, and the reason says so.
TEST_F(Kaldi, IgnoredSignalsStayIgnoredAndLongOutputsSaySo) {
  writeWav("x.wav", test::speechLike(8000, 2));
  test::writeText(dir / "wav.scp", "slow sleep 1; cat " + dir / "x.wav" + " |\nzero cat /dev/zero |\n");
  test::SpawnOptions options;
  options.program = KALDI_BINARY;
  options.errorsFile = dir / "errors";
  options.inChild = [] { signal(SIGHUP, SIG_IGN); };
  const test::Spawned run = test::spawn({"-q", "scp:" + dir / "wav.scp", "ark:" + dir / "x.ark", "NONE"}, options);
  usleep(300000);
  kill(run.pid, SIGHUP);
  EXPECT_EQ(test::waitStatus(run.pid), 1);
  const auto errors = test::readBytes(dir / "errors");
  EXPECT_EQ(std::string(errors.begin(), errors.end()),
            "feature-kaldi: no features for zero: its output: a stream of more than 1 GiB; reading stopped there, "
            "which ended the command\n");
  ASSERT_EQ(parseArchive(test::readBytes(dir / "x.ark")).size(), 1u);
}

}  // namespace

namespace {

// The rules of a cut at their boundaries, both sides, each expected value
// computed here by the rule itself: seconds to a sample index rounded half
// up from the double product (a decimal time "at one half" may land just
// below it in double); an end exactly at the length plus the overshoot
// (kept, cut to the length) and just past it (refused); a segment exactly
// as long as the minimum (kept) and just shorter (refused).
TEST(SegmentRules, EveryRuleAtItsBoundary) {
  const std::int64_t samples = 16000 * 10;
  const kaldi_data::CutLimits limits;
  const auto cut = [&](double start, double end) {
    kaldi_data::Segment s;
    s.start = start;
    s.end = end;
    return kaldi_data::cutSegment(s, samples, 1, 16000.0f, limits);
  };
  for (const double fraction : {0.25, 0.4999, 0.49999999, 0.5, 0.50000001, 0.5001, 0.75}) {
    const double start = (16000.0 + fraction) / 16000.0;
    const auto rule = static_cast<std::int64_t>(static_cast<std::int32_t>(start * 16000.0 + 0.5f));
    const kaldi_data::Cut c = cut(start, 2.0);
    EXPECT_EQ(c.first, rule) << fraction;
    // Truncating instead would differ from the rule on this side of a half.
    EXPECT_EQ(c.first == 16000, start * 16000.0 + 0.5 < 16001.0) << fraction;
  }
  const float length = static_cast<float>(samples) / 16000.0f;
  const double atOvershoot = static_cast<double>(length + limits.maxOvershoot);
  const kaldi_data::Cut kept = cut(9.0, atOvershoot);
  EXPECT_EQ(kept.problem, "");
  EXPECT_EQ(kept.end, samples);
  EXPECT_NE(cut(9.0, std::nextafter(atOvershoot, 100.0)).problem, "");
  const double minimum = static_cast<double>(limits.minSegmentLength);
  EXPECT_EQ(cut(0.0, minimum).problem, "");
  EXPECT_EQ(cut(0.0, std::nextafter(minimum, 0.0)).problem, "it is shorter than 0.100000 s");
}

}  // namespace
