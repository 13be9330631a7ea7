// feature-kaldi: the features of a Kaldi-style data directory (a wav.scp of
// files and commands, optionally a segments file) into a binary archive and
// its index. Each matrix is the vectors of the tool's file for the same
// samples. Recordings are read one at a time per worker, every segment of a
// recording from one reading; the archive is written in order by this
// thread and appears under its name only when complete.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_container.h"
#include "data_directory.h"
#include "extractor.h"
#include "feature.h"
#include "feature_files.h"
#include "progress.h"

#ifndef FEATURE_VERSION
#define FEATURE_VERSION "unknown"
#endif

extern char** environ;

namespace {

constexpr const char* kHelp =
    "Usage: feature-kaldi [options] <wav-rspecifier> <feats-wspecifier> <CMN|MVNMA|NONE>\n"
    "\n"
    "The features of a Kaldi-style data directory: for every recording of a\n"
    "wav.scp (or every segment of a segments file) a matrix of 39-value MFCC\n"
    "vectors, bit for bit those of the feature tool's HTK file for the same\n"
    "samples, in a binary archive with its index. For example\n"
    "\n"
    "  feature-kaldi scp:data/train/wav.scp ark,scp:mfcc/raw.ark,mfcc/raw.scp CMN\n"
    "  feature-kaldi --segments=data/dev/segments scp:data/dev/wav.scp \\\n"
    "      ark,scp:dev.ark,dev.scp --write-num-frames=ark,t:utt2num_frames NONE\n"
    "  feature-kaldi scp:wav.scp ark:- NONE | copy-feats ark:- ark,t:-\n"
    "\n"
    "wav-rspecifier: scp:FILE (scp:- reads it from standard input). A line is\n"
    "  <recording-id> <file>, or <recording-id> <command> | whose standard output\n"
    "  is the audio (run with /bin/sh, e.g. sox x.flac -t wav - |). Audio files\n"
    "  as --input-format=audio of the tool reads them: 16 kHz, 16-bit integer\n"
    "  samples (WAV, FLAC, ...); one channel, or several with a segments file\n"
    "  that names the channel.\n"
    "feats-wspecifier: ark,scp:ARK,SCP (archive and index), ark:ARK or ark:-\n"
    "  (standard output). Keys are the recording or utterance ids unchanged.\n"
    "\n"
    "Options:\n"
    "  --segments=FILE   <utt-id> <recording-id> <start> <end> [channel] lines:\n"
    "                    cut as Kaldi's extract-segments cuts them (an end of -1\n"
    "                    or up to --max-overshoot past the recording ends with\n"
    "                    it; shorter than --min-segment-length is refused). Every\n"
    "                    segment of a recording comes from one reading of it\n"
    "  --max-overshoot=S     default 0.5\n"
    "  --min-segment-length=S  default 0.1\n"
    "  --input-format=audio|raw   raw: headerless 16-bit little-endian PCM\n"
    "  --write-num-frames=ark,t:FILE   <key> <frames> lines (utt2num_frames)\n"
    "  --write-utt2dur=ark,t:FILE      <key> <seconds> lines (utt2dur)\n"
    "  -j N, --jobs N    N workers side by side (0: one per processor); the\n"
    "                    output is that of one\n"
    "  --part K/N        only the utterances at positions K, K+N, ... (from 0);\n"
    "                    each part writes its own archive and index\n"
    "  -q, --quiet       no progress line and no summary\n"
    "  -h, --help, --version\n"
    "\n"
    "An utterance longer than 90 s gets the features of its first 90 s, as the\n"
    "tool gives them for a longer file, with a warning; the summary counts it.\n"
    "A recording is held in memory while its segments are analysed (a command's\n"
    "output at most 1 GiB). An entry that fails (a missing file, a command that\n"
    "fails, audio of another kind, a bad or out-of-range segment, fewer than 320\n"
    "samples) is left out of the archive and index, named on standard error with\n"
    "the reason and counted, and the exit status is 1; the rest is written. The\n"
    "archive, index and tables appear under their names only when complete.\n";

struct Options {
  std::string wavScp;        // path, or "-"
  std::string archive;       // path, or "-"
  std::string index;         // path, or ""
  std::string segments;
  std::string numFrames;
  std::string durations;
  feature::Normalisation normalisation = feature::Normalisation::CMN;
  bool raw = false;
  kaldi_data::CutLimits limits;
  int jobs = 1;
  long part = 0;
  long parts = 1;
  bool quiet = false;
};

// One utterance of the run: a whole recording, or a segment of one.
struct Utterance {
  std::string key;
  kaldi_data::Segment segment;  // its line, when cut from a segments file
  bool whole = true;
  std::string problem;          // refused before any audio was read
};

// A recording and the utterances it gives, in the order they are written.
struct Job {
  const kaldi_data::Recording* recording = nullptr;
  std::string recordingId;
  std::vector<Utterance> utterances;
};

// What became of one utterance.
struct Outcome {
  std::string key;
  std::string entry;     // the archive entry, when it succeeded
  std::string message;   // why it failed, or a warning
  bool failed = false;
  bool cut = false;
  int frames = 0;
  std::int64_t samples = 0;
};

int usage(const std::string& problem) {
  std::fprintf(stderr, "feature-kaldi: %s\nTry 'feature-kaldi --help'\n", problem.c_str());
  return 1;
}

// "ark,t:FILE" -> FILE; "" when it is not a text table specifier.
std::string textTable(const std::string& specifier) {
  for (const char* prefix : {"ark,t:", "t,ark:"}) {
    if (specifier.rfind(prefix, 0) == 0 && specifier.size() > 6) return specifier.substr(6);
  }
  return "";
}

bool parseSeconds(const std::string& text, float& value) {
  char* end = nullptr;
  value = std::strtof(text.c_str(), &end);
  return !text.empty() && *end == '\0' && value >= 0;
}

// Parses the command line into options; "" or the mistake.
std::string parse(int argc, char** argv, Options& o, bool& done) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* name) -> const char* {
      const std::size_t n = std::strlen(name);
      if (arg.compare(0, n, name) == 0 && arg.size() > n && arg[n] == '=') return argv[i] + n + 1;
      return nullptr;
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      done = true;
      return "";
    } else if (arg == "--version") {
      std::printf("feature-kaldi %s\n", FEATURE_VERSION);
      done = true;
      return "";
    } else if (const char* v = value("--segments")) {
      o.segments = v;
    } else if (const char* v = value("--input-format")) {
      if (std::strcmp(v, "raw") != 0 && std::strcmp(v, "audio") != 0) return "unknown input format " + std::string(v);
      o.raw = std::strcmp(v, "raw") == 0;
    } else if (const char* v = value("--write-num-frames")) {
      o.numFrames = textTable(v);
      if (o.numFrames.empty()) return "--write-num-frames takes ark,t:FILE, not " + std::string(v);
    } else if (const char* v = value("--write-utt2dur")) {
      o.durations = textTable(v);
      if (o.durations.empty()) return "--write-utt2dur takes ark,t:FILE, not " + std::string(v);
    } else if (const char* v = value("--max-overshoot")) {
      if (!parseSeconds(v, o.limits.maxOvershoot)) return "--max-overshoot takes seconds, not " + std::string(v);
    } else if (const char* v = value("--min-segment-length")) {
      if (!parseSeconds(v, o.limits.minSegmentLength)) return "--min-segment-length takes seconds, not " + std::string(v);
    } else if (arg == "-j" || arg == "--jobs" || value("--jobs") != nullptr) {
      const char* v = value("--jobs");
      if (v == nullptr) {
        if (++i == argc) return arg + " needs a number";
        v = argv[i];
      }
      char* end = nullptr;
      const long jobs = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || jobs < 0 || jobs > 1024) return "the number of workers must be 0 to 1024, not " + std::string(v);
      o.jobs = jobs == 0 ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) : static_cast<int>(jobs);
    } else if (arg == "--part" || value("--part") != nullptr) {
      const char* v = value("--part");
      if (v == nullptr) {
        if (++i == argc) return "--part needs K/N";
        v = argv[i];
      }
      if (std::sscanf(v, "%ld/%ld", &o.part, &o.parts) != 2 || o.parts < 1 || o.part < 0 || o.part >= o.parts) {
        return "--part needs K/N with 0 <= K < N, not '" + std::string(v) + "'";
      }
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 3) {
    return std::to_string(positional.size()) + " arguments given; 3 needed: wav-rspecifier, feats-wspecifier, mode";
  }
  const std::string& in = positional[0];
  const std::size_t colon = in.find(':');
  if (colon == std::string::npos || in.compare(0, 3, "scp") != 0 || (colon != 3 && in[3] != ',')) {
    return "the wav-rspecifier must be scp:FILE (a wav.scp), not '" + in + "'";
  }
  o.wavScp = in.substr(colon + 1);
  const std::string& out = positional[1];
  if (out.rfind("ark,scp:", 0) == 0) {
    const std::string both = out.substr(8);
    const std::size_t comma = both.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == both.size()) {
      return "ark,scp: needs ARCHIVE,INDEX, not '" + both + "'";
    }
    o.archive = both.substr(0, comma);
    o.index = both.substr(comma + 1);
    if (o.archive == "-") return "an index needs an archive file, not standard output";
  } else if (out.rfind("ark:", 0) == 0 && out.size() > 4) {
    o.archive = out.substr(4);
  } else if (out.rfind("ark,t", 0) == 0 || out.rfind("t,ark", 0) == 0) {
    return "text archives lose the exact values: write a binary one (ark:FILE or ark,scp:ARK,SCP)";
  } else {
    return "the feats-wspecifier must be ark,scp:ARK,SCP, ark:ARK or ark:-, not '" + out + "'";
  }
  try {
    o.normalisation = feature::normalisationNamed(positional[2]);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

// ---- Output: files that appear under their names only when complete ----

// Temporary names of the files being written, for the signal handler.
constexpr int kOutputs = 4;
char temporaryNames[kOutputs][4096];

void removeTemporaries(int signal) {
  for (auto& name : temporaryNames) {
    if (name[0] != '\0') unlink(name);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class OutputFile {
 public:
  // path "-": standard output, written as it comes.
  bool open(const std::string& path, int slot, std::string& problem) {
    path_ = path;
    slot_ = slot;
    if (path == "-") {
      file_ = stdout;
      return true;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string temporary = dir + "." + path.substr(slash + 1) + ".XXXXXX";
    if (temporary.size() >= sizeof temporaryNames[slot]) {
      problem = "cannot write " + path + ": the path is too long";
      return false;
    }
    const int fd = mkstemp(temporary.data());
    if (fd < 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
      problem = "cannot write " + path + ": " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    fchmod(fd, 0666 & ~currentUmask());
    temporary_ = temporary;
    std::snprintf(temporaryNames[slot], sizeof temporaryNames[slot], "%s", temporary.c_str());
    return true;
  }

  bool write(const std::string& bytes) {
    if (file_ == nullptr) return true;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) error_ = errno;
    offset_ += bytes.size();
    return error_ == 0;
  }

  std::uint64_t offset() const { return offset_; }

  // Flushes and closes the file; false (problem says why) when any of its
  // bytes could not be written.
  bool close(std::string& problem) {
    if (file_ == nullptr) return true;
    if (std::fflush(file_) != 0 && error_ == 0) error_ = errno;
    if (file_ != stdout && std::fclose(file_) != 0 && error_ == 0) error_ = errno;
    const bool toStdout = file_ == stdout;
    file_ = nullptr;
    if (error_ != 0) {
      problem = toStdout ? std::string("cannot write the archive to standard output: ") + std::strerror(error_)
                         : "cannot write " + path_ + ": " + std::strerror(error_);
    }
    return error_ == 0;
  }

  // Puts a closed file under its name.
  bool commit(std::string& problem) {
    if (temporary_.empty()) return true;
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
      problem = "cannot write " + path_ + ": " + std::strerror(errno);
      return false;
    }
    temporary_.clear();
    temporaryNames[slot_][0] = '\0';
    return true;
  }

  // Removes what was written under the temporary name.
  void abandon() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    temporaryNames[slot_][0] = '\0';
  }

 private:
  static mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }

  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  std::uint64_t offset_ = 0;
  int error_ = 0;
  int slot_ = 0;
};

// ---- Input: the audio of a recording ----

struct Audio {
  std::vector<std::int16_t> samples;  // interleaved
  int channels = 1;
  std::string problem;
};

// The bytes a command writes on its standard output, and whether it ended
// well (problem says how it did not).
std::vector<unsigned char> commandOutput(const std::string& command, std::string& problem) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    problem = std::string("cannot run the command: ") + std::strerror(errno);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = -1;
  const int started =
      posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (started != 0) {
    close(out[0]);
    problem = std::string("cannot run /bin/sh: ") + std::strerror(started);
    return {};
  }
  std::string readProblem;
  const audio::ByteSource source(out[0], readProblem);
  close(out[0]);  // a command still writing gets SIGPIPE
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    problem = "the command was killed by signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    problem = "the command exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (!readProblem.empty()) {
    problem = "its output: " + readProblem;
  }
  std::vector<unsigned char> bytes(static_cast<std::size_t>(source.size()));
  if (!bytes.empty()) source.read(0, bytes.data(), bytes.size());
  return bytes;
}

