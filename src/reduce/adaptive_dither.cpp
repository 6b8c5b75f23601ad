// Adaptive error diffusion: Floyd-Steinberg where it hides banding, and
// nowhere else.
//
// Error diffusion trades a band (a step where a smooth gradient passes from
// one palette entry to the next, or a smooth area shifted to the one entry
// near it) for fine grain. The trade pays where the picture is smooth and
// the palette's error shows. On a hard edge the grain frays the edge, and
// error carried across it tints the other side; where the picture is uneven
// already (texture, grain), that unevenness hides the palette's steps, and
// grain added to it costs bytes for nothing; in a flat area whose colour
// the palette holds there is no step to hide at all. So every pixel gets a
// strength, from three measures:
//  - error: the largest difference of a sample to the pixel's nearest
//    entry, averaged over the window around the pixel (9 × 9);
//  - unevenness: the largest difference of a sample to its right or lower
//    neighbour, averaged over the same window;
//  - edge: that difference's largest value in the pixel's 3 × 3
//    neighbourhood.
// The unevenness hides as much of the error: the strength is the share of
// the error left over, doubled and at most full, 1 − unevenness / error; it
// is 0 where the mean error is below a quarter of a level (the palette holds
// the colours) and falls to 0 as the edge rises from 16 to 48 levels. The
// means change slowly from pixel to pixel: a map that flipped on and off
// across a smooth area would leave dithered and plain patches side by side,
// which show more than either.
//
// The diffusion weighs both ends: a pixel takes in the error passed to it
// times its own strength and passes its own error on times its strength, so
// a pixel of strength 0 neither moves nor tints its neighbours. A full map
// is 0.85 of the error at each end, about the 0.7 of the colour adjustment
// in all. The error a pixel takes in is limited to 40 levels per channel:
// a colour the palette cannot reach does not pile up error that then spills
// out far away.
//
// The settings were chosen by butteraugli (bench/shipped): photographs and
// screenshots at 256 and 64 colours against pngquant's dithering, for the
// look and the bytes.
//
// Errors are integers (1/4096 of a level): their sums do not depend on the
// order they are added in. The rows still run as a wavefront, each behind
// the row above as for the colour adjustment, because every pixel needs the
// errors of the pixels before it; the map is computed in stripes, each from
// the pixels alone.
#include <algorithm>
#include <new>
#include <string>

#include "reduce/dither_pvt.h"
#include "reduce/reduce_pvt.h"

