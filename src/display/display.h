// Preview window: shows reduced frames in one window for the whole run,
// through the workstation graphics calls of gl.h, which a module loaded on
// demand makes over SDL2 (so that the tools themselves need neither SDL2
// nor the desktop libraries it stands on).
//
// Stands on: common (pixel planes, errors).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "common/planes.h"

namespace kx {

namespace gl {
struct Calls;
}

// The module's name, and the variable that names another file for it.
constexpr const char* kPreviewModule = "kxpreview.so";
constexpr const char* kPreviewModuleVariable = "KX_PREVIEW_MODULE";

class Preview {
 public:
  // Loads the module: the file KX_PREVIEW_MODULE names, else kxpreview.so
  // beside the executable, else the one installed with it. An Error
  // (noDisplay) saying why when it cannot be loaded (no such file, or SDL2
  // missing).
  static Result<std::unique_ptr<Preview>> load();

  // kx_displayImage: shows a frame (3-byte pixels, row 0 at the top of the
  // window). The window is opened at the first frame and sized by it. A
  // frame larger than the screen is scaled down to fit it, keeping its
  // aspect (kx_fitSize, kx_shrinkImage); one that fits is drawn as it is.
  // Frames before the last are drawn without waiting; the last one stays
  // until Escape is pressed, redrawn whenever the window system asks. A
  // maxval other than 255 rescales the samples to 0..255 and leaves the
  // rescaled samples in the planes.
  Status show(PixelPlanes& planes, int width, int height, int maxval, int colors, bool lastFrame);

 private:
  explicit Preview(const gl::Calls* calls) : calls_(calls) {}
  const gl::Calls* calls_;
  int32_t window_ = 0;  // 0 until the window is open
};

// The pixel buffer the preview draws: width × height words, red in bits
// 0-7, green 8-15, blue 16-23, the bottom row of the planes first. Rescales
// (and writes back) as Preview::show does.
Result<std::unique_ptr<uint32_t[]>> kx_packImage(PixelPlanes& planes, int width, int height,
                                                 int maxval);

// The size a width × height frame is shown at on a screen of maxWidth ×
// maxHeight: its own when it fits (or when the screen is unknown, 0), else
// the largest that fits with the same aspect, sides rounded down, at least 1.
void kx_fitSize(int width, int height, int maxWidth, int maxHeight, int* shownWidth,
                int* shownHeight);

// A packed buffer (as kx_packImage makes it) shrunk to toWidth × toHeight, no
// larger than the original: every new pixel is the rounded mean of the
// block of old pixels it covers (columns x × width / toWidth up to
// (x + 1) × width / toWidth, rows likewise, counted from the top). May throw
// std::bad_alloc.
std::unique_ptr<uint32_t[]> kx_shrinkImage(const uint32_t* words, int width, int height,
                                           int toWidth, int toHeight);

}  // namespace kx