Audio readRecording(FEATURE& reader, const kaldi_data::Recording& recording, bool raw) {
  Audio audio;
  std::unique_ptr<audio::ByteSource> source;
  int fd = -1;
  const std::string shown = recording.command ? "the output of '" + recording.source + " |'" : recording.source;
  if (recording.command) {
    std::vector<unsigned char> bytes = commandOutput(recording.source, audio.problem);
    if (!audio.problem.empty()) return audio;
    source = std::make_unique<audio::ByteSource>(std::move(bytes));
  } else {
    fd = open(recording.source.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      close(fd);
      fd = -1;
      errno = EISDIR;
    }
    if (fd < 0) {
      audio.problem = "cannot read " + recording.source + ": " + std::strerror(errno);
      return audio;
    }
    std::string problem;
    source = std::make_unique<audio::ByteSource>(fd, problem);
    if (!problem.empty()) audio.problem = shown + ": " + problem;
  }
  if (audio.problem.empty() && raw) {
    // Little-endian samples in host order, as the tool reads raw recordings.
    audio.samples.resize(static_cast<std::size_t>(source->size() / 2));
    const std::size_t bytes = audio.samples.size() * 2;
    if (source->read(0, audio.samples.data(), bytes) != bytes) {
      audio.problem = "cannot read " + shown + ": " + std::strerror(errno);
    }
  } else if (audio.problem.empty()) {
    if (reader.readAudio(*source, shown.c_str(), SIZE_MAX, 64, audio.samples, audio.channels) != kExtractOk) {
      audio.problem = reader.outcome.problems.empty() ? "refused" : describe(reader.outcome.problems.back());
      reader.outcome.problems.clear();
    }
  }
  if (fd >= 0) close(fd);
  if (!audio.problem.empty()) audio.samples.clear();
  return audio;
}

