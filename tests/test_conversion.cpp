// The conversion of other recordings to 16 kHz 16-bit samples: the
// resampler's own mathematics against the C library's (long double), every
// kernel and every chunking giving the same bits, its length and edges by
// the definition written out here, its pass and stop bands measured on
// sines; sample formats and channels giving exactly the int16 recording
// they hold; the same bytes through every way in; refusals that say what
// would read a file.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <random>

#include "conversion.h"
#include "extractor.h"
#include "online_extractor.h"
#include "resampler.h"
#include "test_support.h"

namespace {

using audio::Resampler;

// Units in the last place of double between a and b.
double ulps(double a, double b) {
  if (a == b) return 0;
  return std::fabs(a - b) / std::ldexp(1.0, std::ilogb(std::max(std::fabs(a), std::fabs(b))) - 52);
}

// References in long double: sin(pi t) of the argument reduced exactly
// into [-1/2, 1/2] (sin(pi x) = sin(pi (x - 2m)) = sin(pi (1 - r))), so
// that pi t carries no error of a large product; and the same series for
// I0 carried with more precision.
long double referenceSinPi(double x) {
  const long double pi = 3.141592653589793238462643383279502884L;
  double r = x - 2.0 * std::nearbyint(x * 0.5);  // exact
  if (r > 0.5) r = 1.0 - r;                       // exact
  if (r < -0.5) r = -1.0 - r;
  return sinl(pi * static_cast<long double>(r));
}

long double referenceI0(long double x) {
  long double term = 1, sum = 1;
  for (int k = 1; k < 60; ++k) {
    term = term * (x * x / 4) / (static_cast<long double>(k) * k);
    sum += term;
  }
  return sum;
}

// The resampler's own sine and Bessel function, and the taps built of
// them, against long-double references (the C library's sinl): the sine
// within 2 units in the last place of double, I0 within 8, the taps within
// 8 of the filter's peak (near a zero of the sinc a tap is far smaller than
// its neighbours, and its argument's rounding weighs more), and every tap,
// rounded once to single precision, the reference tap rounded so.
TEST(Resampling, ItsOwnSineAndBesselAreTheMathematics) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> wide(-300.0, 300.0), narrow(-1.0, 1.0);
  double worstSin = 0, worstI0 = 0, worstTap = 0;
  for (int i = 0; i < 200000; ++i) {
    const double x = i % 2 ? wide(random) : narrow(random);
    worstSin = std::max(worstSin, ulps(audio::sinPi(x), static_cast<double>(referenceSinPi(x))));
  }
  for (double x = 0.0; x <= 6.2; x += 0.0007) {
    worstI0 = std::max(worstI0, ulps(audio::besselI0(x), static_cast<double>(referenceI0(x))));
  }
  EXPECT_LE(worstSin, 2.0);
  EXPECT_LE(worstI0, 8.0);
  EXPECT_EQ(audio::sinPi(0.5), 1.0);
  EXPECT_EQ(audio::sinPi(1.0), 0.0);
  EXPECT_EQ(audio::sinPi(-2.5), -1.0);
  int floatsDiffer = 0, taps = 0;
  for (const int rate : {8000, 22050, 44100, 48000}) {
    const long double c = rate > 16000 ? 7500.0L / rate : 0.46875L;
    const double d = rate > 16000 ? 1000.0 / rate : 0.0625;
    const long double h = 57.05 / (9.14 * 3.141592653589793 * d);  // as the rule forms it, in double
    for (double u = -95.0; u < 95.0; u += 0.0371) {
      const double mine = audio::tapFunction(rate, u);
      if (mine == 0.0) continue;
      const long double y = 2 * c * u;
      const long double sinc = y == 0 ? 1.0L : referenceSinPi(static_cast<double>(y)) / (3.141592653589793238462643383279502884L * y);
      const long double r = u / h;
      const long double want = 2 * c * sinc * referenceI0(6.2L * sqrtl(1 - r * r)) / referenceI0(6.2L);
      const double peak = static_cast<double>(2 * c);
      worstTap = std::max(worstTap, std::fabs(mine - static_cast<double>(want)) / std::ldexp(1.0, std::ilogb(peak) - 52));
      floatsDiffer += static_cast<float>(mine) != static_cast<float>(want);
      ++taps;
    }
  }
  EXPECT_LE(worstTap, 8.0);
  EXPECT_EQ(floatsDiffer, 0) << "of " << taps;
  std::printf("sinPi within %.0f ulp, I0 within %.0f, taps within %.0f; %d of %d single-precision taps differ\n",
              worstSin, worstI0, worstTap, floatsDiffer, taps);
}

