// Colour table and histogram.
//
// The chained table (6553 buckets, new entries at the head of their bucket)
// is the reference structure; counting a frame goes through ColorCounter,
// which finds the same colours and counts and reproduces the chained table's
// order, but with a short probe of a small table per pixel instead of a
// chain walk.
#include <algorithm>
#include <new>

#include "common/threads.h"
#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

namespace {

constexpr uint32_t kUsed = 0x1000000;  // marks a slot in use; colours are 24 bits

Color colorOfKey(uint32_t key) {
  return Color{static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
               static_cast<uint8_t>(key)};
}

// Counts the planes in stripes of rows, a counter each, and merges the
// counters in stripe order: the colours keep the order of their first
// occurrence in one pass over the rows, which decides the histogram order.
// A stripe that passes the maximum on its own shows that the whole picture
// does. May throw std::bad_alloc.
bool countPlanes(ColorCounter& counter, int maxColors, const PixelPlanes& planes, int columns,
                 int rows) {
  constexpr int64_t kStripePixels = int64_t{1} << 16;
  const int stripes =
      kx_threadsHere() > 1 ? std::min(kx_stripes(int64_t{columns} * rows, kStripePixels), rows) : 1;
  if (stripes <= 1) return counter.count(planes, columns, rows);
  std::vector<std::unique_ptr<ColorCounter>> later(stripes);
  std::vector<uint8_t> fits(stripes, 0);
  // Set by the first stripe past the maximum: the others need not go on.
  std::atomic<bool> over{false};
  kx_parallel(stripes, [&](int i) {
    const int first = static_cast<int>(kx_stripeStart(rows, i, stripes));
    const int end = static_cast<int>(kx_stripeStart(rows, i + 1, stripes));
    ColorCounter* part = &counter;
    if (i > 0) {
      later[i] = std::make_unique<ColorCounter>(maxColors);
      part = later[i].get();
    }
    fits[i] = part->count(planes, columns, first, end, &over);
    if (!fits[i]) over = true;
  });
  if (std::find(fits.begin(), fits.end(), 0) != fits.end()) return false;
  for (int i = 1; i < stripes; ++i) {
    if (!counter.absorb(*later[i])) return false;
    later[i].reset();
  }
  return true;
}

}  // namespace

// ---- ColorCounter ----------------------------------------------------------------

ColorCounter::ColorCounter(int maxColors) : maxColors_(std::max(maxColors, 0)) {
  slots_.assign(1024, Slot{0, 0});
  mask_ = 1023;
  shift_ = 32 - 10;
}

void ColorCounter::grow() {
  const size_t capacity = slots_.size() * 2;
  std::vector<Slot> bigger(capacity, Slot{0, 0});
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

bool ColorCounter::count(const PixelPlanes& planes, int columns, int firstRow, int endRow,
                         const std::atomic<bool>* stop) {
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
    const uint8_t* p = planes[row];
    for (int c = 0; c < columns; ++c, p += 3) {
      const uint32_t key = kUsed | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
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

// ---- Chained colour table --------------------------------------------------------

ColorTablePtr kx_allocColorTable() {
  try {
    auto table = std::make_unique<ColorTable>();
    table->heads.assign(kColorTableBuckets, -1);
    return table;
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for allocating color table");
  }
}

namespace {

void linkEntry(ColorTable& table, Color color, int32_t value) {
  const int b = kx_colorHash(color);
  table.entries.push_back(ColorEntry{color.red, color.green, color.blue, value, table.heads[b]});
  table.heads[b] = static_cast<int32_t>(table.entries.size() - 1);
}

}  // namespace

void kx_addColorTable(ColorTable& table, Color color, int32_t value) {
  try {
    linkEntry(table, color, value);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for adding to color table");
  }
}

int32_t kx_checkColorTable(const ColorTable& table, Color color) {
  for (int32_t i = table.heads[kx_colorHash(color)]; i >= 0; i = table.entries[i].next) {
    const ColorEntry& e = table.entries[i];
    if (e.red == color.red && e.green == color.green && e.blue == color.blue) return e.value;
  }
  return -1;
}

ColorTablePtr kx_makeColorTable(const PixelPlanes& planes, int columns, int rows, int maxColors,
                                int* colorCount) {
  *colorCount = 0;
  ColorTablePtr table = kx_allocColorTable();
  try {
    ColorCounter counter(maxColors);
    if (!countPlanes(counter, maxColors, planes, columns, rows)) return nullptr;
    // Linking the colours in the order they were met gives each chain the
    // order that counting pixel by pixel would have given it.
    const std::vector<HistogramEntry> colors = counter.inFirstOrder();
    table->entries.reserve(colors.size());
    for (const HistogramEntry& e : colors)
      linkEntry(*table, Color{e.red, e.green, e.blue}, e.count);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for making color table\n");
  }
  *colorCount = static_cast<int>(table->entries.size());
  return table;
}

Histogram kx_colorTable2Histogram(const ColorTable& table, int capacity) {
  Histogram histogram;
  try {
    // Never smaller than the table, whatever capacity the caller asked for.
    histogram.resize(std::max(static_cast<size_t>(std::max(capacity, 0)), table.entries.size()));
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for generating histogram");
  }
  size_t n = 0;
  for (int b = 0; b < kColorTableBuckets; ++b) {
    for (int32_t i = table.heads[b]; i >= 0; i = table.entries[i].next) {
      const ColorEntry& e = table.entries[i];
      histogram[n++] = HistogramEntry{e.red, e.green, e.blue, e.value};
    }
  }
  return histogram;
}

std::optional<Histogram> kx_makeHistogram(const PixelPlanes& planes, int columns, int rows,
                                          int maxColors, int* colorCount) {
  *colorCount = 0;
  std::vector<HistogramEntry> colors;
  try {
    ColorCounter counter(maxColors);
    if (!countPlanes(counter, maxColors, planes, columns, rows)) return std::nullopt;
    colors = counter.inTableOrder();
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for making color table\n");
  }
  const size_t found = colors.size();
  try {
    // The histogram has room for the colour maximum, not just for the
    // colours found.
    colors.resize(std::max(colors.size(), static_cast<size_t>(std::max(maxColors, 0))));
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for generating histogram");
  }
  *colorCount = static_cast<int>(found);
  return colors;
}

void kx_freeHistogram(Histogram& histogram) {
  Histogram().swap(histogram);
}

void kx_freeColorTable(ColorTablePtr& table) {
  table.reset();
}

}  // namespace kx
