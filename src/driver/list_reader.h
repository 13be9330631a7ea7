// Reads utterance names from a list file: names are separated by any run of
// white space (space, tab, newline, vertical tab, form feed, carriage
// return), and blank lines and trailing white space give no name.
//
// A list of pairs (an HTK script file: "source target" a line) is read line
// by line, by HTK's rules for names: a name is a word, or a string quoted
// with ' or " (the same quote ending it); a backslash takes the next
// character as it is, or three octal digits as one byte ("\_" or "\ " is a
// space, "\042" a double quote). A line of one name, of more than two, or
// with a quote that does not close is an entry of its own that fails alone
// (with its line number), so that it never shifts a later pair.
#ifndef DRIVER_LIST_READER_H
#define DRIVER_LIST_READER_H

#include <cstdio>
#include <string>

// One entry of a list: a name, or with pairs a source and its target.
struct ListEntry {
  std::string name;     // the name, or the target of a pair
  std::string source;   // with pairs: the recording
  long line = 0;        // with pairs: its line in the list (from 1)
  std::string problem;  // with pairs: why the line holds no pair, or ""
};

class ListReader {
 public:
  // Names are kept up to maxLength bytes; the rest of a longer name is read
  // past but not stored, so memory stays bounded whatever the list holds.
  explicit ListReader(std::FILE* list, std::size_t maxLength = 4096)
      : list_(list), maxLength_(maxLength) {}

  // Only the share of part (0..parts-1): the entries whose position in the
  // list (counted from 0) leaves the remainder part when divided by parts.
  void share(long part, long parts) {
    part_ = part;
    parts_ = parts;
  }

  // Entries of two names, a source and a target, one line each (see above).
  // Shares count entries: every line that is not blank.
  void pairs() { pairs_ = true; }

  // The next entry; false at the end of the list. A name may hold any byte
  // but white space (unless quoted or escaped in a pair), NUL included. A
  // name longer than maxLength comes back as its first maxLength + 1 bytes,
  // so the caller sees that it is too long.
  bool next(ListEntry& entry);
  // The next name (of a pair: the target, its source in *source).
  bool next(std::string& name, std::string* source = nullptr);

 private:
  bool nextName(std::string& name);
  bool nextLine(ListEntry& entry);

  std::FILE* list_;
  std::size_t maxLength_;
  long part_ = 0;
  long parts_ = 1;
  long position_ = 0;  // of the next entry in the whole list
  long line_ = 0;      // lines read (pairs)
  bool pairs_ = false;
};

#endif  // DRIVER_LIST_READER_H