std::vector<float> noiseValues(std::size_t n, std::uint32_t seed) {
  std::vector<float> x(n);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> values(-32768, 32767);
  for (float& v : x) v = static_cast<float>(values(random));
  return x;
}

std::vector<float> convertWhole(int rate, const std::vector<float>& x, audio::DotKernel kernel = nullptr) {
  const Resampler r(rate, kernel);
  std::vector<float> y;
  r.convert(x.data(), 0, x.size(), static_cast<std::int64_t>(x.size()), 0, r.outputCount(x.size()), y);
  return y;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Every kernel, every chunking, and every starting output give the bits
// of the whole conversion; its length is ceil(N 16000 / S); its first and
// last outputs are the definition's, summed here.
TEST(Resampling, KernelsChunkingsAndEdgesAsDefined) {
  std::vector<audio::DotKernel> kernels = {audio::dotStraightforward, audio::dotBaseline};
  if (__builtin_cpu_supports("avx2")) kernels.push_back(audio::dotAvx2);
  for (const int rate : {8000, 11025, 22050, 32000, 44100, 44101, 48000, 192000}) {
    SCOPED_TRACE(rate);
    const std::vector<float> x = noiseValues(static_cast<std::size_t>(rate / 3 + 7), static_cast<std::uint32_t>(rate));
    const std::vector<float> whole = convertWhole(rate, x);
    EXPECT_EQ(whole.size(), (x.size() * 16000 + rate - 1) / rate);
    for (audio::DotKernel k : kernels) EXPECT_TRUE(sameBits(convertWhole(rate, x, k), whole));
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{160}, std::size_t{4099}}) {
      audio::StreamResampler stream(rate, kernels.back());
      std::vector<float> y;
      for (std::size_t at = 0; at < x.size(); at += chunk) {
        stream.accept(x.data() + at, std::min(chunk, x.size() - at), y);
      }
      stream.finish(y);
      EXPECT_TRUE(sameBits(y, whole)) << chunk;
    }
    const std::uint64_t from = whole.size() / 3;
    audio::StreamResampler later(rate, nullptr, from);
    std::vector<float> tail;
    later.accept(x.data() + later.inputStart(), x.size() - static_cast<std::size_t>(later.inputStart()), tail);
    later.finish(tail);
    EXPECT_TRUE(sameBits(tail, std::vector<float>(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.end())));
    // Outputs 0 and the last, by the definition.
    const Resampler r(rate);
    const std::uint64_t g = std::gcd(static_cast<std::uint64_t>(rate), std::uint64_t{16000});
    const std::uint64_t up = 16000 / g, down = static_cast<std::uint64_t>(rate) / g;
    const int half = static_cast<int>(std::ceil(57.05 / (9.14 * M_PI * (rate > 16000 ? 1000.0 / rate : 0.0625))));
    for (const std::uint64_t k : {std::uint64_t{0}, whole.size() - 1}) {
      float s[8] = {};
      for (int i = 0; i < r.taps(); ++i) {
        const std::int64_t n = static_cast<std::int64_t>(k * down / up) - half + i;
        const float h = static_cast<float>(audio::tapFunction(rate, static_cast<double>(k * down % up) / up + (half - i)));
        const float v = n < 0 || n >= static_cast<std::int64_t>(x.size()) ? 0.0f : x[static_cast<std::size_t>(n)];
        const float product = v * h;
        s[i % 8] = s[i % 8] + product;
      }
      const float want = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
      EXPECT_EQ(test::floatBits(whole[k]), test::floatBits(want)) << k;
    }
  }
  EXPECT_EQ(Resampler(48000).outputCount(0), 0u);
  EXPECT_EQ(Resampler(48000).outputCount(1), 1u);
  EXPECT_EQ(Resampler(48000).outputCount(3), 1u);
  EXPECT_EQ(Resampler(48000).outputCount(4), 2u);
  EXPECT_EQ(Resampler(8000).outputCount(1), 2u);
  for (const int bad : {0, 7999, 16000, 192001}) EXPECT_THROW(Resampler{bad}, std::invalid_argument);
}

