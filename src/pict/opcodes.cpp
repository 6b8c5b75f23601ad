// PICT framing and the opcode walker.
//
// Layout of the picture data (the data fork; offsets from its first byte,
// every number big-endian):
//
//   0    512  preamble, never read. We write "KX_PICT", a zero byte, then
//             zeros up to 512.
//   512    2  picSize (0 in what we write; never trusted)
//   514    8  picFrame: top, left, bottom, right (signed 16-bit)
//   522       the opcode stream
//
// Version 1 streams start with the bytes 11 01; their opcodes are single
// bytes and their data is not padded. Version 2 streams start with the words
// 0011 02FF and the header opcode 0C00 with 24 bytes:
//
//   0  2  version: -1 (version 2) or -2 (extended version 2)
//   2  2  reserved
//   4 16  version -1: the bounding box left, top, right, bottom as 16.16
//         fixed point; version -2: horizontal and vertical resolution
//         (16.16), then the source rectangle top, left, bottom, right
//   20 4  reserved
//
// Their opcodes are 16-bit words that start at even offsets: a pad byte
// follows any opcode whose data has an odd length. Opcodes 0x00-0xFF take
// their data length from optab; 0x0100-0x7FFF carry 2 × (high byte) bytes,
// 0x8000-0x80FF none, 0x8100-0xFFFF a 32-bit count and that many bytes.
//
// What we write, at data offset 512 for a frame (t, l, b, r):
//   0000 t l b r            picSize 0, picFrame
//   0011 02FF               version 2
//   0C00 FFFF FFFF l<<16 t<<16 r<<16 b<<16 00000000   header
//   001E                    DefHilite
//   0001 000A t l b r       Clip to the frame
// then (data offset 566) the opcodes of the image and the end opcode 00FF.
//
// Refused: a stream that starts with neither 11 01 nor 0011 02FF 0C00, or
// that has more than kPictMaxLeadingNops NOPs before them (error 10), a frame
// without pixels or wider or taller than 32767 (11), and counts that no file
// can hold (11). A region or polygon whose size word is below 2 has no data.
// Opcodes the picture's version does not have are returned with error 13
// pending.
#include <cstring>
#include <limits>
#include <new>

#include "common/bytes.h"
#include "pict/pict_pvt.h"

