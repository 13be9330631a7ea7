// Reading a recording into 16-bit samples: headerless PCM read from its
// first byte (the defined input); audio containers are read by the audio
// input (src/audio) when they hold exactly what raw input would. The
// problems of a recording are reported here too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "audio_container.h"
#include "feature.h"
#include "feature_files.h"

namespace {

// Samples read per step when the size of the input is not known in advance.
constexpr std::size_t kReadChunk = 1 << 16;

// Reads as many whole 16-bit samples as the file holds, at most kMaxSamples;
// a trailing odd byte is ignored. Sets ignored to the samples past the
// limit (-1 when some are but their number is not known). Returns false on
// a read error.
bool readRawSamples(std::FILE* file, std::vector<std::int16_t>& samples, std::int64_t& ignored) {
  std::size_t capacity = kReadChunk;
  struct stat info;
  const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
  if (regular) {
    // One sample more than the file holds, so that the read below sees the
    // end of the file without a second allocation.
    capacity = static_cast<std::size_t>(info.st_size) / 2 + 1;
  }
  capacity = std::min<std::size_t>(capacity, kMaxSamples);

  std::size_t count = 0;
  samples.resize(capacity);
  for (;;) {
    count += std::fread(samples.data() + count, sizeof(std::int16_t), samples.size() - count, file);
    if (count < samples.size() || count == kMaxSamples) break;
    samples.resize(std::min<std::size_t>(samples.size() * 2, kMaxSamples));
  }
  samples.resize(count);
  ignored = 0;
  if (count == kMaxSamples) {
    if (regular) {
      ignored = static_cast<std::int64_t>(info.st_size / 2) - kMaxSamples;
    } else {
      std::int16_t more;
      if (std::fread(&more, sizeof more, 1, file) == 1) ignored = -1;
    }
  }
  return std::ferror(file) == 0;
}

// The container a raw recording begins with, if its first bytes are one of
// the common audio file signatures; null otherwise.
const char* containerSignature(std::FILE* file) {
  unsigned char head[12] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, file);
  std::rewind(file);
  return feature_files::audioSignature(head, got);
}


}  // namespace

std::FILE* openInputFile(const char* path, const char* mode) {
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) return nullptr;
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

std::vector<std::string> inputFormatNames() {
  return {inputFormatName(InputFormat::kRaw), inputFormatName(InputFormat::kAudio), inputFormatName(InputFormat::kAuto)};
}

const char* inputFormatName(InputFormat format) {
  return format == InputFormat::kAudio ? "audio" : format == InputFormat::kAuto ? "auto" : "raw";
}

int FEATURE::refuse(const char* path, const std::string& reason) {
  report({ProblemKind::kRecordingRefused, path, 0, reason});
  return kRecordingRefused;
}

int FEATURE::recordingUnreadable(const char* path, int error) {
  say("can't open file %s\n", path);
  report({ProblemKind::kCannotReadRecording, path, error});
  return kRecordingUnreadable;
}

int FEATURE::readRecording(const char* path, std::vector<std::int16_t>& samples) {
  samples.clear();
  outcome.samplesIgnored = 0;
  outcome.problems.clear();
  std::FILE* file = openRecording(path);
  if (file == nullptr) {
    return recordingUnreadable(path, errno);
  }
  int result = kExtractOk;
  try {
    const bool audio = settings.inputFormat == InputFormat::kAudio ||
                       (settings.inputFormat == InputFormat::kAuto && containerSignature(file) != nullptr);
    result = audio ? readContainer(file, path, samples) : readRaw(file, path, samples);
  } catch (const std::bad_alloc&) {
    say("memory allocate error\n");
    result = kShellNoMemory;
  }
  std::fclose(file);
  if (result == kExtractOk && outcome.samplesIgnored != 0 && settings.longRecordings != nullptr) {
    // A caller that asked for whole recordings only: this one is refused.
    ++*settings.longRecordings;
    samples.clear();
    const std::int64_t total =
        outcome.samplesIgnored < 0 ? -1 : static_cast<std::int64_t>(kMaxSamples) + outcome.samplesIgnored;
    return refuse(path, tooLongWords("it", total) + ", and only whole recordings were asked for");
  }
  if (result == kExtractOk && outcome.samplesIgnored != 0) {
    report({ProblemKind::kRecordingCut, path, 0, "", outcome.samplesIgnored});
  }
  return result;
}

int FEATURE::readRaw(std::FILE* file, const char* path, std::vector<std::int16_t>& samples) {
  const char* container = containerSignature(file);
  if (container != nullptr) report({ProblemKind::kContainerReadAsRaw, path, 0, container});
  if (!readRawSamples(file, samples, outcome.samplesIgnored)) {
    return recordingUnreadable(path, errno);
  }
  return kExtractOk;
}

int FEATURE::readRawSource(const audio::ByteSource& source, const char* path, audio::FrameWindow window,
                           std::vector<std::int16_t>& samples) {
  const std::uint64_t total = source.size() / 2;
  const std::uint64_t first = std::min(window.first, total);
  const std::uint64_t count = std::min(window.count, total - first);
  samples.resize(static_cast<std::size_t>(count));
  const std::size_t bytes = samples.size() * 2;
  if (source.read(first * 2, samples.data(), bytes) != bytes) {
    samples.clear();
    return recordingUnreadable(path, source.failed() ? errno : EIO);
  }
  outcome.samplesInFile = static_cast<std::int64_t>(total);
  outcome.samplesIgnored = static_cast<std::int64_t>(total - first - count);
  return kExtractOk;
}


std::int64_t FEATURE::recordingSampleCount(const char* path) const {
  struct stat info;
  bool raw = settings.inputFormat == InputFormat::kRaw;
  if (settings.inputFormat == InputFormat::kAuto) {
    std::FILE* file = openRecording(path);
    if (file == nullptr) return -1;
    raw = containerSignature(file) == nullptr;
    std::fclose(file);
  }
  if (raw) {
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) ? static_cast<std::int64_t>(info.st_size / 2) : -1;
  }
  return audioSampleCount(path);
}

