#include "ordered_pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kit {

namespace {

// Runs job i, turning an exception into its failure.
void runJob(const std::function<void(std::size_t)>& run, const PoolCalls& calls, std::size_t i) {
  try {
    run(i);
  } catch (const std::exception& e) {
    calls.failed(i, e.what());
  } catch (...) {
    calls.failed(i, "an unknown exception");
  }
}

void say(const PoolCalls& calls, const std::string& words) {
  if (calls.notice) {
    calls.notice(words);
  } else {
    std::fprintf(stderr, "%s\n", words.c_str());
  }
}

}  // namespace

void runInOrder(std::size_t count, int workers, std::size_t window, const PoolCalls& calls) {
  const int wanted = static_cast<int>(std::min<std::size_t>(std::max(1, workers), count));
  std::mutex lock;
  std::condition_variable changed;
  std::vector<char> ready(count, 0);
  std::size_t next = 0;       // the next job to hand out
  std::size_t delivered = 0;  // jobs delivered so far
  int started = 0, running = 0, failedToStart = 0;
  std::string firstReason;
  window = std::max<std::size_t>(window, 1);

  const auto work = [&] {
    std::function<void(std::size_t)> run;
    try {
      run = calls.makeRunner();
    } catch (const std::exception& e) {
      const std::lock_guard<std::mutex> hold(lock);
      if (firstReason.empty()) firstReason = e.what();
      ++failedToStart;
      --running;
      changed.notify_all();
      return;
    }
    for (;;) {
      std::size_t mine;
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return next >= count || next < delivered + window; });
        if (next >= count) {
          --running;
          changed.notify_all();
          return;
        }
        mine = next++;
      }
      runJob(run, calls, mine);
      {
        const std::lock_guard<std::mutex> hold(lock);
        ready[mine] = 1;
      }
      changed.notify_all();
    }
  };

  std::vector<std::thread> threads;
  if (wanted > 1) {
    for (int w = 0; w < wanted; ++w) {
      try {
        {
          const std::lock_guard<std::mutex> hold(lock);
          ++running;
        }
        threads.emplace_back(work);
        ++started;
      } catch (const std::exception& e) {
        const std::lock_guard<std::mutex> hold(lock);
        --running;
        ++failedToStart;
        if (firstReason.empty()) firstReason = e.what();
      }
    }
  }
  // The calling thread delivers in order; it does the jobs itself when no
  // worker runs (none wanted, or none could start).
  std::function<void(std::size_t)> own;
  bool told = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return ready[i] != 0 || running == 0; });
    if (failedToStart > 0 && !told) {
      told = true;
      const int going = started - failedToStart;
      const std::string reason = firstReason;
      hold.unlock();
      say(calls, going > 0 ? "could start only " + std::to_string(going) + " of " + std::to_string(wanted) +
                                 " workers (" + reason + "); going on with " + std::to_string(going)
                           : "could not start a worker (" + reason + "); going on with this thread alone");
      hold.lock();
    }
    if (ready[i] == 0) {
      // No worker is left: this thread takes the job, if nobody has.
      const bool mine = next <= i;
      if (mine) next = i + 1;
      hold.unlock();
      if (mine) {
        if (!own) {
          try {
            own = calls.makeRunner();
          } catch (const std::exception& e) {
            own = [&calls, what = std::string(e.what())](std::size_t j) { calls.failed(j, what); };
          }
        }
        runJob(own, calls, i);
      }
      hold.lock();
      changed.wait(hold, [&] { return ready[i] != 0 || mine; });
    }
    hold.unlock();
    calls.deliver(i);
    hold.lock();
    delivered = i + 1;
    hold.unlock();
    changed.notify_all();
  }
  for (auto& t : threads) t.join();
}

}  // namespace kit
