// The extractor object's run settings and the per-utterance pipeline:
// samples -> cepstra -> lifter -> (CMN) -> deltas -> vectors -> (MVN) -> file.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "feature.h"

char IN_WAV_DIR[kDirCapacity];
char OUT_C12_DIR[kDirCapacity];
char OUT_EC_DIR[kDirCapacity];

namespace {

void release(std::vector<float>& values) { std::vector<float>().swap(values); }

}  // namespace

const NormalisationMode kNormalisationModes[3] = {
    {"CMN", 0, "mfcKVR0DAZC39", "cepstral mean normalisation of the 13 cepstra"},
    {"MVNMA", 1, "mfcKVR0DAC39mvacqx_kvr", "mean-variance normalisation and ARMA smoothing"},
    {"NONE", 2, "mfcKVR0DAC39", "no normalisation"},
};

const NormalisationMode* modeNamed(const char* name) {
  for (const NormalisationMode& mode : kNormalisationModes) {
    if (std::strcmp(name, mode.name) == 0) return &mode;
  }
  return nullptr;
}

std::vector<std::string> modeNames() {
  std::vector<std::string> names;
  for (const NormalisationMode& mode : kNormalisationModes) names.emplace_back(mode.name);
  return names;
}

const NormalisationMode& modeOfType(std::int32_t normType) { return kNormalisationModes[normType]; }

int FEATURE::doExtract(const char* path, const char* name, int outputKind) {
  const int analysed = MFCC_shell(path);
  if (analysed == kRecordingUnreadable) return kRecordingUnreadable;
  if (analysed == kShellNoMemory || analysed == kRecordingRefused) return kExtractFailed;
  if (totalFrame == 0 && settings.skipEmptyFiles && outputKind == 1) {
    report({ProblemKind::kNoFrames, name, 0, "", outcome.samplesRead});
    // A file left by an earlier run would hold features of a recording
    // that no longer exists.
    removeOutput(name);
    return kNoFrames;
  }
  int result = kExtractOk;
  const bool assembled = finishUtterance([&] {
    if (settings.writeCepstrumFiles && outputKind == 1 && OutputFeature(name) == 0) result = kExtractFailed;
  });
  if (!assembled) return kExtractFailed;

  if (outputKind == 1) {
    if (OutputFeatureHTKFormat(name, outExt) == 0) {
      // The run pauses until a key is pressed, then goes on.
      say("Error\n");
      if (settings.pauseAfterError) waitForOneCharacter();
      result = kOutputFailed;
    }
  } else if (outputKind == 2) {
    say("%s\n", name);
    for (int t = 0; t < totalFrame; ++t) {
      say("\t%d:", t);
      for (int d = 0; d < outDim(); ++d) say(" %f", static_cast<double>(outData[t * outDim() + d]));
      say("\n");
    }
  }

  releaseRecords();
  return result;
}

bool FEATURE::finishUtterance(const std::function<void()>& withLifteredRecords) {
  CEPLIFTER(totalFrame);
  if (withLifteredRecords) withLifteredRecords();
  return assembleVectors();
}

void FEATURE::releaseRecords() {
  release(cepData);
  release(deltaData);
  release(accData);
}

bool FEATURE::assembleVectors() {
  if (settings.output != feature::Output::Mfcc) return assembleFilterBanks();
  const std::size_t frames = static_cast<std::size_t>(totalFrame);
  try {
    outData.assign(frames * kOutDim, 0.0f);
    deltaData.assign(frames * kCepDim, 0.0f);
    accData.assign(frames * kCepDim, 0.0f);
  } catch (const std::bad_alloc&) {
    say("memory allocate error\n");
    releaseRecords();
    release(outData);
    return false;
  }

  if (normType == 0) CMN_New(cepData.data(), totalFrame);
  getDeltaCep_New(totalFrame, cepData.data(), deltaData.data());
  getDeltaCep_New(totalFrame, deltaData.data(), accData.data());
  AssignCepToOutData();
  if (normType == 1) MVN(outData.data(), totalFrame);
  return true;
}

void FEATURE::doReset() { release(outData); }
