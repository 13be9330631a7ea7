// Corpora spread over many tasks: a share of the list per task, resuming a
// stopped run, no files for recordings without a frame, HTK headers whose
// parameter kind describes the vectors, temporary names another process
// took, and a list of 10,000 names in flat memory with few descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <chrono>
#include <set>
#include <thread>

#include "test_support.h"

namespace {

// Starts the tool with standard input and output from /dev/null and an
// optional limit on open files.
test::Spawned startTool(const std::vector<std::string>& args, long openFiles = -1) {
  test::SpawnOptions options;
  options.inChild = [openFiles] {
    if (openFiles > 0) {
      const rlimit limit{static_cast<rlim_t>(openFiles), static_cast<rlim_t>(openFiles)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
  };
  return test::spawn(args, options);
}

class Corpora : public ::testing::Test {
 protected:
  void SetUp() override { mkdir((dir / "in").c_str(), 0777); }

  // names u0.. in two subdirectories, recordings of varied lengths.
  std::string corpus(int count) {
    std::string list;
    mkdir((dir / "in/a").c_str(), 0777);
    mkdir((dir / "in/b").c_str(), 0777);
    for (int i = 0; i < count; ++i) {
      const std::string name = std::string(i % 2 ? "a" : "b") + "/u" + std::to_string(i);
      test::writeSamples(dir / ("in/" + name), test::speechLike(400 + 997 * i % 9000, 40 + i));
      list += name + (i % 3 ? "\n" : "  ");
    }
    return list;
  }

  std::vector<std::pair<std::string, std::vector<unsigned char>>> tree(const std::string& root) {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> files;
    for (const auto& file : test::listTree(root)) {
      if (file.back() != '/') files.emplace_back(file, test::readBytes(root + "/" + file));
    }
    return files;
  }

  test::ScratchDir dir;
};

// Every N from 1 to 7 over a list of 23 names: the parts are disjoint, each
// name is in exactly one, and their union is the tree of a single run.
TEST_F(Corpora, PartsCoverEveryNameExactlyOnce) {
  test::writeText(dir / "list", corpus(23));
  ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "list", dir / "in", dir / "whole", "MVNMA"}).status, 0);
  const auto whole = tree(dir / "whole");
  ASSERT_EQ(whole.size(), 23u * 3u);
  for (int n = 1; n <= 7; ++n) {
    std::set<std::string> seen;
    long counted = 0;
    for (int k = 0; k < n; ++k) {
      const std::string out = dir / ("parts" + std::to_string(n) + "/" + std::to_string(k));
      const auto run = test::runTool({"--c12-eng", "--part", std::to_string(k) + "/" + std::to_string(n),
                                      dir / "list", dir / "in", out, "MVNMA"});
      ASSERT_EQ(run.status, 0) << run.errors;
      counted += std::atol(run.errors.c_str() + std::string("feature: ").size());
      for (const auto& [file, bytes] : tree(out)) {
        EXPECT_TRUE(seen.insert(file).second) << file << " in two parts of " << n;
        const auto match = std::find_if(whole.begin(), whole.end(), [&](const auto& w) { return w.first == file; });
        ASSERT_NE(match, whole.end()) << file;
        EXPECT_TRUE(match->second == bytes) << file;
      }
    }
    EXPECT_EQ(seen.size(), whole.size()) << "N = " << n;
    EXPECT_EQ(counted, 23) << "the summaries of the parts of " << n;
  }
  // All parts into one tree, as a job array writes it.
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(test::runTool({"-q", "--c12-eng", "--part=" + std::to_string(k) + "/4", dir / "list", dir / "in",
                             dir / "shared", "MVNMA"})
                  .status,
              0);
  }
  EXPECT_EQ(tree(dir / "shared"), whole);
}

TEST_F(Corpora, BadPartsAreRefusedBeforeAnythingIsRead) {
  for (const std::string bad : {"3/3", "0/0", "a/b", "-1/2", "1", "1/2/3", "2/-3", ""}) {
    const auto result = test::runTool({"--part", bad, dir / "missing-list", dir / "in", dir / "out", "CMN"});
    EXPECT_EQ(result.status, 1) << bad;
    EXPECT_EQ(result.output, "") << bad;  // the list was not even opened
    EXPECT_NE(result.errors.find("--part needs K/N with 0 <= K < N"), std::string::npos) << bad << result.errors;
  }
}

