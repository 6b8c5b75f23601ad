// Colour-mapped image files (.icn) with their colormaps, as palette images.
//
// The file itself is read by the .icn reader beside its writer
// (output/icon_file.cpp, which documents the layout); here it is read no
// further than its header says, and given its palette: the colormap saved
// beside it (same base name, .clm, else .cla) or the one named with -c
// (binary) or -C (ASCII). Every index must be below the colormap's size: an
// index beyond it would have no colour.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "imageio/imageio_pvt.h"
#include "output/output.h"

namespace kx {

namespace {

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

// A missing or unreadable colormap is reported here first, in kxconv's words;
// the readers word what is wrong inside one.
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

// The value, or the Error thrown as the readers of this layer throw theirs.
template <class T>
T orThrow(Result<T> result) {
  if (!result) throw ConvError(result.error().message);
  return std::move(*result);
}

}  // namespace

Image readIconFile(const std::string& path, const ColormapSource& source) {
  // The header first: it says how long the file must be, and nothing past
  // that is read.
  InputFile file(path);
  std::vector<uint8_t> bytes;
  file.readUpTo(bytes, kIconHeaderBytes);
  const uint64_t expected = orThrow(iconFileLength(path, bytes));
  if (file.readUpTo(bytes, expected)) {
    const int64_t size = file.size();
    const uint8_t* p = bytes.data();
    throw ConvError(path + ": the file has " +
                    (size >= 0 ? std::to_string(size) : "more than " + std::to_string(expected)) +
                    " bytes; " + std::to_string(loadBE16(p + 48)) + " x " +
                    std::to_string(loadBE16(p + 50)) + " pixels need " + std::to_string(expected));
  }
  IconImage icon = orThrow(decodeIcon(path, bytes));
  const FoundColormap found = findColormap(path, source);
  // What is wrong inside a colormap file is told in kxreduce's words, as
  // the colormap files always were.
  const Result<ColormapFile> read =
      found.ascii ? kx_readASCIIColorMap(found.base, {}) : kx_readColorMap(found.base, {});
  if (!read) {
    Error error = read.error();
    error.kxreduceWords = true;
    throw error;
  }
  const Colormap& colormap = read->colormap;
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
