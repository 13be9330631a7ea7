#include "ordered_pool.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "worker_pool.h"

namespace kit {

void runInOrder(std::size_t count, int workers, std::size_t window, const PoolCalls& calls) {
  struct Job {
    std::size_t index;
  };
  std::vector<Job> jobs(count);
  for (std::size_t i = 0; i < count; ++i) jobs[i].index = i;
  WorkerPool<Job>::Calls poolCalls;
  poolCalls.makeRunner = [&calls]() -> WorkerPool<Job>::Runner {
    std::function<void(std::size_t)> run = calls.makeRunner();
    return [run](Job& job) { run(job.index); };
  };
  poolCalls.failed = [&calls](Job& job, const std::string& what) { calls.failed(job.index, what); };
  poolCalls.notice = [&calls](const std::string& words) {
    if (calls.notice) {
      calls.notice(words);
    } else {
      std::fprintf(stderr, "%s\n", words.c_str());
    }
  };
  // One worker: the calling thread does the jobs itself.
  WorkerPool<Job> pool(std::min<std::size_t>(static_cast<std::size_t>(std::max(1, workers)), count) > 1 ? workers : 0,
                       poolCalls);
  window = std::max<std::size_t>(window, 1);
  std::size_t submitted = 0;
  for (std::size_t i = 0; i < count; ++i) {
    for (; submitted < count && submitted < i + window; ++submitted) pool.submit(jobs[submitted]);
    pool.waitFor(jobs[i]);
    pool.release(jobs[i]);
    calls.deliver(i);
  }
}

}  // namespace kit
