// A palette that serves the places it serves worst (kxquant --fit-worst).
//
// A palette chosen for the whole picture follows its pixel counts: a region
// whose colours few pixels hold (a patch of sky among foliage, a rock in a
// stream) may be left with entries far from its colours, and the eye finds
// that place first. So the picture is reduced once, and the remapped
// picture is compared with it in blocks of kBlock x kBlock pixels:
//   - the error of a pixel is the remapping's colour difference blurred
//     over its 3 x 3 neighbours (dithering's noise averages out, a wrong
//     colour does not), weighted as luma: 0.3 red, 0.59 green, 0.11 blue;
//   - a block's score is its mean error divided by 1 + (s / 8)², s the
//     spread (standard deviation) of its luma: texture hides an error that
//     a smooth place shows.
// The pixels of the kWorstPercent % of blocks that score highest (at least
// one block) are then counted kRecounts times more, after the picture's
// own, and the palette chosen and the picture remapped again. Blocks are
// whole blocks from the top left; the order of everything is fixed, so the
// result is the same for any number of threads.
//
// Texture hides an error near the threshold of seeing it, not one far
// above it: with few colours the worst places of a textured photograph
// (foliage, brush strokes) are wrong colours the texture does not hide.
// So a small palette is also chosen again for the blocks picked by their
// error alone, and the remapping whose worst block scores lower (texture
// hiding) is kept (see quality.cpp).
#include <algorithm>
#include <numeric>

#include "indexed/indexed.h"

namespace kx {

namespace {

constexpr int kBlock = 16;
constexpr int kWorstPercent = 6;
constexpr int kRecounts = 2;

// Appends `count` pixels of a row as RGB.
void appendRgb(std::vector<uint8_t>& rgb, const uint8_t* in, int count, int channels) {
  if (channels == 3) {
    rgb.insert(rgb.end(), in, in + 3 * static_cast<size_t>(count));
    return;
  }
  for (int x = 0; x < count; ++x, in += channels) rgb.insert(rgb.end(), in, in + 3);
}

}  // namespace

BlockErrors blockErrors(const PixelView& pixels, const IndexedPicture& picture) {
  if (pixels.width < kBlock || pixels.height < kBlock) return {};
  const int width = pixels.width, height = pixels.height;
  const int across = width / kBlock, down = height / kBlock;
  std::vector<double> error(static_cast<size_t>(across) * down), luma(error.size()),
      lumaSquares(error.size());
  // The difference of each channel, three rows at a time.
  std::vector<int> diff(3 * static_cast<size_t>(width) * 3);
  auto fill = [&](int y, int* out) {
    const uint8_t* in = pixels.row(y);
    const uint8_t* index = picture.indices.data() + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x, in += pixels.channels) {
      const HistogramEntry& e = picture.palette[index[x]];
      out[3 * x] = in[0] - e.red;
      out[3 * x + 1] = in[1] - e.green;
      out[3 * x + 2] = in[2] - e.blue;
    }
  };
  const size_t rowInts = 3 * static_cast<size_t>(width);
  auto rowOf = [&](int y) { return diff.data() + static_cast<size_t>(y % 3) * rowInts; };
  fill(0, rowOf(0));
  if (height > 1) fill(1, rowOf(1));
  for (int y = 0; y < down * kBlock; ++y) {
    if (y + 1 < height && y >= 1) fill(y + 1, rowOf(y + 1));
    const int* rows[3] = {rowOf(std::max(y - 1, 0)), rowOf(y), rowOf(std::min(y + 1, height - 1))};
    const uint8_t* in = pixels.row(y);
    const size_t blockRow = static_cast<size_t>(y / kBlock) * across;
    for (int x = 0; x < across * kBlock; ++x) {
      const int left = std::max(x - 1, 0), right = std::min(x + 1, width - 1);
      double blurred[3];
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (const int* r : rows) sum += r[3 * left + c] + r[3 * x + c] + r[3 * right + c];
        blurred[c] = sum / 9.0;
      }
      const size_t b = blockRow + x / kBlock;
      error[b] += 0.3 * blurred[0] * blurred[0] + 0.59 * blurred[1] * blurred[1] +
                  0.11 * blurred[2] * blurred[2];
      const uint8_t* p = in + static_cast<size_t>(x) * pixels.channels;
      const double l = 0.3 * p[0] + 0.59 * p[1] + 0.11 * p[2];
      luma[b] += l;
      lumaSquares[b] += l * l;
    }
  }
  constexpr double kPixels = kBlock * kBlock;
  for (size_t b = 0; b < error.size(); ++b) {
    const double mean = luma[b] / kPixels;
    error[b] /= kPixels;
    luma[b] = std::max(lumaSquares[b] / kPixels - mean * mean, 0.0);
  }
  return {std::move(error), std::move(luma)};
}

std::vector<double> BlockErrors::scores(bool textureHides) const {
  std::vector<double> scores = error;
  if (textureHides) {
    for (size_t b = 0; b < scores.size(); ++b) scores[b] /= 1 + variance[b] / 64;
  }
  return scores;
}

double BlockErrors::worst() const {
  const std::vector<double> all = scores(true);
  return all.empty() ? 0 : *std::max_element(all.begin(), all.end());
}

std::vector<uint8_t> worstPlacesRecounted(const PixelView& pixels,
                                          const std::vector<double>& scores) {
  std::vector<size_t> order(scores.size());
  std::iota(order.begin(), order.end(), size_t{0});
  const size_t worst = std::max<size_t>(1, (scores.size() * kWorstPercent + 99) / 100);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(worst), order.end(),
                    [&](size_t a, size_t b) {
                      return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
                    });
  order.resize(worst);
  std::sort(order.begin(), order.end());
  const int across = pixels.width / kBlock;
  const size_t once = 3 * static_cast<size_t>(pixels.width) * pixels.height;
  const size_t blocks = 3 * worst * kBlock * kBlock;
  const size_t recounted = once + kRecounts * blocks;
  // Whole rows of the picture's width: the last pixel repeated.
  const size_t row = 3 * static_cast<size_t>(pixels.width);
  const size_t total = (recounted + row - 1) / row * row;
  std::vector<uint8_t> rgb;
  rgb.reserve(total);
  for (int y = 0; y < pixels.height; ++y)
    appendRgb(rgb, pixels.row(y), pixels.width, pixels.channels);
  for (const size_t b : order) {
    const int top = static_cast<int>(b / across) * kBlock,
              left = static_cast<int>(b % across) * kBlock;
    for (int y = top; y < top + kBlock; ++y) {
      appendRgb(rgb, pixels.row(y) + static_cast<size_t>(left) * pixels.channels, kBlock,
                pixels.channels);
    }
  }
  rgb.resize(total);
  for (int k = 1; k < kRecounts; ++k) {
    std::copy_n(rgb.begin() + static_cast<std::ptrdiff_t>(once), blocks,
                rgb.begin() + static_cast<std::ptrdiff_t>(once + k * blocks));
  }
  for (size_t at = recounted; at < total; at += 3) {
    std::copy_n(rgb.begin() + static_cast<std::ptrdiff_t>(recounted - 3), 3,
                rgb.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return rgb;
}

}  // namespace kx
