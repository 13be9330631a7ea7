// feature-stream: features of raw audio on standard input, each vector on
// standard output as soon as it is final. A thin loop around
// feature::OnlineExtractor: read what is there, analyse it, write what
// became ready, and on at the end of the input.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio_container.h"
#include "feature_files.h"
#include "feature.h"
#include "online_extractor.h"
#include "option_readers.h"

#ifndef FEATURE_VERSION
#define FEATURE_VERSION "unknown"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: feature-stream [options] <CMN|MVNMA|NONE>\n"
    "\n"
    "Reads raw 16-bit little-endian PCM at 16 kHz, one channel (or a WAV stream\n"
    "of such samples, whose header is read), from standard input (any read\n"
    "size) and writes the 39-value MFCC vector of every frame\n"
    "to standard output as soon as it is final, flushed: the vectors of the\n"
    "tool's HTK file for the same samples, bit for bit. For example\n"
    "\n"
    "  arecord -q -f S16_LE -r 16000 -c 1 | feature-stream --format=text NONE\n"
    "  sox in.wav -t raw -r 16000 -b 16 -e signed -c 1 - | feature-stream NONE > x.f32\n"
    "\n"
    "When a vector is written:\n"
    "  NONE          once the samples of the four frames after it are in: frame t\n"
    "                (samples 160t .. 160t+319) after 160t + 960 samples, 50 ms\n"
    "                after its end; the last four frames at the end of the input\n"
    "  CMN, MVNMA    at the end of the input: their statistics span the whole\n"
    "                utterance (at most 90 s; see --truncate)\n"
    "\n"
    "Options:\n"
    "  --format=f32  rows of 39 little-endian 32-bit floats (the default)\n"
    "  --format=text one line of 39 values per frame, each printed with 9\n"
    "                significant digits, which give the float back exactly\n"
    "  --records     write the 13-value records (c1..c12 liftered, C0, before\n"
    "                normalisation) instead, each as soon as its frame's\n"
    "                samples are in, in any mode\n"
    "  --output=mfcc|fbank|fbank-deltas\n"
    "                the 39 MFCC values (the default), the 24 log filter-bank\n"
    "                energies the cepstra are computed from (final with their\n"
    "                frame in NONE), or those with deltas and delta-deltas (72,\n"
    "                written as the MFCC vectors are), as the tool's --output\n"
    "  --input-format=auto|raw\n"
    "                auto (the default): a WAV header at the start of the input\n"
    "                (a recorder writing WAV into a pipe) is read and checked,\n"
    "                not analysed as sound: 16-bit integer samples in one\n"
    "                channel, at 16 kHz or converted with --convert; its data\n"
    "                size, when stated, ends the samples. raw: every byte is a\n"
    "                sample byte\n"
    "  --convert     a WAV at another rate (8 to 192 kHz) is converted to 16 kHz\n"
    "                as it comes, by the defined conversion\n"
    "  --input-rate=S\n"
    "                the samples are at S Hz (8000 to 192000): converted to 16 kHz\n"
    "                as they come by the defined conversion, the same samples as\n"
    "                the conversion of the whole recording (a vector then waits\n"
    "                for the filter's half-length too, about 4 ms)\n"
    "  --truncate    ignore the samples after the first 90 s (as the tool does\n"
    "                with a longer file) instead of stopping there in CMN and\n"
    "                MVNMA; NONE otherwise has no limit\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 at the end of the input; 1 for wrong arguments, a read or\n"
    "write error (a closed pipe ends it quietly), or more than 90 s in CMN or\n"
    "MVNMA without --truncate.\n";

struct Options {
  bool text = false;
  bool records = false;
  bool truncate = false;
  bool raw = false;      // --input-format=raw: a WAV header is analysed as sound too
  bool convert = false;  // --convert: a WAV at another rate is converted as it comes
  int rate = feature::kSampleRate;  // --input-rate=S: samples at S Hz, converted as they come
  feature::Normalisation normalisation = feature::Normalisation::None;
  feature::Output output = feature::Output::Mfcc;  // --output
};

int usage(const std::string& problem) {
  std::fprintf(stderr, "feature-stream: %s\nTry 'feature-stream --help'\n", problem.c_str());
  return 1;
}

