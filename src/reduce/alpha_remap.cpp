// Remapping pixels with alpha: every pixel to the palette entry nearest to
// it as it is seen (alpha_pvt.h), optionally with the colour adjustment.
//
// The adjustment diffuses the premultiplied error (red, green, blue and
// alpha) with the weights of the opaque one (7, 3, 5, 1 / 16, times the
// factor), in one pass over the rows on the calling thread. A fully
// transparent pixel takes no error and passes none on: the background
// stays one entry, and the error of an edge is not lost in it either way
// but simply dropped there. The value a pixel is mapped as is kept a
// colour that can be seen: alpha within 0 to 255, each premultiplied
// sample within 0 to that alpha.
//
// kxquant's adaptive dithering is the same diffusion, each pixel's share of
// the error scaled by its strength in the map of ditherStrength() (from the
// colours), and no strength where alpha changes: a soft edge, a shadow's
// outline or a glow's rim stays as smooth as the palette's alphas allow
// rather than frayed.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#include "reduce/alpha_pvt.h"

namespace kx {

// ---- SeenNearest --------------------------------------------------------------------

SeenNearest::SeenNearest(const Colormap& palette) {
  std::vector<SeenPoint> entries;
  entries.reserve(palette.size());
  for (const HistogramEntry& e : palette) entries.push_back(pointOf(premultiplied(e)));
  sortEntries(entries);
}

SeenNearest::SeenNearest(const std::vector<SeenPoint>& entries) {
  sortEntries(entries);
}

void SeenNearest::sortEntries(const std::vector<SeenPoint>& entries) {
  const int n = static_cast<int>(entries.size());
  index_.resize(n);
  for (int i = 0; i < n; ++i) index_[i] = i;
  auto keyOfPoint = [](const SeenPoint& p) { return p.x[0] + p.x[1] + p.x[2]; };
  std::stable_sort(index_.begin(), index_.end(),
                   [&](int a, int b) { return keyOfPoint(entries[a]) < keyOfPoint(entries[b]); });
  sorted_.resize(n);
  key_.resize(n);
  for (int p = 0; p < n; ++p) {
    sorted_[p] = entries[index_[p]];
    key_[p] = keyOfPoint(sorted_[p]);
  }
}

SeenNearest::Found SeenNearest::find(const SeenPoint& p, Found known) const {
  const int32_t s = p.x[0] + p.x[1] + p.x[2];
  const int n = size();
  int up = static_cast<int>(std::lower_bound(key_.begin(), key_.end(), s) - key_.begin());
  int down = up - 1;
  Found best = known;
  auto consider = [&](int at) {
    const int32_t d = seenDistance(p, sorted_[at]);
    if (d < best.distance || (d == best.distance && index_[at] < best.index)) {
      best = Found{index_[at], d};
    }
  };
  // (Σ Δx_c)² <= 3 Σ Δx_c² <= 3 D: beyond a key gap g, nothing nearer than
  // g² / 3 is left, and nothing as near once g² > 3 × best.
  auto beyond = [&](int32_t gap) {
    return int64_t{gap} * gap > 3 * static_cast<int64_t>(best.distance);
  };
  while (up < n || down >= 0) {
    if (up < n) {
      if (beyond(key_[up] - s)) {
        up = n;
      } else {
        consider(up++);
      }
    }
    if (down >= 0) {
      if (beyond(s - key_[down])) {
        down = -1;
      } else {
        consider(down--);
      }
    }
  }
  return best;
}

namespace {

// The nearest entries of the colours met last, by premultiplied key: a
// picture repeats its colours, and a search costs a few dozen distances.
class CachedNearest {
 public:
  explicit CachedNearest(const SeenNearest& nearest)
      : nearest_(nearest), keys_(kSize, kNoColourKey), index_(kSize, 0) {}

  int find(const Premultiplied& c) {
    const uint32_t key = keyOf(c);
    const uint32_t slot = (key * 0x9E3779B1u) >> (32 - kBits);
    if (keys_[slot] != key) {
      keys_[slot] = key;
      index_[slot] = static_cast<uint8_t>(nearest_.find(pointOf(c)).index);
    }
    return index_[slot];
  }

