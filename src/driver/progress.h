// What a run has done so far: a progress line that updates in place on a
// terminal, and one summary line at the end. Both go to standard error,
// never to standard output, which carries the extractor's own messages.
#ifndef DRIVER_PROGRESS_H
#define DRIVER_PROGRESS_H

#include <cstdio>

class Progress {
 public:
  // line: where the progress line goes (a terminal), or null for none.
  // summary: where the summary goes, or null for none. total: the number
  // of names in the list, or -1 when unknown.
  Progress(std::FILE* line, std::FILE* summary, long total);

  // One utterance finished, in list order: its doExtract result (or
  // kExtractFailed when it was refused), frames, samples, and whether the
  // recording was longer than 90 s.
  void finished(int result, int frames, long samples, bool cut = false);
  // Clears the progress line and prints the summary.
  void end();

 private:
  void draw(double now);

  std::FILE* line_;
  std::FILE* summary_;
  long total_;
  double start_;
  double lastDrawn_ = -1.0;
  bool drawn_ = false;
  long done_ = 0;
  long failed_ = 0;
  long empty_ = 0;   // written, but with no frame
  long cut_ = 0;     // longer than 90 s
  double audioSeconds_ = 0.0;
};

double monotonicSeconds();

#endif  // DRIVER_PROGRESS_H
