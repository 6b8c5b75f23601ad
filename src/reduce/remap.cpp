// Pixel remapping: every pixel to its nearest palette entry, optionally with
// the colour adjustment (error diffusion of the remapping error).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "common/machine.h"
#include "reduce/alpha_pvt.h"
#include "reduce/dither_pvt.h"
#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

// ---- NearestSearch ---------------------------------------------------------------

NearestCells::NearestCells(const HistogramEntry* palette, int colors) : colors_(colors) {
  red_.resize(colors);
  green_.resize(colors);
  blue_.resize(colors);
  for (int i = 0; i < colors; ++i) {
    red_[i] = palette[i].red;
    green_[i] = palette[i].green;
    blue_[i] = palette[i].blue;
  }
}

// Reads only the palette, fixed since construction, and writes only its own
// arrays and the caller's: nothing for ThreadSanitizer to watch, and by far
// the most work of a remap under it.
__attribute__((no_sanitize("thread"))) void NearestCells::fill(int cell, const uint8_t* candidate,
                                                               int count,
                                                               uint8_t nearestIndex[512]) const {
  const int lo[3] = {(cell >> 10) << 3, ((cell >> 5) & 31) << 3, (cell & 31) << 3};

  // The distance splits into one term per channel, so for each candidate
  // the 512 distances are sums of three 8-entry tables.
  alignas(16) int32_t best[512];
  alignas(16) int32_t index[512];
  std::fill(best, best + 512, 1000000000);
  std::fill(index, index + 512, 0);
  for (int n = 0; n < count; ++n) {
    const int i = candidate[n];
    int32_t dr[8], dg[8], db[8];
    for (int k = 0; k < 8; ++k) {
      dr[k] = (lo[0] + k - red_[i]) * (lo[0] + k - red_[i]);
      dg[k] = (lo[1] + k - green_[i]) * (lo[1] + k - green_[i]);
      db[k] = (lo[2] + k - blue_[i]) * (lo[2] + k - blue_[i]);
    }
    for (int rg = 0; rg < 64; ++rg) {
      const int32_t partial = dr[rg >> 3] + dg[rg & 7];
      int32_t* b = best + 8 * rg;
      int32_t* x = index + 8 * rg;
      for (int k = 0; k < 8; ++k) {
        const int32_t d = partial + db[k];
        const bool nearer = d < b[k];
        b[k] = nearer ? d : b[k];
        x[k] = nearer ? i : x[k];
      }
    }
  }
  for (int k = 0; k < 512; ++k) nearestIndex[k] = static_cast<uint8_t>(index[k]);
}

void NearestCells::fill(int cell, uint8_t nearestIndex[512]) const {
  uint8_t candidate[256];
  fill(cell, candidate, candidates(cell, candidate), nearestIndex);
}

int NearestCells::candidates(int cell, uint8_t out[256]) const {
  const int lo[3] = {(cell >> 10) << 3, ((cell >> 5) & 31) << 3, (cell & 31) << 3};
  int32_t nearest[256];
  int32_t bound = INT32_MAX;
  for (int i = 0; i < colors_; ++i) {
    const int32_t v[3] = {red_[i], green_[i], blue_[i]};
    int32_t dmin = 0, dmax = 0;
    for (int c = 0; c < 3; ++c) {
      const int32_t toLow = v[c] - lo[c], toHigh = v[c] - (lo[c] + 7);
      const int32_t gap = toLow < 0 ? -toLow : (toHigh > 0 ? toHigh : 0);
      dmin += gap * gap;
      const int32_t far = std::max(std::abs(toLow), std::abs(toHigh));
      dmax += far * far;
    }
    nearest[i] = dmin;
    bound = std::min(bound, dmax);
  }
  int count = 0;
  for (int i = 0; i < colors_; ++i) {
    if (nearest[i] <= bound) out[count++] = static_cast<uint8_t>(i);
  }
  return count;
}

int NearestCells::nearestOf(const uint8_t* candidates, int count, int red, int green,
                            int blue) const {
  int32_t best = INT32_MAX;
  int index = 0;
  for (int k = 0; k < count; ++k) {
    const int i = candidates[k];
    const int32_t dr = red - red_[i], dg = green - green_[i], db = blue - blue_[i];
    const int32_t d = dr * dr + dg * dg + db * db;
    if (d < best) best = d, index = i;
  }
  return index;
}

