// Jobs on worker threads, their results handed over in the order of the
// jobs: what feature-kaldi and the Python batch calls run on. Each worker
// makes its own state once (an extractor, a reader) through makeRunner; a
// worker that cannot start (no thread, no memory for its state) is said
// once through notice, and the others do its share; with none at all, the
// calling thread does every job itself. An exception that escapes a job
// becomes that job's failure, never the process's end.
#ifndef KIT_ORDERED_POOL_H
#define KIT_ORDERED_POOL_H

#include <cstddef>
#include <functional>
#include <string>

namespace kit {

struct PoolCalls {
  // On each worker thread, once: the function that runs job i there.
  std::function<std::function<void(std::size_t)>()> makeRunner;
  // Job i threw (what() of the exception, or "an unknown exception"):
  // called on the thread that ran it, instead of a result.
  std::function<void(std::size_t, const std::string&)> failed;
  // On the calling thread, for i = 0, 1, ... in order, once job i is done.
  std::function<void(std::size_t)> deliver;
  // A worker that could not start, in words; null: said on standard error.
  std::function<void(const std::string&)> notice;
};

// Runs jobs 0 .. count - 1 on up to workers threads; at most window jobs are
// done and waiting for delivery at any time (memory stays bounded by a few
// results). Returns when every job was delivered.
void runInOrder(std::size_t count, int workers, std::size_t window, const PoolCalls& calls);

}  // namespace kit

#endif  // KIT_ORDERED_POOL_H
