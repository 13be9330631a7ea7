// Jobs 0 .. count - 1 on the worker pool, their results handed over in the
// order of the jobs: what feature-kaldi and the Python batch calls run on.
#ifndef KIT_ORDERED_POOL_H
#define KIT_ORDERED_POOL_H

#include <cstddef>
#include <functional>
#include <string>

namespace kit {

struct PoolCalls {
  // Once for each worker (and for the calling thread, when it works): the
  // function that runs job i there.
  std::function<std::function<void(std::size_t)>()> makeRunner;
  // Job i threw (what() of the exception, or "an unknown exception"):
  // called on the thread that ran it, instead of a result.
  std::function<void(std::size_t, const std::string&)> failed;
  // On the calling thread, for i = 0, 1, ... in order, once job i is done.
  std::function<void(std::size_t)> deliver;
  // A worker that could not start, in words; null: said on standard error.
  std::function<void(const std::string&)> notice;
};

// Runs the jobs on up to workers threads; at most window jobs are done and
// waiting for delivery at any time (memory stays bounded by a few results).
// Returns when every job was delivered.
void runInOrder(std::size_t count, int workers, std::size_t window, const PoolCalls& calls);

}  // namespace kit

#endif  // KIT_ORDERED_POOL_H
