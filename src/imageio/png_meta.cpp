// The metadata of a PNG file, as libpng reads it: iCCP (the profile
// decompressed and checked by libpng), sRGB, gAMA, cHRM, pHYs and the
// orientation in eXIf. libpng keeps its own view of the colour space: an
// sRGB chunk also reports sRGB's gamma and chromaticities, as PNG asks
// writers to store them beside it.
#include <png.h>

#include "imageio/imageio_pvt.h"

namespace kx {

void preparePngMetadata(png_struct_def* png) {
  // A profile that is sRGB's stays the iCCP it is, rather than becoming an
  // sRGB chunk in libpng's view.
  png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
  // Text is not used: libpng need not inflate it (up to megabytes a chunk).
  static const png_byte kText[] = "tEXt\0zTXt\0iTXt";
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kText, 3);
}

void readPngMetadata(png_struct_def* png, png_info_def* info, ImageMetadata& metadata) {
  png_charp name = nullptr;
  png_bytep profile = nullptr;
  png_uint_32 length = 0;
  int compression = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &length) && profile) {
    metadata.iccProfile.assign(profile, profile + length);
    metadata.iccName = name ? name : "";
  }
  int intent = 0;
  if (png_get_sRGB(png, info, &intent)) metadata.srgbIntent = intent;
  png_fixed_point gamma = 0;
  if (png_get_gAMA_fixed(png, info, &gamma) && gamma > 0) {
    metadata.gamma = static_cast<uint32_t>(gamma);
  }
  png_fixed_point c[8] = {};
  if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7])) {
    metadata.hasChromaticities = true;
    for (int i = 0; i < 8; ++i) metadata.chromaticities[i] = static_cast<uint32_t>(c[i]);
  }
  png_uint_32 x = 0, y = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &x, &y, &unit) && x > 0 && y > 0) {
    metadata.pixelsPerUnitX = x;
    metadata.pixelsPerUnitY = y;
    metadata.perMetre = unit == PNG_RESOLUTION_METER;
  }
  png_uint_32 exifLength = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exifLength, &exif) && exif) {
    metadata.orientation = exifOrientation({exif, exifLength});
  }
}

}  // namespace kx
