// Frame analysis, utterance analysis, cepstra and lifter: energies, filter
// outputs, a 1000 Hz tone end to end, frame counts, reading.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace {

// Samples for frames analysed one after another: frame i is filled by
// value(i, j) for its first 160 samples, and the second half of the last
// frame repeats it (so frames overlap as in a recording).
template <typename Value>
std::vector<std::int16_t> framesOf(int frames, Value value) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames + 1) * kFrameShift);
  for (int i = 0; i <= frames; ++i) {
    for (int j = 0; j < kFrameShift; ++j) samples[i * kFrameShift + j] = value(i, j);
  }
  return samples;
}

float energyOf(double meanSquare) {
  return static_cast<float>(std::log10(meanSquare)) * 10.0f;
}

TEST(FrameEnergy, ConstantFramesHaveEnergyButNoSpectrum) {
  auto f = test::makeExtractor();
  for (int v : {100, 1000, -7}) {
    const std::vector<std::int16_t> samples(480, static_cast<std::int16_t>(v));
    f->totalFrame = 2;
    f->MelBandMagnitude(samples.data());
    EXPECT_EQ(f->frameEng[0], energyOf(static_cast<double>(v) * v));
    for (int k = 1; k <= 24; ++k) EXPECT_EQ(f->melBand[0][k], 0.0) << v << " filter " << k;
  }
  std::vector<std::int16_t> samples(480, 100);
  f->totalFrame = 1;
  f->MelBandMagnitude(samples.data());
  EXPECT_FLOAT_EQ(f->frameEng[0], 40.0f);
  samples.assign(480, 1000);
  f->MelBandMagnitude(samples.data());
  EXPECT_FLOAT_EQ(f->frameEng[0], 60.0f);
}

TEST(FrameEnergy, FullScaleFrame) {
  auto f = test::makeExtractor();
  const std::vector<std::int16_t> samples(480, -32768);
  f->totalFrame = 1;
  f->MelBandMagnitude(samples.data());
  EXPECT_NEAR(f->frameEng[0], 90.309, 5e-4);  // 10 log10(2^30)
}

TEST(FrameEnergy, SilentRunsTakeTheEnergyOfTheNextSoundingFrame) {
  auto f = test::makeExtractor();
  // Frames 3-4 and 7 silent (both halves zero), the others at +-1000 or 100.
  auto samples = framesOf(9, [](int i, int j) -> std::int16_t {
    if (i == 3 || i == 4 || i == 5 || i == 7 || i == 8) return 0;
    return static_cast<std::int16_t>(i == 6 ? 100 : (j % 2 ? 1000 : -1000));
  });
  // Frame i covers halves i and i+1: frames 3, 4 and 7 are silent; frame 5
  // holds half 6 (value 100, 40 dB / 2 in power); frame 6 half 6 only.
  f->totalFrame = 9;
  f->frameEng.fill(-999.0f);
  f->MelBandMagnitude(samples.data());
  const float loud = energyOf(1000.0 * 1000.0);
  const float halfQuiet = energyOf(100.0 * 100.0 / 2.0);
  EXPECT_EQ(f->frameEng[0], loud);
  EXPECT_EQ(f->frameEng[2], energyOf(1000.0 * 1000.0 / 2.0));
  EXPECT_EQ(f->frameEng[3], halfQuiet);  // run 3-4 takes frame 5's energy
  EXPECT_EQ(f->frameEng[4], halfQuiet);
  EXPECT_EQ(f->frameEng[5], halfQuiet);
  EXPECT_EQ(f->frameEng[6], halfQuiet);
  EXPECT_EQ(f->frameEng[7], energyOf(1000.0 * 1000.0 / 2.0));  // takes frame 8's
  EXPECT_EQ(f->frameEng[8], energyOf(1000.0 * 1000.0 / 2.0));
}

