#include <cerrno>
#include <cstring>

#include "binding.h"
#include "problem.h"

namespace binding {

const char* const kTruncateHint = "; pass truncate=True to use the first 90 s as the tool does";

std::string readingHint(long long needs) {
  return ::readingHint(needs, {"lossy=True", "convert=True", "channel=N", "downmix=True"});
}

Samples samplesOf(const py::buffer_info& info, const std::string& what) {
  if (info.itemsize != 2 || info.ndim != 1 || (info.shape[0] > 1 && info.strides[0] != 2)) {
    throw py::type_error(what + ": a contiguous 1-D buffer of 16-bit integers is needed");
  }
  return {static_cast<const std::int16_t*>(info.ptr), static_cast<std::size_t>(info.shape[0])};
}

py::array_t<float> arrayOf(std::vector<float>&& values, std::vector<py::ssize_t> shape) {
  if (values.empty()) return py::array_t<float>(shape);
  auto* owned = new std::vector<float>(std::move(values));
  py::capsule release(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
  return py::array_t<float>(shape, owned->data(), release);
}

feature::Extractor& threadExtractor() {
  thread_local feature::Extractor extractor;
  return extractor;
}

void raiseOsError(int error, const std::string& words, const std::string& path) {
  py::object exception = py::module_::import("builtins")
                             .attr("OSError")(error, words, py::module_::import("os").attr("fsdecode")(py::bytes(path)));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

void raiseOsError(int error, const std::string& path) { raiseOsError(error, std::strerror(error), path); }

}  // namespace binding
