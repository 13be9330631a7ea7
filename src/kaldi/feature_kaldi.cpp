// feature-kaldi: the features of a Kaldi-style data directory (a wav.scp of
// files and commands, optionally a segments file) into a binary archive and
// its index. Each matrix is the vectors of the tool's file for the same
// samples. Recordings are read one at a time per worker, every segment of a
// recording from one reading of the samples the segments span; the archive
// is written in order by this thread and appears under its name only when
// complete.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "batch.h"
#include "conversion.h"
#include "data_directory.h"
#include "extractor.h"
#include "fast_front_end.h"
#include "feature.h"
#include "file_identity.h"
#include "kaldi_archive.h"
#include "option_readers.h"
#include "ordered_pool.h"
#include "output_file.h"
#include "progress.h"
#include "shard_writer.h"
#include "text_and_streams.h"

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
    "  (standard output); ark,t:... as text, each value with the 9 digits that\n"
    "  give it back exactly; or shards:DIR for training: tar files\n"
    "  DIR/shard-000000.tar, ... of --shard-size utterances each (a KEY.npy\n"
    "  float32 array and a KEY.json per utterance; '.', '/', '%' and other\n"
    "  bytes of a key as %XX in member names) and the index DIR/shard.jsonl\n"
    "  (key, shard, offset of the values, frames, dimension, SHA-256); each\n"
    "  shard appears complete or not at all; with --part K/N the names are\n"
    "  shard-K-of-N-.... Keys are the recording or utterance ids unchanged.\n"
    "\n"
    "Options:\n"
    "  --segments=FILE   <utt-id> <recording-id> <start> <end> [channel] lines:\n"
    "                    cut as Kaldi's extract-segments cuts them (an end of -1\n"
    "                    or up to --max-overshoot past the recording ends with\n"
    "                    it; shorter than --min-segment-length is refused). Every\n"
    "                    segment of a recording comes from one reading of it\n"
    "  --max-overshoot=S     default 0.5\n"
    "  --min-segment-length=S  default 0.1\n"
    "  --input-format=audio|raw|auto   raw: headerless 16-bit little-endian PCM;\n"
    "                    auto: audio when a file begins with an audio header\n"
    "  --convert         recordings at another rate (8 to 192 kHz) or sample\n"
    "                    format converted to 16 kHz 16-bit by the defined\n"
    "                    conversion (the same bytes everywhere); segment times\n"
    "                    cut the converted samples\n"
    "  --lossy           MP3, Ogg Vorbis, Opus too (decoders may differ by machine)\n"
    "  --channel=N       channel N (from 0) where a segment names none\n"
    "  --downmix         the mean of the channels where a segment names none\n"
    "  --output=mfcc|fbank|fbank-deltas  the 39 MFCC values (default), the 24 log\n"
    "                    filter-bank energies the cepstra are computed from (mean\n"
    "                    removed in CMN), or those with deltas and delta-deltas\n"
    "                    (72), as the tool's --output; MVNMA is for MFCC only\n"
    "  --shard-size=N    utterances per shard (default 1000): shard k holds the\n"
    "                    entries at positions kN .. kN+N-1 that succeeded\n"
    "  --record=FILE     a JSON line per entry in order (name, status: done,\n"
    "                    skipped, failed or too short, frames, cut at 90 s,\n"
    "                    converted, reason), complete at the end; with --part K/N\n"
    "                    the name gets -K-of-N\n"
    "  --skip-existing   resume shards: a shard that stands complete under its\n"
    "                    name (written from this list in this mode) is kept and\n"
    "                    its utterances not analysed again; a damaged one is\n"
    "                    written again; the index covers them all\n"
    "  --speed=F[,F...]  each recording also played F times as fast (0.5 to 2),\n"
    "                    for training: its samples taken as at round(16000 F) Hz\n"
    "                    and converted to 16 kHz by the defined conversion; keys\n"
    "                    and recording ids get the prefix spF- (none for 1),\n"
    "                    segment times are divided by F and rounded to 0.01 s;\n"
    "                    the archive holds every entry of each factor in turn\n"
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
  kaldi_io::ArchiveNames outputs;
  std::string shards;              // shards:DIR instead of an archive
  std::uint64_t shardSize = 1000;  // --shard-size
  bool skipExisting = false;       // --skip-existing: resume shards
  std::string record;              // --record=FILE: a JSON line per entry
  std::string segments;
  feature::Normalisation normalisation = feature::Normalisation::CMN;
  feature::Output output = feature::Output::Mfcc;  // --output
  feature::InputFormat format = feature::InputFormat::Audio;  // --input-format
  Conversion how;  // --convert, --lossy, --channel=N, --downmix
  std::vector<kit::Speed> speeds;  // --speed; empty: the recordings as they are
  kaldi_data::CutLimits limits;
  int jobs = 1;
  long part = 0;
  long parts = 1;
  bool quiet = false;
};