namespace kx {

namespace {

constexpr int kRadius = 4;      // the window of the means: (2 × kRadius + 1) pixels square
constexpr int kEdgeLow = 16;    // full strength up to this edge
constexpr int kEdgeHigh = 48;   // none from this edge
constexpr int kFloor = 4;       // none up to this mean error, in 1/16 level
constexpr float kRise = 2.0f;   // the strength: kRise × the share of the error left over
constexpr float kFull = 0.85f;  // the strength of a full map, at each end
constexpr int kLimit = 40;      // the most error a pixel takes in, in levels per channel

// Frames smaller than this are worked on by the calling thread alone.
constexpr int64_t kParallelPixels = int64_t{1} << 16;

Status checkArguments(const PixelView& pixels, const Colormap& palette,
                      const RemapOptions& options) {
  if (palette.empty() || palette.size() > 256) {
    return Error(ErrorCode::badArgument, "a palette of " + std::to_string(palette.size()) +
                                             " colors (1 to 256 can be mapped to)");
  }
  if (pixels.channels != 3) {
    return Error(ErrorCode::unsupported, "pixels of " + std::to_string(pixels.channels) +
                                             " channels (red, green and blue are mapped)");
  }
  if (!options.strength.empty() &&
      options.strength.size() != static_cast<size_t>(pixels.pixels())) {
    return Error(ErrorCode::badArgument,
                 "a dithering strength of " + std::to_string(options.strength.size()) +
                     " pixels for a picture of " + std::to_string(pixels.pixels()));
  }
  return {};
}

// ---- The map ------------------------------------------------------------------------

// Per pixel of rows firstRow to endRow − 1: its nearest entry, its error
// (the largest sample difference to that entry) and its contrast (the
// largest sample difference to its right and lower neighbours).
template <bool kMapped, class Search>
void measureRows(const PixelView& pixels, const SampleMap& sampleMap, const Colormap& palette,
                 Search& search, int firstRow, int endRow, uint8_t* nearest, uint8_t* error,
                 uint8_t* contrast) {
  // Most pictures are mapped as they are: no table between the loads.
  const auto map = [&](uint8_t v) -> int { return kMapped ? sampleMap[v] : v; };
  const int columns = pixels.width;
  const size_t step = static_cast<size_t>(pixels.channels);
  uint32_t prevKey = 0xFFFFFFFF;
  int index = 0, distance = 0;
  for (int y = firstRow; y < endRow; ++y) {
    const uint8_t* p = pixels.row(y);
    const uint8_t* below = pixels.row(std::min(y + 1, pixels.height - 1));
    const size_t base = static_cast<size_t>(y) * columns;
    for (int x = 0; x < columns; ++x) {
      const uint8_t* here = p + step * x;
      const uint8_t* right = p + step * std::min(x + 1, columns - 1);
      const uint8_t* under = below + step * x;
      const int s[3] = {map(here[0]), map(here[1]), map(here[2])};
      const uint32_t key = (uint32_t{here[0]} << 16) | (uint32_t{here[1]} << 8) | here[2];
      if (key != prevKey) {
        prevKey = key;
        index = search.find(s[0], s[1], s[2]);
        const HistogramEntry& e = palette[index];
        distance =
            std::max({std::abs(s[0] - e.red), std::abs(s[1] - e.green), std::abs(s[2] - e.blue)});
      }
      int c = 0;
      for (int k = 0; k < 3; ++k) {
        c = std::max({c, std::abs(s[k] - map(right[k])), std::abs(s[k] - map(under[k]))});
      }
      nearest[base + x] = static_cast<uint8_t>(index);
      error[base + x] = static_cast<uint8_t>(distance);
      contrast[base + x] = static_cast<uint8_t>(c);
    }
  }
}

// Sums of a plane over windows of rows: sum[x] is the sum of column x over
// rows y − r to y + r, rows beyond the picture standing for its first or
// last row, kept as y moves down by one.
class ColumnSums {
 public:
  ColumnSums(const uint8_t* plane, int columns, int rows, int r)
      : sum(columns, 0), plane_(plane), columns_(columns), rows_(rows), r_(r) {}
  void start(int y) {
    std::fill(sum.begin(), sum.end(), 0);
    for (int yy = y - r_; yy <= y + r_; ++yy) add(yy, 1);
  }
  void down(int y) {  // from y to y + 1
    add(y - r_, -1);
    add(y + r_ + 1, 1);
  }

  std::vector<int32_t> sum;

