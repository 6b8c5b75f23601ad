// An animated GIF of frames, with one palette for all.
//
// Two passes over the frames, each frame given once:
//   1. every frame is kept (FrameStore) and counted into one
//      histogram of all frames: the exact colours while the frames hold at
//      most 16,384, else the colours binned at 6 bits per channel (5 when
//      that leaves more colours than the median cut's limit), each bin
//      carrying the sum of its samples, so that the histogram entry is the
//      mean colour of its pixels, not the bin's corner. The median cut and
//      its refinement then run once, over all frames' pixels, the cut made
//      where the error is (as for alpha): a palette for every frame has to
//      serve the colours that few frames hold, such as the first frames of
//      a zoom, and an entry also weighs the most pixels one frame gave it;
//   2. every frame is remapped to the palette, several side by side, and
//      handed in order to the GIF writer, which stores what changed.
// Frames are counted in order as they come, and the remapping of a frame
// does not depend on the threads, so the bytes are the same for any number
// of threads.
//
// Differencing needs a transparent index: with more than one frame (or
// transparent pixels) the palette has at most 255 colours and the first
// entry is the transparent one. The colours follow by the pixels they serve
// that change after the first frame, most first, so that later frames,
// which store what changed, code with narrower codes.
//
// Below quality 100 the GIF spends looks for bytes within a tolerance t
// (gifTolerance): a 16 x 16 block whose every pixel is shown within t of
// its new colour, and on average within t/4, keeps what is shown (the
// writer then leaves it out or codes it transparent); a slow drift is
// measured against what is shown, so it adds up until the block is drawn
// again. The writer's LZW may then let a colour within t stand in for
// another where that makes its strings longer.
//
// Dithering that stands still: where a pixel of the source equals the one
// before it (and the frame is the same size), it keeps the index it had,
// with the adaptive diffusion (the default) as with -a, so that a region
// that does not change keeps its dither pattern, is left out of the
// changed rectangle and codes as transparent.
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <optional>

#include "common/color.h"
#include "common/machine.h"
#include "common/threads.h"
#include "encode/encode.h"
#include "sequence/sequence_pvt.h"

namespace kx {

namespace {

// One entry of the histogram of all frames: its pixels, their sums, the
// most pixels one frame gave it, and its pixels that changed from the frame
// before (none of the first frame's).
struct Bin {
  uint64_t pixels = 0, red = 0, green = 0, blue = 0, most = 0, changed = 0;
};
constexpr int kBinBits = 6;

// Bins counted frame by frame: each also learns the most pixels one frame
// gave it. A key's bin is made where it is first used, in chunks that never
// move, and found through a table of one 32-bit slot a key (zeroed where it
// is used): a fractal zoom whose 30,000 colours are spread over the whole
// cube holds 2 MB of bins, not the 14 MB of one bin a key.
class FrameBins {
 public:
  explicit FrameBins(size_t keys) : slots_(keys) {}

  void add(size_t key, const uint8_t* p, bool changed) {
    uint32_t& slot = slots_[key];
    if (slot == 0) {
      if (used_ % kChunk == 0) chunks_.push_back(std::make_unique<Used[]>(kChunk));
      slot = static_cast<uint32_t>(++used_);
    }
    Used& u = at(slot);
    Bin& b = u.bin;
    ++b.pixels;
    b.changed += changed;
    b.red += p[0];
    b.green += p[1];
    b.blue += p[2];
    if (u.inFrame++ == 0) touched_.push_back(slot);
  }
  void endFrame() {
    for (const uint32_t slot : touched_) {
      Used& u = at(slot);
      u.bin.most = std::max(u.bin.most, u.inFrame);
      u.inFrame = 0;
    }
    touched_.clear();
  }
  static void fold(Bin& to, const Bin& from) {
    to.pixels += from.pixels;
    to.red += from.red;
    to.green += from.green;
    to.blue += from.blue;
    to.most = std::max(to.most, from.most);
    to.changed += from.changed;
  }
  size_t used() const { return used_; }
  // The key's bin (empty when the key was never added).
  const Bin& operator[](size_t key) const {
    static const Bin empty;
    return slots_[key] ? at(slots_[key]).bin : empty;
  }
  // f(key, bin) for every key added, by ascending key.
  template <class F>
  void forEachUsed(F&& f) const {
    for (size_t key = 0; key < slots_.size(); ++key) {
      if (slots_[key]) f(key, at(slots_[key]).bin);
    }
  }

