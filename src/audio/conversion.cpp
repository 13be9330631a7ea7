#include "conversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audio {

Converter::Converter(int rate, int channels, std::uint64_t frames, const Conversion& how, bool keepChannels,
                     DotKernel kernel, std::uint64_t first, std::uint64_t end)
    : rate_(rate),
      inChannels_(channels),
      outChannels_(keepChannels && how.channel < 0 && !how.downmix ? channels : 1),
      how_(how) {
  if (rate_ == kTargetRate) {
    length_ = frames;
    first_ = std::min(first, length_);
    end_ = std::max(first_, std::min(end, length_));
    inputStart_ = first_;
    inputEnd_ = end_;
  } else {
    const Resampler resampler(rate_, kernel);
    length_ = resampler.outputCount(frames);
    first_ = std::min(first, length_);
    end_ = std::max(first_, std::min(end, length_));
    inputStart_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, resampler.firstInput(first_)));
    inputEnd_ = inputStart_;
    if (end_ > first_) {
      const std::int64_t last = resampler.firstInput(end_ - 1) + resampler.taps();
      inputEnd_ = std::min<std::uint64_t>(frames, static_cast<std::uint64_t>(std::max<std::int64_t>(0, last)));
    }
    for (int c = 0; c < outChannels_; ++c) {
      resamplers_.push_back(std::make_unique<StreamResampler>(rate_, kernel, first_));
    }
  }
  pending_.resize(static_cast<std::size_t>(outChannels_));
  position_ = inputStart_;
  samples_.reserve(static_cast<std::size_t>((end_ - first_) * static_cast<std::uint64_t>(outChannels_)));
}

Converter::~Converter() = default;

void Converter::push(const double* values, std::size_t frames) {
  const std::size_t used =
      static_cast<std::size_t>(std::min<std::uint64_t>(frames, inputEnd_ - std::min(inputEnd_, position_)));
  position_ += frames;
  if (used == 0) return;
  const int C = inChannels_;
  // NaN and infinity: every exponent bit set, so that adding one to the
  // exponent carries into the sign bit (integer arithmetic without a
  // branch, which the compiler does several values at a time).
  std::uint64_t nonFinite = 0;
  for (std::size_t i = 0; i < used * static_cast<std::size_t>(C); ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    nonFinite += ((bits & 0x7ff0000000000000) + 0x0010000000000000) >> 63;
  }
  nonFinite_ += nonFinite;
  // The value of output channel out in frame f: that channel, the one
  // picked, or the mean of all (summed in channel order, in double).
  const auto value = [&](std::size_t f, int out) {
    const double* frame = values + f * static_cast<std::size_t>(C);
    if (outChannels_ > 1) return frame[out];
    if (how_.channel >= 0) return frame[how_.channel];
    if (!how_.downmix) return frame[0];
    double sum = 0.0;
    for (int c = 0; c < C; ++c) sum += frame[c];
    return sum / C;
  };
  if (rate_ == kTargetRate) {
    for (std::size_t f = 0; f < used; ++f) {
      for (int out = 0; out < outChannels_; ++out) samples_.push_back(toInt16(value(f, out), clipped_));
    }
    return;
  }
  mono_.resize(used);
  for (int out = 0; out < outChannels_; ++out) {
    // The same values as value(f, out), in loops of their own.
    const int pick = outChannels_ > 1 ? out : how_.channel >= 0 ? how_.channel : how_.downmix ? -1 : 0;
    if (pick >= 0) {
      const double* from = values + pick;
      for (std::size_t f = 0; f < used; ++f) mono_[f] = static_cast<float>(from[f * static_cast<std::size_t>(C)]);
    } else {
      for (std::size_t f = 0; f < used; ++f) mono_[f] = static_cast<float>(value(f, out));
    }
    resamplers_[static_cast<std::size_t>(out)]->accept(mono_.data(), used, pending_[static_cast<std::size_t>(out)]);
  }
  interleave();
}

void Converter::finish() {
  if (rate_ == kTargetRate) return;
  for (int out = 0; out < outChannels_; ++out) {
    resamplers_[static_cast<std::size_t>(out)]->finish(pending_[static_cast<std::size_t>(out)]);
  }
  interleave();
}

void Converter::interleave() {
  // Every channel has the same number of new outputs; those past end_
  // (computed as the input ran on) are dropped.
  const std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(pending_[0].size(), end_ - first_ - produced_));
  const std::size_t at = samples_.size();
  const std::size_t channels = static_cast<std::size_t>(outChannels_);
  samples_.resize(at + count * channels);
  std::int16_t* to = samples_.data() + at;
  for (std::size_t out = 0; out < channels; ++out) {
    const float* from = pending_[out].data();
    for (std::size_t i = 0; i < count; ++i) to[i * channels + out] = toInt16(from[i], clipped_);
  }
  produced_ += count;
  for (auto& p : pending_) p.clear();
}

std::string conversionWords(int rate, const std::string& format, int channels, const Conversion& how) {
  std::string words;
  const auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
  if (!format.empty()) add(format + " to 16-bit");
  if (rate != kTargetRate) add(std::to_string(rate) + " Hz to 16000 Hz");
  if (how.channel >= 0 && channels > 1) {
    add("channel " + std::to_string(how.channel) + " of " + std::to_string(channels));
  } else if (how.downmix && channels > 1) {
    add("the mean of " + std::to_string(channels) + " channels");
  }
  return words;
}

}  // namespace audio