namespace kx {

namespace {

constexpr std::array<PictOpcodeInfo, 256> buildOptab() {
  std::array<PictOpcodeInfo, 256> t{};
  auto set = [&t](int first, int last, int minVersion, int length,
                  std::initializer_list<const char*> names) {
    const char* const* name = names.begin();
    for (int op = first; op <= last; ++op) {
      const char* n = name != names.end() ? *name++ : nullptr;
      t[op] = {static_cast<int16_t>(length), n, static_cast<int16_t>(minVersion)};
    }
  };
  set(0x00, 0x00, 1, 0, {"NOP"});
  set(0x01, 0x01, 1, kPictRegion, {"Clip"});
  set(0x02, 0x02, 1, 8, {"BkPat"});
  set(0x03, 0x03, 1, 2, {"TxFont"});
  set(0x04, 0x04, 1, 1, {"TxFace"});
  set(0x05, 0x05, 1, 2, {"TxMode"});
  set(0x06, 0x07, 1, 4, {"SpExtra", "PnSize"});
  set(0x08, 0x08, 1, 2, {"PnMode"});
  set(0x09, 0x0A, 1, 8, {"PnPat", "FillPat"});
  set(0x0B, 0x0C, 1, 4, {"OvSize", "Origin"});
  set(0x0D, 0x0D, 1, 2, {"TxSize"});
  set(0x0E, 0x0F, 1, 4, {"FgColor", "BkColor"});
  set(0x10, 0x10, 1, 8, {"TxRatio"});
  set(0x11, 0x11, 1, 1, {"Version"});
  set(0x12, 0x14, 2, kPictPixPattern, {"BkPixPat", "PnPixPat", "FillPixPat"});
  set(0x15, 0x16, 2, 2, {"PNLocHFrac", "ChExtra"});
  set(0x17, 0x19, 2, 0, {});
  set(0x1A, 0x1B, 2, 6, {"RGBFgCol", "RGBBkCol"});
  set(0x1C, 0x1C, 2, 0, {"HiliteMode"});
  set(0x1D, 0x1D, 2, 6, {"HiliteColor"});
  set(0x1E, 0x1E, 2, 0, {"DefHilite"});
  set(0x1F, 0x1F, 2, 6, {"OpColor"});
  set(0x20, 0x20, 1, 8, {"Line"});
  set(0x21, 0x21, 1, 4, {"LineFrom"});
  set(0x22, 0x22, 1, 6, {"ShortLine"});
  set(0x23, 0x23, 1, 2, {"ShortLineFrom"});
  set(0x24, 0x27, 2, -2, {});
  set(0x28, 0x28, 1, -41, {"LongText"});
  set(0x29, 0x2A, 1, -11, {"DHText", "DVText"});
  set(0x2B, 0x2B, 1, -21, {"DHDVText"});
  set(0x2C, 0x2C, 3, -41, {"fontName"});
  set(0x2D, 0x2D, 3, 8, {"lineJustify"});
  set(0x2E, 0x2F, 2, -2, {});
  set(0x30, 0x34, 1, 8, {"frameRect", "paintRect", "eraseRect", "invertRect", "fillRect"});
  set(0x35, 0x37, 2, 8, {});
  set(0x38, 0x3C, 1, 0,
      {"frameSameRect", "paintSameRect", "eraseSameRect", "invertSameRect", "fillSameRect"});
  set(0x3D, 0x3F, 2, 0, {});
  set(0x40, 0x44, 1, 8, {"frameRRect", "paintRRect", "eraseRRect", "invertRRect", "fillRRect"});
  set(0x45, 0x47, 2, 8, {});
  set(0x48, 0x4C, 1, 0,
      {"frameSameRRect", "paintSameRRect", "eraseSameRRect", "invertSameRRect", "fillSameRRect"});
  set(0x4D, 0x4F, 2, 0, {});
  set(0x50, 0x54, 1, 8, {"frameOval", "paintOval", "eraseOval", "invertOval", "fillOval"});
  set(0x55, 0x57, 2, 8, {});
  set(0x58, 0x5C, 1, 0,
      {"frameSameOval", "paintSameOval", "eraseSameOval", "invertSameOval", "fillSameOval"});
  set(0x5D, 0x5F, 2, 0, {});
  set(0x60, 0x64, 1, 12, {"frameArc", "paintArc", "eraseArc", "invertArc", "fillArc"});
  set(0x65, 0x67, 2, 12, {});
  set(0x68, 0x6C, 1, 4,
      {"frameSameArc", "paintSameArc", "eraseSameArc", "invertSameArc", "fillSameArc"});
  set(0x6D, 0x6F, 2, 4, {});
  set(0x70, 0x74, 1, kPictPolygon,
      {"framePoly", "paintPoly", "erasePoly", "invertPoly", "fillPoly"});
  set(0x75, 0x77, 2, kPictPolygon, {});
  set(0x78, 0x7C, 99, 0,
      {"frameSamePoly", "paintSamePoly", "eraseSamePoly", "invertSamePoly", "fillSamePoly"});
  set(0x7D, 0x7F, 2, 0, {});
  set(0x80, 0x84, 1, kPictRegion, {"frameRgn", "paintRgn", "eraseRgn", "invertRgn", "fillRgn"});
  set(0x85, 0x87, 2, kPictRegion, {});
  set(0x88, 0x8C, 99, 0,
      {"frameSameRgn", "paintSameRgn", "eraseSameRgn", "invertSameRgn", "fillSameRgn"});
  set(0x8D, 0x8F, 2, 0, {});
  set(0x90, 0x91, 1, kPictRaster, {"BitsRect", "BitsRgn"});
  set(0x92, 0x97, 2, -2, {});
  set(0x98, 0x99, 1, kPictRaster, {"PackBitsRect", "PackBitsRgn"});
  set(0x9A, 0x9B, 2, kPictRaster, {"DirectBitsRect", "DirectBitsRgn"});
  set(0x9C, 0x9F, 2, -2, {});
  set(0xA0, 0xA0, 1, 2, {"ShortComment"});
  set(0xA1, 0xA1, 1, -22, {"LongComment"});
  set(0xA2, 0xAF, 2, -2, {});
  set(0xB0, 0xCF, 2, 0, {});
  set(0xD0, 0xFE, 2, -4, {});
  set(0xFF, 0xFF, 1, 2, {"opEndPic"});  // never skipped: the end stops the walk
  return t;
}

// The 512-byte preamble starts with our signature.
constexpr char kPreamble[8] = {'K', 'X', '_', 'P', 'I', 'C', 'T', '\0'};
constexpr int kPreambleSize = 512;
constexpr uint32_t kPictType = 0x50494354;  // 'PICT'

std::unique_ptr<PictFile> allocatePict() {
  try {
    return std::make_unique<PictFile>();
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return nullptr;
  }
}

// Closes what an open operation opened; the failing step's error stays
// pending.
std::unique_ptr<PictFile> failOpen(std::unique_ptr<PictFile>& pict) {
  if (pict->file) MacCloseFile(pict->file);
  pict.reset();
  return nullptr;
}

int32_t fixedInteger(const uint8_t* p) {
  return static_cast<int32_t>(loadBE32(p)) >> 16;
}

// The pixel-map header of a non-direct raster or a pixel pattern, up to its
// pixel data: rowBytes and bounds, and for pixel maps (bit 15 of rowBytes)
// the map and its colour table. Bitmaps have packType 0.
bool skipPixMapHeader(PictFile& pict, int& rowBytes, PictRect& bounds, int& packType) {
  MacFile& f = *pict.file;
  uint8_t head[10];
  if (MacRead(f, head, sizeof head) != 0) return false;
  rowBytes = loadBE16(head);
  bounds = PictRectFrom(head + 2);
  packType = 0;
  if (rowBytes & 0x8000) {
    rowBytes &= 0x7FFF;
    uint8_t map[4];  // pmVersion, packType
    if (MacRead(f, map, sizeof map) != 0) return false;
    packType = static_cast<int16_t>(loadBE16(map + 2));
    // The rest of the pixel map (32 bytes) and the colour table's seed and
    // flags (6 bytes), then ctSize + 1 entries of 8 bytes.
    uint16_t ctSize;
    if (PictSkip(pict, 38) != 0 || !PictReadU16(f, ctSize)) return false;
    if (PictSkip(pict, 8 * int64_t{static_cast<int16_t>(ctSize)} + 8) != 0) return false;
  }
  return true;
}

int skipRaster(PictFile& pict, int32_t opcode) {
  if (opcode != 0x90 && opcode != 0x91 && opcode != 0x98 && opcode != 0x99 && opcode != 0x9A &&
      opcode != 0x9B) {
    MacSetError(kMacBadParameter, "SetRasterSize");
    return -1;
  }
  MacFile& f = *pict.file;
  int rowBytes, packType;
  PictRect bounds;
  if (opcode & 2) {
    // baseAddr, rowBytes, bounds and the rest of the pixel map.
    uint8_t head[50];
    if (MacRead(f, head, sizeof head) != 0) return -1;
    rowBytes = loadBE16(head + 4) & 0x7FFF;
    bounds = PictRectFrom(head + 6);
    packType = static_cast<int16_t>(loadBE16(head + 16));
  } else if (!skipPixMapHeader(pict, rowBytes, bounds, packType)) {
    return -1;
  }
  // Source and destination rectangles, transfer mode.
  if (PictSkip(pict, 18) != 0) return -1;
  if (opcode & 1) {
    // The mask region's size counts itself; a size below 2 skips nothing.
    uint16_t size;
    if (!PictReadU16(f, size)) return -1;
    if (PictSkip(pict, int64_t{size} - 2) != 0) return -1;
  }
  return PictSkipRasterRows(pict, bounds.height(), rowBytes, packType);
}

int skipPixPattern(PictFile& pict) {
  uint16_t type;
  if (!PictReadU16(*pict.file, type)) return -1;
  // A dither pattern: the one-bit pattern and an RGB colour.
  if (type == 2) return PictSkip(pict, 14);
  int rowBytes, packType;
  PictRect bounds;
  if (PictSkip(pict, 8) != 0 || !skipPixMapHeader(pict, rowBytes, bounds, packType)) return -1;
  return PictSkipRasterRows(pict, bounds.height(), rowBytes, packType);
}

int skipOpcodeData(PictFile& pict, int32_t opcode) {
  MacFile& f = *pict.file;
  if (opcode >= 0x8100) {
    uint32_t count;
    if (!PictReadU32(f, count)) return -1;
    return PictSkip(pict, count);
  }
  if (opcode >= 0x8000) return 0;
  if (opcode >= 0x100) return PictSkip(pict, 2 * ((opcode >> 8) & 0xFF));
  const int length = optab[opcode].length;
  if (length >= 0) return PictSkip(pict, length);
  if (length >= -41) {
    const int fixed = -length / 10, countSize = -length % 10;
    uint8_t b[4];
    if (countSize != 1 && countSize != 2 && countSize != 4) {
      MacSetError(kMacBadValue, pict.name());
      return -1;
    }
    if (PictSkip(pict, fixed) != 0 || MacRead(f, b, countSize) != 0) return -1;
    uint32_t count = b[0];
    if (countSize == 2) count = loadBE16(b);
    if (countSize == 4) count = loadBE32(b);
    return PictSkip(pict, count);
  }
  switch (length) {
    case kPictRegion:
    case kPictPolygon: {
      // The size word counts itself; a size below 2 skips nothing.
      uint16_t size;
      if (!PictReadU16(f, size)) return -1;
      return PictSkip(pict, int64_t{size} - 2);
    }
    case kPictRaster:
      return skipRaster(pict, opcode);
    case kPictPixPattern:
      return skipPixPattern(pict);
    default:
      MacSetError(kMacBadValue, pict.name());
      return -1;
  }
}

}  // namespace

const std::array<PictOpcodeInfo, 256> optab = buildOptab();

PictRect PictRectFrom(const uint8_t* p) {
  return {static_cast<int16_t>(loadBE16(p)), static_cast<int16_t>(loadBE16(p + 2)),
          static_cast<int16_t>(loadBE16(p + 4)), static_cast<int16_t>(loadBE16(p + 6))};
}

void PictRectTo(std::vector<uint8_t>& out, const PictRect& r) {
  ByteWriter w(out);
  w.u16(static_cast<uint16_t>(r.top));
  w.u16(static_cast<uint16_t>(r.left));
  w.u16(static_cast<uint16_t>(r.bottom));
  w.u16(static_cast<uint16_t>(r.right));
}

int PictSkip(PictFile& pict, int64_t n) {
  if (n <= 0) return 0;
  if (n > std::numeric_limits<int32_t>::max()) {
    MacSetError(kMacBadValue, pict.name());
    return -1;
  }
  return MacSkip(*pict.file, static_cast<int32_t>(n));
}

int PictSkipRasterRows(PictFile& pict, int64_t rows, int rowBytes, int packType) {
  if (rows <= 0) return 0;
  if (packType == 1 || rowBytes < 8) return PictSkip(pict, rows * rowBytes);
  if (packType == 2) {
    return PictSkip(pict, static_cast<int64_t>(static_cast<double>(rows) * rowBytes * 0.75));
  }
  MacFile& f = *pict.file;
  for (int64_t r = 0; r < rows; ++r) {
    uint32_t count;
    if (rowBytes > 250) {
      uint16_t w;
      if (!PictReadU16(f, w)) return -1;
      count = w;
    } else {
      uint8_t b;
      if (!PictReadU8(f, b)) return -1;
      count = b;
    }
    if (PictSkip(pict, count) != 0) return -1;
  }
  return 0;
}

int32_t PictGetNextOpcode(PictFile& pict) {
  if (pict.currentOpcode == kPictEndOpcode) return kPictEndOpcode;
  MacFile& f = *pict.file;
  if (pict.currentOpcode != kPictNoOpcode && skipOpcodeData(pict, pict.currentOpcode) != 0) {
    return -1;
  }
  // Version 2 opcodes start at even offsets: the count has measured this
  // opcode's data since its opcode was read.
  if (pict.version >= 2 && (MacGetIOCount(f) & 1) && MacSkip(f, 1) != 0) return -1;
  int32_t opcode;
  int nops = 0;
  do {
    if (pict.version == 1) {
      uint8_t b;
      if (!PictReadU8(f, b)) return -1;
      opcode = b;
    } else {
      uint16_t w;
      if (!PictReadU16(f, w)) return -1;
      opcode = w;
    }
    // Before the picture has shown its version, NOPs are few or none: a file
    // of zeros (a link to /dev/zero) would otherwise be walked forever.
    if (opcode == 0 && pict.opening && ++nops > kPictMaxLeadingNops) {
      MacSetError(kMacUnknownPict, pict.name());
      return -1;
    }
  } while (opcode == 0);
  MacResetIOCount(f);
  // The caller sees the error at its next check; the walk itself goes on.
  if (opcode < 0x100 && pict.version < optab[opcode].minVersion) {
    MacSetError(kMacWrongOpcode, pict.name());
  }
  pict.currentOpcode = opcode;
  return opcode;
}

std::unique_ptr<PictFile> PictOpenFileRead(const std::string& name) {
  std::unique_ptr<PictFile> pict = allocatePict();
  if (!pict) return nullptr;
  pict->version = 2;
  pict->currentOpcode = kPictNoOpcode;
  uint32_t type = 0;  // any type
  pict->file = MacOpenFile(name, "r", &type);
  if (!pict->file) return failOpen(pict);
  MacFile& f = *pict->file;

  uint8_t head[10];
  if (MacSkip(f, kPreambleSize) != 0 || MacRead(f, head, sizeof head) != 0) return failOpen(pict);
  pict->picSize = static_cast<int16_t>(loadBE16(head));
  pict->picFrame = PictRectFrom(head + 2);

  // Version is still 2, so the first two bytes come as one word.
  int width, height;
  pict->opening = true;
  const int32_t first = PictGetNextOpcode(*pict);
  if (first == 0x1101) {
    pict->version = 1;
    pict->currentOpcode = kPictNoOpcode;
    pict->opening = false;
    width = pict->picFrame.width();
    height = pict->picFrame.height();
  } else if (first == 0x0011) {
    uint16_t version;
    if (!PictReadU16(f, version) || version != 0x02FF) {
      MacSetError(kMacUnknownPict, name);
      return failOpen(pict);
    }
    pict->currentOpcode = kPictNoOpcode;
    if (PictGetNextOpcode(*pict) != 0x0C00) {
      if (MacError() == 0) MacSetError(kMacUnknownPict, name);
      return failOpen(pict);
    }
    uint8_t header[24];
    if (MacRead(f, header, sizeof header) != 0) return failOpen(pict);
    pict->currentOpcode = kPictNoOpcode;
    pict->opening = false;
    if (static_cast<int16_t>(loadBE16(header)) == -2) {
      pict->version = 3;
      const PictRect source = PictRectFrom(header + 12);
      width = source.width();
      height = source.height();
    } else {
      width = fixedInteger(header + 12) - fixedInteger(header + 4);
      height = fixedInteger(header + 16) - fixedInteger(header + 8);
    }
  } else {
    MacSetError(kMacUnknownPict, name);
    return failOpen(pict);
  }
  // The geometry of a picture is signed 16-bit: a frame outside it has no
  // pixels we could deliver.
  if (width < 1 || height < 1 || width > 32767 || height > 32767) {
    MacSetError(kMacBadValue, name);
    return failOpen(pict);
  }
  pict->width = static_cast<int16_t>(width);
  pict->height = static_cast<int16_t>(height);
  return pict;
}

std::unique_ptr<PictFile> PictOpenFileWrite(const std::string& name, const PictRect& frame) {
  std::unique_ptr<PictFile> pict = allocatePict();
  if (!pict) return nullptr;
  pict->picSize = 0;
  pict->picFrame = frame;
  pict->width = static_cast<int16_t>(frame.width());
  pict->height = static_cast<int16_t>(frame.height());
  pict->version = 3;
  pict->currentOpcode = kPictNoOpcode;
  uint32_t type = kPictType;
  pict->file = MacOpenFile(name, "w", &type);
  if (!pict->file) return failOpen(pict);
  MacFile& f = *pict->file;
  if (MacWrite(f, kPreamble, sizeof kPreamble) != 0 || MacSkipTo(f, kPreambleSize) != 0) {
    return failOpen(pict);
  }
  std::vector<uint8_t> prologue;
  ByteWriter w(prologue);
  w.u16(0);  // picSize
  PictRectTo(prologue, frame);
  w.u16(0x0011);
  w.u16(0x02FF);
  w.u16(0x0C00);
  w.u16(0xFFFF);  // version -1
  w.u16(0xFFFF);  // reserved
  w.u32(static_cast<uint32_t>(frame.left) << 16);
  w.u32(static_cast<uint32_t>(frame.top) << 16);
  w.u32(static_cast<uint32_t>(frame.right) << 16);
  w.u32(static_cast<uint32_t>(frame.bottom) << 16);
  w.u32(0);
  w.u16(0x001E);  // DefHilite
  w.u16(0x0001);  // Clip: a rectangular region of 10 bytes
  w.u16(10);
  PictRectTo(prologue, frame);
  if (MacWrite(f, prologue.data(), prologue.size()) != 0) return failOpen(pict);
  return pict;
}

int PictWriteClearBack(PictFile& pict) {
  std::vector<uint8_t> ops;
  ByteWriter w(ops);
  w.u16(0x000E);  // FgColor black in the classic eight-colour numbering
  w.u32(33);
  w.u16(0x0031);  // paintRect over the frame
  PictRectTo(ops, pict.picFrame);
  return MacWrite(*pict.file, ops.data(), ops.size()) == 0 ? 0 : -1;
}

int PictCloseFile(std::unique_ptr<PictFile>& pict) {
  if (!pict) {
    MacSetError(kMacNullPointer, "PictCloseFile");
    return -1;
  }
  int result = 0;
  if (pict->file) {
    // A written picture is complete only once its end opcode and every
    // buffered byte have reached the file.
    if (pict->file->mode == 'w') {
      const uint8_t end[2] = {0x00, 0xFF};
      if (MacWrite(*pict->file, end, sizeof end) != 0) result = -1;
    }
    if (MacCloseFile(pict->file) != 0) result = -1;
  }
  pict.reset();
  return result;
}

}  // namespace kx
