// Benchmark of the feature extractor: nanoseconds per frame for every stage,
// end to end in times real time, and the tool's peak memory and scaling
// over workers. The straightforward path and the fast paths run in the same
// process, alternately, so that their ratios are comparable on a busy
// machine.
//
//   bench_feature [--seconds S] [--files N] [--repeat R] [--tool PATH]
//
// It writes a deterministic speech-like corpus of S seconds (default 1560,
// 26 minutes) in N files (default 60) to a scratch directory, checks that
// every path gives the same bytes, and prints medians of R alternated runs
// (default 5).
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "energy_track.h"
#include "fast_front_end.h"
#include "feature.h"

namespace {

double now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
double cpuNow() { return now(CLOCK_PROCESS_CPUTIME_ID); }
double wallNow() { return now(CLOCK_MONOTONIC); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Voiced syllables on a gliding pitch with two moving resonances, breath
// noise and pauses; deterministic for a seed.
std::vector<std::int16_t> speechLike(int count, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> hiss(0.0, 1.0);
  std::vector<std::int16_t> out(count);
  double phase = 0.0;
  for (int n = 0; n < count; ++n) {
    const double t = n / 16000.0;
    const double f0 = 110.0 + (seed * 30 % 70) + 25.0 * std::sin(2 * M_PI * 0.8 * t + seed);
    phase += 2 * M_PI * f0 / 16000.0;
    const double formant1 = 500 + 300 * std::sin(2 * M_PI * 1.7 * t);
    const double formant2 = 1500 + 700 * std::sin(2 * M_PI * 1.1 * t + 1);
    double v = 0.0;
    for (int h = 1; h * f0 < 7800; ++h) {
      const double fh = h * f0;
      const double a = (fh - formant1) / 200, b = (fh - formant2) / 300;
      v += (1.0 / (1.0 + a * a) + 0.5 / (1.0 + b * b)) * std::sin(h * phase);
    }
    const double envelope = std::max(0.0, std::sin(2 * M_PI * 3.7 * t));
    const bool pause = std::fmod(t, 2.9) > 2.5;
    const double value = pause ? 0.0 : 5000.0 * envelope * v + 150.0 * hiss(random);
    out[n] = static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
  }
  return out;
}

void writeContainer(const std::string& path, int format, const std::vector<std::int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 1;
  info.format = format | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr || sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size())) !=
                             static_cast<sf_count_t>(samples.size())) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  sf_close(file);
}

struct Corpus {
  std::string dir;
  std::vector<std::string> names;
  std::vector<std::size_t> samples;  // per file
  long frames = 0;
  double seconds = 0.0;
};

