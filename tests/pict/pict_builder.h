// Builds PICT files byte by byte for the tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pict/pict_pvt.h"

namespace kx {

struct PictBytes {
  std::vector<uint8_t> b;
  size_t opcodeStart = 0;  // offset of the last opcode's data, for the pad

  void u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void u16(uint32_t v) { u8(v >> 8), u8(v); }
  void u32(uint32_t v) { u16(v >> 16), u16(v); }
  void rect(const PictRect& r) { u16(r.top), u16(r.left), u16(r.bottom), u16(r.right); }
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

// Preamble, picSize, frame and the version start: 1 (11 01), 2 (header -1 with
// the frame as fixed-point box) or 3 (extended version 2 header with `source`).
PictBytes pictStart(const PictRect& frame, int version = 2, const PictRect& source = {});

// One raster opcode; rows are given unpacked and packed as the record says
// (packType 2: three bytes a pixel; packType 3: rows given as stored).
struct RasterRecipe {
  int opcode = 0x98;
  int rowBytes = 0;
  PictRect bounds, src, dst;
  bool pixmap = true;
  int packType = 0, pixelType = 0, pixelSize = 8, cmpCount = 1, cmpSize = 8;
  std::vector<PictColorEntry> colours;  // indexed pixel maps
  std::vector<std::vector<uint8_t>> rows;
  int ctSizeOverride = -2;  // when >= -1, stored instead of colours.size() - 1
};
// The version 2 opcode word (after a pad), the raster's record and rows.
void appendRaster(PictBytes& out, const RasterRecipe& recipe);
// A version 2 picture of the raster alone.
PictBytes pictOf(const RasterRecipe& recipe);

RasterRecipe indexedRaster(int width, int rows, int depth, std::vector<PictColorEntry> table);
RasterRecipe directRaster(int width, int rows, int pixelSize, int packType, int cmpCount);
RasterRecipe bitmapRaster(int width, int rows);

std::vector<PictColorEntry> greyTable(int n);
std::vector<PictColorEntry> colourTable(const std::vector<std::array<uint8_t, 3>>& rgb);

void writePict(const std::string& path, const PictBytes& bytes);

}  // namespace kx
