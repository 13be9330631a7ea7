// Computes the cepstra of a 1000 Hz tone with the installed extractor and
// prints the frame count and C0 of the first frame; the library and the
// online extractor give the same.
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <feature/extractor.h>
#include <feature/feature.h>
#include <feature/online_extractor.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::vector<short> samples(480);
  for (int n = 0; n < 480; ++n) samples[n] = static_cast<short>(std::lround(10000 * std::sin(2 * M_PI * n / 16)));
  std::FILE* out = std::fopen(argv[1], "wb");
  std::fwrite(samples.data(), 2, samples.size(), out);
  std::fclose(out);
  auto extractor = std::make_unique<FEATURE>();
  extractor->ini_fea_para();
  const int frames = extractor->MFCC_shell(argv[1]);
  std::printf("frames %d C0 %.2f\n", frames, extractor->cepData[12]);
  // The same samples through the library's way in: the same record.
  feature::Extractor library;
  const feature::Utterance u = library.extract(reinterpret_cast<const std::int16_t*>(samples.data()), samples.size(),
                                               feature::Normalisation::None);
  const bool same = u.frames == frames && u.records.size() == 26 && u.records[12] == extractor->cepData[12];
  // And online, 10 ms at a time: the same vectors.
  feature::OnlineExtractor online(feature::Normalisation::None);
  for (std::size_t at = 0; at < samples.size(); at += 160) {
    online.acceptWaveform(reinterpret_cast<const std::int16_t*>(samples.data()) + at, 160);
  }
  online.inputFinished();
  const bool sameOnline = online.numFramesReady() == 2 && online.frame(1)[38] == u.vectors[77];
  return frames == 2 && same && sameOnline ? 0 : 1;
}
