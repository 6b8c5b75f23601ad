// The thread pool: every task once, in order for its messages, failures
// exactly as one loop would give them, and tasks that wait for earlier ones
// (the row wavefronts). Counting in stripes on it. Whole runs the same for
// any thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/error.h"
#include "common/messages.h"
#include "common/threads.h"
#include "imageio/imageio_pvt.h"
#include "output/output.h"
#include "reduce/reduce.h"
#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

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
        while (now > seen && !most.compare_exchange_weak(seen, now)) continue;
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

// The colours counted in stripes on three threads (several on any machine).
Result<ColorCount> countInStripes(int width, int height, const std::vector<Colour>& pixels,
                                  CountOptions options = {}) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* d = planes.data();
  for (const auto& [r, g, b] : pixels) d = std::copy_n(std::array<int, 3>{r, g, b}.begin(), 3, d);
  ThreadPool three(3);
  return countColors(viewOf(planes), options, Context{&three, {}});
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
    if (it != chain.end())
      ++std::get<3>(*it);
    else
      chain.insert(chain.begin(), {r, g, b, 1});
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
  for (const auto& [width, height, distinct] :
       {std::tuple{600, 401, 30000}, std::tuple{2000, 90, 200}}) {
    const std::vector<Colour> pixels = drawPixels(width, height, distinct, width);
    const Result<ColorCount> count = countInStripes(width, height, pixels);
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
  for (int extra : {0, 1}) {
    std::vector<Colour> pixels(kWidth * kHeight, Colour{0, 0, 0});
    for (int i = 0; i < kLimit + extra; ++i) {
      const int at = static_cast<int>(int64_t{i} * kWidth * kHeight / (kLimit + extra));
      pixels[at] = Colour{i & 255, (i >> 8) + 1, 7};
    }
    const Result<ColorCount> count =
        countInStripes(kWidth, kHeight, pixels, CountOptions{255, kLimit + 1});
    ASSERT_TRUE(count.ok());
    // Past the limit, the colours are compressed to be counted.
    EXPECT_EQ(count->overflowTarget, extra == 0 ? 255 : 128);
    if (extra == 0) {
      EXPECT_EQ(count->histogram.size(), size_t{kLimit + 1});
    }
  }
}

// The same output for any thread count: every file's name and bytes, both
// streams and the exit status of whole runs against KX_THREADS=1. The
// pictures hold several stripes' worth of pixels so that the work is split.

// The photograph tiled 2 × 2, every other tile mirrored so that the seams
// stay photograph-like; tile t's samples are raised by `shift` × t, which
// multiplies the colours.
std::vector<uint8_t> tiled(const std::vector<uint8_t>& rgb, int w, int h, int shift) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 12);
  for (int t = 0; t < 4; ++t) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const uint8_t* from = &rgb[(static_cast<size_t>(y) * w + (t % 2 ? w - 1 - x : x)) * 3];
        uint8_t* to = &out[((static_cast<size_t>(t / 2) * h + y) * 2 * w + t % 2 * w + x) * 3];
        for (int c = 0; c < 3; ++c)
          to[c] = static_cast<uint8_t>(std::min(from[c] + shift * t, 255));
      }
    }
  }
  return out;
}

