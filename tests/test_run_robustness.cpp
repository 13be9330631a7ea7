// The tool under hostile conditions: closed standard streams, a list read from
// a pipe, signals and file-size limits in the middle of a write, lists
// without white space, workers that cannot start, empty directory
// arguments, room made during a pause, and a run that throws.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "batch.h"
#include "extractor.h"
#include "test_support.h"

namespace {

std::string readFile(const std::string& path) {
  const auto bytes = test::readBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

bool isTemporary(const std::string& file) { return file.find(".feature-") != std::string::npos; }

std::size_t countTemporaries(const std::string& dir) {
  std::size_t count = 0;
  for (const auto& file : test::listTree(dir)) count += isTemporary(file) ? 1 : 0;
  return count;
}

// A scratch tree: "in" holds one recording under many names (hard links).
class Robustness : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "in").c_str(), 0777);
    mkdir((dir / "out").c_str(), 0777);
  }

  // names u0..u{count-1}, all the same recording; returns the list text.
  std::string corpus(int count, const std::vector<std::int16_t>& samples) {
    test::writeSamples(dir / "recording", samples);
    std::string list;
    for (int i = 0; i < count; ++i) {
      const std::string name = "u" + std::to_string(i);
      if (link((dir / "recording").c_str(), (dir / ("in/" + name)).c_str()) != 0) {
        throw std::runtime_error("link");
      }
      list += name + "\n";
    }
    return list;
  }

  // The files of dir and their bytes.
  std::vector<std::pair<std::string, std::string>> tree(const std::string& root) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& file : test::listTree(root)) {
      files.emplace_back(file, file.back() == '/' ? "" : readFile(root + "/" + file));
    }
    return files;
  }

  test::ScratchDir dir;
};

// Started with descriptors 0, 1 and 2 closed, the tool must not let a file
// it opens take their place: messages on those streams would land inside
// finished feature files.
TEST_F(Robustness, ClosedStandardStreamsNeverEndUpInFiles) {
  corpus(1, test::speechLike(8000, 11));
  std::string list;
  for (int i = 0; i < 200; ++i) {
    list += i % 10 == 3 ? std::string(600, 'x') + std::to_string(i) : "u0";
    list += "\n";
  }
  for (int i = 0; i < 200; ++i) {
    mkdir((dir / ("in/d" + std::to_string(i))).c_str(), 0777);
    link((dir / "recording").c_str(), (dir / ("in/d" + std::to_string(i) + "/u")).c_str());
    list += i % 10 == 3 ? std::string(600, 'y') : "d" + std::to_string(i) + "/u";
    list += "\n";
  }
  test::writeText(dir / "list", list);
  const auto reference = test::runTool({"-q", dir / "list", dir / "in", dir / "reference", "CMN"});
  ASSERT_EQ(reference.status, 1);  // the over-long names are refused

  for (const char* jobs : {"1", "4"}) {
    test::SpawnOptions options;
    options.inChild = [] {
      close(0);
      close(1);
      close(2);
    };
    const std::string out = dir / (std::string("closed-") + jobs);
    EXPECT_EQ(test::waitStatus(test::spawn({"-j", jobs, dir / "list", dir / "in", out, "CMN"}, options).pid), 1);
    EXPECT_EQ(tree(out), tree(dir / "reference")) << "-j " << jobs;
  }
}

// A list given as /dev/stdin from a pipe, with one output blocked: every
// name is tried (the pause must not read the list), and the summary counts
// them all.
TEST_F(Robustness, ListReadFromAPipeLosesNoNameAfterAnError) {
  const std::string list = corpus(2000, test::noise(1600, 12, 2000));
  mkdir((dir / "out/u7.mfcKVR0DAC39").c_str(), 0777);
  for (const char* jobs : {"1", "3"}) {
    test::SpawnOptions options;
    options.inputPipe = true;
    options.outputPipe = true;
    options.errorsFile = dir / "errors";
    const test::Spawned run = test::spawn({"-j", jobs, "/dev/stdin", dir / "in", dir / "out", "NONE"}, options);
    std::thread feeder([&] {
      test::writeAll(run.input, list);
      close(run.input);
    });
    const std::string output = test::readAll(run.output);
    feeder.join();
    EXPECT_EQ(test::waitStatus(run.pid), 1) << jobs;
    EXPECT_EQ(output, "Error\n") << jobs;
    const std::string errors = readFile(dir / "errors");
    EXPECT_NE(errors.find("feature: 2000 utterances, 1 failed"), std::string::npos) << errors;
    EXPECT_EQ(test::listTree(dir / "out").size(), 2000u) << jobs;  // 1999 files and the directory
    EXPECT_TRUE(test::fileExists(dir / "out/u1999.mfcKVR0DAC39"));
  }
}