// A run killed in the middle of a write, resumed with --skip-existing: the
// tree is that of an uninterrupted run, and the files finished before the
// kill are not written again.
TEST_F(Corpora, ResumingAfterAKillFinishesTheTreeWithoutRedoingIt) {
  test::writeSamples(dir / "recording", test::noise(kMaxSamples, 41, 6000));
  std::string list;
  for (int i = 0; i < 12; ++i) {
    link((dir / "recording").c_str(), (dir / ("in/u" + std::to_string(i))).c_str());
    list += "u" + std::to_string(i) + "\n";
  }
  test::writeText(dir / "list", list);
  mkdir((dir / "out").c_str(), 0777);
  const int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(watch, (dir / "out").c_str(), IN_MOVED_TO), 0);
  const pid_t child = test::spawn({"--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"}).pid;
  // Killed once five files were renamed into place.
  int renamed = 0;
  alignas(inotify_event) char buffer[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (renamed < 5 && std::chrono::steady_clock::now() < end) {
    const ssize_t n = read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      ++renamed;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (n <= 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(watch);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";

  // What stood before the resumed run, with the times it was written.
  std::vector<std::pair<std::string, long>> before;
  for (const auto& file : test::listTree(dir / "out")) {
    if (file.find(".feature-") != std::string::npos) continue;
    struct stat info;
    stat((dir / ("out/" + file)).c_str(), &info);
    before.emplace_back(file, static_cast<long>(info.st_ino));
  }
  ASSERT_GE(before.size(), 5u);
  ASSERT_LT(before.size(), 36u);
  const auto resumed = test::runTool({"--skip-existing", "--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(resumed.status, 0) << resumed.errors;
  for (const auto& [file, inode] : before) {
    struct stat info;
    stat((dir / ("out/" + file)).c_str(), &info);
    // An utterance whose three files all stood was skipped: its files are
    // the same inodes (a rewrite renames a new file into place).
    const std::string name = file.substr(0, file.find('.'));
    const bool complete = std::count_if(before.begin(), before.end(), [&](const auto& b) {
                            return b.first.compare(0, name.size() + 1, name + ".") == 0;
                          }) == 3;
    if (complete) {
      EXPECT_EQ(static_cast<long>(info.st_ino), inode) << file << " was written again";
    }
  }
  EXPECT_NE(resumed.errors.find(" skipped (done before)"), std::string::npos) << resumed.errors;
  ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "list", dir / "in", dir / "clean", "CMN"}).status, 0);
  auto resumedTree = tree(dir / "out");
  resumedTree.erase(std::remove_if(resumedTree.begin(), resumedTree.end(),
                                   [](const auto& f) { return f.first.find(".feature-") != std::string::npos; }),
                    resumedTree.end());
  EXPECT_TRUE(resumedTree == tree(dir / "clean"));
}

// A file of another mode (another extension), or an HTK file without its
// .ENG when --c12-eng is asked for, is no reason to skip.
TEST_F(Corpora, OnlyThisModesCompleteFilesCountAsDone) {
  test::writeText(dir / "list", corpus(3));
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "out", "NONE"}).status, 0);
  const auto run = test::runTool({"--skip-existing", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors.find("skipped"), std::string::npos) << run.errors;
  EXPECT_TRUE(test::fileExists(dir / "out/b/u0.mfcKVR0DAZC39"));

  ASSERT_EQ(unlink((dir / "out/a/u1.mfcKVR0DAZC39").c_str()), 0);
  const auto withEng = test::runTool({"--skip-existing", "--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(withEng.status, 0);
  EXPECT_EQ(withEng.errors.find("skipped"), std::string::npos) << "no .C12/.ENG stood yet";
  const auto again = test::runTool({"--skip-existing", "--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_NE(again.errors.find("feature: 3 utterances, 0 failed, 3 skipped (done before)"), std::string::npos)
      << again.errors;
}

// A file counts as done only when it is whole and of this run's kind: an
// empty one, one cut short, one with another header and one without the
// qualifiers asked for are written again; so are .C12/.ENG files cut short.
TEST_F(Corpora, OnlyWholeFilesOfThisRunAreSkipped) {
  test::writeText(dir / "list", corpus(6));
  ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "list", dir / "in", dir / "clean", "CMN"}).status, 0);
  ASSERT_EQ(test::runTool({"-q", "--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"}).status, 0);
  const auto rewrite = [&](const std::string& file, std::size_t keep, int flip) {
    auto bytes = test::readBytes(dir / ("out/" + file));
    bytes.resize(std::min(bytes.size(), keep));
    if (flip >= 0) bytes[static_cast<std::size_t>(flip)] ^= 0x40;
    test::writeBytes(dir / ("out/" + file), bytes);
  };
  rewrite("b/u0.mfcKVR0DAZC39", 0, -1);        // empty
  rewrite("a/u1.mfcKVR0DAZC39", 1000, -1);     // cut short
  rewrite("b/u2.mfcKVR0DAZC39", 1 << 30, 5);   // another sample period
  rewrite("a/u3.C12", 100, -1);                // a cepstrum file cut short
  rewrite("b/u4.ENG", 1 << 30, 0);             // another frame count
  const auto resumed = test::runTool({"--skip-existing", "--c12-eng", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(resumed.status, 0);
  EXPECT_NE(resumed.errors.find("feature: 6 utterances, 0 failed, 1 skipped (done before)"), std::string::npos)
      << resumed.errors;
  EXPECT_TRUE(tree(dir / "out") == tree(dir / "clean"));

  const auto qualified = test::runTool({"--skip-existing", "--htk-qualifiers", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(qualified.errors.find("skipped"), std::string::npos) << qualified.errors;
  const auto header = test::readBytes(dir / "out/b/u0.mfcKVR0DAZC39");
  ASSERT_GE(header.size(), 12u);
  EXPECT_EQ(header[10], 0x2B);
}

// With --no-empty-files, recordings of 0, 1 and 319 samples get no file (an
// earlier run's is removed), 320 and 480 get the bytes of a run without the
// option; the status stays 0.
TEST_F(Corpora, NoFilesForRecordingsWithoutAFrame) {
  std::string list;
  for (const int n : {0, 1, 319, 320, 480}) {
    test::writeSamples(dir / ("in/n" + std::to_string(n)), test::noise(n, 42 + n, 3000));
    list += "n" + std::to_string(n) + "\n";
  }
  test::writeText(dir / "list", list);
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "plain", "CMN"}).status, 0);
  // The header-only files an earlier run wrote without the option go.
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "out", "CMN"}).status, 0);
  const auto result = test::runTool({"--no-empty-files", dir / "list", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"n320.mfcKVR0DAZC39", "n480.mfcKVR0DAZC39"}));
  for (const std::string file : {"n320.mfcKVR0DAZC39", "n480.mfcKVR0DAZC39"}) {
    EXPECT_TRUE(test::readBytes(dir / ("out/" + file)) == test::readBytes(dir / ("plain/" + file)));
  }
  EXPECT_NE(result.errors.find("feature: no file for n1: 1 sample, shorter than one frame (320)"), std::string::npos);
  EXPECT_NE(result.errors.find("feature: no file for n319: 319 samples"), std::string::npos);
  EXPECT_NE(result.errors.find("feature: removed " + dir / "out" + "//n1.mfcKVR0DAZC39, an earlier run's file"),
            std::string::npos)
      << result.errors;
  EXPECT_NE(result.errors.find("feature: 5 utterances, 0 failed, 3 too short"), std::string::npos) << result.errors;
}

