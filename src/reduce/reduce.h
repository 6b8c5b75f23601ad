// The colour-reduction engine: a picture's pixels in, a palette of at most
// 256 colours and one palette index per pixel out.
//
//   CountOptions   -> countColors()   -> ColorCount   the histogram
//   PaletteOptions -> choosePalette() -> Colormap     median cut, refinement
//   RemapOptions   -> remapPixels()   -> indices      nearest entry, error diffusion
//
// Every step is a function of its arguments. Options come by value or const
// reference and are never changed; results are returned (the quantization
// filter alone works in place, on channels its caller hands it); nothing is kept
// between calls and there is no process-wide state, so steps may run on any
// number of threads at once. No file is opened and nothing is printed: what
// kxreduce's verbose mode says along the way comes back as Events through
// the caller's sink (eventText() has the words), and failures as Errors.
// The threads are the caller's: a Context names the pool a step may split
// its work on (none: the calling thread alone), and the results are the
// same for any pool.
//
// Pixels with alpha (PixelView::channels 4) are counted, cut, refined and
// remapped as they are seen, premultiplied (alpha_pvt.h says how colours are
// compared): every fully transparent pixel is one colour, and palette
// entries get an alpha of their own. A picture whose alpha is 255
// everywhere takes the opaque path, with exactly the results of the same
// pixels without alpha.
//
// Room is left for what comes next without reshaping these calls: other
// error diffusions (Dither), a remap that knows the frame before
// (RemapOptions), and quality searches that choose many palettes from one
// count (countColors and choosePalette take their inputs as const).
//
// Stands on: common (colours, pixel planes, threads, errors).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/error.h"
#include "common/planes.h"
#include "common/threads.h"

namespace kx {

// ---- Pixels ----------------------------------------------------------------------

// Rows of pixels the engine reads and never writes: `channels` bytes a
// pixel (red, green, blue, and alpha when 4), `stride` bytes from the start
// of one row to the next.
struct PixelView {
  const uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  size_t stride = 0;
  int channels = 3;

  const uint8_t* row(int y) const { return data + static_cast<size_t>(y) * stride; }
  int64_t pixels() const { return int64_t{width} * height; }
};

// The pixel planes of a picture (3 bytes a pixel) as a view.
PixelView viewOf(const PixelPlanes& planes);

// What each sample value becomes before a pixel is counted or mapped; the
// same map for red, green and blue.
using SampleMap = std::array<uint8_t, 256>;

SampleMap identityMap();
// The colour compression to target + 1 levels (target 1 to 255; 255 leaves
// every sample as it is): v becomes trunc(trunc(v × r) / r), r = target / 255
// computed once in double precision. The rounded doubles are part of the
// result: with target 33, 85 becomes 84 and 255 becomes 254.
SampleMap compressionMap(int target);
// `first`, then `then`.
SampleMap composeMaps(const SampleMap& first, const SampleMap& then);

// ---- Context: threads and events ---------------------------------------------------

// What a step has to tell, in the order it happens. values[] as noted.
enum class EventKind {
  compressing,    // the requested compression is applied before counting
  counting,       // counting begins
  overflow,       // more colours than values[0], the limit: compressing to 129 levels
  countingAgain,  // counting the compressed colours
  colorsFound,    // values[0] distinct colours counted
  choosing,       // choosing a palette of values[0] colours
  refined,        // error values[0] -> values[1] in values[2] refinement iterations
  remapping,      // mapping every pixel to a palette of values[0] colours
  adjusting,      // with the colour adjustment (error diffusion)
  remapped,       // every pixel is mapped
};

struct Event {
  EventKind kind;
  std::array<int64_t, 3> values{};
};

// An event in kxreduce's words, line end included ("5 colors found.\n"). The
// counting message has no line end: the next message continues its line.
std::string eventText(const Event& event);

using EventSink = std::function<void(const Event&)>;

struct Context {
  ThreadPool* pool = nullptr;  // the threads a step may use; null: the calling thread
  EventSink events;            // null: events are dropped

