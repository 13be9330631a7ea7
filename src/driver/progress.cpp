#include "progress.h"

#include <time.h>

#include <cmath>
#include <string>

#include "feature.h"

namespace {

constexpr double kRedrawSeconds = 0.2;

// "42 s", "3.5 min", "2.25 h"
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

}  // namespace

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

Progress::Progress(std::FILE* line, std::FILE* summary, long total)
    : line_(line), summary_(summary), total_(total), start_(monotonicSeconds()) {}

void Progress::finished(int result, int frames, long samples, bool cut) {
  ++done_;
  if (cut) ++cut_;
  if (result != kExtractOk) {
    ++failed_;
  } else if (frames == 0) {
    ++empty_;
  }
  audioSeconds_ += static_cast<double>(samples) / kSampleRate;
  if (line_ == nullptr) return;
  const double now = monotonicSeconds();
  if (now - lastDrawn_ >= kRedrawSeconds) draw(now);
}

void Progress::draw(double now) {
  lastDrawn_ = now;
  const double elapsed = now - start_;
  std::string text = "\r" + std::to_string(done_);
  if (total_ >= 0) text += "/" + std::to_string(total_);
  text += " utterances, " + duration(audioSeconds_) + " of audio";
  if (elapsed > 0.0) {
    char speed[48];
    std::snprintf(speed, sizeof speed, ", %.0fx real time", audioSeconds_ / elapsed);
    text += speed;
  }
  if (total_ > 0 && done_ > 0) {
    text += ", " + clock(elapsed / static_cast<double>(done_) * static_cast<double>(total_ - done_)) + " left";
  }
  if (failed_ > 0) text += ", " + std::to_string(failed_) + " failed";
  text += "\033[K";  // erase the rest of a longer earlier line
  std::fputs(text.c_str(), line_);
  std::fflush(line_);
  drawn_ = true;
}

void Progress::end() {
  if (drawn_) {
    std::fputs("\r\033[K", line_);
    std::fflush(line_);
  }
  if (summary_ == nullptr) return;
  const double elapsed = monotonicSeconds() - start_;
  char speed[48] = "";
  if (elapsed > 0.0) std::snprintf(speed, sizeof speed, ", %.0fx real time", audioSeconds_ / elapsed);
  char cut[48] = "";
  if (cut_ > 0) std::snprintf(cut, sizeof cut, ", %ld cut at 90 s", cut_);
  std::fprintf(summary_,
               "feature: %ld utterances, %ld failed, %ld with no frame (shorter than 320 samples)%s, "
               "%s of audio in %.2f s%s\n",
               done_, failed_, empty_, cut, duration(audioSeconds_).c_str(), elapsed, speed);
}
