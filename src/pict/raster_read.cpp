// PICT raster reading: the six raster opcodes BitsRect (90), BitsRgn (91),
// PackBitsRect (98), PackBitsRgn (99), DirectBitsRect (9A), DirectBitsRgn
// (9B), delivered row by row as 8-bit samples.
//
// Record of a raster opcode (big-endian):
//
//   baseAddr      4   direct opcodes only
//   rowBytes      2   bit 15 set: a pixel map follows; clear: a bitmap
//   bounds        8   top, left, bottom, right
//   pixel map    36   pixel maps only: pmVersion 2, packType 2, packSize 4,
//                     hRes 4, vRes 4, pixelType 2, pixelSize 2, cmpCount 2,
//                     cmpSize 2, planeBytes 4, pmTable 4, pmReserved 4
//   colour table      indexed pixel maps only: ctSeed 4, ctFlags 2, ctSize 2,
//                     then ctSize + 1 entries of value, red, green, blue
//                     (16 bits each); entry i is the colour of pixel value i
//   srcRect       8
//   dstRect       8
//   mode          2
//   mask region       Rgn opcodes only: a size word that counts itself, data
//   rows              bounds height rows. Unpacked (packType 1, or rowBytes
//                     below 8): rowBytes bytes each; packType 2: rowBytes ×
//                     3/4 bytes each (32-bit pixels without their pad byte);
//                     otherwise a byte count (one byte when rowBytes <= 250,
//                     else a word) and the PackBits data of the row, in
//                     16-bit units for packType 3, in bytes otherwise.
//
// Rows: bitmaps hold one bit per pixel (set = black); indexed maps 1, 2, 4
// or 8 bits per pixel (other depths expand nothing: the picture keeps its
// background there); direct maps 32-bit pixels interleaved (pad or alpha,
// red, green, blue; packType 2 drops the pad) or, for packType 4, component
// planes of bounds-width bytes each (alpha when cmpCount is 4, red, green,
// blue), and pixels of every other size are read as 16-bit (x, then 5 bits
// each of red, green, blue).
//
// Refused with error 11 (bad value): rows or widths below zero, colour
// tables of no entries, rows too short for the pixels the raster claims,
// stored counts larger than any packed form of a row, rows that unpack past
// rowBytes, and pixel values beyond the colour table: each would read or
// write outside a buffer. Pixels placed outside the picture frame are
// clipped.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "pict/pict_pvt.h"

