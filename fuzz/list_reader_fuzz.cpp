// The list reader on arbitrary bytes: it must return exactly the runs of
// bytes between white space, in order, and nothing else; a run longer than
// the limit comes back as its first limit + 1 bytes. Read as pairs, every
// line that is not blank is one entry, in order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "list_reader.h"

namespace {

bool isSeparator(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr std::size_t kLimit = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> expected;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (isSeparator(data[i])) {
      if (!current.empty()) expected.push_back(current);
      current.clear();
    } else if (current.size() <= kLimit) {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) expected.push_back(current);

  std::FILE* list = std::tmpfile();
  if (list == nullptr) return 0;
  if (size > 0 && std::fwrite(data, 1, size, list) != size) std::abort();
  std::rewind(list);
  ListReader reader(list, kLimit);
  std::vector<std::string> names;
  std::string name;
  while (reader.next(name)) names.push_back(name);
  std::fclose(list);
  list = nullptr;
  if (names != expected) std::abort();

  // As a list of pairs: one entry for every line that holds more than
  // white space, each two names or a reason.
  std::size_t lines = 0;
  bool filled = false;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\n') {
      lines += filled ? 1 : 0;
      filled = false;
    } else if (!isSeparator(data[i])) {
      filled = true;
    }
  }
  list = std::tmpfile();
  if (list == nullptr) return 0;
  if (size > 0 && std::fwrite(data, 1, size, list) != size) std::abort();
  std::rewind(list);
  ListReader pairs(list, kLimit);
  pairs.pairs();
  std::size_t entries = 0;
  long lastLine = 0;
  for (ListEntry entry; pairs.next(entry); ++entries) {
    if (entry.line <= lastLine) std::abort();
    lastLine = entry.line;
    if (entry.name.size() > kLimit + 1 || entry.source.size() > kLimit + 1) std::abort();
  }
  std::fclose(list);
  if (entries != lines) std::abort();
  return 0;
}
