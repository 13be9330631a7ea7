// The online extractor: the tool's own steps run on the frames each chunk
// completes. The frame analysis and the lifter run on the samples of the
// new frames alone (a frame depends on its own 320 samples); the deltas run
// on a window of records wide enough that no clamp inside it is reached
// before the utterance ends; CMN and MVNMA run the whole pipeline of the
// utterance once it is finished.
#include "online_extractor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "energy_track.h"
#include "fast_front_end.h"
#include "feature.h"
#include "resampler.h"

namespace feature {

namespace {

// The most frames one call of the analysis takes (its per-frame stores hold
// 9,000).
constexpr int kFramesPerAnalysis = kMaxFrames - 1;

// Rows of a fixed width with absolute indices, released from the front.
class Rows {
 public:
  explicit Rows(int width) : width_(width) {}
  int first() const { return first_; }
  int end() const { return first_ + static_cast<int>((values_.size() - offset_) / width_); }
  float* at(int t) { return values_.data() + offset_ + static_cast<std::size_t>(t - first_) * width_; }
  const float* at(int t) const { return values_.data() + offset_ + static_cast<std::size_t>(t - first_) * width_; }
  // rows more rows at the end, zero; returns the first of them.
  float* append(int rows) {
    const int start = end();
    values_.resize(values_.size() + static_cast<std::size_t>(rows) * width_, 0.0f);
    return at(start);
  }
  // Rows before t are no longer kept (the storage is compacted once the
  // released part outweighs the kept one).
  void releaseBefore(int t) {
    t = std::min(t, end());
    if (t <= first_) return;
    offset_ += static_cast<std::size_t>(t - first_) * width_;
    first_ = t;
    if (offset_ > 4096 && offset_ * 2 > values_.size()) {
      values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(offset_));
      offset_ = 0;
    }
  }

 private:
  int width_;
  int first_ = 0;
  std::size_t offset_ = 0;
  std::vector<float> values_;
};

bool silentFrame(const std::int16_t* samples) {
  return std::all_of(samples, samples + kFrameLength, [](std::int16_t s) { return s == 0; });
}

}  // namespace

struct OnlineExtractor::State {
  State(Normalisation n, bool t, int rate, Output o)
      : normalisation(n), truncate(t), output(o), width(o == Output::Mfcc ? kRecordValues : kNumFilters),
        deltas(width), vectors(dimensionOf(o)) {
    const std::string refused = outputProblem(o, static_cast<int>(n));
    if (!refused.empty()) throw std::invalid_argument(refused);
    f.settings.output = o;
    f.settings.console = nullptr;
    f.settings.errors = nullptr;
    f.settings.pauseAfterError = false;
    f.normType = static_cast<std::int32_t>(n);
    f.ini_fea_para();
    if (rate != kSampleRate) {
      resampler = std::make_unique<audio::StreamResampler>(
          rate, fast_front_end::frontEndChoice(FrontEnd::kFastest).resample);
    }
  }

  const Normalisation normalisation;
  const bool truncate;
  const Output output;
  const int width;  // of the rows the deltas are taken of: the records, or the filter banks
  bool finished = false;
  FEATURE f;
  std::vector<std::int16_t> pending;  // samples from the first sample of frame recordsReady
  std::vector<std::int16_t> fromBytes;  // acceptBytes' samples, reused from call to call
  int oddByte = -1;                     // the first byte of a sample split between two acceptBytes
  std::int64_t accepted = 0;
  std::int64_t ignored = 0;
  Rows records{kRecordValues};
  Rows bands{kNumFilters};  // the filter-bank statics, for those outputs
  Rows energies{1};
  Rows deltas;
  Rows vectors;
  EnergyTrack energyTrack;
  int recordsReady = 0;
  int deltasReady = 0;
  int vectorsReady = 0;
  int popped = 0;
  std::vector<float> window;  // the regression's rows, kept from chunk to chunk
  // Samples at another rate: converted as they come, the same samples as
  // the conversion of the whole stream.
  std::unique_ptr<audio::StreamResampler> resampler;
  std::int64_t inputs = 0;
  std::vector<float> in, out;
  std::vector<std::int16_t> converted;
  std::uint64_t clipped = 0;

