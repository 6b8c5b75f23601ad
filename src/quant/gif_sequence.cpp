// An animated GIF of every frame of every input (files of one picture,
// multi-image netpbm files, YUV4MPEG2 videos, the standard input), with one
// palette for all.
//
// Two passes over the frames, the input read once:
//   1. every frame is read, kept (FrameStore) and counted into one
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
// Sums of integers do not depend on the order they are added in, and the
// remapping of a frame does not depend on the threads, so the bytes are the
// same for any number of threads.
//
// Differencing needs a transparent index: with more than one frame (or
// transparent pixels) the palette has at most 255 colours and the last
// entry is the transparent one.
//
// Dithering that stands still: where a pixel of the source equals the one
// before it (and the frame is the same size), it keeps the index it had,
// with the adaptive diffusion (the default) as with -a, so that a region
// that does not change keeps its dither pattern, is left out of the
// changed rectangle and codes as transparent.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>

#include "common/messages.h"
#include "common/outfile.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

// One entry of the histogram of all frames: its pixels, their sums, and the
// most pixels one frame gave it.
struct Bin {
  uint64_t pixels = 0, red = 0, green = 0, blue = 0, most = 0;
};
constexpr int kBinBits = 6;

// Bins counted frame by frame: each also learns the most pixels one frame
// gave it.
class FrameBins {
 public:
  explicit FrameBins(size_t size) : bins_(size), inFrame_(size) {}

  void add(size_t at, const uint8_t* p) {
    Bin& b = bins_[at];
    ++b.pixels;
    b.red += p[0];
    b.green += p[1];
    b.blue += p[2];
    if (inFrame_[at]++ == 0) touched_.push_back(static_cast<uint32_t>(at));
  }
  void endFrame() {
    for (const uint32_t at : touched_) {
      bins_[at].most = std::max(bins_[at].most, inFrame_[at]);
      inFrame_[at] = 0;
    }
    touched_.clear();
  }
  static void fold(Bin& to, const Bin& from) {
    to.pixels += from.pixels;
    to.red += from.red;
    to.green += from.green;
    to.blue += from.blue;
    to.most = std::max(to.most, from.most);
  }
  std::vector<Bin>& bins() { return bins_; }
  const std::vector<Bin>& bins() const { return bins_; }

