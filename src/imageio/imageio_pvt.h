// Pieces that the readers and writers of imageio share: the Exif
// orientation, turning samples upright, the JPEG and PNG metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "imageio/imageio.h"

struct jpeg_decompress_struct;
struct png_struct_def;
struct png_info_def;

namespace kx {
// The orientation (1 to 8) in an Exif block: a TIFF header and its first
// IFD, with or without the "Exif\0\0" that JPEG APP1 puts before it. 1 when
// the block has none or is damaged (exif.cpp).
int exifOrientation(std::span<const uint8_t> exif);

// Samples of a width × height picture (`channels` bytes a pixel, rows top to
// bottom) as the EXIF/TIFF orientation 1 to 8 says they are stored, written
// upright into `upright`: the same number of bytes, width and height swapped
// for orientations 5 to 8 (orient.cpp).
void orientSamples(const uint8_t* stored, uint8_t* upright, int width, int height, int channels,
                   int orientation);
// The image turned upright by image.metadata.orientation, which becomes 1.
void orientUpright(Image& image);
inline bool swapsSides(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

// Asks libjpeg to keep the APP1 (Exif) and APP2 (ICC) markers; called
// before jpeg_read_header (jpeg_meta.cpp).
void saveJpegMarkers(jpeg_decompress_struct& info);
// The ICC profile, the Exif orientation and the JFIF density of a JPEG
// whose header has been read. Called where libjpeg's errors can longjmp.
void readJpegMetadata(jpeg_decompress_struct& info, ImageMetadata& metadata);

// Before png_read_info: how libpng is to read the chunks we keep
// (png_meta.cpp).
void preparePngMetadata(png_struct_def* png);
// What libpng has read of the chunks: after png_read_info, and again after
// png_read_end for an eXIf chunk after the image data.
void readPngMetadata(png_struct_def* png, png_info_def* info, ImageMetadata& metadata);

}  // namespace kx
