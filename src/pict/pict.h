// PICT images: reading Apple PICT pictures into picture records and writing
// picture records as PICT files.
#pragma once

#include <string>

#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {

// Reads base.pict into the record. 0 on success; otherwise non-zero after the
// Macintosh error state has been printed.
int kx_pictureReadPict(const std::string& base, Picture& picture, int unused);

// Writes the record as base.pict (an AppleDouble pair, type 'PICT', creator
// 'KEST'): true colour when colormap is null, else colour indices in channel 0
// with the palette. 0 on success; otherwise non-zero after the Macintosh error
// state has been printed.
int kx_pictureWritePict(const std::string& base, Picture& picture, int colors,
                        const Colormap* colormap);

}  // namespace kx
