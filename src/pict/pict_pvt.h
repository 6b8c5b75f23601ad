// The PICT library's records and operations: the open picture (PictFile), its
// raster (PictRaster), the opcode table and the PackBits and pixel helpers.
// The byte layouts are described at the top of opcodes.cpp (framing and
// opcodes), raster_read.cpp (rasters) and raster_write.cpp (what we write).
//
// Calling style: operations return null / -1 and record the reason in the
// Macintosh error state (macfile/macfile.h); callers print or fetch it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "macfile/macfile.h"

namespace kx {

// Four signed 16-bit values in the order of the file: top, left, bottom,
// right. Differences are taken in int so that they cannot wrap.
struct PictRect {
  int16_t top = 0;
  int16_t left = 0;
  int16_t bottom = 0;
  int16_t right = 0;

  int width() const { return int{right} - int{left}; }
  int height() const { return int{bottom} - int{top}; }
  bool operator==(const PictRect&) const = default;
};

// One colour-table entry: the pixel value it stands for and three 16-bit
// components. Position i in the table is the colour of pixel value i.
struct PictColorEntry {
  uint16_t value = 0;
  uint16_t red = 0;
  uint16_t green = 0;
  uint16_t blue = 0;
};

// Raster flags.
enum : uint32_t {
  kPictPacked = 1,       // rows are PackBits-compressed
  kPictColorTable = 2,   // indexed pixels with a colour table
  kPictBitmap = 4,       // one-bit bitmap
  kPictInverted = 8,     // output inverted
  kPictColour = 16,      // colour (not grey)
  kPictAlphaPlane = 32,  // direct pixels carry alpha
};

// 72 dots per inch, as a PixMap's hRes and vRes hold it (16.16 fixed point).
constexpr uint32_t kDpi72 = 0x00480000;

// Opcode bookkeeping.
constexpr int32_t kPictNoOpcode = -99;  // nothing pending
constexpr int32_t kPictEndOpcode = 0xFF;
// NOPs the walker drops before the version opcode: as many as fill the
// 512-byte preamble in words. Real pictures have none there.
constexpr int kPictMaxLeadingNops = 256;

// Length codes of the opcode table besides the plain byte counts.
constexpr int16_t kPictRegion = -1001;
constexpr int16_t kPictPolygon = -1002;
constexpr int16_t kPictRaster = -1003;
constexpr int16_t kPictPixPattern = -1004;

struct PictOpcodeInfo {
  int16_t length;      // >= 0 bytes; -(10·f + c) fixed + count; or the codes above
  const char* name;    // null for reserved opcodes
  int16_t minVersion;  // 1 all, 2 version 2 and up, 3 extended version 2, 99 never
};
extern const std::array<PictOpcodeInfo, 256> optab;

// One raster opcode, read or being written. The placement fields are kept
// in 32 bits: they are sums of 16-bit file values and must not wrap.
struct PictRaster {
  uint32_t baseAddr = 0;
  int16_t rowBytes = 0;  // bit 15 (the pixel-map flag) cleared
  PictRect bounds;
  int16_t pmVersion = 0;
  int16_t packType = 0;
  uint32_t packSize = 0;
  uint32_t hRes = 0;
  uint32_t vRes = 0;
  int16_t pixelType = 0;
  int16_t pixelSize = 0;
  int16_t cmpCount = 0;
  int16_t cmpSize = 0;
  uint32_t planeBytes = 0;
  uint32_t pmTable = 0;
  uint32_t pmReserved = 0;
  PictRect srcRect;
  PictRect dstRect;
  int16_t mode = 0;
  uint32_t ctSeed = 0;
  int16_t ctFlags = 0;
  int16_t ctSize = 0;
  std::vector<PictColorEntry> colours;  // ctSize + 1 entries
  uint32_t flags = 0;

  int32_t opcode = kPictNoOpcode;  // the raster opcode being read or written
  int32_t xOffset = 0;             // picture column of the raster's first pixel
  int32_t yStart = 0;              // picture row of the raster's first row
  int32_t width = 0;               // pixels taken from (or written to) each row
  int32_t rows = 0;
  int32_t planeSkip = 0;
  int32_t yEnd = 0;
  int32_t pictureRow = 0;            // picture rows delivered so far (across bands)
  int32_t rasterRow = 0;             // rows of the current opcode consumed so far
  int32_t byteCount = 0;             // bytes of the current row as stored
  std::vector<uint8_t> fileRow;      // the row as stored (packed when packed)
  std::vector<uint8_t> unpackedRow;  // the row unpacked (reading: only when packed)
};

// One open picture.
struct PictFile {
  std::unique_ptr<MacFile> file;
  int16_t picSize = 0;
  PictRect picFrame;
  int16_t width = 0;
  int16_t height = 0;
  int16_t version = 2;  // 1, 2, or 3 for extended version 2
  int32_t currentOpcode = kPictNoOpcode;
  std::unique_ptr<PictRaster> raster;
  bool opening = false;  // the version opcode has not been read yet

