// What the writers may touch: a device or FIFO at an output name is written
// into, a symbolic link is followed (the link stays), a directory or a loop
// of links is refused; an output that is one of the run's inputs, or two
// outputs that are one file, are refused before anything is written; a
// list of pairs is read line by line, so that a bad line never shifts a
// later pair onto a recording; only the tool's own files are removed or
// taken as done.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <thread>

#include "kaldi_archive.h"
#include "output_file.h"
#include "test_support.h"

namespace {

std::string fileKind(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return "none";
  if (S_ISLNK(info.st_mode)) return "link";
  if (S_ISCHR(info.st_mode)) return "device";
  if (S_ISFIFO(info.st_mode)) return "fifo";
  if (S_ISDIR(info.st_mode)) return "directory";
  return "file";
}

// The bytes a reader of a FIFO gets, read on a thread of its own until the
// writer closes it (at most 20 s: a writer that never comes fails the test
// instead of hanging it).
class FifoReader {
 public:
  explicit FifoReader(const std::string& path) : thread_([this, path] {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    for (int waited = 0; waited < 200;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) == 0) {
        ++waited;
        continue;
      }
      char block[4096];
      const ssize_t got = read(fd, block, sizeof block);
      if (got > 0) {
        bytes_.append(block, static_cast<std::size_t>(got));
      } else if (got == 0 && (p.revents & POLLHUP) != 0) {
        break;  // the writer was there and closed it
      } else if (got == 0) {
        usleep(10000);
      }
    }
    close(fd);
  }) {}
  std::vector<unsigned char> bytes() {
    thread_.join();
    return {bytes_.begin(), bytes_.end()};
  }

 private:
  std::string bytes_;
  std::thread thread_;
};

class OutputSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    recording_ = test::speechLike(16000, 3);
    test::writeSamples(dir / "rec.raw", recording_);
    test::writeText(dir / "wav.scp", "rec " + dir / "rec.raw\n");
    mkdir((dir / "storage").c_str(), 0777);
  }
  test::RunResult kaldi(const std::vector<std::string>& args) {
    test::RunOptions options;
    options.program = KALDI_BINARY;
    options.cwd = dir.path();
    return test::runTool(args, options);
  }
  test::RunResult tool(const std::vector<std::string>& args) {
    test::RunOptions options;
    options.cwd = dir.path();
    return test::runTool(args, options);
  }
  std::vector<std::int16_t> recording_;
  test::ScratchDir dir;
};