  void accept(const std::int16_t* samples, std::size_t count);
  void takeConverted();
  void take(const std::int16_t* samples, std::size_t count);
  void analyseNewFrames();
  void analyse(const std::int16_t* samples, int frames);
  void advanceVectors();
  const float* regression(const Rows& in, int first, int end, int available);
  void fillEnergies(int from, int to, float energy) {
    for (int t = std::max(from, energies.first()); t < to; ++t) *energies.at(t) = energy;
  }
  void assemble(int first, int count, const float* acc);
  void finishUtterance();
  void releaseUnneeded();
  int energiesReady() const {
    const int waiting = energyTrack.waitingFrom();
    return waiting >= 0 ? waiting : recordsReady;
  }
  const float* row(const Rows& rows, const char* what, int t, int ready) const;
};

void OnlineExtractor::State::accept(const std::int16_t* samples, std::size_t count) {
  if (!resampler || finished) return take(samples, count);
  // The limit applies to the converted samples: refused before any of the
  // chunk is taken.
  const auto after = static_cast<std::int64_t>(resampler->outputCount(static_cast<std::uint64_t>(inputs) + count));
  if (!truncate && normalisation != Normalisation::None && after > static_cast<std::int64_t>(kMaxSamples)) {
    throw TooLong(tooLongWords("the stream", after) + " with this chunk, which is not taken: " +
                  modeOfType(static_cast<std::int32_t>(normalisation)).name +
                  " normalises over the whole utterance (NONE has no limit)");
  }
  in.assign(samples, samples + count);
  inputs += static_cast<std::int64_t>(count);
  resampler->accept(in.data(), in.size(), out);
  takeConverted();
}

void OnlineExtractor::State::takeConverted() {
  converted.resize(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) converted[i] = audio::toInt16(out[i], clipped);
  out.clear();
  take(converted.data(), converted.size());
}

void OnlineExtractor::State::take(const std::int16_t* samples, std::size_t count) {
  if (finished) {
    throw std::logic_error("acceptWaveform after inputFinished: this stream has ended (start a new "
                           "OnlineExtractor for the next one)");
  }
  std::size_t taken = count;
  if (truncate || normalisation != Normalisation::None) {
    const std::int64_t room = std::max<std::int64_t>(0, static_cast<std::int64_t>(kMaxSamples) - accepted);
    if (static_cast<std::int64_t>(count) > room) {
      if (!truncate) {
        throw TooLong(tooLongWords("the stream", accepted + static_cast<std::int64_t>(count)) +
                      " with this chunk, which is not taken: " + modeOfType(static_cast<std::int32_t>(normalisation)).name +
                      " normalises over the whole utterance (NONE has no limit)");
      }
      taken = static_cast<std::size_t>(room);
      ignored += static_cast<std::int64_t>(count - taken);
    }
  }
  pending.insert(pending.end(), samples, samples + taken);
  accepted += static_cast<std::int64_t>(taken);
  analyseNewFrames();
  if (normalisation == Normalisation::None) advanceVectors();
  releaseUnneeded();
}