 private:
  struct Used {
    Bin bin;
    uint64_t inFrame = 0;
  };
  static constexpr size_t kChunk = 4096;

  Used& at(uint32_t slot) const { return chunks_[(slot - 1) / kChunk][(slot - 1) % kChunk]; }

  ZeroedArray<uint32_t> slots_;  // 1 + the bin's place, 0 for none
  std::vector<std::unique_ptr<Used[]>> chunks_;
  size_t used_ = 0;
  std::vector<uint32_t> touched_;
};

// The frames' exact colours while there are at most kLimit of them (screen
// recordings, drawings), in an open-addressing table keyed by 0xRRGGBB.
// Past the limit it is dropped and the 6-bit bins stand alone.
class ExactColours {
 public:
  static constexpr size_t kLimit = size_t{1} << 14;

  ExactColours() : keys_(kSlots, kEmpty), bins_(kSlots) {}

  bool open() const { return open_; }
  void add(const uint8_t* p, bool changed) {
    const uint32_t key = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    if (key != lastKey_) {
      const size_t at = slotOf(key);
      if (at == kSlots) return;
      lastKey_ = key;
      lastAt_ = at;
    }
    bins_.add(lastAt_, p, changed);
  }
  void endFrame() {
    if (open_) bins_.endFrame();
  }
  // The colours by ascending value.
  std::vector<Bin> sorted() const {
    std::vector<size_t> at;
    for (size_t i = 0; i < kSlots; ++i) {
      if (keys_[i] != kEmpty) at.push_back(i);
    }
    std::sort(at.begin(), at.end(), [&](size_t a, size_t b) { return keys_[a] < keys_[b]; });
    std::vector<Bin> bins;
    for (const size_t i : at) bins.push_back(bins_[i]);
    return bins;
  }

 private:
  static constexpr size_t kSlots = 2 * kLimit;
  static constexpr uint32_t kEmpty = UINT32_MAX;

  // The key's slot, taken when new; kSlots when the table is (now) dropped.
  size_t slotOf(uint32_t key) {
    if (!open_) return kSlots;
    size_t at = (key * uint32_t{2654435761}) >> 17 & (kSlots - 1);
    while (keys_[at] != key) {
      if (keys_[at] == kEmpty) {
        if (++used_ > kLimit) {
          drop();
          return kSlots;
        }
        keys_[at] = key;
        break;
      }
      at = (at + 1) & (kSlots - 1);
    }
    return at;
  }
  void drop() {
    open_ = false;
    lastKey_ = kEmpty;
    keys_ = {};
    bins_ = FrameBins(0);
  }

  std::vector<uint32_t> keys_;
  FrameBins bins_;
  size_t used_ = 0;
  bool open_ = true;
  uint32_t lastKey_ = kEmpty;
  size_t lastAt_ = 0;
};

// The histogram of all frames: the exact colours while they are few, else
// the colours binned at 6 bits per channel.
class SequenceHistogram {
 public:
  SequenceHistogram() : bins_(size_t{1} << (3 * kBinBits)) {}