// With --htk-qualifiers the header's parameter kind carries _0, _D, _A and,
// for CMN and MVNMA, _Z; the vectors are those of the default files.
TEST_F(Corpora, QualifiedHeadersDescribeTheVectors) {
  test::writeText(dir / "list", corpus(2));
  const struct {
    const char* mode;
    const char* ext;
    bool zeroMean;
  } modes[] = {{"CMN", "mfcKVR0DAZC39", true}, {"MVNMA", "mfcKVR0DAC39mvacqx_kvr", true}, {"NONE", "mfcKVR0DAC39", false}};
  for (const auto& m : modes) {
    ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "plain", m.mode}).status, 0);
    ASSERT_EQ(test::runTool({"-q", "--htk-qualifiers", dir / "list", dir / "in", dir / "qualified", m.mode}).status, 0);
    for (const std::string name : {"b/u0", "a/u1"}) {
      const auto plain = test::readBytes(dir / ("plain/" + name + "." + m.ext));
      const auto qualified = test::readBytes(dir / ("qualified/" + name + "." + m.ext));
      ASSERT_EQ(plain.size(), qualified.size());
      EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 10, qualified.begin())) << "count, period, size";
      EXPECT_TRUE(std::equal(plain.begin() + 12, plain.end(), qualified.begin() + 12)) << "the vectors";
      EXPECT_EQ((plain[10] << 8) | plain[11], 6);
      const int kind = (qualified[10] << 8) | qualified[11];
      EXPECT_EQ(kind & 0x3F, 6) << "MFCC";
      EXPECT_TRUE(kind & 0x2000) << "_0";
      EXPECT_TRUE(kind & 0x100) << "_D";
      EXPECT_TRUE(kind & 0x200) << "_A";
      EXPECT_EQ((kind & 0x800) != 0, m.zeroMean) << "_Z";
      EXPECT_EQ(kind & ~(0x3F | 0x2000 | 0x100 | 0x200 | 0x800), 0) << "no other qualifier";
    }
  }
  test::RunOptions inspect;
  inspect.program = INSPECT_BINARY;
  const auto shown = test::runTool({"--no-stats", dir / "qualified/b/u0.mfcKVR0DAZC39"}, inspect);
  EXPECT_NE(shown.output.find("parameter kind: 11014 (MFCC_D_A_Z_0)"), std::string::npos) << shown.output;
}

