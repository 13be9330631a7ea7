// The extension module mfcc_frontend._core: the library's extractor, the
// tool's recording reader, HTK writer and batch loop, for the Python package
// (python/mfcc_frontend), which checks its arguments and adds the file
// readers. Extraction and file work run without the GIL, so Python threads
// extract side by side; each thread keeps an extractor of its own.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <new>

#include <pthread.h>

#include "batch.h"
#include "kaldi_archive.h"
#include "list_reader.h"
#include "extractor.h"
#include "feature.h"
#include "feature_files.h"
#include "online_extractor.h"
#include "option_readers.h"
#include "ordered_pool.h"

namespace py = pybind11;

namespace {

// What Python adds to the 90-second limit's words.
constexpr const char* kTruncateHint = "; pass truncate=True to use the first 90 s as the tool does";

// The extractor of the calling thread, its tables built on first use.
feature::Extractor& threadExtractor() {
  thread_local feature::Extractor extractor;
  return extractor;
}

// A float array of the given shape that owns values without copying them.
py::array_t<float> arrayOf(std::vector<float>&& values, std::vector<py::ssize_t> shape) {
  if (values.empty()) return py::array_t<float>(shape);
  auto* owned = new std::vector<float>(std::move(values));
  py::capsule release(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
  return py::array_t<float>(shape, owned->data(), release);
}

// samples: a C-contiguous buffer of native 16-bit integers (the package
// makes sure of it). Returns (vectors (n, 39), records (n, 13), energies (n,)).
py::tuple extract(const py::buffer& samples, const std::string& normalisation, bool truncate) {
  const py::buffer_info info = samples.request();
  if (info.itemsize != 2 || info.ndim != 1 || (info.shape[0] > 1 && info.strides[0] != 2)) {
    throw py::type_error("extract needs a contiguous 1-D buffer of 16-bit integers");
  }
  const auto mode = feature::normalisationNamed(normalisation);
  feature::Utterance u;
  {
    py::gil_scoped_release unlocked;
    u = threadExtractor().extract(static_cast<const std::int16_t*>(info.ptr), static_cast<std::size_t>(info.shape[0]),
                                  mode, truncate);
  }
  const py::ssize_t n = u.frames;
  return py::make_tuple(arrayOf(std::move(u.vectors), {n, feature::kDimensions}),
                        arrayOf(std::move(u.records), {n, feature::kRecordValues}), arrayOf(std::move(u.energies), {n}));
}

// A batch of utterances on jobs C++ threads, the GIL released for the whole
// batch: the (vectors, records, energies) of each, in the order given. The
// first utterance that fails (in index order) raises, after every thread
// has stopped, with its index in the message.
py::list extractBatch(const py::list& items, const std::string& normalisation, bool truncate, int jobs) {
  struct Item {
    const std::int16_t* samples = nullptr;
    std::size_t count = 0;
  };
  std::vector<Item> batch;
  std::vector<py::buffer_info> held;  // keeps the buffers' views while threads read them
  held.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    held.push_back(items[i].cast<py::buffer>().request());
    const py::buffer_info& info = held.back();
    if (info.itemsize != 2 || info.ndim != 1 || (info.shape[0] > 1 && info.strides[0] != 2)) {
      throw py::type_error("utterance " + std::to_string(i) + ": a contiguous 1-D buffer of 16-bit integers is needed");
    }
    batch.push_back({static_cast<const std::int16_t*>(info.ptr), static_cast<std::size_t>(info.shape[0])});
  }
  const auto mode = feature::normalisationNamed(normalisation);
  std::vector<feature::Utterance> results(batch.size());
  std::vector<std::exception_ptr> errors(batch.size());
  {
    py::gil_scoped_release unlocked;
    // After the first failure (in index order), later utterances are not
    // begun.
    std::atomic<std::size_t> firstError{batch.size()};
    kit::PoolCalls calls;
    calls.makeRunner = [&]() -> std::function<void(std::size_t)> {
      auto extractor = std::make_shared<feature::Extractor>();  // per thread: extractors share nothing
      return [&, extractor](std::size_t i) {
        if (i > firstError.load()) return;
        try {
          results[i] = extractor->extract(batch[i].samples, batch[i].count, mode, truncate);
        } catch (...) {
          errors[i] = std::current_exception();
          std::size_t seen = firstError.load();
          while (i < seen && !firstError.compare_exchange_weak(seen, i)) {
          }
        }
      };
    };
    calls.failed = [&](std::size_t i, const std::string& what) {
      errors[i] = std::make_exception_ptr(std::runtime_error(what));
    };
    calls.deliver = [](std::size_t) {};
    calls.notice = [](const std::string&) {};  // fewer threads: the others do the whole batch
    kit::runInOrder(batch.size(), std::max(1, jobs), batch.size(), calls);
  }
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (!errors[i]) continue;
    try {
      std::rethrow_exception(errors[i]);
    } catch (const feature::TooLong& e) {
      throw feature::TooLong("utterance " + std::to_string(i) + ": " + e.what());
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      throw std::runtime_error("utterance " + std::to_string(i) + ": " + e.what());
    }
  }
  py::list out;
  for (feature::Utterance& u : results) {
    const py::ssize_t n = u.frames;
    out.append(py::make_tuple(arrayOf(std::move(u.vectors), {n, feature::kDimensions}),
                              arrayOf(std::move(u.records), {n, feature::kRecordValues}),
                              arrayOf(std::move(u.energies), {n})));
  }
  return out;
}

