// feature-inspect: shows what a feature file holds and checks it.
//
//   feature-inspect [--frames FIRST:LAST] [--no-stats] FILE...
//
// FILE is an HTK parameter file (big-endian header of 12 bytes, then the
// vectors), or by its extension a cepstrum file (.C12: frame count, then 12
// values a frame) or an energy file (.ENG: frame count, then 1 value a
// frame), both little-endian. For each file it prints the header, checks
// that the length agrees with it, prints the chosen frames as text and, per
// dimension, the mean, standard deviation, minimum and maximum. A file that
// is not valid gets a message naming it and what is wrong; the exit status
// is then 1.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "standard_descriptors.h"

namespace {

constexpr const char* kUsage =
    "Usage: feature-inspect [--frames FIRST:LAST] [--no-stats] FILE...\n"
    "\n"
    "Shows the header of each feature file, checks that its length agrees with\n"
    "the header, prints the chosen frames as text, and per dimension the mean,\n"
    "standard deviation, minimum and maximum.\n"
    "\n"
    "  FILE               an HTK parameter file, or by its extension a .C12\n"
    "                     (cepstra) or .ENG (energy) file of the feature tool\n"
    "  --frames A:B       print frames A to B (counted from 0; A alone is one\n"
    "                     frame, A: runs to the end)\n"
    "  --no-stats         leave out the per-dimension statistics\n"
    "  -h, --help         show this help\n"
    "\n"
    "Exit status: 0 when every file is valid, 1 otherwise, 2 for wrong usage.\n";

struct Options {
  long firstFrame = -1;  // no frames printed
  long lastFrame = -1;   // -1: to the end
  bool stats = true;
  std::vector<std::string> files;
};

// Where a file's values are and how to read them; the values themselves are
// read from the file as they are needed, never all at once.
struct Features {
  std::string format;
  std::vector<std::string> header;  // lines describing the header
  long frames = 0;
  int dimensions = 0;
  long long offset = 0;  // of the first value
  bool bigEndian = true;
};

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

// The layout of an HTK file of size bytes from its first bytes (head holds
// min(12, size) of them); on failure returns why.
std::string readHtk(const unsigned char* head, long long size, Features& f) {
  f.format = "HTK parameter file";
  if (size < 12) return "shorter than the 12-byte HTK header (" + std::to_string(size) + " bytes)";
  const std::int32_t count = static_cast<std::int32_t>(bigEndian(&head[0]));
  const std::int32_t period = static_cast<std::int32_t>(bigEndian(&head[4]));
  const unsigned vectorSize = (unsigned{head[8]} << 8) | head[9];
  const unsigned kind = (unsigned{head[10]} << 8) | head[11];
  char line[160];
  std::snprintf(line, sizeof line, "vectors: %d", count);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "sample period: %d (%g ms)", period, period / 1e4);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "bytes per vector: %u (%u values)", vectorSize, vectorSize / 4);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "parameter kind: %u (%s)", kind, parameterKind(kind).c_str());
  f.header.push_back(line);
  if (count < 0) return "the header gives a negative number of vectors (" + std::to_string(count) + ")";
  if (period <= 0) return "the header gives a sample period of " + std::to_string(period);
  if (vectorSize == 0 || vectorSize % 4 != 0) {
    return "the header gives " + std::to_string(vectorSize) + " bytes per vector, not a multiple of 4";
  }
  const long long expected = 12LL + static_cast<long long>(count) * vectorSize;
  if (size != expected) {
    return "length " + std::to_string(size) + " bytes, but the header promises 12 + " + std::to_string(count) +
           " x " + std::to_string(vectorSize) + " = " + std::to_string(expected);
  }
  f.frames = count;
  f.dimensions = static_cast<int>(vectorSize / 4);
  f.offset = 12;
  f.bigEndian = true;
  return "";
}

