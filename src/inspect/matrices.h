// Files that hold several feature matrices: a Kaldi binary archive, an
// index (scp) of one, a training shard; each matrix little-endian float32
// rows at an offset, to be inspected like a feature file.
#ifndef INSPECT_MATRICES_H
#define INSPECT_MATRICES_H

#include <string>
#include <vector>

struct MatrixEntry {
  std::string key;
  std::string path;     // the file that holds the values
  long long offset = 0;  // of the first value
  long long rows = 0;
  int columns = 0;
  std::string format;
  std::vector<std::string> header;
};

// The matrices of path when it is an archive, an index or a shard (found
// true), or found false when it is none of these; "" or why it cannot be
// read whole (found true).
std::string matrixEntries(const std::string& path, std::vector<MatrixEntry>& entries, bool& found);

// The entry of a Kaldi archive at offset (the offset of an index line,
// "ARCHIVE:OFFSET"); "" or why not.
std::string kaldiEntryAt(const std::string& archive, long long offset, const std::string& key, MatrixEntry& entry);

#endif  // INSPECT_MATRICES_H
