// Palette refinement: the median-cut palette improved over the histogram.
//
// Median cut gives each box the colour of its most populous entry and cuts
// the most populous box, so large smooth areas get many entries and a small,
// distinct detail can end up inside a box whose colour is far from its own.
// The refinement starts from that palette and alternates two moves:
//
// - Lloyd iterations: every histogram colour goes to its nearest entry (the
//   exact search of the remapping: squared distance, lowest index on ties),
//   then every entry moves to the weighted mean of its colours, rounded to the
//   nearest integer. Neither step can raise the total error (sum of count ×
//   squared distance), so the error falls until it settles.
// - Relocation, which gives small distinct regions their due: Lloyd only
//   moves entries locally. The entries whose removal costs least (their
//   colours can go to a close neighbour) are moved to the clusters with the
//   largest error, each seeded at the colour its cluster serves worst, which
//   is where a small, distinct detail sits. A round is kept only when the
//   iterations after it end with a lower total error than before it.
//
// Most of the work runs on the histogram merged into small cells (a few
// thousand points instead of up to 62768 colours); the last iterations run
// on the histogram itself, which also judges the result by the exact error:
// a palette that is not better than the starting one is not used.
//
// Everything the result depends on is integer arithmetic: the cluster sums
// are 64-bit sums of count × channel, so summing the histogram in chunks, in
// any order, gives the same palette. Floating point only bounds distances to
// skip searches whose answer is certain (see assign()). So the loops over
// the points (fullAssign(), assign(), accumulate() and the seeds of
// relocate()) run in chunks on the process's pool, each point's answer its
// own and the chunks' sums added afterwards.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

#include "reduce/reduce.h"

namespace kx {

namespace {

// Lloyd iterations stop when one lowers the error by less than this fraction
// of it, or after a number of iterations that depends on the stage: the
// first iterations from the median-cut palette, those after a relocation,
// and the last ones on the histogram itself.
constexpr double kMinFall = 1e-3;
constexpr int kFirstIterations = 10;
constexpr int kRoundIterations = 6;
constexpr int kFineIterations = 4;
// Relocation rounds, and the share of the palette moved in the first one
// (halved after every round that does not pay).
constexpr int kMaxRounds = 12;
constexpr int kMovedShare = 8;
// The rough points: at most this many per palette entry.
constexpr int kPointsPerEntry = 40;
// Entries that moved most are measured exactly instead of shrinking every
// bound by their move.
constexpr int kBigMovers = 8;
// A bound is trusted only with this margin, far above the rounding of the
// double distances (below 1e-9 after thousands of updates).
constexpr double kSlack = 1e-6;

constexpr int32_t kFar = std::numeric_limits<int32_t>::max();
// Points per chunk of a loop run on the pool.
constexpr int64_t kChunkPoints = 2048;

struct Cluster {
  int64_t weight = 0;
  int64_t red = 0, green = 0, blue = 0;  // count × position, half units
  int64_t error = 0;                     // count × squared distance, quarter units
};

// The colours being clustered: the histogram's own, or for the rough
// iterations the histogram merged into cells of 2^shift values per channel,
// each standing at the rounded mean of its colours.
//
// A colour stands at the mean of the samples it stands for: the stored
// sample itself, or, when the picture was compressed only to be counted,
// the mean of the original samples that the compression turned into it (the
// remapping then sees the original samples). Positions and sums are in half
// units (twice the sample values), so every sum stays an exact integer and
// the distances (in quarter units) stay exact.
struct Points {
  std::vector<int32_t> red, green, blue;                  // half units
  std::vector<int64_t> count, sumRed, sumGreen, sumBlue;  // count × position

  Points(const Histogram& histogram, int n, int shift, const SampleCentres& centres) {
    if (shift == 0) {
      for (int i = 0; i < n; ++i) {
        const HistogramEntry& e = histogram[i];
        add(centres[e.red], centres[e.green], centres[e.blue], std::max(e.count, 0));
      }
      return;
    }
    std::vector<int32_t> cellOf(size_t{1} << (3 * (8 - shift)), -1);
    for (int i = 0; i < n; ++i) {
      const HistogramEntry& e = histogram[i];
      // Cells are listed in the order of their first colour: a fixed order
      // for a given histogram.
      int32_t& p = cellOf[cellOf3(e, shift)];
      if (p < 0) {
        p = static_cast<int32_t>(count.size());
        add(0, 0, 0, 0);
      }
      const int64_t w = std::max(e.count, 0);
      count[p] += w;
      sumRed[p] += w * centres[e.red];
      sumGreen[p] += w * centres[e.green];
      sumBlue[p] += w * centres[e.blue];
    }
    for (size_t p = 0; p < count.size(); ++p) {
      const int64_t w = count[p];
      if (w == 0) continue;
      auto rounded = [w](int64_t sum) { return static_cast<int32_t>((2 * sum + w) / (2 * w)); };
      red[p] = rounded(sumRed[p]);
      green[p] = rounded(sumGreen[p]);
      blue[p] = rounded(sumBlue[p]);
    }
  }

