// Reads utterance names from a list file: names are separated by any run of
// white space (space, tab, newline, vertical tab, form feed, carriage
// return), and blank lines and trailing white space give no name.
#ifndef DRIVER_LIST_READER_H
#define DRIVER_LIST_READER_H

#include <cstdio>
#include <string>

class ListReader {
 public:
  // Names are kept up to maxLength bytes; the rest of a longer name is read
  // past but not stored, so memory stays bounded whatever the list holds.
  explicit ListReader(std::FILE* list, std::size_t maxLength = 4096)
      : list_(list), maxLength_(maxLength) {}

  // Only the share of part (0..parts-1): the names whose position in the
  // list (counted from 0) leaves the remainder part when divided by parts.
  void share(long part, long parts) {
    part_ = part;
    parts_ = parts;
  }

  // Entries of two names, a source and a target (as HTK tools take script
  // files): next then gives the target in name and the source in *source.
  // Shares count entries.
  void pairs() { pairs_ = true; }

  // The next name into name; false at the end of the list. A name may hold
  // any byte but white space, NUL included. A name longer than maxLength
  // comes back as its first maxLength + 1 bytes, so the caller sees that it
  // is too long. With pairs, an entry that the end of the list cuts short
  // gives its source and an empty name.
  bool next(std::string& name, std::string* source = nullptr);

 private:
  bool nextOfAll(std::string& name);

  std::FILE* list_;
  std::size_t maxLength_;
  long part_ = 0;
  long parts_ = 1;
  long position_ = 0;  // of the next entry in the whole list
  bool pairs_ = false;
  std::string first_;
};

#endif  // DRIVER_LIST_READER_H
