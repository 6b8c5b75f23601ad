// Colour counting and palette choice for one frame (or, in the second pass of
// the unique-colormap mode, for the palettes of a whole sequence).
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/messages.h"
#include "common/threads.h"
#include "output/output.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

using SampleTable = std::array<uint8_t, 256>;

SampleTable compressionTable(int target, int maxval) {
  // The product and the quotient are both rounded doubles, not exact
  // fractions: with target 33, 85 comes back as 84 and 255 as 254, and
  // palettes saved by earlier runs depend on exactly these values.
  if (target <= 0 || maxval <= 0) {
    kx_error("compress value " + std::to_string(target) + " must be > 0\n");
  }
  const double ratio = static_cast<double>(target) / maxval;
  SampleTable lut;
  for (int v = 0; v < 256; ++v) {
    const int scaled = static_cast<int>(v * ratio);
    lut[v] = static_cast<uint8_t>(static_cast<int>(scaled / ratio));
  }
  return lut;
}

// For the refinement: twice the mean of the samples that each counted
// sample stands for. The compression keeps the order of samples, so they are
// a run of values, and twice their mean is first + last.
SampleCentres centresOf(const SampleTable& counted) {
  SampleCentres centres = kx_identityCentres();
  int first = 0;
  for (int v = 1; v <= 256; ++v) {
    if (v == 256 || counted[v] != counted[first]) {
      centres[counted[first]] = static_cast<uint16_t>(first + v - 1);
      first = v;
    }
  }
  return centres;
}

}  // namespace

void kx_compressColors(PixelPlanes& planes, int columns, int rows, int target, int maxval) {
  const SampleTable lut = compressionTable(target, maxval);
  const int64_t stripeRows = std::max<int64_t>(1, (int64_t{1} << 16) / std::max(columns, 1));
  kx_forStripes(rows, stripeRows, [&](int64_t first, int64_t end) {
    for (int64_t r = first; r < end; ++r) {
      uint8_t* p = planes[static_cast<int>(r)];
      for (int i = 0; i < columns * 3; ++i) p[i] = lut[p[i]];
    }
  });
}

namespace {

// Counts with the colour limit; on the first overflow compresses to 128
// values per channel and counts again. Ends the run with status 1 when that
// cannot help.
//
// With the refinement the compression only serves the counting: a compressed
// copy is counted and the planes keep their samples for the remapping;
// `counted` then tells what each sample was counted as.
Histogram countColors(PixelPlanes& planes, int columns, int rows, int maxval, RunSettings* opt,
                      int* colorCount, SampleTable& counted) {
  if (opt->verbose) kx_note("Counting colors in the image...  ");
  std::optional<Histogram> histogram =
      kx_makeHistogram(planes, columns, rows, kColorLimit, colorCount);
  if (histogram) return std::move(*histogram);

  kx_printf(Stream::Err, "More than %d colors found!!!\n", kColorLimit);
  kx_note("Note: you can use option -q to reduce color.\n");
  opt->compress = 128;
  if (!(128 < maxval)) {
    kx_note("Re-start with option -z <factor>.\n");
    kx_note("<factor> must > 0\n");
    kx_note("that will help you reduce colors.\n");
    kx_exit(1);
  }
  PixelPlanes copy;
  if (opt->refine) {
    copy = kx_allocArray(columns, rows, 3);
    for (int r = 0; r < rows; ++r) std::copy_n(planes[r], 3 * size_t(columns), copy[r]);
    const SampleTable lut = compressionTable(opt->compress, maxval);
    for (uint8_t& v : counted) v = lut[v];
  }
  PixelPlanes& compressed = opt->refine ? copy : planes;
  kx_compressColors(compressed, columns, rows, opt->compress, maxval);
  opt->compress = maxval;
  kx_note("Compress and Counting colors again...\n");
  histogram = kx_makeHistogram(compressed, columns, rows, kColorLimit, colorCount);
  if (!histogram) {
    kx_note("Still too many colors, try option -q\n");
    kx_exit(1);
  }
  return std::move(*histogram);
}

// Stores the palette in the next column of the virtual image.
void collectPalette(const Colormap& colormap, RunSettings* opt, ReductionTables& tables) {
  if (opt->verbose) kx_note("Prepare the unique colormap...\n");
  static PixelPlanes none;
  PixelPlanes& image = tables.virtualImg ? *tables.virtualImg : none;
  const int colors = static_cast<int>(colormap.size());
  if (!image || tables.virtualInd < 0 || tables.virtualInd >= image.width ||
      colors > image.height || image.elemSize != 3) {
    kx_error("the unique colormap has no room for frame " + std::to_string(tables.virtualInd + 1) +
             "\n");
  }
  for (int c = 0; c < colors; ++c) {
    uint8_t* pixel = image[c] + 3 * tables.virtualInd;
    pixel[0] = colormap[c].red;
    pixel[1] = colormap[c].green;
    pixel[2] = colormap[c].blue;
  }
  ++tables.virtualInd;
}

}  // namespace

Colormap kx_buildmap(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, ReductionTables& tables) {
  if (maxval != opt->compress && opt->unique != 2) {
    if (opt->verbose) kx_note("Compressing colors ...\n");
    kx_compressColors(planes, columns, rows, opt->compress, maxval);
    opt->compress = maxval;
  }
  if (opt->colormapMode != 0) return Colormap{};

  int colorCount = 0;
  SampleTable counted;
  for (int v = 0; v < 256; ++v) counted[v] = static_cast<uint8_t>(v);
  Histogram histogram = countColors(planes, columns, rows, maxval, opt, &colorCount, counted);
  if (opt->verbose) {
    kx_printf(Stream::Err, "%d colors found.\n", colorCount);
    kx_printf(Stream::Err, "Choosing %d colors...\n", opt->colors);
  }
  Colormap colormap = makeColormap(histogram, colorCount, int64_t{rows} * columns, maxval, opt);
  if (opt->refine) {
    // In the second pass of the unique-colormap mode the histogram holds the
    // frames' (refined) palettes, each entry once per frame: the shared
    // palette is refined over them as they are.
    const SampleCentres centres = centresOf(counted);
    const RefineReport report = refineColormap(histogram, colorCount, colormap, nullptr, &centres);
    if (opt->verbose) {
      kx_printf(Stream::Err, "Refined the colors: error %lld -> %lld in %d iterations.\n",
                static_cast<long long>(report.startError), static_cast<long long>(report.endError),
                report.iterations);
    }
  }
  kx_freeHistogram(histogram);

  if (opt->unique != 1) {
    if (opt->asciiColormap == 1) {
      kx_writeASCIIColorMap(name, colormap, opt);
      kx_print(Stream::Out, "writeASCIIColorMap\n");
    } else {
      kx_writeColorMap(name, colormap, opt);
    }
  }
  if (opt->unique == 1) collectPalette(colormap, opt, tables);
  return colormap;
}

}  // namespace kx