  static int cellOf3(const HistogramEntry& e, int shift) {
    const int bits = 8 - shift;
    return ((e.red >> shift) << (2 * bits)) | ((e.green >> shift) << bits) | (e.blue >> shift);
  }

  // The number of cells of 2^shift values per channel that the colours fill.
  static int cells(const Histogram& histogram, int n, int shift) {
    std::vector<bool> seen(size_t{1} << (3 * (8 - shift)), false);
    int filled = 0;
    for (int i = 0; i < n; ++i) {
      const int c = cellOf3(histogram[i], shift);
      if (!seen[c]) {
        seen[c] = true;
        ++filled;
      }
    }
    return filled;
  }

  int size() const { return static_cast<int>(red.size()); }

 private:
  void add(int r, int g, int b, int64_t w) {
    red.push_back(r);
    green.push_back(g);
    blue.push_back(b);
    count.push_back(w);
    sumRed.push_back(w * r);
    sumGreen.push_back(w * g);
    sumBlue.push_back(w * b);
  }
};

struct Nearest {
  int index = -1;
  int32_t distance = kFar;  // squared, quarter units
  int32_t second = kFar;    // squared distance to the next nearest entry
};

double root(int32_t d) {
  return d == kFar ? std::numeric_limits<double>::infinity() : std::sqrt(static_cast<double>(d));
}

class Refiner {
 public:
  Refiner(const Histogram& histogram, int colors, const Colormap& start,
          const SampleCentres& centres, ThreadPool* pool)
      : histogram_(histogram),
        centres_(centres),
        pool_(pool),
        colors_(colors),
        k_(static_cast<int>(start.size())) {
    for (int j = 0; j < k_; ++j) {
      pr_[j] = start[j].red;
      pg_[j] = start[j].green;
      pb_[j] = start[j].blue;
    }
  }

  // The whole refinement; false when it found nothing better than the
  // starting palette, which is then kept as it is. Errors in quarter units.
  bool run(RefineReport& report) {
    const Points fine(histogram_, colors_, 0, centres_);
    use(fine);
    fullAssign(false);
    report.startError = accumulate();
    const Saved start = save();

    const int limit = kPointsPerEntry * k_;
    if (fine.size() <= limit) {
      report.endError = optimize(report.startError, kFirstIterations, kMaxRounds, report);
    } else {
      // The finest cells that keep the rough points few.
      int shift = 1;
      while (shift < 5 && Points::cells(histogram_, colors_, shift) > limit) ++shift;
      {
        const Points rough(histogram_, colors_, shift, centres_);
        use(rough);
        fullAssign();
        optimize(accumulate(), kFirstIterations, kMaxRounds, report);
      }
      use(fine);
      fullAssign();
      report.endError = iterate(accumulate(), kFineIterations, report);
    }
    if (report.endError < report.startError) {
      order();
      return true;
    }
    restore(start);
    report.endError = report.startError;
    return false;
  }

  Colormap palette() const {
    Colormap out(k_);
    for (int j = 0; j < k_; ++j) {
      out[j] = HistogramEntry{static_cast<uint8_t>(pr_[j]), static_cast<uint8_t>(pg_[j]),
                              static_cast<uint8_t>(pb_[j]), 0};
    }
    return out;
  }

  // The pixels each entry of palette() serves.
  std::vector<int64_t> populations() const {
    std::vector<int64_t> out(k_);
    for (int j = 0; j < k_; ++j) out[j] = clusters_[j].weight;
    return out;
  }

 private:
  void use(const Points& points) {
    n_ = points.size();
    red_ = points.red.data();
    green_ = points.green.data();
    blue_ = points.blue.data();
    count_ = points.count.data();
    sumRed_ = points.sumRed.data();
    sumGreen_ = points.sumGreen.data();
    sumBlue_ = points.sumBlue.data();
    assigned_.assign(n_, 0);
    lower_.assign(n_, 0);
  }

