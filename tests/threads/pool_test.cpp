// The thread pool: every task once, in order for its messages, failures
// exactly as one loop would give them, and tasks that wait for earlier ones
// (the row wavefronts). Counting in stripes on it.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/error.h"
#include "common/messages.h"
#include "common/threads.h"
#include "reduce/reduce.h"

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
        kx_print(Stream::Err, "|");
        return i < 19;
      });
  EXPECT_LE(most.load(), 2);
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += std::to_string(i) + ",|";
  EXPECT_EQ(caller.text(Stream::Err), expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, Pool, testing::Values(1, 3), [](const auto& p) {
  return p.param == 1 ? "CallerAlone" : "CallerAnd" + std::to_string(p.param - 1) + "Workers";
});

// Counting in stripes, in-process: the histogram keeps the order and counts
// of one pass over the rows (the order decides the palette through the ties
// of the median cut, which whole runs rarely expose), and the colour limit
// holds for colours spread over several stripes.

using Colour = std::tuple<int, int, int>;

PixelPlanes planesOf(int width, int height, const std::vector<Colour>& pixels) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* d = planes.data();
  for (const auto& [r, g, b] : pixels) d = std::copy_n(std::array<int, 3>{r, g, b}.begin(), 3, d);
  return planes;
}

// The chained table pixel by pixel: new colours at the head of their bucket.
std::vector<std::tuple<int, int, int, int>> chainedHistogram(const std::vector<Colour>& pixels) {
  std::vector<std::vector<std::tuple<int, int, int, int>>> chains(kColorTableBuckets);
  for (const auto& [r, g, b] : pixels) {
    auto& chain = chains[kx_colorHash(
        Color{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)})];
    auto it = std::find_if(chain.begin(), chain.end(), [&](const auto& e) {
      return std::get<0>(e) == r && std::get<1>(e) == g && std::get<2>(e) == b;
    });
    if (it != chain.end()) {
      ++std::get<3>(*it);
    } else {
      chain.insert(chain.begin(), {r, g, b, 1});
    }
  }
  std::vector<std::tuple<int, int, int, int>> all;
  for (const auto& chain : chains) all.insert(all.end(), chain.begin(), chain.end());
  return all;
}

// Pixels drawn from `distinct` colours, a few to a bucket, each stripe of
// rows favouring colours of its own so that later stripes bring new ones.
std::vector<Colour> drawPixels(int width, int height, int distinct, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Colour> colours;
  for (int i = 0; i < distinct; ++i) colours.emplace_back(random() & 255, random() & 255, i & 255);
  std::vector<Colour> pixels;
  for (int y = 0; y < height; ++y) {
    const int band = distinct * y / height;
    for (int x = 0; x < width; ++x) {
      const bool local = random() % 4 != 0;
      const int near = band + static_cast<int>(random() % 64);
      pixels.push_back(colours[local ? near % distinct : random() % distinct]);
    }
  }
  return pixels;
}

TEST(Stripes, HistogramHasTheOrderAndCountsOfOnePass) {
  ThreadPool three(3);  // stripes are what is tested: several threads on any machine
  for (const auto& [width, height, distinct] :
       {std::tuple{600, 401, 30000}, std::tuple{2000, 90, 200}}) {
    const std::vector<Colour> pixels = drawPixels(width, height, distinct, width);
    const PixelPlanes planes = planesOf(width, height, pixels);
    const Result<ColorCount> count = countColors(viewOf(planes), {}, Context{&three, {}});
    ASSERT_TRUE(count.ok());
    std::vector<std::tuple<int, int, int, int>> got;
    for (const HistogramEntry& e : count->histogram)
      got.emplace_back(e.red, e.green, e.blue, e.count);
    EXPECT_TRUE(got == chainedHistogram(pixels)) << width << " x " << height;
  }
}

TEST(Stripes, ColourLimitHoldsAcrossStripes) {
  // No stripe alone passes the limit; together they reach it exactly, or
  // pass it by one colour in the last stripe.
  constexpr int kWidth = 500, kHeight = 600, kLimit = 3000;
  ThreadPool three(3);
  for (int extra : {0, 1}) {
    std::vector<Colour> pixels(kWidth * kHeight, Colour{0, 0, 0});
    for (int i = 0; i < kLimit + extra; ++i) {
      const int at = static_cast<int>(int64_t{i} * kWidth * kHeight / (kLimit + extra));
      pixels[at] = Colour{i & 255, (i >> 8) + 1, 7};
    }
    const PixelPlanes planes = planesOf(kWidth, kHeight, pixels);
    const Result<ColorCount> count =
        countColors(viewOf(planes), CountOptions{255, kLimit + 1}, Context{&three, {}});
    ASSERT_TRUE(count.ok());
    // Past the limit, the colours are compressed to be counted.
    EXPECT_EQ(count->overflowTarget, extra == 0 ? 255 : 128);
    if (extra == 0) {
      EXPECT_EQ(count->histogram.size(), size_t{kLimit + 1});
    }
  }
}

}  // namespace
}  // namespace kx