// The most bytes of samples held for one recording: a command's output, or
// the span of a recording's segments.
constexpr std::uint64_t kMostHeld = kit::kMostStreamBytes;

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
  const kit::Speed* speed = nullptr;  // played at another speed, or as it is
  std::string recordingId;
  std::string problem;  // every utterance of it fails so
  std::vector<Utterance> utterances;
};

// What became of one utterance.
struct Outcome {
  std::string key;
  std::vector<float> vectors;  // frames x 39, when it succeeded
  std::string message;         // why it failed, or a warning
  std::string reason;          // why it failed, for the record
  bool failed = false;
  bool cut = false;
  std::string converted;       // what was done to its recording ("" when nothing)
  std::string source;          // the recording's file or command
  int sourceRate = feature::kSampleRate;  // the recording's own rate
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
    // A value after "=" or, for the options that take one so, as the next word.
    const auto separate = [&](const char* name, const char*& v) {
      v = value(name);
      if (v != nullptr) return true;
      if (arg != name) return false;
      v = ++i < argc ? argv[i] : nullptr;
      return true;
    };
    const char* v = nullptr;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      done = true;
      return "";
    } else if (arg == "--version") {
      std::printf("feature-kaldi %s\n", FEATURE_VERSION);
      done = true;
      return "";
    } else if ((v = value("--segments")) != nullptr || arg == "--segments=") {
      if (v == nullptr || *v == '\0') return "--segments needs a file name (an unset variable?)";
      o.segments = v;
    } else if ((v = value("--input-format")) != nullptr) {
      int format = 0;
      const std::string mistake = kit::readChoice(v, inputFormatNames(), "input format", format);
      if (!mistake.empty()) return mistake;
      o.format = static_cast<feature::InputFormat>(format);  // the same order
    } else if ((v = value("--write-num-frames")) != nullptr) {
      o.outputs.numFrames = textTable(v);
      if (o.outputs.numFrames.empty()) return "--write-num-frames takes ark,t:FILE, not " + std::string(v);
    } else if ((v = value("--write-utt2dur")) != nullptr) {
      o.outputs.durations = textTable(v);
      if (o.outputs.durations.empty()) return "--write-utt2dur takes ark,t:FILE, not " + std::string(v);
    } else if ((v = value("--max-overshoot")) != nullptr) {
      if (!parseSeconds(v, o.limits.maxOvershoot)) return "--max-overshoot takes seconds, not " + std::string(v);
    } else if ((v = value("--min-segment-length")) != nullptr) {
      if (!parseSeconds(v, o.limits.minSegmentLength)) return "--min-segment-length takes seconds, not " + std::string(v);
    } else if (separate("-j", v) || separate("--jobs", v)) {
      if (v == nullptr) return arg + " needs a number";
      const std::string mistake = kit::readJobs(v, o.jobs);
      if (!mistake.empty()) return mistake;
    } else if (separate("--part", v)) {
      if (v == nullptr) return "--part needs K/N";
      const std::string mistake = kit::readPart(v, o.part, o.parts);
      if (!mistake.empty()) return mistake;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if ((v = value("--output")) != nullptr) {
      int choice = 0;
      const std::string mistake = kit::readChoice(v, feature::outputNames(), "output", choice);
      if (!mistake.empty()) return mistake;
      o.output = static_cast<feature::Output>(choice);
    } else if ((v = value("--record")) != nullptr) {
      if (*v == '\0') return "--record needs a file name (an unset variable?)";
      o.record = v;
    } else if (arg == "--skip-existing") {
      o.skipExisting = true;
    } else if (arg == "--convert") {
      o.how.convert = true;
    } else if (arg == "--lossy") {
      o.how.lossy = o.how.convert = true;
    } else if (arg == "--downmix") {
      o.how.downmix = true;
    } else if ((v = value("--shard-size")) != nullptr) {
      char* end = nullptr;
      const unsigned long long size = std::strtoull(v, &end, 10);
      if (*v < '0' || *v > '9' || *end != '\0' || size == 0 || size > 100000000) {
        return std::string("--shard-size needs a number of utterances from 1 to 100000000, not '") + v + "'";
      }
      o.shardSize = size;
    } else if ((v = value("--speed")) != nullptr) {
      const std::string mistake = kit::readSpeeds(v, o.speeds);
      if (!mistake.empty()) return mistake;
    } else if ((v = value("--channel")) != nullptr) {
      const std::string mistake = kit::readChannel(v, o.how.channel);
      if (!mistake.empty()) return mistake;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 3) {
    return std::to_string(positional.size()) + " arguments given; 3 needed: wav-rspecifier, feats-wspecifier, mode";
  }
  RunSetup choices;
  choices.inputFormat = static_cast<InputFormat>(o.format);
  choices.convert = o.how.convert;
  choices.lossy = o.how.lossy;
  choices.channel = o.how.channel;
  choices.downmix = o.how.downmix;
  const std::string badChoice = conversionChoiceProblem(choices);
  if (!badChoice.empty()) return badChoice;
  const std::string& in = positional[0];
  const std::size_t colon = in.find(':');
  if (colon == std::string::npos || in.compare(0, 3, "scp") != 0 || (colon != 3 && in[3] != ',') ||
      colon + 1 == in.size()) {
    return "the wav-rspecifier must be scp:FILE (a wav.scp), not '" + in + "'";
  }
  o.wavScp = in.substr(colon + 1);
  const std::string& out = positional[1];
  // ark, scp and t (text) in any order before the colon, as Kaldi takes them.
  const std::size_t outColon = out.find(':');
  bool ark = false, scp = false, text = false, other = outColon == std::string::npos;
  if (!other) {
    std::istringstream words(out.substr(0, outColon));
    for (std::string word; std::getline(words, word, ',');) {
      (word == "ark" ? ark : word == "scp" ? scp : word == "t" ? text : other) = true;
    }
  }
  const std::string target = other ? "" : out.substr(outColon + 1);
  if (out.rfind("shards:", 0) == 0 && out.size() > 7) {
    o.shards = out.substr(7);
  } else if (other || !ark || target.empty()) {
    return "the feats-wspecifier must be ark,scp:ARK,SCP, ark:ARK, ark:- (ark,t:... for text) or shards:DIR, not '" +
           out + "'";
  } else if (scp) {
    const std::size_t comma = target.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == target.size()) {
      return "ark,scp: needs ARCHIVE,INDEX, not '" + target + "'";
    }
    o.outputs.archive = target.substr(0, comma);
    o.outputs.index = target.substr(comma + 1);
    if (o.outputs.archive == "-") return "an index needs an archive file, not standard output";
  } else {
    o.outputs.archive = target;
  }
  o.outputs.text = text;
  if (o.skipExisting && (o.shards.empty() || !o.outputs.numFrames.empty() || !o.outputs.durations.empty())) {
    return "--skip-existing resumes shards (shards:DIR) and goes with no table";
  }
  try {
    o.normalisation = feature::normalisationNamed(positional[2]);
    const std::string badOutput = feature::outputProblem(o.output, static_cast<int>(o.normalisation));
    if (!badOutput.empty()) return badOutput;
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

// ---- Input: the samples of a recording ----

// The bytes a command writes on its standard output (at most kMostHeld), and
// whether it ended well (problem says how it did not).
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
  std::vector<unsigned char> bytes;
  const std::string readProblem = kit::readStream(out[0], bytes, kMostHeld);
  close(out[0]);  // a command still writing gets SIGPIPE
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!readProblem.empty()) {
    // Reading stopped first: whatever the command did then followed from it.
    problem = "its output: " + readProblem + "; reading stopped there, which ended the command";
  } else if (WIFSIGNALED(status)) {
    problem = "the command was killed by signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    problem = "the command exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (!problem.empty()) return {};
  return bytes;
}

