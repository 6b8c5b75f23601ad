// Quantization filter: bit-replicated levels with Floyd-Steinberg error
// diffusion, and the level table that the median cut uses for -Q.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"

namespace kx {

Result<QuantTable> quantizationTable(int bits) {
  // Zero bits would never finish replicating, and more than 8 have no
  // meaning for 8-bit samples.
  if (bits < 1 || bits > 8) {
    return Error(ErrorCode::badArgument,
                 "quantization needs 1 to 8 bits per channel, not " + std::to_string(bits));
  }
  QuantTable quantTable;
  const int n = static_cast<int>(std::pow(2.0, bits));
  int levels[256];
  for (int i = 0; i < n; ++i) {
    int partial = (i << (8 - bits)) & 0xFF;
    int level = partial;
    for (int k = 1; bits * k < 8; ++k) {
      partial >>= bits;
      level |= partial;
    }
    levels[i] = level;
  }
  // Each sample goes to the smallest level at or above it, except sample 1,
  // which the walk leaves at level 0.
  int current = levels[0], j = 0;
  for (int i = 0; i < 256; ++i) {
    if (current < i && j < n) current = levels[j++];
    quantTable[i] = static_cast<int16_t>(current);
  }
  return quantTable;
}

namespace {

// Quantizes one row of up to three channels, samples rowStart to rowStart +
// rowLength − 1 of `count` in rows of `width`, whose values are in cur[c];
// with dither, each error is spread to the rest of cur and to next, the
// row below. wait(col) is called before each column. The caller sets the
// rounding to nearest.
template <class Wait>
inline void filterRow(float* const* cur, float* const* next, int channelCount,
                      const int16_t* quantTable, int64_t rowStart, int rowLength, int64_t count,
                      int width, bool dither, Wait&& wait) {
  // Adding and removing 2^23 rounds a float in 0 … 255 to an integer in the
  // current mode, exactly as nearbyint does.
  constexpr float kRound = 8388608.0f;
  // Shares are computed in double and stored back as float, one rounding
  // per neighbour, as earlier runs did.
  auto spread = [](float& at, int weight, float err) {
    at = static_cast<float>(static_cast<double>(at) +
                            (static_cast<double>(weight) * static_cast<double>(err)) / 16.0);
  };
  for (int col = 0; col < rowLength; ++col) {
    wait(col);
    const int64_t i = rowStart + col;
    // Neighbours that exist: never past the last sample, even in a last
    // row shorter than the others.
    const bool right = col + 1 < width && i + 1 < count;
    const bool down = i + width < count;
    const bool downLeft = down && col > 0;
    const bool downRight = down && col + 1 < width && i + width + 1 < count;
    for (int c = 0; c < channelCount; ++c) {
      const float clamped = std::clamp(cur[c][col], 0.0f, 255.0f);
      const int rounded = static_cast<int>((clamped + kRound) - kRound);
      const float level = static_cast<float>(quantTable[rounded]);
      cur[c][col] = level;
      if (!dither) continue;
      const float err =
          std::clamp(clamped - level, -float{kMostDiffusedError}, float{kMostDiffusedError});
      if (std::fabs(static_cast<double>(err)) < 0.0001) continue;
      if (right) spread(cur[c][col + 1], 7, err);
      if (downLeft) spread(next[c][col - 1], 3, err);
      if (down) spread(next[c][col], 5, err);
      if (downRight) spread(next[c][col + 1], 1, err);
    }
  }
}

// Filters up to three channels of `count` samples in rows of `width`, in
// step: each channel's diffusion is its own, but each sample waits for the
// error of the one before it, so three chains side by side keep the
// processor busy. Only two rows of floats per channel are kept: a sample's
// value is its byte plus the shares it received, added in the same order as
// over a whole-channel buffer.
void filterInOnePass(uint8_t* const* channels, int channelCount, const int16_t* quantTable,
                     int64_t count, int width, bool dither) {
  if (channelCount == 0 || count <= 0 || width <= 0) return;
  std::vector<float> buffer(2 * static_cast<size_t>(channelCount) * static_cast<size_t>(width));
  float* cur[3];
  float* next[3];
  for (int c = 0; c < channelCount; ++c) {
    cur[c] = buffer.data() + (2 * c) * static_cast<size_t>(width);
    next[c] = buffer.data() + (2 * c + 1) * static_cast<size_t>(width);
    const int64_t firstRow = std::min<int64_t>(width, count);
    for (int64_t k = 0; k < firstRow; ++k) cur[c][k] = channels[c][k];
  }
  // Rounding is to nearest, ties to even, whatever mode the caller set.
  const int savedRounding = std::fegetround();
  std::fesetround(FE_TONEAREST);
  for (int64_t rowStart = 0; rowStart < count; rowStart += width) {
    const int rowLength = static_cast<int>(std::min<int64_t>(width, count - rowStart));
    const int64_t nextStart = rowStart + width;
    const int nextLength =
        static_cast<int>(std::clamp<int64_t>(count - nextStart, 0, static_cast<int64_t>(width)));
    for (int c = 0; c < channelCount; ++c) {
      for (int k = 0; k < nextLength; ++k) next[c][k] = channels[c][nextStart + k];
    }
    filterRow(cur, next, channelCount, quantTable, rowStart, rowLength, count, width, dither,
              [](int) {});
    for (int c = 0; c < channelCount; ++c) {
      for (int k = 0; k < rowLength; ++k)
        channels[c][rowStart + k] = static_cast<uint8_t>(cur[c][k]);
      std::swap(cur[c], next[c]);
    }
  }
  std::fesetround(savedRounding);
}

// filterInOnePass on several threads, one row per unit of a wavefront: a
// sample waits until the row above is done two samples past it, the last
// one whose share it must follow, so every float receives its shares in
// the same order as in one pass. Each row reads the bytes of the row below
// into its error row before it starts, and writes its own bytes back when
// it is done, after the row above has read them.
void filterChannelsWavefront(ThreadPool& pool, uint8_t* const* channels, int channelCount,
                             const int16_t* quantTable, int64_t count, int width, bool dither) {
  const int64_t rows64 = (count + width - 1) / width;
  const int rows = static_cast<int>(rows64);
  const int lanes = std::min(pool.threads(), rows);
  // Row r filters error row r % ringRows into the next one; a row begins
  // once the row `lanes` above it has finished.
  const int ringRows = lanes + 2;
  std::vector<float> buffer(static_cast<size_t>(channelCount) * ringRows *
                            static_cast<size_t>(width));
  auto errorRow = [&](int c, int64_t row) {
    return buffer.data() + (static_cast<size_t>(c) * ringRows + row % ringRows) * width;
  };
  auto load = [&](float* const* into, int64_t row) {
    const int64_t start = row * width;
    const int length = static_cast<int>(std::clamp<int64_t>(count - start, 0, width));
    for (int c = 0; c < channelCount; ++c) {
      for (int k = 0; k < length; ++k) into[c][k] = channels[c][start + k];
    }
  };
  runWavefront(pool, rows, lanes, [&](int row, WaveProgress* above, WaveProgress& mine) {
    float* cur[3];
    float* next[3];
    for (int c = 0; c < channelCount; ++c) {
      cur[c] = errorRow(c, row);
      next[c] = errorRow(c, row + 1);
    }
    if (row == 0) load(cur, 0);
    load(next, row + 1);
    const int64_t rowStart = int64_t{row} * width;
    const int rowLength = static_cast<int>(std::min<int64_t>(width, count - rowStart));
    const int savedRounding = std::fegetround();
    std::fesetround(FE_TONEAREST);
    int aboveDone = above ? 0 : width;
    filterRow(cur, next, channelCount, quantTable, rowStart, rowLength, count, width, dither,
              [&](int col) {
                const int need = std::min(col + 3, width);
                if (aboveDone < need) aboveDone = above->waitFor(need);
                if (col > 0 && col % kPublishEvery == 0) mine.publish(col);
              });
    std::fesetround(savedRounding);
    for (int c = 0; c < channelCount; ++c) {
      for (int k = 0; k < rowLength; ++k)
        channels[c][rowStart + k] = static_cast<uint8_t>(cur[c][k]);
    }
    mine.publish(width);
  });
}

// Filters below this many samples a channel stay on the calling thread.
constexpr int64_t kParallelSamples = int64_t{1} << 16;

}  // namespace

Status filterChannels(std::span<uint8_t* const> channels, int64_t count, int width,
                      const QuantTable& table, bool dither, const Context& context) {
  uint8_t* present[3];
  int n = 0;
  for (uint8_t* channel : channels) {
    if (!channel) continue;
    if (n == 3) return Error(ErrorCode::badArgument, "more than three channels to filter");
    present[n++] = channel;
  }
  try {
    ThreadPool* pool = context.pool;
    if (pool && pool->threads() > 1 && n > 0 && width > 0 && count >= kParallelSamples &&
        count > width) {
      filterChannelsWavefront(*pool, present, n, table.data(), count, width, dither);
    } else {
      filterInOnePass(present, n, table.data(), count, width, dither);
    }
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for allocating a row");
  }
  return {};
}

}  // namespace kx
