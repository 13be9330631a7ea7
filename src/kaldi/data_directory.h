// A Kaldi-style data directory as feature-kaldi reads it: the entries of a
// wav.scp (a recording id and a file, or a shell command ending in "|"),
// the lines of a segments file, and the samples a segment selects.
#ifndef KALDI_DATA_DIRECTORY_H
#define KALDI_DATA_DIRECTORY_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace kaldi_data {

// One line of a wav.scp.
struct Recording {
  std::string id;
  std::string source;   // the path, or the command without its "|"
  bool command = false;
  std::string problem;  // why the line cannot be used ("" when it can)
  int line = 0;
};

// Every line of a wav.scp, in order (a malformed one with its problem).
std::vector<Recording> readWavScp(std::istream& in);

// One line of a segments file: <utt-id> <recording-id> <start> <end> [channel].
struct Segment {
  std::string utterance;
  std::string recording;
  double start = 0.0;   // seconds
  double end = -1.0;    // seconds; -1: to the end of the recording
  int channel = -1;     // -1: not given
  std::string problem;  // why the line is refused before any audio is read
  int line = 0;
};

std::vector<Segment> readSegments(std::istream& in);

// Limits of a cut, in seconds, as Kaldi's extract-segments has them.
struct CutLimits {
  float maxOvershoot = 0.5f;      // an end past the recording by more is refused
  float minSegmentLength = 0.1f;  // a shorter segment is refused
};

// The samples [first, end) that segment selects of a recording of samples
// samples per channel at rate, or why it selects none: the recording's
// length is the single-precision samples / rate; a start past it, an end
// past it by more than maxOvershoot and a segment shorter than
// minSegmentLength are refused; an end of -1 or past the length becomes
// the length; seconds become sample indices rounded half up from the
// double product, an end index past the recording is cut to it. A channel
// must be given for a recording of several channels, and exist.
struct Cut {
  std::int64_t first = 0;
  std::int64_t end = 0;
  int channel = 0;
  std::string problem;
};
Cut cutSegment(const Segment& segment, std::int64_t samples, int channels, float rate, const CutLimits& limits);

}  // namespace kaldi_data

#endif  // KALDI_DATA_DIRECTORY_H
