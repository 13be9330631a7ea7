// Online extraction for Python: samples analysed without the GIL, one call
// at a time per object.
#include <cstring>
#include <mutex>
#include <string_view>

#include "binding.h"
#include "online_extractor.h"

namespace binding {

namespace {

// An online extractor for Python: samples are analysed without the GIL,
// one call at a time per object (a lock, since another thread may call in
// while the GIL is released).
class PythonOnline {
 public:
  PythonOnline(const std::string& normalisation, bool truncate, int rate, const std::string& output)
      : online_(feature::normalisationNamed(normalisation), truncate, rate, feature::outputNamed(output)) {}

  void accept(const py::buffer& samples) {
    const py::buffer_info info = samples.request();
    const Samples x = samplesOf(info, "accept");
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> hold(lock_);
    online_.acceptWaveform(x.data, x.count);
  }

  // Bytes of little-endian samples: a sample split between two calls is
  // joined by the extractor.
  void acceptBytes(const py::bytes& bytes) {
    const std::string_view data = bytes;
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> hold(lock_);
    online_.acceptBytes(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  }

  void finish() {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> hold(lock_);
    online_.inputFinished();
  }

  enum Which { kVectors, kRecords, kEnergies };

  // Rows start .. stop - 1 of vectors, records or energies, copied. The
  // first and the last are looked up before anything is allocated (the
  // rows ready are one stretch), so a range past them raises at once.
  py::array_t<float> rows(int start, int stop, Which which) {
    const std::lock_guard<std::mutex> hold(lock_);
    const int width = which == kVectors ? online_.dimension() : which == kRecords ? feature::kRecordValues : 1;
    if (stop < start) throw py::value_error("stop " + std::to_string(stop) + " comes before start " + std::to_string(start));
    for (const int t : {start, stop - 1}) {
      if (stop == start) break;
      if (which == kVectors) {
        online_.frame(t);
      } else if (which == kRecords) {
        online_.record(t);
      } else {
        online_.energy(t);
      }
    }
    py::array_t<float> out = which == kEnergies ? py::array_t<float>(stop - start)
                                        : py::array_t<float>({static_cast<py::ssize_t>(stop - start), static_cast<py::ssize_t>(width)});
    float* to = out.mutable_data();
    for (int t = start; t < stop; ++t, to += width) {
      if (which == kVectors) {
        std::memcpy(to, online_.frame(t), sizeof(float) * width);
      } else if (which == kRecords) {
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

}  // namespace

void bindOnline(py::module_& m) {
  m.attr("FRAME_DELAY") = feature::kFrameDelay;
  using Online = PythonOnline;
  const auto locked = [](auto read) {
    return [read](Online& o) {
      const std::lock_guard<std::mutex> hold(o.lock());
      return read(o.get());
    };
  };
  py::class_<Online>(m, "OnlineExtractor")
      .def(py::init<const std::string&, bool, int, const std::string&>(), py::arg("normalisation"), py::arg("truncate"),
           py::arg("rate"), py::arg("output") = "mfcc")
      .def("accept", &Online::accept, py::arg("samples"))
      .def("accept_bytes", &Online::acceptBytes, py::arg("bytes"))
      .def("finish", &Online::finish)
      .def("vectors", [](Online& o, int start, int stop) { return o.rows(start, stop, Online::kVectors); })
      .def("records", [](Online& o, int start, int stop) { return o.rows(start, stop, Online::kRecords); })
      .def("energies", [](Online& o, int start, int stop) { return o.rows(start, stop, Online::kEnergies); })
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
      .def_property_readonly("samples_ignored", locked([](const feature::OnlineExtractor& x) { return x.samplesIgnored(); }))
      .def_property_readonly("samples_clipped", locked([](const feature::OnlineExtractor& x) { return x.samplesClipped(); }));
}

}  // namespace binding
