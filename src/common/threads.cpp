#include "common/threads.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>

#include "common/machine.h"
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

int kx_threadCount() {
  // An invalid value falls back to the default here; the tools refuse it
  // before they get this far (kx_threadSettingError).
  static const int count = [] {
    const int asked = kx_parseThreadCount(std::getenv("KX_THREADS"));
    return asked > 0 ? asked : std::min(kx_processorCount(), kMaxThreads);
  }();
  return count;
}

// ---- ThreadPool ------------------------------------------------------------------

// A job in the pool's queue; both calls are made with the pool's mutex held.
struct ThreadPool::Job {
  virtual ~Job() = default;
  // The next task that may begin, or -1 when none may now; a job that has
  // no task left to begin now takes itself out of the queue.
  virtual int64_t claim(std::deque<Job*>& queue) = 0;
  // Runs a claimed task, releasing the mutex while it runs.
  virtual void runTask(int64_t index, std::unique_lock<std::mutex>& lock) = 0;
};

// The tasks of run().
struct ThreadPool::TaskJob final : Job {
  const std::function<void(int)>& task;
  int count;
  int next = 0;  // first task not yet handed out
  int done = 0;  // tasks ended (or skipped after a failure)
  // The lowest task that failed; later tasks are skipped. Read without the
  // lock by tasks' executors, hence atomic.
  std::atomic<int> failed;
  std::vector<std::exception_ptr> errors;
  std::vector<HeldMessages> messages;
  std::condition_variable_any ended;

  TaskJob(const std::function<void(int)>& t, int n)
      : task(t), count(n), failed(n), errors(n), messages(n) {}

  int64_t claim(std::deque<Job*>& queue) override {
    // Tasks after a failed one are counted as ended without being begun.
    while (next < count && next > failed.load(std::memory_order_relaxed)) {
      ++next;
      ++done;
    }
    if (next >= count) {
      std::erase(queue, this);
      if (done == count) ended.notify_all();
      return -1;
    }
    const int index = next++;
    if (next == count) std::erase(queue, this);
    return index;
  }

  void runTask(int64_t index, std::unique_lock<std::mutex>& lock) override {
    const int i = static_cast<int>(index);
    lock.unlock();
    {
      MessageBuffer hold;
      try {
        task(i);
      } catch (...) {
        errors[i] = std::current_exception();
        int first = failed.load();
        while (i < first && !failed.compare_exchange_weak(first, i)) {
        }
      }
      messages[i] = hold.take();
    }
    lock.lock();
    // The job's owner may destroy it as soon as the lock is released.
    if (++done == count) ended.notify_all();
  }
};

// The works of runOrdered(): begun in order while the window allows, their
// results (held messages, an exception) kept until consumed.
struct ThreadPool::OrderedJob final : Job {
  struct Outcome {
    HeldMessages messages;
    std::exception_ptr error;
  };
  const std::function<void(int64_t)>& work;
  int64_t count;
  int64_t next = 0;   // first work not yet begun
  int64_t limit = 0;  // works below this may begin
  int64_t running = 0;
  bool queued = false;
  std::map<int64_t, Outcome> finished;
  std::condition_variable_any changed;

  OrderedJob(const std::function<void(int64_t)>& w, int64_t n) : work(w), count(n) {}

  int64_t claim(std::deque<Job*>& queue) override {
    if (next >= count || next >= limit) {
      if (queued) std::erase(queue, this);
      queued = false;
      return -1;
    }
    ++running;
    return next++;
  }

  void runTask(int64_t index, std::unique_lock<std::mutex>& lock) override {
    lock.unlock();
    Outcome outcome;
    {
      MessageBuffer hold;
      try {
        work(index);
      } catch (...) {
        outcome.error = std::current_exception();
      }
      outcome.messages = hold.take();
    }
    lock.lock();
    finished.emplace(index, std::move(outcome));
    --running;
    changed.notify_all();
  }
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

void ThreadPool::work(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!wake_.wait(lock, stop, [this] { return !queue_.empty(); })) return;
    Job& job = *queue_.front();
    const int64_t index = job.claim(queue_);
    if (index >= 0) job.runTask(index, lock);
  }
}

