// Reading audio containers through libsndfile (and FLAC through libFLAC):
// a file is read when it holds exactly what raw input would (16-bit integer
// samples at 16 kHz), checked against what its header promises; anything
// else is refused with what it holds and commands that convert it.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "audio_container.h"
#include "conversion.h"
#include "fast_front_end.h"
#include "feature.h"

bool audioInputSupported() { return true; }

namespace {

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

// What a container holds, as a person would describe it, in libsndfile's
// words ("16000 Hz, 2 channels, Signed 16 bit PCM, WAV (Microsoft)").
std::string describe(long rate, long channels, const std::string& samples, const std::string& container) {
  char text[256];
  std::snprintf(text, sizeof text, "%ld Hz, %ld channel%s, %s, %s", rate, channels, channels == 1 ? "" : "s",
                samples.c_str(), container.c_str());
  return text;
}

// libsndfile reads the bytes through these, so that it never holds, and
// never closes, a descriptor of its own.
struct VirtualFile {
  const audio::ByteSource& source;
  sf_count_t position = 0;
};

SF_VIRTUAL_IO virtualIo() {
  SF_VIRTUAL_IO io{};
  io.get_filelen = [](void* data) { return static_cast<sf_count_t>(static_cast<VirtualFile*>(data)->source.size()); };
  io.seek = [](sf_count_t offset, int whence, void* data) {
    auto& file = *static_cast<VirtualFile*>(data);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position
                                                                        : static_cast<sf_count_t>(file.source.size());
    file.position = std::max<sf_count_t>(0, base + offset);
    return file.position;
  };
  io.read = [](void* out, sf_count_t count, void* data) {
    auto& file = *static_cast<VirtualFile*>(data);
    const std::size_t got = file.source.read(static_cast<std::uint64_t>(file.position), out, static_cast<std::size_t>(count));
    file.position += static_cast<sf_count_t>(got);
    return static_cast<sf_count_t>(got);
  };
  io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
  io.tell = [](void* data) { return static_cast<VirtualFile*>(data)->position; };
  return io;
}

// libsndfile keeps the reason an open failed in one place for the whole
// process: opens are made one at a time, so that the reason read is this
// open's.
std::mutex soundFileOpens;

// libsndfile on the bytes of file, closed when it goes; null, with problem
// (if given) saying why, when they are no audio file it reads.
using SoundFile = std::unique_ptr<SNDFILE, int (*)(SNDFILE*)>;
SoundFile openSoundFile(VirtualFile& file, SF_INFO& info, std::string* problem) {
  static SF_VIRTUAL_IO io = virtualIo();
  std::lock_guard<std::mutex> lock(soundFileOpens);
  SNDFILE* sound = sf_open_virtual(&io, SFM_READ, &info, &file);
  if (sound == nullptr && problem != nullptr) *problem = sf_strerror(nullptr);
  return SoundFile(sound, sf_close);
}

// What is read as it stands: 16-bit integer samples at 16 kHz, one to
// maxChannels channels.
bool readAsItStands(const SF_INFO& info, int maxChannels) {
  return info.samplerate == kSampleRate && info.channels >= 1 && info.channels <= maxChannels &&
         (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

// A converted copy of path beside it that does not exist yet: its stem
// with .16k.wav, or .16k-2.wav, .16k-3.wav, ... when that is taken.
std::string convertedPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const std::string stem = hasExtension ? path.substr(0, dot) : path;
  struct stat info;
  std::string target = stem + ".16k.wav";
  for (int n = 2; lstat(target.c_str(), &info) == 0 && n < 10000; ++n) {
    target = stem + ".16k-" + std::to_string(n) + ".wav";
  }
  return target;
}

// text as one word for /bin/sh.
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The sox type of a container, for reading it from a pipe.
const char* soxType(int format) {
  switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC: return "flac";
    case SF_FORMAT_AIFF: return "aiff";
    case SF_FORMAT_AU: return "au";
    case SF_FORMAT_CAF: return "caf";
    case SF_FORMAT_W64: return "w64";
    case SF_FORMAT_NIST: return "sph";
    case SF_FORMAT_MPEG: return "mp3";
    case SF_FORMAT_OGG: return "ogg";
    default: return "wav";
  }
}

// How to convert what was refused into what is read, as commands that run
// as printed: for a file, a copy beside it that names no existing file and
// the wav.scp line that converts on the fly; for a command's output, the
// command with the conversion added.
std::string conversionCommands(const audio::ByteSource& source, const char* path, int format, int maxChannels) {
  const bool opus = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
  const bool mp3 = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG || (format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_III;
  const std::string channels = maxChannels == 1 ? " -c 1" : "";
  const std::string toWav = " -t wav -r 16000" + channels + " -b 16 -e signed-integer -";
  const char* install = opus ? "\n(opusdec is in Debian's opus-tools)"
                        : mp3 ? "\n(sox reads MP3 with Debian's libsox-fmt-mp3)"
                              : "";
  // sox reads no Opus: opusdec decodes it to WAV at 16 kHz first.
  const auto decode = [&](const std::string& input) {
    return opus ? "opusdec --quiet --rate 16000 --force-wav " + input + " - | sox -t wav -"
                : "sox " + (input == "-" ? std::string("-t ") + soxType(format) + " -" : input);
  };
  if (!source.command().empty()) {
    return std::string(". Its command must give such audio: end it with a conversion, as in this wav.scp line:\n  ") +
           "ID " + source.command() + " | " + decode("-") + toWav + " |" + install;
  }
  const std::string target = convertedPath(path);
  std::string stem = path;
  stem = stem.substr(stem.rfind('/') + 1);
  stem = stem.substr(0, std::min(stem.find('.'), stem.size()));
  for (char& c : stem) {
    if (static_cast<unsigned char>(c) <= ' ') c = '_';
  }
  return ". Convert it with:\n  " + decode(shellQuoted(path)) + " -r 16000" + channels +
         " -b 16 -e signed-integer " + shellQuoted(target) + install +
         "\nor convert on the fly with feature-kaldi, whose wav.scp lines may be commands:\n  " +
         (stem.empty() ? std::string("ID") : stem) + " " + decode(shellQuoted(path)) + toWav + " |";
}

std::string conversionAdvice(const audio::ByteSource& source, const char* path, int maxChannels, int format) {
  return std::string(maxChannels == 1 ? "; only 16000 Hz, 1 channel, 16-bit integer samples are read"
                                      : "; only 16000 Hz, 16-bit integer samples are read") +
         ", as anything else would change the features" + conversionCommands(source, path, format, maxChannels);
}

constexpr const char* kCutShort = "its header promises more samples than the file holds (";
constexpr const char* kCutShortEnd = "): cut short, or written to a pipe; check it, or save it again with sox";

}  // namespace

int FEATURE::readContainer(std::FILE* file, const char* path, std::vector<std::int16_t>& samples) {
  samples.clear();
  std::string problem;
  const audio::ByteSource source(fileno(file), problem);
  if (!problem.empty()) return refuse(path, problem);
  int channels = 0;
  return readAudio(source, path, {0, kMaxSamples}, 1, samples, channels);
}

namespace {

// Bytes per sample of the sample formats that are read (0 for the others:
// ADPCM, GSM, ...), and whether a format is lossy.
int bytesPerSample(int subtype) {
  switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW: return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 0;
  }
}

bool isLossy(int subtype) {
  return subtype == SF_FORMAT_MPEG_LAYER_I || subtype == SF_FORMAT_MPEG_LAYER_II ||
         subtype == SF_FORMAT_MPEG_LAYER_III || subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS;
}

// Why a recording of this kind is not read with these choices, or "";
// needs receives what would read it (kNeedsConversion, ...).
std::string conversionRefusal(int rate, int channels, bool otherFormat, bool lossy, int maxChannels,
                              const Conversion& how, std::int64_t& needs) {
  needs = 0;
  if (lossy && !how.lossy) needs |= kNeedsLossy;
  if ((otherFormat || rate != kSampleRate) && !how.convert) needs |= kNeedsConversion;
  if (channels > maxChannels && how.channel < 0 && !how.downmix) needs |= kNeedsChannelChoice;
  if (how.channel >= channels) {
    return "it has no channel " + std::to_string(how.channel) + " (it has " + std::to_string(channels) +
           ", counted from 0)";
  }
  if (rate != kSampleRate && (rate < audio::kLowestRate || rate > audio::kHighestRate)) {
    needs = 0;
    return "its rate is beyond what is converted (8000 to 192000 Hz)";
  }
  if (needs == 0) return "";
  std::string why;
  if ((needs & kNeedsLossy) != 0) {
    why = "a lossy format, whose decoder may give other samples on another machine, is read only when asked";
  } else if ((needs & kNeedsConversion) != 0) {
    why = "only 16000 Hz, 16-bit integer samples are read as they are";
  } else {
    why = "a recording of several channels is read only as one channel or their mean";
  }
  return why;
}

}  // namespace

