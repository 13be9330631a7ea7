// A build without libsndfile reads raw recordings only: audio containers
// are refused with that reason.
#include "audio_container.h"
#include "feature.h"

bool audioInputSupported() { return false; }

std::int64_t FEATURE::audioSampleCount(const char*) const { return -1; }

int FEATURE::readContainer(std::FILE*, const char* path, std::vector<std::int16_t>& samples) {
  samples.clear();
  return refuse(path, "this build reads raw recordings only (no libsndfile)");
}

int FEATURE::readAudio(const audio::ByteSource&, const char* path, audio::FrameWindow, int,
                       std::vector<std::int16_t>& samples, int&) {
  samples.clear();
  return refuse(path, "this build reads raw recordings only (no libsndfile)");
}
