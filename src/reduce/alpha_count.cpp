// Counting the colours of a picture with alpha, as they are seen (see
// alpha_pvt.h): every pixel premultiplied, so all fully transparent pixels
// are one colour and faint pixels whose colours look alike are one too.
//
// The histogram lists the colours by ascending key (red, green, blue, alpha
// premultiplied, from the low byte up), a fixed order whatever the threads;
// each entry holds the straight colour that premultiplies to its colour.
//
// A picture that keeps more colours than the limit is compressed as an
// opaque one is: to 129 levels per channel, then (Overflow::finest) to the
// finest level that fits. The levels are spread evenly and rounded to, on
// the premultiplied samples and on alpha alike, so that 0 and 255 stay
// where they are (an opaque pixel stays opaque, a transparent one
// transparent), a premultiplied sample never passes its alpha, and each
// level is the middle of the values it stands for: the palette's means need
// no correction. The finest level is found by bisection over the colours
// counted at 129 levels (how many colours remain falls, with rare small
// exceptions, as the levels get fewer).
#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "reduce/alpha_pvt.h"

namespace kx {

namespace {

using LevelMap = std::array<uint8_t, 256>;

// target + 1 levels, evenly spread from 0 to 255, each value to the nearest.
LevelMap levelMap(int target) {
  LevelMap map;
  for (int v = 0; v < 256; ++v) {
    const int level = (v * target * 2 + 255) / 510;
    map[v] = static_cast<uint8_t>((level * 510 + target) / (2 * target));
  }
  return map;
}

uint32_t mappedKey(uint32_t key, const LevelMap& map) {
  return uint32_t{map[key & 255]} | uint32_t{map[key >> 8 & 255]} << 8 |
         uint32_t{map[key >> 16 & 255]} << 16 | uint32_t{map[key >> 24]} << 24;
}

// Distinct keys and their counts in an open-addressing table, at most half
// full.
class KeyCounter {
 public:
  explicit KeyCounter(int64_t maxKeys) : maxKeys_(maxKeys) { resize(1024); }

