#include "text_and_streams.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kit {

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string recordLine(const std::string& name, const char* status, long frames, bool cut,
                       const std::string& converted, const std::string& reason) {
  return "{\"name\": " + jsonString(name) + ", \"status\": " + jsonString(status) +
         ", \"frames\": " + std::to_string(frames) + ", \"cut\": " + (cut ? "true" : "false") +
         ", \"converted\": " + jsonString(converted) + ", \"reason\": " + jsonString(reason) + "}\n";
}

std::string recordNameOfPart(const std::string& name, long part, long parts) {
  if (parts <= 1) return name;
  const std::string tag = "-" + std::to_string(part) + "-of-" + std::to_string(parts);
  const std::string suffix = ".jsonl";
  if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return name.substr(0, name.size() - suffix.size()) + tag + suffix;
  }
  return name + tag;
}

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
