// Helpers shared by the colour-reduction tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "reduce/reduce.h"

namespace kx::test {

struct Rgb {
  int r, g, b;
};

// Pixel planes of `width` × `height` holding the colours row by row.
inline PixelPlanes planesOf(int width, int height, const std::vector<Rgb>& colors) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  for (size_t i = 0; i < colors.size(); ++i) {
    planes.data()[3 * i] = static_cast<uint8_t>(colors[i].r);
    planes.data()[3 * i + 1] = static_cast<uint8_t>(colors[i].g);
    planes.data()[3 * i + 2] = static_cast<uint8_t>(colors[i].b);
  }
  return planes;
}

inline HistogramEntry entry(int r, int g, int b, int count = 0) {
  return HistogramEntry{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b),
                        count};
}

// Runs f, expecting it to end the run; returns the status and stores what it
// wrote on stderr.
template <typename F>
int exitStatusOf(F f, std::string* err) {
  testing::internal::CaptureStderr();
  int status = -1;
  try {
    f();
  } catch (const ExitRequest& e) {
    status = e.status;
  }
  *err = testing::internal::GetCapturedStderr();
  return status;
}

}  // namespace kx::test
