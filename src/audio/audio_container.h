// Reading audio containers completely or not at all: the bytes of a
// recording file, what a container's header promises about its sample
// data, and FLAC streams decoded and checked against their MD5 signature.
// A file that holds fewer samples than its header promises is a recording
// cut short; read as it stands it would give the features of a shorter
// recording without a word, so it is refused.
#ifndef FEATURE_AUDIO_CONTAINER_H
#define FEATURE_AUDIO_CONTAINER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace audio {

// The bytes of a recording, read at any offset: a regular file through
// pread (nothing is loaded), anything else (a pipe, a device) read whole
// into memory once, up to kMaxStreamBytes.
class ByteSource {
 public:
  static constexpr std::uint64_t kMaxStreamBytes = std::uint64_t{1} << 30;  // kit::kMostStreamBytes

  // problem says why when the bytes cannot be had (an error reading, a
  // stream longer than kMaxStreamBytes).
  ByteSource(int fd, std::string& problem);
  explicit ByteSource(std::vector<unsigned char> bytes);
  // A view of size bytes held by the caller, who keeps them while it lives.
  ByteSource(const unsigned char* data, std::size_t size);

  std::uint64_t size() const { return size_; }
  // Up to count bytes from offset; fewer at the end, or on a read error
  // (then failed() is true and errno says why).
  std::size_t read(std::uint64_t offset, void* out, std::size_t count) const;
  bool failed() const { return failed_; }
  // Whether the bytes came whole from a stream (a pipe, a command's output)
  // rather than from a regular file.
  bool stream() const { return fd_ < 0; }
  // The command whose output the bytes are, when they are one (its words
  // then suggest a change of the command, not of a file).
  const std::string& command() const { return command_; }
  void setCommand(std::string command) { command_ = std::move(command); }

 private:
  int fd_ = -1;
  std::vector<unsigned char> bytes_;
  const unsigned char* data_ = nullptr;  // the bytes in memory (bytes_, or the caller's)
  std::uint64_t size_ = 0;
  std::string command_;
  mutable bool failed_ = false;
};

// The samples kept of a recording: frames (a sample of every channel)
// first .. first + count - 1; the others are read past (and checked) but
// not kept, so that memory is bounded by what is used.
struct FrameWindow {
  std::uint64_t first = 0;
  std::uint64_t count = UINT64_MAX;
};

// Where a container's samples lie and how many bytes of them its header
// promises.
struct SampleData {
  bool checkable = false;   // the header states it, and it was found
  bool toEnd = false;       // the header says "up to the end of the file"
  std::uint64_t offset = 0;  // first byte of the samples
  std::uint64_t bytes = 0;   // promised bytes of samples (unless toEnd)
  std::string problem;       // why the header does not hold together, if so
  // The size field holds what a writer streaming to a pipe puts there
  // (sox writes 0x7FFFF000): the samples run to the end of the stream.
  bool unknownLength = false;
};

// The sample data promised by a container of libsndfile's major type
// (SF_FORMAT_WAV, ...): WAV, WAVEX, RF64, W64, AIFF/AIFC, AU, CAF and NIST
// SPHERE are understood; for any other type checkable stays false.
SampleData promisedSampleData(int majorType, const ByteSource& source);

// The format of a little-endian RIFF WAVE stream, from the bytes of its
// start: for a recorder that writes WAV into a pipe, whose samples are read
// as they come. complete is false while the bytes end before the data
// chunk's header.
struct WaveStreamHeader {
  bool complete = false;
  unsigned formatTag = 0;     // 1: integer PCM (also for WAVE_FORMAT_EXTENSIBLE of PCM)
  unsigned channels = 0, rate = 0, bits = 0;
  std::uint64_t dataOffset = 0;  // first byte of the samples
  bool toEnd = true;             // the samples run to the end of the stream
  std::uint64_t dataBytes = 0;   // else how many there are
  std::string problem;           // a header that does not hold together
};
WaveStreamHeader waveStreamHeader(const unsigned char* bytes, std::size_t size);

// Whether the file begins with a FLAC stream (after an ID3v2 tag, if any).
bool isFlac(const ByteSource& source);

// A FLAC stream decoded whole: 16-bit samples at 16 kHz, in one channel
// unless more are allowed (then interleaved).
struct FlacResult {
  bool accepted = false;     // 16000 Hz, 1 to maxChannels channels, 16 bits
  unsigned rate = 0, channels = 0, bits = 0;
  std::uint64_t frames = 0;  // samples per channel decoded (all, also past limit)
  std::string problem;       // why the stream is refused, if it is
};

// Where a FLAC stream's values go when they are to be converted: start
// sees the header (true: its values are wanted, whatever its rate, sample
// size and channels up to the most allowed), push gets every frame's
// values in the 16-bit scale (value x 2^(16 - bits), exact), interleaved.
struct FlacSink {
  std::function<bool(const FlacResult& header, std::uint64_t promised)> start;
  std::function<void(const double* values, std::size_t frames)> push;
};

// Decodes the stream into samples (the frames of window kept; the rest
// are decoded, counted and checked too), or into sink when it takes them. The MD5 signature is checked when
// the stream has one; a stream of unknown length (total 0 in its header)
// is read to its end. A window of no frames over a stream whose header
// states its length reads the header alone (frames: what it states).
FlacResult decodeFlac(const ByteSource& source, FrameWindow window, std::vector<std::int16_t>& samples,
                      unsigned maxChannels = 1, const FlacSink* sink = nullptr);

}  // namespace audio

#endif  // FEATURE_AUDIO_CONTAINER_H