[[noreturn]] void raiseOsError(int error, const std::string& path);
[[noreturn]] void raiseOsError(int error, const std::string& words, const std::string& path);

// (samples int16, samples past the 90 s limit or -1 when unknown). A file
// that cannot be read raises the OSError of its errno, one that is refused
// ValueError.
py::tuple readRecording(const std::string& path, const std::string& format) {
  if (format != "raw" && format != "audio") throw py::value_error("input_format must be 'raw' or 'audio'");
  if (format == "audio" && !audioInputSupported()) throw py::value_error("this build reads raw recordings only");
  std::vector<std::int16_t> samples;
  std::int64_t ignored = 0;
  std::vector<std::string> warnings;
  int error = 0;
  std::string refusal;
  {
    py::gil_scoped_release unlocked;
    try {
      samples = threadExtractor().readRecording(
          path, format == "audio" ? feature::InputFormat::Audio : feature::InputFormat::Raw, &ignored, &warnings);
    } catch (const feature::UnreadableRecording& e) {
      error = e.error() != 0 ? e.error() : EIO;
    } catch (const feature::RefusedRecording& e) {
      refusal = e.what();
    }
  }
  if (error != 0) raiseOsError(error, path);
  if (!refusal.empty()) throw py::value_error(refusal);
  py::array_t<std::int16_t> array(static_cast<py::ssize_t>(samples.size()));
  if (!samples.empty()) std::memcpy(array.mutable_data(), samples.data(), samples.size() * 2);
  return py::make_tuple(array, ignored, warnings);
}

// OSError(errno, words, path): Python picks the subclass of the errno
// (FileNotFoundError, PermissionError, ...).
[[noreturn]] void raiseOsError(int error, const std::string& words, const std::string& path) {
  py::object exception = py::module_::import("builtins")
                             .attr("OSError")(error, words, py::module_::import("os").attr("fsdecode")(py::bytes(path)));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raiseOsError(int error, const std::string& path) { raiseOsError(error, std::strerror(error), path); }

void writeHtk(const std::string& path, const py::array_t<float, py::array::c_style>& vectors, std::int32_t samplePeriod,
              std::int16_t parmKind) {
  if (vectors.ndim() != 2) throw py::value_error("write_htk needs a 2-D array (frames, dimensions)");
  const float* data = vectors.data();
  const auto frames = static_cast<std::size_t>(vectors.shape(0));
  const int dimensions = static_cast<int>(vectors.shape(1));
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    try {
      feature::writeHtk(path, data, frames, dimensions, samplePeriod, parmKind);
    } catch (const feature::FileError& e) {
      error = e.error();
    }
  }
  if (error != 0) raiseOsError(error, path);
}

// The tool's batch loop over a list file; process-wide directory strings
// make one run at a time. A process forked while a run holds the lock gets
// it free: the run belongs to the parent.
std::mutex listRuns;

int runList(const std::string& list, const RunSetup& setup) {
  auto configured = std::make_unique<FEATURE>();
  LoopSettings settings;
  int status = 0;
  int openError = 0;
  std::string refusal;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(listRuns);
    refusal = prepareRun(setup, *configured, settings);
    // No progress line from a library call; no pause (nobody to press a key).
    settings.progressLine = nullptr;
    settings.pause = false;
    // Ctrl-C (and any signal whose Python handler raises) ends the run after
    // the utterances under way; the exception is raised when it returns.
    settings.interrupted = [] {
      py::gil_scoped_acquire locked;
      return PyErr_CheckSignals() != 0;
    };
    std::FILE* file = refusal.empty() ? openList(list.c_str()) : nullptr;
    if (refusal.empty() && file == nullptr) {
      openError = errno;
    } else if (file != nullptr) {
      status = runBatch(file, *configured, settings);
      std::fflush(stdout);
      std::fclose(file);
    }
  }
  if (!refusal.empty()) throw py::value_error(refusal);
  if (openError != 0) raiseOsError(openError, list);
  if (PyErr_Occurred() != nullptr) throw py::error_already_set();
  return status;
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