NearestSearch::NearestSearch(const HistogramEntry* palette, int colors, int64_t pixels)
    : search_(palette, colors), fillAfter_(pixels < kSmallPixels ? kFillAfter : 0) {
  cellAt_.assign(32 * 32 * 32, -1);
}

int32_t NearestSearch::beginCell(int cell) {
  const int32_t at = static_cast<int32_t>(cells_.size());
  Cell& c = cells_.emplace_back();
  c.cell = cell;
  c.count = search_.candidates(cell, c.candidates);
  cellAt_[cell] = at;
  return at;
}

int NearestSearch::findOne(Cell& c, int offset, int red, int green, int blue) {
  if (++c.asked > fillAfter_) {
    search_.fill(c.cell, c.candidates, c.count, c.nearest);
    std::fill(std::begin(c.known), std::end(c.known), ~uint64_t{0});
    return c.nearest[offset];
  }
  const int index = search_.nearestOf(c.candidates, c.count, red, green, blue);
  c.nearest[offset] = static_cast<uint8_t>(index);
  c.known[offset >> 6] |= uint64_t{1} << (offset & 63);
  return index;
}

SharedNearestSearch::SharedNearestSearch(const HistogramEntry* palette, int colors)
    : cells_(palette, colors),
      state_(std::make_unique<std::atomic<uint8_t>[]>(32 * 32 * 32)),
      place_(std::make_unique_for_overwrite<uint32_t[]>(32 * 32 * 32)),
      // Not cleared, nor advised for huge pages: only the small pages of the
      // cells asked for are ever touched (a few for a sprite of few colours).
      table_(std::make_unique_for_overwrite<uint8_t[]>(size_t{32 * 32 * 32} * 512)) {}

int SharedNearestSearch::fillCell(int cell, int offset) {
  uint8_t expected = kEmpty;
  if (state_[cell].compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) {
    uint8_t nearest[512];
    cells_.fill(cell, nearest);
    place_[cell] = filled_.fetch_add(1, std::memory_order_relaxed);
    std::memcpy(table_.get() + static_cast<size_t>(place_[cell]) * 512, nearest, 512);
    state_[cell].store(kReady, std::memory_order_release);
    return nearest[offset];
  }
  // Another thread is filling the cell (rows side by side meet the same new
  // colours within microseconds): waiting for it costs less than filling
  // it again.
  for (int spins = 0; state_[cell].load(std::memory_order_acquire) != kReady; ++spins) {
    if (spins < 1024) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }
  return table_[static_cast<size_t>(place_[cell]) * 512 + offset];
}

// ---- Wavefront progress -----------------------------------------------------------

int WaveProgress::waitFor(int need) {
  // The unit above is normally a few pixels ahead.
  for (int spins = 0;; ++spins) {
    const int now = done.load(std::memory_order_acquire);
    if (now >= need) return now;
    if (spins < 256) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
      continue;
    }
    sleepers.fetch_add(1);
    done.wait(now);
    sleepers.fetch_sub(1);
  }
}

namespace {

// Rows firstRow to endRow − 1; indices is the table of the whole picture.
template <class Search>
void remapPlain(const PixelView& pixels, const SampleMap& map, int firstRow, int endRow,
                Search& search, uint8_t* indices) {
  uint32_t prevKey = 0xFFFFFFFF;
  int prevIndex = 0;
  indices += static_cast<size_t>(firstRow) * pixels.width;
  for (int row = firstRow; row < endRow; ++row) {
    const uint8_t* p = pixels.row(row);
    for (int col = 0; col < pixels.width; ++col, p += pixels.channels) {
      const uint32_t key = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      if (key != prevKey) {
        prevIndex = search.find(map[p[0]], map[p[1]], map[p[2]]);
        prevKey = key;
      }
      *indices++ = static_cast<uint8_t>(prevIndex);
    }
  }
}

// The error shares of a sample that differs by d from its palette entry, in
// single precision exactly as (d × factor × weight) / 16 is computed pixel
// by pixel; looked up instead of recomputed because each pixel waits for
// the shares of the one before it.
struct ErrorShares {
  float right[511], downLeft[511], down[511], downRight[511];

