// An image in memory, as every reader makes it and every writer takes it:
// 8-bit samples, interleaved, row 0 at the top, with the metadata that says
// how they are to be seen and sized.
//
// Stands on: the standard library only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// What a picture file says about how its samples are to be seen and sized,
// carried from a reader to the PNG writer. Empty fields were not in the file.
struct ImageMetadata {
  std::vector<uint8_t> iccProfile;           // the ICC profile, uncompressed
  std::string iccName;                       // PNG iCCP profile name ("ICC profile" when none)
  int srgbIntent = -1;                       // PNG sRGB rendering intent 0..3; -1 for none
  uint32_t gamma = 0;                        // PNG gAMA, gamma × 100000; 0 for none
  std::array<uint32_t, 8> chromaticities{};  // PNG cHRM (white x, y, red, green, blue), × 100000
  bool hasChromaticities = false;
  uint32_t pixelsPerUnitX = 0, pixelsPerUnitY = 0;  // PNG pHYs; 0 for none
  bool perMetre = false;                            // pHYs unit: metre (true) or aspect only
  // EXIF orientation, 1 to 8, as the file states it. Readers turn the pixels
  // upright and leave 1 here.
  int orientation = 1;

  bool empty() const {
    return iccProfile.empty() && srgbIntent < 0 && gamma == 0 && !hasChromaticities &&
           pixelsPerUnitX == 0;
  }
};

// An image in memory: 8-bit samples, interleaved, row 0 at the top.
struct Image {
  int width = 0;
  int height = 0;
  // Samples per pixel: 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA; always 1 (the
  // palette index) when the palette is not empty.
  int channels = 0;
  std::vector<uint8_t> samples;
  std::vector<std::array<uint8_t, 3>> palette;
  // Palette images: the alpha of each entry (PNG tRNS), empty when every
  // entry is opaque; when not empty it has one value per palette entry.
  std::vector<uint8_t> paletteAlpha;
  // Palette images: the index drawn transparent (PNG tRNS), -1 for none.
  int transparentIndex = -1;
  ImageMetadata metadata;

  bool indexed() const { return !palette.empty(); }
  bool hasAlpha() const { return !indexed() && (channels == 2 || channels == 4); }
  size_t pixelCount() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
};

}  // namespace kx
