#include "feature_file.h"

#include "feature_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

float toFloat(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    r.problem = feature_files::htkProblem({}, size);
    return r;
  }
  const feature_files::HtkHeader h = feature_files::decodeHtkHeader(head);
  const std::int32_t count = h.frames;
  const std::int32_t period = h.samplePeriod;
  const unsigned vectorSize = h.vectorBytes;
  const unsigned kind = h.parmKind;
  char line[160];
  std::snprintf(line, sizeof line, "vectors: %d", count);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "sample period: %d (%g ms)", period, period / 1e4);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "bytes per vector: %u (%u values)", vectorSize, vectorSize / 4);
  r.header.push_back(line);
  std::snprintf(line, sizeof line, "parameter kind: %u (%s)", kind, feature_files::parmKindName(kind).c_str());
  r.header.push_back(line);
  r.problem = feature_files::htkProblem(h, size);
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
    r.problem = feature_files::countedProblem(0, dimensions, name, size);
    return r;
  }
  const std::int32_t count = static_cast<std::int32_t>(feature_files::loadLittleEndian32(&head[0]));
  r.header.push_back("frames: " + std::to_string(count));
  r.header.push_back("values per frame: " + std::to_string(dimensions));
  r.problem = feature_files::countedProblem(count, dimensions, name, size);
  r.frames = count;
  r.dimensions = dimensions;
  r.offset = 4;
  r.bigEndian = false;
  return r;
}

}  // namespace

std::string knownSignature(const unsigned char* head, std::size_t size) {
  if (const char* audio = feature_files::audioSignature(head, size)) {
    const std::string kind = audio;
    if (kind == "an Ogg") return "an Ogg file";
    if (kind == "an AIFF" || kind == "an IFF") return "an AIFF (IFF) file";
    return kind + " audio file";
  }
  const auto is = [&](const char* text) {
    const std::size_t length = std::strlen(text);
    return size >= length && std::memcmp(head, text, length) == 0;
  };
  if (is("\x89PNG")) return "a PNG image";
  if (is("\x7f" "ELF")) return "a program (ELF)";
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

bool FeatureFile::openMatrix(const std::string& path, long long offset, long long rows, int columns,
                             const std::string& format, const std::vector<std::string>& header, std::string& problem) {
  file_ = std::fopen(path.c_str(), "rb");
  struct stat info;
  if (file_ == nullptr || fstat(fileno(file_), &info) != 0) {
    problem = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  if (rows < 0 || columns <= 0 || offset < 0 || offset + rows * 4LL * columns > info.st_size) {
    problem = "its " + std::to_string(rows) + " x " + std::to_string(columns) + " values at byte " +
              std::to_string(offset) + " run past the end of the file (" + std::to_string(info.st_size) + " bytes)";
    return false;
  }
  kind_ = FileKind::kMatrix;
  format_ = format;
  header_ = header;
  frames_ = static_cast<long>(rows);
  dimensions_ = columns;
  size_ = info.st_size;
  offset_ = offset;
  bigEndian_ = false;
  return true;
}

void FeatureFile::keepFrames(long first, long count) {
  first = std::min(std::max(first, 0L), frames_);
  count = std::min(std::max(count, 0L), frames_ - first);
  offset_ += static_cast<long long>(first) * 4 * dimensions_;
  firstFrame_ += first;
  frames_ = count;
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
        row[d] = toFloat(bigEndian_ ? feature_files::loadBigEndian32(p + 4 * d)
                                    : feature_files::loadLittleEndian32(p + 4 * d));
      }
      use(first + done + r, row);
    }
    done += rows;
  }
  return "";
}
