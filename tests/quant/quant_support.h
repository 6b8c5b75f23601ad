// Helpers of the kxquant tests: indexed pictures read back through libpng,
// giflib and kxreduce's own files, independently of kxquant's writers.
#pragma once

#include <gif_lib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "conv/conv_support.h"

namespace kx {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// Palette indices and their palette, as a reader of the file sees them.
struct Indexed {
  int width = 0, height = 0;
  std::vector<Rgb> palette;
  std::vector<uint8_t> alpha;  // PNG tRNS entries
  std::vector<uint8_t> indices;
};

inline Indexed readIndexedPng(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw std::runtime_error("cannot open " + path);
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  Indexed out;
  auto read = [&] {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_PACKING, nullptr);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) return false;
    out.width = static_cast<int>(png_get_image_width(png, info));
    out.height = static_cast<int>(png_get_image_height(png, info));
    png_colorp colors = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &colors, &count);
    for (int i = 0; i < count; ++i)
      out.palette.push_back({colors[i].red, colors[i].green, colors[i].blue});
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr))
      out.alpha.assign(alpha, alpha + alphaCount);
    png_bytepp rows = png_get_rows(png, info);
    for (int y = 0; y < out.height; ++y)
      out.indices.insert(out.indices.end(), rows[y], rows[y] + out.width);
    return true;
  };
  const bool ok = read();
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  if (!ok) throw std::runtime_error(path + " is not a palette PNG libpng reads");
  return out;
}

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

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0, delay = 0, transparent = -1, disposal = 0;
  std::vector<uint8_t> indices;
};

struct GifFile {
  int width = 0, height = 0, loop = -1;
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
    for (int k = 0; k + 1 < image.ExtensionBlockCount; ++k) {
      const ExtensionBlock& block = image.ExtensionBlocks[k];
      const ExtensionBlock& data = image.ExtensionBlocks[k + 1];
      if (block.Function == APPLICATION_EXT_FUNC_CODE && block.ByteCount == 11 &&
          std::string(reinterpret_cast<char*>(block.Bytes), 11) == "NETSCAPE2.0" &&
          data.ByteCount == 3) {
        out.loop = data.Bytes[1] | data.Bytes[2] << 8;
      }
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
