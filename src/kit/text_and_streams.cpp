#include "text_and_streams.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kit {

std::string printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) {
      shown += "\\0";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string readStream(int fd, std::vector<unsigned char>& bytes, std::uint64_t limit) {
  unsigned char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::string("cannot read it: ") + std::strerror(errno);
    if (got == 0) return "";
    if (bytes.size() + static_cast<std::uint64_t>(got) > limit) {
      return limit == kMostStreamBytes ? "a stream of more than 1 GiB"
                                       : "a stream of more than " + std::to_string(limit) + " bytes";
    }
    bytes.insert(bytes.end(), block, block + got);
  }
}

}  // namespace kit
