#include "problem.h"

#include "analysis_constants.h"
#include "feature.h"

#include <cstdio>
#include <cstring>

namespace {

// The system's words for the errno, unless the detail gives a reason the
// system has no errno for.
std::string withReason(const char* what, const Problem& p) {
  return std::string(what) + " " + p.path + ": " + (p.detail.empty() ? std::strerror(p.error) : p.detail);
}

}  // namespace

std::string tooLongWords(const std::string& what, std::int64_t samples) {
  if (samples < 0) return what + " is longer than the 90-second limit (" + std::to_string(kMaxSamples) + " samples)";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(samples) / kSampleRate);
  return what + " is longer than the 90-second limit (" + std::to_string(samples) + " samples, " + seconds +
         " s; at most " + std::to_string(kMaxSamples) + ")";
}

std::string describe(const Problem& p) {
  char text[160];
  switch (p.kind) {
    case ProblemKind::kCannotReadRecording:
      return withReason("cannot read the recording", p);
    case ProblemKind::kRecordingRefused:
      return "refused " + p.path + ": " + p.detail;
    case ProblemKind::kRecordingCut:
      if (p.count < 0) return p.path + " is longer than 90 s; the rest is ignored";
      std::snprintf(text, sizeof text, "; its last %.2f s are ignored", static_cast<double>(p.count) / kSampleRate);
      return p.path + " is longer than 90 s" + text;
    case ProblemKind::kContainerReadAsRaw:
      return p.path + " begins with " + p.detail + " header, which is read as samples";
    case ProblemKind::kStreamLengthDiffers:
      return p.path + ": its header promises " + std::to_string(p.count) + " bytes of samples, but the stream holds " +
             p.detail + ": its writer estimated the length, so it is read to its end";
    case ProblemKind::kSamplesClipped:
      return p.path + ": " + std::to_string(p.count) + (p.count == 1 ? " converted sample lies" : " converted samples lie") +
             " beyond the 16-bit range and " + (p.count == 1 ? "was" : "were") + " clipped to it";
    case ProblemKind::kCannotCreate:
      return withReason("cannot create", p);
    case ProblemKind::kCannotWrite:
      return withReason("cannot write", p);
    case ProblemKind::kCannotCreateDirectory:
      return withReason("cannot create directory", p);
    case ProblemKind::kPathTooLong:
      return "the ." + p.detail + " path for " + p.path + " is longer than " + std::to_string(p.count) + " characters";
    case ProblemKind::kNoFrames:
      return "no file for " + p.path + ": " + std::to_string(p.count) + (p.count == 1 ? " sample" : " samples") +
             ", shorter than one frame (" + std::to_string(kFrameLength) + ")";
    case ProblemKind::kRemovedEarlierFile:
      return "removed " + p.path + ", an earlier run's file: the recording now gives no frame";
    case ProblemKind::kLeftUnknownFile:
      return "left " + p.path + " as it is: it is no feature file of this run, and the recording gives no frame";
    case ProblemKind::kCannotRemove:
      return withReason("cannot remove", p);
  }
  return p.path;
}

void FEATURE::report(Problem problem) {
  if (settings.printProblem != nullptr && settings.errors != nullptr) settings.printProblem(settings.errors, problem);
  outcome.problems.push_back(std::move(problem));
}

std::string readingHint(std::int64_t needs, const ChoiceSpellings& spelled) {
  std::string hint;
  const auto add = [&](const std::string& words) { hint += (hint.empty() ? "" : "; ") + words; };
  if ((needs & kNeedsLossy) != 0) {
    add(std::string(spelled.lossy) + " reads it, converted (its decoder may give other samples on another machine)");
  } else if ((needs & kNeedsConversion) != 0) {
    add(std::string(spelled.convert) + " reads it, converted to 16 kHz 16-bit samples by the defined conversion");
  }
  if ((needs & kNeedsChannelChoice) != 0) {
    add(std::string(spelled.channel) + " reads one of its channels (from 0), " + spelled.downmix + " their mean");
  }
  return hint;
}
