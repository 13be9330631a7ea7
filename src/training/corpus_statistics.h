// Corpus statistics: the frame count, and per dimension the sum and the sum
// of squares of the feature values, as recipes compute them before training
// (global or per speaker mean and variance normalisation).
//
// The sums are exact whatever the order of the frames and the number of
// workers: each float value is widened to double, its square formed in
// double (exact: 24 significant bits squared fit in 53), and both are added
// without any rounding into a fixed-point accumulator wide enough for every
// float, every square and 2^63 of them; the total is rounded once, to the
// nearest double, ties to even. So the result is the correctly rounded sum,
// the value Python's math.fsum gives over the same widened values, on every
// machine.
#ifndef TRAINING_CORPUS_STATISTICS_H
#define TRAINING_CORPUS_STATISTICS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace training {

// An exact sum of doubles that are floats or squares of floats (every value
// a multiple of 2^-350 below 2^256 in magnitude).
class ExactSum {
 public:
  // Adds value; false (nothing added) when it is no such double.
  bool add(double value);
  void add(const ExactSum& other);
  // The sum rounded once to the nearest double (ties to even).
  double rounded() const;

 private:
  static constexpr int kDigits = 22;  // 32-bit digits of 2^-350 .. 2^354
  void carry();
  std::array<std::int64_t, kDigits> digits_{};  // digit i weighs 2^(32 i - 350)
  std::uint32_t pending_ = 0;                   // adds since the last carry
};

class CorpusStatistics {
 public:
  explicit CorpusStatistics(std::uint32_t dimension = 0) : sums_(dimension), squares_(dimension) {}

  // Adds rows x dimension values (row by row). "" or why not (another
  // dimension, a value that is not finite: then nothing is added).
  std::string add(const float* values, std::uint64_t rows, std::uint32_t dimension);
  // Adds another accumulator of the same dimension ("" or why not).
  std::string add(const CorpusStatistics& other);

  std::uint32_t dimension() const { return static_cast<std::uint32_t>(sums_.size()); }
  std::uint64_t frames() const { return frames_; }
  std::vector<double> sums() const;
  std::vector<double> squares() const;

 private:
  std::uint64_t frames_ = 0;
  std::vector<ExactSum> sums_, squares_;
};

}  // namespace training

#endif  // TRAINING_CORPUS_STATISTICS_H