  void emit(EventKind kind, int64_t a = 0, int64_t b = 0, int64_t c = 0) const {
    if (events) events(Event{kind, {a, b, c}});
  }
};

// ---- Counting: pixels to a histogram -------------------------------------------------

// Most distinct colours a picture may keep to be counted as it is.
constexpr int kColorLimit = 62768;

// What a count does when a picture keeps more colours than the limit.
enum class Overflow {
  // Compresses every channel to 129 levels and counts again; more colours
  // than the limit after that are an ErrorCode::tooManyColors (kxreduce).
  compressOnce,
  // The same, then the finest compression that fits, down to 2 levels
  // (kxquant): every picture can be counted.
  finest,
};

struct CountOptions {
  int compress = 255;  // compression before counting, 1 to 255 (255: none)
  int limit = kColorLimit;
  Overflow overflow = Overflow::compressOnce;
};

struct ColorCount {
  // The distinct colours and their pixels, in the order of the colour
  // table: bucket by bucket (kx_colorHash), in each bucket the colour met
  // last first. The median cut's ties follow from this order. With alpha:
  // the colours as they are seen (premultiplied), by ascending premultiplied
  // value, each entry the straight colour that premultiplies to it.
  Histogram histogram;
  int64_t pixels = 0;          // the pixels counted
  int overflowTarget = 255;    // the compression the overflow needed (255: none)
  int64_t distinctColors = 0;  // the colours before it, when known (Overflow::finest;
                               // with alpha, those left at 129 levels)
  SampleMap counted{};         // what each sample was counted as: both compressions
                               // (with alpha the identity: the compression is
                               // applied to premultiplied samples, and palette
                               // entries stand for the original colours)
  bool alpha = false;          // counted with alpha: some pixel is not opaque
};

Result<ColorCount> countColors(const PixelView& pixels, const CountOptions& options,
                               const Context& context);

// ---- Palette: histogram to colormap ----------------------------------------------------

struct PaletteOptions {
  int colors = 256;         // palette entries, 1 to 256
  int quantBits = 0;        // -Q: each entry the mean of its box at this many bits
                            // per channel (1 to 8); 0: the box's most populous colour
  bool refine = false;      // improve the median cut's palette (k-means over the histogram)
  bool cutByError = false;  // cut boxes as for alpha (below), also without alpha
};

// The median-cut palette of `colors` entries (entries beyond the colours
// counted are black), refined when asked: the entries then move to the
// means of the original samples each stands for, also when the count
// compressed them. A count with alpha gets a palette with alpha: boxes cut
// where they split the error best, each entry the mean of its box (as seen,
// premultiplied), refined by k-means in the same measure; when the picture
// has fully transparent pixels, entry 0 is (0, 0, 0, 0) and takes them all.
// quantBits then applies to the straight samples of the entries. cutByError
// chooses that palette for an opaque count too: the colours of few pixels
// far from the rest get entries of their own.
Result<Colormap> choosePalette(const ColorCount& count, const PaletteOptions& options,
                               const Context& context);

// The palettes of a sequence as one picture, to choose one palette for all:
// column f holds palette f, its entry c in row c (places no palette fills
// are black). Counted row by row, entry 0 of every palette comes first.
class PaletteImage {
 public:
  // May throw std::bad_alloc.
  PaletteImage(int palettes, int colors);
  int palettes() const { return planes_.width; }
  int colors() const { return planes_.height; }
  // Palette f: its first colors() entries.
  void set(int f, const Colormap& palette);
  Colormap get(int f) const;
  PixelView view() const { return viewOf(planes_); }

 private:
  PixelPlanes planes_;
};

// ---- Remapping: pixels to palette indices ----------------------------------------------

enum class Dither {
  none,      // every pixel to its nearest entry
  adjust,    // the colour adjustment (-a): each pixel's error, times the
             // factor, spread to its right and lower neighbours (7, 3, 5, 1 / 16)
  adaptive,  // the same diffusion as strong as the palette's error shows,
             // as ditherStrength() says pixel by pixel (the factor is not used)
};

// The levels of Dither::adaptive: 1 (the default) to kMaxDitherLevel, each
// dithering more of a picture's texture and closer to its edges, for more
// bytes.
constexpr int kMaxDitherLevel = 3;

struct RemapOptions {
  Dither dither = Dither::none;
  float factor = 0.7f;  // strength of the adjustment, 0 < factor <= 1
  int ditherLevel = 1;  // Dither::adaptive and ditherStrength(): 1 to kMaxDitherLevel
  // Applied to every sample before it is mapped: the compression the
  // pixels were counted with, when the palette stands for compressed colours.
  SampleMap samples = identityMap();
  // Dither::adaptive: the strength of every pixel of the view, rows top to
  // bottom, as ditherStrength() gives it; empty: ditherStrength()'s own.
  // A caller may lower it where pixels must not move (0: the pixel keeps
  // its nearest entry and passes no error on).
  std::span<const uint8_t> strength;

