#include "feature_files.h"

#include <cstring>

namespace feature_files {

void encodeHtkHeader(const HtkHeader& header, unsigned char out[kHtkHeaderBytes]) {
  storeBigEndian32(out, static_cast<std::uint32_t>(header.frames));
  storeBigEndian32(out + 4, static_cast<std::uint32_t>(header.samplePeriod));
  storeBigEndian16(out + 8, header.vectorBytes);
  storeBigEndian16(out + 10, header.parmKind);
}

HtkHeader decodeHtkHeader(const unsigned char in[kHtkHeaderBytes]) {
  HtkHeader header;
  header.frames = static_cast<std::int32_t>(loadBigEndian32(in));
  header.samplePeriod = static_cast<std::int32_t>(loadBigEndian32(in + 4));
  header.vectorBytes = loadBigEndian16(in + 8);
  header.parmKind = loadBigEndian16(in + 10);
  return header;
}

std::string htkProblem(const HtkHeader& h, long long size) {
  if (size < static_cast<long long>(kHtkHeaderBytes)) {
    return "shorter than the 12-byte HTK header (" + std::to_string(size) + " bytes)";
  }
  if (h.frames < 0) return "the HTK header gives a negative number of vectors (" + std::to_string(h.frames) + ")";
  if (h.samplePeriod <= 0) return "the HTK header gives a sample period of " + std::to_string(h.samplePeriod);
  if (h.vectorBytes == 0 || h.vectorBytes % 4 != 0) {
    return "the HTK header gives " + std::to_string(h.vectorBytes) + " bytes per vector, not a multiple of 4";
  }
  const long long expected = 12LL + static_cast<long long>(h.frames) * h.vectorBytes;
  if (size != expected) {
    return "length " + std::to_string(size) + " bytes, but the HTK header promises 12 + " + std::to_string(h.frames) +
           " x " + std::to_string(h.vectorBytes) + " = " + std::to_string(expected);
  }
  return "";
}

std::string parmKindName(unsigned kind) {
  static const char* const kBase[] = {"WAVEFORM", "LPC",   "LPREFC", "LPCEPSTRA", "LPDELCEP", "IREFC",
                                      "MFCC",     "FBANK", "MELSPEC", "USER",     "DISCRETE", "PLP"};
  const unsigned base = kind & 0x3F;
  std::string name = base < sizeof kBase / sizeof kBase[0] ? kBase[base] : "unknown kind " + std::to_string(base);
  const struct {
    unsigned bit;
    const char* suffix;
  } qualifiers[] = {{0x40, "_E"},  {0x80, "_N"},  {0x100, "_D"},  {0x200, "_A"},
                    {0x400, "_C"}, {0x800, "_Z"}, {0x1000, "_K"}, {0x2000, "_0"}};
  for (const auto& q : qualifiers) {
    if (kind & q.bit) name += q.suffix;
  }
  return name;
}

std::string countedProblem(std::int32_t count, int values, const char* name, long long size) {
  if (size < 4) {
    return std::string("shorter than the 4-byte frame count of a ") + name + " file (" + std::to_string(size) +
           " bytes)";
  }
  if (count < 0) return std::string("as a ") + name + " file, a negative number of frames (" + std::to_string(count) + ")";
  const long long expected = 4LL + 4LL * values * count;
  if (size != expected) {
    return "length " + std::to_string(size) + " bytes, but " + std::to_string(count) + " frames of a " + name +
           " file need 4 + " + std::to_string(count) + " x " + std::to_string(4 * values) + " = " +
           std::to_string(expected);
  }
  return "";
}

const char* audioSignature(const unsigned char* head, std::size_t size) {
  const auto is = [&](std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    return size >= at + length && std::memcmp(head + at, text, length) == 0;
  };
  if (is(0, "RIFF") && is(8, "WAVE")) return "a WAV";
  if (is(0, "RF64") && is(8, "WAVE")) return "an RF64";
  if (is(0, "fLaC")) return "a FLAC";
  if (is(0, "OggS")) return "an Ogg";
  if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) return "an AIFF";
  if (is(0, "FORM")) return "an IFF";
  if (is(0, "ID3")) return "an MP3 (ID3 tag)";
  // An MPEG audio frame header: 11 sync bits, a version, layer, bit rate
  // and sample rate that are not the reserved values.
  if (size >= 3 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x18) != 0x08 &&
      (head[1] & 0x06) != 0 && (head[2] & 0xF0) != 0xF0 && (head[2] & 0x0C) != 0x0C) {
    return "an MP3 (MPEG audio)";
  }
  return nullptr;
}