// ---- The work of one recording ----

class Worker {
 public:
  explicit Worker(const Options& o) : options_(o) {
    reader_.settings.console = nullptr;
    reader_.settings.errors = nullptr;
    reader_.ini_fea_para();
  }

  std::vector<Outcome> run(const Job& job) {
    std::vector<Outcome> outcomes;
    Audio audio;
    bool read = false;
    for (const Utterance& u : job.utterances) {
      Outcome o;
      o.key = u.key;
      if (!u.problem.empty()) {
        fail(o, u.problem);
      } else if (job.recording == nullptr) {
        fail(o, "no recording " + job.recordingId + " in the wav.scp");
      } else if (!job.recording->problem.empty()) {
        fail(o, "line " + std::to_string(job.recording->line) + " of the wav.scp holds " + job.recording->problem);
      } else {
        if (!read) {
          audio = readRecording(reader_, *job.recording, options_.raw);
          read = true;
        }
        if (!audio.problem.empty()) {
          fail(o, audio.problem);
        } else {
          analyse(u, audio, o);
        }
      }
      outcomes.push_back(std::move(o));
    }
    return outcomes;
  }

 private:
  static void fail(Outcome& o, const std::string& why) {
    o.failed = true;
    o.message = "feature-kaldi: no features for " + o.key + ": " + why + "\n";
  }

