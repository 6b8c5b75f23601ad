// Private parts of kxquant: the input picture, its reduction (indexed/, with
// kxquant's options), and the output files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/planes.h"
#include "imageio/imageio.h"
#include "indexed/indexed.h"
#include "quant/quant.h"
#include "reduce/reduce.h"

namespace kx {

// Any picture kxquant reads; ConvError naming the file when it cannot.
SourcePicture readSourcePicture(const std::string& path);

// The engine's settings of kxquant's options.
inline IndexedOptions indexedOptions(const QuantOptions& options) {
  IndexedOptions indexed;
  indexed.refine = options.refine;
  indexed.dither = options.adjust     ? Dither::adjust
                   : options.noDither ? Dither::none
                                      : Dither::adaptive;
  indexed.factor = options.adjustFactor;
  return indexed;
}

inline Result<ChosenPalette> choosePictureColormap(const SourcePicture& source, int colors,
                                                   const QuantOptions& options,
                                                   const Context& context) {
  return choosePictureColormap(source, colors, indexedOptions(options), context);
}

inline Result<ChosenPalette> chooseSharedColormap(const std::vector<Colormap>& palettes, int colors,
                                                  const QuantOptions& options,
                                                  const Context& context,
                                                  bool transparentPixels = false) {
  return chooseSharedColormap(palettes, colors, indexedOptions(options), context,
                              transparentPixels);
}

inline Result<IndexedPicture> remapPicture(const SourcePicture& source, const Colormap& colormap,
                                           const SampleMap& samples, const QuantOptions& options,
                                           bool trim, bool transparentEntry,
                                           const Context& context) {
  return remapPicture(source, colormap, samples, indexedOptions(options), trim, transparentEntry,
                      context);
}

// ---- Outputs --------------------------------------------------------------------

enum class OutputKind { Png, Gif, Icn };

// The kind of an output file by its extension (any case); false when none.
bool outputKindOf(const std::string& path, OutputKind* kind);

// The files a run writes for one output: the file itself, and for .icn its
// colormap beside it.
std::vector<std::string> outputFiles(const std::string& path, OutputKind kind);

// Takes the picture's indices; options.best asks for the smallest file.
// Throws ConvError when the file cannot be written.
void writeIndexedPng(const std::string& path, IndexedPicture& picture, const QuantOptions& options);
// The colour-mapped image (path ends in ".icn") and its colormap (.clm), as
// kxreduce writes them for the same palette and indices: both or neither.
Status writeIconAndColormap(const std::string& path, const IndexedPicture& picture);

}  // namespace kx
