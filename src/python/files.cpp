// Files and archives: recordings read as the tool reads them, HTK files
// and Kaldi archives written by the tool's writers, the layouts for the
// package's readers, list files.
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>

#include "binding.h"
#include "output_file.h"
#include "batch.h"
#include "feature.h"
#include "feature_files.h"
#include "kaldi_archive.h"
#include "list_reader.h"
#include "option_readers.h"

namespace binding {

namespace {

// (samples int16, samples past the 90 s limit or -1 when unknown). A file
// that cannot be read raises the OSError of its errno, one that is refused
// ValueError.
py::tuple readRecording(const std::string& path, const std::string& format, bool convert, bool lossy, int channel,
                        bool downmix) {
  int choice = 0;
  const std::string mistake = kit::readChoice(format.c_str(), inputFormatNames(), "input format", choice);
  if (!mistake.empty()) throw py::value_error(mistake);
  const auto named = static_cast<InputFormat>(choice);
  if (named != InputFormat::kRaw && !audioInputSupported()) throw py::value_error("this build reads raw recordings only");
  const feature::InputFormat how = named == InputFormat::kAudio  ? feature::InputFormat::Audio
                                   : named == InputFormat::kAuto ? feature::InputFormat::Auto
                                                                 : feature::InputFormat::Raw;
  std::vector<std::int16_t> samples;
  std::int64_t ignored = 0;
  std::vector<std::string> warnings;
  int error = 0;
  std::string refusal;
  {
    py::gil_scoped_release unlocked;
    try {
      samples = threadExtractor().readRecording(path, how,
                                                &ignored, &warnings, {convert || lossy, lossy, channel, downmix});
    } catch (const feature::UnreadableRecording& e) {
      error = e.error() != 0 ? e.error() : EIO;
    } catch (const feature::RefusedRecording& e) {
      refusal = e.what();
      if (e.needs() != 0) refusal += "; " + readingHint(e.needs());
    }
  }
  if (error != 0) raiseOsError(error, path);
  if (!refusal.empty()) throw py::value_error(refusal);
  py::array_t<std::int16_t> array(static_cast<py::ssize_t>(samples.size()));
  if (!samples.empty()) std::memcpy(array.mutable_data(), samples.data(), samples.size() * 2);
  return py::make_tuple(array, ignored, warnings);
}

// "(3, 4)": a shape as numpy writes it.
std::string shapeOf(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) text += (i > 0 ? ", " : "") + std::to_string(a.shape(i));
  return text + (a.ndim() == 1 ? ",)" : ")");
}

void writeHtk(const std::string& path, const py::array_t<float, py::array::c_style>& vectors, std::int64_t samplePeriod,
              std::int16_t parmKind) {
  if (vectors.ndim() != 2) throw py::value_error("write_htk needs a 2-D array (frames, values), not shape " + shapeOf(vectors));
  const std::string badPeriod = feature_files::samplePeriodProblem(samplePeriod);
  if (!badPeriod.empty()) throw py::value_error(badPeriod);
  const float* data = vectors.data();
  const auto frames = static_cast<std::size_t>(vectors.shape(0));
  const int dimensions = static_cast<int>(vectors.shape(1));
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    try {
      feature::writeHtk(path, data, frames, dimensions, static_cast<std::int32_t>(samplePeriod), parmKind);
    } catch (const feature::FileError& e) {
      error = e.error();
    }
  }
  if (error != 0) raiseOsError(error, path);
}

// The names of a list file as the tool reads them (bytes: a name may be any
// bytes but white space), names longer than the tool takes cut to one byte
// past its limit.
std::vector<py::bytes> readList(const std::string& path) {
  std::vector<std::string> names;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    std::FILE* file = openList(path.c_str());
    if (file == nullptr) {
      error = errno;
    } else {
      ListReader reader(file, kPathCapacity);
      std::string name;
      while (reader.next(name)) names.push_back(name);
      if (std::ferror(file)) error = errno != 0 ? errno : EIO;
      std::fclose(file);
    }
  }
  if (error != 0) raiseOsError(error, path);
  return std::vector<py::bytes>(names.begin(), names.end());
}

// The Kaldi archive writer of feature-kaldi, for write_kaldi.
class PythonKaldiWriter {
 public:
  PythonKaldiWriter(const std::string& archive, const std::string& index) {
    kaldi_io::ArchiveNames names;
    names.archive = archive;
    names.index = index;
    const std::string refused = writer_.open(names);
    if (refused.empty()) return;
    if (writer_.openError() != 0) raiseOsError(writer_.openError(), refused, archive);
    throw py::value_error(refused);
  }

  void add(const std::string& key, const py::array_t<float, py::array::c_style>& matrix) {
    if (matrix.ndim() != 2) {
      throw py::value_error("'" + key + "': a Kaldi matrix is 2-D (rows, columns), not shape " + shapeOf(matrix));
    }
    const float* data = matrix.data();
    bool written;
    {
      py::gil_scoped_release unlocked;
      written = writer_.add(key, data, static_cast<std::int32_t>(matrix.shape(0)), static_cast<std::int32_t>(matrix.shape(1)));
    }
    if (!writer_.problem().empty()) throw py::value_error(writer_.problem() + ": '" + key + "'");
    if (!written) throw py::value_error("the archive could not be written");
  }

