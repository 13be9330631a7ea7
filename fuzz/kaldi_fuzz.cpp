// The parsers of a Kaldi data directory and archive on arbitrary bytes: the
// wav.scp and segments readers never accept an id Kaldi cannot read or an
// id twice; every cut of every segment they accept, against recordings of
// lengths taken from the input (up to 2^36 samples), lies inside the
// recording (0 <= first <= end <= samples); the matrix header decoder
// gives sizes it can stand behind or a reason.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "data_directory.h"
#include "feature_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream wavScp(text);
  std::set<std::string> ids;
  for (const kaldi_data::Recording& r : kaldi_data::readWavScp(wavScp)) {
    if (!r.problem.empty()) continue;
    if (!feature_files::kaldiKeyProblem(r.id).empty() || r.source.empty()) std::abort();
    if (!ids.insert(r.id).second) std::abort();
  }
  std::istringstream segmentsText(text);
  std::set<std::string> utterances;
  std::uint64_t lengthBits = 0;
  std::memcpy(&lengthBits, data, std::min<std::size_t>(size, sizeof lengthBits));
  const std::int64_t lengths[] = {0, 1, 319, 16000, (1 << 23) + 7, static_cast<std::int64_t>(lengthBits >> 28)};
  for (const kaldi_data::Segment& s : kaldi_data::readSegments(segmentsText)) {
    if (!s.problem.empty()) continue;
    if (!feature_files::kaldiKeyProblem(s.utterance).empty()) std::abort();
    if (!utterances.insert(s.utterance).second) std::abort();
    for (const std::int64_t samples : lengths) {
      for (const int channels : {1, 2}) {
        for (const float overshoot : {0.5f, 1e9f}) {
          kaldi_data::CutLimits limits;
          limits.maxOvershoot = overshoot;
          limits.minSegmentLength = 0.0f;
          const kaldi_data::Cut cut = kaldi_data::cutSegment(s, samples, channels, 16000.0f, limits);
          if (!cut.problem.empty()) continue;
          if (cut.first < 0 || cut.first > cut.end || cut.end > samples) std::abort();
          if (cut.channel < 0 || cut.channel >= channels) std::abort();
        }
      }
    }
  }
  std::string problem;
  const feature_files::KaldiMatrixHeader h = feature_files::decodeKaldiMatrixHeader(data, size, problem);
  if (problem.empty() && (h.rows < 0 || h.columns < 0 || size < feature_files::kKaldiMatrixHeaderBytes)) std::abort();
  return 0;
}
