// The thread pool: every task once, in order for its messages, failures
// exactly as one loop would give them, and tasks that wait for earlier ones (the row
// wavefronts).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"
#include "common/messages.h"
#include "common/threads.h"

namespace kx {
namespace {

TEST(ThreadCount, ParsesOnlyWholeNumbersInRange) {
  const std::vector<std::pair<const char*, int>> cases = {
      {nullptr, 0}, {"", 0},    {"1", 1},   {"1024", 1024}, {"0", -1},
      {"1025", -1}, {"+2", -1}, {" 4", -1}, {"4x", -1},     {"99999999999", -1}};
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(kx_parseThreadCount(value), expected) << (value ? value : "null");
}

class Pool : public testing::TestWithParam<int> {
 protected:
  ThreadPool pool{GetParam()};
};

TEST_P(Pool, HoldsMessagesAndReplaysThemInTaskOrder) {
  EXPECT_EQ(pool.threads(), GetParam());  // the caller and GetParam() - 1 workers
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
  MessageBuffer caller;
  std::string failed;
  try {
    pool.run(20, [&](int i) {
      ++begun;
      kx_printf(Stream::Err, "%d;", i);
      if (i == 5 || i == 12) throw Error(ErrorCode::failed, "task " + std::to_string(i));
    });
  } catch (const Error& e) {
    failed = e.message;
  }
  EXPECT_EQ(failed, "task 5");
  EXPECT_EQ(caller.text(Stream::Err), "0;1;2;3;4;5;");
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

// Works side by side, their messages and results consumed in order, at most
// `ahead` begun and not consumed; a consume that says stop ends the run
// after the works begun.
TEST_P(Pool, OrderedRunsConsumeInOrderWithinTheWindow) {
  MessageBuffer caller;
  std::atomic<int> inFlight{0}, most{0};
  std::vector<int> consumed;
  pool.runOrdered(
      30, [] { return 2; },
      [&](int64_t i) {
        const int now = ++inFlight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        kx_printf(Stream::Err, "%d,", static_cast<int>(i));
      },
      [&](int64_t i) {
        --inFlight;
        consumed.push_back(static_cast<int>(i));
        kx_print(Stream::Err, "|");
        return i < 19;
      });
  EXPECT_LE(most.load(), 2);
  ASSERT_EQ(consumed.size(), 20u);
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += std::to_string(i) + ",|";
  EXPECT_EQ(caller.text(Stream::Err), expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, Pool, testing::Values(1, 3),
                         [](const testing::TestParamInfo<int>& p) {
                           return std::to_string(p.param);
                         });

}  // namespace
}  // namespace kx
