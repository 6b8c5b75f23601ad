// Worker threads: one small pool per process, shared by every stage.
//
// The tools work with as many threads as the process may run on (its CPU
// affinity mask), or with KX_THREADS when that is set. With one thread no
// thread is ever started: callers ask kx_threadsHere() and take their
// sequential path, the code the tools have always run.
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx {

constexpr int kMaxThreads = 1024;

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
  // top of this file for messages and exceptions.
  void run(int count, const std::function<void(int)>& task);

 private:
  struct Job;
  int claim(Job& job);  // with mutex_ held; -1 when every task is handed out
  void execute(Job& job, int index);
  void work(std::stop_token stop);

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<Job*> queue_;  // jobs with tasks not yet handed out
  std::vector<std::jthread> workers_;
};

// The process's pool of kx_threadCount() threads, made on first use. Null
// when the count is 1, and on threads started elsewhere than the pool (such
// as frames worked on side by side): they are already a share of the
// parallel work, and work on their own as with one thread. The process's
// first thread and the pool's own workers get the pool.
ThreadPool* kx_pool();

// The threads that work on a job started on this thread: those of kx_pool(),
// or 1 without it. Stages split their work by this.
int kx_threadsHere();

// task(0) … task(count − 1) on the process's pool, or one after the other on
// the calling thread when there is none.
void kx_parallel(int count, const std::function<void(int)>& task);

// How many stripes to cut `items` into so that none holds fewer than
// `minimum` items: at most perThread stripes per thread, at least 1. More
// stripes than threads even out a machine whose cores are busy elsewhere.
int kx_stripes(int64_t items, int64_t minimum, int perThread = 2);

// The first item of stripe i of n over [0, items); stripe i ends where
// stripe i + 1 begins.
inline int64_t kx_stripeStart(int64_t items, int i, int n) {
  return items * i / n;
}

// work(begin, end) over stripes of [0, items) of at least `minimum` items,
// on the process's pool; with one thread, or too few items, once over the
// whole range on the calling thread. For work whose stripes may run in any
// order.
template <class Work>
void kx_forStripes(int64_t items, int64_t minimum, Work&& work) {
  const int stripes = kx_threadsHere() > 1 ? kx_stripes(items, minimum) : 1;
  if (stripes <= 1) {
    work(int64_t{0}, items);
    return;
  }
  kx_parallel(stripes, [&](int i) {
    work(kx_stripeStart(items, i, stripes), kx_stripeStart(items, i + 1, stripes));
  });
}

}  // namespace kx
