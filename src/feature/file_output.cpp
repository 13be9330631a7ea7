// Feature files: the HTK parameter file of the batch pipeline, the cepstrum
// and energy files, and the directories on their paths.
//
// A file never stands under its final name unless it was written completely
// (kit::OutputFile): it is written to a temporary file in the same directory
// and renamed over the final name, so that a full disk, a killed process or
// a concurrent reader never sees half a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "feature.h"
#include "feature_files.h"
#include "output_file.h"

// The bytes of a feature file: a short header, then from each of rowCount
// rows of floats (rowStride apart) its first valuesPerRow values, each as
// four bytes in the file's byte order.
struct FloatFile {
  std::vector<unsigned char> header;
  const float* rows = nullptr;
  std::size_t rowCount = 0;
  std::size_t rowStride = 0;
  std::size_t valuesPerRow = 0;
  bool bigEndian = false;
};

namespace {

using namespace feature_files;

// The header, then the values a chunk at a time, each stored in the file's
// byte order into a buffer that is then written. No copy of the whole file
// is ever held.
bool writeContent(kit::OutputFile& file, const FloatFile& content) {
  if (!file.write(content.header.data(), content.header.size())) return false;
  constexpr std::size_t kChunkBytes = std::size_t{1} << 16;
  unsigned char chunk[kChunkBytes];
  std::size_t used = 0;
  const std::size_t rowBytes = content.valuesPerRow * 4;
  for (std::size_t r = 0; r < content.rowCount; ++r) {
    if (used + rowBytes > kChunkBytes) {
      if (!file.write(chunk, used)) return false;
      used = 0;
    }
    const float* row = content.rows + r * content.rowStride;
    for (std::size_t v = 0; v < content.valuesPerRow; ++v, used += 4) {
      std::uint32_t bits;
      std::memcpy(&bits, row + v, 4);
      if (content.bigEndian) {
        storeBigEndian32(chunk + used, bits);
      } else {
        storeLittleEndian32(chunk + used, bits);
      }
    }
  }
  return file.write(chunk, used);
}

// Writes content as the output file path (see kit::OutputFile: a regular
// file is replaced whole, a device or FIFO written into, a link followed).
// Returns false, with failure (if not null) saying why, when the file could
// not be written completely; nothing is then left under a temporary name.
bool writeFileAtomically(const std::string& path, const FloatFile& content, Problem* failure) {
  kit::OutputFile file;
  if (file.open(path) && writeContent(file, content) && file.commit()) return true;
  const kit::OutputError& e = file.error();
  if (failure != nullptr) {
    *failure = {e.creating ? ProblemKind::kCannotCreate : ProblemKind::kCannotWrite, e.path, e.error, e.reason};
  }
  return false;
}

// The directory part of path (up to its last separator), or -1 without one.
long directoryLength(const char* path) {
  const char* lastSeparator = nullptr;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') lastSeparator = c;
  }
  return lastSeparator == nullptr ? -1 : lastSeparator - path;
}

}  // namespace

void removeTemporaryFiles() { kit::removeTemporaries(); }

std::int16_t qualifiedParmKind(std::int32_t normType) {
  const int kind = kParmMfcc | kQualifierC0 | kQualifierDelta | kQualifierAcceleration |
                   (normType == 0 || normType == 1 ? kQualifierZeroMean : 0);
  return static_cast<std::int16_t>(kind);
}

// Creates the directories of path and writes the file. When the directory
// was only remembered as existing and the write fails, it may have been
// removed since: the directories are made again and the write retried once.
bool FEATURE::writeFeatureFile(const char* path, const FloatFile& content) {
  const bool remembered = inKnownDirectory(path);
  MakeDirectory(path);
  Problem failure{ProblemKind::kCannotWrite, path};
  if (writeFileAtomically(path, content, &failure)) return true;
  knownDirectory.clear();
  if (remembered) {
    MakeDirectory(path);
    if (writeFileAtomically(path, content, &failure)) return true;
  }
  report(failure);
  return false;
}

