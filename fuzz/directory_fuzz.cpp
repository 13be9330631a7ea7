// Directory creation on arbitrary names inside a scratch output directory:
// every directory that appears is one the name spells (a prefix ending
// before a separator), nothing but directories appears, no shell runs (it
// would leave files), and the working directory never changes.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "feature.h"

namespace {

constexpr int kDepth = 8;  // ".." may climb this far without leaving the sandbox
std::string root;          // the sandbox
std::string scratch;       // root/d/d/.../d, where names start
std::set<std::string> chain;  // root's directories down to scratch
std::unique_ptr<FEATURE> extractor;

// The directory a path names, with "." and ".." resolved by their spelling
// (the sandbox has no symbolic links); empty when it climbs out of root.
std::string normalise(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return "";
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.compare(0, root.size(), root) == 0 ? out : "";
}

void collect(const std::string& dir, std::vector<std::string>& dirs, bool& otherFiles) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      dirs.push_back(path);
      collect(path, dirs, otherFiles);
    } else {
      otherFiles = true;
    }
  }
  closedir(d);
}

void removeTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") removeTree(path + "/" + name);
      }
      closedir(d);
    }
    if (chain.count(path) == 0) rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::string workingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/directory-fuzz-XXXXXX";
  root = mkdtemp(pattern);
  scratch = root;
  chain.insert(root);
  for (int i = 0; i < kDepth; ++i) {
    scratch += "/d";
    mkdir(scratch.c_str(), 0777);
    chain.insert(scratch);
  }
  extractor = std::make_unique<FEATURE>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string name(reinterpret_cast<const char*>(data), size);
  name = name.c_str();  // the name as a C string sees it
  if (name.size() > 600) return 0;
  const std::string path = scratch + "/" + name;

  // The directories the name spells, and none outside the sandbox.
  std::set<std::string> spelled = chain;
  for (std::size_t i = scratch.size() + 1; i < path.size(); ++i) {
    if (path[i] != '/' && path[i] != '\\') continue;
    const std::string directory = normalise(path.substr(0, i));
    if (directory.empty()) return 0;  // would climb out of the sandbox
    spelled.insert(directory);
  }

  const std::string before = workingDirectory();
  extractor->knownDirectory.clear();
  if (extractor->MakeDirectory(path.c_str()) != 1) std::abort();
  if (workingDirectory() != before) std::abort();

  std::vector<std::string> found;
  bool otherFiles = false;
  collect(root, found, otherFiles);
  if (otherFiles) std::abort();
  for (const auto& dir : found) {
    if (spelled.count(dir) == 0) std::abort();
  }
  removeTree(root);
  return 0;
}
