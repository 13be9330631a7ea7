#include "audio_container.h"

#include "analysis_constants.h"

#include <sys/stat.h>
#include <unistd.h>

#include <FLAC/stream_decoder.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <memory>

namespace audio {

namespace {

// Fixed-size fields of a header at an offset; zero past the end of the file.
struct Fields {
  const ByteSource& source;

  bool is(std::uint64_t at, const char* text, std::size_t length) const {
    unsigned char bytes[16] = {};
    return length <= sizeof bytes && source.read(at, bytes, length) == length && std::memcmp(bytes, text, length) == 0;
  }
  std::uint64_t number(std::uint64_t at, int size, bool bigEndian) const {
    unsigned char bytes[8] = {};
    source.read(at, bytes, static_cast<std::size_t>(size));
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
      const int shift = bigEndian ? 8 * (size - 1 - i) : 8 * i;
      value |= static_cast<std::uint64_t>(bytes[i]) << shift;
    }
    return value;
  }
};

std::string chunkPastTheEnd(const char* id, std::uint64_t at) {
  return std::string("its ") + id + " chunk at byte " + std::to_string(at) + " runs past the end of the file";
}

// Moves at to the next chunk, at next, or says (false, in d) that the chunk
// at at runs past the end of the file.
bool nextChunk(std::uint64_t& at, std::uint64_t next, std::uint64_t size, SampleData& d) {
  if (next > size) {
    d.problem = chunkPastTheEnd("header", at);
    return false;
  }
  at = next;
  return true;
}

// RIFF/RIFX WAVE (WAV, WAVEX) and RF64: chunks of a 4-byte id and a 32-bit
// size, padded to even; RF64 keeps the 64-bit data size in its ds64 chunk.
SampleData riffData(const Fields& f, std::uint64_t size) {
  SampleData d;
  d.checkable = true;
  const bool bigEndian = f.is(0, "RIFX", 4);
  std::uint64_t ds64Bytes = 0;
  for (std::uint64_t at = 12; at + 8 <= size;) {
    const std::uint64_t length = f.number(at + 4, 4, bigEndian);
    if (f.is(at, "ds64", 4)) ds64Bytes = f.number(at + 16, 8, false);
    if (f.is(at, "data", 4)) {
      d.offset = at + 8;
      const bool rf64 = f.is(0, "RF64", 4);
      d.bytes = length == 0xFFFFFFFF && rf64 ? ds64Bytes : length;
      // What writers put there when they stream and cannot come back to
      // the header: 0, all ones, or sox's 0x7FFFF000.
      d.unknownLength = !rf64 && (length == 0 || length == 0xFFFFFFFF || length == 0x7FFFF000);
      return d;
    }
    if (!nextChunk(at, at + 8 + length + (length & 1), size, d)) return d;
  }
  d.problem = "no data chunk within the file";
  return d;
}

// Sony Wave64: chunks of a 16-byte GUID and a 64-bit size that counts the
// 24 bytes of the chunk header, aligned to 8 bytes.
SampleData wave64Data(const Fields& f, std::uint64_t size) {
  static const char kDataGuid[] = "data\xF3\xAC\xD3\x11\x8C\xD1\x00\xC0\x4F\x8E\xDB\x8A";
  SampleData d;
  d.checkable = true;
  for (std::uint64_t at = 40; at + 24 <= size;) {
    const std::uint64_t length = f.number(at + 16, 8, false);
    if (length < 24) break;
    if (f.is(at, kDataGuid, 16)) {
      d.offset = at + 24;
      d.bytes = length - 24;
      return d;
    }
    // (A size past the file is refused before it is rounded up: near 2^64
    // the rounding would wrap to a chunk that never moves on.)
    const std::uint64_t next = length > size - at ? size + 1 : at + ((length + 7) & ~std::uint64_t{7});
    if (!nextChunk(at, next, size, d)) return d;
  }
  d.problem = "no data chunk within the file";
  return d;
}

// AIFF and AIFC: big-endian chunks padded to even; COMM gives the channels,
// the sample frames and the bits of a sample, SSND the position of the
// samples.
SampleData aiffData(const Fields& f, std::uint64_t size) {
  SampleData d;
  d.checkable = true;
  bool common = false, sound = false;
  std::uint64_t frames = 0, channels = 0, bits = 16;
  for (std::uint64_t at = 12; at + 8 <= size && !(common && sound);) {
    const std::uint64_t length = f.number(at + 4, 4, true);
    if (f.is(at, "COMM", 4)) {
      channels = f.number(at + 8, 2, true);
      frames = f.number(at + 10, 4, true);
      bits = f.number(at + 14, 2, true);
      // AIFC names its encoding after the 80-bit rate: a compressed one
      // stores other sizes than the bits it decodes to.
      if (f.is(0, "FORM", 4) && f.is(8, "AIFC", 4) && length >= 22) {
        if (f.is(at + 26, "ulaw", 4) || f.is(at + 26, "alaw", 4) || f.is(at + 26, "ULAW", 4) ||
            f.is(at + 26, "ALAW", 4)) {
          bits = 8;
        } else if (f.is(at + 26, "fl32", 4) || f.is(at + 26, "FL32", 4)) {
          bits = 32;
        } else if (f.is(at + 26, "fl64", 4) || f.is(at + 26, "FL64", 4)) {
          bits = 64;
        }
      }
      common = true;
    } else if (f.is(at, "SSND", 4)) {
      d.offset = at + 16 + f.number(at + 8, 4, true);
      sound = true;
    }
    const std::uint64_t next = at + 8 + length + (length & 1);
    if (next > size && !(common && sound)) {
      d.problem = chunkPastTheEnd("header", at);
      return d;
    }
    at = next;
  }
  if (!common || !sound) {
    d.problem = "no COMM and SSND chunks within the file";
    return d;
  }
  d.bytes = frames * channels * ((bits + 7) / 8);
  return d;
}

// Sun/NeXT AU: data offset and size in the header (all ones: to the end).
SampleData auData(const Fields& f) {
  SampleData d;
  d.checkable = true;
  const bool bigEndian = f.is(0, ".snd", 4);
  d.offset = f.number(4, 4, bigEndian);
  const std::uint64_t bytes = f.number(8, 4, bigEndian);
  d.toEnd = bytes == 0xFFFFFFFF;
  d.bytes = d.toEnd ? 0 : bytes;
  return d;
}

// Core Audio Format: chunks of a 4-byte type and a signed 64-bit size; the
// data chunk begins with a 4-byte edit count, and a size of -1 runs to the
// end of the file.
SampleData cafData(const Fields& f, std::uint64_t size) {
  SampleData d;
  d.checkable = true;
  for (std::uint64_t at = 8; at + 12 <= size;) {
    const std::uint64_t length = f.number(at + 4, 8, true);
    if (f.is(at, "data", 4)) {
      d.offset = at + 16;
      d.toEnd = length == ~std::uint64_t{0};
      d.bytes = d.toEnd || length < 4 ? 0 : length - 4;
      return d;
    }
    const std::uint64_t next = at + 12 + length;
    if (length > size || next > size) {
      d.problem = chunkPastTheEnd("header", at);
      return d;
    }
    at = next;
  }
  d.problem = "no data chunk within the file";
  return d;
}

// NIST SPHERE: a text header ("NIST_1A", its size, then "name -type value"
// lines) whose sample_count, channel_count and sample_n_bytes give the size
// of the samples that follow it.
SampleData nistData(const ByteSource& source) {
  SampleData d;
  char text[4097] = {};
  const std::size_t got = source.read(0, text, sizeof text - 1);
  text[got] = '\0';
  const std::string header(text, got);
  const long headerSize = std::strtol(header.c_str() + std::min<std::size_t>(8, got), nullptr, 10);
  const auto field = [&](const char* name, long& value) {
    const std::string key = std::string("\n") + name + " -i ";
    const std::size_t at = header.find(key);
    if (at == std::string::npos) return false;
    value = std::strtol(header.c_str() + at + key.size(), nullptr, 10);
    return true;
  };
  long count = 0, channels = 1, bytesPerSample = 2;
  if (headerSize <= 0 || !field("sample_count", count)) return d;
  field("channel_count", channels);
  field("sample_n_bytes", bytesPerSample);
  d.checkable = true;
  d.offset = static_cast<std::uint64_t>(headerSize);
  d.bytes = static_cast<std::uint64_t>(std::max(0L, count)) * static_cast<std::uint64_t>(std::max(0L, channels)) *
            static_cast<std::uint64_t>(std::max(0L, bytesPerSample));
  return d;
}

}  // namespace

