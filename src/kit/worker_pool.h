// The one pool of worker threads of every program and of the Python batch
// calls. Jobs are queued and taken in order; a worker is started only when
// a job waits and every worker is busy, so there are never more workers
// than jobs. Each worker gets its own state once, from makeRunner, called
// on the thread that adds the worker (it may copy what that thread owns); a
// worker that cannot start (no thread, no memory for its state) is said once
// through notice and the others do its share, and with none at all the
// calling thread does each job itself. An exception that escapes a job is
// handed to failed on the thread that ran it.
#ifndef KIT_WORKER_POOL_H
#define KIT_WORKER_POOL_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace kit {

template <class Job>
class WorkerPool {
 public:
  using Runner = std::function<void(Job&)>;
  struct Calls {
    std::function<Runner()> makeRunner;
    // The runner of the calling thread (runHere, and every job when no
    // worker runs); null: one from makeRunner.
    std::function<Runner()> makeOwnRunner;
    // A job threw: what() of the exception (or "an unknown exception").
    std::function<void(Job&, const std::string&)> failed;
    // A worker could not start: "could start only 2 of 4 workers (why);
    // going on with 2", or "could not start a worker (why); going on with
    // this thread alone".
    std::function<void(const std::string&)> notice;
  };

  WorkerPool(int wanted, Calls calls) : wanted_(wanted), calls_(std::move(calls)) {}
  ~WorkerPool() { stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues job, at the back, or at the front to have it done next.
  void submit(Job& job, bool first = false) {
    bool busy;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      finished_.erase(&job);
      busy = waiting_.size() + 1 > idle_;
    }
    if (busy && static_cast<int>(workers_.size()) < wanted_ && !startFailed_) addWorker();
    if (workers_.empty()) {
      runHere(job);
      return;
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (first) {
        waiting_.push_front(&job);
      } else {
        waiting_.push_back(&job);
      }
    }
    ready_.notify_one();
  }

  // Does job on the calling thread, with a runner of the calling thread's.
  void runHere(Job& job) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      finished_.erase(&job);
    }
    if (!own_) {
      try {
        own_ = calls_.makeOwnRunner ? calls_.makeOwnRunner() : calls_.makeRunner();
      } catch (const std::exception& e) {
        const std::string why = e.what();
        own_ = [this, why](Job& j) { calls_.failed(j, why); };
      }
    }
    run(own_, job);
  }

  bool done(const Job& job) {
    std::lock_guard<std::mutex> hold(mutex_);
    return finished_.count(&job) != 0;
  }

  // The caller is through with a done job (it may be destroyed).
  void release(const Job& job) {
    std::lock_guard<std::mutex> hold(mutex_);
    finished_.erase(&job);
  }

  // Waits until job is done. Asks interrupted every 0.1 s while it waits;
  // once that says yes, returns whether the job is done.
  bool waitFor(const Job& job, const std::function<bool()>& interrupted = {}) {
    std::unique_lock<std::mutex> hold(mutex_);
    const auto isDone = [&] { return finished_.count(&job) != 0; };
    while (!finished_changed_.wait_for(hold, std::chrono::milliseconds(100), isDone)) {
      if (!interrupted) continue;
      hold.unlock();
      const bool stopNow = interrupted();
      hold.lock();
      if (stopNow) return isDone();
    }
    return true;
  }

  // Starts no other job, lets those under way finish, joins the workers.
  void stop() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      waiting_.clear();
      closing_ = true;
    }
    ready_.notify_all();
    for (auto& w : workers_) {
      if (w.joinable()) w.join();
    }
    workers_.clear();
  }

  int workers() const { return static_cast<int>(workers_.size()); }

 private:
  void run(const Runner& runner, Job& job) {
    try {
      runner(job);
    } catch (const std::exception& e) {
      calls_.failed(job, e.what());
    } catch (...) {
      calls_.failed(job, "an unknown exception");
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      finished_.insert(&job);
    }
    finished_changed_.notify_all();
  }

  void addWorker() {
    try {
      Runner runner = calls_.makeRunner();
      workers_.emplace_back([this, runner = std::move(runner)] { work(runner); });
    } catch (const std::exception& e) {
      startFailed_ = true;
      const std::string words =
          workers_.empty() ? "could not start a worker (" + std::string(e.what()) + "); going on with this thread alone"
                           : "could start only " + std::to_string(workers_.size()) + " of " + std::to_string(wanted_) +
                                 " workers (" + e.what() + "); going on with " + std::to_string(workers_.size());
      if (calls_.notice) calls_.notice(words);
    }
  }

  void work(const Runner& runner) {
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        ++idle_;
        ready_.wait(hold, [this] { return closing_ || !waiting_.empty(); });
        --idle_;
        if (waiting_.empty()) return;
        job = waiting_.front();
        waiting_.pop_front();
      }
      run(runner, *job);
    }
  }

  const int wanted_;
  const Calls calls_;
  bool startFailed_ = false;
  Runner own_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable finished_changed_;
  std::deque<Job*> waiting_;
  std::unordered_set<const Job*> finished_;
  bool closing_ = false;
  std::size_t idle_ = 0;  // workers waiting for a job
};

}  // namespace kit

#endif  // KIT_WORKER_POOL_H
