#include "data_directory.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "feature_files.h"
#include "text_and_streams.h"

namespace kaldi_data {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trimmed(const std::string& text) {
  std::size_t a = 0;
  std::size_t b = text.size();
  while (a < b && isBlank(text[a])) ++a;
  while (b > a && isBlank(text[b - 1])) --b;
  return text.substr(a, b - a);
}

// The fields of a line split on blanks, tabs and carriage returns.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && isBlank(line[at])) ++at;
    std::size_t end = at;
    while (end < line.size() && !isBlank(line[end])) ++end;
    if (end > at) out.push_back(line.substr(at, end - at));
    at = end;
  }
  return out;
}

// A whole field as a finite number.
bool number(const std::string& text, double& value) {
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0 && std::isfinite(value);
}

bool integer(const std::string& text, int& value) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || v < 0 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

// Why key cannot stand in an archive or a table, in words for the line, or
// "": Kaldi's readers split on any white space and cannot hold a NUL.
std::string keyProblem(const std::string& key, const char* what) {
  if (feature_files::kaldiKeyProblem(key).empty()) return "";
  return std::string("an ") + what + " with a control byte, which Kaldi cannot read: '" + kit::printable(key) + "'";
}

// Marks every line whose id an earlier line has (the first one stands).
template <class Line>
void markRepeatedIds(std::vector<Line>& lines, std::string Line::*id, const char* what) {
  std::unordered_map<std::string, int> firstLine;
  for (Line& l : lines) {
    if ((l.*id).empty() || !l.problem.empty()) continue;
    const auto seen = firstLine.emplace(l.*id, l.line);
    if (!seen.second) {
      l.problem = std::string("the ") + what + " " + l.*id + ", already on line " + std::to_string(seen.first->second);
    }
  }
}

}  // namespace

std::vector<Recording> readWavScp(std::istream& in) {
  std::vector<Recording> out;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    Recording r;
    r.line = lineNumber;
    const std::string text = trimmed(line);
    std::size_t space = 0;
    while (space < text.size() && !isBlank(text[space])) ++space;
    r.id = text.substr(0, space);
    std::string rest = trimmed(text.substr(space));
    if (!rest.empty() && rest.back() == '|') {
      r.command = true;
      rest = trimmed(rest.substr(0, rest.size() - 1));
    }
    r.source = rest;
    if (r.id.empty()) {
      r.problem = "an empty line";
    } else if (rest.empty()) {
      r.problem = r.command ? "a command that is empty" : "no file after the recording id";
    } else if (!r.command && rest.find_first_of(" \t") != std::string::npos) {
      r.problem = "a file name with white space (a command must end in '|')";
    } else {
      r.problem = keyProblem(r.id, "id");
    }
    out.push_back(r);
  }
  markRepeatedIds(out, &Recording::id, "recording id");
  return out;
}

std::vector<Segment> readSegments(std::istream& in) {
  std::vector<Segment> out;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    const std::vector<std::string> f = fields(line);
    Segment s;
    s.line = lineNumber;
    if (!f.empty()) s.utterance = f[0];
    if (f.size() >= 2) s.recording = f[1];
    if (f.size() != 4 && f.size() != 5) {
      s.problem = "a line of " + std::to_string(f.size()) +
                  " fields (<utt-id> <recording-id> <start> <end> [channel] are 4 or 5)";
    } else if (!number(f[2], s.start)) {
      s.problem = "a start that is no number: '" + f[2] + "'";
    } else if (!number(f[3], s.end)) {
      s.problem = "an end that is no number: '" + f[3] + "'";
    } else if (s.start < 0 || (s.end != -1.0 && s.end <= 0) || (s.start >= s.end && s.end > 0)) {
      s.problem = "an empty or invalid segment (start " + f[2] + ", end " + f[3] + ")";
    } else if (f.size() == 5 && !integer(f[4], s.channel)) {
      s.problem = "a channel that is no count from 0: '" + f[4] + "'";
    } else {
      s.problem = keyProblem(s.utterance, "utterance id");
    }
    out.push_back(s);
  }
  markRepeatedIds(out, &Segment::utterance, "utterance id");
  return out;
}

Cut cutSegment(const Segment& segment, std::int64_t samples, int channels, float rate, const CutLimits& limits) {
  Cut cut;
  // The length as extract-segments takes it: a single-precision quotient,
  // compared with the double-precision times.
  const float length = static_cast<float>(samples) / rate;
  double end = segment.end;
  if (segment.start > length) {
    cut.problem = "its start " + std::to_string(segment.start) + " s is past the recording's " +
                  std::to_string(length) + " s";
    return cut;
  }
  if (end > length + limits.maxOvershoot) {
    cut.problem = "its end " + std::to_string(end) + " s is past the recording's " + std::to_string(length) +
                  " s by more than " + std::to_string(limits.maxOvershoot) + " s";
    return cut;
  }
  if (end < 0 || end > length) end = length;
  if (end - segment.start < limits.minSegmentLength) {
    cut.problem = "it is shorter than " + std::to_string(limits.minSegmentLength) + " s";
    return cut;
  }
  if (segment.channel < 0 && channels > 1) {
    cut.problem = "the recording has " + std::to_string(channels) + " channels and the segment names none";
    return cut;
  }
  if (segment.channel >= channels) {
    cut.problem = "channel " + std::to_string(segment.channel) + " of a recording of " + std::to_string(channels) +
                  " channel" + (channels == 1 ? "" : "s") + " (counted from 0)";
    return cut;
  }
  cut.channel = segment.channel < 0 ? 0 : segment.channel;
  // Rounded half up: the double product plus a half, truncated. The start
  // was compared with the single-precision length, so for a long recording
  // its index may lie past the last sample: the cut is then empty, never
  // outside the recording. (Past 2^31 samples, where Kaldi's int32 index
  // would overflow, the same truncation in 64 bits.)
  const auto index = [samples](double product) {
    return product >= static_cast<double>(samples) ? samples : static_cast<std::int64_t>(product);
  };
  cut.end = index(end * rate + 0.5f);
  cut.first = std::min(index(segment.start * rate + 0.5f), cut.end);
  return cut;
}

}  // namespace kaldi_data