int FEATURE::readAudio(const audio::ByteSource& source, const char* path, audio::FrameWindow window, int maxChannels,
                       std::vector<std::int16_t>& samples, int& channels) {
  samples.clear();
  outcome.samplesIgnored = 0;
  outcome.samplesInFile = -1;
  outcome.converted.clear();
  outcome.sourceRate = kSampleRate;
  outcome.clipped = 0;
  if (audio::isFlac(source)) return readFlac(source, path, window, maxChannels, samples, channels);

  std::string problem;
  SF_INFO info{};
  VirtualFile virtualFile{source};
  const SoundFile opened = openSoundFile(virtualFile, info, &problem);
  SNDFILE* const sound = opened.get();
  if (sound == nullptr) return refuse(path, "not an audio file that can be read (" + problem + ")");
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const int container = info.format & SF_FORMAT_TYPEMASK;
  const bool lossy = isLossy(subtype);
  const int sampleBytes = bytesPerSample(subtype);
  const std::string what = describe(info.samplerate, info.channels, formatName(subtype), formatName(container));
  if (sampleBytes == 0 && !lossy) {
    return refuse(path, what + "; its sample format is not read" + conversionCommands(source, path, info.format, maxChannels));
  }
  const Conversion& how = settings.conversion;
  std::int64_t needs = 0;
  const std::string refusal =
      conversionRefusal(info.samplerate, info.channels, subtype != SF_FORMAT_PCM_16, lossy, maxChannels, how, needs);
  if (!refusal.empty()) {
    report({ProblemKind::kRecordingRefused, path, 0,
            what + "; " + refusal + (needs != 0 ? conversionCommands(source, path, info.format, maxChannels) : ""),
            needs});
    return kRecordingRefused;
  }
  std::uint64_t total = 0;
  bool fromBytes = false;
  audio::SampleData data;
  if (lossy) {
    // Its length is what its decoder gives: no header promises it.
    if (info.frames < 0) return refuse(path, what + "; its length cannot be told");
    total = static_cast<std::uint64_t>(info.frames);
  } else {
    data = audio::promisedSampleData(container, source);
    const std::uint64_t size = source.size();
    // A stream that was read to its end (a command that exited well) gives
    // the samples it holds when its writer could not state their length;
    // a command's WAV whose header states another length than it delivers
    // was written by a writer that estimated it (sox does, from an MP3 or
    // FLAC source): it too runs to the end, with a warning. On disk, such a
    // header means a file cut short, refused below, and bytes after the
    // data chunk are other chunks.
    char riff[4] = {};
    const bool littleRiff = source.read(0, riff, 4) == 4 && std::memcmp(riff, "RIFF", 4) == 0;
    if (data.unknownLength && source.stream()) data.toEnd = true;
    if (littleRiff && !source.command().empty() && data.checkable && data.problem.empty() && !data.toEnd &&
        data.offset <= size && data.bytes != size - data.offset) {
      report({ProblemKind::kStreamLengthDiffers, path, 0, std::to_string(size - data.offset),
              static_cast<std::int64_t>(data.bytes)});
      data.toEnd = true;
    }
    if (!data.checkable) {
      return refuse(path,
                    "a " + formatName(container) +
                        " file, whose length cannot be checked (one cut short would be read as a shorter "
                        "recording without a word); convert it to WAV or FLAC" +
                        conversionCommands(source, path, info.format, maxChannels));
    }
    if (!data.problem.empty()) return refuse(path, kCutShort + data.problem + kCutShortEnd);
    if (!data.toEnd && (data.offset > size || data.bytes > size - data.offset)) {
      return refuse(path,
                    kCutShort + std::to_string(data.bytes) + " bytes of samples from byte " +
                        std::to_string(data.offset) + ", in a file of " + std::to_string(size) + " bytes" +
                        kCutShortEnd);
    }
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(sampleBytes) * static_cast<std::uint64_t>(info.channels);
    total = data.toEnd ? (size - std::min(size, data.offset)) / frameBytes : data.bytes / frameBytes;
    // A streamed WAV of 16-bit samples is taken from the stream itself, to
    // its end, whatever length libsndfile took from the header.
    fromBytes = data.toEnd && source.stream() && littleRiff && subtype == SF_FORMAT_PCM_16;
    // Fewer samples readable than promised: cut short. More (a chunk
    // padded, bytes after the samples): the promised ones are the
    // recording.
    if (!fromBytes && (info.frames < 0 || static_cast<std::uint64_t>(info.frames) < total)) {
      return refuse(path, kCutShort + std::to_string(total) + " promised, " + std::to_string(info.frames) +
                              " readable" + kCutShortEnd);
    }
  }
  // 16 kHz 16-bit samples, their channels kept as they are: read exactly.
  // Anything else goes through the conversion (a channel picked or mixed
  // of one is that one).
  const bool picks = info.channels > 1 && (how.channel >= 0 || how.downmix);
  if (subtype != SF_FORMAT_PCM_16 || info.samplerate != kSampleRate || picks) {
    return readConverted(sound, info, total, path, window, maxChannels, samples, channels);
  }
  const std::uint64_t first = std::min(window.first, total);
  const auto frames = static_cast<sf_count_t>(std::min(window.count, total - first));
  samples.resize(static_cast<std::size_t>(frames) * static_cast<std::size_t>(info.channels));
  if (fromBytes) {
    const std::size_t bytes = samples.size() * 2;
    source.read(data.offset + first * 2 * static_cast<std::uint64_t>(info.channels), samples.data(), bytes);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (auto& v : samples) v = static_cast<std::int16_t>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
#endif
  } else {
    const bool placed = frames == 0 || first == 0 || sf_seek(sound, static_cast<sf_count_t>(first), SEEK_SET) >= 0;
    const sf_count_t got = frames == 0 || !placed ? 0 : sf_readf_short(sound, samples.data(), frames);
    const int error = sf_error(sound);
    if (got != frames || error != SF_ERR_NO_ERROR || source.failed()) {
      samples.clear();
      return refuse(path,
                    std::string("its samples cannot be read whole (") +
                        (source.failed() ? std::strerror(errno)
                                         : error != SF_ERR_NO_ERROR ? sf_error_number(error) : "the file ends early") +
                        ")");
    }
  }
  channels = info.channels;
  outcome.samplesInFile = static_cast<std::int64_t>(total);
  outcome.samplesIgnored = static_cast<std::int64_t>(total - first - static_cast<std::uint64_t>(frames));
  return kExtractOk;
}

