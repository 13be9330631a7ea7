// The header of a WAV written into a pipe, read from the bytes of its start
// (built with or without the audio file readers: the stream needs none).
#include <cstring>

#include "audio_container.h"

namespace audio {

WaveStreamHeader waveStreamHeader(const unsigned char* bytes, std::size_t size) {
  WaveStreamHeader h;
  const auto is = [&](std::size_t at, const char* id) { return at + 4 <= size && std::memcmp(bytes + at, id, 4) == 0; };
  const auto number = [&](std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes[at + static_cast<std::size_t>(i)]) << (8 * i);
    return value;
  };
  if (size < 12) return h;
  if (!is(0, "RIFF") || !is(8, "WAVE")) {
    h.problem = "not a RIFF WAVE stream";
    return h;
  }
  bool format = false;
  for (std::size_t at = 12; at + 8 <= size;) {
    const std::uint64_t length = number(at + 4, 4);
    if (is(at, "data")) {
      if (!format) {
        h.problem = "its data chunk comes before its fmt chunk";
        return h;
      }
      h.dataOffset = at + 8;
      h.toEnd = length == 0 || length == 0xFFFFFFFF || length == 0x7FFFF000;
      h.dataBytes = h.toEnd ? 0 : length;
      h.complete = true;
      return h;
    }
    if (is(at, "fmt ")) {
      if (length < 16 || at + 8 + length > size) return h;  // the rest comes later
      h.formatTag = static_cast<unsigned>(number(at + 8, 2));
      h.channels = static_cast<unsigned>(number(at + 10, 2));
      h.rate = static_cast<unsigned>(number(at + 12, 4));
      h.bits = static_cast<unsigned>(number(at + 22, 2));
      if (h.formatTag == 0xFFFE && length >= 40) h.formatTag = static_cast<unsigned>(number(at + 32, 2));
      format = true;
    }
    at += 8 + length + (length & 1);
  }
  return h;
}

}  // namespace audio