// Each "Error" takes exactly one character of standard input, whatever
// else is waiting there.
// Off a terminal the pause after "Error" reads nothing: standard input
// belongs to the caller (the next lines of a while-read loop), and it is
// said once. The loop below is the one that lost "MV" of "MVNMA" when the
// pause took a character from it.
TEST_F(Robustness, PauseReadsOnlyFromATerminal) {
  const std::string list = corpus(6, test::noise(1600, 13, 2000));
  test::writeText(dir / "list", list);
  for (const char* mode : {"MVNMA", "NONE", "CMN"}) {
    mkdir((dir / ("out-" + std::string(mode))).c_str(), 0777);
    mkdir((dir / ("out-" + std::string(mode) + "/u1." + feature::extensionOf(feature::normalisationNamed(mode)))).c_str(), 0777);
  }
  for (const char* jobs : {"1", "3"}) {
    const std::string script = "printf 'MVNMA\\nNONE\\nCMN\\n' | while read mode; do '" FEATURE_BINARY "' -j " +
                               std::string(jobs) + " '" + dir / "list" + "' '" + dir / "in" + "' '" + dir / "out-" +
                               "'$mode $mode; echo \"$mode $?\"; done";
    const auto run = test::runTool({"-c", script}, [] {
      test::RunOptions o;
      o.program = "/bin/sh";
      return o;
    }());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Error\nMVNMA 1\nError\nNONE 1\nError\nCMN 1\n") << "-j " << jobs;
    const std::string note = "feature: no pause after \"Error\": standard input is not a terminal";
    std::size_t notes = 0;
    for (std::size_t at = run.errors.find(note); at != std::string::npos; at = run.errors.find(note, at + 1)) ++notes;
    EXPECT_EQ(notes, 3u) << run.errors;  // once per run
    EXPECT_TRUE(test::fileExists(dir / "out-NONE/u5.mfcKVR0DAC39"));
  }
}

// Watches a directory for the creation of a temporary file.
class TemporaryWatch {
 public:
  explicit TemporaryWatch(const std::string& dir) {
    fd_ = inotify_init1(IN_NONBLOCK);
    if (fd_ < 0 || inotify_add_watch(fd_, dir.c_str(), IN_CREATE) < 0) throw std::runtime_error("inotify");
  }
  ~TemporaryWatch() { close(fd_); }

  // Waits until the skip + 1st temporary is created; false after 20 s.
  bool waitForTemporary(int skip) {
    int seen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    alignas(inotify_event) char buffer[8192];
    while (std::chrono::steady_clock::now() < end) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && isTemporary(event->name) && seen++ == skip) return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return false;
  }

 private:
  int fd_ = -1;
};

// Interrupted while it writes 1.4 MB files, the tool removes its
// temporaries and ends with the status of the signal.
TEST_F(Robustness, InterruptedRunsLeaveNoTemporaries) {
  test::writeText(dir / "list", corpus(16, test::noise(kMaxSamples, 14, 8000)));
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    for (const char* jobs : {"1", "4"}) {
      const std::string out = dir / ("out/" + std::to_string(signalNumber) + "-" + jobs);
      mkdir(out.c_str(), 0777);
      TemporaryWatch watch(out);
      const test::Spawned run = test::spawn({"-q", "-j", jobs, dir / "list", dir / "in", out, "MVNMA"});
      ASSERT_TRUE(watch.waitForTemporary(2)) << "no file was being written";
      kill(run.pid, signalNumber);
      EXPECT_EQ(test::waitStatus(run.pid), 128 + signalNumber) << "signal " << signalNumber << ", -j " << jobs;
      EXPECT_EQ(countTemporaries(out), 0u) << "signal " << signalNumber << ", -j " << jobs;
      for (const auto& file : test::listTree(out)) {
        EXPECT_EQ(test::readBytes(out + "/" + file).size(), 12u + 156u * 8999u) << file;
      }
    }
  }
}

