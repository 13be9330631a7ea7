#include "corpus_statistics.h"

#include <cmath>

namespace training {

namespace {

constexpr int kLowestBit = -350;          // 2^-350: the last bit of a float's square
constexpr std::int64_t kDigitBase = 1LL << 32;
constexpr std::uint32_t kAddsBeforeCarry = 1U << 30;  // each add moves a digit by less than 2^32

int bitLength(std::uint64_t v) {
  int n = 0;
  while (v != 0) {
    ++n;
    v >>= 1;
  }
  return n;
}

}  // namespace

bool ExactSum::add(double value) {
  if (value == 0.0) return true;
  if (!std::isfinite(value)) return false;
  int exponent = 0;
  const double fraction = std::frexp(value, &exponent);  // value = fraction * 2^exponent
  if (exponent > 256) return false;
  std::int64_t mantissa = static_cast<std::int64_t>(std::ldexp(fraction, 53));  // exact
  int position = exponent - 53 - kLowestBit;  // of the mantissa's last bit
  while (position < 0 && mantissa % 2 == 0) {
    mantissa /= 2;
    ++position;
  }
  if (position < 0) return false;
  const bool negative = mantissa < 0;
  const unsigned __int128 shifted = static_cast<unsigned __int128>(negative ? -mantissa : mantissa) << (position % 32);
  const int digit = position / 32;
  for (int i = 0; i < 3; ++i) {
    const auto piece = static_cast<std::int64_t>(static_cast<std::uint32_t>(shifted >> (32 * i)));
    digits_[static_cast<std::size_t>(digit + i)] += negative ? -piece : piece;
  }
  if (++pending_ >= kAddsBeforeCarry) carry();
  return true;
}

void ExactSum::carry() {
  // Every digit but the last into [0, 2^32); the last keeps the sign.
  for (std::size_t i = 0; i + 1 < digits_.size(); ++i) {
    const std::int64_t low = digits_[i] & (kDigitBase - 1);
    digits_[i + 1] += (digits_[i] - low) / kDigitBase;
    digits_[i] = low;
  }
  pending_ = 0;
}

void ExactSum::add(const ExactSum& other) {
  ExactSum carried = other;
  carried.carry();
  carry();
  for (std::size_t i = 0; i < digits_.size(); ++i) digits_[i] += carried.digits_[i];
  pending_ = 1;
}

double ExactSum::rounded() const {
  ExactSum n = *this;
  n.carry();
  const bool negative = n.digits_.back() < 0;
  if (negative) {
    for (std::int64_t& d : n.digits_) d = -d;
    n.carry();
  }
  int top = kDigits - 1;
  while (top >= 0 && n.digits_[static_cast<std::size_t>(top)] == 0) --top;
  if (top < 0) return 0.0;
  const auto digitAt = [&](int i) -> std::uint64_t {
    return i < 0 ? 0 : static_cast<std::uint64_t>(n.digits_[static_cast<std::size_t>(i)]);
  };
  // The top three digits, and whether any bit below them is set.
  const unsigned __int128 window = (static_cast<unsigned __int128>(digitAt(top)) << 64) |
                                   (static_cast<unsigned __int128>(digitAt(top - 1)) << 32) | digitAt(top - 2);
  bool sticky = false;
  for (int i = 0; i < top - 2; ++i) sticky = sticky || n.digits_[static_cast<std::size_t>(i)] != 0;
  const int length = bitLength(digitAt(top)) + 64;
  int exponent = 32 * (top - 2) + kLowestBit;  // of the window's last bit
  std::uint64_t mantissa;
  if (length <= 53) {
    mantissa = static_cast<std::uint64_t>(window);
  } else {
    const int drop = length - 53;
    mantissa = static_cast<std::uint64_t>(window >> drop);
    const unsigned __int128 rest = window & ((static_cast<unsigned __int128>(1) << drop) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    if (rest > half || (rest == half && (sticky || (mantissa & 1) != 0))) ++mantissa;
    exponent += drop;
  }
  const double magnitude = std::ldexp(static_cast<double>(mantissa), exponent);
  return negative ? -magnitude : magnitude;
}

std::string CorpusStatistics::add(const float* values, std::uint64_t rows, std::uint32_t dimension) {
  if (frames_ == 0 && sums_.empty()) {
    sums_.resize(dimension);
    squares_.resize(dimension);
  }
  if (dimension != this->dimension()) {
    return std::to_string(dimension) + " values a frame where the statistics have " +
           std::to_string(this->dimension());
  }
  const std::uint64_t count = rows * dimension;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      return "value " + std::to_string(i % dimension) + " of frame " + std::to_string(i / dimension) +
             " is not a finite number";
    }
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const double v = values[i];
    sums_[i % dimension].add(v);
    squares_[i % dimension].add(v * v);
  }
  frames_ += rows;
  return "";
}

std::string CorpusStatistics::add(const CorpusStatistics& other) {
  if (other.frames_ == 0 && other.sums_.empty()) return "";
  if (frames_ == 0 && sums_.empty()) {
    *this = other;
    return "";
  }
  if (other.dimension() != dimension()) {
    return std::to_string(other.dimension()) + " values a frame where the statistics have " +
           std::to_string(dimension());
  }
  for (std::size_t j = 0; j < sums_.size(); ++j) {
    sums_[j].add(other.sums_[j]);
    squares_[j].add(other.squares_[j]);
  }
  frames_ += other.frames_;
  return "";
}

std::vector<double> CorpusStatistics::sums() const {
  std::vector<double> out;
  for (const ExactSum& s : sums_) out.push_back(s.rounded());
  return out;
}

std::vector<double> CorpusStatistics::squares() const {
  std::vector<double> out;
  for (const ExactSum& s : squares_) out.push_back(s.rounded());
  return out;
}

}  // namespace training
