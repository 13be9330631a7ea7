// The loop over the list file: every name through the extractor, on one
// thread or on several workers, with messages, pauses and the exit status
// exactly as one thread would give them.
#ifndef DRIVER_BATCH_H
#define DRIVER_BATCH_H

#include <cstdio>

#include "feature.h"

struct BatchSettings {
  int jobs = 1;                     // workers; 1 runs everything on this thread
  std::FILE* progressLine = nullptr;  // a terminal for the progress line, or null
  std::FILE* summary = nullptr;       // where the summary goes, or null
};

// Runs doExtract and doReset for every name of the list with copies of the
// configured extractor (checkArgs and ini_fea_para done, directory strings
// filled). Returns the exit status: 0 when every utterance was written, 1
// when any failed or a recording could not be opened (the run stops there;
// with several workers, utterances after it in the list may have been
// written too).
int runBatch(std::FILE* list, FEATURE& configured, const BatchSettings& settings);

// The number of processors this process may run on (at least 1).
int availableProcessors();

#endif  // DRIVER_BATCH_H
