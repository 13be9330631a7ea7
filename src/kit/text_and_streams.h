// Small things every program needs alike: a name shown with its control
// bytes escaped, and a stream read whole into memory up to a limit.
#ifndef KIT_TEXT_AND_STREAMS_H
#define KIT_TEXT_AND_STREAMS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// The most bytes of a stream (a pipe, a command's output) held in memory.
constexpr std::uint64_t kMostStreamBytes = std::uint64_t{1} << 30;

// text with NUL shown as \0 and other control bytes as \xHH.
std::string printable(const std::string& text);

// text as a JSON string, quotes included: '"' and '\\' escaped, control
// bytes as \u00XX, other bytes as they are (UTF-8 text stays itself).
std::string jsonString(const std::string& text);

// A record of a run on request (--record=FILE): a JSON line per name in
// list order, {"name", "status", "frames", "cut", "converted", "reason"},
// status one of done, skipped, failed, too short, not tried. Written
// through an OutputFile: it appears complete at the end of the run.
std::string recordLine(const std::string& name, const char* status, long frames, bool cut,
                       const std::string& converted, const std::string& reason);
// The record's name for part K of N: "-K-of-N" before a last ".jsonl" (or
// at the end), so that the parts of a job array keep one record each.
std::string recordNameOfPart(const std::string& name, long part, long parts);

// Appends what fd gives, to its end, to bytes; "" or why it stopped: "cannot
// read it: reason", or "a stream of more than 1 GiB" (what it gave up to
// then is kept).
std::string readStream(int fd, std::vector<unsigned char>& bytes, std::uint64_t limit = kMostStreamBytes);

}  // namespace kit

#endif  // KIT_TEXT_AND_STREAMS_H
