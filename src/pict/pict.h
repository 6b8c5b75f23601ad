// PICT images: reading Apple PICT pictures into picture records and writing
// picture records as PICT files (AppleDouble pairs with their Macintosh type
// and creator).
//
// Stands on: common (colours), picture (the picture record) and macfile (the
// containers and the Macintosh error state).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/color.h"
#include "common/error.h"
#include "common/pixel_limit.h"
#include "picture/picture.h"

namespace kx {

// Reads base.pict into the record; grey and one-bit pictures get green and
// blue as copies of plane 0. A failure is an Error whose message is the
// Macintosh error state's (taking it clears the pending code, as printing
// it would); a picture over the pixel limit or that memory cannot hold is
// a tooLarge or outOfMemory Error worded as kx_readRefusalText words it,
// with *why (when given) saying which.
Status kx_pictureReadPict(const std::string& base, Picture& picture, ReadRefusal* why = nullptr);

// Writes byte planes as a picture record holds them (its last scanline
// becomes the PICT's first row, as writePictImage writes planes) as
// base.pict (an AppleDouble pair, type 'PICT', creator 'KEST'): true colour
// from planes 0-2 (and alpha from plane 3) when colormap is null, else colour
// indices in plane 0 with the palette. A failure is an Error with the
// Macintosh error state's message.
Status kx_pictureWritePict(const std::string& base, int width, int height,
                           const std::array<const uint8_t*, 4>& planes, int colors,
                           const Colormap* colormap);

// The text of the first failure of readPictImage / writePictImage in this
// thread (empty while there was none). The two missing-plane texts of
// writePictImage always replace it.
extern thread_local std::string pict_errstr;

// Planes of width × height bytes: 0 red (or grey, or palette index), 1 green,
// 2 blue, 3 alpha (or the raw pixel value of an indexed colour picture).
// Rows are bottom-up: the PICT's top row is the plane's last row.
using PictPlanes = std::array<std::unique_ptr<uint8_t[]>, 4>;

// Reads the first raster of a PICT file into new planes. *colorCount < 0 on
// entry: no colour table wanted; otherwise the raster's table (if any) is
// returned in colorTable (red, green, blue of each entry) with its size in
// *colorCount. Planes the picture does not have are null; a grey or one-bit
// picture read with its colour table has green and blue as copies of plane 0.
// Where the raster does not reach, the planes hold its background. 0, or
// non-zero (-1 or the Macintosh error code) on failure. A frame over the
// pixel limit is refused before anything is allocated, and a raster whose
// file ends before its first row before the planes are; *why (when given)
// tells a frame over the limit and a failed allocation from other failures,
// and *failure (when given) the text of this call's failure ("" on success).
int readPictImage(const std::string& fileName, int16_t* width, int16_t* height, int* colorCount,
                  Colormap* colorTable, PictPlanes& planes, ReadRefusal* why = nullptr,
                  std::string* failure = nullptr);

// Bits per sample of the first raster of a PICT file, as readPictImage
// delivers them: 8 for colour-table rasters, else the pixel size (5 for
// 16-bit pixels); 8 when the file cannot be read.
int readPictSampleBits(const std::string& fileName);

// Writes byte planes (bottom-up, as above) as a PICT file: 8-bit colour
// indices with the palette when colormap is given (plane 0), else true
// colour from planes 0-2 (and alpha from plane 3), or grey from plane 0
// alone. On failure no file that looks complete is left: the data file and
// its AppleDouble header are removed. 0, or non-zero on failure, whose text
// goes to *failure when given.
int writePictImage(const std::string& fileName, int width, int height, int colorCount,
                   const Colormap* colormap, const std::array<const uint8_t*, 4>& planes,
                   std::string* failure = nullptr);

}  // namespace kx