  explicit ErrorShares(float factor) {
    for (int d = -255; d <= 255; ++d) {
      const float err = static_cast<float>(d) * factor;
      right[d + 255] = err * 7.0f / 16.0f;
      downLeft[d + 255] = err * 3.0f / 16.0f;
      down[d + 255] = err * 5.0f / 16.0f;
      downRight[d + 255] = err * 1.0f / 16.0f;
    }
  }
};

// One row being remapped with the adjustment. Element col + 1 of the error
// rows belongs to column col; elements 0 and columns + 1 take the diffusion
// beyond the ends of the row, so no column needs a test.
struct AdjustedRow {
  float* cur[3];
  float* next[3];
  const uint8_t* pixels;
  uint8_t* indices;
  // The same row of the frame before and its indices, or null.
  const uint8_t* beforePixels = nullptr;
  const uint8_t* beforeIndices = nullptr;
};

// Row y of the frame before, when the remap knows it.
inline void holdStill(const RemapOptions& options, int y, int columns, AdjustedRow& row) {
  if (!options.before) return;
  row.beforePixels = options.before->row(y);
  row.beforeIndices = options.beforeIndices + static_cast<size_t>(y) * columns;
}

template <class Search>
inline void adjustPixel(const AdjustedRow& row, int col, const PixelView& view,
                        const SampleMap& map, const ErrorShares& shares,
                        const HistogramEntry* colormap, Search& search) {
  const uint8_t* p = row.pixels + static_cast<size_t>(view.channels) * col;
  int s[3];
  for (int c = 0; c < 3; ++c) {
    const float sum = row.cur[c][col + 1] + static_cast<float>(map[p[c]]);
    s[c] = std::clamp(static_cast<int>(sum), 0, 255);
  }
  const size_t at = static_cast<size_t>(view.channels) * col;
  const int index = row.beforePixels && std::memcmp(p, row.beforePixels + at, 3) == 0
                        ? row.beforeIndices[col]
                        : search.find(s[0], s[1], s[2]);
  const HistogramEntry& e = colormap[index];
  const int palette[3] = {e.red, e.green, e.blue};
  for (int c = 0; c < 3; ++c) {
    const int d = s[c] - palette[c] + 255;
    row.cur[c][col + 2] += shares.right[d];
    row.next[c][col] += shares.downLeft[d];
    row.next[c][col + 1] += shares.down[d];
    row.next[c][col + 2] += shares.downRight[d];
  }
  row.indices[col] = static_cast<uint8_t>(index);
}

// The adjustment makes each pixel depend on the one before it, so a single
// row leaves the processor waiting. Rows are therefore remapped kGroup at a
// time, each kLag pixels behind the row above: pixel col of a row needs the
// row above done up to col + 1, and its share to the right must be added
// after the row above added its own shares to that element (col + 2), so
// every float is summed in the same order as one row after the other.
template <class Search>
void remapAdjusted(const PixelView& pixels, const RemapOptions& options, const Colormap& colormap,
                   Search& search, uint8_t* indices) {
  const SampleMap& map = options.samples;
  constexpr int kGroup = 2;
  constexpr int kLag = 3;
  const int columns = pixels.width, rows = pixels.height;
  const size_t width = static_cast<size_t>(columns) + 2;
  std::vector<float> buffer(3 * (kGroup + 1) * width, 0.0f);
  // errors[c][k]: the current row of the k-th row of a group is errors[c][k],
  // its next row errors[c][k + 1]; errors[c][0] carries over between groups.
  float* errors[3][kGroup + 1];
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k <= kGroup; ++k) errors[c][k] = buffer.data() + (c * (kGroup + 1) + k) * width;
  }
  const ErrorShares shares(options.factor);
  for (int first = 0; first < rows; first += kGroup) {
    const int count = std::min(kGroup, rows - first);
    AdjustedRow group[kGroup];
    for (int k = 0; k < count; ++k) {
      for (int c = 0; c < 3; ++c) {
        group[k].cur[c] = errors[c][k];
        group[k].next[c] = errors[c][k + 1];
        std::fill(errors[c][k + 1], errors[c][k + 1] + width, 0.0f);
      }
      group[k].pixels = pixels.row(first + k);
      group[k].indices = indices + static_cast<size_t>(first + k) * columns;
      holdStill(options, first + k, columns, group[k]);
    }
    for (int t = 0; t < columns + (count - 1) * kLag; ++t) {
      for (int k = 0; k < count; ++k) {
        const int col = t - k * kLag;
        if (col >= 0 && col < columns) {
          adjustPixel(group[k], col, pixels, map, shares, colormap.data(), search);
        }
      }
    }
    for (int c = 0; c < 3; ++c) std::swap(errors[c][0], errors[c][count]);
  }
}

