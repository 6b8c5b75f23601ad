#include "common/threads.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>

#include "common/messages.h"

namespace kx {

int kx_parseThreadCount(const char* value) {
  if (!value || !*value) return 0;
  // Digits only: a sign, blanks or a suffix are more likely a mistake than
  // a count.
  int n = 0;
  for (const char* p = value; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    n = n * 10 + (*p - '0');
    if (n > kMaxThreads) return -1;
  }
  return n >= 1 ? n : -1;
}

std::string kx_threadSettingError() {
  const char* value = std::getenv("KX_THREADS");
  if (kx_parseThreadCount(value) >= 0) return "";
  return "KX_THREADS is \"" + std::string(value) +
         "\": it must be a whole number of threads from 1 to " + std::to_string(kMaxThreads) + "\n";
}

namespace {

int affinityCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n >= 1) return std::min(n, kMaxThreads);
  }
  return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxThreads);
}

}  // namespace

int kx_threadCount() {
  // An invalid value falls back to the default here; the tools refuse it
  // before they get this far (kx_threadSettingError).
  static const int count = [] {
    const int asked = kx_parseThreadCount(std::getenv("KX_THREADS"));
    return asked > 0 ? asked : affinityCount();
  }();
  return count;
}

// ---- ThreadPool ------------------------------------------------------------------

namespace {

thread_local bool tPoolWorker = false;

}  // namespace

struct ThreadPool::Job {
  const std::function<void(int)>* task;
  int count;
  int next = 0;  // first task not yet handed out
  int done = 0;  // tasks ended (or skipped after a failure)
  // The lowest task that failed; later tasks are skipped. Read without the
  // lock by tasks' executors, hence atomic.
  std::atomic<int> failed;
  std::vector<std::exception_ptr> errors;
  std::vector<HeldMessages> messages;
  std::condition_variable_any ended;

  Job(const std::function<void(int)>& t, int n)
      : task(&t), count(n), failed(n), errors(n), messages(n) {}
};

ThreadPool::ThreadPool(int threads) {
  const int workers = std::clamp(threads, 1, kMaxThreads) - 1;
  workers_.reserve(workers);
  for (int i = 0; i < workers; ++i) {
    workers_.emplace_back([this](std::stop_token stop) { work(stop); });
  }
}

ThreadPool::~ThreadPool() {
  for (std::jthread& w : workers_) w.request_stop();
  wake_.notify_all();
  workers_.clear();  // joins
}

int ThreadPool::claim(Job& job) {
  // Tasks after a failed one are counted as ended without being begun.
  while (job.next < job.count && job.next > job.failed.load(std::memory_order_relaxed)) {
    ++job.next;
    ++job.done;
  }
  if (job.next >= job.count) {
    std::erase(queue_, &job);
    if (job.done == job.count) job.ended.notify_all();
    return -1;
  }
  const int index = job.next++;
  if (job.next == job.count) std::erase(queue_, &job);
  return index;
}

void ThreadPool::execute(Job& job, int index) {
  MessageBuffer hold;
  try {
    (*job.task)(index);
  } catch (...) {
    job.errors[index] = std::current_exception();
    int failed = job.failed.load();
    while (index < failed && !job.failed.compare_exchange_weak(failed, index)) {
    }
  }
  job.messages[index] = hold.take();
}

void ThreadPool::work(std::stop_token stop) {
  tPoolWorker = true;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!wake_.wait(lock, stop, [this] { return !queue_.empty(); })) return;
    Job& job = *queue_.front();
    const int index = claim(job);
    if (index < 0) continue;
    lock.unlock();
    execute(job, index);
    lock.lock();
    // The job's owner may destroy it as soon as the lock is released.
    if (++job.done == job.count) job.ended.notify_all();
  }
}

void ThreadPool::run(int count, const std::function<void(int)>& task) {
  if (count <= 0) return;
  Job job(task, count);
  std::unique_lock lock(mutex_);
  if (count > 1 && !workers_.empty()) {
    queue_.push_back(&job);
    if (count == 2) {
      wake_.notify_one();
    } else {
      wake_.notify_all();
    }
  }
  for (int index; (index = claim(job)) >= 0;) {
    lock.unlock();
    execute(job, index);
    lock.lock();
    ++job.done;
  }
  job.ended.wait(lock, [&job] { return job.done == job.count; });
  lock.unlock();

  for (int i = 0; i < count; ++i) {
    kx_replay(job.messages[i]);
    if (job.errors[i]) std::rethrow_exception(job.errors[i]);
  }
}

ThreadPool* kx_pool() {
  static const std::unique_ptr<ThreadPool> pool =
      kx_threadCount() > 1 ? std::make_unique<ThreadPool>(kx_threadCount()) : nullptr;
  // The first thread's id is the process's.
  if (!tPoolWorker && gettid() != getpid()) return nullptr;
  return pool.get();
}

int kx_threadsHere() {
  const ThreadPool* pool = kx_pool();
  return pool ? pool->threads() : 1;
}

void kx_parallel(int count, const std::function<void(int)>& task) {
  if (ThreadPool* pool = kx_pool()) {
    pool->run(count, task);
  } else {
    for (int i = 0; i < count; ++i) task(i);
  }
}

int kx_stripes(int64_t items, int64_t minimum, int perThread) {
  const int64_t most = int64_t{kx_threadsHere()} * std::max(perThread, 1);
  return static_cast<int>(std::clamp<int64_t>(items / std::max<int64_t>(minimum, 1), 1, most));
}

}  // namespace kx
