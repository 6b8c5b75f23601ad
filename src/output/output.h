// Colour-mapped output files: the colour-mapped image file (.icn) and the
// colormap files (.clm binary, .cla ASCII), written and read.
//
// Stands on: common (colours, run settings, output files, fatal errors).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/color.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "common/settings.h"

namespace kx {

// Colormap file header as read by the colormap readers.
struct ColormapFileHeader {
  char magic[4] = {0, 0, 0, 0};
  char version[4] = {0, 0, 0, 0};
  int16_t colors = 0;
  int16_t bits = 0;
  uint32_t reserved = 0;
};

// Creates name.icn and writes its 68-byte header; the returned file is
// positioned for the index bytes. Ends the run when the file cannot be created.
std::shared_ptr<OutFile> kx_writeIconeFileHeader(const std::string& name, int width, int height);

void kx_writeColorMap(const std::string& name, const Colormap& colormap, const RunSettings* opt);
void kx_writeASCIIColorMap(const std::string& name, const Colormap& colormap,
                           const RunSettings* opt);
Colormap kx_readColorMap(const std::string& name, ColormapFileHeader* header,
                         const RunSettings* opt);
Colormap kx_readASCIIColorMap(const std::string& name, ColormapFileHeader* header,
                              const RunSettings* opt);

}  // namespace kx