// The samples of a recording that a window keeps, every channel
// (interleaved), with the recording's length and channels.
struct Samples {
  std::vector<std::int16_t> values;
  int channels = 1;
  std::int64_t total = 0;  // samples per channel in the recording
  std::string problem;
  std::string warnings;    // lines to print, from the reading
  std::string converted;   // what was done to it ("" when nothing)
  int sourceRate = feature::kSampleRate;
  std::uint64_t clipped = 0;
};

// Frames first .. first + count - 1 of a recording: its file, or the output
// its command gave.
Samples readWindow(feature::Extractor& extractor, const kaldi_data::Recording& recording,
                   const std::vector<unsigned char>& output, feature::InputFormat format, std::uint64_t first, std::uint64_t count,
                   const Conversion& how) {
  Samples s;
  constexpr int kMostChannels = 64;
  try {
    feature::RecordingSamples got =
        recording.command
            ? extractor.readSamples(output.data(), output.size(), "the output of '" + recording.source + " |'",
                                    recording.source, format, first, count, kMostChannels, how)
            : extractor.readSamples(recording.source, format, first, count, kMostChannels, how);
    s.values = std::move(got.samples);
    s.channels = got.channels;
    s.total = got.length;
    s.converted = got.converted;
    s.sourceRate = got.sourceRate;
    s.clipped = got.clipped;
    for (const std::string& words : got.warnings) s.warnings += "feature-kaldi: warning: " + words + "\n";
  } catch (const feature::RefusedRecording& e) {
    s.problem = e.what();
    // What would read it, on a line of its own (the lines before may be a
    // command to copy).
    if (e.needs() != 0) s.problem += "\nfeature-kaldi: " + readingHint(e.needs());
  } catch (const feature::FileError& e) {
    s.problem = e.what();
  }
  return s;
}

