// The outside tools (netpbm, PIL, libpng, giflib) as references of the kxconv
// and kxquant tests, and kxreduce's colour-mapped files read independently of
// the tools' writers.
#pragma once

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "common/bytes.h"
#include "picture/picture.h"
#include "support/tempdir.h"

namespace kx {

// A test in a folder of its own, `dir`, removed after it.
template <class Base = ::testing::Test>
class InFolder : public Base {
 protected:
  TempDir dir;
};

struct Raster {
  int width = 0, height = 0, depth = 0;  // depth: samples per pixel
  std::vector<uint8_t> samples;
  bool operator==(const Raster&) const = default;
};

// The 8-bit view of a raster as RGB or RGBA, grey spread to three colours.
inline Raster asRgb(const Raster& in, bool alpha) {
  Raster out{in.width, in.height, alpha ? 4 : 3, {}};
  for (size_t i = 0; i < in.samples.size(); i += in.depth) {
    const uint8_t* p = in.samples.data() + i;
    for (int c = 0; c < 3; ++c) out.samples.push_back(in.depth <= 2 ? p[0] : p[c]);
    if (alpha) out.samples.push_back(in.depth % 2 == 0 ? p[in.depth - 1] : 255);
  }
  return out;
}

// A maxval-255 P7 image; empty when the bytes are something else.
inline Raster parsePam(const std::string& bytes) {
  std::istringstream in(bytes);
  Raster r;
  std::string key, value;
  int maxval = 0;
  if (!(in >> key) || key != "P7") return {};
  while (in >> key && key != "ENDHDR" && in >> value) {
    if (key == "WIDTH") r.width = std::stoi(value);
    if (key == "HEIGHT") r.height = std::stoi(value);
    if (key == "DEPTH") r.depth = std::stoi(value);
    if (key == "MAXVAL") maxval = std::stoi(value);
  }
  r.samples.resize(static_cast<size_t>(r.width) * r.height * r.depth);
  in.get();
  in.read(reinterpret_cast<char*>(r.samples.data()), static_cast<long>(r.samples.size()));
  return maxval == 255 && in ? r : Raster{};
}

inline std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

// The command run by sh in the folder dir (the current one when empty).
inline RunResult shell(const std::string& command, const std::string& dir = "") {
  return runProgram("/bin/sh", {"-c", command}, dir);
}

// The netpbm tools' 8-bit view of a file: command | pamdepth 255 | pamtopam.
inline Raster netpbm(const std::string& command) {
  return parsePam(shell(command + " | pamdepth 255 | pamtopam").out);
}

inline RunResult python(const std::string& body, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-c", "import sys\nfrom PIL import Image\n" + body};
  all.insert(all.end(), args.begin(), args.end());
  RunResult r = runProgram("/usr/bin/python3", all);
  if (r.status != 0) throw std::runtime_error("PIL failed: " + r.err);
  return r;
}

// PIL's decoding of a file converted to mode; a Python expression about a file.
inline Raster pilPixels(const std::string& path, const std::string& mode = "RGBA") {
  return parsePam(
      python("im = Image.open(sys.argv[1]).convert(sys.argv[2])\n"
             "sys.stdout.buffer.write(b'P7 WIDTH %d HEIGHT %d DEPTH %d MAXVAL 255 ENDHDR\\n' % "
             "(im.size[0], im.size[1], len(sys.argv[2])) + im.tobytes())\n",
             {path, mode})
          .out);
}

inline std::string pilDescribe(const std::string& path, const std::string& expression) {
  return python("im = Image.open(sys.argv[1])\nprint(" + expression + ")\n", {path}).out;
}

// A smooth JPEG with some detail made by PIL in the mode ("RGB", "L", "CMYK")
// with the options as Python keyword arguments ("quality=90, progressive=True").
inline void makeJpeg(const std::string& path, int width, int height, const std::string& mode,
                     const std::string& options) {
  python(
      "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([(x * 255 // w, y * 255 // h, (x * y) % 256) for y in range(h) for x in "
      "range(w)])\n"
      "im.convert(sys.argv[4]).save(sys.argv[1], 'JPEG', **eval('dict(' + sys.argv[5] + ')'))\n",
      {path, std::to_string(width), std::to_string(height), mode, options});
}

// A .pic file's channels: RGB, or RGBA with an alpha channel.
inline Raster picPixels(const std::string& path) {
  PicturePtr pic = QZ_pictureReadFile(path);
  if (!pic) return {};
  Raster r{pic->width, pic->height, pic->channel[3] ? 4 : 3, {}};
  const size_t n = static_cast<size_t>(r.width) * r.height;
  r.samples.resize(n * r.depth);
  for (int c = 0; c < r.depth; ++c) {
    if (!pic->channel[c]) return {};
    for (size_t i = 0; i < n; ++i) r.samples[i * r.depth + c] = pic->channel[c][i];
  }
  return r;
}

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

// colourChunks, when given, receives what libpng reads of iCCP, sRGB, gAMA, cHRM and pHYs, as text.
inline Indexed readIndexedPng(const std::string& path, std::string* colourChunks = nullptr) {
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
    std::string text;
    png_charp name = nullptr;
    png_bytep profile = nullptr;
    png_uint_32 length = 0, x = 0, y = 0;
    int compression = 0, intent = 0, unit = 0;
    png_fixed_point gamma = 0, xy[8] = {};
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length))
      text += "iCCP '" + std::string(name) + "' " + std::to_string(length) + " bytes; ";
    if (png_get_sRGB(png, info, &intent)) text += "sRGB " + std::to_string(intent) + "; ";
    if (png_get_gAMA_fixed(png, info, &gamma)) text += "gAMA " + std::to_string(gamma) + "; ";
    if (png_get_cHRM_fixed(png, info, &xy[0], &xy[1], &xy[2], &xy[3], &xy[4], &xy[5], &xy[6],
                           &xy[7])) {
      text += "cHRM";
      for (png_fixed_point v : xy) text += " " + std::to_string(v);
      text += "; ";
    }
    if (png_get_pHYs(png, info, &x, &y, &unit))
      text += "pHYs " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(unit);
    if (colourChunks) *colourChunks = text;
    return true;
  };
  const bool ok = read();
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  if (!ok) throw std::runtime_error(path + " is not a palette PNG libpng reads");
  return out;
}