  // False once more than maxKeys keys are held.
  bool add(uint32_t key, uint32_t n) {
    uint32_t pos = slotOf(key);
    while (slots_[pos].key != key && slots_[pos].key != kNoColourKey) pos = (pos + 1) & mask_;
    if (slots_[pos].key == kNoColourKey) {
      if (size_ >= maxKeys_) return false;
      slots_[pos].key = key;
      if (++size_ * 2 > static_cast<int64_t>(slots_.size())) {
        slots_[pos].count += n;
        resize(slots_.size() * 2);
        return true;
      }
    }
    slots_[pos].count += n;
    return true;
  }
  bool absorb(const KeyCounter& other) {
    for (const Slot& s : other.slots_) {
      if (s.key != kNoColourKey && !add(s.key, s.count)) return false;
    }
    return true;
  }
  int64_t size() const { return size_; }
  // (key, count) by ascending key.
  std::vector<std::pair<uint32_t, uint32_t>> sorted() const {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    out.reserve(static_cast<size_t>(size_));
    for (const Slot& s : slots_) {
      if (s.key != kNoColourKey) out.emplace_back(s.key, s.count);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  struct Slot {
    uint32_t key = kNoColourKey;
    uint32_t count = 0;
  };
  uint32_t slotOf(uint32_t key) const { return (key * 0x9E3779B1u) >> shift_; }
  void resize(size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = static_cast<uint32_t>(capacity - 1);
    shift_ = 32;
    while ((size_t{1} << (32 - shift_)) < capacity) --shift_;
    for (const Slot& s : old) {
      if (s.key == kNoColourKey) continue;
      uint32_t pos = slotOf(s.key);
      while (slots_[pos].key != kNoColourKey) pos = (pos + 1) & mask_;
      slots_[pos] = s;
    }
  }

  int64_t maxKeys_;
  int64_t size_ = 0;
  std::vector<Slot> slots_;
  uint32_t mask_ = 0;
  int shift_ = 32;
};

// The premultiplied keys of the pixels (through `map` when given), counted
// in stripes on the pool; nothing when there are more than maxKeys.
std::optional<KeyCounter> countKeys(const PixelView& pixels, const LevelMap* map, int64_t maxKeys,
                                    ThreadPool* pool) {
  constexpr int64_t kStripePixels = int64_t{1} << 16;
  const int rows = pixels.height;
  const int stripes =
      threadsOf(pool) > 1 ? std::min(stripeCount(pool, pixels.pixels(), kStripePixels), rows) : 1;
  std::vector<std::optional<KeyCounter>> parts(static_cast<size_t>(std::max(stripes, 1)));
  std::atomic<bool> over{false};
  runTasks(pool, static_cast<int>(parts.size()), [&](int i) {
    KeyCounter counter(maxKeys);
    const int first = static_cast<int>(stripeStart(rows, i, static_cast<int>(parts.size())));
    const int end = static_cast<int>(stripeStart(rows, i + 1, static_cast<int>(parts.size())));
    uint32_t lastPixel = 0, lastKey = 0, run = 0;
    for (int y = first; y < end; ++y) {
      if (over.load(std::memory_order_relaxed)) return;
      const uint8_t* p = pixels.row(y);
      for (int x = 0; x < pixels.width; ++x, p += 4) {
        const uint32_t pixel =
            uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        // Runs of one pixel value (flat areas, the transparent background)
        // are counted once.
        if (run > 0 && pixel == lastPixel) {
          ++run;
          continue;
        }
        if (run > 0 && !counter.add(lastKey, run)) {
          over = true;
          return;
        }
        const int a = p[3];
        Premultiplied c{premultiplySample(p[0], a), premultiplySample(p[1], a),
                        premultiplySample(p[2], a), a};
        lastKey = map ? mappedKey(keyOf(c), *map) : keyOf(c);
        lastPixel = pixel;
        run = 1;
      }
    }
    if (run > 0 && !counter.add(lastKey, run)) {
      over = true;
      return;
    }
    parts[i] = std::move(counter);
  });
  if (over) return std::nullopt;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!parts[0]->absorb(*parts[i])) return std::nullopt;
    parts[i].reset();
  }
  return std::move(parts[0]);
}

// The keys through `map`, merged; nothing when more than limit remain.
std::optional<KeyCounter> compressKeys(const std::vector<std::pair<uint32_t, uint32_t>>& keys,
                                       const LevelMap& map, int64_t limit) {
  KeyCounter counter(limit);
  for (const auto& [key, n] : keys) {
    if (!counter.add(mappedKey(key, map), n)) return std::nullopt;
  }
  return counter;
}

}  // namespace

bool everyPixelOpaque(const PixelView& pixels) {
  for (int y = 0; y < pixels.height; ++y) {
    const uint8_t* p = pixels.row(y) + 3;
    uint8_t all = 255;
    for (int x = 0; x < pixels.width; ++x) all &= p[4 * static_cast<size_t>(x)];
    if (all != 255) return false;
  }
  return true;
}

Result<ColorCount> countAlphaColors(const PixelView& pixels, const CountOptions& options,
                                    const Context& context) {
  if (options.compress < 1 || options.compress > 255) {
    return Error(ErrorCode::badArgument,
                 "compress value " + std::to_string(options.compress) + " must be > 0");
  }
  try {
    ColorCount result;
    result.alpha = true;
    result.pixels = pixels.pixels();
    result.counted = identityMap();
    const bool requested = options.compress != 255;
    std::optional<LevelMap> map;
    if (requested) {
      context.emit(EventKind::compressing);
      map = levelMap(options.compress);
    }
    context.emit(EventKind::counting);
    std::optional<KeyCounter> counter =
        countKeys(pixels, map ? &*map : nullptr, options.limit, context.pool);
    if (!counter) {
      context.emit(EventKind::overflow, options.limit);
      result.overflowTarget = 128;
      if (options.overflow == Overflow::compressOnce) context.emit(EventKind::countingAgain);
      const LevelMap at128 = map ? LevelMap(composeMaps(*map, levelMap(128))) : levelMap(128);
      // Every colour at 129 levels: a picture has no more than it has pixels.
      counter = countKeys(pixels, &at128, pixels.pixels(), context.pool);
      if (counter->size() > options.limit) {
        if (options.overflow == Overflow::compressOnce) {
          return Error(ErrorCode::tooManyColors, "Still too many colors, try option -q");
        }
        const auto keys = counter->sorted();
        result.distinctColors = static_cast<int64_t>(keys.size());
        int fits = 1, over = 128;
        while (over - fits > 1) {
          const int mid = (fits + over) / 2;
          (compressKeys(keys, levelMap(mid), options.limit) ? fits : over) = mid;
        }
        result.overflowTarget = fits;
        counter = compressKeys(keys, levelMap(fits), options.limit);
        // Two levels a channel leave at most 16 colours.
        if (!counter) return Error(ErrorCode::failed, "the colours with alpha did not compress");
      }
    }
    const auto keys = counter->sorted();
    result.histogram.reserve(keys.size());
    for (const auto& [key, n] : keys) {
      result.histogram.push_back(straightEntry(colourOfKey(key), static_cast<int32_t>(n)));
    }
    context.emit(EventKind::colorsFound, static_cast<int64_t>(result.histogram.size()));
    return result;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for making color table");
  }
}

}  // namespace kx