// The amplitude of y at frequency f (16 kHz), away from the edges.
double amplitude(const std::vector<float>& y, double f) {
  double c = 0, s = 0;
  const std::size_t a = 3000, b = y.size() - 3000;
  for (std::size_t k = a; k < b; ++k) {
    c += y[k] * std::cos(2 * M_PI * f * k / 16000);
    s += y[k] * std::sin(2 * M_PI * f * k / 16000);
  }
  return 2 * std::sqrt(c * c + s * s) / static_cast<double>(b - a);
}

// Within +-0.1 dB up to 0.875 of the lower Nyquist frequency; at least
// 60 dB down from it upward: a sine above 8 kHz leaves nothing in a
// conversion down to 16 kHz, and a conversion up from a lower rate leaves
// no image of a sine at rate - f (or rate + f) in what it adds.
TEST(Resampling, PassAndStopBands) {
  const audio::DotKernel kernel = __builtin_cpu_supports("avx2") ? audio::dotAvx2 : nullptr;
  for (const int rate : {8000, 11025, 22050, 44100, 48000}) {
    SCOPED_TRACE(rate);
    const double nyquist = std::min(rate, 16000) / 2.0;
    double pass = 0, stop = -300;
    for (double f = 31; f < rate / 2.0; f += rate / 211.0) {
      std::vector<float> x(static_cast<std::size_t>(rate));
      for (std::size_t n = 0; n < x.size(); ++n) x[n] = static_cast<float>(10000 * std::sin(2 * M_PI * f * n / rate));
      const std::vector<float> y = convertWhole(rate, x, kernel);
      if (f <= 0.875 * nyquist) pass = std::max(pass, std::fabs(20 * std::log10(amplitude(y, f) / 10000)));
      double left = 0;
      if (rate > 16000 && f >= 8000) {
        double energy = 0;  // all of it is what passed the filter
        for (std::size_t k = 3000; k < y.size() - 3000; ++k) energy += static_cast<double>(y[k]) * y[k];
        left = std::sqrt(2 * energy / static_cast<double>(y.size() - 6000)) / 10000;
      } else if (rate < 16000) {
        for (const double image : {rate - f, rate + f}) {
          if (image < 8000 - 50) left = std::max(left, amplitude(y, image) / 10000);
        }
      }
      if (left > 0) stop = std::max(stop, 20 * std::log10(left));
    }
    EXPECT_LT(pass, 0.1);
    EXPECT_LT(stop, -60.0);
    std::printf("%6d Hz: pass band within %.4f dB, stop band %.1f dB down\n", rate, pass, -stop);
  }
}

