// Colour-mapped image file (.icn): one palette index byte per pixel.
//
// Byte layout, all integers unsigned big-endian (W, H: frame width, height):
//
//   offset  size   field
//        0     4   "ICON"                 file magic (checked)
//        4     4   "0100"                 file version
//        8     2   1                      header word
//       10    22   0                      reserved
//       32     4   "CICN"                 chunk type (checked); the chunk runs to the end
//       36     4   "0100"                 chunk version
//       40     4   W*H + 28               chunk size: bytes from offset 48 to the end (checked)
//       44     2   0, 46 2 1              chunk words
//       48     2   W                      (read: 1 to 32767, within the pixel limit)
//       50     2   H                      (read: likewise)
//       52     2   (W + 7) / 8            bytes of a one-bit mask row (checked)
//       54     2   0, 56 4 0, 60 4 0      chunk words
//       64     4   W*H                    index byte count (checked)
//       68   W*H   indices                rows top to bottom, each left to right
//   68+W*H     4   0                      end word (checked)
//   72+W*H     4   "_EOF"                 end marker (checked)
//
// The file is W*H + 76 bytes; a file of any other length is refused. The
// palette is not in the file: it is the colormap saved beside it or the one
// the run imposed. Sizes that do not fit the 16-bit width and height fields
// are not written.
#include <cerrno>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "common/outfile.h"
#include "common/pixel_limit.h"
#include "output/output.h"

namespace kx {

Result<IconFile> IconFile::create(const std::string& name, int width, int height) {
  const std::string path = name + ".icn";
  if (width < 0 || height < 0 || width > 0xFFFF || height > 0xFFFF) {
    return Error(ErrorCode::badArgument,
                 "cannot write " + path + ": a frame of " + std::to_string(width) + " x " +
                     std::to_string(height) + " pixels does not fit its header");
  }
  try {
    std::unique_ptr<OutFile> file = OutFile::create(path);
    if (!file) {
      const int error = errno;
      return Error(ErrorCode::cannotOpen,
                   std::string(std::strerror(error)) + " , Can't open " + path, error);
    }
    const uint32_t pixels = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    std::vector<uint8_t> header;
    header.reserve(kIconHeaderBytes);
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
    return IconFile(std::move(file), pixels);
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for creating " + path);
  }
}

Status IconFile::finish(std::span<const uint8_t> indices) {
  if (indices.size() != pixels_) {
    file_->abandon();
    return Error(ErrorCode::badArgument,
                 "cannot write " + file_->path() + ": " + std::to_string(indices.size()) +
                     " indices for a frame of " + std::to_string(pixels_) + " pixels");
  }
  if (!indices.empty()) file_->write(indices);
  file_->u32(0);
  file_->text("_EOF");
  if (!file_->commit()) {
    const int error = file_->error() ? file_->error() : errno;
    return Error(ErrorCode::cannotWrite,
                 std::string(std::strerror(error)) + " , Can't write " + file_->path(), error);
  }
  return {};
}

Status writeIconFile(const std::string& name, int width, int height,
                     std::span<const uint8_t> indices) {
  Result<IconFile> file = IconFile::create(name, width, height);
  if (!file) return file.error();
  return file->finish(indices);
}

Result<uint64_t> iconFileLength(const std::string& file, std::span<const uint8_t> header) {
  if (header.size() < kIconHeaderBytes) {
    return Error(ErrorCode::badFile, file + ": not a colour-mapped image file (only " +
                                         std::to_string(header.size()) + " bytes)");
  }
  const uint8_t* p = header.data();
  if (std::memcmp(p, "ICON", 4) != 0 || std::memcmp(p + 32, "CICN", 4) != 0) {
    return Error(ErrorCode::badFile,
                 file + ": not a colour-mapped image file (no ICON/CICN magic)");
  }
  const uint32_t width = loadBE16(p + 48), height = loadBE16(p + 50);
  if (Status size = checkPictureSize(file, width, height); !size) return size.error();
  const uint64_t pixels = uint64_t{width} * height;
  if (loadBE32(p + 40) != pixels + 28 || loadBE32(p + 64) != pixels ||
      loadBE16(p + 52) != (width + 7) / 8) {
    return Error(ErrorCode::badFile, file + ": damaged header (its sizes do not match " +
                                         std::to_string(width) + " x " + std::to_string(height) +
                                         " pixels)");
  }
  return pixels + kIconHeaderBytes + kIconTrailerBytes;
}

Result<IconImage> decodeIcon(const std::string& file, std::span<const uint8_t> bytes) {
  if (bytes.size() < kIconHeaderBytes + kIconTrailerBytes) {
    return Error(ErrorCode::badFile, file + ": not a colour-mapped image file (only " +
                                         std::to_string(bytes.size()) + " bytes)");
  }
  Result<uint64_t> expected = iconFileLength(file, bytes);
  if (!expected) return expected.error();
  const uint8_t* p = bytes.data();
  if (bytes.size() != *expected) {
    return Error(ErrorCode::badFile, file + ": the file has " + std::to_string(bytes.size()) +
                                         " bytes; " + std::to_string(loadBE16(p + 48)) + " x " +
                                         std::to_string(loadBE16(p + 50)) + " pixels need " +
                                         std::to_string(*expected));
  }
  const uint8_t* end = p + (*expected - kIconTrailerBytes);
  if (loadBE32(end) != 0 || std::memcmp(end + 4, "_EOF", 4) != 0) {
    return Error(ErrorCode::badFile,
                 file + ": the file does not end with its end marker (0, \"_EOF\")");
  }
  IconImage icon;
  icon.width = static_cast<int>(loadBE16(p + 48));
  icon.height = static_cast<int>(loadBE16(p + 50));
  icon.indices.assign(p + kIconHeaderBytes, end);
  return icon;
}

}  // namespace kx
