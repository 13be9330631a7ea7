#include "batch.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "feature_files.h"
#include "file_identity.h"
#include "list_reader.h"
#include "option_readers.h"
#include "output_file.h"
#include "progress.h"
#include "text_and_streams.h"
#include "worker_pool.h"

namespace {

// What an extractor printed for one utterance, on either stream, in the
// order it printed it; held until the utterance's turn in the list.
class Messages {
 public:
  void add(bool toErrors, const char* data, std::size_t size) {
    if (chunks_.empty() || chunks_.back().toErrors != toErrors) chunks_.push_back({toErrors, {}});
    chunks_.back().text.append(data, size);
  }
  void print() const {
    for (const auto& chunk : chunks_) {
      std::fwrite(chunk.text.data(), 1, chunk.text.size(), chunk.toErrors ? stderr : stdout);
    }
  }
  void clear() { chunks_.clear(); }
  bool empty() const { return chunks_.empty(); }

 private:
  struct Chunk {
    bool toErrors;
    std::string text;
  };
  std::vector<Chunk> chunks_;
};

// One name of the list on its way through the extractor.
struct Utterance {
  long index = 0;          // position in the list
  long line = 0;           // with --pairs: its line in the list
  std::string problem;     // with --pairs: why its line holds no pair
  std::string name;        // the list's name (with --pairs, the target)
  std::string source;      // with --pairs: the recording, under IN_WAV_DIR
  std::string refusal;     // why it was refused before extraction, if it was
  char path[kPathCapacity] = {};
  // Its recording did not open when the list was read ahead: it is run on
  // the calling thread at its turn, and nothing after it is started before.
  bool inOrder = false;
  int result = kExtractFailed;
  int frames = 0;
  long samples = 0;
  bool cut = false;        // longer than 90 s
  bool headerAsSamples = false;  // read raw though it begins with an audio header
  std::string reason;      // why it failed, in the problem's words
  std::string converted;   // what was done to its recording ("" when nothing)
  bool skipped = false;    // its files existed already (--skip-existing)
  Messages messages;       // what the extractor printed (workers only)
  long startedAfterPauses = 0;  // pauses made before its extraction began
  bool submitted = false;  // given to the workers (else finished here)
};

// The files a run reads, which none of its outputs may be: the list file,
// and with pairs every source of the list (read ahead when the list is a
// file; from a pipe, the sources read so far).
struct RunInputs {
  static constexpr long kListFile = 0;  // else the line of a pair's source
  kit::InputFiles files;
  bool sourcesAhead = false;
};

// Why name's outputs may not be written, or "": an output that is one of
// the run's inputs (or, without pairs, the utterance's own recording); with
// pairs, an existing regular file at the target that is no HTK parameter
// file (a pair that names a recording as its target).
std::string outputClash(const Utterance& u, const FEATURE& f, const RunInputs& inputs) {
  const bool pair = f.settings.exactOutputNames;
  std::vector<const char*> extensions{f.outExt};
  if (f.settings.writeCepstrumFiles) extensions.insert(extensions.end(), {"C12", "ENG"});
  for (const char* ext : extensions) {
    char output[kPathCapacity];
    struct stat info;
    if (!f.outputPath(output, u.name.c_str(), ext) || (!pair && stat(output, &info) != 0)) continue;
    const kit::FileIdentity out = kit::identify(output);
    const long which = inputs.files.find(out);
    std::string input;
    if (which == RunInputs::kListFile) {
      input = "the list file";
    } else if (which != kit::InputFiles::kNone) {
      input = "the source on line " + std::to_string(which) + " of the list";
    } else if (!pair && kit::sameFile(out, kit::identify(u.path))) {
      input = "its own recording";
    }
    if (!input.empty()) return "will not write " + printableName(output) + ", which is " + input;
  }
  if (!pair) return "";
  char target[kPathCapacity];
  f.outputPath(target, u.name.c_str(), f.outExt);
  const kit::OutputTarget t = kit::resolveOutput(target);
  if (t.kind != kit::OutputTarget::Kind::kFile || !t.exists) return "";
  std::FILE* file = std::fopen(t.path.c_str(), "rb");
  unsigned char head[feature_files::kHtkHeaderBytes];
  struct stat info;
  const bool htk = file != nullptr && std::fread(head, 1, sizeof head, file) == sizeof head &&
                   fstat(fileno(file), &info) == 0 &&
                   feature_files::htkProblem(feature_files::decodeHtkHeader(head), info.st_size).empty();
  if (file != nullptr) std::fclose(file);
  if (htk) return "";
  return "will not write over " + printableName(target) +
         ": it is no HTK parameter file (with --pairs only feature files are replaced; is the pair the wrong way "
         "round?)";
}

// Checks the name and builds the input path; on failure says why in
// u.refusal. Names and the paths made from them must fit their 512-byte
// buffers: an output path that does not is refused here, before any of the
// utterance's files is written. With pairs and a list read from a pipe, the
// source joins the inputs here.
bool prepare(Utterance& u, const FEATURE& f, const std::string& inputExtension, RunInputs& inputs) {
  const bool pair = f.settings.exactOutputNames;
  const std::string& input = pair ? u.source : u.name;
  const std::string shown = printableName(pair && u.name.empty() ? u.source : u.name).substr(0, 100);
  const char* more = u.name.size() > 100 ? "..." : "";
  char text[kPathCapacity + 256];
  if (pair && !u.problem.empty()) {
    std::snprintf(text, sizeof text, "feature: skipped line %ld of the list: %s\n", u.line, u.problem.c_str());
  } else if (pair && (u.name.empty() || u.source.empty())) {
    std::snprintf(text, sizeof text, "feature: skipped line %ld of the list: an empty name\n", u.line);
  } else if (u.name.find('\0') != std::string::npos || input.find('\0') != std::string::npos) {
    std::snprintf(text, sizeof text, "feature: skipped a name that holds a NUL byte: %s%s\n",
                  shown.c_str(), more);
  } else if (u.name.size() > kPathCapacity - 1 || input.size() > kPathCapacity - 1) {
    std::snprintf(text, sizeof text, "feature: skipped a name longer than %d characters: %s%s\n",
                  kPathCapacity - 1, shown.c_str(), more);
  } else {
    const int inputLength =
        inputExtension.empty()
            ? std::snprintf(u.path, sizeof u.path, "%s/%s", IN_WAV_DIR, input.c_str())
            : std::snprintf(u.path, sizeof u.path, "%s/%s.%s", IN_WAV_DIR, input.c_str(), inputExtension.c_str());
    char output[kPathCapacity];
    const bool outputFits = f.outputPath(output, u.name.c_str(), f.outExt);
    if (inputLength >= kPathCapacity) {
      std::snprintf(text, sizeof text,
                    "feature: skipped %s%s: its input path is longer than %d characters\n",
                    shown.c_str(), more, kPathCapacity - 1);
    } else if (!outputFits) {
      std::snprintf(text, sizeof text,
                    "feature: skipped %s%s: its output path is longer than %d characters\n",
                    shown.c_str(), more, kPathCapacity - 1);
    } else {
      if (pair && !inputs.sourcesAhead) inputs.files.add(u.path, u.line);
      const std::string clash = outputClash(u, f, inputs);
      if (clash.empty()) return true;
      std::snprintf(text, sizeof text, "feature: skipped %s%s: %s\n", shown.c_str(), more, clash.c_str());
    }
  }
  u.refusal = text;
  return false;
}

bool recordingOpens(const char* path) {
  std::FILE* file = openRecording(path);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// A pair of unbuffered streams, the console and the error stream of one
// extractor, that add what is printed on them to the Messages of the
// utterance in hand, in the order it was printed.
class Capture {
 public:
  Capture() : console_(open(consoleSide_)), errors_(open(errorsSide_)) {
    if (console_ == nullptr || errors_ == nullptr) throw std::bad_alloc();
  }
  ~Capture() {
    if (console_ != nullptr) std::fclose(console_);
    if (errors_ != nullptr) std::fclose(errors_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Points f's streams at this capture, collecting into messages.
  void attach(FEATURE& f, Messages& messages) {
    target_ = &messages;
    f.settings.console = console_;
    f.settings.errors = errors_;
  }

 private:
  struct Side {
    Capture* owner;
    bool toErrors;
  };

  std::FILE* open(Side& side) {
    side.owner = this;
    cookie_io_functions_t functions{};
    functions.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
      const Side* s = static_cast<Side*>(cookie);
      s->owner->target_->add(s->toErrors, data, size);
      return static_cast<ssize_t>(size);
    };
    std::FILE* stream = fopencookie(&side, "w", functions);
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
  }

  Side consoleSide_{this, false};
  Side errorsSide_{this, true};
  Messages* target_ = nullptr;
  std::FILE* console_;
  std::FILE* errors_;
};

// While it lives, the extractor makes no pause of its own (the loop makes
// it, in list order); when it goes, the extractor prints where it printed
// before and pauses as before. Declared after the Capture it is attached
// to, so that the streams are given back before the capture closes them.
class CapturedExtractor {
 public:
  explicit CapturedExtractor(FEATURE& f) : f_(f), console_(f.settings.console), errors_(f.settings.errors), pause_(f.settings.pauseAfterError) {
    f.settings.pauseAfterError = false;
  }
  ~CapturedExtractor() {
    f_.settings.console = console_;
    f_.settings.errors = errors_;
    f_.settings.pauseAfterError = pause_;
  }
  CapturedExtractor(const CapturedExtractor&) = delete;
  CapturedExtractor& operator=(const CapturedExtractor&) = delete;

 private:
  FEATURE& f_;
  std::FILE* console_;
  std::FILE* errors_;
  bool pause_;
};

// Finishes utterances in list order: the refusal or what the extractor
// printed, with the progress line out of the way; the pause after "Error";
// the counts.
class InOrder {
 public:
  InOrder(const LoopSettings& settings, Progress& progress) : settings_(settings), progress_(progress) {}

  // Returns true when a pause after "Error" took a character.
  bool finish(const Utterance& u) {
    if (!u.refusal.empty() || !u.messages.empty()) progress_.clearLine();
    if (!u.refusal.empty()) std::fputs(u.refusal.c_str(), stderr);
    u.messages.print();
    bool paused = false;
    if (u.result == kOutputFailed && settings_.pause && !isatty(STDIN_FILENO)) {
      if (!pauseSkippedSaid_) {
        std::fputs("feature: no pause after \"Error\": standard input is not a terminal, so nobody can press "
                   "a key (nothing is read from it)\n", stderr);
      }
      pauseSkippedSaid_ = true;
    } else if (u.result == kOutputFailed && settings_.pause) {
      progress_.pauseBegins();
      std::fputs("feature: press Enter to go on (batch jobs: give standard input from /dev/null)\n", stderr);
      std::fflush(stdout);
      std::fflush(stderr);
      paused = waitForOneCharacter();
      progress_.pauseEnds();
    }
    progress_.finished(u.result, u.frames, u.samples, u.cut, u.skipped, u.converted);
    if (u.headerAsSamples) progress_.headerReadAsSamples();
    if (u.result != kExtractOk && u.result != kNoFrames) ++failures_;
    if (u.result == kRecordingUnreadable && !settings_.setup.keepGoing) stoppedAt_ = u.name;
    if (record_ != nullptr) writeRecord(u);
    return paused;
  }

  // The record of the run, or null.
  void keepRecord(kit::OutputFile* record) { record_ = record; }
  void recordNotTried(const std::string& name) {
    if (record_ != nullptr) record_->write(kit::recordLine(name, "not tried", 0, false, "", ""));
  }

  // Gets the progress line out of the way of a message printed directly.
  void clearLine() { progress_.clearLine(); }

  // Asks settings.interrupted; once it said yes, the run is over.
  bool interrupted() {
    if (!interrupted_ && settings_.interrupted) interrupted_ = settings_.interrupted();
    return interrupted_;
  }
  bool wasInterrupted() const { return interrupted_; }

  bool stopped() const { return !stoppedAt_.empty() || interrupted_; }
  const std::string& stoppedAt() const { return stoppedAt_; }
  int status() const { return failures_ == 0 && !interrupted_ ? 0 : 1; }

 private:
  const LoopSettings& settings_;
  Progress& progress_;
  int failures_ = 0;
  bool pauseSkippedSaid_ = false;
  std::string stoppedAt_;  // the name whose recording could not be opened
  bool interrupted_ = false;
  kit::OutputFile* record_ = nullptr;

  void writeRecord(const Utterance& u) {
    const bool ok = u.result == kExtractOk || u.result == kNoFrames;
    const char* status = u.skipped ? "skipped" : !ok ? "failed" : u.frames == 0 ? "too short" : "done";
    std::string reason = u.reason;
    if (reason.empty() && !u.refusal.empty()) {
      reason = u.refusal.substr(0, u.refusal.find('\n'));
      if (reason.rfind("feature: ", 0) == 0) reason.erase(0, 9);
    }
    if (ok) reason.clear();
    record_->write(kit::recordLine(u.name, status, u.frames, u.cut, u.converted, reason));
  }
};

void extract(FEATURE& f, Utterance& u) {
  u.messages.clear();
  u.result = f.doExtract(u.path, u.name.c_str(), 1);
  u.frames = f.totalFrame;
  u.samples = f.outcome.samplesRead;
  u.cut = f.outcome.samplesIgnored != 0;
  u.converted = f.outcome.converted;
  u.headerAsSamples = false;
  u.reason.clear();
  for (const Problem& p : f.outcome.problems) {
    u.headerAsSamples = u.headerAsSamples || p.kind == ProblemKind::kContainerReadAsRaw;
    if (!p.isWarning() && u.reason.empty()) u.reason = describe(p);
  }
  f.doReset();
}

// Returns the number of names read ahead but not finished when the run
// stopped (none on this thread).
// The next entry of the list into u; false at its end.
bool readEntry(ListReader& names, Utterance& u) {
  ListEntry entry;
  if (!names.next(entry)) return false;
  u.name.swap(entry.name);
  u.source.swap(entry.source);
  u.line = entry.line;
  u.problem.swap(entry.problem);
  return true;
}

// Every utterance on the calling thread, with the configured extractor.
void runOnThisThread(ListReader& names, FEATURE& f, const LoopSettings& settings, InOrder& inOrder,
                     RunInputs& inputs) {
  Capture capture;
  const CapturedExtractor captured(f);
  for (long index = 0; !inOrder.stopped() && !inOrder.interrupted(); ++index) {
    Utterance u;
    if (!readEntry(names, u)) break;
    u.index = index;
    if (prepare(u, f, settings.setup.inputExtension, inputs)) {
      if (settings.setup.skipExisting && f.outputComplete(u.name.c_str(), u.path)) {
        u.skipped = true;
        u.result = kExtractOk;
      } else {
        capture.attach(f, u.messages);
        extract(f, u);
      }
    }
    inOrder.finish(u);
  }
}

// A worker of the pool: its own copy of the configured extractor, and the
// capture that holds back what it prints until the utterance's turn.
struct PoolWorker {
  std::unique_ptr<FEATURE> extractor;
  Capture capture;
};

// A worker is started only while the process keeps this much address space
// beyond it, for the utterances the workers have under way (under a memory
// limit, the last worker would otherwise leave them none).
constexpr std::size_t kWorkerHeadroom = std::size_t{32} << 20;

void requireHeadroom() {
  void* headroom = mmap(nullptr, kWorkerHeadroom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (headroom == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "no memory to spare");
  munmap(headroom, kWorkerHeadroom);
}

// The calling thread reads the list ahead into a bounded window, hands the
// utterances to the workers, and finishes them in list order: their
// messages on both streams, the pause after "Error", the count of failures.
// Two rules keep the files those of one thread: a recording that does not
// open when read ahead holds everything after it back until its turn (the
// run may stop there), and an utterance that failed while a pause was
// pending is done again once the pause is over (the operator may have made
// room during it).
// Returns the number of names read ahead but not finished when the run
// stopped.
long runOnWorkers(ListReader& names, FEATURE& configured, const LoopSettings& settings, InOrder& inOrder,
                  RunInputs& inputs) {
  // Pauses after "Error" made so far: what failed while one was pending is
  // done again (see startedAfterPauses).
  std::atomic<long> pauses{0};
  using Pool = kit::WorkerPool<Utterance>;
  Pool::Calls calls;
  calls.makeRunner = [&configured, &pauses]() -> Pool::Runner {
    requireHeadroom();
    auto w = std::make_shared<PoolWorker>();
    w->extractor = std::make_unique<FEATURE>(configured);
    w->extractor->settings.pauseAfterError = false;
    return [w, &pauses](Utterance& u) {
      w->capture.attach(*w->extractor, u.messages);
      u.startedAfterPauses = pauses.load();
      extract(*w->extractor, u);
    };
  };
  // On the calling thread: the configured extractor itself.
  calls.makeOwnRunner = [&configured, &pauses]() -> Pool::Runner {
    return [&configured, &pauses](Utterance& u) {
      Capture capture;
      const CapturedExtractor captured(configured);
      capture.attach(configured, u.messages);
      u.startedAfterPauses = pauses.load();
      extract(configured, u);
    };
  };
  calls.failed = [](Utterance& u, const std::string& what) {
    u.result = kExtractFailed;
    u.refusal = "feature: " + printableName(u.name) + " failed: " + what + "\n";
  };
  calls.notice = [&inOrder](const std::string& words) {
    inOrder.clearLine();
    std::fprintf(stderr, "feature: %s\n", words.c_str());
  };
  // Declared before the pool, so that the workers are joined before it goes.
  std::deque<std::unique_ptr<Utterance>> ahead;
  Pool workers(settings.jobs, calls);
  const std::size_t window = static_cast<std::size_t>(4 * settings.jobs);
  long nextIndex = 0;
  bool listEnded = false;
  bool heldBack = false;
  const std::function<bool()> interrupted = [&inOrder] { return inOrder.interrupted(); };
  while (!inOrder.stopped()) {
    while (!listEnded && !heldBack && ahead.size() < window) {
      auto u = std::make_unique<Utterance>();
      if (!readEntry(names, *u)) {
        listEnded = true;
        break;
      }
      u->index = nextIndex++;
      Utterance* next = u.get();
      ahead.push_back(std::move(u));
      if (!prepare(*next, configured, settings.setup.inputExtension, inputs)) {
        continue;
      } else if (settings.setup.skipExisting && configured.outputComplete(next->name.c_str(), next->path)) {
        next->skipped = true;
        next->result = kExtractOk;
      } else if (!recordingOpens(next->path)) {
        next->inOrder = true;
        heldBack = true;
      } else {
        next->submitted = true;
        workers.submit(*next);
      }
    }
    if (ahead.empty()) break;

    Utterance& u = *ahead.front();
    if ((u.submitted && !workers.waitFor(u, interrupted)) || inOrder.interrupted()) break;
    if (u.inOrder) {
      workers.runHere(u);
      heldBack = false;
    } else if (u.refusal.empty() && u.result != kExtractOk && u.result != kNoFrames &&
               u.startedAfterPauses < pauses.load()) {
      workers.submit(u, true);
      continue;
    }
    if (inOrder.finish(u)) pauses.fetch_add(1);
    workers.release(u);
    ahead.pop_front();
  }
  workers.stop();
  return static_cast<long>(ahead.size());
}

// The number of names in the list, read ahead and rewound; -1 when the list
// cannot be rewound (a pipe).
long countNames(std::FILE* list, const LoopSettings& settings) {
  const long start = std::ftell(list);
  if (start < 0) return -1;
  ListReader reader(list, kPathCapacity);
  reader.share(settings.setup.part, settings.setup.parts);
  if (settings.setup.pairs) reader.pairs();
  std::string name;
  long count = 0;
  while (reader.next(name)) ++count;
  std::clearerr(list);
  if (std::fseek(list, start, SEEK_SET) != 0) return -1;
  return count;
}

// The list file, and with pairs the sources of a list that is a regular
// file, read ahead (every share's: a target of this share must not be
// another share's source) and rewound.
RunInputs inputsOf(std::FILE* list, const LoopSettings& settings) {
  RunInputs inputs;
  inputs.files.add(kit::identifyDescriptor(fileno(list)), RunInputs::kListFile);
  struct stat info;
  const long start = std::ftell(list);
  if (!settings.setup.pairs || fstat(fileno(list), &info) != 0 || !S_ISREG(info.st_mode) || start < 0) return inputs;
  ListReader reader(list, kPathCapacity);
  reader.pairs();
  ListEntry entry;
  char path[kPathCapacity];
  while (reader.next(entry)) {
    if (!entry.problem.empty() || entry.source.empty()) continue;
    const int length = std::snprintf(path, sizeof path, "%s/%s", IN_WAV_DIR, entry.source.c_str());
    if (length > 0 && length < kPathCapacity) inputs.files.add(path, entry.line);
  }
  std::clearerr(list);
  inputs.sourcesAhead = std::fseek(list, start, SEEK_SET) == 0;
  return inputs;
}

// The tool's words for a problem, on the extractor's error stream.
// A recording that is not there, while an audio file of the same name with
// a common extension is: the options that would read it.
std::string optionsForNeighbour(const std::string& path) {
  static const char* const kExtensions[] = {"wav", "flac", "WAV", "FLAC", "aif", "aiff", "au", "caf", "w64", "rf64",
                                            "sph", "nist", "ogg", "opus", "mp3", "raw", "pcm"};
  for (const char* ext : kExtensions) {
    struct stat info;
    const std::string neighbour = path + "." + ext;
    if (stat(neighbour.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    const bool raw = std::strcmp(ext, "raw") == 0 || std::strcmp(ext, "pcm") == 0;
    return printableName(neighbour) + " exists: did you mean --input-extension=" + ext +
           (raw ? "" : " --input-format=audio") + "?";
  }
  return "";
}

void printToolProblem(std::FILE* errors, const Problem& problem) {
  const char* hint = problem.kind == ProblemKind::kContainerReadAsRaw ? " (--input-format=audio reads the file as audio)" : "";
  std::fprintf(errors, "feature: %s%s%s\n", problem.isWarning() ? "warning: " : "", describe(problem).c_str(), hint);
  if (problem.kind == ProblemKind::kRecordingRefused && problem.count != 0) {
    std::fprintf(errors, "feature: %s\n", readingHint(problem.count).c_str());
  }
  if (problem.kind == ProblemKind::kCannotReadRecording && problem.error == ENOENT) {
    const std::string hint = optionsForNeighbour(problem.path);
    if (!hint.empty()) std::fprintf(errors, "feature: %s\n", hint.c_str());
  }
}

}  // namespace

int runBatch(std::FILE* list, FEATURE& configured, const LoopSettings& settings) {
  configured.settings.printProblem = printToolProblem;
  const long total = settings.progressLine != nullptr ? countNames(list, settings) : -1;
  Progress progress(settings.progressLine, settings.summary, total);
  ListReader names(list, kPathCapacity);
  names.share(settings.setup.part, settings.setup.parts);
  if (settings.setup.pairs) names.pairs();
  InOrder inOrder(settings, progress);
  int status = 1;
  kit::OutputFile record;
  try {
    RunInputs inputs = inputsOf(list, settings);
    if (!settings.setup.record.empty()) {
      const std::string name = kit::recordNameOfPart(settings.setup.record, settings.setup.part, settings.setup.parts);
      if (inputs.files.find(kit::identify(name)) == RunInputs::kListFile) {
        throw std::runtime_error("--record names the list file " + name + ": the record would replace it");
      }
      if (!record.open(name)) throw std::runtime_error(record.error().describe());
      inOrder.keepRecord(&record);
    }
    long unfinished = 0;  // names read ahead but not finished when the run stopped
    if (settings.jobs <= 1) {
      runOnThisThread(names, configured, settings, inOrder, inputs);
    } else {
      unfinished = runOnWorkers(names, configured, settings, inOrder, inputs);
    }
    status = inOrder.status();
    if (inOrder.stopped()) {
      // The names after the one whose recording could not be read; a list
      // that is not a file (a pipe, a device) is not read on for them.
      struct stat info;
      long notTried = -1;
      if (fstat(fileno(list), &info) == 0 && S_ISREG(info.st_mode)) {
        notTried = unfinished;
        std::string name;
        while (names.next(name)) {
          ++notTried;
          inOrder.recordNotTried(name);
        }
      }
      progress.stoppedEarly(notTried);
      progress.clearLine();
      std::fflush(stdout);
      std::string rest;
      if (notTried < 0) {
        rest = "; the rest of the list is not read";
      } else if (notTried > 0) {
        rest = "; " + counted(notTried, "name", "names") + (notTried == 1 ? " of the list was" : " of the list were") +
               " not tried";
      }
      if (inOrder.wasInterrupted()) {
        std::fprintf(stderr, "feature: the run was interrupted%s\n", rest.c_str());
      } else {
        std::fprintf(stderr, "feature: the run stops at %s%s\n", printableName(inOrder.stoppedAt()).c_str(),
                     rest.c_str());
      }
    }
  } catch (const std::exception& e) {
    progress.clearLine();
    std::fflush(stdout);
    std::fprintf(stderr, "feature: the run stopped: %s\n", e.what());
    status = 1;
  }
  if (record.isOpen()) {
    if (!record.close() || !record.commit()) {
      std::fprintf(stderr, "feature: %s\n", record.error().describe().c_str());
      record.abandon();
      status = 1;
    }
  }
  std::fflush(stdout);
  progress.end();
  return status;
}

std::string prepareRun(const RunSetup& setup, FEATURE& f, LoopSettings& settings) {
  const NormalisationMode* mode = modeNamed(setup.mode.c_str());
  if (mode == nullptr) return "unknown mode '" + setup.mode + "'; modes: " + kit::listOf(modeNames(), ", ") + " (exactly so)";
  // An empty directory would mean the root directory.
  if (setup.inputDir.empty() || setup.outputDir.empty()) {
    return std::string("the ") + (setup.inputDir.empty() ? "input" : "output") +
           " directory argument is empty (an unset variable?)";
  }
  if (setup.inputDir.size() > kDirCapacity - 1) {
    return "input directory is longer than " + std::to_string(kDirCapacity - 1) + " characters: " + setup.inputDir;
  }
  // The output directory gets a "/" appended.
  if (setup.outputDir.size() > kDirCapacity - 2) {
    return "output directory is longer than " + std::to_string(kDirCapacity - 2) + " characters: " + setup.outputDir;
  }
  int jobs = 0;
  const std::string badJobs = kit::readJobs(std::to_string(setup.jobs).c_str(), jobs);
  if (!badJobs.empty()) return badJobs;
  long part = 0, parts = 1;
  const std::string badPart =
      kit::readPart((std::to_string(setup.part) + "/" + std::to_string(setup.parts)).c_str(), part, parts);
  if (!badPart.empty()) return badPart;
  if (setup.pairs && !setup.inputExtension.empty()) {
    return "--input-extension does not go with --pairs: the list names every source file whole";
  }
  if (setup.inputFormat != InputFormat::kRaw && !audioInputSupported()) {
    return "this build reads raw recordings only (built without libsndfile)";
  }
  const std::string badChoice = conversionChoiceProblem(setup);
  if (!badChoice.empty()) return badChoice;
  const std::string badOutput = feature::outputProblem(setup.output, mode->normType);
  if (!badOutput.empty()) return badOutput;
  f.normType = mode->normType;
  f.settings.output = setup.output;
  std::snprintf(f.outExt, sizeof f.outExt, "%s", outputExtension(setup.output, f.normType));
  f.settings.writeCepstrumFiles = setup.cepstrumFiles;
  // Resolved here, once for the run: every utterance runs the same kernel.
  f.settings.frontEnd = resolveFrontEnd(setup.frontEnd);
  f.settings.inputFormat = setup.inputFormat;
  f.settings.conversion = {setup.convert || setup.lossy, setup.lossy, setup.channel, setup.downmix};
  f.settings.skipEmptyFiles = setup.noEmptyFiles;
  f.settings.longRecordings = setup.longRecordings;
  f.settings.exactOutputNames = setup.pairs;
  f.settings.htkParmKind = setup.output != feature::Output::Mfcc ? filterBankParmKind(f.normType, setup.output)
                           : setup.htkQualifiers                 ? qualifiedParmKind(f.normType)
                                                                 : 6;
  std::snprintf(IN_WAV_DIR, sizeof IN_WAV_DIR, "%s", setup.inputDir.c_str());
  std::snprintf(OUT_C12_DIR, sizeof OUT_C12_DIR, "%s/", setup.outputDir.c_str());
  std::snprintf(OUT_EC_DIR, sizeof OUT_EC_DIR, "%s/", setup.outputDir.c_str());
  f.ini_fea_para();

  settings.setup = setup;
  settings.jobs = jobs;
  settings.summary = setup.quiet ? nullptr : stderr;
  settings.progressLine = !setup.quiet && isatty(STDERR_FILENO) ? stderr : nullptr;
  return "";
}

std::string printableName(const std::string& name) { return kit::printable(name); }

std::string conversionChoiceProblem(const RunSetup& setup) {
  const bool chosen = setup.convert || setup.lossy || setup.channel >= 0 || setup.downmix;
  if (chosen && setup.inputFormat == InputFormat::kRaw) {
    return "--convert, --lossy, --channel and --downmix read audio files: add --input-format=audio";
  }
  if (setup.channel >= 0 && setup.downmix) return "--channel and --downmix do not go together: one channel, or their mean";
  return "";
}

std::string readingHint(std::int64_t needs) {
  return readingHint(needs, {"--lossy", "--convert", "--channel=N", "--downmix"});
}
