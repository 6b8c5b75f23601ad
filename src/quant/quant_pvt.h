// Private parts of kxquant: the input picture, the reduction of one picture
// or of a sequence with one palette, and the output files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/outfile.h"
#include "common/planes.h"
#include "imageio/imageio.h"
#include "quant/quant.h"
#include "reduce/reduce.h"

namespace kx {

// An input picture: RGB samples, which pixels are transparent, and their
// alpha when it is more than that.
struct SourcePicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;          // 3 bytes per pixel, rows top to bottom
  std::vector<uint8_t> transparent;  // empty, or 1 per pixel: 1 where alpha < 128
  size_t transparentCount = 0;
  // Empty unless some pixel is partly transparent (alpha 1 to 254): then
  // the alpha of every pixel. Such a picture is reduced with its alpha for a
  // PNG; the outputs without alpha keep `transparent` (clear this first).
  std::vector<uint8_t> alpha;
  // The colour metadata and physical size a PNG output carries (--strip
  // drops them), and the input's length in bytes (--skip-if-larger).
  ImageMetadata metadata;
  int64_t inputBytes = 0;

  size_t pixelCount() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
  size_t opaqueCount() const { return pixelCount() - transparentCount; }
};

// Any picture kxquant reads; ConvError naming the file when it cannot.
SourcePicture readSourcePicture(const std::string& path);
// The frames of any input kxquant reads: told by their first bytes
// (openFrames), else by the name (.pic, .pict); ConvError when neither.
std::unique_ptr<FrameSource> openSourceFrames(InputFile& file);
// A frame as RGB samples, its transparency and alpha.
SourcePicture sourceFromImage(Image image);

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
                                            const QuantOptions& options, const Context& context);

// A picture's colours counted once, for palettes of several sizes (the
// search of --quality); no count when no pixel is counted (all transparent).
struct PictureCount {
  std::optional<ColorCount> count;
};
Result<PictureCount> countPicture(const SourcePicture& source, const Context& context);
// choosePictureColormap's palette from the count.
Result<ChosenPalette> paletteOfCount(const PictureCount& counted, int colors,
                                     const QuantOptions& options, const Context& context);

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
                                           const QuantOptions& options, const Context& context,
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
                                    const SampleMap& samples, const QuantOptions& options,
                                    bool trim, bool transparentEntry, const Context& context);

// ---- Quality ---------------------------------------------------------------------

// The difference between a picture and its reduction (see quality.cpp), and
// kxquant's 0 to 100 quality for it.
double reductionError(const SourcePicture& source, const IndexedPicture& picture);
int qualityOfError(double error);

// A picture reduced for a PNG: its palette's compression and, when asked
// for (options.qualityMax >= 0, or measure), its quality.
struct Reduction {
  IndexedPicture picture;
  Compression compression;
  int colours = 0;   // the palette size asked of the engine
  int quality = -1;  // -1 when not measured
};

// The picture reduced to options.colors colours; with a quality target,
// to the fewest colours whose result reaches options.qualityMax (or to
// options.colors when none does: the caller compares the quality with
// options.qualityMin).
Result<Reduction> reducePicture(const SourcePicture& source, const QuantOptions& options,
                                bool measure, const Context& context);

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

// ---- Frames kept for a second pass ---------------------------------------------

// Every frame of a sequence, kept as it was read until the palette for all
// of them is chosen: a row equal to the same row of the frame before is
// kept once, for both; the rest in memory up to a budget, after it in a
// temporary file beside the output (removed whenever the store goes, and
// by the signals that end the process, as every temporary output is).
class FrameStore {
 public:
  // `beside`: a file name in the folder for the temporary file; `budget`:
  // the bytes kept in memory.
  FrameStore(std::string beside, size_t budget);
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // ConvError when the temporary file cannot be written.
  void add(const SourcePicture& frame);
  // Every frame is in; ConvError when the temporary file could not be written.
  void finish();
  size_t size() const { return entries_.size(); }
  // Frame k as it was added; any thread, after finish().
  SourcePicture get(size_t k) const;

  // The memory budget: KX_FRAME_MEMORY (bytes) when set, else 32 MiB.
  static size_t defaultBudget();

 private:
  // Where a row's bytes are: in block `block` of memory_ at `at`, or at
  // file offset `at` when block is kInFile.
  struct Place {
    uint32_t block = 0;
    uint64_t at = 0;
  };
  static constexpr uint32_t kInFile = UINT32_MAX;
  struct Entry {
    int width = 0, height = 0;
    size_t transparentCount = 0;
    // In memory; for a frame in the file its places are there too, after
    // its rows, at `table`: memory stays bounded whatever the clip's length.
    std::vector<Place> rows;
    uint64_t table = 0;
  };
  void readAt(uint64_t offset, uint8_t* out, size_t bytes) const;
  void readRow(const Place& place, uint8_t* out, size_t bytes) const;

  std::string beside_;
  size_t budget_;
  size_t inMemory_ = 0;
  std::vector<Entry> entries_;
  std::vector<std::vector<uint8_t>> memory_;
  std::vector<uint8_t> last_;    // the frame before, rows as kept (RGB, then mask bytes)
  std::vector<Place> lastRows_;  // and where they are
  std::unique_ptr<PendingFile> spill_;
  std::FILE* stream_ = nullptr;
  int reader_ = -1;
  uint64_t spilled_ = 0;
};

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
