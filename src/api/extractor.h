// The feature extractor as a library: from 16-bit samples in memory (or a
// recording read as the tool reads it) to the vectors the tool would write,
// the liftered records before normalisation and the frame energies, bit for
// bit. It is a thin layer over the FEATURE pipeline of the tool: the same
// code path, no second implementation of the arithmetic.
//
//   #include <feature/extractor.h>
//   feature::Extractor extractor;
//   const feature::Utterance u = extractor.extract(samples.data(), samples.size(),
//                                                  feature::Normalisation::CMN);
//   // u.frames rows of 39 floats in u.vectors
//
// Threads: an Extractor is not shared between threads while it works; use
// one per thread (each holds about 2 MB on the heap, its tables built once).
// Different Extractors run side by side safely: extraction touches no
// process-wide state and prints nothing. writeHtk may be called from any
// thread.
#ifndef FEATURE_EXTRACTOR_H
#define FEATURE_EXTRACTOR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "conversion_choice.h"
#include "output_choice.h"

class FEATURE;

namespace feature {

constexpr int kSampleRate = 16000;            // the only rate the features are defined for
constexpr std::size_t kMaxSamples = 1440000;  // 90 s: the longest recording analysed
constexpr int kDimensions = 39;               // c1..c12, C0, their deltas and delta-deltas
constexpr int kRecordValues = 13;             // c1..c12 (liftered), C0

// The normalisations of the tool's modes CMN, MVNMA and NONE (in the order
// of their normType).
enum class Normalisation { CMN, MVNMA, None };

// "CMN", "MVNMA" or "NONE" (exactly); throws std::invalid_argument otherwise.
Normalisation normalisationNamed(const std::string& name);
// The tool's file extension for a normalisation ("mfcKVR0DAZC39", ...).
const char* extensionOf(Normalisation normalisation);
// Its mode's name ("CMN", "MVNMA", "NONE").
const char* nameOf(Normalisation normalisation);

// How a recording file is read: headerless 16-bit little-endian PCM, or an
// audio file (WAV, FLAC, ...) holding 16-bit samples at 16 kHz in one
// channel (any other is refused), or Auto: as an audio file when it begins
// with an audio container's signature, else as raw PCM.
enum class InputFormat { Raw, Audio, Auto };

// A recording too long for the analysis (more than kMaxSamples samples).
class TooLong : public std::length_error {
 public:
  using std::length_error::length_error;
};

// A file that could not be read or written: what() names it and the
// reason, error() is the system's errno, path() the file.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& what, int error, std::string path)
      : std::runtime_error(what), error_(error), path_(std::move(path)) {}
  int error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  int error_;
  std::string path_;
};

// A recording file that could not be opened or read.
class UnreadableRecording : public FileError {
 public:
  using FileError::FileError;
};

// An audio file that is not read (another rate, several channels, another
// sample format, cut short, no audio at all...): what() says what it is.
class RefusedRecording : public std::invalid_argument {
 public:
  RefusedRecording(const std::string& what, std::string path, long long needs = 0)
      : std::invalid_argument(what), path_(std::move(path)), needs_(needs) {}
  const std::string& path() const { return path_; }
  // What would read it: kNeedsConversion, kNeedsLossy, kNeedsChannelChoice
  // (problem.h) or'ed together; 0 when no choice would.
  long long needs() const { return needs_; }

 private:
  std::string path_;
  long long needs_;
};

// Samples of a recording, every channel interleaved, as readSamples gives
// them.
struct RecordingSamples {
  std::vector<std::int16_t> samples;  // the frames asked for (a frame: one sample of each channel)
  int channels = 1;
  std::int64_t length = 0;            // frames the whole recording holds (converted, when it was)
  std::vector<std::string> warnings;  // in the tool's words
  std::string converted;              // what was done to it ("" when nothing)
  int sourceRate = kSampleRate;       // its own sample rate (before any conversion)
  std::uint64_t clipped = 0;          // converted samples clipped to 16 bits
};

// What one recording gives.
struct Utterance {
  int frames = 0;               // 0 for fewer than 320 samples
  std::vector<float> vectors;   // frames x 39 (what the tool writes in the HTK file), or x dimensionOf(output)
  std::vector<float> records;   // frames x 13: c1..c12 liftered, C0, before normalisation
  std::vector<float> energies;  // frames: the energy of each frame in dB (the .ENG values)
};

class Extractor {
 public:
  Extractor();
  ~Extractor();
  Extractor(Extractor&&) noexcept;
  Extractor& operator=(Extractor&&) noexcept;
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // The features of count samples at 16 kHz. More than kMaxSamples samples
  // throw TooLong, unless truncate is set: then the first kMaxSamples are
  // analysed, as the tool does with a longer file. Throws std::bad_alloc
  // when memory runs out. output: the MFCC vectors, or the filter-bank ones
  // (MVNMA with those throws std::invalid_argument).
  Utterance extract(const std::int16_t* samples, std::size_t count, Normalisation normalisation,
                    bool truncate = false, Output output = Output::Mfcc);

  // The samples of a recording file, read exactly as the tool reads it
  // (at most kMaxSamples; ignoredSamples, if given, receives how many more
  // the file holds, -1 when unknown). Throws UnreadableRecording or
  // RefusedRecording, and std::invalid_argument for a path with a NUL byte.
  // warnings, if given, receives what the tool would warn about (a raw
  // recording that begins with an audio file's header), in its words.
  // how: what may be done to another kind of audio file (then the
  // samples are those of its conversion, at most 90 s of them).
  std::vector<std::int16_t> readRecording(const std::string& path, InputFormat format = InputFormat::Raw,
                                          std::int64_t* ignoredSamples = nullptr,
                                          std::vector<std::string>* warnings = nullptr, const Conversion& how = {});

  // Frames first .. first + count - 1 of a recording of up to maxChannels
  // channels, read as the tool reads it but with no 90-second limit, and
  // with only those frames held in memory (count 0: its length and channels
  // alone). From a file, or from bytes in memory (a command's output, named
  // by label in messages; command, if given, is the command it came from).
  // Throws UnreadableRecording or RefusedRecording.
  // how: what may be done to another kind of recording (the frames are
  // then those of its conversion; see Conversion).
  RecordingSamples readSamples(const std::string& path, InputFormat format, std::uint64_t first, std::uint64_t count,
                               int maxChannels = 1, const Conversion& how = {});
  RecordingSamples readSamples(const unsigned char* bytes, std::size_t size, const std::string& label,
                               const std::string& command, InputFormat format, std::uint64_t first,
                               std::uint64_t count, int maxChannels = 1, const Conversion& how = {});

 private:
  std::unique_ptr<FEATURE> f_;
};

// Writes an HTK parameter file of frames vectors of dimensions floats (rows
// in host order) with the tool's header fields by default, completely or
// not at all. Throws FileError, or std::invalid_argument for dimensions
// or a sample period an HTK file cannot hold, or a path with a NUL byte.
void writeHtk(const std::string& path, const float* vectors, std::size_t frames, int dimensions = kDimensions,
              std::int32_t samplePeriod = 100000, std::int16_t parmKind = 6);

}  // namespace feature

#endif  // FEATURE_EXTRACTOR_H
