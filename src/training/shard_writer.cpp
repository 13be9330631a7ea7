#include "shard_writer.h"
#include "text_and_streams.h"

#include <nettle/sha2.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace training {

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kRecord = 10240;

bool littleEndianHost() {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

std::string octal(std::uint64_t value, std::size_t digits) {
  std::string text(digits, '0');
  for (std::size_t i = digits; i-- > 0 && value != 0; value >>= 3) text[i] = static_cast<char>('0' + (value & 7));
  return text;
}

// A ustar header block for a member of size bytes (type '0', or 'x' for a
// pax header); name at most 100 bytes.
std::string headerBlock(const std::string& name, std::uint64_t size, char type) {
  std::string h(kBlock, '\0');
  const auto put = [&h](std::size_t at, const std::string& text) { std::memcpy(&h[at], text.data(), text.size()); };
  put(0, name.substr(0, 100));
  put(100, "0000644");
  put(108, "0000000");
  put(116, "0000000");
  put(124, octal(size, 11));
  put(136, octal(0, 11));
  put(148, "        ");
  h[156] = type;
  put(257, std::string("ustar\0", 6));
  put(263, "00");
  unsigned sum = 0;
  for (const char c : h) sum += static_cast<unsigned char>(c);
  put(148, octal(sum, 6));
  h[154] = '\0';
  h[155] = ' ';
  return h;
}

// A pax record "LEN key=value\n", LEN counting the whole record.
std::string paxRecord(const std::string& key, const std::string& value) {
  const std::size_t body = key.size() + value.size() + 3;  // ' ', '=', '\n'
  std::size_t length = body + 1;
  while (std::to_string(length).size() + body != length) ++length;
  return std::to_string(length) + " " + key + "=" + value + "\n";
}

using kit::jsonString;

// The digest of what context took in, as hexadecimal.
std::string hexDigest(sha256_ctx& context) {
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
  std::string hex;
  char two[3];
  for (const std::uint8_t b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

bool validUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const int more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
    if (more < 0 || text.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xc0) != 0x80) return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::uint64_t fromOctal(const char* field, std::size_t size, bool& ok) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < size && field[i] == ' ') ++i;
  std::size_t digits = 0;
  for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) value = value * 8 + static_cast<std::uint64_t>(field[i] - '0');
  ok = digits > 0 && (i == size || field[i] == '\0' || field[i] == ' ');
  return value;
}

// The text of a JSON string member "name": "..." of one of our own lines.
std::string jsonField(const std::string& json, const std::string& name) {
  const std::string start = "\"" + name + "\": \"";
  const std::size_t at = json.find(start);
  if (at == std::string::npos) return "";
  std::string value;
  for (std::size_t i = at + start.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] == '\\' && i + 1 < json.size()) {
      ++i;
      if (json[i] == 'u' && i + 4 < json.size()) {
        value += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
        i += 4;
        continue;
      }
    }
    value += json[i];
  }
  return value;
}

}  // namespace

