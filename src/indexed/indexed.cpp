// The reduction of a picture with kxreduce's engine: the same steps as
// kxreduce's frame driver (count, compress on overflow, median cut, remap),
// called directly instead of through its files.
//
// A picture with transparent pixels has only its opaque pixels counted, in
// raster order (so an opaque picture with an alpha channel gets the palette
// of the same picture without one), and one palette entry fewer for them:
// the last entry is the transparent one.
//
// A picture with alpha (some pixel partly transparent) is counted, cut,
// refined and remapped with it, every pixel as it is seen: the engine's
// palette then has an alpha per entry, the fully transparent one among
// them, and nothing is added.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "indexed/indexed.h"

namespace kx {

namespace {

PixelView viewOfSource(const SourcePicture& source) {
  return source.rgbView();
}

// The picture's pixels with their alpha: its own, or 0 where the mask says
// transparent and 255 elsewhere.
std::vector<uint8_t> rgbaOf(const SourcePicture& source) {
  const PixelView rgb = source.rgbView();
  std::vector<uint8_t> rgba(4 * source.pixelCount());
  size_t i = 0;
  for (int y = 0; y < rgb.height; ++y) {
    const uint8_t* in = rgb.row(y);
    for (int x = 0; x < rgb.width; ++x, ++i, in += 3) {
      std::memcpy(rgba.data() + 4 * i, in, 3);
      rgba[4 * i + 3] = !source.alpha.empty()                                  ? source.alpha[i]
                        : !source.transparent.empty() && source.transparent[i] ? 0
                                                                               : 255;
    }
  }
  return rgba;
}

PixelView viewOfRgba(const SourcePicture& source, const std::vector<uint8_t>& rgba) {
  return PixelView{rgba.data(), source.width, source.height, 4 * static_cast<size_t>(source.width),
                   4};
}

Result<ColorCount> countPixels(const PixelView& pixels, const Context& context) {
  // Where kxreduce would stop, the finest compression that fits.
  CountOptions counting;
  counting.overflow = Overflow::finest;
  return countColors(pixels, counting, context);
}

Result<ChosenPalette> cutCount(const ColorCount& count, int colors, const IndexedOptions& options,
                               const Context& context) {
  PaletteOptions palette;
  palette.colors = colors;
  palette.refine = options.refine;
  palette.cutByError = options.cutByError;
  Result<Colormap> colormap = choosePalette(count, palette, context);
  if (!colormap) return colormap.error();
  ChosenPalette chosen;
  chosen.colormap = std::move(*colormap);
  chosen.compression = Compression{count.overflowTarget, count.distinctColors};
  // As kxreduce --refine: the refined entries stand for the original
  // samples, which are then remapped as they are.
  if (!options.refine) chosen.remapSamples = count.counted;
  return chosen;
}

Result<ChosenPalette> cutPalette(const PixelView& pixels, int colors, const IndexedOptions& options,
                                 const Context& context) {
  Result<ColorCount> count = countPixels(pixels, context);
  if (!count) return count.error();
  return cutCount(*count, colors, options, context);
}

}  // namespace

SourcePicture sourcePictureOf(const PixelView& pixels) {
  SourcePicture source;
  source.width = pixels.width;
  source.height = pixels.height;
  if (pixels.channels == 3) {
    source.outside = pixels;
    return source;
  }
  const size_t n = source.pixelCount();
  source.rgb.resize(3 * n);
  uint8_t* out = source.rgb.data();
  const size_t w = static_cast<size_t>(pixels.width);
  // As a file's RGBA: most are opaque everywhere, so the mask and the alpha
  // are made only when some pixel needs them.
  bool soft = false;
  for (int y = 0; y < pixels.height && !soft; ++y) {
    const uint8_t* in = pixels.row(y);
    for (size_t x = 0; x < w && !soft; ++x) soft = in[4 * x + 3] != 0 && in[4 * x + 3] != 255;
  }
  if (soft) source.alpha.resize(n);
  size_t i = 0;
  for (int y = 0; y < pixels.height; ++y) {
    const uint8_t* in = pixels.row(y);
    for (size_t x = 0; x < w; ++x, ++i, in += 4, out += 3) {
      std::memcpy(out, in, 3);
      if (soft) source.alpha[i] = in[3];
      if (in[3] >= 128) continue;
      if (source.transparent.empty()) source.transparent.assign(n, 0);
      source.transparent[i] = 1;
      ++source.transparentCount;
    }
  }
  return source;
}

namespace {

// The coverage of a partly transparent pixel, 0 to 1: the share of such
// pixels the dither makes opaque. The page below a GIF is composed with the
// pixel's colour f in sRGB values, a f + (1 - a) 255 for alpha a, but the
// eye mixes the opaque and transparent pixels of a dither in linear light,
// where the mean of a dark colour and white is lighter than that value: a
// shadow of alpha 0.3 shown as 30 % black pixels looks a third lighter
// than its composite. The coverage that gives the composite's light over
// white (luminance L of linear light, and at least a, the sRGB mean being
// convex in it) is
//   c = (1 - L(composite)) / (1 - L(f)),
// the alpha itself for white. It moves the mean sRGB value away from the
// composite, though, and it is too dense over a dark page: the coverage
// goes a third of the way from a to c. On two animations with soft
// shadows, glows and smoke, over white, butteraugli fell from 25.3 and
// 16.4 to 18.4 and 13.4, PSNR by 0.95 and 0.35 dB; over black,
// butteraugli rose by 0.1 and 1.7 (bench/clips --curve, the sprite).
class Coverage {
 public:
  Coverage() {
    for (int v = 0; v < 256; ++v) {
      const double s = v / 255.0;
      linear_[v] = s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    }
  }
  double operator()(const uint8_t* rgb, int alpha) const {
    const double a = alpha / 255.0;
    double composite = 0, colour = 0;
    for (int c = 0; c < 3; ++c) {
      const int shown = (alpha * rgb[c] + (255 - alpha) * 255 + 127) / 255;
      composite += kLuminance[c] * linear_[shown];
      colour += kLuminance[c] * linear_[rgb[c]];
    }
    if (colour > 0.999) return a;  // white: the alpha itself
    const double full = std::clamp((1 - composite) / (1 - colour), a, 1.0);
    return a + (full - a) / 3;
  }

