// The extension module mfcc_frontend._core, in one file per area, as the
// library has them: extraction and batches, online extraction, files and
// archives, runs over lists. The Python package (python/mfcc_frontend)
// adapts numpy and torch to it and reads files into arrays; everything the
// library decides (names, limits, formats, their words) comes from here.
#ifndef PYTHON_BINDING_H
#define PYTHON_BINDING_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extractor.h"

namespace binding {

namespace py = pybind11;

// What Python adds to the 90-second limit's words.
extern const char* const kTruncateHint;

// The keywords that would read a refused recording (RefusedRecording::needs).
std::string readingHint(long long needs);

// The samples of a contiguous 1-D buffer of 16-bit integers (the package
// makes sure of it), or TypeError naming what needed them.
struct Samples {
  const std::int16_t* data = nullptr;
  std::size_t count = 0;
};
Samples samplesOf(const py::buffer_info& info, const std::string& what);

// A float array of the given shape that owns values without copying them.
py::array_t<float> arrayOf(std::vector<float>&& values, std::vector<py::ssize_t> shape);

// The extractor of the calling thread, its tables built on first use.
feature::Extractor& threadExtractor();

// OSError(errno, words, path): Python picks the subclass of the errno
// (FileNotFoundError, PermissionError, ...).
[[noreturn]] void raiseOsError(int error, const std::string& words, const std::string& path);
[[noreturn]] void raiseOsError(int error, const std::string& path);

// A writer's files under their names (without the GIL), or ValueError
// saying what happened.
template <class Writer>
void commitOrRaise(Writer& writer) {
  std::string what;
  {
    py::gil_scoped_release unlocked;
    what = writer.commit();
  }
  if (!what.empty()) throw py::value_error(what);
}

void bindExtraction(py::module_& m);
void bindOnline(py::module_& m);
void bindFiles(py::module_& m);
void bindRuns(py::module_& m);
void bindShards(py::module_& m);  // builds that read audio files

}  // namespace binding

#endif  // PYTHON_BINDING_H