TEST(FrameEnergy, SilentTailAndSilentUtteranceNeverKeepOldValues) {
  auto f = test::makeExtractor();
  f->frameEng.fill(123.0f);
  // Loud frames 0-1, then silence to the end.
  auto tail = framesOf(6, [](int i, int) -> std::int16_t { return i < 2 ? 500 : 0; });
  f->totalFrame = 6;
  f->MelBandMagnitude(tail.data());
  EXPECT_EQ(f->frameEng[1], energyOf(500.0 * 500.0 / 2.0));
  for (int i = 2; i < 6; ++i) EXPECT_EQ(f->frameEng[i], f->frameEng[1]) << i;

  const std::vector<std::int16_t> silence(160 * 7, 0);
  f->frameEng.fill(123.0f);
  f->totalFrame = 5;
  f->MelBandMagnitude(silence.data());
  const float silentEnergy = static_cast<float>(std::log10(1.0 / 320.0)) * 10.0f;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f->frameEng[i], silentEnergy) << i;
  EXPECT_EQ(f->frameEng[5], 123.0f);  // beyond the frame count: untouched
  EXPECT_NEAR(silentEnergy, -25.0515, 1e-4);
}

TEST(FrameAnalysis, NoFramesWritesNothing) {
  auto f = test::makeExtractor();
  f->melBand[0][3] = 7.0;
  f->frameEng[0] = 7.0f;
  const std::int16_t samples[1] = {1};
  for (int frames : {0, -1}) {
    f->totalFrame = frames;
    EXPECT_EQ(f->MelBandMagnitude(samples), 1);
    f->DCT(nullptr);
  }
  EXPECT_EQ(f->melBand[0][3], 7.0);
  EXPECT_EQ(f->frameEng[0], 7.0f);
}

TEST(FrameSteps, MeanRemovalPreEmphasisAndWindow) {
  auto f = test::makeExtractor();
  std::array<float, kFrameLength> frame;
  for (int j = 0; j < kFrameLength; ++j) frame[j] = static_cast<float>(j % 7) - 1.0f;
  f->SubDC(frame.data());
  double sum = 0;
  for (float v : frame) sum += v;
  EXPECT_NEAR(sum, 0.0, 1e-4);

  frame.fill(2.0f);
  frame[0] = 4.0f;
  f->PreEmphasis(frame.data());
  // In single precision: x[0] (1 - 0.95), as if preceded by itself; the
  // others use the unchanged x[j - 1].
  EXPECT_EQ(frame[0], 0.20000004768371582f);
  EXPECT_EQ(frame[1], -1.7999999523162842f);
  EXPECT_EQ(frame[2], 0.10000002384185791f);

  frame.fill(1.0f);
  f->Haming_window(frame.data());
  for (int j = 0; j < kFrameLength; ++j) EXPECT_EQ(frame[j], static_cast<float>(f->hamWin[j]));
}

// A 1000 Hz sine of amplitude 10000 (bin 32, 16 samples
// a period), followed from the samples to the liftered record.
TEST(WorkedExample, ThousandHertzFrameEndToEnd) {
  test::ScratchDir dir;
  const std::string path = dir / "sine.raw";
  test::writeSamples(path, test::sine(480, 1000.0, 10000.0));
  auto f = test::makeExtractor();

  ASSERT_EQ(f->MFCC_shell(path.c_str()), 2);
  EXPECT_NEAR(f->frameEng[0], 76.98979, 5e-5);
  EXPECT_EQ(f->filterIdx[32], 8);
  EXPECT_NEAR(f->filterWeight[32], 0.1973821, 6e-8);

  // The filter outputs themselves, from a second analysis before the DCT
  // turns them into logarithms.
  f->MelBandMagnitude(test::sine(480, 1000.0, 10000.0).data());
  const auto& band = f->melBand[0];
  EXPECT_NEAR(band[9], 759853.0, 5.0);
  EXPECT_NEAR(band[8], 214316.0, 5.0);
  EXPECT_NEAR(band[10], 22766.0, 1.0);
  for (int k = 1; k <= 24; ++k) {
    if (k < 8 || k > 10) {
      EXPECT_LT(band[k], 22766.0) << "filter " << k;
    }
  }

  const float* record = f->cepData.data();
  EXPECT_NEAR(record[12], 60.15, 0.005);  // C0
  EXPECT_NEAR(record[1], -3.4131, 5e-5);  // c2
  EXPECT_NEAR(record[2], -4.0345, 5e-5);  // c3
  EXPECT_NEAR(record[5], 2.3681, 5e-5);   // c6
  const float c0 = record[12];
  f->CEPLIFTER(f->totalFrame);
  EXPECT_NEAR(record[1], -13.990, 5e-4);
  EXPECT_NEAR(record[2], -22.470, 5e-4);
  EXPECT_EQ(record[12], c0);
}