std::string readLittleEndian(const unsigned char* head, long long size, int dimensions, Features& f) {
  if (size < 4) return "shorter than its 4-byte frame count (" + std::to_string(size) + " bytes)";
  const std::int32_t count = static_cast<std::int32_t>(littleEndian(&head[0]));
  f.header.push_back("frames: " + std::to_string(count));
  f.header.push_back("values per frame: " + std::to_string(dimensions));
  if (count < 0) return "the header gives a negative number of frames (" + std::to_string(count) + ")";
  const long long expected = 4LL + 4LL * dimensions * count;
  if (size != expected) {
    return "length " + std::to_string(size) + " bytes, but " + std::to_string(count) + " frames need 4 + " +
           std::to_string(count) + " x " + std::to_string(4 * dimensions) + " = " + std::to_string(expected);
  }
  f.frames = count;
  f.dimensions = dimensions;
  f.offset = 4;
  f.bigEndian = false;
  return "";
}

// Reads frames [first, first + count) of the file a block at a time and
// hands each frame's values to use. Returns the reason on a read error.
template <typename Use>
std::string forEachFrame(std::FILE* file, const Features& f, long first, long count, Use use) {
  const long long rowBytes = 4LL * f.dimensions;
  if (fseeko(file, f.offset + first * rowBytes, SEEK_SET) != 0) return std::strerror(errno);
  const long rowsPerBlock = std::max(1L, static_cast<long>((1 << 16) / rowBytes));
  std::vector<unsigned char> block(static_cast<std::size_t>(rowsPerBlock * rowBytes));
  std::vector<float> row(static_cast<std::size_t>(f.dimensions));
  for (long done = 0; done < count;) {
    const long rows = std::min(rowsPerBlock, count - done);
    const std::size_t bytes = static_cast<std::size_t>(rows * rowBytes);
    if (std::fread(block.data(), 1, bytes, file) != bytes) {
      return std::ferror(file) ? std::strerror(errno) : "the file ended early (was it changed meanwhile?)";
    }
    for (long r = 0; r < rows; ++r) {
      const unsigned char* p = block.data() + r * rowBytes;
      for (int d = 0; d < f.dimensions; ++d) {
        row[d] = toFloat(f.bigEndian ? bigEndian(p + 4 * d) : littleEndian(p + 4 * d));
      }
      use(first + done + r, row);
    }
    done += rows;
  }
  return "";
}

std::string printFrames(std::FILE* file, const Features& f, const Options& options) {
  if (options.firstFrame < 0 || options.firstFrame >= f.frames) return "";
  const long last = options.lastFrame < 0 || options.lastFrame >= f.frames ? f.frames - 1 : options.lastFrame;
  return forEachFrame(file, f, options.firstFrame, last - options.firstFrame + 1,
                      [&](long t, const std::vector<float>& row) {
                        std::printf("  frame %ld:", t);
                        for (const float v : row) std::printf(" %g", v);
                        std::printf("\n");
                      });
}

std::string printStats(std::FILE* file, const Features& f) {
  if (f.frames == 0) {
    std::printf("  no frames: no statistics (readers of HTK files refuse such a file)\n");
    return "";
  }
  const std::size_t n = static_cast<std::size_t>(f.dimensions);
  std::vector<double> sum(n, 0.0), squares(n, 0.0);
  std::vector<double> low(n, std::numeric_limits<double>::infinity()), high(n, -std::numeric_limits<double>::infinity());
  long notFinite = 0;
  const std::string problem = forEachFrame(file, f, 0, f.frames, [&](long, const std::vector<float>& row) {
    for (std::size_t d = 0; d < n; ++d) {
      const double v = row[d];
      if (!std::isfinite(v)) ++notFinite;
      sum[d] += v;
      squares[d] += v * v;
      low[d] = std::fmin(low[d], v);
      high[d] = std::fmax(high[d], v);
    }
  });
  if (!problem.empty()) return problem;
  std::printf("  %9s %14s %14s %14s %14s\n", "dimension", "mean", "std dev", "minimum", "maximum");
  for (std::size_t d = 0; d < n; ++d) {
    const double mean = sum[d] / f.frames;
    const double deviation = std::sqrt(std::fmax(0.0, squares[d] / f.frames - mean * mean));
    std::printf("  %9zu %14.6g %14.6g %14.6g %14.6g\n", d, mean, deviation, low[d], high[d]);
  }
  if (notFinite > 0) std::printf("  %ld values are NaN or infinite\n", notFinite);
  return "";
}

