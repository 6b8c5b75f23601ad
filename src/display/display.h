// Preview window: shows reduced frames in one window for the whole run,
// through the workstation graphics calls of gl.h (over SDL2).
//
// Stands on: common (pixel planes, fatal errors).
#pragma once

#include <cstdint>
#include <memory>

#include "common/fatal.h"
#include "common/planes.h"

namespace kx {

// Shows a frame (3-byte pixels, row 0 at the top of the window). The window
// is opened at the first call, when *windowHandle is 0, and sized by that
// frame. A frame larger than the screen is scaled down to fit it, keeping
// its aspect (kx_fitSize, kx_shrinkImage); one that fits is drawn as it is. Frames before the last
// are drawn without waiting; the last one (lastFrame != 0) stays until Escape is pressed, redrawn
// whenever the window system asks. A maxval other than 255 rescales the samples to 0..255 and
// leaves the rescaled samples in the planes. Returns 1; every failure ends
// the run through kx_error.
int kx_displayImage(int* windowHandle, PixelPlanes& planes, int width, int height, int maxval,
                    int colors, int lastFrame);

// The pixel buffer kx_displayImage draws: width × height words, red in bits
// 0-7, green 8-15, blue 16-23, the bottom row of the planes first. Rescales
// (and writes back) as kx_displayImage does.
std::unique_ptr<uint32_t[]> kx_packImage(PixelPlanes& planes, int width, int height, int maxval);

// The size a width × height frame is shown at on a screen of maxWidth ×
// maxHeight: its own when it fits (or when the screen is unknown, 0), else
// the largest that fits with the same aspect, sides rounded down, at least 1.
void kx_fitSize(int width, int height, int maxWidth, int maxHeight, int* shownWidth,
                int* shownHeight);

// A packed buffer (as kx_packImage makes it) shrunk to toWidth × toHeight, no
// larger than the original: every new pixel is the rounded mean of the
// block of old pixels it covers (columns x × width / toWidth up to
// (x + 1) × width / toWidth, rows likewise, counted from the top).
std::unique_ptr<uint32_t[]> kx_shrinkImage(const uint32_t* words, int width, int height,
                                           int toWidth, int toHeight);

}  // namespace kx
