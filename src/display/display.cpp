// Preview window: loads the preview module, packs a frame for its
// workstation graphics calls and shows it, waiting for Escape at the last
// frame of the run.
#include "display/display.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "display/gl.h"

#ifndef KX_PREVIEW_INSTALLED
#define KX_PREVIEW_INSTALLED "../lib/kxreduce"
#endif

namespace kx {

namespace {

std::string sizeOf(int width, int height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

}  // namespace

Result<std::unique_ptr<uint32_t[]>> kx_packImage(PixelPlanes& planes, int width, int height,
                                                 int maxval) {
  // The planes must hold every pixel we are asked to read.
  if (width < 0 || height < 0 || planes.elemSize != 3 || width > planes.width ||
      height > planes.height || (width > 0 && height > 0 && !planes)) {
    return Error(ErrorCode::badArgument, "display: a " + sizeOf(width, height) +
                                             " frame does not fit its " +
                                             sizeOf(planes.width, planes.height) + " pixel planes");
  }
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::unique_ptr<uint32_t[]> words;
  try {
    words = std::make_unique_for_overwrite<uint32_t[]>(count);
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "display: out of memory for the pixel buffer of a " +
                                             sizeOf(width, height) + " frame");
  }
  if (maxval == 0) return Error(ErrorCode::badArgument, "display: max val = 0");

  const SampleScale scale = sampleScale(maxval);
  auto rescale = [&scale](uint8_t& s) { s = scale[s]; };
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
  auto out = std::make_unique_for_overwrite<uint32_t[]>(static_cast<size_t>(toWidth) * toHeight);
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

Result<std::unique_ptr<Preview>> Preview::load() {
  namespace fs = std::filesystem;
  std::vector<std::string> candidates;
  if (const char* named = std::getenv(kPreviewModuleVariable); named && *named) {
    candidates.push_back(named);
  } else {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      for (const fs::path& dir : {self.parent_path(), self.parent_path() / KX_PREVIEW_INSTALLED}) {
        if (fs::exists(dir / kPreviewModule, ec)) candidates.push_back(dir / kPreviewModule);
      }
    }
    if (candidates.empty()) {
      return Error(ErrorCode::noDisplay,
                   std::string("the preview (-d) needs its module ") + kPreviewModule +
                       ", which is neither beside the program nor installed with it (" +
                       kPreviewModuleVariable + " names another file)");
    }
  }
  // RTLD_NOW: a module whose libraries (SDL2 and what it stands on) are
  // missing fails here, not at its first call.
  void* module = dlopen(candidates.front().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    return Error(ErrorCode::noDisplay,
                 std::string("the preview (-d) cannot be shown: ") + dlerror());
  }
  const auto entry = reinterpret_cast<KxGlCallsFunction>(dlsym(module, gl::kCallsSymbol));
  const gl::Calls* calls = entry ? entry() : nullptr;
  if (!calls || calls->version != gl::kCallsVersion) {
    dlclose(module);
    return Error(ErrorCode::noDisplay, "the preview (-d) cannot be shown: " + candidates.front() +
                                           " is not a preview module of this version");
  }
  // The module stays loaded: its window lives until the process ends.
  return std::unique_ptr<Preview>(new Preview(calls));
}

Status Preview::show(PixelPlanes& planes, int width, int height, int maxval, int colors,
                     bool lastFrame) {
  using namespace gl;
  const Calls& gl = *calls_;
  Result<std::unique_ptr<uint32_t[]>> packed = kx_packImage(planes, width, height, maxval);
  if (!packed) return packed.error();
  std::unique_ptr<uint32_t[]> buffer = std::move(*packed);
  // A frame larger than the screen would show only its lower-left part: it
  // is shown whole, smaller. Without a display the screen is unknown (0),
  // nothing is scaled, and opening the window fails as it always did.
  int shownWidth = width, shownHeight = height;
  kx_fitSize(width, height, gl.getgdesc(GD_XPMAX), gl.getgdesc(GD_YPMAX), &shownWidth,
             &shownHeight);
  if (shownWidth != width || shownHeight != height) {
    try {
      buffer = kx_shrinkImage(buffer.get(), width, height, shownWidth, shownHeight);
    } catch (const std::bad_alloc&) {
      return Error(ErrorCode::outOfMemory, "display: out of memory for the pixel buffer of a " +
                                               sizeOf(shownWidth, shownHeight) + " frame");
    }
    width = shownWidth;
    height = shownHeight;
  }

  if (window_ == 0) {
    gl.prefposition(0, width - 1, 0, height - 1);
    const std::string title = std::to_string(colors) + " colors image";
    const int32_t window = gl.winopen(title.c_str());
    if (window == -1) {
      return Error(ErrorCode::noDisplay, "Couldn't open a window to display " + title + "!");
    }
    window_ = window;
    gl.RGBmode();
    gl.gconfig();
    gl.qdevice(ESCKEY);
    // The first wait then draws the picture even if the window system has
    // not asked for it yet.
    gl.qenter(REDRAW, static_cast<int16_t>(window_));
  }

  if (!lastFrame) {
    gl.lrectwrite(0, 0, width - 1, height - 1, buffer.get());
    gl.swapbuffers();
    return {};
  }
  // Events were not read while earlier frames were shown: an Escape pressed
  // then ends this wait at once.
  for (;;) {
    int16_t value;
    const int32_t device = gl.qread(&value);
    if (device == -1) return Error(ErrorCode::noDisplay, gl.why());
    if (device == ESCKEY) break;
    if (device == REDRAW) {
      gl.clear();
      gl.lrectwrite(0, 0, width - 1, height - 1, buffer.get());
      gl.swapbuffers();
    }
  }
  return {};
}

}  // namespace kx