// ---- The work of one recording ----

class Worker {
 public:
  explicit Worker(const Options& o) : options_(o) {}

  std::vector<Outcome> run(const Job& job) {
    std::vector<Outcome> outcomes(job.utterances.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      outcomes[i].key = job.utterances[i].key;
      if (job.recording != nullptr) outcomes[i].source = job.recording->source + (job.recording->command ? " |" : "");
    }
    std::string why = job.problem;
    if (why.empty() && job.recording == nullptr) why = "no recording " + job.recordingId + " in the wav.scp";
    if (why.empty() && !job.recording->problem.empty()) {
      why = "line " + std::to_string(job.recording->line) + " of the wav.scp holds " + job.recording->problem;
    }
    std::vector<std::size_t> waiting;  // utterances that need samples
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      if (!job.utterances[i].problem.empty()) {
        fail(outcomes[i], job.utterances[i].problem);
      } else if (!why.empty()) {
        fail(outcomes[i], why);
      } else {
        waiting.push_back(i);
      }
    }
    if (waiting.empty()) return outcomes;
    std::vector<unsigned char> output;
    if (job.recording->command) {
      std::string problem;
      output = commandOutput(job.recording->source, problem);
      if (!problem.empty()) {
        for (std::size_t i : waiting) fail(outcomes[i], problem);
        return outcomes;
      }
    }
    if (job.utterances[0].whole) {
      whole(job, output, outcomes[0]);
    } else {
      segments(job, waiting, output, outcomes);
    }
    return outcomes;
  }

  static void fail(Outcome& o, const std::string& why) {
    o.failed = true;
    o.vectors.clear();
    o.message = "feature-kaldi: no features for " + printableName(o.key) + ": " + why + "\n";
    o.reason = why;
  }

 private:
  // A whole recording: its first 90 s are read, its length is known.
  void whole(const Job& job, const std::vector<unsigned char>& output, Outcome& o) {
    const Samples s = read(job, output, 0, feature::kMaxSamples, options_.how);
    if (!s.problem.empty()) return fail(o, s.problem);
    if (s.channels != 1) {
      return fail(o, "it has " + std::to_string(s.channels) + " channels: name one in a segments file; " +
                         readingHint(kNeedsChannelChoice));
    }
    analyse(s.values.data(), s.total, 1, 0, o);
    o.message = s.warnings + o.message;
    o.converted = s.converted;
    o.sourceRate = s.sourceRate;
  }

  // Segments of a recording: cut by its length, then the samples from the
  // first cut's start to the last one's end read once.
  void segments(const Job& job, const std::vector<std::size_t>& waiting, const std::vector<unsigned char>& output,
                std::vector<Outcome>& outcomes) {
    // The channels as they are (a segment's channel field, or --channel),
    // or their mean (--downmix, for the segments that name none).
    Conversion separate = options_.how;
    separate.channel = -1;
    separate.downmix = false;
    const Samples probe = read(job, output, 0, 0, separate);
    if (!probe.problem.empty()) {
      for (std::size_t i : waiting) fail(outcomes[i], probe.problem);
      return;
    }
    std::vector<kaldi_data::Cut> cuts(job.utterances.size());
    std::vector<std::size_t> ofChannels, ofMean;
    for (std::size_t i : waiting) {
      kaldi_data::Segment segment = job.utterances[i].segment;
      const bool mixed = segment.channel < 0 && options_.how.downmix;
      if (segment.channel < 0 && options_.how.channel >= 0) segment.channel = options_.how.channel;
      cuts[i] = kaldi_data::cutSegment(segment, probe.total, mixed ? 1 : probe.channels,
                                       static_cast<float>(feature::kSampleRate), options_.limits);
      if (!cuts[i].problem.empty()) {
        fail(outcomes[i], "segment on line " + std::to_string(segment.line) + ": " + cuts[i].problem);
        continue;
      }
      (mixed ? ofMean : ofChannels).push_back(i);
    }
    Conversion mean = separate;
    mean.downmix = true;
    readSpan(job, output, ofChannels, cuts, separate, probe.channels, outcomes);
    readSpan(job, output, ofMean, cuts, mean, 1, outcomes);
  }

  // The samples from the first of these cuts to the last, read once (at
  // most kMostHeld bytes of them), and each cut's features.
  void readSpan(const Job& job, const std::vector<unsigned char>& output, const std::vector<std::size_t>& cutOk,
                const std::vector<kaldi_data::Cut>& cuts, const Conversion& how, int channels,
                std::vector<Outcome>& outcomes) {
    if (cutOk.empty()) return;
    std::int64_t first = cuts[cutOk.front()].first, end = 0;
    for (std::size_t i : cutOk) {
      first = std::min(first, cuts[i].first);
      end = std::max(end, cuts[i].end);
    }
    const std::uint64_t span = static_cast<std::uint64_t>(std::max<std::int64_t>(0, end - first));
    if (span * 2 * static_cast<std::uint64_t>(channels) > kMostHeld) {
      char seconds[64];
      std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(span) / feature::kSampleRate);
      for (std::size_t i : cutOk) {
        fail(outcomes[i], "the segments of recording " + job.recordingId + " span " + seconds + " of " +
                              std::to_string(channels) + " channel" + (channels == 1 ? "" : "s") +
                              ", more than the 1 GiB of samples held at once: split its segments into runs "
                              "of shorter spans");
      }
      return;
    }
    const Samples s = read(job, output, static_cast<std::uint64_t>(first), span, how);
    outcomes[cutOk.front()].message = s.warnings + outcomes[cutOk.front()].message;
    for (std::size_t i : cutOk) {
      if (!s.problem.empty()) {
        fail(outcomes[i], s.problem);
      } else {
        const std::size_t offset = static_cast<std::size_t>(cuts[i].first - first) * static_cast<std::size_t>(s.channels);
        analyse(s.values.data() + offset, cuts[i].end - cuts[i].first, s.channels,
                s.channels == 1 ? 0 : cuts[i].channel, outcomes[i]);
        outcomes[i].converted = s.converted;
        outcomes[i].sourceRate = s.sourceRate;
      }
    }
  }

  // Frames first .. first + count - 1 of the job's recording, played at its
  // speed: the frames of the recording (as read with how) that the
  // conversion from the speed's rate reads, converted.
  Samples read(const Job& job, const std::vector<unsigned char>& output, std::uint64_t first, std::uint64_t count,
               const Conversion& how) {
    if (job.speed == nullptr) return readWindow(extractor_, *job.recording, output, options_.format, first, count, how);
    const int rate = job.speed->rate;
    Samples s = readWindow(extractor_, *job.recording, output, options_.format, 0, 0, how);
    if (!s.problem.empty()) return s;
    const Conversion resample{true, false, -1, false};
    const std::uint64_t end = count > UINT64_MAX - first ? UINT64_MAX : first + count;
    audio::Converter converter(rate, s.channels, static_cast<std::uint64_t>(s.total), resample, s.channels > 1,
                               fast_front_end::frontEndChoice(FrontEnd::kFastest).resample, first, end);
    const std::string speedWords = "speed " + job.speed->text + ", " + std::to_string(rate) + " Hz to 16000 Hz";
    s.converted = s.converted.empty() ? speedWords : s.converted + ", " + speedWords;
    s.total = static_cast<std::int64_t>(converter.length());
    if (count == 0) return s;
    Samples in = readWindow(extractor_, *job.recording, output, options_.format, converter.inputStart(),
                            converter.inputEnd() - converter.inputStart(), how);
    if (!in.problem.empty()) return in;
    const std::vector<double> values(in.values.begin(), in.values.end());
    converter.push(values.data(), values.size() / static_cast<std::size_t>(in.channels));
    converter.finish();
    s.values = std::move(converter.samples());
    s.warnings = in.warnings;
    s.clipped = in.clipped + converter.clipped();
    if (converter.clipped() > 0) {
      const Problem clipped{ProblemKind::kSamplesClipped, "recording " + job.recordingId + " at speed " + job.speed->text,
                            0, "", static_cast<std::int64_t>(converter.clipped())};
      s.warnings += "feature-kaldi: warning: " + describe(clipped) + "\n";
    }
    return s;
  }

  // The features of count samples of one channel (of channels interleaved).
  void analyse(const std::int16_t* samples, std::int64_t count, int channels, int channel, Outcome& o) {
    o.samples = count;
    if (count < static_cast<std::int64_t>(kFrameLength)) {
      return fail(o, std::to_string(count) + " samples, shorter than one frame (" + std::to_string(kFrameLength) + ")");
    }
    const std::size_t used = static_cast<std::size_t>(std::min<std::int64_t>(count, feature::kMaxSamples));
    if (count > static_cast<std::int64_t>(feature::kMaxSamples)) {
      o.cut = true;
      const Problem cut90{ProblemKind::kRecordingCut, o.key, 0, "", count - static_cast<std::int64_t>(used)};
      o.message = "feature-kaldi: warning: " + describe(cut90) + "\n";
    }
    // One channel: the samples where they are; else the channel picked.
    std::vector<std::int16_t> picked;
    if (channels > 1) {
      picked.resize(used);
      for (std::size_t i = 0; i < used; ++i) picked[i] = samples[i * static_cast<std::size_t>(channels) + channel];
      samples = picked.data();
    }
    feature::Utterance features = extractor_.extract(samples, used, options_.normalisation, false, options_.output);
    o.frames = features.frames;
    o.vectors = std::move(features.vectors);
  }

  const Options& options_;
  feature::Extractor extractor_;
};

