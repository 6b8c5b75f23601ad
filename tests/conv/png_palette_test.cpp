// Palette PNGs as the writer makes them, read back by libpng (and one by
// PIL): every palette size's bit depth, rows that end inside a byte, and the
// transparent index.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "imageio/imageio.h"

namespace kx {
namespace {

TEST(PalettePng, EveryDepthAndWidthReadsBackAsWritten) {
  TempDir dir;
  for (int colors : {1, 2, 3, 4, 5, 16, 17, 256}) {
    for (int width : {1, 7, 9, 33}) {
      for (int transparent : {-1, colors - 1}) {
        Image image;
        image.width = width;
        image.height = 5;
        image.channels = 1;
        std::vector<Rgb> palette;
        for (int i = 0; i < colors; ++i) {
          palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
          image.palette.push_back({palette[i].r, palette[i].g, palette[i].b});
        }
        for (int i = 0; i < width * 5; ++i) {
          image.samples.push_back(static_cast<uint8_t>((i * 13 + i / width) % colors));
        }
        image.transparentIndex = transparent;
        const std::string path = dir.path("p.png");
        writePngFile(path, image);
        const Indexed back = readIndexedPng(path);
        const std::string what = std::to_string(colors) + " colours, " + std::to_string(width) +
                                 " wide, transparent " + std::to_string(transparent);
        EXPECT_EQ(std::pair(back.width, back.height), std::pair(width, 5)) << what;
        EXPECT_EQ(back.indices, image.samples) << what;
        EXPECT_TRUE(back.palette == palette) << what;
        std::vector<uint8_t> alpha(transparent + 1, 255);  // tRNS up to the transparent index
        if (transparent >= 0) alpha.back() = 0;
        EXPECT_EQ(back.alpha, alpha) << what;
        const int depth = readFileBytes(path).at(24);
        EXPECT_EQ(depth, colors <= 2 ? 1 : colors <= 4 ? 2 : colors <= 16 ? 4 : 8) << what;
      }
    }
  }
  EXPECT_EQ(pilDescribe(dir.path("p.png"), "im.mode, im.size, im.info['transparency']"),
            "P (33, 5) 255\n");
}

}  // namespace
}  // namespace kx