std::string keyOfStem(const std::string& stem) {
  std::string key;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (stem[i] == '%' && i + 2 < stem.size() && std::isxdigit(static_cast<unsigned char>(stem[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(stem[i + 2]))) {
      key += static_cast<char>(std::stoi(stem.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      key += stem[i];
    }
  }
  return key;
}

std::string readShard(const std::string& path, std::vector<ShardEntry>& entries) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot be read: ") + std::strerror(errno);
  std::string longName;  // from a pax header, for the next member
  bool npyPending = false;
  for (;;) {
    char h[kBlock];
    const std::uint64_t at = static_cast<std::uint64_t>(in.tellg());
    if (!in.read(h, kBlock)) return "it ends at byte " + std::to_string(at) + " without the end of the archive";
    if (std::all_of(h, h + kBlock, [](char c) { return c == '\0'; })) {
      if (npyPending) return "member " + entries.back().stem + ".npy has no JSON after it";
      return "";
    }
    bool ok = true;
    const std::uint64_t size = fromOctal(h + 124, 12, ok);
    bool sumOk = true;
    const std::uint64_t sum = fromOctal(h + 148, 8, sumOk);
    unsigned actual = 0;
    for (std::size_t i = 0; i < kBlock; ++i) actual += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
    if (!ok || !sumOk || sum != actual) return "the member header at byte " + std::to_string(at) + " is damaged";
    const std::uint64_t dataAt = at + kBlock;
    const std::uint64_t next = dataAt + (size + kBlock - 1) / kBlock * kBlock;
    std::string name = longName.empty() ? std::string(h, strnlen(h, 100)) : longName;
    longName.clear();
    std::string data;
    const bool isArray = name.size() > 4 && name.compare(name.size() - 4, 4, ".npy") == 0;
    if (h[156] == 'x' || !isArray) {
      if (size > (1U << 20)) return "member " + name + " is too large for its kind";
      data.resize(size);
      if (!in.read(&data[0], static_cast<std::streamsize>(size))) return "it ends inside member " + name;
    }
    if (h[156] == 'x') {
      const std::size_t p = data.find(" path=");
      if (p == std::string::npos) return "a pax header without a path at byte " + std::to_string(at);
      longName = data.substr(p + 6, data.find('\n', p) - p - 6);
    } else if (isArray) {
      if (npyPending) return "member " + entries.back().stem + ".npy has no JSON after it";
      ShardEntry e;
      e.stem = name.substr(0, name.size() - 4);
      e.key = keyOfStem(e.stem);
      char magic[10];
      if (size < 10 || !in.read(magic, 10) || std::memcmp(magic, "\x93NUMPY\x01\x00", 8) != 0) {
        return "member " + name + " is no numpy array";
      }
      const std::size_t headerLength = static_cast<unsigned char>(magic[8]) | (static_cast<std::size_t>(static_cast<unsigned char>(magic[9])) << 8);
      std::string dict(headerLength, '\0');
      if (10 + headerLength > size || !in.read(&dict[0], static_cast<std::streamsize>(headerLength))) {
        return "member " + name + " ends inside its header";
      }
      unsigned long long rows = 0, columns = 0;
      const std::size_t shape = dict.find("'shape': (");
      if (dict.find("'descr': '<f4'") == std::string::npos || dict.find("'fortran_order': False") == std::string::npos ||
          shape == std::string::npos ||
          std::sscanf(dict.c_str() + shape + 10, "%llu, %llu)", &rows, &columns) != 2) {
        return "member " + name + " is no little-endian float32 matrix";
      }
      if (10 + headerLength + rows * columns * 4 != size) {
        return "member " + name + " holds " + std::to_string(size - 10 - headerLength) + " bytes of values, not " +
               std::to_string(rows * columns * 4) + " for its shape";
      }
      e.rows = rows;
      e.columns = columns;
      e.offset = dataAt + 10 + headerLength;
      sha256_ctx context;
      sha256_init(&context);
      std::vector<char> chunk(1 << 16);
      for (std::uint64_t left = rows * columns * 4; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        if (!in.read(chunk.data(), static_cast<std::streamsize>(n))) return "it ends inside member " + name;
        sha256_update(&context, n, reinterpret_cast<const std::uint8_t*>(chunk.data()));
        left -= n;
      }
      e.sha256 = hexDigest(context);
      entries.push_back(e);
      npyPending = true;
    } else {
      if (!npyPending || name != entries.back().stem + ".json") return "member " + name + " is not the JSON of an array before it";
      entries.back().mode = jsonField(data, "mode");
      entries.back().output = jsonField(data, "output");
      if (jsonField(data, "key") != entries.back().key) return "member " + name + " names another key";
      npyPending = false;
    }
    in.seekg(static_cast<std::streamoff>(next));
  }
}

std::string keyProblem(const std::string& key) {
  if (key.empty()) return "an empty key";
  if (!validUtf8(key)) return "a key that is not UTF-8 text, which the JSON of a shard cannot hold";
  return "";
}

std::string stemOf(const std::string& key) {
  std::string stem;
  for (const char c : key) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '%' || c == '.' || c == '/' || b <= 0x20 || b >= 0x7f) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      stem += hex;
    } else {
      stem += c;
    }
  }
  return stem;
}