// Every frame the pending samples complete, at most kFramesPerAnalysis in
// one call of the analysis; their samples are then dropped, but for the 160
// the next frame shares.
void OnlineExtractor::State::analyseNewFrames() {
  std::size_t used = 0;
  for (;;) {
    const std::size_t left = std::min<std::size_t>(pending.size() - used, kMaxSamples);
    const int frames = std::min(f.getTotalFrame(static_cast<std::int32_t>(left)), kFramesPerAnalysis);
    if (frames <= 0) break;
    analyse(pending.data() + used, frames);
    used += static_cast<std::size_t>(frames) * kFrameShift;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
}

// frames frames from their samples (160 frames + 160 of them): records
// liftered, energies through the utterance's track.
void OnlineExtractor::State::analyse(const std::int16_t* samples, int frames) {
  if (f.analyseSamples(samples, (frames + 1) * kFrameShift) == kShellNoMemory) throw std::bad_alloc();
  f.CEPLIFTER(frames);
  std::memcpy(records.append(frames), f.cepData.data(), sizeof(float) * kRecordValues * frames);
  if (output != Output::Mfcc) f.filterBankStatics(frames, bands.append(frames));
  energies.append(frames);
  const auto fill = [this](int from, int to, float energy) { fillEnergies(from, to, energy); };
  for (int i = 0; i < frames; ++i) {
    const int t = recordsReady + i;
    if (silentFrame(samples + static_cast<std::ptrdiff_t>(i) * kFrameShift)) {
      energyTrack.silent(t);
    } else {
      energyTrack.sounding(t, f.frameEng[i], fill);
    }
  }
  recordsReady += frames;
}

// NONE: the deltas and vectors the records now in make final. A delta at t
// reads records t - 2 .. t + 2, clamped at the utterance's ends; the window
// given to the regression starts 2 records before the first new delta (or at
// record 0, where the clamp is the utterance's own) and ends 2 after the
// last, or at the last record once the input is finished.
void OnlineExtractor::State::advanceVectors() {
  const int R = recordsReady;
  if (output == Output::Fbank) {  // no deltas: a frame is final with its record
    std::memcpy(vectors.append(R - vectorsReady), bands.at(vectorsReady),
                sizeof(float) * kNumFilters * static_cast<std::size_t>(R - vectorsReady));
    vectorsReady = R;
    return;
  }
  const Rows& statics = output == Output::Mfcc ? records : bands;
  const int deltaEnd = finished ? R : std::max(0, R - 2);
  if (deltaEnd > deltasReady) {
    const int count = deltaEnd - deltasReady;
    std::memcpy(deltas.append(count), regression(statics, deltasReady, deltaEnd, R),
                sizeof(float) * static_cast<std::size_t>(width) * count);
    deltasReady = deltaEnd;
  }
  const int vectorEnd = finished ? R : std::max(0, deltasReady - 2);
  if (vectorEnd > vectorsReady) {
    assemble(vectorsReady, vectorEnd - vectorsReady, regression(deltas, vectorsReady, vectorEnd, deltasReady));
    vectorsReady = vectorEnd;
  }
}

// The regression over rows first .. end - 1 of in (available rows of it),
// from the window described above: the rows, in window.
const float* OnlineExtractor::State::regression(const Rows& in, int first, int end, int available) {
  const int lo = std::max(0, first - 2);
  const int hi = std::min(available, end + 2);
  window.resize(static_cast<std::size_t>(hi - lo) * width);
  FEATURE::deltaRegression(hi - lo, width, in.at(lo), window.data());
  return window.data() + static_cast<std::size_t>(first - lo) * width;
}

// Vectors first .. first + count - 1 from their records, deltas and the
// given delta-deltas, laid out by the extractor's own assembly.
void OnlineExtractor::State::assemble(int first, int count, const float* acc) {
  if (output == Output::FbankDeltas) {
    float* out = vectors.append(count);
    for (int i = 0; i < count; ++i) {
      float* row = out + static_cast<std::size_t>(i) * 3 * kNumFilters;
      std::memcpy(row, bands.at(first + i), sizeof(float) * kNumFilters);
      std::memcpy(row + kNumFilters, deltas.at(first + i), sizeof(float) * kNumFilters);
      std::memcpy(row + 2 * kNumFilters, acc + static_cast<std::size_t>(i) * kNumFilters, sizeof(float) * kNumFilters);
    }
    return;
  }
  const std::size_t values = static_cast<std::size_t>(count) * kRecordValues;
  f.totalFrame = count;
  f.cepData.assign(records.at(first), records.at(first) + values);
  f.deltaData.assign(deltas.at(first), deltas.at(first) + values);
  f.accData.assign(acc, acc + values);
  f.outData.resize(static_cast<std::size_t>(count) * kDimensions);
  f.AssignCepToOutData();
  std::memcpy(vectors.append(count), f.outData.data(), sizeof(float) * kDimensions * count);
}

// CMN and MVNMA: the utterance's records through the tool's steps after the
// lifter.
void OnlineExtractor::State::finishUtterance() {
  const int n = recordsReady;
  if (output != Output::Mfcc) {
    std::vector<float> statics(bands.at(0), bands.at(0) + static_cast<std::size_t>(n) * kNumFilters);
    FEATURE::filterBankVectors(statics.data(), n, f.normType, output, vectors.append(n));
    vectorsReady = n;
    return;
  }
  f.totalFrame = n;
  f.cepData.assign(records.at(0), records.at(0) + static_cast<std::size_t>(n) * kRecordValues);
  if (!f.assembleVectors()) throw std::bad_alloc();
  if (n > 0) std::memcpy(vectors.append(n), f.outData.data(), sizeof(float) * kDimensions * n);
  vectorsReady = n;
  f.releaseRecords();
  f.doReset();
}

// Kept: vectors, records and energies from the oldest frame not popped;
// in NONE the records and deltas the next windows read; in CMN and MVNMA
// every record until the utterance is finished.
void OnlineExtractor::State::releaseUnneeded() {
  vectors.releaseBefore(popped);
  energies.releaseBefore(popped);
  int recordsNeeded = popped;
  if (!finished && normalisation != Normalisation::None) recordsNeeded = 0;
  if (!finished && normalisation == Normalisation::None) {
    recordsNeeded = output == Output::Fbank ? vectorsReady : std::max(0, deltasReady - 2);
  }
  records.releaseBefore(std::min(popped, recordsNeeded));
  bands.releaseBefore(std::min(popped, recordsNeeded));
  deltas.releaseBefore(finished ? deltas.end() : std::max(0, vectorsReady - 2));
}

const float* OnlineExtractor::State::row(const Rows& rows, const char* what, int t, int ready) const {
  if (t >= popped && t < ready) return rows.at(t);
  std::string message = std::string(what) + " " + std::to_string(t) + " is not available: ";
  if (t < 0) {
    message += "frames count from 0";
  } else if (t < popped) {
    message += "frames before " + std::to_string(popped) + " were popped";
  } else if (finished) {
    message += "the stream ended with " + std::to_string(ready) + " frames";
  } else {
    message += "only frames before " + std::to_string(ready) + " are final so far";
  }
  throw std::out_of_range(message);
}

OnlineExtractor::OnlineExtractor(Normalisation normalisation, bool truncate, int inputRate, Output output)
    : s_(std::make_unique<State>(normalisation, truncate, inputRate, output)) {}
OnlineExtractor::~OnlineExtractor() = default;
OnlineExtractor::OnlineExtractor(OnlineExtractor&&) noexcept = default;
OnlineExtractor& OnlineExtractor::operator=(OnlineExtractor&&) noexcept = default;

OnlineExtractor::State& OnlineExtractor::state() const {
  if (!s_) throw std::logic_error("the OnlineExtractor was used after being moved from (assign it a new one first)");
  return *s_;
}

void OnlineExtractor::acceptWaveform(const std::int16_t* samples, std::size_t count) { state().accept(samples, count); }

void OnlineExtractor::acceptBytes(const unsigned char* bytes, std::size_t count) {
  State& s = state();
  if (s.finished) s.take(nullptr, 0);  // refused as acceptWaveform refuses it
  std::vector<std::int16_t>& samples = s.fromBytes;
  samples.clear();
  std::size_t at = 0;
  if (s.oddByte >= 0 && count > 0) {
    samples.push_back(static_cast<std::int16_t>(s.oddByte | bytes[0] << 8));
    at = 1;
  }
  for (; at + 1 < count; at += 2) samples.push_back(static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8));
  const int odd = at < count ? bytes[at] : s.oddByte >= 0 && count == 0 ? s.oddByte : -1;
  s.accept(samples.data(), samples.size());
  s.oddByte = odd;  // only once the samples were taken
}