// Everything written, or false (errno set).
bool writeAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void appendRow(std::string& out, const float* values, int count, bool text) {
  if (!text) {
    for (int i = 0; i < count; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, &values[i], 4);
      unsigned char bytes[4];
      feature_files::storeLittleEndian32(bytes, bits);
      out.append(reinterpret_cast<const char*>(bytes), 4);
    }
    return;
  }
  char value[32];
  for (int i = 0; i < count; ++i) {
    std::snprintf(value, sizeof value, i == 0 ? "%.9g" : " %.9g", static_cast<double>(values[i]));
    out += value;
  }
  out += '\n';
}

class Writer {
 public:
  Writer(feature::OnlineExtractor& online, const Options& options) : online_(online), options_(options) {}

  // The rows that became final since the last call; false when they could
  // not be written.
  bool writeReady() {
    std::string out;
    if (options_.records) {
      for (; next_ < online_.numRecordsReady(); ++next_) {
        appendRow(out, online_.record(next_), feature::kRecordValues, options_.text);
      }
    } else {
      for (; next_ < online_.numFramesReady(); ++next_) {
        appendRow(out, online_.frame(next_), online_.dimension(), options_.text);
      }
    }
    online_.pop(std::min(next_, online_.numFramesReady()));
    return writeAll(out);
  }

 private:
  feature::OnlineExtractor& online_;
  const Options& options_;
  int next_ = 0;
};

int writeFailed() {
  if (errno == EPIPE) return 1;  // the reader has gone: nothing to say to it
  std::fprintf(stderr, "feature-stream: cannot write the features: %s\n", std::strerror(errno));
  return 1;
}

// Where the samples of the input begin, and at what rate they are: a WAV
// header at its start (a recorder writing WAV into a pipe) is read, not
// analysed as sound. Returns "" or why the input is refused.
struct InputStart {
  bool decided = false;
  std::size_t skip = 0;            // bytes of header
  std::uint64_t limit = UINT64_MAX;  // bytes of samples after it
  int rate = feature::kSampleRate;
};

constexpr std::size_t kMostHeaderBytes = 1 << 20;

std::string readStart(const std::vector<unsigned char>& head, bool ended, const Options& options, InputStart& start) {
  static const unsigned char kRiff[4] = {'R', 'I', 'F', 'F'};
  start.rate = options.rate;
  const bool riff = std::memcmp(head.data(), kRiff, std::min<std::size_t>(4, head.size())) == 0;
  if (options.raw || head.empty() || !riff || (head.size() >= 12 && std::memcmp(head.data() + 8, "WAVE", 4) != 0)) {
    start.decided = ended || options.raw || head.size() >= 4;
    return "";
  }
  const audio::WaveStreamHeader h = audio::waveStreamHeader(head.data(), head.size());
  if (!h.problem.empty()) return "the WAV header on standard input: " + h.problem;
  if (!h.complete) {
    if (ended) return "standard input ends inside its WAV header";
    if (head.size() > kMostHeaderBytes) return "standard input holds no WAV data chunk in its first 1 MiB";
    return "";
  }
  const std::string what = std::to_string(h.rate) + " Hz, " + std::to_string(h.channels) + " channel" +
                           (h.channels == 1 ? "" : "s") + ", " +
                           (h.formatTag == 1 ? std::to_string(h.bits) + "-bit integer" : "format " + std::to_string(h.formatTag));
  if (h.formatTag != 1 || h.bits != 16 || h.channels != 1) {
    return "the WAV on standard input holds " + what + " samples: 16-bit integer samples in one channel are read "
           "(convert it in the pipe, or --input-format=raw analyses its bytes as they are)";
  }
  if (static_cast<int>(h.rate) != feature::kSampleRate && !options.convert) {
    return "the WAV on standard input is at " + std::to_string(h.rate) +
           " Hz: --convert converts it to 16 kHz as it comes (the defined conversion)";
  }
  if (h.rate < 8000 || h.rate > 192000) {
    return "the WAV on standard input is at " + std::to_string(h.rate) + " Hz: rates from 8000 to 192000 Hz are converted";
  }
  start.decided = true;
  start.skip = h.dataOffset;
  start.limit = h.toEnd ? UINT64_MAX : h.dataBytes;
  start.rate = static_cast<int>(h.rate);
  return "";
}

