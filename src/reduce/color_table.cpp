// The colour table: the distinct colours of a picture and their pixels.
//
// Counting is pixel by pixel into a chained table of 6553 buckets, new
// colours at the head of their bucket, in the design; ColorCounter finds the
// same colours and counts and reproduces that table's order, with a short
// probe of a small table per pixel instead of a chain walk.
#include <algorithm>
#include <new>

#include "common/machine.h"
#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

namespace {

constexpr uint32_t kUsed = 0x1000000;  // marks a slot in use; colours are 24 bits

Color colorOfKey(uint32_t key) {
  return Color{static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
               static_cast<uint8_t>(key)};
}

}  // namespace

bool countInStripes(ColorCounter& counter, const PixelView& pixels, const SampleMap* map,
                    ThreadPool* pool) {
  const int rows = pixels.height;
  const int stripes =
      threadsOf(pool) > 1 ? std::min(stripeCount(pool, pixels.pixels(), kStripePixels), rows) : 1;
  if (stripes <= 1) return counter.count(pixels, map, 0, rows);
  const int maxColors = static_cast<int>(counter.maxColors());
  std::vector<std::unique_ptr<ColorCounter>> later(stripes);
  std::vector<uint8_t> fits(stripes, 0);
  // Set by the first stripe past the maximum: the others need not go on. A
  // stripe that passes the maximum on its own shows that the picture does.
  std::atomic<bool> over{false};
  runTasks(pool, stripes, [&](int i) {
    const int first = static_cast<int>(stripeStart(rows, i, stripes));
    const int end = static_cast<int>(stripeStart(rows, i + 1, stripes));
    ColorCounter* part = &counter;
    if (i > 0) {
      later[i] = std::make_unique<ColorCounter>(maxColors);
      part = later[i].get();
    }
    fits[i] = part->count(pixels, map, first, end, &over);
    if (!fits[i]) over = true;
  });
  if (std::find(fits.begin(), fits.end(), 0) != fits.end()) return false;
  for (int i = 1; i < stripes; ++i) {
    if (!counter.absorb(*later[i])) return false;
    later[i].reset();
  }
  return true;
}

// ---- ColorCounter ----------------------------------------------------------------

ColorCounter::ColorCounter(int maxColors) : maxColors_(std::max(maxColors, 0)) {
  slots_.assign(1024, Slot{0, 0});
  mask_ = 1023;
  shift_ = 32 - 10;
}

void ColorCounter::grow() {
  const size_t capacity = slots_.size() * 2;
  std::vector<Slot> bigger = kx_largeVector(capacity, Slot{0, 0});
  int bits = 0;
  while ((size_t{1} << bits) < capacity) ++bits;
  shift_ = 32 - bits;
  mask_ = static_cast<uint32_t>(capacity - 1);
  for (uint32_t& pos : order_) {
    const Slot s = slots_[pos];
    uint32_t p = slotOf(s.key);
    while (bigger[p].key != 0) p = (p + 1) & mask_;
    bigger[p] = s;
    pos = p;
  }
  slots_.swap(bigger);
}

bool ColorCounter::count(const PixelView& pixels, const SampleMap* map, int firstRow, int endRow,
                         const std::atomic<bool>* stop) {
  if (map) return countRows<true>(pixels, *map, firstRow, endRow, stop);
  static const SampleMap kUnused{};
  return countRows<false>(pixels, kUnused, firstRow, endRow, stop);
}

