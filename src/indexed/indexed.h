// A picture's pixels, with their transparency, to an indexed picture: the
// engine's steps as kxquant takes them (count with the finest compression
// that fits, median cut, refinement, remap), for one picture or for a
// sequence with one palette. kxquant and libkxquant both reduce through
// here, so the library gives the command's palettes and indices.
//
// No file is opened and nothing is printed; every step is a function of its
// arguments, as the engine's are.
//
// Stands on: common, reduce.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/color.h"
#include "common/error.h"
#include "reduce/reduce.h"

namespace kx {

// A picture to reduce: RGB samples, which pixels are transparent, and their
// alpha when it is more than that.
struct SourcePicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;          // 3 bytes per pixel, rows top to bottom, unless...
  PixelView outside;                 // ...these rows (3 channels) are read in its place
  std::vector<uint8_t> transparent;  // empty, or 1 per pixel: 1 where alpha < 128
  size_t transparentCount = 0;
  // Empty unless some pixel is partly transparent (alpha 1 to 254): then
  // the alpha of every pixel. Such a picture is reduced with its alpha for a
  // PNG; the outputs without alpha keep `transparent` (clear this first).
  std::vector<uint8_t> alpha;

  size_t pixelCount() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
  size_t opaqueCount() const { return pixelCount() - transparentCount; }
  PixelView rgbView() const {
    if (outside.data) return outside;
    return PixelView{rgb.data(), width, height, 3 * static_cast<size_t>(width), 3};
  }
};

// The picture of RGB or RGBA pixels (channels 3 or 4), as kxquant reads one
// from a file: the mask only when some pixel is transparent, the alpha only
// when some pixel is partly so. RGB rows are read where they are (outside),
// so they must outlive the picture; RGBA ones are copied, since the engine
// takes the colours apart from the alpha. May throw std::bad_alloc.
SourcePicture sourcePictureOf(const PixelView& pixels);

// For an output that keeps transparency only (a GIF): when the picture has
// soft alpha, which pixels are transparent is decided again by an ordered
// dither of each pixel's coverage (8 x 8 thresholds by position, the same
// for every frame); alpha 0 stays transparent and 255 opaque. The coverage
// is the alpha raised a third of the way towards what gives the pixel's
// light over a white page (see indexed.cpp). The alpha is then cleared.
void ditherTransparency(SourcePicture& source);

// How pictures are reduced.
struct IndexedOptions {
  bool refine = true;                // refine the median cut's palette (kxreduce --refine)
  Dither dither = Dither::adaptive;  // kxquant's default
  float factor = 0.7f;               // the strength of Dither::adjust
  int ditherLevel = 1;               // the level of Dither::adaptive
  bool cutByError = false;           // PaletteOptions::cutByError for a picture's palette
  bool fitWorst = false;             // a picture's palette chosen again for its worst places
};

// What the colour counting had to do to a picture.
struct Compression {
  int target = 255;  // 255: nothing; otherwise every channel has target + 1 levels
  int64_t distinctColors = 0;
};

// A palette chosen for one picture (or for a sequence): opaque colours,
// or colours with alpha for a picture with alpha.
struct ChosenPalette {
  Colormap colormap;
  Compression compression;
  // What the samples are remapped as: compressed as they were counted
  // (the median cut's palette stands for compressed colours), or as they
  // are (a refined palette stands for the original ones).
  SampleMap remapSamples = identityMap();
};

// The median-cut palette of `colors` colours of the picture's opaque pixels,
// as kxreduce chooses it, refined as kxreduce --refine refines it unless
// options.refine is off. A picture with alpha gets a palette of `colors`
// colours with alpha, chosen from every pixel as it is seen.
Result<ChosenPalette> choosePictureColormap(const SourcePicture& source, int colors,
                                            const IndexedOptions& options, const Context& context);

// A picture's colours counted once, for palettes of several sizes (a
// search for the fewest colours that look right); no count when no pixel
// is counted (all transparent).
struct PictureCount {
  std::optional<ColorCount> count;
};
Result<PictureCount> countPicture(const SourcePicture& source, const Context& context);
// choosePictureColormap's palette from the count.
Result<ChosenPalette> paletteOfCount(const PictureCount& counted, int colors,
                                     const IndexedOptions& options, const Context& context);

