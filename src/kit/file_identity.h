// Which file a path names, for the checks that keep a run from writing over
// its own inputs or writing two outputs into one file: the same device and
// inode, or (for a file that does not exist yet) the same path once links
// and the directories on the way are resolved.
#ifndef KIT_FILE_IDENTITY_H
#define KIT_FILE_IDENTITY_H

#include <sys/types.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace kit {

struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool characterDevice = false;  // written into, never replaced: harmless twice
  bool standardOutput = false;   // "-"
  std::string path;              // absolute, links resolved
};

// The file path names (links followed, even dangling ones).
FileIdentity identify(const std::string& path);

// The file an open descriptor reads (standard input given as "-").
FileIdentity identifyDescriptor(int fd);

// Whether a and b are one file (two character devices never count: writing
// twice into /dev/null harms nothing).
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// The inputs of a run, each with a number that says which it is to the
// caller (a line of a list, or a code of its own).
class InputFiles {
 public:
  static constexpr long kNone = -1000000000L;

  void add(const std::string& path, long which);
  void add(const FileIdentity& input, long which);
  // The number of the input that output is, or kNone.
  long find(const FileIdentity& output) const;
  bool empty() const { return byInode_.empty() && byPath_.empty(); }

 private:
  // Existing inputs by device and inode; the others by path (an output
  // that exists later can only be such an input under the same path).
  std::map<std::pair<dev_t, ino_t>, long> byInode_;
  std::unordered_map<std::string, long> byPath_;
};

}  // namespace kit

#endif  // KIT_FILE_IDENTITY_H
