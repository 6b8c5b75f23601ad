// Counting a picture's colours for the median cut, with the compression
// that makes a picture of too many colours countable.
//
// At most kColorLimit colours are counted. A picture with more is
// compressed to 129 levels per channel and counted again; kxreduce stops
// when that is still too many. Overflow::finest goes on to the largest
// target below 128 whose compression fits: `kxreduce -z <target>` would
// compress the samples with that target and count once, so the result is
// what that command gives.
//
// Trying a target by compressing and counting the pixels costs two passes
// over the picture; a colour cube (one bit per colour of the 24-bit cube)
// answers the same question exactly from the picture's distinct colours,
// in about a millisecond, so only the target chosen is counted.
#include <algorithm>
#include <bit>
#include <new>
#include <optional>

#include "reduce/alpha_pvt.h"
#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

namespace {

// The set of colours of a picture, one bit per colour (2 MiB).
class ColourCube {
 public:
  ColourCube() : bits_((size_t{1} << 24) / 64, 0) {}

  // The picture's colours through the map, rows side by side on the pool:
  // each stripe sets the bits of a cube of its own, and the cubes are
  // merged (bits are the same in any order).
  void add(const PixelView& pixels, const SampleMap& map, ThreadPool* pool) {
    // A stripe per thread, of a MiB of pixels at least.
    const int stripes = std::clamp(static_cast<int>(pixels.pixels() >> 20), 1, threadsOf(pool));
    std::vector<std::vector<uint64_t>> more(static_cast<size_t>(stripes - 1));
    runTasks(stripes > 1 ? pool : nullptr, stripes, [&](int i) {
      uint64_t* bits = bits_.data();
      if (i > 0) {
        more[static_cast<size_t>(i - 1)].assign(bits_.size(), 0);
        bits = more[static_cast<size_t>(i - 1)].data();
      }
      addRows(pixels, map, static_cast<int>(stripeStart(pixels.height, i, stripes)),
              static_cast<int>(stripeStart(pixels.height, i + 1, stripes)), bits);
    });
    for (const std::vector<uint64_t>& cube : more) {
      for (size_t w = 0; w < bits_.size(); ++w) bits_[w] |= cube[w];
    }
    // The (red, green) rows that hold any colour, for countCompressed.
    for (uint32_t rg = 0; rg < 65536; ++rg) {
      const uint64_t* row = bits_.data() + 4 * size_t{rg};
      if ((row[0] | row[1] | row[2] | row[3]) != 0) rows_.push_back(rg);
    }
  }

  int64_t count() const {
    int64_t n = 0;
    for (uint64_t w : bits_) n += std::popcount(w);
    return n;
  }

  // The distinct colours left after the compression with this target;
  // counting stops as soon as it passes limit.
  int64_t countCompressed(int target, int64_t limit) const {
    // Two samples compress to the same value exactly when int(v × ratio)
    // agrees (the second step, a division by ratio <= 1, keeps distinct
    // values apart), so colours are counted as cells of levels^3 groups.
    const double ratio = static_cast<double>(target) / 255;
    const int levels = target + 1;
    uint8_t group[256];
    for (int v = 0; v < 256; ++v) group[v] = static_cast<uint8_t>(static_cast<int>(v * ratio));

    // First the (red, green) rows of blue bits that fall in one (red, green)
    // cell are merged, a few operations per row of the cube...
    std::vector<uint64_t> merged(static_cast<size_t>(levels) * levels * 4, 0);
    for (const uint32_t rg : rows_) {
      const uint64_t* row = bits_.data() + 4 * size_t{rg};
      uint64_t* cell = merged.data() + 4 * (size_t{group[rg >> 8]} * levels + group[rg & 255]);
      for (int w = 0; w < 4; ++w) cell[w] |= row[w];
    }
    // ...then each merged row's blue values become blue groups, a byte of
    // blue bits at a time through a table of the groups its bits fall in.
    std::vector<std::array<uint64_t, 4>> byteGroups(32 * 256);
    for (int p = 0; p < 32; ++p) {
      std::array<uint64_t, 4>* table = byteGroups.data() + 256 * p;
      table[0] = {0, 0, 0, 0};
      for (int x = 1; x < 256; ++x) {
        const int g = group[8 * p + std::countr_zero(static_cast<unsigned>(x))];
        table[x] = table[x & (x - 1)];
        table[x][g >> 6] |= uint64_t{1} << (g & 63);
      }
    }
    int64_t n = 0;
    for (size_t cell = 0; cell < merged.size(); cell += 4) {
      const uint64_t* row = merged.data() + cell;
      if ((row[0] | row[1] | row[2] | row[3]) == 0) continue;
      uint64_t hit[4] = {0, 0, 0, 0};
      for (int p = 0; p < 32; ++p) {
        const unsigned byte = static_cast<unsigned>(row[p >> 3] >> (8 * (p & 7))) & 255;
        if (byte == 0) continue;
        const std::array<uint64_t, 4>& groups = byteGroups[256 * p + byte];
        for (int w = 0; w < 4; ++w) hit[w] |= groups[w];
      }
      for (int w = 0; w < 4; ++w) n += std::popcount(hit[w]);
      if (n > limit) return n;
    }
    return n;
  }

