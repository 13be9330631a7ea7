// Reading a recording into 16-bit samples: headerless PCM read from its
// first byte (the defined input), or an audio container read through
// libsndfile when it holds exactly what raw input would (16-bit integer
// samples at 16 kHz in one channel). Nothing is resampled, mixed or
// converted: anything else is refused, since it would change the features.
#include <sys/stat.h>
#if defined(FEATURE_AUDIO_INPUT)
#include <sndfile.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "feature.h"

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
  const auto is = [&](std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    return got >= at + length && std::memcmp(head + at, text, length) == 0;
  };
  if (is(0, "RIFF") && is(8, "WAVE")) return "a WAV";
  if (is(0, "RF64") && is(8, "WAVE")) return "an RF64";
  if (is(0, "fLaC")) return "a FLAC";
  if (is(0, "OggS")) return "an Ogg";
  if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) return "an AIFF";
  if (is(0, "FORM")) return "an IFF";
  return nullptr;
}

#if defined(FEATURE_AUDIO_INPUT)
// libsndfile's name for a container or sample format.
std::string formatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr) {
    return info.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "format 0x%x", static_cast<unsigned>(format));
  return text;
}

// The line of libsndfile's parse log in which a WAV "data" or AIFF "SSND"
// chunk claims more bytes than the file holds ("data : 105186 (should be
// 49956)"): a file cut short, whose samples would end early without a word.
// Empty when there is none.
std::string cutShortChunk(SNDFILE* sound) {
  char log[8192] = "";
  sf_command(sound, SFC_GET_LOG_INFO, log, sizeof log);
  const char* line = log;
  while (*line != '\0') {
    const char* end = std::strchr(line, '\n');
    const std::string text(line, end != nullptr ? end : line + std::strlen(line));
    const std::size_t start = text.find_first_not_of(' ');
    if (start != std::string::npos && (text.compare(start, 6, "data :") == 0 || text.compare(start, 6, "SSND :") == 0) &&
        text.find("(should be") != std::string::npos) {
      return text.substr(start);
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  return "";
}

// What a container holds, as a person would describe it.
std::string describe(const SF_INFO& info) {
  char text[256];
  std::snprintf(text, sizeof text, "%d Hz, %d channel%s, %s, %s", info.samplerate, info.channels,
                info.channels == 1 ? "" : "s", formatName(info.format & SF_FORMAT_SUBMASK).c_str(),
                formatName(info.format & SF_FORMAT_TYPEMASK).c_str());
  return text;
}
#endif

}  // namespace

std::FILE* openRecording(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return nullptr;
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

const char* inputFormatName(InputFormat format) {
  return format == InputFormat::kAudio ? "audio" : "raw";
}

int FEATURE::recordingUnreadable(const char* path, int error) {
  std::fprintf(console, "can't open file %s\n", path);
  std::fflush(console);
  if (errors != nullptr) {
    std::fprintf(errors, "feature: cannot read the recording %s: %s\n", path, std::strerror(error));
  }
  return kRecordingUnreadable;
}

int FEATURE::readRecording(const char* path, std::vector<std::int16_t>& samples) {
  samples.clear();
  samplesIgnored = 0;
  std::FILE* file = openRecording(path);
  if (file == nullptr) {
    return recordingUnreadable(path, errno);
  }
  int result = kExtractOk;
  try {
    result = inputFormat == InputFormat::kAudio ? readContainer(file, path, samples)
                                                : readRaw(file, path, samples);
  } catch (const std::bad_alloc&) {
    std::fprintf(console, "memory allocate error\n");
    result = kShellNoMemory;
  }
  std::fclose(file);
  if (result == kExtractOk && samplesIgnored != 0 && errors != nullptr) {
    if (samplesIgnored > 0) {
      std::fprintf(errors, "feature: warning: %s is longer than 90 s; its last %.2f s are ignored\n", path,
                   static_cast<double>(samplesIgnored) / kSampleRate);
    } else {
      std::fprintf(errors, "feature: warning: %s is longer than 90 s; the rest is ignored\n", path);
    }
  }
  return result;
}

int FEATURE::readRaw(std::FILE* file, const char* path, std::vector<std::int16_t>& samples) {
  const char* container = containerSignature(file);
  if (container != nullptr && errors != nullptr) {
    std::fprintf(errors,
                 "feature: warning: %s begins with %s header, which is read as samples "
                 "(--input-format=audio reads the file as audio)\n",
                 path, container);
  }
  if (!readRawSamples(file, samples, samplesIgnored)) {
    return recordingUnreadable(path, errno);
  }
  return kExtractOk;
}

bool audioInputSupported() {
#if defined(FEATURE_AUDIO_INPUT)
  return true;
#else
  return false;
#endif
}

#if !defined(FEATURE_AUDIO_INPUT)
int FEATURE::readContainer(std::FILE*, const char* path, std::vector<std::int16_t>& samples) {
  samples.clear();
  if (errors != nullptr) {
    std::fprintf(errors, "feature: refused %s: this build reads raw recordings only (no libsndfile)\n", path);
  }
  return kRecordingRefused;
}
#else
int FEATURE::readContainer(std::FILE* file, const char* path, std::vector<std::int16_t>& samples) {
  SF_INFO info{};
  SNDFILE* sound = sf_open_fd(fileno(file), SFM_READ, &info, SF_FALSE);
  if (sound == nullptr) {
    if (errors != nullptr) {
      std::fprintf(errors, "feature: refused %s: not an audio file that can be read (%s)\n", path,
                   sf_strerror(nullptr));
    }
    return kRecordingRefused;
  }
  const bool accepted = info.samplerate == kSampleRate && info.channels == 1 &&
                        (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  if (!accepted) {
    if (errors != nullptr) {
      std::fprintf(errors,
                   "feature: refused %s: %s; only 16000 Hz, 1 channel, 16-bit integer samples are "
                   "read, as anything else would change the features. Convert it with:\n"
                   "  sox '%s' -r 16000 -c 1 -b 16 -e signed-integer converted.wav\n",
                   path, describe(info).c_str(), path);
    }
    sf_close(sound);
    return kRecordingRefused;
  }
  const std::string cutShort = cutShortChunk(sound);
  if (!cutShort.empty()) {
    if (errors != nullptr) {
      std::fprintf(errors,
                   "feature: refused %s: its header promises more samples than the file holds (%s): cut "
                   "short, or written to a pipe; check it, or save it again with sox\n",
                   path, cutShort.c_str());
    }
    sf_close(sound);
    return kRecordingRefused;
  }
  const sf_count_t frames = info.frames;
  samples.resize(static_cast<std::size_t>(std::clamp<sf_count_t>(frames, 0, kMaxSamples)));
  const sf_count_t got = sf_read_short(sound, samples.data(), static_cast<sf_count_t>(samples.size()));
  const int error = sf_error(sound);
  sf_close(sound);
  if (got != static_cast<sf_count_t>(samples.size()) || error != SF_ERR_NO_ERROR) {
    if (errors != nullptr) {
      std::fprintf(errors, "feature: refused %s: its samples cannot be read whole (%s)\n", path,
                   error != SF_ERR_NO_ERROR ? sf_error_number(error) : "the file ends early");
    }
    samples.clear();
    return kRecordingRefused;
  }
  samplesIgnored = frames > kMaxSamples ? frames - kMaxSamples : 0;
  return kExtractOk;
}
#endif
