// Pixel remapping: every pixel to its nearest palette entry, optionally with
// the colour adjustment (error diffusion of the remapping error), written as
// the index bytes and trailer of the colour-mapped image file.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

// ---- NearestSearch ---------------------------------------------------------------

NearestSearch::NearestSearch(const HistogramEntry* palette, int colors) : colors_(colors) {
  red_.resize(colors);
  green_.resize(colors);
  blue_.resize(colors);
  for (int i = 0; i < colors; ++i) {
    red_[i] = palette[i].red;
    green_[i] = palette[i].green;
    blue_[i] = palette[i].blue;
  }
  cellStart_.assign(kCellsPerSide * kCellsPerSide * kCellsPerSide, -1);
  cellCount_.assign(cellStart_.size(), 0);
}

void NearestSearch::buildCell(int cell) {
  const int lo[3] = {(cell >> 10) << kCellShift, ((cell >> 5) & 31) << kCellShift,
                     (cell & 31) << kCellShift};
  constexpr int kSpan = (1 << kCellShift) - 1;
  int32_t nearest[256];
  int32_t bound = INT32_MAX;
  for (int i = 0; i < colors_; ++i) {
    const int32_t v[3] = {red_[i], green_[i], blue_[i]};
    int32_t dmin = 0, dmax = 0;
    for (int c = 0; c < 3; ++c) {
      const int32_t below = lo[c] - v[c], above = v[c] - (lo[c] + kSpan);
      const int32_t gap = std::max({below, above, 0});
      dmin += gap * gap;
      const int32_t far = std::max(std::abs(below), std::abs(v[c] - lo[c] - kSpan));
      dmax += far * far;
    }
    nearest[i] = dmin;
    bound = std::min(bound, dmax);
  }
  cellStart_[cell] = static_cast<int32_t>(candidates_.size());
  // Ascending index, so that the search below keeps the lowest index on ties.
  for (int i = 0; i < colors_; ++i) {
    if (nearest[i] <= bound) candidates_.push_back(static_cast<uint8_t>(i));
  }
  cellCount_[cell] = static_cast<uint16_t>(candidates_.size() - cellStart_[cell]);
}

int NearestSearch::find(int red, int green, int blue) {
  const int cell =
      ((red >> kCellShift) << 10) | ((green >> kCellShift) << 5) | (blue >> kCellShift);
  if (cellStart_[cell] < 0) buildCell(cell);
  const uint8_t* c = candidates_.data() + cellStart_[cell];
  const int n = cellCount_[cell];
  int32_t best = 1000000000;
  int index = 0;
  for (int k = 0; k < n; ++k) {
    const int i = c[k];
    const int32_t dr = red - red_[i], dg = green - green_[i], db = blue - blue_[i];
    const int32_t d = dr * dr + dg * dg + db * db;
    if (d < best) {
      best = d;
      index = i;
    }
  }
  return index;
}

namespace {

// The remap cache: the chosen index of every colour met so far, one 16-bit
// slot per possible colour (0 = not searched yet). The slots are laid out in
// Morton order so that similar colours share cache lines; the block is
// zero-filled lazily by the system, so only the pages of colours met are
// ever touched.
class RemapCache {
 public:
  RemapCache() {
    slots_ = static_cast<uint16_t*>(std::calloc(size_t{1} << 24, sizeof(uint16_t)));
    if (!slots_) kx_error("out of memory for allocating color table");
    for (uint32_t v = 0; v < 256; ++v) {
      uint32_t spread = 0;
      for (int bit = 0; bit < 8; ++bit) spread |= ((v >> bit) & 1u) << (3 * bit);
      red_[v] = spread << 2;
      green_[v] = spread << 1;
      blue_[v] = spread;
    }
  }
  ~RemapCache() { std::free(slots_); }
  RemapCache(const RemapCache&) = delete;
  RemapCache& operator=(const RemapCache&) = delete;

  int lookup(int r, int g, int b, NearestSearch& search) {
    uint16_t& slot = slots_[red_[r] | green_[g] | blue_[b]];
    if (slot == 0) slot = static_cast<uint16_t>(search.find(r, g, b) + 1);
    return slot - 1;
  }