int run(const Options& options) {
  std::unique_ptr<feature::OnlineExtractor> online;
  std::unique_ptr<Writer> writer;
  std::vector<unsigned char> buffer(1 << 16), head;
  InputStart start;
  std::uint64_t left = UINT64_MAX;  // bytes of samples still to analyse
  const auto take = [&](const unsigned char* bytes, std::size_t count) {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
    left -= count;
    // A sample split between two reads is joined by the extractor.
    online->acceptBytes(bytes, count);
  };
  for (bool ended = false; !ended;) {
    const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "feature-stream: cannot read standard input: %s\n", std::strerror(errno));
      return 1;
    }
    ended = n == 0;
    try {
      if (!start.decided) {
        head.insert(head.end(), buffer.data(), buffer.data() + n);
        const std::string refused = readStart(head, ended, options, start);
        if (!refused.empty()) {
          std::fprintf(stderr, "feature-stream: %s\n", refused.c_str());
          return 1;
        }
        if (!start.decided) continue;
        online = std::make_unique<feature::OnlineExtractor>(options.normalisation, options.truncate, start.rate,
                                                            options.output);
        writer = std::make_unique<Writer>(*online, options);
        left = start.limit;
        if (head.size() > start.skip) take(head.data() + start.skip, head.size() - start.skip);
        std::vector<unsigned char>().swap(head);
      } else if (n > 0) {
        take(buffer.data(), static_cast<std::size_t>(n));
      }
    } catch (const feature::TooLong& e) {
      std::fprintf(stderr, "feature-stream: %s (or --truncate ignores what follows the first 90 s)\n", e.what());
      return 1;
    }
    if (!writer->writeReady()) return writeFailed();
  }
  feature::OnlineExtractor& online_ = *online;
  Writer& writer_ = *writer;
  online_.inputFinished();
  if (!writer_.writeReady()) return writeFailed();
  if (online_.samplesIgnored() > 0) {
    std::fprintf(stderr, "feature-stream: warning: %s\n",
                 describe({ProblemKind::kRecordingCut, "the input", 0, "", online_.samplesIgnored()}).c_str());
  }
  if (online_.samplesClipped() > 0) {
    std::fprintf(stderr, "feature-stream: warning: %s\n",
                 describe({ProblemKind::kSamplesClipped, "the input", 0, "",
                           static_cast<std::int64_t>(online_.samplesClipped())}).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a write error, handled
  Options options;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("feature-stream %s\n", FEATURE_VERSION);
      return 0;
    } else if (arg == "--format=f32") {
      options.text = false;
    } else if (arg == "--format=text") {
      options.text = true;
    } else if (arg == "--records") {
      options.records = true;
    } else if (arg == "--truncate") {
      options.truncate = true;
    } else if (arg == "--input-format=raw" || arg == "--input-format=auto") {
      options.raw = arg == "--input-format=raw";
    } else if (arg.rfind("--input-format", 0) == 0) {
      return usage("--input-format takes auto (a WAV header at the start is read) or raw, not '" + arg + "'");
    } else if (arg == "--convert") {
      options.convert = true;
    } else if (arg.rfind("--output=", 0) == 0) {
      int choice = 0;
      const std::string mistake = kit::readChoice(arg.c_str() + 9, feature::outputNames(), "output", choice);
      if (!mistake.empty()) return usage(mistake);
      options.output = static_cast<feature::Output>(choice);
    } else if (arg.rfind("--input-rate=", 0) == 0) {
      char* end = nullptr;
      const long rate = std::strtol(arg.c_str() + 13, &end, 10);
      if (*end != '\0' || end == arg.c_str() + 13 || rate < 8000 || rate > 192000) {
        return usage("--input-rate takes a rate from 8000 to 192000 Hz, not '" + arg.substr(13) + "'");
      }
      options.rate = static_cast<int>(rate);
    } else if (arg.rfind("--format", 0) == 0) {
      return usage("--format takes f32 or text, not '" + arg + "'");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else {
      arguments.push_back(arg);
    }
  }
  if (arguments.size() != 1) return usage("one argument needed: the mode, " + kit::listOf(modeNames()));
  try {
    options.normalisation = feature::normalisationNamed(arguments[0]);
    const std::string badOutput = feature::outputProblem(options.output, static_cast<int>(options.normalisation));
    if (!badOutput.empty()) return usage(badOutput);
  } catch (const std::invalid_argument& e) {
    return usage(e.what());
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "feature-stream: %s\n", e.what());
    return 1;
  }
}
