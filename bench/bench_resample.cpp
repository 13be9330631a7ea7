// Benchmark of the conversion of recordings: CPU time per second of audio
// for converting 8, 11.025, 22.05, 44.1 and 48 kHz to 16 kHz, beside the
// CPU time of the features of one second of 16 kHz audio, on one core, for
// every front end this processor runs; and the tool's peak memory for a
// 90-second 48 kHz recording read with --convert, beside a 16 kHz one.
//
//   bench_resample [--seconds S] [--repeat R] [--rate HZ] [--tool PATH]
//
// Every front end's converted samples are compared with the straightforward
// kernel's (they must be the same bytes); medians of R alternated runs
// (default 5) of S seconds of audio (default 60).
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "conversion.h"
#include "fast_front_end.h"
#include "feature.h"

namespace {

using ::FrontEnd;

double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Harmonics on a gliding pitch with breath noise, at any rate; values of
// the 16-bit scale.
std::vector<double> soundAt(int rate, double seconds, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> hiss(0.0, 150.0);
  const std::size_t count = static_cast<std::size_t>(seconds * rate);
  std::vector<double> out(count);
  double phase = 0.0;
  for (std::size_t n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / rate;
    phase += 2 * M_PI * (120.0 + 30.0 * std::sin(2 * M_PI * 0.8 * t)) / rate;
    double v = 0.0;
    for (int h = 1; h <= 12; ++h) v += std::sin(h * phase) / h;
    out[n] = std::nearbyint(std::clamp(4000.0 * v + hiss(random), -32768.0, 32767.0));
  }
  return out;
}

// A recording of the values repeated times times, pushed in blocks as the
// audio input pushes what it decodes (the values stay in the cache, as a
// decoder's block does).
std::vector<std::int16_t> convert(const std::vector<double>& values, int times, int rate, audio::DotKernel kernel) {
  const Conversion how{true, false, -1, false};
  audio::Converter converter(rate, 1, values.size() * static_cast<std::size_t>(times), how, false, kernel, 0,
                             UINT64_MAX);
  constexpr std::size_t kBlock = 1 << 14;
  for (int t = 0; t < times; ++t) {
    for (std::size_t at = 0; at < values.size(); at += kBlock) {
      converter.push(values.data() + at, std::min(kBlock, values.size() - at));
    }
  }
  converter.finish();
  return std::move(converter.samples());
}

// The features of samples (at most 90 s) as the tool computes them.
void features(FEATURE& f, const std::vector<std::int16_t>& samples) {
  f.analyseSamples(samples.data(), static_cast<std::int32_t>(std::min<std::size_t>(samples.size(), kMaxSamples)));
  f.finishUtterance([] {});
  f.releaseRecords();
}

// Peak resident memory of the tool reading one recording, in KiB.
long toolPeak(const std::string& tool, const std::string& dir, const std::string& name, const char* extra) {
  const std::string list = dir + "/list-" + name;
  std::FILE* l = std::fopen(list.c_str(), "w");
  std::fprintf(l, "%s\n", name.c_str());
  std::fclose(l);
  const pid_t child = fork();
  if (child == 0) {
    const std::string out = dir + "/out";
    std::vector<const char*> args = {tool.c_str(), "-q", "--input-format=audio"};
    if (extra != nullptr) args.push_back(extra);
    for (const char* a : {list.c_str(), dir.c_str(), out.c_str(), "CMN"}) args.push_back(a);
    args.push_back(nullptr);
    std::freopen("/dev/null", "r", stdin);  // no pause after an error
    execv(tool.c_str(), const_cast<char* const*>(args.data()));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss;
}

void writeWav(const std::string& path, int rate, const std::vector<double>& values) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<short> s(values.begin(), values.end());
  sf_writef_short(f, s.data(), static_cast<sf_count_t>(s.size()));
  sf_close(f);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60.0;
  int repeat = 5;
  std::string tool;
  int only = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    if (a == "--repeat") repeat = std::atoi(argv[i + 1]);
    if (a == "--tool") tool = argv[i + 1];
    if (a == "--rate") only = std::atoi(argv[i + 1]);
  }
  seconds = std::min(seconds, 90.0);
  std::vector<FrontEnd> paths;
  for (FrontEnd f : frontEnds()) {
    if (f != FrontEnd::kFastest && frontEndSupported(f)) paths.push_back(f);
  }
  std::vector<int> rates = {8000, 11025, 22050, 44100, 48000};
  if (only != 0) rates = only == 48000 ? std::vector<int>{48000} : std::vector<int>{only, 48000};
  std::map<int, std::vector<double>> sound;
  const int times = static_cast<int>(seconds);
  seconds = times;
  for (const int rate : rates) sound[rate] = soundAt(rate, 1.0, static_cast<unsigned>(rate));
  const std::vector<std::int16_t> wide = convert(sound[48000], times, 48000, audio::dotStraightforward);

  std::printf("CPU microseconds per second of audio, one core, median of %d alternated runs of %.0f s\n", repeat,
              seconds);
  std::printf("%-16s %10s", "front end", "features");
  for (const int rate : rates) std::printf(" %9d Hz", rate);
  std::printf("   48k/features\n");
  std::map<FrontEnd, std::vector<double>> featureRuns;
  std::map<std::pair<FrontEnd, int>, std::vector<double>> resampleRuns;
  bool same = true;
  std::map<int, std::vector<std::int16_t>> reference;
  for (const int rate : rates) reference[rate] = convert(sound[rate], times, rate, audio::dotStraightforward);
  for (int r = 0; r < repeat; ++r) {
    for (const FrontEnd path : paths) {
      const auto kernel = fast_front_end::frontEndChoice(path).resample;
      FEATURE f;
      f.settings.console = nullptr;
      f.settings.errors = nullptr;
      f.ini_fea_para();
      f.settings.frontEnd = path;
      f.normType = 0;
      double t0 = cpuNow();
      features(f, wide);
      featureRuns[path].push_back((cpuNow() - t0) / seconds);
      for (const int rate : rates) {
        t0 = cpuNow();
        const std::vector<std::int16_t> out = convert(sound[rate], times, rate, kernel);
        resampleRuns[{path, rate}].push_back((cpuNow() - t0) / seconds);
        same = same && out == reference[rate];
      }
    }
  }
  for (const FrontEnd path : paths) {
    const double feat = median(featureRuns[path]);
    std::printf("%-16s %10.0f", frontEndName(path), feat * 1e6);
    for (const int rate : rates) std::printf(" %12.0f", median(resampleRuns[{path, rate}]) * 1e6);
    std::printf("   %12.2f\n", median(resampleRuns[{path, 48000}]) / feat);
  }
  std::printf("converted samples of every front end identical to the straightforward kernel's: %s\n",
              same ? "yes" : "NO");

  if (!tool.empty()) {
    char pattern[] = "/tmp/bench-resample-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    writeWav(dir + "/r48k", 48000, soundAt(48000, 90.0, 1));
    writeWav(dir + "/r16k", 16000, soundAt(16000, 90.0, 1));
    const long peak48 = toolPeak(tool, dir, "r48k", "--convert");
    const long peak16 = toolPeak(tool, dir, "r16k", nullptr);
    std::printf("peak memory of the tool, one 90 s recording: 48 kHz with --convert %ld KiB, 16 kHz %ld KiB\n", peak48,
                peak16);
    std::system(("rm -rf '" + dir + "'").c_str());
  }
  return same ? 0 : 1;
}
