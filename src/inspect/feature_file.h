// A feature file opened for inspection: what kind it is (an HTK parameter
// file, or the tool's .C12 cepstrum or .ENG energy file), checked against
// its size, and its values read a block at a time, never all at once.
#ifndef INSPECT_FEATURE_FILE_H
#define INSPECT_FEATURE_FILE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum class FileKind { kHtk, kCepstra, kEnergy, kMatrix };

class FeatureFile {
 public:
  FeatureFile() = default;
  ~FeatureFile();
  FeatureFile(const FeatureFile&) = delete;
  FeatureFile& operator=(const FeatureFile&) = delete;

  // Opens path and works out what it holds, by its content, and by its
  // extension where the content alone cannot tell. Returns false with the
  // reason in problem when it cannot be read or is no valid feature file.
  bool open(const std::string& path, std::string& problem);
  // Opens rows x columns little-endian float32 values at offset of path (a
  // Kaldi archive's entry, a shard's array, feature-stream's rows), checked
  // against the file's size; format and header describe them.
  bool openMatrix(const std::string& path, long long offset, long long rows, int columns, const std::string& format,
                  const std::vector<std::string>& header, std::string& problem);
  // Only frames first .. first + count - 1 from now on (for a picture of a
  // stretch); they are then counted from first, which firstFrame() says.
  void keepFrames(long first, long count);
  long firstFrame() const { return firstFrame_; }

  FileKind kind() const { return kind_; }
  // "HTK parameter file", "cepstrum file (.C12 layout: ...)", ...
  const std::string& format() const { return format_; }
  // How the kind was decided, when it was not the content alone ("" when
  // the content said it clearly).
  const std::string& assumption() const { return assumption_; }
  const std::vector<std::string>& header() const { return header_; }
  long frames() const { return frames_; }
  int dimensions() const { return dimensions_; }
  long long size() const { return size_; }
  std::int32_t samplePeriod() const { return samplePeriod_; }  // 100 ns units; 100000 for .C12/.ENG

  // The name of dimension d: c1..c12, C0, Δc1.., ΔΔc1.. for 39-value
  // vectors; c1..c12 for cepstra; "energy"; else its number.
  std::string label(int d) const;

  // Reads frames [first, first + count) and hands each frame's values to
  // use. Returns the reason on a read error, else "".
  std::string forEachFrame(long first, long count,
                           const std::function<void(long, const std::vector<float>&)>& use) const;

 private:
  std::FILE* file_ = nullptr;
  FileKind kind_ = FileKind::kHtk;
  std::string format_;
  std::string assumption_;
  std::vector<std::string> header_;
  long frames_ = 0;
  int dimensions_ = 0;
  long long size_ = 0;
  long long offset_ = 0;  // of the first value
  bool bigEndian_ = true;
  std::int32_t samplePeriod_ = 100000;
  long firstFrame_ = 0;
};

// A signature that names what a file that is no feature file is instead
// ("a WAV audio file"), or "".
std::string knownSignature(const unsigned char* head, std::size_t size);

#endif  // INSPECT_FEATURE_FILE_H