// The palette of a .clm file of 8 bits per value.
inline std::vector<Rgb> readClm(const std::string& path) {
  const std::vector<uint8_t> clm = readFileBytes(path);
  std::vector<Rgb> palette;
  for (int i = 0; i < (clm.at(8) << 8 | clm.at(9)); ++i)
    palette.push_back({clm.at(17 + 6 * i), clm.at(19 + 6 * i), clm.at(21 + 6 * i)});
  return palette;
}

// The indices of a .icn file and their palette.
inline Indexed readIcon(const std::string& path, const std::vector<Rgb>& palette) {
  const std::vector<uint8_t> icn = readFileBytes(path);
  Indexed out{icn.at(48) << 8 | icn.at(49), icn.at(50) << 8 | icn.at(51), palette, {}, {}};
  out.indices.assign(icn.begin() + 68, icn.begin() + 68 + out.width * out.height);
  return out;
}

// The colour of every pixel through the palette: RGB, or RGBA with the PNG
// tRNS alpha (opaque past its end), as a decoder sees the file.
inline std::vector<uint8_t> pixelColours(const Indexed& picture, bool alpha = false) {
  std::vector<uint8_t> out;
  for (uint8_t i : picture.indices) {
    const Rgb& c = picture.palette.at(i);
    out.insert(out.end(), {c.r, c.g, c.b});
    if (alpha) out.push_back(i < picture.alpha.size() ? picture.alpha[i] : uint8_t{255});
  }
  return out;
}

// A palette's colours in a fixed order, to compare palettes whose entries were reordered.
inline std::vector<std::tuple<int, int, int>> sortedColours(const std::vector<Rgb>& palette) {
  std::vector<std::tuple<int, int, int>> out;
  for (const Rgb& c : palette) out.emplace_back(c.r, c.g, c.b);
  std::sort(out.begin(), out.end());
  return out;
}

// The entry of palette[first, end) nearest to a colour, the lowest index among equals.
inline int nearest(const std::vector<Rgb>& palette, int first, int end, const uint8_t* p) {
  int best = first, bestDistance = INT32_MAX;
  for (int i = first; i < end; ++i) {
    const int dr = palette[i].r - p[0], dg = palette[i].g - p[1], db = palette[i].b - p[2];
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDistance) best = i, bestDistance = d;
  }
  return best;
}

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0, delay = 0, transparent = -1, disposal = 0;
  std::vector<uint8_t> indices;
};

struct GifFile {
  int width = 0, height = 0, background = 0;
  std::vector<Rgb> palette;
  std::vector<GifFrame> frames;
};