 private:
  void add(int y, int sign) {
    const uint8_t* row = plane_ + static_cast<size_t>(std::clamp(y, 0, rows_ - 1)) * columns_;
    for (int x = 0; x < columns_; ++x) sum[x] += sign * row[x];
  }
  const uint8_t* plane_;
  int columns_, rows_, r_;
};

// The strength of rows firstRow to endRow − 1 (see the top of the file).
void strengthRows(int columns, int rows, const uint8_t* error, const uint8_t* contrast,
                  int firstRow, int endRow, uint8_t* strength) {
  float edgeWeight[256];
  for (int c = 0; c < 256; ++c) {
    const float room = static_cast<float>(kEdgeHigh - c) / (kEdgeHigh - kEdgeLow);
    edgeWeight[c] = 255.0f * kFull * std::clamp(room, 0.0f, 1.0f);
  }
  const int r = kRadius, area = (2 * r + 1) * (2 * r + 1);
  const int64_t floor = int64_t{kFloor} * area / 16;
  ColumnSums errors(error, columns, rows, r), contrasts(contrast, columns, rows, r);
  std::vector<uint8_t> edge(columns);
  for (int y = firstRow; y < endRow; ++y) {
    if (y == firstRow) {
      errors.start(y);
      contrasts.start(y);
    } else {
      errors.down(y - 1);
      contrasts.down(y - 1);
    }
    const uint8_t* c0 = contrast + static_cast<size_t>(std::max(y - 1, 0)) * columns;
    const uint8_t* c1 = contrast + static_cast<size_t>(y) * columns;
    const uint8_t* c2 = contrast + static_cast<size_t>(std::min(y + 1, rows - 1)) * columns;
    for (int x = 0; x < columns; ++x) edge[x] = std::max({c0[x], c1[x], c2[x]});
    uint8_t* out = strength + static_cast<size_t>(y) * columns;
    int64_t errorSum = 0, noiseSum = 0;
    for (int x = -r; x <= r; ++x) {
      errorSum += errors.sum[std::clamp(x, 0, columns - 1)];
      noiseSum += contrasts.sum[std::clamp(x, 0, columns - 1)];
    }
    for (int x = 0; x < columns; ++x) {
      const int near =
          std::max({edge[std::max(x - 1, 0)], edge[x], edge[std::min(x + 1, columns - 1)]});
      float s = 0.0f;
      if (errorSum > floor && noiseSum < errorSum) {
        const float left = 1.0f - static_cast<float>(noiseSum) / static_cast<float>(errorSum);
        s = std::min(kRise * left, 1.0f) * edgeWeight[near];
      }
      out[x] = static_cast<uint8_t>(s + 0.5f);
      const int in = std::min(x + r + 1, columns - 1), gone = std::max(x - r, 0);
      errorSum += errors.sum[in] - errors.sum[gone];
      noiseSum += contrasts.sum[in] - contrasts.sum[gone];
    }
  }
}

// Every pixel's nearest entry, and the map.
template <class Search>
void nearestAndStrength(const PixelView& pixels, const SampleMap& map, const Colormap& palette,
                        Search& search, ThreadPool* pool, uint8_t* nearest, uint8_t* strength) {
  const int rows = pixels.height, columns = pixels.width;
  const size_t n = static_cast<size_t>(pixels.pixels());
  std::vector<uint8_t> error(n), contrast(n);
  const int stripes =
      pool ? std::min(stripeCount(pool, pixels.pixels(), kParallelPixels / 4, 4), rows) : 1;
  auto rowOf = [&](int i) { return static_cast<int>(stripeStart(rows, i, stripes)); };
  const bool mapped = map != identityMap();
  runTasks(pool, stripes, [&](int i) {
    (mapped ? measureRows<true, Search>
            : measureRows<false, Search>)(pixels, map, palette, search, rowOf(i), rowOf(i + 1),
                                          nearest, error.data(), contrast.data());
  });
  runTasks(pool, stripes, [&](int i) {
    strengthRows(columns, rows, error.data(), contrast.data(), rowOf(i), rowOf(i + 1), strength);
  });
}

// ---- The diffusion ------------------------------------------------------------------

// One row being diffused. Element col + 1 of the error rows (three
// channels each) belongs to column col; elements 0 and columns + 1 take
// the diffusion beyond the ends of the row, so no column needs a test.
struct DiffusedRow {
  int32_t* cur;
  int32_t* next;
  const uint8_t* pixels;
  const uint8_t* strength;
  uint8_t* indices;  // the nearest entries on entry
};

// Errors are kept in 1/4096 of a level: a pixel of strength w (of 256)
// whose sample is d levels from its entry passes w × d × 16 of them, split
// 7, 3, 5 and 1 sixteenths, and takes in w / 256 of what it was passed.
constexpr int kErrorShift = 20;  // 4096 × 256 = 2^20

template <class Search>
inline void diffusePixel(const DiffusedRow& row, int col, size_t step, const SampleMap& map,
                         const HistogramEntry* palette, int32_t limit, Search& search) {
  const int s = row.strength[col];
  if (s == 0) return;
  const int32_t weight = s + (s >> 7);  // 1 to 256
  const uint8_t* p = row.pixels + step * col;
  const int32_t* in = row.cur + 3 * (col + 1);
  int v[3];
  for (int c = 0; c < 3; ++c) {
    const int32_t e = std::clamp(in[c], -limit, limit);
    v[c] = std::clamp(map[p[c]] + ((weight * e + (1 << (kErrorShift - 1))) >> kErrorShift), 0, 255);
  }
  const int index = search.find(v[0], v[1], v[2]);
  const HistogramEntry& e = palette[index];
  const int d[3] = {v[0] - e.red, v[1] - e.green, v[2] - e.blue};
  int32_t* right = row.cur + 3 * (col + 2);
  int32_t* below = row.next + 3 * col;
  for (int c = 0; c < 3; ++c) {
    const int32_t share = weight * d[c];
    right[c] += 7 * share;
    below[c] += 3 * share;
    below[3 + c] += 5 * share;
    below[6 + c] += share;
  }
  row.indices[col] = static_cast<uint8_t>(index);
}

// The rows kGroup at a time, each kLag pixels behind the row above, as a
// wavefront of groups on the pool: pixel col needs the row above done
// through col + 1, and the element it passes error to on its right is
// written by the row above up to its pixel col + 2.
template <class Search>
void diffuse(ThreadPool* pool, const PixelView& pixels, const SampleMap& map,
             const Colormap& palette, const uint8_t* strength, int32_t limit, Search& search,
             uint8_t* indices) {
  constexpr int kGroup = 2;
  constexpr int kLag = 3;
  constexpr int kPublishEvery = 32;
  const int columns = pixels.width, rows = pixels.height;
  const int groups = (rows + kGroup - 1) / kGroup;
  const int lanes = pool ? std::min(pool->threads(), groups) : 1;
  const size_t width = 3 * (static_cast<size_t>(columns) + 2);
  // A group begins once the group `lanes` before it has finished: a ring of
  // (lanes + 1) groups of rows and one more is never cleared under a group
  // that still uses it.
  const int ringRows = (lanes + 1) * kGroup + 1;
  std::vector<int32_t> buffer(static_cast<size_t>(ringRows) * width, 0);
  auto errorRow = [&](int row) {
    return buffer.data() + static_cast<size_t>(row % ringRows) * width;
  };
  const size_t step = static_cast<size_t>(pixels.channels);
  // Nothing below allocates or throws: a unit that stopped early would
  // leave the one below it waiting.
  auto unit = [&](int g, WaveProgress* above, WaveProgress* mine) {
    const int first = g * kGroup;
    const int count = std::min(kGroup, rows - first);
    DiffusedRow group[kGroup];
    for (int k = 0; k < count; ++k) {
      const size_t at = static_cast<size_t>(first + k) * columns;
      group[k] = DiffusedRow{errorRow(first + k), errorRow(first + k + 1), pixels.row(first + k),
                             strength + at, indices + at};
      std::fill(group[k].next, group[k].next + width, 0);
    }
    int aboveDone = above ? 0 : columns;
    const int lastLag = (count - 1) * kLag;
    for (int t = 0; t < columns + lastLag; ++t) {
      const int need = std::min(t + 3, columns);
      if (aboveDone < need) aboveDone = above->waitFor(need);
      for (int k = 0; k < count; ++k) {
        const int col = t - k * kLag;
        if (col >= 0 && col < columns) {
          diffusePixel(group[k], col, step, map, palette.data(), limit, search);
        }
      }
      const int lastDone = t - lastLag + 1;
      if (mine && lastDone > 0 && (lastDone % kPublishEvery == 0 || lastDone == columns)) {
        mine->publish(lastDone);
      }
    }
  };
  if (lanes > 1) {
    runWavefront(*pool, groups, lanes,
                 [&](int g, WaveProgress* above, WaveProgress& mine) { unit(g, above, &mine); });
  } else {
    for (int g = 0; g < groups; ++g) unit(g, nullptr, nullptr);
  }
}

// The pool when the picture is worth splitting.
ThreadPool* poolFor(const PixelView& pixels, const Context& context) {
  ThreadPool* pool = context.pool;
  const bool split =
      pool && pool->threads() > 1 && pixels.height >= 2 && pixels.pixels() >= kParallelPixels;
  return split ? pool : nullptr;
}

}  // namespace

Result<std::vector<uint8_t>> ditherStrength(const PixelView& pixels, const Colormap& palette,
                                            const RemapOptions& options, const Context& context) {
  if (Status s = checkArguments(pixels, palette, options); !s) return s.error();
  try {
    const size_t n = static_cast<size_t>(pixels.pixels());
    std::vector<uint8_t> nearest(n), strength(n);
    const int colors = static_cast<int>(palette.size());
    if (ThreadPool* pool = poolFor(pixels, context)) {
      SharedNearestSearch search(palette.data(), colors);
      nearestAndStrength(pixels, options.samples, palette, search, pool, nearest.data(),
                         strength.data());
    } else {
      NearestSearch search(palette.data(), colors);
      nearestAndStrength(pixels, options.samples, palette, search, nullptr, nearest.data(),
                         strength.data());
    }
    return strength;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

Result<std::vector<uint8_t>> remapAdaptive(const PixelView& pixels, const Colormap& palette,
                                           const RemapOptions& options, const Context& context) {
  if (Status s = checkArguments(pixels, palette, options); !s) return s.error();
  const int colors = static_cast<int>(palette.size());
  context.emit(EventKind::remapping, colors);
  try {
    const size_t n = static_cast<size_t>(pixels.pixels());
    std::vector<uint8_t> indices(n), own;
    constexpr int32_t limit = kLimit << 12;
    auto run = [&](auto& search, ThreadPool* pool) {
      const uint8_t* strength = options.strength.data();
      own.resize(n);
      nearestAndStrength(pixels, options.samples, palette, search, pool, indices.data(),
                         own.data());
      if (options.strength.empty()) strength = own.data();
      diffuse(pool, pixels, options.samples, palette, strength, limit, search, indices.data());
    };
    if (ThreadPool* pool = poolFor(pixels, context)) {
      SharedNearestSearch search(palette.data(), colors);
      run(search, pool);
    } else {
      NearestSearch search(palette.data(), colors);
      run(search, nullptr);
    }
    context.emit(EventKind::remapped);
    return indices;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

}  // namespace kx
