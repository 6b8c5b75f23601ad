#include "pict/pict_builder.h"

#include "support/tempdir.h"

namespace kx {

PictBytes pictStart(const PictRect& frame, int version, const PictRect& source) {
  PictBytes p;
  p.b.reserve(1 << 16);  // (also keeps g++ 12's array-bounds warning quiet)
  p.zeros(512);
  p.u16(0);
  p.rect(frame);
  p.opcodeStart = p.b.size();
  if (version == 1) {
    p.u8(0x11), p.u8(0x01);
    return p;
  }
  p.op(0x0011);
  p.u16(0x02FF);
  p.op(0x0C00);
  if (version == 2) {
    p.u32(0xFFFFFFFF);
    for (int16_t v : {frame.left, frame.top, frame.right, frame.bottom}) {
      p.u32(static_cast<uint32_t>(v) << 16);
    }
  } else {
    p.u32(0xFFFE0000);
    p.u32(0x00480000), p.u32(0x00480000);
    p.rect(source);
  }
  p.u32(0);
  return p;
}

void appendRaster(PictBytes& p, const RasterRecipe& s) {
  p.op(static_cast<uint32_t>(s.opcode));
  const bool direct = (s.opcode & 2) != 0;
  if (direct) p.u32(0xFF);
  p.u16(static_cast<uint32_t>(s.rowBytes) | (s.pixmap ? 0x8000 : 0));
  p.rect(s.bounds);
  if (s.pixmap) {
    p.u16(0), p.u16(s.packType), p.u32(0), p.u32(0x00480000), p.u32(0x00480000);
    p.u16(s.pixelType), p.u16(s.pixelSize), p.u16(s.cmpCount), p.u16(s.cmpSize);
    p.zeros(12);
    if (!direct) {
      p.zeros(6);
      p.u16(s.ctSizeOverride >= -1 ? s.ctSizeOverride : static_cast<int>(s.colours.size()) - 1);
      for (const PictColorEntry& e : s.colours)
        p.u16(e.value), p.u16(e.red), p.u16(e.green), p.u16(e.blue);
    }
  }
  p.rect(s.src);
  p.rect(s.dst);
  p.u16(0);
  if (s.opcode & 1) p.u16(10), p.rect(s.bounds);
  const int packType = s.pixmap ? s.packType : 0;
  for (const std::vector<uint8_t>& row : s.rows) {
    if (packType == 1 || packType == 2 || packType == 3 || s.rowBytes < 8) {
      p.bytes(row);
      continue;
    }
    std::vector<uint8_t> packed(PictPackBitsBound(row.size()));
    packed.resize(PictPackBits(row, packed.data()));
    if (s.rowBytes > 250) {
      p.u16(static_cast<uint32_t>(packed.size()));
    } else {
      p.u8(static_cast<uint32_t>(packed.size()));
    }
    p.bytes(packed);
  }
}

PictBytes pictOf(const RasterRecipe& s) {
  PictBytes p = pictStart(s.bounds);
  appendRaster(p, s);
  p.end();
  return p;
}

static PictRect box(int width, int rows) {
  return PictRect{0, 0, static_cast<int16_t>(rows), static_cast<int16_t>(width)};
}

RasterRecipe indexedRaster(int width, int rows, int depth, std::vector<PictColorEntry> table) {
  RasterRecipe s;
  s.rowBytes = (width * depth + 15) / 16 * 2;
  s.bounds = s.src = s.dst = box(width, rows);
  s.pixelSize = s.cmpSize = depth;
  s.colours = std::move(table);
  return s;
}

RasterRecipe directRaster(int width, int rows, int pixelSize, int packType, int cmpCount) {
  RasterRecipe s;
  s.opcode = 0x9A;
  s.rowBytes = (width * pixelSize / 8 + 1) / 2 * 2;
  s.bounds = s.src = s.dst = box(width, rows);
  s.packType = packType;
  s.pixelType = 16;
  s.pixelSize = pixelSize;
  s.cmpCount = cmpCount;
  s.cmpSize = pixelSize == 16 ? 5 : 8;
  return s;
}

RasterRecipe bitmapRaster(int width, int rows) {
  RasterRecipe s;
  s.opcode = 0x90;
  s.pixmap = false;
  s.rowBytes = (width + 15) / 16 * 2;
  s.bounds = s.src = s.dst = box(width, rows);
  return s;
}

std::vector<PictColorEntry> greyTable(int n) {
  std::vector<PictColorEntry> t;
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(i * 257);
    t.push_back({static_cast<uint16_t>(i), v, v, v});
  }
  return t;
}

std::vector<PictColorEntry> colourTable(const std::vector<std::array<uint8_t, 3>>& rgb) {
  std::vector<PictColorEntry> t;
  for (size_t i = 0; i < rgb.size(); ++i) {
    t.push_back({static_cast<uint16_t>(i), static_cast<uint16_t>(rgb[i][0] * 257),
                 static_cast<uint16_t>(rgb[i][1] * 257), static_cast<uint16_t>(rgb[i][2] * 257)});
  }
  return t;
}

void writePict(const std::string& path, const PictBytes& bytes) {
  writeFileBytes(path, bytes.b);
}

}  // namespace kx