int FEATURE::readConverted(SNDFILE* sound, const SF_INFO& info, std::uint64_t total, const char* path,
                           audio::FrameWindow window, int maxChannels, std::vector<std::int16_t>& samples,
                           int& channels) {
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const std::uint64_t end = window.count > UINT64_MAX - window.first ? UINT64_MAX : window.first + window.count;
  audio::Converter converter(info.samplerate, info.channels, total, settings.conversion, maxChannels > 1,
                             fast_front_end::frontEndChoice(settings.frontEnd).resample, window.first, end);
  const std::uint64_t from = converter.inputStart(), to = converter.inputEnd();
  if (to > from && from > 0 && sf_seek(sound, static_cast<sf_count_t>(from), SEEK_SET) < 0) {
    return refuse(path, "its samples cannot be read whole (it cannot be read from sample " + std::to_string(from) + ")");
  }
  // The source's own values in the 16-bit scale: integers as libsndfile
  // gives them left-aligned in 32 bits, / 65536; floats x 32768.
  const bool floats = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE || isLossy(subtype);
  constexpr std::size_t kBlock = 1 << 14;
  const std::size_t C = static_cast<std::size_t>(info.channels);
  std::vector<int> integers(floats ? 0 : kBlock * C);
  std::vector<double> values(kBlock * C);
  for (std::uint64_t at = from; at < to;) {
    const auto want = static_cast<sf_count_t>(std::min<std::uint64_t>(kBlock, to - at));
    sf_count_t got;
    if (floats) {
      got = sf_readf_double(sound, values.data(), want);
      for (std::size_t i = 0; i < static_cast<std::size_t>(got) * C; ++i) values[i] *= 32768.0;
    } else {
      got = sf_readf_int(sound, integers.data(), want);
      for (std::size_t i = 0; i < static_cast<std::size_t>(got) * C; ++i) values[i] = integers[i] / 65536.0;
    }
    if (got <= 0) {
      const int error = sf_error(sound);
      return refuse(path, std::string("its samples cannot be read whole (") +
                              (error != SF_ERR_NO_ERROR ? sf_error_number(error) : "the file ends early") + ")");
    }
    converter.push(values.data(), static_cast<std::size_t>(got));
    at += static_cast<std::uint64_t>(got);
  }
  converter.finish();
  if (converter.nonFinite() > 0) {
    return refuse(path, std::to_string(converter.nonFinite()) + " of its samples are not numbers (NaN or infinity)");
  }
  samples.swap(converter.samples());
  channels = converter.channels();
  noteConversion(path, converter, info.samplerate, info.channels, subtype == SF_FORMAT_PCM_16 ? "" : formatName(subtype),
                 window, samples.size() / static_cast<std::size_t>(channels));
  return kExtractOk;
}

