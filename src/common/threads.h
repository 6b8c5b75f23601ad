// Worker threads: a small pool, the one way the system runs work side by
// side.
//
// The engine takes the pool it may use from its caller (none: the calling
// thread alone, the sequential path the tools have always run); the tools
// make one pool per process, of as many threads as the process may run on
// (its CPU affinity mask) or KX_THREADS, and use it for everything: the
// stripes of a picture, the rows of a wavefront, the frames of a sequence.
// With one thread no thread is ever started.
//
// Work is handed out as numbered tasks of a job. The thread that runs a job
// works on it too and then waits only for tasks that other threads have
// already begun, and tasks are begun in number order; so a task may run a
// job of its own (a frame run as a task splitting its rows), and a task may
// wait for an earlier task of its job, without any thread waiting for work
// that nobody holds.
//
// Tasks do not print: what a task passes to kx_print is held and printed by
// the thread that ran the job, in task order. An exception ends the job:
// tasks after the first one that failed are not begun, the messages of the
// tasks before it and its own are printed, and its exception is rethrown,
// exactly as if the tasks had run one after the other.
//
// Stands on: messages.h.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kx {

constexpr int kMaxThreads = 1024;

// Work on fewer pixels than this stays on the calling thread, and work cut
// into stripes gives each stripe at least this many: below it, waking a
// thread costs more than the pixels.
constexpr int64_t kStripePixels = int64_t{1} << 16;

// A KX_THREADS value: the count (1 to kMaxThreads), 0 for a null or empty
// value (not set: the default applies), -1 for anything else.
int kx_parseThreadCount(const char* value);

// The message for an invalid KX_THREADS, which the tools print before doing
// anything; empty when the variable is unset, empty or valid.
std::string kx_threadSettingError();

// The threads the tools work with: KX_THREADS when valid, else the CPUs of
// the process's affinity mask (at least 1). Read once per process.
int kx_threadCount();

class ThreadPool {
 public:
  // A pool of `threads` threads: the caller of run() and threads − 1 workers.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }

  // Runs task(0) … task(count − 1) and returns when all have ended; see the
  // top of this file for messages and exceptions. Any thread may call it,
  // also a task of this pool.
  void run(int count, const std::function<void(int)>& task);

  // Runs work(0) … work(count − 1) on the pool and consume(i) on the calling
  // thread for i = 0, 1, … in order, each as soon as work(i) has returned,
  // with at most ahead() works begun and not yet consumed (asked again after
  // every consume: what fits may grow as results come in). While the next
  // result is not there, the calling thread runs works itself. What a work
  // prints is held and printed just before its consume. A consume that
  // returns false, or an exception (from a work, rethrown in place of its
  // consume, or from consume), ends the run: no work begins after it, and
  // those begun finish first.
  void runOrdered(int64_t count, const std::function<int64_t()>& ahead,
                  const std::function<void(int64_t)>& work,
                  const std::function<bool(int64_t)>& consume);

 private:
  struct Job;
  struct TaskJob;
  struct OrderedJob;
  void work(std::stop_token stop);

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<Job*> queue_;  // jobs with tasks that may begin
  std::vector<std::jthread> workers_;
};

// The threads that work on a job started with this pool: its threads, or 1
// without one.
inline int threadsOf(const ThreadPool* pool) {
  return pool ? pool->threads() : 1;
}

// task(0) … task(count − 1) on the pool, or one after the other on the
// calling thread without one.
void runTasks(ThreadPool* pool, int count, const std::function<void(int)>& task);

// runOrdered on the pool; without one, work(i) and consume(i) one after the
// other on the calling thread, whatever is printed going out as it comes.
void runOrdered(ThreadPool* pool, int64_t count, const std::function<int64_t()>& ahead,
                const std::function<void(int64_t)>& work,
                const std::function<bool(int64_t)>& consume);

// runOrdered whose works give results: work(i) returns what consume(i, ...)
// takes, handed over in order under a lock of the run's own.
template <class Result>
void runOrderedResults(ThreadPool* pool, int64_t count, const std::function<int64_t()>& ahead,
                       const std::function<Result(int64_t)>& work,
                       const std::function<bool(int64_t, Result&&)>& consume) {
  std::mutex mutex;
  std::map<int64_t, Result> results;
  runOrdered(
      pool, count, ahead,
      [&](int64_t i) {
        Result result = work(i);
        std::lock_guard lock(mutex);
        results.emplace(i, std::move(result));
      },
      [&](int64_t i) {
        typename std::map<int64_t, Result>::node_type node;
        {
          std::lock_guard lock(mutex);
          node = results.extract(i);
        }
        return consume(i, std::move(node.mapped()));
      });
}

// How many stripes to cut `items` into so that none holds fewer than
// `minimum` items: at most perThread stripes per thread of the pool, at
// least 1. More stripes than threads even out a machine whose cores are
// busy elsewhere.
int stripeCount(const ThreadPool* pool, int64_t items, int64_t minimum, int perThread = 2);

// The first item of stripe i of n over [0, items); stripe i ends where
// stripe i + 1 begins.
inline int64_t stripeStart(int64_t items, int i, int n) {
  return items * i / n;
}

// work(begin, end) over stripes of [0, items) of at least `minimum` items,
// on the pool; without one, or with too few items, once over the whole
// range on the calling thread. For work whose stripes may run in any order.
template <class Work>
void forStripes(ThreadPool* pool, int64_t items, int64_t minimum, Work&& work) {
  const int stripes = threadsOf(pool) > 1 ? stripeCount(pool, items, minimum) : 1;
  if (stripes <= 1) {
    work(int64_t{0}, items);
    return;
  }
  runTasks(pool, stripes, [&](int i) {
    work(stripeStart(items, i, stripes), stripeStart(items, i + 1, stripes));
  });
}

// ---- The process's pool -------------------------------------------------------
//
// The tools make one pool of kx_threadCount() threads, on first use; the
// file layers split their work on it. Null when the count is 1.
ThreadPool* kx_pool();

// The same helpers on the process's pool.
inline int kx_threadsHere() {
  return threadsOf(kx_pool());
}
inline void kx_parallel(int count, const std::function<void(int)>& task) {
  runTasks(kx_pool(), count, task);
}
inline int kx_stripes(int64_t items, int64_t minimum, int perThread = 2) {
  return stripeCount(kx_pool(), items, minimum, perThread);
}
inline int64_t kx_stripeStart(int64_t items, int i, int n) {
  return stripeStart(items, i, n);
}
template <class Work>
void kx_forStripes(int64_t items, int64_t minimum, Work&& work) {
  forStripes(kx_pool(), items, minimum, std::forward<Work>(work));
}

}  // namespace kx
