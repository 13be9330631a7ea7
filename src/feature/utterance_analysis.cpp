// One utterance from its samples to its cepstral records: the frame count,
// the frame analysis and the DCT. analyseSamples is the way in for samples in
// memory; MFCC_shell reads a recording and goes through it.
#include <new>

#include "feature.h"

int FEATURE::MFCC_shell(const char* path) {
  totalFrame = 0;
  outcome.samplesRead = 0;
  cepData.clear();
  std::vector<std::int16_t> samples;
  const int read = readRecording(path, samples);
  if (read != kExtractOk) return read;
  return analyseSamples(samples.data(), static_cast<std::int32_t>(samples.size()));
}

int FEATURE::analyseSamples(const std::int16_t* samples, std::int32_t n) {
  totalFrame = 0;
  outcome.samplesRead = n;
  const int frames = getTotalFrame(n);
  try {
    cepData.assign(static_cast<std::size_t>(frames) * kCepDim, 0.0f);
  } catch (const std::bad_alloc&) {
    say("memory allocate error\n");
    return kShellNoMemory;
  }
  totalFrame = frames;

  if (resolveFrontEnd(settings.frontEnd) == FrontEnd::kStraightforward) {
    MelBandMagnitude(samples);
    DCT(cepData.data());
  } else {
    FastFrameAnalysis(samples, cepData.data());
  }
  return totalFrame;
}

std::int32_t FEATURE::getTotalFrame(std::int32_t n) const {
  if (n == 0) return 0;
  return (n - kFrameShift) / kFrameShift;
}