TEST(Cepstrum, SilentAndFlatFilterOutputs) {
  auto f = test::makeExtractor();
  f->totalFrame = 2;
  std::vector<float> cep(2 * kCepDim, -1.0f);
  for (int k = 1; k <= 24; ++k) {
    f->melBand[0][k] = k % 2 ? 0.0 : 1.0;  // at most 1: logs are 0
    f->melBand[1][k] = std::exp(1.0);      // every log output 1
  }
  f->DCT(cep.data());
  for (int k = 1; k <= 24; ++k) EXPECT_EQ(f->melBand[0][k], 0.0);
  for (int n = 0; n < kCepDim; ++n) EXPECT_EQ(cep[n], 0.0f) << n;
  for (int n = 0; n < kNumCeps; ++n) EXPECT_NEAR(cep[kCepDim + n], 0.0, 1e-5) << n;
  EXPECT_EQ(cep[kCepDim + 12], 6.928203f);
  EXPECT_EQ(cep[kCepDim + 12], 24.0f * 0.28867513f);
}

// C0 sums the logs in single precision, rounding after every addition: 24
// values chosen so that a double-precision sum rounds differently.
TEST(Cepstrum, C0RoundsTheSumAfterEveryAddition) {
  auto f = test::makeExtractor();
  f->totalFrame = 1;
  float c0 = 0.0f;
  double exactSum = 0.0;
  for (int k = 1; k <= 24; ++k) {
    f->melBand[0][k] = std::exp(1.0 + k * 0.0001);
    const double lg = std::log(f->melBand[0][k]);
    c0 = static_cast<float>(c0 + lg);
    exactSum += lg;
  }
  std::vector<float> cep(kCepDim);
  f->DCT(cep.data());
  EXPECT_EQ(cep[12], c0 * 0.28867513f);
  EXPECT_NE(static_cast<float>(exactSum) * 0.28867513f, cep[12])
      << "the example no longer tells the two summations apart";
}

TEST(Lifter, FactorsAsTabulatedAndC0Untouched) {
  auto f = test::makeExtractor();
  f->cepData.assign(2 * kCepDim, 1.0f);
  f->cepData[kCepDim + 12] = 5.0f;
  f->CEPLIFTER(1);  // the second record is beyond the count
  const double factors[12] = {2.5654631, 4.0990582, 5.5695648, 6.9470487, 8.2034683, 9.3132448,
                              10.253789, 11.005952, 11.554422, 11.888036, 12.0, 11.888036};
  for (int n = 0; n < 12; ++n) EXPECT_NEAR(f->cepData[n], factors[n], 1e-6 * factors[n]) << n;
  EXPECT_EQ(f->cepData[10], 12.0f);
  EXPECT_EQ(f->cepData[9], f->cepData[11]);
  EXPECT_EQ(f->cepData[12], 1.0f);
  for (int n = 0; n < 12; ++n) EXPECT_EQ(f->cepData[kCepDim + n], 1.0f);
  f->CEPLIFTER(0);
  EXPECT_EQ(f->cepData[10], 12.0f);
}

// ---- Utterance analysis: reading and frame counts ----

int framesFromFile(FEATURE& f, const test::ScratchDir& dir, std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>(i * 37 + 11);
  const std::string path = dir / "rec.raw";
  test::writeBytes(path, data);
  return f.MFCC_shell(path.c_str());
}