namespace kx {

namespace {

bool isRasterOpcode(int32_t op) {
  return op == 0x90 || op == 0x91 || op == 0x98 || op == 0x99 || op == 0x9A || op == 0x9B;
}

int badValue(PictFile& pict) {
  MacSetError(kMacBadValue, pict.name());
  return -1;
}

template <typename T>
bool allocate(std::vector<T>& v, size_t n) {
  try {
    v.assign(n, T{});
    return true;
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return false;
  }
}

bool expandableDepth(int depth) {
  return depth == 1 || depth == 2 || depth == 4 || depth == 8;
}

// Bytes a row must hold for the pixels the raster expands; -1 when its
// layout cannot hold them.
int64_t bytesNeeded(const PictRaster& r) {
  const int64_t w = r.width;
  if (r.flags & kPictBitmap) return (w + 7) / 8;
  if (r.flags & kPictColorTable) {
    // Other depths expand nothing: the picture keeps its background.
    const int d = r.cmpSize;
    return expandableDepth(d) ? (w * d + 7) / 8 : 0;
  }
  if (r.pixelSize != 32) return 2 * w;  // every other size is read as 16-bit
  if (r.packType == 4) {
    if (r.planeSkip < 0) return -1;  // planes narrower than the pixels taken
    return int64_t{(r.flags & kPictAlphaPlane) ? 4 : 3} * (w + r.planeSkip);
  }
  return w * (r.packType == 2 ? 3 : 4);
}

// Skips n rows of the current opcode as the reader would read them.
int skipRows(PictFile& pict, int64_t n) {
  const PictRaster& r = *pict.raster;
  if (r.flags & kPictPacked) return PictSkipRasterRows(pict, n, r.rowBytes, 0);
  return PictSkip(pict, n * r.byteCount);
}

void fillBackground(const PictFile& pict, const std::array<uint8_t*, 4>& out, int* first,
                    int* last) {
  const PictRaster& r = *pict.raster;
  const int value = PictBackgroundValue(r);
  const int planes = PictBackgroundPlanes(r);
  for (int p = 0; p < planes; ++p) {
    if (out[p]) std::memset(out[p], value, static_cast<size_t>(pict.width));
  }
  *first = 0;
  *last = (r.flags & kPictInverted) ? 0 : pict.width;
}

// Expands raster pixels [k0, k1) of the row `src` to picture columns
// xOffset + k. False when a pixel value has no colour-table entry.
bool expandRow(const PictRaster& r, const uint8_t* src, const std::array<uint8_t*, 4>& out, int k0,
               int k1) {
  // Raster pixel k goes to column x + k; k0 and k1 keep that inside the row.
  const ptrdiff_t x = r.xOffset;
  uint8_t* const p0 = out[0];
  uint8_t* const p1 = out[1];
  uint8_t* const p2 = out[2];
  uint8_t* const p3 = out[3];
  if (r.flags & kPictBitmap) {
    if (!p0) return true;
    // A set bit is black (0) unless the output is inverted.
    const uint8_t set = (r.flags & kPictInverted) ? 1 : 0;
    for (int k = k0; k < k1; ++k) {
      const int bit = (src[k >> 3] >> (7 - (k & 7))) & 1;
      p0[x + k] = bit ? set : static_cast<uint8_t>(1 - set);
    }
    return true;
  }
  if (r.flags & kPictColorTable) {
    const int d = r.cmpSize;
    if (!expandableDepth(d)) return true;
    const unsigned mask = (1u << d) - 1;
    const size_t entries = r.colours.size();
    const bool colour = (r.flags & kPictColour) != 0;
    for (int k = k0; k < k1; ++k) {
      const size_t bit = static_cast<size_t>(k) * d;
      const unsigned v = (src[bit >> 3] >> (8 - d - (bit & 7))) & mask;
      if (v >= entries) return false;
      const PictColorEntry& e = r.colours[v];
      // The entries hold 8-bit components (complemented to 16 bits when
      // inverted): the low byte is the sample.
      if (p0) p0[x + k] = static_cast<uint8_t>(e.red);
      if (colour) {
        if (p1) p1[x + k] = static_cast<uint8_t>(e.green);
        if (p2) p2[x + k] = static_cast<uint8_t>(e.blue);
        if (p3) p3[x + k] = static_cast<uint8_t>(v);
      }
    }
    return true;
  }
  const bool alpha = (r.flags & kPictAlphaPlane) != 0;
  if (r.pixelSize == 32 && r.packType == 4) {
    const size_t stride = static_cast<size_t>(r.width) + r.planeSkip;
    const uint8_t* plane = src;
    if (alpha) {
      if (p3) std::copy(plane + k0, plane + k1, p3 + (x + k0));
      plane += stride;
    }
    uint8_t* const rgb[3] = {p0, p1, p2};
    for (uint8_t* dst : rgb) {
      if (dst) std::copy(plane + k0, plane + k1, dst + (x + k0));
      plane += stride;
    }
    return true;
  }
  if (r.pixelSize == 32) {
    // Interleaved pixels: pad (or alpha), red, green, blue; packType 2 drops
    // the pad byte.
    const int bpp = r.packType == 2 ? 3 : 4;
    const int lead = bpp - 3;
    for (int k = k0; k < k1; ++k) {
      const uint8_t* px = src + static_cast<size_t>(k) * bpp;
      if (alpha && p3) p3[x + k] = px[0];
      if (p0) p0[x + k] = px[lead];
      if (p1) p1[x + k] = px[lead + 1];
      if (p2) p2[x + k] = px[lead + 2];
    }
    return true;
  }
  // 16-bit pixels: three 5-bit components, delivered unscaled.
  for (int k = k0; k < k1; ++k) {
    const unsigned w = loadBE16(src + 2 * static_cast<size_t>(k));
    if (p0) p0[x + k] = static_cast<uint8_t>((w >> 10) & 31);
    if (p1) p1[x + k] = static_cast<uint8_t>((w >> 5) & 31);
    if (p2) p2[x + k] = static_cast<uint8_t>(w & 31);
  }
  return true;
}

// Whether the pixel at column c is background; a plane the test needs but
// the caller did not pass counts as not background.
bool isBackground(const PictRaster& r, const std::array<uint8_t*, 4>& out, int c) {
  if (r.flags & (kPictBitmap | kPictColorTable)) return out[0] && out[0][c] == 0;
  if (r.flags & kPictAlphaPlane) return out[3] && out[3][c] == 0;
  return out[0] && out[1] && out[2] && out[0][c] == 0 && out[1][c] == 0 && out[2][c] == 0;
}

}  // namespace

int PictBackgroundValue(const PictRaster& r) {
  if (r.flags & kPictInverted) return 0;
  if (r.flags & kPictColorTable) return 255;
  if (r.cmpSize >= 1 && r.cmpSize <= 8) return (1 << r.cmpSize) - 1;
  return 255;
}

int PictBackgroundPlanes(const PictRaster& r) {
  if (r.flags & kPictBitmap) return 1;
  if ((r.flags & kPictColorTable) && !(r.flags & kPictColour)) return 1;
  return 3;
}

int PictOpenRasterRead(PictFile& pict) {
  try {
    pict.raster = std::make_unique<PictRaster>();
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return -1;
  }
  int32_t opcode;
  for (;;) {
    opcode = PictGetNextOpcode(pict);
    if (opcode == -1 || opcode == kPictEndOpcode) break;
    if (opcode >= 0x90 && opcode <= 0x9F) {
      if (PictRastOpenOpcode(pict) == 0) return 1;
      opcode = -1;
      break;
    }
  }
  pict.raster.reset();
  return opcode == kPictEndOpcode ? 0 : -1;
}

int PictRastOpenOpcode(PictFile& pict) {
  const int32_t opcode = pict.currentOpcode;
  if (!pict.raster || !isRasterOpcode(opcode)) {
    MacSetError(kMacBadParameter, "SetRasterSize");
    return -1;
  }
  PictRaster& r = *pict.raster;
  const int32_t pictureRow = r.pictureRow;
  r = PictRaster{};  // a new band starts from a clean record
  r.pictureRow = pictureRow;
  r.opcode = opcode;
  MacFile& f = *pict.file;
  const bool direct = (opcode & 2) != 0;

  if (direct && !PictReadU32(f, r.baseAddr)) return -1;
  uint8_t head[10];
  if (MacRead(f, head, sizeof head) != 0) return -1;
  const uint16_t rowBytes = loadBE16(head);
  r.rowBytes = static_cast<int16_t>(rowBytes & 0x7FFF);
  r.bounds = PictRectFrom(head + 2);
  if (rowBytes & 0x8000) {
    uint8_t map[36];
    if (MacRead(f, map, sizeof map) != 0) return -1;
    r.pmVersion = static_cast<int16_t>(loadBE16(map));
    r.packType = static_cast<int16_t>(loadBE16(map + 2));
    r.packSize = loadBE32(map + 4);
    r.hRes = loadBE32(map + 8);
    r.vRes = loadBE32(map + 12);
    r.pixelType = static_cast<int16_t>(loadBE16(map + 16));
    r.pixelSize = static_cast<int16_t>(loadBE16(map + 18));
    r.cmpCount = static_cast<int16_t>(loadBE16(map + 20));
    r.cmpSize = static_cast<int16_t>(loadBE16(map + 22));
    r.planeBytes = loadBE32(map + 24);
    r.pmTable = loadBE32(map + 28);
    r.pmReserved = loadBE32(map + 32);
    if (direct) {
      r.flags |= kPictColour;
      if (r.pixelSize == 32 && r.cmpCount == 4 && r.packType != 2) r.flags |= kPictAlphaPlane;
    } else {
      r.flags |= kPictColorTable;
      uint8_t table[8];
      if (MacRead(f, table, sizeof table) != 0) return -1;
      r.ctSeed = loadBE32(table);
      r.ctFlags = static_cast<int16_t>(loadBE16(table + 4));
      r.ctSize = static_cast<int16_t>(loadBE16(table + 6));
      if (r.ctSize < 0) return badValue(pict);
      const size_t entries = static_cast<size_t>(r.ctSize) + 1;
      std::vector<uint8_t> raw;
      if (!allocate(raw, entries * 8) || !allocate(r.colours, entries)) return -1;
      if (MacRead(f, raw.data(), raw.size()) != 0) return -1;
      for (size_t i = 0; i < entries; ++i) {
        const uint8_t* e = raw.data() + 8 * i;
        r.colours[i] = {loadBE16(e), loadBE16(e + 2), loadBE16(e + 4), loadBE16(e + 6)};
        if (r.colours[i].red != r.colours[i].green || r.colours[i].red != r.colours[i].blue) {
          r.flags |= kPictColour;
        }
      }
      for (PictColorEntry& e : r.colours) {
        e.red >>= 8;
        e.green >>= 8;
        e.blue >>= 8;
      }
    }
  } else {
    r.flags |= kPictBitmap;
    r.hRes = r.vRes = kDpi72;
    r.pixelSize = r.cmpCount = r.cmpSize = 1;
  }

  uint8_t rects[18];
  if (MacRead(f, rects, sizeof rects) != 0) return -1;
  r.srcRect = PictRectFrom(rects);
  r.dstRect = PictRectFrom(rects + 8);
  r.mode = static_cast<int16_t>(loadBE16(rects + 16));
  if (opcode & 1) {
    // The mask region's size counts itself; a size below 2 skips nothing.
    uint16_t size;
    if (!PictReadU16(f, size)) return -1;
    if (PictSkip(pict, int64_t{size} - 2) != 0) return -1;
  }

  if (r.packType == 1 || r.rowBytes < 8) {
    r.byteCount = r.rowBytes;
  } else if (r.packType == 2) {
    r.byteCount = static_cast<int32_t>(r.rowBytes * 0.75);
  } else {
    r.flags |= kPictPacked;
  }

  const PictRect& frame = pict.picFrame;
  r.xOffset = r.bounds.left - frame.left + r.dstRect.left - r.srcRect.left;
  r.yStart = r.bounds.top - frame.top + r.dstRect.top - r.srcRect.top;
  r.width = r.dstRect.width();
  r.planeSkip = r.bounds.width() - r.width;
  r.rows = r.bounds.height();
  r.yEnd = r.yStart + r.rows;
  r.rasterRow = 0;

  // Every pixel the raster claims must lie inside the row it is read from.
  const int64_t needed = bytesNeeded(r);
  const int64_t available = (r.flags & kPictPacked) ? r.rowBytes : r.byteCount;
  if (r.rows < 0 || r.width < 0 || needed < 0 || needed > available) {
    return badValue(pict);
  }
  // A packed row never needs more than twice its unpacked size: every flag
  // byte yields at least one byte of the row.
  const size_t fileRowSize =
      (r.flags & kPictPacked) ? 2 * static_cast<size_t>(r.rowBytes) + 2 : r.byteCount;
  if (!allocate(r.fileRow, fileRowSize)) return -1;
  if ((r.flags & kPictPacked) && !allocate(r.unpackedRow, r.rowBytes)) return -1;
  r.flags &= ~kPictInverted;
  return 0;
}

int PictReadPixelScan(PictFile& pict, const std::array<uint8_t*, 4>& out, int* first, int* last) {
  if (!pict.raster) {
    MacSetError(kMacNullPointer, "PictReadPixelScan");
    return -1;
  }
  PictRaster* r = pict.raster.get();
  const int32_t row = r->pictureRow;
  if (row == 0) fillBackground(pict, out, first, last);
  if (row < r->yStart || row > r->yEnd) {
    r->pictureRow += 1;
    return 0;
  }
  if (row == r->yEnd) {
    // The band is used up: the image goes on only in a next band of the same
    // opcode that starts where this one ends and reads the same way.
    const uint32_t flags = r->flags;
    const int32_t opcode = r->opcode;
    const int32_t yEnd = r->yEnd;
    if (PictRastCloseOpcode(pict) != 0) return -1;
    bool continues = false;
    if (PictGetNextOpcode(pict) == opcode && PictRastOpenOpcode(pict) == 0) {
      if (flags & kPictInverted) PictInvertColours(pict);
      continues = r->flags == flags && r->yStart == yEnd;
    }
    r->pictureRow = row;
    if (MacError() != 0) return -1;
    if (!continues) {
      fillBackground(pict, out, first, last);
      // Nothing more is read from this raster: no later row lies in it.
      r->yStart = r->yEnd = row;
      r->pictureRow += 1;
      return 0;
    }
  }
  // Rows above the frame (a raster that starts above it) are passed over.
  const int64_t target = int64_t{row} - r->yStart;
  if (r->rasterRow < target) {
    if (skipRows(pict, target - r->rasterRow) != 0) return -1;
    r->rasterRow = static_cast<int32_t>(target);
  }

  MacFile& f = *pict.file;
  const bool packed = (r->flags & kPictPacked) != 0;
  if (packed) {
    if (r->rowBytes > 250) {
      uint16_t count;
      if (!PictReadU16(f, count)) return -1;
      r->byteCount = count;
    } else {
      uint8_t count;
      if (!PictReadU8(f, count)) return -1;
      r->byteCount = count;
    }
    if (static_cast<size_t>(r->byteCount) > r->fileRow.size()) return badValue(pict);
  }
  if (MacRead(f, r->fileRow.data(), static_cast<size_t>(r->byteCount)) != 0) return -1;
  r->pictureRow += 1;
  r->rasterRow += 1;
  const uint8_t* src = r->fileRow.data();
  if (packed) {
    const int64_t n = PictUnpackBits(std::span<const uint8_t>(r->fileRow.data(), r->byteCount),
                                     std::span<uint8_t>(r->unpackedRow), r->packType == 3 ? 2 : 1);
    if (n < 0) return badValue(pict);
    // A short row reads as zeros past its end, never as the previous row.
    std::fill(r->unpackedRow.begin() + n, r->unpackedRow.end(), 0);
    src = r->unpackedRow.data();
  }

  const int width = pict.width;
  if (r->flags & kPictInverted) {
    *first = static_cast<int>(std::clamp<int64_t>(r->xOffset, 0, width));
    *last = static_cast<int>(std::clamp<int64_t>(int64_t{r->xOffset} + r->width, 0, width));
  } else {
    *first = 0;
    *last = width;
  }
  // Clip the raster's pixels to the picture's columns.
  const int k0 = static_cast<int>(std::clamp<int64_t>(-int64_t{r->xOffset}, 0, r->width));
  const int k1 = static_cast<int>(std::clamp<int64_t>(int64_t{width} - r->xOffset, k0, r->width));
  if (k1 > k0 && !expandRow(*r, src, out, k0, k1)) return badValue(pict);

  while (*first < *last && isBackground(*r, out, *first)) ++*first;
  while (*first < *last && isBackground(*r, out, *last - 1)) --*last;
  return 0;
}

void PictInvertColours(PictFile& pict) {
  if (!pict.raster) return;
  PictRaster& r = *pict.raster;
  if (r.flags & kPictInverted) return;
  r.flags |= kPictInverted;
  if (r.flags & kPictColorTable) {
    for (PictColorEntry& e : r.colours) {
      e.red = static_cast<uint16_t>(~e.red);
      e.green = static_cast<uint16_t>(~e.green);
      e.blue = static_cast<uint16_t>(~e.blue);
    }
  }
}

int PictRastCloseOpcode(PictFile& pict) {
  PictRaster& r = *pict.raster;
  const int64_t n = int64_t{r.rows} - r.rasterRow;
  int result = 0;
  if (n > 0) {
    result = skipRows(pict, n);
    r.pictureRow += static_cast<int32_t>(n);
    r.rasterRow += static_cast<int32_t>(n);
  }
  // Only the raster's own opcode is consumed here: after a band change the
  // walker may already hold the next opcode (or the sticky end).
  if (pict.currentOpcode == r.opcode) pict.currentOpcode = kPictNoOpcode;
  return result;
}

int PictCloseRaster(PictFile& pict) {
  if (!pict.raster) {
    MacSetError(kMacNullPointer, "PictCloseRaster");
    return -1;
  }
  int result;
  if (pict.file->mode == 'r') {
    result = PictRastCloseOpcode(pict);
  } else {
    result = PictRastFinishScanlines(pict);
    // The opcode's data ends on an even offset.
    if (pict.version >= 2 && (MacGetIOCount(*pict.file) & 1)) {
      const uint8_t pad = 0;
      if (MacWrite(*pict.file, &pad, 1) != 0) result = -1;
    }
  }
  pict.raster.reset();
  return result;
}

}  // namespace kx