  // The frame, and the frame before it (null for the first).
  void add(const SourcePicture& frame, const SourcePicture* before) {
    const size_t n = frame.pixelCount();
    const uint8_t* p = frame.rgb.data();
    const bool masked = frame.transparentCount > 0;
    const uint8_t* q = before && before->width == frame.width && before->height == frame.height
                           ? before->rgb.data()
                           : nullptr;
    constexpr int shift = 8 - kBinBits;
    for (size_t i = 0; i < n; ++i, p += 3) {
      if (masked && frame.transparent[i]) continue;
      const bool changed = before && (!q || !std::equal(p, p + 3, q + 3 * i));
      bins_.add(size_t{p[0]} >> shift << (2 * kBinBits) | size_t{p[1]} >> shift << kBinBits |
                    size_t{p[2]} >> shift,
                p, changed);
      if (exact_.open()) exact_.add(p, changed);
    }
    bins_.endFrame();
    exact_.endFrame();
    ++frames_;
  }
  // The bins as the engine's count: each entry the mean colour of its
  // pixels (the exact colours, or bins at 6 bits per channel or, when that
  // leaves more colours than the cut takes, at 5). An entry weighs its
  // pixels plus a quarter of what it would have if every frame held as much
  // of it as the frame that holds the most, so that the colours of a few
  // frames (the start of a zoom) are not starved by those every frame has.
  // `changed` gets each entry's changed pixels.
  ColorCount count(std::vector<uint64_t>& changed) const {
    // The 6-bit bins are read where they are; `own` holds the exact colours
    // or the 5-bit bins.
    std::vector<Bin> own;
    if (exact_.open()) {
      own = exact_.sorted();
    } else if (bins_.used() > static_cast<size_t>(kColorLimit)) {
      own.resize(size_t{1} << (3 * (kBinBits - 1)));
      bins_.forEachUsed([&](size_t i, const Bin& from) {
        const size_t r = i >> (2 * kBinBits) >> 1, g = (i >> kBinBits & 63) >> 1, b = (i & 63) >> 1;
        FrameBins::fold(own[r << (2 * (kBinBits - 1)) | g << (kBinBits - 1) | b], from);
      });
    }
    auto each = [&](auto&& f) {
      if (own.empty()) {  // the 6-bit bins (none either when the exact colours are none)
        bins_.forEachUsed([&](size_t, const Bin& b) { f(b); });
      } else {
        for (const Bin& b : own) f(b);
      }
    };
    auto weight = [&](const Bin& b) { return b.pixels + frames_ * b.most / 4; };
    uint64_t most = 0;
    each([&](const Bin& b) { most = std::max(most, weight(b)); });
    // Entry counts are 32-bit: a long clip's counts are scaled down, each
    // bin keeping at least one.
    const uint64_t scale = most / INT32_MAX + 1;
    ColorCount count;
    each([&](const Bin& b) {
      if (b.pixels == 0) return;
      auto mean = [&](uint64_t sum) {
        return static_cast<uint8_t>((sum + b.pixels / 2) / b.pixels);
      };
      const auto n = static_cast<int32_t>(std::max<uint64_t>(1, weight(b) / scale));
      count.histogram.emplace_back(mean(b.red), mean(b.green), mean(b.blue), n);
      changed.push_back(b.changed);
      count.pixels += n;
    });
    count.distinctColors = static_cast<int64_t>(count.histogram.size());
    count.counted = identityMap();
    return count;
  }

 private:
  FrameBins bins_;
  ExactColours exact_;
  uint64_t frames_ = 0;
};

// A frame at hand in pass 2.
struct Remapped {
  SourcePicture source;
  std::vector<uint8_t> indices;
};

// What the screen shows after the last frame placed, for lossy differencing.
class ShownFrame {
 public:
  // `limit` is the tolerance squared, as weightedDistance2.
  ShownFrame(const Colormap& colormap, double tolerance, int limit)
      : colours_(colormap.size()), limit_(limit), meanLimit_(tolerance / 4) {
    distance_.resize(colours_ * colours_);
    steps_.resize(colours_ * colours_);
    for (size_t a = 0; a < colours_; ++a) {
      for (size_t b = 0; b < colours_; ++b) {
        const HistogramEntry &x = colormap[a], &y = colormap[b];
        const int d = weightedDistance2(x.red, x.green, x.blue, y.red, y.green, y.blue);
        distance_[a * colours_ + b] = d;
        steps_[a * colours_ + b] = std::sqrt(d / 9.0);
      }
    }
  }

  // Blocks of the frame that may keep what is shown take it; then the frame
  // is what is shown.
  void keep(Remapped& r) {
    const SourcePicture& s = r.source;
    if (s.width == width_ && s.height == height_ && limit_ > 0) {
      for (int y = 0; y < height_; y += kBlock) {
        for (int x = 0; x < width_; x += kBlock) keepBlock(r, x, y);
      }
    }
    width_ = s.width;
    height_ = s.height;
    indices_ = r.indices;
    transparent_ = s.transparentCount > 0 ? s.transparent : std::vector<uint8_t>{};
  }

 private:
  static constexpr int kBlock = 16;

