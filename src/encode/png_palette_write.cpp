// Palette PNG files, written directly: the palette ordered so that the tRNS
// chunk is as short as it can be, the rows compressed for size in parts side
// by side (png_deflate.cpp), and the colour metadata of the picture.
//
// The file (the PNG format, all integers big-endian):
//
//   8 bytes   signature 89 50 4E 47 0D 0A 1A 0A
//   chunks    length (4), type (4), data (length), CRC-32 of type and data (4)
//     IHDR    width (4), height (4), bit depth (1: 1, 2, 4 or 8, the smallest
//             that holds every index of the palette, or with PngEffort::Best
//             8 when that compresses better), colour type 3 (palette),
//             compression 0, filter 0, interlace 0
//     iCCP    with an ICC profile: its name (1 to 79 Latin-1 characters), 0,
//             compression method 0, the profile as a zlib stream
//     sRGB    without a profile, for an sRGB picture: rendering intent (1)
//     gAMA    gamma × 100000 (4)
//     cHRM    white point x, y, red x, y, green x, y, blue x, y (4 each,
//             × 100000)
//     PLTE    red, green, blue of each palette entry: first the entries whose
//             alpha is below 255, then the opaque ones
//     tRNS    only when some entry is not opaque: the alpha of the entries
//             that are not, so that the chunk stops at the last of them
//     pHYs    pixels per unit x (4), y (4), unit (1: 0 aspect only, 1 metre)
//     IDAT    the zlib stream of the rows, each a filter byte and the indices
//             packed most significant bits first
//     IEND    empty
//
// Reordering the palette changes which index a colour has, never the colour
// (and alpha) a pixel decodes to. Within the translucent and the opaque
// entries the order is the one given; with PngEffort::Best it is a chain of
// nearest colours (see nearestChain), which the row filters need.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>

#include "common/bytes.h"
#include "common/outfile.h"
#include "encode/encode_pvt.h"

namespace kx {

namespace {

// PNG's four-byte integers.
constexpr uint32_t kMaxPngInt = 0x7FFFFFFF;

void writeChunk(std::vector<uint8_t>& out, const char* type, std::span<const uint8_t> data) {
  uint8_t head[8];
  storeBE32(head, static_cast<uint32_t>(data.size()));
  std::memcpy(head + 4, type, 4);
  uint32_t crc = libdeflate_crc32(0, head + 4, 4);
  // A null buffer (an empty vector's) would restart the checksum.
  if (!data.empty()) crc = libdeflate_crc32(crc, data.data(), data.size());
  uint8_t tail[4];
  storeBE32(tail, crc);
  out.insert(out.end(), head, head + 8);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), tail, tail + 4);
}

using Rgba = std::array<uint8_t, 4>;

int luminance(const Rgba& c) {
  return 299 * c[0] + 587 * c[1] + 114 * c[2];
}

// The entries from the darkest one through, at each step, the nearest one
// not taken yet (ties to the first): neighbouring indices are then similar
// colours, so the differences the row filters make are small where the
// picture is smooth.
std::vector<int> nearestChain(const std::vector<Rgba>& colours, std::vector<int> entries) {
  std::vector<int> chain;
  if (entries.empty()) return chain;
  auto darker = [&](int a, int b) { return luminance(colours[a]) < luminance(colours[b]); };
  std::iter_swap(entries.begin(), std::min_element(entries.begin(), entries.end(), darker));
  for (size_t k = 0; k < entries.size(); ++k) {
    chain.push_back(entries[k]);
    const Rgba& from = colours[entries[k]];
    size_t nearest = k + 1;
    long best = -1;
    for (size_t j = k + 1; j < entries.size(); ++j) {
      long d = 0;
      for (int c = 0; c < 4; ++c) {
        const long e = from[c] - colours[entries[j]][c];
        d += e * e;
      }
      if (best < 0 || d < best) best = d, nearest = j;
    }
    if (nearest < entries.size()) std::swap(entries[k + 1], entries[nearest]);
  }
  return chain;
}

uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// PNG filter `type` of a row of n bytes with one byte per pixel (or less).
void filterRow(int type, const uint8_t* row, const uint8_t* prior, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) {
    const int a = i ? row[i - 1] : 0, b = prior[i], c = i ? prior[i - 1] : 0;
    const int predicted = type == 0   ? 0
                          : type == 1 ? a
                          : type == 2 ? b
                          : type == 3 ? (a + b) / 2
                                      : paeth(a, b, c);
    out[i] = static_cast<uint8_t>(row[i] - predicted);
  }
}

// Lower for a row whose bytes deflate better: the row's entropy in bits, up
// to a constant (n·log2 n − Σ c·log2 c).
double entropyCost(const uint8_t* bytes, size_t n) {
  uint32_t counts[256] = {};
  for (size_t i = 0; i < n; ++i) ++counts[bytes[i]];
  double sum = 0;
  for (uint32_t c : counts) {
    if (c > 1) sum += c * std::log2(static_cast<double>(c));
  }
  return -sum;
}