SampleData promisedSampleData(int majorType, const ByteSource& source) {
  const Fields f{source};
  switch (majorType) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
      return riffData(f, source.size());
    case SF_FORMAT_W64:
      return wave64Data(f, source.size());
    case SF_FORMAT_AIFF:
      return aiffData(f, source.size());
    case SF_FORMAT_AU:
      return auData(f);
    case SF_FORMAT_CAF:
      return cafData(f, source.size());
    case SF_FORMAT_NIST:
      return nistData(source);
    default:
      return SampleData{};
  }
}

namespace {

// The size of an ID3v2 tag at the start of the file (0 without one): ten
// bytes of header and a 28-bit "synchsafe" size.
std::uint64_t id3TagSize(const ByteSource& source) {
  unsigned char head[10] = {};
  if (source.read(0, head, sizeof head) != sizeof head || std::memcmp(head, "ID3", 3) != 0) return 0;
  const std::uint64_t size = (std::uint64_t{head[6]} & 0x7F) << 21 | (std::uint64_t{head[7]} & 0x7F) << 14 |
                             (std::uint64_t{head[8]} & 0x7F) << 7 | (std::uint64_t{head[9]} & 0x7F);
  return 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0);
}

struct FlacState {
  const ByteSource& source;
  std::uint64_t offset = 0;
  FrameWindow window;         // frames kept
  unsigned maxChannels = 1;
  std::vector<std::int16_t>& samples;
  FlacResult result;
  std::uint64_t promised = 0;  // total samples in STREAMINFO (0: unknown)
  std::string decodeError;
  const FlacSink* sink = nullptr;  // takes the values, when it wants them
  std::vector<double> values;
};

