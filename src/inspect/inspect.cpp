// feature-inspect: shows what a feature file holds and checks it.
//
//   feature-inspect [--frames FIRST:LAST] [--no-stats] [--png PICTURE] FILE...
//
// FILE is an HTK parameter file (big-endian header of 12 bytes, then the
// vectors), or a cepstrum file (.C12: frame count, then 12 values a frame)
// or an energy file (.ENG: frame count, then 1 value a frame) of the feature
// tool, both little-endian, recognised by content and, where the content
// cannot tell, by name. For each file it prints the header, checks that the
// length agrees with it, prints the chosen frames as text and, per
// dimension, the mean, standard deviation, minimum and maximum; --png draws
// it. A file that is not valid gets a message naming it and what is wrong;
// the exit status is then 1.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "feature.h"
#include "feature_file.h"
#include "matrices.h"
#include "picture.h"
#include "standard_descriptors.h"

#ifndef FEATURE_VERSION
#define FEATURE_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: feature-inspect [--frames FIRST:LAST] [--no-stats] [--png PICTURE] [--key=KEY]\n"
    "                       [--dimension=N] FILE...\n"
    "\n"
    "Shows the header of each feature file, checks that its length agrees with\n"
    "the header, prints the chosen frames as text, and per dimension the mean,\n"
    "standard deviation, minimum and maximum.\n"
    "\n"
    "  FILE               an HTK parameter file, or a .C12 (cepstra) or .ENG\n"
    "                     (energy) file of the feature tool, recognised by its\n"
    "                     content (and by its name where the content cannot tell);\n"
    "                     a Kaldi binary archive (every entry), an index (scp) of\n"
    "                     one, ARCHIVE:OFFSET (an index line's entry), a training\n"
    "                     shard (every entry, checksums computed)\n"
    "  --key=KEY          only the entry KEY of an archive, index or shard\n"
    "  --dimension=N      FILE holds rows of N little-endian float32 values\n"
    "                     without a header (feature-stream --format=f32)\n"
    "  --frames A:B       print frames A to B (counted from 0; A alone is one\n"
    "                     frame, A: runs to the end)\n"
    "  --no-stats         leave out the per-dimension statistics\n"
    "  --png PICTURE      draw the file (one FILE, one entry) into the PNG file\n"
    "                     PICTURE, with --frames only that stretch:\n"
    "                     time left to right, the dimensions bottom to top in\n"
    "                     bands (statics, deltas, delta-deltas), each scaled to\n"
    "                     its own range; an .ENG file as a curve. A feature\n"
    "                     file, or anything but a regular file, is never\n"
    "                     replaced by the picture\n"
    "  -h, --help         show this help\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 when every file is valid, 1 otherwise, 2 for wrong usage.\n";

struct Options {
  std::string key;       // --key: that entry of an archive, index or shard
  int dimension = 0;     // --dimension: rows of float32 without a header
  long firstFrame = -1;  // no frames printed
  long lastFrame = -1;   // -1: to the end
  bool stats = true;
  bool draw = false;     // --png given
  std::string picture;   // its PICTURE
  std::vector<std::string> files;
};

bool fail(const std::string& path, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "feature-inspect: %s: %s\n", path.c_str(), what.c_str());
  return false;
}

std::string printFrames(const FeatureFile& f, const Options& options) {
  if (options.firstFrame < 0) return "";
  if (options.firstFrame == 0 && options.lastFrame < 0 && f.frames() == 0) return "";  // "0:" of no frames
  if (options.firstFrame >= f.frames()) {
    return "frame " + std::to_string(options.firstFrame) + " is out of range: the file has " +
           std::to_string(f.frames()) + " frame" + (f.frames() == 1 ? "" : "s") +
           (f.frames() > 0 ? " (0 to " + std::to_string(f.frames() - 1) + ")" : "");
  }
  const long last = options.lastFrame < 0 || options.lastFrame >= f.frames() ? f.frames() - 1 : options.lastFrame;
  const std::string problem = f.forEachFrame(options.firstFrame, last - options.firstFrame + 1,
                                             [&](long t, const std::vector<float>& row) {
                                               std::printf("  frame %ld:", t);
                                               for (const float v : row) std::printf(" %g", v);
                                               std::printf("\n");
                                             });
  return problem.empty() ? "" : "cannot be read: " + problem;
}

