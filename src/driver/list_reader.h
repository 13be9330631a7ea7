// Reads utterance names from a list file: names are separated by any run of
// white space (space, tab, newline, vertical tab, form feed, carriage
// return), and blank lines and trailing white space give no name.
#ifndef DRIVER_LIST_READER_H
#define DRIVER_LIST_READER_H

#include <cstdio>
#include <string>

class ListReader {
 public:
  explicit ListReader(std::FILE* list) : list_(list) {}

  // The next name into name; false at the end of the list. A name is
  // returned whole whatever its length (the caller decides what is too
  // long) and may hold any byte but white space, NUL included.
  bool next(std::string& name);

 private:
  std::FILE* list_;
};

#endif  // DRIVER_LIST_READER_H