namespace {

std::string matrixHeader(char kind, std::int32_t rows, std::int32_t columns) {
  unsigned char header[kKaldiMatrixHeaderBytes] = {'\0', 'B', static_cast<unsigned char>(kind), 'M', ' ', 4, 0, 0, 0, 0, 4, 0, 0, 0, 0};
  storeLittleEndian32(header + 6, static_cast<std::uint32_t>(rows));
  storeLittleEndian32(header + 11, static_cast<std::uint32_t>(columns));
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

}  // namespace

std::string kaldiMatrixHeader(std::int32_t rows, std::int32_t columns) { return matrixHeader('F', rows, columns); }

std::string kaldiMatrixEntry(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns) {
  std::string entry = key + ' ' + kaldiMatrixHeader(rows, columns);
  const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
  const std::size_t start = entry.size();
  entry.resize(start + 4 * count);
  unsigned char* out = reinterpret_cast<unsigned char*>(&entry[start]);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &values[i], 4);
    storeLittleEndian32(out + 4 * i, bits);
  }
  return entry;
}

std::string kaldiTextMatrixEntry(const std::string& key, const float* values, std::int32_t rows, std::int32_t columns) {
  if (rows == 0 || columns == 0) return key + "  [ ]\n";
  std::string entry = key + "  [";
  char value[32];
  for (std::int32_t r = 0; r < rows; ++r) {
    entry += "\n  ";
    for (std::int32_t c = 0; c < columns; ++c) {
      std::snprintf(value, sizeof value, "%.9g ", static_cast<double>(values[static_cast<std::size_t>(r) * columns + c]));
      entry += value;
    }
  }
  return entry + "]\n";
}

std::string kaldiDoubleMatrix(const double* values, std::int32_t rows, std::int32_t columns) {
  std::string matrix = matrixHeader('D', rows, columns);
  const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, &values[i], 8);
    unsigned char le[8];
    storeLittleEndian32(le, static_cast<std::uint32_t>(bits));
    storeLittleEndian32(le + 4, static_cast<std::uint32_t>(bits >> 32));
    matrix.append(reinterpret_cast<const char*>(le), 8);
  }
  return matrix;
}

std::string samplePeriodProblem(long long period) {
  if (period > 0 && period <= 0x7FFFFFFF) return "";
  return "the sample period of an HTK file is positive (100 ns units), not " + std::to_string(period);
}

std::string kaldiKeyProblem(const std::string& key) {
  if (key.empty()) return "an empty key";
  for (const unsigned char c : key) {
    if (c <= ' ' || c == 0x7F) return "a key with white space or a control byte";
  }
  return "";
}

KaldiMatrixHeader decodeKaldiMatrixHeader(const unsigned char* in, std::size_t size, std::string& problem) {
  KaldiMatrixHeader h;
  if (size < 2 || in[0] != '\0' || in[1] != 'B') {
    problem = "not a binary entry (no \\0B after the key)";
    return h;
  }
  if (size < kKaldiMatrixHeaderBytes) {
    problem = "the entry ends inside its header";
    return h;
  }
  if (std::memcmp(in + 2, "FM ", 3) != 0) {
    const std::string token(reinterpret_cast<const char*>(in + 2), 3);
    problem = token.rfind("CM", 0) == 0 ? "a compressed matrix (lossy: not exact features)"
              : token == "DM " ? "a double matrix, not float"
                               : "not a float matrix (token '" + token + "')";
    return h;
  }
  if (in[5] != 4 || in[10] != 4) {
    problem = "its sizes are not 4-byte integers";
    return h;
  }
  h.rows = static_cast<std::int32_t>(loadLittleEndian32(in + 6));
  h.columns = static_cast<std::int32_t>(loadLittleEndian32(in + 11));
  if (h.rows < 0 || h.columns < 0) problem = "a negative size";
  return h;
}

}  // namespace feature_files
