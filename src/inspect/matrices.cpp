#include "matrices.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "feature_files.h"
#ifdef FEATURE_SHARDS
#include "shard_writer.h"
#endif

namespace {

constexpr std::size_t kMostKeyBytes = 1 << 16;

long long fileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<long long>(info.st_size) : -1;
}

// The float matrix header at offset of an open archive: "" or why not.
std::string matrixAt(std::ifstream& in, long long offset, long long size, MatrixEntry& e) {
  unsigned char head[feature_files::kKaldiMatrixHeaderBytes] = {};
  in.clear();
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(head), sizeof head);
  std::string problem;
  const feature_files::KaldiMatrixHeader h =
      feature_files::decodeKaldiMatrixHeader(head, static_cast<std::size_t>(in.gcount()), problem);
  if (!problem.empty()) return "entry " + e.key + " at byte " + std::to_string(offset) + ": " + problem;
  e.offset = offset + static_cast<long long>(sizeof head);
  e.rows = h.rows;
  e.columns = h.columns;
  if (e.offset + 4LL * h.rows * h.columns > size) {
    return "entry " + e.key + ": its " + std::to_string(h.rows) + " x " + std::to_string(h.columns) +
           " values run past the end of the archive";
  }
  e.format = "Kaldi archive entry " + e.key + " (binary float matrix)";
  e.header = {"rows (frames): " + std::to_string(h.rows), "columns: " + std::to_string(h.columns),
              "values at byte: " + std::to_string(e.offset)};
  return "";
}

std::string archiveEntries(const std::string& path, long long size, std::vector<MatrixEntry>& entries) {
  std::ifstream in(path, std::ios::binary);
  for (long long at = 0; at < size;) {
    MatrixEntry e;
    e.path = path;
    in.clear();
    in.seekg(at);
    char c;
    while (in.get(c) && c != ' ' && e.key.size() < kMostKeyBytes) e.key += c;
    if (c != ' ' || e.key.empty()) return "no entry at byte " + std::to_string(at) + " (a key and a space)";
    const std::string problem = matrixAt(in, at + static_cast<long long>(e.key.size()) + 1, size, e);
    if (!problem.empty()) return problem;
    at = e.offset + 4LL * e.rows * e.columns;
    entries.push_back(e);
  }
  return "";
}

std::string indexEntries(const std::string& path, std::vector<MatrixEntry>& entries) {
  std::ifstream index(path);
  std::string line;
  for (long number = 1; std::getline(index, line); ++number) {
    std::istringstream words(line);
    std::string key, rest;
    if (!(words >> key)) continue;
    std::getline(words >> std::ws, rest);
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size() ||
        rest.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
      return "line " + std::to_string(number) + " is not '<key> <archive>:<offset>'";
    }
    MatrixEntry e;
    const std::string problem = kaldiEntryAt(rest.substr(0, colon), std::stoll(rest.substr(colon + 1)), key, e);
    if (!problem.empty()) return "line " + std::to_string(number) + ": " + problem;
    entries.push_back(e);
  }
  return "";
}

}  // namespace

std::string kaldiEntryAt(const std::string& archive, long long offset, const std::string& key, MatrixEntry& entry) {
  const long long size = fileSize(archive);
  if (size < 0) return archive + " cannot be read: " + std::strerror(errno);
  std::ifstream in(archive, std::ios::binary);
  entry.key = key;
  entry.path = archive;
  return matrixAt(in, offset, size, entry);
}

std::string matrixEntries(const std::string& path, std::vector<MatrixEntry>& entries, bool& found) {
  found = false;
  const long long size = fileSize(path);
  if (size <= 0) return "";
  std::ifstream in(path, std::ios::binary);
  std::string head(static_cast<std::size_t>(std::min<long long>(size, 512)), '\0');
  in.read(&head[0], static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (head.size() >= 262 && head.compare(257, 5, "ustar") == 0) {
    found = true;
#ifdef FEATURE_SHARDS
    std::vector<training::ShardEntry> members;
    const std::string damage = training::readShard(path, members);
    if (!damage.empty()) return damage;
    for (const training::ShardEntry& m : members) {
      MatrixEntry e;
      e.key = m.key;
      e.path = path;
      e.offset = static_cast<long long>(m.offset);
      e.rows = static_cast<long long>(m.rows);
      e.columns = static_cast<int>(m.columns);
      e.format = "shard entry " + m.key + " (" + m.stem + ".npy: " + m.output + ", mode " + m.mode + ")";
      e.header = {"rows (frames): " + std::to_string(m.rows), "columns: " + std::to_string(m.columns),
                  "values at byte: " + std::to_string(m.offset), "SHA-256 of the values: " + m.sha256};
      entries.push_back(e);
    }
    return "";
#else
    return "a tar file: this build reads no training shards";
#endif
  }
  const std::size_t space = head.find(' ');
  const bool key = space != std::string::npos && space > 0 &&
                   std::none_of(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(space),
                                [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
  if (key && head.size() >= space + 3 && head[space + 1] == '\0' && head[space + 2] == 'B') {
    found = true;
    return archiveEntries(path, size, entries);
  }
  if (key && head.compare(space, 3, "  [") == 0) {
    found = true;
    return "a Kaldi text archive: its values are there to read as they stand";
  }
  // An index: text whose first line is "<key> <path>:<offset>".
  const std::string first = head.substr(0, head.find('\n'));
  const std::size_t colon = first.rfind(':');
  if (key && colon != std::string::npos && colon > space && colon + 1 < first.size() &&
      first.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
      std::all_of(first.begin(), first.end(), [](char c) { return c == '\t' || static_cast<unsigned char>(c) >= ' '; })) {
    found = true;
    return indexEntries(path, entries);
  }
  return "";
}