// The files every run reads, made in-process: each test of the table runs
// in a process of its own, where running the tools to make them would cost
// more than the test (under ThreadSanitizer most of all).
class Inputs {
 public:
  Inputs() {
    const Image png = readPngFile(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png");
    const Image rgb = expandToRgb(png, false);
    const int w = rgb.width, h = rgb.height;
    const std::vector<uint8_t> photo = tiled(rgb.samples, w, h, 0);
    writeRgbPicture(at("photo"), 2 * w, 2 * h, photo);
    // Beyond the colour limit: counted, compressed, counted again.
    writeRgbPicture(at("shifted"), 2 * w, 2 * h, tiled(rgb.samples, w, h, 9));
    writeRgbPicture(at("noise"), 400, 300, testPixels(400, 300, 5, true));
    // The photograph repeated above flat blocks: a PNG of several parts.
    std::vector<uint8_t> parts(1024 * 2200 * 3);
    for (size_t i = 0; i < parts.size(); ++i) {
      const size_t x = i / 3 % 1024, y = i / 3 / 1024;
      parts[i] = y >= 1100 ? static_cast<uint8_t>(x / 200 * 50)
                           : photo[((y % (2 * h)) * 2 * w + x % (2 * w)) * 3 + i % 3];
    }
    writeRgbPicture(at("parts"), 1024, 2200, parts);
    // The photograph with alpha: soft from left to right, transparent in
    // the top left corner; beyond the colour limit.
    Image alpha;
    alpha.width = 2 * w;
    alpha.height = 2 * h;
    alpha.channels = 4;
    for (size_t i = 0; i < photo.size() / 3; ++i) {
      const size_t x = i % alpha.width, y = i / alpha.width;
      const uint8_t a = x < 64 && y < 64 ? 0 : static_cast<uint8_t>(x * 255 / (alpha.width - 1));
      alpha.samples.insert(alpha.samples.end(),
                           {photo[3 * i], photo[3 * i + 1], photo[3 * i + 2], a});
    }
    writePngFile(at("alpha.png"), alpha);
    // Frames of different sizes.
    writeRgbPicture(at("seq.1"), 2 * w, 2 * h, photo);
    writeSamplePicture(at("seq.2"), 300, 200, 2);
    writeRgbPicture(at("seq.3"), w, h, rgb.samples);
    writeSamplePicture(at("seq.4"), 480, 360, 4);
    // Frames of 1,200 colours in all, each counted as it is.
    for (int f = 1; f <= 2; ++f) {
      std::vector<uint8_t> few(300 * 200 * 3);
      for (size_t i = 0; i < few.size(); ++i)
        few[i] = static_cast<uint8_t>(i % 3 == 0   ? (i / 3 % 300 + 15 * f) / 15 * 12
                                      : i % 3 == 1 ? i / 900 / 10 * 13
                                                   : i / 3 % 3);
      writeRgbPicture(at("few." + std::to_string(f)), 300, 200, few);
    }
    // A sequence whose second frame keeps too many colours.
    writeSamplePicture(at("bad.1"), 480, 360, 1);
    writeRgbPicture(at("bad.2"), 400, 300, testPixels(400, 300, 6, true));
    writeSamplePicture(at("bad.3"), 300, 200, 3);
    // A palette of 24 of the photograph's colours to impose.
    Colormap palette;
    for (int i = 0; i < 24; ++i) {
      const uint8_t* p = &rgb.samples[(static_cast<size_t>(i) * 2731 % (w * h)) * 3];
      palette.push_back(HistogramEntry{p[0], p[1], p[2], 0});
    }
    EXPECT_TRUE(kx_writeColorMap(at("pal"), palette, ColormapFormat{24}));
  }
  std::string at(const std::string& name) const { return dir_.path(name); }

 private:
  TempDir dir_;
};

struct Case {
  const char* name;
  const char* program;
  std::string args;  // split at each space; "@name" stands for the input of that name
  int status = 0;
  std::vector<int> threads = {3};  // compared with one thread
};

// One row per option the work splits differently for; sequences also with
// fewer and more threads than frames.
// clang-format off
const Case kCases[] = {
    {"AdjustVerbose", "kxreduce", "-v -a @photo out"},
    {"FilterPaletteQuant", "kxreduce", "-q 4 -Q 4 -n 32 @photo out"},
    {"CompressPic", "kxreduce", "-v -z 40 -o pic @photo out"},
    {"AutomaticCompressionRefine", "kxreduce", "-v -a --refine @shifted out"},
    {"ImposedPict", "kxreduce", "-v -c @pal -a -o pict @photo out"},
    {"UniquePict2", "kxreduce", "-v -u -o pict2 -s 1 4 1 @seq out", 0, {2, 8}},
    {"RepeatBits", "kxreduce", "-r 2 -b 5 -s 1 4 1 @seq out", 0, {2, 8}},
    {"OneBitFilter", "kxreduce", "-b 1 @photo out"},
    {"TooManyColours", "kxreduce", "-v @noise out", 1},
    {"TooManyColoursInSequence", "kxreduce", "-o pic -s 1 3 1 @bad out", 1},
    {"TooManyColoursUnique", "kxreduce", "-u -s 1 3 1 @bad out", 1},
    {"MissingFrame", "kxreduce", "-s 3 5 1 @seq out", 255},
    {"ConvPicToPng", "kxconv", "@photo.pic out.png"},
    {"KxquantAdjusted", "kxquant", "-v -a -n 64 -o out.png @shifted.pic"},
    {"KxquantDithered", "kxquant", "-n 64 -o out.png @photo.pic", 0, {2, 3}},
    {"KxquantDitherLevel", "kxquant", "--dither 3 --cut-by-error -n 64 -o out.png @photo.pic", 0,
     {2, 3}},
    {"KxquantPngParts", "kxquant", "-o out.png @parts.pic"},
    {"KxquantFitWorst", "kxquant", "--fit-worst -n 32 -o out.png @photo.pic"},
    {"KxquantAlpha", "kxquant", "-v -o out.png @alpha.png"},
    {"KxquantPngPartsBest", "kxquant", "--best -n 64 -o out.png @parts.pic"},
    // More frames than a batch coded side by side holds.
    {"KxquantGif", "kxquant", "-o out.gif @seq.2.pic @seq.3.pic @seq.4.pic @seq.2.pic @seq.4.pic "
     "@seq.3.pic @seq.4.pic @seq.2.pic @seq.3.pic", 0, {2, 3}},
    {"KxquantGifFewColours", "kxquant", "-o out.gif @few.1.pic @few.2.pic @few.1.pic", 0, {2, 3}},
};
// clang-format on

class SameOutput : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() { inputs_ = std::make_unique<Inputs>(); }
  static void TearDownTestSuite() { inputs_.reset(); }

