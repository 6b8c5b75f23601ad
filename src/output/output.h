// Colour-mapped output files: the colour-mapped image file (.icn) and the
// colormap files (.clm binary, .cla ASCII), each with its reader and writer.
// The byte layouts are at the top of icon_file.cpp and colormap_file.cpp.
//
// Names are stems: every function adds its file's extension. Failures come
// back as Errors whose message is the one kxreduce prints: cannotOpen for a
// file that cannot be opened or created ("can't read colormap x.clm,
// exit..."), printed as it stands; anything else after "Error: ".
//
// Stands on: common (colours, output files, errors, the pixel limit).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/error.h"
#include "common/outfile.h"

namespace kx {

// ---- Colour-mapped image file --------------------------------------------------------

constexpr size_t kIconHeaderBytes = 68;
constexpr size_t kIconTrailerBytes = 8;

// A .icn file being written. create() makes name.icn (under a temporary
// name) with its header at once, so that a name that cannot be created
// fails before any work; finish() adds the index bytes, one per pixel, and
// the trailer, and renames it into place (or leaves that to the thread's
// OutputBatch). A file never finished is removed.
class IconFile {
 public:
  static Result<IconFile> create(const std::string& name, int width, int height);
  Status finish(std::span<const uint8_t> indices);
  const std::string& path() const { return file_->path(); }

 private:
  IconFile(std::unique_ptr<OutFile> file, uint64_t pixels)
      : file_(std::move(file)), pixels_(pixels) {}
  std::unique_ptr<OutFile> file_;
  uint64_t pixels_ = 0;
};

// create() and finish() in one.
Status writeIconFile(const std::string& name, int width, int height,
                     std::span<const uint8_t> indices);

// The index bytes of a .icn file.
struct IconImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> indices;
};

// The length the whole file must have, from its header (the first
// kIconHeaderBytes bytes); `file` names it in the messages.
Result<uint64_t> iconFileLength(const std::string& file, std::span<const uint8_t> header);
// The whole file, checked against its header.
Result<IconImage> decodeIcon(const std::string& file, std::span<const uint8_t> bytes);

// ---- Colormap files ---------------------------------------------------------------------

// The colormap file header as the readers fill it.
struct ColormapFileHeader {
  char magic[4] = {0, 0, 0, 0};
  char version[4] = {0, 0, 0, 0};
  int16_t colors = 0;
  int16_t bits = 0;
  uint32_t reserved = 0;
};

// How a palette is stored.
struct ColormapFormat {
  int colors = 0;          // entries written, from the first
  int bits = 8;            // bits per stored value, 1 to 16
  bool bitsGiven = false;  // -b: samples scaled to `bits`; without it stored as they are
};

Status kx_writeColorMap(const std::string& name, const Colormap& colormap,
                        const ColormapFormat& format);
Status kx_writeASCIIColorMap(const std::string& name, const Colormap& colormap,
                             const ColormapFormat& format);

struct ColormapReading {
  int colorLimit = 0;      // -n: read at most this many entries (0: all)
  bool transform = false;  // -T: also write the colormap in the other form
};

struct ColormapFile {
  Colormap colormap;
  ColormapFileHeader header;  // its colour count after the -n limit
};

Result<ColormapFile> kx_readColorMap(const std::string& name, const ColormapReading& reading);
Result<ColormapFile> kx_readASCIIColorMap(const std::string& name, const ColormapReading& reading);

}  // namespace kx