  void keepBlock(Remapped& r, int x0, int y0) const {
    const int x1 = std::min(x0 + kBlock, width_), y1 = std::min(y0 + kBlock, height_);
    const bool masked = r.source.transparentCount > 0;
    double sum = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const size_t i = static_cast<size_t>(y) * width_ + x;
        if ((masked && r.source.transparent[i]) || (!transparent_.empty() && transparent_[i])) {
          return;
        }
        const size_t pair = r.indices[i] * colours_ + indices_[i];
        if (distance_[pair] > limit_) return;
        sum += steps_[pair];
      }
    }
    if (sum > meanLimit_ * (x1 - x0) * (y1 - y0)) return;
    for (int y = y0; y < y1; ++y) {
      const size_t row = static_cast<size_t>(y) * width_;
      std::copy(indices_.begin() + static_cast<long>(row + x0),
                indices_.begin() + static_cast<long>(row + x1),
                r.indices.begin() + static_cast<long>(row + x0));
    }
  }

  size_t colours_;
  int limit_ = 0;
  double meanLimit_ = 0;
  std::vector<int> distance_;
  std::vector<double> steps_;  // the distances as grey steps
  int width_ = 0, height_ = 0;
  std::vector<uint8_t> indices_;
  std::vector<uint8_t> transparent_;
};

// The GIF writer, to a file or to memory.
std::unique_ptr<GifWriter> makeWriter(const std::string& path, std::vector<uint8_t>* memory,
                                      const std::string& name,
                                      const GifWriter::Settings& settings) {
  Result<std::unique_ptr<GifWriter>> made =
      memory ? GifWriter::create(*memory, name, settings) : GifWriter::create(path, settings);
  if (!made) throw made.error();
  return std::move(*made);
}

}  // namespace

struct GifSequence::State {
  GifOptions options;
  std::string name;
  FrameStore store;
  // The histogram of the frames counted (one: a second, to count on another
  // thread, would cost more memory than the time it saves), and the last
  // frame counted (its size and samples).
  std::unique_ptr<SequenceHistogram> histogram;  // made with the first frame
  SourcePicture lastCounted;
  // The last frame added, counted when the next comes (or at the end): a
  // reader that fails on its second frame has not paid for the histogram.
  std::optional<SourcePicture> waiting;
  int width = 0, height = 0;
  bool transparent = false;
  bool written = false;

  State(const GifOptions& o, std::string n, std::string spillBeside, size_t budget)
      : options(o), name(std::move(n)), store(std::move(spillBeside), budget) {}

  // Counts the frame and keeps it.
  void countAndKeep(SourcePicture&& frame) {
    if (!histogram) histogram = std::make_unique<SequenceHistogram>();
    histogram->add(frame, lastCounted.rgb.empty() ? nullptr : &lastCounted);
    store.add(frame);
    lastCounted.width = frame.width;
    lastCounted.height = frame.height;
    lastCounted.rgb = std::move(frame.rgb);
  }

  // The palette of all frames, from the histogram of pass 1.
  Colormap chooseColormap(const Context& context) {
    std::vector<uint64_t> changed;
    const ColorCount count = histogram->count(changed);
    histogram.reset();
    lastCounted = SourcePicture{};
    // Room for the transparent index that unchanged pixels take.
    const bool needsTransparent = store.size() > 1 || transparent;
    int colours = std::min(options.colors, needsTransparent ? 255 : 256);
    colours = static_cast<int>(std::clamp<int64_t>(count.distinctColors, 1, colours));
    if (count.histogram.empty()) return Colormap(static_cast<size_t>(colours));
    PaletteOptions palette;
    palette.colors = colours;
    palette.refine = options.indexed.refine;
    palette.cutByError = true;
    Result<Colormap> chosen = choosePalette(count, palette, context);
    if (!chosen) throw Error(chosen.error().code, name + ": " + chosen.error().message);
    return byUse(std::move(*chosen), count, changed, context);
  }

