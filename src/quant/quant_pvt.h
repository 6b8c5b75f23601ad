// Private parts of kxquant: the input picture, its reduction (indexed/, with
// kxquant's options), and the output files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/outfile.h"
#include "common/planes.h"
#include "imageio/imageio.h"
#include "indexed/indexed.h"
#include "quant/quant.h"
#include "reduce/reduce.h"

namespace kx {

// A picture kxquant read, with what its PNG output carries over: the
// colour metadata and physical size (--strip drops them), and the input's
// length in bytes (--skip-if-larger).
struct QuantSource : SourcePicture {
  ImageMetadata metadata;
  int64_t inputBytes = 0;
};

// Any picture kxquant reads, or the Error naming the file.
Result<QuantSource> readSourcePicture(const std::string& path);
// The frames of any input kxquant reads: told by their first bytes, else by
// the name (.pic, .pict); an Error naming the file when neither.
Result<std::unique_ptr<InputFrames>> openSourceFrames(const std::string& path);
// A frame as RGB samples, its transparency and alpha, and its metadata.
QuantSource sourceFromImage(Image image);

// The engine's settings of kxquant's options.
inline IndexedOptions indexedOptions(const QuantOptions& options) {
  IndexedOptions indexed;
  indexed.refine = options.refine;
  indexed.dither = options.adjust     ? Dither::adjust
                   : options.noDither ? Dither::none
                                      : Dither::adaptive;
  indexed.factor = options.adjustFactor;
  indexed.ditherLevel = options.ditherLevel;
  indexed.cutByError = options.cutByError;
  indexed.fitWorst = options.fitWorst;
  return indexed;
}

inline Result<ChosenPalette> choosePictureColormap(const SourcePicture& source, int colors,
                                                   const QuantOptions& options,
                                                   const Context& context) {
  return choosePictureColormap(source, colors, indexedOptions(options), context);
}

inline Result<ChosenPalette> paletteOfCount(const PictureCount& counted, int colors,
                                            const QuantOptions& options, const Context& context) {
  return paletteOfCount(counted, colors, indexedOptions(options), context);
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

// ---- Quality ---------------------------------------------------------------------

// The picture reduced for a PNG with kxquant's options: options.colors
// colours, or with a quality target the fewest that reach
// options.qualityMax (see reducePicture in indexed/).
inline Result<Reduction> reducePicture(const SourcePicture& source, const QuantOptions& options,
                                       bool measure, const Context& context) {
  return reducePicture(source, options.colors, options.qualityMax, indexedOptions(options), measure,
                       context);
}

// ---- Outputs --------------------------------------------------------------------

enum class OutputKind { Png, Gif, Icn };

// The kind of an output file by its extension (any case); false when none.
bool outputKindOf(const std::string& path, OutputKind* kind);

// The files a run writes for one output: the file itself, and for .icn its
// colormap beside it.
std::vector<std::string> outputFiles(const std::string& path, OutputKind kind);

// The PNG file of the picture, in memory, with the colour metadata;
// options.best asks for the smallest file. Takes the picture's indices.
std::vector<uint8_t> encodeIndexedPng(const std::string& name, IndexedPicture& picture,
                                      const ImageMetadata& metadata, const QuantOptions& options);
// The colour-mapped image (path ends in ".icn") and its colormap (.clm), as
// kxreduce writes them for the same palette and indices: both or neither.
Status writeIconAndColormap(const std::string& path, const IndexedPicture& picture);

// ---- An animated GIF of every frame of every input ------------------------------

// Where the GIF's lines go: notes and failures (one line each), and a
// progress line that rewrites itself (shown on a terminal only).
class SequenceReport {
 public:
  virtual ~SequenceReport() = default;
  virtual void say(const std::string& line) = 0;
  virtual void progress(const std::string& line) = 0;
};

// Writes options.output: every frame of every input not marked in `failed`,
// read once, one palette for all (counted from every frame), each frame
// stored as what changed. An input that cannot be read is marked and left
// out; one that fails after some of its frames were read (a stream cut
// short) stops the whole GIF, as does a failure to write it.
void writeGifOfAllFrames(const QuantOptions& options, std::vector<bool>& failed,
                         SequenceReport& report, const Context& context);

}  // namespace kx
