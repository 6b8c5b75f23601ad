// The metadata of a JPEG file, from the markers libjpeg keeps for us:
//   APP2 "ICC_PROFILE\0", sequence number (1..n), n, a piece of the profile:
//       profiles over 64 KB span several markers; libjpeg-turbo's
//       jpeg_read_icc_profile puts them together in sequence order and
//       gives no profile when a number is missing, repeated or inconsistent;
//   APP1 "Exif\0\0" and a TIFF structure: the orientation (exif.cpp);
//   APP0 JFIF, parsed by libjpeg itself: the density, in dots per inch or
//       per centimetre (kept as pixels per metre) or an aspect ratio.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "imageio/imageio_pvt.h"

namespace kx {

void saveJpegMarkers(jpeg_decompress_struct& info) {
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
}

void readJpegMetadata(jpeg_decompress_struct& info, ImageMetadata& metadata) {
  JOCTET* profile = nullptr;
  unsigned int length = 0;
  if (jpeg_read_icc_profile(&info, &profile, &length)) {
    struct Free {
      JOCTET* p;
      ~Free() { std::free(p); }
    } owner{profile};
    metadata.iccProfile.assign(profile, profile + length);
  }
  static constexpr char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
  for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && !std::memcmp(m->data, kExif, 6)) {
      metadata.orientation = exifOrientation({m->data, m->data_length});
      break;
    }
  }
  // libjpeg gives 1:1 with no unit when JFIF says nothing: that is no news.
  if (info.saw_JFIF_marker && info.X_density > 0 && info.Y_density > 0 &&
      (info.density_unit != 0 || info.X_density != info.Y_density)) {
    metadata.perMetre = info.density_unit == 1 || info.density_unit == 2;
    auto perMetre = [&](uint32_t d) -> uint32_t {
      if (info.density_unit == 1) return (d * 10000 + 127) / 254;  // 1 inch = 0.0254 m
      return info.density_unit == 2 ? d * 100 : d;
    };
    metadata.pixelsPerUnitX = perMetre(info.X_density);
    metadata.pixelsPerUnitY = perMetre(info.Y_density);
  }
}

}  // namespace kx
