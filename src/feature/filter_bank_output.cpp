// The filter-bank outputs: the 24 log filter outputs the DCT takes, as
// vectors of their own (see output_choice.h).
#include <stdexcept>

#include "feature.h"
#include "option_readers.h"

namespace feature {

namespace {

struct OutputEntry {
  Output output;
  const char* name;
  int dimension;
};
constexpr OutputEntry kOutputs[] = {
    {Output::Mfcc, "mfcc", kOutDim},
    {Output::Fbank, "fbank", kNumFilters},
    {Output::FbankDeltas, "fbank-deltas", 3 * kNumFilters},
};

}  // namespace

const char* nameOf(Output output) { return kOutputs[static_cast<int>(output)].name; }
int dimensionOf(Output output) { return kOutputs[static_cast<int>(output)].dimension; }

std::vector<std::string> outputNames() {
  std::vector<std::string> names;
  for (const OutputEntry& e : kOutputs) names.emplace_back(e.name);
  return names;
}

Output outputNamed(const std::string& name) {
  for (const OutputEntry& e : kOutputs) {
    if (name == e.name) return e.output;
  }
  throw std::invalid_argument("unknown output '" + name + "': " + kit::listOf(outputNames()));
}

std::string outputProblem(Output output, int normType) {
  if (output != Output::Mfcc && normType == 1) {
    return "MVNMA is defined for the MFCC vectors only: filter banks take CMN or NONE";
  }
  return "";
}

}  // namespace feature

std::int16_t filterBankParmKind(std::int32_t normType, feature::Output output) {
  constexpr int kParmFbank = 7, kDelta = 0x100, kAcceleration = 0x200, kZeroMean = 0x800;
  const int kind = kParmFbank | (output == feature::Output::FbankDeltas ? kDelta | kAcceleration : 0) |
                   (normType == 0 ? kZeroMean : 0);
  return static_cast<std::int16_t>(kind);
}

const char* outputExtension(feature::Output output, std::int32_t normType) {
  const bool cmn = normType == 0;
  switch (output) {
    case feature::Output::Fbank:
      return cmn ? "fbk24Z" : "fbk24";
    case feature::Output::FbankDeltas:
      return cmn ? "fbk24DAZ" : "fbk24DA";
    case feature::Output::Mfcc:
      break;
  }
  return modeOfType(normType).outExt;
}

int FEATURE::outDim() const { return feature::dimensionOf(settings.output); }

void FEATURE::filterBankStatics(int n, float* out) const {
  for (int t = 0; t < n; ++t) {
    for (int k = 1; k <= kNumFilters; ++k) out[t * kNumFilters + k - 1] = static_cast<float>(melBand[t][k]);
  }
}

void FEATURE::filterBankVectors(float* statics, int n, std::int32_t normType, feature::Output output, float* out) {
  if (normType == 0) removeColumnMeans(statics, n, kNumFilters);
  const std::size_t values = static_cast<std::size_t>(n) * kNumFilters;
  if (output != feature::Output::FbankDeltas) {
    std::copy(statics, statics + values, out);
    return;
  }
  std::vector<float> deltas(values), accelerations(values);
  deltaRegression(n, kNumFilters, statics, deltas.data());
  deltaRegression(n, kNumFilters, deltas.data(), accelerations.data());
  for (int t = 0; t < n; ++t) {
    float* row = out + static_cast<std::size_t>(t) * 3 * kNumFilters;
    const std::size_t at = static_cast<std::size_t>(t) * kNumFilters;
    std::copy(statics + at, statics + at + kNumFilters, row);
    std::copy(deltas.begin() + static_cast<std::ptrdiff_t>(at), deltas.begin() + static_cast<std::ptrdiff_t>(at) + kNumFilters, row + kNumFilters);
    std::copy(accelerations.begin() + static_cast<std::ptrdiff_t>(at),
              accelerations.begin() + static_cast<std::ptrdiff_t>(at) + kNumFilters, row + 2 * kNumFilters);
  }
}

bool FEATURE::assembleFilterBanks() {
  const std::string refused = feature::outputProblem(settings.output, normType);
  if (!refused.empty()) throw std::invalid_argument(refused);
  const std::size_t frames = static_cast<std::size_t>(totalFrame);
  try {
    std::vector<float> statics(frames * kNumFilters);
    filterBankStatics(totalFrame, statics.data());
    outData.assign(frames * static_cast<std::size_t>(outDim()), 0.0f);
    filterBankVectors(statics.data(), totalFrame, normType, settings.output, outData.data());
  } catch (const std::bad_alloc&) {
    say("memory allocate error\n");
    releaseRecords();
    outData.clear();
    return false;
  }
  return true;
}
