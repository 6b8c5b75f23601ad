// PICT pictures for kxconv, through the PICT reader (src/pict): the first
// raster of the picture, in any of the containers the Macintosh layer opens
// (plain file, AppleDouble pair with its "%name" header file, AppleSingle).
//
// readPictImage hands back planes bottom-up (the PICT's top row is the
// planes' last row); the image is turned the right way up, so that the PNG
// shows what the PICT shows. Samples come back at the raster's own depth:
// colours of a colour table are 8-bit, a one-bit bitmap gives 0 (black) and
// 1 (white), a 16-bit direct raster 5 bits per channel. They are brought to
// 8 bits with the same rounding as every other source (scaleSample). An
// indexed raster's fourth plane holds its raw pixel values, not alpha, and is
// left out; a direct raster's fourth plane is alpha and is kept.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "fileserver/fileserver.h"
#include "imageio/imageio_pvt.h"
#include "macfile/macfile.h"
#include "pict/pict.h"

namespace kx {

Image readPictFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    throw ConvError(path + ": cannot open: " + std::strerror(errno));
  }
  // Reading a picture never writes beside it: without the file server's
  // ancillary file, the picture has no type and creator.
  kx_ancillaryLookupsOnlyRead(true);
  const int bits = readPictSampleBits(path);
  int16_t width = 0, height = 0;
  int colorCount = 0;  // the colour table is wanted: it tells indices from alpha
  Colormap colorTable;
  PictPlanes planes;
  std::string failure;
  const int result =
      readPictImage(path, &width, &height, &colorCount, &colorTable, planes, nullptr, &failure);
  // The reader's depth warning has no line end of its own.
  if (bits != 8 && result == 0) kx_print(Stream::Err, "\n");
  if (result != 0) {
    const std::string why = failure.empty() ? MacGetError() : failure;
    throw ConvError(path + ": cannot read the PICT picture (" + why + ")");
  }
  checkGeometry(path, width, height, "PICT");
  if (!planes[0]) throw ConvError(path + ": the PICT picture has no pixels");

  Image image;
  image.width = width;
  image.height = height;
  const bool grey = !planes[1] || !planes[2];
  const bool alpha = !grey && colorCount == 0 && planes[3];
  image.channels = grey ? 1 : alpha ? 4 : 3;
  image.samples.resize(image.pixelCount() * image.channels);
  const uint32_t maxval = (uint32_t{1} << bits) - 1;
  const size_t w = static_cast<size_t>(width);
  for (int y = 0; y < height; ++y) {
    const size_t from = static_cast<size_t>(height - 1 - y) * w;
    uint8_t* out = image.samples.data() + static_cast<size_t>(y) * w * image.channels;
    for (size_t x = 0; x < w; ++x) {
      for (int c = 0; c < image.channels; ++c) {
        const uint8_t v = planes[c][from + x];
        // Alpha planes exist only in 32-bit rasters, whose samples are 8-bit.
        *out++ = bits == 8 ? v : scaleSample(std::min<uint32_t>(v, maxval), maxval);
      }
    }
  }
  return image;
}

}  // namespace kx
