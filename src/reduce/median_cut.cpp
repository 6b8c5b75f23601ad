// Median-cut colormap.
//
// Both sorts are stable: equal keys keep the order that the histogram (and
// the previous cuts) gave them, so the palette is the same on every run and
// every platform, whatever the standard library's sort does with ties.
#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "reduce/alpha_pvt.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

// A run of histogram entries [first, first + colors) holding `pixels` pixels.
struct Box {
  int32_t first = 0;
  int32_t colors = 0;
  int64_t pixels = 0;
};

// Boxes smaller than this are sorted on the calling thread.
constexpr int64_t kStripeEntries = 4096;

// A stable sort of the entries on one sample, on the process's pool: a
// counting sort whose stripes place their entries of each key after those
// of the stripes before them. A stable sort has only one possible result,
// so this is the order std::stable_sort gives. False (nothing done) with one
// thread, for a small box, or without memory for the copy.
bool sortInStripes(HistogramEntry* begin, HistogramEntry* end, uint8_t HistogramEntry::*key,
                   ThreadPool* pool) {
  const int64_t n = end - begin;
  if (threadsOf(pool) <= 1 || n < 2 * kStripeEntries) return false;
  const int stripes = stripeCount(pool, n, kStripeEntries);
  std::vector<HistogramEntry> sorted;
  std::vector<std::array<int64_t, 256>> place;
  try {
    sorted.resize(static_cast<size_t>(n));
    place.assign(static_cast<size_t>(stripes), std::array<int64_t, 256>{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  auto stripe = [&](int i) {
    return std::pair{begin + stripeStart(n, i, stripes), begin + stripeStart(n, i + 1, stripes)};
  };
  runTasks(pool, stripes, [&](int i) {
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
  runTasks(pool, stripes, [&](int i) {
    const auto [first, last] = stripe(i);
    for (const HistogramEntry* e = first; e != last; ++e) sorted[place[i][(*e).*key]++] = *e;
  });
  std::copy(sorted.begin(), sorted.end(), begin);
  return true;
}

// Cuts the box at the median of its pixel count along its widest channel;
// returns the new upper box.
Box cutBox(Histogram& histogram, Box& box, ThreadPool* pool) {
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
  uint8_t HistogramEntry::*key = &HistogramEntry::blue;
  if (rangeR >= rangeG && rangeR >= rangeB) {
    key = &HistogramEntry::red;
  } else if (rangeG >= rangeB) {
    key = &HistogramEntry::green;
  }
  if (!sortInStripes(begin, end, key, pool)) {
    std::stable_sort(begin, end, [key](const HistogramEntry& a, const HistogramEntry& b) {
      return a.*key < b.*key;
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

HistogramEntry quantizedMean(const Histogram& histogram, const Box& box,
                             const QuantTable& quantTable) {
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
    const int64_t mean = std::min<int64_t>(sum / n, 255);
    return static_cast<uint8_t>(quantTable[std::clamp<int64_t>(mean, 0, 255)]);
  };
  return HistogramEntry{level(r), level(g), level(b), 0};
}

// The median cut over the histogram (reordered in place): `colors`
// entries, black beyond the boxes there are colours for. quantTable: -Q.
Colormap medianCut(Histogram& histogram, int64_t totalPixels, int colors,
                   const QuantTable* quantTable, ThreadPool* pool) {
  Colormap colormap(colors, HistogramEntry{});
  std::vector<Box> boxes;
  boxes.reserve(std::max(colors, 1));
  boxes.push_back(Box{0, static_cast<int32_t>(histogram.size()), totalPixels});
  if (colors >= 2) {
    while (static_cast<int>(boxes.size()) < colors) {
      // The boxes are sorted by descending pixels: the first that can still
      // be divided is the most populous one.
      auto box =
          std::find_if(boxes.begin(), boxes.end(), [](const Box& b) { return b.colors >= 2; });
      if (box == boxes.end()) break;
      const Box upper = cutBox(histogram, *box, pool);
      boxes.push_back(upper);
      std::stable_sort(boxes.begin(), boxes.end(),
                       [](const Box& a, const Box& b) { return a.pixels > b.pixels; });
    }
  }
  for (size_t k = 0; k < boxes.size(); ++k) {
    colormap[k] = quantTable ? quantizedMean(histogram, boxes[k], *quantTable)
                             : mostPopulous(histogram, boxes[k]);
  }
  return colormap;
}

}  // namespace

Result<Colormap> choosePalette(const ColorCount& count, const PaletteOptions& options,
                               const Context& context) {
  if (options.colors < 1 || options.colors > 256) {
    return Error(ErrorCode::badArgument, "a palette of " + std::to_string(options.colors) +
                                             " colors (1 to 256 can be chosen)");
  }
  if (count.alpha || options.cutByError) return chooseAlphaPalette(count, options, context);
  std::optional<QuantTable> quantTable;
  if (options.quantBits != 0) {
    Result<QuantTable> table = quantizationTable(options.quantBits);
    if (!table) return table.error();
    quantTable = *table;
  }
  context.emit(EventKind::choosing, options.colors);
  try {
    // The cut reorders its copy; the refinement works on that order, whose
    // ties it follows.
    Histogram histogram = count.histogram;
    Colormap colormap = medianCut(histogram, count.pixels, options.colors,
                                  quantTable ? &*quantTable : nullptr, context.pool);
    if (options.refine) {
      // A colour the overflow compressed stands for the mean of the samples
      // it merged; the requested compression is the remapping's too.
      const SampleCentres centres = centresOf(compressionMap(count.overflowTarget));
      const RefineReport report = refineColormap(histogram, colormap, centres, context.pool);
      context.emit(EventKind::refined, report.startError, report.endError, report.iterations);
    }
    return colormap;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory");
  }
}

PaletteImage::PaletteImage(int palettes, int colors)
    : planes_(kx_allocArray(std::max(palettes, 0), std::max(colors, 1), 3)) {
  std::fill_n(planes_.data(), planes_.byteSize(), uint8_t{0});
}

void PaletteImage::set(int f, const Colormap& palette) {
  const int n = std::min(colors(), static_cast<int>(palette.size()));
  for (int c = 0; c < n; ++c) {
    uint8_t* pixel = planes_[c] + 3 * static_cast<size_t>(f);
    pixel[0] = palette[c].red;
    pixel[1] = palette[c].green;
    pixel[2] = palette[c].blue;
  }
}

Colormap PaletteImage::get(int f) const {
  Colormap palette(colors());
  for (int c = 0; c < colors(); ++c) {
    const uint8_t* pixel = planes_[c] + 3 * static_cast<size_t>(f);
    palette[c] = HistogramEntry{pixel[0], pixel[1], pixel[2], 0};
  }
  return palette;
}

}  // namespace kx
