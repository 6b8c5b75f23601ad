// PICT raster writing: the one raster opcode of a picture we write.
//
// Colour indices (1 component): PackBitsRect (0098)
//   rowBytes | 0x8000  width rounded up to a multiple of 4
//   bounds             the raster's rectangle
//   pixel map          pmVersion 0, packType 0, packSize 0, hRes = vRes =
//                      72 dpi (0x00480000), pixelType 0, pixelSize 8,
//                      cmpCount 1, cmpSize 8, planeBytes 0, pmTable 0,
//                      pmReserved 0
//   colour table       ctSeed 4321, ctFlags 0, ctSize = entries - 1, entries
//                      of value, red, green, blue (16 bits each); without a
//                      palette the 256-entry grey ramp 0x0000, 0x0101, ...
//   srcRect, dstRect   the raster's rectangle; mode 0
//   rows               one byte per pixel, padded with zeros to rowBytes
//
// True colour (3 or 4 components): DirectBitsRect (009A)
//   baseAddr           0x000000FF
//   rowBytes | 0x8000  4 × width
//   bounds, pixel map  as above but packType 4, pixelType 16, pixelSize 32,
//                      cmpCount 3 or 4; no colour table
//   srcRect, dstRect   the raster's rectangle; mode 0
//   rows               component planes of width bytes: alpha (4
//                      components only), red, green, blue
//
// Rows are PackBits-packed with a byte count before each (one byte when
// rowBytes is at most 250, else a word), except when rowBytes is below 8:
// then each row is its first rowBytes bytes, unpacked. A pad byte ends the
// opcode on an even offset.
//
// Refused with error 17: a file not open for writing, component counts other
// than 1, 3 and 4, and rectangles without pixels or whose rows would not fit
// the 15 bits of rowBytes. Error 18: more rows than the raster has.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "pict/pict_pvt.h"

