// What the extractor says to the person at the batch tool: the argument
// check with its usage line and Big5 mode message, the pause after "Error",
// and the console every message goes through.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "feature.h"

namespace {

constexpr const char* kUsage =
    "feature.exe <list file> <IN_WAV_DIR> <OUT_DIR> <CMN/MVNMA/NONE>\n";

// "Normalization parameter incorrect! Please enter CMN or MVNMA", in Big5
// (code page 950), written as these bytes whatever the terminal's encoding.
constexpr const char* kBadModeMessage =
    "Normalization"
    "\xB0\xD1\xBC\xC6\xA4\xA3\xA5\xBF\xBD\x54\xA1\x49\xBD\xD0\xBF\xE9\xA4\x4A"
    "CMN"
    "\xA9\xCE"
    "MVNMA"
    "\n";

[[noreturn]] void endRun(std::FILE* console, const char* message) {
  if (console != nullptr) {
    std::fputs(message, console);
    std::fflush(console);
  }
  std::exit(1);
}

}  // namespace

bool waitForOneCharacter() {
  // Input that is no terminal belongs to whoever runs the tool (the next
  // lines of a while-read loop, a here-document): nobody is there to press
  // a key, and a character taken would be lost to them.
  return isatty(STDIN_FILENO) && readOneCharacter();
}

bool readOneCharacter() {
  char c;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

void FEATURE::checkArgs(int argc, char** argv) {
  if (argc != 5) endRun(settings.console, kUsage);
  normType = -1;
  if (const NormalisationMode* mode = modeNamed(argv[4])) {
    normType = mode->normType;
    std::snprintf(outExt, sizeof outExt, "%s", mode->outExt);
    return;
  }
  endRun(settings.console, kBadModeMessage);
}

void FEATURE::say(const char* format, ...) {
  if (settings.console == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(settings.console, format, arguments);
  va_end(arguments);
  std::fflush(settings.console);
}
