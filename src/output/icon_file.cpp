// Colour-mapped image file (.icn): one palette index byte per pixel.
//
// Byte layout, all integers unsigned big-endian (W, H: frame width, height):
//
//   offset  size   field
//        0     4   "ICON"                 file magic
//        4     4   "0100"                 file version
//        8     2   1                      header word
//       10    22   0                      reserved
//       32     4   "CICN"                 chunk type; the chunk runs to the end
//       36     4   "0100"                 chunk version
//       40     4   W*H + 28               chunk size: bytes from offset 48 to the end
//       44     2   0, 46 2 1              chunk words
//       48     2   W
//       50     2   H
//       52     2   (W + 7) / 8            bytes of a one-bit mask row
//       54     2   0, 56 4 0, 60 4 0      chunk words
//       64     4   W*H                    index byte count
//       68   W*H   indices                rows top to bottom, each left to right
//   68+W*H     4   0                      end word
//   72+W*H     4   "_EOF"                 end marker
//
// The file is W*H + 76 bytes. The header is written here; kx_reduceColors
// writes the indices and the trailer and commits the file, so a run that
// fails in between leaves no file that looks complete. Sizes that do not fit
// the 16-bit width and height fields are refused.
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "common/bytes.h"
#include "output/output.h"

namespace kx {

std::shared_ptr<OutFile> kx_writeIconeFileHeader(const std::string& name, int width, int height) {
  const std::string path = name + ".icn";
  if (width < 0 || height < 0 || width > 0xFFFF || height > 0xFFFF) {
    kx_error("cannot write " + path + ": a frame of " + std::to_string(width) + " x " +
             std::to_string(height) + " pixels does not fit its header\n");
  }
  std::shared_ptr<OutFile> file;
  try {
    file = OutFile::create(path);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for creating " + path + "\n");
  }
  if (!file) kx_error(std::string(std::strerror(errno)) + " , Can't open " + path + "\n");

  const uint32_t pixels = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
  std::vector<uint8_t> header;
  header.reserve(68);
  ByteWriter w(header);
  w.bytes("ICON", 4);
  w.bytes("0100", 4);
  w.u16(1);
  w.zeros(22);
  w.bytes("CICN", 4);
  w.bytes("0100", 4);
  w.u32(pixels + 28);
  w.u16(0);
  w.u16(1);
  w.u16(static_cast<uint32_t>(width));
  w.u16(static_cast<uint32_t>(height));
  w.u16(static_cast<uint32_t>((width + 7) / 8));
  w.u16(0);
  w.u32(0);
  w.u32(0);
  w.u32(pixels);
  file->write(header.data(), header.size());
  return file;
}

}  // namespace kx