// A name libpng accepts for iCCP: printable Latin-1, no leading, trailing
// or doubled spaces, 1 to 79 characters.
std::string profileName(const std::string& given) {
  std::string name;
  for (unsigned char ch : given) {
    if (ch == ' ' && (name.empty() || name.back() == ' ')) continue;
    if ((ch >= 32 && ch <= 126) || ch >= 161) name.push_back(static_cast<char>(ch));
  }
  if (name.size() > 79) name.resize(79);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name.empty() ? "ICC profile" : name;
}

std::vector<uint8_t> zlibOf(const std::vector<uint8_t>& data) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(
      libdeflate_alloc_compressor(12), libdeflate_free_compressor);
  if (!c) throw std::bad_alloc();
  std::vector<uint8_t> out(libdeflate_zlib_compress_bound(c.get(), data.size()));
  out.resize(libdeflate_zlib_compress(c.get(), data.data(), data.size(), out.data(), out.size()));
  return out;
}

// The chunks that come before PLTE, in the order they are written.
void writeColourChunks(std::vector<uint8_t>& out, const ImageMetadata& m) {
  std::vector<uint8_t> data;
  ByteWriter w(data);
  if (!m.iccProfile.empty()) {
    const std::string name = profileName(m.iccName);
    w.bytes(name.data(), name.size());
    w.zeros(2);  // the name's end, compression method 0
    const std::vector<uint8_t> packed = zlibOf(m.iccProfile);
    w.bytes(packed.data(), packed.size());
    writeChunk(out, "iCCP", data);
  } else if (m.srgbIntent >= 0 && m.srgbIntent <= 3) {
    w.u8(static_cast<uint32_t>(m.srgbIntent));
    writeChunk(out, "sRGB", data);
  }
  if (m.gamma > 0 && m.gamma <= kMaxPngInt) {
    data.clear();
    w.u32(m.gamma);
    writeChunk(out, "gAMA", data);
  }
  const auto& xy = m.chromaticities;
  if (m.hasChromaticities &&
      std::all_of(xy.begin(), xy.end(), [](uint32_t v) { return v <= kMaxPngInt; })) {
    data.clear();
    for (uint32_t v : xy) w.u32(v);
    writeChunk(out, "cHRM", data);
  }
}

void writePhysicalChunk(std::vector<uint8_t>& out, const ImageMetadata& m) {
  if (m.pixelsPerUnitX == 0 || m.pixelsPerUnitY == 0 || m.pixelsPerUnitX > kMaxPngInt ||
      m.pixelsPerUnitY > kMaxPngInt) {
    return;
  }
  std::vector<uint8_t> data;
  ByteWriter w(data);
  w.u32(m.pixelsPerUnitX);
  w.u32(m.pixelsPerUnitY);
  w.u8(m.perMetre ? 1 : 0);
  writeChunk(out, "pHYs", data);
}

// The picture's indices, mapped to the written palette, as PNG rows.
class PaletteRows {
 public:
  PaletteRows(const Image& image, const uint8_t* map, int depth)
      : image_(image), map_(map), depth_(depth) {
    width_ = static_cast<size_t>(image.width);
    rowBytes_ = (width_ * static_cast<size_t>(depth) + 7) / 8;
  }

  PngRows rows(bool tryFilters) const {
    PngRows r;
    r.count = static_cast<size_t>(image_.height);
    r.stride = rowBytes_ + 1;
    r.forms = tryFilters ? 2 : 1;
    r.make = [this](int form, size_t begin, size_t end, uint8_t* out) {
      form == 0 ? unfiltered(begin, end, out) : filtered(begin, end, out);
    };
    return r;
  }

 private:
  void pack(size_t y, uint8_t* out) const {
    const uint8_t* in = image_.samples.data() + y * width_;
    if (depth_ == 8) {
      for (size_t x = 0; x < width_; ++x) out[x] = map_[in[x]];
      return;
    }
    std::memset(out, 0, rowBytes_);
    const size_t perByte = 8 / static_cast<size_t>(depth_);
    for (size_t x = 0; x < width_; ++x) {
      const int shift = 8 - depth_ * static_cast<int>(x % perByte + 1);
      out[x / perByte] |= static_cast<uint8_t>(map_[in[x]] << shift);
    }
  }

  void unfiltered(size_t begin, size_t end, uint8_t* out) const {
    for (size_t y = begin; y < end; ++y, out += rowBytes_ + 1) {
      out[0] = 0;
      pack(y, out + 1);
    }
  }

  // Each row with the filter whose bytes have the least entropy.
  void filtered(size_t begin, size_t end, uint8_t* out) const {
    std::vector<uint8_t> prior(rowBytes_, 0), row(rowBytes_), trial(rowBytes_);
    if (begin > 0) pack(begin - 1, prior.data());
    for (size_t y = begin; y < end; ++y, out += rowBytes_ + 1) {
      pack(y, row.data());
      double least = 0;
      for (int type = 0; type <= 4; ++type) {
        filterRow(type, row.data(), prior.data(), rowBytes_, trial.data());
        const double cost = entropyCost(trial.data(), rowBytes_);
        if (type == 0 || cost < least) {
          least = cost;
          out[0] = static_cast<uint8_t>(type);
          std::memcpy(out + 1, trial.data(), rowBytes_);
        }
      }
      std::swap(prior, row);
    }
  }