namespace kx {

namespace {

constexpr uint32_t kCtSeed = 4321;

int badParameter() {
  MacSetError(kMacBadParameter, "PictOpenRasterWrite");
  return -1;
}

// Bytes of the row before packing: the component planes, or the indices
// with their padding.
size_t packInputLength(const PictRaster& r) {
  if (r.cmpCount == 3) return 3 * static_cast<size_t>(r.width);
  return static_cast<size_t>(r.rowBytes);
}

// Writes the row held in unpackedRow.
int writeRow(PictFile& pict) {
  PictRaster& r = *pict.raster;
  MacFile& f = *pict.file;
  if (r.flags & kPictPacked) {
    const size_t n = PictPackBits(
        std::span<const uint8_t>(r.unpackedRow.data(), packInputLength(r)), r.fileRow.data());
    r.byteCount = static_cast<int32_t>(n);
    uint8_t count[2];
    size_t countSize = 1;
    if (r.rowBytes > 250) {
      storeBE16(count, static_cast<uint32_t>(n));
      countSize = 2;
    } else {
      count[0] = static_cast<uint8_t>(n);
    }
    if (MacWrite(f, count, countSize) != 0 || MacWrite(f, r.fileRow.data(), n) != 0) return -1;
  } else if (MacWrite(f, r.unpackedRow.data(), static_cast<size_t>(r.rowBytes)) != 0) {
    return -1;
  }
  r.pictureRow += 1;
  r.rasterRow += 1;
  return 0;
}

}  // namespace

int PictOpenRasterWrite(PictFile& pict, const PictRect& rect, int components,
                        const PictColorEntry* table, int entries) {
  const bool invert = components < 0;
  if (invert) components = -components;
  if (table) {
    components = 1;
    if (entries < 2) table = nullptr;
  }
  if (!pict.file || pict.file->mode != 'w') return badParameter();
  if (components != 1 && components != 3 && components != 4) return badParameter();
  const int width = rect.width(), rows = rect.height();
  const int rowBytes = components == 1 ? (width + 3) & ~3 : 4 * width;
  if (width < 1 || rows < 1 || rowBytes > 0x7FFF) return badParameter();

  try {
    pict.raster = std::make_unique<PictRaster>();
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return -1;
  }
  PictRaster& r = *pict.raster;
  r.rowBytes = static_cast<int16_t>(rowBytes);
  r.bounds = r.srcRect = r.dstRect = rect;
  r.hRes = r.vRes = kDpi72;
  r.cmpCount = static_cast<int16_t>(components);
  r.cmpSize = 8;
  r.xOffset = rect.left;
  r.yStart = rect.top;
  r.width = width;
  r.rows = rows;
  r.yEnd = r.yStart + rows;
  r.pictureRow = r.yStart;
  r.rasterRow = 0;
  if (components == 1) {
    r.opcode = 0x98;
    r.planeSkip = rowBytes - width;
    r.pixelSize = 8;
    r.flags = kPictColorTable;
    r.ctSeed = kCtSeed;
  } else {
    r.opcode = 0x9A;
    r.baseAddr = 0xFF;
    r.packType = 4;
    r.pixelType = 16;
    r.pixelSize = 32;
    r.flags = kPictColour;
    if (components == 4) r.flags |= kPictAlphaPlane;
  }
  if (rowBytes >= 8) r.flags |= kPictPacked;
  try {
    r.unpackedRow.assign(static_cast<size_t>(rowBytes), 0);
    // An incompressible row packs to a little more than itself; short rows
    // grow by more than 2 percent.
    if (r.flags & kPictPacked) {
      r.fileRow.assign(std::max(static_cast<size_t>(rowBytes * 1.02),
                                PictPackBitsBound(static_cast<size_t>(rowBytes))),
                       0);
    }
    if (components == 1) {
      if (table) {
        r.colours.assign(table, table + entries);
      } else {
        r.colours.resize(256);
        for (int i = 0; i < 256; ++i) {
          const auto v = static_cast<uint16_t>(i * 65535 / 255.0 + 0.5);
          r.colours[i] = {static_cast<uint16_t>(i), v, v, v};
        }
      }
      r.ctSize = static_cast<int16_t>(r.colours.size() - 1);
    }
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    pict.raster.reset();
    return -1;
  }
  if (components == 1 && !table && invert) PictInvertColours(pict);

  // The count at close covers the opcode and all its data, for the pad byte.
  MacResetIOCount(*pict.file);
  std::vector<uint8_t> record;
  ByteWriter w(record);
  w.u16(static_cast<uint32_t>(r.opcode));
  if (components != 1) w.u32(r.baseAddr);
  w.u16(static_cast<uint32_t>(r.rowBytes) | 0x8000);
  PictRectTo(record, r.bounds);
  w.u16(static_cast<uint16_t>(r.pmVersion));
  w.u16(static_cast<uint16_t>(r.packType));
  w.u32(r.packSize);
  w.u32(r.hRes);
  w.u32(r.vRes);
  w.u16(static_cast<uint16_t>(r.pixelType));
  w.u16(static_cast<uint16_t>(r.pixelSize));
  w.u16(static_cast<uint16_t>(r.cmpCount));
  w.u16(static_cast<uint16_t>(r.cmpSize));
  w.u32(r.planeBytes);
  w.u32(r.pmTable);
  w.u32(r.pmReserved);
  if (components == 1) {
    w.u32(r.ctSeed);
    w.u16(static_cast<uint16_t>(r.ctFlags));
    w.u16(static_cast<uint16_t>(r.ctSize));
    for (const PictColorEntry& e : r.colours) {
      w.u16(e.value);
      w.u16(e.red);
      w.u16(e.green);
      w.u16(e.blue);
    }
  }
  PictRectTo(record, r.srcRect);
  PictRectTo(record, r.dstRect);
  w.u16(static_cast<uint16_t>(r.mode));
  if (MacWrite(*pict.file, record.data(), record.size()) != 0) {
    // Nothing of the raster can follow a record that did not reach the file.
    pict.raster.reset();
    return -1;
  }
  return 0;
}

int PictWritePixelScan(PictFile& pict, const std::array<const uint8_t*, 4>& in, int first,
                       int last) {
  if (!pict.raster || pict.file->mode != 'w' || pict.raster->rasterRow >= pict.raster->rows) {
    MacSetError(kMacBadFunctionCall, "PictWritePixelScan");
    return -1;
  }
  PictRaster& r = *pict.raster;
  const int32_t stride = r.width + r.planeSkip;
  // Only the raster's own columns are taken from the inputs: the padding of
  // an indexed row lies beyond the caller's pixels and is always zero.
  const int64_t end = int64_t{r.xOffset} + r.width;
  int64_t lo = std::max<int64_t>(first, r.xOffset);
  const int64_t hi = std::min<int64_t>(last, end);
  if (hi < lo) lo = hi;

  const uint8_t* planes[4];
  int count = 0;
  if (r.cmpCount == 4) planes[count++] = in[3];
  planes[count++] = in[0];
  if (r.cmpCount != 1) {
    planes[count++] = in[1];
    planes[count++] = in[2];
  }
  for (int j = 0; j < count; ++j) {
    if (!planes[j] && hi > lo) {
      MacSetError(kMacNullPointer, "PictWritePixelScan");
      return -1;
    }
  }
  // Columns outside [first, last) are written as zero.
  std::memset(r.unpackedRow.data(), 0, r.unpackedRow.size());
  for (int j = 0; j < count; ++j) {
    uint8_t* plane = r.unpackedRow.data() + static_cast<size_t>(j) * stride;
    if (hi > lo) std::copy(planes[j] + lo, planes[j] + hi, plane + (lo - r.xOffset));
  }
  return writeRow(pict);
}

int PictRastFinishScanlines(PictFile& pict) {
  PictRaster& r = *pict.raster;
  // Rows never written are blank: white in the grey ramp and in true colour.
  std::memset(r.unpackedRow.data(), (r.flags & kPictInverted) ? 0 : 0xFF, r.unpackedRow.size());
  while (r.rasterRow < r.rows) {
    if (writeRow(pict) != 0) return -1;
  }
  return 0;
}

}  // namespace kx