Corpus makeCorpus(double seconds, int files) {
  Corpus c;
  char pattern[] = "/tmp/feature-bench-XXXXXX";
  c.dir = mkdtemp(pattern);
  mkdir((c.dir + "/in").c_str(), 0777);
  mkdir((c.dir + "/in-wav").c_str(), 0777);
  mkdir((c.dir + "/in-flac").c_str(), 0777);
  std::ofstream list(c.dir + "/list");
  for (int i = 0; i < files; ++i) {
    // Lengths vary around the mean, as utterances do.
    const double share = (0.5 + (i % 7) / 6.0) / 1.0;
    int count = static_cast<int>(seconds / files * share * 16000.0);
    count = std::min(count, kMaxSamples);
    auto s = speechLike(count, 1000 + i);
    const std::string name = "u" + std::to_string(i);
    std::ofstream(c.dir + "/in/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size() * 2));
    // The same samples in two containers, for --input-format=audio.
    writeContainer(c.dir + "/in-wav/" + name + ".wav", SF_FORMAT_WAV, s);
    writeContainer(c.dir + "/in-flac/" + name + ".flac", SF_FORMAT_FLAC, s);
    list << name << "\n";
    c.names.push_back(name);
    c.frames += count < 320 ? 0 : count / 160 - 1;
    c.seconds += count / 16000.0;
    c.samples.push_back(s.size());
  }
  return c;
}

// The front ends this processor runs (not "fastest", which is one of them).
std::vector<FrontEnd> supportedFrontEnds() {
  std::vector<FrontEnd> out;
  for (FrontEnd f : frontEnds()) {
    if (f != FrontEnd::kFastest && frontEndSupported(f)) out.push_back(f);
  }
  return out;
}

enum Stage {
  kRead, kFraming, kEnergy, kPrepare, kFft, kFilterBank, kCepstra, kDeltas, kCmn, kMvn, kWrite,
  kStages
};
const char* kStageNames[kStages] = {
    "reading the recording",      "framing (samples to floats)",
    "energy",                     "mean removal + pre-emphasis + window",
    "FFT",                        "magnitudes + filter bank",
    "log + DCT + lifter",         "deltas + vector assembly",
    "CMN",                        "MVN",
    "HTK writing"};

using StageSeconds = std::array<double, kStages>;

const char* kExtensions[3] = {"mfcKVR0DAZC39", "mfcKVR0DAC39mvacqx_kvr", "mfcKVR0DAC39"};

// The straightforward frame analysis, step by step with the extractor's own
// operations, timing each step (the same loop as MelBandMagnitude).
void straightforwardStages(FEATURE& f, const std::int16_t* samples, StageSeconds& s) {
  std::array<float, kFrameLength> frame;
  std::array<Complex_, kFftLength + 1> spectrum;
  for (int i = 0; i < f.totalFrame; ++i) {
    double t0 = wallNow();
    for (int j = 0; j < kFrameLength; ++j) frame[j] = samples[i * kFrameShift + j];
    double t1 = wallNow();
    s[kFraming] += t1 - t0;
    const double sum = f.sumOfSquares(frame.data());
    f.frameEng[i] = sum != 0.0 ? frameEnergyDb(sum) : 0.0f;
    t0 = wallNow();
    s[kEnergy] += t0 - t1;
    f.SubDC(frame.data());
    f.PreEmphasis(frame.data());
    f.Haming_window(frame.data());
    t1 = wallNow();
    s[kPrepare] += t1 - t0;
    f.frameSpectrum(frame.data(), spectrum.data());
    t0 = wallNow();
    s[kFft] += t0 - t1;
    f.melBandsOfSpectrum(spectrum.data(), f.melBand[i].data());
    s[kFilterBank] += wallNow() - t0;
  }
}

// Runs every stage of one utterance with the given front end, adding the
// time of each stage.
void timeStages(FEATURE& f, const Corpus& c, std::size_t file, FrontEnd frontEnd,
                StageSeconds& s) {
  const std::string path = c.dir + "/in/" + c.names[file];
  double t0 = wallNow();
  std::vector<std::int16_t> samples;
  {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    samples.resize(c.samples[file] + 1);
    samples.resize(std::fread(samples.data(), 2, samples.size(), in));
    std::fclose(in);
  }
  s[kRead] += wallNow() - t0;
  f.totalFrame = f.getTotalFrame(static_cast<int>(samples.size()));
  f.cepData.assign(static_cast<std::size_t>(f.totalFrame) * kCepDim, 0.0f);
  if (frontEnd == FrontEnd::kStraightforward) {
    straightforwardStages(f, samples.data(), s);
    t0 = wallNow();
    f.DCT(f.cepData.data());
  } else {
    fast_front_end::StepTimes steps;
    f.settings.frontEnd = frontEnd;
    f.FastFrameAnalysis(samples.data(), f.cepData.data(), &steps);
    using Step = fast_front_end::StepTimes;
    s[kFraming] += steps.seconds[Step::kLoad];
    s[kEnergy] += steps.seconds[Step::kEnergy];
    s[kPrepare] += steps.seconds[Step::kPrepare];
    s[kFft] += steps.seconds[Step::kFft];
    s[kFilterBank] += steps.seconds[Step::kFilterBank];
    s[kCepstra] += steps.seconds[Step::kCepstra];
    t0 = wallNow();
  }
  f.CEPLIFTER(f.totalFrame);
  double t1 = wallNow();
  s[kCepstra] += t1 - t0;

  const std::size_t frames = static_cast<std::size_t>(f.totalFrame);
  f.deltaData.assign(frames * kCepDim, 0.0f);
  f.accData.assign(frames * kCepDim, 0.0f);
  f.outData.assign(frames * kOutDim, 0.0f);
  std::vector<float> cep = f.cepData;
  t0 = wallNow();
  f.CMN_New(cep.data(), f.totalFrame);
  t1 = wallNow();
  s[kCmn] += t1 - t0;
  f.getDeltaCep_New(f.totalFrame, f.cepData.data(), f.deltaData.data());
  f.getDeltaCep_New(f.totalFrame, f.deltaData.data(), f.accData.data());
  f.AssignCepToOutData();
  t0 = wallNow();
  s[kDeltas] += t0 - t1;
  std::vector<float> out = f.outData;
  f.MVN(out.data(), f.totalFrame);
  t1 = wallNow();
  s[kMvn] += t1 - t0;
  f.OutputFeatureHTKFormat(c.names[file].c_str(), "stage");
  s[kWrite] += wallNow() - t1;
}

struct ToolRun {
  double wall = 0, cpu = 0;
  long peakKb = 0;
  int status = -1;
};

ToolRun runTool(const std::string& tool, const std::vector<std::string>& args) {
  std::fflush(stdout);  // or the child would print what is still buffered
  const double start = wallNow();
  const pid_t child = fork();
  if (child == 0) {
    std::freopen("/dev/null", "r", stdin);
    std::freopen("/dev/null", "w", stdout);
    std::vector<char*> argv;
    std::vector<std::string> copies(args);
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  ToolRun r;
  r.wall = wallNow() - start;
  r.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
          1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  r.peakKb = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool sameFiles(const std::string& a, const std::string& b, const Corpus& c, const char* ext) {
  for (const auto& name : c.names) {
    std::ifstream fa(a + "/" + name + "." + ext, std::ios::binary);
    std::ifstream fb(b + "/" + name + "." + ext, std::ios::binary);
    const std::string sa((std::istreambuf_iterator<char>(fa)), std::istreambuf_iterator<char>());
    const std::string sb((std::istreambuf_iterator<char>(fb)), std::istreambuf_iterator<char>());
    if (sa.empty() || sa != sb) return false;
  }
  return true;
}

std::string defaultTool(const char* argv0) {
  std::string self = argv0;
  const std::size_t slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
  for (const std::string& candidate : {dir + "/feature", dir + "/../feature"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1560.0;
  int files = 60;
  int repeat = 5;
  std::string tool = defaultTool(argv[0]);
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (opt == "--files") files = std::atoi(argv[i + 1]);
    else if (opt == "--repeat") repeat = std::atoi(argv[i + 1]);
    else if (opt == "--tool") tool = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--files N] [--repeat R] [--tool PATH]\n", argv[0]);
      return 2;
    }
  }

  std::fprintf(stderr, "writing a corpus of %.0f s of speech-like audio in %d files (raw, WAV, FLAC)...\n", seconds,
               files);
  const Corpus corpus = makeCorpus(seconds, files);
  std::printf("corpus: %d files, %.1f s of audio, %ld frames, in %s\n", files, corpus.seconds,
              corpus.frames, corpus.dir.c_str());
  const auto paths = supportedFrontEnds();

  // The tool as a process: CPU time, wall time and peak memory. Measured
  // first, while this process is still small: a child's peak resident size
  // counts the parent's memory it starts from before it runs the tool.
  if (!tool.empty()) {
    std::printf("\nthe tool (%s), mode MVNMA, median of %d runs\n", tool.c_str(), repeat);
    std::printf("%-28s %10s %10s %12s %14s %10s\n", "run", "wall s", "CPU s", "ns/frame CPU",
                "x real (CPU)", "peak MB");
    struct Variant {
      Variant(std::string l, std::vector<std::string> o, std::string i)
          : label(std::move(l)), options(std::move(o)), input(std::move(i)) {}
      std::string label;
      std::vector<std::string> options;
      std::string input;  // the recordings' directory in the corpus
      std::vector<double> wall, cpu;
      long peak = 0;
    };
    std::vector<Variant> variants = {
        {"straightforward, -j 1", {"--front-end=straightforward"}, "in"},
        {"fastest, -j 1", {}, "in"},
        {"fastest, -j 2", {"-j", "2"}, "in"},
        {"fastest, -j 1, WAV input", {"--input-format=audio", "--input-extension=wav"}, "in-wav"},
        {"fastest, -j 1, FLAC input", {"--input-format=audio", "--input-extension=flac"}, "in-flac"}};
    // The variants alternate within each round, so that their ratios hold
    // on a busy machine.
    std::fflush(stdout);
    for (int r = 0; r < repeat; ++r) {
      std::fprintf(stderr, "running the tool in %zu ways, round %d of %d...\n", variants.size(), r + 1, repeat);
      for (auto& v : variants) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), v.options.begin(), v.options.end());
        for (const std::string& a : {corpus.dir + "/list", corpus.dir + "/" + v.input, corpus.dir + "/tool",
                                     std::string("MVNMA")}) {
          args.push_back(a);
        }
        const ToolRun run = runTool(tool, args);
        if (run.status != 0) {
          std::printf("%s failed with status %d\n", v.label.c_str(), run.status);
          return 1;
        }
        v.wall.push_back(run.wall);
        v.cpu.push_back(run.cpu);
        v.peak = std::max(v.peak, run.peakKb);
      }
    }
    for (const auto& v : variants) {
      std::printf("%-28s %10.3f %10.3f %12.0f %14.0f %10.1f\n", v.label.c_str(), median(v.wall), median(v.cpu),
                  1e9 * median(v.cpu) / corpus.frames, corpus.seconds / median(v.cpu), v.peak / 1024.0);
    }
    std::printf("CPU per frame against raw input, -j 1: WAV %.3f, FLAC %.3f\n",
                median(variants[3].cpu) / median(variants[1].cpu), median(variants[4].cpu) / median(variants[1].cpu));
  }

  // Stage breakdown, alternating the front ends.
  std::map<FrontEnd, std::vector<StageSeconds>> stageRuns;
  auto f = std::make_unique<FEATURE>();
  f->normType = 2;
  f->ini_fea_para();
  std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/stages/", corpus.dir.c_str());
  std::snprintf(OUT_EC_DIR, sizeof OUT_EC_DIR, "%s/stages/", corpus.dir.c_str());
  for (int r = 0; r < repeat; ++r) {
    for (FrontEnd path : paths) {
      StageSeconds s{};
      for (std::size_t i = 0; i < corpus.names.size(); ++i) timeStages(*f, corpus, i, path, s);
      stageRuns[path].push_back(s);
    }
  }
  std::fprintf(stderr, "timing every stage of every front end, %d rounds...\n", repeat);
  std::printf("\nns per frame, median of %d runs\n%-38s", repeat, "stage");
  for (FrontEnd path : paths) std::printf(" %15s", frontEndName(path));
  std::printf("\n");
  for (int st = 0; st < kStages; ++st) {
    std::printf("%-38s", kStageNames[st]);
    for (FrontEnd path : paths) {
      std::vector<double> v;
      for (const auto& s : stageRuns[path]) v.push_back(s[st]);
      std::printf(" %15.0f", 1e9 * median(v) / corpus.frames);
    }
    std::printf("\n");
  }

  // End to end in this process: doExtract over the list, HTK files written.
  const char* modes[] = {"NONE", "CMN", "MVNMA"};
  std::fprintf(stderr, "running the whole pipeline in this process with every front end...\n");
  std::printf("\nend to end in process (doExtract + doReset, files written), CPU time, median of %d\n",
              repeat);
  std::printf("%-16s %-6s %12s %14s\n", "front end", "mode", "ns/frame", "x real time");
  for (int normType : {2, 0, 1}) {
    std::map<FrontEnd, std::vector<double>> cpu;
    for (int r = 0; r < repeat; ++r) {
      for (FrontEnd path : paths) {
        auto g = std::make_unique<FEATURE>();
        g->normType = normType;
        std::snprintf(g->outExt, sizeof g->outExt, "%s", kExtensions[normType]);
        g->settings.frontEnd = path;
        g->ini_fea_para();
        std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/out-%s/", corpus.dir.c_str(), frontEndName(path));
        const double start = cpuNow();
        for (const auto& name : corpus.names) {
          const std::string input = corpus.dir + "/in/" + name;
          g->doExtract(input.c_str(), name.c_str(), 1);
          g->doReset();
        }
        cpu[path].push_back(cpuNow() - start);
      }
    }
    for (FrontEnd path : paths) {
      const double t = median(cpu[path]);
      std::printf("%-16s %-6s %12.0f %14.0f\n", frontEndName(path), modes[normType == 2 ? 0 : normType == 0 ? 1 : 2],
                  1e9 * t / corpus.frames, corpus.seconds / t);
    }
  }
  for (FrontEnd path : paths) {
    bool same = true;
    for (const char* ext : kExtensions) {
      same = same && sameFiles(corpus.dir + "/out-straightforward",
                               corpus.dir + "/out-" + frontEndName(path), corpus, ext);
    }
    std::printf("files of %s identical to straightforward: %s\n", frontEndName(path), same ? "yes" : "NO");
    if (!same) return 1;
  }

  const std::string cleanup = "rm -rf '" + corpus.dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