  // Lloyd iterations, then relocation rounds, on the current points.
  int64_t optimize(int64_t error, int iterations, int rounds, RefineReport& report) {
    error = iterate(error, iterations, report);
    int moved = std::max(1, k_ / kMovedShare);
    for (int round = 0; round < rounds && moved > 0; ++round) {
      const Saved saved = save();
      std::array<double, 256> jumps{};
      if (!relocate(moved, jumps)) break;
      assign(jumps, moved);
      const int64_t after = iterate(accumulate(), kRoundIterations, report);
      if (after < error) {
        error = after;
      } else {
        restore(saved);
        moved /= 2;
      }
    }
    return error;
  }

  // Puts the entries in descending population (ties in working order). A
  // colour as near to two entries goes to the lower index, so the new order
  // can move such colours: the populations are counted again in it, and
  // sorted again while that changes the order (a few times at most).
  void order() {
    for (int pass = 0; pass < 4; ++pass) {
      std::vector<int> order(k_);
      std::iota(order.begin(), order.end(), 0);
      std::stable_sort(order.begin(), order.end(),
                       [&](int a, int b) { return clusters_[a].weight > clusters_[b].weight; });
      if (pass > 0 && std::is_sorted(order.begin(), order.end())) break;
      const std::array<int32_t, 256> r = pr_, g = pg_, b = pb_;
      for (int j = 0; j < k_; ++j) {
        pr_[j] = r[order[j]];
        pg_[j] = g[order[j]];
        pb_[j] = b[order[j]];
      }
      fullAssign(false);
      accumulate();
    }
  }

  // The state a relocation round starts from, to go back to when it does not
  // pay.
  struct Saved {
    std::array<int32_t, 256> r, g, b;
    std::vector<Cluster> clusters;
    std::vector<uint8_t> assigned;
    std::vector<double> lower;
  };

  Saved save() const { return Saved{pr_, pg_, pb_, clusters_, assigned_, lower_}; }
  void restore(const Saved& s) {
    pr_ = s.r;
    pg_ = s.g;
    pb_ = s.b;
    clusters_ = s.clusters;
    assigned_ = s.assigned;
    lower_ = s.lower;
  }

  // Squared distance from point i to entry j, in quarter units.
  int32_t distance(int i, int j) const {
    const int32_t dr = red_[i] - 2 * pr_[j], dg = green_[i] - 2 * pg_[j],
                  db = blue_[i] - 2 * pb_[j];
    return dr * dr + dg * dg + db * db;
  }
  int64_t cost(int i, int j) const { return count_[i] * distance(i, j); }

  // Sorts the entries by red + green + blue: an entry whose sum differs from
  // a colour's by s is at least s / sqrt(3) away from it, which ends the
  // search on either side.
  void sortPalette() {
    std::array<int, 256> byKey;
    std::iota(byKey.begin(), byKey.begin() + k_, 0);
    std::sort(byKey.begin(), byKey.begin() + k_, [&](int a, int b) {
      const int ka = pr_[a] + pg_[a] + pb_[a], kb = pr_[b] + pg_[b] + pb_[b];
      return ka != kb ? ka < kb : a < b;
    });
    for (int p = 0; p < k_; ++p) {
      const int j = byKey[p];
      sIndex_[p] = j;
      sRed_[p] = 2 * pr_[j];
      sGreen_[p] = 2 * pg_[j];
      sBlue_[p] = 2 * pb_[j];
      sKey_[p] = sRed_[p] + sGreen_[p] + sBlue_[p];
    }
    // firstAtLeast_[s]: the first sorted position whose key is s or more.
    int p = 0;
    for (int s = 0; s < kKeys; ++s) {
      while (p < k_ && sKey_[p] < s) ++p;
      firstAtLeast_[s] = p;
    }
  }

