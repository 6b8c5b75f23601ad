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
#include <cstring>

#include "quant/quant_pvt.h"

namespace kx {

namespace {

PixelView viewOfSource(const SourcePicture& source) {
  return PixelView{source.rgb.data(), source.width, source.height,
                   3 * static_cast<size_t>(source.width), 3};
}

// The picture's pixels with their alpha: its own, or 0 where the mask says
// transparent and 255 elsewhere.
std::vector<uint8_t> rgbaOf(const SourcePicture& source) {
  const size_t n = source.pixelCount();
  std::vector<uint8_t> rgba(4 * n);
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(rgba.data() + 4 * i, source.rgb.data() + 3 * i, 3);
    rgba[4 * i + 3] = !source.alpha.empty()                                  ? source.alpha[i]
                      : !source.transparent.empty() && source.transparent[i] ? 0
                                                                             : 255;
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

Result<ChosenPalette> cutCount(const ColorCount& count, int colors, const QuantOptions& options,
                               const Context& context) {
  PaletteOptions palette;
  palette.colors = colors;
  palette.refine = options.refine;
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

Result<ChosenPalette> cutPalette(const PixelView& pixels, int colors, const QuantOptions& options,
                                 const Context& context) {
  Result<ColorCount> count = countPixels(pixels, context);
  if (!count) return count.error();
  return cutCount(*count, colors, options, context);
}

}  // namespace

bool hasAlpha(const Colormap& palette) {
  return std::any_of(palette.begin(), palette.end(),
                     [](const HistogramEntry& e) { return e.alpha != 255; });
}

int coloursFor(const SourcePicture& source, int colors) {
  return colors - (source.transparentCount > 0 && source.alpha.empty() ? 1 : 0);
}

Result<PictureCount> countPicture(const SourcePicture& source, const Context& context) {
  PictureCount counted;
  if (!source.alpha.empty()) {
    const std::vector<uint8_t> rgba = rgbaOf(source);
    Result<ColorCount> count = countPixels(viewOfRgba(source, rgba), context);
    if (!count) return count.error();
    counted.count = std::move(*count);
    return counted;
  }
  if (source.opaqueCount() == 0) return counted;
  if (source.transparent.empty()) {
    Result<ColorCount> count = countPixels(viewOfSource(source), context);
    if (!count) return count.error();
    counted.count = std::move(*count);
    return counted;
  }
  // The opaque pixels in one row.
  std::vector<uint8_t> opaque(3 * source.opaqueCount());
  uint8_t* out = opaque.data();
  for (size_t i = 0; i < source.pixelCount(); ++i) {
    if (source.transparent[i]) continue;
    std::memcpy(out, source.rgb.data() + 3 * i, 3);
    out += 3;
  }
  const int columns = static_cast<int>(source.opaqueCount());
  Result<ColorCount> count =
      countPixels(PixelView{opaque.data(), columns, 1, opaque.size(), 3}, context);
  if (!count) return count.error();
  counted.count = std::move(*count);
  return counted;
}

Result<ChosenPalette> paletteOfCount(const PictureCount& counted, int colors,
                                     const QuantOptions& options, const Context& context) {
  if (!counted.count) return ChosenPalette{Colormap(colors), Compression{}};
  return cutCount(*counted.count, colors, options, context);
}

Result<ChosenPalette> choosePictureColormap(const SourcePicture& source, int colors,
                                            const QuantOptions& options, const Context& context) {
  Result<PictureCount> counted = countPicture(source, context);
  if (!counted) return counted.error();
  return paletteOfCount(*counted, colors, options, context);
}

Result<ChosenPalette> chooseSharedColormap(const std::vector<Colormap>& palettes, int colors,
                                           const QuantOptions& options, const Context& context,
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
                                    const SampleMap& samples, const QuantOptions& options,
                                    bool trim, bool transparentEntry, const Context& context) {
  IndexedPicture out;
  out.width = source.width;
  out.height = source.height;
  const size_t n = source.pixelCount();
  out.palette = colormap;
  if (!colormap.empty() && (!source.alpha.empty() || hasAlpha(colormap))) {
    RemapOptions remap;
    remap.dither = options.adjust     ? Dither::adjust
                   : options.noDither ? Dither::none
                                      : Dither::adaptive;
    remap.factor = options.adjustFactor;
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
    remap.dither = options.adjust     ? Dither::adjust
                   : options.noDither ? Dither::none
                                      : Dither::adaptive;
    remap.factor = options.adjustFactor;
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

}  // namespace kx
