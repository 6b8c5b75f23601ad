// The palette of a picture with alpha: a median cut that splits the error
// best, then k-means, both in the measure of alpha_pvt.h.
//
// kxreduce's median cut gives each box its most populous colour and cuts
// the most populous box at its median; with alpha that would spend entries
// on the large flat areas and leave the soft edges, where colour and alpha
// change together, to a few. Here the box with the largest error (sum of
// count × distance to its mean) is cut, along its axis of largest variance,
// where the two halves' errors add up least, and every entry is the mean of
// its box. Lloyd iterations (each colour to its nearest entry, each entry to
// the mean of its colours) then lower the error until it settles; an entry
// left without colours moves to the colour served worst.
//
// Fully transparent pixels are one colour, (0, 0, 0, 0), which gets entry 0
// for itself: a mean that took them in would make the background faintly
// visible, and a mean taken with them would pull faint edges towards
// nothing.
//
// Everything a result depends on is integer sums, or double sums taken in
// one fixed order on one thread; the colours are assigned in chunks on the
// pool, each its own answer. The palette is the same for any pool.
#include <algorithm>
#include <array>
#include <new>
#include <numeric>
#include <optional>
#include <utility>

#include "reduce/alpha_pvt.h"

namespace kx {

namespace {

constexpr double kMinFall = 1e-3;  // Lloyd iterations stop below this relative fall
constexpr int kIterations = 24;
constexpr int64_t kChunkPoints = 2048;
constexpr int kCountingSortPoints = 256;  // boxes this large are sorted by counting
constexpr double kAxisWeight[4] = {1, 1, 1, 3};

struct Point {
  SeenPoint at;
  Premultiplied colour;
  int64_t weight;
};

// Sums over a run of points, for its mean and its error.
struct Sums {
  int64_t weight = 0;
  int64_t colour[4] = {0, 0, 0, 0};  // weight × premultiplied red, green, blue, alpha
  double x[4] = {0, 0, 0, 0};        // weight × coordinate
  double xx[4] = {0, 0, 0, 0};       // weight × coordinate²

  void add(const Point& p) {
    weight += p.weight;
    const int32_t c[4] = {p.colour.red, p.colour.green, p.colour.blue, p.colour.alpha};
    for (int d = 0; d < 4; ++d) {
      colour[d] += p.weight * c[d];
      const double w = static_cast<double>(p.weight), v = p.at.x[d];
      x[d] += w * v;
      xx[d] += w * v * v;
    }
  }
  double axisError(int d) const {
    return weight > 0 ? kAxisWeight[d] * (xx[d] - x[d] * x[d] / static_cast<double>(weight)) : 0;
  }
  double error() const { return axisError(0) + axisError(1) + axisError(2) + axisError(3); }
  Premultiplied mean() const {
    if (weight <= 0) return Premultiplied{};
    auto rounded = [&](int64_t s) {
      return static_cast<int32_t>(std::clamp<int64_t>((2 * s + weight) / (2 * weight), 0, 255));
    };
    Premultiplied m{rounded(colour[0]), rounded(colour[1]), rounded(colour[2]), rounded(colour[3])};
    m.red = std::min(m.red, m.alpha);
    m.green = std::min(m.green, m.alpha);
    m.blue = std::min(m.blue, m.alpha);
    return m;
  }
};

struct Box {
  int first = 0, count = 0;
  Sums sums;
  double error = 0;
};

Sums sumsOf(const Point* points, int count) {
  Sums s;
  for (int i = 0; i < count; ++i) s.add(points[i]);
  return s;
}

// Sorts points by one coordinate (-255 to 255), keeping the order of equals:
// by counting where there are many.
void sortByAxis(Point* begin, int count, int axis, std::vector<Point>& scratch) {
  if (count < kCountingSortPoints) {
    std::stable_sort(begin, begin + count, [axis](const Point& a, const Point& b) {
      return a.at.x[axis] < b.at.x[axis];
    });
    return;
  }
  std::array<int, 512> place{};
  for (int i = 0; i < count; ++i) ++place[begin[i].at.x[axis] + 256];
  int sum = 0;
  for (int& p : place) sum += std::exchange(p, sum);
  scratch.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) scratch[place[begin[i].at.x[axis] + 256]++] = begin[i];
  std::copy(scratch.begin(), scratch.end(), begin);
}

// Cuts `box` where the two halves' errors add up least, along its axis of
// largest variance; returns the upper half.
Box cutBox(std::vector<Point>& points, Box& box, std::vector<Point>& scratch) {
  int axis = 0;
  for (int d = 1; d < 4; ++d) {
    if (box.sums.axisError(d) > box.sums.axisError(axis)) axis = d;
  }
  Point* const begin = points.data() + box.first;
  sortByAxis(begin, box.count, axis, scratch);
  Sums lower;
  int best = 1;
  double least = 0;
  bool found = false;
  for (int i = 1; i < box.count; ++i) {
    lower.add(begin[i - 1]);
    if (begin[i].at.x[axis] == begin[i - 1].at.x[axis]) continue;  // equal values stay together
    Sums upper;
    upper.weight = box.sums.weight - lower.weight;
    for (int d = 0; d < 4; ++d) {
      upper.x[d] = box.sums.x[d] - lower.x[d];
      upper.xx[d] = box.sums.xx[d] - lower.xx[d];
    }
    const double e = lower.error() + upper.error();
    if (!found || e < least) least = e, best = i, found = true;
  }
  Box upper{box.first + best, box.count - best, sumsOf(begin + best, box.count - best), 0};
  box.count = best;
  box.sums = sumsOf(begin, best);
  box.error = box.sums.error();
  upper.error = upper.sums.error();
  return upper;
}

// The boxes' means: at most `colors` entries.
std::vector<Premultiplied> medianCut(std::vector<Point>& points, int colors) {
  std::vector<Box> boxes;
  std::vector<Point> scratch;
  Box all{0, static_cast<int>(points.size()),
          sumsOf(points.data(), static_cast<int>(points.size())), 0};
  all.error = all.sums.error();
  boxes.push_back(all);
  while (static_cast<int>(boxes.size()) < colors) {
    int pick = -1;
    for (int b = 0; b < static_cast<int>(boxes.size()); ++b) {
      if (boxes[b].count >= 2 && (pick < 0 || boxes[b].error > boxes[pick].error)) pick = b;
    }
    if (pick < 0) break;
    const Box upper = cutBox(points, boxes[pick], scratch);
    boxes.push_back(upper);
  }
  std::vector<Premultiplied> entries;
  for (const Box& b : boxes) entries.push_back(b.sums.mean());
  return entries;
}

class Lloyd {
 public:
  Lloyd(const std::vector<Point>& points, std::vector<Premultiplied> entries, int pinned,
        ThreadPool* pool)
      : points_(points),
        entries_(std::move(entries)),
        pinned_(pinned),
        pool_(pool),
        assigned_(points.size(), 0),
        distance_(points.size(), 0) {}

