// Arbitrary bytes as a recording, through the whole pipeline in all three
// modes. What must always hold: the utterance succeeds, its file is
// 12 + 156 * frames bytes with the frame count of the recording's length,
// no value is NaN or infinite, and the straightforward and the fast front
// end give the same bytes.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "feature.h"

namespace {

std::string scratch;
std::unique_ptr<FEATURE> extractors[4];  // CMN, MVNMA, NONE fast; NONE straightforward
const char* kExtensions[4] = {"cmn", "mvn", "none", "plain"};

std::vector<unsigned char> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/recording-fuzz-XXXXXX";
  scratch = mkdtemp(pattern);
  std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/", scratch.c_str());
  std::snprintf(OUT_EC_DIR, sizeof OUT_EC_DIR, "%s/", scratch.c_str());
  for (int i = 0; i < 4; ++i) {
    extractors[i] = std::make_unique<FEATURE>();
    extractors[i]->normType = i < 3 ? i : 2;
    std::snprintf(extractors[i]->outExt, sizeof extractors[i]->outExt, "%s", kExtensions[i]);
    extractors[i]->settings.console = std::fopen("/dev/null", "w");
    extractors[i]->ini_fea_para();
  }
  extractors[3]->settings.frontEnd = FrontEnd::kStraightforward;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string recording = scratch + "/recording";
  {
    std::FILE* out = std::fopen(recording.c_str(), "wb");
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);
  }
  const long samples = static_cast<long>(std::min<std::size_t>(size / 2, kMaxSamples));
  const long frames = samples < 320 ? 0 : samples / 160 - 1;
  std::vector<unsigned char> files[4];
  for (int i = 0; i < 4; ++i) {
    FEATURE& f = *extractors[i];
    if (f.doExtract(recording.c_str(), "u", 1) != kExtractOk) std::abort();
    f.doReset();
    if (f.totalFrame != frames) std::abort();
    files[i] = readAll(scratch + "/u." + kExtensions[i]);
    if (files[i].size() != 12 + 156 * static_cast<std::size_t>(frames)) std::abort();
    for (std::size_t v = 12; v < files[i].size(); v += 4) {
      const std::uint32_t bits = (std::uint32_t{files[i][v]} << 24) | (std::uint32_t{files[i][v + 1]} << 16) |
                                 (std::uint32_t{files[i][v + 2]} << 8) | files[i][v + 3];
      float value;
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value)) std::abort();
    }
  }
  if (files[2] != files[3]) std::abort();  // fast and straightforward
  return 0;
}
