// Features as training reads them: uncompressed POSIX tar shards of numpy
// arrays with an index, written by feature-kaldi (shards:DIR) and by the
// Python package through the same code.
//
// Shard k, NAME-00000k.tar, holds the entries at positions [kS, (k+1)S) of
// the run that succeeded (S: utterances per shard), in order, so that its
// bytes depend neither on the workers nor on the machine. Each entry is two
// adjacent members: STEM.npy (numpy format 1.0, little-endian float32,
// frames x dimension, C order) and STEM.json (the original key, frames,
// dimension, what the values are, the mode, the source's sample rate, the
// seconds analysed, the source). STEM is the key with '%', '.', '/' and
// every byte outside printable ASCII written as %XX (hexadecimal, upper
// case), so that readers that group members by the name before its first
// dot keep an entry's two members together. Member headers are ustar with
// mode 0644, owner 0, time 0; a name longer than 100 bytes gets a pax
// extended header. A shard ends with two zero blocks and is padded to a
// multiple of 10240 bytes.
//
// The index NAME.jsonl has a line per entry, in order: the key, the shard
// file's name, the byte offset of the array's first value in the shard, the
// frames, the dimension and the SHA-256 of the array's bytes.
//
// Every shard and the index are kit::OutputFiles: a shard appears under its
// name only when complete, and the index only at the end of the run.
#ifndef TRAINING_SHARD_WRITER_H
#define TRAINING_SHARD_WRITER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "output_file.h"

namespace training {

struct ShardSettings {
  std::string directory;       // made when missing
  std::string name = "shard";  // NAME: the shards' and the index's names begin so
  std::uint64_t perShard = 1000;
};

// What one entry's JSON member says besides its key and shape.
struct EntryFacts {
  std::string output = "mfcc";  // what the values are
  std::string mode;             // CMN, MVNMA, NONE
  int sampleRate = 16000;       // of the source
  double seconds = 0.0;         // of audio analysed
  std::string source;           // the file or the wav.scp entry
};

// Why a key cannot name an entry of a shard ("" when it can): it must be
// non-empty UTF-8 text.
std::string keyProblem(const std::string& key);
// The member name's stem for a key (see above).
std::string stemOf(const std::string& key);
// The numpy 1.0 header of a float32 array of rows x columns.
std::string npyHeader(std::uint64_t rows, std::uint64_t columns);
// Hexadecimal SHA-256 of bytes.
std::string sha256Hex(const void* bytes, std::size_t size);

// An entry of a shard as read back.
struct ShardEntry {
  std::string key, stem, mode, output, sha256;
  std::uint64_t offset = 0, rows = 0, columns = 0;
};
// The key a member stem stands for (%XX undone).
std::string keyOfStem(const std::string& stem);
// Reads a shard of this layout: "" and its entries, or why it is damaged.
std::string readShard(const std::string& path, std::vector<ShardEntry>& entries);

class ShardWriter {
 public:
  // The directory made or found; "" or why not.
  std::string open(const ShardSettings& settings);

  // The entry at position (positions rising from call to call) with
  // rows x columns values in host order. False when a file could not be
  // written (problem() says why; nothing more is written).
  bool add(std::uint64_t position, const std::string& key, const float* values, std::uint32_t rows,
           std::uint32_t columns, const EntryFacts& facts);
  // Resuming: keeps shard when it stands complete under its name, its
  // entries among keys (the keys of its positions, in order) in mode and of
  // output; its
  // lines go into the index and kept says so. Returns "" (kept or absent), a
  // warning when the shard is damaged (it is then written again), or a
  // problem when it holds another list's entries (problem() says it too).
  std::string keep(std::uint64_t shard, const std::vector<std::string>& keys, const std::string& mode,
                   const std::string& output, bool& kept);
  // The last shard and the index under their names: "" or what happened.
  std::string commit();
  void abandon();

  const std::string& problem() const { return problem_; }
  std::string shardName(std::uint64_t shard) const;
  std::string indexName() const { return settings_.name + ".jsonl"; }
  std::uint64_t shardsWritten() const { return shardsWritten_; }

 private:
  bool startShard(std::uint64_t shard);
  bool finishShard();
  std::string indexLine(const std::string& key, std::uint64_t shard, std::uint64_t offset, std::uint64_t rows,
                        std::uint64_t columns, const std::string& checksum) const;
  bool member(const std::string& name, const void* data, std::size_t size, std::uint64_t* dataOffset);

  ShardSettings settings_;
  kit::OutputFile shard_;
  std::uint64_t current_ = UINT64_MAX;  // the shard open, if any
  std::map<std::uint64_t, std::vector<std::string>> index_;  // lines by shard
  std::string problem_;
  std::uint64_t shardsWritten_ = 0;
};

}  // namespace training

#endif  // TRAINING_SHARD_WRITER_H