// remapAdjusted on several threads, as a wavefront of its groups of rows.
// The first row of a group runs behind the last row of the group above as
// the rows of a group run behind each other: pixel col waits until the row
// above is done through col + 2, so every float still receives its shares
// in the same order as in one pass.
void remapAdjustedWavefront(ThreadPool& pool, const PixelView& pixels, const RemapOptions& options,
                            const Colormap& colormap, SharedNearestSearch& search,
                            uint8_t* indices) {
  const SampleMap& map = options.samples;
  constexpr int kGroup = 2;
  constexpr int kLag = 3;
  const int columns = pixels.width, rows = pixels.height;
  const int groups = (rows + kGroup - 1) / kGroup;
  const int lanes = std::min(pool.threads(), groups);
  const size_t width = static_cast<size_t>(columns) + 2;
  // Row r reads error row r % ringRows and diffuses into the next one. A
  // group begins once the group `lanes` before it has finished, and the
  // groups in between use lanes × kGroup rows and one more: a group never
  // clears a row that another one still uses.
  const int ringRows = (lanes + 1) * kGroup + 1;
  std::vector<float> buffer(3 * static_cast<size_t>(ringRows) * width, 0.0f);
  auto errorRow = [&](int c, int row) {
    return buffer.data() + (static_cast<size_t>(c) * ringRows + row % ringRows) * width;
  };
  const ErrorShares shares(options.factor);
  // Nothing below allocates or throws: a unit that stopped early would
  // leave the one below it waiting.
  runWavefront(pool, groups, lanes, [&](int g, WaveProgress* above, WaveProgress& mine) {
    const int first = g * kGroup;
    const int count = std::min(kGroup, rows - first);
    AdjustedRow group[kGroup];
    for (int k = 0; k < count; ++k) {
      for (int c = 0; c < 3; ++c) {
        group[k].cur[c] = errorRow(c, first + k);
        group[k].next[c] = errorRow(c, first + k + 1);
        std::fill(group[k].next[c], group[k].next[c] + width, 0.0f);
      }
      group[k].pixels = pixels.row(first + k);
      group[k].indices = indices + static_cast<size_t>(first + k) * columns;
      holdStill(options, first + k, columns, group[k]);
    }
    int aboveDone = above ? 0 : columns;
    const int lastLag = (count - 1) * kLag;
    for (int t = 0; t < columns + lastLag; ++t) {
      const int need = std::min(t + 3, columns);
      if (aboveDone < need) aboveDone = above->waitFor(need);
      for (int k = 0; k < count; ++k) {
        const int col = t - k * kLag;
        if (col >= 0 && col < columns) {
          adjustPixel(group[k], col, pixels, map, shares, colormap.data(), search);
        }
      }
      const int lastDone = t - lastLag + 1;
      if (lastDone > 0 && (lastDone % kPublishEvery == 0 || lastDone == columns)) {
        mine.publish(lastDone);
      }
    }
  });
}

}  // namespace