FLAC__StreamDecoderReadStatus readBytes(const FLAC__StreamDecoder*, FLAC__byte buffer[], std::size_t* bytes,
                                        void* data) {
  auto& s = *static_cast<FlacState*>(data);
  const std::size_t got = s.source.read(s.offset, buffer, *bytes);
  s.offset += got;
  *bytes = got;
  if (s.source.failed()) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__bool atEnd(const FLAC__StreamDecoder*, void* data) {
  const auto& s = *static_cast<FlacState*>(data);
  return s.offset >= s.source.size();
}

FLAC__StreamDecoderWriteStatus writeSamples(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                            const FLAC__int32* const buffer[], void* data) {
  auto& s = *static_cast<FlacState*>(data);
  if (frame->header.channels != s.result.channels || frame->header.bits_per_sample != s.result.bits) {
    s.decodeError = "a frame of " + std::to_string(frame->header.channels) + " channels and " +
                    std::to_string(frame->header.bits_per_sample) + " bits, unlike its header";
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  const std::uint64_t count = frame->header.blocksize;
  const unsigned channels = s.result.channels;
  if (s.sink != nullptr) {
    const double scale = std::ldexp(1.0, 16 - static_cast<int>(s.result.bits));
    s.values.resize(static_cast<std::size_t>(count) * channels);
    for (std::uint64_t i = 0; i < count; ++i) {
      for (unsigned c = 0; c < channels; ++c) s.values[i * channels + c] = buffer[c][i] * scale;
    }
    s.sink->push(s.values.data(), static_cast<std::size_t>(count));
    s.result.frames += count;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }
  // The part of this block inside the window.
  const std::uint64_t at = s.result.frames;
  const std::uint64_t windowEnd =
      s.window.count > UINT64_MAX - s.window.first ? UINT64_MAX : s.window.first + s.window.count;
  const std::uint64_t from = std::max(at, s.window.first);
  const std::uint64_t to = std::min(at + count, windowEnd);
  for (std::uint64_t i = from; i < to; ++i) {
    for (unsigned c = 0; c < channels; ++c) s.samples.push_back(static_cast<std::int16_t>(buffer[c][i - at]));
  }
  s.result.frames += count;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* data) {
  auto& s = *static_cast<FlacState*>(data);
  if (block->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  s.result.rate = block->data.stream_info.sample_rate;
  s.result.channels = block->data.stream_info.channels;
  s.result.bits = block->data.stream_info.bits_per_sample;
  s.promised = block->data.stream_info.total_samples;
}

void decodeFailed(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
  auto& s = *static_cast<FlacState*>(data);
  if (s.decodeError.empty()) s.decodeError = FLAC__StreamDecoderErrorStatusString[status];
}

}  // namespace

bool isFlac(const ByteSource& source) {
  return Fields{source}.is(id3TagSize(source), "fLaC", 4);
}

FlacResult decodeFlac(const ByteSource& source, FrameWindow window, std::vector<std::int16_t>& samples,
                      unsigned maxChannels, const FlacSink* sink) {
  samples.clear();
  FlacState s{source, 0, window, maxChannels, samples, {}, 0, {}, nullptr, {}};
  const std::unique_ptr<FLAC__StreamDecoder, void (*)(FLAC__StreamDecoder*)> decoder(FLAC__stream_decoder_new(),
                                                                                   FLAC__stream_decoder_delete);
  if (decoder == nullptr) throw std::bad_alloc();
  FLAC__stream_decoder_set_md5_checking(decoder.get(), true);
  if (FLAC__stream_decoder_init_stream(decoder.get(), readBytes, nullptr, nullptr, nullptr, atEnd, writeSamples,
                                       metadata, decodeFailed, &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    s.result.problem = "its FLAC stream cannot be decoded";
    return s.result;
  }
  if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) || s.result.rate == 0) {
    s.result.problem = "its FLAC header cannot be read" + (s.decodeError.empty() ? "" : " (" + s.decodeError + ")");
    FLAC__stream_decoder_finish(decoder.get());
    return s.result;
  }
  s.result.accepted =
      s.result.rate == static_cast<unsigned>(kSampleRate) && s.result.channels >= 1 && s.result.channels <= maxChannels && s.result.bits == 16;
  if (!s.result.accepted && sink != nullptr && s.result.channels >= 1 && s.result.bits >= 4 && s.result.bits <= 32 &&
      sink->start(s.result, s.promised)) {
    s.sink = sink;
    s.result.accepted = true;
  }
  if (!s.result.accepted) {
    FLAC__stream_decoder_finish(decoder.get());
    return s.result;
  }
  if (window.count == 0 && s.promised != 0) {
    s.result.frames = s.promised;
    FLAC__stream_decoder_finish(decoder.get());
    return s.result;
  }
  // Room for what the header promises inside the window: never more than
  // the window, whatever the header claims.
  if (s.promised > window.first) {
    constexpr std::uint64_t kMostReserved = std::uint64_t{1} << 24;
    samples.reserve(static_cast<std::size_t>(std::min({s.promised - window.first, window.count, kMostReserved})) *
                    s.result.channels);
  }
  const bool decoded = FLAC__stream_decoder_process_until_end_of_stream(decoder.get()) != 0;
  const bool signatureMatches = FLAC__stream_decoder_finish(decoder.get()) != 0;
  if (source.failed()) {
    s.result.problem = std::string("cannot read it: ") + std::strerror(errno);
  } else if (!decoded || !s.decodeError.empty()) {
    s.result.problem = "its FLAC data cannot be decoded whole (" +
                       (s.decodeError.empty() ? std::string("the stream ends early") : s.decodeError) +
                       "): damaged or cut short; check it with flac -t";
  } else if (s.promised != 0 && s.result.frames != s.promised) {
    s.result.problem = "its header promises " + std::to_string(s.promised) + " samples, but the file holds " +
                       std::to_string(s.result.frames) + ": cut short or damaged; check it with flac -t";
  } else if (!signatureMatches) {
    s.result.problem =
        "its samples do not match the MD5 signature in its header: damaged; check it with flac -t";
  }
  if (!s.result.problem.empty()) samples.clear();
  return s.result;
}

}  // namespace audio
