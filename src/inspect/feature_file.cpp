#include "feature_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::uint32_t bigEndian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint32_t littleEndian(const unsigned char* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

float toFloat(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string parameterKind(unsigned kind) {
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

// One way of reading the file: its layout when the file fits it, or why
// it does not.
struct Reading {
  std::string problem;  // "" when the file fits
  FileKind kind = FileKind::kHtk;
  std::string format;
  std::vector<std::string> header;
  long frames = 0;
  int dimensions = 0;
  long long offset = 0;
  bool bigEndian = true;
  std::int32_t samplePeriod = 100000;
};

Reading asHtk(const unsigned char* head, long long size) {
  Reading r;
  r.kind = FileKind::kHtk;
  r.format = "HTK parameter file";
  if (size < 12) {
    r.problem = "shorter than the 12-byte HTK header (" + std::to_string(size) + " bytes)";
    return r;
  }
  const std::int32_t count = static_cast<std::int32_t>(bigEndian(&head[0]));
  const std::int32_t period = static_cast<std::int32_t>(bigEndian(&head[4]));
  const unsigned vectorSize = (unsigned{head[8]} << 8) | head[9];
  const unsigned kind = (unsigned{head[10]} << 8) | head[11];
  char line[160];
  std::snprintf(line, sizeof line, "vectors: %d", count);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "sample period: %d (%g ms)", period, period / 1e4);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "bytes per vector: %u (%u values)", vectorSize, vectorSize / 4);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "parameter kind: %u (%s)", kind, parameterKind(kind).c_str());
  r.header.push_back(line);
  const long long expected = 12LL + static_cast<long long>(count) * vectorSize;
  if (count < 0) {
    r.problem = "the HTK header gives a negative number of vectors (" + std::to_string(count) + ")";
  } else if (period <= 0) {
    r.problem = "the HTK header gives a sample period of " + std::to_string(period);
  } else if (vectorSize == 0 || vectorSize % 4 != 0) {
    r.problem = "the HTK header gives " + std::to_string(vectorSize) + " bytes per vector, not a multiple of 4";
  } else if (size != expected) {
    r.problem = "length " + std::to_string(size) + " bytes, but the HTK header promises 12 + " +
                std::to_string(count) + " x " + std::to_string(vectorSize) + " = " + std::to_string(expected);
  }
  r.frames = count;
  r.dimensions = static_cast<int>(vectorSize / 4);
  r.offset = 12;
  r.bigEndian = true;
  r.samplePeriod = period;
  return r;
}

Reading asLittleEndian(const unsigned char* head, long long size, FileKind kind) {
  Reading r;
  r.kind = kind;
  const int dimensions = kind == FileKind::kCepstra ? 12 : 1;
  const char* name = kind == FileKind::kCepstra ? ".C12" : ".ENG";
  r.format = kind == FileKind::kCepstra ? "cepstrum file (.C12, little-endian, c1..c12 a frame)"
                                        : "energy file (.ENG, little-endian, energy in dB a frame)";
  if (size < 4) {
    r.problem = std::string("shorter than the 4-byte frame count of a ") + name + " file (" +
                std::to_string(size) + " bytes)";
    return r;
  }
  const std::int32_t count = static_cast<std::int32_t>(littleEndian(&head[0]));
  r.header.push_back("frames: " + std::to_string(count));
  r.header.push_back("values per frame: " + std::to_string(dimensions));
  const long long expected = 4LL + 4LL * dimensions * count;
  if (count < 0) {
    r.problem = std::string("as a ") + name + " file, a negative number of frames (" + std::to_string(count) + ")";
  } else if (size != expected) {
    r.problem = "length " + std::to_string(size) + " bytes, but " + std::to_string(count) + " frames of a " + name +
                " file need 4 + " + std::to_string(count) + " x " + std::to_string(4 * dimensions) + " = " +
                std::to_string(expected);
  }
  r.frames = count;
  r.dimensions = dimensions;
  r.offset = 4;
  r.bigEndian = false;
  return r;
}

}  // namespace

std::string knownSignature(const unsigned char* head, std::size_t size) {
  const auto is = [&](std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    return size >= at + length && std::memcmp(head + at, text, length) == 0;
  };
  if (is(0, "RIFF") && is(8, "WAVE")) return "a WAV audio file";
  if (is(0, "RF64")) return "an RF64 audio file";
  if (is(0, "fLaC")) return "a FLAC audio file";
  if (is(0, "OggS")) return "an Ogg file";
  if (is(0, "FORM")) return "an AIFF (IFF) file";
  if (is(0, "\x89PNG")) return "a PNG image";
  if (is(0, "\x7f" "ELF")) return "a program (ELF)";
  return "";
}

