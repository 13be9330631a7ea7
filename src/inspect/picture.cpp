// Drawing and PNG encoding are libgd's (which writes PNG through libpng):
// images, lines, its built-in bitmap fonts.
#include "picture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gd.h>
#include <gdfonts.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "output_file.h"

namespace {

constexpr int kMaxColumns = 1600;   // time columns; longer files are averaged
constexpr int kLeft = 96;           // band labels
constexpr int kTop = 26;            // the title
constexpr int kBottom = 46;         // frame and second ticks
constexpr int kRight = 110;         // colour bars and their values
constexpr int kBandGap = 8;

struct Image {
  gdImagePtr image;
  explicit Image(int width, int height) : image(gdImageCreateTrueColor(width, height)) {}
  ~Image() {
    if (image != nullptr) gdImageDestroy(image);
  }
};

// A perceptually even colour scale from dark blue (0) to yellow (1).
int scaleColour(gdImagePtr image, double v) {
  static const std::array<std::array<int, 3>, 5> kAnchors = {
      {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}}};
  v = std::clamp(v, 0.0, 1.0) * (kAnchors.size() - 1);
  const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(v), kAnchors.size() - 2);
  const double f = v - static_cast<double>(i);
  int rgb[3];
  for (int c = 0; c < 3; ++c) {
    rgb[c] = static_cast<int>(std::lround(kAnchors[i][c] + f * (kAnchors[i + 1][c] - kAnchors[i][c])));
  }
  return gdImageColorAllocate(image, rgb[0], rgb[1], rgb[2]);
}

void text(gdImagePtr image, int x, int y, const std::string& s, int colour) {
  std::vector<unsigned char> bytes(s.begin(), s.end());
  bytes.push_back(0);
  gdImageString(image, gdFontGetSmall(), x, y, bytes.data(), colour);
}

int textWidth(const std::string& s) { return static_cast<int>(s.size()) * gdFontGetSmall()->w; }

// Frame numbers and seconds under the time axis, at round steps (at most
// 8, at least 50 pixels apart); a stretch of a file keeps its numbers.
void timeAxis(gdImagePtr image, const FeatureFile& f, int left, int top, int width, int colour) {
  const long frames = std::max(f.frames(), 1L);
  long step = 1;
  for (long scale = 1;; scale *= 10) {
    bool found = false;
    for (const long m : {1L, 2L, 5L}) {
      if (frames / (m * scale) <= 8 && m * scale * width >= 50 * frames) {
        step = m * scale;
        found = true;
        break;
      }
    }
    if (found) break;
  }
  const double seconds = f.samplePeriod() / 1e7;
  text(image, 4, top + 4, "frame", colour);
  text(image, 4, top + 20, "seconds", colour);
  for (long t = 0; t <= frames; t += step) {
    const int x = left + static_cast<int>(static_cast<double>(t) * width / frames);
    gdImageLine(image, x, top, x, top + 3, colour);
    const std::string frame = std::to_string(f.firstFrame() + t);
    char second[32];
    std::snprintf(second, sizeof second, "%g", static_cast<double>(f.firstFrame() + t) * seconds);
    text(image, x - textWidth(frame) / 2, top + 4, frame, colour);
    text(image, x - textWidth(second) / 2, top + 20, second, colour);
  }
}

// The mean of each dimension over the frames of each time column.
struct Columns {
  int count = 0;
  std::vector<double> mean;  // count x dimensions
  std::vector<double> low, high;  // per dimension, over the columns
};

std::string averageColumns(const FeatureFile& f, Columns& c) {
  const int dims = f.dimensions();
  c.count = static_cast<int>(std::min<long>(std::max(f.frames(), 1L), kMaxColumns));
  c.mean.assign(static_cast<std::size_t>(c.count) * dims, 0.0);
  std::vector<long> counts(static_cast<std::size_t>(c.count), 0);
  const std::string problem = f.forEachFrame(0, f.frames(), [&](long t, const std::vector<float>& row) {
    const int column = static_cast<int>(t * c.count / f.frames());
    for (int d = 0; d < dims; ++d) c.mean[static_cast<std::size_t>(column) * dims + d] += row[d];
    ++counts[static_cast<std::size_t>(column)];
  });
  if (!problem.empty()) return problem;
  c.low.assign(dims, std::numeric_limits<double>::infinity());
  c.high.assign(dims, -std::numeric_limits<double>::infinity());
  for (int column = 0; column < c.count; ++column) {
    for (int d = 0; d < dims; ++d) {
      double& v = c.mean[static_cast<std::size_t>(column) * dims + d];
      if (counts[column] > 0) v /= static_cast<double>(counts[column]);
      if (std::isfinite(v)) {
        c.low[d] = std::min(c.low[d], v);
        c.high[d] = std::max(c.high[d], v);
      }
    }
  }
  return "";
}