std::string printStats(const FeatureFile& f) {
  if (f.frames() == 0) {
    std::printf("  no frames: no statistics (readers of HTK files refuse such a file)\n");
    return "";
  }
  const std::size_t n = static_cast<std::size_t>(f.dimensions());
  std::vector<double> sum(n, 0.0), squares(n, 0.0);
  std::vector<double> low(n, std::numeric_limits<double>::infinity());
  std::vector<double> high(n, -std::numeric_limits<double>::infinity());
  long notFinite = 0;
  const std::string problem = f.forEachFrame(0, f.frames(), [&](long, const std::vector<float>& row) {
    for (std::size_t d = 0; d < n; ++d) {
      const double v = row[d];
      if (!std::isfinite(v)) ++notFinite;
      sum[d] += v;
      squares[d] += v * v;
      low[d] = std::fmin(low[d], v);
      high[d] = std::fmax(high[d], v);
    }
  });
  if (!problem.empty()) return "cannot be read: " + problem;
  std::printf("  %9s %14s %14s %14s %14s\n", "dimension", "mean", "std dev", "minimum", "maximum");
  for (std::size_t d = 0; d < n; ++d) {
    const double mean = sum[d] / f.frames();
    const double deviation = std::sqrt(std::fmax(0.0, squares[d] / f.frames() - mean * mean));
    // Padded by characters, not bytes (a UTF-8 delta takes two).
    const std::string label = f.label(static_cast<int>(d));
    int shown = 0;
    for (const char c : label) shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    std::printf("  %*s%s %14.6g %14.6g %14.6g %14.6g\n", std::max(9 - shown, 0), "", label.c_str(), mean, deviation,
                low[d], high[d]);
  }
  if (notFinite > 0) std::printf("  %ld values are NaN or infinite\n", notFinite);
  return "";
}

// The picture's title: the file's name, its mode (from the tool's
// extensions) or kind, its frames and their duration.
std::string pictureTitle(const std::string& path, const FeatureFile& f) {
  const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string what = f.kind() == FileKind::kCepstra  ? ".C12 cepstra"
                     : f.kind() == FileKind::kEnergy ? ".ENG energies"
                     : f.kind() == FileKind::kMatrix ? std::to_string(f.dimensions()) + " values a frame"
                                                     : "HTK";
  for (const NormalisationMode& mode : kNormalisationModes) {
    const std::string ext = std::string(".") + mode.outExt;
    if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
      what = std::string("mode ") + mode.name;
    }
  }
  char text[200];
  std::snprintf(text, sizeof text, ": %s, %ld frame%s, %.2f s", what.c_str(), f.frames(), f.frames() == 1 ? "" : "s",
                static_cast<double>(f.frames()) * f.samplePeriod() / 1e7);
  std::string stretch;
  if (f.firstFrame() > 0 || f.frames() > 0) {
    stretch = f.firstFrame() > 0 ? " (frames " + std::to_string(f.firstFrame()) + " to " +
                                       std::to_string(f.firstFrame() + f.frames() - 1) + ")"
                                 : "";
  }
  return name + text + stretch;
}

