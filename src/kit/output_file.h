// Output files that stand under their names complete or not at all, for
// every writer of the project (the HTK and .C12/.ENG files, Kaldi archives,
// indices and tables, pictures, the Python writers).
//
// What stands at an output name decides how it is written:
// - nothing, or a regular file: the bytes go to a temporary file in the same
//   directory, which is renamed over the name once complete; the new file
//   keeps the permissions of the file it replaces, else 0666 less the umask;
// - a symbolic link (even one whose target does not exist yet): it is
//   followed to its final target, which is written as above; the link stays;
// - a character device or a FIFO (/dev/null, a named pipe with a reader):
//   the bytes are written into it as they come, with no temporary and no
//   rename, so the rule "complete or absent" cannot apply there; a FIFO
//   without a reader blocks until one comes;
// - a directory, a loop of links, a block device or a socket: refused with
//   the reason, nothing is written.
// "-" names standard output, written into as it comes.
#ifndef KIT_OUTPUT_FILE_H
#define KIT_OUTPUT_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// Why an output could not be opened, written or put under its name: the
// path concerned, the system's errno and the reason in words.
struct OutputError {
  std::string path;
  int error = 0;
  std::string reason;  // what the system has no errno for; "": strerror(error)
  bool creating = false;  // the file could not be made at all (nothing written)
  std::string describe() const;  // "cannot write PATH: reason" / "cannot create PATH: reason"
};

// What stands at an output name.
struct OutputTarget {
  enum class Kind { kFile, kDirect, kStandardOutput };
  Kind kind = Kind::kFile;
  std::string name;     // as given
  std::string path;     // the file written: links followed ("-": standard output)
  bool exists = false;  // a regular file stands at path
  mode_t mode = 0;      // its permission bits
  bool characterDevice = false;
  OutputError problem;  // problem.error != 0: nothing may be written there
  bool refused() const { return problem.error != 0; }
};
OutputTarget resolveOutput(const std::string& name);

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // an output not committed is abandoned
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the output name (see above). False, with error() saying why, when
  // nothing can be written there.
  bool open(const std::string& name);
  bool open(const OutputTarget& target);
  // Appends bytes (buffered); false once any write failed.
  bool write(const void* data, std::size_t size);
  bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }
  // Bytes written so far.
  std::uint64_t offset() const { return offset_; }
  // Writes what is buffered and closes the file; false when any byte could
  // not be written.
  bool close();
  // Puts the closed file under its name (nothing to do for a direct one).
  bool commit();
  // Removes the temporary file, if one is left.
  void abandon();

  bool isOpen() const { return fd_ >= 0; }
  bool direct() const { return target_.kind != OutputTarget::Kind::kFile; }
  const OutputTarget& target() const { return target_; }
  const OutputError& error() const { return error_; }

 private:
  bool fail(int error, bool creating = false);
  bool flush();

  OutputTarget target_;
  std::string temporary_;
  int slot_ = -1;
  int fd_ = -1;
  std::vector<unsigned char> buffer_;
  std::uint64_t offset_ = 0;
  OutputError error_;
};

// Writes bytes as the file name, complete or not at all (see above).
// False, with error saying why, when it could not.
bool writeWholeFile(const std::string& name, const void* data, std::size_t size, OutputError& error);

// Closes every file, then puts them under their names in the order given.
// When a rename fails after another succeeded, the older file under each
// name that was not replaced is removed (it would no longer match the new
// ones, as an old index the entries of a new archive). Returns "" when all
// stand, else what happened, naming exactly the files that stand.
std::string commitTogether(const std::vector<OutputFile*>& files);

// Removes the temporary files this process is writing at the moment, for a
// signal handler that then ends the process. Async-signal-safe. Afterwards
// no new temporary is created: a thread about to make one waits for the end
// of the process.
void removeTemporaries();

// The clean-up of a program: on SIGINT, SIGTERM, SIGHUP and SIGPIPE the
// temporaries are removed and the process ends as the signal would have
// ended it (a shell shows 128 + signal). A signal the caller ignored
// (nohup, a background job) stays ignored. SIGXFSZ is ignored, so that a
// write past a file-size limit fails with EFBIG like a full disk instead of
// ending the process. Call it before the first temporary is made; never in
// a library loaded by another program (Python keeps its own handlers).
void removeTemporariesOnSignals();

}  // namespace kit

#endif  // KIT_OUTPUT_FILE_H
