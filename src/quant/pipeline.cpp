// The reduction of a picture with kxreduce's engine: the same steps as
// kxreduce's frame driver (count, compress on overflow, median cut, remap),
// called directly instead of through its files.
//
// A picture with transparent pixels has only its opaque pixels counted, in
// raster order (so an opaque picture with an alpha channel gets the palette
// of the same picture without one), and one palette entry fewer for them:
// the last entry is the transparent one.
#include <algorithm>
#include <cstring>

#include "common/messages.h"
#include "common/settings.h"
#include "quant/quant_pvt.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

// The samples of the picture as pixel planes, or (transparency) of its
// opaque pixels only, in one row.
PixelPlanes countedPlanes(const SourcePicture& source, int* columns, int* rows) {
  if (source.transparent.empty()) {
    *columns = source.width;
    *rows = source.height;
    PixelPlanes planes = kx_allocArray(source.width, source.height, 3);
    std::memcpy(planes.data(), source.rgb.data(), source.rgb.size());
    return planes;
  }
  *columns = static_cast<int>(source.opaqueCount());
  *rows = 1;
  PixelPlanes planes = kx_allocArray(*columns, 1, 3);
  uint8_t* out = planes.data();
  for (size_t i = 0; i < source.pixelCount(); ++i) {
    if (source.transparent[i]) continue;
    std::memcpy(out, source.rgb.data() + 3 * i, 3);
    out += 3;
  }
  return planes;
}

// What the refinement needs to know of a compression: for each compressed
// sample, twice the mean of the original samples it stands for (their run's
// first + last), as kxreduce --refine computes it. The table is the engine's
// own compression, applied to a row of every sample value.
SampleCentres centresOf(int target) {
  SampleCentres centres = kx_identityCentres();
  if (target == 255) return centres;
  PixelPlanes ramp = kx_allocArray(256, 1, 3);
  for (int v = 0; v < 256; ++v) std::memset(ramp[0] + 3 * v, v, 3);
  kx_compressColors(ramp, 256, 1, target, 255);
  int first = 0;
  for (int v = 1; v <= 256; ++v) {
    if (v == 256 || ramp[0][3 * v] != ramp[0][3 * first]) {
      centres[ramp[0][3 * first]] = static_cast<uint16_t>(first + v - 1);
      first = v;
    }
  }
  return centres;
}

ChosenPalette cutPalette(PixelPlanes& planes, int columns, int rows, int colors,
                         const QuantOptions& options) {
  ChosenPalette chosen;
  CountedColors counted = countColorsCompressing(planes, columns, rows, kColorLimit);
  chosen.compression = Compression{counted.target, counted.distinctColors};
  if (options.verbose) {
    kx_printf(Stream::Err, "%d colors found.\nChoosing %d colors...\n", counted.colorCount, colors);
  }
  RunSettings opt;
  opt.colors = colors;
  chosen.colormap =
      makeColormap(counted.histogram, counted.colorCount, int64_t{columns} * rows, 255, &opt);
  if (options.refine) {
    // As kxreduce --refine: the entries move to the means of the original
    // samples, which are then remapped as they are.
    const SampleCentres centres = centresOf(counted.target);
    const RefineReport report =
        refineColormap(counted.histogram, counted.colorCount, chosen.colormap, nullptr, &centres);
    if (options.verbose) {
      kx_printf(Stream::Err, "Refined the colors: error %lld -> %lld in %d iterations.\n",
                static_cast<long long>(report.startError), static_cast<long long>(report.endError),
                report.iterations);
    }
  }
  return chosen;
}

}  // namespace

ChosenPalette choosePictureColormap(const SourcePicture& source, int colors,
                                    const QuantOptions& options) {
  int columns = 0, rows = 0;
  if (source.opaqueCount() == 0)
    return ChosenPalette{Colormap(colors), Compression{}, PixelPlanes{}};
  PixelPlanes planes = countedPlanes(source, &columns, &rows);
  ChosenPalette chosen = cutPalette(planes, columns, rows, colors, options);
  // The remapping takes the samples as they were counted, unless the
  // refinement wants the original ones.
  if (source.transparent.empty() && (!options.refine || chosen.compression.target == 255)) {
    chosen.planes = std::move(planes);
  }
  return chosen;
}

ChosenPalette chooseSharedColormap(const std::vector<Colormap>& palettes, int colors,
                                   const QuantOptions& options) {
  // One column per picture, palette entry c in row c: the rows are counted
  // first to last, so entry 0 of every picture comes first.
  const int columns = static_cast<int>(palettes.size());
  int rows = 0;
  for (const Colormap& p : palettes) rows = std::max(rows, static_cast<int>(p.size()));
  PixelPlanes planes = kx_allocArray(columns, rows, 3);
  std::memset(planes.data(), 0, planes.byteSize());
  for (int f = 0; f < columns; ++f) {
    for (size_t c = 0; c < palettes[f].size(); ++c) {
      uint8_t* pixel = planes[static_cast<int>(c)] + 3 * f;
      pixel[0] = palettes[f][c].red;
      pixel[1] = palettes[f][c].green;
      pixel[2] = palettes[f][c].blue;
    }
  }
  return cutPalette(planes, columns, rows, colors, options);
}

IndexedPicture remapPicture(const SourcePicture& source, const Colormap& colormap, int target,
                            PixelPlanes counted, const QuantOptions& options, bool trim,
                            bool transparentEntry) {
  IndexedPicture out;
  out.width = source.width;
  out.height = source.height;
  const size_t n = source.pixelCount();
  out.indices.resize(n);
  out.palette = colormap;
  const bool transparent = source.transparentCount > 0;
  if (source.opaqueCount() > 0 && !colormap.empty()) {
    PixelPlanes planes = std::move(counted);
    if (!planes) {
      planes = kx_allocArray(source.width, source.height, 3);
      std::memcpy(planes.data(), source.rgb.data(), source.rgb.size());
      if (target != 255) kx_compressColors(planes, source.width, source.height, target, 255);
    }
    RunSettings opt;
    opt.colors = static_cast<int>(colormap.size());
    opt.adjust = options.adjust;
    opt.adjustFactor = options.adjustFactor;
    opt.verbose = options.verbose;
    // Transparent pixels are remapped with the others (their colours take
    // part in the error diffusion) and get their own index afterwards.
    kx_remapPixels(planes, source.width, source.height, 255, opt, colormap, out.indices.data());
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
