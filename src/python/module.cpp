// The extension module mfcc_frontend._core: constants, the exception of
// the 90-second limit, and the areas of binding.h.
#include "binding.h"
#include "feature.h"

PYBIND11_MODULE(_core, m) {
  namespace py = pybind11;
  m.doc() = "The MFCC feature extractor's compiled core (use the mfcc_frontend package).";
  py::register_exception<feature::TooLong>(m, "TooLong", PyExc_ValueError);
  m.attr("SAMPLE_RATE") = feature::kSampleRate;
  m.attr("MAX_SAMPLES") = feature::kMaxSamples;
  m.attr("VERSION") = FEATURE_VERSION;
  py::list modes;
  for (const NormalisationMode& mode : kNormalisationModes) modes.append(py::make_tuple(mode.name, mode.outExt));
  m.attr("MODES") = modes;
  binding::bindExtraction(m);
  binding::bindOnline(m);
  binding::bindFiles(m);
  binding::bindRuns(m);
#if defined(FEATURE_SHARDS)
  binding::bindShards(m);
#endif
}
