// Pictures made and decoded by outside tools (PIL, ImageMagick, netpbm) for
// the reader tests, and our images in the same RGBA form.
#pragma once

#include <gtest/gtest.h>

#include "conv/conv_support.h"
#include "imageio/imageio_pvt.h"

namespace kx {

// Any image as 8-bit RGBA, as PIL's convert('RGBA') gives it.
inline Raster rgbaOf(const Image& image) {
  const Image rgb = expandToRgb(image, true);
  return asRgb(Raster{rgb.width, rgb.height, rgb.channels, rgb.samples}, true);
}

// A test picture of width × height with every kind of edge and a gradient
// of alpha, saved by PIL as `save` says (a statement about `im` and `p`).
inline void makePicture(const std::string& path, const std::string& save, int width = 37,
                        int height = 23) {
  python(
      "p, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])\n"
      "im = Image.new('RGBA', (w, h))\n"
      "im.putdata([(x * 255 // w, y * 255 // h, (x * 7 + y * 13) % 256, (x + y) * 255 // (w + h))"
      " for y in range(h) for x in range(w)])\n" +
          save + "\n",
      {path, std::to_string(width), std::to_string(height)});
}

inline std::vector<Image> allFrames(FrameSource& source) {
  std::vector<Image> frames;
  for (Image frame; source.next(frame);) frames.push_back(std::move(frame));
  return frames;
}

// Sets a one-value tag of a TIFF's first IFD in place (tiffset refuses
// the strip tags).
inline void setTiffTag(const std::string& path, int tag, uint32_t value) {
  python(
      "import struct\n"
      "p, tag, value = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])\n"
      "d = bytearray(open(p, 'rb').read())\n"
      "e = '<' if d[:2] == b'II' else '>'\n"
      "ifd = struct.unpack(e + 'I', d[4:8])[0]\n"
      "for at in range(ifd + 2, ifd + 2 + 12 * struct.unpack(e + 'H', d[ifd:ifd + 2])[0], 12):\n"
      "    if struct.unpack(e + 'H', d[at:at + 2])[0] == tag:\n"
      "        short = struct.unpack(e + 'H', d[at + 2:at + 4])[0] == 3\n"
      "        d[at + 8:at + 12] = struct.pack(e + 'HH', value, 0) if short else "
      "struct.pack(e + 'I', value)\n"
      "open(p, 'wb').write(d)\n",
      {path, std::to_string(tag), std::to_string(value)});
}

}  // namespace kx
