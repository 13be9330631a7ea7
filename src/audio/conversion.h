// The chain that turns a recording of another kind into the 16 kHz 16-bit
// samples the features are defined for, one way on every machine (the
// README's "Conversion of recordings" states it):
//
//   1. the source's own values, in the 16-bit scale, in double: integers as
//      libsndfile gives them left-aligned in 32 bits, divided by 65536
//      (8-bit x 256, 24-bit / 256, ...; mu-law and A-law as their 16-bit
//      expansions); floats times 32768 (all exact);
//   2. one channel picked, or the mean of all: their sum in channel order,
//      divided by their number, in double;
//   3. at 16 kHz, nothing more; at another rate, each value rounded to
//      single precision and resampled (resampler.h);
//   4. one rounding to 16 bits: to nearest, ties to even, clipped (counted).
//
// A recording that needs none of it (16 kHz, 16-bit integer samples, the
// channels read as they are) keeps its samples exactly.
#ifndef AUDIO_CONVERSION_H
#define AUDIO_CONVERSION_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "feature.h"
#include "resampler.h"

namespace audio {

using ::Conversion;  // feature.h: what a reading may do

// The outputs first .. end - 1 (16 kHz frames) of a recording of frames
// input frames of channels channels at rate, from its values pushed in
// order from inputStart() on. Keeps one channel (picked or mixed) or all.
class Converter {
 public:
  Converter(int rate, int channels, std::uint64_t frames, const Conversion& how, bool keepChannels,
            DotKernel kernel, std::uint64_t first, std::uint64_t end);
  ~Converter();

  // The converted length of the recording (16 kHz frames), and the input
  // frames the outputs read.
  std::uint64_t length() const { return length_; }
  std::uint64_t inputStart() const { return inputStart_; }
  std::uint64_t inputEnd() const { return inputEnd_; }

  // frames frames of values (16-bit scale, interleaved), the next ones from
  // inputStart() on (frames past inputEnd() are ignored).
  void push(const double* values, std::size_t frames);
  // No more input: the last outputs.
  void finish();

  int channels() const { return outChannels_; }    // of the output
  std::vector<std::int16_t>& samples() { return samples_; }  // interleaved
  std::uint64_t clipped() const { return clipped_; }
  std::uint64_t nonFinite() const { return nonFinite_; }  // NaN or infinite values pushed

 private:
  void interleave();

  int rate_, inChannels_, outChannels_;
  Conversion how_;
  std::uint64_t first_, end_, length_ = 0, inputStart_ = 0, inputEnd_ = 0;
  std::uint64_t position_ = 0;  // the next input frame pushed
  std::uint64_t produced_ = 0;  // output frames made
  std::vector<std::unique_ptr<StreamResampler>> resamplers_;
  std::vector<std::vector<float>> pending_;  // outputs of each channel not yet interleaved
  std::vector<float> mono_;
  std::vector<std::int16_t> samples_;
  std::uint64_t clipped_ = 0;
  std::uint64_t nonFinite_ = 0;
};

// "48000 Hz", "24-bit", "channel 1 of 2": what a conversion does, for the
// summary and messages.
std::string conversionWords(int rate, const std::string& format, int channels, const Conversion& how);

}  // namespace audio

#endif  // AUDIO_CONVERSION_H