  void analyse(const Utterance& u, const Audio& audio, Outcome& o) {
    const std::int64_t frames = static_cast<std::int64_t>(audio.samples.size()) / audio.channels;
    kaldi_data::Cut cut;
    if (u.whole) {
      if (audio.channels != 1) {
        fail(o, "it has " + std::to_string(audio.channels) +
                    " channels: name one in a segments file, or take one in the wav.scp (sox FILE -t wav - remix 1 |)");
        return;
      }
      cut.end = frames;
    } else {
      cut = kaldi_data::cutSegment(u.segment, frames, audio.channels, static_cast<float>(kSampleRate), options_.limits);
      if (!cut.problem.empty()) {
        fail(o, "segment on line " + std::to_string(u.segment.line) + ": " + cut.problem);
        return;
      }
    }
    // One channel: the samples where they are; else the channel picked.
    const std::size_t count = static_cast<std::size_t>(cut.end - cut.first);
    const std::int16_t* samples = audio.samples.data() + cut.first;
    std::vector<std::int16_t> picked;
    if (audio.channels > 1) {
      picked.resize(count);
      for (std::size_t i = 0; i < count; ++i) {
        picked[i] = audio.samples[(static_cast<std::size_t>(cut.first) + i) * audio.channels + cut.channel];
      }
      samples = picked.data();
    }
    o.samples = static_cast<std::int64_t>(count);
    if (count < static_cast<std::size_t>(kFrameLength)) {
      fail(o, std::to_string(count) + " samples, shorter than one frame (320)");
      return;
    }
    if (count > feature::kMaxSamples) {
      o.cut = true;
      const Problem cut90{ProblemKind::kRecordingCut, o.key, 0, "", static_cast<std::int64_t>(count - feature::kMaxSamples)};
      o.message = "feature-kaldi: warning: " + describe(cut90) + "\n";
    }
    const feature::Utterance features = extractor_.extract(samples, count, options_.normalisation, true);
    o.frames = features.frames;
    o.entry = feature_files::kaldiMatrixEntry(o.key, features.vectors.data(), features.frames, feature::kDimensions);
  }