// ---- The run ----

std::vector<Job> recordingJobs(const Options& o, const std::vector<kaldi_data::Recording>& recordings,
                               const std::vector<kaldi_data::Segment>* segments) {
  std::vector<Job> jobs;
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
  // A recording id on several lines of the wav.scp names no one recording.
  std::map<std::string, const kaldi_data::Recording*> byId;
  std::map<std::string, std::string> repeated;  // id -> its lines
  for (const auto& r : recordings) {
    if (r.id.empty()) continue;
    const auto first = byId.emplace(r.id, &r);
    if (!first.second) {
      std::string& lines = repeated[r.id];
      if (lines.empty()) lines = std::to_string(first.first->second->line);
      lines += " and " + std::to_string(r.line);
    }
  }
  std::map<std::string, std::size_t> jobOf;
  for (const auto& s : *segments) {
    if (position++ % o.parts != o.part) continue;
    auto found = jobOf.find(s.recording);
    if (found == jobOf.end()) {
      found = jobOf.emplace(s.recording, jobs.size()).first;
      Job job;
      job.recordingId = s.recording;
      const auto r = byId.find(s.recording);
      job.recording = r == byId.end() ? nullptr : r->second;
      const auto again = repeated.find(s.recording);
      if (again != repeated.end()) {
        job.problem = "the recording id " + s.recording + " is on lines " + again->second + " of the wav.scp";
      }
      jobs.push_back(job);
    }
    Utterance u;
    u.key = s.utterance.empty() ? "(line " + std::to_string(s.line) + " of the segments)" : s.utterance;
    u.segment = s;
    u.whole = false;
    if (!s.problem.empty()) u.problem = "segment on line " + std::to_string(s.line) + ": " + s.problem;
    jobs[found->second].utterances.push_back(u);
  }
  return jobs;
}