void FEATURE::noteConversion(const char* path, const audio::Converter& converter, int rate, int sourceChannels,
                             const std::string& format, audio::FrameWindow window, std::size_t kept) {
  outcome.samplesInFile = static_cast<std::int64_t>(converter.length());
  const std::uint64_t first = std::min<std::uint64_t>(window.first, converter.length());
  outcome.samplesIgnored = static_cast<std::int64_t>(converter.length() - first - std::min<std::uint64_t>(kept, converter.length() - first));
  outcome.converted = audio::conversionWords(rate, format, sourceChannels, settings.conversion);
  outcome.sourceRate = rate;
  outcome.clipped = converter.clipped();
  if (outcome.clipped > 0) {
    report({ProblemKind::kSamplesClipped, path, 0, "", static_cast<std::int64_t>(outcome.clipped)});
  }
}

std::int64_t FEATURE::audioSampleCount(const char* path) const {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::string problem;
  std::int64_t count = -1;
  {
    const audio::ByteSource source(fd, problem);
    if (!problem.empty() || source.stream()) {
      count = -1;
    } else if (audio::isFlac(source)) {
      std::vector<std::int16_t> none;
      const audio::FlacResult flac = audio::decodeFlac(source, {0, 0}, none);
      if (flac.accepted && flac.problem.empty()) count = static_cast<std::int64_t>(flac.frames);
    } else {
      SF_INFO info{};
      VirtualFile virtualFile{source};
      if (openSoundFile(virtualFile, info, nullptr) != nullptr && readAsItStands(info, 1)) count = info.frames;
    }
  }
  close(fd);
  return count;
}

