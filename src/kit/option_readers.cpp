#include "option_readers.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <thread>

namespace kit {

namespace {

// A whole decimal number of at most 18 digits, no sign, no blanks.
bool readCount(const char* text, const char*& end, long& value) {
  const char* digits = text;
  while (*digits >= '0' && *digits <= '9') ++digits;
  if (digits == text || digits - text > 18) return false;
  value = std::strtol(text, nullptr, 10);
  end = digits;
  return true;
}

}  // namespace

int availableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::string readJobs(const char* text, int& jobs) {
  const char* end = nullptr;
  long value = 0;
  if (!readCount(text, end, value) || *end != '\0' || value > kMaxWorkers) {
    return "the number of workers must be 0 to " + std::to_string(kMaxWorkers) + ", not " + text;
  }
  jobs = value == 0 ? availableProcessors() : static_cast<int>(value);
  return "";
}

std::string readPart(const char* text, long& part, long& parts) {
  const char* end = nullptr;
  long k = 0, n = 0;
  const bool read = readCount(text, end, k) && *end == '/' && readCount(end + 1, end, n) && *end == '\0';
  if (!read || n < 1 || k >= n) {
    return std::string("--part needs K/N with 0 <= K < N (the share K of N), not '") + text + "'";
  }
  part = k;
  parts = n;
  return "";
}

std::string readChannel(const char* text, int& channel) {
  const char* end = nullptr;
  long value = 0;
  if (!readCount(text, end, value) || *end != '\0' || value > 63) {
    return std::string("--channel needs a channel number from 0 (the first) to 63, not '") + text + "'";
  }
  channel = static_cast<int>(value);
  return "";
}

std::string readSpeeds(const char* text, std::vector<Speed>& speeds) {
  speeds.clear();
  const std::string all = text;
  std::size_t at = 0;
  do {
    const std::size_t comma = std::min(all.find(',', at), all.size());
    Speed s;
    s.text = all.substr(at, comma - at);
    char* end = nullptr;
    s.factor = std::strtod(s.text.c_str(), &end);
    const bool number = !s.text.empty() && end == s.text.c_str() + s.text.size() &&
                        s.text.find_first_not_of("0123456789.") == std::string::npos;
    if (!number || !(s.factor >= 0.5 && s.factor <= 2.0)) {
      return "--speed needs factors from 0.5 to 2 separated by commas (as 0.9,1.0,1.1), not '" + s.text + "'";
    }
    s.rate = static_cast<int>(std::lround(16000.0 * s.factor));
    if (s.rate == 16000 && s.factor != 1.0) return "--speed factor " + s.text + " is 1 at 16 kHz: write 1";
    for (const Speed& earlier : speeds) {
      if (earlier.rate == s.rate) return "--speed names factor " + s.text + " twice (" + earlier.text + ")";
    }
    speeds.push_back(s);
    at = comma + 1;
  } while (at <= all.size());
  return "";
}

std::string listOf(const std::vector<std::string>& names, const char* last) {
  const bool bar = std::string(last) == "|";
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += bar ? "|" : i + 1 == names.size() ? last : ", ";
    text += names[i];
  }
  return text;
}

std::string readChoice(const char* text, const std::vector<std::string>& names, const char* what, int& choice) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) {
      choice = static_cast<int>(i);
      return "";
    }
  }
  return std::string("unknown ") + what + " " + text + " (" + listOf(names) + ")";
}

}  // namespace kit