 private:
  std::vector<Bin> bins_;
  std::vector<uint64_t> inFrame_;
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
  void add(const uint8_t* p) {
    const uint32_t key = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    if (key != lastKey_) {
      const size_t at = slotOf(key);
      if (at == kSlots) return;
      lastKey_ = key;
      lastAt_ = at;
    }
    bins_.add(lastAt_, p);
  }
  void endFrame() {
    if (open_) bins_.endFrame();
  }
  void merge(const ExactColours& other) {
    if (!other.open_) drop();
    for (size_t i = 0; open_ && i < kSlots; ++i) {
      if (other.keys_[i] == kEmpty) continue;
      const size_t at = slotOf(other.keys_[i]);
      if (at < kSlots) FrameBins::fold(bins_.bins()[at], other.bins_.bins()[i]);
    }
  }
  // The colours by ascending value, so that the order does not depend on
  // how the frames were shared out.
  std::vector<Bin> sorted() const {
    std::vector<size_t> at;
    for (size_t i = 0; i < kSlots; ++i) {
      if (keys_[i] != kEmpty) at.push_back(i);
    }
    std::sort(at.begin(), at.end(), [&](size_t a, size_t b) { return keys_[a] < keys_[b]; });
    std::vector<Bin> bins;
    for (const size_t i : at) bins.push_back(bins_.bins()[i]);
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

  void add(const SourcePicture& frame) {
    const size_t n = frame.pixelCount();
    const uint8_t* p = frame.rgb.data();
    const bool masked = frame.transparentCount > 0;
    constexpr int shift = 8 - kBinBits;
    for (size_t i = 0; i < n; ++i, p += 3) {
      if (masked && frame.transparent[i]) continue;
      bins_.add(size_t{p[0]} >> shift << (2 * kBinBits) | size_t{p[1]} >> shift << kBinBits |
                    size_t{p[2]} >> shift,
                p);
      if (exact_.open()) exact_.add(p);
    }
    bins_.endFrame();
    exact_.endFrame();
    ++frames_;
  }
  void merge(const SequenceHistogram& other) {
    for (size_t i = 0; i < bins_.bins().size(); ++i) {
      FrameBins::fold(bins_.bins()[i], other.bins_.bins()[i]);
    }
    exact_.merge(other.exact_);
    frames_ += other.frames_;
  }

  // The bins as the engine's count: each entry the mean colour of its
  // pixels (the exact colours, or bins at 6 bits per channel or, when that
  // leaves more colours than the cut takes, at 5). An entry weighs its
  // pixels plus a quarter of what it would have if every frame held as much
  // of it as the frame that holds the most, so that the colours of a few
  // frames (the start of a zoom) are not starved by those every frame has.
  ColorCount count() const {
    std::vector<Bin> bins = exact_.open() ? exact_.sorted() : bins_.bins();
    auto used = [&] {
      return std::count_if(bins.begin(), bins.end(), [](const Bin& b) { return b.pixels > 0; });
    };
    if (!exact_.open() && used() > kColorLimit) {
      std::vector<Bin> coarse(size_t{1} << (3 * (kBinBits - 1)));
      for (size_t i = 0; i < bins.size(); ++i) {
        const size_t r = i >> (2 * kBinBits) >> 1, g = (i >> kBinBits & 63) >> 1, b = (i & 63) >> 1;
        Bin& to = coarse[r << (2 * (kBinBits - 1)) | g << (kBinBits - 1) | b];
        FrameBins::fold(to, bins[i]);
      }
      bins = std::move(coarse);
    }
    auto weight = [&](const Bin& b) { return b.pixels + frames_ * b.most / 4; };
    uint64_t most = 0;
    for (const Bin& b : bins) most = std::max(most, weight(b));
    // Entry counts are 32-bit: a long clip's counts are scaled down, each
    // bin keeping at least one.
    const uint64_t scale = most / INT32_MAX + 1;
    ColorCount count;
    for (const Bin& b : bins) {
      if (b.pixels == 0) continue;
      auto mean = [&](uint64_t sum) {
        return static_cast<uint8_t>((sum + b.pixels / 2) / b.pixels);
      };
      const auto n = static_cast<int32_t>(std::max<uint64_t>(1, weight(b) / scale));
      count.histogram.emplace_back(mean(b.red), mean(b.green), mean(b.blue), n);
      count.pixels += n;
    }
    count.distinctColors = static_cast<int64_t>(count.histogram.size());
    count.counted = identityMap();
    return count;
  }

 private:
  FrameBins bins_;
  ExactColours exact_;
  uint64_t frames_ = 0;
};

PixelView viewOf(const SourcePicture& source) {
  return PixelView{source.rgb.data(), source.width, source.height,
                   3 * static_cast<size_t>(source.width), 3};
}

std::string rateText(const FrameRate& rate) {
  return rate.seconds == 1 ? std::to_string(rate.frames)
                           : std::to_string(rate.frames) + "/" + std::to_string(rate.seconds);
}

class GifSequence {
 public:
  GifSequence(const QuantOptions& options, std::vector<bool>& failed, SequenceReport& report,
              const Context& context)
      : options_(options),
        failed_(failed),
        report_(report),
        context_(context),
        store_(spillName(), FrameStore::defaultBudget()) {}

  void run() {
    try {
      if (!readAll()) return failAll();
      if (store_.size() == 0) return;
      store_.finish();
      write();
    } catch (const Error& e) {
      report_.say("kxquant: " + e.message);
      failAll();
    } catch (const std::bad_alloc&) {
      report_.say("kxquant: " + options_.output + ": out of memory");
      failAll();
    }
  }

 private:
  // The temporary file goes beside the output; beside nothing when the
  // output is a stream.
  std::string spillName() const {
    const std::string& out = options_.output;
    if (out == "-" || out.starts_with("/dev/"))
      return (std::filesystem::temp_directory_path() / "kxquant.frames").string();
    return out + ".frames";
  }