 private:
  static void addRows(const PixelView& pixels, const SampleMap& map, int first, int end,
                      uint64_t* bits) {
    for (int y = first; y < end; ++y) {
      const uint8_t* p = pixels.row(y);
      for (int x = 0; x < pixels.width; ++x, p += pixels.channels) {
        const uint32_t key = (uint32_t{map[p[0]]} << 16) | (uint32_t{map[p[1]]} << 8) | map[p[2]];
        bits[key >> 6] |= uint64_t{1} << (key & 63);
      }
    }
  }

  std::vector<uint64_t> bits_;
  std::vector<uint32_t> rows_;
};

// The histogram of the pixels through the map (null: as they are), in table
// order; nothing when they have more colours than the limit.
std::optional<Histogram> histogramOf(const PixelView& pixels, const SampleMap* map, int limit,
                                     ThreadPool* pool) {
  ColorCounter counter(limit);
  if (!countInStripes(counter, pixels, map, pool)) return std::nullopt;
  return counter.inTableOrder();
}

// The target that Overflow::finest compresses to: 128 when it fits, else
// the largest below whose compression leaves at most `limit` colours (1
// always does for a limit of 8 or more). The targets are tried from the top
// in batches, one per thread; the first batch with one that fits answers.
int finestTarget(const ColourCube& cube, int64_t limit, ThreadPool* pool) {
  if (cube.countCompressed(128, limit) <= limit) return 128;
  const int batch = threadsOf(pool);
  for (int top = 127; top > 1; top -= batch) {
    const int n = std::min(batch, top - 1);
    std::vector<uint8_t> fits(static_cast<size_t>(n));
    runTasks(n > 1 ? pool : nullptr, n, [&](int i) {
      fits[static_cast<size_t>(i)] = cube.countCompressed(top - i, limit) <= limit;
    });
    for (int i = 0; i < n; ++i) {
      if (fits[static_cast<size_t>(i)]) return top - i;
    }
  }
  return 1;
}

}  // namespace

Result<ColorCount> countColors(const PixelView& pixels, const CountOptions& options,
                               const Context& context) {
  if (pixels.channels != 3 && pixels.channels != 4) {
    return Error(ErrorCode::unsupported,
                 "pixels of " + std::to_string(pixels.channels) +
                     " channels (red, green, blue and alpha or not are counted)");
  }
  // Opaque pixels with an alpha channel are counted as if they had none.
  if (pixels.channels == 4 && !everyPixelOpaque(pixels)) {
    return countAlphaColors(pixels, options, context);
  }
  if (options.compress < 1 || options.compress > 255) {
    return Error(ErrorCode::badArgument,
                 "compress value " + std::to_string(options.compress) + " must be > 0");
  }
  try {
    ColorCount result;
    result.pixels = pixels.pixels();
    result.counted = identityMap();
    const bool requested = options.compress != 255;
    if (requested) {
      context.emit(EventKind::compressing);
      result.counted = compressionMap(options.compress);
    }
    context.emit(EventKind::counting);
    std::optional<Histogram> histogram =
        histogramOf(pixels, requested ? &result.counted : nullptr, options.limit, context.pool);
    if (!histogram) {
      context.emit(EventKind::overflow, options.limit);
      result.overflowTarget = 128;
      if (options.overflow == Overflow::finest) {
        ColourCube cube;
        cube.add(pixels, result.counted, context.pool);
        result.distinctColors = cube.count();
        result.overflowTarget = finestTarget(cube, options.limit, context.pool);
      } else {
        context.emit(EventKind::countingAgain);
      }
      result.counted = composeMaps(result.counted, compressionMap(result.overflowTarget));
      histogram = histogramOf(pixels, &result.counted, options.limit, context.pool);
      if (!histogram && options.overflow == Overflow::compressOnce) {
        return Error(ErrorCode::tooManyColors, "Still too many colors, try option -q");
      }
      // The cube counted these very colours.
      if (!histogram) {
        return Error(ErrorCode::failed, "the colour count of the compressed picture went past " +
                                            std::to_string(options.limit));
      }
    }
    result.histogram = std::move(*histogram);
    context.emit(EventKind::colorsFound, static_cast<int64_t>(result.histogram.size()));
    return result;
  } catch (const std::bad_alloc&) {
    // The table and its entries are had at once here: the words are those
    // of a colour entry that could not be had.
    return Error(ErrorCode::outOfMemory, "out of memory for making color table");
  }
}

}  // namespace kx