FeatureFile::~FeatureFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FeatureFile::open(const std::string& path, std::string& problem) {
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    problem = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fileno(file_), &info) != 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    problem = "cannot be read: it is a directory";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    problem = "cannot be read: not a regular file";
    return false;
  }
  size_ = info.st_size;
  // Read even when the size says 0: some files (under /proc) have no size
  // and fail only when read.
  unsigned char head[12] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, file_);
  if (std::ferror(file_)) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (static_cast<long long>(got) != std::min<long long>(size_, sizeof head)) {
    problem = "cannot be read: its length changed while it was read";
    return false;
  }

  const Reading htk = asHtk(head, size_);
  const Reading cepstra = asLittleEndian(head, size_, FileKind::kCepstra);
  const Reading energy = asLittleEndian(head, size_, FileKind::kEnergy);
  const bool c12Name = endsWith(path, ".C12");
  const bool engName = endsWith(path, ".ENG");
  const Reading* chosen = nullptr;
  if (c12Name || engName) {
    const Reading& named = c12Name ? cepstra : energy;
    const Reading& other = c12Name ? energy : cepstra;
    if (named.problem.empty()) {
      chosen = &named;
      if (htk.problem.empty() || other.problem.empty()) {
        assumption_ = std::string("taken as a ") + (c12Name ? ".C12" : ".ENG") +
                      " file by its name; its length would fit another kind too";
      }
    } else if (htk.problem.empty()) {
      chosen = &htk;
      assumption_ = std::string("an HTK parameter file, although its name ends in ") + (c12Name ? ".C12" : ".ENG");
    } else {
      problem = "not a valid " + std::string(c12Name ? ".C12" : ".ENG") + " file: " + named.problem;
      return false;
    }
  } else if (htk.problem.empty()) {
    chosen = &htk;
  } else if (cepstra.problem.empty() && energy.problem.empty()) {
    chosen = &cepstra;
    assumption_ = "an empty .C12 or .ENG file (a frame count of 0), taken as .C12";
  } else if (cepstra.problem.empty() || energy.problem.empty()) {
    chosen = cepstra.problem.empty() ? &cepstra : &energy;
    assumption_ = std::string("recognised as a ") + (chosen == &cepstra ? ".C12" : ".ENG") +
                  " file by its layout (frame count and length), not by its name";
  } else {
    const std::string signature = knownSignature(head, got);
    problem = "not a feature file: " + (signature.empty() ? htk.problem : "it is " + signature);
    return false;
  }
  kind_ = chosen->kind;
  format_ = chosen->format;
  header_ = chosen->header;
  frames_ = chosen->frames;
  dimensions_ = chosen->dimensions;
  offset_ = chosen->offset;
  bigEndian_ = chosen->bigEndian;
  samplePeriod_ = chosen->samplePeriod;
  return true;
}

std::string FeatureFile::label(int d) const {
  if (kind_ == FileKind::kEnergy) return "energy";
  if (kind_ == FileKind::kCepstra) return "c" + std::to_string(d + 1);
  if (dimensions_ != 39) return std::to_string(d);
  static const char* const kOrder[] = {"", "\u0394", "\u0394\u0394"};
  const int within = d % 13;
  return std::string(kOrder[d / 13]) + (within == 12 ? "C0" : "c" + std::to_string(within + 1));
}

std::string FeatureFile::forEachFrame(long first, long count,
                                      const std::function<void(long, const std::vector<float>&)>& use) const {
  const long long rowBytes = 4LL * dimensions_;
  if (count <= 0) return "";
  if (fseeko(file_, offset_ + first * rowBytes, SEEK_SET) != 0) return std::strerror(errno);
  const long rowsPerBlock = std::max(1L, static_cast<long>((1 << 16) / rowBytes));
  std::vector<unsigned char> block(static_cast<std::size_t>(rowsPerBlock * rowBytes));
  std::vector<float> row(static_cast<std::size_t>(dimensions_));
  for (long done = 0; done < count;) {
    const long rows = std::min(rowsPerBlock, count - done);
    const std::size_t bytes = static_cast<std::size_t>(rows * rowBytes);
    if (std::fread(block.data(), 1, bytes, file_) != bytes) {
      return std::ferror(file_) ? std::strerror(errno) : "the file ended early (was it changed meanwhile?)";
    }
    for (long r = 0; r < rows; ++r) {
      const unsigned char* p = block.data() + r * rowBytes;
      for (int d = 0; d < dimensions_; ++d) {
        row[d] = toFloat(bigEndian_ ? bigEndian(p + 4 * d) : littleEndian(p + 4 * d));
      }
      use(first + done + r, row);
    }
    done += rows;
  }
  return "";
}
