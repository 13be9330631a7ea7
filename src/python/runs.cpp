// Runs over list files: the tool's batch loop with a RunSetup whose fields
// are run_list's keywords.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "batch.h"
#include "binding.h"
#include "feature.h"
#include "option_readers.h"

namespace binding {

namespace {

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

}  // namespace

void bindRuns(py::module_& m) {
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
      .def_readwrite("convert", &RunSetup::convert)
      .def_readwrite("lossy", &RunSetup::lossy)
      .def_readwrite("downmix", &RunSetup::downmix)
      .def_property(
          "channel", [](const RunSetup& s) -> py::object { return s.channel < 0 ? py::object(py::none()) : py::object(py::int_(s.channel)); },
          [](RunSetup& s, const py::object& channel) {
            s.channel = channel.is_none() ? -1 : channel.cast<int>();
            if (s.channel < -1 || s.channel > 63) throw py::value_error("channel is counted from 0 to 63");
          })
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
      .def_readwrite("keep_going", &RunSetup::keepGoing)
      .def_readwrite("record", &RunSetup::record)
      .def_property(
          "output", [](const RunSetup& s) { return std::string(feature::nameOf(s.output)); },
          [](RunSetup& s, const std::string& name) { s.output = feature::outputNamed(name); })
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
  m.attr("MAX_WORKERS") = kMaxWorkers;
  pthread_atfork(nullptr, nullptr, [] { new (&listRuns) std::mutex(); });
}

}  // namespace binding