namespace {

// Opaque pixels to an opaque palette: with `shared` (a search for several
// threads) on the context's pool when the picture is large enough, else on
// the calling thread with it or with a search of its own.
std::vector<uint8_t> remapOpaque(const PixelView& pixels, const Colormap& palette,
                                 const RemapOptions& options, const Context& context,
                                 SharedNearestSearch* shared) {
  const int colors = static_cast<int>(palette.size());
  const bool adjust = options.dither == Dither::adjust;
  context.emit(EventKind::remapping, colors);
  std::vector<uint8_t> indices = kx_largeVector<uint8_t>(static_cast<size_t>(pixels.pixels()));
  const int rows = pixels.height;
  ThreadPool* pool = context.pool;
  if (adjust) context.emit(EventKind::adjusting);
  if (shared && pool && pool->threads() > 1 && rows >= 2 && pixels.pixels() >= kStripePixels) {
    if (adjust) {
      remapAdjustedWavefront(*pool, pixels, options, palette, *shared, indices.data());
    } else {
      // The nearest entry depends on the colour alone: stripes need no order.
      const int stripes = std::min(stripeCount(pool, pixels.pixels(), kStripePixels / 4, 4), rows);
      pool->run(stripes, [&](int i) {
        remapPlain(pixels, options.samples, static_cast<int>(stripeStart(rows, i, stripes)),
                   static_cast<int>(stripeStart(rows, i + 1, stripes)), *shared, indices.data());
      });
    }
  } else if (shared) {
    if (adjust) {
      remapAdjusted(pixels, options, palette, *shared, indices.data());
    } else {
      remapPlain(pixels, options.samples, 0, rows, *shared, indices.data());
    }
  } else {
    // The search keeps the nearest index of every colour met: it is the
    // remap cache.
    NearestSearch search(palette.data(), colors, pixels.pixels());
    if (adjust) {
      remapAdjusted(pixels, options, palette, search, indices.data());
    } else {
      remapPlain(pixels, options.samples, 0, rows, search, indices.data());
    }
  }
  context.emit(EventKind::remapped);
  return indices;
}

}  // namespace

Result<std::vector<uint8_t>> remapPixels(const PixelView& pixels, const Colormap& palette,
                                         const RemapOptions& options, const Context& context) {
  // Indices are one byte each.
  if (palette.empty() || palette.size() > 256) {
    return Error(ErrorCode::badArgument, "a palette of " + std::to_string(palette.size()) +
                                             " colors (1 to 256 can be mapped to)");
  }
  if (pixels.channels != 3 && pixels.channels != 4) {
    return Error(ErrorCode::unsupported, "pixels of " + std::to_string(pixels.channels) +
                                             " channels (red, green, blue and alpha or not are "
                                             "mapped)");
  }
  // Opaque pixels and an opaque palette are mapped as if there were no alpha.
  if (pixels.channels == 4 &&
      (std::any_of(palette.begin(), palette.end(),
                   [](const HistogramEntry& e) { return e.alpha != 255; }) ||
       !everyPixelOpaque(pixels))) {
    return remapAlphaPixels(pixels, palette, options, context);
  }
  if (options.before &&
      (options.before->width != pixels.width || options.before->height != pixels.height ||
       options.before->channels != pixels.channels || !options.beforeIndices)) {
    return Error(ErrorCode::badArgument, "the frame before is not of the same size");
  }
  if (options.dither == Dither::adaptive) return remapAdaptive(pixels, palette, options, context);
  try {
    SharedNearestSearch* shared = nullptr;
    std::optional<SharedNearestSearch> own;
    ThreadPool* pool = context.pool;
    if (pool && pool->threads() > 1 && pixels.height >= 2 && pixels.pixels() >= kStripePixels) {
      shared = &own.emplace(palette.data(), static_cast<int>(palette.size()));
    }
    return remapOpaque(pixels, palette, options, context, shared);
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

PaletteMapper::PaletteMapper(const Colormap& palette) : palette_(palette) {
  if (!palette.empty() && palette.size() <= 256) {
    search_ =
        std::make_unique<SharedNearestSearch>(palette.data(), static_cast<int>(palette.size()));
  }
}

PaletteMapper::~PaletteMapper() = default;

Result<std::vector<uint8_t>> PaletteMapper::remap(const PixelView& pixels,
                                                  const RemapOptions& options,
                                                  const Context& context) const {
  if (!search_ || pixels.channels != 3) return remapPixels(pixels, palette_, options, context);
  if (options.before &&
      (options.before->width != pixels.width || options.before->height != pixels.height ||
       options.before->channels != pixels.channels || !options.beforeIndices)) {
    return Error(ErrorCode::badArgument, "the frame before is not of the same size");
  }
  if (options.dither == Dither::adaptive) {
    return remapAdaptive(pixels, palette_, options, context, search_.get());
  }
  try {
    return remapOpaque(pixels, palette_, options, context, search_.get());
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

}  // namespace kx
