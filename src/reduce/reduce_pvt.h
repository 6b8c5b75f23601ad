// Private structures of the colour reduction: the fast colour counter, the
// exact nearest-entry search and the row wavefront of error diffusion on
// several threads. They give exactly the results of counting pixel by pixel
// into a chained hash table (new colours at the head of their bucket), of a
// linear search and of one pass over the rows; they only get there faster.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/threads.h"
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

  // The rows firstRow to endRow − 1, each sample through `map` (null: as it
  // is); false as soon as a colour beyond the maximum is met, or, with
  // `stop`, as soon as it is set (another counter passed the maximum, so the
  // picture has). May throw std::bad_alloc.
  bool count(const PixelView& pixels, const SampleMap* map, int firstRow, int endRow,
             const std::atomic<bool>* stop = nullptr);
  // Adds the colours and counts of a counter of later pixels, as if its
  // pixels had been counted here after this counter's own: its new colours
  // follow, in its order of first occurrence. False when that passes the
  // maximum. May throw std::bad_alloc.
  bool absorb(const ColorCounter& later);

  size_t size() const { return order_.size(); }
  int64_t maxColors() const { return maxColors_; }
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
  template <bool kMapped>
  bool countRows(const PixelView& pixels, const SampleMap& map, int firstRow, int endRow,
                 const std::atomic<bool>* stop);
  void grow();
  uint32_t slotOf(uint32_t key) const { return (key * 0x9E3779B1u) >> shift_; }

  int64_t maxColors_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> order_;  // slot of each colour, in first-met order
  uint32_t mask_ = 0;
  int shift_ = 0;
};

// Counts the pixels in stripes of rows on the pool, a counter each, and
// merges the counters in stripe order: the colours keep the order of their
// first occurrence in one pass over the rows. False when the picture has
// more colours than the counter's maximum. May throw std::bad_alloc.
bool countInStripes(ColorCounter& counter, const PixelView& pixels, const SampleMap* map,
                    ThreadPool* pool);

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
class NearestCells {
 public:
  // The palette must have 1 to 256 entries. May throw std::bad_alloc.
  NearestCells(const HistogramEntry* palette, int colors);

  static int cellOf(int red, int green, int blue) {
    return ((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3);
  }
  static int offsetOf(int red, int green, int blue) {
    return ((red & 7) << 6) | ((green & 7) << 3) | (blue & 7);
  }
  // The nearest entry of every colour of the cell, at its offsetOf().
  void fill(int cell, uint8_t nearest[512]) const;
  // The entries that can be nearest to some colour of the cell, ascending;
  // returns their count.
  int candidates(int cell, uint8_t out[256]) const;
  // fill() with the cell's candidates known.
  void fill(int cell, const uint8_t* candidates, int count, uint8_t nearest[512]) const;
  // The nearest of the cell's candidates to one colour of it.
  int nearestOf(const uint8_t* candidates, int count, int red, int green, int blue) const;

 private:
  int colors_;
  std::vector<int32_t> red_, green_, blue_;
};

// For a small picture, which asks for few colours of each cell, a cell's
// colours are first searched one by one among the cell's candidates, and the
// whole cell is filled once kFillAfter of them have been asked for.
class NearestSearch {
 public:
  // The palette must have 1 to 256 entries; `pixels` is the picture's size.
  // May throw std::bad_alloc.
  NearestSearch(const HistogramEntry* palette, int colors, int64_t pixels);

  int find(int red, int green, int blue) {
    const int cell = NearestCells::cellOf(red, green, blue);
    int32_t at = cellAt_[cell];
    if (at < 0) at = beginCell(cell);
    Cell& c = cells_[at];
    const int offset = NearestCells::offsetOf(red, green, blue);
    if (c.known[offset >> 6] >> (offset & 63) & 1) return c.nearest[offset];
    return findOne(c, offset, red, green, blue);
  }

 private:
  static constexpr int kFillAfter = 48;
  static constexpr int64_t kSmallPixels = int64_t{1} << 20;
  struct Cell {
    int cell;
    int asked = 0;
    int count = 0;  // of candidates
    uint64_t known[8] = {};
    uint8_t nearest[512];
    uint8_t candidates[256];
  };
  int32_t beginCell(int cell);
  int findOne(Cell& c, int offset, int red, int green, int blue);

