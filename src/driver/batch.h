// The loop over the list file: every name through the extractor, on one
// thread or on several workers, with files, messages, pauses and the exit
// status exactly as one thread would give them.
#ifndef DRIVER_BATCH_H
#define DRIVER_BATCH_H

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include "feature.h"
#include "option_readers.h"

using kit::kMaxWorkers;

// What one run is asked to do: the tool's options and arguments, or the
// keywords of Python's run_list (bound to these fields). A new option of a
// run is a field here, its line in the tool's option table (with its help),
// its use, and its keyword in run_list.
struct RunSetup {
  std::string mode;            // CMN, MVNMA or NONE
  std::string inputDir;        // IN_WAV_DIR
  std::string outputDir;       // OUT_DIR
  InputFormat inputFormat = InputFormat::kRaw;
  bool convert = false;        // --convert: another rate or sample format, by the defined conversion
  bool lossy = false;          // --lossy: MP3, Ogg Vorbis, Opus too
  int channel = -1;            // --channel=N: that channel of several (-1: none)
  bool downmix = false;        // --downmix: the mean of the channels
  std::string inputExtension;  // recordings are IN_WAV_DIR/name.EXT
  bool pairs = false;          // entries: a source under inputDir, a target under outputDir
  long part = 0;               // the share part of parts of the list
  long parts = 1;
  bool skipExisting = false;   // an utterance whose files all stand whole is not done again
  bool noEmptyFiles = false;
  bool htkQualifiers = false;
  bool keepGoing = false;      // a recording that cannot be opened fails alone: the run goes on
  std::string record;          // --record=FILE: a JSON line per name (part K of N: FILE-K-of-N)
  feature::Output output = feature::Output::Mfcc;  // --output: the MFCC vectors or the filter banks
  bool cepstrumFiles = false;  // .C12 and .ENG beside the HTK file
  FrontEnd frontEnd = FrontEnd::kFastest;
  int jobs = 1;                // 0: one per processor
  bool quiet = false;          // no progress line, no summary
  // Recordings longer than 90 s are refused and counted here instead of
  // cut (null: cut, as the tool does).
  std::atomic<long>* longRecordings = nullptr;
};

// How the loop over the list runs: the run's setup, what prepareRun
// derived from it, and what the caller adds.
struct LoopSettings {
  RunSetup setup;
  int jobs = 1;                       // workers, resolved; 1 runs everything on this thread
  std::FILE* progressLine = nullptr;  // a terminal for the progress line, or null
  std::FILE* summary = nullptr;       // where the summary goes, or null
  // The pause after "Error" reads one character of standard input; off when
  // standard input is the list itself.
  bool pause = true;
  // Asked before each utterance and every 0.1 s while one is awaited: true
  // ends the run there (no further utterance is started; those under way
  // are finished, their files complete). Null: never.
  std::function<bool()> interrupted;
};
using BatchSettings = LoopSettings;  // the earlier name

// Checks setup against the tool's limits and makes the run of it: the
// extractor configured (mode, options, tables built), the directory strings
// filled, the loop's settings. Returns "" or why the run cannot be made.
std::string prepareRun(const RunSetup& setup, FEATURE& f, LoopSettings& settings);

// Runs doExtract and doReset for every name of the list with copies of the
// configured extractor (checkArgs and ini_fea_para done, directory strings
// filled). Returns the exit status: 0 when every utterance was written, 1
// when any failed, a recording could not be opened (the run stops there),
// the run itself failed or it was interrupted.
int runBatch(std::FILE* list, FEATURE& configured, const LoopSettings& settings);

// Why these conversion choices do not go together (or with this input
// format), or "": shared by the programs and Python.
std::string conversionChoiceProblem(const RunSetup& setup);

// The options that would read a refused recording (Problem::count of
// kRecordingRefused), in the programs' words: "--convert reads it ...".
std::string readingHint(std::int64_t needs);

// Opens a list file for reading (a directory is refused, errno EISDIR).
inline std::FILE* openList(const char* path) { return openInputFile(path, "r"); }

// name with NUL and other control bytes shown as \0 and \xHH.
std::string printableName(const std::string& name);

#endif  // DRIVER_BATCH_H