// The bands of dimensions, bottom to top: (first dimension, count, label).
struct Band {
  int first;
  int count;
  std::string label;
  std::string lowest;   // name of its bottom row
  std::string highest;  // and of its top row
};

std::vector<Band> bandsOf(const FeatureFile& f) {
  if (f.kind() == FileKind::kHtk && f.dimensions() == 39) {
    // C0 apart: its values lie far from those of c1..c12.
    return {{0, 12, "statics", "c1", "c12"},  {12, 1, "C0", "", ""},
            {13, 12, "deltas", "c1", "c12"},  {25, 1, "delta C0", "", ""},
            {26, 12, "delta-deltas", "c1", "c12"}, {38, 1, "dd C0", "", ""}};
  }
  if (f.kind() == FileKind::kCepstra) return {{0, 12, "cepstra", "c1", "c12"}};
  return {{0, f.dimensions(), "dimensions", "0", std::to_string(f.dimensions() - 1)}};
}

// The picture, complete or not at all (kit::OutputFile: a failed write
// leaves what stood there).
std::string writePng(gdImagePtr image, const std::string& path) {
  int size = 0;
  void* png = gdImagePngPtr(image, &size);
  if (png == nullptr) return "cannot write " + path + ": " + std::strerror(ENOMEM);
  kit::OutputError error;
  const bool written = kit::writeWholeFile(path, png, static_cast<std::size_t>(size), error);
  gdFree(png);
  return written ? "" : error.describe();
}

// A value as the colour bars give it: three significant digits.
std::string valueText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  return text;
}

std::string drawVectors(const FeatureFile& f, const Columns& c, const std::string& path, PictureSize& size,
                        const std::string& title) {
  const std::vector<Band> bands = bandsOf(f);
  const int rowHeight = f.dimensions() <= 13 ? 8 : 5;
  // A band of one row is drawn taller, so that its label and values fit.
  const auto bandHeight = [&](const Band& b) { return b.count == 1 ? 14 : b.count * rowHeight; };
  const int columnWidth = std::clamp(800 / c.count, 1, 8);
  const int plotWidth = c.count * columnWidth;
  int plotHeight = 0;
  for (const Band& b : bands) plotHeight += bandHeight(b);
  plotHeight += kBandGap * (static_cast<int>(bands.size()) - 1);
  size.width = std::max(kLeft + plotWidth + kRight, kLeft + textWidth(title) + 8);
  size.height = kTop + plotHeight + kBottom;
  Image picture(size.width, size.height);
  gdImagePtr image = picture.image;
  if (image == nullptr) return "no memory for a picture of " + std::to_string(size.width) + " x " + std::to_string(size.height);
  const int background = gdImageColorAllocate(image, 255, 255, 255);
  const int ink = gdImageColorAllocate(image, 0, 0, 0);
  gdImageFilledRectangle(image, 0, 0, size.width - 1, size.height - 1, background);

  text(image, kLeft, 6, title, ink);

  // Bands from the bottom up; within a band, dimensions from the bottom up.
  // Every band has one scale, from the lowest to the highest value of its
  // dimensions, which its colour bar gives.
  const int barLeft = kLeft + plotWidth + 14;
  int bottom = kTop + plotHeight;
  for (const Band& band : bands) {
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (int k = 0; k < band.count; ++k) {
      low = std::min(low, c.low[band.first + k]);
      high = std::max(high, c.high[band.first + k]);
    }
    const double range = high - low;
    const int height = bandHeight(band);
    const int rows = band.count;
    const int top = bottom - height;
    for (int k = 0; k < rows; ++k) {
      const int d = band.first + k;
      const int y1 = bottom - (k + 1) * height / rows;
      const int y2 = bottom - k * height / rows - 1;
      for (int column = 0; column < c.count; ++column) {
        const double v = c.mean[static_cast<std::size_t>(column) * f.dimensions() + d];
        const double share = range > 0.0 && std::isfinite(v) ? (v - low) / range : 0.5;
        const int x1 = kLeft + column * columnWidth;
        gdImageFilledRectangle(image, x1, y1, x1 + columnWidth - 1, y2, scaleColour(image, share));
      }
    }
    text(image, kLeft - 6 - textWidth(band.label), (top + bottom) / 2 - 6, band.label, ink);
    if (!band.lowest.empty()) {
      text(image, kLeft - 6 - textWidth(band.lowest), bottom - 12, band.lowest, ink);
      text(image, kLeft - 6 - textWidth(band.highest), top, band.highest, ink);
    }
    for (int y = 0; y < height; ++y) {
      const int colour = scaleColour(image, 1.0 - static_cast<double>(y) / std::max(height - 1, 1));
      gdImageLine(image, barLeft, top + y, barLeft + 12, top + y, colour);
    }
    if (!std::isfinite(low)) {
      text(image, barLeft + 16, top, "no value", ink);
    } else if (height >= 28) {
      text(image, barLeft + 16, top - 1, valueText(high), ink);
      text(image, barLeft + 16, bottom - 12, valueText(low), ink);
    } else {
      text(image, barLeft + 16, top, valueText(low) + " .. " + valueText(high), ink);
    }
    bottom = top - kBandGap;
  }

  timeAxis(image, f, kLeft, kTop + plotHeight + 2, plotWidth, ink);
  return writePng(image, path);
}