  void failAll() {
    for (size_t i = 0; i < failed_.size(); ++i) failed_[i] = true;
  }

  void showProgress(const char* what, size_t done, size_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done != total && now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char text[160];
    if (total == 0) {
      std::snprintf(text, sizeof text, "kxquant: frames %s: %zu, %.1f frames/s", what, done, rate);
    } else {
      std::snprintf(text, sizeof text, "kxquant: frames %s: %zu/%zu, %.1f frames/s", what, done,
                    total, rate);
    }
    report_.progress(text);
  }

  // Pass 1. False when the GIF cannot be made (an input failed after some
  // of its frames).
  bool readAll() {
    const size_t n = options_.inputs.size();
    const int slots = std::clamp(kx_threadsHere(), 1, 8);
    histograms_.resize(static_cast<size_t>(slots));
    start_ = std::chrono::steady_clock::now();
    std::vector<SourcePicture> batch;
    for (size_t i = 0; i < n; ++i) {
      if (failed_[i]) continue;
      const std::string& input = options_.inputs[i];
      int64_t frames = 0;
      int firstWidth = 0, firstHeight = 0;
      bool noted = false;
      try {
        InputFile file(input);
        std::unique_ptr<FrameSource> source = openSourceFrames(file);
        if (!rate_ && source->frameRate()) {
          rate_ = source->frameRate();
          rateFrom_ = input;
        }
        Image image;
        for (;;) {
          const bool more = source->next(image);
          if (more) {
            SourcePicture frame = sourceFromImage(std::move(image));
            image = Image{};
            frame.alpha.clear();  // a GIF keeps transparency only
            ++frames;
            if (frames == 1) {
              firstWidth = frame.width;
              firstHeight = frame.height;
            } else if (!noted && (frame.width != firstWidth || frame.height != firstHeight)) {
              noted = true;
              if (!options_.quiet) {
                report_.say("kxquant: " + input + ": frame " + std::to_string(frames) + " is " +
                            std::to_string(frame.width) + " x " + std::to_string(frame.height) +
                            ", frame 1 " + std::to_string(firstWidth) + " x " +
                            std::to_string(firstHeight) + "; frames are centred on the largest");
              }
            }
            width_ = std::max(width_, frame.width);
            height_ = std::max(height_, frame.height);
            transparent_ = transparent_ || frame.transparentCount > 0;
            batch.push_back(std::move(frame));
            const int duration = source->durationMs();
            if (duration > 0 && durationsFrom_.empty()) durationsFrom_ = input;
            endsMs_.push_back((endsMs_.empty() ? 0 : endsMs_.back()) +
                              (duration > 0 ? duration : options_.delayMs));
          }
          // A batch of frames is counted side by side, across inputs: a
          // sequence of frame files is counted on every core too.
          if (batch.size() >= static_cast<size_t>(slots)) countAndKeep(batch);
          if (!more) break;
          showProgress("read", store_.size() + batch.size(), 0);
        }
        if (frames == 0) throw ConvError(input + ": holds no picture");
      } catch (const Error& e) {
        failed_[i] = true;
        report_.say("kxquant: " + e.message);
        if (frames > 0) return false;
        continue;
      } catch (const std::bad_alloc&) {
        report_.say("kxquant: " + input + ": out of memory");
        return false;
      }
    }
    if (!batch.empty()) countAndKeep(batch);
    return true;
  }

  // Counts a batch of frames side by side (frame f into histogram f mod
  // slots) and keeps them in order.
  void countAndKeep(std::vector<SourcePicture>& batch) {
    const int slots = static_cast<int>(histograms_.size());
    kx_parallel(slots, [&](int s) {
      for (size_t f = static_cast<size_t>(s); f < batch.size(); f += static_cast<size_t>(slots)) {
        histograms_[static_cast<size_t>(s)].add(batch[f]);
      }
    });
    for (const SourcePicture& frame : batch) store_.add(frame);
    batch.clear();
  }