  const std::string& name() const { return file->name; }
};

// ---- Framing and the opcode walker (opcodes.cpp) ------------------------------

std::unique_ptr<PictFile> PictOpenFileRead(const std::string& name);
std::unique_ptr<PictFile> PictOpenFileWrite(const std::string& name, const PictRect& frame);
int PictWriteClearBack(PictFile& pict);
// Ends the picture (writing: the end opcode), closes the file and frees the
// handle; `pict` is null afterwards. 0, or -1 (null handle; writing: the end
// of the picture did not reach the file).
int PictCloseFile(std::unique_ptr<PictFile>& pict);
// The next opcode (0..0xFFFF), 0xFF once the end has been reached, -1 on
// error. Skips the data of the pending opcode first.
int32_t PictGetNextOpcode(PictFile& pict);

// Skips n bytes of opcode data (n <= 0: nothing). A count beyond what a
// picture can hold is a bad value (error 11).
int PictSkip(PictFile& pict, int64_t n);
// Skips `rows` rows of raster data stored with this rowBytes and packType.
int PictSkipRasterRows(PictFile& pict, int64_t rows, int rowBytes, int packType);
// True when rows of this raster are stored packed (with a byte count each).
inline bool PictRowsPacked(int rowBytes, int packType) {
  return !(packType == 1 || rowBytes < 8 || packType == 2);
}

// Reads of big-endian numbers through the Macintosh layer. They report
// failure by their result, so a read is never mistaken for failed because
// some earlier error is still pending.
inline bool PictReadU8(MacFile& f, uint8_t& v) {
  return MacRead(f, &v, 1) == 0;
}
inline bool PictReadU16(MacFile& f, uint16_t& v) {
  uint8_t b[2];
  if (MacRead(f, b, 2) != 0) return false;
  v = static_cast<uint16_t>((b[0] << 8) | b[1]);
  return true;
}
inline bool PictReadU32(MacFile& f, uint32_t& v) {
  uint8_t b[4];
  if (MacRead(f, b, 4) != 0) return false;
  v = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}
// A rectangle from 8 bytes at p.
PictRect PictRectFrom(const uint8_t* p);
// Appends a rectangle's 8 bytes.
void PictRectTo(std::vector<uint8_t>& out, const PictRect& r);

// ---- Raster reading (raster_read.cpp) -------------------------------------------

// 1 raster opened, 0 end of picture first, -1 error.
int PictOpenRasterRead(PictFile& pict);
int PictRastOpenOpcode(PictFile& pict);
// Delivers the next picture row into the four output rows (each at least the
// picture's width; null planes are not written) and the span [first, last)
// of its non-background pixels.
int PictReadPixelScan(PictFile& pict, const std::array<uint8_t*, 4>& out, int* first, int* last);
void PictInvertColours(PictFile& pict);
int PictRastCloseOpcode(PictFile& pict);
int PictCloseRaster(PictFile& pict);

// The background value of the open raster (what the reader fills where the
// raster does not reach) and the planes it is written to (1 or 3).
int PictBackgroundValue(const PictRaster& raster);
int PictBackgroundPlanes(const PictRaster& raster);

// ---- Raster writing (raster_write.cpp) ------------------------------------------

int PictOpenRasterWrite(PictFile& pict, const PictRect& rect, int components,
                        const PictColorEntry* table, int entries);
int PictWritePixelScan(PictFile& pict, const std::array<const uint8_t*, 4>& in, int first,
                       int last);
int PictRastFinishScanlines(PictFile& pict);

// ---- PackBits (packbits.cpp) -----------------------------------------------------

// Unpacks `in` in units of `unit` bytes (1 or 2) into `out`. Returns the
// number of bytes produced, or -1 when a group runs past the end of `in` or
// would write past the end of `out`.
int64_t PictUnpackBits(std::span<const uint8_t> in, std::span<uint8_t> out, int unit);
// The largest packed form of n bytes.
constexpr size_t PictPackBitsBound(size_t n) {
  return n + n / 127 + 2;
}
// Packs `in` into `out` (at least PictPackBitsBound(in.size()) bytes);
// returns the packed length.
size_t PictPackBits(std::span<const uint8_t> in, uint8_t* out);

}  // namespace kx
