// Counting a picture's colours for the median cut, with kxreduce's automatic
// compression and, where that is not enough, a finer search of our own.
//
// kxreduce counts at most kColorLimit colours; on overflow it compresses every
// channel with target 128 and counts again, and stops with status 1 when that
// overflows too. kxquant does exactly the same up to there, so a picture that
// kxreduce can reduce gets kxreduce's histogram. Past that point it looks for
// the largest target below 128 whose compression keeps within the limit:
// `kxreduce -z <target>` compresses the original samples with that target and
// counts once, so the result is what that command would give.
//
// Trying a target by compressing and counting the pixels costs two passes
// over the picture; a colour cube (one bit per colour) answers the same
// question exactly from the picture's distinct colours alone, in about a
// millisecond, so only the target chosen is applied to the pixels.
#include <array>
#include <bit>

#include "quant/quant.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

constexpr size_t kCubeWords = (size_t{1} << 24) / 64;

}  // namespace

ColourCube::ColourCube() : bits_(kCubeWords, 0) {}

void ColourCube::add(const uint8_t* rgb, size_t pixels) {
  uint64_t* bits = bits_.data();
  for (size_t i = 0; i < pixels; ++i, rgb += 3) {
    const uint32_t key = (uint32_t{rgb[0]} << 16) | (uint32_t{rgb[1]} << 8) | rgb[2];
    bits[key >> 6] |= uint64_t{1} << (key & 63);
  }
}

int64_t ColourCube::count() const {
  int64_t n = 0;
  for (uint64_t w : bits_) n += std::popcount(w);
  return n;
}

int64_t ColourCube::countCompressed(int target, int64_t limit) const {
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
  for (uint32_t rg = 0; rg < 65536; ++rg) {
    const uint64_t* row = bits_.data() + 4 * size_t{rg};
    if ((row[0] | row[1] | row[2] | row[3]) == 0) continue;
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

int finestFittingTarget(const ColourCube& cube, int highest, int64_t limit) {
  for (int target = highest; target > 1; --target) {
    if (cube.countCompressed(target, limit) <= limit) return target;
  }
  return 1;
}

CountedColors countColorsCompressing(PixelPlanes& planes, int columns, int rows, int limit) {
  CountedColors counted;
  std::optional<Histogram> histogram =
      kx_makeHistogram(planes, columns, rows, limit, &counted.colorCount);
  if (histogram) {
    counted.histogram = std::move(*histogram);
    return counted;
  }
  // The cube tells what kxreduce's compression to 128 would leave without
  // compressing and counting the pixels, and where to go from there. The
  // planes are one block of columns × rows pixels.
  ColourCube cube;
  cube.add(planes.data(), static_cast<size_t>(columns) * static_cast<size_t>(rows));
  counted.distinctColors = cube.count();
  counted.target =
      cube.countCompressed(128, limit) <= limit ? 128 : finestFittingTarget(cube, 127, limit);
  kx_compressColors(planes, columns, rows, counted.target, 255);
  histogram = kx_makeHistogram(planes, columns, rows, limit, &counted.colorCount);
  // The cube counted these very colours.
  if (!histogram) kx_error("the colour count of the compressed picture went past the limit\n");
  counted.histogram = std::move(*histogram);
  return counted;
}

}  // namespace kx
