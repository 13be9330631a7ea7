// Training shards: feature-kaldi's shard writer, for write_shards.
#include <cstdio>

#include "binding.h"
#include "corpus_statistics.h"
#include "shard_writer.h"
#include "text_and_streams.h"

namespace binding {

namespace {

// A key in words Python can hold: control bytes and bytes past ASCII as \xHH.
std::string shown(const std::string& key) {
  std::string out;
  for (const char c : kit::printable(key)) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

class PythonShardWriter {
 public:
  PythonShardWriter(const std::string& directory, const std::string& name, std::uint64_t perShard) {
    training::ShardSettings settings;
    settings.directory = directory;
    settings.name = name;
    settings.perShard = perShard;
    const std::string refused = writer_.open(settings);
    if (!refused.empty()) throw py::value_error(refused);
  }

  void add(std::uint64_t position, const std::string& key, const py::array_t<float, py::array::c_style>& matrix,
           const std::string& mode, int sampleRate, double seconds, const std::string& source,
           const std::string& output) {
    if (matrix.ndim() != 2) throw py::value_error(shown(key) + ": a shard holds 2-D arrays (frames, values)");
    const std::string bad = training::keyProblem(key);
    if (!bad.empty()) throw py::value_error(bad + ": " + shown(key));
    training::EntryFacts facts;
    facts.mode = mode;
    facts.output = output;
    facts.sampleRate = sampleRate;
    facts.seconds = seconds;
    facts.source = source;
    const float* data = matrix.data();
    bool written;
    {
      py::gil_scoped_release unlocked;
      written = writer_.add(position, key, data, static_cast<std::uint32_t>(matrix.shape(0)),
                            static_cast<std::uint32_t>(matrix.shape(1)), facts);
    }
    if (!written) throw py::value_error(writer_.problem());
  }

  void commit() { commitOrRaise(writer_); }

  void abandon() { writer_.abandon(); }

 private:
  training::ShardWriter writer_;
};

// Statistics over matrices added from any thread order; exact, so the same
// for any order.
class PythonStatistics {
 public:
  void add(const py::array_t<float, py::array::c_style>& matrix) {
    if (matrix.ndim() != 2) throw py::value_error("statistics are taken over 2-D arrays (frames, values)");
    std::string problem;
    {
      py::gil_scoped_release unlocked;
      problem = statistics_.add(matrix.data(), static_cast<std::uint64_t>(matrix.shape(0)),
                                static_cast<std::uint32_t>(matrix.shape(1)));
    }
    if (!problem.empty()) throw py::value_error(problem);
  }
  void merge(const PythonStatistics& other) {
    const std::string problem = statistics_.add(other.statistics_);
    if (!problem.empty()) throw py::value_error(problem);
  }
  std::uint64_t frames() const { return statistics_.frames(); }
  std::uint32_t dimension() const { return statistics_.dimension(); }
  py::array_t<double> sums() const { return asArray(statistics_.sums()); }
  py::array_t<double> squares() const { return asArray(statistics_.squares()); }

 private:
  static py::array_t<double> asArray(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
  }
  training::CorpusStatistics statistics_;
};

}  // namespace

void bindShards(py::module_& m) {
  py::class_<PythonShardWriter>(m, "ShardWriter")
      .def(py::init<const std::string&, const std::string&, std::uint64_t>(), py::arg("directory"), py::arg("name"),
           py::arg("per_shard"))
      .def("add", &PythonShardWriter::add, py::arg("position"), py::arg("key"), py::arg("matrix"), py::arg("mode"),
           py::arg("sample_rate"), py::arg("seconds"), py::arg("source"), py::arg("output") = "mfcc")
      .def("commit", &PythonShardWriter::commit)
      .def("abandon", &PythonShardWriter::abandon);
  py::class_<PythonStatistics>(m, "Statistics")
      .def(py::init<>())
      .def("add", &PythonStatistics::add, py::arg("matrix"))
      .def("merge", &PythonStatistics::merge, py::arg("other"))
      .def_property_readonly("frames", &PythonStatistics::frames)
      .def_property_readonly("dimension", &PythonStatistics::dimension)
      .def("sums", &PythonStatistics::sums)
      .def("squares", &PythonStatistics::squares);
  m.def("shard_stem", &training::stemOf, py::arg("key"));
}

}  // namespace binding