std::string drawCurve(const FeatureFile& f, const Columns& c, const std::string& path, PictureSize& size,
                      const std::string& title) {
  const int columnWidth = std::clamp(800 / c.count, 1, 8);
  const int plotWidth = c.count * columnWidth;
  const int plotHeight = 200;
  size.width = std::max(kLeft + plotWidth + 24, kLeft + textWidth(title) + 8);
  size.height = kTop + plotHeight + kBottom;
  Image picture(size.width, size.height);
  gdImagePtr image = picture.image;
  if (image == nullptr) return "no memory for a picture";
  const int background = gdImageColorAllocate(image, 255, 255, 255);
  const int ink = gdImageColorAllocate(image, 0, 0, 0);
  const int line = gdImageColorAllocate(image, 33, 102, 172);
  const int frame = gdImageColorAllocate(image, 200, 200, 200);
  gdImageFilledRectangle(image, 0, 0, size.width - 1, size.height - 1, background);
  gdImageRectangle(image, kLeft, kTop, kLeft + plotWidth - 1, kTop + plotHeight - 1, frame);
  text(image, kLeft, 6, title, ink);
  const double low = c.low[0], high = c.high[0];
  const double range = high > low ? high - low : 1.0;
  int previousX = -1, previousY = -1;
  for (int column = 0; column < c.count; ++column) {
    const double v = c.mean[static_cast<std::size_t>(column)];
    if (!std::isfinite(v)) continue;
    const int x = kLeft + column * columnWidth + columnWidth / 2;
    const int y = kTop + plotHeight - 1 - static_cast<int>(std::lround((v - low) / range * (plotHeight - 1)));
    if (previousX >= 0) gdImageLine(image, previousX, previousY, x, y, line);
    gdImageSetPixel(image, x, y, line);
    previousX = x;
    previousY = y;
  }
  char label[48];
  std::snprintf(label, sizeof label, "%.1f dB", high);
  text(image, kLeft - 6 - textWidth(label), kTop, label, ink);
  std::snprintf(label, sizeof label, "%.1f dB", low);
  text(image, kLeft - 6 - textWidth(label), kTop + plotHeight - 12, label, ink);
  text(image, kLeft - 6 - textWidth("energy"), kTop + plotHeight / 2 - 6, "energy", ink);
  timeAxis(image, f, kLeft, kTop + plotHeight + 2, plotWidth, ink);
  return writePng(image, path);
}

}  // namespace

std::string drawPicture(const FeatureFile& f, const std::string& path, PictureSize& size, const std::string& title) {
  if (f.frames() == 0) return "no frames to draw";
  Columns columns;
  const std::string problem = averageColumns(f, columns);
  if (!problem.empty()) return "cannot be read: " + problem;
  return f.kind() == FileKind::kEnergy ? drawCurve(f, columns, path, size, title)
                                       : drawVectors(f, columns, path, size, title);
}
