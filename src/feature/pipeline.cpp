// The extractor object's run settings and the per-utterance pipeline:
// samples -> cepstra -> lifter -> (CMN) -> deltas -> vectors -> (MVN) -> file.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "feature.h"

char IN_WAV_DIR[kDirCapacity];
char OUT_C12_DIR[kDirCapacity];
char OUT_EC_DIR[kDirCapacity];

namespace {

constexpr const char* kUsage =
    "feature.exe <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>\n";

// "Normalization parameter incorrect! Please enter CMN or MVNMA", in Big5
// (code page 950), written as these bytes whatever the terminal's encoding.
constexpr const char* kBadModeMessage =
    "Normalization"
    "\xB0\xD1\xBC\xC6\xA4\xA3\xA5\xBF\xBD\x54\xA1\x49\xBD\xD0\xBF\xE9\xA4\x4A"
    "CMN"
    "\xA9\xCE"
    "MVNMA"
    "\n";

[[noreturn]] void endRun(std::FILE* console, const char* message) {
  std::fputs(message, console);
  std::fflush(console);
  std::exit(1);
}

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

bool waitForOneCharacter() {
  // Input that is no terminal belongs to whoever runs the tool (the next
  // lines of a while-read loop, a here-document): nobody is there to press
  // a key, and a character taken would be lost to them.
  return isatty(STDIN_FILENO) && readOneCharacter();
}

bool readOneCharacter() {
  char c;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

void FEATURE::checkArgs(int argc, char** argv) {
  if (argc != 5) endRun(settings.console, kUsage);
  normType = -1;
  if (const NormalisationMode* mode = modeNamed(argv[4])) {
    normType = mode->normType;
    std::snprintf(outExt, sizeof outExt, "%s", mode->outExt);
    return;
  }
  endRun(settings.console, kBadModeMessage);
}

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
      std::fprintf(settings.console, "Error\n");
      std::fflush(settings.console);
      if (settings.pauseAfterError) waitForOneCharacter();
      result = kOutputFailed;
    }
  } else if (outputKind == 2) {
    std::fprintf(settings.console, "%s\n", name);
    for (int t = 0; t < totalFrame; ++t) {
      std::fprintf(settings.console, "\t%d:", t);
      for (int d = 0; d < kOutDim; ++d) {
        std::fprintf(settings.console, " %f", static_cast<double>(outData[t * kOutDim + d]));
      }
      std::fprintf(settings.console, "\n");
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
  const std::size_t frames = static_cast<std::size_t>(totalFrame);
  try {
    outData.assign(frames * kOutDim, 0.0f);
    deltaData.assign(frames * kCepDim, 0.0f);
    accData.assign(frames * kCepDim, 0.0f);
  } catch (const std::bad_alloc&) {
    if (settings.console != nullptr) std::fprintf(settings.console, "memory allocate error\n");
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