template <bool kMapped>
bool ColorCounter::countRows(const PixelView& pixels, const SampleMap& map, int firstRow,
                             int endRow, const std::atomic<bool>* stop) {
  // Pixel counts first go to a small direct-mapped table of recent colours
  // that stays in the processor's first-level cache; a colour's count
  // reaches the main table when another colour takes its place. Colours
  // still enter the main table the first time they are met, so the order of
  // first occurrence and the colour limit are those of pixel-by-pixel
  // counting.
  struct Recent {
    uint32_t key;  // 0 for an empty entry
    uint32_t pos;
    uint32_t pending;
  };
  constexpr int kRecentBits = 11;
  std::vector<Recent> recent(size_t{1} << kRecentBits, Recent{0, 0, 0});
  auto flushRecent = [&] {
    for (Recent& r : recent) {
      if (r.key) slots_[r.pos].count += r.pending;
      r = Recent{0, 0, 0};
    }
  };
  // Locals, so that the compiler need not reload them after every store.
  Slot* slots = slots_.data();
  uint32_t mask = mask_;
  int shift = shift_;
  Recent* const recentSlots = recent.data();
  for (int row = firstRow; row < endRow; ++row) {
    if (stop && stop->load(std::memory_order_relaxed)) return false;
    const uint8_t* p = pixels.row(row);
    const int step = pixels.channels;
    for (int c = 0; c < pixels.width; ++c, p += step) {
      const uint32_t key =
          kMapped ? kUsed | (uint32_t{map[p[0]]} << 16) | (uint32_t{map[p[1]]} << 8) | map[p[2]]
                  : kUsed | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      Recent& r = recentSlots[(key * 0x9E3779B1u) >> (32 - kRecentBits)];
      if (r.key == key) {
        ++r.pending;
        continue;
      }
      if (r.key) slots[r.pos].count += r.pending;
      uint32_t pos = (key * 0x9E3779B1u) >> shift;
      while (slots[pos].key != key && slots[pos].key != 0) pos = (pos + 1) & mask;
      if (slots[pos].key == 0) {
        if (static_cast<int64_t>(order_.size()) >= maxColors_) return false;
        slots[pos] = Slot{key, 0};
        order_.push_back(pos);
        // Keep the table at most half full so that probes stay short. Growing
        // moves the slots, so the recent colours hand over their counts first.
        if (order_.size() * 2 > slots_.size()) {
          r.key = 0;
          flushRecent();
          grow();
          slots = slots_.data();
          mask = mask_;
          shift = shift_;
          pos = order_.back();
        }
      }
      r = Recent{key, pos, 1};
    }
  }
  flushRecent();
  return true;
}

bool ColorCounter::absorb(const ColorCounter& later) {
  for (const uint32_t from : later.order_) {
    const Slot s = later.slots_[from];
    uint32_t pos = slotOf(s.key);
    while (slots_[pos].key != s.key && slots_[pos].key != 0) pos = (pos + 1) & mask_;
    if (slots_[pos].key == 0) {
      if (static_cast<int64_t>(order_.size()) >= maxColors_) return false;
      slots_[pos] = Slot{s.key, 0};
      order_.push_back(pos);
      if (order_.size() * 2 > slots_.size()) {
        grow();
        pos = order_.back();
      }
    }
    slots_[pos].count += s.count;
  }
  return true;
}

std::vector<HistogramEntry> ColorCounter::inFirstOrder() const {
  std::vector<HistogramEntry> out(order_.size());
  for (size_t i = 0; i < order_.size(); ++i) {
    const Slot& s = slots_[order_[i]];
    const Color c = colorOfKey(s.key);
    out[i] = HistogramEntry{c.red, c.green, c.blue, static_cast<int32_t>(s.count)};
  }
  return out;
}

std::vector<HistogramEntry> ColorCounter::inTableOrder() const {
  const std::vector<HistogramEntry> first = inFirstOrder();
  // A counting sort on the bucket; walking the colours from the last met
  // puts each bucket's colours in chain order.
  std::vector<uint32_t> start(kColorTableBuckets + 1, 0);
  std::vector<uint16_t> bucket(first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    const HistogramEntry& e = first[i];
    bucket[i] = static_cast<uint16_t>(kx_colorHash(Color{e.red, e.green, e.blue}));
    ++start[bucket[i] + 1];
  }
  for (int b = 0; b < kColorTableBuckets; ++b) start[b + 1] += start[b];
  std::vector<HistogramEntry> out(first.size());
  for (size_t i = first.size(); i-- > 0;) out[start[bucket[i]]++] = first[i];
  return out;
}

}  // namespace kx