// Checks one file: its kind and length from the first bytes and the file's
// size, then only the frames asked for and, for the statistics and the
// picture, passes over the values a block at a time.
bool show(const std::string& path, FeatureFile& f, const Options& options) {
  std::printf("%s: %s\n", path.c_str(), f.format().c_str());
  if (!f.assumption().empty()) std::printf("  (%s)\n", f.assumption().c_str());
  for (const auto& line : f.header()) std::printf("  %s\n", line.c_str());
  if (f.kind() == FileKind::kMatrix) {
    std::printf("  length: %lld bytes of values, within the file's %lld\n", 4LL * f.frames() * f.dimensions(), f.size());
  } else {
    std::printf("  length: %lld bytes, as the header says\n", f.size());
  }
  std::string problem = printFrames(f, options);
  if (problem.empty() && options.stats) problem = printStats(f);
  if (problem.empty() && !options.picture.empty()) {
    PictureSize size;
    // With --frames, the picture is of that stretch.
    if (options.firstFrame >= 0) {
      f.keepFrames(options.firstFrame, options.lastFrame < 0 ? f.frames() : options.lastFrame - options.firstFrame + 1);
    }
    problem = drawPicture(f, options.picture, size, pictureTitle(path, f));
    if (problem.empty()) {
      std::printf("  picture: %s, %d x %d pixels\n", options.picture.c_str(), size.width, size.height);
    }
  }
  if (!problem.empty()) return fail(path, problem);
  return true;
}

// "ARCHIVE:OFFSET", as an index line points into an archive, when ARCHIVE
// is a file and the whole is not.
bool archiveOffset(const std::string& arg, std::string& archive, long long& offset) {
  const std::size_t colon = arg.rfind(':');
  struct stat info;
  if (colon == std::string::npos || colon + 1 == arg.size() ||
      arg.find_first_not_of("0123456789", colon + 1) != std::string::npos || stat(arg.c_str(), &info) == 0) {
    return false;
  }
  archive = arg.substr(0, colon);
  offset = std::stoll(arg.substr(colon + 1));
  return stat(archive.c_str(), &info) == 0;
}

// Checks one argument: a feature file, every matrix of an archive, index
// or shard (or the one --key names), an archive's entry at an offset, or
// rows of --dimension floats.
bool inspect(const std::string& path, const Options& options) {
  FeatureFile f;
  std::string problem;
  std::string archive;
  long long offset = 0;
  if (options.dimension > 0) {
    struct stat info;
    const long long size = stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
    const long long row = 4LL * options.dimension;
    if (size >= 0 && size % row != 0) {
      return fail(path, std::to_string(size) + " bytes are no whole rows of " + std::to_string(options.dimension) +
                            " float32 values (" + std::to_string(size % row) + " bytes over)");
    }
    const std::string what = "rows of " + std::to_string(options.dimension) +
                             " little-endian float32 values (feature-stream --format=f32)";
    if (!f.openMatrix(path, 0, size / row, options.dimension, what, {}, problem)) return fail(path, problem);
    return show(path, f, options);
  }
  if (archiveOffset(path, archive, offset)) {
    MatrixEntry e;
    problem = kaldiEntryAt(archive, offset, options.key.empty() ? "at byte " + std::to_string(offset) : options.key, e);
    if (problem.empty() && !f.openMatrix(e.path, e.offset, e.rows, e.columns, e.format, e.header, problem)) {
      return fail(path, problem);
    }
    return problem.empty() ? show(path, f, options) : fail(path, problem);
  }
  std::vector<MatrixEntry> entries;
  bool found = false;
  problem = matrixEntries(path, entries, found);
  if (!found) {
    if (!f.open(path, problem)) return fail(path, problem);
    return show(path, f, options);
  }
  if (!problem.empty()) return fail(path, problem);
  if (!options.key.empty()) {
    std::vector<MatrixEntry> chosen;
    for (const MatrixEntry& e : entries) {
      if (e.key == options.key) chosen.push_back(e);
    }
    if (chosen.empty()) return fail(path, "no entry " + options.key + " among its " + std::to_string(entries.size()));
    entries.swap(chosen);
  }
  if (!options.picture.empty() && entries.size() != 1) {
    return fail(path, "--png draws one matrix, and it holds " + std::to_string(entries.size()) +
                          ": name one with --key=KEY");
  }
  bool valid = true;
  for (const MatrixEntry& e : entries) {
    FeatureFile one;
    if (!one.openMatrix(e.path, e.offset, e.rows, e.columns, e.format, e.header, problem)) {
      valid = fail(path + "[" + e.key + "]", problem) && valid;
      continue;
    }
    valid = show(path + "[" + e.key + "]", one, options) && valid;
  }
  return valid;
}

