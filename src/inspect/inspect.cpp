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
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

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

struct Features {
  std::string format;
  std::vector<std::string> header;  // lines describing the header
  long frames = 0;
  int dimensions = 0;
  std::vector<float> values;  // frames x dimensions
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

// Reads the file into f; on failure returns why.
std::string readHtk(const std::vector<unsigned char>& bytes, Features& f) {
  f.format = "HTK parameter file";
  if (bytes.size() < 12) return "shorter than the 12-byte HTK header (" + std::to_string(bytes.size()) + " bytes)";
  const std::int32_t count = static_cast<std::int32_t>(bigEndian(&bytes[0]));
  const std::int32_t period = static_cast<std::int32_t>(bigEndian(&bytes[4]));
  const unsigned size = (unsigned{bytes[8]} << 8) | bytes[9];
  const unsigned kind = (unsigned{bytes[10]} << 8) | bytes[11];
  char line[160];
  std::snprintf(line, sizeof line, "vectors: %d", count);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "sample period: %d (%g ms)", period, period / 1e4);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "bytes per vector: %u (%u values)", size, size / 4);
  f.header.push_back(line);
  std::snprintf(line, sizeof line, "parameter kind: %u (%s)", kind, parameterKind(kind).c_str());
  f.header.push_back(line);
  if (count < 0) return "the header gives a negative number of vectors (" + std::to_string(count) + ")";
  if (period <= 0) return "the header gives a sample period of " + std::to_string(period);
  if (size == 0 || size % 4 != 0) return "the header gives " + std::to_string(size) + " bytes per vector, not a multiple of 4";
  const unsigned long long expected = 12ULL + static_cast<unsigned long long>(count) * size;
  if (bytes.size() != expected) {
    return "length " + std::to_string(bytes.size()) + " bytes, but the header promises 12 + " +
           std::to_string(count) + " x " + std::to_string(size) + " = " + std::to_string(expected);
  }
  f.frames = count;
  f.dimensions = static_cast<int>(size / 4);
  f.values.resize(bytes.size() / 4 - 3);
  for (std::size_t i = 0; i < f.values.size(); ++i) f.values[i] = toFloat(bigEndian(&bytes[12 + 4 * i]));
  return "";
}

std::string readLittleEndian(const std::vector<unsigned char>& bytes, int dimensions, Features& f) {
  if (bytes.size() < 4) return "shorter than its 4-byte frame count (" + std::to_string(bytes.size()) + " bytes)";
  const std::int32_t count = static_cast<std::int32_t>(littleEndian(&bytes[0]));
  f.header.push_back("frames: " + std::to_string(count));
  f.header.push_back("values per frame: " + std::to_string(dimensions));
  if (count < 0) return "the header gives a negative number of frames (" + std::to_string(count) + ")";
  const unsigned long long expected = 4ULL + 4ULL * dimensions * static_cast<unsigned long long>(count);
  if (bytes.size() != expected) {
    return "length " + std::to_string(bytes.size()) + " bytes, but " + std::to_string(count) +
           " frames need 4 + " + std::to_string(count) + " x " + std::to_string(4 * dimensions) + " = " +
           std::to_string(expected);
  }
  f.frames = count;
  f.dimensions = dimensions;
  f.values.resize(bytes.size() / 4 - 1);
  for (std::size_t i = 0; i < f.values.size(); ++i) f.values[i] = toFloat(littleEndian(&bytes[4 + 4 * i]));
  return "";
}

void printFrames(const Features& f, const Options& options) {
  if (options.firstFrame < 0) return;
  const long last = options.lastFrame < 0 || options.lastFrame >= f.frames ? f.frames - 1 : options.lastFrame;
  for (long t = options.firstFrame; t <= last; ++t) {
    std::printf("  frame %ld:", t);
    for (int d = 0; d < f.dimensions; ++d) std::printf(" %g", f.values[t * f.dimensions + d]);
    std::printf("\n");
  }
}

void printStats(const Features& f) {
  if (f.frames == 0) {
    std::printf("  no frames: no statistics (readers of HTK files refuse such a file)\n");
    return;
  }
  std::printf("  %9s %14s %14s %14s %14s\n", "dimension", "mean", "std dev", "minimum", "maximum");
  long notFinite = 0;
  for (int d = 0; d < f.dimensions; ++d) {
    double sum = 0.0, squares = 0.0;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (long t = 0; t < f.frames; ++t) {
      const double v = f.values[t * f.dimensions + d];
      if (!std::isfinite(v)) ++notFinite;
      sum += v;
      squares += v * v;
      low = std::fmin(low, v);
      high = std::fmax(high, v);
    }
    const double mean = sum / f.frames;
    const double deviation = std::sqrt(std::fmax(0.0, squares / f.frames - mean * mean));
    std::printf("  %9d %14.6g %14.6g %14.6g %14.6g\n", d, mean, deviation, low, high);
  }
  if (notFinite > 0) std::printf("  %ld values are NaN or infinite\n", notFinite);
}

bool inspect(const std::string& path, const Options& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "feature-inspect: %s: cannot be opened: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "feature-inspect: %s: cannot be read\n", path.c_str());
    return false;
  }
  Features f;
  std::string problem;
  if (endsWith(path, ".C12")) {
    f.format = "cepstrum file (.C12, little-endian, c1..c12 a frame)";
    problem = readLittleEndian(bytes, 12, f);
  } else if (endsWith(path, ".ENG")) {
    f.format = "energy file (.ENG, little-endian, energy in dB a frame)";
    problem = readLittleEndian(bytes, 1, f);
  } else {
    problem = readHtk(bytes, f);
  }
  std::printf("%s: %s\n", path.c_str(), f.format.c_str());
  for (const auto& line : f.header) std::printf("  %s\n", line.c_str());
  if (!problem.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "feature-inspect: %s: not a valid file: %s\n", path.c_str(), problem.c_str());
    return false;
  }
  std::printf("  length: %zu bytes, as the header says\n", bytes.size());
  printFrames(f, options);
  if (options.stats) printStats(f);
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
