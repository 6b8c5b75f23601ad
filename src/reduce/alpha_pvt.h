// Colours with alpha as the engine sees them, shared by the counting, the
// palette and the remapping of pictures with alpha (alpha_*.cpp).
//
// A pixel is seen composited over some background: what it adds is its
// premultiplied colour p = c × a / 255 (rounded), and what it lets through
// is 255 − a. Pixels are therefore counted and compared as the quadruple
// (p_red, p_green, p_blue, a), p <= a: every fully transparent pixel is the
// one colour (0, 0, 0, 0) whatever its samples, and a faint pixel's colour
// counts for as little as it shows.
//
// Distances are the mean of the squared errors seen over black and over
// white. Over black a channel's error is Δp; over white it is Δp − Δa; the
// mean of the two squares is (Δp − Δa / 2)² + Δa² / 4. Summed over the three
// channels and taken four times, in integers:
//
//   D = Σ (2 Δp_c − Δa)² + 3 Δa²
//
// so every colour is a point (2 p_c − a for each channel, a) in a space
// whose fourth axis weighs 3, where the mean of a cluster is the point that
// serves it best. For opaque colours D is four times the squared RGB
// distance.
#pragma once

#include <cstdint>
#include <vector>

#include "reduce/reduce.h"

namespace kx {

// A colour with alpha, premultiplied: red, green, blue <= alpha.
struct Premultiplied {
  int32_t red = 0, green = 0, blue = 0, alpha = 0;
};

inline int32_t premultiplySample(int sample, int alpha) {
  // 255 is odd, so c × a / 255 is never halfway between two integers.
  return (sample * alpha + 127) / 255;
}

// The straight sample that premultiplies back to p (p <= alpha): the
// nearest to p × 255 / alpha, halves up; 0 for a transparent colour.
inline uint8_t straightSample(int32_t p, int32_t alpha) {
  if (alpha <= 0) return 0;
  return static_cast<uint8_t>((510 * p + alpha) / (2 * alpha));
}

// The key of a premultiplied colour: red, green, blue, alpha from the low
// byte up. Red 1 with alpha 0 cannot be premultiplied: kNoColourKey marks
// a free slot.
inline uint32_t keyOf(const Premultiplied& c) {
  return static_cast<uint32_t>(c.red) | static_cast<uint32_t>(c.green) << 8 |
         static_cast<uint32_t>(c.blue) << 16 | static_cast<uint32_t>(c.alpha) << 24;
}
constexpr uint32_t kNoColourKey = 1;
inline Premultiplied colourOfKey(uint32_t key) {
  return Premultiplied{static_cast<int32_t>(key & 255), static_cast<int32_t>(key >> 8 & 255),
                       static_cast<int32_t>(key >> 16 & 255), static_cast<int32_t>(key >> 24)};
}

inline Premultiplied premultiplied(const HistogramEntry& e) {
  return Premultiplied{premultiplySample(e.red, e.alpha), premultiplySample(e.green, e.alpha),
                       premultiplySample(e.blue, e.alpha), e.alpha};
}
inline HistogramEntry straightEntry(const Premultiplied& c, int32_t count = 0) {
  return HistogramEntry{straightSample(c.red, c.alpha), straightSample(c.green, c.alpha),
                        straightSample(c.blue, c.alpha), count, static_cast<uint8_t>(c.alpha)};
}

// A colour as a point of the distance's space (see the top of this file).
struct SeenPoint {
  int32_t x[4];
};
inline SeenPoint pointOf(const Premultiplied& c) {
  return SeenPoint{{2 * c.red - c.alpha, 2 * c.green - c.alpha, 2 * c.blue - c.alpha, c.alpha}};
}
inline int32_t seenDistance(const SeenPoint& a, const SeenPoint& b) {
  const int32_t d0 = a.x[0] - b.x[0], d1 = a.x[1] - b.x[1], d2 = a.x[2] - b.x[2],
                d3 = a.x[3] - b.x[3];
  return d0 * d0 + d1 * d1 + d2 * d2 + 3 * d3 * d3;
}

// The exact nearest palette entry by D, the lowest index among equals. The
// entries are kept sorted by the sum of their first three coordinates: an
// entry whose sum differs from a colour's by s is at least s² / 3 away, which
// ends the search on either side.
class SeenNearest {
 public:
  // The palette's 1 to 256 entries, straight.
  explicit SeenNearest(const Colormap& palette);
  explicit SeenNearest(const std::vector<SeenPoint>& entries);

  struct Found {
    int index;
    int32_t distance;
  };
  Found find(const SeenPoint& p) const { return find(p, Found{-1, INT32_MAX}); }
  // The same, knowing one entry and its distance (a good guess ends the
  // search sooner).
  Found find(const SeenPoint& p, Found known) const;
  int size() const { return static_cast<int>(index_.size()); }

 private:
  void sortEntries(const std::vector<SeenPoint>& entries);

  std::vector<SeenPoint> sorted_;
  std::vector<int32_t> key_;
  std::vector<int> index_;
};

// The counting, the palette and the remapping of pixels and palettes with
// alpha; the public calls come here when alpha is in play.
Result<ColorCount> countAlphaColors(const PixelView& pixels, const CountOptions& options,
                                    const Context& context);
Result<Colormap> chooseAlphaPalette(const ColorCount& count, const PaletteOptions& options,
                                    const Context& context);
Result<std::vector<uint8_t>> remapAlphaPixels(const PixelView& pixels, const Colormap& palette,
                                              const RemapOptions& options, const Context& context);

// Whether every pixel of a 4-channel view has alpha 255.
bool everyPixelOpaque(const PixelView& pixels);

}  // namespace kx
