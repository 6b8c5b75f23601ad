// The pixel limit of the readers and the texts of their refusals.
#include "common/pixel_limit.h"

#include <cstdlib>
#include <limits>
#include <mutex>

namespace kx {

namespace {

// Written under gReadOnce (and by kx_setMaxPixels, before any reading
// thread starts); read-only afterwards.
std::once_flag gReadOnce;
int64_t gLimit = kDefaultMaxPixels;
std::string gProblem;

void readEnvironment() {
  std::call_once(gReadOnce, [] {
    const char* text = std::getenv(kMaxPixelsVariable);
    int64_t limit = kDefaultMaxPixels;
    if (text && *text && kx_parseMaxPixels(text, &limit, &gProblem)) gLimit = limit;
  });
}

}  // namespace

bool kx_parseMaxPixels(const char* text, int64_t* limit, std::string* problem) {
  const std::string shown = std::string(kMaxPixelsVariable) + "=" + text;
  int64_t value = 0;
  bool digits = *text != '\0';
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') {
      digits = false;
      break;
    }
    const int d = *p - '0';
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    value = value > (kMax - d) / 10 ? kMax : value * 10 + d;
  }
  if (!digits || value < 1) {
    *problem = shown + " is not a number of pixels (a whole number from 1 up, such as " +
               std::to_string(kDefaultMaxPixels) + ")";
    return false;
  }
  *limit = value;
  return true;
}

int64_t kx_maxPixels() {
  readEnvironment();
  return gLimit;
}

std::string kx_maxPixelsProblem() {
  readEnvironment();
  return gProblem;
}

void kx_setMaxPixels(int64_t limit) {
  readEnvironment();
  gProblem.clear();
  gLimit = limit;
}

bool kx_overPixelLimit(int64_t width, int64_t height) {
  // Sides are at most 32767 in every format we read: the product fits.
  return width > 0 && height > 0 && width * height > kx_maxPixels();
}

std::string kx_readRefusalText(const std::string& file, const ReadRefusal& refusal) {
  switch (refusal.cause) {
    case ReadRefusal::Cause::tooLarge:
      return file + ": the picture is " + std::to_string(refusal.width) + " x " +
             std::to_string(refusal.height) + " pixels, over the limit of " +
             std::to_string(kx_maxPixels()) + " pixels (set " + kMaxPixelsVariable +
             " to change it)";
    case ReadRefusal::Cause::outOfMemory:
      return file + ": out of memory";
    case ReadRefusal::Cause::none:
      break;
  }
  return {};
}

}  // namespace kx

namespace kx {

Status checkPictureSize(const std::string& file, int64_t width, int64_t height,
                        const char* format) {
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width < 1 || height < 1) {
    return Error(ErrorCode::badFile, file + ": the picture is empty (" + size + ")");
  }
  if (width > kMaxPictureSide || height > kMaxPictureSide) {
    const std::string side = std::to_string(kMaxPictureSide);
    if (format) {
      return Error(ErrorCode::badFile, file + ": the " + format + " picture is " + size + "; " +
                                           format + " pictures are read up to " + side +
                                           " pixels on a side");
    }
    return Error(ErrorCode::badFile,
                 file + ": the picture is " + size + "; a .pic picture holds at most " +
                     std::to_string(kMaxPictureSide) + " x " + std::to_string(kMaxPictureSide));
  }
  if (kx_overPixelLimit(width, height)) {
    return Error(
        ErrorCode::tooLarge,
        kx_readRefusalText(file, ReadRefusal{ReadRefusal::Cause::tooLarge, width, height}));
  }
  return {};
}

}  // namespace kx