  void run() {
    assignAll(true);
    int64_t error = total();
    for (int it = 0; it < kIterations; ++it) {
      const std::vector<Premultiplied> before = entries_;
      const std::vector<uint8_t> assignedBefore = assigned_;
      const std::vector<int32_t> distanceBefore = distance_;
      if (!moveEntries()) break;
      assignAll(false);
      const int64_t after = total();
      if (after >= error) {
        entries_ = before;
        assigned_ = assignedBefore;
        distance_ = distanceBefore;
        break;
      }
      const bool settled =
          static_cast<double>(error - after) <= kMinFall * static_cast<double>(error);
      error = after;
      if (settled) break;
    }
  }

  const std::vector<Premultiplied>& entries() const { return entries_; }
  std::vector<int64_t> populations() const {
    std::vector<int64_t> out(entries_.size(), 0);
    for (size_t i = 0; i < points_.size(); ++i) out[assigned_[i]] += points_[i].weight;
    return out;
  }

 private:
  int64_t total() const {
    int64_t sum = 0;
    for (size_t i = 0; i < points_.size(); ++i) sum += points_[i].weight * distance_[i];
    return sum;
  }

  // Every point to its nearest entry. A point whose entry is nearer to it
  // than half the distance from that entry to any other keeps it unsearched.
  void assignAll(bool first) {
    std::vector<SeenPoint> at(entries_.size());
    for (size_t j = 0; j < entries_.size(); ++j) at[j] = pointOf(entries_[j]);
    const SeenNearest nearest(at);
    std::vector<int32_t> apart(entries_.size(), INT32_MAX);
    for (size_t j = 0; j < at.size(); ++j) {
      for (size_t k = 0; k < at.size(); ++k) {
        if (k != j) apart[j] = std::min(apart[j], seenDistance(at[j], at[k]));
      }
    }
    forStripes(pool_, static_cast<int64_t>(points_.size()), kChunkPoints,
               [&](int64_t begin, int64_t end) {
                 for (int64_t i = begin; i < end; ++i) {
                   const SeenPoint& p = points_[i].at;
                   SeenNearest::Found known{-1, INT32_MAX};
                   if (!first) {
                     const int a = assigned_[i];
                     const int32_t d = seenDistance(p, at[a]);
                     // sqrt(d) < sqrt(apart) / 2: no other entry is as near.
                     if (4 * static_cast<int64_t>(d) < apart[a]) {
                       distance_[i] = d;
                       continue;
                     }
                     known = SeenNearest::Found{a, d};
                   }
                   const SeenNearest::Found f = nearest.find(p, known);
                   assigned_[i] = static_cast<uint8_t>(f.index);
                   distance_[i] = f.distance;
                 }
               });
  }

