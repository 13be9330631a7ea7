// The online extractor against the batch path: CPU per frame for 10 ms
// chunks, the time from the chunk that completes a frame to its vector
// being ready, and memory over a one-hour NONE stream with frames taken as
// they come. Prints figures; asserts nothing.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "extractor.h"
#include "online_extractor.h"

namespace {

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Voiced, syllable-shaped audio with pauses, like speech to the analysis.
std::vector<std::int16_t> speechLike(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> hiss(0.0, 1.0);
  std::vector<std::int16_t> samples(count);
  double phase = 0.0;
  for (std::size_t n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / 16000.0;
    phase += 2.0 * M_PI * (120.0 + 40.0 * std::sin(2.0 * M_PI * 0.7 * t)) / 16000.0;
    double voiced = 0.0;
    for (int h = 1; h <= 8; ++h) voiced += std::sin(h * phase) / h;
    const double envelope = std::max(0.0, std::sin(2.0 * M_PI * 4.0 * t));
    samples[n] = static_cast<std::int16_t>(std::clamp(6000.0 * envelope * voiced + 200.0 * hiss(random), -32768.0, 32767.0));
  }
  return samples;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const std::size_t minute = 60 * 16000;
  const auto audio = speechLike(10 * minute, 1);  // ten utterances of 60 s
  const int framesPerUtterance = static_cast<int>(minute / 160) - 1;
  const int utterances = 10;

  const std::vector<int> chunkMs = {10, 20, 40, 80};
  std::vector<double> batch;
  std::vector<std::vector<double>> online(chunkMs.size());
  for (int run = 0; run < 5; ++run) {
    feature::Extractor extractor;
    double start = cpuSeconds();
    for (int u = 0; u < utterances; ++u) {
      extractor.extract(audio.data() + u * minute, minute, feature::Normalisation::None);
    }
    batch.push_back((cpuSeconds() - start) / (utterances * framesPerUtterance) * 1e9);

    for (std::size_t c = 0; c < chunkMs.size(); ++c) {
      const std::size_t chunk = 16 * static_cast<std::size_t>(chunkMs[c]);
      start = cpuSeconds();
      for (int u = 0; u < utterances; ++u) {
        feature::OnlineExtractor stream(feature::Normalisation::None);
        for (std::size_t at = 0; at < minute; at += chunk) {
          stream.acceptWaveform(audio.data() + u * minute + at, std::min(chunk, minute - at));
          stream.pop(stream.numFramesReady());
        }
        stream.inputFinished();
      }
      online[c].push_back((cpuSeconds() - start) / (utterances * framesPerUtterance) * 1e9);
    }
  }
  std::printf("CPU per frame, NONE, 10 x 60 s, median of 5\n");
  std::printf("  batch (Extractor::extract)        %8.0f ns\n", median(batch));
  for (std::size_t c = 0; c < chunkMs.size(); ++c) {
    std::printf("  online, %2d ms chunks              %8.0f ns  (%.2f x batch)\n", chunkMs[c], median(online[c]),
                median(online[c]) / median(batch));
  }

  // Latency: the acceptWaveform call whose chunk completes a frame (every
  // 10 ms chunk completes one), until that frame's vector is ready.
  std::vector<double> latency;
  {
    feature::OnlineExtractor stream(feature::Normalisation::None);
    for (std::size_t at = 0; at < 10 * minute; at += 160) {
      const auto t0 = std::chrono::steady_clock::now();
      stream.acceptWaveform(audio.data() + at, 160);
      const int ready = stream.numFramesReady();
      if (ready > 0) stream.frame(ready - 1);
      latency.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
      stream.pop(ready);
    }
  }
  std::sort(latency.begin(), latency.end());
  std::printf("time from a 10 ms chunk to its frame ready: median %.1f us, 99th percentile %.1f us, max %.1f us\n",
              latency[latency.size() / 2], latency[latency.size() * 99 / 100], latency.back());

  // One hour of NONE, 10 ms chunks, frames taken and popped as they come.
  {
    feature::OnlineExtractor stream(feature::Normalisation::None);
    long afterMinute = 0;
    int taken = 0;
    for (int m = 0; m < 60; ++m) {
      const std::int16_t* chunkStart = audio.data() + (m % 10) * minute;
      for (std::size_t at = 0; at < minute; at += 160) {
        stream.acceptWaveform(chunkStart + at, 160);
        taken = stream.numFramesReady();
        stream.pop(taken);
      }
      if (m == 0) afterMinute = residentKb();
    }
    stream.inputFinished();
    std::printf("one hour of NONE in 10 ms chunks: %d frames; resident %ld kB after 1 minute, %ld kB after 60\n",
                stream.numFramesReady(), afterMinute, residentKb());
  }
}