void OnlineExtractor::inputFinished() {
  State& s = state();
  if (s.finished) return;
  if (s.resampler) {
    s.resampler->finish(s.out);
    s.takeConverted();
  }
  s.finished = true;
  s.energyTrack.finish(s.recordsReady, [&s](int from, int to, float energy) { s.fillEnergies(from, to, energy); });
  if (s.normalisation == Normalisation::None) {
    s.advanceVectors();
  } else {
    s.finishUtterance();
  }
  s.pending.clear();
  s.pending.shrink_to_fit();
  s.releaseUnneeded();
}

int OnlineExtractor::numFramesReady() const { return state().vectorsReady; }
bool OnlineExtractor::isLastFrame(int t) const { return state().finished && t == state().recordsReady - 1; }
const float* OnlineExtractor::frame(int t) const { return state().row(state().vectors, "frame", t, state().vectorsReady); }
int OnlineExtractor::numRecordsReady() const { return state().recordsReady; }
const float* OnlineExtractor::record(int t) const { return state().row(state().records, "record", t, state().recordsReady); }
int OnlineExtractor::numEnergiesReady() const { return state().energiesReady(); }
float OnlineExtractor::energy(int t) const { return *state().row(state().energies, "energy", t, state().energiesReady()); }

void OnlineExtractor::pop(int n) {
  State& s = state();
  if (n > s.vectorsReady) {
    throw std::out_of_range("pop(" + std::to_string(n) + "): only frames before " + std::to_string(s.vectorsReady) +
                            " (the frames ready) can be popped");
  }
  s.popped = std::max(s.popped, n);
  s.releaseUnneeded();
}

int OnlineExtractor::firstFrame() const { return state().popped; }
bool OnlineExtractor::finished() const { return state().finished; }
std::int64_t OnlineExtractor::samplesAccepted() const { return state().accepted; }
std::uint64_t OnlineExtractor::samplesClipped() const { return state().clipped; }
std::int64_t OnlineExtractor::samplesIgnored() const { return state().ignored; }
Normalisation OnlineExtractor::normalisation() const { return state().normalisation; }
Output OnlineExtractor::output() const { return state().output; }
int OnlineExtractor::dimension() const { return dimensionOf(state().output); }

}  // namespace feature