// A GIF's frames as giflib reads them.
inline GifFile readGif(const std::string& path) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (!gif) throw std::runtime_error("giflib cannot open " + path);
  if (DGifSlurp(gif) != GIF_OK) {
    DGifCloseFile(gif, &error);
    throw std::runtime_error("giflib cannot read " + path);
  }
  GifFile out{gif->SWidth, gif->SHeight, gif->SBackGroundColor, {}, {}};
  for (int i = 0; gif->SColorMap && i < gif->SColorMap->ColorCount; ++i) {
    const GifColorType& c = gif->SColorMap->Colors[i];
    out.palette.push_back({c.Red, c.Green, c.Blue});
  }
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    const GifImageDesc& d = image.ImageDesc;
    GifFrame frame{d.Left, d.Top, d.Width, d.Height, 0, -1, 0, {}};
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

// The screen after each frame of a GIF, by GIF89a's rules, as palette
// indices; -1 where the background shows.
inline std::vector<std::vector<int>> composeGif(const GifFile& gif) {
  std::vector<int> screen(static_cast<size_t>(gif.width) * gif.height, -1);
  std::vector<std::vector<int>> shown;
  for (const GifFrame& f : gif.frames) {
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) {
        const int index = f.indices[static_cast<size_t>(y) * f.width + x];
        if (index != f.transparent) screen[(f.top + y) * gif.width + f.left + x] = index;
      }
    }
    shown.push_back(screen);
    if (f.disposal == DISPOSE_BACKGROUND) {
      for (int y = f.top; y < f.top + f.height; ++y)
        std::fill_n(screen.begin() + y * gif.width + f.left, f.width, -1);
    }
  }
  return shown;
}

struct PilFrame {
  int duration = 0;  // milliseconds
  Raster rgba;
};

// PIL's frames of an animated picture, as RGBA.
inline std::vector<PilFrame> pilFrames(const std::string& path) {
  std::istringstream in(
      python("from PIL import ImageSequence\n"
             "for f in ImageSequence.Iterator(Image.open(sys.argv[1])):\n"
             "    im = f.convert('RGBA')\n"
             "    sys.stdout.buffer.write(b'%d %d %d\\n' % (f.info.get('duration', 0), *im.size))\n"
             "    sys.stdout.buffer.write(im.tobytes())\n",
             {path})
          .out);
  std::vector<PilFrame> frames;
  PilFrame f;
  f.rgba.depth = 4;
  while (in >> f.duration >> f.rgba.width >> f.rgba.height && in.get() == '\n') {
    f.rgba.samples.resize(static_cast<size_t>(f.rgba.width) * f.rgba.height * 4);
    in.read(reinterpret_cast<char*>(f.rgba.samples.data()),
            static_cast<long>(f.rgba.samples.size()));
    frames.push_back(f);
  }
  return frames;
}

struct PngChunk {
  std::string type;
  std::vector<uint8_t> data;
};

// A PNG file's chunks in order, as far as they are whole.
inline std::vector<PngChunk> pngChunks(const std::vector<uint8_t>& png) {
  std::vector<PngChunk> chunks;
  ByteReader in(png);
  uint32_t length = 0;
  uint8_t type[4];
  if (!in.seek(8)) return chunks;  // the signature
  while (in.u32(length) && in.bytes(type, 4) && length <= in.remaining()) {
    PngChunk& c = chunks.emplace_back(PngChunk{std::string(type, type + 4), {}});
    c.data.resize(length);
    in.bytes(c.data.data(), length);
    in.skip(4);  // the CRC
  }
  return chunks;
}

// A picture of tests/data/png (its README says how each was made).
inline std::string pngOf(const std::string& name) {
  return std::string(KX_SOURCE_DIR) + "/tests/data/png/" + name + ".png";
}

inline RunResult kxconv(const std::vector<std::string>& args, const std::string& dir) {
  return runProgram("kxconv", args, dir);
}

// kxconv in dir succeeds without a word on stderr.
inline testing::AssertionResult converts(const std::vector<std::string>& args,
                                         const std::string& dir) {
  const RunResult r = kxconv(args, dir);
  if (r.status == 0 && r.err.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "status " << r.status << ": " << r.err;
}

// kxconv in dir refuses with status 255 and the message, printing nothing
// else and leaving every file of dir as it was.
inline void expectRefused(const std::string& dir, const std::vector<std::string>& args,
                          const std::string& message) {
  const FolderSnapshot before = snapshotFolder(dir);
  const RunResult r = kxconv(args, dir);
  EXPECT_EQ(r.status, 255) << message;
  EXPECT_EQ(r.err, message);
  EXPECT_EQ(r.out, "") << message;
  EXPECT_TRUE(snapshotFolder(dir) == before) << message;
}

}  // namespace kx
