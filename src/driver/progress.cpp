#include "progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "feature.h"

namespace {

constexpr double kRedrawSeconds = 0.2;

// "42.0 s", "3.5 min", "2.25 h"
std::string duration(double seconds) {
  char text[32];
  if (seconds < 60.0) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 3600.0) {
    std::snprintf(text, sizeof text, "%.1f min", seconds / 60.0);
  } else {
    std::snprintf(text, sizeof text, "%.2f h", seconds / 3600.0);
  }
  return text;
}

// "1:02:03" or "2:03"
std::string clock(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

// ", 9137x real time", or nothing when no audio was processed.
std::string speed(double audioSeconds, double elapsed) {
  if (audioSeconds <= 0.0 || elapsed <= 0.0) return "";
  char text[48];
  std::snprintf(text, sizeof text, ", %.0fx real time", audioSeconds / elapsed);
  return text;
}

}  // namespace

std::string counted(long n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

Progress::Progress(std::FILE* line, std::FILE* summary, long total, const char* program)
    : line_(line), summary_(summary), program_(program), total_(total), start_(monotonicSeconds()) {}

void Progress::finished(int result, int frames, long samples, bool cut, bool skipped, const std::string& converted) {
  ++done_;
  if (!converted.empty() && result == kExtractOk) ++converted_[converted];
  if (cut) ++cut_;
  if (skipped) {
    ++skipped_;
  } else if (result == kNoFrames) {
    ++empty_;
  } else if (result != kExtractOk) {
    ++failed_;
  } else if (frames == 0) {
    ++empty_;
  }
  audioSeconds_ += static_cast<double>(samples) / kSampleRate;
  if (line_ == nullptr) return;
  const double now = monotonicSeconds();
  if (!drawn_ || now - lastDrawn_ >= kRedrawSeconds) draw(now);
}

double Progress::working(double now) const {
  const double pausing = pauseStart_ >= 0.0 ? now - pauseStart_ : 0.0;
  return now - start_ - paused_ - pausing;
}

int Progress::columns() const {
  winsize size{};
  if (ioctl(fileno(line_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* text = std::getenv("COLUMNS");
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value > 0 ? value : 80;
}

void Progress::draw(double now) {
  lastDrawn_ = now;
  const double elapsed = working(now);
  std::string text = std::to_string(done_);
  if (total_ >= 0) text += "/" + std::to_string(total_);
  text += " utterances, " + duration(audioSeconds_) + " of audio" + speed(audioSeconds_, elapsed);
  if (total_ > 0 && done_ > 0) {
    text += ", " + clock(elapsed / static_cast<double>(done_) * static_cast<double>(total_ - done_)) + " left";
  }
  if (failed_ > 0) text += ", " + std::to_string(failed_) + " failed";
  // One column short of the width, so that the cursor never wraps.
  const std::size_t width = static_cast<std::size_t>(std::max(columns() - 1, 10));
  if (text.size() > width) text.resize(width);
  std::fputs(("\r" + text + "\033[K").c_str(), line_);
  std::fflush(line_);
  drawn_ = true;
}

void Progress::clearLine() {
  if (!drawn_) return;
  std::fputs("\r\033[K", line_);
  std::fflush(line_);
  drawn_ = false;
}

void Progress::pauseBegins() {
  clearLine();
  pauseStart_ = monotonicSeconds();
}

void Progress::pauseEnds() {
  if (pauseStart_ < 0.0) return;
  paused_ += monotonicSeconds() - pauseStart_;
  pauseStart_ = -1.0;
}

void Progress::stoppedEarly(long notTried) {
  if (notTried < 0) {
    restUnread_ = true;
  } else {
    notTried_ = notTried;
  }
}

std::string Progress::summary(double elapsed) const {
  std::string counts = program_ + ": " + counted(done_, "utterance", "utterances") + ", " + std::to_string(failed_) +
                       " failed";
  if (skipped_ > 0) counts += ", " + std::to_string(skipped_) + " skipped (done before)";
  if (empty_ > 0) counts += ", " + std::to_string(empty_) + " too short";
  if (cut_ > 0) counts += ", " + std::to_string(cut_) + " cut at 90 s";
  if (notTried_ > 0) counts += ", " + std::to_string(notTried_) + " not tried";
  if (restUnread_) counts += ", the rest of the list not read";
  if (headersAsSamples_ > 0) {
    counts += "\n" + program_ + ": " + counted(headersAsSamples_, "recording", "recordings") +
              " began with an audio file's header and " + (headersAsSamples_ == 1 ? "was" : "were") +
              " read as raw samples, header included (--input-format=auto reads audio files as audio)";
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.2f s", elapsed);
  const std::string audio = duration(audioSeconds_) + " of audio in " + time + speed(audioSeconds_, elapsed);
  std::string conversions;
  for (const auto& [how, count] : converted_) {
    conversions += (conversions.empty() ? "\n" + program_ + ": converted: " : "; ") + std::to_string(count) + " (" + how + ")";
  }
  return counts + "\n" + program_ + ": " + audio + conversions;
}

void Progress::end() {
  if (line_ != nullptr) clearLine();
  if (summary_ == nullptr) return;
  std::fprintf(summary_, "%s\n", summary(working(monotonicSeconds())).c_str());
}