  // The entries by the changed pixels they serve, most first (then by all
  // their pixels, then in their order): what a frame after the first stores
  // is mostly what changed, so that such a frame holds small indices only
  // and its LZW codes start narrower.
  Colormap byUse(Colormap colormap, const ColorCount& count, const std::vector<uint64_t>& changed,
                 const Context& context) const {
    std::vector<uint8_t> colours;
    for (const HistogramEntry& e : count.histogram)
      colours.insert(colours.end(), {e.red, e.green, e.blue});
    const PixelView view{colours.data(), static_cast<int>(count.histogram.size()), 1,
                         colours.size(), 3};
    Context quiet = context;
    quiet.events = nullptr;
    Result<std::vector<uint8_t>> nearest =
        PaletteMapper(colormap).remap(view, RemapOptions{}, quiet);
    if (!nearest) throw Error(nearest.error().code, name + ": " + nearest.error().message);
    std::vector<std::pair<uint64_t, uint64_t>> use(colormap.size());
    for (size_t i = 0; i < nearest->size(); ++i) {
      use[(*nearest)[i]].first += changed[i];
      use[(*nearest)[i]].second += static_cast<uint64_t>(count.histogram[i].count);
    }
    std::vector<size_t> order(colormap.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return use[a] > use[b]; });
    Colormap sorted;
    for (const size_t i : order) sorted.push_back(colormap[i]);
    return sorted;
  }

  void write(const std::string& path, std::vector<uint8_t>* memory, const GifPlayback& playback,
             const GifEvents& events, const Context& context, GifSummary& summary) {
    if (written) throw Error(ErrorCode::badArgument, name + ": the frames were written already");
    written = true;
    if (waiting) countAndKeep(std::move(*waiting));
    waiting.reset();
    const size_t frames = store.size();
    if (frames == 0) throw Error(ErrorCode::badArgument, name + ": no frame to write");
    if (playback.delays.size() != frames) {
      throw Error(ErrorCode::badArgument, name + ": " + std::to_string(playback.delays.size()) +
                                              " delays for " + std::to_string(frames) + " frames");
    }
    store.finish();
    const Colormap colormap = chooseColormap(context);
    GifWriter::Settings settings;
    settings.screenWidth = width;
    settings.screenHeight = height;
    // The transparent entry (for transparent pixels, and for differencing
    // when there are frames after the first) is the first: every frame after
    // the first holds it.
    if (transparent || frames > 1) {
      settings.transparentIndex = 0;
      settings.palette.push_back({0, 0, 0});
    }
    for (const HistogramEntry& e : colormap) settings.palette.push_back({e.red, e.green, e.blue});
    settings.loopCount = playback.loop < 0 ? GifWriter::kPlayOnce : playback.loop;
    settings.pool = context.pool;
    const double tolerance = gifTolerance(std::clamp(options.quality, 0, 100));
    settings.standInDistance2 = static_cast<int>(std::lround(9 * tolerance * tolerance));
    std::optional<ShownFrame> shown;
    if (tolerance > 0) shown.emplace(colormap, tolerance, settings.standInDistance2);
    const std::unique_ptr<GifWriter> writer = makeWriter(path, memory, name, settings);
    GifWriter& gif = *writer;
    if (events.writing) events.writing();

    RemapOptions remap;
    remap.dither = options.indexed.dither;
    remap.factor = options.indexed.factor;
    remap.ditherLevel = options.indexed.ditherLevel;
    const bool dithered = remap.dither != Dither::none;
    const PaletteMapper mapper(colormap);
    // The engine's messages are the palette's; not one per frame.
    Context remapping = context;
    remapping.events = nullptr;
    auto remapped = [&](const SourcePicture& source, const Remapped* before) {
      const PixelView view = source.rgbView();
      RemapOptions these = remap;
      PixelView beforeView;
      if (before && before->source.width == source.width &&
          before->source.height == source.height) {
        beforeView = before->source.rgbView();
        these.before = &beforeView;
        these.beforeIndices = before->indices.data();
      }
      Result<std::vector<uint8_t>> indices = mapper.remap(view, these, remapping);
      if (!indices) throw Error(indices.error().code, name + ": " + indices.error().message);
      return std::move(*indices);
    };
    const int64_t inFlight = std::max(2, 2 * threadsOf(context.pool));
    std::vector<Remapped> slots(static_cast<size_t>(inFlight));
    std::optional<Remapped> previous;
    // Without dithering frames are remapped side by side; with it each frame
    // needs the indices of the one before, and is remapped in order (its
    // rows on the threads).
    runOrdered(
        context.pool, static_cast<int64_t>(frames), [&] { return inFlight; },
        [&](int64_t k) {
          Remapped& r = slots[static_cast<size_t>(k % inFlight)];
          r.source = store.get(static_cast<size_t>(k));
          if (!dithered) r.indices = remapped(r.source, nullptr);
        },
        [&](int64_t k) {
          Remapped& r = slots[static_cast<size_t>(k % inFlight)];
          if (dithered) r.indices = remapped(r.source, previous ? &*previous : nullptr);
          if (shown) shown->keep(r);
          place(gif, r, settings.transparentIndex, playback.delays[static_cast<size_t>(k)]);
          if (dithered) {
            previous = std::move(r);
          } else {
            r = Remapped{};
          }
          if (events.written) events.written(static_cast<size_t>(k) + 1, frames);
          return true;
        });
    if (Status committed = gif.commit(); !committed) throw committed.error();
    summary = GifSummary{frames, width, height, settings.palette.size()};
  }

  // The frame on the screen, centred when it is smaller: its indices after
  // the transparent entry, when there is one, and its transparent pixels
  // that entry.
  void place(GifWriter& gif, const Remapped& r, int transparentIndex, int64_t delay) const {
    const int w = r.source.width, h = r.source.height;
    const GifRect rect{(width - w) / 2, (height - h) / 2, w, h};
    std::vector<uint8_t> screen(static_cast<size_t>(width) * height);
    for (int y = 0; y < h; ++y) {
      const size_t from = static_cast<size_t>(y) * w;
      uint8_t* to = screen.data() + (static_cast<size_t>(y) + rect.top) * width + rect.left;
      const uint8_t* indices = r.indices.data() + from;
      if (transparentIndex < 0) {
        std::copy_n(indices, w, to);
        continue;
      }
      const uint8_t* clear = r.source.transparentCount > 0 ? &r.source.transparent[from] : nullptr;
      for (int x = 0; x < w; ++x) {
        to[x] = clear && clear[x] ? static_cast<uint8_t>(transparentIndex)
                                  : static_cast<uint8_t>(indices[x] + 1);
      }
    }
    // The writer refuses what a GIF cannot store.
    const Status added = gif.addFrame(
        std::move(screen), static_cast<int>(std::clamp<int64_t>(delay, -1, 65536)), rect);
    if (!added) throw added.error();
  }
};