  NearestCells search_;
  int fillAfter_;
  std::vector<int32_t> cellAt_;  // place of the cell in cells_, -1 until needed
  std::vector<Cell> cells_;
};

// The same search for several threads at once. Every cell has its place in
// a table of the whole cube, of which only the cells asked for are ever
// touched; the first thread to ask for a cell fills it, and others that ask
// meanwhile wait for it.
class SharedNearestSearch {
 public:
  // May throw std::bad_alloc.
  SharedNearestSearch(const HistogramEntry* palette, int colors);

  int find(int red, int green, int blue) {
    const int cell = NearestCells::cellOf(red, green, blue);
    const int offset = NearestCells::offsetOf(red, green, blue);
    if (state_[cell].load(std::memory_order_acquire) == kReady) {
      return table_[static_cast<size_t>(place_[cell]) * 512 + offset];
    }
    return fillCell(cell, offset);
  }

 private:
  enum : uint8_t { kEmpty, kFilling, kReady };
  int fillCell(int cell, int offset);

  NearestCells cells_;
  std::unique_ptr<std::atomic<uint8_t>[]> state_;
  // A cell's 512 answers are at place_[cell] × 512 in table_, places taken
  // in the order cells are first asked for: the pages touched are the cells
  // used, however they spread over the cube.
  std::unique_ptr<uint32_t[]> place_;
  std::atomic<uint32_t> filled_{0};
  std::unique_ptr<uint8_t[]> table_;
};

// ---- Row wavefronts ----------------------------------------------------------------
//
// Error diffusion makes every pixel wait for its left neighbour and for the
// row above. A wavefront keeps that order on several threads: units (a row,
// or a few rows run side by side) are handed out top to bottom, and a unit
// runs behind the one above it, waiting for its progress.

// A unit tells the one below how far it has got after every kPublishEvery
// pixels: often enough that the row below never waits long, seldom enough
// that the shared cache line is not written at every pixel.
constexpr int kPublishEvery = 32;

// The most error a pixel takes in from its neighbours, in levels per channel,
// in every error diffusion: a run of errors of one sign cannot push a pixel
// far past the colours around it.
constexpr int kMostDiffusedError = 40;

// How far the last row of a unit has got, on a cache line of its own. A
// unit waiting for the one above spins a little, then sleeps until woken:
// on a machine whose cores are busy elsewhere the unit it waits for may
// need its core.
struct alignas(64) WaveProgress {
  std::atomic<int> done{0};
  std::atomic<int> sleepers{0};
  std::atomic<bool> finished{false};  // the unit has returned

  // Waits until `need` pixels are done; returns how many are.
  int waitFor(int need);
  void publish(int pixels) {
    // Sequentially consistent, like the sleeper's count and check: either
    // it sees the new value or this sees it asleep.
    done.store(pixels);
    if (sleepers.load() > 0) done.notify_all();
  }
};

// Hands units 0 … units − 1 out in order to up to `lanes` threads of the
// pool: unit(u, above, mine) runs unit u, where `above` is the progress of
// unit u − 1 (null for unit 0) and `mine` its own. A unit waits only for
// units handed out before it, which are running or done, so any number of
// threads finishes. Unit u begins once unit u − lanes has finished, so
// memory kept in a ring of lanes + 1 units' worth is never used by two
// units at once. (Waiting for it costs nothing: a unit cannot finish its
// last pixels before the unit above it, so of the units before u only the
// last lanes − 1 can still be running when a thread comes free for u.)
template <class Unit>
void runWavefront(ThreadPool& pool, int units, int lanes, Unit&& unit) {
  std::vector<WaveProgress> progress(static_cast<size_t>(units));
  std::atomic<int> next{0};
  pool.run(lanes, [&](int) {
    for (int u; (u = next.fetch_add(1, std::memory_order_relaxed)) < units;) {
      if (u >= lanes) progress[u - lanes].finished.wait(false);
      unit(u, u > 0 ? &progress[u - 1] : nullptr, progress[u]);
      progress[u].finished.store(true);
      progress[u].finished.notify_all();
    }
  });
}

}  // namespace kx