bool FEATURE::inKnownDirectory(const char* path) const {
  const long length = directoryLength(path);
  return length >= 0 && knownDirectory.size() == static_cast<std::size_t>(length) &&
         knownDirectory.compare(0, knownDirectory.size(), path, knownDirectory.size()) == 0;
}

namespace {

// An HTK parameter file of frames vectors of dimensions floats: the 12-byte
// big-endian header, then each value most significant byte first (the
// vectors themselves stay in host order).
FloatFile htkFile(const float* vectors, std::size_t frames, int dimensions, std::int32_t samplePeriod,
                  std::int16_t parmKind) {
  FloatFile file;
  file.header.resize(kHtkHeaderBytes);
  HtkHeader header;
  header.frames = static_cast<std::int32_t>(frames);
  header.samplePeriod = samplePeriod;
  header.vectorBytes = static_cast<std::uint16_t>(4 * dimensions);
  header.parmKind = static_cast<std::uint16_t>(parmKind);
  encodeHtkHeader(header, file.header.data());
  file.rows = vectors;
  file.rowCount = frames;
  file.rowStride = static_cast<std::size_t>(dimensions);
  file.valuesPerRow = static_cast<std::size_t>(dimensions);
  file.bigEndian = true;
  return file;
}

}  // namespace

bool FEATURE::outputPath(char (&path)[kPathCapacity], const char* name, const char* ext) const {
  const char* directory = std::strcmp(ext, "ENG") == 0 ? OUT_EC_DIR : OUT_C12_DIR;
  const int length = settings.exactOutputNames && std::strcmp(ext, outExt) == 0
                         ? std::snprintf(path, sizeof path, "%s/%s", directory, name)
                         : std::snprintf(path, sizeof path, "%s/%s.%s", directory, name, ext);
  return length >= 0 && length < kPathCapacity;
}

bool FEATURE::reportedOutputPath(char (&path)[kPathCapacity], const char* name, const char* ext) {
  if (outputPath(path, name, ext)) return true;
  report({ProblemKind::kPathTooLong, name, 0, ext, kPathCapacity - 1});
  return false;
}

int FEATURE::OutputFeatureHTKFormat(const char* name, const char* ext) {
  char path[kPathCapacity];
  if (!reportedOutputPath(path, name, ext)) return 0;
  const FloatFile file = htkFile(outData.data(), static_cast<std::size_t>(totalFrame), outDim(), kSamplePeriod, settings.htkParmKind);
  return writeFeatureFile(path, file) ? 1 : 0;
}

bool writeHtkFile(const std::string& path, const float* vectors, std::size_t frames, int dimensions,
                  std::int32_t samplePeriod, std::int16_t parmKind, Problem* failure) {
  return writeFileAtomically(path, htkFile(vectors, frames, dimensions, samplePeriod, parmKind), failure);
}

namespace {

// The first bytes of the regular file at path and its size; false when it
// cannot be read or is no regular file.
bool readHead(const std::string& path, unsigned char* head, std::size_t count, long long& size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (read) {
    size = static_cast<long long>(info.st_size);
    read = pread(fd, head, count, 0) == static_cast<ssize_t>(count);
  }
  close(fd);
  return read;
}

}  // namespace

// The frame count of the file at path when it is one of the files this run
// writes under ext (the HTK file with this run's header, or a .C12/.ENG
// file), its length agreeing; -1 otherwise.
std::int64_t FEATURE::ownFileFrames(const char* path, const char* ext) const {
  unsigned char head[kHtkHeaderBytes];
  long long size = 0;
  if (std::strcmp(ext, "C12") == 0 || std::strcmp(ext, "ENG") == 0) {
    const int values = std::strcmp(ext, "C12") == 0 ? kCepstrumValues : kEnergyValues;
    if (!readHead(path, head, 4, size)) return -1;
    const auto count = static_cast<std::int32_t>(loadLittleEndian32(head));
    return countedProblem(count, values, ext, size).empty() ? count : -1;
  }
  if (!readHead(path, head, sizeof head, size)) return -1;
  const HtkHeader h = decodeHtkHeader(head);
  const bool ours = htkProblem(h, size).empty() && h.samplePeriod == kSamplePeriod && h.vectorBytes == 4 * outDim() &&
                    static_cast<std::int16_t>(h.parmKind) == settings.htkParmKind;
  return ours ? h.frames : -1;
}

