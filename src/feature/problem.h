// What went wrong, or deserves a warning, while an utterance was read,
// analysed or written, as a value: its kind, the system's errno, the path
// and a detail. The extractor records each in the order it happens; the
// tool prints them on standard error, the library throws from them, and
// neither has to recover their meaning from text.
#ifndef FEATURE_PROBLEM_H
#define FEATURE_PROBLEM_H

#include <cstdint>
#include <string>
#include <utility>

enum class ProblemKind {
  // The recording could not be opened or read (error): the run stops.
  kCannotReadRecording,
  // An audio file that is not read: detail says what it is and why.
  kRecordingRefused,
  // Warnings: a recording longer than 90 s (count: samples past the limit,
  // -1 when unknown); a raw recording that begins with a container header
  // (detail: "a WAV", ...).
  kRecordingCut,
  kContainerReadAsRaw,
  // A command's WAV whose header states another length (count: bytes) than
  // its output holds (detail: bytes): read to its end.
  kStreamLengthDiffers,
  // Converted samples beyond the 16-bit range (count), clipped to it.
  kSamplesClipped,
  // Output (path, error; detail: a reason the system has no errno for, if
  // any): a file that could not be created or written, a
  // directory that could not be created, a path that does not fit (path:
  // the name, detail: the extension, count: the longest path).
  kCannotCreate,
  kCannotWrite,
  kCannotCreateDirectory,
  kPathTooLong,
  // A recording too short for a frame gets no file (path: the name, count:
  // its samples); a file an earlier run left for it is removed.
  kNoFrames,
  kRemovedEarlierFile,
  // A file at that name that is no feature file of this run: left (warning).
  kLeftUnknownFile,
  kCannotRemove,
};

// What would read a refused recording (kRecordingRefused: count holds
// these flags): the conversion of its rate or sample format, the reading
// of a lossy format, a choice among its channels. Each program names its
// own options for them.
constexpr std::int64_t kNeedsConversion = 1;
constexpr std::int64_t kNeedsLossy = 2;
constexpr std::int64_t kNeedsChannelChoice = 4;

// How a program spells the choices that read such a recording.
struct ChoiceSpellings {
  const char* lossy;     // "--lossy", "lossy=True"
  const char* convert;   // "--convert", "convert=True"
  const char* channel;   // "--channel=N", "channel=N"
  const char* downmix;   // "--downmix", "downmix=True"
};
// The choices that would read it, in those words: "--convert reads it, ...".
std::string readingHint(std::int64_t needs, const ChoiceSpellings& spelled);

struct Problem {
  Problem(ProblemKind kind, std::string path, int error = 0, std::string detail = {}, std::int64_t count = 0)
      : kind(kind), path(std::move(path)), error(error), detail(std::move(detail)), count(count) {}

  ProblemKind kind;
  std::string path;
  int error = 0;            // errno, 0 when the system gave none
  std::string detail;
  std::int64_t count = 0;

  bool isWarning() const {
    return kind == ProblemKind::kRecordingCut || kind == ProblemKind::kContainerReadAsRaw ||
           kind == ProblemKind::kLeftUnknownFile || kind == ProblemKind::kStreamLengthDiffers ||
           kind == ProblemKind::kSamplesClipped;
  }
};

// The 90-second limit, stated once for every way in: "WHAT is longer
// than the 90-second limit (N samples, S s; at most 1440000)", or without
// the count when it is not known (samples < 0). Each program adds its own
// hint (the tool's options, Python's keywords).
std::string tooLongWords(const std::string& what, std::int64_t samples);

// The problem in words, naming the path and the reason ("cannot create
// out//a.mfc: Permission denied"); the tool prints it after "feature: "
// (and "warning: " for warnings).
std::string describe(const Problem& problem);

#endif  // FEATURE_PROBLEM_H