// Killed with SIGKILL while a file is being written (the temporary is seen
// to exist at that moment): every file under a final name is complete, and
// a second run gives the bytes of an uninterrupted run.
TEST_F(Robustness, KilledInTheMiddleOfAWriteLeavesOnlyCompleteFiles) {
  test::writeText(dir / "list", corpus(12, test::noise(kMaxSamples, 15, 8000)));
  const std::string out = dir / "out/killed";
  mkdir(out.c_str(), 0777);
  bool landed = false;
  for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
    TemporaryWatch watch(out);
    const test::Spawned run = test::spawn({"-q", "-j", "2", dir / "list", dir / "in", out, "CMN"});
    ASSERT_TRUE(watch.waitForTemporary(3));
    kill(run.pid, SIGKILL);
    ASSERT_EQ(test::waitStatus(run.pid), 128 + SIGKILL);
    landed = countTemporaries(out) > 0;
  }
  ASSERT_TRUE(landed) << "the kill never landed during a write";
  for (const auto& file : test::listTree(out)) {
    if (isTemporary(file)) continue;
    EXPECT_EQ(test::readBytes(out + "/" + file).size(), 12u + 156u * 8999u) << file;
  }
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", out, "CMN"}).status, 0);
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "clean", "CMN"}).status, 0);
  for (const auto& [file, bytes] : tree(dir / "clean")) {
    EXPECT_TRUE(bytes == readFile(out + "/" + file)) << file;
  }
}

