// Preview window: packs a frame for the workstation graphics calls and shows
// it, waiting for Escape at the last frame of the run.
#include "display/display.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "display/gl.h"

namespace kx {

std::unique_ptr<uint32_t[]> kx_packImage(PixelPlanes& planes, int width, int height, int maxval) {
  // The planes must hold every pixel we are asked to read.
  if (width < 0 || height < 0 || planes.elemSize != 3 || width > planes.width ||
      height > planes.height || (width > 0 && height > 0 && !planes)) {
    char message[160];
    std::snprintf(message, sizeof message,
                  "display: a %d x %d frame does not fit its %d x %d pixel planes\n", width, height,
                  planes.width, planes.height);
    kx_error(message);
  }
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::unique_ptr<uint32_t[]> words;
  try {
    words = std::make_unique_for_overwrite<uint32_t[]>(count);
  } catch (const std::bad_alloc&) {
    char message[160];
    std::snprintf(message, sizeof message,
                  "display: out of memory for the pixel buffer of a %d x %d frame\n", width,
                  height);
    kx_error(message);
  }
  if (maxval == 0) kx_error("display: max val = 0\n");

  // One double quotient for the whole frame: 100 * (255.0 / 100) falls just
  // below 255 and truncates to 254, as in the picture files written.
  const double scale = 255.0 / maxval;
  auto rescale = [scale](uint8_t& s) { s = static_cast<uint8_t>(static_cast<int>(s * scale)); };
  uint32_t* out = words.get();
  // The rectangle fills from its lower-left corner upward: bottom row first.
  for (int row = height - 1; row >= 0; --row) {
    uint8_t* p = planes[row];
    for (int x = 0; x < width; ++x, p += 3) {
      if (maxval != 255) {
        rescale(p[0]);
        rescale(p[1]);
        rescale(p[2]);
      }
      *out++ = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    }
  }
  return words;
}

void kx_fitSize(int width, int height, int maxWidth, int maxHeight, int* shownWidth,
                int* shownHeight) {
  *shownWidth = width;
  *shownHeight = height;
  if (maxWidth <= 0 || maxHeight <= 0 || (width <= maxWidth && height <= maxHeight)) return;
  // The side that overflows more sets the scale; the ratios are compared as
  // products so that no rounding picks the wrong one.
  if (int64_t{width} * maxHeight >= int64_t{height} * maxWidth) {
    *shownWidth = maxWidth;
    *shownHeight = static_cast<int>(std::max<int64_t>(1, int64_t{height} * maxWidth / width));
  } else {
    *shownHeight = maxHeight;
    *shownWidth = static_cast<int>(std::max<int64_t>(1, int64_t{width} * maxHeight / height));
  }
}

std::unique_ptr<uint32_t[]> kx_shrinkImage(const uint32_t* words, int width, int height,
                                           int toWidth, int toHeight) {
  std::unique_ptr<uint32_t[]> out;
  try {
    out = std::make_unique_for_overwrite<uint32_t[]>(static_cast<size_t>(toWidth) * toHeight);
  } catch (const std::bad_alloc&) {
    kx_error("display: out of memory for the pixel buffer of a " + std::to_string(toWidth) + " x " +
             std::to_string(toHeight) + " frame\n");
  }
  // The words run bottom-up: word row height - 1 - y holds picture row y.
  for (int y = 0; y < toHeight; ++y) {
    const int64_t top = int64_t{y} * height / toHeight, bottom = int64_t{y + 1} * height / toHeight;
    uint32_t* row = out.get() + static_cast<size_t>(toHeight - 1 - y) * toWidth;
    for (int x = 0; x < toWidth; ++x) {
      const int64_t left = int64_t{x} * width / toWidth, right = int64_t{x + 1} * width / toWidth;
      uint64_t sum[3] = {0, 0, 0};
      for (int64_t r = top; r < bottom; ++r) {
        const uint32_t* from = words + static_cast<size_t>(height - 1 - r) * width;
        for (int64_t c = left; c < right; ++c) {
          for (int k = 0; k < 3; ++k) sum[k] += (from[c] >> (8 * k)) & 0xFF;
        }
      }
      const uint64_t n = static_cast<uint64_t>((bottom - top) * (right - left));
      uint32_t word = 0;
      for (int k = 0; k < 3; ++k) word |= static_cast<uint32_t>((sum[k] + n / 2) / n) << (8 * k);
      row[x] = word;
    }
  }
  return out;
}

int kx_displayImage(int* windowHandle, PixelPlanes& planes, int width, int height, int maxval,
                    int colors, int lastFrame) {
  using namespace gl;
  std::unique_ptr<uint32_t[]> buffer = kx_packImage(planes, width, height, maxval);
  // A frame larger than the screen would show only its lower-left part: it
  // is shown whole, smaller. Without a display the screen is unknown (0),
  // nothing is scaled, and opening the window fails as it always did.
  int shownWidth = width, shownHeight = height;
  kx_fitSize(width, height, getgdesc(GD_XPMAX), getgdesc(GD_YPMAX), &shownWidth, &shownHeight);
  if (shownWidth != width || shownHeight != height) {
    buffer = kx_shrinkImage(buffer.get(), width, height, shownWidth, shownHeight);
    width = shownWidth;
    height = shownHeight;
  }

  if (*windowHandle == 0) {
    prefposition(0, width - 1, 0, height - 1);
    char title[64];
    std::snprintf(title, sizeof title, "%d colors image", colors);
    const int32_t window = winopen(title);
    if (window == -1) kx_error(std::string("Couldn't open a window to display ") + title + "!\n");
    *windowHandle = window;
    RGBmode();
    gconfig();
    qdevice(ESCKEY);
    // The first wait then draws the picture even if the window system has
    // not asked for it yet.
    qenter(REDRAW, static_cast<int16_t>(*windowHandle));
  }

  if (!lastFrame) {
    lrectwrite(0, 0, width - 1, height - 1, buffer.get());
    swapbuffers();
    return 1;
  }
  // Events were not read while earlier frames were shown: an Escape pressed
  // then ends this wait at once.
  for (;;) {
    int16_t value;
    const int32_t device = qread(&value);
    if (device == ESCKEY) break;
    if (device == REDRAW) {
      clear();
      lrectwrite(0, 0, width - 1, height - 1, buffer.get());
      swapbuffers();
    }
  }
  return 1;
}

}  // namespace kx
