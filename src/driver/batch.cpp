#include "batch.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "list_reader.h"
#include "progress.h"

namespace {

// One name of the list on its way through the extractor.
struct Utterance {
  long index = 0;          // position in the list
  std::string name;
  std::string refusal;     // why it was refused before extraction, if it was
  char path[kPathCapacity] = {};
  int result = kExtractFailed;
  int frames = 0;
  long samples = 0;
  std::string messages;    // what the extractor printed (workers only)
  bool done = false;
};

// Checks the name and builds the input path; on failure says why in
// u.refusal. Names and paths must fit their 512-byte buffers.
bool prepare(Utterance& u) {
  char text[kPathCapacity + 128];
  if (u.name.find('\0') != std::string::npos) {
    std::snprintf(text, sizeof text, "feature: skipped a name that holds a NUL byte: %s\n",
                  u.name.c_str());
  } else if (u.name.size() > kPathCapacity - 1) {
    std::snprintf(text, sizeof text, "feature: skipped a name longer than %d characters: %.100s...\n",
                  kPathCapacity - 1, u.name.c_str());
  } else {
    const int length = std::snprintf(u.path, sizeof u.path, "%s/%s", IN_WAV_DIR, u.name.c_str());
    if (length >= 0 && length < kPathCapacity) return true;
    std::snprintf(text, sizeof text,
                  "feature: skipped %.100s: its input path is longer than %d characters\n",
                  u.name.c_str(), kPathCapacity - 1);
  }
  u.refusal = text;
  return false;
}

int runOnThisThread(ListReader& names, FEATURE& f, Progress& progress) {
  int failures = 0;
  for (;;) {
    Utterance u;
    if (!names.next(u.name)) break;
    if (prepare(u)) {
      u.result = f.doExtract(u.path, u.name.c_str(), 1);
      u.frames = f.totalFrame;
      u.samples = f.samplesRead;
      f.doReset();
    } else {
      std::fputs(u.refusal.c_str(), stderr);
    }
    progress.finished(u.result, u.frames, u.samples);
    if (u.result == kRecordingUnreadable) return 1;
    if (u.result != kExtractOk) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

// Workers take prepared utterances in list order; the calling thread reads
// the list ahead into a bounded window and finishes the utterances in list
// order: their messages on standard output, the pause after "Error", the
// count of failures.
class Workers {
 public:
  Workers(const FEATURE& configured, int count) {
    for (int i = 0; i < count; ++i) {
      auto f = std::make_unique<FEATURE>(configured);
      f->pauseAfterError = false;
      threads_.emplace_back([this, extractor = f.get()] { work(*extractor); });
      extractors_.push_back(std::move(f));
    }
  }

  ~Workers() { stop(); }

  void start(Utterance* u) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.push_back(u);
    }
    ready_.notify_one();
  }

  void waitFor(const Utterance& u) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&u] { return u.done; });
  }

  // Lets the utterances in progress finish and starts no other.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.clear();
      closing_ = true;
    }
    ready_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  void work(FEATURE& f) {
    for (;;) {
      Utterance* u = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        u = waiting_.front();
        waiting_.pop_front();
      }
      // Nothing after a recording that cannot be opened is started.
      if (u->index < stopAfter_.load()) extract(f, *u);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        u->done = true;
      }
      finished_.notify_all();
    }
  }

  void extract(FEATURE& f, Utterance& u) {
    char* text = nullptr;
    std::size_t length = 0;
    f.console = open_memstream(&text, &length);
    if (f.console == nullptr) {
      u.messages = "memory allocate error\n";
      u.result = kExtractFailed;
      return;
    }
    u.result = f.doExtract(u.path, u.name.c_str(), 1);
    u.frames = f.totalFrame;
    u.samples = f.samplesRead;
    f.doReset();
    std::fclose(f.console);
    f.console = stdout;
    u.messages.assign(text, length);
    std::free(text);
    if (u.result == kRecordingUnreadable) {
      long current = stopAfter_.load();
      while (u.index < current && !stopAfter_.compare_exchange_weak(current, u.index)) {
      }
    }
  }

  std::vector<std::unique_ptr<FEATURE>> extractors_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable finished_;
  std::deque<Utterance*> waiting_;
  bool closing_ = false;
  std::atomic<long> stopAfter_{LONG_MAX};
};

int runOnWorkers(ListReader& names, const FEATURE& configured, int jobs, Progress& progress) {
  Workers workers(configured, jobs);
  const std::size_t window = static_cast<std::size_t>(4 * jobs);
  std::deque<std::unique_ptr<Utterance>> ahead;
  long nextIndex = 0;
  bool listEnded = false;
  int failures = 0;
  for (;;) {
    while (!listEnded && ahead.size() < window) {
      auto u = std::make_unique<Utterance>();
      if (!names.next(u->name)) {
        listEnded = true;
        break;
      }
      u->index = nextIndex++;
      if (prepare(*u)) {
        workers.start(u.get());
      } else {
        u->done = true;
      }
      ahead.push_back(std::move(u));
    }
    if (ahead.empty()) break;

    Utterance& u = *ahead.front();
    workers.waitFor(u);
    if (!u.refusal.empty()) std::fputs(u.refusal.c_str(), stderr);
    std::fwrite(u.messages.data(), 1, u.messages.size(), stdout);
    if (u.result == kOutputFailed) {
      std::fflush(stdout);
      std::getchar();
    }
    progress.finished(u.result, u.frames, u.samples);
    if (u.result == kRecordingUnreadable) {
      workers.stop();
      return 1;
    }
    if (u.result != kExtractOk) ++failures;
    ahead.pop_front();
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

namespace {

// The number of names in the list, read ahead and rewound; -1 when the list
// cannot be rewound (a pipe).
long countNames(std::FILE* list) {
  const long start = std::ftell(list);
  if (start < 0) return -1;
  ListReader reader(list);
  std::string name;
  long count = 0;
  while (reader.next(name)) ++count;
  std::clearerr(list);
  if (std::fseek(list, start, SEEK_SET) != 0) return -1;
  return count;
}

}  // namespace

int runBatch(std::FILE* list, FEATURE& configured, const BatchSettings& settings) {
  const long total = settings.progressLine != nullptr ? countNames(list) : -1;
  Progress progress(settings.progressLine, settings.summary, total);
  ListReader names(list);
  const int status = settings.jobs <= 1
                         ? runOnThisThread(names, configured, progress)
                         : runOnWorkers(names, configured, settings.jobs, progress);
  std::fflush(stdout);
  progress.end();
  return status;
}

int availableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}