// A file-size limit fails the file that passes it, like a full disk; the
// signal it raises does not end the run.
TEST_F(Robustness, FileSizeLimitFailsTheFileNotTheRun) {
  test::writeSamples(dir / "in/long", test::noise(160000, 16, 3000));  // 156 kB of features
  test::writeSamples(dir / "in/short", test::noise(16000, 17, 3000));  // 15 kB
  test::writeText(dir / "list", "long\nshort\n");
  test::RunOptions options;
  options.fileSizeLimit = 100000;
  options.ignoreFileSizeSignal = false;
  const auto result = test::runTool({"-q", dir / "list", dir / "in", dir / "out", "NONE"}, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Error\n");
  EXPECT_NE(result.errors.find("File too large"), std::string::npos) << result.errors;
  EXPECT_EQ(test::listTree(dir / "out"), std::vector<std::string>{"short.mfcKVR0DAC39"});
}

// A list of 48 MB without white space: the name is refused once it is too
// long, the rest of it is read past without being kept, and the next name
// is written.
TEST_F(Robustness, ListWithoutWhiteSpaceKeepsMemoryFlat) {
  corpus(1, test::noise(3200, 18, 2000));
  {
    std::FILE* list = std::fopen((dir / "list").c_str(), "wb");
    const std::string block(1 << 20, 'a');
    for (int i = 0; i < 48; ++i) std::fwrite(block.data(), 1, block.size(), list);
    std::fputs("\nu0\n", list);
    std::fclose(list);
  }
  test::SpawnOptions options;
  options.errorsFile = dir / "errors";
  const test::Spawned run = test::spawn({dir / "list", dir / "in", dir / "out", "NONE"}, options);
  const auto [peak, status] = test::waitMeasuringPeak(run.pid);
  EXPECT_EQ(status, 1);
  EXPECT_NE(readFile(dir / "errors").find("skipped a name longer than 511 characters: aaaa"), std::string::npos);
  EXPECT_EQ(test::listTree(dir / "out"), std::vector<std::string>{"u0.mfcKVR0DAC39"});
  std::printf("peak resident memory with a 48 MB name: %ld kB\n", peak);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(peak, 20000) << "the name was kept whole";
#endif
}

// With the address space limited, only some of 1,024 workers can start:
// the tool says so and goes on with those; a short list starts no more
// workers than it has names, so it needs no such message.
TEST_F(Robustness, WorkersThatCannotStartAreReportedNotFatal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs an unlimited address space";
#endif
  test::writeText(dir / "list", corpus(100, test::noise(8000, 19, 2000)));
  test::writeText(dir / "three", "u0\nu1\nu2\n");
  ASSERT_EQ(test::runTool({"-q", dir / "list", dir / "in", dir / "reference", "CMN"}).status, 0);
  // 96 MB leave room for about five workers, fewer than any run of 100
  // names asks for even when utterances finish as fast as they are queued;
  // 256 MB for the three names, which want three.
  rlim_t bytes = 96u << 20;
  test::SpawnOptions options;
  options.errorsFile = dir / "errors";
  options.inChild = [&bytes] {
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
  };
  EXPECT_EQ(test::waitStatus(test::spawn({"-q", "-j", "1024", dir / "list", dir / "in", dir / "out", "CMN"}, options).pid), 0);
  EXPECT_NE(readFile(dir / "errors").find("could start only"), std::string::npos) << readFile(dir / "errors");
  EXPECT_EQ(tree(dir / "out"), tree(dir / "reference"));

  bytes = 256u << 20;
  EXPECT_EQ(test::waitStatus(test::spawn({"-q", "-j", "1024", dir / "three", dir / "in", dir / "few", "CMN"}, options).pid), 0);
  EXPECT_EQ(readFile(dir / "errors"), "");
  EXPECT_EQ(test::listTree(dir / "few").size(), 3u);
}

// An empty directory argument (an unset shell variable) is refused before
// anything is read or written; it would otherwise mean the root directory.
TEST_F(Robustness, EmptyDirectoryArgumentsAreRefused) {
  const std::string name = "feature-test-empty-dir-" + std::to_string(getpid());
  test::writeSamples(dir / ("in/" + name), test::noise(480, 20, 100));
  test::writeText(dir / "list", name + "\n");
  const auto noOutput = test::runTool({dir / "list", dir / "in", "", "CMN"});
  EXPECT_EQ(noOutput.status, 1);
  EXPECT_NE(noOutput.errors.find("output directory argument is empty"), std::string::npos) << noOutput.errors;
  EXPECT_FALSE(test::fileExists("/" + name + ".mfcKVR0DAZC39"));
  unlink(("/" + name + ".mfcKVR0DAZC39").c_str());
  const auto noInput = test::runTool({dir / "list", "", dir / "out", "CMN"});
  EXPECT_EQ(noInput.status, 1);
  EXPECT_NE(noInput.errors.find("input directory argument is empty"), std::string::npos) << noInput.errors;
  EXPECT_EQ(noInput.output, "");
  EXPECT_EQ(test::listTree(dir / "out"), std::vector<std::string>{});
}

// Outputs blocked by directories; the operator removes the blocks during
// the pause after the first "Error". One worker then writes every later
// file, and so must several: what failed while the pause was pending is
// done again after it.
TEST_F(Robustness, RoomMadeDuringAPauseServesWorkersToo) {
  corpus(0, test::noise(4800, 21, 2000));
  const std::vector<int> blocked = {3, 4, 6, 9, 12};
  const auto isBlocked = [&](int i) { return std::find(blocked.begin(), blocked.end(), i) != blocked.end(); };
  std::string list;
  for (int i = 0; i < 20; ++i) {
    const std::string name = isBlocked(i) ? "b" + std::to_string(i) + "/u" : "u" + std::to_string(i);
    mkdir((dir / ("in/b" + std::to_string(i))).c_str(), 0777);
    ASSERT_EQ(link((dir / "recording").c_str(), (dir / ("in/" + name)).c_str()), 0);
    list += name + "\n";
  }
  test::writeText(dir / "list", list);
  for (const char* jobs : {"1", "2", "4"}) {
    // The blocks are files where the tool needs directories.
    const std::string out = dir / (std::string("out/") + jobs);
    mkdir(out.c_str(), 0777);
    for (const int i : blocked) test::writeText(out + "/b" + std::to_string(i), "in the way");
    test::SpawnOptions options;
    options.terminalInput = true;  // the pause reads from a terminal only
    options.outputPipe = true;
    options.errorsFile = dir / "errors";
    const test::Spawned run = test::spawn({"-q", "-j", jobs, dir / "list", dir / "in", out, "NONE"}, options);
    std::string output;
    char c;
    while (output.find("Error\n") == std::string::npos && read(run.output, &c, 1) == 1) output += c;
    ASSERT_EQ(output, "Error\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // workers fail meanwhile
    for (const int i : blocked) {
      if (i != blocked.front()) unlink((out + "/b" + std::to_string(i)).c_str());
    }
    test::writeAll(run.input, "\n");
    output += test::readAll(run.output);
    close(run.input);
    EXPECT_EQ(test::waitStatus(run.pid), 1) << "-j " << jobs;
    EXPECT_EQ(output, "Error\n") << "-j " << jobs;
    const std::string errors = readFile(dir / "errors");
    EXPECT_EQ(errors, "feature: cannot create " + out + "//b3/u.mfcKVR0DAC39: Not a directory\n"
                      "feature: press Enter to go on (batch jobs: give standard input from /dev/null)\n")
        << "-j " << jobs;
    for (int i = 0; i < 20; ++i) {
      if (i == blocked.front()) continue;
      const std::string file = out + "/" + (isBlocked(i) ? "b" + std::to_string(i) + "/u" : "u" + std::to_string(i)) +
                               ".mfcKVR0DAC39";
      EXPECT_TRUE(test::fileExists(file)) << file << ", -j " << jobs;
    }
  }
}

// An exception in the loop over the list (here from the question whether
// the run was interrupted, once the fifth file stands) ends the run with
// status 1 once the workers have finished what they hold; nothing is
// written into freed memory (the sanitizer build checks).
TEST_F(Robustness, AnExceptionInTheLoopEndsTheRunCleanly) {
  test::writeText(dir / "list", corpus(40, test::noise(16000, 22, 2000)));
  std::snprintf(IN_WAV_DIR, sizeof IN_WAV_DIR, "%s", (dir / "in").c_str());
  test::OutputDirectory output(dir / "out");
  for (const int jobs : {1, 3}) {
    auto extractor = test::makeExtractor(0);
    std::snprintf(extractor->outExt, sizeof extractor->outExt, "%s", "mfcKVR0DAZC39");
    LoopSettings settings;
    settings.jobs = jobs;
    const std::string fifth = dir / "out/u4.mfcKVR0DAZC39";
    settings.interrupted = [&fifth] {
      if (test::fileExists(fifth)) throw std::runtime_error("injected failure");
      return false;
    };
    std::FILE* list = std::fopen((dir / "list").c_str(), "r");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(runBatch(list, *extractor, settings), 1);
    std::fclose(list);
    for (int i = 0; i < 5; ++i) {
      EXPECT_TRUE(test::fileExists(dir / ("out/u" + std::to_string(i) + ".mfcKVR0DAZC39"))) << i;
    }
    for (const auto& f : test::listTree(dir / "out")) unlink((dir / ("out/" + f)).c_str());
  }
  IN_WAV_DIR[0] = '\0';
}

// Names and paths that do not fit are refused on standard error before any
// of their files is written; a recording that cannot be read gets the
// system's reason; a NUL byte in a name is shown, not cut at.
TEST_F(Robustness, RefusalsSayWhyAndWriteNothing) {
  corpus(1, test::noise(1600, 23, 2000));
  const std::string longDir(470, 'd');
  mkdir((dir / ("in/" + longDir)).c_str(), 0777);
  link((dir / "recording").c_str(), (dir / ("in/" + longDir + "/u")).c_str());
  const std::string tooLong = longDir + "/u";  // fits the input path, not the output path
  test::writeText(dir / "list", tooLong + "\nu0\n" + std::string("a\0b", 3) + "\n");
  const auto result = test::runTool({"--c12-eng", dir / "list", dir / "in", dir / "out", "MVNMA"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_NE(result.errors.find("its output path is longer than 511 characters"), std::string::npos)
      << result.errors;
  EXPECT_NE(result.errors.find("holds a NUL byte: a\\0b"), std::string::npos) << result.errors;
  EXPECT_EQ(test::listTree(dir / "out"),
            (std::vector<std::string>{"u0.C12", "u0.ENG", "u0.mfcKVR0DAC39mvacqx_kvr"}));

  test::writeText(dir / "missing", "nothing-here\n");
  const auto missing = test::runTool({"-q", dir / "missing", dir / "in", dir / "out", "CMN"});
  EXPECT_EQ(missing.output, "can't open file " + dir / "in" + "/nothing-here\n");
  EXPECT_EQ(missing.errors, "feature: cannot read the recording " + dir / "in" +
                                "/nothing-here: No such file or directory\n"
                                "feature: the run stops at nothing-here\n");
}

}  // namespace