namespace {}  // namespace

GifSequence::GifSequence(const GifOptions& options, std::string name, std::string spillBeside,
                         size_t memoryBudget) {
  const size_t budget = spillBeside.empty() ? SIZE_MAX : memoryBudget;
  state_ = std::make_unique<State>(options, std::move(name), std::move(spillBeside), budget);
}

GifSequence::~GifSequence() = default;

size_t GifSequence::frames() const {
  return state_->store.size() + (state_->waiting ? 1 : 0);
}

Status GifSequence::add(SourcePicture frame, const Context& /*context*/) {
  State& s = *state_;
  return guarded(s.name, [&] {
    if (s.written) throw Error(ErrorCode::badArgument, s.name + ": a frame after the GIF");
    // Rows read where they are are kept as the frame's own.
    if (frame.outside.data) {
      const PixelView view = frame.outside;
      frame.rgb.resize(3 * frame.pixelCount());
      for (int y = 0; y < view.height; ++y) {
        const uint8_t* row = view.row(y);
        uint8_t* to = frame.rgb.data() + size_t{3} * view.width * y;
        for (int x = 0; x < view.width; ++x) std::copy_n(row + x * view.channels, 3, to + 3 * x);
      }
      frame.outside = PixelView{};
    }
    // A GIF keeps transparency only.
    if (s.options.ditherAlpha) ditherTransparency(frame);
    frame.alpha.clear();
    s.width = std::max(s.width, frame.width);
    s.height = std::max(s.height, frame.height);
    s.transparent = s.transparent || frame.transparentCount > 0;
    if (s.waiting) s.countAndKeep(std::move(*s.waiting));
    s.waiting = std::move(frame);
  });
}

Result<GifSummary> GifSequence::write(const std::string& path, const GifPlayback& playback,
                                      const GifEvents& events, const Context& context) {
  GifSummary summary;
  if (Status done = guarded(
          state_->name, [&] { state_->write(path, nullptr, playback, events, context, summary); });
      !done) {
    return done.error();
  }
  return summary;
}

Result<GifSummary> GifSequence::write(std::vector<uint8_t>& memory, const GifPlayback& playback,
                                      const GifEvents& events, const Context& context) {
  GifSummary summary;
  if (Status done = guarded(
          state_->name, [&] { state_->write("", &memory, playback, events, context, summary); });
      !done) {
    return done.error();
  }
  return summary;
}

}  // namespace kx