bool FEATURE::outputComplete(const char* name, const char* recording) const {
  // The frames the recording gives: a file of another count (a header-only
  // file standing for a recording that gives frames) is not done; when the
  // count cannot be known, neither is the file.
  const std::int64_t samples = recordingSampleCount(recording);
  if (samples < 0) return false;
  const std::int64_t frames = getTotalFrame(static_cast<std::int32_t>(std::min<std::int64_t>(samples, kMaxSamples)));
  std::vector<const char*> extensions{outExt};
  if (settings.writeCepstrumFiles) extensions.insert(extensions.end(), {"C12", "ENG"});
  for (const char* ext : extensions) {
    char path[kPathCapacity];
    if (!outputPath(path, name, ext) || ownFileFrames(path, ext) != frames) return false;
  }
  return true;
}

void FEATURE::removeOutput(const char* name) {
  const auto remove = [&](const char* ext) {
    char path[kPathCapacity];
    struct stat info;
    if (!outputPath(path, name, ext) || lstat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
      return;
    }
    // Only a file of this tool's, of this run's kind: anything else at the
    // name (a recording named as the target of a pair) stays.
    if (ownFileFrames(path, ext) < 0) {
      report({ProblemKind::kLeftUnknownFile, path});
    } else if (unlink(path) == 0) {
      report({ProblemKind::kRemovedEarlierFile, path});
    } else {
      report({ProblemKind::kCannotRemove, path, errno});
    }
  };
  remove(outExt);
  if (settings.writeCepstrumFiles) {
    remove("C12");
    remove("ENG");
  }
}

// Headerless little-endian files: the frame count, then 12 cepstra (no C0)
// per frame in the .C12 file and one energy per frame in the .ENG file.
int FEATURE::OutputFeature(const char* name) {
  FloatFile file;
  file.header.resize(4);
  storeLittleEndian32(file.header.data(), static_cast<std::uint32_t>(totalFrame));
  file.rowCount = static_cast<std::size_t>(totalFrame);

  char path[kPathCapacity];
  if (!reportedOutputPath(path, name, "C12")) return 0;
  file.rows = cepData.data();
  file.rowStride = kCepDim;
  file.valuesPerRow = kNumCeps;
  if (!writeFeatureFile(path, file)) {
    say("open C12 to write ERROR : %s\n", path);
    return 0;
  }

  if (!reportedOutputPath(path, name, "ENG")) return 0;
  file.rows = frameEng.data();
  file.rowStride = 1;
  file.valuesPerRow = 1;
  if (!writeFeatureFile(path, file)) {
    say("open ENG to write ERROR : %s\n", path);
    return 0;
  }
  return 1;
}

// Walks the path and creates, outermost first, each missing directory named
// by the part before a separator ("/" or "\\"); an empty prefix (the root of
// an absolute path) is skipped. No shell is involved and the working
// directory never changes. A directory that appears between the test and
// the creation (another process writing into the same tree) is no failure;
// one that cannot be created shows as the writer's failure to open its file.
int FEATURE::MakeDirectory(const char* path) {
  if (inKnownDirectory(path)) return 1;

  std::string prefix;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] != '/' && path[i] != '\\') continue;
    if (i == 0) continue;
    prefix.assign(path, i);
    struct stat info;
    if (stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      report({ProblemKind::kCannotCreateDirectory, prefix, errno});
      knownDirectory.clear();
      return 1;
    }
  }
  const long length = directoryLength(path);
  if (length >= 0) knownDirectory.assign(path, static_cast<std::size_t>(length));
  return 1;
}

void FEATURE::byteSwapShort(std::int16_t* value) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(value);
  std::swap(bytes[0], bytes[1]);
}

void FEATURE::byteSwapInt(std::int32_t* value) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(value);
  std::swap(bytes[0], bytes[3]);
  std::swap(bytes[1], bytes[2]);
}

void FEATURE::byteSwapArray(float* values, int n) {
  for (int i = 0; i < n; ++i) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(values + i);
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
  }
}
