// The thread pool: every task once, in order for its messages, failures
// exactly as one loop would give them, and tasks that wait for earlier ones (the row
// wavefronts).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/fatal.h"
#include "common/messages.h"
#include "common/threads.h"
#include "support/capture.h"

namespace kx {
namespace {

TEST(ThreadCount, ParsesOnlyWholeNumbersInRange) {
  const std::vector<std::pair<const char*, int>> cases = {
      {nullptr, 0}, {"", 0},    {"1", 1},   {"1024", 1024}, {"0", -1},
      {"1025", -1}, {"+2", -1}, {" 4", -1}, {"4x", -1},     {"99999999999", -1}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(kx_parseThreadCount(value), expected) << (value ? value : "null");
  }
}

class Pool : public testing::TestWithParam<int> {
 protected:
  ThreadPool pool{GetParam()};
};

TEST_P(Pool, HoldsMessagesAndReplaysThemInTaskOrder) {
  MessageBuffer caller;
  pool.run(40, [](int i) {
    // Early tasks take longest, so that later ones tend to end first.
    volatile int spin = 0;
    for (int k = 0; k < (40 - i) * 2000; ++k) spin = spin + 1;
    kx_printf(Stream::Err, "%d,", i);
    if (i % 10 == 0) kx_print(Stream::Out, "*");
  });
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += std::to_string(i) + ",";
  EXPECT_EQ(caller.text(Stream::Err), expected);
  EXPECT_EQ(caller.text(Stream::Out), "****");
}

TEST_P(Pool, FirstFailingTaskDecidesLikeOneLoop) {
  std::atomic<int> begun{0};
  std::string err;
  const int status = exitStatusOf(
      [&] {
        pool.run(20, [&](int i) {
          ++begun;
          kx_printf(Stream::Err, "%d;", i);
          if (i == 5 || i == 12) kx_error("task " + std::to_string(i) + "\n");
        });
      },
      &err);
  EXPECT_EQ(status, 255);
  EXPECT_EQ(err, "0;1;2;3;4;5;Error: task 5\n");
  // Alone, the caller begins nothing after the failure; with workers, tasks
  // handed out before it was seen may have run.
  if (GetParam() == 1) {
    EXPECT_EQ(begun, 6);
  }
}

TEST_P(Pool, TasksMayWaitForEarlierTasks) {
  // A pool that handed tasks out of order, or a caller that only waited,
  // would leave a task waiting for one that nobody runs.
  constexpr int kTasks = 50;
  std::vector<std::atomic<bool>> done(kTasks);
  pool.run(kTasks, [&](int i) {
    while (i > 0 && !done[i - 1].load()) std::this_thread::yield();
    done[i] = true;
  });
  for (int i = 0; i < kTasks; ++i) EXPECT_TRUE(done[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Threads, Pool, testing::Values(1, 3),
                         [](const testing::TestParamInfo<int>& p) {
                           return std::to_string(p.param);
                         });

}  // namespace
}  // namespace kx
