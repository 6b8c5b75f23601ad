// Adaptive error diffusion: Floyd-Steinberg as strong as the eye would see
// the palette's error at each place.
//
// Error diffusion trades a band (a step where a smooth gradient passes from
// one palette entry to the next, or an area shifted to the one entry near
// it) for fine grain. The trade pays where the picture is smooth and the
// palette's error shows. Where the picture is uneven already (texture,
// grain), that unevenness hides part of the palette's error, and grain
// added to it costs bytes for less; on a hard edge the grain frays the edge,
// and error carried across it tints the other side; in a flat area whose
// colour the palette holds there is no step to hide at all. So every pixel
// gets a strength, from three measures:
//  - error: the largest difference of a sample to the pixel's nearest
//    entry, averaged over the window around the pixel (9 × 9);
//  - unevenness: the largest difference of a sample to its right or lower
//    neighbour, averaged over the same window;
//  - edge: that difference's largest value in the pixel's 3 × 3
//    neighbourhood.
// The unevenness masks the error as far as it reaches: the strength is the
// error's share of the unevenness, times the level's gain and at most full
// (a smooth area gets full strength, foliage or a painted stroke as much as
// its error still shows through its texture). It is 0 where the mean error
// is below a quarter of a level (the palette holds the colours), and falls
// to 0 as the edge stands out of the unevenness around it, from 16 to 48
// levels above a multiple of the mean unevenness: an edge in a smooth area
// is kept clean, the veins of a leaf among leaves are not an edge. The means
// change slowly from pixel to pixel: a map that flipped on and off across a
// smooth area would leave dithered and plain patches side by side, which
// show more than either.
//
// The level (RemapOptions::ditherLevel) spends bytes for look: each one up
// doubles the gain, so that more texture is dithered, and lets the edge
// stand out further before the strength falls.
//
// The diffusion weighs both ends: a pixel takes in the error passed to it
// times its own strength and passes its own error on times its strength, so
// a pixel of strength 0 neither moves nor tints its neighbours. A full map
// is 0.85 of the error at each end, about the 0.7 of the colour adjustment
// in all. The error a pixel takes in is limited to 40 levels per channel:
// a colour the palette cannot reach does not pile up error that then spills
// out far away.
//
// The settings were chosen by butteraugli (bench/photos, bench/shipped):
// photographs of many kinds and screenshots at 256 and 64 colours against
// pngquant's dithering, for the look and the bytes.
//
// Errors are integers (1/4096 of a level): their sums do not depend on the
// order they are added in. The rows still run as a wavefront, each behind
// the row above as for the colour adjustment, because every pixel needs the
// errors of the pixels before it; the map is computed in stripes, each from
// the pixels alone.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "common/machine.h"
#include "reduce/dither_pvt.h"
#include "reduce/reduce_pvt.h"

