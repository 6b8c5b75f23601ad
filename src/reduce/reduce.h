// Colour reduction: colour table and histogram, median cut, palette choice,
// pixel remapping and the quantization filter, and the conversion of a
// picture record to the pixel planes they work on.
//
// The pipeline of a frame: kx_pic2pixels (planes from the picture),
// kx_buildmap (count with kx_makeHistogram, choose with makeColormap, save
// the colormap file), kx_reduceColors (remap every pixel, write the body of
// the colour-mapped image file). quantFloyd filters a picture before it is
// counted.
//
// Stands on: common (planes, colours, run settings, fatal errors), picture
// (the picture record) and output (the files it writes).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/fatal.h"
#include "common/planes.h"
#include "common/settings.h"

namespace kx {

struct Picture;

// ---- Colour table ------------------------------------------------------------
//
// A chained hash table of colours with a 32-bit value each: a pixel count when
// built by counting, a palette index when used as a remap cache. The bucket
// count and the hash are fixed because the histogram order, and through it
// the palette that the median cut chooses, follows from them.

constexpr int kColorTableBuckets = 6553;
// Most distinct colours a frame may keep before it is compressed.
constexpr int kColorLimit = 62768;

inline int kx_colorHash(Color c) {
  return (33023 * c.red + 30013 * c.green + 27011 * c.blue) % kColorTableBuckets;
}

struct ColorEntry {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  int32_t value = 0;
  int32_t next = -1;  // index of the next entry of the same bucket, -1 at the end
};

// Entries live in one pool; heads[b] is the most recently added entry of
// bucket b (-1 when empty).
struct ColorTable {
  std::vector<int32_t> heads;
  std::vector<ColorEntry> entries;
};
using ColorTablePtr = std::unique_ptr<ColorTable>;

ColorTablePtr kx_allocColorTable();
// Counts the colours of the planes; null (and colorCount 0) when the picture
// has more than maxColors distinct colours.
ColorTablePtr kx_makeColorTable(const PixelPlanes& planes, int columns, int rows, int maxColors,
                                int* colorCount);
void kx_addColorTable(ColorTable& table, Color color, int32_t value);
// The value of the colour, or -1 when it is not in the table.
int32_t kx_checkColorTable(const ColorTable& table, Color color);
// Bucket by bucket, each bucket from its most recent entry; at least
// `capacity` entries, the first table.entries.size() of them filled.
Histogram kx_colorTable2Histogram(const ColorTable& table, int capacity);
// Counting and conversion in one; nullopt when the limit is passed. The
// histogram has room for maxColors entries; *colorCount are filled.
std::optional<Histogram> kx_makeHistogram(const PixelPlanes& planes, int columns, int rows,
                                          int maxColors, int* colorCount);
void kx_freeHistogram(Histogram& histogram);
void kx_freeColorTable(ColorTablePtr& table);

// ---- Median cut ----------------------------------------------------------------

// A run of histogram entries [first, first + colors) holding `pixels` pixels.
struct Box {
  int32_t first = 0;
  int32_t colors = 0;
  int64_t pixels = 0;
};

int redcompare(const HistogramEntry& a, const HistogramEntry& b);
int greencompare(const HistogramEntry& a, const HistogramEntry& b);
int bluecompare(const HistogramEntry& a, const HistogramEntry& b);
// Descending pixel count.
int sumcompare(const Box& a, const Box& b);

// Run-wide tables that the frame driver owns and lends to the colour
// reduction.
struct ReductionTables {
  // One palette index per pixel of the current frame, filled by
  // kx_reduceColors; at least columns × rows bytes.
  std::unique_ptr<uint8_t[]> colIndexTab;
  size_t colIndexSize = 0;
  // Palettes of the frames of a unique-colormap run: one column per frame,
  // palette entry i in row i; shared by the frames of the run, each of
  // which fills its own column virtualInd.
  std::shared_ptr<PixelPlanes> virtualImg;
  int virtualInd = 0;
};

// Counting, median cut, saving (and collecting in the unique-colormap mode).
// Returns the frame's colormap; empty when a colormap is imposed.
Colormap kx_buildmap(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, ReductionTables& tables);

// Median cut over the first histogramColors histogram entries (reordered in
// place); returns opt->colors entries.
Colormap makeColormap(Histogram& histogram, int histogramColors, int64_t totalPixels, int maxval,
                      const RunSettings* opt);

// ---- Palette refinement -----------------------------------------------------------

// For each stored sample value, twice the mean of the original sample values
// it stands for: 2 × v when the samples were counted as they are, the middle
// of the values the compression merged when a compressed copy was counted
// (the remapping then maps the original samples).
using SampleCentres = std::array<uint16_t, 256>;
SampleCentres kx_identityCentres();

struct RefineReport {
  int iterations = 0;      // Lloyd iterations, all stages together
  int64_t startError = 0;  // sum of count × squared distance, starting palette
  int64_t endError = 0;    // the same for the palette returned
};

// Improves a palette chosen by makeColormap over the first histogramColors
// histogram entries: weighted k-means iterations with the exact nearest-entry
// search of the remapping, and entries moved from where they serve least to
// the colours served worst. The palette keeps its size and comes out in
// descending population; it is left as it is when nothing better is found,
// so the total error never grows. Deterministic: integer sums only, no
// dependence on the histogram's order beyond ties. populations, when given,
// receives the pixels each entry serves; centres defaults to the identity.
RefineReport refineColormap(const Histogram& histogram, int histogramColors, Colormap& colormap,
                            std::vector<int64_t>* populations = nullptr,
                            const SampleCentres* centres = nullptr);

// Maps every pixel to its palette entry, writes the index bytes and the
// trailer to opt->outFile and finishes that file; fills tables.colIndexTab.
void kx_reduceColors(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, const Colormap& colormap,
                     ReductionTables& tables);

// The remapping of kx_reduceColors on its own: every pixel of the planes to
// its nearest entry among the first opt.colors of the colormap (1 to 256),
// with the colour adjustment when opt.adjust is set; the planes receive the
// palette colours and indices[columns × rows] the palette indices. Writes
// no file; with opt.verbose, the adjustment's message.
void kx_remapPixels(PixelPlanes& planes, int columns, int rows, int maxval, const RunSettings& opt,
                    const Colormap& colormap, uint8_t* indices);

// Rewrites every sample of the planes with the colour compression of target
// `target` over the maximum sample value `maxval`.
void kx_compressColors(PixelPlanes& planes, int columns, int rows, int target, int maxval);

// ---- Picture records and pixel planes -------------------------------------------

// Picture record to pixel planes and back (3 bytes per pixel, red, green,
// blue); kx_pixels2pic rescales the samples from 0..maxval to 0..255.
PixelPlanes kx_pic2pixels(const Picture& picture, int width, int height);
void kx_pixels2pic(Picture& picture, int width, int height, const PixelPlanes& planes, int maxval);

// ---- Quantization filter ---------------------------------------------------------

// Level table of the frame's quantization filter (of the calling thread).
extern thread_local int16_t table[256];

// Fills the 256 entries for `bits` (1 to 8) bits per channel.
void makequanttab(int16_t* quantTable, int bits);
// Quantizes one channel of `count` samples, rows of `width`, in place; with
// `dither`, Floyd-Steinberg error diffusion. A null channel is skipped.
void applytab(uint8_t* channel, const int16_t* quantTable, int64_t count, int width,
              int16_t dither);
// Quantization filter over the red, green and blue channels of a picture.
int quantFloyd(Picture& picture, int bits, int dither);

}  // namespace kx
