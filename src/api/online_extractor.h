// Features as audio arrives: samples are fed in chunks of any size, and each
// frame's vector can be read as soon as it is final, bit for bit the vector
// the tool writes for the same samples.
//
//   #include <feature/online_extractor.h>
//   feature::OnlineExtractor online(feature::Normalisation::None);
//   while (...) {
//     online.acceptWaveform(chunk, count);
//     for (; next < online.numFramesReady(); ++next) use(online.frame(next));
//     online.pop(next);  // frames before next are no longer needed
//   }
//   online.inputFinished();  // the last frames (edges clamped) are ready now
//
// When a frame is final, for 16-bit samples at 16 kHz (frame t covers
// samples 160 t .. 160 t + 319):
// - its record (c1..c12 liftered, C0) as soon as sample 160 t + 319 is in;
//   its energy then too, unless the frame is silent (all samples 0): a
//   silent frame takes the energy of the next sounding one, so it is final
//   when one arrives or the input is finished;
// - in NONE, its vector once the records of frames up to t + 4 are in
//   (the delta-delta at t reads the deltas at t + 2, which read the records
//   at t + 4): after 160 t + 960 samples, 50 ms of audio after the frame's
//   end. The last four frames are final only when the input is finished;
// - in CMN and MVNMA, whose statistics span the utterance, only when the
//   input is finished.
// Without truncation a NONE stream may run for ever: its frames are those
// the definition gives for the whole stream (the first 8,995 equal the
// tool's file of its first 90 s; the tool stops at 90 s, and its last four
// frames are clamped there). CMN and MVNMA refuse more than 90 s
// (TooLong), as Extractor::extract does; with truncation every mode ignores
// the samples after the first 90 s and equals the tool's file of a longer
// recording.
//
// Memory: the frames not yet popped, a few records for the deltas, the
// samples of the frame under way; in CMN and MVNMA the records of the
// utterance until it is finished (at most 8,999 frames).
#ifndef FEATURE_ONLINE_EXTRACTOR_H
#define FEATURE_ONLINE_EXTRACTOR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "extractor.h"

namespace feature {

// In NONE, frame t's vector is final once the samples of frame t + 4 are
// in: after n samples, max(0, n / 160 - 5) vectors are ready (a frame spans
// two shifts, and the deltas and delta-deltas each look two frames ahead).
constexpr int kFrameDelay = 5;

class OnlineExtractor {
 public:
  // inputRate: the rate of the samples given (8000 to 192000 Hz); other
  // than 16000, they are converted as they come by the defined conversion
  // (the same samples as the conversion of the whole recording, for any
  // chunking), and the 90-second limit applies to the converted samples.
  // Throws std::invalid_argument for a rate out of range.
  // output: the MFCC vectors, or the filter-bank ones (see output_choice.h;
  // MVNMA with those throws std::invalid_argument). In NONE, fbank vectors
  // are final with their records (no deltas to wait for), fbank-deltas ones
  // after the same delay as the MFCC vectors.
  explicit OnlineExtractor(Normalisation normalisation = Normalisation::None, bool truncate = false,
                           int inputRate = kSampleRate, Output output = Output::Mfcc);
  ~OnlineExtractor();
  // A moved-from extractor may only be destroyed or assigned to; any other
  // use throws std::logic_error.
  OnlineExtractor(OnlineExtractor&&) noexcept;
  OnlineExtractor& operator=(OnlineExtractor&&) noexcept;
  OnlineExtractor(const OnlineExtractor&) = delete;
  OnlineExtractor& operator=(const OnlineExtractor&) = delete;

  // Appends count samples and analyses every frame they complete. Throws
  // std::logic_error after inputFinished, TooLong when CMN or MVNMA would
  // exceed 90 s without truncation (nothing of that chunk is taken), and
  // std::bad_alloc when memory runs out.
  void acceptWaveform(const std::int16_t* samples, std::size_t count);
  // The same for count bytes of little-endian 16-bit samples, as they come
  // from a pipe or a socket: an odd last byte is kept for the next call (and
  // ignored at inputFinished, as the tool ignores a file's odd last byte).
  void acceptBytes(const unsigned char* bytes, std::size_t count);
  // No more samples: the last frames, and every frame in CMN and MVNMA,
  // become final. Calling it again changes nothing.
  void inputFinished();
  // Frames whose vectors are final (indices 0 .. numFramesReady() - 1,
  // popped ones included).
  int numFramesReady() const;
  // Whether t is the last frame of the input (known once it is finished).
  bool isLastFrame(int t) const;
  // The values of frame t's vector (39, or dimension() for another
  // output). Throws std::out_of_range, naming t, for a frame that was
  // popped or is not final. The pointer stays valid
  // until the next call of a non-const member.
  const float* frame(int t) const;

  // Records (c1..c12 liftered, C0, before normalisation) and energies (dB)
  // of frames, final as described above; the same errors as frame.
  int numRecordsReady() const;
  const float* record(int t) const;
  int numEnergiesReady() const;
  float energy(int t) const;

  // Frames before n are no longer needed: their vectors, records and
  // energies are released (indices stay absolute). n may be at most
  // numFramesReady(); a larger one throws std::out_of_range.
  void pop(int n);
  int firstFrame() const;  // the oldest frame not popped

  bool finished() const;
  std::int64_t samplesAccepted() const;
  // Samples after the first 90 s, ignored with truncation.
  std::int64_t samplesIgnored() const;
  // Converted samples clipped to 16 bits (input at another rate).
  std::uint64_t samplesClipped() const;
  Normalisation normalisation() const;
  Output output() const;
  int dimension() const;  // values a vector

 private:
  struct State;
  State& state() const;  // throws std::logic_error once moved from
  std::unique_ptr<State> s_;
};

}  // namespace feature

#endif  // FEATURE_ONLINE_EXTRACTOR_H