  const Options& options_;
  FEATURE reader_;
  feature::Extractor extractor_;
};

// ---- The run ----

std::vector<Job> jobsOf(const Options& o, const std::vector<kaldi_data::Recording>& recordings,
                        const std::vector<kaldi_data::Segment>* segments) {
  std::map<std::string, const kaldi_data::Recording*> byId;
  for (const auto& r : recordings) {
    if (!r.id.empty()) byId.emplace(r.id, &r);
  }
  std::vector<Job> jobs;
  std::map<std::string, std::size_t> jobOf;
  const auto jobFor = [&](const std::string& id) -> Job& {
    const auto found = jobOf.find(id);
    if (found != jobOf.end()) return jobs[found->second];
    jobOf.emplace(id, jobs.size());
    Job job;
    job.recordingId = id;
    const auto r = byId.find(id);
    job.recording = r == byId.end() ? nullptr : r->second;
    jobs.push_back(job);
    return jobs.back();
  };
  long position = 0;
  if (segments == nullptr) {
    for (const auto& r : recordings) {
      if (position++ % o.parts != o.part) continue;
      Utterance u;
      u.key = r.id.empty() ? "(line " + std::to_string(r.line) + ")" : r.id;
      Job job;
      job.recordingId = r.id;
      job.recording = &r;
      job.utterances.push_back(u);
      jobs.push_back(job);
    }
    return jobs;
  }
  for (const auto& s : *segments) {
    if (position++ % o.parts != o.part) continue;
    Utterance u;
    u.key = s.utterance.empty() ? "(line " + std::to_string(s.line) + " of the segments)" : s.utterance;
    u.segment = s;
    u.whole = false;
    if (!s.problem.empty()) u.problem = "segment on line " + std::to_string(s.line) + ": " + s.problem;
    jobFor(s.recording).utterances.push_back(u);
  }
  return jobs;
}

// Runs the jobs on workers and hands their outcomes, in order, to write.
void runJobs(const Options& o, const std::vector<Job>& jobs, const std::function<void(std::vector<Outcome>&)>& write) {
  const int workers = std::max(1, std::min<int>(o.jobs, static_cast<int>(jobs.size())));
  if (workers == 1) {
    Worker worker(o);
    for (const Job& job : jobs) {
      std::vector<Outcome> outcomes = worker.run(job);
      write(outcomes);
    }
    return;
  }
  // At most two jobs per worker are done and waiting to be written, so that
  // memory stays bounded by a few recordings.
  const std::size_t window = static_cast<std::size_t>(workers) * 2;
  std::vector<std::vector<Outcome>> results(jobs.size());
  std::vector<char> ready(jobs.size(), 0);
  std::mutex lock;
  std::condition_variable changed;
  std::size_t next = 0;
  std::size_t written = 0;
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      Worker worker(o);
      for (;;) {
        std::size_t mine;
        {
          std::unique_lock<std::mutex> hold(lock);
          changed.wait(hold, [&] { return next >= jobs.size() || next < written + window; });
          if (next >= jobs.size()) return;
          mine = next++;
        }
        std::vector<Outcome> outcomes = worker.run(jobs[mine]);
        {
          const std::lock_guard<std::mutex> hold(lock);
          results[mine] = std::move(outcomes);
          ready[mine] = 1;
        }
        changed.notify_all();
      }
    });
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return ready[i] != 0; });
    }
    write(results[i]);
    {
      const std::lock_guard<std::mutex> hold(lock);
      std::vector<Outcome>().swap(results[i]);
      written = i + 1;
    }
    changed.notify_all();
  }
  for (auto& t : threads) t.join();
}

