// Builds PICT files byte by byte for the tests: prologues of each version,
// raster opcodes of every kind (rows given unpacked, packed here as the
// opcode requires) and arbitrary other opcodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pict/pict_pvt.h"

namespace kx {

struct PictBytes {
  std::vector<uint8_t> b;
  size_t opcodeStart = 0;  // offset of the last opcode's data, for the pad

  void u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void u16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(uint32_t v) {
    u16(v >> 16);
    u16(v);
  }
  void rect(const PictRect& r) {
    u16(static_cast<uint16_t>(r.top));
    u16(static_cast<uint16_t>(r.left));
    u16(static_cast<uint16_t>(r.bottom));
    u16(static_cast<uint16_t>(r.right));
  }
  void bytes(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
  void zeros(size_t n) { b.resize(b.size() + n, 0); }
  // A version 2 opcode word, after the pad byte its predecessor needs.
  void op(uint32_t opcode) {
    if ((b.size() - opcodeStart) % 2 != 0) u8(0);
    u16(opcode);
    opcodeStart = b.size();
  }
  void end() { op(0x00FF); }
};

// The 512-byte preamble, picSize and frame, then the version 1 start 11 01.
PictBytes pictVersion1(const PictRect& frame);
// The preamble, picSize, frame, 0011 02FF and the header opcode: version -1
// with the frame as fixed-point box, or (extended) -2 with a source rect.
PictBytes pictVersion2(const PictRect& frame);
PictBytes pictExtendedVersion2(const PictRect& frame, const PictRect& source);

// One raster opcode. Rows are given unpacked (rowBytes bytes each) and are
// stored as the record says: unpacked, three quarters, or PackBits in bytes
// or 16-bit units with a byte or word count.
struct RasterRecipe {
  int opcode = 0x98;
  int rowBytes = 0;
  PictRect bounds;
  PictRect src;
  PictRect dst;
  bool pixmap = true;
  int packType = 0;
  int pixelType = 0;
  int pixelSize = 8;
  int cmpCount = 1;
  int cmpSize = 8;
  std::vector<PictColorEntry> colours;  // indexed pixel maps
  std::vector<std::vector<uint8_t>> rows;
  int ctSizeOverride = -2;  // when >= -1, stored instead of colours.size() - 1
};
// Appends a version 2 raster opcode (pad byte first when needed).
void appendRaster(PictBytes& out, const RasterRecipe& recipe);
// The raster's record and rows without the opcode word (version 1 files).
void appendRasterBody(PictBytes& out, const RasterRecipe& recipe);

// Packs 16-bit units (a reference packer: runs of 2 or more equal units as
// runs, everything else as literals of up to 128 units).
std::vector<uint8_t> packUnits16(const std::vector<uint8_t>& row);

// A grey colour table of n entries 0..n-1 spread to 16 bits, or a colour one.
std::vector<PictColorEntry> greyTable(int n);
std::vector<PictColorEntry> colourTable(const std::vector<std::array<uint8_t, 3>>& rgb);

void writePict(const std::string& path, const PictBytes& bytes);

}  // namespace kx