// FIRST, FIRST: or FIRST:LAST; on failure says why.
bool parseFrames(const char* text, Options& options) {
  char* end = nullptr;
  options.firstFrame = std::strtol(text, &end, 10);
  if (end == text || options.firstFrame < 0) {
    std::fprintf(stderr, "feature-inspect: --frames needs FIRST:LAST, FIRST: or FIRST (frames count from 0), not '%s'\n",
                 text);
    return false;
  }
  if (*end == '\0') {
    options.lastFrame = options.firstFrame;
    return true;
  }
  const char* rest = end + 1;
  if (*end == ':' && *rest == '\0') {
    options.lastFrame = -1;
    return true;
  }
  if (*end == ':') options.lastFrame = std::strtol(rest, &end, 10);
  if (*end != '\0' || end == rest || options.lastFrame < 0) {
    std::fprintf(stderr, "feature-inspect: --frames needs FIRST:LAST, FIRST: or FIRST (frames count from 0), not '%s'\n",
                 text);
    return false;
  }
  if (options.lastFrame < options.firstFrame) {
    std::fprintf(stderr, "feature-inspect: --frames %s: the last frame comes before the first\n", text);
    return false;
  }
  return true;
}

// Why a picture may not be written at path, or "": only a new file or a
// regular file that is no feature file is replaced (a forgotten picture
// name would otherwise make the first of several feature files the
// picture).
std::string pictureRefusal(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "";
  if (!S_ISREG(info.st_mode)) return "exists and is not a regular file; the picture is not written there";
  FeatureFile existing;
  std::string problem;
  if (existing.open(path, problem)) {
    return "is a feature file (" + existing.format() +
           "), not written over; did you forget the picture's name after --png?";
  }
  return "";
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
    if (arg == "--version") {
      std::printf("feature-inspect %s\n", FEATURE_VERSION);
      return 0;
    }
    if (arg == "--no-stats") {
      options.stats = false;
    } else if (arg == "--frames" || arg == "-f") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "feature-inspect: --frames needs FIRST:LAST, FIRST: or FIRST\n");
        return 2;
      }
      if (!parseFrames(argv[++i], options)) return 2;
    } else if (arg.rfind("--key=", 0) == 0 && arg.size() > 6) {
      options.key = arg.substr(6);
    } else if (arg.rfind("--dimension=", 0) == 0) {
      char* end = nullptr;
      const long n = std::strtol(arg.c_str() + 12, &end, 10);
      if (*end != '\0' || end == arg.c_str() + 12 || n < 1 || n > 8191) {
        std::fprintf(stderr, "feature-inspect: --dimension needs the values a row holds (1 to 8191), not '%s'\n",
                     arg.c_str() + 12);
        return 2;
      }
      options.dimension = static_cast<int>(n);
    } else if (arg.rfind("--frames=", 0) == 0) {
      if (!parseFrames(arg.c_str() + 9, options)) return 2;
    } else if (arg == "--png") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "feature-inspect: --png needs the name of the picture to write\n");
        return 2;
      }
      options.draw = true;
      options.picture = argv[++i];
    } else if (arg.rfind("--png=", 0) == 0) {
      options.draw = true;
      options.picture = arg.substr(6);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "feature-inspect: unknown option %s\nTry 'feature-inspect --help'\n", arg.c_str());
      return 2;
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (options.draw && options.picture.empty()) {
    std::fprintf(stderr, "feature-inspect: --png needs the name of the picture to write\n");
    return 2;
  }
  if (options.draw && options.files.size() != 1) {
    std::fprintf(stderr, "feature-inspect: --png draws one file; %zu were given\n", options.files.size());
    return 2;
  }
  if (options.draw) {
    const std::string refusal = pictureRefusal(options.picture);
    if (!refusal.empty()) {
      std::fprintf(stderr, "feature-inspect: --png %s: %s\n", options.picture.c_str(), refusal.c_str());
      return 2;
    }
  }
  bool allValid = true;
  for (const auto& file : options.files) allValid = inspect(file, options) && allValid;
  return allValid ? 0 : 1;
}