// The palette entries left for a picture's colours: one fewer than the
// palette's when a separate transparent entry is added (transparent pixels,
// no alpha kept).
int coloursFor(const SourcePicture& source, int colors);

// One palette for a sequence from the palettes of its pictures, as
// kxreduce's unique colormap: every picture's palette becomes a column of a
// picture that is counted and cut again. When a palette has alpha, the
// palette of all has alpha too, counted from the entries of all palettes,
// with a fully transparent one when `transparentPixels` (some picture has
// transparent pixels).
Result<ChosenPalette> chooseSharedColormap(const std::vector<Colormap>& palettes, int colors,
                                           const IndexedOptions& options, const Context& context,
                                           bool transparentPixels = false);

// Whether some entry of the palette is not opaque.
bool hasAlpha(const Colormap& palette);

// A picture reduced to palette indices.
struct IndexedPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> indices;
  Colormap palette;            // the transparent entry included
  int transparentIndex = -1;   // -1 when no pixel is transparent
  std::vector<uint8_t> alpha;  // with alpha: the alpha of each palette entry; else empty
};

// Maps every pixel to the palette, its samples through `samples` first, and
// the transparent pixels to one entry after the palette's colours. With
// trim, palette entries after the last one used are dropped first;
// otherwise the palette keeps its size and, when `transparentEntry` is set,
// gets the transparent entry at its end even if this picture has no
// transparent pixel. A palette with alpha, or a picture with alpha, is
// mapped with alpha: every pixel as it is seen, no entry added.
Result<IndexedPicture> remapPicture(const SourcePicture& source, const Colormap& colormap,
                                    const SampleMap& samples, const IndexedOptions& options,
                                    bool trim, bool transparentEntry, const Context& context);

// The palette as a PNG keeps it: the entries that are not opaque (the
// transparent entry among them) first, then the opaque ones, each group in
// its order, and the indices renumbered to match; `alpha` then holds the
// alpha of every entry. kxquant's PNG files have their palettes so.
void translucentFirst(IndexedPicture& picture);

// ---- Quality (quality.cpp) -------------------------------------------------------

// The difference between a picture and its reduction, and the 0 to 100
// quality for it.
double reductionError(const SourcePicture& source, const IndexedPicture& picture);
int qualityOfError(double error);

// A picture reduced for a PNG: its palette's compression and, when asked
// for (a quality target, or measure), its quality.
struct Reduction {
  IndexedPicture picture;
  Compression compression;
  int colours = 0;   // the palette size asked of the engine
  int quality = -1;  // -1 when not measured
};

// A reduction's error in blocks of 16 x 16 pixels, whole blocks from the
// top left row by row, and the unevenness (luma variance) of the picture
// in each (see worst_places.cpp); none for a picture smaller than a block.
struct BlockErrors {
  std::vector<double> error, variance;

  bool empty() const { return error.empty(); }
  // Each block's score: its error, with `textureHides` divided by
  // 1 + variance / 64 (texture hides an error that a smooth place shows).
  std::vector<double> scores(bool textureHides) const;
  // The highest score, texture hiding.
  double worst() const;
};
// May throw std::bad_alloc.
BlockErrors blockErrors(const PixelView& pixels, const IndexedPicture& picture);

// The pixels of an opaque picture followed by those of its blocks that
// score highest (`scores` of BlockErrors), counted again, as RGB rows of
// the picture's width. May throw std::bad_alloc.
std::vector<uint8_t> worstPlacesRecounted(const PixelView& pixels,
                                          const std::vector<double>& scores);

// The picture reduced to `colors` colours (as choosePictureColormap and
// remapPicture with trim, a transparent entry taking one of them); with a
// quality target (qualityMax >= 0), to the fewest colours whose result
// reaches qualityMax, or to `colors` when none does: the caller compares
// the quality with its minimum. With options.fitWorst an opaque picture's
// palette is chosen again with its worst places counted more.
Result<Reduction> reducePicture(const SourcePicture& source, int colors, int qualityMax,
                                const IndexedOptions& options, bool measure,
                                const Context& context);

}  // namespace kx