  // The GIF's clock: --fps or --delay when given, else the rate the first
  // video declares, else --delay's default.
  FrameRate clock() const {
    if (!options_.fps.empty()) return FrameRate{options_.fpsFrames, options_.fpsSeconds};
    if (!options_.delayGiven && rate_) return *rate_;
    return FrameRate{1000, options_.delayMs};
  }

  // An animation's own frame durations (WebP) set the clock when no option
  // and no video does: frame k starts at the sum of the durations before it,
  // rounded to hundredths, so that the total stays exact (a frame without
  // one lasts --delay's default).
  bool ownDurations() const {
    return options_.fps.empty() && !options_.delayGiven && !rate_ && !durationsFrom_.empty();
  }
  int64_t delayOf(size_t k) const {
    if (ownDurations()) {
      const int64_t start = k == 0 ? 0 : endsMs_[k - 1];
      return (endsMs_[k] + 5) / 10 - (start + 5) / 10;
    }
    const auto i = static_cast<int64_t>(k);
    return gifFrameStart(i + 1, clock()) - gifFrameStart(i, clock());
  }

  // Browsers show frames shorter than 2 hundredths of a second for 10.
  void warnOfShortFrames() {
    int64_t shortest = INT64_MAX;
    for (size_t k = 0; store_.size() > 1 && k < store_.size(); ++k)
      shortest = std::min(shortest, delayOf(k));
    if (shortest >= 2) return;
    const std::string what = !options_.fps.empty() ? "--fps " + options_.fps
                             : ownDurations()      ? durationsFrom_ + ": the animation's clock"
                             : options_.delayGiven || !rate_
                                 ? "--delay " + std::to_string(options_.delayMs)
                                 : rateFrom_ + ": " + rateText(*rate_) + " frames a second";
    report_.say("kxquant: warning: " + what + " gives frames of " + std::to_string(shortest) +
                "/100 s; browsers show frames shorter than 2/100 s for 10/100 s");
  }

  // A frame at hand in pass 2.
  struct Remapped {
    SourcePicture source;
    std::vector<uint8_t> indices;
  };

  // The palette of all frames, from the histograms of pass 1.
  Colormap chooseColormap() {
    for (size_t s = 1; s < histograms_.size(); ++s) histograms_[0].merge(histograms_[s]);
    const ColorCount count = histograms_[0].count();
    histograms_.clear();
    // Room for the transparent index that unchanged pixels take.
    const bool needsTransparent = store_.size() > 1 || transparent_;
    int colours = std::min(options_.colors, needsTransparent ? 255 : 256);
    colours = static_cast<int>(std::clamp<int64_t>(count.distinctColors, 1, colours));
    if (count.histogram.empty()) return Colormap(static_cast<size_t>(colours));
    PaletteOptions palette;
    palette.colors = colours;
    palette.refine = options_.refine;
    palette.cutByError = true;
    Result<Colormap> chosen = choosePalette(count, palette, context_);
    if (!chosen) throw Error(chosen.error().code, options_.output + ": " + chosen.error().message);
    return std::move(*chosen);
  }