 private:
  static constexpr double kLuminance[3] = {0.2126, 0.7152, 0.0722};
  std::array<double, 256> linear_;
};

}  // namespace

void ditherTransparency(SourcePicture& source) {
  if (source.alpha.empty()) return;
  // Bayer's 8 x 8 order: thresholds (2k + 1) / 128 for k of 0 to 63, so
  // that any 2 x 2, 4 x 4 or 8 x 8 block spreads them evenly.
  static constexpr uint8_t kOrder[64] = {
      0,  32, 8,  40, 2,  34, 10, 42, 48, 16, 56, 24, 50, 18, 58, 26, 12, 44, 4,  36, 14, 46,
      6,  38, 60, 28, 52, 20, 62, 30, 54, 22, 3,  35, 11, 43, 1,  33, 9,  41, 51, 19, 59, 27,
      49, 17, 57, 25, 15, 47, 7,  39, 13, 45, 5,  37, 63, 31, 55, 23, 61, 29, 53, 21};
  static const Coverage coverage;
  const size_t n = source.pixelCount();
  const PixelView rgb = source.rgbView();
  source.transparent.assign(n, 0);
  source.transparentCount = 0;
  for (int y = 0; y < source.height; ++y) {
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(source.width);
    const uint8_t* colour = rgb.row(y);
    for (int x = 0; x < source.width; ++x, colour += rgb.channels) {
      const int alpha = source.alpha[row + x];
      if (alpha == 255) continue;
      const int k = kOrder[(y & 7) * 8 + (x & 7)];
      if (alpha == 0 || coverage(colour, alpha) * 128 < 2 * k + 1) {
        source.transparent[row + x] = 1;
        ++source.transparentCount;
      }
    }
  }
  if (source.transparentCount == 0) source.transparent.clear();
  source.alpha.clear();
}

bool hasAlpha(const Colormap& palette) {
  return std::any_of(palette.begin(), palette.end(),
                     [](const HistogramEntry& e) { return e.alpha != 255; });
}

int coloursFor(const SourcePicture& source, int colors) {
  return colors - (source.transparentCount > 0 && source.alpha.empty() ? 1 : 0);
}

Result<PictureCount> countPicture(const SourcePicture& source, const Context& context) {
  PictureCount counted;
  auto keep = [&](Result<ColorCount> count) -> Result<PictureCount> {
    if (!count) return count.error();
    counted.count = std::move(*count);
    return std::move(counted);
  };
  if (!source.alpha.empty()) {
    const std::vector<uint8_t> rgba = rgbaOf(source);
    return keep(countPixels(viewOfRgba(source, rgba), context));
  }
  if (source.opaqueCount() == 0) return counted;
  if (source.transparent.empty()) return keep(countPixels(viewOfSource(source), context));
  // The opaque pixels in one row.
  std::vector<uint8_t> opaque(3 * source.opaqueCount());
  uint8_t* out = opaque.data();
  const PixelView rgb = source.rgbView();
  size_t i = 0;
  for (int y = 0; y < rgb.height; ++y) {
    const uint8_t* in = rgb.row(y);
    for (int x = 0; x < rgb.width; ++x, ++i, in += 3) {
      if (source.transparent[i]) continue;
      std::memcpy(out, in, 3);
      out += 3;
    }
  }
  const int columns = static_cast<int>(source.opaqueCount());
  return keep(countPixels(PixelView{opaque.data(), columns, 1, opaque.size(), 3}, context));
}

Result<ChosenPalette> paletteOfCount(const PictureCount& counted, int colors,
                                     const IndexedOptions& options, const Context& context) {
  if (!counted.count) return ChosenPalette{Colormap(colors), Compression{}};
  return cutCount(*counted.count, colors, options, context);
}

Result<ChosenPalette> choosePictureColormap(const SourcePicture& source, int colors,
                                            const IndexedOptions& options, const Context& context) {
  Result<PictureCount> counted = countPicture(source, context);
  if (!counted) return counted.error();
  return paletteOfCount(*counted, colors, options, context);
}

Result<ChosenPalette> chooseSharedColormap(const std::vector<Colormap>& palettes, int colors,
                                           const IndexedOptions& options, const Context& context,
                                           bool transparentPixels) {
  if (std::any_of(palettes.begin(), palettes.end(), hasAlpha)) {
    // Every entry of every palette once, as a row of pixels with alpha.
    std::vector<uint8_t> rgba;
    for (const Colormap& p : palettes) {
      for (const HistogramEntry& e : p) rgba.insert(rgba.end(), {e.red, e.green, e.blue, e.alpha});
    }
    if (transparentPixels) rgba.insert(rgba.end(), {0, 0, 0, 0});
    const int columns = static_cast<int>(rgba.size() / 4);
    return cutPalette(PixelView{rgba.data(), columns, 1, rgba.size(), 4}, colors, options, context);
  }
  size_t rows = 0;
  for (const Colormap& p : palettes) rows = std::max(rows, p.size());
  PaletteImage image(static_cast<int>(palettes.size()), static_cast<int>(rows));
  for (size_t f = 0; f < palettes.size(); ++f) image.set(static_cast<int>(f), palettes[f]);
  return cutPalette(image.view(), colors, options, context);
}

Result<IndexedPicture> remapPicture(const SourcePicture& source, const Colormap& colormap,
                                    const SampleMap& samples, const IndexedOptions& options,
                                    bool trim, bool transparentEntry, const Context& context) {
  IndexedPicture out;
  out.width = source.width;
  out.height = source.height;
  const size_t n = source.pixelCount();
  out.palette = colormap;
  if (!colormap.empty() && (!source.alpha.empty() || hasAlpha(colormap))) {
    RemapOptions remap;
    remap.dither = options.dither;
    remap.factor = options.factor;
    remap.ditherLevel = options.ditherLevel;
    remap.samples = samples;
    const std::vector<uint8_t> rgba = rgbaOf(source);
    Result<std::vector<uint8_t>> indices =
        remapPixels(viewOfRgba(source, rgba), colormap, remap, context);
    if (!indices) return indices.error();
    out.indices = std::move(*indices);
    if (trim && n > 0) {
      out.palette.resize(*std::max_element(out.indices.begin(), out.indices.end()) + 1);
    }
    for (const HistogramEntry& e : out.palette) out.alpha.push_back(e.alpha);
    return out;
  }
  const bool transparent = source.transparentCount > 0;
  if (source.opaqueCount() > 0 && !colormap.empty()) {
    RemapOptions remap;
    remap.dither = options.dither;
    remap.factor = options.factor;
    remap.ditherLevel = options.ditherLevel;
    remap.samples = samples;
    // Transparent pixels are remapped with the others (their colours take
    // part in the error diffusion) and get their own index afterwards.
    Result<std::vector<uint8_t>> indices =
        remapPixels(viewOfSource(source), colormap, remap, context);
    if (!indices) return indices.error();
    out.indices = std::move(*indices);
  } else {
    out.indices.assign(n, 0);
  }
  if (trim) {
    int used = 0;
    for (size_t i = 0; i < n; ++i) {
      if (!transparent || !source.transparent[i]) used = std::max<int>(used, out.indices[i] + 1);
    }
    out.palette.resize(used);  // empty only when every pixel is transparent
  }
  if (transparent || transparentEntry) {
    out.transparentIndex = static_cast<int>(out.palette.size());
    out.palette.push_back(HistogramEntry{});
    for (size_t i = 0; i < n && transparent; ++i) {
      if (source.transparent[i]) out.indices[i] = static_cast<uint8_t>(out.transparentIndex);
    }
  }
  return out;
}

void translucentFirst(IndexedPicture& picture) {
  const size_t colors = picture.palette.size();
  std::vector<uint8_t> alpha(colors);
  for (size_t i = 0; i < colors; ++i) {
    alpha[i] = static_cast<int>(i) == picture.transparentIndex ? 0
               : picture.alpha.empty()                         ? 255
                                                               : picture.alpha[i];
  }
  std::vector<size_t> order;  // order[new index] = old index
  for (size_t i = 0; i < colors; ++i) {
    if (alpha[i] < 255) order.push_back(i);
  }
  if (order.empty()) {
    picture.alpha = std::move(alpha);  // all opaque: the order stays, and the indices
    return;
  }
  for (size_t i = 0; i < colors; ++i) {
    if (alpha[i] == 255) order.push_back(i);
  }
  uint8_t map[256] = {};
  Colormap palette(colors);
  picture.alpha.assign(colors, 255);
  for (size_t k = 0; k < colors; ++k) {
    map[order[k]] = static_cast<uint8_t>(k);
    palette[k] = picture.palette[order[k]];
    picture.alpha[k] = alpha[order[k]];
  }
  for (uint8_t& index : picture.indices) index = map[index];
  if (picture.transparentIndex >= 0) picture.transparentIndex = map[picture.transparentIndex];
  picture.palette = std::move(palette);
}

}  // namespace kx