void ThreadPool::run(int count, const std::function<void(int)>& task) {
  if (count <= 0) return;
  TaskJob job(task, count);
  std::unique_lock lock(mutex_);
  if (count > 1 && !workers_.empty()) {
    queue_.push_back(&job);
    if (count == 2) {
      wake_.notify_one();
    } else {
      wake_.notify_all();
    }
  }
  for (int64_t index; (index = job.claim(queue_)) >= 0;) job.runTask(index, lock);
  job.ended.wait(lock, [&job] { return job.done == job.count; });
  lock.unlock();

  for (int i = 0; i < count; ++i) {
    kx_replay(job.messages[i]);
    if (job.errors[i]) std::rethrow_exception(job.errors[i]);
  }
}

void ThreadPool::runOrdered(int64_t count, const std::function<int64_t()>& ahead,
                            const std::function<void(int64_t)>& work,
                            const std::function<bool(int64_t)>& consume) {
  if (count <= 0) return;
  OrderedJob job(work, count);
  std::unique_lock lock(mutex_);
  // Opens the window up to `consumed` + ahead() and offers the job to the
  // workers while it has works that may begin.
  auto open = [&](int64_t consumed) {
    job.limit = consumed + std::max<int64_t>(ahead(), 1);
    if (!job.queued && job.next < std::min(job.limit, count) && !workers_.empty()) {
      queue_.push_back(&job);
      job.queued = true;
      wake_.notify_all();
    }
  };
  // However consuming ends, no work is left running on the job.
  struct Drain {
    ThreadPool& pool;
    OrderedJob& job;
    std::unique_lock<std::mutex>& lock;
    ~Drain() {
      if (!lock.owns_lock()) lock.lock();
      job.limit = 0;
      if (job.queued) std::erase(pool.queue_, &job);
      job.queued = false;
      job.changed.wait(lock, [this] { return job.running == 0; });
    }
  } drain{*this, job, lock};
  open(0);
  for (int64_t i = 0; i < count; ++i) {
    while (!job.finished.contains(i)) {
      const int64_t index = job.claim(queue_);
      if (index >= 0) {
        job.runTask(index, lock);
      } else {
        job.changed.wait(lock);
      }
    }
    OrderedJob::Outcome outcome = std::move(job.finished.extract(i).mapped());
    lock.unlock();
    kx_replay(outcome.messages);
    if (outcome.error) std::rethrow_exception(outcome.error);
    if (!consume(i)) return;
    lock.lock();
    open(i + 1);
  }
}

ThreadPool* kx_pool() {
  static const std::unique_ptr<ThreadPool> pool =
      kx_threadCount() > 1 ? std::make_unique<ThreadPool>(kx_threadCount()) : nullptr;
  return pool.get();
}

void runTasks(ThreadPool* pool, int count, const std::function<void(int)>& task) {
  if (pool) {
    pool->run(count, task);
  } else {
    for (int i = 0; i < count; ++i) task(i);
  }
}

void runOrdered(ThreadPool* pool, int64_t count, const std::function<int64_t()>& ahead,
                const std::function<void(int64_t)>& work,
                const std::function<bool(int64_t)>& consume) {
  if (pool) {
    pool->runOrdered(count, ahead, work, consume);
    return;
  }
  for (int64_t i = 0; i < count; ++i) {
    work(i);
    if (!consume(i)) return;
  }
}

int stripeCount(const ThreadPool* pool, int64_t items, int64_t minimum, int perThread) {
  const int64_t most = int64_t{threadsOf(pool)} * std::max(perThread, 1);
  return static_cast<int>(std::clamp<int64_t>(items / std::max<int64_t>(minimum, 1), 1, most));
}

}  // namespace kx