int FEATURE::readFlac(const audio::ByteSource& source, const char* path, audio::FrameWindow window, int maxChannels,
                      std::vector<std::int16_t>& samples, int& channels) {
  // A stream of another rate, sample size or more channels goes through
  // the conversion when the choices allow it (its whole stream is decoded
  // and checked either way).
  std::unique_ptr<audio::Converter> converter;
  std::string refusal;
  std::int64_t needs = 0;
  unsigned sourceRate = 0, sourceChannels = 0, sourceBits = 0;
  const std::uint64_t end = window.count > UINT64_MAX - window.first ? UINT64_MAX : window.first + window.count;
  const Conversion& how = settings.conversion;
  audio::FlacSink sink;
  sink.start = [&](const audio::FlacResult& header, std::uint64_t promised) {
    sourceRate = header.rate;
    sourceChannels = header.channels;
    sourceBits = header.bits;
    refusal = conversionRefusal(static_cast<int>(header.rate), static_cast<int>(header.channels), header.bits != 16,
                                false, maxChannels, how, needs);
    if (!refusal.empty() || promised == 0) return false;
    converter = std::make_unique<audio::Converter>(static_cast<int>(header.rate), static_cast<int>(header.channels),
                                                   promised, how, maxChannels > 1,
                                                   fast_front_end::frontEndChoice(settings.frontEnd).resample,
                                                   window.first, end);
    return true;
  };
  std::uint64_t position = 0;
  sink.push = [&](const double* values, std::size_t frames) {
    // The frames from the converter's first input to its last.
    const std::uint64_t from = std::max(position, converter->inputStart());
    const std::uint64_t to = std::min<std::uint64_t>(position + frames, converter->inputEnd());
    if (from < to) converter->push(values + (from - position) * sourceChannels, static_cast<std::size_t>(to - from));
    position += frames;
  };
  const bool choices = how.convert || how.channel >= 0 || how.downmix;
  const audio::FlacResult flac = audio::decodeFlac(source, window, samples,
                                                   static_cast<unsigned>(std::max(1, maxChannels)),
                                                   choices ? &sink : nullptr);
  if (flac.rate != 0 && !flac.accepted) {
    const std::string what = describe(flac.rate, flac.channels, "Signed " + std::to_string(flac.bits) + " bit PCM",
                                      formatName(SF_FORMAT_FLAC));
    if (refusal.empty()) {
      refusal = conversionRefusal(static_cast<int>(flac.rate), static_cast<int>(flac.channels), flac.bits != 16, false,
                                  maxChannels, how, needs);
    }
    if (refusal.empty()) refusal = "its length is not stated in its header: convert it with flac first";
    report({ProblemKind::kRecordingRefused, path, 0,
            what + "; " + refusal + (needs != 0 ? conversionAdvice(source, path, maxChannels, SF_FORMAT_FLAC | SF_FORMAT_PCM_16) : ""),
            needs});
    return kRecordingRefused;
  }
  if (!flac.problem.empty()) return refuse(path, flac.problem);
  if (converter) {
    converter->finish();
    samples.swap(converter->samples());
    channels = converter->channels();
    noteConversion(path, *converter, static_cast<int>(sourceRate), static_cast<int>(sourceChannels),
                   sourceBits == 16 ? "" : "Signed " + std::to_string(sourceBits) + " bit PCM", window,
                   samples.size() / static_cast<std::size_t>(channels));
    return kExtractOk;
  }
  channels = static_cast<int>(flac.channels);
  outcome.samplesInFile = static_cast<std::int64_t>(flac.frames);
  const std::uint64_t kept = samples.size() / flac.channels;
  outcome.samplesIgnored = static_cast<std::int64_t>(flac.frames - std::min(flac.frames, window.first + kept));
  return kExtractOk;
}