TEST(UtteranceAnalysis, FrameCounts) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  const struct {
    std::size_t samples;
    int frames;
  } cases[] = {{0, 0}, {1, 0}, {159, 0}, {319, 0}, {320, 1}, {479, 1}, {480, 2}, {16000, 99}};
  for (const auto& c : cases) {
    EXPECT_EQ(framesFromFile(*f, dir, 2 * c.samples), c.frames) << c.samples;
    EXPECT_EQ(f->totalFrame, c.frames);
    EXPECT_EQ(f->cepData.size(), static_cast<std::size_t>(c.frames) * kCepDim);
  }
  EXPECT_EQ(framesFromFile(*f, dir, 641), 1);  // the odd byte is ignored
  EXPECT_EQ(framesFromFile(*f, dir, 2880000 + 1000), 8999);
  EXPECT_EQ(framesFromFile(*f, dir, 2880000), 8999);
  EXPECT_EQ(framesFromFile(*f, dir, 2880000 - 320), 8998);
}

TEST(UtteranceAnalysis, EveryShortLengthCountsWholeFrames) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  for (std::size_t n = 0; n <= 1000; n += (n < 500 ? 1 : 7)) {
    const int expected = n < 320 ? 0 : static_cast<int>(n / 160) - 1;
    ASSERT_EQ(framesFromFile(*f, dir, 2 * n), expected) << n;
  }
}

// Only the first 1,440,000 samples count: a longer file gives the same
// cepstra as its first 90 seconds.
TEST(UtteranceAnalysis, SamplesBeyondNinetySecondsAreIgnored) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  auto samples = test::noise(kMaxSamples + 5000, 7, 3000);
  test::writeSamples(dir / "long.raw", samples);
  samples.resize(kMaxSamples);
  test::writeSamples(dir / "cut.raw", samples);
  ASSERT_EQ(f->MFCC_shell((dir / "long.raw").c_str()), 8999);
  const std::vector<float> longCep = f->cepData;
  ASSERT_EQ(f->MFCC_shell((dir / "cut.raw").c_str()), 8999);
  EXPECT_TRUE(longCep == f->cepData);
}

// A recording that starts with a 44-byte header is sound from byte 0.
TEST(UtteranceAnalysis, HeaderBytesAreReadAsSamples) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  const auto sound = test::sine(800, 440.0, 8000.0);
  std::vector<unsigned char> withHeader(44);
  const char riff[] = "RIFF\x24\x06\0\0WAVEfmt ";
  std::copy(riff, riff + 16, withHeader.begin());
  withHeader[40] = 0x40;
  withHeader[41] = 0x06;
  for (auto s : sound) {
    withHeader.push_back(static_cast<unsigned char>(s & 0xFF));
    withHeader.push_back(static_cast<unsigned char>((s >> 8) & 0xFF));
  }
  test::writeBytes(dir / "with-header.raw", withHeader);
  ASSERT_EQ(f->MFCC_shell((dir / "with-header.raw").c_str()), (800 + 22) / 160 - 1);
  const std::vector<float> fromFile = f->cepData;

  std::vector<std::int16_t> asSamples;
  for (std::size_t i = 0; i + 1 < withHeader.size(); i += 2) {
    asSamples.push_back(static_cast<std::int16_t>(withHeader[i] | (withHeader[i + 1] << 8)));
  }
  f->totalFrame = 4;
  f->MelBandMagnitude(asSamples.data());
  std::vector<float> direct(4 * kCepDim);
  f->DCT(direct.data());
  EXPECT_TRUE(direct == fromFile);
}

TEST(UtteranceAnalysis, UnreadableRecordings) {
  test::ScratchDir dir;
  auto f = test::makeExtractor();
  test::Console console(*f);
  const std::string missing = dir / "missing.raw";
  EXPECT_EQ(f->MFCC_shell(missing.c_str()), kRecordingUnreadable);
  EXPECT_EQ(f->MFCC_shell(dir.path().c_str()), kRecordingUnreadable);  // a directory
  EXPECT_EQ(f->totalFrame, 0);
  EXPECT_TRUE(f->cepData.empty());
  EXPECT_EQ(console.text(),
            "can't open file " + missing + "\ncan't open file " + dir.path() + "\n");
}

}  // namespace
