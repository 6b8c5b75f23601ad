// Helpers of the kxquant tests: indexed pictures read back through libpng,
// giflib and kxreduce's own files, independently of kxquant's writers.
#pragma once

#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "conv/conv_support.h"

namespace kx {

// The .icn indices through the .clm palette beside it (8 bits per value).
inline Indexed readIcon(const std::string& base) {
  const std::vector<uint8_t> icn = readFileBytes(base + ".icn"), clm = readFileBytes(base + ".clm");
  Indexed out;
  out.width = icn.at(48) << 8 | icn.at(49);
  out.height = icn.at(50) << 8 | icn.at(51);
  out.indices.assign(icn.begin() + 68, icn.begin() + 68 + out.width * out.height);
  const int count = clm.at(8) << 8 | clm.at(9);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = clm.data() + 16 + 6 * i;
    out.palette.push_back({e[1], e[3], e[5]});
  }
  return out;
}

// The colour of every pixel, RGB, through the palette.
inline std::vector<uint8_t> pixelColours(const Indexed& picture) {
  std::vector<uint8_t> rgb;
  for (uint8_t i : picture.indices) {
    const Rgb& c = picture.palette.at(i);
    rgb.insert(rgb.end(), {c.r, c.g, c.b});
  }
  return rgb;
}

// A palette's colours in a fixed order, to compare palettes whose entries
// were reordered.
inline std::vector<std::tuple<int, int, int>> sortedColours(const std::vector<Rgb>& palette) {
  std::vector<std::tuple<int, int, int>> out;
  for (const Rgb& c : palette) out.emplace_back(c.r, c.g, c.b);
  std::sort(out.begin(), out.end());
  return out;
}

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0, delay = 0, transparent = -1, disposal = 0;
  std::vector<uint8_t> indices;
};

struct GifFile {
  int width = 0, height = 0;
  std::vector<Rgb> palette;
  std::vector<GifFrame> frames;
};

inline GifFile readGif(const std::string& path) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (!gif) throw std::runtime_error("giflib cannot open " + path);
  if (DGifSlurp(gif) != GIF_OK) {
    DGifCloseFile(gif, &error);
    throw std::runtime_error("giflib cannot read " + path);
  }
  GifFile out;
  out.width = gif->SWidth;
  out.height = gif->SHeight;
  if (gif->SColorMap) {
    for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
      const GifColorType& c = gif->SColorMap->Colors[i];
      out.palette.push_back({c.Red, c.Green, c.Blue});
    }
  }
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    GifFrame frame;
    frame.left = image.ImageDesc.Left;
    frame.top = image.ImageDesc.Top;
    frame.width = image.ImageDesc.Width;
    frame.height = image.ImageDesc.Height;
    frame.indices.assign(image.RasterBits, image.RasterBits + frame.width * frame.height);
    GraphicsControlBlock control;
    if (DGifSavedExtensionToGCB(gif, i, &control) == GIF_OK) {
      frame.delay = control.DelayTime;
      frame.transparent = control.TransparentColor;
      frame.disposal = control.DisposalMode;
    }
    out.frames.push_back(std::move(frame));
  }
  DGifCloseFile(gif, &error);
  return out;
}

inline RunResult kxquant(const std::vector<std::string>& args, const std::string& dir) {
  return runProgram("kxquant", args, dir);
}

}  // namespace kx
