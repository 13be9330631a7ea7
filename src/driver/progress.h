// What a run has done so far: a progress line that updates in place on a
// terminal, and a summary at the end. Both go to standard error, never to
// standard output, which carries the extractor's own messages. Anything
// else printed while the line stands must first clear it (clearLine); the
// next update draws it again.
#ifndef DRIVER_PROGRESS_H
#define DRIVER_PROGRESS_H

#include <cstdio>
#include <map>
#include <string>

class Progress {
 public:
  // line: where the progress line goes (a terminal), or null for none.
  // summary: where the summary goes, or null for none. total: the number
  // of names in the list, or -1 when unknown. program: the name the lines
  // begin with.
  Progress(std::FILE* line, std::FILE* summary, long total, const char* program = "feature");

  // One utterance finished, in list order: its doExtract result (or
  // kExtractFailed when it was refused), frames, samples, and whether the
  // recording was longer than 90 s, and whether it was skipped as done.
  // converted: what was done to its recording ("" when nothing).
  void finished(int result, int frames, long samples, bool cut = false, bool skipped = false,
                const std::string& converted = "");
  // One more recording read as raw samples though it begins with an audio
  // file's header: the summary counts them and names the option.
  void headerReadAsSamples() { ++headersAsSamples_; }
  // Erases the progress line, if one stands, before other output.
  void clearLine();
  // The time between these two (a pause after "Error") counts neither in
  // the speed nor in the time left.
  void pauseBegins();
  void pauseEnds();
  // The run stopped with names of the list not tried: their number, or -1
  // when the rest of the list was not read (a pipe).
  void stoppedEarly(long notTried);
  // Clears the progress line and prints the summary.
  void end();

  // The summary's text: two lines, what became of the utterances and how
  // much audio took how long, each well within 80 columns.
  std::string summary(double elapsed) const;

 private:
  void draw(double now);
  int columns() const;
  double working(double now) const;  // seconds since the start, pauses left out

  std::FILE* line_;
  std::FILE* summary_;
  std::string program_;
  long total_;
  double start_;
  double paused_ = 0.0;        // seconds spent in pauses
  double pauseStart_ = -1.0;
  double lastDrawn_ = -1.0;
  bool drawn_ = false;
  long done_ = 0;
  long failed_ = 0;
  long empty_ = 0;   // written, but with no frame
  long cut_ = 0;     // longer than 90 s
  long skipped_ = 0; // files existed already
  long headersAsSamples_ = 0;
  long notTried_ = 0;
  std::map<std::string, long> converted_;  // recordings by what was done to them
  bool restUnread_ = false;
  double audioSeconds_ = 0.0;
};

double monotonicSeconds();

// "1 utterance", "2 utterances"
std::string counted(long n, const char* singular, const char* plural);

#endif  // DRIVER_PROGRESS_H