  // The exact nearest entry to (r, g, b) in half units other than `skip`
  // (lowest index among equals), and with kWithSecond the squared distance
  // to the next nearest.
  template <bool kWithSecond = true>
  Nearest search(int r, int g, int b, int skip = -1) const {
    const int s = r + g + b;
    // Distance × 256 + index: the smallest key is the nearest entry with the
    // lowest index among equals, without a branch to mispredict. Distances
    // are below 4 × 3 × 255², so the keys fit.
    int32_t best = kFar, second = kFar;
    auto consider = [&](int p) {
      const int32_t dr = r - sRed_[p], dg = g - sGreen_[p], db = b - sBlue_[p];
      const int32_t key =
          sIndex_[p] == skip ? kFar : ((dr * dr + dg * dg + db * db) << 8) | sIndex_[p];
      second = std::min(second, std::max(best, key));
      best = std::min(best, key);
    };
    // Beyond a key gap g every entry is at least g² / 3 away: once that
    // exceeds the distance searched for, nothing further can change it or
    // which entry wins.
    auto beyond = [&](int gap) { return gap * gap > 3 * ((kWithSecond ? second : best) >> 8); };
    int up = firstAtLeast_[s], down = up - 1;
    while (up < k_ || down >= 0) {
      if (up < k_) {
        if (beyond(sKey_[up] - s)) {
          up = k_;
        } else {
          consider(up++);
        }
      }
      if (down >= 0) {
        if (beyond(s - sKey_[down])) {
          down = -1;
        } else {
          consider(down--);
        }
      }
    }
    Nearest n;
    if (best != kFar) {
      n.index = best & 255;
      n.distance = best >> 8;
    }
    if (kWithSecond && second != kFar) n.second = second >> 8;
    return n;
  }

  // Chunks of the points for the pool: one with a single thread or few
  // points, when the loops run as one pass on the calling thread.
  int chunks() const { return threadsOf(pool_) > 1 ? stripeCount(pool_, n_, kChunkPoints) : 1; }
  template <class Work>
  void forChunks(int count, Work&& work) {
    if (count <= 1) {
      work(0, 0, n_);
      return;
    }
    runTasks(pool_, count, [&](int c) {
      work(c, static_cast<int>(stripeStart(n_, c, count)),
           static_cast<int>(stripeStart(n_, c + 1, count)));
    });
  }

  // Every point to its nearest entry; with `bounds`, also the lower bounds
  // that let assign() skip searches.
  void fullAssign(bool bounds = true) {
    sortPalette();
    forChunks(chunks(), [&](int, int first, int end) {
      for (int i = first; i < end; ++i) {
        if (!bounds) {
          assigned_[i] = static_cast<uint8_t>(search<false>(red_[i], green_[i], blue_[i]).index);
          continue;
        }
        const Nearest n = search(red_[i], green_[i], blue_[i]);
        assigned_[i] = static_cast<uint8_t>(n.index);
        lower_[i] = root(n.second);
      }
    });
  }

  // Reassigns after entry j moved by moves[j] (half units). A point keeps its
  // entry without a search when its distance to it is below half the
  // distance from that entry to any other (no other entry can then be as
  // near), or below the lower bound of its distance to every other entry.
  // That bound shrinks by the largest move, except that the few entries that
  // moved most are measured exactly instead. Only certain answers are kept:
  // the result is the exact search's, only faster.
  void assign(const std::array<double, 256>& moves, int maxBig = kBigMovers) {
    sortPalette();
    std::array<int, 256> byMove;
    std::iota(byMove.begin(), byMove.begin() + k_, 0);
    std::stable_sort(byMove.begin(), byMove.begin() + k_,
                     [&](int a, int b) { return moves[a] > moves[b]; });
    int big = 0;
    while (big < std::min(k_, maxBig) && moves[byMove[big]] > 0) ++big;
    const double rest = big < k_ ? moves[byMove[big]] : 0;
    std::array<int32_t, 256> br, bg, bb, bi;
    for (int m = 0; m < big; ++m) {
      bi[m] = byMove[m];
      br[m] = 2 * pr_[bi[m]];
      bg[m] = 2 * pg_[bi[m]];
      bb[m] = 2 * pb_[bi[m]];
    }
    std::array<double, 256> half;
    for (int j = 0; j < k_; ++j) {
      half[j] = 0.5 * root(search(2 * pr_[j], 2 * pg_[j], 2 * pb_[j], j).distance);
    }
    forChunks(chunks(), [&](int, int first, int end) {
      for (int i = first; i < end; ++i) {
        const int a = assigned_[i];
        int32_t nearestMover = kFar;
        for (int m = 0; m < big; ++m) {
          const int32_t dr = red_[i] - br[m], dg = green_[i] - bg[m], db = blue_[i] - bb[m];
          const int32_t d = bi[m] == a ? kFar : dr * dr + dg * dg + db * db;
          nearestMover = std::min(nearestMover, d);
        }
        lower_[i] = std::min(lower_[i] - rest, root(nearestMover));
        const double bound = std::max(half[a], lower_[i]) - kSlack;
        if (bound > 0 && static_cast<double>(distance(i, a)) < bound * bound) continue;
        const Nearest n = search(red_[i], green_[i], blue_[i]);
        assigned_[i] = static_cast<uint8_t>(n.index);
        lower_[i] = root(n.second);
      }
    });
  }

