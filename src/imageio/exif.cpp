// The orientation in an Exif block (JPEG APP1, PNG eXIf, WebP EXIF).
//
// An Exif block is a small TIFF file:
//   offset 0  "II" (little-endian numbers) or "MM" (big-endian)
//          2  42
//          4  offset of IFD0 from the start of the block
//   IFD0   2  entry count n, then n entries of 12 bytes:
//             tag (2), type (2), count (4), value or offset of the values (4)
// Orientation is tag 0x0112, one SHORT (type 3) held in the first two bytes
// of the value field. Only IFD0 is read and no offset is followed beyond it,
// so a chain of IFDs that loops costs nothing; every read is checked against
// the block's length.
#include <algorithm>

#include "common/bytes.h"
#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;

// Numbers of either byte order, from a block whose bounds the caller checked.
struct ExifNumbers {
  bool bigEndian = true;
  uint32_t u16(const uint8_t* p) const {
    return bigEndian ? loadBE16(p) : static_cast<uint32_t>(p[0] | p[1] << 8);
  }
  uint32_t u32(const uint8_t* p) const {
    return bigEndian ? loadBE32(p)
                     : static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
                           static_cast<uint32_t>(p[3]) << 24;
  }
};

}  // namespace

int exifOrientation(std::span<const uint8_t> exif) {
  static constexpr uint8_t kPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (exif.size() >= 6 && std::equal(kPrefix, kPrefix + 6, exif.begin())) exif = exif.subspan(6);
  if (exif.size() < 8) return 1;
  ExifNumbers n;
  if (exif[0] == 'I' && exif[1] == 'I') {
    n.bigEndian = false;
  } else if (exif[0] != 'M' || exif[1] != 'M') {
    return 1;
  }
  const uint8_t* base = exif.data();
  if (n.u16(base + 2) != 42) return 1;
  const uint64_t ifd = n.u32(base + 4);
  if (ifd + 2 > exif.size()) return 1;
  const uint32_t entries = n.u16(base + ifd);
  for (uint64_t i = 0, at = ifd + 2; i < entries && at + 12 <= exif.size(); ++i, at += 12) {
    if (n.u16(base + at) != kOrientationTag) continue;
    if (n.u16(base + at + 2) != kShortType || n.u32(base + at + 4) != 1) return 1;
    const uint32_t value = n.u16(base + at + 8);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

}  // namespace kx