  struct Outcome {
    RunResult result;
    FolderSnapshot files;
  };

  static Outcome outcome(const Case& run, int threads) {
    std::vector<std::string> args;
    for (const std::string& a : words(run.args))
      args.push_back(a[0] == '@' ? inputs_->at(a.substr(1)) : a);
    TempDir dir;
    RunResult r =
        runProgram(run.program, args,
                   RunOptions{.cwd = dir.path(), .env = {"KX_THREADS=" + std::to_string(threads)}});
    return {r, snapshotFolder(dir.path())};
  }

  static inline std::unique_ptr<Inputs> inputs_;
};

TEST_P(SameOutput, ForAnyThreadCount) {
#ifdef KX_THREAD_SANITIZER
  // Here a race is what is looked for (the sanitizer's report changes the
  // status); the outputs are compared with one thread's in the other builds.
  for (int threads : GetParam().threads)
    EXPECT_EQ(outcome(GetParam(), threads).result.status, GetParam().status) << threads;
  return;
#endif
  const Outcome one = outcome(GetParam(), 1);
  ASSERT_EQ(one.result.status, GetParam().status) << one.result.err;
  for (int threads : GetParam().threads) {
    SCOPED_TRACE("KX_THREADS=" + std::to_string(threads));
    const Outcome many = outcome(GetParam(), threads);
    EXPECT_EQ(many.result.status, one.result.status);
    EXPECT_EQ(many.result.out, one.result.out);
    EXPECT_EQ(many.result.err, one.result.err);
    EXPECT_TRUE(many.files == one.files);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, SameOutput, testing::ValuesIn(kCases), CaseName());

// An invalid KX_THREADS is refused before anything is read or written.
TEST(ThreadSetting, InvalidValuesAreRefusedByName) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 64, 48, 1);
  const RunOptions options{.cwd = dir.path(), .env = {"KX_THREADS=2x"}};
  const std::string message =
      "KX_THREADS is \"2x\": it must be a whole number of threads from 1 to 1024\n";
  for (const auto& [tool, args, status, said] :
       {std::tuple{"kxreduce", "in out", 255, "Error: "},
        {"kxconv", "in.pic out.png", 255, "kxconv: "},
        {"kxquant", "-o out.png in.pic", 2, "kxquant: "}}) {
    const RunResult r = runProgram(tool, words(args), options);
    EXPECT_EQ(r.status, status) << tool;
    EXPECT_EQ(r.err, said + message);
  }
  EXPECT_EQ(snapshotFolder(dir.path()).size(), 1u);
}

}  // namespace
}  // namespace kx
