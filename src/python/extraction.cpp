// Extraction from samples in memory, one utterance or a batch on the
// kit's worker pool, the GIL released while the library works.
#include <atomic>
#include <exception>
#include <cstring>
#include <memory>

#include "binding.h"
#include "feature.h"
#include "fast_front_end.h"
#include "option_readers.h"
#include "ordered_pool.h"
#include "resampler.h"

namespace binding {

namespace {

// samples: a C-contiguous buffer of native 16-bit integers (the package
// makes sure of it). Returns (vectors (n, 39), records (n, 13), energies (n,)).
py::tuple extract(const py::buffer& samples, const std::string& normalisation, bool truncate, const std::string& output) {
  const Samples x = samplesOf(samples.request(), "extract");
  const auto mode = feature::normalisationNamed(normalisation);
  const feature::Output what = feature::outputNamed(output);
  feature::Utterance u;
  {
    py::gil_scoped_release unlocked;
    u = threadExtractor().extract(x.data, x.count, mode, truncate, what);
  }
  const py::ssize_t n = u.frames;
  return py::make_tuple(arrayOf(std::move(u.vectors), {n, feature::dimensionOf(what)}),
                        arrayOf(std::move(u.records), {n, feature::kRecordValues}), arrayOf(std::move(u.energies), {n}));
}

// A batch of utterances on jobs C++ threads, the GIL released for the whole
// batch: the (vectors, records, energies) of each, in the order given. The
// first utterance that fails (in index order) raises, after every thread
// has stopped, with its index in the message.
py::list extractBatch(const py::list& items, const std::string& normalisation, bool truncate, int jobs,
                      const std::string& output) {
  const feature::Output what = feature::outputNamed(output);
  std::vector<Samples> batch;
  std::vector<py::buffer_info> held;  // keeps the buffers' views while threads read them
  held.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    held.push_back(items[i].cast<py::buffer>().request());
    batch.push_back(samplesOf(held.back(), "utterance " + std::to_string(i)));
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
          results[i] = extractor->extract(batch[i].data, batch[i].count, mode, truncate, what);
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
    out.append(py::make_tuple(arrayOf(std::move(u.vectors), {n, feature::dimensionOf(what)}),
                              arrayOf(std::move(u.records), {n, feature::kRecordValues}),
                              arrayOf(std::move(u.energies), {n})));
  }
  return out;
}

}  // namespace

// A whole recording at rate (float values in the 16-bit scale) converted
// to 16 kHz 16-bit samples: (samples, clipped).
py::tuple resample(const py::array_t<float, py::array::c_style>& values, int rate) {
  if (values.ndim() != 1) throw py::value_error("resample needs a 1-D array of samples");
  const float* x = values.data();
  const auto n = static_cast<std::size_t>(values.shape(0));
  std::vector<std::int16_t> out;
  std::uint64_t clipped = 0;
  {
    py::gil_scoped_release unlocked;
    const audio::Resampler resampler(rate, fast_front_end::frontEndChoice(FrontEnd::kFastest).resample);
    std::vector<float> y;
    resampler.convert(x, 0, n, static_cast<std::int64_t>(n), 0, resampler.outputCount(n), y);
    out.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) out[i] = audio::toInt16(y[i], clipped);
  }
  py::array_t<std::int16_t> array(static_cast<py::ssize_t>(out.size()));
  if (!out.empty()) std::memcpy(array.mutable_data(), out.data(), out.size() * 2);
  return py::make_tuple(array, clipped);
}

void bindExtraction(py::module_& m) {
  m.def("resample", &resample, py::arg("values"), py::arg("rate"));
  // The rate a speed factor (as written) plays a 16 kHz recording at.
  m.def("speed_rate", [](const std::string& factor) {
    std::vector<kit::Speed> speeds;
    const std::string mistake = kit::readSpeeds(factor.c_str(), speeds);
    if (!mistake.empty() || speeds.size() != 1) {
      throw py::value_error("a speed factor is from 0.5 to 2 (as 0.9 or 1.1), not " + factor);
    }
    return speeds[0].rate;
  });
  m.def("extract", &extract, py::arg("samples"), py::arg("normalisation"), py::arg("truncate"),
        py::arg("output") = "mfcc");
  m.def("extract_batch", &extractBatch, py::arg("items"), py::arg("normalisation"), py::arg("truncate"),
        py::arg("jobs"), py::arg("output") = "mfcc");
  m.def("output_extension", [](const std::string& output, const std::string& normalisation) {
    const feature::Output what = feature::outputNamed(output);
    const auto mode = feature::normalisationNamed(normalisation);
    const std::string refused = feature::outputProblem(what, static_cast<int>(mode));
    if (!refused.empty()) throw py::value_error(refused);
    return std::string(outputExtension(what, static_cast<std::int32_t>(mode)));
  });
  m.def("output_parm_kind", [](const std::string& output, const std::string& normalisation) {
    return filterBankParmKind(static_cast<std::int32_t>(feature::normalisationNamed(normalisation)),
                              feature::outputNamed(output));
  });
  m.def("too_long", [](const std::string& what, std::int64_t samples) {
    return tooLongWords(what, samples) + kTruncateHint;
  });
  m.def("extension", [](const std::string& normalisation) {
    return std::string(feature::extensionOf(feature::normalisationNamed(normalisation)));
  });
}

}  // namespace binding
