#include "list_reader.h"

#include <vector>

namespace {

bool isSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isOctal(int c) { return c >= '0' && c <= '7'; }

}  // namespace

bool ListReader::next(ListEntry& entry) {
  for (;;) {
    entry.problem.clear();
    if (pairs_) {
      if (!nextLine(entry)) return false;
    } else {
      entry.source.clear();
      if (!nextName(entry.name)) return false;
    }
    if (position_++ % parts_ == part_) return true;
  }
}

bool ListReader::next(std::string& name, std::string* source) {
  ListEntry entry;
  if (!next(entry)) return false;
  name.swap(entry.name);
  if (source != nullptr) source->swap(entry.source);
  return true;
}

bool ListReader::nextName(std::string& name) {
  name.clear();
  int c = std::getc(list_);
  while (c != EOF && isSeparator(c)) c = std::getc(list_);
  while (c != EOF && !isSeparator(c)) {
    if (name.size() <= maxLength_) name.push_back(static_cast<char>(c));
    c = std::getc(list_);
  }
  return !name.empty();
}

// One line that is not blank, split into names by HTK's rules (only the
// first two are kept; the others are counted).
bool ListReader::nextLine(ListEntry& entry) {
  std::string names[2];
  int count = 0;
  std::string problem;
  int c = 0;
  do {
    count = 0;
    names[0].clear();
    names[1].clear();
    problem.clear();
    c = std::getc(list_);
    if (c == EOF) return false;
    ++line_;
    int quote = 0;  // the quote of the name in hand, if it is quoted
    bool inName = false;
    const auto add = [&](int byte) {
      if (count <= 2 && names[count - 1].size() <= maxLength_) names[count - 1].push_back(static_cast<char>(byte));
    };
    for (; c != EOF && c != '\n'; c = std::getc(list_)) {
      if (!inName) {
        if (isSeparator(c)) continue;
        inName = true;
        ++count;
        if (c == '\'' || c == '"') {
          quote = c;
          continue;
        }
      } else if (quote == 0 && isSeparator(c)) {
        inName = false;
        continue;
      } else if (quote != 0 && c == quote) {
        quote = 0;
        inName = false;
        continue;
      }
      if (c != '\\') {
        add(c);
        continue;
      }
      const int escaped = std::getc(list_);
      if (escaped == EOF || escaped == '\n') {
        if (problem.empty()) problem = "a backslash at the end of the line";
        c = escaped;
        break;
      }
      if (!isOctal(escaped)) {
        add(escaped);
        continue;
      }
      int digits[2];
      int read = 0;
      for (; read < 2; ++read) {
        digits[read] = std::getc(list_);
        if (!isOctal(digits[read])) break;
      }
      if (read < 2) {
        if (problem.empty()) problem = "a backslash and a digit that are not three octal digits";
        if (digits[read] == EOF || digits[read] == '\n') {
          c = digits[read];
          break;
        }
        continue;
      }
      add(((escaped - '0') << 6) | ((digits[0] - '0') << 3) | (digits[1] - '0'));
    }
    if (quote != 0 && problem.empty()) problem = "a quote that does not close";
  } while (count == 0 && problem.empty() && c != EOF);  // a blank line
  if (count == 0 && problem.empty()) return false;
  entry.line = line_;
  entry.problem = problem;
  if (problem.empty() && count == 1) entry.problem = "one name where a source and its target are needed";
  if (problem.empty() && count > 2) {
    entry.problem = std::to_string(count) + " names where a source and its target are needed (quote a name that "
                    "holds spaces)";
  }
  entry.source = names[0];
  entry.name = names[1];
  return true;
}
