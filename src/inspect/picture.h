// A feature file drawn as a PNG picture: vectors as an image (time left to
// right, dimensions bottom to top in labelled bands, each band scaled to
// its own range with a colour bar that gives the values, frames and seconds
// on the axis, a title), an energy file as a curve.
#ifndef INSPECT_PICTURE_H
#define INSPECT_PICTURE_H

#include <string>

#include "feature_file.h"

struct PictureSize {
  int width = 0;
  int height = 0;
};

// Draws f into the PNG file path under the title. Returns "" and the
// picture's size, or the reason it could not be written.
std::string drawPicture(const FeatureFile& f, const std::string& path, PictureSize& size, const std::string& title);

#endif  // INSPECT_PICTURE_H