namespace kx {

namespace {

constexpr int kRadius = 4;      // the window of the means: (2 × kRadius + 1) pixels square
constexpr int kEdgeLow = 16;    // full strength up to this edge above the unevenness
constexpr int kEdgeHigh = 48;   // none from this edge above the unevenness
constexpr int kFloor = 4;       // none up to this mean error, in 1/16 level
constexpr float kFull = 0.85f;  // the strength of a full map, at each end

// What a level changes: the gain on the error's share of the unevenness,
// and the multiple of the mean unevenness an edge is measured above.
struct Level {
  float gain;
  float relief;
};
constexpr Level kLevels[kMaxDitherLevel] = {{1.0f, 1.5f}, {2.0f, 2.0f}, {4.0f, 3.0f}};

Status checkArguments(const PixelView& pixels, const Colormap& palette,
                      const RemapOptions& options) {
  if (palette.empty() || palette.size() > 256) {
    return Error(ErrorCode::badArgument, "a palette of " + std::to_string(palette.size()) +
                                             " colors (1 to 256 can be mapped to)");
  }
  if (pixels.channels != 3 && pixels.channels != 4) {
    return Error(ErrorCode::unsupported,
                 "pixels of " + std::to_string(pixels.channels) +
                     " channels (red, green, blue and alpha or not are mapped)");
  }
  if (options.ditherLevel < 1 || options.ditherLevel > kMaxDitherLevel) {
    return Error(ErrorCode::badArgument, "dithering level " + std::to_string(options.ditherLevel) +
                                             " (1 to " + std::to_string(kMaxDitherLevel) + ")");
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

// The contrast of one row: per sample the larger difference to the sample on
// its right and the one below (the last column has none on its right), then
// per pixel the largest of its three. `diff` holds 3 × columns bytes.
template <bool kMapped>
void rowContrast(const uint8_t* p, const uint8_t* below, int columns, size_t step,
                 const SampleMap& map, uint8_t* diff, uint8_t* contrast) {
  const auto apart = [](uint8_t a, uint8_t b) -> uint8_t { return a > b ? a - b : b - a; };
  const size_t n = 3 * static_cast<size_t>(columns);
  if (!kMapped && step == 3) {
    // The common case, in a loop the compiler vectorizes.
    for (size_t i = 0; i + 3 < n; ++i)
      diff[i] = std::max(apart(p[i], p[i + 3]), apart(p[i], below[i]));
    for (size_t i = n - 3; i < n; ++i) diff[i] = apart(p[i], below[i]);
  } else {
    for (int x = 0; x < columns; ++x) {
      const size_t here = step * x, right = step * std::min(x + 1, columns - 1);
      for (int k = 0; k < 3; ++k) {
        const uint8_t s = kMapped ? map[p[here + k]] : p[here + k];
        const uint8_t r = kMapped ? map[p[right + k]] : p[right + k];
        const uint8_t b = kMapped ? map[below[here + k]] : below[here + k];
        diff[3 * x + k] = std::max(apart(s, r), apart(s, b));
      }
    }
  }
  for (int x = 0; x < columns; ++x) {
    contrast[x] = std::max({diff[3 * x], diff[3 * x + 1], diff[3 * x + 2]});
  }
}

// One row's measures: every pixel's nearest entry and error (the largest
// sample difference to that entry), and its contrast (the largest sample
// difference to its right and lower neighbours). `diff` holds 3 × columns
// bytes.
template <bool kMapped, class Search>
void measureRow(const PixelView& pixels, const SampleMap& map, const Colormap& palette,
                Search& search, int y, uint8_t* nearest, uint8_t* error, uint8_t* contrast,
                uint8_t* diff) {
  const int columns = pixels.width;
  const size_t step = static_cast<size_t>(pixels.channels);
  const uint8_t* p = pixels.row(y);
  uint32_t prevKey = 0xFFFFFFFF;
  int index = 0, distance = 0;
  for (int x = 0; x < columns; ++x) {
    const uint8_t* here = p + step * x;
    const uint32_t key = (uint32_t{here[0]} << 16) | (uint32_t{here[1]} << 8) | here[2];
    if (key != prevKey) {
      prevKey = key;
      const int s[3] = {map[here[0]], map[here[1]], map[here[2]]};
      index = search.find(s[0], s[1], s[2]);
      const HistogramEntry& e = palette[index];
      distance =
          std::max({std::abs(s[0] - e.red), std::abs(s[1] - e.green), std::abs(s[2] - e.blue)});
    }
    nearest[x] = static_cast<uint8_t>(index);
    error[x] = static_cast<uint8_t>(distance);
  }
  rowContrast<kMapped>(p, pixels.row(std::min(y + 1, pixels.height - 1)), columns, step, map, diff,
                       contrast);
}

// The sums of one row of column sums over the window around every column:
// the row, padded by kRadius columns on each side that repeat its first and
// last one, added up shifted (loops the compiler vectorizes).
void boxSums(std::vector<int32_t>& padded, std::vector<int32_t>& box) {
  const int columns = static_cast<int>(box.size()), r = kRadius;
  std::fill_n(padded.begin(), r, padded[r]);
  std::fill_n(padded.begin() + r + columns, r, padded[r + columns - 1]);
  std::copy_n(padded.begin(), columns, box.begin());
  for (int d = 1; d <= 2 * r; ++d) {
    const int32_t* from = padded.data() + d;
    int32_t* to = box.data();
    for (int x = 0; x < columns; ++x) to[x] += from[x];
  }
}

// The nearest entries and the strengths of rows firstRow to endRow − 1 (see
// the top of the file). The measures of the rows the windows reach, the
// stripe's own and kRadius more above and below it, are kept in a ring of
// rows, rows beyond the picture standing for its first or last row.
template <bool kMapped, class Search>
void mapStripe(const PixelView& pixels, const SampleMap& map, const Colormap& palette,
               Search& search, const Level& level, int firstRow, int endRow, uint8_t* nearest,
               uint8_t* strength) {
  constexpr int r = kRadius, kRing = 2 * kRadius + 2;
  const int rows = pixels.height, columns = pixels.width;
  const size_t width = static_cast<size_t>(columns);
  std::vector<uint8_t> error(kRing * width), contrast(kRing * width), halo(width), diff(3 * width),
      edge(width), near(width);
  // Column sums over the window, with kRadius columns of room on each side.
  std::vector<int32_t> errorColumns(width + 2 * r, 0), noiseColumns(width + 2 * r, 0),
      errorBox(width), noiseBox(width);
  auto at = [&](std::vector<uint8_t>& plane, int y) {
    return plane.data() + static_cast<size_t>(std::clamp(y, 0, rows - 1) % kRing) * width;
  };
  int measured = std::max(firstRow - r, 0);
  auto measureTo = [&](int end) {
    for (; measured < std::min(end, rows); ++measured) {
      uint8_t* own =
          measured >= firstRow && measured < endRow ? nearest + measured * width : halo.data();
      measureRow<kMapped>(pixels, map, palette, search, measured, own, at(error, measured),
                          at(contrast, measured), diff.data());
    }
  };
  auto addRow = [&](int y, int sign) {
    const uint8_t* e = at(error, y);
    const uint8_t* c = at(contrast, y);
    int32_t* errors = errorColumns.data() + r;
    int32_t* noise = noiseColumns.data() + r;
    for (size_t x = 0; x < width; ++x) {
      errors[x] += sign * e[x];
      noise[x] += sign * c[x];
    }
  };
  constexpr float cells = (2 * r + 1) * (2 * r + 1);
  constexpr int32_t floor = kFloor * (2 * r + 1) * (2 * r + 1) / 16;
  for (int y = firstRow; y < endRow; ++y) {
    measureTo(y + r + 1);
    if (y == firstRow) {
      for (int yy = y - r; yy <= y + r; ++yy) addRow(yy, 1);
    } else {
      addRow(y - r - 1, -1);
      addRow(y + r, 1);
    }
    boxSums(errorColumns, errorBox);
    boxSums(noiseColumns, noiseBox);
    // The edge: the largest contrast of the 3 × 3 neighbourhood.
    const uint8_t *c0 = at(contrast, y - 1), *c1 = at(contrast, y), *c2 = at(contrast, y + 1);
    for (size_t x = 0; x < width; ++x) edge[x] = std::max({c0[x], c1[x], c2[x]});
    for (size_t x = 0; x < width; ++x) {
      near[x] = std::max({edge[x == 0 ? 0 : x - 1], edge[x], edge[std::min(x + 1, width - 1)]});
    }
    uint8_t* out = strength + static_cast<size_t>(y) * width;
    for (size_t x = 0; x < width; ++x) {
      const int32_t e = errorBox[x], c = noiseBox[x];
      float s = 0.0f;
      if (e > floor) {
        const float share = level.gain * static_cast<float>(e) / static_cast<float>(std::max(c, 1));
        const float standsOut =
            static_cast<float>(near[x]) - level.relief * static_cast<float>(c) / cells;
        const float room = std::clamp((kEdgeHigh - standsOut) / (kEdgeHigh - kEdgeLow), 0.0f, 1.0f);
        s = 255.0f * kFull * std::min(share, 1.0f) * room;
      }
      out[x] = static_cast<uint8_t>(s + 0.5f);
    }
  }
}

// Every pixel's nearest entry, and the map, in stripes of rows.
template <class Search>
void nearestAndStrength(const PixelView& pixels, const SampleMap& map, const Colormap& palette,
                        Search& search, int level, ThreadPool* pool, uint8_t* nearest,
                        uint8_t* strength) {
  const int rows = pixels.height;
  const int stripes =
      pool ? std::min(stripeCount(pool, pixels.pixels(), kStripePixels / 4, 4), rows) : 1;
  auto rowOf = [&](int i) { return static_cast<int>(stripeStart(rows, i, stripes)); };
  const bool mapped = map != identityMap();
  runTasks(pool, stripes, [&](int i) {
    (mapped ? mapStripe<true, Search> : mapStripe<false, Search>)(pixels, map, palette, search,
                                                                  kLevels[level - 1], rowOf(i),
                                                                  rowOf(i + 1), nearest, strength);
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
  // The colour looked up last and its entry: neighbours often ask again.
  uint32_t lastKey = 0xFFFFFFFF;
  int lastIndex = 0;
};

// Errors are kept in 1/4096 of a level: a pixel of strength w (of 256)
// whose sample is d levels from its entry passes w × d × 16 of them, split
// 7, 3, 5 and 1 sixteenths, and takes in w / 256 of what it was passed.
constexpr int kErrorShift = 20;  // 4096 × 256 = 2^20

template <class Search>
inline void diffusePixel(DiffusedRow& row, int col, size_t step, const SampleMap& map,
                         const HistogramEntry* palette, int32_t limit, Search& search) {
  const int s = row.strength[col];
  if (s == 0) return;
  const int32_t weight = s + (s >> 7);  // 1 to 256
  const uint8_t* p = row.pixels + step * col;
  const int32_t* in = row.cur + 3 * (col + 1);
  int v[3];
  bool moved = false;
  for (int c = 0; c < 3; ++c) {
    const int32_t e = std::clamp(in[c], -limit, limit);
    const int32_t shift = (weight * e + (1 << (kErrorShift - 1))) >> kErrorShift;
    moved |= shift != 0;
    v[c] = std::clamp(map[p[c]] + shift, 0, 255);
  }
  // A colour the error left as it was keeps its nearest entry, known already;
  // others are looked up, the one before at no cost.
  int index = row.indices[col];
  if (moved) {
    const uint32_t key = (uint32_t(v[0]) << 16) | (uint32_t(v[1]) << 8) | uint32_t(v[2]);
    if (key != row.lastKey) {
      row.lastKey = key;
      row.lastIndex = search.find(v[0], v[1], v[2]);
    }
    index = row.lastIndex;
  }
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
    // Pixels of strength 0 neither read nor write errors: only the steps
    // from the first pixel of some strength to the last are run (none in
    // the flat parts of a screenshot).
    int begin = columns, end = 0;
    for (int k = 0; k < count; ++k) {
      const uint8_t* s = group[k].strength;
      int from = 0, last = columns - 1;
      while (from < columns && s[from] == 0) ++from;
      if (from == columns) continue;
      while (s[last] == 0) --last;
      begin = std::min(begin, from + k * kLag);
      end = std::max(end, last + k * kLag + 1);
    }
    int aboveDone = above ? 0 : columns;
    const int lastLag = (count - 1) * kLag;
    for (int t = begin; t < end; ++t) {
      const int need = std::min(t + 3, columns);
      if (aboveDone < need) aboveDone = above->waitFor(need);
      for (int k = 0; k < count; ++k) {
        const int col = t - k * kLag;
        if (col >= 0 && col < columns) {
          diffusePixel(group[k], col, step, map, palette.data(), limit, search);
        }
      }
      const int lastDone = t - lastLag + 1;
      if (mine && lastDone > 0 && lastDone % kPublishEvery == 0) mine->publish(lastDone);
    }
    // Finishing no earlier than the unit above keeps the ring's rows apart.
    if (aboveDone < columns) above->waitFor(columns);
    if (mine) mine->publish(columns);
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
      pool && pool->threads() > 1 && pixels.height >= 2 && pixels.pixels() >= kStripePixels;
  return split ? pool : nullptr;
}

}  // namespace

Result<std::vector<uint8_t>> ditherStrength(const PixelView& pixels, const Colormap& palette,
                                            const RemapOptions& options, const Context& context) {
  if (Status s = checkArguments(pixels, palette, options); !s) return s.error();
  try {
    const size_t n = static_cast<size_t>(pixels.pixels());
    std::vector<uint8_t> nearest = kx_largeVector<uint8_t>(n),
                         strength = kx_largeVector<uint8_t>(n);
    const int colors = static_cast<int>(palette.size());
    if (ThreadPool* pool = poolFor(pixels, context)) {
      SharedNearestSearch search(palette.data(), colors);
      nearestAndStrength(pixels, options.samples, palette, search, options.ditherLevel, pool,
                         nearest.data(), strength.data());
    } else {
      NearestSearch search(palette.data(), colors, pixels.pixels());
      nearestAndStrength(pixels, options.samples, palette, search, options.ditherLevel, nullptr,
                         nearest.data(), strength.data());
    }
    return strength;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

Result<std::vector<uint8_t>> remapAdaptive(const PixelView& pixels, const Colormap& palette,
                                           const RemapOptions& options, const Context& context,
                                           SharedNearestSearch* shared) {
  if (Status s = checkArguments(pixels, palette, options); !s) return s.error();
  const int colors = static_cast<int>(palette.size());
  context.emit(EventKind::remapping, colors);
  try {
    const size_t n = static_cast<size_t>(pixels.pixels());
    std::vector<uint8_t> indices = kx_largeVector<uint8_t>(n), own;
    constexpr int32_t limit = kMostDiffusedError << 12;
    auto run = [&](auto& search, ThreadPool* pool) {
      const uint8_t* strength = options.strength.data();
      kx_resizeLarge(own, n);
      nearestAndStrength(pixels, options.samples, palette, search, options.ditherLevel, pool,
                         indices.data(), own.data());
      if (!options.strength.empty()) std::copy_n(strength, n, own.data());
      strength = own.data();
      // Pixels that stand still are left out of the diffusion (strength
      // 0: no error in, none out) and get their index of the frame before.
      std::vector<uint8_t> still;
      if (options.before) {
        still = kx_largeVector<uint8_t>(n);
        const size_t step = static_cast<size_t>(pixels.channels);
        for (int y = 0; y < pixels.height; ++y) {
          const uint8_t* a = pixels.row(y);
          const uint8_t* b = options.before->row(y);
          const size_t at = static_cast<size_t>(y) * pixels.width;
          for (int x = 0; x < pixels.width; ++x, a += step, b += step) {
            if (std::memcmp(a, b, 3) == 0) still[at + x] = 1, own[at + x] = 0;
          }
        }
      }
      diffuse(pool, pixels, options.samples, palette, strength, limit, search, indices.data());
      for (size_t i = 0; i < still.size(); ++i) {
        if (still[i]) indices[i] = options.beforeIndices[i];
      }
    };
    ThreadPool* pool = poolFor(pixels, context);
    if (shared) {
      run(*shared, pool);
    } else if (pool) {
      SharedNearestSearch search(palette.data(), colors);
      run(search, pool);
    } else {
      NearestSearch search(palette.data(), colors, pixels.pixels());
      run(search, nullptr);
    }
    context.emit(EventKind::remapped);
    return indices;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

}  // namespace kx