// Every writer, at a name where each kind of thing stands: the bytes go
// where they should, the thing stays what it was.
TEST_F(OutputSafety, DevicesAndFifosAreWrittenIntoAndLinksFollowed) {
  // Each writer: how to run it with the output at name T, and the file of
  // the same run written to a plain new file.
  // A refused run leaves the older files of its other outputs as they were.
  struct Writer {
    const char* what;
    std::function<test::RunResult(const std::string& target)> run;
    const char* partner;  // another output of the same run, or ""
  };
  const std::vector<Writer> writers = {
      {"archive", [&](const std::string& t) { return kaldi({"-q", "--input-format=raw", "scp:wav.scp", "ark:" + t, "NONE"}); },
       ""},
      {"index", [&](const std::string& t) {
         return kaldi({"-q", "--input-format=raw", "scp:wav.scp", "ark,scp:a.ark," + t, "NONE"});
       }, "a.ark"},
      {"utt2dur", [&](const std::string& t) {
         return kaldi({"-q", "--input-format=raw", "--write-utt2dur=ark,t:" + t, "scp:wav.scp", "ark:b.ark", "NONE"});
       }, "b.ark"},
      {"pairs target", [&](const std::string& t) {
         test::writeText(dir / "pairs.scp", "rec.raw " + t + "\n");
         return tool({"-q", "--pairs", "pairs.scp", ".", ".", "NONE"});
       }, ""},
  };
  const bool root = geteuid() == 0;
  for (const Writer& w : writers) {
    SCOPED_TRACE(w.what);
    unlink((dir / "plain").c_str());
    ASSERT_EQ(w.run("plain").status, 0);
    const std::vector<unsigned char> expected = test::readBytes(dir / "plain");
    ASSERT_FALSE(expected.empty());
    // A device node of the null device, made here (never the system's).
    if (root) {
      ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
      EXPECT_EQ(w.run("null").status, 0);
      EXPECT_EQ(fileKind(dir / "null"), "device");
      unlink((dir / "null").c_str());
    }
    // A FIFO with a reader waiting gets exactly the bytes.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    FifoReader reader(dir / "fifo");
    EXPECT_EQ(w.run("fifo").status, 0);
    EXPECT_EQ(reader.bytes(), expected);
    EXPECT_EQ(fileKind(dir / "fifo"), "fifo");
    unlink((dir / "fifo").c_str());
    // Links, dangling (as make_mfcc.sh leaves them into storage/) or not,
    // are followed: the file they point to is written, the link stays.
    // (The older file an HTK file of no frame: --pairs replaces only such.)
    for (const bool existing : {false, true}) {
      if (existing) test::writeBytes(dir / "storage/x", {0, 0, 0, 0, 0, 0x01, 0x86, 0xA0, 0, 0x9C, 0, 6});
      ASSERT_EQ(symlink("storage/x", (dir / "link").c_str()), 0);
      EXPECT_EQ(w.run("link").status, 0);
      EXPECT_EQ(fileKind(dir / "link"), "link");
      EXPECT_EQ(test::readBytes(dir / "storage/x"), expected);
      unlink((dir / "link").c_str());
      unlink((dir / "storage/x").c_str());
    }
    // A directory and a loop of links are refused with their reason.
    mkdir((dir / "adir").c_str(), 0777);
    ASSERT_EQ(symlink("loop2", (dir / "loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (dir / "loop2").c_str()), 0);
    for (const auto& [name, reason] : {std::pair<std::string, std::string>{"adir", "Is a directory"},
                                       {"loop1", "Too many levels of symbolic links"}}) {
      if (*w.partner != '\0') test::writeText(dir / w.partner, "older");
      const test::RunResult refused = w.run(name);
      EXPECT_EQ(refused.status, 1) << name;
      EXPECT_NE(refused.errors.find(name + ": " + reason), std::string::npos) << refused.errors;
      if (*w.partner != '\0') {
        EXPECT_EQ(test::readBytes(dir / w.partner), std::vector<unsigned char>({'o', 'l', 'd', 'e', 'r'})) << name;
      }
    }
    EXPECT_EQ(fileKind(dir / "adir"), "directory");
    EXPECT_EQ(test::listTree(dir / "adir").size(), 0u);
    EXPECT_EQ(fileKind(dir / "loop1"), "link");
    rmdir((dir / "adir").c_str());
    unlink((dir / "loop1").c_str());
    unlink((dir / "loop2").c_str());
  }
  // Two outputs of one run into one device are not one file written twice:
  // both go where the device sends them.
  if (root) {
    ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    const test::RunResult both =
        kaldi({"-q", "--input-format=raw", "--write-utt2dur=ark,t:null", "scp:wav.scp", "ark:null", "NONE"});
    EXPECT_EQ(both.status, 0) << both.errors;
    EXPECT_EQ(fileKind(dir / "null"), "device");
    unlink((dir / "null").c_str());
  }
  // No temporary was left anywhere.
  for (const std::string& f : test::listTree(dir.path())) EXPECT_EQ(f.find(".feature-"), std::string::npos) << f;
}

// An output that is one of the run's inputs, or two outputs that are one
// file, are refused with the reason before anything is written; the inputs
// keep their bytes.
TEST_F(OutputSafety, OutputsThatAreInputsOrEachOtherAreRefused) {
  test::writeText(dir / "segments", "u1 rec 0 0.5\n");
  test::writeText(dir / "list", "rec.raw\n");
  mkdir((dir / "in").c_str(), 0777);
  test::writeSamples(dir / "in/other.raw", recording_);
  ASSERT_EQ(symlink("in", (dir / "alias").c_str()), 0);
  test::writeText(dir / "wav2.scp", "rec " + dir / "rec.raw\nother in/other.raw\n");
  const std::vector<std::string> inputs = {"wav.scp", "wav2.scp", "segments", "rec.raw", "in/other.raw", "list"};
  std::vector<std::vector<unsigned char>> before;
  for (const auto& f : inputs) before.push_back(test::readBytes(dir / f));
  struct Case {
    std::vector<std::string> args;
    bool kaldiRun;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"scp:wav.scp", "ark,scp:feats.ark,wav.scp", "NONE"}, true,
       "will not write the index over wav.scp, which is the wav.scp of this run"},
      {{"--segments=segments", "scp:wav.scp", "ark,scp:feats.ark,segments", "NONE"}, true,
       "will not write the index over segments, which is the segments file of this run"},
      {{"scp:wav2.scp", "ark:rec.raw", "NONE"}, true,
       "will not write the archive over rec.raw, which is the recording on line 1 of the wav.scp of this run"},
      {{"scp:wav2.scp", "ark:alias/other.raw", "NONE"}, true,
       "will not write the archive over alias/other.raw, which is the recording on line 2 of the wav.scp of this run"},
      {{"scp:wav.scp", "ark,scp:x,x", "NONE"}, true, "the index and the archive are one file (x): each needs a file of its own"},
      {{"--write-num-frames=ark,t:feats.ark", "scp:wav.scp", "ark:feats.ark", "NONE"}, true,
       "the frame counts and the archive are one file (feats.ark): each needs a file of its own"},
      {{"--write-utt2dur=ark,t:-", "scp:wav.scp", "ark:-", "NONE"}, true, "the durations and the archive are one file (-): each needs a file of its own"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"-q", "--input-format=raw"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const test::RunResult r = kaldi(args);
    EXPECT_EQ(r.status, 1) << c.says;
    EXPECT_EQ(r.errors, "feature-kaldi: " + c.says + "\n");
  }
  // The tool: a pair's target that is its own source, a later line's
  // source, the list itself, or a source through a linked directory.
  // (The last line's source does not exist: the run stops there.)
  test::writeText(dir / "pairs", "rec.raw rec.raw\nin/other.raw out.htk\nrec.raw in/x.htk\n"
                                 "rec.raw pairs\nrec.raw alias/other.raw\nrec.raw fine.htk\nin/x.htk y.htk\n");
  const test::RunResult pairs = tool({"-q", "--pairs", "pairs", ".", ".", "NONE"});
  EXPECT_EQ(pairs.status, 1);
  EXPECT_EQ(pairs.errors.rfind(
                "feature: skipped rec.raw: will not write .//rec.raw, which is the source on line 1 of the list\n"
                "feature: skipped in/x.htk: will not write .//in/x.htk, which is the source on line 7 of the list\n"
                "feature: skipped pairs: will not write .//pairs, which is the list file\n"
                "feature: skipped alias/other.raw: will not write .//alias/other.raw, which is the source on line 2 "
                "of the list\n",
                0),
            0u)
      << pairs.errors;
  EXPECT_TRUE(test::fileExists(dir / "fine.htk"));
  EXPECT_TRUE(test::fileExists(dir / "out.htk"));
  EXPECT_FALSE(test::fileExists(dir / "in/x.htk"));
  // Without pairs: an output named as the list file.
  mkdir((dir / "o").c_str(), 0777);
  test::writeText(dir / "o/rec.mfcKVR0DAC39", "rec\n");
  const test::RunResult named = tool({"-q", "o/rec.mfcKVR0DAC39", "in", "o", "NONE"});
  EXPECT_EQ(named.errors, "feature: skipped rec: will not write o//rec.mfcKVR0DAC39, which is the list file\n");
  EXPECT_EQ(test::readBytes(dir / "o/rec.mfcKVR0DAC39"), std::vector<unsigned char>({'r', 'e', 'c', '\n'}));
  for (std::size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(test::readBytes(dir / inputs[i]), before[i]) << inputs[i];
  EXPECT_FALSE(test::fileExists(dir / "feats.ark"));
  EXPECT_FALSE(test::fileExists(dir / "x"));
}

// A list of pairs is read a line at a time by HTK's rules for names: a line
// of one name, of three, or with a quote that does not close fails alone
// with its line number, and the pairs after it stay pairs; quoted names and
// escapes give the names they spell; an existing target that is no HTK
// file is not written over.
TEST_F(OutputSafety, PairsAreLinesAndABadLineFailsAlone) {
  test::writeSamples(dir / "a b.raw", recording_);
  test::writeSamples(dir / "c.raw", test::noise(8000, 5, 2000));
  const std::vector<unsigned char> c = test::readBytes(dir / "c.raw");
  test::writeText(dir / "pairs",
                  "rec.raw\n"                        // 1: one name
                  "rec.raw one.htk extra\n"          // 2: three
                  "\n  \t\n"                         // 3, 4: blank
                  "'a b.raw' \"q 1.htk\"\n"          // 5: quoted
                  "a\\ b.raw q\\0402.htk\n"          // 6: escaped space, octal
                  "'rec.raw c.raw\n"                 // 7: a quote that does not close
                  "rec.raw c.raw\n"                  // 8: a recording as a target
                  "rec.raw last.htk");               // 9: no newline at the end
  for (const char* jobs : {"1", "2"}) {
    const test::RunResult r = tool({"-q", "-j", jobs, "--pairs", "pairs", ".", ".", "NONE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors,
              "feature: skipped line 1 of the list: one name where a source and its target are needed\n"
              "feature: skipped line 2 of the list: 3 names where a source and its target are needed (quote a name "
              "that holds spaces)\n"
              "feature: skipped line 7 of the list: a quote that does not close\n"
              "feature: skipped c.raw: will not write over .//c.raw: it is no HTK parameter file (with --pairs only "
              "feature files are replaced; is the pair the wrong way round?)\n");
    EXPECT_EQ(test::readBytes(dir / "c.raw"), c);
    const std::vector<unsigned char> expected = test::readBytes(dir / "q 1.htk");
    EXPECT_EQ(expected.size(), 12u + 156u * 99u);
    EXPECT_EQ(test::readBytes(dir / "q 2.htk"), expected);
    EXPECT_TRUE(test::fileExists(dir / "last.htk"));
    EXPECT_FALSE(test::fileExists(dir / "one.htk"));
  }
  // Shares count lines with names: line 9 is the seventh entry.
  unlink((dir / "last.htk").c_str());
  EXPECT_EQ(tool({"-q", "--pairs", "--part", "6/7", "pairs", ".", ".", "NONE"}).status, 0);
  EXPECT_TRUE(test::fileExists(dir / "last.htk"));
}

// --no-empty-files removes only a feature file of the run's kind; a
// header-only file does not count as done for a recording that gives
// frames, nor one whose frames are not the recording's.
TEST_F(OutputSafety, OnlyTheToolsOwnFilesAreRemovedOrTakenAsDone) {
  test::writeSamples(dir / "short.raw", test::noise(300, 1, 100));
  const std::vector<unsigned char> recording = test::readBytes(dir / "rec.raw");
  test::writeText(dir / "pairs", "short.raw rec.raw\n");
  const test::RunResult kept = tool({"-q", "--pairs", "--no-empty-files", "pairs", ".", ".", "NONE"});
  EXPECT_EQ(test::readBytes(dir / "rec.raw"), recording);
  EXPECT_EQ(kept.status, 1);
  // Without pairs, a file at the output name that is no HTK file stays.
  mkdir((dir / "o").c_str(), 0777);
  test::writeText(dir / "o/short.mfcKVR0DAC39", "not features");
  test::writeText(dir / "names", "short\n");
  const test::RunResult left = tool({"-q", "--no-empty-files", "--input-extension=raw", "names", ".", "o", "NONE"});
  EXPECT_EQ(left.status, 0);
  EXPECT_NE(left.errors.find("feature: warning: left o//short.mfcKVR0DAC39 as it is: it is no feature file of this "
                             "run, and the recording gives no frame\n"),
            std::string::npos)
      << left.errors;
  EXPECT_TRUE(test::fileExists(dir / "o/short.mfcKVR0DAC39"));
  // A file of the run's kind is removed.
  EXPECT_EQ(tool({"-q", "--input-extension=raw", "names", ".", "p", "NONE"}).status, 0);
  const test::RunResult removed = tool({"-q", "--no-empty-files", "--input-extension=raw", "names", ".", "p", "NONE"});
  EXPECT_NE(removed.errors.find("removed p//short.mfcKVR0DAC39"), std::string::npos) << removed.errors;
  EXPECT_FALSE(test::fileExists(dir / "p/short.mfcKVR0DAC39"));

  // --skip-existing: the right frame count only.
  test::writeText(dir / "recs", "rec\n");
  ASSERT_EQ(tool({"-q", "--input-extension=raw", "recs", ".", "q", "NONE"}).status, 0);
  const std::vector<unsigned char> whole = test::readBytes(dir / "q/rec.mfcKVR0DAC39");
  const std::vector<unsigned char> headerOnly = {0, 0, 0, 0, 0, 0x01, 0x86, 0xA0, 0, 0x9C, 0, 6};
  std::vector<unsigned char> fewer(whole.begin(), whole.end() - 156);
  fewer[3] = static_cast<unsigned char>(fewer[3] - 1);
  for (const auto& stale : {headerOnly, fewer, whole}) {
    test::writeBytes(dir / "q/rec.mfcKVR0DAC39", stale);
    const test::RunResult again = tool({"--skip-existing", "--input-extension=raw", "recs", ".", "q", "NONE"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(test::readBytes(dir / "q/rec.mfcKVR0DAC39"), whole);
    EXPECT_EQ(again.errors.find("1 skipped") != std::string::npos, stale.size() == whole.size()) << again.errors;
  }
}

// When a rename fails after another output was put under its name, the
// older file at the failing name (an index of the archive replaced) is
// removed and the message names what stands; before any rename, nothing is
// left and the older files stay.
TEST_F(OutputSafety, AllOrNothingSaysWhatStands) {
  test::writeText(dir / "a.ark", "older archive");
  test::writeText(dir / "a.scp", "older index");
  const float values[39] = {1.0f};
  // The temporaries standing, in the order they were made (their names
  // end in a count).
  const auto temporaries = [&] {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& f : test::listTree(dir.path())) {
      if (f.find(".feature-") == std::string::npos) continue;
      found.emplace_back(std::stol(f.substr(f.rfind('-') + 1)), dir / f);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (const auto& f : found) paths.push_back(f.second);
    return paths;
  };
  for (const int lost : {0, 1}) {  // the temporary that vanishes: the archive's, or the index's
    kaldi_io::ArchiveWriter writer;
    ASSERT_EQ(writer.open({dir / "a.ark", dir / "a.scp", "", ""}), "");
    ASSERT_TRUE(writer.add("k", values, 1, 39));
    const std::vector<std::string> made = temporaries();
    ASSERT_EQ(made.size(), 2u);
    unlink(made[lost].c_str());  // the archive's was made first
    const std::string what = writer.commit();
    if (lost == 0) {
      EXPECT_EQ(what.rfind("cannot write " + dir / "a.ark: No such file or directory; nothing was left under the "
                                                 "output names", 0), 0u) << what;
      EXPECT_EQ(test::readBytes(dir / "a.scp"), std::vector<unsigned char>({'o', 'l', 'd', 'e', 'r', ' ', 'i', 'n',
                                                                             'd', 'e', 'x'}));
    } else {
      EXPECT_EQ(what, "cannot write " + dir / "a.scp: No such file or directory; written: " + dir / "a.ark" +
                          "; removed the older " + dir / "a.scp" + ", which no longer matched them");
      EXPECT_FALSE(test::fileExists(dir / "a.scp"));
      EXPECT_EQ(test::readBytes(dir / "a.ark").size(), 2u + 15u + 156u);
    }
    EXPECT_TRUE(temporaries().empty());
  }
}

// Every command a refusal prints runs as printed, on scratch copies, and
// writes no file that existed: the conversion of a file names a copy beside
// it that is not there yet, and the wav.scp lines that convert on the fly
// (also for a command's output) give archives.
TEST_F(OutputSafety, PrintedCommandsRunAsPrintedAndOverwriteNothing) {
  const std::vector<std::int16_t> tone = test::sine(24000, 440.0, 8000.0);
  struct Source {
    const char* name;
    int format;
    int channels;
    int rate;
  };
  const std::vector<Source> sources = {{"tel.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000},
                                       {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 8000},
                                       {"two.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 16000},
                                       {"wide.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, 22050},
                                       {"speech.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 1, 48000},
                                       {"song.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 48000}};
  std::string pairs;
  for (const Source& source : sources) {
    std::vector<std::int16_t> samples;
    for (const std::int16_t v : tone) samples.insert(samples.end(), static_cast<std::size_t>(source.channels), v);
    ASSERT_TRUE(test::writeAudio(dir / source.name, source.format, samples, source.channels, source.rate)) << source.name;
    pairs += std::string(source.name) + " out/" + source.name + ".htk\n";
  }
  // Files that stand where a conversion could have been written.
  for (const char* unrelated : {"tel.16k.wav", "song.wav", "speech.wav"}) test::writeText(dir / unrelated, "unrelated");
  test::writeText(dir / "pairs", pairs);
  const test::RunResult refused = tool({"-q", "--pairs", "--input-format=audio", "pairs", ".", ".", "NONE"});
  ASSERT_EQ(refused.status, 1);
  // The indented lines: a conversion, then a wav.scp line, for each.
  std::vector<std::string> commands, scpLines;
  std::istringstream lines(refused.errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) != 0) continue;
    (commands.size() == scpLines.size() ? commands : scpLines).push_back(line.substr(2));
  }
  ASSERT_EQ(commands.size(), sources.size()) << refused.errors;
  ASSERT_EQ(scpLines.size(), sources.size()) << refused.errors;
  std::string converted, scp;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    test::writeText(dir / "convert.sh", commands[i] + "\n");
    EXPECT_EQ(test::runTool({"convert.sh"}, [&] {
                test::RunOptions o;
                o.program = "/bin/sh";
                o.cwd = dir.path();
                return o;
              }()).status, 0) << commands[i];
    const std::string target = commands[i].substr(commands[i].rfind(" '") + 2, commands[i].size() - commands[i].rfind(" '") - 3);
    converted += target + " out/" + std::to_string(i) + ".htk\n";
    scp += scpLines[i] + "\n";
  }
  for (const char* unrelated : {"tel.16k.wav", "song.wav", "speech.wav"}) {
    EXPECT_EQ(test::readBytes(dir / unrelated), std::vector<unsigned char>({'u', 'n', 'r', 'e', 'l', 'a', 't', 'e', 'd'}));
  }
  EXPECT_NE(converted.find("./tel.16k-2.wav"), std::string::npos) << converted;
  test::writeText(dir / "converted", converted);
  const test::RunResult again = tool({"-q", "--pairs", "--input-format=audio", "converted", ".", ".", "NONE"});
  EXPECT_EQ(again.status, 0) << again.errors;
  test::writeText(dir / "wav.scp", scp);
  const test::RunResult fly = kaldi({"-q", "scp:wav.scp", "ark:fly.ark", "NONE"});
  EXPECT_EQ(fly.status, 0) << scp << fly.errors;
  // A command's output: the conversion goes into its own line.
  test::writeText(dir / "cmd.scp", "t8 cat tel.wav |\n");
  const test::RunResult piped = kaldi({"-q", "scp:cmd.scp", "ark:cmd.ark", "NONE"});
  ASSERT_EQ(piped.status, 1);
  const std::size_t at = piped.errors.find("\n  ");
  ASSERT_NE(at, std::string::npos) << piped.errors;
  test::writeText(dir / "cmd.scp", piped.errors.substr(at + 3, piped.errors.find('\n', at + 1) - at - 3) + "\n");
  EXPECT_EQ(kaldi({"-q", "scp:cmd.scp", "ark:cmd.ark", "NONE"}).status, 0) << piped.errors;
}

}  // namespace