  void addDoubles(const std::string& key, const py::array_t<double, py::array::c_style>& matrix) {
    if (matrix.ndim() != 2) {
      throw py::value_error("'" + key + "': a Kaldi matrix is 2-D (rows, columns), not shape " + shapeOf(matrix));
    }
    const bool written = writer_.addDoubles(key, matrix.data(), static_cast<std::int32_t>(matrix.shape(0)),
                                            static_cast<std::int32_t>(matrix.shape(1)));
    if (!writer_.problem().empty()) throw py::value_error(writer_.problem() + ": '" + key + "'");
    if (!written) throw py::value_error("the archive could not be written");
  }

  void commit() { commitOrRaise(writer_); }

  void abandon() { writer_.abandon(); }

 private:
  kaldi_io::ArchiveWriter writer_;
};

}  // namespace

void bindFiles(py::module_& m) {
  m.def("read_recording", &readRecording, py::arg("path"), py::arg("input_format"), py::arg("convert"),
        py::arg("lossy"), py::arg("channel"), py::arg("downmix"));
  m.def("write_htk", &writeHtk, py::arg("path"), py::arg("vectors"), py::arg("sample_period"), py::arg("parm_kind"));
  m.def("read_list", &readList, py::arg("path"));
  // The feature-file layouts of the tool, for the package's readers.
  m.def(
      "htk_header",
      [](const py::bytes& head, long long size) {
        const std::string bytes = head;
        feature_files::HtkHeader h;
        if (bytes.size() >= feature_files::kHtkHeaderBytes) {
          h = feature_files::decodeHtkHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
        }
        const std::string problem = feature_files::htkProblem(h, bytes.size() < 12 ? static_cast<long long>(bytes.size()) : size);
        if (!problem.empty()) throw py::value_error(problem);
        return py::make_tuple(h.frames, h.samplePeriod, h.vectorBytes, h.parmKind);
      },
      py::arg("head"), py::arg("size"));
  m.def(
      "counted_frames",
      [](const py::bytes& head, long long size, int values, const char* name) {
        const std::string bytes = head;
        const std::int32_t count =
            bytes.size() >= 4
                ? static_cast<std::int32_t>(feature_files::loadLittleEndian32(reinterpret_cast<const unsigned char*>(bytes.data())))
                : 0;
        const std::string problem =
            feature_files::countedProblem(count, values, name, bytes.size() < 4 ? static_cast<long long>(bytes.size()) : size);
        if (!problem.empty()) throw py::value_error(problem);
        return count;
      },
      py::arg("head"), py::arg("size"), py::arg("values"), py::arg("name"));
  // The Kaldi archive layout, for the package's readers and writer.
  m.def(
      "kaldi_matrix_header",
      [](const py::bytes& head) {
        const std::string bytes = head;
        std::string problem;
        const feature_files::KaldiMatrixHeader h = feature_files::decodeKaldiMatrixHeader(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), problem);
        if (!problem.empty()) throw py::value_error(problem);
        return py::make_tuple(h.rows, h.columns);
      },
      py::arg("head"));
  m.attr("KALDI_MATRIX_HEADER_BYTES") = feature_files::kKaldiMatrixHeaderBytes;
  m.def(
      "kaldi_double_matrix",
      [](const py::array_t<double, py::array::c_style>& matrix) {
        if (matrix.ndim() != 2) throw py::value_error("a Kaldi matrix is 2-D (rows, columns), not shape " + shapeOf(matrix));
        return py::bytes(feature_files::kaldiDoubleMatrix(matrix.data(), static_cast<std::int32_t>(matrix.shape(0)),
                                                          static_cast<std::int32_t>(matrix.shape(1))));
      },
      py::arg("matrix"));
  // A whole file, complete or not at all (the writers' rules).
  m.def(
      "write_file",
      [](const std::string& path, const py::bytes& bytes) {
        const std::string data = bytes;
        kit::OutputError error;
        if (!kit::writeWholeFile(path, data.data(), data.size(), error)) raiseOsError(error.error, error.describe(), path);
      },
      py::arg("path"), py::arg("bytes"));
  py::class_<PythonKaldiWriter>(m, "KaldiWriter")
      .def(py::init<const std::string&, const std::string&>(), py::arg("archive"), py::arg("index"))
      .def("add", &PythonKaldiWriter::add, py::arg("key"), py::arg("matrix"))
      .def("add_doubles", &PythonKaldiWriter::addDoubles, py::arg("key"), py::arg("matrix"))
      .def("commit", &PythonKaldiWriter::commit)
      .def("abandon", &PythonKaldiWriter::abandon);
}

}  // namespace binding