class ConvertedRecordings : public ::testing::Test {
 protected:
  std::string write(const std::string& name, int format, const std::vector<std::int32_t>& values, int channels,
                    int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open((dir / name).c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (f == nullptr) return "";
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    sf_writef_int(f, values.data(), static_cast<sf_count_t>(values.size()) / channels);
    sf_close(f);
    return dir / name;
  }
  std::vector<std::int16_t> read(const std::string& path, const ::Conversion& how) {
    return extractor.readRecording(path, feature::InputFormat::Audio, nullptr, nullptr, how);
  }
  feature::Extractor extractor;
  test::ScratchDir dir;
};

// Formats that hold int16 values give exactly those samples; mu-law and
// A-law their expansions; two channels built of two recordings give each
// recording's samples by --channel, their mean by --downmix.
TEST_F(ConvertedRecordings, FormatsAndChannelsGiveTheSamplesTheyHold) {
  const std::vector<std::int16_t> speech = test::speechLike(16000, 5), other = test::noise(16000, 6, 9000);
  std::vector<std::int32_t> left;  // int16 values left-aligned in 32 bits, as libsndfile takes them
  for (const std::int16_t v : speech) left.push_back(static_cast<std::int32_t>(v) * 65536);
  const ::Conversion convert{true, false, -1, false};
  for (const int subtype : {SF_FORMAT_PCM_24, SF_FORMAT_PCM_32}) {
    const std::string path = write("f" + std::to_string(subtype) + ".wav", SF_FORMAT_WAV | subtype, left, 1, 16000);
    EXPECT_EQ(read(path, convert), speech) << subtype;
    EXPECT_THROW(read(path, {}), feature::RefusedRecording) << subtype;
  }
  for (const int subtype : {SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE}) {  // int16 / 32768 as floats
    std::vector<float> floats;
    for (const std::int16_t v : speech) floats.push_back(static_cast<float>(v) / 32768.0f);
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | subtype;
    const std::string path = dir / ("float" + std::to_string(subtype) + ".wav");
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, floats.data(), static_cast<sf_count_t>(floats.size()));
    sf_close(f);
    EXPECT_EQ(read(path, convert), speech) << subtype;
  }
  for (const auto& [subtype, container] : {std::pair{SF_FORMAT_PCM_24, SF_FORMAT_FLAC}, {SF_FORMAT_PCM_24, SF_FORMAT_AIFF}}) {
    EXPECT_EQ(read(write("c" + std::to_string(container), container | subtype, left, 1, 16000), convert), speech);
  }
  for (const int subtype : {SF_FORMAT_ULAW, SF_FORMAT_ALAW}) {
    const std::string path = write("law" + std::to_string(subtype) + ".wav", SF_FORMAT_WAV | subtype, left, 1, 16000);
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<std::int16_t> expanded(static_cast<std::size_t>(info.frames));
    sf_readf_short(f, expanded.data(), info.frames);
    sf_close(f);
    EXPECT_EQ(read(path, convert), expanded) << subtype;
  }
  std::vector<std::int32_t> stereo;
  for (std::size_t i = 0; i < speech.size(); ++i) stereo.insert(stereo.end(), {left[i], other[i] * 65536});
  const std::string two = write("two.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, stereo, 2, 16000);
  EXPECT_EQ(read(two, {false, false, 0, false}), speech);
  EXPECT_EQ(read(two, {false, false, 1, false}), other);
  const std::vector<std::int16_t> mean = read(two, {false, false, -1, true});
  for (std::size_t i = 0; i < speech.size(); ++i) {
    ASSERT_EQ(mean[i], static_cast<std::int16_t>(std::nearbyint((speech[i] + other[i]) / 2.0))) << i;
  }
  EXPECT_EQ(read(write("one.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, left, 1, 16000), {false, false, -1, true}), speech);
  // One rounding, ties to even, at the boundaries of the 16-bit range:
  // 24-bit values of half a step (1.5, 2.5, -1.5), floats just inside and
  // beyond full scale; what lies beyond is clipped, counted and said.
  const std::vector<std::int32_t> halves = {384 * 256, 640 * 256, -384 * 256, 128 * 256, 8388607 * 256};
  EXPECT_EQ(read(write("halves.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, halves, 1, 16000), convert),
            (std::vector<std::int16_t>{2, 2, -2, 0, 32767}));
  {
    const std::vector<float> floats = {0.5f, 1.0f, -1.0f, 32767.5f / 32768.0f, -32768.5f / 32768.0f, 0.99998474f};
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const std::string path = dir / "loud.wav";
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, floats.data(), static_cast<sf_count_t>(floats.size()));
    sf_close(f);
    const feature::RecordingSamples got =
        extractor.readSamples(path, feature::InputFormat::Audio, 0, UINT64_MAX, 1, convert);
    EXPECT_EQ(got.samples, (std::vector<std::int16_t>{16384, 32767, -32768, 32767, -32768, 32767}));
    EXPECT_EQ(got.clipped, 3u);
    EXPECT_EQ(got.warnings, std::vector<std::string>{
                                path + ": 3 converted samples lie beyond the 16-bit range and were clipped to it"});
  }
  // Bad choices and bad input: each refused with its reason.
  const auto refusal = [&](const std::string& path, const ::Conversion& how) -> std::string {
    try {
      read(path, how);
    } catch (const feature::RefusedRecording& e) {
      return e.what();
    }
    return "(read)";
  };
  EXPECT_EQ(refusal(two, {false, false, 2, false}).substr(refusal(two, {false, false, 2, false}).find("; ") + 2),
            "it has no channel 2 (it has 2, counted from 0)");
  EXPECT_NE(refusal(two, {}).find("a recording of several channels is read only as one channel or their mean"),
            std::string::npos);
  const std::string fast = write("fast.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, left, 1, 200000);
  EXPECT_NE(refusal(fast, convert).find("its rate is beyond what is converted (8000 to 192000 Hz)"), std::string::npos);
  std::vector<std::int32_t> silence(1000, 0);
  const std::string slow = write("slow.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, silence, 1, 4000);
  EXPECT_NE(refusal(slow, convert).find("its rate is beyond what is converted"), std::string::npos);
}

}  // namespace

namespace {

std::vector<float> htkVectors(const std::string& path) { return test::bigEndianFloats(test::readBytes(path), 12); }

// The example recordings converted by sox to six rates, through every way
// in: the tool with every front end, feature-kaldi, feature-stream
// --input-rate, the online extractor in chunks: the same vectors.
TEST_F(ConvertedRecordings, EveryWayInGivesTheSameBytes) {
  const std::string examples = std::string(EXAMPLES_DIR) + "/recordings";
  mkdir((dir / "in").c_str(), 0777);
  std::string list, scp;
  std::vector<std::pair<std::string, int>> files;
  for (const char* name : {"speaker1/fox", "speaker2/numbers"}) {
    for (const int rate : {8000, 11025, 22050, 32000, 44100, 48000}) {
      const std::string base = std::string(name).substr(9) + "-" + std::to_string(rate);
      const std::string command = "sox -t raw -r 16000 -e signed -b 16 -c 1 '" + examples + "/" + name + "' -r " +
                                  std::to_string(rate) + " -b 16 '" + dir / ("in/" + base + ".wav") + "' 2>&1";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
      list += base + "\n";
      scp += base + " " + dir / ("in/" + base + ".wav") + "\n";
      files.emplace_back(base, rate);
    }
  }
  test::writeText(dir / "list", list);
  test::writeText(dir / "wav.scp", scp);
  const auto tool = [&](const std::string& out, const std::string& frontEnd) {
    return test::runTool({"-q", "--input-format=audio", "--input-extension=wav", "--convert",
                          "--front-end=" + frontEnd, dir / "list", dir / "in", dir / out, "NONE"});
  };
  ASSERT_EQ(tool("straightforward", "straightforward").status, 0);
  for (const char* frontEnd : {"baseline", "avx2", "avx512", "fastest"}) {
    EXPECT_EQ(tool(frontEnd, frontEnd).status, 0);
    for (const auto& [base, rate] : files) {
      EXPECT_EQ(test::readBytes(dir / (std::string(frontEnd) + "/" + base + ".mfcKVR0DAC39")),
                test::readBytes(dir / ("straightforward/" + base + ".mfcKVR0DAC39")))
          << frontEnd << " " << base;
    }
  }
  test::RunOptions kaldiRun;
  kaldiRun.program = KALDI_BINARY;
  ASSERT_EQ(test::runTool({"-q", "--convert", "scp:" + dir / "wav.scp", "ark:" + dir / "x.ark", "NONE"}, kaldiRun).status, 0);
  const std::vector<unsigned char> ark = test::readBytes(dir / "x.ark");
  std::size_t at = 0;
  for (const auto& [base, rate] : files) {
    const std::vector<float> want = htkVectors(dir / ("straightforward/" + base + ".mfcKVR0DAC39"));
    at += base.size() + 1 + 15;
    const std::vector<float> got = test::littleEndianFloats(
        std::vector<unsigned char>(ark.begin() + static_cast<std::ptrdiff_t>(at),
                                   ark.begin() + static_cast<std::ptrdiff_t>(at + 4 * want.size())), 0);
    at += 4 * want.size();
    EXPECT_TRUE(test::sameBits(got, want)) << "feature-kaldi " << base;
    // The samples at their rate, raw, as a stream would bring them.
    SF_INFO info{};
    SNDFILE* f = sf_open((dir / ("in/" + base + ".wav")).c_str(), SFM_READ, &info);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
    sf_readf_short(f, samples.data(), info.frames);
    sf_close(f);
    feature::OnlineExtractor online(feature::Normalisation::None, false, rate);
    for (std::size_t i = 0; i < samples.size(); i += 333) {
      online.acceptWaveform(samples.data() + i, std::min<std::size_t>(333, samples.size() - i));
    }
    online.inputFinished();
    std::vector<float> streamed;
    for (int t = 0; t < online.numFramesReady(); ++t) streamed.insert(streamed.end(), online.frame(t), online.frame(t) + 39);
    EXPECT_TRUE(test::sameBits(streamed, want)) << "online " << base;
    test::writeSamples(dir / "stream.raw", samples);
    const std::string input(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    test::RunOptions streamRun;
    streamRun.program = std::string(KALDI_BINARY).substr(0, std::string(KALDI_BINARY).rfind('/')) + "/feature-stream";
    streamRun.input = &input;
    const test::RunResult out = test::runTool({"--input-rate=" + std::to_string(rate), "NONE"}, streamRun);
    ASSERT_EQ(out.status, 0) << out.errors;
    EXPECT_TRUE(test::sameBits(test::littleEndianFloats(std::vector<unsigned char>(out.output.begin(), out.output.end()), 0),
                               want))
        << "feature-stream " << base;
  }
  // A full-scale square wave overshoots when filtered: feature-stream says
  // how many samples were clipped, as many as the reading of its file counts.
  std::vector<std::int32_t> square;
  for (int i = 0; i < 48000; ++i) square.push_back((i / 24) % 2 == 0 ? 32767 * 65536 : -32768 * 65536);
  const std::string squareWav = write("square.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, square, 1, 48000);
  const feature::RecordingSamples read =
      extractor.readSamples(squareWav, feature::InputFormat::Audio, 0, UINT64_MAX, 1, {true, false, -1, false});
  ASSERT_GT(read.clipped, 0u);
  std::string input;
  for (const std::int32_t v : square) input += {static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
  test::RunOptions streamRun;
  streamRun.program = std::string(KALDI_BINARY).substr(0, std::string(KALDI_BINARY).rfind('/')) + "/feature-stream";
  streamRun.input = &input;
  const test::RunResult out = test::runTool({"--input-rate=48000", "NONE"}, streamRun);
  EXPECT_EQ(out.errors, "feature-stream: warning: the input: " + std::to_string(read.clipped) +
                            " converted samples lie beyond the 16-bit range and were clipped to it\n");
}

// A recording that is not read says what would read it, in the words of
// the program; the summary counts what was converted, and how.
TEST_F(ConvertedRecordings, RefusalsNameWhatWouldReadThem) {
  mkdir((dir / "in").c_str(), 0777);
  const std::vector<std::int16_t> speech = test::speechLike(24000, 8);
  ASSERT_TRUE(test::writeAudio(dir / "in/a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, speech, 1, 48000));
  std::vector<std::int16_t> two;
  for (const std::int16_t v : speech) two.insert(two.end(), {v, static_cast<std::int16_t>(-v)});
  ASSERT_TRUE(test::writeAudio(dir / "in/b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, two, 2, 16000));
  ASSERT_TRUE(test::writeAudio(dir / "in/c.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, speech, 1, 48000));
  ASSERT_TRUE(test::writeAudio(dir / "in/e.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, speech, 1, 48000));
  ASSERT_TRUE(test::writeAudio(dir / "in/f.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, speech, 1, 48000));
  std::vector<float> nan(16000, std::nanf(""));
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open((dir / "in/d.wav").c_str(), SFM_WRITE, &info);
  sf_writef_float(f, nan.data(), 16000);
  sf_close(f);
  test::writeText(dir / "pairs", "a.wav a.htk\nb.wav b.htk\nc.mp3 c.htk\nd.wav d.htk\ne.ogg e.htk\nf.opus f.htk\n");
  const auto run = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--pairs", "--input-format=audio", dir / "pairs", dir / "in", dir / "out", "NONE"});
    return test::runTool(options);
  };
  const test::RunResult plain = run({"-q"});
  EXPECT_EQ(plain.status, 1);
  // Without --lossy no lossy file is read; with --convert alone, neither.
  for (const char* lossy : {"c.htk", "e.htk", "f.htk"}) EXPECT_FALSE(test::fileExists(dir / (std::string("out/") + lossy))) << lossy;
  run({"-q", "--convert"});
  for (const char* lossy : {"c.htk", "e.htk", "f.htk"}) EXPECT_FALSE(test::fileExists(dir / (std::string("out/") + lossy))) << lossy;
  for (const char* line : {"feature: --convert reads it, converted to 16 kHz 16-bit samples by the defined conversion\n",
                           "feature: --channel=N reads one of its channels (from 0), --downmix their mean\n",
                           "feature: --lossy reads it, converted (its decoder may give other samples on another machine)\n"}) {
    EXPECT_NE(plain.errors.find(line), std::string::npos) << line << plain.errors;
  }
  const test::RunResult converted = run({"--convert", "--lossy", "--downmix"});
  EXPECT_EQ(converted.status, 1);
  EXPECT_NE(converted.errors.find("feature: refused " + dir / "in" + "/d.wav: 16000 of its samples are not numbers "
                                  "(NaN or infinity)\n"), std::string::npos) << converted.errors;
  EXPECT_NE(converted.errors.find("feature: converted: 1 (48000 Hz to 16000 Hz); 1 (MPEG Layer III to 16-bit, 48000 Hz "
                                  "to 16000 Hz); 1 (Opus to 16-bit, 48000 Hz to 16000 Hz); 1 (Vorbis to 16-bit, 48000 Hz "
                                  "to 16000 Hz); 1 (the mean of 2 channels)\n"),
            std::string::npos) << converted.errors;
  for (const char* lossy : {"c.htk", "e.htk", "f.htk"}) EXPECT_TRUE(test::fileExists(dir / (std::string("out/") + lossy))) << lossy;
  // The mean of a channel and its negation is silence.
  EXPECT_EQ(test::readBytes(dir / "out/b.htk").size(), 12u + 156u * 149u);
  const auto both = test::runTool({"--channel=0", "--downmix", "--input-format=audio", dir / "pairs", dir / "in", dir / "x", "NONE"});
  EXPECT_EQ(both.errors, "feature: --channel and --downmix do not go together: one channel, or their mean\n");
  const auto raw = test::runTool({"--convert", dir / "pairs", dir / "in", dir / "x", "NONE"});
  EXPECT_EQ(raw.errors, "feature: --convert, --lossy, --channel and --downmix read audio files: add --input-format=audio\n");
}

}  // namespace