  // The cluster sums of the current assignment; returns the total error.
  int64_t accumulate() {
    const int count = chunks();
    // Chunk 0 sums into the clusters themselves, the others into their own
    // sums, added afterwards: integer sums, the same in any order.
    std::vector<std::vector<Cluster>> later(static_cast<size_t>(count));
    std::vector<int64_t> totals(static_cast<size_t>(count), 0);
    clusters_.assign(k_, Cluster{});
    forChunks(count, [&](int chunk, int first, int end) {
      std::vector<Cluster>& sums = chunk == 0 ? clusters_ : later[chunk];
      if (chunk > 0) sums.assign(k_, Cluster{});
      int64_t total = 0;
      for (int i = first; i < end; ++i) {
        Cluster& c = sums[assigned_[i]];
        const int64_t e = cost(i, assigned_[i]);
        c.weight += count_[i];
        c.red += sumRed_[i];
        c.green += sumGreen_[i];
        c.blue += sumBlue_[i];
        c.error += e;
        total += e;
      }
      totals[chunk] = total;
    });
    int64_t total = totals[0];
    for (int chunk = 1; chunk < count; ++chunk) {
      for (int j = 0; j < k_; ++j) {
        const Cluster& from = later[chunk][j];
        Cluster& c = clusters_[j];
        c.weight += from.weight;
        c.red += from.red;
        c.green += from.green;
        c.blue += from.blue;
        c.error += from.error;
      }
      total += totals[chunk];
    }
    return total;
  }

  // Up to `cap` Lloyd iterations from the current assignment, whose total
  // error is `error`; returns the error they end with.
  int64_t iterate(int64_t error, int cap, RefineReport& report) {
    for (int it = 0; it < cap; ++it) {
      std::array<double, 256> moves{};
      bool moved = false;
      for (int j = 0; j < k_; ++j) {
        const Cluster& c = clusters_[j];
        if (c.weight <= 0) continue;
        // The nearest integer to the mean, halves rounded up.
        auto mean = [&](int64_t sum) {
          return static_cast<int32_t>(
              std::clamp<int64_t>((sum + c.weight) / (2 * c.weight), 0, 255));
        };
        const int32_t r = mean(c.red), g = mean(c.green), b = mean(c.blue);
        const int32_t dr = r - pr_[j], dg = g - pg_[j], db = b - pb_[j];
        moves[j] = 2 * root(dr * dr + dg * dg + db * db);
        moved = moved || moves[j] > 0;
        pr_[j] = r;
        pg_[j] = g;
        pb_[j] = b;
      }
      if (!moved) break;
      ++report.iterations;
      assign(moves);
      const int64_t after = accumulate();
      const bool settled = static_cast<double>(error - after) <= kMinFall * error;
      error = after;
      if (settled) break;
    }
    return error;
  }