// A fresh tool process whose first temporary names are already taken (as by
// a process with the same number on another machine writing into the same
// tree): it skips them, writes its file, and leaves theirs alone.
TEST_F(Corpora, TemporaryNamesTakenByAnotherProcess) {
  test::ScratchDir dir;
  mkdir((dir / "in").c_str(), 0777);
  mkdir((dir / "out").c_str(), 0777);
  test::writeSamples(dir / "in/u", test::noise(800, 5, 100));
  test::writeText(dir / "list", "u\n");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  test::SpawnOptions options;
  options.inChild = [&go] {
    char c;
    close(go[1]);
    if (read(go[0], &c, 1) != 1) _exit(126);
  };
  const pid_t child = test::spawn({"-q", dir / "list", dir / "in", dir / "out", "NONE"}, options).pid;
  close(go[0]);
  std::vector<std::string> taken;
  for (int n = 0; n < 30; ++n) {
    taken.push_back(".feature-" + std::to_string(child) + "-" + std::to_string(n) + ".tmp");
    test::writeText(dir / ("out/" + taken.back()), "someone else's");
  }
  ASSERT_EQ(write(go[1], "x", 1), 1);
  close(go[1]);
  EXPECT_EQ(test::waitStatus(child), 0);
  EXPECT_EQ(test::readBytes(dir / "out/u.mfcKVR0DAC39").size(), 12u + 156u * 4u);
  for (const auto& name : taken) EXPECT_EQ(test::readBytes(dir / ("out/" + name)).size(), 14u) << name;
}

// 10,000 names (one short recording, written over and over) with room for
// only a dozen open files: the run completes, so nothing leaks descriptors,
// and its peak memory is that of a run of 1,000 names.
TEST_F(Corpora, TenThousandNamesInFlatMemory) {
  test::ScratchDir dir;
  mkdir((dir / "in").c_str(), 0777);
  test::writeSamples(dir / "in/u", test::speechLike(1600, 4));  // 9 frames
  std::string names;
  for (int i = 0; i < 1000; ++i) names += "u\n";
  test::writeText(dir / "small", names);
  std::string many;
  for (int i = 0; i < 10; ++i) many += names;
  test::writeText(dir / "large", many);

  const auto small = test::waitMeasuringPeak(startTool({dir / "small", dir / "in", dir / "out", "CMN"}, 12).pid);
  const auto large = test::waitMeasuringPeak(startTool({dir / "large", dir / "in", dir / "out", "CMN"}, 12).pid);
  EXPECT_EQ(small.second, 0);
  EXPECT_EQ(large.second, 0);
  EXPECT_EQ(test::readBytes(dir / "out/u.mfcKVR0DAZC39").size(), 12u + 156u * 9u);
  std::printf("peak resident memory: %ld kB for 1,000 names, %ld kB for 10,000 names\n", small.first,
              large.first);
  RecordProperty("peak_kb_1000", std::to_string(small.first));
  RecordProperty("peak_kb_10000", std::to_string(large.first));
  ASSERT_GT(small.first, 0);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine (up to 256 MB), so the
  // resident size grows there by design; leaks are its own to report.
#else
  EXPECT_LT(large.first, small.first + 1024) << "memory grows with the length of the list";
#endif
  EXPECT_EQ(test::listTree(dir / "out"), (std::vector<std::string>{"u.mfcKVR0DAZC39"}));
}

}  // namespace
