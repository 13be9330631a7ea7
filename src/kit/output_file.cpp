#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kit {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows them
constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

// Distinguishes the temporary files of the threads of one process.
std::atomic<unsigned> temporaryCounter{0};

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A temporary name in the directory of path.
std::string temporaryPathFor(const std::string& path) {
  return directoryOf(path) + ".feature-" + std::to_string(getpid()) + "-" +
         std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
}

// The temporary files being written at this moment, for removeTemporaries
// in a signal handler: fixed slots that need no allocation and no lock. A
// slot is filled before its file is created and emptied after the file was
// renamed or removed, so a signal at any point finds every temporary that
// may exist.
class TemporaryRegistry {
 public:
  static constexpr int kSlots = 2048;  // more than the workers that may write at once
  static constexpr std::size_t kPathBytes = PATH_MAX + 64;

  // The slot now naming path, or -1 when none is free (the file is then
  // written unregistered).
  int add(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
      int expected = kFree;
      if (!states_[i].compare_exchange_strong(expected, kFilling)) continue;
      std::memcpy(paths_[i], path.c_str(), path.size() + 1);
      states_[i].store(kNamed);
      return i;
    }
    return -1;
  }

  void remove(int slot) {
    if (slot >= 0) states_[slot].store(kFree);
  }

  // Around the creation of a temporary: once the process is ending, no new
  // one is begun (the writer waits for the end), and the end waits for the
  // creations under way, so that each file created is found by unlinkAll.
  void beginCreation() {
    creating_.fetch_add(1);
    while (ending_.load()) {
      creating_.fetch_sub(1);
      pause();  // the signal that set ending_ ends the process
      creating_.fetch_add(1);
    }
  }
  void endCreation() { creating_.fetch_sub(1); }

  // Async-signal-safe: atomics, nanosleep and unlink only. Waits at most
  // 0.1 s for creations under way (one may be on the very thread that runs
  // this, interrupted, and will never finish).
  void unlinkAll() {
    ending_.store(true);
    for (int waited = 0; creating_.load() > 0 && waited < 100; ++waited) {
      const timespec millisecond{0, 1000000};
      nanosleep(&millisecond, nullptr);
    }
    for (int i = 0; i < kSlots; ++i) {
      if (states_[i].load() == kNamed) unlink(paths_[i]);
    }
  }

 private:
  enum { kFree, kFilling, kNamed };
  // Zero (kFree) from the start without a constructor, so that the paths'
  // pages stay untouched until a slot is used.
  std::atomic<int> states_[kSlots];
  char paths_[kSlots][kPathBytes];
  std::atomic<int> creating_{0};
  std::atomic<bool> ending_{false};
};

static_assert(std::atomic<int>::is_always_lock_free, "the registry is read in signal handlers");
TemporaryRegistry temporaries;

bool writeAllBytes(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Creates a temporary file beside path: a name another process took (the
// same process number on another machine sharing the tree) is no failure,
// the next name is tried. Returns the descriptor, or -1 with errno set.
int createTemporary(const std::string& path, std::string& temporary, int& slot) {
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporaryPathFor(path);
    temporaries.beginCreation();
    slot = temporaries.add(temporary);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const int error = errno;
    if (fd < 0) temporaries.remove(slot);
    temporaries.endCreation();
    errno = error;
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) slot = -1;
  return fd;
}

void endOnSignal(int signalNumber) {
  removeTemporaries();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

std::string OutputError::describe() const {
  return std::string(creating ? "cannot create " : "cannot write ") + path + ": " +
         (reason.empty() ? std::strerror(error) : reason);
}

OutputTarget resolveOutput(const std::string& name) {
  OutputTarget t;
  t.name = name;
  t.path = name;
  if (name == "-") {
    t.kind = OutputTarget::Kind::kStandardOutput;
    return t;
  }
  const auto refuse = [&](int error, const std::string& reason) {
    t.problem = {t.path, error, reason, true};
    return t;
  };
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat info;
    if (lstat(t.path.c_str(), &info) != 0) return t;  // nothing there (or the writer will say why)
    if (S_ISLNK(info.st_mode)) {
      std::vector<char> link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
      const ssize_t length = readlink(t.path.c_str(), link.data(), link.size());
      if (length < 0) return refuse(errno, "");
      const std::string destination(link.data(), static_cast<std::size_t>(length));
      t.path = destination[0] == '/' ? destination : directoryOf(t.path) + destination;
      continue;
    }
    if (S_ISREG(info.st_mode)) {
      t.exists = true;
      t.mode = info.st_mode & 07777;
    } else if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
      t.kind = OutputTarget::Kind::kDirect;
      t.characterDevice = S_ISCHR(info.st_mode);
    } else if (S_ISDIR(info.st_mode)) {
      return refuse(EISDIR, "");
    } else {
      return refuse(EINVAL, std::string(S_ISBLK(info.st_mode) ? "a block device" : "a socket") +
                                ", which is not written to (only files, character devices and FIFOs are)");
    }
    return t;
  }
  t.path = name;
  return refuse(ELOOP, "");
}

OutputFile::~OutputFile() { abandon(); }

