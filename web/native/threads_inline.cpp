// The thread pool of the WebAssembly build, which has one thread: every
// job runs on the calling thread, task after task in order, as the pool
// runs them when it has no worker. Stands in for common/threads.cpp.
#include <algorithm>

#include "common/threads.h"

namespace kx {

int kx_threadCount() {
  return 1;
}

ThreadPool::ThreadPool(int) {}
ThreadPool::~ThreadPool() = default;

void ThreadPool::run(int count, const std::function<void(int)>& task) {
  runTasks(nullptr, count, task);
}

void ThreadPool::runOrdered(int64_t count, const std::function<int64_t()>& ahead,
                            const std::function<void(int64_t)>& work,
                            const std::function<bool(int64_t)>& consume) {
  kx::runOrdered(nullptr, count, ahead, work, consume);
}

ThreadPool* kx_pool() {
  return nullptr;
}

void runTasks(ThreadPool*, int count, const std::function<void(int)>& task) {
  for (int i = 0; i < count; ++i) task(i);
}

void runOrdered(ThreadPool*, int64_t count, const std::function<int64_t()>&,
                const std::function<void(int64_t)>& work,
                const std::function<bool(int64_t)>& consume) {
  for (int64_t i = 0; i < count; ++i) {
    work(i);
    if (!consume(i)) return;
  }
}

int stripeCount(const ThreadPool*, int64_t items, int64_t minimum, int perThread) {
  const int64_t most = std::max(perThread, 1);
  return static_cast<int>(std::clamp<int64_t>(items / std::max<int64_t>(minimum, 1), 1, most));
}

}  // namespace kx
