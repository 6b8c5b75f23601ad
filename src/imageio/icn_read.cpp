// Colour-mapped image files (.icn) and their colormaps.
//
// A .icn file, all integers big-endian (W × H pixels):
//
//   offset  size   field
//        0     4   "ICON"            file magic (checked)
//        4     4   "0100"            file version
//        8     2   1
//       10    22   zero bytes
//       32     4   "CICN"            chunk type (checked)
//       36     4   "0100"            chunk version
//       40     4   W × H + 28        chunk size (checked)
//       44     4   0, 1
//       48     2   W                 width, 1 to 32767 (checked)
//       50     2   H                 height, 1 to 32767 (checked)
//       52     2   (W + 7) / 8       mask row bytes (checked)
//       54    10   zero words
//       64     4   W × H             index byte count (checked)
//       68 W × H   palette indices, rows top to bottom
//   68 + W × H 4   0                 end word (checked)
//   72 + W × H 4   "_EOF"            end marker (checked)
//
// The file must be exactly W × H + 76 bytes. The palette is not in the file:
// it is the colormap saved beside it (same base name, .clm, else .cla) or
// the one named with -c (binary) or -C (ASCII). Every index must be below
// the colormap's size: an index beyond it would have no colour.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "imageio/imageio.h"
#include "output/output.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 68;
constexpr size_t kTrailerBytes = 8;

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string withoutSuffix(const std::string& s, const std::string& suffix) {
  return endsWith(s, suffix) ? s.substr(0, s.size() - suffix.size()) : s;
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// The colormap readers end the run through kx_error/kx_exit with their own
// message when a file is damaged; a missing or unreadable file is reported
// here first, in kxconv's words.
void checkReadable(const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0) {
    throw ConvError(path + ": cannot open: " + std::strerror(errno));
  }
}

struct FoundColormap {
  std::string base;  // name without extension, as the readers take it
  bool ascii = false;
  std::string path() const { return base + (ascii ? ".cla" : ".clm"); }
};

FoundColormap findColormap(const std::string& icnPath, const ColormapSource& source) {
  FoundColormap found;
  switch (source.kind) {
    case ColormapSource::Kind::Binary:
      found.base = withoutSuffix(source.name, ".clm");
      break;
    case ColormapSource::Kind::Ascii:
      found.base = withoutSuffix(source.name, ".cla");
      found.ascii = true;
      break;
    case ColormapSource::Kind::Beside:
      found.base = withoutSuffix(icnPath, ".icn");
      if (!exists(found.base + ".clm")) {
        found.ascii = true;
        if (!exists(found.base + ".cla")) {
          throw ConvError(icnPath + ": no colormap beside it (neither " + found.base + ".clm nor " +
                          found.base + ".cla); name one with -c or -C");
        }
      }
      break;
  }
  checkReadable(found.path());
  return found;
}

}  // namespace

namespace {

// Checks the header (the first kHeaderBytes of `bytes`, which the caller has
// made sure are there) and returns the length the whole file must have.
uint64_t iconFileLength(const std::string& name, const std::vector<uint8_t>& bytes) {
  auto fail = [&](const std::string& what) -> void { throw ConvError(name + ": " + what); };
  const uint8_t* p = bytes.data();
  if (std::memcmp(p, "ICON", 4) != 0 || std::memcmp(p + 32, "CICN", 4) != 0) {
    fail("not a colour-mapped image file (no ICON/CICN magic)");
  }
  const uint32_t width = loadBE16(p + 48), height = loadBE16(p + 50);
  checkGeometry(name, width, height);
  const uint64_t pixels = uint64_t{width} * height;
  if (loadBE32(p + 40) != pixels + 28 || loadBE32(p + 64) != pixels ||
      loadBE16(p + 52) != (width + 7) / 8) {
    fail("damaged header (its sizes do not match " + std::to_string(width) + " x " +
         std::to_string(height) + " pixels)");
  }
  return pixels + kHeaderBytes + kTrailerBytes;
}

void tooShort(const std::string& name, size_t size) {
  throw ConvError(name + ": not a colour-mapped image file (only " + std::to_string(size) +
                  " bytes)");
}

void wrongLength(const std::string& name, const std::vector<uint8_t>& bytes, uint64_t expected,
                 const std::string& size) {
  const uint8_t* p = bytes.data();
  throw ConvError(name + ": the file has " + size + " bytes; " + std::to_string(loadBE16(p + 48)) +
                  " x " + std::to_string(loadBE16(p + 50)) + " pixels need " +
                  std::to_string(expected));
}

}  // namespace

IconImage decodeIcon(const std::string& name, const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderBytes + kTrailerBytes) tooShort(name, bytes.size());
  const uint64_t expected = iconFileLength(name, bytes);
  if (bytes.size() != expected) wrongLength(name, bytes, expected, std::to_string(bytes.size()));
  const uint8_t* p = bytes.data();
  const uint8_t* end = p + (expected - kTrailerBytes);
  if (loadBE32(end) != 0 || std::memcmp(end + 4, "_EOF", 4) != 0) {
    throw ConvError(name + ": the file does not end with its end marker (0, \"_EOF\")");
  }
  IconImage icon;
  icon.width = static_cast<int>(loadBE16(p + 48));
  icon.height = static_cast<int>(loadBE16(p + 50));
  icon.indices.assign(p + kHeaderBytes, end);
  return icon;
}

Image readIconFile(const std::string& path, const ColormapSource& source) {
  // The header first: it says how long the file must be, and nothing past
  // that is read.
  InputFile file(path);
  std::vector<uint8_t> bytes;
  file.readUpTo(bytes, kHeaderBytes);
  if (bytes.size() < kHeaderBytes) tooShort(path, bytes.size());
  const uint64_t expected = iconFileLength(path, bytes);
  if (file.readUpTo(bytes, expected)) {
    const int64_t size = file.size();
    wrongLength(path, bytes, expected,
                size >= 0 ? std::to_string(size) : "more than " + std::to_string(expected));
  }
  IconImage icon = decodeIcon(path, bytes);
  const FoundColormap found = findColormap(path, source);
  RunSettings opt;
  ColormapFileHeader header;
  const Colormap colormap = found.ascii ? kx_readASCIIColorMap(found.base, &header, &opt)
                                        : kx_readColorMap(found.base, &header, &opt);
  if (colormap.empty() || colormap.size() > 256) {
    throw ConvError(found.path() + ": a colormap of " + std::to_string(colormap.size()) +
                    " colours cannot be a palette (1 to 256)");
  }
  for (size_t i = 0; i < icon.indices.size(); ++i) {
    if (icon.indices[i] >= colormap.size()) {
      throw ConvError(path + ": the pixel at column " + std::to_string(i % icon.width) + ", row " +
                      std::to_string(i / icon.width) + " has index " +
                      std::to_string(icon.indices[i]) + ", but the colormap " + found.path() +
                      " has only " + std::to_string(colormap.size()) + " colours");
    }
  }
  Image image;
  image.width = icon.width;
  image.height = icon.height;
  image.channels = 1;
  image.samples = std::move(icon.indices);
  for (const HistogramEntry& e : colormap) image.palette.push_back({e.red, e.green, e.blue});
  return image;
}

}  // namespace kx
