// Palette refinement: exact errors, never worse than the median cut, and
// known answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>

#include "reduce/reduce.h"
#include "support/case_names.h"

namespace kx {
namespace {

int64_t distance(const HistogramEntry& a, const HistogramEntry& b) {
  const int64_t dr = a.red - b.red, dg = a.green - b.green, db = a.blue - b.blue;
  return dr * dr + dg * dg + db * db;
}

// The remapping's rule, written out: squared distance, lowest index on ties.
int nearest(const Colormap& map, const HistogramEntry& e) {
  int best = 0;
  for (size_t j = 1; j < map.size(); ++j) {
    if (distance(e, map[j]) < distance(e, map[best])) best = static_cast<int>(j);
  }
  return best;
}

int64_t totalError(const Histogram& h, const Colormap& map) {
  int64_t total = 0;
  for (const HistogramEntry& e : h) total += e.count * distance(e, map[nearest(map, e)]);
  return total;
}

Colormap medianCut(Histogram h, int colors) {
  ColorCount count;
  for (const auto& e : h) count.pixels += e.count;
  count.histogram = std::move(h);
  return *choosePalette(count, PaletteOptions{colors}, {});
}

// Blobs of colours around centres, with counts that fall off from the
// centre; every colour distinct.
Histogram blobs(const std::vector<std::tuple<int, int, int, int, int>>& centres, uint32_t seed) {
  std::mt19937 rng(seed);
  Histogram h;
  std::vector<bool> seen(1 << 24, false);
  for (const auto& [r, g, b, spread, colours] : centres) {
    std::normal_distribution<double> offset(0.0, spread);
    for (int added = 0; added < colours;) {
      const int cr = std::clamp(static_cast<int>(r + offset(rng)), 0, 255);
      const int cg = std::clamp(static_cast<int>(g + offset(rng)), 0, 255);
      const int cb = std::clamp(static_cast<int>(b + offset(rng)), 0, 255);
      const int key = (cr << 16) | (cg << 8) | cb;
      if (seen[key]) continue;
      seen[key] = true;
      const int d = std::abs(cr - r) + std::abs(cg - g) + std::abs(cb - b);
      h.push_back(HistogramEntry{static_cast<uint8_t>(cr), static_cast<uint8_t>(cg),
                                 static_cast<uint8_t>(cb), 1 + 400 / (1 + d)});
      ++added;
    }
  }
  return h;
}

struct Case {
  const char* name;
  int colors;
  Histogram histogram;
};

// Ties everywhere: identical counts and symmetric colours.
Histogram ties() {
  Histogram h;
  for (int v = 0; v < 8; ++v) {
    h.push_back(HistogramEntry{static_cast<uint8_t>(32 * v), 0, 0, 5});
    h.push_back(HistogramEntry{0, static_cast<uint8_t>(32 * v), 0, 5});
  }
  return h;
}

Histogram randomColours(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  Histogram h;
  for (int i = 0; i < n; ++i) {
    h.push_back(HistogramEntry{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                               static_cast<uint8_t>(rng()), static_cast<int>(1 + rng() % 50)});
  }
  return h;
}

const Case kCases[] = {
    // The nearest entry of some colours is the first in key order.
    {"30 random colours, 3 entries", 3, randomColours(30, 10)},
    {"photo-like spread, 16 colours", 16,
     blobs({{90, 60, 40, 30, 3000}, {150, 170, 210, 25, 2000}, {230, 200, 60, 6, 50}}, 2)},
    {"many colours, 256 entries", 256,
     blobs({{60, 80, 100, 40, 20000}, {200, 120, 60, 30, 20000}}, 3)},
    {"ties everywhere, 5 colours", 5, ties()},
    {"one colour that millions of pixels share", 2, {HistogramEntry{17, 99, 250, 2000000000}}},
};

class Refinement : public testing::TestWithParam<Case> {};

// The reported errors are the remapping's errors, and the refined palette is
// never worse than the median cut's: a pruned search that skipped a nearer
// entry, or an accepted step that raised the error, shows up here.
TEST_P(Refinement, ExactErrorsAndNeverWorse) {
  const Case& c = GetParam();
  Histogram h = c.histogram;
  const Colormap start = medianCut(h, c.colors);
  Colormap refined = start;
  std::vector<int64_t> populations;
  const RefineReport report =
      refineColormap(h, refined, centresOf(identityMap()), nullptr, &populations);
  ASSERT_EQ(refined.size(), start.size());
  EXPECT_EQ(report.startError, totalError(h, start));
  EXPECT_EQ(report.endError, totalError(h, refined));
  EXPECT_LE(report.endError, report.startError);

  // Populations: what each entry serves, in descending order.
  std::vector<int64_t> served(refined.size(), 0);
  for (const HistogramEntry& e : h) served[nearest(refined, e)] += e.count;
  if (report.endError < report.startError) {
    EXPECT_EQ(populations, served);
    EXPECT_TRUE(std::is_sorted(populations.rbegin(), populations.rend()));
  }
}

INSTANTIATE_TEST_SUITE_P(Histograms, Refinement, testing::ValuesIn(kCases), CaseName());

// Two large clusters and a small distinct one, three entries: median cut
// spends two entries on the large clusters' halves and loses the small one;
// the refinement gives it its own entry, and orders by population.
TEST(RefinementAnswers, SmallDistinctClusterGetsItsEntry) {
  Histogram h = blobs({{60, 50, 40, 10, 1500}, {190, 180, 170, 10, 1500}, {40, 210, 60, 3, 20}}, 7);
  const Colormap start = medianCut(h, 3);
  auto nearGreen = [](const HistogramEntry& e) {
    return std::abs(e.red - 40) + std::abs(e.green - 210) + std::abs(e.blue - 60) <= 12;
  };
  ASSERT_EQ(std::count_if(start.begin(), start.end(), nearGreen), 0);
  Colormap refined = start;
  refineColormap(h, refined, centresOf(identityMap()), nullptr);
  ASSERT_EQ(refined.size(), 3u);
  EXPECT_TRUE(nearGreen(refined[2]))
      << int(refined[2].red) << " " << int(refined[2].green) << " " << int(refined[2].blue);
}

// When the picture was compressed only to be counted, each entry is placed
// at the mean of the original samples: stored 1 stands for 2 and 3.
TEST(RefinementAnswers, CompressedSamplesCountAtTheirCentres) {
  Histogram h = {HistogramEntry{1, 1, 1, 10}, HistogramEntry{201, 201, 201, 10},
                 HistogramEntry{203, 203, 203, 10}};
  SampleCentres centres = centresOf(identityMap());
  centres[1] = 2 + 3;
  Colormap map = {HistogramEntry{201, 201, 201, 0}, HistogramEntry{0, 0, 0, 0}};
  refineColormap(h, map, centres, nullptr);
  EXPECT_EQ(std::make_tuple(map[0].red, map[0].green, map[0].blue), std::make_tuple(202, 202, 202));
  EXPECT_EQ(std::make_tuple(map[1].red, map[1].green, map[1].blue), std::make_tuple(3, 3, 3));
}

}  // namespace
}  // namespace kx
