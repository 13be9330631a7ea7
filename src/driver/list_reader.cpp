#include "list_reader.h"

namespace {

bool isSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool ListReader::next(std::string& name, std::string* source) {
  for (;;) {
    if (pairs_) {
      if (!nextOfAll(first_)) return false;
      if (!nextOfAll(name)) name.clear();
      if (source != nullptr) *source = first_;
    } else if (!nextOfAll(name)) {
      return false;
    }
    if (position_++ % parts_ == part_) return true;
  }
}

bool ListReader::nextOfAll(std::string& name) {
  name.clear();
  int c = std::getc(list_);
  while (c != EOF && isSeparator(c)) c = std::getc(list_);
  while (c != EOF && !isSeparator(c)) {
    if (name.size() <= maxLength_) name.push_back(static_cast<char>(c));
    c = std::getc(list_);
  }
  return !name.empty();
}
