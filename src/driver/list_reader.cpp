#include "list_reader.h"

namespace {

bool isSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool ListReader::next(std::string& name) {
  while (nextOfAll(name)) {
    if (position_++ % parts_ == part_) return true;
  }
  return false;
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