  // With the adjustment, the frame before (the same size and layout) and
  // the indices it was given: a pixel whose samples equal the ones there
  // keeps that index, and its error is diffused as any other's. A region
  // that stands still keeps its dither pattern from frame to frame. Not for
  // pixels with alpha.
  const PixelView* before = nullptr;
  const uint8_t* beforeIndices = nullptr;
};

// One palette index per pixel, rows top to bottom: the nearest of the
// palette's 1 to 256 entries by squared distance, the lowest index among
// equals. Pixels with alpha (channels 4) that are not all opaque, or a
// palette with alpha, are mapped as they are seen: by the distance of
// alpha_pvt.h, `samples` applied to red, green and blue, and the adjustment
// diffusing premultiplied errors (alpha too) on the calling thread; fully
// transparent pixels take no error and pass none on.
Result<std::vector<uint8_t>> remapPixels(const PixelView& pixels, const Colormap& palette,
                                         const RemapOptions& options, const Context& context);

// Where error diffusion hides the palette's error, and how strongly: one
// byte per pixel, rows top to bottom, from 0 (the pixel takes its nearest
// entry and passes no error on) to 255 (it takes in and passes on all of
// the error; the map gives at most 217, 0.85 of it). High in smooth areas
// whose colours the palette's entries miss; in texture as far as the error
// shows through it (more at a higher options.ditherLevel); 0 on and beside
// edges that stand out of their surroundings, and in flat areas whose
// colour the palette holds. A function of the pixels, the palette,
// options.samples and options.ditherLevel alone: the same for any pool.
Result<std::vector<uint8_t>> ditherStrength(const PixelView& pixels, const Colormap& palette,
                                            const RemapOptions& options, const Context& context);

class SharedNearestSearch;

// A palette prepared once for many pictures (the frames of a clip): the
// nearest entry of every colour met is kept from one picture to the next,
// where remapPixels looks each up again for every picture. The same indices
// as remapPixels; any number of threads may remap with it at once.
class PaletteMapper {
 public:
  // May throw std::bad_alloc.
  explicit PaletteMapper(const Colormap& palette);
  ~PaletteMapper();
  PaletteMapper(const PaletteMapper&) = delete;
  PaletteMapper& operator=(const PaletteMapper&) = delete;

  Result<std::vector<uint8_t>> remap(const PixelView& pixels, const RemapOptions& options,
                                     const Context& context) const;

 private:
  Colormap palette_;
  std::unique_ptr<SharedNearestSearch> search_;
};

// ---- The quantization filter ---------------------------------------------------------

// The level table of `bits` bits per channel (1 to 8): each sample to the
// smallest bit-replicated level at or above it (sample 1 to level 0).
using QuantTable = std::array<int16_t, 256>;
Result<QuantTable> quantizationTable(int bits);

// Quantizes channels of `count` samples each, rows of `width`, in place, with
// Floyd-Steinberg error diffusion when `dither` is set (each channel its
// own). Null channels are skipped.
Status filterChannels(std::span<uint8_t* const> channels, int64_t count, int width,
                      const QuantTable& table, bool dither, const Context& context);

// ---- Palette refinement on its own ----------------------------------------------------

// For each stored sample value, twice the mean of the original sample
// values it stands for: 2 × v when the samples were counted as they are.
using SampleCentres = std::array<uint16_t, 256>;
// The centres of the samples a map merges (each run of values that map to
// one, at first + last).
SampleCentres centresOf(const SampleMap& counted);

struct RefineReport {
  int iterations = 0;      // Lloyd iterations, all stages together
  int64_t startError = 0;  // sum of count × squared distance, starting palette
  int64_t endError = 0;    // the same for the palette returned
};

// Improves a median-cut palette over the histogram: weighted k-means
// iterations with the exact nearest-entry search of the remapping, and
// entries moved from where they serve least to the colours served worst.
// The palette keeps its size and comes out in descending population; it
// is left as it is when nothing better is found, so the total error never
// grows. Deterministic: integer sums only, no dependence on the
// histogram's order beyond ties. populations, when given, receives the
// pixels each entry serves. May throw std::bad_alloc.
RefineReport refineColormap(const Histogram& histogram, Colormap& colormap,
                            const SampleCentres& centres, ThreadPool* pool,
                            std::vector<int64_t>* populations = nullptr);

// The colour table's bucket of a colour, whose order the histogram keeps.
constexpr int kColorTableBuckets = 6553;
inline int kx_colorHash(Color c) {
  return (33023 * c.red + 30013 * c.green + 27011 * c.blue) % kColorTableBuckets;
}

}  // namespace kx
