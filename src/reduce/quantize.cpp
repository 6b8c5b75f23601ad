// Quantization filter: bit-replicated levels with Floyd-Steinberg error
// diffusion, and the level table that the median cut uses for -Q.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {

int16_t table[256];

void makequanttab(int16_t* quantTable, int bits) {
  // Zero bits would never finish replicating, and more than 8 have no
  // meaning for 8-bit samples.
  if (bits < 1 || bits > 8) {
    kx_error("quantization needs 1 to 8 bits per channel, not " + std::to_string(bits) + "\n");
  }
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
}

void applytab(uint8_t* channel, const int16_t* quantTable, int64_t count, int width,
              int16_t dither) {
  if (!channel || count <= 0 || width <= 0) return;
  std::vector<float> buffer;
  try {
    buffer.assign(channel, channel + count);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for allocating a row\n");
  }
  float* v = buffer.data();
  // Rounding below is to nearest, ties to even, whatever mode the caller set.
  const int savedRounding = std::fegetround();
  std::fesetround(FE_TONEAREST);
  // Shares are computed in double and stored back as float, one rounding
  // per neighbour, as earlier runs did.
  auto spread = [v](int64_t at, int weight, float err) {
    v[at] = static_cast<float>(static_cast<double>(v[at]) +
                               (static_cast<double>(weight) * static_cast<double>(err)) / 16.0);
  };
  int col = 0;  // i mod width, kept as a counter instead of a division per sample
  for (int64_t i = 0; i < count; ++i, col = col + 1 == width ? 0 : col + 1) {
    const float clamped = std::clamp(v[i], 0.0f, 255.0f);
    const float level = static_cast<float>(quantTable[static_cast<int>(std::nearbyint(clamped))]);
    v[i] = level;
    if (!dither) continue;
    const float err = std::clamp(clamped - level, -40.0f, 40.0f);
    if (std::fabs(static_cast<double>(err)) < 0.0001) continue;
    const bool lastInRow = col + 1 == width;
    const bool firstInRow = col == 0;
    if (!lastInRow) spread(i + 1, 7, err);
    if (i + width < count) {
      if (!firstInRow) spread(i + width - 1, 3, err);
      spread(i + width, 5, err);
      if (!lastInRow) spread(i + width + 1, 1, err);
    }
  }
  std::fesetround(savedRounding);
  for (int64_t i = 0; i < count; ++i) channel[i] = static_cast<uint8_t>(v[i]);
}

int quantFloyd(Picture& picture, int bits, int dither) {
  makequanttab(table, bits);
  const int64_t count = int64_t{picture.width} * picture.height;
  for (int c = 0; c < 3; ++c) {
    applytab(picture.channel[c].get(), table, count, picture.width, static_cast<int16_t>(dither));
  }
  return 1;
}

}  // namespace kx
