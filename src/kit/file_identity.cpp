#include "file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "output_file.h"

namespace kit {

namespace {

// path made absolute, with "//" and "/./" collapsed ("..": left as it is).
std::string lexicallyAbsolute(const std::string& path) {
  std::string whole = path;
  if (path.empty() || path[0] != '/') {
    std::vector<char> cwd(PATH_MAX);
    whole = (getcwd(cwd.data(), cwd.size()) != nullptr ? std::string(cwd.data()) : std::string(".")) + "/" + path;
  }
  std::string out;
  std::size_t at = 0;
  while (at < whole.size()) {
    std::size_t end = whole.find('/', at);
    if (end == std::string::npos) end = whole.size();
    const std::string part = whole.substr(at, end - at);
    if (!part.empty() && part != ".") out += "/" + part;
    at = end + 1;
  }
  return out.empty() ? "/" : out;
}

// The absolute path of a file that may not exist: its directory resolved
// when that exists.
std::string canonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (realpath(directory.c_str(), resolved) != nullptr) {
    const std::string dir = resolved;
    return (dir == "/" ? "" : dir) + "/" + base;
  }
  return lexicallyAbsolute(path);
}

}  // namespace

FileIdentity identify(const std::string& path) {
  FileIdentity id;
  if (path == "-") {
    id.standardOutput = true;
    id.path = "-";
    return id;
  }
  const OutputTarget target = resolveOutput(path);
  struct stat info;
  if (stat(target.path.c_str(), &info) == 0) {
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.characterDevice = S_ISCHR(info.st_mode);
  }
  id.path = canonicalPath(target.path);
  return id;
}

FileIdentity identifyDescriptor(int fd) {
  FileIdentity id;
  struct stat info;
  if (fstat(fd, &info) == 0) {
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.characterDevice = S_ISCHR(info.st_mode);
  }
  return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.standardOutput || b.standardOutput) return a.standardOutput && b.standardOutput;
  if (a.characterDevice && b.characterDevice) return false;
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  return a.path == b.path;
}

void InputFiles::add(const std::string& path, long which) { add(identify(path), which); }

void InputFiles::add(const FileIdentity& input, long which) {
  if (input.standardOutput || input.characterDevice) return;
  if (input.exists) {
    byInode_.emplace(std::make_pair(input.device, input.inode), which);
  } else {
    byPath_.emplace(input.path, which);
  }
}

long InputFiles::find(const FileIdentity& output) const {
  if (output.standardOutput || output.characterDevice) return kNone;
  if (output.exists) {
    const auto found = byInode_.find({output.device, output.inode});
    if (found != byInode_.end()) return found->second;
  }
  const auto found = byPath_.find(output.path);
  return found == byPath_.end() ? kNone : found->second;
}

}  // namespace kit
