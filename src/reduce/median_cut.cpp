// Median-cut colormap.
//
// Both sorts are stable: equal keys keep the order that the histogram (and
// the previous cuts) gave them, so the palette is the same on every run and
// every platform, whatever the standard library's sort does with ties.
#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "common/threads.h"
#include "reduce/reduce.h"

namespace kx {

int redcompare(const HistogramEntry& a, const HistogramEntry& b) {
  return a.red - b.red;
}
int greencompare(const HistogramEntry& a, const HistogramEntry& b) {
  return a.green - b.green;
}
int bluecompare(const HistogramEntry& a, const HistogramEntry& b) {
  return a.blue - b.blue;
}
int sumcompare(const Box& a, const Box& b) {
  return b.pixels > a.pixels ? 1 : (b.pixels < a.pixels ? -1 : 0);
}

namespace {

// Boxes smaller than this are sorted on the calling thread.
constexpr int64_t kStripeEntries = 4096;

// A stable sort of the entries on one sample, on the process's pool: a
// counting sort whose stripes place their entries of each key after those
// of the stripes before them. A stable sort has only one possible result,
// so this is the order std::stable_sort gives. False (nothing done) with one
// thread, for a small box, or without memory for the copy.
bool sortInStripes(HistogramEntry* begin, HistogramEntry* end, uint8_t HistogramEntry::*key) {
  const int64_t n = end - begin;
  if (kx_threadsHere() <= 1 || n < 2 * kStripeEntries) return false;
  const int stripes = kx_stripes(n, kStripeEntries);
  std::vector<HistogramEntry> sorted;
  std::vector<std::array<int64_t, 256>> place;
  try {
    sorted.resize(static_cast<size_t>(n));
    place.assign(static_cast<size_t>(stripes), std::array<int64_t, 256>{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  auto stripe = [&](int i) {
    return std::pair{begin + kx_stripeStart(n, i, stripes),
                     begin + kx_stripeStart(n, i + 1, stripes)};
  };
  kx_parallel(stripes, [&](int i) {
    const auto [first, last] = stripe(i);
    for (const HistogramEntry* e = first; e != last; ++e) ++place[i][(*e).*key];
  });
  int64_t at = 0;
  for (int k = 0; k < 256; ++k) {
    for (int i = 0; i < stripes; ++i) {
      const int64_t count = place[i][k];
      place[i][k] = at;
      at += count;
    }
  }
  kx_parallel(stripes, [&](int i) {
    const auto [first, last] = stripe(i);
    for (const HistogramEntry* e = first; e != last; ++e) sorted[place[i][(*e).*key]++] = *e;
  });
  std::copy(sorted.begin(), sorted.end(), begin);
  return true;
}

// Cuts the box at the median of its pixel count along its widest channel;
// returns the new upper box.
Box cutBox(Histogram& histogram, Box& box) {
  HistogramEntry* const begin = histogram.data() + box.first;
  HistogramEntry* const end = begin + box.colors;
  int minR = 255, maxR = 0, minG = 255, maxG = 0, minB = 255, maxB = 0;
  for (const HistogramEntry* e = begin; e != end; ++e) {
    minR = std::min<int>(minR, e->red);
    maxR = std::max<int>(maxR, e->red);
    minG = std::min<int>(minG, e->green);
    maxG = std::max<int>(maxG, e->green);
    minB = std::min<int>(minB, e->blue);
    maxB = std::max<int>(maxB, e->blue);
  }
  const int rangeR = maxR - minR, rangeG = maxG - minG, rangeB = maxB - minB;
  // Ties go to red before green before blue.
  auto compare = &bluecompare;
  if (rangeR >= rangeG && rangeR >= rangeB) {
    compare = &redcompare;
  } else if (rangeG >= rangeB) {
    compare = &greencompare;
  }
  uint8_t HistogramEntry::*key = &HistogramEntry::blue;
  if (compare == &redcompare) key = &HistogramEntry::red;
  if (compare == &greencompare) key = &HistogramEntry::green;
  if (!sortInStripes(begin, end, key)) {
    std::stable_sort(begin, end, [compare](const HistogramEntry& a, const HistogramEntry& b) {
      return compare(a, b) < 0;
    });
  }

  int64_t lower = begin[0].count;
  const int64_t half = box.pixels / 2;
  int i = 1;
  while (i < box.colors - 1 && lower < half) lower += begin[i++].count;

  Box upper{box.first + i, box.colors - i, box.pixels - lower};
  box.colors = i;
  box.pixels = lower;
  return upper;
}

HistogramEntry mostPopulous(const Histogram& histogram, const Box& box) {
  if (box.colors <= 0) return HistogramEntry{};
  const HistogramEntry* best = &histogram[box.first];
  for (int i = 1; i < box.colors; ++i) {
    const HistogramEntry& e = histogram[box.first + i];
    if (e.count > best->count) best = &e;
  }
  return HistogramEntry{best->red, best->green, best->blue, 0};
}

HistogramEntry quantizedMean(const Histogram& histogram, const Box& box, int maxval,
                             const int16_t* quantTable) {
  // 64-bit sums: 255 × the pixels of a large frame overflows 32 bits.
  int64_t r = 0, g = 0, b = 0, n = 0;
  for (int i = 0; i < box.colors; ++i) {
    const HistogramEntry& e = histogram[box.first + i];
    r += int64_t{e.red} * e.count;
    g += int64_t{e.green} * e.count;
    b += int64_t{e.blue} * e.count;
    n += e.count;
  }
  if (n <= 0) return HistogramEntry{};
  auto level = [&](int64_t sum) {
    const int64_t mean = std::min<int64_t>(sum / n, maxval);
    return static_cast<uint8_t>(quantTable[std::clamp<int64_t>(mean, 0, 255)]);
  };
  return HistogramEntry{level(r), level(g), level(b), 0};
}

}  // namespace

Colormap makeColormap(Histogram& histogram, int histogramColors, int64_t totalPixels, int maxval,
                      const RunSettings* opt) {
  const int colors = std::max(opt->colors, 0);
  Colormap colormap;
  std::vector<Box> boxes;
  try {
    colormap.assign(colors, HistogramEntry{});
    boxes.reserve(std::max(colors, 1));
  } catch (const std::bad_alloc&) {
    kx_error("out of memory\n");
  }
  if (colors == 0) return colormap;
  const int n = std::clamp(histogramColors, 0, static_cast<int>(histogram.size()));
  boxes.push_back(Box{0, n, totalPixels});

  if (colors >= 2) {
    while (static_cast<int>(boxes.size()) < colors) {
      // The boxes are sorted by descending pixels: the first that can still
      // be divided is the most populous one.
      auto box =
          std::find_if(boxes.begin(), boxes.end(), [](const Box& b) { return b.colors >= 2; });
      if (box == boxes.end()) break;
      const Box upper = cutBox(histogram, *box);
      boxes.push_back(upper);
      std::stable_sort(boxes.begin(), boxes.end(),
                       [](const Box& a, const Box& b) { return sumcompare(a, b) < 0; });
    }
  }

  if (opt->paletteQuant == 0) {
    for (size_t k = 0; k < boxes.size(); ++k) colormap[k] = mostPopulous(histogram, boxes[k]);
  } else {
    int16_t quantTable[256];
    makequanttab(quantTable, opt->paletteQuant);
    for (size_t k = 0; k < boxes.size(); ++k) {
      colormap[k] = quantizedMean(histogram, boxes[k], maxval, quantTable);
    }
  }
  return colormap;
}

}  // namespace kx
