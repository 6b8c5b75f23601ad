// Private structures of the colour reduction: the fast colour counter and
// the exact nearest-entry search. Both give exactly the results of the
// chained colour table and of the linear search; they only get there faster.
#pragma once

#include <cstdint>
#include <vector>

#include "reduce/reduce.h"

namespace kx {

// Counts the distinct colours of a picture in an open-addressing table that
// remembers the order in which each colour was first met. The chained table
// lists a bucket's colours from the most recently inserted one, so that
// order (bucket ascending, first occurrence descending) is all the histogram
// needs from it.
class ColorCounter {
 public:
  explicit ColorCounter(int maxColors);

  // Counts every pixel of the rows; false as soon as a colour beyond the
  // maximum is met. May throw std::bad_alloc.
  bool count(const PixelPlanes& planes, int columns, int rows);

  size_t size() const { return order_.size(); }
  // Colours in histogram order: bucket ascending, within a bucket the
  // colour met last first. May throw std::bad_alloc.
  std::vector<HistogramEntry> inTableOrder() const;
  // Colours in the order in which they were first met.
  std::vector<HistogramEntry> inFirstOrder() const;

 private:
  struct Slot {
    uint32_t key;  // 0x1000000 | rgb; 0 marks a free slot
    uint32_t count;
  };
  void grow();
  uint32_t slotOf(uint32_t key) const { return (key * 0x9E3779B1u) >> shift_; }

  int64_t maxColors_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> order_;  // slot of each colour, in first-met order
  uint32_t mask_ = 0;
  int shift_ = 0;
};

// Exact nearest palette entry by squared distance, the lowest index winning
// ties, for every colour: the colour cube is cut into cells of 8 × 8 × 8
// colours, and the first time a colour of a cell is asked for, the nearest
// entry of all 512 colours of the cell is computed at once and kept.
//
// Only the entries that can be nearest to some colour of the cell are
// compared: an entry that is farther from every point of the cell than some
// other entry's farthest point is strictly farther than the nearest entry
// for every colour of the cell, so dropping it changes neither the nearest
// distance nor which index wins a tie. The others are compared in
// ascending index, taking an entry only when it is strictly nearer.
class NearestSearch {
 public:
  // The palette must have 1 to 256 entries. May throw std::bad_alloc.
  NearestSearch(const HistogramEntry* palette, int colors);

  int find(int red, int green, int blue) {
    const int cell = ((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3);
    int32_t start = cellStart_[cell];
    if (start < 0) start = fillCell(cell);
    return table_[start + (((red & 7) << 6) | ((green & 7) << 3) | (blue & 7))];
  }

 private:
  int32_t fillCell(int cell);

  int colors_;
  std::vector<int32_t> red_, green_, blue_;
  std::vector<int32_t> cellStart_;  // offset of the cell's 512 indices, -1 until needed
  std::vector<uint8_t> table_;
};

}  // namespace kx
