// Helpers shared by the tests: extractor objects, scratch directories,
// recordings and whole-file reads, and running the built tool.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "feature.h"

namespace test {

// A FEATURE (too large for the stack) with its tables built.
std::unique_ptr<FEATURE> makeExtractor(int normType = 2);

// A fresh empty directory, removed with everything in it when the object
// goes out of scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes);
void writeText(const std::string& path, const std::string& text);
void writeSamples(const std::string& path, const std::vector<std::int16_t>& samples);
std::vector<unsigned char> readBytes(const std::string& path);
bool fileExists(const std::string& path);
std::vector<std::string> listTree(const std::string& root);  // sorted, relative

// Deterministic test signals.
std::vector<std::int16_t> sine(int count, double frequency, double amplitude);
std::vector<std::int16_t> noise(int count, std::uint32_t seed, int amplitude);
// Voiced, speech-like: harmonics of a gliding pitch under a syllable-rate
// envelope, with some noise and silent gaps.
std::vector<std::int16_t> speechLike(int count, std::uint32_t seed);

struct RunResult {
  int status = -1;      // exit status, or 128 + signal
  std::string output;   // standard output
  std::string errors;   // standard error
};

struct RunOptions {
  std::string program = FEATURE_BINARY;  // the tool to run
  std::string cwd = ".";             // working directory of the tool
  const std::string* input = nullptr;  // standard input; /dev/null if none
  long fileSizeLimit = -1;           // RLIMIT_FSIZE in bytes
  bool ignoreFileSizeSignal = true;  // SIGXFSZ ignored when the limit is set
  std::function<void()> inChild;     // in the child, the last thing before exec
};

// How spawn starts a program: standard input from a pipe or a file,
// standard output into a pipe or a file, standard error into a file.
struct SpawnOptions {
  bool inputPipe = false;   // standard input from a pipe (else inputFile)
  bool outputPipe = false;  // standard output into a pipe (else outputFile)
  // Standard input from a pseudo-terminal (inputPipe and inputFile aside):
  // what is written to Spawned::input is typed into it, a line at a time.
  bool terminalInput = false;
  std::string errorsFile = "/dev/null";  // standard error
  std::string outputFile;                // standard output; empty: errorsFile
  std::string inputFile = "/dev/null";
  std::function<void()> inChild;  // in the child, the last thing before exec
  std::string program = FEATURE_BINARY;
};

struct Spawned {
  pid_t pid = -1;
  int input = -1;   // write end of the program's standard input
  int output = -1;  // read end of the program's standard output
};

// The one way the tests start a process: fork, the descriptors of options
// (every other one closed), then exec.
Spawned spawn(const std::vector<std::string>& args, const SpawnOptions& options = {});
// Waits for it: its exit status, or 128 + the signal that ended it; with
// usage given, its resource use.
int waitStatus(pid_t pid, rusage* usage = nullptr);
// Waits for it, sampling the peak resident size (VmHWM, kB) of the program
// it runs once it runs one of ours (not of the test's copy before exec):
// {peak, status}.
std::pair<long, int> waitMeasuringPeak(pid_t pid);
std::string readAll(int fd);                     // to the end, then closed
void writeAll(int fd, const std::string& text);  // all of it, or throws

// In a child process: replaces it with program run with these arguments.
[[noreturn]] void execTool(const std::string& program, const std::vector<std::string>& args);

// Runs the built tool with these arguments.
RunResult runTool(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs the tool with standard output and standard error on a pseudo-terminal
// of the given width and returns what was written to it (both streams, as
// written). With keys, standard input is the terminal too, and the keys are
// typed at the start; otherwise it is /dev/null.
RunResult runToolOnTerminal(const std::vector<std::string>& args, int columns = 80,
                            const std::string* keys = nullptr);

// What a terminal of that width shows after the output: its lines, with
// carriage returns, erasing to the end of the line (ESC [ K) and wrapping
// at the width applied.
std::vector<std::string> terminalScreen(const std::string& output, int columns);

inline float bitsToFloat(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline std::uint32_t floatBits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Points the output directory strings at dir while it lives.
class OutputDirectory {
 public:
  explicit OutputDirectory(const std::string& dir);
  ~OutputDirectory();
};

// Captures what an extractor prints on its console while it lives.
class Console {
 public:
  explicit Console(FEATURE& f);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  std::string text();  // everything printed so far; ends the capture

 private:
  void close();
  FEATURE& f_;
  char* text_ = nullptr;
  std::size_t length_ = 0;
};

// Big-endian float i of an HTK file's vectors.
float htkValue(const std::vector<unsigned char>& file, std::size_t i);
// The 16-bit little-endian samples of raw bytes (at most 90 s of them).
std::vector<std::int16_t> samplesOf(const std::vector<unsigned char>& bytes);
// 32-bit floats from offset on, big-endian (HTK) or little-endian (.C12).
std::vector<float> bigEndianFloats(const std::vector<unsigned char>& bytes, std::size_t offset);
std::vector<float> littleEndianFloats(const std::vector<unsigned char>& bytes, std::size_t offset);
bool sameBits(const std::vector<float>& a, const std::vector<float>& b);
// Writes interleaved samples of channels channels at rate as an audio file
// of libsndfile's format (SF_FORMAT_WAV | SF_FORMAT_PCM_16, ...); false
// when it cannot.
bool writeAudio(const std::string& path, int format, const std::vector<std::int16_t>& samples, int channels = 1,
                int rate = 16000);
// The names of the golden list.
std::vector<std::string> goldenNames();

}  // namespace test

#endif  // TESTS_TEST_SUPPORT_H