std::string npyHeader(std::uint64_t rows, std::uint64_t columns) {
  std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(rows) + ", " +
                     std::to_string(columns) + "), }";
  // magic (6) + version (2) + length (2) + dict + padding + '\n': a
  // multiple of 64.
  const std::size_t total = (10 + dict.size() + 1 + 63) / 64 * 64;
  dict.append(total - 10 - dict.size() - 1, ' ');
  dict += '\n';
  std::string header = std::string("\x93NUMPY\x01\x00", 8);
  header += static_cast<char>(dict.size() & 0xff);
  header += static_cast<char>(dict.size() >> 8);
  return header + dict;
}

std::string sha256Hex(const void* bytes, std::size_t size) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, size, static_cast<const std::uint8_t*>(bytes));
  return hexDigest(context);
}

std::string ShardWriter::open(const ShardSettings& settings) {
  settings_ = settings;
  if (settings_.perShard == 0) return "a shard needs room for at least one utterance";
  if (::mkdir(settings_.directory.c_str(), 0777) != 0 && errno != EEXIST) {
    return "cannot create directory " + settings_.directory + ": " + std::strerror(errno);
  }
  struct stat info;
  if (::stat(settings_.directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return settings_.directory + " is no directory";
  }
  return "";
}

std::string ShardWriter::shardName(std::uint64_t shard) const {
  char digits[32];
  std::snprintf(digits, sizeof digits, "-%06llu.tar", static_cast<unsigned long long>(shard));
  return settings_.name + digits;
}

bool ShardWriter::member(const std::string& name, const void* data, std::size_t size, std::uint64_t* dataOffset) {
  bool ok = true;
  if (name.size() > 100) {
    const std::string pax = paxRecord("path", name);
    ok = shard_.write(headerBlock("PaxHeader/" + name.substr(0, 80), pax.size(), 'x')) && shard_.write(pax) &&
         shard_.write(std::string((kBlock - pax.size() % kBlock) % kBlock, '\0'));
  }
  ok = ok && shard_.write(headerBlock(name, size, '0'));
  if (dataOffset != nullptr) *dataOffset = shard_.offset();
  ok = ok && shard_.write(data, size) && shard_.write(std::string((kBlock - size % kBlock) % kBlock, '\0'));
  return ok;
}

bool ShardWriter::startShard(std::uint64_t shard) {
  if (!finishShard()) return false;
  current_ = shard;
  if (!shard_.open(settings_.directory + "/" + shardName(shard))) {
    problem_ = shard_.error().describe();
    return false;
  }
  return true;
}

bool ShardWriter::finishShard() {
  if (current_ == UINT64_MAX) return true;
  current_ = UINT64_MAX;
  const std::uint64_t end = shard_.offset() + 2 * kBlock;
  const bool ok = shard_.write(std::string(2 * kBlock + (kRecord - end % kRecord) % kRecord, '\0')) &&
                  shard_.close() && shard_.commit();
  if (!ok) {
    problem_ = shard_.error().describe();
    shard_.abandon();
    return false;
  }
  ++shardsWritten_;
  return true;
}

bool ShardWriter::add(std::uint64_t position, const std::string& key, const float* values, std::uint32_t rows,
                      std::uint32_t columns, const EntryFacts& facts) {
  if (!problem_.empty()) return false;
  const std::uint64_t shard = position / settings_.perShard;
  if (shard != current_ && !startShard(shard)) return false;
  // The array's bytes, little-endian.
  const std::size_t count = static_cast<std::size_t>(rows) * columns;
  std::string array = npyHeader(rows, columns);
  const std::size_t headerSize = array.size();
  array.resize(headerSize + count * 4);
  std::memcpy(&array[headerSize], values, count * 4);
  if (!littleEndianHost()) {
    for (std::size_t i = 0; i < count; ++i) {
      char* v = &array[headerSize + 4 * i];
      std::swap(v[0], v[3]);
      std::swap(v[1], v[2]);
    }
  }
  const std::string checksum = sha256Hex(array.data() + headerSize, count * 4);
  const std::string stem = stemOf(key);
  const std::string json = "{\"key\": " + jsonString(key) + ", \"frames\": " + std::to_string(rows) +
                           ", \"dimension\": " + std::to_string(columns) + ", \"output\": " +
                           jsonString(facts.output) + ", \"mode\": " + jsonString(facts.mode) +
                           ", \"sample_rate\": " + std::to_string(facts.sampleRate) +
                           ", \"seconds\": " + number(facts.seconds) + ", \"source\": " + jsonString(facts.source) +
                           "}\n";
  std::uint64_t at = 0;
  if (!member(stem + ".npy", array.data(), array.size(), &at) || !member(stem + ".json", json.data(), json.size(), nullptr)) {
    problem_ = shard_.error().describe();
    return false;
  }
  index_[shard].push_back(indexLine(key, shard, at + headerSize, rows, columns, checksum));
  return true;
}

std::string ShardWriter::indexLine(const std::string& key, std::uint64_t shard, std::uint64_t offset,
                                   std::uint64_t rows, std::uint64_t columns, const std::string& checksum) const {
  return std::string("{\"key\": ") + jsonString(key) + ", \"shard\": " + jsonString(shardName(shard)) +
         ", \"offset\": " + std::to_string(offset) + ", \"frames\": " + std::to_string(rows) +
         ", \"dimension\": " + std::to_string(columns) + ", \"sha256\": \"" + checksum + "\"}\n";
}

std::string ShardWriter::commit() {
  if (!problem_.empty() || !finishShard()) return problem_;
  kit::OutputFile index;
  bool ok = index.open(settings_.directory + "/" + indexName());
  for (const auto& shard : index_) {
    for (std::size_t i = 0; ok && i < shard.second.size(); ++i) ok = index.write(shard.second[i]);
  }
  if (!ok || !index.close() || !index.commit()) {
    problem_ = index.error().describe();
    index.abandon();
  }
  return problem_;
}

std::string ShardWriter::keep(std::uint64_t shard, const std::vector<std::string>& keys, const std::string& mode,
                              const std::string& output, bool& kept) {
  kept = false;
  const std::string path = settings_.directory + "/" + shardName(shard);
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return "";
  std::vector<ShardEntry> entries;
  const std::string damage = readShard(path, entries);
  if (!damage.empty()) return path + ": " + damage + "; it is written again";
  std::size_t next = 0;  // entries come in the list's order
  std::vector<std::string> lines;
  for (const ShardEntry& e : entries) {
    while (next < keys.size() && keys[next] != e.key) ++next;
    if (next == keys.size()) {
      problem_ = path + " holds " + e.key + ", which is not at its place in this list: it was written from "
                 "another list (remove it, or run without --skip-existing)";
      return problem_;
    }
    if (e.mode != mode || e.output != output) {
      problem_ = path + " holds " + e.key + " as " + e.output + " in mode " + e.mode + ", not " + output + " in " +
                 mode + " (remove it, or run without --skip-existing)";
      return problem_;
    }
    ++next;
    lines.push_back(indexLine(e.key, shard, e.offset, e.rows, e.columns, e.sha256));
  }
  index_[shard] = std::move(lines);
  kept = true;
  return "";
}

void ShardWriter::abandon() {
  current_ = UINT64_MAX;
  shard_.abandon();
}

}  // namespace training