// A time of a segment at another speed, as Kaldi's speed perturbation of a
// data directory writes it: divided by the factor, printed with two
// decimals (an end of -1 stays the end).
double timeAtSpeed(double seconds, double factor) {
  if (seconds < 0) return seconds;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", seconds / factor);
  return std::strtod(text, nullptr);
}

// The jobs of the run: every recording (or its segments) once, or once
// for each speed factor, the factors in turn.
std::vector<Job> jobsOf(const Options& o, const std::vector<kaldi_data::Recording>& recordings,
                        const std::vector<kaldi_data::Segment>* segments) {
  std::vector<Job> base = recordingJobs(o, recordings, segments);
  if (o.speeds.empty()) return base;
  std::vector<Job> jobs;
  for (const kit::Speed& speed : o.speeds) {
    for (Job job : base) {
      if (speed.factor != 1.0) {
        job.speed = &speed;
        const std::string prefix = "sp" + speed.text + "-";
        for (Utterance& u : job.utterances) {
          u.key = u.key.front() == '(' ? u.key + " at speed " + speed.text : prefix + u.key;
          u.segment.start = timeAtSpeed(u.segment.start, speed.factor);
          u.segment.end = timeAtSpeed(u.segment.end, speed.factor);
        }
      }
      jobs.push_back(std::move(job));
    }
  }
  return jobs;
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

// The inputs of the run, which no output may be: the wav.scp, the segments
// file and every file the wav.scp names.
constexpr long kWavScp = 0;
constexpr long kSegmentsFile = -1;

kit::InputFiles inputsOf(const Options& o, const std::vector<kaldi_data::Recording>& recordings) {
  kit::InputFiles inputs;
  if (o.wavScp == "-") {
    inputs.add(kit::identifyDescriptor(STDIN_FILENO), kWavScp);
  } else {
    inputs.add(o.wavScp, kWavScp);
  }
  if (!o.segments.empty()) inputs.add(o.segments, kSegmentsFile);
  for (const auto& r : recordings) {
    if (!r.command && r.problem.empty()) inputs.add(r.source, r.line);
  }
  return inputs;
}

std::string describeInput(long which) {
  if (which == kWavScp) return "the wav.scp";
  if (which == kSegmentsFile) return "the segments file";
  return "the recording on line " + std::to_string(which) + " of the wav.scp";
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

  kaldi_io::ArchiveWriter writer;
  const bool tables = !o.outputs.archive.empty() || !o.outputs.numFrames.empty() || !o.outputs.durations.empty();
  if (tables) {
    const kit::InputFiles inputs = inputsOf(o, recordings);
    const std::string refused = writer.open(o.outputs, &inputs, describeInput);
    if (!refused.empty()) {
      std::fprintf(stderr, "feature-kaldi: %s\n", refused.c_str());
      return 1;
    }
  }
  training::ShardWriter shards;
  if (!o.shards.empty()) {
    training::ShardSettings settings;
    settings.directory = o.shards;
    settings.perShard = o.shardSize;
    // Each part's shards and index under names that say which part.
    if (o.parts > 1) settings.name = "shard-" + std::to_string(o.part) + "-of-" + std::to_string(o.parts);
    const std::string refused = shards.open(settings);
    if (!refused.empty()) {
      writer.abandon();
      std::fprintf(stderr, "feature-kaldi: %s\n", refused.c_str());
      return 1;
    }
  }
  // Resuming: the shards that stand are kept, and the utterances in them
  // are not analysed again.
  std::vector<bool> keptShard;
  if (o.skipExisting) {
    std::vector<std::string> keys;
    for (const Job& job : jobs) {
      for (const Utterance& u : job.utterances) keys.push_back(u.key);
    }
    keptShard.resize((keys.size() + o.shardSize - 1) / o.shardSize);
    for (std::uint64_t k = 0; k < keptShard.size(); ++k) {
      const auto first = keys.begin() + static_cast<std::ptrdiff_t>(k * o.shardSize);
      const std::vector<std::string> range(first, first + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                                          o.shardSize, keys.size() - k * o.shardSize)));
      bool kept = false;
      const std::string said = shards.keep(k, range, feature::nameOf(o.normalisation), feature::nameOf(o.output), kept);
      if (!shards.problem().empty()) {
        std::fprintf(stderr, "feature-kaldi: %s\n", said.c_str());
        shards.abandon();
        return 1;
      }
      if (!said.empty()) std::fprintf(stderr, "feature-kaldi: warning: %s\n", said.c_str());
      keptShard[k] = kept;
    }
  }
  const auto inKeptShard = [&](std::uint64_t at) {
    return !keptShard.empty() && keptShard[static_cast<std::size_t>(at / o.shardSize)];
  };
  std::vector<bool> jobKept(jobs.size(), false);
  {
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      bool all = !jobs[i].utterances.empty();
      for (std::size_t u = 0; u < jobs[i].utterances.size(); ++u) all = all && inKeptShard(at + u);
      jobKept[i] = all && !keptShard.empty();
      at += jobs[i].utterances.size();
    }
  }
  std::uint64_t position = 0;  // of the next utterance, in the order the output holds them
  bool shardsFailed = false;
  kit::OutputFile record;
  if (!o.record.empty()) {
    const std::string name = kit::recordNameOfPart(o.record, o.part, o.parts);
    const kit::InputFiles inputs = inputsOf(o, recordings);
    const long which = inputs.find(kit::identify(name));
    if (which != kit::InputFiles::kNone || !record.open(name)) {
      std::fprintf(stderr, "feature-kaldi: %s\n",
                   which != kit::InputFiles::kNone ? ("--record names " + describeInput(which) + ": " + name).c_str()
                                                   : record.error().describe().c_str());
      writer.abandon();
      shards.abandon();
      return 1;
    }
  }
  const auto recordEntry = [&record](const std::string& key, const char* status, long frames, bool cut,
                                     const std::string& converted, const std::string& reason) {
    if (record.isOpen()) record.write(kit::recordLine(key, status, frames, cut, converted, reason));
  };

  long total = 0;
  for (const Job& job : jobs) total += static_cast<long>(job.utterances.size());
  Progress progress(o.quiet || !isatty(STDERR_FILENO) ? nullptr : stderr, o.quiet ? nullptr : stderr, total,
                    "feature-kaldi");
  bool anyFailed = false;
  std::vector<std::vector<Outcome>> results(jobs.size());
  kit::PoolCalls calls;
  calls.makeRunner = [&o, &jobs, &results, &jobKept]() -> std::function<void(std::size_t)> {
    auto worker = std::make_shared<Worker>(o);
    return [worker, &jobs, &results, &jobKept](std::size_t i) {
      if (!jobKept[i]) results[i] = worker->run(jobs[i]);
    };
  };
  calls.failed = [&jobs, &results](std::size_t i, const std::string& what) {
    const bool memory = what == std::bad_alloc().what();
    std::vector<Outcome> outcomes(jobs[i].utterances.size());
    for (std::size_t u = 0; u < outcomes.size(); ++u) {
      outcomes[u].key = jobs[i].utterances[u].key;
      Worker::fail(outcomes[u], memory ? "out of memory" : what);
    }
    results[i] = std::move(outcomes);
  };
  calls.notice = [&progress](const std::string& words) {
    progress.clearLine();
    std::fprintf(stderr, "feature-kaldi: %s\n", words.c_str());
  };
  calls.deliver = [&](std::size_t i) {
    if (jobKept[i]) {
      for (std::size_t u = 0; u < jobs[i].utterances.size(); ++u, ++position) {
        progress.finished(kExtractOk, 0, 0, false, true);
        recordEntry(jobs[i].utterances[u].key, "skipped", 0, false, "", "");
      }
      return;
    }
    for (Outcome& out : results[i]) {
      if (inKeptShard(position)) {
        ++position;
        progress.finished(kExtractOk, 0, 0, false, true);
        recordEntry(out.key, "skipped", 0, false, "", "");
        continue;
      }
      if (!out.message.empty()) {
        progress.clearLine();
        std::fputs(out.message.c_str(), stderr);
      }
      if (!out.failed && !o.shards.empty()) {
        const std::string bad = training::keyProblem(out.key);
        if (!bad.empty()) {
          Worker::fail(out, bad + " (a shard's member names and JSON hold the key)");
          progress.clearLine();
          std::fputs(out.message.c_str(), stderr);
        }
      }
      if (!out.failed) {
        const float seconds = static_cast<float>(out.samples) / static_cast<float>(feature::kSampleRate);
        if (tables) writer.add(out.key, out.vectors.data(), out.frames, feature::dimensionOf(o.output), seconds);
        if (!o.shards.empty() && !shardsFailed) {
          training::EntryFacts facts;
          facts.mode = feature::nameOf(o.normalisation);
          facts.output = feature::nameOf(o.output);
          facts.seconds = static_cast<double>(std::min<std::int64_t>(out.samples, feature::kMaxSamples)) /
                          feature::kSampleRate;
          facts.sampleRate = out.sourceRate;
          facts.source = out.source;
          shardsFailed = !shards.add(position, out.key, out.vectors.data(), static_cast<std::uint32_t>(out.frames),
                                     feature::dimensionOf(o.output), facts);
        }
      }
      ++position;
      anyFailed = anyFailed || out.failed;
      recordEntry(out.key, out.failed ? "failed" : out.frames == 0 ? "too short" : "done", out.frames, out.cut,
                  out.converted, out.failed ? out.reason : "");
      progress.finished(out.failed ? kExtractFailed : kExtractOk, out.frames, static_cast<long>(out.samples), out.cut,
                        false, out.converted);
    }
    std::vector<Outcome>().swap(results[i]);
  };
  // At most two recordings per worker are done and waiting to be written.
  kit::runInOrder(jobs.size(), o.jobs, static_cast<std::size_t>(std::max(1, o.jobs)) * 2, calls);

  std::string what = tables ? writer.commit() : "";
  if (!o.shards.empty()) {
    const std::string shardProblem = shardsFailed ? shards.problem() : shards.commit();
    if (!shardProblem.empty()) {
      shards.abandon();
      what += (what.empty() ? "" : "\nfeature-kaldi: ") + shardProblem;
    }
  }
  if (record.isOpen() && (!record.close() || !record.commit())) {
    what += (what.empty() ? "" : "\nfeature-kaldi: ") + record.error().describe();
    record.abandon();
  }
  if (!what.empty()) {
    progress.clearLine();
    std::fprintf(stderr, "feature-kaldi: %s\n", what.c_str());
  }
  progress.end();
  return anyFailed || !what.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The clean-up on signals stands before the first temporary is made.
  kit::removeTemporariesOnSignals();
  Options options;
  bool done = false;
  const std::string mistake = parse(argc, argv, options, done);
  if (done) return 0;
  if (!mistake.empty()) return usage(mistake);
  try {
    return run(options);
  } catch (const std::exception& e) {
    // The outputs were abandoned on the way out (their temporaries removed).
    std::fprintf(stderr, "feature-kaldi: %s\n", e.what());
    return 1;
  }
}