  void write() {
    const Colormap colormap = chooseColormap();
    GifWriter::Settings settings;
    settings.screenWidth = width_;
    settings.screenHeight = height_;
    for (const HistogramEntry& e : colormap) settings.palette.push_back({e.red, e.green, e.blue});
    if (transparent_) {
      settings.transparentIndex = static_cast<int>(settings.palette.size());
      settings.palette.push_back({0, 0, 0});
    }
    settings.loopCount = options_.loop < 0 ? GifWriter::kPlayOnce : options_.loop;
    settings.pool = context_.pool;
    GifWriter gif(options_.output, settings);
    warnOfShortFrames();

    RemapOptions remap;
    remap.dither = options_.adjust     ? Dither::adjust
                   : options_.noDither ? Dither::none
                                       : Dither::adaptive;
    remap.factor = options_.adjustFactor;
    const bool dithered = remap.dither != Dither::none;
    const PaletteMapper mapper(colormap);
    // The engine's messages are the palette's; not one per frame.
    Context remapping = context_;
    remapping.events = nullptr;
    auto remapped = [&](const SourcePicture& source, const Remapped* before) {
      const PixelView view = viewOf(source);
      RemapOptions these = remap;
      PixelView beforeView;
      if (before && before->source.width == source.width &&
          before->source.height == source.height) {
        beforeView = viewOf(before->source);
        these.before = &beforeView;
        these.beforeIndices = before->indices.data();
      }
      Result<std::vector<uint8_t>> indices = mapper.remap(view, these, remapping);
      if (!indices) {
        throw Error(indices.error().code, options_.output + ": " + indices.error().message);
      }
      return std::move(*indices);
    };
    const size_t frames = store_.size();
    const int64_t inFlight = std::max(2, 2 * kx_threadsHere());
    std::vector<Remapped> slots(static_cast<size_t>(inFlight));
    std::optional<Remapped> previous;
    start_ = std::chrono::steady_clock::now();
    // Without dithering frames are remapped side by side; with it each frame
    // needs the indices of the one before, and is remapped in order (its
    // rows on the threads).
    runOrdered(
        context_.pool, static_cast<int64_t>(frames), [&] { return inFlight; },
        [&](int64_t k) {
          Remapped& r = slots[static_cast<size_t>(k % inFlight)];
          r.source = store_.get(static_cast<size_t>(k));
          if (!dithered) r.indices = remapped(r.source, nullptr);
        },
        [&](int64_t k) {
          Remapped& r = slots[static_cast<size_t>(k % inFlight)];
          if (dithered) r.indices = remapped(r.source, previous ? &*previous : nullptr);
          place(gif, r, settings.transparentIndex, static_cast<size_t>(k));
          if (dithered) {
            previous = std::move(r);
          } else {
            r = Remapped{};
          }
          showProgress("written", static_cast<size_t>(k) + 1, frames);
          return true;
        });
    gif.commit();
    if (options_.verbose) {
      kx_printf(Stream::Err, "%s: %zu frames, %d x %d, %zu palette entries\n",
                options_.output.c_str(), frames, width_, height_, settings.palette.size());
    }
  }

  // The frame on the screen, centred when it is smaller.
  // Transparent pixels take the transparent index.
  void place(GifWriter& gif, const Remapped& r, int transparentIndex, size_t k) {
    const int w = r.source.width, h = r.source.height;
    const GifRect rect{(width_ - w) / 2, (height_ - h) / 2, w, h};
    std::vector<uint8_t> screen(static_cast<size_t>(width_) * height_);
    for (int y = 0; y < h; ++y) {
      const size_t from = static_cast<size_t>(y) * w;
      uint8_t* to = screen.data() + (static_cast<size_t>(y) + rect.top) * width_ + rect.left;
      std::copy_n(r.indices.begin() + static_cast<long>(from), w, to);
      if (r.source.transparentCount == 0) continue;
      for (int x = 0; x < w; ++x) {
        if (r.source.transparent[from + x]) to[x] = static_cast<uint8_t>(transparentIndex);
      }
    }
    gif.addFrame(std::move(screen), static_cast<int>(delayOf(k)), rect);
  }

  const QuantOptions& options_;
  std::vector<bool>& failed_;
  SequenceReport& report_;
  const Context& context_;
  FrameStore store_;
  std::vector<SequenceHistogram> histograms_;
  int width_ = 0, height_ = 0;
  bool transparent_ = false;
  std::optional<FrameRate> rate_;
  std::string rateFrom_;
  // When each frame ends on the animation's own clock, in milliseconds, and
  // the first input that gave durations.
  std::vector<int64_t> endsMs_;
  std::string durationsFrom_;
  std::chrono::steady_clock::time_point start_, shown_;
};

}  // namespace

void writeGifOfAllFrames(const QuantOptions& options, std::vector<bool>& failed,
                         SequenceReport& report, const Context& context) {
  GifSequence(options, failed, report, context).run();
}

}  // namespace kx
