// The Exif orientation parser on untrusted blocks (JPEG APP1, PNG eXIf, WebP
// EXIF): every block gives an orientation of 1 to 8, and the pixels turned
// by it keep their count.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int orientation = kx::exifOrientation({data, size});
  if (orientation < 1 || orientation > 8) __builtin_trap();
  kx::Image image;
  image.width = 3;
  image.height = 2;
  image.channels = 2;
  image.samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  image.metadata.orientation = orientation;
  kx::orientUpright(image);
  kxfuzz::seeImage(image);
  if (image.pixelCount() != 6 || image.samples.size() != 12 || image.metadata.orientation != 1)
    __builtin_trap();
  return 0;
}