std::string readInput(const std::string& path, std::string& problem) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (path != "-") {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      problem = "cannot read " + path + ": " + std::strerror(EISDIR);
      return "";
    }
    file.open(path, std::ios::binary);
    if (!file) {
      problem = "cannot read " + path + ": " + std::strerror(errno);
      return "";
    }
    in = &file;
  }
  std::ostringstream text;
  text << in->rdbuf();
  return text.str();
}

int run(const Options& o) {
  std::string problem;
  std::istringstream wavText(readInput(o.wavScp, problem));
  if (!problem.empty()) return usage(problem);
  const std::vector<kaldi_data::Recording> recordings = kaldi_data::readWavScp(wavText);
  std::vector<kaldi_data::Segment> segments;
  if (!o.segments.empty()) {
    std::istringstream segmentText(readInput(o.segments, problem));
    if (!problem.empty()) return usage(problem);
    segments = kaldi_data::readSegments(segmentText);
  }
  const std::vector<Job> jobs = jobsOf(o, recordings, o.segments.empty() ? nullptr : &segments);

  OutputFile archive, index, numFrames, durations;
  const bool opened = archive.open(o.archive, 0, problem) && (o.index.empty() || index.open(o.index, 1, problem)) &&
                      (o.numFrames.empty() || numFrames.open(o.numFrames, 2, problem)) &&
                      (o.durations.empty() || durations.open(o.durations, 3, problem));
  if (!opened) {
    for (OutputFile* f : {&archive, &index, &numFrames, &durations}) f->abandon();
    std::fprintf(stderr, "feature-kaldi: %s\n", problem.c_str());
    return 1;
  }
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(s, removeTemporaries);

  long total = 0;
  for (const Job& job : jobs) total += static_cast<long>(job.utterances.size());
  Progress progress(o.quiet || !isatty(STDERR_FILENO) ? nullptr : stderr, o.quiet ? nullptr : stderr, total,
                    "feature-kaldi");
  bool anyFailed = false;
  bool outputFailed = false;
  runJobs(o, jobs, [&](std::vector<Outcome>& outcomes) {
    for (Outcome& out : outcomes) {
      if (!out.message.empty()) {
        progress.clearLine();
        std::fputs(out.message.c_str(), stderr);
      }
      if (!out.failed && !outputFailed) {
        const std::uint64_t at = archive.offset() + out.key.size() + 1;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(static_cast<float>(out.samples) / 16000.0f));
        outputFailed = !archive.write(out.entry) || !index.write(out.key + " " + o.archive + ":" + std::to_string(at) + "\n") ||
                       !numFrames.write(out.key + " " + std::to_string(out.frames) + "\n") ||
                       !durations.write(out.key + " " + seconds + "\n");
      }
      anyFailed = anyFailed || out.failed;
      progress.finished(out.failed ? kExtractFailed : kExtractOk, out.frames, static_cast<long>(out.samples), out.cut);
    }
  });
  // Everything closed first, then renamed: a failure leaves none of them.
  std::string why;
  const std::vector<OutputFile*> outputs = {&archive, &index, &numFrames, &durations};
  for (OutputFile* f : outputs) outputFailed = !f->close(why) || outputFailed;
  for (OutputFile* f : outputs) outputFailed = outputFailed || !f->commit(why);
  if (outputFailed) {
    for (OutputFile* f : outputs) f->abandon();
    progress.clearLine();
    if (why.empty()) why = std::string("cannot write the output: ") + std::strerror(EIO);
    std::fprintf(stderr, "feature-kaldi: %s; nothing was left under the output names\n", why.c_str());
  }
  progress.end();
  return anyFailed || outputFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  const std::string mistake = parse(argc, argv, options, done);
  if (done) return 0;
  if (!mistake.empty()) return usage(mistake);
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "feature-kaldi: %s\n", e.what());
    return 1;
  }
}
