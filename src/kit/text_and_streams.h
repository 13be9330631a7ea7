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

// Appends what fd gives, to its end, to bytes; "" or why it stopped: "cannot
// read it: reason", or "a stream of more than 1 GiB" (what it gave up to
// then is kept).
std::string readStream(int fd, std::vector<unsigned char>& bytes, std::uint64_t limit = kMostStreamBytes);

}  // namespace kit

#endif  // KIT_TEXT_AND_STREAMS_H