  // Moves up to `count` entries from where they serve least to the clusters
  // with the largest error; jumps[j] is how far entry j went (half units).
  // False when no move is worth trying.
  bool relocate(int count, std::array<double, 256>& jumps) {
    // Removing entry j sends its colours to other entries; sending them all to
    // its nearest neighbour m costs weight × |c_j − c_m|² more (c_j being
    // their mean), an upper bound of the real cost.
    sortPalette();
    std::vector<int64_t> removal(k_);
    std::vector<int> neighbour(k_, -1);
    for (int j = 0; j < k_; ++j) {
      const Nearest n = search(2 * pr_[j], 2 * pg_[j], 2 * pb_[j], j);
      neighbour[j] = n.index;
      removal[j] = n.index < 0 ? kFar : clusters_[j].weight * n.distance;
    }
    std::vector<int> cheap(k_), worst(k_);
    std::iota(cheap.begin(), cheap.end(), 0);
    std::iota(worst.begin(), worst.end(), 0);
    std::stable_sort(cheap.begin(), cheap.end(),
                     [&](int a, int b) { return removal[a] < removal[b]; });
    std::stable_sort(worst.begin(), worst.end(),
                     [&](int a, int b) { return clusters_[a].error > clusters_[b].error; });

    // The worst-served point of each cluster seeds the entry moved there
    // (the first of equals): found per chunk, an earlier chunk's point
    // winning a tie.
    const int pieces = chunks();
    std::vector<std::vector<int>> seeds(static_cast<size_t>(pieces));
    std::vector<std::vector<int64_t>> seedErrors(static_cast<size_t>(pieces));
    forChunks(pieces, [&](int chunk, int first, int end) {
      std::vector<int>& seed = seeds[chunk];
      std::vector<int64_t>& seedError = seedErrors[chunk];
      seed.assign(k_, -1);
      seedError.assign(k_, -1);
      for (int i = first; i < end; ++i) {
        const int a = assigned_[i];
        const int64_t e = cost(i, a);
        if (e > seedError[a]) {
          seedError[a] = e;
          seed[a] = i;
        }
      }
    });
    std::vector<int>& seed = seeds[0];
    std::vector<int64_t>& seedError = seedErrors[0];
    for (int chunk = 1; chunk < pieces; ++chunk) {
      for (int j = 0; j < k_; ++j) {
        if (seedErrors[chunk][j] > seedError[j]) {
          seedError[j] = seedErrors[chunk][j];
          seed[j] = seeds[chunk][j];
        }
      }
    }

    // 1: split, or receiving a removed entry's colours; 2: removed.
    std::vector<char> busy(k_, 0);
    int done = 0, c = 0;
    for (int t = 0; t < k_ && done < count; ++t) {
      const int target = worst[t];
      if (busy[target] || seedError[target] <= 0) continue;
      while (c < k_ && (busy[cheap[c]] || cheap[c] == target ||
                        (neighbour[cheap[c]] >= 0 && busy[neighbour[cheap[c]]] == 2))) {
        ++c;
      }
      if (c == k_) break;
      const int j = cheap[c];
      // A move pays only when splitting gains more than removing loses; half
      // of a cluster's error is what a split into two typically saves.
      if (2 * removal[j] >= clusters_[target].error) break;
      busy[target] = 1;
      busy[j] = 2;
      if (neighbour[j] >= 0 && !busy[neighbour[j]]) busy[neighbour[j]] = 1;
      const int s = seed[target];
      const int32_t r = (red_[s] + 1) / 2, g = (green_[s] + 1) / 2, b = (blue_[s] + 1) / 2;
      const int32_t dr = r - pr_[j], dg = g - pg_[j], db = b - pb_[j];
      // Moved entries are measured exactly by the next assignment.
      jumps[j] = 2 * root(dr * dr + dg * dg + db * db) + 1;
      pr_[j] = r;
      pg_[j] = g;
      pb_[j] = b;
      ++done;
    }
    return done > 0;
  }

  static constexpr int kKeys = 3 * 510 + 1;

  const Histogram& histogram_;
  const SampleCentres& centres_;
  ThreadPool* pool_;
  int colors_ = 0;
  int n_ = 0, k_ = 0;
  const int32_t *red_ = nullptr, *green_ = nullptr, *blue_ = nullptr;
  const int64_t *count_ = nullptr, *sumRed_ = nullptr, *sumGreen_ = nullptr, *sumBlue_ = nullptr;
  std::array<int32_t, 256> pr_{}, pg_{}, pb_{};
  // The entries sorted by red + green + blue (see sortPalette()), in half
  // units.
  std::array<int32_t, 256> sIndex_{}, sRed_{}, sGreen_{}, sBlue_{}, sKey_{};
  std::array<int, kKeys> firstAtLeast_{};
  std::vector<uint8_t> assigned_;
  std::vector<double> lower_;  // half units
  std::vector<Cluster> clusters_;
};

}  // namespace

RefineReport refineColormap(const Histogram& histogram, Colormap& colormap,
                            const SampleCentres& centres, ThreadPool* pool,
                            std::vector<int64_t>* populations) {
  RefineReport report;
  const int n = static_cast<int>(histogram.size());
  const int k = static_cast<int>(colormap.size());
  if (populations) populations->clear();
  if (k < 1 || k > 256 || n < 1) return report;
  Refiner refiner(histogram, n, colormap, centres, pool);
  if (refiner.run(report)) colormap = refiner.palette();
  if (populations) *populations = refiner.populations();
  // Quarter units inside (see Points).
  report.startError /= 4;
  report.endError /= 4;
  return report;
}

}  // namespace kx