bool fail(const std::string& path, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "feature-inspect: %s: %s\n", path.c_str(), what.c_str());
  return false;
}

// Checks one file: its header and length from the first bytes and the
// file's size, then only the frames asked for and, for the statistics, one
// pass over the values a block at a time.
bool inspect(const std::string& path, const Options& options) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return fail(path, std::string("cannot be opened: ") + std::strerror(errno));
  struct FileCloser {
    std::FILE* file;
    ~FileCloser() { std::fclose(file); }
  } closer{file};
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return fail(path, std::string("cannot be read: ") + std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return fail(path, "cannot be read: it is a directory");
  if (!S_ISREG(info.st_mode)) return fail(path, "cannot be read: not a regular file");
  const long long size = info.st_size;
  unsigned char head[12] = {};
  // Read even when the size says 0: some files (under /proc) have no size
  // and fail only when read.
  const std::size_t got = std::fread(head, 1, sizeof head, file);
  if (std::ferror(file)) return fail(path, std::string("cannot be read: ") + std::strerror(errno));
  if (static_cast<long long>(got) != std::min<long long>(size, sizeof head)) {
    return fail(path, "cannot be read: its length changed while it was read");
  }

  Features f;
  std::string problem;
  if (endsWith(path, ".C12")) {
    f.format = "cepstrum file (.C12, little-endian, c1..c12 a frame)";
    problem = readLittleEndian(head, size, 12, f);
  } else if (endsWith(path, ".ENG")) {
    f.format = "energy file (.ENG, little-endian, energy in dB a frame)";
    problem = readLittleEndian(head, size, 1, f);
  } else {
    problem = readHtk(head, size, f);
  }
  std::printf("%s: %s\n", path.c_str(), f.format.c_str());
  for (const auto& line : f.header) std::printf("  %s\n", line.c_str());
  if (!problem.empty()) return fail(path, "not a valid file: " + problem);
  std::printf("  length: %lld bytes, as the header says\n", size);
  problem = printFrames(file, f, options);
  if (problem.empty() && options.stats) problem = printStats(file, f);
  if (!problem.empty()) return fail(path, "cannot be read: " + problem);
  return true;
}

bool parseFrames(const char* text, Options& options) {
  char* end = nullptr;
  options.firstFrame = std::strtol(text, &end, 10);
  if (end == text || options.firstFrame < 0) return false;
  if (*end == '\0') {
    options.lastFrame = options.firstFrame;
    return true;
  }
  if (*end != ':') return false;
  const char* rest = end + 1;
  if (*rest == '\0') {
    options.lastFrame = -1;
    return true;
  }
  options.lastFrame = std::strtol(rest, &end, 10);
  return end != rest && *end == '\0' && options.lastFrame >= options.firstFrame;
}

}  // namespace

int main(int argc, char** argv) {
  if (!openStandardDescriptors()) return 1;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--no-stats") {
      options.stats = false;
    } else if (arg == "--frames" || arg == "-f") {
      if (i + 1 >= argc || !parseFrames(argv[++i], options)) {
        std::fprintf(stderr, "feature-inspect: --frames needs FIRST:LAST, FIRST: or FIRST\n");
        return 2;
      }
    } else if (arg.rfind("--frames=", 0) == 0) {
      if (!parseFrames(arg.c_str() + 9, options)) {
        std::fprintf(stderr, "feature-inspect: --frames needs FIRST:LAST, FIRST: or FIRST\n");
        return 2;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "feature-inspect: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  bool allValid = true;
  for (const auto& file : options.files) allValid = inspect(file, options) && allValid;
  return allValid ? 0 : 1;
}
