// Arbitrary bytes as an audio file (--input-format=audio). What must always
// hold: no crash, leak or hang; the file is either refused or gives at most
// 90 s of samples, and never more samples than its bytes can hold.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "feature.h"

namespace {

std::string scratch;
std::unique_ptr<FEATURE> extractor;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/audio-fuzz-XXXXXX";
  scratch = mkdtemp(pattern);
  extractor = std::make_unique<FEATURE>();
  extractor->settings.inputFormat = InputFormat::kAudio;
  extractor->settings.console = std::fopen("/dev/null", "w");
  extractor->settings.errors = extractor->settings.console;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string recording = scratch + "/recording";
  {
    std::FILE* out = std::fopen(recording.c_str(), "wb");
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);
  }
  std::vector<std::int16_t> samples;
  const int result = extractor->readRecording(recording.c_str(), samples);
  if (result == kExtractOk) {
    // FLAC compresses: up to 4096 samples of silence fit in a few bytes.
    if (samples.size() > static_cast<std::size_t>(kMaxSamples)) std::abort();
  } else if (result != kRecordingRefused || !samples.empty()) {
    std::abort();
  }
  return 0;
}