  // Every entry but the pinned one to the mean of its points; entries
  // without points to the points served worst. False when nothing moved.
  bool moveEntries() {
    const int k = static_cast<int>(entries_.size());
    std::vector<Sums> sums(k);
    for (size_t i = 0; i < points_.size(); ++i) {
      Sums& s = sums[assigned_[i]];
      s.weight += points_[i].weight;
      const Premultiplied& c = points_[i].colour;
      const int32_t v[4] = {c.red, c.green, c.blue, c.alpha};
      for (int d = 0; d < 4; ++d) s.colour[d] += points_[i].weight * v[d];
    }
    bool moved = false;
    std::vector<int> empty;
    for (int j = pinned_; j < k; ++j) {
      if (sums[j].weight == 0) {
        empty.push_back(j);
        continue;
      }
      const Premultiplied m = sums[j].mean();
      if (keyOf(m) != keyOf(entries_[j])) moved = true;
      entries_[j] = m;
    }
    if (!empty.empty()) {
      std::vector<size_t> order(points_.size());
      std::iota(order.begin(), order.end(), 0);
      const size_t n = std::min(order.size(), empty.size());
      std::partial_sort(order.begin(), order.begin() + static_cast<long>(n), order.end(),
                        [&](size_t a, size_t b) {
                          const int64_t ea = points_[a].weight * distance_[a],
                                        eb = points_[b].weight * distance_[b];
                          return ea != eb ? ea > eb : a < b;
                        });
      for (size_t e = 0; e < n; ++e) {
        if (distance_[order[e]] == 0) break;
        entries_[empty[e]] = points_[order[e]].colour;
        moved = true;
      }
    }
    return moved;
  }

  const std::vector<Point>& points_;
  std::vector<Premultiplied> entries_;
  int pinned_;
  ThreadPool* pool_;
  std::vector<uint8_t> assigned_;
  std::vector<int32_t> distance_;
};

}  // namespace

Result<Colormap> chooseAlphaPalette(const ColorCount& count, const PaletteOptions& options,
                                    const Context& context) {
  std::optional<QuantTable> quantTable;
  if (options.quantBits != 0) {
    Result<QuantTable> table = quantizationTable(options.quantBits);
    if (!table) return table.error();
    quantTable = *table;
  }
  context.emit(EventKind::choosing, options.colors);
  try {
    std::vector<Point> points;
    points.reserve(count.histogram.size());
    bool transparent = false;
    for (const HistogramEntry& e : count.histogram) {
      if (e.count <= 0) continue;
      const Premultiplied c = premultiplied(e);
      if (c.alpha == 0) {
        transparent = true;
        continue;
      }
      points.push_back(Point{pointOf(c), c, e.count});
    }
    const int pinned = transparent ? 1 : 0;
    std::vector<Premultiplied> entries;
    if (pinned) entries.push_back(Premultiplied{});
    if (!points.empty() && options.colors > pinned) {
      const std::vector<Premultiplied> cut = medianCut(points, options.colors - pinned);
      entries.insert(entries.end(), cut.begin(), cut.end());
    }
    std::vector<int64_t> populations;
    if (options.refine && !points.empty() && static_cast<int>(entries.size()) > pinned) {
      Lloyd lloyd(points, entries, pinned, context.pool);
      lloyd.run();
      entries = lloyd.entries();
      populations = lloyd.populations();
    }
    // The entries in descending population (the transparent one first).
    std::vector<int> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    if (!populations.empty()) {
      std::stable_sort(order.begin() + pinned, order.end(),
                       [&](int a, int b) { return populations[a] > populations[b]; });
    }
    Colormap colormap(options.colors, HistogramEntry{});
    for (size_t j = 0; j < order.size(); ++j) {
      HistogramEntry e = straightEntry(entries[order[j]]);
      if (quantTable) {
        auto level = [&](uint8_t v) { return static_cast<uint8_t>((*quantTable)[v]); };
        e = HistogramEntry{level(e.red), level(e.green), level(e.blue), 0, level(e.alpha)};
      }
      colormap[j] = e;
    }
    return colormap;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory");
  }
}

}  // namespace kx