 private:
  static constexpr int kBits = 14;
  static constexpr uint32_t kSize = uint32_t{1} << kBits;
  const SeenNearest& nearest_;
  std::vector<uint32_t> keys_;
  std::vector<uint8_t> index_;
};

Premultiplied pixelColour(const uint8_t* p, const SampleMap& map) {
  const int a = p[3];
  return Premultiplied{premultiplySample(map[p[0]], a), premultiplySample(map[p[1]], a),
                       premultiplySample(map[p[2]], a), a};
}

void remapRows(const PixelView& pixels, const SampleMap& map, const SeenNearest& nearest,
               int64_t firstRow, int64_t endRow, uint8_t* indices) {
  CachedNearest cache(nearest);
  for (int64_t y = firstRow; y < endRow; ++y) {
    const uint8_t* p = pixels.row(static_cast<int>(y));
    uint8_t* out = indices + y * pixels.width;
    for (int x = 0; x < pixels.width; ++x, p += 4)
      out[x] = static_cast<uint8_t>(cache.find(pixelColour(p, map)));
  }
}

// The error rows hold four floats a column (premultiplied red, green, blue,
// alpha); columns −1 and width take the diffusion beyond the ends of a row.
void remapAdjusted(const PixelView& pixels, const SampleMap& map, float factor,
                   const uint8_t* strength, const Colormap& palette, const SeenNearest& nearest,
                   uint8_t* indices) {
  const int width = pixels.width;
  const size_t rowFloats = 4 * (static_cast<size_t>(width) + 2);
  std::vector<float> cur(rowFloats, 0.0f), next(rowFloats, 0.0f);
  std::vector<Premultiplied> entries;
  for (const HistogramEntry& e : palette) entries.push_back(premultiplied(e));
  CachedNearest cache(nearest);
  const float share[4] = {7.0f / 16.0f, 3.0f / 16.0f, 5.0f / 16.0f, 1.0f / 16.0f};
  for (int y = 0; y < pixels.height; ++y) {
    std::fill(next.begin(), next.end(), 0.0f);
    const uint8_t* p = pixels.row(y);
    uint8_t* out = indices + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x, p += 4) {
      const Premultiplied source = pixelColour(p, map);
      const float weight =
          strength ? factor * strength[static_cast<size_t>(y) * width + x] : factor;
      if (source.alpha == 0 || weight == 0.0f) {
        out[x] = static_cast<uint8_t>(cache.find(source));
        continue;
      }
      float* here = cur.data() + 4 * (static_cast<size_t>(x) + 1);
      auto withError = [&](int32_t v, int c, int32_t high) {
        return std::clamp(static_cast<int32_t>(std::lround(static_cast<float>(v) + here[c])), 0,
                          high);
      };
      Premultiplied c;
      c.alpha = withError(source.alpha, 3, 255);
      c.red = withError(source.red, 0, c.alpha);
      c.green = withError(source.green, 1, c.alpha);
      c.blue = withError(source.blue, 2, c.alpha);
      const int index = cache.find(c);
      out[x] = static_cast<uint8_t>(index);
      const Premultiplied& e = entries[index];
      const int32_t error[4] = {c.red - e.red, c.green - e.green, c.blue - e.blue,
                                c.alpha - e.alpha};
      float* below = next.data() + 4 * static_cast<size_t>(x);
      for (int k = 0; k < 4; ++k) {
        const float err = static_cast<float>(error[k]) * weight;
        here[4 + k] += err * share[0];
        below[k] += err * share[1];
        below[4 + k] += err * share[2];
        below[8 + k] += err * share[3];
      }
    }
    std::swap(cur, next);
  }
}

// No dithering where alpha changes by more than this to a neighbour.
constexpr int kAlphaEdge = 16;

// The adaptive strengths of an RGBA view: the colours' map, cleared on and
// beside steps of alpha.
Result<std::vector<uint8_t>> alphaStrength(const PixelView& pixels, const Colormap& palette,
                                           const RemapOptions& options, const Context& context) {
  if (!options.strength.empty()) {
    if (options.strength.size() != static_cast<size_t>(pixels.pixels())) {
      return Error(ErrorCode::badArgument,
                   "a dithering strength of " + std::to_string(options.strength.size()) +
                       " pixels for a picture of " + std::to_string(pixels.pixels()));
    }
    return std::vector<uint8_t>(options.strength.begin(), options.strength.end());
  }
  Result<std::vector<uint8_t>> map = ditherStrength(pixels, palette, options, context);
  if (!map) return map;
  std::vector<uint8_t>& strength = *map;
  const int width = pixels.width;
  auto alphaAt = [&](int x, int y) { return static_cast<int>(pixels.row(y)[4 * x + 3]); };
  std::vector<uint8_t> edge(static_cast<size_t>(pixels.pixels()), 0);
  for (int y = 0; y < pixels.height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int a = alphaAt(x, y);
      const bool right = x + 1 < width && std::abs(a - alphaAt(x + 1, y)) > kAlphaEdge;
      const bool below = y + 1 < pixels.height && std::abs(a - alphaAt(x, y + 1)) > kAlphaEdge;
      if (!right && !below) continue;
      // The step's pixels on both sides.
      edge[static_cast<size_t>(y) * width + x] = 1;
      if (right) edge[static_cast<size_t>(y) * width + x + 1] = 1;
      if (below) edge[static_cast<size_t>(y + 1) * width + x] = 1;
    }
  }
  for (size_t i = 0; i < strength.size(); ++i)
    if (edge[i]) strength[i] = 0;
  return map;
}

// Frames smaller than this are remapped on the calling thread alone.
constexpr int64_t kAlphaStripePixels = kStripePixels / 2;

}  // namespace

Result<std::vector<uint8_t>> remapAlphaPixels(const PixelView& pixels, const Colormap& palette,
                                              const RemapOptions& options, const Context& context) {
  context.emit(EventKind::remapping, static_cast<int64_t>(palette.size()));
  try {
    std::vector<uint8_t> indices(static_cast<size_t>(pixels.pixels()));
    const SeenNearest nearest(palette);
    switch (options.dither) {
      case Dither::none:
        forStripes(context.pool, pixels.height,
                   std::max<int64_t>(1, kAlphaStripePixels / std::max(pixels.width, 1)),
                   [&](int64_t first, int64_t end) {
                     remapRows(pixels, options.samples, nearest, first, end, indices.data());
                   });
        break;
      case Dither::adjust:
        context.emit(EventKind::adjusting);
        remapAdjusted(pixels, options.samples, options.factor, nullptr, palette, nearest,
                      indices.data());
        break;
      case Dither::adaptive: {
        Result<std::vector<uint8_t>> strength = alphaStrength(pixels, palette, options, context);
        if (!strength) return strength;
        remapAdjusted(pixels, options.samples, 1.0f / 256.0f, strength->data(), palette, nearest,
                      indices.data());
        break;
      }
    }
    context.emit(EventKind::remapped);
    return indices;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating color table");
  }
}

}  // namespace kx
