// The library's way in: an extractor object over samples in memory, which
// runs the tool's own steps (analyseSamples, CEPLIFTER, assembleVectors) on
// a FEATURE of its own.
#include "extractor.h"

#include "option_readers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "audio_container.h"
#include "feature.h"
#include "feature_files.h"

namespace feature {

static_assert(kMaxSamples == static_cast<std::size_t>(::kMaxSamples), "one limit");
static_assert(kDimensions == kOutDim && kRecordValues == kCepDim, "one layout");
static_assert(static_cast<int>(InputFormat::Auto) == static_cast<int>(::InputFormat::kAuto) &&
                  static_cast<int>(InputFormat::Audio) == static_cast<int>(::InputFormat::kAudio),
              "the formats in one order");

namespace {

// The tool's mode of a normalisation: the enumerators follow normType.
const NormalisationMode& modeOf(Normalisation normalisation) {
  return modeOfType(static_cast<std::int32_t>(normalisation));
}

// The system sees a path only up to its first NUL byte: one with a NUL
// inside would name another file.
void checkPath(const std::string& path) {
  const std::size_t nul = path.find('\0');
  if (nul != std::string::npos) throw std::invalid_argument("embedded null byte in the path " + path.substr(0, nul) + "\\0...");
}

}  // namespace

Normalisation normalisationNamed(const std::string& name) {
  const NormalisationMode* mode = modeNamed(name.c_str());
  if (mode == nullptr || name.size() != std::strlen(mode->name)) {
    throw std::invalid_argument("unknown normalisation '" + name + "': " + kit::listOf(modeNames()));
  }
  return static_cast<Normalisation>(mode->normType);
}

const char* extensionOf(Normalisation normalisation) { return modeOf(normalisation).outExt; }
const char* nameOf(Normalisation normalisation) { return modeOf(normalisation).name; }

Extractor::Extractor() : f_(std::make_unique<FEATURE>()) {
  f_->settings.console = nullptr;
  f_->settings.errors = nullptr;
  f_->settings.pauseAfterError = false;
  f_->ini_fea_para();
}

Extractor::~Extractor() = default;
Extractor::Extractor(Extractor&&) noexcept = default;
Extractor& Extractor::operator=(Extractor&&) noexcept = default;

Utterance Extractor::extract(const std::int16_t* samples, std::size_t count, Normalisation normalisation,
                             bool truncate, Output output) {
  const std::string refused = outputProblem(output, static_cast<int>(normalisation));
  if (!refused.empty()) throw std::invalid_argument(refused);
  if (count > kMaxSamples) {
    if (!truncate) {
      throw TooLong(tooLongWords("a recording", static_cast<std::int64_t>(count)));
    }
    count = kMaxSamples;
  }
  FEATURE& f = *f_;
  f.normType = modeOf(normalisation).normType;
  f.settings.output = output;
  if (f.analyseSamples(samples, static_cast<std::int32_t>(count)) == kShellNoMemory) throw std::bad_alloc();
  Utterance u;
  u.frames = f.totalFrame;
  const bool assembled = f.finishUtterance([&] {
    u.records = f.cepData;
    u.energies.assign(f.frameEng.begin(), f.frameEng.begin() + f.totalFrame);
  });
  if (!assembled) throw std::bad_alloc();
  u.vectors.swap(f.outData);
  f.releaseRecords();
  return u;
}

namespace {

// The problems of a reading: a failure thrown, the warnings in words (but
// the cut at 90 s, which the caller learns from the counts).
void throwOrWarn(const std::vector<Problem>& problems, std::vector<std::string>* warnings) {
  for (const Problem& problem : problems) {
    if (problem.kind == ProblemKind::kCannotReadRecording) {
      throw UnreadableRecording(describe(problem), problem.error, problem.path);
    }
    if (problem.kind == ProblemKind::kRecordingRefused) {
      throw RefusedRecording(describe(problem), problem.path, problem.count);
    }
    if (problem.isWarning() && problem.kind != ProblemKind::kRecordingCut && warnings != nullptr) {
      warnings->push_back(describe(problem));
    }
  }
}

// Reads the window of source into r (ByteSource as the audio input has it).
void readWindow(FEATURE& f, const audio::ByteSource& source, const std::string& label, InputFormat format,
                std::uint64_t first, std::uint64_t count, int maxChannels, const Conversion& how, RecordingSamples& r) {
  f.outcome.problems.clear();
  f.settings.conversion = how;
  const audio::FrameWindow window{first, count};
  bool raw = format == InputFormat::Raw;
  if (format == InputFormat::Auto) {
    unsigned char head[12] = {};
    const std::size_t got = source.read(0, head, sizeof head);
    raw = feature_files::audioSignature(head, got) == nullptr;
  }
  const int result = raw ? f.readRawSource(source, label.c_str(), window, r.samples)
                         : f.readAudio(source, label.c_str(), window, maxChannels, r.samples, r.channels);
  if (result == kExtractOk && raw) r.channels = 1;
  r.length = f.outcome.samplesInFile;
  r.converted = f.outcome.converted;
  r.sourceRate = f.outcome.sourceRate;
  r.clipped = f.outcome.clipped;
  throwOrWarn(f.outcome.problems, &r.warnings);
  f.outcome.problems.clear();
}

}  // namespace

RecordingSamples Extractor::readSamples(const std::string& path, InputFormat format, std::uint64_t first,
                                        std::uint64_t count, int maxChannels, const Conversion& how) {
  checkPath(path);
  RecordingSamples r;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  const int error = fd < 0 ? errno : fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR : 0;
  if (error != 0) {
    if (fd >= 0) close(fd);
    throw UnreadableRecording("cannot read " + path + ": " + std::strerror(error), error, path);
  }
  const struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  std::string problem;
  const audio::ByteSource source(fd, problem);
  if (!problem.empty()) throw RefusedRecording(path + ": " + problem, path);
  readWindow(*f_, source, path, format, first, count, maxChannels, how, r);
  return r;
}

RecordingSamples Extractor::readSamples(const unsigned char* bytes, std::size_t size, const std::string& label,
                                        const std::string& command, InputFormat format, std::uint64_t first,
                                        std::uint64_t count, int maxChannels, const Conversion& how) {
  RecordingSamples r;
  audio::ByteSource source(bytes, size);
  source.setCommand(command);
  readWindow(*f_, source, label, format, first, count, maxChannels, how, r);
  return r;
}

std::vector<std::int16_t> Extractor::readRecording(const std::string& path, InputFormat format,
                                                   std::int64_t* ignoredSamples, std::vector<std::string>* warnings,
                                                   const Conversion& how) {
  checkPath(path);
  FEATURE& f = *f_;
  f.settings.inputFormat = format == InputFormat::Audio  ? ::InputFormat::kAudio
                           : format == InputFormat::Auto ? ::InputFormat::kAuto
                                                         : ::InputFormat::kRaw;
  f.settings.conversion = how;
  std::vector<std::int16_t> samples;
  const int result = f.readRecording(path.c_str(), samples);
  if (result == kShellNoMemory) throw std::bad_alloc();
  throwOrWarn(f.outcome.problems, warnings);
  if (ignoredSamples != nullptr) *ignoredSamples = f.outcome.samplesIgnored;
  return samples;
}

void writeHtk(const std::string& path, const float* vectors, std::size_t frames, int dimensions,
              std::int32_t samplePeriod, std::int16_t parmKind) {
  checkPath(path);
  if (dimensions <= 0 || dimensions > 0x7FFF / 4) {
    throw std::invalid_argument("an HTK vector holds 1 to 8191 values, not " + std::to_string(dimensions));
  }
  if (frames > 0x7FFFFFFF) throw std::invalid_argument("an HTK file holds at most 2147483647 vectors");
  const std::string badPeriod = feature_files::samplePeriodProblem(samplePeriod);
  if (!badPeriod.empty()) throw std::invalid_argument(badPeriod);
  Problem failure{ProblemKind::kCannotWrite, path};
  if (writeHtkFile(path, vectors, frames, dimensions, samplePeriod, parmKind, &failure)) return;
  throw FileError(describe(failure), failure.error, path);
}

}  // namespace feature