  const Image& image_;
  const uint8_t* map_;
  int depth_;
  size_t width_ = 0, rowBytes_ = 0;
};

std::vector<uint8_t> encodeOrThrow(const std::string& path, const Image& image, PngEffort effort) {
  const size_t colors = image.palette.size();
  if (colors < 1 || colors > 256) {
    throw ConvError(path + ": a PNG palette holds 1 to 256 colours, not " + std::to_string(colors));
  }
  if (!image.paletteAlpha.empty() && image.paletteAlpha.size() != colors) {
    throw ConvError(path + ": " + std::to_string(image.paletteAlpha.size()) +
                    " alpha values for a palette of " + std::to_string(colors) + " colours");
  }
  if (image.samples.size() != image.pixelCount()) {
    throw ConvError(path + ": the picture has " + std::to_string(image.samples.size()) +
                    " indices for " + std::to_string(image.pixelCount()) + " pixels");
  }
  const uint8_t highest =
      image.samples.empty() ? 0 : *std::max_element(image.samples.begin(), image.samples.end());
  if (highest >= colors) {
    throw ConvError(path + ": index " + std::to_string(highest) + " is beyond the palette of " +
                    std::to_string(colors) + " colours");
  }
  const bool best = effort == PngEffort::Best;

  std::vector<Rgba> colours(colors);
  for (size_t i = 0; i < colors; ++i) {
    const uint8_t alpha = static_cast<int>(i) == image.transparentIndex ? 0
                          : image.paletteAlpha.empty()                  ? 255
                                                                        : image.paletteAlpha[i];
    colours[i] = {image.palette[i][0], image.palette[i][1], image.palette[i][2], alpha};
  }
  std::vector<int> translucent, opaque;
  for (size_t i = 0; i < colors; ++i) {
    (colours[i][3] < 255 ? translucent : opaque).push_back(static_cast<int>(i));
  }
  if (best) {
    translucent = nearestChain(colours, translucent);
    opaque = nearestChain(colours, opaque);
  }
  std::vector<int> order = translucent;  // order[written index] = given index
  order.insert(order.end(), opaque.begin(), opaque.end());
  uint8_t map[256] = {};
  for (size_t k = 0; k < colors; ++k) map[order[k]] = static_cast<uint8_t>(k);

  int depth = colors <= 2 ? 1 : colors <= 4 ? 2 : colors <= 16 ? 4 : 8;
  const PaletteRows packed(image, map, depth);
  std::vector<uint8_t> idat = compressPngRows(packed.rows(best), effort);
  if (best && depth < 8) {
    // Packed indices cut matches at byte boundaries; whole bytes are
    // sometimes smaller (a photograph in 16 colours: up to 6 %).
    const PaletteRows bytes(image, map, 8);
    std::vector<uint8_t> other = compressPngRows(bytes.rows(true), effort);
    if (other.size() < idat.size()) idat = std::move(other), depth = 8;
  }

  std::vector<uint8_t> header;
  ByteWriter h(header);
  h.u32(static_cast<uint32_t>(image.width));
  h.u32(static_cast<uint32_t>(image.height));
  h.u8(static_cast<uint32_t>(depth));
  h.u8(3);
  h.zeros(3);
  std::vector<uint8_t> palette, alpha;
  for (int i : order) {
    palette.insert(palette.end(), colours[i].begin(), colours[i].begin() + 3);
    if (colours[i][3] < 255) alpha.push_back(colours[i][3]);
  }

  std::vector<uint8_t> out;
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  out.insert(out.end(), kSignature, kSignature + 8);
  writeChunk(out, "IHDR", header);
  writeColourChunks(out, image.metadata);
  writeChunk(out, "PLTE", palette);
  if (!alpha.empty()) writeChunk(out, "tRNS", alpha);
  writePhysicalChunk(out, image.metadata);
  for (size_t at = 0; at < idat.size(); at += kMaxPngInt) {
    writeChunk(out, "IDAT",
               std::span(idat).subspan(at, std::min<size_t>(kMaxPngInt, idat.size() - at)));
  }
  writeChunk(out, "IEND", {});
  return out;
}

}  // namespace

Result<std::vector<uint8_t>> encodePalettePng(const std::string& name, const Image& image,
                                              PngEffort effort) {
  return guarded(name, [&] { return encodeOrThrow(name, image, effort); });
}

Status writePalettePng(const std::string& path, const Image& image, PngEffort effort) {
  return guarded(path, [&] {
    const std::vector<uint8_t> bytes = encodeOrThrow(path, image, effort);
    std::unique_ptr<OutFile> out = OutFile::create(path);
    if (!out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
    out->write(bytes);
    if (!out->commit()) throw ConvError(path + ": cannot write: " + std::strerror(errno));
  });
}

}  // namespace kx
