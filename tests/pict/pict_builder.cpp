#include "pict/pict_builder.h"

#include <array>
#include <stdexcept>

#include "support/tempdir.h"

namespace kx {

namespace {

PictBytes prologue(const PictRect& frame) {
  PictBytes p;
  p.b.reserve(1 << 16);  // (also keeps g++ 12's array-bounds warning quiet)
  p.zeros(512);
  p.u16(0);
  p.rect(frame);
  p.opcodeStart = p.b.size();
  return p;
}

}  // namespace

PictBytes pictVersion1(const PictRect& frame) {
  PictBytes p = prologue(frame);
  p.u8(0x11);
  p.u8(0x01);
  return p;
}

PictBytes pictVersion2(const PictRect& frame) {
  PictBytes p = prologue(frame);
  p.op(0x0011);
  p.u16(0x02FF);
  p.op(0x0C00);
  p.u16(0xFFFF);
  p.u16(0xFFFF);
  p.u32(static_cast<uint32_t>(frame.left) << 16);
  p.u32(static_cast<uint32_t>(frame.top) << 16);
  p.u32(static_cast<uint32_t>(frame.right) << 16);
  p.u32(static_cast<uint32_t>(frame.bottom) << 16);
  p.u32(0);
  return p;
}

PictBytes pictExtendedVersion2(const PictRect& frame, const PictRect& source) {
  PictBytes p = prologue(frame);
  p.op(0x0011);
  p.u16(0x02FF);
  p.op(0x0C00);
  p.u16(0xFFFE);
  p.u16(0);
  p.u32(0x00480000);
  p.u32(0x00480000);
  p.rect(source);
  p.u32(0);
  return p;
}

std::vector<uint8_t> packUnits16(const std::vector<uint8_t>& row) {
  if (row.size() % 2) throw std::invalid_argument("odd row for 16-bit units");
  const size_t units = row.size() / 2;
  auto unit = [&](size_t i) { return std::array<uint8_t, 2>{row[2 * i], row[2 * i + 1]}; };
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < units) {
    size_t run = 1;
    while (i + run < units && run < 128 && unit(i + run) == unit(i)) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out.push_back(row[2 * i]);
      out.push_back(row[2 * i + 1]);
      i += run;
      continue;
    }
    size_t lit = 1;
    while (i + lit < units && lit < 128 &&
           !(i + lit + 1 < units && unit(i + lit) == unit(i + lit + 1))) {
      ++lit;
    }
    out.push_back(static_cast<uint8_t>(lit - 1));
    out.insert(out.end(), row.begin() + 2 * i, row.begin() + 2 * (i + lit));
    i += lit;
  }
  return out;
}

void appendRasterBody(PictBytes& p, const RasterRecipe& s) {
  const bool direct = (s.opcode & 2) != 0;
  if (direct) p.u32(0xFF);
  p.u16(static_cast<uint32_t>(s.rowBytes) | (s.pixmap ? 0x8000 : 0));
  p.rect(s.bounds);
  if (s.pixmap) {
    p.u16(0);
    p.u16(static_cast<uint32_t>(s.packType));
    p.u32(0);
    p.u32(0x00480000);
    p.u32(0x00480000);
    p.u16(static_cast<uint32_t>(s.pixelType));
    p.u16(static_cast<uint32_t>(s.pixelSize));
    p.u16(static_cast<uint32_t>(s.cmpCount));
    p.u16(static_cast<uint32_t>(s.cmpSize));
    p.u32(0);
    p.u32(0);
    p.u32(0);
    if (!direct) {
      p.u32(0);
      p.u16(0);
      const int ctSize =
          s.ctSizeOverride >= -1 ? s.ctSizeOverride : static_cast<int>(s.colours.size()) - 1;
      p.u16(static_cast<uint16_t>(ctSize));
      for (const PictColorEntry& e : s.colours) {
        p.u16(e.value);
        p.u16(e.red);
        p.u16(e.green);
        p.u16(e.blue);
      }
    }
  }
  p.rect(s.src);
  p.rect(s.dst);
  p.u16(0);
  if (s.opcode & 1) {
    p.u16(10);
    p.rect(s.bounds);
  }
  const int packType = s.pixmap ? s.packType : 0;
  for (const std::vector<uint8_t>& row : s.rows) {
    if (packType == 1 || s.rowBytes < 8) {
      p.bytes(row);
    } else if (packType == 2) {
      p.bytes(row);  // the caller gives rowBytes × 3/4 bytes
    } else {
      std::vector<uint8_t> packed;
      if (packType == 3) {
        packed = packUnits16(row);
      } else {
        packed.resize(PictPackBitsBound(row.size()));
        packed.resize(PictPackBits(row, packed.data()));
      }
      if (s.rowBytes > 250) {
        p.u16(static_cast<uint32_t>(packed.size()));
      } else {
        p.u8(static_cast<uint32_t>(packed.size()));
      }
      p.bytes(packed);
    }
  }
}

void appendRaster(PictBytes& p, const RasterRecipe& s) {
  p.op(static_cast<uint32_t>(s.opcode));
  appendRasterBody(p, s);
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
