// Command-line options of the feature tool. Options come before the four
// arguments and never change what those mean.
#ifndef DRIVER_OPTIONS_H
#define DRIVER_OPTIONS_H

#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "feature.h"

struct Options {
  RunSetup setup;         // the run the options describe (its arguments filled in by main)
  bool help = false;      // -h, --help
  bool version = false;   // --version
  // The program name followed by what remains after the options; the tool
  // needs exactly four of those.
  std::vector<char*> arguments;
};

// Parses argv: the known options at its start, up to "--" or the first word
// that is not one. Returns false, after a message on standard error, when
// an option's value is missing or wrong.
bool parseOptions(int argc, char** argv, Options& options);

// When the arguments are not four, or the mode is not one of the three,
// says on standard error what is wrong (the usage line or the mode message
// on standard output stays as it is).
void explainArguments(const Options& options);

void printHelp(std::FILE* out);
void printVersion(std::FILE* out);

#endif  // DRIVER_OPTIONS_H