// An online extractor for Python: samples are analysed without the GIL,
// one call at a time per object (a lock, since another thread may call in
// while the GIL is released).
class PythonOnline {
 public:
  PythonOnline(const std::string& normalisation, bool truncate)
      : online_(feature::normalisationNamed(normalisation), truncate) {}

  void accept(const py::buffer& samples) {
    const py::buffer_info info = samples.request();
    if (info.itemsize != 2 || info.ndim != 1 || (info.shape[0] > 1 && info.strides[0] != 2)) {
      throw py::type_error("accept needs a contiguous 1-D buffer of 16-bit integers");
    }
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> hold(lock_);
    online_.acceptWaveform(static_cast<const std::int16_t*>(info.ptr), static_cast<std::size_t>(info.shape[0]));
  }

  void finish() {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> hold(lock_);
    online_.inputFinished();
  }

  // Rows start .. stop - 1 of vectors, records or energies, copied. The
  // first and the last are looked up before anything is allocated (the
  // rows ready are one stretch), so a range past them raises at once.
  py::array_t<float> rows(int start, int stop, int width) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (stop < start) throw py::value_error("stop " + std::to_string(stop) + " comes before start " + std::to_string(start));
    for (const int t : {start, stop - 1}) {
      if (stop == start) break;
      if (width == feature::kDimensions) {
        online_.frame(t);
      } else if (width == feature::kRecordValues) {
        online_.record(t);
      } else {
        online_.energy(t);
      }
    }
    py::array_t<float> out = width == 1 ? py::array_t<float>(stop - start)
                                        : py::array_t<float>({static_cast<py::ssize_t>(stop - start), static_cast<py::ssize_t>(width)});
    float* to = out.mutable_data();
    for (int t = start; t < stop; ++t, to += width) {
      if (width == feature::kDimensions) {
        std::memcpy(to, online_.frame(t), sizeof(float) * width);
      } else if (width == feature::kRecordValues) {
        std::memcpy(to, online_.record(t), sizeof(float) * width);
      } else {
        *to = online_.energy(t);
      }
    }
    return out;
  }

  feature::OnlineExtractor& get() { return online_; }
  std::mutex& lock() { return lock_; }

 private:
  feature::OnlineExtractor online_;
  std::mutex lock_;
};

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
    if (matrix.ndim() != 2) throw py::value_error("a Kaldi matrix is 2-D (rows, columns)");
    const float* data = matrix.data();
    bool written;
    {
      py::gil_scoped_release unlocked;
      written = writer_.add(key, data, static_cast<std::int32_t>(matrix.shape(0)), static_cast<std::int32_t>(matrix.shape(1)));
    }
    if (!writer_.problem().empty()) throw py::value_error(writer_.problem() + ": '" + key + "'");
    if (!written) throw py::value_error("the archive could not be written");
  }

  void commit() {
    std::string what;
    {
      py::gil_scoped_release unlocked;
      what = writer_.commit();
    }
    if (!what.empty()) throw py::value_error(what);
  }

  void abandon() { writer_.abandon(); }

 private:
  kaldi_io::ArchiveWriter writer_;
};

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The MFCC feature extractor's compiled core (use the mfcc_frontend package).";
  py::register_exception<feature::TooLong>(m, "TooLong", PyExc_ValueError);
  m.attr("SAMPLE_RATE") = feature::kSampleRate;
  m.attr("MAX_SAMPLES") = feature::kMaxSamples;
  m.attr("FRAME_DELAY") = feature::kFrameDelay;
  m.def("too_long", [](const std::string& what, std::int64_t samples) {
    return tooLongWords(what, samples) + kTruncateHint;
  });
  m.def("extract", &extract, py::arg("samples"), py::arg("normalisation"), py::arg("truncate"));
  m.def("extract_batch", &extractBatch, py::arg("items"), py::arg("normalisation"), py::arg("truncate"),
        py::arg("jobs"));
  m.def("read_recording", &readRecording, py::arg("path"), py::arg("input_format"));
  m.def("write_htk", &writeHtk, py::arg("path"), py::arg("vectors"), py::arg("sample_period"), py::arg("parm_kind"));
  // The run as the tool's options describe it, field by field under the
  // keywords of run_list.
  py::class_<RunSetup>(m, "RunSetup")
      .def(py::init<>())
      .def_readwrite("normalisation", &RunSetup::mode)
      .def_readwrite("input_dir", &RunSetup::inputDir)
      .def_readwrite("output_dir", &RunSetup::outputDir)
      .def_property(
          "input_format", [](const RunSetup& s) { return std::string(inputFormatName(s.inputFormat)); },
          [](RunSetup& s, const std::string& name) {
            int choice = 0;
            const std::string mistake = kit::readChoice(name.c_str(), inputFormatNames(), "input format", choice);
            if (!mistake.empty()) throw py::value_error(mistake);
            s.inputFormat = static_cast<InputFormat>(choice);
          })
      .def_readwrite("input_extension", &RunSetup::inputExtension)
      .def_readwrite("pairs", &RunSetup::pairs)
      .def_property(
          "part", [](const RunSetup& s) { return std::to_string(s.part) + "/" + std::to_string(s.parts); },
          [](RunSetup& s, const std::string& text) {
            const std::string mistake = kit::readPart(text.c_str(), s.part, s.parts);
            if (!mistake.empty()) throw py::value_error(mistake);
          })
      .def_readwrite("skip_existing", &RunSetup::skipExisting)
      .def_readwrite("no_empty_files", &RunSetup::noEmptyFiles)
      .def_readwrite("htk_qualifiers", &RunSetup::htkQualifiers)
      .def_readwrite("c12_eng", &RunSetup::cepstrumFiles)
      .def_readwrite("jobs", &RunSetup::jobs)
      .def_property(
          "summary", [](const RunSetup& s) { return !s.quiet; }, [](RunSetup& s, bool summary) { s.quiet = !summary; });
  m.def(
      "run_list",
      [](const std::string& list, RunSetup setup, bool truncate) {
        std::atomic<long> longRecordings{0};
        if (!truncate) setup.longRecordings = &longRecordings;
        const int status = runList(list, setup);
        if (longRecordings > 0) {
          const long n = longRecordings.load();
          throw feature::TooLong(tooLongWords(std::to_string(n) + (n == 1 ? " recording" : " recordings"), -1) +
                                 " and got no files (named on standard error)" + kTruncateHint);
        }
        return status;
      },
      py::arg("list_file"), py::arg("setup"), py::arg("truncate"));
  py::list modes;
  for (const NormalisationMode& mode : kNormalisationModes) modes.append(py::make_tuple(mode.name, mode.outExt));
  m.attr("MODES") = modes;
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
  using Online = PythonOnline;
  const auto locked = [](auto read) {
    return [read](Online& o) {
      const std::lock_guard<std::mutex> hold(o.lock());
      return read(o.get());
    };
  };
  py::class_<Online>(m, "OnlineExtractor")
      .def(py::init<const std::string&, bool>(), py::arg("normalisation"), py::arg("truncate"))
      .def("accept", &Online::accept, py::arg("samples"))
      .def("finish", &Online::finish)
      .def("vectors", [](Online& o, int start, int stop) { return o.rows(start, stop, feature::kDimensions); })
      .def("records", [](Online& o, int start, int stop) { return o.rows(start, stop, feature::kRecordValues); })
      .def("energies", [](Online& o, int start, int stop) { return o.rows(start, stop, 1); })
      .def("pop",
           [](Online& o, int n) {
             const std::lock_guard<std::mutex> hold(o.lock());
             o.get().pop(n);
           })
      .def("is_last_frame",
           [](Online& o, int t) {
             const std::lock_guard<std::mutex> hold(o.lock());
             return o.get().isLastFrame(t);
           })
      .def_property_readonly("frames_ready", locked([](const feature::OnlineExtractor& x) { return x.numFramesReady(); }))
      .def_property_readonly("records_ready", locked([](const feature::OnlineExtractor& x) { return x.numRecordsReady(); }))
      .def_property_readonly("energies_ready", locked([](const feature::OnlineExtractor& x) { return x.numEnergiesReady(); }))
      .def_property_readonly("first_frame", locked([](const feature::OnlineExtractor& x) { return x.firstFrame(); }))
      .def_property_readonly("finished", locked([](const feature::OnlineExtractor& x) { return x.finished(); }))
      .def_property_readonly("samples_accepted", locked([](const feature::OnlineExtractor& x) { return x.samplesAccepted(); }))
      .def_property_readonly("samples_ignored", locked([](const feature::OnlineExtractor& x) { return x.samplesIgnored(); }));
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
  py::class_<PythonKaldiWriter>(m, "KaldiWriter")
      .def(py::init<const std::string&, const std::string&>(), py::arg("archive"), py::arg("index"))
      .def("add", &PythonKaldiWriter::add, py::arg("key"), py::arg("matrix"))
      .def("commit", &PythonKaldiWriter::commit)
      .def("abandon", &PythonKaldiWriter::abandon);
  m.attr("MAX_WORKERS") = kMaxWorkers;
  m.attr("VERSION") = FEATURE_VERSION;
  pthread_atfork(nullptr, nullptr, [] { new (&listRuns) std::mutex(); });
  m.def("extension", [](const std::string& normalisation) {
    return std::string(feature::extensionOf(feature::normalisationNamed(normalisation)));
  });
}