 private:
  uint16_t* slots_;
  uint32_t red_[256], green_[256], blue_[256];
};

void remapPlain(PixelPlanes& planes, int columns, int rows, const Colormap& colormap,
                RemapCache& cache, NearestSearch& search, uint8_t* indices) {
  uint32_t prevKey = 0xFFFFFFFF;
  int prevIndex = 0;
  for (int row = 0; row < rows; ++row) {
    uint8_t* p = planes[row];
    for (int col = 0; col < columns; ++col, p += 3) {
      const uint32_t key = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      if (key != prevKey) {
        prevIndex = cache.lookup(p[0], p[1], p[2], search);
        prevKey = key;
      }
      const HistogramEntry& e = colormap[prevIndex];
      p[0] = e.red;
      p[1] = e.green;
      p[2] = e.blue;
      *indices++ = static_cast<uint8_t>(prevIndex);
    }
  }
}

void remapAdjusted(PixelPlanes& planes, int columns, int rows, int maxval, float factor,
                   const Colormap& colormap, RemapCache& cache, NearestSearch& search,
                   uint8_t* indices) {
  // Element col + 1 belongs to column col; elements 0 and columns + 1 take
  // the diffusion beyond the ends of the row, so no column needs a test.
  std::vector<float> rowsBuffer;
  try {
    rowsBuffer.assign(6 * (static_cast<size_t>(columns) + 2), 0.0f);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for allocating a row\n");
  }
  float* cur[3];
  float* next[3];
  for (int c = 0; c < 3; ++c) {
    cur[c] = rowsBuffer.data() + c * (columns + 2);
    next[c] = rowsBuffer.data() + (3 + c) * (columns + 2);
  }
  for (int row = 0; row < rows; ++row) {
    for (int c = 0; c < 3; ++c) std::fill(next[c], next[c] + columns + 2, 0.0f);
    uint8_t* p = planes[row];
    for (int col = 0; col < columns; ++col, p += 3) {
      int s[3];
      for (int c = 0; c < 3; ++c) {
        // Single precision throughout, in this order: stored results
        // depend on every rounding.
        const float sum = cur[c][col + 1] + static_cast<float>(p[c]);
        s[c] = std::clamp(static_cast<int>(sum), 0, maxval);
      }
      const int index = cache.lookup(s[0], s[1], s[2], search);
      const HistogramEntry& e = colormap[index];
      const int palette[3] = {e.red, e.green, e.blue};
      for (int c = 0; c < 3; ++c) {
        const float err = static_cast<float>(s[c] - palette[c]) * factor;
        cur[c][col + 2] += err * 7.0f / 16.0f;
        next[c][col] += err * 3.0f / 16.0f;
        next[c][col + 1] += err * 5.0f / 16.0f;
        next[c][col + 2] += err * 1.0f / 16.0f;
        p[c] = static_cast<uint8_t>(palette[c]);
      }
      *indices++ = static_cast<uint8_t>(index);
    }
    for (int c = 0; c < 3; ++c) std::swap(cur[c], next[c]);
  }
}

}  // namespace

void kx_reduceColors(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, const Colormap& colormap,
                     ReductionTables& tables) {
  (void)name;
  if (!opt->outFile) kx_error("no colour-mapped image file is open for writing\n");
  const int colors = opt->colors;
  // Indices are stored in one byte each.
  if (colors < 1 || colors > 256 || static_cast<size_t>(colors) > colormap.size()) {
    opt->outFile->abandon();
    kx_error("cannot map " + opt->outFile->path() + " onto a colormap of " +
             std::to_string(colors) + " colors (1 to 256 can be written)\n");
  }
  if (opt->verbose) std::fprintf(stderr, "Making the new %d colors image...\n", colors);
  std::fflush(stderr);

  const size_t pixels = static_cast<size_t>(std::max(columns, 0)) * std::max(rows, 0);
  if (tables.colIndexSize < pixels || !tables.colIndexTab) {
    // A frame larger than the one the table was made for gets a larger table
    // rather than a write past its end.
    try {
      tables.colIndexTab = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(pixels, 1));
      tables.colIndexSize = pixels;
    } catch (const std::bad_alloc&) {
      kx_error("out of memory for allocating color index table\n");
    }
  }

  {
    RemapCache cache;
    std::unique_ptr<NearestSearch> search;
    try {
      search = std::make_unique<NearestSearch>(colormap.data(), colors);
    } catch (const std::bad_alloc&) {
      kx_error("out of memory for allocating color table");
    }
    try {
      if (opt->adjust) {
        if (opt->verbose) std::fputs("Making colors adjustment...\n", stderr);
        remapAdjusted(planes, columns, rows, maxval, opt->adjustFactor, colormap, cache, *search,
                      tables.colIndexTab.get());
      } else {
        remapPlain(planes, columns, rows, colormap, cache, *search, tables.colIndexTab.get());
      }
    } catch (const std::bad_alloc&) {
      kx_error("out of memory for adding to color table");
    }
  }
  if (opt->verbose) std::fputs("Done.\n", stderr);

  OutFile& out = *opt->outFile;
  out.write(tables.colIndexTab.get(), pixels);
  out.u32(0);
  out.text("_EOF");
  if (!out.commit()) {
    const std::string path = out.path();
    const int error = out.error() ? out.error() : errno;
    opt->outFile.reset();
    kx_error(std::string(std::strerror(error)) + " , Can't write " + path + "\n");
  }
  opt->outFile.reset();
}

}  // namespace kx
