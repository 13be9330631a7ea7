// The bytes of a recording: a regular file read where it lies, anything
// else taken whole once.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audio_container.h"
#include "text_and_streams.h"

namespace audio {

ByteSource::ByteSource(int fd, std::string& problem) {
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(info.st_size);
    return;
  }
  // A pipe or a device cannot be read at an offset: its bytes are taken
  // whole, once.
  problem = kit::readStream(fd, bytes_, kMaxStreamBytes);
  if (!problem.empty()) return;
  size_ = bytes_.size();
  data_ = bytes_.data();
}

ByteSource::ByteSource(std::vector<unsigned char> bytes)
    : bytes_(std::move(bytes)), data_(bytes_.data()), size_(bytes_.size()) {}

ByteSource::ByteSource(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

std::size_t ByteSource::read(std::uint64_t offset, void* out, std::size_t count) const {
  if (offset >= size_) return 0;
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
  if (fd_ < 0) {
    std::memcpy(out, data_ + offset, count);
    return count;
  }
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(fd_, static_cast<unsigned char*>(out) + done, count - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) failed_ = true;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace audio