bool OutputFile::fail(int error, bool creating) {
  if (error_.error == 0) {
    error_ = {target_.path == "-" ? "standard output" : target_.path, error != 0 ? error : EIO, "", creating};
  }
  return false;
}

bool OutputFile::open(const std::string& name) { return open(resolveOutput(name)); }

bool OutputFile::open(const OutputTarget& target) {
  abandon();
  target_ = target;
  error_ = {};
  offset_ = 0;
  buffer_.clear();
  if (target.refused()) {
    error_ = target.problem;
    return false;
  }
  switch (target.kind) {
    case OutputTarget::Kind::kStandardOutput:
      fd_ = STDOUT_FILENO;
      break;
    case OutputTarget::Kind::kDirect:
      // A FIFO with no reader blocks here until one comes.
      do {
        fd_ = ::open(target.path.c_str(), O_WRONLY | O_CLOEXEC);
      } while (fd_ < 0 && errno == EINTR);
      if (fd_ < 0) return fail(errno, true);
      break;
    case OutputTarget::Kind::kFile:
      fd_ = createTemporary(target.path, temporary_, slot_);
      if (fd_ < 0) return fail(errno, true);
      // The permissions fopen(path, "wb") would give: those of the file it
      // replaces, or 0666 less the umask (which open applied).
      if (target.exists && fchmod(fd_, target.mode) != 0) {
        const int error = errno;
        abandon();
        return fail(error, true);
      }
      break;
  }
  buffer_.reserve(kBufferBytes);
  return true;
}

bool OutputFile::flush() {
  if (buffer_.empty()) return error_.error == 0;
  const bool written = error_.error == 0 && writeAllBytes(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return written || fail(errno);
}

bool OutputFile::write(const void* data, std::size_t size) {
  if (fd_ < 0 || error_.error != 0) return false;
  offset_ += size;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (buffer_.size() + size > kBufferBytes && !flush()) return false;
  if (size >= kBufferBytes) return writeAllBytes(fd_, bytes, size) || fail(errno);
  buffer_.insert(buffer_.end(), bytes, bytes + size);
  return true;
}

bool OutputFile::close() {
  if (fd_ < 0) return error_.error == 0;
  flush();
  if (target_.kind != OutputTarget::Kind::kStandardOutput && ::close(fd_) != 0) fail(errno);
  fd_ = -1;
  return error_.error == 0;
}

bool OutputFile::commit() {
  if (fd_ >= 0 && !close()) return false;
  if (temporary_.empty()) return error_.error == 0;
  if (error_.error != 0) return false;
  if (std::rename(temporary_.c_str(), target_.path.c_str()) != 0) return fail(errno);
  temporary_.clear();
  temporaries.remove(slot_);
  slot_ = -1;
  return true;
}

void OutputFile::abandon() {
  if (fd_ >= 0 && target_.kind != OutputTarget::Kind::kStandardOutput) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
  temporaries.remove(slot_);
  slot_ = -1;
}

bool writeWholeFile(const std::string& name, const void* data, std::size_t size, OutputError& error) {
  OutputFile file;
  const bool written = file.open(name) && file.write(data, size) && file.commit();
  if (!written) error = file.error();
  return written;
}

std::string commitTogether(const std::vector<OutputFile*>& files) {
  bool closed = true;
  for (OutputFile* f : files) closed = f->close() && closed;
  std::string why;
  if (!closed) {
    for (OutputFile* f : files) {
      if (why.empty() && f->error().error != 0) why = f->error().describe();
      f->abandon();
    }
    return why + "; nothing was left under the output names";
  }
  std::vector<const OutputFile*> standing;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i]->commit()) {
      if (!files[i]->direct()) standing.push_back(files[i]);
      continue;
    }
    why = files[i]->error().describe();
    if (standing.empty()) {
      std::string streamed;
      for (OutputFile* f : files) {
        f->abandon();
        if (f->direct()) streamed += (streamed.empty() ? "" : ", ") + f->target().path;
      }
      return why + "; nothing was left under the output names" +
             (streamed.empty() ? "" : " (what went into " + streamed + " was written as it came)");
    }
    // Some stand new: the older files under the other names no longer match
    // them, so they go too.
    std::string removed, kept;
    for (std::size_t j = i; j < files.size(); ++j) {
      files[j]->abandon();
      const OutputTarget& t = files[j]->target();
      if (files[j]->direct() || !t.exists) continue;
      if (unlink(t.path.c_str()) == 0) {
        removed += (removed.empty() ? "" : ", ") + t.path;
      } else {
        kept += (kept.empty() ? "" : ", ") + t.path + " (" + std::strerror(errno) + ")";
      }
    }
    std::string written;
    for (const OutputFile* f : standing) written += (written.empty() ? "" : ", ") + f->target().path;
    return why + "; written: " + written + (removed.empty() ? "" : "; removed the older " + removed +
                                                                      ", which no longer matched them") +
           (kept.empty() ? "" : "; could not remove the older " + kept + ", which no longer matches them");
  }
  return "";
}

void removeTemporaries() { temporaries.unlinkAll(); }

void removeTemporariesOnSignals() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction current;
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = endOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace kit
